#include "Renderer/GuardedImport.h"

#include "Renderer/ModelFileGuard.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace Lumetra {

namespace {

ImportGuardLimits& limitsInForce() {
  static ImportGuardLimits limits;
  return limits;
}

/// Removes the meshes without faces from the scene and from its nodes' mesh lists (keeping the
/// order of the others); the number removed.
unsigned dropMeshesWithoutFaces(aiScene& scene) {
  std::vector<unsigned> newIndex(scene.mNumMeshes);
  unsigned kept = 0;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    aiMesh* mesh = scene.mMeshes[m];
    if (mesh->mNumFaces == 0) {
      delete mesh;
      newIndex[m] = UINT_MAX;
      continue;
    }
    newIndex[m] = kept;
    scene.mMeshes[kept++] = mesh;
  }
  const unsigned dropped = scene.mNumMeshes - kept;
  if (dropped == 0) return 0;
  scene.mNumMeshes = kept;
  std::vector<aiNode*> nodes;
  if (scene.mRootNode != nullptr) nodes.push_back(scene.mRootNode);
  while (!nodes.empty()) {
    aiNode* node = nodes.back();
    nodes.pop_back();
    unsigned at = 0;
    for (unsigned k = 0; k < node->mNumMeshes; ++k)
      if (node->mMeshes[k] < newIndex.size() && newIndex[node->mMeshes[k]] != UINT_MAX)
        node->mMeshes[at++] = newIndex[node->mMeshes[k]];
    node->mNumMeshes = at;
    for (unsigned c = 0; c < node->mNumChildren; ++c)
      if (node->mChildren[c] != nullptr) nodes.push_back(node->mChildren[c]);
  }
  return dropped;
}

/// Checks what the post-processing steps take for granted, drops the meshes without faces (counted
/// in `dropped`) and sets each remaining mesh's primitive types from its faces. False when the scene
/// cannot be used.
bool repairScene(aiScene& scene, unsigned& dropped) {
  if (scene.mNumMeshes > 0 && scene.mMeshes == nullptr) return false;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    aiMesh* mesh = scene.mMeshes[m];
    if (mesh == nullptr || (mesh->mNumVertices > 0 && mesh->mVertices == nullptr) ||
        (mesh->mNumFaces > 0 && mesh->mFaces == nullptr) || mesh->mMaterialIndex >= scene.mNumMaterials) {
      return false;
    }
    unsigned types = 0;
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& face = mesh->mFaces[f];
      if (face.mNumIndices == 0 || face.mIndices == nullptr) return false;
      for (unsigned k = 0; k < face.mNumIndices; ++k)
        if (face.mIndices[k] >= mesh->mNumVertices) return false;
      types |= face.mNumIndices == 1   ? aiPrimitiveType_POINT
               : face.mNumIndices == 2 ? aiPrimitiveType_LINE
               : face.mNumIndices == 3 ? aiPrimitiveType_TRIANGLE
                                       : aiPrimitiveType_POLYGON;
    }
    mesh->mPrimitiveTypes = types;
  }
  dropped = dropMeshesWithoutFaces(scene);
  return true;
}

/// The process's address space in bytes (0 when unknown).
std::uint64_t addressSpaceInUse() {
  unsigned long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
  std::fclose(statm);
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

/// The smaller of the process's hard address-space limit and the allowance for the file (0 when
/// the address space in use is unknown and there is no hard limit).
std::uint64_t childAddressSpace(const ImportGuardLimits& limits, std::uint64_t fileBytes) {
  const std::uint64_t inUse = addressSpaceInUse();
  std::uint64_t perFile = 0, wanted = 0;
  if (__builtin_mul_overflow(limits.memoryBytesPerFileByte, fileBytes, &perFile) ||
      __builtin_add_overflow(inUse, limits.memoryBytes, &wanted) || __builtin_add_overflow(wanted, perFile, &wanted)) {
    wanted = UINT64_MAX;
  }
  if (inUse == 0) wanted = 0;
  rlimit current{};
  if (::getrlimit(RLIMIT_AS, &current) == 0 && current.rlim_max != RLIM_INFINITY)
    wanted = wanted == 0 ? current.rlim_max : std::min<std::uint64_t>(wanted, current.rlim_max);
  return wanted;
}

/// The child's time limit in seconds for a file of the given size.
unsigned childSeconds(const ImportGuardLimits& limits, std::uint64_t fileBytes) {
  const double added = std::ceil(limits.secondsPerMegabyte * static_cast<double>(fileBytes) / (1 << 20));
  return static_cast<unsigned>(std::min(static_cast<double>(limits.seconds) + std::max(added, 0.0), 1e6));
}

/// Exit statuses of the child besides 0 (done) and 1 (refused, with the work's message).
enum ChildStatus { kChildFailed = 2, kChildNoLimits = 3, kChildOutOfMemory = 4, kChildOrphaned = 5 };

/// The child's side: limits, the work, its message on `out`, and _exit. Never returns.
[[noreturn]] void runChild(int out, pid_t parent, const GuardedWork& work, std::uint64_t addressSpace,
                           unsigned seconds) {
  // The child must not go on when its parent is gone: killed in the middle of an import, the
  // parent keeps no time limit any more.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(kChildOrphaned);
  // Nothing the import library or the C library may print on a crash reaches the console.
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
  // Its own CPU-time limit, a little beyond the parent's clock, in case the parent stalls (within
  // the hard limit that the process was given).
  rlimit cpu{};
  ::getrlimit(RLIMIT_CPU, &cpu);
  const rlim_t hardCpu = cpu.rlim_max;
  cpu.rlim_max = std::min<rlim_t>(static_cast<rlim_t>(seconds) + 2, hardCpu);
  cpu.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(seconds) + 1, cpu.rlim_max);
  rlimit memory{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
  if (::setrlimit(RLIMIT_CPU, &cpu) != 0 || (addressSpace > 0 && ::setrlimit(RLIMIT_AS, &memory) != 0))
    ::_exit(kChildNoLimits);
  int status = kChildFailed;
  try {
    std::string error, output;
    status = work(error, output) ? 0 : 1;
    // The import library turns a failed allocation into its error text.
    if (status != 0 && error == std::bad_alloc().what()) status = kChildOutOfMemory;
    if (status == 1) output = error.substr(0, 1024);
    // The parent reads until the pipe closes; a write cut short ends the child unfinished.
    for (std::size_t at = 0; at < output.size() && (status == 0 || status == 1);) {
      const ssize_t written = ::write(out, output.data() + at, output.size() - at);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) status = kChildFailed;
      else at += static_cast<std::size_t>(written);
    }
  } catch (const std::bad_alloc&) {
    status = kChildOutOfMemory;
  } catch (...) {
    status = kChildFailed;
  }
  ::_exit(status);
}

/// What the child writes on `in` until it closes its end (it ends), or until the time is up (then
/// `timedOut` is set).
std::string childOutput(int in, unsigned seconds, bool& timedOut) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  std::string message;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd wait{in, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    message.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return message;
}

}  // namespace

void setImportGuardLimits(const ImportGuardLimits& limits) { limitsInForce() = limits; }

const ImportGuardLimits& importGuardLimits() { return limitsInForce(); }

const aiScene* importScene(Assimp::Importer& importer, const std::string& path, unsigned postProcessing,
                           std::string& error, unsigned* droppedMeshes,
                           const std::function<void(aiScene&)>& asRead) {
  // The file is read first, checked, and only then post-processed: the import library's own checks
  // end the process on some malformed scenes (a polygon flag on a mesh without polygons, say).
  if (!modelFileIsSound(path, error)) return nullptr;
  const aiScene* scene = importer.ReadFile(path, 0);
  if (scene == nullptr) {
    error = importer.GetErrorString();
    return nullptr;
  }
  if (asRead) asRead(*const_cast<aiScene*>(scene));
  unsigned dropped = 0;
  if (!repairScene(*const_cast<aiScene*>(scene), dropped)) {
    error = "its meshes are malformed.";
    return nullptr;
  }
  if (droppedMeshes != nullptr) *droppedMeshes = dropped;
  scene = importer.ApplyPostProcessing(postProcessing);
  if (scene == nullptr) error = importer.GetErrorString();
  return scene;
}

bool succeedsInChild(const std::string& path, const GuardedWork& work, std::string& error, std::string& output,
                     unsigned passes) {
  const ImportGuardLimits limits = importGuardLimits();
  if (!limits.enabled) return work(error, output);
  struct stat info {};
  const std::uint64_t fileBytes = ::stat(path.c_str(), &info) == 0 && info.st_size > 0 ? info.st_size : 0;
  const std::uint64_t addressSpace = childAddressSpace(limits, fileBytes);
  const unsigned seconds = childSeconds(limits, fileBytes) * std::max(passes, 1u);

  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) {
    error = "no pipe to a child process could be made.";
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    error = "no child process could be started to import it.";
    return false;
  }
  if (child == 0) {
    ::close(channel[0]);
    runChild(channel[1], parent, work, addressSpace, seconds);
  }
  ::close(channel[1]);

  bool timedOut = false;
  std::string message = childOutput(channel[0], seconds, timedOut);
  ::close(channel[0]);
  if (timedOut) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "the child process importing it was lost.";
      return false;
    }
  }
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (timedOut || signal == SIGXCPU) {
    error = "its import took longer than " + std::to_string(seconds) + " s and was stopped.";
  } else if (exit == kChildOutOfMemory) {
    error = "its import was stopped at its memory limit of " + std::to_string(addressSpace >> 20) + " MB.";
  } else if (signal != 0) {
    error = "the import library crashed on it (signal " + std::to_string(signal) + ").";
  } else if (exit == kChildNoLimits) {
    error = "its import could not be given its limits (" + std::to_string(addressSpace >> 20) + " MB, " +
            std::to_string(seconds) + " s).";
  } else if (exit == 1 && !message.empty()) {
    error = message;
  } else if (exit != 0) {
    error = "its import failed (status " + std::to_string(exit) + ").";
  }
  if (exit == 0 && !timedOut) output = std::move(message);
  return exit == 0 && !timedOut;
}

}  // namespace Lumetra
