#include "object/operator_clamp.h"

#include "common/ogx_icons.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_CLAMP_NAME = 10005;
constexpr const char* CLAMPOPERATOR_DESCRIPTION_NAME = "oclampoperator";
constexpr Int32 CLAMPOPERATOR_ICON_X = 512;
constexpr Int32 CLAMPOPERATOR_ICON_Y = 0;
constexpr Int32 CLAMPOPERATOR_DISKLEVEL = 0;

constexpr Float INIT_LOW = 0.0;
constexpr Float INIT_HIGH = 50.0;
// A computation that finds the high end missing uses 100 (not the 50 a new operator starts with).
constexpr Float READ_LOW = 0.0;
constexpr Float READ_HIGH = 100.0;
// The message handler reads both bounds with 0.
constexpr Float MESSAGE_BOUND = 0.0;

constexpr const char* CLAMP_LOOP_NAME = "Clamp operator";
} // namespace

NodeData* ClampOperator::Alloc()
{
  return NewObj<ClampOperator>();
}

TERRAINOPERATORFLAGS ClampOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
}

Bool ClampOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetFloat(CLAMPOPERATOR_LOW, INIT_LOW);
  data.SetFloat(CLAMPOPERATOR_HIGH, INIT_HIGH);
  data.SetBool(CLAMPOPERATOR_CLAMP, false);
  return true;
}

Bool ClampOperator::OperatorMessage(GeListNode* node, Int32 type, void* data)
{
  if (type != MSG_DESCRIPTION_POSTSETPARAMETER)
    return false;
  const auto* set = static_cast<const DescriptionPostSetValue*>(data);
  if (!node || !set || !set->descid)
    return true;
  BaseContainer& bc = static_cast<BaseObject*>(node)->GetDataInstanceRef();
  const Float low = bc.GetFloat(CLAMPOPERATOR_LOW, MESSAGE_BOUND);
  const Float high = bc.GetFloat(CLAMPOPERATOR_HIGH, MESSAGE_BOUND);
  const Int32 edited = (*set->descid)[0].id;
  if (low > high)
  {
    if (edited == CLAMPOPERATOR_LOW)
      bc.SetFloat(CLAMPOPERATOR_LOW, high);
    else if (edited == CLAMPOPERATOR_HIGH)
      bc.SetFloat(CLAMPOPERATOR_HIGH, low);
  }
  return true;
}

Bool ClampOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {CLAMPOPERATOR_LOW, CLAMPOPERATOR_HIGH, CLAMPOPERATOR_CLAMP});
}

Result<void> ClampOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                            EvaluationContext& context)
{
  if (!op)
    return NullptrError("No clamp operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Float low = data.GetFloat(CLAMPOPERATOR_LOW, READ_LOW);
  const Float high = data.GetFloat(CLAMPOPERATOR_HIGH, READ_HIGH);
  const Bool clamp = data.GetBool(CLAMPOPERATOR_CLAMP);

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  const Int count = _output.cellCount;
  const Int threads = OGX::ThreadsFor(count, OGX::LOOP_SERIAL_ITEMS);
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();

  if (!clamp)
  {
    const Float min = terrain.minMaxValid ? terrain.min : Grid2D<Float>::EMPTY_MIN;
    const Float max = terrain.minMaxValid ? terrain.max : Grid2D<Float>::EMPTY_MAX;
    // t = 0 for a flat input, else (h - min) / (max - min); the choice is made before the loop, as a
    // division under a condition keeps the loop from running as a vector loop.
    if (max - min == 0.0)
    {
      auto FlatCell = [=](Int) { return low + (high - low) * 0.0; };
      return OGX::ParallelFillCells(out, count, FlatCell, threads);
    }
    auto RescaleCell = [=](Int i) { return low + (high - low) * ((in[i] - min) / (max - min)); };
    return OGX::ParallelFillCells(out, count, RescaleCell, threads);
  }

  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;
  auto ClampCell = [=](Int i) {
    // max(low, h), then min(high, .), each written so that a NaN h is what comes through.
    const Float h = in[i];
    const Float raised = h < low ? low : h;
    return raised > high ? high : raised;
  };
  return FinishOutputLoop(OGX::ParallelFillCells(out, count, ClampCell, threads, thread, CLAMP_LOOP_NAME), terrain);
}

Bool RegisterClampOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_CLAMPOPERATOR, CLAMPOPERATOR_ICON_X, CLAMPOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_CLAMPOPERATOR, GeLoadString(IDS_CLAMP_NAME), TERRAINOPERATORFLAGS::TYPE_FILTER,
                                   ClampOperator::Alloc, CLAMPOPERATOR_DESCRIPTION_NAME, icon, CLAMPOPERATOR_DISKLEVEL,
                                   sortOrder);
  });
}
