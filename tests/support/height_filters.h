// A fixture for the height-filter operators (adjustment, clamp, curve, fold, mirror, quantize): the
// module's resources and icon sheets loaded, the base description and the six operators registered,
// and helpers that build a small input grid by hand and compute one operator on it.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "common/ogx_icons.h"
#include "host/scene/hierarchy.h"
#include "object/operator_adjustment.h"
#include "object/operator_clamp.h"
#include "object/operator_curve.h"
#include "object/operator_fold.h"
#include "object/operator_mirror.h"
#include "object/operator_quantize.h"
#include "support/test_operators.h"
#include "support/test_support.h"

namespace ogx_test
{
// The six operators as start-up registers them: id, registration, menu sort order.
struct HeightFilterRegistration
{
  Int32 id;
  Bool (*registration)(Int32);
  Int32 sortOrder;
};

inline const std::vector<HeightFilterRegistration>& HeightFilterRegistrations()
{
  static const std::vector<HeightFilterRegistration> rows = {
    {ID_OGX_ADJUSTMENTOPERATOR, RegisterAdjustmentOperator, 31}, {ID_OGX_CURVEOPERATOR, RegisterCurveOperator, 32},
    {ID_OGX_CLAMPOPERATOR, RegisterClampOperator, 33},           {ID_OGX_MIRROROPERATOR, RegisterMirrorOperator, 36},
    {ID_OGX_FOLDOPERATOR, RegisterFoldOperator, 37},             {ID_OGX_QUANTIZEOPERATOR, RegisterQuantizeOperator, 38},
  };
  return rows;
}

// A grid of width x height cells with these values over 10 x 10, its range found as the evaluation
// finds it for operators that ask for it.
inline Grid2D<Float> HandGrid(Int width, Int height, std::initializer_list<Float> values, Bool withRange = true)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(width, height, 10.0, 10.0).IsOk());
  EXPECT_EQ(static_cast<std::size_t>(g.cellCount), values.size());
  Int i = 0;
  for (const Float v : values)
    g.cells[i++] = v;
  if (withRange)
    g.RecomputeMinMax();
  return g;
}

// A grid of width x height cells whose heights run irregularly over [lo, hi].
inline Grid2D<Float> RampGrid(Int width, Int height, Float lo = 0.0, Float hi = 100.0)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(width, height, 30.0, 20.0).IsOk());
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = lo + (hi - lo) * static_cast<Float>((i * 7919) % 1009) / 1008.0;
  g.RecomputeMinMax();
  return g;
}

inline std::vector<Float> Cells(const Grid2D<Float>& g)
{
  return std::vector<Float>(g.cells.begin(), g.cells.end());
}

inline Bool SameCells(const Grid2D<Float>& a, const Grid2D<Float>& b)
{
  if (a.cellCount != b.cellCount || a.cells.GetCount() != b.cells.GetCount())
    return false;
  for (Int i = 0; i < a.cellCount; ++i)
    if (!Same(a.cells[i], b.cells[i]))
      return false;
  return true;
}

class HeightFilterTest : public OperatorSceneTest
{
protected:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    for (const HeightFilterRegistration& r : HeightFilterRegistrations())
      ASSERT_TRUE(r.registration(r.sortOrder)) << r.id;
  }
  void TearDown() override
  {
    FreeIconSheets();
    OperatorSceneTest::TearDown();
  }

  BaseContainer& Data(BaseObject* op) { return op->GetDataInstanceRef(); }

  // Computes the operator on the input; the context carries the build record when one is set.
  Result<void> Compute(BaseObject* op, const Grid2D<Float>& input)
  {
    EvaluationContext context = MakeContext(input.width - 1, input.sizeX);
    context.hierarchyHelp = hierarchy;
    return OperatorData(op)->ComputeOperator(input, op, doc, context);
  }
  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }

  // The output as it comes from one thread and from all threads: equal bits, or the test fails.
  std::vector<Float> ComputeSerialAndParallel(BaseObject* op, const Grid2D<Float>& input)
  {
    std::vector<Float> serial;
    {
      SerialScope one;
      EXPECT_TRUE(Compute(op, input).IsOk());
      serial = Cells(Output(op));
    }
    EXPECT_TRUE(Compute(op, input).IsOk());
    const std::vector<Float> parallel = Cells(Output(op));
    EXPECT_EQ(serial.size(), parallel.size());
    for (std::size_t i = 0; i < serial.size() && i < parallel.size(); ++i)
      if (!Same(serial[i], parallel[i]))
      {
        ADD_FAILURE() << "cell " << i << ": " << serial[i] << " on one thread, " << parallel[i] << " on all";
        break;
      }
    return parallel;
  }

  HierarchyContext* hierarchy = nullptr;
};
} // namespace ogx_test
