#include "host/scene/execution.h"

#include <algorithm>

Bool PriorityList::Add(GeListNode* node, Int32 priority, EXECUTIONFLAGS flags)
{
  if (!node)
    return false;
  _entries.push_back({node, priority, flags});
  return true;
}

namespace host
{
std::vector<SceneHookRun> ExecuteSceneHooks(BaseDocument* doc, HostThread* thread)
{
  std::vector<SceneHookRun> runs;
  if (!doc)
    return runs;
  PriorityList list;
  for (BaseSceneHook* hook : GetSceneHooks(doc))
    if (auto* data = dynamic_cast<SceneHookData*>(hook->GetNodeData()))
      data->AddToExecution(hook, &list);
  std::vector<PriorityList::Entry> entries = list.GetEntries();
  std::stable_sort(entries.begin(), entries.end(),
                   [](const PriorityList::Entry& a, const PriorityList::Entry& b) { return a.priority < b.priority; });
  for (const PriorityList::Entry& e : entries)
  {
    auto* hook = dynamic_cast<BaseSceneHook*>(e.node);
    auto* data = hook ? dynamic_cast<SceneHookData*>(hook->GetNodeData()) : nullptr;
    if (!data)
      continue;
    runs.push_back({hook, e.priority, e.flags, data->Execute(hook, doc, thread, e.priority, e.flags)});
  }
  return runs;
}
} // namespace host
