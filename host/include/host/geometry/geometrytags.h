// The geometry tags beyond the point, polygon and segment storage tags: the UVW tag (a variable tag
// with four UVW vectors per polygon) and the selection tags (a BaseSelect with the tag's name). The
// phong tag (Tphong) is a plain built-in tag with no data.
//
// Memory figures: every variable tag (point 5600, polygon 5604, UVW 5671, segment 5672) is an instance
// of Tvariable (5695) and reports GetDataCount records of GetDataSize bytes: a point 24 bytes (three
// doubles), a polygon 16 (four Int32), a UVW entry 96 (four vectors of three doubles), a segment 8
// (Int32 count, Bool closed, padding). Selection and phong tags are not variable tags.
#pragma once

#include "host/geometry/baseselect.h"
#include "host/scene/baseobject.h"

inline constexpr Int32 Tuvw = 5671;
inline constexpr Int32 Tpolygonselection = 5673;
inline constexpr Int32 Tpointselection = 5674;

// The UVW coordinates of one polygon's corners a, b, c, d (a triangle's d is unused).
struct UVWStruct
{
  Vector a;
  Vector b;
  Vector c;
  Vector d;
  constexpr UVWStruct() = default;
  constexpr UVWStruct(const Vector& ia, const Vector& ib, const Vector& ic, const Vector& id)
    : a(ia), b(ib), c(ic), d(id)
  {
  }
  constexpr bool operator==(const UVWStruct&) const = default;
};

// The writable and read-only handles to a UVW tag's data (the record array).
using UVWHandle = void*;
using ConstUVWHandle = const void*;

class UVWTag : public VariableTag
{
public:
  // A UVW tag with count zeroed entries; null when count < 0 or memory cannot be had. The caller owns
  // it until it is inserted into an object (BaseObject::InsertTag).
  static UVWTag* Alloc(Int32 count);

  // Null when the data cannot be had (a test switch can refuse it, see host::SetWriteAccessRefused).
  // The handle stays valid while rows write disjoint entries from several threads.
  UVWHandle GetDataAddressW();
  ConstUVWHandle GetDataAddressR() const;

  // Entry i of the data behind a handle; no bounds check (as the host's).
  static void Set(UVWHandle dataptr, Int32 i, const UVWStruct& s)
  {
    static_cast<UVWStruct*>(dataptr)[i] = s;
  }
  static void Get(ConstUVWHandle dataptr, Int32 i, UVWStruct& s)
  {
    s = static_cast<const UVWStruct*>(dataptr)[i];
  }
  // Bounds-checked access for tests and tools: Set answers false and Get a zero entry outside
  // [0, GetDataCount()).
  Bool SetSlow(Int32 i, const UVWStruct& s);
  UVWStruct GetSlow(Int32 i) const;

  UVWTag();
};

// A selection tag (Tpolygonselection or Tpointselection): the tag's selection and its name.
class SelectionTag : public BaseTag
{
public:
  // A selection tag of that type with an empty selection; null for another type or when memory cannot
  // be had.
  static SelectionTag* Alloc(Int32 type);

  BaseSelect* GetBaseSelect() { return &_select; }
  const BaseSelect* GetBaseSelect() const { return &_select; }

  explicit SelectionTag(Int32 type);

protected:
  Bool CopyMembersTo(BaseList2D* dest) const override;

private:
  BaseSelect _select;
};

namespace host
{
// Test switch: while set for a storage tag type (Tpoint, Tpolygon, Tsegment, Tuvw), the writable
// accessors of that data (GetPointW, GetPolygonW, GetSegmentW, UVWTag::GetDataAddressW) answer null,
// as the host's do when the data cannot be had. ResetSceneState clears every refusal.
void SetWriteAccessRefused(Int32 tagType, Bool refused);
Bool IsWriteAccessRefused(Int32 tagType);
void ResetWriteAccessRefusals();
} // namespace host
