#include "host/scene/nodedata.h"

#include <atomic>

#include "internal.h"

namespace
{
std::atomic<host::DefaultDrawFn> g_defaultDraw{nullptr};
} // namespace

namespace host
{
void SetDefaultDrawHook(DefaultDrawFn fn)
{
  g_defaultDraw.store(fn);
}
} // namespace host

Bool NodeData::Init(GeListNode*)
{
  return true;
}

void NodeData::Free(GeListNode*) {}

Bool NodeData::Read(GeListNode*, HyperFile*, Int32)
{
  return true;
}

Bool NodeData::Write(const GeListNode*, HyperFile*) const
{
  return true;
}

Bool NodeData::CopyTo(NodeData*, const GeListNode*, GeListNode*, COPYFLAGS, AliasTrans*) const
{
  return true;
}

Bool NodeData::Message(GeListNode*, Int32, void*)
{
  return true;
}

Bool NodeData::IsInstanceOf(const GeListNode* node, Int32 type) const
{
  return node && node->IsBuiltinInstanceOf(type);
}

Bool NodeData::GetDDescription(GeListNode*, Description*, DESCFLAGS_DESC&)
{
  return true;
}

Bool NodeData::GetParameter(GeListNode*, const DescID&, GeData&, DESCFLAGS_GET&)
{
  return true;
}

Bool NodeData::SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags)
{
  if (!node || !host::detail::StoreParameter(static_cast<BaseList2D*>(node), id, t_data))
    return false;
  flags |= DESCFLAGS_SET::PARAM_SET;
  return true;
}

Bool NodeData::GetDEnabling(GeListNode*, const DescID&, const GeData&, DESCFLAGS_ENABLE, const BaseContainer*)
{
  return true;
}

void ObjectData::GetBoundingBox(BaseObject*, Vector* mp, Vector* rad)
{
  if (mp)
    *mp = Vector();
  if (rad)
    *rad = Vector();
}

BaseObject* ObjectData::BuildCache(BaseObject*, HierarchyContext*)
{
  return nullptr;
}

DRAWRESULT ObjectData::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh)
{
  if (drawpass != DRAWPASS::HANDLES)
    return DRAWRESULT::SKIP;
  return DefaultDraw(op, drawpass, bd, bh);
}

DRAWRESULT ObjectData::DefaultDraw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh)
{
  host::DefaultDrawFn fn = g_defaultDraw.load();
  return fn ? fn(op, drawpass, bd, bh) : DRAWRESULT::OK;
}

Int32 ObjectData::DetectHandle(BaseObject* op, BaseDraw*, const Vector& point, Float tolerance)
{
  Int32 best = -1;
  Float bestDist = tolerance * tolerance;
  const Int32 count = CountHandles(op);
  for (Int32 i = 0; i < count; ++i)
  {
    HandleInfo info;
    GetHandlePosition(op, i, info);
    const Float d = (info.position - point).GetSquaredLength();
    if (d <= bestDist)
    {
      best = i;
      bestDist = d;
    }
  }
  return best;
}

Bool ObjectData::MoveHandle(BaseObject* op, BaseObject*, const Vector& point, Int32 hitId, BaseDraw*)
{
  if (hitId < 0 || hitId >= CountHandles(op))
    return false;
  HandleInfo info;
  GetHandlePosition(op, hitId, info);
  Vector target = point;
  if (info.type == HANDLECONSTRAINTTYPE::LINEAR)
  {
    // Project onto the handle's line; a zero direction leaves the handle where it is.
    const Vector dir = info.direction.GetNormalized();
    target = info.position + dir * Dot(point - info.position, dir);
  }
  SetHandlePosition(op, hitId, target, info);
  return true;
}

Int32 ObjectData::CountHandles(BaseObject*)
{
  return 0;
}

void ObjectData::GetHandlePosition(BaseObject*, Int32, HandleInfo&) {}

void ObjectData::SetHandlePosition(BaseObject*, Int32, const Vector&, const HandleInfo&) {}

INITRENDERRESULT ShaderData::InitRender(BaseShader*, const InitRenderStruct&)
{
  return INITRENDERRESULT::OK;
}

void ShaderData::FreeRender(BaseShader*) {}

Vector ShaderData::SampleColor(BaseShader*, ChannelData*)
{
  return Vector();
}

EXECUTIONRESULT TagData::Execute(BaseTag*, BaseDocument*, BaseObject*, HostThread*, Int32, EXECUTIONFLAGS)
{
  return EXECUTIONRESULT::OK;
}

Bool SceneHookData::AddToExecution(BaseSceneHook*, PriorityList*)
{
  return false;
}

EXECUTIONRESULT SceneHookData::Execute(BaseSceneHook*, BaseDocument*, HostThread*, Int32, EXECUTIONFLAGS)
{
  return EXECUTIONRESULT::OK;
}

Bool SceneHookData::Draw(BaseSceneHook*, BaseDocument*, BaseDraw*, BaseDrawHelp*, HostThread*, SCENEHOOKDRAW)
{
  return true;
}
