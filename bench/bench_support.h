// Small pieces the benchmarks share: a terrain object stand-in for operators that look up their
// terrain object (a plain generator under the terrain object's id), a check that stops the
// benchmark when its set-up fails (a benchmark of a failed set-up would measure nothing), and the
// update pass that grid benchmarks measure against.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "host/core/alloc.h"
#include "host/scene/nodedata.h"
#include "orogenix/ogx_parallel.h"

class BenchTerrainData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<BenchTerrainData>(); }
};

inline void Check(Bool ok)
{
  if (!ok)
    std::abort();
}

// The bandwidth yardstick: one in-place pass d[i] += scale * l[i] over `count` doubles on all threads,
// in the block formulation of the grid loops (24 bytes moved per cell). The sign of `scale` flips on
// every call, so repeated passes leave the values where they are.
inline void RunUpdatePass(Float* d, const Float* l, Int count, Float& scale)
{
  const Float s = scale;
  scale = -scale;
  const Result<void> res = OGX::ParallelForBlocks(0, count, [d, l, s](Int begin, Int end) {
    for (Int i = begin; i < end; ++i)
      d[i] += s * l[i];
  });
  benchmark::DoNotOptimize(res.IsOk());
  benchmark::ClobberMemory();
}

// Seconds summed over a benchmark's iterations.
struct PairedSeconds
{
  double work = 0.0;
  double baseline = 0.0;
};

// Runs `baseline` and then `work` in every iteration, in alternation so that both see the same load on
// the machine; the iteration's time (for UseManualTime) is the work's alone.
template <typename Baseline, typename Work>
PairedSeconds TimeBesideBaseline(benchmark::State& state, Baseline&& baseline, Work&& work)
{
  using Clock = std::chrono::steady_clock;
  PairedSeconds total;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    baseline();
    const auto t1 = Clock::now();
    work();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    total.work += seconds;
    total.baseline += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  return total;
}
