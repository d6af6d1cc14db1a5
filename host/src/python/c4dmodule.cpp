// The host's `c4d` module for scripts: containers, the live world container, core events, threads and
// the installation path.
//
// A script's container is either its own (a BaseContainer it made or copied) or a live view: the world
// container or a sub-container below it (or below a container of the script's own), reached again by its
// path of ids on every call, so a view never points at storage that has moved. Calls on world views run
// without the interpreter's lock and under WorldContainerLock, in that order, converting their
// arguments before and their results after.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include "host/core/log.h"
#include "host/python/python.h"
#include "host/scene/coreevents.h"
#include "host/scene/hierarchy.h"
#include "internal.h"

namespace py = pybind11;
using host::python::ToHostString;
using host::python::ToPythonString;

namespace
{
class ScriptContainer
{
public:
  // A new container of the script's own.
  explicit ScriptContainer(Int32 id = 0) : _own(std::make_shared<BaseContainer>(id)) {}
  // A view of the world container.
  static ScriptContainer World() { return ScriptContainer(nullptr, {}); }

  // Runs f on the container this object stands for (null when a sub-container on its path is gone)
  // and returns f's result. f must not touch Python objects.
  template <typename F>
  auto With(F&& f) const
  {
    if (_own)
      return f(Resolve(_own.get()));
    py::gil_scoped_release release;
    WorldContainerLock lock;
    return f(Resolve(GetWorldContainerInstance()));
  }

  // The view of the sub-container id below this one.
  ScriptContainer Below(Int32 id) const
  {
    std::vector<Int32> path = _path;
    path.push_back(id);
    return ScriptContainer(_own, std::move(path));
  }

private:
  ScriptContainer(std::shared_ptr<BaseContainer> own, std::vector<Int32> path)
    : _own(std::move(own)), _path(std::move(path))
  {
  }

  BaseContainer* Resolve(BaseContainer* root) const
  {
    BaseContainer* bc = root;
    for (const Int32 id : _path)
    {
      if (!bc)
        break;
      bc = bc->GetContainerInstance(id);
    }
    return bc;
  }

  std::shared_ptr<BaseContainer> _own;   // null: rooted at the world container
  std::vector<Int32> _path;
};

[[noreturn]] void ThrowGone()
{
  throw py::value_error("The container does not exist any more.");
}

// A copy of what the container holds.
BaseContainer Snapshot(const ScriptContainer& c)
{
  std::optional<BaseContainer> copy = c.With([](BaseContainer* bc) -> std::optional<BaseContainer> {
    if (!bc)
      return std::nullopt;
    return *bc;
  });
  if (!copy)
    ThrowGone();
  return std::move(*copy);
}

// Stores value under id.
void Store(const ScriptContainer& c, Int32 id, GeData value)
{
  const Bool stored = c.With([&](BaseContainer* bc) {
    if (!bc)
      return false;
    bc->SetData(id, std::move(value));
    return true;
  });
  if (!stored)
    ThrowGone();
}

// The value under id, or empty data when it is missing.
GeData Load(const ScriptContainer& c, Int32 id)
{
  std::optional<GeData> value = c.With([&](BaseContainer* bc) -> std::optional<GeData> {
    if (!bc)
      return std::nullopt;
    return bc->GetData(id);
  });
  if (!value)
    ThrowGone();
  return std::move(*value);
}

// The Python half of the module: the console writer and the threads.
constexpr const char* CONSOLE_WRITER_SOURCE = R"(
class _ConsoleWriter(object):
    """Sends what a script prints to the host console, one line per console line."""

    def __init__(self):
        self._buffer = ""

    def write(self, text):
        self._buffer += text
        while "\n" in self._buffer:
            line, self._buffer = self._buffer.split("\n", 1)
            _ConsolePrint(line)
        return len(text)

    def flush(self):
        if self._buffer:
            line, self._buffer = self._buffer, ""
            _ConsolePrint(line)
)";

constexpr const char* THREADING_SOURCE = R"(
import threading as _threading


class C4DThread(object):
    """A host thread: Start runs Main on a thread of its own. The threads are daemons, so the host never
    waits for one when it shuts down."""

    def __init__(self):
        self._thread = None
        self._break = False

    def Main(self):
        pass

    def Start(self):
        if self.IsRunning():
            return False
        self._break = False
        self._thread = _threading.Thread(target=self.Main, daemon=True)
        self._thread.start()
        return True

    def TestBreak(self):
        return self._break

    def End(self, wait=True):
        self._break = True
        if wait:
            self.Wait()

    def Wait(self, checkevents=False):
        if self._thread is not None:
            self._thread.join()

    def IsRunning(self):
        return self._thread is not None and self._thread.is_alive()
)";
} // namespace

PYBIND11_EMBEDDED_MODULE(c4d, m)
{
  m.doc() = "The host's services for scripts.";

  py::class_<ScriptContainer>(m, "BaseContainer")
    .def(py::init<Int32>(), py::arg("id") = 0)
    .def("GetId", [](const ScriptContainer& c) { return Snapshot(c).GetId(); })
    .def("GetInt32", [](const ScriptContainer& c, Int32 id, Int32 def) { return Load(c, id).GetInt32(def); },
         py::arg("id"), py::arg("default") = 0)
    .def("SetInt32", [](const ScriptContainer& c, Int32 id, Int32 v) { Store(c, id, GeData(v)); })
    .def("GetFloat", [](const ScriptContainer& c, Int32 id, Float def) { return Load(c, id).GetFloat(def); },
         py::arg("id"), py::arg("default") = 0.0)
    .def("SetFloat", [](const ScriptContainer& c, Int32 id, Float v) { Store(c, id, GeData(v)); })
    .def("GetBool", [](const ScriptContainer& c, Int32 id, Bool def) { return Load(c, id).GetBool(def); },
         py::arg("id"), py::arg("default") = false)
    .def("SetBool", [](const ScriptContainer& c, Int32 id, Bool v) { Store(c, id, GeData(v)); })
    .def("GetString",
         [](const ScriptContainer& c, Int32 id, py::object def) -> py::object {
           const GeData value = Load(c, id);
           if (value.GetType() != DA_STRING)
             return def;
           return ToPythonString(value.GetString());
         },
         py::arg("id"), py::arg("default") = py::str(""))
    .def("SetString",
         [](const ScriptContainer& c, Int32 id, const py::object& v) { Store(c, id, GeData(ToHostString(v))); })
    .def("GetContainer",
         [](const ScriptContainer& c, Int32 id) {
           const GeData value = Load(c, id);
           ScriptContainer copy(0);
           const BaseContainer* sub = value.GetContainer();
           copy.With([&](BaseContainer* bc) {
             if (sub)
               *bc = *sub;
             return true;
           });
           return copy;
         })
    .def("GetContainerInstance",
         [](const ScriptContainer& c, Int32 id) -> std::optional<ScriptContainer> {
           const Bool exists = c.With([&](BaseContainer* bc) { return bc && bc->GetContainerInstance(id) != nullptr; });
           if (!exists)
             return std::nullopt;
           return c.Below(id);
         })
    .def("SetContainer",
         [](const ScriptContainer& c, Int32 id, const ScriptContainer& value) {
           Store(c, id, GeData(Snapshot(value)));
         })
    .def("RemoveData",
         [](const ScriptContainer& c, Int32 id) {
           return c.With([&](BaseContainer* bc) { return bc && bc->RemoveData(id); });
         })
    .def("__contains__", [](const ScriptContainer& c, Int32 id) { return !Load(c, id).IsNil(); });

  m.def("GetWorldContainerInstance", [] { return ScriptContainer::World(); });
  m.def(
    "SpecialEventAdd",
    [](Int32 messageid, UInt p1, UInt p2) { return SpecialEventAdd(messageid, p1, p2); }, py::arg("messageid"),
    py::arg("p1") = 0, py::arg("p2") = 0);
  m.def("_ConsolePrint", [](const py::object& line) { ConsolePrint(ToHostString(line)); });
  py::exec(CONSOLE_WRITER_SOURCE, m.attr("__dict__"));

  py::module_ threading = m.def_submodule("threading", "Host threads.");
  py::exec(THREADING_SOURCE, threading.attr("__dict__"));
  py::module_ storage = m.def_submodule("storage", "Host files and folders.");
  storage.def("GeGetStartupPath", [] { return ToPythonString(host::GetInstallationDirectory().GetString()); });

  py::dict modules = py::module_::import("sys").attr("modules");
  modules["c4d.threading"] = threading;
  modules["c4d.storage"] = storage;
}
