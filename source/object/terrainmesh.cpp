#include "object/terrainmesh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "host/core/log.h"
#include "host/geometry/geometrytags.h"
#include "host/scene/gelistnode.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"

#include "common/ogx_geometry.h"
#include "orogenix/ogx_parallel.h"

namespace
{
// Resource string of the hull object's name.
constexpr Int32 IDS_HULL_NAME = 10085;
// Name of the hull's polygon selection tag.
constexpr const char* HULL_SELECTION_NAME = "b";

// Owns a host object until it is handed out, so that every early error return frees what was built.
template <typename T>
struct HostObjectFree
{
  void operator()(T* op) const
  {
    BaseList2D* node = op;
    host::FreeNode(node);
  }
};
template <typename T>
using HostObjectPtr = std::unique_ptr<T, HostObjectFree<T>>;

// The point of cell i as the mesh shows it: flat at the cell's height, or bent onto the planet.
Vector TerrainPoint(const Grid2D<Float>& terrain, Int i, const PlanetRecord& planet)
{
  const Vector p = GetCellPosition(terrain, i);
  const Float h = terrain.cells[i];
  if (planet.planet)
    return BendOntoPlanet(p, h, planet);
  return Vector(p.x, h, p.z);
}

// trunc(fraction * extent), clamped to [0, extent - 1].
Int ClampedIndex(Float fraction, Int extent)
{
  const Int v = static_cast<Int>(fraction * static_cast<Float>(extent));
  return v < 0 ? 0 : (v > extent - 1 ? extent - 1 : v);
}
} // namespace

PlanetRecord MakePlanetRecord(Bool planet, Float radius, Bool inside)
{
  PlanetRecord r;
  r.planet = planet;
  r.radius = radius;
  r.inside = inside;
  if (planet)
    r.centre = inside ? Vector(0.0, radius, 0.0) : Vector(0.0, -radius, 0.0);
  return r;
}

Vector BendOntoPlanet(const Vector& p, Float h, const PlanetRecord& planet)
{
  const Vector d = (p - planet.centre).GetNormalized();
  if (planet.inside)
    return planet.centre + d * planet.radius - d * h;
  return planet.centre + d * planet.radius + d * h;
}

Vector GetCellPosition(const Grid2D<Float>& grid, Int i)
{
  const Int w = grid.width > 0 ? grid.width : 1;
  const Int column = i % w;
  const Int row = i / w;
  const Float x = GridFraction(column, grid.width - 1) * grid.sizeX - grid.sizeX * 0.5;
  const Float z = grid.sizeY * 0.5 - GridFraction(row, grid.height - 1) * grid.sizeY;
  return Vector(x, 0.0, z);
}

Result<void> ApplyEdgeFalloff(Grid2D<Float>& terrain, Float edgeHeight)
{
  const Float halfX = terrain.sizeX * 0.5;
  const Float halfY = terrain.sizeY * 0.5;
  const Float ax = halfX == 0.0 ? 0.0 : 1.0 / halfX;
  const Float az = halfY == 0.0 ? 0.0 : 1.0 / halfY;
  const Int w = terrain.width;
  const Int h = terrain.height;
  if (terrain.cellCount == 0)
    return {};

  // The ramp factors depend on the column (a) or the row (b) alone, so they are computed once per column
  // and row, from the same positions GetCellPosition gives, rather than once per cell.
  BaseArray<Float> columnRamp;
  BaseArray<Float> rowRamp;
  if (columnRamp.Resize(w).IsError() || rowRamp.Resize(h).IsError())
    return OutOfMemoryError("Could not allocate the edge falloff ramps!");
  Float* a = columnRamp.GetFirst();
  Float* b = rowRamp.GetFirst();
  for (Int column = 0; column < w; ++column)
  {
    const Float x = GridFraction(column, w - 1) * terrain.sizeX - terrain.sizeX * 0.5;
    a[column] = 1.0 - std::abs(x) * ax;
  }
  for (Int row = 0; row < h; ++row)
  {
    const Float z = terrain.sizeY * 0.5 - GridFraction(row, h - 1) * terrain.sizeY;
    b[row] = 1.0 - std::abs(z) * az;
  }
  Float* cells = terrain.cells.GetFirst();

  return OGX::ParallelForBlocks(
    0, terrain.cellCount,
    [&](Int begin, Int end) {
      Int column = begin % w;
      Int row = begin / w;
      for (Int i = begin; i < end; ++i)
      {
        // Border cells take the edge height exactly: it is stored rather than blended towards, since
        // cell + (edgeHeight - cell) need not round back to edgeHeight (and a non-finite cell never
        // would).
        if (column == 0 || column == w - 1 || row == 0 || row == h - 1)
          cells[i] = edgeHeight;
        else
        {
          const Float t = std::sqrt(a[column] * b[row]);
          Float s;
          if (t < 0.0 || std::isnan(t))
            s = 0.0;
          else if (t >= 1.0)
            s = 1.0;
          else
            s = (3.0 - 2.0 * t) * t * t;
          cells[i] = cells[i] + (edgeHeight - cells[i]) * (1.0 - s);
        }
        if (++column == w)
        {
          column = 0;
          ++row;
        }
      }
    },
    OGX::LOOP_ALLTHREADS);
}

Result<PolygonObject*> BuildTerrainPlaneGeometry(const Grid2D<Float>& terrain, BaseArray<Int32>& borderRing,
                                                 Float sizeX, Float sizeZ, Int32 segX, Int32 segZ,
                                                 const PlanetRecord& planet, PLANETESSELATIONMODE tessellation,
                                                 Bool ringWanted)
{
  PolygonObject* plane = HOST_TRY(CreatePlaneGeometry(sizeX, sizeZ, segX, segZ, tessellation, true, nullptr));
  HostObjectPtr<PolygonObject> mesh(plane);

  Vector* points = mesh->GetPointW();
  if (!points)
    return NullptrError("Could not get writeable vertex pointer!");
  const Int pointCount = mesh->GetPointCount();
  // The heights come from the grid cell by cell, so the grid must have exactly one cell per point.
  if (pointCount != terrain.cellCount)
    return IllegalStateError("The terrain grid does not match the plane!");

  const Float* cells = terrain.cells.GetFirst();
  HOST_TRY(OGX::ParallelForBlocks(
    0, pointCount,
    [&](Int begin, Int end) {
      if (planet.planet)
      {
        for (Int i = begin; i < end; ++i)
          points[i] = BendOntoPlanet(Vector(points[i].x, 0.0, points[i].z), cells[i], planet);
      }
      else
      {
        for (Int i = begin; i < end; ++i)
          points[i].y = cells[i];
      }
    },
    OGX::ThreadsFor(pointCount, OGX::LOOP_SERIAL_ITEMS)));

  if (ringWanted)
  {
    borderRing.Reset();
    const Int32 w = segX + 1;
    const Int32 n = static_cast<Int32>(pointCount);
    if (borderRing.Resize(2 * (static_cast<Int>(segX) + segZ) + 1).IsError())
      return OutOfMemoryError("Could not allocate the border ring!");
    Int32* ring = borderRing.GetFirst();
    for (Int32 i = 0; i < segX; ++i)
      ring[i] = i;
    for (Int32 j = 0; j < segZ; ++j)
      ring[segX + j] = segX + j * w;
    for (Int32 i = 0; i < segX; ++i)
      ring[segX + segZ + i] = n - 1 - i;
    for (Int32 j = 0; j < segZ; ++j)
      ring[2 * segX + segZ + j] = n - 1 - segX - j * w;
    // The last entry stays 0: the ring closes at the first point.
  }
  return mesh.release();
}

PolygonObject* BuildTerrainPlane(const Grid2D<Float>& terrain, BaseArray<Int32>& borderRing, Float sizeX, Float sizeZ,
                                 Int32 segX, Int32 segZ, const PlanetRecord& planet,
                                 PLANETESSELATIONMODE tessellation, Bool ringWanted)
{
  Result<PolygonObject*> mesh =
    BuildTerrainPlaneGeometry(terrain, borderRing, sizeX, sizeZ, segX, segZ, planet, tessellation, ringWanted);
  if (mesh.IsError())
  {
    ConsolePrint(mesh.GetError().GetText());
    return nullptr;
  }
  return mesh.GetValue();
}

Result<PolygonObject*> BuildHullGeometry(const Grid2D<Float>& terrain, const BaseArray<Int32>& borderRing,
                                         Float bottomY, const PlanetRecord& planet)
{
  const Int32 n = static_cast<Int32>(borderRing.GetCount() - 1);
  if (n < 1)
    return IllegalStateError("The border ring is empty!");
  for (const Int32 k : borderRing)
  {
    if (k < 0 || k >= terrain.cellCount)
      return IllegalStateError("The border ring does not match the terrain grid!");
  }

  HostObjectPtr<PolygonObject> hull(PolygonObject::Alloc(2 * n, n));
  if (!hull)
    return OutOfMemoryError("Could not allocate hull PolygonObject!");
  CPolygon* polygons = hull->GetPolygonW();
  if (!polygons)
    return NullptrError("PolygonObject::GetPolygonW() failed!");
  Vector* points = hull->GetPointW();
  if (!points)
    return NullptrError("PolygonObject::GetPointW() failed!");

  // Made in the hull's tag list, so that the hull frees it on every later failure.
  auto* uvwTag = static_cast<UVWTag*>(hull->MakeVariableTag(Tuvw, n));
  if (!uvwTag)
    return OutOfMemoryError("Could not allocate UVWTag!");
  UVWHandle uvw = uvwTag->GetDataAddressW();
  if (!uvw)
    return NullptrError("Could not get writable UVW data adress!");

  const Int threads = OGX::ThreadsFor(n, OGX::LOOP_SERIAL_HULL_POINTS);
  const Int32* ring = borderRing.GetFirst();
  // The ring walked backwards, starting at its closing entry, so the quads face outwards.
  HOST_TRY(ParallelFor(
    0, n,
    [&](Int i) {
      const Vector upper = TerrainPoint(terrain, ring[n - i], planet);
      points[i] = upper;
      points[n + i] = Vector(upper.x, bottomY, upper.z);
    },
    threads, OGX::LOOP_GRANULARITY));

  const Float du = 1.0 / static_cast<Float>(n);
  HOST_TRY(ParallelFor(
    0, n,
    [&](Int index) {
      const Int32 i = static_cast<Int32>(index);
      const Int32 next = i == n - 1 ? 0 : i + 1;
      polygons[i] = CPolygon(i, next, n + next, n + i);
      const Float u0 = static_cast<Float>(i) * du;
      const Float u1 = static_cast<Float>(i + 1) * du;
      UVWTag::Set(uvw, i,
                  UVWStruct(Vector(u0, 0.0, 0.0), Vector(u1, 0.0, 0.0), Vector(u1, 1.0, 0.0), Vector(u0, 1.0, 0.0)));
    },
    threads, OGX::LOOP_GRANULARITY));

  BaseSelect* selection = hull->GetPolygonS();
  if (!selection)
    return NullptrError("PolygonObject::GetPolygonS() failed!");
  if (!selection->SelectRange(0, n - 1))
    return UnexpectedError("Could not select hull polygons!");

  auto* selectionTag = static_cast<SelectionTag*>(hull->MakeTag(Tpolygonselection, uvwTag));
  if (!selectionTag)
    return OutOfMemoryError("Could not allocate SelectionTag!");
  BaseSelect* tagSelection = selectionTag->GetBaseSelect();
  if (!tagSelection)
    return NullptrError("SelectionTag::GetBaseSelect() failed!");
  if (!selection->CopyTo(tagSelection))
    return UnexpectedError("Copying selection data to SelectionTag failed!");

  selectionTag->SetName(HULL_SELECTION_NAME);
  hull->SetName(GeLoadString(IDS_HULL_NAME));
  selectionTag->Message(MSG_UPDATE);
  hull->Message(MSG_UPDATE);
  return hull.release();
}

Bool ReportHullError(const Error& error)
{
  ConsolePrint(error.GetText());
  return false;
}

PolygonObject* BuildHull(const Grid2D<Float>& terrain, const BaseArray<Int32>& borderRing, Float bottomY,
                         const PlanetRecord& planet)
{
  Result<PolygonObject*> hull = BuildHullGeometry(terrain, borderRing, bottomY, planet);
  if (hull.IsError())
  {
    ReportHullError(hull.GetError());
    return nullptr;
  }
  return hull.GetValue();
}

Result<LineObject*> BuildIsoparmGeometry(const Grid2D<Float>& terrain, Int32 count, const PlanetRecord& planet)
{
  const Int w = terrain.width;
  const Int h = terrain.height;
  if (w < 1 || h < 1)
    return IllegalStateError("The terrain grid has no cells!");

  const Int inner = count > 0 ? count : 0;
  // At least 1 each, since inner >= 0 and w, h >= 1: a grid one cell wide or high has a single line in
  // that direction.
  const Int lines1 = std::min<Int>(inner, h - 2) + 2;   // rows: as many as the grid has rows
  const Int lines2 = std::min<Int>(inner, w - 2) + 2;   // columns
  const Int pointCount = lines1 * w + lines2 * h;
  if (pointCount > std::numeric_limits<Int32>::max())
    return OutOfMemoryError("Could not allocate isoparm LineObject!");

  HostObjectPtr<LineObject> line(
    LineObject::Alloc(static_cast<Int32>(pointCount), static_cast<Int32>(lines1 + lines2)));
  if (!line)
    return OutOfMemoryError("Could not allocate isoparm LineObject!");
  Vector* points = line->GetPointW();
  if (!points)
    return NullptrError("LineObject::GetPointW() failed!");
  Segment* segments = line->GetSegmentW();
  if (!segments)
    return NullptrError("LineObject::GetSegmentW() failed!");

  // One index per line: the rows along X first, then the columns along Z.
  HOST_TRY(ParallelFor(
    0, lines1 + lines2,
    [&](Int r) {
      if (r < lines1)
      {
        const Int row = ClampedIndex(GridFraction(r, lines1 - 1), h);
        Vector* out = points + r * w;
        for (Int c = 0; c < w; ++c)
          out[c] = TerrainPoint(terrain, row * w + ClampedIndex(GridFraction(c, w - 1), w), planet);
        segments[r] = Segment{static_cast<Int32>(w), false};
      }
      else
      {
        const Int s = r - lines1;
        const Int column = ClampedIndex(GridFraction(s, lines2 - 1), w);
        Vector* out = points + lines1 * w + s * h;
        for (Int c = 0; c < h; ++c)
          out[c] = TerrainPoint(terrain, ClampedIndex(GridFraction(c, h - 1), h) * w + column, planet);
        segments[r] = Segment{static_cast<Int32>(h), false};
      }
    },
    OGX::ThreadsFor(pointCount, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY));
  return line.release();
}

LineObject* BuildIsoparmLines(const Grid2D<Float>& terrain, Int32 count, const PlanetRecord& planet)
{
  Result<LineObject*> line = BuildIsoparmGeometry(terrain, count, planet);
  if (line.IsError())
  {
    ConsolePrint(line.GetError().GetText());
    return nullptr;
  }
  return line.GetValue();
}
