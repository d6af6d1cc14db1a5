// The front end's top view and OBJ writer on a terrain-like grid, each beside a baseline in the same
// run.
//
// TopView/<n> renders the default 512-pixel top view of an n x n grid of quads (points read in place on
// all threads; 4000 is the size the front end must render in under 0.2 s, and takes 2.2 GB with the
// grid's UVW tag); Baseline/ReadPoints/<n> reads every point once on all threads (summing the heights),
// the least any view of the mesh must do. ObjWrite/<n> writes the grid with a texture coordinate per point
// and normals (phong) to a file; Baseline/WriteBytes/<n> writes as many bytes with one fwrite per
// megabyte, so `vs_baseline` (the baseline's time over the writer's) is how close formatting on all
// threads comes to writing the finished text. Times are wall-clock.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"
#include "host/scene/scene.h"
#include "meshexport.h"
#include "topview.h"

namespace
{
struct MeshDeleter
{
  void operator()(BaseObject* op) const { BaseObject::Free(op); }
};
using MeshPtr = std::unique_ptr<BaseObject, MeshDeleter>;

// An n x n grid of quads over 2n x 2n units with gentle hills, a UVW tag and a phong tag, made once.
PolygonObject* Grid(Int n)
{
  static std::map<Int, MeshPtr> cache;
  MeshPtr& slot = cache[n];
  if (!slot)
  {
    const Int side = n + 1;
    PolygonObject* op = PolygonObject::Alloc(static_cast<Int32>(side * side), static_cast<Int32>(n * n));
    if (!op)
      std::abort();
    Vector* points = op->GetPointW();
    for (Int z = 0; z < side; ++z)
      for (Int x = 0; x < side; ++x)
        points[z * side + x] = Vector(2.0 * x - n, 40.0 * std::sin(x * 0.01) * std::cos(z * 0.013), n - 2.0 * z);
    CPolygon* polys = op->GetPolygonW();
    UVWTag* uvw = UVWTag::Alloc(static_cast<Int32>(n * n));
    if (!uvw)
      std::abort();
    const auto uv = [side](Int p) { return Vector(static_cast<Float>(p % side) / (side - 1), static_cast<Float>(p / side) / (side - 1), 0); };
    for (Int z = 0; z < n; ++z)
      for (Int x = 0; x < n; ++x)
      {
        const Int32 a = static_cast<Int32>(z * side + x + 1), b = static_cast<Int32>((z + 1) * side + x + 1),
                    c = static_cast<Int32>((z + 1) * side + x), d = static_cast<Int32>(z * side + x);
        polys[z * n + x] = CPolygon(a, b, c, d);
        uvw->SetSlow(static_cast<Int32>(z * n + x), UVWStruct(uv(a), uv(b), uv(c), uv(d)));
      }
    op->InsertTag(uvw);
    op->MakeTag(Tphong);
    slot.reset(op);
  }
  return static_cast<PolygonObject*>(slot.get());
}

std::vector<host::app::MeshPart> Parts(Int n)
{
  return {host::app::MeshPart{Grid(n), Matrix()}};
}

void TopView(benchmark::State& state)
{
  const std::vector<host::app::MeshPart> parts = Parts(state.range(0));
  for (auto _ : state)
  {
    Result<host::app::RgbaImage> image = host::app::RenderTopView(parts);
    if (image.IsError())
      std::abort();
    benchmark::DoNotOptimize(image.GetValue().pixels.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * state.range(0));
}

void BaselineReadPoints(benchmark::State& state)
{
  const PolygonObject* op = Grid(state.range(0));
  const Vector* points = op->GetPointR();
  const Int count = op->GetPointCount();
  for (auto _ : state)
  {
    std::atomic<Float> total{0.0};
    const Result<void> r = ParallelFor(0, (count + 65535) / 65536, [&](Int chunk) {
      Float sum = 0.0;
      for (Int i = chunk * 65536; i < std::min<Int>(count, (chunk + 1) * 65536); ++i)
        sum += points[i].y;
      Float t = total.load();
      while (!total.compare_exchange_weak(t, t + sum))
      {
      }
    }, 0, 1);
    benchmark::DoNotOptimize(r.IsOk());
    benchmark::DoNotOptimize(total.load());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * state.range(0));
}

std::filesystem::path BenchFile(const char* name)
{
  return std::filesystem::temp_directory_path() / (std::string("ogx_bench_") + std::to_string(getpid()) + "_" + name);
}

// Seconds to write `bytes` with one fwrite per megabyte.
double WriteBytes(std::size_t bytes)
{
  static const std::vector<char> block(1 << 20, 'x');
  const auto t0 = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(BenchFile("raw").c_str(), "wb");
  if (!f)
    std::abort();
  for (std::size_t done = 0; done < bytes; done += block.size())
    std::fwrite(block.data(), 1, std::min(block.size(), bytes - done), f);
  std::fclose(f);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::filesystem::remove(BenchFile("raw"));
  return seconds;
}

void ObjWrite(benchmark::State& state)
{
  const std::vector<host::app::MeshPart> parts = Parts(state.range(0));
  const std::filesystem::path file = BenchFile("mesh.obj");
  double writerSeconds = 0.0;
  double baselineSeconds = 0.0;
  std::uintmax_t bytes = 0;
  for (auto _ : state)
  {
    const auto t0 = std::chrono::steady_clock::now();
    if (host::app::WriteObj(parts, "Bench", Url(file)).IsError())
      std::abort();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(seconds);
    writerSeconds += seconds;
    bytes = std::filesystem::file_size(file);
    std::filesystem::remove(file);
    baselineSeconds += WriteBytes(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["vs_baseline"] = writerSeconds > 0.0 ? baselineSeconds / writerSeconds : 0.0;
}
} // namespace

BENCHMARK(TopView)->Name("TopView")->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BaselineReadPoints)->Name("Baseline/ReadPoints")->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ObjWrite)->Name("ObjWrite")->Arg(2000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

BENCHMARK_MAIN();
