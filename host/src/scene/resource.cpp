#include "host/scene/resource.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "host/core/alloc.h"
#include "host/core/log.h"

namespace
{
using StringTable = std::unordered_map<Int32, String>;

struct ResourceState
{
  std::mutex mutex;
  Url moduleDirectory;
  // Swapped whole on load and release; lookups copy the pointer and read without the lock.
  std::shared_ptr<const StringTable> strings;
};

ResourceState& State()
{
  static ResourceState s;
  return s;
}

struct DuplicateKey
{
  String key;
};

// A decimal Int32 written as an optional '-' and digits; nothing else.
Bool ParseId(const std::string& text, Int32& id)
{
  if (text.empty())
    return false;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const Bool negative = *first == '-';
  if (negative && text.size() == 1)
    return false;
  for (const char* p = first + (negative ? 1 : 0); p < last; ++p)
    if (*p < '0' || *p > '9')
      return false;
  auto [ptr, ec] = std::from_chars(first, last, id);
  return ec == std::errc() && ptr == last;
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the file name says enough.
String CleanJsonMessage(const char* what)
{
  String msg(what);
  const auto close = msg.find("] ");
  if (!msg.empty() && msg[0] == '[' && close != String::npos)
    msg.erase(0, close + 2);
  return msg;
}

Result<std::shared_ptr<const StringTable>> ReadTable(const Url& file)
{
  const String name = file.GetString();
  std::ifstream in(file.GetPath(), std::ios::binary);
  if (!in)
    return IllegalArgumentError(name + ": the string table cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad())
    return IllegalArgumentError(name + ": the string table cannot be read");

  nlohmann::json root;
  try
  {
    // Duplicate ids would silently keep the last text; a translator's copy-paste slip must show.
    std::unordered_map<Int32, std::string> seen;
    auto onEvent = [&seen](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
      if (depth == 1 && event == nlohmann::json::parse_event_t::key && parsed.is_string())
      {
        const std::string& key = parsed.get_ref<const std::string&>();
        Int32 id = 0;
        if (ParseId(key, id) && !seen.emplace(id, key).second)
          throw DuplicateKey{String(key)};
      }
      return true;
    };
    root = nlohmann::json::parse(text.str(), onEvent);
  }
  catch (const DuplicateKey& dup)
  {
    return IllegalArgumentError(name + ": \"" + dup.key + "\": the id appears more than once");
  }
  catch (const nlohmann::json::parse_error& e)
  {
    return IllegalArgumentError(name + ": JSON syntax error at byte " + String::UIntToString(e.byte) + ": " +
                                CleanJsonMessage(e.what()));
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError(name + ": out of memory while reading the string table");
  }

  if (!root.is_object())
    return IllegalArgumentError(name + ": expected an object mapping decimal ids to texts");

  if (host::AllocationShouldFail())
    return OutOfMemoryError(name + ": out of memory while reading the string table");
  auto table = std::make_shared<StringTable>();
  for (auto it = root.begin(); it != root.end(); ++it)
  {
    Int32 id = 0;
    if (!ParseId(it.key(), id))
      return IllegalArgumentError(name + ": \"" + String(it.key()) + "\": expected a decimal Int32 id as the key");
    if (!it.value().is_string())
      return IllegalArgumentError(name + ": " + String(it.key()) + ": expected a text (a JSON string)");
    table->emplace(id, String(it.value().get<std::string>()));
  }
  return std::shared_ptr<const StringTable>(std::move(table));
}
} // namespace

Url GeGetPluginPath()
{
  ResourceState& s = State();
  std::lock_guard lock(s.mutex);
  return s.moduleDirectory;
}

String GeLoadString(Int32 id)
{
  std::shared_ptr<const StringTable> table;
  {
    ResourceState& s = State();
    std::lock_guard lock(s.mutex);
    table = s.strings;
  }
  if (!table)
    return String();
  const auto it = table->find(id);
  return it != table->end() ? it->second : host::MissingStringText(id);
}

Bool InitResource()
{
  const Url dir = GeGetPluginPath();
  if (dir.IsEmpty())
  {
    DiagnosticOutput("InitResource: the module directory is not set");
    return false;
  }
  const Result<void> res = host::LoadStringTable(dir.Append("res").Append(host::STRING_TABLE_FILE));
  if (res.IsError())
  {
    DiagnosticOutput("InitResource: " + res.GetError().GetText());
    return false;
  }
  return true;
}

void FreeResource()
{
  host::ReleaseStringTable();
}

namespace host
{
void SetModuleDirectory(const Url& directory)
{
  ResourceState& s = State();
  std::lock_guard lock(s.mutex);
  s.moduleDirectory = directory;
}

Result<void> LoadStringTable(const Url& file)
{
  std::shared_ptr<const StringTable> table = HOST_TRY(ReadTable(file));
  ResourceState& s = State();
  std::lock_guard lock(s.mutex);
  s.strings = std::move(table);
  return OK;
}

void ReleaseStringTable()
{
  std::shared_ptr<const StringTable> old;
  ResourceState& s = State();
  std::lock_guard lock(s.mutex);
  old.swap(s.strings);
}

Bool IsStringTableLoaded()
{
  ResourceState& s = State();
  std::lock_guard lock(s.mutex);
  return s.strings != nullptr;
}

String MissingStringText(Int32 id)
{
  return "[string " + String::IntToString(id) + " missing]";
}
} // namespace host
