#include <gtest/gtest.h>

#include "support/test_support.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

#include <tiffio.h>
#include <unistd.h>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/random.h"
#include "orogenix/grid2d.h"

namespace
{
constexpr Float kNaN = std::numeric_limits<Float>::quiet_NaN();
constexpr Float kInf = std::numeric_limits<Float>::infinity();
constexpr Float kBig = 1.7976931348623157e308;


Grid2D<Float> MakeGrid(Int w, Int h, std::initializer_list<Float> values, Float sx = 1.0, Float sy = 1.0)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, sx, sy).IsOk());
  EXPECT_EQ(static_cast<std::size_t>(g.cellCount), values.size());
  Int i = 0;
  for (Float v : values)
    g.cells[i++] = v;
  return g;
}

Grid2D<Float> RandomGrid(Int w, Int h, UInt32 seed, Float scale = 100.0)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, 10.0, 20.0).IsOk());
  LcgRandom rng;
  rng.Init(seed);
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = rng.Get11() * scale;
  return g;
}

template <typename T>
void ExpectEmpty(const Grid2D<T>& g, const char* what)
{
  EXPECT_EQ(g.width, 0) << what;
  EXPECT_EQ(g.height, 0) << what;
  EXPECT_EQ(g.cellCount, 0) << what;
  EXPECT_EQ(g.sizeX, 0.0) << what;
  EXPECT_EQ(g.sizeY, 0.0) << what;
  EXPECT_EQ(g.cells.GetCount(), 0) << what;
  EXPECT_TRUE(Same(g.min, T(kBig))) << what;
  EXPECT_TRUE(Same(g.max, T(-kBig))) << what;
  EXPECT_FALSE(g.minMaxValid) << what;
}

// The definition written out: min/max reset, then the first value sets both, later ones lower and
// raise by strict comparisons, in index order.
void SequentialMinMax(const Grid2D<Float>& g, Float& mn, Float& mx, Bool& valid)
{
  mn = kBig;
  mx = -kBig;
  valid = false;
  for (Int i = 0; i < g.cells.GetCount(); ++i)
  {
    const Float v = g.cells[i];
    if (!valid)
    {
      mn = mx = v;
      valid = true;
      continue;
    }
    if (v < mn)
      mn = v;
    if (v > mx)
      mx = v;
  }
}

std::filesystem::path TempTiff(const char* name)
{
  return std::filesystem::temp_directory_path() /
         (std::string("ogx_grid2d_") + std::to_string(::getpid()) + "_" + name + ".tif");
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Shape

TEST(Grid2DShape, InitAcceptsEmptyShapesAndRefusesBadArguments)
{
  struct Case
  {
    Int w, h;
    Float sx, sy;
    Bool ok;
  };
  const Case cases[] = {
    {0, 0, 1.0, 1.0, true},   {0, 5, 1.0, 1.0, true},   {5, 0, 1.0, 1.0, true},   {1, 1, 1.0, 1.0, true},
    {3, 2, 10.0, 20.0, true}, {-1, 5, 1.0, 1.0, false}, {5, -1, 1.0, 1.0, false}, {5, 5, 0.0, 1.0, false},
    {5, 5, 1.0, 0.0, false},  {5, 5, -1.0, 1.0, false}, {5, 5, 1.0, -0.5, false}, {5, 5, kNaN, 1.0, false},
  };
  for (const Case& c : cases)
  {
    // A grid with a shape, values and a valid range, so that "left as it was" can be checked.
    Grid2D<Float> g = MakeGrid(2, 2, {1.0, 2.0, 3.0, 4.0}, 5.0, 6.0);
    g.RecomputeMinMax();
    const Result<void> res = g.Init(c.w, c.h, c.sx, c.sy);
    if (c.ok)
    {
      ASSERT_TRUE(res.IsOk()) << c.w << "x" << c.h;
      EXPECT_EQ(g.width, c.w);
      EXPECT_EQ(g.height, c.h);
      EXPECT_EQ(g.cellCount, c.w * c.h);
      EXPECT_EQ(g.cells.GetCount(), c.w * c.h);
      EXPECT_EQ(g.sizeX, c.sx);
      EXPECT_EQ(g.sizeY, c.sy);
      for (Int i = 0; i < g.cellCount; ++i)
        EXPECT_TRUE(Same(g.cells[i], 0.0));
      EXPECT_TRUE(Same(g.min, kBig));
      EXPECT_TRUE(Same(g.max, -kBig));
      EXPECT_FALSE(g.minMaxValid);
    }
    else
    {
      ASSERT_TRUE(res.IsError()) << c.w << "x" << c.h << " " << c.sx << " " << c.sy;
      EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
      EXPECT_EQ(res.GetError().GetMessage(), "Invalid grid initialization arguments!");
      EXPECT_EQ(g.width, 2);
      EXPECT_EQ(g.height, 2);
      EXPECT_EQ(g.cellCount, 4);
      EXPECT_EQ(g.sizeX, 5.0);
      EXPECT_EQ(g.sizeY, 6.0);
      ASSERT_EQ(g.cells.GetCount(), 4);
      EXPECT_EQ(g.cells[3], 4.0);
      EXPECT_TRUE(g.minMaxValid);
      EXPECT_EQ(g.min, 1.0);
      EXPECT_EQ(g.max, 4.0);
    }
  }
}

TEST(Grid2DShape, ResetEmptiesEverything)
{
  Grid2D<Float> g = MakeGrid(3, 1, {1.0, 2.0, 3.0});
  g.RecomputeMinMax();
  g.Reset();
  ExpectEmpty(g, "Reset");

  Grid2D<Vector> v;
  ASSERT_TRUE(v.Init(2, 2, 1.0, 1.0).IsOk());
  v.UpdateMinMax(Vector(1.0, 2.0, 3.0));
  v.Reset();
  ExpectEmpty(v, "Reset vector");
  ExpectEmpty(Grid2D<Float>(), "default");
}

TEST(Grid2DShape, InitLikeTakesTheShapeOnly)
{
  Grid2D<Float> other = MakeGrid(3, 2, {1, 2, 3, 4, 5, 6}, 8.0, 9.0);
  other.RecomputeMinMax();
  Grid2D<Float> g = MakeGrid(1, 1, {7.0});
  g.RecomputeMinMax();
  ASSERT_TRUE(g.InitLike(other).IsOk());
  EXPECT_EQ(g.width, 3);
  EXPECT_EQ(g.height, 2);
  EXPECT_EQ(g.cellCount, 6);
  EXPECT_EQ(g.sizeX, 8.0);
  EXPECT_EQ(g.sizeY, 9.0);
  ASSERT_EQ(g.cells.GetCount(), 6);
  for (Int i = 0; i < 6; ++i)
    EXPECT_EQ(g.cells[i], 0.0);
  EXPECT_FALSE(g.minMaxValid);
  EXPECT_TRUE(Same(g.min, kBig));

  // Onto itself: same shape, zeroed cells.
  ASSERT_TRUE(other.InitLike(other).IsOk());
  EXPECT_EQ(other.cellCount, 6);
  EXPECT_EQ(other.sizeX, 8.0);
  EXPECT_EQ(other.cells[5], 0.0);
  EXPECT_FALSE(other.minMaxValid);

  // The other grid's header is taken without the checks of Init: an empty grid (sizes 0) gives an
  // empty grid.
  Grid2D<Float> empty;
  ASSERT_TRUE(g.InitLike(empty).IsOk());
  ExpectEmpty(g, "InitLike(empty)");
}

// For computations that write every cell: the shape and a reset range, the kept cells left as they are.
TEST(Grid2DShape, InitLikeForOverwriteTakesTheShapeAndKeepsTheCells)
{
  const Grid2D<Float> other = MakeGrid(3, 2, {1, 2, 3, 4, 5, 6}, 8.0, 9.0);
  Grid2D<Float> g = MakeGrid(2, 3, {7, 8, 9, 10, 11, 12});
  g.RecomputeMinMax();
  const Float* before = g.cells.GetFirst();
  ASSERT_TRUE(g.InitLikeForOverwrite(other).IsOk());
  EXPECT_EQ(g.width, 3);
  EXPECT_EQ(g.height, 2);
  EXPECT_EQ(g.cellCount, 6);
  EXPECT_EQ(g.sizeX, 8.0);
  EXPECT_EQ(g.sizeY, 9.0);
  EXPECT_FALSE(g.minMaxValid);
  EXPECT_TRUE(Same(g.min, kBig));
  EXPECT_EQ(g.cells.GetFirst(), before);
  EXPECT_EQ(g.cells[5], 12.0);

  Grid2D<Float> fresh;
  ASSERT_TRUE(fresh.InitLikeForOverwrite(other).IsOk());
  EXPECT_EQ(fresh.cells.GetCount(), 6);
  Grid2D<Float> larger;
  ASSERT_TRUE(larger.Init(4, 4, 1.0, 1.0).IsOk());
  {
    host::ScopedAllocationFailure fail(1);
    ASSERT_TRUE(g.InitLikeForOverwrite(larger).IsError());
  }
  ExpectEmpty(g, "after failed shaping for overwrite");
}

TEST(Grid2DShape, LargeGridsAreZeroedWhetherTheirCellsAreNewOrKept)
{
  // Large enough to be cleared on all threads; reshaping to the same size keeps (and clears) the cells.
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(401, 301, 10.0, 10.0).IsOk());
  for (Float& c : g.cells)
    c = 5.0;
  const Float* before = g.cells.GetFirst();
  ASSERT_TRUE(g.Init(301, 401, 1.0, 2.0).IsOk());   // same count, other shape
  EXPECT_EQ(g.cells.GetFirst(), before);
  EXPECT_EQ(g.width, 301);
  for (Int i = 0; i < g.cellCount; ++i)
    ASSERT_EQ(g.cells[i], 0.0) << i;
  for (Float& c : g.cells)
    c = 5.0;
  ASSERT_TRUE(g.Init(500, 300, 1.0, 2.0).IsOk());   // new cells
  ASSERT_EQ(g.cells.GetCount(), 150000);
  for (Int i = 0; i < g.cellCount; ++i)
    ASSERT_EQ(g.cells[i], 0.0) << i;
}

// A grid emptied with ResetKeepingStorage looks like a reset one, and its next shaping of about the
// same count reuses the cells it had: Init clears them, InitLikeForOverwrite leaves what they held. A much
// smaller or a larger shape takes new cells.
TEST(Grid2DShape, KeptStorageServesTheNextShaping)
{
  Grid2D<Float> g = RandomGrid(300, 200, 5);
  g.RecomputeMinMax();
  const Float* storage = g.cells.GetFirst();
  g.ResetKeepingStorage();
  ExpectEmpty(g, "ResetKeepingStorage");
  EXPECT_GE(g.cells.GetCapacity(), 60000);

  const Grid2D<Float> like = RandomGrid(300, 199, 6);   // 300 cells fewer
  ASSERT_TRUE(g.InitLikeForOverwrite(like).IsOk());
  EXPECT_EQ(g.cells.GetFirst(), storage);
  EXPECT_EQ(g.width, 300);
  EXPECT_EQ(g.height, 199);
  EXPECT_EQ(g.cellCount, 59700);
  EXPECT_EQ(g.cells.GetCount(), 59700);
  EXPECT_EQ(g.sizeX, 10.0);
  EXPECT_FALSE(g.minMaxValid);
  EXPECT_EQ(g.cells[0], RandomGrid(300, 200, 5).cells[0]);   // as the storage held it

  g.ResetKeepingStorage();
  ASSERT_TRUE(g.Init(200, 300, 1.0, 1.0).IsOk());
  EXPECT_EQ(g.cells.GetFirst(), storage);
  for (Int i = 0; i < g.cellCount; ++i)
    ASSERT_EQ(g.cells[i], 0.0) << i;

  g.ResetKeepingStorage();
  ASSERT_TRUE(g.Init(100, 100, 1.0, 1.0).IsOk());
  EXPECT_LT(g.cells.GetCapacity(), 60000);   // a much smaller grid gives the storage back
  ASSERT_TRUE(g.InitLikeForOverwrite(RandomGrid(200, 100, 7)).IsOk());
  EXPECT_EQ(g.cellCount, 20000);

  // A failure on the way leaves the grid empty, as for any shaping.
  g.ResetKeepingStorage();
  const Grid2D<Float> same = RandomGrid(100, 200, 8);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_TRUE(g.InitLikeForOverwrite(same).IsError());
  }
  ExpectEmpty(g, "failed InitLikeForOverwrite");
}

TEST(Grid2DShape, CopyFromCopiesCellsAndEveryHeaderField)
{
  Grid2D<Float> src = MakeGrid(2, 3, {1, -2, 3, 4, 5, 6}, 4.0, 7.0);
  src.RecomputeMinMax();
  Grid2D<Float> dst = MakeGrid(1, 1, {9.0});
  ASSERT_TRUE(dst.CopyFrom(src).IsOk());
  EXPECT_EQ(dst.width, 2);
  EXPECT_EQ(dst.height, 3);
  EXPECT_EQ(dst.cellCount, 6);
  EXPECT_EQ(dst.sizeX, 4.0);
  EXPECT_EQ(dst.sizeY, 7.0);
  EXPECT_EQ(dst.min, -2.0);
  EXPECT_EQ(dst.max, 6.0);
  EXPECT_TRUE(dst.minMaxValid);
  ASSERT_EQ(dst.cells.GetCount(), 6);
  for (Int i = 0; i < 6; ++i)
    EXPECT_EQ(dst.cells[i], src.cells[i]);
  // The copy owns its cells.
  src.cells[0] = 100.0;
  EXPECT_EQ(dst.cells[0], 1.0);

  // Onto itself: nothing changes.
  ASSERT_TRUE(dst.CopyFrom(dst).IsOk());
  EXPECT_EQ(dst.cellCount, 6);
  EXPECT_EQ(dst.cells[1], -2.0);
  EXPECT_EQ(dst.min, -2.0);
}

// Large copies run on all threads and reuse the target's cells when the count matches, including a
// reshape to the same count (another width and height).
TEST(Grid2DShape, LargeCopyReusesCellsAndMatchesTheSource)
{
  Grid2D<Float> src;
  ASSERT_TRUE(src.Init(701, 300, 3.0, 2.0).IsOk());
  for (Int i = 0; i < src.cellCount; ++i)
    src.cells[i] = std::sin(static_cast<Float>(i) * 0.001) * 100.0;
  src.RecomputeMinMax();

  Grid2D<Float> dst;
  ASSERT_TRUE(dst.Init(300, 701, 1.0, 1.0).IsOk());
  const Float* before = dst.cells.GetFirst();
  ASSERT_TRUE(dst.CopyFrom(src).IsOk());
  EXPECT_EQ(dst.cells.GetFirst(), before);
  EXPECT_EQ(dst.width, 701);
  EXPECT_EQ(dst.height, 300);
  EXPECT_EQ(dst.min, src.min);
  EXPECT_EQ(dst.max, src.max);
  ASSERT_EQ(dst.cells.GetCount(), src.cells.GetCount());
  EXPECT_EQ(std::memcmp(dst.cells.GetFirst(), src.cells.GetFirst(), sizeof(Float) * static_cast<std::size_t>(src.cellCount)), 0);

  Grid2D<Float> small = MakeGrid(2, 2, {1, 2, 3, 4});
  ASSERT_TRUE(small.CopyFrom(src).IsOk());
  ASSERT_EQ(small.cells.GetCount(), src.cellCount);
  EXPECT_EQ(std::memcmp(small.cells.GetFirst(), src.cells.GetFirst(), sizeof(Float) * static_cast<std::size_t>(src.cellCount)), 0);
}

TEST(Grid2DShape, MovingLeavesTheSourceEmpty)
{
  Grid2D<Float> src = MakeGrid(3, 1, {1.0, 2.0, 3.0}, 4.0, 5.0);
  src.RecomputeMinMax();
  Grid2D<Float> dst(std::move(src));
  EXPECT_EQ(dst.cellCount, 3);
  EXPECT_EQ(dst.sizeY, 5.0);
  EXPECT_EQ(dst.max, 3.0);
  ASSERT_EQ(dst.cells.GetCount(), 3);
  EXPECT_EQ(dst.cells[2], 3.0);
  ExpectEmpty(src, "moved from");
  EXPECT_EQ(src.Sample(1.0, 0.0, SAMPLEINTERPOLATION::BILINEAR), 0.0);

  Grid2D<Float> other = MakeGrid(1, 1, {9.0});
  other = std::move(dst);
  EXPECT_EQ(other.cellCount, 3);
  EXPECT_EQ(other.cells[0], 1.0);
  ExpectEmpty(dst, "moved from by assignment");
}

// Shaping is all-or-nothing: when the cells cannot be had, the grid is left empty (never with a new
// header over old or missing cells), and the source grids are untouched.
TEST(Grid2DShape, AllocationFailureLeavesTheTargetEmpty)
{
  const Grid2D<Float> source = MakeGrid(3, 2, {1, 2, 3, 4, 5, 6}, 2.0, 3.0);
  enum class Op
  {
    INIT,
    INITLIKE,
    COPYFROM,
    NORMALS
  };
  for (Op op : {Op::INIT, Op::INITLIKE, Op::COPYFROM})
  {
    Grid2D<Float> g = MakeGrid(2, 2, {1, 2, 3, 4});
    g.RecomputeMinMax();
    Result<void> res;
    {
      host::ScopedAllocationFailure fail(1);
      switch (op)
      {
        case Op::INIT: res = g.Init(50, 40, 1.0, 1.0); break;
        case Op::INITLIKE: res = g.InitLike(source); break;
        default: res = g.CopyFrom(source); break;
      }
    }
    ASSERT_TRUE(res.IsError()) << static_cast<int>(op);
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    ExpectEmpty(g, "after failed shaping");
  }
  {
    Grid2D<Vector> normals;
    ASSERT_TRUE(normals.Init(7, 7, 1.0, 1.0).IsOk());
    Result<void> res;
    {
      host::ScopedAllocationFailure fail(1);
      res = source.ComputeNormals(normals);
    }
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    ExpectEmpty(normals, "normals after failed shaping");
  }
  EXPECT_EQ(source.cellCount, 6);
  EXPECT_EQ(source.cells[5], 6.0);
}

// Shapes whose cell count cannot exist fail as out of memory without allocating anything.
TEST(Grid2DShape, ImpossibleCellCountsFailCleanly)
{
  struct Case
  {
    Int w, h;
  };
  const Case cases[] = {
    {std::numeric_limits<Int>::max(), 2},
    {Int(1) << 32, Int(1) << 32},
    {Int(1) << 31, Int(1) << 31},   // fits in Int, but no array can hold it
  };
  for (const Case& c : cases)
  {
    Grid2D<Float> g = MakeGrid(1, 1, {5.0});
    const Result<void> res = g.Init(c.w, c.h, 1.0, 1.0);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    ExpectEmpty(g, "impossible shape");
  }
}

// ---------------------------------------------------------------------------------------------------
// Minimum and maximum

TEST(Grid2DMinMax, UpdateMinMaxUsesIndependentStrictTests)
{
  Grid2D<Float> g;
  g.UpdateMinMax(3.0);
  EXPECT_TRUE(g.minMaxValid);
  EXPECT_EQ(g.min, 3.0);
  EXPECT_EQ(g.max, 3.0);
  g.UpdateMinMax(5.0);
  g.UpdateMinMax(-1.0);
  g.UpdateMinMax(kNaN);   // ignored once the range is valid
  EXPECT_EQ(g.min, -1.0);
  EXPECT_EQ(g.max, 5.0);

  Grid2D<Float> n;
  n.UpdateMinMax(kNaN);   // a NaN first value stays
  n.UpdateMinMax(1.0);
  EXPECT_TRUE(std::isnan(n.min));
  EXPECT_TRUE(std::isnan(n.max));

  Grid2D<Vector> v;
  v.UpdateMinMax(Vector(1.0, 5.0, -2.0));
  v.UpdateMinMax(Vector(2.0, 4.0, -3.0));
  EXPECT_TRUE(Same(v.min, Vector(1.0, 4.0, -3.0)));
  EXPECT_TRUE(Same(v.max, Vector(2.0, 5.0, -2.0)));
}

// The recomputation runs over parts of the grid in parallel; it must give bit for bit what the
// sequential definition gives, including where order matters (a NaN first cell, 0.0 against -0.0).
TEST(Grid2DMinMax, RecomputeMatchesTheSequentialDefinitionExactly)
{
  struct Pattern
  {
    const char* name;
    Int w, h;
    void (*fill)(Grid2D<Float>&);
  };
  const Pattern patterns[] = {
    {"random", 400, 300, [](Grid2D<Float>&) {}},
    {"NaN first", 400, 300, [](Grid2D<Float>& g) { g.cells[0] = kNaN; }},
    {"NaNs later", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 1; i < g.cellCount; i += 977)
         g.cells[i] = kNaN;
     }},
    {"a part of NaN", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 1; i < 60000; ++i)
         g.cells[i] = kNaN;
     }},
    {"infinities", 400, 300,
     [](Grid2D<Float>& g) {
       g.cells[77777] = kInf;
       g.cells[33333] = -kInf;
     }},
    {"signed zeros, +0 first", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 0; i < g.cellCount; ++i)
         g.cells[i] = (i % 3 == 1) ? -0.0 : 0.0;
     }},
    {"signed zeros, -0 first", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 0; i < g.cellCount; ++i)
         g.cells[i] = (i % 2 == 0) ? -0.0 : 0.0;
     }},
    {"signed zeros at part ends", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 0; i < g.cellCount; ++i)
         g.cells[i] = i < 70000 ? 1.0 : -1.0;
       g.cells[0] = 5.0;
       g.cells[50000] = -0.0;
       g.cells[60000] = 0.0;
       for (Int i = 70000; i < g.cellCount; ++i)
         g.cells[i] = 2.0;
     }},
    {"zeros of both signs scattered", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 0; i < g.cellCount; ++i)
         g.cells[i] = (i * 7919) % 13 == 0 ? ((i * 31) % 3 == 0 ? -0.0 : 0.0) : std::fabs(g.cells[i]);
     }},
    {"NaN and zeros within one block", 400, 300,
     [](Grid2D<Float>& g) {
       for (Int i = 0; i < 8192; ++i)
         g.cells[i] = i % 3 == 0 ? kNaN : 5.0;
       g.cells[8190] = -0.0;
       g.cells[8185] = 0.0;
     }},
    {"one cell", 1, 1, [](Grid2D<Float>&) {}},
    {"two cells", 2, 1, [](Grid2D<Float>&) {}},
    {"no cells", 0, 7, [](Grid2D<Float>&) {}},
  };
  for (const Pattern& p : patterns)
  {
    Grid2D<Float> g = RandomGrid(p.w, p.h, 99);
    p.fill(g);
    Float mn, mx;
    Bool valid;
    SequentialMinMax(g, mn, mx, valid);

    g.RecomputeMinMax();
    EXPECT_EQ(g.minMaxValid, valid) << p.name;
    EXPECT_TRUE(Same(g.min, mn)) << p.name << ": " << g.min << " vs " << mn;
    EXPECT_TRUE(Same(g.max, mx)) << p.name << ": " << g.max << " vs " << mx;
    {
      SerialScope serial;
      g.RecomputeMinMax();
    }
    EXPECT_TRUE(Same(g.min, mn)) << p.name << " (one thread)";
    EXPECT_TRUE(Same(g.max, mx)) << p.name << " (one thread)";
  }

  // The first zero of the lowest (highest) value followed by zeros of the other sign, at every offset
  // against the blocks and accumulator lanes the pass works in: only the first one's sign may come out.
  for (Int shift = 0; shift < 16; ++shift)
    for (const Float sign : {1.0, -1.0})
    {
      Grid2D<Float> g = RandomGrid(400, 300, 3);
      for (Int i = 0; i < g.cellCount; ++i)
        g.cells[i] = sign * (1.0 + std::fabs(g.cells[i]));
      const Float first = sign > 0.0 ? -0.0 : 0.0;
      g.cells[40000 + shift] = first;
      for (Int i = 1; i < 40; ++i)
        g.cells[40000 + shift + i] = -first;
      Float mn, mx;
      Bool valid;
      SequentialMinMax(g, mn, mx, valid);
      g.RecomputeMinMax();
      EXPECT_TRUE(Same(g.min, mn) && Same(g.max, mx)) << "shift " << shift << " sign " << sign;
    }
}

TEST(Grid2DMinMax, VectorRecomputeIsPerComponent)
{
  Grid2D<Vector> g;
  ASSERT_TRUE(g.Init(300, 200, 1.0, 1.0).IsOk());
  LcgRandom rng;
  rng.Init(5);
  Vector lo(kInf), hi(-kInf);
  for (Int i = 0; i < g.cellCount; ++i)
  {
    g.cells[i] = Vector(rng.Get11(), rng.Get11() * 10.0, rng.Get11() - 3.0);
    lo = Vector(std::min(lo.x, g.cells[i].x), std::min(lo.y, g.cells[i].y), std::min(lo.z, g.cells[i].z));
    hi = Vector(std::max(hi.x, g.cells[i].x), std::max(hi.y, g.cells[i].y), std::max(hi.z, g.cells[i].z));
  }
  g.RecomputeMinMax();
  EXPECT_TRUE(g.minMaxValid);
  EXPECT_TRUE(Same(g.min, lo));
  EXPECT_TRUE(Same(g.max, hi));
}

// ---------------------------------------------------------------------------------------------------
// Sampling

TEST(Grid2DSample, HermiteInterpolateHandValues)
{
  struct Case
  {
    Float p0, p1, p2, p3, t, tension, bias, expected;
  };
  const Case cases[] = {
    {0, 1, 3, 4, 0.0, 0, 0, 1.0},    // t = 0 is p1
    {0, 1, 3, 4, 1.0, 0, 0, 3.0},    // t = 1 is p2
    {0, 1, 3, 4, 0.5, 0, 0, 2.0},    // tangents 1.5 and 1.5
    {0, 1, 3, 4, 0.5, 1, 0, 2.0},    // tension 1: flat tangents
    {0, 1, 3, 4, 0.5, 0, 1, 1.875},  // bias 1: tangents 1 and 2
    {0, 0, 1, 1, 0.5, 0, 0, 0.5},
    {2, 2, 2, 2, 0.3, 0, 0, 2.0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(HermiteInterpolate(c.p0, c.p1, c.p2, c.p3, c.t, c.tension, c.bias), c.expected)
      << c.t << " " << c.tension << " " << c.bias;
}

TEST(Grid2DSample, BilinearAndNearestOnATinyGrid)
{
  // Row 0: 0 1 2, row 1: 10 20 30.
  const Grid2D<Float> g = MakeGrid(3, 2, {0, 1, 2, 10, 20, 30});
  struct Case
  {
    Float x, y;
    SAMPLEINTERPOLATION mode;
    Float expected;
  };
  const Case cases[] = {
    {0.5, 0.0, SAMPLEINTERPOLATION::BILINEAR, 0.5},
    {0.5, 0.5, SAMPLEINTERPOLATION::BILINEAR, 7.75},   // top 0.5, bottom 15
    {1.25, 1.0, SAMPLEINTERPOLATION::BILINEAR, 22.5},
    {2.5, 0.0, SAMPLEINTERPOLATION::BILINEAR, 2.0},    // x = width - 1 + 0.5 clamps to the right column
    {2.5, 1.0, SAMPLEINTERPOLATION::BILINEAR, 30.0},
    {0.0, 1.5, SAMPLEINTERPOLATION::BILINEAR, 10.0},
    {0.49, 0.51, SAMPLEINTERPOLATION::NEAREST, 10.0},
    {1.5, 0.0, SAMPLEINTERPOLATION::NEAREST, 2.0},     // floor(x + 0.5) rounds halves up
    {0.5, 0.49, SAMPLEINTERPOLATION::NEAREST, 1.0},
    {1.4, 1.0, static_cast<SAMPLEINTERPOLATION>(7), 20.0},   // unknown modes sample the nearest cell
  };
  for (const Case& c : cases)
    EXPECT_EQ(g.Sample(c.x, c.y, c.mode), c.expected) << c.x << ", " << c.y;

  // At integer positions every interpolation returns the cell itself.
  for (Int y = 0; y < 2; ++y)
    for (Int x = 0; x < 3; ++x)
      for (SAMPLEINTERPOLATION mode :
           {SAMPLEINTERPOLATION::NEAREST, SAMPLEINTERPOLATION::BILINEAR, SAMPLEINTERPOLATION::BICUBIC})
        EXPECT_EQ(g.Sample(Float(x), Float(y), mode), g.cells[y * 3 + x]) << x << ", " << y;
}

TEST(Grid2DSample, BicubicKeepsConstantsAndLinearRamps)
{
  Grid2D<Float> flat;
  ASSERT_TRUE(flat.Init(5, 4, 1.0, 1.0).IsOk());
  for (Int i = 0; i < flat.cellCount; ++i)
    flat.cells[i] = 3.25;
  for (Float y = -1.0; y <= 4.5; y += 0.37)
    for (Float x = -1.0; x <= 5.5; x += 0.29)
      EXPECT_NEAR(flat.Sample(x, y, SAMPLEINTERPOLATION::BICUBIC), 3.25, 1e-12) << x << ", " << y;

  // A ramp along x is reproduced between the second and the second-last column, where no clamped
  // neighbour bends the tangents.
  Grid2D<Float> ramp;
  ASSERT_TRUE(ramp.Init(6, 3, 1.0, 1.0).IsOk());
  for (Int y = 0; y < 3; ++y)
    for (Int x = 0; x < 6; ++x)
      ramp.cells[y * 6 + x] = 3.0 * Float(x) + 1.0;
  for (Float y : {0.0, 0.4, 1.0, 1.7, 2.0})
    for (Float x = 1.0; x <= 4.0; x += 0.125)
      EXPECT_NEAR(ramp.Sample(x, y, SAMPLEINTERPOLATION::BICUBIC), 3.0 * x + 1.0, 1e-12) << x << ", " << y;
}

// Whatever the position, sampling reads only cells of the grid (run under the address sanitizer to
// see a stray read). Far positions read the border; NaN and infinite positions give a cell value or
// NaN, never a read outside.
TEST(Grid2DSample, HostilePositionsNeverReadOutside)
{
  const Grid2D<Float> g = MakeGrid(3, 2, {0, 1, 2, 10, 20, 30});
  const Float hostile[] = {kNaN, kInf, -kInf, 1e300, -1e300, 9.5e18, -9.5e18, 1e18, -1.0, -0.5, 2.5, 3.0, 1e-300};
  auto isCell = [&](Float v) {
    for (Int i = 0; i < g.cellCount; ++i)
      if (g.cells[i] == v)
        return true;
    return false;
  };
  for (Float x : hostile)
    for (Float y : hostile)
      for (SAMPLEINTERPOLATION mode :
           {SAMPLEINTERPOLATION::NEAREST, SAMPLEINTERPOLATION::BILINEAR, SAMPLEINTERPOLATION::BICUBIC})
      {
        const Float v = g.Sample(x, y, mode);
        if (mode == SAMPLEINTERPOLATION::NEAREST)
        {
          EXPECT_TRUE(isCell(v)) << x << ", " << y;
        }
        else if (mode == SAMPLEINTERPOLATION::BILINEAR)
        {
          EXPECT_TRUE(std::isnan(v) || (v >= 0.0 && v <= 30.0)) << x << ", " << y << " -> " << v;
        }
        else
        {
          // The cubic may overshoot the cells a little, never by a read outside.
          EXPECT_TRUE(std::isnan(v) || (v >= -15.0 && v <= 45.0)) << x << ", " << y << " -> " << v;
        }
        // Finite positions far outside read exactly the nearest border cell.
        if (std::isfinite(x) && std::isfinite(y) && std::fabs(x) > 1e17 && std::fabs(y) > 1e17)
        {
          EXPECT_EQ(v, g.cells[(y > 0 ? 1 : 0) * 3 + (x > 0 ? 2 : 0)]) << x << ", " << y;
        }
      }
  // NaN clamps to the first cell for the nearest interpolation.
  EXPECT_EQ(g.Sample(kNaN, kNaN, SAMPLEINTERPOLATION::NEAREST), 0.0);
  EXPECT_EQ(g.Sample(kInf, kInf, SAMPLEINTERPOLATION::NEAREST), 30.0);
}

TEST(Grid2DSample, EmptyGridsSampleAsZero)
{
  Grid2D<Float> grids[3];
  ASSERT_TRUE(grids[1].Init(4, 0, 1.0, 1.0).IsOk());
  ASSERT_TRUE(grids[2].Init(0, 4, 1.0, 1.0).IsOk());
  for (const Grid2D<Float>& g : grids)
    for (SAMPLEINTERPOLATION mode :
         {SAMPLEINTERPOLATION::NEAREST, SAMPLEINTERPOLATION::BILINEAR, SAMPLEINTERPOLATION::BICUBIC})
    {
      EXPECT_EQ(g.Sample(0.0, 0.0, mode), 0.0);
      EXPECT_EQ(g.Sample(1.5, 2.5, mode), 0.0);
    }
}

// ---------------------------------------------------------------------------------------------------
// Normals

TEST(Grid2DNormals, FlatGridPointsUpEverywhere)
{
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(4, 3, 7.0, 2.0).IsOk());
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = -12.5;
  for (Int y = -1; y <= 3; ++y)
    for (Int x = -1; x <= 4; ++x)
      EXPECT_TRUE(Same(g.GetNormal(x, y), Vector(0.0, 1.0, 0.0))) << x << ", " << y;
  EXPECT_TRUE(Same(Grid2D<Float>().GetNormal(0, 0), Vector(0.0, 1.0, 0.0)));
}

TEST(Grid2DNormals, HandComputedNormalsInsideAndAtTheBorder)
{
  // Row 0: 0 1 3, row 1: 0 2 6, row 2: 0 4 9.
  const Grid2D<Float> g = MakeGrid(3, 3, {0, 1, 3, 0, 2, 6, 0, 4, 9});
  auto normal = [](Float dx, Float dz) {
    const Float len = std::sqrt(dx * dx + 4.0 + dz * dz);
    return Vector(dx / len, 2.0 / len, dz / len);
  };
  struct Case
  {
    Int x, y;
    Float dx, dz;
  };
  const Case cases[] = {
    {1, 1, 0.0 - 6.0, 1.0 - 4.0},   // inside: differences over two cells
    {0, 0, 0.0 - 1.0, 0.0 - 0.0},   // corner: the clamped neighbour is the cell itself
    {2, 0, 1.0 - 3.0, 3.0 - 6.0},
    {2, 2, 4.0 - 9.0, 6.0 - 9.0},
    {1, 0, 0.0 - 3.0, 1.0 - 2.0},
  };
  for (const Case& c : cases)
  {
    const Vector n = g.GetNormal(c.x, c.y);
    const Vector e = normal(c.dx, c.dz);
    EXPECT_TRUE(Same(n, e)) << c.x << ", " << c.y;
  }
}

TEST(Grid2DNormals, ComputeNormalsMatchesGetNormalWithAnyThreadCount)
{
  const Grid2D<Float> g = RandomGrid(37, 523, 3);
  Grid2D<Vector> parallel;
  ASSERT_TRUE(g.ComputeNormals(parallel).IsOk());
  Grid2D<Vector> serial;
  {
    SerialScope one;
    ASSERT_TRUE(g.ComputeNormals(serial).IsOk());
  }
  EXPECT_EQ(parallel.width, 37);
  EXPECT_EQ(parallel.height, 523);
  EXPECT_EQ(parallel.cellCount, g.cellCount);
  EXPECT_EQ(parallel.sizeX, g.sizeX);
  EXPECT_EQ(parallel.sizeY, g.sizeY);
  EXPECT_FALSE(parallel.minMaxValid);
  EXPECT_TRUE(Same(parallel.min, Vector(kBig)));
  ASSERT_EQ(parallel.cells.GetCount(), g.cellCount);
  for (Int y = 0; y < g.height; ++y)
    for (Int x = 0; x < g.width; ++x)
    {
      const Int i = y * g.width + x;
      ASSERT_TRUE(Same(parallel.cells[i], g.GetNormal(x, y))) << x << ", " << y;
      ASSERT_TRUE(Same(serial.cells[i], parallel.cells[i])) << x << ", " << y;
    }
}

TEST(Grid2DNormals, RefusedLikeInitAndLeavesTheTargetAsItWas)
{
  Grid2D<Float> reset;   // sizes 0: not a valid shape for the normal grid
  Grid2D<Vector> normals;
  ASSERT_TRUE(normals.Init(2, 2, 1.0, 1.0).IsOk());
  normals.cells[3] = Vector(1.0, 2.0, 3.0);
  const Result<void> res = reset.ComputeNormals(normals);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(res.GetError().GetMessage(), "Invalid grid initialization arguments!");
  EXPECT_EQ(normals.cellCount, 4);
  EXPECT_TRUE(Same(normals.cells[3], Vector(1.0, 2.0, 3.0)));

  // A shaped grid without cells gives an empty normal grid.
  Grid2D<Float> noRows;
  ASSERT_TRUE(noRows.Init(5, 0, 1.0, 1.0).IsOk());
  ASSERT_TRUE(noRows.ComputeNormals(normals).IsOk());
  EXPECT_EQ(normals.width, 5);
  EXPECT_EQ(normals.cells.GetCount(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Normalize

TEST(Grid2DNormalize, RemapsOntoTheRangeAndKeepsTheOldMinMax)
{
  struct Case
  {
    std::vector<Float> cells;
    Float range, offset;
    std::vector<Float> expected;
    Float min, max;
  };
  const Case cases[] = {
    {{2.0, 6.0}, 1.0, 0.0, {0.0, 1.0}, 2.0, 6.0},
    {{1.0, 2.0, 3.0}, 10.0, -5.0, {-5.0, 0.0, 5.0}, 1.0, 3.0},
    {{4.0, 0.0, 2.0, 1.0}, 2.0, 1.0, {3.0, 1.0, 2.0, 1.5}, 0.0, 4.0},
    {{7.0, 7.0, 7.0}, 1.0, 0.0, {7.0, 7.0, 7.0}, 7.0, 7.0},   // flat: unchanged
  };
  for (const Case& c : cases)
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.Init(static_cast<Int>(c.cells.size()), 1, 1.0, 1.0).IsOk());
    for (std::size_t i = 0; i < c.cells.size(); ++i)
      g.cells[static_cast<Int>(i)] = c.cells[i];
    g.Normalize(c.range, c.offset);
    for (std::size_t i = 0; i < c.cells.size(); ++i)
      EXPECT_EQ(g.cells[static_cast<Int>(i)], c.expected[i]) << i;
    EXPECT_TRUE(g.minMaxValid);
    EXPECT_EQ(g.min, c.min);
    EXPECT_EQ(g.max, c.max);
  }

  Grid2D<Float> empty;
  ASSERT_TRUE(empty.Init(0, 3, 1.0, 1.0).IsOk());
  empty.Normalize(1.0, 0.0);
  EXPECT_FALSE(empty.minMaxValid);
  EXPECT_EQ(empty.cells.GetCount(), 0);
}

TEST(Grid2DNormalize, SameCellsWithOneThreadAndWithAll)
{
  Grid2D<Float> a = RandomGrid(1003, 211, 11);
  Grid2D<Float> b;
  ASSERT_TRUE(b.CopyFrom(a).IsOk());
  a.Normalize(3.5, -1.25);
  {
    SerialScope serial;
    b.Normalize(3.5, -1.25);
  }
  for (Int i = 0; i < a.cellCount; ++i)
  {
    ASSERT_TRUE(Same(a.cells[i], b.cells[i])) << i;
    ASSERT_GE(a.cells[i], -1.25);
    ASSERT_LE(a.cells[i], 2.25);
  }
  // Plain per-cell arithmetic, as written, for a few cells.
  Grid2D<Float> c = RandomGrid(1003, 211, 11);
  c.RecomputeMinMax();
  const Float inv = 1.0 / (c.max - c.min);
  for (Int i : {Int(0), Int(1), Int(4096), c.cellCount - 1})
    EXPECT_TRUE(Same(a.cells[i], (c.cells[i] - c.min) * inv * 3.5 + -1.25)) << i;
}

TEST(Grid2DNormalize, VectorGridsOnlyReportNotImplemented)
{
  host::ResetLogs();
  Grid2D<Vector> v;
  ASSERT_TRUE(v.Init(2, 1, 1.0, 1.0).IsOk());
  v.cells[1] = Vector(5.0, 6.0, 7.0);
  v.Normalize(1.0, 0.0);
  EXPECT_EQ(host::Diagnostics().GetLast(), "Grid2D<Vector>::Normalize() not implemented yet!");
  EXPECT_TRUE(Same(v.cells[1], Vector(5.0, 6.0, 7.0)));
  host::ResetLogs();
}

// ---------------------------------------------------------------------------------------------------
// Bitmaps and text

namespace
{
struct TiffContents
{
  UInt32 width = 0, height = 0;
  UInt16 bitsPerSample = 0, samplesPerPixel = 0, sampleFormat = 0, orientation = 0;
  std::vector<Float32> values;   // row 0 first
};

// Reads a grey float TIFF through libtiff itself, as any other tool would.
Bool ReadTiff(const std::filesystem::path& path, TiffContents& out)
{
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif)
    return false;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &out.bitsPerSample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &out.samplesPerPixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &out.sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &out.orientation);
  Bool ok = out.bitsPerSample == 32 && out.samplesPerPixel == 1;
  if (ok)
  {
    std::vector<Float32> row(out.width);
    for (UInt32 y = 0; y < out.height && ok; ++y)
    {
      ok = TIFFReadScanline(tif, row.data(), y, 0) == 1;
      out.values.insert(out.values.end(), row.begin(), row.end());
    }
  }
  TIFFClose(tif);
  return ok;
}

struct BitmapGuard
{
  BaseBitmap* bmp = nullptr;
  ~BitmapGuard() { BaseBitmap::Free(bmp); }
};
} // namespace

TEST(Grid2DBitmap, SavedTiffHoldsNormalisedFloatsTopRowFirst)
{
  // Row 0: 2 4 6, row 1: 3 5 10; min 2, max 10.
  Grid2D<Float> g = MakeGrid(3, 2, {2, 4, 6, 3, 5, 10});
  Result<BaseBitmap*> res = g.ToBitmap();
  ASSERT_TRUE(res.IsOk());
  BitmapGuard guard{res.GetValue()};
  ASSERT_NE(guard.bmp, nullptr);
  // ToBitmap scales by the cells' own range but leaves the grid's range as it was.
  EXPECT_FALSE(g.minMaxValid);
  EXPECT_EQ(g.min, Grid2D<Float>::EMPTY_MIN);
  EXPECT_EQ(g.max, Grid2D<Float>::EMPTY_MAX);

  const auto path = TempTiff("heights");
  ASSERT_EQ(guard.bmp->Save(Url(path), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
  TiffContents tiff;
  ASSERT_TRUE(ReadTiff(path, tiff));
  std::filesystem::remove(path);
  EXPECT_EQ(tiff.width, 3u);
  EXPECT_EQ(tiff.height, 2u);
  EXPECT_EQ(tiff.bitsPerSample, 32);
  EXPECT_EQ(tiff.samplesPerPixel, 1);
  EXPECT_EQ(tiff.sampleFormat, SAMPLEFORMAT_IEEEFP);
  EXPECT_EQ(tiff.orientation, ORIENTATION_TOPLEFT);
  const std::vector<Float32> expected = {0.0f, 0.25f, 0.5f, 0.125f, 0.375f, 1.0f};
  EXPECT_EQ(tiff.values, expected);
}

TEST(Grid2DBitmap, ValuesFollowTheFormulaOnALargerGrid)
{
  Grid2D<Float> g = RandomGrid(129, 67, 21, 1000.0);
  Result<BaseBitmap*> res = g.ToBitmap();
  ASSERT_TRUE(res.IsOk());
  BitmapGuard guard{res.GetValue()};
  const auto path = TempTiff("random");
  ASSERT_EQ(guard.bmp->Save(Url(path), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
  TiffContents tiff;
  ASSERT_TRUE(ReadTiff(path, tiff));
  std::filesystem::remove(path);
  ASSERT_EQ(tiff.values.size(), static_cast<std::size_t>(g.cellCount));
  // The range straight from the cells (ToBitmap leaves the grid's own min/max alone).
  Float lo = g.cells[0];
  Float hi = g.cells[0];
  for (Int i = 1; i < g.cellCount; ++i)
  {
    lo = std::min(lo, g.cells[i]);
    hi = std::max(hi, g.cells[i]);
  }
  const Float inv = 1.0 / (hi - lo);
  for (Int i = 0; i < g.cellCount; ++i)
    ASSERT_EQ(tiff.values[static_cast<std::size_t>(i)], static_cast<Float32>((g.cells[i] - lo) * inv)) << i;
}

TEST(Grid2DBitmap, FlatGridGivesABlackBitmap)
{
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(4, 3, 1.0, 1.0).IsOk());
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = 42.0;
  Result<BaseBitmap*> res = g.ToBitmap();
  ASSERT_TRUE(res.IsOk());
  BitmapGuard guard{res.GetValue()};
  for (Int32 y = 0; y < 3; ++y)
    for (Int32 x = 0; x < 4; ++x)
      EXPECT_EQ(guard.bmp->GetGreyFloat(x, y), 0.0f);
}

// No bitmap can be made of an empty grid, and every failed allocation frees what was made (the
// address sanitizer reports a leak otherwise).
TEST(Grid2DBitmap, FailuresReportAndFreeTheBitmap)
{
  Grid2D<Float> empty;
  ASSERT_TRUE(empty.Init(0, 4, 1.0, 1.0).IsOk());
  Result<BaseBitmap*> res = empty.ToBitmap();
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_EQ(res.GetError().GetMessage(), "Could not initialize BaseBitmap!");

  Grid2D<Float> g = MakeGrid(2, 2, {1, 2, 3, 4});
  for (Int n : {1, 2, 3})   // the bitmap, its pixels, the row buffer
  {
    host::ScopedAllocationFailure fail(n);
    Result<BaseBitmap*> r = g.ToBitmap();
    ASSERT_TRUE(r.IsError()) << n;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << n;
  }
  Result<BaseBitmap*> ok = g.ToBitmap();
  ASSERT_TRUE(ok.IsOk());
  BitmapGuard guard{ok.GetValue()};
}

TEST(Grid2DBitmap, VectorGridsGiveClampedColours)
{
  Grid2D<Vector> v;
  ASSERT_TRUE(v.Init(3, 1, 1.0, 1.0).IsOk());
  v.cells[0] = Vector(0.5, 1.2, -1.0);
  v.cells[1] = Vector(kNaN, 0.999, 0.0);
  v.cells[2] = Vector(1.0, 0.1, 0.25);
  Result<BaseBitmap*> res = v.ToBitmap();
  ASSERT_TRUE(res.IsOk());
  BitmapGuard guard{res.GetValue()};
  EXPECT_FALSE(guard.bmp->IsGreyFloat());
  struct Pixel
  {
    UInt16 r, g, b;
  };
  const Pixel expected[] = {{127, 255, 0}, {0, 254, 0}, {255, 25, 63}};
  for (Int32 x = 0; x < 3; ++x)
  {
    UInt16 r, g, b;
    guard.bmp->GetPixel(x, 0, &r, &g, &b);
    EXPECT_EQ(r, expected[x].r) << x;
    EXPECT_EQ(g, expected[x].g) << x;
    EXPECT_EQ(b, expected[x].b) << x;
  }
}

TEST(Grid2DText, ToStringNamesTheCellType)
{
  const Grid2D<Float> f = MakeGrid(2, 1, {1, 2});
  EXPECT_EQ(f.ToString().rfind("Grid2D<Float>(", 0), 0u) << f.ToString();
  EXPECT_NE(f.ToString().find("width: 2"), std::string::npos);
  const Grid2D<Vector> v;
  EXPECT_EQ(v.ToString().rfind("Grid2D<Vector>(", 0), 0u) << v.ToString();
}
