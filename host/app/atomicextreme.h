// A running maximum or minimum that many threads update in place without a lock: the compare-and-swap
// loop makes concurrent writers agree, and the result does not depend on the order they come in.
#pragma once

#include <atomic>

namespace host::app
{
// Raises slot to at least value.
template <typename T>
void AtomicMax(T& slot, T value)
{
  std::atomic_ref<T> ref(slot);
  T current = ref.load(std::memory_order_relaxed);
  while (value > current && !ref.compare_exchange_weak(current, value, std::memory_order_relaxed))
  {
  }
}

// Lowers slot to at most value.
template <typename T>
void AtomicMin(T& slot, T value)
{
  std::atomic_ref<T> ref(slot);
  T current = ref.load(std::memory_order_relaxed);
  while (value < current && !ref.compare_exchange_weak(current, value, std::memory_order_relaxed))
  {
  }
}
} // namespace host::app
