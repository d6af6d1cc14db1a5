// The terrain object: the generator that owns the terrain grid, evaluates its operator children into it
// through its evaluation queue and hands the host the finished mesh (plane, optional hull, isoparm
// lines, phong tag) as its cache. It also answers the host's messages (map export, size, resolution and
// density bookkeeping, the resolution cap, the add-operator buttons) and keeps a point index over the
// terrain's cell positions for the spline operator.
//
// Threads: the host builds the cache on its build thread; messages and descriptions come on the main
// thread. The cell index is the only state shared between threads: its key test, rebuild and key store
// run under cellIndexLock, a host spin lock.
#pragma once

#include <cmath>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/thread.h"
#include "host/geometry/pointindex.h"
#include "host/scene/scene.h"

#include "orogenix/baseterrainoperator.h"
#include "orogenix/evaluation.h"
#include "orogenix/grid2d.h"

// The terrain object's parameters, as stored in its container (description "oterrain").
enum : Int32
{
  TERRAINOBJECT_SIZE_X = 10000,
  TERRAINOBJECT_SIZE_Z = 10001,
  TERRAINOBJECT_RESOLUTION_X = 10002,
  TERRAINOBJECT_RESOLUTION_Z = 10003,
  TERRAINOBJECT_ISOPARMS = 10004,
  TERRAINOBJECT_KEEP_DENSITY = 10005,
  TERRAINOBJECT_EDGE_HEIGHT = 10012,
  TERRAINOBJECT_EDGE_FALLOFF = 10013,
  TERRAINOBJECT_PLANET = 10014,
  TERRAINOBJECT_PLANET_RADIUS = 10015,
  TERRAINOBJECT_PLANET_INSIDE = 10016,
  TERRAINOBJECT_PHONG = 10017,
  TERRAINOBJECT_TESSELATION = 10018,
  TERRAINOBJECT_HULL = 10019,
  TERRAINOBJECT_HULL_DEPTH = 10020,
  TERRAINOBJECT_EXPORT_MODE = 10090,
  TERRAINOBJECT_EXPORT = 10091,
  TERRAINOBJECT_INFO = 10092,
};

// Values of TERRAINOBJECT_EXPORT_MODE.
enum : Int32
{
  TERRAINOBJECT_EXPORT_MODE_HEIGHTS = 0,
  TERRAINOBJECT_EXPORT_MODE_SLOPES = 1,
};

// The HUD scene hook, told to refresh after every rebuild.
inline constexpr Int32 ID_OGX_TERRAINHUD_SCENEHOOK = 1056379;
// The message the preferences page sends every node when the preferences change: the page's own id.
inline constexpr Int32 MSG_OGX_PREFERENCES_CHANGED = ID_OGX_PREFERENCES;
// The resolution cap when the preferences do not hold one.
inline constexpr Int32 OGX_DEFAULT_MAX_RESOLUTION = 4000;

// The resolution cap (preference key 1000, default 4000). The preferences container is created empty in
// the world container when it is missing; when it still cannot be had the default applies.
Int32 GetMaxResolutionPreference();

// The resolution a rebuild uses on one axis: trunc(min(resolution * lod, cap)), the cap when the two
// are equal. -1 when that is negative or not a number: no grid can be shaped from it.
Int ComputeEffectiveResolution(Int32 resolution, Float lod, Int32 cap);

class TerrainObject : public ObjectData
{
public:
  // The terrain grid header a cell index was built for; all 0 means "no index".
  struct CellIndexKey
  {
    Int width = 0;
    Int height = 0;
    Int cellCount = 0;
    Float sizeX = 0.0;
    Float sizeY = 0.0;
    bool operator==(const CellIndexKey&) const = default;
  };

  static NodeData* Alloc();

  TerrainObject() = default;
  ~TerrainObject() override;

  // Host slots.
  Bool Init(GeListNode* node) override;
  Bool Read(GeListNode* node, HyperFile* hf, Int32 level) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                    const BaseContainer* itemdesc) override;
  void GetBoundingBox(BaseObject* op, Vector* mp, Vector* rad) override;
  BaseObject* BuildCache(BaseObject* op, HierarchyContext* hh) override;

  // The up-to-date point index over the cell positions (x, 0, z) in the terrain object's space, each
  // point carrying its cell index. The pointer stays valid while the terrain grid keeps its shape.
  Result<PointIndex*> GetCellPointIndex(BaseObject* terrainObject);
  // Rebuilds the index when the terrain grid's shape or size differs from the one it was built for.
  // terrainObject only names the status-bar text.
  Result<void> UpdateCellPointIndex(BaseObject* terrainObject);
  // Drops the index; the next query rebuilds it.
  void InvalidateCellPointIndex();

  const Grid2D<Float>& GetTerrain() const { return terrain; }
  const EvaluationQueue& GetQueue() const { return queue; }
  const BaseArray<Int32>& GetBorderRing() const { return borderRing; }
  // Cells per scene unit of the recorded pair; 0 while none is recorded.
  Float GetCellDensityX() const
  {
    return densitySizeX > 0.0 ? static_cast<Float>(densityResolutionX) / densitySizeX : 0.0;
  }
  Float GetCellDensityZ() const
  {
    return densitySizeZ > 0.0 ? static_cast<Float>(densityResolutionZ) / densitySizeZ : 0.0;
  }
  const CellIndexKey& GetCellIndexKey() const { return cellIndexKey; }
  // The spin lock that guards the cell index (exposed for diagnostics and tests).
  CoreLock& GetCellIndexLock() { return cellIndexLock; }

private:
  enum class EXPORTRESULT
  {
    SKIPPED,   // too few cells: nothing to export
    DONE,      // exported, cancelled, or the user was told it could not be
    FAILED,    // an error, printed to the console
  };
  EXPORTRESULT ExportMap(BaseObject* op);
  // Message 19: keeps the planet radius, the densities and (with keep density) the resolutions in step
  // with a size, resolution or radius the user set.
  void ApplyParameterChange(BaseContainer& data, Int32 id);
  void UpdateCellDensities(const BaseContainer& data);
  // Message 20: resolutions above the preferences' cap come down to it.
  void ClampResolutionsToCap(BaseContainer& data);

  Grid2D<Float> terrain;
  EvaluationQueue queue;
  // The resolution and size each density is taken from. Keep density works from this pair rather than
  // from the quotient, so coming back to the recorded size gives back the recorded resolution exactly
  // (29 / 700 x 700 is 28.999999999999996 in doubles).
  Int32 densityResolutionX = 0;
  Int32 densityResolutionZ = 0;
  Float densitySizeX = 0.0;
  Float densitySizeZ = 0.0;
  BaseArray<Int32> borderRing;
  PointIndex cellIndex;
  CoreLock cellIndexLock;
  CellIndexKey cellIndexKey;
};

// Prints the error's text to the host console and answers false: the terrain object's handler for
// errors it cannot pass on.
Bool ReportTerrainError(const Error& error);

// Bytes the terrain object holds for its grid and mesh: 8 per cell + 520; with a mesh + 1, + 1 per tag,
// and for every variable tag its record count times record size (in 64 bits, so large meshes do not
// wrap).
Int GetTerrainMemoryUsage(const TerrainObject& terrainObject, BaseObject* mesh);

// Per cell the angle between its normal and direction, divided by pi/2: 0 along the direction, 1
// perpendicular, 2 opposite; a zero normal (or direction) gives 1. slopes must already have the
// normals' shape ("Slope grid and normals differ in size!" otherwise).
Result<void> ComputeSlopeGrid(const Grid2D<Vector>& normals, Grid2D<Float>& slopes, const Vector& direction);

// ComputeSlopeGrid's value for one normal; directionLength2 is direction's squared length.
inline Float SlopeFromNormal(const Vector& normal, const Vector& direction, Float directionLength2)
{
  constexpr Float HALF_PI = 1.57079632679489661923;
  const Float lengths2 = normal.GetSquaredLength() * directionLength2;
  // A zero normal has no angle; its cosine is taken as 0, a slope of 1.
  const Float cosine = lengths2 == 0.0 ? 0.0 : Dot(normal, direction) * std::sqrt(1.0 / lengths2);
  Float angle;
  if (cosine >= 1.0)
    angle = 0.0;
  else if (cosine <= -1.0)
    angle = 2.0 * HALF_PI;
  else
    angle = std::acos(cosine);
  return angle / HALF_PI;
}

// The slope map of heights against direction, shaped like heights: the values of ComputeNormals and
// then ComputeSlopeGrid, computed in one pass without holding the normals (a grid three times the
// size of the heights' for a large map).
Result<void> FillSlopeGrid(const Grid2D<Float>& heights, Grid2D<Float>& slopes, const Vector& direction);
// FillSlopeGrid against the up direction (0, 1, 0): what both the terrain object's and the operators'
// export write.
Result<void> ComputeSlopeMap(const Grid2D<Float>& heights, Grid2D<Float>& slopes);

// Registers the terrain object plug-in (id 1054563, description "oterrain") and its icon; the
// start-up passes sort order 10.
Bool RegisterTerrainObject(Int32 sortOrder);
