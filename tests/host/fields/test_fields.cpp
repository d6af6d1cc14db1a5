#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/fields/fieldlist.h"
#include "host/fields/fieldobjects.h"
#include "host/scene/baseobject.h"
#include "host/scene/document.h"
#include "host/scene/scenefile.h"

namespace
{
constexpr Int32 FIELDS_PARAM = 3001;

std::unique_ptr<FieldLayer> Solid(Float value, Float opacity = 1.0, FIELDLAYER_BLEND mode = FIELDLAYER_BLEND::NORMAL)
{
  std::unique_ptr<FieldLayer> l = FieldLayer::Alloc(FLsolid);
  l->SetValue(value);
  l->SetOpacity(opacity);
  l->SetBlendMode(mode);
  return l;
}

FieldLayer* Add(FieldList& list, std::unique_ptr<FieldLayer> layer, FieldLayer* parent = nullptr)
{
  Result<FieldLayer*> r = list.AppendLayer(std::move(layer), parent);
  EXPECT_TRUE(r.IsOk());
  return r.IsOk() ? r.GetValue() : nullptr;
}

std::vector<Float> SampleAt(const FieldList& list, const std::vector<Vector>& points, const BaseList2D* caller = nullptr,
                            const Matrix& transform = Matrix())
{
  const FieldInput in(points.data(), static_cast<Int>(points.size()), transform, static_cast<Int>(points.size()));
  Result<FieldOutput> out = list.Sample(in, caller);
  EXPECT_TRUE(out.IsOk());
  std::vector<Float> v;
  if (out.IsOk())
    for (Int i = 0; i < out.GetValue().GetCount(); ++i)
      v.push_back(out.GetValue().value[i]);
  return v;
}

Float SampleOne(const FieldList& list, const Vector& p, const BaseList2D* caller = nullptr)
{
  const std::vector<Float> v = SampleAt(list, {p}, caller);
  return v.empty() ? -1.0 : v[0];
}

// A document with one field object of the type, placed at pos.
struct FieldScene
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* field = nullptr;
  BaseObject* owner = nullptr;   // the object that samples (the caller)

  FieldScene(Int32 type, const Vector& pos, Float size)
  {
    field = BaseObject::Alloc(type);
    owner = BaseObject::Alloc(Onull);
    Matrix m;
    m.off = pos;
    field->SetMl(m);
    field->GetDataInstance()->SetFloat(FIELDOBJECT_SIZE, size);
    doc->InsertObject(field, nullptr);
    doc->InsertObject(owner, nullptr);
  }
  ~FieldScene() { BaseDocument::Free(doc); }
};

std::unique_ptr<FieldLayer> ObjectLayer(const BaseObject* op)
{
  std::unique_ptr<FieldLayer> l = FieldLayer::Alloc(FLobject);
  l->SetLinkedObject(op);
  return l;
}
} // namespace

TEST(FieldTypes, AreRegisteredAtStartUp)
{
  EXPECT_TRUE(host::RegisterFieldTypes());   // again: nothing changes, still true
  for (Int32 type : {Ofieldspherical, Ofieldlinear})
  {
    BaseObject* op = BaseObject::Alloc(type);
    ASSERT_NE(op, nullptr) << type;
    EXPECT_EQ(op->GetDataInstance()->GetFloat(FIELDOBJECT_SIZE), 100.0);
    EXPECT_EQ(op->GetDataInstance()->GetInt32(FIELDOBJECT_INTERPOLATION), FIELDINTERPOLATION_LINEAR);
    BaseObject::Free(op);
  }
  EXPECT_EQ(FieldLayer::Alloc(12345), nullptr);
}

TEST(FieldList, LivesInContainersAsDeepCopiedComparableData)
{
  FieldList list;
  list.ChangeFlag(FIELDLIST_FLAG_EMPTYISFULL, false);
  Add(list, Solid(0.25));
  BaseContainer bc;
  bc.SetData(FIELDS_PARAM, GeData(list));
  EXPECT_EQ(bc.GetType(FIELDS_PARAM), CUSTOMDATATYPE_FIELDLIST);

  auto* stored = static_cast<FieldList*>(bc.GetCustomData(FIELDS_PARAM, CUSTOMDATATYPE_FIELDLIST));
  ASSERT_NE(stored, nullptr);
  ASSERT_NE(stored, &list);
  EXPECT_TRUE(stored->IsEqual(list));
  EXPECT_EQ(stored->GetFlags(), FIELDLIST_FLAG_CLAMPOUTPUT);
  EXPECT_EQ(stored->GetFirstLayer()->GetValue(), 0.25);
  EXPECT_EQ(stored->GetFirstLayer()->GetList(), stored);

  // A copied container holds its own list: editing one leaves the other alone and makes them differ.
  BaseContainer copy(bc);
  auto* copied = static_cast<FieldList*>(copy.GetCustomData(FIELDS_PARAM, CUSTOMDATATYPE_FIELDLIST));
  ASSERT_NE(copied, stored);
  EXPECT_TRUE(copy == bc);
  copied->GetFirstLayer()->SetValue(0.5);
  EXPECT_EQ(stored->GetFirstLayer()->GetValue(), 0.25);
  EXPECT_FALSE(copy == bc);
  copied->GetFirstLayer()->SetValue(0.25);
  EXPECT_TRUE(copy == bc);   // content, not identity nor dirty counts
  Add(*copied, Solid(1.0));
  EXPECT_FALSE(copy == bc);

  // The host parameter getter hands out the list too.
  BaseObject* op = BaseObject::Alloc(Onull);
  op->GetDataInstance()->SetData(FIELDS_PARAM, GeData(list));
  GeData d;
  ASSERT_TRUE(op->GetParameter(DescID(FIELDS_PARAM), d));
  const auto* got = static_cast<const FieldList*>(d.GetCustomDataType(CUSTOMDATATYPE_FIELDLIST));
  ASSERT_NE(got, nullptr);
  EXPECT_TRUE(got->IsEqual(list));
  BaseObject::Free(op);

  host::ScopedAllocationFailure fail(1);
  EXPECT_EQ(list.Clone(), nullptr);
}

TEST(FieldList, LayerTreeNavigationAndEdits)
{
  FieldList list;
  FieldLayer* a = Add(list, Solid(0.1));
  FieldLayer* folder = Add(list, FieldLayer::Alloc(FLfolder));
  FieldLayer* c = Add(list, Solid(0.3));
  FieldLayer* f1 = Add(list, Solid(0.4), folder);
  FieldLayer* f2 = Add(list, Solid(0.5), folder);
  Result<FieldLayer*> first = list.InsertLayer(Solid(0.0), nullptr, nullptr);
  ASSERT_TRUE(first.IsOk());

  EXPECT_EQ(list.GetFirstLayer(), first.GetValue());
  EXPECT_EQ(first.GetValue()->GetNext(), a);
  EXPECT_EQ(a->GetPred(), first.GetValue());
  EXPECT_EQ(folder->GetNext(), c);
  EXPECT_EQ(c->GetNext(), nullptr);
  EXPECT_EQ(folder->GetDown(), f1);
  EXPECT_EQ(folder->GetDownLast(), f2);
  EXPECT_EQ(f1->GetNext(), f2);
  EXPECT_EQ(f2->GetUp(), folder);
  EXPECT_EQ(a->GetUp(), nullptr);
  EXPECT_EQ(list.GetLayerCount(), 6);
  EXPECT_TRUE(list.Query(FIELDLIST_QUERY_HASLAYERS));
  EXPECT_FALSE(list.Query(31));

  // Refused inserts.
  EXPECT_TRUE(list.InsertLayer(nullptr).IsError());
  EXPECT_TRUE(list.InsertLayer(Solid(1.0), folder, a).IsError());   // a is not folder's child
  FieldList other;
  EXPECT_TRUE(other.AppendLayer(Solid(1.0), folder).IsError());      // folder is not in other
  {
    std::unique_ptr<FieldLayer> extra = Solid(1.0);
    host::ScopedAllocationFailure fail(1);
    Result<FieldLayer*> r = list.AppendLayer(std::move(extra));
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(list.GetLayerCount(), 6);

  // Nesting is bounded.
  FieldList deep;
  FieldLayer* parent = nullptr;
  for (Int32 i = 0; i < FIELDLAYER_MAX_DEPTH; ++i)
    parent = Add(deep, FieldLayer::Alloc(FLfolder), parent);
  EXPECT_TRUE(deep.AppendLayer(Solid(1.0), parent).IsError());

  // Detaching hands over the layer with its children; the rest close up.
  std::unique_ptr<FieldLayer> taken = list.DetachLayer(folder);
  ASSERT_EQ(taken.get(), folder);
  EXPECT_EQ(folder->GetList(), nullptr);
  EXPECT_EQ(f1->GetList(), nullptr);
  EXPECT_EQ(folder->GetDown(), f1);
  EXPECT_EQ(a->GetNext(), c);
  EXPECT_EQ(c->GetPred(), a);
  EXPECT_EQ(list.GetLayerCount(), 3);
  EXPECT_EQ(list.DetachLayer(folder), nullptr);
  EXPECT_FALSE(other.RemoveLayer(a));
  // A detached layer can go back, with its children.
  ASSERT_TRUE(list.InsertLayer(std::move(taken), nullptr, a).IsOk());
  EXPECT_EQ(a->GetNext(), folder);
  EXPECT_EQ(f2->GetList(), &list);
  EXPECT_TRUE(list.RemoveLayer(a));
  EXPECT_EQ(list.GetLayerCount(), 5);
}

TEST(FieldList, LayerFlagsStateAndDirtyCounts)
{
  std::unique_ptr<FieldLayer> l = Solid(1.0);
  EXPECT_EQ(l->GetState(), FIELDLAYER_STATE_ENABLED);
  l->SetEnabled(false);
  EXPECT_EQ(l->GetState(), 0);

  l->SetLayerFlags(FIELDLAYER_FLAG_SKIP | FIELDLAYER_FLAG_COLLAPSED);
  EXPECT_EQ(l->GetLayerFlags(0), FIELDLAYER_FLAG_SKIP | FIELDLAYER_FLAG_COLLAPSED);
  EXPECT_EQ(l->GetLayerFlags(FIELDLAYER_FLAGS_UNUSABLE), FIELDLAYER_FLAG_SKIP);
  EXPECT_EQ(l->GetLayerFlags(FIELDLAYER_FLAG_COLLAPSED), FIELDLAYER_FLAG_COLLAPSED);
  l->ChangeLayerFlag(FIELDLAYER_FLAG_SKIP, false);
  EXPECT_EQ(l->GetLayerFlags(0), FIELDLAYER_FLAG_COLLAPSED);

  // Every setter raises the dirty count; a clone keeps it.
  const Int before = l->GetDirty();
  l->SetOpacity(0.5);
  l->SetValue(0.2);
  l->SetBlendMode(FIELDLAYER_BLEND::ADD);
  EXPECT_EQ(l->GetDirty(), before + 3);
  EXPECT_EQ(l->Clone()->GetDirty(), l->GetDirty());
  EXPECT_TRUE(l->Clone()->IsEqual(*l));

  // An object layer whose object is gone reports the error bit and has no linked data.
  BaseObject* sphere = BaseObject::Alloc(Ofieldspherical);
  std::unique_ptr<FieldLayer> o = ObjectLayer(sphere);
  EXPECT_TRUE(o->HasLinkedData());
  EXPECT_EQ(o->GetLayerFlags(0), 0);
  EXPECT_EQ(o->GetLinkedObject(nullptr), sphere);   // in no document, asked for no document
  BaseObject::Free(sphere);
  EXPECT_FALSE(o->HasLinkedData());
  EXPECT_EQ(o->GetLayerFlags(0), FIELDLAYER_FLAG_ERROR);
  EXPECT_EQ(o->GetLinkedObject(nullptr), nullptr);
}

TEST(FieldList, DirtyChecksumFollowsLayersAndLinkedObjects)
{
  FieldScene scene(Ofieldspherical, Vector(), 100.0);
  FieldList list;
  FieldLayer* solid = Add(list, Solid(0.5));
  Add(list, ObjectLayer(scene.field));
  const Int c0 = list.GetDirtyChecksum(scene.doc);
  EXPECT_EQ(list.GetDirtyChecksum(scene.doc), c0);
  EXPECT_EQ(static_cast<FieldList*>(list.Clone().get())->GetDirtyChecksum(scene.doc), c0);

  Matrix m;
  m.off = Vector(5.0, 0.0, 0.0);
  scene.field->SetMl(m);   // the linked object moves
  const Int c1 = list.GetDirtyChecksum(scene.doc);
  EXPECT_NE(c1, c0);
  solid->SetValue(0.6);    // a layer is edited
  const Int c2 = list.GetDirtyChecksum(scene.doc);
  EXPECT_NE(c2, c1);
  FieldLayer* extra = Add(list, Solid(0.1));   // a layer is added ...
  const Int c3 = list.GetDirtyChecksum(scene.doc);
  EXPECT_NE(c3, c2);
  list.RemoveLayer(extra);                     // ... and removed again
  EXPECT_EQ(list.GetDirtyChecksum(scene.doc), c2);
  // Reordering.
  std::unique_ptr<FieldLayer> s = list.DetachLayer(solid);
  ASSERT_TRUE(list.AppendLayer(std::move(s)).IsOk());
  EXPECT_NE(list.GetDirtyChecksum(scene.doc), c2);
}

TEST(FieldSample, SolidLayersCombineInListOrder)
{
  struct Case
  {
    const char* name;
    std::vector<std::tuple<Float, Float, FIELDLAYER_BLEND>> layers;   // value, opacity, mode
    Float expected;
  };
  using B = FIELDLAYER_BLEND;
  const Case cases[] = {
    {"one", {{0.3, 1.0, B::NORMAL}}, 0.3},
    {"half_opacity", {{0.3, 0.5, B::NORMAL}}, 0.15},
    {"normal_covers", {{0.3, 1.0, B::NORMAL}, {0.8, 1.0, B::NORMAL}}, 0.8},
    {"normal_half", {{0.2, 1.0, B::NORMAL}, {0.8, 0.5, B::NORMAL}}, 0.5},
    {"add", {{0.3, 1.0, B::NORMAL}, {0.4, 1.0, B::ADD}}, 0.7},
    {"add_clamped", {{0.8, 1.0, B::NORMAL}, {0.6, 1.0, B::ADD}}, 1.0},
    {"subtract_clamped", {{0.2, 1.0, B::NORMAL}, {0.6, 1.0, B::SUBTRACT}}, 0.0},
    {"subtract_then_add", {{0.2, 1.0, B::NORMAL}, {0.6, 1.0, B::SUBTRACT}, {0.5, 1.0, B::ADD}}, 0.1},
    {"multiply", {{0.5, 1.0, B::NORMAL}, {0.5, 1.0, B::MULTIPLY}}, 0.25},
    {"max", {{0.5, 1.0, B::NORMAL}, {0.25, 1.0, B::MAX}}, 0.5},
    {"min", {{0.5, 1.0, B::NORMAL}, {0.25, 1.0, B::MIN}}, 0.25},
    {"opacity_clamped", {{0.5, 3.0, B::NORMAL}}, 0.5},
    {"value_clamped", {{1.5, 1.0, B::NORMAL}}, 1.0},
    {"nan_is_zero", {{std::nan(""), 1.0, B::NORMAL}}, 0.0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    FieldList list;
    for (const auto& [v, o, m] : c.layers)
      Add(list, Solid(v, o, m));
    EXPECT_DOUBLE_EQ(SampleOne(list, Vector(1.0, 2.0, 3.0)), c.expected);
  }
}

TEST(FieldSample, LayersThatDoNotContributeAreIgnored)
{
  FieldList list;
  Add(list, Solid(0.25));
  FieldLayer* off = Add(list, Solid(0.9));
  off->SetEnabled(false);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.25);
  off->SetEnabled(true);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.9);
  for (Int32 flag : {FIELDLAYER_FLAG_SKIP, FIELDLAYER_FLAG_ERROR, FIELDLAYER_FLAG_TEMPORARY, FIELDLAYER_FLAG_NOVALUE})
  {
    off->SetLayerFlags(flag);
    EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.25) << flag;
  }
  off->SetLayerFlags(FIELDLAYER_FLAG_COLLAPSED);   // not a reason to skip
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.9);

  // A disabled folder takes its children with it; an enabled one combines them onto its own 0.
  FieldList nested;
  Add(nested, Solid(0.5));
  FieldLayer* folder = Add(nested, FieldLayer::Alloc(FLfolder));
  folder->SetBlendMode(FIELDLAYER_BLEND::ADD);
  Add(nested, Solid(0.25), folder);
  Add(nested, Solid(0.5, 0.5, FIELDLAYER_BLEND::ADD), folder);   // folder value 0.25 + 0.25
  EXPECT_DOUBLE_EQ(SampleOne(nested, Vector()), 1.0);
  folder->SetOpacity(0.5);
  EXPECT_DOUBLE_EQ(SampleOne(nested, Vector()), 0.75);
  folder->SetEnabled(false);
  EXPECT_DOUBLE_EQ(SampleOne(nested, Vector()), 0.5);
}

TEST(FieldSample, EmptyListFollowsItsFlag)
{
  FieldList list;
  EXPECT_EQ(list.GetFlags(), FIELDLIST_FLAGS_DEFAULT);
  EXPECT_FALSE(list.Query(FIELDLIST_QUERY_HASLAYERS));
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 1.0);
  list.ChangeFlag(FIELDLIST_FLAG_EMPTYISFULL, false);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.0);
  FieldLayer* l = Add(list, Solid(0.7));
  l->SetEnabled(false);   // no contributing layer is the same as none
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector()), 0.0);
}

TEST(FieldSample, SphereFalloffIsMonotoneAndFollowsTheObject)
{
  FieldScene scene(Ofieldspherical, Vector(100.0, 0.0, 0.0), 50.0);
  FieldList list;
  Add(list, ObjectLayer(scene.field));

  std::vector<Vector> pts;
  for (Int32 i = 0; i <= 80; ++i)
    pts.emplace_back(100.0 + i, 0.0, 0.0);
  const std::vector<Float> v = SampleAt(list, pts, scene.owner);
  ASSERT_EQ(v.size(), pts.size());
  for (std::size_t i = 0; i < v.size(); ++i)
  {
    EXPECT_GE(v[i], 0.0);
    EXPECT_LE(v[i], 1.0);
    if (i > 0)
    {
      EXPECT_LE(v[i], v[i - 1]) << i;
    }
  }
  EXPECT_DOUBLE_EQ(v[0], 1.0);     // centre
  EXPECT_DOUBLE_EQ(v[25], 0.5);    // half the radius, linear ramp
  EXPECT_DOUBLE_EQ(v[10], 0.8);
  EXPECT_DOUBLE_EQ(v[50], 0.0);    // on the radius
  EXPECT_DOUBLE_EQ(v[80], 0.0);

  // Positions in the caller's space: the transform takes them to world space first.
  Matrix toWorld;
  toWorld.off = Vector(100.0, 0.0, 0.0);
  EXPECT_DOUBLE_EQ(SampleAt(list, {Vector(25.0, 0.0, 0.0)}, scene.owner, toWorld)[0], 0.5);
  EXPECT_DOUBLE_EQ(SampleAt(list, {Vector(0.0, 0.0, 25.0)}, scene.owner, toWorld)[0], 0.5);

  // Scaling the object scales the falloff.
  Matrix m;
  m.off = Vector(100.0, 0.0, 0.0);
  m.v1 = Vector(2.0, 0.0, 0.0);
  scene.field->SetMl(m);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(150.0, 0.0, 0.0), scene.owner), 0.5);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(100.0, 25.0, 0.0), scene.owner), 0.5);

  // A disabled field object contributes nothing (the empty list flag then decides).
  scene.field->SetEnabled(false);
  list.ChangeFlag(FIELDLIST_FLAG_EMPTYISFULL, false);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(100.0, 0.0, 0.0), scene.owner), 0.0);
}

TEST(FieldSample, FalloffShapes)
{
  struct Case
  {
    const char* name;
    Int32 type;
    Float inner;
    Int32 interpolation;
    Vector at;
    Float expected;
  };
  const Case cases[] = {
    {"sphere_inner_full", Ofieldspherical, 0.5, FIELDINTERPOLATION_LINEAR, Vector(50.0, 0.0, 0.0), 1.0},
    {"sphere_inner_linear", Ofieldspherical, 0.5, FIELDINTERPOLATION_LINEAR, Vector(90.0, 0.0, 0.0), 0.2},
    {"sphere_inner_smooth", Ofieldspherical, 0.5, FIELDINTERPOLATION_SMOOTH, Vector(90.0, 0.0, 0.0), 0.104},
    {"sphere_smooth_mid", Ofieldspherical, 0.5, FIELDINTERPOLATION_SMOOTH, Vector(0.0, 75.0, 0.0), 0.5},
    {"sphere_inner_one_hard_edge", Ofieldspherical, 1.0, FIELDINTERPOLATION_LINEAR, Vector(0.0, 0.0, 99.0), 1.0},
    {"linear_back", Ofieldlinear, 0.0, FIELDINTERPOLATION_LINEAR, Vector(0.0, 0.0, -50.0), 0.0},
    {"linear_middle", Ofieldlinear, 0.0, FIELDINTERPOLATION_LINEAR, Vector(30.0, -7.0, 0.0), 0.5},
    {"linear_quarter", Ofieldlinear, 0.0, FIELDINTERPOLATION_LINEAR, Vector(0.0, 0.0, -25.0), 0.25},
    {"linear_quarter_smooth", Ofieldlinear, 0.0, FIELDINTERPOLATION_SMOOTH, Vector(0.0, 0.0, -25.0), 0.15625},
    {"linear_front", Ofieldlinear, 0.0, FIELDINTERPOLATION_LINEAR, Vector(0.0, 0.0, 80.0), 1.0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    FieldScene scene(c.type, Vector(), 100.0);
    scene.field->GetDataInstance()->SetFloat(FIELDOBJECT_INNER, c.inner);
    scene.field->GetDataInstance()->SetInt32(FIELDOBJECT_INTERPOLATION, c.interpolation);
    FieldList list;
    Add(list, ObjectLayer(scene.field));
    EXPECT_NEAR(SampleOne(list, c.at, scene.owner), c.expected, 1e-12);
  }
}

TEST(FieldSample, LinksResolveOnlyInTheCallersDocument)
{
  FieldScene a(Ofieldspherical, Vector(), 100.0);
  FieldScene b(Ofieldspherical, Vector(), 100.0);
  FieldList list;
  list.ChangeFlag(FIELDLIST_FLAG_EMPTYISFULL, false);
  Add(list, ObjectLayer(a.field));
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(), a.owner), 1.0);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(), b.owner), 0.0);
  EXPECT_DOUBLE_EQ(SampleOne(list, Vector(), nullptr), 1.0);   // no caller: wherever the object lives
}

TEST(FieldSample, ParallelAndConcurrentSamplingMatchAPlainReference)
{
  FieldScene scene(Ofieldspherical, Vector(10.0, 0.0, -20.0), 300.0);
  scene.field->GetDataInstance()->SetInt32(FIELDOBJECT_INTERPOLATION, FIELDINTERPOLATION_SMOOTH);
  FieldList list;
  Add(list, Solid(0.2));
  Add(list, ObjectLayer(scene.field))->SetBlendMode(FIELDLAYER_BLEND::ADD);

  std::vector<Vector> pts;
  for (Int32 z = 0; z < 120; ++z)
    for (Int32 x = 0; x < 150; ++x)
      pts.emplace_back(x * 4.0 - 300.0, 0.0, z * 5.0 - 300.0);

  // The reference: the sphere's formula written out, then the solid layer added, clamped.
  std::vector<Float> expected;
  for (const Vector& p : pts)
  {
    const Float d = (p - Vector(10.0, 0.0, -20.0)).GetLength();
    Float t = d >= 300.0 ? 0.0 : (300.0 - d) / 300.0;
    t = t * t * (3.0 - 2.0 * t);
    expected.push_back(std::min(1.0, 0.2 + t));
  }

  const std::vector<Float> parallel = SampleAt(list, pts, scene.owner);
  ASSERT_EQ(parallel.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i)
    ASSERT_NEAR(parallel[i], expected[i], 1e-12) << i;

  std::vector<std::vector<Float>> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&, t] { results[t] = SampleAt(list, pts, scene.owner); });
  for (auto& t : threads)
    t.join();
  for (const auto& r : results)
    EXPECT_EQ(r, parallel);
}

TEST(FieldSample, RefusesBadInputAndReportsOutOfMemory)
{
  FieldList list;
  Add(list, Solid(0.5));
  const Vector p[2] = {Vector(), Vector()};

  Result<FieldOutput> r = list.Sample(FieldInput(p, -1, Matrix(), 2), nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  r = list.Sample(FieldInput(nullptr, 2, Matrix(), 2), nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::NULLPTR);
  r = list.Sample(FieldInput(p, 2, Matrix(), 1), nullptr);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  r = list.Sample(FieldInput(nullptr, 0, Matrix(), 0), nullptr);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue().GetCount(), 0);
  {
    host::ScopedAllocationFailure fail(1);
    r = list.Sample(FieldInput(p, 2, Matrix(), 2), nullptr);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
}

TEST(FieldList, SceneFilesKeepTheListAndItsLinks)
{
  FieldScene scene(Ofieldlinear, Vector(0.0, 0.0, 5.0), 40.0);
  FieldList list;
  list.ChangeFlag(FIELDLIST_FLAG_EMPTYISFULL, false);
  FieldLayer* folder = Add(list, FieldLayer::Alloc(FLfolder));
  folder->SetLayerFlags(FIELDLAYER_FLAG_COLLAPSED);
  Add(list, Solid(0.3, 0.5, FIELDLAYER_BLEND::MAX), folder)->SetEnabled(false);
  Add(list, ObjectLayer(scene.field))->SetBlendMode(FIELDLAYER_BLEND::ADD);
  scene.owner->GetDataInstance()->SetData(FIELDS_PARAM, GeData(list));

  const Result<String> text = host::SaveDocumentToText(scene.doc, "fields.json");
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetMessage();
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(text.GetValue(), "fields.json");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage();
  BaseDocument* doc = loaded.GetValue();
  // InsertObject puts each new object first, so the owner comes before the field.
  BaseObject* owner = doc->GetFirstObject();
  ASSERT_NE(owner, nullptr);
  BaseObject* field = owner->GetNext();
  ASSERT_NE(field, nullptr);
  ASSERT_EQ(field->GetType(), Ofieldlinear);
  const auto* back =
    static_cast<const FieldList*>(owner->GetDataInstance()->GetCustomData(FIELDS_PARAM, CUSTOMDATATYPE_FIELDLIST));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetFlags(), list.GetFlags());
  EXPECT_EQ(back->GetLayerCount(), 3);
  const FieldLayer* f = back->GetFirstLayer();
  EXPECT_EQ(f->GetType(), FLfolder);
  EXPECT_EQ(f->GetStoredFlags(), FIELDLAYER_FLAG_COLLAPSED);
  EXPECT_FALSE(f->GetDown()->IsEnabled());
  EXPECT_EQ(f->GetDown()->GetBlendMode(), FIELDLAYER_BLEND::MAX);
  EXPECT_EQ(f->GetDown()->GetOpacity(), 0.5);
  // The object layer now links the loaded field object.
  EXPECT_EQ(f->GetNext()->GetLinkedObject(doc), field);
  EXPECT_DOUBLE_EQ(SampleOne(*back, Vector(0.0, 0.0, 5.0), owner), 0.5);
  BaseDocument::Free(doc);
}
