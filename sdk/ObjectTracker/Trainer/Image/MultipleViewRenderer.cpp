#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"

#include "Core/Log.h"
#include "Image/ImageOP.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

// Makes the window's context current for the scope and gives the previous one back, so that a
// context of another part of the process keeps working.
class CurrentContext {
 public:
  explicit CurrentContext(GLFWwindow* window) : mPrevious(glfwGetCurrentContext()) {
    if (mPrevious != window) glfwMakeContextCurrent(window);
    mSwitched = mPrevious != window;
  }
  ~CurrentContext() {
    if (mSwitched) glfwMakeContextCurrent(mPrevious);
  }
  CurrentContext(const CurrentContext&) = delete;
  CurrentContext& operator=(const CurrentContext&) = delete;

 private:
  GLFWwindow* mPrevious;
  bool mSwitched = false;
};

}  // namespace

Matrix4 identityMatrix() {
  Matrix4 m{};
  m[0] = m[5] = m[10] = m[15] = 1.0f;
  return m;
}

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
  Matrix4 m{};
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += a[4 * k + r] * b[4 * c + k];
      m[4 * c + r] = sum;
    }
  }
  return m;
}

Matrix4 lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& target, const Eigen::Vector3f& up) {
  const Eigen::Vector3f f = (target - eye).normalized();
  const Eigen::Vector3f s = f.cross(up).normalized();
  const Eigen::Vector3f u = s.cross(f);
  Matrix4 m = identityMatrix();
  for (int i = 0; i < 3; ++i) {
    m[4 * i + 0] = s[i];
    m[4 * i + 1] = u[i];
    m[4 * i + 2] = -f[i];
  }
  m[12] = -s.dot(eye);
  m[13] = -u.dot(eye);
  m[14] = f.dot(eye);
  return m;
}

MultipleViewRenderer::MultipleViewRenderer()
    : mModel(identityMatrix()), mView(identityMatrix()), mProjection(identityMatrix()) {}

MultipleViewRenderer::~MultipleViewRenderer() { teardown(); }

bool MultipleViewRenderer::initWindow(std::int32_t width, std::int32_t height, bool debugWindow) {
  if (mGlfwHeld || width < 1 || height < 1) {
    mFailure = "no window of " + std::to_string(width) + " x " + std::to_string(height) + " can be made";
    return false;
  }
  if (!Lumetra::OpenGL::acquireGlfw()) {
    OBRIN_LOG_ERROR("Rendering window initialisation failed. Check linker for GLFW.");
    mFailure = "no display to open an OpenGL window on; set DISPLAY, or run under a virtual display such as Xvfb";
    return false;
  }
  mGlfwHeld = true;
  mDebugWindow = debugWindow;
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
  glfwWindowHint(GLFW_VISIBLE, debugWindow ? GLFW_TRUE : GLFW_FALSE);
  mWindow = Lumetra::OpenGL::createWindow(width, height, "GLfw Window");
  glfwDefaultWindowHints();
  if (mWindow == nullptr) {
    OBRIN_LOG_ERROR("Failed to create glfw window.");
    mFailure = "the display offers no OpenGL 3.3 core-profile context";
    teardown();
    return false;
  }
  glfwGetFramebufferSize(mWindow, &mWidth, &mHeight);
  CurrentContext current(mWindow);
  if (gladLoadGL(glfwGetProcAddress) == 0 || mWidth < 1 || mHeight < 1) {
    OBRIN_LOG_ERROR("Failed to glad Initialize.");
    mFailure = "the OpenGL 3.3 functions could not be loaded";
    teardown();
    return false;
  }
  mGlLoaded = true;
  // Buffer swaps must not wait for the display: views are read back from the offscreen buffer.
  glfwSwapInterval(0);
  glViewport(0, 0, mWidth, mHeight);
  glfwSetWindowUserPointer(mWindow, this);
  if (!createFramebuffer()) {
    OBRIN_LOG_ERROR("Failed to create the offscreen framebuffer of {} x {}.", mWidth, mHeight);
    mFailure = "the OpenGL driver cannot render " + std::to_string(mWidth) + " x " + std::to_string(mHeight) +
               " views (Image.Training.Resolution)";
    return false;
  }
  const bool screen = buildProgram(mScreenProgram, kScreenVertexShader, kScreenFragmentShader);
  if (!screen) OBRIN_LOG_ERROR("Fail to create screen shader");
  const bool object = screen && buildProgram(mObjectProgram, kObjectVertexShader, kObjectFragmentShader);
  if (screen && !object) OBRIN_LOG_ERROR("Fail to create vertex buffer shader");
  if (!object) {
    OBRIN_LOG_ERROR("Fail to create OpenGLfw shader");
    mFailure = "the OpenGL driver refused the view shaders";
    return false;
  }
  return true;
}

bool MultipleViewRenderer::createFramebuffer() {
  glGenFramebuffers(1, &mFramebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
  glGenRenderbuffers(1, &mColourBuffer);
  glBindRenderbuffer(GL_RENDERBUFFER, mColourBuffer);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, mWidth, mHeight);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, mColourBuffer);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  return complete && glGetError() == GL_NO_ERROR;
}

bool MultipleViewRenderer::buildProgram(std::uint32_t& program, const char* vertexSource,
                                        const char* fragmentSource) {
  program = glCreateProgram();
  if (program == 0) {
    OBRIN_LOG_ERROR("GL Shader program creation failed.");
    return false;
  }
  if (!addShader(program, vertexSource, GL_VERTEX_SHADER, "vertex")) {
    OBRIN_LOG_ERROR("Adding vertex shader to GL shader program failed.");
    return false;
  }
  if (!addShader(program, fragmentSource, GL_FRAGMENT_SHADER, "fragment")) {
    OBRIN_LOG_ERROR("Adding fragment shader to GL shader program failed.");
    return false;
  }
  glLinkProgram(program);
  glGetProgramiv(program, GL_LINK_STATUS, &mStatus);
  if (mStatus == 0) {
    glGetProgramInfoLog(program, static_cast<GLsizei>(mInfoLog.size()), nullptr, mInfoLog.data());
    OBRIN_LOG_ERROR("Error linking program: {} ", mInfoLog.data());
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
  glGetProgramiv(program, GL_VALIDATE_STATUS, &mStatus);
  if (mStatus == 0) {
    glGetProgramInfoLog(program, static_cast<GLsizei>(mInfoLog.size()), nullptr, mInfoLog.data());
    OBRIN_LOG_ERROR("Error validating program: {} ", mInfoLog.data());
    return false;
  }
  mModelLocation = glGetUniformLocation(program, "model");
  mProjectionLocation = glGetUniformLocation(program, "projection");
  mViewLocation = glGetUniformLocation(program, "view");
  return true;
}

bool MultipleViewRenderer::addShader(std::uint32_t program, const char* source, std::uint32_t type,
                                     const char* stage) {
  const GLuint shader = glCreateShader(type);
  glShaderSource(shader, 1, &source, nullptr);
  glCompileShader(shader);
  glGetShaderiv(shader, GL_COMPILE_STATUS, &mStatus);
  if (mStatus == 0) {
    glGetShaderInfoLog(shader, static_cast<GLsizei>(mInfoLog.size()), nullptr, mInfoLog.data());
    OBRIN_LOG_ERROR("Error compiling the {} shader: GL error {}", stage, mInfoLog.data());
    glDeleteShader(shader);
    return false;
  }
  glAttachShader(program, shader);
  // Flagged for deletion; it goes with the program.
  glDeleteShader(shader);
  return true;
}

bool MultipleViewRenderer::setupObject(const Lumetra::ImageRGB& picture) {
  if (picture.isEmpty()) {
    OBRIN_LOG_ERROR("Traning image is empty. Please check the image for object generation");
    return false;
  }
  if (!mGlLoaded) return false;
  const Lumetra::Vec2u size(static_cast<std::uint32_t>(mWidth), static_cast<std::uint32_t>(mHeight));
  mTextureImage.create(size);
  if (!Lumetra::resizeBilinear(picture, mTextureImage)) mTextureImage = Lumetra::ImageRGB();
  mReadBack.create(size);

  CurrentContext current(mWindow);
  const float a = static_cast<float>(mHeight) / static_cast<float>(mWidth);
  const float vertices[20] = {-1.0f, -a, 0.0f, 0.0f, 1.0f, -1.0f, a, 0.0f, 0.0f, 0.0f,
                              1.0f,  -a, 0.0f, 1.0f, 1.0f, 1.0f,  a, 0.0f, 1.0f, 0.0f};
  glGenVertexArrays(1, &mVertexArray);
  glBindVertexArray(mVertexArray);
  glGenBuffers(1, &mElementBuffer);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mElementBuffer);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, sizeof(kIndices), kIndices, GL_STATIC_DRAW);
  glGenBuffers(1, &mVertexBuffer);
  glBindBuffer(GL_ARRAY_BUFFER, mVertexBuffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices, GL_STATIC_DRAW);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float),
                        reinterpret_cast<const void*>(3 * sizeof(float)));
  glEnableVertexAttribArray(0);
  glEnableVertexAttribArray(1);
  glBindVertexArray(0);

  if (mTextureImage.isEmpty()) {
    OBRIN_LOG_ERROR("Failed to load texture image. texture image is NULL");
    return false;
  }
  glGenTextures(1, &mTexture);
  glBindTexture(GL_TEXTURE_2D, mTexture);
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
  return glIsTexture(mTexture) == GL_TRUE && glGetError() == GL_NO_ERROR;
}

bool MultipleViewRenderer::setProjection(const Lumetra::PinholeCamera& camera, float zFar, float zNear) {
  const float W = static_cast<float>(camera.width);
  const float H = static_cast<float>(camera.height);
  const float fx = camera.focalLength.x();
  const float fy = camera.focalLength.y();
  const float cx = camera.principalPoint.x();
  const float cy = camera.principalPoint.y();
  Matrix4 m{};
  m[0] = 2.0f * fx / W;
  m[5] = 2.0f * fy / H;
  m[8] = 1.0f - 2.0f * cx / W;
  m[9] = 2.0f * cy / H - 1.0f;
  m[10] = (zFar + zNear) / (zNear - zFar);
  m[11] = -1.0f;
  m[14] = 2.0f * zFar * zNear / (zNear - zFar);
  bool finite = true;
  for (float v : m) finite = finite && std::isfinite(v);
  if (!finite || m == identityMatrix()) {
    OBRIN_LOG_ERROR("Projection Matrix not updated");
    return false;
  }
  mProjection = m;
  return true;
}

void MultipleViewRenderer::setView(const Eigen::Vector3f& eye, const Eigen::Vector3f& target) {
  mEye = eye;
  mView = lookAt(eye, target, mUp);
  if (!mGlLoaded) return;
  CurrentContext current(mWindow);
  glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glUseProgram(mObjectProgram);
  glUniformMatrix4fv(mModelLocation, 1, GL_FALSE, mModel.data());
  glUniformMatrix4fv(mViewLocation, 1, GL_FALSE, mView.data());
  glUniformMatrix4fv(mProjectionLocation, 1, GL_FALSE, mProjection.data());
}

void MultipleViewRenderer::render() {
  if (!mGlLoaded || mReadBack.isEmpty()) return;
  CurrentContext current(mWindow);
  glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, mTexture);
  glBindVertexArray(mVertexArray);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mElementBuffer);
  glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr);
  glBindVertexArray(0);
  glBindTexture(GL_TEXTURE_2D, 0);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  glReadPixels(0, 0, mWidth, mHeight, GL_RED, GL_UNSIGNED_BYTE, mReadBack.data);
  // Only a shown window needs the view on screen; a hidden one skips the copy to the window.
  if (mDebugWindow) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, mFramebuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glBlitFramebuffer(0, 0, mWidth, mHeight, 0, 0, mWidth, mHeight, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
    glfwSwapBuffers(mWindow);
  }
}

Lumetra::ImageGray MultipleViewRenderer::getImage() const {
  Lumetra::ImageGray image;
  if (mWidth < 1 || mHeight < 1) return image;
  image.create(Lumetra::Vec2u(static_cast<std::uint32_t>(mWidth), static_cast<std::uint32_t>(mHeight)));
  if (mReadBack.isEmpty()) return image;
  // The read-back holds the lowest row of the frame first.
  const std::size_t rowBytes = static_cast<std::size_t>(mWidth);
  for (std::int32_t r = 0; r < mHeight; ++r) {
    std::memcpy(image.row(static_cast<std::uint32_t>(r)), mReadBack.row(static_cast<std::uint32_t>(mHeight - 1 - r)),
                rowBytes);
  }
  return image;
}

MvgPose MultipleViewRenderer::getPose() {
  const Matrix4 mv = multiply(mView, mModel);
  Eigen::Matrix3f R;
  for (int r = 0; r < 3; ++r) {
    const float sign = r == 0 ? 1.0f : -1.0f;
    for (int c = 0; c < 3; ++c) R(r, c) = sign * mv[4 * c + r];
  }
  mPose.rotation = Eigen::Quaternionf(R).normalized();
  mPose.translation = Eigen::Vector3f(mv[12], -mv[13], -mv[14]);
  return mPose;
}

void MultipleViewRenderer::teardown() {
  if (mWindow != nullptr && mGlLoaded) {
    CurrentContext current(mWindow);
    if (glIsBuffer(mElementBuffer)) glDeleteBuffers(1, &mElementBuffer);
    if (glIsBuffer(mVertexBuffer)) glDeleteBuffers(1, &mVertexBuffer);
    if (glIsVertexArray(mVertexArray)) glDeleteVertexArrays(1, &mVertexArray);
    if (glIsTexture(mTexture)) glDeleteTextures(1, &mTexture);
    if (glIsRenderbuffer(mColourBuffer)) glDeleteRenderbuffers(1, &mColourBuffer);
    if (glIsFramebuffer(mFramebuffer)) glDeleteFramebuffers(1, &mFramebuffer);
    if (glIsProgram(mObjectProgram)) glDeleteProgram(mObjectProgram);
    if (glIsProgram(mScreenProgram)) glDeleteProgram(mScreenProgram);
  }
  mElementBuffer = mVertexBuffer = mVertexArray = mTexture = mColourBuffer = mFramebuffer = 0;
  mObjectProgram = mScreenProgram = 0;
  mModelLocation = mProjectionLocation = -1;
  mGlLoaded = false;
  if (mWindow != nullptr) {
    if (glfwGetCurrentContext() == mWindow) glfwMakeContextCurrent(nullptr);
    glfwDestroyWindow(mWindow);
    mWindow = nullptr;
  }
  if (mGlfwHeld) {
    mGlfwHeld = false;
    Lumetra::OpenGL::releaseGlfw();
  }
}

}  // namespace Obrin
