// The blend of an operator into the terrain (ApplyToTerrain), each case beside the plain BlendGrids of
// the same grids measured in the same iteration.
//
// ApplyToTerrain/NoMask/<n>: an operator with an empty masking list and no bands; its baseline is
// BlendGrids of the output into the terrain without a mask. ApplyToTerrain/SlopeHeight/<n>: the second
// operator of a stack with the slope and the height band switched on; its baseline is BlendGrids with
// a mask computed once beforehand. Each iteration runs the baseline and then ApplyToTerrain; the
// iteration's time is ApplyToTerrain's alone, and the counter `vs_blend` is ApplyToTerrain's time over
// the baseline's (1.0: no cost beyond the blend). SlopeMask/<n> and HeightMask/<n> time the two bands
// on their own, each into a fresh mask, and MaskAllocate/<n> the shaping of that fresh mask alone
// (Grid2D::InitLike: allocation and zero fill), to show where the masked case spends its time.
// Times are wall-clock (the work runs on the host's pool).
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/fields/fieldlist.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "orogenix/masking.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int32 ID_BENCH_OPERATOR = 1099601;
constexpr Int SIDE = 4001;

class BenchOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<BenchOperator>(); }
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_FILTER; }
  Result<void> ComputeOperator(const Grid2D<Float>&, BaseObject*, BaseDocument*, EvaluationContext&) override
  {
    return OK;
  }
};

// A terrain object with two operators under it, and the grids, made once.
struct Scene
{
  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;
  BaseObject* plain = nullptr;    // first operator: no mask of any kind
  BaseObject* banded = nullptr;   // second operator: slope and height bands
  EvaluationContext context;
  Grid2D<Float> terrain;
  Grid2D<Float> layer;
  Grid2D<Float> bandMask;         // the banded operator's mask, for its baseline

  Scene()
  {
    Check(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, BenchTerrainData::Alloc, String(),
                               nullptr, 0));
    Check(RegisterObjectPlugin(ID_BENCH_OPERATOR, "Bench operator", 0, BenchOperator::Alloc, String(), nullptr, 0));
    doc = BaseDocument::Alloc();
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    plain = BaseObject::Alloc(ID_BENCH_OPERATOR);
    banded = BaseObject::Alloc(ID_BENCH_OPERATOR);
    Check(doc && terrainObject && plain && banded);
    Check(doc->InsertObject(terrainObject, nullptr));
    Check(doc->InsertObject(plain, terrainObject));
    Check(doc->InsertObject(banded, terrainObject, plain));
    context.terrainMatrix = terrainObject->GetMg();

    Check(terrain.Init(SIDE, SIDE, 1000.0, 1000.0).IsOk());
    LcgRandom rng;
    rng.Init(7);
    for (Int y = 0; y < SIDE; ++y)
      for (Int x = 0; x < SIDE; ++x)
      {
        // Rolling hills with some roughness: slopes and heights spread over both bands.
        const Float base = 40.0 * std::sin(static_cast<Float>(x) * 0.01) * std::cos(static_cast<Float>(y) * 0.013);
        terrain.cells[y * SIDE + x] = base + rng.Get01() * 2.0;
      }
    // The layer is the terrain itself: NORMAL then writes every cell back unchanged, so the terrain
    // (and with it the bands' masks) stays the same from one iteration to the next while every blend
    // still does its full work.
    Check(layer.CopyFrom(terrain).IsOk());

    for (BaseObject* op : {plain, banded})
    {
      BaseContainer* bc = op->GetDataInstance();
      bc->SetFloat(TERRAINOPERATOR_OPACITY, 0.5);
      bc->SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::NORMAL));
      bc->SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
      bc->SetFloat(TERRAINOPERATOR_OFFSET, 0.0);
      bc->SetBool(TERRAINOPERATOR_MASKING_SLOPE, false);
      bc->SetBool(TERRAINOPERATOR_MASKING_HEIGHT, false);
      std::unique_ptr<FieldList> empty = FieldList::Alloc();
      bc->SetData(TERRAINOPERATOR_MASKING_FIELDS_LIST, GeData(*empty));
      Check(Data(op)->GetOutputGrid().CopyFrom(layer).IsOk());
    }
    BaseContainer* bc = banded->GetDataInstance();
    bc->SetBool(TERRAINOPERATOR_MASKING_SLOPE, true);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_LOW, 0.0);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_HIGH, 0.5);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW, 0.0);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH, 1.0);
    bc->SetBool(TERRAINOPERATOR_MASKING_HEIGHT, true);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_LOW, -20.0);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_HIGH, 30.0);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW, 0.5);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH, 1.0);
    Check(ApplySlopeMask(bandMask, terrain, 0.0, 0.5, 0.0, 1.0).IsOk());
    Check(ApplyHeightMask(bandMask, terrain, -20.0, 30.0, 0.5, 1.0).IsOk());
  }

  static OGX::BaseTerrainOperatorData* Data(BaseObject* op) { return op->GetNodeData<OGX::BaseTerrainOperatorData>(); }
};

Scene& GetScene()
{
  static Scene* scene = new Scene();   // kept to the end of the process
  return *scene;
}

// The baseline: the plain blend of the layer into the terrain with the operator's settings.
void RunBlend(Scene& s, const Grid2D<Float>* mask)
{
  BlendJob job;
  job.destination = s.terrain.cells.GetFirst();
  job.layer = s.layer.cells.GetFirst();
  job.destinationMin = &s.terrain.min;
  job.mode = static_cast<Int32>(BLENDMODE::NORMAL);
  job.opacity = 0.5;
  job.useMask = mask != nullptr;
  job.mask = mask ? mask->cells.GetFirst() : nullptr;
  Check(BlendGrids(0, s.terrain.cellCount, job, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY).IsOk());
  benchmark::ClobberMemory();
}

void BM_ApplyToTerrain(benchmark::State& state, Bool banded)
{
  using Clock = std::chrono::steady_clock;
  Scene& s = GetScene();
  BaseObject* op = banded ? s.banded : s.plain;
  double applySeconds = 0.0;
  double blendSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    RunBlend(s, banded ? &s.bandMask : nullptr);
    const auto t1 = Clock::now();
    Check(Scene::Data(op)->ApplyToTerrain(s.terrain, op, s.doc, s.context).IsOk());
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    applySeconds += seconds;
    blendSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  state.counters["vs_blend"] = blendSeconds > 0.0 ? applySeconds / blendSeconds : 0.0;
  state.counters["blend_ms"] = 1000.0 * blendSeconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * s.terrain.cellCount);
}

enum class MaskStep
{
  SLOPE,
  HEIGHT,
  ALLOCATE,
};

void BM_MaskStep(benchmark::State& state, MaskStep step)
{
  Scene& s = GetScene();
  for (auto _ : state)
  {
    Grid2D<Float> mask;
    switch (step)
    {
      case MaskStep::SLOPE: Check(ApplySlopeMask(mask, s.terrain, 0.0, 0.5, 0.0, 1.0).IsOk()); break;
      case MaskStep::HEIGHT: Check(ApplyHeightMask(mask, s.terrain, -20.0, 30.0, 0.5, 1.0).IsOk()); break;
      case MaskStep::ALLOCATE: Check(mask.InitLike(s.terrain).IsOk()); break;
    }
    benchmark::DoNotOptimize(mask.cells.GetFirst());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * s.terrain.cellCount);
}
} // namespace

BENCHMARK_CAPTURE(BM_ApplyToTerrain, NoMask, false)
  ->Name("ApplyToTerrain/NoMask/4001")
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ApplyToTerrain, SlopeHeight, true)
  ->Name("ApplyToTerrain/SlopeHeight/4001")
  ->UseManualTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MaskStep, Slope, MaskStep::SLOPE)
  ->Name("SlopeMask/4001")
  ->UseRealTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MaskStep, Height, MaskStep::HEIGHT)
  ->Name("HeightMask/4001")
  ->UseRealTime()
  ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MaskStep, Allocate, MaskStep::ALLOCATE)
  ->Name("MaskAllocate/4001")
  ->UseRealTime()
  ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
