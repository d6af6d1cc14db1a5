#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/geometry/pointindex.h"

namespace
{
struct Hit
{
  Int index;
  Float d2;
  bool operator==(const Hit&) const = default;
  bool operator<(const Hit& o) const { return index < o.index; }
};

std::vector<Hit> Hits(const BaseArray<PointIndexNearest>& found)
{
  std::vector<Hit> out;
  for (const PointIndexNearest& n : found)
    out.push_back({n.node->GetIndex(), n.squaredDistance});
  return out;
}

std::vector<Int> Indices(const BaseArray<PointIndexNearest>& found)
{
  std::vector<Int> out;
  for (const PointIndexNearest& n : found)
    out.push_back(n.node->GetIndex());
  return out;
}

// The reference: every point within the radius, by index.
std::vector<Hit> BruteForce(const std::vector<Vector>& points, const Vector& q, Float radius)
{
  std::vector<Hit> out;
  for (std::size_t i = 0; i < points.size(); ++i)
  {
    const Float d2 = (points[i] - q).GetSquaredLength();
    if (d2 <= radius * radius)
      out.push_back({static_cast<Int>(i), d2});
  }
  return out;
}

void Build(PointIndex& index, const std::vector<Vector>& points, Int threads)
{
  index.Reset();
  ASSERT_TRUE(index.Reserve(threads).IsOk());
  for (std::size_t i = 0; i < points.size(); ++i)
    ASSERT_TRUE(index.Insert(points[i], static_cast<Int>(i)).IsOk());
  index.Balance();
}

std::vector<Vector> RandomPoints(std::size_t n, UInt32 seed, Bool grid)
{
  std::mt19937 rng(seed);
  std::uniform_real_distribution<Float> u(-1.0, 1.0);
  std::vector<Vector> points;
  for (std::size_t i = 0; i < n; ++i)
  {
    if (grid)   // many equal coordinates, like the terrain's cell positions
      points.emplace_back(std::floor(u(rng) * 8.0) / 8.0, 0.0, std::floor(u(rng) * 8.0) / 8.0);
    else
      points.emplace_back(u(rng), u(rng) * 0.5, u(rng) * 2.0);
  }
  return points;
}
} // namespace

TEST(PointIndex, RadiusQueriesMatchBruteForce)
{
  for (Bool grid : {false, true})
  {
    const std::vector<Vector> points = RandomPoints(3000, grid ? 7u : 3u, grid);
    PointIndex index;
    Build(index, points, 4);
    std::mt19937 rng(11);
    std::uniform_real_distribution<Float> u(-1.5, 1.5);
    for (Float radius : {0.0, 0.01, 0.1, 0.35, 1.0, 5.0})
      for (int k = 0; k < 25; ++k)
      {
        // Some queries sit exactly on an inserted point, so radius 0 is tested with hits too.
        const Vector q = k % 5 == 0 ? points[static_cast<std::size_t>(k * 7)] : Vector(u(rng), u(rng) * 0.2, u(rng));
        for (Int thread : {0, 3})
        {
          BaseArray<PointIndexNearest> found;
          ASSERT_TRUE(index.FindInRadius(thread, q, radius, found).IsOk());
          std::vector<Hit> got = Hits(found);
          std::sort(got.begin(), got.end());
          EXPECT_EQ(got, BruteForce(points, q, radius)) << "radius " << radius << " query " << k;
          for (const PointIndexNearest& n : found)
            EXPECT_EQ(n.node->GetPoint(), points[static_cast<std::size_t>(n.node->GetIndex())]);
        }
      }
  }
}

TEST(PointIndex, ThreadIndexOutsideTheReservedStacksGivesNothing)
{
  const std::vector<Vector> points = RandomPoints(200, 5u, false);
  PointIndex index;
  Build(index, points, 3);
  EXPECT_EQ(index.GetThreadCount(), 3);
  BaseArray<PointIndexNearest> found;
  ASSERT_TRUE(found.Append(PointIndexNearest{}).IsOk());   // stale content is cleared
  for (Int thread : {-1, 3, 4, 1000})
  {
    ASSERT_TRUE(index.FindInRadius(thread, Vector(), 10.0, found).IsOk());
    EXPECT_TRUE(found.IsEmpty()) << thread;
  }
  ASSERT_TRUE(index.FindInRadius(2, Vector(), 10.0, found).IsOk());
  EXPECT_EQ(found.GetCount(), 200);

  // Without Reserve there are no stacks at all.
  PointIndex bare;
  ASSERT_TRUE(bare.Insert(Vector(), 0).IsOk());
  bare.Balance();
  ASSERT_TRUE(bare.FindInRadius(0, Vector(), 1.0, found).IsOk());
  EXPECT_TRUE(found.IsEmpty());
}

TEST(PointIndex, ConcurrentQueriesWithPerThreadStacksMatchSerialOnes)
{
  const std::vector<Vector> points = RandomPoints(5000, 9u, false);
  PointIndex index;
  Build(index, points, GetCurrentThreadCount());
  const Int queries = 4000;
  std::vector<std::vector<Hit>> parallel(static_cast<std::size_t>(queries));
  std::atomic<Int> errors{0};
  auto queryPoint = [](Int i) { return Vector(std::sin(i * 0.37), 0.1 * std::cos(i * 0.11), std::cos(i * 0.53)); };
  ASSERT_TRUE(ParallelFor(0, queries, [&](Int i) {
                BaseArray<PointIndexNearest> found;
                if (index.FindInRadius(GetCurrentThreadIndex(), queryPoint(i), 0.2, found).IsError())
                  ++errors;
                parallel[static_cast<std::size_t>(i)] = Hits(found);
              }).IsOk());
  EXPECT_EQ(errors.load(), 0);
  for (Int i = 0; i < queries; ++i)
  {
    BaseArray<PointIndexNearest> found;
    ASSERT_TRUE(index.FindInRadius(0, queryPoint(i), 0.2, found).IsOk());
    ASSERT_EQ(parallel[static_cast<std::size_t>(i)], Hits(found)) << i;   // same hits in the same order
  }
}

TEST(PointIndex, BalanceSplitsOnTheWidestAxisAtTheMedian)
{
  // Hand-worked: deviations X 68, Y 14.8, Z 0.8 -> X; sorted by X: 0, 2, 4, 3, 1; root 4 (first + 5/2).
  // Left [0, 2) (points 0, 2): Y wins (12.5 against 2), sorted 0, 2, root 2. Right (points 3, 1): X and
  // Y tie at 2 -> X, sorted 3, 1, root 1.
  const std::vector<Vector> points = {{0, 0, 0}, {10, 1, 0}, {2, 5, 0}, {8, 3, 0}, {5, 2, 1}};
  PointIndex index;
  Build(index, points, 1);
  std::vector<Int> order;
  for (Int i = 0; i < index.GetPointCount(); ++i)
    order.push_back(index.GetNodes()[i].GetIndex());
  EXPECT_EQ(order, (std::vector<Int>{0, 2, 4, 3, 1}));

  // The walk: node first, near child (right when the query coordinate is >= the node's) before far.
  BaseArray<PointIndexNearest> found;
  ASSERT_TRUE(index.FindInRadius(0, Vector(9, 0, 0), 100.0, found).IsOk());
  EXPECT_EQ(Indices(found), (std::vector<Int>{4, 1, 3, 2, 0}));
  ASSERT_TRUE(index.FindInRadius(0, Vector(1, 0, 0), 100.0, found).IsOk());
  EXPECT_EQ(Indices(found), (std::vector<Int>{4, 2, 0, 1, 3}));
  // An exactly equal coordinate counts as the right side: root X 5, then node 1 X 10.
  ASSERT_TRUE(index.FindInRadius(0, Vector(5, 0, 0), 100.0, found).IsOk());
  EXPECT_EQ(Indices(found), (std::vector<Int>{4, 1, 3, 2, 0}));
  // Pruning: radius 3.5 around (9, 0, 0) misses the root (d2 21) and skips its left side (4² > 3.5²).
  ASSERT_TRUE(index.FindInRadius(0, Vector(9, 0, 0), 3.5, found).IsOk());
  ASSERT_EQ(Hits(found), (std::vector<Hit>{{1, 2.0}, {3, 10.0}}));
}

TEST(PointIndex, AxisTiesAndEqualCoordinates)
{
  struct Case
  {
    const char* name;
    std::vector<Vector> points;
    std::vector<Int> order;   // node order after Balance
  };
  const Case cases[] = {
    // Y and Z deviations tie (2 and 2): Y wins; sorted on Y the order is 0, 1, 2 (on Z it would be 1, 2, 0).
    {"Y before Z", {{0, 0, 2}, {0, 1, 0}, {0, 2, 1}}, {0, 1, 2}},
    // X and Z tie: X wins.
    {"X before Z", {{0, 0, 2}, {1, 0, 0}, {2, 0, 1}}, {0, 1, 2}},
    // Z alone is widest.
    {"Z", {{0, 0, 2}, {0, 0, 0}, {0, 0, 1}}, {1, 2, 0}},
    // All equal: nothing to sort, insertion order stays.
    {"equal points", {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}}, {0, 1, 2, 3}},
  };
  for (const Case& c : cases)
  {
    PointIndex index;
    Build(index, c.points, 1);
    std::vector<Int> order;
    for (Int i = 0; i < index.GetPointCount(); ++i)
      order.push_back(index.GetNodes()[i].GetIndex());
    EXPECT_EQ(order, c.order) << c.name;
  }
}

TEST(PointIndex, RadiusEdgeCases)
{
  const std::vector<Vector> points = {{0, 0, 0}, {1, 0, 0}, {1, 0, 0}, {0, 0, 1e-12}};
  PointIndex index;
  Build(index, points, 1);
  BaseArray<PointIndexNearest> found;

  // Radius 0: exactly the points at the query position.
  ASSERT_TRUE(index.FindInRadius(0, Vector(1, 0, 0), 0.0, found).IsOk());
  std::vector<Int> got = Indices(found);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<Int>{1, 2}));

  // A huge radius is capped but still takes everything.
  ASSERT_TRUE(index.FindInRadius(0, Vector(), 1e300, found).IsOk());
  EXPECT_EQ(found.GetCount(), 4);

  // A negative or NaN radius encloses nothing.
  for (Float r : {-1.0, std::nan("")})
  {
    ASSERT_TRUE(index.FindInRadius(0, Vector(), r, found).IsOk());
    EXPECT_TRUE(found.IsEmpty());
  }

  // An empty index answers nothing.
  PointIndex empty;
  ASSERT_TRUE(empty.Reserve(1).IsOk());
  ASSERT_TRUE(empty.FindInRadius(0, Vector(), 1.0, found).IsOk());
  EXPECT_TRUE(found.IsEmpty());
}

TEST(PointIndex, QueriesNeedBalanceAfterInsert)
{
  PointIndex index;
  Build(index, {{0, 0, 0}}, 1);
  ASSERT_TRUE(index.Insert(Vector(1, 0, 0), 1).IsOk());
  EXPECT_FALSE(index.IsBalanced());
  BaseArray<PointIndexNearest> found;
  const Result<void> r = index.FindInRadius(0, Vector(), 10.0, found);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
  EXPECT_EQ(r.GetError().GetMessage(), "PointIndex is not balanced!");
  index.Balance();
  ASSERT_TRUE(index.FindInRadius(0, Vector(), 10.0, found).IsOk());
  EXPECT_EQ(found.GetCount(), 2);

  // Reset empties it, stacks included.
  index.Reset();
  EXPECT_EQ(index.GetPointCount(), 0);
  EXPECT_EQ(index.GetThreadCount(), 0);
}

TEST(PointIndex, AllocationFailuresAreReported)
{
  PointIndex index;
  {
    host::ScopedAllocationFailure fail(1);
    const Result<void> r = index.Reserve(4);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(index.GetThreadCount(), 0);
  {
    host::ScopedAllocationFailure fail(1);
    const Result<void> r = index.Insert(Vector(), 0);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(index.GetPointCount(), 0);
  const Result<void> negative = index.Reserve(-1);
  ASSERT_TRUE(negative.IsError());
  EXPECT_EQ(negative.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
}

namespace
{
// Cell positions of a terrain grid (columns along X, rows along -Z), with many equal coordinates.
std::vector<Vector> GridPoints(Int columns, Int rows)
{
  std::vector<Vector> points;
  for (Int i = 0; i < columns * rows; ++i)
    points.emplace_back(Float(i % columns) / Float(columns - 1) * 1000.0 - 500.0, 0.0,
                        500.0 - Float(i / columns) / Float(rows - 1) * 700.0);
  return points;
}

std::vector<Int> NodeOrder(const PointIndex& index)
{
  std::vector<Int> order;
  for (Int i = 0; i < index.GetPointCount(); ++i)
    order.push_back(index.GetNodes()[i].GetIndex());
  return order;
}

// The tree invariant the walk relies on, checked range by range: on the node's axis no point of the
// left range lies above the node and no point of the right range below it.
void ExpectValidTree(const PointIndex& index)
{
  const PointIndexNode* nodes = index.GetNodes();
  std::vector<std::pair<Int, Int>> todo;
  if (index.GetPointCount() > 1)
    todo.emplace_back(0, index.GetPointCount());
  auto axisOf = [](const Vector& v, Int a) { return a == 0 ? v.x : (a == 1 ? v.y : v.z); };
  while (!todo.empty())
  {
    const auto [first, count] = todo.back();
    todo.pop_back();
    const Int at = first + count / 2;
    // The axis is not exposed; the one under which the invariant holds is the node's (a wrong axis
    // would show as a missed point in the brute-force comparisons).
    Bool ok = false;
    for (Int a = 0; a < 3 && !ok; ++a)
    {
      const Float key = axisOf(nodes[at].GetPoint(), a);
      ok = true;
      for (Int i = first; i < at && ok; ++i)
        ok = !(axisOf(nodes[i].GetPoint(), a) > key);
      for (Int i = at + 1; i < first + count && ok; ++i)
        ok = !(axisOf(nodes[i].GetPoint(), a) < key);
    }
    ASSERT_TRUE(ok) << "range " << first << " + " << count;
    if (count / 2 > 1)
      todo.emplace_back(first, count / 2);
    if (count - count / 2 - 1 > 1)
      todo.emplace_back(at + 1, count - count / 2 - 1);
  }
}
} // namespace

// Large enough that the root ranges take their sums in blocks on several threads and the subtrees are
// built side by side.
TEST(PointIndex, LargeGridMatchesBruteForceAndIsTheSameOnOneThread)
{
  const std::vector<Vector> points = GridPoints(313, 241);
  PointIndex index;
  ASSERT_TRUE(index.Reserve(2).IsOk());
  ASSERT_TRUE(index.InsertRange(static_cast<Int>(points.size()), 0, [&](Int i) { return points[std::size_t(i)]; }).IsOk());
  index.Balance();
  ExpectValidTree(index);

  std::mt19937 rng(5);
  std::uniform_real_distribution<Float> u(-520.0, 520.0);
  for (Float radius : {0.0, 1.5, 3.2, 17.0, 60.0})
    for (int k = 0; k < 12; ++k)
    {
      // Every fourth query sits on a cell (exact ties at the radius edge and at split coordinates).
      const Vector q = k % 4 == 0 ? points[std::size_t(k * 997) % points.size()] : Vector(u(rng), 0.25 * k, u(rng) * 0.7);
      BaseArray<PointIndexNearest> found;
      ASSERT_TRUE(index.FindInRadius(1, q, radius, found).IsOk());
      std::vector<Hit> got = Hits(found);
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, BruteForce(points, q, radius)) << "radius " << radius << " query " << k;
    }

  host::SetParallelEnabled(false);
  PointIndex serial;
  Build(serial, points, 1);
  host::SetParallelEnabled(true);
  EXPECT_EQ(NodeOrder(serial), NodeOrder(index));
}

TEST(PointIndex, InsertRangeAddsWhatSingleInsertsAdd)
{
  const std::vector<Vector> points = RandomPoints(20000, 17u, true);
  PointIndex single;
  Build(single, points, 1);
  PointIndex ranged;
  ASSERT_TRUE(ranged.Reserve(1).IsOk());
  ASSERT_TRUE(ranged.Insert(points[0], 0).IsOk());
  ASSERT_TRUE(ranged.InsertRange(static_cast<Int>(points.size()) - 1, 1, [&](Int k) { return points[std::size_t(k + 1)]; }).IsOk());
  ASSERT_TRUE(ranged.InsertRange(0, 5, [](Int) { return Vector(); }).IsOk());
  EXPECT_FALSE(ranged.IsBalanced());
  ranged.Balance();
  ASSERT_EQ(ranged.GetPointCount(), single.GetPointCount());
  for (Int i = 0; i < single.GetPointCount(); ++i)
  {
    ASSERT_EQ(ranged.GetNodes()[i].GetIndex(), single.GetNodes()[i].GetIndex()) << i;
    ASSERT_EQ(ranged.GetNodes()[i].GetPoint(), single.GetNodes()[i].GetPoint()) << i;
  }

  const Result<void> negative = ranged.InsertRange(-1, 0, [](Int) { return Vector(); });
  ASSERT_TRUE(negative.IsError());
  EXPECT_EQ(negative.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  {
    host::ScopedAllocationFailure fail(1);
    const Result<void> r = ranged.InsertRange(10, 0, [](Int) { return Vector(); });
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(ranged.GetPointCount(), single.GetPointCount());
  EXPECT_TRUE(ranged.IsBalanced());
}

// NaN coordinates have a place of their own (after every number), so the split stays well defined; a
// point with a NaN coordinate is never within any radius.
TEST(PointIndex, NonFiniteCoordinatesKeepTheTreeValid)
{
  std::vector<Vector> points = RandomPoints(4000, 23u, false);
  const Float nan = std::nan("");
  const Float inf = std::numeric_limits<Float>::infinity();
  for (std::size_t i = 0; i < points.size(); i += 7)
    points[i] = i % 3 == 0 ? Vector(nan, points[i].y, points[i].z) : Vector(points[i].x, i % 2 ? inf : -inf, nan);
  PointIndex index;
  Build(index, points, 1);
  std::mt19937 rng(29);
  std::uniform_real_distribution<Float> u(-1.2, 1.2);
  for (Float radius : {0.05, 0.3, 2.0})
    for (int k = 0; k < 20; ++k)
    {
      const Vector q(u(rng), u(rng) * 0.5, u(rng) * 2.0);
      BaseArray<PointIndexNearest> found;
      ASSERT_TRUE(index.FindInRadius(0, q, radius, found).IsOk());
      std::vector<Hit> got = Hits(found);
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, BruteForce(points, q, radius)) << "radius " << radius << " query " << k;
    }
}
