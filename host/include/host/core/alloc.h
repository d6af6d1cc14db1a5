// Host allocation and the test switch that makes an allocation fail, so out-of-memory paths can be run.
#pragma once

#include <memory>
#include <new>
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
