// The pool of recycled variable-tag storage (see baseobject.h) and the background thread that frees the
// arrays the pool lets go.
//
// A generator that rebuilds its cache makes a new mesh while the host still holds the old one; the old
// one is freed once the build has returned. With the pool, that free hands the old mesh's point,
// polygon and UVW arrays over here, and the next build of the same shape takes them back: its arrays
// are already mapped (no page faults) and the free of hundreds of megabytes (returning them to the
// system) happens only when the pool is full, and then on the background thread.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"

namespace
{
using host::detail::RecordBytes;

// Smaller arrays are freed at once: the allocator serves them well, and a large pool of small arrays
// would be searched for nothing.
constexpr std::size_t RECYCLE_MIN_BYTES = std::size_t(1) << 20;
// Enough for every array of a 4001 x 4001 triangle mesh with its UVWs (about 3.9 GB), the largest
// cache a terrain makes at the default resolution cap.
constexpr std::size_t POOL_LIMIT_BYTES = std::size_t(4) << 30;
constexpr std::size_t POOL_MAX_ARRAYS = 16;
// An array serves a request up to this fraction (1/n) larger than asked: a resolution changed by a
// few cells still reuses the mesh storage.
constexpr std::size_t TAKE_SLACK_DIVISOR = 16;

// Frees arrays on a thread of its own, started with the first array it is given.
class Reclaimer
{
public:
  ~Reclaimer()
  {
    {
      std::lock_guard lock(_mutex);
      _stop = true;
    }
    _wake.notify_all();
    if (_thread.joinable())
      _thread.join();
  }

  void Free(RecordBytes&& bytes)
  {
    {
      std::lock_guard lock(_mutex);
      _queue.push_back(std::move(bytes));
      if (!_thread.joinable())
        _thread = std::thread([this] { Run(); });
    }
    _wake.notify_all();
  }

  // Returns once every array handed over so far is freed.
  void Drain()
  {
    std::unique_lock lock(_mutex);
    _idle.wait(lock, [this] { return _queue.empty() && !_busy; });
  }

private:
  void Run()
  {
    std::unique_lock lock(_mutex);
    for (;;)
    {
      _wake.wait(lock, [this] { return _stop || !_queue.empty(); });
      if (_queue.empty())
        return;
      std::vector<RecordBytes> batch;
      batch.swap(_queue);
      _busy = true;
      lock.unlock();
      batch.clear();
      lock.lock();
      _busy = false;
      _idle.notify_all();
    }
  }

  std::mutex _mutex;
  std::condition_variable _wake;
  std::condition_variable _idle;
  std::vector<RecordBytes> _queue;
  Bool _busy = false;
  Bool _stop = false;
  std::thread _thread;
};

class RecordPool
{
public:
  void Recycle(RecordBytes&& bytes)
  {
    const std::size_t size = bytes.capacity();
    if (size < RECYCLE_MIN_BYTES)
      return;   // freed by the caller's array going away
    if (size > POOL_LIMIT_BYTES)
    {
      _reclaimer.Free(std::move(bytes));
      return;
    }
    std::lock_guard lock(_mutex);
    _arrays.push_back(std::move(bytes));
    _bytes += size;
    while (_bytes > POOL_LIMIT_BYTES || _arrays.size() > POOL_MAX_ARRAYS)
    {
      _bytes -= _arrays.front().capacity();
      _reclaimer.Free(std::move(_arrays.front()));
      _arrays.pop_front();
    }
  }

  RecordBytes Take(std::size_t bytes)
  {
    if (bytes < RECYCLE_MIN_BYTES)
      return {};
    std::lock_guard lock(_mutex);
    // The array recycled last first: a rebuild gets back the arrays of the mesh it replaced.
    for (auto it = _arrays.rbegin(); it != _arrays.rend(); ++it)
    {
      const std::size_t size = it->capacity();
      if (size >= bytes && size - bytes <= bytes / TAKE_SLACK_DIVISOR)
      {
        RecordBytes out = std::move(*it);
        _arrays.erase(std::next(it).base());
        _bytes -= size;
        return out;
      }
    }
    return {};
  }

  Int GetBytes()
  {
    std::lock_guard lock(_mutex);
    return static_cast<Int>(_bytes);
  }

  void Flush()
  {
    std::deque<RecordBytes> arrays;
    {
      std::lock_guard lock(_mutex);
      arrays.swap(_arrays);
      _bytes = 0;
    }
    arrays.clear();
    _reclaimer.Drain();
  }

private:
  Reclaimer _reclaimer;
  std::mutex _mutex;
  std::deque<RecordBytes> _arrays;   // oldest first
  std::size_t _bytes = 0;
};

// Never destroyed: a tag freed by another static's destructor at exit still finds it (the arrays it holds
// then go with the process).
RecordPool& GetPool()
{
  static RecordPool* pool = new RecordPool();
  return *pool;
}
} // namespace

namespace host::detail
{
void RecycleRecordStorage(RecordBytes&& bytes)
{
  GetPool().Recycle(std::move(bytes));
}

RecordBytes TakeRecordStorage(std::size_t bytes)
{
  return GetPool().Take(bytes);
}
} // namespace host::detail

namespace host
{
Int GetRecordStoragePoolBytes()
{
  return GetPool().GetBytes();
}

Int GetRecordStoragePoolLimit()
{
  return static_cast<Int>(POOL_LIMIT_BYTES);
}

Int GetRecordStorageRecycleMinimum()
{
  return static_cast<Int>(RECYCLE_MIN_BYTES);
}

void FlushRecordStoragePool()
{
  GetPool().Flush();
}
} // namespace host
