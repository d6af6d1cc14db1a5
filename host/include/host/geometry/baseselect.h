// BaseSelect: a set of element indices (points, polygons ...) kept as sorted, disjoint, non-touching
// ranges, as the host's selections are. Growing the set can fail (host allocation); the calls that
// grow it answer false then and leave the set as it was.
#pragma once

#include <utility>
#include <vector>

#include "host/core/types.h"

class BaseSelect
{
public:
  BaseSelect() = default;

  // Number of selected elements.
  Int32 GetCount() const;
  // Number of ranges (runs of consecutive selected elements).
  Int32 GetSegments() const { return static_cast<Int32>(_ranges.size()); }
  // The seg-th range, first and last element inclusive; false for a segment outside [0, GetSegments()).
  Bool GetRange(Int32 seg, Int32& first, Int32& last) const;
  // The highest selected element, -1 when nothing is selected.
  Int32 GetLastElement() const { return _ranges.empty() ? -1 : _ranges.back().second; }

  Bool IsSelected(Int32 num) const;

  // Each answers false for a negative element or when memory cannot be had (nothing changes then).
  Bool Select(Int32 num);
  // Selects first .. last (inclusive); an empty range (last < first) changes nothing and succeeds.
  Bool SelectRange(Int32 first, Int32 last);
  // Selects 0 .. max (inclusive), keeping what is selected already.
  Bool SelectAll(Int32 max) { return max < 0 ? true : SelectRange(0, max); }
  Bool Deselect(Int32 num);
  Bool DeselectAll();
  Bool Toggle(Int32 num);
  // Toggles every element of first .. last (inclusive).
  Bool ToggleAll(Int32 first, Int32 last);

  // Makes dest hold exactly this selection; false when dest is null or memory cannot be had (dest
  // keeps what it held).
  Bool CopyTo(BaseSelect* dest) const;
  Bool IsEqual(const BaseSelect& other) const { return _ranges == other._ranges; }

private:
  // Replaces the ranges with next after a host allocation check (false: nothing changes).
  Bool Commit(std::vector<std::pair<Int32, Int32>>&& next);

  std::vector<std::pair<Int32, Int32>> _ranges;   // [first, last], sorted, gaps of at least one
};
