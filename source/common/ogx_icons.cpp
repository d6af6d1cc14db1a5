// The module's icon sheets and the registration of icons cut from them.
#include "common/ogx_icons.h"

#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/resource.h"

namespace
{
BaseBitmap* g_mainIconSheet = nullptr;
BaseBitmap* g_blendModeIconSheet = nullptr;

// The sheet in the module's res folder, or null when it is missing or unreadable.
BaseBitmap* LoadSheet(const char* fileName)
{
  const Url file = GeGetPluginPath().Append("res").Append(fileName);
  BaseBitmap* bmp = BaseBitmap::Alloc();
  if (!bmp)
    return nullptr;
  if (bmp->Init(file) != IMAGERESULT::OK)
    BaseBitmap::Free(bmp);
  return bmp;
}
} // namespace

BaseBitmap*& MainIconSheet()
{
  return g_mainIconSheet;
}

BaseBitmap*& BlendModeIconSheet()
{
  return g_blendModeIconSheet;
}

Bool LoadIconSheets()
{
  FreeIconSheets();
  g_mainIconSheet = LoadSheet(OGX_MAIN_ICON_SHEET_FILE);
  g_blendModeIconSheet = LoadSheet(OGX_BLENDMODE_ICON_SHEET_FILE);
  if (g_mainIconSheet && g_blendModeIconSheet)
    return true;
  // Half a set of icons would register some plug-ins with icons and others without: all or nothing.
  FreeIconSheets();
  return false;
}

void FreeIconSheets()
{
  if (g_mainIconSheet)
    BaseBitmap::Free(g_mainIconSheet);
  if (g_blendModeIconSheet)
    BaseBitmap::Free(g_blendModeIconSheet);
}

Bool RegisterSheetIcon(Int32 pluginId, BaseBitmap* sheet, Int32 x, Int32 y)
{
  if (!sheet)
    return false;
  return RegisterIcon(pluginId, sheet, x, y, OGX_ICON_CELL_SIZE, OGX_ICON_CELL_SIZE);
}
