// The erosion simulations, each beside a plain in-place update pass over one grid of the same size,
// measured in the same iteration so that the figures read as ratios.
//
// The terrain is four octaves of the host's solid noise (heights 0 to about 120 over 1000 x 1000 units,
// so that the default talus of 0.1 lets most cells move material), made once per size.
// erosion_thermal/<mode>_<threads>/<side>: one iteration of thermal weathering as a run of several does
//   it: the transfer pass into storage kept from the iteration before, then the exchange of the cells
//   (mode 0) or the five-point smoothing back into the grid (mode 3); the grid is restored between
//   iterations (untimed) so every iteration does the same work. erosion_thermal/weathering5_mode3/<side> is a whole five-iteration run
//   on a fresh copy, its own allocations included.
// erosion_hydraulic/step_<threads>/<side>: one step of the run's constants on a state that has run five
//   steps; erosion_hydraulic/<pass>/<side> each pass of the step on its own.
// erosion_noise/<side>: noise erosion with the operator's defaults on a fresh copy (copied untimed),
//   beside the noise library's own HostNoise3D loop over the same cells and positions (`vs_noise`).
// erosion_droplets/5000/<side>: the operator's droplet method with its defaults (sequential by nature).
// Counters: `vs_update` is the work's time over the update pass's; `update_ms` the update pass's time.
// "onethread" runs the work with the host's parallel switch off (the update pass always on all threads).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <map>
#include <memory>
#include <utility>

#include "host/core/parallel.h"
#include "host/noise/noise.h"
#include "object/operator_erosion.h"
#include "orogenix/erosion_droplet.h"
#include "orogenix/erosion_hydraulic.h"
#include "orogenix/erosion_thermal.h"
#include "orogenix/ogx_parallel.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr Float TERRAIN_SIZE = 1000.0;
constexpr Float TERRAIN_HEIGHT = 120.0;

// A terrain of one size and the grid the update pass runs over.
struct Terrain
{
  Grid2D<Float> heights;
  Grid2D<Float> update;
  Float step = 1.0e-3;
};

Terrain& GetTerrain(Int side)
{
  static std::map<Int, std::unique_ptr<Terrain>> cache;
  auto& slot = cache[side];
  if (!slot)
  {
    slot = std::make_unique<Terrain>();
    Check(slot->heights.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
    Check(slot->update.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
    Float* h = slot->heights.cells.GetFirst();
    const Float inverse = 1.0 / static_cast<Float>(side - 1);
    Check(ParallelFor(
            0, side,
            [&](Int y) {
              for (Int x = 0; x < side; ++x)
              {
                const Vector p(x * inverse * 8.0, 0.0, y * inverse * 8.0);
                Float v = 0.0, amplitude = 0.5, frequency = 1.0;
                for (int octave = 0; octave < 4; ++octave)
                {
                  v += amplitude * HostNoise3D(p * frequency);
                  amplitude *= 0.5;
                  frequency *= 2.1;
                }
                h[y * side + x] = v * TERRAIN_HEIGHT;
              }
            },
            OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY)
            .IsOk());
    slot->heights.RecomputeMinMax();
  }
  return *slot;
}

// The yardstick: d[i] += s over one grid, on all threads, s alternating so the values stay put.
void RunUpdate(Terrain& t)
{
  Float* d = t.update.cells.GetFirst();
  const Float s = t.step;
  t.step = -t.step;
  const Result<void> res = OGX::ParallelForBlocks(0, t.update.cellCount, [d, s](Int begin, Int end) {
    for (Int i = begin; i < end; ++i)
      d[i] += s;
  });
  benchmark::DoNotOptimize(res.IsOk());
  benchmark::ClobberMemory();
}

// Per iteration: prepare (untimed), the update pass, then the work with the thread setting; the
// iteration's time is the work's alone.
template <typename Prepare, typename Work>
void RunBesideUpdate(benchmark::State& state, Terrain& t, Bool allThreads, Prepare&& prepare, Work&& work)
{
  double workSeconds = 0.0;
  double updateSeconds = 0.0;
  for (auto _ : state)
  {
    prepare();
    const auto t0 = Clock::now();
    RunUpdate(t);
    const auto t1 = Clock::now();
    host::SetParallelEnabled(allThreads);
    work();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    host::SetParallelEnabled(true);
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    workSeconds += seconds;
    updateSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["vs_update"] = updateSeconds > 0.0 ? workSeconds / updateSeconds : 0.0;
  state.counters["update_ms"] = 1000.0 * updateSeconds / n;
  state.counters["threads"] = static_cast<double>(allThreads ? GetCurrentThreadCount() : 1);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * t.heights.cellCount);
}

ThermalSettings OperatorThermalSettings(Int32 mode, Int32 iterations)
{
  ThermalSettings s;
  s.iterations = iterations;
  s.removal = 0.8;
  s.talus = 0.1;
  s.deposit = 0.2;
  s.mode = mode;
  s.smooth = true;
  return s;
}

void BM_ThermalIteration(benchmark::State& state, Int32 mode, Bool allThreads)
{
  Terrain& t = GetTerrain(state.range(0));
  const ThermalSettings s = OperatorThermalSettings(mode, 1);
  const Bool distributed = mode == 3 || mode == 4;
  const Bool eight = mode == 1 || mode == 3;
  Grid2D<Float> grid;
  Grid2D<Float> target;
  ThermalOutflow outflow;
  Check(grid.CopyFrom(t.heights).IsOk());
  // Shaped once, as the first iteration of a run does.
  Check(ThermalTransferB(grid, target, s, eight, outflow).IsOk());
  Check(ThermalTransferA(grid, target, s, eight, outflow).IsOk());
  RunBesideUpdate(
    state, t, allThreads, [&] { Check(grid.CopyFrom(t.heights).IsOk()); },
    [&] {
      if (distributed)
      {
        Check(ThermalTransferA(grid, target, s, eight, outflow).IsOk());
        Check(SmoothHeightsFivePoint(target, grid).IsOk());
      }
      else
      {
        Check(ThermalTransferB(grid, target, s, eight, outflow).IsOk());
        std::swap(grid.cells, target.cells);
      }
    });
}

void BM_ThermalWeathering(benchmark::State& state)
{
  Terrain& t = GetTerrain(state.range(0));
  constexpr Int32 ITERATIONS = 5;
  Grid2D<Float> grid;
  RunBesideUpdate(
    state, t, true, [&] { Check(grid.CopyFrom(t.heights).IsOk()); },
    [&] { Check(ThermalWeathering(grid, OperatorThermalSettings(3, ITERATIONS), nullptr).IsOk()); });
}

// A hydraulic state over the terrain that has run a few steps, so water and sediment are spread.
struct Hydraulic
{
  HydraulicGridSet set;
  HydraulicErosionState state{set};
  Int centre[2] = {0, 0};

  explicit Hydraulic(const Grid2D<Float>& heights)
  {
    Check(InitHydraulicGrids(set, heights).IsOk());
    Check(state.Init().IsOk());
    centre[0] = heights.width / 2;
    centre[1] = heights.height / 2;
    HydraulicErosion(state, 5);
  }
};

constexpr Float RUN_DT = 16.666666666666668;
constexpr Float RUN_SOURCE_RATE = 0.16666666666666669;

enum class PASS
{
  STEP,
  RAIN,
  SOURCE,
  FLUX,
  WATER_VELOCITY,
  ERODE,
  ADVECT,
  EVAPORATE,
  SPIKES,
  TAKE_SCRATCH,
};

void BM_Hydraulic(benchmark::State& state, PASS pass, Bool allThreads)
{
  Terrain& t = GetTerrain(state.range(0));
  Hydraulic h(t.heights);
  HydraulicErosionState& s = h.state;
  RunBesideUpdate(
    state, t, allThreads, [] {},
    [&] {
      switch (pass)
      {
        case PASS::STEP: HydraulicErosionStep(s, RUN_DT, 1, true, h.centre, 30, RUN_SOURCE_RATE); break;
        case PASS::RAIN: AddRain(s); break;
        case PASS::SOURCE: AddWaterSource(s, h.centre, 30, RUN_DT * RUN_SOURCE_RATE); break;
        case PASS::FLUX: UpdateOutflowFlux(s, RUN_DT); break;
        case PASS::WATER_VELOCITY: UpdateWaterVelocity(s, RUN_DT); break;
        case PASS::ERODE: ErodeDeposit(s); break;
        case PASS::ADVECT: AdvectSediment(s, RUN_DT); break;
        case PASS::EVAPORATE: EvaporateWater(s, RUN_DT); break;
        case PASS::SPIKES: SmoothHeightSpikes(s); break;
        case PASS::TAKE_SCRATCH: TakeScratchHeights(s); break;
      }
    });
}

// The noise library's loop: HostNoise3D at the positions noise erosion samples, stored per cell.
void RunNoiseLoop(const Grid2D<Float>& g, Float scale, Grid2D<Float>& out)
{
  const Int width = g.width;
  const Int height = g.height;
  const Float sizeX = g.sizeX;
  const Float sizeY = g.sizeY;
  Float* cells = out.cells.GetFirst();
  Check(OGX::ParallelForBlocks(0, g.cellCount, [&](Int begin, Int end) {
          for (Int i = begin; i < end; ++i)
          {
            const Float u = GridFraction(i % width, width - 1);
            const Float v = GridFraction(i / width, height - 1);
            cells[i] = HostNoise3D(Vector((u * sizeX - sizeX * 0.5) * scale, 0.0, (sizeY * 0.5 - v * sizeY) * scale));
          }
        }).IsOk());
  benchmark::ClobberMemory();
}

void BM_NoiseErosion(benchmark::State& state)
{
  Terrain& t = GetTerrain(state.range(0));
  NoiseErosionSettings s;
  s.low = 0.25;
  s.high = 0.5;
  s.scale = 1.0 / 20.0;
  s.influence = 0.4;
  s.exponent = 3.0;
  Grid2D<Float> grid;
  Grid2D<Float> noise;
  Check(noise.InitLike(t.heights).IsOk());
  double noiseSeconds = 0.0;
  double erosionSeconds = 0.0;
  RunBesideUpdate(
    state, t, true,
    [&] {
      Check(grid.CopyFrom(t.heights).IsOk());
      const auto t0 = Clock::now();
      RunNoiseLoop(t.heights, s.scale, noise);
      noiseSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    },
    [&] {
      const auto t0 = Clock::now();
      Check(NoiseErosion(grid, s).IsOk());
      erosionSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    });
  state.counters["vs_noise"] = noiseSeconds > 0.0 ? erosionSeconds / noiseSeconds : 0.0;
  state.counters["noise_ms"] = 1000.0 * noiseSeconds / static_cast<double>(state.iterations());
}

void BM_Droplets(benchmark::State& state)
{
  Terrain& t = GetTerrain(state.range(0));
  Grid2D<Float> grid;
  RunBesideUpdate(
    state, t, true, [&] { Check(grid.CopyFrom(t.heights).IsOk()); },
    [&] { SimpleDropletErosion(grid, 1234, 5000, 1.2, 1.0, 0.001, 0.03, 0.01, 0.7); });
}

void Sizes(benchmark::internal::Benchmark* b)
{
  b->Arg(1001)->Arg(4001)->UseManualTime()->Unit(benchmark::kMillisecond);
}
void Large(benchmark::internal::Benchmark* b)
{
  b->Arg(4001)->UseManualTime()->Unit(benchmark::kMillisecond);
}
// Passes that take microseconds: a fixed count, since reaching the minimum time on manual timing would
// take millions of update passes.
void Tiny(benchmark::internal::Benchmark* b)
{
  b->Arg(4001)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);
}
} // namespace

BENCHMARK_CAPTURE(BM_ThermalIteration, mode0, 0, true)->Name("erosion_thermal/mode0_allthreads")->Apply(Sizes);
BENCHMARK_CAPTURE(BM_ThermalIteration, mode0_one, 0, false)->Name("erosion_thermal/mode0_onethread")->Apply(Large);
BENCHMARK_CAPTURE(BM_ThermalIteration, mode3, 3, true)->Name("erosion_thermal/mode3_allthreads")->Apply(Sizes);
BENCHMARK_CAPTURE(BM_ThermalIteration, mode3_one, 3, false)->Name("erosion_thermal/mode3_onethread")->Apply(Large);
BENCHMARK(BM_ThermalWeathering)->Name("erosion_thermal/weathering5_mode3")->Apply(Large);

BENCHMARK_CAPTURE(BM_Hydraulic, step, PASS::STEP, true)->Name("erosion_hydraulic/step_allthreads")->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Hydraulic, step_one, PASS::STEP, false)->Name("erosion_hydraulic/step_onethread")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, rain, PASS::RAIN, true)->Name("erosion_hydraulic/rain")->Apply(Tiny);
BENCHMARK_CAPTURE(BM_Hydraulic, source, PASS::SOURCE, true)->Name("erosion_hydraulic/source")->Apply(Tiny);
BENCHMARK_CAPTURE(BM_Hydraulic, flux, PASS::FLUX, true)->Name("erosion_hydraulic/flux")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, water, PASS::WATER_VELOCITY, true)->Name("erosion_hydraulic/water_velocity")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, erode, PASS::ERODE, true)->Name("erosion_hydraulic/erode_deposit")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, advect, PASS::ADVECT, true)->Name("erosion_hydraulic/advect")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, evaporate, PASS::EVAPORATE, true)->Name("erosion_hydraulic/evaporate")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, spikes, PASS::SPIKES, true)->Name("erosion_hydraulic/spikes")->Apply(Large);
BENCHMARK_CAPTURE(BM_Hydraulic, take, PASS::TAKE_SCRATCH, true)->Name("erosion_hydraulic/take_scratch")->Apply(Tiny);

BENCHMARK(BM_NoiseErosion)->Name("erosion_noise")->Apply(Sizes);
BENCHMARK(BM_Droplets)->Name("erosion_droplets/5000")->Apply(Sizes);
BENCHMARK_MAIN();
