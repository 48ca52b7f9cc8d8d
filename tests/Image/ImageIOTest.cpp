// Picture files: PGM round trips and header variants, the codec writers by file ending, the
// flip settings, and damaged files that must give the empty image without crashing.
#include "Core/Log.h"
#include "Image/ImageIO.h"
#include "ImageTestUtil.h"

#include <stb/stb_image.h>

#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace Lumetra;
using ImageTest::fromReference;
using ImageTest::toReference;

std::vector<std::string>& messages() {
  static std::vector<std::string> m;
  return m;
}

class ImageIO : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "formwright_image_io_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    messages().clear();
    setLogSink([](LogLevel, const char*, const std::string& message) { messages().push_back(message); });
  }
  void TearDown() override {
    setLogSink(nullptr);
    std::system(("rm -rf '" + dir_ + "'").c_str());
    stbi_set_flip_vertically_on_load(0);
  }

  std::string path(const std::string& name) const { return dir_ + name; }

  void writeBytes(const std::string& name, const std::string& bytes) const {
    std::ofstream out(path(name), std::ios::binary);
    out << bytes;
  }
  std::string readBytes(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool exists(const std::string& name) const {
    struct stat st;
    return ::stat(path(name).c_str(), &st) == 0;
  }
  /// Only the named files are in the folder (no temporaries left behind).
  std::size_t fileCount() const {
    std::size_t n = 0;
    if (FILE* p = ::popen(("ls -A '" + dir_ + "' | wc -l").c_str(), "r")) {
      if (std::fscanf(p, "%zu", &n) != 1) n = 0;
      ::pclose(p);
    }
    return n;
  }

  std::string dir_;
};

ImageRGB randomRGB(int w, int h, std::uint32_t seed) {
  const auto raw = ImageReference::randomGray(3 * w, h, seed);
  ImageRGB img;
  img.create(Vec2u(w, h));
  std::copy(raw.px.begin(), raw.px.end(), img.values());
  return img;
}

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
  for (auto size : {std::pair<int, int>{1, 1}, {3, 2}, {17, 5}, {640, 3}}) {
    const auto ref = ImageReference::randomGray(size.first, size.second, 3);
    ASSERT_TRUE(savePGM(fromReference(ref), path("a.pgm")));
    const std::string expectedHeader =
        "P5\n" + std::to_string(size.first) + " " + std::to_string(size.second) + "\n255\n";
    EXPECT_EQ(readBytes("a.pgm"), expectedHeader + std::string(ref.px.begin(), ref.px.end()));
    const ImageGray back = readPGM(path("a.pgm"));
    ASSERT_EQ(back.width, static_cast<std::uint32_t>(size.first));
    ASSERT_EQ(back.height, static_cast<std::uint32_t>(size.second));
    EXPECT_EQ(toReference(back).px, ref.px);
  }
  // A view is written as its own pixels.
  const auto ref = ImageReference::randomGray(7, 4, 8);
  ASSERT_TRUE(savePGM(fromReference(ref, 2), path("view.pgm")));
  EXPECT_EQ(toReference(readPGM(path("view.pgm"))).px, ref.px);
  EXPECT_EQ(fileCount(), 2u);
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
      {"hex width", "P5\n0x10 2\n255\n", 32, 16, 2},
      {"octal width", "P5\n010 1\n255\n", 8, 8, 1},
      {"16-bit maximum", "P5\n3 2\n65535\n", 12, 3, 2},
      {"text after magic", "P5 trailing\n2 2\n255\n", 4, 2, 2},
      {"longest line", lineOf254 + "2 2\n255\n", 4, 2, 2},
      {"line too long", lineOf255 + "2 2\n255\n", 4, 0, 0},
      {"comment too long", "P5\n" + longComment + "2 2\n255\n", 4, 0, 0},
      {"short data", "P5\n4 2\n255\n", 7, 0, 0},
      {"separate lines", "P5\n4\n2\n255\n", 8, 0, 0},
      {"zero width", "P5\n0 2\n255\n", 8, 0, 0},
      {"negative width", "P5\n-4 2\n255\n", 8, 0, 0},
      {"negative height", "P5\n4 -2\n255\n", 8, 0, 0},
      {"product overflows 32 bits", "P5\n65536 65536\n255\n", 8, 0, 0},
      {"size beyond the file", "P5\n40000 40000\n255\n", 100, 0, 0},
      {"width beyond long", "P5\n99999999999999999999999 1\n255\n", 8, 0, 0},
      {"no size line", "P5\n", 0, 0, 0},
      {"empty file", "", 0, 0, 0},
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

  const auto ref = ImageReference::randomGray(5, 3, 4);
  ASSERT_TRUE(savePGM(fromReference(ref), path("plain.PGM")));
  EXPECT_EQ(toReference(loadImage(path("plain.PGM"), false)).px, ref.px);
  EXPECT_TRUE(loadImage("pgm", false).isEmpty());
}

// ---- Codec writers

TEST_F(ImageIO, EndingsTable) {
  struct Case {
    const char* name;
    bool gray, colour;
  };
  const Case cases[] = {
      {"a.png", true, true},   {"a.PNG", true, true},   {"a.bmp", true, true},    {"a.BMP", true, true},
      {"a.jpg", true, true},   {"a.JPG", true, true},   {"a.pgm", true, false},   {"a.PGM", true, false},
      {"a.jpeg", false, false}, {"a.Png", false, false}, {"a.tif", false, false}, {"png", false, false},
      {".pn", false, false},
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
  EXPECT_EQ(fileCount(), 14u);
  EXPECT_FALSE(saveImage(ImageGray(), path("e.png"), 0, 90));
  EXPECT_FALSE(saveImage(ImageRGB(), path("e.png"), 0, 90));
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

TEST_F(ImageIO, JpegRoundTripIsClose) {
  ImageReference::Gray smooth(32, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) smooth.at(x, y) = static_cast<uchar>(4 * x + 3 * y);
  ASSERT_TRUE(saveImage(fromReference(smooth), path("s.jpg"), 0, 100));
  const ImageGray back = loadImage(path("s.jpg"), false);
  ASSERT_EQ(back.width, 32u);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) EXPECT_NEAR(back.at(x, y)[0], smooth.at(x, y), 4);
}

TEST_F(ImageIO, LoadsARealPhotograph) {
  const ImageGray img = loadImage(std::string(FORMWRIGHT_OPENCV_DATA) + "/baboon.jpg", false);
  if (img.isEmpty()) GTEST_SKIP() << "sample photographs not installed";
  EXPECT_EQ(img.width, 512u);
  EXPECT_EQ(img.height, 512u);
}

TEST_F(ImageIO, EverySampleJpegLoadsLikeTheCodecDecodesIt) {
  // The JPEG checks made before decoding must not refuse real files: each sample photograph loads
  // and equals the codec's own decoding of it.
  const std::string dir = FORMWRIGHT_OPENCV_DATA;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0) names.push_back(name);
    }
    ::closedir(d);
  }
  if (names.empty()) GTEST_SKIP() << "sample photographs not installed";
  for (const std::string& name : names) {
    const std::string file = dir + "/" + name;
    int w = 0, h = 0, n = 0;
    stbi_uc* expected = stbi_load(file.c_str(), &w, &h, &n, 1);
    ASSERT_NE(expected, nullptr) << name;
    const ImageGray img = loadImage(file, false);
    ASSERT_EQ(img.width, static_cast<unsigned>(w)) << name;
    ASSERT_EQ(img.height, static_cast<unsigned>(h)) << name;
    EXPECT_EQ(std::memcmp(img.data, expected, static_cast<std::size_t>(w) * h), 0) << name;
    stbi_image_free(expected);
  }
}

// ---- Damaged files

TEST_F(ImageIO, JpegHuffmanTablesTheCodecCannotHoldAreRefused) {
  // The codec's Huffman tables hold 256 codes and it does not check the counts of a table: a
  // table defining more would be written past its end. Such files are refused before decoding.
  ASSERT_TRUE(saveImage(fromReference(ImageReference::randomGray(16, 16, 3)), path("ok.jpg"), 0, 90));
  const std::string good = readBytes("ok.jpg");
  ASSERT_FALSE(loadImage(path("ok.jpg"), false).isEmpty());
  const std::size_t dht = good.find("\xff\xc4", 0, 2);
  ASSERT_NE(dht, std::string::npos);
  const std::size_t counts = dht + 5;  // counts of the first table: after marker, length, class and slot

  // More than 256 codes in one table.
  std::string tooMany = good;
  tooMany[counts + 15] = static_cast<char>(0xFF);
  tooMany[counts + 14] = static_cast<char>(0xFF);
  writeBytes("too-many-codes.jpg", tooMany);
  EXPECT_TRUE(loadImage(path("too-many-codes.jpg"), false).isEmpty());

  // The last table of the segment claiming one symbol more than the segment holds.
  const auto byteAt = [&good](std::size_t at) { return static_cast<unsigned char>(good[at]); };
  const std::size_t end = dht + 2 + (static_cast<std::size_t>(byteAt(dht + 2)) << 8 | byteAt(dht + 3));
  std::size_t last = dht + 4;
  for (std::size_t p = last; p < end;) {
    last = p;
    std::size_t codes = 0;
    for (std::size_t k = 1; k <= 16; ++k) codes += byteAt(p + k);
    p += 17 + codes;
  }
  std::string overrun = good;
  overrun[last + 16] = static_cast<char>(byteAt(last + 16) + 1);
  writeBytes("overrun.jpg", overrun);
  EXPECT_TRUE(loadImage(path("overrun.jpg"), false).isEmpty());

  // Fill bytes before the start-of-image marker still make a JPEG for the codec: checked too.
  writeBytes("fill.jpg", "\xff\xff" + tooMany);
  EXPECT_TRUE(loadImage(path("fill.jpg"), false).isEmpty());
  writeBytes("fill-good.jpg", "\xff\xff" + good);
  EXPECT_EQ(loadImage(path("fill-good.jpg"), false).width, 16u);

  // The progressive file in which the fuzzer found the overflow (tables after the first scan).
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-jpeg-huffman-overflow.jpg";
  EXPECT_TRUE(loadImage(found, false).isEmpty());
}

TEST_F(ImageIO, DamagedFilesGiveTheEmptyImage) {
  ASSERT_TRUE(saveImage(randomRGB(40, 30, 9), path("good.png"), 0, 0));
  ASSERT_TRUE(saveImage(randomRGB(40, 30, 9), path("good.jpg"), 0, 80));
  ASSERT_TRUE(savePGM(fromReference(ImageReference::randomGray(40, 30, 9)), path("good.pgm")));
  for (const char* name : {"good.png", "good.jpg", "good.pgm"}) {
    const std::string bytes = readBytes(name);
    const std::string ext = std::string(name).substr(4);
    // Truncations at every length up to the header and at coarser steps beyond.
    for (std::size_t cut = 0; cut < bytes.size(); cut += (cut < 64 ? 1 : 97)) {
      writeBytes("cut" + ext, bytes.substr(0, cut));
      const ImageGray img = loadImage(path("cut" + ext), false);
      EXPECT_TRUE(img.isEmpty()) << name << " cut at " << cut;
    }
    // Corruption: bytes overwritten at pseudo-random places.
    std::uint32_t state = 12345;
    for (int round = 0; round < 200; ++round) {
      std::string damaged = bytes;
      for (int k = 0; k < 4; ++k) {
        state = state * 1664525u + 1013904223u;
        damaged[(state >> 8) % damaged.size()] = static_cast<char>(state >> 24);
      }
      writeBytes("bad" + ext, damaged);
      const ImageGray img = loadImage(path("bad" + ext), false);
      if (!img.isEmpty()) {
        EXPECT_GT(img.width, 0u);
        EXPECT_EQ(static_cast<std::int64_t>(img.width) * img.height, img.pixelCount);
      }
    }
  }
}

namespace {

using testsupport::bigEndian32;
using testsupport::crc32;
using testsupport::pngChunk;

/// A PNG of 8-bit palette indices, rows stored without compression.
std::string palettePng(std::uint32_t w, std::uint32_t h, const std::string& palette, const std::string& indices,
                       const std::string& transparency = "") {
  std::string raw;
  for (std::uint32_t y = 0; y < h; ++y) raw += '\0' + indices.substr(y * w, w);
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  const auto n = static_cast<std::uint16_t>(raw.size());
  std::string zlib = "\x78\x01\x01";
  zlib += {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), static_cast<char>(~n & 0xFF),
           static_cast<char>((~n >> 8) & 0xFF)};
  zlib += raw + bigEndian32((b << 16) | a);
  std::string ihdr = bigEndian32(w) + bigEndian32(h) + std::string("\x08\x03\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", ihdr) + pngChunk("PLTE", palette);
  if (!transparency.empty()) png += pngChunk("tRNS", transparency);
  return png + pngChunk("IDAT", zlib) + pngChunk("IEND", "");
}

}  // namespace

TEST_F(ImageIO, PaletteIndicesPastThePaletteReadAsBlack) {
  // Two palette entries: white and mid gray. Indices 0 and 1 are valid; 2 and 200 are not, and the
  // codec alone would look them up in memory it never set. They give black, every time.
  const std::string palette("\xff\xff\xff\x80\x80\x80", 6);
  writeBytes("valid.png", palettePng(2, 1, palette, std::string("\x00\x01", 2)));
  const ImageGray valid = loadImage(path("valid.png"), false);
  ASSERT_EQ(valid.width, 2u);
  EXPECT_EQ(valid.at(0, 0)[0], 255);
  EXPECT_EQ(valid.at(1, 0)[0], 128);

  writeBytes("past.png", palettePng(4, 1, palette, std::string("\x00\x02\xc8\x01", 4)));
  for (int round = 0; round < 3; ++round) {
    const ImageGray past = loadImage(path("past.png"), false);
    ASSERT_EQ(past.width, 4u);
    EXPECT_EQ(past.at(0, 0)[0], 255);
    EXPECT_EQ(past.at(1, 0)[0], 0);
    EXPECT_EQ(past.at(2, 0)[0], 0);
    EXPECT_EQ(past.at(3, 0)[0], 128);
  }
  // A transparency chunk longer than the palette is refused, as the codec refuses it.
  writeBytes("trns.png", palettePng(2, 1, palette, std::string("\x00\x01", 2), "\xff\xff\xff"));
  EXPECT_TRUE(loadImage(path("trns.png"), false).isEmpty());
  writeBytes("trns-ok.png", palettePng(2, 1, palette, std::string("\x00\x01", 2), "\xff\x00"));
  EXPECT_EQ(loadImage(path("trns-ok.png"), false).width, 2u);
  // The file in which the fuzzer found two loads of one file differing.
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-png-palette-index.png";
  const ImageGray a = loadImage(found, false);
  const ImageGray b = loadImage(found, false);
  ASSERT_FALSE(a.isEmpty());
  EXPECT_EQ(std::memcmp(a.data, b.data, a.width * a.height), 0);
}

TEST_F(ImageIO, JpegTablesUsedBeforeTheyAreDefinedAreRefused) {
  // The codec's quantization and Huffman tables start out as unset memory: a stream that uses one
  // it never defined would decode into pixels from whatever the heap held. Hiding a table segment
  // (its marker turned into an application marker, the codec skips it) makes the file refused.
  ASSERT_TRUE(saveImage(fromReference(ImageReference::randomGray(16, 16, 5)), path("ok.jpg"), 0, 90));
  const std::string good = readBytes("ok.jpg");
  for (const char* table : {"\xff\xdb", "\xff\xc4"}) {
    std::string hidden = good;
    const std::size_t at = hidden.find(table, 0, 2);
    ASSERT_NE(at, std::string::npos);
    hidden[at + 1] = static_cast<char>(0xE5);
    writeBytes("hidden.jpg", hidden);
    EXPECT_TRUE(loadImage(path("hidden.jpg"), false).isEmpty()) << static_cast<int>(static_cast<unsigned char>(table[1]));
  }
  // A quantization table defined only after the scan that needs it is too late.
  std::string late = good;
  const std::size_t dqt = late.find("\xff\xdb", 0, 2);
  const std::size_t dqtLength = 2 + (static_cast<unsigned char>(late[dqt + 2]) << 8 | static_cast<unsigned char>(late[dqt + 3]));
  const std::string segment = late.substr(dqt, dqtLength);
  late.erase(dqt, dqtLength);
  late.insert(late.size() - 2, segment);  // before the end-of-image marker
  writeBytes("late.jpg", late);
  EXPECT_TRUE(loadImage(path("late.jpg"), false).isEmpty());
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-jpeg-undefined-table.jpg";
  EXPECT_TRUE(loadImage(found, false).isEmpty());
}

TEST_F(ImageIO, RadianceFilesThatTheCodecWouldMisreadAreRefused) {
  const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";
  // Flat pixels (width below 8): the codec keeps unset memory for pixels the file lacks.
  const std::string flat = header + "-Y 2 +X 3\n";
  std::string pixels;
  for (int i = 0; i < 6; ++i) pixels += std::string("\x80\x80\x80\x80", 4);
  writeBytes("flat.hdr", flat + pixels);
  EXPECT_EQ(loadImage(path("flat.hdr"), false).width, 3u);
  writeBytes("flat-short.hdr", flat + pixels.substr(0, 23));
  EXPECT_TRUE(loadImage(path("flat-short.hdr"), false).isEmpty());
  // Run-length scanlines (width 8): each channel one run of 8. A literal count of 0 would make the
  // codec loop for ever.
  std::string line = std::string("\x02\x02\x00\x08", 4);
  for (int channel = 0; channel < 4; ++channel) line += std::string("\x88\x80", 2);
  writeBytes("rle.hdr", header + "-Y 1 +X 8\n" + line);
  EXPECT_EQ(loadImage(path("rle.hdr"), false).width, 8u);
  std::string zero = std::string("\x02\x02\x00\x08", 4) + std::string("\x00\x88\x80", 3);
  writeBytes("rle-zero.hdr", header + "-Y 1 +X 8\n" + zero);
  EXPECT_TRUE(loadImage(path("rle-zero.hdr"), false).isEmpty());
  // Cut short inside a run-length scanline: missing bytes read as 0, which is a count of 0 too.
  writeBytes("rle-cut.hdr", header + "-Y 1 +X 8\n" + line.substr(0, 7));
  EXPECT_TRUE(loadImage(path("rle-cut.hdr"), false).isEmpty());
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-hdr-cut-short.hdr";
  const ImageGray a = loadImage(found, false);
  const ImageGray b = loadImage(found, false);
  ASSERT_EQ(a.isEmpty(), b.isEmpty());
  if (!a.isEmpty()) {
    EXPECT_EQ(std::memcmp(a.data, b.data, a.width * a.height), 0);
  }
}

TEST_F(ImageIO, EmptyDataChunksOfAPngAreDropped) {
  // An IDAT chunk of length 0 carries nothing; the codec mishandles one that comes first, so such
  // chunks are dropped before it reads the file. The picture is the same with or without them.
  const std::string palette("\xff\xff\xff\x80\x80\x80", 6);
  std::string png = palettePng(2, 1, palette, std::string("\x00\x01", 2));
  const std::size_t idat = png.find("IDAT") - 4;
  png.insert(idat, pngChunk("IDAT", ""));
  png.insert(idat, pngChunk("IDAT", ""));
  writeBytes("empty-idat.png", png);
  const ImageGray img = loadImage(path("empty-idat.png"), false);
  ASSERT_EQ(img.width, 2u);
  EXPECT_EQ(img.at(0, 0)[0], 255);
  EXPECT_EQ(img.at(1, 0)[0], 128);
  // Nothing but empty data chunks: no picture.
  std::string none = palettePng(2, 1, palette, std::string("\x00\x01", 2));
  const std::size_t at = none.find("IDAT") - 4;
  const std::size_t length = 12 + (static_cast<unsigned char>(none[at + 2]) << 8 | static_cast<unsigned char>(none[at + 3]));
  none.replace(at, length, pngChunk("IDAT", ""));
  writeBytes("no-data.png", none);
  EXPECT_TRUE(loadImage(path("no-data.png"), false).isEmpty());
  loadImage(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-png-empty-idat.png", false);
}

TEST_F(ImageIO, UncompressedTgaCutShortIsRefused) {
  // The codec leaves the rows of an uncompressed TGA that the file does not hold in full unwritten;
  // such a file is refused. A complete one loads, and a run-length file that is cut short reads
  // zeros for what is missing, as the codec reads it.
  const auto header = [](std::uint8_t type, std::uint16_t w, std::uint16_t h, std::uint8_t bits) {
    std::string b(18, '\0');
    b[2] = static_cast<char>(type);
    b[12] = static_cast<char>(w & 0xFF), b[13] = static_cast<char>(w >> 8);
    b[14] = static_cast<char>(h & 0xFF), b[15] = static_cast<char>(h >> 8);
    b[16] = static_cast<char>(bits);
    b[17] = 0x20;  // top row first
    return b;
  };
  std::string pixels;
  for (int i = 0; i < 12; ++i) pixels += static_cast<char>(20 * i);
  writeBytes("gray.tga", header(3, 4, 3, 8) + pixels);
  const ImageGray gray = loadImage(path("gray.tga"), false);
  ASSERT_EQ(gray.width, 4u);
  ASSERT_EQ(gray.height, 3u);
  EXPECT_EQ(gray.at(3, 2)[0], 220);
  for (std::size_t cut = 1; cut <= 12; cut += 5) {
    writeBytes("cut.tga", header(3, 4, 3, 8) + pixels.substr(0, 12 - cut));
    EXPECT_TRUE(loadImage(path("cut.tga"), false).isEmpty()) << cut;
  }
  writeBytes("cut-colour.tga", header(2, 2, 2, 24) + pixels.substr(0, 11));
  EXPECT_TRUE(loadImage(path("cut-colour.tga"), false).isEmpty());
  // An identification field counts before the pixels.
  std::string withId = header(3, 4, 3, 8) + "id" + pixels;
  withId[0] = 2;
  writeBytes("id.tga", withId);
  EXPECT_EQ(loadImage(path("id.tga"), false).width, 4u);
  writeBytes("id-cut.tga", withId.substr(0, withId.size() - 1));
  EXPECT_TRUE(loadImage(path("id-cut.tga"), false).isEmpty());
  // Run-length: one run of 12 pixels of value 9 needs two bytes; cut to the command alone.
  writeBytes("rle.tga", header(11, 4, 3, 8) + std::string("\x8b\x09", 2));
  EXPECT_EQ(loadImage(path("rle.tga"), false).at(3, 2)[0], 9);
  writeBytes("rle-cut.tga", header(11, 4, 3, 8) + std::string("\x8b", 1));
  EXPECT_EQ(loadImage(path("rle-cut.tga"), false).at(3, 2)[0], 0);
  // The file in which the fuzzer found two loads of one file differing.
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-tga-cut-short.tga";
  EXPECT_TRUE(loadImage(found, false).isEmpty());
}

TEST_F(ImageIO, PixmapHeaderNumbersBeyondAnIntAreRefused) {
  // The codec adds up the digits of a PNM header number in an int without a check.
  writeBytes("fits.ppm", "P6\n# two\n# comments\n1 1\n255\n" + std::string("\x10\x20\x30", 3));
  EXPECT_EQ(loadImage(path("fits.ppm"), false).width, 1u);
  writeBytes("wide.ppm", "P6\n2147483648 1\n255\n" + std::string(6, '\0'));
  EXPECT_TRUE(loadImage(path("wide.ppm"), false).isEmpty());
  writeBytes("tall.pnm", "P5 1 99999999999999999999 255\n" + std::string(6, '\0'));
  EXPECT_TRUE(loadImage(path("tall.pnm"), false).isEmpty());
  writeBytes("maximum.ppm", "P6\n1 1\n#c\n00000000000000000000000000255\n" + std::string(3, '\0'));
  EXPECT_EQ(loadImage(path("maximum.ppm"), false).width, 1u);
  writeBytes("huge-maximum.ppm", "P6\n1 1\n4294967551\n" + std::string(3, '\0'));
  EXPECT_TRUE(loadImage(path("huge-maximum.ppm"), false).isEmpty());
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-pnm-number-overflow.ppm";
  EXPECT_TRUE(loadImage(found, false).isEmpty());
}

TEST_F(ImageIO, PixmapsShorterThanTheirPixelsAreRefused) {
  // The codec ignores a short read of PNM pixel data and returns pixels it never wrote.
  const std::string header = "P6\n2 2\n255\n";
  writeBytes("full.ppm", header + std::string(12, '\x40'));
  EXPECT_EQ(loadImage(path("full.ppm"), false).width, 2u);
  writeBytes("short.ppm", header + std::string(11, '\x40'));
  EXPECT_TRUE(loadImage(path("short.ppm"), false).isEmpty());
  // 16-bit samples take two bytes each.
  writeBytes("wide-short.ppm", "P6\n2 2\n65535\n" + std::string(23, '\x40'));
  EXPECT_TRUE(loadImage(path("wide-short.ppm"), false).isEmpty());
  writeBytes("wide-full.ppm", "P6\n2 2\n65535\n" + std::string(24, '\x40'));
  EXPECT_EQ(loadImage(path("wide-full.ppm"), false).width, 2u);
  // The header ends one character after the maximum value, whatever that character is.
  writeBytes("odd-end.pnm", std::string("P5 2 1 255\x16") + "ab");
  EXPECT_EQ(loadImage(path("odd-end.pnm"), false).at(1, 0)[0], 'b');
  writeBytes("odd-short.pnm", std::string("P5 2 1 255\x16") + "a");
  EXPECT_TRUE(loadImage(path("odd-short.pnm"), false).isEmpty());
  const std::string found =
      std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/regression-pnm-cut-short.ppm";
  EXPECT_TRUE(loadImage(found, false).isEmpty());
}

TEST_F(ImageIO, SixteenBitColourPixmapsAreConvertedLikeOtherSixteenBitColour) {
  // P6 with maximum value 65535: big-endian 16-bit samples. The gray value is the luma
  // (77 R + 150 G + 29 B) >> 8 taken in 16 bits, then its top byte.
  const std::uint16_t rgb[3][3] = {{65535, 65535, 65535}, {0x1234, 0xABCD, 0x0F0F}, {0, 0, 0xFFFF}};
  std::string ppm = "P6\n3 1\n65535\n";
  for (const auto& px : rgb)
    for (std::uint16_t v : px) ppm += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
  writeBytes("wide.ppm", ppm);
  int w = 0, h = 0, n = 0;
  stbi_us* wide = stbi_load_16(path("wide.ppm").c_str(), &w, &h, &n, 0);
  ASSERT_NE(wide, nullptr);
  ASSERT_EQ(n, 3);
  const ImageGray img = loadImage(path("wide.ppm"), false);
  ASSERT_EQ(img.width, 3u);
  for (int x = 0; x < 3; ++x) {
    const std::uint32_t luma = (wide[3 * x] * 77u + wide[3 * x + 1] * 150u + wide[3 * x + 2] * 29u) >> 8;
    EXPECT_EQ(img.at(x, 0)[0], (luma >> 8) & 0xFF) << x;
  }
  stbi_image_free(wide);
  EXPECT_EQ(img.at(0, 0)[0], 255);
  EXPECT_EQ(img.at(2, 0)[0], 28);
  // A 16-bit gray pixmap keeps the codec's own conversion.
  writeBytes("wide-gray.pnm", std::string("P5\n2 1\n65535\n\xff\xff\x80\x80", 17));
  const ImageGray gray = loadImage(path("wide-gray.pnm"), false);
  ASSERT_EQ(gray.width, 2u);
  EXPECT_EQ(gray.at(0, 0)[0], 255);
  EXPECT_EQ(gray.at(1, 0)[0], 128);
}

TEST_F(ImageIO, OversizedCodecHeadersAreRefused) {
  // A PNG whose header claims 100000 x 100000 pixels: refused before any decoding.
  ASSERT_TRUE(saveImage(fromReference(ImageReference::randomGray(4, 4, 1)), path("small.png"), 0, 0));
  std::string png = readBytes("small.png");
  auto put32 = [&png](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) png[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(16, 100000);  // IHDR width
  put32(20, 100000);  // IHDR height
  writeBytes("huge.png", png);
  messages().clear();
  EXPECT_TRUE(loadImage(path("huge.png"), false).isEmpty());
  EXPECT_EQ(messages(), std::vector<std::string>{"Error loading image from " + path("huge.png") + "."});

  // A JPEG whose frame header claims 65000 x 65000 (the product exceeds 32 bits).
  ASSERT_TRUE(saveImage(fromReference(ImageReference::randomGray(16, 16, 1)), path("small.jpg"), 0, 90));
  std::string jpg = readBytes("small.jpg");
  const std::size_t sof = jpg.find("\xff\xc0", 0, 2);
  ASSERT_NE(sof, std::string::npos);
  jpg[sof + 5] = jpg[sof + 7] = static_cast<char>(0xFD);
  jpg[sof + 6] = jpg[sof + 8] = static_cast<char>(0xE8);
  writeBytes("huge.jpg", jpg);
  EXPECT_TRUE(loadImage(path("huge.jpg"), false).isEmpty());
  // Bytes after the end-of-image marker do not make a complete JPEG look truncated.
  writeBytes("tail.jpg", readBytes("small.jpg") + "trailing bytes");
  EXPECT_EQ(loadImage(path("tail.jpg"), false).width, 16u);
  EXPECT_TRUE(loadImage(path("does-not-exist.png"), false).isEmpty());
}

}  // namespace
