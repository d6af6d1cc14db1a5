#include "host/core/thread.h"

#include <thread>

#include "host/core/log.h"

namespace host::detail
{
constinit thread_local Int t_testSlot __attribute__((tls_model("initial-exec"))) = -1;
} // namespace host::detail

namespace
{
std::atomic<Int> g_nextTestSlot{0};
using host::detail::t_testSlot;
} // namespace

Bool HostThread::TestBreakSlow() const
{
  const Int at = _breakAfter.load(std::memory_order_relaxed);
  if (at > 0)
  {
    _sharedTests.fetch_add(1, std::memory_order_relaxed);
    if (_armedTests.fetch_add(1, std::memory_order_relaxed) + 1 >= at)
      return true;
    return _break.load(std::memory_order_acquire);
  }
  Int slot = t_testSlot;
  if (slot < 0)
    slot = t_testSlot = g_nextTestSlot.fetch_add(1, std::memory_order_relaxed);
  if (slot < TEST_COUNTER_SLOTS)
  {
    // Only this thread writes this counter: a plain increment, no read-modify-write.
    std::atomic<Int>& count = _threadTests[slot].count;
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  else
  {
    _sharedTests.fetch_add(1, std::memory_order_relaxed);
  }
  return _break.load(std::memory_order_acquire);
}

Int HostThread::GetTestCount() const
{
  Int total = _sharedTests.load(std::memory_order_relaxed);
  for (const TestCounter& c : _threadTests)
    total += c.count.load(std::memory_order_relaxed);
  return total;
}

void HostThread::ResetTestCount()
{
  _sharedTests.store(0, std::memory_order_relaxed);
  for (TestCounter& c : _threadTests)
    c.count.store(0, std::memory_order_relaxed);
}

CoreLock::~CoreLock()
{
  if (IsLocked())
    DiagnosticOutput("The CoreLock is still set while being destructed.");
}

void CoreLock::Lock()
{
  for (Int spins = 0;; ++spins)
  {
    Int32 expected = 0;
    if (_state.compare_exchange_weak(expected, 1, std::memory_order_acquire))
      return;
    if (spins > 64)
      std::this_thread::yield();
  }
}
