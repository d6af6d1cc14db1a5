// The convolution and the separable filters beside a bandwidth floor and, where installed, OpenCV (a
// benchmark-only peer: the benchmark builds without it and skips the peer).
//
// Baseline/Update/<n>: one in-place update pass d[i] += s * l[i] over n x n doubles on all threads (the
// same pass as bench_grid2d's), the floor for anything that reads and writes a grid once.
// convolve/gauss5x5/<n>, convolve/gauss21x21/<n>: ConvolveGrid with GaussBlur5x5 and with GaussBlur of
// radius 10, MIRROR, from a source grid into a destination grid, on all threads.
// opencv/filter2D_5x5/<n>, opencv/filter2D_21x21/<n>: cv::filter2D with the same kernel on the same
// doubles, BORDER_REFLECT_101 (the nearest OpenCV border to MIRROR), with OpenCV's own threading
// (`cv_threads`; its filter2D runs these on the calling thread).
// boxblur/r2/<n>, sharpen/size3/<n>: BoxBlur with a window of 5 and SharpenGrid of size 3 at strength
// 0, two passes each, from the source grid into the destination grid as the operators run them.
//
// Every benchmark but the baseline runs the update pass before its own work in each iteration and
// reports `x_update`: its time over the update's, measured in alternation so that both see the same
// load on the machine; its own time excludes the update's. Times are wall-clock.
#include <benchmark/benchmark.h>

#include "bench_support.h"

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
  Grid2D<Float> destination;   // the convolution's and the separable filters' output
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

void RunUpdate(Grids& g)
{
  RunUpdatePass(g.update.cells.GetFirst(), g.layer.cells.GetFirst(), g.update.cellCount, g.updateScale);
}

// Runs the update pass and then `work` in every iteration; the iteration's time is the work's alone.
template <typename Work>
void RunBesideUpdate(benchmark::State& state, Grids& g, Work&& work)
{
  const PairedSeconds seconds = TimeBesideBaseline(
    state, [&] { RunUpdate(g); }, work);
  state.counters["x_update"] = seconds.baseline > 0.0 ? seconds.work / seconds.baseline : 0.0;
  state.counters["update_ms"] = 1000.0 * seconds.baseline / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * g.source.cellCount);
}

// GaussBlur5x5 for radius 2, GaussBlur of the radius otherwise.
std::unique_ptr<BaseKernel> GaussianKernel(UInt32 radius)
{
  std::unique_ptr<BaseKernel> kernel;
  if (radius == 2)
    kernel = std::make_unique<PresetKernels::GaussBlur5x5>();
  else
    kernel = std::make_unique<PresetKernels::GaussBlur>();
  Check(kernel->InitKernel(radius, nullptr).IsOk());
  return kernel;
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
  const std::unique_ptr<BaseKernel> owned = GaussianKernel(radius);
  const BaseKernel& kernel = *owned;
  ConvolutionJob job;
  job.source = &g.source;
  job.destination = &g.destination;
  job.kernel = &kernel;
  job.kernelSize = kernel.size;
  job.width = g.source.width;
  job.halfWidthX = kernel.size >> 1;
  job.halfWidthY = kernel.size >> 1;
  job.mode = OUTOFBOUNDSMODE::MIRROR;
  RunBesideUpdate(state, g, [&] {
    const Result<void> res = ConvolveGrid(job, g.source.height);
    benchmark::DoNotOptimize(res.IsOk());
  });
}

#if OGX_HAVE_OPENCV
void BM_OpenCV(benchmark::State& state, UInt32 radius)
{
  Grids& g = GetGrids(state.range(0));
  const std::unique_ptr<BaseKernel> owned = GaussianKernel(radius);
  const BaseKernel& kernel = *owned;
  const int side = static_cast<int>(g.source.width);
  const int size = static_cast<int>(kernel.size);
  const cv::Mat src(side, side, CV_64F, g.source.cells.GetFirst());
  cv::Mat dst(side, side, CV_64F, g.destination.cells.GetFirst());
  // OpenCV only reads the kernel.
  const cv::Mat k(size, size, CV_64F, const_cast<Float*>(kernel.weights.GetFirst()));
  RunBesideUpdate(state, g, [&] { cv::filter2D(src, dst, CV_64F, k, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101); });
  state.counters["cv_threads"] = cv::getNumThreads();
}
#endif

void BM_Separable(benchmark::State& state, Bool sharpen)
{
  Grids& g = GetGrids(state.range(0));
  RunBesideUpdate(state, g, [&] {
    const Result<void> res =
      sharpen ? SharpenGrid(g.source, g.destination, 3, 0.0, nullptr) : BoxBlur(g.source, g.destination, 5, nullptr);
    benchmark::DoNotOptimize(res.IsOk());
  });
}
// Sizes 1001 and 4001 are grids of (resolution + 1) cells per side; the 4001 grids (128 MB each) are
// far larger than the caches.
void Sizes(benchmark::internal::Benchmark* b)
{
  b->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_Update)->Name("Baseline/Update")->Apply(Sizes)->UseRealTime();
BENCHMARK_CAPTURE(BM_Convolve, gauss5x5, 2)->Name("convolve/gauss5x5")->Apply(Sizes)->UseManualTime();
BENCHMARK_CAPTURE(BM_Convolve, gauss21x21, 10)->Name("convolve/gauss21x21")->Apply(Sizes)->UseManualTime();
#if OGX_HAVE_OPENCV
BENCHMARK_CAPTURE(BM_OpenCV, filter2D_5x5, 2)->Name("opencv/filter2D_5x5")->Apply(Sizes)->UseManualTime();
BENCHMARK_CAPTURE(BM_OpenCV, filter2D_21x21, 10)->Name("opencv/filter2D_21x21")->Apply(Sizes)->UseManualTime();
#endif
BENCHMARK_CAPTURE(BM_Separable, box, false)->Name("boxblur/r2")->Apply(Sizes)->UseManualTime();
BENCHMARK_CAPTURE(BM_Separable, sharpen, true)->Name("sharpen/size3")->Apply(Sizes)->UseManualTime();

BENCHMARK_MAIN();
