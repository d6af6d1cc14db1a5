// Spline objects built by hand for the tests of the host's spline help, the spline sampler and the
// spline operator.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "host/scene/baseobject.h"

namespace ogx_test
{
struct SegmentSpec
{
  std::vector<Vector> points;
  Bool closed = false;
};

// A linear spline with one segment record per entry, its points in order; the caller owns it.
inline SplineObject* MakeSpline(const std::vector<SegmentSpec>& segments)
{
  Int32 pointCount = 0;
  for (const SegmentSpec& s : segments)
    pointCount += static_cast<Int32>(s.points.size());
  SplineObject* spline = SplineObject::Alloc(pointCount, SPLINETYPE::LINEAR);
  EXPECT_NE(spline, nullptr);
  if (!spline)
    return nullptr;
  EXPECT_TRUE(spline->ResizeObject(pointCount, static_cast<Int32>(segments.size())));
  Vector* points = spline->GetPointW();
  Segment* records = spline->GetSegmentW();
  Int32 p = 0;
  for (std::size_t s = 0; s < segments.size(); ++s)
  {
    records[s] = Segment{static_cast<Int32>(segments[s].points.size()), segments[s].closed};
    for (const Vector& v : segments[s].points)
      points[p++] = v;
  }
  return spline;
}
} // namespace ogx_test
