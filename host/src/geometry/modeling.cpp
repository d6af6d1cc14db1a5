#include "host/geometry/modeling.h"

#include <mutex>
#include <set>
#include <vector>

#include "host/scene/plugins.h"

namespace
{
struct Refusals
{
  std::mutex mutex;
  std::set<Int32> commands;
};

Refusals& GetRefusals()
{
  static Refusals r;
  return r;
}

Bool IsRefused(Int32 command)
{
  Refusals& r = GetRefusals();
  std::lock_guard lock(r.mutex);
  return r.commands.count(command) != 0;
}

// Generators below op first, as the host's document build does, so op's build sees their caches.
void BuildGeneratorsBelow(BaseObject* op, HierarchyContext* hh)
{
  for (BaseObject* c = op->GetDown(); c; c = c->GetNext())
  {
    BuildGeneratorsBelow(c, hh);
    if ((c->GetInfo() & OBJECT_GENERATOR) != 0 && c->GetNodeData())
      host::BuildObjectCache(c, hh);
  }
}

// The current state of one object of doc as a new object in no document, or null when the stand-in
// cannot collapse it.
BaseObject* CurrentState(BaseDocument* doc, BaseObject* op)
{
  if (!op || op->GetDocument() != doc)
    return nullptr;
  if ((op->GetInfo() & OBJECT_GENERATOR) != 0 && op->GetNodeData())
  {
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    BuildGeneratorsBelow(op, &hh);
    BaseObject* cache = host::BuildObjectCache(op, &hh);
    if (!cache)
      return nullptr;
    BaseObject* copy = cache->GetClone();
    if (copy)
      copy->SetMl(op->GetMg() * cache->GetMl());
    return copy;
  }
  if (op->IsInstanceOf(Opoint))
  {
    BaseObject* copy = op->GetClone();
    if (copy)
      copy->SetMl(op->GetMg());
    return copy;
  }
  return nullptr;
}
} // namespace

ModelingCommandData::~ModelingCommandData()
{
  AtomArray::Free(result);
}

Bool SendModelingCommand(Int32 command, ModelingCommandData& data)
{
  if (command != MCOMMAND_CURRENTSTATETOOBJECT || IsRefused(command) || !data.doc)
    return false;
  if (!data.result)
  {
    data.result = AtomArray::Alloc();
    if (!data.result)
      return false;
  }
  data.result->Flush();

  std::vector<BaseObject*> inputs;
  if (data.op)
    inputs.push_back(data.op);
  else if (data.arr)
    for (Int32 i = 0; i < data.arr->GetCount(); ++i)
    {
      BaseList2D* node = data.arr->GetIndex(i);
      inputs.push_back(node && node->GetKind() == NODEKIND::OBJECT ? static_cast<BaseObject*>(node) : nullptr);
    }
  if (inputs.empty())
    return false;

  std::vector<BaseObject*> made;
  Bool ok = true;
  for (BaseObject* op : inputs)
  {
    BaseObject* copy = CurrentState(data.doc, op);
    if (!copy)
    {
      ok = false;
      break;
    }
    made.push_back(copy);
    if (!data.result->Append(copy))
    {
      ok = false;
      break;
    }
  }
  if (!ok)
  {
    data.result->Flush();
    for (BaseObject* op : made)
      BaseObject::Free(op);
  }
  return ok;
}

namespace host
{
void SetModelingCommandRefused(Int32 command, Bool refused)
{
  Refusals& r = GetRefusals();
  std::lock_guard lock(r.mutex);
  if (refused)
    r.commands.insert(command);
  else
    r.commands.erase(command);
}

void ResetModelingCommandRefusals()
{
  Refusals& r = GetRefusals();
  std::lock_guard lock(r.mutex);
  r.commands.clear();
}
} // namespace host
