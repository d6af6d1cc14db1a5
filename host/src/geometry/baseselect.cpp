#include "host/geometry/baseselect.h"

#include <algorithm>
#include <new>

#include "host/core/alloc.h"

namespace
{
using Ranges = std::vector<std::pair<Int32, Int32>>;

// Adds [a, b] to sorted disjoint ranges, merging with ranges it overlaps or touches.
Ranges AddRange(const Ranges& in, Int32 a, Int32 b)
{
  Ranges out;
  out.reserve(in.size() + 1);
  std::size_t i = 0;
  // Int arithmetic: b + 1 must not overflow for b = INT32_MAX.
  while (i < in.size() && static_cast<Int>(in[i].second) + 1 < a)
    out.push_back(in[i++]);
  Int32 lo = a;
  Int32 hi = b;
  while (i < in.size() && in[i].first <= static_cast<Int>(b) + 1)
  {
    lo = std::min(lo, in[i].first);
    hi = std::max(hi, in[i].second);
    ++i;
  }
  out.emplace_back(lo, hi);
  while (i < in.size())
    out.push_back(in[i++]);
  return out;
}

// Removes [a, b] from sorted disjoint ranges.
Ranges RemoveRange(const Ranges& in, Int32 a, Int32 b)
{
  Ranges out;
  out.reserve(in.size() + 1);
  for (const auto& r : in)
  {
    if (r.second < a || r.first > b)
    {
      out.push_back(r);
      continue;
    }
    if (r.first < a)
      out.emplace_back(r.first, a - 1);
    if (r.second > b)
      out.emplace_back(b + 1, r.second);
  }
  return out;
}
} // namespace

Int32 BaseSelect::GetCount() const
{
  Int n = 0;
  for (const auto& r : _ranges)
    n += static_cast<Int>(r.second) - r.first + 1;
  return static_cast<Int32>(n);
}

Bool BaseSelect::GetRange(Int32 seg, Int32& first, Int32& last) const
{
  if (seg < 0 || seg >= GetSegments())
    return false;
  first = _ranges[static_cast<std::size_t>(seg)].first;
  last = _ranges[static_cast<std::size_t>(seg)].second;
  return true;
}

Bool BaseSelect::IsSelected(Int32 num) const
{
  auto it = std::upper_bound(_ranges.begin(), _ranges.end(), num,
                             [](Int32 v, const std::pair<Int32, Int32>& r) { return v < r.first; });
  if (it == _ranges.begin())
    return false;
  --it;
  return num <= it->second;
}

Bool BaseSelect::Commit(Ranges&& next)
{
  if (next.size() > _ranges.size() && host::AllocationShouldFail())
    return false;
  _ranges = std::move(next);
  return true;
}

Bool BaseSelect::Select(Int32 num)
{
  return SelectRange(num, num);
}

Bool BaseSelect::SelectRange(Int32 first, Int32 last)
{
  if (first < 0)
    return false;
  if (last < first)
    return true;
  try
  {
    return Commit(AddRange(_ranges, first, last));
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
}

Bool BaseSelect::Deselect(Int32 num)
{
  if (num < 0)
    return false;
  try
  {
    return Commit(RemoveRange(_ranges, num, num));
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
}

Bool BaseSelect::DeselectAll()
{
  _ranges.clear();
  return true;
}

Bool BaseSelect::Toggle(Int32 num)
{
  if (num < 0)
    return false;
  return IsSelected(num) ? Deselect(num) : Select(num);
}

Bool BaseSelect::ToggleAll(Int32 first, Int32 last)
{
  if (first < 0)
    return false;
  if (last < first)
    return true;
  try
  {
    // The gaps of the selection inside [first, last] become the new selection there.
    Ranges gaps;
    Int from = first;   // first element not yet covered (Int: r.second + 1 may pass INT32_MAX)
    for (const auto& r : _ranges)
    {
      if (r.second < first || r.first > last)
        continue;
      if (r.first > from)
        gaps.emplace_back(static_cast<Int32>(from), r.first - 1);
      from = static_cast<Int>(r.second) + 1;
    }
    if (from <= last)
      gaps.emplace_back(static_cast<Int32>(from), last);
    Ranges next = RemoveRange(_ranges, first, last);
    for (const auto& r : gaps)
      next = AddRange(next, r.first, r.second);
    return Commit(std::move(next));
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
}

Bool BaseSelect::CopyTo(BaseSelect* dest) const
{
  if (!dest)
    return false;
  if (dest == this)
    return true;
  if (host::AllocationShouldFail())
    return false;
  try
  {
    dest->_ranges = _ranges;
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  return true;
}
