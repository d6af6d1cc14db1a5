#include <gtest/gtest.h>

#include <optional>

#include "host/gui/dialogs.h"

namespace
{
class Dialogs : public ::testing::Test
{
protected:
  void SetUp() override { host::ResetDialogs(); }
  void TearDown() override { host::ResetDialogs(); }
};

Url U(const char* path)
{
  return Url(String(path));
}
} // namespace

TEST_F(Dialogs, MessageDialogsAreRecordedInOrderAndAnswerOk)
{
  EXPECT_EQ(MessageDialog(String("first")), GEMB_R_OK);
  EXPECT_EQ(MessageDialog(GEMB_ICONASTERISK, String("second")), GEMB_R_OK);
  const auto log = host::GetMessageDialogs();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].type, GEMB_ICONEXCLAMATION);
  EXPECT_EQ(log[0].text, "first");
  EXPECT_EQ(log[1].type, 64);
  EXPECT_EQ(log[1].text, "second");
}

TEST_F(Dialogs, FileSelectAnswersFromTheQueue)
{
  enum class ANSWER
  {
    NONE,
    FILE,
    DIRECTORY,
    CANCEL
  };
  struct Case
  {
    const char* name;
    ANSWER answer;
    const char* answerPath;
    FILESELECT mode;
    const char* proposed;
    const char* suffix;
    std::optional<const char*> chosen;   // nullopt: cancelled
  };
  const Case cases[] = {
    {"file answer replaces the proposal", ANSWER::FILE, "/out/x.tif", FILESELECT::SAVE, "Terrain_a_heights.tif", "", "/out/x.tif"},
    {"forced suffix is added", ANSWER::FILE, "/out/x", FILESELECT::SAVE, "a.tif", "tif", "/out/x.tif"},
    {"suffix already there, any case", ANSWER::FILE, "/out/x.TIF", FILESELECT::SAVE, "a", "tif", "/out/x.TIF"},
    {"another suffix is kept and the forced one added", ANSWER::FILE, "/out/x.png", FILESELECT::SAVE, "a", "tif", "/out/x.png.tif"},
    {"directory keeps the proposed name", ANSWER::DIRECTORY, "/out", FILESELECT::SAVE, "some/where/Terrain_a.tif", "", "/out/Terrain_a.tif"},
    {"a dot in the name survives the suffix", ANSWER::DIRECTORY, "/out", FILESELECT::SAVE, "Terrain_v1.2_heights", "tif",
     "/out/Terrain_v1.2_heights.tif"},
    {"directory without a name to keep", ANSWER::DIRECTORY, "/out", FILESELECT::SAVE, "", "tif", std::nullopt},
    {"directory mode takes the directory", ANSWER::DIRECTORY, "/out/maps", FILESELECT::DIRECTORY, "ignored.tif", "tif", "/out/maps"},
    {"load with a file answer", ANSWER::FILE, "/in/sheet.tif", FILESELECT::LOAD, "", "", "/in/sheet.tif"},
    {"cancel", ANSWER::CANCEL, "", FILESELECT::SAVE, "Terrain_a.tif", "tif", std::nullopt},
    {"empty queue cancels", ANSWER::NONE, "", FILESELECT::SAVE, "Terrain_a.tif", "tif", std::nullopt},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    host::ResetDialogs();
    switch (c.answer)
    {
      case ANSWER::FILE: host::QueueFileSelectAnswer(U(c.answerPath)); break;
      case ANSWER::DIRECTORY: host::QueueFileSelectDirectoryAnswer(U(c.answerPath)); break;
      case ANSWER::CANCEL: host::QueueFileSelectCancel(); break;
      case ANSWER::NONE: break;
    }
    Url file = U(c.proposed);
    const Bool confirmed = FileSelect(file, FILESELECTTYPE::IMAGES, c.mode, String("Save map"), String(c.suffix));
    EXPECT_EQ(confirmed, c.chosen.has_value());
    EXPECT_EQ(file, c.chosen ? U(*c.chosen) : U(c.proposed));   // a cancel leaves the proposal
    EXPECT_EQ(host::GetQueuedFileSelectAnswerCount(), 0);

    const auto log = host::GetFileSelects();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].title, "Save map");
    EXPECT_EQ(log[0].proposedName, U(c.proposed).GetName());
    EXPECT_EQ(log[0].mode, c.mode);
    EXPECT_EQ(log[0].type, FILESELECTTYPE::IMAGES);
    EXPECT_EQ(log[0].confirmed, confirmed);
    EXPECT_EQ(log[0].chosen, c.chosen ? U(*c.chosen) : Url());
  }
}

TEST_F(Dialogs, AnswersAreUsedInOrderAndResetClearsEverything)
{
  host::QueueFileSelectCancel();
  host::QueueFileSelectAnswer(U("/out/second.tif"));
  host::QueueFileSelectAnswer(U("/out/unused.tif"));
  EXPECT_EQ(host::GetQueuedFileSelectAnswerCount(), 3);

  Url file = U("Terrain_t_slopes.tif");
  EXPECT_FALSE(FileSelect(file, FILESELECTTYPE::IMAGES, FILESELECT::SAVE, String("one")));
  EXPECT_TRUE(FileSelect(file, FILESELECTTYPE::IMAGES, FILESELECT::SAVE, String("two"), String("tif")));
  EXPECT_EQ(file, U("/out/second.tif"));
  EXPECT_EQ(host::GetQueuedFileSelectAnswerCount(), 1);

  const auto log = host::GetFileSelects();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].title, "one");
  EXPECT_EQ(log[0].suffix, "tif");   // no forced suffix: the proposal's own
  EXPECT_FALSE(log[0].confirmed);
  EXPECT_EQ(log[1].title, "two");
  EXPECT_EQ(log[1].proposedName, "Terrain_t_slopes.tif");
  EXPECT_TRUE(log[1].confirmed);
  MessageDialog(String("note"));

  host::ResetDialogs();
  EXPECT_EQ(host::GetQueuedFileSelectAnswerCount(), 0);
  EXPECT_TRUE(host::GetFileSelects().empty());
  EXPECT_TRUE(host::GetMessageDialogs().empty());
  EXPECT_FALSE(FileSelect(file, FILESELECTTYPE::IMAGES, FILESELECT::SAVE, String("after reset")));
}
