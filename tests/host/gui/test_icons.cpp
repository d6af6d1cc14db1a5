#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/core/alloc.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/messages.h"

namespace
{
// Pixel (x, y) of a test sheet: every pixel distinct, alpha included.
struct Rgba
{
  Int32 r, g, b, a;
};
Rgba SheetPixel(Int32 x, Int32 y)
{
  return {(x * 20 + 3) % 256, (y * 30 + 7) % 256, (x * 7 + y * 13) % 256, 255 - x - 8 * y};
}

BaseBitmap* MakeSheet(Int32 w, Int32 h)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  EXPECT_EQ(bmp->Init(w, h, 24), IMAGERESULT::OK);
  EXPECT_TRUE(bmp->AddAlphaChannel());
  for (Int32 y = 0; y < h; ++y)
    for (Int32 x = 0; x < w; ++x)
    {
      const Rgba p = SheetPixel(x, y);
      bmp->SetPixel(x, y, p.r, p.g, p.b);
      bmp->SetAlpha(x, y, static_cast<UChar>(p.a));
    }
  return bmp;
}

// Counts the pixels of bmp (w x h at its origin) that differ from the sheet's cell at (cx, cy).
Int CellMismatches(const BaseBitmap* bmp, Int32 cx, Int32 cy, Int32 w, Int32 h)
{
  Int bad = 0;
  for (Int32 y = 0; y < h; ++y)
    for (Int32 x = 0; x < w; ++x)
    {
      const Rgba want = SheetPixel(cx + x, cy + y);
      UInt16 r, g, b;
      bmp->GetPixel(x, y, &r, &g, &b);
      bad += r != want.r || g != want.g || b != want.b || bmp->GetAlpha(x, y) != want.a;
    }
  return bad;
}

class Icons : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetIcons();
    _live = host::GetLiveBitmapCount();
  }
  void TearDown() override
  {
    host::ResetIcons();
    // Every bitmap a test made, the library's included, is gone again.
    EXPECT_EQ(host::GetLiveBitmapCount(), _live);
  }
  Int _live = 0;
};
} // namespace

TEST_F(Icons, RegistrationCopiesTheCellSoTheSheetCanBeFreed)
{
  BaseBitmap* sheet = MakeSheet(8, 6);
  ASSERT_TRUE(RegisterIcon(1001, sheet, 3, 2, 4, 3));
  ASSERT_TRUE(RegisterIcon(1002, sheet, 0, 0, 8, 6));   // the whole sheet is a cell too
  BaseBitmap::Free(sheet);
  EXPECT_EQ(host::GetIconCount(), 2);

  IconData icon;
  ASSERT_TRUE(GetIcon(1001, &icon));
  ASSERT_NE(icon.bmp, nullptr);
  EXPECT_EQ(icon.x, 0);
  EXPECT_EQ(icon.y, 0);
  EXPECT_EQ(icon.w, 4);
  EXPECT_EQ(icon.h, 3);
  EXPECT_EQ(icon.bmp->GetBw(), 4);
  EXPECT_EQ(icon.bmp->GetBh(), 3);
  ASSERT_TRUE(icon.bmp->HasAlpha());
  EXPECT_EQ(CellMismatches(icon.bmp, 3, 2, 4, 3), 0);
  ASSERT_TRUE(GetIcon(1002, &icon));
  EXPECT_EQ(CellMismatches(icon.bmp, 0, 0, 8, 6), 0);

  EXPECT_FALSE(GetIcon(1003, &icon));
  EXPECT_FALSE(GetIcon(1001, nullptr));
}

TEST_F(Icons, RefusesWhatCannotBeACell)
{
  BaseBitmap* sheet = MakeSheet(8, 6);
  BaseBitmap* unloaded = BaseBitmap::Alloc();   // allocated, never initialised or loaded
  BaseBitmap* failedLoad = BaseBitmap::Alloc();
  EXPECT_NE(failedLoad->Init(Url(String("/nonexistent-dir/sheet.tif"))), IMAGERESULT::OK);
  struct Case
  {
    const char* name;
    BaseBitmap* sheet;
    Int32 x, y, w, h;
  };
  const Case cases[] = {
    {"null sheet", nullptr, 0, 0, 4, 4},
    {"unloaded sheet", unloaded, 0, 0, 4, 4},
    {"sheet whose load failed", failedLoad, 0, 0, 4, 4},
    {"past the right edge", sheet, 5, 0, 4, 4},
    {"past the bottom", sheet, 0, 3, 4, 4},
    {"negative x", sheet, -1, 0, 4, 4},
    {"negative y", sheet, 0, -2, 4, 4},
    {"width 0", sheet, 0, 0, 0, 4},
    {"height 0", sheet, 0, 0, 4, 0},
    {"negative size", sheet, 2, 2, -2, -2},
    {"end wraps round", sheet, INT_MAX - 10, 0, 64, 4},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(RegisterIcon(2001, c.sheet, c.x, c.y, c.w, c.h));
    EXPECT_FALSE(GetIcon(2001, nullptr));
    IconData icon;
    EXPECT_FALSE(GetIcon(2001, &icon));
  }
  EXPECT_EQ(host::GetIconCount(), 0);
  for (BaseBitmap* bmp : {sheet, unloaded, failedLoad})
    BaseBitmap::Free(bmp);
}

TEST_F(Icons, InjectedFailuresRegisterNothing)
{
  BaseBitmap* sheet = MakeSheet(8, 6);
  // By id: only that id fails, and it keeps failing until the library is reset.
  host::FailIconRegistration(3001);
  EXPECT_FALSE(RegisterIcon(3001, sheet, 0, 0, 2, 2));
  EXPECT_FALSE(RegisterIcon(3001, sheet, 0, 0, 2, 2));
  EXPECT_TRUE(RegisterIcon(3002, sheet, 0, 0, 2, 2));
  EXPECT_EQ(host::GetIconCount(), 1);
  host::ResetIcons();
  EXPECT_TRUE(RegisterIcon(3001, sheet, 0, 0, 2, 2));

  // Out of memory for the cell's bitmap or for its pixels: nothing registered, nothing leaked.
  const Int live = host::GetLiveBitmapCount();
  for (Int n : {1, 2})
  {
    SCOPED_TRACE(n);
    host::ScopedAllocationFailure fail(n);
    EXPECT_FALSE(RegisterIcon(3003, sheet, 1, 1, 2, 2));
  }
  IconData icon;
  EXPECT_FALSE(GetIcon(3003, &icon));
  EXPECT_EQ(host::GetLiveBitmapCount(), live);
  BaseBitmap::Free(sheet);
}

TEST_F(Icons, CopyIsAFreshBitmapThatTheCallerFrees)
{
  BaseBitmap* sheet = MakeSheet(8, 6);
  ASSERT_TRUE(RegisterIcon(4001, sheet, 2, 1, 5, 4));
  BaseBitmap::Free(sheet);
  const Int live = host::GetLiveBitmapCount();

  BaseBitmap* copy = CopyIcon(4001);
  ASSERT_NE(copy, nullptr);
  IconData icon;
  ASSERT_TRUE(GetIcon(4001, &icon));
  EXPECT_NE(copy, icon.bmp);
  EXPECT_EQ(host::GetLiveBitmapCount(), live + 1);
  EXPECT_EQ(copy->GetBw(), 5);
  EXPECT_EQ(copy->GetBh(), 4);
  EXPECT_EQ(CellMismatches(copy, 2, 1, 5, 4), 0);
  // Writing into the copy leaves the registered icon alone.
  copy->SetPixel(0, 0, 0, 0, 0);
  EXPECT_EQ(CellMismatches(icon.bmp, 2, 1, 5, 4), 0);
  BaseBitmap::Free(copy);
  EXPECT_EQ(host::GetLiveBitmapCount(), live);

  EXPECT_EQ(CopyIcon(4999), nullptr);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(CopyIcon(4001), nullptr);
  }
  EXPECT_EQ(host::GetLiveBitmapCount(), live);
}

TEST_F(Icons, ReRegisteringReplacesButKeepsTheOldBitmapReadable)
{
  BaseBitmap* sheet = MakeSheet(8, 6);
  ASSERT_TRUE(RegisterIcon(5001, sheet, 0, 0, 2, 2));
  IconData before;
  ASSERT_TRUE(GetIcon(5001, &before));
  ASSERT_TRUE(RegisterIcon(5001, sheet, 4, 3, 3, 3));
  BaseBitmap::Free(sheet);
  EXPECT_EQ(host::GetIconCount(), 1);
  IconData after;
  ASSERT_TRUE(GetIcon(5001, &after));
  EXPECT_EQ(after.w, 3);
  EXPECT_EQ(CellMismatches(after.bmp, 4, 3, 3, 3), 0);
  // A reader that looked the icon up before still holds a live bitmap (the sanitizer run checks it).
  EXPECT_EQ(CellMismatches(before.bmp, 0, 0, 2, 2), 0);
}

TEST_F(Icons, LookupsAndCopiesFromManyThreads)
{
  constexpr Int32 kIcons = 24;
  BaseBitmap* sheet = MakeSheet(kIcons + 2, 4);
  for (Int32 i = 0; i < kIcons; ++i)
    ASSERT_TRUE(RegisterIcon(6000 + i, sheet, i, i % 2, 3, 2));
  BaseBitmap::Free(sheet);

  std::atomic<Int> failures{0};
  std::vector<std::thread> threads;
  for (Int32 t = 0; t < 8; ++t)
    threads.emplace_back([&failures, t] {
      for (Int32 round = 0; round < 200; ++round)
      {
        const Int32 i = (round * 7 + t) % kIcons;
        IconData icon;
        if (!GetIcon(6000 + i, &icon) || CellMismatches(icon.bmp, i, i % 2, 3, 2) != 0)
          ++failures;
        BaseBitmap* copy = CopyIcon(6000 + i);
        if (!copy || CellMismatches(copy, i, i % 2, 3, 2) != 0)
          ++failures;
        BaseBitmap::Free(copy);
      }
    });
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(host::GetIconCount(), kIcons);
}

// The sheets shipped in res/: they load through the host's bitmap, have the size the cell tables need,
// and every registered cell holds a picture of its own.
TEST_F(Icons, ShippedSheetsLoadAndEveryCellHoldsADistinctPicture)
{
  struct Sheet
  {
    const char* file;
    Int32 w, h;
    std::vector<std::array<Int32, 3>> cells;   // id, x, y
  };
  const Sheet sheets[] = {
    {"orogenix_icons.tif", 640, 192,
     {{1054563, 0, 0},    {1054566, 64, 0},   {1054623, 128, 0},  {1054617, 192, 0},  {1054654, 256, 0},
      {1054581, 320, 0},  {1054574, 384, 0},  {1054618, 448, 0},  {1054609, 512, 0},  {1054582, 576, 0},
      {1054640, 0, 64},   {1054690, 64, 64},  {1054744, 128, 64}, {1054797, 192, 64}, {1055661, 256, 64},
      {1055664, 320, 64}, {1055911, 384, 64}, {1056090, 448, 64}, {1056091, 512, 64}, {1056139, 576, 64},
      {1056548, 0, 128},  {1056684, 64, 128}, {1056685, 128, 128}}},
    {"orogenix_blendmodes.tif", 640, 128,
     {{1055710, 0, 0},   {1055711, 64, 0},  {1055712, 128, 0},  {1055713, 192, 0}, {1055714, 256, 0},
      {1055715, 320, 0}, {1055716, 384, 0}, {1055717, 448, 0},  {1055718, 512, 0}, {1055719, 576, 0},
      {1056645, 0, 64},  {1056646, 64, 64}, {1056650, 128, 64}, {1056651, 192, 64}, {1056652, 256, 64}}},
  };
  std::vector<Int32> ids;
  for (const Sheet& s : sheets)
  {
    SCOPED_TRACE(s.file);
    const std::filesystem::path path = std::filesystem::path(OGX_SOURCE_DIR) / "res" / s.file;
    BaseBitmap* bmp = BaseBitmap::Alloc();
    ASSERT_EQ(bmp->Init(Url(path)), IMAGERESULT::OK);
    EXPECT_EQ(bmp->GetBw(), s.w);
    EXPECT_EQ(bmp->GetBh(), s.h);
    EXPECT_TRUE(bmp->HasAlpha());
    EXPECT_FALSE(bmp->IsGreyFloat());
    for (const auto& [id, x, y] : s.cells)
    {
      ASSERT_TRUE(RegisterIcon(id, bmp, x, y, 64, 64)) << id;
      ids.push_back(id);
    }
    BaseBitmap::Free(bmp);
  }
  EXPECT_EQ(host::GetIconCount(), 38);

  // A picture: some mostly opaque and some clear pixels; and no two cells alike.
  std::vector<std::vector<UChar>> pictures;
  for (Int32 id : ids)
  {
    SCOPED_TRACE(id);
    IconData icon;
    ASSERT_TRUE(GetIcon(id, &icon));
    ASSERT_EQ(icon.w, 64);
    ASSERT_EQ(icon.h, 64);
    std::vector<UChar> argb(64 * 64 * 4);
    Int ink = 0, clear = 0;
    for (Int32 y = 0; y < 64; ++y)
    {
      ASSERT_TRUE(icon.bmp->GetPixelCnt(0, y, 64, &argb[static_cast<std::size_t>(y) * 64 * 4], 4, COLORMODE::ARGB));
      for (Int32 x = 0; x < 64; ++x)
      {
        const UChar a = argb[(static_cast<std::size_t>(y) * 64 + x) * 4];
        ink += a >= 128;
        clear += a == 0;
      }
    }
    EXPECT_GT(ink, 64 * 64 / 8);
    EXPECT_GT(clear, 64 * 64 / 16);
    for (const auto& other : pictures)
      EXPECT_NE(other, argb);
    pictures.push_back(std::move(argb));
  }
}

TEST_F(Icons, ComposedIconDrawsTheBaseScaledThenTheCallback)
{
  BaseBitmap* sheet = MakeSheet(8, 8);
  ASSERT_TRUE(RegisterIcon(7001, sheet, 0, 0, 8, 8));
  BaseBitmap::Free(sheet);

  BaseBitmap* target = BaseBitmap::Alloc();   // the requester's, without alpha yet
  ASSERT_EQ(target->Init(4, 4, 24), IMAGERESULT::OK);
  IconData dat{target, 9, 9, 1, 1};
  GetCustomIconData request{&dat, false};
  Int calls = 0;
  const CustomIconDraw draw = [&](BaseBitmap* bmp, Int32 w, Int32 h) {
    ++calls;
    EXPECT_EQ(bmp, target);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 4);
    // The base is already there when the callback draws over it (the first compose draws one).
    UInt16 r, g, b;
    bmp->GetPixel(1, 1, &r, &g, &b);
    if (calls == 1)
    {
      EXPECT_EQ(r, SheetPixel(2, 2).r);
    }
    bmp->SetPixel(3, 3, 1, 2, 3);
  };

  CustomIconSettings settings;
  settings.iconId = 7001;
  ASSERT_TRUE(ComposeCustomIcon(&request, settings, draw));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(request.filled);
  EXPECT_EQ(dat.bmp, target);
  EXPECT_EQ(dat.x, 0);
  EXPECT_EQ(dat.y, 0);
  EXPECT_EQ(dat.w, 4);
  EXPECT_EQ(dat.h, 4);
  ASSERT_TRUE(target->HasAlpha());
  for (Int32 y = 0; y < 4; ++y)
    for (Int32 x = 0; x < 4; ++x)
    {
      if (x == 3 && y == 3)
        continue;
      const Rgba want = SheetPixel(2 * x, 2 * y);   // 8 -> 4: every second pixel
      UInt16 r, g, b;
      target->GetPixel(x, y, &r, &g, &b);
      EXPECT_EQ(r, want.r);
      EXPECT_EQ(b, want.b);
      EXPECT_EQ(target->GetAlpha(x, y), want.a);
    }
  UInt16 r, g, b;
  target->GetPixel(3, 3, &r, &g, &b);
  EXPECT_EQ(b, 3);

  // Half opacity, no base, no overlay.
  settings.opacity = 0.5;
  ASSERT_TRUE(ComposeCustomIcon(&request, settings, nullptr));
  EXPECT_EQ(target->GetAlpha(0, 0), std::lround(SheetPixel(0, 0).a * 0.5));
  settings.drawBase = false;
  ASSERT_TRUE(ComposeCustomIcon(&request, settings, draw));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(target->GetAlpha(0, 0), 0);   // cleared
  settings.drawOverlay = false;
  ASSERT_TRUE(ComposeCustomIcon(&request, settings, draw));
  EXPECT_EQ(calls, 2);

  // Refusals draw nothing and do not call back.
  settings = CustomIconSettings{};
  settings.iconId = 7999;
  request.filled = false;
  EXPECT_FALSE(ComposeCustomIcon(&request, settings, draw));
  settings.iconId = 7001;
  EXPECT_FALSE(ComposeCustomIcon(nullptr, settings, draw));
  GetCustomIconData noRecord;
  EXPECT_FALSE(ComposeCustomIcon(&noRecord, settings, draw));
  IconData noTarget;
  GetCustomIconData noTargetRequest{&noTarget, false};
  EXPECT_FALSE(ComposeCustomIcon(&noTargetRequest, settings, draw));
  BaseBitmap* grey = BaseBitmap::Alloc();
  ASSERT_EQ(grey->Init(4, 4, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  IconData greyDat{grey, 0, 0, 4, 4};
  GetCustomIconData greyRequest{&greyDat, false};
  EXPECT_FALSE(ComposeCustomIcon(&greyRequest, settings, draw));
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(request.filled);
  BaseBitmap::Free(grey);
  BaseBitmap::Free(target);
}
