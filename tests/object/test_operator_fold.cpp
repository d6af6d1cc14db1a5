#include <gtest/gtest.h>

#include <cmath>

#include "host/noise/noise.h"
#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
class FoldOperatorTest : public HeightFilterTest
{
protected:
  BaseObject* AddFold(Int32 mode, Float level, Float amount = 0.0, Float scale = 1.0, Float offset = 0.0)
  {
    BaseObject* op = AddOperator(ID_OGX_FOLDOPERATOR);
    Data(op).SetInt32(FOLDOPERATOR_MODE, mode);
    Data(op).SetFloat(FOLDOPERATOR_LEVEL, level);
    Data(op).SetFloat(FOLDOPERATOR_NOISE_AMOUNT, amount);
    Data(op).SetFloat(FOLDOPERATOR_NOISE_SCALE, scale);
    Data(op).SetFloat(FOLDOPERATOR_NOISE_OFFSET, offset);
    return op;
  }
};

// The fold of cell i from its definition, the noise sampled at the cell's place in the terrain plane.
Float ReferenceCell(const Grid2D<Float>& in, Int i, Int32 mode, Float level, Float amount, Float scale, Float offset)
{
  Float h = in.cells[i];
  Float l = level;
  if (amount > 0.0)
  {
    const Float s = scale * 100.0 == 0.0 ? 0.0 : 1.0 / (scale * 100.0);
    const Float fx = in.width == 1 ? 0.0 : static_cast<Float>(i % in.width) / static_cast<Float>(in.width - 1);
    const Float fz = in.height == 1 ? 0.0 : static_cast<Float>(i / in.width) / static_cast<Float>(in.height - 1);
    const Float x = fx * in.sizeX - in.sizeX * 0.5;
    const Float z = in.sizeY * 0.5 - fz * in.sizeY;
    l = level + HostNoise3D(Vector(x * s, offset * s, z * s)) * amount;
  }
  if (mode == 0 && h > l)
    h = l - (h - l);
  else if (mode == 1 && h < l)
    h = l + (l - h);
  return h;
}
} // namespace

TEST_F(FoldOperatorTest, InitWritesTheDefaultsAndLeaves10003Unused)
{
  BaseObject* op = AddOperator(ID_OGX_FOLDOPERATOR);
  EXPECT_EQ(Data(op).GetType(10001), DA_LONG);
  EXPECT_EQ(Data(op).GetInt32(10001, 9), 0);
  EXPECT_EQ(Data(op).GetFloat(10002), 25.0);
  EXPECT_FALSE(Data(op).Contains(10003));
  EXPECT_EQ(Data(op).GetFloat(10004, 9.0), 0.0);
  EXPECT_EQ(Data(op).GetFloat(10005), 1.0);
  EXPECT_EQ(Data(op).GetFloat(10006, 9.0), 0.0);
}

TEST_F(FoldOperatorTest, FoldsAboutAStraightLevel)
{
  const Grid2D<Float> input = HandGrid(3, 2, {30, 25, 10, 40, -5, 25.5});
  struct Case
  {
    const char* name;
    Int32 mode;
    std::vector<Float> expected;
  };
  const std::vector<Case> cases = {
    {"mode 0 folds heights above 25 down", 0, {20, 25, 10, 10, -5, 24.5}},
    {"mode 1 folds heights below 25 up", 1, {30, 25, 40, 40, 55, 25.5}},
    {"mode 2 copies", 2, {30, 25, 10, 40, -5, 25.5}},
    {"mode -1 copies", -1, {30, 25, 10, 40, -5, 25.5}},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddFold(c.mode, 25.0);
    ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;
    EXPECT_EQ(Cells(Output(op)), c.expected) << c.name;
  }
}

// No noise amount, or a negative one: the same straight fold everywhere, and the noise is never asked.
TEST_F(FoldOperatorTest, WithoutNoiseTheLevelIsTheSameEverywhere)
{
  const Grid2D<Float> input = RampGrid(40, 30, 0.0, 50.0);
  for (const Float amount : {0.0, -3.0})
  {
    BaseObject* op = AddFold(0, 20.0, amount, 0.5, 7.0);
    host::ScopedHostNoiseCounter counter;
    ASSERT_TRUE(Compute(op, input).IsOk());
    EXPECT_EQ(counter.GetCount(), 0) << amount;
    for (Int i = 0; i < input.cellCount; ++i)
      ASSERT_EQ(Output(op).cells[i], ReferenceCell(input, i, 0, 20.0, 0.0, 1.0, 0.0)) << i;
  }
}

TEST_F(FoldOperatorTest, NoiseDisplacesTheLevelPerCell)
{
  struct Case
  {
    Int width, height;
    Int32 mode;
    Float amount, scale, offset;
  };
  const Case cases[] = {
    {23, 17, 0, 15.0, 0.3, 0.0}, {23, 17, 1, 40.0, 0.05, 12.0}, {23, 17, 0, 5.0, 0.0, 3.0},
    // One column or one row: those cells sit at the start of the axis.
    {1, 9, 0, 30.0, 0.2, 0.0},   {9, 1, 1, 30.0, 0.2, 0.0},     {1, 1, 0, 30.0, 0.2, 0.0},
  };
  for (const Case& c : cases)
  {
    const Grid2D<Float> input = RampGrid(c.width, c.height, 0.0, 60.0);
    BaseObject* op = AddFold(c.mode, 30.0, c.amount, c.scale, c.offset);
    host::ScopedHostNoiseCounter counter;
    ASSERT_TRUE(Compute(op, input).IsOk());
    EXPECT_EQ(counter.GetCount(), input.cellCount);
    Int folded = 0;
    for (Int i = 0; i < input.cellCount; ++i)
    {
      const Float want = ReferenceCell(input, i, c.mode, 30.0, c.amount, c.scale, c.offset);
      ASSERT_TRUE(std::isfinite(Output(op).cells[i]));
      ASSERT_TRUE(Same(Output(op).cells[i], want)) << c.width << "x" << c.height << " cell " << i;
      folded += Output(op).cells[i] != input.cells[i];
    }
    if (input.cellCount > 100)
    {
      EXPECT_GT(folded, 0);
    }
  }
}
