#include "Renderer/FaceAdjacency.h"

#include "Renderer/GridCell.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Lumetra {

namespace {

/// The largest squared length whose square root (correctly rounded, as every IEEE square root is)
/// is at most the shared-vertex distance: comparing squared lengths with it gives exactly the
/// result of comparing lengths with the distance, without a square root per test.
float largestSharedSquaredLength() {
  float limit = kSharedVertexDistance * kSharedVertexDistance;
  while (std::sqrt(limit) > kSharedVertexDistance) limit = std::nextafter(limit, 0.0f);
  while (std::sqrt(std::nextafter(limit, 1.0f)) <= kSharedVertexDistance) limit = std::nextafter(limit, 1.0f);
  return limit;
}

const float kSharedSquaredLength = largestSharedSquaredLength();

/// Whether the two positions lie within the shared-vertex distance: |a - b| <= distance.
inline bool isShared(const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
  return (a - b).squaredNorm() <= kSharedSquaredLength;
}

/// Whether at least two of faceB's vertices lie within the shared-vertex distance of a vertex of
/// faceA (what findSharedVertices returning two or more indices means), stopping once decided.
bool sharesTwoVertices(const std::vector<MeshModel::Vertex>& vertices, const MeshModel::Face& faceA,
                       const MeshModel::Face& faceB) {
  std::size_t count = 0, left = faceB.indices.size();
  for (const std::uint32_t k : faceB.indices) {
    if (count + left < 2) return false;
    --left;
    const Eigen::Vector3f& p = vertices[k].position;
    for (const std::uint32_t a : faceA.indices) {
      if (isShared(vertices[a].position, p)) {
        if (++count == 2) return true;
        break;
      }
    }
  }
  return false;
}

/// Width of the cells of the search for distinct positions within the shared-vertex distance: more
/// than twice that distance, so two such positions always lie in the same or in neighbouring cells,
/// and wide enough that most cells need no look at their neighbours.
constexpr double kCellSize = 8.0 * kSharedVertexDistance;

/// The grid cell of a position in the search for nearby positions.
GridCell cellOf(const Eigen::Vector3f& p) {
  const double size = kCellSize;
  return GridCell{gridCoordinate(p.x() / size), gridCoordinate(p.y() / size), gridCoordinate(p.z() / size)};
}

/// The exact position as a key: the bit patterns of the coordinates, -0 read as +0.
GridCell exactKey(const Eigen::Vector3f& p) {
  auto bits = [](float value) {
    value += 0.0f;  // -0 + 0 = +0
    std::uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return static_cast<std::int64_t>(word);
  };
  return GridCell{bits(p.x()), bits(p.y()), bits(p.z())};
}

/// Lists of numbers, one list per entry, stored as runs of one array.
struct RunLists {
  std::vector<std::size_t> start{0};
  std::vector<std::uint32_t> items;
  std::size_t size(std::uint32_t entry) const { return start[entry + 1] - start[entry]; }
  const std::uint32_t* begin(std::uint32_t entry) const { return items.data() + start[entry]; }
  const std::uint32_t* end(std::uint32_t entry) const { return items.data() + start[entry + 1]; }
  void close() { start.push_back(items.size()); }
};

/// For every distinct position the other distinct positions within the shared-vertex distance.
/// False when the positions crowd so closely that sorting them out would take more than
/// `maxTests` distance tests.
bool findNearbyPositions(const std::vector<Eigen::Vector3f>& positions, RunLists& nearby, std::uint64_t maxTests) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  // The positions by grid cell: each cell holds a list of its positions (first, next).
  GridCellTable table;
  std::vector<std::uint32_t> cellFirst, next(positions.size(), kNone), cellOfPosition(positions.size());
  for (std::uint32_t p = 0; p < positions.size(); ++p) {
    const std::uint32_t cell = table.insert(cellOf(positions[p]));
    if (cell == cellFirst.size()) cellFirst.push_back(kNone);
    next[p] = cellFirst[cell];
    cellFirst[cell] = p;
    cellOfPosition[p] = cell;
  }
  // Per cell, only the neighbours that some position of the cell comes near (the distance plus a
  // margin for rounding): none for most cells.
  std::vector<std::vector<std::uint32_t>> neighbours(cellFirst.size());
  std::uint64_t tests = 0;
  for (std::uint32_t c = 0; c < cellFirst.size(); ++c) {
    const GridCell cell = table.cell(c);
    Eigen::Vector3d low = Eigen::Vector3d::Constant(HUGE_VAL), high = -low;
    std::uint64_t members = 0;
    for (std::uint32_t p = cellFirst[c]; p != kNone; p = next[p], ++members) {
      low = low.cwiseMin(positions[p].cast<double>());
      high = high.cwiseMax(positions[p].cast<double>());
    }
    const std::int64_t coordinates[3] = {cell.x, cell.y, cell.z};
    std::int64_t from[3], to[3];
    for (int axis = 0; axis < 3; ++axis) {
      const double size = kCellSize, margin = 1.01 * kSharedVertexDistance;
      const double lowSide = static_cast<double>(coordinates[axis]) * size;
      const bool clamped = std::abs(static_cast<double>(coordinates[axis])) >= 3.9e18;
      from[axis] = clamped || low[axis] - lowSide <= margin ? -1 : 0;
      to[axis] = clamped || lowSide + size - high[axis] <= margin ? 1 : 0;
    }
    for (std::int64_t dx = from[0]; dx <= to[0]; ++dx)
      for (std::int64_t dy = from[1]; dy <= to[1]; ++dy)
        for (std::int64_t dz = from[2]; dz <= to[2]; ++dz) {
          const std::uint32_t other = table.find(GridCell{cell.x + dx, cell.y + dy, cell.z + dz});
          if (other == kNone || (other == c && members == 1)) continue;
          neighbours[c].push_back(other);
          for (std::uint32_t q = cellFirst[other]; q != kNone; q = next[q]) tests += members;
        }
    if (tests > maxTests) return false;
  }
  for (std::uint32_t p = 0; p < positions.size(); ++p) {
    for (const std::uint32_t other : neighbours[cellOfPosition[p]])
      for (std::uint32_t q = cellFirst[other]; q != kNone; q = next[q])
        if (q != p && isShared(positions[p], positions[q])) nearby.items.push_back(q);
    nearby.close();
  }
  return true;
}

/// Gives every vertex that some face uses the number of its exact position (`positions` holds one
/// position per number, in order of first use); a vertex at a non-finite position lies near
/// nothing, not even itself, and gets none.
void numberPositions(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                     std::vector<std::uint32_t>& positionOf, std::vector<Eigen::Vector3f>& positions) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  positionOf.assign(vertices.size(), kNone);
  GridCellTable exact;
  for (const MeshModel::Face& face : faces) {
    for (const std::uint32_t v : face.indices) {
      const Eigen::Vector3f& p = vertices[v].position;
      if (positionOf[v] != kNone || !p.allFinite()) continue;
      positionOf[v] = exact.insert(exactKey(p));
      if (positionOf[v] == positions.size()) positions.push_back(p);
    }
  }
}

/// The faces at each position, ascending.
RunLists facesAtPositions(const std::vector<MeshModel::Face>& faces, const std::vector<std::uint32_t>& positionOf,
                          std::size_t positionCount) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  // Calls visit(position, face) once for each face at each position, in ascending order of faces.
  const auto eachFaceAtPosition = [&](const auto& visit) {
    std::vector<std::uint32_t> lastFace(positionCount, kNone);
    for (std::uint32_t f = 0; f < faces.size(); ++f) {
      for (const std::uint32_t v : faces[f].indices) {
        const std::uint32_t p = positionOf[v];
        if (p != kNone && lastFace[p] != f) {
          lastFace[p] = f;
          visit(p, f);
        }
      }
    }
  };
  RunLists facesAt;
  std::vector<std::uint32_t> count(positionCount, 0);
  eachFaceAtPosition([&](std::uint32_t p, std::uint32_t) { ++count[p]; });
  facesAt.start.resize(positionCount + 1);
  for (std::size_t p = 0; p < positionCount; ++p) facesAt.start[p + 1] = facesAt.start[p] + count[p];
  facesAt.items.resize(facesAt.start.back());
  std::fill(count.begin(), count.end(), 0);
  eachFaceAtPosition([&](std::uint32_t p, std::uint32_t f) { facesAt.items[facesAt.start[p] + count[p]++] = f; });
  return facesAt;
}

/// The faces near each position: its own faces and those of the distinct positions within the
/// distance, ascending. Those are rare; without them a position's list is its own faces. False
/// when the lists would hold more than `maxCrowding` faces beyond the positions' own.
bool facesNearPositions(const RunLists& facesAt, const RunLists& nearby, std::uint64_t maxCrowding,
                        RunLists& facesNear) {
  const std::uint32_t positionCount = static_cast<std::uint32_t>(facesAt.start.size() - 1);
  for (std::uint32_t p = 0; p < positionCount; ++p) {
    const std::size_t first = facesNear.items.size();
    facesNear.items.insert(facesNear.items.end(), facesAt.begin(p), facesAt.end(p));
    if (nearby.size(p) > 0) {
      for (const std::uint32_t* q = nearby.begin(p); q != nearby.end(p); ++q)
        facesNear.items.insert(facesNear.items.end(), facesAt.begin(*q), facesAt.end(*q));
      std::sort(facesNear.items.begin() + first, facesNear.items.end());
      facesNear.items.erase(std::unique(facesNear.items.begin() + first, facesNear.items.end()), facesNear.items.end());
    }
    facesNear.close();
    if (facesNear.items.size() - facesAt.start[p + 1] > maxCrowding) return false;
  }
  return true;
}

/// The adjacent pairs (i, j), i < j, ordered by j. Faces i < j are adjacent when two vertices of
/// face j lie near vertices of face i, so face i is near both of them: for every two vertices of
/// face j, the shorter of their two lists in `near` holds every such i. The exact test decides.
/// False when there are more than `maxPairs` pairs.
bool findPairsByLater(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                      const std::vector<std::uint32_t>& positionOf, const RunLists& near, std::uint64_t maxPairs,
                      std::vector<MeshModel::FacePair>& byLater) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  std::vector<std::uint32_t> seen(faces.size(), kNone), candidates;
  for (std::uint32_t j = 0; j < faces.size(); ++j) {
    const std::vector<std::uint32_t>& indices = faces[j].indices;
    candidates.clear();
    for (std::size_t s = 0; s < indices.size(); ++s) {
      const std::uint32_t p = positionOf[indices[s]];
      if (p == kNone) continue;
      for (std::size_t t = s + 1; t < indices.size(); ++t) {
        const std::uint32_t q = positionOf[indices[t]];
        if (q == kNone) continue;
        const std::uint32_t shorter = near.size(p) <= near.size(q) ? p : q;
        for (const std::uint32_t* i = near.begin(shorter); i != near.end(shorter) && *i < j; ++i) {
          if (seen[*i] != j) {
            seen[*i] = j;
            candidates.push_back(*i);
          }
        }
      }
    }
    for (const std::uint32_t i : candidates)
      if (sharesTwoVertices(vertices, faces[i], faces[j])) byLater.emplace_back(i, j);
    if (byLater.size() > maxPairs) return false;
  }
  return true;
}

/// The pairs ordered by first, then second: a stable counting sort on the first face keeps each
/// face's pairs in the ascending order of the second that `byLater` has.
void orderByFirst(const std::vector<MeshModel::FacePair>& byLater, std::size_t faceCount,
                  std::vector<MeshModel::FacePair>& pairs) {
  std::vector<std::size_t> firstOf(faceCount + 1, 0);
  for (const MeshModel::FacePair& pair : byLater) ++firstOf[pair.first + 1];
  for (std::size_t i = 0; i < faceCount; ++i) firstOf[i + 1] += firstOf[i];
  pairs.resize(byLater.size());
  for (const MeshModel::FacePair& pair : byLater) pairs[firstOf[pair.first]++] = pair;
}

}  // namespace

std::vector<std::uint32_t> findSharedVertices(const MeshModel::Face& faceA, const MeshModel::Face& faceB,
                                              const MeshModel& model) {
  std::vector<std::uint32_t> shared;
  for (const std::uint32_t k : faceB.indices) {
    for (const std::uint32_t a : faceA.indices) {
      if (isShared(model.mVertices[a].position, model.mVertices[k].position)) {
        shared.push_back(k);
        break;
      }
    }
  }
  return shared;
}

bool computeFaceAdjacency(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                          std::vector<MeshModel::FacePair>& pairs, std::uint64_t maxPairs) {
  pairs.clear();
  if (faces.size() >= GridCellTable::kNone) return false;
  if (maxPairs == 0) maxPairs = 8 * static_cast<std::uint64_t>(faces.size()) + (std::uint64_t{1} << 22);

  std::vector<std::uint32_t> positionOf;
  std::vector<Eigen::Vector3f> positions;
  numberPositions(vertices, faces, positionOf, positions);
  const RunLists facesAt = facesAtPositions(faces, positionOf, positions.size());

  // Distinct positions that crowd within the distance come only from tiny offsets in a file; their
  // work is bounded apart from the pairs.
  const std::uint64_t maxCrowding = 64 * static_cast<std::uint64_t>(positions.size()) + (std::uint64_t{1} << 22);
  RunLists nearby, facesNear;
  if (!findNearbyPositions(positions, nearby, maxCrowding)) return false;
  const bool crowded = !nearby.items.empty();
  if (crowded && !facesNearPositions(facesAt, nearby, maxCrowding, facesNear)) return false;

  std::vector<MeshModel::FacePair> byLater;
  if (!findPairsByLater(vertices, faces, positionOf, crowded ? facesNear : facesAt, maxPairs, byLater)) return false;
  orderByFirst(byLater, faces.size(), pairs);
  return true;
}

}  // namespace Lumetra
