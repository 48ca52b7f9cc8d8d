#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"

#include "ObjectTracker/Trainer/Image/RenderSurface.h"

#include "Core/Log.h"
#include "Image/ImageOP.h"
#include "Renderer/OpenGL/CameraProjection.h"
#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/ShaderProgram.h"

#include <glad/gl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace Obrin {

namespace {

const char* const kObjectVertexShader = R"(#version 330
layout (location = 0) in vec3 pos;
layout (location = 1) in vec2 tex;
out vec2 TexCoord;
uniform mat4 model;
uniform mat4 projection;
uniform mat4 view;
void main() {
  TexCoord = tex;
  gl_Position = projection * view * model * vec4(pos, 1.0);
}
)";

const char* const kObjectFragmentShader = R"(#version 330
in vec2 TexCoord;
out vec4 colour;
uniform sampler2D theTexture;
void main() {
  colour = texture(theTexture, TexCoord);
}
)";

const char* const kScreenVertexShader = R"(#version 330
layout (location = 0) in vec2 aPos;
layout (location = 1) in vec2 aTexCoords;
out vec2 TexCoords;
void main() {
  TexCoords = aTexCoords;
  gl_Position = vec4(aPos.x, aPos.y, 0.0, 1.0);
}
)";

const char* const kScreenFragmentShader = R"(#version 330 core
in vec2 TexCoords;
out vec4 FragColor;
uniform sampler2D screenTexture;
const float offset = 1.0 / 300.0;
void main() {
  vec2 offsets[9] = vec2[](vec2(-offset, offset), vec2(0.0, offset), vec2(offset, offset),
                           vec2(-offset, 0.0), vec2(0.0, 0.0), vec2(offset, 0.0),
                           vec2(-offset, -offset), vec2(0.0, -offset), vec2(offset, -offset));
  float kernel[9] = float[](1.0, 1.0, 1.0, 1.0, -8.0, 1.0, 1.0, 1.0, 1.0);
  vec3 sum = vec3(0.0);
  for (int i = 0; i < 9; i++) sum += vec3(texture(screenTexture, TexCoords.st + offsets[i])) * kernel[i];
  FragColor = vec4(sum, 1.0);
}
)";

constexpr std::uint32_t kIndices[6] = {0, 1, 2, 1, 2, 3};

// The next mipmap level: each side halved (at least 1), each texel the mean of the 2 x 2 block
// above it, the block cut at an odd last row or column.
Lumetra::ImageRGB halfSize(const Lumetra::ImageRGB& image) {
  const std::uint32_t w = std::max(1u, image.width / 2);
  const std::uint32_t h = std::max(1u, image.height / 2);
  Lumetra::ImageRGB half;
  half.create(Lumetra::Vec2u(w, h));
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint32_t y1 = std::min(2 * y + 1, image.height - 1);
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint32_t x1 = std::min(2 * x + 1, image.width - 1);
      for (int c = 0; c < 3; ++c) {
        const unsigned sum = image.at(2 * x, 2 * y)[c] + image.at(x1, 2 * y)[c] + image.at(2 * x, y1)[c] +
                             image.at(x1, y1)[c];
        half.at(x, y)[c] = static_cast<std::uint8_t>((sum + 2) / 4);
      }
    }
  }
  return half;
}

}  // namespace

std::size_t viewExtractionThreads() {
  const std::size_t cores = std::thread::hardware_concurrency();
  return cores > 1 ? cores - 1 : 1;
}

Eigen::Matrix4f lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& target, const Eigen::Vector3f& up) {
  const Eigen::Vector3f f = (target - eye).normalized();
  const Eigen::Vector3f s = f.cross(up).normalized();
  const Eigen::Vector3f u = s.cross(f);
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m.block<1, 3>(0, 0) = s.transpose();
  m.block<1, 3>(1, 0) = u.transpose();
  m.block<1, 3>(2, 0) = -f.transpose();
  m(0, 3) = -s.dot(eye);
  m(1, 3) = -u.dot(eye);
  m(2, 3) = f.dot(eye);
  return m;
}

MultipleViewRenderer::MultipleViewRenderer() = default;

MultipleViewRenderer::~MultipleViewRenderer() { teardown(); }

std::int32_t MultipleViewRenderer::width() const { return mSurface != nullptr ? mSurface->width : 0; }

std::int32_t MultipleViewRenderer::height() const { return mSurface != nullptr ? mSurface->height : 0; }

void MultipleViewRenderer::makeCurrent() const {
  Lumetra::OpenGL::GlContext::shared().makeContextCurrent(mSurface->window);
}

bool MultipleViewRenderer::initWindow(std::int32_t width, std::int32_t height, bool debugWindow) {
  if (mSurface != nullptr || width < 1 || height < 1) {
    mFailure = "no window of " + std::to_string(width) + " x " + std::to_string(height) + " can be made";
    return false;
  }
  mSurface = takeIdleSurface(width, height, debugWindow);
  if (mSurface != nullptr) {
    makeCurrent();
    glViewport(0, 0, mSurface->width, mSurface->height);
    return true;
  }
  mSurface = std::make_unique<RenderSurface>();
  mSurface->requestedWidth = width;
  mSurface->requestedHeight = height;
  mSurface->debugWindow = debugWindow;
  return buildSurface(width, height, debugWindow);
}

bool MultipleViewRenderer::buildSurface(std::int32_t width, std::int32_t height, bool debugWindow) {
  RenderSurface& s = *mSurface;
  Lumetra::OpenGL::GlContext& context = Lumetra::OpenGL::GlContext::shared();
  if (!context.isInitialized()) {
    OBRIN_LOG_ERROR("Rendering window initialisation failed. Check linker for GLFW.");
    mFailure = context.failure();
    mSurface.reset();
    return false;
  }
  static std::atomic<unsigned> surfaces{0};
  const std::string name = "Multiple view renderer " + std::to_string(surfaces++);
  if (!context.openWindow(name, width, height, debugWindow, s.width, s.height)) {
    OBRIN_LOG_ERROR("Failed to create glfw window.");
    mFailure = context.failure();
    mSurface.reset();
    return false;
  }
  s.window = name;
  if (s.width < 1 || s.height < 1) {
    OBRIN_LOG_ERROR("Failed to glad Initialize.");
    mFailure = "the display gave the " + std::to_string(width) + " x " + std::to_string(height) +
               " window no framebuffer (Image.Training.Resolution)";
    mSurface.reset();
    return false;
  }
  s.glLoaded = true;
  glViewport(0, 0, s.width, s.height);
  if (!createFramebuffer()) {
    OBRIN_LOG_ERROR("Failed to create the offscreen framebuffer of {} x {}.", s.width, s.height);
    mFailure = "the OpenGL driver cannot render " + std::to_string(s.width) + " x " + std::to_string(s.height) +
               " views (Image.Training.Resolution)";
    return false;
  }
  const bool screen = buildProgram(s.screenProgram, kScreenVertexShader, kScreenFragmentShader);
  if (!screen) OBRIN_LOG_ERROR("Fail to create screen shader");
  const bool object = screen && buildProgram(s.objectProgram, kObjectVertexShader, kObjectFragmentShader);
  if (screen && !object) OBRIN_LOG_ERROR("Fail to create vertex buffer shader");
  if (!object) {
    OBRIN_LOG_ERROR("Fail to create OpenGLfw shader");
    mFailure = "the OpenGL driver refused the view shaders";
    return false;
  }
  s.complete = true;
  return true;
}

bool MultipleViewRenderer::createFramebuffer() {
  RenderSurface& s = *mSurface;
  glGenFramebuffers(1, &s.framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, s.framebuffer);
  glGenRenderbuffers(1, &s.colourBuffer);
  glBindRenderbuffer(GL_RENDERBUFFER, s.colourBuffer);
  // Only the red channel is read back, and one channel a pixel is what the rasteriser then
  // clears, writes and reads fastest. A shown window gets the gray picture: all four channels.
  glRenderbufferStorage(GL_RENDERBUFFER, s.debugWindow ? GL_RGBA8 : GL_R8, s.width, s.height);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, s.colourBuffer);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  return complete && glGetError() == GL_NO_ERROR;
}

bool MultipleViewRenderer::buildProgram(std::uint32_t& program, const char* vertexSource,
                                        const char* fragmentSource) {
  const Lumetra::OpenGL::ShaderBuild build = Lumetra::OpenGL::buildShaderProgram(program, vertexSource, fragmentSource);
  switch (build.failedStep) {
    case Lumetra::OpenGL::ShaderStep::None:
      break;
    case Lumetra::OpenGL::ShaderStep::CreateProgram:
      OBRIN_LOG_ERROR("GL Shader program creation failed.");
      return false;
    case Lumetra::OpenGL::ShaderStep::CompileVertex:
      OBRIN_LOG_ERROR("Error compiling the vertex shader: GL error {}", build.log);
      OBRIN_LOG_ERROR("Adding vertex shader to GL shader program failed.");
      return false;
    case Lumetra::OpenGL::ShaderStep::CompileFragment:
      OBRIN_LOG_ERROR("Error compiling the fragment shader: GL error {}", build.log);
      OBRIN_LOG_ERROR("Adding fragment shader to GL shader program failed.");
      return false;
    case Lumetra::OpenGL::ShaderStep::Link:
      OBRIN_LOG_ERROR("Error linking program: {} ", build.log);
      return false;
  }
  // Validation checks the program against the current state, which needs a bound vertex array
  // in a core profile.
  GLuint vertexArray = 0;
  glGenVertexArrays(1, &vertexArray);
  glBindVertexArray(vertexArray);
  glValidateProgram(program);
  glBindVertexArray(0);
  glDeleteVertexArrays(1, &vertexArray);
  GLint validated = GL_FALSE;
  glGetProgramiv(program, GL_VALIDATE_STATUS, &validated);
  if (validated == 0) {
    std::array<char, 1024> infoLog{};
    glGetProgramInfoLog(program, static_cast<GLsizei>(infoLog.size()), nullptr, infoLog.data());
    OBRIN_LOG_ERROR("Error validating program: {} ", infoLog.data());
    return false;
  }
  mSurface->modelLocation = glGetUniformLocation(program, "model");
  mSurface->projectionLocation = glGetUniformLocation(program, "projection");
  mSurface->viewLocation = glGetUniformLocation(program, "view");
  return true;
}

bool MultipleViewRenderer::setupObject(const Lumetra::ImageRGB& picture) {
  if (picture.isEmpty()) {
    OBRIN_LOG_ERROR("Traning image is empty. Please check the image for object generation");
    return false;
  }
  if (mSurface == nullptr || !mSurface->glLoaded) return false;
  RenderSurface& s = *mSurface;
  const Lumetra::Vec2u size(static_cast<std::uint32_t>(s.width), static_cast<std::uint32_t>(s.height));
  // At the framebuffer size (the usual case: both are the training resolution) the bilinear
  // resampling is the identity, and the picture's pixels are taken as they are (rows tightly
  // packed, as the upload reads them).
  if (picture.size() == size && picture.stride == static_cast<std::int32_t>(picture.width)) {
    mTextureImage = picture;
  } else {
    mTextureImage.create(size);
    if (!Lumetra::resizeBilinear(picture, mTextureImage)) mTextureImage = Lumetra::ImageRGB();
  }
  mReadBack.create(size);

  makeCurrent();
  // The rectangle depends on the framebuffer size only: a surface keeps it from its first use.
  if (s.vertexArray == 0) {
    const float a = static_cast<float>(s.height) / static_cast<float>(s.width);
    const float vertices[20] = {-1.0f, -a, 0.0f, 0.0f, 1.0f, -1.0f, a, 0.0f, 0.0f, 0.0f,
                                1.0f,  -a, 0.0f, 1.0f, 1.0f, 1.0f,  a, 0.0f, 1.0f, 0.0f};
    glGenVertexArrays(1, &s.vertexArray);
    glBindVertexArray(s.vertexArray);
    glGenBuffers(1, &s.elementBuffer);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, s.elementBuffer);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, sizeof(kIndices), kIndices, GL_STATIC_DRAW);
    glGenBuffers(1, &s.vertexBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, s.vertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float),
                          reinterpret_cast<const void*>(3 * sizeof(float)));
    glEnableVertexAttribArray(0);
    glEnableVertexAttribArray(1);
    glBindVertexArray(0);
  }

  if (mTextureImage.isEmpty()) {
    OBRIN_LOG_ERROR("Failed to load texture image. texture image is NULL");
    return false;
  }
  // The texture of an earlier picture is given this picture's levels.
  if (s.texture == 0) glGenTextures(1, &s.texture);
  glBindTexture(GL_TEXTURE_2D, s.texture);
  // Rows of three bytes: any width is tightly packed.
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  // The mipmap levels are made here: the software rasteriser takes far longer to generate them.
  Lumetra::ImageRGB level = mTextureImage;
  for (GLint l = 0;; ++l) {
    glTexImage2D(GL_TEXTURE_2D, l, GL_RGB, static_cast<GLsizei>(level.width), static_cast<GLsizei>(level.height), 0,
                 GL_RGB, GL_UNSIGNED_BYTE, level.data);
    if (level.width == 1 && level.height == 1) break;
    level = halfSize(level);
  }
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_BORDER);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_BORDER);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glBindTexture(GL_TEXTURE_2D, 0);
  return glIsTexture(s.texture) == GL_TRUE && glGetError() == GL_NO_ERROR;
}

bool MultipleViewRenderer::setProjection(const Lumetra::PinholeCamera& camera, float zFar, float zNear) {
  // This renderer's eye looks down -z with y up, and image row 0 lands at the framebuffer's top:
  // the camera's projection with those axes turned round, which changes signs only.
  const Eigen::Matrix4f turned = Eigen::Vector4f(1.0f, -1.0f, 1.0f, 1.0f).asDiagonal() *
                                 Lumetra::OpenGL::cameraProjection(camera, zNear, zFar) *
                                 Eigen::Vector4f(1.0f, -1.0f, -1.0f, 1.0f).asDiagonal();
  const Eigen::Matrix4f m = turned.array() + 0.0f;  // -0 becomes 0
  if (!m.allFinite() || m == Eigen::Matrix4f::Identity()) {
    OBRIN_LOG_ERROR("Projection Matrix not updated");
    return false;
  }
  mProjection = m;
  return true;
}

void MultipleViewRenderer::setView(const Eigen::Vector3f& eye, const Eigen::Vector3f& target) {
  mEye = eye;
  mView = lookAt(eye, target, mUp);
  if (mSurface == nullptr || !mSurface->glLoaded) return;
  const RenderSurface& s = *mSurface;
  makeCurrent();
  glBindFramebuffer(GL_FRAMEBUFFER, s.framebuffer);
  glViewport(0, 0, s.width, s.height);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glUseProgram(s.objectProgram);
  glUniformMatrix4fv(s.modelLocation, 1, GL_FALSE, mModel.data());
  glUniformMatrix4fv(s.viewLocation, 1, GL_FALSE, mView.data());
  glUniformMatrix4fv(s.projectionLocation, 1, GL_FALSE, mProjection.data());
}

void MultipleViewRenderer::render() {
  if (mSurface == nullptr || !mSurface->glLoaded || mReadBack.isEmpty()) return;
  const RenderSurface& s = *mSurface;
  makeCurrent();
  glBindFramebuffer(GL_FRAMEBUFFER, s.framebuffer);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, s.texture);
  glBindVertexArray(s.vertexArray);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, s.elementBuffer);
  glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr);
  glBindVertexArray(0);
  glBindTexture(GL_TEXTURE_2D, 0);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  glReadPixels(0, 0, s.width, s.height, GL_RED, GL_UNSIGNED_BYTE, mReadBack.data);
  // Only a shown window needs the view on screen; a hidden one skips the copy to the window.
  if (s.debugWindow) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, s.framebuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glBlitFramebuffer(0, 0, s.width, s.height, 0, 0, s.width, s.height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_FRAMEBUFFER, s.framebuffer);
    Lumetra::OpenGL::GlContext::shared().swapBuffers(s.window);
  }
}

Lumetra::ImageGray MultipleViewRenderer::getImage() const {
  Lumetra::ImageGray image;
  const std::int32_t w = width();
  const std::int32_t h = height();
  if (w < 1 || h < 1) return image;
  image.create(Lumetra::Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
  if (mReadBack.isEmpty()) return image;
  // The read-back holds the lowest row of the frame first.
  const std::size_t rowBytes = static_cast<std::size_t>(w);
  for (std::int32_t r = 0; r < h; ++r) {
    std::memcpy(image.row(static_cast<std::uint32_t>(r)), mReadBack.row(static_cast<std::uint32_t>(h - 1 - r)),
                rowBytes);
  }
  return image;
}

MvgPose MultipleViewRenderer::getPose() {
  const Eigen::Matrix4f mv = mView * mModel;
  // The camera frame with y and z turned round: y down, z forward.
  const Eigen::Matrix3f R = Eigen::Vector3f(1.0f, -1.0f, -1.0f).asDiagonal() * mv.topLeftCorner<3, 3>();
  mPose.rotation = Eigen::Quaternionf(R).normalized();
  mPose.translation = Eigen::Vector3f(mv(0, 3), -mv(1, 3), -mv(2, 3));
  return mPose;
}

void MultipleViewRenderer::teardown() {
  if (mSurface == nullptr) return;
  // A complete surface serves the next renderer; one that failed on the way goes now.
  if (mSurface->complete) leaveIdleSurface(std::move(mSurface));
  mSurface.reset();
}

}  // namespace Obrin
