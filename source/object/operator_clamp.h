// The clamp operator: a filter that confines the heights handed to it to a band [low, high]. By default
// it rescales the input's whole range linearly onto the band; with its clamp switch on it cuts every
// height off at the band's ends instead (a NaN height stays NaN).
//
// One cell loop, on the calling thread for 10000 cells or fewer and on all threads above. The cutting
// loop looks for a break on the build's thread (cells whose index AND 3999 is non-zero) and ends with
// "Clamp operator cancelled!"; the rescaling loop cannot be cancelled.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the clamp operator.
inline constexpr Int32 ID_OGX_CLAMPOPERATOR = 1054609;

// The operator's parameters (description "oclampoperator").
enum : Int32
{
  CLAMPOPERATOR_LOW = 10001,    // Float: low end of the band
  CLAMPOPERATOR_HIGH = 10002,   // Float: high end of the band
  CLAMPOPERATOR_CLAMP = 10003,  // Bool: cut at the band instead of rescaling onto it
};

class ClampOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter that needs the input's range (33).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // Keeps low <= high when the user edits a bound (message 19): the edited bound is pulled back to the
  // other. Handles message 19 and nothing else.
  Bool OperatorMessage(GeListNode* node, Int32 type, void* data) override;
  // Rescaling: output = low + (high - low) x (h - min) / (max - min), low everywhere for a flat input.
  // Clamping: output = min(high, max(low, h)), so low > high gives high everywhere.
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001, 10002, 10003.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (512, 0), description "oclampoperator",
// name string 10005) at that menu sort order; start-up passes 33.
Bool RegisterClampOperator(Int32 sortOrder);
