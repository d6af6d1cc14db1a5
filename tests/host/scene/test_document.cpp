#include <gtest/gtest.h>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/thread.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"

namespace
{
constexpr Int32 ID_OPERATOR = 1054566;
constexpr Int32 ID_HOOK = 1056379;

// An object plug-in with a member that Init sets.
class Operator : public ObjectData
{
public:
  Int32 initRuns = 0;
  static NodeData* Alloc() { return NewObj<Operator>(); }
  Bool Init(GeListNode* node) override
  {
    ++initRuns;
    static_cast<BaseList2D*>(node)->GetDataInstance()->SetFloat(1001, 1.0);
    return true;
  }
};

class Hook : public SceneHookData
{
public:
  static inline Int32 inits = 0;
  static NodeData* Alloc() { return NewObj<Hook>(); }
  Bool Init(GeListNode*) override
  {
    ++inits;
    return true;
  }
};

class DocumentTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    _live = host::GetLiveNodeCount();
    ASSERT_TRUE(RegisterObjectPlugin(ID_OPERATOR, "Operator", OBJECT_GENERATOR, Operator::Alloc, "oop", nullptr, 1));
    _doc = BaseDocument::Alloc();
    ASSERT_NE(_doc, nullptr);
  }
  void TearDown() override
  {
    BaseDocument::Free(_doc);
    host::ResetSceneState();
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
  }

  BaseObject* Add(const char* name, BaseObject* parent = nullptr, Int32 type = Onull)
  {
    BaseObject* op = BaseObject::Alloc(type);
    op->SetName(name);
    if (parent)
      op->InsertUnderLast(parent);
    else
    {
      BaseObject* last = _doc->GetFirstObject();
      while (last && last->GetNext())
        last = last->GetNext();
      _doc->InsertObject(op, nullptr, last);
    }
    return op;
  }

  BaseDocument* _doc = nullptr;
  Int _live = 0;
};

// An independent description of everything undo must restore: the tree with names, types, identity
// values, matrices, containers and tags, written out node by node.
String Describe(const BaseObject* op)
{
  String out;
  for (; op; op = op->GetNext())
  {
    out += op->GetName() + "#" + String::IntToString(op->GetGUID()) + " t" + String::IntToString(op->GetType());
    const Matrix m = op->GetMl();
    out += " m" + String::FloatToString(m.off.x, 3) + "," + String::FloatToString(m.off.y, 3) + "," +
           String::FloatToString(m.v1.x, 3);
    for (const auto& e : *op->GetDataInstance())
      out += " " + String::IntToString(e.id) + "=" + String::FloatToString(e.data.GetFloat(), 3) +
             e.data.GetString();
    for (const BaseTag* t = op->GetFirstTag(); t; t = t->GetNext())
      out += " [tag " + String::IntToString(t->GetType()) + "#" + String::IntToString(t->GetGUID()) + "]";
    if (op->GetDown())
      out += " (" + Describe(op->GetDown()) + ")";
    out += ";";
  }
  return out;
}

std::vector<String> Names(const AtomArray& arr)
{
  std::vector<String> out;
  for (Int32 i = 0; i < arr.GetCount(); ++i)
    out.push_back(arr.GetIndex(i)->GetName());
  return out;
}
} // namespace

TEST_F(DocumentTest, ActiveObjectsComeInHierarchyOrder)
{
  BaseObject* a = Add("a");
  BaseObject* a1 = Add("a1", a);
  BaseObject* a11 = Add("a11", a1);
  BaseObject* a2 = Add("a2", a);
  BaseObject* b = Add("b");
  BaseObject* b1 = Add("b1", b);
  // Selected in an order that differs from the hierarchy.
  for (BaseObject* op : {b1, a2, a11, b, a})
    _doc->SetActiveObject(op, SELECTION::ADD);
  AtomArray active;
  _doc->GetActiveObjects(active, GETACTIVEOBJECTFLAGS::NONE);
  EXPECT_EQ(Names(active), (std::vector<String>{"a", "a11", "a2", "b", "b1"}));
  EXPECT_EQ(_doc->GetActiveObject(), a);

  _doc->SetActiveObject(a11, SELECTION::SUB);
  _doc->SetActiveObject(a, SELECTION::SUB);
  _doc->GetActiveObjects(active, GETACTIVEOBJECTFLAGS::NONE);
  EXPECT_EQ(Names(active), (std::vector<String>{"a2", "b", "b1"}));

  _doc->SetActiveObject(a1, SELECTION::NEW);
  _doc->GetActiveObjects(active, GETACTIVEOBJECTFLAGS::NONE);
  EXPECT_EQ(Names(active), (std::vector<String>{"a1"}));
  (void)a2;
}

TEST_F(DocumentTest, TheActiveObjectIsTheOneLastMadeActiveWhileItStaysSelected)
{
  BaseObject* a = Add("a");
  BaseObject* b = Add("b");
  BaseObject* c = Add("c", b);
  _doc->SetActiveObject(c, SELECTION::NEW);
  _doc->SetActiveObject(a, SELECTION::ADD);
  _doc->SetActiveObject(b, SELECTION::ADD);
  EXPECT_EQ(_doc->GetActiveObject(), b) << "not the first in hierarchy order";
  // Deselected (by the selection or by its bit), the first active one in hierarchy order takes over.
  _doc->SetActiveObject(b, SELECTION::SUB);
  EXPECT_EQ(_doc->GetActiveObject(), a);
  _doc->SetActiveObject(c, SELECTION::ADD);
  c->DelBit(BIT_ACTIVE);
  EXPECT_EQ(_doc->GetActiveObject(), a);
  // Moved out of the document or freed: the same.
  _doc->SetActiveObject(c, SELECTION::ADD);
  c->Remove();
  EXPECT_EQ(_doc->GetActiveObject(), a);
  BaseObject::Free(c);
  EXPECT_EQ(_doc->GetActiveObject(), a);
  _doc->SetActiveObject(nullptr, SELECTION::NEW);
  EXPECT_EQ(_doc->GetActiveObject(), nullptr);
}

TEST_F(DocumentTest, UndoRestoresCreatedMovedAndDeletedObjects)
{
  BaseObject* a = Add("a");
  BaseObject* b = Add("b");
  BaseObject* c = Add("c", b);
  BaseObject* d = Add("d", c, ID_OPERATOR);
  d->SetMl(Matrix(Vector(5, 6, 7), Vector(2, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  d->GetDataInstance()->SetString(1092, "ready");
  d->MakeTag(Tphong);
  const Int cGuid = c->GetGUID();
  const Int dGuid = d->GetGUID();
  BaseLink toD;
  toD.SetLink(d);
  const String before = Describe(_doc->GetFirstObject());

  _doc->StartUndo();
  // A new object, inserted first and recorded after the insertion, as the commands do.
  BaseObject* created = BaseObject::Alloc(ID_OPERATOR);
  created->SetName("new");
  created->InsertUnder(a);
  _doc->AddUndo(UNDOTYPE::NEWOBJ, created);
  // A move.
  _doc->AddUndo(UNDOTYPE::CHANGE_HIERARCHY, a);
  a->Remove();
  a->InsertUnderLast(b);
  // A parameter and matrix change.
  _doc->AddUndo(UNDOTYPE::CHANGE, b);
  b->GetDataInstance()->SetFloat(1003, 9.0);
  b->SetMl(Matrix(Vector(1, 1, 1), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  // A deletion that really frees the object and everything below it.
  _doc->AddUndo(UNDOTYPE::DELETEOBJ, c);
  BaseObject::Free(c);
  EXPECT_TRUE(_doc->EndUndo());
  EXPECT_EQ(toD.GetLink(_doc), nullptr);
  EXPECT_NE(Describe(_doc->GetFirstObject()), before);

  const auto steps = host::GetUndoSteps(_doc);
  ASSERT_EQ(steps.size(), 1u);
  ASSERT_EQ(steps[0].entries.size(), 4u);
  EXPECT_EQ(steps[0].entries[0].type, UNDOTYPE::NEWOBJ);
  EXPECT_EQ(steps[0].entries[3].type, UNDOTYPE::DELETEOBJ);
  EXPECT_EQ(steps[0].entries[3].guid, cGuid);
  EXPECT_TRUE(steps[0].closed);

  ASSERT_TRUE(_doc->DoUndo());
  EXPECT_EQ(Describe(_doc->GetFirstObject()), before);
  // The freed objects are back under their identities, so links to them resolve again, and the
  // plug-in node is a real plug-in node.
  BaseObject* back = static_cast<BaseObject*>(host::FindNodeByGuid(dGuid));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(toD.GetLink(_doc), back);
  EXPECT_NE(back->GetNodeData<Operator>(), nullptr);
  EXPECT_EQ(back->GetUp()->GetGUID(), cGuid);
  // The created object is out of the document.
  EXPECT_EQ(created->GetDocument(), nullptr);
  EXPECT_EQ(host::GetUndoTrash(_doc).size(), 1u);
  EXPECT_TRUE(host::GetUndoSteps(_doc).empty());
  EXPECT_FALSE(_doc->DoUndo());   // nothing left to undo
}

TEST_F(DocumentTest, UndoStepsNestAndAreRefusedOutsideAStep)
{
  BaseObject* a = Add("a");
  EXPECT_FALSE(_doc->AddUndo(UNDOTYPE::CHANGE, a));
  EXPECT_FALSE(_doc->EndUndo());
  EXPECT_FALSE(host::Diagnostics().GetLines().empty());

  _doc->StartUndo();
  _doc->AddUndo(UNDOTYPE::CHANGE, a);
  a->GetDataInstance()->SetInt32(1, 1);
  _doc->StartUndo();   // joins the outer step
  _doc->AddUndo(UNDOTYPE::CHANGE_SMALL, a);
  a->GetDataInstance()->SetInt32(1, 2);
  EXPECT_TRUE(_doc->EndUndo());
  EXPECT_FALSE(_doc->DoUndo());   // the outer step is still open
  EXPECT_TRUE(_doc->EndUndo());
  ASSERT_EQ(host::GetUndoSteps(_doc).size(), 1u);
  EXPECT_EQ(host::GetUndoSteps(_doc)[0].entries.size(), 2u);

  // An empty step is not kept.
  _doc->StartUndo();
  _doc->EndUndo();
  EXPECT_EQ(host::GetUndoSteps(_doc).size(), 1u);

  ASSERT_TRUE(_doc->DoUndo());
  EXPECT_FALSE(a->GetDataInstance()->Contains(1));
}

TEST_F(DocumentTest, TwoStepsUndoInTurn)
{
  BaseObject* a = Add("a");
  _doc->StartUndo();
  _doc->AddUndo(UNDOTYPE::CHANGE, a);
  a->SetName("a1");
  _doc->EndUndo();
  _doc->StartUndo();
  _doc->AddUndo(UNDOTYPE::DELETEOBJ, a);
  BaseObject::Free(a);
  _doc->EndUndo();
  EXPECT_EQ(_doc->GetFirstObject(), nullptr);
  ASSERT_TRUE(_doc->DoUndo());
  ASSERT_NE(_doc->GetFirstObject(), nullptr);
  EXPECT_EQ(_doc->GetFirstObject()->GetName(), "a1");
  ASSERT_TRUE(_doc->DoUndo());
  EXPECT_EQ(_doc->GetFirstObject()->GetName(), "a");
}

TEST_F(DocumentTest, UndoRestoresPointArrays)
{
  PolygonObject* poly = PolygonObject::Alloc(2, 0);
  _doc->InsertObject(poly, nullptr);
  poly->GetPointW()[0] = Vector(1, 2, 3);
  _doc->StartUndo();
  _doc->AddUndo(UNDOTYPE::CHANGE, poly);
  poly->ResizeObject(3, 0);
  poly->GetPointW()[0] = Vector(9, 9, 9);
  _doc->EndUndo();
  ASSERT_TRUE(_doc->DoUndo());
  EXPECT_EQ(poly->GetPointCount(), 2);
  EXPECT_EQ(poly->GetPointR()[0], Vector(1, 2, 3));
}

TEST_F(DocumentTest, SceneHooksComeFromRegisteredPlugins)
{
  EXPECT_EQ(_doc->FindSceneHook(ID_HOOK), nullptr);
  ASSERT_TRUE(RegisterSceneHookPlugin(ID_HOOK, "OGX_TerrainHudDrawSceneHook", 0, Hook::Alloc, 3000, 0));
  Hook::inits = 0;
  BaseSceneHook* hook = _doc->FindSceneHook(ID_HOOK);
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(_doc->FindSceneHook(ID_HOOK), hook);
  EXPECT_EQ(Hook::inits, 1);
  EXPECT_EQ(hook->GetDocument(), _doc);
  EXPECT_EQ(host::GetSceneHooks(_doc), (std::vector<BaseSceneHook*>{hook}));
  EXPECT_EQ(host::FindPlugin(ID_HOOK)->priority, 3000);
  EXPECT_EQ(_doc->FindSceneHook(ID_OPERATOR), nullptr);   // an object plug-in is no hook
}

TEST_F(DocumentTest, FreeDestroysEverythingInside)
{
  BaseObject* a = Add("a", nullptr, ID_OPERATOR);
  Add("b", a);
  a->MakeTag(Tphong);
  BaseMaterial* mat = BaseMaterial::Alloc();
  BaseShader* sh = BaseShader::Alloc(5832);
  mat->InsertShader(sh);
  BaseShader::Alloc(5833)->InsertUnder(sh);
  _doc->InsertMaterial(mat);
  _doc->SetTime(2.5);
  EXPECT_EQ(_doc->GetTime(), 2.5);
  EXPECT_EQ(_doc->GetFirstMaterial(), mat);
  EXPECT_EQ(_doc->SearchObject("b")->GetUp(), a);
  EXPECT_EQ(_doc->SearchObject("zz"), nullptr);
  BaseDocument::Free(_doc);
  EXPECT_EQ(_doc, nullptr);
  EXPECT_EQ(host::GetLiveNodeCount(), _live);
}

TEST_F(DocumentTest, MaterialUpdatesAreRecorded)
{
  BaseMaterial* mat = BaseMaterial::Alloc();
  _doc->InsertMaterial(mat);
  mat->Update(true, false);
  const auto updates = host::GetMaterialUpdates(mat);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_TRUE(updates[0].first);
  EXPECT_FALSE(updates[0].second);
  EXPECT_EQ(BaseMaterial::Alloc(Onull), nullptr);
}

TEST_F(DocumentTest, AtomArrayAppendCanFail)
{
  AtomArray* arr = AtomArray::Alloc();
  ASSERT_NE(arr, nullptr);
  EXPECT_TRUE(arr->Append(nullptr));   // null entries are allowed
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(arr->Append(nullptr));
  }
  EXPECT_EQ(arr->GetCount(), 1);
  EXPECT_EQ(arr->GetIndex(5), nullptr);
  AtomArray::Free(arr);
  EXPECT_EQ(arr, nullptr);
}

TEST(HostState, WorldContainerRunningStatesAndEvents)
{
  host::ResetSceneState();
  BaseContainer* world = GetWorldContainerInstance();
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(world->GetContainerInstance(1055624), nullptr);
  world->SetContainer(1055624, BaseContainer());
  world->GetContainerInstance(1055624)->SetInt32(1000, 2000);
  EXPECT_EQ(GetWorldContainerInstance()->GetContainerInstance(1055624)->GetInt32(1000), 2000);
  host::SetWorldSubContainerRefused(1055624, true);
  EXPECT_EQ(world->GetContainerInstance(1055624), nullptr);   // cannot be had, though it exists
  host::ResetWorldContainer();
  EXPECT_TRUE(GetWorldContainerInstance()->IsEmpty());

  for (CHECKISRUNNING s : {CHECKISRUNNING::ANIMATIONRUNNING, CHECKISRUNNING::VIEWDRAWING,
                           CHECKISRUNNING::EDITORRENDERING, CHECKISRUNNING::EXTERNALRENDERING})
  {
    EXPECT_FALSE(CheckIsRunning(s));
    host::SetRunning(s, true);
    EXPECT_TRUE(CheckIsRunning(s));
  }
  host::ResetRunningStates();
  EXPECT_FALSE(CheckIsRunning(CHECKISRUNNING::VIEWDRAWING));

  EventAdd();
  EventAdd(4);
  EXPECT_EQ(host::GetEventCount(), 2);
  EXPECT_EQ(host::GetEventLog(), (std::vector<Int32>{0, 4}));
  host::ResetSceneState();
  EXPECT_EQ(host::GetEventCount(), 0);

  HostThread thread;
  HierarchyContext hh(nullptr, 0.5, &thread, BUILDFLAGS::ISOPARM | BUILDFLAGS::EXTERNALRENDERER);
  EXPECT_EQ(hh.GetLOD(), 0.5);
  EXPECT_EQ(hh.GetThread(), &thread);
  EXPECT_EQ(static_cast<Int32>(hh.GetBuildFlags()), 12);
}
