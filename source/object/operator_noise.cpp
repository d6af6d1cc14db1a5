#include "object/operator_noise.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "common/ogx_icons.h"
#include "host/core/random.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/noise/noise.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "object/terraindistortion.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_NOISE_NAME = 10001;
constexpr const char* NOISEOPERATOR_DESCRIPTION_NAME = "onoiseoperator";
constexpr Int32 NOISEOPERATOR_ICON_X = 64;
constexpr Int32 NOISEOPERATOR_ICON_Y = 0;
constexpr Int32 NOISEOPERATOR_DISKLEVEL = 0;

// Values written when the operator is created.
constexpr Float INIT_OCTAVES = 5.0;
constexpr Int32 INIT_TYPE = NOISE_FBM;
constexpr Float INIT_SCALE = 1.0;

// Defaults of a computation that finds a value missing (a scene written without it).
constexpr Float READ_OCTAVES = 0.0;
constexpr Int32 READ_TYPE = 0;
constexpr Int32 READ_SEED = 123;
constexpr Float READ_SCALE = 1.0;
constexpr Bool READ_NORMALIZE = true;

// The random seed's range: 1 + [0, 1) x 4999.
constexpr Float32 SEED_SPAN = 4999.0f;
constexpr Float32 SEED_FIRST = 1.0f;

// Positions are in terrain units; the noise lattice wants them a hundred times smaller at scale 1.
constexpr Float POSITION_SCALE = 0.01;
// The height axis is compressed tenfold on top of the scale.
constexpr Float HEIGHT_AXIS_SCALE = 0.1;

// The fractal spectrum of the ridged multifractal, and of types 3 and 8 (whose lacunarity follows the
// octave value; the octave value they pass on is fixed once the spectrum carries it).
constexpr Int32 RIDGED_FBM_OCTAVES = 20;
constexpr Float RIDGED_FBM_LACUNARITY = 2.2;
constexpr Float RIDGED_FBM_EXPONENT = 0.8;
constexpr Int32 SPECTRAL_FBM_OCTAVES = 12;
constexpr Float SPECTRAL_FBM_LACUNARITY_PER_OCTAVE = 0.19;
constexpr Float SPECTRAL_FBM_LACUNARITY_BASE = 1.0;
constexpr Float SPECTRAL_FBM_EXPONENT = 0.95;
constexpr Float SPECTRAL_OCTAVES = 5.0;

// Arguments of the sampling calls that the operator does not expose.
constexpr Float NOISE_TIME = 0.0;
constexpr Float NOISE_WARP = 0.25;
constexpr Float NOISE_MODULATION = 0.25;
constexpr Int32 NOISE_LAYER = 0;
constexpr Float RIDGED_OFFSET = 1.0;
constexpr Float RIDGED_GAIN = 1.0;
constexpr Int32 RIDGED_OCTAVE_MASK = 1023;   // the first ten octaves
constexpr Float RIDGED_AMPLITUDE = 0.4;

constexpr const char* NOISE_LOOP_NAME = "Noise operator";

// The Bool handed to the noise right after the type: false for these types.
Bool TypeFlag(Int32 type)
{
  return type != NOISE_SPECTRAL_RIDGES && type != NOISE_BLOCKS && type != NOISE_SPOTS && type != NOISE_INTERFERENCE;
}

// Frees the generator on every path out of the computation.
class GeneratorGuard
{
public:
  explicit GeneratorGuard(NoiseGenerator* g) : _g(g) {}
  ~GeneratorGuard() { NoiseLibrary::Free(_g); }
  GeneratorGuard(const GeneratorGuard&) = delete;
  GeneratorGuard& operator=(const GeneratorGuard&) = delete;
  NoiseGenerator* Get() const { return _g; }

private:
  NoiseGenerator* _g;
};
} // namespace

NodeData* NoiseOperator::Alloc()
{
  return NewObj<NoiseOperator>();
}

TERRAINOPERATORFLAGS NoiseOperator::GetOperatorFlags(BaseObject* op)
{
  TERRAINOPERATORFLAGS flags = TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR |
                               TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY;
  if (op && op->GetDataInstanceRef().GetBool(NOISEOPERATOR_WORLDSPACE))
    flags = flags | TERRAINOPERATORFLAGS::DIRTY_MATRIX_TERRAIN;
  return flags;
}

Bool NoiseOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetFloat(NOISEOPERATOR_OCTAVES, INIT_OCTAVES);
  data.SetBool(NOISEOPERATOR_ABSOLUTE, false);
  data.SetInt32(NOISEOPERATOR_TYPE, INIT_TYPE);
  data.SetFloat(NOISEOPERATOR_SCALE, INIT_SCALE);
  data.SetBool(NOISEOPERATOR_NORMALIZE, true);
  data.SetVector(NOISEOPERATOR_OFFSET, Vector());
  data.SetBool(NOISEOPERATOR_WORLDSPACE, false);
  data.SetBool(NOISEOPERATOR_INVERT, false);
  InitDistortionParameters(data);
  // Drawn only here: copies and loaded scenes keep the seed they store.
  data.SetInt32(NOISEOPERATOR_SEED, DrawDefaultNoiseSeed(GeGetRandomSeedValue()));
  return true;
}

Bool NoiseOperator::GetOperatorDEnabling(GeListNode*, const DescID& id, const GeData&, const BaseContainer& data,
                                         DESCFLAGS_ENABLE, const BaseContainer*)
{
  const Int32 parameter = id[0].id;
  const Int32 type = data.GetInt32(NOISEOPERATOR_TYPE, READ_TYPE);
  switch (parameter)
  {
    case NOISEOPERATOR_OCTAVES: return NoiseTypeTakesOctaves(type);
    case NOISEOPERATOR_ABSOLUTE: return type != NOISE_RIDGED_MULTIFRACTAL;
    default: return GetDistortionDEnabling(data, parameter);
  }
}

Bool NoiseOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  for (Int32 id = NOISEOPERATOR_OCTAVES; id <= NOISEOPERATOR_INVERT; ++id)
  {
    Result<void> appended = ids.Append(id);
    if (appended.IsError())
      return ReportOperatorError(appended.GetError());
  }
  Result<void> distortion = GetDistortionParameterIds(ids);
  if (distortion.IsError())
    return ReportOperatorError(distortion.GetError());
  return true;
}

Result<void> NoiseOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                            EvaluationContext& context)
{
  if (!op)
    return NullptrError("No noise operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Float octaveValue = data.GetFloat(NOISEOPERATOR_OCTAVES, READ_OCTAVES);
  const Bool absolute = data.GetBool(NOISEOPERATOR_ABSOLUTE);
  const Int32 type = data.GetInt32(NOISEOPERATOR_TYPE, READ_TYPE);
  const Int32 seed = data.GetInt32(NOISEOPERATOR_SEED, READ_SEED);
  const Float scale = data.GetFloat(NOISEOPERATOR_SCALE, READ_SCALE);
  const Bool normalize = data.GetBool(NOISEOPERATOR_NORMALIZE, READ_NORMALIZE);
  const Vector offset = data.GetVector(NOISEOPERATOR_OFFSET);
  const Bool worldSpace = data.GetBool(NOISEOPERATOR_WORLDSPACE);
  const Bool invert = data.GetBool(NOISEOPERATOR_INVERT);

  const Float s = scale == 0.0 ? 0.0 : POSITION_SCALE / scale;

  // Terrain space into the operator's: undo the groups above it, then the operator's own placement.
  Matrix m = ~op->GetMl() * context.parentMatrixInverse;
  if (worldSpace)
    m = m * context.terrainMatrix;

  const DistortionSettings distortion = ReadDistortionSettings(data);

  HOST_TRY(_output.InitLike(terrain));

  GeneratorGuard generator(NoiseLibrary::Create(seed));
  if (!generator.Get())
    return OutOfMemoryError("Could not allocate noise generator!");

  Float octaves = octaveValue;
  if (type == NOISE_RIDGED_MULTIFRACTAL)
  {
    if (!NoiseLibrary::InitFbm(generator.Get(), RIDGED_FBM_OCTAVES, RIDGED_FBM_LACUNARITY, RIDGED_FBM_EXPONENT))
      return OutOfMemoryError("Could not initialize Fbm for Ridged Multifractal!");
  }
  else if (type == NOISE_SPECTRAL_FBM || type == NOISE_SPECTRAL_RIDGES)
  {
    const Float lacunarity = octaveValue * SPECTRAL_FBM_LACUNARITY_PER_OCTAVE + SPECTRAL_FBM_LACUNARITY_BASE;
    if (!NoiseLibrary::InitFbm(generator.Get(), SPECTRAL_FBM_OCTAVES, lacunarity, SPECTRAL_FBM_EXPONENT))
      return OutOfMemoryError("Could not initialize Fbm!");
    octaves = SPECTRAL_OCTAVES;
  }
  const Bool typeFlag = TypeFlag(type);

  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;

  const Int width = _output.width;
  const Int height = _output.height;
  const Float sizeX = _output.sizeX;
  const Float sizeY = _output.sizeY;
  Float* cells = _output.cells.GetFirst();
  const NoiseGenerator* gen = generator.Get();

  // The sample position of a cell at (x, 0, z) in terrain space.
  auto SamplePosition = [&](Float x, Float z) {
    Vector p(x, 0.0, z);
    if (distortion.operatorSpace)
      p = m * p;
    p = ApplyDistortion(distortion, p);
    p += offset;
    if (!distortion.operatorSpace)
      p = m * p;
    p.x = p.x * s;
    p.z = p.z * s;
    p.y = p.y * s * HEIGHT_AXIS_SCALE;
    return p;
  };

  auto SampleNoiseRows = [&](Int j) -> Result<void> {
    // Asked before the row's cells, but the row is still filled: a cancelled grid has no holes in the
    // rows that were started.
    const Bool cancelled = OGX::LoopBreakRequested(j, OGX::BREAKMASK_CELLS, thread);
    const Float z = sizeY * 0.5 - GridFraction(j, height - 1) * sizeY;
    Float* row = cells + j * width;
    // A stretch of positions first, then the noise of each: the positions' arithmetic runs back to
    // back instead of between two library calls (which clobber every register it would keep).
    constexpr Int STRETCH = 256;
    Vector positions[STRETCH];
    for (Int first = 0; first < width; first += STRETCH)
    {
      const Int count = std::min(STRETCH, width - first);
      for (Int k = 0; k < count; ++k)
        positions[k] = SamplePosition(GridFraction(first + k, width - 1) * sizeX - sizeX * 0.5, z);
      for (Int k = 0; k < count; ++k)
      {
        Float v;
        if (type == NOISE_RIDGED_MULTIFRACTAL)
          v = NoiseLibrary::RidgedMultifractal(gen, positions[k], NOISE_TIME, octaves, RIDGED_OFFSET, RIDGED_GAIN,
                                               RIDGED_OCTAVE_MASK) *
              RIDGED_AMPLITUDE;
        else
          v = NoiseLibrary::Noise(gen, type, typeFlag, positions[k], NOISE_TIME, octaves, absolute, NOISE_WARP,
                                  NOISE_MODULATION, NOISE_LAYER);
        if (invert)
          v = 1.0 - v;
        row[first + k] = v;
      }
    }
    if (cancelled)
      return OGX::LoopCancelledError(NOISE_LOOP_NAME);
    return OK;
  };
  // All threads whatever the size: even a small grid's cells each cost several noise octaves.
  HOST_TRY(ParallelFor(0, height, SampleNoiseRows, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY));

  if (normalize)
    _output.Normalize(1.0, 0.0);
  return OK;
}

Int32 DrawDefaultNoiseSeed(Int32 hostValue)
{
  std::mt19937 engine(static_cast<UInt32>(hostValue));
  const UInt32 d1 = static_cast<UInt32>(engine());
  const UInt32 d2 = static_cast<UInt32>(engine());
  // The canonical 53-bit draw: the two outputs as one 64-bit fraction, rounded to a double. Where that
  // rounding reaches 1.0 the single-precision value is 1.0 either way, so the seed is then 5000.
  const Float u = (static_cast<Float>(d1) + static_cast<Float>(d2) * 4294967296.0) / 18446744073709551616.0;
  const Float32 single = static_cast<Float32>(u);
  // Each step rounded to single precision on its own. The product is formed in double, where a float
  // times 4999 is exact, and rounded once to float, which gives the single-precision product and keeps
  // a fused multiply-add (one rounding instead of two) out of reach.
  const Float32 product = static_cast<Float32>(static_cast<Float>(single) * static_cast<Float>(SEED_SPAN));
  const Float32 sum = product + SEED_FIRST;
  return static_cast<Int32>(sum);
}

Bool NoiseTypeTakesOctaves(Int32 type)
{
  switch (type)
  {
    case NOISE_SPECTRAL_FBM:
    case NOISE_TURBULENCE:
    case NOISE_SPECTRAL_RIDGES:
    case NOISE_SIMPLEX_FBM:
    case NOISE_BILLOW:
    case NOISE_VALUE_FBM:
    case NOISE_FBM:
    case NOISE_WARPED_FBM:
    case NOISE_RIDGED_MULTIFRACTAL: return true;
    default: return false;
  }
}

Bool RegisterNoiseOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_NOISEOPERATOR, NOISEOPERATOR_ICON_X, NOISEOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_NOISEOPERATOR, GeLoadString(IDS_NOISE_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_GENERATOR, NoiseOperator::Alloc,
                                   NOISEOPERATOR_DESCRIPTION_NAME, icon, NOISEOPERATOR_DISKLEVEL, sortOrder);
  });
}
