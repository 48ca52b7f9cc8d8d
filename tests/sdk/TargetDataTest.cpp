// The target data classes release their pictures when destroyed through the base.
#include "ObjectTracker/Trainer/Image/TargetData.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

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
