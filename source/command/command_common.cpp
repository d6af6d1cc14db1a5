#include "command/command_common.h"

#include "common/ogx_gui.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"

Bool RegisterOgxCommand(Int32 id, Int32 sortOrder, Int32 nameId, Int32 helpId, CommandData* dat)
{
  // The host looks at the copy during the call only; the library keeps its own icon.
  BaseBitmap* icon = CopyIcon(id);
  const Bool registered =
    RegisterCommandPlugin(id, MenuSortPrefix(sortOrder) + GeLoadString(nameId), 0, icon, GeLoadString(helpId), dat);
  BaseBitmap::Free(icon);
  return registered;
}

ActiveObjects::ActiveObjects(BaseDocument* doc)
{
  if (!doc)
    return;
  _array = AtomArray::Alloc();
  if (_array)
    doc->GetActiveObjects(*_array, GETACTIVEOBJECTFLAGS::NONE);
}

ActiveObjects::~ActiveObjects()
{
  AtomArray::Free(_array);
}

Bool ReportCommandError(const Error& error)
{
  ConsolePrint(error.GetText());
  return false;
}

Bool ExecuteOnTargets(BaseDocument* doc, const CollectTargetsFn& collect, const ChangeTargetFn& change)
{
  ActiveObjects active(doc);
  if (!active.Get())
    return false;
  BaseArray<BaseObject*> targets;
  if (Result<void> collected = collect(active.Get(), targets); collected.IsError())
    return ReportCommandError(collected.GetError());
  {
    ScopedUndo undo(doc);
    for (BaseObject* target : targets)
      if (Result<void> changed = change(target); changed.IsError())
        return ReportCommandError(changed.GetError());
  }
  EventAdd();
  return true;
}

Int32 GetTargetsState(BaseDocument* doc, const CollectTargetsFn& collect)
{
  ActiveObjects active(doc);
  if (!active.Get())
    return 0;
  BaseArray<BaseObject*> targets;
  if (Result<void> collected = collect(active.Get(), targets); collected.IsError())
  {
    ReportCommandError(collected.GetError());
    return 0;
  }
  return targets.IsEmpty() ? 0 : CMD_ENABLED;
}
