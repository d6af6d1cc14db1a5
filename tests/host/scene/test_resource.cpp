#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/core/alloc.h"
#include "host/scene/resource.h"

namespace
{
namespace fs = std::filesystem;

// A module folder of its own per test, with the string table written into res/.
class StringTableTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    _dir = fs::temp_directory_path() / (String("ogx_res_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(_dir);
    fs::create_directories(_dir / "res");
    host::ReleaseStringTable();
    host::SetModuleDirectory(Url());
  }
  void TearDown() override
  {
    host::ReleaseStringTable();
    host::SetModuleDirectory(Url());
    std::error_code ec;
    fs::remove_all(_dir, ec);
  }

  Url Write(const String& name, const String& text)
  {
    const fs::path p = _dir / "res" / name.GetStd();
    std::ofstream(p, std::ios::binary) << text;
    return Url(p);
  }

  fs::path _dir;
};

TEST_F(StringTableTest, LookupsFormatAndMissingIds)
{
  ASSERT_TRUE(host::LoadStringTable(Write("strings.json", R"({"10017": "Registered generator: #",
    "10083": "Step # of #", "10000": "Terrain", "-3": "negative", "10": "no placeholder"})"))
                .IsOk());
  EXPECT_TRUE(host::IsStringTableLoaded());
  EXPECT_EQ(GeLoadString(10000), "Terrain");
  EXPECT_EQ(GeLoadString(-3), "negative");
  // Placeholders fill in order; a number argument is written in decimal.
  EXPECT_EQ(GeLoadString(10017, String("Noise")), "Registered generator: Noise");
  EXPECT_EQ(GeLoadString(10083, Int32(3), Int32(10)), "Step 3 of 10");
  // Too few arguments leave the surplus "#"; too many are dropped.
  EXPECT_EQ(GeLoadString(10083, Int32(3)), "Step 3 of #");
  EXPECT_EQ(GeLoadString(10, String("x")), "no placeholder");
  // A missing id is plainly visible, with or without arguments.
  EXPECT_EQ(GeLoadString(10086), "[string 10086 missing]");
  EXPECT_EQ(GeLoadString(10086, String("x")), "[string 10086 missing]");
  EXPECT_EQ(host::MissingStringText(-1), "[string -1 missing]");
}

TEST_F(StringTableTest, NoTableAnswersEmptyText)
{
  EXPECT_FALSE(host::IsStringTableLoaded());
  EXPECT_EQ(GeLoadString(10000), "");
  ASSERT_TRUE(host::LoadStringTable(Write("strings.json", R"({"10000": "Terrain"})")).IsOk());
  EXPECT_EQ(GeLoadString(10000), "Terrain");
  FreeResource();
  EXPECT_FALSE(host::IsStringTableLoaded());
  EXPECT_EQ(GeLoadString(10000), "");
  EXPECT_EQ(GeLoadString(99999), "");
}

TEST_F(StringTableTest, BadFilesAreRefusedWholeNamingFileAndPlace)
{
  ASSERT_TRUE(host::LoadStringTable(Write("good.json", R"({"1": "kept"})")).IsOk());

  struct Case
  {
    const char* name;
    const char* text;
    const char* expect;   // a part of the message after the file name
  };
  const Case cases[] = {
    {"syntax", R"({"1": "a",})", "JSON syntax error at byte"},
    {"empty", "", "JSON syntax error at byte"},
    {"array", R"(["a", "b"])", "expected an object mapping decimal ids to texts"},
    {"bad_key", R"({"1": "a", "abc": "b"})", "\"abc\": expected a decimal Int32 id as the key"},
    {"blank_in_key", R"({" 1": "a"})", "\" 1\": expected a decimal Int32 id as the key"},
    {"too_large", R"({"2147483648": "a"})", "\"2147483648\": expected a decimal Int32 id"},
    {"number_text", R"({"1": "a", "2": 5})", "2: expected a text (a JSON string)"},
    {"null_text", R"({"3": null})", "3: expected a text (a JSON string)"},
    {"duplicate", R"({"7": "a", "8": "b", "7": "c"})", "\"7\": the id appears more than once"},
    {"duplicate_leading_zero", R"({"7": "a", "07": "c"})", "\"07\": the id appears more than once"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Url file = Write(String(c.name) + ".json", c.text);
    const Result<void> res = host::LoadStringTable(file);
    ASSERT_TRUE(res.IsError());
    const String& msg = res.GetError().GetMessage();
    EXPECT_EQ(msg.rfind(file.GetString() + ": ", 0), 0u) << msg;
    EXPECT_NE(msg.find(c.expect), String::npos) << msg;
    // Nothing of the bad file was taken: the earlier table answers as before.
    EXPECT_EQ(GeLoadString(1), "kept");
    EXPECT_EQ(GeLoadString(7), "[string 7 missing]");
  }

  const Url missing(_dir / "res" / "nope.json");
  const Result<void> res = host::LoadStringTable(missing);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), missing.GetString() + ": the string table cannot be read");
  EXPECT_EQ(GeLoadString(1), "kept");
}

TEST_F(StringTableTest, OutOfMemoryLeavesTheTable)
{
  ASSERT_TRUE(host::LoadStringTable(Write("a.json", R"({"1": "old"})")).IsOk());
  const Url b = Write("b.json", R"({"1": "new"})");
  {
    host::ScopedAllocationFailure fail(1);
    const Result<void> res = host::LoadStringTable(b);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
  }
  EXPECT_EQ(GeLoadString(1), "old");
  ASSERT_TRUE(host::LoadStringTable(b).IsOk());
  EXPECT_EQ(GeLoadString(1), "new");
}

TEST_F(StringTableTest, InitResourceReadsTheModulesTable)
{
  EXPECT_FALSE(InitResource());   // no module directory yet
  host::SetModuleDirectory(Url(_dir));
  EXPECT_EQ(GeGetPluginPath(), Url(_dir));
  EXPECT_FALSE(InitResource());   // no res/strings.json yet
  EXPECT_FALSE(host::IsStringTableLoaded());
  Write(host::STRING_TABLE_FILE, R"({"10016": "ready"})");
  EXPECT_TRUE(InitResource());
  EXPECT_EQ(GeLoadString(10016), "ready");
  Write(host::STRING_TABLE_FILE, R"({"10016": )");
  EXPECT_FALSE(InitResource());
  EXPECT_EQ(GeLoadString(10016), "ready");
}

TEST_F(StringTableTest, ReadersSeeOneWholeTableWhileItIsReplaced)
{
  const Url a = Write("a.json", R"({"1": "a1", "2": "a2"})");
  const Url b = Write("b.json", R"({"1": "b1", "2": "b2"})");
  ASSERT_TRUE(host::LoadStringTable(a).IsOk());
  std::atomic<Bool> stop{false};
  std::atomic<Int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      while (!stop.load())
      {
        const String one = GeLoadString(1);
        if (one != "a1" && one != "b1")
          bad.fetch_add(1);
      }
    });
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(host::LoadStringTable(i % 2 ? a : b).IsOk());
  stop = true;
  for (auto& t : readers)
    t.join();
  EXPECT_EQ(bad.load(), 0);
}

#ifdef OGX_SOURCE_DIR
// The module's own table: it loads, and each text has as many placeholders as its users pass arguments.
TEST(ModuleStrings, ShippedTableLoadsWithTheRightPlaceholders)
{
  const Url file = Url(String(OGX_SOURCE_DIR)).Append("res").Append(host::STRING_TABLE_FILE);
  ASSERT_TRUE(host::LoadStringTable(file).IsOk());
  struct Case
  {
    Int32 id;
    Int placeholders;
  };
  const Case cases[] = {
    {10000, 0}, {10015, 0}, {10016, 0}, {10017, 1}, {10018, 1}, {10019, 1}, {10020, 0}, {10021, 0},
    {10022, 1}, {10024, 0}, {10025, 0}, {10026, 0}, {10027, 0}, {10028, 0}, {10029, 0}, {10030, 0},
    {10031, 0}, {10032, 0}, {10033, 0}, {10071, 1}, {10072, 1}, {10073, 0}, {10083, 2}, {10084, 0},
    {10085, 0}, {10086, 0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.id);
    const String text = GeLoadString(c.id);
    EXPECT_NE(text, host::MissingStringText(c.id));
    EXPECT_FALSE(text.IsEmpty());
    EXPECT_EQ(std::count(text.begin(), text.end(), '#'), c.placeholders) << text;
  }
  for (Int32 id = 10000; id <= 10014; ++id)
    EXPECT_NE(GeLoadString(id), host::MissingStringText(id)) << id;
  host::ReleaseStringTable();
}
#endif
} // namespace
