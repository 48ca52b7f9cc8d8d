#pragma once
// Raster drawing into 3-channel 8-bit images for debug pictures: square-brush points, clipped
// Bresenham lines, midpoint circles and closed polygons. Colours are copied as they are.
#include "Image/Image.h"

#include <cstdint>
#include <vector>

namespace Lumetra {

/// Draws a square brush at p. Brush 1: the pixel; 2: the 2 x 2 block right and down of p; 3: the
/// 3 x 3 block around p (2 and 3 only at least one pixel inside every border); any other size t:
/// the (2h + 1)-square around p with h = t >> 1, only when it fits with margin h. A brush that
/// does not fit by these tests is skipped whole; a negative size draws nothing.
void drawPoint(ImageRGB& image, const Vec2i& p, const RGB8& colour, std::int8_t thickness);

/// margin.x <= p.x < width - margin.x and margin.y <= p.y < height - margin.y.
bool isInsideWithMargin(const ImageRGB& image, const Vec2i& p, const Vec2i& margin);

/// Cohen-Sutherland clipping of the segment p1-p2 to the image rectangle. False when the segment
/// lies wholly outside; otherwise true with the clipped end points in q1 and q2.
bool clipLine(const ImageRGB& image, const Vec2i& p1, const Vec2i& p2, Vec2i& q1, Vec2i& q2);

/// A Bresenham line from p1 to p2 (clipped when an end lies outside) drawn with the brush.
/// False for an empty image or a segment wholly outside.
bool drawLine(ImageRGB& image, const Vec2i& p1, const Vec2i& p2, const RGB8& colour, std::int8_t thickness);

/// A midpoint circle of the radius around the centre, drawn with the brush, plus the four axis
/// points at distance |radius|. False for an empty image.
bool drawCircle(ImageRGB& image, const Vec2i& centre, const RGB8& colour, std::int32_t radius,
                std::int8_t thickness);

/// Lines from each point to the next and from the first to the last. False for an empty image
/// or fewer than 3 points.
bool drawPolygon(ImageRGB& image, const std::vector<Vec2i>& points, const RGB8& colour, std::int8_t thickness);

}  // namespace Lumetra
