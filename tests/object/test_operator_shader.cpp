// The shader operator: its parameters and interface answers, the placement of every cell on the
// texture (written out in the test from its definition), tiling, mirroring, inversion, the dirty test
// against the shader's settings, one sampler per thread, the release of everything on every failed
// set-up step, and a float TIFF driving a terrain through the bitmap shader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/imaging/bitmap.h"
#include "host/scene/hierarchy.h"
#include "host/shading/shading.h"
#include "object/operator_shader.h"
#include "object/terrainobject.h"
#include "support/shading_fixture.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
// ---------------------------------------------------------------------------------------------------
// A probe shader: returns three times one quantity of the sample in red (so the cell's height is that
// quantity), counts its render cycle, can refuse its preparation, and checks that every sample comes
// with the sampler of the thread that takes it.

constexpr Int32 ID_PROBE = 1099401;
constexpr Int32 PROBE_QUANTITY = 1000;   // Int32: which quantity the height shows
constexpr Int32 PROBE_FAILINIT = 1001;   // Bool: InitRender answers UNKNOWNERROR

enum QUANTITY : Int32
{
  Q_U,
  Q_V,
  Q_W,
  Q_PX,
  Q_PZ,
  Q_ONE,
};

struct ProbeLog
{
  std::mutex mutex;
  Int inits = 0;
  Int frees = 0;
  Int samples = 0;
  Int wrongThread = 0;     // a sample whose volume data was set up for another thread
  Int badRecords = 0;      // a sample whose records do not hold what the operator writes
  std::vector<Int32> texflags;
  Matrix terrainMatrix;    // what the samples must carry as texture placement
  Vector delta;
};
ProbeLog g_probe;

class ProbeShaderData : public ShaderData
{
public:
  static NodeData* Alloc() { return NewObj<ProbeShaderData>(); }

  INITRENDERRESULT InitRender(BaseShader* sh, const InitRenderStruct& irs) override
  {
    std::lock_guard lock(g_probe.mutex);
    if (sh->GetDataInstanceRef().GetBool(PROBE_FAILINIT))
      return INITRENDERRESULT::UNKNOWNERROR;
    ++g_probe.inits;
    // The preparation sees a volume data record attached to a camera.
    if (!irs.vd || !irs.vd->GetCamera() || irs.vd->GetCamera()->GetType() != Ocamera)
      ++g_probe.badRecords;
    _quantity = sh->GetDataInstanceRef().GetInt32(PROBE_QUANTITY);
    return INITRENDERRESULT::OK;
  }
  void FreeRender(BaseShader*) override
  {
    std::lock_guard lock(g_probe.mutex);
    ++g_probe.frees;
  }
  Vector SampleColor(BaseShader*, ChannelData* cd) override
  {
    const VolumeData* vd = cd->vd;
    const Bool ownSampler = vd && vd->GetSettings().GetInt32(VOLUMEDATA_THREADINDEX, -1) == GetCurrentThreadIndex() &&
                            vd->GetSettings().GetInt32(VOLUMEDATA_THREADCOUNT) == GetCurrentThreadCount();
    const Bool records = vd && vd->tex && vd->GetCamera() && cd->n == Vector(0, 1, 0) && vd->n == Vector(0, 1, 0) &&
                         vd->rayStart == vd->p - cd->d && vd->rayEnd == vd->p + cd->d;
    {
      std::lock_guard lock(g_probe.mutex);
      ++g_probe.samples;
      if (!ownSampler)
        ++g_probe.wrongThread;
      if (!records || !(vd->tex->m == g_probe.terrainMatrix) || !(vd->tex->im == ~g_probe.terrainMatrix) ||
          !(cd->d == g_probe.delta))
        ++g_probe.badRecords;
      if (std::find(g_probe.texflags.begin(), g_probe.texflags.end(), cd->texflag) == g_probe.texflags.end())
        g_probe.texflags.push_back(cd->texflag);
    }
    Float q = 1.0;
    switch (_quantity)
    {
      case Q_U: q = cd->p.x; break;
      case Q_V: q = cd->p.y; break;
      case Q_W: q = cd->p.z; break;
      case Q_PX: q = vd ? vd->p.x : 0.0; break;
      case Q_PZ: q = vd ? vd->p.z : 0.0; break;
      default: break;
    }
    return Vector(3.0 * q, 0.0, 0.0);
  }

private:
  Int32 _quantity = Q_ONE;
};

void ResetProbe(const Matrix& terrainMatrix = Matrix())
{
  std::lock_guard lock(g_probe.mutex);
  g_probe.inits = g_probe.frees = g_probe.samples = g_probe.wrongThread = g_probe.badRecords = 0;
  g_probe.texflags.clear();
  g_probe.terrainMatrix = terrainMatrix;
}

// ---------------------------------------------------------------------------------------------------
// The placement written out from its definition.

struct Placement
{
  Matrix local;
  Matrix parentInverse;
  Float offU = 0.0, offV = 0.0, lengthU = 1.0, lengthV = 1.0;
  Bool tile = true, mirror = false;
};

struct CellSample
{
  Bool skipped = false;
  Vector uvw;
  Vector p;
};

CellSample ReferenceSample(const Placement& pl, Int x, Int y, Int width, Int height, Float sizeX, Float sizeZ)
{
  const Float px = static_cast<Float>(x) / static_cast<Float>(width - 1) * sizeX - sizeX * 0.5;
  const Float pz = sizeZ * 0.5 - static_cast<Float>(y) / static_cast<Float>(height - 1) * sizeZ;
  const Float su = pl.lengthU == 0.0 ? 0.0 : 1.0 / pl.lengthU;
  const Float sv = pl.lengthV == 0.0 ? 0.0 : 1.0 / pl.lengthV;
  // The groups' inverse first, then the operator's own.
  Vector q = ~pl.local * (pl.parentInverse * Vector(px, 0.0, pz));
  q = Vector(q.x * su + pl.offU, 0.0, q.z * sv + pl.offV);
  CellSample s;
  s.uvw = Vector((q.x + sizeX * 0.5) / sizeX + pl.offU, (sizeZ * 0.5 - q.z) / sizeZ + pl.offV, q.y);
  const Float marginU = 2.0 / static_cast<Float>(width);
  const Float marginV = 2.0 / static_cast<Float>(height);
  if (!pl.tile && (s.uvw.x < -marginU || s.uvw.x > 1.0 + marginU || s.uvw.y < -marginV || s.uvw.y > 1.0 + marginV))
  {
    s.skipped = true;
    return s;
  }
  if (pl.mirror)
  {
    auto reflect = [](Float v, Float lo, Float hi) { return v < lo ? 2.0 * lo - v : (v > hi ? 2.0 * hi - v : v); };
    q.x = reflect(q.x, -sizeX * 0.5, sizeX * 0.5);
    q.z = reflect(q.z, -sizeZ * 0.5, sizeZ * 0.5);
    auto fold = [](Float u) { return u < 0.0 ? -u : (u > 1.0 ? 2.0 - u : u); };
    s.uvw.x = fold(s.uvw.x);
    s.uvw.y = fold(s.uvw.y);
  }
  s.p = q;
  return s;
}

Float Quantity(const CellSample& s, Int32 quantity)
{
  switch (quantity)
  {
    case Q_U: return s.uvw.x;
    case Q_V: return s.uvw.y;
    case Q_W: return s.uvw.z;
    case Q_PX: return s.p.x;
    case Q_PZ: return s.p.z;
    default: return 1.0;
  }
}

Matrix Turned(Float angle, const Vector& scale, const Vector& off)
{
  const Float c = std::cos(angle), s = std::sin(angle);
  return Matrix(off, Vector(c, 0, -s) * scale.x, Vector(0, 1, 0) * scale.y, Vector(s, 0, c) * scale.z);
}

// ---------------------------------------------------------------------------------------------------

class ShaderOperatorTest : public ShadingSceneTest
{
protected:
  void SetUp() override
  {
    ShadingSceneTest::SetUp();
    ASSERT_TRUE(RegisterShaderPlugin(ID_PROBE, "Probe", 0, ProbeShaderData::Alloc, String(), 0));
    ResetProbe();
    _volumes = host::GetLiveVolumeDataCount();
    _textures = host::GetLiveTexDataCount();
  }
  void TearDown() override
  {
    ShadingSceneTest::TearDown();
    EXPECT_EQ(host::GetLiveVolumeDataCount(), _volumes);
    EXPECT_EQ(host::GetLiveTexDataCount(), _textures);
  }

  // A shader operator under the terrain object holding a shader of that type in its shader list, linked.
  BaseObject* AddShaderOperator(Int32 shaderType, BaseShader** shaderOut = nullptr)
  {
    BaseObject* op = AddOperator(ID_OGX_SHADEROPERATOR);
    BaseShader* sh = BaseShader::Alloc(shaderType);
    EXPECT_TRUE(op && sh);
    EXPECT_TRUE(op->InsertShader(sh));
    op->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, sh);
    if (shaderOut)
      *shaderOut = sh;
    return op;
  }

  void Shape(Int resX, Int resZ, Float sizeX, Float sizeZ)
  {
    InitEvaluationContext(context, resX, resZ, sizeX, sizeZ, 1.0, terrain, nullptr);
    ASSERT_TRUE(terrainGrid.Init(resX + 1, resZ + 1, sizeX, sizeZ).IsOk());
    std::lock_guard lock(g_probe.mutex);
    g_probe.terrainMatrix = context.terrainMatrix;
    g_probe.delta = Vector(2.0 / static_cast<Float>(resX + 1), 2.0 / static_cast<Float>(resZ + 1), 0.01);
  }

  Result<void> Compute(BaseObject* op) { return OperatorData(op)->ComputeOperator(terrainGrid, op, doc, context); }
  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }

  static void Apply(BaseObject* op, const Placement& pl)
  {
    BaseContainer& bc = op->GetDataInstanceRef();
    op->SetMl(pl.local);
    bc.SetFloat(SHADEROPERATOR_OFFSETU, pl.offU);
    bc.SetFloat(SHADEROPERATOR_OFFSETV, pl.offV);
    bc.SetFloat(SHADEROPERATOR_LENGTHU, pl.lengthU);
    bc.SetFloat(SHADEROPERATOR_LENGTHV, pl.lengthV);
    bc.SetBool(SHADEROPERATOR_TILE, pl.tile);
    bc.SetBool(SHADEROPERATOR_MIRROR, pl.mirror);
  }

  // Computes op once per quantity and compares every cell with the reference.
  void ExpectPlacement(BaseObject* op, BaseShader* probe, const Placement& pl)
  {
    for (Int32 quantity : {Q_U, Q_V, Q_W, Q_PX, Q_PZ})
    {
      SCOPED_TRACE(::testing::Message() << "quantity " << quantity);
      probe->GetDataInstanceRef().SetInt32(PROBE_QUANTITY, quantity);
      ASSERT_TRUE(Compute(op).IsOk());
      const Grid2D<Float>& out = Output(op);
      for (Int y = 0; y < out.height; ++y)
        for (Int x = 0; x < out.width; ++x)
        {
          const CellSample s = ReferenceSample(pl, x, y, out.width, out.height, out.sizeX, out.sizeY);
          const Float expected = s.skipped ? 0.0 : Quantity(s, quantity);
          ASSERT_NEAR(out.cells[y * out.width + x], expected, 1e-9 * std::max(1.0, std::fabs(expected)))
            << "cell " << x << ", " << y;
        }
    }
  }

  EvaluationContext context;
  Grid2D<Float> terrainGrid;
  Int _volumes = 0;
  Int _textures = 0;
};

TEST_F(ShaderOperatorTest, InterfaceAnswersAndDefaults)
{
  BaseObject* op = AddOperator(ID_OGX_SHADEROPERATOR);
  ASSERT_NE(op, nullptr);
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(op)), 22);
  const BaseContainer& bc = op->GetDataInstanceRef();
  EXPECT_FALSE(bc.GetBool(SHADEROPERATOR_INVERT, true));
  EXPECT_TRUE(bc.GetBool(SHADEROPERATOR_TILE, false));
  EXPECT_FALSE(bc.GetBool(SHADEROPERATOR_MIRROR, true));
  EXPECT_EQ(bc.GetFloat(SHADEROPERATOR_OFFSETU, -1.0), 0.0);
  EXPECT_EQ(bc.GetFloat(SHADEROPERATOR_OFFSETV, -1.0), 0.0);
  EXPECT_EQ(bc.GetFloat(SHADEROPERATOR_LENGTHU), 1.0);
  EXPECT_EQ(bc.GetFloat(SHADEROPERATOR_LENGTHV), 1.0);
  EXPECT_FALSE(bc.Contains(SHADEROPERATOR_SHADER));

  BaseArray<Int32> ids;
  ASSERT_TRUE(data->GetDirtyParameterIds(ids, bc));
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()),
            (std::vector<Int32>{10001, 10002, 10011, 10012, 10021, 10022, 10023, 10024}));
  {
    host::ScopedAllocationFailure fail(1);
    BaseArray<Int32> none;
    EXPECT_FALSE(data->GetDirtyParameterIds(none, bc));
  }

  EXPECT_TRUE(op->GetDEnabling(DescID(SHADEROPERATOR_MIRROR), GeData()));
  op->GetDataInstanceRef().SetBool(SHADEROPERATOR_TILE, false);
  EXPECT_FALSE(op->GetDEnabling(DescID(SHADEROPERATOR_MIRROR), GeData()));
  EXPECT_TRUE(op->GetDEnabling(DescID(SHADEROPERATOR_INVERT), GeData()));

  Shape(4, 2, 10.0, 5.0);
  ASSERT_TRUE(Compute(op).IsOk());
  const Int base = 576 + 8 * Output(op).cellCount;
  EXPECT_EQ(data->GetMemoryUsage(), base + 32);
}

TEST_F(ShaderOperatorTest, WithoutAShaderTheOutputIsZerosOfTheTerrainsShape)
{
  BaseObject* op = AddOperator(ID_OGX_SHADEROPERATOR);
  Shape(6, 3, 30.0, 12.0);
  for (Int round = 0; round < 2; ++round)
  {
    ASSERT_TRUE(Compute(op).IsOk());
    const Grid2D<Float>& out = Output(op);
    EXPECT_EQ(out.width, 7);
    EXPECT_EQ(out.height, 4);
    EXPECT_EQ(out.sizeX, 30.0);
    EXPECT_EQ(out.sizeY, 12.0);
    EXPECT_FALSE(out.minMaxValid);
    EXPECT_TRUE(std::all_of(out.cells.begin(), out.cells.end(), [](Float v) { return v == 0.0; }));
    EXPECT_FALSE(OperatorData(op)->IsOperatorDirty(op, doc, context));
    // A link to something that is no shader reads as no shader.
    op->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, terrain);
  }
}

TEST_F(ShaderOperatorTest, UniformWhiteGivesOneAndInvertedZero)
{
  BaseObject* op = AddShaderOperator(Xcolor);
  Shape(40, 30, 100.0, 80.0);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(std::all_of(Output(op).cells.begin(), Output(op).cells.end(), [](Float v) { return v == 1.0; }));
  op->GetDataInstanceRef().SetBool(SHADEROPERATOR_INVERT, true);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(std::all_of(Output(op).cells.begin(), Output(op).cells.end(), [](Float v) { return v == 0.0; }));
}

TEST_F(ShaderOperatorTest, CellsLandOnTheTextureAsThePlacementSays)
{
  BaseShader* probe = nullptr;
  BaseObject* op = AddShaderOperator(ID_PROBE, &probe);
  struct Case
  {
    const char* name;
    Placement pl;
    Matrix parent;
  };
  Placement turned;
  turned.local = Turned(0.7, Vector(1.5, 1.0, 0.5), Vector(4.0, 2.0, -3.0));
  Placement offsets;
  offsets.offU = 0.25;
  offsets.offV = -0.5;
  offsets.lengthU = 2.0;
  offsets.lengthV = 0.5;
  Placement zeroLength;
  zeroLength.lengthU = 0.0;
  Placement grouped;
  grouped.local = Turned(-0.3, Vector(1.0), Vector(1.0, 0.0, 2.0));
  Placement mirrored;
  mirrored.lengthU = 0.4;
  mirrored.lengthV = 0.7;
  mirrored.offU = 0.3;
  mirrored.mirror = true;
  const Matrix parent = Turned(1.1, Vector(2.0, 1.0, 2.0), Vector(-5.0, 1.0, 3.0));
  grouped.parentInverse = ~parent;
  const std::vector<Case> cases = {
    {"identity", Placement(), Matrix()},   {"turned and scaled", turned, Matrix()},
    {"offsets and lengths", offsets, Matrix()}, {"length 0", zeroLength, Matrix()},
    {"inside a group", grouped, parent},   {"mirrored", mirrored, Matrix()},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Shape(12, 7, 60.0, 35.0);
    context.parentMatrix = c.parent;
    context.parentMatrixInverse = ~c.parent;
    Apply(op, c.pl);
    ExpectPlacement(op, probe, c.pl);
  }
  // Length 0: every cell samples the middle of the texture in u.
  Apply(op, zeroLength);
  probe->GetDataInstanceRef().SetInt32(PROBE_QUANTITY, Q_U);
  context.parentMatrix = context.parentMatrixInverse = Matrix();
  ASSERT_TRUE(Compute(op).IsOk());
  for (Float v : Output(op).cells)
    EXPECT_NEAR(v, 0.5, 1e-15);
}

TEST_F(ShaderOperatorTest, WithoutTilingCellsOutsideTheWindowKeepZeroAndNothingWraps)
{
  BaseShader* probe = nullptr;
  BaseObject* op = AddShaderOperator(ID_PROBE, &probe);
  Shape(20, 10, 40.0, 20.0);
  Placement pl;
  pl.tile = false;
  pl.lengthU = 0.5;   // u spans -0.5 .. 1.5
  pl.offV = 0.3;      // v spans 0.3 .. 1.3
  Apply(op, pl);
  ExpectPlacement(op, probe, pl);
  probe->GetDataInstanceRef().SetInt32(PROBE_QUANTITY, Q_ONE);
  ASSERT_TRUE(Compute(op).IsOk());
  const Grid2D<Float>& out = Output(op);
  Int inside = 0;
  for (Int y = 0; y < out.height; ++y)
    for (Int x = 0; x < out.width; ++x)
    {
      const Bool skipped = ReferenceSample(pl, x, y, out.width, out.height, out.sizeX, out.sizeY).skipped;
      EXPECT_EQ(out.cells[y * out.width + x], skipped ? 0.0 : 1.0) << x << ", " << y;
      inside += skipped ? 0 : 1;
    }
  EXPECT_GT(inside, 0);
  EXPECT_LT(inside, out.cellCount);
  EXPECT_EQ(g_probe.texflags, std::vector<Int32>{0});

  // Tiling on (and mirroring) passes the flags and samples every cell.
  pl.tile = true;
  pl.mirror = true;
  Apply(op, pl);
  ResetProbe(context.terrainMatrix);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_TRUE(std::all_of(out.cells.begin(), out.cells.end(), [](Float v) { return v == 1.0; }));
  EXPECT_EQ(g_probe.texflags, std::vector<Int32>{TEX_TILE | TEX_MIRROR});
  EXPECT_EQ(g_probe.samples, out.cellCount);
}

TEST_F(ShaderOperatorTest, MirrorLeavesAnAxisOfZeroWidthAlone)
{
  BaseShader* probe = nullptr;
  BaseObject* op = AddShaderOperator(ID_PROBE, &probe);
  Shape(8, 8, 20.0, 20.0);
  // A grid mapping whose rows do not move along Z: the terrain plane has no depth to reflect at.
  context.gridToObjectMatrix.v2 = Vector();
  Placement pl;
  pl.lengthU = 0.5;
  pl.lengthV = 0.5;
  pl.mirror = true;
  Apply(op, pl);
  probe->GetDataInstanceRef().SetInt32(PROBE_QUANTITY, Q_PZ);
  ASSERT_TRUE(Compute(op).IsOk());
  const Grid2D<Float>& out = Output(op);
  for (Int y = 0; y < out.height; ++y)
  {
    const Float pz = (10.0 - static_cast<Float>(y) / 8.0 * 20.0) * 2.0;   // spans -20 .. 20, unreflected
    EXPECT_NEAR(out.cells[y * out.width], pz, 1e-12) << y;
  }
  probe->GetDataInstanceRef().SetInt32(PROBE_QUANTITY, Q_PX);
  ASSERT_TRUE(Compute(op).IsOk());
  for (Int x = 0; x < out.width; ++x)
  {
    const Float px = (static_cast<Float>(x) / 8.0 * 20.0 - 10.0) * 2.0;
    const Float reflected = px < -10.0 ? -20.0 - px : (px > 10.0 ? 20.0 - px : px);
    EXPECT_NEAR(out.cells[x], reflected, 1e-12) << x;
  }
}

TEST_F(ShaderOperatorTest, EveryThreadSamplesWithItsOwnSamplerAndTheResultDoesNotDependOnThreads)
{
  BaseShader* noise = nullptr;
  BaseObject* op = AddShaderOperator(Xnoise, &noise);
  Shape(300, 200, 500.0, 400.0);
  ASSERT_TRUE(Compute(op).IsOk());
  const std::vector<Float> parallel(Output(op).cells.begin(), Output(op).cells.end());
  {
    SerialScope serial;
    ASSERT_TRUE(Compute(op).IsOk());
  }
  const std::vector<Float> serialCells(Output(op).cells.begin(), Output(op).cells.end());
  ASSERT_EQ(parallel.size(), serialCells.size());
  for (std::size_t i = 0; i < parallel.size(); ++i)
    ASSERT_TRUE(Same(parallel[i], serialCells[i])) << i;

  BaseShader* probe = BaseShader::Alloc(ID_PROBE);
  ASSERT_TRUE(op->InsertShader(probe));
  op->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, probe);
  ResetProbe(context.terrainMatrix);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_EQ(g_probe.samples, Output(op).cellCount);
  EXPECT_EQ(g_probe.wrongThread, 0);
  EXPECT_EQ(g_probe.badRecords, 0);
  EXPECT_EQ(g_probe.inits, 1);
  EXPECT_EQ(g_probe.frees, 1);
}

TEST_F(ShaderOperatorTest, ChangesOfTheShadersSettingsMakeTheOperatorDirty)
{
  BaseShader* gradient = nullptr;
  BaseObject* op = AddShaderOperator(Xgradient, &gradient);
  Shape(4, 4, 10.0, 10.0);
  OGX::BaseTerrainOperatorData* data = OperatorData(op);
  EXPECT_TRUE(data->IsOperatorDirty(op, doc, context));   // never computed
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_FALSE(data->IsOperatorDirty(op, doc, context));

  // The same gradient stored again (another instance, equal content): still clean.
  BaseContainer& bc = gradient->GetDataInstanceRef();
  const auto* stored = static_cast<const Gradient*>(bc.GetCustomData(GRADIENTSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
  ASSERT_NE(stored, nullptr);
  Gradient same;
  ASSERT_TRUE(stored->CopyTo(&same));
  bc.SetData(GRADIENTSHADER_GRADIENT, GeData(same));
  EXPECT_FALSE(data->IsOperatorDirty(op, doc, context));

  // A knot moved: dirty until the next computation.
  GradientKnot k = same.GetKnot(1);
  k.pos = 0.75;
  ASSERT_TRUE(same.SetKnot(1, k));
  bc.SetData(GRADIENTSHADER_GRADIENT, GeData(same));
  EXPECT_TRUE(data->IsOperatorDirty(op, doc, context));
  EXPECT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  ASSERT_TRUE(Compute(op).IsOk());
  EXPECT_FALSE(data->IsOperatorDirty(op, doc, context));

  bc.SetInt32(GRADIENTSHADER_TYPE, GRADIENTSHADER_TYPE_V);
  EXPECT_TRUE(data->IsOperatorDirty(op, doc, context));
  // Without a shader the operator is never dirty on its account.
  op->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, nullptr);
  EXPECT_FALSE(data->IsOperatorDirty(op, doc, context));
}

TEST_F(ShaderOperatorTest, EverySetUpFailureReleasesEverythingAndNamesTheStep)
{
  BaseObject* op = AddShaderOperator(ID_PROBE);
  Shape(20, 20, 10.0, 10.0);
  // Shaped once, the output grid keeps its cells: from here on every allocation is the set-up's.
  ASSERT_TRUE(Compute(op).IsOk());
  const Int nodes = host::GetLiveNodeCount();
  const std::vector<String> known = {
    "Illegal state: Failed to initialize volume data", "Illegal state: Failed to initialize camera",
    "Illegal state: Failed to attach volume data",     "Illegal state: Failed to allocate camera",
    "Illegal state: Failed to allocate volume data",   "Illegal state: Failed to allocate TexData",
    "Array allocation failed!",   // the sampler list
  };
  std::vector<String> seen;
  Int n = 1;
  for (;; ++n)
  {
    ResetProbe(context.terrainMatrix);
    Result<void> result;
    {
      host::ScopedAllocationFailure fail(n);
      result = Compute(op);
    }
    EXPECT_EQ(host::GetLiveVolumeDataCount(), _volumes) << n;
    EXPECT_EQ(host::GetLiveTexDataCount(), _textures) << n;
    EXPECT_EQ(host::GetLiveNodeCount(), nodes) << n;
    EXPECT_EQ(g_probe.frees, g_probe.inits) << n;
    if (result.IsOk())
      break;
    const String text = result.GetError().GetText();
    if (text.GetStd().starts_with("Could not allocate shader sampler for thread "))
    {
      EXPECT_EQ(result.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
      seen.push_back("sampler");
      continue;
    }
    seen.push_back(text);
  }
  EXPECT_GT(n, 3 * GetCurrentThreadCount());   // every sampler's steps were reached
  for (const String& message : known)
  {
    EXPECT_NE(std::find(seen.begin(), seen.end(), message), seen.end()) << message.GetStd();
  }
  EXPECT_NE(std::find(seen.begin(), seen.end(), String("sampler")), seen.end());

  // A shader that cannot be prepared: the error, and no FreeRender for a preparation that never was.
  BaseShader* probe = GetShaderOperatorShader(op, doc);
  probe->GetDataInstanceRef().SetBool(PROBE_FAILINIT, true);
  ResetProbe(context.terrainMatrix);
  const Result<void> failed = Compute(op);
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.GetError().GetText(), String("Illegal state: Shader init failed"));
  EXPECT_EQ(failed.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
  EXPECT_EQ(g_probe.frees, 0);
  EXPECT_EQ(host::GetLiveVolumeDataCount(), _volumes);
  EXPECT_EQ(host::GetLiveNodeCount(), nodes);
}

// ---------------------------------------------------------------------------------------------------
// A terrain from an image

class ShaderTerrainTest : public ShaderOperatorTest
{
protected:
  void SetUp() override
  {
    ShaderOperatorTest::SetUp();
    // The real terrain object in place of the stand-in the operator fixture registers.
    BaseDocument::Free(doc);
    host::ResetPlugins();
    host::ResetIcons();
    ReleaseRegistryEntries();
    ASSERT_TRUE(RegisterTerrainObject(10));
    ASSERT_TRUE(RegisterShaderOperator(22));
    doc = BaseDocument::Alloc();
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_TRUE(doc->InsertObject(terrain, nullptr));
    _tmp = std::filesystem::temp_directory_path() / "ogx_shaderoperator_terrain";
    std::filesystem::create_directories(_tmp);
  }
  void TearDown() override
  {
    std::filesystem::remove_all(_tmp);
    ShaderOperatorTest::TearDown();
  }
  std::filesystem::path _tmp;
};

TEST_F(ShaderTerrainTest, AFloatTiffDrivesTheTerrainThroughTheBitmapShader)
{
  // 9 x 5 heights, one pixel per cell.
  constexpr Int32 W = 9, H = 5;
  std::vector<Float32> values;
  for (Int32 y = 0; y < H; ++y)
    for (Int32 x = 0; x < W; ++x)
      values.push_back(static_cast<Float32>(0.1 * x + 0.37 * y * y - 0.05 * x * y));
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_EQ(bmp->Init(W, H, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  for (Int32 y = 0; y < H; ++y)
    ASSERT_TRUE(bmp->SetPixelCnt(0, y, W, reinterpret_cast<const UChar*>(values.data() + y * W), 4, COLORMODE::GRAYf));
  const auto file = _tmp / "heights.tif";
  ASSERT_EQ(bmp->Save(Url(file), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
  BaseBitmap::Free(bmp);

  BaseContainer& tc = terrain->GetDataInstanceRef();
  tc.SetInt32(TERRAINOBJECT_RESOLUTION_X, W - 1);
  tc.SetInt32(TERRAINOBJECT_RESOLUTION_Z, H - 1);
  tc.SetFloat(TERRAINOBJECT_SIZE_X, 80.0);
  tc.SetFloat(TERRAINOBJECT_SIZE_Z, 40.0);
  // The image's folder is the document's: the shader names the file relative to it.
  doc->GetDataInstanceRef().SetString(DOCUMENT_PATH, String(_tmp.string()));
  BaseShader* bitmap = nullptr;
  BaseObject* op = AddShaderOperator(Xbitmap, &bitmap);
  bitmap->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, "heights.tif");
  op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::NORMAL));
  op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 10.0);

  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  ASSERT_NE(host::BuildObjectCache(terrain, &hh), nullptr);
  const Grid2D<Float>& grid = terrain->GetNodeData<TerrainObject>()->GetTerrain();
  ASSERT_EQ(grid.width, W);
  ASSERT_EQ(grid.height, H);
  for (Int32 i = 0; i < W * H; ++i)
    EXPECT_NEAR(grid.cells[i], 10.0 * values[static_cast<std::size_t>(i)], 1e-12) << i;
}
} // namespace
