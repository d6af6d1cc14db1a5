#include <gtest/gtest.h>

#include "host/scene/description.h"
#include "host/scene/scenefile.h"
#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
class AdjustmentOperatorTest : public HeightFilterTest
{
protected:
  BaseObject* AddAdjustment(Float scale, Float offset, Bool relative)
  {
    BaseObject* op = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
    Data(op).SetFloat(ADJUSTMENTOPERATOR_SCALE, scale);
    Data(op).SetFloat(relative ? ADJUSTMENTOPERATOR_OFFSET_RELATIVE : ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, offset);
    // The offset not in use carries a value that would show if it were read.
    Data(op).SetFloat(relative ? ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE : ADJUSTMENTOPERATOR_OFFSET_RELATIVE, 1000.0);
    Data(op).SetBool(ADJUSTMENTOPERATOR_RELATIVE, relative);
    return op;
  }
};
} // namespace

TEST_F(AdjustmentOperatorTest, InitWritesTheDefaultsWhichLeaveHeightsAlone)
{
  BaseObject* op = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
  EXPECT_EQ(Data(op).GetFloat(10001), 1.0);
  EXPECT_EQ(Data(op).GetType(10002), DA_REAL);
  EXPECT_EQ(Data(op).GetFloat(10002, 7.0), 0.0);
  EXPECT_EQ(Data(op).GetFloat(10003, 7.0), 0.0);
  EXPECT_EQ(Data(op).GetType(10004), DA_LONG);
  EXPECT_FALSE(Data(op).GetBool(10004, true));

  const Grid2D<Float> input = HandGrid(3, 2, {-5.0, 0.0, 2.5, 1e-300, 7.0, -0.0});
  ASSERT_TRUE(Compute(op, input).IsOk());
  EXPECT_EQ(Cells(Output(op)), Cells(input));
}

TEST_F(AdjustmentOperatorTest, ScaleAndOffsetAbsoluteAndRelative)
{
  struct Case
  {
    const char* name;
    Float scale, offset;
    Bool relative;
    Bool validRange;
    std::vector<Float> input, expected;
  };
  const std::vector<Case> cases = {
    {"relative 0.5 over 100 .. 300 raises by 100", 1.0, 0.5, true, true, {100, 200, 300, 150}, {200, 300, 400, 250}},
    {"absolute -10, scale 2", 2.0, -10.0, false, true, {5, 0, 10, -2.5}, {0, -10, 10, -15}},
    {"relative with scale", 0.5, -1.0, true, true, {10, 20, 30, 40}, {-25, -20, -15, -10}},
    {"absolute ignores the range", 1.0, 3.0, false, false, {1, 2, 3, 4}, {4, 5, 6, 7}},
    {"relative without a valid range adds nothing", 3.0, 0.5, true, false, {1, 2, 3, 4}, {3, 6, 9, 12}},
    {"scale 0", 0.0, 2.0, false, true, {1, -2, 3, 4}, {2, 2, 2, 2}},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddAdjustment(c.scale, c.offset, c.relative);
    Grid2D<Float> input = HandGrid(2, 2, {c.input[0], c.input[1], c.input[2], c.input[3]}, c.validRange);
    ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;
    EXPECT_EQ(Cells(Output(op)), c.expected) << c.name;
  }
}

TEST_F(AdjustmentOperatorTest, DescriptionShowsTheOffsetInUse)
{
  BaseObject* op = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
  for (const Bool relative : {false, true, false})
  {
    Data(op).SetBool(ADJUSTMENTOPERATOR_RELATIVE, relative);
    Description* description = Description::Alloc();
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(description, flags));
    const Description* d = description;
    EXPECT_EQ(d->GetParameterContainer(ParameterId(10002))->GetBool(DESC_HIDE), !relative);
    EXPECT_EQ(d->GetParameterContainer(ParameterId(10003))->GetBool(DESC_HIDE), relative);
    Description::Free(description);
  }
}

// Scenes of disk level 0 knew only the relative offset: such an operator loads with it switched on.
TEST_F(AdjustmentOperatorTest, LevelZeroScenesLoadWithTheRelativeOffset)
{
  for (const Int32 level : {0, 1, 2})
  {
    const String text = R"({"format": "ogx-scene", "version": 1, "objects": [{"type": 1054574, "level": )" +
                        String::IntToString(level) +
                        R"(, "params": {"10002": {"Float": 0.5}, "10004": {"Bool": false}}}]})";
    Result<BaseDocument*> loaded = host::LoadDocumentFromText(text, "old.json");
    ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage();
    BaseObject* op = loaded.GetValue()->GetFirstObject();
    EXPECT_EQ(op->GetDataInstanceRef().GetBool(ADJUSTMENTOPERATOR_RELATIVE), level == 0) << level;
    EXPECT_EQ(op->GetDataInstanceRef().GetFloat(ADJUSTMENTOPERATOR_OFFSET_RELATIVE), 0.5);
    if (level == 0)
    {
      const Grid2D<Float> input = HandGrid(2, 1, {100.0, 300.0});
      EvaluationContext context = MakeContext(1, 10.0);
      ASSERT_TRUE(OperatorData(op)->ComputeOperator(input, op, loaded.GetValue(), context).IsOk());
      EXPECT_EQ(Cells(OperatorData(op)->GetOutputGrid()), (std::vector<Float>{200.0, 400.0}));
    }
    BaseDocument::Free(loaded.GetValue());
  }
}
