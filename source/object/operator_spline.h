// The spline operator: a generator that raises the terrain along a linked spline. It samples the spline
// at its points (in the terrain object's space), gathers around every sample the terrain cells within a
// radius that may vary along the spline, and writes there a height shaped by a profile curve across the
// spline and scaled by a gain curve along it; overlapping samples add up and the sum is normalised to
// 0..1, or (with accumulation off) keep the largest value.
//
// The cells come from the terrain object's point index over its cell positions. The gathering loop runs
// first, over all samples on as many workers as the host has threads, each worker querying the index
// with its own query state; then the samples' cells are written one sample after the other, each
// sample's cells on all threads (a cell occurs once per sample, so no two workers write one cell).
// Neither loop tests for a break.
//
// The operator tracks the linked spline itself: it is dirty when the spline's or its deformers' dirty
// counts, or the spline's global matrix, changed since the last computation.
#pragma once

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the spline operator.
inline constexpr Int32 ID_OGX_SPLINEOPERATOR = 1054654;

// The operator's parameters (description "osplineoperator").
enum : Int32
{
  SPLINEOPERATOR_SPLINE = 10000,       // link: the spline object (or an object standing for a spline)
  SPLINEOPERATOR_WIDTH = 10001,        // Float: the radius around a sample, before the radius curve
  SPLINEOPERATOR_PROFILE = 10003,      // SplineData: height across the spline, 1 on a sample
  SPLINEOPERATOR_GAIN = 10004,         // SplineData: gain along the spline (x the sample's offset)
  SPLINEOPERATOR_RADIUSCURVE = 10005,  // SplineData: radius factor along the spline (x the sample's offset)
  SPLINEOPERATOR_ACCUMULATE = 10006,   // Bool: add up and normalise, instead of keeping the largest value
  SPLINEOPERATOR_GROUP = 10100,        // the description group that holds them
};

class SplineOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // 10: a generator that follows the terrain object's matrix (the samples are carried into its space).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  // Height 50 and factor 1, width 75, accumulation on, the three curves; the link stays empty.
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // The drag check of the link (message 26 for 10000): a spline, or an object standing for one.
  Bool OperatorMessage(GeListNode* node, Int32 type, void* data) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // The linked spline changed (its dirty counts or its deformers'), or moved (its global matrix).
  Bool IsOperatorDirty(BaseObject* op, BaseDocument* doc, EvaluationContext& context) override;
  // 10000, 10001, 10003, 10004, 10005, 10006.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;

private:
  Int _currentDirtySum = 0;
  Int _savedDirtySum = 0;
  Int _currentMatrixHash = 0;
  Int _savedMatrixHash = 0;
};

// Registers the operator (its icon from the main sheet's cell at (256, 0), description
// "osplineoperator", name string 10010) at that menu sort order; start-up passes 23.
Bool RegisterSplineOperator(Int32 sortOrder);
