// Open Help: opens the help's index page in the web browser.
#pragma once

#include "host/scene/plugins.h"

inline constexpr Int32 ID_OGX_OPENHELP_COMMAND = 1055661;

class OpenHelpCommand : public CommandData
{
public:
  // Opens help/index.html (or the help location from the module's strings); on failure shows the error
  // (ShowHelpError) and answers false.
  Bool Execute(BaseDocument* doc) override;
};

// Registers the command with its icon (main sheet cell 256, 64), the menu name resource 10040 after the
// sort prefix, and no help text.
Bool RegisterOpenHelpCommand(Int32 sortOrder);
