// A view of the editor as the module draws into it: the objects' draw passes and handles, and the
// scene hooks' draw pass.
//
// The stand-in's view draws nothing on a screen: it records what it is asked to draw for tests and the
// front end to read: HUD texts, and the lines, circles, boxes and handle marks objects draw. Its frame
// is (left, top, right, bottom) in pixels with right - left and bottom - top the view's width and
// height. Main thread only.
//
// Drawing calls take their coordinates in the space of the drawing matrix (SetMatrix), which starts as
// the identity (world space): a line between two points; a circle through a matrix, the points
// off + cos(a) v1 + sin(a) v2 (the lengths of the first two axes are the radii); a box through a matrix
// and a size, the corners off +- size v1 +- size v2 +- size v3. GetWorldLines turns the recorded shapes
// into world-space line segments (a circle as CIRCLE_SEGMENTS chords, a box as its 12 edges).
//
// The host's default drawing of an object (ObjectData::DefaultDraw) is installed when the host library
// loads: in the HANDLES pass it marks every handle of the object (CountHandles, GetHandlePosition) with
// DrawHandle at the handle's position in the object's space, under the object's global matrix; the
// other passes draw nothing and answer SKIP. The default handle detection and dragging are
// ObjectData's (nodedata.h).
#pragma once

#include <vector>

#include "host/core/matrix.h"
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

// Colour ids of GetGlobalVectorQuery.
inline constexpr Int32 VIEWCOLOR_OUTLINE = 11;   // outlines that objects draw of what they stand for
inline constexpr Int32 VIEWCOLOR_HANDLE = 12;    // handle marks

// The view's colour for the id (components 0 .. 1); black for an id it does not know.
Vector GetGlobalVectorQuery(Int32 id);

enum class DRAWCALL : Int32
{
  MATRIX,   // SetMatrix: matrix
  PEN,      // SetPen: colour
  LINE,     // DrawLine: a to b
  CIRCLE,   // DrawCircle: matrix
  BOX,      // DrawBox: matrix, size, colour, wire
  HANDLE,   // DrawHandle: a
};

struct DrawCall
{
  DRAWCALL kind = DRAWCALL::MATRIX;
  Matrix drawMatrix;   // the drawing matrix in force (for MATRIX the one set)
  Matrix matrix;       // CIRCLE, BOX: the shape's matrix
  Vector colour;       // PEN, BOX: the colour given; otherwise the pen in force
  Vector a;            // LINE: start; HANDLE: position
  Vector b;            // LINE: end
  Float size = 0.0;    // BOX
  Bool wire = false;   // BOX
};

// A line segment in world space, with the colour it was drawn in.
struct WorldLine
{
  Vector a;
  Vector b;
  Vector colour;
};

class BaseDraw
{
public:
  static constexpr Int32 CIRCLE_SEGMENTS = 64;

  BaseDraw() = default;
  BaseDraw(Int32 width, Int32 height) : _right(width), _bottom(height) {}

  void GetFrame(Int32* left, Int32* top, Int32* right, Int32* bottom) const;
  // A line of text over the view at (x, y) from the frame's top-left corner.
  void DrawHUDText(Int32 x, Int32 y, const String& text);

  void SetMatrix(const Matrix& mg);
  void SetPen(const Vector& colour);
  void DrawLine(const Vector& a, const Vector& b);
  void DrawCircle(const Matrix& m);
  void DrawBox(const Matrix& m, Float size, const Vector& colour, Bool wire);
  void DrawHandle(const Vector& position);

  // Stand-in access.
  void SetFrame(Int32 left, Int32 top, Int32 right, Int32 bottom);
  const std::vector<host::HudText>& GetHudTexts() const { return _hudTexts; }
  const std::vector<DrawCall>& GetDrawCalls() const { return _calls; }
  // Lines, circles and boxes drawn so far, in world space (handles and state calls give none).
  std::vector<WorldLine> GetWorldLines() const;
  // Forgets the HUD texts and the draw calls (the drawing matrix and the pen stay as they are).
  void ClearDrawings()
  {
    _hudTexts.clear();
    _calls.clear();
  }

private:
  DrawCall Call(DRAWCALL kind) const;

  Int32 _left = 0;
  Int32 _top = 0;
  Int32 _right = 640;
  Int32 _bottom = 480;
  std::vector<host::HudText> _hudTexts;
  Matrix _matrix;
  Vector _pen{1.0, 1.0, 1.0};
  std::vector<DrawCall> _calls;
};

// What an object or scene hook is drawn with besides the view: the document being drawn and, for an
// object, the object and its global matrix as it was when the drawing began.
class BaseDrawHelp
{
public:
  BaseDrawHelp(BaseDraw* bd, BaseDocument* doc) : _bd(bd), _doc(doc) {}
  BaseDrawHelp(BaseDraw* bd, BaseObject* op)
    : _bd(bd), _doc(op ? op->GetDocument() : nullptr), _op(op), _mg(op ? op->GetMg() : Matrix())
  {
  }
  BaseDraw* GetBaseDraw() const { return _bd; }
  BaseDocument* GetDocument() const { return _doc; }
  BaseObject* GetObject() const { return _op; }
  // The object's global matrix; the identity without an object.
  const Matrix& GetMg() const { return _mg; }

private:
  BaseDraw* _bd = nullptr;
  BaseDocument* _doc = nullptr;
  BaseObject* _op = nullptr;
  Matrix _mg;
};

namespace host
{
// The scene hooks' draw pass: every scene hook of the document draws into bd with these flags, in the
// order the hooks were made. True when every hook answered true.
Bool DrawSceneHooks(BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread* thread, SCENEHOOKDRAW flags);
// Calls the object's Draw for the pass with a draw-help of the object; SKIP for an object without
// object plug-in data.
DRAWRESULT DrawObject(BaseObject* op, DRAWPASS pass, BaseDraw* bd);
// Draws every object of the document, depth first, in the OBJECT and then the HANDLES pass.
void DrawDocument(BaseDocument* doc, BaseDraw* bd);
} // namespace host
