// For tests that build the module's own terrain object over the test operators: the module's
// resources and icon sheets from the source tree, the terrain object registered as start-up registers
// it, and the test generator and filter registered through the operator registry. The test frees the
// sheets and the resources (FreeIconSheets, FreeResource) and resets the host afterwards.
#pragma once

#include <gtest/gtest.h>

#include "common/ogx_icons.h"
#include "host/scene/resource.h"
#include "object/terrainobject.h"
#include "support/test_operators.h"

namespace ogx_test
{
inline ::testing::AssertionResult RegisterModuleTerrainAndTestOperators()
{
  host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
  if (!InitResource())
    return ::testing::AssertionFailure() << "the module's strings do not load";
  if (!LoadIconSheets())
    return ::testing::AssertionFailure() << "the icon sheets do not load";
  if (!RegisterTerrainObject(10))
    return ::testing::AssertionFailure() << "the terrain object does not register";
  if (!RegisterTerrainOperator(ID_TEST_GENERATOR, "Test generator", TERRAINOPERATORFLAGS::TYPE_GENERATOR,
                               TestGenerator::Alloc, "Obaseterrainoperator", nullptr, 0, 21) ||
      !RegisterTerrainOperator(ID_TEST_FILTER, "Test filter", TERRAINOPERATORFLAGS::TYPE_FILTER, TestFilter::Alloc,
                               "Obaseterrainoperator", nullptr, 0, 31))
    return ::testing::AssertionFailure() << "the test operators do not register";
  return ::testing::AssertionSuccess();
}
} // namespace ogx_test
