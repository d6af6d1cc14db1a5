#include "object/operator_curve.h"

#include "common/ogx_icons.h"
#include "common/ogx_misc.h"
#include "host/core/log.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "host/splines/splinedata.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_CURVE_NAME = 10004;
constexpr const char* CURVEOPERATOR_DESCRIPTION_NAME = "ocurveoperator";
constexpr Int32 CURVEOPERATOR_ICON_X = 576;
constexpr Int32 CURVEOPERATOR_ICON_Y = 0;
constexpr Int32 CURVEOPERATOR_DISKLEVEL = 0;

constexpr SPLINEDATAPRESET DEFAULT_PRESET = SPLINEDATAPRESET::GLACIER_2;
// The selector as the button reads it when it is missing.
constexpr Int32 READ_PRESET = 0;

constexpr const char* CURVE_LOOP_NAME = "Curve operator";
// Cells whose curve solves run side by side: each solve is a chain of dependent steps, and neighbouring
// cells' chains overlap only when their steps are interleaved.
constexpr Int CURVE_GROUP = 4;

Bool ReportPresetError(const Error& error)
{
  ConsolePrint(String("Could not apply curve preset!: ") + error.GetText());
  return false;
}
} // namespace

NodeData* CurveOperator::Alloc()
{
  return NewObj<CurveOperator>();
}

TERRAINOPERATORFLAGS CurveOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
}

Bool CurveOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  std::unique_ptr<SplineData> curve = SplineData::Alloc();
  if (!curve)
  {
    ConsolePrint(String("Could not create new SplineData!"));
    return false;
  }
  data.SetData(CURVEOPERATOR_CURVE, GeData(std::move(curve)));
  data.SetInt32(CURVEOPERATOR_PRESET, static_cast<Int32>(DEFAULT_PRESET));
  Result<void> applied = ApplySplineDataPreset(data, CURVEOPERATOR_CURVE, DEFAULT_PRESET);
  if (applied.IsError())
    return ReportPresetError(applied.GetError());
  return true;
}

Bool CurveOperator::OperatorMessage(GeListNode* node, Int32 type, void* data)
{
  if (!node || !data)
    return false;
  BaseObject* op = static_cast<BaseObject*>(node);
  BaseContainer& bc = op->GetDataInstanceRef();
  switch (type)
  {
    case MSG_DESCRIPTION_COMMAND:
    {
      if (static_cast<const DescriptionCommand*>(data)->id[0].id != CURVEOPERATOR_APPLY)
        return false;
      const auto preset = static_cast<SPLINEDATAPRESET>(bc.GetInt32(CURVEOPERATOR_PRESET, READ_PRESET));
      Result<void> applied = ApplySplineDataPreset(bc, CURVEOPERATOR_CURVE, preset);
      if (applied.IsError())
        return ReportPresetError(applied.GetError());
      // The curve changed in place, which the container does not see: mark the data changed so that the
      // terrain rebuilds, as it does for any other edit.
      op->SetDirty(DIRTYFLAGS::DATA);
      op->Message(MSG_UPDATE_DESCRIPTION);
      return true;
    }
    case MSG_DESCRIPTION_POSTSETPARAMETER:
    {
      const auto* set = static_cast<const DescriptionPostSetValue*>(data);
      if (!set->descid || (*set->descid)[0].id != CURVEOPERATOR_CURVE)
        return false;
      bc.SetInt32(CURVEOPERATOR_PRESET, CURVEOPERATOR_PRESET_EDITED);
      return true;
    }
    default: return false;
  }
}

Bool CurveOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {CURVEOPERATOR_CURVE});
}

Result<void> CurveOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                            EvaluationContext& context)
{
  if (!op)
    return NullptrError("No curve operator object to compute!");
  const auto* curve =
    static_cast<const SplineData*>(op->GetDataInstanceRef().GetCustomData(CURVEOPERATOR_CURVE, CUSTOMDATATYPE_SPLINE));
  if (!curve)
    return UnexpectedError("Could not get SplineData!");
  const Float min = terrain.minMaxValid ? terrain.min : Grid2D<Float>::EMPTY_MIN;
  const Float max = terrain.minMaxValid ? terrain.max : Grid2D<Float>::EMPTY_MAX;
  const Float range = max - min;
  const Float inverse = range == 0.0 ? 0.0 : 1.0 / range;

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;
  // The curve's segments once for all cells rather than once per cell.
  const SplineDataEvaluator evaluator(*curve);
  // A flat input runs the loop too (inverse 0): every cell becomes min, the input unchanged.
  auto RemapCells = [&evaluator, in, min, inverse, range](Int first, Int n, Float* values) {
    // A group cut short (at the grid's end or a break) solves its first cell again in the spare lanes.
    Float x[CURVE_GROUP];
    for (Int k = 0; k < CURVE_GROUP; ++k)
      x[k] = (in[first + (k < n ? k : 0)] - min) * inverse;
    Float y[CURVE_GROUP];
    evaluator.EvaluateY(x, y);
    for (Int k = 0; k < n; ++k)
      values[k] = y[k] * range + min;
  };
  // All threads at every size: each cell costs a curve evaluation.
  return FinishOutputLoop(OGX::ParallelFillCellGroups<CURVE_GROUP>(out, _output.cellCount, RemapCells,
                                                                   OGX::LOOP_ALLTHREADS, thread, CURVE_LOOP_NAME),
                          terrain);
}

Bool RegisterCurveOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_CURVEOPERATOR, CURVEOPERATOR_ICON_X, CURVEOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_CURVEOPERATOR, GeLoadString(IDS_CURVE_NAME), TERRAINOPERATORFLAGS::TYPE_FILTER,
                                   CurveOperator::Alloc, CURVEOPERATOR_DESCRIPTION_NAME, icon, CURVEOPERATOR_DISKLEVEL,
                                   sortOrder);
  });
}
