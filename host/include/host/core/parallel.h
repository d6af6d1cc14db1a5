// The host's dynamic parallel loop over a persistent worker pool.
//
// ParallelFor(from, to, body, threadCount, granularity, reserved):
//  - from >= to runs nothing and succeeds;
//  - threadCount 1 (or the global parallel switch off, or a call made from inside a loop body) runs
//    every index in increasing order on the calling thread;
//  - threadCount 0 runs on all pool threads, the calling thread taking part as thread 0. The range is
//    split into one sub-range per participating thread (never more than there are indices); each
//    thread takes chunks of `granularity` indices from its own sub-range by an atomic fetch-add and
//    then steals from the others, so every index runs exactly once in no defined order;
//  - the first error a body returns is kept, a stop flag is raised that every thread tests before
//    each index, and that error is returned once all threads have left the loop.
// Only one pool loop runs at a time; a second caller from another thread waits for the first to end.
#pragma once

#include <type_traits>

#include "host/core/result.h"

namespace host
{
// A non-owning reference to the loop body, so the pool need not be a template.
struct LoopBody
{
  Result<void> (*call)(void* ctx, Int index);
  void* ctx;
};

Result<void> ParallelForImpl(Int from, Int to, LoopBody body, Int threadCount, Int granularity);

// Number of threads of the pool, calling thread included (at least 2). Changing it restarts the pool;
// only allowed while no loop runs. 0 picks the machine's hardware thread count.
void SetThreadCount(Int count);
// The global parallel switch: off forces every loop onto its calling thread.
void SetParallelEnabled(Bool enabled);
Bool IsParallelEnabled();
// True while the calling thread is running a loop body.
Bool IsInsideParallelBody();
} // namespace host

// Threads that "all threads" (0) uses: the pool size, calling thread included.
Int GetCurrentThreadCount();
// Index of the calling thread in [0, GetCurrentThreadCount()): the pool worker's number, 0 for the
// thread that called the loop and for every thread outside the pool.
Int GetCurrentThreadIndex();

template <typename Body>
Result<void> ParallelFor(Int from, Int to, Body&& body, Int threadCount = 0, Int granularity = 16, Int reserved = -1)
{
  (void)reserved;
  using B = std::remove_reference_t<Body>;
  host::LoopBody ref{[](void* ctx, Int i) -> Result<void> {
                       if constexpr (std::is_void_v<decltype((*static_cast<B*>(ctx))(i))>)
                       {
                         (*static_cast<B*>(ctx))(i);
                         return OK;
                       }
                       else
                       {
                         return (*static_cast<B*>(ctx))(i);
                       }
                     },
                     const_cast<void*>(static_cast<const void*>(&body))};
  return host::ParallelForImpl(from, to, ref, threadCount, granularity);
}
