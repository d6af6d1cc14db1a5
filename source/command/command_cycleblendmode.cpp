#include "command/command_cycleblendmode.h"

#include <array>

#include "command/command_common.h"
#include "host/core/alloc.h"
#include "host/scene/baseobject.h"
#include "host/scene/messages.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"

namespace
{
constexpr Int32 IDS_NEXT_NAME = 10045;
constexpr Int32 IDS_NEXT_HELP = 10046;
constexpr Int32 IDS_PREVIOUS_NAME = 10047;
constexpr Int32 IDS_PREVIOUS_HELP = 10048;

// The ring, in forward order. DIVIDE is deliberately not on it.
constexpr std::array<BLENDMODE, 14> BLENDMODE_RING = {
  BLENDMODE::NORMAL,   BLENDMODE::ADD,     BLENDMODE::SUBTRACT, BLENDMODE::DIFFERENCE, BLENDMODE::PHOENIX,
  BLENDMODE::PHOENIXINVERSE, BLENDMODE::LOWEST, BLENDMODE::HIGHEST, BLENDMODE::MULTIPLY, BLENDMODE::OVERLAY,
  BLENDMODE::NEGATION, BLENDMODE::SCREEN,  BLENDMODE::SOFTLIGHT, BLENDMODE::HARDLIGHT,
};

// The mode steps places along the ring from current; DIVIDE sits between MULTIPLY and OVERLAY, and
// anything off the ring and not DIVIDE goes to NORMAL.
BLENDMODE StepAlongRing(BLENDMODE current, Int step)
{
  const Int n = static_cast<Int>(BLENDMODE_RING.size());
  if (current == BLENDMODE::DIVIDE)
    return step > 0 ? BLENDMODE::OVERLAY : BLENDMODE::MULTIPLY;
  for (Int i = 0; i < n; ++i)
    if (BLENDMODE_RING[static_cast<std::size_t>(i)] == current)
      return BLENDMODE_RING[static_cast<std::size_t>((i + step + n) % n)];
  return BLENDMODE::NORMAL;
}
} // namespace

BLENDMODE NextBlendmodeCommand::CycleBlendMode(BLENDMODE current)
{
  return StepAlongRing(current, 1);
}

BLENDMODE PreviousBlendmodeCommand::CycleBlendMode(BLENDMODE current)
{
  return StepAlongRing(current, -1);
}

Result<void> CollectTargetOperators(const AtomArray* activeObjects, BaseArray<BaseObject*>& out)
{
  if (!activeObjects)
    return OK;
  for (Int32 i = 0; i < activeObjects->GetCount(); ++i)
  {
    BaseList2D* node = activeObjects->GetIndex(i);
    if (!node || !node->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
      continue;
    BaseObject* op = static_cast<BaseObject*>(node);
    auto* data = op->GetNodeData<OGX::BaseTerrainOperatorData>();
    if (data && HasFlags(data->GetOperatorFlags(op), TERRAINOPERATORFLAGS::TYPE_GENERATOR))
      HOST_TRY(out.Append(op));
  }
  return OK;
}

Result<void> BaseCycleBlendmodeCommand::ApplyBlendMode(BaseObject* op, BaseDocument* document, BaseContainer* data)
{
  if (!op || !data)
    return NullptrError("op must not be NULL!");
  const auto current = static_cast<BLENDMODE>(data->GetInt32(TERRAINOPERATOR_BLENDMODE, 0));
  const BLENDMODE next = CycleBlendMode(current);
  if (document)
    document->AddUndo(UNDOTYPE::CHANGE_SMALL, op);
  data->SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(next));
  op->Message(MSG_UPDATE_DESCRIPTION);
  return OK;
}

Bool BaseCycleBlendmodeCommand::Execute(BaseDocument* doc)
{
  return ExecuteOnTargets(doc, CollectTargetOperators,
                          [&](BaseObject* op) { return ApplyBlendMode(op, doc, op->GetDataInstance()); });
}

Int32 BaseCycleBlendmodeCommand::GetState(BaseDocument* doc)
{
  return GetTargetsState(doc, CollectTargetOperators);
}

Bool RegisterCycleBlendmodeCommands(Int32 sortOrder)
{
  return RegisterOgxCommandPair(
    {ID_OGX_NEXTBLENDMODE_COMMAND, 64, 128, IDS_NEXT_NAME, IDS_NEXT_HELP},
    []() -> CommandData* { return NewObj<NextBlendmodeCommand>(); },
    {ID_OGX_PREVIOUSBLENDMODE_COMMAND, 128, 128, IDS_PREVIOUS_NAME, IDS_PREVIOUS_HELP},
    []() -> CommandData* { return NewObj<PreviousBlendmodeCommand>(); }, sortOrder);
}
