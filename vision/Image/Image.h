#pragma once
// The one picture type of the vision library: a 2-D array of pixels in a reference-counted
// storage vector, so that copies and rectangular views share their pixels.
#include <Eigen/Core>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace Lumetra {

using uchar = std::uint8_t;
using Vec2u = Eigen::Matrix<std::uint32_t, 2, 1>;  // a size: width, height
using Vec2i = Eigen::Matrix<std::int32_t, 2, 1>;   // an origin: x, y

/// N consecutive values of type T.
template <typename T, int N>
struct Pixel {
  using value_type = T;
  static constexpr int kChannels = N;
  T c[N];

  T& operator[](int i) { return c[i]; }
  const T& operator[](int i) const { return c[i]; }
  bool operator==(const Pixel& o) const { return std::equal(c, c + N, o.c); }
  bool operator!=(const Pixel& o) const { return !(*this == o); }
};

using Gray8 = Pixel<uchar, 1>;
using RGB8 = Pixel<uchar, 3>;
using RGBA8 = Pixel<uchar, 4>;
using Int32Pixel = Pixel<std::int32_t, 1>;
using DoublePixel = Pixel<double, 1>;

static_assert(sizeof(Gray8) == 1 && sizeof(RGB8) == 3 && sizeof(RGBA8) == 4, "pixels must be packed");
static_assert(sizeof(Int32Pixel) == 4 && sizeof(DoublePixel) == 8, "pixels must be packed");

template <typename PixelT>
class Image {
 public:
  using PixelType = PixelT;
  using ValueType = typename PixelT::value_type;
  static constexpr int kChannels = PixelT::kChannels;

  std::int32_t channels = 0;
  std::uint32_t rowBytes = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int64_t pixelCount = 0;
  std::int32_t stride = 0;
  PixelT* data = nullptr;
  std::int32_t originX = 0;
  std::int32_t originY = 0;
  std::shared_ptr<std::vector<PixelT>> storage;

  /// The empty image.
  Image() = default;

  /// Fill constructor: a whole image of the size with every pixel set to the value.
  Image(const Vec2u& size, const PixelT& value) {
    create(size);
    fill(value);
  }

  Image(const Image&) = default;
  Image& operator=(const Image&) = default;
  Image(Image&&) noexcept = default;
  Image& operator=(Image&&) noexcept = default;

  /// Fresh zeroed storage of width x height pixels.
  void create(const Vec2u& size) {
    const std::uint32_t w = size.x();
    const std::uint32_t h = size.y();
    const std::int32_t count32 = static_cast<std::int32_t>(w * h);
    storage = zeroStorage(static_cast<std::size_t>(std::uint64_t(w) * h));
    channels = kChannels;
    width = w;
    height = h;
    rowBytes = w * static_cast<std::uint32_t>(sizeof(PixelT));
    pixelCount = static_cast<std::int64_t>(count32);
    stride = static_cast<std::int32_t>(w);
    data = storage->data();
  }

  /// Gives the image the size; keeps the storage (and its leading content) when it can.
  void ensureSize(const Vec2u& size) {
    if (width == size.x() && height == size.y()) return;
    if (!storage) {
      create(size);
      return;
    }
    const std::uint32_t w = size.x();
    const std::uint32_t h = size.y();
    width = w;
    height = h;
    rowBytes = w * static_cast<std::uint32_t>(sizeof(PixelT));
    stride = static_cast<std::int32_t>(w);
    pixelCount = static_cast<std::int64_t>(static_cast<std::int32_t>(w * h));
    if (storage.use_count() > 1) {
      // Another holder shares the pixels: give this image storage of its own rather than
      // resizing under the other holder's feet.
      auto fresh = std::make_shared<std::vector<PixelT>>(static_cast<std::size_t>(std::uint64_t(w) * h), PixelT{});
      const std::size_t keep = std::min(fresh->size(), storage->size());
      std::copy(storage->begin(), storage->begin() + static_cast<std::ptrdiff_t>(keep), fresh->begin());
      storage = std::move(fresh);
    } else {
      storage->resize(static_cast<std::size_t>(std::uint64_t(w) * h), PixelT{});
    }
    data = storage->data();
  }

  /// Sets every pixel of the image (or of the view) to the value.
  void fill(const PixelT& value) {
    if (!storage || data == nullptr) return;
    if (!isView()) {
      fillRun(data, static_cast<std::size_t>(std::uint64_t(width) * height), value);
      return;
    }
    PixelT* base = storage->data();
    for (std::uint32_t r = 0; r < height; ++r) {
      PixelT* row = base + (static_cast<std::int64_t>(originY) + r) * stride + originX;
      fillRun(row, width, value);
    }
  }

  /// A view of the rectangle at origin of the size, or the empty image when it does not fit.
  Image region(const Vec2i& origin, const Vec2u& size) const {
    const std::int64_t x = origin.x();
    const std::int64_t y = origin.y();
    const std::int64_t w = size.x();
    const std::int64_t h = size.y();
    const std::int64_t W = width;
    const std::int64_t H = height;
    if (!storage || x < 0 || x >= W || y < 0 || y >= H || x + w - 1 < 0 || x + w - 1 >= W || y + h - 1 < 0 ||
        y + h - 1 >= H) {
      return Image();
    }
    Image view;
    view.channels = channels;
    view.rowBytes = rowBytes;
    view.pixelCount = pixelCount;
    view.stride = stride;
    view.width = size.x();
    view.height = size.y();
    view.storage = storage;
    if (isView()) {
      // A view of a view: the rectangle is relative to this view, whose rows are `stride` apart.
      view.originX = static_cast<std::int32_t>(originX + x);
      view.originY = static_cast<std::int32_t>(originY + y);
      view.data = data + (y * stride + x);
    } else {
      // A whole image: its width equals its stride, so this is pixel (x, y) of the storage.
      view.originX = origin.x();
      view.originY = origin.y();
      view.data = storage->data() + (y * W + x);
    }
    return view;
  }

  bool isEmpty() const { return !storage || static_cast<std::int32_t>(width * height) == 0; }
  bool isView() const { return pixelCount != static_cast<std::int64_t>(static_cast<std::int32_t>(width * height)); }

  Vec2u size() const { return Vec2u(width, height); }

 private:
  // Filling a run of pixel structs element by element is many times slower than a block fill:
  // one-byte pixels are set with memset, and fresh storage is copied from a block of zeros.
  static void fillRun(PixelT* first, std::size_t count, const PixelT& value) {
    if constexpr (sizeof(PixelT) == 1) {
      std::memset(static_cast<void*>(first), static_cast<unsigned char>(value[0]), count);
    } else {
      std::fill(first, first + count, value);
    }
  }

  // Fresh storage of `count` zero pixels, in one pass at copying speed: the vector is filled by
  // appending runs of a static block of zero pixels, which stays in the cache (value-initialising
  // the vector would set the pixel structs one by one).
  static std::shared_ptr<std::vector<PixelT>> zeroStorage(std::size_t count) {
    static_assert(std::is_trivially_copyable<PixelT>::value, "pixels are copied as bytes");
    constexpr std::size_t kBlock = 16384 / sizeof(PixelT);
    alignas(64) static const PixelT zeros[kBlock] = {};
    auto fresh = std::make_shared<std::vector<PixelT>>();
    if (count > fresh->max_size()) throw std::bad_alloc();
    fresh->reserve(count);
    while (fresh->size() < count) {
      const std::size_t run = std::min(kBlock, count - fresh->size());
      fresh->insert(fresh->end(), zeros, zeros + run);
    }
    return fresh;
  }

 public:
  PixelT& at(std::uint32_t x, std::uint32_t y) { return data[static_cast<std::int64_t>(y) * stride + x]; }
  const PixelT& at(std::uint32_t x, std::uint32_t y) const { return data[static_cast<std::int64_t>(y) * stride + x]; }
  PixelT* row(std::uint32_t y) { return data + static_cast<std::int64_t>(y) * stride; }
  const PixelT* row(std::uint32_t y) const { return data + static_cast<std::int64_t>(y) * stride; }

  /// The pixel values as a flat array of elements (channel-interleaved).
  ValueType* values() { return reinterpret_cast<ValueType*>(data); }
  const ValueType* values() const { return reinterpret_cast<const ValueType*>(data); }
};

using ImageGray = Image<Gray8>;
using ImageRGB = Image<RGB8>;
using ImageRGBA = Image<RGBA8>;
using ImageInt = Image<Int32Pixel>;
using ImageDouble = Image<DoublePixel>;

/// A new RGB image whose channels repeat the gray value of each pixel of a whole gray image.
ImageRGB convertGrayToRGB(const ImageGray& gray);

}  // namespace Lumetra
