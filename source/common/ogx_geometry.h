// Host geometry made by the module: the flat grid mesh the terrain object turns into its terrain
// (CreatePlaneGeometry), and the collapse of any object to the plain geometry the host would make of
// it (CurrentStateToObject), which the spline operator reads.
//
// The plane has one point per terrain grid cell in the grid's order: row j = 0 .. segY, column
// i = 0 .. segX, point (segX + 1) * j + i at x = i * sizeX / segX - sizeX / 2, y = 0,
// z = sizeY / 2 - j * sizeY / segY (row 0 at +Z). Each cell becomes one quad or two triangles
// (PLANETESSELATIONMODE); the UVW tag maps the plane onto the unit square, v = 0 at row 0. Rows are
// filled in the host's parallel loop (one thread up to 10000 points); each row writes only its own
// points, polygons and UVW entries.
//
// Both functions return a new object that the caller owns; nothing partly built survives a failure.
#pragma once

#include "host/core/result.h"
#include "host/core/thread.h"
#include "host/geometry/geometrytags.h"
#include "orogenix/enums.h"

// The record shared by all rows of one plane build; read-only while the rows run (each row writes
// only its own entries of the arrays behind the pointers).
struct PlaneGeometryRowsJob
{
  Vector* points = nullptr;
  CPolygon* polygons = nullptr;
  Float sizeX = 0.0;
  Float sizeY = 0.0;
  Int32 segX = 0;
  Int32 segY = 0;
  Float cellSizeX = 0.0;     // sizeX / segX
  Float cellSizeY = 0.0;     // sizeY / segY
  Float inverseSegX = 0.0;   // 1 / segX (0 for no segments)
  Float inverseSegY = 0.0;   // 1 / segY (0 for no segments)
  PLANETESSELATIONMODE mode = PLANETESSELATIONMODE::QUADS;
  UVWTag* uvwTag = nullptr;       // null: no UVWs are written
  UVWHandle uvwHandle = nullptr;  // the tag's writable data
  HostThread* thread = nullptr;   // tested for a break; null: no break test
};

// Builds the plane mesh. sizeX and sizeY must be finite and above 0, segX and segY above 0
// (illegal-argument error "A size or segments parameter is 0!" otherwise, before anything is
// allocated); counts beyond the host's 32-bit point and polygon counts are refused as well. Any other
// PLANETESSELATIONMODE value builds quads. With a thread, the row loop stops with the unexpected error
// "CreatePlaneGeometry() cancelled!" when a break is requested.
Result<PolygonObject*> CreatePlaneGeometry(Float sizeX, Float sizeY, Int32 segX, Int32 segY,
                                           PLANETESSELATIONMODE mode, Bool withUVW, HostThread* thread);

// A copy of object as the host's current-state-to-object command makes it, in no document, given
// object's global matrix; object itself is not changed. The temporary document the command runs in is
// freed on every path.
Result<BaseObject*> CurrentStateToObject(BaseObject* object);

// The pieces of the plane's row loop.
// Runs the rows 0 .. segY of the job on the host's parallel loop with threadCount threads.
Result<void> CreatePlaneGeometryRowsDispatch(const PlaneGeometryRowsJob& job, Int threadCount);
// One iteration: the break test (mask 999), then the row; a cancelled row is still filled, and the
// cancellation is its result.
Result<void> CreatePlaneGeometryRowsWorker(const PlaneGeometryRowsJob& job, Int row);
// Fills row j: its points and, below the last row, its cells' polygons and UVWs.
void CreatePlaneGeometryRows(const PlaneGeometryRowsJob& job, Int32 j);
// Threads for a plane of pointCount points: the calling thread alone up to 10000 points, else all.
Int PlaneGeometryLoopThreads(Int pointCount);
