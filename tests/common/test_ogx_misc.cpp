#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include <unistd.h>

#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"

namespace
{
constexpr Int32 ID_TEST_SHADERPLUGIN = 1099101;
constexpr Int32 ID_TEST_OBJECTPLUGIN = 1099102;

class StandInObjectData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<StandInObjectData>(); }
};
class StandInShaderData : public ShaderData
{
public:
  static NodeData* Alloc() { return NewObj<StandInShaderData>(); }
};

// Stand-ins for the terrain object and the operator base (the real plug-ins come with their own units),
// registered through the host's plug-in table.
class SceneHelpersTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    ASSERT_TRUE(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, StandInObjectData::Alloc,
                                     "oterrain", nullptr, 0));
    ASSERT_TRUE(RegisterObjectPlugin(ID_OGX_TERRAINOPERATOR_BASE, "Operator", 0, StandInObjectData::Alloc,
                                     "Obaseterrainoperator", nullptr, 0));
    doc = BaseDocument::Alloc();
    ASSERT_TRUE(doc);
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    host::ResetSceneState();
    host::ResetLogs();
  }

  // An object of type under parent (top level when null), after the parent's other children.
  BaseObject* Make(Int32 type, BaseObject* parent, const char* name, Bool enabled = true)
  {
    BaseObject* op = BaseObject::Alloc(type);
    EXPECT_TRUE(op);
    op->SetName(name);
    op->SetEnabled(enabled);
    if (parent)
      EXPECT_TRUE(op->InsertUnderLast(parent));
    else
    {
      BaseObject* last = doc->GetFirstObject();
      while (last && last->GetNext())
        last = last->GetNext();
      EXPECT_TRUE(doc->InsertObject(op, nullptr, last));
    }
    return op;
  }

  BaseDocument* doc = nullptr;
};

std::vector<String> Names(const std::vector<BaseObject*>& objects)
{
  std::vector<String> names;
  for (const BaseObject* op : objects)
    names.push_back(op->GetName());
  return names;
}

std::vector<BaseObject*> ToVector(const BaseArray<BaseObject*>& arr)
{
  return std::vector<BaseObject*>(arr.begin(), arr.end());
}

// Every object of the document in hierarchy order.
void Walk(BaseObject* op, std::vector<BaseObject*>& out)
{
  for (; op; op = op->GetNext())
  {
    out.push_back(op);
    Walk(op->GetDown(), out);
  }
}
} // namespace

TEST(BuildReason, FollowsBuildFlagsThenRunningStates)
{
  struct Case
  {
    const char* name;
    Bool withContext;
    BUILDFLAGS flags;
    Bool animation, view, editor, external;
    BUILDREASON expected;
  };
  using F = BUILDFLAGS;
  using R = BUILDREASON;
  const Case cases[] = {
    {"no context, nothing runs", false, F::NONE, false, false, false, false, R::UNKNOWN},
    {"no context, editor rendering", false, F::NONE, true, true, true, false, R::EDITORRENDER},
    {"no context, external rendering", false, F::NONE, true, true, false, true, R::EXTERNALRENDER},
    {"no context, both renderings", false, F::NONE, false, false, true, true, R::EDITORRENDER},
    {"no context, animation and view", false, F::NONE, true, true, false, false, R::ANIMATIONRUNNING},
    {"no context, view drawing", false, F::NONE, false, true, false, false, R::VIEWDRAWING},
    {"isoparm, nothing runs", true, F::ISOPARM, false, false, false, false, R::ISOPARM},
    {"isoparm, everything runs", true, F::ISOPARM | F::INTERNALRENDERER | F::EXTERNALRENDERER, true, true, true,
     true, R::ISOPARM},
    {"internal renderer, editor rendering", true, F::INTERNALRENDERER, false, false, true, false, R::EDITORRENDER},
    {"internal renderer, not rendering", true, F::INTERNALRENDERER, false, true, false, true, R::VIEWDRAWING},
    {"external renderer, external rendering", true, F::EXTERNALRENDERER, true, false, false, true,
     R::EXTERNALRENDER},
    {"external renderer, nothing renders", true, F::EXTERNALRENDERER, true, true, false, false, R::MAKEEDITABLE},
    // Only the editor renders: not a make-editable build; the running states decide.
    {"external renderer, editor rendering", true, F::EXTERNALRENDERER, false, true, true, false, R::VIEWDRAWING},
    {"external renderer, editor rendering only", true, F::EXTERNALRENDERER, false, false, true, false, R::UNKNOWN},
    {"both renderer flags, editor rendering", true, F::INTERNALRENDERER | F::EXTERNALRENDERER, false, false, true,
     false, R::EDITORRENDER},
    // With a context the running render states alone do not count.
    {"context without flags, renderings run", true, F::NONE, false, false, true, true, R::UNKNOWN},
    {"context without flags, animation", true, F::NONE, true, true, false, false, R::ANIMATIONRUNNING},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    host::ResetRunningStates();
    host::SetRunning(CHECKISRUNNING::ANIMATIONRUNNING, c.animation);
    host::SetRunning(CHECKISRUNNING::VIEWDRAWING, c.view);
    host::SetRunning(CHECKISRUNNING::EDITORRENDERING, c.editor);
    host::SetRunning(CHECKISRUNNING::EXTERNALRENDERING, c.external);
    HierarchyContext context(nullptr, 1.0, nullptr, c.flags);
    EXPECT_EQ(GetBuildReason(c.withContext ? &context : nullptr), c.expected);
  }
  host::ResetRunningStates();
}

TEST(ContainersEqual, ComparesListedIdsOrTheWholeContainer)
{
  BaseContainer a;
  a.SetInt32(10001, 1);
  a.SetFloat(10002, 2.5);
  a.SetString(10003, "x");
  BaseContainer b;   // same content, other order, differs in 10003
  b.SetString(10003, "y");
  b.SetFloat(10002, 2.5);
  b.SetInt32(10001, 1);
  BaseContainer c;   // same as a, other order
  c.SetString(10003, "x");
  c.SetInt32(10001, 1);
  c.SetFloat(10002, 2.5);
  BaseContainer empty;

  struct Case
  {
    const char* name;
    const BaseContainer* a;
    const BaseContainer* b;
    std::vector<Int32> ids;
    Bool useIds;
    Bool expected;
  };
  const Case cases[] = {
    {"differ only in an unlisted id", &a, &b, {10002}, true, true},
    {"differ in a listed id", &a, &b, {10003}, true, false},
    {"first listed equal, second differs", &a, &b, {10001, 10003}, true, false},
    {"id missing in both", &a, &b, {10009}, true, true},
    {"id missing in one", &a, &empty, {10001}, true, false},
    {"empty list: whole containers", &a, &b, {}, true, false},
    {"no list: whole containers", &a, &b, {}, false, false},
    {"no list: insertion order ignored", &a, &c, {}, false, true},
    {"null reads as empty", nullptr, &empty, {}, false, true},
    {"null against content", nullptr, &a, {}, false, false},
    {"null with a list", nullptr, &a, {10009}, true, true},
  };
  for (const Case& tc : cases)
  {
    SCOPED_TRACE(tc.name);
    BaseArray<Int32> ids;
    for (Int32 id : tc.ids)
      ASSERT_TRUE(ids.Append(id).IsOk());
    EXPECT_EQ(ContainersEqual(tc.a, tc.b, tc.useIds ? &ids : nullptr), tc.expected);
    EXPECT_EQ(ContainersEqual(tc.b, tc.a, tc.useIds ? &ids : nullptr), tc.expected);
  }
}

TEST_F(SceneHelpersTest, FindDeformersStaysInsideTheSubtree)
{
  // before            (deformer below: outside)
  //   dBefore
  // parent
  //   sibling1        (deformer below: outside)
  //     dSib1
  //   start           (itself a deformer: not below itself)
  //     a
  //       b
  //         d1
  //       dOff        (disabled)
  //     d2
  //       d3          (a deformer below a deformer)
  //     c
  //       e           (last descendant is deep: the walk climbs back to start)
  //   sibling2
  //     dSib2
  //   dSib3
  // after
  //   dAfter
  BaseObject* before = Make(Onull, nullptr, "before");
  Make(Odeformer, before, "dBefore");
  BaseObject* parent = Make(Onull, nullptr, "parent");
  BaseObject* sibling1 = Make(Onull, parent, "sibling1");
  Make(Odeformer, sibling1, "dSib1");
  BaseObject* start = Make(Odeformer, parent, "start");
  BaseObject* a = Make(Onull, start, "a");
  BaseObject* b = Make(Onull, a, "b");
  Make(Odeformer, b, "d1");
  Make(Odeformer, a, "dOff", false);
  BaseObject* d2 = Make(Odeformer, start, "d2");
  Make(Odeformer, d2, "d3");
  BaseObject* c = Make(Onull, start, "c");
  Make(Onull, c, "e");
  BaseObject* sibling2 = Make(Onull, parent, "sibling2");
  Make(Odeformer, sibling2, "dSib2");
  Make(Odeformer, parent, "dSib3");
  BaseObject* after = Make(Onull, nullptr, "after");
  Make(Odeformer, after, "dAfter");

  std::vector<BaseObject*> all;
  Walk(doc->GetFirstObject(), all);
  // Reference: every enabled deformer that has the start object among its ancestors.
  auto below = [](BaseObject* op, BaseObject* root) {
    for (BaseObject* up = op->GetUp(); up; up = up->GetUp())
      if (up == root)
        return true;
    return false;
  };
  for (BaseObject* root : all)
  {
    SCOPED_TRACE(root->GetName());
    std::vector<BaseObject*> expected;
    for (BaseObject* op : all)
      if (below(op, root) && (op->GetInfo() & OBJECT_MODIFIER) && op->IsEnabled())
        expected.push_back(op);

    Result<AtomArray*> r = FindDeformers(root);
    ASSERT_TRUE(r.IsOk());
    AtomArray* found = r.GetValue();
    std::vector<BaseObject*> got;
    for (Int32 i = 0; i < found->GetCount(); ++i)
      got.push_back(static_cast<BaseObject*>(found->GetIndex(i)));
    AtomArray::Free(found);
    EXPECT_EQ(Names(got), Names(expected));
  }

  Result<AtomArray*> r = FindDeformers(start);
  ASSERT_TRUE(r.IsOk());
  std::vector<BaseObject*> got;
  for (Int32 i = 0; i < r.GetValue()->GetCount(); ++i)
    got.push_back(static_cast<BaseObject*>(r.GetValue()->GetIndex(i)));
  AtomArray* arr = r.GetValue();
  AtomArray::Free(arr);
  EXPECT_EQ(Names(got), (std::vector<String>{"d1", "d2", "d3"}));
}

TEST_F(SceneHelpersTest, FindDeformersErrors)
{
  const Result<AtomArray*> none = FindDeformers(nullptr);
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetKind(), ERRORKIND::NULLPTR);
  EXPECT_EQ(none.GetError().GetMessage(), "objectPtr must not be NULL!");

  BaseObject* start = Make(Onull, nullptr, "start");
  Make(Odeformer, start, "d");
  struct Case
  {
    Int failAt;
    const char* message;
  };
  for (const Case& c : {Case{1, "Could not allocate result AtomArray!"},
                        Case{2, "Could not append found deformer to result AtomArray!"}})
  {
    SCOPED_TRACE(c.message);
    host::ScopedAllocationFailure fail(c.failAt);
    const Result<AtomArray*> r = FindDeformers(start);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    EXPECT_EQ(r.GetError().GetMessage(), c.message);
  }

  // Nothing below: an empty array, not an error.
  BaseObject* leaf = Make(Odeformer, nullptr, "leaf");
  Result<AtomArray*> r = FindDeformers(leaf);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue()->GetCount(), 0);
  AtomArray* arr = r.GetValue();
  AtomArray::Free(arr);
}

TEST_F(SceneHelpersTest, CollectSelectedTerrainObjects)
{
  // T1
  //   op1, op2
  //   group (operator)
  //     op3
  // T2 (disabled)
  //   op4
  // T3
  // T5
  //   T6 (disabled)
  //     op5
  //   T7
  //     op6
  // N (null)
  //   op7
  BaseObject* t1 = Make(ID_OGX_TERRAINOBJECT, nullptr, "T1");
  BaseObject* op1 = Make(ID_OGX_TERRAINOPERATOR_BASE, t1, "op1");
  BaseObject* op2 = Make(ID_OGX_TERRAINOPERATOR_BASE, t1, "op2");
  BaseObject* group = Make(ID_OGX_TERRAINOPERATOR_BASE, t1, "group");
  BaseObject* op3 = Make(ID_OGX_TERRAINOPERATOR_BASE, group, "op3");
  BaseObject* t2 = Make(ID_OGX_TERRAINOBJECT, nullptr, "T2", false);
  BaseObject* op4 = Make(ID_OGX_TERRAINOPERATOR_BASE, t2, "op4");
  BaseObject* t3 = Make(ID_OGX_TERRAINOBJECT, nullptr, "T3");
  BaseObject* t5 = Make(ID_OGX_TERRAINOBJECT, nullptr, "T5");
  BaseObject* t6 = Make(ID_OGX_TERRAINOBJECT, t5, "T6", false);
  BaseObject* op5 = Make(ID_OGX_TERRAINOPERATOR_BASE, t6, "op5");
  BaseObject* t7 = Make(ID_OGX_TERRAINOBJECT, t5, "T7");
  BaseObject* op6 = Make(ID_OGX_TERRAINOPERATOR_BASE, t7, "op6");
  BaseObject* n = Make(Onull, nullptr, "N");
  BaseObject* op7 = Make(ID_OGX_TERRAINOPERATOR_BASE, n, "op7");
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(doc->InsertMaterial(mat));

  struct Case
  {
    const char* name;
    std::vector<BaseList2D*> selection;
    std::vector<BaseObject*> listed;   // already in out
    std::vector<String> expected;
  };
  const Case cases[] = {
    {"terrain object and two of its operators", {t1, op1, op2}, {}, {"T1"}},
    {"operators alone", {op1, op2}, {}, {"T1"}},
    {"operator inside a group", {op3}, {}, {"T1"}},
    {"operator of a disabled terrain object", {op4}, {}, {}},
    {"disabled terrain object", {t2}, {}, {}},
    {"in selection order", {t3, op1}, {}, {"T3", "T1"}},
    {"passes over a disabled terrain object", {op5}, {}, {"T5"}},
    {"passes over a listed terrain object", {op6, op6}, {}, {"T7", "T5"}},
    {"listed before the call", {op1, t1}, {t1}, {"T1"}},
    {"other objects, nodes and nulls", {n, op7, mat, nullptr}, {}, {}},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    AtomArray* selection = AtomArray::Alloc();
    ASSERT_TRUE(selection);
    for (BaseList2D* node : c.selection)
      ASSERT_TRUE(selection->Append(node));
    BaseArray<BaseObject*> out;
    for (BaseObject* op : c.listed)
      ASSERT_TRUE(out.Append(op).IsOk());
    const Result<void> r = CollectSelectedTerrainObjects(selection, out);
    AtomArray::Free(selection);
    ASSERT_TRUE(r.IsOk());
    EXPECT_EQ(Names(ToVector(out)), c.expected);
  }
}

TEST_F(SceneHelpersTest, CollectSelectedTerrainObjectsErrors)
{
  BaseArray<BaseObject*> out;
  const Result<void> none = CollectSelectedTerrainObjects(nullptr, out);
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetKind(), ERRORKIND::NULLPTR);

  BaseObject* t1 = Make(ID_OGX_TERRAINOBJECT, nullptr, "T1");
  AtomArray* selection = AtomArray::Alloc();
  ASSERT_TRUE(selection && selection->Append(t1));
  Result<void> r = OK;
  {
    host::ScopedAllocationFailure fail(1);
    r = CollectSelectedTerrainObjects(selection, out);
  }
  AtomArray::Free(selection);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_TRUE(out.IsEmpty());
}

TEST_F(SceneHelpersTest, AllocObjectById)
{
  ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_OBJECTPLUGIN, "Object", 0, StandInObjectData::Alloc, String(), nullptr, 0));
  ASSERT_TRUE(RegisterShaderPlugin(ID_TEST_SHADERPLUGIN, "Shader", 0, StandInShaderData::Alloc, String(), 0));
  const Int liveBefore = host::GetLiveNodeCount();

  BaseObject* plugin = AllocObjectById(ID_TEST_OBJECTPLUGIN);
  ASSERT_TRUE(plugin);
  EXPECT_EQ(plugin->GetType(), ID_TEST_OBJECTPLUGIN);
  EXPECT_NE(plugin->GetNodeData(), nullptr);
  BaseObject::Free(plugin);

  BaseObject* builtin = AllocObjectById(Onull);
  ASSERT_TRUE(builtin);
  EXPECT_EQ(builtin->GetType(), Onull);
  EXPECT_EQ(builtin->GetNodeData(), nullptr);
  BaseObject::Free(builtin);

  EXPECT_EQ(AllocObjectById(1099999), nullptr);              // unknown
  EXPECT_EQ(AllocObjectById(ID_TEST_SHADERPLUGIN), nullptr);   // a plug-in, but no object
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(AllocObjectById(Onull), nullptr);
  }
  EXPECT_EQ(host::GetLiveNodeCount(), liveBefore);
}

TEST(OgxPreferences, TakesCreatesOrLeavesTheWorldSubContainer)
{
  constexpr Int32 KEY = 1000;
  struct Case
  {
    const char* name;
    std::function<void()> prepare;
    Bool expectPrefs;
    Int32 expectValue;        // KEY read with default -1, when a container is returned
    Int32 expectStoredType;   // what the world container holds under the id afterwards
  };
  const std::vector<Case> cases = {
    {"missing_is_created_empty", [] {}, true, -1, DA_CONTAINER},
    {"present_is_kept",
     [] {
       BaseContainer prefs(ID_OGX_PREFERENCES);
       prefs.SetInt32(KEY, 2500);
       GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
     },
     true, 2500, DA_CONTAINER},
    {"other_kind_is_left_alone", [] { GetWorldContainerInstance()->SetInt32(ID_OGX_PREFERENCES, 7); }, false, 0,
     DA_LONG},
    {"cannot_be_had", [] { host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, true); }, false, 0, DA_CONTAINER},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    host::ResetSceneState();
    c.prepare();
    BaseContainer* prefs = GetOgxPreferences();
    ASSERT_EQ(prefs != nullptr, c.expectPrefs);
    if (prefs)
    {
      EXPECT_EQ(prefs->GetInt32(KEY, -1), c.expectValue);
      // The same container the world holds, so that writes through it persist.
      EXPECT_EQ(prefs, GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES));
    }
    host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, false);
    EXPECT_EQ(GetWorldContainerInstance()->GetType(ID_OGX_PREFERENCES), c.expectStoredType);
  }
  host::ResetSceneState();
}

TEST(JoinStrings, SeparatorOnlyAfterNonEmptyText)
{
  struct Case
  {
    std::vector<String> parts;
    const char* separator;
    const char* expected;
  };
  const Case cases[] = {
    {{}, ", ", ""},
    {{"a"}, ", ", "a"},
    {{"", "a", "b"}, ", ", "a, b"},
    {{"", "", "a"}, "-", "a"},
    {{"a", "", "b"}, ", ", "a, , b"},
    {{"a", "b", ""}, "/", "a/b/"},
    {{"", ""}, ", ", ""},
    {{"a", "b"}, "", "ab"},
  };
  for (const Case& c : cases)
  {
    BaseArray<String> parts;
    for (const String& p : c.parts)
      ASSERT_TRUE(parts.Append(p).IsOk());
    EXPECT_EQ(JoinStrings(parts, c.separator), c.expected);
  }
}

TEST(StringConversions, PointersAndStandardStrings)
{
  int value = 0;
  char expected[64];
  std::snprintf(expected, sizeof(expected), "%p", static_cast<void*>(&value));
  EXPECT_EQ(PointerToString(&value), expected);

  const String text("H\xC3\xB6he 12");   // UTF-8 bytes pass through unchanged
  EXPECT_EQ(ToStdString(text), "H\xC3\xB6he 12");
  EXPECT_EQ(C4DToStdString(text), "H\xC3\xB6he 12");
  EXPECT_EQ(ToStdString(String()), "");
  EXPECT_EQ(C4DToStdString(String()), "");

  host::ResetLogs();
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(ToStdString(text), "");
  }
  EXPECT_EQ(host::Console().GetCount(), 0);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(C4DToStdString(text), "");
  }
  EXPECT_EQ(host::Console().GetLines(), (std::vector<String>{"C4DToStdString: Could not get CString from s!"}));
  host::ResetLogs();
}

namespace
{
// A module folder in a temporary directory, with a string table that holds the help location.
class HelpPathTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    dir = std::filesystem::temp_directory_path() /
          ("ogx_helppath_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "res");
    std::ofstream(dir / "res" / host::STRING_TABLE_FILE) << R"({"10086": "https://help.example/orogenix"})";
    host::SetModuleDirectory(Url(dir));
    ASSERT_TRUE(InitResource());
  }
  void TearDown() override
  {
    FreeResource();
    host::SetModuleDirectory(Url());
    std::filesystem::remove_all(dir);
  }
  void MakeHelp(Bool withIndex)
  {
    std::filesystem::create_directories(dir / "help");
    if (withIndex)
      std::ofstream(dir / "help" / "index.html") << "<html></html>";
  }

  std::filesystem::path dir;
};

const Url kFallback(String("https://help.example/orogenix"));
} // namespace

TEST_F(HelpPathTest, InstalledHelpFolderAndIndex)
{
  MakeHelp(true);
  const Result<Url> folder = GetHelpPath(false);
  const Result<Url> index = GetHelpPath(true);
  ASSERT_TRUE(folder.IsOk() && index.IsOk());
  EXPECT_EQ(folder.GetValue(), Url(dir / "help"));
  EXPECT_EQ(index.GetValue(), Url(dir / "help" / "index.html"));
}

TEST_F(HelpPathTest, MissingHelpGivesTheLocationFromTheStrings)
{
  // No help folder at all: both forms fall back.
  ASSERT_TRUE(GetHelpPath(false).IsOk());
  EXPECT_EQ(GetHelpPath(false).GetValue(), kFallback);
  EXPECT_EQ(GetHelpPath(true).GetValue(), kFallback);

  // A folder without its index: the folder is found, the index is not.
  MakeHelp(false);
  EXPECT_EQ(GetHelpPath(false).GetValue(), Url(dir / "help"));
  EXPECT_EQ(GetHelpPath(true).GetValue(), kFallback);
}

TEST_F(HelpPathTest, UnknownModuleDirectoryOrNoStrings)
{
  // Without a module directory "help" would be looked up relative to the working directory.
  host::SetModuleDirectory(Url());
  EXPECT_EQ(GetHelpPath(true).GetValue(), kFallback);

  // Nothing to fall back to: an error rather than an empty location.
  FreeResource();
  const Result<Url> r = GetHelpPath(true);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
}
