#include "command/command_openhelp.h"

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "common/ogx_misc.h"
#include "common/ogx_python.h"
#include "host/core/alloc.h"
#include "host/scene/resource.h"

namespace
{
constexpr Int32 IDS_OPENHELP_NAME = 10040;
}

Bool OpenHelpCommand::Execute(BaseDocument*)
{
  const Result<Url> index = GetHelpPath(true);
  if (index.IsError())
    return ShowHelpError(index.GetError());
  if (const Result<void> opened = OpenUrlInBrowser(index.GetValue()); opened.IsError())
    return ShowHelpError(opened.GetError());
  return true;
}

Bool RegisterOpenHelpCommand(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_OPENHELP_COMMAND, 256, 64, [&](BaseBitmap* icon) {
    return RegisterCommandPlugin(ID_OGX_OPENHELP_COMMAND, MenuSortPrefix(sortOrder) + GeLoadString(IDS_OPENHELP_NAME), 0,
                                 icon, String(), NewObj<OpenHelpCommand>());
  });
}
