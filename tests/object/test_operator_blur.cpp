#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/thread.h"
#include "host/scene/description.h"
#include "host/scene/hyperfile.h"
#include "host/scene/scenefile.h"
#include "orogenix/convolution.h"
#include "support/filter_operator_fixture.h"

using namespace ogx_test;

namespace
{
class BlurOperatorTest : public FilterOperatorTest
{
protected:
  BaseObject* AddBlur(Int32 method, Int32 radius)
  {
    BaseObject* op = AddOperator(ID_OGX_BLUROPERATOR);
    if (op)
    {
      op->GetDataInstanceRef().SetInt32(BLUROPERATOR_METHOD, method);
      op->GetDataInstanceRef().SetInt32(BLUROPERATOR_RADIUS, radius);
    }
    return op;
  }

  // The box of radius r as the reference takes it: 2r + 1 taps of 1 / (2r + 1), no further factor.
  std::vector<Float> BoxReference(Int r) const
  {
    const Int window = 2 * r + 1;
    return ReferenceSeparable(Cells(input), input.width, input.height,
                              std::vector<Float>(static_cast<std::size_t>(window), 1.0 / static_cast<Float>(window)),
                              1.0);
  }
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// Registration, description, parameters

TEST_F(BlurOperatorTest, RegistersAsAFilterWithItsIconAndDescription)
{
  ExpectRegisteredFilter(ID_OGX_BLUROPERATOR, "Blur", "#$34Blur", "obluroperator", 2, 448, 0);
  // Blur first, sharpen second, as start-up registers them.
  ASSERT_EQ(g_operatorRegistry.GetCount(), 2);
  EXPECT_EQ(g_operatorRegistry[0].id, ID_OGX_BLUROPERATOR);

  ExpectDescribed(AddBlur(0, 2), {BLUROPERATOR_RADIUS, BLUROPERATOR_METHOD}, BLUROPERATOR_METHOD);
}

TEST_F(BlurOperatorTest, InitWritesTheMethodThenTheRadius)
{
  BaseObject* op = AddOperator(ID_OGX_BLUROPERATOR);
  const BaseContainer& bc = op->GetDataInstanceRef();
  EXPECT_EQ(bc.GetInt32(BLUROPERATOR_METHOD, -1), 0);
  EXPECT_EQ(bc.GetInt32(BLUROPERATOR_RADIUS, -1), 2);
  EXPECT_EQ(OwnIds(bc, {10001, 10002}), (std::vector<Int32>{10002, 10001}));
  // A filter: no height range asked for, and the filter blend defaults.
  EXPECT_EQ(static_cast<Int32>(OperatorData(op)->GetOperatorFlags(op)), 1);
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATOR_BLENDMODE, -1), 0);
}

TEST_F(BlurOperatorTest, RadiusIsDisabledForTheFixedKernels)
{
  BaseObject* op = AddBlur(0, 2);
  BaseContainer& bc = op->GetDataInstanceRef();
  for (const Int32 method : {-1, 0, 1, 2, 3, 4, 5})
  {
    bc.SetInt32(BLUROPERATOR_METHOD, method);
    EXPECT_EQ(op->GetDEnabling(DescID(BLUROPERATOR_RADIUS), GeData()), method != 2 && method != 3) << method;
    EXPECT_TRUE(op->GetDEnabling(DescID(BLUROPERATOR_METHOD), GeData())) << method;
  }
}

TEST_F(BlurOperatorTest, DirtyIdsAreTheRadiusAndTheMethod)
{
  BaseObject* op = AddBlur(0, 2);
  BaseArray<Int32> ids;
  ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, op->GetDataInstanceRef()));
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), (std::vector<Int32>{10001, 10002}));

  host::ResetLogs();
  BaseArray<Int32> failing;
  Bool listed;
  {
    host::ScopedAllocationFailure fail(2);
    listed = OperatorData(op)->GetDirtyParameterIds(failing, op->GetDataInstanceRef());
  }
  EXPECT_FALSE(listed);
  EXPECT_EQ(failing.GetCount(), 1);
  EXPECT_EQ(host::Console().GetLast(), String("Array allocation failed!"));
}

TEST_F(BlurOperatorTest, LevelZeroScenesRenumberTheGaussianAndHalveTheBoxRadius)
{
  struct Case
  {
    Int32 level;
    Int32 method, radius;
    Int32 wantMethod, wantRadius;
  };
  const Case cases[] = {
    {0, 4, 7, 1, 7}, {0, 0, 5, 0, 2}, {0, 0, 1, 0, 0}, {0, 0, -5, 0, -2}, {0, 1, 9, 1, 9},
    {0, 2, 9, 2, 9}, {0, 3, 6, 3, 6}, {1, 4, 7, 4, 7}, {1, 0, 5, 0, 5},   {2, 0, 5, 0, 5},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddBlur(c.method, c.radius);
    HyperFile hf;
    EXPECT_TRUE(OperatorData(op)->Read(op, &hf, c.level));
    const BaseContainer& bc = op->GetDataInstanceRef();
    EXPECT_EQ(bc.GetInt32(BLUROPERATOR_METHOD), c.wantMethod) << c.level << " " << c.method << " " << c.radius;
    EXPECT_EQ(bc.GetInt32(BLUROPERATOR_RADIUS), c.wantRadius) << c.level << " " << c.method << " " << c.radius;
  }

  // Through a scene file: the base's own level-0 update runs as well (the height of a multiplicative
  // mode moves into the factor).
  const String scene = R"({"format": "ogx-scene", "version": 1, "objects": [
    {"type": "obluroperator", "level": 0, "params": {"10002": {"Int32": 0}, "10001": {"Int32": 9},
     "1002": {"Int32": 3}, "1003": {"Float": 4.0}}},
    {"type": "obluroperator", "level": 0, "params": {"10002": {"Int32": 4}, "10001": {"Int32": 9}}},
    {"type": "obluroperator", "level": 2, "params": {"10002": {"Int32": 0}, "10001": {"Int32": 9}}}]})";
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(scene, "scene.json");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage().c_str();
  BaseObject* first = loaded.GetValue()->GetFirstObject();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetDataInstanceRef().GetInt32(BLUROPERATOR_RADIUS), 4);
  EXPECT_EQ(first->GetDataInstanceRef().GetFloat(TERRAINOPERATOR_FACTOR), 4.0);
  EXPECT_EQ(first->GetNext()->GetDataInstanceRef().GetInt32(BLUROPERATOR_METHOD), 1);
  EXPECT_EQ(first->GetNext()->GetNext()->GetDataInstanceRef().GetInt32(BLUROPERATOR_RADIUS), 9);
  BaseDocument* doc = loaded.GetValue();
  BaseDocument::Free(doc);
}

// ---------------------------------------------------------------------------------------------------
// Computation

TEST_F(BlurOperatorTest, BoxMatchesTheClampedReferenceAndKeepsTheRange)
{
  struct Size
  {
    Int w, h;
  };
  for (const Size s : {Size{1, 1}, Size{1, 9}, Size{9, 1}, Size{13, 7}, Size{40, 30}})
    for (const Int32 r : {0, 1, 2, 7})
    {
      Shape(s.w, s.h, static_cast<unsigned>(s.w + s.h));
      BaseObject* op = AddBlur(BLURMETHOD_BOX, r);
      ASSERT_TRUE(Compute(op).IsOk());
      const std::string what = std::to_string(s.w) + " x " + std::to_string(s.h) + " r " + std::to_string(r);
      EXPECT_EQ(FirstDifference(Cells(Output(op)), BoxReference(r)), -1) << what;
      ExpectInputShape(op, true, what);
      // Radius 0 is a window of one cell of weight 1: the input itself.
      if (r == 0)
      {
        EXPECT_EQ(Cells(Output(op)), Cells(input)) << what;
      }
    }
}

TEST_F(BlurOperatorTest, MethodsOutsideTheGaussiansAreTheBox)
{
  Shape(21, 17);
  for (const Int32 method : {-1, 5, 4})
  {
    BaseObject* op = AddBlur(method, 3);
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_EQ(FirstDifference(Cells(Output(op)), BoxReference(3)), -1) << method;
  }
}

TEST_F(BlurOperatorTest, GaussiansMatchTheMirroredReferenceAndResetTheRange)
{
  using namespace OGX::Convolution;
  Shape(37, 23);
  PresetKernels::GaussBlur gauss2, gauss6;
  PresetKernels::GaussBlur3x3 gauss3x3;
  PresetKernels::GaussBlur5x5 gauss5x5;
  ASSERT_TRUE(gauss2.InitKernel(2).IsOk());
  ASSERT_TRUE(gauss6.InitKernel(6).IsOk());
  ASSERT_TRUE(gauss3x3.InitKernel().IsOk());
  ASSERT_TRUE(gauss5x5.InitKernel().IsOk());
  struct Case
  {
    Int32 method, radius;
    const BaseKernel* kernel;
  };
  // The fixed kernels ignore the radius.
  for (const Case& c : {Case{1, 2, &gauss2}, Case{1, 6, &gauss6}, Case{2, 9, &gauss3x3}, Case{2, -4, &gauss3x3},
                        Case{3, 0, &gauss5x5}, Case{3, 40, &gauss5x5}})
  {
    BaseObject* op = AddBlur(c.method, c.radius);
    ASSERT_TRUE(Compute(op).IsOk());
    const std::string what = std::to_string(c.method) + " r " + std::to_string(c.radius);
    EXPECT_EQ(FirstDifference(Cells(Output(op)), MirroredReference(*c.kernel)), -1) << what;
    ExpectInputShape(op, false, what);
  }
}

TEST_F(BlurOperatorTest, ARadiusWiderThanTheTerrainReadsOnlyItsCells)
{
  // Radius 10 on a 5 x 5 terrain: a 21-wide Gaussian and an 21-wide box, every tap resolved inside.
  using namespace OGX::Convolution;
  Shape(5, 5);
  PresetKernels::GaussBlur gauss10;
  ASSERT_TRUE(gauss10.InitKernel(10).IsOk());
  BaseObject* gaussian = AddBlur(BLURMETHOD_GAUSSIAN, 10);
  ASSERT_TRUE(Compute(gaussian).IsOk());
  EXPECT_EQ(FirstDifference(Cells(Output(gaussian)), MirroredReference(gauss10)), -1);
  BaseObject* box = AddBlur(BLURMETHOD_BOX, 10);
  ASSERT_TRUE(Compute(box).IsOk());
  EXPECT_EQ(FirstDifference(Cells(Output(box)), BoxReference(10)), -1);
}

TEST_F(BlurOperatorTest, NegativeRadiiBlurWithRadiusZero)
{
  Shape(12, 9);
  for (const Int32 method : {BLURMETHOD_BOX, BLURMETHOD_GAUSSIAN})
    for (const Int32 r : {-1, -3, std::numeric_limits<Int32>::min()})
    {
      BaseObject* op = AddBlur(method, r);
      ASSERT_TRUE(Compute(op).IsOk()) << method << " " << r;
      EXPECT_EQ(Cells(Output(op)), Cells(input)) << method << " " << r;
    }
}

TEST_F(BlurOperatorTest, AGaussianTooWideForMemoryIsRefusedAndLeavesTheInput)
{
  Shape(6, 5);
  BaseObject* op = AddBlur(BLURMETHOD_GAUSSIAN, std::numeric_limits<Int32>::max());
  Result<void> res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_EQ(Cells(Output(op)), Cells(input));
  ExpectInputShape(op, true, "refused");
}

TEST_F(BlurOperatorTest, AnEmptyTerrainFailsOnlyTheBox)
{
  // A previous computation's cells do not survive the failed one.
  Shape(4, 4);
  BaseObject* box = AddBlur(BLURMETHOD_BOX, 2);
  ASSERT_TRUE(Compute(box).IsOk());
  input.Reset();
  Result<void> res = Compute(box);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(res.GetError().GetMessage(), String("Can't BluxBlur a grid with size 0!"));
  EXPECT_EQ(Output(box).cellCount, 0);

  for (const Int32 method : {1, 2, 3})
  {
    BaseObject* op = AddBlur(method, 2);
    EXPECT_TRUE(Compute(op).IsOk()) << method;
    EXPECT_EQ(Output(op).cellCount, 0) << method;
  }
}

TEST_F(BlurOperatorTest, OneThreadAndAllThreadsAreBitIdentical)
{
  Shape(53, 640, 9);
  for (const Int32 method : {0, 1, 3})
    ExpectOneThreadLikeAllThreads(AddBlur(method, 3), std::to_string(method));
}

// ---------------------------------------------------------------------------------------------------
// Cancellation

TEST_F(BlurOperatorTest, BoxPassesTestEveryRowWhoseIndexAnd999IsNonZero)
{
  Shape(7, 40);
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;
  BaseObject* box = AddBlur(BLURMETHOD_BOX, 1);
  ASSERT_TRUE(Compute(box).IsOk());
  // Rows 0, 8, 16, 24 skip the test: 36 per pass.
  EXPECT_EQ(thread.GetTestCount(), 2 * 36);
  // The Gaussian convolution is never cancelled.
  thread.ResetTestCount();
  thread.SetBreak(true);
  BaseObject* gaussian = AddBlur(BLURMETHOD_GAUSSIAN, 1);
  EXPECT_TRUE(Compute(gaussian).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 0);
}

TEST_F(BlurOperatorTest, ABreakEndsThePassItHits)
{
  // 500 rows: each pass runs on the calling thread, in row order, so the rows before the break are
  // done and the others not.
  const Int rows = 500;
  Shape(6, rows);
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;
  BaseObject* box = AddBlur(BLURMETHOD_BOX, 2);
  const std::vector<Float> done = BoxReference(2);
  struct Case
  {
    Int breakAt;   // the test that sees the break, counted over both passes
    const char* message;
  };
  const Int vertical = TestsOfPass(rows);
  for (const Case& c :
       {Case{1, "Vertical BoxBlur pass cancelled!"}, Case{vertical + 40, "Horizontal BoxBlur pass cancelled!"}})
  {
    thread.ResetTestCount();
    thread.BreakAfterTests(c.breakAt);
    Result<void> res = Compute(box);
    thread.BreakAfterTests(0);
    ASSERT_TRUE(res.IsError()) << c.message;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(res.GetError().GetMessage(), String(c.message));
    EXPECT_TRUE(std::string(res.GetError().GetLocation().file_name()).ends_with("operator_blur.cpp"));
    if (c.breakAt > vertical)
    {
      const Int stop = BreakRow(rows, c.breakAt - vertical);
      ASSERT_EQ(stop, 43);
      const std::vector<Float> out = Cells(Output(box));
      for (Int k = 0; k < stop * 6; ++k)
        ASSERT_TRUE(Same(out[static_cast<std::size_t>(k)], done[static_cast<std::size_t>(k)])) << k;
      for (Int k = stop * 6; k < rows * 6; ++k)
        ASSERT_FALSE(Same(out[static_cast<std::size_t>(k)], done[static_cast<std::size_t>(k)])) << k;
    }
  }

  // On all threads (501 rows) the error comes back the same way, and an undisturbed run is unchanged.
  Shape(6, 501);
  context.hierarchyHelp = &hh;
  thread.SetBreak(true);
  Result<void> res = Compute(box);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Vertical BoxBlur pass cancelled!"));
  thread.SetBreak(false);
  ASSERT_TRUE(Compute(box).IsOk());
  EXPECT_EQ(FirstDifference(Cells(Output(box)), BoxReference(2)), -1);
}
