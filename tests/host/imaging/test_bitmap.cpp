#include <gtest/gtest.h>

#include <filesystem>

#include <tiffio.h>

#include "host/core/alloc.h"
#include "host/imaging/bitmap.h"

namespace
{
std::filesystem::path TempPath(const char* name)
{
  return std::filesystem::temp_directory_path() / (std::string("ogx_bitmap_") + std::to_string(::getpid()) + "_" + name);
}
} // namespace

TEST(BaseBitmap, InitRefusesEmptyAndOddSizes)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_NE(bmp, nullptr);
  EXPECT_NE(bmp->Init(0, 5, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  EXPECT_NE(bmp->Init(5, -1, 24), IMAGERESULT::OK);
  EXPECT_NE(bmp->Init(5, 5, 16), IMAGERESULT::OK);
  EXPECT_EQ(bmp->Init(5, 5, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  EXPECT_TRUE(bmp->IsGreyFloat());
  BaseBitmap::Free(bmp);
  EXPECT_EQ(bmp, nullptr);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(BaseBitmap::Alloc(), nullptr);
  }
}

TEST(BaseBitmap, FloatGreyRowsSurviveATiffRoundTripReadByLibtiff)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_EQ(bmp->Init(3, 2, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  const Float32 rows[2][3] = {{0.0f, 0.25f, 1.0f}, {0.5f, 0.125f, 0.75f}};
  for (Int32 y = 0; y < 2; ++y)
    ASSERT_TRUE(bmp->SetPixelCnt(0, y, 3, reinterpret_cast<const UChar*>(rows[y]), 4, COLORMODE::GRAYf));
  const auto path = TempPath("grey.tif");
  ASSERT_EQ(bmp->Save(Url(path), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
  BaseBitmap::Free(bmp);

  // Read back through libtiff directly, as another tool would.
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  UInt32 w = 0, h = 0;
  UInt16 bps = 0, spp = 0, fmt = 0, orient = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &fmt);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orient);
  EXPECT_EQ(w, 3u);
  EXPECT_EQ(h, 2u);
  EXPECT_EQ(bps, 32);
  EXPECT_EQ(spp, 1);
  EXPECT_EQ(fmt, SAMPLEFORMAT_IEEEFP);
  EXPECT_EQ(orient, ORIENTATION_TOPLEFT);
  Float32 row[3];
  for (UInt32 y = 0; y < 2; ++y)
  {
    ASSERT_EQ(TIFFReadScanline(tif, row, y, 0), 1);
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(row[x], rows[y][x]);
  }
  TIFFClose(tif);

  BaseBitmap* back = BaseBitmap::Alloc();
  ASSERT_EQ(back->Init(Url(path)), IMAGERESULT::OK);
  EXPECT_TRUE(back->IsGreyFloat());
  EXPECT_EQ(back->GetGreyFloat(2, 1), 0.75f);
  BaseBitmap::Free(back);
  std::filesystem::remove(path);
}

TEST(BaseBitmap, ColourWithAlphaRoundTripsAndBadPathsFail)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_EQ(bmp->Init(2, 2, 24), IMAGERESULT::OK);
  ASSERT_TRUE(bmp->AddAlphaChannel());
  ASSERT_TRUE(bmp->SetPixel(1, 0, 10, 20, 300));   // 300 clamps to 255
  bmp->SetAlpha(1, 0, 7);
  const auto path = TempPath("rgba.tif");
  ASSERT_EQ(bmp->Save(Url(path)), IMAGERESULT::OK);
  EXPECT_EQ(bmp->Save(Url(String("/nonexistent-dir/x.tif"))), IMAGERESULT::FILEERROR);
  BaseBitmap::Free(bmp);

  BaseBitmap* back = BaseBitmap::Alloc();
  ASSERT_EQ(back->Init(Url(path)), IMAGERESULT::OK);
  UInt16 r, g, b;
  back->GetPixel(1, 0, &r, &g, &b);
  EXPECT_EQ(r, 10);
  EXPECT_EQ(g, 20);
  EXPECT_EQ(b, 255);
  EXPECT_TRUE(back->HasAlpha());
  EXPECT_EQ(back->GetAlpha(1, 0), 7);
  EXPECT_EQ(back->Init(Url(String("/nonexistent-dir/x.tif"))), IMAGERESULT::NOTEXISTING);
  BaseBitmap::Free(back);
  std::filesystem::remove(path);
}
