#include <gtest/gtest.h>

#include "host/core/enumformat.h"

namespace
{
const Int64 kValues[] = {0, 1, 2, 4};
const char kNames[] = "NONE\0ONE\0TWO\0FOUR\0";
} // namespace

TEST(EnumFormatter, SingleValuesAndFlagSets)
{
  struct Case
  {
    Int64 value;
    Bool flags;
    const char* expected;
  };
  const Case cases[] = {
    {1, false, "ONE"},
    {4, false, "FOUR"},
    {3, false, "DEMO(3)"},
    {0, true, "NONE"},
    {6, true, "TWO|FOUR"},
    {7, true, "ONE|TWO|FOUR"},
    {0x41, true, "ONE|0x40"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatEnumeration(c.value, "DEMO", 4, c.flags, kValues, 4, kNames, String()), c.expected) << c.value;
  EXPECT_EQ(FormatEnumeration(2, "DEMO", 4, false, kValues, 4, kNames, "d"), "2");
}
