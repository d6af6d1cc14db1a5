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

// The enabled deformers directly below op move the copy's points, in their order.
void ApplyDeformersBelow(const BaseObject* op, BaseObject* copy)
{
  if (!copy->IsInstanceOf(Opoint))
    return;
  for (const BaseObject* c = op->GetDown(); c; c = c->GetNext())
    if (c->GetType() == Odeformer && c->GetObjectState(OBJECTSTATE::DEFORM) != 0)
      ApplyDeformer(c, static_cast<PointObject*>(copy));
}

// The current state of one object of doc as a new object in no document, or null when the stand-in
// cannot collapse it.
BaseObject* CurrentState(BaseDocument* doc, BaseObject* op)
{
  if (!op || op->GetDocument() != doc)
    return nullptr;
  BaseObject* copy = nullptr;
  if ((op->GetInfo() & OBJECT_GENERATOR) != 0 && op->GetNodeData())
  {
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    BuildGeneratorsBelow(op, &hh);
    BaseObject* cache = host::BuildObjectCache(op, &hh);
    if (!cache)
      return nullptr;
    copy = cache->GetClone();
    if (copy)
      copy->SetMl(op->GetMg() * cache->GetMl());
  }
  else if (op->IsInstanceOf(Opoint))
  {
    copy = op->GetClone();
    if (copy)
      copy->SetMl(op->GetMg());
  }
  if (copy)
    ApplyDeformersBelow(op, copy);
  return copy;
}
} // namespace

Bool ApplyDeformer(const BaseObject* deformer, PointObject* target)
{
  if (!deformer || deformer->GetType() != Odeformer || !target)
    return false;
  Vector* points = target->GetPointW();
  const Int32 count = target->GetPointCount();
  if (!points && count > 0)
    return false;
  const BaseContainer* bc = deformer->GetDataInstance();
  const Float scale = bc->GetFloat(DEFORMEROBJECT_SCALE, 1.0);
  const Vector offset = bc->GetVector(DEFORMEROBJECT_OFFSET);
  for (Int32 i = 0; i < count; ++i)
    points[i] = points[i] * scale + offset;
  return true;
}

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
