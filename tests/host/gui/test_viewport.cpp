#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/core/alloc.h"
#include "host/gui/basedraw.h"
#include "host/scene/document.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"

namespace
{
constexpr Int32 ID_HANDLEOBJECT = 1059911;

// An object with two handles: 0 up along Y at height 5, 1 along X at 3. The last dragged position is
// kept, so the host's default dragging can be checked.
class HandleObject : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<HandleObject>(); }

  Int32 CountHandles(BaseObject*) override { return 2; }
  void GetHandlePosition(BaseObject*, Int32 i, HandleInfo& info) override
  {
    info.position = i == 0 ? Vector(0, 5, 0) : Vector(3, 0, 0);
    info.direction = i == 0 ? Vector(0, 2, 0) : Vector(1, 0, 0);
    info.type = HANDLECONSTRAINTTYPE::LINEAR;
  }
  void SetHandlePosition(BaseObject*, Int32 i, const Vector& p, const HandleInfo&) override
  {
    dragged = i;
    draggedTo = p;
  }

  Int32 dragged = -1;
  Vector draggedTo;
};

class ViewportTest : public LeakCheckedSceneTest
{
protected:
  void SetUp() override
  {
    LeakCheckedSceneTest::SetUp();
    ASSERT_TRUE(RegisterObjectPlugin(ID_HANDLEOBJECT, "Handles", 0, HandleObject::Alloc, String(), nullptr, 0));
  }
};

const Matrix kMove(Vector(10, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));

Bool Near(const Vector& a, const Vector& b)
{
  return (a - b).GetLength() < 1e-9;
}
} // namespace

TEST_F(ViewportTest, CallsAreRecordedAndShapesBecomeWorldLines)
{
  BaseDraw bd;
  const Vector red(1, 0, 0);
  bd.SetMatrix(kMove);
  bd.SetPen(red);
  bd.DrawLine(Vector(0, 0, 0), Vector(0, 0, 4));
  // A circle of radius 2 in the XZ plane around (0, 1, 0), and a box of 4 x 2 x 6 around the origin.
  bd.DrawCircle(Matrix(Vector(0, 1, 0), Vector(2, 0, 0), Vector(0, 0, 2), Vector(0, 2, 0)));
  bd.DrawBox(Matrix(Vector(), Vector(4, 0, 0), Vector(0, 2, 0), Vector(0, 0, 6)), 0.5, Vector(0, 1, 0), true);
  bd.DrawHandle(Vector(1, 1, 1));

  const std::vector<DrawCall>& calls = bd.GetDrawCalls();
  ASSERT_EQ(calls.size(), 6u);
  const DRAWCALL kinds[] = {DRAWCALL::MATRIX, DRAWCALL::PEN, DRAWCALL::LINE, DRAWCALL::CIRCLE, DRAWCALL::BOX,
                            DRAWCALL::HANDLE};
  for (std::size_t i = 0; i < calls.size(); ++i)
  {
    EXPECT_EQ(calls[i].kind, kinds[i]) << i;
    EXPECT_EQ(calls[i].drawMatrix, kMove) << i;
  }
  EXPECT_EQ(calls[2].colour, red);
  EXPECT_EQ(calls[2].b, Vector(0, 0, 4));
  EXPECT_EQ(calls[4].size, 0.5);
  EXPECT_TRUE(calls[4].wire);
  EXPECT_EQ(calls[5].a, Vector(1, 1, 1));

  const std::vector<WorldLine> lines = bd.GetWorldLines();
  ASSERT_EQ(lines.size(), 1u + BaseDraw::CIRCLE_SEGMENTS + 12u);
  EXPECT_EQ(lines[0].a, Vector(10, 0, 0));
  EXPECT_EQ(lines[0].b, Vector(10, 0, 4));
  for (Int32 k = 0; k < BaseDraw::CIRCLE_SEGMENTS; ++k)
  {
    const WorldLine& l = lines[static_cast<std::size_t>(1 + k)];
    EXPECT_NEAR((l.a - Vector(10, 1, 0)).GetLength(), 2.0, 1e-12);
    EXPECT_NEAR(l.a.y, 1.0, 1e-12);
    EXPECT_TRUE(Near(l.b, lines[static_cast<std::size_t>(1 + (k + 1) % BaseDraw::CIRCLE_SEGMENTS)].a)) << k;
    EXPECT_EQ(l.colour, red);
  }
  EXPECT_TRUE(Near(lines[1].a, Vector(12, 1, 0)));
  // The box's twelve edges: four along each axis, as long as that axis times twice the size.
  Int along[3] = {0, 0, 0};
  for (std::size_t i = 1 + BaseDraw::CIRCLE_SEGMENTS; i < lines.size(); ++i)
  {
    const Vector d = lines[i].b - lines[i].a;
    EXPECT_EQ(lines[i].colour, Vector(0, 1, 0));
    EXPECT_TRUE(std::abs(lines[i].a.x - 10.0) == 2.0 && std::abs(lines[i].a.y) == 1.0 && std::abs(lines[i].a.z) == 3.0);
    if (d == Vector(4, 0, 0))
      ++along[0];
    else if (d == Vector(0, 2, 0))
      ++along[1];
    else if (d == Vector(0, 0, 6))
      ++along[2];
  }
  EXPECT_EQ(along[0], 4);
  EXPECT_EQ(along[1], 4);
  EXPECT_EQ(along[2], 4);

  bd.ClearDrawings();
  EXPECT_TRUE(bd.GetDrawCalls().empty());
  EXPECT_NE(GetGlobalVectorQuery(VIEWCOLOR_OUTLINE), Vector());
  EXPECT_EQ(GetGlobalVectorQuery(999), Vector());
}

TEST_F(ViewportTest, DefaultDrawingMarksTheHandlesInTheHandlePass)
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* parent = BaseObject::Alloc(Onull);
  BaseObject* op = BaseObject::Alloc(ID_HANDLEOBJECT);
  ASSERT_TRUE(doc->InsertObject(parent, nullptr));
  ASSERT_TRUE(doc->InsertObject(op, parent));
  parent->SetMl(kMove);

  BaseDraw bd;
  EXPECT_EQ(host::DrawObject(op, DRAWPASS::OBJECT, &bd), DRAWRESULT::SKIP);
  EXPECT_TRUE(bd.GetDrawCalls().empty());
  EXPECT_EQ(host::DrawObject(op, DRAWPASS::HANDLES, &bd), DRAWRESULT::OK);
  EXPECT_EQ(host::DrawObject(parent, DRAWPASS::HANDLES, &bd), DRAWRESULT::SKIP);   // no plug-in data
  std::vector<Vector> handles;
  for (const DrawCall& c : bd.GetDrawCalls())
    if (c.kind == DRAWCALL::HANDLE)
    {
      EXPECT_EQ(c.drawMatrix, op->GetMg());
      EXPECT_EQ(c.colour, GetGlobalVectorQuery(VIEWCOLOR_HANDLE));
      handles.push_back(c.a);
    }
  EXPECT_EQ(handles, (std::vector<Vector>{Vector(0, 5, 0), Vector(3, 0, 0)}));

  // The whole document: the same marks.
  BaseDraw all;
  host::DrawDocument(doc, &all);
  EXPECT_EQ(all.GetDrawCalls().size(), bd.GetDrawCalls().size());

  // The default detection picks the nearest handle within the tolerance; dragging moves along the
  // handle's line and hands the result to SetHandlePosition.
  auto* data = op->GetNodeData<HandleObject>();
  EXPECT_EQ(data->DetectHandle(op, &bd, Vector(2.5, 0.5, 0), 1.0), 1);
  EXPECT_EQ(data->DetectHandle(op, &bd, Vector(0, 4.5, 0), 1.0), 0);
  EXPECT_EQ(data->DetectHandle(op, &bd, Vector(20, 20, 20), 1.0), -1);
  EXPECT_TRUE(data->MoveHandle(op, nullptr, Vector(7, 9, -2), 0, &bd));
  EXPECT_EQ(data->dragged, 0);
  EXPECT_EQ(data->draggedTo, Vector(0, 9, 0));
  EXPECT_FALSE(data->MoveHandle(op, nullptr, Vector(), 2, &bd));
  BaseDocument::Free(doc);
}
