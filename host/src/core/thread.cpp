#include "host/core/thread.h"

#include <thread>

#include "host/core/log.h"

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
