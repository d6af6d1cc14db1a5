#include <gtest/gtest.h>

#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/scene/messages.h"
#include "host/splines/splinedata.h"
#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
class CurveOperatorTest : public HeightFilterTest
{
protected:
  static const SplineData* Curve(BaseObject* op)
  {
    return static_cast<const SplineData*>(
      op->GetDataInstanceRef().GetCustomData(CURVEOPERATOR_CURVE, CUSTOMDATATYPE_SPLINE));
  }

  // The curve a preset gives, made by the preset function itself on a container of its own.
  static BaseContainer PresetCurve(SPLINEDATAPRESET preset)
  {
    BaseContainer bc;
    bc.SetData(CURVEOPERATOR_CURVE, GeData(SplineData::Alloc()));
    EXPECT_TRUE(ApplySplineDataPreset(bc, CURVEOPERATOR_CURVE, preset).IsOk());
    return bc;
  }

  static Bool SameCurve(BaseObject* op, SPLINEDATAPRESET preset)
  {
    const BaseContainer want = PresetCurve(preset);
    return Curve(op) && Curve(op)->IsEqual(*want.GetCustomData(CURVEOPERATOR_CURVE, CUSTOMDATATYPE_SPLINE));
  }

  Bool PressApply(BaseObject* op)
  {
    DescriptionCommand command;
    command.id = DescID(CURVEOPERATOR_APPLY);
    return op->Message(MSG_DESCRIPTION_COMMAND, &command);
  }

  Bool Edited(BaseObject* op, Int32 id)
  {
    const DescID descid(id);
    DescriptionPostSetValue set;
    set.descid = &descid;
    return op->Message(MSG_DESCRIPTION_POSTSETPARAMETER, &set);
  }
};
} // namespace

TEST_F(CurveOperatorTest, StartsWithGlacier2AndTheSelectorOnIt)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  ASSERT_NE(Curve(op), nullptr);
  EXPECT_EQ(Data(op).GetType(CURVEOPERATOR_CURVE), CUSTOMDATATYPE_SPLINE);
  EXPECT_TRUE(SameCurve(op, SPLINEDATAPRESET::GLACIER_2));
  EXPECT_EQ(Curve(op)->GetKnot(0)->rightTangent, Vector(0.75, 0.0, 0.0));
  EXPECT_EQ(Data(op).GetInt32(CURVEOPERATOR_PRESET), 9);
}

TEST_F(CurveOperatorTest, InitReportsACurveThatCannotBeMadeOrFilled)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  struct Case
  {
    Int failAt;
    const char* line;
  };
  const Case cases[] = {
    {1, "Could not create new SplineData!"},
    {2, "Could not apply curve preset!: Could not insert a curve knot!"},
  };
  for (const Case& c : cases)
  {
    BaseContainer bc;
    Bool ok;
    {
      host::ScopedAllocationFailure fail(c.failAt);
      ok = OperatorData(op)->InitOperatorParameters(op, bc);
    }
    EXPECT_FALSE(ok) << c.line;
    EXPECT_EQ(host::Console().GetLast(), String(c.line));
  }
}

TEST_F(CurveOperatorTest, TheButtonAppliesTheSelectedPreset)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  EvaluationContext context = MakeContext(2, 10.0);
  const Grid2D<Float> input = HandGrid(3, 3, {1, 5, 2, 8, 3, 9, 4, 7, 6});   // the context's shape
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  data->SetRebuildFlag(true);
  ASSERT_TRUE(data->EvaluateOperator(input, op, doc, context).IsOk());
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN);

  Data(op).SetInt32(CURVEOPERATOR_PRESET, static_cast<Int32>(SPLINEDATAPRESET::PLATEAU));
  const Int dirty = op->GetDirty(DIRTYFLAGS::DATA);
  ASSERT_TRUE(PressApply(op));
  EXPECT_TRUE(SameCurve(op, SPLINEDATAPRESET::PLATEAU));
  // Applying the preset is an edit of the operator: its data count rises and it recomputes.
  EXPECT_GT(op->GetDirty(DIRTYFLAGS::DATA), dirty);
  EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  // The selector is left as it is.
  EXPECT_EQ(Data(op).GetInt32(CURVEOPERATOR_PRESET), 3);

  // 999 (edited by hand), a missing selector and values beyond the presets give the LINEAR curve.
  for (const Int32 value : {999, -1, 13})
  {
    ASSERT_TRUE(ApplySplineDataPreset(Data(op), CURVEOPERATOR_CURVE, SPLINEDATAPRESET::CANYON).IsOk());
    Data(op).SetInt32(CURVEOPERATOR_PRESET, value);
    ASSERT_TRUE(PressApply(op)) << value;
    EXPECT_TRUE(SameCurve(op, SPLINEDATAPRESET::LINEAR)) << value;
  }
  ASSERT_TRUE(ApplySplineDataPreset(Data(op), CURVEOPERATOR_CURVE, SPLINEDATAPRESET::CANYON).IsOk());
  Data(op).RemoveData(CURVEOPERATOR_PRESET);
  ASSERT_TRUE(PressApply(op));
  EXPECT_TRUE(SameCurve(op, SPLINEDATAPRESET::LINEAR));

  // Another button is not the operator's; a missing curve is printed and refused.
  DescriptionCommand other;
  other.id = DescID(TERRAINOPERATOR_EXPORT);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_COMMAND, &other));
  Data(op).RemoveData(CURVEOPERATOR_CURVE);
  DescriptionCommand apply;
  apply.id = DescID(CURVEOPERATOR_APPLY);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_COMMAND, &apply));
  EXPECT_EQ(host::Console().GetLast(), String("Could not apply curve preset!: Could not get SplineData!"));
}

TEST_F(CurveOperatorTest, EditingTheCurveMarksTheSelectorAsEdited)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  EXPECT_TRUE(Edited(op, CURVEOPERATOR_CURVE));
  EXPECT_EQ(Data(op).GetInt32(CURVEOPERATOR_PRESET), 999);
  // Setting the selector itself, or anything else, is not handled here.
  Data(op).SetInt32(CURVEOPERATOR_PRESET, 4);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_POSTSETPARAMETER, nullptr));
  const DescID selector(CURVEOPERATOR_PRESET);
  DescriptionPostSetValue set;
  set.descid = &selector;
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_POSTSETPARAMETER, &set));
  EXPECT_EQ(Data(op).GetInt32(CURVEOPERATOR_PRESET), 4);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_UPDATE, nullptr));
}

TEST_F(CurveOperatorTest, RemapsNormalisedHeightsThroughTheCurve)
{
  const Grid2D<Float> input = RampGrid(37, 23, -20.0, 130.0);
  const Float range = input.max - input.min;
  for (Int32 preset = 0; preset <= 12; ++preset)
  {
    BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
    ASSERT_TRUE(ApplySplineDataPreset(Data(op), CURVEOPERATOR_CURVE, static_cast<SPLINEDATAPRESET>(preset)).IsOk());
    ASSERT_TRUE(Compute(op, input).IsOk());
    const SplineData* curve = Curve(op);
    for (Int i = 0; i < input.cellCount; ++i)
    {
      const Float want = curve->Evaluate((input.cells[i] - input.min) * (1.0 / range)).y * range + input.min;
      ASSERT_TRUE(Same(Output(op).cells[i], want)) << preset << " cell " << i;
      // Every preset's curve stays within 0 .. 1, so the output stays within the input's range.
      ASSERT_GE(Output(op).cells[i], input.min - 1e-9);
      ASSERT_LE(Output(op).cells[i], input.max + 1e-9);
    }
  }
  // Hand values on the LINEAR curve: the input back, within rounding.
  BaseObject* linear = AddOperator(ID_OGX_CURVEOPERATOR);
  ASSERT_TRUE(ApplySplineDataPreset(Data(linear), CURVEOPERATOR_CURVE, SPLINEDATAPRESET::LINEAR).IsOk());
  ASSERT_TRUE(Compute(linear, HandGrid(3, 1, {10.0, 15.0, 20.0})).IsOk());
  EXPECT_EQ(Output(linear).cells[0], 10.0);
  EXPECT_NEAR(Output(linear).cells[1], 15.0, 1e-12);
  EXPECT_EQ(Output(linear).cells[2], 20.0);
}

// A flat input (range 0) comes back unchanged rather than as zeros: every cell is y(0) x 0 + min.
TEST_F(CurveOperatorTest, FlatInputComesBackUnchanged)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  ASSERT_TRUE(ApplySplineDataPreset(Data(op), CURVEOPERATOR_CURVE, SPLINEDATAPRESET::CRATERS).IsOk());
  ASSERT_TRUE(Compute(op, HandGrid(2, 2, {12.5, 12.5, 12.5, 12.5})).IsOk());
  EXPECT_EQ(Cells(Output(op)), (std::vector<Float>{12.5, 12.5, 12.5, 12.5}));
}

TEST_F(CurveOperatorTest, MissingCurveFails)
{
  BaseObject* op = AddOperator(ID_OGX_CURVEOPERATOR);
  Data(op).SetFloat(CURVEOPERATOR_CURVE, 1.0);
  Result<void> res = Compute(op, RampGrid(3, 3));
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(res.GetError().GetMessage(), String("Could not get SplineData!"));
}
