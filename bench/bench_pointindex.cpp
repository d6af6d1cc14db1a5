// The host point index over a terrain's cell positions (1001 x 1001 cells, 1000 x 1000 units, y 0),
// as the spline operator builds and queries it.
//
// PointIndex/Build/1001: Reset, Reserve, Insert of every cell position and Balance; items are points.
// PointIndex/FindInRadius/<r>: radius queries around points scattered over the plane (slightly above
// it, as spline samples are), one thread; items are queries, `hits` the mean points found per query.
// BruteForce/FindInRadius/<r>: the same queries answered by testing every point: the baseline the
// index is measured against (compare items per second).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "host/core/random.h"
#include "host/geometry/pointindex.h"

namespace
{
constexpr Int SIDE = 1001;
constexpr Float SIZE = 1000.0;
constexpr Int QUERY_COUNT = 256;

Vector CellPosition(Int i)
{
  const Int c = i % SIDE;
  const Int r = i / SIDE;
  return Vector(Float(c) / (SIDE - 1) * SIZE - SIZE * 0.5, 0.0, SIZE * 0.5 - Float(r) / (SIDE - 1) * SIZE);
}

std::vector<Vector>& Points()
{
  static std::vector<Vector> points = [] {
    std::vector<Vector> p(static_cast<std::size_t>(SIDE * SIDE));
    for (Int i = 0; i < SIDE * SIDE; ++i)
      p[static_cast<std::size_t>(i)] = CellPosition(i);
    return p;
  }();
  return points;
}

std::vector<Vector>& Queries()
{
  static std::vector<Vector> queries = [] {
    LcgRandom rng;
    rng.Init(1234);
    std::vector<Vector> q;
    for (Int i = 0; i < QUERY_COUNT; ++i)
      q.emplace_back((rng.Get01() - 0.5) * SIZE, rng.Get01() * 2.0, (rng.Get01() - 0.5) * SIZE);
    return q;
  }();
  return queries;
}

void Fill(PointIndex& index)
{
  index.Reset();
  if (index.Reserve(1).IsError())
    std::abort();
  const std::vector<Vector>& points = Points();
  for (std::size_t i = 0; i < points.size(); ++i)
    if (index.Insert(points[i], static_cast<Int>(i)).IsError())
      std::abort();
  index.Balance();
}

PointIndex& BuiltIndex()
{
  static std::unique_ptr<PointIndex> index = [] {
    auto p = std::make_unique<PointIndex>();
    Fill(*p);
    return p;
  }();
  return *index;
}

void PointIndexBuild(benchmark::State& state)
{
  PointIndex index;
  for (auto _ : state)
  {
    Fill(index);
    benchmark::DoNotOptimize(index.GetNodes());
  }
  state.SetItemsProcessed(state.iterations() * SIDE * SIDE);
}

void PointIndexFind(benchmark::State& state)
{
  const Float radius = static_cast<Float>(state.range(0));
  const PointIndex& index = BuiltIndex();
  BaseArray<PointIndexNearest> found;
  Int hits = 0;
  for (auto _ : state)
    for (const Vector& q : Queries())
    {
      if (index.FindInRadius(0, q, radius, found).IsError())
        std::abort();
      hits += found.GetCount();
    }
  state.SetItemsProcessed(state.iterations() * QUERY_COUNT);
  state.counters["hits"] = Float(hits) / Float(state.iterations() * QUERY_COUNT);
}

void BruteForceFind(benchmark::State& state)
{
  const Float radius = static_cast<Float>(state.range(0));
  const Float r2 = radius * radius;
  const std::vector<Vector>& points = Points();
  std::vector<std::pair<Int, Float>> found;
  Int hits = 0;
  for (auto _ : state)
    for (const Vector& q : Queries())
    {
      found.clear();
      for (std::size_t i = 0; i < points.size(); ++i)
      {
        const Float d2 = (points[i] - q).GetSquaredLength();
        if (d2 <= r2)
          found.emplace_back(static_cast<Int>(i), d2);
      }
      hits += static_cast<Int>(found.size());
    }
  state.SetItemsProcessed(state.iterations() * QUERY_COUNT);
  state.counters["hits"] = Float(hits) / Float(state.iterations() * QUERY_COUNT);
}
} // namespace

BENCHMARK(PointIndexBuild)->Name("PointIndex/Build/1001")->Unit(benchmark::kMillisecond);
BENCHMARK(PointIndexFind)->Name("PointIndex/FindInRadius")->Arg(5)->Arg(25)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BruteForceFind)->Name("BruteForce/FindInRadius")->Arg(5)->Arg(25)->Arg(100)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
