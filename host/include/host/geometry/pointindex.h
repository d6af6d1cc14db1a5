// PointIndex: the host's k-d tree over 3-D points, each point carrying an Int index.
//
// Use: Reset, Reserve(thread count), Insert every point (one by one, or many at once with InsertRange),
// Balance, then FindInRadius from any number of threads at once, each passing its own thread index.
//
// Balance builds the tree in place over the inserted points: a range of one point is a leaf; a longer
// range splits on the axis with the largest sum of squared deviations from the range's mean (X wins
// ties with Y or Z, then Y), and the point that sorting the range on that axis would put at
// first + count/2 becomes the node: the count/2 points before it form the left subtree, the rest the
// right one. Points are ordered by their coordinate on the axis, then by their insertion index (a NaN
// coordinate after every number), so the split never depends on how earlier splits arranged a range.
// The range is not sorted, only split around that point (a selection), and the tree is implicit in
// the array. The ranges near the root split one after another with their sums taken on all threads;
// below, whole subtrees are built on the threads side by side. The sums go over fixed blocks of a
// range, so the tree is the same with any thread count; Balance needs no memory and cannot fail.
//
// FindInRadius reports every point whose squared distance to the query point is at most radius²
// (radius capped at 1e100) in the order of an iterative depth-first walk from the root: a node is
// tested when it is taken from the stack; then its far child is pushed (only when the squared
// difference on the node's axis is at most radius²) and its near child after it (the right child when
// the query coordinate on the node's axis is at least the node's, else the left), so the near subtree
// is walked first. The list is not sorted.
//
// Threads: Reserve(n) makes n search stacks, one per thread index; a query uses the stack of the
// index it is given, so queries with different indices may run at once on a balanced index (two
// queries with the same index must not). A thread index outside [0, n) gives an empty list. The result
// list grows by doubling, so a query touches the host's shared allocation counter only a few times.
// Reset, Reserve, Insert, InsertRange and Balance are for one thread while no query runs.
#pragma once

#include <algorithm>
#include <memory>

#include "host/core/basearray.h"
#include "host/core/parallel.h"
#include "host/core/result.h"
#include "host/core/types.h"

// One point of the index: its position and the index it was inserted with. Pointers to nodes (the
// query results) stay valid until the next Reset, Insert or Balance.
class PointIndexNode
{
public:
  const Vector& GetPoint() const { return _point; }
  Int GetIndex() const { return _index; }

  PointIndexNode() = default;
  PointIndexNode(const Vector& point, Int index) : _point(point), _index(index) {}

private:
  friend class PointIndex;
  Vector _point;
  Int _index = 0;
  Int32 _axis = 0;   // split axis of the node (0 X, 1 Y, 2 Z); set by Balance
};

// InsertRange writes every node it adds, on all threads; the array need not construct them first.
template <>
struct host::LeaveUnwritten<PointIndexNode> : std::true_type
{
};

// One result of a radius query: the node found and its squared distance to the query point.
struct PointIndexNearest
{
  const PointIndexNode* node = nullptr;
  Float squaredDistance = 0.0;
};

class PointIndex
{
public:
  // The cap applied to a query radius.
  static constexpr Float MAX_RADIUS = 1e100;

  PointIndex();
  ~PointIndex();
  PointIndex(const PointIndex&) = delete;
  PointIndex& operator=(const PointIndex&) = delete;

  // Frees the points and the search stacks; the index is empty, unbalanced and has no stacks.
  void Reset();
  // Makes threadCount search stacks (replacing the old ones). Out-of-memory error when they cannot be
  // had; illegal-argument error for a negative count.
  Result<void> Reserve(Int threadCount);
  // Adds a point; the index needs Balance again before it answers queries. Out-of-memory error when
  // the point cannot be stored.
  Result<void> Insert(const Vector& point, Int index);
  // Adds count points as count Inserts would, point k at positionOf(k) (called once per k, from several
  // threads at once) with the index firstIndex + k. Out-of-memory error, with nothing added, when the
  // points cannot be stored; illegal-argument error for a negative count.
  template <typename PositionOf>
  Result<void> InsertRange(Int count, Int firstIndex, PositionOf&& positionOf);
  // Builds the tree over every inserted point (see the header comment).
  void Balance();

  // Empties results, then appends every point within radius of point (see the header comment). A
  // thread index outside the reserved range, a negative or NaN radius, or an empty index give an empty
  // list. Errors: the index was changed since the last Balance (illegal state, "PointIndex is not
  // balanced!"), or the list cannot grow (out of memory).
  Result<void> FindInRadius(Int threadIndex, const Vector& point, Float radius,
                            BaseArray<PointIndexNearest>& results) const;

  Int GetPointCount() const { return _nodes.GetCount(); }
  // The nodes in tree order (valid after Balance): the root of a range [first, first + count) is at
  // first + count/2.
  const PointIndexNode* GetNodes() const { return _nodes.GetFirst(); }
  Bool IsBalanced() const { return _balanced; }
  // Number of search stacks made by the last Reserve.
  Int GetThreadCount() const { return _stackCount; }

private:
  struct Stack;
  struct Range;
  // Splits one range around its node (axis, selection); the halves are left for the caller.
  static void SplitRange(PointIndexNode* nodes, Range range);
  // Splits the range and every range below it.
  static void BalanceSubtree(PointIndexNode* nodes, Range range);

  BaseArray<PointIndexNode> _nodes;
  std::unique_ptr<Stack[]> _stacks;
  Int _stackCount = 0;
  Bool _balanced = true;   // an empty index is trivially balanced
};

template <typename PositionOf>
Result<void> PointIndex::InsertRange(Int count, Int firstIndex, PositionOf&& positionOf)
{
  if (count < 0)
    return IllegalArgumentError("PointIndex::InsertRange() needs a count of at least 0!");
  if (count == 0)
    return OK;
  const Int old = _nodes.GetCount();
  HOST_TRY(_nodes.ResizeDefault(old + count));
  _balanced = false;
  // Blocks of points on all threads: each point is written once, so the thread count changes nothing.
  constexpr Int BLOCK = 4096;
  PointIndexNode* out = _nodes.GetFirst() + old;
  return ParallelFor(
    0, (count + BLOCK - 1) / BLOCK,
    [&](Int block) {
      const Int end = std::min(count, (block + 1) * BLOCK);
      for (Int k = block * BLOCK; k < end; ++k)
        ::new (static_cast<void*>(out + k)) PointIndexNode(positionOf(k), firstIndex + k);
    },
    count <= BLOCK ? 1 : 0, 1);
}
