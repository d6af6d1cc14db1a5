#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/description.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"

namespace
{
namespace fs = std::filesystem;

constexpr Int32 ID_BASE = 1054564;
constexpr Int32 ID_FRAGMENT = 1055057;
constexpr Int32 ID_PLUGIN = 1054566;

class Plain : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<Plain>(); }
};

// The shared base description, a fragment and an operator that includes both.
constexpr const char* BASE_JSON = R"({
  "format": "ogx-description", "version": 1, "name": "Obase",
  "entries": [
    {"id": 1000, "type": "GROUP", "name": "Operator"},
    {"id": 1001, "type": "REAL", "parent": 1000, "nameId": 10001,
     "attributes": {"6": {"Float": 1.0}, "10": {"Bool": true}}},
    {"id": 1090, "type": "LONG", "parent": 1000,
     "attributes": {"14": {"Container": {"params": {"0": {"String": "Heights"}, "1": {"StringId": 10031}}}}}},
    {"id": 3001, "type": 440000264, "parent": 1000}
  ]})";

constexpr const char* FRAGMENT_JSON = R"({
  "format": "ogx-description", "version": 1,
  "entries": [
    {"id": 2001, "type": "BOOL", "name": "Distortion", "attributes": {"6": {"Bool": false}}},
    {"id": 2002, "type": "VECTOR", "parent": 2001, "attributes": {"6": {"Vector": [1, 2.5, -3]}}}
  ]})";

constexpr const char* OPERATOR_JSON = R"({
  "format": "ogx-description", "version": 1, "name": "onoise",
  "include": ["Obase", "Dfragment"],
  "entries": [
    {"id": 10001, "type": "STRING", "parent": 1000, "name": "Seed text"},
    {"id": 1001, "type": "REAL", "parent": 1000, "name": "Strength"}
  ]})";

class DescriptionTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    _dir = fs::temp_directory_path() / (String("ogx_desc_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(_dir);
    fs::create_directories(_dir / "res" / "description");
    host::SetModuleDirectory(Url(_dir));
    host::ResetDescriptions();
    host::ResetPlugins();
    Write("Obase", BASE_JSON);
    Write("Dfragment", FRAGMENT_JSON);
    Write("onoise", OPERATOR_JSON);
    std::ofstream(_dir / "res" / "strings.json") << R"({"10001": "Opacity", "10031": "Slopes"})";
    ASSERT_TRUE(InitResource());
  }
  void TearDown() override
  {
    host::ResetDescriptions();
    host::ResetPlugins();
    host::ReleaseStringTable();
    host::SetModuleDirectory(Url());
    std::error_code ec;
    fs::remove_all(_dir, ec);
  }

  void Write(const String& name, const String& text)
  {
    std::ofstream(_dir / "res" / "description" / (name + ".json").GetStd(), std::ios::binary) << text;
  }

  static std::vector<Int32> Ids(const Description& d)
  {
    std::vector<Int32> ids;
    for (Int32 i = 0; i < d.GetEntryCount(); ++i)
      ids.push_back(d.GetEntry(i)->id.id);
    return ids;
  }

  fs::path _dir;
};

TEST_F(DescriptionTest, LoadsEntriesInOrderWithTypesParentsAndAttributes)
{
  Description d;
  ASSERT_TRUE(d.LoadDescription(String("Obase")));
  EXPECT_EQ(d.GetResourceName(), "Obase");
  EXPECT_EQ(Ids(d), (std::vector<Int32>{1000, 1001, 1090, 3001}));

  const DescriptionEntry* opacity = d.FindEntry(1001);
  ASSERT_NE(opacity, nullptr);
  EXPECT_EQ(opacity->id, ParameterId(1001, DTYPE_REAL));
  EXPECT_EQ(opacity->parent, 1000);
  EXPECT_EQ(opacity->attributes.GetString(DESC_NAME), "Opacity");   // from the string table
  EXPECT_EQ(opacity->attributes.GetType(DESC_DEFAULT), DA_REAL);
  EXPECT_EQ(opacity->attributes.GetFloat(DESC_DEFAULT), 1.0);
  EXPECT_TRUE(opacity->attributes.GetBool(DESC_ANIMATE));

  EXPECT_EQ(d.FindEntry(1000)->id.dtype, DTYPE_GROUP);
  EXPECT_EQ(d.FindEntry(1000)->parent, 0);
  EXPECT_EQ(d.FindEntry(3001)->id.dtype, 440000264);

  const BaseContainer* cycle = d.FindEntry(1090)->attributes.GetContainerInstance(DESC_CYCLE);
  ASSERT_NE(cycle, nullptr);
  EXPECT_EQ(cycle->GetString(0), "Heights");
  EXPECT_EQ(cycle->GetString(1), "Slopes");
}

TEST_F(DescriptionTest, IncludesComeFirstAndOwnEntriesReplaceInPlace)
{
  Description d;
  ASSERT_TRUE(d.LoadDescription(String("onoise")));
  EXPECT_EQ(Ids(d), (std::vector<Int32>{1000, 1001, 1090, 3001, 2001, 2002, 10001}));
  // 1001 was redefined by the operator: its own attributes replace the included ones, its place stays.
  EXPECT_EQ(d.FindEntry(1001)->attributes.GetString(DESC_NAME), "Strength");
  EXPECT_FALSE(d.FindEntry(1001)->attributes.Contains(DESC_DEFAULT));
  EXPECT_EQ(d.FindEntry(2002)->attributes.GetVector(DESC_DEFAULT), Vector(1.0, 2.5, -3.0));
  EXPECT_EQ(d.FindEntry(2001)->id.dtype, DTYPE_BOOL);
  EXPECT_EQ(d.FindEntry(2001)->attributes.GetType(DESC_DEFAULT), DA_LONG);
  EXPECT_EQ(d.FindEntry(10001)->id.dtype, DTYPE_STRING);
}

TEST_F(DescriptionTest, LoadByTypeUsesTheRegistryThenThePluginTable)
{
  Description d;
  EXPECT_FALSE(d.LoadDescription(ID_BASE));   // nothing registered yet
  EXPECT_EQ(d.GetEntryCount(), 0);

  EXPECT_TRUE(RegisterDescription(ID_BASE, "Obase"));
  ASSERT_TRUE(d.LoadDescription(ID_BASE));
  EXPECT_EQ(d.GetEntryCount(), 4);

  ASSERT_TRUE(RegisterObjectPlugin(ID_PLUGIN, "#$21Noise", 4, Plain::Alloc, "onoise", nullptr, 1));
  EXPECT_EQ(host::FindDescriptionName(ID_PLUGIN), "onoise");
  ASSERT_TRUE(d.LoadDescription(ID_PLUGIN));
  EXPECT_EQ(d.GetResourceName(), "onoise");
  EXPECT_EQ(d.GetEntryCount(), 7);
}

TEST_F(DescriptionTest, RegistrationRefusesDuplicatesUnknownNamesAndInjectedFailures)
{
  EXPECT_TRUE(RegisterDescription(ID_BASE, "Obase"));
  EXPECT_FALSE(RegisterDescription(ID_BASE, "Dfragment"));       // id taken
  EXPECT_FALSE(RegisterDescription(1055093, "DaddOperator"));    // no such resource
  EXPECT_FALSE(RegisterDescription(1055094, "../strings"));      // not a resource name
  host::FailNthDescriptionRegistration(1);
  EXPECT_FALSE(RegisterDescription(ID_FRAGMENT, "Dfragment"));
  EXPECT_TRUE(RegisterDescription(ID_FRAGMENT, "Dfragment"));
  EXPECT_EQ(host::FindDescriptionName(ID_BASE), "Obase");

  const auto log = host::GetDescriptionRegistrationLog();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1].id, ID_BASE);
  EXPECT_EQ(log[1].name, "Dfragment");
  EXPECT_FALSE(log[1].result);
  EXPECT_FALSE(log[4].result);
  EXPECT_TRUE(log[5].result);
}

TEST_F(DescriptionTest, BadResourcesFailNamingFileAndPlaceAndChangeNothing)
{
  struct Case
  {
    const char* name;
    const char* text;
    const char* expect;
  };
  const Case cases[] = {
    {"bsyntax", R"({"format": "ogx-description", )", "bsyntax.json: JSON syntax error at byte"},
    {"bformat", R"({"format": "scene", "version": 1, "entries": []})", "bformat.json: format: expected"},
    {"bversion", R"({"format": "ogx-description", "version": 2, "entries": []})",
     "bversion.json: version: this host reads version 1, not 2"},
    {"bfield", R"({"format": "ogx-description", "version": 1, "entries": [], "extra": 1})",
     "bfield.json: unknown field \"extra\""},
    {"bnoentries", R"({"format": "ogx-description", "version": 1})", "bnoentries.json: missing field \"entries\""},
    {"bname", R"({"format": "ogx-description", "version": 1, "name": "other", "entries": []})",
     "bname.json: name: expected \"bname\""},
    {"bid0", R"({"format": "ogx-description", "version": 1, "entries": [{"id": 1}, {"id": 0, "type": 15}]})",
     "bid0.json: entries[0]: missing field \"type\""},
    {"bzero", R"({"format": "ogx-description", "version": 1, "entries": [{"id": 0, "type": 15}]})",
     "bzero.json: entries[0].id: the parameter id must not be 0"},
    {"btype", R"({"format": "ogx-description", "version": 1, "entries": [{"id": 5, "type": "FLOAT"}]})",
     "btype.json: entries[0].type: unknown data type name \"FLOAT\""},
    {"battr", R"({"format": "ogx-description", "version": 1,
       "entries": [{"id": 5, "type": 15, "attributes": {"x": {"Int32": 1}}}]})",
     "battr.json: entries[0].attributes: \"x\": expected a decimal Int32 key"},
    {"bvalue", R"({"format": "ogx-description", "version": 1,
       "entries": [{"id": 5, "type": 15, "attributes": {"6": {"Int32": 1.5}}}]})",
     "bvalue.json: entries[0].attributes.6.Int32: expected an Int32"},
    {"bboth", R"({"format": "ogx-description", "version": 1,
       "entries": [{"id": 5, "type": 15, "name": "a", "nameId": 1}]})",
     "bboth.json: entries[0]: \"name\" and \"nameId\" exclude each other"},
    {"bmissing", R"({"format": "ogx-description", "version": 1, "include": ["nothere"], "entries": []})",
     "bmissing.json: include[0]: nothere.json: the description resource cannot be read"},
    {"bcycle", R"({"format": "ogx-description", "version": 1, "include": ["bcycle2"], "entries": []})",
     "includes itself"},
    {"binner", R"({"format": "ogx-description", "version": 1, "include": ["battr"], "entries": []})",
     "binner.json: include[0]: battr.json: entries[0].attributes"},
  };
  Write("bcycle2", R"({"format": "ogx-description", "version": 1, "include": ["bcycle"], "entries": []})");
  for (const Case& c : cases)
    Write(c.name, c.text);

  Description d;
  ASSERT_TRUE(d.LoadDescription(String("Obase")));
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const auto res = host::ReadDescriptionResource(c.name);
    ASSERT_TRUE(res.IsError());
    EXPECT_NE(res.GetError().GetMessage().find(c.expect), String::npos) << res.GetError().GetMessage();
    host::Diagnostics().Clear();
    EXPECT_FALSE(d.LoadDescription(String(c.name)));
    EXPECT_NE(host::Diagnostics().GetLast().find(c.expect), String::npos) << host::Diagnostics().GetLast();
    EXPECT_EQ(d.GetResourceName(), "Obase");
    EXPECT_EQ(d.GetEntryCount(), 4);
  }
  EXPECT_FALSE(d.LoadDescription(String("no_such_description")));
  host::SetModuleDirectory(Url());
  EXPECT_FALSE(d.LoadDescription(String("Obase")));
  EXPECT_EQ(d.GetEntryCount(), 4);
}

TEST_F(DescriptionTest, SetParameterInsertsOrReplacesInPlace)
{
  Description d;
  BaseContainer a;
  a.SetString(DESC_NAME, "A");
  EXPECT_TRUE(d.SetParameter(ParameterId(10, DTYPE_LONG), a, 0));
  EXPECT_TRUE(d.SetParameter(ParameterId(20, DTYPE_GROUP), a, 0));
  BaseContainer b;
  b.SetString(DESC_NAME, "B");
  EXPECT_TRUE(d.SetParameter(DescID(DescLevel(10, DTYPE_REAL)), b, DescID(20)));
  EXPECT_EQ(Ids(d), (std::vector<Int32>{10, 20}));
  EXPECT_EQ(d.GetEntry(0)->id.dtype, DTYPE_REAL);
  EXPECT_EQ(d.GetEntry(0)->parent, 20);
  EXPECT_EQ(d.GetEntry(0)->attributes.GetString(DESC_NAME), "B");
  EXPECT_FALSE(d.SetParameter(ParameterId(0, DTYPE_LONG), a, 0));
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(d.SetParameter(ParameterId(30, DTYPE_LONG), a, 0));
  }
  EXPECT_EQ(d.GetEntryCount(), 2);

  // The container handed out is the entry's own.
  BaseContainer* bc = d.GetParameterContainer(DescID(20));
  ASSERT_NE(bc, nullptr);
  bc->SetBool(DESC_HIDE, true);
  EXPECT_TRUE(d.FindEntry(20)->attributes.GetBool(DESC_HIDE));
  EXPECT_EQ(d.GetParameterContainer(ParameterId(99)), nullptr);
  EXPECT_EQ(d.GetParameterContainer(10), &d.GetEntry(0)->attributes);
  EXPECT_EQ(d.GetEntry(2), nullptr);
  EXPECT_EQ(d.GetEntry(-1), nullptr);
}

TEST(ParameterId, MatchesByNumberAndSingleIdMode)
{
  EXPECT_TRUE(ParameterId(1001, DTYPE_REAL).Matches(ParameterId(1001, DTYPE_LONG)));
  EXPECT_TRUE(ParameterId(1001).Matches(1001));
  EXPECT_FALSE(ParameterId(1001, DTYPE_REAL).Matches(ParameterId(1002, DTYPE_REAL)));
  EXPECT_EQ(ParameterId(DescID(DescLevel(7, DTYPE_VECTOR), DescLevel(1))), ParameterId(7, DTYPE_VECTOR));
  EXPECT_EQ(ParameterId(7, DTYPE_LONG).ToDescID(), DescID(DescLevel(7, DTYPE_LONG)));

  Description d;
  EXPECT_EQ(d.GetSingleId(), nullptr);
  const ParameterId one(1003, DTYPE_REAL);
  d.SetSingleId(&one);
  ASSERT_NE(d.GetSingleId(), nullptr);
  EXPECT_EQ(*d.GetSingleId(), one);
  d.SetSingleId(nullptr);
  EXPECT_EQ(d.GetSingleId(), nullptr);
}
} // namespace
