#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/random.h"
#include "orogenix/erosion_hydraulic.h"
#include "support/grid_cells.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
constexpr Float DT = 16.666666666666668;
constexpr Float RATE = 0.16666666666666669;

// ---------------------------------------------------------------------------------------------------
// One step written out from its definition, serially, on plain arrays. Neighbours that do not exist
// count 0 in the flux passes and are clamped elsewhere; the erosion pass reads a copy of the heights
// taken before it.

struct Sim
{
  Int w = 0;
  Int h = 0;
  std::vector<Float> height, water, sediment, vx, vy, left, right, down, up;

  Sim(const std::vector<Float>& heights, Int width, Int rows) : w(width), h(rows), height(heights)
  {
    for (std::vector<Float>* g : {&water, &sediment, &vx, &vy, &left, &right, &down, &up})
      g->assign(heights.size(), 0.0);
  }
  Int I(Int x, Int y) const { return y * w + x; }
  Int CX(Int x) const { return std::clamp<Int>(x, 0, w - 1); }
  Int CY(Int y) const { return std::clamp<Int>(y, 0, h - 1); }

  void Step(Float dt, Bool rain, Bool source, Int cx, Int cy, Int radius, Float rate)
  {
    if (rain)
    {
      LcgRandom r;
      r.Init(123);
      for (int k = 0; k < 1000; ++k)
      {
        const Int x = static_cast<Int>(r.Get01() * (w - 2.0)) + 1;
        const Int y = static_cast<Int>(r.Get01() * (h - 2.0)) + 1;
        for (Int yy = y - 1; yy <= y + 1; ++yy)
          for (Int xx = x - 1; xx <= x + 1; ++xx)
            if (xx >= 0 && xx < w && yy >= 0 && yy < h)
              water[I(xx, yy)] += 0.0625;
      }
    }
    if (source)
      for (Int dy = -radius; dy <= radius; ++dy)
        for (Int dx = -radius; dx <= radius; ++dx)
          if (cx + dx >= 0 && cx + dx < w && cy + dy >= 0 && cy + dy < h && dx * dx + dy * dy <= radius * radius)
            water[I(cx + dx, cy + dy)] += static_cast<Float>(radius * radius - dx * dx - dy * dy) * (dt * rate);

    const Float k = dt * 5e-5 * 9.81;
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Int i = I(x, y);
        const Float t = height[i] + water[i];
        auto f = [&](Float flux, Int nx, Int ny) {
          return std::max(0.0, flux + k * (t - (height[I(nx, ny)] + water[I(nx, ny)])));
        };
        left[i] = x > 0 ? f(left[i], x - 1, y) : 0.0;
        right[i] = x < w - 1 ? f(right[i], x + 1, y) : 0.0;
        up[i] = y > 0 ? f(up[i], x, y - 1) : 0.0;
        down[i] = y < h - 1 ? f(down[i], x, y + 1) : 0.0;
        const Float sum = right[i] + left[i] + up[i] + down[i];
        if (sum != 0.0)
        {
          const Float K = std::min(1.0, water[i] * 1.0 * 1.0 / (sum * dt));
          left[i] *= K;
          right[i] *= K;
          up[i] *= K;
          down[i] *= K;
        }
      }

    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Int i = I(x, y);
        const Float rl = x > 0 ? right[I(x - 1, y)] : 0.0;
        const Float lr = x < w - 1 ? left[I(x + 1, y)] : 0.0;
        const Float du = y > 0 ? down[I(x, y - 1)] : 0.0;
        const Float ud = y < h - 1 ? up[I(x, y + 1)] : 0.0;
        const Float inflow = rl + lr + du + ud;
        const Float outflow = right[i] + left[i] + down[i] + up[i];
        const Float old = water[i];
        water[i] = std::max(0.0, old + (inflow - outflow) * dt / (1.0 * 1.0));
        const Float mean = (old + water[i]) * 0.5;
        vx[i] = mean == 0.0 ? 0.0 : (rl - left[i] - lr + right[i]) * 0.5 / (mean * 1.0);
        vy[i] = mean == 0.0 ? 0.0 : (du - up[i] - ud + down[i]) * 0.5 / (mean * 1.0);
      }

    const std::vector<Float> before = height;
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Int i = I(x, y);
        const Float dX = before[I(CX(x + 1), y)] - before[I(CX(x - 1), y)];
        const Float dY = before[I(x, CY(y + 1))] - before[I(x, CY(y - 1))];
        const Float len = std::sqrt(dX * dX + dY * dY + 4.0);
        const Float c = dX / len * 0.0 + dY / len * 0.0 + 2.0 / len * 1.0;
        const Float tilt = c >= 1.0 ? 0.0 : (c <= -1.0 ? std::numbers::pi : std::acos(c));
        const Float s = std::max(0.1, std::sin(tilt));
        const Float speed = std::sqrt(vy[i] * vy[i] + vx[i] * vx[i]);
        const Float capacity = speed * 25.0 * s * (std::min(water[i], 0.01) / 0.01);
        const Float diff = capacity - sediment[i];
        if (diff != 0.0)
        {
          const Float a = diff * 0.012;
          height[i] -= a;
          water[i] += a;
          sediment[i] += a;
        }
      }

    std::vector<Float> moved(sediment.size());
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Int i = I(x, y);
        const Float sx = x - dt * vx[i];
        const Float sy = y - dt * vy[i];
        const Float fx0 = std::floor(sx), fy0 = std::floor(sy);
        const Float fx = sx - fx0, fy = sy - fy0;
        auto at = [&](Float px, Float py) {
          return sediment[I(CX(static_cast<Int>(std::clamp(px, 0.0, w - 1.0))),
                            CY(static_cast<Int>(std::clamp(py, 0.0, h - 1.0))))];
        };
        const Float top = at(fx0, fy0) + (at(fx0 + 1.0, fy0) - at(fx0, fy0)) * fx;
        const Float bottom = at(fx0, fy0 + 1.0) + (at(fx0 + 1.0, fy0 + 1.0) - at(fx0, fy0 + 1.0)) * fx;
        moved[i] = top + (bottom - top) * fy;
      }
    sediment = moved;

    for (Float& v : water)
    {
      v = std::max(0.0, (1.0 - 5.5e-5 * dt) * v);
      if (v < 0.005)
        v = 0.0;
    }

    std::vector<Float> smoothed = height;
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Float c = height[I(x, y)];
        const Float l = height[I(CX(x - 1), y)], r = height[I(CX(x + 1), y)];
        const Float u = height[I(x, CY(y - 1))], d = height[I(x, CY(y + 1))];
        if (((std::abs(c - l) > 0.2 || std::abs(c - r) > 0.2) && (c - r) * (c - l) > 0.0) ||
            ((std::abs(c - d) > 0.2 || std::abs(c - u) > 0.2) && (c - u) * (c - d) > 0.0))
          smoothed[I(x, y)] = ((((l + c) + r) + d) + u) / 5.0;
      }
    height = smoothed;
  }
};

Grid2D<Float> Terrain(Int w, Int h, UInt32 seed)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, 100.0, 80.0).IsOk());
  LcgRandom r;
  r.Init(seed);
  // A tilted bowl with noise: water gathers, runs and carves.
  for (Int y = 0; y < h; ++y)
    for (Int x = 0; x < w; ++x)
    {
      const Float dx = x - w * 0.4, dy = y - h * 0.6;
      g.cells[y * w + x] = 0.02 * (dx * dx + dy * dy) + 0.3 * x + r.Get01() * 2.0;
    }
  return g;
}

// A set and an initialised state over a copy of source.
struct Simulation
{
  HydraulicGridSet set;
  HydraulicErosionState state{set};

  explicit Simulation(const Grid2D<Float>& source)
  {
    EXPECT_TRUE(InitHydraulicGrids(set, source).IsOk());
    EXPECT_TRUE(state.Init().IsOk());
  }
};
} // namespace

TEST(HydraulicErosion, StepsMatchTheSerialDefinition)
{
  struct Case
  {
    Int w;
    Int h;
    Int steps;
  };
  // Narrow and tiny grids too: rain blocks partly outside, a source larger than the grid.
  const Case cases[] = {{40, 33, 4}, {9, 70, 2}, {1, 1, 2}, {1, 7, 2}, {7, 1, 2}, {2, 2, 3}, {2, 9, 2}};
  for (const Case& c : cases)
  {
    const Grid2D<Float> source = Terrain(c.w, c.h, static_cast<UInt32>(c.w * 100 + c.h));
    Simulation run(source);
    Sim sim(Cells(source), c.w, c.h);
    const Int centre[2] = {c.w / 2, c.h / 2};
    for (Int s = 0; s < c.steps; ++s)
    {
      HydraulicErosionStep(run.state, DT, 1000000, true, centre, 30, RATE);
      sim.Step(DT, true, true, c.w / 2, c.h / 2, 30, RATE);
      ASSERT_TRUE(SameCells(Cells(run.set.heights), sim.height)) << c.w << "x" << c.h << " step " << s;
      ASSERT_TRUE(SameCells(Cells(run.set.water), sim.water)) << c.w << "x" << c.h << " step " << s;
      ASSERT_TRUE(SameCells(Cells(run.set.sediment), sim.sediment)) << c.w << "x" << c.h << " step " << s;
    }
    // The run did something (a single cell has no slope and no flow).
    if (c.w * c.h > 1)
    {
      EXPECT_FALSE(SameCells(Cells(run.set.heights), Cells(source))) << c.w << "x" << c.h;
    }
  }
}

TEST(HydraulicErosion, RunsAreDeterministicAndIndependentOfTheThreadCount)
{
  const Grid2D<Float> source = Terrain(180, 150, 7);
  std::vector<Float> serial;
  {
    SerialScope one;
    Simulation run(source);
    HydraulicErosion(run.state, 3);
    serial = Cells(run.set.heights);
  }
  for (int k = 0; k < 2; ++k)
  {
    Simulation run(source);
    HydraulicErosion(run.state, 3);
    EXPECT_TRUE(SameCells(Cells(run.set.heights), serial)) << k;
  }
  EXPECT_FALSE(SameCells(serial, Cells(source)));
}

TEST(HydraulicErosion, IterationsZeroOrNegativeChangeNothing)
{
  Grid2D<Float> source = Terrain(12, 10, 3);
  source.RecomputeMinMax();
  for (const Int n : {0, -2})
  {
    host::ResetLogs();
    Simulation run(source);
    HydraulicErosion(run.state, n);
    EXPECT_TRUE(SameCells(Cells(run.set.heights), Cells(source)));
    EXPECT_TRUE(run.set.heights.minMaxValid);
    EXPECT_TRUE(host::GetStatusHistory().empty());
  }
}

TEST(HydraulicErosion, StatusCountsTheIterations)
{
  host::ResetLogs();
  Simulation run(Terrain(8, 8, 1));
  HydraulicErosion(run.state, 4);
  const std::vector<host::StatusEvent> events = host::GetStatusHistory();
  ASSERT_EQ(events.size(), 8u);
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_EQ(events[2 * i].text, String("Calculating Hydraulic Erosion iteration " + std::to_string(i) + " of 4..."));
    EXPECT_EQ(events[2 * i + 1].percent, i * 25);
  }
  host::ResetLogs();
}

TEST(HydraulicErosion, AStepLeavesTheScratchHeaderOnTheHeights)
{
  Grid2D<Float> source = Terrain(10, 6, 2);
  source.RecomputeMinMax();
  Simulation run(source);
  ASSERT_TRUE(run.set.heights.minMaxValid);
  const Int centre[2] = {5, 3};
  HydraulicErosionStep(run.state, DT, 0, false, centre, 30, RATE);
  const Grid2D<Float>& h = run.set.heights;
  EXPECT_EQ(h.width, 10);
  EXPECT_EQ(h.height, 6);
  EXPECT_EQ(h.cellCount, 60);
  EXPECT_EQ(h.sizeX, 100.0);
  EXPECT_EQ(h.sizeY, 80.0);
  EXPECT_EQ(h.min, 1.7976931348623157e308);
  EXPECT_EQ(h.max, -1.7976931348623157e308);
  EXPECT_FALSE(h.minMaxValid);
  // The storage was exchanged, not reallocated: the scratch grid still has a full set of cells.
  EXPECT_EQ(run.state.scratch.cells.GetCount(), 60);
}

TEST(HydraulicErosion, DryGroundStaysDryAndFinite)
{
  // A slope without any water: no flux (the scaling is skipped), no velocity, no erosion.
  Grid2D<Float> source;
  ASSERT_TRUE(source.Init(6, 5, 10.0, 10.0).IsOk());
  for (Int i = 0; i < 30; ++i)
    source.cells[i] = 0.1 * static_cast<Float>(i % 6);
  Simulation run(source);
  const Int centre[2] = {3, 2};
  for (int s = 0; s < 3; ++s)
    HydraulicErosionStep(run.state, DT, 0, false, centre, 30, RATE);
  for (const Grid2D<Float>* g : {&run.set.water, &run.set.sediment, &run.state.velocityX, &run.state.velocityY,
                                 &run.state.fluxLeft, &run.state.fluxRight, &run.state.fluxUp, &run.state.fluxDown})
    for (const Float v : g->cells)
      ASSERT_EQ(v, 0.0);
  EXPECT_TRUE(SameCells(Cells(run.set.heights), Cells(source)));
}

TEST(HydraulicErosion, SourceFillsADiscOfRadiusThirty)
{
  Grid2D<Float> source;
  ASSERT_TRUE(source.Init(81, 71, 10.0, 10.0).IsOk());
  Simulation run(source);
  const Int centre[2] = {40, 35};
  const Float amount = DT * RATE;
  AddWaterSource(run.state, centre, 30, amount);
  const Grid2D<Float>& w = run.set.water;
  EXPECT_EQ(w.cells[35 * 81 + 40], 900.0 * amount);
  EXPECT_NEAR(w.cells[35 * 81 + 40], 2500.0, 1e-9);
  for (Int y = 0; y < 71; ++y)
    for (Int x = 0; x < 81; ++x)
    {
      const Int d2 = (x - 40) * (x - 40) + (y - 35) * (y - 35);
      const Float want = d2 < 900 ? static_cast<Float>(900 - d2) * amount : 0.0;
      ASSERT_EQ(w.cells[y * 81 + x], want) << x << "," << y;
    }
  // A centre near a corner clips the disc to the grid.
  Simulation corner(source);
  const Int near[2] = {1, 2};
  AddWaterSource(corner.state, near, 30, 1.0);
  EXPECT_EQ(corner.set.water.cells[0], 900.0 - 1.0 - 4.0);
}

TEST(HydraulicErosion, RainFallsOnTheSameBlocksEveryStep)
{
  const std::vector<std::pair<Int, Int>> shapes = {{20, 12}, {3, 3}, {2, 5}, {1, 1}, {5, 1}};
  for (const auto& [w, h] : shapes)
  {
    Grid2D<Float> source;
    ASSERT_TRUE(source.Init(w, h, 10.0, 10.0).IsOk());
    Simulation run(source);
    AddRain(run.state);
    // The block centres, from the generator's draws: the column first, never on the outer ring of a
    // grid of at least 3 by 3, so every block lies inside it.
    std::vector<Float> want(static_cast<std::size_t>(w * h), 0.0);
    LcgRandom r;
    r.Init(123);
    for (int k = 0; k < 1000; ++k)
    {
      const Int x = static_cast<Int>(r.Get01() * (w - 2.0)) + 1;
      const Int y = static_cast<Int>(r.Get01() * (h - 2.0)) + 1;
      if (w >= 3 && h >= 3)
      {
        ASSERT_TRUE(x >= 1 && x <= w - 2 && y >= 1 && y <= h - 2) << x << "," << y;
      }
      for (Int yy = y - 1; yy <= y + 1; ++yy)
        for (Int xx = x - 1; xx <= x + 1; ++xx)
          if (xx >= 0 && xx < w && yy >= 0 && yy < h)
            want[static_cast<std::size_t>(yy * w + xx)] += 0.0625;
    }
    EXPECT_TRUE(SameCells(Cells(run.set.water), want)) << w << "x" << h;
    AddRain(run.state);
    for (Float& v : want)
      v += v;
    EXPECT_TRUE(SameCells(Cells(run.set.water), want)) << w << "x" << h;
  }
}

TEST(HydraulicErosion, InitialisationErrors)
{
  // A grid without a size cannot be simulated.
  HydraulicGridSet set;
  Grid2D<Float> empty;
  Result<void> res = InitHydraulicGrids(set, empty);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(res.GetError().GetMessage(), String("Invalid grid initialization arguments!"));
  EXPECT_TRUE(std::string(res.GetError().GetLocation().file_name()).ends_with("grid2d.h"));

  const Grid2D<Float> source = Terrain(5, 4, 1);
  for (const Int n : {1, 2, 3})
  {
    HydraulicGridSet s;
    host::ScopedAllocationFailure fail(n);
    Result<void> r = InitHydraulicGrids(s, source);
    ASSERT_TRUE(r.IsError()) << n;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << n;
  }
  for (const Int n : {1, 4, 7})
  {
    HydraulicGridSet s;
    ASSERT_TRUE(InitHydraulicGrids(s, source).IsOk());
    HydraulicErosionState state(s);
    host::ScopedAllocationFailure fail(n);
    Result<void> r = state.Init();
    ASSERT_TRUE(r.IsError()) << n;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << n;
  }
  // A state that was never initialised runs no pass (its work grids have no cells).
  HydraulicGridSet s;
  ASSERT_TRUE(InitHydraulicGrids(s, source).IsOk());
  HydraulicErosionState state(s);
  HydraulicErosion(state, 2);
  EXPECT_TRUE(SameCells(Cells(s.heights), Cells(source)));
}
