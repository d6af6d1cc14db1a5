// The convolution and the separable filters beside a bandwidth floor and, where installed, OpenCV (a
// benchmark-only peer: the benchmark builds without it and skips the peer).
//
// Baseline/Update/<n>: one in-place update pass d[i] += s * l[i] over n x n doubles on all threads (the
// same pass as bench_grid2d's), the floor for anything that reads and writes a grid once.
// convolve/gauss5x5/<n>, convolve/gauss21x21/<n>: ConvolveGrid with GaussBlur5x5 and with GaussBlur of
// radius 10, MIRROR, from a source grid into a destination grid, on all threads.
// opencv/filter2D_5x5/<n>, opencv/filter2D_21x21/<n>: cv::filter2D with the same kernel on the same
// doubles, BORDER_REFLECT_101 (the nearest OpenCV border to MIRROR), with OpenCV's own threading.
// boxblur/r2/<n>, sharpen/size3/<n>: BoxBlur with a window of 5 and SharpenGrid of size 3 at strength
// 0, two passes each, in place on a grid restored from the source before every iteration (untimed).
//
// Every benchmark but the baseline runs the update pass before its own work in each iteration and
// reports `x_update`: its time over the update's, measured in alternation so that both see the same
// load on the machine; its own time excludes the update's. Times are wall-clock.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>

#if OGX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include "host/core/parallel.h"
#include "object/operator_blur.h"
#include "object/operator_sharpen.h"
#include "orogenix/convolution.h"
#include "orogenix/grid2d.h"
#include "orogenix/ogx_parallel.h"

namespace
{
using namespace OGX::Convolution;

struct Grids
{
  Grid2D<Float> source;        // random heights, never written after set-up
  Grid2D<Float> destination;   // the convolution's output; the separable filters work here in place
  Grid2D<Float> update;        // the update pass's destination
  Grid2D<Float> layer;         // the update pass's layer
  Float updateScale = 1.0e-3;
};

Grids& GetGrids(Int side)
{
  static std::map<Int, std::unique_ptr<Grids>> cache;
  auto& slot = cache[side];
  if (!slot)
  {
    slot = std::make_unique<Grids>();
    for (Grid2D<Float>* g : {&slot->source, &slot->destination, &slot->update, &slot->layer})
      if (g->Init(side, side, 1000.0, 1000.0).IsError())
        std::abort();
    std::mt19937 rng(11);
    std::uniform_real_distribution<Float> dist(0.0, 100.0);
    for (Int i = 0; i < side * side; ++i)
    {
      slot->source.cells[i] = dist(rng);
      slot->layer.cells[i] = dist(rng) * 0.01;
    }
  }
  return *slot;
}

// The floor: d[i] += s * l[i], with the sign of s alternating so the values stay where they are.
void RunUpdate(Grids& g)
{
  Float* d = g.update.cells.GetFirst();
  const Float* l = g.layer.cells.GetFirst();
  const Float scale = g.updateScale;
  g.updateScale = -g.updateScale;
  const Result<void> res = OGX::ParallelForBlocks(0, g.update.cellCount, [d, l, scale](Int begin, Int end) {
    for (Int i = begin; i < end; ++i)
      d[i] += scale * l[i];
  });
  benchmark::DoNotOptimize(res.IsOk());
  benchmark::ClobberMemory();
}

// Runs `prepare` (untimed), the update pass and then `work` in every iteration; the iteration's time is
// the work's alone.
template <typename Prepare, typename Work>
void RunBesideUpdate(benchmark::State& state, Grids& g, Prepare&& prepare, Work&& work)
{
  using Clock = std::chrono::steady_clock;
  double workSeconds = 0.0;
  double updateSeconds = 0.0;
  for (auto _ : state)
  {
    prepare();
    const auto t0 = Clock::now();
    RunUpdate(g);
    const auto t1 = Clock::now();
    work();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    workSeconds += seconds;
    updateSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  state.counters["x_update"] = updateSeconds > 0.0 ? workSeconds / updateSeconds : 0.0;
  state.counters["update_ms"] = 1000.0 * updateSeconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * g.source.cellCount);
}

void BM_Update(benchmark::State& state)
{
  Grids& g = GetGrids(state.range(0));
  for (auto _ : state)
    RunUpdate(g);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * g.update.cellCount);
}

void BM_Convolve(benchmark::State& state, UInt32 radius)
{
  Grids& g = GetGrids(state.range(0));
  PresetKernels::GaussBlur5x5 fixed;
  PresetKernels::GaussBlur gauss;
  BaseKernel& kernel = radius == 2 ? static_cast<BaseKernel&>(fixed) : static_cast<BaseKernel&>(gauss);
  if (kernel.InitKernel(radius, nullptr).IsError())
    std::abort();
  ConvolutionJob job;
  job.source = &g.source;
  job.destination = &g.destination;
  job.kernel = &kernel;
  job.kernelSize = kernel.size;
  job.width = g.source.width;
  job.halfWidthX = kernel.size >> 1;
  job.halfWidthY = kernel.size >> 1;
  job.mode = OUTOFBOUNDSMODE::MIRROR;
  RunBesideUpdate(
    state, g, [] {},
    [&] {
      const Result<void> res = ConvolveGrid(job, g.source.height);
      benchmark::DoNotOptimize(res.IsOk());
    });
}

#if OGX_HAVE_OPENCV
void BM_OpenCV(benchmark::State& state, UInt32 radius)
{
  Grids& g = GetGrids(state.range(0));
  PresetKernels::GaussBlur5x5 fixed;
  PresetKernels::GaussBlur gauss;
  BaseKernel& kernel = radius == 2 ? static_cast<BaseKernel&>(fixed) : static_cast<BaseKernel&>(gauss);
  if (kernel.InitKernel(radius, nullptr).IsError())
    std::abort();
  const int side = static_cast<int>(g.source.width);
  const int size = static_cast<int>(kernel.size);
  const cv::Mat src(side, side, CV_64F, g.source.cells.GetFirst());
  cv::Mat dst(side, side, CV_64F, g.destination.cells.GetFirst());
  const cv::Mat k(size, size, CV_64F, kernel.weights.GetFirst());
  RunBesideUpdate(
    state, g, [] {}, [&] { cv::filter2D(src, dst, CV_64F, k, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101); });
  state.counters["cv_threads"] = cv::getNumThreads();
}
#endif

void BM_Separable(benchmark::State& state, Bool sharpen)
{
  Grids& g = GetGrids(state.range(0));
  RunBesideUpdate(
    state, g, [] {},
    [&] {
      const Result<void> res =
        sharpen ? SharpenGrid(g.source, g.destination, 3, 0.0, nullptr) : BoxBlur(g.source, g.destination, 5, nullptr);
      benchmark::DoNotOptimize(res.IsOk());
    });
}
} // namespace

BENCHMARK(BM_Update)->Name("Baseline/Update")->Arg(1001)->Arg(4001)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convolve, gauss5x5, 2)
  ->Name("convolve/gauss5x5")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convolve, gauss21x21, 10)
  ->Name("convolve/gauss21x21")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
#if OGX_HAVE_OPENCV
BENCHMARK_CAPTURE(BM_OpenCV, filter2D_5x5, 2)
  ->Name("opencv/filter2D_5x5")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenCV, filter2D_21x21, 10)
  ->Name("opencv/filter2D_21x21")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
#endif
BENCHMARK_CAPTURE(BM_Separable, box, false)
  ->Name("boxblur/r2")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Separable, sharpen, true)
  ->Name("sharpen/size3")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
