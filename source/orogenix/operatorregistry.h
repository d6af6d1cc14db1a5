// The operator registry: every operator type registers with the host through RegisterTerrainOperator,
// which also records it here in registration order. The terrain object and the group operator build
// their add-operator buttons from this list. Written only during start-up and end, on the host's main
// thread; read afterwards without a lock.
#pragma once

#include <iterator>

#include "host/core/basearray.h"
#include "host/core/string.h"
#include "host/scene/scene.h"

#include "orogenix/enums.h"

class BaseBitmap;
class HierarchyContext;

struct OperatorRegistryEntry
{
  Int32 id = 0;
  String name;
  Int32 flags = 0;   // TERRAINOPERATORFLAGS
};

// Description ids shared by the operators: the add-operator group and the base operator parameters.
inline constexpr Int32 ID_OGX_ADDOPERATOR_DESCRIPTION = 1055093;
// The add-operator button group in the terrain object's and group operator's descriptions.
inline constexpr Int32 ID_OGX_ADDOPERATOR_GROUP = 2099;
// The group's own entries besides the buttons (whose ids are the operators' plug-in ids): the two titles,
// the empty entry beside each title, and the empty entries that close the last generator row.
inline constexpr Int32 ID_OGX_ADDOPERATOR_GENERATORS_TITLE = 2100;
inline constexpr Int32 ID_OGX_ADDOPERATOR_GENERATORS_SPACER = 2101;
inline constexpr Int32 ID_OGX_ADDOPERATOR_FILLER_FIRST = 2102;   // up to three: 2102, 2103, 2104
inline constexpr Int32 ID_OGX_ADDOPERATOR_FILTERS_TITLE = 2105;
inline constexpr Int32 ID_OGX_ADDOPERATOR_FILTERS_SPACER = 2106;

// The icon of each blend mode, in BLENDMODE order, and its cell in the blend-mode icon sheet: ten in the
// top row, five in the second.
struct BlendModeIcon
{
  Int32 iconId;
  Int32 x;
  Int32 y;
};
inline constexpr BlendModeIcon BLENDMODE_ICONS[] = {
  {1055710, 0, 0},   {1055711, 64, 0},  {1055712, 128, 0}, {1055713, 192, 0}, {1055714, 256, 0},
  {1055715, 320, 0}, {1055716, 384, 0}, {1055717, 448, 0}, {1055718, 512, 0}, {1055719, 576, 0},
  {1056645, 0, 64},  {1056646, 64, 64}, {1056650, 128, 64}, {1056651, 192, 64}, {1056652, 256, 64},
};
static_assert(std::size(BLENDMODE_ICONS) == static_cast<std::size_t>(BLENDMODE::_BLENDMODE_COUNT));

// The module-wide registry, in registration order.
extern BaseArray<OperatorRegistryEntry> g_operatorRegistry;

// Prints the registration line, refuses a duplicate id, appends the entry and registers the object
// plug-in with the host (disk level + 1). False when refused or when the host refuses; an entry the host
// refused is taken out of the registry again, so no button offers an operator the host cannot make.
Bool RegisterTerrainOperator(Int32 id, const String& name, TERRAINOPERATORFLAGS flags, DataAllocator allocator,
                             const String& descriptionName, BaseBitmap* icon, Int32 diskLevel, Int32 sortOrder);
// Empties the registry, releasing the entries from the last to the first.
void ReleaseRegistryEntries();

// Fills group 2099 (shown open or closed) with a title and a button per registered generator, then a
// title and a button per registered filter, laid out for two columns. False for a null description or
// when an entry cannot be added.
Bool AddOperatorButtons(Description* description, Bool open);
// Whether an operator of that plug-in id is in the registry. The add-operator buttons' ids are the
// operators' plug-in ids; a command for any other id must not make an object of that type.
Bool IsRegisteredOperator(Int32 id);
// Inserts a new operator of that plug-in id as target's last child (asChild, unfolding target) or right
// after target, in one undo step, and selects it. False for a null target, a target in no document, an
// id that makes no object, or a refused insertion.
Bool InsertOperator(BaseObject* target, Int32 operatorId, Bool asChild);
// "DaddOperator" under 1055093 and "Obaseterrainoperator" under 1054564.
Bool RegisterAddOperatorDescription();
Bool RegisterBaseTerrainOperatorDescription();
// The fifteen blend-mode icons from the blend-mode icon sheet, stopping at the first failure.
Bool RegisterOperatorIcons();

// The nearest terrain object above op (op itself not included), or null.
BaseObject* FindParentTerrainObject(BaseObject* op);
// Whether op is an enabled operator visible for the kind of build hh describes.
Bool IsOperatorActive(BaseObject* op, HierarchyContext* hh);
