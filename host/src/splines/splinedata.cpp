#include "host/splines/splinedata.h"

#include <cmath>
#include <limits>

#include "host/core/alloc.h"
#include "host/scene/hyperfile.h"
#include "host/scene/scenefile.h"

namespace
{
constexpr Int32 STREAM_VERSION = 1;
// Stream values per knot: position, flags, left tangent, right tangent.
constexpr Int VALUES_PER_KNOT = 4;
// Enough for the bisection steps alone to shrink [0, 1] below a double's spacing; Halley steps end the
// solve in a handful on any segment whose slope does not vanish at the root.
constexpr Int MAX_SOLVE_STEPS = 100;
constexpr Float SOLVE_TOLERANCE = std::numeric_limits<Float>::epsilon();
// The parts of a segment sampled for the start of the solve: inside an eighth the linear start is close
// enough for two Halley steps to finish on the usual curves.
constexpr Int START_PARTS = 8;
// A Halley step below CONVERGED_STEP and below CONVERGED_RATIO times the step before it ends the solve
// (cubic convergence: what is left is about the step's cube).
constexpr Float CONVERGED_STEP = 1e-6;
constexpr Float CONVERGED_RATIO = 1e-3;

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

Cubic BezierCubic(Float p0, Float p1, Float p2, Float p3)
{
  return {p3 - p0 + 3.0 * (p1 - p2), 3.0 * (p2 - 2.0 * p1 + p0), 3.0 * (p1 - p0), p0};
}

// The t in [0, 1] with x(t) = target, for x(0) <= target < x(1). The start: x(t) at the seven inner
// eighths of the segment (independent of one another, so they cost about one evaluation's latency), the
// eighth whose ends bracket the target, and the linear interpolation inside it. Halley steps (Newton's
// corrected by the curvature) then finish, each kept inside the bracket [lo, hi] that the signs of
// x(t) - target maintain, and replaced by a bisection step where it would leave the bracket or where it
// does not at least halve the step before it (near a point where dx/dt is 0 they slow to a crawl). A
// step far smaller than the one before shows the fast convergence: what is left after it is about its
// cube, below the double's resolution, so the solve ends there rather than spend one more step to
// confirm it. Always ends, whatever the values.
Float SolveSegment(const Cubic& x, Float target, Float x0, Float x3)
{
  Float samples[START_PARTS - 1];
  for (Int k = 1; k < START_PARTS; ++k)
    samples[k - 1] = x.At(static_cast<Float>(k) / START_PARTS);
  Int below = 0;
  for (const Float xs : samples)
    below += xs <= target ? 1 : 0;
  Float lo = static_cast<Float>(below) / START_PARTS;
  Float hi = static_cast<Float>(below + 1) / START_PARTS;
  const Float xLo = below == 0 ? x0 : samples[below - 1];
  const Float xHi = below == START_PARTS - 1 ? x3 : samples[below];
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

std::unique_ptr<CustomDataType> AllocSplineData()
{
  return SplineData::Alloc();
}
} // namespace

std::unique_ptr<SplineData> SplineData::Alloc()
{
  if (host::AllocationShouldFail())
    return nullptr;
  return std::unique_ptr<SplineData>(new (std::nothrow) SplineData());
}

std::unique_ptr<CustomDataType> SplineData::Clone() const
{
  std::unique_ptr<SplineData> copy = Alloc();
  if (!copy || copy->_knots.CopyFrom(_knots).IsError())
    return nullptr;
  return copy;
}

Bool SplineData::IsEqual(const CustomDataType& other) const
{
  if (other.GetCustomTypeId() != CUSTOMDATATYPE_SPLINE)
    return false;
  const auto& o = static_cast<const SplineData&>(other);
  if (o._knots.GetCount() != _knots.GetCount())
    return false;
  for (Int i = 0; i < _knots.GetCount(); ++i)
    if (!(o._knots[i] == _knots[i]))
      return false;
  return true;
}

Bool SplineData::WriteData(HyperFile* hf) const
{
  if (!hf || !hf->WriteInt32(STREAM_VERSION) || !hf->WriteInt32(GetKnotCount()))
    return false;
  for (const SplineKnot& k : _knots)
    if (!hf->WriteVector(k.position) || !hf->WriteInt32(k.flags) || !hf->WriteVector(k.leftTangent) ||
        !hf->WriteVector(k.rightTangent))
      return false;
  return true;
}

Bool SplineData::ReadData(HyperFile* hf, Int32)
{
  Int32 version = 0;
  Int32 count = 0;
  if (!hf || !hf->ReadInt32(&version) || version != STREAM_VERSION || !hf->ReadInt32(&count) || count < 0)
    return false;
  // A count the stream cannot hold is refused before anything is allocated for it.
  if (static_cast<Int>(count) > (hf->GetCount() - hf->GetReadPosition()) / VALUES_PER_KNOT)
    return false;
  BaseArray<SplineKnot> knots;
  if (knots.EnsureCapacity(count).IsError())
    return false;
  for (Int32 i = 0; i < count; ++i)
  {
    SplineKnot k;
    if (!hf->ReadVector(&k.position) || !hf->ReadInt32(&k.flags) || !hf->ReadVector(&k.leftTangent) ||
        !hf->ReadVector(&k.rightTangent) || knots.Append(k).IsError())
      return false;
  }
  _knots = std::move(knots);
  return true;
}

SplineKnot* SplineData::GetKnot(Int32 index)
{
  return index >= 0 && index < GetKnotCount() ? &_knots[index] : nullptr;
}

const SplineKnot* SplineData::GetKnot(Int32 index) const
{
  return index >= 0 && index < GetKnotCount() ? &_knots[index] : nullptr;
}

Int32 SplineData::InsertKnot(Float x, Float y, Int32 flags)
{
  // From the end, so knots inserted in ascending x (the usual way) are appended without a search.
  Int32 index = GetKnotCount();
  while (index > 0 && _knots[index - 1].position.x > x)
    --index;
  SplineKnot k;
  k.position = Vector(x, y, 0.0);
  k.flags = flags;
  if (_knots.Insert(index, k).IsError())
    return -1;
  return index;
}

void SplineData::DeleteAllPoints()
{
  _knots.Reset();
}

Bool SplineData::MakeDefaultCurve(Int32 knotCount)
{
  const Int32 n = knotCount < 2 ? 2 : knotCount;
  BaseArray<SplineKnot> knots;
  if (knots.Resize(n).IsError())
    return false;
  for (Int32 i = 0; i < n; ++i)
  {
    const Float v = static_cast<Float>(i) / static_cast<Float>(n - 1);
    knots[i].position = Vector(v, v, 0.0);
  }
  _knots = std::move(knots);
  return true;
}

Vector SplineData::Evaluate(Float x) const
{
  const Int n = _knots.GetCount();
  if (n == 0)
    return Vector(x, 0.0, 0.0);
  if (std::isnan(x))
    return Vector(x, x, 0.0);
  const SplineKnot* k = _knots.GetFirst();
  if (!(x > k[0].position.x))
    return Vector(k[0].position.x, k[0].position.y, 0.0);
  if (!(x < k[n - 1].position.x))
    return Vector(k[n - 1].position.x, k[n - 1].position.y, 0.0);

  // The last knot at or left of x; the search only ever narrows [lo, hi] inside the knots, so it stays
  // in range whatever order the knots are in.
  Int lo = 0;
  Int hi = n - 1;
  while (hi - lo > 1)
  {
    const Int mid = lo + (hi - lo) / 2;
    if (k[mid].position.x <= x)
      lo = mid;
    else
      hi = mid;
  }
  const SplineKnot& a = k[lo];
  const SplineKnot& b = k[lo + 1];
  const Cubic cx = BezierCubic(a.position.x, a.position.x + a.rightTangent.x, b.position.x + b.leftTangent.x,
                               b.position.x);
  const Cubic cy = BezierCubic(a.position.y, a.position.y + a.rightTangent.y, b.position.y + b.leftTangent.y,
                               b.position.y);
  const Float t = SolveSegment(cx, x, a.position.x, b.position.x);
  return Vector(x, cy.At(t), 0.0);
}

namespace host
{
Bool RegisterSplineTypes()
{
  return RegisterCustomDataType(CUSTOMDATATYPE_SPLINE, AllocSplineData);
}
} // namespace host

namespace
{
// The scene files know the curve type from the start.
const Bool g_splineTypesRegistered = host::RegisterSplineTypes();
} // namespace
