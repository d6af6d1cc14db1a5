#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/random.h"
#include "host/fields/fieldlist.h"
#include "host/fields/fieldobjects.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/blend.h"
#include "orogenix/masking.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_simd.h"
#include "support/test_support.h"

namespace
{
constexpr Int32 ID_TEST_MASKOPERATOR = 1099501;   // the tiny operator these tests blend
constexpr Float PI = 3.141592653589793;
constexpr Float HALF_PI = 1.5707963267948966;

// An operator whose output grid the test fills by hand.
class MaskTestOperator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<MaskTestOperator>(); }
  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_FILTER; }
  Result<void> ComputeOperator(const Grid2D<Float>&, BaseObject*, BaseDocument*, EvaluationContext&) override
  {
    return OK;
  }
};

// Stands in for the terrain object: only its type and its place in the hierarchy matter here.
class TerrainStandInData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<TerrainStandInData>(); }
};

Grid2D<Float> MakeGrid(Int w, Int h, Float sizeX, Float sizeY, const std::function<Float(Int x, Int y)>& f)
{
  Grid2D<Float> g;
  EXPECT_TRUE(g.Init(w, h, sizeX, sizeY).IsOk());
  for (Int y = 0; y < h; ++y)
    for (Int x = 0; x < w; ++x)
      g.cells[y * w + x] = f(x, y);
  return g;
}

Grid2D<Float> MakeRow(const std::vector<Float>& values)
{
  return MakeGrid(static_cast<Int>(values.size()), 1, 100.0, 100.0, [&](Int x, Int) { return values[x]; });
}

Grid2D<Float> RandomGrid(Int w, Int h, UInt32 seed, Float scale)
{
  LcgRandom rng;
  rng.Init(seed);
  return MakeGrid(w, h, 400.0, 300.0, [&](Int, Int) { return rng.Get01() * scale; });
}

Grid2D<Float> Copy(const Grid2D<Float>& g)
{
  Grid2D<Float> c;
  EXPECT_TRUE(c.CopyFrom(g).IsOk());
  return c;
}

void ExpectSameGrid(const Grid2D<Float>& a, const Grid2D<Float>& b)
{
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  ASSERT_EQ(a.cellCount, b.cellCount);
  EXPECT_TRUE(Same(a.sizeX, b.sizeX));
  EXPECT_TRUE(Same(a.sizeY, b.sizeY));
  EXPECT_EQ(a.minMaxValid, b.minMaxValid);
  EXPECT_TRUE(Same(a.min, b.min));
  EXPECT_TRUE(Same(a.max, b.max));
  for (Int i = 0; i < a.cellCount; ++i)
    ASSERT_TRUE(Same(a.cells[i], b.cells[i])) << "cell " << i << ": " << a.cells[i] << " vs " << b.cells[i];
}

void ExpectError(const Error& e, ERRORKIND kind, const char* message)
{
  EXPECT_EQ(e.GetKind(), kind);
  EXPECT_STREQ(e.GetMessage().c_str(), message);
}

std::unique_ptr<FieldLayer> SolidLayer(Float value)
{
  std::unique_ptr<FieldLayer> l = FieldLayer::Alloc(FLsolid);
  l->SetValue(value);
  return l;
}

std::unique_ptr<FieldLayer> ObjectLayer(const BaseObject* op)
{
  std::unique_ptr<FieldLayer> l = FieldLayer::Alloc(FLobject);
  l->SetLinkedObject(op);
  return l;
}

// The mask the field list gives a grid, sampled one point at a time: positions centred on the origin,
// row 0 at +Z, and a single column or row at the start of its axis.
std::vector<Float> SampleCellByCell(const FieldList& list, const Grid2D<Float>& grid, const Matrix& transform,
                                    const BaseList2D* caller)
{
  std::vector<Float> values;
  for (Int y = 0; y < grid.height; ++y)
    for (Int x = 0; x < grid.width; ++x)
    {
      const Float u = grid.width > 1 ? static_cast<Float>(x) / static_cast<Float>(grid.width - 1) : 0.0;
      const Float v = grid.height > 1 ? static_cast<Float>(y) / static_cast<Float>(grid.height - 1) : 0.0;
      const Vector p(u * grid.sizeX - grid.sizeX / 2.0, 0.0, grid.sizeY / 2.0 - v * grid.sizeY);
      const FieldInput in(&p, 1, transform, 1);
      Result<FieldOutput> out = list.Sample(in, caller);
      EXPECT_TRUE(out.IsOk());
      values.push_back(out.IsOk() ? out.GetValue().value[0] : -1.0);
    }
  return values;
}

// The band weight worked out the long way, as the reference for masks on varied data.
Float ReferenceBand(Float v, Float low, Float high, Float falloffLow, Float falloffHigh)
{
  if (v < low || v > high)
    return 0.0;
  const Float width = high - low;
  const auto smooth = [](Float t) { return t >= 1.0 ? 1.0 : (t < 0.0 ? 0.0 : t * t * (3.0 - 2.0 * t)); };
  if (v < low + falloffLow * width / 2.0)
    return smooth((v - low) / (falloffLow * width / 2.0));
  if (v > high - falloffHigh * width / 2.0)
    return smooth((high - v) / (falloffHigh * width / 2.0));
  return 1.0;
}

// The band weight of a value by the formula's own steps (ramps of falloff x half the band width,
// tested low first; a ramp weight (3 - 2t) t^2, 1 from t = 1 on, 0 below 0): the bit-exact reference.
Float PlainBandWeight(Float v, Float low, Float high, Float falloffLow, Float falloffHigh)
{
  const Float rampLow = falloffLow * 0.5 * (high - low);
  const Float rampHigh = falloffHigh * 0.5 * (high - low);
  Float t = 2.0;
  if (v < low || v > high)
    return 0.0;
  if (v < low + rampLow)
    t = (v - low) / rampLow;
  else if (v > high - rampHigh)
    t = (high - v) / rampHigh;
  if (t >= 1.0)
    return 1.0;
  return t < 0.0 ? 0.0 : (3.0 - 2.0 * t) * t * t;
}

// The slope of cell (x, y) from the neighbour differences (clamped at the borders), as the angle of
// the gradient: atan(|gradient| / 2) over pi/2, written without normals or acos.
Float ReferenceSlope(const Grid2D<Float>& g, Int x, Int y)
{
  const auto at = [&](Int cx, Int cy) {
    cx = std::clamp<Int>(cx, 0, g.width - 1);
    cy = std::clamp<Int>(cy, 0, g.height - 1);
    return g.cells[cy * g.width + cx];
  };
  const Float dx = at(x - 1, y) - at(x + 1, y);
  const Float dz = at(x, y - 1) - at(x, y + 1);
  return std::atan2(std::hypot(dx, dz), 2.0) / HALF_PI;
}

Int CountMessages(const BaseList2D* node, Int32 id)
{
  const std::vector<Int32> log = host::GetMessageLog(node);
  return std::count(log.begin(), log.end(), id);
}

class MaskingTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    ASSERT_TRUE(RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, TerrainStandInData::Alloc,
                                     String(), nullptr, 0));
    ASSERT_TRUE(RegisterObjectPlugin(ID_TEST_MASKOPERATOR, "Mask test operator", 0, MaskTestOperator::Alloc,
                                     String(), nullptr, 0));
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
    terrainObject = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_NE(terrainObject, nullptr);
    Matrix m;
    m.off = Vector(30.0, 5.0, -20.0);   // the mask is sampled in the terrain object's space
    terrainObject->SetMl(m);
    ASSERT_TRUE(doc->InsertObject(terrainObject, nullptr));
    context.terrainMatrix = terrainObject->GetMg();
    context.terrainMatrixInverse = ~context.terrainMatrix;
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    host::ResetSceneState();
  }

  // A new operator under the terrain object, after pred (first when null): NORMAL at opacity 1, scale
  // 1, offset 0, no bands, an empty masking list.
  BaseObject* AddOperator(BaseObject* pred = nullptr)
  {
    BaseObject* op = BaseObject::Alloc(ID_TEST_MASKOPERATOR);
    EXPECT_NE(op, nullptr);
    if (!op)
      return nullptr;
    EXPECT_TRUE(doc->InsertObject(op, terrainObject, pred));
    BaseContainer* bc = op->GetDataInstance();
    bc->SetFloat(TERRAINOPERATOR_OPACITY, 1.0);
    bc->SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::NORMAL));
    bc->SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    bc->SetFloat(TERRAINOPERATOR_OFFSET, 0.0);
    bc->SetFloat(TERRAINOPERATOR_FACTOR, 1.0);
    bc->SetBool(TERRAINOPERATOR_MASKING_SLOPE, false);
    bc->SetBool(TERRAINOPERATOR_MASKING_HEIGHT, false);
    std::unique_ptr<FieldList> empty = FieldList::Alloc();
    SetFieldList(op, *empty);
    return op;
  }

  static OGX::BaseTerrainOperatorData* Data(BaseObject* op) { return op->GetNodeData<OGX::BaseTerrainOperatorData>(); }
  static void SetOutput(BaseObject* op, const Grid2D<Float>& g) { ASSERT_TRUE(Data(op)->GetOutputGrid().CopyFrom(g).IsOk()); }
  static void SetFieldList(BaseObject* op, const FieldList& list)
  {
    op->GetDataInstance()->SetData(TERRAINOPERATOR_MASKING_FIELDS_LIST, GeData(list));
  }
  static void SetHeightBand(BaseObject* op, Float low, Float high, Float falloffLow, Float falloffHigh)
  {
    BaseContainer* bc = op->GetDataInstance();
    bc->SetBool(TERRAINOPERATOR_MASKING_HEIGHT, true);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_LOW, low);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_HIGH, high);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW, falloffLow);
    bc->SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH, falloffHigh);
  }
  static void SetSlopeBand(BaseObject* op, Float low, Float high, Float falloffLow, Float falloffHigh)
  {
    BaseContainer* bc = op->GetDataInstance();
    bc->SetBool(TERRAINOPERATOR_MASKING_SLOPE, true);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_LOW, low);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_HIGH, high);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW, falloffLow);
    bc->SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH, falloffHigh);
  }

  Result<void> Apply(BaseObject* op, Grid2D<Float>& terrain) { return Data(op)->ApplyToTerrain(terrain, op, doc, context); }

  // A spherical field object in the document, centred at pos in world space.
  BaseObject* AddSphereField(const Vector& pos, Float radius, Float inner)
  {
    BaseObject* field = BaseObject::Alloc(Ofieldspherical);
    EXPECT_NE(field, nullptr);
    Matrix m;
    m.off = pos;
    field->SetMl(m);
    field->GetDataInstance()->SetFloat(FIELDOBJECT_SIZE, radius);
    field->GetDataInstance()->SetFloat(FIELDOBJECT_INNER, inner);
    EXPECT_TRUE(doc->InsertObject(field, nullptr));
    return field;
  }

  // A material in the document that holds a channel shader and observes op.
  BaseMaterial* AddObserver(BaseObject* op)
  {
    BaseMaterial* mat = BaseMaterial::Alloc();
    EXPECT_TRUE(doc->InsertMaterial(mat));
    EXPECT_TRUE(mat->InsertShader(BaseShader::Alloc(ID_OGX_TERRAINOPERATORSHADER)));
    EXPECT_TRUE(Data(op)->GetObservable().Add(mat, doc).IsOk());
    return mat;
  }

  BaseDocument* doc = nullptr;
  BaseObject* terrainObject = nullptr;
  EvaluationContext context;
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// VectorAngle and GridFraction

TEST(VectorAngleTest, Cases)
{
  struct Case
  {
    const char* name;
    Vector a;
    Vector b;
    Float expected;
  };
  const Case cases[] = {
    {"zero first", Vector(0, 0, 0), Vector(0, 1, 0), HALF_PI},
    {"zero second", Vector(1, 2, 3), Vector(0, 0, 0), HALF_PI},
    {"both zero", Vector(0, 0, 0), Vector(0, 0, 0), HALF_PI},
    {"parallel unit", Vector(0, 1, 0), Vector(0, 1, 0), 0.0},
    {"parallel scaled", Vector(0.0, 2.0, 0.0), Vector(0.0, 0.5, 0.0), 0.0},
    {"antiparallel", Vector(1, 2, 3), Vector(-2, -4, -6), PI},
    {"perpendicular", Vector(1, 0, 0), Vector(0, 0, 5), HALF_PI},
    {"45 degrees", Vector(0, 1, 0), Vector(1, 1, 0), PI / 4.0},
    {"135 degrees", Vector(0, 1, 0), Vector(1, -1, 0), 3.0 * PI / 4.0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Float angle = VectorAngle(c.a, c.b);
    if (c.expected == 0.0 || c.expected == PI)
      EXPECT_EQ(angle, c.expected);   // clamped, exact
    else
      EXPECT_NEAR(angle, c.expected, 1e-15);
  }
}

TEST(GridFractionTest, ZeroDivisorGivesZero)
{
  EXPECT_EQ(GridFraction(0, 0), 0.0);
  EXPECT_EQ(GridFraction(5, 0), 0.0);
  EXPECT_EQ(GridFraction(0, 4), 0.0);
  EXPECT_EQ(GridFraction(1, 4), 0.25);
  EXPECT_EQ(GridFraction(4, 4), 1.0);
}

// ---------------------------------------------------------------------------------------------------
// Bands

// The band's weights at its edges, ramp ends and ramp middles, worked out by hand.
TEST(BandTest, HeightBandWeights)
{
  struct Case
  {
    const char* name;
    Float low, high, falloffLow, falloffHigh;
    Float height;
    Float expected;
  };
  const Case cases[] = {
    {"hard: below", 0, 1000, 0, 0, -0.001, 0.0},
    {"hard: at low", 0, 1000, 0, 0, 0.0, 1.0},
    {"hard: inside", 0, 1000, 0, 0, 500.0, 1.0},
    {"hard: at high", 0, 1000, 0, 0, 1000.0, 1.0},
    {"hard: above", 0, 1000, 0, 0, 1000.001, 0.0},
    {"low ramp: start", 0, 1000, 1, 0, 0.0, 0.0},
    {"low ramp: quarter", 0, 1000, 1, 0, 125.0, 0.15625},   // t = 0.25: 2.5 * 0.0625
    {"low ramp: middle", 0, 1000, 1, 0, 250.0, 0.5},
    {"low ramp: end", 0, 1000, 1, 0, 500.0, 1.0},
    {"low ramp: after", 0, 1000, 1, 0, 750.0, 1.0},
    {"high ramp: middle", 0, 1000, 0, 1, 750.0, 0.5},
    {"high ramp: end at high", 0, 1000, 0, 1, 1000.0, 0.0},
    {"high ramp: start", 0, 1000, 0, 1, 500.0, 1.0},
    {"both ramps meet", 0, 1000, 1, 1, 500.0, 1.0},
    {"offset band: low ramp middle", 200, 600, 1, 1, 300.0, 0.5},
    {"offset band: high ramp middle", 200, 600, 1, 1, 500.0, 0.5},
    {"half ramp", 0, 1000, 0.5, 0, 125.0, 0.5},
    {"overlap: low ramp decides", 0, 1000, 2, 2, 750.0, 0.84375},   // t = 0.75: 1.5 * 0.5625
    {"overlap: at high", 0, 1000, 2, 2, 1000.0, 0.0},
    {"empty band", 600, 200, 0, 0, 400.0, 0.0},
    {"point band", 5, 5, 1, 1, 5.0, 1.0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Grid2D<Float> terrain = MakeRow({c.height});
    Grid2D<Float> mask;
    ASSERT_TRUE(ApplyHeightMask(mask, terrain, c.low, c.high, c.falloffLow, c.falloffHigh).IsOk());
    ASSERT_EQ(mask.cellCount, 1);
    EXPECT_EQ(mask.width, terrain.width);
    EXPECT_EQ(mask.height, terrain.height);
    EXPECT_EQ(mask.cells[0], c.expected);
  }
}

TEST(BandTest, BandMultipliesAnExistingMask)
{
  const Grid2D<Float> terrain = MakeRow({-5.0, 0.0, 250.0, 600.0});
  Grid2D<Float> mask = MakeRow({0.5, 0.25, 0.5, 0.75});
  ASSERT_TRUE(ApplyHeightMask(mask, terrain, 0.0, 1000.0, 1.0, 0.0).IsOk());
  EXPECT_EQ(mask.cells[0], 0.0);
  EXPECT_EQ(mask.cells[1], 0.0);
  EXPECT_EQ(mask.cells[2], 0.25);
  EXPECT_EQ(mask.cells[3], 0.75);
}

TEST(BandTest, FlatTerrainHasSlopeZero)
{
  const Grid2D<Float> terrain = MakeGrid(7, 5, 100.0, 80.0, [](Int, Int) { return 42.0; });
  Grid2D<Float> mask;
  // The default slope band: 0 to 0.5, falloffs 0 and 1.
  ASSERT_TRUE(ApplySlopeMask(mask, terrain, 0.0, 0.5, 0.0, 1.0).IsOk());
  ASSERT_EQ(mask.cellCount, terrain.cellCount);
  for (Int i = 0; i < mask.cellCount; ++i)
    EXPECT_EQ(mask.cells[i], 1.0) << i;
  // A band that starts above 0 excludes every flat cell.
  Grid2D<Float> steepOnly;
  ASSERT_TRUE(ApplySlopeMask(steepOnly, terrain, 0.1, 1.0, 0.0, 0.0).IsOk());
  for (Int i = 0; i < steepOnly.cellCount; ++i)
    EXPECT_EQ(steepOnly.cells[i], 0.0) << i;
}

TEST(BandTest, SlopeOfAPlaneFromItsNormals)
{
  // z = x: interior cells span two columns (gradient 1 per cell: 45 degrees, slope 0.5); the border
  // cells span one (gradient 1/2).
  const Grid2D<Float> terrain = MakeGrid(6, 4, 100.0, 100.0, [](Int x, Int) { return static_cast<Float>(x); });
  Grid2D<Float> mask;
  ASSERT_TRUE(ApplySlopeMask(mask, terrain, 0.45, 0.55, 0.0, 0.0).IsOk());
  for (Int y = 0; y < 4; ++y)
    for (Int x = 0; x < 6; ++x)
      EXPECT_EQ(mask.cells[y * 6 + x], (x == 0 || x == 5) ? 0.0 : 1.0) << x << "," << y;

  Grid2D<Float> border;
  const Float borderSlope = std::atan(0.5) / HALF_PI;
  ASSERT_TRUE(ApplySlopeMask(border, terrain, borderSlope - 1e-9, borderSlope + 1e-9, 0.0, 0.0).IsOk());
  for (Int y = 0; y < 4; ++y)
    for (Int x = 0; x < 6; ++x)
      EXPECT_EQ(border.cells[y * 6 + x], (x == 0 || x == 5) ? 1.0 : 0.0) << x << "," << y;
}

// Slope bands on rough terrain against slopes from the gradient's angle (atan2, no normals, no acos).
TEST(BandTest, SlopeBandMatchesAReferenceOnRoughTerrain)
{
  const Grid2D<Float> terrain = RandomGrid(37, 23, 11, 3.0);
  Grid2D<Float> mask;
  ASSERT_TRUE(ApplySlopeMask(mask, terrain, 0.2, 0.7, 1.0, 1.0).IsOk());
  for (Int y = 0; y < terrain.height; ++y)
    for (Int x = 0; x < terrain.width; ++x)
    {
      const Float expected = ReferenceBand(ReferenceSlope(terrain, x, y), 0.2, 0.7, 1.0, 1.0);
      EXPECT_NEAR(mask.cells[y * terrain.width + x], expected, 1e-9) << x << "," << y;
    }
}

// The slope pass works out normals, angles and weights cell by cell without keeping normals or slopes;
// every weight must be bit for bit the band of VectorAngle(up, GetNormal) / (pi/2). Bands of every
// shape, with edges on and one double step beside slopes that cells have, on terrain with flat,
// gentle, steep and near-vertical cells.
TEST(BandTest, SlopeWeightsAreExactlyThoseOfTheComputedSlope)
{
  LcgRandom rng;
  rng.Init(17);
  const Grid2D<Float> terrain = MakeGrid(41, 37, 100.0, 100.0, [&](Int x, Int y) {
    const Float r = rng.Get01();
    if (y < 6)
      return 5.0;                                      // flat
    if (y < 12)
      return 1e-9 * static_cast<Float>(x * x);         // slopes next to 0, where acos is steepest
    if (y < 24)
      return r * 4.0;                                  // rough
    return r * 1e6 * static_cast<Float>(x % 3);        // near vertical
  });
  std::vector<Float> slopes;
  for (Int y = 0; y < terrain.height; ++y)
    for (Int x = 0; x < terrain.width; ++x)
      slopes.push_back(VectorAngle(Vector(0.0, 1.0, 0.0), terrain.GetNormal(x, y)) / HALF_PI);

  struct Band
  {
    Float low, high, falloffLow, falloffHigh;
  };
  std::vector<Band> bands = {
    {0.0, 0.5, 0.0, 1.0},   {0.0, 0.0, 0.0, 0.0},  {0.2, 0.7, 1.0, 1.0},   {0.3, 0.6, 0.0, 0.0},
    {-1.0, 3.0, 0.0, 0.0},  {-1.0, 0.5, 0.5, 0.5}, {0.5, 3.0, 0.3, 0.3},   {0.7, 0.2, 0.0, 0.0},
    {0.1, 0.9, 2.0, 2.0},   {0.1, 0.9, -1.0, -1.0}, {0.0, 1.0, 1.0, 1.0},  {2.5, 3.0, 0.0, 0.0},
    {-2.0, -1.0, 0.0, 0.0}, {1e-12, 1e-8, 0.0, 0.0}, {0.0, 2.0, 0.0, 0.0}, {0.4, 0.6, NAN, 0.5},
  };
  // Edges on the slopes of actual cells (every 13th), and one double step beside them, hard and with
  // ramps: a cell whose slope is just outside an edge must not be taken as inside.
  for (std::size_t i = 0; i + 1 < slopes.size(); i += 13)
  {
    const Float a = std::min(slopes[i], slopes[i + 1]);
    const Float b = std::max(slopes[i], slopes[i + 1]);
    bands.push_back({a, b, 0.0, 0.0});
    bands.push_back({a, b, 0.5, 1.0});
    bands.push_back({slopes[i], 1.0, 0.0, 0.0});
    bands.push_back({0.0, slopes[i], 0.0, 0.0});
    bands.push_back({std::nextafter(slopes[i], 3.0), 1.0, 0.0, 0.0});
    bands.push_back({0.0, std::nextafter(slopes[i], -1.0), 0.0, 0.0});
  }
  for (const Band& b : bands)
  {
    SCOPED_TRACE(testing::Message() << "band " << b.low << " " << b.high << " " << b.falloffLow << " " << b.falloffHigh);
    Grid2D<Float> mask;
    ASSERT_TRUE(ApplySlopeMask(mask, terrain, b.low, b.high, b.falloffLow, b.falloffHigh).IsOk());
    for (Int i = 0; i < terrain.cellCount; ++i)
    {
      const Float v = slopes[static_cast<std::size_t>(i)];
      const Float expected = PlainBandWeight(v, b.low, b.high, b.falloffLow, b.falloffHigh);
      ASSERT_TRUE(Same(mask.cells[i], expected)) << "cell " << i << " slope " << v << ": " << mask.cells[i];
    }
  }
}

// Random band settings through apply (ApplySlopeMask or ApplyHeightMask) on terrain, every weight bit
// for bit the plain formula's of the cell's source value (its slope or height): bands inside and
// beyond [lowest, highest], reversed ones, edges on cells' values and one double step beside them, hard
// and soft, overlapping and negative ramps, every fifth over an existing mask of awkward values; the
// AVX2 and the portable copies of the loops take turns. With a falloff of 0 the band is a hard step, so
// a cell put on the wrong side of an edge would be off by a whole 1.
namespace
{
void ExpectRandomBandsMatchThePlainFormula(Result<void> (*apply)(Grid2D<Float>&, const Grid2D<Float>&, Float, Float,
                                                                 Float, Float),
                                           const Grid2D<Float>& terrain, const std::vector<Float>& values,
                                           Float lowest, Float highest, UInt32 seed)
{
  std::mt19937 rng(seed);
  std::uniform_real_distribution<Float> unit(0.0, 1.0);
  const Grid2D<Float> existing = MakeGrid(terrain.width, terrain.height, 1.0, 1.0, [&](Int x, Int y) {
    const Float special[] = {std::nan(""), HUGE_VAL, -0.0, -2.5, 0.0};
    return (x + 3 * y) % 17 == 0 ? special[(x + y) % 5] : unit(rng);
  });
  auto pick = [&] { return values[static_cast<std::size_t>(unit(rng) * static_cast<Float>(values.size() - 1))]; };
  const Float span = highest - lowest;
  struct WideScope
  {
    ~WideScope() { OGX::SetWideVectorsAllowed(true); }
  } restore;
  for (int k = 0; k < 160; ++k)
  {
    OGX::SetWideVectorsAllowed(k % 2 == 0);
    Float low = lowest - 0.1 * span + 1.2 * span * unit(rng);
    Float high = lowest - 0.1 * span + 1.2 * span * unit(rng);
    if (k % 4 == 1)
    {
      low = pick();
      high = pick();
    }
    if (k % 4 == 2)
    {
      low = std::nextafter(pick(), -HUGE_VAL);
      high = std::nextafter(pick(), HUGE_VAL);
    }
    if (k % 3 == 0 && low > high)
      std::swap(low, high);
    const Float falloffs[] = {0.0, unit(rng), 2.5 * unit(rng), -unit(rng)};
    const Float falloffLow = falloffs[k % 4];
    const Float falloffHigh = falloffs[(k / 4) % 4];
    const Bool hadMask = k % 5 == 0;
    SCOPED_TRACE(testing::Message() << "band " << low << " " << high << " " << falloffLow << " " << falloffHigh);
    Grid2D<Float> mask;
    if (hadMask)
      mask = Copy(existing);
    ASSERT_TRUE(apply(mask, terrain, low, high, falloffLow, falloffHigh).IsOk());
    for (Int i = 0; i < terrain.cellCount; ++i)
    {
      const Float v = values[static_cast<std::size_t>(i)];
      Float expected = PlainBandWeight(v, low, high, falloffLow, falloffHigh);
      if (hadMask)
        expected = expected * existing.cells[i];
      ASSERT_TRUE(Same(mask.cells[i], expected)) << "cell " << i << " value " << v << ": " << mask.cells[i];
    }
  }
}
} // namespace

// On a grid of many blocks (all threads) with slopes over the whole range and NaN and infinite heights.
TEST(BandTest, SlopeBandOnRandomTerrainMatchesThePlainFormula)
{
  std::mt19937 rng(31);
  std::uniform_real_distribution<Float> unit(0.0, 1.0);
  const Grid2D<Float> terrain = MakeGrid(157, 131, 300.0, 200.0, [&](Int x, Int y) {
    if ((x * 7 + y * 13) % 997 == 0)
      return std::nan("");
    if ((x * 11 + y * 5) % 1499 == 0)
      return (x + y) % 2 ? HUGE_VAL : -HUGE_VAL;
    // Row scales from flat (1e-7) to near vertical (1e4), so slopes cover [0, 1).
    return unit(rng) * std::pow(10.0, -7.0 + 11.0 * static_cast<Float>(y) / 130.0);
  });
  std::vector<Float> slopes;
  for (Int y = 0; y < terrain.height; ++y)
    for (Int x = 0; x < terrain.width; ++x)
      slopes.push_back(VectorAngle(Vector(0.0, 1.0, 0.0), terrain.GetNormal(x, y)) / HALF_PI);
  ExpectRandomBandsMatchThePlainFormula(ApplySlopeMask, terrain, slopes, 0.0, 2.0, 31);
}

TEST(BandTest, HeightBandOnRandomTerrainMatchesThePlainFormula)
{
  std::mt19937 rng(37);
  std::uniform_real_distribution<Float> unit(0.0, 1.0);
  const Grid2D<Float> terrain = MakeGrid(151, 97, 300.0, 200.0, [&](Int x, Int y) {
    const Float special[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, -0.0};
    return (x * 5 + y * 3) % 211 == 0 ? special[(x + y) % 4] : -50.0 + 100.0 * unit(rng);
  });
  const std::vector<Float> heights(terrain.cells.begin(), terrain.cells.end());
  ExpectRandomBandsMatchThePlainFormula(ApplyHeightMask, terrain, heights, -50.0, 50.0, 37);
}

TEST(BandTest, Errors)
{
  Grid2D<Float> empty;
  Grid2D<Float> mask;
  Result<void> r = ApplySlopeMask(mask, empty, 0.0, 0.5, 0.0, 1.0);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_STATE, "terrain size must not be 0!");
  r = ApplyHeightMask(mask, empty, 0.0, 1000.0, 0.0, 1.0);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_STATE, "terrain size must not be 0!");
  EXPECT_EQ(mask.cellCount, 0);

  // A mask of another size is refused before a single cell is written.
  const Grid2D<Float> terrain = RandomGrid(8, 8, 3, 10.0);
  Grid2D<Float> small = MakeGrid(4, 4, 10.0, 10.0, [](Int x, Int y) { return 0.1 * static_cast<Float>(x + y); });
  const Grid2D<Float> before = Copy(small);
  r = ApplySlopeMask(small, terrain, 0.0, 1.0, 0.0, 0.0);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_ARGUMENT, "FieldOutput and _size are different!");
  ExpectSameGrid(small, before);
  r = ApplyHeightMask(small, terrain, 0.0, 100.0, 0.0, 0.0);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_ARGUMENT, "FieldOutput and _size are different!");
  ExpectSameGrid(small, before);
}

TEST(BandTest, OneColumnAndOneRowGrids)
{
  for (const auto& [w, h] : {std::pair<Int, Int>{1, 9}, {9, 1}, {1, 1}})
  {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const Grid2D<Float> terrain = MakeGrid(w, h, 50.0, 50.0, [](Int x, Int y) { return 3.0 * static_cast<Float>(x + y); });
    Grid2D<Float> mask;
    ASSERT_TRUE(ApplySlopeMask(mask, terrain, 0.0, 1.0, 1.0, 1.0).IsOk());
    ASSERT_TRUE(ApplyHeightMask(mask, terrain, 0.0, 30.0, 1.0, 1.0).IsOk());
    ASSERT_EQ(mask.cellCount, w * h);
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Float expected = ReferenceBand(ReferenceSlope(terrain, x, y), 0.0, 1.0, 1.0, 1.0) *
                               ReferenceBand(terrain.cells[y * w + x], 0.0, 30.0, 1.0, 1.0);
        EXPECT_NEAR(mask.cells[y * w + x], expected, 1e-9) << x << "," << y;
      }
  }
}

// ---------------------------------------------------------------------------------------------------
// Field masks

TEST_F(MaskingTest, FieldMaskErrors)
{
  const Grid2D<Float> grid = RandomGrid(4, 4, 1, 1.0);
  Grid2D<Float> mask;
  Result<void> r = BuildFieldMask(mask, nullptr, grid, Matrix(), nullptr);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::NULLPTR, "fieldList must not be NULL!");

  std::unique_ptr<FieldList> list = FieldList::Alloc();
  const Grid2D<Float> empty;
  r = BuildFieldMask(mask, list.get(), empty, Matrix(), nullptr);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_STATE, "terrain size must not be 0!");
}

TEST_F(MaskingTest, FieldMaskWithoutEnabledLayerIsEmpty)
{
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  FieldLayer* solid = list->AppendLayer(SolidLayer(0.25)).GetValue();
  solid->SetEnabled(false);
  const Grid2D<Float> grid = RandomGrid(5, 3, 1, 1.0);
  Grid2D<Float> mask = RandomGrid(2, 2, 9, 1.0);   // a stale mask is dropped
  ASSERT_TRUE(BuildFieldMask(mask, list.get(), grid, Matrix(), nullptr).IsOk());
  EXPECT_EQ(mask.cellCount, 0);
  EXPECT_EQ(mask.width, 0);
  EXPECT_EQ(mask.height, 0);
  EXPECT_EQ(mask.cells.GetCount(), 0);
}

TEST_F(MaskingTest, FieldMaskWithASolidLayer)
{
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(SolidLayer(0.25)).IsOk());
  const Grid2D<Float> grid = RandomGrid(6, 4, 1, 1.0);
  Grid2D<Float> mask;
  ASSERT_TRUE(BuildFieldMask(mask, list.get(), grid, Matrix(), nullptr).IsOk());
  EXPECT_EQ(mask.width, 6);
  EXPECT_EQ(mask.height, 4);
  EXPECT_TRUE(Same(mask.sizeX, grid.sizeX));
  EXPECT_TRUE(Same(mask.sizeY, grid.sizeY));
  for (Int i = 0; i < mask.cellCount; ++i)
    EXPECT_EQ(mask.cells[i], 0.25);
}

// A spherical field off the grid's centre, against the list sampled one point at a time: the mask
// follows the cell positions (row 0 at +Z) in the terrain object's space.
TEST_F(MaskingTest, FieldMaskFollowsASphericalField)
{
  BaseObject* op = AddOperator();
  BaseObject* field = AddSphereField(Vector(30.0 + 25.0, 5.0, -20.0 + 30.0), 60.0, 0.2);
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(ObjectLayer(field)).IsOk());

  const Grid2D<Float> grid = MakeGrid(21, 17, 200.0, 160.0, [](Int, Int) { return 0.0; });
  Grid2D<Float> mask;
  ASSERT_TRUE(BuildFieldMask(mask, list.get(), grid, context.terrainMatrix, op).IsOk());
  const std::vector<Float> expected = SampleCellByCell(*list, grid, context.terrainMatrix, op);
  ASSERT_EQ(mask.cellCount, static_cast<Int>(expected.size()));
  Int inside = 0;
  Int outside = 0;
  for (Int i = 0; i < mask.cellCount; ++i)
  {
    ASSERT_TRUE(Same(mask.cells[i], expected[i])) << i;
    inside += mask.cells[i] == 1.0;
    outside += mask.cells[i] == 0.0;
  }
  // The field covers part of the grid, not all of it and not none of it.
  EXPECT_GT(inside, 0);
  EXPECT_GT(outside, 0);
  // Row 0 is at +Z: the field's centre lies at +30 in Z from the terrain's, so the first row sees more.
  EXPECT_GT(mask.cells[10], mask.cells[16 * 21 + 10]);
}

TEST_F(MaskingTest, FieldMaskOnOneColumnAndOneRowGrids)
{
  BaseObject* op = AddOperator();
  BaseObject* field = AddSphereField(Vector(30.0 - 50.0, 5.0, -20.0), 80.0, 0.0);
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(ObjectLayer(field)).IsOk());
  for (const auto& [w, h] : {std::pair<Int, Int>{1, 7}, {7, 1}, {1, 1}})
  {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const Grid2D<Float> grid = MakeGrid(w, h, 100.0, 60.0, [](Int, Int) { return 0.0; });
    Grid2D<Float> mask;
    ASSERT_TRUE(BuildFieldMask(mask, list.get(), grid, context.terrainMatrix, op).IsOk());
    const std::vector<Float> expected = SampleCellByCell(*list, grid, context.terrainMatrix, op);
    ASSERT_EQ(mask.cellCount, w * h);
    for (Int i = 0; i < mask.cellCount; ++i)
    {
      EXPECT_FALSE(std::isnan(mask.cells[i])) << i;
      EXPECT_TRUE(Same(mask.cells[i], expected[i])) << i;
    }
  }
  // A single column sits at the left edge (-sizeX / 2), where the field is centred: its middle cell
  // (z = 0) gets the full value.
  const Grid2D<Float> column = MakeGrid(1, 3, 100.0, 60.0, [](Int, Int) { return 0.0; });
  Grid2D<Float> mask;
  ASSERT_TRUE(BuildFieldMask(mask, list.get(), column, context.terrainMatrix, op).IsOk());
  EXPECT_EQ(mask.cells[1], 1.0);
}

TEST_F(MaskingTest, GetMaskingFieldList)
{
  const Grid2D<Float> grid = RandomGrid(9, 6, 2, 1.0);
  BaseObject* field = AddSphereField(Vector(30.0, 5.0, -20.0), 30.0, 0.0);
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(ObjectLayer(field)).IsOk());
  FieldLayer* disabled = list->AppendLayer(SolidLayer(0.5)).GetValue();
  disabled->SetEnabled(false);
  ASSERT_TRUE(list->AppendLayer(SolidLayer(0.75)).GetValue() != nullptr);
  list->GetLastLayer()->SetBlendMode(FIELDLAYER_BLEND::MULTIPLY);

  // Under the terrain object: the two enabled layers, sampled in the terrain object's space.
  BaseObject* op = AddOperator();
  SetFieldList(op, *list);
  Grid2D<Float> mask;
  Result<Int32> r = GetMaskingFieldList(op, grid, mask);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue(), 2);
  Grid2D<Float> expected;
  ASSERT_TRUE(BuildFieldMask(expected, list.get(), grid, terrainObject->GetMg(), op).IsOk());
  ExpectSameGrid(mask, expected);

  // Nested in a null object below the terrain object: still found.
  BaseObject* nullObject = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(nullObject, terrainObject, op));
  BaseObject* nested = AddOperator();
  nested->Remove();
  ASSERT_TRUE(doc->InsertObject(nested, nullObject));
  SetFieldList(nested, *list);
  Grid2D<Float> nestedMask;
  r = GetMaskingFieldList(nested, grid, nestedMask);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue(), 2);
  ExpectSameGrid(nestedMask, expected);

  // Without a terrain object above: 0 and the mask untouched.
  BaseObject* loose = AddOperator();
  loose->Remove();
  ASSERT_TRUE(doc->InsertObject(loose, nullptr));
  SetFieldList(loose, *list);
  Grid2D<Float> untouched = RandomGrid(3, 3, 5, 1.0);
  const Grid2D<Float> before = Copy(untouched);
  r = GetMaskingFieldList(loose, grid, untouched);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue(), 0);
  ExpectSameGrid(untouched, before);

  // Under the terrain object but without an enabled layer: 0, mask untouched.
  BaseObject* bare = AddOperator(op);
  r = GetMaskingFieldList(bare, grid, untouched);
  ASSERT_TRUE(r.IsOk());
  EXPECT_EQ(r.GetValue(), 0);
  ExpectSameGrid(untouched, before);

  // A list that cannot be read.
  bare->GetDataInstance()->RemoveData(TERRAINOPERATOR_MASKING_FIELDS_LIST);
  r = GetMaskingFieldList(bare, grid, untouched);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::UNEXPECTED,
              "Could not get parameter TERRAINOPERATOR_MASKING_FIELDS_LIST from linked object!");
}

// ---------------------------------------------------------------------------------------------------
// ApplyToTerrain

TEST_F(MaskingTest, NoMaskBlendsWithOpacityAlone)
{
  const Grid2D<Float> start = MakeRow({0.0, 4.0, -2.0, 10.0});
  const Grid2D<Float> layer = MakeRow({1.0, 2.0, 3.0, 4.0});
  struct Case
  {
    const char* name;
    Bool disabledLayer;   // the list holds a layer, switched off
  };
  for (const Case c : {Case{"empty list", false}, Case{"disabled layer", true}})
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = AddOperator();
    BaseContainer* bc = op->GetDataInstance();
    bc->SetFloat(TERRAINOPERATOR_OPACITY, 0.5);
    bc->SetFloat(TERRAINOPERATOR_HEIGHT, 2.0);
    bc->SetFloat(TERRAINOPERATOR_OFFSET, 1.0);
    if (c.disabledLayer)
    {
      std::unique_ptr<FieldList> list = FieldList::Alloc();
      list->AppendLayer(SolidLayer(0.0)).GetValue()->SetEnabled(false);
      SetFieldList(op, *list);
    }
    SetOutput(op, layer);
    Grid2D<Float> terrain = Copy(start);
    ASSERT_TRUE(Apply(op, terrain).IsOk());
    // d + (2L + 1 - d) / 2
    const Float expected[] = {1.5, 4.5, 2.5, 9.5};
    for (Int i = 0; i < 4; ++i)
      EXPECT_EQ(terrain.cells[i], expected[i]) << i;
  }
}

TEST_F(MaskingTest, SolidLayerScalesTheOpacity)
{
  BaseObject* op = AddOperator();
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(SolidLayer(0.25)).IsOk());
  SetFieldList(op, *list);
  SetOutput(op, MakeRow({8.0, 8.0, 8.0}));
  Grid2D<Float> terrain = MakeRow({0.0, 4.0, 16.0});
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  EXPECT_EQ(terrain.cells[0], 2.0);
  EXPECT_EQ(terrain.cells[1], 5.0);
  EXPECT_EQ(terrain.cells[2], 14.0);
}

TEST_F(MaskingTest, SphericalFieldMaskReachesTheTerrain)
{
  BaseObject* field = AddSphereField(Vector(30.0 + 10.0, 5.0, -20.0 - 15.0), 70.0, 0.3);
  BaseObject* op = AddOperator();
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(ObjectLayer(field)).IsOk());
  SetFieldList(op, *list);
  const Grid2D<Float> shape = MakeGrid(19, 13, 180.0, 120.0, [](Int, Int) { return 1.0; });
  SetOutput(op, shape);
  Grid2D<Float> terrain = MakeGrid(19, 13, 180.0, 120.0, [](Int, Int) { return 0.0; });
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  // 0 + (1 - 0) * mask: the terrain shows the mask itself.
  const std::vector<Float> expected = SampleCellByCell(*list, shape, context.terrainMatrix, op);
  for (Int i = 0; i < terrain.cellCount; ++i)
    ASSERT_TRUE(Same(terrain.cells[i], expected[i])) << i;
}

TEST_F(MaskingTest, HardHeightBandKeepsItsEdges)
{
  BaseObject* first = AddOperator();
  BaseObject* op = AddOperator(first);
  SetHeightBand(op, 0.0, 1000.0, 0.0, 0.0);
  SetOutput(op, MakeRow({7.0, 7.0, 7.0, 7.0, 7.0, 7.0}));
  Grid2D<Float> terrain = MakeRow({-1.0, 0.0, 500.0, 1000.0, 1000.5, 3000.0});
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  const Float expected[] = {-1.0, 7.0, 7.0, 7.0, 1000.5, 3000.0};
  for (Int i = 0; i < 6; ++i)
    EXPECT_EQ(terrain.cells[i], expected[i]) << i;
}

TEST_F(MaskingTest, SlopeAndHeightBandsMultiply)
{
  // One row: cells 0, 1, 5 and 6 are flat (slope band 0 to 0.5), cells 4 to 6 are high (height band
  // 150 to 1000). Only 5 and 6 are in both.
  BaseObject* first = AddOperator();
  BaseObject* op = AddOperator(first);
  SetSlopeBand(op, 0.0, 0.5, 0.0, 0.0);
  SetHeightBand(op, 150.0, 1000.0, 0.0, 0.0);
  SetOutput(op, MakeRow({-9.0, -9.0, -9.0, -9.0, -9.0, -9.0, -9.0}));
  Grid2D<Float> terrain = MakeRow({0.0, 0.0, 0.0, 100.0, 200.0, 200.0, 200.0});
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  const Float expected[] = {0.0, 0.0, 0.0, 100.0, 200.0, -9.0, -9.0};
  for (Int i = 0; i < 7; ++i)
    EXPECT_EQ(terrain.cells[i], expected[i]) << i;

  // With ramps and a field mask: the blend's mask is the product of the three.
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(SolidLayer(0.75)).IsOk());
  SetFieldList(op, *list);
  SetSlopeBand(op, 0.1, 0.9, 1.0, 1.0);
  SetHeightBand(op, 0.0, 3.0, 1.0, 1.0);
  const Grid2D<Float> rough = RandomGrid(31, 29, 5, 3.0);
  const Grid2D<Float> layer = RandomGrid(31, 29, 6, 10.0);
  SetOutput(op, layer);
  Grid2D<Float> result = Copy(rough);
  ASSERT_TRUE(Apply(op, result).IsOk());

  Grid2D<Float> slope;
  Grid2D<Float> height;
  ASSERT_TRUE(ApplySlopeMask(slope, rough, 0.1, 0.9, 1.0, 1.0).IsOk());
  ASSERT_TRUE(ApplyHeightMask(height, rough, 0.0, 3.0, 1.0, 1.0).IsOk());
  Grid2D<Float> reference = Copy(rough);
  for (Int i = 0; i < reference.cellCount; ++i)
  {
    const Float m = height.cells[i] * (slope.cells[i] * 0.75);
    reference.cells[i] = reference.cells[i] + (layer.cells[i] - reference.cells[i]) * m;
  }
  ExpectSameGrid(result, reference);
}

// The operator keeps its mask's storage from one blend to the next; whatever the last blend left there,
// every blend must give what a fresh operator with the same settings gives.
TEST_F(MaskingTest, RepeatedBlendsOfOneOperatorMatchFreshOnes)
{
  const Grid2D<Float> rough = RandomGrid(43, 37, 8, 3.0);
  const Grid2D<Float> layer = RandomGrid(43, 37, 9, 10.0);
  std::unique_ptr<FieldList> solid = FieldList::Alloc();
  ASSERT_TRUE(solid->AppendLayer(SolidLayer(0.6)).IsOk());
  std::unique_ptr<FieldList> none = FieldList::Alloc();
  struct Setting
  {
    const char* name;
    Bool slope;
    Bool height;
    Bool field;
  };
  const Setting settings[] = {{"both bands", true, true, false}, {"no mask", false, false, false},
                              {"height band", false, true, false}, {"field", false, false, true},
                              {"field and slope band", true, false, true}, {"slope band", true, false, false}};
  auto configure = [&](BaseObject* op, const Setting& setting) {
    BaseContainer* bc = op->GetDataInstance();
    bc->SetBool(TERRAINOPERATOR_MASKING_SLOPE, false);
    bc->SetBool(TERRAINOPERATOR_MASKING_HEIGHT, false);
    if (setting.slope)
      SetSlopeBand(op, 0.05, 0.8, 0.5, 1.0);
    if (setting.height)
      SetHeightBand(op, 0.5, 2.5, 1.0, 0.0);
    SetFieldList(op, setting.field ? *solid : *none);
    SetOutput(op, layer);
  };
  BaseObject* first = AddOperator();
  BaseObject* reused = AddOperator(first);
  for (const Setting& setting : settings)
  {
    SCOPED_TRACE(setting.name);
    configure(reused, setting);
    Grid2D<Float> result = Copy(rough);
    ASSERT_TRUE(Apply(reused, result).IsOk());

    BaseObject* fresh = AddOperator(reused);
    configure(fresh, setting);
    Grid2D<Float> expected = Copy(rough);
    ASSERT_TRUE(Apply(fresh, expected).IsOk());
    ExpectSameGrid(result, expected);
  }
}

TEST_F(MaskingTest, FirstOperatorIgnoresTheBands)
{
  BaseObject* op = AddOperator();
  // Bands that would exclude every cell.
  SetSlopeBand(op, 0.9, 1.0, 0.0, 0.0);
  SetHeightBand(op, 5000.0, 6000.0, 0.0, 0.0);
  SetOutput(op, MakeRow({3.0, 3.0, 3.0}));
  Grid2D<Float> terrain = MakeRow({0.0, 50.0, 100.0});
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  for (Int i = 0; i < 3; ++i)
    EXPECT_EQ(terrain.cells[i], 3.0) << i;

  // The same operator after another one: the bands apply and nothing is blended.
  AddOperator();   // now first, before op
  ASSERT_NE(op->GetPred(), nullptr);
  Grid2D<Float> masked = MakeRow({0.0, 50.0, 100.0});
  ASSERT_TRUE(Apply(op, masked).IsOk());
  EXPECT_EQ(masked.cells[0], 0.0);
  EXPECT_EQ(masked.cells[1], 50.0);
  EXPECT_EQ(masked.cells[2], 100.0);
}

TEST_F(MaskingTest, NormalisedModesUseTheTerrainsPresentRange)
{
  BaseObject* op = AddOperator();
  op->GetDataInstance()->SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::SCREEN));
  op->GetDataInstance()->SetFloat(TERRAINOPERATOR_FACTOR, 0.5);
  SetOutput(op, MakeRow({0.5, 1.0, 0.0}));
  Grid2D<Float> terrain = MakeRow({10.0, 20.0, 30.0});
  terrain.min = -100.0;   // a stale range must not be used
  terrain.max = 100.0;
  terrain.minMaxValid = true;
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  // n = 0, 0.5, 1 over [10, 30]; L = 0.25, 0.5, 0; r = 1 - (1 - n)(1 - L) = 0.25, 0.75, 1.
  EXPECT_EQ(terrain.min, 10.0);
  EXPECT_EQ(terrain.max, 30.0);
  EXPECT_EQ(terrain.cells[0], 15.0);
  EXPECT_EQ(terrain.cells[1], 25.0);
  EXPECT_EQ(terrain.cells[2], 30.0);
}

TEST_F(MaskingTest, SuccessNotifiesTheObservers)
{
  BaseObject* op = AddOperator();
  BaseMaterial* observer = AddObserver(op);
  SetOutput(op, MakeRow({1.0, 2.0}));
  Grid2D<Float> terrain = MakeRow({0.0, 0.0});
  ASSERT_TRUE(Apply(op, terrain).IsOk());
  EXPECT_EQ(CountMessages(observer, MSG_UPDATE), 1);
}

// Every error leaves the terrain (cells and header) as it was and tells no observer. The mismatches
// come with a field mask and both bands switched on, so a band that ran before the size check would
// write past the mask (the sanitizer build sees that).
TEST_F(MaskingTest, ErrorsLeaveTheTerrainUnchanged)
{
  struct Case
  {
    const char* name;
    Int outputW, outputH;
    Bool removeList;
    Bool nonListParameter;
    ERRORKIND kind;
    const char* message;
  };
  const Case cases[] = {
    {"smaller output", 5, 4, false, false, ERRORKIND::ILLEGAL_ARGUMENT, "Cannot merge grids of different sizes!"},
    {"larger output", 12, 12, false, false, ERRORKIND::ILLEGAL_ARGUMENT, "Cannot merge grids of different sizes!"},
    {"no output", 0, 0, false, false, ERRORKIND::ILLEGAL_ARGUMENT, "Cannot merge grids of different sizes!"},
    {"list missing", 8, 6, true, false, ERRORKIND::UNEXPECTED,
     "Could not get parameter TERRAINOPERATOR_MASKING_FIELDS_LIST from linked object!"},
    {"not a list", 8, 6, false, true, ERRORKIND::NULLPTR, "fieldList must not be NULL!"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* first = AddOperator();
    BaseObject* op = AddOperator(first);
    BaseMaterial* observer = AddObserver(op);
    op->GetDataInstance()->SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::OVERLAY));
    SetSlopeBand(op, 0.0, 1.0, 1.0, 1.0);
    SetHeightBand(op, 0.0, 100.0, 1.0, 1.0);
    std::unique_ptr<FieldList> list = FieldList::Alloc();
    ASSERT_TRUE(list->AppendLayer(SolidLayer(0.5)).IsOk());
    SetFieldList(op, *list);
    if (c.removeList)
      op->GetDataInstance()->RemoveData(TERRAINOPERATOR_MASKING_FIELDS_LIST);
    if (c.nonListParameter)
      op->GetDataInstance()->SetFloat(TERRAINOPERATOR_MASKING_FIELDS_LIST, 1.0);
    if (c.outputW > 0)
      SetOutput(op, RandomGrid(c.outputW, c.outputH, 4, 10.0));

    Grid2D<Float> terrain = RandomGrid(8, 6, 3, 50.0);   // header: min/max not computed
    const Grid2D<Float> before = Copy(terrain);
    const Result<void> r = Apply(op, terrain);
    ASSERT_TRUE(r.IsError());
    ExpectError(r.GetError(), c.kind, c.message);
    ExpectSameGrid(terrain, before);
    EXPECT_EQ(CountMessages(observer, MSG_UPDATE), 0);
  }
}

TEST_F(MaskingTest, EmptyTerrainAndOutputFail)
{
  BaseObject* op = AddOperator();
  Grid2D<Float> terrain;
  const Result<void> r = Apply(op, terrain);
  ASSERT_TRUE(r.IsError());
  ExpectError(r.GetError(), ERRORKIND::ILLEGAL_STATE, "terrain size must not be 0!");
}

TEST_F(MaskingTest, OneColumnAndOneRowTerrains)
{
  for (const auto& [w, h] : {std::pair<Int, Int>{1, 6}, {6, 1}, {1, 1}})
  {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    BaseObject* first = AddOperator();
    BaseObject* op = AddOperator(first);
    std::unique_ptr<FieldList> list = FieldList::Alloc();
    ASSERT_TRUE(list->AppendLayer(SolidLayer(0.5)).IsOk());
    SetFieldList(op, *list);
    SetHeightBand(op, 0.0, 10.0, 0.0, 0.0);
    SetSlopeBand(op, 0.0, 1.0, 0.0, 0.0);
    SetOutput(op, MakeGrid(w, h, 10.0, 10.0, [](Int, Int) { return 4.0; }));
    Grid2D<Float> terrain = MakeGrid(w, h, 10.0, 10.0, [](Int x, Int y) { return static_cast<Float>(2 * (x + y)); });
    ASSERT_TRUE(Apply(op, terrain).IsOk());
    for (Int y = 0; y < h; ++y)
      for (Int x = 0; x < w; ++x)
      {
        const Float d = static_cast<Float>(2 * (x + y));
        const Float expected = d <= 10.0 ? d + (4.0 - d) * 0.5 : d;
        EXPECT_EQ(terrain.cells[y * w + x], expected) << x << "," << y;
      }
  }
}

// The masks and the blend give the same bits on the calling thread alone and on all threads.
TEST_F(MaskingTest, OneThreadAndAllThreadsAgree)
{
  BaseObject* field = AddSphereField(Vector(30.0, 5.0, -20.0), 150.0, 0.1);
  BaseObject* first = AddOperator();
  BaseObject* op = AddOperator(first);
  std::unique_ptr<FieldList> list = FieldList::Alloc();
  ASSERT_TRUE(list->AppendLayer(ObjectLayer(field)).IsOk());
  SetFieldList(op, *list);
  SetSlopeBand(op, 0.05, 0.8, 1.0, 0.5);
  SetHeightBand(op, 5.0, 40.0, 0.5, 1.0);
  op->GetDataInstance()->SetFloat(TERRAINOPERATOR_OPACITY, 0.8);

  // Above the one-thread threshold of the preparation loops and bands (10000 cells).
  const Grid2D<Float> start = RandomGrid(211, 157, 21, 50.0);
  SetOutput(op, RandomGrid(211, 157, 22, 50.0));

  Grid2D<Float> parallel = Copy(start);
  Grid2D<Float> slopeParallel;
  Grid2D<Float> heightParallel;
  Grid2D<Float> fieldParallel;
  ASSERT_TRUE(Apply(op, parallel).IsOk());
  ASSERT_TRUE(ApplySlopeMask(slopeParallel, start, 0.05, 0.8, 1.0, 0.5).IsOk());
  ASSERT_TRUE(ApplyHeightMask(heightParallel, start, 5.0, 40.0, 0.5, 1.0).IsOk());
  ASSERT_TRUE(BuildFieldMask(fieldParallel, list.get(), start, context.terrainMatrix, op).IsOk());

  SerialScope serial;
  Grid2D<Float> single = Copy(start);
  Grid2D<Float> slopeSingle;
  Grid2D<Float> heightSingle;
  Grid2D<Float> fieldSingle;
  ASSERT_TRUE(Apply(op, single).IsOk());
  ASSERT_TRUE(ApplySlopeMask(slopeSingle, start, 0.05, 0.8, 1.0, 0.5).IsOk());
  ASSERT_TRUE(ApplyHeightMask(heightSingle, start, 5.0, 40.0, 0.5, 1.0).IsOk());
  ASSERT_TRUE(BuildFieldMask(fieldSingle, list.get(), start, context.terrainMatrix, op).IsOk());

  ExpectSameGrid(parallel, single);
  ExpectSameGrid(slopeParallel, slopeSingle);
  ExpectSameGrid(heightParallel, heightSingle);
  ExpectSameGrid(fieldParallel, fieldSingle);
  // The masks are not trivial: each has cells strictly between 0 and 1.
  for (const Grid2D<Float>* m : {&slopeSingle, &heightSingle, &fieldSingle})
  {
    Int partial = 0;
    for (Int i = 0; i < m->cellCount; ++i)
      partial += m->cells[i] > 0.0 && m->cells[i] < 1.0;
    EXPECT_GT(partial, 0);
  }
}
