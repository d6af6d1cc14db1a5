// The noise operator's computation (ComputeOperator) beside the plain noise-library loop over the same
// samples, measured in the same iteration.
//
// operator_noise/<type>_<threads>/<side>: a side x side grid of type 21 (fBm, five octaves) or type 64
// (ridged multifractal), computed on all threads or on one (the host's parallel switch off). The
// operator runs with its defaults: at the origin, no distortion, normalised. Its baseline is a loop over
// the rows (same thread count) that calls the library at the same sample positions and stores the
// values, nothing else. Each iteration runs the baseline, then the operator; the iteration's time is the
// operator's alone. Counters: items_per_second is samples per second; `vs_library` is the operator's
// time over the baseline's (1.0: no cost beyond the noise itself); `library_ms` the baseline's time.
// Times are wall-clock (the work runs on the host's pool).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <cstdlib>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/noise/noise.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "object/operator_noise.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Float TERRAIN_SIZE = 1000.0;
constexpr Int32 BENCH_SEED = 4242;

// A terrain object with one noise operator under it, made once; the terrain grid per side.
struct Scene
{
  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;
  BaseObject* noise = nullptr;

  Scene()
  {
    Check(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, BenchTerrainData::Alloc, String(),
                               nullptr, 0));
    Check(RegisterObjectPlugin(ID_OGX_NOISEOPERATOR, "Noise", OBJECT_GENERATOR, NoiseOperator::Alloc, String(),
                               nullptr, 1));
    doc = BaseDocument::Alloc();
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    noise = BaseObject::Alloc(ID_OGX_NOISEOPERATOR);
    Check(doc && terrainObject && noise);
    Check(doc->InsertObject(terrainObject, nullptr));
    Check(doc->InsertObject(noise, terrainObject));
    noise->GetDataInstanceRef().SetInt32(NOISEOPERATOR_SEED, BENCH_SEED);
  }

  static OGX::BaseTerrainOperatorData* Data(BaseObject* op) { return op->GetNodeData<OGX::BaseTerrainOperatorData>(); }
};

Scene& GetScene()
{
  static Scene* scene = new Scene();   // kept to the end of the process
  return *scene;
}

// The plain library loop: the operator's sample positions at the origin with scale 1, one row per index.
void RunLibraryLoop(const NoiseGenerator* g, Int32 type, Grid2D<Float>& out)
{
  const Int width = out.width;
  const Int height = out.height;
  const Float sizeX = out.sizeX;
  const Float sizeY = out.sizeY;
  Float* cells = out.cells.GetFirst();
  Check(ParallelFor(
          0, height,
          [&](Int j) {
            const Float z = (sizeY * 0.5 - (static_cast<Float>(j) / static_cast<Float>(height - 1)) * sizeY) * 0.01;
            for (Int i = 0; i < width; ++i)
            {
              const Float x =
                ((static_cast<Float>(i) / static_cast<Float>(width - 1)) * sizeX - sizeX * 0.5) * 0.01;
              const Vector p(x, 0.0, z);
              cells[j * width + i] =
                type == NOISE_RIDGED_MULTIFRACTAL
                  ? NoiseLibrary::RidgedMultifractal(g, p, 0.0, 5.0, 1.0, 1.0, 1023) * 0.4
                  : NoiseLibrary::Noise(g, type, true, p, 0.0, 5.0, false, 0.25, 0.25, 0);
            }
          },
          OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY)
          .IsOk());
  benchmark::ClobberMemory();
}

void BM_NoiseOperator(benchmark::State& state, Int32 type, Bool allThreads)
{
  using Clock = std::chrono::steady_clock;
  Scene& s = GetScene();
  const Int side = state.range(0);
  s.noise->GetDataInstanceRef().SetInt32(NOISEOPERATOR_TYPE, type);

  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, TERRAIN_SIZE, TERRAIN_SIZE, 1.0, s.terrainObject, nullptr);
  Grid2D<Float> terrain;
  Check(terrain.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
  Grid2D<Float> plain;
  Check(plain.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
  NoiseGenerator* g = NoiseLibrary::Create(BENCH_SEED);
  Check(g != nullptr);
  if (type == NOISE_RIDGED_MULTIFRACTAL)
    Check(NoiseLibrary::InitFbm(g, 20, 2.2, 0.8));

  host::SetParallelEnabled(allThreads);
  double operatorSeconds = 0.0;
  double librarySeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    RunLibraryLoop(g, type, plain);
    const auto t1 = Clock::now();
    Check(Scene::Data(s.noise)->ComputeOperator(terrain, s.noise, s.doc, context).IsOk());
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    operatorSeconds += seconds;
    librarySeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  host::SetParallelEnabled(true);
  NoiseLibrary::Free(g);

  state.counters["vs_library"] = librarySeconds > 0.0 ? operatorSeconds / librarySeconds : 0.0;
  state.counters["library_ms"] = 1000.0 * librarySeconds / static_cast<double>(state.iterations());
  state.counters["threads"] = static_cast<double>(allThreads ? GetCurrentThreadCount() : 1);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}
} // namespace

BENCHMARK_CAPTURE(BM_NoiseOperator, fbm_all, NOISE_FBM, true)
  ->Name("operator_noise/type21_allthreads")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NoiseOperator, fbm_one, NOISE_FBM, false)
  ->Name("operator_noise/type21_onethread")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NoiseOperator, ridged_all, NOISE_RIDGED_MULTIFRACTAL, true)
  ->Name("operator_noise/type64_allthreads")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NoiseOperator, ridged_one, NOISE_RIDGED_MULTIFRACTAL, false)
  ->Name("operator_noise/type64_onethread")
  ->Arg(1001)
  ->Arg(4001)
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);

