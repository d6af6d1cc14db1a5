// Host threads as the module sees them: a break flag per thread, and the core spin lock.
#pragma once

#include <atomic>

#include "host/core/types.h"

namespace host::detail
{
// The calling OS thread's counter slot in every HostThread, -1 until its first test. Initial-exec: the
// host library is loaded with the process, so the slot is reached by a plain offset from the thread
// pointer, without a call into the dynamic loader on every test. Constant-initialised, so no access
// goes through a thread-local initialisation wrapper either.
extern constinit thread_local Int t_testSlot __attribute__((tls_model("initial-exec")));
} // namespace host::detail

// The thread a cache build runs on. A break request can be raised from any thread; the module's loops
// poll it from their worker threads, some of them once for nearly every cell of a grid.
//
// TestBreak counts its calls for tests (GetTestCount). The count is kept per calling OS thread, each in
// a cache line of its own that only that thread writes, so that many workers asking at once neither
// contend for one counter nor pay for an atomic read-modify-write; the threads beyond the first
// TEST_COUNTER_SLOTS of the process share one atomic counter. While BreakAfterTests is armed every
// call goes through one atomic counter, which gives the calls a single order to count the k-th in.
class HostThread
{
public:
  HostThread() = default;
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  // True when a break has been requested for this thread. Safe from any thread. The common case (not
  // armed, and the calling OS thread has a counter of its own) is inline: loops that ask for nearly every
  // cell then count in a register-speed load and store instead of a call per cell.
  Bool TestBreak() const
  {
    const Int slot = host::detail::t_testSlot;
    if (slot >= 0 && slot < TEST_COUNTER_SLOTS && _breakAfter.load(std::memory_order_relaxed) <= 0)
    {
      // Only this thread writes this counter: a plain increment, no read-modify-write.
      std::atomic<Int>& count = _threadTests[slot].count;
      count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      return _break.load(std::memory_order_acquire);
    }
    return TestBreakSlow();
  }

  void SetBreak(Bool request = true) { _break.store(request, std::memory_order_release); }
  // Test hook: the k-th TestBreak from now on (and every later one) reports a break. 0 disarms.
  void BreakAfterTests(Int k)
  {
    _armedTests.store(0, std::memory_order_relaxed);
    _breakAfter.store(k > 0 ? k : 0, std::memory_order_relaxed);
  }
  // Number of TestBreak calls made so far (tests check the break-mask rules with it). Exact once the
  // calls it is to count have returned (after the loop that made them).
  Int GetTestCount() const;
  // Back to 0; not while another thread tests.
  void ResetTestCount();

  // Per-thread counters: the process's first this many OS threads to test any HostThread have one each.
  static constexpr Int TEST_COUNTER_SLOTS = 64;

private:
  // TestBreak for the first test of an OS thread, for the threads beyond the counter slots and while
  // armed.
  Bool TestBreakSlow() const;

  struct alignas(64) TestCounter
  {
    std::atomic<Int> count{0};
  };

  std::atomic<Bool> _break{false};
  std::atomic<Int> _breakAfter{0};
  mutable std::atomic<Int> _armedTests{0};
  mutable std::atomic<Int> _sharedTests{0};
  mutable TestCounter _threadTests[TEST_COUNTER_SLOTS];
};

// A 32-bit spin lock: 0 free, 1 taken; taken by compare-exchange from 0 to 1, released by storing 0.
class CoreLock
{
public:
  CoreLock() = default;
  ~CoreLock();
  CoreLock(const CoreLock&) = delete;
  CoreLock& operator=(const CoreLock&) = delete;

  void Lock();
  Bool AttemptLock()
  {
    Int32 expected = 0;
    return _state.compare_exchange_strong(expected, 1, std::memory_order_acquire);
  }
  void Unlock() { _state.store(0, std::memory_order_release); }
  Bool IsLocked() const { return _state.load(std::memory_order_relaxed) != 0; }

private:
  std::atomic<Int32> _state{0};
};

class ScopedCoreLock
{
public:
  explicit ScopedCoreLock(CoreLock& lock) : _lock(lock) { _lock.Lock(); }
  ~ScopedCoreLock() { _lock.Unlock(); }
  ScopedCoreLock(const ScopedCoreLock&) = delete;
  ScopedCoreLock& operator=(const ScopedCoreLock&) = delete;

private:
  CoreLock& _lock;
};
