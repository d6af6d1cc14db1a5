// The host's curve data type (`SplineData`, custom data type 1009060): a function y(x) drawn by knots.
//
// Knots: a position (x, y; z unused), a flag word the host stores but does not interpret, and a left
// and a right tangent (only x and y are used). Between two neighbouring knots the curve is the cubic
// Bezier segment whose control points are the first knot, the first knot plus its right tangent, the
// second knot plus its left tangent, and the second knot.
//
// Knot order: InsertKnot keeps the knots sorted by x (a knot goes after the knots with an x not above
// its own) and answers the index it took, so knots inserted in ascending x are numbered in insertion
// order. A newly inserted knot has zero tangents. GetKnot hands out the stored record for writing; a
// record moved out of order that way is evaluated as it stands (see Evaluate), never read outside the
// knots.
//
// Evaluate(x) answers the point of the curve whose x is the argument: the segment around x is found,
// and the segment's x(t) = x is solved for t in [0, 1], from a start interpolated between samples of
// the segment at its eighths, by Halley steps kept inside a shrinking bracket (bisection wherever a step
// would leave it or stalls, which covers segments whose dx/dt reaches 0 inside), to within a few units
// in the last place of x. The curve is taken to be monotone in x within a segment; where it is not, one
// of the points with that x is answered. Outside the knots x is clamped
// to the first and the last knot (their positions are answered). No knots: (x, 0, 0). NaN: (NaN, NaN, 0).
//
// SplineDataEvaluator answers Evaluate's points for many x of one curve faster: it prepares the segments
// once (what Evaluate recomputes on every call) and evaluates inline in the caller's loop, with the same
// solve, so bit for bit the same points.
//
// Threads: Evaluate and the other const calls only read and may run on many threads at once (no lock,
// no allocation); edits are for one thread while nobody reads. Copies (Clone) are deep; IsEqual
// compares the knots exactly (NaN differs from itself, as for doubles).
//
// Scene files: WriteData writes the stream version (1), the knot count, then per knot its position
// (Vector), flags (Int32), left tangent (Vector) and right tangent (Vector), so a curve can be written
// in a scene by hand as its knots:
//   {"Custom": {"type": 1009060, "data": [{"Int32": 1}, {"Int32": 2},
//      {"Vector": [0, 0, 0]}, {"Int32": 0}, {"Vector": [0, 0, 0]}, {"Vector": [0.5, 0, 0]},
//      {"Vector": [1, 1, 0]}, {"Int32": 0}, {"Vector": [-0.5, 0, 0]}, {"Vector": [0, 0, 0]}]}}
// ReadData accepts exactly that and changes nothing when the stream is anything else.
#pragma once

#include <memory>

#include "host/core/basearray.h"
#include "host/scene/gedata.h"
#include "host/splines/splinesegment.h"

inline constexpr Int32 CUSTOMDATATYPE_SPLINE = 1009060;

// One knot as the host stores it.
struct SplineKnot
{
  Vector position;       // x, y (z unused)
  Int32 flags = 0;
  Vector leftTangent;    // towards the previous knot, relative to the position
  Vector rightTangent;   // towards the next knot, relative to the position

  bool operator==(const SplineKnot&) const = default;
};

class SplineData : public CustomDataType
{
public:
  SplineData() = default;
  SplineData(const SplineData&) = delete;
  SplineData& operator=(const SplineData&) = delete;

  // A new curve without knots; null when memory cannot be had.
  static std::unique_ptr<SplineData> Alloc();

  Int32 GetCustomTypeId() const override { return CUSTOMDATATYPE_SPLINE; }
  std::unique_ptr<CustomDataType> Clone() const override;
  Bool IsEqual(const CustomDataType& other) const override;
  Bool WriteData(HyperFile* hf) const override;
  Bool ReadData(HyperFile* hf, Int32 level) override;

  Int32 GetKnotCount() const { return static_cast<Int32>(_knots.GetCount()); }
  // The stored knot, writable; null for an index outside [0, GetKnotCount()).
  SplineKnot* GetKnot(Int32 index);
  const SplineKnot* GetKnot(Int32 index) const;
  // Inserts a knot at (x, y) with zero tangents, keeping the knots sorted by x; the new knot's index,
  // or -1 (nothing inserted) when memory cannot be had.
  Int32 InsertKnot(Float x, Float y, Int32 flags = 0);
  void DeleteAllPoints();
  // Replaces the knots with knotCount (at least 2) knots spaced evenly along the line from (0, 0) to
  // (1, 1), with zero tangents and flags: for 2 the knots (0, 0) and (1, 1), the identity curve. False
  // when memory cannot be had; the knots are then unchanged.
  Bool MakeDefaultCurve(Int32 knotCount);

  // The point of the curve at x (see the file comment); its y is the curve's value.
  Vector Evaluate(Float x) const;

private:
  BaseArray<SplineKnot> _knots;
};

// One curve prepared for evaluating it at many points (a per-cell loop): Evaluate(x) answers exactly
// SplineData::Evaluate(x) of the curve as it was when the evaluator was made, without lock or
// allocation, and may run on many threads at once. Takes no memory of its own (it lives where it is
// declared, a few KiB for the largest curve it prepares); a curve with more knots than MAX_KNOTS is not
// prepared but evaluated through SplineData::Evaluate, so it must then outlive the evaluator unchanged.
class SplineDataEvaluator
{
public:
  static constexpr Int MAX_KNOTS = 33;

  explicit SplineDataEvaluator(const SplineData& curve);

  Vector Evaluate(Float x) const;
  // y[l] = Evaluate(x[l]).y for the LANES points, solved side by side (see SolveSegmentsUsually).
  template <Int LANES>
  void EvaluateY(const Float (&x)[LANES], Float (&y)[LANES]) const;

private:
  using Segment = host::splinedetail::Segment;

  Int FindSegment(Float x) const;

  const SplineData* _curve;
  Int _count = 0;        // knots; 0 as well when the curve is not prepared
  Bool _prepared = false;
  // Knots in ascending x (as InsertKnot keeps them): the segment is the count of inner knots at or left
  // of x. Otherwise the bisection over the knots that Evaluate makes.
  Bool _ascending = false;
  Vector _first;
  Vector _last;
  Float _knotX[MAX_KNOTS] = {};
  Segment _segments[MAX_KNOTS - 1];
};

inline Int SplineDataEvaluator::FindSegment(Float x) const
{
  if (!_ascending)
    return host::splinedetail::FindSegment(_count, x, [this](Int i) { return _knotX[i]; });
  // Compares without branches: neighbouring cells often fall into different segments.
  Int lo = 0;
  for (Int i = 1; i < _count - 1; ++i)
    lo += _knotX[i] <= x ? 1 : 0;
  return lo;
}

inline Vector SplineDataEvaluator::Evaluate(Float x) const
{
  if (!_prepared)
    return _curve->Evaluate(x);
  return host::splinedetail::EvaluateCurve(
    _count, x, &_first, &_last, [this](Float v) { return FindSegment(v); },
    [this](Int segment, Float v) { return host::splinedetail::SegmentY(_segments[segment], v); });
}

template <Int LANES>
void SplineDataEvaluator::EvaluateY(const Float (&x)[LANES], Float (&y)[LANES]) const
{
  if (!_prepared || _count < 2)
  {
    for (Int l = 0; l < LANES; ++l)
      y[l] = Evaluate(x[l]).y;
    return;
  }
  // Points on the knots' ends, outside them or NaN go the way of Evaluate; the solve gets a point of the
  // first segment in their place, and its answer there is not used.
  Bool inside[LANES];
  const Segment* segments[LANES];
  Float targets[LANES];
  for (Int l = 0; l < LANES; ++l)
  {
    inside[l] = (x[l] > _first.x) & (x[l] < _last.x);
    segments[l] = &_segments[inside[l] ? FindSegment(x[l]) : 0];
    targets[l] = inside[l] ? x[l] : 0.5 * (_segments[0].bounds[0] + _segments[0].bounds[1]);
  }
  Float t[LANES];
  Bool usual[LANES];
  host::splinedetail::SolveSegmentsUsually(segments, targets, t, usual);
  for (Int l = 0; l < LANES; ++l)
  {
    if (!inside[l]) [[unlikely]]
      y[l] = Evaluate(x[l]).y;
    else if (!usual[l]) [[unlikely]]
      y[l] = segments[l]->y.At(host::splinedetail::SolveSegment(*segments[l], x[l]));
    else
      y[l] = segments[l]->y.At(t[l]);
  }
}

namespace host
{
// Registers the curve type with the scene files. Runs once at start-up on its own; calling it again does
// nothing. True when it is registered.
Bool RegisterSplineTypes();
} // namespace host
