// The host's noise library over a grid of sample positions, laid out as the noise operator samples
// them, beside two yardsticks measured in the same process.
//
// Every kernel fills a side x side grid: one host-loop index per row (granularity 16), each cell at the
// operator's default position for a terrain of 1000 x 1000 units at noise scale 1, i.e. (x, 0, z) x 0.01
// with x and z spanning -500 .. 500, so the samples cover 10 x 10 lattice cells. Kernels:
//   noise/Fbm21_5oct      type 21 (fBm) with the operator's default octave value 5 and arguments
//   noise/Ridged64_5oct   RidgedMultifractal(p, 0, 5, 1, 1, 1023) x 0.4 after InitFbm(20, 2.2, 0.8)
//   noise/HostNoise3D     the host's solid noise alone
//   baseline/PlainGradient  a textbook single-octave gradient noise (improved-noise style, libm floor,
//                           hash-selected edge gradients), written here
//   peer/LibnoisePerlin5, peer/LibnoisePerlin1  libnoise's Perlin module with 5 and 1 octaves (the
//                           octave counts of the library's kernels); skipped when libnoise is missing
//   noise/Setup_Ridged64    Create + InitFbm(20, 2.2, 0.8) + Free: what the noise operator pays once per
//                           computation before its type-64 grid (time per call; nothing to compare)
// Each grid kernel runs on all the pool's threads ("all") and on the calling thread ("one", thread
// count 1).
// items_per_second is samples per second. Counters are time ratios against yardsticks run in the same
// iterations, each right before the kernel, so that both see the same load on the machine: vs_libnoise
// (the peer at the same octave count and thread count; above 1 is faster than the peer), vs_plain (the
// plain single-octave loop, same thread count) and, on the "all" variants, vs_one_thread (the same
// kernel on one thread over all threads). The yardsticks' time is not part of the reported time.
// Times are wall-clock (manual timing of each grid; the work runs on the host's pool).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "host/core/parallel.h"
#include "host/noise/noise.h"

#if OGX_HAVE_LIBNOISE
#include <libnoise/noise.h>
#endif

namespace
{
constexpr Float TERRAIN_SIZE = 1000.0;
constexpr Float POSITION_SCALE = 0.01;   // the operator's 0.01 / noise scale, at scale 1
constexpr Int32 BENCH_SEED = 4242;
constexpr Float OPERATOR_OCTAVES = 5.0;  // the operator's default octave value
constexpr Int32 RIDGED_SPECTRUM_OCTAVES = 20;
constexpr Float RIDGED_LACUNARITY = 2.2;
constexpr Float RIDGED_EXPONENT = 0.8;
constexpr Float RIDGED_AMPLITUDE = 0.4;
constexpr Int32 RIDGED_OCTAVE_MASK = 1023;
constexpr Int ALL_THREADS = 0;
constexpr Int ONE_THREAD = 1;

enum class KERNEL
{
  FBM,
  RIDGED,
  HOSTNOISE,
  PLAIN,
  PEER5,
  PEER1
};

// The textbook yardstick: single-octave gradient noise with a fixed permutation, the twelve cube-edge
// gradients picked by the hash, a quintic fade and std::floor.
class PlainGradient
{
public:
  PlainGradient()
  {
    std::vector<int> p(256);
    std::iota(p.begin(), p.end(), 0);
    std::mt19937 rng(BENCH_SEED);
    for (int i = 255; i > 0; --i)
      std::swap(p[i], p[std::uniform_int_distribution<int>(0, i)(rng)]);
    for (int i = 0; i < 512; ++i)
      _perm[i] = p[i & 255];
  }

  Float Noise(Float x, Float y, Float z) const
  {
    const Float fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
    const int X = static_cast<int>(fx) & 255, Y = static_cast<int>(fy) & 255, Z = static_cast<int>(fz) & 255;
    x -= fx;
    y -= fy;
    z -= fz;
    const Float u = Fade(x), v = Fade(y), w = Fade(z);
    const int A = _perm[X] + Y, AA = _perm[A] + Z, AB = _perm[A + 1] + Z;
    const int B = _perm[X + 1] + Y, BA = _perm[B] + Z, BB = _perm[B + 1] + Z;
    return Lerp(w,
                Lerp(v, Lerp(u, Grad(_perm[AA], x, y, z), Grad(_perm[BA], x - 1, y, z)),
                     Lerp(u, Grad(_perm[AB], x, y - 1, z), Grad(_perm[BB], x - 1, y - 1, z))),
                Lerp(v, Lerp(u, Grad(_perm[AA + 1], x, y, z - 1), Grad(_perm[BA + 1], x - 1, y, z - 1)),
                     Lerp(u, Grad(_perm[AB + 1], x, y - 1, z - 1), Grad(_perm[BB + 1], x - 1, y - 1, z - 1))));
  }

private:
  static Float Fade(Float t) { return t * t * t * (t * (t * 6 - 15) + 10); }
  static Float Lerp(Float t, Float a, Float b) { return a + t * (b - a); }
  static Float Grad(int hash, Float x, Float y, Float z)
  {
    const int h = hash & 15;
    const Float u = h < 8 ? x : y;
    const Float v = h < 4 ? y : (h == 12 || h == 14 ? x : z);
    return ((h & 1) == 0 ? u : -u) + ((h & 2) == 0 ? v : -v);
  }

  int _perm[512];
};

struct Fixture
{
  NoiseGenerator* fbm = nullptr;
  NoiseGenerator* ridged = nullptr;
  PlainGradient plain;
#if OGX_HAVE_LIBNOISE
  noise::module::Perlin peer5;
  noise::module::Perlin peer1;
#endif
  std::vector<Float> out;

  Fixture()
  {
    fbm = NoiseLibrary::Create(BENCH_SEED);
    ridged = NoiseLibrary::Create(BENCH_SEED);
    if (fbm == nullptr || ridged == nullptr ||
        !NoiseLibrary::InitFbm(ridged, RIDGED_SPECTRUM_OCTAVES, RIDGED_LACUNARITY, RIDGED_EXPONENT))
      std::abort();
#if OGX_HAVE_LIBNOISE
    peer5.SetSeed(BENCH_SEED);
    peer5.SetOctaveCount(static_cast<int>(OPERATOR_OCTAVES));
    peer1.SetSeed(BENCH_SEED);
    peer1.SetOctaveCount(1);
#endif
  }
  ~Fixture()
  {
    NoiseLibrary::Free(fbm);
    NoiseLibrary::Free(ridged);
  }
};

Fixture& GetFixture()
{
  static Fixture fixture;
  return fixture;
}

// One grid of the kernel; returns its wall-clock seconds.
Float RunGrid(KERNEL kernel, Int side, Int threads)
{
  Fixture& f = GetFixture();
  f.out.resize(static_cast<std::size_t>(side * side));
  Float* out = f.out.data();
  const Float step = TERRAIN_SIZE / static_cast<Float>(side - 1);
  auto row = [&](Int j) {
    const Float z = (TERRAIN_SIZE * 0.5 - static_cast<Float>(j) * step) * POSITION_SCALE;
    Float* cells = out + j * side;
    for (Int i = 0; i < side; ++i)
    {
      const Vector p((static_cast<Float>(i) * step - TERRAIN_SIZE * 0.5) * POSITION_SCALE, 0.0, z);
      Float v = 0.0;
      switch (kernel)
      {
        case KERNEL::FBM:
          v = NoiseLibrary::Noise(f.fbm, NOISE_FBM, true, p, 0.0, OPERATOR_OCTAVES, false, 0.25, 0.25, 0);
          break;
        case KERNEL::RIDGED:
          v = NoiseLibrary::RidgedMultifractal(f.ridged, p, 0.0, OPERATOR_OCTAVES, 1.0, 1.0, RIDGED_OCTAVE_MASK) *
              RIDGED_AMPLITUDE;
          break;
        case KERNEL::HOSTNOISE:
          v = HostNoise3D(p, 0.0);
          break;
        case KERNEL::PLAIN:
          v = f.plain.Noise(p.x, p.y, p.z);
          break;
#if OGX_HAVE_LIBNOISE
        case KERNEL::PEER5:
          v = f.peer5.GetValue(p.x, p.y, p.z);
          break;
        case KERNEL::PEER1:
          v = f.peer1.GetValue(p.x, p.y, p.z);
          break;
#else
        case KERNEL::PEER5:
        case KERNEL::PEER1:
          break;
#endif
      }
      cells[i] = v;
    }
  };
  const auto start = std::chrono::steady_clock::now();
  const Result<void> res = ParallelFor(0, side, row, threads, 16);
  const auto end = std::chrono::steady_clock::now();
  if (res.IsError())
    std::abort();
  benchmark::DoNotOptimize(out);
  benchmark::ClobberMemory();
  return std::chrono::duration<Float>(end - start).count();
}

void RunKernel(benchmark::State& state, KERNEL kernel, Int threads)
{
#if !OGX_HAVE_LIBNOISE
  if (kernel == KERNEL::PEER5 || kernel == KERNEL::PEER1)
  {
    state.SkipWithError("libnoise is not installed");
    return;
  }
#endif
  const Int side = state.range(0);
  const Bool ours = kernel == KERNEL::FBM || kernel == KERNEL::RIDGED || kernel == KERNEL::HOSTNOISE;
  [[maybe_unused]] const KERNEL peer = kernel == KERNEL::HOSTNOISE ? KERNEL::PEER1 : KERNEL::PEER5;
  Float own = 0.0, plain = 0.0, oneThread = 0.0;
  [[maybe_unused]] Float peerTime = 0.0;
  for (auto _ : state)
  {
    if (ours)
    {
      plain += RunGrid(KERNEL::PLAIN, side, threads);
#if OGX_HAVE_LIBNOISE
      peerTime += RunGrid(peer, side, threads);
#endif
    }
    if (threads == ALL_THREADS)
      oneThread += RunGrid(kernel, side, ONE_THREAD);
    const Float seconds = RunGrid(kernel, side, threads);
    state.SetIterationTime(seconds);
    own += seconds;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
  if (ours)
  {
    state.counters["vs_plain"] = plain / own;
#if OGX_HAVE_LIBNOISE
    state.counters["vs_libnoise"] = peerTime / own;
#endif
  }
  if (threads == ALL_THREADS)
    state.counters["vs_one_thread"] = oneThread / own;
}

void Register(const char* name, KERNEL kernel)
{
  for (const Int threads : {ALL_THREADS, ONE_THREAD})
  {
    const std::string full = std::string(name) + (threads == ALL_THREADS ? "_all" : "_one");
    auto run = [kernel, threads](benchmark::State& s) { RunKernel(s, kernel, threads); };
    benchmark::RegisterBenchmark(full.c_str(), run)
      ->Arg(1001)
      ->Arg(4001)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  }
}

// The operator's set-up of a type-64 computation, on the calling thread (it runs before the grid's
// parallel loop). The seed changes per call, as the tables are built from it.
void BM_Setup(benchmark::State& state)
{
  Int32 seed = BENCH_SEED;
  for (auto _ : state)
  {
    NoiseGenerator* g = NoiseLibrary::Create(seed++);
    if (g == nullptr || !NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM_OCTAVES, RIDGED_LACUNARITY, RIDGED_EXPONENT))
      std::abort();
    benchmark::DoNotOptimize(g);
    NoiseLibrary::Free(g);
  }
}

const bool g_registered = [] {
  Register("noise/Fbm21_5oct", KERNEL::FBM);
  Register("noise/Ridged64_5oct", KERNEL::RIDGED);
  Register("noise/HostNoise3D", KERNEL::HOSTNOISE);
  Register("baseline/PlainGradient", KERNEL::PLAIN);
  Register("peer/LibnoisePerlin5", KERNEL::PEER5);
  Register("peer/LibnoisePerlin1", KERNEL::PEER1);
  benchmark::RegisterBenchmark("noise/Setup_Ridged64", BM_Setup)->Unit(benchmark::kMicrosecond);
  return true;
}();
} // namespace

BENCHMARK_MAIN();
