// Host allocation and the test switch that makes an allocation fail, so out-of-memory paths can be run.
#pragma once

#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "host/core/types.h"

namespace host
{
// Every host allocation and array growth asks this first. Returns true when the call must fail.
Bool AllocationShouldFail();

// Makes the n-th host allocation or array growth from now fail (1 = the next one), once.
// Pass 0 to disarm. Counting is process-wide and thread-safe.
void FailNthAllocation(Int n);
// Number of host allocations and growths asked for since the process started (for tests that look for
// the n to arm).
Int GetAllocationCount();

// Runs one allocating step of the host (filling a standard container, say) as a host allocation: false,
// with the step not run, when the failure switch says so; false when the step runs out of memory.
template <typename Step>
Bool TryAllocation(Step&& step)
{
  if (AllocationShouldFail())
    return false;
  try
  {
    step();
    return true;
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  catch (const std::length_error&)
  {
    return false;
  }
}

// Disarms the switch when the scope ends, so a failing test does not leak the setting into the next.
class ScopedAllocationFailure
{
public:
  explicit ScopedAllocationFailure(Int n) { FailNthAllocation(n); }
  ~ScopedAllocationFailure() { FailNthAllocation(0); }
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};
} // namespace host

// The host's object allocation: null when memory cannot be had (or the test switch says so).
template <typename T, typename... Args>
T* NewObj(Args&&... args)
{
  if (host::AllocationShouldFail())
    return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

template <typename T>
void DeleteObj(T*& p)
{
  delete p;
  p = nullptr;
}
