#include <gtest/gtest.h>

#include <filesystem>

#include "command/command_about.h"
#include "command/command_openhelp.h"
#include "common/ogx_icons.h"
#include "host/core/log.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/gui/keyboard.h"
#include "host/imaging/bitmap.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"

namespace
{
using KIND = host::DialogGadget::KIND;

class AboutTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetDialogs();
    host::ResetInputState();
    host::ResetIcons();
    UseModuleDirectory(Url(String(OGX_SOURCE_DIR)));
  }
  void TearDown() override
  {
    FreeResource();
    host::SetModuleDirectory(Url());
    host::ResetInputState();
    host::ResetSceneState();
    if (!_bare.empty())
      std::filesystem::remove_all(_bare);
  }

  void UseModuleDirectory(const Url& dir)
  {
    host::SetModuleDirectory(dir);
    ASSERT_TRUE(InitResource());
  }

  // A module folder with the strings but without the logo.
  Url ModuleWithoutLogo()
  {
    _bare = std::filesystem::temp_directory_path() / ("ogx-about-" + std::to_string(::getpid()));
    std::filesystem::remove_all(_bare);
    std::filesystem::create_directories(_bare / "res");
    std::filesystem::copy_file(std::filesystem::path(OGX_SOURCE_DIR) / "res" / "strings.json",
                               _bare / "res" / "strings.json");
    return Url(_bare);
  }

  std::filesystem::path _bare;
};

TEST_F(AboutTest, TheDialogShowsLogoNameVersionRevisionAndDate)
{
  AboutCommand command;
  EXPECT_EQ(command.GetState(nullptr), CMD_ENABLED);
  ASSERT_TRUE(command.Execute(nullptr));
  const AboutDialog& dialog = command.GetDialog();
  ASSERT_TRUE(dialog.IsOpen());
  const host::DialogOpenRecord& opened = dialog.GetOpenRecord();
  EXPECT_EQ(opened.type, DLG_TYPE::ASYNC);
  EXPECT_EQ(opened.pluginId, 1054744);
  EXPECT_EQ(opened.x, -2);
  EXPECT_EQ(opened.y, -2);
  EXPECT_EQ(opened.defaultWidth, 200);
  EXPECT_EQ(opened.defaultHeight, 0);
  EXPECT_EQ(dialog.GetTitle(), GeLoadString(10038));

  const std::vector<host::DialogGadget>& layout = dialog.GetLayout();
  ASSERT_EQ(layout.size(), 10u);
  EXPECT_EQ(layout[0].kind, KIND::GROUP_BEGIN);
  const host::DialogGadget& logo = layout[1];
  EXPECT_EQ(logo.kind, KIND::CUSTOM_GUI);
  EXPECT_EQ(logo.id, 10000);
  EXPECT_EQ(logo.customType, 1000479);
  EXPECT_EQ(logo.flags, 0);
  EXPECT_EQ(logo.width, 0x400000);
  EXPECT_EQ(logo.height, 0xA0000);
  BaseContainer settings;
  settings.SetInt32(21, 1000479);
  settings.SetInt32(0x62726472, 0);       // 'brdr'
  settings.SetBool(0x6E627264, true);     // 'nbrd'
  settings.SetBool(0x62757474, false);    // 'butt'
  settings.SetBool(0x746F6767, false);    // 'togg'
  settings.SetBool(0x706F7075, false);    // 'popu'
  EXPECT_TRUE(logo.settings == settings);
  EXPECT_EQ(layout[2].kind, KIND::GROUP_BEGIN);
  EXPECT_EQ(layout[2].id, 0);
  EXPECT_EQ(layout[2].flags, 36);
  EXPECT_EQ(layout[2].columns, 1);

  const std::vector<std::pair<String, Int32>> texts = {
    {"Orogenix 1.1.0 ", 56}, {"", 0}, {"Rev master @ 051ccf5", 56}, {"2021-03-10", 56}, {"", 0}};
  for (std::size_t i = 0; i < texts.size(); ++i)
  {
    const host::DialogGadget& g = layout[3 + i];
    EXPECT_EQ(g.kind, KIND::STATIC_TEXT);
    EXPECT_EQ(g.id, 0);
    EXPECT_EQ(g.flags, 0);
    EXPECT_EQ(g.width, 0);
    EXPECT_EQ(g.height, 0);
    EXPECT_EQ(g.text, texts[i].first);
    EXPECT_EQ(g.borderStyle, texts[i].second);
  }
  EXPECT_EQ(layout[8].kind, KIND::GROUP_END);
  EXPECT_EQ(layout[9].kind, KIND::GROUP_END);

  // The logo shipped in res is our own picture, readable by the host.
  const auto* button = static_cast<const BitmapButtonCustomGui*>(logo.gui);
  ASSERT_NE(button->GetImage(), nullptr);
  EXPECT_EQ(button->GetImageFile(), GeGetPluginPath().Append("res").Append("ogx_logo.tif"));
  EXPECT_EQ(button->GetImage()->GetBw(), 256);
  EXPECT_EQ(button->GetImage()->GetBh(), 80);
}

TEST_F(AboutTest, WithoutTheLogoTheDialogStillOpensWithAnEmptyButton)
{
  UseModuleDirectory(ModuleWithoutLogo());
  AboutCommand command;
  ASSERT_TRUE(command.Execute(nullptr));
  const host::DialogGadget& logo = command.GetDialog().GetLayout().at(1);
  ASSERT_EQ(logo.kind, KIND::CUSTOM_GUI);
  EXPECT_EQ(static_cast<const BitmapButtonCustomGui*>(logo.gui)->GetImage(), nullptr);
  EXPECT_EQ(host::GetDialogTexts(command.GetDialog()).size(), 5u);
}

TEST_F(AboutTest, ShiftClickingTheLogoShowsAMessageAndAPlainClickCloses)
{
  AboutCommand command;
  AboutDialog& dialog = command.GetDialog();
  ASSERT_TRUE(command.Execute(nullptr));
  host::SetQualifiers(QUALIFIER_SHIFT);
  EXPECT_TRUE(host::ClickDialogGadget(dialog, 10000));
  EXPECT_TRUE(dialog.IsOpen());
  const std::vector<host::MessageDialogRecord> boxes = host::GetMessageDialogs();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].type, 64);
  EXPECT_EQ(boxes[0].text, "Why would you ever SHIFT+Click on this logo? This doesn't make any sense.");

  host::SetQualifiers(QUALIFIER_NONE);
  EXPECT_TRUE(host::ClickDialogGadget(dialog, 10000));
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_EQ(host::GetMessageDialogs().size(), 1u);
}

TEST_F(AboutTest, TheHostsCloseMessageClosesAndOthersGoToTheDefault)
{
  AboutCommand command;
  AboutDialog& dialog = command.GetDialog();
  ASSERT_TRUE(command.Execute(nullptr));
  EXPECT_EQ(host::SendDialogMessage(dialog, 0x12345678), 0);
  EXPECT_TRUE(dialog.IsOpen());
  EXPECT_EQ(host::GetOpenDialogs(), (std::vector<GeDialog*>{&dialog}));
  EXPECT_EQ(host::SendDialogMessage(dialog, 0x6249504E), 1);
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_TRUE(host::GetOpenDialogs().empty());

  int secret = 0;
  ASSERT_TRUE(command.RestoreLayout(&secret));
  EXPECT_TRUE(dialog.IsOpen());
  EXPECT_TRUE(dialog.GetOpenRecord().restored);
  EXPECT_EQ(dialog.GetOpenRecord().pluginId, 1054744);
  EXPECT_EQ(dialog.GetOpenRecord().subId, 0);
  EXPECT_EQ(dialog.GetOpenRecord().secret, &secret);
}

TEST_F(AboutTest, BothCommandsRegisterWithTheirIconsAndMenuNames)
{
  ASSERT_TRUE(LoadIconSheets());
  ASSERT_TRUE(RegisterOpenHelpCommand(52));
  ASSERT_TRUE(RegisterAboutCommand(53));
  FreeIconSheets();
  const host::PluginEntry* help = host::FindPlugin(1055661);
  const host::PluginEntry* about = host::FindPlugin(1054744);
  ASSERT_NE(help, nullptr);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(help->name, "#$52" + GeLoadString(10040));
  EXPECT_EQ(about->name, "#$53" + GeLoadString(10038));
  EXPECT_EQ(help->help, "");
  EXPECT_EQ(about->help, "");
  EXPECT_TRUE(help->hasIcon && about->hasIcon);
  IconData icon;
  EXPECT_TRUE(GetIcon(1055661, &icon));
  EXPECT_TRUE(GetIcon(1054744, &icon));
  EXPECT_TRUE(host::ExecuteCommand(1054744, nullptr));
}

TEST_F(AboutTest, ARefusedIconFailsTheRegistration)
{
  ASSERT_TRUE(LoadIconSheets());
  host::FailIconRegistration(1054744);
  EXPECT_FALSE(RegisterAboutCommand(53));
  FreeIconSheets();
  EXPECT_EQ(host::FindPlugin(1054744), nullptr);
}
} // namespace
