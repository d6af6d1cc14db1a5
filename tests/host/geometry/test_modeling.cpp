#include <gtest/gtest.h>

#include "host/core/alloc.h"
#include "host/geometry/geometrytags.h"
#include "host/geometry/modeling.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"

namespace
{
constexpr Int32 ID_PLANEGENERATOR = 1059901;
constexpr Int32 GENERATOR_WIDTH = 1000;    // Float: x of the cache's second point
constexpr Int32 GENERATOR_STATUS = 1092;   // String the build writes into its own object

// A generator that decides like the terrain object: it rebuilds only when the host's cache check or
// its data dirty test says so, and otherwise hands back the cache it built before. Every build writes
// a status text into its own object and into its first child.
class PlaneGenerator : public ObjectData
{
public:
  static inline Int32 meshesBuilt = 0;
  static inline Int32 calls = 0;
  static inline Bool buildNothing = false;

  static NodeData* Alloc() { return NewObj<PlaneGenerator>(); }

  BaseObject* BuildCache(BaseObject* op, HierarchyContext* hh) override
  {
    ++calls;
    const Bool cacheDirty = op->CheckCache(hh);
    const Bool dataDirty = op->IsDirty(DIRTYFLAGS::DATA);
    op->GetDataInstance()->SetString(GENERATOR_STATUS, "evaluating");
    // Operators below a terrain object write their own status texts during its build, too.
    if (BaseObject* child = op->GetDown())
      child->GetDataInstance()->SetString(GENERATOR_STATUS, "child status " + String::IntToString(calls));
    if (!cacheDirty && !dataDirty)
      return op->GetCache(hh);
    if (buildNothing)
      return nullptr;
    ++meshesBuilt;
    PolygonObject* mesh = PolygonObject::Alloc(3, 1);
    if (!mesh)
      return nullptr;
    mesh->GetPointW()[1] = Vector(op->GetDataInstance()->GetFloat(GENERATOR_WIDTH, 1.0), 0, 0);
    mesh->GetPolygonW()[0] = CPolygon(0, 1, 2);
    mesh->SetMl(Matrix(Vector(0, 5, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
    mesh->MakeTag(Tphong);
    op->GetDataInstance()->SetString(GENERATOR_STATUS, "built");
    return mesh;
  }
};

class ModelingTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    PlaneGenerator::meshesBuilt = 0;
    PlaneGenerator::calls = 0;
    PlaneGenerator::buildNothing = false;
    ASSERT_TRUE(RegisterObjectPlugin(ID_PLANEGENERATOR, "Plane generator", OBJECT_GENERATOR, PlaneGenerator::Alloc,
                                     "oplanegenerator", nullptr, 0));
    _live = host::GetLiveNodeCount();
    _doc = BaseDocument::Alloc();
  }
  void TearDown() override
  {
    BaseDocument::Free(_doc);
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
    host::ResetSceneState();
  }

  BaseObject* Insert(BaseObject* op, BaseObject* parent = nullptr)
  {
    EXPECT_TRUE(_doc->InsertObject(op, parent));
    return op;
  }

  BaseDocument* _doc = nullptr;
  Int _live = 0;
};

const Matrix kMove(Vector(10, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));

// Runs command 245 on op and takes the result's element 0 (null when the command fails).
BaseObject* Collapse(BaseDocument* doc, BaseObject* op)
{
  ModelingCommandData md;
  md.doc = doc;
  md.op = op;
  if (!SendModelingCommand(MCOMMAND_CURRENTSTATETOOBJECT, md))
  {
    EXPECT_TRUE(md.result == nullptr || md.result->GetCount() == 0);
    return nullptr;
  }
  EXPECT_EQ(md.result->GetCount(), 1);
  return static_cast<BaseObject*>(md.result->GetIndex(0));
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// The build driver's answers, as a generator that checks them sees them

TEST_F(ModelingTest, NothingChangedMeansNoRebuild)
{
  BaseObject* gen = Insert(BaseObject::Alloc(ID_PLANEGENERATOR));
  BaseObject* child = Insert(BaseObject::Alloc(Onull), gen);
  HierarchyContext hh(_doc, 1.0, nullptr, BUILDFLAGS::NONE);

  BaseObject* first = host::BuildObjectCache(gen, &hh);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(PlaneGenerator::meshesBuilt, 1);

  // The status texts the build wrote into its own object and its child do not count as changes: the
  // next builds hand back the same cache.
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(host::BuildObjectCache(gen, &hh), first);
    EXPECT_EQ(PlaneGenerator::meshesBuilt, 1);
  }
  EXPECT_EQ(gen->GetDataInstance()->GetString(GENERATOR_STATUS), "evaluating");

  // Moving the generator itself does not touch its cache (the cache lives in the generator's space).
  gen->SetMl(kMove);
  EXPECT_EQ(host::BuildObjectCache(gen, &hh), first);
  EXPECT_EQ(PlaneGenerator::meshesBuilt, 1);

  struct Change
  {
    const char* what;
    void (*apply)(BaseObject* gen, BaseObject* child);
  };
  const Change changes[] = {
    {"own parameter", [](BaseObject* g, BaseObject*) { g->GetDataInstance()->SetFloat(GENERATOR_WIDTH, 3.0); }},
    {"child matrix", [](BaseObject*, BaseObject* c) { c->SetMl(kMove); }},
    {"child parameter", [](BaseObject*, BaseObject* c) { c->GetDataInstance()->SetInt32(5, 1); }},
    {"child disabled", [](BaseObject*, BaseObject* c) { c->SetEnabled(false); }},
    {"child hidden", [](BaseObject*, BaseObject* c) { c->SetEditorMode(MODE::OFF); }},
  };
  Int32 expected = 1;
  for (const Change& c : changes)
  {
    c.apply(gen, child);
    BaseObject* cache = host::BuildObjectCache(gen, &hh);
    EXPECT_EQ(PlaneGenerator::meshesBuilt, ++expected) << c.what;
    EXPECT_EQ(gen->GetCache(), cache) << c.what;
    EXPECT_EQ(host::BuildObjectCache(gen, &hh), cache) << c.what << ": a second build must not rebuild";
    EXPECT_EQ(PlaneGenerator::meshesBuilt, expected) << c.what;
  }
}

TEST_F(ModelingTest, AFailedBuildLeavesNoCacheAndTheNextBuildRetries)
{
  BaseObject* gen = Insert(BaseObject::Alloc(ID_PLANEGENERATOR));
  HierarchyContext hh(_doc, 1.0, nullptr, BUILDFLAGS::NONE);
  ASSERT_NE(host::BuildObjectCache(gen, &hh), nullptr);
  gen->GetDataInstance()->SetFloat(GENERATOR_WIDTH, 2.0);
  PlaneGenerator::buildNothing = true;
  EXPECT_EQ(host::BuildObjectCache(gen, &hh), nullptr);
  EXPECT_EQ(gen->GetCache(), nullptr);
  EXPECT_TRUE(gen->CheckCache(&hh));   // no cache: the host asks again
  PlaneGenerator::buildNothing = false;
  EXPECT_NE(host::BuildObjectCache(gen, &hh), nullptr);
  EXPECT_EQ(PlaneGenerator::meshesBuilt, 2);
}

// ---------------------------------------------------------------------------------------------------
// Current state to object

TEST_F(ModelingTest, PointObjectsAreCopiedWithTheirGlobalMatrix)
{
  BaseObject* parent = Insert(BaseObject::Alloc(Onull));
  parent->SetMl(kMove);
  PolygonObject* poly = PolygonObject::Alloc(3, 1);
  poly->GetPointW()[2] = Vector(1, 2, 3);
  poly->GetPolygonW()[0] = CPolygon(0, 1, 2);
  poly->MakeVariableTag(Tuvw, 1);
  poly->SetMl(Matrix(Vector(0, 1, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  Insert(poly, parent);

  ObjPtr copy(Collapse(_doc, poly));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->GetType(), Opolygon);
  EXPECT_NE(copy.get(), poly);
  EXPECT_EQ(copy->GetDocument(), nullptr);
  EXPECT_EQ(static_cast<PolygonObject*>(copy.get())->GetPointR()[2], Vector(1, 2, 3));
  EXPECT_NE(copy->GetTag(Tuvw), nullptr);
  EXPECT_EQ(copy->GetMg(), poly->GetMg());

  SplineObject* spline = SplineObject::Alloc(4, SPLINETYPE::LINEAR);
  spline->GetPointW()[3] = Vector(4, 0, 0);
  Insert(spline);
  ObjPtr splineCopy(Collapse(_doc, spline));
  ASSERT_NE(splineCopy, nullptr);
  EXPECT_EQ(splineCopy->GetType(), Ospline);
  EXPECT_EQ(static_cast<SplineObject*>(splineCopy.get())->GetPointR()[3], Vector(4, 0, 0));
}

TEST_F(ModelingTest, GeneratorsGiveACopyOfTheirBuiltCache)
{
  BaseObject* parent = Insert(BaseObject::Alloc(Onull));
  parent->SetMl(kMove);
  BaseObject* gen = Insert(BaseObject::Alloc(ID_PLANEGENERATOR), parent);
  gen->GetDataInstance()->SetFloat(GENERATOR_WIDTH, 7.0);

  ObjPtr result(Collapse(_doc, gen));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetType(), Opolygon);
  EXPECT_NE(result.get(), gen->GetCache());   // a copy; the generator keeps its own cache
  EXPECT_EQ(static_cast<PolygonObject*>(result.get())->GetPointR()[1], Vector(7, 0, 0));
  EXPECT_NE(result->GetTag(Tphong), nullptr);
  // The generator's global matrix times the cache's local one.
  EXPECT_EQ(result->GetMg(), gen->GetMg() * gen->GetCache()->GetMl());
  EXPECT_EQ(result->GetMg().off, Vector(10, 5, 0));
}

TEST_F(ModelingTest, EnabledDeformersDirectlyBelowMoveTheCopysPoints)
{
  SplineObject* spline = SplineObject::Alloc(2, SPLINETYPE::LINEAR);
  spline->GetPointW()[0] = Vector(1, 2, 3);
  spline->GetPointW()[1] = Vector(-4, 0, 2);
  Insert(spline);
  auto addDeformer = [&](BaseObject* parent, Float scale, const Vector& offset) {
    BaseObject* d = BaseObject::Alloc(Odeformer);
    EXPECT_TRUE(d->InsertUnderLast(parent));
    d->GetDataInstance()->SetFloat(DEFORMEROBJECT_SCALE, scale);
    d->GetDataInstance()->SetVector(DEFORMEROBJECT_OFFSET, offset);
    return d;
  };
  // Applied in their order below the spline: first x2 then +(0, 10, 0); a disabled one and one further
  // down (below another object) change nothing.
  addDeformer(spline, 2.0, Vector());
  BaseObject* off = addDeformer(spline, 100.0, Vector(5, 5, 5));
  off->SetEnabled(false);
  addDeformer(spline, 1.0, Vector(0, 10, 0));
  BaseObject* null = Insert(BaseObject::Alloc(Onull), spline);
  addDeformer(null, 3.0, Vector());

  ObjPtr copy(Collapse(_doc, spline));
  ASSERT_NE(copy, nullptr);
  const Vector* points = static_cast<SplineObject*>(copy.get())->GetPointR();
  EXPECT_EQ(points[0], Vector(2, 14, 6));
  EXPECT_EQ(points[1], Vector(-8, 10, 4));
  EXPECT_EQ(spline->GetPointR()[0], Vector(1, 2, 3));   // the input keeps its points

  // A deformer that was never set deforms nothing; a generator's copy is deformed too.
  BaseObject* gen = Insert(BaseObject::Alloc(ID_PLANEGENERATOR));
  Insert(BaseObject::Alloc(Odeformer), gen);
  ObjPtr plain(Collapse(_doc, gen));
  ASSERT_NE(plain, nullptr);
  const Vector plainPoint = static_cast<PolygonObject*>(plain.get())->GetPointR()[1];
  addDeformer(gen, 1.0, Vector(0, 0, 1));
  ObjPtr moved(Collapse(_doc, gen));
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(static_cast<PolygonObject*>(moved.get())->GetPointR()[1], plainPoint + Vector(0, 0, 1));

  EXPECT_FALSE(ApplyDeformer(null, spline));
  EXPECT_FALSE(ApplyDeformer(off, nullptr));
}

TEST_F(ModelingTest, FailuresGiveNoResultAndLeakNothing)
{
  BaseObject* null = Insert(BaseObject::Alloc(Onull));
  EXPECT_EQ(Collapse(_doc, null), nullptr);   // nothing to collapse

  ObjPtr outside(PolygonObject::Alloc(3, 1));
  EXPECT_EQ(Collapse(_doc, outside.get()), nullptr);   // not in the document

  BaseObject* gen = Insert(BaseObject::Alloc(ID_PLANEGENERATOR));
  PlaneGenerator::buildNothing = true;
  EXPECT_EQ(Collapse(_doc, gen), nullptr);   // a generator that builds nothing
  PlaneGenerator::buildNothing = false;

  PolygonObject* poly = PolygonObject::Alloc(3, 1);
  Insert(poly);
  host::SetModelingCommandRefused(MCOMMAND_CURRENTSTATETOOBJECT, true);
  EXPECT_EQ(Collapse(_doc, poly), nullptr);
  host::SetModelingCommandRefused(MCOMMAND_CURRENTSTATETOOBJECT, false);

  ModelingCommandData unknown;
  unknown.doc = _doc;
  unknown.op = poly;
  EXPECT_FALSE(SendModelingCommand(246, unknown));
  ModelingCommandData noDoc;
  noDoc.op = poly;
  EXPECT_FALSE(SendModelingCommand(MCOMMAND_CURRENTSTATETOOBJECT, noDoc));

  // A list of inputs with one that fails: the objects made for the others are freed.
  AtomArray* inputs = AtomArray::Alloc();
  ASSERT_TRUE(inputs->Append(poly));
  ASSERT_TRUE(inputs->Append(null));
  ModelingCommandData list;
  list.doc = _doc;
  list.arr = inputs;
  const Int live = host::GetLiveNodeCount();
  EXPECT_FALSE(SendModelingCommand(MCOMMAND_CURRENTSTATETOOBJECT, list));
  EXPECT_EQ(list.result->GetCount(), 0);
  EXPECT_EQ(host::GetLiveNodeCount(), live);
  AtomArray::Free(inputs);
}

TEST_F(ModelingTest, AListOfInputsGivesOneResultEach)
{
  PolygonObject* a = PolygonObject::Alloc(1, 0);
  SplineObject* b = SplineObject::Alloc(2, SPLINETYPE::LINEAR);
  Insert(a);
  Insert(b);
  AtomArray* inputs = AtomArray::Alloc();
  ASSERT_TRUE(inputs->Append(a));
  ASSERT_TRUE(inputs->Append(b));
  ModelingCommandData md;
  md.doc = _doc;
  md.arr = inputs;
  ASSERT_TRUE(SendModelingCommand(MCOMMAND_CURRENTSTATETOOBJECT, md));
  ASSERT_EQ(md.result->GetCount(), 2);
  EXPECT_EQ(md.result->GetIndex(0)->GetType(), Opolygon);
  EXPECT_EQ(md.result->GetIndex(1)->GetType(), Ospline);
  for (Int32 i = 0; i < 2; ++i)
  {
    BaseList2D* r = md.result->GetIndex(i);
    host::FreeNode(r);
  }
  AtomArray::Free(inputs);
}
