// The flat JSON document; see jsondoc.h.
#include "jsondoc.h"

#include <algorithm>
#include <limits>
#include <new>

#include <nlohmann/json.hpp>

#include "host/core/alloc.h"

namespace host::json
{
// ---------------------------------------------------------------------------------------------------
// Value

KIND Value::Kind() const
{
  return _doc ? _doc->_nodes[_index].kind : KIND::NUL;
}

Bool Value::GetBool() const
{
  return Kind() == KIND::BOOLEAN && _doc->_nodes[_index].boolean;
}

Int64 Value::GetInt64() const
{
  switch (Kind())
  {
    case KIND::INTEGER: return _doc->_nodes[_index].integer;
    case KIND::UNSIGNED: return static_cast<Int64>(_doc->_nodes[_index].unsignedInteger);
    default: return 0;
  }
}

UInt64 Value::GetUInt64() const
{
  return Kind() == KIND::UNSIGNED ? _doc->_nodes[_index].unsignedInteger : 0;
}

Float Value::GetFloat() const
{
  switch (Kind())
  {
    case KIND::INTEGER: return static_cast<Float>(_doc->_nodes[_index].integer);
    case KIND::UNSIGNED: return static_cast<Float>(_doc->_nodes[_index].unsignedInteger);
    case KIND::FLOAT: return _doc->_nodes[_index].number;
    default: return 0.0;
  }
}

std::string_view Value::GetText() const
{
  if (Kind() != KIND::TEXT)
    return {};
  const Document::Node& n = _doc->_nodes[_index];
  return std::string_view(_doc->_strings).substr(n.textOffset, n.textLength);
}

std::size_t Value::Size() const
{
  return IsArray() || IsObject() ? _doc->_nodes[_index].count : 0;
}

std::string_view Value::Key() const
{
  if (!_doc)
    return {};
  const Document::Node& n = _doc->_nodes[_index];
  return std::string_view(_doc->_strings).substr(n.keyOffset, n.keyLength);
}

Value Value::Find(std::string_view key) const
{
  if (!IsObject())
    return Value();
  for (const Value member : *this)
    if (member.Key() == key)
      return member;
  return Value();
}

Value::Iterator& Value::Iterator::operator++()
{
  _index = _doc->_nodes[_index].next;
  return *this;
}

Value::Iterator Value::begin() const
{
  if (!IsArray() && !IsObject())
    return end();
  return Iterator(_doc, _index + 1);
}

Value::Iterator Value::end() const
{
  return Iterator(_doc, _doc ? _doc->_nodes[_index].next : 0);
}

// ---------------------------------------------------------------------------------------------------
// Building from nlohmann's SAX events

class Builder
{
public:
  using Json = nlohmann::json;

  Builder(Document& doc, std::size_t maxDepth) : _doc(doc), _maxDepth(maxDepth) {}

  bool null() { return Add(KIND::NUL) != NONE; }
  bool boolean(bool v)
  {
    const std::size_t i = Add(KIND::BOOLEAN);
    _doc._nodes[i].boolean = v;
    return true;
  }
  bool number_integer(Json::number_integer_t v)
  {
    const std::size_t i = Add(v < 0 ? KIND::INTEGER : KIND::UNSIGNED);
    _doc._nodes[i].integer = v;
    return true;
  }
  bool number_unsigned(Json::number_unsigned_t v)
  {
    const std::size_t i = Add(KIND::UNSIGNED);
    _doc._nodes[i].unsignedInteger = v;
    return true;
  }
  bool number_float(Json::number_float_t v, const Json::string_t&)
  {
    const std::size_t i = Add(KIND::FLOAT);
    _doc._nodes[i].number = v;
    return true;
  }
  bool string(Json::string_t& v)
  {
    const UInt64 offset = Store(v);
    const std::size_t i = Add(KIND::TEXT);
    _doc._nodes[i].textOffset = offset;
    _doc._nodes[i].textLength = v.size();
    return true;
  }
  bool binary(Json::binary_t&) { return false; }   // never in JSON text
  bool start_object(std::size_t) { return Open(KIND::OBJECT); }
  bool start_array(std::size_t) { return Open(KIND::ARRAY); }
  bool key(Json::string_t& k)
  {
    if (k.size() > std::numeric_limits<UInt32>::max())
      throw std::bad_alloc();
    _keyOffset = Store(k);
    _keyLength = static_cast<UInt32>(k.size());
    return true;
  }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e)
  {
    _result.status = PARSE::SYNTAX;
    std::string reason = e.what();
    if (dynamic_cast<const Json::parse_error*>(&e))
    {
      // "[json.exception.parse_error.101] parse error at line 1, column 37: <reason>"
      _result.byte = position;
      const std::size_t cut = reason.find(": ", reason.find("column"));
      if (cut != std::string::npos)
        reason = reason.substr(cut + 2);
    }
    else
    {
      // Errors without a place, such as a number too large for a double.
      const std::size_t cut = reason.find("] ");
      if (cut != std::string::npos)
        reason = reason.substr(cut + 2);
    }
    _result.message = reason;
    return false;
  }

  ParseResult& Result() { return _result; }
  std::size_t ContainersOpened() const { return _opened; }

private:
  static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

  struct Frame
  {
    std::size_t node;
    Bool object;
    std::size_t lastChild = NONE;
  };

  template <typename Buffer>
  static void Reserve(Buffer& buffer, std::size_t more)
  {
    if (buffer.size() + more > buffer.capacity())
    {
      if (AllocationShouldFail())
        throw std::bad_alloc();
      buffer.reserve(std::max(buffer.capacity() * 2, buffer.size() + more));
    }
  }

  UInt64 Store(const std::string& s)
  {
    Reserve(_doc._strings, s.size());
    const UInt64 offset = _doc._strings.size();
    _doc._strings += s;
    return offset;
  }

  std::size_t Add(KIND kind)
  {
    Reserve(_doc._nodes, 1);
    const std::size_t i = _doc._nodes.size();
    Document::Node& n = _doc._nodes.emplace_back();
    n.kind = kind;
    n.next = i + 1;
    if (!_frames.empty())
    {
      Frame& parent = _frames.back();
      ++_doc._nodes[parent.node].count;
      parent.lastChild = i;
      if (parent.object)
      {
        n.keyOffset = _keyOffset;
        n.keyLength = _keyLength;
      }
    }
    return i;
  }

  bool Open(KIND kind)
  {
    ++_opened;
    if (_frames.size() >= _maxDepth)
    {
      _result.status = PARSE::TOO_DEEP;
      return false;
    }
    const std::size_t i = Add(kind);
    if (_frames.size() == _frames.capacity() && AllocationShouldFail())
      throw std::bad_alloc();
    _frames.push_back(Frame{i, kind == KIND::OBJECT});
    return true;
  }

  bool Close()
  {
    const Frame frame = _frames.back();
    _doc._nodes[frame.node].next = _doc._nodes.size();
    if (frame.object)
      if (const std::size_t repeated = FindRepeatedMember(frame.node); repeated != NONE)
      {
        _result.status = PARSE::DUPLICATE;
        _result.path = PathTo(repeated);
        return false;
      }
    _frames.pop_back();
    return true;
  }

  std::string_view KeyOf(std::size_t i) const
  {
    const Document::Node& n = _doc._nodes[i];
    return std::string_view(_doc._strings).substr(n.keyOffset, n.keyLength);
  }

  // The member whose name came before in the same object, the earliest such in the text; NONE when the
  // names are all different.
  std::size_t FindRepeatedMember(std::size_t object)
  {
    const std::size_t count = _doc._nodes[object].count;
    if (count < 2)
      return NONE;
    _members.clear();
    if (_members.capacity() < count && AllocationShouldFail())
      throw std::bad_alloc();
    _members.reserve(count);
    for (std::size_t i = object + 1; i < _doc._nodes[object].next; i = _doc._nodes[i].next)
      _members.push_back(i);
    // Sorted by name, then by place: in each run of one name the second entry is its first repeat.
    std::sort(_members.begin(), _members.end(), [this](std::size_t a, std::size_t b) {
      const std::string_view ka = KeyOf(a), kb = KeyOf(b);
      return ka != kb ? ka < kb : a < b;
    });
    std::size_t first = NONE;
    for (std::size_t k = 1; k < _members.size(); ++k)
      if (KeyOf(_members[k]) == KeyOf(_members[k - 1]) && (k < 2 || KeyOf(_members[k - 2]) != KeyOf(_members[k])))
        first = std::min(first, _members[k]);
    return first;
  }

  // The place of a member of the innermost open object, as the scene reader names places.
  std::string PathTo(std::size_t member) const
  {
    std::string path;
    const auto append = [&path](std::size_t child, const Frame& in, std::string_view key) {
      if (!in.object)
      {
        // The open element's index: how many elements came before it.
        path += "[" + std::to_string(child) + "]";
        return;
      }
      if (!path.empty())
        path += '.';
      path += key;
    };
    for (std::size_t f = 0; f + 1 < _frames.size(); ++f)
    {
      const Frame& frame = _frames[f];
      append(_doc._nodes[frame.node].count - 1, frame, frame.object ? KeyOf(frame.lastChild) : std::string_view());
    }
    append(0, _frames.back(), KeyOf(member));
    return path;
  }

  Document& _doc;
  const std::size_t _maxDepth;
  std::vector<Frame> _frames;
  std::vector<std::size_t> _members;
  UInt64 _keyOffset = 0;
  UInt32 _keyLength = 0;
  std::size_t _opened = 0;
  ParseResult _result;
};

namespace
{
// 1-based position of the n-th '[' or '{' outside strings (n counted from 1); 0 when there are fewer.
std::size_t NthOpeningBracket(std::string_view text, std::size_t n)
{
  Bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i)
  {
    const char c = text[i];
    if (inString)
    {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    }
    else if (c == '"')
      inString = true;
    else if ((c == '[' || c == '{') && --n == 0)
      return i + 1;
  }
  return 0;
}
} // namespace

ParseResult Document::Parse(std::string_view text, std::size_t maxDepth)
{
  std::vector<Node>().swap(_nodes);
  std::string().swap(_strings);
  Builder builder(*this, maxDepth);
  Bool parsed = false;
  try
  {
    parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true);
  }
  catch (const std::bad_alloc&)
  {
    builder.Result() = ParseResult{PARSE::OUT_OF_MEMORY, "", 0, ""};
  }
  catch (const std::length_error&)
  {
    builder.Result() = ParseResult{PARSE::OUT_OF_MEMORY, "", 0, ""};
  }
  ParseResult result = builder.Result();
  if (result.status == PARSE::TOO_DEEP)
    result.byte = NthOpeningBracket(text, builder.ContainersOpened());
  if (!parsed && result.status == PARSE::OK)
    result.status = PARSE::SYNTAX;
  if (result.status != PARSE::OK)
  {
    // Swapping with empty buffers frees without allocating.
    std::vector<Node>().swap(_nodes);
    std::string().swap(_strings);
  }
  return result;
}
} // namespace host::json
