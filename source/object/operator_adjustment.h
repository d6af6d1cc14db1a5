// The adjustment operator: a filter that scales the heights handed to it and adds an offset, either
// an absolute one or one counted in multiples of the input's height range.
//
// One cell loop on all threads whatever the grid's size; each cell writes only its own output cell. The
// loop cannot be cancelled.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the adjustment operator.
inline constexpr Int32 ID_OGX_ADJUSTMENTOPERATOR = 1054574;

// The operator's parameters (description "oadjustmentoperator").
enum : Int32
{
  ADJUSTMENTOPERATOR_SCALE = 10001,             // Float: heights are multiplied by it
  ADJUSTMENTOPERATOR_OFFSET_RELATIVE = 10002,   // Float: the offset in multiples of the input range
  ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE = 10003,   // Float: the offset in scene units
  ADJUSTMENTOPERATOR_RELATIVE = 10004,          // Bool: use the relative offset
};

class AdjustmentOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // Scenes stored at disk level 0 used the relative offset only: such an operator loads with 10004 set.
  Bool Read(GeListNode* node, HyperFile* hf, Int32 level) override;

  // A filter; it asks for the input's range (33) only when the offset is relative.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // Shows the offset in use (10002 when relative, else 10003) and hides the other.
  Bool GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                               DESCFLAGS_DESC& flags) override;
  // output = input x scale + (relative ? input max - input min : 1) x offset. A relative offset on an
  // input without a valid range counts the range as 0.
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10004, 10001, 10002, 10003.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (384, 0), description
// "oadjustmentoperator", name string 10002, disk-level argument 1) at that menu sort order; start-up
// passes 31.
Bool RegisterAdjustmentOperator(Int32 sortOrder);
