// The document's execution pass, as far as scene hooks take part in it: each hook adds itself to the
// priority list (AddToExecution) with a priority and the execution flags it wants, and the host then
// runs every entry's Execute in increasing priority (entries of equal priority in the order they were
// added), handing each the flags it was added with. Main thread only.
#pragma once

#include <vector>

#include "host/scene/document.h"

class PriorityList
{
public:
  struct Entry
  {
    GeListNode* node = nullptr;
    Int32 priority = 0;
    EXECUTIONFLAGS flags = EXECUTIONFLAGS::NONE;
  };

  // False for a null node.
  Bool Add(GeListNode* node, Int32 priority, EXECUTIONFLAGS flags);
  const std::vector<Entry>& GetEntries() const { return _entries; }

private:
  std::vector<Entry> _entries;
};

namespace host
{
struct SceneHookRun
{
  BaseSceneHook* hook = nullptr;
  Int32 priority = 0;
  EXECUTIONFLAGS flags = EXECUTIONFLAGS::NONE;
  EXECUTIONRESULT result = EXECUTIONRESULT::OK;
};

// Runs the execution pass of the document's scene hooks (made on first use, one per registered
// scene-hook plug-in) on the calling thread, with thread as the pass's host thread; answers the runs in
// the order they happened.
std::vector<SceneHookRun> ExecuteSceneHooks(BaseDocument* doc, HostThread* thread);
} // namespace host
