// SplineHelp: the host's read-only view of a spline object's segments, for sampling it.
//
// Init takes a snapshot of the spline: its points (in the space the flags select) and its segments.
// Segments follow the spline's segment records (point count and closed flag each, the points taken in
// order); a spline without records is one segment over all its points, closed by SPLINEOBJECT_CLOSED
// (none when it has no points). Records whose counts do not add up to the point count make Init fail.
//
// The stand-in's segments are the polylines through the control points, whatever the spline's
// interpolation: a segment's point count is its control point count, its length is the polyline's
// (with the closing edge from the last point back to the first when it is closed), and a position
// along it is the point at that fraction of that length. The frame at a point has the point as its
// offset, the direction of the polyline through it (from the previous to the next point) as its Z axis,
// X horizontal and Y completing it (a vertical or zero direction gives the identity axes).
//
// Threads: after Init every query only reads, so one instance may be asked from many threads at once.
//
// Test switches (host namespace) make Alloc or Init fail and one segment report a NaN length, so the
// callers' error paths can be run.
#pragma once

#include "host/core/basearray.h"
#include "host/core/matrix.h"
#include "host/scene/baseobject.h"
#include "host/scene/enumflags.h"

enum class SPLINEHELPFLAGS : Int32
{
  NONE = 0,
  // Points, frames and positions in world space (the spline's global matrix applied); without it in
  // the spline's own space.
  GLOBALSPACE = 2,
  // Frames and point counts per control point. The stand-in has no other kind, so it is accepted for
  // the call's shape and changes nothing.
  POINTFRAMES = 8,
};
HOST_ENUM_FLAGS(SPLINEHELPFLAGS)

class SplineHelp
{
public:
  // A new, uninitialised instance; null when memory cannot be had (or the test switch says so).
  static SplineHelp* Alloc();
  // Frees the instance and clears the pointer; a null pointer is fine.
  static void Free(SplineHelp*& instance);

  // Takes the snapshot of spline (see the file comment). False for a null spline, broken segment
  // records, memory that cannot be had, or the test switch; the instance is then empty.
  Bool Init(const SplineObject* spline, SPLINEHELPFLAGS flags);

  Int32 GetSegmentCount() const { return static_cast<Int32>(_segments.GetCount()); }
  // The polyline length of the segment (closing edge included when closed); 0 for an unknown segment.
  Float GetSegmentLength(Int32 segment) const;
  Bool IsSegmentClosed(Int32 segment) const;
  Int32 GetSegmentPointCount(Int32 segment) const;
  // The frame at point index of the segment; the identity for an unknown segment or point.
  Matrix GetMatrixAt(Int32 segment, Int32 index) const;
  // The point at offset along the segment: a fraction of its length (0 the start, 1 the end, which for
  // a closed segment is the start again) or, with realOffset, a distance along it; clamped to the
  // segment. smooth changes nothing on a polyline. The origin for an unknown or empty segment.
  Vector GetPositionAt(Float offset, Int32 segment, Bool realOffset, Bool smooth) const;

  SplineHelp() = default;
  ~SplineHelp();
  SplineHelp(const SplineHelp&) = delete;
  SplineHelp& operator=(const SplineHelp&) = delete;

private:
  struct SegmentData
  {
    Int32 first = 0;   // index of its first point in _points
    Int32 count = 0;
    Bool closed = false;
    Float length = 0.0;
  };

  const SegmentData* FindSegment(Int32 segment) const;
  Vector PointOf(const SegmentData& s, Int32 index) const;

  BaseArray<Vector> _points;
  BaseArray<SegmentData> _segments;
};

namespace host
{
// Test switches; all off after ResetSplineHelpSwitches.
// Alloc answers null.
void SetSplineHelpAllocRefused(Bool refused);
// Init answers false.
void SetSplineHelpInitRefused(Bool refused);
// GetSegmentLength answers NaN for this segment (-1: for none).
void SetSplineHelpNaNLengthSegment(Int32 segment);
void ResetSplineHelpSwitches();
// Instances made by Alloc and not yet freed (tests check that every path frees its instance).
Int GetLiveSplineHelpCount();
} // namespace host
