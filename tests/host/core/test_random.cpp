#include <gtest/gtest.h>

#include "host/core/random.h"

TEST(LcgRandom, ExactSequence)
{
  LcgRandom rnd;
  rnd.Init(123);
  const UInt32 seeds[] = {8564556u, 987384233u, 3448610u};
  const Float values[] = {0.00398818217032208, 0.4597866127920399, 0.0016058841712745446};
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(rnd.Get01(), values[i]);
    EXPECT_EQ(rnd.GetSeed(), seeds[i]);
  }
  LcgRandom fresh;   // constructed seed is 100
  EXPECT_EQ(fresh.Get01(), 0.0032484387032462106);
  EXPECT_EQ(fresh.GetSeed(), 6975969u);

  LcgRandom a, b;
  a.Init(7);
  b.Init(7);
  for (int i = 0; i < 1000; ++i)
  {
    const Float u = a.Get01();
    EXPECT_EQ(b.Get11(), 2.0 * u - 1.0);
    EXPECT_GE(u, 0.0);
    EXPECT_LT(u, 1.0);
  }
}

TEST(LcgRandom, NeverReachesOne)
{
  // The largest 31-bit state times the multiplier stays below 1.
  EXPECT_LT(2147483647.0 * 4.656612870908988e-10, 1.0);
}
