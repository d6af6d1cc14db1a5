// The host's module loader: opens a module file as a shared library, resolves its entry and drives the
// host's sequence on it.
//
// Start-up (LoadedModule::Load):
//   open the file; a module record refused while it was opened refuses the module
//   -> module directory := the file's folder
//   -> LOAD with the host table and the file's path
//   -> MESSAGE with id 1 (only when LOAD answered 1)
//   -> START (only when LOAD answered 1 and message 1 did not answer -1)
// Shut-down (Unload, also when a start-up step failed): END, then the registered plug-ins are dropped
// while the module's code is still mapped (their allocators and instances live in it), then the file is
// closed and the module directory cleared. Documents holding the module's objects must be freed before.
//
// The stand-in hosts one module at a time: dropping the plug-ins empties the whole plug-in table.
// Everything here is for the host's main thread.
#pragma once

#include <memory>
#include <vector>

#include "host/app/module.h"
#include "host/core/result.h"
#include "host/core/url.h"

namespace host
{
// A module file opened in this process with its entry resolved; the destructor closes it.
class ModuleLibrary
{
public:
  // Errors (ILLEGAL_ARGUMENT):
  //   "Cannot open the module: no file given"
  //   "Cannot open the module <file>: <reason>" (among the reasons: a file that is not a complete
  //   64-bit shared library, checked before it is handed to the dynamic loader, which would crash on a
  //   cut-short file)
  //   "<file> is not a module: it has no c4d_main entry"
  //   "The module <file> was refused: its module record: <why>"
  static Result<std::unique_ptr<ModuleLibrary>> Open(const Url& file);
  ~ModuleLibrary();
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;

  // The absolute path the module was opened from.
  const Url& GetFile() const { return _file; }
  // The path text handed to the module as LOAD's fourth argument (lives as long as this object).
  const char* GetPathText() const { return _pathText.c_str(); }
  // Calls the entry as it stands.
  Int32 Call(Int32 message, void* a = nullptr, void* b = nullptr, void* c = nullptr) const;
  Int32 Call(MODULEMESSAGE message, void* a = nullptr, void* b = nullptr, void* c = nullptr) const
  {
    return Call(static_cast<Int32>(message), a, b, c);
  }
  // MESSAGE with the id carried as a pointer-sized integer.
  Int32 SendMessage(Int32 id, void* data = nullptr) const;

private:
  ModuleLibrary(Url file, void* handle, ModuleEntryFunction entry);

  Url _file;
  String _pathText;
  void* _handle = nullptr;
  ModuleEntryFunction _entry = nullptr;
};

// One call the loader made and what the module answered.
struct ModuleCall
{
  MODULEMESSAGE message;
  Int32 id;       // the message id for MESSAGE, else 0
  Int32 answer;
};

// A module the host has loaded and started.
class LoadedModule
{
public:
  // The start-up sequence above. Errors (the module is shut down and closed first):
  //   those of ModuleLibrary::Open;
  //   "The module <file> refused to load in this host (answer <n>)"
  //   "The module <file> could not load its resources"
  //   "The module <file> failed to start"
  static Result<std::unique_ptr<LoadedModule>> Load(const Url& file,
                                                   const HostFunctionTable* table = GetHostFunctionTable());
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  // The shut-down sequence above; does nothing the second time.
  void Unload();
  Bool IsLoaded() const { return _library != nullptr; }

  const Url& GetFile() const { return _file; }
  // MESSAGE to the running module; -1 once it is unloaded.
  Int32 SendMessage(Int32 id, void* data = nullptr);
  // Every call made so far, in order.
  const std::vector<ModuleCall>& GetCalls() const { return _calls; }

private:
  explicit LoadedModule(std::unique_ptr<ModuleLibrary> library);
  Int32 Record(MODULEMESSAGE message, Int32 id, Int32 answer);

  std::unique_ptr<ModuleLibrary> _library;
  Url _file;
  std::vector<ModuleCall> _calls;
};
} // namespace host
