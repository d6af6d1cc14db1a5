#include "object/operator_erosion.h"

#include <cmath>
#include <initializer_list>

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/core/random.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "orogenix/erosion_droplet.h"
#include "orogenix/erosion_hydraulic.h"
#include "orogenix/erosion_thermal.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_EROSION_NAME = 10012;
constexpr const char* EROSIONOPERATOR_DESCRIPTION_NAME = "oerosionoperator";
constexpr Int32 EROSIONOPERATOR_ICON_X = 64;
constexpr Int32 EROSIONOPERATOR_ICON_Y = 64;
constexpr Int32 EROSIONOPERATOR_DISKLEVEL = 0;

// Values written when the operator is created.
constexpr Int32 INIT_METHOD = static_cast<Int32>(EROSIONMETHOD::THERMAL);
constexpr Int32 INIT_THERMAL_ITERATIONS = 5;
constexpr Float INIT_THERMAL_TALUS = 0.1;
constexpr Float INIT_THERMAL_REMOVAL = 0.8;
constexpr Float INIT_THERMAL_DEPOSIT = 0.2;
constexpr Int32 INIT_THERMAL_MODE = 3;
constexpr Bool INIT_THERMAL_SMOOTH = true;
constexpr UInt32 INIT_DROPLET_SEED = 1234;
constexpr Int32 INIT_DROPLET_COUNT = 5000;
constexpr Float INIT_DROPLET_EROSION = 0.04;
constexpr Float INIT_DROPLET_DEPOSITION = 0.03;
constexpr Float INIT_DROPLET_EVAPORATION = 0.15;
constexpr Float INIT_DROPLET_FRICTION = 0.7;
constexpr Float INIT_DROPLET_INERTIA = 0.8;
constexpr Float INIT_DROPLET_CAPACITY = 0.1;
constexpr Int32 INIT_DROPLET_STEPS = 80;
constexpr Float INIT_DROPLET_MINSLOPE = 0.04;
constexpr Bool INIT_DROPLET_SMOOTH = false;
constexpr Float INIT_NOISE_LOW = 0.25;
constexpr Float INIT_NOISE_HIGH = 0.5;
constexpr Float INIT_NOISE_SIZE = 2.0;
constexpr Float INIT_NOISE_INFLUENCE = 0.4;
constexpr Float INIT_NOISE_EXPONENT = 3.0;
constexpr Float INIT_NOISE_SOFTNESS = 0.0;
constexpr Int32 INIT_HYDRAULIC_ITERATIONS = 20;

// Defaults of a computation that finds a value missing (a scene written without it). Deliberately not
// the values above: scenes saved before a parameter existed compute as they always did.
constexpr Int32 READ_METHOD = 0;
constexpr Int32 READ_THERMAL_ITERATIONS = 1;
constexpr Int32 READ_THERMAL_MODE = 2;
constexpr Bool READ_THERMAL_SMOOTH = false;
constexpr UInt32 READ_DROPLET_SEED = 0;
constexpr Int32 READ_HYDRAULIC_ITERATIONS = 0;

// The fixed constants of the droplet method.
constexpr Float DROPLET_DT = 1.2;
constexpr Float DROPLET_DENSITY = 1.0;
constexpr Float DROPLET_EVAPORATION = 0.001;
constexpr Float DROPLET_MIN_VOLUME = 0.01;

// Noise positions are scaled by 1 / (size x 10).
constexpr Float NOISE_SIZE_FACTOR = 10.0;

// Each method's parameters whose change recomputes, in the order they are listed; the description shows
// the same ones. The droplet method lists its shown values although they enter no computation (changing
// one recomputes to the same output), but not 100041, which it shows as well.
constexpr Int32 THERMAL_IDS[] = {
  EROSIONOPERATOR_THERMAL_ITERATIONS, EROSIONOPERATOR_THERMAL_REMOVAL, EROSIONOPERATOR_THERMAL_TALUS,
  EROSIONOPERATOR_THERMAL_MODE,       EROSIONOPERATOR_THERMAL_DEPOSIT, EROSIONOPERATOR_THERMAL_SMOOTH,
};
constexpr Int32 DROPLET_IDS[] = {
  EROSIONOPERATOR_DROPLET_SEED,       EROSIONOPERATOR_DROPLET_COUNT,       EROSIONOPERATOR_DROPLET_EROSION,
  EROSIONOPERATOR_DROPLET_DEPOSITION, EROSIONOPERATOR_DROPLET_EVAPORATION, EROSIONOPERATOR_DROPLET_FRICTION,
  EROSIONOPERATOR_DROPLET_INERTIA,    EROSIONOPERATOR_DROPLET_CAPACITY,    EROSIONOPERATOR_DROPLET_STEPS,
  EROSIONOPERATOR_DROPLET_MINSLOPE,
};
constexpr Int32 DROPLET_SHOWN_ONLY[] = {EROSIONOPERATOR_DROPLET_SMOOTH};
constexpr Int32 NOISE_IDS[] = {
  EROSIONOPERATOR_NOISE_LOW,       EROSIONOPERATOR_NOISE_HIGH,     EROSIONOPERATOR_NOISE_SIZE,
  EROSIONOPERATOR_NOISE_INFLUENCE, EROSIONOPERATOR_NOISE_EXPONENT, EROSIONOPERATOR_NOISE_SOFTNESS,
};
constexpr Int32 HYDRAULIC_IDS[] = {EROSIONOPERATOR_HYDRAULIC_ITERATIONS};

template <std::size_t N>
Result<void> AppendIds(BaseArray<Int32>& ids, const Int32 (&list)[N])
{
  for (const Int32 id : list)
    HOST_TRY(ids.Append(id));
  return OK;
}

Result<void> ListDirtyIds(BaseArray<Int32>& ids, Int32 method)
{
  HOST_TRY(ids.Append(EROSIONOPERATOR_METHOD));
  switch (static_cast<EROSIONMETHOD>(method))
  {
    case EROSIONMETHOD::THERMAL: return AppendIds(ids, THERMAL_IDS);
    case EROSIONMETHOD::DROPLET: return AppendIds(ids, DROPLET_IDS);
    case EROSIONMETHOD::NOISE: return AppendIds(ids, NOISE_IDS);
    case EROSIONMETHOD::HYDRAULIC: return AppendIds(ids, HYDRAULIC_IDS);
  }
  return OK;
}

template <std::size_t N>
void ShowParameters(GeListNode* node, Description* description, const Int32 (&list)[N], Bool show)
{
  for (const Int32 id : list)
    SetDescriptionParameterHidden(node, description, id, show);
}

ThermalSettings ReadThermalSettings(const BaseContainer& data)
{
  ThermalSettings s;
  s.iterations = data.GetInt32(EROSIONOPERATOR_THERMAL_ITERATIONS, READ_THERMAL_ITERATIONS);
  s.removal = data.GetFloat(EROSIONOPERATOR_THERMAL_REMOVAL);
  s.talus = data.GetFloat(EROSIONOPERATOR_THERMAL_TALUS);
  s.deposit = data.GetFloat(EROSIONOPERATOR_THERMAL_DEPOSIT);
  s.mode = data.GetInt32(EROSIONOPERATOR_THERMAL_MODE, READ_THERMAL_MODE);
  s.smooth = data.GetBool(EROSIONOPERATOR_THERMAL_SMOOTH, READ_THERMAL_SMOOTH);
  return s;
}

NoiseErosionSettings ReadNoiseErosionSettings(const BaseContainer& data)
{
  NoiseErosionSettings s;
  s.low = data.GetFloat(EROSIONOPERATOR_NOISE_LOW);
  s.high = data.GetFloat(EROSIONOPERATOR_NOISE_HIGH);
  const Float size = data.GetFloat(EROSIONOPERATOR_NOISE_SIZE) * NOISE_SIZE_FACTOR;
  s.scale = size == 0.0 ? 0.0 : 1.0 / size;
  s.influence = data.GetFloat(EROSIONOPERATOR_NOISE_INFLUENCE);
  s.exponent = data.GetFloat(EROSIONOPERATOR_NOISE_EXPONENT);
  s.softness = data.GetFloat(EROSIONOPERATOR_NOISE_SOFTNESS);
  return s;
}

// Builds the simulation's grids from the output, runs it and copies the eroded heights back; the work
// grids go when the function returns, on every path.
Result<void> RunHydraulicErosion(Grid2D<Float>& output, Int iterations)
{
  HydraulicGridSet set;
  HOST_TRY(InitHydraulicGrids(set, output));
  HydraulicErosionState state(set);
  HOST_TRY(state.Init());
  HydraulicErosion(state, iterations);
  return output.CopyFrom(set.heights);
}
} // namespace

NodeData* ErosionOperator::Alloc()
{
  return NewObj<ErosionOperator>();
}

TERRAINOPERATORFLAGS ErosionOperator::GetOperatorFlags(BaseObject* op)
{
  const Int32 method = op ? op->GetDataInstanceRef().GetInt32(EROSIONOPERATOR_METHOD, READ_METHOD) : READ_METHOD;
  if (method == static_cast<Int32>(EROSIONMETHOD::THERMAL))
    return TERRAINOPERATORFLAGS::TYPE_FILTER;
  return TERRAINOPERATORFLAGS::TYPE_FILTER | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
}

Bool ErosionOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetInt32(EROSIONOPERATOR_METHOD, INIT_METHOD);
  data.SetInt32(EROSIONOPERATOR_THERMAL_ITERATIONS, INIT_THERMAL_ITERATIONS);
  data.SetFloat(EROSIONOPERATOR_THERMAL_TALUS, INIT_THERMAL_TALUS);
  data.SetFloat(EROSIONOPERATOR_THERMAL_REMOVAL, INIT_THERMAL_REMOVAL);
  data.SetFloat(EROSIONOPERATOR_THERMAL_DEPOSIT, INIT_THERMAL_DEPOSIT);
  data.SetInt32(EROSIONOPERATOR_THERMAL_MODE, INIT_THERMAL_MODE);
  data.SetBool(EROSIONOPERATOR_THERMAL_SMOOTH, INIT_THERMAL_SMOOTH);
  data.SetUInt32(EROSIONOPERATOR_DROPLET_SEED, INIT_DROPLET_SEED);
  data.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, INIT_DROPLET_COUNT);
  data.SetFloat(EROSIONOPERATOR_DROPLET_EROSION, INIT_DROPLET_EROSION);
  data.SetFloat(EROSIONOPERATOR_DROPLET_DEPOSITION, INIT_DROPLET_DEPOSITION);
  data.SetFloat(EROSIONOPERATOR_DROPLET_EVAPORATION, INIT_DROPLET_EVAPORATION);
  data.SetFloat(EROSIONOPERATOR_DROPLET_FRICTION, INIT_DROPLET_FRICTION);
  data.SetFloat(EROSIONOPERATOR_DROPLET_INERTIA, INIT_DROPLET_INERTIA);
  data.SetFloat(EROSIONOPERATOR_DROPLET_CAPACITY, INIT_DROPLET_CAPACITY);
  data.SetInt32(EROSIONOPERATOR_DROPLET_STEPS, INIT_DROPLET_STEPS);
  data.SetFloat(EROSIONOPERATOR_DROPLET_MINSLOPE, INIT_DROPLET_MINSLOPE);
  data.SetBool(EROSIONOPERATOR_DROPLET_SMOOTH, INIT_DROPLET_SMOOTH);
  data.SetFloat(EROSIONOPERATOR_NOISE_LOW, INIT_NOISE_LOW);
  data.SetFloat(EROSIONOPERATOR_NOISE_HIGH, INIT_NOISE_HIGH);
  data.SetFloat(EROSIONOPERATOR_NOISE_SIZE, INIT_NOISE_SIZE);
  data.SetFloat(EROSIONOPERATOR_NOISE_INFLUENCE, INIT_NOISE_INFLUENCE);
  data.SetFloat(EROSIONOPERATOR_NOISE_EXPONENT, INIT_NOISE_EXPONENT);
  data.SetFloat(EROSIONOPERATOR_NOISE_SOFTNESS, INIT_NOISE_SOFTNESS);
  data.SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, INIT_HYDRAULIC_ITERATIONS);
  return true;
}

Bool ErosionOperator::GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                                              DESCFLAGS_DESC&)
{
  const Int32 method = data.GetInt32(EROSIONOPERATOR_METHOD, READ_METHOD);
  auto show = [&](EROSIONMETHOD m, const auto& ids) { ShowParameters(node, description, ids, method == static_cast<Int32>(m)); };
  show(EROSIONMETHOD::THERMAL, THERMAL_IDS);
  show(EROSIONMETHOD::DROPLET, DROPLET_IDS);
  show(EROSIONMETHOD::DROPLET, DROPLET_SHOWN_ONLY);
  show(EROSIONMETHOD::NOISE, NOISE_IDS);
  show(EROSIONMETHOD::HYDRAULIC, HYDRAULIC_IDS);
  return true;
}

Bool ErosionOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data)
{
  Result<void> listed = ListDirtyIds(ids, data.GetInt32(EROSIONOPERATOR_METHOD, READ_METHOD));
  if (listed.IsError())
    return ReportOperatorError(listed.GetError());
  return true;
}

Result<void> ErosionOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                              EvaluationContext& context)
{
  if (!op)
    return NullptrError("No erosion operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Int32 method = data.GetInt32(EROSIONOPERATOR_METHOD, READ_METHOD);

  // CopyFrom writes every cell and header field, so the output starts as the input whatever it held; an
  // output of the input's size keeps its storage.
  HOST_TRY(_output.CopyFrom(terrain));
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;

  switch (static_cast<EROSIONMETHOD>(method))
  {
    case EROSIONMETHOD::THERMAL: return ThermalWeathering(_output, ReadThermalSettings(data), thread);
    case EROSIONMETHOD::DROPLET:
      SimpleDropletErosion(_output, data.GetUInt32(EROSIONOPERATOR_DROPLET_SEED, READ_DROPLET_SEED),
                           data.GetInt32(EROSIONOPERATOR_DROPLET_COUNT), DROPLET_DT, DROPLET_DENSITY,
                           DROPLET_EVAPORATION, data.GetFloat(EROSIONOPERATOR_DROPLET_DEPOSITION), DROPLET_MIN_VOLUME,
                           data.GetFloat(EROSIONOPERATOR_DROPLET_FRICTION));
      return OK;
    case EROSIONMETHOD::NOISE: return NoiseErosion(_output, ReadNoiseErosionSettings(data));
    case EROSIONMETHOD::HYDRAULIC:
      return RunHydraulicErosion(_output,
                                 data.GetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, READ_HYDRAULIC_ITERATIONS));
  }
  // Any other method: the output is the input.
  return OK;
}

void SimpleDropletErosion(Grid2D<Float>& grid, UInt32 seed, Int count, Float dt, Float density, Float evaporation,
                          Float deposition, Float minVolume, Float friction)
{
  const Int width = grid.width;
  const Int height = grid.height;
  if (grid.cells.GetCount() == 0 || grid.cells.GetCount() != width * height)
    return;
  const Float fw = static_cast<Float>(width);
  const Float fh = static_cast<Float>(height);
  const Float damping = 1.0 - dt * friction;
  const Float keep = 1.0 - dt * evaporation;
  Float* h = grid.cells.GetFirst();

  LcgRandom random;
  random.Init(seed);
  for (Int d = 0; d < count; ++d)
  {
    Float y = random.Get01() * (fh - 1.0);
    Float x = random.Get01() * (fw - 1.0);
    Float volume = 1.0;
    Float sediment = 0.0;
    Float vx = 0.0;
    Float vy = 0.0;
    while (volume > minVolume)
    {
      // The start lies inside the grid and every later position has passed the test below, so the cell
      // indices are always inside.
      const Int cx = static_cast<Int>(std::floor(x));
      const Int cy = static_cast<Int>(std::floor(y));
      const Vector n = grid.GetNormal(cx, cy);
      const Float mass = volume * density;
      const Float inverse = mass == 0.0 ? 0.0 : 1.0 / mass;
      const Float ax = vx + n.x * dt * inverse;
      const Float ay = vy + n.z * dt * inverse;
      // The undamped velocity moves the droplet; the damped one carries on and sets the capacity.
      x = x + ax * dt;
      y = y + ay * dt;
      vx = ax * damping;
      vy = ay * damping;
      // Written so that a position that is not a number (from NaN heights) stops the droplet too.
      if (!(x >= 0.0 && y >= 0.0 && x < fw && y < fh))
        break;
      const Int dx = static_cast<Int>(std::floor(x));
      const Int dy = static_cast<Int>(std::floor(y));
      const Float drop = h[cy * width + cx] - h[dy * width + dx];
      Float capacity = volume * std::sqrt(vx * vx + vy * vy) * drop;
      capacity = capacity > 0.0 ? capacity : 0.0;
      // Positive: the droplet takes from the cell it left; negative: it drops onto it.
      const Float change = dt * deposition * (capacity - sediment);
      sediment = sediment + change;
      h[cy * width + cx] -= volume * change;
      volume = volume * keep;
    }
  }
}

Bool RegisterErosionOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_EROSIONOPERATOR, EROSIONOPERATOR_ICON_X, EROSIONOPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_EROSIONOPERATOR, GeLoadString(IDS_EROSION_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_FILTER, ErosionOperator::Alloc,
                                   EROSIONOPERATOR_DESCRIPTION_NAME, icon, EROSIONOPERATOR_DISKLEVEL, sortOrder);
                               });
}
