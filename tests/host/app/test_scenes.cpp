// Every scene document shipped in scenes/ renders through the front end as a user runs it: ogx-host
// exits with 0 and writes the mesh, the map and the top view of each terrain object, and with
// --maps-only the maps alone; the gradients' outlines show in the top view of their scene. New scenes are picked up without touching this file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_host.h"
#include "support/png_decode.h"

namespace fs = std::filesystem;

namespace
{
std::vector<std::string> SceneFiles()
{
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(fs::path(OGX_SOURCE_DIR) / "scenes"))
    if (e.is_regular_file() && e.path().extension() == ".json")
      names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

using host_app_test::Quote;
using host_app_test::ReadText;

class SceneRenderTest : public ::testing::TestWithParam<std::string>
{
};

// Runs ogx-host on the scene into out with the extra arguments; fails the test unless it exits with 0.
void Render(const fs::path& scene, const fs::path& work, const fs::path& out, const std::vector<std::string>& extra)
{
  std::string command = Quote(OGX_HOST_EXE);
  std::vector<std::string> args = {scene.string(), "--out", out.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  for (const std::string& a : args)
  {
    command += ' ';
    command += Quote(a);
  }
  command += " >" + Quote((work / "stdout.txt").string()) + " 2>" + Quote((work / "stderr.txt").string());
  const int status = std::system(command.c_str());
  const std::string stdoutText = ReadText(work / "stdout.txt");
  const std::string stderrText = ReadText(work / "stderr.txt");
  ASSERT_TRUE(WIFEXITED(status)) << stdoutText << stderrText;
  ASSERT_EQ(WEXITSTATUS(status), 0) << stdoutText << stderrText;
}

// Files of out by suffix.
std::map<std::string, int> CountBySuffix(const fs::path& out)
{
  std::map<std::string, int> counts;
  for (const fs::directory_entry& e : fs::directory_iterator(out))
  {
    EXPECT_GT(fs::file_size(e.path()), 0u) << e.path();
    ++counts[e.path().extension().string()];
  }
  return counts;
}

TEST_P(SceneRenderTest, RendersEveryTerrainObject)
{
  const fs::path scene = fs::path(OGX_SOURCE_DIR) / "scenes" / GetParam();
  const fs::path work = fs::temp_directory_path() / ("ogx_scene_" + std::to_string(::getpid()) + "_" + scene.stem().string());
  fs::remove_all(work);
  fs::create_directories(work);

  // Each terrain object leaves a non-empty mesh and top view.
  const fs::path out = work / "out";
  ASSERT_NO_FATAL_FAILURE(Render(scene, work, out, {}));
  std::map<std::string, int> all = CountBySuffix(out);
  EXPECT_GT(all[".png"], 0) << ReadText(work / "stdout.txt");
  EXPECT_GE(all[".png"], all[".obj"]);

  // The scene with gradient operators shows their outlines over its top view, in the viewport's outline
  // colour (no shade of the terrain has a red of 255): the radial gradient's two circles and the
  // rectangle's box run to several hundred pixels.
  if (GetParam() == "gradient-spline.json")
  {
    const host::app::RgbaImage view = ogx_test::DecodePng(ReadText(out / "Shapes.png"));
    int outline = 0;
    for (std::size_t i = 0; i + 3 < view.pixels.size(); i += 4)
      outline += view.pixels[i] == 255 && view.pixels[i + 1] == 179 && view.pixels[i + 2] == 38 ? 1 : 0;
    EXPECT_GT(outline, 500);
  }

  // With --maps-only the same maps and nothing else.
  const fs::path maps = work / "maps";
  ASSERT_NO_FATAL_FAILURE(Render(scene, work, maps, {"--maps-only"}));
  EXPECT_EQ(CountBySuffix(maps), (std::map<std::string, int>{{".tif", all[".tif"]}}));
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneRenderTest, ::testing::ValuesIn(SceneFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                           return name;
                         });
} // namespace
