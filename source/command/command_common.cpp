#include "command/command_common.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"

namespace
{
// The command made by make, named and described, with a copy of its registered icon (the host looks at
// the copy during the call only; the library keeps its own icon).
Bool RegisterCommand(const OgxCommandInfo& info, Int32 sortOrder, CommandAllocator make)
{
  BaseBitmap* icon = CopyIcon(info.id);
  const Bool registered = RegisterCommandPlugin(info.id, MenuSortPrefix(sortOrder) + GeLoadString(info.nameId), 0,
                                                icon, GeLoadString(info.helpId), make());
  BaseBitmap::Free(icon);
  return registered;
}

Bool RegisterIcon(const OgxCommandInfo& info)
{
  return RegisterSheetIcon(info.id, MainIconSheet(), info.iconX, info.iconY);
}
} // namespace

Bool RegisterOgxCommand(const OgxCommandInfo& info, Int32 sortOrder, CommandAllocator make)
{
  return RegisterIcon(info) && RegisterCommand(info, sortOrder, make);
}

Bool RegisterOgxCommandPair(const OgxCommandInfo& first, CommandAllocator makeFirst, const OgxCommandInfo& second,
                            CommandAllocator makeSecond, Int32 sortOrder)
{
  return RegisterIcon(first) && RegisterIcon(second) && RegisterCommand(first, sortOrder, makeFirst) &&
         RegisterCommand(second, sortOrder + 1, makeSecond);
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
