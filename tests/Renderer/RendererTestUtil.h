#pragma once
// Shared pieces of the model tests: the importer's test models and the pairwise adjacency rule.
#include "Renderer/MeshModel.h"

#include "LogCapture.h"

#include <string>
#include <vector>

namespace rendertest {

inline std::string assimpModel(const std::string& relative) { return "/usr/share/assimp/models/" + relative; }

inline Lumetra::MeshModel loadModel(const std::string& path, float scale = 0.001f) {
  CadModelSource source;
  source.modelPath = path;
  return Lumetra::MeshModel(source, "", scale, true);
}

/// Every pair i < j of faces where at least two of face j's vertices lie within the single-precision
/// epsilon of a vertex of face i, tested pair by pair.
inline std::vector<Lumetra::MeshModel::FacePair> quadraticAdjacency(const std::vector<Lumetra::MeshModel::Vertex>& vertices,
                                                                    const std::vector<Lumetra::MeshModel::Face>& faces) {
  std::vector<Lumetra::MeshModel::FacePair> pairs;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (std::size_t j = i + 1; j < faces.size(); ++j) {
      int shared = 0;
      for (std::uint32_t b : faces[j].indices) {
        bool near = false;
        for (std::uint32_t a : faces[i].indices) near = near || (vertices[a].position - vertices[b].position).norm() <= 1.1920929e-7f;
        shared += near ? 1 : 0;
      }
      if (shared >= 2) pairs.emplace_back(i, j);
    }
  }
  return pairs;
}

}  // namespace rendertest
