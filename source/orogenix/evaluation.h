// The evaluation queue: the operators one height field is made of (the direct operator children of a
// terrain object or of a group operator), in stack order. It is rebuilt from the hierarchy before every
// evaluation and compared with the previous evaluation's queue, so that only the operators whose inputs
// changed are recomputed and every other one blends its cached output again.
//
// Owners call, in this order: CopyFrom (the current queue into a temporary), Build, CheckDirty against
// the temporary, Reset of the temporary, Evaluate when the status says EVALUATE, then GetMemoryUsage.
// The queue runs on the thread that builds its owner's cache and has no lock; the operators' own parallel
// loops finish before the next item starts. It does not own the objects or the operator data it points
// to: the host document does.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "orogenix/enums.h"
#include "orogenix/evaluationcontext.h"
#include "orogenix/grid2d.h"

class BaseObject;
class HierarchyContext;

namespace OGX
{
class BaseTerrainOperatorData;
}

struct EvaluationQueueItem
{
  BaseObject* object = nullptr;                   // the operator object (not owned)
  OGX::BaseTerrainOperatorData* data = nullptr;   // its plug-in data (not owned)
  Int identity = 0;                               // the host's identity value of the object
  EVALUATIONQUEUESTATUS status = EVALUATIONQUEUESTATUS::UNKNOWN;

  // Takes the object as an operator. Errors: a null object ("Provided object pointer must not be
  // nullptr!"), an object that is no operator ("Provided object pointer is not a
  // BaseTerrainOperatorData!"), an operator object without operator data ("Could not get
  // BaseTerrainOperatorData pointer!"). The item is unchanged on error.
  Result<void> Init(BaseObject* object);
};

class EvaluationQueue
{
public:
  using STATUS = EVALUATIONQUEUESTATUS;

  struct CompareResult
  {
    Bool equal = false;            // same length and the same identities
    Int32 firstDifference = -1;    // first index of the common prefix whose identities differ, -1 when none
  };

  EvaluationQueue() = default;
  // Copying can fail, so it is explicit (CopyFrom).
  EvaluationQueue(const EvaluationQueue&) = delete;
  EvaluationQueue& operator=(const EvaluationQueue&) = delete;

  // Refills the items from parent's direct children that are enabled, visible operators (for the kind of
  // build hh describes; without hh the host's running states decide). Grandchildren belong to their own
  // group's queue. parent must be a terrain object or a group operator ("parentObject must be a valid
  // pointer to a TerrainObject or GroupOperator!", the queue then empty). Item errors are returned at
  // once, the items made before staying. The memory total and the status are left as they are.
  Result<void> Build(BaseObject* parent, HierarchyContext* hh = nullptr);
  // Copies the memory total, the status and the items; on failure (out of memory) the queue is unchanged.
  Result<void> CopyFrom(const EvaluationQueue& other);
  // Back to the initial state: total 0, status UNKNOWN, no items and their storage freed.
  void Reset();
  CompareResult Compare(const EvaluationQueue& other) const;

  // Decides every item's status and the operators' rebuild flags against the previous evaluation's queue
  // (null: none), then stores and returns the queue's status: EVALUATE when anything is to be evaluated.
  // Recomputed (rebuild flag set): an operator whose dirty state is REBUILD, an operator whose rebuild
  // flag is still set from an evaluation that failed or was cancelled, and every filter after a dirty
  // item or after the first changed position. Only blended again: an operator that reports REEVALUATE,
  // a generator after the first changed position, and the last item when the queue only grew or shrank
  // at its end (or there is no previous queue).
  STATUS CheckDirty(EvaluationContext& context, const EvaluationQueue* previous);

  // Evaluates the items into terrain (already shaped by the caller) in stack order: the items marked
  // EVALUATE run their evaluation (after the terrain's minimum and maximum are recomputed for operators
  // that ask for them, with the operator's name in the status bar); then every item adds its memory use
  // and is masked and blended into terrain. The first error is printed to the console and returned, the
  // status becomes EVALUATE and the status bar is cleared; later items are left alone. An item still
  // UNKNOWN (no CheckDirty since Build) fails before anything is touched.
  Result<void> Evaluate(Grid2D<Float>& terrain, EvaluationContext& context);

  Int GetMemoryUsage() const { return memoryTotal; }
  STATUS GetStatus() const { return status; }
  Int GetCount() const { return items.GetCount(); }
  BaseArray<EvaluationQueueItem>& GetItems() { return items; }
  const BaseArray<EvaluationQueueItem>& GetItems() const { return items; }

private:
  Int memoryTotal = 0;   // bytes, summed by the last Evaluate
  STATUS status = STATUS::UNKNOWN;
  BaseArray<EvaluationQueueItem> items;
};
