// Scene documents as JSON (the format is described in scenefile.h). nlohmann-json stays inside this
// unit: its exceptions are caught here and turned into errors that name the file and the place.
#include "host/scene/scenefile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "host/scene/hyperfile.h"
#include "host/scene/messages.h"
#include "internal.h"
#include "jsondoc.h"
#include "jsontext.h"

using ojson = nlohmann::ordered_json;

namespace
{
constexpr const char* FORMAT_NAME = "ogx-scene";

// ---------------------------------------------------------------------------------------------------
// Custom data registry

struct CustomRegistry
{
  std::mutex mutex;
  std::unordered_map<Int32, host::CustomDataAllocator> types;
};

CustomRegistry& Customs()
{
  static CustomRegistry r;
  return r;
}

host::CustomDataAllocator FindCustomType(Int32 type)
{
  CustomRegistry& r = Customs();
  std::lock_guard lock(r.mutex);
  auto it = r.types.find(type);
  return it == r.types.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------------------------------
// Shared helpers

String Join(const String& path, const String& part)
{
  if (path.IsEmpty())
    return part;
  return part.starts_with("[") ? path + part : path + "." + part;
}

String Index(const char* name, std::size_t i)
{
  return String(name) + "[" + String::IntToString(static_cast<Int>(i)) + "]";
}

Bool IsValidUtf8(const String& s)
{
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;)
  {
    const unsigned char c = p[i];
    std::size_t len = 0;
    UInt32 cp = 0;
    if (c < 0x80)
    {
      ++i;
      continue;
    }
    else if ((c & 0xE0) == 0xC0)
    {
      len = 2;
      cp = c & 0x1F;
    }
    else if ((c & 0xF0) == 0xE0)
    {
      len = 3;
      cp = c & 0x0F;
    }
    else if ((c & 0xF8) == 0xF0)
    {
      len = 4;
      cp = c & 0x07;
    }
    else
      return false;
    if (i + len > n)
      return false;
    for (std::size_t k = 1; k < len; ++k)
    {
      if ((p[i + k] & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    i += len;
  }
  return true;
}

const char* KindName(NODEKIND kind)
{
  switch (kind)
  {
    case NODEKIND::OBJECT: return "an object";
    case NODEKIND::TAG: return "a tag";
    case NODEKIND::SHADER: return "a shader";
    case NODEKIND::MATERIAL: return "a material";
    case NODEKIND::DOCUMENT: return "a document";
    case NODEKIND::SCENEHOOK: return "a scene hook";
  }
  return "a node";
}

// ---------------------------------------------------------------------------------------------------
// Parameters as a node's description gives them (format 2)

using host::DescriptionPtr;

String EntryName(const DescriptionEntry& e)
{
  return e.attributes.GetString(DESC_NAME);
}

// "a Float", "an Int32" ... for messages about a value of that type.
String WithArticle(const String& typeName)
{
  const Bool vowel = typeName.IsPopulated() && String("AEIOU").find(typeName[0]) != String::npos;
  return (vowel ? "an " : "a ") + typeName;
}

// A value written as an object with one member naming its type ({"Float": 1.5}), as opposed to a plain
// JSON value read as the parameter's type.
Bool IsTypedValue(const host::json::Value& j)
{
  static const std::set<std::string_view, std::less<>> TYPES = {"Int32", "Int64", "Float", "Bool", "String", "Vector",
                                                                 "Matrix", "None", "Link", "Container", "Custom"};
  return j.IsObject() && j.Size() == 1 && TYPES.count((*j.begin()).Key()) != 0;
}

// Why a value cannot be the parameter's, or nothing when its type fits: the value's type is the entry's
// data type; a Bool parameter holds an Int32 of 0 or 1 (how Bools are stored); a static text a String.
std::optional<String> WrongType(const DescriptionEntry& entry, const GeData& value)
{
  const Int32 dtype = entry.id.dtype;
  const Int32 type = value.GetType();
  if (dtype == DTYPE_BOOL)
  {
    if (type == DA_LONG && (value.GetInt32() == 0 || value.GetInt32() == 1))
      return std::nullopt;
    return "expected a Bool (got " +
           (type == DA_LONG ? String("an Int32 other than 0 or 1") : WithArticle(host::SceneValueTypeName(type))) + ")";
  }
  const Int32 wanted = dtype == DTYPE_STATIC ? DA_STRING : dtype;
  if (type == wanted)
    return std::nullopt;
  return "expected " + WithArticle(host::SceneValueTypeName(wanted)) + " (got " +
         WithArticle(host::SceneValueTypeName(type)) + ")";
}

// Why a value lies outside the entry's hard range (attributes DESC_MIN and DESC_MAX), or nothing. Only
// Int32 and Float values are compared; a slider's range is no limit (the module itself writes values
// beyond it).
std::optional<String> OutsideRange(const DescriptionEntry& entry, const GeData& value)
{
  if (value.GetType() != DA_LONG && value.GetType() != DA_REAL)
    return std::nullopt;
  const GeData* lo = entry.attributes.GetDataPointer(DESC_MIN);
  const GeData* hi = entry.attributes.GetDataPointer(DESC_MAX);
  const auto numeric = [](const GeData* d) { return d && (d->GetType() == DA_LONG || d->GetType() == DA_REAL); };
  const Bool hasLo = numeric(lo);
  const Bool hasHi = numeric(hi);
  if (!hasLo && !hasHi)
    return std::nullopt;
  const Float v = value.GetFloat();
  // NaN lies inside no range.
  if ((!hasLo || v >= lo->GetFloat()) && (!hasHi || v <= hi->GetFloat()))
    return std::nullopt;
  const auto text = [](const GeData& d) {
    return d.GetType() == DA_LONG ? String::IntToString(d.GetInt32()) : host::FloatToSceneText(d.GetFloat());
  };
  String range;
  if (hasLo && hasHi)
    range = text(*lo) + " to " + text(*hi);
  else if (hasLo)
    range = "minimum " + text(*lo);
  else
    range = "maximum " + text(*hi);
  return "value " + text(value) + " is out of range (" + range + ")";
}

// One node type's description, with its parameters by name.
class Schema
{
public:
  // The node's description as the host builds it for the interface; null when the node has none.
  static Result<std::unique_ptr<Schema>> Of(BaseList2D* node)
  {
    DescriptionPtr description(Description::Alloc());
    if (!description)
      return OutOfMemoryError("could not allocate a description");
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    if (!node->GetDescription(description.get(), flags) || description->GetEntryCount() == 0)
      return std::unique_ptr<Schema>();
    const host::PluginEntry* plugin = host::FindPlugin(node->GetType());
    String typeName = plugin && plugin->description.IsPopulated() ? plugin->description
                                                                   : "type " + String::IntToString(node->GetType());
    return std::unique_ptr<Schema>(new Schema(std::move(description), std::move(typeName)));
  }

  // The entry a key of a params object names: a decimal id, a parameter's name, or a name qualified by
  // its group's ("Noise/Scale") where two parameters share one. Errors are the message alone.
  Result<const DescriptionEntry*> Resolve(std::string_view key) const
  {
    Int32 id = 0;
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), id);
    if (ec == std::errc() && end == key.data() + key.size())
    {
      if (String::IntToString(id).GetStd() != key)
        return IllegalArgumentError("not a parameter id (decimal Int32)");
      const DescriptionEntry* e = _description->FindEntry(id);
      if (!e)
        return IllegalArgumentError(_typeName + " has no parameter " + String::IntToString(id));
      if (!host::IsValueEntry(*e))
        return IllegalArgumentError(_typeName + "'s " + String::IntToString(id) + " (" + EntryName(*e) +
                                    ") holds no value (it is a group, button, separator or title)");
      return e;
    }
    const String name(std::string{key});
    std::vector<const DescriptionEntry*> found = Named(name);
    if (found.empty())
      if (const std::size_t slash = name.rfind('/'); slash != String::npos)
      {
        const String group(name.substr(0, slash));
        for (const DescriptionEntry* e : Named(String(name.substr(slash + 1))))
          if (const DescriptionEntry* parent = _description->FindEntry(e->parent); parent && EntryName(*parent) == group)
            found.push_back(e);
      }
    if (found.size() == 1)
      return found[0];
    if (found.empty())
      return IllegalArgumentError(_typeName + " has no parameter \"" + name + "\"");
    String candidates;
    for (const DescriptionEntry* e : found)
    {
      const DescriptionEntry* parent = _description->FindEntry(e->parent);
      candidates += (candidates.IsEmpty() ? "" : ", ") + String::IntToString(e->id.id) +
                    (parent ? " \"" + EntryName(*parent) + "/" + EntryName(*e) + "\"" : String());
    }
    return IllegalArgumentError(_typeName + " has more than one parameter \"" + name + "\" (" + candidates +
                                "): write the id or the group's name before it");
  }

  // The value of a cycle's label.
  Result<Int32> CycleValue(const DescriptionEntry& entry, std::string_view label) const
  {
    const BaseContainer* cycle = entry.attributes.GetContainerInstance(DESC_CYCLE);
    if (!cycle)
      return IllegalArgumentError("expected an Int32 (got text; " + EntryName(entry) + " has no named values)");
    String labels;
    for (const BaseContainer::Entry& c : *cycle)
    {
      const String text = c.data.GetString();
      if (text.IsEmpty())
        continue;
      if (text.GetStd() == label)
        return c.id;
      labels += (labels.IsEmpty() ? "\"" : ", \"") + text + "\"";
    }
    return IllegalArgumentError("\"" + String(std::string{label}) + "\" is not one of " + EntryName(entry) +
                                "'s values (" + labels + ")");
  }

  // Whether the entry with that id exists, holds a value and takes this one (for saving).
  Bool Takes(Int32 id, const GeData& value) const
  {
    const DescriptionEntry* e = _description->FindEntry(id);
    return e && host::IsValueEntry(*e) && !WrongType(*e, value) && !OutsideRange(*e, value);
  }

private:
  Schema(DescriptionPtr description, String typeName)
    : _description(std::move(description)), _typeName(std::move(typeName))
  {
    for (Int32 i = 0; i < _description->GetEntryCount(); ++i)
      if (const DescriptionEntry* e = _description->GetEntry(i); host::IsValueEntry(*e))
        _byName.emplace(EntryName(*e).GetStd(), e);
  }

  std::vector<const DescriptionEntry*> Named(const String& name) const
  {
    std::vector<const DescriptionEntry*> out;
    const auto [first, last] = _byName.equal_range(name.GetStd());
    for (auto it = first; it != last; ++it)
      out.push_back(it->second);
    std::sort(out.begin(), out.end(), [](const DescriptionEntry* a, const DescriptionEntry* b) { return a->id.id < b->id.id; });
    return out;
  }

  DescriptionPtr _description;
  String _typeName;
  std::unordered_multimap<std::string, const DescriptionEntry*> _byName;
};

// The schemas of one load or save, one per node type (made from the first node of the type met);
// null for a type without a description (built-in nodes, plug-ins without a resource).
class SchemaCache
{
public:
  // where names the file and the place for the error.
  Result<const Schema*> Of(BaseList2D* node, const String& where)
  {
    auto it = _schemas.find(node->GetType());
    if (it == _schemas.end())
    {
      Result<std::unique_ptr<Schema>> made = Schema::Of(node);
      if (made.IsError())
        return OutOfMemoryError(where + ": " + made.GetError().GetText());
      it = _schemas.emplace(node->GetType(), std::move(made).GetValue()).first;
    }
    return it->second.get();
  }

private:
  std::unordered_map<Int32, std::unique_ptr<Schema>> _schemas;
};

// ---------------------------------------------------------------------------------------------------
// Writing

Bool IsFlat(const ojson& j)
{
  if (j.is_primitive())
    return true;
  if (j.is_array())
  {
    for (const ojson& e : j)
      if (!e.is_primitive())
        return false;
    return true;
  }
  return false;
}

// Indented JSON that keeps short things on one line: arrays of plain values ([x, y, z], one record
// per line) and values that are an object with one plain member ({"Float": 0.5}).
void Pretty(const ojson& j, int indent, std::string& out)
{
  if (j.is_primitive())
  {
    out += j.dump();
    return;
  }
  const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
  if (j.is_array())
  {
    if (j.empty())
    {
      out += "[]";
      return;
    }
    const Bool flat = IsFlat(j);
    out += flat ? "[" : "[\n";
    Bool first = true;
    for (const ojson& e : j)
    {
      if (!first)
        out += flat ? ", " : ",\n";
      first = false;
      if (!flat)
        out += pad;
      Pretty(e, indent + 2, out);
    }
    if (!flat)
    {
      out += '\n';
      out.append(static_cast<std::size_t>(indent), ' ');
    }
    out += ']';
    return;
  }
  if (j.empty())
  {
    out += "{}";
    return;
  }
  if (j.size() == 1 && IsFlat(j.begin().value()))
  {
    out += '{';
    out += ojson(j.begin().key()).dump();
    out += ": ";
    Pretty(j.begin().value(), indent, out);
    out += "}";
    return;
  }
  out += "{\n";
  Bool first = true;
  for (auto it = j.begin(); it != j.end(); ++it)
  {
    if (!first)
      out += ",\n";
    first = false;
    out += pad;
    out += ojson(it.key()).dump();
    out += ": ";
    Pretty(it.value(), indent + 2, out);
  }
  out += '\n';
  out.append(static_cast<std::size_t>(indent), ' ');
  out += '}';
}

class Saver
{
public:
  explicit Saver(String source) : _source(std::move(source)) {}

  Result<ojson> Document(BaseDocument* doc)
  {
    if (const BaseObject* active = doc->GetActiveObject())
      _activeGuid = active->GetGUID();
    std::vector<BaseList2D*> nodes;
    host::detail::CollectDocumentNodes(doc, nodes);
    for (std::size_t i = 0; i < nodes.size(); ++i)
      _keyOf[nodes[i]->GetGUID()] = static_cast<Int64>(i + 1);

    ojson root = ojson::object();
    root["format"] = FORMAT_NAME;
    root["version"] = host::SCENE_FORMAT_VERSION;
    // The document's path is where its file lies, which loading sets: it is not part of what is saved.
    BaseContainer params = *doc->GetDataInstance();
    params.RemoveData(DOCUMENT_PATH);
    if (!params.IsEmpty())
      root["params"] = HOST_TRY(Params(params, "params", 0));
    HOST_TRY(NodeList(root["objects"], doc->GetFirstObject(), "", "objects", 0));
    if (doc->GetFirstMaterial())
      HOST_TRY(NodeList(root["materials"], doc->GetFirstMaterial(), "", "materials", 0));
    DropUnusedKeys(root);
    return root;
  }

private:
  Error Fail(const String& path, const String& message) const
  {
    return IllegalArgumentError(_source + ": " + (path.IsEmpty() ? message : path + ": " + message));
  }

  static ojson FloatValue(Float v)
  {
    if (const char* text = host::NonFiniteFloatText(v))
      return text;
    return v;
  }

  static ojson VectorValue(const Vector& v) { return ojson::array({FloatValue(v.x), FloatValue(v.y), FloatValue(v.z)}); }

  static ojson MatrixValue(const Matrix& m)
  {
    ojson j = ojson::object();
    j["off"] = VectorValue(m.off);
    j["v1"] = VectorValue(m.v1);
    j["v2"] = VectorValue(m.v2);
    j["v3"] = VectorValue(m.v3);
    return j;
  }

  Result<ojson> Text(const String& s, const String& path) const
  {
    if (!IsValidUtf8(s))
      return Fail(path, "text that is not valid UTF-8 cannot be saved");
    return ojson(s.GetStd());
  }

  Result<ojson> Value(const GeData& v, const String& path, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    ojson j = ojson::object();
    switch (v.GetType())
    {
      case DA_NIL: j["None"] = nullptr; return j;
      case DA_LONG: j["Int32"] = v.GetInt32(); return j;
      case DA_LLONG: j["Int64"] = v.GetInt64(); return j;
      case DA_REAL: j["Float"] = FloatValue(v.GetFloat()); return j;
      case DA_VECTOR: j["Vector"] = VectorValue(v.GetVector()); return j;
      case DA_MATRIX: j["Matrix"] = MatrixValue(v.GetMatrix()); return j;
      case DA_STRING: j["String"] = HOST_TRY(Text(v.GetString(), path)); return j;
      case DA_ALIASLINK:
      {
        // Only links to nodes of the same document survive; others are stored empty.
        auto it = _keyOf.find(v.GetBaseLink().GetTargetGuid());
        if (it == _keyOf.end() || !host::FindNodeByGuid(it->first))
        {
          j["Link"] = nullptr;
        }
        else
        {
          j["Link"] = it->second;
          _referenced.insert(it->second);
        }
        return j;
      }
      case DA_CONTAINER:
      {
        const BaseContainer* bc = v.GetContainer();
        ojson c = ojson::object();
        if (bc->GetId() != 0)
          c["id"] = bc->GetId();
        c["params"] = HOST_TRY(Params(*bc, Join(path, "Container.params"), depth + 1));
        j["Container"] = std::move(c);
        return j;
      }
      default:
      {
        const Int32 type = v.GetType();
        const CustomDataType* cd = v.GetCustomDataType(type);
        HyperFile hf;
        if (!cd || !cd->WriteData(&hf))
          return Fail(path, "custom data type " + String::IntToString(type) + " cannot be saved");
        ojson c = ojson::object();
        c["type"] = type;
        c["data"] = HOST_TRY(Stream(hf, Join(path, "Custom.data"), depth + 1));
        j["Custom"] = std::move(c);
        return j;
      }
    }
  }

  Result<ojson> Stream(const HyperFile& hf, const String& path, Int32 depth)
  {
    ojson arr = ojson::array();
    std::size_t i = 0;
    for (const GeData& v : hf.GetValues())
      arr.push_back(HOST_TRY(Value(v, path + "[" + String::IntToString(static_cast<Int>(i++)) + "]", depth)));
    return arr;
  }

  // The entries of a container for which keep says so (all of them without it), by id.
  Result<ojson> Params(const BaseContainer& bc, const String& path, Int32 depth,
                       const std::function<Bool(const BaseContainer::Entry&)>& keep = {})
  {
    ojson j = ojson::object();
    // Ids are unique in a container: members go straight to the end of the object's list, since the
    // ordered object's own insertion looks for an equal key first and would make saving quadratic.
    auto& members = static_cast<ojson::object_t::Container&>(j.get_ref<ojson::object_t&>());
    for (const BaseContainer::Entry& e : bc)
    {
      if (keep && !keep(e))
        continue;
      const String key = String::IntToString(e.id);
      members.emplace_back(key.GetStd(), HOST_TRY(Value(e.data, Join(path, key), depth)));
    }
    return j;
  }

  // The node's parameters apart from its other entries (status texts, stamps, snapshots): with a
  // description, "params" holds what the reader's checks take and "state" the rest, so a saved
  // document always loads again; without one, everything is "params".
  Result<void> NodeParams(BaseList2D* node, ojson& j, const String& path)
  {
    const BaseContainer& bc = *node->GetDataInstance();
    if (bc.IsEmpty())
      return OK;
    const Schema* schema = HOST_TRY(_schemas.Of(node, _source + ": " + path));
    if (!schema)
    {
      j["params"] = HOST_TRY(Params(bc, Join(path, "params"), 0));
      return OK;
    }
    const auto isParameter = [schema](const BaseContainer::Entry& e) { return schema->Takes(e.id, e.data); };
    ojson params = HOST_TRY(Params(bc, Join(path, "params"), 0, isParameter));
    ojson state = HOST_TRY(Params(bc, Join(path, "state"), 0, [&](const BaseContainer::Entry& e) { return !isParameter(e); }));
    if (!params.empty())
      j["params"] = std::move(params);
    if (!state.empty())
      j["state"] = std::move(state);
    return OK;
  }

  Result<ojson> Records(const VariableTag* tag, const String& path)
  {
    const host::BuiltinType* bt = host::FindBuiltinType(tag->GetType());
    if (!bt || bt->recordSize != tag->GetDataSize())
      return Fail(path, "variable tag type " + String::IntToString(tag->GetType()) + " has no record layout");
    const auto* bytes = static_cast<const unsigned char*>(tag->GetLowlevelDataAddressR());
    ojson arr = ojson::array();
    for (Int32 r = 0; r < tag->GetDataCount(); ++r)
    {
      const unsigned char* rec = bytes + static_cast<std::size_t>(r) * static_cast<std::size_t>(bt->recordSize);
      ojson fields = ojson::array();
      for (const host::RecordField& f : bt->recordFields)
      {
        switch (f.kind)
        {
          case host::FIELDKIND::FLOAT64:
          {
            Float v;
            std::memcpy(&v, rec + f.offset, sizeof v);
            fields.push_back(FloatValue(v));
            break;
          }
          case host::FIELDKIND::INT32:
          {
            Int32 v;
            std::memcpy(&v, rec + f.offset, sizeof v);
            fields.push_back(v);
            break;
          }
          case host::FIELDKIND::BOOL:
          {
            Bool v;
            std::memcpy(&v, rec + f.offset, sizeof v);
            fields.push_back(v);
            break;
          }
        }
      }
      arr.push_back(std::move(fields));
    }
    return arr;
  }

  Result<void> NodeList(ojson& arr, const GeListNode* first, const String& path, const char* name, Int32 depth)
  {
    arr = ojson::array();
    std::size_t i = 0;
    for (const GeListNode* n = first; n; n = n->GetNext(), ++i)
    {
      Result<ojson> node = Node(static_cast<BaseList2D*>(const_cast<GeListNode*>(n)), Join(path, Index(name, i)), depth);
      if (node.IsError())
        return node.GetError();
      arr.push_back(std::move(node).GetValue());
    }
    return OK;
  }

  // A node's own fields; kept out of Node so that the recursion's frames stay small.
  [[gnu::noinline]] Result<ojson> NodeOwnFields(BaseList2D* node, const String& path)
  {
    ojson j = ojson::object();
    j["type"] = node->GetType();
    j["key"] = _keyOf[node->GetGUID()];
    if (node->GetName().IsPopulated())
      j["name"] = HOST_TRY(Text(node->GetName(), Join(path, "name")));
    HyperFile hf;
    if (NodeData* data = node->GetNodeData())
    {
      const host::PluginEntry* entry = host::FindPlugin(node->GetType());
      if (!entry)
        return Fail(path, "plug-in " + String::IntToString(node->GetType()) + " is not registered");
      j["level"] = entry->diskLevel;
      hf.SetFileVersion(entry->diskLevel);
      if (!data->Write(node, &hf))
        return Fail(path, "the plug-in's Write failed");
    }
    if (node->GetKind() == NODEKIND::OBJECT)
    {
      const BaseObject* op = static_cast<const BaseObject*>(node);
      j["matrix"] = MatrixValue(op->GetMl());
      if (!op->IsEnabled())
        j["enabled"] = false;
      if (op->GetEditorMode() != MODE::ON)
        j["editorMode"] = static_cast<Int32>(op->GetEditorMode());
      if (op->GetRenderMode() != MODE::ON)
        j["renderMode"] = static_cast<Int32>(op->GetRenderMode());
    }
    // The selection is written in words; "bits" keeps the other state bits.
    Int32 bits = node->GetAllBits();
    if (node->GetKind() == NODEKIND::OBJECT && (bits & BIT_ACTIVE) != 0)
    {
      bits &= ~BIT_ACTIVE;
      j["selected"] = true;
      if (node->GetGUID() == _activeGuid)
        j["active"] = true;
    }
    if (bits != 0)
      j["bits"] = bits;
    if (const UInt64 nbits = HostNodeAccess::NBits(node); nbits != 0)
    {
      ojson list = ojson::array();
      for (Int32 bit = 0; bit < 64; ++bit)
        if ((nbits & (UInt64(1) << bit)) != 0)
          list.push_back(bit);
      j["nbits"] = std::move(list);
    }
    HOST_TRY(NodeParams(node, j, path));
    if (hf.GetCount() > 0)
      j["data"] = HOST_TRY(Stream(hf, Join(path, "data"), 0));
    if (const host::BuiltinType* bt = host::FindBuiltinType(node->GetType());
        bt && bt->recordSize > 0 && node->GetKind() == NODEKIND::TAG)
      j["records"] = HOST_TRY(Records(static_cast<const VariableTag*>(node), Join(path, "records")));
    return j;
  }

  Result<ojson> Node(BaseList2D* node, const String& path, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    Result<ojson> j = NodeOwnFields(node, path);
    if (j.IsError())
      return j;
    if (node->GetKind() == NODEKIND::OBJECT && static_cast<BaseObject*>(node)->GetFirstTag())
      HOST_TRY(NodeList(j.GetValue()["tags"], static_cast<BaseObject*>(node)->GetFirstTag(), path, "tags", depth));
    if (node->GetFirstShader())
      HOST_TRY(NodeList(j.GetValue()["shaders"], node->GetFirstShader(), path, "shaders", depth + 1));
    if (node->GetDown())
      HOST_TRY(NodeList(j.GetValue()["children"], node->GetDown(), path, "children", depth + 1));
    return j;
  }

  // Keys are written only where a link names them.
  void DropUnusedKeys(ojson& j)
  {
    if (j.is_object())
    {
      if (j.contains("key") && j.contains("type") && j["key"].is_number_integer() &&
          !_referenced.count(j["key"].get<Int64>()))
        j.erase("key");
      for (const char* list : {"objects", "materials", "children", "tags", "shaders"})
        if (j.contains(list))
          for (ojson& e : j[list])
            DropUnusedKeys(e);
    }
  }

  String _source;
  std::unordered_map<Int, Int64> _keyOf;
  std::unordered_set<Int64> _referenced;
  SchemaCache _schemas;
  Int _activeGuid = 0;   // the document's active object
};

// ---------------------------------------------------------------------------------------------------
// Reading

using JsonValue = host::json::Value;

class Loader
{
public:
  explicit Loader(String source) : _source(std::move(source)) {}

  Result<BaseDocument*> Load(const String& text)
  {
    host::json::Document json;
    const host::json::ParseResult parsed = json.Parse(text.GetStd(), host::SCENE_MAX_JSON_DEPTH);
    switch (parsed.status)
    {
      case host::json::PARSE::OK: break;
      case host::json::PARSE::SYNTAX:
        if (parsed.byte == 0)
          return Fail("", "not valid JSON (" + String(parsed.message) + ")");
        return IllegalArgumentError(_source + ": " + Position(text, parsed.byte) + ": not valid JSON (" +
                                    String(parsed.message) + ")");
      case host::json::PARSE::TOO_DEEP:
        return IllegalArgumentError(_source + ": " + Position(text, parsed.byte) + ": nesting deeper than " +
                                    String::IntToString(static_cast<Int>(host::SCENE_MAX_JSON_DEPTH)) + " levels");
      case host::json::PARSE::DUPLICATE: return Fail(String(parsed.path), "appears twice in the same object");
      case host::json::PARSE::OUT_OF_MEMORY: return OutOfMemoryError(_source + ": not enough memory to read the file");
    }

    BaseDocument* doc = BaseDocument::Alloc();
    if (!doc)
      return OutOfMemoryError(_source + ": could not allocate the document");
    _doc = doc;
    Result<void> r = OK;
    try
    {
      r = Build(json.Root());
    }
    catch (const std::bad_alloc&)
    {
      r = OutOfMemoryError(_source + ": not enough memory to build the document");
    }
    if (r.IsError())
    {
      BaseDocument::Free(doc);
      return r.GetError();
    }
    return doc;
  }

private:
  struct Item
  {
    JsonValue json;
    BaseList2D* node;
    String path;
    Int32 level;
    std::vector<GeData> data;
  };

  Error Fail(const String& path, const String& message) const
  {
    return IllegalArgumentError(_source + ": " + (path.IsEmpty() ? message : path + ": " + message));
  }

  // "line L, column C" of a 1-based byte position.
  static String Position(const String& text, std::size_t byte)
  {
    const std::size_t at = std::min<std::size_t>(byte > 0 ? byte - 1 : 0, text.size());
    Int line = 1;
    Int column = 1;
    for (std::size_t i = 0; i < at; ++i)
    {
      if (text[i] == '\n')
      {
        ++line;
        column = 1;
      }
      else
        ++column;
    }
    return "line " + String::IntToString(line) + ", column " + String::IntToString(column);
  }

  Result<void> CheckFields(const JsonValue& j, const String& path, std::initializer_list<const char*> allowed) const
  {
    for (const JsonValue member : j)
    {
      Bool known = false;
      for (const char* a : allowed)
        known = known || member.Key() == a;
      if (!known)
        return Fail(Join(path, String(member.Key())), "unknown field");
    }
    return OK;
  }

  static const char* TypeName(const JsonValue& j)
  {
    if (j.IsNull())
      return "null";
    if (j.IsBool())
      return "a Bool";
    if (j.IsNumber())
      return "a number";
    if (j.IsText())
      return "text";
    if (j.IsArray())
      return "an array";
    return "an object";
  }

  Result<Int64> ReadInteger(const JsonValue& j, const String& path, Int64 lo, Int64 hi, const char* what) const
  {
    Int64 v = 0;
    if (j.IsUnsigned())
    {
      const UInt64 u = j.GetUInt64();
      if (u > static_cast<UInt64>(std::numeric_limits<Int64>::max()))
        return Fail(path, String("expected ") + what + " (value out of range)");
      v = static_cast<Int64>(u);
    }
    else if (j.IsInteger())
      v = j.GetInt64();
    else if (j.IsFloat())
      return Fail(path, String("expected ") + what + " (got a number that is not a whole number in range)");
    else
      return Fail(path, String("expected ") + what + " (got " + TypeName(j) + ")");
    if (v < lo || v > hi)
      return Fail(path, String("expected ") + what + " (value out of range)");
    return v;
  }

  Result<Int32> ReadInt32(const JsonValue& j, const String& path) const
  {
    return static_cast<Int32>(HOST_TRY(ReadInteger(j, path, std::numeric_limits<Int32>::min(),
                                                   std::numeric_limits<Int32>::max(), "an Int32")));
  }

  Result<Float> ReadFloat(const JsonValue& j, const String& path) const
  {
    if (j.IsText())
    {
      if (const auto f = host::NonFiniteFloatFromText(j.GetText()))
        return *f;
      return Fail(path, "expected a Float (text other than \"NaN\", \"Infinity\", \"-Infinity\")");
    }
    if (!j.IsNumber())
      return Fail(path, String("expected a Float (got ") + TypeName(j) + ")");
    const Float v = j.GetFloat();
    if (!std::isfinite(v))
      return Fail(path, "expected a Float (value out of range)");
    return v;
  }

  Result<Bool> ReadBool(const JsonValue& j, const String& path) const
  {
    if (!j.IsBool())
      return Fail(path, String("expected a Bool (got ") + TypeName(j) + ")");
    return j.GetBool();
  }

  Result<String> ReadText(const JsonValue& j, const String& path) const
  {
    if (!j.IsText())
      return Fail(path, String("expected text (got ") + TypeName(j) + ")");
    return String(std::string(j.GetText()));
  }

  Result<Vector> ReadVector(const JsonValue& j, const String& path) const
  {
    if (!j.IsArray() || j.Size() != 3)
      return Fail(path, "expected a Vector (an array of 3 numbers)");
    Float c[3] = {};
    Int i = 0;
    for (const JsonValue e : j)
    {
      c[i] = HOST_TRY(ReadFloat(e, path + "[" + String::IntToString(i) + "]"));
      ++i;
    }
    return Vector(c[0], c[1], c[2]);
  }

  Result<Matrix> ReadMatrix(const JsonValue& j, const String& path) const
  {
    if (!j.IsObject())
      return Fail(path, "expected a Matrix (an object with off, v1, v2, v3)");
    HOST_TRY(CheckFields(j, path, {"off", "v1", "v2", "v3"}));
    Matrix m;
    Vector* parts[] = {&m.off, &m.v1, &m.v2, &m.v3};
    const char* names[] = {"off", "v1", "v2", "v3"};
    for (int i = 0; i < 4; ++i)
    {
      const JsonValue part = j.Find(names[i]);
      if (!part.IsValid())
        return Fail(path, String("missing field \"") + names[i] + "\"");
      *parts[i] = HOST_TRY(ReadVector(part, Join(path, names[i])));
    }
    return m;
  }

  Result<GeData> ReadValue(const JsonValue& j, const String& path, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    if (!j.IsObject() || j.Size() != 1)
      return Fail(path, "expected a value: an object with one member naming its type, such as {\"Float\": 1.5}");
    const JsonValue v = *j.begin();
    const std::string_view type = v.Key();
    if (type == "Int32")
      return GeData(HOST_TRY(ReadInt32(v, path)));
    if (type == "Int64")
      return GeData(HOST_TRY(ReadInteger(v, path, std::numeric_limits<Int64>::min(),
                                         std::numeric_limits<Int64>::max(), "an Int64")));
    if (type == "Float")
      return GeData(HOST_TRY(ReadFloat(v, path)));
    if (type == "Bool")
      return GeData(HOST_TRY(ReadBool(v, path)));
    if (type == "String")
      return GeData(HOST_TRY(ReadText(v, path)));
    if (type == "Vector")
      return GeData(HOST_TRY(ReadVector(v, path)));
    if (type == "Matrix")
      return GeData(HOST_TRY(ReadMatrix(v, path)));
    if (type == "None")
    {
      if (!v.IsNull())
        return Fail(path, "expected null for None");
      return GeData();
    }
    if (type == "Link")
    {
      if (v.IsNull())
        return GeData(BaseLink());
      if (v.IsText())
        return ReadLinkByName(v, path);
      const Int64 key = HOST_TRY(ReadInteger(v, path, std::numeric_limits<Int64>::min(),
                                             std::numeric_limits<Int64>::max(), "a node key"));
      auto it = _keys.find(key);
      if (it == _keys.end())
        return Fail(path, "link to unknown key " + String::IntToString(key));
      BaseLink link;
      link.SetLink(it->second);
      return GeData(link);
    }
    if (type == "Container")
    {
      if (!v.IsObject())
        return Fail(path, "expected a Container (an object with id and params)");
      const String cpath = Join(path, "Container");
      HOST_TRY(CheckFields(v, cpath, {"id", "params"}));
      BaseContainer bc;
      if (const JsonValue id = v.Find("id"); id.IsValid())
        bc.SetId(HOST_TRY(ReadInt32(id, Join(cpath, "id"))));
      if (const JsonValue params = v.Find("params"); params.IsValid())
        HOST_TRY(ReadParams(params, bc, Join(cpath, "params"), depth + 1));
      return GeData(bc);
    }
    if (type == "Custom")
    {
      if (!v.IsObject())
        return Fail(path, "expected Custom data (an object with type and data)");
      const String cpath = Join(path, "Custom");
      HOST_TRY(CheckFields(v, cpath, {"type", "data"}));
      const JsonValue typeField = v.Find("type");
      if (!typeField.IsValid())
        return Fail(cpath, "missing field \"type\"");
      const Int32 ctype = HOST_TRY(ReadInt32(typeField, Join(cpath, "type")));
      const host::CustomDataAllocator alloc = FindCustomType(ctype);
      if (!alloc)
        return Fail(cpath, "unknown custom data type " + String::IntToString(ctype));
      std::vector<GeData> values;
      if (const JsonValue data = v.Find("data"); data.IsValid())
        values = HOST_TRY(ReadStream(data, Join(cpath, "data"), depth + 1));
      std::unique_ptr<CustomDataType> cd = alloc();
      if (!cd)
        return OutOfMemoryError(_source + ": " + cpath + ": could not allocate custom data");
      HyperFile hf(std::move(values));
      if (cd->GetCustomTypeId() != ctype || !cd->ReadData(&hf, 0))
        return Fail(cpath, "custom data type " + String::IntToString(ctype) + " could not read its data");
      return GeData(std::move(cd));
    }
    return Fail(path, "unknown value type \"" + String(std::string(type)) + "\"");
  }

  // A link to the node a name or a path names (see the file comment): "Name" is the one object of the
  // document with that name, or else its one material, tag or shader of that name; "Parent/Child" walks
  // down from the top-level objects, one name a level.
  Result<GeData> ReadLinkByName(const JsonValue& j, const String& path) const
  {
    const std::string_view text = j.GetText();
    const String name{std::string(text)};
    if (text.empty())
      return Fail(path, "an empty name links nothing (write null for an empty link)");
    BaseList2D* target = nullptr;
    if (text.find('/') == std::string_view::npos)
    {
      Int count = 0;
      BaseObject* object = nullptr;
      CountNamed(_doc->GetFirstObject(), name, count, object);
      target = object;
      if (count > 1)
        return Fail(path, String::IntToString(count) + " objects are named \"" + name +
                            "\"; link one by its path (\"Parent/" + name + "\") or its key");
      if (count == 0)
      {
        // Materials and what objects and materials hold (tags, shaders) have no paths: a name names one.
        std::vector<BaseList2D*> nodes;
        host::detail::CollectDocumentNodes(_doc, nodes);
        for (BaseList2D* node : nodes)
          if (node->GetKind() != NODEKIND::OBJECT && node->GetName() == name)
          {
            ++count;
            target = node;
          }
        if (count == 0)
          return Fail(path, "no object, material, tag or shader is named \"" + name + "\"");
        if (count > 1)
          return Fail(path, String::IntToString(count) + " materials, tags or shaders are named \"" + name +
                              "\"; link one by its key");
      }
    }
    else
    {
      BaseObject* level = _doc->GetFirstObject();
      std::string_view rest = text;
      String walked;
      while (true)
      {
        const std::size_t slash = rest.find('/');
        const String part{std::string(rest.substr(0, slash))};
        walked = walked.IsEmpty() ? part : walked + "/" + part;
        BaseObject* found = nullptr;
        for (BaseObject* op = level; op; op = op->GetNext())
          if (op->GetName() == part)
          {
            if (found)
              return Fail(path, "more than one object is at \"" + walked + "\"; link it by its key");
            found = op;
          }
        if (!found)
          return Fail(path, "no object is at \"" + walked + "\"");
        if (slash == std::string_view::npos)
        {
          target = found;
          break;
        }
        level = found->GetDown();
        rest = rest.substr(slash + 1);
      }
    }
    BaseLink link;
    link.SetLink(target);
    return GeData(link);
  }

  static void CountNamed(BaseObject* op, const String& name, Int& count, BaseObject*& found)
  {
    for (; op; op = op->GetNext())
    {
      if (op->GetName() == name)
      {
        ++count;
        found = op;
      }
      CountNamed(op->GetDown(), name, count, found);
    }
  }

  Result<std::vector<GeData>> ReadStream(const JsonValue& j, const String& path, Int32 depth)
  {
    if (!j.IsArray())
      return Fail(path, String("expected an array of values (got ") + TypeName(j) + ")");
    std::vector<GeData> out;
    out.reserve(j.Size());
    Int i = 0;
    for (const JsonValue e : j)
      out.push_back(HOST_TRY(ReadValue(e, path + "[" + String::IntToString(i++) + "]", depth)));
    return out;
  }

  // A parameter id as files spell it: the id's own decimal text, so "1003" and "01003" cannot both
  // name 1003.
  static std::optional<Int32> ParameterIdFromKey(std::string_view key)
  {
    Int32 id = 0;
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), id);
    if (ec != std::errc() || end != key.data() + key.size() || String::IntToString(id).GetStd() != key)
      return std::nullopt;
    return id;
  }

  // Entries by id with typed values, as version 1 writes every node's parameters and version 2 its
  // state and the parameters of nodes without a description. Nothing is checked against a description.
  Result<void> ReadParams(const JsonValue& j, BaseContainer& bc, const String& path, Int32 depth)
  {
    if (!j.IsObject())
      return Fail(path, String("expected an object of parameters (got ") + TypeName(j) + ")");
    for (const JsonValue member : j)
    {
      const String key(std::string(member.Key()));
      const std::optional<Int32> id = ParameterIdFromKey(member.Key());
      if (!id)
        return Fail(Join(path, key), "not a parameter id (decimal Int32)");
      bc.SetData(*id, HOST_TRY(ReadValue(member, Join(path, key), depth)));
    }
    return OK;
  }

  // A node's parameters in format 2, each checked against the node's description: the key is an id or
  // a name, the value typed or plain (read as the parameter's type), of the parameter's type and inside
  // its hard range.
  Result<void> ReadDescribedParams(const JsonValue& j, BaseContainer& bc, const String& path, const Schema& schema)
  {
    if (!j.IsObject())
      return Fail(path, String("expected an object of parameters (got ") + TypeName(j) + ")");
    std::unordered_map<Int32, std::string_view> written;
    for (const JsonValue member : j)
    {
      const String ppath = Join(path, String(std::string(member.Key())));
      Result<const DescriptionEntry*> found = schema.Resolve(member.Key());
      if (found.IsError())
        return Fail(ppath, found.GetError().GetText());
      const DescriptionEntry& entry = *found.GetValue();
      if (const auto [at, inserted] = written.emplace(entry.id.id, member.Key()); !inserted)
        return Fail(ppath, "parameter " + String::IntToString(entry.id.id) + " is written twice (also as \"" +
                             String(std::string(at->second)) + "\")");
      bc.SetData(entry.id.id, HOST_TRY(ReadDescribedValue(member, ppath, schema, entry)));
    }
    return OK;
  }

  Result<GeData> ReadDescribedValue(const JsonValue& j, const String& path, const Schema& schema,
                                    const DescriptionEntry& entry)
  {
    GeData value;
    if (IsTypedValue(j))
    {
      value = HOST_TRY(ReadValue(j, path, 0));
      if (const std::optional<String> wrong = WrongType(entry, value))
        return Fail(path, *wrong);
    }
    else
    {
      switch (entry.id.dtype)
      {
        case DTYPE_LONG:
          if (j.IsText())
          {
            Result<Int32> labelled = schema.CycleValue(entry, j.GetText());
            if (labelled.IsError())
              return Fail(path, labelled.GetError().GetText());
            value = GeData(labelled.GetValue());
          }
          else
            value = GeData(HOST_TRY(ReadInt32(j, path)));
          break;
        case DTYPE_REAL: value = GeData(HOST_TRY(ReadFloat(j, path))); break;
        case DTYPE_BOOL: value = GeData(HOST_TRY(ReadBool(j, path))); break;
        case DTYPE_VECTOR: value = GeData(HOST_TRY(ReadVector(j, path))); break;
        case DTYPE_STRING:
        case DTYPE_STATIC: value = GeData(HOST_TRY(ReadText(j, path))); break;
        case DA_ALIASLINK:
          if (j.IsNull())
            value = GeData(BaseLink());
          else if (j.IsText())
            value = HOST_TRY(ReadLinkByName(j, path));
          else
            return Fail(path, "expected a Link: the linked object's name or path, such as \"Ridge\" or "
                              "\"Paths/Ridge\", null, or {\"Link\": key}");
          break;
        default:
          return Fail(path, "expected " + host::SceneValueTypeName(entry.id.dtype) +
                              " written as an object naming its type, such as {\"Custom\": {\"type\": " +
                              String::IntToString(entry.id.dtype) + ", \"data\": [...]}}");
      }
    }
    if (const std::optional<String> outside = OutsideRange(entry, value))
      return Fail(path, *outside);
    return value;
  }

  struct ResolvedType
  {
    NODEKIND kind;
    Bool plugin;
    Int32 type;
    Int32 diskLevel;
  };

  Result<ResolvedType> ResolveType(const JsonValue& j, const String& path, NODEKIND listKind) const
  {
    Int32 type = 0;
    if (j.IsText())
    {
      const String name(std::string(j.GetText()));
      for (const host::PluginEntry* e : host::GetPlugins())
        if (e->description.IsPopulated() && e->description == name)
          type = e->id;
      if (type == 0)
        return Fail(path, "unknown type \"" + name + "\"");
    }
    else
      type = HOST_TRY(ReadInt32(j, path));

    if (const host::PluginEntry* e = host::FindPlugin(type))
    {
      NODEKIND kind;
      switch (e->type)
      {
        case PLUGINTYPE::OBJECT: kind = NODEKIND::OBJECT; break;
        case PLUGINTYPE::SHADER: kind = NODEKIND::SHADER; break;
        case PLUGINTYPE::TAG: kind = NODEKIND::TAG; break;
        default: return Fail(path, "plug-in " + String::IntToString(type) + " is not a node that files hold");
      }
      return ResolvedType{kind, true, type, e->diskLevel};
    }
    if (const host::BuiltinType* bt = host::FindBuiltinType(type))
      return ResolvedType{bt->kind, false, type, 0};
    // Shader trees may hold shader types this host does not know; they load as plain shaders.
    if (listKind == NODEKIND::SHADER)
      return ResolvedType{NODEKIND::SHADER, false, type, 0};
    return Fail(path, "unknown type " + String::IntToString(type));
  }

  Result<BaseList2D*> Allocate(const ResolvedType& t, const String& path) const
  {
    BaseList2D* node = nullptr;
    if (t.plugin)
      node = AllocPluginNode(t.type);
    else if (t.kind == NODEKIND::SHADER)
      node = BaseShader::Alloc(t.type);
    else
      node = host::AllocBuiltinNode(t.type);
    if (!node)
      return Fail(path, "could not create a node of type " + String::IntToString(t.type) +
                          (t.plugin ? " (the plug-in's allocation or Init failed)" : ""));
    host::detail::StripNode(node);
    return node;
  }

  Result<void> ReadRecords(const JsonValue& j, VariableTag* tag, const String& path) const
  {
    const host::BuiltinType* bt = host::FindBuiltinType(tag->GetType());
    if (!j.IsArray())
      return Fail(path, String("expected an array of records (got ") + TypeName(j) + ")");
    if (j.Size() > static_cast<std::size_t>(std::numeric_limits<Int32>::max()) ||
        !tag->Resize(static_cast<Int32>(j.Size())))
      return Fail(path, "too many records");
    auto* bytes = static_cast<unsigned char*>(tag->GetLowlevelDataAddressW());
    std::size_t r = 0;
    for (const JsonValue rec : j)
    {
      const String rpath = path + "[" + String::IntToString(static_cast<Int>(r)) + "]";
      if (!rec.IsArray() || rec.Size() != bt->recordFields.size())
        return Fail(rpath, "expected a record of " + String::IntToString(static_cast<Int>(bt->recordFields.size())) +
                             " fields");
      unsigned char* out = bytes + r * static_cast<std::size_t>(bt->recordSize);
      std::size_t f = 0;
      for (const JsonValue value : rec)
      {
        const String fpath = rpath + "[" + String::IntToString(static_cast<Int>(f)) + "]";
        const host::RecordField& field = bt->recordFields[f];
        switch (field.kind)
        {
          case host::FIELDKIND::FLOAT64:
          {
            const Float v = HOST_TRY(ReadFloat(value, fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
          case host::FIELDKIND::INT32:
          {
            const Int32 v = HOST_TRY(ReadInt32(value, fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
          case host::FIELDKIND::BOOL:
          {
            const Bool v = HOST_TRY(ReadBool(value, fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
        }
        ++f;
      }
      ++r;
    }
    return OK;
  }

  // The point, polygon and segment tags of a point object must agree with each other.
  Result<void> CheckPointObject(BaseObject* op, const String& path, const std::unordered_map<BaseTag*, String>& tagPaths)
  {
    if (op->GetType() != Opolygon && op->GetType() != Ospline)
      return OK;
    const Int32 needed[] = {Tpoint, op->GetType() == Opolygon ? Tpolygon : Tsegment};
    for (Int32 type : needed)
    {
      if (op->GetTag(type, 1))
        return Fail(Join(path, "tags"), "more than one tag of type " + String::IntToString(type));
      if (!op->GetTag(type) && !op->MakeTag(type))
        return OutOfMemoryError(_source + ": " + path + ": could not add a tag");
    }
    PointObject* po = static_cast<PointObject*>(op);
    const Int32 points = po->GetPointCount();
    if (op->GetType() == Opolygon)
    {
      PolygonObject* poly = static_cast<PolygonObject*>(op);
      const CPolygon* polys = poly->GetPolygonR();
      auto it = tagPaths.find(op->GetTag(Tpolygon));
      const String tpath = it != tagPaths.end() ? Join(it->second, "records") : Join(path, "tags");
      for (Int32 i = 0; i < poly->GetPolygonCount(); ++i)
        for (Int32 index : {polys[i].a, polys[i].b, polys[i].c, polys[i].d})
          if (index < 0 || index >= points)
            return Fail(tpath + "[" + String::IntToString(i) + "]",
                        "point index " + String::IntToString(index) + " is out of range (" +
                          String::IntToString(points) + " points)");
    }
    else
    {
      SplineObject* spline = static_cast<SplineObject*>(op);
      const Segment* segs = spline->GetSegmentR();
      auto it = tagPaths.find(op->GetTag(Tsegment));
      const String tpath = it != tagPaths.end() ? Join(it->second, "records") : Join(path, "tags");
      Int sum = 0;
      for (Int32 i = 0; i < spline->GetSegmentCount(); ++i)
      {
        if (segs[i].cnt < 0)
          return Fail(tpath + "[" + String::IntToString(i) + "]", "a segment cannot have a negative point count");
        sum += segs[i].cnt;
      }
      if (spline->GetSegmentCount() > 0 && sum != points)
        return Fail(tpath, "the segments hold " + String::IntToString(sum) + " points, the spline has " +
                             String::IntToString(points));
    }
    return OK;
  }

  Result<void> ReadNodeList(const JsonValue& j, const String& path, host::ListHead& head, NODEKIND kind, Int32 depth,
                            std::unordered_map<BaseTag*, String>* tagPaths = nullptr)
  {
    if (!j.IsArray())
      return Fail(path, String("expected an array of nodes (got ") + TypeName(j) + ")");
    Int i = 0;
    for (const JsonValue e : j)
    {
      const String npath = path + "[" + String::IntToString(i++) + "]";
      BaseList2D* node = HOST_TRY(ReadNode(e, npath, head, kind, depth));
      if (tagPaths)
        (*tagPaths)[static_cast<BaseTag*>(node)] = npath;
    }
    return OK;
  }

  // A node's own fields (not its lists); kept out of ReadNode so that the recursion's frames stay small.
  [[gnu::noinline]] Result<BaseList2D*> ReadOwnFields(const JsonValue& j, const String& path, host::ListHead& head,
                                                     NODEKIND kind)
  {
    if (!j.IsObject())
      return Fail(path, String("expected a node (an object) (got ") + TypeName(j) + ")");
    if (!j.Contains("type"))
      return Fail(path, "missing field \"type\"");
    const ResolvedType t = HOST_TRY(ResolveType(j.Find("type"), Join(path, "type"), kind));
    if (t.kind != kind)
      return Fail(Join(path, "type"), "type " + String::IntToString(t.type) + " is " + KindName(t.kind) + ", not " +
                                         KindName(kind));
    switch (kind)
    {
      case NODEKIND::OBJECT:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "matrix", "enabled", "editorMode", "renderMode",
                                       "bits", "selected", "active", "nbits", "params", "data", "tags", "shaders",
                                       "children", StateField()}));
        break;
      case NODEKIND::SHADER:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "nbits", "params", "data", "shaders",
                                       "children", StateField()}));
        break;
      case NODEKIND::TAG:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "nbits", "params", "data", "shaders",
                                       "records", StateField()}));
        break;
      default:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "nbits", "params", "data", "shaders",
                                       StateField()}));
        break;
    }

    Int32 level = 0;
    if (t.plugin)
    {
      if (!j.Contains("level"))
        return Fail(path, "missing field \"level\" (the plug-in's disk level)");
      level = HOST_TRY(ReadInt32(j.Find("level"), Join(path, "level")));
      if (level < 0)
        return Fail(Join(path, "level"), "a disk level cannot be negative");
      if (level > t.diskLevel)
        return Fail(Join(path, "level"), "stored at level " + String::IntToString(level) +
                                           ", newer than the plug-in's level " + String::IntToString(t.diskLevel));
    }
    else
    {
      if (j.Contains("level"))
        return Fail(Join(path, "level"), "type " + String::IntToString(t.type) + " is not a registered plug-in");
      if (j.Contains("data"))
        return Fail(Join(path, "data"), "only plug-in nodes have data");
    }
    const host::BuiltinType* bt = t.plugin ? nullptr : host::FindBuiltinType(t.type);
    const Bool isVariableTag = bt && bt->recordSize > 0 && kind == NODEKIND::TAG;
    if (j.Contains("records") && !isVariableTag)
      return Fail(Join(path, "records"), "only variable tags have records");

    BaseList2D* node = HOST_TRY(Allocate(t, path));
    // From here on the document owns the node, so an error anywhere below frees it with the document.
    if (!host::AppendToList(head, node))
    {
      host::FreeNode(node);
      return Fail(path, "could not insert the node");
    }
    _items.push_back(Item{j, node, path, level, {}});

    if (j.Contains("key"))
    {
      const Int64 key = HOST_TRY(ReadInteger(j.Find("key"), Join(path, "key"), std::numeric_limits<Int64>::min(),
                                             std::numeric_limits<Int64>::max(), "a node key"));
      if (!_keys.emplace(key, node).second)
        return Fail(Join(path, "key"), "key " + String::IntToString(key) + " is used by another node too");
    }
    if (j.Contains("name"))
      node->SetName(HOST_TRY(ReadText(j.Find("name"), Join(path, "name"))));
    if (j.Contains("bits"))
      node->SetAllBits(HOST_TRY(ReadInt32(j.Find("bits"), Join(path, "bits"))));
    if (j.Contains("nbits"))
      HostNodeAccess::NBits(node) = HOST_TRY(ReadNodeBits(j.Find("nbits"), Join(path, "nbits")));
    if (isVariableTag && j.Contains("records"))
      HOST_TRY(ReadRecords(j.Find("records"), static_cast<VariableTag*>(node), Join(path, "records")));

    if (kind == NODEKIND::OBJECT)
    {
      BaseObject* op = static_cast<BaseObject*>(node);
      if (j.Contains("matrix"))
        op->SetMl(HOST_TRY(ReadMatrix(j.Find("matrix"), Join(path, "matrix"))));
      if (j.Contains("selected"))
      {
        if (HOST_TRY(ReadBool(j.Find("selected"), Join(path, "selected"))))
          op->SetBit(BIT_ACTIVE);
        else
          op->DelBit(BIT_ACTIVE);
      }
      if (j.Contains("active") && HOST_TRY(ReadBool(j.Find("active"), Join(path, "active"))))
      {
        if (_active)
          return Fail(Join(path, "active"), "only one object can be the active one (" + _activePath + " is too)");
        if (j.Contains("selected") && !op->GetBit(BIT_ACTIVE))
          return Fail(Join(path, "active"), "the active object must be selected");
        _active = op;
        _activePath = path;
      }
      if (j.Contains("enabled"))
        op->SetEnabled(HOST_TRY(ReadBool(j.Find("enabled"), Join(path, "enabled"))));
      for (const char* field : {"editorMode", "renderMode"})
        if (j.Contains(field))
        {
          const Int64 mode = HOST_TRY(ReadInteger(j.Find(field), Join(path, field), 0, 1, "a mode (0 on, 1 off)"));
          if (String(field) == "editorMode")
            op->SetEditorMode(static_cast<MODE>(mode));
          else
            op->SetRenderMode(static_cast<MODE>(mode));
        }
    }
    return node;
  }

  [[gnu::noinline]] Result<void> ReadTags(const JsonValue& j, BaseObject* op, const String& path, Int32 depth)
  {
    std::unordered_map<BaseTag*, String> tagPaths;
    if (j.Contains("tags"))
      HOST_TRY(ReadNodeList(j.Find("tags"), Join(path, "tags"), HostNodeAccess::Tags(op), NODEKIND::TAG, depth,
                            &tagPaths));
    return CheckPointObject(op, path, tagPaths);
  }

  Result<BaseList2D*> ReadNode(const JsonValue& j, const String& path, host::ListHead& head, NODEKIND kind, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    BaseList2D* node = HOST_TRY(ReadOwnFields(j, path, head, kind));
    if (kind == NODEKIND::OBJECT)
      HOST_TRY(ReadTags(j, static_cast<BaseObject*>(node), path, depth));
    if (j.Contains("shaders"))
      HOST_TRY(ReadNodeList(j.Find("shaders"), Join(path, "shaders"), HostNodeAccess::Shaders(node), NODEKIND::SHADER,
                            depth + 1));
    if (j.Contains("children"))
      HOST_TRY(ReadNodeList(j.Find("children"), Join(path, "children"), HostNodeAccess::Children(node), kind, depth + 1));
    return node;
  }

  Result<void> Build(const JsonValue& root)
  {
    if (!root.IsObject())
      return Fail("", "expected a JSON object at the top");
    HOST_TRY(CheckFields(root, "", {"format", "version", "params", "objects", "materials"}));
    if (!root.Contains("format"))
      return Fail("", "missing field \"format\"");
    if (!root.Find("format").IsText() || root.Find("format").GetText() != FORMAT_NAME)
      return Fail("format", String("not a scene file (expected \"") + FORMAT_NAME + "\")");
    if (!root.Contains("version"))
      return Fail("", "missing field \"version\"");
    _version = HOST_TRY(ReadInt32(root.Find("version"), "version"));
    if (_version < 1 || _version > host::SCENE_FORMAT_VERSION)
      return Fail("version", "format version " + String::IntToString(_version) + " cannot be read (this host reads 1 to " +
                               String::IntToString(host::SCENE_FORMAT_VERSION) + ")");
    if (!root.Contains("objects"))
      return Fail("", "missing field \"objects\"");

    // 1. The trees, with each node's own fields.
    HOST_TRY(ReadNodeList(root.Find("objects"), "objects", HostNodeAccess::Objects(_doc), NODEKIND::OBJECT, 0));
    if (root.Contains("materials"))
      HOST_TRY(ReadNodeList(root.Find("materials"), "materials", HostNodeAccess::Materials(_doc), NODEKIND::MATERIAL, 0));

    // 2. Parameters and plug-in data, now that every link target exists.
    if (root.Contains("params"))
    {
      BaseContainer bc;
      HOST_TRY(ReadParams(root.Find("params"), bc, "params", 0));
      _doc->GetDataInstance()->MergeContainer(bc);
    }
    for (Item& item : _items)
    {
      const JsonValue& j = item.json;
      // Stored parameters go over what Init set, so parameters newer than the file keep defaults.
      BaseContainer bc;
      if (j.Contains("params"))
      {
        const Schema* schema = _version >= 2 ? HOST_TRY(_schemas.Of(item.node, _source + ": " + item.path)) : nullptr;
        if (schema)
          HOST_TRY(ReadDescribedParams(j.Find("params"), bc, Join(item.path, "params"), *schema));
        else
          HOST_TRY(ReadParams(j.Find("params"), bc, Join(item.path, "params"), 0));
      }
      if (j.Contains("state"))
        HOST_TRY(ReadParams(j.Find("state"), bc, Join(item.path, "state"), 0));
      item.node->GetDataInstance()->MergeContainer(bc);
      if (j.Contains("data"))
        item.data = HOST_TRY(ReadStream(j.Find("data"), Join(item.path, "data"), 0));
    }

    // 3. Every plug-in node reads with the level it was stored at.
    for (Item& item : _items)
    {
      NodeData* data = item.node->GetNodeData();
      if (!data)
        continue;
      HyperFile hf(std::move(item.data));
      hf.SetFileVersion(item.level);
      if (!data->Read(item.node, &hf, item.level))
        return Fail(item.path, "the plug-in's Read failed (level " + String::IntToString(item.level) + ")");
    }

    // The active object is selected, and the one the document reports.
    if (_active)
      _doc->SetActiveObject(_active, SELECTION::ADD);

    // 4. The document is complete: tell every node.
    std::vector<BaseList2D*> nodes;
    host::detail::CollectDocumentNodes(_doc, nodes);
    for (BaseList2D* n : nodes)
    {
      DocumentInfoData info{MSG_DOCUMENTINFO_TYPE_LOAD, _doc};
      n->Message(MSG_DOCUMENTINFO, &info);
    }
    return OK;
  }

  // Format 2 keeps a node's container entries that are not parameters apart from them.
  const char* StateField() const { return _version >= 2 ? "state" : "params"; }

  // Node bits: a list of bit numbers from 0 to 63.
  Result<UInt64> ReadNodeBits(const JsonValue& j, const String& path) const
  {
    if (!j.IsArray())
      return Fail(path, String("expected an array of node bit numbers (got ") + TypeName(j) + ")");
    UInt64 bits = 0;
    Int i = 0;
    for (const JsonValue e : j)
    {
      const Int64 bit = HOST_TRY(ReadInteger(e, path + "[" + String::IntToString(i++) + "]", 0, 63, "a node bit (0 to 63)"));
      bits |= UInt64(1) << bit;
    }
    return bits;
  }

  String _source;
  BaseDocument* _doc = nullptr;
  BaseObject* _active = nullptr;   // the object a file marks "active"
  String _activePath;
  Int32 _version = 0;
  std::unordered_map<Int64, BaseList2D*> _keys;
  std::vector<Item> _items;
  SchemaCache _schemas;   // the descriptions parameters are checked against
};
} // namespace

namespace host
{
String SceneValueTypeName(Int32 dtype)
{
  switch (dtype)
  {
    case DTYPE_GROUP:
    case DTYPE_BUTTON:
    case DTYPE_SEPARATOR:
    case DTYPE_TITLE: return String();
    case DA_NIL: return "None";
    case DA_LONG: return "Int32";
    case DA_LLONG: return "Int64";
    case DA_REAL: return "Float";
    case DTYPE_BOOL: return "Bool";
    case DA_VECTOR: return "Vector";
    case DA_MATRIX: return "Matrix";
    case DA_STRING:
    case DTYPE_STATIC: return "String";
    case DA_CONTAINER: return "Container";
    case DA_ALIASLINK: return "Link";
    default: return "Custom " + String::IntToString(dtype);
  }
}

Bool IsValueEntry(const DescriptionEntry& entry)
{
  return SceneValueTypeName(entry.id.dtype).IsPopulated();
}

String FloatToSceneText(Float v)
{
  if (const char* text = NonFiniteFloatText(v))
    return text;
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return String(std::string(buf, r.ptr));
}

Result<DescriptionPtr> DescribeNodeType(Int32 type)
{
  const PluginEntry* plugin = FindPlugin(type);
  if (!plugin || (plugin->type != PLUGINTYPE::OBJECT && plugin->type != PLUGINTYPE::SHADER &&
                  plugin->type != PLUGINTYPE::TAG))
    return IllegalArgumentError("type " + String::IntToString(type) + " is no registered object, tag or shader");
  BaseList2D* node = AllocPluginNode(type);
  if (!node)
    return OutOfMemoryError("could not create a node of type " + String::IntToString(type) +
                            " (the plug-in's allocation or Init failed)");
  DescriptionPtr description(Description::Alloc());
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  const Bool described = description && node->GetDescription(description.get(), flags);
  FreeNode(node);
  if (!description)
    return OutOfMemoryError("could not allocate a description");
  if (!described)
    return IllegalStateError("type " + String::IntToString(type) + " could not build its description");
  return description;
}

Bool RegisterCustomDataType(Int32 type, CustomDataAllocator alloc)
{
  if (!alloc)
    return false;
  CustomRegistry& r = Customs();
  std::lock_guard lock(r.mutex);
  auto [it, inserted] = r.types.emplace(type, alloc);
  return inserted || it->second == alloc;
}

Result<String> SaveDocumentToText(BaseDocument* doc, const String& sourceName)
{
  if (!doc)
    return NullptrError("doc must not be nullptr!");
  Saver saver(sourceName);
  const ojson root = HOST_TRY(saver.Document(doc));
  try
  {
    std::string out;
    Pretty(root, 0, out);
    return String(std::move(out)) + "\n";
  }
  catch (const std::exception& e)
  {
    return UnexpectedError(sourceName + ": could not write the document (" + e.what() + ")");
  }
}

Result<void> SaveDocument(BaseDocument* doc, const Url& file)
{
  const String name = file.GetString();
  const String text = HOST_TRY(SaveDocumentToText(doc, name));
  std::filesystem::path tmp = file.GetPath();
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
      return UnexpectedError(name + ": cannot write the file");
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
    {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      return UnexpectedError(name + ": cannot write the file");
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file.GetPath(), ec);
  if (ec)
  {
    std::filesystem::remove(tmp, ec);
    return UnexpectedError(name + ": cannot replace the file");
  }
  return OK;
}

Result<BaseDocument*> LoadDocumentFromText(const String& text, const String& sourceName)
{
  Loader loader(sourceName);
  return loader.Load(text);
}

Result<BaseDocument*> LoadDocument(const Url& file)
{
  const String name = file.GetString();
  std::ifstream in(file.GetPath(), std::ios::binary);
  if (!in)
    return IllegalArgumentError(name + ": cannot open the file");
  // Read straight into the text (one copy of a large file, not three).
  String text;
  try
  {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file.GetPath(), ec);
    if (ec)
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    else
    {
      text.resize(static_cast<std::size_t>(size));
      in.read(text.data(), static_cast<std::streamsize>(size));
      text.resize(static_cast<std::size_t>(in.gcount()));
    }
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError(name + ": not enough memory to read the file");
  }
  catch (const std::length_error&)
  {
    return OutOfMemoryError(name + ": not enough memory to read the file");
  }
  if (in.bad())
    return IllegalArgumentError(name + ": cannot read the file");
  BaseDocument* doc = HOST_TRY(LoadDocumentFromText(text, name));
  // The document's path is the folder it was read from, whatever it was saved with, so that files it
  // names relatively (a bitmap shader's image) are found beside it.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(file.GetPath(), ec);
  doc->GetDataInstanceRef().SetString(DOCUMENT_PATH, String((ec ? file.GetPath() : absolute).parent_path().string()));
  return doc;
}
} // namespace host
