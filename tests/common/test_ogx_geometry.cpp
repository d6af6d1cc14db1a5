#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "common/ogx_geometry.h"
#include "host/core/alloc.h"
#include "host/geometry/modeling.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"
#include "support/test_support.h"

namespace
{
constexpr Int32 ID_TESTGENERATOR = 1059902;
constexpr const char* kZeroMessage = "A size or segments parameter is 0!";
constexpr const char* kCommandMessage = "An error occurred while executing MCOMMAND_CURRENTSTATETOOBJECT!";

// A generator with a one-triangle cache whose local matrix is not the identity.
class TriangleGenerator : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<TriangleGenerator>(); }
  BaseObject* BuildCache(BaseObject* op, HierarchyContext* hh) override
  {
    if (!op->CheckCache(hh) && !op->IsDirty(DIRTYFLAGS::DATA))
      return op->GetCache(hh);
    PolygonObject* mesh = PolygonObject::Alloc(3, 1);
    if (!mesh)
      return nullptr;
    mesh->GetPointW()[1] = Vector(op->GetDataInstance()->GetFloat(1000, 1.0), 0, 0);
    mesh->GetPolygonW()[0] = CPolygon(0, 1, 2);
    mesh->SetMl(Matrix(Vector(0, 5, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
    return mesh;
  }
};

using GeometryTest = LeakCheckedSceneTest;

ObjPtr Plane(Float sx, Float sy, Int32 segX, Int32 segY, PLANETESSELATIONMODE mode, Bool uvw = true,
             HostThread* thread = nullptr)
{
  Result<PolygonObject*> r = CreatePlaneGeometry(sx, sy, segX, segY, mode, uvw, thread);
  EXPECT_TRUE(r.IsOk()) << (r.IsOk() ? "" : r.GetError().GetMessage().c_str());
  return ObjPtr(r.IsOk() ? r.GetValue() : nullptr);
}

void ExpectError(const Result<PolygonObject*>& r, ERRORKIND kind, const char* message)
{
  ASSERT_TRUE(r.IsError()) << message;
  EXPECT_EQ(r.GetError().GetKind(), kind) << message;
  EXPECT_EQ(r.GetError().GetMessage(), message);
}

std::vector<UVWStruct> Uvws(BaseObject* op)
{
  std::vector<UVWStruct> out;
  const UVWTag* tag = static_cast<const UVWTag*>(op->GetTag(Tuvw));
  if (tag)
    for (Int32 i = 0; i < tag->GetDataCount(); ++i)
      out.push_back(tag->GetSlow(i));
  return out;
}

std::vector<CPolygon> Polygons(BaseObject* op)
{
  const PolygonObject* p = static_cast<const PolygonObject*>(op);
  return std::vector<CPolygon>(p->GetPolygonR(), p->GetPolygonR() + p->GetPolygonCount());
}

UVWStruct Uv(Float au, Float av, Float bu, Float bv, Float cu, Float cv, Float du, Float dv)
{
  return UVWStruct(Vector(au, av, 0), Vector(bu, bv, 0), Vector(cu, cv, 0), Vector(du, dv, 0));
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Layouts

TEST_F(GeometryTest, OneCellInEveryMode)
{
  // 1 x 1 segments, size 2 x 4: the four corners and the cell's polygons.
  struct Case
  {
    const char* name;
    PLANETESSELATIONMODE mode;
    std::vector<CPolygon> polygons;
    std::vector<UVWStruct> uvws;
  };
  const Case cases[] = {
    {"quads", PLANETESSELATIONMODE::QUADS, {{1, 3, 2, 0}}, {Uv(1, 0, 1, 1, 0, 1, 0, 0)}},
    {"tris1", PLANETESSELATIONMODE::TRIS1, {{0, 1, 3, 3}, {3, 2, 0, 0}},
     {Uv(0, 0, 1, 0, 1, 1, 0, 0), Uv(1, 1, 0, 1, 0, 0, 0, 0)}},
    {"tris2", PLANETESSELATIONMODE::TRIS2, {{1, 2, 0, 0}, {1, 3, 2, 2}},
     {Uv(1, 0, 0, 1, 0, 0, 0, 0), Uv(1, 0, 1, 1, 0, 1, 0, 0)}},
    {"mode 7 builds quads", static_cast<PLANETESSELATIONMODE>(7), {{1, 3, 2, 0}}, {Uv(1, 0, 1, 1, 0, 1, 0, 0)}},
    {"mode -1 builds quads", static_cast<PLANETESSELATIONMODE>(-1), {{1, 3, 2, 0}}, {Uv(1, 0, 1, 1, 0, 1, 0, 0)}},
  };
  for (const Case& c : cases)
  {
    ObjPtr op = Plane(2.0, 4.0, 1, 1, c.mode);
    ASSERT_NE(op, nullptr) << c.name;
    const PolygonObject* p = static_cast<const PolygonObject*>(op.get());
    ASSERT_EQ(p->GetPointCount(), 4) << c.name;
    EXPECT_EQ(p->GetPointR()[0], Vector(-1, 0, 2)) << c.name;
    EXPECT_EQ(p->GetPointR()[1], Vector(1, 0, 2)) << c.name;
    EXPECT_EQ(p->GetPointR()[2], Vector(-1, 0, -2)) << c.name;
    EXPECT_EQ(p->GetPointR()[3], Vector(1, 0, -2)) << c.name;
    EXPECT_EQ(Polygons(op.get()), c.polygons) << c.name;
    EXPECT_EQ(Uvws(op.get()), c.uvws) << c.name;
  }
}

TEST_F(GeometryTest, TwoByOneCellsInEveryMode)
{
  // segX 2, segY 1, size 4 x 2: points row 0 (z +1) 0 1 2, row 1 (z -1) 3 4 5. Cell 0: a 0, b 1, c 3,
  // d 4; cell 1: a 1, b 2, c 4, d 5. u steps by 0.5, v by 1.
  struct Case
  {
    const char* name;
    PLANETESSELATIONMODE mode;
    std::vector<CPolygon> polygons;
    std::vector<UVWStruct> uvws;
  };
  const Case cases[] = {
    {"quads",
     PLANETESSELATIONMODE::QUADS,
     {{1, 4, 3, 0}, {2, 5, 4, 1}},
     {Uv(.5, 0, .5, 1, 0, 1, 0, 0), Uv(1, 0, 1, 1, .5, 1, .5, 0)}},
    {"tris1",
     PLANETESSELATIONMODE::TRIS1,
     {{0, 1, 4, 4}, {4, 3, 0, 0}, {1, 2, 5, 5}, {5, 4, 1, 1}},
     {Uv(0, 0, .5, 0, .5, 1, 0, 0), Uv(.5, 1, 0, 1, 0, 0, 0, 0), Uv(.5, 0, 1, 0, 1, 1, 0, 0),
      Uv(1, 1, .5, 1, .5, 0, 0, 0)}},
    {"tris2",
     PLANETESSELATIONMODE::TRIS2,
     {{1, 3, 0, 0}, {1, 4, 3, 3}, {2, 4, 1, 1}, {2, 5, 4, 4}},
     {Uv(.5, 0, 0, 1, 0, 0, 0, 0), Uv(.5, 0, .5, 1, 0, 1, 0, 0), Uv(1, 0, .5, 1, .5, 0, 0, 0),
      Uv(1, 0, 1, 1, .5, 1, 0, 0)}},
  };
  const std::vector<Vector> points = {{-2, 0, 1}, {0, 0, 1}, {2, 0, 1}, {-2, 0, -1}, {0, 0, -1}, {2, 0, -1}};
  for (const Case& c : cases)
  {
    ObjPtr op = Plane(4.0, 2.0, 2, 1, c.mode);
    ASSERT_NE(op, nullptr) << c.name;
    const PolygonObject* p = static_cast<const PolygonObject*>(op.get());
    EXPECT_EQ(std::vector<Vector>(p->GetPointR(), p->GetPointR() + p->GetPointCount()), points) << c.name;
    EXPECT_EQ(Polygons(op.get()), c.polygons) << c.name;
    EXPECT_EQ(Uvws(op.get()), c.uvws) << c.name;
  }
}

TEST_F(GeometryTest, LargerPlanesMatchAReferenceAndDoNotDependOnThreads)
{
  // 100 x 99 segments (10100 points) runs on all threads, 99 x 99 (10000) on the calling thread.
  EXPECT_EQ(PlaneGeometryLoopThreads(10000), 1);
  EXPECT_EQ(PlaneGeometryLoopThreads(10001), 0);
  for (auto [segX, segY] : {std::pair<Int32, Int32>{100, 99}, {99, 99}, {3, 7}})
    for (PLANETESSELATIONMODE mode :
         {PLANETESSELATIONMODE::QUADS, PLANETESSELATIONMODE::TRIS1, PLANETESSELATIONMODE::TRIS2})
    {
      const Float sx = 250.0;
      const Float sy = 130.0;
      ObjPtr parallel = Plane(sx, sy, segX, segY, mode);
      ObjPtr serial;
      {
        SerialScope one;
        serial = Plane(sx, sy, segX, segY, mode);
      }
      ASSERT_NE(parallel, nullptr);
      ASSERT_NE(serial, nullptr);
      const PolygonObject* p = static_cast<const PolygonObject*>(parallel.get());
      const PolygonObject* s = static_cast<const PolygonObject*>(serial.get());
      const Bool tris = mode != PLANETESSELATIONMODE::QUADS;
      ASSERT_EQ(p->GetPointCount(), (segX + 1) * (segY + 1));
      ASSERT_EQ(p->GetPolygonCount(), segX * segY * (tris ? 2 : 1));
      EXPECT_EQ(Polygons(parallel.get()), Polygons(serial.get()));
      EXPECT_EQ(Uvws(parallel.get()), Uvws(serial.get()));
      for (Int32 i = 0; i < p->GetPointCount(); ++i)
        ASSERT_TRUE(Same(p->GetPointR()[i], s->GetPointR()[i])) << i;

      // Reference: every point at its cell position, every polygon corner's UVW is its point's (u, v).
      const std::vector<UVWStruct> uvws = Uvws(parallel.get());
      for (Int32 j = 0; j <= segY; ++j)
        for (Int32 i = 0; i <= segX; ++i)
        {
          const Vector& pt = p->GetPointR()[(segX + 1) * j + i];
          EXPECT_NEAR(pt.x, -sx / 2 + sx * i / segX, 1e-9);
          EXPECT_EQ(pt.y, 0.0);
          EXPECT_NEAR(pt.z, sy / 2 - sy * j / segY, 1e-9);
        }
      auto uvOf = [&](Int32 index) {
        return Vector(Float(index % (segX + 1)) / segX, Float(index / (segX + 1)) / segY, 0.0);
      };
      std::vector<Int> cornerUse(static_cast<std::size_t>(p->GetPointCount()), 0);
      for (Int32 n = 0; n < p->GetPolygonCount(); ++n)
      {
        const CPolygon& poly = p->GetPolygonR()[n];
        const UVWStruct& uv = uvws[static_cast<std::size_t>(n)];
        const std::pair<Int32, Vector> corners[] = {{poly.a, uv.a}, {poly.b, uv.b}, {poly.c, uv.c}};
        for (const auto& [index, value] : corners)
        {
          EXPECT_NEAR((value - uvOf(index)).GetLength(), 0.0, 1e-12) << n;
          ++cornerUse[static_cast<std::size_t>(index)];
        }
        if (tris)
        {
          EXPECT_EQ(poly.d, poly.c);
          EXPECT_EQ(uv.d, Vector());
        }
        else
        {
          EXPECT_NEAR((uv.d - uvOf(poly.d)).GetLength(), 0.0, 1e-12) << n;
        }
      }
      // Every cell corner is used: 4 corners per quad cell, 6 per triangle pair (as a, b, c).
      Int total = 0;
      for (Int u : cornerUse)
        total += u;
      EXPECT_EQ(total, static_cast<Int>(segX) * segY * (tris ? 6 : 3));
    }
}

TEST_F(GeometryTest, TagsOfThePlane)
{
  ObjPtr withUvw = Plane(10.0, 10.0, 4, 3, PLANETESSELATIONMODE::TRIS1, true);
  ObjPtr without = Plane(10.0, 10.0, 4, 3, PLANETESSELATIONMODE::TRIS1, false);
  ASSERT_NE(withUvw, nullptr);
  ASSERT_NE(without, nullptr);
  EXPECT_EQ(without->GetTag(Tuvw), nullptr);
  const UVWTag* uvw = static_cast<const UVWTag*>(withUvw->GetTag(Tuvw));
  ASSERT_NE(uvw, nullptr);
  EXPECT_EQ(uvw->GetDataCount(), 24);   // one entry per polygon
  // The memory figure the terrain object reports walks exactly these tags.
  Int tags = 0;
  Int bytes = 0;
  for (BaseTag* t = withUvw->GetFirstTag(); t; t = t->GetNext())
  {
    ++tags;
    if (t->IsInstanceOf(Tvariable))
      bytes += static_cast<const VariableTag*>(t)->GetDataCount() * static_cast<const VariableTag*>(t)->GetDataSize();
  }
  EXPECT_EQ(tags, 3);
  EXPECT_EQ(bytes, 20 * 24 + 24 * 16 + 24 * 96);
}

// ---------------------------------------------------------------------------------------------------
// Refusals and failures

TEST_F(GeometryTest, SizesAndSegmentsOfZeroOrBelowAreRefusedBeforeAnyAllocation)
{
  struct Case
  {
    Float sx, sy;
    Int32 segX, segY;
  };
  const Float inf = std::numeric_limits<Float>::infinity();
  const Case cases[] = {{0.0, 1.0, 1, 1},  {1.0, 0.0, 1, 1},  {1.0, 1.0, 0, 1},   {1.0, 1.0, 1, 0},
                        {-1.0, 1.0, 1, 1}, {1.0, -5.0, 1, 1}, {1.0, 1.0, -1, 1},  {1.0, 1.0, 1, -3},
                        {std::nan(""), 1.0, 1, 1}, {1.0, inf, 1, 1}, {1.0, 1.0, std::numeric_limits<Int32>::min(), 1}};
  for (const Case& c : cases)
  {
    const Int allocations = host::GetAllocationCount();
    ExpectError(CreatePlaneGeometry(c.sx, c.sy, c.segX, c.segY, PLANETESSELATIONMODE::QUADS, true, nullptr),
                ERRORKIND::ILLEGAL_ARGUMENT, kZeroMessage);
    EXPECT_EQ(host::GetAllocationCount(), allocations);
  }
}

TEST_F(GeometryTest, CountsBeyondThe32BitRangeAreRefused)
{
  struct Case
  {
    const char* name;
    Int32 segX, segY;
    PLANETESSELATIONMODE mode;
  };
  const Case cases[] = {
    // (65536 + 1)² wraps to 131073 in 32 bits: a small object that the rows would overrun.
    {"points wrap", 65536, 65536, PLANETESSELATIONMODE::QUADS},
    {"points just above", 46340, 46340, PLANETESSELATIONMODE::QUADS},   // 46341² = 2147488281
    {"largest segments", std::numeric_limits<Int32>::max(), std::numeric_limits<Int32>::max(),
     PLANETESSELATIONMODE::QUADS},
    // 40001 x 30001 points fit; 2 x 40000 x 30000 triangles do not.
    {"triangles", 40000, 30000, PLANETESSELATIONMODE::TRIS1},
    {"triangles 2", 40000, 30000, PLANETESSELATIONMODE::TRIS2},
  };
  for (const Case& c : cases)
  {
    const Int allocations = host::GetAllocationCount();
    const Result<PolygonObject*> r = CreatePlaneGeometry(100.0, 100.0, c.segX, c.segY, c.mode, true, nullptr);
    ASSERT_TRUE(r.IsError()) << c.name;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT) << c.name;
    EXPECT_EQ(r.GetError().GetMessage(), "The plane's point or polygon count exceeds the host's limit!") << c.name;
    EXPECT_EQ(host::GetAllocationCount(), allocations) << c.name;
  }
}

TEST_F(GeometryTest, EveryAllocationFailureIsReportedAndFreesThePartialObject)
{
  const std::set<String> allowed = {"Could not allocate PolygonObject!", "Could not allocate UVWTag!"};
  std::set<String> seen;
  Int n = 1;
  for (;; ++n)
  {
    ASSERT_LT(n, 50) << "the build never succeeded";
    Result<PolygonObject*> r = [&] {
      host::ScopedAllocationFailure fail(n);
      return CreatePlaneGeometry(10.0, 10.0, 3, 3, PLANETESSELATIONMODE::TRIS2, true, nullptr);
    }();
    if (r.IsOk())
    {
      BaseObject* o = r.GetValue();
      BaseObject::Free(o);
      break;
    }
    EXPECT_EQ(allowed.count(r.GetError().GetMessage()), 1u) << r.GetError().GetMessage().c_str();
    EXPECT_EQ(r.GetError().GetMessage() == "Could not allocate UVWTag!" ? ERRORKIND::NULLPTR : ERRORKIND::OUT_OF_MEMORY,
              r.GetError().GetKind());
    seen.insert(r.GetError().GetMessage());
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "failure " << n << " left nodes alive";
  }
  EXPECT_EQ(seen, allowed);
}

TEST_F(GeometryTest, MissingHostArraysAreNullPointerErrors)
{
  struct Case
  {
    Int32 refusedTag;
    const char* message;
  };
  const Case cases[] = {
    {Tpolygon, "PolygonObject::GetPolygonW() failed!"},
    {Tpoint, "PolygonObject::GetPointW() failed!"},
    {Tuvw, "Could not allocate UVWTag!"},
  };
  for (const Case& c : cases)
  {
    host::SetWriteAccessRefused(c.refusedTag, true);
    ExpectError(CreatePlaneGeometry(10.0, 10.0, 2, 2, PLANETESSELATIONMODE::QUADS, true, nullptr), ERRORKIND::NULLPTR,
                c.message);
    host::SetWriteAccessRefused(c.refusedTag, false);
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << c.message;
  }
  // Without UVWs the UVW refusal does not matter.
  host::SetWriteAccessRefused(Tuvw, true);
  EXPECT_NE(Plane(10.0, 10.0, 2, 2, PLANETESSELATIONMODE::QUADS, false), nullptr);
}

TEST_F(GeometryTest, ABreakCancelsTheRowsAndFreesTheObject)
{
  HostThread thread;
  // No break: the rows test the thread only where row AND 999 is non-zero (rows 1 to 10 but 8).
  {
    ObjPtr op = Plane(10.0, 10.0, 10, 10, PLANETESSELATIONMODE::QUADS, true, &thread);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(thread.GetTestCount(), 9);
  }
  thread.SetBreak();
  for (auto [segX, segY] : {std::pair<Int32, Int32>{10, 10}, {200, 150}})
  {
    ExpectError(CreatePlaneGeometry(10.0, 10.0, segX, segY, PLANETESSELATIONMODE::TRIS1, true, &thread),
                ERRORKIND::UNEXPECTED, "CreatePlaneGeometry() cancelled!");
    EXPECT_EQ(host::GetLiveNodeCount(), _live);
  }
  // A plane of one row (segY 0 is refused, so one cell row: rows 0 and 1): row 1 still tests.
  ExpectError(CreatePlaneGeometry(10.0, 10.0, 4, 1, PLANETESSELATIONMODE::QUADS, false, &thread),
              ERRORKIND::UNEXPECTED, "CreatePlaneGeometry() cancelled!");
}

TEST_F(GeometryTest, ACancelledRowIsStillFilled)
{
  // The worker fills its row before it reports the break, so the loop's other rows never see a
  // half-written neighbour.
  PlaneGeometryRowsJob job;
  std::vector<Vector> points(6, Vector(-7.0));
  std::vector<CPolygon> polygons(2, CPolygon(-1, -1, -1, -1));
  job.points = points.data();
  job.polygons = polygons.data();
  job.sizeX = 4.0;
  job.sizeY = 2.0;
  job.segX = 2;
  job.segY = 1;
  job.cellSizeX = 2.0;
  job.cellSizeY = 2.0;
  job.inverseSegX = 0.5;
  job.inverseSegY = 1.0;
  HostThread thread;
  thread.SetBreak();
  job.thread = &thread;
  const Result<void> row0 = CreatePlaneGeometryRowsWorker(job, 0);   // skipped by the mask
  EXPECT_TRUE(row0.IsOk());
  const Result<void> row1 = CreatePlaneGeometryRowsWorker(job, 1);
  ASSERT_TRUE(row1.IsError());
  EXPECT_EQ(row1.GetError().GetMessage(), "CreatePlaneGeometry() cancelled!");
  EXPECT_EQ(points[3], Vector(-2, 0, -1));
  EXPECT_EQ(points[5], Vector(2, 0, -1));
  EXPECT_EQ(polygons[1], CPolygon(2, 5, 4, 1));
}

// ---------------------------------------------------------------------------------------------------
// Current state to object

class CurrentStateTest : public GeometryTest
{
protected:
  void SetUp() override
  {
    GeometryTest::SetUp();
    ASSERT_TRUE(RegisterObjectPlugin(ID_TESTGENERATOR, "Triangle generator", OBJECT_GENERATOR,
                                     TriangleGenerator::Alloc, "otrianglegenerator", nullptr, 0));
  }
};

TEST_F(CurrentStateTest, AGeneratorCollapsesToItsCacheWithTheInputsGlobalMatrix)
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseObject* parent = BaseObject::Alloc(Onull);
  parent->SetMl(Matrix(Vector(10, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  BaseObject* gen = BaseObject::Alloc(ID_TESTGENERATOR);
  gen->GetDataInstance()->SetFloat(1000, 3.0);
  gen->SetMl(Matrix(Vector(0, 0, 2), Vector(0, 0, -1), Vector(0, 1, 0), Vector(1, 0, 0)));
  doc->InsertObject(parent, nullptr);
  doc->InsertObject(gen, parent);
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  BaseObject* ownCache = host::BuildObjectCache(gen, &hh);
  ASSERT_NE(ownCache, nullptr);
  const Int dataBefore = gen->GetDirty(DIRTYFLAGS::DATA | DIRTYFLAGS::MATRIX | DIRTYFLAGS::CACHE);
  const Int liveBefore = host::GetLiveNodeCount();

  Result<BaseObject*> r = CurrentStateToObject(gen);
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetMessage().c_str();
  ObjPtr result(r.GetValue());
  EXPECT_EQ(result->GetType(), Opolygon);
  EXPECT_EQ(result->GetDocument(), nullptr);
  EXPECT_EQ(result->GetUp(), nullptr);
  EXPECT_EQ(static_cast<PolygonObject*>(result.get())->GetPointR()[1], Vector(3, 0, 0));
  EXPECT_EQ(result->GetMg(), gen->GetMg());
  // The input is untouched: same cache, same counts, still in its document; the temporary document
  // and the clone in it are gone.
  EXPECT_EQ(gen->GetCache(), ownCache);
  EXPECT_EQ(gen->GetDirty(DIRTYFLAGS::DATA | DIRTYFLAGS::MATRIX | DIRTYFLAGS::CACHE), dataBefore);
  EXPECT_EQ(gen->GetDocument(), doc);
  EXPECT_EQ(host::GetLiveNodeCount(), liveBefore + 3);   // the result with its point and polygon tags
  result.reset();
  BaseDocument::Free(doc);
}

TEST_F(CurrentStateTest, ObjectsOutsideADocumentAndSplinesCollapseToo)
{
  SplineObject* spline = SplineObject::Alloc(3, SPLINETYPE::LINEAR);
  spline->GetPointW()[2] = Vector(0, 0, 9);
  spline->SetMl(Matrix(Vector(1, 2, 3), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  ObjPtr owner(spline);
  Result<BaseObject*> r = CurrentStateToObject(spline);
  ASSERT_TRUE(r.IsOk());
  ObjPtr result(r.GetValue());
  EXPECT_EQ(result->GetType(), Ospline);
  EXPECT_EQ(static_cast<SplineObject*>(result.get())->GetPointR()[2], Vector(0, 0, 9));
  EXPECT_EQ(result->GetMg(), spline->GetMg());
  EXPECT_EQ(spline->GetDocument(), nullptr);
}

TEST_F(CurrentStateTest, Errors)
{
  {
    const Result<BaseObject*> r = CurrentStateToObject(nullptr);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::NULLPTR);
    EXPECT_EQ(r.GetError().GetMessage(), "objectPtr must not be NULL!");
  }
  ObjPtr null(BaseObject::Alloc(Onull));
  ObjPtr poly(PolygonObject::Alloc(3, 1));
  // An object the command cannot collapse, and a refused command.
  for (int k = 0; k < 2; ++k)
  {
    if (k == 1)
      host::SetModelingCommandRefused(MCOMMAND_CURRENTSTATETOOBJECT, true);
    const Result<BaseObject*> r = CurrentStateToObject(k == 0 ? null.get() : poly.get());
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(r.GetError().GetMessage(), kCommandMessage);
  }
  host::SetModelingCommandRefused(MCOMMAND_CURRENTSTATETOOBJECT, false);

  // Every allocation failing in turn: the first is the temporary document, then the clone, then the
  // command's own; each fails with its message and leaves nothing behind.
  std::vector<String> messages;
  const Int live = host::GetLiveNodeCount();
  for (Int n = 1;; ++n)
  {
    ASSERT_LT(n, 50);
    Result<BaseObject*> r = [&] {
      host::ScopedAllocationFailure fail(n);
      return CurrentStateToObject(poly.get());
    }();
    if (r.IsOk())
    {
      BaseObject* o = r.GetValue();
      BaseObject::Free(o);
      break;
    }
    if (messages.empty() || messages.back() != r.GetError().GetMessage())
      messages.push_back(r.GetError().GetMessage());
    EXPECT_EQ(host::GetLiveNodeCount(), live) << n;
  }
  EXPECT_EQ(messages, (std::vector<String>{"Could not allocate temporary document!", "Could not clone input object!",
                                           kCommandMessage}));
}
