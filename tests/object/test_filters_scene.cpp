// The shipped scene scenes/filters-blur-sharpen.json built by the module as the front end builds it: a
// noise terrain, a Gaussian blur below it and a separable sharpen masked by a height band. Its render is
// checked by the scene test of the front end; this one checks what the filters do to the heights.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/ogx_icons.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "host/scene/scenefile.h"
#include "object/operator_blur.h"
#include "object/operator_noise.h"
#include "object/operator_sharpen.h"
#include "object/terraindistortion.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "support/test_operators.h"
#include "support/host_reset.h"

namespace
{
// The operator scene fixture's host set-up and clean-up, with the module's own terrain object in place
// of the stand-in.
class FiltersSceneTest : public ogx_test::OperatorSceneTest
{
protected:
  void SetUp() override
  {
    ogx_test::ResetHostState();
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterDistortionDescription());
    ASSERT_TRUE(RegisterAddOperatorDescription());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterTerrainObject(10));
    ASSERT_TRUE(RegisterNoiseOperator(21));
    ASSERT_TRUE(RegisterBlurOperator(34));
    ASSERT_TRUE(RegisterSharpenOperator(35));
    std::ifstream in(std::string(OGX_SOURCE_DIR) + "/scenes/filters-blur-sharpen.json");
    std::stringstream text;
    text << in.rdbuf();
    scene = text.str();
    ASSERT_FALSE(scene.empty());
  }
  void TearDown() override
  {
    FreeIconSheets();
    OperatorSceneTest::TearDown();
  }

  // The terrain heights of the scene with the named operators switched off.
  std::vector<Float> Heights(std::initializer_list<const char*> disabled)
  {
    std::string text = scene;
    for (const char* name : disabled)
    {
      const std::string key = std::string("\"name\": \"") + name + "\",";
      const std::size_t at = text.find(key);
      EXPECT_NE(at, std::string::npos) << name;
      if (at != std::string::npos)
        text.insert(at + key.size(), " \"enabled\": false,");
    }
    Result<BaseDocument*> loaded = host::LoadDocumentFromText(String(text), "filters-blur-sharpen.json");
    EXPECT_TRUE(loaded.IsOk());
    if (loaded.IsError())
      return {};
    BaseDocument* sceneDoc = loaded.GetValue();
    BaseObject* sceneTerrain = sceneDoc->GetFirstObject();
    HierarchyContext hh(sceneDoc, 1.0, nullptr, BUILDFLAGS::NONE);
    EXPECT_NE(host::BuildObjectCache(sceneTerrain, &hh), nullptr) << host::Console().GetLast().c_str();
    const Grid2D<Float>& grid = sceneTerrain->GetNodeData<TerrainObject>()->GetTerrain();
    std::vector<Float> heights(grid.cells.begin(), grid.cells.end());
    width = grid.width;
    BaseDocument::Free(sceneDoc);
    return heights;
  }

  // Curvature energy: the sum over the inner cells of the squared discrete Laplacian.
  Float Curvature(const std::vector<Float>& h) const
  {
    auto at = [&](Int x, Int y) { return h[static_cast<std::size_t>(y * width + x)]; };
    Float sum = 0.0;
    const Int height = static_cast<Int>(h.size()) / width;
    for (Int y = 1; y + 1 < height; ++y)
      for (Int x = 1; x + 1 < width; ++x)
      {
        const Float l = at(x - 1, y) + at(x + 1, y) + at(x, y - 1) + at(x, y + 1) - 4.0 * at(x, y);
        sum += l * l;
      }
    return sum;
  }

  std::string scene;
  Int width = 0;
};
} // namespace

TEST_F(FiltersSceneTest, TheBlurSmoothsAndTheSharpenChangesOnlyTheBand)
{
  const std::vector<Float> noise = Heights({"Soften", "Crisp Peaks"});
  const std::vector<Float> blurred = Heights({"Crisp Peaks"});
  const std::vector<Float> full = Heights({});
  ASSERT_EQ(noise.size(), 401u * 241u);
  ASSERT_EQ(blurred.size(), noise.size());
  ASSERT_EQ(full.size(), noise.size());

  // The Gaussian of radius 4 takes out most of the curvature (the ridges' creases above all).
  EXPECT_LT(Curvature(blurred), 0.25 * Curvature(noise));

  // The sharpen's band starts at height 60: below it the blurred terrain stays as it is, inside it the
  // sharpen shows.
  Int below = 0, changed = 0;
  for (std::size_t k = 0; k < full.size(); ++k)
  {
    if (blurred[k] < 60.0)
    {
      ++below;
      ASSERT_EQ(full[k], blurred[k]) << k;
    }
    else if (full[k] != blurred[k])
      ++changed;
  }
  EXPECT_GT(below, 1000);
  EXPECT_GT(changed, 1000);
}
