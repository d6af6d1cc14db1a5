#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/core/log.h"
#include "host/scene/document.h"
#include "host/splines/splinehelp.h"
#include "orogenix/splinesampler.h"
#include "support/scene_fixture.h"
#include "support/splines.h"
#include "support/test_support.h"

using ogx_test::MakeSpline;
using ogx_test::SegmentSpec;

namespace
{
class SplineSamplerTest : public LeakCheckedSceneTest
{
protected:
  void SetUp() override
  {
    LeakCheckedSceneTest::SetUp();
    host::ResetSplineHelpSwitches();
    host::ResetLogs();
  }
  void TearDown() override
  {
    // Every call frees its SplineHelp instance, whatever became of it.
    EXPECT_EQ(host::GetLiveSplineHelpCount(), 0);
    host::ResetSplineHelpSwitches();
    LeakCheckedSceneTest::TearDown();
  }
};

struct Expected
{
  Int32 segment;
  Float offset;
  Vector point;   // in the spline's own space
};

// Random-looking points, so that every sample's position tells where it came from.
std::vector<Vector> Points(Int32 count, Float seed)
{
  std::vector<Vector> p;
  for (Int32 i = 0; i < count; ++i)
    p.emplace_back(std::sin(seed + i) * 50.0, std::cos(seed * 2.0 + i) * 3.0, seed * 10.0 + i * 7.0);
  return p;
}
} // namespace

TEST_F(SplineSamplerTest, EveryPointOfEverySegmentWithItsOffset)
{
  // Open and closed segments of 4 points, a lone point open and closed, an open pair.
  const std::vector<SegmentSpec> segments = {
    {Points(4, 1.0), false}, {Points(4, 2.0), true}, {Points(1, 3.0), false}, {Points(1, 4.0), true},
    {Points(2, 5.0), false}};
  const Float third = 1.0 / 3.0;
  std::vector<Expected> expected;
  const Float offsets[][4] = {{0.0, third, 2.0 * third, 1.0}, {0.0, 0.25, 0.5, 0.75}, {0.0}, {0.0}, {0.0, 1.0}};
  for (std::size_t s = 0; s < segments.size(); ++s)
    for (std::size_t i = 0; i < segments[s].points.size(); ++i)
      expected.push_back({static_cast<Int32>(s), offsets[s][i], segments[s].points[i]});

  // A spline moved by its parent: the samples come in world space, then through the transform.
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* parent = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(parent, nullptr));
  parent->SetMl(Matrix(Vector(5, -1, 2), Vector(0, 0, 1), Vector(0, 1, 0), Vector(-1, 0, 0)));
  SplineObject* spline = MakeSpline(segments);
  ASSERT_TRUE(doc->InsertObject(spline, parent));
  const Matrix mg = spline->GetMg();
  const Matrix transform(Vector(-100, 3, 7), Vector(2, 0, 0), Vector(0, 0.5, 0), Vector(0, 0, -1));

  for (const Matrix* t : {static_cast<const Matrix*>(nullptr), &transform})
  {
    SCOPED_TRACE(t ? "transform" : "no transform");
    BaseArray<SplineSample> samples;
    ASSERT_TRUE(samples.Append(SplineSample{9, 9.0, Vector(9, 9, 9)}).IsOk());   // kept: the list is not cleared
    ASSERT_TRUE(GetSplineSegments(spline, samples, t).IsOk());
    ASSERT_EQ(samples.GetCount(), static_cast<Int>(expected.size()) + 1);
    EXPECT_EQ(samples[0].segment, 9);
    for (std::size_t k = 0; k < expected.size(); ++k)
    {
      const SplineSample& got = samples[static_cast<Int>(k) + 1];
      SCOPED_TRACE(k);
      EXPECT_EQ(got.segment, expected[k].segment);
      EXPECT_DOUBLE_EQ(got.offset, expected[k].offset);
      const Vector world = mg * expected[k].point;
      const Vector want = t ? *t * world : world;
      // Transformed written out: the offset plus the coordinates times the axes.
      EXPECT_TRUE(Same(got.position, want));
    }

    // One thread gives the same samples.
    BaseArray<SplineSample> serial;
    {
      SerialScope one;
      ASSERT_TRUE(GetSplineSegments(spline, serial, t).IsOk());
    }
    ASSERT_EQ(serial.GetCount() + 1, samples.GetCount());
    for (Int k = 0; k < serial.GetCount(); ++k)
      EXPECT_TRUE(Same(serial[k].position, samples[k + 1].position) && serial[k].offset == samples[k + 1].offset);
  }
  BaseDocument::Free(doc);

  // No segments: nothing, and success.
  ObjPtr empty(SplineObject::Alloc(0, SPLINETYPE::LINEAR));
  BaseArray<SplineSample> none;
  ASSERT_TRUE(GetSplineSegments(static_cast<SplineObject*>(empty.get()), none, nullptr).IsOk());
  EXPECT_TRUE(none.IsEmpty());
}

TEST_F(SplineSamplerTest, Failures)
{
  ObjPtr owner(MakeSpline({{Points(3, 1.0), false}, {Points(5, 2.0), true}}));
  auto* spline = static_cast<SplineObject*>(owner.get());
  BaseArray<SplineSample> samples;

  Result<void> r = GetSplineSegments(nullptr, samples, nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::NULLPTR);
  EXPECT_EQ(r.GetError().GetText(), "splineObjPtr must not be NULL!");

  host::SetSplineHelpAllocRefused(true);
  r = GetSplineSegments(spline, samples, nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_EQ(r.GetError().GetText(), "Could not allocate SplineHelp instance!");
  host::ResetSplineHelpSwitches();

  host::SetSplineHelpInitRefused(true);
  r = GetSplineSegments(spline, samples, nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(r.GetError().GetText(), "Could not initialize SplineHelp instance!");
  host::ResetSplineHelpSwitches();

  // A NaN length of the last segment: nothing of the first one is appended either.
  host::SetSplineHelpNaNLengthSegment(1);
  r = GetSplineSegments(spline, samples, nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetText(), "SplineHelp::GetSegmentLength() returned NaN!");
  EXPECT_TRUE(samples.IsEmpty());
  EXPECT_TRUE(SampleSplineByDensity(spline, 1.0, false, samples, nullptr, 1.0).IsError());
  host::ResetSplineHelpSwitches();

  // The density sampler refuses its density before it asks the host for anything.
  host::SetSplineHelpAllocRefused(true);
  for (const Float density : {0.0, -1.0, std::nan("")})
  {
    r = SampleSplineByDensity(spline, density, false, samples, nullptr, 1.0);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
    EXPECT_EQ(r.GetError().GetText(), "sampleDensity must not be <= 0.0!");
  }
  EXPECT_EQ(SampleSplineByDensity(nullptr, 1.0, false, samples, nullptr, 1.0).GetError().GetText(),
            "splineObjPtr must not be NULL!");
}

TEST_F(SplineSamplerTest, DensitySamplesEvenlyAlongEachSegment)
{
  // An open segment 10 long (three points), a closed square 40 around, a segment 0.5 long.
  ObjPtr owner(MakeSpline({{{Vector(0, 0, 0), Vector(4, 0, 0), Vector(4, 6, 0)}, false},
                           {{Vector(0, 0, 0), Vector(10, 0, 0), Vector(10, 0, 10), Vector(0, 0, 10)}, true},
                           {{Vector(0, 0, 0), Vector(0.5, 0, 0)}, false}}));
  auto* spline = static_cast<SplineObject*>(owner.get());
  BaseArray<SplineSample> samples;
  ASSERT_TRUE(samples.Append(SplineSample{}).IsOk());   // cleared first
  const Matrix move(Vector(1, 2, 3), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));
  ASSERT_TRUE(SampleSplineByDensity(spline, 2.0, true, samples, &move, 1.0).IsOk());
  EXPECT_EQ(host::Console().GetLines(), std::vector<String>{"3 segments"});

  // 10 / 2 = 5 samples 1/4 apart; 40 / 2 = 20 samples 1/20 apart, the end left out; at least 2.
  ASSERT_EQ(samples.GetCount(), 5 + 20 + 2);
  SplineHelp* help = SplineHelp::Alloc();
  ASSERT_TRUE(help->Init(spline, SPLINEHELPFLAGS::GLOBALSPACE));
  const Int32 counts[] = {5, 20, 2};
  const Float steps[] = {0.25, 0.05, 1.0};
  Int k = 0;
  for (Int32 s = 0; s < 3; ++s)
    for (Int32 i = 0; i < counts[s]; ++i, ++k)
    {
      SCOPED_TRACE(k);
      EXPECT_EQ(samples[k].segment, s);
      EXPECT_DOUBLE_EQ(samples[k].offset, i * steps[s]);
      EXPECT_EQ(samples[k].position, move * help->GetPositionAt(i * steps[s], s, false, true));
    }
  EXPECT_EQ(samples[4].position, Vector(5, 8, 3));   // the open segment's end
  SplineHelp::Free(help);

  // The count factor scales the counts.
  ASSERT_TRUE(SampleSplineByDensity(spline, 2.0, false, samples, nullptr, 0.5).IsOk());
  EXPECT_EQ(samples.GetCount(), 2 + 10 + 2);
}
