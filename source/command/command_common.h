// What the module's menu commands share: their registration with an icon from the main sheet, the
// document's active objects in a host object array, one undo step that is closed on every way out, and
// the console report of an error a command cannot pass on.
//
// Commands run on the host's main thread, with the document the host hands them.
#pragma once

#include <functional>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/scene/document.h"
#include "host/scene/plugins.h"

// What a command registers with: its plug-in id, the main-sheet cell of its icon, and the strings of its
// menu name and help text.
struct OgxCommandInfo
{
  Int32 id;
  Int32 iconX;
  Int32 iconY;
  Int32 nameId;
  Int32 helpId;
};
// Makes a command's instance (null when memory cannot be had).
using CommandAllocator = CommandData* (*)();

// Registers the command's icon, then the command made by make under the menu name "sort prefix of
// sortOrder + name string", with its help string. False when the icon or the command is refused.
Bool RegisterOgxCommand(const OgxCommandInfo& info, Int32 sortOrder, CommandAllocator make);
// A pair of commands: both icons first, then the first command at sortOrder and, when that succeeded,
// the second at sortOrder + 1.
Bool RegisterOgxCommandPair(const OgxCommandInfo& first, CommandAllocator makeFirst, const OgxCommandInfo& second,
                            CommandAllocator makeSecond, Int32 sortOrder);

// The document's active objects (hierarchy order) in a host object array that the wrapper frees.
class ActiveObjects
{
public:
  // Null Get() when the document is null or the array cannot be allocated.
  explicit ActiveObjects(BaseDocument* doc);
  ~ActiveObjects();
  ActiveObjects(const ActiveObjects&) = delete;
  ActiveObjects& operator=(const ActiveObjects&) = delete;

  AtomArray* Get() const { return _array; }

private:
  AtomArray* _array = nullptr;
};

// One undo step of the document, opened by the constructor and closed by the destructor, so that no
// way out of a command (an error, a failed allocation) leaves the step open.
class ScopedUndo
{
public:
  explicit ScopedUndo(BaseDocument* doc) : _doc(doc) { _doc->StartUndo(); }
  ~ScopedUndo() { _doc->EndUndo(); }
  ScopedUndo(const ScopedUndo&) = delete;
  ScopedUndo& operator=(const ScopedUndo&) = delete;

private:
  BaseDocument* _doc;
};

// Prints the error's text to the host console and answers false.
Bool ReportCommandError(const Error& error);

// Collects a command's targets from the active objects.
using CollectTargetsFn = std::function<Result<void>(const AtomArray* activeObjects, BaseArray<BaseObject*>& out)>;
// Changes one target (recording its undo entry).
using ChangeTargetFn = std::function<Result<void>(BaseObject* target)>;

// The Execute of a command that changes each of its targets: false when the active objects cannot be
// had; a collection error or the first change error is printed to the console and answers false (the
// undo step closed, the changes made before it kept in the step); otherwise every target changed in one
// undo step, a redraw requested, true.
Bool ExecuteOnTargets(BaseDocument* doc, const CollectTargetsFn& collect, const ChangeTargetFn& change);
// The GetState of such a command: CMD_ENABLED when the collection finds a target, else 0 (a collection
// error printed to the console).
Int32 GetTargetsState(BaseDocument* doc, const CollectTargetsFn& collect);
