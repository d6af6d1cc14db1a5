// The terrain object in a host document: parameters and old scenes, the bounding box, the cache build
// (effective resolution, the cached path, edge falloff, hull, planet, isoparms, phong, memory text, the
// HUD's update), the messages (export through the scripted save dialog, size, resolution and density
// bookkeeping, the cap, the add-operator buttons), the description callbacks and the cell point index.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/geometry/geometrytags.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "host/scene/scenefile.h"

#include "common/ogx_icons.h"
#include "object/terrainmesh.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "support/module_terrain.h"
#include "support/test_operators.h"
#include "support/test_support.h"
#include "support/host_reset.h"

namespace
{
using ogx_test::ID_TEST_FILTER;
using ogx_test::ID_TEST_GENERATOR;
using ogx_test::TESTOPERATOR_VALUE;
using ogx_test::TestFilter;
using ogx_test::TestGenerator;

// A generator whose output rises linearly from -5 at cell 0 to 15 at the last cell, along rows and
// columns alike, so the terrain has a known range and a slope.
inline constexpr Int32 ID_TEST_RAMP = 1099110;

class RampGenerator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<RampGenerator>(); }
  Int computeCount = 0;

  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_GENERATOR; }
  Result<void> ComputeOperator(const Grid2D<Float>&, BaseObject*, BaseDocument*, EvaluationContext& context) override
  {
    ++computeCount;
    HOST_TRY(_output.Init(context.resolutionX + 1, context.resolutionZ + 1, context.sizeX, context.sizeZ));
    const Int w = _output.width;
    const Int h = _output.height;
    for (Int i = 0; i < _output.cellCount; ++i)
      _output.cells[i] = -5.0 + 20.0 * static_cast<Float>(i % w + i / w) / static_cast<Float>(w - 1 + h - 1);
    return OK;
  }
};

class TestHud : public SceneHookData
{
public:
  static NodeData* Alloc() { return NewObj<TestHud>(); }
};

Bool HasMessage(const GeListNode* node, Int32 type)
{
  const std::vector<Int32> log = host::GetMessageLog(node);
  return std::find(log.begin(), log.end(), type) != log.end();
}

Int CountStatusTexts(const String& text)
{
  Int n = 0;
  for (const host::StatusEvent& e : host::GetStatusHistory())
    if (e.kind == host::StatusEvent::KIND::TEXT && e.text == text)
      ++n;
  return n;
}

class TerrainObjectTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ogx_test::ResetHostState();
    ASSERT_TRUE(ogx_test::RegisterModuleTerrainAndTestOperators());
    ASSERT_TRUE(RegisterTerrainOperator(ID_TEST_RAMP, "Ramp", TERRAINOPERATORFLAGS::TYPE_GENERATOR,
                                        RampGenerator::Alloc, "Obaseterrainoperator", nullptr, 0, 22));
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_NE(terrain, nullptr);
    ASSERT_TRUE(doc->InsertObject(terrain, nullptr));
    // Small grids: 5 x 5 cells over 40 x 20.
    Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 4);
    Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 4);
    Data().SetFloat(TERRAINOBJECT_SIZE_X, 40.0);
    Data().SetFloat(TERRAINOBJECT_SIZE_Z, 20.0);
    _tmp = std::filesystem::temp_directory_path() /
           ("ogx_terrainobject_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(_tmp);
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeIconSheets();
    FreeResource();
    host::SetModuleDirectory(Url());
    ogx_test::ResetHostState();
    std::error_code ec;
    std::filesystem::remove_all(_tmp, ec);
  }


  BaseContainer& Data() { return terrain->GetDataInstanceRef(); }
  TerrainObject* Terrain() { return terrain->GetNodeData<TerrainObject>(); }

  BaseObject* Build(Float lod = 1.0, BUILDFLAGS flags = BUILDFLAGS::NONE)
  {
    HierarchyContext hh(doc, lod, nullptr, flags);
    return host::BuildObjectCache(terrain, &hh);
  }

  // An operator as the terrain's last child, its layer scale 1 so its output adds to the terrain as it is.
  BaseObject* AddOperator(Int32 type, Float value = 1.0)
  {
    BaseObject* op = BaseObject::Alloc(type);
    EXPECT_NE(op, nullptr);
    if (!op)
      return nullptr;
    EXPECT_TRUE(op->InsertUnderLast(terrain));
    op->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    op->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, value);
    return op;
  }

  Bool SendCommand(Int32 id)
  {
    DescriptionCommand command{DescID(id)};
    return terrain->Message(MSG_DESCRIPTION_COMMAND, &command);
  }
  Bool SendPostSet(Int32 id)
  {
    const DescID descid(id);
    DescriptionPostSetValue set{&descid};
    return terrain->Message(MSG_DESCRIPTION_POSTSETPARAMETER, &set);
  }
  void SetCap(Int32 cap)
  {
    BaseContainer prefs(ID_OGX_PREFERENCES);
    prefs.SetInt32(1000, cap);
    GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  }
  Url TempFile(const char* name) const { return Url(_tmp / name); }

  BaseDocument* doc = nullptr;
  BaseObject* terrain = nullptr;
  std::filesystem::path _tmp;
};

TEST_F(TerrainObjectTest, Defaults)
{
  BaseObject* fresh = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  ASSERT_NE(fresh, nullptr);
  const BaseContainer& d = fresh->GetDataInstanceRef();
  EXPECT_EQ(d.GetType(TERRAINOBJECT_SIZE_X), DA_REAL);
  EXPECT_EQ(d.GetFloat(TERRAINOBJECT_SIZE_X), 500.0);
  EXPECT_EQ(d.GetFloat(TERRAINOBJECT_SIZE_Z), 500.0);
  EXPECT_EQ(d.GetType(TERRAINOBJECT_RESOLUTION_X), DA_LONG);
  EXPECT_EQ(d.GetInt32(TERRAINOBJECT_RESOLUTION_X), 500);
  EXPECT_EQ(d.GetInt32(TERRAINOBJECT_RESOLUTION_Z), 500);
  EXPECT_EQ(d.GetInt32(TERRAINOBJECT_ISOPARMS), 3);
  EXPECT_EQ(d.GetFloat(TERRAINOBJECT_EDGE_HEIGHT), 0.0);
  EXPECT_FALSE(d.GetBool(TERRAINOBJECT_EDGE_FALLOFF, true));
  EXPECT_FALSE(d.GetBool(TERRAINOBJECT_PLANET, true));
  EXPECT_EQ(d.GetFloat(TERRAINOBJECT_PLANET_RADIUS), 6371.0);
  EXPECT_EQ(d.GetInt32(TERRAINOBJECT_TESSELATION, -1), 0);
  EXPECT_FALSE(d.GetBool(TERRAINOBJECT_HULL, true));
  EXPECT_EQ(d.GetFloat(TERRAINOBJECT_HULL_DEPTH), 10.0);
  EXPECT_TRUE(d.GetBool(TERRAINOBJECT_PHONG, false));
  EXPECT_EQ(d.GetInt32(TERRAINOBJECT_EXPORT_MODE, -1), 0);
  // Set only when the user sets them.
  for (const Int32 id : {TERRAINOBJECT_KEEP_DENSITY, TERRAINOBJECT_PLANET_INSIDE, TERRAINOBJECT_EXPORT,
                         TERRAINOBJECT_INFO})
    EXPECT_FALSE(d.Contains(id)) << id;

  const TerrainObject* data = fresh->GetNodeData<TerrainObject>();
  EXPECT_EQ(data->GetTerrain().cellCount, 0);
  EXPECT_FALSE(data->GetTerrain().minMaxValid);
  EXPECT_EQ(data->GetQueue().GetStatus(), EvaluationQueue::STATUS::UNKNOWN);
  EXPECT_EQ(data->GetCellDensityX(), 0.0);
  EXPECT_EQ(data->GetCellIndexKey(), TerrainObject::CellIndexKey());
  EXPECT_FALSE(TerrainObject().Init(nullptr));
  BaseObject::Free(fresh);
}

TEST_F(TerrainObjectTest, Registration)
{
  const host::PluginEntry* entry = host::FindPlugin(ID_OGX_TERRAINOBJECT);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->type, PLUGINTYPE::OBJECT);
  EXPECT_EQ(entry->name, "#$10" + GeLoadString(10000));
  EXPECT_EQ(entry->info, OBJECT_GENERATOR);
  EXPECT_EQ(entry->description, "oterrain");
  EXPECT_EQ(entry->diskLevel, 1);
  EXPECT_TRUE(entry->hasIcon);
  EXPECT_TRUE(host::Console().Contains(GeLoadString(10019, GeLoadString(10000))));
  IconData icon;
  ASSERT_TRUE(GetIcon(ID_OGX_TERRAINOBJECT, &icon));
  EXPECT_EQ(icon.w, 64);
  EXPECT_EQ(icon.h, 64);

  // Without the icon sheet there is nothing to register.
  host::ResetPlugins();
  FreeIconSheets();
  EXPECT_FALSE(RegisterTerrainObject(10));
  EXPECT_EQ(host::FindPlugin(ID_OGX_TERRAINOBJECT), nullptr);
}

TEST_F(TerrainObjectTest, ReadOldScenes)
{
  // Level 0 stored the hull's bottom height; its negation is the depth, fraction kept. The load's
  // document information also brings a resolution above the cap down to it.
  const char* scene = R"({"format": "ogx-scene", "version": 1, "objects": [
    {"type": 1054563, "name": "Old", "level": 0,
     "params": {"10020": {"Float": -10.5}, "10002": {"Int32": 6000}, "10003": {"Int32": 300}}},
    {"type": 1054563, "name": "New", "level": 1, "params": {"10020": {"Float": -10.5}}}]})";
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(scene, "scene.json");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText();
  BaseDocument* old = loaded.GetValue();
  const BaseContainer& oldData = old->SearchObject("Old")->GetDataInstanceRef();
  EXPECT_EQ(oldData.GetFloat(TERRAINOBJECT_HULL_DEPTH), 10.5);
  EXPECT_EQ(oldData.GetInt32(TERRAINOBJECT_RESOLUTION_X), 4000);
  EXPECT_EQ(oldData.GetInt32(TERRAINOBJECT_RESOLUTION_Z), 300);
  EXPECT_EQ(old->SearchObject("New")->GetDataInstanceRef().GetFloat(TERRAINOBJECT_HULL_DEPTH), -10.5);
  BaseDocument::Free(old);
}

TEST_F(TerrainObjectTest, BoundingBox)
{
  Vector mp(1.0, 1.0, 1.0);
  Vector rad(1.0, 1.0, 1.0);
  Terrain()->GetBoundingBox(terrain, &mp, &rad);
  EXPECT_EQ(mp, Vector());
  EXPECT_EQ(rad, Vector());

  AddOperator(ID_TEST_RAMP);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(Terrain()->GetTerrain().min, -5.0);
  EXPECT_EQ(Terrain()->GetTerrain().max, 15.0);
  Terrain()->GetBoundingBox(terrain, &mp, &rad);
  EXPECT_EQ(mp, Vector(0.0, 5.0, 0.0));
  EXPECT_EQ(rad, Vector(20.0, 10.0, 10.0));
}

TEST_F(TerrainObjectTest, GridToObjectMatrix)
{
  terrain->SetMl(Matrix(Vector(3.0, -2.0, 7.0), Vector(0.0, 0.0, 2.0), Vector(0.0, 1.0, 0.0), Vector(-2.0, 0.0, 0.0)));
  EvaluationContext context;
  InitEvaluationContext(context, 4, 4, 40.0, 20.0, 1.0, terrain, nullptr);
  EXPECT_EQ(context.gridToObjectMatrix * Vector(0.0, 0.0, 0.0), Vector(-20.0, 0.0, 10.0));
  EXPECT_EQ(context.gridToObjectMatrix * Vector(1.0, 1.0, 2.5), Vector(20.0, 2.5, -10.0));
  const Vector back = context.objectToGridMatrix * Vector(5.0, 1.5, -2.5);
  EXPECT_NEAR(back.x, 0.625, 1e-12);
  EXPECT_NEAR(back.y, 0.625, 1e-12);
  EXPECT_NEAR(back.z, 1.5, 1e-12);
  EXPECT_EQ(context.terrainMatrix, terrain->GetMg());
  EXPECT_EQ(context.parentMatrix, Matrix());

  // The mesh puts every cell where the grid mapping says it lies.
  AddOperator(ID_TEST_RAMP);
  auto* mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  const Grid2D<Float>& grid = Terrain()->GetTerrain();
  for (Int i = 0; i < grid.cellCount; ++i)
  {
    const Vector uvh(static_cast<Float>(i % grid.width) / (grid.width - 1),
                     static_cast<Float>(i / grid.width) / (grid.height - 1), grid.cells[i]);
    const Vector expected = context.gridToObjectMatrix * uvh;
    EXPECT_NEAR((mesh->GetPointR()[i] - expected).GetLength(), 0.0, 1e-12) << i;
  }
}

TEST_F(TerrainObjectTest, CoreLockDiagnosticOnDestruction)
{
  const String diagnostic = "The CoreLock is still set while being destructed.";
  BaseObject* unlocked = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  BaseObject::Free(unlocked);
  EXPECT_FALSE(host::Diagnostics().Contains(diagnostic));

  BaseObject* locked = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
  ASSERT_NE(locked, nullptr);
  locked->GetNodeData<TerrainObject>()->GetCellIndexLock().Lock();
  BaseObject::Free(locked);
  EXPECT_EQ(host::Diagnostics().GetLines(), std::vector<String>{diagnostic});
}

TEST_F(TerrainObjectTest, EffectiveResolution)
{
  struct Case
  {
    Int32 resolution;
    Float lod;
    Int32 cap;
    Int expected;
  };
  const Case cases[] = {
    {500, 0.5, 4000, 250},
    {5000, 1.0, 4000, 4000},
    {333, 0.5, 4000, 166},
    {4000, 1.0, 4000, 4000},
    {100, 0.0, 4000, 0},
    {std::numeric_limits<Int32>::max(), 1e300, 4000, 4000},
    {10, std::numeric_limits<Float>::infinity(), 4000, 4000},
    // Nothing a grid can be shaped from.
    {-1, 1.0, 4000, -1},
    {10, -0.5, 4000, -1},
    {10, 1.0, -5, -1},
    {10, std::numeric_limits<Float>::quiet_NaN(), 4000, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ComputeEffectiveResolution(c.resolution, c.lod, c.cap), c.expected)
      << c.resolution << " x " << c.lod << " cap " << c.cap;

  // Through the build: level of detail and the preferences' cap.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 8);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 7);
  ASSERT_NE(Build(0.5), nullptr);
  EXPECT_EQ(Terrain()->GetTerrain().width, 5);
  EXPECT_EQ(Terrain()->GetTerrain().height, 4);
  // The build made the missing preferences container (default cap 4000).
  EXPECT_NE(GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES), nullptr);

  // Neither the cap nor the level of detail touches the object, and there is no operator below it to
  // notice the new shape: the build must still not hand back the mesh of the old resolution.
  SetCap(6);
  BaseObject* capped = Build(1.0);
  ASSERT_NE(capped, nullptr);
  EXPECT_EQ(Terrain()->GetTerrain().width, 7);
  EXPECT_EQ(Terrain()->GetTerrain().height, 7);
  EXPECT_EQ(Terrain()->GetTerrain().sizeX, 40.0);
  EXPECT_EQ(Terrain()->GetTerrain().sizeY, 20.0);
  EXPECT_EQ(static_cast<PolygonObject*>(capped)->GetPointCount(), 49);
  EXPECT_EQ(Build(1.0), capped);
  ASSERT_NE(Build(0.25), nullptr);
  EXPECT_EQ(Terrain()->GetTerrain().width, 3);
  EXPECT_EQ(Terrain()->GetTerrain().height, 2);
}

TEST_F(TerrainObjectTest, NothingChangedReturnsTheCache)
{
  BaseObject* generator = AddOperator(ID_TEST_GENERATOR, 2.0);
  BaseObject* filter = AddOperator(ID_TEST_FILTER, 1.0);
  BaseObject* first = Build();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ogx_test::Control(generator).computeCount, 1);
  EXPECT_EQ(ogx_test::Control(filter).computeCount, 1);
  EXPECT_EQ(Terrain()->GetTerrain().cells[0], 3.0);
  const Int evaluations = CountStatusTexts(GeLoadString(10071, generator->GetName()));
  const String info = Data().GetString(TERRAINOBJECT_INFO);

  EXPECT_EQ(Build(), first);
  EXPECT_EQ(terrain->GetCache(), first);
  EXPECT_EQ(ogx_test::Control(generator).computeCount, 1);
  EXPECT_EQ(ogx_test::Control(filter).computeCount, 1);
  EXPECT_EQ(CountStatusTexts(GeLoadString(10071, generator->GetName())), evaluations);
  EXPECT_EQ(Data().GetString(TERRAINOBJECT_INFO), info);

  // A parameter of the terrain object itself: a new mesh from the cached outputs, blended again.
  Data().SetBool(TERRAINOBJECT_PHONG, false);
  BaseObject* second = Build();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->GetTag(Tphong), nullptr);
  EXPECT_EQ(ogx_test::Control(generator).computeCount, 1);
  EXPECT_EQ(ogx_test::Control(filter).computeCount, 1);
  EXPECT_EQ(Terrain()->GetTerrain().cells[0], 3.0);

  // A new resolution reshapes every operator's output.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 6);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(ogx_test::Control(generator).computeCount, 2);
  EXPECT_EQ(ogx_test::Control(filter).computeCount, 2);
  EXPECT_EQ(Terrain()->GetTerrain().width, 7);
}

namespace
{
// Everything a built mesh holds in its tags (type, and the records of variable tags), its own and
// those of the objects below it, in list order.
std::vector<std::pair<Int32, std::vector<std::byte>>> MeshContent(const BaseObject* op)
{
  std::vector<std::pair<Int32, std::vector<std::byte>>> out;
  for (; op; op = op->GetNext())
  {
    for (const BaseTag* tag = op->GetFirstTag(); tag; tag = tag->GetNext())
    {
      std::vector<std::byte> bytes;
      if (tag->IsInstanceOf(Tvariable))
      {
        const auto* v = static_cast<const VariableTag*>(tag);
        const auto* data = static_cast<const std::byte*>(v->GetLowlevelDataAddressR());
        bytes.assign(data, data + Int(v->GetDataCount()) * v->GetDataSize());
      }
      out.emplace_back(tag->GetType(), std::move(bytes));
    }
    for (auto& entry : MeshContent(op->GetDown()))
      out.push_back(std::move(entry));
  }
  return out;
}
} // namespace

// Rebuilds of the same shape write their mesh into the arrays of the meshes they replaced (the host's
// record pool) and into the terrain grid they keep: each must give exactly the mesh that a first build
// of the same settings gives in fresh memory.
TEST_F(TerrainObjectTest, RebuildsInRecycledStorageGiveTheFreshMesh)
{
  struct Step
  {
    Float value;
    Int32 tessellation;
    Bool hull;
  };
  // Large enough (301 x 301 cells) that every mesh array is recycled; the steps alternate values and
  // layouts so that recycled storage always holds another mesh's records.
  const Step steps[] = {{1.0, 0, false}, {2.0, 0, true}, {3.0, 1, false}, {4.0, 2, true}, {5.0, 1, true},
                        {6.0, 1, false}, {7.0, 0, false}};
  auto setUp = [](BaseObject* terrainObject, BaseObject* generator, const Step& step) {
    BaseContainer& data = terrainObject->GetDataInstanceRef();
    data.SetInt32(TERRAINOBJECT_RESOLUTION_X, 300);
    data.SetInt32(TERRAINOBJECT_RESOLUTION_Z, 300);
    data.SetInt32(TERRAINOBJECT_TESSELATION, step.tessellation);
    data.SetBool(TERRAINOBJECT_HULL, step.hull);
    generator->GetDataInstanceRef().SetFloat(TESTOPERATOR_VALUE, step.value);
  };
  AddOperator(ID_TEST_RAMP);
  BaseObject* generator = AddOperator(ID_TEST_GENERATOR);
  const Vector* recycled = nullptr;
  Bool reused = false;
  for (const Step& step : steps)
  {
    setUp(terrain, generator, step);
    const BaseObject* mesh = Build();
    ASSERT_NE(mesh, nullptr);
    const auto content = MeshContent(mesh);
    reused = reused || static_cast<const PolygonObject*>(mesh)->GetPointR() == recycled;

    // The same settings built once in a document of their own, with nothing to recycle.
    BaseDocument* other = BaseDocument::Alloc();
    BaseObject* fresh = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_TRUE(other->InsertObject(fresh, nullptr));
    fresh->GetDataInstanceRef().SetFloat(TERRAINOBJECT_SIZE_X, 40.0);
    fresh->GetDataInstanceRef().SetFloat(TERRAINOBJECT_SIZE_Z, 20.0);
    BaseObject* ramp = BaseObject::Alloc(ID_TEST_RAMP);
    BaseObject* freshGenerator = BaseObject::Alloc(ID_TEST_GENERATOR);
    ASSERT_TRUE(ramp->InsertUnderLast(fresh));
    ASSERT_TRUE(freshGenerator->InsertUnderLast(fresh));
    ramp->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    freshGenerator->GetDataInstanceRef().SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    setUp(fresh, freshGenerator, step);
    host::FlushRecordStoragePool();
    HierarchyContext hh(other, 1.0, nullptr, BUILDFLAGS::NONE);
    const BaseObject* expected = host::BuildObjectCache(fresh, &hh);
    ASSERT_NE(expected, nullptr);
    EXPECT_TRUE(MeshContent(expected) == content) << "value " << step.value;
    // Freeing the other document recycles its mesh: the next step's build gets these arrays, which hold
    // this step's records.
    recycled = static_cast<const PolygonObject*>(expected)->GetPointR();
    BaseDocument::Free(other);
  }
  EXPECT_TRUE(reused);
}

TEST_F(TerrainObjectTest, FailingOperatorEndsTheBuild)
{
  BaseObject* generator = AddOperator(ID_TEST_GENERATOR);
  ogx_test::Control(generator).failCompute = true;
  ogx_test::Control(generator).failMessage = "Broken operator!";
  EXPECT_EQ(Build(), nullptr);
  EXPECT_TRUE(host::Console().Contains("Broken operator!"));
  EXPECT_EQ(Data().GetString(TERRAINOBJECT_INFO), GeLoadString(10028));
  EXPECT_EQ(terrain->GetCache(), nullptr);

  ogx_test::Control(generator).failCompute = false;
  EXPECT_NE(Build(), nullptr);
  EXPECT_NE(Data().GetString(TERRAINOBJECT_INFO), GeLoadString(10028));
}

TEST_F(TerrainObjectTest, InvalidShapesStopTheBuild)
{
  struct Case
  {
    const char* name;
    Float sizeX;
    Int32 resolutionX;
    Int32 cap;
  };
  const Case cases[] = {
    {"negative size", -5.0, 4, 4000},
    {"size 0", 0.0, 4, 4000},
    {"negative resolution", 40.0, -3, 4000},
    {"resolution -1 (a grid without columns)", 40.0, -1, 4000},
    {"negative cap", 40.0, 4, -10},
  };
  AddOperator(ID_TEST_GENERATOR);
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    host::ResetLogs();
    Data().SetFloat(TERRAINOBJECT_SIZE_X, c.sizeX);
    Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, c.resolutionX);
    SetCap(c.cap);
    EXPECT_EQ(Build(), nullptr);
    EXPECT_EQ(host::Console().GetLast(), "Invalid grid initialization arguments!");
    EXPECT_EQ(Terrain()->GetTerrain().cellCount, 0);
  }
  // And back to a sound shape.
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 40.0);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 4);
  SetCap(4000);
  EXPECT_NE(Build(), nullptr);
}

TEST_F(TerrainObjectTest, EdgeFalloffInTheBuild)
{
  AddOperator(ID_TEST_GENERATOR, 3.0);
  Data().SetBool(TERRAINOBJECT_EDGE_FALLOFF, true);
  Data().SetFloat(TERRAINOBJECT_EDGE_HEIGHT, -4.0);
  auto* mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  const Grid2D<Float>& grid = Terrain()->GetTerrain();
  EXPECT_EQ(grid.cells[0], -4.0);
  EXPECT_EQ(grid.cells[12], 3.0);   // the centre of 5 x 5
  EXPECT_EQ(mesh->GetPointR()[0].y, -4.0);
  // The border lies at the edge height, below everything the operator made: the range reaches it.
  EXPECT_EQ(grid.min, -4.0);
  EXPECT_EQ(grid.max, 3.0);
  Vector mp;
  Vector rad;
  Terrain()->GetBoundingBox(terrain, &mp, &rad);
  EXPECT_EQ(mp, Vector(0.0, -0.5, 0.0));
  EXPECT_EQ(rad.y, 3.5);
}

TEST_F(TerrainObjectTest, HullInTheBuild)
{
  AddOperator(ID_TEST_RAMP);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 2);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 2);
  Data().SetBool(TERRAINOBJECT_HULL, true);
  Data().SetFloat(TERRAINOBJECT_HULL_DEPTH, 10.0);
  auto* mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  const BaseArray<Int32>& ring = Terrain()->GetBorderRing();
  const Int32 expected[] = {0, 1, 2, 5, 8, 7, 6, 3, 0};
  ASSERT_EQ(ring.GetCount(), 9);
  for (Int k = 0; k < 9; ++k)
    EXPECT_EQ(ring[k], expected[k]);

  auto* hull = static_cast<PolygonObject*>(mesh->GetDown());
  ASSERT_NE(hull, nullptr);
  EXPECT_EQ(hull->GetPolygonCount(), 8);
  EXPECT_EQ(hull->GetName(), GeLoadString(10085));
  EXPECT_EQ(hull->GetPointR()[8].y, -10.0);
  EXPECT_TRUE(HasMessage(hull, MSG_UPDATE));
  // The range reaches the hull's bottom.
  EXPECT_EQ(Terrain()->GetTerrain().min, -10.0);
  Vector mp;
  Vector rad;
  Terrain()->GetBoundingBox(terrain, &mp, &rad);
  EXPECT_EQ(mp.y, 2.5);
  EXPECT_EQ(rad.y, 12.5);

  // No hull on a planet.
  Data().SetBool(TERRAINOBJECT_PLANET, true);
  Data().SetFloat(TERRAINOBJECT_PLANET_RADIUS, 100.0);
  mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->GetDown(), nullptr);
  EXPECT_EQ(Terrain()->GetTerrain().min, -5.0);
}

TEST_F(TerrainObjectTest, PlanetInTheBuild)
{
  AddOperator(ID_TEST_RAMP);
  Data().SetBool(TERRAINOBJECT_PLANET, true);
  Data().SetFloat(TERRAINOBJECT_PLANET_RADIUS, 30.0);
  for (const Bool inside : {false, true})
  {
    Data().SetBool(TERRAINOBJECT_PLANET_INSIDE, inside);
    auto* mesh = static_cast<PolygonObject*>(Build());
    ASSERT_NE(mesh, nullptr);
    const Vector centre(0.0, inside ? 30.0 : -30.0, 0.0);
    const Grid2D<Float>& grid = Terrain()->GetTerrain();
    for (Int i = 0; i < grid.cellCount; ++i)
    {
      const Float expected = inside ? 30.0 - grid.cells[i] : 30.0 + grid.cells[i];
      EXPECT_NEAR((mesh->GetPointR()[i] - centre).GetLength(), expected, 1e-9) << i;
    }
  }
}

TEST_F(TerrainObjectTest, IsoparmsAndPhong)
{
  AddOperator(ID_TEST_RAMP);
  auto* mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->GetIsoparm(), nullptr);
  EXPECT_NE(mesh->GetTag(Tphong), nullptr);
  EXPECT_TRUE(HasMessage(mesh, MSG_UPDATE));

  // Three inner lines on a 5 x 5 grid: every row and every column.
  Data().SetFloat(TERRAINOBJECT_EDGE_HEIGHT, 1.0);   // something changed, so the next build is a new one
  mesh = static_cast<PolygonObject*>(Build(1.0, BUILDFLAGS::ISOPARM));
  ASSERT_NE(mesh, nullptr);
  LineObject* iso = mesh->GetIsoparm();
  ASSERT_NE(iso, nullptr);
  EXPECT_EQ(iso->GetSegmentCount(), 10);
  EXPECT_EQ(iso->GetPointCount(), 50);
  EXPECT_EQ(iso->GetPointR()[5], mesh->GetPointR()[5]);

  // A negative count gives only the border lines.
  Data().SetInt32(TERRAINOBJECT_ISOPARMS, -3);
  mesh = static_cast<PolygonObject*>(Build(1.0, BUILDFLAGS::ISOPARM));
  ASSERT_NE(mesh, nullptr);
  ASSERT_NE(mesh->GetIsoparm(), nullptr);
  EXPECT_EQ(mesh->GetIsoparm()->GetSegmentCount(), 4);

  // Tessellation reaches the plane.
  Data().SetInt32(TERRAINOBJECT_TESSELATION, static_cast<Int32>(PLANETESSELATIONMODE::TRIS2));
  mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->GetPolygonCount(), 32);
}

TEST_F(TerrainObjectTest, MemoryText)
{
  AddOperator(ID_TEST_GENERATOR);
  auto* mesh = static_cast<PolygonObject*>(Build());
  ASSERT_NE(mesh, nullptr);
  // 25 cells, 16 quads: grid 8 per cell + 520, the mesh 1, four tags 1 each, points 24, polygons 16 and
  // UVWs 96 bytes apiece.
  const Int expected = 8 * 25 + 520 + 1 + 4 + 24 * 25 + 16 * 16 + 96 * 16;
  EXPECT_EQ(GetTerrainMemoryUsage(*Terrain(), mesh), expected);
  EXPECT_EQ(GetTerrainMemoryUsage(*Terrain(), nullptr), 8 * 25 + 520);
  const Int queueMemory = Terrain()->GetQueue().GetMemoryUsage();
  EXPECT_GT(queueMemory, 0);
  EXPECT_EQ(Data().GetString(TERRAINOBJECT_INFO), FormatMemoryText(static_cast<UInt>(queueMemory + expected)));
}

TEST_F(TerrainObjectTest, HudIsToldAboutTheRebuild)
{
  ASSERT_TRUE(RegisterSceneHookPlugin(ID_OGX_TERRAINHUD_SCENEHOOK, "HUD", 0, TestHud::Alloc, 0, 0));
  AddOperator(ID_TEST_GENERATOR);
  ASSERT_NE(Build(), nullptr);
  BaseSceneHook* hud = doc->FindSceneHook(ID_OGX_TERRAINHUD_SCENEHOOK);
  ASSERT_NE(hud, nullptr);
  EXPECT_TRUE(HasMessage(hud, MSG_UPDATE));
}

TEST_F(TerrainObjectTest, CellPointIndexAgainstBruteForce)
{
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 20);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 12);
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 100.0);
  Data().SetFloat(TERRAINOBJECT_SIZE_Z, 60.0);
  terrain->SetName("Valley");
  ASSERT_NE(Build(), nullptr);
  const Grid2D<Float>& grid = Terrain()->GetTerrain();
  ASSERT_EQ(grid.cellCount, 21 * 13);

  Result<PointIndex*> index = Terrain()->GetCellPointIndex(terrain);
  ASSERT_TRUE(index.IsOk()) << index.GetError().GetText();
  EXPECT_FALSE(Terrain()->GetCellIndexLock().IsLocked());
  EXPECT_EQ(index.GetValue()->GetPointCount(), grid.cellCount);
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, String("Valley"))), 1);

  std::vector<Vector> cells;
  for (Int i = 0; i < grid.cellCount; ++i)
    cells.emplace_back(static_cast<Float>(i % 21) / 20.0 * 100.0 - 50.0, 0.0,
                       30.0 - static_cast<Float>(i / 21) / 12.0 * 60.0);

  std::mt19937 rng(5);
  std::uniform_real_distribution<Float> qx(-60.0, 60.0);
  std::uniform_real_distribution<Float> qz(-40.0, 40.0);
  std::uniform_real_distribution<Float> qy(-3.0, 3.0);
  BaseArray<PointIndexNearest> found;
  for (const Float radius : {0.0, 2.0, 7.5, 20.0, 1000.0})
  {
    for (Int k = 0; k < 40; ++k)
    {
      // Some queries sit exactly on cells (radius 0 must find exactly that one).
      const Vector q = k % 4 == 0 ? cells[static_cast<std::size_t>(k * 7 % grid.cellCount)]
                                  : Vector(qx(rng), qy(rng), qz(rng));
      ASSERT_TRUE(index.GetValue()->FindInRadius(0, q, radius, found).IsOk());
      std::vector<std::pair<Int, Float>> got;
      for (const PointIndexNearest& n : found)
        got.emplace_back(n.node->GetIndex(), n.squaredDistance);
      std::sort(got.begin(), got.end());
      std::vector<std::pair<Int, Float>> want;
      for (Int i = 0; i < grid.cellCount; ++i)
      {
        const Float d2 = (cells[static_cast<std::size_t>(i)] - q).GetSquaredLength();
        if (d2 <= radius * radius)
          want.emplace_back(i, d2);
      }
      ASSERT_EQ(got.size(), want.size()) << "radius " << radius << " query " << k;
      for (std::size_t j = 0; j < got.size(); ++j)
      {
        EXPECT_EQ(got[j].first, want[j].first);
        EXPECT_NEAR(got[j].second, want[j].second, 1e-9);
      }
      if (radius == 0.0 && k % 4 == 0)
      {
        EXPECT_EQ(got.size(), 1u);
      }
    }
  }

  // No change of the grid: the same index at once, not built again.
  Result<PointIndex*> again = Terrain()->GetCellPointIndex(terrain);
  ASSERT_TRUE(again.IsOk());
  EXPECT_EQ(again.GetValue(), index.GetValue());
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, String("Valley"))), 1);

  // A new shape: a new index over it.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 10);
  ASSERT_NE(Build(), nullptr);
  again = Terrain()->GetCellPointIndex(terrain);
  ASSERT_TRUE(again.IsOk());
  EXPECT_EQ(again.GetValue()->GetPointCount(), 11 * 13);
  EXPECT_EQ(Terrain()->GetCellIndexKey(), (TerrainObject::CellIndexKey{11, 13, 143, 100.0, 60.0}));
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, String("Valley"))), 2);

  // Without an object the status names the terrain by its type name.
  Terrain()->InvalidateCellPointIndex();
  EXPECT_EQ(Terrain()->GetCellIndexKey(), TerrainObject::CellIndexKey());
  ASSERT_TRUE(Terrain()->UpdateCellPointIndex(nullptr).IsOk());
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, GeLoadString(10000))), 1);
}

TEST_F(TerrainObjectTest, CellPointIndexErrorsAndThreads)
{
  ASSERT_NE(Build(), nullptr);
  // The search stacks cannot be had: the error comes back, the lock is free and the next call builds.
  {
    host::ScopedAllocationFailure fail(1);
    Result<PointIndex*> failed = Terrain()->GetCellPointIndex(terrain);
    ASSERT_TRUE(failed.IsError());
    EXPECT_EQ(failed.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_FALSE(Terrain()->GetCellIndexLock().IsLocked());
  EXPECT_EQ(Terrain()->GetCellIndexKey(), TerrainObject::CellIndexKey());
  // Points that cannot be stored (the allocation after the stacks') leave no key behind either.
  {
    host::ScopedAllocationFailure fail(2);
    EXPECT_TRUE(Terrain()->GetCellPointIndex(terrain).IsError());
  }
  EXPECT_FALSE(Terrain()->GetCellIndexLock().IsLocked());
  EXPECT_EQ(Terrain()->GetCellIndexKey(), TerrainObject::CellIndexKey());

  // Several threads asking at once: one builds, all get the same complete index.
  host::ResetLogs();
  constexpr Int THREADS = 8;
  std::vector<PointIndex*> results(THREADS, nullptr);
  std::atomic<Int> go{0};
  std::vector<std::thread> threads;
  for (Int t = 0; t < THREADS; ++t)
    threads.emplace_back([&, t] {
      go.fetch_add(1);
      while (go.load() < THREADS)
      {
      }
      Result<PointIndex*> r = Terrain()->GetCellPointIndex(terrain);
      results[static_cast<std::size_t>(t)] = r.IsOk() ? r.GetValue() : nullptr;
    });
  for (std::thread& t : threads)
    t.join();
  for (PointIndex* p : results)
  {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, results[0]);
  }
  EXPECT_EQ(results[0]->GetPointCount(), 25);
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, terrain->GetName())), 1);
}

// The thread count is not part of the index's key: when the host's pool grows after the build, the
// index keeps its points but gets a query state for every thread, so the new workers find cells too.
TEST_F(TerrainObjectTest, CellPointIndexFollowsTheThreadCount)
{
  host::SetThreadCount(2);
  ASSERT_NE(Build(), nullptr);
  Result<PointIndex*> index = Terrain()->GetCellPointIndex(terrain);
  ASSERT_TRUE(index.IsOk());
  EXPECT_EQ(index.GetValue()->GetThreadCount(), 2);
  BaseArray<PointIndexNearest> found;
  ASSERT_TRUE(index.GetValue()->FindInRadius(5, Vector(), 1000.0, found).IsOk());
  EXPECT_TRUE(found.IsEmpty());

  host::SetThreadCount(6);
  Result<PointIndex*> again = Terrain()->GetCellPointIndex(terrain);
  host::SetThreadCount(0);
  ASSERT_TRUE(again.IsOk());
  EXPECT_EQ(again.GetValue(), index.GetValue());
  EXPECT_EQ(again.GetValue()->GetThreadCount(), 6);
  EXPECT_EQ(CountStatusTexts(GeLoadString(10072, terrain->GetName())), 1);   // not built again
  ASSERT_TRUE(again.GetValue()->FindInRadius(5, Vector(), 1000.0, found).IsOk());
  EXPECT_EQ(found.GetCount(), 25);
}

TEST_F(TerrainObjectTest, ParameterChanges)
{
  TerrainObject* t = Terrain();
  // Keep density off: a size sets the densities.
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 500.0);
  Data().SetFloat(TERRAINOBJECT_SIZE_Z, 250.0);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 500);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 100);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(t->GetCellDensityX(), 1.0);
  EXPECT_EQ(t->GetCellDensityZ(), 0.4);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 500);

  // Keep density on: a new size brings the resolution with it.
  Data().SetBool(TERRAINOBJECT_KEEP_DENSITY, true);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_KEEP_DENSITY));
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 1000.0);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 1000);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_Z), 100);
  Data().SetFloat(TERRAINOBJECT_SIZE_Z, 375.0);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_Z));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_Z), 150);

  // A resolution set by the user becomes the density.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 250);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_RESOLUTION_X));
  EXPECT_EQ(t->GetCellDensityX(), 0.25);

  // Sizes of 0 or less keep the density and the resolution; products beyond Int32 are clamped.
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 0.0);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(t->GetCellDensityX(), 0.25);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 250);
  Data().SetFloat(TERRAINOBJECT_SIZE_X, -40.0);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 250);
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 1e300);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), std::numeric_limits<Int32>::max());
  Data().SetFloat(TERRAINOBJECT_SIZE_X, std::numeric_limits<Float>::infinity());
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 77);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 77);

  // Keep density off with a size of 0: the density does not become infinite.
  Data().SetBool(TERRAINOBJECT_KEEP_DENSITY, false);
  Data().SetFloat(TERRAINOBJECT_SIZE_X, 0.0);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
  EXPECT_TRUE(std::isfinite(t->GetCellDensityX()));
  EXPECT_EQ(t->GetCellDensityX(), 0.25);
}

TEST_F(TerrainObjectTest, KeepDensityComesBackToTheRecordedResolution)
{
  // 29 / 700 x 700 is 28.999999999999996 in doubles: a density kept as the quotient loses a cell when
  // the same size is entered again. Each step sets size X and expects resolution X.
  struct Step
  {
    Float size;
    Int32 resolution;
  };
  struct Case
  {
    const char* name;
    Int32 resolution;
    Float size;
    std::vector<Step> steps;
  };
  const Case cases[] = {
    {"the same size again", 29, 700.0, {{700.0, 29}, {700.0, 29}}},
    {"away and back", 29, 700.0, {{100.0, 4}, {700.0, 29}, {1400.0, 58}, {700.0, 29}}},
    {"the exact quotient truncated", 3, 10.0, {{7.0, 2}, {33.0, 9}, {10.0, 3}}},
    {"sizes that do not divide", 1000, 3000.0, {{1000.0, 333}, {3000.0, 1000}, {2999.0, 999}}},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Data().SetBool(TERRAINOBJECT_KEEP_DENSITY, false);
    Data().SetFloat(TERRAINOBJECT_SIZE_X, c.size);
    Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, c.resolution);
    ASSERT_TRUE(SendPostSet(TERRAINOBJECT_RESOLUTION_X));
    Data().SetBool(TERRAINOBJECT_KEEP_DENSITY, true);
    ASSERT_TRUE(SendPostSet(TERRAINOBJECT_KEEP_DENSITY));
    for (const Step& step : c.steps)
    {
      Data().SetFloat(TERRAINOBJECT_SIZE_X, step.size);
      ASSERT_TRUE(SendPostSet(TERRAINOBJECT_SIZE_X));
      EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), step.resolution) << "size " << step.size;
    }
  }
}

TEST_F(TerrainObjectTest, PlanetRadiusFollowsTheSize)
{
  struct Case
  {
    Float sizeX, sizeZ, radius;
    Int32 changed;
    Float expected;
  };
  const Case cases[] = {
    {100.0, 200.0, 50.0, TERRAINOBJECT_SIZE_X, 100.0},
    {100.0, 80.0, 50.0, TERRAINOBJECT_SIZE_X, 80.0},
    {100.0, 200.0, 150.0, TERRAINOBJECT_SIZE_Z, 150.0},
    {100.0, 200.0, 10.0, TERRAINOBJECT_PLANET_RADIUS, 100.0},
    {100.0, 200.0, 10.0, TERRAINOBJECT_HULL, 10.0},
  };
  for (const Case& c : cases)
  {
    Data().SetFloat(TERRAINOBJECT_SIZE_X, c.sizeX);
    Data().SetFloat(TERRAINOBJECT_SIZE_Z, c.sizeZ);
    Data().SetFloat(TERRAINOBJECT_PLANET_RADIUS, c.radius);
    EXPECT_TRUE(SendPostSet(c.changed));
    EXPECT_EQ(Data().GetFloat(TERRAINOBJECT_PLANET_RADIUS), c.expected) << c.changed;
  }
  // A radius change leaves the densities alone.
  EXPECT_EQ(Terrain()->GetCellDensityX(), 0.04);   // from the SIZE_Z case: 4 / 100
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 50);
  EXPECT_TRUE(SendPostSet(TERRAINOBJECT_PLANET_RADIUS));
  EXPECT_EQ(Terrain()->GetCellDensityX(), 0.04);
}

TEST_F(TerrainObjectTest, ResolutionCap)
{
  SetCap(4000);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 6000);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 300);
  EXPECT_TRUE(terrain->Message(MSG_DESCRIPTION_CHECKUPDATE));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 4000);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_Z), 300);

  // The preferences changed: the object checks itself.
  SetCap(250);
  EXPECT_TRUE(terrain->Message(MSG_OGX_PREFERENCES_CHANGED));
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 250);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_Z), 250);
  EXPECT_TRUE(HasMessage(terrain, MSG_DESCRIPTION_CHECKUPDATE));

  // Only the document information of a load.
  SetCap(100);
  DocumentInfoData merge{MSG_DOCUMENTINFO_TYPE_MERGE, doc};
  terrain->Message(MSG_DOCUMENTINFO, &merge);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 250);
  DocumentInfoData load{MSG_DOCUMENTINFO_TYPE_LOAD, doc};
  terrain->Message(MSG_DOCUMENTINFO, &load);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 100);
  EXPECT_TRUE(terrain->Message(MSG_DOCUMENTINFO, nullptr));

  // A missing preferences container is made, and the default cap applies.
  host::ResetWorldContainer();
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 5000);
  terrain->Message(MSG_DESCRIPTION_CHECKUPDATE);
  EXPECT_EQ(Data().GetInt32(TERRAINOBJECT_RESOLUTION_X), 4000);
  EXPECT_NE(GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES), nullptr);
}

TEST_F(TerrainObjectTest, ExportHeightsAndSlopes)
{
  AddOperator(ID_TEST_RAMP);
  terrain->SetName("Ridge.v2");
  ASSERT_NE(Build(), nullptr);
  const Grid2D<Float>& grid = Terrain()->GetTerrain();

  host::QueueFileSelectAnswer(TempFile("heights.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  ASSERT_EQ(host::GetFileSelects().size(), 1u);
  const host::FileSelectRecord record = host::GetFileSelects()[0];
  EXPECT_EQ(record.title, GeLoadString(10029));
  EXPECT_EQ(record.proposedName, "Terrain_Ridge.v2_" + GeLoadString(10030) + ".tif");
  EXPECT_EQ(record.suffix, "tif");
  EXPECT_EQ(record.mode, FILESELECT::SAVE);
  EXPECT_TRUE(record.confirmed);

  BaseBitmap* heights = BaseBitmap::Alloc();
  ASSERT_EQ(heights->Init(TempFile("heights.tif")), IMAGERESULT::OK);
  ASSERT_TRUE(heights->IsGreyFloat());
  ASSERT_EQ(heights->GetBw(), grid.width);
  ASSERT_EQ(heights->GetBh(), grid.height);
  for (Int i = 0; i < grid.cellCount; ++i)
  {
    const Float expected = (grid.cells[i] + 5.0) / 20.0;
    EXPECT_NEAR(heights->GetGreyFloat(static_cast<Int32>(i % grid.width), static_cast<Int32>(i / grid.width)),
                expected, 1e-6)
      << i;
  }
  BaseBitmap::Free(heights);

  // The slope map: the angle of each cell's normal to the up direction, over a right angle.
  Data().SetInt32(TERRAINOBJECT_EXPORT_MODE, TERRAINOBJECT_EXPORT_MODE_SLOPES);
  host::QueueFileSelectAnswer(TempFile("slopes.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  EXPECT_EQ(host::GetFileSelects().back().proposedName, "Terrain_Ridge.v2_" + GeLoadString(10031) + ".tif");
  BaseBitmap* slopes = BaseBitmap::Alloc();
  ASSERT_EQ(slopes->Init(TempFile("slopes.tif")), IMAGERESULT::OK);
  std::vector<Float> slopeValues;
  for (Int i = 0; i < grid.cellCount; ++i)
  {
    const Vector n = grid.GetNormal(i % grid.width, i / grid.width);
    slopeValues.push_back(std::atan2(std::sqrt(n.x * n.x + n.z * n.z), n.y) / (M_PI / 2.0));
  }
  const Float lo = *std::min_element(slopeValues.begin(), slopeValues.end());
  const Float hi = *std::max_element(slopeValues.begin(), slopeValues.end());
  ASSERT_GT(hi - lo, 0.0);
  for (Int i = 0; i < grid.cellCount; ++i)
    EXPECT_NEAR(slopes->GetGreyFloat(static_cast<Int32>(i % grid.width), static_cast<Int32>(i / grid.width)),
                (slopeValues[static_cast<std::size_t>(i)] - lo) / (hi - lo), 1e-5)
      << i;
  BaseBitmap::Free(slopes);
  EXPECT_TRUE(host::GetMessageDialogs().empty());
}

TEST_F(TerrainObjectTest, ExportEdgeCases)
{
  // Fewer than 8 cells: nothing to export.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 1);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 1);
  ASSERT_NE(Build(), nullptr);
  host::QueueFileSelectAnswer(TempFile("none.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  EXPECT_TRUE(host::GetFileSelects().empty());
  host::ResetDialogs();

  // A flat terrain's slope map is all zero.
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_X, 4);
  Data().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 4);
  Data().SetInt32(TERRAINOBJECT_EXPORT_MODE, TERRAINOBJECT_EXPORT_MODE_SLOPES);
  ASSERT_NE(Build(), nullptr);
  host::QueueFileSelectAnswer(TempFile("flat.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  BaseBitmap* flat = BaseBitmap::Alloc();
  ASSERT_EQ(flat->Init(TempFile("flat.tif")), IMAGERESULT::OK);
  for (Int32 y = 0; y < 5; ++y)
    for (Int32 x = 0; x < 5; ++x)
      EXPECT_EQ(flat->GetGreyFloat(x, y), 0.0f);
  BaseBitmap::Free(flat);

  // A path separator in the object's name stays in the file name, not in the path.
  terrain->SetName("North/South");
  host::QueueFileSelectDirectoryAnswer(Url(_tmp));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  EXPECT_EQ(host::GetFileSelects().back().proposedName, "Terrain_North_South_" + GeLoadString(10031) + ".tif");
  EXPECT_TRUE(std::filesystem::exists(_tmp / ("Terrain_North_South_" + GeLoadString(10031) + ".tif")));

  // Cancelled: no file, no complaint.
  host::QueueFileSelectCancel();
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  EXPECT_FALSE(host::GetFileSelects().back().confirmed);
  EXPECT_TRUE(host::GetMessageDialogs().empty());

  // A file that cannot be written: the user is told.
  host::QueueFileSelectAnswer(Url(_tmp / "missing" / "folder" / "map.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  ASSERT_EQ(host::GetMessageDialogs().size(), 1u);
  EXPECT_EQ(host::GetMessageDialogs()[0].type, GEMB_ICONEXCLAMATION);
  EXPECT_EQ(host::GetMessageDialogs()[0].text, GeLoadString(10033));
}

TEST_F(TerrainObjectTest, ExportKeepsTheBoundingBox)
{
  AddOperator(ID_TEST_RAMP);
  Data().SetBool(TERRAINOBJECT_HULL, true);
  Data().SetFloat(TERRAINOBJECT_HULL_DEPTH, 30.0);
  ASSERT_NE(Build(), nullptr);
  Vector mp;
  Vector rad;
  Terrain()->GetBoundingBox(terrain, &mp, &rad);
  host::QueueFileSelectAnswer(TempFile("heights.tif"));
  EXPECT_TRUE(SendCommand(TERRAINOBJECT_EXPORT));
  Vector mpAfter;
  Vector radAfter;
  Terrain()->GetBoundingBox(terrain, &mpAfter, &radAfter);
  EXPECT_EQ(mpAfter, mp);
  EXPECT_EQ(radAfter, rad);
  EXPECT_EQ(Terrain()->GetTerrain().min, -30.0);

  // The map itself still spans the cells' own range.
  BaseBitmap* heights = BaseBitmap::Alloc();
  ASSERT_EQ(heights->Init(TempFile("heights.tif")), IMAGERESULT::OK);
  EXPECT_EQ(heights->GetGreyFloat(0, 0), 0.0f);
  EXPECT_EQ(heights->GetGreyFloat(4, 4), 1.0f);
  BaseBitmap::Free(heights);
}

TEST_F(TerrainObjectTest, AddOperatorButtons)
{
  BaseObject* first = AddOperator(ID_TEST_GENERATOR);
  EXPECT_TRUE(SendCommand(ID_TEST_FILTER));
  BaseObject* added = terrain->GetDownLast();
  ASSERT_NE(added, nullptr);
  EXPECT_NE(added, first);
  EXPECT_EQ(added->GetType(), ID_TEST_FILTER);
  EXPECT_EQ(added->GetPred(), first);
  EXPECT_TRUE(terrain->GetNBit(NBIT::OM1_FOLD));
  ASSERT_EQ(host::GetUndoSteps(doc).size(), 1u);
  EXPECT_EQ(host::GetUndoSteps(doc)[0].entries[0].type, UNDOTYPE::NEWOBJ);

  // An id that is no operator's makes nothing.
  EXPECT_TRUE(SendCommand(Onull));
  EXPECT_EQ(terrain->GetDownLast(), added);
  EXPECT_TRUE(terrain->Message(MSG_DESCRIPTION_COMMAND, nullptr));
}

TEST_F(TerrainObjectTest, Description)
{
  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  ASSERT_TRUE(terrain->GetDescription(description, flags));
  EXPECT_TRUE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
  EXPECT_EQ(description->GetResourceName(), "oterrain");
  for (const Int32 id : {TERRAINOBJECT_SIZE_X, TERRAINOBJECT_SIZE_Z, TERRAINOBJECT_RESOLUTION_X,
                         TERRAINOBJECT_RESOLUTION_Z, TERRAINOBJECT_ISOPARMS, TERRAINOBJECT_KEEP_DENSITY,
                         TERRAINOBJECT_EDGE_HEIGHT, TERRAINOBJECT_EDGE_FALLOFF, TERRAINOBJECT_PLANET,
                         TERRAINOBJECT_PLANET_RADIUS, TERRAINOBJECT_PLANET_INSIDE, TERRAINOBJECT_PHONG,
                         TERRAINOBJECT_TESSELATION, TERRAINOBJECT_HULL, TERRAINOBJECT_HULL_DEPTH,
                         TERRAINOBJECT_EXPORT_MODE, TERRAINOBJECT_EXPORT, TERRAINOBJECT_INFO})
    EXPECT_NE(description->FindEntry(id), nullptr) << id;
  // The add-operator buttons, one per registered operator, in the open button group.
  const DescriptionEntry* group = description->FindEntry(ID_OGX_ADDOPERATOR_GROUP);
  ASSERT_NE(group, nullptr);
  EXPECT_TRUE(group->attributes.GetBool(DESC_GROUPOPEN));
  for (const Int32 id : {ID_TEST_GENERATOR, ID_TEST_RAMP, ID_TEST_FILTER})
  {
    const DescriptionEntry* button = description->FindEntry(id);
    ASSERT_NE(button, nullptr) << id;
    EXPECT_EQ(button->parent, ID_OGX_ADDOPERATOR_GROUP);
  }
  Description::Free(description);

  // No description to fill, or no resource to fill it from.
  EXPECT_FALSE(Terrain()->GetDDescription(terrain, nullptr, flags));
  host::SetModuleDirectory(Url());
  description = Description::Alloc();
  flags = DESCFLAGS_DESC::NONE;
  EXPECT_FALSE(terrain->GetDescription(description, flags));
  EXPECT_FALSE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
  Description::Free(description);
}

TEST_F(TerrainObjectTest, Enabling)
{
  struct Case
  {
    Int32 id;
    Int32 switchId;   // 0: always enabled
    Bool whenOn;
  };
  const Case cases[] = {
    {TERRAINOBJECT_EDGE_HEIGHT, TERRAINOBJECT_EDGE_FALLOFF, true},
    {TERRAINOBJECT_PLANET_RADIUS, TERRAINOBJECT_PLANET, true},
    {TERRAINOBJECT_PLANET_INSIDE, TERRAINOBJECT_PLANET, true},
    {TERRAINOBJECT_HULL, TERRAINOBJECT_PLANET, false},
    {TERRAINOBJECT_HULL_DEPTH, TERRAINOBJECT_HULL, true},
    {TERRAINOBJECT_SIZE_X, 0, true},
    {TERRAINOBJECT_EXPORT, 0, true},
  };
  for (const Case& c : cases)
  {
    for (const Bool on : {false, true})
    {
      if (c.switchId != 0)
        Data().SetBool(c.switchId, on);
      const Bool expected = c.switchId == 0 ? true : (on == c.whenOn);
      EXPECT_EQ(terrain->GetDEnabling(DescID(c.id), GeData()), expected) << c.id << " switch " << on;
    }
  }
}

TEST_F(TerrainObjectTest, SlopeGrid)
{
  struct Case
  {
    Vector normal;
    Float expected;
  };
  const Case cases[] = {
    {{0.0, 1.0, 0.0}, 0.0},
    {{0.0, 3.0, 0.0}, 0.0},
    {{1.0, 0.0, 0.0}, 1.0},
    {{0.0, -1.0, 0.0}, 2.0},
    {{0.0, 0.0, 0.0}, 1.0},
    {{1.0, 1.0, 0.0}, 0.5},
    {{0.0, 1.0, -1.0}, 0.5},
  };
  Grid2D<Vector> normals;
  ASSERT_TRUE(normals.Init(static_cast<Int>(std::size(cases)), 1, 1.0, 1.0).IsOk());
  for (std::size_t i = 0; i < std::size(cases); ++i)
    normals.cells[static_cast<Int>(i)] = cases[i].normal;
  Grid2D<Float> slopes;
  ASSERT_TRUE(slopes.Init(normals.width, 1, 1.0, 1.0).IsOk());
  ASSERT_TRUE(ComputeSlopeGrid(normals, slopes, Vector(0.0, 1.0, 0.0)).IsOk());
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_NEAR(slopes.cells[static_cast<Int>(i)], cases[i].expected, 1e-15) << i;

  Grid2D<Float> wrong;
  ASSERT_TRUE(wrong.Init(2, 2, 1.0, 1.0).IsOk());
  Result<void> refused = ComputeSlopeGrid(normals, wrong, Vector(0.0, 1.0, 0.0));
  ASSERT_TRUE(refused.IsError());
  EXPECT_EQ(refused.GetError().GetText(), "Slope grid and normals differ in size!");
}
} // namespace
