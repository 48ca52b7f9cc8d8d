#pragma once
// The pairs of a model's faces that share an edge: two of their vertices at the same position, to
// within the shared-vertex distance.
#include "Renderer/MeshModel.h"

#include <cstdint>
#include <vector>

namespace Lumetra {

/// Largest distance at which two vertex positions count as one: the single-precision epsilon.
constexpr float kSharedVertexDistance = 1.1920929e-7f;

/// The indices of faceB's vertices (in faceB's order) that lie within kSharedVertexDistance of
/// some vertex of faceA.
std::vector<std::uint32_t> findSharedVertices(const MeshModel::Face& faceA, const MeshModel::Face& faceB,
                                              const MeshModel& model);

/// Every pair (i, j), i < j, of faces for which findSharedVertices(face i, face j) finds at least
/// two vertices, in ascending order of i, then j. Candidates are found through the faces at each
/// vertex position, so the work grows with the pairs found, not with the square of the face count
/// or of the faces around one vertex. False (and `pairs` empty) when the list would hold more than
/// `maxPairs` pairs (many faces on one edge; 0 chooses 8 pairs per face plus 2^22, the most that
/// the edge model built from them is meant to hold), or when distinct positions crowd so closely
/// that telling which of them lie within the distance would take more than 64 tests per position
/// plus 2^22.
bool computeFaceAdjacency(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                          std::vector<MeshModel::FacePair>& pairs, std::uint64_t maxPairs = 0);

}  // namespace Lumetra
