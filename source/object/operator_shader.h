// The shader operator: a generator that turns any host shader into heights. Each terrain cell is carried
// through the operator object's own placement onto the shader's texture square, the linked shader is
// sampled there, and the brightness of the colour ((r + g + b) / 3, optionally inverted) becomes the
// cell's height. The base operator masks and blends the result.
//
// Placement: the cell's point on the terrain plane goes through M1 = inverse(L) x parentInverse (L the
// operator's local matrix, parentInverse the enclosing groups'), is scaled by 1 / length and offset per
// axis, and its grid coordinates become the texture point (u, v, w). With tiling off, cells whose u or v
// falls outside the texture square (with a two-cell margin) are left at 0. With mirroring on, u and v
// are folded once into 0..1 and the world point the shader may read is reflected at the terrain
// plane's borders.
//
// The rows run on all of the host's threads, each thread sampling through its own sampler (its
// channel, volume and texture records and camera) made before the loop, so no sample allocates. The
// loop tests no break and never fails. Every set-up step that fails ends the computation with its error
// after releasing everything set up so far, the shader's render state included when it was prepared.
#pragma once

#include "host/scene/scene.h"
#include "host/shading/renderdata.h"
#include "orogenix/baseterrainoperator.h"

// Plug-in id of the shader operator.
inline constexpr Int32 ID_OGX_SHADEROPERATOR = 1054617;

// The operator's parameters (description "oshaderoperator").
enum : Int32
{
  SHADEROPERATOR_GROUP = 10000,
  SHADEROPERATOR_SHADER = 10001,    // link to a shader (not written by InitOperatorParameters)
  SHADEROPERATOR_INVERT = 10002,    // Bool: height = 1 - brightness
  SHADEROPERATOR_TILE = 10011,      // Bool: the texture repeats
  SHADEROPERATOR_MIRROR = 10012,    // Bool: seamless (mirrored) tiles; enabled only with 10011
  SHADEROPERATOR_OFFSETU = 10021,   // Float
  SHADEROPERATOR_OFFSETV = 10022,   // Float
  SHADEROPERATOR_LENGTHU = 10023,   // Float: used as 1 / length (0 for a length of 0)
  SHADEROPERATOR_LENGTHV = 10024,   // Float: likewise
};

// One host thread's sampling set-up: its settings (thread index and count), a camera, the volume data
// attached to it, the texture data and the channel data filled per sample. Freed by FreeShaderSampler.
// Aligned to a cache line, so that the channel data one thread writes per sample never shares a line
// with another thread's.
struct alignas(64) ShaderSampler
{
  BaseContainer settings;
  BaseObject* camera = nullptr;
  VolumeData* volume = nullptr;
  TexData* texture = nullptr;
  ChannelData channel;
};

// Releases what the sampler holds and the sampler itself; null is accepted and the pointer set to null.
void FreeShaderSampler(ShaderSampler*& sampler);

// p transformed by m: m.off + p.x m.v1 + p.y m.v2 + p.z m.v3. Inline: the row loop calls it twice per
// cell.
inline Vector MatrixTransformVector(const Matrix& m, const Vector& p)
{
  return m.off + m.v1 * p.x + m.v2 * p.y + m.v3 * p.z;
}

// What the row loop reads; every field is fixed before the loop starts.
struct ShaderRowsJob
{
  Grid2D<Float>* output = nullptr;
  ShaderSampler* const* samplers = nullptr;   // one per host thread, by thread index
  Int samplerCount = 0;
  BaseShader* shader = nullptr;
  const EvaluationContext* context = nullptr;
  Vector delta;               // the sample's size: (2 / width, 2 / height, 0.01)
  Matrix m1;                  // terrain plane -> operator space
  Vector o, s, o2, s2;        // offsets and scales of the world point and of the texture point
  Vector mirrorMin, mirrorMax;   // the terrain plane's bounds, per component
  Int rowLength = 0;
  Bool tile = false;
  Bool mirror = false;
  Float heightScale = 1.0;
  Float heightOffset = 0.0;
  Float uMin = 0.0, uMax = 1.0, vMin = 0.0, vMax = 1.0;   // the texture window of a cell without tiling
};

// Runs the rows 0 .. height - 1 of the job on the host's parallel loop with threadCount threads.
Result<void> SampleShaderRowsDispatch(const ShaderRowsJob& job, Int threadCount);
// One iteration: the row with the calling thread's sampler (nothing when the thread has none).
Result<void> SampleShaderRowsWorker(const ShaderRowsJob& job, Int row);
// Samples row y of the output with one sampler.
void SampleShaderRows(const ShaderRowsJob& job, ShaderSampler& sampler, Int y);

class ShaderOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc();

  // 22: generator, follows its own and its groups' matrices.
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) override;
  Bool InitOperatorParameters(GeListNode* node, BaseContainer& data) override;
  // 10012 only while 10011 is on.
  Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                            DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc) override;
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                               EvaluationContext& context) override;
  // With a linked shader: whether the shader's parameters differ (by content) from those the last
  // computation sampled.
  Bool IsOperatorDirty(BaseObject* op, BaseDocument* doc, EvaluationContext& context) override;
  // The base's figure plus 32.
  Int GetMemoryUsage() override;
  // 10001, 10002, 10011, 10012, 10021 to 10024; false (error printed) when the list cannot grow.
  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data) override;

private:
  BaseContainer _shaderSnapshot;
};

// The shader a shader operator's link 10001 names in doc, or null (nothing linked, or the link names no
// shader).
BaseShader* GetShaderOperatorShader(const BaseList2D* op, const BaseDocument* doc);

// Registers the operator (its icon from the main sheet's cell at (192, 0), description
// "oshaderoperator", name string 10006) at that menu sort order; start-up passes 22.
Bool RegisterShaderOperator(Int32 sortOrder);
