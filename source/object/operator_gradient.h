// The gradient operator: a generator that fills its output grid with a shape (radial, linear,
// rectangular or square) whose cross-section is a profile curve the user draws, placed by the operator
// object's position, rotation and scale and optionally bent by the terrain-distortion group. The output
// holds profile values (normally 0 to 1); the blend's layer scale and offset make them heights, and the
// operator shows and edits those two and its size with viewport handles.
//
// One cell loop on all threads at every size; cells a shape does not reach stay 0. The profile and the
// host noise are read from all threads at once. Cells whose index AND 3999 is non-zero look for a break
// on the build's thread and end the computation with "<Type> gradient cancelled!".
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the gradient operator.
inline constexpr Int32 ID_OGX_GRADIENTOPERATOR = 1054623;

// The operator's parameters (description "ogradientoperator"); the distortion group (2001 to 2007) comes
// on top.
enum : Int32
{
  GRADIENTOPERATOR_GROUP = 10000,
  GRADIENTOPERATOR_PROFILE = 10001,   // SplineData: value over t (1 at the centre or the high end, 0 at the edge)
  GRADIENTOPERATOR_TYPE = 10002,      // Int32: GRADIENTTYPE
  GRADIENTOPERATOR_RADIUS = 10003,    // Float: radial
  GRADIENTOPERATOR_LENGTH = 10004,    // Float: the linear ramp's length, the rectangle's width, the square's side
  GRADIENTOPERATOR_DEPTH = 10005,     // Float: the rectangle's depth
};

// Values of GRADIENTOPERATOR_TYPE; any other type computes an all-zero grid and has no handles.
enum : Int32
{
  GRADIENTTYPE_RADIAL = 1,
  GRADIENTTYPE_LINEAR = 2,
  GRADIENTTYPE_RECTANGULAR = 3,
  GRADIENTTYPE_SQUARE = 4,
};

class GradientOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // The viewport outline of the shape, in the operator's space, drawn in the handle pass for objects
  // the viewport marks with state bit 2; the host's default drawing (the handles) first.
  DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
  // 2 for radial and linear, 3 for rectangular and square: the height (0), the size along Z (1) and
  // the half width along X (2).
  Int32 CountHandles(BaseObject* op) override;
  void GetHandlePosition(BaseObject* op, Int32 i, HandleInfo& info) override;
  // Writes a dragged handle back: the layer scale (not clamped, so it can turn negative), or the size
  // parameter it stands for (clamped to 0 and above).
  void SetHandlePosition(BaseObject* op, Int32 i, const Vector& p, const HandleInfo& info) override;

  // 22: a generator that follows its own and its groups' matrices.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  // A two-knot profile from (0, 0) to (1, 1), radial, the sizes, then the distortion group's defaults.
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The size parameters the type uses, and only those.
  Bool GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                               DESCFLAGS_DESC& flags) override;
  Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001 to 10005, then the distortion group's ids; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// Registers the operator (its icon from the main sheet's cell at (128, 0), description
// "ogradientoperator", name string 10008) at that menu sort order; start-up passes 24.
Bool RegisterGradientOperator(Int32 sortOrder);
