#include "Renderer/GuardedImport.h"

#include "Renderer/ModelFileGuard.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace Lumetra {

namespace {

ImportGuardLimits& limitsInForce() {
  static ImportGuardLimits limits;
  return limits;
}

/// Checks what the post-processing steps take for granted and sets each mesh's primitive types
/// from its faces. False when the scene cannot be used.
bool repairScene(const aiScene& scene) {
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

/// The child's side: limits, the import, its message on `out`, and _exit. Never returns.
[[noreturn]] void runChild(int out, const std::string& path, unsigned postProcessing, std::uint64_t addressSpace) {
  // Nothing the import library or the C library may print on a crash reaches the console.
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
  rlimit memory{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
  if (addressSpace > 0 && ::setrlimit(RLIMIT_AS, &memory) != 0) ::_exit(3);
  int status = 2;
  try {
    Assimp::Importer importer;
    std::string error;
    status = importScene(importer, path, postProcessing, error) != nullptr ? 0 : 1;
    if (status != 0) {
      const ssize_t written = ::write(out, error.data(), std::min<std::size_t>(error.size(), 1024));
      (void)written;
    }
  } catch (...) {
    status = 2;
  }
  ::_exit(status);
}

}  // namespace

void setImportGuardLimits(const ImportGuardLimits& limits) { limitsInForce() = limits; }

const ImportGuardLimits& importGuardLimits() { return limitsInForce(); }

const aiScene* importScene(Assimp::Importer& importer, const std::string& path, unsigned postProcessing,
                           std::string& error) {
  // The file is read first, checked, and only then post-processed: the import library's own checks
  // end the process on some malformed scenes (a polygon flag on a mesh without polygons, say).
  if (!modelFileIsSound(path, error)) return nullptr;
  const aiScene* scene = importer.ReadFile(path, 0);
  if (scene == nullptr) {
    error = importer.GetErrorString();
    return nullptr;
  }
  if (!repairScene(*scene)) {
    error = "The model " + path + " has malformed meshes.";
    return nullptr;
  }
  scene = importer.ApplyPostProcessing(postProcessing);
  if (scene == nullptr) error = importer.GetErrorString();
  return scene;
}

bool importsInChild(const std::string& path, unsigned postProcessing, std::string& error) {
  const ImportGuardLimits limits = importGuardLimits();
  if (!limits.enabled) return true;
  struct stat info {};
  const std::uint64_t fileBytes = ::stat(path.c_str(), &info) == 0 && info.st_size > 0 ? info.st_size : 0;
  const std::uint64_t inUse = addressSpaceInUse();
  const std::uint64_t addressSpace =
      inUse == 0 ? 0 : inUse + limits.memoryBytes + limits.memoryBytesPerFileByte * fileBytes;

  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) {
    error = "Cannot import the model in a child process: no pipe.";
    return false;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    error = "Cannot import the model in a child process: fork failed.";
    return false;
  }
  if (child == 0) {
    ::close(channel[0]);
    runChild(channel[1], path, postProcessing, addressSpace);
  }
  ::close(channel[1]);

  // The child's message until it closes its end (it ends), or until the time is up.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits.seconds);
  std::string message;
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd wait{channel[0], POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[512];
    const ssize_t got = ::read(channel[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (message.size() < 4096) message.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(channel[0]);
  if (timedOut) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "Lost the child process importing the model.";
      return false;
    }
  }
  if (timedOut) {
    error = "Importing the model took longer than " + std::to_string(limits.seconds) + " s.";
    return false;
  }
  if (WIFSIGNALED(status)) {
    error = "Importing the model ended with signal " + std::to_string(WTERMSIG(status)) + ".";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = !message.empty() ? message : "Importing the model failed (status " + std::to_string(WEXITSTATUS(status)) + ").";
    return false;
  }
  return true;
}

}  // namespace Lumetra
