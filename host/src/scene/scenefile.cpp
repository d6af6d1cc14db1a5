// Scene documents as JSON (the format is described in scenefile.h). nlohmann-json stays inside this
// unit: its exceptions are caught here and turned into errors that name the file and the place.
#include "host/scene/scenefile.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "host/scene/hyperfile.h"
#include "host/scene/messages.h"
#include "internal.h"
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
    std::vector<BaseList2D*> nodes;
    host::detail::CollectDocumentNodes(doc, nodes);
    for (std::size_t i = 0; i < nodes.size(); ++i)
      _keyOf[nodes[i]->GetGUID()] = static_cast<Int64>(i + 1);

    ojson root = ojson::object();
    root["format"] = FORMAT_NAME;
    root["version"] = host::SCENE_FORMAT_VERSION;
    if (!doc->GetDataInstance()->IsEmpty())
      root["params"] = HOST_TRY(Params(*doc->GetDataInstance(), "params", 0));
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
    if (std::isnan(v))
      return "NaN";
    if (std::isinf(v))
      return v > 0 ? "Infinity" : "-Infinity";
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

  Result<ojson> Params(const BaseContainer& bc, const String& path, Int32 depth)
  {
    ojson j = ojson::object();
    for (const BaseContainer::Entry& e : bc)
    {
      const String key = String::IntToString(e.id);
      j[key.GetStd()] = HOST_TRY(Value(e.data, Join(path, key), depth));
    }
    return j;
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
    if (node->GetAllBits() != 0)
      j["bits"] = node->GetAllBits();
    if (!node->GetDataInstance()->IsEmpty())
      j["params"] = HOST_TRY(Params(*node->GetDataInstance(), Join(path, "params"), 0));
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
};

// ---------------------------------------------------------------------------------------------------
// Reading

// Finds the first member name that appears twice in one JSON object, with its place: the parser
// keeps only one of them, so without this a repeated parameter would vanish silently.
class DuplicateFinder
{
public:
  Bool operator()(int, ojson::parse_event_t event, ojson& parsed)
  {
    using E = ojson::parse_event_t;
    switch (event)
    {
      case E::object_start:
        BeginElement();
        _frames.push_back(Frame{false, -1, {}, {}});
        break;
      case E::array_start:
        BeginElement();
        _frames.push_back(Frame{true, -1, {}, {}});
        break;
      case E::object_end:
      case E::array_end:
        if (!_frames.empty())
          _frames.pop_back();
        break;
      case E::key:
        if (!_frames.empty())
        {
          Frame& f = _frames.back();
          const std::string key = parsed.get<std::string>();
          if (!f.keys.insert(key).second && _duplicate.IsEmpty())
          {
            f.key = key;
            _duplicate = Path();
          }
          f.key = key;
        }
        break;
      case E::value: BeginElement(); break;
    }
    return true;
  }

  const String& GetDuplicate() const { return _duplicate; }

private:
  struct Frame
  {
    Bool isArray;
    Int index = -1;
    std::string key;
    std::set<std::string> keys;
  };

  void BeginElement()
  {
    if (!_frames.empty() && _frames.back().isArray)
      ++_frames.back().index;
  }

  String Path() const
  {
    String path;
    for (const Frame& f : _frames)
      path = f.isArray ? path + "[" + String::IntToString(f.index) + "]" : Join(path, String(f.key));
    return path;
  }

  std::vector<Frame> _frames;
  String _duplicate;
};

class Loader
{
public:
  explicit Loader(String source) : _source(std::move(source)) {}

  Result<BaseDocument*> Load(const String& text)
  {
    ojson root;
    DuplicateFinder dups;
    try
    {
      root = ojson::parse(text.GetStd(), std::ref(dups));
    }
    catch (const nlohmann::json::parse_error& e)
    {
      return ParseFailure(text, e);
    }
    catch (const nlohmann::json::exception& e)
    {
      // Errors without a position (a number too large for a double ...): keep the parser's words.
      String reason(e.what());
      const std::size_t cut = reason.find("] ");
      return Fail("", "not valid JSON (" + (cut == String::npos ? reason : String(reason.substr(cut + 2))) + ")");
    }
    catch (const std::exception& e)
    {
      return Fail("", String("could not be read (") + e.what() + ")");
    }
    if (dups.GetDuplicate().IsPopulated())
      return Fail(dups.GetDuplicate(), "appears twice in the same object");

    BaseDocument* doc = BaseDocument::Alloc();
    if (!doc)
      return OutOfMemoryError(_source + ": could not allocate the document");
    _doc = doc;
    Result<void> r = Build(root);
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
    const ojson* json;
    BaseList2D* node;
    String path;
    Int32 level;
    std::vector<GeData> data;
  };

  Error Fail(const String& path, const String& message) const
  {
    return IllegalArgumentError(_source + ": " + (path.IsEmpty() ? message : path + ": " + message));
  }

  Error ParseFailure(const String& text, const nlohmann::json::parse_error& e) const
  {
    // Line and column of the byte the parser stopped at, counted from 1.
    const std::size_t at = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
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
    String reason(e.what());
    const std::size_t cut = reason.find(": ", reason.find("column"));
    if (cut != String::npos)
      reason = reason.substr(cut + 2);
    return IllegalArgumentError(_source + ": line " + String::IntToString(line) + ", column " +
                                String::IntToString(column) + ": not valid JSON (" + reason + ")");
  }

  Result<void> CheckFields(const ojson& j, const String& path, std::initializer_list<const char*> allowed) const
  {
    for (auto it = j.begin(); it != j.end(); ++it)
    {
      Bool known = false;
      for (const char* a : allowed)
        known = known || it.key() == a;
      if (!known)
        return Fail(Join(path, String(it.key())), "unknown field");
    }
    return OK;
  }

  static const char* TypeName(const ojson& j)
  {
    if (j.is_null())
      return "null";
    if (j.is_boolean())
      return "a Bool";
    if (j.is_number())
      return "a number";
    if (j.is_string())
      return "text";
    if (j.is_array())
      return "an array";
    return "an object";
  }

  Result<Int64> ReadInteger(const ojson& j, const String& path, Int64 lo, Int64 hi, const char* what) const
  {
    Int64 v = 0;
    if (j.is_number_unsigned())
    {
      const UInt64 u = j.get<UInt64>();
      if (u > static_cast<UInt64>(std::numeric_limits<Int64>::max()))
        return Fail(path, String("expected ") + what + " (value out of range)");
      v = static_cast<Int64>(u);
    }
    else if (j.is_number_integer())
      v = j.get<Int64>();
    else if (j.is_number_float())
      return Fail(path, String("expected ") + what + " (got a number that is not a whole number in range)");
    else
      return Fail(path, String("expected ") + what + " (got " + TypeName(j) + ")");
    if (v < lo || v > hi)
      return Fail(path, String("expected ") + what + " (value out of range)");
    return v;
  }

  Result<Int32> ReadInt32(const ojson& j, const String& path) const
  {
    return static_cast<Int32>(HOST_TRY(ReadInteger(j, path, std::numeric_limits<Int32>::min(),
                                                   std::numeric_limits<Int32>::max(), "an Int32")));
  }

  Result<Float> ReadFloat(const ojson& j, const String& path) const
  {
    if (j.is_string())
    {
      if (const auto f = host::NonFiniteFloatFromText(j.get_ref<const std::string&>()))
        return *f;
      return Fail(path, "expected a Float (text other than \"NaN\", \"Infinity\", \"-Infinity\")");
    }
    if (!j.is_number())
      return Fail(path, String("expected a Float (got ") + TypeName(j) + ")");
    const Float v = j.get<Float>();
    if (!std::isfinite(v))
      return Fail(path, "expected a Float (value out of range)");
    return v;
  }

  Result<Bool> ReadBool(const ojson& j, const String& path) const
  {
    if (!j.is_boolean())
      return Fail(path, String("expected a Bool (got ") + TypeName(j) + ")");
    return j.get<Bool>();
  }

  Result<String> ReadText(const ojson& j, const String& path) const
  {
    if (!j.is_string())
      return Fail(path, String("expected text (got ") + TypeName(j) + ")");
    return String(j.get<std::string>());
  }

  Result<Vector> ReadVector(const ojson& j, const String& path) const
  {
    if (!j.is_array() || j.size() != 3)
      return Fail(path, "expected a Vector (an array of 3 numbers)");
    return Vector(HOST_TRY(ReadFloat(j[0], path + "[0]")), HOST_TRY(ReadFloat(j[1], path + "[1]")),
                  HOST_TRY(ReadFloat(j[2], path + "[2]")));
  }

  Result<Matrix> ReadMatrix(const ojson& j, const String& path) const
  {
    if (!j.is_object())
      return Fail(path, "expected a Matrix (an object with off, v1, v2, v3)");
    HOST_TRY(CheckFields(j, path, {"off", "v1", "v2", "v3"}));
    Matrix m;
    Vector* parts[] = {&m.off, &m.v1, &m.v2, &m.v3};
    const char* names[] = {"off", "v1", "v2", "v3"};
    for (int i = 0; i < 4; ++i)
    {
      if (!j.contains(names[i]))
        return Fail(path, String("missing field \"") + names[i] + "\"");
      *parts[i] = HOST_TRY(ReadVector(j[names[i]], Join(path, names[i])));
    }
    return m;
  }

  Result<GeData> ReadValue(const ojson& j, const String& path, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    if (!j.is_object() || j.size() != 1)
      return Fail(path, "expected a value: an object with one member naming its type, such as {\"Float\": 1.5}");
    const std::string type = j.begin().key();
    const ojson& v = j.begin().value();
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
      if (!v.is_null())
        return Fail(path, "expected null for None");
      return GeData();
    }
    if (type == "Link")
    {
      if (v.is_null())
        return GeData(BaseLink());
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
      if (!v.is_object())
        return Fail(path, "expected a Container (an object with id and params)");
      const String cpath = Join(path, "Container");
      HOST_TRY(CheckFields(v, cpath, {"id", "params"}));
      BaseContainer bc;
      if (v.contains("id"))
        bc.SetId(HOST_TRY(ReadInt32(v["id"], Join(cpath, "id"))));
      if (v.contains("params"))
        HOST_TRY(ReadParams(v["params"], bc, Join(cpath, "params"), depth + 1));
      return GeData(bc);
    }
    if (type == "Custom")
    {
      if (!v.is_object())
        return Fail(path, "expected Custom data (an object with type and data)");
      const String cpath = Join(path, "Custom");
      HOST_TRY(CheckFields(v, cpath, {"type", "data"}));
      if (!v.contains("type"))
        return Fail(cpath, "missing field \"type\"");
      const Int32 ctype = HOST_TRY(ReadInt32(v["type"], Join(cpath, "type")));
      const host::CustomDataAllocator alloc = FindCustomType(ctype);
      if (!alloc)
        return Fail(cpath, "unknown custom data type " + String::IntToString(ctype));
      std::vector<GeData> values;
      if (v.contains("data"))
        values = HOST_TRY(ReadStream(v["data"], Join(cpath, "data"), depth + 1));
      std::unique_ptr<CustomDataType> cd = alloc();
      if (!cd)
        return OutOfMemoryError(_source + ": " + cpath + ": could not allocate custom data");
      HyperFile hf(std::move(values));
      if (cd->GetCustomTypeId() != ctype || !cd->ReadData(&hf, 0))
        return Fail(cpath, "custom data type " + String::IntToString(ctype) + " could not read its data");
      return GeData(std::move(cd));
    }
    return Fail(path, "unknown value type \"" + String(type) + "\"");
  }

  Result<std::vector<GeData>> ReadStream(const ojson& j, const String& path, Int32 depth)
  {
    if (!j.is_array())
      return Fail(path, String("expected an array of values (got ") + TypeName(j) + ")");
    std::vector<GeData> out;
    out.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i)
      out.push_back(HOST_TRY(ReadValue(j[i], path + "[" + String::IntToString(static_cast<Int>(i)) + "]", depth)));
    return out;
  }

  Result<void> ReadParams(const ojson& j, BaseContainer& bc, const String& path, Int32 depth)
  {
    if (!j.is_object())
      return Fail(path, String("expected an object of parameters (got ") + TypeName(j) + ")");
    for (auto it = j.begin(); it != j.end(); ++it)
    {
      const std::string& key = it.key();
      Int32 id = 0;
      const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), id);
      // The decimal text must be the id's own spelling, so "1003" and "01003" cannot both name 1003.
      if (ec != std::errc() || end != key.data() + key.size() || String::IntToString(id) != key)
        return Fail(Join(path, String(key)), "not a parameter id (decimal Int32)");
      bc.SetData(id, HOST_TRY(ReadValue(it.value(), Join(path, String(key)), depth)));
    }
    return OK;
  }

  struct ResolvedType
  {
    NODEKIND kind;
    Bool plugin;
    Int32 type;
    Int32 diskLevel;
  };

  Result<ResolvedType> ResolveType(const ojson& j, const String& path, NODEKIND listKind) const
  {
    Int32 type = 0;
    if (j.is_string())
    {
      const String name(j.get<std::string>());
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

  Result<void> ReadRecords(const ojson& j, VariableTag* tag, const String& path) const
  {
    const host::BuiltinType* bt = host::FindBuiltinType(tag->GetType());
    if (!j.is_array())
      return Fail(path, String("expected an array of records (got ") + TypeName(j) + ")");
    if (j.size() > static_cast<std::size_t>(std::numeric_limits<Int32>::max()) ||
        !tag->Resize(static_cast<Int32>(j.size())))
      return Fail(path, "too many records");
    auto* bytes = static_cast<unsigned char*>(tag->GetLowlevelDataAddressW());
    for (std::size_t r = 0; r < j.size(); ++r)
    {
      const String rpath = path + "[" + String::IntToString(static_cast<Int>(r)) + "]";
      const ojson& rec = j[r];
      if (!rec.is_array() || rec.size() != bt->recordFields.size())
        return Fail(rpath, "expected a record of " + String::IntToString(static_cast<Int>(bt->recordFields.size())) +
                             " fields");
      unsigned char* out = bytes + r * static_cast<std::size_t>(bt->recordSize);
      for (std::size_t f = 0; f < rec.size(); ++f)
      {
        const String fpath = rpath + "[" + String::IntToString(static_cast<Int>(f)) + "]";
        const host::RecordField& field = bt->recordFields[f];
        switch (field.kind)
        {
          case host::FIELDKIND::FLOAT64:
          {
            const Float v = HOST_TRY(ReadFloat(rec[f], fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
          case host::FIELDKIND::INT32:
          {
            const Int32 v = HOST_TRY(ReadInt32(rec[f], fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
          case host::FIELDKIND::BOOL:
          {
            const Bool v = HOST_TRY(ReadBool(rec[f], fpath));
            std::memcpy(out + field.offset, &v, sizeof v);
            break;
          }
        }
      }
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

  Result<void> ReadNodeList(const ojson& j, const String& path, host::ListHead& head, NODEKIND kind, Int32 depth,
                            std::unordered_map<BaseTag*, String>* tagPaths = nullptr)
  {
    if (!j.is_array())
      return Fail(path, String("expected an array of nodes (got ") + TypeName(j) + ")");
    for (std::size_t i = 0; i < j.size(); ++i)
    {
      const String npath = path + "[" + String::IntToString(static_cast<Int>(i)) + "]";
      BaseList2D* node = HOST_TRY(ReadNode(j[i], npath, head, kind, depth));
      if (tagPaths)
        (*tagPaths)[static_cast<BaseTag*>(node)] = npath;
    }
    return OK;
  }

  // A node's own fields (not its lists); kept out of ReadNode so that the recursion's frames stay small.
  [[gnu::noinline]] Result<BaseList2D*> ReadOwnFields(const ojson& j, const String& path, host::ListHead& head,
                                                     NODEKIND kind)
  {
    if (!j.is_object())
      return Fail(path, String("expected a node (an object) (got ") + TypeName(j) + ")");
    if (!j.contains("type"))
      return Fail(path, "missing field \"type\"");
    const ResolvedType t = HOST_TRY(ResolveType(j["type"], Join(path, "type"), kind));
    if (t.kind != kind)
      return Fail(Join(path, "type"), "type " + String::IntToString(t.type) + " is " + KindName(t.kind) + ", not " +
                                         KindName(kind));
    switch (kind)
    {
      case NODEKIND::OBJECT:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "matrix", "enabled", "editorMode", "renderMode",
                                       "bits", "params", "data", "tags", "shaders", "children"}));
        break;
      case NODEKIND::SHADER:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "params", "data", "shaders", "children"}));
        break;
      case NODEKIND::TAG:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "params", "data", "shaders", "records"}));
        break;
      default:
        HOST_TRY(CheckFields(j, path, {"type", "key", "name", "level", "bits", "params", "data", "shaders"}));
        break;
    }

    Int32 level = 0;
    if (t.plugin)
    {
      if (!j.contains("level"))
        return Fail(path, "missing field \"level\" (the plug-in's disk level)");
      level = HOST_TRY(ReadInt32(j["level"], Join(path, "level")));
      if (level < 0)
        return Fail(Join(path, "level"), "a disk level cannot be negative");
      if (level > t.diskLevel)
        return Fail(Join(path, "level"), "stored at level " + String::IntToString(level) +
                                           ", newer than the plug-in's level " + String::IntToString(t.diskLevel));
    }
    else
    {
      if (j.contains("level"))
        return Fail(Join(path, "level"), "type " + String::IntToString(t.type) + " is not a registered plug-in");
      if (j.contains("data"))
        return Fail(Join(path, "data"), "only plug-in nodes have data");
    }
    const host::BuiltinType* bt = t.plugin ? nullptr : host::FindBuiltinType(t.type);
    const Bool isVariableTag = bt && bt->recordSize > 0 && kind == NODEKIND::TAG;
    if (j.contains("records") && !isVariableTag)
      return Fail(Join(path, "records"), "only variable tags have records");

    BaseList2D* node = HOST_TRY(Allocate(t, path));
    // From here on the document owns the node, so an error anywhere below frees it with the document.
    if (!host::AppendToList(head, node))
    {
      host::FreeNode(node);
      return Fail(path, "could not insert the node");
    }
    _items.push_back(Item{&j, node, path, level, {}});

    if (j.contains("key"))
    {
      const Int64 key = HOST_TRY(ReadInteger(j["key"], Join(path, "key"), std::numeric_limits<Int64>::min(),
                                             std::numeric_limits<Int64>::max(), "a node key"));
      if (!_keys.emplace(key, node).second)
        return Fail(Join(path, "key"), "key " + String::IntToString(key) + " is used by another node too");
    }
    if (j.contains("name"))
      node->SetName(HOST_TRY(ReadText(j["name"], Join(path, "name"))));
    if (j.contains("bits"))
      node->SetAllBits(HOST_TRY(ReadInt32(j["bits"], Join(path, "bits"))));
    if (isVariableTag && j.contains("records"))
      HOST_TRY(ReadRecords(j["records"], static_cast<VariableTag*>(node), Join(path, "records")));

    if (kind == NODEKIND::OBJECT)
    {
      BaseObject* op = static_cast<BaseObject*>(node);
      if (j.contains("matrix"))
        op->SetMl(HOST_TRY(ReadMatrix(j["matrix"], Join(path, "matrix"))));
      if (j.contains("enabled"))
        op->SetEnabled(HOST_TRY(ReadBool(j["enabled"], Join(path, "enabled"))));
      for (const char* field : {"editorMode", "renderMode"})
        if (j.contains(field))
        {
          const Int64 mode = HOST_TRY(ReadInteger(j[field], Join(path, field), 0, 1, "a mode (0 on, 1 off)"));
          if (String(field) == "editorMode")
            op->SetEditorMode(static_cast<MODE>(mode));
          else
            op->SetRenderMode(static_cast<MODE>(mode));
        }
    }
    return node;
  }

  [[gnu::noinline]] Result<void> ReadTags(const ojson& j, BaseObject* op, const String& path, Int32 depth)
  {
    std::unordered_map<BaseTag*, String> tagPaths;
    if (j.contains("tags"))
      HOST_TRY(ReadNodeList(j["tags"], Join(path, "tags"), HostNodeAccess::Tags(op), NODEKIND::TAG, depth,
                            &tagPaths));
    return CheckPointObject(op, path, tagPaths);
  }

  Result<BaseList2D*> ReadNode(const ojson& j, const String& path, host::ListHead& head, NODEKIND kind, Int32 depth)
  {
    if (depth > host::SCENE_MAX_DEPTH)
      return Fail(path, "nesting deeper than " + String::IntToString(host::SCENE_MAX_DEPTH) + " levels");
    BaseList2D* node = HOST_TRY(ReadOwnFields(j, path, head, kind));
    if (kind == NODEKIND::OBJECT)
      HOST_TRY(ReadTags(j, static_cast<BaseObject*>(node), path, depth));
    if (j.contains("shaders"))
      HOST_TRY(ReadNodeList(j["shaders"], Join(path, "shaders"), HostNodeAccess::Shaders(node), NODEKIND::SHADER,
                            depth + 1));
    if (j.contains("children"))
      HOST_TRY(ReadNodeList(j["children"], Join(path, "children"), HostNodeAccess::Children(node), kind, depth + 1));
    return node;
  }

  Result<void> Build(const ojson& root)
  {
    if (!root.is_object())
      return Fail("", "expected a JSON object at the top");
    HOST_TRY(CheckFields(root, "", {"format", "version", "params", "objects", "materials"}));
    if (!root.contains("format"))
      return Fail("", "missing field \"format\"");
    if (!root["format"].is_string() || root["format"].get<std::string>() != FORMAT_NAME)
      return Fail("format", String("not a scene file (expected \"") + FORMAT_NAME + "\")");
    if (!root.contains("version"))
      return Fail("", "missing field \"version\"");
    const Int32 version = HOST_TRY(ReadInt32(root["version"], "version"));
    if (version < 1 || version > host::SCENE_FORMAT_VERSION)
      return Fail("version", "format version " + String::IntToString(version) + " cannot be read (this host reads " +
                               String::IntToString(host::SCENE_FORMAT_VERSION) + ")");
    if (!root.contains("objects"))
      return Fail("", "missing field \"objects\"");

    // 1. The trees, with each node's own fields.
    HOST_TRY(ReadNodeList(root["objects"], "objects", HostNodeAccess::Objects(_doc), NODEKIND::OBJECT, 0));
    if (root.contains("materials"))
      HOST_TRY(ReadNodeList(root["materials"], "materials", HostNodeAccess::Materials(_doc), NODEKIND::MATERIAL, 0));

    // 2. Parameters and plug-in data, now that every link target exists.
    if (root.contains("params"))
    {
      BaseContainer bc;
      HOST_TRY(ReadParams(root["params"], bc, "params", 0));
      _doc->GetDataInstance()->MergeContainer(bc);
    }
    for (Item& item : _items)
    {
      const ojson& j = *item.json;
      if (j.contains("params"))
      {
        // Stored parameters go over what Init set, so parameters newer than the file keep defaults.
        BaseContainer bc;
        HOST_TRY(ReadParams(j["params"], bc, Join(item.path, "params"), 0));
        item.node->GetDataInstance()->MergeContainer(bc);
      }
      if (j.contains("data"))
        item.data = HOST_TRY(ReadStream(j["data"], Join(item.path, "data"), 0));
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

  String _source;
  BaseDocument* _doc = nullptr;
  std::unordered_map<Int64, BaseList2D*> _keys;
  std::vector<Item> _items;
};
} // namespace

namespace host
{
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
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad())
    return IllegalArgumentError(name + ": cannot read the file");
  return LoadDocumentFromText(String(buffer.str()), name);
}
} // namespace host
