#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/core/alloc.h"
#include "host/noise/noise.h"
#include "host/scene/description.h"
#include "host/scene/gedata.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "object/terraindistortion.h"
#include "support/reference_distortion.h"
#include "support/test_support.h"

namespace
{

BaseContainer EnabledGroup(Float amount, Float scale, Float direction, const Vector& offset)
{
  BaseContainer bc;
  InitDistortionParameters(bc);
  bc.SetBool(2001, true);
  bc.SetFloat(2002, amount);
  bc.SetFloat(2003, scale);
  bc.SetFloat(2004, direction);
  bc.SetVector(2007, offset);
  return bc;
}

const Vector SAMPLE_POSITIONS[] = {
  {0.0, 0.0, 0.0}, {250.0, 0.0, -250.0}, {-13.25, 0.0, 77.5}, {1234.5, 40.0, -987.0}, {-0.001, -5.0, 0.002},
};
} // namespace

TEST(TerrainDistortion, InitWritesTheDefaultsInOrder)
{
  BaseContainer bc;
  InitDistortionParameters(bc);
  const Int32 order[] = {2001, 2002, 2003, 2004, 2005, 2007, 2006};
  ASSERT_EQ(bc.GetCount(), 7);
  for (Int32 i = 0; i < 7; ++i)
    EXPECT_EQ(bc.GetIndexId(i), order[i]) << i;
  EXPECT_EQ(bc.GetType(2001), DA_LONG);
  EXPECT_FALSE(bc.GetBool(2001, true));
  EXPECT_EQ(bc.GetType(2002), DA_REAL);
  EXPECT_EQ(bc.GetFloat(2002), 1.0);
  EXPECT_EQ(bc.GetFloat(2003), 1.0);
  EXPECT_EQ(bc.GetType(2004), DA_REAL);
  EXPECT_EQ(bc.GetFloat(2004, -1.0), 0.0);
  EXPECT_FALSE(bc.GetBool(2005, true));
  EXPECT_FALSE(bc.GetBool(2006, true));
  EXPECT_EQ(bc.GetType(2007), DA_VECTOR);
  EXPECT_EQ(bc.GetVector(2007, Vector(1.0)), Vector());
}

TEST(TerrainDistortion, EnablingFollowsTheSwitch)
{
  BaseContainer bc;
  InitDistortionParameters(bc);
  for (const Bool on : {false, true})
  {
    bc.SetBool(2001, on);
    EXPECT_TRUE(GetDistortionDEnabling(bc, 2001));
    for (Int32 id = 2002; id <= 2007; ++id)
      EXPECT_EQ(GetDistortionDEnabling(bc, id), on) << id;
    for (const Int32 other : {2000, 2008, 1001, 10001, 0})
      EXPECT_TRUE(GetDistortionDEnabling(bc, other)) << other;
  }
  // A container without the switch reads it as off.
  EXPECT_FALSE(GetDistortionDEnabling(BaseContainer(), 2004));
  EXPECT_TRUE(GetDistortionDEnabling(BaseContainer(), 2001));
}

TEST(TerrainDistortion, DirtyIdsAreAppendedInOrder)
{
  BaseArray<Int32> ids;
  ASSERT_TRUE(ids.Append(42).IsOk());
  ASSERT_TRUE(GetDistortionParameterIds(ids).IsOk());
  const std::vector<Int32> expected = {42, 2001, 2002, 2003, 2004, 2005, 2007, 2006};
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), expected);
}

TEST(TerrainDistortion, DirtyIdsStopAtTheFirstFailedAppend)
{
  for (Int n = 1; n <= 7; ++n)
  {
    BaseArray<Int32> ids;
    Result<void> res;
    {
      host::ScopedAllocationFailure fail(n);
      res = GetDistortionParameterIds(ids);
    }
    ASSERT_TRUE(res.IsError()) << n;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    EXPECT_EQ(ids.GetCount(), n - 1) << n;
  }
}

TEST(TerrainDistortion, SettingsAreReadAndScaled)
{
  BaseContainer bc;
  InitDistortionParameters(bc);
  bc.SetBool(2001, true);
  bc.SetFloat(2002, 0.5);
  bc.SetFloat(2003, 2.0);
  bc.SetFloat(2004, 0.3);
  bc.SetBool(2005, true);
  bc.SetBool(2006, true);
  bc.SetVector(2007, Vector(100.0, -50.0, 3.0));
  const DistortionSettings s = ReadDistortionSettings(bc);
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.amount, 100.0);
  EXPECT_EQ(s.frequency, 1.0 / 150.0);
  EXPECT_TRUE(s.reserved);
  EXPECT_EQ(s.sinAngle, std::sin(0.3));
  EXPECT_EQ(s.cosAngle, std::cos(0.3));
  EXPECT_TRUE(s.operatorSpace);
  EXPECT_EQ(s.offset, Vector(1.0, -0.5, 0.03));

  bc.SetFloat(2003, 0.0);
  EXPECT_EQ(ReadDistortionSettings(bc).frequency, 0.0);

  // Missing values read as the defaults.
  const DistortionSettings d = ReadDistortionSettings(BaseContainer());
  EXPECT_FALSE(d.enabled);
  EXPECT_EQ(d.amount, 200.0);
  EXPECT_EQ(d.frequency, 1.0 / 75.0);
  EXPECT_EQ(d.sinAngle, 0.0);
  EXPECT_EQ(d.cosAngle, 1.0);
  EXPECT_FALSE(d.operatorSpace);
  EXPECT_EQ(d.offset, Vector());
}

TEST(TerrainDistortion, OffOrZeroAmountSamplesNothing)
{
  struct Case
  {
    const char* name;
    Bool enabled;
    Float amount;
  };
  for (const Case& c : {Case{"off", false, 1.0}, Case{"amount 0", true, 0.0}, Case{"off and amount 0", false, 0.0}})
  {
    BaseContainer bc = EnabledGroup(c.amount, 1.0, 0.7, Vector(5.0, 6.0, 7.0));
    bc.SetBool(2001, c.enabled);
    const DistortionSettings s = ReadDistortionSettings(bc);
    host::ScopedHostNoiseCounter counter;
    for (const Vector& p : SAMPLE_POSITIONS)
      EXPECT_TRUE(Same(ApplyDistortion(s, p), p)) << c.name;
    EXPECT_EQ(counter.GetCount(), 0) << c.name;
  }
}

TEST(TerrainDistortion, MatchesTheReferenceWithTwoSamplesPerPosition)
{
  struct Case
  {
    const char* name;
    Float amount, scale, direction;
    Vector offset;
  };
  const Case cases[] = {
    {"defaults switched on", 1.0, 1.0, 0.0, Vector()},
    {"turned", 0.35, 0.4, 0.9, Vector(120.0, -30.0, 45.0)},
    {"negative amount", -2.0, 3.0, -2.5, Vector(-7.0, 0.0, 11.0)},
    {"backwards", 1.5, 0.05, std::numbers::pi, Vector(0.0, 800.0, 0.0)},
  };
  for (const Case& c : cases)
  {
    const BaseContainer bc = EnabledGroup(c.amount, c.scale, c.direction, c.offset);
    const DistortionSettings s = ReadDistortionSettings(bc);
    std::vector<Vector> got;
    {
      host::ScopedHostNoiseCounter counter;
      for (const Vector& p : SAMPLE_POSITIONS)
        got.push_back(ApplyDistortion(s, p));
      // Two samples per position, no more.
      EXPECT_EQ(counter.GetCount(), 2 * static_cast<Int>(std::size(SAMPLE_POSITIONS))) << c.name;
    }
    for (std::size_t k = 0; k < got.size(); ++k)
    {
      const Vector& p = SAMPLE_POSITIONS[k];
      const Vector want = ReferenceDistortion(bc, p);
      EXPECT_NEAR(got[k].x, want.x, 1e-9) << c.name;
      EXPECT_TRUE(Same(got[k].y, p.y)) << c.name;
      EXPECT_NEAR(got[k].z, want.z, 1e-9) << c.name;
      // For noise in [0, 1] the shift is at most half the amount along each axis.
      const Float half = std::abs(c.amount) * 100.0;
      EXPECT_LE(std::abs(got[k].x - p.x), half * std::abs(std::sin(c.direction)) + 1e-9) << c.name;
      EXPECT_LE(std::abs(got[k].z - p.z), half * std::abs(std::cos(c.direction)) + 1e-9) << c.name;
    }
  }
}

TEST(TerrainDistortion, DirectionZeroShiftsOnlyZAndQuarterTurnOnlyX)
{
  const DistortionSettings along = ReadDistortionSettings(EnabledGroup(1.0, 1.0, 0.0, Vector(3.0, 4.0, 5.0)));
  const DistortionSettings across =
    ReadDistortionSettings(EnabledGroup(1.0, 1.0, std::numbers::pi / 2.0, Vector(3.0, 4.0, 5.0)));
  Int movedZ = 0, movedX = 0;
  for (const Vector& p : SAMPLE_POSITIONS)
  {
    const Vector a = ApplyDistortion(along, p);
    EXPECT_TRUE(Same(a.x, p.x));
    EXPECT_TRUE(Same(a.y, p.y));
    movedZ += a.z != p.z;

    // cos(pi/2) is 6e-17 in doubles, not 0: the Z shift is below a rounding step of a terrain unit.
    const Vector b = ApplyDistortion(across, p);
    EXPECT_NEAR(b.z, p.z, 1e-12 * (1.0 + std::abs(p.z)));
    EXPECT_TRUE(Same(b.y, p.y));
    movedX += b.x != p.x;
  }
  EXPECT_GT(movedZ, 0);
  EXPECT_GT(movedX, 0);
}

TEST(TerrainDistortion, ScaleZeroShiftsEveryPositionAlike)
{
  const Vector offset(120.0, 70.0, -40.0);
  const BaseContainer bc = EnabledGroup(1.0, 0.0, 0.6, offset);
  const DistortionSettings s = ReadDistortionSettings(bc);
  // Both samples at fixed points: q1 = o and q2 = (o.x, 2 o.y + 10, o.z).
  const Vector o = offset * 0.01;
  const Float s1 = HostNoise3D(o, 0.0);
  const Float s2 = HostNoise3D(Vector(o.x, o.y + 10.0 + o.y, o.z), 0.0);
  const Float dx = (s1 * 200.0 - 100.0) * std::sin(0.6);
  const Float dz = (s2 * 200.0 - 100.0) * std::cos(0.6);
  for (const Vector& p : SAMPLE_POSITIONS)
  {
    const Vector got = ApplyDistortion(s, p);
    EXPECT_TRUE(Same(got.x, p.x + dx));
    EXPECT_TRUE(Same(got.z, p.z + dz));
  }
}

TEST(TerrainDistortion, SecondSampleIgnoresThePositionsHeight)
{
  // The Z shift comes from a sample whose height is fixed by the offset alone, so two positions that
  // differ only in Y get the same Z; their X shifts (first sample, which follows Y) differ.
  const DistortionSettings s = ReadDistortionSettings(EnabledGroup(1.0, 0.2, 0.8, Vector(10.0, 20.0, 30.0)));
  const Vector low = ApplyDistortion(s, Vector(33.0, 0.0, -21.0));
  const Vector high = ApplyDistortion(s, Vector(33.0, 170.0, -21.0));
  EXPECT_TRUE(Same(low.z, high.z));
  EXPECT_NE(low.x, high.x);
}

TEST(TerrainDistortion, DescriptionRegistersAndMatchesTheDefaults)
{
  host::ResetDescriptions();
  host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
  ASSERT_TRUE(RegisterDistortionDescription());
  const auto log = host::GetDescriptionRegistrationLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].id, 1055057);
  EXPECT_EQ(log[0].name, String("DterrainDistortion"));
  // Registered once: a second registration of the id is refused.
  EXPECT_FALSE(RegisterDistortionDescription());

  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  ASSERT_TRUE(description->LoadDescription(ID_OGX_TERRAINDISTORTION_DESCRIPTION));
  BaseContainer defaults;
  InitDistortionParameters(defaults);
  for (Int32 id = 2001; id <= 2007; ++id)
  {
    const BaseContainer* entry = static_cast<const Description*>(description)->GetParameterContainer(ParameterId(id));
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(description->FindEntry(id)->parent, TERRAINDISTORTION_GROUP) << id;
    const GeData& want = defaults.GetData(id);
    const GeData& have = entry->GetData(DESC_DEFAULT);
    if (want.GetType() == DA_VECTOR)
      EXPECT_EQ(have.GetVector(), want.GetVector()) << id;
    else if (want.GetType() == DA_REAL)
      EXPECT_EQ(have.GetFloat(), want.GetFloat()) << id;
    else
      EXPECT_EQ(have.GetInt32(), want.GetInt32()) << id;
  }
  Description::Free(description);

  // The start-up stops when the host refuses the registration.
  host::ResetDescriptions();
  host::FailNthDescriptionRegistration(1);
  EXPECT_FALSE(RegisterDistortionDescription());
  host::ResetDescriptions();
  host::SetModuleDirectory(Url());
}
