#include "object/terrainobject.h"

#include <cmath>
#include <limits>

#include "host/core/log.h"
#include "host/geometry/geometrytags.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"
#include "host/scene/resource.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "common/ogx_misc.h"
#include "object/terrainmesh.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
// Key of the resolution cap in the preferences container.
constexpr Int32 PREFSOGX_MAX_RESOLUTION = 1000;

// Module strings.
constexpr Int32 IDS_TERRAIN_NAME = 10000;
constexpr Int32 IDS_REGISTERED = 10019;
constexpr Int32 IDS_EVALUATING = 10028;
constexpr Int32 IDS_EXPORT_HEIGHTS = 10030;
constexpr Int32 IDS_EXPORT_SLOPES = 10031;
constexpr Int32 IDS_EXPORT_FAILED = 10033;
constexpr Int32 IDS_BUILDING_CELL_INDEX = 10072;

constexpr const char* TERRAINOBJECT_DESCRIPTION_NAME = "oterrain";
// The host stores this level with every terrain object; Read converts scenes of level 0.
constexpr Int32 TERRAINOBJECT_DISKLEVEL = 1;
// Fewer cells than this make no map worth exporting.
constexpr Int TERRAINOBJECT_EXPORT_MIN_CELLS = 8;

// Defaults set by Init.
constexpr Float DEFAULT_SIZE = 500.0;
constexpr Int32 DEFAULT_RESOLUTION = 500;
constexpr Int32 DEFAULT_ISOPARMS = 3;
constexpr Float DEFAULT_PLANET_RADIUS = 6371.0;
constexpr Float DEFAULT_HULL_DEPTH = 10.0;

// Defaults of the cache build's reads (used only when Init's values are missing from the container).
constexpr Float BUILD_DEFAULT_SIZE = 250.0;
constexpr Int32 BUILD_DEFAULT_ISOPARMS = 1;

const Vector SLOPE_UP_DIRECTION(0.0, 1.0, 0.0);

// trunc(v) clamped to the Int32 range; false for a value that is not finite.
Bool ToResolution(Float v, Int32& out)
{
  if (!std::isfinite(v))
    return false;
  v = std::trunc(v);
  if (v <= static_cast<Float>(std::numeric_limits<Int32>::min()))
    out = std::numeric_limits<Int32>::min();
  else if (v >= static_cast<Float>(std::numeric_limits<Int32>::max()))
    out = std::numeric_limits<Int32>::max();
  else
    out = static_cast<Int32>(v);
  return true;
}

// Records the pair a cell density is taken from.
void RecordDensity(Int32 resolution, Float size, Int32& recordedResolution, Float& recordedSize)
{
  recordedResolution = resolution;
  recordedSize = size;
}

// The cache build's way out: the error on the console, no mesh.
BaseObject* FailBuild(const Error& error)
{
  ConsolePrint(error.GetText());
  return nullptr;
}

BaseTag* GetLastTag(BaseObject* op)
{
  BaseTag* last = nullptr;
  for (BaseTag* tag = op->GetFirstTag(); tag; tag = tag->GetNext())
    last = tag;
  return last;
}
} // namespace

Int ComputeEffectiveResolution(Int32 resolution, Float lod, Int32 cap)
{
  Float v = static_cast<Float>(resolution) * lod;
  if (std::isnan(v))
    return -1;
  if (v >= static_cast<Float>(cap))
    v = static_cast<Float>(cap);
  return v < 0.0 ? -1 : static_cast<Int>(v);
}

Int32 GetMaxResolutionPreference()
{
  const BaseContainer* prefs = GetOgxPreferences();
  return prefs ? prefs->GetInt32(PREFSOGX_MAX_RESOLUTION, OGX_DEFAULT_MAX_RESOLUTION) : OGX_DEFAULT_MAX_RESOLUTION;
}

Bool ReportTerrainError(const Error& error)
{
  ConsolePrint(error.GetText());
  return false;
}

NodeData* TerrainObject::Alloc()
{
  return NewObj<TerrainObject>();
}

// The members go in reverse order: the lock first (the host's spin lock reports itself when it is still
// taken), then the cell index, the ring, the queue's items and the terrain cells.
TerrainObject::~TerrainObject() = default;

Bool TerrainObject::Init(GeListNode* node)
{
  if (!node)
    return false;
  BaseContainer* data = static_cast<BaseList2D*>(node)->GetDataInstance();
  data->SetFloat(TERRAINOBJECT_SIZE_X, DEFAULT_SIZE);
  data->SetFloat(TERRAINOBJECT_SIZE_Z, DEFAULT_SIZE);
  data->SetInt32(TERRAINOBJECT_RESOLUTION_X, DEFAULT_RESOLUTION);
  data->SetInt32(TERRAINOBJECT_RESOLUTION_Z, DEFAULT_RESOLUTION);
  data->SetInt32(TERRAINOBJECT_ISOPARMS, DEFAULT_ISOPARMS);
  data->SetFloat(TERRAINOBJECT_EDGE_HEIGHT, 0.0);
  data->SetBool(TERRAINOBJECT_EDGE_FALLOFF, false);
  data->SetBool(TERRAINOBJECT_PLANET, false);
  data->SetFloat(TERRAINOBJECT_PLANET_RADIUS, DEFAULT_PLANET_RADIUS);
  data->SetInt32(TERRAINOBJECT_TESSELATION, static_cast<Int32>(PLANETESSELATIONMODE::QUADS));
  data->SetBool(TERRAINOBJECT_HULL, false);
  data->SetFloat(TERRAINOBJECT_HULL_DEPTH, DEFAULT_HULL_DEPTH);
  data->SetBool(TERRAINOBJECT_PHONG, true);
  data->SetInt32(TERRAINOBJECT_EXPORT_MODE, TERRAINOBJECT_EXPORT_MODE_HEIGHTS);
  return true;
}

Bool TerrainObject::Read(GeListNode* node, HyperFile* hf, Int32 level)
{
  (void)hf;
  // Scenes of level 0 stored the hull depth as the bottom's height. The negation keeps the fraction of
  // a fractional depth.
  if (node && level == 0)
  {
    BaseContainer* data = static_cast<BaseList2D*>(node)->GetDataInstance();
    data->SetFloat(TERRAINOBJECT_HULL_DEPTH, -data->GetFloat(TERRAINOBJECT_HULL_DEPTH));
  }
  return true;
}

void TerrainObject::GetBoundingBox(BaseObject* op, Vector* mp, Vector* rad)
{
  (void)op;
  const Float lo = terrain.minMaxValid ? terrain.min : 0.0;
  const Float hi = terrain.minMaxValid ? terrain.max : 0.0;
  const Float halfRange = (hi - lo) * 0.5;
  if (mp)
    *mp = Vector(0.0, lo + halfRange, 0.0);
  if (rad)
    *rad = Vector(terrain.sizeX * 0.5, halfRange, terrain.sizeY * 0.5);
}

Bool TerrainObject::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                                 const BaseContainer* itemdesc)
{
  if (!node)
    return ObjectData::GetDEnabling(node, id, t_data, flags, itemdesc);
  const BaseContainer& data = static_cast<BaseList2D*>(node)->GetDataInstanceRef();
  switch (id[0].id)
  {
    case TERRAINOBJECT_EDGE_HEIGHT: return data.GetBool(TERRAINOBJECT_EDGE_FALLOFF);
    case TERRAINOBJECT_PLANET_RADIUS:
    case TERRAINOBJECT_PLANET_INSIDE: return data.GetBool(TERRAINOBJECT_PLANET);
    case TERRAINOBJECT_HULL: return !data.GetBool(TERRAINOBJECT_PLANET);
    case TERRAINOBJECT_HULL_DEPTH: return data.GetBool(TERRAINOBJECT_HULL);
    default: return true;
  }
}

Bool TerrainObject::GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags)
{
  if (!description || !description->LoadDescription(ID_OGX_TERRAINOBJECT))
    return false;
  flags |= DESCFLAGS_DESC::LOADED;
  AddOperatorButtons(description, true);
  return ObjectData::GetDDescription(node, description, flags);
}

Bool TerrainObject::Message(GeListNode* node, Int32 type, void* data)
{
  if (!node)
    return false;
  BaseObject* op = static_cast<BaseObject*>(node);

  switch (type)
  {
    case MSG_DESCRIPTION_COMMAND:
    {
      const auto* command = static_cast<const DescriptionCommand*>(data);
      if (!command)
        break;
      const Int32 id = command->id[0].id;
      if (id == TERRAINOBJECT_EXPORT)
      {
        switch (ExportMap(op))
        {
          case EXPORTRESULT::SKIPPED: return true;
          case EXPORTRESULT::FAILED: return false;
          case EXPORTRESULT::DONE: break;
        }
      }
      // The other buttons are the add-operator buttons, whose ids are the operators' plug-in ids; a
      // command for any other id must not make an object of that type.
      else if (IsRegisteredOperator(id))
      {
        InsertOperator(op, id, true);
      }
      break;
    }
    case MSG_DESCRIPTION_POSTSETPARAMETER:
    {
      const auto* set = static_cast<const DescriptionPostSetValue*>(data);
      if (set && set->descid)
        ApplyParameterChange(op->GetDataInstanceRef(), (*set->descid)[0].id);
      return true;
    }
    case MSG_DESCRIPTION_CHECKUPDATE: ClampResolutionsToCap(op->GetDataInstanceRef()); break;
    case MSG_DOCUMENTINFO:
    {
      const auto* info = static_cast<const DocumentInfoData*>(data);
      if (info && info->type == MSG_DOCUMENTINFO_TYPE_LOAD)
        ClampResolutionsToCap(op->GetDataInstanceRef());
      break;
    }
    case MSG_OGX_PREFERENCES_CHANGED: node->Message(MSG_DESCRIPTION_CHECKUPDATE); return true;
    default: break;
  }
  return ObjectData::Message(node, type, data);
}

TerrainObject::EXPORTRESULT TerrainObject::ExportMap(BaseObject* op)
{
  if (terrain.cellCount < TERRAINOBJECT_EXPORT_MIN_CELLS)
    return EXPORTRESULT::SKIPPED;

  const Int32 mode = op->GetDataInstanceRef().GetInt32(TERRAINOBJECT_EXPORT_MODE, TERRAINOBJECT_EXPORT_MODE_HEIGHTS);
  BaseBitmap* bitmap = nullptr;
  String kind;
  if (mode == TERRAINOBJECT_EXPORT_MODE_SLOPES)
  {
    Grid2D<Float> slopes;
    Result<void> made = ComputeSlopeMap(terrain, slopes);
    if (made.IsError())
    {
      ReportTerrainError(made.GetError());
      return EXPORTRESULT::FAILED;
    }
    Result<BaseBitmap*> map = slopes.ToBitmap();
    if (map.IsError())
    {
      ReportTerrainError(map.GetError());
      return EXPORTRESULT::FAILED;
    }
    bitmap = map.GetValue();
    kind = GeLoadString(IDS_EXPORT_SLOPES);
  }
  else
  {
    // ToBitmap scales by the cells' own range and leaves the grid's range alone: the range the rebuild
    // left (down to the hull's bottom and out to the edge height) stays what the bounding box shows.
    Result<BaseBitmap*> map = terrain.ToBitmap();
    if (map.IsError())
    {
      ReportTerrainError(map.GetError());
      return EXPORTRESULT::FAILED;
    }
    bitmap = map.GetValue();
    kind = GeLoadString(IDS_EXPORT_HEIGHTS);
  }

  if (!bitmap)
  {
    MessageDialog(GEMB_ICONEXCLAMATION, GeLoadString(IDS_EXPORT_FAILED));
    return EXPORTRESULT::DONE;
  }

  SaveMapWithDialog(*bitmap, String("Terrain_") + op->GetName() + "_" + kind);
  BaseBitmap::Free(bitmap);
  return EXPORTRESULT::DONE;
}

void TerrainObject::UpdateCellDensities(const BaseContainer& data)
{
  // A size of 0 or less has no density; the last one stays.
  const Float sizeX = data.GetFloat(TERRAINOBJECT_SIZE_X, BUILD_DEFAULT_SIZE);
  const Float sizeZ = data.GetFloat(TERRAINOBJECT_SIZE_Z, BUILD_DEFAULT_SIZE);
  if (sizeX > 0.0)
    RecordDensity(data.GetInt32(TERRAINOBJECT_RESOLUTION_X), sizeX, densityResolutionX, densitySizeX);
  if (sizeZ > 0.0)
    RecordDensity(data.GetInt32(TERRAINOBJECT_RESOLUTION_Z), sizeZ, densityResolutionZ, densitySizeZ);
}

void TerrainObject::ApplyParameterChange(BaseContainer& data, Int32 id)
{
  switch (id)
  {
    case TERRAINOBJECT_SIZE_X:
    case TERRAINOBJECT_SIZE_Z:
    case TERRAINOBJECT_PLANET_RADIUS:
    {
      const Float sizeX = data.GetFloat(TERRAINOBJECT_SIZE_X, BUILD_DEFAULT_SIZE);
      const Float sizeZ = data.GetFloat(TERRAINOBJECT_SIZE_Z, BUILD_DEFAULT_SIZE);
      // The planet is never smaller than the terrain wrapped onto it.
      const Float smallest = std::min(sizeX, sizeZ);
      if (data.GetFloat(TERRAINOBJECT_PLANET_RADIUS) < smallest)
        data.SetFloat(TERRAINOBJECT_PLANET_RADIUS, smallest);
      if (id == TERRAINOBJECT_PLANET_RADIUS)
        return;

      if (!data.GetBool(TERRAINOBJECT_KEEP_DENSITY))
      {
        UpdateCellDensities(data);
        return;
      }
      if (GetCellDensityX() == 0.0 && sizeX > 0.0)
        RecordDensity(data.GetInt32(TERRAINOBJECT_RESOLUTION_X), sizeX, densityResolutionX, densitySizeX);
      if (GetCellDensityZ() == 0.0 && sizeZ > 0.0)
        RecordDensity(data.GetInt32(TERRAINOBJECT_RESOLUTION_Z), sizeZ, densityResolutionZ, densitySizeZ);
      // Only a size above 0 and a finite product make a resolution; anything else keeps the old one.
      Int32 resolution = 0;
      if (sizeX > 0.0 && densitySizeX > 0.0 &&
          ToResolution(static_cast<Float>(densityResolutionX) * sizeX / densitySizeX, resolution))
        data.SetInt32(TERRAINOBJECT_RESOLUTION_X, resolution);
      if (sizeZ > 0.0 && densitySizeZ > 0.0 &&
          ToResolution(static_cast<Float>(densityResolutionZ) * sizeZ / densitySizeZ, resolution))
        data.SetInt32(TERRAINOBJECT_RESOLUTION_Z, resolution);
      return;
    }
    case TERRAINOBJECT_RESOLUTION_X:
    case TERRAINOBJECT_RESOLUTION_Z:
    case TERRAINOBJECT_KEEP_DENSITY: UpdateCellDensities(data); return;
    default: return;
  }
}

void TerrainObject::ClampResolutionsToCap(BaseContainer& data)
{
  const Int32 cap = GetMaxResolutionPreference();
  if (data.GetInt32(TERRAINOBJECT_RESOLUTION_X) > cap)
    data.SetInt32(TERRAINOBJECT_RESOLUTION_X, cap);
  if (data.GetInt32(TERRAINOBJECT_RESOLUTION_Z) > cap)
    data.SetInt32(TERRAINOBJECT_RESOLUTION_Z, cap);
}

BaseObject* TerrainObject::BuildCache(BaseObject* op, HierarchyContext* hh)
{
  if (!op || !hh)
    return nullptr;
  const Float lod = hh->GetLOD();
  const Int32 cap = GetMaxResolutionPreference();
  const Bool cacheDirty = op->CheckCache(hh);
  const Bool dataDirty = op->IsDirty(DIRTYFLAGS::DATA);

  // The queue of the last build is what the new one is compared with.
  EvaluationQueue previous;
  if (Result<void> copied = previous.CopyFrom(queue); copied.IsError())
    return FailBuild(copied.GetError());
  if (Result<void> built = queue.Build(op, hh); built.IsError())
    return FailBuild(built.GetError());

  BaseContainer& data = op->GetDataInstanceRef();
  const Float sizeX = data.GetFloat(TERRAINOBJECT_SIZE_X, BUILD_DEFAULT_SIZE);
  const Float sizeZ = data.GetFloat(TERRAINOBJECT_SIZE_Z, BUILD_DEFAULT_SIZE);
  const Int32 resolutionX = data.GetInt32(TERRAINOBJECT_RESOLUTION_X, 0);
  const Int32 resolutionZ = data.GetInt32(TERRAINOBJECT_RESOLUTION_Z, 0);
  const Bool edgeFalloff = data.GetBool(TERRAINOBJECT_EDGE_FALLOFF, false);
  const Int32 isoparmCount = data.GetInt32(TERRAINOBJECT_ISOPARMS, BUILD_DEFAULT_ISOPARMS);
  const auto tessellation = static_cast<PLANETESSELATIONMODE>(
    data.GetInt32(TERRAINOBJECT_TESSELATION, static_cast<Int32>(PLANETESSELATIONMODE::QUADS)));

  const Int effX = ComputeEffectiveResolution(resolutionX, lod, cap);
  const Int effZ = ComputeEffectiveResolution(resolutionZ, lod, cap);

  EvaluationContext context;
  InitEvaluationContext(context, effX, effZ, sizeX, sizeZ, lod, op, hh);
  const EvaluationQueue::STATUS status = queue.CheckDirty(context, &previous);
  previous.Reset();

  // The level of detail and the cap reach the grid's shape without touching the object or its
  // operators; a terrain without operators would otherwise keep a mesh of the old resolution.
  const Bool shapeChanged = terrain.width != effX + 1 || terrain.height != effZ + 1 || terrain.sizeX != sizeX ||
                            terrain.sizeY != sizeZ;
  if (!cacheDirty && !dataDirty && !shapeChanged && status == EvaluationQueue::STATUS::OK)
    return op->GetCache(hh);

  data.SetString(TERRAINOBJECT_INFO, GeLoadString(IDS_EVALUATING));

  // A negative resolution, level of detail or cap, and a size that is not above 0, leave nothing to
  // mesh: the build stops here rather than shaping a grid without cells, and the grid is left empty.
  // Otherwise the grid is shaped anew without being emptied first: Init gives it the same header and
  // zeroed cells either way, but keeps cells of the same count instead of freeing and faulting them
  // in again at every rebuild.
  if (effX < 0 || effZ < 0)
  {
    terrain.Reset();
    return FailBuild(IllegalArgumentError("Invalid grid initialization arguments!"));
  }
  if (Result<void> shaped = terrain.Init(effX + 1, effZ + 1, sizeX, sizeZ); shaped.IsError())
  {
    terrain.Reset();
    return FailBuild(shaped.GetError());
  }

  if (Result<void> evaluated = queue.Evaluate(terrain, context); evaluated.IsError())
    return FailBuild(evaluated.GetError());

  terrain.RecomputeMinMax();
  const Int queueMemory = queue.GetMemoryUsage();

  if (edgeFalloff)
  {
    const Float edgeHeight = data.GetFloat(TERRAINOBJECT_EDGE_HEIGHT, 0.0);
    if (Result<void> fell = ApplyEdgeFalloff(terrain, edgeHeight); fell.IsError())
      return FailBuild(fell.GetError());
    // The border now lies at the edge height, which may be outside the range the operators made.
    terrain.UpdateMinMax(edgeHeight);
  }

  const PlanetRecord planet = MakePlanetRecord(data.GetBool(TERRAINOBJECT_PLANET, false),
                                               data.GetFloat(TERRAINOBJECT_PLANET_RADIUS, 0.0),
                                               data.GetBool(TERRAINOBJECT_PLANET_INSIDE, false));
  // A hull has no flat bottom to reach on a sphere.
  const Bool hullWanted = data.GetBool(TERRAINOBJECT_HULL, false) && !planet.planet;

  PolygonObject* mesh = BuildTerrainPlane(terrain, borderRing, sizeX, sizeZ, static_cast<Int32>(effX),
                                          static_cast<Int32>(effZ), planet, tessellation, hullWanted);
  if (!mesh)
    return nullptr;

  if (hullWanted)
  {
    const Float depth = -data.GetFloat(TERRAINOBJECT_HULL_DEPTH, 0.0);
    if (PolygonObject* hull = BuildHull(terrain, borderRing, depth, planet))
    {
      if (hull->InsertUnder(mesh))
      {
        hull->Message(MSG_UPDATE);
      }
      else
      {
        BaseList2D* node = hull;
        host::FreeNode(node);
      }
    }
    // The bounding box reaches down to the hull's bottom.
    terrain.UpdateMinMax(depth);
  }

  if (HasFlag(hh->GetBuildFlags(), BUILDFLAGS::ISOPARM))
  {
    if (LineObject* isoparm = BuildIsoparmLines(terrain, isoparmCount, planet))
    {
      if (!mesh->SetIsoparm(isoparm))
      {
        BaseList2D* node = isoparm;
        host::FreeNode(node);
      }
    }
  }

  if (data.GetBool(TERRAINOBJECT_PHONG, true))
    mesh->MakeTag(Tphong, GetLastTag(mesh));

  mesh->Message(MSG_UPDATE);

  data.SetString(TERRAINOBJECT_INFO,
                 FormatMemoryText(static_cast<UInt>(queueMemory + GetTerrainMemoryUsage(*this, mesh))));

  if (BaseDocument* doc = hh->GetDocument())
    if (BaseSceneHook* hud = doc->FindSceneHook(ID_OGX_TERRAINHUD_SCENEHOOK))
      hud->Message(MSG_UPDATE);
  return mesh;
}

Result<PointIndex*> TerrainObject::GetCellPointIndex(BaseObject* terrainObject)
{
  HOST_TRY(UpdateCellPointIndex(terrainObject));
  return &cellIndex;
}

Result<void> TerrainObject::UpdateCellPointIndex(BaseObject* terrainObject)
{
  ScopedCoreLock lock(cellIndexLock);
  const CellIndexKey key{terrain.width, terrain.height, terrain.cellCount, terrain.sizeX, terrain.sizeY};
  if (cellIndexKey == key)
  {
    // The thread count is not part of the key: when the host's pool has changed size since the build,
    // the query states are made again for the new count, or a worker beyond the old count would find
    // no cells at all.
    if (cellIndex.GetThreadCount() != GetCurrentThreadCount())
      HOST_TRY(cellIndex.Reserve(GetCurrentThreadCount()));
    return OK;
  }

  cellIndex.Reset();
  cellIndexKey = CellIndexKey();
  // One search stack per thread, so the threads of one loop can query at once.
  HOST_TRY(cellIndex.Reserve(GetCurrentThreadCount()));

  StatusSetText(GeLoadString(IDS_BUILDING_CELL_INDEX,
                             terrainObject ? terrainObject->GetName() : GeLoadString(IDS_TERRAIN_NAME)));
  // Cell i goes in as point i, as one Insert per cell in order would add it; the positions are
  // worked out on all threads, and Balance builds the tree on all threads too.
  HOST_TRY(cellIndex.InsertRange(terrain.cellCount, 0, [this](Int i) { return GetCellPosition(terrain, i); }));
  cellIndex.Balance();
  cellIndexKey = key;
  return OK;
}

void TerrainObject::InvalidateCellPointIndex()
{
  // Under the lock like every other change of the index, so a build running on another thread never
  // sees it half reset.
  ScopedCoreLock lock(cellIndexLock);
  cellIndex.Reset();
  cellIndexKey = CellIndexKey();
}

Int GetTerrainMemoryUsage(const TerrainObject& terrainObject, BaseObject* mesh)
{
  constexpr Int OBJECT_BYTES = 520;
  Int bytes = static_cast<Int>(sizeof(Float)) * terrainObject.GetTerrain().cellCount + OBJECT_BYTES;
  if (!mesh)
    return bytes;
  bytes += 1;
  for (BaseTag* tag = mesh->GetFirstTag(); tag; tag = tag->GetNext())
  {
    bytes += 1;
    if (!tag->IsInstanceOf(Tvariable))
      continue;
    const auto* variable = static_cast<const VariableTag*>(tag);
    bytes += static_cast<Int>(variable->GetDataCount()) * static_cast<Int>(variable->GetDataSize());
  }
  return bytes;
}

Result<void> ComputeSlopeMap(const Grid2D<Float>& heights, Grid2D<Float>& slopes)
{
  return FillSlopeGrid(heights, slopes, SLOPE_UP_DIRECTION);
}

Result<void> FillSlopeGrid(const Grid2D<Float>& heights, Grid2D<Float>& slopes, const Vector& direction)
{
  HOST_TRY(slopes.InitLikeForOverwrite(heights));
  const Float directionLength2 = direction.GetSquaredLength();
  Float* out = slopes.cells.GetFirst();
  const Int width = heights.width;
  return ParallelFor(
    0, heights.height,
    [&](Int y) {
      for (Int x = 0; x < width; ++x)
        out[y * width + x] = SlopeFromNormal(heights.GetNormal(x, y), direction, directionLength2);
    },
    OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
}

Result<void> ComputeSlopeGrid(const Grid2D<Vector>& normals, Grid2D<Float>& slopes, const Vector& direction)
{
  if (slopes.width != normals.width || slopes.height != normals.height || slopes.cellCount != normals.cellCount)
    return IllegalArgumentError("Slope grid and normals differ in size!");

  const Float directionLength2 = direction.GetSquaredLength();
  const Vector* n = normals.cells.GetFirst();
  Float* out = slopes.cells.GetFirst();
  return OGX::ParallelForBlocks(
    0, normals.cellCount,
    [&](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
        out[i] = SlopeFromNormal(n[i], direction, directionLength2);
    },
    OGX::LOOP_ALLTHREADS);
}

Bool RegisterTerrainObject(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_TERRAINOBJECT, 0, 0, [&](BaseBitmap* icon) {
    const String name = GeLoadString(IDS_TERRAIN_NAME);
    ConsolePrint(GeLoadString(IDS_REGISTERED, name));
    return RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, MenuSortPrefix(sortOrder) + name, OBJECT_GENERATOR,
                                TerrainObject::Alloc, TERRAINOBJECT_DESCRIPTION_NAME, icon, TERRAINOBJECT_DISKLEVEL);
  });
}
