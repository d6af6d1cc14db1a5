// The group operator: a generator whose own children are operators. It evaluates them, in their order,
// into its zeroed output grid through an evaluation queue of its own; the base operator then masks and
// blends that output into the terrain like any generator's. Groups nest.
//
// The children see the group's own nesting: their parent matrices are the product of the local matrices
// of every enclosing group, outermost first. The group's dirty test rebuilds its child queue and
// classifies it against the previous one, so a change anywhere below a group (nested groups included)
// makes the group dirty and marks exactly the children that must be evaluated. Everything runs on the
// thread that builds the terrain object's cache.
#pragma once

#include <optional>

#include "orogenix/baseterrainoperator.h"
#include "orogenix/evaluation.h"

// Plug-in id of the group operator (ID_OGX_GROUPOPERATOR in ogx_ids.h).

class GroupOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  GroupOperator() = default;
  // Frees the queue's items, then the base.
  ~GroupOperator() override;

  // 30: a generator that follows its own, the terrain's and its enclosing groups' matrices.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  // Height 1.0 and factor 1.0: the children's heights come through unscaled.
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // An add-operator button inserts a new operator of that type as the group's last child; the export
  // button (1091) is left to the base.
  Bool OperatorMessage(GeListNode* node, Int32 type, void* data) override;
  // The height in plain numbers, then the add-operator buttons.
  Bool GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                               DESCFLAGS_DESC& flags) override;
  // Evaluates the children into the output grid, shaped like terrain and zeroed first.
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // Rebuilds the child queue and classifies it against the previous one: dirty unless nothing below
  // the group needs evaluating. A queue that cannot be copied or built also counts as dirty; the error
  // is kept and returned by the next ComputeOperator, so the rebuild stops with the real cause.
  Bool IsOperatorDirty(BaseObject* op, BaseDocument* doc, EvaluationContext& context) override;
  // The base's bytes plus the children's of the last evaluation.
  Int GetMemoryUsage() override;

  const EvaluationQueue& GetQueue() const { return queue; }

private:
  Int childMemory = 0;
  EvaluationQueue queue;
  // Why the last dirty test could not classify the children; returned instead of evaluating them.
  std::optional<Error> _queueError;
};

// context's parent matrices for the children of op: the product of the local matrices of op and of
// every group operator directly above it (outermost first, so a child point is carried through the
// innermost group first), and its inverse. Identity when op is no group operator.
void ComputeParentMatrices(EvaluationContext& context, BaseObject* op);

// Registers the operator (its icon from the main sheet's cell at (320, 0), description
// "ogroupoperator", name string 10003) at that menu sort order; start-up passes 25.
Bool RegisterGroupOperator(Int32 sortOrder);
