// A parsed JSON text held flat, for reading scene documents. Not a public header.
//
// Every value is one record in a single array, in document order, each container followed by its
// members; strings live in one buffer. So the parse is iterative (nlohmann's SAX parser feeding a
// builder), it stops at a nesting cap as soon as the cap is passed, whatever the depth the text goes on
// to, and freeing a document releases a few buffers: no recursion and no allocation, however large or
// deep it was. A member named twice in one object is found while parsing, in time linear in the
// object's size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/types.h"

namespace host::json
{
enum class KIND : UChar
{
  NUL,
  BOOLEAN,
  INTEGER,    // a negative whole number (Int64)
  UNSIGNED,   // a whole number of 0 or more (UInt64)
  FLOAT,      // any other number
  TEXT,
  ARRAY,
  OBJECT,
};

class Document;

// A value in a document (valid while the document lives). Cheap to copy.
class Value
{
public:
  KIND Kind() const;
  Bool IsNull() const { return Kind() == KIND::NUL; }
  Bool IsBool() const { return Kind() == KIND::BOOLEAN; }
  Bool IsText() const { return Kind() == KIND::TEXT; }
  Bool IsArray() const { return Kind() == KIND::ARRAY; }
  Bool IsObject() const { return Kind() == KIND::OBJECT; }
  Bool IsNumber() const { return Kind() == KIND::INTEGER || Kind() == KIND::UNSIGNED || Kind() == KIND::FLOAT; }
  // Whole numbers (signed or not); IsUnsigned only those of 0 or more.
  Bool IsInteger() const { return Kind() == KIND::INTEGER || Kind() == KIND::UNSIGNED; }
  Bool IsUnsigned() const { return Kind() == KIND::UNSIGNED; }
  Bool IsFloat() const { return Kind() == KIND::FLOAT; }

  Bool GetBool() const;
  Int64 GetInt64() const;     // INTEGER, or UNSIGNED cast
  UInt64 GetUInt64() const;   // UNSIGNED
  Float GetFloat() const;     // any number as a Float
  std::string_view GetText() const;

  // Members of an object or elements of an array, in order (0 for other values).
  std::size_t Size() const;
  Bool IsEmpty() const { return Size() == 0; }
  // The name of a value that is an object's member; empty otherwise.
  std::string_view Key() const;
  // The first member with that name (an object never has two), or a null view.
  Value Find(std::string_view key) const;
  Bool Contains(std::string_view key) const { return Find(key).IsValid(); }
  // False for the view Find answers when nothing matches.
  Bool IsValid() const { return _doc != nullptr; }

  class Iterator
  {
  public:
    Value operator*() const { return Value(_doc, _index); }
    Iterator& operator++();
    bool operator==(const Iterator& o) const { return _index == o._index; }
    bool operator!=(const Iterator& o) const { return _index != o._index; }

  private:
    friend class Value;
    Iterator(const Document* doc, std::size_t index) : _doc(doc), _index(index) {}
    const Document* _doc;
    std::size_t _index;
  };
  // The members or elements (nothing for other values).
  Iterator begin() const;
  Iterator end() const;

private:
  friend class Document;
  Value() = default;
  Value(const Document* doc, std::size_t index) : _doc(doc), _index(index) {}
  const Document* _doc = nullptr;
  std::size_t _index = 0;
};

// How a parse ended.
enum class PARSE : UChar
{
  OK,
  SYNTAX,          // not JSON: message from the parser, byte position when known (0: none)
  TOO_DEEP,        // nesting past the cap: byte position of the opening bracket that passed it
  DUPLICATE,       // a member named twice in one object: path names it
  OUT_OF_MEMORY,
};

struct ParseResult
{
  PARSE status = PARSE::OK;
  std::string message;     // SYNTAX: the parser's words (without its "[json.exception...]" prefix)
  std::size_t byte = 0;    // SYNTAX, TOO_DEEP: 1-based position in the text, 0 when unknown
  std::string path;        // DUPLICATE: e.g. "objects[1].params.1003"
};

class Document
{
public:
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Parses text (which must be one value and nothing after it); at most maxDepth arrays and objects may
  // be open at once. On anything but OK the document is empty. Growth asks the host's allocation switch,
  // so out-of-memory can be tested.
  ParseResult Parse(std::string_view text, std::size_t maxDepth);
  // The top value; a null view for an empty document.
  Value Root() const { return _nodes.empty() ? Value() : Value(this, 0); }

private:
  friend class Value;
  friend class Builder;
  struct Node
  {
    KIND kind = KIND::NUL;
    UInt32 keyLength = 0;
    UInt64 keyOffset = 0;
    // Index one past this value's last descendant: the next sibling, for a member or element.
    std::size_t next = 0;
    std::size_t count = 0;   // members or elements of a container
    union
    {
      UInt64 unsignedInteger = 0;
      Int64 integer;
      Float number;
      Bool boolean;
      UInt64 textOffset;
    };
    UInt64 textLength = 0;
  };
  std::vector<Node> _nodes;
  std::string _strings;
};
} // namespace host::json
