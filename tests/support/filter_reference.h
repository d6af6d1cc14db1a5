// Plain references for the convolution and separable-filter tests: every tap resolved and summed one at
// a time, written from the definitions and independently of the module's code, plus random grids.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "host/core/types.h"
#include "orogenix/grid2d.h"
#include "support/test_support.h"

namespace ogx_test
{
enum class Border
{
  NONE,
  CLAMP,
  TILE,
  MIRROR
};

// The source index of raw index i on an axis of n cells, or -1 when the tap reads 0.
inline Int ReferenceIndex(Int i, Int n, Border border)
{
  if (i >= 0 && i < n)
    return i;
  switch (border)
  {
    case Border::CLAMP: return i < 0 ? 0 : n - 1;
    case Border::TILE:
    {
      Int r = i % n;
      return r < 0 ? r + n : r;
    }
    case Border::MIRROR:
    {
      // -1 reads 1, n reads n - 1; what is still outside after one reflection takes the nearest end.
      const Int m = i < 0 ? -i : 2 * n - 1 - i;
      return m < 0 ? 0 : (m > n - 1 ? n - 1 : m);
    }
    case Border::NONE:
    default: return -1;
  }
}

// The correlation of a width x height grid with a size x size kernel (tap (kx, ky) at source
// (x + kx - hx, y + ky - hy)), the taps summed from 0.0 in row-major order.
inline std::vector<Float> ReferenceConvolve(const std::vector<Float>& src, Int width, Int height,
                                            const std::vector<Float>& weights, Int size, Int hx, Int hy, Border border)
{
  std::vector<Float> out(src.size(), 0.0);
  for (Int y = 0; y < height; ++y)
    for (Int x = 0; x < width; ++x)
    {
      Float sum = 0.0;
      for (Int ky = 0; ky < size; ++ky)
        for (Int kx = 0; kx < size; ++kx)
        {
          const Int r = ReferenceIndex(y + ky - hy, height, border);
          const Int c = ReferenceIndex(x + kx - hx, width, border);
          const Float v = (r < 0 || c < 0) ? 0.0 : src[static_cast<std::size_t>(r * width + c)];
          sum += weights[static_cast<std::size_t>(ky * size + kx)] * v;
        }
      out[static_cast<std::size_t>(y * width + x)] = sum;
    }
  return out;
}

// The two clamped passes of a symmetric one-dimensional kernel: taps[k + half] is tap k's weight; each
// pass multiplies its sums by factor.
inline std::vector<Float> ReferenceSeparable(const std::vector<Float>& src, Int width, Int height,
                                             const std::vector<Float>& taps, Float factor)
{
  const Int half = (static_cast<Int>(taps.size()) - 1) / 2;
  std::vector<Float> temp(src.size(), 0.0);
  std::vector<Float> out(src.size(), 0.0);
  for (Int y = 0; y < height; ++y)
    for (Int x = 0; x < width; ++x)
    {
      Float sum = 0.0;
      for (Int k = -half; k <= half; ++k)
        sum += taps[static_cast<std::size_t>(k + half)] *
               src[static_cast<std::size_t>(std::clamp<Int>(y + k, 0, height - 1) * width + x)];
      temp[static_cast<std::size_t>(y * width + x)] = factor * sum;
    }
  for (Int y = 0; y < height; ++y)
    for (Int x = 0; x < width; ++x)
    {
      Float sum = 0.0;
      for (Int k = -half; k <= half; ++k)
        sum += taps[static_cast<std::size_t>(k + half)] *
               temp[static_cast<std::size_t>(y * width + std::clamp<Int>(x + k, 0, width - 1))];
      out[static_cast<std::size_t>(y * width + x)] = factor * sum;
    }
  return out;
}

// A width x height grid over 10 x 10 with values in [-50, 50).
inline Grid2D<Float> RandomGrid(Int width, Int height, unsigned seed)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(width, height, 10.0, 10.0).IsOk());
  std::mt19937 rng(seed);
  std::uniform_real_distribution<Float> dist(-50.0, 50.0);
  for (Float& v : g.cells)
    v = dist(rng);
  return g;
}

inline std::vector<Float> Cells(const Grid2D<Float>& g)
{
  return std::vector<Float>(g.cells.begin(), g.cells.end());
}

// Index of the first cell that differs bit for bit (NaN equal to NaN), or -1.
inline Int FirstDifference(const std::vector<Float>& a, const std::vector<Float>& b)
{
  if (a.size() != b.size())
    return 0;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (!Same(a[k], b[k]))
      return static_cast<Int>(k);
  return -1;
}
} // namespace ogx_test
