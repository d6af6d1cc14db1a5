// The host's module loader: the start-up and shut-down sequences driven on a test module that records
// every call, the refusals on the way, the module record's hash check and release hook, and the command
// registration the modules use.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/app/moduleloader.h"
#include "host/core/log.h"
#include "host/scene/resource.h"
#include "host/scene/scene.h"
#include "testmodule.h"

namespace
{
const Url TEST_MODULE{String(OGX_TEST_MODULE_FILE)};

// What the test module wrote, without its prefix.
std::vector<String> ModuleLines()
{
  std::vector<String> out;
  const String prefix = TESTMODULE_PREFIX;
  for (const String& line : host::Diagnostics().GetLines())
    if (line.rfind(prefix, 0) == 0)
      out.push_back(line.substr(prefix.size()));
  return out;
}

void SetSetting(Int32 id, const GeData& value)
{
  BaseContainer settings = GetWorldContainerInstance()->GetContainer(TESTMODULE_SETTINGS);
  settings.SetData(id, value);
  GetWorldContainerInstance()->SetContainer(TESTMODULE_SETTINGS, settings);
}

std::vector<MODULEMESSAGE> Messages(const host::LoadedModule& module)
{
  std::vector<MODULEMESSAGE> out;
  for (const host::ModuleCall& call : module.GetCalls())
    out.push_back(call.message);
  return out;
}

class ModuleLoaderTest : public ::testing::Test
{
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset()
  {
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetModuleRecords();
    host::SetModuleDirectory(Url());
  }
  // The absolute path the loader opens and names in its errors.
  static String Path() { return String(std::filesystem::absolute(TEST_MODULE.GetPath()).lexically_normal().string()); }
};

TEST_F(ModuleLoaderTest, StartUpAndShutDownInOrder)
{
  Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE);
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText();
  host::LoadedModule& module = *loaded.GetValue();
  const String file = module.GetFile().GetString();
  const String dir = module.GetFile().GetDirectory().GetString();
  EXPECT_TRUE(std::filesystem::path(file.GetStd()).is_absolute());

  // The module got the host's version word, its own path, and already saw its directory on load.
  EXPECT_EQ(ModuleLines(), (std::vector<String>{"load 21200 " + file + " dir " + dir, "message 1", "start"}));
  EXPECT_EQ(Messages(module), (std::vector<MODULEMESSAGE>{MODULEMESSAGE::LOAD, MODULEMESSAGE::MESSAGE, MODULEMESSAGE::START}));
  EXPECT_EQ(GeGetPluginPath(), module.GetFile().GetDirectory());
  ASSERT_NE(host::FindPlugin(TESTMODULE_COMMAND_ID), nullptr);

  // A message id travels as the pointer-sized integer itself.
  EXPECT_EQ(module.SendMessage(1000), -1);
  EXPECT_EQ(ModuleLines().back(), "message 1000");

  module.Unload();
  EXPECT_FALSE(module.IsLoaded());
  // END first; the module's command is destroyed before its code goes (the release hook of the module
  // record runs when the file is closed, last).
  const std::vector<String> lines = ModuleLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "end");
  EXPECT_EQ(lines[5], "command destroyed");
  EXPECT_EQ(host::FindPlugin(TESTMODULE_COMMAND_ID), nullptr);
  EXPECT_EQ(host::GetReleasedModuleIdentifiers(),
            (std::vector<String>{TESTMODULE_DEPENDENCY_B, TESTMODULE_DEPENDENCY_A}));
  EXPECT_TRUE(GeGetPluginPath().IsEmpty());
  EXPECT_EQ(module.SendMessage(1), -1);

  // A second Unload does nothing.
  module.Unload();
  EXPECT_EQ(ModuleLines().size(), 6u);
}

TEST_F(ModuleLoaderTest, RefusalsSkipTheLaterStepsAndStillEnd)
{
  struct Case
  {
    const char* name;
    Int32 setting;
    GeData value;
    const char* error;   // after "The module <file> "
    std::vector<String> lines;
  };
  const std::vector<Case> cases = {
    {"load refused", TESTMODULE_LOAD_ANSWER, GeData(Int32(-3)), "refused to load in this host (answer -3)",
     {"load", "end"}},
    {"load answers 0", TESTMODULE_LOAD_ANSWER, GeData(Int32(0)), "refused to load in this host (answer 0)",
     {"load", "end"}},
    {"resources fail", TESTMODULE_INIT_ANSWER, GeData(Int32(-1)), "could not load its resources",
     {"load", "message 1", "end"}},
    {"start fails", TESTMODULE_START_ANSWER, GeData(Int32(0)), "failed to start",
     {"load", "message 1", "start", "end", "command destroyed"}},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Reset();
    SetSetting(c.setting, c.value);
    const String file = Path();
    Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE);
    ASSERT_TRUE(loaded.IsError());
    EXPECT_EQ(loaded.GetError().GetText(), "The module " + file + " " + c.error);
    std::vector<String> lines = ModuleLines();
    for (String& line : lines)
      if (line.rfind("load ", 0) == 0)
        line = "load";
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(host::FindPlugin(TESTMODULE_COMMAND_ID), nullptr);
    EXPECT_TRUE(GeGetPluginPath().IsEmpty());
  }
}

TEST_F(ModuleLoaderTest, OnlyMinusOneFromMessageOneStopsTheStart)
{
  SetSetting(TESTMODULE_INIT_ANSWER, GeData(Int32(0)));
  Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE);
  ASSERT_TRUE(loaded.IsOk());
  const std::vector<host::ModuleCall>& calls = loaded.GetValue()->GetCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].id, MODULE_MESSAGE_INIT);
  EXPECT_EQ(calls[1].answer, 0);
  EXPECT_EQ(calls[2].message, MODULEMESSAGE::START);
}

TEST_F(ModuleLoaderTest, AHostTableOfAnyVersionReachesTheModule)
{
  HostFunctionTable old;
  old.version = 21199;
  Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE, &old);
  ASSERT_TRUE(loaded.IsOk());
  EXPECT_EQ(ModuleLines()[0].substr(0, 11), "load 21199 ");
}

TEST_F(ModuleLoaderTest, OpenErrors)
{
  const std::filesystem::path temp = std::filesystem::temp_directory_path() / "ogx_loader_test";
  std::filesystem::create_directories(temp);
  const std::filesystem::path garbage = temp / "garbage.so";
  {
    std::FILE* f = std::fopen(garbage.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a shared object", f);
    std::fclose(f);
  }
  const String missing = (temp / "missing.so").string();
  const String hostLibrary = String(OGX_HOST_LIBRARY_FILE);

  struct Case
  {
    Url file;
    String error;
    Bool prefixOnly;
  };
  const std::vector<Case> cases = {
    {Url(), "Cannot open the module: no file given", false},
    {Url(missing), "Cannot open the module " + missing + ": no such file", false},
    {Url(String(temp.string())), "Cannot open the module " + String(temp.string()) + ": it is a directory", false},
    {Url(String(garbage.string())), "Cannot open the module " + String(garbage.string()) + ": ", true},
    {Url(hostLibrary), hostLibrary + " is not a module: it has no c4d_main entry", false},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.file.GetString());
    Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(c.file);
    ASSERT_TRUE(loaded.IsError());
    if (c.prefixOnly)
      EXPECT_EQ(loaded.GetError().GetText().substr(0, c.error.size()), c.error);
    else
      EXPECT_EQ(loaded.GetError().GetText(), c.error);
  }
  EXPECT_TRUE(ModuleLines().empty());
  std::filesystem::remove_all(temp);
}

TEST_F(ModuleLoaderTest, ACutShortModuleIsRefusedBeforeTheDynamicLoaderSeesIt)
{
  // A copy of a real module cut at lengths from inside its header to one byte short of its end: each
  // is refused with a reason (the dynamic loader would map the missing part and die of SIGBUS).
  const std::filesystem::path temp = std::filesystem::temp_directory_path() / "ogx_loader_cut";
  std::filesystem::create_directories(temp);
  std::ifstream in(TEST_MODULE.GetPath(), std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(whole.size(), 4096u);
  for (const std::size_t length : {std::size_t{0}, std::size_t{4}, std::size_t{40}, std::size_t{64}, std::size_t{200},
                                   std::size_t{4096}, whole.size() / 3, whole.size() / 2, whole.size() - 1})
  {
    SCOPED_TRACE(length);
    const std::filesystem::path cut = temp / ("cut" + std::to_string(length) + ".so");
    std::ofstream(cut, std::ios::binary).write(whole.data(), static_cast<std::streamsize>(length));
    Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(Url(cut));
    ASSERT_TRUE(loaded.IsError());
    const String prefix = "Cannot open the module " + String(cut.string()) + ": ";
    EXPECT_EQ(loaded.GetError().GetText().substr(0, prefix.size()), prefix);
  }
  // The whole copy loads.
  const std::filesystem::path copy = temp / "whole.so";
  std::ofstream(copy, std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size()));
  Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(Url(copy));
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText();
  loaded.GetValue()->Unload();
  std::filesystem::remove_all(temp);
}

TEST_F(ModuleLoaderTest, TheModuleRecordIsCheckedBeforeAnyMessage)
{
  {
    Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE);
    ASSERT_TRUE(loaded.IsOk());
    const std::vector<host::PublishedModuleRecord> records = host::GetPublishedModuleRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].accepted);
    EXPECT_EQ(records[0].moduleIdentifier, TESTMODULE_IDENTIFIER);
    ASSERT_EQ(records[0].dependencies.size(), 2u);
    EXPECT_EQ(records[0].dependencies[0].identifier, TESTMODULE_DEPENDENCY_A);
    EXPECT_EQ(records[0].dependencies[1].identifier, TESTMODULE_DEPENDENCY_B);
  }
  Reset();
  SetSetting(TESTMODULE_BAD_HASH, GeData(true));
  const UInt64 good = host::HashModuleIdentifier(TESTMODULE_DEPENDENCY_A);
  const String file = Path();
  host::ResetModuleRecords();
  Result<std::unique_ptr<host::LoadedModule>> loaded = host::LoadedModule::Load(TEST_MODULE);
  ASSERT_TRUE(loaded.IsError());
  EXPECT_EQ(loaded.GetError().GetText(), "The module " + file + " was refused: its module record: dependency \"" +
                                           String(TESTMODULE_DEPENDENCY_A) + "\" has the hash " +
                                           String::UIntToString(good + 1) + ", expected " + String::UIntToString(good));
  EXPECT_TRUE(ModuleLines().empty());   // never called
  // Closing the refused file still ran its release hook.
  EXPECT_EQ(host::GetReleasedModuleIdentifiers().size(), 2u);
}

TEST(ModuleRecordTest, PublicationChecks)
{
  host::ResetModuleRecords();
  const ModuleDependencyEntry good[] = {{"a.b", host::HashModuleIdentifier("a.b")}};
  const ModuleDependencyEntry unnamed[] = {{nullptr, 0}};
  struct Case
  {
    const char* id;
    const ModuleDependencyEntry* table;
    Int count;
    const char* refusal;
  };
  const std::vector<Case> cases = {
    {"m", good, 1, ""},
    {"m", nullptr, 0, ""},
    {nullptr, good, 1, "the module identifier is missing"},
    {"", good, 1, "the module identifier is missing"},
    {"m", good, -1, "the dependency count -1 is negative"},
    {"m", nullptr, 1, "the dependency table is missing"},
    {"m", unnamed, 1, "dependency 0 has no identifier"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.refusal);
    host::ResetModuleRecords();
    EXPECT_EQ(PublishModuleRecord(c.id, c.table, c.count), String(c.refusal).IsEmpty());
    ASSERT_EQ(host::GetPublishedModuleRecords().size(), 1u);
    EXPECT_EQ(host::GetPublishedModuleRecords()[0].refusal, c.refusal);
  }
  host::ResetModuleRecords();
}

TEST(ModuleRecordTest, HashMatchesAnIndependentReduction)
{
  // Reducing modulo 2^43 at every step gives the low 43 bits of the 64-bit hash.
  const auto reference = [](const std::string& s) {
    UInt64 h = 0;
    for (const unsigned char c : s)
      h = (h * 31 + c) % (UInt64(1) << 43);
    return (UInt64(s.size()) << 44) | h;
  };
  struct Case
  {
    std::string text;
    UInt64 expected;
  };
  const std::vector<Case> cases = {
    {"", 0},
    {"a", (UInt64(1) << 44) + 97},
    {"ab", (UInt64(2) << 44) + 97 * 31 + 98},
    {"net.maxon.core.framework", reference("net.maxon.core.framework")},
    {"net.maxon.mesh_misc.framework", reference("net.maxon.mesh_misc.framework")},
    {std::string(300, 'z'), reference(std::string(300, 'z'))},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.text);
    const UInt64 h = host::HashModuleIdentifier(c.text);
    EXPECT_EQ(h, c.expected);
    EXPECT_EQ(h & (UInt64(1) << 43), 0u);
  }
}

class CountingCommand : public CommandData
{
public:
  explicit CountingCommand(Int* destroyed, Int32 state = CMD_ENABLED) : _destroyed(destroyed), _state(state) {}
  ~CountingCommand() override { ++*_destroyed; }
  Bool Execute(BaseDocument*) override
  {
    ++executed;
    return true;
  }
  Int32 GetState(BaseDocument*) override { return _state; }
  Int executed = 0;

private:
  Int* _destroyed;
  Int32 _state;
};

TEST(CommandPluginTest, RegistrationOwnershipAndInvocation)
{
  host::ResetPlugins();
  Int destroyed = 0;
  auto* command = new CountingCommand(&destroyed);
  ASSERT_TRUE(RegisterCommandPlugin(2000001, "#$41Do", 0, nullptr, "Does it", command));
  const host::PluginEntry* entry = host::FindPlugin(2000001);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->type, PLUGINTYPE::COMMAND);
  EXPECT_EQ(entry->name, "#$41Do");
  EXPECT_EQ(entry->help, "Does it");
  EXPECT_EQ(host::GetCommandState(2000001, nullptr), CMD_ENABLED);
  EXPECT_TRUE(host::ExecuteCommand(2000001, nullptr));
  EXPECT_EQ(command->executed, 1);

  // A disabled command is not run; unknown ids answer 0 and false.
  ASSERT_TRUE(RegisterCommandPlugin(2000002, "Off", 0, nullptr, String(), new CountingCommand(&destroyed, 0)));
  EXPECT_FALSE(host::ExecuteCommand(2000002, nullptr));
  EXPECT_EQ(host::GetCommandState(2000003, nullptr), 0);
  EXPECT_FALSE(host::ExecuteCommand(2000003, nullptr));

  // A refused registration deletes the instance it was handed; a null instance is refused.
  EXPECT_FALSE(RegisterCommandPlugin(2000001, "Again", 0, nullptr, String(), new CountingCommand(&destroyed)));
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(RegisterCommandPlugin(2000004, "None", 0, nullptr, String(), nullptr));
  EXPECT_EQ(host::GetRegistrationLog().back().result, false);

  // The default command: enabled, does nothing.
  ASSERT_TRUE(RegisterCommandPlugin(2000005, "--", 0, nullptr, String(), new CommandData()));
  EXPECT_EQ(host::GetCommandState(2000005, nullptr), CMD_ENABLED);
  EXPECT_TRUE(host::ExecuteCommand(2000005, nullptr));

  host::ResetPlugins();
  EXPECT_EQ(destroyed, 3);
}

TEST(LogListenerTest, ListenersSeeEveryLineAndStatusCallAsItHappens)
{
  host::ResetLogs();
  std::vector<String> lines;
  std::vector<String> status;
  host::Console().SetListener([&](const String& line) { lines.push_back(line); });
  host::SetStatusListener([&](const host::StatusEvent& e) {
    status.push_back(e.kind == host::StatusEvent::KIND::TEXT  ? "text " + e.text
                     : e.kind == host::StatusEvent::KIND::BAR ? "bar " + String::IntToString(e.percent)
                                                             : String("clear"));
  });
  ConsolePrint("one");
  StatusSetText("Working");
  StatusSetBar(40);
  ConsolePrint("two");
  StatusClear();
  host::Console().SetListener(nullptr);
  host::SetStatusListener(nullptr);
  ConsolePrint("three");
  StatusSetText("after");
  EXPECT_EQ(lines, (std::vector<String>{"one", "two"}));
  EXPECT_EQ(status, (std::vector<String>{"text Working", "bar 40", "clear"}));
  EXPECT_EQ(host::Console().GetCount(), 3);
  host::ResetLogs();
}
} // namespace
