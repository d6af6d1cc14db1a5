#include "object/operator_group.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_GROUP_NAME = 10003;
constexpr const char* GROUPOPERATOR_DESCRIPTION_NAME = "ogroupoperator";
constexpr Int32 GROUPOPERATOR_ICON_X = 320;
constexpr Int32 GROUPOPERATOR_ICON_Y = 0;
constexpr Int32 GROUPOPERATOR_DISKLEVEL = 0;

// The host's plain real-number unit ('frea'): the group's height is a factor, not a length.
constexpr Int32 DESC_UNIT_REAL = 0x66726561;
} // namespace

void ComputeParentMatrices(EvaluationContext& context, BaseObject* op)
{
  Matrix parent;
  for (BaseObject* node = op; node && node->GetType() == ID_OGX_GROUPOPERATOR; node = node->GetUp())
    parent = node->GetMl() * parent;
  context.parentMatrix = parent;
  context.parentMatrixInverse = ~parent;
}

NodeData* GroupOperator::Alloc()
{
  return NewObj<GroupOperator>();
}

// The queue frees its items with itself; the base runs afterwards.
GroupOperator::~GroupOperator() = default;

TERRAINOPERATORFLAGS GroupOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR |
         TERRAINOPERATORFLAGS::DIRTY_MATRIX_TERRAIN | TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY;
}

Bool GroupOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
  data.SetFloat(TERRAINOPERATOR_FACTOR, 1.0);
  return true;
}

Bool GroupOperator::OperatorMessage(GeListNode* node, Int32 type, void* data)
{
  if (type != MSG_DESCRIPTION_COMMAND || !node || !data)
    return false;
  const Int32 id = static_cast<const DescriptionCommand*>(data)->id[0].id;
  // The other buttons are the add-operator buttons, whose ids are the operators' plug-in ids; any other
  // id must not make an object of that type under the group.
  if (id == TERRAINOPERATOR_EXPORT || !IsRegisteredOperator(id))
    return false;
  return InsertOperator(static_cast<BaseObject*>(node), id, true);
}

Bool GroupOperator::GetOperatorDDescription(GeListNode* node, BaseContainer&, Description* description,
                                            DESCFLAGS_DESC&)
{
  SetDescriptionInt32Attribute(node, description, TERRAINOPERATOR_HEIGHT, DTYPE_REAL, DESC_UNIT_REAL);
  AddOperatorButtons(description, true);
  return true;
}

Bool GroupOperator::IsOperatorDirty(BaseObject* op, BaseDocument*, EvaluationContext& context)
{
  _queueError.reset();
  // A queue that cannot be classified leaves the group's output stale: the group answers dirty, and its
  // computation returns the reason instead of evaluating children of unknown status.
  auto fail = [&](const Error& error) {
    _queueError = error;
    return true;
  };

  EvaluationQueue previous;
  if (Result<void> copied = previous.CopyFrom(queue); copied.IsError())
    return fail(copied.GetError());
  if (Result<void> built = queue.Build(op, context.hierarchyHelp); built.IsError())
    return fail(built.GetError());

  EvaluationContext local;
  CopyEvaluationContext(local, context);
  ComputeParentMatrices(local, op);
  const EvaluationQueue::STATUS status = queue.CheckDirty(local, &previous);
  previous.Reset();
  return status != EvaluationQueue::STATUS::OK;
}

Result<void> GroupOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                            EvaluationContext& context)
{
  if (_queueError)
    return *_queueError;

  // The children blend into zeros, not into the terrain below the group.
  _output.Reset();
  HOST_TRY(_output.InitLike(terrain));

  EvaluationContext local;
  CopyEvaluationContext(local, context);
  ComputeParentMatrices(local, op);
  HOST_TRY(queue.Evaluate(_output, local));
  childMemory = queue.GetMemoryUsage();
  return OK;
}

Int GroupOperator::GetMemoryUsage()
{
  return BaseTerrainOperatorData::GetMemoryUsage() + childMemory;
}

Bool RegisterGroupOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_GROUPOPERATOR, GROUPOPERATOR_ICON_X, GROUPOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_GROUPOPERATOR, GeLoadString(IDS_GROUP_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_GENERATOR, GroupOperator::Alloc,
                                   GROUPOPERATOR_DESCRIPTION_NAME, icon, GROUPOPERATOR_DISKLEVEL, sortOrder);
  });
}
