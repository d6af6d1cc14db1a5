#include "host/gui/keyboard.h"

#include <atomic>

namespace
{
std::atomic<Int32> g_qualifiers{QUALIFIER_NONE};
std::atomic<Bool> g_fail{false};
std::atomic<Int> g_queries{0};
} // namespace

Bool GetInputState(Int32 device, Int32 channel, BaseContainer& res)
{
  g_queries.fetch_add(1, std::memory_order_relaxed);
  if (g_fail.load(std::memory_order_relaxed))
    return false;
  if (device != INPUT_DEVICE_KEYBOARD || channel != INPUT_CHANNEL_QUALIFIERS)
    return false;
  res.SetInt32(INPUT_QUALIFIERS, g_qualifiers.load(std::memory_order_relaxed));
  return true;
}

namespace host
{
void SetQualifiers(Int32 mask)
{
  g_qualifiers.store(mask, std::memory_order_relaxed);
}

Int32 GetQualifiers()
{
  return g_qualifiers.load(std::memory_order_relaxed);
}

void SetInputStateFails(Bool fail)
{
  g_fail.store(fail, std::memory_order_relaxed);
}

Int GetInputStateQueryCount()
{
  return g_queries.load(std::memory_order_relaxed);
}

void ResetInputState()
{
  g_qualifiers.store(QUALIFIER_NONE, std::memory_order_relaxed);
  g_fail.store(false, std::memory_order_relaxed);
}
} // namespace host
