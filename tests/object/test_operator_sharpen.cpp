#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/thread.h"
#include "host/scene/description.h"
#include "orogenix/convolution.h"
#include "support/filter_operator_fixture.h"

using namespace ogx_test;

namespace
{
class SharpenOperatorTest : public FilterOperatorTest
{
protected:
  BaseObject* AddSharpen(Int32 method, Int32 size, Float strength = 0.0)
  {
    BaseObject* op = AddOperator(ID_OGX_SHARPENOPERATOR);
    if (op)
    {
      BaseContainer& bc = op->GetDataInstanceRef();
      bc.SetInt32(SHARPENOPERATOR_METHOD, method);
      bc.SetInt32(SHARPENOPERATOR_SIZE, size);
      bc.SetFloat(SHARPENOPERATOR_STRENGTH, strength);
    }
    return op;
  }
};

// The ramp a size and strength give, and its weights, written out by hand.
struct RampCase
{
  Int32 size;
  Float strength;
  Float centre;
  std::vector<Float> weights;
};
const RampCase RAMPS[] = {
  {3, 0.0, 5.0, {5.0, -1.0}},
  {3, 1.0, 3.0, {3.0, -1.0}},
  // A large strength: the centre is held at 1.5.
  {3, 10.0, 1.5, {1.5, -1.0}},
  {5, 0.0, 5.0, {5.0, 2.0, -1.0}},
  {9, 0.0, 3.0, {3.0, 2.0, 1.0, 0.0, -1.0}},
  // q = 1, p = 3: (3 - 1.5 - 3) x 0.5 + 3.
  {9, 0.5, 2.25, {2.25, 1.4375, 0.625, -0.1875, -1.0}},
  // (2 - 3) / 6 truncates to 0, not -1, so size 2 keeps the centre 5 (a floor would give 7).
  {2, 0.0, 5.0, {5.0, -1.0}},
  {8, 0.0, 5.0, {5.0, 3.5, 2.0, 0.5, -1.0}},
  // q = 2, p = 1: below the floor at strength 0.
  {15,
   0.0,
   1.5,
   {1.5, 1.5 + (1.0 / 7.0) * -2.5, 1.5 + (2.0 / 7.0) * -2.5, 1.5 + (3.0 / 7.0) * -2.5, 1.5 + (4.0 / 7.0) * -2.5,
    1.5 + (5.0 / 7.0) * -2.5, 1.5 + (6.0 / 7.0) * -2.5, -1.0}},
  // One weight: the identity.
  {1, 0.0, 5.0, {1.0}},
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// Registration, description, parameters

TEST_F(SharpenOperatorTest, RegistersAsAFilterWithItsIconAndDescription)
{
  ExpectRegisteredFilter(ID_OGX_SHARPENOPERATOR, "Sharpen", "#$35Sharpen", "osharpenoperator", 1, 576, 64);
  ASSERT_EQ(g_operatorRegistry.GetCount(), 2);
  EXPECT_EQ(g_operatorRegistry[1].id, ID_OGX_SHARPENOPERATOR);

  ExpectDescribed(AddSharpen(0, 3), {SHARPENOPERATOR_METHOD, SHARPENOPERATOR_SIZE, SHARPENOPERATOR_STRENGTH},
                  SHARPENOPERATOR_METHOD);
}

TEST_F(SharpenOperatorTest, InitWritesMethodSizeStrength)
{
  BaseObject* op = AddOperator(ID_OGX_SHARPENOPERATOR);
  const BaseContainer& bc = op->GetDataInstanceRef();
  EXPECT_EQ(bc.GetInt32(SHARPENOPERATOR_METHOD, -1), 0);
  EXPECT_EQ(bc.GetInt32(SHARPENOPERATOR_SIZE, -1), 3);
  EXPECT_EQ(bc.GetType(SHARPENOPERATOR_STRENGTH), DA_REAL);
  EXPECT_EQ(bc.GetFloat(SHARPENOPERATOR_STRENGTH, -1.0), 0.0);
  EXPECT_EQ(OwnIds(bc, {10001, 10002, 10003}), (std::vector<Int32>{10001, 10002, 10003}));
  EXPECT_EQ(static_cast<Int32>(OperatorData(op)->GetOperatorFlags(op)), 1);
}

TEST_F(SharpenOperatorTest, EnablingFollowsTheMethod)
{
  BaseObject* op = AddSharpen(0, 3);
  BaseContainer& bc = op->GetDataInstanceRef();
  for (const Int32 method : {-1, 0, 1, 2, 3, 4})
  {
    bc.SetInt32(SHARPENOPERATOR_METHOD, method);
    EXPECT_EQ(op->GetDEnabling(DescID(SHARPENOPERATOR_SIZE), GeData()), method == 0 || method == 3) << method;
    EXPECT_EQ(op->GetDEnabling(DescID(SHARPENOPERATOR_STRENGTH), GeData()), method == 0) << method;
    EXPECT_TRUE(op->GetDEnabling(DescID(SHARPENOPERATOR_METHOD), GeData())) << method;
  }
}

TEST_F(SharpenOperatorTest, DirtyIdsAreMethodSizeStrength)
{
  BaseObject* op = AddSharpen(0, 3);
  BaseArray<Int32> ids;
  ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, op->GetDataInstanceRef()));
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), (std::vector<Int32>{10001, 10002, 10003}));
}

// ---------------------------------------------------------------------------------------------------
// The separable sharpen

TEST(SharpenRamp, CentreAndWeightsForSizeAndStrength)
{
  for (const RampCase& c : RAMPS)
  {
    Float ends[2];
    SharpenRampEnds(c.size, c.strength, ends);
    EXPECT_EQ(ends[0], c.centre) << c.size << " " << c.strength;
    EXPECT_EQ(ends[1], -1.0);
    VeridoVivuzar::SharpenKernel k;
    ASSERT_TRUE(OGX::Convolution::InitConvolutionKernel(k, static_cast<UInt32>(c.size), ends).IsOk());
    ASSERT_EQ(k.weights.GetCount(), static_cast<Int>(c.weights.size())) << c.size;
    for (std::size_t i = 0; i < c.weights.size(); ++i)
      EXPECT_DOUBLE_EQ(k.weights[static_cast<Int>(i)], c.weights[i]) << c.size << " " << c.strength << " " << i;
  }
  // A NaN strength falls to the floor too.
  Float ends[2];
  SharpenRampEnds(3, std::nan(""), ends);
  EXPECT_EQ(ends[0], 1.5);
}

TEST_F(SharpenOperatorTest, SeparableMatchesTheClampedReferenceAndKeepsTheRange)
{
  for (const RampCase& c : RAMPS)
    for (const auto& [w, h] : {std::pair<Int, Int>{1, 1}, std::pair<Int, Int>{1, 8}, std::pair<Int, Int>{19, 13}})
    {
      Shape(w, h, static_cast<unsigned>(c.size));
      BaseObject* op = AddSharpen(SHARPENMETHOD_SEPARABLE, c.size, c.strength);
      ASSERT_TRUE(Compute(op).IsOk());
      Float sum = c.weights[0];
      Float outer = 0.0;
      for (std::size_t i = 1; i < c.weights.size(); ++i)
        outer += c.weights[i];
      sum += 2.0 * outer;
      const std::vector<Float> want =
        ReferenceSeparable(Cells(input), w, h, Taps(c.size / 2, c.weights), sum == 0.0 ? 0.0 : 1.0 / sum);
      const std::string what = "size " + std::to_string(c.size) + " strength " + std::to_string(c.strength) + " on " +
                               std::to_string(w) + " x " + std::to_string(h);
      if (c.size == 1)
        EXPECT_EQ(Cells(Output(op)), Cells(input)) << what;
      else
        EXPECT_EQ(FirstDifference(Cells(Output(op)), want), -1) << what;
      ExpectInputShape(op, true, what);
    }
}

TEST_F(SharpenOperatorTest, AConstantSurvivesTheSeparablePasses)
{
  // Size 3 at strength 0 is (-1, 5, -1) / 3 per pass; a large strength is (-1, 1.5, -1) / -0.5.
  Shape(9, 7);
  for (Float& v : input.cells)
    v = 6.0;
  for (const Float strength : {0.0, 10.0})
  {
    BaseObject* op = AddSharpen(SHARPENMETHOD_SEPARABLE, 3, strength);
    ASSERT_TRUE(Compute(op).IsOk());
    for (const Float v : Output(op).cells)
      ASSERT_NEAR(v, 6.0, 1e-12) << strength;
  }
}

TEST_F(SharpenOperatorTest, TwoDimensionalKernelsMatchTheMirroredReference)
{
  using namespace OGX::Convolution;
  Shape(31, 22);
  PresetKernels::Sharpen3x3 sharpen;
  PresetKernels::UnsharpMask5x5 unsharp5;
  PresetKernels::UnsharpMask unsharp2, unsharp4;
  ASSERT_TRUE(sharpen.InitKernel().IsOk());
  ASSERT_TRUE(unsharp5.InitKernel().IsOk());
  ASSERT_TRUE(unsharp2.InitKernel(2).IsOk());
  ASSERT_TRUE(unsharp4.InitKernel(4).IsOk());
  struct Case
  {
    Int32 method, size;
    const BaseKernel* kernel;
  };
  // Method 3 takes the size as the Gaussian's radius: size 2 is a 5 x 5 kernel. Methods 1 and 2 ignore
  // it, 0 included.
  for (const Case& c : {Case{1, 0, &sharpen}, Case{1, 9, &sharpen}, Case{2, -5, &unsharp5}, Case{3, 2, &unsharp2},
                        Case{3, 4, &unsharp4}})
  {
    BaseObject* op = AddSharpen(c.method, c.size);
    ASSERT_TRUE(Compute(op).IsOk());
    const std::string what = std::to_string(c.method) + " size " + std::to_string(c.size);
    EXPECT_EQ(FirstDifference(Cells(Output(op)), MirroredReference(*c.kernel)), -1) << what;
    ExpectInputShape(op, false, what);
  }
}

TEST_F(SharpenOperatorTest, OtherMethodsCopyTheInput)
{
  Shape(8, 6);
  for (const Int32 method : {4, -1, 100})
  {
    BaseObject* op = AddSharpen(method, 3, 2.0);
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_EQ(Cells(Output(op)), Cells(input)) << method;
    ExpectInputShape(op, true, std::to_string(method));
  }
}

TEST_F(SharpenOperatorTest, SizesOfZeroAndBelowAreRefusedAndLeaveTheInput)
{
  Shape(8, 6);
  for (const Int32 method : {SHARPENMETHOD_SEPARABLE, SHARPENMETHOD_UNSHARPMASK})
    for (const Int32 size : {0, -1, -7, std::numeric_limits<Int32>::min()})
    {
      BaseObject* op = AddSharpen(method, size);
      Result<void> res = Compute(op);
      ASSERT_TRUE(res.IsError()) << method << " " << size;
      EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
      EXPECT_EQ(res.GetError().GetMessage(), String("Can't initialize kernel with size 0!"));
      EXPECT_EQ(Cells(Output(op)), Cells(input)) << method << " " << size;
    }
  // Sizes too large for memory are refused before anything is allocated.
  for (const Int32 method : {SHARPENMETHOD_SEPARABLE, SHARPENMETHOD_UNSHARPMASK})
  {
    BaseObject* op = AddSharpen(method, std::numeric_limits<Int32>::max());
    Result<void> res = Compute(op);
    ASSERT_TRUE(res.IsError()) << method;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << method;
  }
}

TEST_F(SharpenOperatorTest, AnEmptyTerrainFailsTheSeparableSharpen)
{
  ASSERT_TRUE(input.Init(0, 0, 10.0, 10.0).IsOk());
  BaseObject* op = AddSharpen(SHARPENMETHOD_SEPARABLE, 3);
  Result<void> res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Can't sharpen a grid with size 0!"));
  for (const Int32 method : {1, 2, 3, 4})
    EXPECT_TRUE(Compute(AddSharpen(method, 2)).IsOk()) << method;
}

TEST_F(SharpenOperatorTest, OneThreadAndAllThreadsAreBitIdentical)
{
  Shape(47, 777, 4);
  for (const Int32 method : {0, 2, 3})
    ExpectOneThreadLikeAllThreads(AddSharpen(method, 5, 0.3), std::to_string(method));
}

TEST_F(SharpenOperatorTest, ABreakEndsThePassItHits)
{
  Shape(5, 30);
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;
  BaseObject* op = AddSharpen(SHARPENMETHOD_SEPARABLE, 3);
  const Int vertical = TestsOfPass(30);
  for (const auto& [breakAt, message] :
       {std::pair<Int, const char*>{1, "Vertical Sharpen pass cancelled!"},
        std::pair<Int, const char*>{vertical + 1, "Horizontal Sharpen pass cancelled!"}})
  {
    thread.BreakAfterTests(breakAt);
    Result<void> res = Compute(op);
    thread.BreakAfterTests(0);
    ASSERT_TRUE(res.IsError()) << message;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(res.GetError().GetMessage(), String(message));
    EXPECT_TRUE(std::string(res.GetError().GetLocation().file_name()).ends_with("operator_sharpen.cpp"));
  }
  // The two-dimensional methods are never cancelled.
  thread.SetBreak(true);
  thread.ResetTestCount();
  EXPECT_TRUE(Compute(AddSharpen(SHARPENMETHOD_UNSHARPMASK, 1)).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 0);
}
