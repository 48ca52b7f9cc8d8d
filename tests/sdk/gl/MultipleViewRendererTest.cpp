// The renderer's views against the picture's corners projected here, beside another window.
#include "LogCapture.h"
#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"
#include "ObjectTracker/Trainer/Image/MvgPoseTables.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// A picture whose upper half is bright and lower half 100, seen from the first MIN position: a
// pixel 1.5 pixels inside each projected corner in the frame carries its half's tone, one
// outside is black. The third renderer draws on the surface the second left, with a new picture.
TEST(MultipleViewRenderer, ViewShowsThePictureAtItsProjectedCorners) {
  const TestSupport::LogCapture log;
  {
    Obrin::MultipleViewRenderer other;  // a second context alive in the process
    ASSERT_TRUE(other.initWindow(64, 48, false));
    for (const auto& [width, upper] : {std::pair<std::uint32_t, int>{640, 255}, {638, 255}, {638, 180}}) {
      const std::uint32_t height = 480;
      Obrin::MultipleViewRenderer renderer;
      ASSERT_TRUE(renderer.initWindow(static_cast<std::int32_t>(width), height, false));
      ASSERT_EQ(renderer.width(), static_cast<std::int32_t>(width));
      EXPECT_FALSE(renderer.setupObject(Lumetra::ImageRGB()));
      EXPECT_EQ(Lumetra::OpenGL::glfwReferenceCount(), 2);
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
  // The surface left last stays for the next renderer.
  EXPECT_EQ(Lumetra::OpenGL::glfwReferenceCount(), 1);
}

}  // namespace
