#include "command/command_about.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "common/ogx_version.h"
#include "host/core/alloc.h"
#include "host/gui/dialogs.h"
#include "host/gui/keyboard.h"
#include "host/scene/resource.h"

namespace
{
constexpr Int32 IDS_ABOUT = 10038;

// The logo button's minimum size and settings, as the host's bitmap button takes them.
constexpr Int32 LOGO_MIN_WIDTH = 0x400000;
constexpr Int32 LOGO_MIN_HEIGHT = 0xA0000;
constexpr Int32 BITMAPBUTTON_SETTING_GUI = 21;
// The text group: one column, flags 36; the texts' border styles.
constexpr Int32 TEXT_GROUP_FLAGS = 36;
constexpr Int32 TEXT_STYLE_LINE = 56;
constexpr Int32 TEXT_STYLE_SPACE = 0;

// The date part of the build time: the text before its first blank.
String BuildDate()
{
  const String time(OGX_BUILD_TIME);
  return String(time.substr(0, time.find(' ')));
}
} // namespace

Bool AboutDialog::CreateLayout()
{
  if (!GeDialog::CreateLayout())
    return false;
  SetTitle(GeLoadString(IDS_ABOUT));

  GroupBegin(0, 0, 1, 0, String(), 0);
  BaseContainer settings;
  settings.SetInt32(BITMAPBUTTON_SETTING_GUI, CUSTOMGUI_BITMAPBUTTON);
  settings.SetInt32(BITMAPBUTTON_BORDER, 0);
  settings.SetBool(BITMAPBUTTON_NOBORDERDRAW, true);
  settings.SetBool(BITMAPBUTTON_BUTTON, false);
  settings.SetBool(BITMAPBUTTON_TOGGLE, false);
  settings.SetBool(BITMAPBUTTON_POPUP, false);
  auto* logo = static_cast<BitmapButtonCustomGui*>(
    AddCustomGui(ID_OGX_ABOUT_LOGO, CUSTOMGUI_BITMAPBUTTON, String(), 0, LOGO_MIN_WIDTH, LOGO_MIN_HEIGHT, settings));
  const Url logoFile = GeGetPluginPath().Append("res").Append(OGX_LOGO_FILE);
  if (logo && logoFile.Exists())
    logo->SetImage(logoFile);

  GroupBegin(0, TEXT_GROUP_FLAGS, 1, 0, String(), 0);
  AddStaticText(0, 0, 0, 0, String(OGX_PRODUCT_NAME) + " " + OGX_VERSION + " ", TEXT_STYLE_LINE);
  AddStaticText(0, 0, 0, 0, String(), TEXT_STYLE_SPACE);
  AddStaticText(0, 0, 0, 0, String("Rev ") + OGX_BRANCH + " @ " + OGX_REVISION, TEXT_STYLE_LINE);
  AddStaticText(0, 0, 0, 0, BuildDate(), TEXT_STYLE_LINE);
  AddStaticText(0, 0, 0, 0, String(), TEXT_STYLE_SPACE);
  GroupEnd();
  GroupEnd();
  return true;
}

Bool AboutDialog::Command(Int32 id, const BaseContainer&)
{
  if (id == ID_OGX_ABOUT_LOGO && IsQualifierPressed(QUALIFIER_SHIFT))
  {
    MessageDialog(GEMB_ICONASTERISK, "Why would you ever SHIFT+Click on this logo? This doesn't make any sense.");
    return true;
  }
  Close();
  return true;
}

Int32 AboutDialog::Message(const BaseContainer& msg, BaseContainer& result)
{
  if (msg.GetId() == MSG_OGX_ABOUT_CLOSE)
  {
    Close();
    return 1;
  }
  return GeDialog::Message(msg, result);
}

Bool AboutCommand::Execute(BaseDocument*)
{
  return _dialog.Open(DLG_TYPE::ASYNC, ID_OGX_ABOUT_COMMAND, -2, -2, 200, 0);
}

Int32 AboutCommand::GetState(BaseDocument*)
{
  return CMD_ENABLED;
}

Bool AboutCommand::RestoreLayout(void* secret)
{
  return _dialog.RestoreLayout(ID_OGX_ABOUT_COMMAND, 0, secret);
}

Bool RegisterAboutCommand(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_ABOUT_COMMAND, 128, 64, [&](BaseBitmap* icon) {
    return RegisterCommandPlugin(ID_OGX_ABOUT_COMMAND, MenuSortPrefix(sortOrder) + GeLoadString(IDS_ABOUT), 0, icon,
                                 String(), NewObj<AboutCommand>());
  });
}
