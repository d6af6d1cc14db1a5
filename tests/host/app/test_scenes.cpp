// Every scene document shipped in scenes/ renders through the front end as a user runs it: ogx-host
// exits with 0 and writes the mesh, the map and the top view of each terrain object. New scenes are
// picked up without touching this file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

std::string Quote(const std::string& s)
{
  std::string q = "'";
  for (const char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string ReadText(const fs::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SceneRenderTest : public ::testing::TestWithParam<std::string>
{
};

TEST_P(SceneRenderTest, RendersEveryTerrainObject)
{
  const fs::path scene = fs::path(OGX_SOURCE_DIR) / "scenes" / GetParam();
  const fs::path work = fs::temp_directory_path() / ("ogx_scene_" + std::to_string(::getpid()) + "_" + scene.stem().string());
  fs::remove_all(work);
  fs::create_directories(work);
  const fs::path out = work / "out";
  std::string command = Quote(OGX_HOST_EXE);
  for (const std::string& a : {scene.string(), std::string("--out"), out.string()})
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

  // Each terrain object leaves a non-empty mesh and top view.
  int objs = 0;
  int pngs = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(out))
  {
    ASSERT_GT(fs::file_size(e.path()), 0u) << e.path();
    objs += e.path().extension() == ".obj" ? 1 : 0;
    pngs += e.path().extension() == ".png" ? 1 : 0;
  }
  EXPECT_GT(pngs, 0) << stdoutText;
  EXPECT_GE(pngs, objs);
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneRenderTest, ::testing::ValuesIn(SceneFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                           return name;
                         });
} // namespace
