// The terrain mesh: cell positions, planet bending, the edge falloff, the plane with its border ring, the
// hull and the isoparm lines, checked against values worked out here by hand or by a plain walk, and
// every failure path checked for leftovers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/geometry/geometrytags.h"
#include "host/scene/gelistnode.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "object/terrainmesh.h"
#include "support/test_support.h"

namespace
{
template <typename T>
void FreeObject(T*& op)
{
  BaseList2D* node = op;
  host::FreeNode(node);
  op = nullptr;
}

// A grid of w x h cells over sx x sy whose cell i holds value(i).
Grid2D<Float> MakeGrid(Int w, Int h, Float sx, Float sy, const std::function<Float(Int)>& value)
{
  Grid2D<Float> grid;
  EXPECT_TRUE(grid.Init(w, h, sx, sy).IsOk());
  for (Int i = 0; i < grid.cellCount; ++i)
    grid.cells[i] = value(i);
  return grid;
}

Float Distance(const Vector& a, const Vector& b)
{
  return (a - b).GetLength();
}

// The border walked clockwise from cell 0: along the first row, down the last column, back along the
// last row, up the first column, and closed with cell 0 again.
std::vector<Int32> WalkBorder(Int32 w, Int32 h)
{
  std::vector<Int32> ring;
  for (Int32 c = 0; c < w - 1; ++c)
    ring.push_back(c);
  for (Int32 r = 0; r < h - 1; ++r)
    ring.push_back(r * w + (w - 1));
  for (Int32 c = w - 1; c > 0; --c)
    ring.push_back((h - 1) * w + c);
  for (Int32 r = h - 1; r > 0; --r)
    ring.push_back(r * w);
  ring.push_back(0);
  return ring;
}

class TerrainMeshTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    Reset();
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
    _liveNodes = host::GetLiveNodeCount();
  }
  void TearDown() override
  {
    // Every builder's result is freed by the test, and no failure may leave anything behind.
    EXPECT_EQ(host::GetLiveNodeCount(), _liveNodes);
    FreeResource();
    host::SetModuleDirectory(Url());
    Reset();
  }
  static void Reset()
  {
    host::FailNthAllocation(0);
    host::ResetSceneState();
    host::ResetWriteAccessRefusals();
    host::ResetLogs();
  }

  Int _liveNodes = 0;
};

TEST_F(TerrainMeshTest, CellPositions)
{
  struct Case
  {
    const char* name;
    Int w, h;
    Float sx, sy;
    Int cell;
    Vector expected;
  };
  const Case cases[] = {
    {"first cell at -X, +Z", 3, 3, 10.0, 6.0, 0, {-5.0, 0.0, 3.0}},
    {"end of the first row", 3, 3, 10.0, 6.0, 2, {5.0, 0.0, 3.0}},
    {"centre", 3, 3, 10.0, 6.0, 4, {0.0, 0.0, 0.0}},
    {"last cell at +X, -Z", 3, 3, 10.0, 6.0, 8, {5.0, 0.0, -3.0}},
    {"non-square grid", 5, 2, 8.0, 4.0, 6, {-2.0, 0.0, -2.0}},
    {"one column sits at the start of X", 1, 3, 8.0, 4.0, 1, {-4.0, 0.0, 0.0}},
    {"one row sits at the start of Z", 3, 1, 8.0, 4.0, 1, {0.0, 0.0, 2.0}},
  };
  for (const Case& c : cases)
  {
    const Grid2D<Float> grid = MakeGrid(c.w, c.h, c.sx, c.sy, [](Int) { return 0.0; });
    EXPECT_EQ(GetCellPosition(grid, c.cell), c.expected) << c.name;
  }
}

TEST_F(TerrainMeshTest, PlanetBending)
{
  const Float r = 100.0;
  const PlanetRecord outside = MakePlanetRecord(true, r, false);
  const PlanetRecord inside = MakePlanetRecord(true, r, true);
  const PlanetRecord off = MakePlanetRecord(false, r, true);
  EXPECT_EQ(outside.centre, Vector(0.0, -r, 0.0));
  EXPECT_EQ(inside.centre, Vector(0.0, r, 0.0));
  EXPECT_EQ(off.centre, Vector());

  // The origin lies on the sphere: a height moves it straight up from outside, and, seen from inside,
  // a positive height moves it towards the centre above.
  EXPECT_EQ(BendOntoPlanet(Vector(), 2.0, outside), Vector(0.0, 2.0, 0.0));
  EXPECT_EQ(BendOntoPlanet(Vector(), 2.0, inside), Vector(0.0, 2.0, 0.0));
  EXPECT_DOUBLE_EQ(Distance(BendOntoPlanet(Vector(), 2.0, inside), inside.centre), r - 2.0);

  std::mt19937 rng(7);
  std::uniform_real_distribution<Float> pos(-150.0, 150.0);
  std::uniform_real_distribution<Float> height(-20.0, 20.0);
  for (Int k = 0; k < 50; ++k)
  {
    const Vector p(pos(rng), 0.0, pos(rng));
    const Float h = height(rng);
    const Vector out = BendOntoPlanet(p, h, outside);
    const Vector in = BendOntoPlanet(p, h, inside);
    EXPECT_NEAR(Distance(out, outside.centre), r + h, 1e-9);
    EXPECT_NEAR(Distance(in, inside.centre), r - h, 1e-9);
    // The bent point stays on the ray from the centre through p.
    const Vector d = (p - outside.centre).GetNormalized();
    EXPECT_NEAR(Distance(outside.centre + d * (r + h), out), 0.0, 1e-9);
  }
  // A point at the centre has no direction: it lands on the centre.
  EXPECT_EQ(BendOntoPlanet(outside.centre, 5.0, outside), outside.centre);
}

// The falloff as written: the ramp from the cell's position relative to the half sizes.
Float ReferenceFalloff(Float cell, Float x, Float z, Float halfX, Float halfZ, Float edge)
{
  const Float a = 1.0 - std::abs(x) / halfX;
  const Float b = 1.0 - std::abs(z) / halfZ;
  const Float t = std::sqrt(a * b);
  const Float s = (t < 0.0 || std::isnan(t)) ? 0.0 : (t >= 1.0 ? 1.0 : (3.0 - 2.0 * t) * t * t);
  return cell + (edge - cell) * (1.0 - s);
}

TEST_F(TerrainMeshTest, EdgeFalloff)
{
  std::mt19937 rng(11);
  std::uniform_real_distribution<Float> height(-3.0, 7.0);
  const Int w = 7;
  const Int h = 5;
  const Float sx = 3.0;   // 1/1.5 is not exact: the border still lands on the edge height exactly
  const Float sy = 4.0;
  const Float edge = 2.5;
  Grid2D<Float> grid = MakeGrid(w, h, sx, sy, [&](Int) { return height(rng); });
  Grid2D<Float> before;
  ASSERT_TRUE(before.CopyFrom(grid).IsOk());

  ASSERT_TRUE(ApplyEdgeFalloff(grid, edge).IsOk());
  for (Int i = 0; i < grid.cellCount; ++i)
  {
    const Int c = i % w;
    const Int r = i / w;
    if (c == 0 || c == w - 1 || r == 0 || r == h - 1)
    {
      EXPECT_EQ(grid.cells[i], edge) << "border cell " << i;
      continue;
    }
    const Float x = static_cast<Float>(c) / static_cast<Float>(w - 1) * sx - sx / 2.0;
    const Float z = sy / 2.0 - static_cast<Float>(r) / static_cast<Float>(h - 1) * sy;
    EXPECT_NEAR(grid.cells[i], ReferenceFalloff(before.cells[i], x, z, sx / 2.0, sy / 2.0, edge), 1e-12) << i;
  }
  // The centre cell of an odd grid keeps its height.
  EXPECT_EQ(grid.cells[(h / 2) * w + w / 2], before.cells[(h / 2) * w + w / 2]);

  // One thread and all threads agree bit for bit.
  Grid2D<Float> serial;
  ASSERT_TRUE(serial.CopyFrom(before).IsOk());
  {
    SerialScope one;
    ASSERT_TRUE(ApplyEdgeFalloff(serial, edge).IsOk());
  }
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_TRUE(Same(serial.cells[i], grid.cells[i])) << i;
}

// The falloff cell by cell from GetCellPosition, as a straightforward loop would compute it.
void ReferenceEdgeFalloff(Grid2D<Float>& grid, Float edge)
{
  const Float ax = 1.0 / (grid.sizeX * 0.5);
  const Float az = 1.0 / (grid.sizeY * 0.5);
  for (Int i = 0; i < grid.cellCount; ++i)
  {
    const Int c = i % grid.width;
    const Int r = i / grid.width;
    if (c == 0 || c == grid.width - 1 || r == 0 || r == grid.height - 1)
    {
      grid.cells[i] = edge;
      continue;
    }
    const Vector p = GetCellPosition(grid, i);
    const Float a = 1.0 - std::abs(p.x) * ax;
    const Float b = 1.0 - std::abs(p.z) * az;
    const Float t = std::sqrt(a * b);
    const Float s = (t < 0.0 || std::isnan(t)) ? 0.0 : (t >= 1.0 ? 1.0 : (3.0 - 2.0 * t) * t * t);
    grid.cells[i] = grid.cells[i] + (edge - grid.cells[i]) * (1.0 - s);
  }
}

TEST_F(TerrainMeshTest, EdgeFalloffMatchesThePerCellFormulaBitForBit)
{
  struct Case
  {
    Int w, h;
    Float sx, sy;
  };
  // Non-square shapes, thin ones, and one large enough that the parallel blocks start inside rows.
  for (const Case c : {Case{5, 3, 3.0, 7.0}, Case{2, 4, 1.0, 2.0}, Case{1, 6, 5.0, 5.0}, Case{6, 1, 5.0, 5.0},
                       Case{37, 211, 0.7, 13.3}})
  {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    std::mt19937 rng(static_cast<unsigned>(c.w * 1000 + c.h));
    std::uniform_real_distribution<Float> height(-50.0, 80.0);
    Grid2D<Float> grid = MakeGrid(c.w, c.h, c.sx, c.sy, [&](Int) { return height(rng); });
    Grid2D<Float> expected;
    ASSERT_TRUE(expected.CopyFrom(grid).IsOk());
    ReferenceEdgeFalloff(expected, -1.25);
    ASSERT_TRUE(ApplyEdgeFalloff(grid, -1.25).IsOk());
    for (Int i = 0; i < grid.cellCount; ++i)
      ASSERT_TRUE(Same(grid.cells[i], expected.cells[i])) << "cell " << i;
  }

  // Without room for the per-column and per-row ramps the cells stay as they were.
  Grid2D<Float> grid = MakeGrid(4, 3, 2.0, 2.0, [](Int i) { return static_cast<Float>(i); });
  for (const Int n : {1, 2})
  {
    host::ScopedAllocationFailure fail(n);
    const Result<void> res = ApplyEdgeFalloff(grid, 9.0);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetText(), "Could not allocate the edge falloff ramps!");
  }
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_EQ(grid.cells[i], static_cast<Float>(i));
}

TEST_F(TerrainMeshTest, PlaneHeightsAndRing)
{
  struct Case
  {
    Int32 segX, segZ;
  };
  for (const Case c : {Case{2, 2}, Case{3, 2}, Case{1, 4}, Case{6, 1}})
  {
    const Int32 w = c.segX + 1;
    const Int32 h = c.segZ + 1;
    const Grid2D<Float> grid = MakeGrid(w, h, 12.0, 8.0, [](Int i) { return 0.25 * static_cast<Float>(i) - 1.0; });
    BaseArray<Int32> ring;
    Result<PolygonObject*> made = BuildTerrainPlaneGeometry(grid, ring, 12.0, 8.0, c.segX, c.segZ, PlanetRecord(),
                                                            PLANETESSELATIONMODE::QUADS, true);
    ASSERT_TRUE(made.IsOk()) << made.GetError().GetText();
    PolygonObject* mesh = made.GetValue();
    ASSERT_EQ(mesh->GetPointCount(), grid.cellCount);
    const Vector* points = mesh->GetPointR();
    for (Int i = 0; i < grid.cellCount; ++i)
    {
      const Vector cell = GetCellPosition(grid, i);
      EXPECT_EQ(points[i].y, grid.cells[i]);
      EXPECT_NEAR(points[i].x, cell.x, 1e-12);
      EXPECT_NEAR(points[i].z, cell.z, 1e-12);
    }
    const std::vector<Int32> expected = WalkBorder(w, h);
    ASSERT_EQ(ring.GetCount(), static_cast<Int>(expected.size()));
    for (Int k = 0; k < ring.GetCount(); ++k)
      EXPECT_EQ(ring[k], expected[static_cast<std::size_t>(k)]) << c.segX << "x" << c.segZ << " entry " << k;
    EXPECT_NE(mesh->GetTag(Tuvw), nullptr);
    FreeObject(mesh);
  }

  // The 3 x 3 grid's ring, as written out by hand.
  const Grid2D<Float> grid = MakeGrid(3, 3, 2.0, 2.0, [](Int) { return 0.0; });
  BaseArray<Int32> ring;
  PolygonObject* mesh =
    BuildTerrainPlane(grid, ring, 2.0, 2.0, 2, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true);
  ASSERT_NE(mesh, nullptr);
  const Int32 handRing[] = {0, 1, 2, 5, 8, 7, 6, 3, 0};
  ASSERT_EQ(ring.GetCount(), 9);
  for (Int k = 0; k < 9; ++k)
    EXPECT_EQ(ring[k], handRing[k]);
  FreeObject(mesh);

  // Without a ring wanted the ring is left as it was.
  mesh = BuildTerrainPlane(grid, ring, 2.0, 2.0, 2, 2, PlanetRecord(), PLANETESSELATIONMODE::TRIS1, false);
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(ring.GetCount(), 9);
  EXPECT_EQ(mesh->GetPolygonCount(), 8);
  FreeObject(mesh);
}

TEST_F(TerrainMeshTest, PlaneOnPlanet)
{
  std::mt19937 rng(3);
  std::uniform_real_distribution<Float> height(-4.0, 9.0);
  const Grid2D<Float> grid = MakeGrid(9, 7, 80.0, 60.0, [&](Int) { return height(rng); });
  for (const Bool inside : {false, true})
  {
    const PlanetRecord planet = MakePlanetRecord(true, 50.0, inside);
    BaseArray<Int32> ring;
    PolygonObject* mesh =
      BuildTerrainPlane(grid, ring, 80.0, 60.0, 8, 6, planet, PLANETESSELATIONMODE::QUADS, false);
    ASSERT_NE(mesh, nullptr);
    const Vector* points = mesh->GetPointR();
    for (Int i = 0; i < grid.cellCount; ++i)
    {
      const Float expected = inside ? 50.0 - grid.cells[i] : 50.0 + grid.cells[i];
      EXPECT_NEAR(Distance(points[i], planet.centre), expected, 1e-9) << i;
      EXPECT_NEAR(Distance(points[i], BendOntoPlanet(GetCellPosition(grid, i), grid.cells[i], planet)), 0.0, 1e-9);
    }
    FreeObject(mesh);
  }
}

TEST_F(TerrainMeshTest, PlaneRefusesMismatchAndPrintsErrors)
{
  const Grid2D<Float> grid = MakeGrid(3, 3, 2.0, 2.0, [](Int) { return 0.0; });
  BaseArray<Int32> ring;
  // One segment more than the grid has cells for: the heights would be read past the cells.
  Result<PolygonObject*> wrong =
    BuildTerrainPlaneGeometry(grid, ring, 2.0, 2.0, 3, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true);
  ASSERT_TRUE(wrong.IsError());
  EXPECT_EQ(wrong.GetError().GetText(), "The terrain grid does not match the plane!");

  // The plane builder's own refusal reaches the console through the printing form.
  EXPECT_EQ(BuildTerrainPlane(grid, ring, 2.0, 2.0, 0, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true), nullptr);
  EXPECT_EQ(host::Console().GetLast(), "A size or segments parameter is 0!");

  host::SetWriteAccessRefused(Tpoint, true);
  EXPECT_EQ(BuildTerrainPlane(grid, ring, 2.0, 2.0, 2, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true), nullptr);
  EXPECT_FALSE(host::Console().GetLines().empty());
}

// Runs build once with the n-th host allocation failing for every n up to the count a successful build
// makes: each run either fails or succeeds, and leaves nothing behind either way (checked in TearDown and
// here). Returns the messages of the failures.
std::vector<String> SweepAllocationFailures(const std::function<Result<BaseList2D*>()>& build)
{
  const Int start = host::GetAllocationCount();
  Result<BaseList2D*> good = build();
  EXPECT_TRUE(good.IsOk());
  if (good.IsError())
    return {};
  BaseList2D* node = good.GetValue();
  host::FreeNode(node);
  const Int allocations = host::GetAllocationCount() - start;

  std::vector<String> messages;
  for (Int n = 1; n <= allocations; ++n)
  {
    const Int live = host::GetLiveNodeCount();
    Result<BaseList2D*> r = [&] {
      host::ScopedAllocationFailure fail(n);
      return build();
    }();
    if (r.IsOk())
    {
      BaseList2D* made = r.GetValue();
      host::FreeNode(made);
    }
    else
    {
      messages.push_back(r.GetError().GetText());
    }
    EXPECT_EQ(host::GetLiveNodeCount(), live) << "allocation " << n << " left nodes behind";
  }
  return messages;
}

Bool Contains(const std::vector<String>& lines, const String& line)
{
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(TerrainMeshTest, PlaneFreesEverythingOnFailure)
{
  const Grid2D<Float> grid = MakeGrid(4, 3, 6.0, 4.0, [](Int i) { return static_cast<Float>(i); });
  BaseArray<Int32> ring;
  const std::vector<String> messages = SweepAllocationFailures([&]() -> Result<BaseList2D*> {
    return HOST_TRY(
      BuildTerrainPlaneGeometry(grid, ring, 6.0, 4.0, 3, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true));
  });
  // The ring is the last allocation: its failure must free the finished mesh.
  EXPECT_TRUE(Contains(messages, "Could not allocate the border ring!"));
}

TEST_F(TerrainMeshTest, HullOfSmallGrid)
{
  const Grid2D<Float> grid = MakeGrid(3, 3, 4.0, 2.0, [](Int i) { return static_cast<Float>(i) + 0.5; });
  BaseArray<Int32> ring;
  PolygonObject* mesh =
    BuildTerrainPlane(grid, ring, 4.0, 2.0, 2, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true);
  ASSERT_NE(mesh, nullptr);
  PolygonObject* hull = BuildHull(grid, ring, -10.0, PlanetRecord());
  ASSERT_NE(hull, nullptr);

  const Int32 n = 8;
  ASSERT_EQ(hull->GetPointCount(), 2 * n);
  ASSERT_EQ(hull->GetPolygonCount(), n);
  const Vector* points = hull->GetPointR();
  const Vector* meshPoints = mesh->GetPointR();
  // The ring walked backwards from its closing entry: cells 0, 3, 6, 7, 8, 5, 2, 1.
  const Int32 cells[] = {0, 3, 6, 7, 8, 5, 2, 1};
  for (Int32 i = 0; i < n; ++i)
  {
    const Vector& top = meshPoints[cells[i]];
    EXPECT_NEAR(Distance(points[i], top), 0.0, 1e-12) << i;
    EXPECT_EQ(points[n + i], Vector(points[i].x, -10.0, points[i].z)) << i;
  }

  const CPolygon* polygons = hull->GetPolygonR();
  for (Int32 i = 0; i < n; ++i)
  {
    const Int32 next = (i + 1) % n;
    EXPECT_EQ(polygons[i], CPolygon(i, next, n + next, n + i)) << i;
  }
  // The last quad joins the last ring point to the first, while its UVWs run on up to u = 1.
  EXPECT_EQ(polygons[7], CPolygon(7, 0, 8, 15));

  auto* uvw = static_cast<UVWTag*>(hull->GetTag(Tuvw));
  ASSERT_NE(uvw, nullptr);
  ASSERT_EQ(uvw->GetDataCount(), n);
  for (Int32 i = 0; i < n; ++i)
  {
    const Float u0 = i / 8.0;
    const Float u1 = (i + 1) / 8.0;
    EXPECT_EQ(uvw->GetSlow(i), UVWStruct(Vector(u0, 0.0, 0.0), Vector(u1, 0.0, 0.0), Vector(u1, 1.0, 0.0),
                                         Vector(u0, 1.0, 0.0)))
      << i;
  }
  EXPECT_EQ(uvw->GetSlow(7).b, Vector(1.0, 0.0, 0.0));

  auto* selection = static_cast<SelectionTag*>(hull->GetTag(Tpolygonselection));
  ASSERT_NE(selection, nullptr);
  EXPECT_EQ(selection->GetName(), "b");
  EXPECT_EQ(selection->GetBaseSelect()->GetCount(), n);
  for (Int32 i = 0; i < n; ++i)
    EXPECT_TRUE(selection->GetBaseSelect()->IsSelected(i));
  EXPECT_TRUE(hull->GetPolygonS()->IsEqual(*selection->GetBaseSelect()));
  EXPECT_EQ(hull->GetName(), GeLoadString(10085));

  const std::vector<Int32> hullMessages = host::GetMessageLog(hull);
  const std::vector<Int32> tagMessages = host::GetMessageLog(selection);
  EXPECT_NE(std::find(hullMessages.begin(), hullMessages.end(), MSG_UPDATE), hullMessages.end());
  EXPECT_NE(std::find(tagMessages.begin(), tagMessages.end(), MSG_UPDATE), tagMessages.end());

  FreeObject(hull);
  FreeObject(mesh);
}

TEST_F(TerrainMeshTest, LargeHullIsTheSameOnAllThreads)
{
  // A ring of more than 1000 points runs on all threads; one thread must give the same hull.
  const Grid2D<Float> grid =
    MakeGrid(400, 300, 40.0, 30.0, [](Int i) { return std::sin(0.01 * static_cast<Float>(i)); });
  BaseArray<Int32> ring;
  PolygonObject* mesh =
    BuildTerrainPlane(grid, ring, 40.0, 30.0, 399, 299, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true);
  ASSERT_NE(mesh, nullptr);
  PolygonObject* parallel = BuildHull(grid, ring, -3.0, PlanetRecord());
  PolygonObject* serial = nullptr;
  {
    SerialScope one;
    serial = BuildHull(grid, ring, -3.0, PlanetRecord());
  }
  ASSERT_NE(parallel, nullptr);
  ASSERT_NE(serial, nullptr);
  const Int32 n = parallel->GetPolygonCount();
  ASSERT_EQ(n, 2 * (399 + 299));
  for (Int32 i = 0; i < 2 * n; ++i)
    EXPECT_TRUE(Same(parallel->GetPointR()[i], serial->GetPointR()[i])) << i;
  for (Int32 i = 0; i < n; ++i)
  {
    EXPECT_EQ(parallel->GetPolygonR()[i], serial->GetPolygonR()[i]);
    EXPECT_EQ(static_cast<UVWTag*>(parallel->GetTag(Tuvw))->GetSlow(i),
              static_cast<UVWTag*>(serial->GetTag(Tuvw))->GetSlow(i));
  }
  FreeObject(serial);
  FreeObject(parallel);
  FreeObject(mesh);
}

TEST_F(TerrainMeshTest, HullFailures)
{
  const Grid2D<Float> grid = MakeGrid(4, 3, 6.0, 4.0, [](Int i) { return static_cast<Float>(i); });
  BaseArray<Int32> ring;
  PolygonObject* mesh =
    BuildTerrainPlane(grid, ring, 6.0, 4.0, 3, 2, PlanetRecord(), PLANETESSELATIONMODE::QUADS, true);
  ASSERT_NE(mesh, nullptr);

  struct Case
  {
    Int32 refusedTag;
    const char* message;
  };
  const Case cases[] = {
    {Tpolygon, "PolygonObject::GetPolygonW() failed!"},
    {Tpoint, "PolygonObject::GetPointW() failed!"},
    {Tuvw, "Could not get writable UVW data adress!"},
  };
  for (const Case& c : cases)
  {
    host::SetWriteAccessRefused(c.refusedTag, true);
    host::ResetLogs();
    EXPECT_EQ(BuildHull(grid, ring, -1.0, PlanetRecord()), nullptr);
    EXPECT_EQ(host::Console().GetLines(), std::vector<String>{c.message});
    host::SetWriteAccessRefused(c.refusedTag, false);
  }

  BaseArray<Int32> empty;
  Result<PolygonObject*> none = BuildHullGeometry(grid, empty, -1.0, PlanetRecord());
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetText(), "The border ring is empty!");

  const std::vector<String> messages = SweepAllocationFailures(
    [&]() -> Result<BaseList2D*> { return HOST_TRY(BuildHullGeometry(grid, ring, -1.0, PlanetRecord())); });
  EXPECT_TRUE(Contains(messages, "Could not allocate hull PolygonObject!"));
  EXPECT_TRUE(Contains(messages, "Could not allocate UVWTag!"));
  EXPECT_TRUE(Contains(messages, "Could not allocate SelectionTag!"));
  FreeObject(mesh);
}

// Line r of the rows and of the columns, as the isoparms are meant to lie: row or column
// trunc(r / (k - 1) * extent) and points at trunc(c / (n - 1) * n), clamped into the grid.
std::vector<std::vector<Int>> ExpectedIsoparmCells(Int w, Int h, Int count)
{
  const Int inner = std::max<Int>(count, 0);
  // Rows are bounded by the rows there are, columns by the columns.
  const Int k1 = std::min(inner, h - 2) + 2;
  const Int k2 = std::min(inner, w - 2) + 2;
  auto at = [](Int i, Int k, Int extent) {
    const Float f = k <= 1 ? 0.0 : static_cast<Float>(i) / static_cast<Float>(k - 1);
    return std::clamp<Int>(static_cast<Int>(f * static_cast<Float>(extent)), 0, extent - 1);
  };
  std::vector<std::vector<Int>> lines;
  for (Int r = 0; r < k1; ++r)
  {
    std::vector<Int> line;
    for (Int c = 0; c < w; ++c)
      line.push_back(at(r, k1, h) * w + at(c, w, w));
    lines.push_back(line);
  }
  for (Int r = 0; r < k2; ++r)
  {
    std::vector<Int> line;
    for (Int c = 0; c < h; ++c)
      line.push_back(at(c, h, h) * w + at(r, k2, w));
    lines.push_back(line);
  }
  return lines;
}

void CheckIsoparms(const Grid2D<Float>& grid, Int32 count, const PlanetRecord& planet)
{
  Result<LineObject*> made = BuildIsoparmGeometry(grid, count, planet);
  ASSERT_TRUE(made.IsOk()) << made.GetError().GetText();
  LineObject* line = made.GetValue();
  const std::vector<std::vector<Int>> expected = ExpectedIsoparmCells(grid.width, grid.height, count);
  ASSERT_EQ(line->GetSegmentCount(), static_cast<Int32>(expected.size()));
  const Vector* points = line->GetPointR();
  const Segment* segments = line->GetSegmentR();
  Int p = 0;
  for (std::size_t s = 0; s < expected.size(); ++s)
  {
    EXPECT_EQ(segments[s], (Segment{static_cast<Int32>(expected[s].size()), false}));
    for (const Int cell : expected[s])
    {
      const Vector flat = GetCellPosition(grid, cell);
      const Vector want =
        planet.planet ? BendOntoPlanet(flat, grid.cells[cell], planet) : Vector(flat.x, grid.cells[cell], flat.z);
      EXPECT_EQ(points[p], want) << "segment " << s << " cell " << cell;
      ++p;
    }
  }
  EXPECT_EQ(p, line->GetPointCount());
  FreeObject(line);
}

TEST_F(TerrainMeshTest, IsoparmRows)
{
  // Cell i holds i, so every point names the cell it was taken from.
  const Grid2D<Float> big = MakeGrid(501, 501, 500.0, 500.0, [](Int i) { return static_cast<Float>(i); });
  const std::vector<std::vector<Int>> lines = ExpectedIsoparmCells(501, 501, 3);
  ASSERT_EQ(lines.size(), 10u);
  // Rows and columns 0, 125, 250, 375 and 500 (the last clamped from 501).
  const Int at[] = {0, 125, 250, 375, 500};
  for (Int r = 0; r < 5; ++r)
  {
    EXPECT_EQ(lines[static_cast<std::size_t>(r)][0], at[r] * 501);
    EXPECT_EQ(lines[static_cast<std::size_t>(5 + r)][0], at[r]);
  }
  CheckIsoparms(big, 3, PlanetRecord());

  struct Case
  {
    const char* name;
    Int w, h;
    Int32 count;
  };
  const Case cases[] = {
    {"negative count is taken as 0", 9, 9, -4},
    {"count above the grid's inner lines", 6, 4, 10},
    {"no inner lines", 5, 7, 0},
    {"two by two", 2, 2, 3},
    {"one row", 5, 1, 2},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Grid2D<Float> grid = MakeGrid(c.w, c.h, 10.0, 10.0, [](Int i) { return static_cast<Float>(i); });
    CheckIsoparms(grid, c.count, PlanetRecord());
  }
  // Worked by hand: 6 x 4 cells with count 10 has rows 0, 1, 2, 3 (no row twice) and columns 0 to 5
  // (none missing).
  const std::vector<std::vector<Int>> wide = ExpectedIsoparmCells(6, 4, 10);
  ASSERT_EQ(wide.size(), 10u);
  for (Int r = 0; r < 4; ++r)
    EXPECT_EQ(wide[static_cast<std::size_t>(r)][0], r * 6);
  for (Int c = 0; c < 6; ++c)
    EXPECT_EQ(wide[static_cast<std::size_t>(4 + c)][0], c);
  // A negative count gives the two border lines per direction, as 0 does.
  Result<LineObject*> negative = BuildIsoparmGeometry(
    MakeGrid(9, 9, 1.0, 1.0, [](Int) { return 0.0; }), -4, PlanetRecord());
  ASSERT_TRUE(negative.IsOk());
  EXPECT_EQ(negative.GetValue()->GetSegmentCount(), 4);
  LineObject* line = negative.GetValue();
  FreeObject(line);

  const Grid2D<Float> planetGrid = MakeGrid(7, 5, 30.0, 20.0, [](Int i) { return 0.1 * static_cast<Float>(i); });
  CheckIsoparms(planetGrid, 2, MakePlanetRecord(true, 40.0, false));
}

TEST_F(TerrainMeshTest, IsoparmFailures)
{
  const Grid2D<Float> grid = MakeGrid(6, 5, 10.0, 10.0, [](Int i) { return static_cast<Float>(i); });
  host::SetWriteAccessRefused(Tsegment, true);
  EXPECT_EQ(BuildIsoparmLines(grid, 2, PlanetRecord()), nullptr);
  EXPECT_EQ(host::Console().GetLast(), "LineObject::GetSegmentW() failed!");
  host::SetWriteAccessRefused(Tsegment, false);

  host::SetWriteAccessRefused(Tpoint, true);
  EXPECT_EQ(BuildIsoparmLines(grid, 2, PlanetRecord()), nullptr);
  EXPECT_EQ(host::Console().GetLast(), "LineObject::GetPointW() failed!");
  host::SetWriteAccessRefused(Tpoint, false);

  const Grid2D<Float> empty;
  Result<LineObject*> none = BuildIsoparmGeometry(empty, 2, PlanetRecord());
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetText(), "The terrain grid has no cells!");

  const std::vector<String> messages = SweepAllocationFailures(
    [&]() -> Result<BaseList2D*> { return HOST_TRY(BuildIsoparmGeometry(grid, 2, PlanetRecord())); });
  EXPECT_TRUE(Contains(messages, "Could not allocate isoparm LineObject!"));
}
} // namespace
