// The real module's entry as the host sees it: the module file is opened with dlopen and c4d_main is
// called directly with any code, table and argument. Its resources come from a temporary module folder
// (the string table and descriptions copied from res/, icon sheets drawn here so each cell's colour
// names its position).
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "host/app/moduleloader.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"
#include "host/scene/resource.h"
#include "host/scene/scene.h"

namespace fs = std::filesystem;

namespace
{
const Url MODULE_FILE{String(OGX_MODULE_FILE)};
const fs::path SOURCE_RES = fs::path(OGX_SOURCE_DIR) / "res";

constexpr Int32 CELL = 64;

// The blend-mode icons in BLENDMODE order and their cells: ten in the top row, five in the second.
struct IconCell
{
  Int32 id, x, y;
};
constexpr std::array<IconCell, 15> BLENDMODE_CELLS = {{
  {1055710, 0, 0},   {1055711, 64, 0},  {1055712, 128, 0},  {1055713, 192, 0}, {1055714, 256, 0},
  {1055715, 320, 0}, {1055716, 384, 0}, {1055717, 448, 0},  {1055718, 512, 0}, {1055719, 576, 0},
  {1056645, 0, 64},  {1056646, 64, 64}, {1056650, 128, 64}, {1056651, 192, 64}, {1056652, 256, 64},
}};

// A sheet whose cell (cx, cy) is filled with red 20 * cx + 1 and green 60 * cy + 1.
void WriteSheet(const fs::path& file, Int32 width, Int32 height)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_NE(bmp, nullptr);
  ASSERT_EQ(bmp->Init(width, height, 32), IMAGERESULT::OK);
  ASSERT_TRUE(bmp->AddAlphaChannel());
  for (Int32 y = 0; y < height; ++y)
    for (Int32 x = 0; x < width; ++x)
    {
      bmp->SetPixel(x, y, 20 * (x / CELL) + 1, 60 * (y / CELL) + 1, 7);
      bmp->SetAlpha(x, y, 255);
    }
  ASSERT_EQ(bmp->Save(Url(file)), IMAGERESULT::OK);
  BaseBitmap::Free(bmp);
}

// The icon registered under cell.id is a whole cell of a sheet written by WriteSheet, the one at
// (cell.x, cell.y).
void ExpectIconFromCell(const IconCell& cell)
{
  SCOPED_TRACE(cell.id);
  IconData icon;
  ASSERT_TRUE(GetIcon(cell.id, &icon));
  EXPECT_EQ(icon.w, CELL);
  EXPECT_EQ(icon.h, CELL);
  for (const auto& [x, y] : {std::pair{0, 0}, std::pair{CELL - 1, CELL - 1}})
  {
    UInt16 r = 0, g = 0, b = 0;
    icon.bmp->GetPixel(icon.x + x, icon.y + y, &r, &g, &b);
    EXPECT_EQ(r, 20 * (cell.x / CELL) + 1);
    EXPECT_EQ(g, 60 * (cell.y / CELL) + 1);
  }
}

struct Resources
{
  Bool strings = true;
  Bool icons = true;
  Bool blendmodes = true;
  Int32 blendmodeHeight = 128;
  Bool corruptBlendmodes = false;
};

class ModuleEntryTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ResetHost();
    _dir = fs::temp_directory_path() /
           ("ogx_module_entry_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    MakeResources(Resources());
    host::SetModuleDirectory(Url(_dir));
    Result<std::unique_ptr<host::ModuleLibrary>> lib = host::ModuleLibrary::Open(MODULE_FILE);
    ASSERT_TRUE(lib.IsOk()) << lib.GetError().GetText();
    _lib = std::move(lib.GetValue());
  }

  void TearDown() override
  {
    // Every load the module counted is balanced, so it frees what it holds before its file closes.
    while (_loads > 0)
      End();
    // The host drops the plug-ins (their code is in the module) before closing the file.
    host::ResetPlugins();
    _lib.reset();
    host::SetModuleDirectory(Url());
    ResetHost();
    std::error_code ec;
    fs::remove_all(_dir, ec);
  }

  static void ResetHost()
  {
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetIcons();
    host::ResetDescriptions();
    host::ResetModuleRecords();
    host::ReleaseStringTable();
  }

  void MakeResources(const Resources& r)
  {
    std::error_code ec;
    fs::remove_all(_dir, ec);
    fs::create_directories(_dir / "res");
    if (r.strings)
      fs::copy_file(SOURCE_RES / "strings.json", _dir / "res" / "strings.json");
    if (fs::exists(SOURCE_RES / "description"))
      fs::copy(SOURCE_RES / "description", _dir / "res" / "description", fs::copy_options::recursive);
    if (r.icons)
      WriteSheet(_dir / "res" / "orogenix_icons.tif", 640, 192);
    if (r.blendmodes && !r.corruptBlendmodes)
      WriteSheet(_dir / "res" / "orogenix_blendmodes.tif", 640, r.blendmodeHeight);
    if (r.corruptBlendmodes)
    {
      std::FILE* f = std::fopen((_dir / "res" / "orogenix_blendmodes.tif").c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fputs("II*\0 not really a TIFF", f);
      std::fclose(f);
    }
  }

  Int32 Load(Int32 version = HOST_VERSION, Bool withPath = true)
  {
    _table.version = version;
    ++_loads;
    return _lib->Call(MODULEMESSAGE::LOAD, &_table, nullptr,
                      withPath ? const_cast<char*>(_lib->GetPathText()) : nullptr);
  }
  Int32 LoadWithoutTable()
  {
    ++_loads;
    return _lib->Call(MODULEMESSAGE::LOAD, nullptr, nullptr, const_cast<char*>(_lib->GetPathText()));
  }
  Int32 End()
  {
    --_loads;
    return _lib->Call(MODULEMESSAGE::END);
  }
  Int32 Message(Int32 id) { return _lib->SendMessage(id); }
  Int32 Start() { return _lib->Call(MODULEMESSAGE::START); }

  // Load, message 1 and start as the host runs them.
  void StartUp()
  {
    ASSERT_EQ(Load(), MODULE_OK);
    ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
    ASSERT_EQ(Start(), 1) << (host::Diagnostics().GetCount() ? host::Diagnostics().GetLast() : String());
  }

  static std::vector<host::RegistrationCall> CommandRegistrations()
  {
    std::vector<host::RegistrationCall> out;
    for (const host::RegistrationCall& call : host::GetRegistrationLog())
      if (call.type == PLUGINTYPE::COMMAND)
        out.push_back(call);
    return out;
  }

  fs::path _dir;
  std::unique_ptr<host::ModuleLibrary> _lib;
  HostFunctionTable _table;
  Int _loads = 0;
};

TEST_F(ModuleEntryTest, TheHostsVersionWordAndTheFourthArgumentDecideTheFirstLoad)
{
  struct Case
  {
    Int32 version;
    Bool withPath;
    Int32 expected;
  };
  const std::vector<Case> cases = {
    {21200, true, 1}, {21199, true, -3}, {30000, true, 1}, {0, true, -3}, {-1, true, -3}, {21200, false, -3},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.version);
    EXPECT_EQ(Load(c.version, c.withPath), c.expected);
    EXPECT_EQ(End(), MODULE_OK);
  }
  EXPECT_EQ(LoadWithoutTable(), MODULE_REFUSED);
  EXPECT_EQ(End(), MODULE_OK);
}

TEST_F(ModuleEntryTest, ARefusedHostIsAskedAgainOnTheNextLoad)
{
  // Counting a refused load as "the first" would let the next one through without any check.
  EXPECT_EQ(Load(21199), MODULE_REFUSED);
  EXPECT_EQ(Load(21199), MODULE_REFUSED);
  EXPECT_EQ(Load(21200, false), MODULE_REFUSED);
  EXPECT_EQ(Load(21200), MODULE_OK);
  // Once accepted, later loads only count (the table they bring is not read).
  EXPECT_EQ(Load(0), MODULE_OK);
}

TEST_F(ModuleEntryTest, MessageCodesAndMessageIds)
{
  ASSERT_EQ(Load(), MODULE_OK);
  struct Case
  {
    Int32 code;
    Int32 expected;
  };
  for (const Case& c : std::vector<Case>{{4, 5}, {5, -1}, {7, -1}, {0, -1}, {99, -1}, {-1, -1}})
  {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(_lib->Call(c.code), c.expected);
  }
  for (const Case& c : std::vector<Case>{{1000, 1}, {2, -1}, {0, -1}, {999, -1}, {1001, -1}})
  {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Message(c.code), c.expected);
  }
}

TEST_F(ModuleEntryTest, MessageOneNeedsTheStringTableAndBothSheets)
{
  struct Case
  {
    const char* name;
    Resources resources;
    Int32 expected;
  };
  const std::vector<Case> cases = {
    {"everything there", Resources(), 1},
    {"no blend-mode sheet", {true, true, false, 128, false}, -1},
    {"no main sheet", {true, false, true, 128, false}, -1},
    {"no string table", {false, true, true, 128, false}, -1},
    {"blend-mode sheet unreadable", {true, true, true, 128, true}, -1},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    MakeResources(c.resources);
    ASSERT_EQ(Load(), MODULE_OK);
    EXPECT_EQ(Message(MODULE_MESSAGE_INIT), c.expected);
    End();
    EXPECT_FALSE(host::IsStringTableLoaded());
  }
}

TEST_F(ModuleEntryTest, EveryFailedAllocationOfMessageOneFailsIt)
{
  ASSERT_EQ(Load(), MODULE_OK);
  const Int before = host::GetAllocationCount();
  ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
  const Int allocations = host::GetAllocationCount() - before;
  ASSERT_GE(allocations, 3);   // the string table and both sheets at least
  for (Int k = 1; k <= allocations; ++k)
  {
    SCOPED_TRACE(k);
    host::ScopedAllocationFailure failure(k);
    // A second message 1 replaces what the first loaded rather than leaking it.
    EXPECT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_FAILED);
  }
  EXPECT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
}

TEST_F(ModuleEntryTest, StartPrintsTheStartLinesAndRegistersInTableOrder)
{
  StartUp();
  const std::vector<String> console = host::Console().GetLines();
  ASSERT_GE(console.size(), 2u);
  EXPECT_EQ(console[0], "Orogenix 1.1.0 master ...");
  EXPECT_EQ(console[1], GeLoadString(10016));
  EXPECT_NE(console[1], host::MissingStringText(10016));

  // The blend-mode icons, each the cell its position names.
  for (const IconCell& cell : BLENDMODE_CELLS)
    ExpectIconFromCell(cell);

  struct Description
  {
    Int32 id;
    const char* name;
  };
  const std::vector<Description> expectedDescriptions = {
    {1055057, "DterrainDistortion"}, {1055093, "DaddOperator"}, {1054564, "Obaseterrainoperator"}};
  const std::vector<host::DescriptionRegistration> descriptions = host::GetDescriptionRegistrationLog();
  ASSERT_EQ(descriptions.size(), expectedDescriptions.size());
  for (std::size_t i = 0; i < descriptions.size(); ++i)
  {
    EXPECT_EQ(descriptions[i].id, expectedDescriptions[i].id);
    EXPECT_EQ(descriptions[i].name, expectedDescriptions[i].name);
    EXPECT_TRUE(descriptions[i].result);
  }

  // The plug-ins in menu and table order: objects with their sort prefix, name, generator flag,
  // description and disk level; separators between the groups.
  struct Plugin
  {
    Int32 id;
    PLUGINTYPE type;
    String name;
    Int32 info;
    const char* description;
    Int32 diskLevel;
    Bool hasIcon;
  };
  const std::vector<Plugin> expectedPlugins = {
    {1054563, PLUGINTYPE::OBJECT, "#$10" + GeLoadString(10000), 4, "oterrain", 1, true},
    {1054692, PLUGINTYPE::COMMAND, "#$20--", 0, "", 0, false},
    {1054566, PLUGINTYPE::OBJECT, "#$21" + GeLoadString(10001), 4, "onoiseoperator", 1, true},
    {1054617, PLUGINTYPE::OBJECT, "#$22" + GeLoadString(10006), 4, "oshaderoperator", 1, true},
    {1054654, PLUGINTYPE::OBJECT, "#$23" + GeLoadString(10010), 4, "osplineoperator", 1, true},
    {1054623, PLUGINTYPE::OBJECT, "#$24" + GeLoadString(10008), 4, "ogradientoperator", 1, true},
    {1054581, PLUGINTYPE::OBJECT, "#$25" + GeLoadString(10003), 4, "ogroupoperator", 1, true},
    {1054745, PLUGINTYPE::COMMAND, "#$30--", 0, "", 0, false},
    {1054574, PLUGINTYPE::OBJECT, "#$31" + GeLoadString(10002), 4, "oadjustmentoperator", 2, true},
    {1054582, PLUGINTYPE::OBJECT, "#$32" + GeLoadString(10004), 4, "ocurveoperator", 1, true},
    {1054609, PLUGINTYPE::OBJECT, "#$33" + GeLoadString(10005), 4, "oclampoperator", 1, true},
    {1054618, PLUGINTYPE::OBJECT, "#$34" + GeLoadString(10007), 4, "obluroperator", 2, true},
    {1056139, PLUGINTYPE::OBJECT, "#$35" + GeLoadString(10013), 4, "osharpenoperator", 1, true},
    {1054640, PLUGINTYPE::OBJECT, "#$36" + GeLoadString(10009), 4, "omirroroperator", 1, true},
    {1055664, PLUGINTYPE::OBJECT, "#$37" + GeLoadString(10011), 4, "ofoldoperator", 1, true},
    {1054690, PLUGINTYPE::OBJECT, "#$38" + GeLoadString(10012), 4, "oerosionoperator", 1, true},
    {1056548, PLUGINTYPE::OBJECT, "#$38" + GeLoadString(10014), 4, "oquantizeoperator", 1, true},
    {1054746, PLUGINTYPE::COMMAND, "#$40--", 0, "", 0, false},
    {1054797, PLUGINTYPE::COMMAND, "#$41" + GeLoadString(10034), 0, "", 0, true},
    {1055911, PLUGINTYPE::COMMAND, "#$42" + GeLoadString(10036), 0, "", 0, true},
    {1056090, PLUGINTYPE::COMMAND, "#$43" + GeLoadString(10041), 0, "", 0, true},
    {1056091, PLUGINTYPE::COMMAND, "#$44" + GeLoadString(10043), 0, "", 0, true},
    {1056684, PLUGINTYPE::COMMAND, "#$45" + GeLoadString(10045), 0, "", 0, true},
    {1056685, PLUGINTYPE::COMMAND, "#$46" + GeLoadString(10047), 0, "", 0, true},
    {1054804, PLUGINTYPE::COMMAND, "#$50--", 0, "", 0, false},
    {1054655, PLUGINTYPE::SHADER, GeLoadString(10015), 0, "xterrainoperatorshader", 0, false},
    {1055624, PLUGINTYPE::PREFS, GeLoadString(10084), 0, "prefsogx", 0, false},
    {1055659, PLUGINTYPE::OTHER, "", 0, "", 0, false},
    {1055661, PLUGINTYPE::COMMAND, "#$52" + GeLoadString(10040), 0, "", 0, true},
    {1054744, PLUGINTYPE::COMMAND, "#$53" + GeLoadString(10038), 0, "", 0, true},
    {1056379, PLUGINTYPE::SCENEHOOK, "OGX_TerrainHudDrawSceneHook", 0, "", 0, false},
  };
  const std::vector<host::RegistrationCall> plugins = host::GetRegistrationLog();
  ASSERT_EQ(plugins.size(), expectedPlugins.size());
  for (std::size_t i = 0; i < plugins.size(); ++i)
  {
    SCOPED_TRACE(expectedPlugins[i].name);
    EXPECT_EQ(plugins[i].id, expectedPlugins[i].id);
    EXPECT_EQ(plugins[i].type, expectedPlugins[i].type);
    EXPECT_EQ(plugins[i].name, expectedPlugins[i].name);
    EXPECT_EQ(plugins[i].info, expectedPlugins[i].info);
    EXPECT_EQ(plugins[i].description, expectedPlugins[i].description);
    EXPECT_EQ(plugins[i].diskLevel, expectedPlugins[i].diskLevel);
    EXPECT_EQ(plugins[i].hasIcon, expectedPlugins[i].hasIcon);
    EXPECT_TRUE(plugins[i].result);
  }
  // Each object plug-in's registration line, after the start lines, in order.
  EXPECT_EQ(console[2], GeLoadString(10019, GeLoadString(10000)));
  const Int32 generatorNames[] = {10001, 10006, 10010, 10008, 10003};
  for (std::size_t i = 0; i < std::size(generatorNames); ++i)
    EXPECT_EQ(console[3 + i], GeLoadString(10017, GeLoadString(generatorNames[i])));
  const Int32 filterNames[] = {10002, 10004, 10005, 10007, 10013, 10009, 10011, 10012, 10014};
  for (std::size_t i = 0; i < std::size(filterNames); ++i)
    EXPECT_EQ(console[3 + std::size(generatorNames) + i], GeLoadString(10018, GeLoadString(filterNames[i])));
  EXPECT_EQ(console[3 + std::size(generatorNames) + std::size(filterNames)], GeLoadString(10019, GeLoadString(10015)));
  // The commands' help texts are the second string of each pair.
  EXPECT_EQ(host::FindPlugin(1054797)->help, GeLoadString(10035));
  EXPECT_EQ(host::FindPlugin(1056685)->help, GeLoadString(10048));
  // The preferences page filled its defaults in when it registered.
  ASSERT_NE(host::GetPrefsPage(1055624), nullptr);
  EXPECT_EQ(GetWorldContainerInstance()->GetContainerInstance(1055624)->GetInt32(1000), 4000);

  // The separators: default commands without icon or help, named by their sort order.
  struct Separator
  {
    Int32 id;
    const char* name;
  };
  const std::vector<Separator> separators = {
    {1054692, "#$20--"}, {1054745, "#$30--"}, {1054746, "#$40--"}, {1054804, "#$50--"}};
  std::vector<host::RegistrationCall> commands = CommandRegistrations();
  std::erase_if(commands, [](const host::RegistrationCall& c) { return !c.name.ends_with("--"); });
  ASSERT_EQ(commands.size(), separators.size());
  for (std::size_t i = 0; i < separators.size(); ++i)
  {
    SCOPED_TRACE(separators[i].name);
    EXPECT_EQ(commands[i].id, separators[i].id);
    EXPECT_EQ(commands[i].name, separators[i].name);
    EXPECT_EQ(commands[i].info, 0);
    EXPECT_FALSE(commands[i].hasIcon);
    EXPECT_TRUE(commands[i].result);
    EXPECT_EQ(host::FindPlugin(separators[i].id)->help, "");
    EXPECT_EQ(host::GetCommandState(separators[i].id, nullptr), CMD_ENABLED);
  }
}

TEST_F(ModuleEntryTest, TheGroupOperatorAndTheCommandsCutTheirIconsFromTheirCells)
{
  StartUp();
  // Cells of the main sheet, which paints each cell in its own colour.
  const IconCell cells[] = {
    {1054581, 320, 0},    // group operator
    {1054797, 192, 64},   // Group Operators
    {1055911, 384, 64},   // Ungroup Operators
    {1056090, 448, 64},   // Increase Resolution
    {1056091, 512, 64},   // Decrease Resolution
    {1056684, 64, 128},   // Next Blend Mode
    {1056685, 128, 128},  // Previous Blend Mode
    {1054744, 128, 64},   // About
  };
  for (const IconCell& cell : cells)
    ExpectIconFromCell(cell);
}

TEST_F(ModuleEntryTest, StartStopsAtTheFirstFailedRegistration)
{
  StartUp();
  const Int total = static_cast<Int>(host::GetRegistrationLog().size());
  ASSERT_GT(total, 0);
  End();
  for (Int n = 1; n <= total; ++n)
  {
    SCOPED_TRACE(n);
    host::ResetPlugins();
    host::ResetDescriptions();
    ASSERT_EQ(Load(), MODULE_OK);
    ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
    host::FailNthRegistration(n);
    EXPECT_EQ(Start(), 0);
    const std::vector<host::RegistrationCall> log = host::GetRegistrationLog();
    ASSERT_EQ(static_cast<Int>(log.size()), n);
    EXPECT_FALSE(log.back().result);
    End();
  }
}

TEST_F(ModuleEntryTest, AFailedIconOrDescriptionStopsTheStartBeforeWhatFollows)
{
  // An icon cell outside a sheet that is too small.
  MakeResources({true, true, true, 64, false});
  ASSERT_EQ(Load(), MODULE_OK);
  ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
  EXPECT_EQ(Start(), 0);
  EXPECT_TRUE(host::GetDescriptionRegistrationLog().empty());
  EXPECT_TRUE(host::GetRegistrationLog().empty());
  End();

  MakeResources(Resources());
  host::ResetIcons();
  ASSERT_EQ(Load(), MODULE_OK);
  ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
  host::FailNthDescriptionRegistration(1);
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(host::GetDescriptionRegistrationLog().size(), 1u);
  EXPECT_TRUE(host::GetRegistrationLog().empty());
}

TEST_F(ModuleEntryTest, OnlyTheEndThatBalancesTheLastLoadEndsTheModule)
{
  ASSERT_EQ(Load(), MODULE_OK);
  ASSERT_EQ(Load(), MODULE_OK);
  ASSERT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(End(), MODULE_OK);
  EXPECT_TRUE(host::IsStringTableLoaded());
  EXPECT_EQ(End(), MODULE_OK);
  EXPECT_FALSE(host::IsStringTableLoaded());
  // The icons stay registered: the library holds its own copies.
  IconData icon;
  EXPECT_TRUE(GetIcon(BLENDMODE_CELLS[0].id, &icon));
  // An end without a load has nothing to balance: the count does not go below 0, so the next load and
  // end still start and end the module.
  ++_loads;
  EXPECT_EQ(End(), MODULE_OK);
  ASSERT_EQ(Load(), MODULE_OK);
  EXPECT_EQ(Message(MODULE_MESSAGE_INIT), MODULE_OK);
  EXPECT_TRUE(host::IsStringTableLoaded());
  EXPECT_EQ(End(), MODULE_OK);
  EXPECT_FALSE(host::IsStringTableLoaded());
}

TEST_F(ModuleEntryTest, TheModuleRecordIsPublishedOnOpenAndReleasedOnClose)
{
  // An independent reduction modulo 2^43 gives the low 43 bits of the 64-bit hash.
  const auto reference = [](const std::string& s) {
    UInt64 h = 0;
    for (const unsigned char c : s)
      h = (h * 31 + c) % (UInt64(1) << 43);
    return (UInt64(s.size()) << 44) | h;
  };
  const std::vector<String> dependencies = {"net.maxon.c4d.cinema.framework", "net.maxon.core.framework",
                                            "net.maxon.math.framework", "net.maxon.mesh_misc.framework"};
  const std::vector<host::PublishedModuleRecord> records = host::GetPublishedModuleRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].accepted);
  EXPECT_EQ(records[0].moduleIdentifier, "net.orogenix.terrain");
  ASSERT_EQ(records[0].dependencies.size(), dependencies.size());
  for (std::size_t i = 0; i < dependencies.size(); ++i)
  {
    EXPECT_EQ(records[0].dependencies[i].identifier, dependencies[i]);
    EXPECT_EQ(records[0].dependencies[i].hash, reference(dependencies[i]));
  }
  EXPECT_TRUE(host::GetReleasedModuleIdentifiers().empty());

  _lib.reset();
  EXPECT_EQ(host::GetReleasedModuleIdentifiers(),
            (std::vector<String>{dependencies[3], dependencies[2], dependencies[1], dependencies[0]}));
  // Reopened for TearDown's balance.
  _lib = std::move(host::ModuleLibrary::Open(MODULE_FILE).GetValue());
}
} // namespace
