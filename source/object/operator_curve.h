// The curve operator: a filter that remaps the heights handed to it through a curve the user edits (a
// SplineData, x the height normalised to 0..1 over the input's range, y the normalised output). The
// curve starts as the GLACIER_2 preset, and a button replaces it with the preset chosen in the
// selector; editing the curve by hand sets the selector to 999.
//
// One cell loop on all threads at every size; the curve is evaluated from all of them at once (the
// host's evaluation only reads). Cells whose index AND 3999 is non-zero look for a break on the build's
// thread and end the loop with "Curve operator cancelled!".
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the curve operator.
inline constexpr Int32 ID_OGX_CURVEOPERATOR = 1054582;

// The operator's parameters (description "ocurveoperator").
enum : Int32
{
  CURVEOPERATOR_CURVE = 10001,    // SplineData: the remapping curve
  CURVEOPERATOR_PRESET = 10002,   // Int32 (SPLINEDATAPRESET): what the button applies; 999 a curve edited by hand
  CURVEOPERATOR_APPLY = 10003,    // button: applies the selected preset to the curve
};

// The selector's value for a curve edited by hand; no preset, so the button then makes the LINEAR curve.
inline constexpr Int32 CURVEOPERATOR_PRESET_EDITED = 999;

class CurveOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter that needs the input's range (33).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  // A new curve holding GLACIER_2, and the selector on it. False (printed to the console) when the
  // curve cannot be created or filled.
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The apply button (message 18 for 10003) and the curve's edit (message 19 for 10001); nothing else.
  Bool OperatorMessage(GeListNode* node, Int32 type, void* data) override;
  // output = y(curve at (h - min) x inverse) x range + min, range = max - min, inverse = 1 / range or 0
  // for a flat input, which then comes back unchanged (every cell y(0) x 0 + min).
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001 only: choosing a preset without applying it changes nothing.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (576, 0), description "ocurveoperator",
// name string 10004) at that menu sort order; start-up passes 32.
Bool RegisterCurveOperator(Int32 sortOrder);
