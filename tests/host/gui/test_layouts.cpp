#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/core/log.h"
#include "host/gui/layouts.h"

namespace
{
class Layouts : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetLoadFileRequests();
    host::ResetLogs();
    _dir = std::filesystem::temp_directory_path() / "ogx_layouts_test";
    std::filesystem::create_directories(_dir);
  }
  void TearDown() override
  {
    host::ResetLoadFileRequests();
    std::error_code ec;
    std::filesystem::remove_all(_dir, ec);
  }
  std::filesystem::path _dir;
};
} // namespace

TEST_F(Layouts, RequestsAreRecordedAndMissingFilesReported)
{
  const std::filesystem::path palette = _dir / "palette.l4d";
  std::ofstream(palette) << "1054797\n";

  EXPECT_TRUE(LoadFile(Url(palette)));
  EXPECT_EQ(host::Console().GetCount(), 0);
  EXPECT_FALSE(LoadFile(Url(_dir / "missing.l4d")));
  EXPECT_EQ(host::Console().GetLast(), "Could not load file " + (_dir / "missing.l4d").string());
  EXPECT_FALSE(LoadFile(Url(_dir)));   // a folder is no layout

  const std::vector<host::LoadFileRecord> requests = host::GetLoadFileRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].file.GetPath(), palette);
  EXPECT_TRUE(requests[0].loaded);
  EXPECT_FALSE(requests[1].loaded);
  EXPECT_FALSE(requests[2].loaded);
}
