#include "host/splines/splinegenerator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "host/core/alloc.h"
#include "host/scene/baseobject.h"
#include "host/scene/plugins.h"

namespace
{
constexpr Float INIT_RADIUS = 100.0;
constexpr Int32 INIT_POINTS = 16;
constexpr Int32 MIN_POINTS = 3;

class CircleSplineData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<CircleSplineData>(); }

  Bool Init(GeListNode* node) override
  {
    BaseContainer* bc = static_cast<BaseObject*>(node)->GetDataInstance();
    bc->SetFloat(SPLINECIRCLE_RADIUS, INIT_RADIUS);
    bc->SetInt32(SPLINECIRCLE_POINTS, INIT_POINTS);
    return true;
  }

  BaseObject* BuildCache(BaseObject* op, HierarchyContext* hh) override
  {
    if (!op->CheckCache(hh))
      return op->GetCache(hh);
    const BaseContainer* bc = op->GetDataInstance();
    const Float radius = bc->GetFloat(SPLINECIRCLE_RADIUS, INIT_RADIUS);
    const Int32 count = std::max(MIN_POINTS, bc->GetInt32(SPLINECIRCLE_POINTS, INIT_POINTS));
    SplineObject* spline = SplineObject::Alloc(count, SPLINETYPE::LINEAR);
    if (!spline)
      return nullptr;
    Segment* segment = spline->ResizeObject(count, 1) ? spline->GetSegmentW() : nullptr;
    Vector* points = spline->GetPointW();
    if (!points || !segment)
    {
      BaseObject* failed = spline;
      BaseObject::Free(failed);
      return nullptr;
    }
    for (Int32 i = 0; i < count; ++i)
    {
      const Float a = 2.0 * std::numbers::pi * static_cast<Float>(i) / static_cast<Float>(count);
      points[i] = Vector(radius * std::cos(a), 0.0, radius * std::sin(a));
    }
    *segment = Segment{count, true};
    return spline;
  }
};

const Bool g_splineGeneratorsRegistered = host::RegisterSplineGenerators();
} // namespace

namespace host
{
Bool RegisterSplineGenerators()
{
  if (const PluginEntry* e = FindPlugin(Osplinecircle))
    return e->type == PLUGINTYPE::OBJECT && e->alloc == CircleSplineData::Alloc;
  return RegisterObjectPlugin(Osplinecircle, "Circle", OBJECT_GENERATOR | OBJECT_ISSPLINE, CircleSplineData::Alloc,
                              String(), nullptr, 0);
}
} // namespace host
