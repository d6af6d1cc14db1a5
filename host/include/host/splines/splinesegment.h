// The curve evaluation that SplineData::Evaluate and SplineDataEvaluator share (see splinedata.h): one
// knot pair's Bezier segment in power form with the samples that start its solve, the solve of
// x(t) = x, and the clamping around the knots. Inline, so that a loop evaluating one curve at many
// points compiles the whole evaluation into its body; both callers run these very functions, so their
// answers agree bit for bit.
#pragma once

#include <cmath>
#include <limits>

#include "host/core/types.h"

namespace host::splinedetail
{
// Enough for the bisection steps alone to shrink [0, 1] below a double's spacing; Halley steps end the
// solve in a handful on any segment whose slope does not vanish at the root.
inline constexpr Int MAX_SOLVE_STEPS = 100;
inline constexpr Float SOLVE_TOLERANCE = std::numeric_limits<Float>::epsilon();
// The parts of a segment sampled for the start of the solve: inside an eighth the linear start is close
// enough for two Halley steps to finish on the usual curves.
inline constexpr Int START_PARTS = 8;
// A Halley step below CONVERGED_STEP and below CONVERGED_RATIO times the step before it ends the solve
// (cubic convergence: what is left is about the step's cube).
inline constexpr Float CONVERGED_STEP = 1e-6;
inline constexpr Float CONVERGED_RATIO = 1e-3;

// One coordinate of a cubic Bezier segment in power form: ((a t + b) t + c) t + d.
struct Cubic
{
  Float a;
  Float b;
  Float c;
  Float d;

  Float At(Float t) const { return ((a * t + b) * t + c) * t + d; }
  Float Slope(Float t) const { return (3.0 * a * t + 2.0 * b) * t + c; }
  Float Curvature(Float t) const { return 6.0 * a * t + 2.0 * b; }
};

inline Cubic BezierCubic(Float p0, Float p1, Float p2, Float p3)
{
  return {p3 - p0 + 3.0 * (p1 - p2), 3.0 * (p2 - 2.0 * p1 + p0), 3.0 * (p1 - p0), p0};
}

// The segment between two neighbouring knots, with x(t) at the ends of its eighths (bounds[k] at t = k / 8,
// the knots' x at either end): what the solve needs of it that does not depend on the x asked for.
struct Segment
{
  Cubic x;
  Cubic y;
  Float bounds[START_PARTS + 1];
};

// The segment from the knot at (x0, y0) with right tangent r to the knot at (x3, y3) with left tangent l.
inline Segment MakeSegment(Float x0, Float y0, Float rx, Float ry, Float x3, Float y3, Float lx, Float ly)
{
  Segment s;
  s.x = BezierCubic(x0, x0 + rx, x3 + lx, x3);
  s.y = BezierCubic(y0, y0 + ry, y3 + ly, y3);
  s.bounds[0] = x0;
  for (Int k = 1; k < START_PARTS; ++k)
    s.bounds[k] = s.x.At(static_cast<Float>(k) / START_PARTS);
  s.bounds[START_PARTS] = x3;
  return s;
}

// The t in [0, 1] with x(t) = target, for x(0) <= target < x(1). The start: the eighth whose ends
// (the bounds) bracket the target, and the linear interpolation inside it. Halley steps (Newton's
// corrected by the curvature) then finish, each kept inside the bracket [lo, hi] that the signs of
// x(t) - target maintain, and replaced by a bisection step where it would leave the bracket or where it
// does not at least halve the step before it (near a point where dx/dt is 0 they slow to a crawl). A
// step far smaller than the one before shows the fast convergence: what is left after it is about its
// cube, below the double's resolution, so the solve ends there rather than spend one more step to
// confirm it. Always ends, whatever the values.
inline Float SolveSegment(const Segment& s, Float target)
{
  const Cubic& x = s.x;
  Int below = 0;
  for (Int k = 1; k < START_PARTS; ++k)
    below += s.bounds[k] <= target ? 1 : 0;
  Float lo = static_cast<Float>(below) / START_PARTS;
  Float hi = static_cast<Float>(below + 1) / START_PARTS;
  const Float xLo = s.bounds[below];
  const Float xHi = s.bounds[below + 1];
  // A segment that folds back in x can leave the eighth without a crossing: then the whole segment.
  if (!(xLo <= target && target < xHi))
  {
    lo = 0.0;
    hi = 1.0;
  }
  Float t = xHi > xLo ? lo + (target - xLo) / (xHi - xLo) * (hi - lo) : 0.5 * (lo + hi);
  if (!(t >= lo && t <= hi))
    t = 0.5 * (lo + hi);
  Float step = hi - lo;
  Float previousStep = step;
  Float f = x.At(t) - target;
  Float slope = x.Slope(t);
  for (Int n = 0; n < MAX_SOLVE_STEPS && f != 0.0; ++n)
  {
    if (f < 0.0)
      lo = t;
    else
      hi = t;
    // Halley's step: Newton's corrected by the curvature.
    const Float denominator = slope * slope - 0.5 * f * x.Curvature(t);
    const Float halley = f * slope / denominator;
    const Float next = t - halley;
    const Bool leaves = !(next > lo && next < hi);
    const Bool slow = std::abs(2.0 * halley) > std::abs(previousStep);
    previousStep = step;
    if (leaves || slow || !(denominator > 0.0))
    {
      step = 0.5 * (hi - lo);
      const Float mid = lo + step;
      if (mid == t)
        break;
      t = mid;
    }
    else
    {
      step = halley;
      if (next == t)
        break;
      t = next;
      if (std::abs(step) < CONVERGED_STEP && std::abs(step) < CONVERGED_RATIO * std::abs(previousStep))
        break;
    }
    if (!(std::abs(step) > SOLVE_TOLERANCE))
      break;
    f = x.At(t) - target;
    slope = x.Slope(t);
  }
  return t;
}

// SolveSegment's answers for LANES targets, each on its own segment. Nearly every solve takes the
// same road: the start inside its eighth, two Halley steps, the second far smaller than the first. That
// road is computed here without a branch and for all lanes side by side (the same operations in the same
// order as the loop, so the same t), which lets the processor overlap the lanes' chains of dependent
// steps; usual[l] comes back false where lane l's road turned out otherwise, and t[l] is then left for
// SolveSegment to answer. For a single target the loop alone is quicker: it has nothing to overlap.
template <Int LANES>
void SolveSegmentsUsually(const Segment* const (&s)[LANES], const Float (&target)[LANES], Float (&t)[LANES],
                          Bool (&usual)[LANES])
{
  Float t0[LANES], eighth[LANES], lo[LANES], hi[LANES], halley0[LANES];
  for (Int l = 0; l < LANES; ++l)
  {
    Int below = 0;
    for (Int k = 1; k < START_PARTS; ++k)
      below += s[l]->bounds[k] <= target[l] ? 1 : 0;
    const Float lo0 = static_cast<Float>(below) / START_PARTS;
    const Float hi0 = static_cast<Float>(below + 1) / START_PARTS;
    const Float xLo = s[l]->bounds[below];
    const Float xHi = s[l]->bounds[below + 1];
    eighth[l] = hi0 - lo0;
    t0[l] = lo0 + (target[l] - xLo) / (xHi - xLo) * eighth[l];
    usual[l] = (xLo <= target[l]) & (target[l] < xHi) & (xHi > xLo) & (t0[l] >= lo0) & (t0[l] <= hi0);
    lo[l] = lo0;
    hi[l] = hi0;
  }
  for (Int l = 0; l < LANES; ++l)
  {
    const Cubic& x = s[l]->x;
    const Float f = x.At(t0[l]) - target[l];
    const Float slope = x.Slope(t0[l]);
    lo[l] = f < 0.0 ? t0[l] : lo[l];
    hi[l] = f < 0.0 ? hi[l] : t0[l];
    const Float denominator = slope * slope - 0.5 * f * x.Curvature(t0[l]);
    halley0[l] = f * slope / denominator;
    t[l] = t0[l] - halley0[l];
    const Float step = std::abs(halley0[l]);
    usual[l] &= (f != 0.0) & (t[l] > lo[l]) & (t[l] < hi[l]) & !(std::abs(2.0 * halley0[l]) > std::abs(eighth[l])) &
                (denominator > 0.0) & (t[l] != t0[l]);
    // Converged after one step: the loop ends there (rare; left to it).
    usual[l] &= !((step < CONVERGED_STEP) & (step < CONVERGED_RATIO * std::abs(eighth[l]))) & (step > SOLVE_TOLERANCE);
  }
  for (Int l = 0; l < LANES; ++l)
  {
    const Cubic& x = s[l]->x;
    const Float t1 = t[l];
    const Float f = x.At(t1) - target[l];
    const Float slope = x.Slope(t1);
    lo[l] = f < 0.0 ? t1 : lo[l];
    hi[l] = f < 0.0 ? hi[l] : t1;
    const Float denominator = slope * slope - 0.5 * f * x.Curvature(t1);
    const Float halley = f * slope / denominator;
    t[l] = t1 - halley;
    const Float step = std::abs(halley);
    // The loop's check against the step before lags one step behind: here still the eighth.
    usual[l] &= (f != 0.0) & (t[l] > lo[l]) & (t[l] < hi[l]) & !(std::abs(2.0 * halley) > std::abs(eighth[l])) &
                (denominator > 0.0) & (t[l] != t1);
    usual[l] &= (step < CONVERGED_STEP) & (step < CONVERGED_RATIO * std::abs(halley0[l]));
  }
}

// The index of the last of count knots whose x (knotX(i)) is at or left of x, for knotX(0) < x <
// knotX(count - 1). The search only ever narrows [lo, hi] inside the knots, so it stays in range
// whatever order the knots are in.
template <typename KnotX>
Int FindSegment(Int count, Float x, const KnotX& knotX)
{
  Int lo = 0;
  Int hi = count - 1;
  while (hi - lo > 1)
  {
    const Int mid = lo + (hi - lo) / 2;
    if (knotX(mid) <= x)
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

// The point of a curve of count knots at x: no knots gives (x, 0, 0), NaN gives (NaN, NaN, 0), x outside
// the knots the first or the last knot's position (*first and *last, read only when there are knots),
// otherwise the point on the segment that follows knot find(x) (segmentY(lo, x): its y there).
template <typename Find, typename SegmentY>
Vector EvaluateCurve(Int count, Float x, const Vector* first, const Vector* last, const Find& find,
                     const SegmentY& segmentY)
{
  if (count == 0)
    return Vector(x, 0.0, 0.0);
  if (std::isnan(x))
    return Vector(x, x, 0.0);
  if (!(x > first->x))
    return Vector(first->x, first->y, 0.0);
  if (!(x < last->x))
    return Vector(last->x, last->y, 0.0);
  return Vector(x, segmentY(find(x), x), 0.0);
}

inline Float SegmentY(const Segment& s, Float x)
{
  return s.y.At(SolveSegment(s, x));
}
} // namespace host::splinedetail
