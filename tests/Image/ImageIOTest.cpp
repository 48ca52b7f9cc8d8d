// Picture files: PGM round trips and header variants, the codec writers by file ending, the
// flip settings, and damaged or hostile files that must load safely or give the empty image.
#include "LogCapture.h"
#include "Image/ImageIO.h"
#include "Image/PictureCodec.h"
#include "ImageTestUtil.h"
#include "Process.h"
#include "../fuzz/FuzzSupport.h"

#include <stb/stb_image.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Lumetra;
using namespace ImageTest;

class ImageIO : public ::testing::Test {
 protected:
  void TearDown() override { pictureCodecSetFlipOnLoad(0); }
  static std::vector<std::string>& messages() { return TestSupport::LogCapture::messages(); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void writeBytes(const std::string& name, const std::string& bytes) const { TestSupport::writeFile(dir_ / name, bytes); }
  std::string readBytes(const std::string& name) const { return TestSupport::readFile(dir_ / name); }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
  std::size_t fileCount() const { return TestSupport::folderEntries(dir_.path()).size(); }

  TestSupport::TempDir dir_;
  TestSupport::LogCapture log_;
};

std::vector<uchar> decodeWithCodec(const std::string& file, int components, int* w, int* h) {
  int n = 0;
  stbi_uc* pixels = stbi_load(file.c_str(), w, h, &n, components);
  if (pixels == nullptr) return {};
  std::vector<uchar> out(pixels, pixels + static_cast<std::size_t>(*w) * *h * components);
  stbi_image_free(pixels);
  return out;
}

// ---- PGM

TEST_F(ImageIO, PGMRoundTrip) {
  struct Case {
    int w, h;
    std::uint32_t margin;  // above 0: a view, written as its own pixels
  };
  for (const Case& c : {Case{1, 1, 0}, Case{3, 2, 2}, Case{17, 5, 0}, Case{640, 3, 2}}) {
    const auto ref = ImageReference::randomGray(c.w, c.h, 3);
    ASSERT_TRUE(savePGM(fromReference(ref, c.margin), path("a.pgm")));
    const std::string expectedHeader =
        "P5\n" + std::to_string(c.w) + " " + std::to_string(c.h) + "\n255\n";
    EXPECT_EQ(readBytes("a.pgm"), expectedHeader + std::string(ref.px.begin(), ref.px.end()));
    const ImageGray back = readPGM(path("a.pgm"));
    ASSERT_EQ(back.width, static_cast<std::uint32_t>(c.w));
    ASSERT_EQ(back.height, static_cast<std::uint32_t>(c.h));
    EXPECT_EQ(toReference(back).px, ref.px);
  }
  EXPECT_EQ(fileCount(), 1u);
}

TEST_F(ImageIO, PGMHeaderVariants) {
  struct Case {
    const char* name;
    std::string header;
    std::size_t dataBytes;
    unsigned w, h;  // 0 x 0: the empty image
  };
  const std::string longComment = "#" + std::string(300, 'c') + "\n";
  const std::string lineOf254 = "P5" + std::string(252, ' ') + "\n";
  const std::string lineOf255 = "P5" + std::string(253, ' ') + "\n";
  const Case cases[] = {
      {"plain", "P5\n4 2\n255\n", 8, 4, 2},
      {"comments", "P5\n# one\n# two\n4 2\n255\n", 8, 4, 2},
      {"16-bit maximum", "P5\n3 2\n65535\n", 12, 3, 2},
      {"text after magic", "P5 trailing\n2 2\n255\n", 4, 2, 2},
      {"longest line", lineOf254 + "2 2\n255\n", 4, 2, 2},
      {"line too long", lineOf255 + "2 2\n255\n", 4, 0, 0},
      {"comment too long", "P5\n" + longComment + "2 2\n255\n", 4, 0, 0},
      {"separate lines", "P5\n4\n2\n255\n", 8, 0, 0},
      {"zero width", "P5\n0 2\n255\n", 8, 0, 0},
      {"product overflows 32 bits", "P5\n65536 65536\n255\n", 8, 0, 0},
      {"size beyond the file", "P5\n40000 40000\n255\n", 100, 0, 0},
      {"width beyond long", "P5\n99999999999999999999999 1\n255\n", 8, 0, 0},
  };
  for (const Case& c : cases) {
    writeBytes("h.pgm", c.header + std::string(c.dataBytes, '\x7f'));
    const ImageGray img = readPGM(path("h.pgm"));
    EXPECT_EQ(img.width, c.w) << c.name;
    EXPECT_EQ(img.height, c.h) << c.name;
    EXPECT_EQ(img.isEmpty(), c.w == 0) << c.name;
    if (!img.isEmpty()) {
      EXPECT_EQ(img.data[0][0], 0x7f) << c.name;
    }
  }
}

TEST_F(ImageIO, PGMLogMessages) {
  EXPECT_TRUE(readPGM(path("missing.pgm")).isEmpty());
  writeBytes("p6.pgm", "P6\n1 1\n255\nabc");
  EXPECT_TRUE(readPGM(path("p6.pgm")).isEmpty());
  writeBytes("short.pgm", "P5\n4 4\n255\nab");
  EXPECT_TRUE(readPGM(path("short.pgm")).isEmpty());
  EXPECT_FALSE(savePGM(fromReference(ImageReference::Gray(2, 2)), path("no/such/dir.pgm")));
  EXPECT_FALSE(savePGM(ImageGray(), path("empty.pgm")));
  const std::vector<std::string> expected = {
      "Cannot open a file " + path("missing.pgm"), "The file is not PGM, " + path("p6.pgm"),
      "Cannot read a file " + path("short.pgm"), "Cannot create a file " + path("no/such/dir.pgm")};
  EXPECT_EQ(messages(), expected);
  EXPECT_FALSE(exists("empty.pgm"));
}

TEST_F(ImageIO, LoadImageChoosesByTheLowerCaseEnding) {
  const std::string hexWidth = std::string("P5\n0x4 1\n255\n") + "\x01\x02\x03\x04";
  writeBytes("hex.pgm", hexWidth);
  writeBytes("hex.PGM", hexWidth);
  EXPECT_EQ(loadImage(path("hex.pgm"), false).width, 4u);   // our reader takes the C notation
  EXPECT_TRUE(loadImage(path("hex.PGM"), false).isEmpty());  // the codec's PNM reader does not
  EXPECT_EQ(messages().back(), "Error loading image from " + path("hex.PGM") + ".");
  EXPECT_TRUE(loadImage("pgm", false).isEmpty());
}

// ---- Codec writers

TEST_F(ImageIO, EndingsTable) {
  struct Case {
    const char* name;
    bool gray, colour;
  };
  const Case cases[] = {
      {"a.png", true, true},    {"a.PNG", true, true},   {"a.bmp", true, true},   {"a.jpg", true, true},
      {"a.pgm", true, false},   {"a.jpeg", false, false}, {"a.Png", false, false}, {"a.tif", false, false},
      {"png", false, false},    {".pn", false, false},
  };
  const ImageGray gray = fromReference(ImageReference::randomGray(9, 6, 1));
  const ImageRGB colour = randomRGB(9, 6, 2);
  for (const Case& c : cases) {
    const std::string g = std::string("g_") + c.name;
    const std::string rgb = std::string("c_") + c.name;
    messages().clear();
    EXPECT_EQ(saveImage(gray, path(g), 0, 90), c.gray) << c.name;
    EXPECT_EQ(exists(g), c.gray) << c.name;
    EXPECT_EQ(saveImage(colour, path(rgb), 0, 90), c.colour) << c.name;
    EXPECT_EQ(exists(rgb), c.colour) << c.name;
    if (!c.colour) {
      EXPECT_EQ(messages().back(), "It is not supported image type. " + path(rgb)) << c.name;
    }
  }
  EXPECT_EQ(fileCount(), 9u);
  EXPECT_FALSE(saveImage(ImageGray(), path("e.png"), 0, 90));
  EXPECT_FALSE(exists("e.png"));
}

TEST_F(ImageIO, LosslessRoundTripsIncludingViewsAndFlip) {
  const auto ref = ImageReference::randomGray(13, 7, 5);
  for (std::uint32_t margin : {0u, 3u}) {
    for (const char* name : {"r.png", "r.bmp"}) {
      ASSERT_TRUE(saveImage(fromReference(ref, margin), path(name), 0, 0));
      int w = 0, h = 0;
      EXPECT_EQ(decodeWithCodec(path(name), 1, &w, &h), ref.px) << name << " margin " << margin;
      EXPECT_EQ(w, 13);
      EXPECT_EQ(h, 7);
    }
  }
  const ImageRGB colour = randomRGB(6, 4, 6);
  ASSERT_TRUE(saveImage(colour, path("c.png"), 0, 0));
  int w = 0, h = 0;
  EXPECT_EQ(decodeWithCodec(path("c.png"), 3, &w, &h), std::vector<uchar>(colour.values(), colour.values() + 72));

  // Written flipped, the rows come back in reverse order; loading flipped restores them.
  ASSERT_TRUE(saveImage(fromReference(ref), path("f.png"), 1, 0));
  const auto flipped = decodeWithCodec(path("f.png"), 1, &w, &h);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 13; ++x) EXPECT_EQ(flipped[static_cast<std::size_t>((6 - y) * 13 + x)], ref.at(x, y));
  EXPECT_EQ(toReference(loadImage(path("f.png"), true)).px, ref.px);
  EXPECT_EQ(toReference(loadImage(path("r.png"), false)).px, ref.px);
  // The write setting is set on every call: a later call without the flag writes upright.
  ASSERT_TRUE(saveImage(fromReference(ref), path("u.png"), 0, 0));
  EXPECT_EQ(decodeWithCodec(path("u.png"), 1, &w, &h), ref.px);
}

TEST_F(ImageIO, EverySampleJpegLoadsLikeTheCodecDecodesIt) {
  // The JPEG checks made before decoding must not refuse real files: each sample photograph loads
  // and equals the codec's own decoding of it.
  int samples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FORMWRIGHT_OPENCV_DATA)) {
    if (entry.path().extension() != ".jpg") continue;
    SCOPED_TRACE(entry.path().string());
    ++samples;
    int w = 0, h = 0;
    const std::vector<uchar> expected = decodeWithCodec(entry.path().string(), 1, &w, &h);
    const ImageGray img = loadImage(entry.path().string(), false);
    ASSERT_TRUE(img.width == static_cast<unsigned>(w) && img.height == static_cast<unsigned>(h));
    EXPECT_EQ(toReference(img).px, expected);
  }
  if (samples == 0) GTEST_SKIP() << "sample photographs not installed";
}

// Hostile files of the committed corpus (each one a case the codec alone would mishandle) whose
// mishandling shows in an ordinary build: a wrong size, pixels that differ between two loads, a
// load that never ends, or a sound file refused. The fuzz target's smoke run starts from the whole
// corpus, these files and the rest, with the codec under the sanitizers. Each loads to the
// expected size (0 x 0: the empty image) with the expected last row, and two loads of one file,
// each after a different pattern was left in the memory the codec is about to use, give the same
// picture.
TEST(HostilePictures, LoadSafelyToTheExpectedPicture) {
  struct Row {
    const char* file;
    unsigned w, h;
    std::vector<int> lastRow;  // empty: not checked
  };
  const Row rows[] = {
      {"hostile-jpeg-hidden-huffman-table.jpg", 0, 0, {}},
      {"hostile-jpeg-late-quantization-table.jpg", 0, 0, {}},
      {"hostile-jpeg-trailing-bytes.jpg", 20, 15, {}},
      {"hostile-jpeg-cut-off.jpg", 0, 0, {}},  // no end marker (see below)
      {"hostile-png-palette-index-past-end.png", 4, 1, {255, 0, 0, 128}},  // indices past it are black
      {"hostile-png-transparency-longer-than-palette.png", 0, 0, {}},
      {"hostile-png-transparency.png", 2, 1, {255, 128}},
      {"regression-png-palette-index.png", 6, 4, {}},
      {"regression-radiance-rle-hang.hdr", 0, 0, {}},  // only PNG, JPEG, BMP and PNM are decoded
      {"regression-tga-uninitialised.tga", 0, 0, {}},
      {"regression-jpeg-uninitialised.jpg", 0, 0, {}},  // a component that no scan names
      // Coded data that end at a marker before the blocks do: the decoder then shifts zero bits by
      // 32 or more, which the sanitizers must let pass.
      {"regression-jpeg-shift-32.jpg", 195, 13, {}},
      {"regression-jpeg-shift-34-a.jpg", 0, 0, {}},
      {"regression-jpeg-shift-34-b.jpg", 0, 0, {}},
      // Indices past a BMP's palette (32 entries here) read as black: the luma of palette[index] or 0.
      {"regression-palette-beyond-file.bmp", 91, 15, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 95, 0, 0, 0, 0, 0, 95, 0, 0, 0, 168, 95}},
      {"regression-bmp-uninitialised-2.bmp", 61, 15, {51, 161, 51, 51, 0, 0, 51, 80, 99, 0}},
      {"hostile-ppm-maximum-leading-zeros.ppm", 1, 1, {}},
      {"hostile-ppm-full.ppm", 2, 2, {}},
      {"hostile-ppm-short.ppm", 0, 0, {}},
      {"hostile-ppm-16bit-full.ppm", 2, 2, {}},
      {"hostile-ppm-16bit-short.ppm", 0, 0, {}},
      {"hostile-pnm-odd-header-end.pnm", 2, 1, {'a', 'b'}},  // one character ends the header
      // 16-bit colour: the luma (77 R + 150 G + 29 B) >> 8 of the samples as the codec reads them
      // (byte pairs swapped: 0x3412, 0xCDAB, 0x0F0F in the middle), then its top byte.
      {"hostile-ppm-16bit-colour.ppm", 3, 1, {255, 137, 28}},
      {"hostile-pnm-16bit-gray.pnm", 2, 1, {255, 128}},
  };
  const std::string corpus = std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    FuzzSupport::scribble(0x11);
    const ImageGray a = loadImage(corpus + row.file, false);
    FuzzSupport::scribble(0xE7);
    const ImageGray b = loadImage(corpus + row.file, false);
    EXPECT_EQ(a.width, row.w);
    EXPECT_EQ(a.height, row.h);
    EXPECT_EQ(toReference(a).px, toReference(b).px);
    for (std::size_t x = 0; x < row.lastRow.size() && a.width == row.w && a.height == row.h; ++x) {
      EXPECT_EQ(a.at(static_cast<std::uint32_t>(x), row.h - 1)[0], row.lastRow[x]) << x;
    }
  }
  // A stream cut off before its end marker is refused before the codec: asked for the size alone,
  // the codec would give it, and a texture of such a file would be called too large, not damaged.
  std::uint32_t w = 0, h = 0;
  EXPECT_FALSE(pictureSizeWithCodec(corpus + "hostile-jpeg-cut-off.jpg", w, h));
}

}  // namespace
