// The quantize operator: a filter that snaps every height to the nearest of N evenly spaced levels
// between the input's minimum and maximum (both of which are levels), giving terraces. A height halfway
// between two levels goes to the upper one.
//
// One cell loop, on the calling thread for 20000 cells or fewer (twice the usual threshold) and on all
// threads above; it cannot be cancelled.
#pragma once

#include <cmath>

#include "orogenix/baseterrainoperator.h"

// Plug-in id of the quantize operator.
inline constexpr Int32 ID_OGX_QUANTIZEOPERATOR = 1056548;

// The operator's parameter (description "oquantizeoperator").
enum : Int32
{
  QUANTIZEOPERATOR_LEVELS = 10001,   // Int32: the number of levels N
};

class QuantizeOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // A filter that needs the input's range (33).
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // output = floor((h - min) x invRange x steps + 0.5) x invSteps x range + min, steps = N - 1, each
  // inverse 0 where its value is 0 (N = 1 or a flat input give min everywhere). Evaluated in exactly
  // that order, so level values carry the rounding of that product (49.99999999999999 for the level 50
  // of N = 8 over 0 .. 70).
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // 10001.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;
};

// std::floor(v), bit for bit (signed zeros, infinities and NaN included), in a form without branches or
// library calls that the compiler turns into a vector loop where std::floor needs an instruction the
// base x86-64 set lacks. It relies on round-to-nearest (the host's mode) and on the two additions being
// made as written: |v| below 2^52 is rounded to an integer by adding and removing 2^52 with its sign,
// and one is taken off where that rounded up; from 2^52 on a double is an integer already.
inline Float FloorWithoutBranches(Float v)
{
  constexpr Float INTEGRAL_FROM = 4503599627370496.0;   // 2^52
  const Float m = std::copysign(INTEGRAL_FROM, v);
  Float r = std::copysign((v + m) - m, v);
  r = r > v ? r - 1.0 : r;
  return std::fabs(v) < INTEGRAL_FROM ? r : v;
}

// Registers the operator (its icon from the main sheet's cell at (0, 128), description
// "oquantizeoperator", name string 10014) at that menu sort order; start-up passes 38.
Bool RegisterQuantizeOperator(Int32 sortOrder);
