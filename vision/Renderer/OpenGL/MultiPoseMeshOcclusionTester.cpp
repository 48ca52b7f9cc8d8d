#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Renderer/OpenGL/CameraProjection.h"
#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/OcclusionShaders.h"
#include "Renderer/OpenGL/ShaderProgram.h"

#include <glad/gl.h>

#include <algorithm>
#include <limits>
#include <string>

namespace Lumetra::OpenGL {

namespace {

static_assert(sizeof(Eigen::Vector3f) == 12, "positions are uploaded as packed float triples");

using Tester = MultiPoseMeshOcclusionTester;
static_assert(Tester::mPosesPerPass == Tester::mGridSize * Tester::mGridSize, "one pass fills the tile grid");

std::vector<float> modelViewMatrices(const std::vector<TrainingPose>& poses) {
  std::vector<float> matrices(poses.size() * 16);
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const Eigen::Matrix4f m = poses[i].modelView();
    std::copy(m.data(), m.data() + 16, matrices.begin() + static_cast<std::ptrdiff_t>(i * 16));
  }
  return matrices;
}

// Attributes 1 to 4: the columns of one model-view matrix per instance.
void bindModelViewAttributes(GLuint buffer) {
  glBindBuffer(GL_ARRAY_BUFFER, buffer);
  for (GLuint column = 0; column < 4; ++column) {
    glEnableVertexAttribArray(1 + column);
    glVertexAttribPointer(1 + column, 4, GL_FLOAT, GL_FALSE, 64,
                          reinterpret_cast<const void*>(static_cast<std::uintptr_t>(16 * column)));
    glVertexAttribDivisor(1 + column, 1);
  }
}

// At most 8196 characters of a shader's or a program's info log.
void uploadPositions(GLuint buffer, const std::vector<Eigen::Vector3f>& points) {
  glBindBuffer(GL_ARRAY_BUFFER, buffer);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(points.size() * 12), points.data(), GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 12, nullptr);
}

}  // namespace

MultiPoseMeshOcclusionTester::MultiPoseMeshOcclusionTester(const PinholeCamera& camera, Points vertices,
                                                           std::vector<std::uint32_t> indices, Points samplePoints)
    : MeshRenderer(camera),
      mVertices(std::move(vertices)),
      mIndices(std::move(indices)),
      mSamplePoints(std::move(samplePoints)) {
  initializeGL();
}

MultiPoseMeshOcclusionTester::~MultiPoseMeshOcclusionTester() {
  if (mInitialized) releaseGL();
}

bool MultiPoseMeshOcclusionTester::cameraFits(const PinholeCamera& camera) {
  return cameraFits(camera, GlContext::shared().maxRenderbufferSize());
}

bool MultiPoseMeshOcclusionTester::cameraFits(const PinholeCamera& camera, std::int64_t largestRenderbuffer) {
  const std::uint64_t largest = static_cast<std::uint64_t>(std::max<std::int64_t>(largestRenderbuffer, 0));
  return camera.width > 0 && camera.height > 0 && std::uint64_t(camera.width) * mGridSize <= largest &&
         std::uint64_t(camera.height) * mGridSize <= largest;
}

void MultiPoseMeshOcclusionTester::initializeGL() {
  if (!canInitialize()) return;
  mInitialized = true;
  const std::string insideTile = shaderHeader() + kInsideTile;
  if (!linkProgram(mMeshProgram, vertexShader(kMeshVertex), insideTile + kMeshFragment) ||
      !linkProgram(mPointProgram, vertexShader(kPointVertex), pointFragmentShader("vec4(1.0, 0.0, 0.0, 1.0)")) ||
      !createFramebuffer()) {
    return;
  }
  createMeshAndPointArrays();
  if (!createMultiPoseArray()) return;
  setUniforms();
  const GLenum error = glGetError();
  if (error != GL_NO_ERROR) {
    LUMETRA_LOG_ERROR("OpenGL error {} while setting up the occlusion tester.", error);
    return;
  }
  mReady = true;
}

bool MultiPoseMeshOcclusionTester::canInitialize() {
  if (!GlContext::shared().makeContextCurrent()) return false;
  while (glGetError() != GL_NO_ERROR) {
  }
  if (GLAD_GL_VERSION_4_3 == 0) {
    LUMETRA_LOG_ERROR("The OpenGL context lacks version 4.3 (shader storage buffers).");
    return false;
  }
  if (!cameraFits(mCamera)) {
    LUMETRA_LOG_ERROR("Failed to create Framebuffer with size {}x{}.", std::uint64_t(mCamera.width) * mGridSize,
                      std::uint64_t(mCamera.height) * mGridSize);
    return false;
  }
  const std::size_t vertexCount = mVertices.size();
  if (mIndices.size() > std::size_t(std::numeric_limits<GLsizei>::max()) ||
      vertexCount > std::size_t(std::numeric_limits<GLsizei>::max()) ||
      std::any_of(mIndices.begin(), mIndices.end(), [&](std::uint32_t i) { return i >= vertexCount; })) {
    LUMETRA_LOG_ERROR("Mesh indices outside its {} vertices.", vertexCount);
    return false;
  }
  GLint blockSize = 0;
  glGetIntegerv(GL_MAX_SHADER_STORAGE_BLOCK_SIZE, &blockSize);
  mMaxFlags = std::min<std::size_t>(static_cast<std::size_t>(std::max(blockSize, 0)) / 4,
                                    std::size_t(std::numeric_limits<GLint>::max()));
  if (mSamplePoints.size() > mMaxFlags) {
    LUMETRA_LOG_ERROR("{} sample points exceed a storage buffer of {} flags.", mSamplePoints.size(), mMaxFlags);
    return false;
  }
  return true;
}

void MultiPoseMeshOcclusionTester::createMeshAndPointArrays() {
  glGenVertexArrays(1, &mMeshVao);
  glBindVertexArray(mMeshVao);
  glGenBuffers(1, &mMeshVbo);
  uploadPositions(mMeshVbo, mVertices);
  glGenBuffers(1, &mMeshEbo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mMeshEbo);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(mIndices.size() * 4), mIndices.data(),
               GL_STATIC_DRAW);
  glGenBuffers(1, &mModelViewBuffer);
  glBindBuffer(GL_ARRAY_BUFFER, mModelViewBuffer);
  glBufferData(GL_ARRAY_BUFFER, 64 * mPosesPerPass, nullptr, GL_DYNAMIC_DRAW);
  bindModelViewAttributes(mModelViewBuffer);

  glGenVertexArrays(1, &mPointVao);
  glBindVertexArray(mPointVao);
  glGenBuffers(1, &mPointVbo);
  uploadPositions(mPointVbo, mSamplePoints);
  bindModelViewAttributes(mModelViewBuffer);
  glGenBuffers(1, &mVisibilityBuffer);
}

bool MultiPoseMeshOcclusionTester::createMultiPoseArray() {
  if (!linkProgram(mMultiPoseProgram, vertexShader(kMultiPoseVertex),
                   pointFragmentShader("vec4(1.0, 1.0, 0.0, 1.0)"))) {
    glBindVertexArray(0);
    return false;
  }
  glGenVertexArrays(1, &mMultiPoseVao);
  glBindVertexArray(mMultiPoseVao);
  glGenBuffers(1, &mMultiPoseVbo);
  uploadPositions(mMultiPoseVbo, Points());
  glGenBuffers(1, &mMultiPoseVisibilityBuffer);
  glBindVertexArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  return true;
}

void MultiPoseMeshOcclusionTester::setUniforms() {
  glProgramUniform1i(mPointProgram, glGetUniformLocation(mPointProgram, "samplePointOffset"),
                     static_cast<GLint>(mSamplePoints.size()));
  for (GLuint program : {mMeshProgram, mPointProgram, mMultiPoseProgram}) {
    glProgramUniform2f(program, glGetUniformLocation(program, "tileSize"), static_cast<float>(mCamera.width),
                       static_cast<float>(mCamera.height));
  }
  updateProjection();
}

bool MultiPoseMeshOcclusionTester::linkProgram(std::uint32_t& program, const std::string& vertexSource,
                                               const std::string& fragmentSource) {
  const ShaderBuild build = buildShaderProgram(program, vertexSource.c_str(), fragmentSource.c_str());
  if (build.failedStep == ShaderStep::CompileVertex || build.failedStep == ShaderStep::CompileFragment) {
    LUMETRA_LOG_ERROR("Failed to compile shader: {}", build.log);
  } else if (!build.ok()) {
    LUMETRA_LOG_ERROR("Shader Linking error: \n{}", build.log);
  }
  return build.ok();
}

bool MultiPoseMeshOcclusionTester::createFramebuffer() {
  const GLsizei width = static_cast<GLsizei>(mCamera.width * mGridSize);
  const GLsizei height = static_cast<GLsizei>(mCamera.height * mGridSize);
  glGenFramebuffers(1, &mFramebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
  glGenTextures(1, &mColorTexture);
  glBindTexture(GL_TEXTURE_2D, mColorTexture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glBindTexture(GL_TEXTURE_2D, 0);
  glGenRenderbuffers(1, &mDepthRenderbuffer);
  glBindRenderbuffer(GL_RENDERBUFFER, mDepthRenderbuffer);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT32F, width, height);
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, mDepthRenderbuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, mColorTexture, 0);
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    LUMETRA_LOG_ERROR("Failed to create Framebuffer with size {}x{}.", width, height);
    return false;
  }
  return true;
}

void MultiPoseMeshOcclusionTester::updateProjection() {
  const Eigen::Matrix4f proj = cameraProjection(mCamera, mNear, mFar);
  for (GLuint program : {mMeshProgram, mPointProgram, mMultiPoseProgram}) {
    glProgramUniformMatrix4fv(program, glGetUniformLocation(program, "proj"), 1, GL_FALSE, proj.data());
  }
  mDepthMatrices.clear();
}

void MultiPoseMeshOcclusionTester::setClippingPlanes(float nearPlane, float farPlane) {
  if (!(nearPlane > 0.0f && nearPlane < farPlane)) {
    LUMETRA_LOG_ERROR("Clipping planes {} and {} refused.", nearPlane, farPlane);
    return;
  }
  mNear = nearPlane;
  mFar = farPlane;
  if (mReady && GlContext::shared().makeContextCurrent()) updateProjection();
}

bool MultiPoseMeshOcclusionTester::usable(std::size_t poseCount, std::size_t flagCount) const {
  if (!mReady) return false;
  if (poseCount > std::size_t(mPosesPerPass) || flagCount > mMaxFlags) {
    LUMETRA_LOG_ERROR("{} poses with {} points exceed one pass.", poseCount, flagCount);
    return false;
  }
  return GlContext::shared().makeContextCurrent();
}

void MultiPoseMeshOcclusionTester::renderDepth(const std::vector<TrainingPose>& poses) {
  const GLint count = static_cast<GLint>(poses.size());
  const GLint columns = std::min(count, mGridSize);
  const GLint rows = (count + mGridSize - 1) / mGridSize;
  const GLsizei w = static_cast<GLsizei>(mCamera.width);
  const GLsizei h = static_cast<GLsizei>(mCamera.height);
  while (glGetError() != GL_NO_ERROR) {
  }
  glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
  glViewport(0, 0, w * mGridSize, h * mGridSize);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glEnable(GL_SCISSOR_TEST);
  std::vector<float> matrices = modelViewMatrices(poses);
  // The point passes write no depth: a second pass over the same poses reuses this one.
  if (matrices != mDepthMatrices) {
    // Only the tiles in use now or drawn into before need clearing.
    glScissor(0, 0, w * std::max(columns, mDirtyColumns), h * std::max(rows, mDirtyRows));
    glDepthMask(GL_TRUE);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepthf(1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    mDirtyColumns = columns;
    mDirtyRows = rows;
    glScissor(0, 0, w * columns, h * rows);
    glUseProgram(mMeshProgram);
    glBindVertexArray(mMeshVao);
    glBindBuffer(GL_ARRAY_BUFFER, mModelViewBuffer);
    glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(matrices.size() * 4), matrices.data());
    glDrawElementsInstanced(GL_TRIANGLES, static_cast<GLsizei>(mIndices.size() / 3 * 3), GL_UNSIGNED_INT, nullptr,
                            count);
    mDepthMatrices = std::move(matrices);
  }
  glScissor(0, 0, w * columns, h * rows);
  glDepthMask(GL_FALSE);
  glEnable(GL_PROGRAM_POINT_SIZE);
}

void MultiPoseMeshOcclusionTester::prepareVisibility(std::uint32_t buffer, std::size_t count) {
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffer);
  GLint64 size = 0;
  glGetBufferParameteri64v(GL_SHADER_STORAGE_BUFFER, GL_BUFFER_SIZE, &size);
  const GLsizeiptr bytes = static_cast<GLsizeiptr>(count * 4);
  if (size < bytes) glBufferData(GL_SHADER_STORAGE_BUFFER, bytes, nullptr, GL_DYNAMIC_READ);
  glClearBufferSubData(GL_SHADER_STORAGE_BUFFER, GL_R32I, 0, bytes, GL_RED_INTEGER, GL_INT, nullptr);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, buffer);
}

std::vector<std::int32_t> MultiPoseMeshOcclusionTester::finishPass(std::size_t count) {
  std::vector<std::int32_t> flags(count, 0);
  glBindVertexArray(0);
  if (count > 0) {
    // Shader writes reach the buffer's read-back only after this barrier.
    glMemoryBarrier(GL_BUFFER_UPDATE_BARRIER_BIT);
    glGetBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, static_cast<GLsizeiptr>(count * 4), flags.data());
  }
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, 0);
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, 0);
  glDepthMask(GL_TRUE);
  glDisable(GL_SCISSOR_TEST);
  glUseProgram(0);
  const GLenum error = glGetError();
  if (error != GL_NO_ERROR) {
    LUMETRA_LOG_ERROR("OpenGL error {} during an occlusion pass.", error);
    mDepthMatrices.clear();
    flags.clear();
  }
  return flags;
}

MultiPoseMeshOcclusionTester::Visibility MultiPoseMeshOcclusionTester::calculateVisibleSamplePoints(
    const std::vector<TrainingPose>& poses) {
  PROFILE_BLOCK("Lumetra::OpenGL::MultiPoseMeshOcclusionTester::calculateVisibleSamplePoints");
  const std::size_t poseCount = poses.size();
  const std::size_t sampleCount = mSamplePoints.size();
  if (poseCount == 0 || !usable(poseCount, poseCount * sampleCount)) return {};
  renderDepth(poses);
  const std::size_t count = poseCount * sampleCount;
  if (count > 0) {
    glUseProgram(mPointProgram);
    glBindVertexArray(mPointVao);
    prepareVisibility(mVisibilityBuffer, count);
    glDrawArraysInstanced(GL_POINTS, 0, static_cast<GLsizei>(sampleCount), static_cast<GLsizei>(poseCount));
  }
  const std::vector<std::int32_t> flags = finishPass(count);
  if (flags.size() != count) return {};
  Visibility visible(poseCount, std::vector<bool>(sampleCount));
  for (std::size_t p = 0; p < poseCount; ++p) {
    for (std::size_t k = 0; k < sampleCount; ++k) visible[p][k] = flags[p * sampleCount + k] != 0;
  }
  return visible;
}

MultiPoseMeshOcclusionTester::Visibility MultiPoseMeshOcclusionTester::calculateVisibleSamplePoints(
    const std::vector<TrainingPose>& poses, const std::vector<Points>& pointsPerPose) {
  PROFILE_BLOCK("Lumetra::OpenGL::MultiPoseMeshOcclusionTester::calculateVisibleSamplePoints");
  const std::size_t poseCount = poses.size();
  if (pointsPerPose.size() != poseCount) {
    LUMETRA_LOG_ERROR("{} point lists for {} poses.", pointsPerPose.size(), poseCount);
    return {};
  }
  std::size_t total = 0;
  for (const Points& points : pointsPerPose) total += points.size();
  if (poseCount == 0 || !usable(poseCount, total)) return {};
  std::vector<GLint> offsets(poseCount, 0);  // first point of each pose; fits: total <= mMaxFlags
  for (std::size_t i = 1; i < poseCount; ++i) {
    offsets[i] = offsets[i - 1] + static_cast<GLint>(pointsPerPose[i - 1].size());
  }
  renderDepth(poses);
  if (total > 0) {
    glUseProgram(mMultiPoseProgram);
    glBindVertexArray(mMultiPoseVao);
    glBindBuffer(GL_ARRAY_BUFFER, mMultiPoseVbo);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(total * 12), nullptr, GL_STREAM_DRAW);
    for (std::size_t i = 0; i < poseCount; ++i) {
      glBufferSubData(GL_ARRAY_BUFFER, offsets[i] * 12, static_cast<GLsizeiptr>(pointsPerPose[i].size() * 12),
                      pointsPerPose[i].data());
    }
    prepareVisibility(mMultiPoseVisibilityBuffer, total);
    const std::vector<float> matrices = modelViewMatrices(poses);
    const GLsizei count = static_cast<GLsizei>(poseCount);
    glUniform1i(glGetUniformLocation(mMultiPoseProgram, "numPoses"), count);
    glUniformMatrix4fv(glGetUniformLocation(mMultiPoseProgram, "modelView"), count, GL_FALSE, matrices.data());
    glUniform1iv(glGetUniformLocation(mMultiPoseProgram, "samplePointOffset"), count, offsets.data());
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(total));
  }
  const std::vector<std::int32_t> flags = finishPass(total);
  if (flags.size() != total) return {};
  Visibility visible(poseCount);
  for (std::size_t i = 0; i < poseCount; ++i) {
    visible[i].resize(pointsPerPose[i].size());
    for (std::size_t j = 0; j < visible[i].size(); ++j) visible[i][j] = flags[std::size_t(offsets[i]) + j] != 0;
  }
  return visible;
}

const ImageRGBA& MultiPoseMeshOcclusionTester::getImage() {
  mImage = ImageRGBA();
  if (!mReady || !GlContext::shared().makeContextCurrent()) return mImage;
  try {
    mImage.create(Vec2u(mCamera.width * mGridSize, mCamera.height * mGridSize));
  } catch (...) {
    mImage = ImageRGBA();
    return mImage;
  }
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glBindTexture(GL_TEXTURE_2D, mColorTexture);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, mImage.values());
  glBindTexture(GL_TEXTURE_2D, 0);
  return mImage;
}

void MultiPoseMeshOcclusionTester::releaseGL() {
  if (GlContext::shared().isInitialized() && GlContext::shared().makeContextCurrent()) {
    auto deleteIf = [](GLboolean (*exists)(GLuint), void (*remove)(GLsizei, const GLuint*), std::uint32_t& name) {
      if (name != 0 && exists(name) == GL_TRUE) remove(1, &name);
      name = 0;
    };
    deleteIf(glIsFramebuffer, glDeleteFramebuffers, mFramebuffer);
    deleteIf(glIsTexture, glDeleteTextures, mColorTexture);
    for (std::uint32_t* buffer : {&mModelViewBuffer, &mMeshVbo, &mMeshEbo}) deleteIf(glIsBuffer, glDeleteBuffers, *buffer);
    deleteIf(glIsVertexArray, glDeleteVertexArrays, mMeshVao);
    for (std::uint32_t* buffer : {&mPointVbo, &mMultiPoseVbo}) deleteIf(glIsBuffer, glDeleteBuffers, *buffer);
    deleteIf(glIsVertexArray, glDeleteVertexArrays, mPointVao);
    deleteIf(glIsVertexArray, glDeleteVertexArrays, mMultiPoseVao);
    deleteIf(glIsRenderbuffer, glDeleteRenderbuffers, mDepthRenderbuffer);
    for (std::uint32_t* buffer : {&mVisibilityBuffer, &mMultiPoseVisibilityBuffer}) {
      deleteIf(glIsBuffer, glDeleteBuffers, *buffer);
    }
    for (std::uint32_t* program : {&mPointProgram, &mMeshProgram, &mMultiPoseProgram}) {
      if (*program != 0 && glIsProgram(*program) == GL_TRUE) glDeleteProgram(*program);
      *program = 0;
    }
  }
  mDepthMatrices.clear();
  mReady = false;
  MeshRenderer::releaseGL();
}

}  // namespace Lumetra::OpenGL
