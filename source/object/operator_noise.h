// The noise operator: a generator that fills its output grid with the host noise library's noise,
// sampled at the terrain's cell positions carried into the operator's own space (so that moving,
// turning or scaling the operator object moves, turns or stretches the noise), optionally displaced by
// the terrain-distortion group and normalised to 0..1. The base operator masks and blends the result.
//
// The computation runs one row per loop index on all threads; every row writes only its own cells and
// reads one shared noise generator, which the library allows once its set-up is done. A break request on
// the build's thread is looked for once per row (rows whose index AND 3999 is non-zero) and ends the
// computation with "Noise operator cancelled!" before the normalisation.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the noise operator.
inline constexpr Int32 ID_OGX_NOISEOPERATOR = 1054566;

// The operator's parameters (description "onoiseoperator"); the distortion group (2001 to 2007) comes
// on top.
enum : Int32
{
  NOISEOPERATOR_GROUP = 10000,
  NOISEOPERATOR_OCTAVES = 10001,      // Float: the octave value (feeds the fractal set-up for types 3 and 8)
  NOISEOPERATOR_ABSOLUTE = 10002,     // Bool: handed to the noise after the octaves (not used by type 64)
  NOISEOPERATOR_TYPE = 10003,         // Int32: a noise-library type number; 64 the ridged multifractal
  NOISEOPERATOR_SEED = 10004,         // Int32: drawn at random when the operator is created
  NOISEOPERATOR_SCALE = 10005,        // Float: positions are multiplied by 0.01 / scale (0 for a scale of 0)
  NOISEOPERATOR_NORMALIZE = 10006,    // Bool: map the finished grid onto 0..1
  NOISEOPERATOR_OFFSET = 10007,       // Vector: added to the sample position, in terrain units
  NOISEOPERATOR_WORLDSPACE = 10008,   // Bool: sample at world positions (the terrain object's matrix first)
  NOISEOPERATOR_INVERT = 10009,       // Bool: 1 - value, before the normalisation
};

class NoiseOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // 22 (generator, follows its own and its groups' matrices); 30 with 10008, which also follows the
  // terrain object's matrix.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  // The defaults, then the distortion group's, then a random seed.
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // 10001 for the octave types, 10002 for every type but 64, the rest by the distortion group.
  Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001 to 10009, then the distortion group's ids; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// The random default seed for a host value: an MT19937 seeded with the value draws u in [0, 1) from two
// outputs (53 bits), and the seed is truncate(float(u) x 4999 + 1) in single precision: 1 to 4999, 5000
// only when float(u) rounds to 1.
Int32 DrawDefaultNoiseSeed(Int32 hostValue);

// True for the types whose noise takes the octave value (3, 7, 8, 12, 14, 20, 21, 23 and 64).
Bool NoiseTypeTakesOctaves(Int32 type);

// Registers the operator (its icon from the main sheet's cell at (64, 0), description "onoiseoperator",
// name string 10001) at that menu sort order; start-up passes 21.
Bool RegisterNoiseOperator(Int32 sortOrder);
