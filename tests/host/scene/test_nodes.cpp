#include <gtest/gtest.h>

#include <cmath>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"

namespace
{
constexpr Int32 ID_RECORDER = 1054563;
constexpr Int32 ID_OPERATOR_BASE = 1054564;
constexpr Int32 ID_SHADERPLUGIN = 1054655;

std::vector<String>& Events()
{
  static std::vector<String> events;
  return events;
}

// An object plug-in that records every slot the host calls.
class Recorder : public ObjectData
{
public:
  static inline Bool failInit = false;
  static inline Bool freeSawDocument = false;
  static inline const GeListNode* copySource = nullptr;
  static inline const GeListNode* copyDest = nullptr;
  static inline Int32 builds = 0;
  static inline Bool keepCache = false;
  static inline Int32 cachePoints = 3;   // points of the polygon object a build makes

  Int32 member = 0;   // a plug-in member that only CopyTo carries over

  static NodeData* Alloc() { return NewObj<Recorder>(); }
  ~Recorder() override { Events().push_back("destructor"); }

  Bool Init(GeListNode* node) override
  {
    Events().push_back("Init");
    static_cast<BaseList2D*>(node)->GetDataInstance()->SetFloat(1001, 1.0);
    return !failInit;
  }
  void Free(GeListNode* node) override
  {
    Events().push_back("Free");
    freeSawDocument = node->GetDocument() != nullptr;
  }
  Bool CopyTo(NodeData* dest, const GeListNode* snode, GeListNode* dnode, COPYFLAGS, AliasTrans*) const override
  {
    static_cast<Recorder*>(dest)->member = member;
    copySource = snode;
    copyDest = dnode;
    return true;
  }
  Bool Message(GeListNode*, Int32 type, void*) override { return type != 99; }
  Bool IsInstanceOf(const GeListNode* node, Int32 type) const override
  {
    return node && (type == ID_OPERATOR_BASE || NodeData::IsInstanceOf(node, type));
  }
  Bool GetParameter(GeListNode*, const DescID& id, GeData& t_data, DESCFLAGS_GET& flags) override
  {
    if (id.GetFirstId() == 500)   // a computed parameter the container does not hold
    {
      t_data = GeData(Int32(42));
      flags |= DESCFLAGS_GET::PARAM_GET;
    }
    return id.GetFirstId() != 666;
  }
  BaseObject* BuildCache(BaseObject* op, HierarchyContext*) override
  {
    ++builds;
    op->GetDataInstance()->SetString(1092, "built " + String::IntToString(builds));   // a status text
    if (keepCache && op->GetCache())
      return op->GetCache();
    return PolygonObject::Alloc(cachePoints, 1);
  }
};

class SceneTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    Events().clear();
    Recorder::failInit = false;
    Recorder::builds = 0;
    Recorder::keepCache = false;
    Recorder::cachePoints = 3;
    _live = host::GetLiveNodeCount();
  }
  void TearDown() override
  {
    host::ResetSceneState();
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
  }
  static void RegisterRecorder(Int32 info = OBJECT_GENERATOR)
  {
    ASSERT_TRUE(RegisterObjectPlugin(ID_RECORDER, "Recorder", info, Recorder::Alloc, "orecorder", nullptr, 1));
  }

  Int _live = 0;
};

struct DocDeleter
{
  void operator()(BaseDocument* d) const { BaseDocument::Free(d); }
};
using DocPtr = std::unique_ptr<BaseDocument, DocDeleter>;

BaseObject* Null(const char* name)
{
  BaseObject* op = BaseObject::Alloc(Onull);
  op->SetName(name);
  return op;
}


Bool Near(const Matrix& a, const Matrix& b)
{
  auto nv = [](const Vector& x, const Vector& y) { return (x - y).GetLength() < 1e-12; };
  return nv(a.off, b.off) && nv(a.v1, b.v1) && nv(a.v2, b.v2) && nv(a.v3, b.v3);
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Plug-in table and node lifecycle

TEST_F(SceneTest, PluginTableRefusesDuplicatesAndBadEntries)
{
  RegisterRecorder();
  EXPECT_FALSE(RegisterObjectPlugin(ID_RECORDER, "Again", 0, Recorder::Alloc, "o", nullptr, 0));
  EXPECT_FALSE(RegisterShaderPlugin(ID_RECORDER, "Same id, other kind", 0, Recorder::Alloc, "x", 0));
  EXPECT_FALSE(RegisterObjectPlugin(1054570, "No allocator", 0, nullptr, "o", nullptr, 0));
  EXPECT_FALSE(RegisterObjectPlugin(Onull, "A built-in id", 0, Recorder::Alloc, "o", nullptr, 0));
  host::FailNthRegistration(2);
  EXPECT_TRUE(RegisterObjectPlugin(1054571, "First", 0, Recorder::Alloc, "o", nullptr, 0));
  EXPECT_FALSE(RegisterObjectPlugin(1054572, "Second fails", 0, Recorder::Alloc, "o", nullptr, 0));
  EXPECT_TRUE(RegisterObjectPlugin(1054572, "Third", 0, Recorder::Alloc, "o", nullptr, 0));

  const auto log = host::GetRegistrationLog();
  ASSERT_EQ(log.size(), 8u);
  const Bool results[] = {true, false, false, false, false, true, false, true};
  for (std::size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i].result, results[i]) << i;
  EXPECT_EQ(log[0].description, "orecorder");
  EXPECT_EQ(log[0].diskLevel, 1);
  EXPECT_EQ(log[0].info, OBJECT_GENERATOR);
  EXPECT_EQ(host::GetPlugins().size(), 3u);
  EXPECT_EQ(host::FindPlugin(ID_RECORDER)->name, "Recorder");

  host::ResetPlugins();
  EXPECT_EQ(host::FindPlugin(ID_RECORDER), nullptr);
  EXPECT_TRUE(host::GetRegistrationLog().empty());
}

TEST_F(SceneTest, AllocationRunsInitAndFreeRunsFreeThenTheDestructor)
{
  RegisterRecorder();
  BaseObject* op = BaseObject::Alloc(ID_RECORDER);
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(Events(), (std::vector<String>{"Init"}));
  EXPECT_EQ(op->GetDataInstance()->GetFloat(1001), 1.0);
  EXPECT_NE(op->GetNodeData<Recorder>(), nullptr);
  EXPECT_EQ(op->GetNodeData()->Get(), op);
  EXPECT_EQ(op->GetInfo(), OBJECT_GENERATOR);

  DocPtr doc(BaseDocument::Alloc());
  doc->InsertObject(op, nullptr);
  Events().clear();
  BaseObject::Free(op);
  EXPECT_EQ(op, nullptr);
  EXPECT_EQ(Events(), (std::vector<String>{"Free", "destructor"}));
  // Free runs while the node is still in its document, so the links it resolves still work.
  EXPECT_TRUE(Recorder::freeSawDocument);
  EXPECT_EQ(doc->GetFirstObject(), nullptr);

  EXPECT_EQ(BaseObject::Alloc(1999999), nullptr);    // unknown id
  EXPECT_EQ(AllocPluginNode(1999999), nullptr);
  EXPECT_EQ(BaseTag::Alloc(ID_RECORDER), nullptr);   // an object plug-in is no tag
}

TEST_F(SceneTest, FailedInitGivesNullAndStillFrees)
{
  RegisterRecorder();
  Recorder::failInit = true;
  EXPECT_EQ(BaseObject::Alloc(ID_RECORDER), nullptr);
  EXPECT_EQ(Events(), (std::vector<String>{"Init", "Free", "destructor"}));
}

TEST_F(SceneTest, FailedAllocationGivesNull)
{
  RegisterRecorder();
  {
    host::ScopedAllocationFailure fail(1);   // the node itself
    EXPECT_EQ(BaseObject::Alloc(ID_RECORDER), nullptr);
  }
  {
    host::ScopedAllocationFailure fail(2);   // the plug-in data
    EXPECT_EQ(BaseObject::Alloc(ID_RECORDER), nullptr);
  }
  EXPECT_TRUE(Events().empty());
}

TEST_F(SceneTest, InstanceTests)
{
  RegisterRecorder();
  ASSERT_TRUE(RegisterShaderPlugin(ID_SHADERPLUGIN, "Shader", 0, [] { return static_cast<NodeData*>(NewObj<ShaderData>()); },
                                   "xshader", 0));
  ObjPtr rec(BaseObject::Alloc(ID_RECORDER));
  ObjPtr poly(PolygonObject::Alloc(0, 0));
  ObjPtr null(BaseObject::Alloc(Onull));
  BaseMaterial* mat = BaseMaterial::Alloc();
  BaseShader* plain = BaseShader::Alloc(5833);
  BaseShader* plug = BaseShader::Alloc(ID_SHADERPLUGIN);

  struct Case
  {
    const GeListNode* node;
    Int32 type;
    Bool expected;
  };
  const Case cases[] = {
    {rec.get(), ID_RECORDER, true},         {rec.get(), ID_OPERATOR_BASE, true},   // the plug-in's override
    {rec.get(), Onull, false},              {null.get(), ID_OPERATOR_BASE, false},
    {null.get(), Onull, true},              {poly.get(), Opolygon, true},
    {poly.get(), Opoint, true},             {poly.get(), Ospline, false},
    {poly->GetTag(Tpoint), Tvariable, true}, {poly->GetTag(Tpoint), Tpoint, true},
    {mat, Mmaterial, true},                 {plain, 5833, true},
    {plain, Xbase, true},                   {plug, Xbase, true},
    {plug, Mmaterial, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.node->IsInstanceOf(c.type), c.expected) << c.node->GetType() << " of " << c.type;

  BaseMaterial::Free(mat);
  BaseShader::Free(plain);
  BaseShader::Free(plug);
}

TEST_F(SceneTest, IdentityValuesAreUniqueAndNotReusedWhileAlive)
{
  ObjPtr a(Null("a"));
  ObjPtr b(Null("b"));
  EXPECT_NE(a->GetGUID(), b->GetGUID());
  EXPECT_EQ(host::FindNodeByGuid(a->GetGUID()), a.get());
  const Int guid = b->GetGUID();
  b.reset();
  EXPECT_EQ(host::FindNodeByGuid(guid), nullptr);
  ObjPtr c(Null("c"));
  EXPECT_NE(c->GetGUID(), guid);
}

// ---------------------------------------------------------------------------------------------------
// Trees

TEST_F(SceneTest, InsertionKeepsARealDoublyLinkedTree)
{
  DocPtr doc(BaseDocument::Alloc());
  BaseObject* a = Null("a");
  BaseObject* b = Null("b");
  BaseObject* c = Null("c");
  BaseObject* d = Null("d");
  BaseObject* e = Null("e");
  BaseObject* f = Null("f");
  ASSERT_TRUE(doc->InsertObject(a, nullptr));        // a
  ASSERT_TRUE(doc->InsertObject(b, nullptr));        // b,a  (first at the top)
  ASSERT_TRUE(doc->InsertObject(c, nullptr, b));     // b,c,a
  ASSERT_TRUE(d->InsertUnder(c));                    // c(d)
  ASSERT_TRUE(e->InsertUnderLast(c));                // c(d,e)
  ASSERT_TRUE(f->InsertBefore(d));                   // c(f,d,e)
  EXPECT_EQ(TreeText(doc->GetFirstObject()), "b,c(f,d,e),a");

  // Links both ways, the last child and the parent.
  EXPECT_EQ(c->GetDownLast(), e);
  EXPECT_EQ(e->GetPred(), d);
  EXPECT_EQ(d->GetPred(), f);
  EXPECT_EQ(f->GetPred(), nullptr);
  EXPECT_EQ(e->GetUp(), c);
  EXPECT_EQ(c->GetUp(), nullptr);
  EXPECT_EQ(a->GetPred(), c);
  EXPECT_EQ(e->GetDocument(), doc.get());

  // Refusals: a node already in a list, a node under itself, a tag as a child.
  EXPECT_FALSE(a->InsertUnder(b));
  c->Remove();
  EXPECT_EQ(c->GetDocument(), nullptr);
  EXPECT_EQ(d->GetDocument(), nullptr);
  EXPECT_FALSE(c->InsertUnder(d));
  EXPECT_FALSE(host::Diagnostics().GetLines().empty());
  BaseTag* tag = BaseTag::Alloc(Tphong);
  EXPECT_FALSE(tag->InsertUnder(a));
  EXPECT_TRUE(a->InsertTag(tag));
  EXPECT_EQ(tag->GetObject(), a);
  EXPECT_EQ(tag->GetDocument(), doc.get());

  // The removed subtree moves as a whole.
  ASSERT_TRUE(c->InsertUnderLast(a));
  EXPECT_EQ(TreeText(doc->GetFirstObject()), "b,a(c(f,d,e))");
  EXPECT_EQ(d->GetDocument(), doc.get());
}

TEST_F(SceneTest, GlobalMatricesFollowTheParentChain)
{
  const Matrix rot(Vector(1, 2, 3), Vector(0, 1, 0), Vector(-1, 0, 0), Vector(0, 0, 1));
  const Matrix scale(Vector(0, 0, 5), Vector(2, 0, 0), Vector(0, 2, 0), Vector(0, 0, 2));
  ObjPtr parent(Null("p"));
  BaseObject* child = Null("c");
  child->InsertUnder(parent.get());
  parent->SetMl(rot);
  child->SetMl(scale);
  EXPECT_TRUE(Near(child->GetMg(), rot * scale));
  EXPECT_TRUE(Near(child->GetUpMg(), rot));
  // A point at the child's origin lands where the parent puts (0, 0, 5).
  EXPECT_EQ(child->GetMg() * Vector(0, 0, 0), Vector(1, 2, 8));

  const Matrix wanted(Vector(10, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));
  child->SetMg(wanted);
  EXPECT_TRUE(Near(child->GetMg(), wanted));
  EXPECT_TRUE(Near(child->GetMl(), ~rot * wanted));
}

// ---------------------------------------------------------------------------------------------------
// Dirty counts, parameters, messages

TEST_F(SceneTest, DirtyCounts)
{
  RegisterRecorder();
  ObjPtr op(BaseObject::Alloc(ID_RECORDER));
  auto data = [&] { return op->GetDirty(DIRTYFLAGS::DATA); };
  auto matrix = [&] { return op->GetDirty(DIRTYFLAGS::MATRIX); };

  Int d = data();
  Int m = matrix();
  EXPECT_TRUE(op->SetParameter(DescID(1003), GeData(2.5)));
  EXPECT_EQ(data(), d + 1);
  EXPECT_EQ(op->GetDataInstance()->GetFloat(1003), 2.5);
  EXPECT_EQ(matrix(), m);

  d = data();
  op->Message(MSG_UPDATE);
  op->Message(1001078);
  EXPECT_EQ(data(), d);
  EXPECT_EQ(matrix(), m);

  op->SetMl(Matrix(Vector(1, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  EXPECT_EQ(matrix(), m + 1);
  EXPECT_EQ(data(), d);
  op->SetMl(op->GetMl());   // no change, no count
  EXPECT_EQ(matrix(), m + 1);

  // Container writes count as data changes, also through a sub-container instance.
  op->GetDataInstance()->SetInt32(2000, 1);
  EXPECT_EQ(data(), d + 1);
  op->GetDataInstance()->SetContainer(2001, BaseContainer());
  op->GetDataInstance()->GetContainerInstance(2001)->SetInt32(1, 1);
  EXPECT_EQ(data(), d + 3);
  // A copy of the container is no longer the node's.
  BaseContainer copy = *op->GetDataInstance();
  copy.SetInt32(1, 1);
  copy.GetContainerInstance(2001)->SetInt32(1, 2);
  EXPECT_EQ(data(), d + 3);

  // A mask asks for the sum of its counters.
  op->SetDirty(DIRTYFLAGS::CACHE);
  const Int c = op->GetDirty(DIRTYFLAGS::CACHE);
  EXPECT_EQ(op->GetDirty(DIRTYFLAGS::MATRIX | DIRTYFLAGS::DATA), matrix() + data());
  EXPECT_EQ(op->GetDirty(static_cast<DIRTYFLAGS>(22)), matrix() + data() + c);
  EXPECT_EQ(op->GetDirty(static_cast<DIRTYFLAGS>(20)), data() + c);
}

TEST_F(SceneTest, ParametersGoThroughTheSlotsThenTheContainer)
{
  RegisterRecorder();
  ObjPtr op(BaseObject::Alloc(ID_RECORDER));
  GeData value;
  EXPECT_TRUE(op->GetParameter(DescID(1001), value));
  EXPECT_EQ(value.GetFloat(), 1.0);
  EXPECT_TRUE(op->GetParameter(DescID(500), value));   // filled by the slot
  EXPECT_EQ(value.GetInt32(), 42);
  EXPECT_FALSE(op->GetParameter(DescID(777), value));  // no such entry
  EXPECT_TRUE(value.IsNil());
  EXPECT_FALSE(op->GetParameter(DescID(666), value));  // the slot refuses

  // Deeper levels address sub-containers.
  BaseContainer sub;
  sub.SetVector(5, Vector(1, 2, 3));
  op->GetDataInstance()->SetContainer(3000, sub);
  EXPECT_TRUE(op->GetParameter(DescID(DescLevel(3000), DescLevel(5)), value));
  EXPECT_EQ(value.GetVector(), Vector(1, 2, 3));
  EXPECT_TRUE(op->SetParameter(DescID(DescLevel(3000), DescLevel(6)), GeData(Int32(9))));
  EXPECT_EQ(op->GetDataInstance()->GetContainerInstance(3000)->GetInt32(6), 9);
  EXPECT_FALSE(op->SetParameter(DescID(DescLevel(3001), DescLevel(6)), GeData(Int32(9))));

  // A built-in node has the host defaults only.
  ObjPtr null(Null("n"));
  EXPECT_TRUE(null->SetParameter(DescID(10), GeData(String("x"))));
  EXPECT_TRUE(null->GetParameter(DescID(10), value));
  EXPECT_EQ(value.GetString(), "x");
  EXPECT_TRUE(null->GetDEnabling(DescID(10), value));
}

TEST_F(SceneTest, MessagesReachThePluginAndAreLogged)
{
  RegisterRecorder();
  ObjPtr op(BaseObject::Alloc(ID_RECORDER));
  ObjPtr null(Null("n"));
  EXPECT_TRUE(op->Message(MSG_UPDATE));
  EXPECT_FALSE(op->Message(99));   // the plug-in's answer
  EXPECT_TRUE(null->Message(99));  // the built-in default
  EXPECT_EQ(host::GetMessageLog(op.get()), (std::vector<Int32>{MSG_UPDATE, 99}));
  EXPECT_EQ(host::GetMessageLog(null.get()), (std::vector<Int32>{99}));
  host::ClearNodeLogs(op.get());
  EXPECT_TRUE(host::GetMessageLog(op.get()).empty());
}

TEST_F(SceneTest, NodeBitsAndStateBits)
{
  ObjPtr op(Null("n"));
  EXPECT_TRUE(op->ChangeNBit(NBIT::OM1_FOLD, NBITCONTROL::SET));
  EXPECT_TRUE(op->GetNBit(NBIT::OM1_FOLD));
  EXPECT_FALSE(op->ChangeNBit(NBIT::OM1_FOLD, NBITCONTROL::SET));   // already set: no change
  EXPECT_TRUE(op->ChangeNBit(NBIT::OM1_FOLD, NBITCONTROL::TOGGLE));
  EXPECT_FALSE(op->GetNBit(NBIT::OM1_FOLD));
  EXPECT_FALSE(op->ChangeNBit(NBIT::OM1_FOLD, static_cast<NBITCONTROL>(7)));   // recorded, no meaning
  const auto log = host::GetNBitLog(op.get());
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3].second, static_cast<NBITCONTROL>(7));

  op->SetBit(BIT_ACTIVE);
  EXPECT_TRUE(op->GetBit(BIT_ACTIVE));
  op->DelBit(BIT_ACTIVE);
  EXPECT_FALSE(op->GetBit(BIT_ACTIVE));
}

TEST_F(SceneTest, ObjectStateAndVisibility)
{
  ObjPtr parent(Null("p"));
  BaseObject* child = Null("c");
  child->InsertUnder(parent.get());
  EXPECT_EQ(child->GetEditorMode(), MODE::ON);
  EXPECT_EQ(child->GetObjectState(OBJECTSTATE::EDITOR), 1);
  parent->SetEditorMode(MODE::OFF);
  EXPECT_EQ(child->GetObjectState(OBJECTSTATE::EDITOR), 0);   // hidden through the parent
  EXPECT_EQ(child->GetObjectState(OBJECTSTATE::RENDER), 1);
  const Int d = child->GetDirty(DIRTYFLAGS::DATA);
  child->SetEnabled(false);
  EXPECT_EQ(child->GetObjectState(OBJECTSTATE::DEFORM), 0);
  EXPECT_EQ(child->GetDirty(DIRTYFLAGS::DATA), d + 1);

  ObjPtr deformer(BaseObject::Alloc(Odeformer));
  EXPECT_EQ(deformer->GetInfo() & OBJECT_MODIFIER, OBJECT_MODIFIER);
  EXPECT_EQ(parent->GetInfo(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Links

TEST_F(SceneTest, LinksResolveOnlyToLiveNodesInTheirDocument)
{
  RegisterRecorder();
  DocPtr doc(BaseDocument::Alloc());
  DocPtr other(BaseDocument::Alloc());
  BaseObject* target = BaseObject::Alloc(ID_RECORDER);
  doc->InsertObject(target, nullptr);
  BaseLink link;
  link.SetLink(target);

  EXPECT_EQ(link.GetLink(doc.get()), target);
  EXPECT_EQ(link.GetLink(other.get()), nullptr);
  EXPECT_EQ(link.GetLink(doc.get(), ID_OPERATOR_BASE), target);   // instance filter through the plug-in
  EXPECT_EQ(link.GetLink(doc.get(), Ospline), nullptr);

  // Moved into the other document, it resolves there only.
  target->Remove();
  EXPECT_EQ(link.GetLink(doc.get()), nullptr);
  EXPECT_EQ(link.GetLink(nullptr), target);   // a node in no document resolves with no document
  other->InsertObject(target, nullptr);
  EXPECT_EQ(link.GetLink(other.get()), target);

  // Stored in a container, the link follows the same rules.
  BaseContainer bc;
  bc.SetLink(1, target);
  EXPECT_EQ(bc.GetLink(1, other.get()), target);
  EXPECT_EQ(bc.GetLink(1, doc.get()), nullptr);

  // Freed, it resolves nowhere, even after another node is allocated.
  BaseObject::Free(target);
  ObjPtr fresh(Null("fresh"));
  EXPECT_EQ(link.GetLink(other.get()), nullptr);
  EXPECT_EQ(link.ForceGetLink(), nullptr);
  EXPECT_EQ(bc.GetLink(1, other.get()), nullptr);

  // A shader is in the document of the element that holds it.
  BaseMaterial* mat = BaseMaterial::Alloc();
  BaseShader* outer = BaseShader::Alloc(5832);
  BaseShader* inner = BaseShader::Alloc(ID_SHADERPLUGIN);
  mat->InsertShader(outer);
  inner->InsertUnder(outer);
  doc->InsertMaterial(mat);
  BaseLink toShader;
  toShader.SetLink(inner);
  EXPECT_EQ(toShader.GetLink(doc.get()), inner);
  EXPECT_EQ(inner->GetOwner(), mat);
  EXPECT_EQ(outer->GetOwner(), mat);
}

// ---------------------------------------------------------------------------------------------------
// Clones

TEST_F(SceneTest, CloneCopiesTheSubtreeWithNewIdentities)
{
  RegisterRecorder();
  ObjPtr op(BaseObject::Alloc(ID_RECORDER));
  op->SetName("terrain");
  op->GetNodeData<Recorder>()->member = 17;
  op->GetDataInstance()->SetString(1092, "status");
  BaseContainer sub;
  sub.SetInt32(1, 1);
  op->GetDataInstance()->SetContainer(2000, sub);
  op->SetMl(Matrix(Vector(1, 2, 3), Vector(0, 1, 0), Vector(-1, 0, 0), Vector(0, 0, 1)));
  op->SetEditorMode(MODE::OFF);
  BaseObject* child = Null("child");
  child->InsertUnder(op.get());
  PolygonObject* poly = PolygonObject::Alloc(2, 1);
  poly->GetPointW()[1] = Vector(4, 5, 6);
  poly->SetName("poly");
  poly->InsertUnderLast(op.get());
  op->MakeTag(Tphong);

  ObjPtr copy(op->GetClone());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->GetGUID(), op->GetGUID());
  EXPECT_EQ(copy->GetName(), "terrain");
  EXPECT_EQ(*copy->GetDataInstance(), *op->GetDataInstance());
  EXPECT_EQ(copy->GetMl(), op->GetMl());
  EXPECT_EQ(copy->GetEditorMode(), MODE::OFF);
  EXPECT_EQ(TreeText(copy->GetDown()), "child,poly");
  EXPECT_NE(copy->GetDown()->GetGUID(), child->GetGUID());
  ASSERT_NE(copy->GetTag(Tphong), nullptr);
  EXPECT_EQ(copy->GetTag(Tphong, 1), nullptr);
  // CopyTo ran with the source and the copy, and carried the member across.
  EXPECT_EQ(copy->GetNodeData<Recorder>()->member, 17);
  EXPECT_EQ(Recorder::copySource, op.get());
  EXPECT_EQ(Recorder::copyDest, copy.get());

  // The polygon object's arrays came along once (its own tags are not doubled).
  const PolygonObject* pcopy = static_cast<const PolygonObject*>(copy->GetDownLast());
  EXPECT_EQ(pcopy->GetPointCount(), 2);
  EXPECT_EQ(pcopy->GetPolygonCount(), 1);
  EXPECT_EQ(pcopy->GetPointR()[1], Vector(4, 5, 6));
  EXPECT_EQ(pcopy->GetTag(Tpoint, 1), nullptr);

  // The copy is independent.
  copy->GetDataInstance()->GetContainerInstance(2000)->SetInt32(1, 2);
  EXPECT_EQ(op->GetDataInstance()->GetContainerInstance(2000)->GetInt32(1), 1);

  ObjPtr flat(op->GetClone(COPYFLAGS::NO_HIERARCHY));
  EXPECT_EQ(flat->GetDown(), nullptr);
  EXPECT_NE(flat->GetTag(Tphong), nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Point objects

TEST_F(SceneTest, LargeRecordArraysGrowZeroedAfterAShrink)
{
  // Large enough to be cleared on all threads; regrowing within the old storage must not bring back
  // the records that were cut off.
  ObjPtr op(PolygonObject::Alloc(200000, 1));
  PolygonObject* poly = static_cast<PolygonObject*>(op.get());
  for (Int32 i = 0; i < 200000; ++i)
    ASSERT_EQ(poly->GetPointR()[i], Vector()) << i;
  for (Int32 i = 0; i < 200000; ++i)
    poly->GetPointW()[i] = Vector(1.0, 2.0, 3.0);
  ASSERT_TRUE(poly->ResizeObject(1000, 1));
  ASSERT_TRUE(poly->ResizeObject(200000, 1));
  EXPECT_EQ(poly->GetPointR()[999], Vector(1.0, 2.0, 3.0));
  for (Int32 i = 1000; i < 200000; ++i)
    ASSERT_EQ(poly->GetPointR()[i], Vector()) << i;
}

// Freed large record arrays go to the host's pool and come back to a tag of (about) their size; records
// asked for zeroed are zero whatever the storage held, unwritten ones keep it.
TEST_F(SceneTest, FreedRecordArraysAreRecycled)
{
  const Int minimum = host::GetRecordStorageRecycleMinimum();
  const Int32 points = static_cast<Int32>(minimum / 24 + 100);   // just above the minimum
  const Int32 polygons = 1000;                                    // far below it
  EXPECT_EQ(host::GetRecordStoragePoolBytes(), 0);

  BaseObject* first = PolygonObject::Alloc(points, polygons, RECORDINIT::UNWRITTEN);
  ASSERT_NE(first, nullptr);
  PolygonObject* poly = static_cast<PolygonObject*>(first);
  EXPECT_EQ(poly->GetPointCount(), points);
  EXPECT_EQ(poly->GetPolygonCount(), polygons);
  for (Int32 i = 0; i < points; ++i)
    poly->GetPointW()[i] = Vector(1.0, 2.0, 3.0);
  const Vector* storage = poly->GetPointR();
  BaseObject::Free(first);
  // Only the point array is large enough to be kept.
  const Int pooled = host::GetRecordStoragePoolBytes();
  EXPECT_GE(pooled, Int(points) * 24);
  EXPECT_LT(pooled, Int(points) * 24 + minimum);

  // Zeroed records are zero even in recycled storage.
  ObjPtr zeroed(PolygonObject::Alloc(points, polygons));
  PolygonObject* z = static_cast<PolygonObject*>(zeroed.get());
  EXPECT_EQ(z->GetPointR(), storage);
  EXPECT_EQ(host::GetRecordStoragePoolBytes(), 0);
  for (Int32 i = 0; i < points; ++i)
    ASSERT_EQ(z->GetPointR()[i], Vector()) << i;
  for (Int32 i = 0; i < polygons; ++i)
    ASSERT_EQ(z->GetPolygonR()[i], CPolygon()) << i;
  for (Int32 i = 0; i < points; ++i)
    z->GetPointW()[i] = Vector(4.0, 5.0, 6.0);
  zeroed.reset();

  // Unwritten records keep what the storage held; a slightly smaller request still takes it, a much
  // smaller or a larger one does not.
  ObjPtr larger(PolygonObject::Alloc(points + points / 4, 1, RECORDINIT::UNWRITTEN));
  EXPECT_NE(static_cast<PolygonObject*>(larger.get())->GetPointR(), storage);
  ObjPtr smaller(PolygonObject::Alloc(points / 2, 1, RECORDINIT::UNWRITTEN));
  EXPECT_NE(static_cast<PolygonObject*>(smaller.get())->GetPointR(), storage);
  ObjPtr unwritten(PolygonObject::Alloc(points - 10, 1, RECORDINIT::UNWRITTEN));
  const PolygonObject* u = static_cast<const PolygonObject*>(unwritten.get());
  EXPECT_EQ(u->GetPointR(), storage);
  EXPECT_EQ(u->GetPointCount(), points - 10);
  EXPECT_EQ(u->GetPointR()[points - 11], Vector(4.0, 5.0, 6.0));
  unwritten.reset();
  larger.reset();
  smaller.reset();

  // The pool keeps a bounded number of arrays, the ones freed last.
  std::vector<ObjPtr> many;
  for (int k = 0; k < 20; ++k)
    many.emplace_back(PolygonObject::Alloc(points, 1, RECORDINIT::UNWRITTEN));
  many.clear();
  EXPECT_LE(host::GetRecordStoragePoolBytes(), 16 * (Int(points) * 24 + minimum));
  EXPECT_GE(host::GetRecordStoragePoolBytes(), 16 * Int(points) * 24);
  host::FlushRecordStoragePool();
  EXPECT_EQ(host::GetRecordStoragePoolBytes(), 0);
}

// The build driver frees a replaced cache; its large arrays serve the next build of the same shape.
TEST_F(SceneTest, AReplacedCacheFeedsTheNextBuild)
{
  RegisterRecorder();
  DocPtr doc(BaseDocument::Alloc());
  BaseObject* op = BaseObject::Alloc(ID_RECORDER);
  doc->InsertObject(op, nullptr);
  HierarchyContext hh(doc.get(), 1.0, nullptr, BUILDFLAGS::NONE);
  Recorder::cachePoints = static_cast<Int32>(host::GetRecordStorageRecycleMinimum() / 24 + 1);
  const PolygonObject* first = static_cast<const PolygonObject*>(host::BuildObjectCache(op, &hh));
  ASSERT_NE(first, nullptr);
  const Vector* firstPoints = first->GetPointR();
  op->SetParameter(DescID(1003), GeData(5.0));
  ASSERT_NE(host::BuildObjectCache(op, &hh), nullptr);   // made while the first is still the cache
  EXPECT_GT(host::GetRecordStoragePoolBytes(), 0);
  op->SetParameter(DescID(1003), GeData(6.0));
  const PolygonObject* third = static_cast<const PolygonObject*>(host::BuildObjectCache(op, &hh));
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->GetPointR(), firstPoints);
}

TEST_F(SceneTest, PointArraysLiveInVariableTags)
{
  ObjPtr op(PolygonObject::Alloc(4, 2));
  PolygonObject* poly = static_cast<PolygonObject*>(op.get());
  poly->GetPolygonW()[1] = CPolygon(0, 1, 2);
  EXPECT_TRUE(poly->GetPolygonR()[1].IsTriangle());
  Int32 seen = 0;
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext())
  {
    ASSERT_TRUE(t->IsInstanceOf(Tvariable));
    const VariableTag* vt = static_cast<const VariableTag*>(t);
    if (t->GetType() == Tpoint)
    {
      EXPECT_EQ(vt->GetDataCount(), 4);
      EXPECT_EQ(vt->GetDataSize(), 24);
    }
    if (t->GetType() == Tpolygon)
    {
      EXPECT_EQ(vt->GetDataCount(), 2);
      EXPECT_EQ(vt->GetDataSize(), 16);
    }
    ++seen;
  }
  EXPECT_EQ(seen, 2);
  EXPECT_TRUE(poly->ResizeObject(5, 3));
  EXPECT_EQ(poly->GetPolygonR()[1], CPolygon(0, 1, 2));   // kept
  EXPECT_EQ(poly->GetPolygonR()[2], CPolygon());          // new ones are zero
  EXPECT_FALSE(poly->ResizeObject(-1, 0));

  ObjPtr spline(SplineObject::Alloc(3, SPLINETYPE::LINEAR));
  SplineObject* s = static_cast<SplineObject*>(spline.get());
  EXPECT_EQ(s->GetSegmentCount(), 0);
  EXPECT_FALSE(s->IsClosed());
  ASSERT_TRUE(s->ResizeObject(5, 2));
  s->GetSegmentW()[1] = Segment{3, true};
  EXPECT_EQ(s->GetSegmentR()[1].cnt, 3);
  EXPECT_TRUE(s->GetSegmentR()[1].closed);
  EXPECT_EQ(s->GetRealSpline(), s);
  EXPECT_EQ(op->GetRealSpline(), nullptr);
  EXPECT_TRUE(s->IsInstanceOf(Ospline));
}

// ---------------------------------------------------------------------------------------------------
// The build driver and the cache

TEST_F(SceneTest, TheBuildDriverKeepsTheCacheAndItsOwnWritesDoNotMakeItDirty)
{
  RegisterRecorder();
  DocPtr doc(BaseDocument::Alloc());
  BaseObject* op = BaseObject::Alloc(ID_RECORDER);
  BaseObject* child = Null("child");
  doc->InsertObject(op, nullptr);
  child->InsertUnder(op);
  HierarchyContext hh(doc.get(), 1.0, nullptr, BUILDFLAGS::NONE);

  EXPECT_TRUE(op->CheckCache(&hh));   // no cache yet
  BaseObject* first = host::BuildObjectCache(op, &hh);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(op->GetCache(), first);
  EXPECT_EQ(first->GetDocument(), nullptr);
  // The build wrote a status text into its own object; that does not count as a change.
  EXPECT_FALSE(op->CheckCache(&hh));
  EXPECT_FALSE(op->IsDirty(DIRTYFLAGS::DATA));

  // A parameter change on the object, or anything below it, does.
  op->SetParameter(DescID(1003), GeData(5.0));
  EXPECT_TRUE(op->IsDirty(DIRTYFLAGS::DATA));
  EXPECT_TRUE(op->CheckCache(&hh));
  host::BuildObjectCache(op, &hh);
  EXPECT_FALSE(op->CheckCache(&hh));
  child->SetMl(Matrix(Vector(0, 1, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  EXPECT_TRUE(op->CheckCache(&hh));
  EXPECT_FALSE(op->IsDirty(DIRTYFLAGS::DATA));
  host::BuildObjectCache(op, &hh);
  child->SetEnabled(false);
  EXPECT_TRUE(op->CheckCache(&hh));
  host::BuildObjectCache(op, &hh);
  BaseObject* added = Null("added");
  added->InsertUnderLast(op);
  EXPECT_TRUE(op->CheckCache(&hh));

  // The same object back is kept; a new one replaces (and frees) the old one.
  Recorder::keepCache = true;
  const Int live = host::GetLiveNodeCount();
  BaseObject* kept = host::BuildObjectCache(op, &hh);
  EXPECT_EQ(kept, op->GetCache());
  EXPECT_EQ(host::GetLiveNodeCount(), live);
  Recorder::keepCache = false;
  const Int cacheCount = op->GetDirty(DIRTYFLAGS::CACHE);
  host::BuildObjectCache(op, &hh);
  EXPECT_EQ(host::GetLiveNodeCount(), live);   // old mesh (3 nodes) freed, new one (3 nodes) made
  EXPECT_EQ(op->GetDirty(DIRTYFLAGS::CACHE), cacheCount + 1);

  // The document driver builds every generator.
  const Int32 before = Recorder::builds;
  host::BuildDocumentCaches(doc.get(), &hh);
  EXPECT_EQ(Recorder::builds, before + 1);
}

TEST_F(SceneTest, TagsByTypeAndNumber)
{
  ObjPtr op(Null("o"));
  BaseTag* p1 = op->MakeTag(Tphong);
  BaseTag* p2 = op->MakeTag(Tphong, p1);
  EXPECT_EQ(op->GetTag(Tphong), p1);
  EXPECT_EQ(op->GetTag(Tphong, 1), p2);
  EXPECT_EQ(op->GetTag(Tphong, 2), nullptr);
  op->KillTag(Tphong);
  EXPECT_EQ(op->GetFirstTag(), p2);
  EXPECT_EQ(op->MakeTag(123456), nullptr);
}
