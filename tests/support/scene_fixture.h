// A fixture for tests that make host nodes: the host's scene state is reset around each test, and a
// test that leaves a node alive fails.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "host/scene/hierarchy.h"

class LeakCheckedSceneTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    _live = host::GetLiveNodeCount();
  }
  void TearDown() override
  {
    host::ResetSceneState();
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
  }
  Int _live = 0;
};

struct ObjDeleter
{
  void operator()(BaseObject* o) const { BaseObject::Free(o); }
};
using ObjPtr = std::unique_ptr<BaseObject, ObjDeleter>;
