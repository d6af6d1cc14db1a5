// The operator registry, the operators' registration with the host, the add-operator buttons and the
// scene queries that decide which operators take part in an evaluation.
#include "orogenix/operatorregistry.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "common/ogx_misc.h"
#include "host/core/log.h"
#include "host/scene/description.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_ids.h"

namespace
{
// Module strings.
constexpr Int32 IDS_REGISTERED_GENERATOR = 10017;   // "...: #" with the operator's name
constexpr Int32 IDS_REGISTERED_FILTER = 10018;
constexpr Int32 IDS_ADD_GENERATORS = 10020;
constexpr Int32 IDS_ADD_FILTERS = 10021;

constexpr const char* ADDOPERATOR_DESCRIPTION_NAME = "DaddOperator";
constexpr const char* BASEOPERATOR_DESCRIPTION_NAME = "Obaseterrainoperator";

// One button per operator of that kind, in registration order; the count of buttons added.
Result<Int> AddButtons(Description* description, const ParameterId* singleId, TERRAINOPERATORFLAGS kind)
{
  Int count = 0;
  for (const OperatorRegistryEntry& entry : g_operatorRegistry)
  {
    if (!HasFlags(static_cast<TERRAINOPERATORFLAGS>(entry.flags), kind))
      continue;
    // The button's id is the operator's plug-in id, and so is its icon's.
    if (!AddDescriptionIconCycleParameter(description, singleId, entry.id, entry.name, ID_OGX_ADDOPERATOR_GROUP,
                                          entry.id, true))
      return UnexpectedError("Could not add an add-operator button!");
    ++count;
  }
  return count;
}
} // namespace

BaseArray<OperatorRegistryEntry> g_operatorRegistry;

Bool RegisterTerrainOperator(Int32 id, const String& name, TERRAINOPERATORFLAGS flags, DataAllocator allocator,
                             const String& descriptionName, BaseBitmap* icon, Int32 diskLevel, Int32 sortOrder)
{
  // The line comes first, so a refused operator still shows up in the console.
  const Bool generator = HasFlags(flags, TERRAINOPERATORFLAGS::TYPE_GENERATOR);
  ConsolePrint(GeLoadString(generator ? IDS_REGISTERED_GENERATOR : IDS_REGISTERED_FILTER, name));

  for (const OperatorRegistryEntry& entry : g_operatorRegistry)
  {
    if (entry.id == id)
    {
      const Error error = UnexpectedError("OGX: Operator with this id already registered!");
      ConsolePrint(error.GetText());
      return false;
    }
  }

  Result<void> appended = g_operatorRegistry.Append(OperatorRegistryEntry{id, name, static_cast<Int32>(flags)});
  if (appended.IsError())
  {
    ConsolePrint(appended.GetError().GetText());
    return false;
  }

  // The host stores one level more than the operator's own, so that level 0 marks scenes written before
  // the operators had levels of their own.
  if (RegisterObjectPlugin(id, MenuSortPrefix(sortOrder) + name, OBJECT_GENERATOR, allocator, descriptionName, icon,
                           diskLevel + 1))
    return true;
  g_operatorRegistry.Erase(g_operatorRegistry.GetCount() - 1);
  return false;
}

void ReleaseRegistryEntries()
{
  for (Int i = g_operatorRegistry.GetCount() - 1; i >= 0; --i)
    g_operatorRegistry.Erase(i);
  g_operatorRegistry.Reset();
}

Bool AddOperatorButtons(Description* description, Bool open)
{
  if (!description)
    return false;

  // The group keeps what the description resource says about it; only its open state is ours. A
  // description without the group (its resource lacks "DaddOperator") gets a bare one.
  BaseContainer group;
  if (const BaseContainer* existing =
        static_cast<const Description*>(description)->GetParameterContainer(ParameterId(ID_OGX_ADDOPERATOR_GROUP)))
    group = *existing;
  group.SetBool(DESC_GROUPOPEN, open);
  if (!description->SetParameter(ParameterId(ID_OGX_ADDOPERATOR_GROUP, DTYPE_GROUP), group, DESCGROUP_PROPERTIES))
    return false;

  // Two columns: each title shares its row with an empty entry, the generators fill whole rows, and the
  // empty entries close the last generator row and leave one empty row before the filters.
  const ParameterId* singleId = description->GetSingleId();
  const Int32 parent = ID_OGX_ADDOPERATOR_GROUP;
  if (!AddDescriptionTitleEntry(description, singleId, parent, ID_OGX_ADDOPERATOR_GENERATORS_TITLE,
                                GeLoadString(IDS_ADD_GENERATORS), false) ||
      !AddDescriptionStaticEntry(description, singleId, parent, ID_OGX_ADDOPERATOR_GENERATORS_SPACER, String()))
    return false;

  Result<Int> generators = AddButtons(description, singleId, TERRAINOPERATORFLAGS::TYPE_GENERATOR);
  if (generators.IsError())
    return false;

  const Int32 fillers = generators.GetValue() % 2 == 1 ? 3 : 2;
  for (Int32 i = 0; i < fillers; ++i)
    if (!AddDescriptionStaticEntry(description, singleId, parent, ID_OGX_ADDOPERATOR_FILLER_FIRST + i, String()))
      return false;

  if (!AddDescriptionTitleEntry(description, singleId, parent, ID_OGX_ADDOPERATOR_FILTERS_TITLE,
                                GeLoadString(IDS_ADD_FILTERS), false) ||
      !AddDescriptionStaticEntry(description, singleId, parent, ID_OGX_ADDOPERATOR_FILTERS_SPACER, String()))
    return false;

  return AddButtons(description, singleId, TERRAINOPERATORFLAGS::TYPE_FILTER).IsOk();
}

Bool IsRegisteredOperator(Int32 id)
{
  for (const OperatorRegistryEntry& entry : g_operatorRegistry)
    if (entry.id == id)
      return true;
  return false;
}

Bool InsertOperator(BaseObject* target, Int32 operatorId, Bool asChild)
{
  if (!target)
    return false;
  // Without a document there is no undo to record the new object in; nothing is made.
  BaseDocument* doc = target->GetDocument();
  if (!doc)
    return false;
  BaseObject* op = BaseObject::Alloc(operatorId);
  if (!op)
    return false;

  doc->StartUndo();
  const Bool inserted = asChild ? op->InsertUnderLast(target) : op->InsertAfter(target);
  if (!inserted)
  {
    doc->EndUndo();
    BaseObject::Free(op);
    return false;
  }
  if (asChild)
    target->ChangeNBit(NBIT::OM1_FOLD, NBITCONTROL::SET);

  op->Message(MSG_UPDATE);
  // The new operator becomes the selected object, so its parameters are what the user sees next.
  doc->SetActiveObject(op, SELECTION::NEW);
  doc->AddUndo(UNDOTYPE::NEWOBJ, op);
  doc->EndUndo();
  EventAdd();
  return true;
}

Bool RegisterAddOperatorDescription()
{
  return RegisterDescription(ID_OGX_ADDOPERATOR_DESCRIPTION, ADDOPERATOR_DESCRIPTION_NAME);
}

Bool RegisterBaseTerrainOperatorDescription()
{
  return RegisterDescription(ID_OGX_TERRAINOPERATOR_BASE, BASEOPERATOR_DESCRIPTION_NAME);
}

Bool RegisterOperatorIcons()
{
  for (const BlendModeIcon& icon : BLENDMODE_ICONS)
    if (!RegisterSheetIcon(icon.iconId, BlendModeIconSheet(), icon.x, icon.y))
      return false;
  return true;
}

BaseObject* FindParentTerrainObject(BaseObject* op)
{
  if (!op)
    return nullptr;
  for (BaseObject* up = op->GetUp(); up; up = up->GetUp())
    if (up->GetType() == ID_OGX_TERRAINOBJECT)
      return up;
  return nullptr;
}

Bool IsOperatorActive(BaseObject* op, HierarchyContext* hh)
{
  if (!op || !op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE) || !op->IsEnabled())
    return false;
  // An external render follows the render switch alone; every other build the editor switch.
  if (GetBuildReason(hh) == BUILDREASON::EXTERNALRENDER)
    return op->GetRenderMode() != MODE::OFF;
  return op->GetEditorMode() != MODE::OFF;
}
