#include "host/scene/gedata.h"

#include <cmath>
#include <limits>

#include "host/core/alloc.h"
#include "host/scene/basecontainer.h"
#include "host/scene/gelistnode.h"

namespace
{
template <typename I>
Bool FloatToInteger(Float v, I& out)
{
  if (std::isnan(v))
    return false;
  // Saturate at the integer's range: the limits as doubles are exact powers of two (or one less).
  constexpr Float hi = static_cast<Float>(std::numeric_limits<I>::max());
  constexpr Float lo = static_cast<Float>(std::numeric_limits<I>::min());
  if (v >= hi)
    out = std::numeric_limits<I>::max();
  else if (v <= lo)
    out = std::numeric_limits<I>::min();
  else
    out = static_cast<I>(std::trunc(v));
  return true;
}

Int32 SaturateInt32(Int64 v)
{
  if (v > std::numeric_limits<Int32>::max())
    return std::numeric_limits<Int32>::max();
  if (v < std::numeric_limits<Int32>::min())
    return std::numeric_limits<Int32>::min();
  return static_cast<Int32>(v);
}
} // namespace

Bool CustomDataType::WriteData(HyperFile*) const
{
  return false;
}

Bool CustomDataType::ReadData(HyperFile*, Int32)
{
  return false;
}

BaseLink* BaseLink::Alloc()
{
  return NewObj<BaseLink>();
}

void BaseLink::Free(BaseLink*& link)
{
  DeleteObj(link);
}

void BaseLink::SetLink(const BaseList2D* node)
{
  _guid = node ? node->GetGUID() : 0;
}

BaseList2D* BaseLink::ForceGetLink() const
{
  return _guid == 0 ? nullptr : host::FindNodeByGuid(_guid);
}

BaseList2D* BaseLink::GetLink(const BaseDocument* doc, Int32 instanceOf) const
{
  BaseList2D* node = ForceGetLink();
  if (!node || node->GetDocument() != doc)
    return nullptr;
  if (instanceOf != 0 && !node->IsInstanceOf(instanceOf))
    return nullptr;
  return node;
}

GeData::GeData(const BaseContainer& v) : _v(std::make_unique<BaseContainer>(v)) {}

GeData::GeData(const CustomDataType& v)
{
  SetCustomDataType(v);
}

GeData::GeData(std::unique_ptr<CustomDataType> v)
{
  if (v)
    _v = std::move(v);
}

GeData::GeData(const GeData& o)
{
  *this = o;
}

GeData::GeData(GeData&& o) noexcept = default;
GeData& GeData::operator=(GeData&& o) noexcept = default;
GeData::~GeData() = default;

GeData& GeData::operator=(const GeData& o)
{
  if (this == &o)
    return *this;
  switch (o._v.index())
  {
    case 8:
    {
      const auto& bc = std::get<8>(o._v);
      _v = std::make_unique<BaseContainer>(*bc);
      break;
    }
    case 9:
    {
      const auto& cd = std::get<9>(o._v);
      std::unique_ptr<CustomDataType> copy = cd->Clone();
      if (copy)
        _v = std::move(copy);
      else
        _v = std::monostate();   // the clone failed; BaseContainer::CopyTo reports it
      break;
    }
    default:
      std::visit(
        [this](const auto& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (!std::is_same_v<T, ContainerPtr> && !std::is_same_v<T, CustomPtr>)
            _v = value;
        },
        o._v);
      break;
  }
  return *this;
}

Int32 GeData::GetType() const
{
  switch (_v.index())
  {
    case 0: return DA_NIL;
    case 1: return DA_LONG;
    case 2: return DA_LLONG;
    case 3: return DA_REAL;
    case 4: return DA_VECTOR;
    case 5: return DA_MATRIX;
    case 6: return DA_STRING;
    case 7: return DA_ALIASLINK;
    case 8: return DA_CONTAINER;
    case 9: return std::get<9>(_v)->GetCustomTypeId();
  }
  return DA_NIL;
}

Int32 GeData::GetInt32(Int32 def) const
{
  if (const Int32* v = std::get_if<Int32>(&_v))
    return *v;
  if (const Int64* v = std::get_if<Int64>(&_v))
    return SaturateInt32(*v);
  if (const Float* v = std::get_if<Float>(&_v))
  {
    Int32 out = def;
    return FloatToInteger(*v, out) ? out : def;
  }
  return def;
}

Int64 GeData::GetInt64(Int64 def) const
{
  if (const Int64* v = std::get_if<Int64>(&_v))
    return *v;
  if (const Int32* v = std::get_if<Int32>(&_v))
    return *v;
  if (const Float* v = std::get_if<Float>(&_v))
  {
    Int64 out = def;
    return FloatToInteger(*v, out) ? out : def;
  }
  return def;
}

Float GeData::GetFloat(Float def) const
{
  if (const Float* v = std::get_if<Float>(&_v))
    return *v;
  if (const Int32* v = std::get_if<Int32>(&_v))
    return static_cast<Float>(*v);
  if (const Int64* v = std::get_if<Int64>(&_v))
    return static_cast<Float>(*v);
  return def;
}

Bool GeData::GetBool(Bool def) const
{
  if (const Int32* v = std::get_if<Int32>(&_v))
    return *v != 0;
  if (const Int64* v = std::get_if<Int64>(&_v))
    return *v != 0;
  if (const Float* v = std::get_if<Float>(&_v))
    return std::isnan(*v) ? def : *v != 0.0;
  return def;
}

Vector GeData::GetVector(const Vector& def) const
{
  const Vector* v = std::get_if<Vector>(&_v);
  return v ? *v : def;
}

Matrix GeData::GetMatrix(const Matrix& def) const
{
  const Matrix* v = std::get_if<Matrix>(&_v);
  return v ? *v : def;
}

String GeData::GetString(const String& def) const
{
  const String* v = std::get_if<String>(&_v);
  return v ? *v : def;
}

BaseLink GeData::GetBaseLink() const
{
  const BaseLink* v = std::get_if<BaseLink>(&_v);
  return v ? *v : BaseLink();
}

BaseList2D* GeData::GetLink(const BaseDocument* doc, Int32 instanceOf) const
{
  const BaseLink* v = std::get_if<BaseLink>(&_v);
  return v ? v->GetLink(doc, instanceOf) : nullptr;
}

BaseContainer* GeData::GetContainer()
{
  auto* v = std::get_if<ContainerPtr>(&_v);
  return v ? v->get() : nullptr;
}

const BaseContainer* GeData::GetContainer() const
{
  const auto* v = std::get_if<ContainerPtr>(&_v);
  return v ? v->get() : nullptr;
}

CustomDataType* GeData::GetCustomDataType(Int32 type)
{
  auto* v = std::get_if<CustomPtr>(&_v);
  return v && (*v)->GetCustomTypeId() == type ? v->get() : nullptr;
}

const CustomDataType* GeData::GetCustomDataType(Int32 type) const
{
  const auto* v = std::get_if<CustomPtr>(&_v);
  return v && (*v)->GetCustomTypeId() == type ? v->get() : nullptr;
}

void GeData::SetContainer(const BaseContainer& v)
{
  _v = std::make_unique<BaseContainer>(v);
}

void GeData::SetCustomDataType(const CustomDataType& v)
{
  std::unique_ptr<CustomDataType> copy = v.Clone();
  if (copy)
    _v = std::move(copy);
  else
    _v = std::monostate();
}

bool GeData::operator==(const GeData& o) const
{
  if (_v.index() != o._v.index())
    return false;
  switch (_v.index())
  {
    case 0: return true;
    case 1: return std::get<1>(_v) == std::get<1>(o._v);
    case 2: return std::get<2>(_v) == std::get<2>(o._v);
    case 3: return std::get<3>(_v) == std::get<3>(o._v);
    case 4: return std::get<4>(_v) == std::get<4>(o._v);
    case 5: return std::get<5>(_v) == std::get<5>(o._v);
    case 6: return std::get<6>(_v) == std::get<6>(o._v);
    case 7: return std::get<7>(_v) == std::get<7>(o._v);
    case 8: return *std::get<8>(_v) == *std::get<8>(o._v);
    case 9:
    {
      const CustomDataType& a = *std::get<9>(_v);
      const CustomDataType& b = *std::get<9>(o._v);
      return a.GetCustomTypeId() == b.GetCustomTypeId() && a.IsEqual(b);
    }
  }
  return false;
}
