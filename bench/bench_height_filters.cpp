// The height filters' computations (ComputeOperator) beside plain loops over the same cells, measured in
// the same iteration.
//
// height_filters/<operator>_<case>/<side>: a side x side input grid (heights over 0 .. 100 with a valid
// range, as the evaluation hands it to the filters that ask for it), computed on all threads with the
// build's thread in the context, as a rebuild runs them (the loops that test for a break ask it). Each
// iteration first runs the baseline, then the operator; the iteration's time is the operator's alone.
// The cell loops that test for a break (clamp cutting, curve) run once more without the build's thread
// (suffix "_nobreaktest"), which shows what the host's break test costs them.
// Counters: `vs_baseline` is the operator's time over the baseline's; `baseline_ms` the baseline's time.
// Baselines:
//  - update: a plain in-place pass h = h x a + b over a grid of the same size (one read and one write
//    per cell, the bytes every filter here has to move at the least);
//  - noise: a loop that stores HostNoise3D at the fold operator's sample positions, nothing else (for
//    the fold with noise, whose cost is the noise).
// Times are wall-clock (the work runs on the host's pool). The output grids keep their cells between
// iterations, as an operator's do between rebuilds of the same resolution.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <functional>

#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/core/thread.h"
#include "host/noise/noise.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "object/operator_adjustment.h"
#include "object/operator_clamp.h"
#include "object/operator_curve.h"
#include "object/operator_fold.h"
#include "object/operator_mirror.h"
#include "object/operator_quantize.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Float TERRAIN_SIZE = 1000.0;

enum class BASELINE
{
  UPDATE,
  NOISE,
};

struct Scene
{
  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;

  Scene()
  {
    Check(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, BenchTerrainData::Alloc, String(),
                               nullptr, 0));
    const std::pair<Int32, DataAllocator> filters[] = {
      {ID_OGX_ADJUSTMENTOPERATOR, AdjustmentOperator::Alloc}, {ID_OGX_CLAMPOPERATOR, ClampOperator::Alloc},
      {ID_OGX_CURVEOPERATOR, CurveOperator::Alloc},           {ID_OGX_FOLDOPERATOR, FoldOperator::Alloc},
      {ID_OGX_MIRROROPERATOR, MirrorOperator::Alloc},         {ID_OGX_QUANTIZEOPERATOR, QuantizeOperator::Alloc},
    };
    for (const auto& [id, alloc] : filters)
      Check(RegisterObjectPlugin(id, "Filter", OBJECT_GENERATOR, alloc, String(), nullptr, 1));
    doc = BaseDocument::Alloc();
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    Check(doc && terrainObject && doc->InsertObject(terrainObject, nullptr));
  }

  BaseObject* Add(Int32 id)
  {
    BaseObject* op = BaseObject::Alloc(id);
    Check(op && doc->InsertObject(op, terrainObject));
    return op;
  }
};

Scene& GetScene()
{
  static Scene* scene = new Scene();   // kept to the end of the process
  return *scene;
}

// The input: smooth hills with some finer detail, over 0 .. 100, its range found.
const Grid2D<Float>& Input(Int side)
{
  static Int madeSide = 0;
  static Grid2D<Float> grid;
  if (madeSide != side)
  {
    Check(grid.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
    Float* c = grid.cells.GetFirst();
    Check(OGX::ParallelForBlocks(0, grid.cellCount, [c, side](Int begin, Int end) {
            for (Int i = begin; i < end; ++i)
            {
              const Vector p(static_cast<Float>(i % side) * 0.004, 0.0, static_cast<Float>(i / side) * 0.004);
              c[i] = 100.0 * (0.75 * HostNoise3D(p) + 0.25 * HostNoise3D(p * 9.0));
            }
          }).IsOk());
    grid.RecomputeMinMax();
    madeSide = side;
  }
  return grid;
}

void UpdatePass(Grid2D<Float>& g)
{
  Float* c = g.cells.GetFirst();
  Check(OGX::ParallelForBlocks(0, g.cellCount, [c](Int begin, Int end) {
          for (Int i = begin; i < end; ++i)
            c[i] = c[i] * 0.5 + 1.0;
        }).IsOk());
  benchmark::ClobberMemory();
}

// HostNoise3D at the fold operator's sample positions for scale 1 and offset 0, stored.
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
            const Float x = GridFraction(i % w, w - 1) * sx - sx * 0.5;
            const Float z = sy * 0.5 - GridFraction(i / w, h - 1) * sy;
            c[i] = HostNoise3D(Vector(x * 0.01, 0.0, z * 0.01));
          }
        }).IsOk());
  benchmark::ClobberMemory();
}

void BM_Filter(benchmark::State& state, Int32 id, BASELINE baseline, Bool withThread,
               std::function<void(BaseContainer&)> setup)
{
  using Clock = std::chrono::steady_clock;
  Scene& s = GetScene();
  const Int side = state.range(0);
  const Grid2D<Float>& input = Input(side);
  BaseObject* op = s.Add(id);
  setup(op->GetDataInstanceRef());
  auto* data = op->GetNodeData<OGX::BaseTerrainOperatorData>();

  HostThread thread;
  HierarchyContext hh(s.doc, 1.0, &thread, BUILDFLAGS::NONE);
  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, TERRAIN_SIZE, TERRAIN_SIZE, 1.0, s.terrainObject,
                        withThread ? &hh : nullptr);
  Grid2D<Float> scratch;
  Check(scratch.CopyFrom(input).IsOk());
  // The first computation shapes the output; the iterations then reuse its cells.
  Check(data->ComputeOperator(input, op, s.doc, context).IsOk());

  double operatorSeconds = 0.0;
  double baselineSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    if (baseline == BASELINE::UPDATE)
      UpdatePass(scratch);
    else
      NoisePass(scratch);
    const auto t1 = Clock::now();
    Check(data->ComputeOperator(input, op, s.doc, context).IsOk());
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    operatorSeconds += seconds;
    baselineSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  BaseObject::Free(op);

  state.counters["vs_baseline"] = baselineSeconds > 0.0 ? operatorSeconds / baselineSeconds : 0.0;
  state.counters["baseline_ms"] = 1000.0 * baselineSeconds / static_cast<double>(state.iterations());
  state.counters["threads"] = static_cast<double>(GetCurrentThreadCount());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}

// The cell loops that test for a break are also measured without the build's thread, which shows what
// the host's break test (asked for nearly every cell) costs them.
void Register(const char* name, Int32 id, BASELINE baseline, std::function<void(BaseContainer&)> setup,
              Bool testsBreak = false)
{
  for (const Bool withThread : {true, false})
  {
    if (!withThread && !testsBreak)
      continue;
    benchmark::RegisterBenchmark((String(name) + (withThread ? "" : "_nobreaktest")).GetStd().c_str(), BM_Filter, id,
                                 baseline, withThread, setup)
      ->Arg(1001)
      ->Arg(4001)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  }
}

const int g_registered = [] {
  Register("height_filters/adjustment_absolute", ID_OGX_ADJUSTMENTOPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    bc.SetFloat(ADJUSTMENTOPERATOR_SCALE, 1.5);
    bc.SetFloat(ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, -20.0);
  });
  Register("height_filters/adjustment_relative", ID_OGX_ADJUSTMENTOPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    bc.SetBool(ADJUSTMENTOPERATOR_RELATIVE, true);
    bc.SetFloat(ADJUSTMENTOPERATOR_OFFSET_RELATIVE, 0.25);
  });
  Register("height_filters/clamp_rescale", ID_OGX_CLAMPOPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    bc.SetFloat(CLAMPOPERATOR_LOW, 10.0);
    bc.SetFloat(CLAMPOPERATOR_HIGH, 60.0);
  });
  Register("height_filters/clamp_cut", ID_OGX_CLAMPOPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    bc.SetFloat(CLAMPOPERATOR_LOW, 30.0);
    bc.SetFloat(CLAMPOPERATOR_HIGH, 70.0);
    bc.SetBool(CLAMPOPERATOR_CLAMP, true);
  }, true);
  Register("height_filters/quantize_8", ID_OGX_QUANTIZEOPERATOR, BASELINE::UPDATE, [](BaseContainer&) {});
  Register("height_filters/mirror_x", ID_OGX_MIRROROPERATOR, BASELINE::UPDATE,
           [](BaseContainer& bc) { bc.SetBool(MIRROROPERATOR_MIRROR_X, true); });
  Register("height_filters/mirror_xz_invert", ID_OGX_MIRROROPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    bc.SetBool(MIRROROPERATOR_MIRROR_X, true);
    bc.SetBool(MIRROROPERATOR_MIRROR_Z, true);
    bc.SetBool(MIRROROPERATOR_INVERT, true);
  });
  Register("height_filters/fold_straight", ID_OGX_FOLDOPERATOR, BASELINE::UPDATE,
           [](BaseContainer& bc) { bc.SetFloat(FOLDOPERATOR_LEVEL, 50.0); });
  Register("height_filters/fold_noise", ID_OGX_FOLDOPERATOR, BASELINE::NOISE, [](BaseContainer& bc) {
    bc.SetFloat(FOLDOPERATOR_LEVEL, 50.0);
    bc.SetFloat(FOLDOPERATOR_NOISE_AMOUNT, 20.0);
  });
  Register("height_filters/curve_glacier2", ID_OGX_CURVEOPERATOR, BASELINE::UPDATE, [](BaseContainer&) {}, true);
  Register("height_filters/curve_terrace2", ID_OGX_CURVEOPERATOR, BASELINE::UPDATE, [](BaseContainer& bc) {
    Check(ApplySplineDataPreset(bc, CURVEOPERATOR_CURVE, SPLINEDATAPRESET::TERRACE_2).IsOk());
  }, true);
  return 0;
}();
} // namespace

BENCHMARK_MAIN();
