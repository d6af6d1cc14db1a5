// The module's icon sheets and the registration of icons cut from them.
//
// Two sheets are loaded once, when the host announces the module (before start-up), and freed at the
// end: the main sheet (the terrain object's, the operators', the commands' icons) and the blend-mode
// sheet (one cell per BLENDMODE). Every icon is a 64 by 64 cell of one of them, registered under a
// plug-in id in the host's icon library, which keeps its own copy of the cell. The sheets are for the
// host's main thread: loaded, used for registration and freed there.
#pragma once

#include "host/core/types.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"

// File names of the sheets in the module's res folder.
inline constexpr const char* OGX_MAIN_ICON_SHEET_FILE = "orogenix_icons.tif";
inline constexpr const char* OGX_BLENDMODE_ICON_SHEET_FILE = "orogenix_blendmodes.tif";

// Edge length of one icon cell, in pixels.
inline constexpr Int32 OGX_ICON_CELL_SIZE = 64;

// The module-wide sheets; null while not loaded. The module owns them (FreeIconSheets).
BaseBitmap*& MainIconSheet();
BaseBitmap*& BlendModeIconSheet();

// Loads both sheets from the module's res folder, replacing any loaded before. False when either cannot
// be loaded; both are then left unloaded.
Bool LoadIconSheets();
// Frees both sheets (icons registered from them stay registered).
void FreeIconSheets();

// Registers the 64 by 64 cell at (x, y) of sheet as the icon of pluginId. False for a null sheet or a
// cell the host's icon library refuses (outside the sheet, for one).
Bool RegisterSheetIcon(Int32 pluginId, BaseBitmap* sheet, Int32 x, Int32 y);

// The rule every plug-in with an icon follows: register its main-sheet cell at (x, y) under pluginId
// first (a refused icon fails the registration before anything else is registered), then call
// registration(icon) with a copy of the registered icon, freed right after the call (the host keeps the
// library's icon and only looks at the copy). False when the icon or the registration fails.
template <typename Registration>
Bool RegisterWithSheetIcon(Int32 pluginId, Int32 x, Int32 y, Registration&& registration)
{
  if (!RegisterSheetIcon(pluginId, MainIconSheet(), x, y))
    return false;
  BaseBitmap* icon = CopyIcon(pluginId);
  const Bool registered = registration(icon);
  BaseBitmap::Free(icon);
  return registered;
}
