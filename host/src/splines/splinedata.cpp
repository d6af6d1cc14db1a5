#include "host/splines/splinedata.h"


#include "host/core/alloc.h"
#include "host/scene/hyperfile.h"
#include "host/scene/scenefile.h"

namespace
{
constexpr Int32 STREAM_VERSION = 1;
// Stream values per knot: position, flags, left tangent, right tangent.
constexpr Int VALUES_PER_KNOT = 4;
// Inlined into Evaluate, which then keeps the segment in registers rather than have it returned in memory.
[[gnu::always_inline]] inline host::splinedetail::Segment KnotSegment(const SplineKnot& a, const SplineKnot& b)
{
  return host::splinedetail::MakeSegment(a.position.x, a.position.y, a.rightTangent.x, a.rightTangent.y,
                                         b.position.x, b.position.y, b.leftTangent.x, b.leftTangent.y);
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
  const SplineKnot* k = _knots.GetFirst();
  return host::splinedetail::EvaluateCurve(
    n, x, n > 0 ? &k[0].position : nullptr, n > 0 ? &k[n - 1].position : nullptr,
    [k, n](Float v) { return host::splinedetail::FindSegment(n, v, [k](Int i) { return k[i].position.x; }); },
    [k](Int lo, Float v) { return host::splinedetail::SegmentY(KnotSegment(k[lo], k[lo + 1]), v); });
}

SplineDataEvaluator::SplineDataEvaluator(const SplineData& curve) : _curve(&curve)
{
  const Int n = curve.GetKnotCount();
  if (n > MAX_KNOTS)
    return;
  _prepared = true;
  _count = n;
  if (n == 0)
    return;
  const SplineKnot* k = curve.GetKnot(0);   // the knots are one array
  _first = k[0].position;
  _last = k[n - 1].position;
  _ascending = true;
  for (Int i = 0; i < n; ++i)
  {
    _knotX[i] = k[i].position.x;
    // NaN counts as out of order.
    if (i > 0 && !(_knotX[i - 1] <= _knotX[i]))
      _ascending = false;
  }
  for (Int i = 0; i + 1 < n; ++i)
    _segments[i] = KnotSegment(k[i], k[i + 1]);
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
