#include "host/gui/basedraw.h"

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
} // namespace host
