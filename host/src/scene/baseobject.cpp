#include "host/scene/baseobject.h"

#include <algorithm>
#include <cstring>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"
#include "host/geometry/lineobject.h"
#include "internal.h"

namespace
{
void Mix(UInt64& h, UInt64 v)
{
  // FNV-1a over the value's bytes.
  for (int i = 0; i < 8; ++i)
  {
    h ^= (v >> (8 * i)) & 0xFF;
    h *= 1099511628211ull;
  }
}

void HashChildren(const BaseObject* op, UInt64& h)
{
  for (const BaseObject* c = op->GetDown(); c; c = c->GetNext())
  {
    Mix(h, 1);
    Mix(h, static_cast<UInt64>(c->GetGUID()));
    Mix(h, static_cast<UInt64>(c->GetDirty(DIRTYFLAGS::MATRIX | DIRTYFLAGS::DATA | DIRTYFLAGS::CACHE)));
    Mix(h, (c->IsEnabled() ? 1u : 0u) | (static_cast<UInt64>(c->GetEditorMode()) << 8) |
             (static_cast<UInt64>(c->GetRenderMode()) << 16));
    HashChildren(c, h);
    Mix(h, 2);
  }
}

VariableTag* FindVariableTag(const BaseObject* op, Int32 type)
{
  return static_cast<VariableTag*>(op->GetTag(type));
}
} // namespace

namespace host::detail
{
UInt64 HashBelow(const BaseObject* op)
{
  UInt64 h = 1469598103934665603ull;
  HashChildren(op, h);
  return h;
}
} // namespace host::detail

// ---------------------------------------------------------------------------------------------------
// BaseObject

BaseObject::BaseObject(Int32 type) : BaseList2D(type, NODEKIND::OBJECT) {}

BaseObject::~BaseObject()
{
  BaseList2D* iso = _isoparm;
  _isoparm = nullptr;
  host::FreeNode(iso);
}

Bool BaseObject::SetIsoparm(LineObject* line)
{
  if (line == _isoparm)
    return true;
  if (line && (line->IsInList() || static_cast<BaseObject*>(line) == this))
    return false;
  BaseList2D* old = _isoparm;
  _isoparm = line;
  host::FreeNode(old);
  return true;
}

BaseObject* BaseObject::Alloc(Int32 type)
{
  if (const host::PluginEntry* e = host::FindPlugin(type))
    return e->type == PLUGINTYPE::OBJECT ? static_cast<BaseObject*>(AllocPluginNode(type)) : nullptr;
  const host::BuiltinType* bt = host::FindBuiltinType(type);
  if (!bt || bt->kind != NODEKIND::OBJECT)
    return nullptr;
  return static_cast<BaseObject*>(host::AllocBuiltinNode(type));
}

void BaseObject::Free(BaseObject*& op)
{
  BaseList2D* node = op;
  op = nullptr;
  host::FreeNode(node);
}

BaseObject* BaseObject::GetClone(COPYFLAGS flags, AliasTrans* trn) const
{
  return static_cast<BaseObject*>(BaseList2D::GetClone(flags, trn));
}

void BaseObject::SetMl(const Matrix& m)
{
  if (m == _ml)
    return;
  _ml = m;
  SetDirty(DIRTYFLAGS::MATRIX);
}

Matrix BaseObject::GetMg() const
{
  Matrix m = _ml;
  for (const BaseObject* p = GetUp(); p; p = p->GetUp())
    m = p->_ml * m;
  return m;
}

Matrix BaseObject::GetUpMg() const
{
  const BaseObject* up = GetUp();
  return up ? up->GetMg() : Matrix();
}

void BaseObject::SetMg(const Matrix& m)
{
  SetMl(~GetUpMg() * m);
}

Int32 BaseObject::GetInfo() const
{
  if (GetNodeData())
  {
    const host::PluginEntry* e = host::FindPlugin(GetType());
    return e ? e->info : 0;
  }
  const host::BuiltinType* bt = host::FindBuiltinType(GetType());
  return bt ? bt->info : 0;
}

void BaseObject::SetEnabled(Bool enabled)
{
  if (enabled == _enabled)
    return;
  _enabled = enabled;
  SetDirty(DIRTYFLAGS::DATA);
}

void BaseObject::SetEditorMode(MODE mode)
{
  if (mode == _editorMode)
    return;
  _editorMode = mode;
  SetDirty(DIRTYFLAGS::DATA);
}

void BaseObject::SetRenderMode(MODE mode)
{
  if (mode == _renderMode)
    return;
  _renderMode = mode;
  SetDirty(DIRTYFLAGS::DATA);
}

Int32 BaseObject::GetObjectState(OBJECTSTATE query) const
{
  switch (query)
  {
    case OBJECTSTATE::EDITOR:
      for (const BaseObject* o = this; o; o = o->GetUp())
        if (o->_editorMode == MODE::OFF)
          return 0;
      return 1;
    case OBJECTSTATE::RENDER:
      for (const BaseObject* o = this; o; o = o->GetUp())
        if (o->_renderMode == MODE::OFF)
          return 0;
      return 1;
    case OBJECTSTATE::DEFORM: return _enabled ? 1 : 0;
  }
  return 0;
}

BaseTag* BaseObject::GetFirstTag() const
{
  return static_cast<BaseTag*>(_tags.first);
}

Bool BaseObject::InsertTag(BaseTag* tp, BaseTag* pred)
{
  return host::InsertIntoList(_tags, tp, pred);
}

BaseTag* BaseObject::MakeTag(Int32 type, BaseTag* pred)
{
  BaseTag* tag = BaseTag::Alloc(type);
  if (!tag)
    return nullptr;
  if (!InsertTag(tag, pred))
  {
    BaseTag::Free(tag);
    return nullptr;
  }
  return tag;
}

VariableTag* BaseObject::MakeVariableTag(Int32 type, Int32 count, BaseTag* pred, RECORDINIT init)
{
  VariableTag* tag = VariableTag::Alloc(type, count, init);
  if (!tag)
    return nullptr;
  if (!InsertTag(tag, pred))
  {
    BaseTag* t = tag;
    BaseTag::Free(t);
    return nullptr;
  }
  return tag;
}

BaseTag* BaseObject::GetTag(Int32 type, Int32 nr) const
{
  for (BaseTag* t = GetFirstTag(); t; t = t->GetNext())
    if (t->GetType() == type && nr-- == 0)
      return t;
  return nullptr;
}

void BaseObject::KillTag(Int32 type, Int32 nr)
{
  BaseTag* t = GetTag(type, nr);
  BaseTag::Free(t);
}

Bool BaseObject::CheckCache(HierarchyContext*) const
{
  return !_cache || GetDirty(DIRTYFLAGS::DATA) != _stampData || GetDirty(DIRTYFLAGS::CACHE) != _stampCache ||
         host::detail::HashBelow(this) != _stampBelow;
}

Bool BaseObject::IsDirty(DIRTYFLAGS flags) const
{
  return (HasFlag(flags, DIRTYFLAGS::MATRIX) && GetDirty(DIRTYFLAGS::MATRIX) != _stampMatrix) ||
         (HasFlag(flags, DIRTYFLAGS::DATA) && GetDirty(DIRTYFLAGS::DATA) != _stampData) ||
         (HasFlag(flags, DIRTYFLAGS::CACHE) && GetDirty(DIRTYFLAGS::CACHE) != _stampCache);
}

SplineObject* BaseObject::GetRealSpline()
{
  if (GetType() == Ospline)
    return static_cast<SplineObject*>(this);
  if ((GetInfo() & OBJECT_ISSPLINE) != 0 && _cache && _cache->GetType() == Ospline)
    return static_cast<SplineObject*>(_cache);
  return nullptr;
}

Bool BaseObject::CopyMembersTo(BaseList2D* dest) const
{
  if (!BaseList2D::CopyMembersTo(dest) || dest->GetKind() != NODEKIND::OBJECT)
    return false;
  BaseObject* op = static_cast<BaseObject*>(dest);
  op->_ml = _ml;
  op->_enabled = _enabled;
  op->_editorMode = _editorMode;
  op->_renderMode = _renderMode;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Tags

BaseTag::BaseTag(Int32 type) : BaseList2D(type, NODEKIND::TAG) {}

BaseTag* BaseTag::Alloc(Int32 type)
{
  if (const host::PluginEntry* e = host::FindPlugin(type))
    return e->type == PLUGINTYPE::TAG ? static_cast<BaseTag*>(AllocPluginNode(type)) : nullptr;
  const host::BuiltinType* bt = host::FindBuiltinType(type);
  if (!bt || bt->kind != NODEKIND::TAG)
    return nullptr;
  return static_cast<BaseTag*>(host::AllocBuiltinNode(type));
}

void BaseTag::Free(BaseTag*& tag)
{
  BaseList2D* node = tag;
  tag = nullptr;
  host::FreeNode(node);
}

BaseTag* BaseTag::GetClone(COPYFLAGS flags, AliasTrans* trn) const
{
  return static_cast<BaseTag*>(BaseList2D::GetClone(flags, trn));
}

BaseObject* BaseTag::GetObject() const
{
  const host::ListHead* head = GetListHead();
  return head && head->kind == host::LISTKIND::TAGS ? static_cast<BaseObject*>(head->owner) : nullptr;
}

VariableTag::VariableTag(Int32 type, Int32 elementSize) : BaseTag(type), _size(elementSize) {}

VariableTag::~VariableTag()
{
  host::detail::RecycleRecordStorage(std::move(_bytes));
}

VariableTag* VariableTag::Alloc(Int32 type, Int32 count, RECORDINIT init)
{
  const host::BuiltinType* bt = host::FindBuiltinType(type);
  if (!bt || bt->kind != NODEKIND::TAG || bt->recordSize <= 0)
    return nullptr;
  VariableTag* tag = static_cast<VariableTag*>(host::AllocBuiltinNode(type));
  if (tag && !tag->Resize(count, init))
  {
    BaseTag* t = tag;
    BaseTag::Free(t);
    return nullptr;
  }
  return tag;
}

namespace
{
// New records are zero. A large tag (a mesh's points, polygons and UVWs) is cleared on all threads, so
// that its fresh pages are first touched by many threads: that is most of the cost of a large mesh.
constexpr std::size_t ZERO_CHUNK = std::size_t(1) << 18;

void ZeroBytes(std::byte* p, std::size_t n)
{
  if (n <= 4 * ZERO_CHUNK)
  {
    std::memset(p, 0, n);
    return;
  }
  const Int chunks = static_cast<Int>((n + ZERO_CHUNK - 1) / ZERO_CHUNK);
  (void)ParallelFor(
    0, chunks,
    [p, n](Int c) {
      const std::size_t begin = static_cast<std::size_t>(c) * ZERO_CHUNK;
      std::memset(p + begin, 0, std::min(ZERO_CHUNK, n - begin));
    },
    0, 1);
}
} // namespace

Bool VariableTag::Resize(Int32 count, RECORDINIT init)
{
  if (count < 0)
    return false;
  const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(_size);
  if (bytes > _bytes.size() && host::AllocationShouldFail())
    return false;
  // A tag without records takes recycled storage of exactly its size when the pool has some; none of
  // it is a kept record.
  const std::size_t old = _bytes.size();
  if (old == 0 && bytes > 0)
    _bytes = host::detail::TakeRecordStorage(bytes);
  try
  {
    _bytes.resize(bytes);
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  if (bytes > old && init == RECORDINIT::ZERO)
    ZeroBytes(_bytes.data() + old, bytes - old);
  _count = count;
  return true;
}

Bool VariableTag::CopyMembersTo(BaseList2D* dest) const
{
  if (!BaseTag::CopyMembersTo(dest) || dest->GetType() != GetType())
    return false;
  VariableTag* tag = static_cast<VariableTag*>(dest);
  if (host::AllocationShouldFail())
    return false;
  try
  {
    tag->_bytes = _bytes;
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  tag->_count = _count;
  tag->_size = _size;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Point objects

PointObject::PointObject(Int32 type) : BaseObject(type) {}

Int32 PointObject::GetPointCount() const
{
  const VariableTag* t = FindVariableTag(this, Tpoint);
  return t ? t->GetDataCount() : 0;
}

const Vector* PointObject::GetPointR() const
{
  const VariableTag* t = FindVariableTag(this, Tpoint);
  return t ? static_cast<const Vector*>(t->GetLowlevelDataAddressR()) : nullptr;
}

Vector* PointObject::GetPointW()
{
  if (host::IsWriteAccessRefused(Tpoint))
    return nullptr;
  VariableTag* t = FindVariableTag(this, Tpoint);
  return t ? static_cast<Vector*>(t->GetLowlevelDataAddressW()) : nullptr;
}

Bool PointObject::ResizePoints(Int32 count, RECORDINIT init)
{
  VariableTag* t = FindVariableTag(this, Tpoint);
  return t && t->Resize(count, init);
}

PolygonObject::PolygonObject() : PointObject(Opolygon) {}

PolygonObject* PolygonObject::Alloc(Int32 pcnt, Int32 vcnt, RECORDINIT init)
{
  if (pcnt < 0 || vcnt < 0)
    return nullptr;
  PolygonObject* op = static_cast<PolygonObject*>(host::AllocBuiltinNode(Opolygon));
  if (op && !op->ResizeObject(pcnt, vcnt, init))
  {
    BaseObject* o = op;
    BaseObject::Free(o);
    return nullptr;
  }
  return op;
}

Int32 PolygonObject::GetPolygonCount() const
{
  const VariableTag* t = FindVariableTag(this, Tpolygon);
  return t ? t->GetDataCount() : 0;
}

const CPolygon* PolygonObject::GetPolygonR() const
{
  const VariableTag* t = FindVariableTag(this, Tpolygon);
  return t ? static_cast<const CPolygon*>(t->GetLowlevelDataAddressR()) : nullptr;
}

CPolygon* PolygonObject::GetPolygonW()
{
  if (host::IsWriteAccessRefused(Tpolygon))
    return nullptr;
  VariableTag* t = FindVariableTag(this, Tpolygon);
  return t ? static_cast<CPolygon*>(t->GetLowlevelDataAddressW()) : nullptr;
}

Bool PolygonObject::CopyMembersTo(BaseList2D* dest) const
{
  if (!PointObject::CopyMembersTo(dest) || dest->GetType() != Opolygon)
    return false;
  return _polygonSelection.CopyTo(static_cast<PolygonObject*>(dest)->GetPolygonS());
}

Bool PolygonObject::ResizeObject(Int32 pcnt, Int32 vcnt, RECORDINIT init)
{
  VariableTag* polys = FindVariableTag(this, Tpolygon);
  return pcnt >= 0 && vcnt >= 0 && polys && ResizePoints(pcnt, init) && polys->Resize(vcnt, init);
}

SplineObject::SplineObject() : PointObject(Ospline) {}

SplineObject* SplineObject::Alloc(Int32 pcnt, SPLINETYPE type)
{
  if (pcnt < 0)
    return nullptr;
  SplineObject* op = static_cast<SplineObject*>(host::AllocBuiltinNode(Ospline));
  if (!op)
    return nullptr;
  op->GetDataInstance()->SetInt32(SPLINEOBJECT_TYPE, static_cast<Int32>(type));
  op->GetDataInstance()->SetBool(SPLINEOBJECT_CLOSED, false);
  if (!op->ResizeObject(pcnt, 0))
  {
    BaseObject* o = op;
    BaseObject::Free(o);
    return nullptr;
  }
  return op;
}

SPLINETYPE SplineObject::GetInterpolationType() const
{
  return static_cast<SPLINETYPE>(GetDataInstance()->GetInt32(SPLINEOBJECT_TYPE, 0));
}

Bool SplineObject::IsClosed() const
{
  return GetDataInstance()->GetBool(SPLINEOBJECT_CLOSED, false);
}

void SplineObject::SetClosed(Bool closed)
{
  GetDataInstance()->SetBool(SPLINEOBJECT_CLOSED, closed);
}

Int32 SplineObject::GetSegmentCount() const
{
  const VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? t->GetDataCount() : 0;
}

const Segment* SplineObject::GetSegmentR() const
{
  const VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? static_cast<const Segment*>(t->GetLowlevelDataAddressR()) : nullptr;
}

Segment* SplineObject::GetSegmentW()
{
  if (host::IsWriteAccessRefused(Tsegment))
    return nullptr;
  VariableTag* t = FindVariableTag(this, Tsegment);
  return t ? static_cast<Segment*>(t->GetLowlevelDataAddressW()) : nullptr;
}

Bool SplineObject::ResizeObject(Int32 pcnt, Int32 scnt)
{
  VariableTag* segs = FindVariableTag(this, Tsegment);
  return pcnt >= 0 && scnt >= 0 && segs && ResizePoints(pcnt) && segs->Resize(scnt);
}
