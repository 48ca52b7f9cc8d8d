#pragma once
// Where a scene's nodes place its meshes, and the checks on a scene as read that keep a small file
// from asking for a model of any size: nodes that repeat its meshes into too many vertices or
// faces, and a COLLADA unit that mirrors the model or makes its size unusable.
#include <assimp/matrix4x4.h>

#include <string>
#include <vector>

struct aiScene;

namespace Lumetra {

/// Every node's transform times its parents', listed per mesh it names, in the order of a
/// depth-first walk.
std::vector<std::vector<aiMatrix4x4>> meshPlacements(const aiScene& scene);

/// Why the nodes repeat the meshes into a model too large to hold (more than 4194304 vertices or
/// 1048576 faces, counted as the triangles they become, beyond the file's own), or empty.
std::string repeatedMeshes(const aiScene& scene, const std::vector<std::vector<aiMatrix4x4>>& placements);

/// Why the unit of the COLLADA file at `path`, which the library has applied to the root node,
/// cannot be used (not a positive finite length, or one that makes the placed model smaller than
/// a micrometre or larger than a thousand kilometres across), or empty.
std::string unusableColladaUnit(const aiScene& scene, const std::vector<std::vector<aiMatrix4x4>>& placements,
                                const std::string& path);

}  // namespace Lumetra
