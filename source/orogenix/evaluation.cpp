// The evaluation queue: building it from the hierarchy, deciding what to recompute, and evaluating it.
#include "orogenix/evaluation.h"

#include <algorithm>

#include "host/core/log.h"
#include "host/scene/resource.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/operatorregistry.h"

namespace
{
// Module string: "Evaluating #..." with the operator's name, shown in the status bar.
constexpr Int32 IDS_EVALUATING_OPERATOR = 10071;

Bool IsQueueParent(const BaseObject* parent)
{
  return parent && (parent->GetType() == ID_OGX_TERRAINOBJECT || parent->GetType() == ID_OGX_GROUPOPERATOR);
}
} // namespace

Result<void> EvaluationQueueItem::Init(BaseObject* op)
{
  if (!op)
    return NullptrError("Provided object pointer must not be nullptr!");
  if (!op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
    return IllegalArgumentError("Provided object pointer is not a BaseTerrainOperatorData!");
  // Checked rather than assumed: a plug-in may answer the operator instance test without being one.
  auto* operatorData = dynamic_cast<OGX::BaseTerrainOperatorData*>(op->GetNodeData());
  if (!operatorData)
    return UnexpectedError("Could not get BaseTerrainOperatorData pointer!");
  object = op;
  data = operatorData;
  identity = op->GetGUID();
  status = EVALUATIONQUEUESTATUS::UNKNOWN;
  return OK;
}

Result<void> EvaluationQueue::Build(BaseObject* parent, HierarchyContext* hh)
{
  items.Reset();
  if (!IsQueueParent(parent))
    return NullptrError("parentObject must be a valid pointer to a TerrainObject or GroupOperator!");

  for (BaseObject* child = parent->GetDown(); child; child = child->GetNext())
  {
    if (!child->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE) || !IsOperatorActive(child, hh))
      continue;
    EvaluationQueueItem item;
    HOST_TRY(item.Init(child));
    Result<void> appended = items.Append(item);
    if (appended.IsError())
      return OutOfMemoryError("Could not append an item to the evaluation queue!");
  }
  return OK;
}

Result<void> EvaluationQueue::CopyFrom(const EvaluationQueue& other)
{
  if (this == &other)
    return OK;
  // The items first: when they cannot be copied the queue stays as it was.
  Result<void> copied = items.CopyFrom(other.items);
  if (copied.IsError())
    return OutOfMemoryError("Could not copy the evaluation queue!");
  memoryTotal = other.memoryTotal;
  status = other.status;
  return OK;
}

void EvaluationQueue::Reset()
{
  memoryTotal = 0;
  status = STATUS::UNKNOWN;
  items.Reset();
}

EvaluationQueue::CompareResult EvaluationQueue::Compare(const EvaluationQueue& other) const
{
  CompareResult result;
  result.equal = items.GetCount() == other.items.GetCount();
  const Int common = std::min(items.GetCount(), other.items.GetCount());
  for (Int i = 0; i < common; ++i)
  {
    if (items[i].identity != other.items[i].identity)
    {
      result.equal = false;
      result.firstDifference = static_cast<Int32>(i);
      break;
    }
  }
  return result;
}

EvaluationQueue::STATUS EvaluationQueue::CheckDirty(EvaluationContext& context, const EvaluationQueue* previous)
{
  status = STATUS::UNKNOWN;
  Bool equal = false;
  Int firstDiff = -1;
  Bool anyDirty = false;
  const Int n = items.GetCount();

  if (previous)
  {
    const CompareResult compared = Compare(*previous);
    equal = compared.equal;
    firstDiff = compared.firstDifference;
  }
  if (!previous || !equal)
  {
    anyDirty = n == 0;
    // Everything that is there now is new.
    if (previous && previous->GetCount() == 0)
    {
      anyDirty = true;
      firstDiff = 0;
    }
  }

  for (Int i = 0; i < n; ++i)
  {
    EvaluationQueueItem& item = items[i];
    OGX::BaseTerrainOperatorData* data = item.data;
    OPERATORDIRTY dirty = data->GetDirtyState(item.object, item.object->GetDocument(), context);
    const Bool filter = HasFlags(data->GetOperatorFlags(item.object), TERRAINOPERATORFLAGS::TYPE_FILTER);
    // Whether something before this item changes what the item sees (read before this item counts).
    const Bool afterChange = anyDirty || (firstDiff != -1 && i >= firstDiff);

    // A rebuild flag still set means the last evaluation never finished this operator (it failed, or an
    // earlier one did): its output is stale even when nothing has changed since.
    if (data->GetRebuildFlag())
      dirty = OPERATORDIRTY::REBUILD;

    if (dirty != OPERATORDIRTY::CLEAN)
    {
      item.status = STATUS::EVALUATE;
      // A filter after a change recomputes even when its own change only asks for a new blend: its input
      // is no longer the one its output was made from.
      if (dirty == OPERATORDIRTY::REBUILD || (filter && afterChange))
        data->SetRebuildFlag(true);
      anyDirty = true;
      continue;
    }
    if (filter && afterChange)
    {
      data->SetRebuildFlag(true);
      item.status = STATUS::EVALUATE;
      anyDirty = true;
      continue;
    }
    if (!filter && firstDiff != -1 && i >= firstDiff)
    {
      // A generator does not read the terrain: its cached output stays valid and is only blended again.
      item.status = STATUS::EVALUATE;
      anyDirty = true;
      continue;
    }
    if (!equal && firstDiff == -1 && i == n - 1)
    {
      // The queue only grew or shrank at its end, or there is no previous queue.
      item.status = STATUS::EVALUATE;
      anyDirty = true;
      continue;
    }
    item.status = STATUS::OK;
  }

  status = anyDirty ? STATUS::EVALUATE : STATUS::OK;
  return status;
}

Result<void> EvaluationQueue::Evaluate(Grid2D<Float>& terrain, EvaluationContext& context)
{
  // Checked before anything is blended, so that a queue nobody classified leaves the terrain untouched.
  for (const EvaluationQueueItem& item : items)
    if (item.status == STATUS::UNKNOWN)
      return UnexpectedError("A queue item has status UNKNOWN! Why??");

  memoryTotal = 0;
  auto fail = [&](const Error& error) -> Result<void> {
    ConsolePrint(error.GetText());
    status = STATUS::EVALUATE;
    StatusClear();
    return error;
  };

  for (EvaluationQueueItem& item : items)
  {
    BaseObject* op = item.object;
    OGX::BaseTerrainOperatorData* data = item.data;
    BaseDocument* doc = op->GetDocument();
    if (item.status == STATUS::EVALUATE)
    {
      if (HasFlags(data->GetOperatorFlags(op), TERRAINOPERATORFLAGS::REQUIRES_MINMAX))
        terrain.RecomputeMinMax();
      StatusSetText(GeLoadString(IDS_EVALUATING_OPERATOR, op->GetName()));
      Result<EVALUATIONRESULT> evaluated = data->EvaluateOperator(terrain, op, doc, context);
      if (evaluated.IsError())
        return fail(evaluated.GetError());
      item.status = STATUS::OK;
    }
    memoryTotal += data->GetMemoryUsage();
    Result<void> applied = data->ApplyToTerrain(terrain, op, doc, context);
    if (applied.IsError())
      return fail(applied.GetError());
  }

  status = STATUS::OK;
  StatusClear();
  return OK;
}
