#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/core/thread.h"
#include "host/scene/hierarchy.h"
#include "object/operator_erosion.h"
#include "orogenix/erosion_droplet.h"
#include "orogenix/erosion_hydraulic.h"
#include "orogenix/erosion_thermal.h"
#include "support/test_operators.h"
#include "support/grid_cells.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
// The droplet method written out from its definition, with its own normals (central differences over
// clamped neighbours, the constant 2 as the up component).
void ReferenceDroplets(std::vector<Float>& h, Int w, Int ht, UInt32 seed, Int count, Float dt, Float density,
                       Float evaporation, Float deposition, Float minVolume, Float friction)
{
  auto H = [&](Int x, Int y) -> Float& { return h[static_cast<std::size_t>(y * w + x)]; };
  LcgRandom r;
  r.Init(seed);
  for (Int d = 0; d < count; ++d)
  {
    Float y = r.Get01() * (ht - 1.0);
    Float x = r.Get01() * (w - 1.0);
    Float volume = 1.0, sediment = 0.0, vx = 0.0, vy = 0.0;
    if (!(volume > minVolume))
      continue;
    do
    {
      const Int cx = static_cast<Int>(std::floor(x)), cy = static_cast<Int>(std::floor(y));
      const Float dx = H(std::max<Int>(cx - 1, 0), cy) - H(std::min<Int>(cx + 1, w - 1), cy);
      const Float dz = H(cx, std::max<Int>(cy - 1, 0)) - H(cx, std::min<Int>(cy + 1, ht - 1));
      const Float len = std::sqrt(dx * dx + 4.0 + dz * dz);
      const Float mass = volume * density;
      const Float inv = mass == 0.0 ? 0.0 : 1.0 / mass;
      const Float ax = vx + dx / len * dt * inv;
      const Float ay = vy + dz / len * dt * inv;
      x += ax * dt;
      y += ay * dt;
      vx = ax * (1.0 - dt * friction);
      vy = ay * (1.0 - dt * friction);
      if (x < 0.0 || y < 0.0 || x >= w || y >= ht)
        break;
      const Float drop = H(cx, cy) - H(static_cast<Int>(std::floor(x)), static_cast<Int>(std::floor(y)));
      const Float capacity = std::max(0.0, volume * std::sqrt(vx * vx + vy * vy) * drop);
      const Float change = dt * deposition * (capacity - sediment);
      sediment += change;
      H(cx, cy) -= volume * change;
      volume *= 1.0 - dt * evaporation;
    } while (volume > minVolume);
  }
}

class ErosionOperatorTest : public OperatorSceneTest
{
protected:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterErosionOperator(38));
  }
  void TearDown() override
  {
    FreeIconSheets();
    OperatorSceneTest::TearDown();
  }

  BaseObject* AddErosion(EROSIONMETHOD method)
  {
    BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
    if (op)
      op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_METHOD, static_cast<Int32>(method));
    return op;
  }

  // A rough bowl of (resX + 1) x (resZ + 1) cells with its min/max valid, as the evaluation hands it to an
  // operator that asks for them.
  void Shape(Int resX, Int resZ, Float sizeX = 200.0, Float sizeZ = 150.0)
  {
    InitEvaluationContext(context, resX, resZ, sizeX, sizeZ, 1.0, terrain, nullptr);
    ASSERT_TRUE(terrainGrid.Init(resX + 1, resZ + 1, sizeX, sizeZ).IsOk());
    LcgRandom r;
    r.Init(static_cast<UInt32>(resX * 7 + resZ));
    for (Int y = 0; y <= resZ; ++y)
      for (Int x = 0; x <= resX; ++x)
      {
        const Float dx = x - resX * 0.5, dy = y - resZ * 0.3;
        terrainGrid.cells[y * (resX + 1) + x] = 0.01 * (dx * dx + dy * dy) + r.Get01() * 3.0;
      }
    terrainGrid.RecomputeMinMax();
  }

  Result<void> Compute(BaseObject* op) { return OperatorData(op)->ComputeOperator(terrainGrid, op, doc, context); }
  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }

  // The input terrain run through fn, on a copy.
  template <typename Fn>
  std::vector<Float> Direct(Fn&& fn)
  {
    Grid2D<Float> g;
    EXPECT_TRUE(g.CopyFrom(terrainGrid).IsOk());
    fn(g);
    return Cells(g);
  }

  EvaluationContext context;
  Grid2D<Float> terrainGrid;
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// Registration, parameters, description

TEST_F(ErosionOperatorTest, RegistersAsAFilterWithItsIcon)
{
  ExpectRegisteredOperator({1054690, "Erosion", TERRAINOPERATORFLAGS::TYPE_FILTER, "Registered filter operator: Erosion",
                            "#$38Erosion", "oerosionoperator", 64, 64});
}

TEST_F(ErosionOperatorTest, InitWritesTheDefaultsInOrderAndTheDescriptionAgrees)
{
  BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
  const BaseContainer& bc = op->GetDataInstanceRef();
  const std::vector<Int32> order = {100000, 100011, 100013, 100012, 100015, 100014, 100016, 100040, 100031,
                                    100032, 100033, 100034, 100035, 100036, 100037, 100038, 100039, 100041,
                                    100051, 100052, 100053, 100055, 100054, 100056, 100061};
  std::vector<Int32> seen;
  for (Int32 k = 0; k < bc.GetCount(); ++k)
    if (bc.GetIndexId(k) >= 100000)
      seen.push_back(bc.GetIndexId(k));
  EXPECT_EQ(seen, order);
  EXPECT_EQ(bc.GetInt32(100000, -1), 0);
  EXPECT_EQ(bc.GetInt32(100011), 5);
  EXPECT_EQ(bc.GetFloat(100012), 0.8);
  EXPECT_EQ(bc.GetFloat(100013), 0.1);
  EXPECT_EQ(bc.GetInt32(100014), 3);
  EXPECT_EQ(bc.GetFloat(100015), 0.2);
  EXPECT_TRUE(bc.GetBool(100016));
  EXPECT_EQ(bc.GetUInt32(100040), 1234u);
  EXPECT_EQ(bc.GetInt32(100031), 5000);
  EXPECT_EQ(bc.GetFloat(100033), 0.03);
  EXPECT_EQ(bc.GetFloat(100035), 0.7);
  EXPECT_EQ(bc.GetInt32(100038), 80);
  EXPECT_FALSE(bc.GetBool(100041, true));
  EXPECT_EQ(bc.GetFloat(100053), 2.0);
  EXPECT_EQ(bc.GetFloat(100056), 0.0);
  EXPECT_EQ(bc.GetInt32(100061), 20);
  // A filter: the base gave it the filter blend defaults.
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATOR_BLENDMODE), 0);
  EXPECT_EQ(bc.GetFloat(TERRAINOPERATOR_HEIGHT), 1.0);

  // The description offers every parameter with the same default.
  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  ASSERT_TRUE(op->GetDescription(description, flags));
  for (const Int32 id : order)
  {
    const BaseContainer* entry = static_cast<const Description*>(description)->GetParameterContainer(ParameterId(id));
    ASSERT_NE(entry, nullptr) << id;
    const GeData& want = bc.GetData(id);
    const GeData& have = entry->GetData(DESC_DEFAULT);
    if (want.GetType() == DA_REAL)
      EXPECT_EQ(have.GetFloat(), want.GetFloat()) << id;
    else
      EXPECT_EQ(have.GetInt32(), want.GetInt32()) << id;
  }
  Description::Free(description);
}

TEST_F(ErosionOperatorTest, TheSeedIsAnUnsignedValue)
{
  BaseObject* op = AddErosion(EROSIONMETHOD::DROPLET);
  BaseContainer& bc = op->GetDataInstanceRef();
  bc.SetUInt32(EROSIONOPERATOR_DROPLET_SEED, 4000000000u);
  EXPECT_EQ(bc.GetUInt32(EROSIONOPERATOR_DROPLET_SEED), 4000000000u);
  bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 40);
  Shape(30, 20);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(SameCells(Cells(Output(op)), Direct([](Grid2D<Float>& g) {
                          SimpleDropletErosion(g, 4000000000u, 40, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
                        })));
}

TEST_F(ErosionOperatorTest, FlagsAskForTheRangeForEveryMethodButThermal)
{
  BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  for (const Int32 method : {-1, 0, 1, 2, 3, 4})
  {
    op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_METHOD, method);
    EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(op)), method == 0 ? 1 : 33) << method;
  }
  EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(nullptr)), 1);
}

TEST_F(ErosionOperatorTest, DescriptionShowsTheChosenMethodsParameters)
{
  const std::vector<std::vector<Int32>> groups = {
    {100011, 100012, 100013, 100014, 100015, 100016},
    {100040, 100031, 100032, 100033, 100034, 100035, 100036, 100037, 100038, 100039, 100041},
    {100051, 100052, 100053, 100054, 100055, 100056},
    {100061},
  };
  BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
  for (const Int32 method : {0, 1, 2, 3, 4, -1})
  {
    op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_METHOD, method);
    Description d;
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(&d, flags));
    EXPECT_FALSE(d.FindEntry(100000)->attributes.GetBool(DESC_HIDE)) << method;
    for (Int32 g = 0; g < 4; ++g)
      for (const Int32 id : groups[static_cast<std::size_t>(g)])
        EXPECT_EQ(!d.FindEntry(id)->attributes.GetBool(DESC_HIDE), g == method) << method << " " << id;
  }
}

TEST_F(ErosionOperatorTest, DirtyIdsFollowTheMethod)
{
  struct Case
  {
    Int32 method;
    std::vector<Int32> ids;
  };
  const Case cases[] = {
    {0, {100000, 100011, 100012, 100013, 100014, 100015, 100016}},
    {1, {100000, 100040, 100031, 100032, 100033, 100034, 100035, 100036, 100037, 100038, 100039}},
    {2, {100000, 100051, 100052, 100053, 100055, 100054, 100056}},
    {3, {100000, 100061}},
    {4, {100000}},
    {-2, {100000}},
  };
  BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
  for (const Case& c : cases)
  {
    op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_METHOD, c.method);
    BaseArray<Int32> ids;
    ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, op->GetDataInstanceRef()));
    EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), c.ids) << c.method;
  }
  // A list that cannot grow: the error's text in the console, and false.
  op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_METHOD, 1);
  for (const Int n : {1, 2, 11})
  {
    host::ResetLogs();
    BaseArray<Int32> failing;
    Bool listed;
    {
      host::ScopedAllocationFailure fail(n);
      listed = OperatorData(op)->GetDirtyParameterIds(failing, op->GetDataInstanceRef());
    }
    EXPECT_FALSE(listed) << n;
    EXPECT_EQ(host::Console().GetLast(), String("Array allocation failed!")) << n;
  }
}

TEST_F(ErosionOperatorTest, UnusedDropletValuesRecomputeToTheSameOutputOr100041NotAtAll)
{
  Shape(20, 16);
  BaseObject* op = AddErosion(EROSIONMETHOD::DROPLET);
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  BaseContainer& bc = op->GetDataInstanceRef();
  bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 30);
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  data->SetRebuildFlag(true);
  ASSERT_TRUE(data->EvaluateOperator(terrainGrid, op, doc, context).IsOk());
  const std::vector<Float> first = Cells(Output(op));
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN);

  bc.SetFloat(EROSIONOPERATOR_DROPLET_INERTIA, 0.3);
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  data->SetRebuildFlag(true);
  ASSERT_TRUE(data->EvaluateOperator(terrainGrid, op, doc, context).IsOk());
  EXPECT_TRUE(SameCells(Cells(Output(op)), first));
  ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN);

  bc.SetBool(EROSIONOPERATOR_DROPLET_SMOOTH, true);
  EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REEVALUATE);
  // Another method's values do not recompute the droplets either.
  bc.SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, 3);
  EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REEVALUATE);
}

// ---------------------------------------------------------------------------------------------------
// Computation

TEST_F(ErosionOperatorTest, EachMethodRunsItsSimulationOnACopyOfTheInput)
{
  Shape(48, 36);
  const std::vector<Float> input = Cells(terrainGrid);
  auto check = [&](EROSIONMETHOD method, const std::vector<Float>& want, const char* name) {
    BaseObject* op = AddErosion(method);
    op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 200);
    op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, 2);
    ASSERT_TRUE(Compute(op).IsOk()) << name;
    EXPECT_TRUE(SameCells(Cells(Output(op)), want)) << name;
    EXPECT_FALSE(SameCells(Cells(Output(op)), input)) << name;
    EXPECT_TRUE(SameCells(Cells(terrainGrid), input)) << name << ": the input was changed";
    EXPECT_EQ(Output(op).width, 49);
    EXPECT_EQ(Output(op).sizeY, 150.0);
  };

  ThermalSettings thermal;
  thermal.iterations = 5;
  thermal.removal = 0.8;
  thermal.talus = 0.1;
  thermal.deposit = 0.2;
  thermal.mode = 3;
  thermal.smooth = true;
  check(EROSIONMETHOD::THERMAL,
        Direct([&](Grid2D<Float>& g) { EXPECT_TRUE(ThermalWeathering(g, thermal, nullptr).IsOk()); }), "thermal");

  std::vector<Float> droplets = input;
  ReferenceDroplets(droplets, 49, 37, 1234, 200, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
  check(EROSIONMETHOD::DROPLET, droplets, "droplets");

  NoiseErosionSettings noise;
  noise.low = 0.25;
  noise.high = 0.5;
  noise.scale = 1.0 / 20.0;
  noise.influence = 0.4;
  noise.exponent = 3.0;
  check(EROSIONMETHOD::NOISE, Direct([&](Grid2D<Float>& g) { EXPECT_TRUE(NoiseErosion(g, noise).IsOk()); }),
        "noise");

  check(EROSIONMETHOD::HYDRAULIC, Direct([](Grid2D<Float>& g) {
          HydraulicGridSet set;
          EXPECT_TRUE(InitHydraulicGrids(set, g).IsOk());
          HydraulicErosionState state(set);
          EXPECT_TRUE(state.Init().IsOk());
          HydraulicErosion(state, 2);
          EXPECT_TRUE(g.CopyFrom(set.heights).IsOk());
        }),
        "hydraulic");
  // The hydraulic heights carry the scratch grid's header.
  BaseObject* op = AddErosion(EROSIONMETHOD::HYDRAULIC);
  op->GetDataInstanceRef().SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, 1);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_FALSE(Output(op).minMaxValid);
}

TEST_F(ErosionOperatorTest, OtherMethodsAndEmptyRunsReturnTheInput)
{
  Shape(20, 14);
  const std::vector<Float> input = Cells(terrainGrid);
  struct Case
  {
    const char* name;
    Int32 method;
    Int32 droplets;
    Int32 hydraulicIterations;
  };
  const Case cases[] = {
    {"method 4", 4, 100, 2},
    {"a negative method", -1, 100, 2},
    {"no droplets", 1, 0, 2},
    {"no hydraulic iterations", 3, 100, 0},
  };
  for (const Case& c : cases)
  {
    BaseObject* op = AddOperator(ID_OGX_EROSIONOPERATOR);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(EROSIONOPERATOR_METHOD, c.method);
    bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, c.droplets);
    bc.SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, c.hydraulicIterations);
    ASSERT_TRUE(Compute(op).IsOk()) << c.name;
    EXPECT_TRUE(SameCells(Cells(Output(op)), input)) << c.name;
    EXPECT_TRUE(Output(op).minMaxValid) << c.name;
    EXPECT_EQ(Output(op).min, terrainGrid.min) << c.name;
  }
}

TEST_F(ErosionOperatorTest, MissingValuesReadTheirOwnDefaults)
{
  Shape(24, 18);
  BaseObject* op = AddErosion(EROSIONMETHOD::THERMAL);
  BaseContainer& bc = op->GetDataInstanceRef();
  // Iterations 1, mode 2, no smoothing: not the values a new operator gets.
  for (const Int32 id : {100011, 100014, 100016})
    bc.RemoveData(id);
  ThermalSettings s;
  s.iterations = 1;
  s.removal = 0.8;
  s.talus = 0.1;
  s.deposit = 0.2;
  s.mode = 2;
  s.smooth = false;
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(SameCells(Cells(Output(op)),
                        Direct([&](Grid2D<Float>& g) { EXPECT_TRUE(ThermalWeathering(g, s, nullptr).IsOk()); })));

  // The seed reads 0.
  bc.SetInt32(EROSIONOPERATOR_METHOD, 1);
  bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 25);
  bc.RemoveData(EROSIONOPERATOR_DROPLET_SEED);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(SameCells(Cells(Output(op)), Direct([](Grid2D<Float>& g) {
                          SimpleDropletErosion(g, 0, 25, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
                        })));

  // Hydraulic iterations read 0: the input comes back.
  bc.SetInt32(EROSIONOPERATOR_METHOD, 3);
  bc.RemoveData(EROSIONOPERATOR_HYDRAULIC_ITERATIONS);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(SameCells(Cells(Output(op)), Cells(terrainGrid)));

  // And a missing method is thermal weathering.
  bc.RemoveData(EROSIONOPERATOR_METHOD);
  EXPECT_EQ(static_cast<Int32>(OperatorData(op)->GetOperatorFlags(op)), 1);
}

TEST_F(ErosionOperatorTest, ThermalErrorsComeBackUnchanged)
{
  Shape(40, 30);
  BaseObject* op = AddErosion(EROSIONMETHOD::THERMAL);
  BaseContainer& bc = op->GetDataInstanceRef();
  bc.SetInt32(EROSIONOPERATOR_THERMAL_ITERATIONS, 0);
  Result<void> res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
  EXPECT_EQ(res.GetError().GetMessage(), String("Intensity and iterations must not be 0!"));

  // The rebuild's thread reaches the thermal run; the other methods never look at it.
  HostThread thread;
  thread.SetBreak(true);
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  context.hierarchyHelp = &hh;
  bc.SetInt32(EROSIONOPERATOR_THERMAL_ITERATIONS, 5);
  res = Compute(op);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(res.GetError().GetMessage(), String("Thermal Weathering cancelled!"));
  for (const Int32 method : {1, 2, 3})
  {
    bc.SetInt32(EROSIONOPERATOR_METHOD, method);
    bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 10);
    bc.SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, 1);
    thread.ResetTestCount();
    EXPECT_TRUE(Compute(op).IsOk()) << method;
    EXPECT_EQ(thread.GetTestCount(), 0) << method;
  }
}

TEST_F(ErosionOperatorTest, OneThreadAndAllThreadsAreBitIdenticalForEveryMethod)
{
  Shape(160, 120);
  for (const EROSIONMETHOD method :
       {EROSIONMETHOD::THERMAL, EROSIONMETHOD::DROPLET, EROSIONMETHOD::NOISE, EROSIONMETHOD::HYDRAULIC})
  {
    BaseObject* op = AddErosion(method);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(EROSIONOPERATOR_DROPLET_COUNT, 300);
    bc.SetInt32(EROSIONOPERATOR_HYDRAULIC_ITERATIONS, 2);
    std::vector<Float> serial;
    {
      SerialScope one;
      ASSERT_TRUE(Compute(op).IsOk());
      serial = Cells(Output(op));
    }
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_TRUE(SameCells(Cells(Output(op)), serial)) << static_cast<Int32>(method);
    // And the same settings again give the same heights.
    ASSERT_TRUE(Compute(op).IsOk());
    EXPECT_TRUE(SameCells(Cells(Output(op)), serial)) << static_cast<Int32>(method);
  }
}

// ---------------------------------------------------------------------------------------------------
// The droplet method on its own

TEST(SimpleDropletErosion, MatchesTheDefinitionAndRepeats)
{
  Grid2D<Float> source;
  ASSERT_TRUE(source.Init(33, 21, 10.0, 10.0).IsOk());
  LcgRandom r;
  r.Init(6);
  for (Int i = 0; i < source.cellCount; ++i)
    source.cells[i] = r.Get01() * 4.0 + 0.05 * static_cast<Float>(i % 33);
  for (const UInt32 seed : {0u, 1234u, 99u})
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.CopyFrom(source).IsOk());
    SimpleDropletErosion(g, seed, 150, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
    std::vector<Float> want = Cells(source);
    ReferenceDroplets(want, 33, 21, seed, 150, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
    EXPECT_TRUE(SameCells(Cells(g), want)) << seed;
    EXPECT_FALSE(SameCells(Cells(g), Cells(source))) << seed;
  }
}

TEST(SimpleDropletErosion, DropletsThatLeaveAtOnceOrCannotStartChangeNothing)
{
  // Two cells, the right one high: every droplet starts in [0, 1) and its first step carries it past
  // the left edge.
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(2, 1, 1.0, 1.0).IsOk());
  g.cells[1] = 10.0;
  SimpleDropletErosion(g, 5, 100, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
  EXPECT_EQ(g.cells[0], 0.0);
  EXPECT_EQ(g.cells[1], 10.0);

  // A minimum volume of 1 or more: no droplet starts.
  Grid2D<Float> h;
  ASSERT_TRUE(h.Init(6, 6, 1.0, 1.0).IsOk());
  for (Int i = 0; i < 36; ++i)
    h.cells[i] = static_cast<Float>(i * i % 7);
  const std::vector<Float> before = Cells(h);
  SimpleDropletErosion(h, 5, 100, 1.2, 1.0, 0.001, 0.03, 1.0, 0.7);
  EXPECT_TRUE(SameCells(Cells(h), before));
}

TEST(SimpleDropletErosion, NarrowGridsAndNaNHeightsStayInside)
{
  // The sanitizer builds check the accesses; here each run must finish and leave finite cells finite
  // where no NaN can reach them.
  for (const auto& [w, h] : std::vector<std::pair<Int, Int>>{{1, 40}, {40, 1}, {1, 1}, {0, 5}, {2, 2}})
  {
    Grid2D<Float> g;
    ASSERT_TRUE(g.Init(w, h, 1.0, 1.0).IsOk());
    for (Int i = 0; i < g.cellCount; ++i)
      g.cells[i] = static_cast<Float>((i * 7) % 5);
    SimpleDropletErosion(g, 3, 200, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
    for (const Float v : g.cells)
      EXPECT_TRUE(std::isfinite(v)) << w << "x" << h;
  }
  Grid2D<Float> g;
  ASSERT_TRUE(g.Init(16, 12, 1.0, 1.0).IsOk());
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = std::numeric_limits<Float>::quiet_NaN();
  SimpleDropletErosion(g, 3, 500, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
  for (Int i = 0; i < g.cellCount; ++i)
    g.cells[i] = (i % 5 == 0) ? std::numeric_limits<Float>::quiet_NaN() : static_cast<Float>(i % 9);
  SimpleDropletErosion(g, 4, 500, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7);
}
