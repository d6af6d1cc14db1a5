#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/python/python.h"
#include "host/scene/coreevents.h"
#include "host/scene/hierarchy.h"

namespace
{
constexpr Int32 ID_LISTENER = 1099301;

// Runs source as a script of the host's interpreter; the interpreter's error text on failure.
Result<void> RunScript(const String& source, const std::vector<std::pair<String, String>>& globals = {})
{
  VirtualMachine* vm = HOST_TRY(FindVirtualMachine(PYTHON_VIRTUALMACHINE_ID));
  std::unique_ptr<PythonScript> script = HOST_TRY(vm->CreateScript());
  HOST_TRY(script->Init("Test Script", source));
  for (const auto& [name, value] : globals)
    HOST_TRY(script->SetString(name, value));
  return script->Execute();
}

String RunError(const String& source)
{
  const Result<void> r = RunScript(source);
  return r.IsError() ? r.GetError().GetText() : String("(no error)");
}

// Records every core event it gets, with the thread it got it on.
class Listener : public MessageData
{
public:
  struct Received
  {
    Int32 id;
    Int64 p1;
    std::thread::id thread;
  };
  static inline std::vector<Received> received;
  Bool CoreMessage(Int32 id, const BaseContainer& bc) override
  {
    received.push_back({id, bc.GetInt64(BFM_CORE_PAR1), std::this_thread::get_id()});
    return true;
  }
};

class PythonTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetCoreEvents();
    host::ResetPythonRecords();
    Listener::received.clear();
  }
  void TearDown() override
  {
    host::ResetCoreEvents();
    host::ResetSceneState();
  }

  // Pumps events until count have been delivered or ten seconds pass.
  static void PumpUntil(std::size_t count)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Listener::received.size() < count && std::chrono::steady_clock::now() < deadline)
    {
      host::WaitForCoreEvent(std::chrono::milliseconds(50));
      host::ProcessCoreEvents();
    }
  }
};

TEST_F(PythonTest, TheRegistryKnowsOnlyTheHostInterpreterAndCountsLookups)
{
  EXPECT_TRUE(FindVirtualMachine(PYTHON_VIRTUALMACHINE_ID).IsOk());
  const Result<VirtualMachine*> other = FindVirtualMachine("net.maxon.python.virtualmachine.other");
  ASSERT_TRUE(other.IsError());
  EXPECT_EQ(other.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  host::SetVirtualMachineMissing(true);
  EXPECT_TRUE(FindVirtualMachine(PYTHON_VIRTUALMACHINE_ID).IsError());
  host::SetVirtualMachineMissing(false);
  EXPECT_EQ(host::GetVirtualMachineLookupCount(), 3);
}

TEST_F(PythonTest, ScriptsRunWithTheirGlobalsAndPrintToTheConsole)
{
  ASSERT_TRUE(RunScript("print('name is ' + __name__)\nprint(greeting, end='')\n",
                  {{"__name__", "__main__"}, {"greeting", "hello \"world\"\n\\"}})
                .IsOk());
  EXPECT_EQ(host::Console().GetLines(), (std::vector<String>{"name is __main__", "hello \"world\"", "\\"}));
  const std::vector<host::PythonScriptRecord> scripts = host::GetPythonScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].name, "Test Script");
  EXPECT_TRUE(scripts[0].executed);
  EXPECT_EQ(scripts[0].globals.size(), 2u);
}

TEST_F(PythonTest, ErrorsCarryTheInterpretersText)
{
  struct Case
  {
    const char* source;
    const char* text;
  };
  const Case cases[] = {
    {"undefined_name\n", "NameError: name 'undefined_name' is not defined"},
    {"raise ValueError('bad value')\n", "ValueError: bad value"},
    {"raise RuntimeError\n", "RuntimeError"},
    // A script never ends the host.
    {"import sys\nsys.exit(3)\n", "SystemExit: 3"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunError(c.source), c.text) << c.source;

  // A syntax error is found by Init.
  VirtualMachine* vm = FindVirtualMachine(PYTHON_VIRTUALMACHINE_ID).GetValue();
  std::unique_ptr<PythonScript> script = vm->CreateScript().GetValue();
  const Result<void> init = script->Init("Broken", "def (:\n");
  ASSERT_TRUE(init.IsError());
  EXPECT_NE(init.GetError().GetText().find("SyntaxError"), String::npos);
  EXPECT_TRUE(script->Execute().IsError());

  host::FailNextScriptInit();
  EXPECT_TRUE(RunScript("pass\n").IsError());
  EXPECT_TRUE(RunScript("pass\n").IsOk());
}

TEST_F(PythonTest, TheWorldContainerIsTheOneTheHostReads)
{
  GetWorldContainerInstance()->SetInt32(1001, 7);
  ASSERT_TRUE(RunScript(R"(
import c4d
world = c4d.GetWorldContainerInstance()
assert world.GetInt32(1001) == 7
assert world.GetContainerInstance(1056463) is None
world.SetContainer(1056463, c4d.BaseContainer())
main = world.GetContainerInstance(1056463)
bc = c4d.BaseContainer()
bc.SetInt32(2000, 404)
bc.SetString(2001, "h\u00e9")
bc.SetString(2002, b"raw \xff bytes")
main.SetContainer(5, bc)
# A view follows the container it names, not a copy of it.
main.GetContainerInstance(5).SetInt32(2000, 200)
assert main.GetContainerInstance(5).GetInt32(2000) == 200
assert main.GetContainerInstance(5).GetString(2002) == "raw \udcff bytes"
assert 5 in main and 6 not in main
)")
                .IsOk());
  const BaseContainer* main = GetWorldContainerInstance()->GetContainerInstance(1056463);
  ASSERT_NE(main, nullptr);
  const BaseContainer* response = main->GetContainerInstance(5);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetInt32(2000), 200);
  EXPECT_EQ(response->GetString(2001), "h\xc3\xa9");
  EXPECT_EQ(response->GetString(2002), "raw \xff bytes");
}

TEST_F(PythonTest, AViewOfARemovedContainerRaises)
{
  EXPECT_EQ(RunError(R"(
import c4d
world = c4d.GetWorldContainerInstance()
world.SetContainer(77, c4d.BaseContainer())
view = world.GetContainerInstance(77)
world.RemoveData(77)
view.SetInt32(1, 1)
)"),
            "ValueError: The container does not exist any more.");
}

TEST_F(PythonTest, EventsPostedFromScriptThreadsArriveOnTheMainThreadEachOnce)
{
  ASSERT_TRUE(RegisterMessagePlugin(ID_LISTENER, String(), 0, NewObj<Listener>()));
  ASSERT_TRUE(RunScript(R"(
import c4d, threading

class Poster(c4d.threading.C4DThread):
    def Main(self):
        assert threading.current_thread() is not threading.main_thread()
        # The same event twice: both must arrive.
        c4d.SpecialEventAdd(1056466, 9)
        c4d.SpecialEventAdd(1056466, 9)
        c4d.SpecialEventAdd(1056466, 10)

poster = Poster()
poster.Start()
poster.Wait()
)")
                .IsOk());
  EXPECT_EQ(host::GetPendingCoreEventCount(), 3);
  EXPECT_TRUE(Listener::received.empty()) << "events wait for the pump";
  PumpUntil(3);
  ASSERT_EQ(Listener::received.size(), 3u);
  EXPECT_EQ(Listener::received[0].p1, 9);
  EXPECT_EQ(Listener::received[1].p1, 9);
  EXPECT_EQ(Listener::received[2].p1, 10);
  for (const Listener::Received& r : Listener::received)
  {
    EXPECT_EQ(r.id, 1056466);
    EXPECT_EQ(r.thread, std::this_thread::get_id());
  }
}

TEST_F(PythonTest, ScriptThreadsAndTheHostShareTheWorldContainerSafely)
{
  // A script thread writes responses while the main thread reads them under the world container's lock
  // (the thread sanitizer build checks the order).
  ASSERT_TRUE(RegisterMessagePlugin(ID_LISTENER, String(), 0, NewObj<Listener>()));
  ASSERT_TRUE(RunScript(R"(
import c4d

class Writer(c4d.threading.C4DThread):
    def Main(self):
        world = c4d.GetWorldContainerInstance()
        for i in range(200):
            bc = c4d.BaseContainer()
            bc.SetInt32(2000, i)
            world.SetContainer(4242, bc)
        c4d.SpecialEventAdd(1056466, 200)

Writer().Start()
)")
                .IsOk());
  Int32 last = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Listener::received.empty() && std::chrono::steady_clock::now() < deadline)
  {
    {
      WorldContainerLock lock;
      const BaseContainer* bc = GetWorldContainerInstance()->GetContainerInstance(4242);
      const Int32 value = bc ? bc->GetInt32(2000) : -1;
      EXPECT_GE(value, last);
      last = value;
    }
    host::ProcessCoreEvents();
  }
  ASSERT_EQ(Listener::received.size(), 1u);
  WorldContainerLock lock;
  EXPECT_EQ(GetWorldContainerInstance()->GetContainerInstance(4242)->GetInt32(2000), 199);
}

TEST_F(PythonTest, Urllib2AndTheInstallationPathAreThere)
{
  ASSERT_TRUE(RunScript(R"(
import c4d, os, urllib2
assert issubclass(urllib2.HTTPError, urllib2.URLError)
request = urllib2.Request("http://127.0.0.1:1/x", "body \u00e9", {"X-Test": "1"})
assert request.data == "body \u00e9".encode("utf-8")
assert request.get_method() == "POST"
assert urllib2.Request("http://127.0.0.1:1/x").get_method() == "GET"
c4d.GetWorldContainerInstance().SetString(1, c4d.storage.GeGetStartupPath())
)")
                .IsOk());
  const Url installation(GetWorldContainerInstance()->GetString(1));
  EXPECT_EQ(installation, host::GetInstallationDirectory());
  EXPECT_TRUE(installation.Append("resource").Append("ssl").Append("cacert.pem").Exists() ||
              !std::filesystem::exists("/etc/ssl/certs/ca-certificates.crt"));
}

// A module file that any import of ogx_probe_module would find in dir.
std::filesystem::path MakeProbeModule(const char* name)
{
  const std::filesystem::path dir =
    std::filesystem::temp_directory_path() / (std::string(name) + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "ogx_probe_module.py") << "raise SystemExit('the probe module ran')\n";
  return dir;
}

TEST_F(PythonTest, ScriptsImportNothingFromTheWorkingDirectory)
{
  // A file named like a module the scripts import (webbrowser, json) in whatever folder the host was
  // started from must not run in the host.
  const std::filesystem::path dir = MakeProbeModule("ogx-python-cwd-");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const String error = RunError("import ogx_probe_module\n");
  std::filesystem::current_path(before);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(error, "ModuleNotFoundError: No module named 'ogx_probe_module'");
}

TEST_F(PythonTest, TheUsersPythonVariablesDoNotReachTheHostsInterpreter)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::filesystem::path dir = MakeProbeModule("ogx-python-env-");
  // In a process of its own, so the interpreter starts after the variables are set.
  EXPECT_EXIT(
    {
      ::setenv("PYTHONPATH", dir.c_str(), 1);
      ::setenv("PYTHONSTARTUP", (dir / "ogx_probe_module.py").c_str(), 1);
      const String error = RunError("import ogx_probe_module\n");
      std::exit(error == "ModuleNotFoundError: No module named 'ogx_probe_module'" ? 0 : 3);
    },
    ::testing::ExitedWithCode(0), "");
  std::filesystem::remove_all(dir);
}

TEST_F(PythonTest, ShutdownDoesNotWaitForAHungScriptThread)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
    {
      const Result<void> r = RunScript(R"(
import c4d, time

class Sleeper(c4d.threading.C4DThread):
    def Main(self):
        time.sleep(600)

Sleeper().Start()
)");
      if (r.IsError())
        std::exit(2);
      host::ShutdownPython();
      std::exit(FindVirtualMachine(PYTHON_VIRTUALMACHINE_ID).IsError() ? 0 : 3);
    },
    ::testing::ExitedWithCode(0), "");
}
} // namespace
