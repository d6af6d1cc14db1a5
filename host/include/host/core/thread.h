// Host threads as the module sees them: a break flag per thread, and the core spin lock.
#pragma once

#include <atomic>

#include "host/core/types.h"

// The thread a cache build runs on. A break request can be raised from any thread; the module's loops
// poll it from their worker threads.
class HostThread
{
public:
  HostThread() = default;
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  // True when a break has been requested for this thread. Safe from any thread.
  Bool TestBreak() const
  {
    const Int n = _tests.fetch_add(1, std::memory_order_relaxed) + 1;
    const Int at = _breakAfter.load(std::memory_order_relaxed);
    if (at > 0 && n >= at)
      return true;
    return _break.load(std::memory_order_acquire);
  }

  void SetBreak(Bool request = true) { _break.store(request, std::memory_order_release); }
  // Test hook: the k-th TestBreak from now on (and every later one) reports a break. 0 disarms.
  void BreakAfterTests(Int k)
  {
    _breakAfter.store(k > 0 ? _tests.load(std::memory_order_relaxed) + k : 0, std::memory_order_relaxed);
  }
  // Number of TestBreak calls made so far (tests check the break-mask rules with it).
  Int GetTestCount() const { return _tests.load(std::memory_order_relaxed); }
  void ResetTestCount() { _tests.store(0, std::memory_order_relaxed); }

private:
  std::atomic<Bool> _break{false};
  mutable std::atomic<Int> _tests{0};
  std::atomic<Int> _breakAfter{0};
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
