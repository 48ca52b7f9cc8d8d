// The target data classes: defaults, type ids, release through the base.
#include "ObjectTracker/Trainer/Image/TargetData.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(TargetData, DefaultsAndTypeIds) {
  const Obrin::Target plain;
  EXPECT_EQ(plain.getType(), 0u);
  EXPECT_EQ(plain.mTargetName, "unknown");
  EXPECT_EQ(plain.mReservedHead, 0u);
  EXPECT_EQ(plain.mReservedTail, 0u);

  const Obrin::ImageTargetDetectableData image;
  const Obrin::Target& asTarget = image;
  EXPECT_EQ(asTarget.getType(), 1u);
  EXPECT_EQ(image.mTargetName, "unknown");
  EXPECT_EQ(image.mTargetPhysicalSize, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mTargetLeftTopObjPoint, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mTargetCenter, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mFactorFromImageToPhysics, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mTargetRightBottomObjPoint, Eigen::Vector2d(0.0, 0.0));
  EXPECT_TRUE(image.mKeyPoints.empty());
  EXPECT_TRUE(image.mImages.empty());
  EXPECT_EQ(image.mTrackabilityScore, 0.0f);
  EXPECT_EQ(image.mDetectabilityScore, 0.0f);
  EXPECT_EQ(image.mCamera.mResolution, Eigen::Vector2i(0, 0));
  EXPECT_EQ(image.mCamera.mFocalLength, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mCamera.mPrincipalPoint, Eigen::Vector2d(0.0, 0.0));
  EXPECT_EQ(image.mCamera.mK, Eigen::Matrix3d::Identity());
  EXPECT_TRUE(image.mCamera.mDistortion.isZero(0.0));

  const Obrin::QRCodeTargetDetectableData qr;
  EXPECT_EQ(static_cast<const Obrin::Target&>(qr).getType(), 2u);
  EXPECT_EQ(qr.mPixelPerBlock, 15u);
  EXPECT_EQ(qr.mTargetName, "unknown");
  EXPECT_TRUE(qr.mQRCodeImage.isEmpty());
}

TEST(TargetData, KeyPointDefaults) {
  const Obrin::TargetKeyPoint keyPoint;
  EXPECT_EQ(keyPoint.objectPoint, Eigen::Vector2d(-1.0, -1.0));
  EXPECT_EQ(keyPoint.descriptor.size(), 32u);
}

TEST(TargetData, DestroyingThroughTheBaseReleasesTheImages) {
  Lumetra::ImageGray level(Lumetra::Vec2u(8, 6), Lumetra::Gray8{{7}});
  Lumetra::ImageGray code(Lumetra::Vec2u(5, 5), Lumetra::Gray8{{0}});
  const std::weak_ptr<std::vector<Lumetra::Gray8>> levelStorage = level.storage;
  const std::weak_ptr<std::vector<Lumetra::Gray8>> codeStorage = code.storage;
  {
    std::unique_ptr<Obrin::Target> image = std::make_unique<Obrin::ImageTargetDetectableData>();
    static_cast<Obrin::ImageTargetDetectableData&>(*image).mImages.push_back(level);
    static_cast<Obrin::ImageTargetDetectableData&>(*image).mKeyPoints.resize(3);
    std::unique_ptr<Obrin::Target> qr = std::make_unique<Obrin::QRCodeTargetDetectableData>();
    static_cast<Obrin::QRCodeTargetDetectableData&>(*qr).mQRCodeImage = code;
    level = Lumetra::ImageGray();
    code = Lumetra::ImageGray();
    EXPECT_FALSE(levelStorage.expired());
    EXPECT_FALSE(codeStorage.expired());
  }
  EXPECT_TRUE(levelStorage.expired());
  EXPECT_TRUE(codeStorage.expired());
}

}  // namespace
