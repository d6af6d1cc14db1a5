#include "host/fields/fieldobjects.h"

#include <algorithm>
#include <cmath>

#include "host/core/alloc.h"
#include "host/fields/fieldlist.h"
#include "host/scene/baseobject.h"
#include "host/scene/nodetypes.h"
#include "host/scene/scenefile.h"

namespace
{
constexpr Float DEFAULT_SIZE = 100.0;

BaseList2D* CreateFieldObject(Int32 type)
{
  BaseObject* op = NewObj<BaseObject>(type);
  if (!op)
    return nullptr;
  BaseContainer* bc = op->GetDataInstance();
  bc->SetFloat(FIELDOBJECT_SIZE, DEFAULT_SIZE);
  bc->SetFloat(FIELDOBJECT_INNER, 0.0);
  bc->SetInt32(FIELDOBJECT_INTERPOLATION, FIELDINTERPOLATION_LINEAR);
  return op;
}

Bool RegisterFieldObject(Int32 type, const char* name)
{
  if (const host::BuiltinType* t = host::FindBuiltinType(type))
    return t->kind == NODEKIND::OBJECT && t->create == CreateFieldObject;
  host::BuiltinType t;
  t.type = type;
  t.kind = NODEKIND::OBJECT;
  t.name = name;
  t.create = CreateFieldObject;
  return host::RegisterBuiltinType(std::move(t));
}

std::unique_ptr<CustomDataType> AllocFieldList()
{
  return FieldList::Alloc();
}

Float Ramp(Float t, Int32 interpolation)
{
  t = t > 0.0 ? (t < 1.0 ? t : 1.0) : 0.0;
  return interpolation == FIELDINTERPOLATION_SMOOTH ? t * t * (3.0 - 2.0 * t) : t;
}
} // namespace

Bool IsFieldObjectType(Int32 type)
{
  return type == Ofieldspherical || type == Ofieldlinear;
}

Bool FieldFalloff::Prepare(const BaseObject* op, FieldFalloff& out)
{
  if (!op || !IsFieldObjectType(op->GetType()))
    return false;
  const BaseContainer* bc = op->GetDataInstance();
  out.type = op->GetType();
  out.toLocal = ~op->GetMg();
  out.size = bc->GetFloat(FIELDOBJECT_SIZE, DEFAULT_SIZE);
  const Float inner = bc->GetFloat(FIELDOBJECT_INNER, 0.0);
  out.inner = inner > 0.0 ? (inner < 1.0 ? inner : 1.0) : 0.0;
  out.interpolation = bc->GetInt32(FIELDOBJECT_INTERPOLATION, FIELDINTERPOLATION_LINEAR);
  return true;
}

Float FieldFalloff::Evaluate(const Vector& world) const
{
  const Vector p = toLocal * world;
  if (type == Ofieldlinear)
  {
    if (!(size > 0.0))
      return p.z >= 0.0 ? 1.0 : 0.0;
    return Ramp(p.z / size + 0.5, interpolation);
  }
  const Float d = p.GetLength();
  if (!(size > 0.0))
    return d == 0.0 ? 1.0 : 0.0;
  const Float innerRadius = size * inner;
  if (d <= innerRadius)
    return 1.0;
  if (d >= size)
    return 0.0;
  return Ramp((size - d) / (size - innerRadius), interpolation);
}

namespace host
{
Bool RegisterFieldTypes()
{
  Bool ok = RegisterCustomDataType(CUSTOMDATATYPE_FIELDLIST, AllocFieldList);
  ok = RegisterFieldObject(Ofieldspherical, "Spherical Field") && ok;
  ok = RegisterFieldObject(Ofieldlinear, "Linear Field") && ok;
  return ok;
}
} // namespace host
