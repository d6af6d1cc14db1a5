// The terrain operator shader: defaults, the maps InitRender builds (heights, slope, masking map,
// custom outputs, each with and without the mask) against values worked out in the test, the ramp and
// black fallbacks, clamped texture points, the enabling table, the description's cycle, the observer
// registration on link changes, document information and copies, a linked object that is no operator,
// the drag check, and the gradient's ownership through copies and renders.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/fields/fieldlist.h"
#include "host/fields/fieldobjects.h"
#include "host/scene/description.h"
#include "host/scene/scenefile.h"
#include "host/shading/shading.h"
#include "object/operator_shader.h"
#include "object/terrainobject.h"
#include "shader/terrainoperatorshader.h"
#include "support/shading_fixture.h"
#include "support/test_support.h"

using namespace ogx_test;

namespace
{
constexpr Int32 DATA = static_cast<Int32>(DIRTYFLAGS::DATA);

Vector Smooth(Float t)
{
  const Float s = t * t * (3.0 - 2.0 * t);
  return Vector(s, s, s);
}

class ChannelShaderTest : public ShadingSceneTest
{
protected:
  void SetUp() override
  {
    ShadingSceneTest::SetUp();
    ASSERT_TRUE(RegisterTerrainOperatorShader());
    material = BaseMaterial::Alloc();
    ASSERT_TRUE(doc->InsertMaterial(material));
    shader = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
    ASSERT_NE(shader, nullptr);
    ASSERT_TRUE(material->InsertShader(shader));
  }

  static TerrainOperatorShader* Data(BaseShader* sh) { return sh->GetNodeData<TerrainOperatorShader>(); }
  BaseContainer& Params() { return shader->GetDataInstanceRef(); }

  // A generator whose output grid holds the given w x h values over 10 x 10.
  BaseObject* GeneratorWith(Int w, Int h, const std::vector<Float>& values)
  {
    BaseObject* op = AddOperator(ID_TEST_GENERATOR);
    Grid2D<Float>& out = OperatorData(op)->GetOutputGrid();
    EXPECT_TRUE(out.Init(w, h, 10.0, 10.0).IsOk());
    for (Int i = 0; i < w * h; ++i)
      out.cells[i] = values[static_cast<std::size_t>(i)];
    return op;
  }

  Bool Link(BaseList2D* target, BaseShader* sh = nullptr)
  {
    BaseLink link;
    link.SetLink(target);
    return (sh ? sh : shader)->SetParameter(DescID(TERRAINOPERATORSHADER_OPERATOR), GeData(link));
  }

  INITRENDERRESULT Render(BaseShader* sh = nullptr) { return (sh ? sh : shader)->InitRender(InitRenderStruct(doc)); }

  Vector At(Float u, Float v, BaseShader* sh = nullptr)
  {
    ChannelData cd;
    cd.p = Vector(u, v, 0.0);
    return (sh ? sh : shader)->Sample(&cd);
  }

  // A linear field whose falloff rises from 0 at the terrain's far edge (row h - 1) to 1 at row 0, in a
  // masking layer of op.
  void AddRowMask(BaseObject* op)
  {
    BaseObject* field = BaseObject::Alloc(Ofieldlinear);
    ASSERT_NE(field, nullptr);
    field->GetDataInstanceRef().SetFloat(FIELDOBJECT_SIZE, 10.0);
    ASSERT_TRUE(doc->InsertObject(field, nullptr));
    auto* list = static_cast<FieldList*>(
      op->GetDataInstanceRef().GetCustomData(TERRAINOPERATOR_MASKING_FIELDS_LIST, CUSTOMDATATYPE_FIELDLIST));
    ASSERT_NE(list, nullptr);
    std::unique_ptr<FieldLayer> layer = FieldLayer::Alloc(FLobject);
    layer->SetLinkedObject(field);
    ASSERT_TRUE(list->AppendLayer(std::move(layer)).IsOk());
  }

  static std::vector<Float> Normalised(std::vector<Float> v)
  {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const Float min = *lo, range = *hi - *lo;
    for (Float& x : v)
      x = range != 0.0 ? (x - min) * (1.0 / range) : 0.0;
    return v;
  }

  void ExpectGrid(const std::vector<Float>& expected, Float tol = 1e-12)
  {
    const Grid2D<Float>& g = Data(shader)->GetSampleGrid();
    ASSERT_EQ(g.cellCount, static_cast<Int>(expected.size()));
    for (Int i = 0; i < g.cellCount; ++i)
      EXPECT_NEAR(g.cells[i], expected[static_cast<std::size_t>(i)], tol) << i;
  }

  BaseMaterial* material = nullptr;
  BaseShader* shader = nullptr;
};

// 3 x 3 heights, rows top first.
const std::vector<Float> HEIGHTS = {1.0, 2.0, 4.0, 0.0, 3.0, 5.0, -1.0, 2.0, 9.0};

TEST_F(ChannelShaderTest, DefaultsAndTheDefaultGradient)
{
  const BaseContainer& bc = Params();
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATORSHADER_OUTPUT, -1), 0);
  EXPECT_FALSE(bc.GetBool(TERRAINOPERATORSHADER_APPLYMASK, true));
  EXPECT_FALSE(bc.GetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, true));
  EXPECT_EQ(bc.GetVector(TERRAINOPERATORSHADER_SLOPEDIRECTION), Vector(0, 1, 0));
  EXPECT_EQ(bc.GetInt32(TERRAINOPERATORSHADER_INTERPOLATION), 2);
  EXPECT_TRUE(bc.GetBool(TERRAINOPERATORSHADER_USEGRADIENT));
  EXPECT_FALSE(bc.Contains(TERRAINOPERATORSHADER_OPERATOR));
  const auto* g = static_cast<const Gradient*>(bc.GetCustomData(TERRAINOPERATORSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->GetKnotCount(), 2);
  for (Int32 i = 0; i < 2; ++i)
  {
    const GradientKnot k = g->GetKnot(i);
    EXPECT_EQ(k.pos, Float(i));
    EXPECT_EQ(k.col, Vector(Float(i)));
    EXPECT_EQ(k.brightness, 1.0);
    EXPECT_EQ(k.bias, 0.5);
    EXPECT_EQ(k.index, 0);
    EXPECT_EQ(k.interpolation, GRADIENT_INTERPOLATION_TYPE::SMOOTHKNOT);
  }
  // Without memory for the temporary gradient the node is not made, and nothing is left behind.
  const Int nodes = host::GetLiveNodeCount();
  for (Int n = 1; n <= 3; ++n)
  {
    host::ScopedAllocationFailure fail(n);
    BaseShader* sh = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
    if (sh)
      BaseShader::Free(sh);
  }
  EXPECT_EQ(host::GetLiveNodeCount(), nodes);
}

TEST_F(ChannelShaderTest, UnlinkedShowsTheRampAndInsideAShaderOperatorBlack)
{
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_EQ(Data(shader)->GetSampleGrid().cellCount, 0);
  EXPECT_EQ(At(0.3, 0.0), Vector(1.0));   // white at v = 0
  EXPECT_EQ(At(0.3, 1.0), Vector(0.0));   // black at v = 1
  EXPECT_EQ(At(0.9, 0.25), Smooth(0.75));
  Params().SetBool(TERRAINOPERATORSHADER_USEGRADIENT, false);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_EQ(At(0.5, 0.25), Vector(0.75));
  EXPECT_EQ(At(0.5, 1.5), Vector(-0.5));   // v is not clamped on the ramp
  shader->FreeRender();

  // The same shader held by a shader operator.
  BaseObject* op = AddOperator(ID_OGX_SHADEROPERATOR);
  BaseShader* inner = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(op->InsertShader(inner));
  ASSERT_EQ(Render(inner), INITRENDERRESULT::OK);
  EXPECT_TRUE(Data(inner)->IsInsideShaderOperator());
  EXPECT_EQ(At(0.5, 0.25, inner), Vector());
  inner->FreeRender();
}

TEST_F(ChannelShaderTest, HeightsAreNormalisedAndSampledWithClampedTexturePoints)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  ASSERT_TRUE(Link(op));
  Params().SetInt32(TERRAINOPERATORSHADER_INTERPOLATION, static_cast<Int32>(SAMPLEINTERPOLATION::NEAREST));
  Params().SetBool(TERRAINOPERATORSHADER_USEGRADIENT, false);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(Normalised(HEIGHTS));
  EXPECT_EQ(Data(shader)->GetRangeMin(), -1.0);
  EXPECT_EQ(Data(shader)->GetRangeMax(), 9.0);
  EXPECT_EQ(Data(shader)->GetInverseRange(), 0.1);
  struct Case
  {
    Float u, v;
    Int cell;
  };
  // Row 0 at v = 0; points outside 0..1 read the border.
  const Case cases[] = {{0.0, 0.0, 0}, {1.0, 0.0, 2}, {0.5, 0.5, 4}, {0.0, 1.0, 6}, {1.0, 1.0, 8},
                        {-3.0, -1.0, 0}, {7.0, 0.5, 5}, {0.5, 12.0, 7}, {std::nan(""), 0.0, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(At(c.u, c.v), Vector(Normalised(HEIGHTS)[static_cast<std::size_t>(c.cell)])) << c.u << ", " << c.v;

  // Through the gradient, bilinear between cells.
  Params().SetBool(TERRAINOPERATORSHADER_USEGRADIENT, true);
  Params().SetInt32(TERRAINOPERATORSHADER_INTERPOLATION, static_cast<Int32>(SAMPLEINTERPOLATION::BILINEAR));
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  const Float mid = (Normalised(HEIGHTS)[0] + Normalised(HEIGHTS)[1]) * 0.5;
  const Vector got = At(0.25, 0.0);
  EXPECT_NEAR(got.x, Smooth(mid).x, 1e-12);

  // A flat map normalises to 0 everywhere.
  for (Float& c : OperatorData(op)->GetOutputGrid().cells)
    c = 4.25;
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_EQ(Data(shader)->GetInverseRange(), 0.0);
  ExpectGrid(std::vector<Float>(9, 0.0));
  shader->FreeRender();
}

TEST_F(ChannelShaderTest, SlopeMapAgainstTheUpOrACustomDirection)
{
  // A bowl: h = x^2 + 2 y^2 over 5 x 4 cells.
  const Int w = 5, h = 4;
  std::vector<Float> bowl;
  for (Int y = 0; y < h; ++y)
    for (Int x = 0; x < w; ++x)
      bowl.push_back(Float(x * x) + 2.0 * Float(y * y));
  BaseObject* op = GeneratorWith(w, h, bowl);
  ASSERT_TRUE(Link(op));
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_SLOPE);

  // The slope written out: the normal from the clamped neighbours' differences, its angle to the
  // direction over a right angle.
  auto reference = [&](const Vector& direction) {
    std::vector<Float> slopes;
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Float dx = bowl[y * w + std::max<Int>(x - 1, 0)] - bowl[y * w + std::min<Int>(x + 1, w - 1)];
        const Float dz = bowl[std::max<Int>(y - 1, 0) * w + x] - bowl[std::min<Int>(y + 1, h - 1) * w + x];
        const Vector n = Vector(dx, 2.0, dz).GetNormalized();
        slopes.push_back(std::acos(std::clamp(Dot(n, direction), -1.0, 1.0)) / (std::numbers::pi / 2.0));
      }
    return Normalised(slopes);
  };
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(reference(Vector(0, 1, 0)), 1e-9);
  Params().SetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, true);
  Params().SetVector(TERRAINOPERATORSHADER_SLOPEDIRECTION, Vector(3.0, 0.0, 4.0));
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(reference(Vector(0.6, 0.0, 0.8)), 1e-9);

  // An operator without output: nothing to show, the ramp.
  OperatorData(op)->GetOutputGrid().Reset();
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_EQ(Data(shader)->GetSampleGrid().cellCount, 0);
  EXPECT_EQ(At(0.5, 0.25), Smooth(0.75));
  shader->FreeRender();
}

TEST_F(ChannelShaderTest, MaskingMapAndApplyMaskWithAndWithoutLayers)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  ASSERT_TRUE(Link(op));
  // Output 2 without an enabled layer: black, and not normalised.
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_MASK);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_TRUE(Data(shader)->HasNoMaskMap());
  EXPECT_EQ(At(0.5, 0.5), Vector());
  // Apply mask without layers: the unmasked map for heights and slope alike.
  Params().SetBool(TERRAINOPERATORSHADER_APPLYMASK, true);
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_FALSE(Data(shader)->HasNoMaskMap());
  ExpectGrid(Normalised(HEIGHTS));

  // A mask that falls from 1 at row 0 to 0 at the last row.
  AddRowMask(op);
  const std::vector<Float> rowMask = {1.0, 1.0, 1.0, 0.5, 0.5, 0.5, 0.0, 0.0, 0.0};
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_MASK);
  Params().SetBool(TERRAINOPERATORSHADER_APPLYMASK, false);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(rowMask);
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS);
  Params().SetBool(TERRAINOPERATORSHADER_APPLYMASK, true);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  std::vector<Float> masked;
  for (std::size_t i = 0; i < HEIGHTS.size(); ++i)
    masked.push_back(HEIGHTS[i] * rowMask[i]);
  ExpectGrid(Normalised(masked));
  shader->FreeRender();
}

TEST_F(ChannelShaderTest, CustomOutputsAndTheirErrors)
{
  BaseObject* filter = AddOperator(ID_TEST_FILTER);
  OGX::BaseTerrainOperatorData* data = OperatorData(filter);
  ASSERT_TRUE(data->GetOutputGrid().Init(3, 3, 10.0, 10.0).IsOk());
  Grid2D<Float>* difference = data->GetCustomOutputGrid(ID_OGX_CUSTOMOUTPUT_DIFFERENCE).GetValue();
  ASSERT_TRUE(difference->Init(3, 3, 10.0, 10.0).IsOk());
  for (Int i = 0; i < 9; ++i)
    difference->cells[i] = HEIGHTS[static_cast<std::size_t>(i)];
  ASSERT_TRUE(Link(filter));
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(Normalised(HEIGHTS));
  // With apply mask but no layer: the unmasked map.
  Params().SetBool(TERRAINOPERATORSHADER_APPLYMASK, true);
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  ExpectGrid(Normalised(HEIGHTS));

  // A custom map of another size, and an id the operator does not know: the error, printed.
  ASSERT_TRUE(difference->Init(2, 3, 10.0, 10.0).IsOk());
  host::ResetLogs();
  EXPECT_EQ(Render(), INITRENDERRESULT::UNKNOWNERROR);
  EXPECT_EQ(host::Console().GetLast(), String("Custom output map resolution differs from terrain resolution!"));
  EXPECT_EQ(Data(shader)->GetSampleGrid().cellCount, 0);
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, 777);
  EXPECT_EQ(Render(), INITRENDERRESULT::UNKNOWNERROR);
  shader->FreeRender();
}

TEST_F(ChannelShaderTest, InitRenderRefusalsAndRenderPairs)
{
  EXPECT_EQ(shader->InitRender(InitRenderStruct()), INITRENDERRESULT::UNKNOWNERROR);   // no document
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  const Gradient* g = Data(shader)->GetGradient();
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->IsPrepared());
  EXPECT_FALSE(Data(shader)->OwnsGradient());
  shader->FreeRender();
  EXPECT_FALSE(g->IsPrepared());
  EXPECT_EQ(Data(shader)->GetGradient(), nullptr);
  EXPECT_EQ(At(0.5, 0.25), Vector(0.75));   // after FreeRender the ramp in grey, nothing dangles

  {
    host::ScopedAllocationFailure fail(1);
    host::ResetLogs();
    EXPECT_EQ(Render(), INITRENDERRESULT::UNKNOWNERROR);
    EXPECT_EQ(host::Console().GetCount(), 1);
  }
  Params().RemoveData(TERRAINOPERATORSHADER_GRADIENT);
  EXPECT_EQ(Render(), INITRENDERRESULT::UNKNOWNERROR);
  EXPECT_EQ(Data(shader)->InitRender(nullptr, InitRenderStruct(doc)), INITRENDERRESULT::OUTOFMEMORY);
}

TEST_F(ChannelShaderTest, EnablingTable)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  struct Case
  {
    Int32 id;
    Bool unlinked;
    Bool linked;
  };
  // Defaults: output 0, gradient on, custom slope direction off.
  const Case cases[] = {
    {TERRAINOPERATORSHADER_OUTPUT, false, true},        {TERRAINOPERATORSHADER_INTERPOLATION, false, true},
    {TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, false, true}, {TERRAINOPERATORSHADER_GRADIENT, true, true},
    {TERRAINOPERATORSHADER_SLOPEDIRECTION, false, false}, {TERRAINOPERATORSHADER_APPLYMASK, true, true},
    {TERRAINOPERATORSHADER_USEGRADIENT, true, true},     {TERRAINOPERATORSHADER_OPERATOR, true, true},
  };
  for (Bool linked : {false, true})
  {
    if (linked)
    {
      ASSERT_TRUE(Link(op));
    }
    for (const Case& c : cases)
      EXPECT_EQ(shader->GetDEnabling(DescID(c.id), GeData()), linked ? c.linked : c.unlinked) << c.id << " " << linked;
  }
  Params().SetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, true);
  EXPECT_TRUE(shader->GetDEnabling(DescID(TERRAINOPERATORSHADER_SLOPEDIRECTION), GeData()));
  Params().SetBool(TERRAINOPERATORSHADER_USEGRADIENT, false);
  EXPECT_FALSE(shader->GetDEnabling(DescID(TERRAINOPERATORSHADER_GRADIENT), GeData()));
  // Apply mask is off only while linked with output 2.
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_MASK);
  EXPECT_FALSE(shader->GetDEnabling(DescID(TERRAINOPERATORSHADER_APPLYMASK), GeData()));
  ASSERT_TRUE(Link(nullptr));
  EXPECT_TRUE(shader->GetDEnabling(DescID(TERRAINOPERATORSHADER_APPLYMASK), GeData()));
}

TEST_F(ChannelShaderTest, DescriptionShowsTheSlopeDirectionOnlyForSlopesAndListsCustomOutputs)
{
  Description* d = Description::Alloc();
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  ASSERT_TRUE(shader->GetDescription(d, flags));
  EXPECT_TRUE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
  EXPECT_TRUE(d->GetParameterContainer(TERRAINOPERATORSHADER_SLOPEDIRECTION)->GetBool(DESC_HIDE));
  EXPECT_TRUE(d->GetParameterContainer(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION)->GetBool(DESC_HIDE));
  EXPECT_EQ(d->GetParameterContainer(TERRAINOPERATORSHADER_OUTPUT)->GetContainer(DESC_CYCLE).GetCount(), 3);
  // Only operators are accepted by the link.
  const BaseContainer accept = d->GetParameterContainer(TERRAINOPERATORSHADER_OPERATOR)->GetContainer(DESC_ACCEPT);
  EXPECT_EQ(accept.GetCount(), 1);
  EXPECT_TRUE(accept.Contains(ID_OGX_TERRAINOPERATOR_BASE));

  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_SLOPE);
  ASSERT_TRUE(Link(AddOperator(ID_TEST_FILTER)));
  ASSERT_TRUE(shader->GetDescription(d, flags));
  EXPECT_FALSE(d->GetParameterContainer(TERRAINOPERATORSHADER_SLOPEDIRECTION)->GetBool(DESC_HIDE));
  const BaseContainer cycle = d->GetParameterContainer(TERRAINOPERATORSHADER_OUTPUT)->GetContainer(DESC_CYCLE);
  EXPECT_EQ(cycle.GetCount(), 5);
  EXPECT_EQ(cycle.GetString(-1, "x"), String());
  EXPECT_EQ(cycle.GetString(ID_OGX_CUSTOMOUTPUT_DIFFERENCE), GeLoadString(10073));
  Description::Free(d);
}

TEST_F(ChannelShaderTest, LinkChangesMoveTheOwnerBetweenObserverListsAndResetAMissingCustomOutput)
{
  BaseObject* a = AddOperator(ID_TEST_FILTER);
  BaseObject* b = AddOperator(ID_TEST_GENERATOR);
  BaseObject* c = AddOperator(ID_TEST_FILTER);
  Observable& la = OperatorData(a)->GetObservable();
  Observable& lb = OperatorData(b)->GetObservable();
  Observable& lc = OperatorData(c)->GetObservable();

  ASSERT_TRUE(Link(a));
  EXPECT_EQ(la.Find(material, doc), 0);
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  ASSERT_TRUE(Link(c));   // another filter offers the difference map: kept
  EXPECT_EQ(la.GetCount(), 0);
  EXPECT_EQ(lc.Find(material, doc), 0);
  EXPECT_EQ(Params().GetInt32(TERRAINOPERATORSHADER_OUTPUT), ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
  ASSERT_TRUE(Link(b));   // a generator does not: back to the heights
  EXPECT_EQ(lc.GetCount(), 0);
  EXPECT_EQ(lb.Find(material, doc), 0);
  EXPECT_EQ(Params().GetInt32(TERRAINOPERATORSHADER_OUTPUT), 0);
  EXPECT_EQ(shader->GetDataInstanceRef().GetLink(TERRAINOPERATORSHADER_OPERATOR, doc), b);

  // The operator's notification reaches the shader and its material.
  const Int dirty = shader->GetDirty(DIRTYFLAGS::DATA);
  lb.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, doc, true);
  EXPECT_EQ(shader->GetDirty(DIRTYFLAGS::DATA), dirty + 1);
  EXPECT_EQ(host::GetMaterialUpdates(material).size(), 1u);

  // A list that refuses the owner refuses the link: it stays on b.
  {
    host::ScopedAllocationFailure fail(1);
    host::ResetLogs();
    EXPECT_FALSE(Link(a));
  }
  EXPECT_EQ(host::Console().GetLast(), String("Failed to add observer to the list!"));
  EXPECT_EQ(shader->GetDataInstanceRef().GetLink(TERRAINOPERATORSHADER_OPERATOR, doc), b);
  EXPECT_EQ(lb.Find(material, doc), 0);   // and still hears of b's changes
  EXPECT_EQ(la.GetCount(), 0);
  ASSERT_TRUE(Link(nullptr));
  EXPECT_EQ(lb.GetCount(), 0);
  EXPECT_EQ(la.GetCount(), 0);
}

TEST_F(ChannelShaderTest, AnOwnerKeepsHearingOfAnOperatorWhileAnotherOfItsShadersReadsIt)
{
  BaseObject* a = AddOperator(ID_TEST_FILTER);
  BaseObject* b = AddOperator(ID_TEST_GENERATOR);
  Observable& la = OperatorData(a)->GetObservable();
  Observable& lb = OperatorData(b)->GetObservable();
  // A second channel shader in the same material, nested under a plain shader, also reading a.
  BaseShader* holder = BaseShader::Alloc(Xcolor);
  BaseShader* second = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  ASSERT_TRUE(holder && second);
  ASSERT_TRUE(material->InsertShader(holder));
  ASSERT_TRUE(holder->InsertShader(second));
  ASSERT_TRUE(Link(a));
  ASSERT_TRUE(Link(a, second));
  EXPECT_EQ(la.Find(material, doc), 0);

  // One of them moves on to b: the other still reads a, so a's changes must still reach the material.
  ASSERT_TRUE(Link(b));
  EXPECT_EQ(lb.Find(material, doc), 0);
  EXPECT_EQ(la.Find(material, doc), 0);
  const Int dirty = second->GetDirty(DIRTYFLAGS::DATA);
  la.Notify(ID_OGX_TERRAINOPERATORSHADER, DATA, doc, true);
  EXPECT_EQ(second->GetDirty(DIRTYFLAGS::DATA), dirty + 1);

  // The last reader of a lets go: the material leaves a's list.
  ASSERT_TRUE(Link(nullptr, second));
  EXPECT_EQ(la.GetCount(), 0);
  EXPECT_EQ(lb.Find(material, doc), 0);
}

TEST_F(ChannelShaderTest, AnObjectThatIsNoOperatorReadsAsNoLink)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  BaseObject* cube = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(cube, nullptr));
  ASSERT_TRUE(Link(cube));
  EXPECT_EQ(shader->GetDataInstanceRef().GetLink(TERRAINOPERATORSHADER_OPERATOR, doc), cube);   // stored as given
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  EXPECT_EQ(At(0.5, 0.25), Smooth(0.75));
  EXPECT_FALSE(shader->GetDEnabling(DescID(TERRAINOPERATORSHADER_OUTPUT), GeData()));
  DocumentInfoData info{MSG_DOCUMENTINFO_TYPE_LOAD, doc};
  EXPECT_TRUE(shader->Message(MSG_DOCUMENTINFO, &info));
  Description* d = Description::Alloc();
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  EXPECT_TRUE(shader->GetDescription(d, flags));
  Description::Free(d);
  // Relinking from the cube to an operator touches only the operator's list.
  ASSERT_TRUE(Link(op));
  EXPECT_EQ(OperatorData(op)->GetObservable().GetCount(), 1);
  ASSERT_TRUE(Link(cube));
  EXPECT_EQ(OperatorData(op)->GetObservable().GetCount(), 0);
  shader->FreeRender();
}

TEST_F(ChannelShaderTest, DocumentInformationEntersTheOwner)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  ASSERT_TRUE(Link(op));
  Observable& list = OperatorData(op)->GetObservable();
  list.Remove(material, doc);
  for (Int32 type : {MSG_DOCUMENTINFO_TYPE_LOAD, MSG_DOCUMENTINFO_TYPE_MERGE, MSG_DOCUMENTINFO_TYPE_UNDO})
  {
    DocumentInfoData info{type, doc};
    EXPECT_TRUE(shader->Message(MSG_DOCUMENTINFO, &info));
    EXPECT_EQ(list.Find(material, doc), 0) << type;
    list.Remove(material, doc);
  }
  DocumentInfoData other{4242, doc};
  EXPECT_TRUE(shader->Message(MSG_DOCUMENTINFO, &other));
  EXPECT_EQ(list.GetCount(), 0);
  host::ResetLogs();
  EXPECT_FALSE(shader->Message(MSG_DOCUMENTINFO, nullptr));
  EXPECT_EQ(host::Console().GetLast(), String("Received MSG_DOCUMENTINFO, but data pointer is NULL!"));
}

TEST_F(ChannelShaderTest, DragCheckRefusesAShaderOperatorThatSamplesThisShader)
{
  BaseObject* sampling = AddOperator(ID_OGX_SHADEROPERATOR);
  sampling->GetDataInstanceRef().SetLink(SHADEROPERATOR_SHADER, shader);
  BaseObject* otherOp = AddOperator(ID_OGX_SHADEROPERATOR);
  BaseObject* generator = AddOperator(ID_TEST_GENERATOR);

  DescriptionCheckDragAndDrop check{DescID(TERRAINOPERATORSHADER_OPERATOR), sampling, true};
  EXPECT_TRUE(shader->Message(MSG_DESCRIPTION_CHECKDRAGANDDROP, &check));
  EXPECT_FALSE(check.result);
  check = {DescID(TERRAINOPERATORSHADER_OPERATOR), otherOp, false};
  EXPECT_TRUE(shader->Message(MSG_DESCRIPTION_CHECKDRAGANDDROP, &check));
  EXPECT_TRUE(check.result);
  check = {DescID(TERRAINOPERATORSHADER_OPERATOR), generator, false};   // not a shader operator: left as set
  EXPECT_TRUE(shader->Message(MSG_DESCRIPTION_CHECKDRAGANDDROP, &check));
  EXPECT_FALSE(check.result);
  host::ResetLogs();
  EXPECT_FALSE(shader->Message(MSG_DESCRIPTION_CHECKDRAGANDDROP, nullptr));
  EXPECT_EQ(host::Console().GetLast(), String("Received MSG_DESCRIPTION_CHECKDRAGANDDROP, but data pointer is NULL!"));
  // A shader held by nothing refuses every drop.
  BaseShader* loose = BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER);
  check = {DescID(TERRAINOPERATORSHADER_OPERATOR), otherOp, true};
  EXPECT_FALSE(loose->Message(MSG_DESCRIPTION_CHECKDRAGANDDROP, &check));
  BaseShader::Free(loose);
}

TEST_F(ChannelShaderTest, CopiesSampleLikeTheOriginalOwnTheirGradientAndEnterTheirOwner)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  ASSERT_TRUE(Link(op));
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  const Int gradients = host::GetLiveGradientCount();

  // A clone made outside any document copies the render state but enters no list.
  BaseMaterial* copy = material->GetClone();
  ASSERT_NE(copy, nullptr);
  BaseShader* copied = copy->GetFirstShader();
  EXPECT_EQ(OperatorData(op)->GetObservable().GetCount(), 1);
  EXPECT_TRUE(Data(copied)->OwnsGradient());
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 2);   // the copy's container gradient and its own
  for (Float u : {0.0, 0.3, 1.0})
    EXPECT_EQ(At(u, 0.6, copied), At(u, 0.6));
  // Inserted and copied into the document, the copy's owner enters the list.
  ASSERT_TRUE(doc->InsertMaterial(copy));
  TerrainOperatorShader* target = Data(copied);
  ASSERT_TRUE(Data(shader)->CopyTo(target, shader, copied, COPYFLAGS::NONE, nullptr));
  EXPECT_EQ(OperatorData(op)->GetObservable().Find(copy, doc), 1);
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 2);   // the owned gradient is reused
  // FreeRender releases the owned gradient; so does the next InitRender.
  copied->FreeRender();
  EXPECT_FALSE(Data(copied)->OwnsGradient());
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 1);
  ASSERT_TRUE(Data(shader)->CopyTo(target, shader, copied, COPYFLAGS::NONE, nullptr));
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 2);
  ASSERT_EQ(Render(copied), INITRENDERRESULT::OK);
  EXPECT_FALSE(Data(copied)->OwnsGradient());
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 1);

  // Failures print and refuse the copy; nothing is left over.
  {
    host::ResetLogs();
    host::ScopedAllocationFailure fail(1);
    // The grid copy reuses the target's cells, so the first allocation is the gradient's.
    EXPECT_FALSE(Data(shader)->CopyTo(target, shader, copied, COPYFLAGS::NONE, nullptr));
  }
  EXPECT_EQ(host::Console().GetLast(), String("Couldn't allocate target Gradient!"));
  {
    host::ResetLogs();
    host::ScopedAllocationFailure fail(2);
    EXPECT_FALSE(Data(shader)->CopyTo(target, shader, copied, COPYFLAGS::NONE, nullptr));
  }
  EXPECT_EQ(host::Console().GetLast(), String("Couldn't copy Gradient!"));
  // An original without a gradient releases the copy's.
  shader->FreeRender();
  ASSERT_TRUE(Data(shader)->CopyTo(target, shader, copied, COPYFLAGS::NONE, nullptr));
  EXPECT_EQ(Data(copied)->GetGradient(), nullptr);
  // A clone of a rendered shader freed right away frees its own gradient.
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  BaseMaterial* transient = material->GetClone();
  BaseMaterial::Free(transient);
  shader->FreeRender();
  copied->FreeRender();
  EXPECT_EQ(host::GetLiveGradientCount(), gradients + 1);   // the copy's container gradient
}

TEST_F(ChannelShaderTest, SamplesAreTheSameOnManyThreads)
{
  const Int w = 40, h = 30;
  std::vector<Float> values;
  for (Int i = 0; i < w * h; ++i)
    values.push_back(std::sin(0.05 * Float(i)) * 10.0);
  BaseObject* op = GeneratorWith(w, h, values);
  ASSERT_TRUE(Link(op));
  ASSERT_EQ(Render(), INITRENDERRESULT::OK);
  constexpr Int N = 5000;
  auto point = [](Int i) { return Vector(Float(i % 71) / 70.0, Float(i % 53) / 52.0, 0.0); };
  std::vector<Vector> serial(N), parallel(N);
  for (Int i = 0; i < N; ++i)
    serial[i] = At(point(i).x, point(i).y);
  ASSERT_TRUE(ParallelFor(0, N, [&](Int i) { parallel[i] = At(point(i).x, point(i).y); }).IsOk());
  EXPECT_EQ(serial, parallel);
  shader->FreeRender();
}
} // namespace

namespace
{
TEST_F(ChannelShaderTest, ASavedDocumentLinksAgainAndTheLoadedShaderObservesItsOperator)
{
  BaseObject* op = GeneratorWith(3, 3, HEIGHTS);
  op->SetName("Source");
  ASSERT_TRUE(Link(op));
  Params().SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_SLOPE);
  auto* g = static_cast<Gradient*>(Params().GetCustomData(TERRAINOPERATORSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
  GradientKnot red;
  red.pos = 0.5;
  red.col = Vector(1, 0, 0);
  ASSERT_TRUE(g->InsertKnot(red));
  material->GetDataInstanceRef().SetLink(MATERIAL_COLOR_SHADER, shader);
  terrain->MakeTag(Ttexture)->GetDataInstanceRef().SetLink(TEXTURETAG_MATERIAL, material);

  const Result<String> text = host::SaveDocumentToText(doc, "doc");
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetText().GetStd();
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(text.GetValue(), "doc");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText().GetStd();
  BaseDocument* back = loaded.GetValue();
  BaseObject* backOp = back->SearchObject("Source");
  ASSERT_NE(backOp, nullptr);
  BaseMaterial* backMat = host::GetTextureTagMaterial(host::FindTextureTag(back->GetFirstObject()));
  ASSERT_NE(backMat, nullptr);
  BaseShader* backShader = backMat->GetFirstShader();
  ASSERT_NE(backShader, nullptr);
  EXPECT_EQ(backMat->GetDataInstanceRef().GetLink(MATERIAL_COLOR_SHADER, back), backShader);
  EXPECT_EQ(ResolveTerrainOperator(backShader->GetDataInstanceRef(), TERRAINOPERATORSHADER_OPERATOR, back), backOp);
  EXPECT_EQ(backShader->GetDataInstanceRef().GetData(TERRAINOPERATORSHADER_GRADIENT), GeData(*g));
  EXPECT_EQ(backShader->GetDataInstanceRef().GetInt32(TERRAINOPERATORSHADER_OUTPUT), TERRAINOPERATORSHADER_OUTPUT_SLOPE);
  // The load's document information entered the loaded material into the loaded operator's list.
  EXPECT_EQ(OperatorData(backOp)->GetObservable().Find(backMat, back), 0);
  BaseDocument::Free(back);
}
} // namespace

namespace
{
TEST(FillSlopeGrid, GivesTheValuesOfNormalsThenSlopesBitForBit)
{
  std::mt19937 random(2024);
  std::uniform_real_distribution<Float> height(-50.0, 80.0);
  struct Case
  {
    Int w, h;
    Vector direction;
  };
  for (const Case& c : {Case{37, 23, Vector(0, 1, 0)}, Case{1, 9, Vector(0, 1, 0)}, Case{12, 1, Vector(0.3, 0.8, -0.2)},
                        Case{64, 64, Vector(0, 0, 0)}})
  {
    Grid2D<Float> heights;
    ASSERT_TRUE(heights.Init(c.w, c.h, 10.0, 7.0).IsOk());
    for (Float& v : heights.cells)
      v = height(random);
    Grid2D<Vector> normals;
    ASSERT_TRUE(heights.ComputeNormals(normals).IsOk());
    Grid2D<Float> reference;
    ASSERT_TRUE(reference.Init(normals.width, normals.height, normals.sizeX, normals.sizeY).IsOk());
    ASSERT_TRUE(ComputeSlopeGrid(normals, reference, c.direction).IsOk());
    Grid2D<Float> fused;
    ASSERT_TRUE(FillSlopeGrid(heights, fused, c.direction).IsOk());
    ASSERT_EQ(fused.width, reference.width);
    ASSERT_EQ(fused.height, reference.height);
    EXPECT_EQ(fused.sizeX, reference.sizeX);
    EXPECT_EQ(fused.sizeY, reference.sizeY);
    for (Int i = 0; i < reference.cellCount; ++i)
      ASSERT_TRUE(Same(fused.cells[i], reference.cells[i])) << c.w << " x " << c.h << ", cell " << i;
  }
}
} // namespace
