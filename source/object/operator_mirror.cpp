#include "object/operator_mirror.h"

#include <algorithm>

#include "common/ogx_icons.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_MIRROR_NAME = 10009;
constexpr const char* MIRROROPERATOR_DESCRIPTION_NAME = "omirroroperator";
constexpr Int32 MIRROROPERATOR_ICON_X = 0;
constexpr Int32 MIRROROPERATOR_ICON_Y = 64;
constexpr Int32 MIRROROPERATOR_DISKLEVEL = 0;

constexpr const char* MIRROR_LOOP_NAME = "Mirror operator";
} // namespace

NodeData* MirrorOperator::Alloc()
{
  return NewObj<MirrorOperator>();
}

TERRAINOPERATORFLAGS MirrorOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
}

Bool MirrorOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetBool(MIRROROPERATOR_MIRROR_X, false);
  data.SetBool(MIRROROPERATOR_INVERT, false);
  data.SetBool(MIRROROPERATOR_MIRROR_Z, false);
  return true;
}

Bool MirrorOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {MIRROROPERATOR_MIRROR_X, MIRROROPERATOR_INVERT, MIRROROPERATOR_MIRROR_Z});
}

Result<void> MirrorOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                             EvaluationContext& context)
{
  if (!op)
    return NullptrError("No mirror operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Bool mirrorX = data.GetBool(MIRROROPERATOR_MIRROR_X);
  const Bool invert = data.GetBool(MIRROROPERATOR_INVERT);
  const Bool mirrorZ = data.GetBool(MIRROROPERATOR_MIRROR_Z);

  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  const Int width = _output.width;
  const Int height = _output.height;
  const Bool valid = terrain.minMaxValid;
  const Float min = terrain.min;
  const Float max = terrain.max;
  const Float* in = terrain.cells.GetFirst();
  Float* out = _output.cells.GetFirst();
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;

  // Destination cells [first, last) of a row from the source row into target[0 ..], value(h) per cell.
  auto rowLoop = [&](Float* target, const Float* src, Int first, Int last, auto value) {
    if (mirrorX)
      for (Int d = first; d < last; ++d)
        target[d - first] = value(src[width - 1 - d]);
    else
      for (Int d = first; d < last; ++d)
        target[d - first] = value(src[d]);
  };
  // One loop per case, its choices made before the loop, so that each is a plain vector loop.
  auto fillRow = [&](Float* target, const Float* src, Int first, Int last) {
    OGX::RunVectorLoop([&]() {
      if (!invert)
        rowLoop(target, src, first, last, [](Float h) { return h; });
      else if (!valid)
        rowLoop(target, src, first, last, [](Float) { return 0.0; });
      else if (max - min == 0.0)
        rowLoop(target, src, first, last, [=](Float) { return (min - max) * 0.0 + max; });
      else
        rowLoop(target, src, first, last, [=](Float h) { return (min - max) * ((h - min) / (max - min)) + max; });
    });
  };
  // Large grids go out a chunk at a time with stores that bypass the caches (see OGX::LOOP_STREAM_CELLS).
  const Bool stream = _output.cellCount >= OGX::LOOP_STREAM_CELLS;
  auto MirrorRow = [&](Int y) -> Result<void> {
    if (OGX::LoopBreakRequested(y, OGX::BREAKMASK_ROWS, thread))
      return OGX::LoopCancelledError(MIRROR_LOOP_NAME);
    const Float* src = in + y * width;
    Float* dst = out + (mirrorZ ? height - y - 1 : y) * width;
    if (!stream)
    {
      fillRow(dst, src, 0, width);
      return OK;
    }
    alignas(16) Float chunk[OGX::LOOP_STREAM_CHUNK];
    for (Int first = 0; first < width; first += OGX::LOOP_STREAM_CHUNK)
    {
      const Int last = std::min(first + OGX::LOOP_STREAM_CHUNK, width);
      fillRow(chunk, src, first, last);
      OGX::StreamCopy(dst + first, chunk, last - first);
    }
    OGX::StreamFence();
    return OK;
  };
  // Counted in cells although the loop runs over rows.
  return FinishOutputLoop(
    ParallelFor(0, height, MirrorRow, OGX::ThreadsFor(_output.cellCount, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY),
    terrain);
}

Bool RegisterMirrorOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_MIRROROPERATOR, MIRROROPERATOR_ICON_X, MIRROROPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_MIRROROPERATOR, GeLoadString(IDS_MIRROR_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_FILTER, MirrorOperator::Alloc,
                                   MIRROROPERATOR_DESCRIPTION_NAME, icon, MIRROROPERATOR_DISKLEVEL, sortOrder);
                               });
}
