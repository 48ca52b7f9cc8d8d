#pragma once
// Finds on the graphics card which sample points of a mesh each of up to 16 camera poses sees.
// Every pose renders the mesh's depth into its own tile of a 4 x 4 grid in one off-screen
// framebuffer; then the sample points are drawn as 2 x 2-pixel points against that depth, and
// every point with a fragment strictly nearer than the mesh sets its flag in a storage buffer.
#include "Detection/TrainingPose.h"
#include "Renderer/OpenGL/MeshRenderer.h"

#include <Eigen/Core>

#include <cstdint>
#include <string>
#include <vector>

namespace Lumetra::OpenGL {

class MultiPoseMeshOcclusionTester : public MeshRenderer {
 public:
  using Points = std::vector<Eigen::Vector3f>;
  using Visibility = std::vector<std::vector<bool>>;

  static constexpr std::int32_t mPosesPerPass = 16;  ///< largest number of poses of one pass
  static constexpr std::int32_t mGridSize = 4;       ///< tiles per framebuffer row and column

  /// Copies the mesh (vertex positions, triangle indices into them) and the fixed sample points,
  /// and sets up the OpenGL objects on the hidden context. Test `isReady()` afterwards: it is
  /// false without a usable context (OpenGL 4.3 or later), with indices outside the vertices,
  /// with more sample points than one storage buffer holds, or with a camera whose tile grid does
  /// not fit the driver's framebuffer limits (see `cameraFits`).
  MultiPoseMeshOcclusionTester(const PinholeCamera& camera, Points vertices, std::vector<std::uint32_t> indices,
                               Points samplePoints);
  ~MultiPoseMeshOcclusionTester() override;

  /// For each pose, one flag per fixed sample point: true when the pose sees it. Empty when the
  /// tester is not ready, when more than 16 poses are given, or when drawing failed.
  Visibility calculateVisibleSamplePoints(const std::vector<TrainingPose>& poses);
  /// For each pose, one flag per point of its own list. Empty, as above, and also when the number
  /// of lists differs from the number of poses.
  Visibility calculateVisibleSamplePoints(const std::vector<TrainingPose>& poses,
                                          const std::vector<Points>& pointsPerPose);

  /// The whole tile grid (row 0 at the bottom, which is image row 0 of tile 0): the white mesh and
  /// the points that passed since the last depth pass, on a transparent black background.
  const ImageRGBA& getImage() override;
  /// Ignored unless 0 < nearPlane < farPlane.
  void setClippingPlanes(float nearPlane, float farPlane) override;
  void releaseGL() override;

  /// Whether the driver can hold the tile grid of the camera (4 x width by 4 x height pixels).
  /// Brings the hidden context up; false when there is none.
  static bool cameraFits(const PinholeCamera& camera);
  /// The same for a driver whose renderbuffers are at most `largestRenderbuffer` pixels a side.
  static bool cameraFits(const PinholeCamera& camera, std::int64_t largestRenderbuffer);

 private:
  void initializeGL();
  // The steps of initializeGL: the context's and the inputs' limits, the vertex arrays, the uniforms.
  bool canInitialize();
  void createMeshAndPointArrays();
  bool createMultiPoseArray();
  void setUniforms();
  bool linkProgram(std::uint32_t& program, const std::string& vertexSource, const std::string& fragmentSource);
  bool createFramebuffer();
  void updateProjection();
  bool usable(std::size_t poseCount, std::size_t flagCount) const;
  void renderDepth(const std::vector<TrainingPose>& poses);
  void prepareVisibility(std::uint32_t buffer, std::size_t count);
  std::vector<std::int32_t> finishPass(std::size_t count);

  std::uint32_t mFramebuffer = 0;
  std::uint32_t mDepthRenderbuffer = 0;
  std::uint32_t mColorTexture = 0;
  Points mVertices;
  std::vector<std::uint32_t> mIndices;
  Points mSamplePoints;
  std::uint32_t mMeshProgram = 0;
  std::uint32_t mPointProgram = 0;
  std::uint32_t mMultiPoseProgram = 0;
  std::uint32_t mMeshVao = 0;
  std::uint32_t mMeshVbo = 0;
  std::uint32_t mMeshEbo = 0;
  std::uint32_t mModelViewBuffer = 0;
  std::uint32_t mPointVao = 0;
  std::uint32_t mPointVbo = 0;
  std::uint32_t mVisibilityBuffer = 0;
  std::uint32_t mMultiPoseVao = 0;
  std::uint32_t mMultiPoseVbo = 0;
  std::uint32_t mMultiPoseVisibilityBuffer = 0;

  std::size_t mMaxFlags = 0;            ///< flags one storage buffer can hold
  std::vector<float> mDepthMatrices;    ///< model-view matrices of the depth now in the framebuffer
  std::int32_t mDirtyColumns = mGridSize;  ///< tile extent that may hold an earlier pass's drawing
  std::int32_t mDirtyRows = mGridSize;
};

}  // namespace Lumetra::OpenGL
