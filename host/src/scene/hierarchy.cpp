#include "host/scene/hierarchy.h"

#include <array>
#include <atomic>
#include <mutex>
#include <set>

#include "host/core/log.h"
#include "host/geometry/geometrytags.h"
#include "host/geometry/modeling.h"
#include "internal.h"

namespace
{
std::array<std::atomic<Bool>, 4> g_running{};

struct World
{
  BaseContainer container;
  std::recursive_mutex containerMutex;   // WorldContainerLock
  std::mutex mutex;                      // guards the refusal set only
  std::set<Int32> refused;
};

World& GetWorld()
{
  static World w;
  return w;
}

struct Events
{
  std::mutex mutex;
  std::vector<Int32> log;
};

Events& GetEvents()
{
  static Events e;
  return e;
}

void BuildBelowFirst(BaseObject* op, HierarchyContext* hh)
{
  for (; op; op = op->GetNext())
  {
    BuildBelowFirst(op->GetDown(), hh);
    if ((op->GetInfo() & OBJECT_GENERATOR) != 0 && op->GetNodeData())
      host::BuildObjectCache(op, hh);
  }
}
} // namespace

Bool CheckIsRunning(CHECKISRUNNING type)
{
  const auto i = static_cast<std::size_t>(type);
  return i < g_running.size() && g_running[i].load();
}

BaseContainer* GetWorldContainerInstance()
{
  return &GetWorld().container;
}

WorldContainerLock::WorldContainerLock()
{
  GetWorld().containerMutex.lock();
}

WorldContainerLock::~WorldContainerLock()
{
  GetWorld().containerMutex.unlock();
}

void EventAdd(Int32 flags)
{
  Events& e = GetEvents();
  std::lock_guard lock(e.mutex);
  e.log.push_back(flags);
}

namespace host
{
void SetRunning(CHECKISRUNNING type, Bool running)
{
  const auto i = static_cast<std::size_t>(type);
  if (i < g_running.size())
    g_running[i].store(running);
}

void ResetRunningStates()
{
  for (auto& r : g_running)
    r.store(false);
}

void ResetWorldContainer()
{
  World& w = GetWorld();
  {
    WorldContainerLock worldLock;
    w.container = BaseContainer();
  }
  std::lock_guard lock(w.mutex);
  w.refused.clear();
}

void SetWorldSubContainerRefused(Int32 id, Bool refused)
{
  World& w = GetWorld();
  std::lock_guard lock(w.mutex);
  if (refused)
    w.refused.insert(id);
  else
    w.refused.erase(id);
}

Bool IsWorldSubContainerRefused(const BaseContainer* bc, Int32 id)
{
  World& w = GetWorld();
  if (bc != &w.container)
    return false;
  std::lock_guard lock(w.mutex);
  return w.refused.count(id) != 0;
}

Int GetEventCount()
{
  Events& e = GetEvents();
  std::lock_guard lock(e.mutex);
  return static_cast<Int>(e.log.size());
}

std::vector<Int32> GetEventLog()
{
  Events& e = GetEvents();
  std::lock_guard lock(e.mutex);
  return e.log;
}

void ResetEvents()
{
  Events& e = GetEvents();
  std::lock_guard lock(e.mutex);
  e.log.clear();
}

BaseObject* BuildObjectCache(BaseObject* op, HierarchyContext* hh)
{
  if (!op)
    return nullptr;
  ObjectData* data = dynamic_cast<ObjectData*>(op->GetNodeData());
  if (!data)
    return nullptr;
  BaseObject* result = data->BuildCache(op, hh);
  BaseObject*& cache = HostNodeAccess::Cache(op);
  if (result && result != cache && result->IsInList())
  {
    // The host cannot take ownership of an object that already lives in a list.
    DiagnosticOutput("BuildCache returned an object that is in a list; it is not kept as the cache.");
    result = nullptr;
  }
  if (result != cache)
  {
    BaseList2D* old = cache;
    cache = result;
    FreeNode(old);
    op->SetDirty(DIRTYFLAGS::CACHE);
  }
  HostNodeAccess::RecordStamps(op, detail::HashBelow(op));
  return cache;
}

void BuildDocumentCaches(BaseDocument* doc, HierarchyContext* hh)
{
  if (doc)
    BuildBelowFirst(doc->GetFirstObject(), hh);
}

void ResetSceneState()
{
  ResetPlugins();
  ResetWorldContainer();
  ResetRunningStates();
  ResetEvents();
  ResetWriteAccessRefusals();
  ResetModelingCommandRefusals();
  FlushRecordStoragePool();
}
} // namespace host
