// The terrain object's cache build and its cell point index, each beside a baseline in the same run.
//
// TerrainBuild/Full/<n>: a whole rebuild of an n x n terrain (resolution n - 1) with a wave generator
// and a scaling filter below it: both operators recomputed (a listed parameter of the generator changes
// every iteration), blended, the range recomputed, the plane built with its UVWs and the heights set.
// The scene is built and rebuilt once before the timed loop, so the loop times rebuilds in their steady
// state (the host's record pool holds the arrays of the mesh each rebuild replaces);
// TerrainBuild/FirstRebuild/<n> times the first rebuild of a fresh scene alone, the pool emptied
// before it. The counter `faults` of TerrainBuild/Full is the process's minor page faults per rebuild
// (0: the rebuild writes only into memory it already has).
// Read it against Baseline/WriteMesh of the same size, which writes the bytes of the mesh the build
// hands out (points 24, polygons 16, UVWs 96 bytes per cell) once on the same pool: the least any
// build of that mesh must cost.
// TerrainBuild/Reblend/<n>: a parameter of the terrain object itself changes: every operator's cached
// output is blended again and a new mesh built, no operator recomputed.
// TerrainBuild/ReblendOpacity/<n>: the opacity of the last operator (the filter) changes: the same work
// as Reblend, started from an operator's blend setting.
// TerrainBuild/Cached/<n>: nothing changed: the build must return the existing cache. Its counter
// `full_over_cached` is the full build's time (measured in the same benchmark before the loop) over the
// cached build's.
// CellPointIndex/Update/<n>: the index over the n x n cell positions built anew (invalidated before every
// iteration); Baseline/CellPositions/<n> is the plain loop that computes those positions into an array.
// Times are wall-clock (the work runs on the pool's threads).
#include <benchmark/benchmark.h>

#include <chrono>
#include <sys/resource.h>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"
#include "host/scene/scene.h"
#include "object/terrainmesh.h"
#include "object/terrainobject.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int32 ID_BENCH_WAVE = 1099201;
constexpr Int32 ID_BENCH_SCALE = 1099202;
constexpr Int32 BENCH_VALUE = 5001;   // listed as recomputing, so changing it rebuilds the operator

// A generator: a smooth wave over the grid, written in blocks on all threads.
class WaveGenerator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<WaveGenerator>(); }
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_GENERATOR; }
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&) override
  {
    return ids.Append(BENCH_VALUE).IsOk();
  }
  Result<void> ComputeOperator(const Grid2D<Float>&, BaseObject* op, BaseDocument*, EvaluationContext& context) override
  {
    HOST_TRY(_output.Init(context.resolutionX + 1, context.resolutionZ + 1, context.sizeX, context.sizeZ));
    const Float amplitude = op->GetDataInstanceRef().GetFloat(BENCH_VALUE, 1.0);
    const Int w = _output.width;
    Float* cells = _output.cells.GetFirst();
    return OGX::ParallelForBlocks(0, _output.cellCount, [&](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
        cells[i] =
          amplitude * (std::sin(0.01 * static_cast<Float>(i % w)) * std::cos(0.013 * static_cast<Float>(i / w)));
    });
  }
};

// A filter: its input scaled and raised.
class ScaleFilter : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<ScaleFilter>(); }
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_FILTER; }
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&) override
  {
    return ids.Append(BENCH_VALUE).IsOk();
  }
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject*, BaseDocument*, EvaluationContext&) override
  {
    HOST_TRY(_output.InitLike(terrain));
    const Float* in = terrain.cells.GetFirst();
    Float* out = _output.cells.GetFirst();
    return OGX::ParallelForBlocks(0, _output.cellCount, [&](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
        out[i] = in[i] * 0.5 + 1.0;
    });
  }
};

// One document with one terrain object of a given side and the two operators below it.
struct Scene
{
  BaseDocument* doc = nullptr;
  BaseObject* terrain = nullptr;
  BaseObject* wave = nullptr;
  BaseObject* scale = nullptr;
  Float amplitude = 1.0;

  explicit Scene(Int side)
  {
    static const Bool registered = [] {
      return RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, TerrainObject::Alloc, "oterrain",
                                  nullptr, 1) &&
             RegisterObjectPlugin(ID_BENCH_WAVE, "Wave", OBJECT_GENERATOR, WaveGenerator::Alloc,
                                  "Obaseterrainoperator", nullptr, 1) &&
             RegisterObjectPlugin(ID_BENCH_SCALE, "Scale", OBJECT_GENERATOR, ScaleFilter::Alloc,
                                  "Obaseterrainoperator", nullptr, 1);
    }();
    if (!registered)
      std::abort();
    doc = BaseDocument::Alloc();
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    wave = BaseObject::Alloc(ID_BENCH_WAVE);
    scale = BaseObject::Alloc(ID_BENCH_SCALE);
    if (!doc || !terrain || !wave || !scale || !doc->InsertObject(terrain, nullptr) ||
        !wave->InsertUnderLast(terrain) || !scale->InsertUnderLast(terrain))
      std::abort();
    BaseContainer& data = terrain->GetDataInstanceRef();
    data.SetInt32(TERRAINOBJECT_RESOLUTION_X, static_cast<Int32>(side - 1));
    data.SetInt32(TERRAINOBJECT_RESOLUTION_Z, static_cast<Int32>(side - 1));
    data.SetFloat(TERRAINOBJECT_SIZE_X, 1000.0);
    data.SetFloat(TERRAINOBJECT_SIZE_Z, 1000.0);
    wave->GetDataInstanceRef().SetFloat(BENCH_VALUE, amplitude);
  }
  ~Scene() { BaseDocument::Free(doc); }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  BaseObject* Build()
  {
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    return host::BuildObjectCache(terrain, &hh);
  }
  // A listed parameter of the generator: both operators are recomputed by the next build.
  void TouchGenerator()
  {
    amplitude = amplitude == 1.0 ? 1.5 : 1.0;
    wave->GetDataInstanceRef().SetFloat(BENCH_VALUE, amplitude);
  }
  // The filter's opacity: a blend setting, so the next build only blends again.
  void TouchOpacity()
  {
    BaseContainer& data = scale->GetDataInstanceRef();
    data.SetFloat(TERRAINOPERATOR_OPACITY, data.GetFloat(TERRAINOPERATOR_OPACITY) == 1.0 ? 0.9 : 1.0);
  }
  void TouchTerrain()
  {
    BaseContainer& data = terrain->GetDataInstanceRef();
    data.SetFloat(TERRAINOBJECT_EDGE_HEIGHT, data.GetFloat(TERRAINOBJECT_EDGE_HEIGHT) == 0.0 ? 1.0 : 0.0);
  }
};

void RequireMesh(BaseObject* mesh)
{
  if (!mesh)
    std::abort();
  benchmark::DoNotOptimize(mesh);
}

void SetCellCounters(benchmark::State& state, Int side)
{
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}

// The bytes of the mesh the build hands out, written once on the pool: points, polygons and UVWs.
void BM_BaselineWriteMesh(benchmark::State& state)
{
  const Int side = state.range(0);
  const Int cells = side * side;
  std::vector<Vector> points(static_cast<std::size_t>(cells));
  std::vector<CPolygon> polygons(static_cast<std::size_t>(cells));
  std::vector<UVWStruct> uvws(static_cast<std::size_t>(cells));
  Float value = 0.0;
  for (auto _ : state)
  {
    value += 1.0;
    const Result<void> res = OGX::ParallelForBlocks(0, cells, [&](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
      {
        points[static_cast<std::size_t>(i)] = Vector(value, value, value);
        polygons[static_cast<std::size_t>(i)] = CPolygon(static_cast<Int32>(i), 1, 2, 3);
        uvws[static_cast<std::size_t>(i)] = UVWStruct(Vector(value), Vector(value), Vector(value), Vector(value));
      }
    });
    benchmark::DoNotOptimize(res.IsOk());
    benchmark::ClobberMemory();
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_BaselineWriteMesh)
  ->Name("Baseline/WriteMesh")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FullBuild(benchmark::State& state)
{
  const Int side = state.range(0);
  Scene scene(side);
  RequireMesh(scene.Build());
  scene.TouchGenerator();
  RequireMesh(scene.Build());
  struct rusage r0;
  getrusage(RUSAGE_SELF, &r0);
  for (auto _ : state)
  {
    scene.TouchGenerator();
    RequireMesh(scene.Build());
  }
  struct rusage r1;
  getrusage(RUSAGE_SELF, &r1);
  state.counters["faults"] = double(r1.ru_minflt - r0.ru_minflt) / double(state.iterations());
  SetCellCounters(state, side);
}
BENCHMARK(BM_FullBuild)->Name("TerrainBuild/Full")->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReblendBuild(benchmark::State& state)
{
  const Int side = state.range(0);
  Scene scene(side);
  RequireMesh(scene.Build());
  scene.TouchTerrain();
  RequireMesh(scene.Build());
  for (auto _ : state)
  {
    scene.TouchTerrain();
    RequireMesh(scene.Build());
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_ReblendBuild)
  ->Name("TerrainBuild/Reblend")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReblendOpacityBuild(benchmark::State& state)
{
  const Int side = state.range(0);
  Scene scene(side);
  RequireMesh(scene.Build());
  scene.TouchOpacity();
  RequireMesh(scene.Build());
  for (auto _ : state)
  {
    scene.TouchOpacity();
    RequireMesh(scene.Build());
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_ReblendOpacityBuild)
  ->Name("TerrainBuild/ReblendOpacity")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstRebuild(benchmark::State& state)
{
  const Int side = state.range(0);
  for (auto _ : state)
  {
    state.PauseTiming();
    host::FlushRecordStoragePool();
    {
      Scene scene(side);
      RequireMesh(scene.Build());
      scene.TouchGenerator();
      state.ResumeTiming();
      RequireMesh(scene.Build());
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_FirstRebuild)
  ->Name("TerrainBuild/FirstRebuild")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CachedBuild(benchmark::State& state)
{
  const Int side = state.range(0);
  Scene scene(side);
  RequireMesh(scene.Build());
  // The full build's time in this same benchmark, for the ratio.
  constexpr Int FULL_RUNS = 3;
  const auto start = std::chrono::steady_clock::now();
  for (Int k = 0; k < FULL_RUNS; ++k)
  {
    scene.TouchGenerator();
    RequireMesh(scene.Build());
  }
  const Float fullSeconds =
    std::chrono::duration<Float>(std::chrono::steady_clock::now() - start).count() / static_cast<Float>(FULL_RUNS);

  BaseObject* cache = scene.terrain->GetCache();
  const auto loopStart = std::chrono::steady_clock::now();
  Int iterations = 0;
  for (auto _ : state)
  {
    if (scene.Build() != cache)
      std::abort();
    ++iterations;
  }
  const Float cachedSeconds =
    std::chrono::duration<Float>(std::chrono::steady_clock::now() - loopStart).count() /
    static_cast<Float>(iterations > 0 ? iterations : 1);
  state.counters["full_ms"] = fullSeconds * 1e3;
  state.counters["full_over_cached"] = cachedSeconds > 0.0 ? fullSeconds / cachedSeconds : 0.0;
  SetCellCounters(state, side);
}
BENCHMARK(BM_CachedBuild)
  ->Name("TerrainBuild/Cached")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_BaselineCellPositions(benchmark::State& state)
{
  const Int side = state.range(0);
  Grid2D<Float> grid;
  if (grid.Init(side, side, 1000.0, 1000.0).IsError())
    std::abort();
  std::vector<Vector> positions(static_cast<std::size_t>(grid.cellCount));
  for (auto _ : state)
  {
    for (Int i = 0; i < grid.cellCount; ++i)
      positions[static_cast<std::size_t>(i)] = GetCellPosition(grid, i);
    benchmark::DoNotOptimize(positions.data());
    benchmark::ClobberMemory();
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_BaselineCellPositions)
  ->Name("Baseline/CellPositions")
  ->Arg(1001)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UpdateCellPointIndex(benchmark::State& state)
{
  const Int side = state.range(0);
  Scene scene(side);
  RequireMesh(scene.Build());
  TerrainObject* data = scene.terrain->GetNodeData<TerrainObject>();
  for (auto _ : state)
  {
    data->InvalidateCellPointIndex();
    if (data->UpdateCellPointIndex(scene.terrain).IsError())
      std::abort();
  }
  SetCellCounters(state, side);
}
BENCHMARK(BM_UpdateCellPointIndex)
  ->Name("CellPointIndex/Update")
  ->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
