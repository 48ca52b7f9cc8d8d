#pragma once
// SIMD kernels of the image operations. Each works on raw rows and has a scalar twin in the
// file that dispatches to it, with bit-identical results. The kernels are compiled with their
// instruction set (files ending in _avx2.cpp / _sse41.cpp) and may only be called after the
// run-time check in Core/CpuFeatures.h. This header must stay free of inline code, so that no
// function compiled with a wider instruction set can be chosen by the linker for plain code.
#include <cstdint>

namespace Lumetra {
namespace kernels {

// ---- 2 x 2 truncated mean. Rows r0 and r1 of the source, dw destination pixels.
// Return the number of leading destination pixels written (a multiple of the step).
int downsampleHalfRowAVX2(const std::uint8_t* r0, const std::uint8_t* r1, std::uint8_t* dst, int dw);
int downsampleHalfRowSSE41(const std::uint8_t* r0, const std::uint8_t* r1, std::uint8_t* dst, int dw);

// ---- 2/3 reduction of one destination row from source rows `top` (c(y)) and `bottom` (c(y+1)).
// Writes the leading destination pixels whose source columns all lie below sw and returns
// their count.
int downsampleTwoThirdsRowAVX2(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* dst, int dw,
                               int sw);
int downsampleTwoThirdsRowSSE41(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* dst, int dw,
                                int sw);

// ---- Bilinear resize: horizontal interpolation of one source row at the destination columns,
// out[i] = (row[x0[i] + 1] - row[x0[i]]) * ax[i] + row[x0[i]], for i < count. The caller
// guarantees that row[x0[i] + 3] is readable for every i < count.
void bilinearHorizontalAVX2(const std::uint8_t* row, const std::int32_t* x0, const double* ax, double* out,
                            int count);
// The same for count = 8 m pixels taken in blocks of 8: block b reads the 16 source bytes from
// row[x0[8 b]] on and picks p0 and p1 with the byte shuffle masks[16 b .. 16 b + 15] (the 8
// offsets of x0 - x0[8 b], then the 8 offsets of x0 + 1 - x0[8 b]).
void bilinearHorizontalShuffleAVX2(const std::uint8_t* row, const std::int32_t* x0, const std::uint8_t* masks,
                                   const double* ax, double* out, int count);
// value = (bottom - top) * ay + top, truncated, for dw pixels.
void bilinearVerticalAVX2(const double* top, const double* bottom, double ay, std::uint8_t* dst, int dw);

// ---- Blend: out[i] = trunc(b[i] * (1 - t) + a[i] * t) clamped to [0, 255] (0 when not a number).
// Returns the number of leading bytes written.
int blendRowAVX2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, int count, double t);

// ---- Gaussian blur, floating point. Row pass: t[x] = sum over i of s[x - r + i] * k[i], added
// from i = 0 upward starting at 0.0, for x in [r, width - r).
// `scratch` holds room for width doubles.
void blurRowFloatAVX2(const std::uint8_t* src, double* tmp, int width, const double* k, int taps, double* scratch);
// Column pass: dst[x] = trunc(sum over i of rows[i][x] * k[i]) for x in [x0, x1).
void blurColumnFloatAVX2(const double* const* rows, std::uint8_t* dst, int x0, int x1, const double* k, int taps);
// The same for two consecutive output rows: rows[0 .. taps - 1] give dst0, rows[1 .. taps] dst1.
void blurColumnFloatPairAVX2(const double* const* rows, std::uint8_t* dst0, std::uint8_t* dst1, int x0, int x1,
                             const double* k, int taps);

// ---- Gaussian blur, fixed point; K must be symmetric (K[i] == K[taps - 1 - i]).
// Row pass: t[x] = (sum over i of s[x - r + i] * K[i]) >> 16 for x in [r, width - r).
void blurRowFixedAVX2(const std::uint8_t* src, std::int32_t* tmp, int width, const std::int32_t* K, int taps);
// Column pass: dst[x] = (sum over i of rows[i][x] * K[i] + 32768) >> 16 for x in [0, width).
void blurColumnFixedAVX2(const std::int32_t* const* rows, std::uint8_t* dst, int width, const std::int32_t* K,
                         int taps);
// The same two passes with the intermediate row held as 16-bit words (the values are at most
// 255) in the leading half of each 32-bit row, for weights that fit 16-bit factors (outer taps
// at most 32767, the centre at most 65534, the sum at most 65536). The row pass also writes 0
// into the outer r columns.
void blurRowFixedPackedAVX2(const std::uint8_t* src, std::int32_t* tmp, int width, const std::int32_t* K, int taps);
void blurColumnFixedPackedAVX2(const std::int32_t* const* rows, std::uint8_t* dst, int width, const std::int32_t* K,
                               int taps);

}  // namespace kernels
}  // namespace Lumetra
