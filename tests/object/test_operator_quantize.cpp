#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
class QuantizeOperatorTest : public HeightFilterTest
{
protected:
  BaseObject* AddQuantize(Int32 levels)
  {
    BaseObject* op = AddOperator(ID_OGX_QUANTIZEOPERATOR);
    Data(op).SetInt32(QUANTIZEOPERATOR_LEVELS, levels);
    return op;
  }
};

// The formula written out, each inverse 0 where its value is 0.
Float Reference(Float h, Float min, Float max, Int32 n)
{
  const Float steps = n - 1.0;
  const Float invSteps = steps == 0.0 ? 0.0 : 1.0 / steps;
  const Float range = max - min;
  const Float invRange = range == 0.0 ? 0.0 : 1.0 / range;
  return std::floor((h - min) * invRange * steps + 0.5) * invSteps * range + min;
}
} // namespace

TEST_F(QuantizeOperatorTest, InitSetsEightLevels)
{
  BaseObject* op = AddOperator(ID_OGX_QUANTIZEOPERATOR);
  EXPECT_EQ(Data(op).GetType(10001), DA_LONG);
  EXPECT_EQ(Data(op).GetInt32(10001), 8);
}

// Eight levels over 0 .. 70: 0, 10, ..., 70 as the formula rounds them; halfway goes up.
TEST_F(QuantizeOperatorTest, EightLevelsOverZeroToSeventy)
{
  const Grid2D<Float> input = HandGrid(4, 3, {0.0, 14.0, 15.0, 45.0, 65.0, 70.0, 4.999, 5.0, 34.0, 35.0, 69.0, 25.0});
  BaseObject* op = AddQuantize(8);
  ASSERT_TRUE(Compute(op, input).IsOk());
  const Grid2D<Float>& out = Output(op);
  // By hand where the rounding is plain, and the formula's own values where it is not.
  EXPECT_EQ(out.cells[0], 0.0);
  EXPECT_EQ(out.cells[1], 10.0);
  EXPECT_EQ(out.cells[2], 20.0);
  EXPECT_EQ(out.cells[3], 49.99999999999999);
  EXPECT_EQ(out.cells[4], 60.0);
  EXPECT_EQ(out.cells[5], 70.0);
  EXPECT_EQ(out.cells[6], 0.0);
  EXPECT_EQ(out.cells[7], 10.0);
  for (Int i = 0; i < input.cellCount; ++i)
    EXPECT_TRUE(Same(out.cells[i], Reference(input.cells[i], 0.0, 70.0, 8))) << i;
}

TEST_F(QuantizeOperatorTest, FewLevelsFlatInputsAndNoRange)
{
  struct Case
  {
    const char* name;
    Int32 levels;
    Bool validRange;
    std::vector<Float> input, expected;
  };
  const std::vector<Case> cases = {
    {"two levels: min or max", 2, true, {-4, 1, 0.99, 6}, {-4, 6, -4, 6}},
    {"one level: min everywhere", 1, true, {-4, 1, 3, 6}, {-4, -4, -4, -4}},
    {"a flat input stays", 8, true, {3, 3, 3, 3}, {3, 3, 3, 3}},
    {"no valid range counts as flat at 0", 8, false, {3, -2, 5, 1}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddQuantize(c.levels);
    const Grid2D<Float> input = HandGrid(2, 2, {c.input[0], c.input[1], c.input[2], c.input[3]}, c.validRange);
    ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;
    EXPECT_EQ(Cells(Output(op)), c.expected) << c.name;
  }
}

// Any level count, and the default when it is missing, follow the formula bit for bit.
TEST_F(QuantizeOperatorTest, MatchesTheFormulaForAnyLevelCount)
{
  const Grid2D<Float> input = RampGrid(31, 17, -12.5, 88.25);
  for (const Int32 levels : {0, 3, 5, 8, 13, 100, -4})
  {
    BaseObject* op = AddQuantize(levels);
    ASSERT_TRUE(Compute(op, input).IsOk());
    for (Int i = 0; i < input.cellCount; ++i)
      ASSERT_TRUE(Same(Output(op).cells[i], Reference(input.cells[i], input.min, input.max, levels))) << levels;
  }
  BaseObject* op = AddOperator(ID_OGX_QUANTIZEOPERATOR);
  Data(op).RemoveData(QUANTIZEOPERATOR_LEVELS);
  ASSERT_TRUE(Compute(op, input).IsOk());
  for (Int i = 0; i < input.cellCount; ++i)
    ASSERT_TRUE(Same(Output(op).cells[i], Reference(input.cells[i], input.min, input.max, 8)));
}

// The floor the quantize loop uses is std::floor, bit for bit.
TEST(QuantizeFloor, EqualsTheLibraryFloor)
{
  constexpr Float two52 = 4503599627370496.0;
  constexpr Float inf = std::numeric_limits<Float>::infinity();
  std::vector<Float> values = {0.0,         -0.0,       0.5,         -0.5,        1.5,          -1.5,       2.5,
                               -2.5,        0.49999999999999994,     -0.49999999999999994,      1.0,        -1.0,
                               two52,       -two52,     two52 - 0.5, -two52 + 0.5, two52 + 1.0, -two52 - 1.0,
                               two52 * 2.0, 1e300,      -1e300,      inf,         -inf,         5e-324,     -5e-324,
                               std::numeric_limits<Float>::quiet_NaN()};
  std::mt19937_64 random(17);
  for (int i = 0; i < 200000; ++i)
  {
    const int e = static_cast<int>(random() % 120) - 60;
    values.push_back(std::ldexp(static_cast<Float>(random() >> 11) / 9007199254740992.0, e) * (random() & 1 ? 1 : -1));
    values.push_back(static_cast<Float>(static_cast<int>(random() % 2001) - 1000) * 0.5);
  }
  for (const Float v : values)
    ASSERT_TRUE(Same(FloorWithoutBranches(v), std::floor(v))) << v;
}
