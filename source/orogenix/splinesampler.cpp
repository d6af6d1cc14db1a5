#include "orogenix/splinesampler.h"

#include <cmath>
#include <limits>

#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/splines/splinehelp.h"
#include "orogenix/ogx_parallel.h"

namespace
{
// World space and one frame per control point: the samples are the spline's own points as the scene
// shows them, which the caller carries into its space with the transform.
constexpr SPLINEHELPFLAGS SAMPLER_SPLINEHELP_FLAGS = SPLINEHELPFLAGS::GLOBALSPACE | SPLINEHELPFLAGS::POINTFRAMES;

// What the first pass learns of one segment.
struct SegmentInfo
{
  Bool closed = false;
  Float length = 0.0;
  Int32 sampleCount = 0;
};

// Frees the instance on every path out of a call.
class SplineHelpGuard
{
public:
  SplineHelpGuard() : _help(SplineHelp::Alloc()) {}
  ~SplineHelpGuard() { SplineHelp::Free(_help); }
  SplineHelpGuard(const SplineHelpGuard&) = delete;
  SplineHelpGuard& operator=(const SplineHelpGuard&) = delete;
  SplineHelp* Get() const { return _help; }

private:
  SplineHelp* _help;
};

Result<void> InitSplineHelp(const SplineHelpGuard& help, SplineObject* spline)
{
  if (!help.Get())
    return OutOfMemoryError("Could not allocate SplineHelp instance!");
  if (!help.Get()->Init(spline, SAMPLER_SPLINEHELP_FLAGS))
    return UnexpectedError("Could not initialize SplineHelp instance!");
  return OK;
}

Vector Transformed(const Matrix* transform, const Vector& p)
{
  return transform ? *transform * p : p;
}

// The first pass: every segment's closed state, length and sample count (count(length, points)), failing
// at the first NaN length.
template <typename Count>
Result<void> GatherSegments(const SplineHelp& help, BaseArray<SegmentInfo>& segments, Count&& count)
{
  const Int32 segmentCount = help.GetSegmentCount();
  HOST_TRY(segments.Resize(segmentCount));
  for (Int32 s = 0; s < segmentCount; ++s)
  {
    SegmentInfo& info = segments[s];
    info.length = help.GetSegmentLength(s);
    if (std::isnan(info.length))
      return UnexpectedError("SplineHelp::GetSegmentLength() returned NaN!");
    info.closed = help.IsSegmentClosed(s);
    info.sampleCount = count(info.length, help.GetSegmentPointCount(s));
  }
  return OK;
}

// The offset step of a segment sampled count times: the samples of an open segment reach its end, those
// of a closed one stop a step before it (the end is the start again). 0 when there is no interval.
Float OffsetStep(Bool closed, Int32 count)
{
  const Int32 intervals = closed ? count : count - 1;
  return intervals <= 0 ? 0.0 : 1.0 / static_cast<Float>(intervals);
}

// The second pass: per segment, its samples appended to the list and filled by position(segment, offset,
// point index) on threadCount threads, each iteration writing only its own sample.
template <typename Position>
Result<void> AppendSamples(const BaseArray<SegmentInfo>& segments, BaseArray<SplineSample>& samples, Int threadCount,
                           const Matrix* transform, Position&& position)
{
  for (Int32 s = 0; s < static_cast<Int32>(segments.GetCount()); ++s)
  {
    const Int32 count = segments[s].sampleCount;
    const Float step = OffsetStep(segments[s].closed, count);
    const Int first = samples.GetCount();
    HOST_TRY(samples.Resize(first + count));
    SplineSample* out = samples.GetFirst() + first;
    // No break test: sampling a spline is short next to the work done with the samples.
    HOST_TRY(ParallelFor(
      0, count,
      [&, s, step, out](Int i) {
        const Float offset = static_cast<Float>(i) * step;
        out[i] = SplineSample{s, offset, Transformed(transform, position(s, offset, static_cast<Int32>(i)))};
      },
      threadCount, OGX::LOOP_GRANULARITY));
  }
  return OK;
}

// The density sampler's count: max(2, truncated), saturated so that a huge or NaN product stays a
// defined Int32 (a NaN gives 2).
Int32 DensitySampleCount(Float length, Float inverseDensity, Float countFactor)
{
  const Float count = length * inverseDensity * countFactor;
  if (!(count >= 2.0))
    return 2;
  if (count >= static_cast<Float>(std::numeric_limits<Int32>::max()))
    return std::numeric_limits<Int32>::max();
  return static_cast<Int32>(count);
}
} // namespace

Result<void> GetSplineSegments(SplineObject* spline, BaseArray<SplineSample>& samples, const Matrix* transform)
{
  if (!spline)
    return NullptrError("splineObjPtr must not be NULL!");
  const SplineHelpGuard help;
  HOST_TRY(InitSplineHelp(help, spline));

  BaseArray<SegmentInfo> segments;
  HOST_TRY(GatherSegments(*help.Get(), segments, [](Float, Int32 points) { return points; }));

  const SplineHelp* sh = help.Get();
  return AppendSamples(segments, samples, OGX::LOOP_ALLTHREADS, transform,
                       [sh](Int32 s, Float, Int32 i) { return sh->GetMatrixAt(s, i).off; });
}

Result<void> SampleSplineByDensity(SplineObject* spline, Float sampleDensity, Bool smoothFlag,
                                   BaseArray<SplineSample>& samples, const Matrix* transform, Float countFactor)
{
  if (!spline)
    return NullptrError("splineObjPtr must not be NULL!");
  if (!(sampleDensity > 0.0))
    return IllegalArgumentError("sampleDensity must not be <= 0.0!");
  const SplineHelpGuard help;
  HOST_TRY(InitSplineHelp(help, spline));
  ConsolePrint(String::IntToString(help.Get()->GetSegmentCount()) + " segments");

  const Float inverseDensity = 1.0 / sampleDensity;
  BaseArray<SegmentInfo> segments;
  HOST_TRY(GatherSegments(*help.Get(), segments, [&](Float length, Int32) {
    return DensitySampleCount(length, inverseDensity, countFactor);
  }));

  samples.Reset();
  const SplineHelp* sh = help.Get();
  return AppendSamples(segments, samples, OGX::LOOP_ONETHREAD, transform, [sh, smoothFlag](Int32 s, Float offset, Int32) {
    return sh->GetPositionAt(offset, s, false, smoothFlag);
  });
}
