// A fuzzed file (as writeModelInput lays it out) loaded as a CAD model in this process (the guard's
// child process is switched off, so that whatever the import library does wrong shows here).
// Beyond the sanitizers' checks: a loaded model is consistent.
#include "FuzzSupport.h"

#include "Renderer/GuardedImport.h"
#include "Renderer/MeshModel.h"

#include <cmath>
#include <string>

// The import library leaks what it had built when it refuses many malformed files (ASCII STL, for
// one); the product imports such a file only in the guard's child process, which ends at once. A
// leak check after each of these inputs would cut the search's speed tenfold, so leaks are not
// checked here (the sanitizer build of the test suite checks the loader's own).
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  static const bool unguarded = [] {
    Lumetra::ImportGuardLimits limits;
    limits.enabled = false;
    Lumetra::setImportGuardLimits(limits);
    return true;
  }();
  (void)unguarded;
  const std::string path = FuzzSupport::writeModelInput(folder.path, data, size);
  if (path.empty()) return 0;
  CadModelSource source;
  source.modelPath = path;
  const Lumetra::MeshModel model(source, "", 0.001f, true);
  if (!model.mLoaded) return 0;
  std::size_t indices = 0;
  for (const Lumetra::MeshModel::Face& face : model.mFaces) {
    FUZZ_CHECK(face.indices.size() >= 3);
    for (const std::uint32_t v : face.indices) FUZZ_CHECK(v < model.mVertices.size());
    indices += face.indices.size();
  }
  FUZZ_CHECK(indices == model.mIndices.size());
  FUZZ_CHECK(std::isfinite(model.mMaxDistance) && model.mCentroid.allFinite());
  for (std::size_t p = 0; p < model.mAdjacentFaces.size(); ++p) {
    const auto& pair = model.mAdjacentFaces[p];
    FUZZ_CHECK(pair.first < pair.second && pair.second < model.mFaces.size());
    FUZZ_CHECK(p == 0 || model.mAdjacentFaces[p - 1] < pair);
  }
  return 0;
}
