#include <gtest/gtest.h>

#include <random>
#include <set>

#include "host/core/alloc.h"
#include "host/geometry/geometrytags.h"
#include "host/geometry/lineobject.h"
#include "host/scene/hierarchy.h"
#include "host/scene/scenefile.h"
#include "support/scene_fixture.h"

namespace
{
using GeometryTagsTest = LeakCheckedSceneTest;

// The selection as a plain set, and the ranges checked for order and gaps.
std::set<Int32> Members(const BaseSelect& s)
{
  std::set<Int32> out;
  Int32 previousLast = -2;
  for (Int32 seg = 0; seg < s.GetSegments(); ++seg)
  {
    Int32 a = 0;
    Int32 b = 0;
    EXPECT_TRUE(s.GetRange(seg, a, b));
    EXPECT_LE(a, b);
    EXPECT_GT(a, previousLast + 1) << "ranges touch or overlap";
    previousLast = b;
    for (Int32 i = a; i <= b; ++i)
      out.insert(i);
  }
  return out;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// BaseSelect

TEST(BaseSelect, RandomOperationsMatchASetModel)
{
  std::mt19937 rng(42);
  std::uniform_int_distribution<Int32> element(0, 60);
  std::uniform_int_distribution<int> op(0, 5);
  BaseSelect s;
  std::set<Int32> model;
  for (int step = 0; step < 3000; ++step)
  {
    const Int32 a = element(rng);
    const Int32 b = element(rng);
    switch (op(rng))
    {
      case 0:
        ASSERT_TRUE(s.Select(a));
        model.insert(a);
        break;
      case 1:
        ASSERT_TRUE(s.Deselect(a));
        model.erase(a);
        break;
      case 2:
        ASSERT_TRUE(s.Toggle(a));
        if (!model.erase(a))
          model.insert(a);
        break;
      case 3:
        ASSERT_TRUE(s.SelectRange(a, b));
        for (Int32 i = a; i <= b; ++i)
          model.insert(i);
        break;
      case 4:
        ASSERT_TRUE(s.ToggleAll(a, b));
        for (Int32 i = a; i <= b; ++i)
          if (!model.erase(i))
            model.insert(i);
        break;
      default:
        if (step % 50 == 0)
        {
          ASSERT_TRUE(s.DeselectAll());
          model.clear();
        }
        break;
    }
    ASSERT_EQ(Members(s), model) << "step " << step;
    ASSERT_EQ(s.GetCount(), static_cast<Int32>(model.size()));
    ASSERT_EQ(s.GetLastElement(), model.empty() ? -1 : *model.rbegin());
    for (Int32 i = -1; i <= 62; ++i)
      ASSERT_EQ(s.IsSelected(i), model.count(i) != 0) << "step " << step << " element " << i;
  }
}

TEST(BaseSelect, SelectAllCopyAndRefusals)
{
  BaseSelect s;
  EXPECT_TRUE(s.SelectAll(7));   // 0 .. 7 inclusive
  EXPECT_EQ(s.GetCount(), 8);
  EXPECT_EQ(s.GetSegments(), 1);
  EXPECT_TRUE(s.SelectAll(-1));   // nothing to select
  EXPECT_EQ(s.GetCount(), 8);
  EXPECT_FALSE(s.Select(-1));
  EXPECT_FALSE(s.Toggle(-3));
  EXPECT_TRUE(s.Select(std::numeric_limits<Int32>::max()));   // the top element does not overflow
  EXPECT_TRUE(s.IsSelected(std::numeric_limits<Int32>::max()));
  EXPECT_TRUE(s.ToggleAll(std::numeric_limits<Int32>::max() - 1, std::numeric_limits<Int32>::max()));
  EXPECT_TRUE(s.IsSelected(std::numeric_limits<Int32>::max() - 1));
  EXPECT_FALSE(s.IsSelected(std::numeric_limits<Int32>::max()));

  BaseSelect copy;
  ASSERT_TRUE(copy.Select(100));
  ASSERT_TRUE(s.CopyTo(&copy));
  EXPECT_TRUE(copy.IsEqual(s));
  EXPECT_FALSE(copy.IsSelected(100));
  EXPECT_FALSE(s.CopyTo(nullptr));

  // A growth that cannot get memory fails and leaves the selection as it was.
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(s.Select(50));
  }
  EXPECT_FALSE(s.IsSelected(50));
  {
    BaseSelect target;
    ASSERT_TRUE(target.Select(3));
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(s.CopyTo(&target));
    EXPECT_TRUE(target.IsSelected(3));
  }
}

// ---------------------------------------------------------------------------------------------------
// Tags

TEST_F(GeometryTagsTest, UVWTagStoresFourVectorsPerPolygon)
{
  UVWTag* tag = UVWTag::Alloc(3);
  ASSERT_NE(tag, nullptr);
  ObjPtr op(PolygonObject::Alloc(4, 3));
  ASSERT_TRUE(op->InsertTag(tag));
  EXPECT_EQ(tag->GetType(), Tuvw);
  EXPECT_EQ(tag->GetDataCount(), 3);
  EXPECT_EQ(tag->GetDataSize(), 96);
  EXPECT_TRUE(tag->IsInstanceOf(Tvariable));
  EXPECT_EQ(tag->GetSlow(2), UVWStruct());   // new entries are zero

  const UVWStruct s(Vector(0, 0, 0), Vector(1, 0, 0), Vector(1, 1, 0), Vector(0, 1, 0.5));
  UVWHandle h = tag->GetDataAddressW();
  ASSERT_NE(h, nullptr);
  UVWTag::Set(h, 1, s);
  UVWStruct back;
  UVWTag::Get(tag->GetDataAddressR(), 1, back);
  EXPECT_EQ(back, s);
  EXPECT_EQ(tag->GetSlow(1), s);
  EXPECT_TRUE(tag->SetSlow(2, s));
  EXPECT_FALSE(tag->SetSlow(3, s));
  EXPECT_FALSE(tag->SetSlow(-1, s));
  EXPECT_EQ(tag->GetSlow(7), UVWStruct());

  // A clone of the object carries the tag and its data.
  ObjPtr copy(op->GetClone());
  UVWTag* copied = static_cast<UVWTag*>(copy->GetTag(Tuvw));
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->GetSlow(1), s);
  EXPECT_EQ(copied->GetSlow(2), s);

  // The host's refusal switch makes the writable handle unavailable.
  host::SetWriteAccessRefused(Tuvw, true);
  EXPECT_EQ(tag->GetDataAddressW(), nullptr);
  host::SetWriteAccessRefused(Tuvw, false);
  EXPECT_NE(tag->GetDataAddressW(), nullptr);

  EXPECT_EQ(UVWTag::Alloc(-1), nullptr);
  host::ScopedAllocationFailure fail(1);
  EXPECT_EQ(UVWTag::Alloc(2), nullptr);
}

TEST_F(GeometryTagsTest, MakeVariableTagAttachesATagOfTheRequestedSize)
{
  ObjPtr op(PolygonObject::Alloc(4, 2));
  VariableTag* tag = op->MakeVariableTag(Tuvw, 2);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->GetObject(), op.get());
  EXPECT_EQ(op->GetFirstTag(), tag);   // inserted first without a predecessor
  EXPECT_EQ(tag->GetDataCount(), 2);
  EXPECT_EQ(op->MakeVariableTag(Tphong, 2), nullptr);   // not a variable tag
  EXPECT_EQ(op->MakeVariableTag(Tuvw, -1), nullptr);
}

TEST_F(GeometryTagsTest, SelectionTagHoldsASelectionAndIsCopied)
{
  EXPECT_EQ(SelectionTag::Alloc(Tphong), nullptr);
  SelectionTag* tag = SelectionTag::Alloc(Tpolygonselection);
  ASSERT_NE(tag, nullptr);
  ObjPtr op(PolygonObject::Alloc(8, 4));
  ASSERT_TRUE(op->InsertTag(tag));
  tag->SetName("b");
  ASSERT_TRUE(tag->GetBaseSelect()->SelectAll(3));
  EXPECT_FALSE(tag->IsInstanceOf(Tvariable));

  ObjPtr copy(op->GetClone());
  SelectionTag* copied = static_cast<SelectionTag*>(copy->GetTag(Tpolygonselection));
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->GetName(), "b");
  EXPECT_TRUE(copied->GetBaseSelect()->IsEqual(*tag->GetBaseSelect()));
  EXPECT_NE(copied->GetBaseSelect(), tag->GetBaseSelect());
  BaseTag* points = SelectionTag::Alloc(Tpointselection);
  ASSERT_NE(points, nullptr);
  BaseTag::Free(points);
}

TEST_F(GeometryTagsTest, PolygonSelectionOfTheObjectIsCopiedWithIt)
{
  ObjPtr op(PolygonObject::Alloc(8, 4));
  PolygonObject* poly = static_cast<PolygonObject*>(op.get());
  ASSERT_TRUE(poly->GetPolygonS()->SelectAll(3));
  ObjPtr copy(op->GetClone());
  EXPECT_EQ(static_cast<PolygonObject*>(copy.get())->GetPolygonS()->GetCount(), 4);
}

TEST_F(GeometryTagsTest, MemoryFiguresOfTheTags)
{
  // What a memory figure walks: every tag, and count x size for the variable ones (instances of 5695).
  ObjPtr op(PolygonObject::Alloc(9, 4));
  ASSERT_NE(op->MakeVariableTag(Tuvw, 4), nullptr);
  ASSERT_NE(op->MakeTag(Tphong), nullptr);
  ASSERT_NE(op->MakeTag(Tpolygonselection), nullptr);
  Int tags = 0;
  Int bytes = 0;
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext())
  {
    ++tags;
    if (t->IsInstanceOf(Tvariable))
    {
      const VariableTag* v = static_cast<const VariableTag*>(t);
      bytes += static_cast<Int32>(v->GetDataCount() * v->GetDataSize());
    }
  }
  EXPECT_EQ(tags, 5);                              // point, polygon, UVW, phong, selection
  EXPECT_EQ(bytes, 9 * 24 + 4 * 16 + 4 * 96);     // points, polygons, UVWs
}

TEST_F(GeometryTagsTest, WriteAccessRefusalCoversEveryStorageAccessor)
{
  ObjPtr poly(PolygonObject::Alloc(3, 1));
  ObjPtr line(LineObject::Alloc(3, 1));
  PolygonObject* p = static_cast<PolygonObject*>(poly.get());
  LineObject* l = static_cast<LineObject*>(line.get());
  host::SetWriteAccessRefused(Tpoint, true);
  EXPECT_EQ(p->GetPointW(), nullptr);
  EXPECT_EQ(l->GetPointW(), nullptr);
  EXPECT_NE(p->GetPolygonW(), nullptr);
  EXPECT_NE(p->GetPointR(), nullptr);   // reading is not refused
  host::SetWriteAccessRefused(Tpolygon, true);
  host::SetWriteAccessRefused(Tsegment, true);
  EXPECT_EQ(p->GetPolygonW(), nullptr);
  EXPECT_EQ(l->GetSegmentW(), nullptr);
  host::ResetSceneState();   // clears every refusal
  EXPECT_NE(p->GetPointW(), nullptr);
  EXPECT_NE(p->GetPolygonW(), nullptr);
  EXPECT_NE(l->GetSegmentW(), nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Line objects and the isoparm slot

TEST_F(GeometryTagsTest, LineObjectHoldsPointsAndSegments)
{
  LineObject* line = LineObject::Alloc(5, 2);
  ASSERT_NE(line, nullptr);
  ObjPtr owner(line);
  EXPECT_EQ(line->GetType(), Oline);
  EXPECT_TRUE(line->IsInstanceOf(Opoint));
  EXPECT_EQ(line->GetPointCount(), 5);
  EXPECT_EQ(line->GetSegmentCount(), 2);
  ASSERT_NE(line->GetTag(Tpoint), nullptr);
  ASSERT_NE(line->GetTag(Tsegment), nullptr);
  EXPECT_TRUE(line->GetTag(Tsegment)->IsInstanceOf(Tvariable));

  Vector* points = line->GetPointW();
  Segment* segments = line->GetSegmentW();
  ASSERT_NE(points, nullptr);
  ASSERT_NE(segments, nullptr);
  EXPECT_EQ(segments[0], Segment());   // open and empty until written
  for (Int32 i = 0; i < 5; ++i)
    points[i] = Vector(i, 2.0 * i, 0);
  segments[0] = Segment{3, false};
  segments[1] = Segment{2, true};

  LineObject* copy = line->GetClone();
  ASSERT_NE(copy, nullptr);
  ObjPtr copyOwner(copy);
  EXPECT_EQ(copy->GetPointR()[4], Vector(4, 8, 0));
  EXPECT_EQ(copy->GetSegmentR()[1], (Segment{2, true}));

  ASSERT_TRUE(line->ResizeObject(7, 3));
  EXPECT_EQ(line->GetPointCount(), 7);
  EXPECT_EQ(line->GetSegmentR()[1], (Segment{2, true}));   // kept entries stay

  EXPECT_EQ(LineObject::Alloc(-1, 0), nullptr);
  EXPECT_EQ(LineObject::Alloc(0, -1), nullptr);
  ObjPtr viaType(BaseObject::Alloc(Oline));
  ASSERT_NE(viaType, nullptr);
  EXPECT_EQ(viaType->GetTag(Tsegment)->GetType(), Tsegment);
}

TEST_F(GeometryTagsTest, LineObjectAllocationFailuresLeaveNothingBehind)
{
  // Each host allocation of a line object (node, point tag, segment tag, the two growths) in turn.
  for (Int n = 1; n <= 5; ++n)
  {
    const Int live = host::GetLiveNodeCount();
    {
      host::ScopedAllocationFailure fail(n);
      LineObject* line = LineObject::Alloc(4, 2);
      EXPECT_EQ(line, nullptr) << n;
      if (line)
      {
        BaseObject* o = line;
        BaseObject::Free(o);
      }
    }
    EXPECT_EQ(host::GetLiveNodeCount(), live) << n;
  }
}

TEST_F(GeometryTagsTest, TheIsoparmObjectIsOwnedByItsObject)
{
  BaseObject* mesh = PolygonObject::Alloc(4, 1);
  ASSERT_NE(mesh, nullptr);
  const Int withMesh = host::GetLiveNodeCount();
  LineObject* first = LineObject::Alloc(2, 1);
  ASSERT_TRUE(mesh->SetIsoparm(first));
  EXPECT_EQ(mesh->GetIsoparm(), first);
  EXPECT_TRUE(mesh->SetIsoparm(first));   // the same one again changes nothing

  // A new one replaces (and frees) the old one.
  LineObject* second = LineObject::Alloc(2, 1);
  ASSERT_TRUE(mesh->SetIsoparm(second));
  EXPECT_EQ(host::GetLiveNodeCount(), withMesh + 3);   // the line and its two tags

  // A line that lives in a list cannot be taken.
  LineObject* listed = LineObject::Alloc(2, 1);
  ASSERT_TRUE(listed->InsertUnder(mesh));
  EXPECT_FALSE(mesh->SetIsoparm(listed));
  EXPECT_EQ(mesh->GetIsoparm(), second);

  // A clone does not carry the isoparm object; freeing the mesh frees it.
  BaseObject* clone = mesh->GetClone();
  EXPECT_EQ(clone->GetIsoparm(), nullptr);
  BaseObject::Free(clone);
  ASSERT_TRUE(mesh->SetIsoparm(nullptr));
  EXPECT_EQ(mesh->GetIsoparm(), nullptr);
  ASSERT_TRUE(mesh->SetIsoparm(LineObject::Alloc(1, 1)));
  BaseObject::Free(mesh);
}

TEST_F(GeometryTagsTest, UVWTagsGoThroughSceneFiles)
{
  BaseDocument* doc = BaseDocument::Alloc();
  PolygonObject* op = PolygonObject::Alloc(4, 1);
  op->GetPolygonW()[0] = CPolygon(0, 1, 2, 3);
  UVWTag* tag = static_cast<UVWTag*>(op->MakeVariableTag(Tuvw, 1));
  const UVWStruct s(Vector(0.25, 0.5, 0), Vector(1, 0, 0), Vector(1, 1, 0), Vector(0, 1, 0.125));
  ASSERT_TRUE(tag->SetSlow(0, s));
  doc->InsertObject(op, nullptr);
  Result<String> text = host::SaveDocumentToText(doc);
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetMessage();
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(text.GetValue(), "uvw.json");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage();
  BaseDocument* back = loaded.GetValue();
  const UVWTag* backTag = static_cast<const UVWTag*>(back->GetFirstObject()->GetTag(Tuvw));
  ASSERT_NE(backTag, nullptr);
  EXPECT_EQ(backTag->GetSlow(0), s);
  BaseDocument::Free(back);
  BaseDocument::Free(doc);
}
