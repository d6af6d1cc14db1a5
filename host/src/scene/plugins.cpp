#include "host/scene/plugins.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "internal.h"

namespace
{
struct PluginTable
{
  std::mutex mutex;
  std::vector<std::unique_ptr<host::PluginEntry>> entries;   // registration order
  std::vector<host::RegistrationCall> log;
  Int failIn = 0;   // the failIn-th registration from now fails; 0: none
};

PluginTable& Table()
{
  static PluginTable t;
  return t;
}

Bool IsNodeKind(PLUGINTYPE type)
{
  return type == PLUGINTYPE::OBJECT || type == PLUGINTYPE::SHADER || type == PLUGINTYPE::TAG ||
         type == PLUGINTYPE::SCENEHOOK || type == PLUGINTYPE::PREFS;
}

host::PluginEntry MakeEntry(Int32 id, PLUGINTYPE type, const String& name, Int32 info, DataAllocator g,
                            const String& description, Int32 disklevel, Int32 priority, Bool hasIcon)
{
  host::PluginEntry e;
  e.id = id;
  e.type = type;
  e.name = name;
  e.info = info;
  e.alloc = g;
  e.description = description;
  e.diskLevel = disklevel;
  e.priority = priority;
  e.hasIcon = hasIcon;
  return e;
}
} // namespace

namespace host
{
Bool RegisterPlugin(PluginEntry entry)
{
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  RegistrationCall call{entry.id,          entry.type,     entry.name,    entry.info, entry.description,
                        entry.diskLevel, entry.priority, entry.hasIcon, false};
  const char* problem = nullptr;
  if (t.failIn > 0 && --t.failIn == 0)
    problem = "the test switch made it fail";
  else if (IsNodeKind(entry.type) && !entry.alloc)
    problem = "no allocation function";
  else if (entry.type == PLUGINTYPE::COMMAND && !entry.instance)
    problem = "no command instance";
  else if (FindBuiltinType(entry.id))
    problem = "the id is a built-in type";
  else
    for (const auto& e : t.entries)
      if (e->id == entry.id)
      {
        problem = "the id is already registered";
        break;
      }
  if (problem)
  {
    t.log.push_back(call);
    DiagnosticOutput("Plug-in " + String::IntToString(entry.id) + " not registered: " + problem + ".");
    return false;
  }
  call.result = true;
  t.log.push_back(call);
  t.entries.push_back(std::make_unique<PluginEntry>(std::move(entry)));
  return true;
}

const PluginEntry* FindPlugin(Int32 id)
{
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  for (const auto& e : t.entries)
    if (e->id == id)
      return e.get();
  return nullptr;
}

std::vector<const PluginEntry*> GetPlugins()
{
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  std::vector<const PluginEntry*> out;
  for (const auto& e : t.entries)
    out.push_back(e.get());
  return out;
}

std::vector<RegistrationCall> GetRegistrationLog()
{
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.log;
}

void FailNthRegistration(Int n)
{
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.failIn = n > 0 ? n : 0;
}

BaseList2D* GetPrefsPage(Int32 id)
{
  const PluginEntry* entry = FindPlugin(id);
  return entry && entry->type == PLUGINTYPE::PREFS ? entry->page : nullptr;
}

void ResetPlugins()
{
  std::vector<std::unique_ptr<PluginEntry>> old;
  {
    PluginTable& t = Table();
    std::lock_guard lock(t.mutex);
    old.swap(t.entries);
    t.log.clear();
    t.failIn = 0;
  }
  // Pages and instances (commands ...) go outside the lock: their slots and destructors may look things
  // up.
  for (auto& entry : old)
    FreeNode(entry->page);
  old.clear();
}
} // namespace host

Bool RegisterObjectPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                          BaseBitmap* icon, Int32 disklevel)
{
  return host::RegisterPlugin(
    MakeEntry(id, PLUGINTYPE::OBJECT, name, info, g, description, disklevel, 0, icon != nullptr));
}

Bool RegisterShaderPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                          Int32 disklevel)
{
  return host::RegisterPlugin(MakeEntry(id, PLUGINTYPE::SHADER, name, info, g, description, disklevel, 0, false));
}

Bool RegisterTagPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, const String& description,
                       BaseBitmap* icon, Int32 disklevel)
{
  return host::RegisterPlugin(
    MakeEntry(id, PLUGINTYPE::TAG, name, info, g, description, disklevel, 0, icon != nullptr));
}

Bool RegisterSceneHookPlugin(Int32 id, const String& name, Int32 info, DataAllocator g, Int32 priority,
                             Int32 disklevel)
{
  return host::RegisterPlugin(
    MakeEntry(id, PLUGINTYPE::SCENEHOOK, name, info, g, String(), disklevel, priority, false));
}

BasePrefsPage::BasePrefsPage(Int32 type) : BaseList2D(type, NODEKIND::SCENEHOOK) {}

Bool RegisterPrefsPlugin(Int32 id, DataAllocator g, const String& name, const String& description, Int32 parentId,
                         Int32 sortId)
{
  host::PluginEntry entry = MakeEntry(id, PLUGINTYPE::PREFS, name, 0, g, description, 0, sortId, false);
  entry.parentPage = parentId;
  if (!host::RegisterPlugin(std::move(entry)))
    return false;
  // The window holds its pages from their registration on, so a page's defaults are in place before any
  // reader of its settings runs.
  BaseList2D* page = AllocPluginNode(id);
  if (!page)
    DiagnosticOutput("Preferences page " + String::IntToString(id) + ": the page could not be made (its Init failed).");
  PluginTable& t = Table();
  std::lock_guard lock(t.mutex);
  for (const auto& e : t.entries)
    if (e->id == id)
      e->page = page;
  return true;
}

BaseList2D* AllocPluginNode(Int32 id)
{
  const host::PluginEntry* entry = host::FindPlugin(id);
  if (!entry || !entry->alloc)
    return nullptr;
  const DataAllocator alloc = entry->alloc;
  BaseList2D* node = nullptr;
  switch (entry->type)
  {
    case PLUGINTYPE::OBJECT: node = NewObj<BaseObject>(id); break;
    case PLUGINTYPE::SHADER: node = NewObj<BaseShader>(id); break;
    case PLUGINTYPE::TAG: node = NewObj<BaseTag>(id); break;
    case PLUGINTYPE::SCENEHOOK: node = NewObj<BaseSceneHook>(id); break;
    case PLUGINTYPE::PREFS: node = NewObj<BasePrefsPage>(id); break;
    default: return nullptr;
  }
  if (!node)
    return nullptr;
  NodeData* data = alloc();
  if (!data)
  {
    host::FreeNode(node);
    return nullptr;
  }
  HostNodeAccess::AttachData(node, data);
  if (!data->Init(node))
  {
    // Free still runs, so whatever Init made is released by the plug-in itself.
    host::FreeNode(node);
    return nullptr;
  }
  return node;
}

Bool CommandData::Execute(BaseDocument*)
{
  return true;
}

Int32 CommandData::GetState(BaseDocument*)
{
  return CMD_ENABLED;
}

Bool CommandData::RestoreLayout(void*)
{
  return true;
}

Bool RegisterCommandPlugin(Int32 id, const String& name, Int32 info, BaseBitmap* icon, const String& help,
                           CommandData* dat)
{
  // Taken at once, so that a refused registration deletes the instance instead of leaking it.
  std::unique_ptr<BaseData> instance(dat);
  host::PluginEntry entry = MakeEntry(id, PLUGINTYPE::COMMAND, name, info, nullptr, String(), 0, 0, icon != nullptr);
  entry.help = help;
  entry.instance = std::move(instance);
  return host::RegisterPlugin(std::move(entry));
}

namespace host
{
namespace
{
// The command instance of a registered command, or null. The table keeps it alive until a reset.
CommandData* FindCommand(Int32 id)
{
  const PluginEntry* entry = FindPlugin(id);
  if (!entry || entry->type != PLUGINTYPE::COMMAND)
    return nullptr;
  return static_cast<CommandData*>(entry->instance.get());
}
} // namespace

Bool ExecuteCommand(Int32 id, BaseDocument* doc)
{
  CommandData* command = FindCommand(id);
  if (!command || (command->GetState(doc) & CMD_ENABLED) == 0)
    return false;
  return command->Execute(doc);
}

Int32 GetCommandState(Int32 id, BaseDocument* doc)
{
  CommandData* command = FindCommand(id);
  return command ? command->GetState(doc) : 0;
}

String GetMenuDisplayName(const String& registeredName)
{
  if (!registeredName.starts_with("#$"))
    return registeredName;
  std::size_t end = 2;
  while (end < registeredName.size() && std::isdigit(static_cast<unsigned char>(registeredName[end])))
    ++end;
  return String(registeredName.substr(end));
}

Int32 FindCommand(const String& nameOrId)
{
  const std::string& text = nameOrId.GetStd();
  const Bool numeric = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  auto sameText = [](const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char l, char r) {
             return std::tolower(static_cast<unsigned char>(l)) == std::tolower(static_cast<unsigned char>(r));
           });
  };
  for (const PluginEntry* entry : GetPlugins())
  {
    if (entry->type != PLUGINTYPE::COMMAND)
      continue;
    const String shown = GetMenuDisplayName(entry->name);
    if (shown == "--")
      continue;
    if (numeric ? text == std::to_string(entry->id) : sameText(shown.GetStd(), text))
      return entry->id;
  }
  return 0;
}
} // namespace host
