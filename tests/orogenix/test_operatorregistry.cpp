#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/hierarchy.h"
#include "orogenix/operatorregistry.h"
#include "support/test_operators.h"

using namespace ogx_test;

namespace
{
constexpr TERRAINOPERATORFLAGS GEN = TERRAINOPERATORFLAGS::TYPE_GENERATOR;
constexpr TERRAINOPERATORFLAGS FIL = TERRAINOPERATORFLAGS::TYPE_FILTER;

class RegistryTest : public OperatorSceneTest
{
protected:
  // Registers a made-up operator (the test generator's allocation, so the host can make it).
  Bool Register(Int32 id, const char* name, TERRAINOPERATORFLAGS flags, Int32 sortOrder = 21, Int32 level = 0)
  {
    return RegisterTerrainOperator(id, name, flags, TestGenerator::Alloc, "Obaseterrainoperator", nullptr, level,
                                   sortOrder);
  }

  std::vector<Int32> RegistryIds() const
  {
    std::vector<Int32> ids;
    for (const OperatorRegistryEntry& e : g_operatorRegistry)
      ids.push_back(e.id);
    return ids;
  }
};

// The entries of group 2099 as (id, data type), in order.
std::vector<std::pair<Int32, Int32>> GroupEntries(const Description& d)
{
  std::vector<std::pair<Int32, Int32>> out;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
  {
    const DescriptionEntry* e = d.GetEntry(i);
    if (e->parent == ID_OGX_ADDOPERATOR_GROUP)
      out.emplace_back(e->id.id, e->id.dtype);
  }
  return out;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Registration

TEST_F(RegistryTest, RegistersInOrderAndRefusesADuplicateId)
{
  const std::size_t hostCallsBefore = host::GetRegistrationLog().size();
  EXPECT_TRUE(Register(1099201, "Alpha", GEN, 21, 0));
  EXPECT_TRUE(Register(1099202, "Beta", FIL, 31, 1));
  EXPECT_FALSE(Register(1099201, "Again", FIL, 32));
  EXPECT_TRUE(Register(1099203, "Gamma", GEN | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR, 22));

  EXPECT_EQ(RegistryIds(), (std::vector<Int32>{1099201, 1099202, 1099203}));
  EXPECT_EQ(g_operatorRegistry[1].name, "Beta");
  EXPECT_EQ(g_operatorRegistry[1].flags, static_cast<Int32>(FIL));
  EXPECT_EQ(g_operatorRegistry[2].flags, static_cast<Int32>(GEN | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR));

  // The line is printed before the check, so the refused operator shows up too.
  const std::vector<String> expected = {
    GeLoadString(10017, String("Alpha")), GeLoadString(10018, String("Beta")),
    GeLoadString(10018, String("Again")), "OGX: Operator with this id already registered!",
    GeLoadString(10017, String("Gamma")),
  };
  EXPECT_EQ(host::Console().GetLines(), expected);
  EXPECT_EQ(expected[0], "Registered generator operator: Alpha");

  // With the host: the menu name carries the sort prefix, generator info, and one level more.
  const host::PluginEntry* alpha = host::FindPlugin(1099201);
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->name, "#$21Alpha");
  EXPECT_EQ(alpha->info, OBJECT_GENERATOR);
  EXPECT_EQ(alpha->description, "Obaseterrainoperator");
  EXPECT_EQ(alpha->diskLevel, 1);
  EXPECT_EQ(host::FindPlugin(1099202)->diskLevel, 2);
  EXPECT_EQ(host::FindPlugin(1099202)->name, "#$31Beta");
  // The duplicate never reached the host.
  EXPECT_EQ(host::GetRegistrationLog().size() - hostCallsBefore, 3u);
}

TEST_F(RegistryTest, AnOperatorTheHostRefusesLeavesNoEntry)
{
  EXPECT_TRUE(Register(1099201, "Alpha", GEN));
  host::FailNthRegistration(1);
  EXPECT_FALSE(Register(1099202, "Beta", FIL));
  EXPECT_EQ(RegistryIds(), (std::vector<Int32>{1099201}));
  // Refused for a duplicate plug-in id in the host (one the module never listed): also not kept.
  EXPECT_FALSE(Register(ID_TEST_GENERATOR, "Taken", GEN));
  EXPECT_EQ(RegistryIds(), (std::vector<Int32>{1099201}));
  // A later attempt with the refused id is not taken for a duplicate.
  EXPECT_TRUE(Register(1099202, "Beta", FIL));
  EXPECT_EQ(RegistryIds(), (std::vector<Int32>{1099201, 1099202}));
}

TEST_F(RegistryTest, AppendFailurePrintsTheError)
{
  host::ResetLogs();
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(Register(1099201, "Alpha", GEN));
  }
  EXPECT_TRUE(g_operatorRegistry.IsEmpty());
  EXPECT_EQ(host::Console().GetLines(),
            (std::vector<String>{GeLoadString(10017, String("Alpha")), "Array allocation failed!"}));
  EXPECT_EQ(host::FindPlugin(1099201), nullptr);
}

TEST_F(RegistryTest, IsRegisteredOperatorKnowsOnlyTheRegistry)
{
  EXPECT_TRUE(Register(1099201, "Alpha", GEN));
  host::FailNthRegistration(1);
  EXPECT_FALSE(Register(1099202, "Beta", FIL));
  EXPECT_TRUE(Register(1099203, "Gamma", FIL));

  EXPECT_TRUE(IsRegisteredOperator(1099201));
  EXPECT_TRUE(IsRegisteredOperator(1099203));
  // Refused by the host, a plug-in the host knows but the registry does not, and no plug-in at all.
  EXPECT_FALSE(IsRegisteredOperator(1099202));
  EXPECT_FALSE(IsRegisteredOperator(ID_TEST_GENERATOR));
  EXPECT_FALSE(IsRegisteredOperator(0));

  ReleaseRegistryEntries();
  EXPECT_FALSE(IsRegisteredOperator(1099201));
}

TEST_F(RegistryTest, ReleaseEmptiesTheRegistry)
{
  EXPECT_TRUE(Register(1099201, "Alpha", GEN));
  EXPECT_TRUE(Register(1099202, "Beta", FIL));
  ReleaseRegistryEntries();
  EXPECT_EQ(g_operatorRegistry.GetCount(), 0);
  // Registering again after a release starts a fresh list (the host still knows the plug-ins).
  EXPECT_FALSE(Register(1099201, "Alpha", GEN));
  EXPECT_TRUE(g_operatorRegistry.IsEmpty());
}

TEST_F(RegistryTest, SharedDescriptions)
{
  EXPECT_TRUE(RegisterAddOperatorDescription());
  EXPECT_TRUE(RegisterBaseTerrainOperatorDescription());
  EXPECT_FALSE(RegisterBaseTerrainOperatorDescription());   // registered already
  const std::vector<host::DescriptionRegistration> log = host::GetDescriptionRegistrationLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].id, ID_OGX_ADDOPERATOR_DESCRIPTION);
  EXPECT_EQ(log[0].name, "DaddOperator");
  EXPECT_EQ(log[1].id, ID_OGX_TERRAINOPERATOR_BASE);
  EXPECT_EQ(log[1].name, "Obaseterrainoperator");

  Description d;
  ASSERT_TRUE(d.LoadDescription(ID_OGX_TERRAINOPERATOR_BASE));
  for (Int32 id : {1001, 1002, 1003, 1004, 1005, 1090, 1091, 1092, 3001, 3021, 3022, 3023, 3024, 3025, 3031, 3032,
                   3033, 3034, 3035})
    EXPECT_NE(d.FindEntry(id), nullptr) << id;
  ASSERT_TRUE(d.LoadDescription(ID_OGX_ADDOPERATOR_DESCRIPTION));
  ASSERT_NE(d.FindEntry(ID_OGX_ADDOPERATOR_GROUP), nullptr);
  EXPECT_EQ(d.FindEntry(ID_OGX_ADDOPERATOR_GROUP)->parent, DESCGROUP_PROPERTIES);

  // Without the resources the registration is refused.
  host::ResetDescriptions();
  host::SetModuleDirectory(Url(String("/nonexistent-ogx-module")));
  EXPECT_FALSE(RegisterAddOperatorDescription());
  EXPECT_FALSE(RegisterBaseTerrainOperatorDescription());
}

TEST_F(RegistryTest, BlendModeIcons)
{
  // A sheet whose every 64 by 64 cell has its own colour: (column * 20, row * 100, 7).
  auto makeSheet = [](Int32 w, Int32 h) {
    BaseBitmap* bmp = BaseBitmap::Alloc();
    EXPECT_EQ(bmp->Init(w, h, 24), IMAGERESULT::OK);
    for (Int32 y = 0; y < h; ++y)
      for (Int32 x = 0; x < w; ++x)
        bmp->SetPixel(x, y, (x / 64) * 20, (y / 64) * 100, 7);
    return bmp;
  };

  EXPECT_FALSE(RegisterOperatorIcons());   // no sheet loaded
  EXPECT_EQ(host::GetIconCount(), 0);

  BlendModeIconSheet() = makeSheet(640, 128);
  EXPECT_TRUE(RegisterOperatorIcons());
  EXPECT_EQ(host::GetIconCount(), 15);
  // Ten from the top row, five from the second, in BLENDMODE order.
  const Int32 ids[] = {1055710, 1055711, 1055712, 1055713, 1055714, 1055715, 1055716, 1055717,
                       1055718, 1055719, 1056645, 1056646, 1056650, 1056651, 1056652};
  for (Int32 mode = 0; mode < 15; ++mode)
  {
    SCOPED_TRACE(mode);
    IconData icon;
    ASSERT_TRUE(GetIcon(ids[mode], &icon));
    EXPECT_EQ(icon.w, 64);
    EXPECT_EQ(icon.h, 64);
    UInt16 r = 0, g = 0, b = 0;
    icon.bmp->GetPixel(icon.x + 10, icon.y + 10, &r, &g, &b);
    EXPECT_EQ(r, (mode % 10) * 20);
    EXPECT_EQ(g, (mode / 10) * 100);
    EXPECT_EQ(BLENDMODE_ICONS[mode].iconId, ids[mode]);
  }
  FreeIconSheets();
  EXPECT_EQ(BlendModeIconSheet(), nullptr);

  // A sheet with one row only: the ten top-row icons register, then OVERLAY's cell lies outside.
  host::ResetIcons();
  BlendModeIconSheet() = makeSheet(640, 64);
  EXPECT_FALSE(RegisterOperatorIcons());
  EXPECT_EQ(host::GetIconCount(), 10);
  IconData icon;
  EXPECT_FALSE(GetIcon(1056645, &icon));
  FreeIconSheets();
}

TEST_F(RegistryTest, SheetIconsAndLoading)
{
  EXPECT_FALSE(RegisterSheetIcon(1099300, nullptr, 0, 0));
  BaseBitmap* sheet = BaseBitmap::Alloc();
  ASSERT_EQ(sheet->Init(128, 64, 24), IMAGERESULT::OK);
  EXPECT_TRUE(RegisterSheetIcon(1099300, sheet, 64, 0));
  EXPECT_FALSE(RegisterSheetIcon(1099301, sheet, 96, 0));   // sticks out of the sheet
  BaseBitmap::Free(sheet);
  // The library kept its own copy.
  IconData icon;
  ASSERT_TRUE(GetIcon(1099300, &icon));
  EXPECT_EQ(icon.bmp->GetBw(), 64);

  // The module's own sheets: the blend-mode sheet holds all fifteen cells.
  ASSERT_TRUE(LoadIconSheets());
  ASSERT_NE(MainIconSheet(), nullptr);
  ASSERT_NE(BlendModeIconSheet(), nullptr);
  EXPECT_TRUE(RegisterOperatorIcons());

  // Both sheets or neither: a module folder without them loads nothing (and drops what was loaded).
  host::SetModuleDirectory(Url(String("/nonexistent-ogx-module")));
  EXPECT_FALSE(LoadIconSheets());
  EXPECT_EQ(MainIconSheet(), nullptr);
  EXPECT_EQ(BlendModeIconSheet(), nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Add-operator buttons

TEST_F(RegistryTest, ButtonLayoutClosesTheGeneratorRows)
{
  struct Case
  {
    const char* name;
    Int32 generators;
    Int32 filters;
    Int32 fillers;
  };
  for (const Case& c : {Case{"odd", 3, 2, 3}, Case{"even", 2, 3, 2}, Case{"none", 0, 1, 2}, Case{"one", 1, 0, 3}})
  {
    SCOPED_TRACE(c.name);
    ReleaseRegistryEntries();
    host::ResetPlugins();
    // Filters and generators interleaved: the buttons still come generators first.
    Int32 id = 1099400;
    for (Int32 i = 0; i < std::max(c.generators, c.filters); ++i)
    {
      if (i < c.filters)
      {
        ASSERT_TRUE(Register(id++, "F", FIL));
      }
      if (i < c.generators)
      {
        ASSERT_TRUE(Register(id++, "G", GEN));
      }
    }
    std::vector<std::pair<Int32, Int32>> expected;
    expected.emplace_back(ID_OGX_ADDOPERATOR_GENERATORS_TITLE, DTYPE_TITLE);
    expected.emplace_back(ID_OGX_ADDOPERATOR_GENERATORS_SPACER, DTYPE_STATIC);
    for (const OperatorRegistryEntry& e : g_operatorRegistry)
      if (e.flags == static_cast<Int32>(GEN))
        expected.emplace_back(e.id, DTYPE_LONG);
    for (Int32 i = 0; i < c.fillers; ++i)
      expected.emplace_back(ID_OGX_ADDOPERATOR_FILLER_FIRST + i, DTYPE_STATIC);
    expected.emplace_back(ID_OGX_ADDOPERATOR_FILTERS_TITLE, DTYPE_TITLE);
    expected.emplace_back(ID_OGX_ADDOPERATOR_FILTERS_SPACER, DTYPE_STATIC);
    for (const OperatorRegistryEntry& e : g_operatorRegistry)
      if (e.flags == static_cast<Int32>(FIL))
        expected.emplace_back(e.id, DTYPE_LONG);

    Description d;
    ASSERT_TRUE(AddOperatorButtons(&d, true));
    EXPECT_EQ(GroupEntries(d), expected);
    // Generators plus fillers make whole rows of two.
    EXPECT_EQ((2 + c.generators + c.fillers) % 2, 0);
  }
}

TEST_F(RegistryTest, ButtonEntries)
{
  ASSERT_TRUE(Register(1099401, "Noise", GEN));
  ASSERT_TRUE(Register(1099402, "Blur", FIL));
  Description d;
  ASSERT_TRUE(d.LoadDescription("DaddOperator"));
  const String groupName = d.FindEntry(ID_OGX_ADDOPERATOR_GROUP)->attributes.GetString(DESC_NAME);

  ASSERT_TRUE(AddOperatorButtons(&d, false));
  const DescriptionEntry* group = d.FindEntry(ID_OGX_ADDOPERATOR_GROUP);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->id.dtype, DTYPE_GROUP);
  EXPECT_EQ(group->parent, DESCGROUP_PROPERTIES);
  EXPECT_EQ(group->attributes.GetString(DESC_NAME), groupName);   // the resource's settings are kept
  EXPECT_FALSE(group->attributes.GetBool(DESC_GROUPOPEN, true));
  ASSERT_TRUE(AddOperatorButtons(&d, true));
  EXPECT_TRUE(d.FindEntry(ID_OGX_ADDOPERATOR_GROUP)->attributes.GetBool(DESC_GROUPOPEN));
  // Built twice, the entries are replaced, not repeated.
  EXPECT_EQ(GroupEntries(d).size(), 2u + 1u + 3u + 2u + 1u);

  const BaseContainer& button = d.FindEntry(1099401)->attributes;
  EXPECT_EQ(button.GetInt32(DESC_CUSTOMGUI), CUSTOMGUI_ICONCYCLE);
  EXPECT_EQ(button.GetContainer(DESC_CYCLE).GetString(0), "Noise");
  EXPECT_EQ(button.GetContainer(DESC_CYCLEICONS).GetInt32(0), 1099401);
  EXPECT_EQ(d.FindEntry(ID_OGX_ADDOPERATOR_GENERATORS_TITLE)->attributes.GetString(DESC_NAME), GeLoadString(10020));
  EXPECT_EQ(d.FindEntry(ID_OGX_ADDOPERATOR_FILTERS_TITLE)->attributes.GetString(DESC_NAME), GeLoadString(10021));

  EXPECT_FALSE(AddOperatorButtons(nullptr, true));
}

// ---------------------------------------------------------------------------------------------------
// Inserting operators

TEST_F(RegistryTest, InsertOperatorUnderAGroup)
{
  BaseObject* group = AddOperator(ID_GROUPOPERATOR);
  BaseObject* existing = AddOperator(ID_TEST_GENERATOR, group);
  BaseObject* after = AddOperator(ID_TEST_GENERATOR);
  host::ResetEvents();

  ASSERT_TRUE(InsertOperator(group, ID_TEST_FILTER, true));
  BaseObject* inserted = group->GetDownLast();
  ASSERT_NE(inserted, existing);
  EXPECT_EQ(inserted->GetType(), ID_TEST_FILTER);
  EXPECT_EQ(inserted->GetPred(), existing);
  EXPECT_EQ(group->GetNext(), after);
  EXPECT_TRUE(group->GetNBit(NBIT::OM1_FOLD));
  const auto nbits = host::GetNBitLog(group);
  ASSERT_FALSE(nbits.empty());
  EXPECT_EQ(nbits.back(), std::make_pair(NBIT::OM1_FOLD, NBITCONTROL::SET));
  const std::vector<Int32> messages = host::GetMessageLog(inserted);
  EXPECT_NE(std::find(messages.begin(), messages.end(), MSG_UPDATE), messages.end());
  EXPECT_EQ(doc->GetActiveObject(), inserted);
  EXPECT_EQ(host::GetEventCount(), 1);

  const std::vector<host::UndoStepInfo> steps = host::GetUndoSteps(doc);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_TRUE(steps[0].closed);
  ASSERT_EQ(steps[0].entries.size(), 1u);
  EXPECT_EQ(steps[0].entries[0].type, UNDOTYPE::NEWOBJ);
  EXPECT_EQ(steps[0].entries[0].guid, inserted->GetGUID());

  // Undo takes it out again.
  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(group->GetDownLast(), existing);
}

TEST_F(RegistryTest, InsertOperatorAfterTheTarget)
{
  BaseObject* first = AddOperator(ID_TEST_GENERATOR);
  BaseObject* second = AddOperator(ID_TEST_GENERATOR);
  ASSERT_TRUE(InsertOperator(first, ID_TEST_GENERATOR, false));
  BaseObject* inserted = first->GetNext();
  ASSERT_NE(inserted, second);
  EXPECT_EQ(inserted->GetNext(), second);
  EXPECT_EQ(inserted->GetUp(), terrain);
  EXPECT_FALSE(first->GetNBit(NBIT::OM1_FOLD));
  EXPECT_EQ(first->GetDown(), nullptr);
}

TEST_F(RegistryTest, InsertOperatorRefusals)
{
  const Int liveBefore = host::GetLiveNodeCount();
  EXPECT_FALSE(InsertOperator(nullptr, ID_TEST_GENERATOR, true));
  EXPECT_FALSE(InsertOperator(terrain, 1099999, true));   // no such plug-in
  BaseObject* loose = BaseObject::Alloc(ID_GROUPOPERATOR);
  EXPECT_FALSE(InsertOperator(loose, ID_TEST_GENERATOR, true));   // in no document: no undo to record in
  EXPECT_EQ(loose->GetDown(), nullptr);
  BaseObject::Free(loose);
  EXPECT_EQ(host::GetLiveNodeCount(), liveBefore);
  EXPECT_TRUE(host::GetUndoSteps(doc).empty());
  EXPECT_EQ(terrain->GetDown(), nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Scene queries

TEST_F(RegistryTest, FindParentTerrainObject)
{
  BaseObject* group = AddOperator(ID_GROUPOPERATOR);
  BaseObject* inner = AddOperator(ID_GROUPOPERATOR, group);
  BaseObject* op = AddOperator(ID_TEST_GENERATOR, inner);
  EXPECT_EQ(FindParentTerrainObject(op), terrain);
  EXPECT_EQ(FindParentTerrainObject(group), terrain);
  EXPECT_EQ(FindParentTerrainObject(terrain), nullptr);   // not the object itself
  EXPECT_EQ(FindParentTerrainObject(nullptr), nullptr);
  BaseObject* top = BaseObject::Alloc(ID_TEST_GENERATOR);
  ASSERT_TRUE(doc->InsertObject(top, nullptr));
  EXPECT_EQ(FindParentTerrainObject(top), nullptr);
  // Below a terrain object inside another terrain object: the nearest one.
  BaseObject* nested = AddOperator(ID_OGX_TERRAINOBJECT, group);
  BaseObject* deep = AddOperator(ID_TEST_FILTER, nested);
  EXPECT_EQ(FindParentTerrainObject(deep), nested);
}

TEST_F(RegistryTest, OperatorActivity)
{
  enum class BUILD
  {
    EDITOR,
    EXTERNAL_RENDER,
  };
  struct Case
  {
    const char* name;
    Bool enabled;
    MODE editor;
    MODE render;
    BUILD build;
    Bool expected;
  };
  const Case cases[] = {
    {"plain_editor", true, MODE::ON, MODE::ON, BUILD::EDITOR, true},
    {"disabled_editor", false, MODE::ON, MODE::ON, BUILD::EDITOR, false},
    {"disabled_render", false, MODE::ON, MODE::ON, BUILD::EXTERNAL_RENDER, false},
    {"editor_off_editor", true, MODE::OFF, MODE::ON, BUILD::EDITOR, false},
    {"editor_off_render", true, MODE::OFF, MODE::ON, BUILD::EXTERNAL_RENDER, true},
    {"render_off_editor", true, MODE::ON, MODE::OFF, BUILD::EDITOR, true},
    {"render_off_render", true, MODE::ON, MODE::OFF, BUILD::EXTERNAL_RENDER, false},
    {"both_off_render", true, MODE::OFF, MODE::OFF, BUILD::EXTERNAL_RENDER, false},
  };
  BaseObject* op = AddOperator(ID_TEST_GENERATOR);
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    op->SetEnabled(c.enabled);
    op->SetEditorMode(c.editor);
    op->SetRenderMode(c.render);
    HierarchyContext hh(doc, 1.0, nullptr,
                        c.build == BUILD::EXTERNAL_RENDER ? BUILDFLAGS::EXTERNALRENDERER : BUILDFLAGS::NONE);
    host::SetRunning(CHECKISRUNNING::EXTERNALRENDERING, c.build == BUILD::EXTERNAL_RENDER);
    EXPECT_EQ(IsOperatorActive(op, &hh), c.expected);
    // Without a build record the running states decide the same way.
    EXPECT_EQ(IsOperatorActive(op, nullptr), c.expected);
  }
  host::ResetRunningStates();
  EXPECT_FALSE(IsOperatorActive(nullptr, nullptr));
  EXPECT_FALSE(IsOperatorActive(terrain, nullptr));   // no operator
}
