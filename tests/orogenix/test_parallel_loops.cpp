#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/core/parallel.h"
#include "host/core/thread.h"
#include "object/operator_quantize.h"
#include "orogenix/ogx_parallel.h"

namespace
{
Bool EndsWith(const std::string& s, const std::string& suffix)
{
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether the break test asked the host for index i (the thread counts its TestBreak calls).
Bool AsksHost(Int i, Int mask)
{
  HostThread thread;
  const Bool stop = OGX::LoopBreakRequested(i, mask, &thread);
  EXPECT_FALSE(stop);
  return thread.GetTestCount() == 1;
}
} // namespace

TEST(LoopThreads, ThresholdsAreInclusiveItemCounts)
{
  struct Case
  {
    Int count;
    Int threshold;
    Int threads;
  };
  const Case cases[] = {
    {0, OGX::LOOP_SERIAL_ITEMS, 1},
    {10000, OGX::LOOP_SERIAL_ITEMS, 1},
    {10001, OGX::LOOP_SERIAL_ITEMS, 0},
    {20000, OGX::LOOP_SERIAL_QUANTIZE_CELLS, 1},
    {20001, OGX::LOOP_SERIAL_QUANTIZE_CELLS, 0},
    {500, OGX::LOOP_SERIAL_BLUR_ROWS, 1},
    {501, OGX::LOOP_SERIAL_BLUR_ROWS, 0},
    {1000, OGX::LOOP_SERIAL_HULL_POINTS, 1},
    {1001, OGX::LOOP_SERIAL_HULL_POINTS, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OGX::ThreadsFor(c.count, c.threshold), c.threads) << c.count << " / " << c.threshold;
  EXPECT_EQ(OGX::LOOP_SERIAL_ITEMS, 10000);
  EXPECT_EQ(OGX::LOOP_SERIAL_QUANTIZE_CELLS, 20000);
  EXPECT_EQ(OGX::LOOP_SERIAL_BLUR_ROWS, 500);
  EXPECT_EQ(OGX::LOOP_SERIAL_HULL_POINTS, 1000);
}

// A cell loop over 10000 cells stays on the calling thread, in order; over 10001 it uses the pool.
TEST(LoopThreads, SmallLoopsRunOnTheCallerLargeOnesOnThePool)
{
  const auto caller = std::this_thread::get_id();
  {
    std::vector<Int> order;
    Bool onCaller = true;
    ASSERT_TRUE(ParallelFor(
                  0, 10000,
                  [&](Int i) {
                    order.push_back(i);
                    onCaller = onCaller && std::this_thread::get_id() == caller;
                  },
                  OGX::ThreadsFor(10000, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY)
                  .IsOk());
    EXPECT_TRUE(onCaller);
    ASSERT_EQ(order.size(), 10000u);
    for (Int i = 0; i < 10000; ++i)
      ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
  }
  {
    // Index 0 waits (up to a generous limit) until another thread has run an index, which can only
    // happen when the loop really went to the pool.
    std::mutex m;
    std::set<std::thread::id> ids;
    std::atomic<Int> ran{0};
    ASSERT_TRUE(ParallelFor(
                  0, 10001,
                  [&](Int i) {
                    {
                      std::lock_guard lock(m);
                      ids.insert(std::this_thread::get_id());
                    }
                    ran.fetch_add(1);
                    if (i != 0)
                      return;
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                    while (std::chrono::steady_clock::now() < until)
                    {
                      {
                        std::lock_guard lock(m);
                        if (ids.size() > 1)
                          return;
                      }
                      std::this_thread::yield();
                    }
                  },
                  OGX::ThreadsFor(10001, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY)
                  .IsOk());
    EXPECT_EQ(ran.load(), 10001);
    EXPECT_GT(ids.size(), 1u);
  }
}

// The break masks are bit masks, not remainders: 1000 and 4000 are tested although a remainder would
// skip them, and the skipped indices are those with all of the mask's bits clear.
TEST(LoopBreak, MaskSelectsIndicesByBitwiseAnd)
{
  struct Case
  {
    Int index;
    Int mask;
    Bool asks;
  };
  const Case cases[] = {
    {0, 999, false},    {8, 999, false},     {16, 999, false},   {24, 999, false},  {1024, 999, false},
    {1032, 999, false}, {1, 999, true},      {7, 999, true},     {32, 999, true},   {999, 999, true},
    {1000, 999, true},  {2000, 999, true},   {0, 3999, false},   {32, 3999, false}, {64, 3999, false},
    {96, 3999, false},  {4096, 3999, false}, {4128, 3999, false}, {1, 3999, true},  {31, 3999, true},
    {128, 3999, true},  {4000, 3999, true},  {8000, 3999, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AsksHost(c.index, c.mask), c.asks) << c.index << " & " << c.mask;

  // Counted over a whole period: only the free bits (3 and 4 for 999; 5 and 6 for 3999) may be set in
  // a skipped index, so 4 indices of each period are skipped.
  HostThread thread;
  for (Int i = 0; i < 1024; ++i)
    EXPECT_FALSE(OGX::LoopBreakRequested(i, OGX::BREAKMASK_ROWS, &thread));
  EXPECT_EQ(thread.GetTestCount(), 1020);
  thread.ResetTestCount();
  for (Int i = 0; i < 4096; ++i)
    EXPECT_FALSE(OGX::LoopBreakRequested(i, OGX::BREAKMASK_CELLS, &thread));
  EXPECT_EQ(thread.GetTestCount(), 4092);
}

TEST(LoopBreak, NoThreadMeansNoTest)
{
  for (Int i : {0, 1, 5, 4000, 123457})
  {
    EXPECT_FALSE(OGX::LoopBreakRequested(i, OGX::BREAKMASK_CELLS, nullptr));
    EXPECT_TRUE(OGX::TestLoopBreak(i, OGX::BREAKMASK_CELLS, nullptr, "Test loop").IsOk());
  }
}

// With a break requested before the loop starts, a single-thread cell loop does index 0 (the mask
// skips the test there), stops at index 1 and returns "<name> cancelled!" located at the loop.
TEST(LoopBreak, BreakBeforeASingleThreadLoopStopsAtIndexOne)
{
  HostThread thread;
  thread.SetBreak();
  std::vector<Int> done;
  Int loopLine = 0;
  const Result<void> res = ParallelFor(
    0, 100,
    [&](Int i) -> Result<void> {
      loopLine = __LINE__ + 1;
      HOST_TRY(OGX::TestLoopBreak(i, OGX::BREAKMASK_CELLS, &thread, "Curve operator"));
      done.push_back(i);
      return OK;
    },
    OGX::LOOP_ONETHREAD, OGX::LOOP_GRANULARITY);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(res.GetError().GetMessage(), "Curve operator cancelled!");
  EXPECT_EQ(done, std::vector<Int>{0});
  EXPECT_EQ(thread.GetTestCount(), 1);
  EXPECT_TRUE(EndsWith(res.GetError().GetLocation().file_name(), "test_parallel_loops.cpp"));
  EXPECT_EQ(static_cast<Int>(res.GetError().GetLocation().line()), loopLine);
}

// A break raised while a loop runs on all threads ends it early with the cancellation error.
TEST(LoopBreak, BreakDuringAPoolLoopEndsItWithTheError)
{
  constexpr Int count = 1000000;
  HostThread thread;
  thread.BreakAfterTests(5000);
  std::atomic<Int> done{0};
  const Result<void> res = ParallelFor(
    0, count,
    [&](Int i) -> Result<void> {
      HOST_TRY(OGX::TestLoopBreak(i, OGX::BREAKMASK_ROWS, &thread, "CreatePlaneGeometry()"));
      done.fetch_add(1, std::memory_order_relaxed);
      return OK;
    },
    OGX::ThreadsFor(count, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), "CreatePlaneGeometry() cancelled!");
  EXPECT_LT(done.load(), count);
}

TEST(LoopBreak, CancelledErrorCarriesTheCallersLocation)
{
  const Int line = __LINE__ + 1;
  const Error err = OGX::LoopCancelledError("Thermal Weathering");
  EXPECT_EQ(err.GetMessage(), "Thermal Weathering cancelled!");
  EXPECT_EQ(err.GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(static_cast<Int>(err.GetLocation().line()), line);
  EXPECT_TRUE(EndsWith(err.GetLocation().file_name(), "test_parallel_loops.cpp"));
}

TEST(LoopBlocks, EveryCellOnceInBlocksWithinTheRange)
{
  struct Case
  {
    Int from;
    Int to;
    Int blockSize;
    Int threads;
  };
  const Case cases[] = {
    {0, 0, 1024, 0},      {5, 5, 1024, 0},     {7, 3, 16, 0},       {0, 1, 1024, 0},
    {0, 1023, 1024, 0},   {0, 1024, 1024, 0},  {0, 1025, 1024, 0},  {3, 100003, 1024, 0},
    {3, 100003, 7, 0},    {0, 50000, 1, 0},    {17, 30000, 1024, 1},
  };
  for (const Case& c : cases)
  {
    const Int span = std::max<Int>(0, c.to);
    std::vector<std::atomic<Int>> hits(static_cast<std::size_t>(span));
    std::atomic<Bool> badBlock{false};
    const Result<void> res = OGX::ParallelForBlocks(
      c.from, c.to,
      [&](Int begin, Int end) {
        if (begin < c.from || end > c.to || begin >= end || end - begin > c.blockSize ||
            (begin - c.from) % c.blockSize != 0)
          badBlock = true;
        for (Int i = begin; i < end; ++i)
          hits[static_cast<std::size_t>(i)].fetch_add(1);
      },
      c.threads, OGX::LOOP_GRANULARITY, c.blockSize);
    ASSERT_TRUE(res.IsOk());
    EXPECT_FALSE(badBlock.load()) << c.from << ".." << c.to;
    for (Int i = 0; i < span; ++i)
      ASSERT_EQ(hits[static_cast<std::size_t>(i)].load(), (i >= c.from && i < c.to) ? 1 : 0)
        << c.from << ".." << c.to << " block " << c.blockSize << " index " << i;
  }
}

TEST(LoopBlocks, OneThreadRunsInIncreasingOrderAndErrorsStopTheLoop)
{
  std::vector<Int> order;
  ASSERT_TRUE(OGX::ParallelForBlocks(
                10, 5000,
                [&](Int begin, Int end) {
                  for (Int i = begin; i < end; ++i)
                    order.push_back(i);
                },
                OGX::LOOP_ONETHREAD)
                .IsOk());
  ASSERT_EQ(order.size(), 4990u);
  for (std::size_t k = 0; k < order.size(); ++k)
    ASSERT_EQ(order[k], static_cast<Int>(k) + 10);

  for (Int threads : {OGX::LOOP_ALLTHREADS, OGX::LOOP_ONETHREAD})
  {
    const Result<void> res = OGX::ParallelForBlocks(0, 10000000, [&](Int begin, Int) -> Result<void> {
      if (begin == 4096)
        return IllegalStateError("Block failed!");
      return OK;
    }, threads);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetMessage(), "Block failed!");
  }
}

// Grouped cell fills: every cell written once with its own value, in groups of at most GROUP cells that
// start at multiples of GROUP, for counts that are no multiple of it and for outputs large enough to be
// streamed.
TEST(LoopCellGroups, EveryCellOnceInGroupsOfAtMostTheGroupSize)
{
  for (const Int count : {Int(0), Int(1), Int(3), Int(4), Int(5), Int(1023), Int(100003), OGX::LOOP_STREAM_CELLS + 3})
  {
    std::vector<Float> out(static_cast<std::size_t>(count) + 1, -1.0);
    std::atomic<Bool> badGroup{false};
    const Result<void> res = OGX::ParallelFillCellGroups<4>(
      out.data(), count,
      [&](Int first, Int n, Float* values) {
        if (first % 4 != 0 || n < 1 || n > 4 || first + n > count || (n < 4 && first + n != count))
          badGroup = true;
        for (Int k = 0; k < n; ++k)
          values[k] = static_cast<Float>(first + k) * 0.5;
      },
      OGX::LOOP_ALLTHREADS);
    ASSERT_TRUE(res.IsOk());
    EXPECT_FALSE(badGroup.load()) << count;
    for (Int i = 0; i < count; ++i)
      ASSERT_EQ(out[static_cast<std::size_t>(i)], static_cast<Float>(i) * 0.5) << count << " cell " << i;
    EXPECT_EQ(out.back(), -1.0) << count;
  }
}

// A break seen at some index of a group leaves exactly the cells before it written, as the one-cell
// loop does, after the same break tests; on a single thread and when streamed alike.
TEST(LoopCellGroups, ABreakLeavesTheCellsBeforeItAsTheOneCellLoopDoes)
{
  for (const Int count : {Int(5000), OGX::LOOP_STREAM_CELLS + 5})
  {
    for (const Int breakAfter : {1, 2, 3, 4, 5, 6, 37, 4093})
    {
      std::vector<Float> grouped(static_cast<std::size_t>(count), -1.0);
      std::vector<Float> single(static_cast<std::size_t>(count), -1.0);
      HostThread groupThread;
      groupThread.BreakAfterTests(breakAfter);
      const Result<void> groupRes = OGX::ParallelFillCellGroups<4>(
        grouped.data(), count,
        [](Int first, Int n, Float* values) {
          for (Int k = 0; k < n; ++k)
            values[k] = static_cast<Float>(first + k) + 1.0;
        },
        OGX::LOOP_ONETHREAD, &groupThread, "Curve operator");
      HostThread singleThread;
      singleThread.BreakAfterTests(breakAfter);
      const Result<void> singleRes = OGX::ParallelFillCells(
        single.data(), count, [](Int i) { return static_cast<Float>(i) + 1.0; }, OGX::LOOP_ONETHREAD, &singleThread,
        "Curve operator");
      ASSERT_TRUE(groupRes.IsError()) << count << " " << breakAfter;
      ASSERT_TRUE(singleRes.IsError()) << count << " " << breakAfter;
      EXPECT_EQ(groupRes.GetError().GetMessage(), "Curve operator cancelled!");
      EXPECT_EQ(groupThread.GetTestCount(), singleThread.GetTestCount()) << count << " " << breakAfter;
      EXPECT_EQ(grouped, single) << count << " " << breakAfter;
      // Indices 1 to 31 are all tested and 0 is not: there the k-th test is at index k.
      if (breakAfter <= 31)
      {
        EXPECT_EQ(std::count(grouped.begin(), grouped.end(), -1.0), count - breakAfter) << count << " " << breakAfter;
      }
    }
  }
}

// On one thread a break stops the fill at the tested index whose test reported it: every cell before it
// written, it and every later cell untouched, and exactly the tests up to it made, wherever the break
// falls against the chunks the cells are computed in.
TEST(LoopFill, BreakWritesExactlyTheCellsBeforeTheBreakIndex)
{
  constexpr Int count = 1000;
  std::vector<Int> tested;
  for (Int i = 0; i < count; ++i)
    if ((i & OGX::BREAKMASK_CELLS) != 0)
      tested.push_back(i);
  for (const Int k : {Int(1), Int(2), Int(31), Int(120), Int(121), Int(124), Int(125), Int(500), Int(960)})
  {
    HostThread thread;
    thread.BreakAfterTests(k);
    std::vector<Float> out(count, -1.0);
    const Result<void> res = OGX::ParallelFillCells(
      out.data(), count, [](Int i) { return static_cast<Float>(i) * 0.5; }, OGX::LOOP_ONETHREAD, &thread, "Fill");
    ASSERT_TRUE(res.IsError()) << k;
    EXPECT_EQ(res.GetError().GetMessage(), "Fill cancelled!");
    EXPECT_EQ(thread.GetTestCount(), k);
    const Int breakIndex = tested[static_cast<std::size_t>(k - 1)];
    for (Int i = 0; i < count; ++i)
      ASSERT_EQ(out[static_cast<std::size_t>(i)], i < breakIndex ? static_cast<Float>(i) * 0.5 : -1.0)
        << "break after " << k << " tests, cell " << i;
  }
}

// The copy of a loop compiled for AVX2 gives the base loop's values bit for bit: products and sums
// stay unfused, divisions and the branch-free floor round the same, for ordinary and special values.
TEST(LoopFill, WideVectorLoopGivesTheBaseLoopsBits)
{
  if (!OGX::UseAvx2())
    GTEST_SKIP() << "the processor has no AVX2";
  std::vector<Float> in = {0.0, -0.0, 0.5, -0.5, 1.5, 2.5, -2.5, 1e300, -1e300, 4503599627370495.5,
                           std::numeric_limits<Float>::infinity(), -std::numeric_limits<Float>::infinity(),
                           std::numeric_limits<Float>::quiet_NaN(), std::numeric_limits<Float>::denorm_min()};
  Float v = 0.1234567;
  for (int i = 0; i < 4000; ++i)
  {
    v = v * 3.9 * (1.0 - v);
    in.push_back((v - 0.5) * 237.0);
  }
  const Float min = -3.7;
  const Float max = 91.3;
  const Float steps = 11.0;
  const Float invSteps = 1.0 / steps;
  const Float range = max - min;
  const Float invRange = 1.0 / range;
  const Int n = static_cast<Int>(in.size());
  auto fill = [&](std::vector<Float>& out) {
    return [&] {
      for (Int i = 0; i < n; ++i)
      {
        const Float h = in[static_cast<std::size_t>(i)];
        const Float q = FloorWithoutBranches((h - min) * invRange * steps + 0.5) * invSteps * range + min;
        out[static_cast<std::size_t>(i)] = q + (min - max) * ((h - min) / (max - min)) + max * h;
      }
    };
  };
  std::vector<Float> base(in.size());
  std::vector<Float> wide(in.size());
  auto baseLoop = fill(base);
  auto wideLoop = fill(wide);
  OGX::RunBaseVectors(baseLoop);
  OGX::RunWideVectors(wideLoop);
  for (Int i = 0; i < n; ++i)
    ASSERT_EQ(std::bit_cast<std::uint64_t>(wide[static_cast<std::size_t>(i)]),
              std::bit_cast<std::uint64_t>(base[static_cast<std::size_t>(i)]))
      << "value " << in[static_cast<std::size_t>(i)];
}

// Streamed copies hold the source's values for every start alignment and length.
TEST(LoopFill, StreamCopyCopiesEveryCellAtAnyAlignment)
{
  std::vector<Float> source(300);
  for (std::size_t i = 0; i < source.size(); ++i)
    source[i] = static_cast<Float>(i) + 0.25;
  for (Int offset = 0; offset < 4; ++offset)
    for (const Int count : {Int(0), Int(1), Int(2), Int(3), Int(4), Int(5), Int(7), Int(128), Int(131)})
    {
      alignas(64) Float target[160];
      std::fill(std::begin(target), std::end(target), -1.0);
      OGX::StreamCopy(target + offset, source.data(), count);
      OGX::StreamFence();
      for (Int i = 0; i < 160; ++i)
        ASSERT_EQ(target[i], i >= offset && i < offset + count ? source[static_cast<std::size_t>(i - offset)] : -1.0)
          << "offset " << offset << " count " << count << " cell " << i;
    }
}
