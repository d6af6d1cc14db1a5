#include "host/shading/gradient.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "host/core/alloc.h"
#include "host/scene/hyperfile.h"

namespace
{
std::atomic<Int> g_liveGradients{0};
std::atomic<Int> g_unpreparedLookups{0};

// The stream's own version, written first, so that a later layout can still read this one.
constexpr Int32 STREAM_VERSION = 1;
// A bias is kept away from 0 and 1, where the exponent would be 0 or infinite.
constexpr Float MIN_BIAS = 0.001;
constexpr Float MAX_BIAS = 0.999;

Bool KnownInterpolation(Int32 v)
{
  switch (static_cast<GRADIENT_INTERPOLATION_TYPE>(v))
  {
    case GRADIENT_INTERPOLATION_TYPE::CUBICKNOT:
    case GRADIENT_INTERPOLATION_TYPE::SMOOTHKNOT:
    case GRADIENT_INTERPOLATION_TYPE::LINEARKNOT:
    case GRADIENT_INTERPOLATION_TYPE::NONE: return true;
  }
  return false;
}

Vector KnotColor(const GradientKnot& k)
{
  return k.col * k.brightness;
}

Float ApplyBias(Float t, Float bias)
{
  // 0.5 (and NaN) is the identity, taken exactly rather than through pow.
  if (bias == 0.5 || std::isnan(bias))
    return t;
  bias = std::clamp(bias, MIN_BIAS, MAX_BIAS);
  return std::pow(t, std::log(0.5) / std::log(bias));
}

// Catmull-Rom between p1 (t = 0) and p2 (t = 1).
Float CatmullRom(Float p0, Float p1, Float p2, Float p3, Float t)
{
  const Float t2 = t * t;
  const Float t3 = t2 * t;
  return 0.5 * (2.0 * p1 + (p2 - p0) * t + (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) * t2 + (3.0 * p1 - p0 - 3.0 * p2 + p3) * t3);
}

// The knots in order of position; equal positions keep their insertion order.
Bool SortedCopy(const std::vector<GradientKnot>& knots, std::vector<GradientKnot>& out)
{
  return host::TryAllocation([&] {
    std::vector<GradientKnot> sorted(knots);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const GradientKnot& a, const GradientKnot& b) { return a.pos < b.pos; });
    out.swap(sorted);
  });
}
} // namespace

Gradient::Gradient()
{
  g_liveGradients.fetch_add(1, std::memory_order_relaxed);
}

Gradient::~Gradient()
{
  g_liveGradients.fetch_sub(1, std::memory_order_relaxed);
}

Gradient* Gradient::Alloc()
{
  return NewObj<Gradient>();
}

void Gradient::Free(Gradient*& gradient)
{
  DeleteObj(gradient);
}

GradientKnot Gradient::GetKnot(Int32 index) const
{
  if (index < 0 || index >= GetKnotCount())
    return GradientKnot();
  return _knots[static_cast<std::size_t>(index)];
}

Bool Gradient::InsertKnot(const GradientKnot& knot)
{
  return host::TryAllocation([&] { _knots.push_back(knot); });
}

Bool Gradient::SetKnot(Int32 index, const GradientKnot& knot)
{
  if (index < 0 || index >= GetKnotCount())
    return false;
  _knots[static_cast<std::size_t>(index)] = knot;
  return true;
}

void Gradient::FlushKnots()
{
  _knots.clear();
}

Bool Gradient::CopyTo(Gradient* dest) const
{
  if (!dest)
    return false;
  if (dest == this)
    return true;
  return host::TryAllocation([&] {
    std::vector<GradientKnot> knots(_knots);
    std::vector<GradientKnot> render(_render);
    dest->_knots.swap(knots);
    dest->_render.swap(render);
    dest->_prepared = _prepared;
  });
}

Result<void> Gradient::InitRender(const InitRenderStruct&)
{
  if (!SortedCopy(_knots, _render))
    return OutOfMemoryError("Could not prepare the gradient for rendering!");
  _prepared = true;
  return OK;
}

void Gradient::FreeRender()
{
  _prepared = false;
  _render.clear();
  _render.shrink_to_fit();
}

Vector Gradient::CalcGradientPixel(Float pos) const
{
  if (!_prepared)
  {
    g_unpreparedLookups.fetch_add(1, std::memory_order_relaxed);
    return Vector();
  }
  const std::vector<GradientKnot>& k = _render;
  if (k.empty())
    return Vector();
  // NaN fails the first test and reads as before the first knot.
  if (!(pos > k.front().pos))
    return KnotColor(k.front());
  if (pos >= k.back().pos)
    return KnotColor(k.back());
  // The last knot at or before pos; knots further on share a position only with a later knot.
  const auto after = std::upper_bound(k.begin(), k.end(), pos,
                                      [](Float p, const GradientKnot& knot) { return p < knot.pos; });
  const std::size_t i = static_cast<std::size_t>(after - k.begin()) - 1;
  const GradientKnot& a = k[i];
  const GradientKnot& b = k[i + 1];
  const Float span = b.pos - a.pos;
  Float t = span > 0.0 ? (pos - a.pos) / span : 1.0;
  t = ApplyBias(t, a.bias);
  const Vector ca = KnotColor(a);
  const Vector cb = KnotColor(b);
  switch (a.interpolation)
  {
    case GRADIENT_INTERPOLATION_TYPE::NONE: return ca;
    case GRADIENT_INTERPOLATION_TYPE::SMOOTHKNOT: t = t * t * (3.0 - 2.0 * t); break;
    case GRADIENT_INTERPOLATION_TYPE::CUBICKNOT:
    {
      const Vector c0 = i > 0 ? KnotColor(k[i - 1]) : ca;
      const Vector c3 = i + 2 < k.size() ? KnotColor(k[i + 2]) : cb;
      return Vector(CatmullRom(c0.x, ca.x, cb.x, c3.x, t), CatmullRom(c0.y, ca.y, cb.y, c3.y, t),
                    CatmullRom(c0.z, ca.z, cb.z, c3.z, t));
    }
    case GRADIENT_INTERPOLATION_TYPE::LINEARKNOT:
    default: break;
  }
  return ca + (cb - ca) * t;
}

std::unique_ptr<CustomDataType> Gradient::Clone() const
{
  std::unique_ptr<Gradient> copy(NewObj<Gradient>());
  if (!copy)
    return nullptr;
  // A clone is a value for a container: it holds the knots, not the render preparation.
  if (!host::TryAllocation([&] { copy->_knots = _knots; }))
    return nullptr;
  return copy;
}

Bool Gradient::IsEqual(const CustomDataType& other) const
{
  if (other.GetCustomTypeId() != CUSTOMDATATYPE_GRADIENT)
    return false;
  return _knots == static_cast<const Gradient&>(other)._knots;
}

Bool Gradient::WriteData(HyperFile* hf) const
{
  if (!hf || !hf->WriteInt32(STREAM_VERSION) || !hf->WriteInt32(GetKnotCount()))
    return false;
  for (const GradientKnot& k : _knots)
    if (!hf->WriteVector(k.col) || !hf->WriteFloat(k.brightness) || !hf->WriteFloat(k.pos) ||
        !hf->WriteFloat(k.bias) || !hf->WriteInt32(k.index) || !hf->WriteInt32(static_cast<Int32>(k.interpolation)))
      return false;
  return true;
}

Bool Gradient::ReadData(HyperFile* hf, Int32)
{
  Int32 version = 0;
  Int32 count = 0;
  if (!hf || !hf->ReadInt32(&version) || version != STREAM_VERSION || !hf->ReadInt32(&count) || count < 0 ||
      count > hf->GetCount())
    return false;
  std::vector<GradientKnot> knots;
  if (!host::TryAllocation([&] { knots.reserve(static_cast<std::size_t>(count)); }))
    return false;
  for (Int32 n = 0; n < count; ++n)
  {
    GradientKnot k;
    Int32 interpolation = 0;
    if (!hf->ReadVector(&k.col) || !hf->ReadFloat(&k.brightness) || !hf->ReadFloat(&k.pos) ||
        !hf->ReadFloat(&k.bias) || !hf->ReadInt32(&k.index) || !hf->ReadInt32(&interpolation) ||
        !KnownInterpolation(interpolation))
      return false;
    k.interpolation = static_cast<GRADIENT_INTERPOLATION_TYPE>(interpolation);
    knots.push_back(k);   // within the reserved capacity
  }
  _knots.swap(knots);
  FreeRender();
  return true;
}

Bool SetDefaultGradientKnots(Gradient& gradient)
{
  gradient.FlushKnots();
  GradientKnot black;
  black.col = Vector(0.0, 0.0, 0.0);
  black.pos = 0.0;
  GradientKnot white;
  white.col = Vector(1.0, 1.0, 1.0);
  white.pos = 1.0;
  return gradient.InsertKnot(black) && gradient.InsertKnot(white);
}

namespace host
{
Int GetLiveGradientCount()
{
  return g_liveGradients.load(std::memory_order_relaxed);
}

Int GetUnpreparedGradientLookups()
{
  return g_unpreparedLookups.load(std::memory_order_relaxed);
}

void ResetUnpreparedGradientLookups()
{
  g_unpreparedLookups.store(0, std::memory_order_relaxed);
}
} // namespace host
