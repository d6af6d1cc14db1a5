#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/thread.h"

TEST(HostThread, BreakFlagAndTestCounting)
{
  HostThread thread;
  EXPECT_FALSE(thread.TestBreak());
  thread.SetBreak();
  EXPECT_TRUE(thread.TestBreak());
  thread.SetBreak(false);
  thread.ResetTestCount();
  thread.BreakAfterTests(3);
  EXPECT_FALSE(thread.TestBreak());
  EXPECT_FALSE(thread.TestBreak());
  EXPECT_TRUE(thread.TestBreak());
  EXPECT_TRUE(thread.TestBreak());
  EXPECT_EQ(thread.GetTestCount(), 4);
}

// Every call is counted, from the pool's workers and from more OS threads than have counters of their
// own (the rest share one).
TEST(HostThread, CountsEveryCallFromManyThreads)
{
  HostThread thread;
  ASSERT_TRUE(ParallelFor(0, 200000, [&](Int) { EXPECT_FALSE(thread.TestBreak()); }, 0, 16).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 200000);

  thread.ResetTestCount();
  std::vector<std::thread> threads;
  for (Int t = 0; t < HostThread::TEST_COUNTER_SLOTS + 16; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i)
        (void)thread.TestBreak();
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(thread.GetTestCount(), (HostThread::TEST_COUNTER_SLOTS + 16) * 1000);

  // Armed, the k-th call counts across threads too.
  thread.ResetTestCount();
  thread.BreakAfterTests(5000);
  std::atomic<Int> breaks{0};
  ASSERT_TRUE(ParallelFor(0, 8000, [&](Int) { breaks += thread.TestBreak() ? 1 : 0; }, 0, 16).IsOk());
  EXPECT_EQ(breaks.load(), 3001);
  EXPECT_EQ(thread.GetTestCount(), 8000);
}

TEST(HostThread, BreakRaisedFromAnotherThreadIsSeen)
{
  HostThread thread;
  std::thread other([&] { thread.SetBreak(); });
  other.join();
  EXPECT_TRUE(thread.TestBreak());
}

TEST(CoreLock, ExcludesAndReportsWhenDestroyedTaken)
{
  host::Diagnostics().Clear();
  Int counter = 0;
  {
    CoreLock lock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 10000; ++i)
        {
          ScopedCoreLock guard(lock);
          ++counter;
        }
      });
    for (auto& t : threads)
      t.join();
    EXPECT_FALSE(lock.IsLocked());
  }
  EXPECT_EQ(counter, 40000);
  EXPECT_TRUE(host::Diagnostics().GetLines().empty());
  {
    CoreLock lock;
    EXPECT_TRUE(lock.AttemptLock());
    EXPECT_FALSE(lock.AttemptLock());
  }
  EXPECT_EQ(host::Diagnostics().GetLast(), "The CoreLock is still set while being destructed.");
  host::Diagnostics().Clear();
}
