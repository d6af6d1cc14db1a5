// Loading scene documents, beside parsing the same text with nlohmann-json into its own tree of sorted
// maps (the baseline, measured in the same run).
//
// SceneFile/ManyParameters/<n> loads one node with n parameters (the container takes them one by one,
// each looked up by id) and SceneFile/ManyNodes/<n> a list of n nodes with a few parameters each;
// Baseline/JsonParse/... parses the same texts. Items are parameters (or nodes); a load that stays in
// step with its baseline as n grows is linear. `vs_baseline` is the baseline's time over the load's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "host/scene/scene.h"
#include "host/scene/scenefile.h"

namespace
{
std::string ManyParameters(Int n)
{
  std::string params;
  for (Int i = 0; i < n; ++i)
    params += (i ? ", \"" : "\"") + std::to_string(i * 7 + 3) + R"(": {"Float": )" + std::to_string(i) + ".5}";
  return R"({"format": "ogx-scene", "version": 2, "objects": [{"type": 5140, "params": {)" + params + "}}]}";
}

std::string ManyNodes(Int n)
{
  std::string nodes;
  for (Int i = 0; i < n; ++i)
    nodes += std::string(i ? ", " : "") + R"({"type": 5140, "name": "n)" + std::to_string(i) +
             R"(", "params": {"1": {"Int32": 1}, "2": {"Float": 2.5}, "3": {"Vector": [1, 2, 3]}}})";
  return R"({"format": "ogx-scene", "version": 2, "objects": [)" + nodes + "]}";
}

const std::string& Text(const std::string& kind, Int n)
{
  static std::map<std::pair<std::string, Int>, std::string> cache;
  std::string& text = cache[{kind, n}];
  if (text.empty())
    text = kind == "params" ? ManyParameters(n) : ManyNodes(n);
  return text;
}

void RunLoad(benchmark::State& state, const std::string& kind)
{
  using Clock = std::chrono::steady_clock;
  const Int n = state.range(0);
  const String text(Text(kind, n));
  double loadSeconds = 0.0;
  double parseSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(nlohmann::json::parse(text.GetStd()).size());
    const auto t1 = Clock::now();
    Result<BaseDocument*> doc = host::LoadDocumentFromText(text, "bench");
    if (doc.IsError())
      std::abort();
    BaseDocument::Free(doc.GetValue());
    const auto t2 = Clock::now();
    parseSeconds += std::chrono::duration<double>(t1 - t0).count();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    loadSeconds += seconds;
    state.SetIterationTime(seconds);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
  state.counters["vs_baseline"] = loadSeconds > 0.0 ? parseSeconds / loadSeconds : 0.0;
}

void SceneFileManyParameters(benchmark::State& state)
{
  RunLoad(state, "params");
}
void SceneFileManyNodes(benchmark::State& state)
{
  RunLoad(state, "nodes");
}

void BaselineJsonParse(benchmark::State& state)
{
  const std::string& text = Text("params", state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(nlohmann::json::parse(text).size());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
} // namespace

BENCHMARK(SceneFileManyParameters)->Name("SceneFile/ManyParameters")->Arg(8000)->Arg(80000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SceneFileManyNodes)->Name("SceneFile/ManyNodes")->Arg(2000)->Arg(20000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BaselineJsonParse)->Name("Baseline/JsonParse/params")->Arg(8000)->Arg(80000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
