// About: a command that opens a non-modal dialog with the module's logo, name, version, revision and
// build date. SHIFT-clicking the logo shows a message; any other click on it closes the dialog.
#pragma once

#include "host/gui/gedialog.h"
#include "host/scene/plugins.h"

inline constexpr Int32 ID_OGX_ABOUT_COMMAND = 1054744;
// The logo's gadget.
inline constexpr Int32 ID_OGX_ABOUT_LOGO = 10000;
// The dialog message that closes it.
inline constexpr Int32 MSG_OGX_ABOUT_CLOSE = 0x6249504E;   // 'bIPN'
// The logo in the module's res folder; the dialog opens without it, with an empty logo.
inline constexpr const char* OGX_LOGO_FILE = "ogx_logo.tif";

class AboutDialog : public GeDialog
{
public:
  Bool CreateLayout() override;
  Bool Command(Int32 id, const BaseContainer& msg) override;
  Int32 Message(const BaseContainer& msg, BaseContainer& result) override;
};

class AboutCommand : public CommandData
{
public:
  ~AboutCommand() override = default;

  // Opens the dialog (non-modal, at the host's default place, 200 wide); the host's answer.
  Bool Execute(BaseDocument* doc) override;
  // Always enabled.
  Int32 GetState(BaseDocument* doc) override;
  Bool RestoreLayout(void* secret) override;

  AboutDialog& GetDialog() { return _dialog; }

private:
  AboutDialog _dialog;
};

// Registers the command with its icon (main sheet cell 128, 64), the menu name resource 10038 after the
// sort prefix, and no help text.
Bool RegisterAboutCommand(Int32 sortOrder);
