#include "command/command_changeresolution.h"

#include <algorithm>

#include "command/command_common.h"
#include "common/ogx_gui.h"
#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/gui/keyboard.h"
#include "host/scene/baseobject.h"
#include "host/scene/messages.h"
#include "object/terrainobject.h"
#include "orogenix/ogx_ids.h"
#include "preferences/ogx_prefsdialog.h"

namespace
{
constexpr Int32 IDS_INCREASE_NAME = 10041;
constexpr Int32 IDS_INCREASE_HELP = 10042;
constexpr Int32 IDS_DECREASE_NAME = 10043;
constexpr Int32 IDS_DECREASE_HELP = 10044;

constexpr Int STEP_COARSE = 250;
constexpr Int STEP_FINE = 100;
constexpr Int MIN_RESOLUTION = 100;

// The two resolutions, widened: their sums and differences are made in 64 bits, so values near the
// Int32 limits cannot wrap around into a "possible" step.
struct Resolution
{
  Int x = 0;
  Int y = 0;
};

Resolution ReadResolution(const BaseContainer& data)
{
  return {data.GetInt32(TERRAINOBJECT_RESOLUTION_X, 0), data.GetInt32(TERRAINOBJECT_RESOLUTION_Z, 0)};
}
} // namespace

Int32 GetResolutionCommandCap()
{
  const BaseContainer* prefs = GetOgxPreferences();
  return prefs ? prefs->GetInt32(PREFSOGX_MAX_RESOLUTION, OGX_DEFAULT_MAX_RESOLUTION) : 0;
}

Result<void> ChangeTerrainResolutionCommand::CollectTargetTerrainObjects(const AtomArray* activeObjects,
                                                                         BaseArray<BaseObject*>& out)
{
  if (!activeObjects)
    return OK;
  auto listed = [&](const BaseObject* op) { return std::find(out.begin(), out.end(), op) != out.end(); };
  for (Int32 i = 0; i < activeObjects->GetCount(); ++i)
  {
    BaseList2D* node = activeObjects->GetIndex(i);
    if (!node || node->GetKind() != NODEKIND::OBJECT)
      continue;
    BaseObject* op = static_cast<BaseObject*>(node);
    BaseObject* target = nullptr;
    if (op->GetType() == ID_OGX_TERRAINOBJECT)
    {
      target = listed(op) ? nullptr : op;
    }
    else if (op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
    {
      // The nearest terrain object above that is not listed yet; a listed one is passed over.
      for (BaseObject* up = op->GetUp(); up && !target; up = up->GetUp())
        if (up->GetType() == ID_OGX_TERRAINOBJECT && !listed(up))
          target = up;
    }
    if (target && CanChangeResolution(target))
      HOST_TRY(out.Append(target));
  }
  return OK;
}

Bool ChangeTerrainResolutionCommand::Execute(BaseDocument* doc)
{
  const Bool fineStep = IsQualifierPressed(QUALIFIER_SHIFT);
  return ExecuteOnTargets(
    doc, [this](const AtomArray* active, BaseArray<BaseObject*>& out) { return CollectTargetTerrainObjects(active, out); },
    [&](BaseObject* target) { return ChangeObjectResolution(target, doc, target->GetDataInstance(), fineStep); });
}

Int32 ChangeTerrainResolutionCommand::GetState(BaseDocument* doc)
{
  return GetTargetsState(
    doc, [this](const AtomArray* active, BaseArray<BaseObject*>& out) { return CollectTargetTerrainObjects(active, out); });
}

// Both axes move by the same step, so their difference stays; the limit is tested on the axis that
// reaches it first.
Result<void> ChangeTerrainResolutionCommand::StepResolution(BaseObject* object, BaseDocument* document,
                                                            BaseContainer* data, Int step)
{
  if (!object || !data)
    return NullptrError("op must not be NULL!");
  if (!CanChangeResolution(object))
    return OK;
  const Resolution r = ReadResolution(*data);
  if (step < 0 ? std::min(r.x, r.y) + step < MIN_RESOLUTION
               : std::max(r.x, r.y) + step > GetResolutionCommandCap())
    return OK;
  if (document)
    document->AddUndo(UNDOTYPE::CHANGE, object);
  data->SetInt32(TERRAINOBJECT_RESOLUTION_X, static_cast<Int32>(r.x + step));
  data->SetInt32(TERRAINOBJECT_RESOLUTION_Z, static_cast<Int32>(r.y + step));
  object->Message(MSG_UPDATE);
  return OK;
}

Result<void> IncreaseResCommand::ChangeObjectResolution(BaseObject* object, BaseDocument* document,
                                                        BaseContainer* data, Bool fineStep)
{
  return StepResolution(object, document, data, fineStep ? STEP_FINE : STEP_COARSE);
}

// The test always uses the fine step: the command stays enabled while any raise is possible.
Bool IncreaseResCommand::CanChangeResolution(BaseObject* object)
{
  if (!object)
    return false;
  const Resolution r = ReadResolution(object->GetDataInstanceRef());
  return std::max(r.x, r.y) + STEP_FINE <= GetResolutionCommandCap();
}

Result<void> DecreaseResCommand::ChangeObjectResolution(BaseObject* object, BaseDocument* document,
                                                        BaseContainer* data, Bool fineStep)
{
  return StepResolution(object, document, data, -(fineStep ? STEP_FINE : STEP_COARSE));
}

Bool DecreaseResCommand::CanChangeResolution(BaseObject* object)
{
  if (!object)
    return false;
  const Resolution r = ReadResolution(object->GetDataInstanceRef());
  return std::min(r.x, r.y) - STEP_FINE >= MIN_RESOLUTION;
}

Bool RegisterChangeResolutionCommands(Int32 sortOrder)
{
  return RegisterOgxCommandPair(
    {ID_OGX_INCREASERESOLUTION_COMMAND, 448, 64, IDS_INCREASE_NAME, IDS_INCREASE_HELP},
    []() -> CommandData* { return NewObj<IncreaseResCommand>(); },
    {ID_OGX_DECREASERESOLUTION_COMMAND, 512, 64, IDS_DECREASE_NAME, IDS_DECREASE_HELP},
    []() -> CommandData* { return NewObj<DecreaseResCommand>(); }, sortOrder);
}
