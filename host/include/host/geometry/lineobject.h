// LineObject: the host's line geometry (points joined into segments), used for isoparm lines. Its
// points live in a point tag (5600) and its segment records (point count, closed flag) in a segment
// tag (5672), both in the object's tag list. A generator's polygon cache can hold one line object as
// its isoparm object (BaseObject::SetIsoparm), which the polygon object then owns.
#pragma once

#include "host/scene/baseobject.h"

inline constexpr Int32 Oline = 5137;

class LineObject : public PointObject
{
public:
  // A line object with pcnt zeroed points and scnt zeroed (open, empty) segments; null when a count is
  // negative or memory cannot be had.
  static LineObject* Alloc(Int32 pcnt, Int32 scnt);
  LineObject* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const
  {
    return static_cast<LineObject*>(BaseObject::GetClone(flags, trn));
  }

  Int32 GetSegmentCount() const;
  const Segment* GetSegmentR() const;
  // Null when the object has no segment tag or the data cannot be had.
  Segment* GetSegmentW();
  // New counts; kept entries stay, new ones are zero. False on failure.
  Bool ResizeObject(Int32 pcnt, Int32 scnt);

  LineObject();
};
