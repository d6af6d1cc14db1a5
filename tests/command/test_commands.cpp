// The menu commands as the host runs them (enabling state, then Execute on the active document): the
// resolution commands with their worked examples and target collection, the blend-mode ring, grouping
// and ungrouping, and one undo restoring the document as it was saved before.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "command/command_changeresolution.h"
#include "command/command_cycleblendmode.h"
#include "command/command_groupoperators.h"
#include "host/scene/scenefile.h"
#include "support/module_scene.h"
#include "support/scene_fixture.h"

using namespace ogx_test;

namespace
{
class CommandTest : public ModuleSceneTest
{
protected:
  void SetUp() override
  {
    ModuleSceneTest::SetUp();
    ASSERT_TRUE(RegisterGroupOperatorsCommand(41));
    ASSERT_TRUE(RegisterUngroupOperatorsCommand(42));
    ASSERT_TRUE(RegisterChangeResolutionCommands(43));
    ASSERT_TRUE(RegisterCycleBlendmodeCommands(45));
  }

  // Selects exactly these objects.
  void Select(std::initializer_list<BaseObject*> objects)
  {
    doc->SetActiveObject(nullptr);
    for (BaseObject* op : objects)
      doc->SetActiveObject(op, SELECTION::ADD);
  }
  Bool Enabled(Int32 command) { return host::GetCommandState(command, doc) == CMD_ENABLED; }
  // The host's menu: runs the command only when it is enabled.
  Bool Run(Int32 command, Bool shift = false)
  {
    host::SetQualifiers(shift ? QUALIFIER_SHIFT : QUALIFIER_NONE);
    const Bool ran = host::ExecuteCommand(command, doc);
    host::SetQualifiers(QUALIFIER_NONE);
    return ran;
  }
  String Saved()
  {
    Result<String> text = host::SaveDocumentToText(doc);
    EXPECT_TRUE(text.IsOk());
    return text.IsOk() ? text.GetValue() : String();
  }

  static void SetResolution(BaseObject* t, Int32 x, Int32 y)
  {
    t->GetDataInstanceRef().SetInt32(TERRAINOBJECT_RESOLUTION_X, x);
    t->GetDataInstanceRef().SetInt32(TERRAINOBJECT_RESOLUTION_Z, y);
  }
  static std::pair<Int32, Int32> Resolution(const BaseObject* t)
  {
    return {t->GetDataInstanceRef().GetInt32(TERRAINOBJECT_RESOLUTION_X),
            t->GetDataInstanceRef().GetInt32(TERRAINOBJECT_RESOLUTION_Z)};
  }
  BaseObject* AddTerrain(const char* name, BaseObject* parent)
  {
    BaseObject* t = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    EXPECT_TRUE(t->InsertUnderLast(parent));
    t->SetName(name);
    return t;
  }
  static Int32 Mode(const BaseObject* op) { return op->GetDataInstanceRef().GetInt32(TERRAINOPERATOR_BLENDMODE); }
  static void SetMode(BaseObject* op, Int32 mode)
  {
    op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, mode);
  }

  static std::vector<UNDOTYPE> LastStepTypes(const BaseDocument* d)
  {
    std::vector<UNDOTYPE> out;
    const std::vector<host::UndoStepInfo> steps = host::GetUndoSteps(d);
    if (!steps.empty())
      for (const host::UndoEntry& e : steps.back().entries)
        out.push_back(e.type);
    return out;
  }
};

// ---------------------------------------------------------------------------------------------------
// Resolution

TEST_F(CommandTest, ResolutionWorkedExamples)
{
  struct Case
  {
    const char* what;
    Int32 command;
    Int32 x, y;
    Bool shift;
    Bool enabled;
    Int32 afterX, afterY;
  };
  const Case cases[] = {
    {"500 x 300 lowered by 250 would reach 50", ID_OGX_DECREASERESOLUTION_COMMAND, 500, 300, false, true, 500, 300},
    {"500 x 300 lowered by 100", ID_OGX_DECREASERESOLUTION_COMMAND, 500, 300, true, true, 400, 200},
    {"300 x 300 is enabled yet 250 is too far", ID_OGX_DECREASERESOLUTION_COMMAND, 300, 300, false, true, 300, 300},
    {"300 x 300 lowered by 100", ID_OGX_DECREASERESOLUTION_COMMAND, 300, 300, true, true, 200, 200},
    {"200 x 200 still lowers to the limit", ID_OGX_DECREASERESOLUTION_COMMAND, 200, 200, true, true, 100, 100},
    {"100 x 100 cannot go lower", ID_OGX_DECREASERESOLUTION_COMMAND, 100, 100, true, false, 100, 100},
    {"3800 x 1000 raised by 250 would pass the cap", ID_OGX_INCREASERESOLUTION_COMMAND, 3800, 1000, false, true, 3800,
     1000},
    {"3800 x 1000 raised by 100", ID_OGX_INCREASERESOLUTION_COMMAND, 3800, 1000, true, true, 3900, 1100},
    {"3950 x 1000 cannot take a step", ID_OGX_INCREASERESOLUTION_COMMAND, 3950, 1000, true, false, 3950, 1000},
    {"1000 x 3900 reaches the cap", ID_OGX_INCREASERESOLUTION_COMMAND, 1000, 3900, true, true, 1100, 4000},
  };
  Select({terrain});
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.what);
    SetResolution(terrain, c.x, c.y);
    EXPECT_EQ(Enabled(c.command), c.enabled);
    EXPECT_EQ(Run(c.command, c.shift), c.enabled);
    EXPECT_EQ(Resolution(terrain), std::make_pair(c.afterX, c.afterY));
  }
}

TEST_F(CommandTest, ResolutionSumsDoNotWrapNearTheInt32Limits)
{
  Select({terrain});
  // A raise past INT_MAX would wrap to a negative sum that looks below the cap.
  BaseContainer prefs(ID_OGX_PREFERENCES);
  prefs.SetInt32(1000, INT_MAX);
  GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  SetResolution(terrain, INT_MAX - 50, 1000);
  EXPECT_FALSE(Enabled(ID_OGX_INCREASERESOLUTION_COMMAND));
  EXPECT_FALSE(Run(ID_OGX_INCREASERESOLUTION_COMMAND, true));
  EXPECT_EQ(Resolution(terrain), std::make_pair(INT_MAX - 50, 1000));
  // A lowering below INT_MIN would wrap to a large positive difference.
  SetResolution(terrain, INT_MIN + 50, 1000);
  EXPECT_FALSE(Enabled(ID_OGX_DECREASERESOLUTION_COMMAND));
  EXPECT_EQ(Resolution(terrain), std::make_pair(INT_MIN + 50, 1000));

  DecreaseResCommand decrease;
  EXPECT_FALSE(decrease.CanChangeResolution(nullptr));
  Result<void> refused = decrease.ChangeObjectResolution(nullptr, doc, nullptr, true);
  ASSERT_TRUE(refused.IsError());
  EXPECT_EQ(refused.GetError().GetKind(), ERRORKIND::NULLPTR);
  EXPECT_EQ(refused.GetError().GetText(), "op must not be NULL!");
}

TEST_F(CommandTest, ResolutionTargetsClimbFromOperatorsToTheirTerrainObjects)
{
  // terrain > group > op; terrain > inner terrain > nested op.
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "Group");
  BaseObject* op = AddOperator(ID_TEST_GENERATOR, "Op", group);
  BaseObject* inner = AddTerrain("Inner", terrain);
  BaseObject* nested = AddOperator(ID_TEST_GENERATOR, "Nested", inner);
  SetResolution(terrain, 1000, 1000);
  SetResolution(inner, 1000, 1000);
  IncreaseResCommand increase;
  auto targets = [&](std::initializer_list<BaseObject*> selection) {
    Select(selection);
    AtomArray active;
    doc->GetActiveObjects(active, GETACTIVEOBJECTFLAGS::NONE);
    BaseArray<BaseObject*> out;
    EXPECT_TRUE(increase.CollectTargetTerrainObjects(&active, out).IsOk());
    return std::vector<BaseObject*>(out.begin(), out.end());
  };

  // A terrain object and one of its operators: the terrain object once.
  EXPECT_EQ(targets({terrain, group}), std::vector<BaseObject*>{terrain});
  // An operator inside a group: the terrain object above the group.
  EXPECT_EQ(targets({op}), std::vector<BaseObject*>{terrain});
  // A listed terrain object is passed over: the climb goes on to the next one up.
  EXPECT_EQ(targets({inner, nested}), (std::vector<BaseObject*>{inner, terrain}));
  // The nearest unlisted terrain object that cannot change stops the climb.
  SetResolution(inner, 4000, 4000);
  EXPECT_TRUE(targets({nested}).empty());
  EXPECT_TRUE(targets({inner}).empty());
  EXPECT_FALSE(Enabled(ID_OGX_INCREASERESOLUTION_COMMAND));
  // Objects that are neither: nothing.
  BaseObject* null = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(null, nullptr));
  EXPECT_TRUE(targets({null}).empty());
}

TEST_F(CommandTest, ResolutionChangeIsOneUndoStepAndTellsTheTerrainObjects)
{
  BaseObject* second = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  ASSERT_TRUE(doc->InsertObject(second, nullptr, terrain));
  SetResolution(terrain, 500, 500);
  SetResolution(second, 700, 600);
  BaseObject* op = AddOperator(ID_TEST_GENERATOR, "Op");
  Select({second, op});
  const String before = Saved();
  host::ClearNodeLogs(terrain);
  const Int events = host::GetEventCount();

  ASSERT_TRUE(Run(ID_OGX_INCREASERESOLUTION_COMMAND));
  EXPECT_EQ(Resolution(terrain), std::make_pair(750, 750));
  EXPECT_EQ(Resolution(second), std::make_pair(950, 850));
  EXPECT_EQ(LastStepTypes(doc), (std::vector<UNDOTYPE>{UNDOTYPE::CHANGE, UNDOTYPE::CHANGE}));
  const std::vector<Int32> messages = host::GetMessageLog(terrain);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), MSG_UPDATE), 1);
  EXPECT_EQ(host::GetEventCount(), events + 1);

  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);
}

TEST_F(CommandTest, ResolutionCapComesFromThePreferences)
{
  Select({terrain});
  SetResolution(terrain, 3800, 3800);
  // No preferences container yet: one is made and the cap is 4000.
  GetWorldContainerInstance()->RemoveData(ID_OGX_PREFERENCES);
  EXPECT_EQ(GetResolutionCommandCap(), 4000);
  EXPECT_NE(GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES), nullptr);
  EXPECT_TRUE(Enabled(ID_OGX_INCREASERESOLUTION_COMMAND));
  // Preferences that cannot be had: nothing can be raised.
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, true);
  EXPECT_EQ(GetResolutionCommandCap(), 0);
  EXPECT_FALSE(Enabled(ID_OGX_INCREASERESOLUTION_COMMAND));
  EXPECT_TRUE(Enabled(ID_OGX_DECREASERESOLUTION_COMMAND));
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, false);
}

TEST_F(CommandTest, OutOfMemoryWhileCollectingDisablesAndIsReported)
{
  SetResolution(terrain, 1000, 1000);
  Select({terrain});
  host::Console().Clear();
  {
    // The host array, the array's one entry, then the target list's first growth.
    host::ScopedAllocationFailure failure(3);
    EXPECT_EQ(host::GetCommandState(ID_OGX_DECREASERESOLUTION_COMMAND, doc), 0);
  }
  EXPECT_EQ(host::Console().GetCount(), 1);
  {
    host::ScopedAllocationFailure failure(1);
    EXPECT_EQ(host::GetCommandState(ID_OGX_DECREASERESOLUTION_COMMAND, doc), 0) << "no host array";
  }
  EXPECT_TRUE(Enabled(ID_OGX_DECREASERESOLUTION_COMMAND));
}

// ---------------------------------------------------------------------------------------------------
// Blend modes

TEST_F(CommandTest, BlendModeRing)
{
  using B = BLENDMODE;
  const std::vector<B> ring = {B::NORMAL,  B::ADD,     B::SUBTRACT, B::DIFFERENCE, B::PHOENIX,
                               B::PHOENIXINVERSE, B::LOWEST, B::HIGHEST, B::MULTIPLY, B::OVERLAY,
                               B::NEGATION, B::SCREEN, B::SOFTLIGHT, B::HARDLIGHT};
  NextBlendmodeCommand next;
  PreviousBlendmodeCommand previous;
  for (std::size_t i = 0; i < ring.size(); ++i)
  {
    SCOPED_TRACE(static_cast<Int32>(ring[i]));
    EXPECT_EQ(next.CycleBlendMode(ring[i]), ring[(i + 1) % ring.size()]);
    EXPECT_EQ(previous.CycleBlendMode(ring[i]), ring[(i + ring.size() - 1) % ring.size()]);
    B mode = ring[i];
    for (Int32 step = 0; step < 14; ++step)
      mode = next.CycleBlendMode(mode);
    EXPECT_EQ(mode, ring[i]) << "fourteen steps go round";
    EXPECT_EQ(previous.CycleBlendMode(next.CycleBlendMode(ring[i])), ring[i]);
  }
  EXPECT_EQ(next.CycleBlendMode(B::DIVIDE), B::OVERLAY);
  EXPECT_EQ(previous.CycleBlendMode(B::DIVIDE), B::MULTIPLY);
  for (const Int32 value : {-1, 15, 1000})
  {
    EXPECT_EQ(next.CycleBlendMode(static_cast<B>(value)), B::NORMAL) << value;
    EXPECT_EQ(previous.CycleBlendMode(static_cast<B>(value)), B::NORMAL) << value;
  }
}

TEST_F(CommandTest, BlendModeCommandsStepEachSelectedGenerator)
{
  BaseObject* a = AddOperator(ID_TEST_GENERATOR, "A", nullptr, BLENDMODE::SUBTRACT);
  BaseObject* b = AddOperator(ID_OGX_GROUPOPERATOR, "B", nullptr, BLENDMODE::DIVIDE);
  BaseObject* c = AddOperator(ID_TEST_GENERATOR, "C", b);
  SetMode(c, 99);
  BaseObject* filter = AddOperator(ID_TEST_FILTER, "F");

  // Only filters, only terrain objects, or nothing: disabled.
  for (auto selection : {std::vector<BaseObject*>{filter}, std::vector<BaseObject*>{terrain}, std::vector<BaseObject*>{}})
  {
    doc->SetActiveObject(nullptr);
    for (BaseObject* op : selection)
      doc->SetActiveObject(op, SELECTION::ADD);
    EXPECT_FALSE(Enabled(ID_OGX_NEXTBLENDMODE_COMMAND));
    EXPECT_FALSE(Enabled(ID_OGX_PREVIOUSBLENDMODE_COMMAND));
  }

  Select({a, b, c, filter, terrain});
  const String before = Saved();
  host::ClearNodeLogs(a);
  ASSERT_TRUE(Run(ID_OGX_NEXTBLENDMODE_COMMAND));
  EXPECT_EQ(Mode(a), static_cast<Int32>(BLENDMODE::DIFFERENCE));
  EXPECT_EQ(Mode(b), static_cast<Int32>(BLENDMODE::OVERLAY));
  EXPECT_EQ(Mode(c), static_cast<Int32>(BLENDMODE::NORMAL));
  EXPECT_EQ(Mode(filter), static_cast<Int32>(BLENDMODE::NORMAL));
  EXPECT_EQ(LastStepTypes(doc),
            (std::vector<UNDOTYPE>{UNDOTYPE::CHANGE_SMALL, UNDOTYPE::CHANGE_SMALL, UNDOTYPE::CHANGE_SMALL}));
  EXPECT_EQ(host::GetMessageLog(a), std::vector<Int32>{MSG_UPDATE_DESCRIPTION});
  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);

  ASSERT_TRUE(Run(ID_OGX_PREVIOUSBLENDMODE_COMMAND));
  EXPECT_EQ(Mode(a), static_cast<Int32>(BLENDMODE::ADD));
  EXPECT_EQ(Mode(b), static_cast<Int32>(BLENDMODE::MULTIPLY));
  EXPECT_EQ(Mode(c), static_cast<Int32>(BLENDMODE::NORMAL));
}

// ---------------------------------------------------------------------------------------------------
// Group and ungroup

TEST_F(CommandTest, GroupingKeepsOrderAndTakesTheFirstOperatorsPlace)
{
  AddOperator(ID_TEST_GENERATOR, "X");
  BaseObject* a = AddOperator(ID_TEST_GENERATOR, "A");
  AddOperator(ID_TEST_FILTER, "Y");
  BaseObject* b = AddOperator(ID_TEST_FILTER, "B");
  Select({a, b});
  const String before = Saved();

  ASSERT_TRUE(Enabled(ID_OGX_GROUPOPERATORS_COMMAND));
  ASSERT_TRUE(Run(ID_OGX_GROUPOPERATORS_COMMAND));
  BaseObject* group = a->GetUp();
  ASSERT_NE(group, nullptr);
  group->SetName("G");
  EXPECT_EQ(TreeText(terrain->GetDown()), "X,G(A,B),Y");
  EXPECT_EQ(group->GetType(), ID_OGX_GROUPOPERATOR);
  EXPECT_TRUE(group->GetBit(BIT_ACTIVE));
  EXPECT_FALSE(a->GetBit(BIT_ACTIVE));
  EXPECT_FALSE(b->GetBit(BIT_ACTIVE));
  EXPECT_EQ(host::GetNBitLog(group),
            (std::vector<std::pair<NBIT, NBITCONTROL>>{{NBIT::OM1_FOLD, NBITCONTROL::TOGGLE}}));
  EXPECT_EQ(LastStepTypes(doc), (std::vector<UNDOTYPE>{UNDOTYPE::NEWOBJ, UNDOTYPE::CHANGE, UNDOTYPE::CHANGE}));

  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);
  EXPECT_EQ(TreeText(terrain->GetDown()), "X,A,Y,B");
}

TEST_F(CommandTest, GroupingCollectsOperatorsFromDifferentLevels)
{
  BaseObject* outer = AddOperator(ID_OGX_GROUPOPERATOR, "P");
  BaseObject* inner = AddOperator(ID_TEST_GENERATOR, "Q", outer);
  BaseObject* other = AddOperator(ID_TEST_GENERATOR, "R");
  Select({outer, inner, other});
  ASSERT_TRUE(Run(ID_OGX_GROUPOPERATORS_COMMAND));
  terrain->GetDown()->SetName("G");
  EXPECT_EQ(TreeText(terrain->GetDown()), "G(P,Q,R)");
}

TEST_F(CommandTest, GroupingNeverMovesANodeIntoItself)
{
  // A child listed before its parent: the group goes where the child was, inside the parent, so the
  // parent must stay where it is.
  BaseObject* parent = AddOperator(ID_OGX_GROUPOPERATOR, "P");
  BaseObject* child = AddOperator(ID_TEST_GENERATOR, "C", parent);
  AtomArray order;
  ASSERT_TRUE(order.Append(child));
  ASSERT_TRUE(order.Append(parent));
  const String before = Saved();

  BaseObject* group = GroupOperators(doc, order);
  ASSERT_NE(group, nullptr);
  group->SetName("G");
  EXPECT_EQ(TreeText(terrain->GetDown()), "P(G(C))");
  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);
}

TEST_F(CommandTest, AGroupThatCannotBeMadeLeavesNoOpenUndoStep)
{
  BaseObject* a = AddOperator(ID_TEST_GENERATOR, "A");
  AtomArray order;
  ASSERT_TRUE(order.Append(a));
  const String before = Saved();
  {
    host::ScopedAllocationFailure failure(1);
    EXPECT_EQ(GroupOperators(doc, order), nullptr);
  }
  EXPECT_EQ(Saved(), before);
  EXPECT_TRUE(host::GetUndoSteps(doc).empty());
  EXPECT_FALSE(doc->AddUndo(UNDOTYPE::CHANGE, a)) << "no step is open";
}

TEST_F(CommandTest, UngroupingKeepsOrderSelectsTheChildrenAndDeletesTheGroup)
{
  AddOperator(ID_TEST_GENERATOR, "X");
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "G");
  BaseObject* p = AddOperator(ID_TEST_GENERATOR, "P", group);
  BaseObject* q = AddOperator(ID_TEST_FILTER, "Q", group);
  BaseObject* r = AddOperator(ID_OGX_GROUPOPERATOR, "R", group);
  AddOperator(ID_TEST_GENERATOR, "S", r);
  AddOperator(ID_TEST_GENERATOR, "Y");
  Select({group});
  const String before = Saved();

  ASSERT_TRUE(Enabled(ID_OGX_UNGROUPOPERATORS_COMMAND));
  ASSERT_TRUE(Run(ID_OGX_UNGROUPOPERATORS_COMMAND));
  EXPECT_EQ(TreeText(terrain->GetDown()), "X,P,Q,R(S),Y");
  for (BaseObject* child : {p, q, r})
    EXPECT_TRUE(child->GetBit(BIT_ACTIVE)) << child->GetName();
  EXPECT_EQ(LastStepTypes(doc), (std::vector<UNDOTYPE>{UNDOTYPE::CHANGE_HIERARCHY, UNDOTYPE::CHANGE_HIERARCHY,
                                                       UNDOTYPE::CHANGE_HIERARCHY, UNDOTYPE::DELETEOBJ}));

  // The deleted group comes back from the undo step's copy, with its children in place.
  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);
  EXPECT_EQ(TreeText(terrain->GetDown()), "X,G(P,Q,R(S)),Y");
}

TEST_F(CommandTest, UngroupingAnEmptyGroupDeletesIt)
{
  AddOperator(ID_TEST_GENERATOR, "X");
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "G");
  Select({group});
  const String before = Saved();
  ASSERT_TRUE(Run(ID_OGX_UNGROUPOPERATORS_COMMAND));
  EXPECT_EQ(TreeText(terrain->GetDown()), "X");
  ASSERT_TRUE(doc->DoUndo());
  EXPECT_EQ(Saved(), before);
}

TEST_F(CommandTest, GroupAndUngroupEnablingStates)
{
  BaseObject* op = AddOperator(ID_TEST_GENERATOR, "A");
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "G");
  BaseObject* null = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(null, nullptr));

  struct Case
  {
    const char* what;
    std::vector<BaseObject*> selection;
    Bool group;
    Bool ungroup;
  };
  const Case cases[] = {
    {"nothing selected", {}, false, false},
    {"an operator", {op}, true, false},
    {"a group operator", {group}, true, true},
    {"operators and the terrain object", {op, terrain}, false, false},
    {"an operator and a host object", {op, null}, false, false},
    {"the terrain object", {terrain}, false, false},
    // The active object is the one made active last.
    {"the terrain object and a group", {group, terrain}, false, false},
    {"a group made active after the terrain object", {terrain, group}, false, true},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.what);
    doc->SetActiveObject(nullptr);
    for (BaseObject* o : c.selection)
      doc->SetActiveObject(o, SELECTION::ADD);
    EXPECT_EQ(Enabled(ID_OGX_GROUPOPERATORS_COMMAND), c.group);
    EXPECT_EQ(Enabled(ID_OGX_UNGROUPOPERATORS_COMMAND), c.ungroup);
  }
}
} // namespace
