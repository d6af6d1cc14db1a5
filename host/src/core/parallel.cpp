// The worker pool behind ParallelFor.
//
// Workers are started once and wait for the next loop by watching an epoch counter: they spin for a
// short while (so back-to-back loops cost no wake-up) and then sleep on a condition variable. The loop's state
// lives in the pool and is reused; a participant announces itself in `_active` before it looks at the
// loop, and the caller does not reuse the state until `_active` has dropped to 0 after closing the loop.
#include "host/core/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HOST_CPU_RELAX() _mm_pause()
#else
#define HOST_CPU_RELAX() ((void)0)
#endif

#include "host/core/log.h"

namespace host
{
namespace
{
thread_local Int tls_threadIndex = 0;
thread_local Bool tls_inBody = false;

std::atomic<Bool> g_parallelEnabled{true};

// How long an idle worker spins before it sleeps.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(100);

struct alignas(64) RangeSlot
{
  std::atomic<Int> next{0};
  Int end = 0;
};

class Pool
{
public:
  Pool() { Start(DefaultSize()); }
  ~Pool() { Stop(); }

  static Int DefaultSize()
  {
    const Int hw = static_cast<Int>(std::thread::hardware_concurrency());
    return std::max<Int>(2, hw);
  }

  Int Size() const { return _size.load(std::memory_order_relaxed); }

  void Resize(Int n)
  {
    std::lock_guard lock(_submit);
    Stop();
    Start(n <= 0 ? DefaultSize() : std::max<Int>(1, n));
  }

  Result<void> Run(Int from, Int to, LoopBody body, Int granularity)
  {
    std::lock_guard lock(_submit);
    const Int count = to - from;
    const Int size = Size();
    const Int ranges = std::min(size, count);
    const Int chunk = std::max<Int>(1, std::min(granularity, count / ranges));

    // Publish the loop. Nobody reads these fields now: `_open` is false and `_active` is 0.
    _body = body;
    _chunk = chunk;
    _rangeCount = ranges;
    for (Int r = 0; r < ranges; ++r)
    {
      _ranges[r].next.store(from + count * r / ranges, std::memory_order_relaxed);
      _ranges[r].end = from + count * (r + 1) / ranges;
    }
    _stop.store(false, std::memory_order_relaxed);
    _error.reset();
    _done.store(0, std::memory_order_relaxed);
    _open.store(true, std::memory_order_seq_cst);
    _epoch.fetch_add(1, std::memory_order_seq_cst);
    WakeSleepers();

    const Int savedIndex = tls_threadIndex;
    tls_threadIndex = 0;
    Participate(0);
    tls_threadIndex = savedIndex;

    // Close the loop and wait for every participant that got in to leave it.
    _open.store(false, std::memory_order_seq_cst);
    WaitUntil([&] { return _active.load(std::memory_order_seq_cst) == 0; });

    if (_error)
      return *_error;
    if (_done.load(std::memory_order_relaxed) != count)
      DiagnosticOutput("Stop: Someone has broken ParallelFor.");
    return OK;
  }

private:
  template <typename Pred>
  static void WaitUntil(Pred pred)
  {
    for (Int spins = 0; !pred(); ++spins)
    {
      if (spins < 4096)
        HOST_CPU_RELAX();
      else
        std::this_thread::yield();
    }
  }

  void Start(Int n)
  {
    _size.store(n, std::memory_order_relaxed);
    _ranges = std::make_unique<RangeSlot[]>(static_cast<std::size_t>(n));
    _shutdown.store(false);
    // A worker must know the epoch as it was when it was made: a worker that read it only once running
    // could miss a stop request issued in between and then wait forever.
    const UInt32 epoch = _epoch.load(std::memory_order_seq_cst);
    for (Int i = 1; i < n; ++i)
      _workers.emplace_back([this, i, epoch] { WorkerMain(i, epoch); });
  }

  void Stop()
  {
    _shutdown.store(true, std::memory_order_seq_cst);
    {
      std::lock_guard lock(_sleepMutex);
      _epoch.fetch_add(1, std::memory_order_seq_cst);
      _wake.notify_all();
    }
    for (auto& t : _workers)
      t.join();
    _workers.clear();
  }

  void WorkerMain(Int index, UInt32 seen)
  {
    tls_threadIndex = index;
    for (;;)
    {
      seen = AwaitNextEpoch(seen);
      if (_shutdown.load(std::memory_order_seq_cst))
        return;
      _active.fetch_add(1, std::memory_order_seq_cst);
      if (_open.load(std::memory_order_seq_cst))
        Participate(index);
      _active.fetch_sub(1, std::memory_order_seq_cst);
    }
  }

  UInt32 AwaitNextEpoch(UInt32 seen)
  {
    const auto start = std::chrono::steady_clock::now();
    for (Int spins = 0;; ++spins)
    {
      const UInt32 e = _epoch.load(std::memory_order_seq_cst);
      if (e != seen)
        return e;
      HOST_CPU_RELAX();
      if ((spins & 255) == 255 && std::chrono::steady_clock::now() - start > kSpinBeforeSleep)
        break;
    }
    std::unique_lock lock(_sleepMutex);
    _sleepers.fetch_add(1, std::memory_order_seq_cst);
    _wake.wait(lock, [&] { return _epoch.load(std::memory_order_seq_cst) != seen; });
    _sleepers.fetch_sub(1, std::memory_order_seq_cst);
    return _epoch.load(std::memory_order_seq_cst);
  }

  // Called after the epoch moved on; wakes sleeping workers only when there are any, so back-to-back
  // loops whose workers are still spinning make no system call.
  void WakeSleepers()
  {
    if (_sleepers.load(std::memory_order_seq_cst) > 0)
    {
      std::lock_guard lock(_sleepMutex);
      _wake.notify_all();
    }
  }

  void Participate(Int threadIndex)
  {
    tls_inBody = true;
    const Int ranges = _rangeCount;
    const Int chunk = _chunk;
    Int done = 0;
    for (Int k = 0; k < ranges; ++k)
    {
      RangeSlot& slot = _ranges[(threadIndex + k) % ranges];
      for (;;)
      {
        if (_stop.load(std::memory_order_relaxed))
          goto finished;
        const Int begin = slot.next.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= slot.end)
          break;
        const Int end = std::min(begin + chunk, slot.end);
        for (Int i = begin; i < end; ++i)
        {
          if (_stop.load(std::memory_order_relaxed))
            goto finished;
          Result<void> res = _body.call(_body.ctx, i);
          if (res.IsError())
          {
            {
              std::lock_guard lock(_errorMutex);
              if (!_error)
                _error = res.GetError();
            }
            _stop.store(true, std::memory_order_relaxed);
            goto finished;
          }
          ++done;
        }
      }
    }
  finished:
    _done.fetch_add(done, std::memory_order_relaxed);
    tls_inBody = false;
  }

  std::mutex _submit;
  std::vector<std::thread> _workers;
  std::atomic<Int> _size{0};

  alignas(64) std::atomic<UInt32> _epoch{0};
  alignas(64) std::atomic<Int> _active{0};
  alignas(64) std::atomic<Int> _sleepers{0};
  std::mutex _sleepMutex;
  std::condition_variable _wake;
  alignas(64) std::atomic<Bool> _open{false};
  std::atomic<Bool> _shutdown{false};

  // The current loop.
  LoopBody _body{};
  Int _chunk = 1;
  Int _rangeCount = 0;
  std::unique_ptr<RangeSlot[]> _ranges;
  alignas(64) std::atomic<Bool> _stop{false};
  alignas(64) std::atomic<Int> _done{0};
  std::mutex _errorMutex;
  std::optional<Error> _error;
};

Pool& GetPool()
{
  static Pool pool;
  return pool;
}

Result<void> RunSequential(Int from, Int to, LoopBody body)
{
  for (Int i = from; i < to; ++i)
  {
    Result<void> res = body.call(body.ctx, i);
    if (res.IsError())
      return res;
  }
  return OK;
}
} // namespace

Result<void> ParallelForImpl(Int from, Int to, LoopBody body, Int threadCount, Int granularity)
{
  if (from >= to)
    return OK;
  // A loop started from inside a loop body runs on the calling thread: the pool is busy with the
  // outer loop, and waiting for it would deadlock.
  if (threadCount == 1 || tls_inBody || !g_parallelEnabled.load(std::memory_order_relaxed) || to - from == 1)
    return RunSequential(from, to, body);
  Pool& pool = GetPool();
  if (pool.Size() < 2)
    return RunSequential(from, to, body);
  return pool.Run(from, to, body, std::max<Int>(1, granularity));
}

void SetThreadCount(Int count)
{
  GetPool().Resize(count);
}

void SetParallelEnabled(Bool enabled)
{
  g_parallelEnabled.store(enabled, std::memory_order_relaxed);
}

Bool IsParallelEnabled()
{
  return g_parallelEnabled.load(std::memory_order_relaxed);
}

Bool IsInsideParallelBody()
{
  return tls_inBody;
}
} // namespace host

Int GetCurrentThreadCount()
{
  return host::GetPool().Size();
}

Int GetCurrentThreadIndex()
{
  return host::tls_threadIndex;
}
