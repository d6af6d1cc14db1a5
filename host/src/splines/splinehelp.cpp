#include "host/splines/splinehelp.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "host/core/alloc.h"

namespace
{
std::atomic<Bool> g_allocRefused{false};
std::atomic<Bool> g_initRefused{false};
std::atomic<Int32> g_nanSegment{-1};
std::atomic<Int> g_live{0};

// A direction's frame: Z along it, X horizontal, Y completing a right-handed set.
Matrix FrameAlong(const Vector& at, const Vector& direction)
{
  const Vector z = direction.GetNormalized();
  const Vector x = Cross(Vector(0.0, 1.0, 0.0), z).GetNormalized();
  if (x.GetSquaredLength() == 0.0)
    return Matrix(at, Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0));
  return Matrix(at, x, Cross(z, x), z);
}
} // namespace

SplineHelp* SplineHelp::Alloc()
{
  if (g_allocRefused.load())
    return nullptr;
  SplineHelp* instance = NewObj<SplineHelp>();
  if (instance)
    g_live.fetch_add(1);
  return instance;
}

void SplineHelp::Free(SplineHelp*& instance)
{
  if (!instance)
    return;
  DeleteObj(instance);
  g_live.fetch_sub(1);
}

SplineHelp::~SplineHelp() = default;

Bool SplineHelp::Init(const SplineObject* spline, SPLINEHELPFLAGS flags)
{
  _points.Reset();
  _segments.Reset();
  if (!spline || g_initRefused.load())
    return false;

  const Int32 pointCount = spline->GetPointCount();
  const Vector* points = spline->GetPointR();
  const Matrix space = HasFlag(flags, SPLINEHELPFLAGS::GLOBALSPACE) ? spline->GetMg() : Matrix();
  if (_points.Resize(pointCount).IsError() || (pointCount > 0 && !points))
    return false;
  for (Int32 i = 0; i < pointCount; ++i)
    _points[i] = space * points[i];

  auto fail = [this] {
    _points.Reset();
    _segments.Reset();
    return false;
  };
  const Int32 recordCount = spline->GetSegmentCount();
  const Segment* records = spline->GetSegmentR();
  if (recordCount == 0)
  {
    if (pointCount > 0 && _segments.Append(SegmentData{0, pointCount, spline->IsClosed(), 0.0}).IsError())
      return fail();
  }
  else
  {
    Int first = 0;
    for (Int32 s = 0; s < recordCount; ++s)
    {
      const Int32 count = records ? records[s].cnt : -1;
      if (count < 0 || first + count > pointCount)
        return fail();
      if (_segments.Append(SegmentData{static_cast<Int32>(first), count, records[s].closed, 0.0}).IsError())
        return fail();
      first += count;
    }
    if (first != pointCount)
      return fail();
  }

  for (SegmentData& s : _segments)
  {
    Float length = 0.0;
    for (Int32 i = 1; i < s.count; ++i)
      length += (PointOf(s, i) - PointOf(s, i - 1)).GetLength();
    if (s.closed && s.count > 1)
      length += (PointOf(s, 0) - PointOf(s, s.count - 1)).GetLength();
    s.length = length;
  }
  return true;
}

const SplineHelp::SegmentData* SplineHelp::FindSegment(Int32 segment) const
{
  if (segment < 0 || segment >= GetSegmentCount())
    return nullptr;
  return &_segments[segment];
}

Vector SplineHelp::PointOf(const SegmentData& s, Int32 index) const
{
  return _points[s.first + index];
}

Float SplineHelp::GetSegmentLength(Int32 segment) const
{
  if (segment >= 0 && segment == g_nanSegment.load(std::memory_order_relaxed))
    return std::numeric_limits<Float>::quiet_NaN();
  const SegmentData* s = FindSegment(segment);
  return s ? s->length : 0.0;
}

Bool SplineHelp::IsSegmentClosed(Int32 segment) const
{
  const SegmentData* s = FindSegment(segment);
  return s && s->closed;
}

Int32 SplineHelp::GetSegmentPointCount(Int32 segment) const
{
  const SegmentData* s = FindSegment(segment);
  return s ? s->count : 0;
}

Matrix SplineHelp::GetMatrixAt(Int32 segment, Int32 index) const
{
  const SegmentData* s = FindSegment(segment);
  if (!s || index < 0 || index >= s->count)
    return Matrix();
  // The neighbours along the polyline; at the ends of an open segment the point itself.
  const Int32 last = s->count - 1;
  const Int32 previous = index > 0 ? index - 1 : (s->closed ? last : 0);
  const Int32 next = index < last ? index + 1 : (s->closed ? 0 : last);
  return FrameAlong(PointOf(*s, index), PointOf(*s, next) - PointOf(*s, previous));
}

Vector SplineHelp::GetPositionAt(Float offset, Int32 segment, Bool realOffset, Bool) const
{
  const SegmentData* s = FindSegment(segment);
  if (!s || s->count == 0)
    return Vector();
  if (s->count == 1 || !(s->length > 0.0))
    return PointOf(*s, 0);
  Float distance = realOffset ? offset : offset * s->length;
  distance = distance > 0.0 ? (distance < s->length ? distance : s->length) : 0.0;
  const Int32 edges = s->closed ? s->count : s->count - 1;
  for (Int32 e = 0; e < edges; ++e)
  {
    const Vector a = PointOf(*s, e);
    const Vector b = PointOf(*s, e + 1 < s->count ? e + 1 : 0);
    const Float edge = (b - a).GetLength();
    if (distance <= edge || e == edges - 1)
      return edge > 0.0 ? a + (b - a) * (std::min(distance, edge) / edge) : a;
    distance -= edge;
  }
  return PointOf(*s, 0);
}

namespace host
{
void SetSplineHelpAllocRefused(Bool refused)
{
  g_allocRefused.store(refused);
}

void SetSplineHelpInitRefused(Bool refused)
{
  g_initRefused.store(refused);
}

void SetSplineHelpNaNLengthSegment(Int32 segment)
{
  g_nanSegment.store(segment);
}

void ResetSplineHelpSwitches()
{
  SetSplineHelpAllocRefused(false);
  SetSplineHelpInitRefused(false);
  SetSplineHelpNaNLengthSegment(-1);
}

Int GetLiveSplineHelpCount()
{
  return g_live.load();
}
} // namespace host
