#include "host/scene/nodetypes.h"

#include <cstddef>
#include <deque>
#include <mutex>

#include "host/core/alloc.h"
#include "host/geometry/geometrytags.h"
#include "host/geometry/lineobject.h"
#include "../geometry/internal.h"
#include "internal.h"

namespace
{
BaseList2D* CreatePolygonObject(Int32)
{
  PolygonObject* op = NewObj<PolygonObject>();
  if (!op)
    return nullptr;
  BaseTag* points = static_cast<BaseTag*>(host::AllocBuiltinNode(Tpoint));
  BaseTag* polys = static_cast<BaseTag*>(host::AllocBuiltinNode(Tpolygon));
  BaseList2D* node = op;
  if (!points || !polys)
  {
    BaseList2D* a = points;
    BaseList2D* b = polys;
    host::FreeNode(a);
    host::FreeNode(b);
    host::FreeNode(node);
    return nullptr;
  }
  op->InsertTag(polys);
  op->InsertTag(points);
  return op;
}

BaseList2D* CreateSplineObject(Int32)
{
  SplineObject* op = NewObj<SplineObject>();
  if (!op)
    return nullptr;
  BaseTag* points = static_cast<BaseTag*>(host::AllocBuiltinNode(Tpoint));
  BaseTag* segments = static_cast<BaseTag*>(host::AllocBuiltinNode(Tsegment));
  BaseList2D* node = op;
  if (!points || !segments)
  {
    BaseList2D* a = points;
    BaseList2D* b = segments;
    host::FreeNode(a);
    host::FreeNode(b);
    host::FreeNode(node);
    return nullptr;
  }
  op->InsertTag(segments);
  op->InsertTag(points);
  return op;
}

struct BuiltinTable
{
  std::mutex mutex;
  std::deque<host::BuiltinType> types;   // a deque: entries never move, so pointers to them stay valid

  BuiltinTable()
  {
    using host::BuiltinType;
    using host::FIELDKIND;
    auto add = [this](Int32 type, NODEKIND kind, const char* name, Int32 info, std::vector<Int32> bases) {
      BuiltinType t;
      t.type = type;
      t.kind = kind;
      t.name = name;
      t.info = info;
      t.bases = std::move(bases);
      types.push_back(std::move(t));
      return &types.back();
    };
    add(Onull, NODEKIND::OBJECT, "Null", 0, {});
    add(Odeformer, NODEKIND::OBJECT, "Deformer", OBJECT_MODIFIER, {});
    add(Opolygon, NODEKIND::OBJECT, "Polygon", 0, {Opoint})->create = CreatePolygonObject;
    add(Ospline, NODEKIND::OBJECT, "Spline", OBJECT_ISSPLINE, {Opoint})->create = CreateSplineObject;
    add(Tphong, NODEKIND::TAG, "Phong", 0, {});
    BuiltinType* t = add(Tpoint, NODEKIND::TAG, "Point", 0, {Tvariable});
    t->recordSize = sizeof(Vector);
    t->recordFields = {{offsetof(Vector, x), FIELDKIND::FLOAT64},
                       {offsetof(Vector, y), FIELDKIND::FLOAT64},
                       {offsetof(Vector, z), FIELDKIND::FLOAT64}};
    t = add(Tpolygon, NODEKIND::TAG, "Polygon", 0, {Tvariable});
    t->recordSize = sizeof(CPolygon);
    t->recordFields = {{offsetof(CPolygon, a), FIELDKIND::INT32},
                       {offsetof(CPolygon, b), FIELDKIND::INT32},
                       {offsetof(CPolygon, c), FIELDKIND::INT32},
                       {offsetof(CPolygon, d), FIELDKIND::INT32}};
    t = add(Tsegment, NODEKIND::TAG, "Segment", 0, {Tvariable});
    t->recordSize = sizeof(Segment);
    t->recordFields = {{offsetof(Segment, cnt), FIELDKIND::INT32}, {offsetof(Segment, closed), FIELDKIND::BOOL}};
    add(Mmaterial, NODEKIND::MATERIAL, "Material", 0, {});
    // The geometry area's types (host/geometry).
    add(Oline, NODEKIND::OBJECT, "Line", 0, {Opoint})->create = host::detail::CreateLineObject;
    t = add(Tuvw, NODEKIND::TAG, "UVW", 0, {Tvariable});
    t->create = host::detail::CreateUVWTag;
    t->recordSize = sizeof(UVWStruct);
    for (std::size_t corner : {offsetof(UVWStruct, a), offsetof(UVWStruct, b), offsetof(UVWStruct, c),
                               offsetof(UVWStruct, d)})
      for (std::size_t axis : {offsetof(Vector, x), offsetof(Vector, y), offsetof(Vector, z)})
        t->recordFields.push_back({static_cast<Int32>(corner + axis), FIELDKIND::FLOAT64});
    add(Tpolygonselection, NODEKIND::TAG, "Polygon Selection", 0, {})->create = host::detail::CreateSelectionTag;
    add(Tpointselection, NODEKIND::TAG, "Point Selection", 0, {})->create = host::detail::CreateSelectionTag;
  }
};

BuiltinTable& Builtins()
{
  static BuiltinTable t;
  return t;
}
} // namespace

namespace host
{
Bool RegisterBuiltinType(BuiltinType type)
{
  if (type.type == 0 || FindPlugin(type.type))
    return false;
  BuiltinTable& t = Builtins();
  std::lock_guard lock(t.mutex);
  for (const BuiltinType& e : t.types)
    if (e.type == type.type)
      return false;
  t.types.push_back(std::move(type));
  return true;
}

const BuiltinType* FindBuiltinType(Int32 type)
{
  BuiltinTable& t = Builtins();
  std::lock_guard lock(t.mutex);
  for (const BuiltinType& e : t.types)
    if (e.type == type)
      return &e;
  return nullptr;
}

std::vector<const BuiltinType*> GetBuiltinTypes()
{
  BuiltinTable& t = Builtins();
  std::lock_guard lock(t.mutex);
  std::vector<const BuiltinType*> out;
  for (const BuiltinType& e : t.types)
    out.push_back(&e);
  return out;
}

BaseList2D* AllocBuiltinNode(Int32 type)
{
  const BuiltinType* bt = FindBuiltinType(type);
  if (!bt)
    return nullptr;
  if (bt->create)
    return bt->create(type);
  if (bt->recordSize > 0)
    return NewObj<VariableTag>(type, bt->recordSize);
  switch (bt->kind)
  {
    case NODEKIND::OBJECT: return NewObj<BaseObject>(type);
    case NODEKIND::TAG: return NewObj<BaseTag>(type);
    case NODEKIND::SHADER: return NewObj<BaseShader>(type);
    case NODEKIND::MATERIAL: return NewObj<BaseMaterial>(type);
    default: return nullptr;
  }
}
} // namespace host
