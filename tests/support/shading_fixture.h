// A fixture for tests of the shader operator and the channel shader: the operator scene of
// test_operators.h with the icon sheets, the operator base description and the shader operator
// registered, and a check that no gradient is left alive.
#pragma once

#include "common/ogx_icons.h"
#include "host/shading/gradient.h"
#include "object/operator_shader.h"
#include "support/test_operators.h"

namespace ogx_test
{
class ShadingSceneTest : public OperatorSceneTest
{
protected:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterShaderOperator(22));
    _gradients = host::GetLiveGradientCount();
  }
  void TearDown() override
  {
    BaseDocument::Free(doc);
    FreeIconSheets();
    OperatorSceneTest::TearDown();
    EXPECT_EQ(host::GetLiveGradientCount(), _gradients) << "gradients were left alive";
  }

  Int _gradients = 0;
};
} // namespace ogx_test
