// A view of the editor as the module draws into it, and the scene hooks' draw pass.
//
// The stand-in's view draws nothing on a screen: it records what it is asked to draw (the HUD texts
// here) for tests and the front end to read. Its frame is (left, top, right, bottom) in pixels with
// right - left and bottom - top the view's width and height. Main thread only.
#pragma once

#include <vector>

#include "host/scene/document.h"

class HostThread;

namespace host
{
struct HudText
{
  Int32 x = 0;
  Int32 y = 0;
  String text;
};
} // namespace host

class BaseDraw
{
public:
  BaseDraw() = default;
  BaseDraw(Int32 width, Int32 height) : _right(width), _bottom(height) {}

  void GetFrame(Int32* left, Int32* top, Int32* right, Int32* bottom) const;
  // A line of text over the view at (x, y) from the frame's top-left corner.
  void DrawHUDText(Int32 x, Int32 y, const String& text);

  // Stand-in access.
  void SetFrame(Int32 left, Int32 top, Int32 right, Int32 bottom);
  const std::vector<host::HudText>& GetHudTexts() const { return _hudTexts; }
  void ClearDrawings() { _hudTexts.clear(); }

private:
  Int32 _left = 0;
  Int32 _top = 0;
  Int32 _right = 640;
  Int32 _bottom = 480;
  std::vector<host::HudText> _hudTexts;
};

// What an object or scene hook is drawn with besides the view: the document being drawn.
class BaseDrawHelp
{
public:
  BaseDrawHelp(BaseDraw* bd, BaseDocument* doc) : _bd(bd), _doc(doc) {}
  BaseDraw* GetBaseDraw() const { return _bd; }
  BaseDocument* GetDocument() const { return _doc; }

private:
  BaseDraw* _bd = nullptr;
  BaseDocument* _doc = nullptr;
};

namespace host
{
// The scene hooks' draw pass: every scene hook of the document draws into bd with these flags, in the
// order the hooks were made. True when every hook answered true.
Bool DrawSceneHooks(BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread* thread, SCENEHOOKDRAW flags);
} // namespace host
