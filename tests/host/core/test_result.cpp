#include <gtest/gtest.h>

#include "host/core/result.h"

namespace
{
Result<Int> Half(Int v)
{
  if (v % 2 != 0)
    return IllegalArgumentError("odd!");
  return v / 2;
}

Result<Int> Quarter(Int v)
{
  const Int h = HOST_TRY(Half(v));
  return HOST_TRY(Half(h));
}

Result<void> CheckQuarter(Int v)
{
  HOST_TRY(Quarter(v));
  return OK;
}
} // namespace

TEST(Result, ValueAndErrorPropagateUnchanged)
{
  EXPECT_EQ(Quarter(8).GetValue(), 2);
  const Result<Int> bad = Quarter(6);   // 6 -> 3 -> odd
  ASSERT_TRUE(bad.IsError());
  EXPECT_EQ(bad.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(bad.GetError().GetMessage(), "odd!");
  // The location is where the error was made, not where it was passed on.
  EXPECT_NE(String(bad.GetError().GetLocation().file_name()).find("test_result.cpp"), String::npos);
  EXPECT_TRUE(CheckQuarter(4).IsOk());
  EXPECT_EQ(CheckQuarter(2).GetError().GetMessage(), "odd!");
}

TEST(Result, ErrorKindsAndTexts)
{
  struct Case
  {
    Error error;
    ERRORKIND kind;
  };
  const Case cases[] = {
    {NullptrError("a"), ERRORKIND::NULLPTR},
    {IllegalArgumentError("b"), ERRORKIND::ILLEGAL_ARGUMENT},
    {OutOfMemoryError("c"), ERRORKIND::OUT_OF_MEMORY},
    {IllegalStateError("d"), ERRORKIND::ILLEGAL_STATE},
    {UnexpectedError("e"), ERRORKIND::UNEXPECTED},
  };
  for (const Case& c : cases)
  {
    EXPECT_EQ(c.error.GetKind(), c.kind);
    EXPECT_EQ(c.error.GetText(), c.error.GetMessage());   // the console shows the message alone
    EXPECT_NE(c.error.GetDiagnosticText().find("test_result.cpp:"), String::npos);
  }
  Error copy = cases[4].error;
  EXPECT_EQ(copy.GetMessage(), "e");
  EXPECT_EQ(copy.GetLocation().line(), cases[4].error.GetLocation().line());
}
