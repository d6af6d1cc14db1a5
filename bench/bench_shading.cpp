// The shader operator and the terrain operator shader.
//
// shader_operator/<shader>_<threads>/<side>: ComputeOperator of a shader operator over a side x side
// terrain, sampling the host's noise shader (fBm, five octaves) or its bitmap shader (a 1024 x 1024
// float TIFF, bilinear), on all threads or on one (the host's parallel switch off). The two thread
// counts of one shader and side read as a ratio: the speed-up of the row loop with one sampler per
// thread. Counters: items_per_second is cells per second; `threads` the threads used.
//
// channel_shader/initrender_<output>/<side>: InitRender of the channel shader linked to a noise
// operator's side x side output, for the heights (0: copy and normalise) and the slope (1: normals,
// slope map, normalise), beside one update pass over the same grid (every cell read and written once,
// on all threads) run in the same iteration. `vs_pass` is InitRender's time over the pass's (how many
// grid passes the preparation costs); `pass_ms` the pass's time. Times are wall-clock.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/core/parallel.h"
#include "host/imaging/bitmap.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "host/shading/shading.h"
#include "object/operator_noise.h"
#include "object/operator_shader.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"
#include "shader/terrainoperatorshader.h"

namespace
{
constexpr Float TERRAIN_SIZE = 1000.0;
constexpr Int32 IMAGE_SIDE = 1024;

// The bitmap the bitmap shader reads: smooth hills in a float grey TIFF, removed when the process ends.
struct ImageFile
{
  std::filesystem::path path =
    std::filesystem::temp_directory_path() / ("ogx_bench_shading_" + std::to_string(::getpid()) + ".tif");
  ImageFile()
  {
    BaseBitmap* bmp = BaseBitmap::Alloc();
    Check(bmp && bmp->Init(IMAGE_SIDE, IMAGE_SIDE, 32, INITBITMAPFLAGS::GRAYSCALE) == IMAGERESULT::OK);
    std::vector<Float32> row(IMAGE_SIDE);
    for (Int32 y = 0; y < IMAGE_SIDE; ++y)
    {
      for (Int32 x = 0; x < IMAGE_SIDE; ++x)
        row[static_cast<std::size_t>(x)] = static_cast<Float32>(0.5 + 0.25 * std::sin(x * 0.02) * std::cos(y * 0.03));
      Check(bmp->SetPixelCnt(0, y, IMAGE_SIDE, reinterpret_cast<const UChar*>(row.data()), 4, COLORMODE::GRAYf));
    }
    Check(bmp->Save(Url(path), FILTER_TIF, SAVEBIT_32BITCHANNELS) == IMAGERESULT::OK);
    BaseBitmap::Free(bmp);
  }
  ~ImageFile() { std::filesystem::remove(path); }
};

// A terrain object with a shader operator (holding a noise and a bitmap shader), a noise operator and a
// material holding a channel shader linked to the noise operator; made once.
struct Scene
{
  ImageFile image;
  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;
  BaseObject* shaderOp = nullptr;
  BaseShader* noiseShader = nullptr;
  BaseShader* bitmapShader = nullptr;
  BaseObject* noiseOp = nullptr;
  BaseShader* channel = nullptr;

  Scene()
  {
    Check(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, BenchTerrainData::Alloc, String(),
                               nullptr, 0));
    Check(RegisterObjectPlugin(ID_OGX_SHADEROPERATOR, "Shader", OBJECT_GENERATOR, ShaderOperator::Alloc, String(),
                               nullptr, 1));
    Check(RegisterObjectPlugin(ID_OGX_NOISEOPERATOR, "Noise", OBJECT_GENERATOR, NoiseOperator::Alloc, String(),
                               nullptr, 1));
    Check(RegisterShaderPlugin(ID_OGX_TERRAINOPERATORSHADER, "Channel", 0, TerrainOperatorShader::Alloc, String(), 0));
    doc = BaseDocument::Alloc();
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    shaderOp = BaseObject::Alloc(ID_OGX_SHADEROPERATOR);
    noiseOp = BaseObject::Alloc(ID_OGX_NOISEOPERATOR);
    noiseShader = BaseShader::Alloc(Xnoise);
    bitmapShader = BaseShader::Alloc(Xbitmap);
    Check(doc && terrainObject && shaderOp && noiseOp && noiseShader && bitmapShader);
    Check(doc->InsertObject(terrainObject, nullptr));
    Check(doc->InsertObject(shaderOp, terrainObject));
    Check(doc->InsertObject(noiseOp, terrainObject));
    Check(shaderOp->InsertShader(noiseShader));
    Check(shaderOp->InsertShader(bitmapShader));
    bitmapShader->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, String(image.path.string()));
    noiseOp->GetDataInstanceRef().SetInt32(NOISEOPERATOR_SEED, 4242);

    BaseMaterial* material = BaseMaterial::Alloc();
    channel = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
    Check(material && channel && doc->InsertMaterial(material) && material->InsertShader(channel));
    BaseLink link;
    link.SetLink(noiseOp);
    Check(channel->SetParameter(DescID(TERRAINOPERATORSHADER_OPERATOR), GeData(link)));
  }

  static OGX::BaseTerrainOperatorData* Data(BaseObject* op) { return op->GetNodeData<OGX::BaseTerrainOperatorData>(); }
};

Scene& GetScene()
{
  static Scene scene;
  return scene;
}

void BM_ShaderOperator(benchmark::State& state, Bool bitmap, Bool allThreads)
{
  Scene& s = GetScene();
  const Int side = state.range(0);
  s.shaderOp->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, bitmap ? s.bitmapShader : s.noiseShader);
  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, TERRAIN_SIZE, TERRAIN_SIZE, 1.0, s.terrainObject, nullptr);
  Grid2D<Float> terrain;
  Check(terrain.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());

  host::SetParallelEnabled(allThreads);
  for (auto _ : state)
  {
    Check(Scene::Data(s.shaderOp)->ComputeOperator(terrain, s.shaderOp, s.doc, context).IsOk());
    benchmark::ClobberMemory();
  }
  host::SetParallelEnabled(true);
  state.counters["threads"] = static_cast<double>(allThreads ? GetCurrentThreadCount() : 1);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}

void BM_ChannelShaderInitRender(benchmark::State& state, Int32 output)
{
  using Clock = std::chrono::steady_clock;
  Scene& s = GetScene();
  const Int side = state.range(0);
  EvaluationContext context;
  InitEvaluationContext(context, side - 1, side - 1, TERRAIN_SIZE, TERRAIN_SIZE, 1.0, s.terrainObject, nullptr);
  Grid2D<Float> terrain;
  Check(terrain.Init(side, side, TERRAIN_SIZE, TERRAIN_SIZE).IsOk());
  Check(Scene::Data(s.noiseOp)->ComputeOperator(terrain, s.noiseOp, s.doc, context).IsOk());
  s.channel->GetDataInstanceRef().SetInt32(TERRAINOPERATORSHADER_OUTPUT, output);

  Grid2D<Float> pass;
  Check(pass.CopyFrom(Scene::Data(s.noiseOp)->GetOutputGrid()).IsOk());
  const InitRenderStruct irs(s.doc);
  double renderSeconds = 0.0;
  double passSeconds = 0.0;
  for (auto _ : state)
  {
    const auto t0 = Clock::now();
    Float* cells = pass.cells.GetFirst();
    Check(OGX::ParallelForBlocks(0, pass.cellCount, [=](Int begin, Int end) {
            for (Int i = begin; i < end; ++i)
              cells[i] = cells[i] * 0.5 + 0.25;
          }).IsOk());
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    Check(s.channel->InitRender(irs) == INITRENDERRESULT::OK);
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    s.channel->FreeRender();
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    renderSeconds += seconds;
    passSeconds += std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
  }
  state.counters["vs_pass"] = passSeconds > 0.0 ? renderSeconds / passSeconds : 0.0;
  state.counters["pass_ms"] = 1000.0 * passSeconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}
} // namespace

BENCHMARK_CAPTURE(BM_ShaderOperator, noise_all, false, true)
  ->Name("shader_operator/noise_allthreads")->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ShaderOperator, noise_one, false, false)
  ->Name("shader_operator/noise_onethread")->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ShaderOperator, bitmap_all, true, true)
  ->Name("shader_operator/bitmap_allthreads")->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ShaderOperator, bitmap_one, true, false)
  ->Name("shader_operator/bitmap_onethread")->Arg(1001)->Arg(4001)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ChannelShaderInitRender, heights, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS)
  ->Name("channel_shader/initrender_heights")->Arg(1001)->Arg(4001)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ChannelShaderInitRender, slope, TERRAINOPERATORSHADER_OUTPUT_SLOPE)
  ->Name("channel_shader/initrender_slope")->Arg(1001)->Arg(4001)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
