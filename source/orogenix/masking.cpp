#include "orogenix/masking.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/ogx_gui.h"
#include "host/core/basearray.h"
#include "host/scene/scene.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/ogx_simd.h"
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

  // (3 - 2t) t^2 on [0, 1), 1 from 1 on, 0 below 0 (NaN stays NaN).
  static Float Smooth(Float t)
  {
    const Float r = (3.0 - 2.0 * t) * t * t;
    return t >= 1.0 ? 1.0 : (t < 0.0 ? 0.0 : r);
  }

  // The weight of a source value. The ramps are tested low first, so where they overlap (falloffs
  // summing above 2) the low ramp decides. Written as selections rather than branches, so that a loop
  // of weights vectorises: both ramps are worked out and the tests pick one, which is the value the
  // branches give (a division by a ramp of 0, which gives inf or NaN, is then never picked: v < low + 0
  // cannot hold for a v that passed v >= low, and likewise at the high end).
  Float Weight(Float v) const
  {
    const Float lowRamp = Smooth((v - low) / rampLow);
    const Float highRamp = Smooth((high - v) / rampHigh);
    Float w = v > high - rampHigh ? highRamp : 1.0;
    w = v < low + rampLow ? lowRamp : w;
    return v < low || v > high ? 0.0 : w;
  }
};

// An empty mask becomes the terrain's shape, to be filled with the weights (its cells are not cleared
// first: the band writes every one); a mask with cells must already have the terrain's cell count,
// checked here before any cell is written.
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
    HOST_TRY(mask.InitLikeForOverwrite(terrain));
  }
  return hadMask;
}

// VectorAngle in two steps, so that the slope band can look at the cosine before it decides whether it
// needs the angle: the cosine k (a . b) with k = sqrt(1 / (|a|^2 |b|^2)), 0 for a zero vector ...
inline Float CosineOf(const Vector& a, const Vector& b)
{
  const Float s = a.GetSquaredLength() * b.GetSquaredLength();
  const Float k = s == 0.0 ? 0.0 : std::sqrt(1.0 / s);
  return k * Dot(a, b);
}

// ... and the angle of that cosine, with cosines at or beyond +-1 taken as 0 and pi.
inline Float AngleOfCosine(Float x)
{
  if (x >= 1.0)
    return 0.0;
  if (x <= -1.0)
    return PI;
  return std::acos(x);
}

// The slope band decided on cosines. A cell's slope is AngleOfCosine(c) / (pi/2) of the cosine c
// between the up vector and its normal, and falls as c rises, so "the slope lies below an edge" is "c
// lies above the edge's cosine". Each bound below is that cosine moved by COSINE_GUARD to the safe
// side: the guard is a million times wider than the rounding of cos, acos and the division together,
// so a cell beyond a bound has its slope on that side of the edge exactly as the plain formula computes
// it, and gets the weight 0 or 1 that the formula gives it without an acos. Cells between the bounds
// (in a ramp, or within a guard's width of an edge) and cells with a NaN cosine take the plain formula.
// Edges outside the slopes' range [0, 2] (and NaN edges, ramps and falloffs) give bounds that nothing
// passes, or everything but NaN.
class SlopeBandBounds
{
public:
  explicit SlopeBandBounds(const Band& band)
  {
    _zeroAbove = CosineBelowSlope(band.low);
    _zeroBelow = CosineAboveSlope(band.high);
    _oneBelow = std::min(CosineAboveSlope(band.low), CosineAboveSlope(band.low + band.rampLow));
    _oneAbove = std::max(CosineBelowSlope(band.high), CosineBelowSlope(band.high - band.rampHigh));
  }

  // The band's weights for the cells of the given cosines: Band::Weight(AngleOfCosine(c) / (pi/2)),
  // bit for bit. The cells the bounds decide are done in one branch-free pass that notes the others;
  // those then take the plain formula one after another.
  void Weights(const Band& band, const Float* cosines, Int count, Float* weights) const
  {
    Int open[OGX::LOOP_CELLBLOCK];
    Int openCount = 0;
    for (Int k = 0; k < count; ++k)
    {
      // Bitwise, not short-circuit: on rough terrain neighbouring cells fall on either side of a
      // bound at random, and branches would be mispredicted half the time.
      const Float c = cosines[k];
      const Bool zero = (c > _zeroAbove) | (c < _zeroBelow);
      const Bool one = (c < _oneBelow) & (c > _oneAbove);
      weights[k] = static_cast<Float>(one & !zero);
      open[openCount] = k;
      openCount += static_cast<Int>(!(zero | one));
    }
    for (Int j = 0; j < openCount; ++j)
    {
      const Int k = open[j];
      weights[k] = band.Weight(AngleOfCosine(cosines[k]) / PI05);
    }
  }

private:
  static constexpr Float COSINE_GUARD = 1e-9;
  static constexpr Float INF = std::numeric_limits<Float>::infinity();

  // A cosine above the result certainly has a slope below edge.
  static Float CosineBelowSlope(Float edge)
  {
    if (!(edge > 0.0))
      return INF;    // no slope lies below 0 (or a NaN edge)
    if (edge > 2.0)
      return -INF;   // every slope does
    return std::cos(edge * PI05) + COSINE_GUARD;
  }
  // A cosine below the result certainly has a slope above edge.
  static Float CosineAboveSlope(Float edge)
  {
    if (edge < 0.0)
      return INF;    // every slope does
    if (!(edge < 2.0))
      return -INF;   // no slope lies above 2 (or a NaN edge)
    return std::cos(edge * PI05) - COSINE_GUARD;
  }

  Float _zeroAbove;
  Float _zeroBelow;
  Float _oneBelow;
  Float _oneAbove;
};

// The cosines of the slope pass for the cells [x0, x1) of one row, x0 >= 1 and x1 <= width - 1: the
// normal of Grid2D::GetNormal with its row neighbours unclamped, then CosineOf(up, normal), every
// operation as they do it, in a loop the compiler can vectorise (masking.cpp is built without errno
// and trap semantics, which changes no value). `above` and `below` are the clamped neighbour rows.
[[gnu::always_inline]] inline void InteriorSlopeCosines(const Float* row, const Float* above, const Float* below,
                                                        Int x0, Int x1, Float* out)
{
  for (Int x = x0; x < x1; ++x)
  {
    const Float dx = row[x - 1] - row[x + 1];
    const Float dz = above[x] - below[x];
    const Float length = std::sqrt(dx * dx + 4.0 + dz * dz);
    const Vector normal(dx / length, 2.0 / length, dz / length);
    out[x - x0] = CosineOf(UP_VECTOR, normal);
  }
}

void InteriorSlopeCosinesPortable(const Float* row, const Float* above, const Float* below, Int x0, Int x1, Float* out)
{
  InteriorSlopeCosines(row, above, below, x0, x1, out);
}

#ifdef OGX_AVX2_DISPATCH
// The same loop with AVX2 where the processor has it (ogx_simd.h); the values are identical.
[[gnu::target("avx2")]] void InteriorSlopeCosinesAvx2(const Float* row, const Float* above, const Float* below,
                                                      Int x0, Int x1, Float* out)
{
  InteriorSlopeCosines(row, above, below, x0, x1, out);
}
#endif

// The height band over the cells [begin, end): the weights, or the mask times them.
[[gnu::always_inline]] inline void HeightBand(const Band& band, const Float* heights, Float* m, Int begin, Int end,
                                              Bool hadMask)
{
  if (hadMask)
    for (Int i = begin; i < end; ++i)
      m[i] = band.Weight(heights[i]) * m[i];
  else
    for (Int i = begin; i < end; ++i)
      m[i] = band.Weight(heights[i]);
}

void HeightBandPortable(const Band& band, const Float* heights, Float* m, Int begin, Int end, Bool hadMask)
{
  HeightBand(band, heights, m, begin, end, hadMask);
}

#ifdef OGX_AVX2_DISPATCH
// With AVX2 where the processor has it (ogx_simd.h): four divisions at a time; the values are identical.
[[gnu::target("avx2")]] void HeightBandAvx2(const Band& band, const Float* heights, Float* m, Int begin, Int end,
                                            Bool hadMask)
{
  HeightBand(band, heights, m, begin, end, hadMask);
}
#endif

// The slope cosines of the cells [begin, end) (any stretch of rows) into out.
void SlopeCosines(const Grid2D<Float>& terrain, Int begin, Int end, Float* out)
{
  const Int w = terrain.width;
  const Int h = terrain.height;
  const Float* c = terrain.cells.GetFirst();
  Int i = begin;
  while (i < end)
  {
    const Int y = i / w;
    const Int rowEnd = std::min(end, (y + 1) * w);
    Int x = i - y * w;
    const Int xEnd = rowEnd - y * w;
    // The border columns clamp their neighbours: GetNormal itself.
    auto border = [&] { out[i - begin] = CosineOf(UP_VECTOR, terrain.GetNormal(x, y)); };
    if (x == 0)
    {
      border();
      ++x;
      ++i;
    }
    const Int interiorEnd = std::min(xEnd, w - 1);
    if (x < interiorEnd)
    {
      const Float* row = c + y * w;
      const Float* above = c + std::max<Int>(y - 1, 0) * w;
      const Float* below = c + std::min<Int>(y + 1, h - 1) * w;
#ifdef OGX_AVX2_DISPATCH
      if (OGX::UseAvx2())
        InteriorSlopeCosinesAvx2(row, above, below, x, interiorEnd, out + (i - begin));
      else
#endif
        InteriorSlopeCosinesPortable(row, above, below, x, interiorEnd, out + (i - begin));
      i += interiorEnd - x;
      x = interiorEnd;
    }
    if (x < xEnd)   // the last column
    {
      border();
      ++i;
    }
  }
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
  return AngleOfCosine(CosineOf(a, b));
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
    // Empty (no mask); the storage stays for the bands or the next mask.
    mask.ResetKeepingStorage();
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
  const SlopeBandBounds bounds(band);
  Float* m = mask.cells.GetFirst();

  // The normal (Grid2D::GetNormal), its cosine to the up vector and the band's weight are worked out
  // block by block in one pass: the weight of VectorAngle(up, normal) / (pi/2), with the acos only
  // where the bounds leave the weight open (see SlopeBandBounds). Keeping neither the normals nor the
  // slopes as grids gives the same values without allocating and filling 32 bytes per cell; like the
  // normals and slopes it replaces, the pass always asks for all threads.
  return OGX::ParallelForBlocks(
    0, terrain.cellCount,
    [&, m, hadMask](Int begin, Int end) {
      Float cosines[OGX::LOOP_CELLBLOCK];
      Float weights[OGX::LOOP_CELLBLOCK];
      SlopeCosines(terrain, begin, end, cosines);
      bounds.Weights(band, cosines, end - begin, weights);
      if (hadMask)
        for (Int i = begin; i < end; ++i)
          m[i] = weights[i - begin] * m[i];
      else
        std::copy(weights, weights + (end - begin), m + begin);
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
    [band, m, heights, hadMask](Int begin, Int end) {
#ifdef OGX_AVX2_DISPATCH
      if (OGX::UseAvx2())
      {
        HeightBandAvx2(band, heights, m, begin, end, hadMask);
        return;
      }
#endif
      HeightBandPortable(band, heights, m, begin, end, hadMask);
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

  // The mask keeps its storage from one blend to the next (the operator's member), so a masked
  // operator does not allocate and fault in a terrain-sized grid at every rebuild. It starts empty.
  Grid2D<Float>& mask = _mask;
  mask.ResetKeepingStorage();
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
