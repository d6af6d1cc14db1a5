// The sharpen operator: a filter that sharpens the heights handed to it, with a separable ramp kernel
// tuned by size and strength, or with one of three two-dimensional kernels. The base operator masks and
// blends the result.
//
// The separable sharpen keeps the input's minimum and maximum in the output and clamps at the borders;
// the two-dimensional kernels mirror and leave the minimum and maximum reset. Each separable pass runs
// over the rows on the calling thread up to 500 rows and on all threads above; a break request on the
// build's thread is looked for once per row (rows whose index AND 999 is non-zero) and ends the
// computation with "Vertical Sharpen pass cancelled!" or "Horizontal Sharpen pass cancelled!". The
// two-dimensional convolution runs on all threads and is not cancelled.
#pragma once

#include "host/core/thread.h"
#include "orogenix/baseterrainoperator.h"

// Plug-in id of the sharpen operator.
inline constexpr Int32 ID_OGX_SHARPENOPERATOR = 1056139;

// The operator's parameters (description "osharpenoperator"). Unlike the blur operator's, the method
// is 10001 and the size 10002.
enum : Int32
{
  SHARPENOPERATOR_GROUP = 10000,
  SHARPENOPERATOR_METHOD = 10001,     // Int32: SHARPENMETHOD
  SHARPENOPERATOR_SIZE = 10002,       // Int32: the ramp's width (method 0), the Gaussian's radius (method 3)
  SHARPENOPERATOR_STRENGTH = 10003,   // Float: lowers the ramp's centre weight (method 0)
};

enum SHARPENMETHOD : Int32
{
  SHARPENMETHOD_SEPARABLE = 0,   // SharpenGrid; every value outside 0 to 3 leaves the input unchanged
  SHARPENMETHOD_SHARPEN3X3 = 1,
  SHARPENMETHOD_UNSHARPMASK5X5 = 2,
  SHARPENMETHOD_UNSHARPMASK = 3,   // 2 x size + 1 wide
};

class SharpenOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter that needs no height range.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The size only for methods 0 and 3, the strength only for method 0.
  Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001, 10002, 10003; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// The ends (centre, edge) of the separable sharpen's ramp for a width and strength: with q = (size - 3)
// / 6 in integers (truncating) and p = 5 - 2q, the centre is (3 - 1.5q - p) x strength + p but never
// below 1.5; the edge is -1. Size 3 at strength 0 gives 5; every 6 in size lowers that by 2.
void SharpenRampEnds(Int32 size, Float strength, Float ends[2]);

// Sharpens input into output with the ramp kernel of that width and strength (half width size / 2),
// normalised by its full sum (factor 0 when the sum is exactly 0): a vertical pass and then a horizontal
// one, both clamping at the borders. Output takes input's shape and min/max; the two may be one grid (in
// place). Fails with "Can't sharpen a grid with size 0!" for an input without cells and with "Can't
// initialize kernel with size 0!" for a size of 0 or below, output then being a copy of input. Size 1
// copies input.
Result<void> SharpenGrid(const Grid2D<Float>& input, Grid2D<Float>& output, Int32 size, Float strength,
                         const HostThread* thread);

// Registers the operator (its icon from the main sheet's cell at (576, 64), description
// "osharpenoperator", name string 10013) at that menu sort order; start-up passes 35.
Bool RegisterSharpenOperator(Int32 sortOrder);
