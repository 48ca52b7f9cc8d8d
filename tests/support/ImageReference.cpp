#include "ImageReference.h"

#include <cmath>

namespace ImageReference {

Gray randomGray(int width, int height, std::uint32_t seed) {
  Gray g(width, height);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (auto& v : g.px) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    v = static_cast<std::uint8_t>(state >> 11);
  }
  return g;
}

Gray downsampleHalf(const Gray& s, int dw, int dh) {
  Gray d(dw, dh);
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x)
      d.at(x, y) = static_cast<std::uint8_t>(
          std::floor((s.at(2 * x, 2 * y) + s.at(2 * x + 1, 2 * y) + s.at(2 * x, 2 * y + 1) + s.at(2 * x + 1, 2 * y + 1)) /
                     4.0));
  return d;
}

Gray downsampleTwoThirds(const Gray& s, int dw, int dh) {
  auto c = [](int i, int last) {
    const int v = (3 * i + 1) / 2;
    return v > last ? last : v;
  };
  Gray d(dw, dh);
  for (int y = 0; y < dh; ++y) {
    for (int x = 0; x < dw; ++x) {
      const int cx0 = c(x, s.width - 1), cx1 = c(x + 1, s.width - 1);
      const int cy0 = c(y, s.height - 1), cy1 = c(y + 1, s.height - 1);
      const long sum = s.at(cx0, cy0) + 2L * s.at(cx1, cy0) + 2L * s.at(cx0, cy1) + 4L * s.at(cx1, cy1);
      d.at(x, y) = static_cast<std::uint8_t>((sum * 3641 + 16384) / 32768);
    }
  }
  return d;
}

std::vector<std::uint8_t> resizeBilinear(const std::vector<std::uint8_t>& src, int sw, int sh, int channels, int dw,
                                         int dh) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(dw) * dh * channels);
  const double sx = double(sw) / double(dw);
  const double sy = double(sh) / double(dh);
  auto px = [&](int x, int y, int c) -> double { return src[(static_cast<std::size_t>(y) * sw + x) * channels + c]; };
  double fy = 0.0;
  for (int y = 0; y < dh; ++y) {
    double fx = 0.0;
    const int y0 = static_cast<int>(std::floor(fy));
    const int y1 = std::min(y0 + 1, sh - 1);
    const double ay = fy - y0;
    for (int x = 0; x < dw; ++x) {
      const int x0 = static_cast<int>(std::floor(fx));
      const int x1 = std::min(x0 + 1, sw - 1);
      const double ax = fx - x0;
      for (int c = 0; c < channels; ++c) {
        const double top = (px(x1, y0, c) - px(x0, y0, c)) * ax + px(x0, y0, c);
        const double bottom = (px(x1, y1, c) - px(x0, y1, c)) * ax + px(x0, y1, c);
        out[(static_cast<std::size_t>(y) * dw + x) * channels + c] =
            static_cast<std::uint8_t>(std::trunc((bottom - top) * ay + top));
      }
      fx += sx;
    }
    fy += sy;
  }
  return out;
}

// Normalised sampled Gaussian of `taps` taps.
static std::vector<double> gaussianWeights(int taps, double sigma) {
  const int r = taps / 2;
  std::vector<double> w;
  double sum = 0.0;
  for (int x = -r; x <= r; ++x) {
    w.push_back(std::exp(-double(x * x + r * r) / (2.0 * sigma * sigma)) / (2.0 * sigma * sigma * M_PI));
    sum += w.back();
  }
  for (double& v : w) v /= sum;
  return w;
}

void blurFloat(const Gray& s, Gray& d, int taps, double sigma) {
  const auto k = gaussianWeights(taps, sigma);
  const int r = taps / 2;
  std::vector<double> t(s.px.size(), 0.0);
  for (int y = 0; y < s.height; ++y)
    for (int x = r; x < s.width - r; ++x) {
      double sum = 0.0;
      for (int i = 0; i < taps; ++i) sum += s.at(x - r + i, y) * k[i];
      t[static_cast<std::size_t>(y) * s.width + x] = sum;
    }
  for (int y = r; y < s.height - r; ++y)
    for (int x = r; x < s.width - r; ++x) {
      double sum = 0.0;
      for (int i = 0; i < taps; ++i) sum += t[static_cast<std::size_t>(y - r + i) * s.width + x] * k[i];
      d.at(x, y) = static_cast<std::uint8_t>(std::trunc(sum));
    }
}

void blurFixed(const Gray& s, Gray& d, int taps, double sigma) {
  const auto k = gaussianWeights(taps, sigma);
  std::vector<long> K;
  for (double v : k) K.push_back(static_cast<long>(std::trunc(v * 65536.0)));
  const int r = taps / 2;
  std::vector<long> t(s.px.size(), 0);
  for (int y = 0; y < s.height; ++y)
    for (int x = r; x < s.width - r; ++x) {
      long sum = 0;
      for (int i = 0; i < taps; ++i) sum += s.at(x - r + i, y) * K[i];
      t[static_cast<std::size_t>(y) * s.width + x] = sum / 65536;  // non-negative: floor
    }
  for (int y = r; y < s.height - r; ++y)
    for (int x = 0; x < s.width; ++x) {
      long sum = 0;
      for (int i = 0; i < taps; ++i) sum += t[static_cast<std::size_t>(y - r + i) * s.width + x] * K[i];
      d.at(x, y) = static_cast<std::uint8_t>((sum + 32768) / 65536);
    }
}

}  // namespace ImageReference
