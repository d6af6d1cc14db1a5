// The module's parallel-loop convention, as small helpers every per-cell or per-row loop uses.
//
// A loop is the host's ParallelFor from 0 over a cell or row count with granularity 16. It asks for one
// thread when its input is small (ThreadsFor) and for all threads otherwise. A loop that was handed the
// rebuild's thread tests, before the work of index i, for a break on the indices where i AND mask is
// non-zero, and then ends with the unexpected error "<name> cancelled!" carrying the loop's own source
// location. A null thread means the loop makes no break test. Bodies write only their own cells or rows.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <source_location>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define OGX_HAVE_STREAM_STORES 1
#endif

#include "host/core/parallel.h"
#include "host/core/result.h"
#include "host/core/thread.h"

namespace OGX
{
// Thread counts handed to ParallelFor.
inline constexpr Int LOOP_ALLTHREADS = 0;
inline constexpr Int LOOP_ONETHREAD = 1;
inline constexpr Int LOOP_GRANULARITY = 16;

// Item counts up to which a loop stays on the calling thread, where the job system's start-up would
// cost more than the work.
inline constexpr Int LOOP_SERIAL_ITEMS = 10000;            // most cell and point loops
inline constexpr Int LOOP_SERIAL_QUANTIZE_CELLS = 20000;   // the quantize operator
inline constexpr Int LOOP_SERIAL_BLUR_ROWS = 500;          // box-blur and separable sharpen row passes
inline constexpr Int LOOP_SERIAL_HULL_POINTS = 1000;       // the hull's ring

// Break masks. Deliberately 999 and 3999 used as bit masks, not 1000 and 4000 as remainders: the test
// is skipped only where every set bit of the mask is clear in the index (0, 8, 16, ... for 999;
// 0, 32, 64, ... for 3999) and made everywhere else.
inline constexpr Int BREAKMASK_ROWS = 999;
inline constexpr Int BREAKMASK_CELLS = 3999;

// 1 (the calling thread) when count <= threshold, else 0 (all threads).
constexpr Int ThreadsFor(Int count, Int threshold)
{
  return count <= threshold ? LOOP_ONETHREAD : LOOP_ALLTHREADS;
}

// True when the loop must stop at this index. The host is asked only when the mask selects the index
// and a thread was given.
inline Bool LoopBreakRequested(Int index, Int mask, const HostThread* thread)
{
  return (index & mask) != 0 && thread != nullptr && thread->TestBreak();
}

// "<loopName> cancelled!", located where the loop is (the default argument is evaluated at the caller).
inline Error LoopCancelledError(const char* loopName, std::source_location location = std::source_location::current())
{
  return UnexpectedError(String(loopName) + " cancelled!", location);
}

// The break test as one line of a loop body:
//   HOST_TRY(OGX::TestLoopBreak(i, OGX::BREAKMASK_CELLS, thread, "Curve operator"));
inline Result<void> TestLoopBreak(Int index, Int mask, const HostThread* thread, const char* loopName,
                                  std::source_location location = std::source_location::current())
{
  if (LoopBreakRequested(index, mask, thread))
    return LoopCancelledError(loopName, location);
  return OK;
}

// Cells per block of ParallelForBlocks: large enough that the per-index cost of the host loop
// vanishes against the work, small enough (8 KiB of doubles) that workers still balance.
inline constexpr Int LOOP_CELLBLOCK = 1024;

// A per-cell loop written over blocks: the host loop runs over the blocks of [from, to) (granularity
// blocks taken per grab) and body(begin, end) handles the cells of one block in increasing order.
// Every cell is handled exactly once and, with one thread, in increasing order, so a body that writes
// only its own cells gives the same results as the plain per-cell loop; it just pays the host loop's
// per-index cost once per block instead of once per cell. For loops without a break test.
template <typename Body>
Result<void> ParallelForBlocks(Int from, Int to, Body&& body, Int threadCount = LOOP_ALLTHREADS,
                               Int granularity = LOOP_GRANULARITY, Int blockSize = LOOP_CELLBLOCK)
{
  if (from >= to)
    return OK;
  blockSize = std::max<Int>(1, blockSize);
  const Int blocks = (to - from - 1) / blockSize + 1;
  return ParallelFor(
    0, blocks,
    [&](Int block) -> Result<void> {
      const Int begin = from + block * blockSize;
      const Int end = begin + std::min(blockSize, to - begin);
      if constexpr (std::is_void_v<decltype(body(begin, end))>)
      {
        body(begin, end);
        return OK;
      }
      else
      {
        return body(begin, end);
      }
    },
    threadCount, granularity);
}

// Output grids of at least this many cells (32 MB of doubles, about the processor's last cache) are
// written with non-temporal stores by ParallelFillCells: such a grid cannot stay in the caches until it
// is read anyway, and a plain store first reads the line it writes, a third stream of memory traffic
// beside the input and the output. Smaller grids are written plainly, so the pass after finds them in
// the caches.
inline constexpr Int LOOP_STREAM_CELLS = Int(1) << 22;

// A store that bypasses the caches (a plain store on processors without one). Stores made this way are
// ordered only by StreamFence, which every loop body that uses them calls before it returns.
inline void StreamStore(Float* target, Float value)
{
#ifdef OGX_HAVE_STREAM_STORES
  _mm_stream_si64(reinterpret_cast<long long*>(target), std::bit_cast<long long>(value));
#else
  *target = value;
#endif
}

inline void StreamFence()
{
#ifdef OGX_HAVE_STREAM_STORES
  _mm_sfence();
#endif
}

// StreamStore of count values from source to target, two at a time where target allows.
inline void StreamCopy(Float* target, const Float* source, Int count)
{
  Int i = 0;
#ifdef OGX_HAVE_STREAM_STORES
  if ((reinterpret_cast<std::uintptr_t>(target) & 15) != 0 && count > 0)
  {
    StreamStore(target, source[0]);
    i = 1;
  }
  for (; i + 1 < count; i += 2)
    _mm_stream_pd(target + i, _mm_loadu_pd(source + i));
#endif
  for (; i < count; ++i)
    StreamStore(target + i, source[i]);
}

// Cells computed into the stack before StreamCopy writes them out: small enough for the first-level
// cache, large enough that the computing loop runs as the compiler's vector loop.
inline constexpr Int LOOP_STREAM_CHUNK = 128;

// The per-cell loop of the filters, GROUP cells at a time: cells(first, n, values) writes the values of
// the n (1 to GROUP) cells from first on into values[0 .. n), for every cell in [0, count), run as
// ParallelForBlocks (so with one thread in increasing order). A group lets a body whose cells are
// independent but each a long chain of dependent steps compute several side by side. Large outputs are
// computed a chunk at a time and written with StreamCopy. With a thread, the break test of index i
// (mask BREAKMASK_CELLS) comes before its cell: a group's indices are tested first, and a break at one
// of them leaves only the cells before it computed (and written), ending the loop with
// "<loopName> cancelled!" located at the caller. The values are those of the plain loop, bit for bit.
template <Int GROUP, typename Cells>
Result<void> ParallelFillCellGroups(Float* out, Int count, Cells&& cells, Int threadCount,
                                    const HostThread* thread = nullptr, const char* loopName = "",
                                    std::source_location location = std::source_location::current())
{
  static_assert(GROUP >= 1 && LOOP_STREAM_CHUNK % GROUP == 0 && LOOP_CELLBLOCK % GROUP == 0);
  // Cells [begin, end) into target, target[k] for cell begin + k; the index at which a break was seen,
  // or end.
  auto compute = [&]<Bool TEST>(Float* target, Int begin, Int end) -> Int {
    for (Int i = begin; i < end; i += GROUP)
    {
      const Int n = std::min(GROUP, end - i);
      if constexpr (TEST)
      {
        for (Int k = 0; k < n; ++k)
        {
          if (LoopBreakRequested(i + k, BREAKMASK_CELLS, thread))
          {
            if (k > 0)
              cells(i, k, target + (i - begin));
            return i + k;
          }
        }
      }
      cells(i, n, target + (i - begin));
    }
    return end;
  };
  auto fill = [&]<Bool STREAM, Bool TEST>(Int begin, Int end) -> Result<void> {
    if constexpr (!STREAM)
    {
      if (compute.template operator()<TEST>(out + begin, begin, end) != end)
        return LoopCancelledError(loopName, location);
      return OK;
    }
    else
    {
      alignas(16) Float chunk[LOOP_STREAM_CHUNK];
      for (Int first = begin; first < end; first += LOOP_STREAM_CHUNK)
      {
        const Int last = std::min(first + LOOP_STREAM_CHUNK, end);
        const Int reached = compute.template operator()<TEST>(chunk, first, last);
        StreamCopy(out + first, chunk, reached - first);
        if (reached != last)
        {
          StreamFence();
          return LoopCancelledError(loopName, location);
        }
      }
      StreamFence();
      return OK;
    }
  };
  const Bool stream = count >= LOOP_STREAM_CELLS;
  auto run = [&]<Bool STREAM, Bool TEST>() {
    return ParallelForBlocks(
      0, count, [&](Int begin, Int end) { return fill.template operator()<STREAM, TEST>(begin, end); }, threadCount,
      LOOP_GRANULARITY);
  };
  if (thread)
    return stream ? run.template operator()<true, true>() : run.template operator()<false, true>();
  return stream ? run.template operator()<true, false>() : run.template operator()<false, false>();
}

// The per-cell loop of the filters: out[i] = cell(i) for every i in [0, count), as ParallelFillCellGroups
// one cell at a time (large outputs streamed, the break test of index i before its cell).
template <typename Cell>
Result<void> ParallelFillCells(Float* out, Int count, Cell&& cell, Int threadCount, const HostThread* thread = nullptr,
                               const char* loopName = "", std::source_location location = std::source_location::current())
{
  return ParallelFillCellGroups<1>(
    out, count, [&](Int first, Int, Float* values) { values[0] = cell(first); }, threadCount, thread, loopName,
    location);
}
} // namespace OGX
