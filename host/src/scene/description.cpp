#include "host/scene/description.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <mutex>
#include <new>
#include <sstream>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "jsontext.h"

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"

namespace
{
// Ordered: cycle entries and parameters keep the order they are written in.
using json = nlohmann::ordered_json;

constexpr Int32 MAX_INCLUDE_DEPTH = 16;
constexpr Int32 MAX_CONTAINER_DEPTH = 32;

// ---------------------------------------------------------------------------------------------------
// Registry

struct Registry
{
  std::mutex mutex;
  std::unordered_map<Int32, String> names;
  std::vector<host::DescriptionRegistration> log;
  Int failAt = 0;   // fail the n-th registration from the arming; 0: off
};

Registry& Reg()
{
  static Registry r;
  return r;
}

// ---------------------------------------------------------------------------------------------------
// Resource reading

String Join(const String& path, const String& part)
{
  return path.IsEmpty() ? part : path + "." + part;
}

String Index(const String& path, std::size_t i)
{
  return path + "[" + String::UIntToString(static_cast<UInt>(i)) + "]";
}

Bool ParseInt32Key(const std::string& text, Int32& out)
{
  if (text.empty())
    return false;
  const char* first = text.data();
  const char* last = first + text.size();
  for (const char* p = first + (*first == '-' ? 1 : 0); p < last; ++p)
    if (*p < '0' || *p > '9')
      return false;
  auto [ptr, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && ptr == last && !(text.size() == 1 && *first == '-');
}

struct TypeName
{
  const char* name;
  Int32 type;
};
constexpr TypeName TYPE_NAMES[] = {
  {"GROUP", DTYPE_GROUP},       {"BUTTON", DTYPE_BUTTON}, {"SEPARATOR", DTYPE_SEPARATOR},
  {"TITLE", DTYPE_TITLE},       {"STATIC", DTYPE_STATIC}, {"LONG", DTYPE_LONG},
  {"REAL", DTYPE_REAL},         {"VECTOR", DTYPE_VECTOR}, {"STRING", DTYPE_STRING},
  {"BOOL", DTYPE_BOOL},
};

class Reader
{
public:
  explicit Reader(String file) : _file(std::move(file)) {}

  Error Fail(const String& path, const String& what) const
  {
    return IllegalArgumentError(_file + ": " + (path.IsEmpty() ? what : path + ": " + what));
  }

  Result<void> CheckFields(const json& obj, const String& path, std::initializer_list<const char*> allowed) const
  {
    for (auto it = obj.begin(); it != obj.end(); ++it)
    {
      const Bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return it.key() == a; });
      if (!known)
        return Fail(path, "unknown field \"" + String(it.key()) + "\"");
    }
    return OK;
  }

  Result<Int32> ReadInt32(const json& v, const String& path) const
  {
    if (v.is_number_integer())
    {
      const auto n = v.get<json::number_integer_t>();
      if (n >= std::numeric_limits<Int32>::min() && n <= std::numeric_limits<Int32>::max())
        return static_cast<Int32>(n);
    }
    else if (v.is_number_unsigned())
    {
      const auto n = v.get<json::number_unsigned_t>();
      if (n <= static_cast<json::number_unsigned_t>(std::numeric_limits<Int32>::max()))
        return static_cast<Int32>(n);
    }
    return Fail(path, "expected an Int32");
  }

  Result<Float> ReadFloat(const json& v, const String& path) const
  {
    if (v.is_number())
      return v.get<Float>();
    if (v.is_string())
      if (const auto f = host::NonFiniteFloatFromText(v.get_ref<const std::string&>()))
        return *f;
    return Fail(path, "expected a Float");
  }

  Result<Int32> ReadType(const json& v, const String& path) const
  {
    if (v.is_string())
    {
      const std::string& s = v.get_ref<const std::string&>();
      for (const TypeName& t : TYPE_NAMES)
        if (s == t.name)
          return t.type;
      return Fail(path, "unknown data type name \"" + String(s) + "\"");
    }
    const Int32 t = HOST_TRY(ReadInt32(v, path));
    if (t == DTYPE_NONE)
      return Fail(path, "the data type must not be 0");
    return t;
  }

  Result<GeData> ReadValue(const json& v, const String& path, Int32 depth) const
  {
    if (!v.is_object() || v.size() != 1)
      return Fail(path, "expected a value: an object with one member naming its type");
    const std::string& type = v.begin().key();
    const json& x = v.begin().value();
    const String vpath = Join(path, type);
    if (type == "Int32")
      return GeData(HOST_TRY(ReadInt32(x, vpath)));
    if (type == "Int64")
    {
      if (!x.is_number_integer())
        return Fail(vpath, "expected an Int64");
      return GeData(static_cast<Int64>(x.get<json::number_integer_t>()));
    }
    if (type == "Float")
      return GeData(HOST_TRY(ReadFloat(x, vpath)));
    if (type == "Bool")
    {
      if (!x.is_boolean())
        return Fail(vpath, "expected true or false");
      return GeData(x.get<bool>());
    }
    if (type == "String")
    {
      if (!x.is_string())
        return Fail(vpath, "expected a text");
      return GeData(String(x.get<std::string>()));
    }
    if (type == "StringId")
      return GeData(GeLoadString(HOST_TRY(ReadInt32(x, vpath))));
    if (type == "Vector")
    {
      if (!x.is_array() || x.size() != 3)
        return Fail(vpath, "expected three numbers");
      Vector out;
      out.x = HOST_TRY(ReadFloat(x[0], Index(vpath, 0)));
      out.y = HOST_TRY(ReadFloat(x[1], Index(vpath, 1)));
      out.z = HOST_TRY(ReadFloat(x[2], Index(vpath, 2)));
      return GeData(out);
    }
    if (type == "Container")
    {
      if (depth >= MAX_CONTAINER_DEPTH)
        return Fail(vpath, "containers nest too deep");
      if (!x.is_object())
        return Fail(vpath, "expected a container (an object with id and params)");
      HOST_TRY(CheckFields(x, vpath, {"id", "params"}));
      BaseContainer bc;
      if (x.contains("id"))
        bc.SetId(HOST_TRY(ReadInt32(x["id"], Join(vpath, "id"))));
      if (x.contains("params"))
        HOST_TRY(ReadParams(x["params"], bc, Join(vpath, "params"), depth + 1));
      return GeData(bc);
    }
    return Fail(path, "unknown value type \"" + String(type) + "\"");
  }

  Result<void> ReadParams(const json& v, BaseContainer& bc, const String& path, Int32 depth) const
  {
    if (!v.is_object())
      return Fail(path, "expected an object of numbered values");
    for (auto it = v.begin(); it != v.end(); ++it)
    {
      Int32 id = 0;
      if (!ParseInt32Key(it.key(), id))
        return Fail(path, "\"" + String(it.key()) + "\": expected a decimal Int32 key");
      bc.SetData(id, HOST_TRY(ReadValue(it.value(), Join(path, it.key()), depth)));
    }
    return OK;
  }

  Result<DescriptionEntry> ReadEntry(const json& v, const String& path) const
  {
    if (!v.is_object())
      return Fail(path, "expected an entry (an object with id and type)");
    HOST_TRY(CheckFields(v, path, {"id", "type", "parent", "name", "nameId", "attributes"}));
    if (!v.contains("id"))
      return Fail(path, "missing field \"id\"");
    if (!v.contains("type"))
      return Fail(path, "missing field \"type\"");
    DescriptionEntry e;
    e.id.id = HOST_TRY(ReadInt32(v["id"], Join(path, "id")));
    if (e.id.id == 0)
      return Fail(Join(path, "id"), "the parameter id must not be 0");
    e.id.dtype = HOST_TRY(ReadType(v["type"], Join(path, "type")));
    if (v.contains("parent"))
      e.parent = HOST_TRY(ReadInt32(v["parent"], Join(path, "parent")));
    if (v.contains("attributes"))
      HOST_TRY(ReadParams(v["attributes"], e.attributes, Join(path, "attributes"), 0));
    if (v.contains("name") && v.contains("nameId"))
      return Fail(path, "\"name\" and \"nameId\" exclude each other");
    if (v.contains("name"))
    {
      if (!v["name"].is_string())
        return Fail(Join(path, "name"), "expected a text");
      e.attributes.SetString(DESC_NAME, String(v["name"].get<std::string>()));
    }
    if (v.contains("nameId"))
      e.attributes.SetString(DESC_NAME, GeLoadString(HOST_TRY(ReadInt32(v["nameId"], Join(path, "nameId")))));
    return e;
  }

  const String& File() const { return _file; }

private:
  String _file;
};

// Inserts or replaces (in place) by parameter number.
void Merge(std::vector<DescriptionEntry>& into, DescriptionEntry&& e)
{
  for (DescriptionEntry& x : into)
    if (x.id.id == e.id.id)
    {
      x = std::move(e);
      return;
    }
  into.push_back(std::move(e));
}

Result<void> ReadResource(const String& name, std::vector<DescriptionEntry>& out, std::vector<String>& stack)
{
  if (name.IsEmpty() || name.find_first_of("/\\") != String::npos || name == "." || name == "..")
    return IllegalArgumentError("\"" + name + "\" is not a description resource name");
  if (std::find(stack.begin(), stack.end(), name) != stack.end())
    return IllegalArgumentError(name + ".json: includes itself (through " + stack.back() + ")");
  if (static_cast<Int32>(stack.size()) >= MAX_INCLUDE_DEPTH)
    return IllegalArgumentError(name + ".json: includes nest deeper than " + String::IntToString(MAX_INCLUDE_DEPTH));

  const Url file = host::GetDescriptionFile(name);
  const Reader r(name + ".json");
  if (GeGetPluginPath().IsEmpty())
    return r.Fail(String(), "the module directory is not set");
  std::ifstream in(file.GetPath(), std::ios::binary);
  if (!in)
    return r.Fail(String(), "the description resource cannot be read (" + file.GetString() + ")");
  std::stringstream text;
  text << in.rdbuf();

  json root;
  try
  {
    root = json::parse(text.str());
  }
  catch (const json::parse_error& e)
  {
    String msg(e.what());
    const auto close = msg.find("] ");
    if (!msg.empty() && msg[0] == '[' && close != String::npos)
      msg.erase(0, close + 2);
    return r.Fail(String(), "JSON syntax error at byte " + String::UIntToString(e.byte) + ": " + msg);
  }

  if (!root.is_object())
    return r.Fail(String(), "expected an object");
  HOST_TRY(r.CheckFields(root, String(), {"format", "version", "name", "include", "entries"}));
  if (!root.contains("format") || root["format"] != "ogx-description")
    return r.Fail("format", "expected \"ogx-description\"");
  if (!root.contains("version"))
    return r.Fail(String(), "missing field \"version\"");
  const Int32 version = HOST_TRY(r.ReadInt32(root["version"], "version"));
  if (version != host::DESCRIPTION_FORMAT_VERSION)
    return r.Fail("version", "this host reads version " + String::IntToString(host::DESCRIPTION_FORMAT_VERSION) +
                                 ", not " + String::IntToString(version));
  if (root.contains("name") && (!root["name"].is_string() || root["name"].get<std::string>() != name))
    return r.Fail("name", "expected \"" + name + "\", the file's own name");
  if (!root.contains("entries"))
    return r.Fail(String(), "missing field \"entries\"");
  if (!root["entries"].is_array())
    return r.Fail("entries", "expected an array of entries");

  std::vector<DescriptionEntry> entries;
  if (root.contains("include"))
  {
    const json& inc = root["include"];
    if (!inc.is_array())
      return r.Fail("include", "expected an array of description names");
    stack.push_back(name);
    for (std::size_t i = 0; i < inc.size(); ++i)
    {
      if (!inc[i].is_string())
        return r.Fail(Index("include", i), "expected a description name");
      std::vector<DescriptionEntry> part;
      const Result<void> res = ReadResource(String(inc[i].get<std::string>()), part, stack);
      if (res.IsError())
        return r.Fail(Index("include", i), res.GetError().GetText());
      for (DescriptionEntry& e : part)
        Merge(entries, std::move(e));
    }
    stack.pop_back();
  }
  const json& list = root["entries"];
  for (std::size_t i = 0; i < list.size(); ++i)
    Merge(entries, HOST_TRY(r.ReadEntry(list[i], Index("entries", i))));
  out = std::move(entries);
  return OK;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Description

Description* Description::Alloc()
{
  return NewObj<Description>();
}

void Description::Free(Description*& description)
{
  DeleteObj(description);
}

Bool Description::LoadDescription(Int32 type)
{
  const String name = host::FindDescriptionName(type);
  if (name.IsEmpty())
  {
    DiagnosticOutput("LoadDescription: no description is registered for type " + String::IntToString(type));
    return false;
  }
  return LoadDescription(name);
}

Bool Description::LoadDescription(const String& name)
{
  if (host::AllocationShouldFail())
    return false;
  Result<std::vector<DescriptionEntry>> res = host::ReadDescriptionResource(name);
  if (res.IsError())
  {
    DiagnosticOutput("LoadDescription: " + res.GetError().GetText());
    return false;
  }
  _entries = std::move(res).GetValue();
  _resource = name;
  return true;
}

void Description::SetSingleId(const ParameterId* id)
{
  _hasSingle = id != nullptr;
  _single = id ? *id : ParameterId();
}

DescriptionEntry* Description::Find(Int32 id)
{
  for (DescriptionEntry& e : _entries)
    if (e.id.id == id)
      return &e;
  return nullptr;
}

BaseContainer* Description::GetParameterContainer(const ParameterId& id, const AtomArray*)
{
  DescriptionEntry* e = Find(id.id);
  return e ? &e->attributes : nullptr;
}

BaseContainer* Description::GetParameterContainer(const DescID& id, const AtomArray* nodes)
{
  return GetParameterContainer(ParameterId(id), nodes);
}

const BaseContainer* Description::GetParameterContainer(const ParameterId& id) const
{
  const DescriptionEntry* e = FindEntry(id.id);
  return e ? &e->attributes : nullptr;
}

Bool Description::SetParameter(const ParameterId& id, const BaseContainer& attributes, Int32 parentGroup)
{
  if (id.id == 0 || host::AllocationShouldFail())
    return false;
  try
  {
    if (DescriptionEntry* e = Find(id.id))
    {
      BaseContainer copy(attributes);
      e->id = id;
      e->parent = parentGroup;
      e->attributes = std::move(copy);
      return true;
    }
    _entries.push_back(DescriptionEntry{id, parentGroup, attributes});
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  return true;
}

Bool Description::SetParameter(const DescID& id, const BaseContainer& attributes, const DescID& parentGroup)
{
  return SetParameter(ParameterId(id), attributes, parentGroup.GetFirstId());
}

const DescriptionEntry* Description::GetEntry(Int32 index) const
{
  return index >= 0 && index < GetEntryCount() ? &_entries[static_cast<std::size_t>(index)] : nullptr;
}

const DescriptionEntry* Description::FindEntry(Int32 id) const
{
  for (const DescriptionEntry& e : _entries)
    if (e.id.id == id)
      return &e;
  return nullptr;
}

void Description::Clear()
{
  _entries.clear();
  _resource.clear();
}

// ---------------------------------------------------------------------------------------------------
// Registry

Bool RegisterDescription(Int32 id, const String& name)
{
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  Bool ok = true;
  if (r.failAt > 0 && --r.failAt == 0)
    ok = false;
  if (ok && (id == 0 || name.IsEmpty() || r.names.count(id) != 0))
    ok = false;
  if (ok && name.find_first_of("/\\") != String::npos)
    ok = false;
  if (ok && !host::GetDescriptionFile(name).Exists())
    ok = false;
  if (ok)
    r.names.emplace(id, name);
  r.log.push_back({id, name, ok});
  return ok;
}

namespace host
{
Result<std::vector<DescriptionEntry>> ReadDescriptionResource(const String& name)
{
  std::vector<DescriptionEntry> entries;
  std::vector<String> stack;
  try
  {
    HOST_TRY(ReadResource(name, entries, stack));
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError(name + ".json: out of memory while reading the description");
  }
  return entries;
}

Url GetDescriptionFile(const String& name)
{
  return GeGetPluginPath().Append("res").Append(DESCRIPTION_FOLDER).Append(name + ".json");
}

String FindDescriptionName(Int32 type)
{
  {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    const auto it = r.names.find(type);
    if (it != r.names.end())
      return it->second;
  }
  const PluginEntry* p = FindPlugin(type);
  return p ? p->description : String();
}

std::vector<DescriptionRegistration> GetDescriptionRegistrationLog()
{
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return r.log;
}

void FailNthDescriptionRegistration(Int n)
{
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.failAt = n > 0 ? n : 0;
}

void ResetDescriptions()
{
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.names.clear();
  r.log.clear();
  r.failAt = 0;
}
} // namespace host
