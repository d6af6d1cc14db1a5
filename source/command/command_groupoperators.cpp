#include "command/command_groupoperators.h"

#include "command/command_common.h"
#include "host/core/alloc.h"
#include "host/scene/baseobject.h"
#include "host/scene/hierarchy.h"
#include "orogenix/ogx_ids.h"

namespace
{
constexpr Int32 IDS_GROUP_NAME = 10034;
constexpr Int32 IDS_GROUP_HELP = 10035;
constexpr Int32 IDS_UNGROUP_NAME = 10036;
constexpr Int32 IDS_UNGROUP_HELP = 10037;

Bool IsOperator(const BaseList2D* node)
{
  return node && node->GetKind() == NODEKIND::OBJECT && node->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE);
}

// Whether node lies in the subtree below ancestor.
Bool IsBelow(const BaseObject* node, const BaseObject* ancestor)
{
  for (const BaseObject* up = node ? node->GetUp() : nullptr; up; up = up->GetUp())
    if (up == ancestor)
      return true;
  return false;
}

// Moves op to the end of parent's children; when the host refuses, op goes back where it was.
void MoveUnder(BaseDocument* doc, BaseObject* op, BaseObject* parent)
{
  BaseObject* pred = op->GetPred();
  BaseObject* up = op->GetUp();
  op->Remove();
  if (op->InsertUnderLast(parent))
    return;
  if (pred)
    op->InsertAfter(pred);
  else if (up)
    op->InsertUnder(up);
  else
    doc->InsertObject(op, nullptr);
}
} // namespace

BaseObject* GroupOperators(BaseDocument* doc, const AtomArray& objects)
{
  BaseList2D* first = objects.GetIndex(0);
  if (!doc || !first || first->GetKind() != NODEKIND::OBJECT)
    return nullptr;

  ScopedUndo undo(doc);
  BaseObject* group = BaseObject::Alloc(ID_OGX_GROUPOPERATOR);
  if (!group)
    return nullptr;
  if (!group->InsertBefore(first))
  {
    BaseObject::Free(group);
    return nullptr;
  }
  group->ChangeNBit(NBIT::OM1_FOLD, NBITCONTROL::TOGGLE);
  group->SetBit(BIT_ACTIVE);
  doc->AddUndo(UNDOTYPE::NEWOBJ, group);

  for (Int32 i = 0; i < objects.GetCount(); ++i)
  {
    BaseList2D* node = objects.GetIndex(i);
    if (!IsOperator(node))
      continue;
    BaseObject* op = static_cast<BaseObject*>(node);
    // The group went where the first entry was; an operator holding that place would go into itself.
    if (IsBelow(group, op))
      continue;
    doc->AddUndo(UNDOTYPE::CHANGE, op);
    MoveUnder(doc, op, group);
    op->DelBit(BIT_ACTIVE);
  }
  return group;
}

Bool UngroupOperators(BaseDocument* doc, BaseObject* group)
{
  if (!doc || !group || group->GetType() != ID_OGX_GROUPOPERATOR)
    return false;
  ScopedUndo undo(doc);
  // From the last child to the first, each right after the group: they end up in their old order.
  for (BaseObject* child = group->GetDownLast(); child;)
  {
    BaseObject* previous = child->GetPred();
    doc->AddUndo(UNDOTYPE::CHANGE_HIERARCHY, child);
    child->Remove();
    child->InsertAfter(group);
    child->SetBit(BIT_ACTIVE);
    child = previous;
  }
  doc->AddUndo(UNDOTYPE::DELETEOBJ, group);
  group->Remove();
  BaseObject::Free(group);
  return true;
}

Bool GroupOperatorsCommand::Execute(BaseDocument* doc)
{
  ActiveObjects active(doc);
  if (!active.Get() || active.Get()->GetCount() == 0)
    return false;
  if (!GroupOperators(doc, *active.Get()))
    return false;
  EventAdd();
  return true;
}

Int32 GroupOperatorsCommand::GetState(BaseDocument* doc)
{
  ActiveObjects active(doc);
  const AtomArray* objects = active.Get();
  if (!objects || objects->GetCount() == 0)
    return 0;
  for (Int32 i = 0; i < objects->GetCount(); ++i)
    if (!IsOperator(objects->GetIndex(i)))
      return 0;
  return CMD_ENABLED;
}

Bool UngroupOperatorsCommand::Execute(BaseDocument* doc)
{
  if (!doc || !UngroupOperators(doc, doc->GetActiveObject()))
    return false;
  EventAdd();
  return true;
}

Int32 UngroupOperatorsCommand::GetState(BaseDocument* doc)
{
  const BaseObject* active = doc ? doc->GetActiveObject() : nullptr;
  return active && active->GetType() == ID_OGX_GROUPOPERATOR ? CMD_ENABLED : 0;
}

Bool RegisterGroupOperatorsCommand(Int32 sortOrder)
{
  return RegisterOgxCommand({ID_OGX_GROUPOPERATORS_COMMAND, 192, 64, IDS_GROUP_NAME, IDS_GROUP_HELP}, sortOrder,
                            []() -> CommandData* { return NewObj<GroupOperatorsCommand>(); });
}

Bool RegisterUngroupOperatorsCommand(Int32 sortOrder)
{
  return RegisterOgxCommand({ID_OGX_UNGROUPOPERATORS_COMMAND, 384, 64, IDS_UNGROUP_NAME, IDS_UNGROUP_HELP}, sortOrder,
                            []() -> CommandData* { return NewObj<UngroupOperatorsCommand>(); });
}
