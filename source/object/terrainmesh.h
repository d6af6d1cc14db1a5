// The terrain mesh: turns the evaluated terrain grid into geometry. An optional edge falloff on the
// grid, the plane mesh with one point per cell (flat, or bent onto a planet sphere), the ring of border
// point indices, the hull (a skirt from the border down to a flat bottom) and the isoparm lines.
//
// Cell i of a grid of width W and height H lies at column i mod W and row i div W, at
// x = column/(W-1) * sizeX - sizeX/2 and z = sizeY/2 - row/(H-1) * sizeY in the terrain object's
// space (row 0 at +Z). The plane's point i is cell i.
//
// Every builder returns a new object that the caller owns, or null after printing its error to the
// host console; nothing half-built survives a failure. The loops run in the host's parallel loop
// without break tests, each index writing only its own points, polygons, UVWs or cells.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/geometry/lineobject.h"
#include "host/scene/baseobject.h"

#include "orogenix/enums.h"
#include "orogenix/grid2d.h"

// The sphere the mesh is bent onto. centre is (0, radius, 0) when viewed from inside, (0, -radius, 0)
// from outside, and the origin when the planet is off.
struct PlanetRecord
{
  Bool planet = false;
  Float radius = 0.0;
  Bool inside = false;
  Vector centre;
};

PlanetRecord MakePlanetRecord(Bool planet, Float radius, Bool inside);

// The point above p at height h on the sphere: along the direction from the centre through p (the zero
// vector when p is the centre), at the radius plus h, or minus h from inside.
Vector BendOntoPlanet(const Vector& p, Float h, const PlanetRecord& planet);

// The position (x, 0, z) of cell i in the terrain object's space (see the header comment). A grid one
// cell wide or high puts its cells at the start of that axis.
Vector GetCellPosition(const Grid2D<Float>& grid, Int i);

// Pulls the cells towards edgeHeight by a smooth ramp that reaches it on the border: border cells take
// edgeHeight, the centre cell keeps its height.
Result<void> ApplyEdgeFalloff(Grid2D<Float>& terrain, Float edgeHeight);

// The plane mesh of segX by segZ segments over sizeX by sizeZ with a UVW tag, its point i at the height
// of terrain cell i (bent onto the planet when it is on). With ringWanted the border ring is rebuilt:
// 2 (segX + segZ) + 1 point indices around the border, starting at point 0 along the first row and
// closing with point 0 again; otherwise it is left as it is.
PolygonObject* BuildTerrainPlane(const Grid2D<Float>& terrain, BaseArray<Int32>& borderRing, Float sizeX, Float sizeZ,
                                 Int32 segX, Int32 segZ, const PlanetRecord& planet,
                                 PLANETESSELATIONMODE tessellation, Bool ringWanted);

// The hull: one quad per ring edge from the border points down to y = bottomY, with a UVW tag running u
// once around the ring and v from the top (0) to the bottom (1), every polygon selected in a polygon
// selection tag named "b", the object named with resource string 10085.
PolygonObject* BuildHull(const Grid2D<Float>& terrain, const BaseArray<Int32>& borderRing, Float bottomY,
                         const PlanetRecord& planet);

// count inner lines per direction (a negative count is taken as 0, at most W - 2 and H - 2), plus the
// two border lines: rows along X, then columns along Z, as open segments over the cells' points.
LineObject* BuildIsoparmLines(const Grid2D<Float>& terrain, Int32 count, const PlanetRecord& planet);

// The same builders with their errors returned instead of printed.
Result<PolygonObject*> BuildTerrainPlaneGeometry(const Grid2D<Float>& terrain, BaseArray<Int32>& borderRing,
                                                 Float sizeX, Float sizeZ, Int32 segX, Int32 segZ,
                                                 const PlanetRecord& planet, PLANETESSELATIONMODE tessellation,
                                                 Bool ringWanted);
Result<PolygonObject*> BuildHullGeometry(const Grid2D<Float>& terrain, const BaseArray<Int32>& borderRing,
                                         Float bottomY, const PlanetRecord& planet);
Result<LineObject*> BuildIsoparmGeometry(const Grid2D<Float>& terrain, Int32 count, const PlanetRecord& planet);

// Prints a hull error to the host console; answers false.
Bool ReportHullError(const Error& error);
