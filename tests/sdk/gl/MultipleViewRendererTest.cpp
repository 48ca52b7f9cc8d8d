// The renderer's views against the picture's corners projected here, beside another window, and
// the generator's views against the picture as seen from each table position.
#include "LogCapture.h"
#include "CameraCalibration.h"
#include "Configs.h"
#include "ObjectTracker/Trainer/Image/MultipleViewGenerator.h"
#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"
#include "ObjectTracker/Trainer/Image/MvgPoseTables.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// A picture whose upper half is bright and lower half 100, seen from the first MIN position: a
// pixel 1.5 pixels inside each projected corner in the frame carries its half's tone, one
// outside is black. The third renderer draws on the surface the second left, with a new picture.
TEST(MultipleViewRenderer, ViewShowsThePictureAtItsProjectedCorners) {
  const TestSupport::LogCapture log;
  {
    Obrin::MultipleViewRenderer other;  // a second window alive in the process
    ASSERT_TRUE(other.initWindow(64, 48, false));
    for (const auto& [width, upper] : {std::pair<std::uint32_t, int>{640, 255}, {638, 255}, {638, 180}}) {
      const std::uint32_t height = 480;
      Obrin::MultipleViewRenderer renderer;
      ASSERT_TRUE(renderer.initWindow(static_cast<std::int32_t>(width), height, false));
      ASSERT_EQ(renderer.width(), static_cast<std::int32_t>(width));
      EXPECT_FALSE(renderer.setupObject(Lumetra::ImageRGB()));
      Lumetra::ImageRGB picture(Lumetra::Vec2u(width, height), Lumetra::RGB8{{100, 100, 100}});
      const auto u8 = static_cast<std::uint8_t>(upper);
      picture.region(Lumetra::Vec2i(0, 0), Lumetra::Vec2u(width, height / 2)).fill(Lumetra::RGB8{{u8, u8, u8}});
      ASSERT_TRUE(renderer.setupObject(picture));
      ASSERT_TRUE(other.setupObject(Lumetra::ImageRGB(Lumetra::Vec2u(8, 8), Lumetra::RGB8{{0, 0, 0}})));
      const float fx = 321.2f, fy = 320.0f, cx = width / 2.0f, cy = height / 2.0f;
      ASSERT_TRUE(renderer.setProjection(Lumetra::PinholeCamera(width, height, fx, fy, cx, cy), 100.0f, 1e-5f));
      const float* row0 = Obrin::poseTable(Obrin::PoseDensity::Min).rows[0];
      const Eigen::Vector3f eye(0.0125f * row0[0], 0.0125f * row0[1], 0.0125f * row0[2] + 0.6f);
      renderer.setView(eye, Eigen::Vector3f::Zero());
      renderer.render();
      const Lumetra::ImageGray view = renderer.getImage();
      ASSERT_EQ(view.size(), Lumetra::Vec2u(width, height));

      const Eigen::Vector3d e = eye.cast<double>(), f = (-e).normalized();
      const Eigen::Vector3d s = f.cross(Eigen::Vector3d::UnitZ()).normalized(), u = s.cross(f);
      const double a = static_cast<double>(height) / width;
      // Picture corners top-left, top-right, bottom-right, bottom-left; the first row at y = +a.
      const Eigen::Vector3d corners[4] = {{-1, a, 0}, {1, a, 0}, {1, -a, 0}, {-1, -a, 0}};
      Eigen::Vector2d projected[4], centroid(0, 0);
      for (int k = 0; k < 4; ++k) {
        const Eigen::Vector3d d = corners[k] - e;
        projected[k] = Eigen::Vector2d(fx * d.dot(s) / d.dot(f) + cx, fy * -d.dot(u) / d.dot(f) + cy);
        centroid += projected[k] / 4;
      }
      const auto inFrame = [&](const Eigen::Vector2d& p) {
        return p.x() >= 0 && p.y() >= 0 && p.x() < width && p.y() < height;
      };
      int checked = 0;
      for (int k = 0; k < 4; ++k) {
        if (!inFrame(projected[k])) continue;  // the near edge lies below the frame
        ++checked;
        const Eigen::Vector2d inward = (centroid - projected[k]).normalized() * 1.5;
        const Eigen::Vector2d in = projected[k] + inward, out = projected[k] - inward;
        const int tone = k < 2 ? upper : 100;
        const int inside = view.at(static_cast<std::uint32_t>(in.x()), static_cast<std::uint32_t>(in.y()))[0];
        EXPECT_GE(inside, tone / 2 + 10) << width << " corner " << k;
        EXPECT_LE(inside, tone) << width << " corner " << k;
        if (inFrame(out)) {
          EXPECT_EQ(view.at(static_cast<std::uint32_t>(out.x()), static_cast<std::uint32_t>(out.y()))[0], 0)
              << width << " corner " << k;
        }
      }
      EXPECT_EQ(checked, 2);
    }
  }
  // The window library is started once, by the process's OpenGL context.
  EXPECT_EQ(Lumetra::OpenGL::glfwReferenceCount(), 1);
}

// Each MIN view against the picture as a camera sees it from the view's table position: the eye
// is the position over the distance scale, raised by the z shift, looking at the picture's centre
// with z up; each pixel's ray meets the picture's plane (first row at y = +a) here. The smooth tone
// stays within a fraction of a gray level on average through the texture filtering.
TEST(MultipleViewGenerator, EachViewShowsThePictureFromItsTablePosition) {
  const TestSupport::LogCapture log;
  const int W = 160, H = 120;
  const double a = static_cast<double>(H) / W, fx = 90, fy = 85, cx = 78, cy = 63, scale = 64, shift = 0.5;
  const auto tone = [&](double x, double y) { return 30 + 100 * x / W + 50 * (1 + std::cos(6.283185307 * y / H)); };
  Lumetra::ImageRGB picture(Lumetra::Vec2u(W, H), Lumetra::RGB8{{0, 0, 0}});
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const auto v = static_cast<std::uint8_t>(std::lround(tone(x, y)));
      picture.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) = Lumetra::RGB8{{v, v, v}};
    }
  }
  TrainingConfig config;
  config.trainingResolution.value = {W, H};
  config.mvgRenderDistScale.value = scale;
  config.mvgRenderZShift.value = shift;
  CameraCalibration camera = CameraCalibration::builtIn();
  camera.mResolution = Eigen::Vector2i(W, H);
  camera.mFocalLength = Eigen::Vector2d(fx, fy);
  camera.mPrincipalPoint = Eigen::Vector2d(cx, cy);
  Obrin::MultipleViewGenerator generator(config, camera);
  generator.loadConfiguration();
  ASSERT_TRUE(generator.run(picture));
  const Obrin::PoseTable table = Obrin::poseTable(Obrin::PoseDensity::Min);
  ASSERT_EQ(generator.views().size(), table.size);
  for (std::size_t i = 0; i < table.size; ++i) {
    const Lumetra::ImageGray& view = generator.views()[i].image;
    const Eigen::Vector3d e(table.rows[i][0] / scale, table.rows[i][1] / scale, table.rows[i][2] / scale + shift);
    const Eigen::Vector3d f = (-e).normalized(), s = f.cross(Eigen::Vector3d::UnitZ()).normalized(), u = s.cross(f);
    // The view's pose projects the first and the last pixel where this camera sees their centres.
    const Eigen::Vector3d centres[2] = {{1.0 / W - 1, a - a / H, 0}, {1 - 1.0 / W, a / H - a, 0}};
    const std::vector<Eigen::Vector2d> projected = Obrin::projectImagePoints(
        generator.views()[i].pose, camera, {{0, 0}, {W - 1, H - 1}}, Eigen::Vector2i(W, H), a);
    for (int k = 0; k < 2; ++k) {
      const Eigen::Vector3d d = centres[k] - e;
      const Eigen::Vector2d seen(fx * d.dot(s) / d.dot(f) + cx - 0.5, cy - fy * d.dot(u) / d.dot(f) - 0.5);
      EXPECT_LT((projected[k] - seen).norm(), 1e-2) << i << " " << k;
    }
    double difference = 0;
    int inside = 0, strayOutside = 0;
    for (int r = 0; r < H; ++r) {
      for (int c = 0; c < W; ++c) {
        const Eigen::Vector3d ray = f + s * ((c + 0.5 - cx) / fx) + u * ((cy - r - 0.5) / fy);
        const double t = -e.z() / ray.z();
        const Eigen::Vector3d p = e + t * ray;
        const double x = (p.x() + 1) * W / 2 - 0.5, y = (a - p.y()) * H / (2 * a) - 0.5;
        const int shown = view.at(static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(r))[0];
        if (t > 0 && x >= 1.5 && x <= W - 2.5 && y >= 1.5 && y <= H - 2.5) {
          difference += std::abs(shown - tone(x, y));
          ++inside;
        } else if (t <= 0 || x < -2 || x > W + 1 || y < -2 || y > H + 1) {
          strayOutside += shown != 0;
        }
      }
    }
    ASSERT_GT(inside, W * H / 10) << i;
    EXPECT_LT(difference / inside, 1.0) << i;
    EXPECT_EQ(strayOutside, 0) << i;
  }
}

}  // namespace
