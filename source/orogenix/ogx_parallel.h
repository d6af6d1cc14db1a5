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
#include "orogenix/ogx_simd.h"

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

// Where the processor has AVX2 (ogx_simd.h), per-cell loops can run as 4-wide vector loops instead of
// the base set's 2-wide ones, with every value the base loop's, bit for bit.

// body() inlined into a function compiled for the base instruction set, or (RunWideVectors) for AVX2.
template <typename Body>
inline void RunBaseVectors(Body& body)
{
  body();
}

#ifdef OGX_AVX2_DISPATCH
template <typename Body>
__attribute__((target("avx2"))) void RunWideVectors(Body& body)
{
  body();
}
#endif

// body() as the wide vector loop where the processor allows it; body must be inlinable and give the
// same values either way (plain arithmetic and calls, no processor-specific intrinsics).
template <typename Body>
inline void RunVectorLoop(Body&& body)
{
#ifdef OGX_AVX2_DISPATCH
  if (UseAvx2())
  {
    RunWideVectors(body);
    return;
  }
#endif
  RunBaseVectors(body);
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

#if defined(OGX_HAVE_STREAM_STORES) && defined(OGX_AVX2_DISPATCH)
// StreamCopy four at a time: half the stores per cache line of the two-wide copy.
__attribute__((target("avx2"))) inline void StreamCopyWide(Float* target, const Float* source, Int count)
{
  Int i = 0;
  for (; i < count && (reinterpret_cast<std::uintptr_t>(target + i) & 31) != 0; ++i)
    StreamStore(target + i, source[i]);
  for (; i + 3 < count; i += 4)
    _mm256_stream_pd(target + i, _mm256_loadu_pd(source + i));
  for (; i < count; ++i)
    StreamStore(target + i, source[i]);
}
#endif

// StreamStore of count values from source to target, two at a time where target allows (four where
// the processor has AVX2).
inline void StreamCopy(Float* target, const Float* source, Int count)
{
#if defined(OGX_HAVE_STREAM_STORES) && defined(OGX_AVX2_DISPATCH)
  if (UseAvx2())
  {
    StreamCopyWide(target, source, count);
    return;
  }
#endif
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
// (mask BREAKMASK_CELLS) comes before its cell is written (the cells before it are written), and a
// break ends the loop with "<loopName> cancelled!" located at the caller. The values are those of the
// plain loop, bit for bit.
//
// With a thread the cells of a chunk are computed first, as a vector loop into the stack, and the
// chunk's break tests are then made in increasing order; only the cells before a break are written.
// The host sees the same tests, and the output the same cells, as from the loop that tests before each
// cell; the tests just no longer split the computing loop, which then vectorises. A cell computed past a
// break is thrown away, so cells must have no effect but their values.
template <Int GROUP, typename Cells>
Result<void> ParallelFillCellGroups(Float* out, Int count, Cells&& cells, Int threadCount,
                                    const HostThread* thread = nullptr, const char* loopName = "",
                                    std::source_location location = std::source_location::current())
{
  static_assert(GROUP >= 1 && LOOP_STREAM_CHUNK % GROUP == 0 && LOOP_CELLBLOCK % GROUP == 0);
  // Cells [begin, end) into target, target[k] for cell begin + k.
  auto compute = [&](Float* target, Int begin, Int end) {
    RunVectorLoop([&]() {
      for (Int i = begin; i < end; i += GROUP)
        cells(i, std::min(GROUP, end - i), target + (i - begin));
    });
  };
  // The break tests of [begin, end) in order: the index at which a break was seen, or end.
  auto test = [&](Int begin, Int end) -> Int {
    // A local copy, so the counting stores inside the tests cannot make the loop reload it.
    const HostThread* const host = thread;
    for (Int i = begin; i < end; ++i)
    {
      if (LoopBreakRequested(i, BREAKMASK_CELLS, host))
        return i;
    }
    return end;
  };
  auto fill = [&]<Bool STREAM, Bool TEST>(Int begin, Int end) -> Result<void> {
    if constexpr (!STREAM && !TEST)
    {
      compute(out + begin, begin, end);
      return OK;
    }
    else
    {
      alignas(64) Float chunk[LOOP_STREAM_CHUNK];
      for (Int first = begin; first < end; first += LOOP_STREAM_CHUNK)
      {
        const Int last = std::min(first + LOOP_STREAM_CHUNK, end);
        compute(chunk, first, last);
        Int reached = last;
        if constexpr (TEST)
          reached = test(first, last);
        if constexpr (STREAM)
          StreamCopy(out + first, chunk, reached - first);
        else
          std::copy(chunk, chunk + (reached - first), out + first);
        if (reached != last)
        {
          if constexpr (STREAM)
            StreamFence();
          return LoopCancelledError(loopName, location);
        }
      }
      if constexpr (STREAM)
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
// one cell at a time.
template <typename Cell>
Result<void> ParallelFillCells(Float* out, Int count, Cell&& cell, Int threadCount, const HostThread* thread = nullptr,
                               const char* loopName = "", std::source_location location = std::source_location::current())
{
  return ParallelFillCellGroups<1>(
    out, count, [&](Int first, Int, Float* values) { values[0] = cell(first); }, threadCount, thread, loopName,
    location);
}
} // namespace OGX
