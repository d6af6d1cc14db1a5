// Grid blending, normalisation and the parallel loop, each beside a baseline measured in the same run.
//
// Baseline/Update/<n> is the bandwidth yardstick: an in-place d[i] += s * l[i] over two arrays of
// n x n doubles, run on the same pool with the same block formulation, granularity and index space as
// BlendGrids (OGX::ParallelForBlocks), so it moves the same 24 bytes per cell as an unmasked blend and
// as Normalize (8 bytes read by the min/max pass, 8 read and 8 written by the remap).
// BlendGrids and Normalize also run that update before every one of their own iterations and report
// `vs_baseline`: the baseline's time over theirs, i.e. their bytes per second as a fraction of the
// baseline's, measured in alternation so that both see the same load on the machine. Their own time
// (and bytes per second) excludes the baseline's.
// Baseline/UpdatePerIndex/<n> is the update with one host-loop index per cell, to show what the block
// formulation saves. ParallelFor/Empty/4001 is the fixed cost of one loop over 4001 rows on the pool,
// called back to back; ParallelFor/EmptyOneThread/4001 is the same loop on the calling thread.
// Times are wall-clock (the work runs on the pool's threads).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>

#include "host/core/parallel.h"
#include "host/core/random.h"
#include "orogenix/blend.h"
#include "orogenix/grid2d.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int BYTES_PER_CELL = 3 * sizeof(Float);   // read destination and layer, write destination

// Destination and layer grids of one size, made once and shared by every benchmark of that size.
struct Grids
{
  Grid2D<Float> destination;
  Grid2D<Float> layer;
  Float updateScale = 1.0e-3;
};

Grids& GetGrids(Int side)
{
  static std::map<Int, std::unique_ptr<Grids>> cache;
  auto& slot = cache[side];
  if (!slot)
  {
    slot = std::make_unique<Grids>();
    if (slot->destination.Init(side, side, 1000.0, 1000.0).IsError() ||
        slot->layer.Init(side, side, 1000.0, 1000.0).IsError())
      std::abort();
    LcgRandom rng;
    rng.Init(7);
    for (Int i = 0; i < slot->destination.cellCount; ++i)
    {
      slot->destination.cells[i] = rng.Get01() * 100.0;
      slot->layer.cells[i] = rng.Get01();
    }
    slot->destination.RecomputeMinMax();
  }
  return *slot;
}

// The baseline: d[i] += s * l[i], with the sign of s alternating so the values stay where they are.
void RunUpdate(Grids& g)
{
  RunUpdatePass(g.destination.cells.GetFirst(), g.layer.cells.GetFirst(), g.destination.cellCount, g.updateScale);
}

void SetCounters(benchmark::State& state, Int cells, Int bytesPerCell)
{
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * cells);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * cells * bytesPerCell);
}

// Runs the baseline and then `work` in every iteration; the iteration's time is the work's alone.
template <typename Work>
void RunBesideBaseline(benchmark::State& state, Grids& g, Work&& work)
{
  const PairedSeconds seconds = TimeBesideBaseline(state, [&] { RunUpdate(g); }, work);
  state.counters["vs_baseline"] = seconds.work > 0.0 ? seconds.baseline / seconds.work : 0.0;
  SetCounters(state, g.destination.cellCount, BYTES_PER_CELL);
}

void BM_Blend(benchmark::State& state, BLENDMODE mode)
{
  Grids& g = GetGrids(state.range(0));
  Grid2D<Float>& d = g.destination;
  BlendJob job;
  job.destination = d.cells.GetFirst();
  job.layer = g.layer.cells.GetFirst();
  job.destinationMin = &d.min;
  job.range = d.max - d.min;
  job.inverseRange = job.range != 0.0 ? 1.0 / job.range : 0.0;
  job.mode = static_cast<Int32>(mode);
  job.opacity = 0.5;
  job.layerScale = 1.0;
  job.layerOffset = -0.5;   // the layer averages 0, so repeated ADD blends do not drift far
  RunBesideBaseline(state, g, [&] {
    const Result<void> res = BlendGrids(0, d.cellCount, job, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
    benchmark::DoNotOptimize(res.IsOk());
  });
}

void BM_Normalize(benchmark::State& state)
{
  Grids& g = GetGrids(state.range(0));
  RunBesideBaseline(state, g, [&] { g.destination.Normalize(100.0, 0.0); });
}

void BM_BaselineUpdate(benchmark::State& state)
{
  Grids& g = GetGrids(state.range(0));
  for (auto _ : state)
    RunUpdate(g);
  SetCounters(state, g.destination.cellCount, BYTES_PER_CELL);
}

void BM_BaselineUpdatePerIndex(benchmark::State& state)
{
  Grids& g = GetGrids(state.range(0));
  Float* d = g.destination.cells.GetFirst();
  const Float* l = g.layer.cells.GetFirst();
  Float s = 1.0e-3;
  for (auto _ : state)
  {
    const Float scale = s;
    const Result<void> res = ParallelFor(
      0, g.destination.cellCount, [d, l, scale](Int i) { d[i] += scale * l[i]; }, OGX::LOOP_ALLTHREADS,
      OGX::LOOP_GRANULARITY);
    benchmark::DoNotOptimize(res.IsOk());
    benchmark::ClobberMemory();
    s = -s;
  }
  SetCounters(state, g.destination.cellCount, BYTES_PER_CELL);
}

void BM_EmptyLoop(benchmark::State& state, Int threads)
{
  const Int rows = state.range(0);
  for (auto _ : state)
  {
    const Result<void> res = ParallelFor(
      0, rows, [](Int i) { benchmark::DoNotOptimize(i); }, threads, OGX::LOOP_GRANULARITY);
    benchmark::DoNotOptimize(res.IsOk());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows);
}
} // namespace

// Sizes 1001 and 4001 are grids of (resolution + 1) cells per side; the 4001 grids (128 MB each) are
// far larger than the caches.
BENCHMARK(BM_BaselineUpdate)
  ->Name("Baseline/Update")
  ->Arg(1001)
  ->Arg(4001)
  ->UseRealTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Blend, add, BLENDMODE::ADD)
  ->Name("BlendGrids/ADD")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Blend, overlay, BLENDMODE::OVERLAY)
  ->Name("BlendGrids/OVERLAY")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Normalize)
  ->Name("Normalize/Float")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BaselineUpdatePerIndex)
  ->Name("Baseline/UpdatePerIndex")
  ->Arg(1001)
  ->Arg(4001)
  ->UseRealTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EmptyLoop, all, OGX::LOOP_ALLTHREADS)
  ->Name("ParallelFor/Empty")
  ->Arg(4001)
  ->UseRealTime()
  ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EmptyLoop, one, OGX::LOOP_ONETHREAD)
  ->Name("ParallelFor/EmptyOneThread")
  ->Arg(4001)
  ->UseRealTime()
  ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
