#include "object/operator_fold.h"

#include "common/ogx_icons.h"
#include "host/noise/noise.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_FOLD_NAME = 10011;
constexpr const char* FOLDOPERATOR_DESCRIPTION_NAME = "ofoldoperator";
constexpr Int32 FOLDOPERATOR_ICON_X = 320;
constexpr Int32 FOLDOPERATOR_ICON_Y = 64;
constexpr Int32 FOLDOPERATOR_DISKLEVEL = 0;

// Values of a new operator; a computation that finds one missing uses the same.
constexpr Int32 DEFAULT_MODE = FOLDMODE_DOWN;
constexpr Float DEFAULT_LEVEL = 25.0;
constexpr Float DEFAULT_NOISE_AMOUNT = 0.0;
constexpr Float DEFAULT_NOISE_SCALE = 1.0;
constexpr Float DEFAULT_NOISE_OFFSET = 0.0;

// Noise positions are in terrain units; at scale 1 the lattice wants them a hundred times smaller.
constexpr Float NOISE_SCALE_UNIT = 100.0;

// One height folded about the level in mode 0 (down) or 1 (up); any other mode leaves it.
inline Float Fold(Int32 mode, Float h, Float level)
{
  if (mode == FOLDMODE_DOWN)
    return h > level ? level - (h - level) : h;
  if (mode == FOLDMODE_UP)
    return h < level ? level + (level - h) : h;
  return h;
}
} // namespace

NodeData* FoldOperator::Alloc()
{
  return NewObj<FoldOperator>();
}

TERRAINOPERATORFLAGS FoldOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER;
}

Bool FoldOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetInt32(FOLDOPERATOR_MODE, DEFAULT_MODE);
  data.SetFloat(FOLDOPERATOR_LEVEL, DEFAULT_LEVEL);
  data.SetFloat(FOLDOPERATOR_NOISE_AMOUNT, DEFAULT_NOISE_AMOUNT);
  data.SetFloat(FOLDOPERATOR_NOISE_SCALE, DEFAULT_NOISE_SCALE);
  data.SetFloat(FOLDOPERATOR_NOISE_OFFSET, DEFAULT_NOISE_OFFSET);
  return true;
}

Bool FoldOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {FOLDOPERATOR_MODE, FOLDOPERATOR_LEVEL, FOLDOPERATOR_NOISE_AMOUNT,
                                       FOLDOPERATOR_NOISE_SCALE, FOLDOPERATOR_NOISE_OFFSET});
}

Result<void> FoldOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                           EvaluationContext&)
{
  if (!op)
    return NullptrError("No fold operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Int32 mode = data.GetInt32(FOLDOPERATOR_MODE, DEFAULT_MODE);
  const Float level = data.GetFloat(FOLDOPERATOR_LEVEL, DEFAULT_LEVEL);
  const Float amount = data.GetFloat(FOLDOPERATOR_NOISE_AMOUNT, DEFAULT_NOISE_AMOUNT);
  const Bool noise = amount > 0.0;
  Float s = 1.0;
  Float offset = 0.0;
  if (noise)
  {
    const Float scaled = data.GetFloat(FOLDOPERATOR_NOISE_SCALE, DEFAULT_NOISE_SCALE) * NOISE_SCALE_UNIT;
    s = scaled == 0.0 ? 0.0 : 1.0 / scaled;
    offset = data.GetFloat(FOLDOPERATOR_NOISE_OFFSET, DEFAULT_NOISE_OFFSET);
  }

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  const Int width = _output.width;
  const Int height = _output.height;
  const Float sizeX = _output.sizeX;
  const Float sizeY = _output.sizeY;
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();

  auto FoldCell = [=](Int i) { return Fold(mode, in[i], level); };
  auto FoldCellWithNoise = [=](Int i) {
    const Float x = GridFraction(i % width, width - 1) * sizeX - sizeX * 0.5;
    const Float z = sizeY * 0.5 - GridFraction(i / width, height - 1) * sizeY;
    return Fold(mode, in[i], level + HostNoise3D(Vector(x * s, offset * s, z * s)) * amount);
  };
  const Int threads = OGX::ThreadsFor(_output.cellCount, OGX::LOOP_SERIAL_ITEMS);
  if (noise)
    return OGX::ParallelFillCells(out, _output.cellCount, FoldCellWithNoise, threads);
  return OGX::ParallelFillCells(out, _output.cellCount, FoldCell, threads);
}

Bool RegisterFoldOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_FOLDOPERATOR, FOLDOPERATOR_ICON_X, FOLDOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_FOLDOPERATOR, GeLoadString(IDS_FOLD_NAME), TERRAINOPERATORFLAGS::TYPE_FILTER,
                                   FoldOperator::Alloc, FOLDOPERATOR_DESCRIPTION_NAME, icon, FOLDOPERATOR_DISKLEVEL,
                                   sortOrder);
  });
}
