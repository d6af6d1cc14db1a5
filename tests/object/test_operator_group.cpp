// The group operator inside a real terrain object: children evaluated into the group's zeroed output,
// the dirty test through nested groups, the parent matrices of moved and nested groups, the buttons of
// a group's description, and a child queue that cannot be classified.
#include <gtest/gtest.h>

#include <vector>

#include "support/module_scene.h"

using namespace ogx_test;

namespace
{
// A generator that remembers the parent matrices its last computation was given and fills its output
// with 1.
inline constexpr Int32 ID_TEST_PROBE = 1099120;

class ProbeGenerator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<ProbeGenerator>(); }
  Int computeCount = 0;
  Matrix seenParent;
  Matrix seenParentInverse;

  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override
  {
    return TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY;
  }
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject*, BaseDocument*,
                               EvaluationContext& context) override
  {
    ++computeCount;
    seenParent = context.parentMatrix;
    seenParentInverse = context.parentMatrixInverse;
    HOST_TRY(_output.InitLike(terrain));
    for (Int i = 0; i < _output.cellCount; ++i)
      _output.cells[i] = 1.0;
    return OK;
  }
};

Bool Near(const Vector& a, const Vector& b)
{
  return std::abs(a.x - b.x) < 1e-9 && std::abs(a.y - b.y) < 1e-9 && std::abs(a.z - b.z) < 1e-9;
}

class GroupOperatorTest : public ModuleSceneTest
{
protected:
  void SetUp() override
  {
    ModuleSceneTest::SetUp();
    ASSERT_TRUE(RegisterTerrainOperator(ID_TEST_PROBE, "Probe", TERRAINOPERATORFLAGS::TYPE_GENERATOR,
                                        ProbeGenerator::Alloc, "Obaseterrainoperator", nullptr, 0, 22));
  }

  BaseObject* AddGroup(const char* name, BaseObject* parent = nullptr)
  {
    return AddOperator(ID_OGX_GROUPOPERATOR, name, parent);
  }
  static GroupOperator* Group(BaseObject* op) { return op->GetNodeData<GroupOperator>(); }
  EvaluationContext Context()
  {
    EvaluationContext context;
    InitEvaluationContext(context, 4, 4, 40.0, 20.0, 1.0, terrain, nullptr);
    return context;
  }
  // Every cell of the terrain holds value.
  void ExpectTerrain(Float value)
  {
    const Grid2D<Float>& grid = Terrain()->GetTerrain();
    ASSERT_EQ(grid.cellCount, 25);
    for (Int i = 0; i < grid.cellCount; ++i)
      ASSERT_DOUBLE_EQ(grid.cells[i], value) << "cell " << i;
  }
  // The group's dirty test as the terrain's queue runs it: a dirty group is marked for a rebuild. (The test
  // classifies the child queue against the previous one and keeps the new one, so a dirty answer that no
  // rebuild follows would be lost for a removed child.)
  Bool TestDirty(BaseObject* group)
  {
    EvaluationContext context = Context();
    const Bool dirty = Group(group)->IsOperatorDirty(group, doc, context);
    if (dirty)
      Group(group)->SetRebuildFlag(true);
    return dirty;
  }
  static std::vector<EvaluationQueue::STATUS> Statuses(BaseObject* group)
  {
    std::vector<EvaluationQueue::STATUS> out;
    for (const EvaluationQueueItem& item : Group(group)->GetQueue().GetItems())
      out.push_back(item.status);
    return out;
  }
};

TEST_F(GroupOperatorTest, ChildrenBlendIntoZerosNotIntoTheTerrain)
{
  // Below the group the terrain is 10; inside it A sets 2, the filter adds 1 to what A left, and B adds 3.
  // Blended into the terrain the group would see 10 under its children; into zeros it makes 6.
  AddOperator(ID_TEST_GENERATOR, "Below", nullptr, BLENDMODE::NORMAL, 10.0);
  BaseObject* group = AddGroup("Group");
  AddOperator(ID_TEST_GENERATOR, "A", group, BLENDMODE::NORMAL, 2.0);
  AddOperator(ID_TEST_FILTER, "F", group, BLENDMODE::NORMAL, 1.0);
  AddOperator(ID_TEST_GENERATOR, "B", group, BLENDMODE::ADD, 3.0);

  ASSERT_NE(Build(), nullptr);
  const Grid2D<Float>& output = Group(group)->GetOutputGrid();
  EXPECT_EQ(output.width, 5);
  EXPECT_EQ(output.height, 5);
  for (Int i = 0; i < output.cellCount; ++i)
    EXPECT_DOUBLE_EQ(output.cells[i], 6.0);
  ExpectTerrain(6.0);
  // The group's memory counts its children's.
  EXPECT_EQ(Group(group)->GetMemoryUsage(),
            576 + 8 * 25 + Group(group)->GetQueue().GetMemoryUsage());
  EXPECT_GT(Group(group)->GetQueue().GetMemoryUsage(), 3 * (576 + 8 * 25) - 1);
}

TEST_F(GroupOperatorTest, NewGroupPassesItsChildrenThroughUnscaled)
{
  BaseObject* fresh = BaseObject::Alloc(ID_OGX_GROUPOPERATOR);
  ASSERT_NE(fresh, nullptr);
  const BaseContainer& data = fresh->GetDataInstanceRef();
  EXPECT_EQ(data.GetFloat(TERRAINOPERATOR_HEIGHT), 1.0);
  EXPECT_EQ(data.GetFloat(TERRAINOPERATOR_FACTOR), 1.0);
  // A generator: the blend mode of new generators (ADD when the preferences never set one).
  EXPECT_EQ(data.GetInt32(TERRAINOPERATOR_BLENDMODE), static_cast<Int32>(BLENDMODE::ADD));
  EXPECT_EQ(Group(fresh)->GetOperatorFlags(fresh), static_cast<TERRAINOPERATORFLAGS>(30));
  BaseObject::Free(fresh);
}

TEST_F(GroupOperatorTest, EmptyGroupIsZeroAndDirtyOnlyWhenItJustBecameEmpty)
{
  BaseObject* group = AddGroup("Group");
  ASSERT_NE(Build(), nullptr);
  const Grid2D<Float>& output = Group(group)->GetOutputGrid();
  ASSERT_EQ(output.cellCount, 25);
  for (Int i = 0; i < output.cellCount; ++i)
    EXPECT_EQ(output.cells[i], 0.0);
  EXPECT_FALSE(TestDirty(group)) << "empty before, empty now";

  BaseObject* child = AddOperator(ID_TEST_GENERATOR, "A", group, BLENDMODE::NORMAL, 4.0);
  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(4.0);
  BaseObject::Free(child);
  EXPECT_TRUE(TestDirty(group)) << "it just became empty";
  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(0.0);
  EXPECT_FALSE(TestDirty(group));
}

TEST_F(GroupOperatorTest, ChildChangedInNestedGroupPropagatesUp)
{
  BaseObject* outer = AddGroup("Outer");
  BaseObject* inner = AddGroup("Inner", outer);
  BaseObject* a = AddOperator(ID_TEST_GENERATOR, "A", inner, BLENDMODE::NORMAL, 2.0);
  BaseObject* b = AddOperator(ID_TEST_GENERATOR, "B", outer, BLENDMODE::ADD, 3.0);
  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(5.0);
  ASSERT_EQ(Control(a).computeCount, 1);
  ASSERT_EQ(Control(b).computeCount, 1);

  // Nothing changed: the whole stack is clean and the rebuild keeps every output.
  EvaluationContext context = Context();
  EXPECT_EQ(Group(outer)->GetDirtyState(outer, doc, context), OPERATORDIRTY::CLEAN);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(Control(a).computeCount, 1);

  a->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 7.0);
  context = Context();
  // The outer group's test runs the inner group's, which finds A.
  EXPECT_EQ(Group(outer)->GetDirtyState(outer, doc, context), OPERATORDIRTY::REBUILD);
  EXPECT_EQ(Statuses(inner), std::vector<EvaluationQueue::STATUS>{EvaluationQueue::STATUS::EVALUATE});
  EXPECT_EQ(Statuses(outer),
            (std::vector<EvaluationQueue::STATUS>{EvaluationQueue::STATUS::EVALUATE, EvaluationQueue::STATUS::OK}));

  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(10.0);
  EXPECT_EQ(Control(a).computeCount, 2);
  EXPECT_EQ(Control(b).computeCount, 1) << "a generator after the change only blends again";
}

TEST_F(GroupOperatorTest, ParentMatricesAreTheEnclosingGroupsOutermostFirst)
{
  BaseObject* outer = AddGroup("Outer");
  BaseObject* inner = AddGroup("Inner", outer);
  BaseObject* probe = AddOperator(ID_TEST_PROBE, "Probe", inner);
  // A scale and a turn: their order shows in the product.
  outer->SetMl(Matrix(Vector(5.0, 0.0, 0.0), Vector(2.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
  inner->SetMl(Matrix(Vector(0.0, 0.0, 3.0), Vector(0.0, 0.0, 1.0), Vector(0.0, 1.0, 0.0), Vector(-1.0, 0.0, 0.0)));
  ASSERT_NE(Build(), nullptr);
  const ProbeGenerator* seen = probe->GetNodeData<ProbeGenerator>();
  ASSERT_EQ(seen->computeCount, 1);

  const Vector p(1.0, 2.0, 3.0);
  // The innermost group's matrix applies to a child point first.
  const Vector expected = outer->GetMl() * (inner->GetMl() * p);
  EXPECT_TRUE(Near(seen->seenParent * p, expected));
  EXPECT_TRUE(Near(seen->seenParentInverse * expected, p));

  // The same through the function itself; identity for an object that is no group.
  EvaluationContext context = Context();
  ComputeParentMatrices(context, inner);
  EXPECT_TRUE(Near(context.parentMatrix * p, expected));
  ComputeParentMatrices(context, terrain);
  EXPECT_TRUE(Near(context.parentMatrix * p, p));
  EXPECT_TRUE(Near(context.parentMatrixInverse * p, p));

  // Moving the outer group recomputes the groups and the child with the new matrix.
  outer->SetMl(Matrix(Vector(7.0, 0.0, 0.0), Vector(2.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
  context = Context();
  EXPECT_EQ(Group(outer)->GetDirtyState(outer, doc, context), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(seen->computeCount, 2);
  EXPECT_TRUE(Near(seen->seenParent * p, outer->GetMl() * (inner->GetMl() * p)));
}

TEST_F(GroupOperatorTest, ButtonsInsertUnderTheGroupAndLeaveExportToTheBase)
{
  BaseObject* group = AddGroup("Group");

  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  ASSERT_TRUE(group->GetDescription(description, flags));
  EXPECT_TRUE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
  for (const Int32 id : {ID_TEST_GENERATOR, ID_OGX_GROUPOPERATOR, ID_TEST_FILTER})
  {
    const DescriptionEntry* entry = description->FindEntry(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(entry->parent, ID_OGX_ADDOPERATOR_GROUP);
  }
  const BaseContainer* height = description->GetParameterContainer(TERRAINOPERATOR_HEIGHT);
  ASSERT_NE(height, nullptr);
  EXPECT_EQ(height->GetInt32(DESC_UNIT), 1718773089);
  Description::Free(description);

  EXPECT_TRUE(SendCommand(group, ID_TEST_FILTER));
  BaseObject* added = group->GetDown();
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->GetType(), ID_TEST_FILTER);
  EXPECT_EQ(added->GetNext(), nullptr);
  EXPECT_TRUE(group->GetNBit(NBIT::OM1_FOLD));
  EXPECT_TRUE(SendCommand(group, ID_OGX_GROUPOPERATOR));
  EXPECT_EQ(group->GetDownLast()->GetType(), ID_OGX_GROUPOPERATOR);

  // A button id that names no operator makes nothing.
  SendCommand(group, Onull);
  EXPECT_EQ(group->GetDownLast()->GetType(), ID_OGX_GROUPOPERATOR);
  EXPECT_EQ(group->GetDownLast()->GetPred(), added);

  // The export button is the base's: a group never evaluated has nothing to export and asks nothing.
  EXPECT_TRUE(SendCommand(group, TERRAINOPERATOR_EXPORT));
  EXPECT_TRUE(host::GetFileSelects().empty());
  EXPECT_EQ(group->GetDownLast()->GetType(), ID_OGX_GROUPOPERATOR);
}

TEST_F(GroupOperatorTest, UnclassifiedChildQueueIsDirtyAndStopsTheRebuildWithItsCause)
{
  BaseObject* group = AddGroup("Group");
  AddOperator(ID_TEST_GENERATOR, "A", group, BLENDMODE::NORMAL, 2.0);
  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(2.0);

  // The terrain's queue as the cache build makes it, with the group's copy of its child queue failing.
  EvaluationQueue queue;
  ASSERT_TRUE(queue.Build(terrain).IsOk());
  EvaluationContext context = Context();
  {
    host::ScopedAllocationFailure failure(1);
    EXPECT_EQ(queue.CheckDirty(context, nullptr), EvaluationQueue::STATUS::EVALUATE);
  }
  EXPECT_TRUE(Group(group)->GetRebuildFlag()) << "a group whose children cannot be classified is rebuilt";

  Grid2D<Float> grid;
  ASSERT_TRUE(grid.Init(5, 5, 40.0, 20.0).IsOk());
  host::Console().Clear();
  Result<void> evaluated = queue.Evaluate(grid, context);
  ASSERT_TRUE(evaluated.IsError());
  EXPECT_EQ(evaluated.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  EXPECT_TRUE(host::Console().Contains(evaluated.GetError().GetText()));
  EXPECT_FALSE(host::Console().Contains("A queue item has status UNKNOWN! Why??"));

  // The next dirty test classifies again and the rebuild recovers.
  group->GetDownLast()->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 3.0);
  ASSERT_NE(Build(), nullptr);
  ExpectTerrain(3.0);
}
} // namespace
