#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/scene/baseobject.h"
#include "host/scene/document.h"
#include "host/scene/hierarchy.h"
#include "host/scene/hyperfile.h"
#include "host/scene/scenefile.h"
#include "host/splines/splinedata.h"

namespace
{
constexpr Float NaN = std::numeric_limits<Float>::quiet_NaN();
constexpr Int32 NULL_OBJECT = 5140;

struct KnotSpec
{
  Float x, y;
  Vector left, right;
};

std::unique_ptr<SplineData> MakeCurve(const std::vector<KnotSpec>& spec)
{
  std::unique_ptr<SplineData> c = SplineData::Alloc();
  for (const KnotSpec& k : spec)
  {
    const Int32 index = c->InsertKnot(k.x, k.y);
    SplineKnot* knot = c->GetKnot(index);
    knot->leftTangent = k.left;
    knot->rightTangent = k.right;
  }
  return c;
}

// The curve's y at x by its definition, independently of the host's solver: the segment by a linear
// scan, the Bezier in Bernstein form by de Casteljau's construction, and x(t) = x by plain bisection.
Float ReferenceY(const std::vector<KnotSpec>& spec, Float x)
{
  if (x <= spec.front().x)
    return spec.front().y;
  if (x >= spec.back().x)
    return spec.back().y;
  std::size_t s = 0;
  while (spec[s + 1].x <= x)
    ++s;
  const KnotSpec& a = spec[s];
  const KnotSpec& b = spec[s + 1];
  auto casteljau = [](Float p0, Float p1, Float p2, Float p3, Float t) {
    const Float q0 = p0 + (p1 - p0) * t, q1 = p1 + (p2 - p1) * t, q2 = p2 + (p3 - p2) * t;
    const Float r0 = q0 + (q1 - q0) * t, r1 = q1 + (q2 - q1) * t;
    return r0 + (r1 - r0) * t;
  };
  auto bx = [&](Float t) { return casteljau(a.x, a.x + a.right.x, b.x + b.left.x, b.x, t); };
  Float lo = 0.0, hi = 1.0;
  for (int i = 0; i < 200; ++i)
  {
    const Float mid = 0.5 * (lo + hi);
    (bx(mid) < x ? lo : hi) = mid;
  }
  return casteljau(a.y, a.y + a.right.y, b.y + b.left.y, b.y, 0.5 * (lo + hi));
}

// Curves shaped like the module's presets: tangents along x only, one segment with dx/dt = 0 inside
// (the middle of the plateau), one with slanted tangents, one that falls.
const std::vector<std::vector<KnotSpec>>& Curves()
{
  static const std::vector<std::vector<KnotSpec>> curves = {
    {{0, 0, {}, {0.75, 0, 0}}, {1, 1, {-0.1, 0, 0}, {}}},
    {{0, 0, {}, {}}, {0.45, 0.5, {-0.1, 0, 0}, {0.1, 0, 0}}, {0.55, 0.5, {-0.1, 0, 0}, {0.1, 0, 0}}, {1, 1, {}, {}}},
    {{0, 0.5, {}, {0.2, -0.2, 0}}, {0.5, 0.2, {-0.2, -0.3, 0}, {0.2, -0.3, 0}}, {1, 0.5, {-0.2, -0.3, 0}, {}}},
    {{0, 0, {}, {0.2, 0, 0}}, {0.5, 0.5, {-0.2, 0.3, 0}, {0.2, 0.3, 0}}, {1, 0, {-0.2, 0, 0}, {}}},
  };
  return curves;
}
} // namespace

TEST(SplineData, KnotsKeepAscendingXAndStartWithZeroTangents)
{
  std::unique_ptr<SplineData> c = SplineData::Alloc();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetCustomTypeId(), 1009060);
  EXPECT_EQ(c->GetKnotCount(), 0);
  // Ascending x: numbered in insertion order.
  EXPECT_EQ(c->InsertKnot(0.0, 0.0), 0);
  EXPECT_EQ(c->InsertKnot(0.5, 0.2, 7), 1);
  EXPECT_EQ(c->InsertKnot(1.0, 1.0), 2);
  // Out of order: placed by x, after a knot with the same x.
  EXPECT_EQ(c->InsertKnot(0.25, 0.9), 1);
  EXPECT_EQ(c->InsertKnot(0.5, 0.3), 3);
  ASSERT_EQ(c->GetKnotCount(), 5);
  const Float xs[] = {0.0, 0.25, 0.5, 0.5, 1.0};
  const Float ys[] = {0.0, 0.9, 0.2, 0.3, 1.0};
  for (Int32 i = 0; i < 5; ++i)
  {
    const SplineKnot* k = c->GetKnot(i);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->position, Vector(xs[i], ys[i], 0.0)) << i;
    EXPECT_EQ(k->leftTangent, Vector()) << i;
    EXPECT_EQ(k->rightTangent, Vector()) << i;
  }
  EXPECT_EQ(c->GetKnot(2)->flags, 7);
  EXPECT_EQ(c->GetKnot(-1), nullptr);
  EXPECT_EQ(c->GetKnot(5), nullptr);

  // The record is the stored knot.
  c->GetKnot(0)->rightTangent = Vector(0.5, 0.0, 0.0);
  EXPECT_EQ(static_cast<const SplineData&>(*c).GetKnot(0)->rightTangent, Vector(0.5, 0.0, 0.0));

  c->DeleteAllPoints();
  EXPECT_EQ(c->GetKnotCount(), 0);
  EXPECT_EQ(c->GetKnot(0), nullptr);
}

TEST(SplineData, DefaultCurveIsTheDiagonal)
{
  std::unique_ptr<SplineData> c = MakeCurve({{0.3, 0.7, {1, 1, 0}, {1, 1, 0}}});
  ASSERT_TRUE(c->MakeDefaultCurve(2));
  ASSERT_EQ(c->GetKnotCount(), 2);
  EXPECT_EQ(*c->GetKnot(0), (SplineKnot{Vector(0, 0, 0), 0, Vector(), Vector()}));
  EXPECT_EQ(*c->GetKnot(1), (SplineKnot{Vector(1, 1, 0), 0, Vector(), Vector()}));
  for (const Float x : {0.0, 0.1, 0.25, 0.5, 0.8, 1.0})
    EXPECT_NEAR(c->Evaluate(x).y, x, 1e-15) << x;

  ASSERT_TRUE(c->MakeDefaultCurve(5));
  ASSERT_EQ(c->GetKnotCount(), 5);
  EXPECT_EQ(c->GetKnot(2)->position, Vector(0.5, 0.5, 0.0));
  for (const Int32 n : {-3, 0, 1})
  {
    ASSERT_TRUE(c->MakeDefaultCurve(n));
    EXPECT_EQ(c->GetKnotCount(), 2) << n;
  }
}

TEST(SplineData, EvaluatesAtKnotsBetweenThemAndOutside)
{
  for (std::size_t n = 0; n < Curves().size(); ++n)
  {
    const std::vector<KnotSpec>& spec = Curves()[n];
    std::unique_ptr<SplineData> c = MakeCurve(spec);
    // At a knot: exactly its height.
    for (const KnotSpec& k : spec)
    {
      const Vector p = c->Evaluate(k.x);
      EXPECT_EQ(p.x, k.x) << n;
      EXPECT_EQ(p.y, k.y) << n << " at " << k.x;
    }
    // Between knots: the reference's height, and the point's x is the argument.
    for (int i = 0; i <= 1000; ++i)
    {
      const Float x = i / 1000.0;
      const Vector p = c->Evaluate(x);
      EXPECT_EQ(p.x, x);
      ASSERT_NEAR(p.y, ReferenceY(spec, x), 1e-12) << n << " at " << x;
    }
    // Outside: clamped to the first and the last knot.
    for (const Float x : {-1e300, -0.5, -1e-12})
      EXPECT_EQ(c->Evaluate(x), Vector(spec.front().x, spec.front().y, 0.0)) << n << " at " << x;
    for (const Float x : {1.0 + 1e-12, 3.0, std::numeric_limits<Float>::infinity()})
      EXPECT_EQ(c->Evaluate(x), Vector(spec.back().x, spec.back().y, 0.0)) << n << " at " << x;
    EXPECT_TRUE(std::isnan(c->Evaluate(NaN).y));
  }

  // Where dx/dt is 0 (the plateau's middle segment at t = 0.5): the solve still converges there.
  std::unique_ptr<SplineData> plateau = MakeCurve(Curves()[1]);
  EXPECT_NEAR(plateau->Evaluate(0.5).y, 0.5, 1e-15);
  EXPECT_NEAR(plateau->Evaluate(0.5 + 1e-9).y, ReferenceY(Curves()[1], 0.5 + 1e-9), 1e-15);

  // No knot: 0; one knot: its height everywhere.
  std::unique_ptr<SplineData> empty = SplineData::Alloc();
  EXPECT_EQ(empty->Evaluate(0.3), Vector(0.3, 0.0, 0.0));
  std::unique_ptr<SplineData> single = MakeCurve({{0.4, 0.6, {}, {}}});
  for (const Float x : {-1.0, 0.4, 2.0})
    EXPECT_EQ(single->Evaluate(x).y, 0.6) << x;
}

TEST(SplineData, HostileKnotsNeverHangOrReadOutside)
{
  // Knots moved out of order through the writable record, tangents that fold the segment back, NaN
  // and infinite positions: every evaluation ends with some value.
  std::unique_ptr<SplineData> c = MakeCurve({{0, 0, {}, {5, 3, 0}}, {0.5, 1, {-9, 0, 0}, {}}, {1, 0, {}, {}}});
  c->GetKnot(1)->position.x = 2.0;
  for (int i = -10; i <= 30; ++i)
    (void)c->Evaluate(i / 10.0);
  c->GetKnot(1)->position.x = NaN;
  c->GetKnot(2)->rightTangent.x = std::numeric_limits<Float>::infinity();
  for (int i = -10; i <= 30; ++i)
    (void)c->Evaluate(i / 10.0);
  SUCCEED();
}

TEST(SplineData, ManyThreadsEvaluateOneCurveAlike)
{
  std::unique_ptr<SplineData> c = MakeCurve(Curves()[2]);
  const Int count = 200000;
  std::vector<Float> serial(count), parallel(count);
  for (Int i = 0; i < count; ++i)
    serial[static_cast<std::size_t>(i)] = c->Evaluate(static_cast<Float>(i) / count * 1.2 - 0.1).y;
  const SplineData& shared = *c;
  ASSERT_TRUE(ParallelFor(
                0, count,
                [&](Int i) { parallel[static_cast<std::size_t>(i)] = shared.Evaluate(static_cast<Float>(i) / count * 1.2 - 0.1).y; },
                0, 16)
                .IsOk());
  EXPECT_EQ(serial, parallel);
}

// The prepared evaluator against the curve's own Evaluate, bit for bit (a NaN against a NaN): the
// shaped curves, the empty and one-knot curves, hostile knots (out of order, NaN, folding tangents), a
// curve with more knots than the evaluator prepares, and knots sharing an x.
TEST(SplineData, PreparedEvaluatorAnswersEvaluateBitForBit)
{
  std::vector<std::unique_ptr<SplineData>> curves;
  for (const std::vector<KnotSpec>& spec : Curves())
    curves.push_back(MakeCurve(spec));
  curves.push_back(SplineData::Alloc());
  curves.push_back(MakeCurve({{0.4, 0.6, {}, {}}}));
  curves.push_back(MakeCurve({{0, 0, {}, {5, 3, 0}}, {0.5, 1, {-9, 0, 0}, {}}, {1, 0, {}, {}}}));
  curves.back()->GetKnot(1)->position.x = 2.0;
  curves.push_back(MakeCurve({{0, 0, {}, {0.1, 0, 0}}, {0.3, 1, {-0.1, 0, 0}, {0.1, 0, 0}}, {1, 0, {}, {}}}));
  curves.back()->GetKnot(1)->position.x = NaN;
  curves.push_back(MakeCurve({{0, 0, {}, {}}, {0.5, 0.2, {}, {}}, {0.5, 0.8, {}, {}}, {1, 1, {}, {}}}));
  std::vector<KnotSpec> many;
  for (int i = 0; i <= 2 * static_cast<int>(SplineDataEvaluator::MAX_KNOTS); ++i)
    many.push_back({i / 66.0, (i % 3) / 2.0, {-0.005, 0.01, 0}, {0.005, -0.01, 0}});
  curves.push_back(MakeCurve(many));
  many.resize(static_cast<std::size_t>(SplineDataEvaluator::MAX_KNOTS));
  curves.push_back(MakeCurve(many));

  auto same = [](Float a, Float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  for (std::size_t n = 0; n < curves.size(); ++n)
  {
    const SplineData& curve = *curves[n];
    const SplineDataEvaluator evaluator(curve);
    std::vector<Float> xs = {NaN, -std::numeric_limits<Float>::infinity(), std::numeric_limits<Float>::infinity(),
                             0.0, 0.5, 1.0, 0.4, std::nextafter(0.5, 0.0), std::nextafter(0.5, 1.0)};
    for (int i = -2000; i <= 22000; ++i)
      xs.push_back(i / 20000.0);
    for (const Float x : xs)
    {
      const Vector want = curve.Evaluate(x);
      const Vector got = evaluator.Evaluate(x);
      ASSERT_TRUE(same(got.x, want.x) && same(got.y, want.y) && same(got.z, want.z))
        << "curve " << n << " at " << x << ": " << got.y << " against " << want.y;
    }
    // Side by side: lanes that mix segments, eighths, the ends, outside points and NaN.
    for (std::size_t i = 0; i + 4 <= xs.size(); i += 3)
    {
      const Float x4[4] = {xs[i], xs[xs.size() - 1 - i], xs[(i * 7919) % xs.size()], xs[i + 3]};
      Float y4[4];
      evaluator.EvaluateY(x4, y4);
      for (int l = 0; l < 4; ++l)
        ASSERT_TRUE(same(y4[l], curve.Evaluate(x4[l]).y)) << "curve " << n << " lane " << l << " at " << x4[l];
      const Float x1[1] = {xs[i + 1]};
      Float y1[1];
      evaluator.EvaluateY(x1, y1);
      ASSERT_TRUE(same(y1[0], curve.Evaluate(x1[0]).y)) << "curve " << n << " at " << x1[0];
    }
  }
}

TEST(SplineData, CopiesAreDeepAndEqualityComparesContent)
{
  std::unique_ptr<SplineData> a = MakeCurve(Curves()[0]);
  std::unique_ptr<CustomDataType> copy = a->Clone();
  ASSERT_NE(copy, nullptr);
  auto* b = static_cast<SplineData*>(copy.get());
  EXPECT_TRUE(a->IsEqual(*b));
  b->GetKnot(1)->leftTangent.y = 0.01;
  EXPECT_FALSE(a->IsEqual(*b));
  EXPECT_EQ(a->GetKnot(1)->leftTangent.y, 0.0);
  b->GetKnot(1)->leftTangent.y = 0.0;
  b->GetKnot(1)->flags = 1;
  EXPECT_FALSE(a->IsEqual(*b));
  b->GetKnot(1)->flags = 0;
  EXPECT_TRUE(b->IsEqual(*a));
  ASSERT_NE(b->InsertKnot(2.0, 0.0), -1);
  EXPECT_FALSE(a->IsEqual(*b));

  // In containers: stored values are copies, compared by content.
  BaseContainer bc;
  bc.SetData(10001, GeData(*a));
  auto* stored = static_cast<SplineData*>(bc.GetCustomData(10001, CUSTOMDATATYPE_SPLINE));
  ASSERT_NE(stored, nullptr);
  EXPECT_NE(stored, a.get());
  BaseContainer other = bc;
  EXPECT_TRUE(bc == other);
  static_cast<SplineData*>(other.GetCustomData(10001, CUSTOMDATATYPE_SPLINE))->GetKnot(0)->position.y = 0.5;
  EXPECT_FALSE(bc == other);
  EXPECT_EQ(stored->GetKnot(0)->position.y, 0.0);
}

TEST(SplineData, AllocationFailuresChangeNothing)
{
  std::unique_ptr<SplineData> c = MakeCurve(Curves()[0]);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(c->InsertKnot(0.5, 0.5), -1);
  }
  EXPECT_EQ(c->GetKnotCount(), 2);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(c->MakeDefaultCurve(3));
  }
  EXPECT_EQ(c->GetKnot(0)->rightTangent, Vector(0.75, 0, 0));
  for (const Int n : {1, 2})
  {
    host::ScopedAllocationFailure fail(n);
    EXPECT_EQ(c->Clone(), nullptr) << n;
  }
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(SplineData::Alloc(), nullptr);
  }
}

TEST(SplineData, StreamsItsKnotsAndRefusesAnythingElse)
{
  std::unique_ptr<SplineData> a = MakeCurve(Curves()[3]);
  a->GetKnot(2)->flags = 3;
  HyperFile out;
  ASSERT_TRUE(a->WriteData(&out));
  EXPECT_EQ(out.GetCount(), 2 + 3 * 4);
  HyperFile in(out.GetValues());
  std::unique_ptr<SplineData> b = SplineData::Alloc();
  ASSERT_TRUE(b->ReadData(&in, 0));
  EXPECT_TRUE(a->IsEqual(*b));

  const std::vector<std::vector<GeData>> bad = {
    {},
    {GeData(Int32(2)), GeData(Int32(0))},                     // another stream version
    {GeData(Int32(1)), GeData(Int32(-1))},                    // a negative count
    {GeData(Int32(1)), GeData(Int32(1000000000))},            // more knots than the stream holds
    {GeData(Int32(1)), GeData(Int32(1)), GeData(Vector()), GeData(Int32(0)), GeData(Vector())},
    {GeData(Int32(1)), GeData(Int32(1)), GeData(Vector()), GeData(0.0), GeData(Vector()), GeData(Vector())},
  };
  for (std::size_t i = 0; i < bad.size(); ++i)
  {
    HyperFile hf(bad[i]);
    EXPECT_FALSE(b->ReadData(&hf, 0)) << i;
    EXPECT_TRUE(a->IsEqual(*b)) << i;
  }
}

TEST(SplineData, RoundTripsThroughSceneFiles)
{
  host::ResetSceneState();
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* obj = BaseObject::Alloc(NULL_OBJECT);
  ASSERT_TRUE(doc && obj && doc->InsertObject(obj, nullptr));
  std::unique_ptr<SplineData> curve = MakeCurve(Curves()[1]);
  curve->GetKnot(3)->flags = 2;
  obj->GetDataInstanceRef().SetData(10001, GeData(*curve));

  Result<String> text = host::SaveDocumentToText(doc, "curve.json");
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetMessage();
  EXPECT_NE(text.GetValue().GetStd().find("\"type\": 1009060"), std::string::npos) << text.GetValue().GetStd();
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(text.GetValue(), "curve.json");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage();
  const auto* back = static_cast<const SplineData*>(
    loaded.GetValue()->GetFirstObject()->GetDataInstanceRef().GetCustomData(10001, CUSTOMDATATYPE_SPLINE));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(curve->IsEqual(*back));

  // Written by hand as its knots.
  const char* handWritten = R"({"format": "ogx-scene", "version": 1, "objects": [{"type": 5140, "params": {"7":
    {"Custom": {"type": 1009060, "data": [{"Int32": 1}, {"Int32": 2},
      {"Vector": [0, 0, 0]}, {"Int32": 0}, {"Vector": [0, 0, 0]}, {"Vector": [0.5, 0, 0]},
      {"Vector": [1, 1, 0]}, {"Int32": 0}, {"Vector": [-0.5, 0, 0]}, {"Vector": [0, 0, 0]}]}}}}]})";
  Result<BaseDocument*> hand = host::LoadDocumentFromText(String(handWritten), "hand.json");
  ASSERT_TRUE(hand.IsOk()) << hand.GetError().GetMessage();
  const auto* emphasize = static_cast<const SplineData*>(
    hand.GetValue()->GetFirstObject()->GetDataInstanceRef().GetCustomData(7, CUSTOMDATATYPE_SPLINE));
  ASSERT_NE(emphasize, nullptr);
  ASSERT_EQ(emphasize->GetKnotCount(), 2);
  EXPECT_EQ(emphasize->GetKnot(0)->rightTangent, Vector(0.5, 0, 0));
  EXPECT_EQ(emphasize->GetKnot(1)->leftTangent, Vector(-0.5, 0, 0));

  BaseDocument::Free(hand.GetValue());
  BaseDocument::Free(loaded.GetValue());
  BaseDocument::Free(doc);
  host::ResetSceneState();
}
