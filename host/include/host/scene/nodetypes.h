// The table of built-in node types (objects, tags, shaders, materials the host itself provides) with
// their kind, info flags, base types for the instance test and, for variable tags, the record layout.
// Other host areas add their own built-ins (UVW and selection tags, line objects ...) here.
#pragma once

#include "host/scene/gelistnode.h"

namespace host
{
enum class FIELDKIND : Int32
{
  FLOAT64,
  INT32,
  BOOL,
};

// One field of a variable tag's record: where it sits and what it holds (scene files store records
// field by field, so the layout must name every meaningful byte).
struct RecordField
{
  Int32 offset;
  FIELDKIND kind;
};

struct BuiltinType
{
  Int32 type = 0;
  NODEKIND kind = NODEKIND::OBJECT;
  String name;
  Int32 info = 0;
  std::vector<Int32> bases;   // types the instance test also answers true for
  // Makes the node (through the host allocation, so it can fail); null: the host makes a plain node of
  // the kind (a VariableTag when recordSize > 0).
  BaseList2D* (*create)(Int32 type) = nullptr;
  Int32 recordSize = 0;
  std::vector<RecordField> recordFields;
};

// False for a type id that is already a built-in type or a registered plug-in.
Bool RegisterBuiltinType(BuiltinType type);
const BuiltinType* FindBuiltinType(Int32 type);
// Every built-in type, in the order they were added.
std::vector<const BuiltinType*> GetBuiltinTypes();
// A new node of a built-in type (for a variable tag: zero records); null for an unknown type or a
// failed allocation.
BaseList2D* AllocBuiltinNode(Int32 type);
} // namespace host
