// The blur operator: a filter that smooths the heights handed to it, with a separable box of width
// 2r + 1 or with one of the Gaussian kernels. The base operator masks and blends the result.
//
// The box keeps the input's minimum and maximum in the output; the Gaussian methods leave them reset.
// The box passes clamp at the borders, the Gaussian kernels mirror. Each box pass runs over the rows on
// the calling thread up to 500 rows and on all threads above; a break request on the build's thread is
// looked for once per row (rows whose index AND 999 is non-zero) and ends the computation with
// "Vertical BoxBlur pass cancelled!" or "Horizontal BoxBlur pass cancelled!". The Gaussian convolution
// runs on all threads and is not cancelled.
#pragma once

#include "host/core/thread.h"
#include "orogenix/baseterrainoperator.h"

// Plug-in id of the blur operator.
inline constexpr Int32 ID_OGX_BLUROPERATOR = 1054618;

// The operator's parameters (description "obluroperator"). The radius comes first in the container's
// numbering but second in the interface.
enum : Int32
{
  BLUROPERATOR_GROUP = 10000,
  BLUROPERATOR_RADIUS = 10001,   // Int32: the box's and the Gaussian's radius r
  BLUROPERATOR_METHOD = 10002,   // Int32: BLURMETHOD
};

enum BLURMETHOD : Int32
{
  BLURMETHOD_BOX = 0,        // separable box of width 2r + 1 (also every value outside 0 to 3)
  BLURMETHOD_GAUSSIAN = 1,   // Gaussian of radius r
  BLURMETHOD_GAUSSIAN3X3 = 2,
  BLURMETHOD_GAUSSIAN5X5 = 3,
};

class BlurOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // The base's own level-0 update, then this one's for scenes stored at level 0: method 4 (a Gaussian
  // of radius r under an older number) becomes 1, and the box's radius is halved (integer division
  // toward zero), since such scenes stored the box's width-like value.
  Bool Read(GeListNode* node, HyperFile* hf, Int32 level) override;

  // A filter that needs no height range.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The radius is disabled for the fixed 3 x 3 and 5 x 5 kernels.
  Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001, 10002; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Blurs input into output with a box of `window` cells (weight 1 / window, 0.0 for a window of 0; half
// width window / 2): a vertical pass and then a horizontal one, both clamping at the borders. Output
// takes input's shape and min/max; the two may be one grid (in place). Fails with "Can't BluxBlur a
// grid with size 0!" for an input without cells, output then being its empty copy. A window below 1
// has no sensible meaning; its taps never reach outside the grid (a negative half width has none and
// gives 0).
Result<void> BoxBlur(const Grid2D<Float>& input, Grid2D<Float>& output, Int window, const HostThread* thread);

// Registers the operator (its icon from the main sheet's cell at (448, 0), description "obluroperator",
// name string 10007, disk level 1) at that menu sort order; start-up passes 34.
Bool RegisterBlurOperator(Int32 sortOrder);
