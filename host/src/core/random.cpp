#include "host/core/random.h"

#include <atomic>
#include <chrono>

namespace
{
std::atomic<UInt32> g_calls{0};
std::atomic<Bool> g_fixed{false};
std::atomic<Int32> g_fixedValue{0};
} // namespace

Int32 GeGetRandomSeedValue()
{
  if (g_fixed.load(std::memory_order_acquire))
    return g_fixedValue.load(std::memory_order_relaxed);
  const UInt64 ticks = static_cast<UInt64>(std::chrono::steady_clock::now().time_since_epoch().count());
  // The counter's golden-ratio step keeps calls within one tick apart; the fold keeps the clock's
  // high bits from being lost in the 32-bit answer.
  const UInt32 call = g_calls.fetch_add(1, std::memory_order_relaxed);
  const UInt32 mixed = static_cast<UInt32>(ticks ^ (ticks >> 32)) + call * 0x9E3779B9u;
  return static_cast<Int32>(mixed);
}

namespace host
{
void FixRandomSeedValue(Int32 value)
{
  g_fixedValue.store(value, std::memory_order_relaxed);
  g_fixed.store(true, std::memory_order_release);
}

void ReleaseRandomSeedValue()
{
  g_fixed.store(false, std::memory_order_release);
}
} // namespace host
