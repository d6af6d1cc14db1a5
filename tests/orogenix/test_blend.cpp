#include <gtest/gtest.h>

#include "support/test_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "host/core/parallel.h"
#include "host/core/random.h"
#include "orogenix/blend.h"
#include "orogenix/grid2d.h"
#include "orogenix/ogx_simd.h"

namespace
{
constexpr Float kNaN = std::numeric_limits<Float>::quiet_NaN();


struct Params
{
  Int32 mode;
  Float opacity;
  Float scale;
  Float offset;
  Bool useMask;
  Float destMin;
  Float range;
  Float inverseRange;
};

// One cell as the formula table has it, written independently of the engine: L is the scaled and
// offset layer value, a the opacity (times the mask), X the mode's target, and the cell becomes
// d + (X - d) * a. DIVIDE by an L of exactly 0 and unknown modes keep d.
Float Reference(Float d, Float layer, Float mask, const Params& p)
{
  const Float L = layer * p.scale + p.offset;
  const Float a = p.useMask ? p.opacity * mask : p.opacity;
  Float X = 0.0;
  switch (p.mode)
  {
    case 0: X = L; break;
    case 1: X = d + L; break;
    case 2: X = d - L; break;
    case 3: X = d * L; break;
    case 4:
      if (L == 0.0)
        return d;
      X = d / L;
      break;
    case 5: X = std::min(d, L); break;
    case 6: X = std::max(d, L); break;
    case 7: X = std::abs(d - L); break;
    case 8: X = std::min(d, L) - std::max(d, L) + (d + L) / 2.0; break;
    case 9: X = std::max(d, L) - std::min(d, L) + (d + L) / 2.0; break;
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    {
      const Float n = (d - p.destMin) * p.inverseRange;
      Float r = 0.0;
      if (p.mode == 10)
      {
        if (n >= 0.5)
          r = 1.0 - 2.0 * (1.0 - L) * (1.0 - n);
        else
          r = 2.0 * n * L;
      }
      else if (p.mode == 11)
        r = 1.0 - std::abs(1.0 - n - L);
      else if (p.mode == 12)
        r = 1.0 - (1.0 - n) * (1.0 - L);
      else if (p.mode == 13)
      {
        if (L >= 0.5)
          r = 2.0 * L * std::sqrt(n) - std::sqrt(n) + 2.0 * n * (1.0 - L);
        else
          r = n * n + 2.0 * n * L - 2.0 * n * n * L;
      }
      else
      {
        if (L >= 0.5)
          r = 1.0 - 2.0 * (1.0 - L) * (1.0 - n);
        else
          r = 2.0 * n * L;
      }
      X = r * p.range + p.destMin;
      break;
    }
    default: return d;
  }
  return d + (X - d) * a;
}

BlendJob MakeJob(Float* dst, const Float* layer, const Float* mask, const Float* destMin, const Params& p)
{
  BlendJob job;
  job.destination = dst;
  job.layer = layer;
  job.mask = mask;
  job.destinationMin = destMin;
  job.range = p.range;
  job.inverseRange = p.inverseRange;
  job.mode = p.mode;
  job.opacity = p.opacity;
  job.layerScale = p.scale;
  job.layerOffset = p.offset;
  job.useMask = p.useMask;
  return job;
}

// Grids large enough to run on the pool in many blocks (and not a whole number of blocks), with the
// values where the formulas branch or divide planted among random ones.
struct Inputs
{
  Grid2D<Float> destination;
  Grid2D<Float> layer;
  Grid2D<Float> mask;
};

void MakeInputs(Inputs& in)
{
  constexpr Int w = 517, h = 263;
  ASSERT_TRUE(in.destination.Init(w, h, 1.0, 1.0).IsOk());
  ASSERT_TRUE(in.layer.Init(w, h, 1.0, 1.0).IsOk());
  ASSERT_TRUE(in.mask.Init(w, h, 1.0, 1.0).IsOk());
  LcgRandom rng;
  rng.Init(1234);
  for (Int i = 0; i < in.destination.cellCount; ++i)
  {
    // Heights in [0, 16]: a power-of-two range makes n = 0.5 exact for d = 8.
    in.destination.cells[i] = i % 89 == 0 ? 8.0 : rng.Get01() * 16.0;
    in.layer.cells[i] = i % 97 == 0 ? 0.0 : (i % 101 == 0 ? 0.5 : rng.Get11() * 1.5);
    in.mask.cells[i] = i % 7 == 0 ? 0.0 : (i % 11 == 0 ? 1.0 : rng.Get01());
  }
  in.destination.cells[0] = 0.0;
  in.destination.cells[1] = 16.0;
  in.destination.cells[5000] = kNaN;
  in.layer.cells[7000] = kNaN;
  in.destination.RecomputeMinMax();
}

const Params kParamSets[] = {
  // mode is filled in per run
  {0, 0.7, 1.5, -0.25, false, 0.0, 16.0, 1.0 / 16.0},
  {0, 1.0, 1.0, 0.0, true, 0.0, 16.0, 1.0 / 16.0},     // L exactly 0 and 0.5 where planted
  {0, 0.4, 1.0, 0.0, false, 3.0, 0.0, 0.0},            // a flat destination: range 0
  {0, 0.35, -2.0, 0.5, true, 4.0, 12.0, 1.0 / 12.0},   // minimum above some cells: n < 0 (NaN in SOFTLIGHT)
};
} // namespace

// Every mode, with and without mask, against the reference, cell for cell and bit for bit; the pool
// gives exactly what one thread gives, and the wide-vector loop exactly what the portable one gives.
TEST(BlendGrids, EveryModeMatchesTheFormulaTableExactly)
{
  Inputs in;
  MakeInputs(in);
  const Int count = in.destination.cellCount;
  struct WideScope
  {
    ~WideScope() { OGX::SetWideVectorsAllowed(true); }
  } restore;
  for (Bool wide : {true, false})
  {
    OGX::SetWideVectorsAllowed(wide);
    for (const Params& base : kParamSets)
      for (Int32 mode = -1; mode <= 15; ++mode)
      {
        Params p = base;
        p.mode = mode;
        const Float destMin = p.destMin;

        std::vector<Float> parallel(in.destination.cells.begin(), in.destination.cells.end());
        std::vector<Float> serial(parallel);
        const Float* layer = in.layer.cells.GetFirst();
        const Float* mask = in.mask.cells.GetFirst();
        const BlendJob jobP = MakeJob(parallel.data(), layer, mask, &destMin, p);
        ASSERT_TRUE(BlendGrids(0, count, jobP, 0, 16).IsOk());
        {
          SerialScope one;
          const BlendJob jobS = MakeJob(serial.data(), layer, mask, &destMin, p);
          ASSERT_TRUE(BlendGrids(0, count, jobS, 0, 16).IsOk());
        }
        for (Int i = 0; i < count; ++i)
        {
          const Float expected = Reference(in.destination.cells[i], in.layer.cells[i], in.mask.cells[i], p);
          ASSERT_TRUE(Same(parallel[static_cast<std::size_t>(i)], expected))
            << BlendModeToString(mode) << " mask " << p.useMask << " wide " << wide << " cell " << i << ": "
            << parallel[static_cast<std::size_t>(i)] << " vs " << expected;
          ASSERT_TRUE(Same(serial[static_cast<std::size_t>(i)], parallel[static_cast<std::size_t>(i)]))
            << BlendModeToString(mode) << " cell " << i;
        }
      }
  }
}

// BlendCell, the one-cell form, agrees with the same reference.
TEST(BlendGrids, BlendCellMatchesTheFormulaTable)
{
  Inputs in;
  MakeInputs(in);
  for (const Params& base : kParamSets)
    for (Int32 mode = -1; mode <= 15; ++mode)
    {
      Params p = base;
      p.mode = mode;
      const Float destMin = p.destMin;
      std::vector<Float> d(in.destination.cells.begin(), in.destination.cells.end());
      const BlendJob job = MakeJob(d.data(), in.layer.cells.GetFirst(), in.mask.cells.GetFirst(), &destMin, p);
      for (Int i = 0; i < in.destination.cellCount; i += 13)
      {
        BlendCell(job, i);
        ASSERT_TRUE(Same(d[static_cast<std::size_t>(i)],
                         Reference(in.destination.cells[i], in.layer.cells[i], in.mask.cells[i], p)))
          << BlendModeToString(mode) << " cell " << i;
      }
    }
}

// Hand-computed single cells for the behaviours the modes are known by.
TEST(BlendGrids, HandComputedCells)
{
  struct Case
  {
    const char* what;
    BLENDMODE mode;
    Float d, layer, mask;
    Bool useMask;
    Float opacity, scale, offset, destMin, range;
    Float expected;
  };
  const Case cases[] = {
    {"NORMAL copies the scaled, offset layer", BLENDMODE::NORMAL, 5, 3, 0, false, 1.0, 2.0, 1.0, 0, 1, 7.0},
    {"NORMAL at opacity 0 changes nothing", BLENDMODE::NORMAL, 5, 3, 0, false, 0.0, 2.0, 1.0, 0, 1, 5.0},
    {"NORMAL at a quarter", BLENDMODE::NORMAL, 4, 8, 0.5, true, 0.5, 1.0, 0.0, 0, 1, 5.0},
    {"ADD", BLENDMODE::ADD, 3, 4, 0, false, 1.0, 1.0, 0.0, 0, 1, 7.0},
    {"SUBTRACT", BLENDMODE::SUBTRACT, 3, 4, 0, false, 1.0, 1.0, 0.0, 0, 1, -1.0},
    {"MULTIPLY", BLENDMODE::MULTIPLY, 3, 4, 0, false, 1.0, 1.0, 0.0, 0, 1, 12.0},
    {"DIVIDE", BLENDMODE::DIVIDE, 6, 3, 0, false, 1.0, 1.0, 0.0, 0, 1, 2.0},
    {"DIVIDE by 0 keeps the cell", BLENDMODE::DIVIDE, 5, 0, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
    {"DIVIDE by 0 keeps it at any opacity", BLENDMODE::DIVIDE, 5, 0, 0, false, 0.5, 1.0, 0.0, 0, 1, 5.0},
    {"DIVIDE by -0 keeps the cell", BLENDMODE::DIVIDE, 5, -0.0, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
    {"DIVIDE by an offset layer of 0", BLENDMODE::DIVIDE, 5, 2, 0, false, 1.0, 1.0, -2.0, 0, 1, 5.0},
    {"LOWEST", BLENDMODE::LOWEST, 2, -1, 0, false, 1.0, 1.0, 0.0, 0, 1, -1.0},
    {"HIGHEST", BLENDMODE::HIGHEST, 2, -1, 0, false, 1.0, 1.0, 0.0, 0, 1, 2.0},
    {"DIFFERENCE", BLENDMODE::DIFFERENCE, 2, 7, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
    {"DIFFERENCE the other way", BLENDMODE::DIFFERENCE, 7, 2, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
    {"PHOENIX 2 and 6", BLENDMODE::PHOENIX, 2, 6, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.0},
    {"PHOENIXINVERSE 2 and 6", BLENDMODE::PHOENIXINVERSE, 2, 6, 0, false, 1.0, 1.0, 0.0, 0, 1, 8.0},
    {"OVERLAY at n = 0.5 takes the screen side", BLENDMODE::OVERLAY, 0.5, 0.25, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.25},
    {"OVERLAY dark side", BLENDMODE::OVERLAY, 0.25, 0.75, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.375},
    {"OVERLAY light side", BLENDMODE::OVERLAY, 0.75, 0.25, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.625},
    {"OVERLAY on a shifted range", BLENDMODE::OVERLAY, 3.0, 0.75, 0, false, 1.0, 1.0, 0.0, 2, 4, 3.5},
    {"NEGATION", BLENDMODE::NEGATION, 0.25, 0.5, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.75},
    {"SCREEN", BLENDMODE::SCREEN, 0.5, 0.5, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.75},
    {"SCREEN on a flat destination", BLENDMODE::SCREEN, 5, 0.4, 0, false, 0.5, 1.0, 0.0, 3, 0, 4.0},
    {"SOFTLIGHT light side", BLENDMODE::SOFTLIGHT, 0.25, 0.75, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.375},
    {"SOFTLIGHT dark side", BLENDMODE::SOFTLIGHT, 0.25, 0.25, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.15625},
    {"HARDLIGHT light side", BLENDMODE::HARDLIGHT, 0.25, 0.75, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.625},
    {"HARDLIGHT dark side", BLENDMODE::HARDLIGHT, 0.25, 0.25, 0, false, 1.0, 1.0, 0.0, 0, 1, 0.125},
    {"unknown mode 15", BLENDMODE::_BLENDMODE_COUNT, 5, 3, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
    {"unknown mode -1", static_cast<BLENDMODE>(-1), 5, 3, 0, false, 1.0, 1.0, 0.0, 0, 1, 5.0},
  };
  for (const Case& c : cases)
  {
    Float d = c.d;
    const BlendJob job = MakeJob(&d, &c.layer, &c.mask, &c.destMin,
                                 Params{static_cast<Int32>(c.mode), c.opacity, c.scale, c.offset, c.useMask, c.destMin,
                                        c.range, c.range != 0.0 ? 1.0 / c.range : 0.0});
    ASSERT_TRUE(BlendGrids(0, 1, job).IsOk());
    EXPECT_EQ(d, c.expected) << c.what;
  }
}

// A mask cell of 0 leaves its destination cell as it was, whatever the mode.
TEST(BlendGrids, ZeroMaskKeepsEveryMode)
{
  for (Int32 mode = 0; mode < static_cast<Int32>(BLENDMODE::_BLENDMODE_COUNT); ++mode)
  {
    std::vector<Float> d = {3.0, 1.0, 2.5};
    const std::vector<Float> layer = {2.0, 0.0, 7.0};
    const std::vector<Float> mask = {0.0, 0.0, 0.0};
    const Float destMin = 0.0;
    const BlendJob job =
      MakeJob(d.data(), layer.data(), mask.data(), &destMin, Params{mode, 1.0, 1.0, 0.0, true, 0.0, 4.0, 0.25});
    ASSERT_TRUE(BlendGrids(0, 3, job).IsOk());
    EXPECT_EQ(d, (std::vector<Float>{3.0, 1.0, 2.5})) << BlendModeToString(mode);
  }
}

// DIFFERENCE at opacity 1, scale 1 and offset 0 is the absolute difference of the grids (the filter
// difference map).
TEST(BlendGrids, DifferenceMapIsTheAbsoluteDifference)
{
  Inputs in;
  MakeInputs(in);
  std::vector<Float> d(in.destination.cells.begin(), in.destination.cells.end());
  const BlendJob job = MakeJob(d.data(), in.layer.cells.GetFirst(), nullptr, nullptr,
                               Params{static_cast<Int32>(BLENDMODE::DIFFERENCE), 1.0, 1.0, 0.0, false, 0, 0, 0});
  ASSERT_TRUE(BlendGrids(0, in.destination.cellCount, job).IsOk());
  for (Int i = 0; i < in.destination.cellCount; ++i)
    ASSERT_TRUE(Same(d[static_cast<std::size_t>(i)], std::fabs(in.destination.cells[i] - in.layer.cells[i]))) << i;
}

TEST(BlendGrids, OnlyTheGivenRangeIsWritten)
{
  std::vector<Float> d(3000, 1.0);
  const std::vector<Float> layer(3000, 2.0);
  const BlendJob job = MakeJob(d.data(), layer.data(), nullptr, nullptr,
                               Params{static_cast<Int32>(BLENDMODE::ADD), 1.0, 1.0, 0.0, false, 0, 0, 0});
  ASSERT_TRUE(BlendGrids(3, 2050, job).IsOk());
  for (Int i = 0; i < 3000; ++i)
    ASSERT_EQ(d[static_cast<std::size_t>(i)], (i >= 3 && i < 2050) ? 3.0 : 1.0) << i;
  // An empty or reversed range runs nothing.
  ASSERT_TRUE(BlendGrids(10, 10, job).IsOk());
  ASSERT_TRUE(BlendGrids(10, 5, job).IsOk());
  EXPECT_EQ(d[10], 3.0);
}

TEST(BlendGrids, MissingCellsAreRefused)
{
  Float d = 1.0;
  const Float layer = 2.0;
  const Float destMin = 0.0;
  struct Case
  {
    const char* what;
    Float* dst;
    const Float* layer;
    const Float* mask;
    const Float* destMin;
    Bool useMask;
    BLENDMODE mode;
  };
  const Case cases[] = {
    {"no destination", nullptr, &layer, nullptr, &destMin, false, BLENDMODE::ADD},
    {"no layer", &d, nullptr, nullptr, &destMin, false, BLENDMODE::ADD},
    {"mask flag without mask", &d, &layer, nullptr, &destMin, true, BLENDMODE::ADD},
    {"normalised mode without minimum", &d, &layer, nullptr, nullptr, false, BLENDMODE::OVERLAY},
  };
  for (const Case& c : cases)
  {
    BlendJob job;
    job.destination = c.dst;
    job.layer = c.layer;
    job.mask = c.mask;
    job.destinationMin = c.destMin;
    job.useMask = c.useMask;
    job.mode = static_cast<Int32>(c.mode);
    const Result<void> res = BlendGrids(0, 1, job);
    ASSERT_TRUE(res.IsError()) << c.what;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::NULLPTR) << c.what;
  }
  EXPECT_EQ(d, 1.0);
}
