#include "host/scene/coreevents.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "host/core/alloc.h"

namespace
{
struct EventQueue
{
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<host::CoreEvent> pending;
  std::vector<host::CoreEvent> delivered;
};

EventQueue& Queue()
{
  static EventQueue q;
  return q;
}

// The instances of every registered message plug-in, in registration order.
std::vector<MessageData*> MessagePlugins()
{
  std::vector<MessageData*> out;
  for (const host::PluginEntry* e : host::GetPlugins())
    if (e->type == PLUGINTYPE::MESSAGE && e->instance)
      out.push_back(static_cast<MessageData*>(e->instance.get()));
  return out;
}
} // namespace

Bool MessageData::CoreMessage(Int32, const BaseContainer&)
{
  return true;
}

Bool RegisterMessagePlugin(Int32 id, const String& name, Int32 info, MessageData* dat)
{
  // Taken at once, so that a refused registration deletes the instance instead of leaking it.
  std::unique_ptr<BaseData> instance(dat);
  if (!instance)
    return false;
  host::PluginEntry entry;
  entry.id = id;
  entry.type = PLUGINTYPE::MESSAGE;
  entry.name = name;
  entry.info = info;
  entry.instance = std::move(instance);
  return host::RegisterPlugin(std::move(entry));
}

MessageData* FindMessagePlugin(Int32 id)
{
  const host::PluginEntry* e = host::FindPlugin(id);
  if (!e || e->type != PLUGINTYPE::MESSAGE)
    return nullptr;
  return static_cast<MessageData*>(e->instance.get());
}

Bool SpecialEventAdd(Int32 messageid, UInt p1, UInt p2)
{
  EventQueue& q = Queue();
  {
    std::lock_guard lock(q.mutex);
    if (!host::TryAllocation([&] { q.pending.push_back({messageid, p1, p2}); }))
      return false;
  }
  q.posted.notify_all();
  return true;
}

namespace host
{
Int ProcessCoreEvents()
{
  EventQueue& q = Queue();
  Int count = 0;
  for (;;)
  {
    CoreEvent event;
    {
      std::lock_guard lock(q.mutex);
      if (q.pending.empty())
        break;
      event = q.pending.front();
      q.pending.pop_front();
      q.delivered.push_back(event);
    }
    // Delivered without the queue's lock, so a receiver may post events of its own.
    BaseContainer msg(event.id);
    msg.SetInt64(BFM_CORE_PAR1, static_cast<Int64>(event.p1));
    msg.SetInt64(BFM_CORE_PAR2, static_cast<Int64>(event.p2));
    for (MessageData* plugin : MessagePlugins())
      plugin->CoreMessage(event.id, msg);
    ++count;
  }
  return count;
}

Bool WaitForCoreEvent(std::chrono::milliseconds timeout)
{
  EventQueue& q = Queue();
  std::unique_lock lock(q.mutex);
  return q.posted.wait_for(lock, timeout, [&] { return !q.pending.empty(); });
}

Int GetPendingCoreEventCount()
{
  EventQueue& q = Queue();
  std::lock_guard lock(q.mutex);
  return static_cast<Int>(q.pending.size());
}

std::vector<CoreEvent> GetDeliveredCoreEvents()
{
  EventQueue& q = Queue();
  std::lock_guard lock(q.mutex);
  return q.delivered;
}

void ResetCoreEvents()
{
  EventQueue& q = Queue();
  std::lock_guard lock(q.mutex);
  q.pending.clear();
  q.delivered.clear();
}
} // namespace host
