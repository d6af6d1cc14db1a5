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

// The names of op's siblings from op on, with their subtrees, as "a(b,c),d".
inline String TreeText(const BaseObject* op)
{
  String out;
  for (; op; op = op->GetNext())
  {
    if (!out.IsEmpty())
      out += ",";
    out += op->GetName();
    if (op->GetDown())
      out += "(" + TreeText(op->GetDown()) + ")";
  }
  return out;
}
