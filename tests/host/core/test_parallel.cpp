#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/core/log.h"
#include "host/core/parallel.h"

namespace
{
// Runs a loop and returns how often each index ran.
std::vector<Int> RunCounts(Int count, Int threads, Int granularity)
{
  std::vector<std::atomic<Int>> hits(static_cast<std::size_t>(count));
  const Result<void> res = ParallelFor(
    0, count,
    [&](Int i) -> Result<void> {
      hits[static_cast<std::size_t>(i)].fetch_add(1);
      return OK;
    },
    threads, granularity);
  EXPECT_TRUE(res.IsOk());
  std::vector<Int> out;
  for (auto& h : hits)
    out.push_back(h.load());
  return out;
}
} // namespace

TEST(ParallelFor, EveryIndexRunsExactlyOnce)
{
  for (Int count : {1, 2, 15, 16, 17, 100, 4001, 100003})
    for (Int granularity : {1, 16, 1000})
    {
      const auto hits = RunCounts(count, 0, granularity);
      for (Int i = 0; i < count; ++i)
        ASSERT_EQ(hits[static_cast<std::size_t>(i)], 1) << "count " << count << " granularity " << granularity << " index " << i;
    }
  EXPECT_TRUE(host::Diagnostics().GetLines().empty());
}

TEST(ParallelFor, EmptyAndReversedRangesRunNothing)
{
  Int calls = 0;
  auto body = [&](Int) -> Result<void> {
    ++calls;
    return OK;
  };
  EXPECT_TRUE(ParallelFor(0, 0, body).IsOk());
  EXPECT_TRUE(ParallelFor(5, 2, body, 1).IsOk());
  EXPECT_EQ(calls, 0);
}

TEST(ParallelFor, OneThreadRunsInOrderOnTheCaller)
{
  const auto caller = std::this_thread::get_id();
  std::vector<Int> order;
  Bool sameThread = true;
  ASSERT_TRUE(ParallelFor(
                0, 1000,
                [&](Int i) -> Result<void> {
                  order.push_back(i);
                  sameThread = sameThread && std::this_thread::get_id() == caller;
                  return OK;
                },
                1)
                .IsOk());
  ASSERT_EQ(order.size(), 1000u);
  for (Int i = 0; i < 1000; ++i)
    EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(sameThread);
}

TEST(ParallelFor, AllThreadsReallyRunConcurrently)
{
  std::mutex m;
  std::set<std::thread::id> ids;
  ASSERT_TRUE(ParallelFor(0, 256, [&](Int) -> Result<void> {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                std::lock_guard lock(m);
                ids.insert(std::this_thread::get_id());
                return OK;
              }).IsOk());
  EXPECT_GT(ids.size(), 1u);
}

TEST(ParallelFor, ThreadIndexIsInRangeAndUniqueAmongRunningBodies)
{
  const Int n = GetCurrentThreadCount();
  ASSERT_GE(n, 2);
  std::vector<std::atomic<Bool>> busy(static_cast<std::size_t>(n));
  std::atomic<Bool> clash{false};
  std::atomic<Bool> outOfRange{false};
  ASSERT_TRUE(ParallelFor(0, 20000, [&](Int) -> Result<void> {
                const Int t = GetCurrentThreadIndex();
                if (t < 0 || t >= n)
                {
                  outOfRange = true;
                  return OK;
                }
                if (busy[static_cast<std::size_t>(t)].exchange(true))
                  clash = true;
                busy[static_cast<std::size_t>(t)].store(false);
                return OK;
              }).IsOk());
  EXPECT_FALSE(outOfRange.load());
  EXPECT_FALSE(clash.load());
  EXPECT_EQ(GetCurrentThreadIndex(), 0);
}

TEST(ParallelFor, ErrorStopsTheLoopAndIsReturned)
{
  for (Int threads : {0, 1})
  {
    std::atomic<Int> ran{0};
    const Result<void> res = ParallelFor(
      0, 1000000,
      [&](Int i) -> Result<void> {
        ran.fetch_add(1);
        if (i == 10)
          return UnexpectedError("Test loop cancelled!");
        return OK;
      },
      threads);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetMessage(), "Test loop cancelled!");
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_LT(ran.load(), 1000000) << "threads " << threads;
  }
}

TEST(ParallelFor, ParallelSwitchOffForcesTheCallingThread)
{
  host::SetParallelEnabled(false);
  const auto caller = std::this_thread::get_id();
  Int next = 0;
  Bool inOrder = true;
  const Result<void> res = ParallelFor(0, 50000, [&](Int i) -> Result<void> {
    inOrder = inOrder && i == next++ && std::this_thread::get_id() == caller;
    return OK;
  });
  host::SetParallelEnabled(true);
  EXPECT_TRUE(res.IsOk());
  EXPECT_TRUE(inOrder);
}

TEST(ParallelFor, NestedLoopRunsOnTheCallingThread)
{
  std::atomic<Int> total{0};
  std::atomic<Bool> wrongThread{false};
  ASSERT_TRUE(ParallelFor(0, 64, [&](Int) -> Result<void> {
                const auto outer = std::this_thread::get_id();
                return ParallelFor(0, 100, [&](Int) -> Result<void> {
                  if (std::this_thread::get_id() != outer)
                    wrongThread = true;
                  total.fetch_add(1);
                  return OK;
                });
              }).IsOk());
  EXPECT_EQ(total.load(), 6400);
  EXPECT_FALSE(wrongThread.load());
}

TEST(ParallelFor, CallersOnSeveralThreadsEachGetTheirWholeLoop)
{
  constexpr Int kCount = 50000;
  std::vector<std::thread> callers;
  std::atomic<Int> failures{0};
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int rep = 0; rep < 20; ++rep)
      {
        std::atomic<Int> sum{0};
        const Result<void> res = ParallelFor(0, kCount, [&](Int i) -> Result<void> {
          sum.fetch_add(i, std::memory_order_relaxed);
          return OK;
        });
        if (res.IsError() || sum.load() != kCount * (kCount - 1) / 2)
          failures.fetch_add(1);
      }
    });
  for (auto& c : callers)
    c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ParallelFor, PoolCanBeResized)
{
  host::SetThreadCount(3);
  EXPECT_EQ(GetCurrentThreadCount(), 3);
  const auto hits = RunCounts(10001, 0, 16);
  for (Int h : hits)
    ASSERT_EQ(h, 1);
  host::SetThreadCount(0);
  EXPECT_GE(GetCurrentThreadCount(), 2);
}
