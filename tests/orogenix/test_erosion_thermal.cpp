#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/random.h"
#include "host/core/thread.h"
#include "host/core/url.h"
#include "host/scene/resource.h"
#include "orogenix/erosion_thermal.h"
#include "support/grid_cells.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
// ---------------------------------------------------------------------------------------------------
// Thermal weathering written out from its definition: a serial scatter over the cells in index order
// into a copy of the heights, then the optional smoothing. The module gathers instead; both apply the
// additions to a cell in the same order, so the results must be bit-identical.

struct Nb
{
  Int dx;
  Int dy;
};
const std::vector<Nb> FOUR = {{0, -1}, {1, 0}, {0, 1}, {-1, 0}};
const std::vector<Nb> EIGHT = {{0, -1}, {1, -1}, {-1, -1}, {0, 1}, {1, 1}, {-1, 1}, {-1, 0}, {1, 0}};

std::vector<Float> ReferenceThermal(std::vector<Float> h, Int w, Int ht, const ThermalSettings& s)
{
  const bool distributed = s.mode == 3 || s.mode == 4;
  const std::vector<Nb>& nbs = (s.mode == 1 || s.mode == 3) ? EIGHT : FOUR;
  for (Int it = 0; it < s.iterations; ++it)
  {
    std::vector<Float> t = h;
    for (Int c = 0; c < w * ht; ++c)
    {
      const Int x = c % w;
      const Int y = c / w;
      std::vector<Int> inside;
      for (const Nb& n : nbs)
        if (x + n.dx >= 0 && x + n.dx < w && y + n.dy >= 0 && y + n.dy < ht)
          inside.push_back((y + n.dy) * w + x + n.dx);
      if (distributed)
      {
        Float sum = 0.0, dmax = 0.0;
        std::vector<std::pair<Int, Float>> chosen;
        for (const Int n : inside)
        {
          const Float d = h[c] - h[n];
          if (d > s.talus)
          {
            sum += d;
            dmax = std::max(dmax, d);
            chosen.push_back({n, d});
          }
        }
        const Float inv = sum == 0.0 ? 0.0 : 1.0 / sum;
        for (const auto& [n, d] : chosen)
        {
          const Float a = (dmax - s.talus) * d * inv;
          t[c] -= a * s.removal;
          t[n] += a * s.deposit;
        }
      }
      else
      {
        if (inside.empty())
          continue;
        Int lowest = inside[0];
        for (const Int n : inside)
          if (h[n] < h[lowest])
            lowest = n;
        const Float d = h[c] - h[lowest];
        if (d > s.talus)
        {
          const Float a = d * s.removal;
          t[c] -= a;
          t[lowest] += a * s.deposit;
        }
      }
    }
    if (distributed && s.smooth)
    {
      std::vector<Float> sm(t.size());
      auto at = [&](Int x, Int y) {
        return t[std::clamp<Int>(y, 0, ht - 1) * w + std::clamp<Int>(x, 0, w - 1)];
      };
      for (Int y = 0; y < ht; ++y)
        for (Int x = 0; x < w; ++x)
          sm[y * w + x] = (at(x - 1, y) + at(x, y) + at(x + 1, y) + at(x, y + 1) + at(x, y - 1)) * 0.2;
      t = sm;
    }
    h = t;
  }
  return h;
}

// A rough field: random heights in [0, scale) with a few repeated values, so ties occur.
Grid2D<Float> RandomGrid(Int w, Int h, UInt32 seed, Float scale = 10.0)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, 20.0, 15.0).IsOk());
  LcgRandom rng;
  rng.Init(seed);
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = std::floor(rng.Get01() * scale * 4.0) * 0.25;
  return g;
}

ThermalSettings Settings(Int32 mode, Int32 iterations = 1, Float talus = 0.1, Bool smooth = false)
{
  ThermalSettings s;
  s.iterations = iterations;
  s.removal = 0.8;
  s.talus = talus;
  s.deposit = 0.2;
  s.mode = mode;
  s.smooth = smooth;
  return s;
}

// Resource string 10083 comes from the module's resources.
class ThermalTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
    host::ResetLogs();
  }
  void TearDown() override
  {
    FreeResource();
    host::SetModuleDirectory(Url());
    host::ResetLogs();
  }
};
} // namespace

TEST_F(ThermalTest, EveryModeMatchesTheSerialScatter)
{
  struct Shape
  {
    Int w;
    Int h;
  };
  const Shape shapes[] = {{1, 1}, {1, 6}, {7, 1}, {2, 2}, {5, 3}, {17, 11}};
  for (const Shape& shape : shapes)
    for (const Int32 mode : {-1, 0, 1, 2, 3, 4, 5, 7})
      for (const Bool smooth : {false, true})
        for (const Float talus : {0.0, 0.6, -0.3})
        {
          Grid2D<Float> g = RandomGrid(shape.w, shape.h, static_cast<UInt32>(shape.w * 31 + shape.h));
          const ThermalSettings s = Settings(mode, 3, talus, smooth);
          const std::vector<Float> want = ReferenceThermal(Cells(g), shape.w, shape.h, s);
          ASSERT_TRUE(ThermalWeathering(g, s, nullptr).IsOk());
          ASSERT_TRUE(SameCells(Cells(g), want))
            << shape.w << "x" << shape.h << " mode " << mode << " smooth " << smooth << " talus " << talus;
        }
}

TEST_F(ThermalTest, HandComputedTwoByTwo)
{
  // 4 0 / 0 0, talus 0, removal 0.5, deposit 0.25.
  struct Case
  {
    const char* name;
    Int32 mode;
    std::vector<Float> want;
  };
  const Float third = (4.0 - 0.0) * 4.0 * (1.0 / 12.0);   // each of three neighbours: a = 4 x 4 / 12
  const Case cases[] = {
    // Right and down are equally low: right comes first among the four.
    {"steepest of 4: the tie goes to the right", 0, {2.0, 0.5, 0.0, 0.0}},
    // Among the eight, down comes before down-right and right.
    {"steepest of 8: the tie goes down", 1, {2.0, 0.0, 0.5, 0.0}},
    {"distributed over 8", 3, {4.0 - third * 0.5 - third * 0.5 - third * 0.5, third * 0.25, third * 0.25, third * 0.25}},
    // Right and down only: a = 4 x 4 / 8 = 2 each.
    {"distributed over 4", 4, {4.0 - 1.0 - 1.0, 0.5, 0.5, 0.0}},
  };
  for (const Case& c : cases)
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.Init(2, 2, 1.0, 1.0).IsOk());
    g.cells[0] = 4.0;
    ThermalSettings s = Settings(c.mode, 1, 0.0);
    s.removal = 0.5;
    s.deposit = 0.25;
    ASSERT_TRUE(ThermalWeathering(g, s, nullptr).IsOk());
    EXPECT_TRUE(SameCells(Cells(g), c.want)) << c.name;
  }
}

TEST_F(ThermalTest, NothingMovesWhereNoDifferenceExceedsTheTalus)
{
  Grid2D<Float> g = RandomGrid(9, 7, 5, 2.0);   // heights 0 to 1.75: differences of at most 1.75
  const std::vector<Float> before = Cells(g);
  for (const Int32 mode : {0, 1, 2, 3, 4, 9})
    for (const Float talus : {1.75, 5.0})
    {
      ASSERT_TRUE(ThermalWeathering(g, Settings(mode, 4, talus, false), nullptr).IsOk());
      EXPECT_TRUE(SameCells(Cells(g), before)) << mode << " " << talus;
    }
  // The steepest modes ignore the smoothing; the distributed ones smooth whatever moved.
  for (const Int32 mode : {0, 1, 2})
  {
    ASSERT_TRUE(ThermalWeathering(g, Settings(mode, 2, 5.0, true), nullptr).IsOk());
    EXPECT_TRUE(SameCells(Cells(g), before)) << mode;
  }
  ASSERT_TRUE(ThermalWeathering(g, Settings(3, 1, 5.0, true), nullptr).IsOk());
  EXPECT_FALSE(SameCells(Cells(g), before));

  // One cell has no neighbour to give to.
  Grid2D<Float> one;
  ASSERT_TRUE(one.Init(1, 1, 1.0, 1.0).IsOk());
  one.cells[0] = 3.5;
  for (const Int32 mode : {0, 1, 2, 3, 4})
  {
    ASSERT_TRUE(ThermalWeathering(one, Settings(mode, 3, -10.0, true), nullptr).IsOk());
    EXPECT_EQ(one.cells[0], 3.5) << mode;
  }
}

TEST_F(ThermalTest, ModesTwoSevenAndNegativeAreModeZero)
{
  const Grid2D<Float> source = RandomGrid(23, 19, 77);
  auto run = [&](Int32 mode, Bool smooth) {
    Grid2D<Float> g;
    EXPECT_TRUE(g.CopyFrom(source).IsOk());
    EXPECT_TRUE(ThermalWeathering(g, Settings(mode, 4, 0.2, smooth), nullptr).IsOk());
    return Cells(g);
  };
  const std::vector<Float> zero = run(0, false);
  EXPECT_FALSE(SameCells(zero, Cells(source)));
  for (const Int32 mode : {2, 7, -4, 100})
    for (const Bool smooth : {false, true})
      EXPECT_TRUE(SameCells(run(mode, smooth), zero)) << mode << " " << smooth;
}

TEST_F(ThermalTest, OneThreadAndAllThreadsAreBitIdentical)
{
  // Large enough for every row loop to spread over the pool; sharp features so that many cells give to
  // the same neighbour.
  const Grid2D<Float> source = RandomGrid(301, 257, 4242, 40.0);
  for (const Int32 mode : {0, 1, 3, 4})
  {
    std::vector<Float> serial;
    {
      SerialScope one;
      Grid2D<Float> g;
      ASSERT_TRUE(g.CopyFrom(source).IsOk());
      ASSERT_TRUE(ThermalWeathering(g, Settings(mode, 3, 0.1, true), nullptr).IsOk());
      serial = Cells(g);
    }
    for (int run = 0; run < 3; ++run)
    {
      Grid2D<Float> g;
      ASSERT_TRUE(g.CopyFrom(source).IsOk());
      ASSERT_TRUE(ThermalWeathering(g, Settings(mode, 3, 0.1, true), nullptr).IsOk());
      ASSERT_TRUE(SameCells(Cells(g), serial)) << mode << " run " << run;
    }
  }
}

TEST_F(ThermalTest, HeaderIsLeftAsItWas)
{
  Grid2D<Float> g = RandomGrid(12, 9, 3);
  g.RecomputeMinMax();
  const Float lo = g.min;
  const Float hi = g.max;
  ASSERT_TRUE(ThermalWeathering(g, Settings(3, 5, 0.0, true), nullptr).IsOk());
  EXPECT_EQ(g.width, 12);
  EXPECT_EQ(g.height, 9);
  EXPECT_EQ(g.cellCount, 108);
  EXPECT_EQ(g.sizeX, 20.0);
  EXPECT_EQ(g.sizeY, 15.0);
  EXPECT_TRUE(g.minMaxValid);
  EXPECT_EQ(g.min, lo);
  EXPECT_EQ(g.max, hi);
  // Removal 0.8 and deposit 0.2: material is lost, the total falls.
  Float before = 0.0, after = 0.0;
  const Grid2D<Float> fresh = RandomGrid(12, 9, 3);
  for (Int i = 0; i < 108; ++i)
  {
    before += fresh.cells[i];
    after += g.cells[i];
  }
  EXPECT_LT(after, before);
}

TEST_F(ThermalTest, IterationsZeroFailAndNegativeDoNothing)
{
  Grid2D<Float> g = RandomGrid(6, 5, 8);
  const std::vector<Float> before = Cells(g);
  Result<void> res = ThermalWeathering(g, Settings(0, 0), nullptr);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
  EXPECT_EQ(res.GetError().GetMessage(), String("Intensity and iterations must not be 0!"));
  EXPECT_TRUE(SameCells(Cells(g), before));

  ASSERT_TRUE(ThermalWeathering(g, Settings(0, -3), nullptr).IsOk());
  EXPECT_TRUE(SameCells(Cells(g), before));
  EXPECT_TRUE(host::GetStatusHistory().empty());
}

TEST_F(ThermalTest, StatusShowsEachIterationAndItsProgress)
{
  Grid2D<Float> g = RandomGrid(6, 5, 8);
  ASSERT_TRUE(ThermalWeathering(g, Settings(1, 3), nullptr).IsOk());
  const std::vector<host::StatusEvent> events = host::GetStatusHistory();
  ASSERT_EQ(events.size(), 6u);
  const int percent[] = {0, 33, 66};
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(events[2 * i].kind, host::StatusEvent::KIND::TEXT);
    EXPECT_EQ(events[2 * i].text, String("Thermal erosion: iteration " + std::to_string(i) + " of 3"));
    EXPECT_EQ(events[2 * i + 1].kind, host::StatusEvent::KIND::BAR);
    EXPECT_EQ(events[2 * i + 1].percent, percent[i]);
  }
}

TEST_F(ThermalTest, BreakIsLookedForBeforeIterationsWhoseBitTwoIsSet)
{
  const Grid2D<Float> source = RandomGrid(15, 12, 99);
  HostThread thread;

  // Without a break: iterations 2, 3, 6 and 7 of 8 ask.
  Grid2D<Float> g;
  ASSERT_TRUE(g.CopyFrom(source).IsOk());
  ASSERT_TRUE(ThermalWeathering(g, Settings(3, 8, 0.1, true), &thread).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 4);

  // With the break set: one iteration never asks and completes.
  thread.SetBreak(true);
  thread.ResetTestCount();
  ASSERT_TRUE(g.CopyFrom(source).IsOk());
  ASSERT_TRUE(ThermalWeathering(g, Settings(3, 1, 0.1, true), &thread).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 0);
  EXPECT_TRUE(SameCells(Cells(g), ReferenceThermal(Cells(source), 15, 12, Settings(3, 1, 0.1, true))));

  // Three iterations stop before the third, keeping the two done.
  ASSERT_TRUE(g.CopyFrom(source).IsOk());
  Result<void> res = ThermalWeathering(g, Settings(3, 3, 0.1, true), &thread);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(res.GetError().GetMessage(), String("Thermal Weathering cancelled!"));
  EXPECT_EQ(thread.GetTestCount(), 1);
  EXPECT_TRUE(SameCells(Cells(g), ReferenceThermal(Cells(source), 15, 12, Settings(3, 2, 0.1, true))));
}

TEST_F(ThermalTest, AllocationFailures)
{
  const Grid2D<Float> source = RandomGrid(10, 8, 1);
  const ThermalSettings smooth = Settings(3, 1, 0.1, true);

  // The first allocation (the target) fails the run, the grid untouched.
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    Result<void> res;
    {
      host::ScopedAllocationFailure fail(1);
      res = ThermalWeathering(g, smooth, nullptr);
    }
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    EXPECT_TRUE(SameCells(Cells(g), Cells(source)));
  }
  // The smoothing needs no storage of its own: every later allocation may fail and the run still smooths.
  Int transferAllocations = 0;
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    const Int before = host::GetAllocationCount();
    ASSERT_TRUE(ThermalWeathering(g, smooth, nullptr).IsOk());
    transferAllocations = host::GetAllocationCount() - before;
  }
  Grid2D<Float> g;
  ASSERT_TRUE(g.CopyFrom(source).IsOk());
  {
    host::ScopedAllocationFailure fail(transferAllocations + 1);
    ASSERT_TRUE(ThermalWeathering(g, smooth, nullptr).IsOk());
  }
  EXPECT_TRUE(SameCells(Cells(g), ReferenceThermal(Cells(source), 10, 8, smooth)));
  // Each of the transfer's own allocations fails the run.
  for (Int n = 1; n <= transferAllocations; ++n)
  {
    Grid2D<Float> h;
    ASSERT_TRUE(h.CopyFrom(source).IsOk());
    host::ScopedAllocationFailure fail(n);
    Result<void> res = ThermalWeathering(h, smooth, nullptr);
    ASSERT_TRUE(res.IsError()) << n;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << n;
  }
}

TEST(ThermalSmoothing, FivePointMeanWithClampedNeighbours)
{
  Grid2D<Float> t;
  ASSERT_TRUE(t.Init(3, 2, 1.0, 1.0).IsOk());
  const Float v[] = {1.0, 2.0, 4.0, 8.0, 16.0, 32.0};
  for (Int i = 0; i < 6; ++i)
    t.cells[i] = v[i];
  Grid2D<Float> out;
  ASSERT_TRUE(out.InitLike(t).IsOk());
  ASSERT_TRUE(SmoothHeightsFivePoint(t, out).IsOk());
  // Cell (0, 0): left clamps to itself, up clamps to itself.
  EXPECT_EQ(out.cells[0], (1.0 + 1.0 + 2.0 + 8.0 + 1.0) * 0.2);
  EXPECT_EQ(out.cells[1], (1.0 + 2.0 + 4.0 + 16.0 + 2.0) * 0.2);
  EXPECT_EQ(out.cells[5], (16.0 + 32.0 + 32.0 + 32.0 + 4.0) * 0.2);
  Grid2D<Float> wrong;
  ASSERT_TRUE(wrong.Init(2, 3, 1.0, 1.0).IsOk());
  EXPECT_TRUE(SmoothHeightsFivePoint(t, wrong).IsError());
  // Neither pass may work in place: it reads the whole grid while writing.
  EXPECT_TRUE(SmoothHeightsFivePoint(t, t).IsError());
  ThermalOutflow outflow;
  EXPECT_TRUE(ThermalTransferA(t, t, ThermalSettings{}, true, outflow).IsError());
  EXPECT_TRUE(ThermalTransferB(t, t, ThermalSettings{}, false, outflow).IsError());
  EXPECT_EQ(t.cells[5], 32.0);
}
