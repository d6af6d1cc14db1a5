#include "object/operator_shader.h"

#include <algorithm>

#include "common/ogx_icons.h"
#include "host/core/parallel.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_SHADER_NAME = 10006;
constexpr const char* SHADEROPERATOR_DESCRIPTION_NAME = "oshaderoperator";
constexpr Int32 SHADEROPERATOR_ICON_X = 192;
constexpr Int32 SHADEROPERATOR_ICON_Y = 0;
constexpr Int32 SHADEROPERATOR_DISKLEVEL = 0;

// Bytes the operator keeps beyond the base's: the snapshot of the shader's settings.
constexpr Int SHADEROPERATOR_EXTRA_MEMORY = 32;

constexpr Float BRIGHTNESS_WEIGHT = 0.3333333333333333;
// The sample's depth in texture space, and the margin (in cells) of the texture window without tiling.
constexpr Float SAMPLE_DELTA_W = 0.01;
constexpr Float WINDOW_MARGIN_CELLS = 2.0;

const Vector SAMPLE_NORMAL(0.0, 1.0, 0.0);

Float Reciprocal(Float length)
{
  return length == 0.0 ? 0.0 : 1.0 / length;
}

// A value outside [lo, hi] reflected back at the bound it crossed; an axis of zero width is left alone.
Float ReflectAtBounds(Float value, Float lo, Float hi)
{
  if (hi - lo == 0.0)
    return value;
  if (value < lo)
    return 2.0 * lo - value;
  if (value > hi)
    return 2.0 * hi - value;
  return value;
}

// A texture coordinate folded once into 0..1 (a value more than one tile away stays outside).
Float FoldOnce(Float u)
{
  if (u < 0.0)
    return -u;
  if (u > 1.0)
    return 2.0 - u;
  return u;
}

Vector ScaleComponents(const Vector& a, const Vector& b)
{
  return Vector(a.x * b.x, a.y * b.y, a.z * b.z);
}

// Everything one computation sets up for sampling, released on every way out of it: the samplers, the
// shader's render state (only when its preparation succeeded), the shared volume data and camera.
class ShaderRenderSetup
{
public:
  explicit ShaderRenderSetup(BaseShader* shader) : _shader(shader) {}
  ~ShaderRenderSetup() { Release(); }
  ShaderRenderSetup(const ShaderRenderSetup&) = delete;
  ShaderRenderSetup& operator=(const ShaderRenderSetup&) = delete;

  void Release()
  {
    for (ShaderSampler*& sampler : samplers)
      FreeShaderSampler(sampler);
    samplers.Reset();
    if (prepared)
      _shader->FreeRender();
    prepared = false;
    VolumeData::Free(volume);
    BaseObject::Free(camera);
  }

  BaseArray<ShaderSampler*> samplers;
  Bool prepared = false;
  VolumeData* volume = nullptr;
  BaseObject* camera = nullptr;

private:
  BaseShader* _shader;
};

BaseContainer ThreadSettings(Int threadIndex, Int threadCount)
{
  BaseContainer settings;
  settings.SetInt32(VOLUMEDATA_THREADINDEX, static_cast<Int32>(threadIndex));
  settings.SetInt32(VOLUMEDATA_THREADCOUNT, static_cast<Int32>(threadCount));
  return settings;
}

// One sampler per host thread; each stored as soon as it exists, so that a failure further on still
// frees it.
Result<void> AllocateSamplers(ShaderRenderSetup& setup, Int threadCount, const ShaderRowsJob& job)
{
  HOST_TRY(setup.samplers.Resize(threadCount));
  for (Int t = 0; t < threadCount; ++t)
  {
    ShaderSampler* sampler = NewObj<ShaderSampler>();
    if (!sampler)
      return OutOfMemoryError("Could not allocate shader sampler for thread " + String::IntToString(t) + "!");
    setup.samplers[t] = sampler;
    sampler->settings = ThreadSettings(t, threadCount);
    sampler->camera = BaseObject::Alloc(Ocamera);
    if (!sampler->camera)
      return IllegalStateError("Illegal state: Failed to allocate camera");
    sampler->volume = VolumeData::Alloc();
    if (!sampler->volume)
      return IllegalStateError("Illegal state: Failed to allocate volume data");
    sampler->texture = TexData::Alloc();
    if (!sampler->texture)
      return IllegalStateError("Illegal state: Failed to allocate TexData");
    if (!sampler->volume->AttachToCamera(sampler->camera, sampler->settings))
      return IllegalStateError("Illegal state: Failed to attach volume data");

    // What stays the same for every sample of the computation is written once here.
    sampler->texture->m = job.context->terrainMatrix;
    sampler->texture->im = job.context->terrainMatrixInverse;
    sampler->volume->tex = sampler->texture;
    sampler->volume->n = SAMPLE_NORMAL;
    ChannelData& cd = sampler->channel;
    cd.n = SAMPLE_NORMAL;
    cd.d = job.delta;
    cd.texflag = (job.tile ? TEX_TILE : 0) | (job.mirror ? TEX_MIRROR : 0);
    cd.vd = sampler->volume;
  }
  return OK;
}
} // namespace

void FreeShaderSampler(ShaderSampler*& sampler)
{
  if (!sampler)
    return;
  TexData::Free(sampler->texture);
  VolumeData::Free(sampler->volume);
  BaseObject::Free(sampler->camera);
  DeleteObj(sampler);
}

BaseShader* GetShaderOperatorShader(const BaseList2D* op, const BaseDocument* doc)
{
  if (!op)
    return nullptr;
  BaseList2D* linked = op->GetDataInstanceRef().GetLink(SHADEROPERATOR_SHADER, doc, Xbase);
  // The kind test keeps the cast honest: only a shader node can be sampled.
  return linked && linked->GetKind() == NODEKIND::SHADER ? static_cast<BaseShader*>(linked) : nullptr;
}

void SampleShaderRows(const ShaderRowsJob& job, ShaderSampler& sampler, Int y)
{
  Grid2D<Float>& out = *job.output;
  const Int width = job.rowLength;
  const Float sizeX = out.sizeX;
  const Float sizeY = out.sizeY;
  const Matrix& objectToGrid = job.context->objectToGridMatrix;
  ChannelData& cd = sampler.channel;
  VolumeData& vd = *sampler.volume;
  Float* row = out.cells.GetFirst() + y * width;
  const Float pz = sizeY * 0.5 - GridFraction(y, out.height - 1) * sizeY;

  for (Int x = 0; x < width; ++x)
  {
    const Float px = GridFraction(x, width - 1) * sizeX - sizeX * 0.5;
    Vector p = ScaleComponents(MatrixTransformVector(job.m1, Vector(px, 0.0, pz)), job.s) + job.o;
    Vector uvw = ScaleComponents(MatrixTransformVector(objectToGrid, p), job.s2) + job.o2;
    // Without tiling the texture ends a little beyond its square; cells past that keep 0. Nothing wraps.
    if (!job.tile && (uvw.x < job.uMin || uvw.x > job.uMax || uvw.y < job.vMin || uvw.y > job.vMax))
      continue;
    if (job.mirror)
    {
      // The texture point is computed first: the reflection moves only the world point.
      p.x = ReflectAtBounds(p.x, job.mirrorMin.x, job.mirrorMax.x);
      p.z = ReflectAtBounds(p.z, job.mirrorMin.z, job.mirrorMax.z);
      uvw.x = FoldOnce(uvw.x);
      uvw.y = FoldOnce(uvw.y);
    }
    cd.p = uvw;
    vd.p = p;
    vd.rayStart = p - job.delta;
    vd.rayEnd = p + job.delta;
    const Vector c = job.shader->Sample(&cd);
    row[x] = (c.x + c.y + c.z) * BRIGHTNESS_WEIGHT * job.heightScale + job.heightOffset;
  }
}

Result<void> SampleShaderRowsWorker(const ShaderRowsJob& job, Int row)
{
  const Int t = GetCurrentThreadIndex();
  if (t < 0 || t >= job.samplerCount || !job.samplers[t])
    return OK;
  SampleShaderRows(job, *job.samplers[t], row);
  return OK;
}

Result<void> SampleShaderRowsDispatch(const ShaderRowsJob& job, Int threadCount)
{
  return ParallelFor(
    0, job.output->height, [&job](Int row) { return SampleShaderRowsWorker(job, row); }, threadCount,
    OGX::LOOP_GRANULARITY);
}

NodeData* ShaderOperator::Alloc()
{
  return NewObj<ShaderOperator>();
}

TERRAINOPERATORFLAGS ShaderOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR |
         TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY;
}

Bool ShaderOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetBool(SHADEROPERATOR_INVERT, false);
  data.SetBool(SHADEROPERATOR_TILE, true);
  data.SetBool(SHADEROPERATOR_MIRROR, false);
  data.SetFloat(SHADEROPERATOR_OFFSETU, 0.0);
  data.SetFloat(SHADEROPERATOR_OFFSETV, 0.0);
  data.SetFloat(SHADEROPERATOR_LENGTHU, 1.0);
  data.SetFloat(SHADEROPERATOR_LENGTHV, 1.0);
  return true;
}

Bool ShaderOperator::GetOperatorDEnabling(GeListNode*, const DescID& id, const GeData&, const BaseContainer& data,
                                          DESCFLAGS_ENABLE, const BaseContainer*)
{
  if (id[0].id == SHADEROPERATOR_MIRROR)
    return data.GetBool(SHADEROPERATOR_TILE);
  return true;
}

Bool ShaderOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  return AppendDirtyParameterIds(ids, {SHADEROPERATOR_SHADER, SHADEROPERATOR_INVERT, SHADEROPERATOR_TILE,
                                       SHADEROPERATOR_MIRROR, SHADEROPERATOR_OFFSETU, SHADEROPERATOR_OFFSETV,
                                       SHADEROPERATOR_LENGTHU, SHADEROPERATOR_LENGTHV});
}

Bool ShaderOperator::IsOperatorDirty(BaseObject* op, BaseDocument* doc, EvaluationContext&)
{
  const BaseShader* shader = GetShaderOperatorShader(op, doc);
  if (!shader)
    return false;
  return shader->GetDataInstanceRef() != _shaderSnapshot;
}

Int ShaderOperator::GetMemoryUsage()
{
  return OGX::BaseTerrainOperatorData::GetMemoryUsage() + SHADEROPERATOR_EXTRA_MEMORY;
}

Result<void> ShaderOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                                             EvaluationContext& context)
{
  if (!op)
    return NullptrError("No shader operator object to compute!");
  HOST_TRY(_output.InitLike(terrain));

  BaseShader* shader = GetShaderOperatorShader(op, doc);
  if (!shader)
    return OK;

  const BaseContainer& data = op->GetDataInstanceRef();
  ShaderRowsJob job;
  job.mirror = data.GetBool(SHADEROPERATOR_MIRROR);
  job.tile = data.GetBool(SHADEROPERATOR_TILE);
  const Bool invert = data.GetBool(SHADEROPERATOR_INVERT);
  const Float offU = data.GetFloat(SHADEROPERATOR_OFFSETU);
  const Float offV = data.GetFloat(SHADEROPERATOR_OFFSETV);
  const Float scaleU = Reciprocal(data.GetFloat(SHADEROPERATOR_LENGTHU));
  const Float scaleV = Reciprocal(data.GetFloat(SHADEROPERATOR_LENGTHV));

  job.o = Vector(offU, 0.0, offV);
  job.s = Vector(scaleU, 0.0, scaleV);
  job.o2 = Vector(offU, offV, 0.0);
  job.s2 = Vector((1.0 - scaleU) + scaleU, (1.0 - scaleV) + scaleV, 1.0);

  const Int width = _output.width;
  const Int height = _output.height;
  job.output = &_output;
  job.shader = shader;
  job.context = &context;
  job.rowLength = width;
  job.delta = Vector(2.0 / static_cast<Float>(width), 2.0 / static_cast<Float>(height), SAMPLE_DELTA_W);

  // Shared set-up: one volume data record on a camera for the preparation, then the shader prepared.
  ShaderRenderSetup setup(shader);
  setup.volume = VolumeData::Alloc();
  if (!setup.volume)
    return IllegalStateError("Illegal state: Failed to initialize volume data");
  setup.camera = BaseObject::Alloc(Ocamera);
  if (!setup.camera)
    return IllegalStateError("Illegal state: Failed to initialize camera");
  const Int threadCount = GetCurrentThreadCount();
  if (!setup.volume->AttachToCamera(setup.camera, ThreadSettings(GetCurrentThreadIndex(), threadCount)))
    return IllegalStateError("Illegal state: Failed to attach volume data");
  InitRenderStruct irs(doc);
  irs.thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;
  irs.vd = setup.volume;
  if (shader->InitRender(irs) != INITRENDERRESULT::OK)
    return IllegalStateError("Illegal state: Shader init failed");
  setup.prepared = true;

  HOST_TRY(AllocateSamplers(setup, threadCount, job));
  job.samplers = setup.samplers.GetFirst();
  job.samplerCount = setup.samplers.GetCount();

  job.m1 = ~op->GetMl() * context.parentMatrixInverse;
  // The bounds of the terrain plane, per component: the corners (0, 0) and (1, 1) of the grid.
  const Vector cornerA = MatrixTransformVector(context.gridToObjectMatrix, Vector(0.0, 0.0, 0.0));
  const Vector cornerB = MatrixTransformVector(context.gridToObjectMatrix, Vector(1.0, 1.0, 0.0));
  job.mirrorMin = Vector(std::min(cornerA.x, cornerB.x), std::min(cornerA.y, cornerB.y), std::min(cornerA.z, cornerB.z));
  job.mirrorMax = Vector(std::max(cornerA.x, cornerB.x), std::max(cornerA.y, cornerB.y), std::max(cornerA.z, cornerB.z));
  job.uMin = -WINDOW_MARGIN_CELLS / static_cast<Float>(width);
  job.uMax = 1.0 + WINDOW_MARGIN_CELLS / static_cast<Float>(width);
  job.vMin = -WINDOW_MARGIN_CELLS / static_cast<Float>(height);
  job.vMax = 1.0 + WINDOW_MARGIN_CELLS / static_cast<Float>(height);
  job.heightScale = invert ? -1.0 : 1.0;
  job.heightOffset = invert ? 1.0 : 0.0;

  // The rows never fail and test no break: their result carries nothing.
  static_cast<void>(SampleShaderRowsDispatch(job, threadCount));

  setup.Release();
  // Copying can only come out short (a custom value that cannot be cloned); the next dirty test then
  // sees a difference and computes again, which is safe.
  shader->GetDataInstanceRef().CopyTo(&_shaderSnapshot);
  return OK;
}

Bool RegisterShaderOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_SHADEROPERATOR, SHADEROPERATOR_ICON_X, SHADEROPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_SHADEROPERATOR, GeLoadString(IDS_SHADER_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_GENERATOR, ShaderOperator::Alloc,
                                   SHADEROPERATOR_DESCRIPTION_NAME, icon, SHADEROPERATOR_DISKLEVEL, sortOrder);
  });
}
