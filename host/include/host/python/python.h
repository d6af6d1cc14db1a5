// The host's embedded Python interpreter as a module reaches it: the language registry, which hands
// out a virtual machine by its id, and the script objects made from one (Init with a name and source,
// string globals, a synchronous Execute).
//
// The interpreter is a real CPython 3, started on the first lookup and kept for the rest of the process
// (host::ShutdownPython ends it; the front end calls it before it exits). Scripts see the host's own
// modules:
//   c4d            BaseContainer (Int32, Float and String values, sub-containers), the world container
//                  (GetWorldContainerInstance, live: the same container the C++ side reads),
//                  SpecialEventAdd (a core event, see host/scene/coreevents.h), c4d.threading.C4DThread
//                  (a real thread: Start runs Main; daemon threads, so no shutdown waits on one) and
//                  c4d.storage.GeGetStartupPath (the host's installation folder);
//   urllib2        Request, urlopen, HTTPError and URLError over urllib.request; string request bodies
//                  are sent as UTF-8, and urlopen's cafile is honoured through an SSL context.
// What scripts print goes to the host console, line by line.
//
// Threads: a script runs on the thread that calls Execute, holding the interpreter's lock while Python
// code runs (blocking I/O releases it). The c4d bindings release the interpreter's lock before they take
// the world container's lock (WorldContainerLock), so the two are always taken in that order and a
// thread waiting for the world container never holds up the interpreter. The interpreter is started and
// shut down on the host's main thread.
#pragma once

#include <memory>
#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"

// The id under which the host registers its Python interpreter.
inline constexpr const char* PYTHON_VIRTUALMACHINE_ID = "net.maxon.python.virtualmachine.c4dpy27";

class PythonScript
{
public:
  ~PythonScript();
  PythonScript(const PythonScript&) = delete;
  PythonScript& operator=(const PythonScript&) = delete;

  // Compiles source under the script's name. A syntax error is an error carrying the interpreter's text.
  Result<void> Init(const String& name, const String& source);
  // A string global the script sees when it runs (set after Init, before Execute).
  Result<void> SetString(const String& name, const String& value);
  // Runs the compiled script to its end on the calling thread. An exception the script does not catch
  // (SystemExit included: a script never ends the host) is an error whose message is the interpreter's
  // text, "<exception type>: <message>".
  Result<void> Execute();

private:
  friend class VirtualMachine;
  PythonScript();
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

class VirtualMachine
{
public:
  // A new script object of this interpreter.
  Result<std::unique_ptr<PythonScript>> CreateScript();
};

// The language registry: the virtual machine registered under id. Errors: an unknown id, or an
// interpreter that cannot be started or has been shut down.
Result<VirtualMachine*> FindVirtualMachine(const String& id);

namespace host
{
// One script run, as the interpreter saw it.
struct PythonScriptRecord
{
  String name;
  String source;
  std::vector<std::pair<String, String>> globals;   // string globals in the order they were set
  Bool executed = false;
  String error;   // the interpreter's text when Execute failed
};

// Number of FindVirtualMachine calls since the last reset.
Int GetVirtualMachineLookupCount();
// Test switch: while set, the registry has no virtual machine.
void SetVirtualMachineMissing(Bool missing);
// Test switch: makes the next Init fail (once).
void FailNextScriptInit();
// Every script initialised since the last reset, in order.
std::vector<PythonScriptRecord> GetPythonScripts();
// Clears the counter, the switches and the record (the interpreter keeps running).
void ResetPythonRecords();

// The host's installation folder: where the host library lies (resource/ssl/cacert.pem is below it).
Url GetInstallationDirectory();

// Whether the interpreter is running.
Bool IsPythonRunning();
// Ends the interpreter for good: later lookups fail. Threads a script started that are still running
// are not waited for.
void ShutdownPython();
} // namespace host
