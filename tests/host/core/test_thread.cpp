#include <gtest/gtest.h>

#include <thread>

#include "host/core/log.h"
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
