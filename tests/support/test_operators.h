// Small operators for tests of the operator base and the evaluation queue: a generator that fills its
// output with a constant and a filter that adds a constant to its input. Both count their computations,
// can be told to fail, and record what the terrain looked like when they were computed. Their plug-ins
// describe themselves with the shared operator description ("Obaseterrainoperator").
//
// Register them (and the stand-in parent types) after host::ResetSceneState(); the ids are the tests'
// own, far from the module's.
#pragma once

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/operatorregistry.h"
#include "support/host_reset.h"

namespace ogx_test
{
inline constexpr Int32 ID_TEST_GENERATOR = 1099101;
inline constexpr Int32 ID_TEST_FILTER = 1099102;
// The group operator's id, for queues built under a group (a plain object plug-in stands in for it).
inline constexpr Int32 ID_GROUPOPERATOR = ID_OGX_GROUPOPERATOR;

// The operators' own parameter: the generator's constant, the filter's added value.
inline constexpr Int32 TESTOPERATOR_VALUE = 5001;
// A second parameter of their own that they do not list as recomputing (only blends again).
inline constexpr Int32 TESTOPERATOR_UNLISTED = 5002;

// What a test can set on one operator and read back from it.
struct TestOperatorControl
{
  TERRAINOPERATORFLAGS extraFlags = TERRAINOPERATORFLAGS::NONE;   // added to the type flag
  Bool listIds = true;            // GetDirtyParameterIds lists TESTOPERATOR_VALUE
  Bool failCompute = false;       // ComputeOperator fails with failMessage
  String failMessage = "Test operator failed!";
  Bool forceDirty = false;        // IsOperatorDirty answers true

  Int computeCount = 0;
  Int dirtyQueries = 0;           // IsOperatorDirty calls
  // The terrain as the last computation saw it.
  Float seenMin = 0.0;
  Float seenMax = 0.0;
  Bool seenMinMaxValid = false;
};

template <TERRAINOPERATORFLAGS TYPE>
class TestOperatorData : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<TestOperatorData>(); }

  TestOperatorControl control;

  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TYPE | control.extraFlags; }

  Bool InitOperatorParameters(GeListNode*, BaseContainer& data) override
  {
    data.SetFloat(TESTOPERATOR_VALUE, 1.0);
    data.SetFloat(TESTOPERATOR_UNLISTED, 0.0);
    return true;
  }

  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                               EvaluationContext& context) override
  {
    ++control.computeCount;
    control.seenMin = terrain.min;
    control.seenMax = terrain.max;
    control.seenMinMaxValid = terrain.minMaxValid;
    if (control.failCompute)
      return UnexpectedError(control.failMessage);
    const Float value = op->GetDataInstanceRef().GetFloat(TESTOPERATOR_VALUE);
    HOST_TRY(_output.Init(context.resolutionX + 1, context.resolutionZ + 1, context.sizeX, context.sizeZ));
    for (Int i = 0; i < _output.cellCount; ++i)
    {
      if constexpr (TYPE == TERRAINOPERATORFLAGS::TYPE_FILTER)
        _output.cells[i] = (i < terrain.cellCount ? terrain.cells[i] : 0.0) + value;
      else
        _output.cells[i] = value;
    }
    return OK;
  }

  Bool IsOperatorDirty(BaseObject*, BaseDocument*, EvaluationContext&) override
  {
    ++control.dirtyQueries;
    return control.forceDirty;
  }

  Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&) override
  {
    if (!control.listIds)
      return false;
    return ids.Append(TESTOPERATOR_VALUE).IsOk();
  }

  // Test access to the base's state.
  const Grid2D<Float>& Difference() const { return _customOutput; }
  Grid2D<Float>& Output() { return _output; }
};

using TestGenerator = TestOperatorData<TERRAINOPERATORFLAGS::TYPE_GENERATOR>;
using TestFilter = TestOperatorData<TERRAINOPERATORFLAGS::TYPE_FILTER>;

// A plain object plug-in that stands in for the terrain object and the group operator as queue parents.
class PlainObjectData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<PlainObjectData>(); }
};

// Registers both test operators with the shared operator description, and the stand-in parents.
inline Bool RegisterTestOperators()
{
  return RegisterObjectPlugin(ID_TEST_GENERATOR, "Test generator", OBJECT_GENERATOR, TestGenerator::Alloc,
                              "Obaseterrainoperator", nullptr, 1) &&
         RegisterObjectPlugin(ID_TEST_FILTER, "Test filter", OBJECT_GENERATOR, TestFilter::Alloc,
                              "Obaseterrainoperator", nullptr, 1) &&
         RegisterObjectPlugin(ID_OGX_TERRAINOBJECT, "Terrain", OBJECT_GENERATOR, PlainObjectData::Alloc, String(),
                              nullptr, 1) &&
         RegisterObjectPlugin(ID_GROUPOPERATOR, "Group", OBJECT_GENERATOR, PlainObjectData::Alloc, String(), nullptr,
                              1);
}

inline TestOperatorControl& Control(BaseObject* op)
{
  // The control of the node's own instantiation.
  if (op->GetType() == ID_TEST_FILTER)
    return op->GetNodeData<TestFilter>()->control;
  return op->GetNodeData<TestGenerator>()->control;
}

// A document with a terrain object (the stand-in) at the top, the module's resources loaded from the
// source tree and the test operators registered; everything process-wide is reset around each test.
class OperatorSceneTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ResetHostState();
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
    ASSERT_TRUE(RegisterTestOperators());
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_NE(terrain, nullptr);
    ASSERT_TRUE(doc->InsertObject(terrain, nullptr));
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeResource();
    host::SetModuleDirectory(Url());
    ResetHostState();
  }


  // A new operator of that type as the last child of parent (the terrain object by default).
  BaseObject* AddOperator(Int32 type, BaseObject* parent = nullptr)
  {
    BaseObject* op = BaseObject::Alloc(type);
    EXPECT_NE(op, nullptr);
    if (op)
    {
      EXPECT_TRUE(op->InsertUnderLast(parent ? parent : terrain));
    }
    return op;
  }

  // The context of a rebuild at resolution res by res over size by size (the grids have res + 1 cells
  // per axis).
  EvaluationContext MakeContext(Int res = 2, Float size = 10.0)
  {
    EvaluationContext context;
    InitEvaluationContext(context, res, res, size, size, 1.0, terrain, nullptr);
    return context;
  }

  BaseDocument* doc = nullptr;
  BaseObject* terrain = nullptr;
};

inline OGX::BaseTerrainOperatorData* OperatorData(BaseObject* op)
{
  return op->GetNodeData<OGX::BaseTerrainOperatorData>();
}

// What the registration of one of the module's operators leaves behind, for an operator registered
// alone (registry entry 0) from the loaded main icon sheet.
struct ExpectedRegistration
{
  Int32 id;
  const char* name;
  TERRAINOPERATORFLAGS flags;
  const char* consoleLine;
  const char* menuName;
  const char* description;
  Int32 iconX;
  Int32 iconY;
};

// The registry entry, the console line, the host plug-in (generator info, the description, the disk
// level the host stores) and the icon, which must be the main sheet's 64 x 64 cell at (iconX, iconY).
inline void ExpectRegisteredOperator(const ExpectedRegistration& want)
{
  ASSERT_EQ(g_operatorRegistry.GetCount(), 1);
  EXPECT_EQ(g_operatorRegistry[0].id, want.id);
  EXPECT_EQ(g_operatorRegistry[0].name, String(want.name));
  EXPECT_EQ(g_operatorRegistry[0].flags, static_cast<Int32>(want.flags));
  EXPECT_TRUE(host::Console().Contains(want.consoleLine));

  const host::PluginEntry* entry = host::FindPlugin(want.id);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->name, String(want.menuName));
  EXPECT_EQ(entry->description, String(want.description));
  EXPECT_EQ(entry->diskLevel, 1);
  EXPECT_TRUE(entry->hasIcon);

  IconData icon;
  ASSERT_TRUE(GetIcon(want.id, &icon));
  EXPECT_EQ(icon.w, 64);
  EXPECT_EQ(icon.h, 64);
  BaseBitmap* sheet = MainIconSheet();
  ASSERT_NE(sheet, nullptr);
  for (const auto& [x, y] : {std::pair{0, 0}, std::pair{63, 0}, std::pair{17, 41}, std::pair{63, 63}})
  {
    UInt16 r1, g1, b1, r2, g2, b2;
    icon.bmp->GetPixel(x, y, &r1, &g1, &b1);
    sheet->GetPixel(want.iconX + x, want.iconY + y, &r2, &g2, &b2);
    EXPECT_EQ(std::tuple(r1, g1, b1), std::tuple(r2, g2, b2)) << x << "," << y;
  }
}
} // namespace ogx_test
