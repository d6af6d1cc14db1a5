// The host's icon library: icons registered under an id as a cell of a sheet bitmap. Registration
// copies the cell, so a sheet may be freed while its icons stay registered.
//
// Registration is for the host's main thread (start-up); look-ups and copies are safe from any thread.
// The bitmap an IconData points to belongs to the library and stays valid until host::ResetIcons, also
// when its id is registered again (the older bitmap is kept aside, not freed, so no reader is left
// holding a dangling pointer). Treat it as read-only.
#pragma once

#include <functional>

#include "host/core/types.h"

class BaseBitmap;
struct GetCustomIconData;

struct IconData
{
  BaseBitmap* bmp = nullptr;   // owned by the library
  Int32 x = 0;
  Int32 y = 0;
  Int32 w = 0;
  Int32 h = 0;
};

// Copies the w x h cell at (x, y) of sheet and keeps it under iconId (replacing an earlier icon of that
// id). False for a null or empty sheet, a cell that does not lie inside the sheet, a size of 0 or less,
// or a failed allocation. The registered icon is the copied cell alone: its IconData has x = y = 0.
Bool RegisterIcon(Int32 iconId, BaseBitmap* sheet, Int32 x, Int32 y, Int32 w, Int32 h);
// Fills out with the registered icon; false when none is registered under iconId (or out is null).
Bool GetIcon(Int32 iconId, IconData* out);
// A new bitmap holding a copy of the registered icon (the caller frees it with BaseBitmap::Free); null
// when none is registered or the copy cannot be allocated.
BaseBitmap* CopyIcon(Int32 iconId);

// Settings of a composed object icon. The requester presets them, the node may change them when it is
// sent MSG_ICONSETTINGS with a pointer to them as data, and ComposeCustomIcon follows them.
struct CustomIconSettings
{
  Int32 iconId = 0;          // the registered icon the composition starts from
  Float opacity = 1.0;       // alpha factor for that icon, 0 to 1
  Bool drawBase = true;      // draw that icon into the target first
  Bool drawOverlay = true;   // then let the callback draw over it
};

// Draws over a composed icon; target is width x height pixels, 8-bit colour with alpha.
using CustomIconDraw = std::function<void(BaseBitmap* target, Int32 width, Int32 height)>;

// Composes the icon that a MSG_GETCUSTOMICON request asks for into the target bitmap the requester put in
// data->dat->bmp (the requester owns it; any size; it is given an alpha channel): clears it to
// transparent, draws the icon registered under settings.iconId scaled to the target (nearest pixel) at
// settings.opacity when drawBase, then calls draw on the calling thread when drawOverlay. Sets dat's
// cell to the whole target and data->filled. False, with nothing drawn and draw not called, for a null
// data, record or target, an empty or float-grey target, or an id under which no icon is registered.
Bool ComposeCustomIcon(GetCustomIconData* data, const CustomIconSettings& settings, const CustomIconDraw& draw);

namespace host
{
Int GetIconCount();
// Test switch: every registration of iconId fails (answers false, registers nothing) until ResetIcons.
void FailIconRegistration(Int32 iconId);
// Forgets every registered icon and every failure switch, and frees the library's bitmaps (between tests).
void ResetIcons();
} // namespace host
