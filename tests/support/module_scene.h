// A document with the module's real terrain object and group operator, the test operators of
// test_operators.h registered as real operators (module_terrain.h: in the operator registry, so they get
// add-operator buttons), the icon sheets and blend-mode icons, and the module's resources from the
// source tree.
// Everything process-wide is reset around each test, and a test that leaves a node alive fails.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/gui/keyboard.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "object/operator_group.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "support/module_terrain.h"
#include "support/test_operators.h"
#include "support/host_reset.h"

namespace ogx_test
{
class ModuleSceneTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ResetHostState();
    _live = host::GetLiveNodeCount();
    ASSERT_TRUE(RegisterModuleTerrainAndTestOperators());
    ASSERT_TRUE(RegisterOperatorIcons());
    ASSERT_TRUE(RegisterAddOperatorDescription());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterGroupOperator(25));
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_NE(terrain, nullptr);
    ASSERT_TRUE(doc->InsertObject(terrain, nullptr));
    terrain->SetName("Terrain");
    // Small grids: 5 x 5 cells over 40 x 20.
    TerrainData().SetInt32(TERRAINOBJECT_RESOLUTION_X, 4);
    TerrainData().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 4);
    TerrainData().SetFloat(TERRAINOBJECT_SIZE_X, 40.0);
    TerrainData().SetFloat(TERRAINOBJECT_SIZE_Z, 20.0);
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeIconSheets();
    FreeResource();
    host::SetModuleDirectory(Url());
    ResetHostState();
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
    if (!_tmp.empty())
    {
      std::error_code ec;
      std::filesystem::remove_all(_tmp, ec);
    }
  }


  BaseContainer& TerrainData() { return terrain->GetDataInstanceRef(); }
  TerrainObject* Terrain() { return terrain->GetNodeData<TerrainObject>(); }

  BaseObject* Build(Float lod = 1.0)
  {
    HierarchyContext hh(doc, lod, nullptr, BUILDFLAGS::NONE);
    return host::BuildObjectCache(terrain, &hh);
  }

  // A new operator of that type as parent's last child (the terrain's by default), named, with layer scale
  // 1 and NORMAL blending (so its output replaces what lies below it) unless mode says otherwise; the test
  // operators' value set when given.
  BaseObject* AddOperator(Int32 type, const char* name, BaseObject* parent = nullptr,
                          BLENDMODE mode = BLENDMODE::NORMAL, Float value = 1.0)
  {
    BaseObject* op = BaseObject::Alloc(type);
    EXPECT_NE(op, nullptr);
    if (!op)
      return nullptr;
    EXPECT_TRUE(op->InsertUnderLast(parent ? parent : terrain));
    op->SetName(name);
    BaseContainer& data = op->GetDataInstanceRef();
    data.SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
    data.SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(mode));
    if (type == ID_TEST_GENERATOR || type == ID_TEST_FILTER)
      data.SetFloat(TESTOPERATOR_VALUE, value);
    return op;
  }

  static Bool SendCommand(BaseObject* op, Int32 id)
  {
    DescriptionCommand command{DescID(id)};
    return op->Message(MSG_DESCRIPTION_COMMAND, &command);
  }

  // A folder of this test's own below the temporary directory, removed after the test.
  std::filesystem::path TempDir()
  {
    if (_tmp.empty())
    {
      const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
      _tmp = std::filesystem::temp_directory_path() /
             (std::string("ogx_") + info->test_suite_name() + "_" + info->name());
      std::filesystem::create_directories(_tmp);
    }
    return _tmp;
  }

  BaseDocument* doc = nullptr;
  BaseObject* terrain = nullptr;

private:
  Int _live = 0;
  std::filesystem::path _tmp;
};
} // namespace ogx_test
