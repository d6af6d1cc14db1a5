// The front end's document options as a user runs them: preferences for the run, menu commands on the
// scene's selection (honouring their enabling state), undo, button presses after the build, and saving
// the document; the shipped groups scene grouped and ungrouped again.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frontend.h"
#include "host/gui/keyboard.h"
#include "run_host.h"
#include "support/float_tiff.h"
#include "support/png_decode.h"

namespace fs = std::filesystem;
using namespace host::app;
using host_app_test::ReadText;
using host_app_test::RunHost;
using host_app_test::RunResult;
using host_app_test::WriteText;

namespace
{
const fs::path GROUPS_SCENE = fs::path(OGX_SOURCE_DIR) / "scenes" / "groups.json";
const char* HEIGHT_MAP = "Terrain_Grouped Terrain_Heights.tif";

fs::path WorkDir(const std::string& name)
{
  const fs::path dir = fs::temp_directory_path() / ("ogx_frontend_actions_" + name);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir;
}

// ogx-host on the groups scene, writing only the maps into work/out plus the extra arguments.
RunResult RunGroups(const fs::path& work, const std::vector<std::string>& extra, const char* out = "out")
{
  std::vector<std::string> args = {GROUPS_SCENE.string(), "--out", (work / out).string(), "--maps-only"};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunHost(args, work);
}

Bool Contains(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}
} // namespace

TEST(FrontEndArgumentsTest, DocumentOptionsKeepTheirOrder)
{
  const Result<FrontEndOptions> r =
    ParseArguments({"s.json", "--out", "o", "--run", "Group Operators", "--undo", "--run=1056090", "--press",
                    "Base:Export...", "--press", "a:b:1091", "--pref", "Maximum Resolution=2000", "--pref=10010=0.1",
                    "--save", "saved.json"});
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
  const FrontEndOptions& o = r.GetValue();
  ASSERT_EQ(o.actions.size(), 3u);
  EXPECT_EQ(o.actions[0].kind, DocumentAction::KIND::RUN);
  EXPECT_EQ(o.actions[0].command, "Group Operators");
  EXPECT_EQ(o.actions[1].kind, DocumentAction::KIND::UNDO);
  EXPECT_EQ(o.actions[2].command, "1056090");
  ASSERT_EQ(o.presses.size(), 2u);
  EXPECT_EQ(o.presses[0].object, "Base");
  EXPECT_EQ(o.presses[0].button, "Export...");
  EXPECT_EQ(o.presses[1].object, "a:b") << "the last colon separates the button";
  EXPECT_EQ(o.presses[1].button, "1091");
  ASSERT_EQ(o.preferences.size(), 2u);
  EXPECT_EQ(o.preferences[0].key, "Maximum Resolution");
  EXPECT_EQ(o.preferences[0].value, "2000");
  EXPECT_EQ(o.preferences[1].key, "10010");
  EXPECT_EQ(o.preferences[1].value, "0.1");
  EXPECT_EQ(o.save, Url(String("saved.json")));

  struct Case
  {
    std::vector<String> args;
    const char* error;
  };
  const std::vector<Case> cases = {
    {{"s.json", "--out", "o", "--run="}, "--run: the command is empty"},
    {{"s.json", "--out", "o", "--undo=2"}, "--undo: takes no value"},
    {{"s.json", "--out", "o", "--press", "Base"}, "--press: expected OBJECT:BUTTON (got \"Base\")"},
    {{"s.json", "--out", "o", "--press", "Base:"}, "--press: expected OBJECT:BUTTON (got \"Base:\")"},
    {{"s.json", "--out", "o", "--pref", "=3"}, "--pref: expected KEY=VALUE (got \"=3\")"},
    {{"s.json", "--out", "o", "--pref", "1000"}, "--pref: expected KEY=VALUE (got \"1000\")"},
    {{"s.json", "--out", "o", "--save="}, "--save: the file name is empty"},
    {{"--list-types", "--run", "Group Operators"},
     "--list-types: works on no document; give no --pref, --run, --undo, --press, --icons or --save with it"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.error);
    const Result<FrontEndOptions> bad = ParseArguments(c.args);
    ASSERT_TRUE(bad.IsError());
    EXPECT_EQ(bad.GetError().GetText(), c.error);
  }
}

TEST(FrontEndActionsTest, GroupingThenUngroupingLeavesTheTerrainIdentical)
{
  const fs::path work = WorkDir("regroup");
  const RunResult plain = RunGroups(work, {"--save", (work / "plain.json").string()}, "plain");
  ASSERT_EQ(plain.exit, 0) << plain.out << plain.err;

  // The scene selects the two operators of the inner group; the new group is selected afterwards, so the
  // ungroup takes it apart again.
  const RunResult regrouped = RunGroups(work, {"--run", "Group Operators", "--run", "ungroup operators"}, "regrouped");
  ASSERT_EQ(regrouped.exit, 0) << regrouped.out << regrouped.err;
  EXPECT_TRUE(Contains(regrouped.out, "Ran \"Group Operators\"\nRan \"ungroup operators\"\n")) << regrouped.out;
  ogx_test::FloatTiff a, b;
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "plain" / HEIGHT_MAP, a));
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "regrouped" / HEIGHT_MAP, b));
  EXPECT_EQ(a.width, 257u);
  EXPECT_EQ(a.values, b.values);

  // Grouped and saved: the new group under "Detail" holds the two operators and is the active object.
  const RunResult grouped =
    RunGroups(work, {"--run", "Group Operators", "--save", (work / "grouped.json").string()}, "grouped");
  ASSERT_EQ(grouped.exit, 0) << grouped.err;
  EXPECT_TRUE(Contains(grouped.out, "Saved " + (work / "grouped.json").string())) << grouped.out;
  const std::string saved = ReadText(work / "grouped.json");
  const std::size_t detail = saved.find("\"Detail\"");
  const std::size_t active = saved.find("\"active\": true");
  const std::size_t ridges = saved.find("\"Ridges\"");
  ASSERT_NE(detail, std::string::npos);
  ASSERT_NE(active, std::string::npos) << saved;
  EXPECT_TRUE(detail < active && active < ridges) << saved;
  EXPECT_EQ(saved.find("\"selected\""), saved.rfind("\"selected\"")) << "only the group stays selected";

  // Undone in the same run, the saved document is the one nobody grouped.
  const RunResult undone =
    RunGroups(work, {"--run", "Group Operators", "--undo", "--save", (work / "undone.json").string()}, "undone");
  ASSERT_EQ(undone.exit, 0) << undone.err;
  EXPECT_EQ(ReadText(work / "undone.json"), ReadText(work / "plain.json"));
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, WhatCannotBeDoneIsSaidAndTheRestStillRuns)
{
  const fs::path work = WorkDir("notdone");
  // Two operators are selected, no group: ungrouping is disabled, as the menu would show it.
  const RunResult disabled = RunGroups(work, {"--run", "Ungroup Operators", "--undo"});
  EXPECT_EQ(disabled.exit, 1);
  EXPECT_TRUE(Contains(disabled.err, "ogx-host: --run \"Ungroup Operators\": the command is disabled for this "
                                     "selection; it was not run\n"))
    << disabled.err;
  EXPECT_TRUE(Contains(disabled.err, "ogx-host: --undo: there is nothing to undo\n")) << disabled.err;
  EXPECT_TRUE(fs::exists(work / "out" / HEIGHT_MAP)) << "the terrain is still built";

  // A command the module does not have: nothing is done.
  const RunResult unknown = RunGroups(work, {"--run", "Regroup"}, "unknown");
  EXPECT_EQ(unknown.exit, 2);
  EXPECT_TRUE(Contains(unknown.err, "ogx-host: --run: no command \"Regroup\" (the commands: ")) << unknown.err;
  EXPECT_TRUE(Contains(unknown.err, "\"Group Operators\"")) << unknown.err;
  EXPECT_FALSE(fs::exists(work / "unknown" / HEIGHT_MAP));

  // Buttons that are not there, and a save that cannot be written.
  const RunResult presses = RunGroups(
    work, {"--press", "Nobody:Export...", "--press", "Base:Fly", "--press", "Base:1001", "--save", "/nonexistent/x.json"},
    "presses");
  EXPECT_EQ(presses.exit, 1);
  EXPECT_TRUE(Contains(presses.err, "--press Nobody:Export...: the scene has no object \"Nobody\"")) << presses.err;
  EXPECT_TRUE(Contains(presses.err, "--press Base:Fly: \"Base\" has no button \"Fly\"")) << presses.err;
  EXPECT_TRUE(Contains(presses.err, "--press Base:1001: \"Base\": \"Opacity\" (1001) is no button")) << presses.err;
  EXPECT_TRUE(Contains(presses.err, "/nonexistent/x.json")) << presses.err;
  fs::remove_all(work);
}

TEST(FrontEndArgumentsTest, CommandsMayNameTheKeysHeldWhileTheyRun)
{
  struct Case
  {
    const char* text;
    const char* command;
    Int32 qualifiers;
  };
  const Case cases[] = {
    {"Decrease Resolution", "Decrease Resolution", QUALIFIER_NONE},
    {"Shift+Decrease Resolution", "Decrease Resolution", QUALIFIER_SHIFT},
    {"shift+1056091", "1056091", QUALIFIER_SHIFT},
    {"Ctrl+SHIFT+Next Blend Mode", "Next Blend Mode", QUALIFIER_SHIFT | QUALIFIER_CTRL},
    {"Shift+", "Shift+", QUALIFIER_NONE},
    {"Shiftless", "Shiftless", QUALIFIER_NONE},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.text);
    const QualifiedCommand q = SplitQualifiers(c.text);
    EXPECT_EQ(q.command, c.command);
    EXPECT_EQ(q.qualifiers, c.qualifiers);
  }
}

TEST(FrontEndActionsTest, CommandsWorkOnTheSelectionTheSceneMarks)
{
  const fs::path work = WorkDir("selection");
  // The selected operators' terrain object goes up by 250 without SHIFT, by 100 with it.
  const RunResult raised = RunGroups(work, {"--run", "Increase Resolution"});
  ASSERT_EQ(raised.exit, 0) << raised.err;
  ogx_test::FloatTiff map;
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "out" / HEIGHT_MAP, map));
  EXPECT_EQ(map.width, 507u);
  // SHIFT is held for the one command that names it, then let go.
  const RunResult fine =
    RunGroups(work, {"--run", "Shift+Increase Resolution", "--run", "Increase Resolution"}, "fine");
  ASSERT_EQ(fine.exit, 0) << fine.err;
  EXPECT_TRUE(Contains(fine.out, "Ran \"Shift+Increase Resolution\"\n")) << fine.out;
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "fine" / HEIGHT_MAP, map));
  EXPECT_EQ(map.width, 607u);
  // 256 - 250 would go below 100: only the fine step lowers it.
  const RunResult lowered =
    RunGroups(work, {"--run", "Decrease Resolution", "--run", "shift+decrease resolution"}, "lowered");
  ASSERT_EQ(lowered.exit, 0) << lowered.err;
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "lowered" / HEIGHT_MAP, map));
  EXPECT_EQ(map.width, 157u);

  // A scene that marks the inner group active: ungrouping takes that one apart.
  std::string scene = ReadText(GROUPS_SCENE);
  const std::string detail = "\"name\": \"Detail\",";
  ASSERT_TRUE(Contains(scene, detail));
  scene.replace(scene.find(detail), detail.size(), detail + " \"active\": true,");
  WriteText(work / "active.json", scene);
  const RunResult ungrouped = RunHost({(work / "active.json").string(), "--out", (work / "active").string(),
                                       "--maps-only", "--run", "Ungroup Operators", "--save",
                                       (work / "ungrouped.json").string()},
                                      work);
  ASSERT_EQ(ungrouped.exit, 0) << ungrouped.err;
  const std::string saved = ReadText(work / "ungrouped.json");
  EXPECT_FALSE(Contains(saved, "\"Detail\"")) << saved;
  EXPECT_TRUE(Contains(saved, "\"Grain\"")) << saved;
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, PressingAnOperatorsExportWritesItsMapIntoTheOutputFolder)
{
  const fs::path work = WorkDir("press");
  const RunResult r = RunGroups(work, {"--press", "Base:Export...", "--press", "Landscape:1091"});
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  for (const char* name : {"Base_Heights.tif", "Landscape_Heights.tif"})
  {
    SCOPED_TRACE(name);
    EXPECT_TRUE(Contains(r.out, "Wrote " + (work / "out" / name).string())) << r.out;
    // Another reader opens it: one float per cell, normalised to 0..1.
    ogx_test::FloatTiff map;
    ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "out" / name, map));
    EXPECT_EQ(map.width, 257u);
    EXPECT_EQ(map.height, 257u);
    EXPECT_EQ(*std::min_element(map.values.begin(), map.values.end()), 0.0f);
    EXPECT_EQ(*std::max_element(map.values.begin(), map.values.end()), 1.0f);
  }
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, AGroupsAddOperatorEntriesArePressedByTheirLabels)
{
  const fs::path work = WorkDir("addoperator");
  const RunResult r = RunGroups(work, {"--press", "Detail:Blur", "--press", "Landscape:Noise", "--save",
                                       (work / "added.json").string()});
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Pressed Noise on \"Landscape\" (no file was written)\n")) << r.out;
  // Each new operator is its group's last child: the blur after Grain inside Detail, the noise after
  // Detail inside Landscape.
  const std::string saved = ReadText(work / "added.json");
  const std::size_t grain = saved.find("\"Grain\"");
  const std::size_t blur = saved.find("\"type\": 1054618");
  const std::size_t noise = saved.rfind("\"type\": 1054566");
  ASSERT_NE(grain, std::string::npos) << saved;
  ASSERT_NE(blur, std::string::npos) << saved;
  EXPECT_TRUE(grain < blur && blur < noise) << saved;
  EXPECT_EQ(noise, saved.find("\"type\": 1054566", grain)) << "one new noise operator, after the blur";
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, IconsShowEachGeneratorsBlendModeUnlessSwitchedOff)
{
  const fs::path work = WorkDir("icons");
  // Base blends Normal, Ridges Add and Grain Subtract; all three are noise operators.
  const RunResult shown = RunGroups(work, {"--icons"}, "shown");
  ASSERT_EQ(shown.exit, 0) << shown.out << shown.err;
  EXPECT_TRUE(Contains(shown.out, "Wrote " + (work / "shown" / "Grain_icon.png").string() + " (the icon of \"Grain\")"))
    << shown.out;
  const auto icon = [&](const char* run, const char* name) {
    return ogx_test::DecodePng(ReadText(work / run / (std::string(name) + "_icon.png")));
  };
  // The pixels of the square [x0, x1) x [y0, y1).
  const auto part = [](const RgbaImage& image, Int32 x0, Int32 y0, Int32 x1, Int32 y1) {
    std::vector<UChar> out;
    for (Int32 y = y0; y < y1; ++y)
      for (Int32 x = x0; x < x1; ++x)
        for (Int32 c = 0; c < 4; ++c)
          out.push_back(image.pixels[static_cast<std::size_t>((y * image.width + x) * 4 + c)]);
    return out;
  };
  const RgbaImage base = icon("shown", "Base");
  const RgbaImage grain = icon("shown", "Grain");
  ASSERT_EQ(base.width, 64);
  ASSERT_EQ(grain.height, 64);
  EXPECT_EQ(part(base, 0, 0, 32, 32), part(grain, 0, 0, 32, 32)) << "the noise operator's own icon";
  EXPECT_NE(part(base, 32, 32, 64, 64), part(grain, 32, 32, 64, 64)) << "Normal and Subtract differ";
  for (const char* other : {"Grouped Terrain", "Landscape", "Detail", "Ridges"})
    EXPECT_TRUE(fs::exists(work / "shown" / (std::string(other) + "_icon.png"))) << other;

  // Next Blend Mode takes Ridges from Add to Subtract: its icon is then Grain's was.
  const RunResult stepped = RunGroups(work, {"--run", "Next Blend Mode", "--icons"}, "stepped");
  ASSERT_EQ(stepped.exit, 0) << stepped.err;
  EXPECT_EQ(icon("stepped", "Ridges").pixels, grain.pixels);

  // Switched off in the preferences, every noise operator shows the plain noise icon.
  const RunResult plain = RunGroups(work, {"--pref", "Show Blend Mode Icons=false", "--icons"}, "plain");
  ASSERT_EQ(plain.exit, 0) << plain.err;
  EXPECT_EQ(icon("plain", "Base").pixels, icon("plain", "Grain").pixels);
  EXPECT_NE(icon("plain", "Base").pixels, base.pixels);
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, ThePreferencesPagesButtonLoadsThePalette)
{
  const fs::path work = WorkDir("palette");
  const RunResult r = RunGroups(work, {"--press", "Orogenix:Load Palette", "--press", "Orogenix:20001"});
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  const std::string palette = (fs::path(OGX_HOST_EXE).parent_path() / "res" / "orogenix_palette.l4d").string();
  EXPECT_TRUE(Contains(r.out, "Loaded " + palette + " into the interface (--press Orogenix:Load Palette)\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Loaded " + palette + " into the interface (--press Orogenix:20001)\n")) << r.out;

  // A module installed without its palette: the host cannot load it, and the run says so.
  const fs::path module = work / "module";
  fs::create_directories(module);
  fs::copy(fs::path(OGX_HOST_EXE).parent_path() / "orogenix.so", module / "orogenix.so");
  fs::copy(fs::path(OGX_HOST_EXE).parent_path() / "res", module / "res", fs::copy_options::recursive);
  fs::remove(module / "res" / "orogenix_palette.l4d");
  const RunResult missing =
    RunGroups(work, {"--module", (module / "orogenix.so").string(), "--press", "Orogenix:Load Palette"}, "missing");
  EXPECT_EQ(missing.exit, 1) << missing.out << missing.err;
  EXPECT_TRUE(Contains(missing.err, "--press Orogenix:Load Palette: the host could not load " +
                                      (module / "res" / "orogenix_palette.l4d").string()))
    << missing.err;

  // A name that is neither an object nor a page.
  const RunResult nobody = RunGroups(work, {"--press", "Settings:Load Palette"}, "nobody");
  EXPECT_EQ(nobody.exit, 1);
  EXPECT_TRUE(Contains(nobody.err, "--press Settings:Load Palette: the scene has no object \"Settings\" and no "
                                   "preferences page has that name"))
    << nobody.err;
  fs::remove_all(work);
}

TEST(FrontEndActionsTest, PreferencesForTheRun)
{
  const fs::path work = WorkDir("prefs");
  // The cap comes down below the scene's 256: the terrain is clamped to it when the scene is read.
  const RunResult capped = RunGroups(work, {"--pref", "Maximum Resolution=200", "--pref", "10010=0.2"});
  ASSERT_EQ(capped.exit, 0) << capped.err;
  ogx_test::FloatTiff map;
  ASSERT_TRUE(ogx_test::ReadFloatTiff(work / "out" / HEIGHT_MAP, map));
  EXPECT_EQ(map.width, 201u);

  struct Case
  {
    const char* setting;
    const char* error;
  };
  const Case cases[] = {
    {"Maximum Resolution=big", "--pref Maximum Resolution: expected a whole number (got \"big\")"},
    {"1001=maybe", "--pref 1001: expected true or false (got \"maybe\")"},
    {"Blend Mode of New Generators=Sideways",
     "--pref Blend Mode of New Generators: expected a whole number or one of \"Normal\", \"Add\""},
    {"Colour=red", "--pref Colour: no preferences page has this key"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.setting);
    const RunResult r = RunGroups(work, {"--pref", c.setting}, "bad");
    EXPECT_EQ(r.exit, 2);
    EXPECT_TRUE(Contains(r.err, std::string("ogx-host: ") + c.error)) << r.err;
  }
  // A label names a cycle's value.
  EXPECT_EQ(RunGroups(work, {"--pref", "Blend Mode of New Generators=Subtract"}, "label").exit, 0);

  // Every key of the page by the name the README gives it; the HUD items switched show in the HUD line.
  const RunResult all = RunGroups(
    work, {"--pref", "Maximum Resolution=3000", "--pref", "Blend Mode of New Generators=Normal", "--pref",
           "Show Blend Mode Icons=false", "--pref", "Show HUD=true", "--pref", "Text Position=0.1", "--pref",
           "Name=false", "--pref", "Points=true", "--pref", "Polygons=false", "--pref", "Height Minimum=true", "--pref",
           "Height Range=false", "--pref", "Output Minimum=true", "--pref", "Output Range=false", "--pref",
           "Memory=false"},
    "all");
  ASSERT_EQ(all.exit, 0) << all.err;
  EXPECT_TRUE(Contains(all.out, "HUD: Points: 66049 | Height min: ")) << all.out;
  EXPECT_FALSE(Contains(all.out, "Memory")) << all.out;
  fs::remove_all(work);
}
