#include <gtest/gtest.h>

#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
class MirrorOperatorTest : public HeightFilterTest
{
protected:
  BaseObject* AddMirror(Bool x, Bool invert, Bool z)
  {
    BaseObject* op = AddOperator(ID_OGX_MIRROROPERATOR);
    Data(op).SetBool(MIRROROPERATOR_MIRROR_X, x);
    Data(op).SetBool(MIRROROPERATOR_INVERT, invert);
    Data(op).SetBool(MIRROROPERATOR_MIRROR_Z, z);
    return op;
  }
};

// The cell (x, y) of the output from its definition: which source cell lands there, inverted as written.
Float ReferenceCell(const Grid2D<Float>& in, Int x, Int y, Bool mirrorX, Bool invert, Bool mirrorZ)
{
  const Int sx = mirrorX ? in.width - 1 - x : x;
  const Int sy = mirrorZ ? in.height - 1 - y : y;
  Float h = in.cells[sy * in.width + sx];
  if (invert)
  {
    if (!in.minMaxValid)
      return 0.0;
    const Float t = in.max - in.min == 0.0 ? 0.0 : (h - in.min) / (in.max - in.min);
    h = (in.min - in.max) * t + in.max;
  }
  return h;
}
} // namespace

TEST_F(MirrorOperatorTest, InitWritesThreeSwitchesOff)
{
  BaseObject* op = AddOperator(ID_OGX_MIRROROPERATOR);
  for (const Int32 id : {10001, 10002, 10003})
  {
    EXPECT_EQ(Data(op).GetType(id), DA_LONG) << id;
    EXPECT_FALSE(Data(op).GetBool(id, true)) << id;
  }
}

TEST_F(MirrorOperatorTest, HandComputedFlipsAndInversion)
{
  // 3 columns, 2 rows; heights 1 .. 6, so the inversion maps h to 7 - h.
  const Grid2D<Float> input = HandGrid(3, 2, {1, 2, 3, 4, 5, 6});
  struct Case
  {
    const char* name;
    Bool x, invert, z;
    std::vector<Float> expected;
  };
  const std::vector<Case> cases = {
    {"all off copies", false, false, false, {1, 2, 3, 4, 5, 6}},
    {"along X reverses the columns", true, false, false, {3, 2, 1, 6, 5, 4}},
    {"along Z reverses the rows", false, false, true, {4, 5, 6, 1, 2, 3}},
    {"X and Z turn by 180 degrees", true, false, true, {6, 5, 4, 3, 2, 1}},
    {"inverted", false, true, false, {6, 5, 4, 3, 2, 1}},
    {"inverted along X", true, true, false, {4, 5, 6, 1, 2, 3}},
    {"everything", true, true, true, {1, 2, 3, 4, 5, 6}},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddMirror(c.x, c.invert, c.z);
    ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;
    EXPECT_EQ(Cells(Output(op)), c.expected) << c.name;
    EXPECT_FALSE(Output(op).minMaxValid);
  }
}

// Every combination on a larger grid that is not square, against the definition, with the inversion
// computed as written: (min - max) t + max, which is not always max + min - h in the last bit.
TEST_F(MirrorOperatorTest, EveryCombinationMatchesTheDefinition)
{
  const Grid2D<Float> input = RampGrid(13, 7, -3.7, 41.3);
  Int differsFromSum = 0;
  for (Int i = 0; i < input.cellCount; ++i)
    differsFromSum += ReferenceCell(input, i % 13, i / 13, false, true, false) != input.max + input.min - input.cells[i];
  EXPECT_GT(differsFromSum, 0) << "the grid should show the difference between the two forms";

  for (const Bool x : {false, true})
    for (const Bool invert : {false, true})
      for (const Bool z : {false, true})
      {
        BaseObject* op = AddMirror(x, invert, z);
        ASSERT_TRUE(Compute(op, input).IsOk());
        for (Int yy = 0; yy < 7; ++yy)
          for (Int xx = 0; xx < 13; ++xx)
            ASSERT_TRUE(Same(Output(op).cells[yy * 13 + xx], ReferenceCell(input, xx, yy, x, invert, z)))
              << x << invert << z << " at " << xx << "," << yy;
      }
}

TEST_F(MirrorOperatorTest, InvertingFlatOrRangelessInputs)
{
  // Flat: every height stays at max.
  BaseObject* op = AddMirror(false, true, false);
  ASSERT_TRUE(Compute(op, HandGrid(2, 2, {4, 4, 4, 4})).IsOk());
  EXPECT_EQ(Cells(Output(op)), (std::vector<Float>{4, 4, 4, 4}));
  // Without a valid range the inversion gives 0; the flips alone still copy.
  ASSERT_TRUE(Compute(op, HandGrid(2, 2, {1, 2, 3, 4}, false)).IsOk());
  EXPECT_EQ(Cells(Output(op)), (std::vector<Float>{0, 0, 0, 0}));
  BaseObject* flip = AddMirror(true, false, false);
  ASSERT_TRUE(Compute(flip, HandGrid(2, 2, {1, 2, 3, 4}, false)).IsOk());
  EXPECT_EQ(Cells(Output(flip)), (std::vector<Float>{2, 1, 4, 3}));
}
