// The fold operator: a filter that folds the heights handed to it about a level. Mode 0 reflects the
// heights above the level down below it, mode 1 the heights below it up; any other mode copies the
// input. With a noise amount above 0 the level is displaced per cell by the host's solid noise, which
// gives a wavy fold line.
//
// One cell loop, on the calling thread for 10000 cells or fewer and on all threads above; the host's
// noise is called from all of them at once. The loop cannot be cancelled.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the fold operator.
inline constexpr Int32 ID_OGX_FOLDOPERATOR = 1055664;

// The operator's parameters (description "ofoldoperator"); 10003 is not used.
enum : Int32
{
  FOLDOPERATOR_MODE = 10001,           // Int32: 0 fold down, 1 fold up
  FOLDOPERATOR_LEVEL = 10002,          // Float: the level L
  FOLDOPERATOR_NOISE_AMOUNT = 10004,   // Float: A; the noise is off unless A > 0
  FOLDOPERATOR_NOISE_SCALE = 10005,    // Float: positions are multiplied by 1 / (scale x 100)
  FOLDOPERATOR_NOISE_OFFSET = 10006,   // Float: the Y coordinate of the noise sample, before scaling
};

enum : Int32
{
  FOLDMODE_DOWN = 0,
  FOLDMODE_UP = 1,
};

class FoldOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter; the level is its own, so it never asks for the input's range (1).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // Per cell: level = L, or with noise L + Noise(x s, o s, z s) x A at the cell's position (x, z) in the
  // terrain's plane (centred; row 0 at +Z). Mode 0: h > level becomes level - (h - level); mode 1:
  // h < level becomes level + (level - h). A one-column or one-row grid places its cells at the start
  // of that axis.
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001, 10002, 10004, 10005, 10006.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (320, 64), description "ofoldoperator",
// name string 10011) at that menu sort order; start-up passes 37.
Bool RegisterFoldOperator(Int32 sortOrder);
