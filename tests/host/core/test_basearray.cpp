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

namespace
{
struct PartlyInitialised
{
  Int32 a = 7;
  Float b;   // no initialiser of its own: value-initialisation zeroes it
};
} // namespace

TEST(BaseArray, ResizeValueInitialisesWhatItAdds)
{
  BaseArray<Float> a;
  ASSERT_TRUE(a.Resize(4).IsOk());
  for (Int i = 0; i < 4; ++i)
    a[i] = 9.0;
  ASSERT_TRUE(a.Resize(2).IsOk());
  ASSERT_TRUE(a.Resize(5).IsOk());   // regrows within the old storage: the stale 9s must not come back
  EXPECT_EQ(a[1], 9.0);
  for (Int i = 2; i < 5; ++i)
    EXPECT_EQ(a[i], 0.0) << i;

  BaseArray<PartlyInitialised> p;
  ASSERT_TRUE(p.Resize(3).IsOk());
  for (Int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(p[i].a, 7);
    EXPECT_EQ(p[i].b, 0.0);
  }

  // ResizeDefault leaves the writing to the caller but grows and fails like Resize.
  BaseArray<Float> d;
  ASSERT_TRUE(d.ResizeDefault(6).IsOk());
  EXPECT_EQ(d.GetCount(), 6);
  host::ScopedAllocationFailure fail(1);
  EXPECT_TRUE(d.ResizeDefault(100).IsError());
  EXPECT_EQ(d.GetCount(), 6);
}
