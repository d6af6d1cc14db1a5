// The spline sampler: turns a host spline object into one flat list of samples, segment after segment,
// each tagged with its segment and its relative position along it, through the host's SplineHelp.
//
// GetSplineSegments samples every point of every segment (the spline operator's sampler);
// SampleSplineByDensity samples each segment at evenly spaced offsets, as many as its length asks for.
// Both look at every segment's length before they sample anything, so a host instance that reports a
// NaN length fails the call before a single sample is appended. Samples already appended by a call
// that fails later stay in the caller's list (its user discards the list on any error). One SplineHelp
// instance is made per call and freed on every path.
//
// Threads: GetSplineSegments fills each segment's samples on all host threads at once, which share the
// one SplineHelp instance for reading; SampleSplineByDensity samples on the calling thread.
#pragma once

#include "host/core/basearray.h"
#include "host/core/matrix.h"
#include "host/core/result.h"
#include "host/scene/baseobject.h"

struct SplineSample
{
  Int32 segment = 0;   // 0-based, in the segment order of SplineHelp
  Float offset = 0.0;  // relative position along the segment, 0 at its start
  Vector position;     // as SplineHelp reports it (world space), then through the caller's transform
};

// Appends one sample per point of every segment to samples (the list is not cleared). An open segment
// of k points gets the offsets 0, 1/(k-1), ..., 1 (a lone point 0); a closed one 0, 1/k, ..., (k-1)/k,
// its start not repeated at the end. transform may be null (positions as SplineHelp gives them).
Result<void> GetSplineSegments(SplineObject* spline, BaseArray<SplineSample>& samples, const Matrix* transform);

// Clears samples, prints "<n> segments" to the console, then samples each segment at
// max(2, trunc(length / sampleDensity x countFactor)) evenly spaced offsets (an open segment from 0 to 1,
// a closed one up to 1 - step). smoothFlag goes to SplineHelp::GetPositionAt unchanged. A sampleDensity
// that is not above 0 (NaN included) fails before anything else.
Result<void> SampleSplineByDensity(SplineObject* spline, Float sampleDensity, Bool smoothFlag,
                                   BaseArray<SplineSample>& samples, const Matrix* transform, Float countFactor);
