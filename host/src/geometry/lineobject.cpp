#include "host/geometry/lineobject.h"

#include "host/core/alloc.h"
#include "host/geometry/geometrytags.h"
#include "host/scene/nodetypes.h"
#include "internal.h"

namespace
{
VariableTag* FindVariableTag(const BaseObject* op, Int32 type)
{
  return static_cast<VariableTag*>(op->GetTag(type));
}
} // namespace

namespace host::detail
{
BaseList2D* CreateLineObject(Int32)
{
  LineObject* op = NewObj<LineObject>();
  if (!op)
    return nullptr;
  BaseList2D* points = host::AllocBuiltinNode(Tpoint);
  BaseList2D* segments = host::AllocBuiltinNode(Tsegment);
  if (!points || !segments)
  {
    BaseList2D* node = op;
    host::FreeNode(points);
    host::FreeNode(segments);
    host::FreeNode(node);
    return nullptr;
  }
  op->InsertTag(static_cast<BaseTag*>(segments));
  op->InsertTag(static_cast<BaseTag*>(points));
  return op;
}
} // namespace host::detail

LineObject::LineObject() : PointObject(Oline) {}

LineObject* LineObject::Alloc(Int32 pcnt, Int32 scnt)
{
  if (pcnt < 0 || scnt < 0)
    return nullptr;
  LineObject* op = static_cast<LineObject*>(host::AllocBuiltinNode(Oline));
  if (op && !op->ResizeObject(pcnt, scnt))
  {
    BaseObject* o = op;
    BaseObject::Free(o);
    return nullptr;
  }
  return op;
}

Int32 LineObject::GetSegmentCount() const
{
  const VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? t->GetDataCount() : 0;
}

const Segment* LineObject::GetSegmentR() const
{
  const VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? static_cast<const Segment*>(t->GetLowlevelDataAddressR()) : nullptr;
}

Segment* LineObject::GetSegmentW()
{
  if (host::IsWriteAccessRefused(Tsegment))
    return nullptr;
  VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? static_cast<Segment*>(t->GetLowlevelDataAddressW()) : nullptr;
}

Bool LineObject::ResizeObject(Int32 pcnt, Int32 scnt)
{
  VariableTag* segs = FindVariableTag(this, Tsegment);
  return pcnt >= 0 && scnt >= 0 && segs && ResizePoints(pcnt) && segs->Resize(scnt);
}
