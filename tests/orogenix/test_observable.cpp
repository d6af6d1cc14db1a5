#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "host/core/alloc.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "orogenix/observable.h"
#include "orogenix/ogx_ids.h"

namespace
{
constexpr Int32 DATA = static_cast<Int32>(DIRTYFLAGS::DATA);
constexpr Int32 Xlayer = 1011123;            // a plain shader that holds other shaders (a layer)
constexpr Int32 Xcolor = 5832;               // a plain shader of another type
constexpr Int32 ID_TEST_OBSERVEROBJECT = 1099001;   // an object plug-in that reacts to the update message

Int DataDirty(const BaseList2D* node)
{
  return node->GetDirty(DIRTYFLAGS::DATA);
}

Int CountMessages(const BaseList2D* node, Int32 id)
{
  const std::vector<Int32> log = host::GetMessageLog(node);
  return std::count(log.begin(), log.end(), id);
}

// What the stand-in observer object does when it is told to update (set per test).
std::function<void(BaseList2D*)> g_onUpdate;

class ReactingObjectData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<ReactingObjectData>(); }
  Bool Message(GeListNode* node, Int32 type, void* data) override
  {
    if (type == MSG_UPDATE && g_onUpdate)
      g_onUpdate(static_cast<BaseList2D*>(node));
    return ObjectData::Message(node, type, data);
  }
};

class ObservableTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_OBSERVEROBJECT, "Reacting observer", 0, ReactingObjectData::Alloc,
                                     String(), nullptr, 0));
    docA = BaseDocument::Alloc();
    docB = BaseDocument::Alloc();
    ASSERT_TRUE(docA && docB);
  }
  void TearDown() override
  {
    g_onUpdate = nullptr;
    BaseDocument::Free(docA);
    BaseDocument::Free(docB);
    host::ResetSceneState();
  }

  // A material in doc holding one shader of the given type in its shader list.
  BaseMaterial* MaterialWithShader(BaseDocument* doc, Int32 shaderType, BaseShader** shaderOut = nullptr)
  {
    BaseMaterial* mat = BaseMaterial::Alloc();
    EXPECT_TRUE(doc->InsertMaterial(mat));
    BaseShader* sh = BaseShader::Alloc(shaderType);
    EXPECT_TRUE(mat->InsertShader(sh));
    if (shaderOut)
      *shaderOut = sh;
    return mat;
  }

  BaseDocument* docA = nullptr;
  BaseDocument* docB = nullptr;
};
} // namespace

TEST_F(ObservableTest, AddKeepsOneEntryPerObserverAndDocument)
{
  Observable list;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.Find(mat, docA), 0);

  list.Remove(mat, docA);
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.Find(mat, docA), -1);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  EXPECT_EQ(list.Find(mat, docA), 0);
}

TEST_F(ObservableTest, AnEntryResolvesOnlyInTheDocumentItsElementIsIn)
{
  Observable list;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  EXPECT_EQ(list.Find(mat, docB), -1);
  list.Remove(mat, docB);   // not there: no change, no error
  EXPECT_EQ(list.GetCount(), 1);

  // The element moves to docB: the same link now resolves there and no longer in docA.
  mat->Remove();
  ASSERT_TRUE(docB->InsertMaterial(mat));
  EXPECT_EQ(list.Find(mat, docA), -1);
  EXPECT_EQ(list.Find(mat, docB), 0);
  ASSERT_TRUE(list.Add(mat, docB).IsOk());
  EXPECT_EQ(list.GetCount(), 1);
}

TEST_F(ObservableTest, AddAppendsASecondEntryWhenTheEarlierLinkResolvesInAnotherDocument)
{
  // The material is listed for docA; its copy in docB (a render or duplicated document) is listed for
  // docB as an entry of its own. The docA entry does not resolve in docB but its element is alive, so
  // the pruning on Add keeps it.
  Observable list;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  BaseMaterial* copy = mat->GetClone();
  ASSERT_TRUE(copy && docB->InsertMaterial(copy));
  ASSERT_TRUE(list.Add(copy, docB).IsOk());
  ASSERT_TRUE(list.Add(copy, docB).IsOk());
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Find(mat, docA), 0);
  EXPECT_EQ(list.Find(copy, docB), 1);
  EXPECT_EQ(list.Find(mat, docB), -1);
  EXPECT_EQ(list.Find(copy, docA), -1);
}

TEST_F(ObservableTest, RemovingTheMiddleOfThreeKeepsTheOrder)
{
  Observable list;
  BaseMaterial* m[3];
  for (BaseMaterial*& mat : m)
  {
    mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
    ASSERT_TRUE(list.Add(mat, docA).IsOk());
  }
  list.Remove(m[1], docA);
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Find(m[0], docA), 0);
  EXPECT_EQ(list.Find(m[1], docA), -1);
  EXPECT_EQ(list.Find(m[2], docA), 1);

  // Removing what is absent, or with a null argument, changes nothing.
  list.Remove(m[1], docA);
  list.Remove(nullptr, docA);
  list.Remove(m[0], nullptr);
  EXPECT_EQ(list.GetCount(), 2);
}

TEST_F(ObservableTest, AddReportsNullArgumentsObserverFirst)
{
  struct Case
  {
    const char* name;
    Bool withObserver;
    Bool withDoc;
    const char* message;
  };
  const Case cases[] = {
    {"both null", false, false, "Observer must not be nullptr!"},
    {"null observer", false, true, "Observer must not be nullptr!"},
    {"null doc", true, false, "doc must not be nullptr!"},
  };
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  Observable list;
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Result<void> r = list.Add(c.withObserver ? mat : nullptr, c.withDoc ? docA : nullptr);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::NULLPTR);
    EXPECT_EQ(r.GetError().GetMessage(), c.message);
    EXPECT_EQ(list.GetCount(), 0);
  }
}

TEST_F(ObservableTest, AddOutOfMemoryKeepsThePreviousEntries)
{
  Observable list;
  BaseMaterial* first = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  BaseMaterial* second = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(first, docA).IsOk());
  // 1: the link cannot be allocated; 2: the list cannot grow (the link must then be freed).
  for (Int n : {1, 2})
  {
    SCOPED_TRACE(n);
    Result<void> r = OK;
    {
      host::ScopedAllocationFailure fail(n);
      r = list.Add(second, docA);
    }
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
    EXPECT_EQ(r.GetError().GetMessage(), "Failed to add observer to the list!");
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.Find(first, docA), 0);
  }
  ASSERT_TRUE(list.Add(second, docA).IsOk());
  EXPECT_EQ(list.Find(second, docA), 1);
}

TEST_F(ObservableTest, DeadEntriesAreDroppedOnTheNextAdd)
{
  Observable list;
  BaseMaterial* gone = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  BaseMaterial* kept = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  BaseMaterial* elsewhere = MaterialWithShader(docB, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(gone, docA).IsOk());
  ASSERT_TRUE(list.Add(elsewhere, docB).IsOk());
  ASSERT_TRUE(list.Add(kept, docA).IsOk());
  BaseMaterial::Free(gone);
  // Until the next Add the dead entry stays, resolving to nothing.
  EXPECT_EQ(list.GetCount(), 3);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);

  BaseMaterial* added = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(added, docA).IsOk());
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.Find(elsewhere, docB), 0);   // alive in another document: kept
  EXPECT_EQ(list.Find(kept, docA), 1);
  EXPECT_EQ(list.Find(added, docA), 2);
}

TEST_F(ObservableTest, ClonedObserversDoNotMakeTheListGrow)
{
  // Each round copies a material (its shader enters the copy), then deletes the copy again, as
  // duplicating and undoing would.
  Observable list;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  for (int round = 0; round < 50; ++round)
  {
    BaseMaterial* copy = mat->GetClone();
    ASSERT_TRUE(copy);
    ASSERT_TRUE(docA->InsertMaterial(copy));
    ASSERT_TRUE(list.Add(copy, docA).IsOk());
    BaseMaterial::Free(copy);
  }
  // The original and the last copy, whose entry is dropped on the next Add.
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Find(mat, docA), 0);
}

TEST_F(ObservableTest, NotifyOnAnEmptyListDoesNothing)
{
  Observable list;
  BaseShader* sh = nullptr;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER, &sh);
  const Int before = DataDirty(sh);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
  EXPECT_EQ(DataDirty(sh), before);
  EXPECT_EQ(CountMessages(mat, MSG_UPDATE), 0);
  EXPECT_TRUE(host::GetMaterialUpdates(mat).empty());
}

TEST_F(ObservableTest, NotifyMarksChannelShadersAndUpdatesOnlyTheirObservers)
{
  Observable list;
  BaseShader* channel = nullptr;
  BaseShader* plain = nullptr;
  BaseMaterial* withChannel = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER, &channel);
  BaseMaterial* withoutChannel = MaterialWithShader(docA, Xcolor, &plain);
  // An object observer (the shader sits in one of its parameters): updated, but it is no material.
  BaseObject* obj = BaseObject::Alloc(Onull);
  ASSERT_TRUE(docA->InsertObject(obj, nullptr));
  BaseShader* objChannel = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(obj->InsertShader(objChannel));
  // Listed, but in the other document: not reached when docA is notified.
  BaseShader* otherChannel = nullptr;
  BaseMaterial* inB = MaterialWithShader(docB, ID_OGX_TERRAINOPERATORSHADER, &otherChannel);

  for (BaseList2D* o : {static_cast<BaseList2D*>(withChannel), static_cast<BaseList2D*>(withoutChannel),
                        static_cast<BaseList2D*>(obj)})
    ASSERT_TRUE(list.Add(o, docA).IsOk());
  ASSERT_TRUE(list.Add(inB, docB).IsOk());

  const Int channelBefore = DataDirty(channel);
  const Int plainBefore = DataDirty(plain);
  const Int objChannelBefore = DataDirty(objChannel);
  const Int otherBefore = DataDirty(otherChannel);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);

  EXPECT_EQ(DataDirty(channel), channelBefore + 1);
  EXPECT_EQ(CountMessages(withChannel, MSG_UPDATE), 1);
  EXPECT_EQ(host::GetMaterialUpdates(withChannel), (std::vector<std::pair<Bool, Bool>>{{true, false}}));

  EXPECT_EQ(DataDirty(plain), plainBefore);
  EXPECT_EQ(CountMessages(withoutChannel, MSG_UPDATE), 0);
  EXPECT_TRUE(host::GetMaterialUpdates(withoutChannel).empty());

  EXPECT_EQ(DataDirty(objChannel), objChannelBefore + 1);
  EXPECT_EQ(CountMessages(obj, MSG_UPDATE), 1);

  EXPECT_EQ(DataDirty(otherChannel), otherBefore);
  EXPECT_EQ(CountMessages(inB, MSG_UPDATE), 0);
}

TEST_F(ObservableTest, NotifyWithoutUpdateOnlyMarksTheShaders)
{
  Observable list;
  BaseShader* channel = nullptr;
  BaseMaterial* mat = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER, &channel);
  ASSERT_TRUE(list.Add(mat, docA).IsOk());
  const Int before = DataDirty(channel);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, false);
  EXPECT_EQ(DataDirty(channel), before + 1);
  EXPECT_EQ(CountMessages(mat, MSG_UPDATE), 0);
  EXPECT_TRUE(host::GetMaterialUpdates(mat).empty());
}

TEST_F(ObservableTest, NestedChannelShadersAreFoundAndMarked)
{
  // material
  //   layer (shader list)
  //     child: colour  -> child: channel A        (in a layer's children, two levels down)
  //     shader branch: channel B                  (in the layer's own shader list)
  //   colour (sibling of the layer)
  //     shader branch: colour -> child: channel C
  Observable list;
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(docA->InsertMaterial(mat));
  BaseShader* layer = BaseShader::Alloc(Xlayer);
  BaseShader* sibling = BaseShader::Alloc(Xcolor);
  ASSERT_TRUE(mat->InsertShader(layer));
  ASSERT_TRUE(mat->InsertShader(sibling, layer));
  BaseShader* inner = BaseShader::Alloc(Xcolor);
  ASSERT_TRUE(inner->InsertUnder(layer));
  BaseShader* a = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(a->InsertUnder(inner));
  BaseShader* b = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(layer->InsertShader(b));
  BaseShader* holder = BaseShader::Alloc(Xcolor);
  ASSERT_TRUE(sibling->InsertShader(holder));
  BaseShader* c = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(c->InsertUnder(holder));
  ASSERT_TRUE(list.Add(mat, docA).IsOk());

  const Int before[] = {DataDirty(a), DataDirty(b), DataDirty(c), DataDirty(layer)};
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
  EXPECT_EQ(DataDirty(a), before[0] + 1);
  EXPECT_EQ(DataDirty(b), before[1] + 1);
  EXPECT_EQ(DataDirty(c), before[2] + 1);
  EXPECT_EQ(DataDirty(layer), before[3]);
  EXPECT_EQ(CountMessages(mat, MSG_UPDATE), 1);   // one update per observer, however many shaders
}

TEST(VisitShaderTree, VisitsDepthFirstShaderBranchBeforeChildBranchAndOrsTheResults)
{
  // root(T) with shader s1(T) and child c1(X) with child c2(T); root's sibling r2(T).
  constexpr Int32 T = 42;
  BaseShader* root = BaseShader::Alloc(T);
  BaseShader* r2 = BaseShader::Alloc(T);
  BaseShader* s1 = BaseShader::Alloc(T);
  BaseShader* c1 = BaseShader::Alloc(Xcolor);
  BaseShader* c2 = BaseShader::Alloc(T);
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(mat->InsertShader(root));
  ASSERT_TRUE(mat->InsertShader(r2, root));
  ASSERT_TRUE(root->InsertShader(s1));
  ASSERT_TRUE(c1->InsertUnder(root));
  ASSERT_TRUE(c2->InsertUnder(c1));

  std::vector<BaseList2D*> order;
  std::vector<Int32> values;
  const Bool any = VisitShaderTree(root, nullptr, T, 7, [&](BaseList2D* node, Int32 value) {
    order.push_back(node);
    values.push_back(value);
    return node == c2;   // only one visit answers true
  });
  EXPECT_TRUE(any);
  EXPECT_EQ(order, (std::vector<BaseList2D*>{root, s1, c2, r2}));
  EXPECT_EQ(values, (std::vector<Int32>{7, 7, 7, 7}));

  EXPECT_FALSE(VisitShaderTree(root, nullptr, T, 7, [](BaseList2D*, Int32) { return false; }));
  EXPECT_FALSE(VisitShaderTree(nullptr, nullptr, T, 7, [](BaseList2D*, Int32) { return true; }));
  EXPECT_FALSE(SendShaderValue(nullptr, DATA));
  BaseMaterial::Free(mat);
}

TEST_F(ObservableTest, SendMessageAndSendValueReachResolvedObserversOnly)
{
  Observable list;
  BaseMaterial* a = MaterialWithShader(docA, Xcolor);
  BaseMaterial* b = MaterialWithShader(docB, Xcolor);
  ASSERT_TRUE(list.Add(a, docA).IsOk());
  ASSERT_TRUE(list.Add(b, docB).IsOk());
  constexpr Int32 MSG_TEST = 777001;
  list.SendMessage(MSG_TEST, docA, nullptr);
  EXPECT_EQ(CountMessages(a, MSG_TEST), 1);
  EXPECT_EQ(CountMessages(b, MSG_TEST), 0);

  const Int aBefore = DataDirty(a);
  const Int bBefore = DataDirty(b);
  list.SendValue(DATA, docB);
  EXPECT_EQ(DataDirty(a), aBefore);
  EXPECT_EQ(DataDirty(b), bBefore + 1);
}

TEST_F(ObservableTest, NotifySurvivesObserversThatEditTheListWhileBeingUpdated)
{
  // [reacting, second, third]: the reacting observer's update removes itself and the second entry and
  // adds a fourth one. The second is skipped, the third is still updated, and the fourth, added during
  // the walk, is updated in it too.
  Observable list;
  BaseObject* reacting = BaseObject::Alloc(ID_TEST_OBSERVEROBJECT);
  ASSERT_TRUE(reacting);
  ASSERT_TRUE(docA->InsertObject(reacting, nullptr));
  ASSERT_TRUE(reacting->InsertShader(BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER)));
  BaseMaterial* second = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  BaseMaterial* third = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  BaseMaterial* fourth = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(reacting, docA).IsOk());
  ASSERT_TRUE(list.Add(second, docA).IsOk());
  ASSERT_TRUE(list.Add(third, docA).IsOk());

  g_onUpdate = [&](BaseList2D* self) {
    list.Remove(self, docA);
    list.Remove(second, docA);
    EXPECT_TRUE(list.Add(fourth, docA).IsOk());
  };
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
  EXPECT_EQ(CountMessages(reacting, MSG_UPDATE), 1);
  EXPECT_EQ(CountMessages(second, MSG_UPDATE), 0);
  EXPECT_EQ(CountMessages(third, MSG_UPDATE), 1);
  EXPECT_EQ(CountMessages(fourth, MSG_UPDATE), 1);
  EXPECT_EQ(host::GetMaterialUpdates(fourth).size(), 1u);
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Find(third, docA), 0);
  EXPECT_EQ(list.Find(fourth, docA), 1);

  // An observer that takes itself out and puts itself back (now last) is updated once per
  // notification, and the walk ends.
  g_onUpdate = [&](BaseList2D* self) {
    list.Remove(self, docA);
    EXPECT_TRUE(list.Add(self, docA).IsOk());
  };
  ASSERT_TRUE(list.Add(reacting, docA).IsOk());
  host::ClearNodeLogs(reacting);
  host::ClearNodeLogs(third);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
  EXPECT_EQ(CountMessages(reacting, MSG_UPDATE), 1);
  EXPECT_EQ(CountMessages(third, MSG_UPDATE), 1);
  EXPECT_EQ(list.GetCount(), 3);

  // Two observers that keep re-adding each other: each is still updated once.
  BaseObject* other = BaseObject::Alloc(ID_TEST_OBSERVEROBJECT);
  ASSERT_TRUE(other);
  ASSERT_TRUE(docA->InsertObject(other, nullptr));
  ASSERT_TRUE(other->InsertShader(BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER)));
  ASSERT_TRUE(list.Add(other, docA).IsOk());
  g_onUpdate = [&](BaseList2D* self) {
    BaseList2D* partner = self == reacting ? static_cast<BaseList2D*>(other) : static_cast<BaseList2D*>(reacting);
    list.Remove(partner, docA);
    EXPECT_TRUE(list.Add(partner, docA).IsOk());
  };
  host::ClearNodeLogs(reacting);
  host::ClearNodeLogs(other);
  list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
  EXPECT_EQ(CountMessages(reacting, MSG_UPDATE), 1);
  EXPECT_EQ(CountMessages(other, MSG_UPDATE), 1);
}

TEST_F(ObservableTest, SendMessageVisitsObserversAddedDuringTheWalkOnce)
{
  Observable list;
  BaseObject* reacting = BaseObject::Alloc(ID_TEST_OBSERVEROBJECT);
  ASSERT_TRUE(reacting);
  ASSERT_TRUE(docA->InsertObject(reacting, nullptr));
  BaseMaterial* late = MaterialWithShader(docA, Xcolor);
  ASSERT_TRUE(list.Add(reacting, docA).IsOk());
  g_onUpdate = [&](BaseList2D*) { EXPECT_TRUE(list.Add(late, docA).IsOk()); };
  list.SendMessage(MSG_UPDATE, docA, nullptr);
  EXPECT_EQ(CountMessages(reacting, MSG_UPDATE), 1);
  EXPECT_EQ(CountMessages(late, MSG_UPDATE), 1);
}

// Run under the thread sanitizer (OGX_SANITIZE=thread) to check the lock; in other builds it checks
// that concurrent use leaves the list consistent.
TEST_F(ObservableTest, AddAndRemoveRunConcurrentlyWithNotify)
{
  Observable list;
  constexpr int kObservers = 8;
  BaseMaterial* fixed = MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(list.Add(fixed, docA).IsOk());
  std::vector<BaseMaterial*> churn;
  for (int i = 0; i < kObservers; ++i)
    churn.push_back(MaterialWithShader(docA, ID_OGX_TERRAINOPERATORSHADER));

  std::atomic<Bool> stop{false};
  std::atomic<Int> notifications{0};
  std::thread notifier([&] {
    while (!stop.load())
    {
      list.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, docA, true);
      notifications.fetch_add(1);
    }
  });
  std::atomic<Int> failures{0};
  for (int round = 0; round < 300; ++round)
  {
    for (BaseMaterial* m : churn)
      if (list.Add(m, docA).IsError())
        failures.fetch_add(1);
    for (BaseMaterial* m : churn)
      list.Remove(m, docA);
  }
  // Let the notifier finish at least one walk before stopping it.
  while (notifications.load() == 0)
    std::this_thread::yield();
  stop.store(true);
  notifier.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.Find(fixed, docA), 0);
  EXPECT_EQ(static_cast<Int>(host::GetMaterialUpdates(fixed).size()), notifications.load());
}
