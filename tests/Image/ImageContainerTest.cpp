// The image container: storage sharing, the empty and view rules, regions, sizing and filling.
#include "Image/Image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using namespace Lumetra;

// Fresh storage is filled with zeros block by block: sizes below, at and past one block and a
// partial last block, also where the allocator hands back memory an earlier image dirtied.
template <typename P>
void expectFreshZeros(std::uint32_t w, std::uint32_t h) {
  for (int round = 0; round < 2; ++round) {
    Image<P> img;
    img.create(Vec2u(w, h));
    ASSERT_EQ(img.storage->size(), static_cast<std::size_t>(w) * h);
    EXPECT_EQ(img.data, img.storage->data());
    EXPECT_EQ(img.pixelCount, static_cast<std::int64_t>(w) * h);
    const auto* bytes = reinterpret_cast<const unsigned char*>(img.data);
    const std::size_t size = img.storage->size() * sizeof(P);
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < size; ++i) nonZero += bytes[i] != 0;
    EXPECT_EQ(nonZero, 0u) << w << "x" << h << " pixel size " << sizeof(P) << " round " << round;
    std::memset(static_cast<void*>(img.data), 0xFF, size);  // dirty it before it is released
  }
}

TEST(Image, CreateGivesZeroPixelsOfEverySize) {
  for (const auto& size : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {1, 1}, {16383, 1}, {16384, 1}, {16385, 1}, {128, 128}, {300, 201}, {1000, 700}}) {
    expectFreshZeros<Gray8>(size.first, size.second);
    expectFreshZeros<RGB8>(size.first, size.second);
    expectFreshZeros<RGBA8>(size.first, size.second);
  }
}

TEST(Image, EmptyRule) {
  ImageGray zeroHigh;
  zeroHigh.create(Vec2u(5, 0));
  EXPECT_TRUE(zeroHigh.isEmpty());
}

TEST(Image, Regions) {
  ImageGray parent(Vec2u(6, 4), Gray8{{0}});
  struct Case {
    int x, y;
    unsigned w, h;
    bool valid;
  };
  const Case cases[] = {
      {0, 0, 6, 4, true}, {1, 1, 2, 2, true},  {5, 3, 1, 1, true},   {1, 0, 6, 4, false},  // one past the right
      {0, 1, 6, 4, false}, {-1, 0, 2, 2, false}, {0, -1, 2, 2, false}, {6, 0, 1, 1, false},
      {2, 2, 0xFFFFFFFFu, 1, false},  // far corner overflows 32 bits
  };
  for (const Case& c : cases) {
    const ImageGray view = parent.region(Vec2i(c.x, c.y), Vec2u(c.w, c.h));
    EXPECT_EQ(!view.isEmpty(), c.valid) << c.x << "," << c.y << " " << c.w << "x" << c.h;
  }

  ImageGray full = parent.region(Vec2i(0, 0), Vec2u(6, 4));
  EXPECT_FALSE(full.isView());
  full.at(2, 3)[0] = 17;
  EXPECT_EQ(parent.at(2, 3)[0], 17);

  ImageGray small = parent.region(Vec2i(1, 1), Vec2u(2, 2));
  EXPECT_TRUE(small.isView());
  EXPECT_EQ(small.rowBytes, 6u);  // the parent's rows: the feature kernels step by it
  small.fill(Gray8{{5}});
  const std::vector<int> expected = {0, 0, 0, 0, 0, 0,  //
                                     0, 5, 5, 0, 0, 0,  //
                                     0, 5, 5, 0, 0, 0,  //
                                     0, 0, 17, 0, 0, 0};
  for (int i = 0; i < 24; ++i) EXPECT_EQ(parent.data[i][0], expected[static_cast<std::size_t>(i)]) << i;

  // A region of a view addresses the view's own pixels.
  ImageGray inner = small.region(Vec2i(1, 1), Vec2u(1, 1));
  EXPECT_EQ(inner.data, parent.data + 14);
  EXPECT_EQ(inner.originX, 2);
  EXPECT_EQ(inner.originY, 2);
}

TEST(Image, EnsureSize) {
  ImageInt img;
  img.ensureSize(Vec2u(3, 2));
  for (int i = 0; i < 6; ++i) img.data[i][0] = i + 1;
  const auto* before = img.data;
  img.ensureSize(Vec2u(3, 2));
  EXPECT_EQ(img.data, before);
  EXPECT_EQ(img.data[5][0], 6);

  img.ensureSize(Vec2u(4, 3));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(img.data[i][0], i + 1);  // the kept prefix
  for (int i = 6; i < 12; ++i) EXPECT_EQ(img.data[i][0], 0);

  // A storage shared with another holder is not resized under that holder.
  ImageInt other = img;
  img.ensureSize(Vec2u(100, 100));
  EXPECT_EQ(other.width, 4u);
  EXPECT_EQ(other.storage->size(), 12u);
  EXPECT_EQ(other.data, other.storage->data());
  EXPECT_EQ(img.data[3][0], 4);
}

TEST(Image, ConvertGrayToRGB) {
  ImageGray parent;
  parent.create(Vec2u(4, 3));
  parent.fill(Gray8{{1}});
  parent.storage->at(2 * 4 + 2) = Gray8{{200}};
  ImageRGB fromView = convertGrayToRGB(parent.region(Vec2i(1, 1), Vec2u(2, 2)));
  EXPECT_EQ(fromView.at(1, 1), (RGB8{{200, 200, 200}}));
  EXPECT_EQ(fromView.at(0, 0), (RGB8{{1, 1, 1}}));

  EXPECT_TRUE(convertGrayToRGB(ImageGray()).isEmpty());
}

}  // namespace
