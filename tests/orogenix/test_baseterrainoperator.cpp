#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/fields/fieldlist.h"
#include "host/fields/fieldobjects.h"
#include "host/scene/hierarchy.h"
#include "host/scene/hyperfile.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "support/test_operators.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
constexpr Int32 ADD = static_cast<Int32>(BLENDMODE::ADD);
constexpr Int32 NORMAL = static_cast<Int32>(BLENDMODE::NORMAL);

class BaseOperatorTest : public OperatorSceneTest
{
protected:
  // Runs one evaluation of op against terrainGrid (recomputing when rebuild is set).
  Result<EVALUATIONRESULT> Evaluate(BaseObject* op, const Grid2D<Float>& terrainGrid, EvaluationContext& context,
                                    Bool rebuild)
  {
    OperatorData(op)->SetRebuildFlag(rebuild);
    return OperatorData(op)->EvaluateOperator(terrainGrid, op, doc, context);
  }

  // A zero terrain of the context's shape.
  Grid2D<Float> ZeroTerrain(const EvaluationContext& context)
  {
    Grid2D<Float> g;
    EXPECT_TRUE(g.Init(context.resolutionX + 1, context.resolutionZ + 1, context.sizeX, context.sizeZ).IsOk());
    return g;
  }

  OPERATORDIRTY Dirty(BaseObject* op, EvaluationContext& context)
  {
    return OperatorData(op)->GetDirtyState(op, doc, context);
  }
};

FieldList* MaskingList(BaseObject* op)
{
  return static_cast<FieldList*>(
    op->GetDataInstanceRef().GetCustomData(TERRAINOPERATOR_MASKING_FIELDS_LIST, CUSTOMDATATYPE_FIELDLIST));
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Init, Read, instance test

TEST_F(BaseOperatorTest, InitSetsTheSharedDefaults)
{
  BaseObject* op = AddOperator(ID_TEST_FILTER);
  const BaseContainer& bc = op->GetDataInstanceRef();
  struct Expect
  {
    Int32 id;
    Float value;
  };
  for (const Expect& e : {Expect{1001, 1.0}, {1003, 1.0}, {1004, 0.0}, {1005, 1.0}, {3022, 0.0}, {3023, 0.5},
                          {3024, 0.0}, {3025, 1.0}, {3032, 0.0}, {3033, 1000.0}, {3034, 0.0}, {3035, 1.0}})
  {
    EXPECT_EQ(bc.GetType(e.id), DA_REAL) << e.id;
    EXPECT_EQ(bc.GetFloat(e.id, -1.0), e.value) << e.id;
  }
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATOR_BLENDMODE, -1), NORMAL);
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATOR_EXPORT_MODE, -1), 0);
  EXPECT_FALSE(bc.GetBool(TERRAINOPERATOR_MASKING_SLOPE, true));
  EXPECT_FALSE(bc.GetBool(TERRAINOPERATOR_MASKING_HEIGHT, true));
  // The operator's own initialisation ran too.
  EXPECT_EQ(bc.GetFloat(TESTOPERATOR_VALUE), 1.0);

  const FieldList* fields = MaskingList(op);
  ASSERT_NE(fields, nullptr);
  EXPECT_EQ(fields->GetLayerCount(), 0);
  EXPECT_EQ(fields->GetFlags() & FIELDLIST_FLAG_EMPTYISFULL, 0);
  EXPECT_NE(fields->GetFlags() & FIELDLIST_FLAG_CLAMPOUTPUT, 0);
}

TEST_F(BaseOperatorTest, GeneratorBlendModeComesFromThePreferences)
{
  struct Case
  {
    const char* name;
    std::function<void()> prepare;
    Int32 expected;
  };
  const Case cases[] = {
    {"never_set_creates_the_preferences", [] {}, ADD},
    {"set_in_the_preferences",
     [] {
       BaseContainer prefs;
       prefs.SetInt32(OGX_PREFS_DEFAULT_BLENDMODE, static_cast<Int32>(BLENDMODE::SOFTLIGHT));
       GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
     },
     static_cast<Int32>(BLENDMODE::SOFTLIGHT)},
    {"preferences_exist_without_the_key",
     [] { GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, BaseContainer()); }, ADD},
    {"preferences_cannot_be_had", [] { host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, true); }, NORMAL},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    host::ResetWorldContainer();
    c.prepare();
    BaseObject* op = BaseObject::Alloc(ID_TEST_GENERATOR);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->GetDataInstanceRef().GetInt32(TERRAINOPERATOR_BLENDMODE, -1), c.expected);
    EXPECT_EQ(op->GetDataInstanceRef().GetFloat(TERRAINOPERATOR_HEIGHT), 50.0);
    // A missing container was stored on the way.
    host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, false);
    EXPECT_NE(GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES), nullptr);
    BaseObject::Free(op);
  }
  host::ResetWorldContainer();
}

TEST_F(BaseOperatorTest, FilterIgnoresThePreferredBlendMode)
{
  BaseContainer prefs;
  prefs.SetInt32(OGX_PREFS_DEFAULT_BLENDMODE, static_cast<Int32>(BLENDMODE::MULTIPLY));
  GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  BaseObject* op = AddOperator(ID_TEST_FILTER);
  EXPECT_EQ(op->GetDataInstanceRef().GetInt32(TERRAINOPERATOR_BLENDMODE, -1), NORMAL);
  EXPECT_EQ(op->GetDataInstanceRef().GetFloat(TERRAINOPERATOR_HEIGHT), 1.0);
}

TEST_F(BaseOperatorTest, ReadAtLevelZeroMovesTheHeightIntoTheFactorForMultiplicativeModes)
{
  struct Case
  {
    BLENDMODE mode;
    Int32 level;
    Bool moved;
  };
  const Case cases[] = {
    {BLENDMODE::MULTIPLY, 0, true},  {BLENDMODE::DIVIDE, 0, true},   {BLENDMODE::OVERLAY, 0, true},
    {BLENDMODE::HARDLIGHT, 0, true}, {BLENDMODE::NORMAL, 0, false},  {BLENDMODE::ADD, 0, false},
    {BLENDMODE::PHOENIXINVERSE, 0, false}, {BLENDMODE::MULTIPLY, 1, false}, {BLENDMODE::OVERLAY, 2, false},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(testing::Message() << BlendModeToString(static_cast<Int32>(c.mode)) << " level " << c.level);
    BaseObject* op = AddOperator(ID_TEST_GENERATOR);
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(c.mode));
    bc.SetFloat(TERRAINOPERATOR_HEIGHT, 7.5);
    bc.SetFloat(TERRAINOPERATOR_FACTOR, 1.0);
    HyperFile hf;
    EXPECT_TRUE(OperatorData(op)->Read(op, &hf, c.level));
    EXPECT_EQ(bc.GetFloat(TERRAINOPERATOR_FACTOR), c.moved ? 7.5 : 1.0);
    EXPECT_EQ(bc.GetFloat(TERRAINOPERATOR_HEIGHT), 7.5);
  }
}

TEST_F(BaseOperatorTest, InstanceTest)
{
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  EXPECT_TRUE(op->IsInstanceOf(ID_TEST_GENERATOR));
  EXPECT_TRUE(op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE));
  EXPECT_FALSE(op->IsInstanceOf(ID_TEST_FILTER));
  EXPECT_FALSE(op->IsInstanceOf(Onull));
  EXPECT_FALSE(OperatorData(op)->IsInstanceOf(nullptr, ID_OGX_TERRAINOPERATOR_BASE));
  EXPECT_FALSE(terrain->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE));
}

// ---------------------------------------------------------------------------------------------------
// Descriptions and enabling

TEST_F(BaseOperatorTest, DescriptionShowsBlendControlsOnlyForGenerators)
{
  struct Case
  {
    const char* name;
    Int32 type;
    BLENDMODE mode;
    Bool blendMode, height, factor, offset;   // shown
  };
  const Case cases[] = {
    {"generator_add", ID_TEST_GENERATOR, BLENDMODE::ADD, true, true, false, true},
    {"generator_multiply", ID_TEST_GENERATOR, BLENDMODE::MULTIPLY, true, false, true, true},
    {"generator_softlight", ID_TEST_GENERATOR, BLENDMODE::SOFTLIGHT, true, false, true, true},
    {"filter", ID_TEST_FILTER, BLENDMODE::NORMAL, false, false, false, false},
    {"filter_changed_to_multiply", ID_TEST_FILTER, BLENDMODE::MULTIPLY, false, false, false, false},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = AddOperator(c.type);
    op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(c.mode));
    Description d;
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(&d, flags));
    EXPECT_TRUE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
    auto shown = [&](Int32 id) { return !d.FindEntry(id)->attributes.GetBool(DESC_HIDE); };
    EXPECT_EQ(shown(TERRAINOPERATOR_BLENDMODE), c.blendMode);
    EXPECT_EQ(shown(TERRAINOPERATOR_HEIGHT), c.height);
    EXPECT_EQ(shown(TERRAINOPERATOR_FACTOR), c.factor);
    EXPECT_EQ(shown(TERRAINOPERATOR_OFFSET), c.offset);
  }
}

TEST_F(BaseOperatorTest, FilterExportCycleListsTheDifferenceMap)
{
  struct Case
  {
    Int32 type;
    Bool withDifference;
  };
  for (const Case& c : {Case{ID_TEST_FILTER, true}, Case{ID_TEST_GENERATOR, false}})
  {
    SCOPED_TRACE(c.type);
    BaseObject* op = AddOperator(c.type);
    Description d;
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(&d, flags));
    const BaseContainer cycle = d.FindEntry(TERRAINOPERATOR_EXPORT_MODE)->attributes.GetContainer(DESC_CYCLE);
    // The resource's own maps stay.
    EXPECT_EQ(cycle.GetString(0), GeLoadString(10030));
    EXPECT_EQ(cycle.GetString(1), GeLoadString(10031));
    EXPECT_EQ(cycle.GetString(2), GeLoadString(10032));
    EXPECT_EQ(cycle.Contains(-1), c.withDifference);
    EXPECT_EQ(cycle.GetString(-1, "absent"), c.withDifference ? String() : String("absent"));
    EXPECT_EQ(cycle.GetString(ID_OGX_CUSTOMOUTPUT_DIFFERENCE), c.withDifference ? GeLoadString(10073) : String());
    EXPECT_EQ(cycle.GetCount(), c.withDifference ? 5 : 3);
  }
}

namespace
{
constexpr Int32 ID_TEST_BROKENDESCRIPTION = 1099103;

// A filter whose own description step throws the resource's entries away, so the export cycle cannot be
// extended.
class ClearingFilter : public TestFilter
{
public:
  static NodeData* Alloc() { return NewObj<ClearingFilter>(); }
  Bool GetOperatorDDescription(GeListNode*, BaseContainer&, Description* description, DESCFLAGS_DESC&) override
  {
    description->Clear();
    return true;
  }
};

class RefusingFilter : public TestFilter
{
public:
  static NodeData* Alloc() { return NewObj<RefusingFilter>(); }
  Bool GetOperatorDDescription(GeListNode*, BaseContainer&, Description*, DESCFLAGS_DESC&) override { return false; }
};
} // namespace

TEST_F(BaseOperatorTest, DescriptionFailures)
{
  ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_BROKENDESCRIPTION, "Clearing", OBJECT_GENERATOR, ClearingFilter::Alloc,
                                   "Obaseterrainoperator", nullptr, 1));
  ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_BROKENDESCRIPTION + 1, "Refusing", OBJECT_GENERATOR,
                                   RefusingFilter::Alloc, "Obaseterrainoperator", nullptr, 1));
  Description d;
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;

  BaseObject* clearing = AddOperator(ID_TEST_BROKENDESCRIPTION);
  EXPECT_FALSE(clearing->GetDescription(&d, flags));
  EXPECT_EQ(host::Console().GetLast(), "Could not add LONG CYCLE elements!");

  host::ResetLogs();
  BaseObject* refusing = AddOperator(ID_TEST_BROKENDESCRIPTION + 1);
  EXPECT_FALSE(refusing->GetDescription(&d, flags));
  EXPECT_EQ(host::Console().GetCount(), 0);

  // Without the resource there is nothing to describe.
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  host::SetModuleDirectory(Url(String("/nonexistent-ogx-module")));
  flags = DESCFLAGS_DESC::NONE;
  EXPECT_FALSE(op->GetDescription(&d, flags));
  EXPECT_FALSE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
}

TEST_F(BaseOperatorTest, DescriptionDefaultsMatchInit)
{
  // The resource's defaults are what a user resets to; they must agree with what Init stores.
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  Description d;
  ASSERT_TRUE(d.LoadDescription("Obaseterrainoperator"));
  const BaseContainer& bc = op->GetDataInstanceRef();
  Int32 compared = 0;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
  {
    const DescriptionEntry* e = d.GetEntry(i);
    if (!e->attributes.Contains(DESC_DEFAULT))
      continue;
    SCOPED_TRACE(e->id.id);
    ASSERT_TRUE(bc.Contains(e->id.id));
    EXPECT_EQ(bc.GetData(e->id.id), e->attributes.GetData(DESC_DEFAULT));
    ++compared;
  }
  EXPECT_EQ(compared, 16);
}

TEST_F(BaseOperatorTest, EnablingRules)
{
  BaseObject* first = AddOperator(ID_TEST_GENERATOR);
  BaseObject* second = AddOperator(ID_TEST_FILTER);
  Grid2D<Float>& grid = second->GetNodeData<TestFilter>()->Output();

  struct Case
  {
    const char* name;
    BaseObject* op;
    Int32 id;
    std::function<void()> prepare;
    Bool expected;
  };
  auto set = [](BaseObject* op, Int32 id, Bool v) { return [=] { op->GetDataInstanceRef().SetBool(id, v); }; };
  auto shape = [&grid](Int w, Int h) { return [=, &grid] { ASSERT_TRUE(grid.Init(w, h, 1.0, 1.0).IsOk()); }; };
  const Case cases[] = {
    {"slope_switch_first", first, 3021, [] {}, false},
    {"height_switch_first", first, 3031, [] {}, false},
    {"slope_switch_second", second, 3021, [] {}, true},
    {"height_switch_second", second, 3031, [] {}, true},
    {"slope_band_first_even_when_on", first, 3022, set(first, 3021, true), false},
    {"slope_band_off", second, 3023, set(second, 3021, false), false},
    {"slope_band_on", second, 3025, set(second, 3021, true), true},
    {"height_band_off", second, 3032, set(second, 3031, false), false},
    {"height_band_on", second, 3035, set(second, 3031, true), true},
    {"height_band_follows_its_own_switch", second, 3034,
     [&] {
       set(second, 3031, false)();
       set(second, 3021, true)();
     },
     false},
    {"export_never_evaluated", second, 1091, [&grid] { grid.Reset(); }, false},
    {"export_8_cells", second, 1091, shape(2, 4), false},
    {"export_9_cells", second, 1091, shape(3, 3), true},
    {"other_parameter", second, 1001, [] {}, true},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    c.prepare();
    EXPECT_EQ(c.op->GetDEnabling(DescID(c.id), GeData()), c.expected);
  }
}

TEST_F(BaseOperatorTest, MessageAsksTheOperatorFirst)
{
  struct Answering : TestGenerator
  {
    Bool OperatorMessage(GeListNode*, Int32 type, void*) override { return type == 42; }
  } data;
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  EXPECT_TRUE(data.Message(op, 42, nullptr));
  // Not handled by the operator: the host default (true) answers.
  EXPECT_TRUE(data.Message(op, 43, nullptr));
  EXPECT_TRUE(op->Message(MSG_UPDATE));
}

// ---------------------------------------------------------------------------------------------------
// Custom outputs and memory

TEST_F(BaseOperatorTest, CustomOutputs)
{
  BaseObject* filter = AddOperator(ID_TEST_FILTER);
  BaseObject* generator = AddOperator(ID_TEST_GENERATOR);
  OGX::BaseTerrainOperatorData* data = OperatorData(filter);

  Result<String> name = data->GetCustomOutputName(ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  ASSERT_TRUE(name.IsOk());
  EXPECT_EQ(name.GetValue(), GeLoadString(10073));
  Result<Grid2D<Float>*> grid = data->GetCustomOutputGrid(ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  ASSERT_TRUE(grid.IsOk());
  EXPECT_EQ(grid.GetValue(), &filter->GetNodeData<TestFilter>()->Difference());

  for (Int32 id : {0, 1, 2, ID_OGX_CUSTOMOUTPUT_DIFFERENCE + 1})
  {
    Result<String> n = data->GetCustomOutputName(id);
    ASSERT_TRUE(n.IsError());
    EXPECT_EQ(n.GetError().GetMessage(), "Unknown outputId!");
    Result<Grid2D<Float>*> g = data->GetCustomOutputGrid(id);
    ASSERT_TRUE(g.IsError());
    EXPECT_EQ(g.GetError().GetMessage(), "Unknown outputId!");
  }

  BaseArray<CustomOutput> list;
  EXPECT_TRUE(data->GetCustomOutputsList(list, filter));
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list[0].id, ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  EXPECT_EQ(list[0].name, GeLoadString(10073));

  BaseArray<CustomOutput> none;
  EXPECT_FALSE(OperatorData(generator)->GetCustomOutputsList(none, generator));
  EXPECT_TRUE(none.IsEmpty());

  // An append that fails prints the error and reports no list.
  BaseArray<CustomOutput> failing;
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(data->GetCustomOutputsList(failing, filter));
  }
  EXPECT_EQ(host::Console().GetLast(), "Array allocation failed!");
}

TEST_F(BaseOperatorTest, MemoryUsageCountsBothGrids)
{
  BaseObject* filter = AddOperator(ID_TEST_FILTER);
  EXPECT_EQ(OperatorData(filter)->GetMemoryUsage(), 576);
  EvaluationContext context = MakeContext(2);
  Grid2D<Float> t = ZeroTerrain(context);
  ASSERT_TRUE(Evaluate(filter, t, context, true).IsOk());
  // 3 x 3 output cells and as many difference cells, 8 bytes each.
  EXPECT_EQ(OperatorData(filter)->GetMemoryUsage(), 576 + 8 * 18);
}

TEST(FormatMemory, SizesAndUnits)
{
  host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
  ASSERT_TRUE(InitResource());
  struct Case
  {
    UInt bytes;
    const char* number;
    Int32 unit;
  };
  const Case cases[] = {
    {0, "0", 10024},
    {1, "1", 10024},
    {1024, "1024", 10024},               // not above 1024: stays in bytes
    {1025, "1.00", 10025},
    {1536, "1.50", 10025},
    {1u << 20, "1024.00", 10025},        // exactly 1024 KB is not divided again
    {(1u << 20) + 1024u * 10u, "1.01", 10026},
    {1ull << 30, "1024.00", 10026},
    {1ull << 40, "1024.00", 10027},
    {(1ull << 40) + (1ull << 31), "1026.00", 10027},
    {1ull << 50, "1048576.00", 10027},   // no unit beyond GB
    {~0ull, "17179869184.00", 10027},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.bytes);
    const String expected = String(c.number) + " " + GeLoadString(c.unit);
    EXPECT_EQ(FormatMemorySize(c.bytes), expected);
    EXPECT_EQ(FormatMemoryText(c.bytes), GeLoadString(10022).Format(expected));
  }
  EXPECT_EQ(FormatMemoryText(1536), "Memory: 1.50 KB");
  FreeResource();
  host::SetModuleDirectory(Url());
}

TEST(MatrixHash, MatchesAHandComputation)
{
  // c(1.0): w = 0x3FF0000000000000, a = w ^ (w >> 32) = 0x3FF000003FF00000,
  // b = (((a >> 8) ^ a) >> 12) ^ a = 0x3FF3FCFF3FF3FCFF, c = (((b >> 3) ^ b) >> 4) ^ b = 0x3C7324C9327324C9;
  // c(0.0) = 0. The identity's axes hash to c*31*31, c*31 and c; its offset to 0.
  const UInt64 c1 = 0x3C7324C9327324C9ull;
  const UInt64 hv1 = c1 * 31 * 31, hv2 = c1 * 31, hv3 = c1;
  EXPECT_EQ(hv1, 0xEC3D1746623D1689ull);
  EXPECT_EQ(HashMatrix(Matrix()), ((hv1 * 31 + hv2) * 31 + hv3) * 31);
  EXPECT_EQ(HashMatrix(Matrix()), 0x468ECD8524389FC5ull);
  // A general matrix, from an independent implementation of the same steps.
  const Matrix m(Vector(10.0, -2.5, 3.0), Vector(0.5, 0.0, 0.25), Vector(0.0, 2.0, 0.0), Vector(-1.0, 0.0, 1e-3));
  EXPECT_EQ(HashMatrix(m), 0x6781841B6A082FC7ull);
  // The offset takes part: a move changes the hash.
  Matrix moved = m;
  moved.off.x += 1.0;
  EXPECT_NE(HashMatrix(moved), HashMatrix(m));
}

TEST(BlendSettingsRead, LayerScaleFollowsTheMode)
{
  BaseContainer bc;
  BlendSettings s;
  ReadBlendSettings(s, bc);   // read defaults
  EXPECT_EQ(s.opacity, 0.0);
  EXPECT_EQ(s.blendMode, 0);
  EXPECT_EQ(s.layerScale, 1.0);
  EXPECT_EQ(s.slopeHigh, 0.0);
  EXPECT_FALSE(s.heightMaskEnabled);

  bc.SetFloat(TERRAINOPERATOR_HEIGHT, 3.0);
  bc.SetFloat(TERRAINOPERATOR_FACTOR, 5.0);
  for (Int32 mode = 0; mode < static_cast<Int32>(BLENDMODE::_BLENDMODE_COUNT); ++mode)
  {
    bc.SetInt32(TERRAINOPERATOR_BLENDMODE, mode);
    ReadBlendSettings(s, bc);
    const Bool factor = mode == 3 || mode == 4 || mode >= 10;
    EXPECT_EQ(s.layerScale, factor ? 5.0 : 3.0) << mode;
  }
  bc.SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH, 0.25);
  bc.SetBool(TERRAINOPERATOR_MASKING_SLOPE, true);
  ReadBlendSettings(s, bc);
  EXPECT_EQ(s.heightFalloffHigh, 0.25);
  EXPECT_TRUE(s.slopeMaskEnabled);
}

// ---------------------------------------------------------------------------------------------------
// Dirty state

TEST_F(BaseOperatorTest, DirtyRules)
{
  struct Case
  {
    const char* name;
    Int32 type;
    TERRAINOPERATORFLAGS extraFlags;
    Bool listIds;
    // Changes the scene or the context after the first evaluation.
    std::function<void(BaseObject* op, BaseObject* pred, EvaluationContext& context)> change;
    OPERATORDIRTY expected;
  };
  using F = TERRAINOPERATORFLAGS;
  auto param = [](Int32 id, Float v) {
    return [=](BaseObject* op, BaseObject*, EvaluationContext&) { op->GetDataInstanceRef().SetFloat(id, v); };
  };
  const Case cases[] = {
    {"nothing", ID_TEST_GENERATOR, F::NONE, true, [](BaseObject*, BaseObject*, EvaluationContext&) {},
     OPERATORDIRTY::CLEAN},
    {"opacity_listed_ids", ID_TEST_GENERATOR, F::NONE, true, param(TERRAINOPERATOR_OPACITY, 0.5),
     OPERATORDIRTY::REEVALUATE},
    {"opacity_no_ids", ID_TEST_GENERATOR, F::NONE, false, param(TERRAINOPERATOR_OPACITY, 0.5),
     OPERATORDIRTY::REBUILD},
    {"listed_parameter", ID_TEST_GENERATOR, F::NONE, true, param(TESTOPERATOR_VALUE, 2.0), OPERATORDIRTY::REBUILD},
    {"unlisted_parameter", ID_TEST_GENERATOR, F::NONE, true, param(TESTOPERATOR_UNLISTED, 2.0),
     OPERATORDIRTY::REEVALUATE},
    {"same_value_written_again", ID_TEST_GENERATOR, F::NONE, true, param(TESTOPERATOR_VALUE, 1.0),
     OPERATORDIRTY::REEVALUATE},
    {"resolution", ID_TEST_GENERATOR, F::NONE, true,
     [](BaseObject*, BaseObject*, EvaluationContext& c) { c.resolutionZ = 3; }, OPERATORDIRTY::REBUILD},
    {"size", ID_TEST_GENERATOR, F::NONE, true, [](BaseObject*, BaseObject*, EvaluationContext& c) { c.sizeX = 11.0; },
     OPERATORDIRTY::REBUILD},
    {"operator_asks", ID_TEST_GENERATOR, F::NONE, true,
     [](BaseObject* op, BaseObject*, EvaluationContext&) { Control(op).forceDirty = true; }, OPERATORDIRTY::REBUILD},
    {"moved_with_matrix_flag", ID_TEST_GENERATOR, F::DIRTY_MATRIX_OPERATOR, true,
     [](BaseObject* op, BaseObject*, EvaluationContext&) { op->SetMl(Matrix(Vector(1.0, 0.0, 0.0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1))); },
     OPERATORDIRTY::REBUILD},
    {"moved_without_matrix_flag", ID_TEST_GENERATOR, F::NONE, true,
     [](BaseObject* op, BaseObject*, EvaluationContext&) { op->SetMl(Matrix(Vector(1.0, 0.0, 0.0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1))); },
     OPERATORDIRTY::CLEAN},
    {"terrain_moved", ID_TEST_GENERATOR, F::DIRTY_MATRIX_TERRAIN, true,
     [](BaseObject*, BaseObject*, EvaluationContext& c) { c.terrainMatrix.off.y = 2.0; }, OPERATORDIRTY::REBUILD},
    {"terrain_moved_not_watched", ID_TEST_GENERATOR, F::DIRTY_MATRIX_OPERATOR, true,
     [](BaseObject*, BaseObject*, EvaluationContext& c) { c.terrainMatrix.off.y = 2.0; }, OPERATORDIRTY::CLEAN},
    {"parents_moved", ID_TEST_GENERATOR, F::DIRTY_MATRIX_PARENTHIERARCHY, true,
     [](BaseObject*, BaseObject*, EvaluationContext& c) { c.parentMatrix.v1.x = 2.0; }, OPERATORDIRTY::REBUILD},
    {"filter_predecessor_changed", ID_TEST_FILTER, F::NONE, true,
     [](BaseObject*, BaseObject* pred, EvaluationContext&) { pred->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 3.0); },
     OPERATORDIRTY::REBUILD},
    {"filter_predecessor_replaced", ID_TEST_FILTER, F::NONE, true,
     [](BaseObject* op, BaseObject*, EvaluationContext&) {
       BaseObject* other = BaseObject::Alloc(Onull);
       ASSERT_TRUE(other->InsertBefore(op));
     },
     OPERATORDIRTY::REBUILD},
    {"generator_predecessor_changed", ID_TEST_GENERATOR, F::NONE, true,
     [](BaseObject*, BaseObject* pred, EvaluationContext&) { pred->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 3.0); },
     OPERATORDIRTY::CLEAN},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* pred = AddOperator(ID_TEST_GENERATOR);
    BaseObject* op = AddOperator(c.type);
    Control(op).extraFlags = c.extraFlags;
    Control(op).listIds = c.listIds;
    EvaluationContext context = MakeContext(2);
    Grid2D<Float> t = ZeroTerrain(context);
    // What a queue does: the dirty test, then the evaluation.
    EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::REBUILD);   // never computed
    ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
    EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);

    c.change(op, pred, context);
    EXPECT_EQ(Dirty(op, context), c.expected);
    // A dirty test changes nothing saved: asked again, it sees the same change.
    EXPECT_EQ(Dirty(op, context), c.expected);
    // An evaluation records the state: afterwards the operator is clean (for a REBUILD after recomputing).
    Control(op).forceDirty = false;
    ASSERT_TRUE(Evaluate(op, t, context, c.expected == OPERATORDIRTY::REBUILD).IsOk());
    EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);
    (void)pred;
    while (BaseObject* rest = terrain->GetDown())
      BaseObject::Free(rest);
  }
}

TEST_F(BaseOperatorTest, MaskingFieldChangesOnlyBlendAgain)
{
  BaseObject* sphere = BaseObject::Alloc(Ofieldspherical);
  ASSERT_NE(sphere, nullptr);
  ASSERT_TRUE(doc->InsertObject(sphere, nullptr));

  struct Case
  {
    const char* name;
    Bool listIds;
    std::function<void(FieldLayer* layer)> change;
    OPERATORDIRTY expected;
  };
  const Case cases[] = {
    {"linked_object_moved", true,
     [sphere](FieldLayer*) { sphere->SetMl(Matrix(Vector(5.0, 0.0, 0.0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1))); },
     OPERATORDIRTY::REEVALUATE},
    {"linked_object_edited", true, [sphere](FieldLayer*) { sphere->GetDataInstanceRef().SetFloat(FIELDOBJECT_SIZE, 3.0); },
     OPERATORDIRTY::REEVALUATE},
    {"layer_edited_in_place", true, [](FieldLayer* layer) { layer->SetOpacity(0.5); }, OPERATORDIRTY::REEVALUATE},
    // An operator that lists no ids recomputes only on its own data count, which in-place edits of the list
    // do not raise: they still only blend again.
    {"layer_edited_no_ids", false, [](FieldLayer* layer) { layer->SetOpacity(0.5); }, OPERATORDIRTY::REEVALUATE},
    {"nothing", true, [](FieldLayer*) {}, OPERATORDIRTY::CLEAN},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = AddOperator(ID_TEST_GENERATOR);
    Control(op).listIds = c.listIds;
    {
      std::unique_ptr<FieldLayer> layer = FieldLayer::Alloc(FLobject);
      layer->SetLinkedObject(sphere);
      ASSERT_TRUE(MaskingList(op)->AppendLayer(std::move(layer)).IsOk());
      op->SetDirty(DIRTYFLAGS::DATA);   // the list was edited in place
    }
    EvaluationContext context = MakeContext(2);
    Grid2D<Float> t = ZeroTerrain(context);
    Dirty(op, context);
    ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
    EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);

    c.change(MaskingList(op)->GetFirstLayer());
    EXPECT_EQ(Dirty(op, context), c.expected);
    BaseObject::Free(op);
  }
}

// ---------------------------------------------------------------------------------------------------
// Evaluation

TEST_F(BaseOperatorTest, EvaluateRecomputesOnlyWhenTold)
{
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  EvaluationContext context = MakeContext(2);
  Grid2D<Float> t = ZeroTerrain(context);
  OGX::BaseTerrainOperatorData* data = OperatorData(op);

  Dirty(op, context);
  Result<EVALUATIONRESULT> first = Evaluate(op, t, context, true);
  ASSERT_TRUE(first.IsOk());
  EXPECT_EQ(first.GetValue(), EVALUATIONRESULT::REBUILT);
  EXPECT_EQ(Control(op).computeCount, 1);
  EXPECT_FALSE(data->GetRebuildFlag());
  const String info = op->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO);
  EXPECT_EQ(info, FormatMemoryText(576 + 8 * 9));

  // Unchanged: clean, cached, and the same status text written again.
  EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);
  Result<EVALUATIONRESULT> second = Evaluate(op, t, context, false);
  ASSERT_TRUE(second.IsOk());
  EXPECT_EQ(second.GetValue(), EVALUATIONRESULT::CACHED);
  EXPECT_EQ(Control(op).computeCount, 1);
  EXPECT_EQ(op->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO), info);
  EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);
  // A generator keeps no difference map.
  EXPECT_EQ(op->GetNodeData<TestGenerator>()->Difference().cellCount, 0);
}

TEST_F(BaseOperatorTest, FailedComputationKeepsTheRebuildFlagAndReturnsTheErrorUnchanged)
{
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  EvaluationContext context = MakeContext(2);
  Grid2D<Float> t = ZeroTerrain(context);
  Dirty(op, context);
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
  op->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 4.0);
  EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::REBUILD);

  Control(op).failCompute = true;
  Control(op).failMessage = "Test generator cancelled!";
  Result<EVALUATIONRESULT> r = Evaluate(op, t, context, true);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "Test generator cancelled!");
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(op->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO), GeLoadString(10028));
  EXPECT_TRUE(OperatorData(op)->GetRebuildFlag());
  // Nothing was saved: the change is still seen.
  EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::REBUILD);

  Control(op).failCompute = false;
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
  EXPECT_EQ(op->GetNodeData<TestGenerator>()->Output().cells[0], 4.0);
  EXPECT_EQ(Dirty(op, context), OPERATORDIRTY::CLEAN);
}

TEST_F(BaseOperatorTest, FilterDifferenceMap)
{
  BaseObject* pred = AddOperator(ID_TEST_GENERATOR);
  BaseObject* op = AddOperator(ID_TEST_FILTER);
  (void)pred;
  TestFilter* filter = op->GetNodeData<TestFilter>();
  EvaluationContext context = MakeContext(1);   // 2 x 2 cells

  // Computed on a flat terrain: output = input + 1 everywhere, a flat difference that normalising
  // leaves as it is.
  Grid2D<Float> t = ZeroTerrain(context);
  Dirty(op, context);
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
  for (Int i = 0; i < 4; ++i)
    EXPECT_EQ(filter->Difference().cells[i], 1.0) << i;

  // Kept (cached) while the terrain below changed: |input - output| = 1, 0, 1, 2, normalised to [0, 1].
  const Float heights[] = {0.0, 1.0, 2.0, 3.0};
  for (Int i = 0; i < 4; ++i)
    t.cells[i] = heights[i];
  ASSERT_TRUE(Evaluate(op, t, context, false).IsOk());
  const Float expected[] = {0.5, 0.0, 0.5, 1.0};
  for (Int i = 0; i < 4; ++i)
    EXPECT_EQ(filter->Difference().cells[i], expected[i]) << i;
  EXPECT_EQ(filter->Difference().width, 2);
  EXPECT_EQ(filter->Difference().sizeX, 10.0);

  // An output equal to its input gives all zeros.
  op->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 0.0);
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
  for (Int i = 0; i < 4; ++i)
    EXPECT_EQ(filter->Difference().cells[i], 0.0) << i;
}

// The map made in one pass against the plain sequence (a copy of the terrain, BlendGrids in mode
// DIFFERENCE, Normalize), bit for bit and header field for field, on many blocks with NaN, infinite and
// signed-zero heights, and with the cached output against a changed terrain.
TEST_F(BaseOperatorTest, DifferenceMapMatchesCopyBlendAndNormalize)
{
  BaseObject* pred = AddOperator(ID_TEST_GENERATOR);
  BaseObject* op = AddOperator(ID_TEST_FILTER);
  (void)pred;
  TestFilter* filter = op->GetNodeData<TestFilter>();
  EvaluationContext context = MakeContext(300);
  context.resolutionZ = 170;
  Grid2D<Float> t = ZeroTerrain(context);
  LcgRandom rng;
  rng.Init(21);
  auto fill = [&](Float scale) {
    for (Int i = 0; i < t.cellCount; ++i)
      t.cells[i] = i % 1009 == 0 ? std::nan("") : (i % 1013 == 0 ? -HUGE_VAL : (i % 17 == 0 ? -0.0 : rng.Get11() * scale));
  };
  auto reference = [&] {
    Grid2D<Float> r;
    EXPECT_TRUE(r.CopyFrom(t).IsOk());
    BlendJob job;
    job.destination = r.cells.GetFirst();
    job.layer = filter->Output().cells.GetFirst();
    job.destinationMin = &r.min;
    job.mode = static_cast<Int32>(BLENDMODE::DIFFERENCE);
    job.opacity = 1.0;
    EXPECT_TRUE(BlendGrids(0, r.cellCount, job).IsOk());
    r.Normalize(1.0, 0.0);
    return r;
  };
  auto expectSame = [&](const Grid2D<Float>& r, const char* what) {
    const Grid2D<Float>& d = filter->Difference();
    ASSERT_EQ(d.cellCount, r.cellCount) << what;
    EXPECT_EQ(d.width, r.width);
    EXPECT_EQ(d.height, r.height);
    EXPECT_EQ(d.sizeX, r.sizeX);
    EXPECT_EQ(d.sizeY, r.sizeY);
    EXPECT_TRUE(Same(d.min, r.min) && Same(d.max, r.max) && d.minMaxValid == r.minMaxValid) << what;
    for (Int i = 0; i < r.cellCount; ++i)
      ASSERT_TRUE(Same(d.cells[i], r.cells[i])) << what << " cell " << i;
  };
  fill(3.0);
  Dirty(op, context);
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());
  expectSame(reference(), "computed");
  fill(50.0);   // the cached output against another terrain
  ASSERT_TRUE(Evaluate(op, t, context, false).IsOk());
  expectSame(reference(), "cached");
}

TEST_F(BaseOperatorTest, FilterOfAnotherSizeThanItsInputFails)
{
  BaseObject* op = AddOperator(ID_TEST_FILTER);
  EvaluationContext context = MakeContext(2);
  Grid2D<Float> t = ZeroTerrain(context);
  Dirty(op, context);
  ASSERT_TRUE(Evaluate(op, t, context, true).IsOk());

  // The cached output still has 3 x 3 cells; the terrain now has 4 x 4.
  EvaluationContext bigger = MakeContext(3);
  Grid2D<Float> big = ZeroTerrain(bigger);
  Result<EVALUATIONRESULT> r = Evaluate(op, big, bigger, false);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "Cannot merge grids of different sizes!");
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(op->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO), GeLoadString(10028));

  // A failed copy of the terrain is handled the same way.
  OperatorData(op)->SetRebuildFlag(false);
  Result<EVALUATIONRESULT> oom = [&] {
    host::ScopedAllocationFailure fail(1);
    return OperatorData(op)->EvaluateOperator(t, op, doc, context);
  }();
  ASSERT_TRUE(oom.IsError());
  EXPECT_EQ(oom.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_EQ(op->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO), GeLoadString(10028));
}

TEST_F(BaseOperatorTest, FreeNotifiesTheObservers)
{
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(doc->InsertMaterial(mat));
  BaseShader* shader = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_NE(shader, nullptr);
  ASSERT_TRUE(mat->InsertShader(shader));
  ASSERT_TRUE(OperatorData(op)->GetObservable().Add(mat, doc).IsOk());
  const Int before = shader->GetDirty(DIRTYFLAGS::DATA);
  host::ClearNodeLogs(mat);
  BaseObject::Free(op);
  EXPECT_GT(shader->GetDirty(DIRTYFLAGS::DATA), before);
  const std::vector<Int32> messages = host::GetMessageLog(mat);
  EXPECT_NE(std::find(messages.begin(), messages.end(), MSG_UPDATE), messages.end());
}
