// The evaluation queue's overhead on a rebuild where nothing changed, beside the blends it cannot avoid.
//
// EvaluationQueue/CachedRound/<n> is one owner's round over ten cached generator operators on an n x n
// terrain: copy the queue, Build, CheckDirty (every item OK), Reset the copy, then Evaluate, which blends
// every operator's cached output into the terrain through ApplyToTerrain (blend settings, masking list,
// empty field mask, BlendGrids, observer notification). Nothing is recomputed.
// Baseline/TenBlends/<n> is the unavoidable part: ten plain BlendGrids calls with the same jobs on the same
// grids. CachedRound runs the baseline before each of its own iterations and reports `vs_baseline`: the
// baseline's time over its own, so 1.0 means the queue adds nothing measurable to the blends.
// Times are wall-clock (the blends run on the pool's threads).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>

#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/scene/scene.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "orogenix/evaluation.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int32 ID_BENCH_GENERATOR = 1099901;
constexpr Int OPERATOR_COUNT = 10;
// Layer values lie in [0, 1): scaled and offset so that repeated ADD blends stay near where they start.
constexpr Float LAYER_SCALE = 1.0e-3;
constexpr Float LAYER_OFFSET = -0.5e-3;

// A generator whose output is noise-like values in [0, 1), computed once.
class BenchGenerator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<BenchGenerator>(); }
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_GENERATOR; }
  Result<void> ComputeOperator(const Grid2D<Float>&, BaseObject* op, BaseDocument*, EvaluationContext& context) override
  {
    HOST_TRY(_output.Init(context.resolutionX + 1, context.resolutionZ + 1, context.sizeX, context.sizeZ));
    LcgRandom rng;
    rng.Init(static_cast<UInt32>(op->GetGUID()));
    for (Int i = 0; i < _output.cellCount; ++i)
      _output.cells[i] = rng.Get01();
    return OK;
  }
};

class PlainObject : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<PlainObject>(); }
};

// A terrain object (stand-in) with ten settled generators, and the terrain grid they blend into.
struct Scene
{
  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;
  EvaluationContext context;
  EvaluationQueue queue;
  Grid2D<Float> terrain;
  BlendJob jobs[OPERATOR_COUNT];
};

Scene& GetScene(Int side)
{
  static std::map<Int, std::unique_ptr<Scene>> cache;
  static const Bool registered =
    RegisterObjectPlugin(ID_BENCH_GENERATOR, "Bench generator", OBJECT_GENERATOR, BenchGenerator::Alloc, String(),
                         nullptr, 1) &&
    RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, PlainObject::Alloc, String(), nullptr, 1);
  if (!registered)
    std::abort();
  auto& slot = cache[side];
  if (slot)
    return *slot;
  slot = std::make_unique<Scene>();
  Scene& s = *slot;
  s.doc = BaseDocument::Alloc();
  s.terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  if (!s.doc || !s.terrainObject || !s.doc->InsertObject(s.terrainObject, nullptr))
    std::abort();
  for (Int i = 0; i < OPERATOR_COUNT; ++i)
  {
    BaseObject* op = BaseObject::Alloc(ID_BENCH_GENERATOR);
    if (!op || !op->InsertUnderLast(s.terrainObject))
      std::abort();
    BaseContainer& bc = op->GetDataInstanceRef();
    bc.SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::ADD));
    bc.SetFloat(TERRAINOPERATOR_HEIGHT, LAYER_SCALE);
    bc.SetFloat(TERRAINOPERATOR_OFFSET, LAYER_OFFSET);
  }
  InitEvaluationContext(s.context, side - 1, side - 1, 1000.0, 1000.0, 1.0, s.terrainObject, nullptr);
  if (s.terrain.Init(side, side, 1000.0, 1000.0).IsError())
    std::abort();

  // The first round computes every operator; after it the queue is settled.
  if (s.queue.Build(s.terrainObject).IsError())
    std::abort();
  s.queue.CheckDirty(s.context, nullptr);
  if (s.queue.Evaluate(s.terrain, s.context).IsError())
    std::abort();

  // The jobs ApplyToTerrain runs for these operators: ADD at full opacity, no mask.
  for (Int i = 0; i < OPERATOR_COUNT; ++i)
  {
    BlendJob& job = s.jobs[i];
    job.destination = s.terrain.cells.GetFirst();
    job.layer = s.queue.GetItems()[i].data->GetOutputGrid().cells.GetFirst();
    job.destinationMin = &s.terrain.min;
    job.mode = static_cast<Int32>(BLENDMODE::ADD);
    job.opacity = 1.0;
    job.layerScale = LAYER_SCALE;
    job.layerOffset = LAYER_OFFSET;
  }
  return s;
}

void RunTenBlends(Scene& s)
{
  for (const BlendJob& job : s.jobs)
  {
    const Result<void> res = BlendGrids(0, s.terrain.cellCount, job, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
    benchmark::DoNotOptimize(res.IsOk());
  }
  benchmark::ClobberMemory();
}

// What the terrain object does on a rebuild, minus the mesh: the queue round and the evaluation.
void RunCachedRound(Scene& s)
{
  EvaluationQueue previous;
  if (previous.CopyFrom(s.queue).IsError() || s.queue.Build(s.terrainObject).IsError())
    std::abort();
  const EvaluationQueue::STATUS status = s.queue.CheckDirty(s.context, &previous);
  previous.Reset();
  benchmark::DoNotOptimize(status);
  if (s.queue.Evaluate(s.terrain, s.context).IsError())
    std::abort();
  benchmark::ClobberMemory();
}

void SetCounters(benchmark::State& state, const Scene& s)
{
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * s.terrain.cellCount * OPERATOR_COUNT);
}

void BM_TenBlends(benchmark::State& state)
{
  Scene& s = GetScene(state.range(0));
  for (auto _ : state)
    RunTenBlends(s);
  SetCounters(state, s);
}

void BM_CachedRound(benchmark::State& state)
{
  using Clock = std::chrono::steady_clock;
  Scene& s = GetScene(state.range(0));
  double roundSeconds = 0.0;
  double baselineSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    RunTenBlends(s);
    const auto t1 = Clock::now();
    RunCachedRound(s);
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    roundSeconds += seconds;
    baselineSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  state.counters["vs_baseline"] = roundSeconds > 0.0 ? baselineSeconds / roundSeconds : 0.0;
  // Every operator must have come from its cache.
  for (const EvaluationQueueItem& item : s.queue.GetItems())
    if (item.data->GetRebuildFlag())
      state.SkipWithError("an operator was marked for recomputation");
  SetCounters(state, s);
}
} // namespace

// 4001: a terrain of resolution 4000 (ten 128 MB operator grids and the terrain, far beyond the caches);
// 1001 for comparison.
BENCHMARK(BM_TenBlends)->Name("Baseline/TenBlends")->Arg(1001)->Arg(4001)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CachedRound)
  ->Name("EvaluationQueue/CachedRound")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
