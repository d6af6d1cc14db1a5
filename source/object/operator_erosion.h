// The erosion operator: a filter that returns the terrain as the operators before it left it, eroded by
// one of four methods (parameter 100000): thermal weathering, simple droplet erosion, noise erosion or
// grid-based hydraulic erosion. The base operator masks and blends the result.
//
// Every computation starts from a fresh copy of the input. Only thermal weathering looks for a break
// request on the build's thread (before iterations 2, 3, 6, 7, ...); the other methods run to the end
// once started. Methods 1 to 3 work on the terrain's minimum and maximum, so the operator asks the
// evaluation to recompute them for those methods. The simulations' work grids live for one computation.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the erosion operator.
inline constexpr Int32 ID_OGX_EROSIONOPERATOR = 1054690;

// The operator's parameters (description "oerosionoperator").
enum : Int32
{
  EROSIONOPERATOR_METHOD = 100000,   // Int32 EROSIONMETHOD
  EROSIONOPERATOR_GROUP = 100001,    // the description's group

  // Thermal weathering.
  EROSIONOPERATOR_THERMAL_ITERATIONS = 100011,   // Int32
  EROSIONOPERATOR_THERMAL_REMOVAL = 100012,      // Float
  EROSIONOPERATOR_THERMAL_TALUS = 100013,        // Float
  EROSIONOPERATOR_THERMAL_MODE = 100014,         // Int32 transfer mode 0 to 4
  EROSIONOPERATOR_THERMAL_DEPOSIT = 100015,      // Float
  EROSIONOPERATOR_THERMAL_SMOOTH = 100016,       // Bool

  // Droplet erosion. The droplets use the count, the seed, the deposition rate and the friction; the
  // other values are shown and saved but enter no computation.
  EROSIONOPERATOR_DROPLET_COUNT = 100031,        // Int32
  EROSIONOPERATOR_DROPLET_EROSION = 100032,      // Float, unused
  EROSIONOPERATOR_DROPLET_DEPOSITION = 100033,   // Float
  EROSIONOPERATOR_DROPLET_EVAPORATION = 100034,  // Float, unused
  EROSIONOPERATOR_DROPLET_FRICTION = 100035,     // Float
  EROSIONOPERATOR_DROPLET_INERTIA = 100036,      // Float, unused
  EROSIONOPERATOR_DROPLET_CAPACITY = 100037,     // Float, unused
  EROSIONOPERATOR_DROPLET_STEPS = 100038,        // Int32, unused
  EROSIONOPERATOR_DROPLET_MINSLOPE = 100039,     // Float, unused
  EROSIONOPERATOR_DROPLET_SEED = 100040,         // UInt32 (container's UInt32 accessors)
  EROSIONOPERATOR_DROPLET_SMOOTH = 100041,       // Bool, unused and not a dirty id

  // Noise erosion.
  EROSIONOPERATOR_NOISE_LOW = 100051,        // Float
  EROSIONOPERATOR_NOISE_HIGH = 100052,       // Float
  EROSIONOPERATOR_NOISE_SIZE = 100053,       // Float: positions are scaled by 1 / (10 x size)
  EROSIONOPERATOR_NOISE_EXPONENT = 100054,   // Float
  EROSIONOPERATOR_NOISE_INFLUENCE = 100055,  // Float
  EROSIONOPERATOR_NOISE_SOFTNESS = 100056,   // Float

  // Hydraulic erosion.
  EROSIONOPERATOR_HYDRAULIC_ITERATIONS = 100061,   // Int32
};

// The values of EROSIONOPERATOR_METHOD.
enum class EROSIONMETHOD : Int32
{
  THERMAL = 0,
  DROPLET = 1,
  NOISE = 2,
  HYDRAULIC = 3,
};

class ErosionOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // 1 (filter) for thermal weathering; 33 (filter, requires the terrain's min/max) for every other value.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // Shows the parameters of the chosen method and hides the others'; a method outside 0 to 3 hides all.
  Bool GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                               DESCFLAGS_DESC& flags) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 100000, then the chosen method's ids; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Droplets one after the other, each started at a row and then a column drawn from an LcgRandom seeded
// with seed: a droplet rolls along the downhill normal (the undamped velocity moves it, the damped one
// sets its capacity), takes from or drops onto the cell it leaves in proportion to the difference between
// its capacity and its load, loses volume, and stops when it leaves the grid (or its position stops being
// a number) or its volume falls to minVolume; what it still carries is dropped. The grid's min/max are
// not touched. Never reads or writes outside the grid.
void SimpleDropletErosion(Grid2D<Float>& grid, UInt32 seed, Int count, Float dt, Float density, Float evaporation,
                          Float deposition, Float minVolume, Float friction);

// Registers the operator (its icon from the main sheet's cell at (64, 64), description
// "oerosionoperator", name string 10012) at that menu sort order; start-up passes 38.
Bool RegisterErosionOperator(Int32 sortOrder);
