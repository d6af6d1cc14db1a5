#include "host/gui/icons.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/imaging/bitmap.h"
#include "host/scene/messages.h"

namespace
{
struct IconLibrary
{
  std::shared_mutex mutex;
  std::unordered_map<Int32, IconData> icons;
  // Bitmaps of replaced icons: a reader may still hold them through an earlier GetIcon.
  std::vector<BaseBitmap*> retired;
  std::unordered_set<Int32> failing;
};

// Never destroyed: icons registered when the process ends stay reachable rather than being freed after
// the bitmap bookkeeping has gone.
IconLibrary& Library()
{
  static IconLibrary* library = new IconLibrary();
  return *library;
}
} // namespace

Bool RegisterIcon(Int32 iconId, BaseBitmap* sheet, Int32 x, Int32 y, Int32 w, Int32 h)
{
  IconLibrary& lib = Library();
  {
    std::shared_lock lock(lib.mutex);
    if (lib.failing.contains(iconId))
      return false;
  }
  // A sheet that was allocated but never loaded has no pixels; GetClonePart refuses it, as it refuses a
  // size of 0 or less and a cell that sticks out of the sheet.
  if (!sheet || sheet->GetBw() <= 0 || sheet->GetBh() <= 0)
    return false;
  BaseBitmap* cell = sheet->GetClonePart(x, y, w, h);
  if (!cell)
    return false;

  std::unique_lock lock(lib.mutex);
  try
  {
    lib.retired.reserve(lib.retired.size() + 1);
    auto [it, inserted] = lib.icons.try_emplace(iconId);
    if (!inserted)
      lib.retired.push_back(it->second.bmp);
    it->second = IconData{cell, 0, 0, w, h};
  }
  catch (const std::bad_alloc&)
  {
    lock.unlock();
    BaseBitmap::Free(cell);
    return false;
  }
  return true;
}

Bool GetIcon(Int32 iconId, IconData* out)
{
  if (!out)
    return false;
  IconLibrary& lib = Library();
  std::shared_lock lock(lib.mutex);
  const auto it = lib.icons.find(iconId);
  if (it == lib.icons.end())
    return false;
  *out = it->second;
  return true;
}

BaseBitmap* CopyIcon(Int32 iconId)
{
  IconLibrary& lib = Library();
  // The shared lock keeps the icon from being retired and freed by a ResetIcons while it is copied.
  std::shared_lock lock(lib.mutex);
  const auto it = lib.icons.find(iconId);
  if (it == lib.icons.end())
    return nullptr;
  return it->second.bmp->GetClone();
}

Bool ComposeCustomIcon(GetCustomIconData* data, const CustomIconSettings& settings, const CustomIconDraw& draw)
{
  if (!data || !data->dat || !data->dat->bmp)
    return false;
  BaseBitmap* target = data->dat->bmp;
  const Int32 tw = target->GetBw(), th = target->GetBh();
  if (tw <= 0 || th <= 0 || target->IsGreyFloat())
    return false;
  {
    IconLibrary& lib = Library();
    std::shared_lock lock(lib.mutex);
    const auto it = lib.icons.find(settings.iconId);
    if (it == lib.icons.end() || !target->AddAlphaChannel())
      return false;
    const BaseBitmap* icon = it->second.bmp;
    const Int32 iw = icon->GetBw(), ih = icon->GetBh();
    const Float opacity = std::clamp(settings.opacity, 0.0, 1.0);
    for (Int32 y = 0; y < th; ++y)
      for (Int32 x = 0; x < tw; ++x)
      {
        UInt16 r = 0, g = 0, b = 0;
        UChar a = 0;
        if (settings.drawBase)
        {
          const Int32 sx = static_cast<Int32>(static_cast<Int>(x) * iw / tw);
          const Int32 sy = static_cast<Int32>(static_cast<Int>(y) * ih / th);
          icon->GetPixel(sx, sy, &r, &g, &b);
          a = static_cast<UChar>(std::lround(icon->GetAlpha(sx, sy) * opacity));
        }
        target->SetPixel(x, y, r, g, b);
        target->SetAlpha(x, y, a);
      }
  }
  data->dat->x = 0;
  data->dat->y = 0;
  data->dat->w = tw;
  data->dat->h = th;
  data->filled = true;
  // Outside the lock: the callback is module code and may look icons up itself.
  if (settings.drawOverlay && draw)
    draw(target, tw, th);
  return true;
}

namespace host
{
Int GetIconCount()
{
  IconLibrary& lib = Library();
  std::shared_lock lock(lib.mutex);
  return static_cast<Int>(lib.icons.size());
}

void FailIconRegistration(Int32 iconId)
{
  IconLibrary& lib = Library();
  std::unique_lock lock(lib.mutex);
  lib.failing.insert(iconId);
}

void ResetIcons()
{
  IconLibrary& lib = Library();
  std::unordered_map<Int32, IconData> icons;
  std::vector<BaseBitmap*> retired;
  {
    std::unique_lock lock(lib.mutex);
    icons.swap(lib.icons);
    retired.swap(lib.retired);
    lib.failing.clear();
  }
  for (auto& [id, icon] : icons)
    BaseBitmap::Free(icon.bmp);
  for (BaseBitmap*& bmp : retired)
    BaseBitmap::Free(bmp);
}
} // namespace host
