// The group and ungroup commands. Group Operators puts the selected terrain operators, in the order of
// the selection, under a new group operator that takes the place of the first of them; Ungroup Operators
// moves the children of the active group operator out next to it, in their order, selects them and
// deletes the group. Each is one undo step.
#pragma once

#include "host/scene/document.h"
#include "host/scene/plugins.h"

class BaseObject;

inline constexpr Int32 ID_OGX_GROUPOPERATORS_COMMAND = 1054797;
inline constexpr Int32 ID_OGX_UNGROUPOPERATORS_COMMAND = 1055911;

class GroupOperatorsCommand : public CommandData
{
public:
  Bool Execute(BaseDocument* doc) override;
  // Enabled when something is selected and every selected object is a terrain operator.
  Int32 GetState(BaseDocument* doc) override;
};

class UngroupOperatorsCommand : public CommandData
{
public:
  Bool Execute(BaseDocument* doc) override;
  // Enabled when the active object is a group operator.
  Int32 GetState(BaseDocument* doc) override;
};

// Groups the terrain operators among objects (in their order) under a new group operator inserted right
// before the first entry and selected, in one undo step; the grouped operators are deselected. An
// operator that holds the place the group went to (an ancestor of the first entry) stays where it is:
// a node never goes into its own subtree. The new group, or null when there is no first entry or the
// group cannot be made (nothing changed then).
BaseObject* GroupOperators(BaseDocument* doc, const AtomArray& objects);
// Moves group's children out right after it, keeping their order and selecting them, then deletes the
// group, in one undo step. False for a null document or an object that is no group operator.
Bool UngroupOperators(BaseDocument* doc, BaseObject* group);

// Register each command with its icon (main sheet cells (192, 64) and (384, 64)).
Bool RegisterGroupOperatorsCommand(Int32 sortOrder);
Bool RegisterUngroupOperatorsCommand(Int32 sortOrder);
