// The viewport as objects draw into it: BaseDraw, the draw target, records every call (tests read the
// calls; the front end projects them into its top view), and BaseDrawHelp hands an object's Draw the
// object and its matrix.
//
// Drawing calls take their coordinates in the space of the drawing matrix (SetMatrix), which starts as
// the identity (world space): a line between two points; a circle through a matrix, the points
// off + cos(a) v1 + sin(a) v2 (the lengths of the first two axes are the radii); a box through a matrix
// and a size, the corners off +- size v1 +- size v2 +- size v3. GetWorldLines turns the recorded shapes
// into world-space line segments (a circle as CIRCLE_SEGMENTS chords, a box as its 12 edges).
//
// The host's default drawing (ObjectData::DefaultDraw) is installed when the host library loads: in the
// HANDLES pass it marks every handle of the object (CountHandles, GetHandlePosition) with DrawHandle at
// the handle's position in the object's space, under the object's global matrix; the other passes draw
// nothing and answer SKIP. The default handle detection and dragging are ObjectData's (nodedata.h).
//
// Threads: a BaseDraw belongs to the thread that draws into it.
#pragma once

#include <vector>

#include "host/core/matrix.h"
#include "host/scene/baseobject.h"

// Colour ids of GetGlobalVectorQuery.
inline constexpr Int32 VIEWCOLOR_OUTLINE = 11;   // outlines that objects draw of what they stand for
inline constexpr Int32 VIEWCOLOR_HANDLE = 12;    // handle marks

// The viewport's colour for the id (components 0 .. 1); black for an id it does not know.
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

  void SetMatrix(const Matrix& mg);
  void SetPen(const Vector& colour);
  void DrawLine(const Vector& a, const Vector& b);
  void DrawCircle(const Matrix& m);
  void DrawBox(const Matrix& m, Float size, const Vector& colour, Bool wire);
  void DrawHandle(const Vector& position);

  const std::vector<DrawCall>& GetDrawCalls() const { return _calls; }
  void ClearDrawCalls() { _calls.clear(); }
  // Lines, circles and boxes drawn so far, in world space (handles and state calls give none).
  std::vector<WorldLine> GetWorldLines() const;

private:
  DrawCall Call(DRAWCALL kind) const;

  Matrix _matrix;
  Vector _pen{1.0, 1.0, 1.0};
  std::vector<DrawCall> _calls;
};

// What an object's Draw is handed besides the draw target: the object and its global matrix.
class BaseDrawHelp
{
public:
  BaseDrawHelp(BaseDraw* bd, BaseObject* op) : _bd(bd), _op(op), _mg(op ? op->GetMg() : Matrix()) {}

  BaseDraw* GetBaseDraw() const { return _bd; }
  BaseObject* GetObject() const { return _op; }
  // The object's global matrix as it was when the drawing began.
  const Matrix& GetMg() const { return _mg; }

private:
  BaseDraw* _bd;
  BaseObject* _op;
  Matrix _mg;
};

namespace host
{
// Calls the object's Draw for the pass with a draw-help of the object; SKIP for an object without
// object plug-in data.
DRAWRESULT DrawObject(BaseObject* op, DRAWPASS pass, BaseDraw* bd);
// Draws every object of the document, depth first, in the OBJECT and then the HANDLES pass.
void DrawDocument(BaseDocument* doc, BaseDraw* bd);
} // namespace host
