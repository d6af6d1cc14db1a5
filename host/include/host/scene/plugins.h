// The plug-in table: every registered plug-in (object, shader, tag, scene hook, and the kinds other
// host areas register) by its unique id, with name, info flags, allocation function, description
// name and disk level, plus a log of every registration call in order.
//
// A duplicate id (also one that is a built-in type), a null allocation function (for node kinds) or a
// registration the test switch makes fail is refused with false. The disk level is stored as given.
// Icons handed to a registration are neither kept nor copied: the icon library holds icons.
// Registration is for the host's main thread, before documents are built; lookups may come from any
// thread once registration has ended.
#pragma once

#include <memory>

#include "host/scene/nodedata.h"

class BaseBitmap;

enum class PLUGINTYPE : Int32
{
  OBJECT,
  SHADER,
  TAG,
  SCENEHOOK,
  COMMAND,
  PREFS,
  MESSAGE,
  OTHER,
};

Bool RegisterObjectPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                          BaseBitmap* icon, Int32 disklevel);
Bool RegisterShaderPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                          Int32 disklevel);
Bool RegisterTagPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                       BaseBitmap* icon, Int32 disklevel);
Bool RegisterSceneHookPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, Int32 priority,
                             Int32 disklevel);

class BaseDocument;

// GetState answer bits of a command.
inline constexpr Int32 CMD_ENABLED = 0x40000000;   // bit 30: the command can be invoked

// A command plug-in: the host calls GetState with the active document to show the menu entry, and
// Execute when the user invokes it. The defaults are the host's default command: enabled, does nothing.
class CommandData : public BaseData
{
public:
  virtual Bool Execute(BaseDocument* doc);
  virtual Int32 GetState(BaseDocument* doc);
  // Called when the host restores a layout that holds the command; secret is the host's.
  virtual Bool RestoreLayout(void* secret);
};

// Registers a command with its menu name, icon (copied by the icon library, never kept here) and help
// text. The host owns dat from this call on, also when the registration is refused (it is then deleted
// at once); registered instances are destroyed with the plug-in table. A null dat is refused.
Bool RegisterCommandPlugin(Int32 id, const String& name, Int32 info, BaseBitmap* icon, const String& help,
                           CommandData* dat);

// The host's plug-in allocation: a node of the registered plug-in (object, shader, tag or scene hook)
// with its data attached and Init run; null for an unknown id, a failed allocation or a failed Init.
BaseList2D* AllocPluginNode(Int32 id);

namespace host
{
struct PluginEntry
{
  Int32 id = 0;
  PLUGINTYPE type = PLUGINTYPE::OTHER;
  String name;
  Int32 info = 0;
  DataAllocator alloc = nullptr;
  String description;
  Int32 diskLevel = 0;
  Int32 priority = 0;
  Bool hasIcon = false;
  std::unique_ptr<BaseData> instance;   // kinds registered with an instance (commands ...), owned
  String help;                          // commands: the help text
};

struct RegistrationCall
{
  Int32 id;
  PLUGINTYPE type;
  String name;
  Int32 info;
  String description;
  Int32 diskLevel;
  Int32 priority;
  Bool hasIcon;
  Bool result;
};

// Registers an entry of any kind (the typed Register...Plugin functions go through here).
Bool RegisterPlugin(PluginEntry entry);
const PluginEntry* FindPlugin(Int32 id);
// The entries in registration order.
std::vector<const PluginEntry*> GetPlugins();
std::vector<RegistrationCall> GetRegistrationLog();
// Makes the n-th registration from now fail (1 = the next one), once; 0 disarms.
void FailNthRegistration(Int n);
// The user invokes the command: its Execute with doc when GetState answers CMD_ENABLED. False for an
// id that is no registered command, a disabled command, or when Execute answers false.
Bool ExecuteCommand(Int32 id, BaseDocument* doc);
// The command's GetState with doc; 0 for an id that is no registered command.
Int32 GetCommandState(Int32 id, BaseDocument* doc);
// Empties the table, the log and the failure switch (between tests). Nodes already allocated keep
// their data.
void ResetPlugins();
} // namespace host
