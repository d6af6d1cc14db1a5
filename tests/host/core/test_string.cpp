#include <gtest/gtest.h>

#include "host/core/string.h"

TEST(String, NumberFormatting)
{
  EXPECT_EQ(String::IntToString(-12), "-12");
  EXPECT_EQ(String::IntToString(0), "0");
  EXPECT_EQ(String::FloatToString(1023.0, 0), "1023");
  EXPECT_EQ(String::FloatToString(1.005, 2), "1.00");   // 1.005 is 1.00499999... in binary
  EXPECT_EQ(String::FloatToString(2.5, 0), "2");        // ties go to even
  EXPECT_EQ(String::FloatToString(1.5, 2), "1.50");
  EXPECT_EQ(String::FloatToString(-0.125, 2), "-0.12");
}

TEST(String, PlaceholdersFilledInOrder)
{
  EXPECT_EQ(String("Iteration # of #").Format(3, String("10")), "Iteration 3 of 10");
  EXPECT_EQ(String("no placeholder").Format(1), "no placeholder");
  EXPECT_EQ(String("# and #").Format("one"), "one and #");
  EXPECT_EQ(String("a") + String("b") + "c", "abc");
  EXPECT_TRUE(String().IsEmpty());
}
