#include "orogenix/masking.h"

#include <algorithm>
#include <cmath>

#include "common/ogx_gui.h"
#include "host/core/basearray.h"
#include "host/scene/scene.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Float PI = 3.141592653589793;
constexpr Float PI05 = 1.5707963267948966;
const Vector UP_VECTOR(0.0, 1.0, 0.0);

// Every layer bit counts when the masking list's layers are tested for use (flag query mask 0).
constexpr Int32 FIELDLAYER_QUERY_ALLFLAGS = 0;

const char* const MSG_FIELDLIST_READ = "Could not get parameter TERRAINOPERATOR_MASKING_FIELDS_LIST from linked object!";
const char* const MSG_FIELDLIST_NULL = "fieldList must not be NULL!";
const char* const MSG_TERRAIN_EMPTY = "terrain size must not be 0!";
const char* const MSG_GRID_SIZES = "Cannot merge grids of different sizes!";
const char* const MSG_MASK_SIZE = "FieldOutput and _size are different!";

// The band's ramps, worked out once per band rather than per cell.
struct Band
{
  Float low = 0.0;
  Float high = 0.0;
  Float rampLow = 0.0;
  Float rampHigh = 0.0;

  Band(Float lo, Float hi, Float falloffLow, Float falloffHigh)
    : low(lo), high(hi), rampLow(falloffLow * 0.5 * (hi - lo)), rampHigh(falloffHigh * 0.5 * (hi - lo))
  {
  }

  // (3 - 2t) t^2 on [0, 1), 1 from 1 on, 0 below 0.
  static Float Smooth(Float t)
  {
    if (t >= 1.0)
      return 1.0;
    if (t < 0.0)
      return 0.0;
    return (3.0 - 2.0 * t) * t * t;
  }

  // The weight of a source value. The ramps are tested low first, so where they overlap (falloffs
  // summing above 2) the low ramp decides. A ramp of 0 never divides: v < low + 0 cannot hold for a v
  // that passed v >= low, and likewise at the high end.
  Float Weight(Float v) const
  {
    if (v < low || v > high)
      return 0.0;
    if (v < low + rampLow)
      return Smooth((v - low) / rampLow);
    if (v > high - rampHigh)
      return Smooth((high - v) / rampHigh);
    return 1.0;
  }
};

// An empty mask becomes the terrain's shape, to be filled with the weights; a mask with cells must
// already have the terrain's cell count, checked here before any cell is written.
Result<Bool> PrepareBandMask(Grid2D<Float>& mask, const Grid2D<Float>& terrain)
{
  if (terrain.cellCount <= 0)
    return IllegalStateError(MSG_TERRAIN_EMPTY);
  const Bool hadMask = mask.cellCount > 0;
  if (hadMask)
  {
    if (mask.cellCount != terrain.cellCount)
      return IllegalArgumentError(MSG_MASK_SIZE);
  }
  else
  {
    HOST_TRY(mask.InitLike(terrain));
  }
  return hadMask;
}

// The angle between a and b, defined here so that the slope loop inlines it.
inline Float Angle(const Vector& a, const Vector& b)
{
  const Float s = a.GetSquaredLength() * b.GetSquaredLength();
  const Float k = s == 0.0 ? 0.0 : std::sqrt(1.0 / s);
  const Float x = k * Dot(a, b);
  if (x >= 1.0)
    return 0.0;
  if (x <= -1.0)
    return PI;
  return std::acos(x);
}

// Reads the masking list (parameter 3001) through the host's parameter getter, so that an operator
// that supplies the parameter itself is honoured. The list is a copy owned by `data`; null when the
// parameter holds no field list.
Result<FieldList*> ReadMaskingFieldList(BaseObject* op, GeData& data)
{
  if (!op->GetParameter(DescID(TERRAINOPERATOR_MASKING_FIELDS_LIST), data))
    return UnexpectedError(MSG_FIELDLIST_READ);
  return static_cast<FieldList*>(data.GetCustomDataType(CUSTOMDATATYPE_FIELDLIST));
}
} // namespace

Float VectorAngle(const Vector& a, const Vector& b)
{
  return Angle(a, b);
}

Result<void> BuildFieldMask(Grid2D<Float>& mask, FieldList* fieldList, const Grid2D<Float>& operatorGrid,
                            const Matrix& transform, BaseObject* op)
{
  if (!fieldList)
    return NullptrError(MSG_FIELDLIST_NULL);
  const Int count = operatorGrid.cellCount;
  if (count <= 0)
    return IllegalStateError(MSG_TERRAIN_EMPTY);

  if (CountEnabledFieldLayers(fieldList, FIELDLAYER_QUERY_ALLFLAGS) <= 0)
  {
    mask.Reset();
    return OK;
  }
  HOST_TRY(mask.InitLike(operatorGrid));

  BaseArray<Vector> positions;
  BaseArray<Vector> uvws;
  BaseArray<Vector> directions;   // all zero: no layer of a terrain mask depends on a direction
  HOST_TRY(positions.Resize(count));
  HOST_TRY(uvws.Resize(count));
  HOST_TRY(directions.Resize(count));

  // Positions and grid coordinates in one pass: the grid is centred on the origin in the XZ plane with
  // row 0 at +Z. GridFraction keeps a one-column or one-row grid at the start of its axis.
  const Int w = operatorGrid.width;
  const Int h = operatorGrid.height;
  const Float sizeX = operatorGrid.sizeX;
  const Float sizeY = operatorGrid.sizeY;
  Vector* pos = positions.GetFirst();
  Vector* uvw = uvws.GetFirst();
  HOST_TRY(OGX::ParallelForBlocks(
    0, count,
    [=](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
      {
        const Float u = GridFraction(i % w, w - 1);
        const Float v = GridFraction(i / w, h - 1);
        pos[i] = Vector(u * sizeX - sizeX / 2.0, 0.0, sizeY / 2.0 - v * sizeY);
        uvw[i] = Vector(u, v, 0.0);
      }
    },
    OGX::ThreadsFor(count, OGX::LOOP_SERIAL_ITEMS)));

  // One call for all cells: the host plans the layers once and runs the points in its own loop.
  const FieldInput input(pos, count, transform, count, directions.GetFirst(), uvw);
  const FieldOutput output = HOST_TRY(fieldList->Sample(input, op, FIELDSAMPLE_FLAG::NONE));
  if (output.GetCount() < count)
    return OutOfMemoryError("Could not copy the sampled field values into the mask!");
  std::copy_n(output.value.GetFirst(), count, mask.cells.GetFirst());
  return OK;
}

Result<void> ApplySlopeMask(Grid2D<Float>& mask, const Grid2D<Float>& terrain, Float low, Float high, Float falloffLow,
                            Float falloffHigh)
{
  const Bool hadMask = HOST_TRY(PrepareBandMask(mask, terrain));
  const Band band(low, high, falloffLow, falloffHigh);
  Float* m = mask.cells.GetFirst();
  const Int w = terrain.width;

  // The normal (Grid2D::GetNormal), its angle to the up vector as a slope in [0, 1] and the band's
  // weight are worked out cell by cell in one pass. Keeping neither the normals nor the slopes as grids
  // gives the same values without allocating and filling 32 bytes per cell; like the normals and
  // slopes it replaces, the pass always asks for all threads.
  return OGX::ParallelForBlocks(
    0, terrain.cellCount,
    [&, m, w, hadMask](Int begin, Int end) {
      Int x = begin % w;
      Int y = begin / w;
      for (Int i = begin; i < end; ++i)
      {
        const Float weight = band.Weight(Angle(UP_VECTOR, terrain.GetNormal(x, y)) / PI05);
        m[i] = hadMask ? weight * m[i] : weight;
        if (++x == w)
        {
          x = 0;
          ++y;
        }
      }
    },
    OGX::LOOP_ALLTHREADS);
}

Result<void> ApplyHeightMask(Grid2D<Float>& mask, const Grid2D<Float>& terrain, Float low, Float high,
                             Float falloffLow, Float falloffHigh)
{
  const Bool hadMask = HOST_TRY(PrepareBandMask(mask, terrain));
  const Band band(low, high, falloffLow, falloffHigh);
  Float* m = mask.cells.GetFirst();
  const Float* heights = terrain.cells.GetFirst();
  return OGX::ParallelForBlocks(
    0, terrain.cellCount,
    [&band, m, heights, hadMask](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
      {
        const Float weight = band.Weight(heights[i]);
        m[i] = hadMask ? weight * m[i] : weight;
      }
    },
    OGX::ThreadsFor(terrain.cellCount, OGX::LOOP_SERIAL_ITEMS));
}

Result<Int32> GetMaskingFieldList(BaseObject* op, const Grid2D<Float>& operatorGrid, Grid2D<Float>& mask)
{
  if (!op)
    return NullptrError("Provided object pointer must not be nullptr!");
  GeData data;
  FieldList* fieldList = HOST_TRY(ReadMaskingFieldList(op, data));
  BaseObject* terrainObject = FindParentTerrainObject(op);
  if (!terrainObject)
    return 0;
  if (!fieldList)
    return NullptrError(MSG_FIELDLIST_NULL);
  const Int32 layers = CountEnabledFieldLayers(fieldList, FIELDLAYER_QUERY_ALLFLAGS);
  if (layers <= 0)
    return 0;
  HOST_TRY(BuildFieldMask(mask, fieldList, operatorGrid, terrainObject->GetMg(), op));
  return layers;
}

Result<void> OGX::BaseTerrainOperatorData::ApplyToTerrain(Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                                                          EvaluationContext& context)
{
  if (!op)
    return NullptrError("Provided object pointer must not be nullptr!");
  BlendSettings settings;
  ReadBlendSettings(settings, op->GetDataInstanceRef());

  GeData data;
  FieldList* fieldList = HOST_TRY(ReadMaskingFieldList(op, data));

  // Every size is checked before anything is written: the bands write mask cells over the terrain's
  // cell count, and the blend reads layer and mask cells over it.
  const Grid2D<Float>& output = GetOutputGrid();
  if (terrain.cellCount != output.cellCount)
    return IllegalArgumentError(MSG_GRID_SIZES);

  Grid2D<Float> mask;
  HOST_TRY(BuildFieldMask(mask, fieldList, output, context.terrainMatrix, op));
  if (mask.cellCount > 0 && mask.cellCount != terrain.cellCount)
    return IllegalArgumentError(MSG_MASK_SIZE);

  // The bands look at the terrain as the operators before this one left it, so the first operator of
  // a stack has nothing to mask against and ignores them.
  const Bool hasPredecessor = op->GetPred() != nullptr;
  if (settings.slopeMaskEnabled && hasPredecessor)
    HOST_TRY(ApplySlopeMask(mask, terrain, settings.slopeLow, settings.slopeHigh, settings.slopeFalloffLow,
                            settings.slopeFalloffHigh));
  if (settings.heightMaskEnabled && hasPredecessor)
    HOST_TRY(ApplyHeightMask(mask, terrain, settings.heightLow, settings.heightHigh, settings.heightFalloffLow,
                             settings.heightFalloffHigh));

  BlendJob job;
  job.destination = terrain.cells.GetFirst();
  job.layer = output.cells.GetFirst();
  job.useMask = mask.cellCount > 0;
  job.mask = job.useMask ? mask.cells.GetFirst() : nullptr;
  job.destinationMin = &terrain.min;
  job.mode = settings.blendMode;
  job.opacity = settings.opacity;
  job.layerScale = settings.layerScale;
  job.layerOffset = settings.layerOffset;
  if (blend_detail::IsNormalisedMode(settings.blendMode))
  {
    // These modes work on heights normalised to the terrain's present range.
    terrain.RecomputeMinMax();
    job.range = terrain.max - terrain.min;
    job.inverseRange = job.range != 0.0 ? 1.0 / job.range : 0.0;
  }
  HOST_TRY(BlendGrids(0, terrain.cellCount, job, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY));

  GetObservable().Notify(ID_OGX_TERRAINOPERATORSHADER, static_cast<Int32>(DIRTYFLAGS::DATA), doc, true);
  return OK;
}
