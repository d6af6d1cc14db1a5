// The embedded interpreter: started on the first lookup, its lock released whenever no script runs, so
// that script threads (requests, servers in tests) can run between and during the host's own scripts.
#include "host/python/python.h"

#include <dlfcn.h>

#include <functional>
#include <mutex>

#include <pybind11/embed.h>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "internal.h"

namespace py = pybind11;

namespace
{
enum class STATE
{
  NOT_STARTED,
  RUNNING,
  FAILED,
  SHUT_DOWN,
};

struct Interpreter
{
  std::mutex mutex;
  STATE state = STATE::NOT_STARTED;
  String failure;
  PyThreadState* mainThreadState = nullptr;
  VirtualMachine machine;

  // Test records and switches.
  Int lookups = 0;
  Bool missing = false;
  Bool failNextInit = false;
  std::vector<host::PythonScriptRecord> scripts;
};

Interpreter& GetInterpreter()
{
  static Interpreter interpreter;
  return interpreter;
}

// Print and the tracebacks of threads that die go to the host console, as the host's own console shows
// what scripts print.
constexpr const char* CONSOLE_SETUP = R"(
import sys, c4d
sys.stdout = c4d._ConsoleWriter()
sys.stderr = sys.stdout
)";

// Starts the interpreter; called under the interpreter record's mutex.
void Start(Interpreter& in)
{
  try
  {
    // Isolated: the host's interpreter ignores the user's PYTHON* variables and site folder, puts
    // neither the working directory nor a program folder on its path (a webbrowser.py where the host
    // was started must not run in it), and leaves signals to the host.
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    py::initialize_interpreter(&config, 0, nullptr, false);
    py::exec(CONSOLE_SETUP);
  }
  catch (const std::exception& e)
  {
    in.state = STATE::FAILED;
    in.failure = String("The Python interpreter could not be started: ") + e.what();
    DiagnosticOutput(in.failure);
    return;
  }
  in.mainThreadState = PyEval_SaveThread();
  in.state = STATE::RUNNING;
}

// "<type>: <message>" of the exception being raised, which is cleared.
String TakeErrorText()
{
  py::error_already_set error;
  String text(py::str(error.type().attr("__name__")).cast<std::string>());
  const std::string message = py::str(error.value()).cast<std::string>();
  if (!message.empty())
    text += ": " + message;
  return text;
}

Bool IsRunning()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  return in.state == STATE::RUNNING;
}

void Record(Int index, const std::function<void(host::PythonScriptRecord&)>& change)
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  if (index >= 0 && index < static_cast<Int>(in.scripts.size()))
    change(in.scripts[static_cast<std::size_t>(index)]);
}
} // namespace

struct PythonScript::Impl
{
  String name;
  PyObject* code = nullptr;   // owned (a raw reference: pybind11's own types stay out of exported ones)
  std::vector<std::pair<String, String>> globals;
  Int record = -1;
};

PythonScript::PythonScript() : _impl(std::make_unique<Impl>()) {}

PythonScript::~PythonScript()
{
  // Once the interpreter is gone, so is whatever the reference pointed to.
  if (!_impl->code || !IsRunning())
    return;
  py::gil_scoped_acquire gil;
  Py_CLEAR(_impl->code);
}

Result<void> PythonScript::Init(const String& name, const String& source)
{
  Int record = -1;
  Bool fail = false;
  {
    Interpreter& in = GetInterpreter();
    std::lock_guard lock(in.mutex);
    if (in.state != STATE::RUNNING)
      return IllegalStateError("The Python interpreter is not running!");
    in.scripts.push_back({name, source, {}, false, String()});
    record = static_cast<Int>(in.scripts.size()) - 1;
    fail = std::exchange(in.failNextInit, false);
  }
  _impl->record = record;
  if (fail)
    return UnexpectedError("Script initialisation failed (test switch).");

  py::gil_scoped_acquire gil;
  PyObject* code = Py_CompileString(source.c_str(), name.c_str(), Py_file_input);
  if (!code)
    return UnexpectedError(TakeErrorText());
  _impl->name = name;
  Py_XDECREF(_impl->code);
  _impl->code = code;
  return OK;
}

Result<void> PythonScript::SetString(const String& name, const String& value)
{
  if (!_impl->code)
    return IllegalStateError("The script has not been initialised!");
  _impl->globals.emplace_back(name, value);
  Record(_impl->record, [&](host::PythonScriptRecord& r) { r.globals.emplace_back(name, value); });
  return OK;
}

Result<void> PythonScript::Execute()
{
  if (!_impl->code)
    return IllegalStateError("The script has not been initialised!");
  if (!IsRunning())
    return IllegalStateError("The Python interpreter is not running!");
  String error;
  {
    py::gil_scoped_acquire gil;
    try
    {
      // Each run gets globals of its own; functions a script leaves to its threads keep them alive.
      py::dict globals;
      globals["__builtins__"] = py::module_::import("builtins");
      for (const auto& [key, value] : _impl->globals)
        globals[py::str(key)] = host::python::ToPythonString(value);
      PyObject* result = PyEval_EvalCode(_impl->code, globals.ptr(), globals.ptr());
      if (result)
        Py_DECREF(result);
      else
        error = TakeErrorText();
      // Output a script left without a line feed still reaches the console.
      py::module_::import("sys").attr("stdout").attr("flush")();
    }
    catch (const std::exception& e)
    {
      error = e.what();
    }
  }
  Record(_impl->record, [&](host::PythonScriptRecord& r) {
    r.executed = true;
    r.error = error;
  });
  if (!error.IsEmpty())
    return UnexpectedError(error);
  return OK;
}

Result<std::unique_ptr<PythonScript>> VirtualMachine::CreateScript()
{
  if (host::AllocationShouldFail())
    return OutOfMemoryError("Could not allocate the script!");
  std::unique_ptr<PythonScript> script(new (std::nothrow) PythonScript());
  if (!script)
    return OutOfMemoryError("Could not allocate the script!");
  return script;
}

Result<VirtualMachine*> FindVirtualMachine(const String& id)
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  ++in.lookups;
  if (in.missing || id != PYTHON_VIRTUALMACHINE_ID)
    return IllegalArgumentError("No virtual machine is registered as " + id + "!");
  if (in.state == STATE::NOT_STARTED)
    Start(in);
  switch (in.state)
  {
    case STATE::RUNNING: return &in.machine;
    case STATE::FAILED: return UnexpectedError(in.failure);
    default: return IllegalStateError("The Python interpreter has been shut down!");
  }
}

namespace host
{
Int GetVirtualMachineLookupCount()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  return in.lookups;
}

void SetVirtualMachineMissing(Bool missing)
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  in.missing = missing;
}

void FailNextScriptInit()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  in.failNextInit = true;
}

std::vector<PythonScriptRecord> GetPythonScripts()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  return in.scripts;
}

void ResetPythonRecords()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  in.lookups = 0;
  in.missing = false;
  in.failNextInit = false;
  in.scripts.clear();
}

Url GetInstallationDirectory()
{
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetInstallationDirectory), &info) == 0 || !info.dli_fname)
    return Url();
  std::error_code ec;
  const std::filesystem::path library = std::filesystem::absolute(info.dli_fname, ec);
  return ec ? Url() : Url(library.parent_path());
}

Bool IsPythonRunning()
{
  return IsRunning();
}

void ShutdownPython()
{
  Interpreter& in = GetInterpreter();
  std::lock_guard lock(in.mutex);
  if (in.state != STATE::RUNNING)
  {
    if (in.state == STATE::NOT_STARTED)
      in.state = STATE::SHUT_DOWN;
    return;
  }
  PyEval_RestoreThread(in.mainThreadState);
  in.mainThreadState = nullptr;
  // Script threads are daemons: finalising does not wait for them, and one still blocked in a request
  // ends when the process does.
  py::finalize_interpreter();
  in.state = STATE::SHUT_DOWN;
}
} // namespace host

namespace host::python
{
String ToHostString(const py::handle& value)
{
  if (PyBytes_Check(value.ptr()))
    return String(py::reinterpret_borrow<py::bytes>(value).cast<std::string>());
  if (PyUnicode_Check(value.ptr()))
  {
    PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
    if (!bytes)
      throw py::error_already_set();
    return String(py::reinterpret_steal<py::bytes>(bytes).cast<std::string>());
  }
  throw py::type_error("a str or bytes value is expected");
}

py::str ToPythonString(const String& text)
{
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (!s)
    throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}
} // namespace host::python
