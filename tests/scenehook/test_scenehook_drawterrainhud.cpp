// The HUD scene hook in a document as the host runs it: the execution pass gathers the selection's
// statistics, the draw pass draws the line into a recording view.
#include <gtest/gtest.h>

#include <limits>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/gui/basedraw.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/execution.h"
#include "host/scene/resource.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "scenehook/scenehook_drawterrainhud.h"
#include "support/module_terrain.h"
#include "support/test_operators.h"
#include "support/host_reset.h"

namespace
{
using ogx_test::ID_TEST_FILTER;
using ogx_test::ID_TEST_GENERATOR;
using ogx_test::TestFilter;
using ogx_test::TestGenerator;

// The preferences as the preferences page leaves them once it has filled in its defaults.
void FillPreferenceDefaults()
{
  BaseContainer prefs(1055624);
  prefs.SetInt32(1000, 4000);
  prefs.SetBool(1001, true);
  prefs.SetBool(1002, true);
  prefs.SetFloat(10010, 0.05);
  prefs.SetBool(10004, true);
  prefs.SetBool(10005, false);
  prefs.SetBool(10006, true);
  prefs.SetBool(10011, false);
  prefs.SetBool(10007, true);
  prefs.SetBool(10012, false);
  prefs.SetBool(10008, true);
  prefs.SetBool(10009, true);
  prefs.SetInt32(1003, 1);
  GetWorldContainerInstance()->SetContainer(1055624, prefs);
}

BaseContainer& Prefs()
{
  return *GetWorldContainerInstance()->GetContainerInstance(1055624);
}

// Every item on, at the given text position.
void SwitchEverythingOn(Float position = 0.05)
{
  FillPreferenceDefaults();
  for (const Int32 key : {10004, 10005, 10006, 10007, 10008, 10009, 10011, 10012})
    Prefs().SetBool(key, true);
  Prefs().SetFloat(10010, position);
}

class HudTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ogx_test::ResetHostState();
    ASSERT_TRUE(ogx_test::RegisterModuleTerrainAndTestOperators());
    ASSERT_TRUE(RegisterTerrainHudDrawSceneHook());
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeIconSheets();
    FreeResource();
    host::SetModuleDirectory(Url());
    ogx_test::ResetHostState();
  }


  // A terrain object of res x res cells over size x size, named name, built once.
  BaseObject* AddTerrain(const char* name, Int32 res = 4, Float size = 10.0)
  {
    BaseObject* terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    EXPECT_NE(terrain, nullptr);
    terrain->SetName(name);
    terrain->GetDataInstanceRef().SetInt32(TERRAINOBJECT_RESOLUTION_X, res);
    terrain->GetDataInstanceRef().SetInt32(TERRAINOBJECT_RESOLUTION_Z, res);
    terrain->GetDataInstanceRef().SetFloat(TERRAINOBJECT_SIZE_X, size);
    terrain->GetDataInstanceRef().SetFloat(TERRAINOBJECT_SIZE_Z, size);
    EXPECT_TRUE(doc->InsertObject(terrain, nullptr));
    return terrain;
  }

  // A generator below parent adding value (blend mode ADD, layer scale 1).
  BaseObject* AddGenerator(BaseObject* parent, Float value)
  {
    BaseObject* op = BaseObject::Alloc(ID_TEST_GENERATOR);
    EXPECT_NE(op, nullptr);
    EXPECT_TRUE(op->InsertUnderLast(parent));
    op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::ADD));
    op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    op->GetDataInstanceRef().SetFloat(ogx_test::TESTOPERATOR_VALUE, value);
    return op;
  }

  void Build(BaseObject* terrain)
  {
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    ASSERT_NE(host::BuildObjectCache(terrain, &hh), nullptr);
  }

  TerrainHudDrawScenehook* Hook()
  {
    BaseSceneHook* node = doc->FindSceneHook(ID_OGX_TERRAINHUD_SCENEHOOK);
    return node ? node->GetNodeData<TerrainHudDrawScenehook>() : nullptr;
  }

  // The host's execution pass, then its draw pass into a view width x height; the HUD texts drawn.
  std::vector<host::HudText> ExecuteAndDraw(Int32 height = 625)
  {
    host::ExecuteSceneHooks(doc, nullptr);
    BaseDraw view(800, height);
    BaseDrawHelp help(&view, doc);
    EXPECT_TRUE(host::DrawSceneHooks(doc, &view, &help, nullptr, SCENEHOOKDRAW::DRAW_PASS));
    return view.GetHudTexts();
  }

  String Line()
  {
    const std::vector<host::HudText> texts = ExecuteAndDraw();
    return texts.size() == 1 ? texts[0].text : String("(") + String::IntToString(texts.size()) + " texts)";
  }

  BaseDocument* doc = nullptr;
};

TEST_F(HudTest, RegistersAndJoinsTheExecutionPassLast)
{
  const host::PluginEntry* entry = host::FindPlugin(ID_OGX_TERRAINHUD_SCENEHOOK);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->type, PLUGINTYPE::SCENEHOOK);
  EXPECT_EQ(entry->name, "OGX_TerrainHudDrawSceneHook");
  EXPECT_EQ(entry->info, 0);
  EXPECT_EQ(entry->priority, 3000);
  EXPECT_EQ(entry->diskLevel, 0);

  const std::vector<host::SceneHookRun> runs = host::ExecuteSceneHooks(doc, nullptr);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].priority, 0x7FFFFFFF);
  EXPECT_EQ(runs[0].flags, EXECUTIONFLAGS::EXPRESSION);
  EXPECT_EQ(runs[0].result, EXECUTIONRESULT::OK);

  // A new hook: reset statistics, no settings, the labels loaded, the HUD off until it has run.
  const TerrainHudDrawScenehook* hook = Hook();
  ASSERT_NE(hook, nullptr);
  const TerrainHudDrawScenehook fresh;
  EXPECT_FALSE(fresh.IsHudEnabled());
  EXPECT_EQ(fresh.GetStatistics().heightMinimum, std::numeric_limits<Float>::max());
  EXPECT_EQ(fresh.GetStatistics().outputRange, std::numeric_limits<Float>::lowest());
  EXPECT_EQ(fresh.GetLabels().separator, GeLoadString(10082));
  EXPECT_EQ(fresh.GetLabels().terrains, GeLoadString(10074));
}

TEST_F(HudTest, TheTextSitsAtAFractionOfTheViewHeight)
{
  HudStatistics stats;
  stats.name = "T";
  stats.terrainCount = 1;
  HudSettings settings;
  settings.nameOrCount = true;
  HudLabels labels;
  labels.Load();
  struct Case
  {
    Int32 height;
    Float position;
    Int32 y;
  };
  const Case cases[] = {
    {625, 0.05, 30},   // (625 - 25) x 0.05
    {625, 0.0, 0},
    {625, 1.0, 600},
    {100, 0.333, 24},   // 24.975 truncated
    {10, 0.5, -7},      // -7.5 truncated towards 0
    {625, std::numeric_limits<Float>::quiet_NaN(), 0},
    {625, 1e30, std::numeric_limits<Int32>::max()},
    {625, -1e30, std::numeric_limits<Int32>::min()},
  };
  for (const Case& c : cases)
  {
    settings.textPosition = c.position;
    BaseDraw view(800, c.height);
    ASSERT_TRUE(DrawHudText(stats, settings, labels, &view));
    ASSERT_EQ(view.GetHudTexts().size(), 1u);
    EXPECT_EQ(view.GetHudTexts()[0].x, 15);
    EXPECT_EQ(view.GetHudTexts()[0].y, c.y) << c.height << " " << c.position;
  }
  // The frame's own origin does not move the text: only its height counts.
  settings.textPosition = 0.05;
  BaseDraw offset;
  offset.SetFrame(100, 200, 900, 825);
  DrawHudText(stats, settings, labels, &offset);
  EXPECT_EQ(offset.GetHudTexts().at(0).y, 30);
  // Nothing switched on: nothing drawn.
  BaseDraw empty(800, 625);
  EXPECT_TRUE(DrawHudText(stats, HudSettings(), labels, &empty));
  EXPECT_TRUE(empty.GetHudTexts().empty());
}

TEST_F(HudTest, NothingShowsUntilThePreferencesPageHasRun)
{
  BaseObject* terrain = AddTerrain("Alps");
  Build(terrain);
  terrain->SetBit(BIT_ACTIVE);
  EXPECT_TRUE(ExecuteAndDraw().empty());
  EXPECT_TRUE(Hook()->IsHudEnabled());
  EXPECT_EQ(Hook()->GetStatistics().terrainCount, 1);

  FillPreferenceDefaults();
  const std::vector<host::HudText> texts = ExecuteAndDraw();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].y, 30);
  const TerrainObject* data = terrain->GetNodeData<TerrainObject>();
  const String expected = "Alps | Polygons: 16 | Height range: " +
                          String::FloatToString(data->GetTerrain().max - data->GetTerrain().min, 3) +
                          " | Output range: 0.000 | Memory: " +
                          FormatMemorySize(static_cast<UInt>(GetTerrainMemoryUsage(*data, terrain->GetCache())));
  EXPECT_EQ(texts[0].text, expected);

  // Switched off: gathered nothing, drew nothing.
  Prefs().SetBool(1002, false);
  EXPECT_TRUE(ExecuteAndDraw().empty());
  EXPECT_FALSE(Hook()->IsHudEnabled());
}

TEST_F(HudTest, EveryItemInItsOrder)
{
  BaseObject* terrain = AddTerrain("Ridge", 3, 6.0);
  AddGenerator(terrain, 2.5);
  Build(terrain);
  terrain->SetBit(BIT_ACTIVE);
  SwitchEverythingOn();
  const TerrainObject* data = terrain->GetNodeData<TerrainObject>();
  ASSERT_TRUE(data->GetTerrain().minMaxValid);
  // 4 x 4 points and 3 x 3 quads; the terrain is flat at 2.5.
  EXPECT_EQ(Line(), "Ridge | Points: 16 | Polygons: 9 | Height min: 2.500 | Height range: 0.000 | Output min: 0.000"
                    " | Output range: 0.000 | Memory: " +
                      FormatMemorySize(static_cast<UInt>(GetTerrainMemoryUsage(*data, terrain->GetCache()))));
}

TEST_F(HudTest, TwoTerrainsShowTheirCountAndMergedStatistics)
{
  BaseObject* low = AddTerrain("Low", 2);
  AddGenerator(low, 1.0);
  BaseObject* high = AddTerrain("High", 4);
  AddGenerator(high, 3.0);
  Build(low);
  Build(high);
  SwitchEverythingOn();
  Prefs().SetBool(10009, false);
  low->SetBit(BIT_ACTIVE);
  EXPECT_EQ(Line().substr(0, 5), "Low |");
  high->SetBit(BIT_ACTIVE);
  // Points and polygons add up; the smaller minimum and the larger range win.
  EXPECT_EQ(Line(), "2" + GeLoadString(10074) +
                      " | Points: 34 | Polygons: 20 | Height min: 1.000 | Height range: 0.000"
                      " | Output min: 0.000 | Output range: 0.000");
  // The first terrain in the selection's (hierarchy) order keeps its name; "High" was inserted first.
  EXPECT_EQ(Hook()->GetStatistics().name, "High");
}

TEST_F(HudTest, ASelectedOperatorCountsItsTerrainAndShowsItsOutput)
{
  BaseObject* terrain = AddTerrain("Mesa");
  BaseObject* op = AddGenerator(terrain, 0.5);
  Build(terrain);
  SwitchEverythingOn();
  Prefs().SetBool(10009, false);
  op->SetBit(BIT_ACTIVE);
  EXPECT_EQ(Line(), "Mesa | Points: 25 | Polygons: 16 | Height min: 0.500 | Height range: 0.000"
                    " | Output min: 0.500 | Output range: 0.000");
  EXPECT_EQ(Hook()->GetStatistics().terrainCount, 1);
}

TEST_F(HudTest, AGeneratorsOutputGoesThroughItsLayerScaleAndOffset)
{
  BaseObject* terrain = AddTerrain("T");
  Build(terrain);
  BaseObject* op = AddGenerator(terrain, 0.0);
  // Output heights from 0 to 1, as the operator left them after its last computation.
  Grid2D<Float>& grid = op->GetNodeData<TestGenerator>()->Output();
  ASSERT_TRUE(grid.Init(3, 1, 1.0, 1.0).IsOk());
  grid.cells[0] = 0.25;
  grid.cells[1] = 1.0;
  grid.cells[2] = 0.0;
  op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::MULTIPLY));
  op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_FACTOR, 2.0);
  op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 7.0);   // not the MULTIPLY scale
  op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_OFFSET, 1.0);
  FillPreferenceDefaults();
  Prefs().SetBool(10004, false);
  Prefs().SetBool(10006, false);
  Prefs().SetBool(10007, false);
  Prefs().SetBool(10009, false);
  Prefs().SetBool(10012, true);
  op->SetBit(BIT_ACTIVE);
  EXPECT_EQ(Line(), "Output min: 1.000 | Output range: 2.000");

  // Multiply, divide and overlay to hard light scale by the factor (1005), every other mode (ADD among
  // them) by the height (1003).
  const String byFactor = "Output min: 1.000 | Output range: 2.000";
  const String byHeight = "Output min: 1.000 | Output range: 7.000";
  const String expected[15] = {byHeight, byHeight, byHeight, byFactor, byFactor, byHeight, byHeight, byHeight,
                               byHeight, byHeight, byFactor, byFactor, byFactor, byFactor, byFactor};
  for (Int32 mode = 0; mode < 15; ++mode)
  {
    SCOPED_TRACE(mode);
    op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, mode);
    EXPECT_EQ(Line(), expected[mode]);
  }
  // Without a stored blend mode the operator reads 0 (normal), scaled by the height.
  op->GetDataInstanceRef().RemoveData(TERRAINOPERATOR_BLENDMODE);
  EXPECT_EQ(Line(), byHeight);

  // The HUD reads the operator's grid and leaves it as it was.
  EXPECT_FALSE(grid.minMaxValid);
  EXPECT_EQ(grid.min, std::numeric_limits<Float>::max());
  EXPECT_EQ(grid.max, std::numeric_limits<Float>::lowest());
}

TEST_F(HudTest, AFiltersOutputIsShownAsItIs)
{
  BaseObject* terrain = AddTerrain("T");
  BaseObject* filter = BaseObject::Alloc(ID_TEST_FILTER);
  ASSERT_TRUE(filter->InsertUnderLast(terrain));
  filter->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 3.0);
  filter->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_OFFSET, 5.0);
  Grid2D<Float>& grid = filter->GetNodeData<TestFilter>()->Output();
  ASSERT_TRUE(grid.Init(2, 1, 1.0, 1.0).IsOk());
  grid.cells[0] = -1.0;
  grid.cells[1] = 2.0;
  Build(terrain);
  grid.cells[0] = -1.0;   // the build recomputed it; put the known values back
  grid.cells[1] = 2.0;
  grid.ResetMinMax();
  FillPreferenceDefaults();
  for (const Int32 key : {10004, 10006, 10007, 10009})
    Prefs().SetBool(key, false);
  Prefs().SetBool(10012, true);
  filter->SetBit(BIT_ACTIVE);
  EXPECT_EQ(Line(), "Output min: -1.000 | Output range: 3.000");
}

TEST_F(HudTest, WithoutAnOperatorTheOutputItemsShowZero)
{
  BaseObject* terrain = AddTerrain("T");
  BaseObject* op = AddGenerator(terrain, 1.0);
  terrain->SetBit(BIT_ACTIVE);
  FillPreferenceDefaults();
  Prefs().SetBool(10012, true);
  for (const Int32 key : {10004, 10006, 10007, 10009})
    Prefs().SetBool(key, false);
  // The operator has no cells yet (never built): it is passed over even when selected.
  op->SetBit(BIT_ACTIVE);
  EXPECT_EQ(Line(), "Output min: 0.000 | Output range: 0.000");
}

TEST_F(HudTest, OnlyTheOrdinaryDrawPassWithEverythingPresentDraws)
{
  BaseObject* terrain = AddTerrain("T");
  Build(terrain);
  terrain->SetBit(BIT_ACTIVE);
  FillPreferenceDefaults();
  host::ExecuteSceneHooks(doc, nullptr);
  TerrainHudDrawScenehook* hook = Hook();
  BaseSceneHook* node = doc->FindSceneHook(ID_OGX_TERRAINHUD_SCENEHOOK);
  BaseDraw view(800, 625);
  BaseDrawHelp help(&view, doc);
  EXPECT_TRUE(hook->Draw(node, doc, &view, &help, nullptr, SCENEHOOKDRAW::NONE));
  EXPECT_TRUE(hook->Draw(node, doc, &view, nullptr, nullptr, SCENEHOOKDRAW::DRAW_PASS));
  EXPECT_TRUE(hook->Draw(nullptr, doc, &view, &help, nullptr, SCENEHOOKDRAW::DRAW_PASS));
  EXPECT_TRUE(view.GetHudTexts().empty());
  EXPECT_TRUE(hook->Draw(node, doc, &view, &help, nullptr, SCENEHOOKDRAW::DRAW_PASS));
  EXPECT_EQ(view.GetHudTexts().size(), 1u);

  // An execution without the expression flag gathers nothing.
  terrain->DelBit(BIT_ACTIVE);
  EXPECT_EQ(hook->Execute(node, doc, nullptr, 0, EXECUTIONFLAGS::NONE), EXECUTIONRESULT::OK);
  EXPECT_EQ(hook->GetStatistics().terrainCount, 1);
  // Nothing selected: nothing counted, nothing drawn.
  EXPECT_EQ(hook->Execute(node, doc, nullptr, 0, EXECUTIONFLAGS::EXPRESSION), EXECUTIONRESULT::OK);
  EXPECT_EQ(hook->GetStatistics().terrainCount, 0);
}

TEST_F(HudTest, AFailedGatheringAnswersTwo)
{
  AddTerrain("T")->SetBit(BIT_ACTIVE);
  FillPreferenceDefaults();
  BaseSceneHook* node = doc->FindSceneHook(ID_OGX_TERRAINHUD_SCENEHOOK);
  TerrainHudDrawScenehook* hook = node->GetNodeData<TerrainHudDrawScenehook>();
  host::Console().Clear();
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(hook->Execute(node, doc, nullptr, 0, EXECUTIONFLAGS::EXPRESSION), EXECUTIONRESULT::OUTOFMEMORY);
  }
  EXPECT_EQ(host::Console().GetCount(), 1);
}

TEST(HudStatistics, MergeKeepsSmallerMinimaLargerRangesAndTheFirstName)
{
  HudStatistics a;
  a.memory = 1000;
  a.pointCount = 4;
  a.polygonCount = 1;
  a.terrainCount = 1;
  a.heightMinimum = -2.0;
  a.heightRange = 3.0;
  a.outputMinimum = 0.5;
  a.outputRange = 1.0;
  a.name = "A";
  HudStatistics b;
  b.memory = std::numeric_limits<Int32>::max();   // sums leave Int32 behind
  b.pointCount = 9;
  b.polygonCount = 4;
  b.terrainCount = 1;
  b.heightMinimum = 1.0;
  b.heightRange = 5.0;
  b.outputMinimum = -0.5;
  b.outputRange = 0.25;
  b.name = "B";
  HudStatistics out;
  MergeHudStatistics(a, out, b);
  EXPECT_EQ(out.memory, 1000 + static_cast<Int64>(std::numeric_limits<Int32>::max()));
  EXPECT_EQ(out.pointCount, 13);
  EXPECT_EQ(out.polygonCount, 5);
  EXPECT_EQ(out.terrainCount, 2);
  EXPECT_EQ(out.heightMinimum, -2.0);
  EXPECT_EQ(out.heightRange, 5.0);
  EXPECT_EQ(out.outputMinimum, -0.5);
  EXPECT_EQ(out.outputRange, 1.0);
  EXPECT_EQ(out.name, "A");
  // Merging into a itself, and an empty first name giving way.
  a.name.clear();
  MergeHudStatistics(a, a, b);
  EXPECT_EQ(a.name, "B");
  EXPECT_EQ(a.terrainCount, 2);
  // The reset record changes nothing it is merged with.
  HudStatistics merged;
  MergeHudStatistics(HudStatistics(), merged, b);
  EXPECT_EQ(merged.heightMinimum, b.heightMinimum);
  EXPECT_EQ(merged.outputRange, b.outputRange);
  EXPECT_EQ(merged.name, "B");
}
} // namespace
