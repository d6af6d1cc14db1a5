#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/core/thread.h"
#include "host/gui/icons.h"
#include "host/noise/noise.h"
#include "host/scene/hierarchy.h"
#include "object/operator_noise.h"
#include "object/terraindistortion.h"
#include "support/reference_distortion.h"
#include "support/test_operators.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
// ---------------------------------------------------------------------------------------------------
// The computation written out from its definition, independently of the module's code.

// The seed drawn from a host value: the standard library's canonical draw of 53 bits from an MT19937,
// then the mapping to 1..5000 with every step in single precision (volatile keeps each rounding).
Int32 HandSeed(Int32 hostValue)
{
  std::mt19937 engine(static_cast<std::uint32_t>(hostValue));
  const double u = std::generate_canonical<double, 53>(engine);
  volatile float single = static_cast<float>(u);
  volatile float product = single * 4999.0f;
  volatile float sum = product + 1.0f;
  return static_cast<Int32>(sum);
}

// Carries a terrain-space point into the operator's space one transform after the other (the terrain
// matrix when world space is on, then the inverse parent matrix, then the inverse local matrix), rather
// than through one product matrix.
struct Placement
{
  Matrix local;
  Matrix parentInverse;
  Matrix terrain;
  Bool worldSpace = false;

  Vector Apply(const Vector& p) const
  {
    Vector q = worldSpace ? terrain * p : p;
    q = parentInverse * q;
    return ~local * q;
  }
};

// The sample position of cell (i, j) of a width x height grid over sizeX x sizeY.
Vector ReferencePosition(const BaseContainer& bc, const Placement& placement, Int i, Int j, Int width, Int height,
                         Float sizeX, Float sizeY)
{
  const Float x = (static_cast<Float>(i) / static_cast<Float>(width - 1)) * sizeX - sizeX * 0.5;
  const Float z = sizeY * 0.5 - (static_cast<Float>(j) / static_cast<Float>(height - 1)) * sizeY;
  Vector p(x, 0.0, z);
  const Bool operatorSpace = bc.GetBool(2006);
  if (operatorSpace)
    p = placement.Apply(p);
  p = ReferenceDistortion(bc, p);
  p = p + bc.GetVector(10007);
  if (!operatorSpace)
    p = placement.Apply(p);
  const Float scale = bc.GetFloat(10005);
  const Float s = scale == 0.0 ? 0.0 : 0.01 / scale;
  return Vector(p.x * s, p.y * s * 0.1, p.z * s);
}

// A generator set up as the operator's type asks.
NoiseGenerator* ReferenceGenerator(Int32 seed, Int32 type, Float octaveValue)
{
  NoiseGenerator* g = NoiseLibrary::Create(seed);
  if (type == 64)
  {
    EXPECT_TRUE(NoiseLibrary::InitFbm(g, 20, 2.2, 0.8));
  }
  else if (type == 3 || type == 8)
  {
    EXPECT_TRUE(NoiseLibrary::InitFbm(g, 12, octaveValue * 0.19 + 1.0, 0.95));
  }
  return g;
}

Float ReferenceValue(const NoiseGenerator* g, const BaseContainer& bc, const Vector& p)
{
  const Int32 type = bc.GetInt32(10003);
  const Float octaveValue = bc.GetFloat(10001);
  Float v;
  if (type == 64)
    v = NoiseLibrary::RidgedMultifractal(g, p, 0.0, octaveValue, 1.0, 1.0, 1023) * 0.4;
  else
  {
    const Bool typeFlag = !(type == 8 || type == 27 || type == 28 || type == 29);
    const Float octaves = (type == 3 || type == 8) ? 5.0 : octaveValue;
    v = NoiseLibrary::Noise(g, type, typeFlag, p, 0.0, octaves, bc.GetBool(10002), 0.25, 0.25, 0);
  }
  return bc.GetBool(10009) ? 1.0 - v : v;
}

// The whole grid as the reference computes it, before any normalisation.
std::vector<Float> ReferenceGrid(const BaseContainer& bc, const Placement& placement, Int width, Int height,
                                 Float sizeX, Float sizeY)
{
  NoiseGenerator* g = ReferenceGenerator(bc.GetInt32(10004), bc.GetInt32(10003), bc.GetFloat(10001));
  std::vector<Float> cells;
  for (Int j = 0; j < height; ++j)
    for (Int i = 0; i < width; ++i)
      cells.push_back(ReferenceValue(g, bc, ReferencePosition(bc, placement, i, j, width, height, sizeX, sizeY)));
  NoiseLibrary::Free(g);
  return cells;
}

std::vector<Float> Cells(const Grid2D<Float>& g)
{
  return std::vector<Float>(g.cells.begin(), g.cells.end());
}

Bool SameCells(const std::vector<Float>& a, const std::vector<Float>& b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (!Same(a[k], b[k]))
      return false;
  return true;
}

// ---------------------------------------------------------------------------------------------------

class NoiseOperatorTest : public OperatorSceneTest
{
protected:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterDistortionDescription());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterNoiseOperator(21));
  }
  void TearDown() override
  {
    FreeIconSheets();
    host::ReleaseRandomSeedValue();
    OperatorSceneTest::TearDown();
  }

  // A noise operator under the terrain object with normalisation off (so raw values can be compared)
  // and a fixed seed.
  BaseObject* AddNoise(Int32 seed = 777)
  {
    BaseObject* op = AddOperator(ID_OGX_NOISEOPERATOR);
    if (op)
    {
      op->GetDataInstanceRef().SetBool(NOISEOPERATOR_NORMALIZE, false);
      op->GetDataInstanceRef().SetInt32(NOISEOPERATOR_SEED, seed);
    }
    return op;
  }

  // A context and terrain grid of (resX + 1) x (resZ + 1) cells over sizeX x sizeZ.
  void Shape(Int resX, Int resZ, Float sizeX, Float sizeZ)
  {
    InitEvaluationContext(context, resX, resZ, sizeX, sizeZ, 1.0, terrain, nullptr);
    ASSERT_TRUE(terrainGrid.Init(resX + 1, resZ + 1, sizeX, sizeZ).IsOk());
  }

  Result<void> Compute(BaseObject* op)
  {
    return OperatorData(op)->ComputeOperator(terrainGrid, op, doc, context);
  }

  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }

  std::vector<Float> Reference(BaseObject* op, const Placement& placement = {})
  {
    return ReferenceGrid(op->GetDataInstanceRef(), placement, terrainGrid.width, terrainGrid.height,
                         terrainGrid.sizeX, terrainGrid.sizeY);
  }

  EvaluationContext context;
  Grid2D<Float> terrainGrid;
};

Matrix Rotation(Float angle, const Vector& scale, const Vector& off)
{
  const Float c = std::cos(angle), s = std::sin(angle);
  return Matrix(off, Vector(c, 0.0, -s) * scale.x, Vector(0.0, 1.0, 0.0) * scale.y, Vector(s, 0.0, c) * scale.z);
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Registration and description

TEST_F(NoiseOperatorTest, RegistersAsAGeneratorWithItsIconAndDescription)
{
  ExpectRegisteredOperator({1054566, "Noise", TERRAINOPERATORFLAGS::TYPE_GENERATOR,
                            "Registered generator operator: Noise", "#$21Noise", "onoiseoperator", 64, 0});
}

TEST_F(NoiseOperatorTest, RegistrationFailsWithoutTheIconSheet)
{
  ReleaseRegistryEntries();
  host::ResetPlugins();
  FreeIconSheets();
  EXPECT_FALSE(RegisterNoiseOperator(21));
  EXPECT_EQ(g_operatorRegistry.GetCount(), 0);
  EXPECT_EQ(host::FindPlugin(ID_OGX_NOISEOPERATOR), nullptr);
}

TEST_F(NoiseOperatorTest, DescriptionHoldsTheOperatorTheBaseAndTheDistortion)
{
  BaseObject* op = AddNoise();
  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  ASSERT_TRUE(op->GetDescription(description, flags));
  for (const Int32 id : {1001, 1002, 1003, 3001, 1092, 2001, 2002, 2003, 2004, 2005, 2006, 2007, 10001, 10002, 10003,
                         10004, 10005, 10006, 10007, 10008, 10009})
    EXPECT_NE(description->FindEntry(id), nullptr) << id;

  // The type cycle offers every type of the noise library, under its number and with its name.
  const BaseContainer* typeEntry =
    static_cast<const Description*>(description)->GetParameterContainer(ParameterId(10003));
  ASSERT_NE(typeEntry, nullptr);
  const BaseContainer cycle = typeEntry->GetContainer(DESC_CYCLE);
  Int count = 0;
  const host::NoiseTypeInfo* types = host::GetNoiseTypes(count);
  ASSERT_EQ(cycle.GetCount(), count);
  for (Int k = 0; k < count; ++k)
    EXPECT_EQ(cycle.GetString(types[k].type), String(types[k].name)) << types[k].type;
  EXPECT_EQ(typeEntry->GetInt32(DESC_DEFAULT), 21);
  Description::Free(description);
}

// ---------------------------------------------------------------------------------------------------
// Parameters, flags, enabling, dirty ids

TEST_F(NoiseOperatorTest, InitWritesTheDefaultsThenTheDistortionThenTheSeed)
{
  host::ScopedRandomSeedValue fixed(4452);
  BaseObject* op = AddOperator(ID_OGX_NOISEOPERATOR);
  const BaseContainer& bc = op->GetDataInstanceRef();
  EXPECT_EQ(bc.GetFloat(10001), 5.0);
  EXPECT_FALSE(bc.GetBool(10002, true));
  EXPECT_EQ(bc.GetInt32(10003), 21);
  EXPECT_EQ(bc.GetInt32(10004), 1281);
  EXPECT_EQ(bc.GetFloat(10005), 1.0);
  EXPECT_TRUE(bc.GetBool(10006, false));
  EXPECT_EQ(bc.GetVector(10007, Vector(1.0)), Vector());
  EXPECT_FALSE(bc.GetBool(10008, true));
  EXPECT_FALSE(bc.GetBool(10009, true));
  EXPECT_EQ(bc.GetType(2002), DA_REAL);
  EXPECT_EQ(bc.GetFloat(2002), 1.0);

  const std::set<Int32> own = {10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008, 10009,
                               2001,  2002,  2003,  2004,  2005,  2006,  2007};
  std::vector<Int32> order;
  for (Int32 k = 0; k < bc.GetCount(); ++k)
    if (own.count(bc.GetIndexId(k)))
      order.push_back(bc.GetIndexId(k));
  const std::vector<Int32> expected = {10001, 10002, 10003, 10005, 10006, 10007, 10008, 10009,
                                       2001,  2002,  2003,  2004,  2005,  2007,  2006,  10004};
  EXPECT_EQ(order, expected);
  // A generator: the base gave it the generator blend defaults.
  EXPECT_EQ(bc.GetFloat(TERRAINOPERATOR_HEIGHT), 50.0);
}

TEST(NoiseSeed, MatchesTheHandComputation)
{
  // 4452: single precision gives 1281 where double precision would give 1280. 2180022: the draw
  // rounds to 1.0f, the only way to 5000.
  EXPECT_EQ(DrawDefaultNoiseSeed(4452), 1281);
  EXPECT_EQ(HandSeed(4452), 1281);
  EXPECT_EQ(DrawDefaultNoiseSeed(2180022), 5000);
  EXPECT_EQ(HandSeed(2180022), 5000);
  for (const Int32 v : {0, 1, -1, 123, 5489, 19782, 61592, 70637, INT32_MIN, INT32_MAX})
    EXPECT_EQ(DrawDefaultNoiseSeed(v), HandSeed(v)) << v;
  for (Int32 v = -3000; v <= 3000; ++v)
  {
    const Int32 seed = DrawDefaultNoiseSeed(v);
    ASSERT_EQ(seed, HandSeed(v)) << v;
    ASSERT_GE(seed, 1);
    ASSERT_LE(seed, 4999) << v;
  }
}

TEST(NoiseSeed, HostValueChangesBetweenCallsUnlessFixed)
{
  const Int32 a = GeGetRandomSeedValue();
  const Int32 b = GeGetRandomSeedValue();
  EXPECT_NE(a, b);
  {
    host::ScopedRandomSeedValue fixed(-17);
    EXPECT_EQ(GeGetRandomSeedValue(), -17);
    EXPECT_EQ(GeGetRandomSeedValue(), -17);
  }
  EXPECT_NE(GeGetRandomSeedValue(), GeGetRandomSeedValue());
}

TEST_F(NoiseOperatorTest, FlagsAddTheTerrainMatrixInWorldSpace)
{
  BaseObject* op = AddNoise();
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(op)), 22);
  op->GetDataInstanceRef().SetBool(NOISEOPERATOR_WORLDSPACE, true);
  EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(op)), 30);
  EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(nullptr)), 22);
}

TEST_F(NoiseOperatorTest, EnablingFollowsTheTypeAndTheDistortionSwitch)
{
  BaseObject* op = AddNoise();
  BaseContainer& bc = op->GetDataInstanceRef();
  const std::set<Int32> octaveTypes = {3, 7, 8, 12, 14, 20, 21, 23, 64};
  for (Int32 type = -2; type <= 70; ++type)
  {
    bc.SetInt32(NOISEOPERATOR_TYPE, type);
    EXPECT_EQ(op->GetDEnabling(DescID(10001), GeData()), octaveTypes.count(type) == 1) << type;
    EXPECT_EQ(op->GetDEnabling(DescID(10002), GeData()), type != 64) << type;
  }
  for (const Bool on : {false, true})
  {
    bc.SetBool(2001, on);
    EXPECT_TRUE(op->GetDEnabling(DescID(2001), GeData()));
    for (Int32 id = 2002; id <= 2007; ++id)
      EXPECT_EQ(op->GetDEnabling(DescID(id), GeData()), on) << id;
    for (const Int32 id : {10003, 10004, 10005, 10006, 10007, 10008, 10009})
      EXPECT_TRUE(op->GetDEnabling(DescID(id), GeData())) << id;
  }
}

TEST_F(NoiseOperatorTest, DirtyIdsListTheOperatorThenTheDistortion)
{
  BaseObject* op = AddNoise();
  BaseArray<Int32> ids;
  ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, op->GetDataInstanceRef()));
  const std::vector<Int32> expected = {10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008,
                                       10009, 2001,  2002,  2003,  2004,  2005,  2007,  2006};
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), expected);

  // A list that cannot grow: the error's text in the console, and false.
  for (const Int n : {1, 9, 10, 16})
  {
    host::ResetLogs();
    BaseArray<Int32> failing;
    Bool listed;
    {
      host::ScopedAllocationFailure fail(n);
      listed = OperatorData(op)->GetDirtyParameterIds(failing, op->GetDataInstanceRef());
    }
    EXPECT_FALSE(listed) << n;
    EXPECT_EQ(failing.GetCount(), n - 1) << n;
    EXPECT_EQ(host::Console().GetLast(), String("Array allocation failed!")) << n;
  }
}

TEST_F(NoiseOperatorTest, EveryOwnAndDistortionParameterRebuilds)
{
  Shape(4, 4, 20.0, 20.0);
  BaseObject* op = AddNoise();
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  BaseContainer& bc = op->GetDataInstanceRef();
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  data->SetRebuildFlag(true);
  ASSERT_TRUE(data->EvaluateOperator(terrainGrid, op, doc, context).IsOk());
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN);

  for (const Int32 id : {10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008, 10009, 2001, 2002, 2003, 2004, 2005,
                         2006, 2007})
  {
    const GeData before = bc.GetData(id);
    switch (before.GetType())
    {
      case DA_REAL: bc.SetFloat(id, before.GetFloat() + 1.0); break;
      case DA_VECTOR: bc.SetVector(id, before.GetVector() + Vector(1.0)); break;
      default: bc.SetInt32(id, before.GetInt32() == 0 ? 1 : before.GetInt32() + 1); break;
    }
    EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD) << id;
    bc.SetData(id, before);
  }
  // A blend parameter only blends again.
  bc.SetFloat(TERRAINOPERATOR_OPACITY, 0.5);
  EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REEVALUATE);
}

TEST_F(NoiseOperatorTest, WorldSpaceFollowsAMovedTerrainObject)
{
  Shape(4, 4, 20.0, 20.0);
  for (const Bool world : {false, true})
  {
    BaseObject* op = AddNoise();
    op->GetDataInstanceRef().SetBool(NOISEOPERATOR_WORLDSPACE, world);
    OGX::BaseTerrainOperatorData* data = OperatorData(op);
    EvaluationContext moved = context;
    // As the queue does: the dirty test, then the evaluation that records what it computed from.
    ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
    data->SetRebuildFlag(true);
    ASSERT_TRUE(data->EvaluateOperator(terrainGrid, op, doc, context).IsOk());
    moved.terrainMatrix.off = Vector(5.0, 0.0, 0.0);
    moved.terrainMatrixInverse = ~moved.terrainMatrix;
    EXPECT_EQ(data->GetDirtyState(op, doc, moved), world ? OPERATORDIRTY::REBUILD : OPERATORDIRTY::CLEAN) << world;
  }
}

// ---------------------------------------------------------------------------------------------------
// Sample positions and values

TEST_F(NoiseOperatorTest, OperatorAtTheOriginSamplesTheScaledCellPositions)
{
  // A grid that is not square, with sizes that differ, so a swapped axis shows.
  Shape(8, 5, 40.0, 25.0);
  struct Case
  {
    const char* name;
    Int32 type;
    Float octaves;
    Bool absolute;
    Float scale;
  };
  const Case cases[] = {
    {"fBm", 21, 5.0, false, 1.0},
    {"fBm, fractional octaves, absolute", 21, 2.5, true, 0.3},
    {"spectral fBm ignores the octave count", 3, 7.0, false, 1.0},
    {"spectral ridges take the type flag false", 8, 2.0, false, 2.5},
    {"blocks", 27, 5.0, false, 0.05},
    {"interference", 29, 5.0, true, 1.0},
    {"value, no octaves", 1, 9.0, false, 1.0},
    {"ridged multifractal", 64, 4.0, false, 0.7},
    {"an unknown type", 200, 3.0, false, 1.0},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddNoise(4242);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(NOISEOPERATOR_TYPE, c.type);
    bc.SetFloat(NOISEOPERATOR_OCTAVES, c.octaves);
    bc.SetBool(NOISEOPERATOR_ABSOLUTE, c.absolute);
    bc.SetFloat(NOISEOPERATOR_SCALE, c.scale);
    ASSERT_TRUE(Compute(op).IsOk()) << c.name;
    const Grid2D<Float>& out = Output(op);
    ASSERT_EQ(out.width, 9);
    ASSERT_EQ(out.height, 6);
    EXPECT_EQ(out.sizeX, 40.0);
    EXPECT_EQ(out.sizeY, 25.0);
    EXPECT_FALSE(out.minMaxValid);

    // At the origin: the sample of cell (i, j) is (x s, 0, z s), x across the columns from -sizeX/2,
    // z from +sizeY/2 at row 0.
    NoiseGenerator* g = ReferenceGenerator(4242, c.type, c.octaves);
    const Float s = 0.01 / c.scale;
    for (Int j = 0; j < 6; ++j)
      for (Int i = 0; i < 9; ++i)
      {
        const Float x = (static_cast<Float>(i) / 8.0) * 40.0 - 20.0;
        const Float z = 12.5 - (static_cast<Float>(j) / 5.0) * 25.0;
        const Float want = ReferenceValue(g, bc, Vector(x * s, 0.0, z * s));
        ASSERT_TRUE(Same(out.cells[j * 9 + i], want)) << c.name << " cell " << i << "," << j;
      }
    NoiseLibrary::Free(g);
  }
}

TEST_F(NoiseOperatorTest, SpectralTypesPassFiveOctavesAndUseTheOctaveValueForTheSpectrum)
{
  Shape(6, 6, 30.0, 30.0);
  for (const Int32 type : {3, 8})
  {
    BaseObject* op = AddNoise(99);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(NOISEOPERATOR_TYPE, type);
    bc.SetFloat(NOISEOPERATOR_OCTAVES, 2.0);
    ASSERT_TRUE(Compute(op).IsOk());
    const std::vector<Float> two = Cells(Output(op));
    bc.SetFloat(NOISEOPERATOR_OCTAVES, 9.0);
    ASSERT_TRUE(Compute(op).IsOk());
    const std::vector<Float> nine = Cells(Output(op));
    // The value changes the spectrum, so the noise changes ...
    EXPECT_FALSE(SameCells(two, nine)) << type;
    // ... while the octave count handed to the noise stays 5: passing 9 would give something else.
    NoiseGenerator* g = ReferenceGenerator(99, type, 9.0);
    const Vector p(0.013, 0.0, -0.07);
    const Bool typeFlag = type != 8;
    EXPECT_NE(NoiseLibrary::Noise(g, type, typeFlag, p, 0.0, 9.0, false, 0.25, 0.25, 0),
              NoiseLibrary::Noise(g, type, typeFlag, p, 0.0, 5.0, false, 0.25, 0.25, 0));
    // And type 8's flag matters to the library, so the reference's false is checked too.
    if (type == 8)
    {
      EXPECT_NE(NoiseLibrary::Noise(g, 8, true, p, 0.0, 5.0, false, 0.25, 0.25, 0),
                NoiseLibrary::Noise(g, 8, false, p, 0.0, 5.0, false, 0.25, 0.25, 0));
    }
    NoiseLibrary::Free(g);
    EXPECT_TRUE(SameCells(nine, Reference(op))) << type;
  }
}

TEST_F(NoiseOperatorTest, ScaleZeroSamplesTheOriginEverywhere)
{
  Shape(6, 4, 50.0, 30.0);
  BaseObject* op = AddNoise(5);
  BaseContainer& bc = op->GetDataInstanceRef();
  bc.SetFloat(NOISEOPERATOR_SCALE, 0.0);
  bc.SetVector(NOISEOPERATOR_OFFSET, Vector(12.0, 30.0, -4.0));
  op->SetMl(Rotation(0.4, Vector(2.0, 1.0, 0.5), Vector(3.0, 1.0, 2.0)));
  ASSERT_TRUE(Compute(op).IsOk());
  NoiseGenerator* g = ReferenceGenerator(5, 21, 5.0);
  const Float want = NoiseLibrary::Noise(g, 21, true, Vector(), 0.0, 5.0, false, 0.25, 0.25, 0);
  NoiseLibrary::Free(g);
  for (const Float v : Output(op).cells)
    ASSERT_TRUE(Same(v, want));

  // Normalising a flat grid leaves it as it is.
  bc.SetBool(NOISEOPERATOR_NORMALIZE, true);
  ASSERT_TRUE(Compute(op).IsOk());
  for (const Float v : Output(op).cells)
    ASSERT_TRUE(Same(v, want));
}

TEST_F(NoiseOperatorTest, PlacementCarriesCellsIntoTheOperatorsSpace)
{
  Shape(10, 7, 60.0, 35.0);
  struct Case
  {
    const char* name;
    Matrix local;
    Matrix parent;
    Matrix terrainMatrix;
    Bool worldSpace;
    Vector offset;
  };
  const Matrix identity;
  const Case cases[] = {
    {"moved", Rotation(0.0, Vector(1.0), Vector(7.0, 3.0, -11.0)), identity, identity, false, Vector()},
    {"turned and scaled, with an offset", Rotation(0.7, Vector(2.0, 3.0, 0.5), Vector(-4.0, 0.0, 9.0)), identity,
     identity, false, Vector(13.0, 20.0, -6.0)},
    {"inside a group", Rotation(-0.3, Vector(1.0), Vector(1.0, 2.0, 3.0)),
     Rotation(1.1, Vector(1.5, 1.0, 1.5), Vector(-20.0, 5.0, 8.0)), identity, false, Vector(2.0, 0.0, 2.0)},
    {"world space ignores the terrain matrix when off", Rotation(0.2, Vector(1.0), Vector()), identity,
     Rotation(0.9, Vector(1.0), Vector(100.0, 10.0, -50.0)), false, Vector()},
    {"world space", Rotation(0.2, Vector(1.0), Vector()), Rotation(0.5, Vector(1.0), Vector(4.0, 0.0, 4.0)),
     Rotation(0.9, Vector(2.0, 1.0, 2.0), Vector(100.0, 10.0, -50.0)), true, Vector(1.0, 1.0, 1.0)},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddNoise(31);
    BaseContainer& bc = op->GetDataInstanceRef();
    op->SetMl(c.local);
    bc.SetVector(NOISEOPERATOR_OFFSET, c.offset);
    bc.SetBool(NOISEOPERATOR_WORLDSPACE, c.worldSpace);
    bc.SetFloat(NOISEOPERATOR_SCALE, 0.4);
    context.parentMatrix = c.parent;
    context.parentMatrixInverse = ~c.parent;
    context.terrainMatrix = c.terrainMatrix;
    context.terrainMatrixInverse = ~c.terrainMatrix;
    ASSERT_TRUE(Compute(op).IsOk()) << c.name;
    const Placement placement{c.local, ~c.parent, c.terrainMatrix, c.worldSpace};
    const std::vector<Float> want = Reference(op, placement);
    const std::vector<Float> got = Cells(Output(op));
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k)
      ASSERT_NEAR(got[k], want[k], 1e-9) << c.name << " cell " << k;
  }
}

TEST_F(NoiseOperatorTest, DistortionInTerrainSpaceOrOperatorSpace)
{
  Shape(12, 9, 80.0, 50.0);
  const Matrix local = Rotation(0.6, Vector(1.5, 1.0, 0.75), Vector(9.0, 0.0, -3.0));
  for (const Bool operatorSpace : {false, true})
  {
    BaseObject* op = AddNoise(8);
    BaseContainer& bc = op->GetDataInstanceRef();
    op->SetMl(local);
    bc.SetVector(NOISEOPERATOR_OFFSET, Vector(5.0, 2.0, -7.0));
    bc.SetBool(2001, true);
    bc.SetFloat(2002, 0.2);
    bc.SetFloat(2003, 0.3);
    bc.SetFloat(2004, 0.8);
    bc.SetVector(2007, Vector(40.0, 10.0, -20.0));
    bc.SetBool(2006, operatorSpace);
    {
      host::ScopedHostNoiseCounter counter;
      ASSERT_TRUE(Compute(op).IsOk());
      // Two solid-noise samples per cell.
      EXPECT_EQ(counter.GetCount(), 2 * Output(op).cellCount);
    }
    const Placement placement{local, Matrix(), Matrix(), false};
    const std::vector<Float> want = Reference(op, placement);
    const std::vector<Float> got = Cells(Output(op));
    for (std::size_t k = 0; k < got.size(); ++k)
      ASSERT_NEAR(got[k], want[k], 1e-9) << operatorSpace << " cell " << k;

    // The same operator without the distortion samples elsewhere, and makes no solid-noise call.
    bc.SetBool(2001, false);
    host::ScopedHostNoiseCounter counter;
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_EQ(counter.GetCount(), 0);
    EXPECT_FALSE(SameCells(Cells(Output(op)), got));
  }
}

// Rows far wider than the stretches the operator places its samples in, with the distortion and an
// offset, on all threads: every cell bit for bit the value of its own sample, placed step by step.
TEST_F(NoiseOperatorTest, WideRowsMatchTheCellByCellReferenceBitForBit)
{
  Shape(700, 3, 900.0, 40.0);
  for (const Int32 type : {21, 64, 12})
    for (const Bool distorted : {false, true})
    {
      BaseObject* op = AddNoise(55);
      BaseContainer& bc = op->GetDataInstanceRef();
      bc.SetInt32(NOISEOPERATOR_TYPE, type);
      bc.SetVector(NOISEOPERATOR_OFFSET, Vector(3.0, 0.0, -8.0));
      bc.SetBool(NOISEOPERATOR_INVERT, type == 12);
      bc.SetBool(2001, distorted);
      bc.SetFloat(2002, 0.3);
      ASSERT_TRUE(Compute(op).IsOk());
      const std::vector<Float> want = Reference(op);
      const std::vector<Float> got = Cells(Output(op));
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t k = 0; k < got.size(); ++k)
        ASSERT_TRUE(Same(got[k], want[k])) << "type " << type << " distorted " << distorted << " cell " << k;
    }
}

TEST_F(NoiseOperatorTest, InversionComesBeforeTheNormalisation)
{
  Shape(20, 20, 100.0, 100.0);
  BaseObject* op = AddNoise(1234);
  BaseContainer& bc = op->GetDataInstanceRef();
  ASSERT_TRUE(Compute(op).IsOk());
  const std::vector<Float> raw = Cells(Output(op));
  const auto [lo, hi] = std::minmax_element(raw.begin(), raw.end());
  ASSERT_LT(*lo, *hi);

  bc.SetBool(NOISEOPERATOR_INVERT, true);
  ASSERT_TRUE(Compute(op).IsOk());
  const std::vector<Float> inverted = Cells(Output(op));
  for (std::size_t k = 0; k < raw.size(); ++k)
    ASSERT_TRUE(Same(inverted[k], 1.0 - raw[k]));

  // Normalised after the inversion: the result spans 0 to 1 again, the highest raw value at 0.
  bc.SetBool(NOISEOPERATOR_NORMALIZE, true);
  ASSERT_TRUE(Compute(op).IsOk());
  const Grid2D<Float>& out = Output(op);
  Float outMin = 1e300, outMax = -1e300;
  for (std::size_t k = 0; k < raw.size(); ++k)
  {
    const Float want = ((1.0 - raw[k]) - (1.0 - *hi)) / ((1.0 - *lo) - (1.0 - *hi));
    ASSERT_NEAR(out.cells[static_cast<Int>(k)], want, 1e-12);
    outMin = std::min(outMin, out.cells[static_cast<Int>(k)]);
    outMax = std::max(outMax, out.cells[static_cast<Int>(k)]);
  }
  EXPECT_EQ(outMin, 0.0);
  EXPECT_NEAR(outMax, 1.0, 1e-15);
  EXPECT_EQ(out.cells[hi - raw.begin()], 0.0);
}

TEST_F(NoiseOperatorTest, OneCellAxesSampleTheStartOfTheAxis)
{
  // A grid one cell wide or high has no span to divide: its cells lie at the start of that axis, where
  // the field mask and the mesh put them too.
  Shape(0, 3, 10.0, 10.0);
  BaseObject* op = AddNoise(3);
  ASSERT_TRUE(Compute(op).IsOk());
  NoiseGenerator* g = ReferenceGenerator(3, 21, 5.0);
  for (Int j = 0; j < 4; ++j)
  {
    const Float z = 5.0 - (static_cast<Float>(j) / 3.0) * 10.0;
    EXPECT_TRUE(Same(Output(op).cells[j], NoiseLibrary::Noise(g, 21, true, Vector(-5.0 * 0.01, 0.0, z * 0.01), 0.0,
                                                                 5.0, false, 0.25, 0.25, 0)))
      << j;
  }
  Shape(0, 0, 10.0, 10.0);
  ASSERT_TRUE(Compute(op).IsOk());
  ASSERT_EQ(Output(op).cellCount, 1);
  EXPECT_TRUE(Same(Output(op).cells[0],
                   NoiseLibrary::Noise(g, 21, true, Vector(-5.0 * 0.01, 0.0, 5.0 * 0.01), 0.0, 5.0, false, 0.25, 0.25, 0)));
  NoiseLibrary::Free(g);
}

// ---------------------------------------------------------------------------------------------------
// Threads, determinism, cancellation

TEST_F(NoiseOperatorTest, OneThreadAndAllThreadsGiveBitIdenticalGrids)
{
  Shape(200, 150, 300.0, 200.0);
  for (const Int32 type : {21, 64, 8})
  {
    BaseObject* op = AddNoise(2024);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(NOISEOPERATOR_TYPE, type);
    bc.SetBool(NOISEOPERATOR_NORMALIZE, true);
    bc.SetBool(2001, true);
    bc.SetFloat(2004, 0.5);
    std::vector<Float> serial;
    {
      SerialScope one;
      ASSERT_TRUE(Compute(op).IsOk());
      serial = Cells(Output(op));
    }
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_TRUE(SameCells(Cells(Output(op)), serial)) << type;
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_TRUE(SameCells(Cells(Output(op)), serial)) << type;

    // Another operator with the same seed gives the same grid; another seed a different one.
    BaseObject* twin = AddNoise(2024);
    twin->GetDataInstanceRef().MergeContainer(bc);
    ASSERT_TRUE(Compute(twin).IsOk());
    EXPECT_TRUE(SameCells(Cells(Output(twin)), serial)) << type;
    twin->GetDataInstanceRef().SetInt32(NOISEOPERATOR_SEED, 2025);
    ASSERT_TRUE(Compute(twin).IsOk());
    EXPECT_FALSE(SameCells(Cells(Output(twin)), serial)) << type;
  }
}

TEST_F(NoiseOperatorTest, BreakIsTestedOncePerRowWithTheCellMask)
{
  Shape(5, 99, 10.0, 10.0);   // 100 rows
  BaseObject* op = AddNoise();
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;
  // Rows 0, 32, 64 and 96 have no bit of 3999 set: the other 96 rows ask once each.
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 96);
  {
    SerialScope one;
    thread.ResetTestCount();
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_EQ(thread.GetTestCount(), 96);
  }
  // Without a build record no row asks.
  context.hierarchyHelp = nullptr;
  thread.ResetTestCount();
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 0);
}

TEST_F(NoiseOperatorTest, CancellationStopsAfterTheRowThatSawTheBreak)
{
  Shape(5, 99, 10.0, 10.0);   // 6 columns, 100 rows
  BaseObject* op = AddNoise(61);
  op->GetDataInstanceRef().SetBool(NOISEOPERATOR_NORMALIZE, true);
  const std::vector<Float> raw = [&] {
    BaseContainer bc = op->GetDataInstanceRef();
    return ReferenceGrid(bc, Placement{}, 6, 100, 10.0, 10.0);
  }();
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;

  struct Case
  {
    const char* name;
    Int breakAfter;   // 0: the break is set before the loop starts
    Int lastRow;      // the last row filled
  };
  // Set before: row 0 skips the test, row 1 sees the break and is still filled. After 40 tests: rows
  // 1 to 31 make 31 tests, rows 33 to 41 the next nine, so row 41 is the last.
  for (const Case& c : {Case{"set before the loop", 0, 1}, Case{"raised at the 40th test", 40, 41}})
  {
    SerialScope one;
    thread.SetBreak(c.breakAfter == 0);
    thread.BreakAfterTests(c.breakAfter);
    Result<void> res = Compute(op);
    ASSERT_TRUE(res.IsError()) << c.name;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(res.GetError().GetMessage(), String("Noise operator cancelled!"));
    EXPECT_TRUE(std::string(res.GetError().GetLocation().file_name()).ends_with("operator_noise.cpp"));
    // Not normalised: the filled rows hold the raw values, the rest stay 0.
    const Grid2D<Float>& out = Output(op);
    EXPECT_FALSE(out.minMaxValid);
    for (Int k = 0; k < out.cellCount; ++k)
    {
      const Float want = k / 6 <= c.lastRow ? raw[static_cast<std::size_t>(k)] : 0.0;
      ASSERT_TRUE(Same(out.cells[k], want)) << c.name << " cell " << k;
    }
    thread.SetBreak(false);
    thread.BreakAfterTests(0);
  }

  // On all threads the error comes back the same way.
  thread.SetBreak(true);
  Result<void> res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Noise operator cancelled!"));
  EXPECT_FALSE(Output(op).minMaxValid);
}

// ---------------------------------------------------------------------------------------------------
// Set-up errors

TEST_F(NoiseOperatorTest, SetUpErrorsAreOutOfMemoryAndLeaveAZeroGrid)
{
  Shape(4, 3, 10.0, 10.0);
  struct Case
  {
    const char* name;
    Int32 type;
    Int failAt;   // the host allocation that fails: 1 the grid, 2 the generator, 3 the spectrum
    const char* message;
  };
  const Case cases[] = {
    {"generator", 21, 2, "Could not allocate noise generator!"},
    {"ridged spectrum", 64, 3, "Could not initialize Fbm for Ridged Multifractal!"},
    {"spectral fBm spectrum", 3, 3, "Could not initialize Fbm!"},
    {"spectral ridges spectrum", 8, 3, "Could not initialize Fbm!"},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddNoise();
    op->GetDataInstanceRef().SetInt32(NOISEOPERATOR_TYPE, c.type);
    Result<void> res;
    {
      host::ScopedAllocationFailure fail(c.failAt);
      res = Compute(op);
    }
    ASSERT_TRUE(res.IsError()) << c.name;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << c.name;
    EXPECT_EQ(res.GetError().GetMessage(), String(c.message)) << c.name;
    const Grid2D<Float>& out = Output(op);
    EXPECT_EQ(out.width, 5);
    EXPECT_EQ(out.height, 4);
    ASSERT_EQ(out.cellCount, 20);
    for (const Float v : out.cells)
      EXPECT_EQ(v, 0.0) << c.name;
  }

  // An octave value the spectrum cannot take fails the same way, without any injected failure.
  BaseObject* op = AddNoise();
  op->GetDataInstanceRef().SetInt32(NOISEOPERATOR_TYPE, 3);
  op->GetDataInstanceRef().SetFloat(NOISEOPERATOR_OCTAVES, std::nan(""));
  Result<void> res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Could not initialize Fbm!"));
}

TEST_F(NoiseOperatorTest, GridAllocationFailureLeavesAnEmptyGrid)
{
  Shape(4, 3, 10.0, 10.0);
  BaseObject* op = AddNoise();
  ASSERT_TRUE(Compute(op).IsOk());
  // A new terrain size: the output grid needs new cells (a grid of the same size keeps its own).
  Shape(6, 3, 10.0, 10.0);
  Result<void> res;
  {
    host::ScopedAllocationFailure fail(1);
    res = Compute(op);
  }
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  // The header never describes cells the grid does not have.
  const Grid2D<Float>& out = Output(op);
  EXPECT_EQ(out.cellCount, 0);
  EXPECT_EQ(out.width, 0);
  EXPECT_EQ(out.cells.GetCount(), 0);
}
