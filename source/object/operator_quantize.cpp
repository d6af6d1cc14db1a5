#include "object/operator_quantize.h"

#include "common/ogx_icons.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_QUANTIZE_NAME = 10014;
constexpr const char* QUANTIZEOPERATOR_DESCRIPTION_NAME = "oquantizeoperator";
constexpr Int32 QUANTIZEOPERATOR_ICON_X = 0;
constexpr Int32 QUANTIZEOPERATOR_ICON_Y = 128;
constexpr Int32 QUANTIZEOPERATOR_DISKLEVEL = 0;

constexpr Int32 DEFAULT_LEVELS = 8;
} // namespace

NodeData* QuantizeOperator::Alloc()
{
  return NewObj<QuantizeOperator>();
}

TERRAINOPERATORFLAGS QuantizeOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
}

Bool QuantizeOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetInt32(QUANTIZEOPERATOR_LEVELS, DEFAULT_LEVELS);
  return true;
}

Bool QuantizeOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {QUANTIZEOPERATOR_LEVELS});
}

Result<void> QuantizeOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                               EvaluationContext&)
{
  if (!op)
    return NullptrError("No quantize operator object to compute!");
  const Int32 levels = op->GetDataInstanceRef().GetInt32(QUANTIZEOPERATOR_LEVELS, DEFAULT_LEVELS);
  const Float steps = static_cast<Float>(levels) - 1.0;
  const Float invSteps = steps == 0.0 ? 0.0 : 1.0 / steps;
  // An input without a valid range counts as flat at 0.
  const Float min = terrain.minMaxValid ? terrain.min : 0.0;
  const Float max = terrain.minMaxValid ? terrain.max : 0.0;
  const Float range = max - min;
  const Float invRange = range == 0.0 ? 0.0 : 1.0 / range;

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();
  // FloorWithoutBranches is std::floor; in this form the cells are computed as a vector loop.
  auto QuantizeCell = [=](Int i) {
    return FloorWithoutBranches((in[i] - min) * invRange * steps + 0.5) * invSteps * range + min;
  };
  // Deliberately 20000 cells here, twice the threshold of the other cell loops.
  return OGX::ParallelFillCells(out, _output.cellCount, QuantizeCell,
                                OGX::ThreadsFor(_output.cellCount, OGX::LOOP_SERIAL_QUANTIZE_CELLS));
}

Bool RegisterQuantizeOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_QUANTIZEOPERATOR, QUANTIZEOPERATOR_ICON_X, QUANTIZEOPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_QUANTIZEOPERATOR, GeLoadString(IDS_QUANTIZE_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_FILTER, QuantizeOperator::Alloc,
                                   QUANTIZEOPERATOR_DESCRIPTION_NAME, icon, QUANTIZEOPERATOR_DISKLEVEL, sortOrder);
                               });
}
