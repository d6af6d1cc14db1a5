#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/fields/fieldlist.h"
#include "host/scene/hierarchy.h"
#include "orogenix/evaluation.h"
#include "support/test_operators.h"

using namespace ogx_test;
using STATUS = EvaluationQueue::STATUS;

namespace
{
constexpr Int RES = 2;   // 3 x 3 cells

// An object that claims to be an operator without being one.
class ImpostorData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<ImpostorData>(); }
  Bool IsInstanceOf(const GeListNode* node, Int32 type) const override
  {
    return type == ID_OGX_TERRAINOPERATOR_BASE || ObjectData::IsInstanceOf(node, type);
  }
};
constexpr Int32 ID_TEST_IMPOSTOR = 1099110;

// What CheckDirty decided, one letter per item: O (OK), E (EVALUATE, blend again), R (EVALUATE and
// recompute), U (UNKNOWN).
std::string Classification(const EvaluationQueue& queue)
{
  std::string out;
  for (const EvaluationQueueItem& item : queue.GetItems())
  {
    switch (item.status)
    {
      case STATUS::OK: out += 'O'; break;
      case STATUS::UNKNOWN: out += 'U'; break;
      case STATUS::EVALUATE: out += item.data->GetRebuildFlag() ? 'R' : 'E'; break;
    }
  }
  return out;
}

class QueueTest : public OperatorSceneTest
{
public:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_IMPOSTOR, "Impostor", OBJECT_GENERATOR, ImpostorData::Alloc, String(),
                                     nullptr, 1));
    context = MakeContext(RES);
  }

  // Operators under the terrain object, one per letter: G generator, F filter. Their scale is 1 and
  // their values differ, so every operator leaves its mark on the terrain.
  std::vector<BaseObject*> MakeStack(const std::string& letters)
  {
    std::vector<BaseObject*> ops;
    for (char c : letters)
      ops.push_back(MakeOperator(c));
    return ops;
  }

  BaseObject* MakeOperator(char letter)
  {
    BaseObject* op = BaseObject::Alloc(letter == 'F' ? ID_TEST_FILTER : ID_TEST_GENERATOR);
    EXPECT_NE(op, nullptr);
    op->SetName(String(1, letter) + String::IntToString(++_made));
    op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    op->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 0.5 * static_cast<Float>(_made));
    EXPECT_TRUE(op->InsertUnderLast(terrain));
    return op;
  }

  std::vector<BaseObject*> Children() const
  {
    std::vector<BaseObject*> out;
    for (BaseObject* c = terrain->GetDown(); c; c = c->GetNext())
      out.push_back(c);
    return out;
  }

  // One owner's round: copy, build, classify against the copy (or against nothing).
  STATUS Classify(Bool withPrevious = true)
  {
    EvaluationQueue previous;
    EXPECT_TRUE(previous.CopyFrom(queue).IsOk());
    EXPECT_TRUE(queue.Build(terrain).IsOk());
    const STATUS s = queue.CheckDirty(context, withPrevious ? &previous : nullptr);
    previous.Reset();
    return s;
  }

  // The owner's evaluation into a fresh zero terrain of the context's shape.
  Result<void> EvaluateQueue()
  {
    EXPECT_TRUE(grid.Init(RES + 1, RES + 1, context.sizeX, context.sizeZ).IsOk());
    return queue.Evaluate(grid, context);
  }

  Int TotalComputations() const
  {
    Int n = 0;
    for (BaseObject* c : Children())
      if (c->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
        n += Control(c).computeCount;
    return n;
  }

  // The terrain a from-scratch evaluation of the enabled children gives, computed independently: a
  // generator adds value * height at its opacity, a filter replaces the terrain by terrain + value at
  // its opacity. Only the two modes the test operators have (ADD, NORMAL) are modelled.
  std::vector<Float> Reference() const
  {
    std::vector<Float> t(static_cast<std::size_t>((RES + 1) * (RES + 1)), 0.0);
    for (BaseObject* op : Children())
    {
      if (!op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE) || !op->IsEnabled() || op->GetEditorMode() == MODE::OFF)
        continue;
      const BaseContainer& bc = op->GetDataInstanceRef();
      const Float value = bc.GetFloat(TESTOPERATOR_VALUE);
      const Float a = bc.GetFloat(TERRAINOPERATOR_OPACITY);
      const Float scale = bc.GetFloat(TERRAINOPERATOR_HEIGHT);
      const Float offset = bc.GetFloat(TERRAINOPERATOR_OFFSET);
      const Int32 mode = bc.GetInt32(TERRAINOPERATOR_BLENDMODE);
      const Bool filter = op->GetType() == ID_TEST_FILTER;
      for (Float& d : t)
      {
        const Float L = (filter ? d + value : value) * scale + offset;
        const Float X = mode == static_cast<Int32>(BLENDMODE::ADD) ? d + L : L;
        EXPECT_TRUE(mode == static_cast<Int32>(BLENDMODE::ADD) || mode == static_cast<Int32>(BLENDMODE::NORMAL));
        d = d + (X - d) * a;
      }
    }
    return t;
  }

  void ExpectReference()
  {
    const std::vector<Float> ref = Reference();
    ASSERT_EQ(grid.cellCount, static_cast<Int>(ref.size()));
    for (Int i = 0; i < grid.cellCount; ++i)
      EXPECT_NEAR(grid.cells[i], ref[static_cast<std::size_t>(i)], 1e-12) << i;
  }

  // Builds the stack and runs it until it is settled: evaluated once and classified clean.
  std::vector<BaseObject*> Settle(const std::string& letters)
  {
    std::vector<BaseObject*> ops = MakeStack(letters);
    Classify(false);
    EXPECT_TRUE(EvaluateQueue().IsOk());
    EXPECT_EQ(Classify(), letters.empty() ? STATUS::OK : STATUS::OK);
    return ops;
  }

  EvaluationQueue queue;
  EvaluationContext context;
  Grid2D<Float> grid;

private:
  Int _made = 0;
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// Building

TEST_F(QueueTest, BuildTakesEnabledVisibleDirectOperatorChildren)
{
  BaseObject* gen = MakeOperator('G');
  BaseObject* disabled = MakeOperator('G');
  disabled->SetEnabled(false);
  BaseObject* hidden = MakeOperator('F');
  hidden->SetEditorMode(MODE::OFF);
  BaseObject* plain = BaseObject::Alloc(Onull);
  ASSERT_TRUE(plain->InsertUnderLast(terrain));
  BaseObject* grandchildOfPlain = AddOperator(ID_TEST_GENERATOR, plain);
  BaseObject* filter = MakeOperator('F');
  BaseObject* grandchildOfOperator = AddOperator(ID_TEST_GENERATOR, filter);
  BaseObject* group = AddOperator(ID_GROUPOPERATOR);
  BaseObject* inGroup = AddOperator(ID_TEST_FILTER, group);
  BaseObject* renderHidden = MakeOperator('G');
  renderHidden->SetRenderMode(MODE::OFF);
  (void)grandchildOfPlain;
  (void)grandchildOfOperator;

  ASSERT_TRUE(queue.Build(terrain).IsOk());
  std::vector<Int> ids;
  for (const EvaluationQueueItem& item : queue.GetItems())
  {
    ids.push_back(item.identity);
    EXPECT_EQ(item.status, STATUS::UNKNOWN);
    EXPECT_EQ(item.data, OperatorData(item.object));
  }
  EXPECT_EQ(ids, (std::vector<Int>{gen->GetGUID(), filter->GetGUID(), renderHidden->GetGUID()}));

  // An external render follows the render switches instead.
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::EXTERNALRENDERER);
  host::SetRunning(CHECKISRUNNING::EXTERNALRENDERING, true);
  ASSERT_TRUE(queue.Build(terrain, &hh).IsOk());
  host::ResetRunningStates();
  ids.clear();
  for (const EvaluationQueueItem& item : queue.GetItems())
    ids.push_back(item.identity);
  EXPECT_EQ(ids, (std::vector<Int>{gen->GetGUID(), hidden->GetGUID(), filter->GetGUID()}));

  // A group's queue holds the group's own children.
  ASSERT_TRUE(queue.Build(group).IsOk());
  ASSERT_EQ(queue.GetCount(), 1);
  EXPECT_EQ(queue.GetItems()[0].object, inGroup);
}

TEST_F(QueueTest, BuildRefusesAnythingButATerrainObjectOrGroup)
{
  MakeOperator('G');
  ASSERT_TRUE(queue.Build(terrain).IsOk());
  ASSERT_EQ(queue.GetCount(), 1);

  BaseObject* plain = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(plain, nullptr));
  BaseObject* op = AddOperator(ID_TEST_GENERATOR, plain);
  for (BaseObject* parent : {static_cast<BaseObject*>(nullptr), plain, op})
  {
    Result<void> r = queue.Build(parent);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetMessage(), "parentObject must be a valid pointer to a TerrainObject or GroupOperator!");
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::NULLPTR);
    EXPECT_EQ(queue.GetCount(), 0);
  }
}

TEST_F(QueueTest, ItemInitErrors)
{
  struct Case
  {
    const char* name;
    Int32 type;   // 0: null object
    const char* message;
    ERRORKIND kind;
  };
  const Case cases[] = {
    {"null", 0, "Provided object pointer must not be nullptr!", ERRORKIND::NULLPTR},
    {"not_an_operator", Onull, "Provided object pointer is not a BaseTerrainOperatorData!",
     ERRORKIND::ILLEGAL_ARGUMENT},
    {"claims_to_be_one", ID_TEST_IMPOSTOR, "Could not get BaseTerrainOperatorData pointer!", ERRORKIND::UNEXPECTED},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = c.type ? BaseObject::Alloc(c.type) : nullptr;
    EvaluationQueueItem item;
    Result<void> r = item.Init(op);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetMessage(), c.message);
    EXPECT_EQ(r.GetError().GetKind(), c.kind);
    EXPECT_EQ(item.object, nullptr);
    if (op)
      BaseObject::Free(op);
  }

  // Build meets the impostor among the children: its error, with the items made before kept.
  MakeOperator('G');
  BaseObject* impostor = AddOperator(ID_TEST_IMPOSTOR);
  (void)impostor;
  MakeOperator('G');
  Result<void> r = queue.Build(terrain);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "Could not get BaseTerrainOperatorData pointer!");
  EXPECT_EQ(queue.GetCount(), 1);

  BaseObject* good = MakeOperator('F');
  EvaluationQueueItem item;
  ASSERT_TRUE(item.Init(good).IsOk());
  EXPECT_EQ(item.object, good);
  EXPECT_EQ(item.identity, good->GetGUID());
  EXPECT_EQ(item.status, STATUS::UNKNOWN);
}

TEST_F(QueueTest, CopyResetCompare)
{
  MakeStack("GFG");
  ASSERT_TRUE(queue.Build(terrain).IsOk());
  queue.CheckDirty(context, nullptr);
  ASSERT_TRUE(EvaluateQueue().IsOk());

  EvaluationQueue copy;
  ASSERT_TRUE(copy.CopyFrom(queue).IsOk());
  EXPECT_EQ(copy.GetCount(), 3);
  EXPECT_EQ(copy.GetStatus(), queue.GetStatus());
  EXPECT_EQ(copy.GetMemoryUsage(), queue.GetMemoryUsage());
  EXPECT_TRUE(copy.Compare(queue).equal);
  EXPECT_EQ(copy.Compare(queue).firstDifference, -1);
  ASSERT_TRUE(copy.CopyFrom(copy).IsOk());
  EXPECT_EQ(copy.GetCount(), 3);

  // A copy that cannot get memory leaves the queue as it was.
  EvaluationQueue other;
  {
    host::ScopedAllocationFailure fail(1);
    Result<void> r = other.CopyFrom(queue);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(other.GetCount(), 0);
  EXPECT_EQ(other.GetStatus(), STATUS::UNKNOWN);
  EXPECT_EQ(other.GetMemoryUsage(), 0);

  // Comparisons: a shorter queue with the same prefix, and a change in the middle.
  EvaluationQueue shorter;
  ASSERT_TRUE(shorter.CopyFrom(queue).IsOk());
  shorter.GetItems().Erase(2);
  EXPECT_FALSE(shorter.Compare(queue).equal);
  EXPECT_EQ(shorter.Compare(queue).firstDifference, -1);
  shorter.GetItems()[1].identity = -5;
  EXPECT_EQ(shorter.Compare(queue).firstDifference, 1);
  EXPECT_EQ(queue.Compare(shorter).firstDifference, 1);

  copy.Reset();
  EXPECT_EQ(copy.GetCount(), 0);
  EXPECT_EQ(copy.GetStatus(), STATUS::UNKNOWN);
  EXPECT_EQ(copy.GetMemoryUsage(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Classification

TEST_F(QueueTest, Classification)
{
  using Ops = std::vector<BaseObject*>;
  struct Case
  {
    const char* name;
    std::string stack;
    std::function<void(QueueTest& t, Ops& ops)> change;   // may add, remove or reorder children
    std::string expected;                                 // one letter per item of the new queue
    STATUS status;
  };
  auto set = [](Int index, Int32 id, Float v) {
    return [=](QueueTest&, Ops& ops) { ops[static_cast<std::size_t>(index)]->GetDataInstanceRef().SetFloat(id, v); };
  };
  auto remove = [](std::vector<Int> indices) {
    return [=](QueueTest&, Ops& ops) {
      for (Int i : indices)
        BaseObject::Free(ops[static_cast<std::size_t>(i)]);
    };
  };
  // A new operator of that kind inserted before the operator at index (at the end for -1).
  auto insert = [](char letter, Int index) {
    return [=](QueueTest& t, Ops& ops) {
      BaseObject* op = t.MakeOperator(letter);
      if (index >= 0)
      {
        op->Remove();
        ASSERT_TRUE(op->InsertBefore(ops[static_cast<std::size_t>(index)]));
      }
    };
  };
  const Case cases[] = {
    {"nothing_changed", "GFGF", [](QueueTest&, Ops&) {}, "OOOO", STATUS::OK},
    {"middle_generator_recomputes", "GFGGF", set(2, TESTOPERATOR_VALUE, 9.0), "OOROR", STATUS::EVALUATE},
    {"middle_generator_blends_again", "GFGGF", set(2, TERRAINOPERATOR_OPACITY, 0.5), "OOEOR", STATUS::EVALUATE},
    {"generator_inserted_at_2", "GFGF", insert('G', 2), "OORER", STATUS::EVALUATE},
    {"filter_inserted_at_1", "GG", insert('F', 1), "ORE", STATUS::EVALUATE},
    {"appended_at_the_end", "GF", insert('G', -1), "OOR", STATUS::EVALUATE},
    {"last_deleted", "GFG", remove({2}), "OE", STATUS::EVALUATE},
    {"middle_deleted", "GGFG", remove({1}), "ORE", STATUS::EVALUATE},
    {"all_deleted", "GF", remove({0, 1}), "", STATUS::EVALUATE},
    {"empty_stays_empty", "", [](QueueTest&, Ops&) {}, "", STATUS::OK},
    {"first_operator_added", "", insert('G', -1), "R", STATUS::EVALUATE},
    {"reordered", "GGF", [](QueueTest&, Ops& ops) { ops[1]->Remove(); ASSERT_TRUE(ops[1]->InsertBefore(ops[0])); },
     "EER", STATUS::EVALUATE},
    {"first_disabled", "GFG", [](QueueTest&, Ops& ops) { ops[0]->SetEnabled(false); }, "RE", STATUS::EVALUATE},
    {"filter_predecessor_changed_outside_the_queue", "GF",
     [](QueueTest& t, Ops& ops) {
       BaseObject* plain = BaseObject::Alloc(Onull);
       ASSERT_TRUE(plain->InsertBefore(ops[1]));
       (void)t;
     },
     "OR", STATUS::EVALUATE},
    // Mended: a filter whose own change only asks for a new blend, after something that changed the
    // terrain below it, must recompute (its cached output was made from the old terrain).
    {"filter_blend_change_after_a_change", "GGF",
     [](QueueTest&, Ops& ops) {
       ops[0]->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 7.0);
       ops[2]->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_OPACITY, 0.5);
     },
     "ROR", STATUS::EVALUATE},
    {"filter_blend_change_after_an_insertion", "GGF",
     [](QueueTest& t, Ops& ops) {
       ops[2]->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_OPACITY, 0.25);
       BaseObject* op = t.MakeOperator('G');
       op->Remove();
       ASSERT_TRUE(op->InsertBefore(ops[0]));
     },
     "REER", STATUS::EVALUATE},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    queue.Reset();
    while (BaseObject* rest = terrain->GetDown())
      BaseObject::Free(rest);
    Ops ops = Settle(c.stack);
    EXPECT_EQ(Classification(queue), std::string(c.stack.size(), 'O'));

    c.change(*this, ops);
    const Int before = TotalComputations();
    EXPECT_EQ(Classify(), c.status);
    EXPECT_EQ(queue.GetStatus(), c.status);
    EXPECT_EQ(Classification(queue), c.expected);

    // Evaluating recomputes exactly the operators marked for it, and the cached outputs of the others
    // give the terrain a from-scratch evaluation gives.
    ASSERT_TRUE(EvaluateQueue().IsOk());
    EXPECT_EQ(TotalComputations() - before, static_cast<Int>(std::count(c.expected.begin(), c.expected.end(), 'R')));
    ExpectReference();
    EXPECT_EQ(queue.GetStatus(), STATUS::OK);
    EXPECT_EQ(Classification(queue), std::string(c.expected.size(), 'O'));
    // And afterwards it is settled again.
    EXPECT_EQ(Classify(), STATUS::OK);
  }
}

TEST_F(QueueTest, WithoutAPreviousQueueTheStatusIsAlwaysEvaluate)
{
  Settle("GFG");
  EXPECT_EQ(Classify(false), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "OOE");

  queue.Reset();
  while (BaseObject* rest = terrain->GetDown())
    BaseObject::Free(rest);
  EXPECT_EQ(Classify(false), STATUS::EVALUATE);   // an empty queue too
  EXPECT_EQ(queue.GetCount(), 0);
}

TEST_F(QueueTest, AnEvaluatedPredecessorsStatusTextDoesNotDirtyTheFilterAfterIt)
{
  // Each evaluation writes the operator's status text, which raises its data count after the filter
  // behind it read that count in the dirty test. The filter must not take that for a change.
  std::vector<BaseObject*> ops = MakeStack("GFF");
  Classify(false);
  ASSERT_TRUE(EvaluateQueue().IsOk());
  EXPECT_EQ(Classify(), STATUS::OK);
  EXPECT_EQ(Classification(queue), "OOO");

  // The same after an evaluation in which only the first operator changed.
  ops[0]->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 3.0);
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "RRR");
  ASSERT_TRUE(EvaluateQueue().IsOk());
  EXPECT_EQ(Classify(), STATUS::OK);
  EXPECT_EQ(Control(ops[1]).computeCount, 2);
  EXPECT_EQ(Control(ops[2]).computeCount, 2);
}

TEST_F(QueueTest, StaleRebuildFlagsRecompute)
{
  // What a failed or cancelled evaluation leaves behind: the flag still set on an operator whose own
  // state is clean and which follows nothing dirty.
  struct Case
  {
    const char* name;
    std::string stack;
    Int flagged;
    std::string expected;
  };
  for (const Case& c : {Case{"filter", "GGF", 2, "OOR"}, Case{"generator", "GGG", 1, "ORO"},
                        Case{"first_filter", "FG", 0, "RO"}})
  {
    SCOPED_TRACE(c.name);
    queue.Reset();
    while (BaseObject* rest = terrain->GetDown())
      BaseObject::Free(rest);
    std::vector<BaseObject*> ops = Settle(c.stack);
    OperatorData(ops[static_cast<std::size_t>(c.flagged)])->SetRebuildFlag(true);
    EXPECT_EQ(Classify(), STATUS::EVALUATE);
    EXPECT_EQ(Classification(queue), c.expected);
    ASSERT_TRUE(EvaluateQueue().IsOk());
    EXPECT_FALSE(OperatorData(ops[static_cast<std::size_t>(c.flagged)])->GetRebuildFlag());
    EXPECT_EQ(Classify(), STATUS::OK);
  }
}

TEST_F(QueueTest, AnOperatorLeftUnevaluatedByABlendFailureIsRecomputedNextTime)
{
  std::vector<BaseObject*> ops = Settle("GGGF");
  // The first generator changes; the second cannot be blended (its masking list is gone).
  ops[0]->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, 6.0);
  ops[1]->GetDataInstanceRef().RemoveData(TERRAINOPERATOR_MASKING_FIELDS_LIST);
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "REOR");
  ASSERT_TRUE(EvaluateQueue().IsError());
  EXPECT_EQ(Control(ops[3]).computeCount, 1);   // never reached

  // Nothing has changed since: the first three are clean, but the filter still works on the old terrain.
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "OOOR");

  ops[1]->GetDataInstanceRef().SetData(TERRAINOPERATOR_MASKING_FIELDS_LIST, GeData(FieldList::Alloc()));
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  ASSERT_TRUE(EvaluateQueue().IsOk());
  EXPECT_EQ(Control(ops[3]).computeCount, 2);
  ExpectReference();
}

// ---------------------------------------------------------------------------------------------------
// Evaluation

TEST_F(QueueTest, EvaluateShowsProgressAndSumsMemory)
{
  std::vector<BaseObject*> ops = MakeStack("GFG");
  Classify(false);
  host::ResetLogs();
  ASSERT_TRUE(EvaluateQueue().IsOk());
  const std::vector<host::StatusEvent> history = host::GetStatusHistory();
  ASSERT_EQ(history.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i)
  {
    EXPECT_EQ(history[i].kind, host::StatusEvent::KIND::TEXT);
    EXPECT_EQ(history[i].text, GeLoadString(10071, ops[i]->GetName()));
  }
  EXPECT_EQ(history[0].text, "Evaluating G1...");
  EXPECT_EQ(history[3].kind, host::StatusEvent::KIND::CLEAR);
  EXPECT_TRUE(host::GetStatusBar().cleared);
  EXPECT_EQ(host::Console().GetCount(), 0);

  Int memory = 0;
  for (BaseObject* op : ops)
    memory += OperatorData(op)->GetMemoryUsage();
  // Two generators with 9 cells, a filter with 9 output and 9 difference cells.
  EXPECT_EQ(memory, 3 * 576 + 8 * (9 + 18 + 9));
  EXPECT_EQ(queue.GetMemoryUsage(), memory);

  // Every item is blended on every evaluation, evaluated or not; only the evaluated ones show up (the
  // generator after the changed filter is only blended).
  ops[1]->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_OPACITY, 0.5);
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "OEO");
  host::ResetLogs();
  ASSERT_TRUE(EvaluateQueue().IsOk());
  const std::vector<host::StatusEvent> second = host::GetStatusHistory();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].text, "Evaluating F2...");
  EXPECT_EQ(second[1].kind, host::StatusEvent::KIND::CLEAR);
  EXPECT_EQ(queue.GetMemoryUsage(), memory);
  ExpectReference();
}

TEST_F(QueueTest, RequiresMinMaxSeesTheRecomputedRange)
{
  std::vector<BaseObject*> ops = MakeStack("GFF");
  Control(ops[1]).extraFlags = TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
  Classify(false);
  // A terrain with heights 0 to 8 whose range was never computed; the generator adds 0.5 (G1).
  ASSERT_TRUE(grid.Init(RES + 1, RES + 1, context.sizeX, context.sizeZ).IsOk());
  for (Int i = 0; i < grid.cellCount; ++i)
    grid.cells[i] = static_cast<Float>(i);
  ASSERT_TRUE(queue.Evaluate(grid, context).IsOk());
  EXPECT_TRUE(Control(ops[1]).seenMinMaxValid);
  EXPECT_EQ(Control(ops[1]).seenMin, 0.5);
  EXPECT_EQ(Control(ops[1]).seenMax, 8.5);
  // The filter without the flag sees the range as it was left, not recomputed after the first filter
  // raised every height by 1.
  EXPECT_EQ(Control(ops[2]).seenMin, 0.5);
  EXPECT_EQ(Control(ops[2]).seenMax, 8.5);
}

TEST_F(QueueTest, AFailingOperatorStopsTheEvaluation)
{
  std::vector<BaseObject*> ops = MakeStack("GFG");
  Control(ops[1]).failCompute = true;
  Control(ops[1]).failMessage = "Curve operator cancelled!";
  Classify(false);
  host::ResetLogs();
  Result<void> r = EvaluateQueue();
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "Curve operator cancelled!");
  EXPECT_EQ(host::Console().GetLines(), (std::vector<String>{"Curve operator cancelled!"}));
  EXPECT_EQ(queue.GetStatus(), STATUS::EVALUATE);
  EXPECT_TRUE(host::GetStatusBar().cleared);
  EXPECT_EQ(host::GetStatusHistory().back().kind, host::StatusEvent::KIND::CLEAR);
  // The later operator was neither evaluated nor blended: the terrain holds the first one only.
  EXPECT_EQ(Control(ops[2]).computeCount, 0);
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_EQ(grid.cells[i], 0.5);
  // The failed operator's memory is not counted.
  EXPECT_EQ(queue.GetMemoryUsage(), OperatorData(ops[0])->GetMemoryUsage());
  EXPECT_EQ(ops[1]->GetDataInstanceRef().GetString(TERRAINOPERATOR_INFO), GeLoadString(10028));

  // Fixed, the next rebuild recomputes it (and what follows).
  Control(ops[1]).failCompute = false;
  EXPECT_EQ(Classify(), STATUS::EVALUATE);
  EXPECT_EQ(Classification(queue), "ORR");
  ASSERT_TRUE(EvaluateQueue().IsOk());
  ExpectReference();
}

TEST_F(QueueTest, ABlendFailureStopsTheEvaluation)
{
  MakeStack("GG");
  Classify(false);
  host::ResetLogs();
  // A terrain of another shape than the context's: the first operator's output cannot be blended.
  ASSERT_TRUE(grid.Init(RES + 2, RES + 2, context.sizeX, context.sizeZ).IsOk());
  Result<void> r = queue.Evaluate(grid, context);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "Cannot merge grids of different sizes!");
  EXPECT_EQ(host::Console().GetLast(), "Cannot merge grids of different sizes!");
  EXPECT_EQ(queue.GetStatus(), STATUS::EVALUATE);
  EXPECT_TRUE(host::GetStatusBar().cleared);
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_EQ(grid.cells[i], 0.0);
}

TEST_F(QueueTest, UnclassifiedItemsFailBeforeAnythingIsTouched)
{
  MakeStack("GF");
  ASSERT_TRUE(queue.Build(terrain).IsOk());
  host::ResetLogs();
  Result<void> r = EvaluateQueue();
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), "A queue item has status UNKNOWN! Why??");
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::UNEXPECTED);
  EXPECT_EQ(queue.GetStatus(), STATUS::UNKNOWN);
  EXPECT_EQ(host::Console().GetCount(), 0);
  EXPECT_TRUE(host::GetStatusHistory().empty());
  EXPECT_EQ(TotalComputations(), 0);
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_EQ(grid.cells[i], 0.0);
}

// ---------------------------------------------------------------------------------------------------
// Evaluation context

TEST_F(QueueTest, EvaluationContextMatrices)
{
  terrain->SetMl(Matrix(Vector(1.0, 2.0, 3.0), Vector(2.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
  EvaluationContext c;
  HierarchyContext hh;
  InitEvaluationContext(c, 40, 30, 200.0, 100.0, 0.5, terrain, &hh);
  EXPECT_EQ(c.resolutionX, 40);
  EXPECT_EQ(c.resolutionZ, 30);
  EXPECT_EQ(c.lod, 0.5);
  EXPECT_EQ(c.hierarchyHelp, &hh);
  EXPECT_EQ(c.terrainMatrix, terrain->GetMg());
  EXPECT_EQ(c.terrainMatrixInverse * Vector(3.0, 2.0, 3.0), Vector(1.0, 0.0, 0.0));
  EXPECT_EQ(c.parentMatrix, Matrix());
  EXPECT_EQ(c.parentMatrixInverse, Matrix());
  EXPECT_EQ(c.gridToObjectMatrix * Vector(0.0, 0.0, 0.0), Vector(-100.0, 0.0, 50.0));
  EXPECT_EQ(c.gridToObjectMatrix * Vector(1.0, 1.0, 7.0), Vector(100.0, 7.0, -50.0));
  EXPECT_EQ(c.objectToGridMatrix * Vector(100.0, 7.0, -50.0), Vector(1.0, 1.0, 7.0));

  EvaluationContext copy;
  c.parentMatrix.off = Vector(0.0, 5.0, 0.0);
  CopyEvaluationContext(copy, c);
  EXPECT_EQ(copy.parentMatrix, c.parentMatrix);
  EXPECT_EQ(copy.gridToObjectMatrix, c.gridToObjectMatrix);
  EXPECT_EQ(copy.terrainObject, terrain);
  EXPECT_EQ(copy.sizeZ, 100.0);

  // Without a terrain object every matrix stays identity.
  EvaluationContext bare;
  InitEvaluationContext(bare, 1, 1, 10.0, 10.0, 1.0, nullptr, nullptr);
  EXPECT_EQ(bare.terrainMatrix, Matrix());
  EXPECT_EQ(bare.gridToObjectMatrix, Matrix());
}
