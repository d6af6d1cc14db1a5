#include "host/core/alloc.h"

#include <atomic>

namespace host
{
namespace
{
std::atomic<Int> g_failAt{0};   // absolute allocation number that fails; 0 = none
std::atomic<Int> g_count{0};
} // namespace

Bool AllocationShouldFail()
{
  const Int n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  Int target = g_failAt.load(std::memory_order_relaxed);
  if (target == 0 || n != target)
    return false;
  // Fire once even if another thread raced past the same number.
  return g_failAt.compare_exchange_strong(target, 0, std::memory_order_relaxed);
}

void FailNthAllocation(Int n)
{
  g_failAt.store(n > 0 ? g_count.load(std::memory_order_relaxed) + n : 0, std::memory_order_relaxed);
}

Int GetAllocationCount()
{
  return g_count.load(std::memory_order_relaxed);
}
} // namespace host
