// A fixture for the gradient and spline operators: the module's resources and icon sheets loaded, the
// shared descriptions, the real terrain object and both operators registered, the host's spline
// generator back in the plug-in table, and a terrain object at the top of a document.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "common/ogx_icons.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "host/splines/splinegenerator.h"
#include "host/splines/splinehelp.h"
#include "object/operator_gradient.h"
#include "object/operator_spline.h"
#include "object/terraindistortion.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "support/test_support.h"
#include "support/host_reset.h"

namespace ogx_test
{
class ShapeOperatorTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ResetHostState();
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterDistortionDescription());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterTerrainObject(10));
    ASSERT_TRUE(RegisterSplineOperator(23));
    ASSERT_TRUE(RegisterGradientOperator(24));
    ASSERT_TRUE(host::RegisterSplineGenerators());
    doc = BaseDocument::Alloc();
    ASSERT_NE(doc, nullptr);
    terrain = BaseObject::Alloc(ID_OGX_TERRAINOBJECT);
    ASSERT_NE(terrain, nullptr);
    ASSERT_TRUE(doc->InsertObject(terrain, nullptr));
    live = host::GetLiveNodeCount();
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeIconSheets();
    FreeResource();
    host::SetModuleDirectory(Url());
    ResetHostState();
  }


  BaseContainer& Data(BaseObject* op) { return op->GetDataInstanceRef(); }
  TerrainObject* Terrain() { return terrain->GetNodeData<TerrainObject>(); }

  // The terrain's resolution and size (its grid has res + 1 cells per axis).
  void Shape(Int32 resX, Int32 resZ, Float sizeX, Float sizeZ)
  {
    Data(terrain).SetInt32(TERRAINOBJECT_RESOLUTION_X, resX);
    Data(terrain).SetInt32(TERRAINOBJECT_RESOLUTION_Z, resZ);
    Data(terrain).SetFloat(TERRAINOBJECT_SIZE_X, sizeX);
    Data(terrain).SetFloat(TERRAINOBJECT_SIZE_Z, sizeZ);
  }

  // An operator as the terrain's last child.
  BaseObject* AddOperator(Int32 type)
  {
    BaseObject* op = BaseObject::Alloc(type);
    EXPECT_NE(op, nullptr);
    if (op)
    {
      EXPECT_TRUE(op->InsertUnderLast(terrain));
    }
    return op;
  }

  BaseObject* Build(HostThread* thread = nullptr)
  {
    HierarchyContext hh(doc, 1.0, thread, BUILDFLAGS::NONE);
    return host::BuildObjectCache(terrain, &hh);
  }

  OGX::BaseTerrainOperatorData* OperatorData(BaseObject* op) { return op->GetNodeData<OGX::BaseTerrainOperatorData>(); }
  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }
  std::vector<Float> Cells(const Grid2D<Float>& g) { return std::vector<Float>(g.cells.begin(), g.cells.end()); }

  BaseDocument* doc = nullptr;
  BaseObject* terrain = nullptr;
  Int live = 0;
};
} // namespace ogx_test
