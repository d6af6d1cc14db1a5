#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "command/command_openhelp.h"
#include "common/ogx_misc.h"
#include "common/ogx_python.h"
#include "host/core/log.h"
#include "host/gui/dialogs.h"
#include "host/gui/help.h"
#include "host/python/python.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "support/python_support.h"

using namespace ogx_test;
using namespace std::string_literals;

namespace
{
// What the interpreter makes of a literal: the script stores it in the world container.
String RoundTrip(const String& literal)
{
  const Result<void> r = RunPythonCode("import c4d\nc4d.GetWorldContainerInstance().SetString(1, " + literal + ")\n");
  if (r.IsError())
    return "(error) " + r.GetError().GetText();
  return GetWorldContainerInstance()->GetString(1);
}

// A module folder with a blank, a quote and a non-ASCII letter in its name (as an install path may
// have), its res folder taken from the source tree and a help folder with an index page.
class HelpTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite() { UseBrowserRecorder(); }

  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetDialogs();
    host::ResetPythonRecords();
    host::ResetHelpRequests();
    module = std::filesystem::temp_directory_path() / ("ogx help \"m\xc3\xb6" + std::to_string(::getpid()) + "\"");
    std::filesystem::remove_all(module);
    std::filesystem::create_directories(module / "help" / "content");
    std::filesystem::create_directory_symlink(std::filesystem::path(OGX_SOURCE_DIR) / "res", module / "res");
    std::ofstream(module / "help" / "index.html") << "<html></html>\n";
    host::SetModuleDirectory(Url(module));
    ASSERT_TRUE(InitResource());
  }
  void TearDown() override
  {
    host::ResetPythonRecords();
    FreeResource();
    host::SetModuleDirectory(Url());
    host::ResetSceneState();
    std::filesystem::remove_all(module);
  }

  // The file URL of a file below the module folder, as the browser gets it.
  String FileUrl(const String& below) const { return Url(module / below.GetStd()).GetUrlText(); }

  std::filesystem::path module;
};

using PythonBridgeTest = HelpTest;

TEST_F(PythonBridgeTest, LiteralsReadBackAsExactlyTheirText)
{
  const String cases[] = {
    "plain text",
    "a\"b",
    "C:\\new\\x",
    "l1\nl2\r\n",
    "tab\tbell\a nul\0end"s,
    "\x7f del",
    "na\xc3\xafve \xe2\x82\xac \xf0\x9f\x98\x80",   // two-, three- and four-byte UTF-8
    "\"\"\"",
    "'''",
    "{ \"key\": \"va\\\"lue\", \"list\": [1, 2] }",
    "bytes \xff\xfe that are no UTF-8 \xed\xa0\x80 \xc0\xaf",   // invalid, a surrogate, an overlong form
    "x\"\nimport os; os.system(\"false\")\n#",
    "",
  };
  for (const String& text : cases)
  {
    const String literal = PythonStringLiteral(text);
    EXPECT_EQ(RoundTrip(literal), text) << literal;
    // One line of plain ASCII.
    for (const char c : literal)
      EXPECT_TRUE(c >= 0x20 && c < 0x7f) << literal;
  }
  EXPECT_EQ(PythonStringLiteral("file:///opt/help/index.html"), "\"file:///opt/help/index.html\"");
}

TEST_F(PythonBridgeTest, RunPythonCodeReportsEachStage)
{
  EXPECT_TRUE(RunPythonCode(String()).IsOk());
  EXPECT_EQ(host::GetVirtualMachineLookupCount(), 0) << "an empty script never reaches the interpreter";

  EXPECT_TRUE(RunPythonCode("assert __name__ == '__main__'\n").IsOk());
  const std::vector<host::PythonScriptRecord> scripts = host::GetPythonScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].name, "Python Script");

  const Result<void> init = RunPythonCode("def (:\n");
  ASSERT_TRUE(init.IsError());
  EXPECT_EQ(init.GetError().GetText(), "Error on Init()");

  const Result<void> run = RunPythonCode("raise KeyError('k')\n");
  ASSERT_TRUE(run.IsError());
  EXPECT_EQ(run.GetError().GetText(), "Error on Execute(): KeyError: 'k'");

  host::SetVirtualMachineMissing(true);
  const Result<void> missing = RunPythonCode("pass\n");
  ASSERT_TRUE(missing.IsError());
  EXPECT_EQ(missing.GetError().GetText(), String("No virtual machine is registered as ") + OGX_PYTHON_VM_ID + "!");
}

TEST_F(PythonBridgeTest, APlainUrlGoesToTheBrowserThroughTheThreeLineScript)
{
  BrowserLog browser;
  ASSERT_TRUE(OpenUrlInBrowser(Url(String("https://orogenix.example/help/index.html"))).IsOk());
  const std::vector<host::PythonScriptRecord> scripts = host::GetPythonScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].source,
            "import webbrowser\nURL = \"https://orogenix.example/help/index.html\"\nwebbrowser.open(URL)\n");
  EXPECT_EQ(browser.GetAddresses(), (std::vector<String>{"https://orogenix.example/help/index.html"}));
}

TEST_F(PythonBridgeTest, HelpOpensThePageOfTheTypeWithTheParameterAsAnchor)
{
  ASSERT_TRUE(RegisterHelpDelegate());
  struct Case
  {
    const char* opType;
    const char* property;
    Bool handled;
    const char* page;   // below the module folder; null when nothing opens
  };
  const Case cases[] = {
    {"PREFSOGX", "", true, "help/content/prefsogx.html#"},
    {"ONOISEOPERATOR", "NOISEOPERATOR_SCALE", true, "help/content/onoiseoperator.html#NOISEOPERATOR_SCALE"},
    {"XTERRAINOPERATORSHADER", "P", true, "help/content/xterrainoperatorshader.html#P"},
    // A parameter name that would end the script's literal stays part of the anchor.
    {"OTERRAIN", "x\"\nimport os#", true, "help/content/oterrain.html#x\"\nimport os#"},
    // The comparison is exact: other spellings and other types are the host's to answer.
    {"oterrain", "TERRAINOBJECT_SIZE_X", false, nullptr},
    {"OTERRAIN ", "", false, nullptr},
    {"OCUBE", "PRIM_CUBE_LEN", false, nullptr},
  };
  for (const Case& c : cases)
  {
    BrowserLog browser;
    EXPECT_EQ(host::RequestHelp(c.opType, "OBASEOBJECT", "ID_OBJECTPROPERTIES", c.property), c.handled) << c.opType;
    if (c.page)
    {
      EXPECT_EQ(browser.GetAddresses(), (std::vector<String>{FileUrl(c.page)})) << c.opType;
    }
    else
    {
      EXPECT_TRUE(browser.GetAddresses().empty()) << c.opType;
    }
  }
  EXPECT_EQ(host::GetHelpRequests().front().handledBy, ID_OGX_HELP_DELEGATE);
  EXPECT_EQ(FileUrl("help/content/oterrain.html#x\"\nimport os#").substr(0, 8), "file:///");
  EXPECT_TRUE(host::Console().GetLines().empty());
}

TEST_F(PythonBridgeTest, HelpThatCannotBeOpenedIsStillHandled)
{
  host::SetVirtualMachineMissing(true);
  EXPECT_TRUE(OpenPluginHelp("OBLUROPERATOR", String(), String(), "BLUROPERATOR_RADIUS"));
  EXPECT_EQ(host::Console().GetLines(),
            (std::vector<String>{"Can't open URL " + FileUrl("help/content/obluroperator.html#BLUROPERATOR_RADIUS")}));
}

TEST_F(PythonBridgeTest, WithoutTheHelpFolderTheUrlComesFromTheStrings)
{
  std::filesystem::remove_all(module / "help");
  const Result<Url> url = BuildHelpUrl("OCLAMPOPERATOR", String(), String(), "X");
  ASSERT_TRUE(url.IsOk());
  // The one help location serves both the index and the pages below it: the parameter's page lies in
  // the help site, not below its index page.
  EXPECT_EQ(url.GetValue().GetUrlText(), "https://orogenix.example/help/content/oclampoperator.html#X");
  const Result<Url> index = GetHelpPath(true);
  ASSERT_TRUE(index.IsOk());
  EXPECT_EQ(index.GetValue().GetUrlText(), "https://orogenix.example/help/");
}

TEST_F(PythonBridgeTest, OpenHelpOpensTheIndexOrShowsWhyNot)
{
  OpenHelpCommand command;
  {
    BrowserLog browser;
    EXPECT_TRUE(command.Execute(nullptr));
    EXPECT_EQ(browser.GetAddresses(), (std::vector<String>{FileUrl("help/index.html")}));
  }
  host::SetVirtualMachineMissing(true);
  EXPECT_FALSE(command.Execute(nullptr));
  const String text = String("Error opening help: Maybe the help is not installed?\nError Message: ") +
                      "No virtual machine is registered as " + OGX_PYTHON_VM_ID + "!";
  EXPECT_EQ(host::Console().GetLines(), (std::vector<String>{text}));
  const std::vector<host::MessageDialogRecord> boxes = host::GetMessageDialogs();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].type, 48);
  EXPECT_EQ(boxes[0].text, text);
  EXPECT_FALSE(ShowHelpError(UnexpectedError("x")));
}

TEST(StringEqualsCString, IsExactEquality)
{
  EXPECT_TRUE(StringEqualsCString("PREFSOGX", "PREFSOGX"));
  EXPECT_FALSE(StringEqualsCString("PREFSOGX", "PREFSOG"));
  EXPECT_FALSE(StringEqualsCString("prefsogx", "PREFSOGX"));
  EXPECT_FALSE(StringEqualsCString(String("PREFS\0OGX", 9), "PREFS"));
  EXPECT_FALSE(StringEqualsCString("", nullptr));
  EXPECT_TRUE(StringEqualsCString("", ""));
}
} // namespace
