#include "host/gui/basedraw.h"

#include <cmath>
#include <numbers>

namespace
{
// Outlines in amber, handle marks in a light blue.
constexpr Vector OUTLINE_COLOUR{1.0, 0.7, 0.15};
constexpr Vector HANDLE_COLOUR{0.35, 0.75, 1.0};

DRAWRESULT DrawHandles(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh)
{
  if (drawpass != DRAWPASS::HANDLES)
    return DRAWRESULT::SKIP;
  ObjectData* data = op ? op->GetNodeData<ObjectData>() : nullptr;
  if (!data || !bd)
    return DRAWRESULT::OK;
  const Int32 count = data->CountHandles(op);
  if (count <= 0)
    return DRAWRESULT::OK;
  bd->SetMatrix(bh && bh->GetObject() == op ? bh->GetMg() : op->GetMg());
  bd->SetPen(GetGlobalVectorQuery(VIEWCOLOR_HANDLE));
  for (Int32 i = 0; i < count; ++i)
  {
    HandleInfo info;
    data->GetHandlePosition(op, i, info);
    bd->DrawHandle(info.position);
  }
  return DRAWRESULT::OK;
}

const Bool g_defaultDrawInstalled = [] {
  host::SetDefaultDrawHook(DrawHandles);
  return true;
}();

void DrawBelow(BaseObject* op, BaseDraw* bd)
{
  for (; op; op = op->GetNext())
  {
    host::DrawObject(op, DRAWPASS::OBJECT, bd);
    host::DrawObject(op, DRAWPASS::HANDLES, bd);
    DrawBelow(op->GetDown(), bd);
  }
}
} // namespace

Vector GetGlobalVectorQuery(Int32 id)
{
  switch (id)
  {
    case VIEWCOLOR_OUTLINE: return OUTLINE_COLOUR;
    case VIEWCOLOR_HANDLE: return HANDLE_COLOUR;
    default: return Vector();
  }
}

DrawCall BaseDraw::Call(DRAWCALL kind) const
{
  DrawCall call;
  call.kind = kind;
  call.drawMatrix = _matrix;
  call.colour = _pen;
  return call;
}

void BaseDraw::SetMatrix(const Matrix& mg)
{
  _matrix = mg;
  _calls.push_back(Call(DRAWCALL::MATRIX));
}

void BaseDraw::SetPen(const Vector& colour)
{
  _pen = colour;
  _calls.push_back(Call(DRAWCALL::PEN));
}

void BaseDraw::DrawLine(const Vector& a, const Vector& b)
{
  DrawCall call = Call(DRAWCALL::LINE);
  call.a = a;
  call.b = b;
  _calls.push_back(call);
}

void BaseDraw::DrawCircle(const Matrix& m)
{
  DrawCall call = Call(DRAWCALL::CIRCLE);
  call.matrix = m;
  _calls.push_back(call);
}

void BaseDraw::DrawBox(const Matrix& m, Float size, const Vector& colour, Bool wire)
{
  DrawCall call = Call(DRAWCALL::BOX);
  call.matrix = m;
  call.size = size;
  call.colour = colour;
  call.wire = wire;
  _calls.push_back(call);
}

void BaseDraw::DrawHandle(const Vector& position)
{
  DrawCall call = Call(DRAWCALL::HANDLE);
  call.a = position;
  _calls.push_back(call);
}

std::vector<WorldLine> BaseDraw::GetWorldLines() const
{
  std::vector<WorldLine> lines;
  for (const DrawCall& c : _calls)
  {
    const Matrix& w = c.drawMatrix;
    switch (c.kind)
    {
      case DRAWCALL::LINE: lines.push_back({w * c.a, w * c.b, c.colour}); break;
      case DRAWCALL::CIRCLE:
      {
        auto at = [&](Int32 k) {
          const Float a = 2.0 * std::numbers::pi * static_cast<Float>(k) / static_cast<Float>(CIRCLE_SEGMENTS);
          return w * (c.matrix.off + c.matrix.v1 * std::cos(a) + c.matrix.v2 * std::sin(a));
        };
        for (Int32 k = 0; k < CIRCLE_SEGMENTS; ++k)
          lines.push_back({at(k), at(k + 1), c.colour});
        break;
      }
      case DRAWCALL::BOX:
      {
        // Corner k has the signs of its bits 0, 1 and 2 on the axes v1, v2 and v3; an edge joins two
        // corners one bit apart.
        auto corner = [&](Int32 k) {
          const Float s1 = (k & 1) ? c.size : -c.size;
          const Float s2 = (k & 2) ? c.size : -c.size;
          const Float s3 = (k & 4) ? c.size : -c.size;
          return w * (c.matrix.off + c.matrix.v1 * s1 + c.matrix.v2 * s2 + c.matrix.v3 * s3);
        };
        for (Int32 k = 0; k < 8; ++k)
          for (Int32 bit = 1; bit < 8; bit <<= 1)
            if ((k & bit) == 0)
              lines.push_back({corner(k), corner(k | bit), c.colour});
        break;
      }
      default: break;
    }
  }
  return lines;
}


void BaseDraw::GetFrame(Int32* left, Int32* top, Int32* right, Int32* bottom) const
{
  if (left)
    *left = _left;
  if (top)
    *top = _top;
  if (right)
    *right = _right;
  if (bottom)
    *bottom = _bottom;
}

void BaseDraw::DrawHUDText(Int32 x, Int32 y, const String& text)
{
  _hudTexts.push_back({x, y, text});
}

void BaseDraw::SetFrame(Int32 left, Int32 top, Int32 right, Int32 bottom)
{
  _left = left;
  _top = top;
  _right = right;
  _bottom = bottom;
}

namespace host
{
Bool DrawSceneHooks(BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread* thread, SCENEHOOKDRAW flags)
{
  Bool ok = true;
  for (BaseSceneHook* hook : GetSceneHooks(doc))
    if (auto* data = dynamic_cast<SceneHookData*>(hook->GetNodeData()))
      ok = data->Draw(hook, doc, bd, bh, thread, flags) && ok;
  return ok;
}

DRAWRESULT DrawObject(BaseObject* op, DRAWPASS pass, BaseDraw* bd)
{
  ObjectData* data = op ? op->GetNodeData<ObjectData>() : nullptr;
  if (!data)
    return DRAWRESULT::SKIP;
  BaseDrawHelp bh(bd, op);
  return data->Draw(op, pass, bd, &bh);
}

void DrawDocument(BaseDocument* doc, BaseDraw* bd)
{
  if (doc)
    DrawBelow(doc->GetFirstObject(), bd);
}
} // namespace host
