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

// A page of the host's preferences window. The host makes one page node per registered page when the
// page registers (outside every document, alive until the plug-in table is reset) and runs the page's
// Init on it; the window then reads and writes the page's values through GetParameter/SetParameter on
// that node, builds its interface from GetDDescription and sends it MSG_DESCRIPTION_COMMAND for its
// buttons. The defaults are NodeData's: a page that overrides nothing stores values in its node's own
// container.
class PrefsDialogObject : public NodeData
{
};

// The node of a preferences page. It never enters a list; it borrows the scene-hook kind, which only
// decides which lists a node may enter.
class BasePrefsPage : public BaseList2D
{
public:
  explicit BasePrefsPage(Int32 type);
};

// Registers a preferences page under its name and description resource, below the page parentId (0: at
// the top of the window) at the sort value, then makes its page node and runs Init (a failed Init leaves
// the page without a node and says so on the diagnostic output; the registration stands). False as for
// every registration (duplicate id, no allocation function, the test switch).
Bool RegisterPrefsPlugin(Int32 id, DataAllocator g, const String& name, const String& description, Int32 parentId,
                         Int32 sortId);

// The host's plug-in allocation: a node of the registered plug-in (object, shader, tag, scene hook or
// preferences page) with its data attached and Init run; null for an unknown id, a failed allocation or
// a failed Init.
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
  Int32 priority = 0;                   // scene hooks: the priority; preference pages: the sort value
  Bool hasIcon = false;
  std::unique_ptr<BaseData> instance;   // kinds registered with an instance (commands ...), owned
  String help;                          // commands: the help text
  Int32 parentPage = 0;                 // preference pages: the page it sits below, 0 at the top
  BaseList2D* page = nullptr;           // preference pages: the page node, owned (null when Init failed)
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
// The menu name a user sees: the registered name without its sort prefix ("#$" and digits).
String GetMenuDisplayName(const String& registeredName);
// The registered command a user names: by its id in decimal, or by its menu name as shown (compared
// without case). Separators are no commands. 0 when nothing matches.
Int32 FindCommand(const String& nameOrId);
// The page node of a registered preferences page; null for another id or a page whose Init failed.
BaseList2D* GetPrefsPage(Int32 id);
// Empties the table, the log and the failure switch (between tests), and frees the preference pages'
// nodes. Other nodes already allocated keep their data.
void ResetPlugins();
} // namespace host
