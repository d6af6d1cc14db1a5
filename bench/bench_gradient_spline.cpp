// The gradient and spline operators' computations beside the work they are measured against, in the
// same iteration.
//
// gradient/<type>/<side>: the gradient operator (profile: its default curve) on a side x side terrain of
// 1000 x 1000 units, on all threads with the build's thread in the context, as a rebuild runs it. Its
// baseline is the curve operator's per-cell curve loop over the same cells with the same curve (both are
// dominated by SplineData::Evaluate); for the distorted variants the baseline adds a loop that stores two
// HostNoise3D samples per cell (what the distortion samples). The rectangular type evaluates the profile
// twice per cell inside its rectangle, the others once.
// spline/operator/<side>: the spline operator with a 200-point spline at width 75 on a terrain of one unit
// per cell (side - 1 units across); its baseline is UpdateCellPointIndex of the same terrain (the index
// dropped and built again), which runs first in each iteration, so the operator finds it up to date.
//
// Counters: `vs_baseline` is the operator's time over the baseline's, `baseline_ms` the baseline's time.
// Times are wall-clock (the work runs on the host's pool); the iteration's time is the operator's alone.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <cmath>
#include <memory>

#include "host/core/thread.h"
#include "host/noise/noise.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "host/splines/splinedata.h"
#include "object/operator_curve.h"
#include "object/operator_gradient.h"
#include "object/operator_spline.h"
#include "object/terraindistortion.h"
#include "object/terrainobject.h"
#include "orogenix/ogx_parallel.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr Float GRADIENT_TERRAIN_SIZE = 1000.0;
constexpr Int32 SPLINE_POINTS = 200;
constexpr Float SPLINE_WIDTH = 75.0;

void RegisterPlugins()
{
  static const Bool registered = [] {
    Check(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, TerrainObject::Alloc, String(),
                               nullptr, 1));
    Check(RegisterObjectPlugin(ID_OGX_CURVEOPERATOR, "Curve", OBJECT_GENERATOR, CurveOperator::Alloc, String(),
                               nullptr, 1));
    Check(RegisterObjectPlugin(ID_OGX_GRADIENTOPERATOR, "Gradient", OBJECT_GENERATOR, GradientOperator::Alloc,
                               String(), nullptr, 1));
    Check(RegisterObjectPlugin(ID_OGX_SPLINEOPERATOR, "Spline", OBJECT_GENERATOR, SplineOperator::Alloc, String(),
                               nullptr, 1));
    return true;
  }();
  (void)registered;
}

struct DocumentDeleter
{
  void operator()(BaseDocument* doc) const { BaseDocument::Free(doc); }
};
using DocumentPtr = std::unique_ptr<BaseDocument, DocumentDeleter>;

// ---------------------------------------------------------------------------------------------------
// Gradient

// Heights over 0 .. 100 with their range, for the curve operator to remap: an irregular sawtooth, so the
// curve is read all over its range.
const Grid2D<Float>& Input(Int side)
{
  static Int madeSide = 0;
  static Grid2D<Float> grid;
  if (madeSide != side)
  {
    Check(grid.Init(side, side, GRADIENT_TERRAIN_SIZE, GRADIENT_TERRAIN_SIZE).IsOk());
    for (Int i = 0; i < grid.cellCount; ++i)
      grid.cells[i] = 100.0 * static_cast<Float>((i * 7919) % 1009) / 1008.0;
    grid.RecomputeMinMax();
    madeSide = side;
  }
  return grid;
}

// Runs baseline() and then work() each iteration and times work() alone; the counters as the file
// comment says, items per iteration as given.
template <typename Baseline, typename Work>
void RunAgainstBaseline(benchmark::State& state, Baseline&& baseline, Work&& work, Int items)
{
  double operatorSeconds = 0.0;
  double baselineSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    baseline();
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    work();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    operatorSeconds += seconds;
    baselineSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  state.counters["vs_baseline"] = baselineSeconds > 0.0 ? operatorSeconds / baselineSeconds : 0.0;
  state.counters["baseline_ms"] = 1000.0 * baselineSeconds / static_cast<double>(state.iterations());
  state.counters["threads"] = static_cast<double>(GetCurrentThreadCount());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * items);
}

// Two HostNoise3D samples per cell at the distortion's sample positions, stored.
void NoisePass(Grid2D<Float>& g)
{
  Float* c = g.cells.GetFirst();
  const Int w = g.width;
  const Int h = g.height;
  const Float sx = g.sizeX;
  const Float sy = g.sizeY;
  Check(OGX::ParallelForBlocks(0, g.cellCount, [=](Int begin, Int end) {
          for (Int i = begin; i < end; ++i)
          {
            const Float x = (GridFraction(i % w, w - 1) * sx - sx * 0.5) / 75.0;
            const Float z = (sy * 0.5 - GridFraction(i / w, h - 1) * sy) / 75.0;
            c[i] = HostNoise3D(Vector(x, 0.0, z), 0.0) + HostNoise3D(Vector(x, 10.0, z), 0.0);
          }
        }).IsOk());
}

void BM_Gradient(benchmark::State& state, Int32 type, Bool distorted)
{
  RegisterPlugins();
  const Int side = state.range(0);
  const Grid2D<Float>& input = Input(side);
  DocumentPtr doc(BaseDocument::Alloc());
  BaseObject* terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  BaseObject* gradient = BaseObject::Alloc(ID_OGX_GRADIENTOPERATOR);
  BaseObject* curve = BaseObject::Alloc(ID_OGX_CURVEOPERATOR);
  Check(doc && terrainObject && gradient && curve && doc->InsertObject(terrainObject, nullptr) &&
        doc->InsertObject(gradient, terrainObject) && doc->InsertObject(curve, terrainObject));

  // Shapes that cover most of the terrain: a radius and sizes of 0.9 of it.
  BaseContainer& g = gradient->GetDataInstanceRef();
  g.SetInt32(GRADIENTOPERATOR_TYPE, type);
  g.SetFloat(GRADIENTOPERATOR_RADIUS, GRADIENT_TERRAIN_SIZE * 0.45);
  g.SetFloat(GRADIENTOPERATOR_LENGTH, GRADIENT_TERRAIN_SIZE * 0.9);
  g.SetFloat(GRADIENTOPERATOR_DEPTH, GRADIENT_TERRAIN_SIZE * 0.8);
  g.SetBool(TERRAINDISTORTION_ENABLE, distorted);
  // The curve loop evaluates the gradient's own profile.
  curve->GetDataInstanceRef().SetData(CURVEOPERATOR_CURVE, g.GetData(GRADIENTOPERATOR_PROFILE));

  HostThread thread;
  HierarchyContext hh(doc.get(), 1.0, &thread, BUILDFLAGS::NONE);
  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, GRADIENT_TERRAIN_SIZE, GRADIENT_TERRAIN_SIZE, 1.0,
                        terrainObject, &hh);
  auto* gradientData = gradient->GetNodeData<OGX::BaseTerrainOperatorData>();
  auto* curveData = curve->GetNodeData<OGX::BaseTerrainOperatorData>();
  Grid2D<Float> scratch;
  Check(scratch.CopyFrom(input).IsOk());
  // The first computations shape the outputs; the iterations reuse their cells.
  Check(gradientData->ComputeOperator(input, gradient, doc.get(), context).IsOk());
  Check(curveData->ComputeOperator(input, curve, doc.get(), context).IsOk());

  RunAgainstBaseline(
    state,
    [&] {
      Check(curveData->ComputeOperator(input, curve, doc.get(), context).IsOk());
      if (distorted)
        NoisePass(scratch);
    },
    [&] { Check(gradientData->ComputeOperator(input, gradient, doc.get(), context).IsOk()); }, side * side);
}

// ---------------------------------------------------------------------------------------------------
// Spline

// A terrain of one unit per cell with the spline operator below it, built once per side (the build
// computes the operator once and makes the cell index).
struct SplineScene
{
  Int side = 0;
  DocumentPtr doc;
  BaseObject* terrainObject = nullptr;
  BaseObject* op = nullptr;

  void Make(Int s)
  {
    doc.reset();   // the previous side's terrain and mesh go first
    side = s;
    doc.reset(BaseDocument::Alloc());
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    op = BaseObject::Alloc(ID_OGX_SPLINEOPERATOR);
    const Float size = static_cast<Float>(side - 1);
    // A wave across the terrain, 200 points about 0.8 x size apart end to end.
    SplineObject* spline = SplineObject::Alloc(SPLINE_POINTS, SPLINETYPE::LINEAR);
    Check(doc && terrainObject && op && spline && doc->InsertObject(spline, nullptr) &&
          doc->InsertObject(terrainObject, nullptr) && doc->InsertObject(op, terrainObject));
    Vector* points = spline->GetPointW();
    for (Int32 i = 0; i < SPLINE_POINTS; ++i)
    {
      const Float u = static_cast<Float>(i) / (SPLINE_POINTS - 1);
      points[i] = Vector((u - 0.5) * 0.8 * size, 0.0, 0.25 * size * std::sin(u * 6.0));
    }
    BaseContainer& t = terrainObject->GetDataInstanceRef();
    t.SetInt32(TERRAINOBJECT_RESOLUTION_X, static_cast<Int32>(side - 1));
    t.SetInt32(TERRAINOBJECT_RESOLUTION_Z, static_cast<Int32>(side - 1));
    t.SetFloat(TERRAINOBJECT_SIZE_X, size);
    t.SetFloat(TERRAINOBJECT_SIZE_Z, size);
    t.SetInt32(TERRAINOBJECT_ISOPARMS, 0);
    op->GetDataInstanceRef().SetLink(SPLINEOPERATOR_SPLINE, spline);
    op->GetDataInstanceRef().SetFloat(SPLINEOPERATOR_WIDTH, SPLINE_WIDTH);
    HierarchyContext hh(doc.get(), 1.0, nullptr, BUILDFLAGS::NONE);
    Check(host::BuildObjectCache(terrainObject, &hh) != nullptr);
    Check(terrainObject->GetNodeData<TerrainObject>()->GetTerrain().cellCount == side * side);
  }
};

void BM_Spline(benchmark::State& state)
{
  RegisterPlugins();
  static SplineScene scene;
  const Int side = state.range(0);
  if (scene.side != side)
    scene.Make(side);
  TerrainObject* terrainData = scene.terrainObject->GetNodeData<TerrainObject>();
  const Grid2D<Float>& terrain = terrainData->GetTerrain();
  HierarchyContext hh(scene.doc.get(), 1.0, nullptr, BUILDFLAGS::NONE);
  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, terrain.sizeX, terrain.sizeY, 1.0, scene.terrainObject, &hh);
  auto* data = scene.op->GetNodeData<OGX::BaseTerrainOperatorData>();

  RunAgainstBaseline(
    state,
    [&] {
      terrainData->InvalidateCellPointIndex();
      Check(terrainData->UpdateCellPointIndex(scene.terrainObject).IsOk());
    },
    [&] { Check(data->ComputeOperator(terrain, scene.op, scene.doc.get(), context).IsOk()); }, SPLINE_POINTS);
}

const int g_registered = [] {
  struct Type
  {
    const char* name;
    Int32 type;
    Bool distorted;
  };
  const Type types[] = {{"radial", GRADIENTTYPE_RADIAL, false},           {"linear", GRADIENTTYPE_LINEAR, false},
                        {"rectangular", GRADIENTTYPE_RECTANGULAR, false}, {"square", GRADIENTTYPE_SQUARE, false},
                        {"radial_distorted", GRADIENTTYPE_RADIAL, true},  {"linear_distorted", GRADIENTTYPE_LINEAR, true}};
  for (const Type& t : types)
    benchmark::RegisterBenchmark((String("gradient/") + t.name).GetStd().c_str(), BM_Gradient, t.type, t.distorted)
      ->Arg(1001)
      ->Arg(4001)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("spline/operator", BM_Spline)
    ->Arg(1001)
    ->Arg(4001)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
  return 0;
}();
} // namespace

BENCHMARK_MAIN();
