#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/random.h"
#include "host/noise/noise.h"
#include "orogenix/erosion_droplet.h"
#include "support/grid_cells.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
Grid2D<Float> RandomGrid(Int w, Int h, UInt32 seed, Float lo = -5.0, Float span = 25.0)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, 40.0, 30.0).IsOk());
  LcgRandom r;
  r.Init(seed);
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = lo + r.Get01() * span;
  g.RecomputeMinMax();
  return g;
}

// ---------------------------------------------------------------------------------------------------
// Noise erosion of one cell, from its definition.

Float ReferenceNoiseCell(const Grid2D<Float>& g, Int x, Int y, const NoiseErosionSettings& s)
{
  const Float lo = g.min;
  const Float range = g.max - g.min;
  const Float inverse = range == 0.0 ? 0.0 : 1.0 / range;
  const Float u = g.width == 1 ? 0.0 : static_cast<Float>(x) / static_cast<Float>(g.width - 1);
  const Float v = g.height == 1 ? 0.0 : static_cast<Float>(y) / static_cast<Float>(g.height - 1);
  const Vector p((u * g.sizeX - g.sizeX * 0.5) * s.scale, 0.0 * s.scale, (g.sizeY * 0.5 - v * g.sizeY) * s.scale);
  const Float n = HostNoise3D(p);
  const Float t = ((n - 1.0) * s.influence + 1.0) * (s.high - s.low) + s.low;
  const Float h = g.cells[y * g.width + x];
  const Float hn = (h - lo) * inverse;
  if (!(t > hn))
    return h;
  Float q = std::pow(hn / t, s.exponent) * hn;
  if (s.softness > 0.0)
  {
    const Float base = (1.0 - s.softness) * t;
    const Float span = t - base;
    const Float f = span == 0.0 ? 0.0 : std::clamp((q - base) / span, 0.0, 1.0);
    const Float w = f <= 0.0 ? 0.0 : (f >= 1.0 ? 1.0 : (3.0 - 2.0 * f) * (f * f));
    q = q + (hn - q) * w;
  }
  return q * range + lo;
}

std::vector<Float> ReferenceNoise(const Grid2D<Float>& g, const NoiseErosionSettings& s)
{
  std::vector<Float> out;
  for (Int y = 0; y < g.height; ++y)
    for (Int x = 0; x < g.width; ++x)
      out.push_back(ReferenceNoiseCell(g, x, y, s));
  return out;
}

NoiseErosionSettings NoiseSettings(Float low, Float high, Float scale, Float influence, Float exponent, Float softness)
{
  NoiseErosionSettings s;
  s.low = low;
  s.high = high;
  s.scale = scale;
  s.influence = influence;
  s.exponent = exponent;
  s.softness = softness;
  return s;
}

// ---------------------------------------------------------------------------------------------------
// One droplet, from its definition (with the sample point following the droplet and the usual bilinear
// weights), sampling bilinearly with clamped cells in the grid's own interpolation form.

Float SampleRef(const std::vector<Float>& c, Int w, Int h, Float x, Float y)
{
  auto at = [&](Float px, Float py) {
    const Int ix = static_cast<Int>(std::clamp(px, 0.0, w - 1.0));
    const Int iy = static_cast<Int>(std::clamp(py, 0.0, h - 1.0));
    return c[static_cast<std::size_t>(iy * w + ix)];
  };
  const Float x0 = std::floor(x), y0 = std::floor(y);
  const Float fx = x - x0, fy = y - y0;
  const Float top = at(x0, y0) + (at(std::ceil(x), y0) - at(x0, y0)) * fx;
  const Float bottom = at(x0, std::ceil(y)) + (at(std::ceil(x), std::ceil(y)) - at(x0, std::ceil(y))) * fx;
  return top + (bottom - top) * fy;
}

void ReferenceDroplet(std::vector<Float>& c, Int w, Int h, Float x, Float y, LcgRandom& r, const DropletSettings& s)
{
  const Float jy = r.Get11() * s.jitter * s.step;
  const Float jx = s.step * (r.Get11() * s.jitter);
  Float px = x, py = y, vx = 0.0, vy = 0.0, sediment = 0.0;
  for (Int k = 0; k < s.steps; ++k)
  {
    const Float sx = px + jx, sy = py + jy;
    const Float gX = (SampleRef(c, w, h, sx + s.step, sy) - SampleRef(c, w, h, sx - s.step, sy)) * (-2.0 * s.step);
    const Float gY = (SampleRef(c, w, h, sx, sy + s.step) - SampleRef(c, w, h, sx, sy - s.step)) * (-2.0 * s.step);
    const Float f = 4.0 * s.step * s.step;
    const Float len = std::sqrt(f * f + gX * gX + gY * gY);
    const Float inv = len == 0.0 ? 0.0 : 1.0 / len;
    const Float up = f * inv;
    if (up == 1.0)
      break;
    const Float deposit = sediment * s.depositionRate * up;
    const Float erode = std::min(1.0, k * s.ramp) * (1.0 - up) * s.erosionRate;
    const Float net = deposit - erode;
    if (net != 0.0 && std::isfinite(px) && std::isfinite(py) && std::trunc(px) < w - 1.0 && std::trunc(py) < h - 1.0)
    {
      const Float tx = std::trunc(px), ty = std::trunc(py);
      const Float fx = px - tx, fy = py - ty;
      auto at = [&](Float cx, Float cy) -> Float& {
        const Int ix = static_cast<Int>(std::clamp(cx, 0.0, w - 1.0));
        const Int iy = static_cast<Int>(std::clamp(cy, 0.0, h - 1.0));
        return c[static_cast<std::size_t>(iy * w + ix)];
      };
      at(tx, ty) += net * (1.0 - fx) * (1.0 - fy);
      at(tx + 1.0, ty) += net * fx * (1.0 - fy);
      at(tx, ty + 1.0) += net * (1.0 - fx) * fy;
      at(tx + 1.0, ty + 1.0) += net * fx * fy;
    }
    sediment = sediment + erode - deposit;
    vx = s.acceleration * (gX * inv) * s.step + s.inertia * vx;
    vy = s.acceleration * (gY * inv) * s.step + s.inertia * vy;
    px += vx;
    py += vy;
  }
}

// A 4 x 4 grid of heights x + slopeY x y (x the column, y the row).
Grid2D<Float> Slope4x4(Float slopeY)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(4, 4, 1.0, 1.0).IsOk());
  for (Int i = 0; i < 16; ++i)
    g.cells[i] = static_cast<Float>(i % 4) + slopeY * static_cast<Float>(i / 4);
  return g;
}

// One droplet that stands still (no acceleration) and erodes from its second step on: the first has no
// ramp yet, the second takes (1 - up) x rate.
DropletSettings StandingDroplet()
{
  DropletSettings s;
  s.erosionRate = 1.0;
  s.step = 1.0;
  s.steps = 2;
  s.ramp = 1.0;
  return s;
}

DropletSettings Droplets(UInt32 seed, Int count)
{
  DropletSettings s;
  s.seed = seed;
  s.count = count;
  s.erosionRate = 0.3;
  s.depositionRate = 0.1;
  s.acceleration = 0.8;
  s.inertia = 0.6;
  s.jitter = 0.5;
  s.step = 0.75;
  s.steps = 40;
  s.ramp = 0.2;
  return s;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Noise erosion

TEST(NoiseErosion, MatchesTheDefinition)
{
  const Grid2D<Float> source = RandomGrid(37, 23, 11);
  struct Case
  {
    const char* name;
    NoiseErosionSettings s;
  };
  const Case cases[] = {
    {"operator defaults", NoiseSettings(0.25, 0.5, 1.0 / 20.0, 0.4, 3.0, 0.0)},
    {"soft", NoiseSettings(0.25, 0.5, 1.0 / 20.0, 0.4, 3.0, 0.35)},
    {"softness 1", NoiseSettings(0.1, 0.9, 0.3, 0.7, 2.0, 1.0)},
    {"full influence", NoiseSettings(0.0, 1.0, 0.5, 1.0, 0.5, 0.0)},
    {"scale 0", NoiseSettings(0.2, 0.8, 0.0, 0.5, 3.0, 0.1)},
    {"threshold above every height", NoiseSettings(1.5, 2.0, 0.1, 0.2, 1.5, 0.2)},
  };
  for (const Case& c : cases)
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    ASSERT_TRUE(NoiseErosion(g, c.s).IsOk()) << c.name;
    EXPECT_TRUE(SameCells(Cells(g), ReferenceNoise(source, c.s))) << c.name;
    EXPECT_FALSE(SameCells(Cells(g), Cells(source))) << c.name;
    // The header stays as it was.
    EXPECT_EQ(g.min, source.min);
    EXPECT_EQ(g.max, source.max);
    EXPECT_TRUE(g.minMaxValid);
  }
}

TEST(NoiseErosion, PropertiesOfTheSettings)
{
  const Grid2D<Float> source = RandomGrid(31, 17, 5);
  auto run = [&](const NoiseErosionSettings& s) {
    Grid2D<Float> g;
    EXPECT_TRUE(g.CopyFrom(source).IsOk());
    EXPECT_TRUE(NoiseErosion(g, s).IsOk());
    return Cells(g);
  };
  const Float range = source.max - source.min;

  // Exponent 0 without softness: q = hn, so every height comes back (up to the rounding of the mapping).
  const std::vector<Float> kept = run(NoiseSettings(0.9, 1.0, 0.2, 0.5, 0.0, 0.0));
  for (std::size_t k = 0; k < kept.size(); ++k)
    ASSERT_NEAR(kept[k], source.cells[static_cast<Int>(k)], 1e-12 * range) << k;

  // high = low: the threshold is low everywhere, whatever the noise does.
  const std::vector<Float> flatThreshold = run(NoiseSettings(0.6, 0.6, 0.2, 0.9, 2.0, 0.0));
  EXPECT_TRUE(SameCells(run(NoiseSettings(0.6, 0.6, 3.0, 0.1, 2.0, 0.0)), flatThreshold));
  for (Int i = 0; i < source.cellCount; ++i)
  {
    const Float hn = (source.cells[i] - source.min) / range;
    if (!(0.6 > hn))
    {
      ASSERT_EQ(flatThreshold[static_cast<std::size_t>(i)], source.cells[i]) << i;
    }
  }

  // Softness blends from the hard pull-down back towards the height: with softness 1 every cell lies
  // between the two.
  const std::vector<Float> hard = run(NoiseSettings(0.3, 0.8, 0.2, 0.5, 3.0, 0.0));
  const std::vector<Float> soft = run(NoiseSettings(0.3, 0.8, 0.2, 0.5, 3.0, 1.0));
  Int between = 0;
  for (Int i = 0; i < source.cellCount; ++i)
  {
    const Float a = hard[static_cast<std::size_t>(i)], b = source.cells[i], v = soft[static_cast<std::size_t>(i)];
    ASSERT_GE(v, std::min(a, b) - 1e-12 * range) << i;
    ASSERT_LE(v, std::max(a, b) + 1e-12 * range) << i;
    between += (a < b && v > a && v < b) ? 1 : 0;
  }
  EXPECT_GT(between, 0);
}

TEST(NoiseErosion, LeavesGridsWithoutARangeAlone)
{
  const NoiseErosionSettings s = NoiseSettings(0.5, 0.9, 0.2, 0.5, 3.0, 0.2);
  // All heights equal: range 0.
  Grid2D<Float> flat;
  ASSERT_TRUE(flat.Init(9, 7, 10.0, 10.0).IsOk());
  for (Float& v : flat.cells)
    v = 4.25;
  flat.RecomputeMinMax();
  ASSERT_TRUE(NoiseErosion(flat, s).IsOk());
  for (const Float v : flat.cells)
    ASSERT_EQ(v, 4.25);

  // No valid range: nothing to normalise by, nothing done.
  Grid2D<Float> g = RandomGrid(9, 7, 3);
  g.ResetMinMax();
  const std::vector<Float> before = Cells(g);
  ASSERT_TRUE(NoiseErosion(g, s).IsOk());
  EXPECT_TRUE(SameCells(Cells(g), before));
  EXPECT_FALSE(g.minMaxValid);

  // No cells at all.
  Grid2D<Float> empty;
  ASSERT_TRUE(empty.Init(0, 4, 1.0, 1.0).IsOk());
  empty.minMaxValid = true;
  EXPECT_TRUE(NoiseErosion(empty, s).IsOk());
}

TEST(NoiseErosion, OneCellAxesSitAtTheStartOfTheAxis)
{
  const NoiseErosionSettings s = NoiseSettings(0.3, 0.9, 0.1, 0.6, 2.0, 0.3);
  for (const auto& [w, h] : std::vector<std::pair<Int, Int>>{{1, 9}, {9, 1}, {1, 1}})
  {
    Grid2D<Float> g = RandomGrid(w, h, static_cast<UInt32>(w + 10 * h));
    const std::vector<Float> want = ReferenceNoise(g, s);
    ASSERT_TRUE(NoiseErosion(g, s).IsOk());
    EXPECT_TRUE(SameCells(Cells(g), want)) << w << "x" << h;
    for (const Float v : g.cells)
      ASSERT_TRUE(std::isfinite(v)) << w << "x" << h;
  }
}

TEST(NoiseErosion, OneThreadAndAllThreadsAreBitIdentical)
{
  const Grid2D<Float> source = RandomGrid(150, 101, 21);   // above the 10000 cells of one thread
  const NoiseErosionSettings s = NoiseSettings(0.25, 0.5, 0.05, 0.4, 3.0, 0.3);
  std::vector<Float> serial;
  {
    SerialScope one;
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    ASSERT_TRUE(NoiseErosion(g, s).IsOk());
    serial = Cells(g);
  }
  Grid2D<Float> g;
  ASSERT_TRUE(g.CopyFrom(source).IsOk());
  ASSERT_TRUE(NoiseErosion(g, s).IsOk());
  EXPECT_TRUE(SameCells(Cells(g), serial));
  EXPECT_TRUE(SameCells(serial, ReferenceNoise(source, s)));
}

// ---------------------------------------------------------------------------------------------------
// Interior smoothing

TEST(SmoothGridInterior, ChangesOnlyTheInterior)
{
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(3, 3, 1.0, 1.0).IsOk());
  for (Int i = 0; i < 9; ++i)
    g.cells[i] = static_cast<Float>(1 << i);   // 1, 2, 4 / 8, 16, 32 / 64, 128, 256
  ASSERT_TRUE(SmoothGridInterior3x3(g).IsOk());
  const Float centre = (1.0 + 4.0 + 256.0 + 64.0) * 0.0625 + (8.0 + 2.0 + 32.0 + 128.0) * 0.125 + 16.0 * 0.25;
  for (Int i = 0; i < 9; ++i)
    EXPECT_EQ(g.cells[i], i == 4 ? centre : static_cast<Float>(1 << i)) << i;

  // Two columns or two rows have no interior.
  for (const auto& [w, h] : std::vector<std::pair<Int, Int>>{{2, 7}, {7, 2}, {1, 5}, {1, 1}})
  {
    Grid2D<Float> thin = RandomGrid(w, h, 9);
    const std::vector<Float> before = Cells(thin);
    ASSERT_TRUE(SmoothGridInterior3x3(thin).IsOk());
    EXPECT_TRUE(SameCells(Cells(thin), before)) << w << "x" << h;
  }

  // A larger grid, against the weights cell by cell, on one thread and on all.
  const Grid2D<Float> source = RandomGrid(130, 90, 4);
  std::vector<Float> want = Cells(source);
  for (Int y = 1; y < 89; ++y)
    for (Int x = 1; x < 129; ++x)
    {
      auto h = [&](Int dx, Int dy) { return source.cells[(y + dy) * 130 + x + dx]; };
      want[static_cast<std::size_t>(y * 130 + x)] = (h(-1, -1) + h(1, -1) + h(1, 1) + h(-1, 1)) * 0.0625 +
                                                    (h(-1, 0) + h(0, -1) + h(1, 0) + h(0, 1)) * 0.125 + h(0, 0) * 0.25;
    }
  for (const Bool serial : {true, false})
  {
    host::SetParallelEnabled(!serial);
    Grid2D<Float> g2;
    ASSERT_TRUE(g2.CopyFrom(source).IsOk());
    ASSERT_TRUE(SmoothGridInterior3x3(g2).IsOk());
    EXPECT_TRUE(SameCells(Cells(g2), want)) << serial;
  }
  host::SetParallelEnabled(true);

  Grid2D<Float> failing = RandomGrid(4, 4, 1);
  const std::vector<Float> before = Cells(failing);
  host::ScopedAllocationFailure fail(1);
  Result<void> res = SmoothGridInterior3x3(failing);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_TRUE(SameCells(Cells(failing), before));
}

// ---------------------------------------------------------------------------------------------------
// Droplet erosion

TEST(DropletErosion, OneDropletSpreadsWithBilinearWeights)
{
  // h = x: a steady slope along the columns. The droplet stands still at (1.25, 1.5).
  Grid2D<Float> g = Slope4x4(0.0);
  LcgRandom r;
  r.Init(5);
  ASSERT_TRUE(SimulateDroplet(g, 1.25, 1.5, r, StandingDroplet()).IsOk());
  // gX = (h(2.25) - h(0.25)) x -2 = -4, len = sqrt(16 + 16), up = 4 / len.
  const Float up = 4.0 * (1.0 / std::sqrt(32.0));
  const Float net = -(1.0 * (1.0 - up) * 1.0);
  const std::vector<Float> want = {0.0, 1.0, 2.0, 3.0,
                                   0.0, 1.0 + net * 0.75 * 0.5, 2.0 + net * 0.25 * 0.5, 3.0,
                                   0.0, 1.0 + net * 0.75 * 0.5, 2.0 + net * 0.25 * 0.5, 3.0,
                                   0.0, 1.0, 2.0, 3.0};
  EXPECT_TRUE(SameCells(Cells(g), want));
  // The jitter took two draws.
  LcgRandom twice;
  twice.Init(5);
  twice.Get01();
  twice.Get01();
  EXPECT_EQ(r.GetSeed(), twice.GetSeed());
}

TEST(DropletErosion, PastTheLeftOrUpperEdgeTheDropletSpreadsOntoTheClampedBorderCells)
{
  // h = x + y. The droplet stands still (no acceleration) left of the grid; the truncated column is
  // still before the last one, so the spread goes to the clamped columns with the bilinear weights of
  // the fraction px - trunc(px), which is negative there.
  struct Case
  {
    Float px;
    Float py;
    Int x0, x1, y0, y1;
  };
  const Case cases[] = {
    {-0.75, 1.5, 0, 1, 1, 2},    // trunc -0: columns 0 and 1, fraction -0.75
    {-3.5, 1.5, 0, 0, 1, 2},     // both columns clamp to 0
    {1.25, -2.25, 1, 2, 0, 0},   // above the grid: both rows clamp to 0
  };
  for (const Case& k : cases)
  {
    Grid2D<Float> g = Slope4x4(1.0);
    const Grid2D<Float> before = Slope4x4(1.0);
    LcgRandom r;
    r.Init(5);
    ASSERT_TRUE(SimulateDroplet(g, k.px, k.py, r, StandingDroplet()).IsOk());
    // The second step erodes (1 - up) x rate, up from the gradient sampled at the position.
    const auto h = [&](Float x, Float y) { return before.Sample(x, y, SAMPLEINTERPOLATION::BILINEAR); };
    const Float gX = (h(k.px + 1.0, k.py) - h(k.px - 1.0, k.py)) * -2.0;
    const Float gY = (h(k.px, k.py + 1.0) - h(k.px, k.py - 1.0)) * -2.0;
    const Float len = std::sqrt(16.0 + gX * gX + gY * gY);
    const Float up = 4.0 * (1.0 / len);
    ASSERT_LT(up, 1.0);
    const Float net = -(1.0 * (1.0 - up) * 1.0);
    const Float fx = k.px - std::trunc(k.px);
    const Float fy = k.py - std::trunc(k.py);
    std::vector<Float> want = Cells(before);
    want[static_cast<std::size_t>(k.y0 * 4 + k.x0)] += net * (1.0 - fx) * (1.0 - fy);
    want[static_cast<std::size_t>(k.y0 * 4 + k.x1)] += net * fx * (1.0 - fy);
    want[static_cast<std::size_t>(k.y1 * 4 + k.x0)] += net * (1.0 - fx) * fy;
    want[static_cast<std::size_t>(k.y1 * 4 + k.x1)] += net * fx * fy;
    EXPECT_TRUE(SameCells(Cells(g), want)) << k.px << ", " << k.py;
  }
  // At or past the last column nothing is spread.
  Grid2D<Float> g = Slope4x4(1.0);
  const std::vector<Float> unchanged = Cells(g);
  LcgRandom r;
  ASSERT_TRUE(SimulateDroplet(g, 3.0, 1.5, r, StandingDroplet()).IsOk());
  EXPECT_TRUE(SameCells(Cells(g), unchanged));
}

TEST(DropletErosion, RunsMatchTheDefinitionAndRepeat)
{
  const Grid2D<Float> source = RandomGrid(30, 22, 8, 0.0, 6.0);
  for (const Bool smooth : {false, true})
  {
    DropletSettings s = Droplets(77, 60);
    s.smooth = smooth;
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    ASSERT_TRUE(DropletErosion(g, s).IsOk());

    std::vector<Float> want = Cells(source);
    LcgRandom r;
    r.Init(77);
    for (Int d = 0; d < 60; ++d)
    {
      const Float y = r.Get01() * 22.0;
      const Float x = r.Get01() * 30.0;
      ReferenceDroplet(want, 30, 22, x, y, r, s);
    }
    if (smooth)
    {
      Grid2D<Float> w;
      ASSERT_TRUE(w.Init(30, 22, 1.0, 1.0).IsOk());
      for (Int i = 0; i < w.cellCount; ++i)
        w.cells[i] = want[static_cast<std::size_t>(i)];
      ASSERT_TRUE(SmoothGridInterior3x3(w).IsOk());
      want = Cells(w);
    }
    EXPECT_TRUE(SameCells(Cells(g), want)) << smooth;
    EXPECT_FALSE(SameCells(Cells(g), Cells(source))) << smooth;

    Grid2D<Float> again;
    ASSERT_TRUE(again.CopyFrom(source).IsOk());
    ASSERT_TRUE(DropletErosion(again, s).IsOk());
    EXPECT_TRUE(SameCells(Cells(again), Cells(g)));
    s.seed = 78;
    ASSERT_TRUE(again.CopyFrom(source).IsOk());
    ASSERT_TRUE(DropletErosion(again, s).IsOk());
    EXPECT_FALSE(SameCells(Cells(again), Cells(g)));
  }
}

TEST(DropletErosion, FlatGroundEndsEveryDropletAndStatusCountsThem)
{
  host::ResetLogs();
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(8, 6, 1.0, 1.0).IsOk());
  for (Float& v : g.cells)
    v = 2.0;
  ASSERT_TRUE(DropletErosion(g, Droplets(3, 4)).IsOk());
  for (const Float v : g.cells)
    ASSERT_EQ(v, 2.0);
  const std::vector<host::StatusEvent> events = host::GetStatusHistory();
  ASSERT_EQ(events.size(), 8u);
  for (int d = 0; d < 4; ++d)
  {
    EXPECT_EQ(events[2 * d].text, String("Calculating Droplet Erosion: Droplet " + std::to_string(d) + " of 4..."));
    EXPECT_EQ(events[2 * d + 1].percent, d * 25);
  }
  host::ResetLogs();
}

TEST(DropletErosion, HostileGridsStayInside)
{
  // Tiny, narrow and NaN-holding grids: the droplets sample and spread only inside (the sanitizer
  // builds check the accesses), and a NaN position deposits nothing.
  for (const auto& [w, h] : std::vector<std::pair<Int, Int>>{{1, 1}, {1, 9}, {9, 1}, {2, 2}, {0, 3}})
  {
    Grid2D<Float> g = RandomGrid(w, h, 3);
    EXPECT_TRUE(DropletErosion(g, Droplets(1, 20)).IsOk()) << w << "x" << h;
  }
  Grid2D<Float> g = RandomGrid(12, 10, 3);
  g.cells[55] = std::numeric_limits<Float>::quiet_NaN();
  g.cells[3] = std::numeric_limits<Float>::infinity();
  EXPECT_TRUE(DropletErosion(g, Droplets(2, 200)).IsOk());
}

TEST(DropletErosion, ASmoothingErrorIsPrintedAndReturned)
{
  host::ResetLogs();
  Grid2D<Float> g = RandomGrid(6, 6, 3);
  DropletSettings s = Droplets(1, 0);
  s.smooth = true;
  host::ScopedAllocationFailure fail(1);
  Result<void> res = DropletErosion(g, s);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_EQ(host::Console().GetLast(), res.GetError().GetText());
  host::ResetLogs();
}
