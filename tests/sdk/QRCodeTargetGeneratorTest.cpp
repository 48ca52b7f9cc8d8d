// QR-code targets: the picture against the encoder (the end-to-end test decodes it), name lengths,
// reuse of a target, and failures that leave nothing broken behind.
#include "ObjectTracker/Trainer/QRCode/QRCodeTargetGenerator.h"

#include "LogCapture.h"
#include "Process.h"

#include <gtest/gtest.h>
#include <qrcodegen/qrcodegen.hpp>

#include <string>
#include <vector>

namespace {

class QRCodeTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.qrPatternPixelSize.value = 15;
    config_.qrPhysicalSize.value = 0.25;
  }
  bool logged(const std::string& text) const { return log_.contains(text); }

  TestSupport::LogCapture log_;

  TrainingConfig config_;
  TestSupport::TempDir scratch_;
};

TEST_F(QRCodeTarget, ModulesAreSquaresOfThePixelSize) {
  for (int p : {1, 4, 7}) {
    config_.qrPatternPixelSize.value = p;
    Obrin::QRCodeTargetGenerator generator(&config_);
    ASSERT_TRUE(generator.run("Gear_42"));
    const Obrin::QRCodeTargetDetectableData* data = generator.getTarget("Gear_42");
    ASSERT_NE(data, nullptr);
    ASSERT_TRUE(data->mQRCodeImage.width == 25u * p && data->mQRCodeImage.height == 25u * p);
    EXPECT_EQ(data->mPixelPerBlock, static_cast<std::uint32_t>(p));

    // The same code made here with the encoder directly.
    const qrcodegen::QrCode code = qrcodegen::QrCode::encodeSegments(
        qrcodegen::QrSegment::makeSegments("Gear_42"), qrcodegen::QrCode::Ecc::MEDIUM, 2, 2, 0, false);
    ASSERT_EQ(code.getSize(), 25);
    for (int y = 0; y < 25 * p; ++y) {
      for (int x = 0; x < 25 * p; ++x) {
        const std::uint8_t expected = code.getModule(x / p, y / p) ? 0 : 255;
        ASSERT_EQ(data->mQRCodeImage.at(x, y)[0], expected) << "p " << p << " at " << x << ", " << y;
      }
    }
  }
}

TEST_F(QRCodeTarget, DrawingRefusesEmptySizes) {
  const qrcodegen::QrCode code = qrcodegen::QrCode::encodeText("A", qrcodegen::QrCode::Ecc::MEDIUM);
  EXPECT_TRUE(Obrin::drawQRCode(code, 0, code.getSize()).isEmpty());
  EXPECT_TRUE(Obrin::drawQRCode(code, 3, 0).isEmpty());
}

TEST_F(QRCodeTarget, NameLengths) {
  struct Case {
    std::string name;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {std::string(38, 'A'), true},   // alphanumeric mode holds 38 at version 2-M
      {std::string(39, 'A'), false},  // refused for its length
      {std::string(26, 'a'), true},   // byte mode holds 26
      {std::string(27, 'a'), false},  // does not fit version 2-M
      {"A_" + std::string(25, 'B'), false},
  };
  for (const Case& c : cases) {
    log_.messages().clear();
    Obrin::QRCodeTargetGenerator generator(&config_);
    EXPECT_EQ(generator.run(c.name), c.accepted) << c.name;
    EXPECT_EQ(generator.getTarget(c.name) != nullptr, c.accepted) << c.name;
    // Nothing is left that a later save could write.
    EXPECT_TRUE(c.accepted || !generator.saveTarget(c.name, scratch_.path())) << c.name;
    EXPECT_TRUE(c.name.size() <= 38 ||
                logged("Target name is too long, please rename your target name under 38 character length."));
  }
  EXPECT_TRUE(TestSupport::folderEntries(scratch_.path()).empty());
}

TEST_F(QRCodeTarget, RunningAgainReusesTheTarget) {
  Obrin::QRCodeTargetGenerator generator(&config_);
  ASSERT_TRUE(generator.run("Again"));
  const Obrin::QRCodeTargetDetectableData* first = generator.getTarget("Again");
  EXPECT_FALSE(logged("Overwrite the existing QRCode target."));

  config_.qrPatternPixelSize.value = 3;
  ASSERT_TRUE(generator.run("Again"));
  EXPECT_TRUE(logged("Overwrite the existing QRCode target."));
  EXPECT_EQ(generator.getTarget("Again"), first);
  EXPECT_TRUE(first->mQRCodeImage.width == 75u && first->mPixelPerBlock == 3u);

  // A failed run keeps the earlier result.
  config_.qrPatternPixelSize.value = 0;
  EXPECT_FALSE(generator.run("Again"));
  EXPECT_EQ(generator.getTarget("Again"), first);
  EXPECT_TRUE(first->mQRCodeImage.width == 75u && first->mPixelPerBlock == 3u);
}

TEST_F(QRCodeTarget, SaveFailures) {
  Obrin::QRCodeTargetGenerator generator(&config_);
  EXPECT_FALSE(generator.saveTarget("Never", scratch_.path()));
  EXPECT_TRUE(logged("Failed to save a target."));
  ASSERT_TRUE(generator.run("Box_1"));
  EXPECT_FALSE(generator.saveTarget("Box_1", ""));

  Obrin::QRCodeTargetDetectableData empty;
  empty.mTargetName = "Empty";
  EXPECT_FALSE(Obrin::saveQRCodeTargetFiles(scratch_.path(), empty));

  EXPECT_TRUE(TestSupport::folderEntries(scratch_.path()).empty());
}

}  // namespace
