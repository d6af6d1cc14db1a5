// Parameter ids as the host passes them to plug-in slots: a DescID is a list of levels, each an id and
// a data type (and the creator, 0 for the host). Only the first level names a container entry; deeper
// levels address sub-containers. The flag sets the description slots pass in and out live here too.
// The `Description` itself is built by the description area; the slots only see a pointer to it.
#pragma once

#include <initializer_list>
#include <vector>

#include "host/core/types.h"
#include "host/scene/enumflags.h"

class Description;

// Data type numbers of description entries. The value types of GeData use the same numbers for Int32,
// Float, Vector and String (see gedata.h); DTYPE_BOOL is a description type only: a Bool parameter is
// stored in containers as Int32 1/0.
inline constexpr Int32 DTYPE_NONE = 0;
inline constexpr Int32 DTYPE_GROUP = 1;
inline constexpr Int32 DTYPE_SEPARATOR = 10;
inline constexpr Int32 DTYPE_TITLE = 11;
inline constexpr Int32 DTYPE_STATIC = 12;
inline constexpr Int32 DTYPE_LONG = 15;
inline constexpr Int32 DTYPE_REAL = 19;
inline constexpr Int32 DTYPE_VECTOR = 23;
inline constexpr Int32 DTYPE_STRING = 130;
inline constexpr Int32 DTYPE_BASELISTLINK = 133;   // a link (DA_ALIASLINK); DESC_ACCEPT names what it takes
inline constexpr Int32 DTYPE_BOOL = 400006001;

struct DescLevel
{
  Int32 id = 0;
  Int32 dtype = 0;
  Int32 creator = 0;

  constexpr DescLevel() = default;
  constexpr DescLevel(Int32 i) : id(i) {}
  constexpr DescLevel(Int32 i, Int32 t, Int32 c = 0) : id(i), dtype(t), creator(c) {}
  // Levels match by id and, where both name one, by data type.
  constexpr bool operator==(const DescLevel& o) const
  {
    return id == o.id && (dtype == 0 || o.dtype == 0 || dtype == o.dtype);
  }
};

class DescID
{
public:
  DescID() = default;
  DescID(Int32 id) : _levels{DescLevel(id)} {}
  DescID(const DescLevel& a) : _levels{a} {}
  DescID(const DescLevel& a, const DescLevel& b) : _levels{a, b} {}
  DescID(std::initializer_list<DescLevel> levels) : _levels(levels) {}

  Int32 GetDepth() const { return static_cast<Int32>(_levels.size()); }
  Bool IsEmpty() const { return _levels.empty(); }
  // Level i; an id has no level beyond its depth, so an out-of-range level reads as the empty level.
  DescLevel operator[](Int32 i) const
  {
    return i >= 0 && i < GetDepth() ? _levels[static_cast<std::size_t>(i)] : DescLevel();
  }
  // The container id the parameter lives under (0 for an empty id).
  Int32 GetFirstId() const { return _levels.empty() ? 0 : _levels[0].id; }
  void PushId(const DescLevel& level) { _levels.push_back(level); }
  void PopId()
  {
    if (!_levels.empty())
      _levels.pop_back();
  }
  bool operator==(const DescID& o) const { return _levels == o._levels; }

private:
  std::vector<DescLevel> _levels;
};

// In/out flags of GetParameter: the slot adds PARAM_GET when it filled the value itself.
enum class DESCFLAGS_GET : Int32
{
  NONE = 0,
  PARAM_GET = 2,
};
HOST_ENUM_FLAGS(DESCFLAGS_GET)

// In/out flags of SetParameter: the slot adds PARAM_SET when it stored the value itself.
enum class DESCFLAGS_SET : Int32
{
  NONE = 0,
  PARAM_SET = 2,
};
HOST_ENUM_FLAGS(DESCFLAGS_SET)

// In/out flags of GetDDescription: LOADED after the description resource was loaded; NEEDDEFAULTVALUE
// when the host asks for default values.
enum class DESCFLAGS_DESC : Int32
{
  NONE = 0,
  LOADED = 2,
  NEEDDEFAULTVALUE = 32,
};
HOST_ENUM_FLAGS(DESCFLAGS_DESC)

enum class DESCFLAGS_ENABLE : Int32
{
  NONE = 0,
};
HOST_ENUM_FLAGS(DESCFLAGS_ENABLE)
