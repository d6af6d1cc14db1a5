// The mirror operator: a filter that flips the heights handed to it along X (columns reversed), along Z
// (rows reversed) and/or inverts them within the input's range, any combination in one pass.
//
// One row loop: each source row writes exactly one destination row. It runs on the calling thread when
// the grid has 10000 cells or fewer (counted in cells, although the loop runs over rows) and on all
// threads above. Rows whose index AND 999 is non-zero look for a break on the build's thread and end
// the loop with "Mirror operator cancelled!".
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the mirror operator.
inline constexpr Int32 ID_OGX_MIRROROPERATOR = 1054640;

// The operator's parameters (description "omirroroperator").
enum : Int32
{
  MIRROROPERATOR_MIRROR_X = 10001,   // Bool: columns reversed
  MIRROROPERATOR_INVERT = 10002,     // Bool: heights inverted between the input's min and max
  MIRROROPERATOR_MIRROR_Z = 10003,   // Bool: rows reversed
};

class MirrorOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter that needs the input's range for the inversion (33).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The inversion is h = (min - max) x t + max with t = (h - min) / (max - min) (0 for a flat input),
  // which is max + min - h up to rounding; an input without a valid range inverts to 0.
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001, 10002, 10003.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (0, 64), description "omirroroperator",
// name string 10009) at that menu sort order; start-up passes 36.
Bool RegisterMirrorOperator(Int32 sortOrder);
