#include <gtest/gtest.h>

#include "host/core/basearray.h"

TEST(BaseArray, GrowthReportsInjectedFailure)
{
  BaseArray<Float> a;
  ASSERT_TRUE(a.Resize(3).IsOk());
  EXPECT_EQ(a[2], 0.0);
  ASSERT_TRUE(a.Append(5.0).IsOk());
  {
    host::ScopedAllocationFailure fail(1);
    const Result<void> res = a.Append(6.0);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(a.GetCount(), 4);
  ASSERT_TRUE(a.Append(6.0).IsOk());   // the switch fires once

  BaseArray<Float> b;
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_TRUE(b.CopyFrom(a).IsError());
  }
  ASSERT_TRUE(b.CopyFrom(a).IsOk());
  EXPECT_EQ(b.GetCount(), 5);
  b.Erase(0);
  EXPECT_EQ(b[0], 0.0);
  EXPECT_EQ(b.GetLast(), 6.0);
  ASSERT_TRUE(b.Resize(1).IsOk());   // a shrink keeps the first ones
  EXPECT_EQ(b.GetCount(), 1);
  b.Reset();
  EXPECT_TRUE(b.IsEmpty());
}
