#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "host/scene/document.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "host/splines/splinegenerator.h"
#include "host/splines/splinehelp.h"
#include "support/scene_fixture.h"
#include "support/splines.h"

using ogx_test::MakeSpline;
using ogx_test::SegmentSpec;

namespace
{
class SplineHelpTest : public LeakCheckedSceneTest
{
protected:
  void SetUp() override
  {
    LeakCheckedSceneTest::SetUp();
    host::ResetSplineHelpSwitches();
    _help = SplineHelp::Alloc();
    ASSERT_NE(_help, nullptr);
  }
  void TearDown() override
  {
    SplineHelp::Free(_help);
    EXPECT_EQ(host::GetLiveSplineHelpCount(), 0);
    host::ResetSplineHelpSwitches();
    LeakCheckedSceneTest::TearDown();
  }

  SplineHelp* _help = nullptr;
};

void ExpectNear(const Vector& got, const Vector& want)
{
  EXPECT_NEAR(got.x, want.x, 1e-12);
  EXPECT_NEAR(got.y, want.y, 1e-12);
  EXPECT_NEAR(got.z, want.z, 1e-12);
}
} // namespace

TEST_F(SplineHelpTest, SegmentsFollowTheRecordsWithTheirLengths)
{
  const std::vector<Vector> corner = {Vector(0, 0, 0), Vector(3, 0, 0), Vector(3, 4, 0)};
  ObjPtr spline(MakeSpline({{corner, false}, {corner, true}, {{Vector(1, 1, 1)}, false}, {{Vector(2, 2, 2)}, true}}));
  ASSERT_TRUE(_help->Init(static_cast<SplineObject*>(spline.get()), SPLINEHELPFLAGS::GLOBALSPACE));
  ASSERT_EQ(_help->GetSegmentCount(), 4);
  struct Expect
  {
    Int32 points;
    Bool closed;
    Float length;   // the polyline, the closing edge (5) included when closed
  };
  const Expect expected[] = {{3, false, 7.0}, {3, true, 12.0}, {1, false, 0.0}, {1, true, 0.0}};
  for (Int32 s = 0; s < 4; ++s)
  {
    SCOPED_TRACE(s);
    EXPECT_EQ(_help->GetSegmentPointCount(s), expected[s].points);
    EXPECT_EQ(_help->IsSegmentClosed(s), expected[s].closed);
    EXPECT_DOUBLE_EQ(_help->GetSegmentLength(s), expected[s].length);
  }
  EXPECT_EQ(_help->GetSegmentPointCount(4), 0);
  EXPECT_EQ(_help->GetSegmentLength(-1), 0.0);

  // Without records: one segment over all points, closed by the spline's switch; none without points.
  SplineObject* plain = SplineObject::Alloc(3, SPLINETYPE::CUBIC);
  ObjPtr plainOwner(plain);
  for (Int32 i = 0; i < 3; ++i)
    plain->GetPointW()[i] = corner[static_cast<std::size_t>(i)];
  plain->SetClosed(true);
  ASSERT_TRUE(_help->Init(plain, SPLINEHELPFLAGS::NONE));
  ASSERT_EQ(_help->GetSegmentCount(), 1);
  EXPECT_TRUE(_help->IsSegmentClosed(0));
  EXPECT_DOUBLE_EQ(_help->GetSegmentLength(0), 12.0);
  ObjPtr empty(SplineObject::Alloc(0, SPLINETYPE::LINEAR));
  ASSERT_TRUE(_help->Init(static_cast<SplineObject*>(empty.get()), SPLINEHELPFLAGS::NONE));
  EXPECT_EQ(_help->GetSegmentCount(), 0);

  // Records that do not add up to the points are refused, and leave nothing behind.
  SplineObject* broken = MakeSpline({{corner, false}});
  ObjPtr brokenOwner(broken);
  broken->GetSegmentW()[0].cnt = 2;
  EXPECT_FALSE(_help->Init(broken, SPLINEHELPFLAGS::NONE));
  EXPECT_EQ(_help->GetSegmentCount(), 0);
  broken->GetSegmentW()[0].cnt = 4;
  EXPECT_FALSE(_help->Init(broken, SPLINEHELPFLAGS::NONE));
  EXPECT_FALSE(_help->Init(nullptr, SPLINEHELPFLAGS::NONE));
}

TEST_F(SplineHelpTest, FramesSitOnThePointsInTheChosenSpace)
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* parent = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(parent, nullptr));
  parent->SetMl(Matrix(Vector(100, 0, 0), Vector(0, 0, 2), Vector(0, 1, 0), Vector(-2, 0, 0)));
  SplineObject* spline = MakeSpline({{{Vector(0, 0, 0), Vector(10, 0, 0), Vector(10, 0, 10)}, false}});
  ASSERT_TRUE(doc->InsertObject(spline, parent));
  spline->SetMl(Matrix(Vector(0, 5, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  const Matrix mg = spline->GetMg();

  ASSERT_TRUE(_help->Init(spline, SPLINEHELPFLAGS::GLOBALSPACE | SPLINEHELPFLAGS::POINTFRAMES));
  const Vector local[] = {Vector(0, 0, 0), Vector(10, 0, 0), Vector(10, 0, 10)};
  for (Int32 i = 0; i < 3; ++i)
    EXPECT_EQ(_help->GetMatrixAt(0, i).off, mg * local[i]) << i;
  // The first frame looks along the first edge, as the world sees it.
  ExpectNear(_help->GetMatrixAt(0, 0).v3, (mg * local[1] - mg * local[0]).GetNormalized());
  EXPECT_EQ(_help->GetMatrixAt(0, 3), Matrix());
  EXPECT_EQ(_help->GetMatrixAt(1, 0), Matrix());

  ASSERT_TRUE(_help->Init(spline, SPLINEHELPFLAGS::NONE));
  EXPECT_EQ(_help->GetMatrixAt(0, 2).off, Vector(10, 0, 10));
  BaseDocument::Free(doc);
}

TEST_F(SplineHelpTest, PositionsAreFractionsOfTheArcLength)
{
  const Vector square[] = {Vector(0, 0, 0), Vector(10, 0, 0), Vector(10, 0, 10), Vector(0, 0, 10)};
  ObjPtr spline(MakeSpline({{{square[0], square[1], square[2]}, false}, {{square[0], square[1], square[2], square[3]}, true}}));
  ASSERT_TRUE(_help->Init(static_cast<SplineObject*>(spline.get()), SPLINEHELPFLAGS::NONE));
  struct Case
  {
    Int32 segment;
    Float offset;
    Bool realOffset;
    Vector expected;
  };
  const Case cases[] = {
    {0, 0.0, false, Vector(0, 0, 0)},    {0, 0.25, false, Vector(5, 0, 0)},  {0, 0.75, false, Vector(10, 0, 5)},
    {0, 1.0, false, Vector(10, 0, 10)},  {0, -1.0, false, Vector(0, 0, 0)},  {0, 7.0, false, Vector(10, 0, 10)},
    {0, 15.0, true, Vector(10, 0, 5)},   {1, 0.875, false, Vector(0, 0, 5)}, {1, 1.0, false, Vector(0, 0, 0)},
    {1, 0.5, false, Vector(10, 0, 10)},  {2, 0.5, false, Vector()},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(testing::Message() << c.segment << " at " << c.offset);
    ExpectNear(_help->GetPositionAt(c.offset, c.segment, c.realOffset, true), c.expected);
  }
}

TEST_F(SplineHelpTest, TestSwitches)
{
  ObjPtr spline(MakeSpline({{{Vector(0, 0, 0), Vector(1, 0, 0)}, false}, {{Vector(0, 0, 0), Vector(2, 0, 0)}, false}}));
  auto* s = static_cast<SplineObject*>(spline.get());
  EXPECT_EQ(host::GetLiveSplineHelpCount(), 1);

  host::SetSplineHelpAllocRefused(true);
  EXPECT_EQ(SplineHelp::Alloc(), nullptr);
  host::SetSplineHelpInitRefused(true);
  EXPECT_FALSE(_help->Init(s, SPLINEHELPFLAGS::NONE));
  {
    host::ScopedAllocationFailure fail(1);
    host::ResetSplineHelpSwitches();
    EXPECT_EQ(SplineHelp::Alloc(), nullptr);
  }
  EXPECT_EQ(host::GetLiveSplineHelpCount(), 1);

  ASSERT_TRUE(_help->Init(s, SPLINEHELPFLAGS::NONE));
  host::SetSplineHelpNaNLengthSegment(1);
  EXPECT_EQ(_help->GetSegmentLength(0), 1.0);
  EXPECT_TRUE(std::isnan(_help->GetSegmentLength(1)));
}

TEST_F(SplineHelpTest, TheCircleGeneratorStandsForTheSplineItBuilds)
{
  ASSERT_TRUE(host::RegisterSplineGenerators());
  ASSERT_TRUE(host::RegisterSplineGenerators());
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* circle = BaseObject::Alloc(Osplinecircle);
  ASSERT_NE(circle, nullptr);
  ASSERT_TRUE(doc->InsertObject(circle, nullptr));
  EXPECT_EQ(circle->GetInfo(), OBJECT_GENERATOR | OBJECT_ISSPLINE);
  EXPECT_FALSE(circle->IsInstanceOf(Ospline));
  EXPECT_EQ(circle->GetRealSpline(), nullptr);   // nothing built yet

  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  host::BuildDocumentCaches(doc, &hh);
  SplineObject* real = circle->GetRealSpline();
  ASSERT_NE(real, nullptr);
  ASSERT_TRUE(_help->Init(real, SPLINEHELPFLAGS::NONE));
  ASSERT_EQ(_help->GetSegmentCount(), 1);
  EXPECT_TRUE(_help->IsSegmentClosed(0));
  ASSERT_EQ(_help->GetSegmentPointCount(0), 16);
  for (Int32 i = 0; i < 16; ++i)
  {
    const Float a = 2.0 * std::numbers::pi * i / 16.0;
    ExpectNear(_help->GetMatrixAt(0, i).off, Vector(100.0 * std::cos(a), 0.0, 100.0 * std::sin(a)));
  }

  // Built again only after a change.
  host::BuildDocumentCaches(doc, &hh);
  EXPECT_EQ(circle->GetRealSpline(), real);
  circle->GetDataInstance()->SetInt32(SPLINECIRCLE_POINTS, 2);
  host::BuildDocumentCaches(doc, &hh);
  ASSERT_NE(circle->GetRealSpline(), nullptr);
  EXPECT_EQ(circle->GetRealSpline()->GetPointCount(), 3);
  BaseDocument::Free(doc);
}
