#include "host/geometry/pointindex.h"

#include <algorithm>
#include <new>

namespace
{
// A range [first, first + count) of the tree array: one subtree.
struct Range
{
  Int first;
  Int count;
};

// Every range on the walk's stack lies on the path from the root to the node being taken, one far
// sibling per level plus the near child; a median split halves the count per level, so an Int-sized
// index is at most 64 levels deep.
constexpr Int STACK_CAPACITY = 2 * 64 + 4;

Float Axis(const Vector& v, Int32 axis)
{
  return axis == 0 ? v.x : (axis == 1 ? v.y : v.z);
}

Int32 SplitAxis(const PointIndexNode* nodes, Int count)
{
  Vector mean;
  for (Int i = 0; i < count; ++i)
    mean += nodes[i].GetPoint();
  mean = mean / static_cast<Float>(count);
  Vector dev;
  for (Int i = 0; i < count; ++i)
  {
    const Vector d = nodes[i].GetPoint() - mean;
    dev += Vector(d.x * d.x, d.y * d.y, d.z * d.z);
  }
  if (dev.x >= dev.y && dev.x >= dev.z)
    return 0;
  return dev.y >= dev.z ? 1 : 2;
}
} // namespace

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

void PointIndex::Balance()
{
  // Iterative over a fixed stack (one pending sibling per level, as in the query), so Balance needs no
  // memory; ranges of 0 or 1 points need no work. The stable sort degrades to an in-place merge when
  // it gets no buffer.
  Range todo[STACK_CAPACITY];
  Int top = 0;
  if (_nodes.GetCount() > 1)
    todo[top++] = {0, _nodes.GetCount()};
  PointIndexNode* nodes = _nodes.GetFirst();
  while (top > 0)
  {
    const Range r = todo[--top];
    PointIndexNode* first = nodes + r.first;
    const Int32 axis = SplitAxis(first, r.count);
    std::stable_sort(first, first + r.count, [axis](const PointIndexNode& a, const PointIndexNode& b) {
      return Axis(a._point, axis) < Axis(b._point, axis);
    });
    const Int half = r.count / 2;
    first[half]._axis = axis;
    if (half > 1)
      todo[top++] = {r.first, half};
    if (r.count - half - 1 > 1)
      todo[top++] = {r.first + half + 1, r.count - half - 1};
  }
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
