#include <gtest/gtest.h>

#include <limits>

#include "host/scene/messages.h"
#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
constexpr Float NaN = std::numeric_limits<Float>::quiet_NaN();

class ClampOperatorTest : public HeightFilterTest
{
protected:
  BaseObject* AddClamp(Float low, Float high, Bool clamp)
  {
    BaseObject* op = AddOperator(ID_OGX_CLAMPOPERATOR);
    Data(op).SetFloat(CLAMPOPERATOR_LOW, low);
    Data(op).SetFloat(CLAMPOPERATOR_HIGH, high);
    Data(op).SetBool(CLAMPOPERATOR_CLAMP, clamp);
    return op;
  }

  // What the interface sends after the user set a parameter.
  Bool Edited(BaseObject* op, Int32 id)
  {
    const DescID descid(id);
    DescriptionPostSetValue set;
    set.descid = &descid;
    return op->Message(MSG_DESCRIPTION_POSTSETPARAMETER, &set);
  }
};

struct Case
{
  const char* name;
  Float low, high;
  Bool clamp;
  std::vector<Float> input, expected;
};

void ExpectCells(const Grid2D<Float>& out, const std::vector<Float>& expected, const char* name)
{
  ASSERT_EQ(out.cellCount, static_cast<Int>(expected.size())) << name;
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_TRUE(Same(out.cells[static_cast<Int>(i)], expected[i]))
      << name << " cell " << i << ": " << out.cells[static_cast<Int>(i)] << " != " << expected[i];
}
} // namespace

TEST_F(ClampOperatorTest, InitWritesTheDefaultsInOrder)
{
  BaseObject* op = AddOperator(ID_OGX_CLAMPOPERATOR);
  EXPECT_EQ(Data(op).GetFloat(10001, 9.0), 0.0);
  EXPECT_EQ(Data(op).GetFloat(10002), 50.0);
  EXPECT_FALSE(Data(op).GetBool(10003, true));
  const Int32 first = Data(op).FindIndex(10001);
  EXPECT_EQ(Data(op).FindIndex(10002), first + 1);
  EXPECT_EQ(Data(op).FindIndex(10003), first + 2);
}

TEST_F(ClampOperatorTest, RescalesOrCutsOntoTheBand)
{
  const std::vector<Case> cases = {
    {"rescale 10 .. 30 onto 0 .. 50", 0.0, 50.0, false, {10, 20, 30, 15}, {0, 25, 50, 12.5}},
    {"rescale onto a shifted band", -10.0, 10.0, false, {0, 100, 25, 50}, {-10, 10, -5, 0}},
    {"rescale a flat input gives low", 3.0, 8.0, false, {7, 7, 7, 7}, {3, 3, 3, 3}},
    {"low above high inverts the terrain", 40.0, 20.0, false, {0, 10, 5, 2.5}, {40, 20, 30, 35}},
    {"cut at the band", 0.0, 50.0, true, {-10, 25, 60, 50}, {0, 25, 50, 50}},
    {"cut a flat input limits it to the band", 0.0, 5.0, true, {7, 7, 7, 7}, {5, 5, 5, 5}},
    {"cut with low above high gives high", 40.0, 20.0, true, {0, 30, 50, -7}, {20, 20, 20, 20}},
    {"cut keeps a NaN height", 0.0, 10.0, true, {NaN, 5, -1, 11}, {NaN, 5, 0, 10}},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddClamp(c.low, c.high, c.clamp);
    const Grid2D<Float> input = HandGrid(2, 2, {c.input[0], c.input[1], c.input[2], c.input[3]});
    ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;
    ExpectCells(Output(op), c.expected, c.name);
  }
}

// A computation that finds a bound missing uses low 0 and high 100 (not the 50 of a new operator).
TEST_F(ClampOperatorTest, MissingBoundsReadAsZeroAndAHundred)
{
  BaseObject* op = AddOperator(ID_OGX_CLAMPOPERATOR);
  Data(op).RemoveData(CLAMPOPERATOR_LOW);
  Data(op).RemoveData(CLAMPOPERATOR_HIGH);
  Data(op).RemoveData(CLAMPOPERATOR_CLAMP);
  const Grid2D<Float> input = HandGrid(3, 1, {2.0, 4.0, 6.0});
  ASSERT_TRUE(Compute(op, input).IsOk());
  ExpectCells(Output(op), {0.0, 50.0, 100.0}, "missing bounds");
}

TEST_F(ClampOperatorTest, EditingABoundPullsItBackToTheOther)
{
  struct Edit
  {
    const char* name;
    Float low, high;
    Int32 edited;
    Float wantLow, wantHigh;
  };
  const Edit edits[] = {
    {"low set above high comes down to high", 60.0, 50.0, CLAMPOPERATOR_LOW, 50.0, 50.0},
    {"high set below low comes up to low", 20.0, 10.0, CLAMPOPERATOR_HIGH, 20.0, 20.0},
    {"an ordered band stays", 10.0, 20.0, CLAMPOPERATOR_LOW, 10.0, 20.0},
    {"equal bounds stay", 5.0, 5.0, CLAMPOPERATOR_HIGH, 5.0, 5.0},
    {"another parameter changes nothing", 60.0, 50.0, CLAMPOPERATOR_CLAMP, 60.0, 50.0},
  };
  for (const Edit& e : edits)
  {
    BaseObject* op = AddClamp(e.low, e.high, false);
    EXPECT_TRUE(Edited(op, e.edited)) << e.name;
    EXPECT_EQ(Data(op).GetFloat(CLAMPOPERATOR_LOW), e.wantLow) << e.name;
    EXPECT_EQ(Data(op).GetFloat(CLAMPOPERATOR_HIGH), e.wantHigh) << e.name;
  }
  // The handler reads a missing bound as 0: a missing high with low 5 pulls low down to 0.
  BaseObject* op = AddClamp(5.0, 0.0, false);
  Data(op).RemoveData(CLAMPOPERATOR_HIGH);
  EXPECT_TRUE(Edited(op, CLAMPOPERATOR_LOW));
  EXPECT_EQ(Data(op).GetFloat(CLAMPOPERATOR_LOW), 0.0);

  // Only message 19 is the operator's.
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_UPDATE, nullptr));
  DescriptionCommand command;
  command.id = DescID(CLAMPOPERATOR_LOW);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_COMMAND, &command));
}
