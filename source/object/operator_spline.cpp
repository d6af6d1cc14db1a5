#include "object/operator_spline.h"

#include "common/ogx_geometry.h"
#include "common/ogx_icons.h"
#include "common/ogx_misc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/geometry/pointindex.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "host/splines/splinedata.h"
#include "object/terrainobject.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"
#include "orogenix/splinesampler.h"

namespace
{
constexpr Int32 IDS_SPLINE_NAME = 10010;
constexpr const char* SPLINEOPERATOR_DESCRIPTION_NAME = "osplineoperator";
constexpr Int32 SPLINEOPERATOR_ICON_X = 256;
constexpr Int32 SPLINEOPERATOR_ICON_Y = 0;
constexpr Int32 SPLINEOPERATOR_DISKLEVEL = 0;

// Values written when the operator is created.
constexpr Float INIT_HEIGHT = 50.0;
constexpr Float INIT_FACTOR = 1.0;
constexpr Float INIT_WIDTH = 75.0;
// The profile: the host's two-knot default curve with tangents that round its top and its foot.
constexpr Int32 PROFILE_DEFAULT_CURVE = 2;
constexpr Vector INIT_PROFILE_START_TANGENT{0.5, 0.0, 0.0};
constexpr Vector INIT_PROFILE_END_TANGENT{-0.5, 0.0, 0.0};

// Defaults of a computation that finds a value missing.
constexpr Float READ_WIDTH = 0.0;
constexpr Bool READ_ACCUMULATE = true;

// The dirty counts the operator follows: the spline's data and cache, its deformers' matrix and data.
constexpr DIRTYFLAGS SPLINE_DIRTY_FLAGS = DIRTYFLAGS::DATA | DIRTYFLAGS::CACHE;
constexpr DIRTYFLAGS DEFORMER_DIRTY_FLAGS = DIRTYFLAGS::MATRIX | DIRTYFLAGS::DATA;

// The terrain cells around one sample, and what the sample weighs them with.
struct CellListEntry
{
  BaseArray<PointIndexNearest> cells;
  Float offset = 0.0;
  Float inverseRadius = 0.0;
  Float gain = 0.0;
};

// The linked object: any object in the operator's document, or null.
BaseObject* LinkedObject(BaseObject* op)
{
  BaseList2D* linked = op ? op->GetDataInstanceRef().GetLinkOfType(SPLINEOPERATOR_SPLINE, op->GetDocument(), 0)
                          : nullptr;
  return linked && linked->GetKind() == NODEKIND::OBJECT ? static_cast<BaseObject*>(linked) : nullptr;
}

// A spline, or an object that stands for one, and enabled.
Bool IsUsableSplineLink(BaseObject* link)
{
  const Bool spline = link->GetType() == Ospline || link->IsInstanceOf(Ospline) || link->GetRealSpline() != nullptr;
  return spline && link->GetObjectState(OBJECTSTATE::DEFORM) != 0;
}

std::unique_ptr<SplineData> MakeCurve(std::initializer_list<Vector> knots)
{
  std::unique_ptr<SplineData> curve = SplineData::Alloc();
  if (curve)
    for (const Vector& k : knots)
      curve->InsertKnot(k.x, k.y, 0);
  return curve;
}

void SetCurve(BaseContainer& data, Int32 id, std::unique_ptr<SplineData> curve)
{
  // A curve that cannot be made is left out: the computation then reports it.
  if (curve)
    data.SetData(id, GeData(std::move(curve)));
}

const SplineData* GetCurve(const BaseContainer& data, Int32 id)
{
  return static_cast<const SplineData*>(data.GetCustomData(id, CUSTOMDATATYPE_SPLINE));
}

// Frees the current-state copy of the linked object on every path.
class ObjectGuard
{
public:
  explicit ObjectGuard(BaseObject* op) : _op(op) {}
  ~ObjectGuard() { Free(); }
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;
  BaseObject* Get() const { return _op; }
  void Free() { BaseObject::Free(_op); }

private:
  BaseObject* _op;
};

class DeformerListGuard
{
public:
  explicit DeformerListGuard(AtomArray* list) : _list(list) {}
  ~DeformerListGuard() { AtomArray::Free(_list); }
  DeformerListGuard(const DeformerListGuard&) = delete;
  DeformerListGuard& operator=(const DeformerListGuard&) = delete;
  AtomArray* Get() const { return _list; }

private:
  AtomArray* _list;
};
} // namespace

NodeData* SplineOperator::Alloc()
{
  return NewObj<SplineOperator>();
}

TERRAINOPERATORFLAGS SplineOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_TERRAIN;
}

Bool SplineOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetFloat(TERRAINOPERATOR_HEIGHT, INIT_HEIGHT);
  data.SetFloat(TERRAINOPERATOR_FACTOR, INIT_FACTOR);
  data.SetFloat(SPLINEOPERATOR_WIDTH, INIT_WIDTH);
  data.SetBool(SPLINEOPERATOR_ACCUMULATE, true);

  std::unique_ptr<SplineData> profile = SplineData::Alloc();
  if (profile && profile->MakeDefaultCurve(PROFILE_DEFAULT_CURVE))
  {
    if (SplineKnot* first = profile->GetKnot(0))
      first->rightTangent = INIT_PROFILE_START_TANGENT;
    if (SplineKnot* second = profile->GetKnot(1))
      second->leftTangent = INIT_PROFILE_END_TANGENT;
  }
  SetCurve(data, SPLINEOPERATOR_PROFILE, std::move(profile));
  SetCurve(data, SPLINEOPERATOR_GAIN, MakeCurve({Vector(0.0, 1.0, 0.0), Vector(1.0, 1.0, 0.0)}));
  SetCurve(data, SPLINEOPERATOR_RADIUSCURVE, MakeCurve({Vector(0.0, 1.0, 0.0), Vector(1.0, 1.0, 0.0)}));
  return true;
}

Bool SplineOperator::OperatorMessage(GeListNode*, Int32 type, void* data)
{
  if (type != MSG_DESCRIPTION_CHECKDRAGANDDROP || !data)
    return false;
  auto* check = static_cast<DescriptionCheckDragAndDrop*>(data);
  if (check->id[0].id != SPLINEOPERATOR_SPLINE)
    return false;
  Bool accept = false;
  if (check->element && check->element->GetKind() == NODEKIND::OBJECT)
  {
    BaseObject* dragged = static_cast<BaseObject*>(check->element);
    accept = dragged->IsInstanceOf(Ospline) ||
             ((dragged->GetInfoFlags() & OBJECT_ISSPLINE) != 0 && dragged->GetRealSpline() != nullptr);
  }
  check->result = accept;
  return true;
}

Bool SplineOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {SPLINEOPERATOR_SPLINE, SPLINEOPERATOR_WIDTH, SPLINEOPERATOR_PROFILE,
                                       SPLINEOPERATOR_GAIN, SPLINEOPERATOR_RADIUSCURVE, SPLINEOPERATOR_ACCUMULATE});
}

Bool SplineOperator::IsOperatorDirty(BaseObject* op, BaseDocument*, EvaluationContext&)
{
  BaseObject* link = LinkedObject(op);
  if (!link)
  {
    const Bool wasLinked = _savedDirtySum != 0;
    _savedDirtySum = 0;
    _savedMatrixHash = 0;
    return wasLinked;
  }

  // The global matrix: the samples are taken in world space, so moving anything above the spline moves
  // them. Taken on every test (the comparison below comes only after the counts), so that a computation
  // always saves the hash of the spline it sampled, and a change costs one recomputation, not two.
  _currentMatrixHash = static_cast<Int>(HashMatrix(link->GetMg()));

  Int sum = link->GetDirty(SPLINE_DIRTY_FLAGS);
  Result<AtomArray*> found = FindDeformers(link);
  if (found.IsError())
  {
    ConsolePrint(found.GetError().GetText());
    return true;
  }
  const DeformerListGuard deformers(found.GetValue());
  for (Int32 i = 0; i < deformers.Get()->GetCount(); ++i)
  {
    BaseList2D* deformer = deformers.Get()->GetIndex(i);
    if (!deformer)
    {
      ConsolePrint(String("Item in foundDeformers is NULL, this must not happen!"));
      return true;
    }
    sum += deformer->GetDirty(DEFORMER_DIRTY_FLAGS);
  }
  _currentDirtySum = sum;
  if (_currentDirtySum != _savedDirtySum)
    return true;
  return _currentMatrixHash != _savedMatrixHash;
}

Result<void> SplineOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                             EvaluationContext& context)
{
  if (!op)
    return NullptrError("No spline operator object to compute!");
  HOST_TRY(_output.InitLike(terrain));

  const BaseContainer& data = op->GetDataInstanceRef();
  const Float width = data.GetFloat(SPLINEOPERATOR_WIDTH, READ_WIDTH);
  const Bool accumulate = data.GetBool(SPLINEOPERATOR_ACCUMULATE, READ_ACCUMULATE);
  BaseObject* link = LinkedObject(op);
  // No spline to follow is no error: the output stays flat.
  if (!link || !IsUsableSplineLink(link))
    return OK;

  Result<BaseObject*> state = CurrentStateToObject(link);
  if (state.IsError())
    return state.GetError();
  ObjectGuard copy(state.GetValue());
  SplineObject* spline = copy.Get()->GetRealSpline();
  // A current state that is no spline (an object standing for one that made something else) has
  // nothing to sample.
  if (!spline)
    return OK;
  if (spline != copy.Get())
    spline->SetMg(copy.Get()->GetMg());

  const SplineData* profile = GetCurve(data, SPLINEOPERATOR_PROFILE);
  if (!profile)
    return NullptrError("Could not get profile SplineData!");
  const SplineData* gain = GetCurve(data, SPLINEOPERATOR_GAIN);
  if (!gain)
    return NullptrError("Could not get gain SplineData!");
  const SplineData* radiusCurve = GetCurve(data, SPLINEOPERATOR_RADIUSCURVE);
  if (!radiusCurve)
    return NullptrError("Could not get radius SplineData!");

  // The gathering loop's workers: one per query state of the index, which the index keeps per thread.
  const Int threadCount = GetCurrentThreadCount();
  BaseObject* terrainObject = context.terrainObject;
  TerrainObject* terrainData = terrainObject && terrainObject->GetType() == ID_OGX_TERRAINOBJECT
                                 ? terrainObject->GetNodeData<TerrainObject>()
                                 : nullptr;
  if (!terrainData)
    return NullptrError("The spline operator has no terrain object to find cells in!");
  Result<PointIndex*> indexResult = terrainData->GetCellPointIndex(terrainObject);
  if (indexResult.IsError())
    return indexResult.GetError();
  const PointIndex* index = indexResult.GetValue();
  // The index numbers the terrain object's cells; they are written into the output by those numbers.
  if (terrainData->GetTerrain().cellCount != _output.cellCount)
    return IllegalStateError("The terrain's cell index does not match the spline operator's grid!");

  BaseArray<SplineSample> samples;
  HOST_TRY(GetSplineSegments(spline, samples, &context.terrainMatrixInverse));
  copy.Free();
  const Int sampleCount = samples.GetCount();
  if (sampleCount == 0)
    return OK;

  BaseArray<CellListEntry> entries;
  HOST_TRY(entries.Resize(sampleCount));
  CellListEntry* entry = entries.GetFirst();
  const SplineSample* sample = samples.GetFirst();
  auto GatherCells = [=](Int i) -> Result<void> {
    const Float u = sample[i].offset;
    const Float radius = radiusCurve->Evaluate(u).y * width;
    entry[i].gain = gain->Evaluate(u).y;
    entry[i].inverseRadius = radius == 0.0 ? 0.0 : 1.0 / radius;
    entry[i].offset = u;
    // The full 3-D distance: a sample above or below the terrain's plane reaches fewer cells.
    return index->FindInRadius(GetCurrentThreadIndex(), sample[i].position, radius, entry[i].cells);
  };
  HOST_TRY(ParallelFor(0, sampleCount, GatherCells, threadCount, OGX::LOOP_GRANULARITY));

  Float* out = _output.cells.GetFirst();
  for (Int e = 0; e < sampleCount; ++e)
  {
    const PointIndexNearest* cells = entry[e].cells.GetFirst();
    const Float inverseRadius = entry[e].inverseRadius;
    const Float entryGain = entry[e].gain;
    auto RaiseCell = [=](Int j) {
      // Deliberately the squared distance times the inverse radius: stored scenes rely on this falloff.
      const Float x = 1.0 - cells[j].squaredDistance * inverseRadius;
      const Float v = profile->Evaluate(x).y * entryGain;
      Float& cell = out[cells[j].node->GetIndex()];
      if (accumulate)
        cell += v;
      else if (v > cell)
        cell = v;
    };
    // One sample at a time: within one sample every cell occurs once, so no two workers share a cell.
    HOST_TRY(ParallelFor(0, entry[e].cells.GetCount(), RaiseCell, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY));
  }

  if (accumulate)
    _output.Normalize(1.0, 0.0);
  _savedDirtySum = _currentDirtySum;
  _savedMatrixHash = _currentMatrixHash;
  return OK;
}

Bool RegisterSplineOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_SPLINEOPERATOR, SPLINEOPERATOR_ICON_X, SPLINEOPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_SPLINEOPERATOR, GeLoadString(IDS_SPLINE_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_GENERATOR, SplineOperator::Alloc,
                                   SPLINEOPERATOR_DESCRIPTION_NAME, icon, SPLINEOPERATOR_DISKLEVEL, sortOrder);
                               });
}
