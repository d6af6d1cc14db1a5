#include "host/geometry/pointindex.h"

#include <algorithm>
#include <array>
#include <new>

namespace
{
// Every range on the walk's stack lies on the path from the root to the node being taken, one far
// sibling per level plus the near child; a median split halves the count per level, so an Int-sized
// index is at most 64 levels deep.
constexpr Int STACK_CAPACITY = 2 * 64 + 4;

// The split-axis sums go over blocks of a range, added in block order: the same sums whether the
// blocks run on one thread or on many. A range of up to SUM_BLOCK points is one block; a longer one is
// cut into at most SUM_BLOCKS_MAX blocks.
constexpr Int SUM_BLOCK = Int(1) << 15;
constexpr Int SUM_BLOCKS_MAX = 256;
// Near the root, ranges are split level by level (each wide range's sums on all threads); once a level
// holds this many ranges, each of them is built as a whole subtree, the subtrees side by side.
constexpr Int SUBTREE_TASKS = 64;

Float Axis(const Vector& v, Int32 axis)
{
  return axis == 0 ? v.x : (axis == 1 ? v.y : v.z);
}

template <typename Term>
Vector BlockedSum(const PointIndexNode* nodes, Int count, Term&& term)
{
  const Int blocks = std::clamp<Int>((count + SUM_BLOCK - 1) / SUM_BLOCK, 1, SUM_BLOCKS_MAX);
  auto blockSum = [&](Int b) {
    Vector sum;
    const Int end = count * (b + 1) / blocks;
    for (Int i = count * b / blocks; i < end; ++i)
      sum += term(nodes[i].GetPoint());
    return sum;
  };
  if (blocks == 1)
    return blockSum(0);
  std::array<Vector, SUM_BLOCKS_MAX> partial;
  (void)ParallelFor(0, blocks, [&](Int b) { partial[static_cast<std::size_t>(b)] = blockSum(b); }, 0, 1);
  Vector sum;
  for (Int b = 0; b < blocks; ++b)
    sum += partial[static_cast<std::size_t>(b)];
  return sum;
}

Int32 SplitAxis(const PointIndexNode* nodes, Int count)
{
  const Vector mean = BlockedSum(nodes, count, [](const Vector& p) { return p; }) / static_cast<Float>(count);
  const Vector dev = BlockedSum(nodes, count, [&mean](const Vector& p) {
    const Vector d = p - mean;
    return Vector(d.x * d.x, d.y * d.y, d.z * d.z);
  });
  if (dev.x >= dev.y && dev.x >= dev.z)
    return 0;
  return dev.y >= dev.z ? 1 : 2;
}

// The order of points along one axis: by coordinate, then by insertion index, a NaN coordinate after
// every number. A total order, so the selection is well defined for any input and every point has one
// place.
template <Int32 AXIS>
struct KeyLess
{
  static Float Key(const PointIndexNode& n)
  {
    if constexpr (AXIS == 0)
      return n.GetPoint().x;
    else if constexpr (AXIS == 1)
      return n.GetPoint().y;
    else
      return n.GetPoint().z;
  }
  bool operator()(const PointIndexNode& a, const PointIndexNode& b) const
  {
    const Float ka = Key(a);
    const Float kb = Key(b);
    if (ka < kb)
      return true;
    if (ka == kb)
      return a.GetIndex() < b.GetIndex();
    if (kb < ka)
      return false;
    // A NaN on one side or both.
    return ka != ka ? kb != kb && a.GetIndex() < b.GetIndex() : true;
  }
};

template <Int32 AXIS>
void SelectMedian(PointIndexNode* first, Int count)
{
  std::nth_element(first, first + count / 2, first + count, KeyLess<AXIS>());
}
} // namespace

struct PointIndex::Range
{
  Int first;
  Int count;
};

struct alignas(64) PointIndex::Stack
{
  Range ranges[STACK_CAPACITY];
};

PointIndex::PointIndex() = default;
PointIndex::~PointIndex() = default;

void PointIndex::Reset()
{
  _nodes.Reset();
  _stacks.reset();
  _stackCount = 0;
  _balanced = true;
}

Result<void> PointIndex::Reserve(Int threadCount)
{
  if (threadCount < 0)
    return IllegalArgumentError("PointIndex::Reserve() needs a thread count of at least 0!");
  if (threadCount > 0 && host::AllocationShouldFail())
    return OutOfMemoryError("Could not allocate PointIndex search stacks!");
  std::unique_ptr<Stack[]> stacks;
  if (threadCount > 0)
  {
    stacks.reset(new (std::nothrow) Stack[static_cast<std::size_t>(threadCount)]);
    if (!stacks)
      return OutOfMemoryError("Could not allocate PointIndex search stacks!");
  }
  _stacks = std::move(stacks);
  _stackCount = threadCount;
  return OK;
}

Result<void> PointIndex::Insert(const Vector& point, Int index)
{
  HOST_TRY(_nodes.Append(PointIndexNode(point, index)));
  _balanced = false;
  return OK;
}

void PointIndex::SplitRange(PointIndexNode* nodes, Range range)
{
  PointIndexNode* first = nodes + range.first;
  const Int32 axis = SplitAxis(first, range.count);
  // Only the node's place matters: the selection puts there the point a sort would, with the smaller
  // ones before it and the larger ones after it (in no order; their own splits place them).
  switch (axis)
  {
    case 0: SelectMedian<0>(first, range.count); break;
    case 1: SelectMedian<1>(first, range.count); break;
    default: SelectMedian<2>(first, range.count); break;
  }
  first[range.count / 2]._axis = axis;
}

void PointIndex::BalanceSubtree(PointIndexNode* nodes, Range range)
{
  // Iterative over a fixed stack (one pending sibling per level, as in the query), so it needs no
  // memory; ranges of 0 or 1 points need no work.
  Range todo[STACK_CAPACITY];
  Int top = 0;
  if (range.count > 1)
    todo[top++] = range;
  while (top > 0)
  {
    const Range r = todo[--top];
    SplitRange(nodes, r);
    const Int half = r.count / 2;
    if (half > 1)
      todo[top++] = {r.first, half};
    if (r.count - half - 1 > 1)
      todo[top++] = {r.first + half + 1, r.count - half - 1};
  }
}

void PointIndex::Balance()
{
  PointIndexNode* nodes = _nodes.GetFirst();
  // The levels near the root, one after another: every range of a level splits on its own thread (the
  // root's and other wide ranges' sums spread over all threads), and their halves make the next level.
  // A level holds at most twice as many ranges as the one before, so the buffers stay small.
  std::array<Range, 2 * SUBTREE_TASKS> level;
  std::array<Range, 2 * SUBTREE_TASKS> next;
  Int levelCount = 0;
  if (_nodes.GetCount() > 1)
    level[levelCount++] = {0, _nodes.GetCount()};
  while (levelCount > 0 && levelCount < SUBTREE_TASKS)
  {
    (void)ParallelFor(0, levelCount, [&](Int r) { SplitRange(nodes, level[static_cast<std::size_t>(r)]); }, 0, 1);
    Int nextCount = 0;
    for (Int r = 0; r < levelCount; ++r)
    {
      const Range range = level[static_cast<std::size_t>(r)];
      const Int half = range.count / 2;
      if (half > 1)
        next[static_cast<std::size_t>(nextCount++)] = {range.first, half};
      if (range.count - half - 1 > 1)
        next[static_cast<std::size_t>(nextCount++)] = {range.first + half + 1, range.count - half - 1};
    }
    level = next;
    levelCount = nextCount;
  }
  // Below: whole subtrees, independent of each other.
  (void)ParallelFor(0, levelCount, [&](Int r) { BalanceSubtree(nodes, level[static_cast<std::size_t>(r)]); }, 0, 1);
  _balanced = true;
}

Result<void> PointIndex::FindInRadius(Int threadIndex, const Vector& point, Float radius,
                                      BaseArray<PointIndexNearest>& results) const
{
  results.Flush();
  if (!_balanced)
    return IllegalStateError("PointIndex is not balanced!");
  // A negative or NaN radius encloses nothing; the cap keeps radius² finite.
  if (threadIndex < 0 || threadIndex >= _stackCount || !(radius >= 0.0) || _nodes.IsEmpty())
    return OK;
  const Float r = std::min(radius, MAX_RADIUS);
  const Float r2 = r * r;

  const PointIndexNode* nodes = _nodes.GetFirst();
  Range* stack = _stacks[static_cast<std::size_t>(threadIndex)].ranges;
  Int top = 0;
  Int found = 0;
  stack[top++] = {0, _nodes.GetCount()};
  while (top > 0)
  {
    const Range range = stack[--top];
    const Int half = range.count / 2;
    const Int at = range.first + half;
    const PointIndexNode& node = nodes[at];
    const Float d2 = (node._point - point).GetSquaredLength();
    if (d2 <= r2)
    {
      // The list grows by doubling and is trimmed at the end: the host's growth check is a shared
      // atomic counter, too costly to touch for every hit while all threads query at once.
      if (found == results.GetCount())
      {
        if (Result<void> grown = results.Resize(std::max<Int>(16, 2 * found)); grown.IsError())
        {
          results.Flush();
          return grown;
        }
      }
      results[found++] = PointIndexNearest{&node, d2};
    }
    if (range.count == 1)
      continue;
    const Range left{range.first, half};
    const Range right{at + 1, range.count - half - 1};
    const Float diff = Axis(point, node._axis) - Axis(node._point, node._axis);
    const Bool nearIsRight = diff >= 0.0;
    const Range& nearRange = nearIsRight ? right : left;
    const Range& farRange = nearIsRight ? left : right;
    // Pushed far first, so the near subtree is taken next.
    if (farRange.count > 0 && diff * diff <= r2)
      stack[top++] = farRange;
    if (nearRange.count > 0)
      stack[top++] = nearRange;
  }
  return results.Resize(found);   // shrinking: no allocation
}
