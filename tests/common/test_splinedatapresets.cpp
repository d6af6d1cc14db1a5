#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/splines/splinedata.h"

namespace
{
constexpr Int32 CURVE_ID = 10001;

struct Knot
{
  Float x, y;
  Vector left, right;
};

struct PresetCase
{
  Int32 value;
  std::vector<Knot> knots;
};

// Every preset written out knot by knot (tangents not set by a preset are the zero of a new knot).
const std::vector<PresetCase>& Presets()
{
  static const std::vector<PresetCase> cases = {
    {0, {{0, 0, {}, {}}, {1, 1, {}, {}}}},
    {1, {{0, 0, {}, {}}, {1, 1, {-0.5, 0, 0}, {}}}},
    {2, {{0, 0, {}, {0.5, 0, 0}}, {1, 1, {}, {}}}},
    {3, {{0, 0, {}, {}}, {0.45, 0.5, {-0.1, 0, 0}, {0.1, 0, 0}}, {0.55, 0.5, {-0.1, 0, 0}, {0.1, 0, 0}}, {1, 1, {}, {}}}},
    {4, {{0, 0, {}, {0.5, 0, 0}}, {1, 1, {-0.5, 0, 0}, {}}}},
    {5,
     {{0, 0, {}, {}},
      {0.25, 0.25, {-0.15, 0, 0}, {0.15, 0, 0}},
      {0.5, 0.5, {-0.15, 0, 0}, {0.15, 0, 0}},
      {0.75, 0.75, {-0.15, 0, 0}, {0.15, 0, 0}},
      {1, 1, {}, {}}}},
    {6,
     {{0, 0, {}, {}},
      {0.2, 0.2, {-0.1, 0, 0}, {0.1, 0, 0}},
      {0.4, 0.4, {-0.1, 0, 0}, {0.1, 0, 0}},
      {0.6000000000000001, 0.6000000000000001, {-0.1, 0, 0}, {0.1, 0, 0}},
      {0.8, 0.8, {-0.1, 0, 0}, {0.1, 0, 0}},
      {1, 1, {}, {}}}},
    {7, {{0, 0, {}, {0.2, 0, 0}}, {0.5, 0.5, {-0.2, 0, 0}, {0.2, 0, 0}}, {1, 0, {-0.2, 0, 0}, {}}}},
    {8, {{0, 0, {}, {0.2, 0, 0}}, {0.5, 0.5, {-0.2, 0.3, 0}, {0.2, 0.3, 0}}, {1, 0, {-0.2, 0, 0}, {}}}},
    {9, {{0, 0, {}, {0.75, 0, 0}}, {1, 1, {-0.1, 0, 0}, {}}}},
    {10, {{0, 0, {}, {}}, {0.5, 0.5, {-0.2, 0, 0}, {0.2, 0, 0}}, {1, 1, {}, {}}}},
    {11, {{0, 0.5, {}, {0.2, -0.2, 0}}, {0.5, 0.2, {-0.2, -0.3, 0}, {0.2, -0.3, 0}}, {1, 0.5, {-0.2, -0.3, 0}, {}}}},
    {12, {{0, 0, {}, {0.25, 0, 0}}, {1, 1, {}, {}}}},
  };
  return cases;
}

// A container holding a curve that is not any preset, under CURVE_ID.
BaseContainer ContainerWithCurve()
{
  std::unique_ptr<SplineData> curve = SplineData::Alloc();
  curve->InsertKnot(0.1, 0.9, 3);
  curve->GetKnot(0)->leftTangent = Vector(1, 2, 3);
  curve->InsertKnot(0.3, 0.2);
  curve->InsertKnot(0.7, 0.4);
  BaseContainer bc;
  bc.SetData(CURVE_ID, GeData(std::move(curve)));
  return bc;
}

const SplineData& Curve(const BaseContainer& bc)
{
  return *static_cast<const SplineData*>(bc.GetCustomData(CURVE_ID, CUSTOMDATATYPE_SPLINE));
}

void ExpectKnots(const SplineData& curve, const std::vector<Knot>& knots, const char* what)
{
  ASSERT_EQ(curve.GetKnotCount(), static_cast<Int32>(knots.size())) << what;
  for (std::size_t i = 0; i < knots.size(); ++i)
  {
    const SplineKnot* k = curve.GetKnot(static_cast<Int32>(i));
    EXPECT_EQ(k->position, Vector(knots[i].x, knots[i].y, 0.0)) << what << " knot " << i;
    EXPECT_EQ(k->leftTangent, knots[i].left) << what << " knot " << i;
    EXPECT_EQ(k->rightTangent, knots[i].right) << what << " knot " << i;
    EXPECT_EQ(k->flags, 0) << what << " knot " << i;
  }
}
} // namespace

TEST(SplineDataPresets, EveryPresetHasItsKnotsAndTangentsAndApplyingTwiceChangesNothing)
{
  for (const PresetCase& c : Presets())
  {
    BaseContainer bc = ContainerWithCurve();
    const String name = SplineDataPresetToString(c.value);
    ASSERT_TRUE(ApplySplineDataPreset(bc, CURVE_ID, static_cast<SPLINEDATAPRESET>(c.value)).IsOk()) << name.GetStd();
    ExpectKnots(Curve(bc), c.knots, name.GetStd().c_str());
    const BaseContainer once = bc;
    ASSERT_TRUE(ApplySplineDataPreset(bc, CURVE_ID, static_cast<SPLINEDATAPRESET>(c.value)).IsOk());
    EXPECT_TRUE(bc == once) << name.GetStd();
  }
  // TERRACE_2's knots are 0.2 x the knot number in double precision: the last is exactly 1.
  BaseContainer bc = ContainerWithCurve();
  ASSERT_TRUE(ApplySplineDataPreset(bc, CURVE_ID, SPLINEDATAPRESET::TERRACE_2).IsOk());
  EXPECT_EQ(Curve(bc).GetKnot(3)->position.x, 0.2 * 3.0);
  EXPECT_EQ(Curve(bc).GetKnot(5)->position.x, 1.0);
}

TEST(SplineDataPresets, ValuesThatAreNoPresetGiveTheLinearCurve)
{
  for (const Int32 value : {999, 13, 100, -1, INT32_MIN})
  {
    BaseContainer bc = ContainerWithCurve();
    ASSERT_TRUE(ApplySplineDataPreset(bc, CURVE_ID, static_cast<SPLINEDATAPRESET>(value)).IsOk()) << value;
    ExpectKnots(Curve(bc), Presets()[0].knots, "no preset");
  }
}

TEST(SplineDataPresets, ShapesOfTheCurves)
{
  // CRATERS alone starts above 0; DUNES and DUNES_2 end at 0; every other preset runs from 0 to 1.
  for (const PresetCase& c : Presets())
  {
    BaseContainer bc = ContainerWithCurve();
    ASSERT_TRUE(ApplySplineDataPreset(bc, CURVE_ID, static_cast<SPLINEDATAPRESET>(c.value)).IsOk());
    const SplineData& curve = Curve(bc);
    EXPECT_EQ(curve.Evaluate(0.0).y, c.value == 11 ? 0.5 : 0.0) << c.value;
    EXPECT_EQ(curve.Evaluate(1.0).y, c.value == 11 ? 0.5 : (c.value == 7 || c.value == 8) ? 0.0 : 1.0) << c.value;
    for (int i = 0; i <= 100; ++i)
    {
      const Float y = curve.Evaluate(i / 100.0).y;
      EXPECT_GE(y, 0.0) << c.value;
      EXPECT_LE(y, 1.0) << c.value;
    }
  }
}

TEST(SplineDataPresets, MissingCurveFailsAndChangesNothing)
{
  BaseContainer bc;
  bc.SetFloat(CURVE_ID, 2.0);
  const BaseContainer before = bc;
  for (const Int32 id : {CURVE_ID, 4})
  {
    Result<void> r = ApplySplineDataPreset(bc, id, SPLINEDATAPRESET::PLATEAU);
    ASSERT_TRUE(r.IsError()) << id;
    EXPECT_EQ(r.GetError().GetMessage(), String("Could not get SplineData!"));
    EXPECT_TRUE(bc == before);
  }
}

TEST(SplineDataPresets, KnotsThatCannotBeInsertedFailTheCall)
{
  for (const SPLINEDATAPRESET preset : {SPLINEDATAPRESET::PLATEAU, SPLINEDATAPRESET::LINEAR})
  {
    BaseContainer bc = ContainerWithCurve();
    Result<void> r = OK;
    {
      host::ScopedAllocationFailure fail(1);
      r = ApplySplineDataPreset(bc, CURVE_ID, preset);
    }
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
}
