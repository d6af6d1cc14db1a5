#include "object/operator_adjustment.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_ADJUSTMENT_NAME = 10002;
constexpr const char* ADJUSTMENTOPERATOR_DESCRIPTION_NAME = "oadjustmentoperator";
constexpr Int32 ADJUSTMENTOPERATOR_ICON_X = 384;
constexpr Int32 ADJUSTMENTOPERATOR_ICON_Y = 0;
// Level 1: scenes of level 0 predate the absolute offset (see Read).
constexpr Int32 ADJUSTMENTOPERATOR_DISKLEVEL = 1;
// The level whose scenes knew only the relative offset.
constexpr Int32 DISKLEVEL_RELATIVE_ONLY = 0;

// A container without a scale (a scene written without it) leaves the heights as they are.
constexpr Float READ_SCALE = 1.0;
constexpr Float READ_OFFSET = 0.0;
} // namespace

NodeData* AdjustmentOperator::Alloc()
{
  return NewObj<AdjustmentOperator>();
}

Bool AdjustmentOperator::Read(GeListNode* node, HyperFile* hf, Int32 level)
{
  if (!BaseTerrainOperatorData::Read(node, hf, level))
    return false;
  if (node && level == DISKLEVEL_RELATIVE_ONLY)
    static_cast<BaseObject*>(node)->SetParameter(DescID(ADJUSTMENTOPERATOR_RELATIVE), GeData(true));
  return true;
}

TERRAINOPERATORFLAGS AdjustmentOperator::GetOperatorFlags(BaseObject* op)
{
  if (op && op->GetDataInstanceRef().GetBool(ADJUSTMENTOPERATOR_RELATIVE))
    return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
  return TERRAINOPERATORFLAGS::TYPE_FILTER;
}

Bool AdjustmentOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetFloat(ADJUSTMENTOPERATOR_SCALE, 1.0);
  data.SetFloat(ADJUSTMENTOPERATOR_OFFSET_RELATIVE, 0.0);
  data.SetFloat(ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, 0.0);
  data.SetBool(ADJUSTMENTOPERATOR_RELATIVE, false);
  return true;
}

Bool AdjustmentOperator::GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                                                 DESCFLAGS_DESC&)
{
  const Bool relative = data.GetBool(ADJUSTMENTOPERATOR_RELATIVE);
  SetDescriptionParameterHidden(node, description, ADJUSTMENTOPERATOR_OFFSET_RELATIVE, relative);
  SetDescriptionParameterHidden(node, description, ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, !relative);
  return true;
}

Bool AdjustmentOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {ADJUSTMENTOPERATOR_RELATIVE, ADJUSTMENTOPERATOR_SCALE,
                                       ADJUSTMENTOPERATOR_OFFSET_RELATIVE, ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE});
}

Result<void> AdjustmentOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                                 EvaluationContext&)
{
  if (!op)
    return NullptrError("No adjustment operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Bool relative = data.GetBool(ADJUSTMENTOPERATOR_RELATIVE);
  const Float scale = data.GetFloat(ADJUSTMENTOPERATOR_SCALE, READ_SCALE);
  const Float offset =
    data.GetFloat(relative ? ADJUSTMENTOPERATOR_OFFSET_RELATIVE : ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, READ_OFFSET);
  Float unit = 1.0;
  if (relative)
    unit = terrain.minMaxValid ? terrain.max - terrain.min : 0.0;

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  // (relative ? range : 1) x offset is the same product for every cell.
  const Float add = unit * offset;
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();
  auto AdjustCell = [in, scale, add](Int i) { return in[i] * scale + add; };
  // All threads at every size: this loop has no small-work threshold.
  return OGX::ParallelFillCells(out, _output.cellCount, AdjustCell, OGX::LOOP_ALLTHREADS);
}

Bool RegisterAdjustmentOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_ADJUSTMENTOPERATOR, ADJUSTMENTOPERATOR_ICON_X, ADJUSTMENTOPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_ADJUSTMENTOPERATOR, GeLoadString(IDS_ADJUSTMENT_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_FILTER, AdjustmentOperator::Alloc,
                                   ADJUSTMENTOPERATOR_DESCRIPTION_NAME, icon, ADJUSTMENTOPERATOR_DISKLEVEL, sortOrder);
                               });
}
