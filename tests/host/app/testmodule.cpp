// A module built only for the loader's tests. Its entry writes every call it gets to the host's
// diagnostic output ("testmodule: load 21200 <path>", "testmodule: message 1", ...) and answers as the
// settings in the world container say (testmodule.h). It publishes a module record of two identifiers
// while it is opened and releases them when it is closed, and registers one command on start.
#include <cstdint>

#include "host/app/module.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/resource.h"
#include "host/scene/scene.h"
#include "testmodule.h"

namespace
{
void Say(const String& text)
{
  DiagnosticOutput(TESTMODULE_PREFIX + text);
}

BaseContainer Settings()
{
  return GetWorldContainerInstance()->GetContainer(TESTMODULE_SETTINGS);
}

class Record
{
public:
  Record()
  {
    const Bool bad = Settings().GetBool(TESTMODULE_BAD_HASH);
    _table[0] = {TESTMODULE_DEPENDENCY_A, host::HashModuleIdentifier(TESTMODULE_DEPENDENCY_A) + (bad ? 1 : 0)};
    _table[1] = {TESTMODULE_DEPENDENCY_B, host::HashModuleIdentifier(TESTMODULE_DEPENDENCY_B)};
    PublishModuleRecord(TESTMODULE_IDENTIFIER, _table, 2);
  }
  ~Record()
  {
    ReleaseModuleIdentifier(_table[1].identifier);
    ReleaseModuleIdentifier(_table[0].identifier);
  }

private:
  ModuleDependencyEntry _table[2];
};
const Record g_record;

class TestCommand : public CommandData
{
public:
  ~TestCommand() override { Say("command destroyed"); }
};
} // namespace

extern "C" __attribute__((visibility("default"))) Int32 c4d_main(Int32 message, void* a, void* b, void* c)
{
  (void)b;
  const BaseContainer settings = Settings();
  switch (message)
  {
    case 1:
    {
      const auto* table = static_cast<const HostFunctionTable*>(a);
      Say("load " + String::IntToString(table ? table->version : -1) + " " +
          String(c ? static_cast<const char*>(c) : "(null)") + " dir " + GeGetPluginPath().GetString());
      return settings.GetInt32(TESTMODULE_LOAD_ANSWER, 1);
    }
    case 2:
      Say("start");
      RegisterCommandPlugin(TESTMODULE_COMMAND_ID, "Test", 0, nullptr, String(), NewObj<TestCommand>());
      return settings.GetInt32(TESTMODULE_START_ANSWER, 1);
    case 3: Say("end"); return 1;
    case 6:
    {
      const auto id = static_cast<Int32>(reinterpret_cast<std::intptr_t>(a));
      Say("message " + String::IntToString(id));
      if (id == 1)
        return settings.GetInt32(TESTMODULE_INIT_ANSWER, 1);
      return -1;
    }
    default: Say("other " + String::IntToString(message)); return -1;
  }
}
