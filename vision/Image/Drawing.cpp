#include "Image/Drawing.h"

#include "Core/Log.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace Lumetra {

namespace {

void setSquare(ImageRGB& image, std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1,
               const RGB8& colour) {
  for (std::int64_t y = y0; y <= y1; ++y) {
    RGB8* row = image.row(static_cast<std::uint32_t>(y));
    for (std::int64_t x = x0; x <= x1; ++x) row[x] = colour;
  }
}

int outcode(std::int64_t x, std::int64_t y, std::int64_t width, std::int64_t height) {
  int code = 0;
  if (x < 0) {
    code |= 1;
  } else if (x > width - 1) {
    code |= 2;
  }
  if (y < 0) {
    code |= 4;
  } else if (y > height - 1) {
    code |= 8;
  }
  return code;
}

// Truncation toward zero into the 32-bit range (the computed points lie between the end points,
// so the clamp only guards against rounding at the extremes).
std::int32_t truncateToInt(double v) {
  if (!(v > -2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  if (!(v < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(v);
}

void drawPointAt(ImageRGB& image, std::int64_t x, std::int64_t y, const RGB8& colour, std::int8_t thickness) {
  if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max() ||
      y < std::numeric_limits<std::int32_t>::min() || y > std::numeric_limits<std::int32_t>::max()) {
    return;  // far outside any image
  }
  drawPoint(image, Vec2i(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)), colour, thickness);
}

}  // namespace

bool isInsideWithMargin(const ImageRGB& image, const Vec2i& p, const Vec2i& margin) {
  const std::int64_t w = image.width, h = image.height;
  return margin.x() <= p.x() && p.x() < w - margin.x() && margin.y() <= p.y() && p.y() < h - margin.y();
}

void drawPoint(ImageRGB& image, const Vec2i& p, const RGB8& colour, std::int8_t thickness) {
  if (image.isEmpty()) return;
  const std::int64_t x = p.x(), y = p.y();
  const std::int64_t w = image.width, h = image.height;
  switch (thickness) {
    case 1:
      if (x >= 0 && x < w && y >= 0 && y < h) setSquare(image, x, y, x, y, colour);
      return;
    case 2:
      if (x >= 1 && x < w - 1 && y >= 1 && y < h - 1) setSquare(image, x, y, x + 1, y + 1, colour);
      return;
    case 3:
      if (x >= 1 && x < w - 1 && y >= 1 && y < h - 1) setSquare(image, x - 1, y - 1, x + 1, y + 1, colour);
      return;
    default: {
      if (thickness < 0) return;
      const std::int32_t half = thickness >> 1;
      if (isInsideWithMargin(image, p, Vec2i(half, half))) setSquare(image, x - half, y - half, x + half, y + half, colour);
      return;
    }
  }
}

bool clipLine(const ImageRGB& image, const Vec2i& p1, const Vec2i& p2, Vec2i& q1, Vec2i& q2) {
  const std::int64_t w = image.width, h = image.height;
  std::int32_t x1 = p1.x(), y1 = p1.y(), x2 = p2.x(), y2 = p2.y();
  int code1 = outcode(x1, y1, w, h);
  int code2 = outcode(x2, y2, w, h);
  // Each step moves one end onto a border line; a handful of steps always suffice, the bound
  // only guards against an endless exchange caused by rounding.
  for (int step = 0; (code1 | code2) != 0; ++step) {
    if ((code1 & code2) != 0 || step == 16) return false;
    const int code = code1 != 0 ? code1 : code2;
    const double dx = static_cast<double>(static_cast<std::int64_t>(x2) - x1);
    const double dy = static_cast<double>(static_cast<std::int64_t>(y2) - y1);
    double x = 0.0, y = 0.0;
    if (code & 8) {
      x = x1 + dx * static_cast<double>(h - 1 - y1) / dy;
      y = static_cast<double>(h - 1);
    } else if (code & 4) {
      x = x1 - dx * y1 / dy;
      y = 0.0;
    } else if (code & 2) {
      y = y1 + dy * static_cast<double>(w - 1 - x1) / dx;
      x = static_cast<double>(w - 1);
    } else {
      y = y1 - dy * x1 / dx;
      x = 0.0;
    }
    if (code == code1) {
      x1 = truncateToInt(x);
      y1 = truncateToInt(y);
      code1 = outcode(x1, y1, w, h);
    } else {
      x2 = truncateToInt(x);
      y2 = truncateToInt(y);
      code2 = outcode(x2, y2, w, h);
    }
  }
  q1 = Vec2i(x1, y1);
  q2 = Vec2i(x2, y2);
  return true;
}

bool drawLine(ImageRGB& image, const Vec2i& p1, const Vec2i& p2, const RGB8& colour, std::int8_t thickness) {
  if (image.isEmpty()) return false;
  const std::int64_t w = image.width, h = image.height;
  Vec2i a = p1, b = p2;
  if (outcode(a.x(), a.y(), w, h) != 0 || outcode(b.x(), b.y(), w, h) != 0) {
    if (!clipLine(image, p1, p2, a, b)) return false;
  }
  // Both ends now lie inside the image, so these differences cannot overflow.
  const int dx = std::abs(b.x() - a.x());
  const int dy = std::abs(b.y() - a.y());
  const int sx = a.x() < b.x() ? 1 : -1;
  const int sy = a.y() < b.y() ? 1 : -1;
  int err = (dx > dy ? dx : -dy) / 2;
  int x = a.x(), y = a.y();
  for (;;) {
    drawPoint(image, Vec2i(x, y), colour, thickness);
    if (x == b.x() && y == b.y()) break;
    const int e = err;
    if (e > -dx) {
      err -= dy;
      x += sx;
    }
    if (e < dy) {
      err += dx;
      y += sy;
    }
  }
  return true;
}

bool drawCircle(ImageRGB& image, const Vec2i& centre, const RGB8& colour, std::int32_t radius,
                std::int8_t thickness) {
  if (image.isEmpty()) return false;
  const std::int64_t cx = centre.x(), cy = centre.y(), r = radius;
  std::int64_t x = 0, y = r, d = 1 - r;
  while (y > x) {
    x += 1;
    if (d > 0) {
      y -= 1;
      d += 2 * (x - y) + 1;
    } else {
      d += 2 * x + 1;
    }
    const std::int64_t offsets[8][2] = {{y, x}, {x, y}, {-x, y}, {-y, x}, {-y, -x}, {-x, -y}, {x, -y}, {y, -x}};
    for (const auto& o : offsets) drawPointAt(image, cx + o[0], cy + o[1], colour, thickness);
  }
  const std::int64_t axes[4][2] = {{r, 0}, {0, r}, {-r, 0}, {0, -r}};
  for (const auto& o : axes) drawPointAt(image, cx + o[0], cy + o[1], colour, thickness);
  return true;
}

bool drawPolygon(ImageRGB& image, const std::vector<Vec2i>& points, const RGB8& colour, std::int8_t thickness) {
  if (image.isEmpty()) return false;
  if (points.size() < 3) {
    LUMETRA_LOG_WARN("Polygon can't be drew.");
    return false;
  }
  for (std::size_t i = 0; i + 1 < points.size(); ++i) drawLine(image, points[i], points[i + 1], colour, thickness);
  drawLine(image, points.front(), points.back(), colour, thickness);
  return true;
}

}  // namespace Lumetra
