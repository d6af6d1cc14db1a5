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
// Empties the table, the log and the failure switch (between tests). Nodes already allocated keep
// their data.
void ResetPlugins();
} // namespace host
