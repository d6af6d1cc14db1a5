#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <vector>

#include <sys/resource.h>
#include <tiffio.h>

#include "host/core/alloc.h"
#include "host/imaging/bitmap.h"
#include "support/file_size_cap.h"

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

TEST(BaseBitmap, ASaveThatRunsOutOfSpaceLeavesNoFileBehind)
{
  const auto dir = TempPath("full");
  std::filesystem::create_directories(dir);
  BaseBitmap* big = BaseBitmap::Alloc();
  ASSERT_EQ(big->Init(300, 300, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);   // 360 kB of floats
  BaseBitmap* small = BaseBitmap::Alloc();
  ASSERT_EQ(small->Init(3, 2, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);

  // A new name: nothing appears under it. An existing file: it stays as it was.
  const auto fresh = dir / "fresh.tif";
  const auto existing = dir / "existing.tif";
  ASSERT_EQ(small->Save(Url(existing)), IMAGERESULT::OK);
  const auto before = std::filesystem::file_size(existing);
  {
    FileSizeCap cap(64 * 1024);
    EXPECT_EQ(big->Save(Url(fresh)), IMAGERESULT::FILEERROR);
    EXPECT_EQ(big->Save(Url(existing)), IMAGERESULT::FILEERROR);
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(std::filesystem::file_size(existing), before);
  BaseBitmap* back = BaseBitmap::Alloc();
  EXPECT_EQ(back->Init(Url(existing)), IMAGERESULT::OK);
  EXPECT_EQ(back->GetBw(), 3);
  // Only the file saved before the cap is left: no temporary file either.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
  BaseBitmap::Free(back);
  BaseBitmap::Free(big);
  BaseBitmap::Free(small);
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------------
// Loading the kinds of TIFF the host meets, written here with libtiff directly, and the live count.

namespace
{
struct TiffSpec
{
  UInt32 w = 0, h = 0;
  UInt16 spp = 4;
  UInt16 photometric = PHOTOMETRIC_RGB;
  UInt16 compression = COMPRESSION_NONE;
  Int32 extraSample = EXTRASAMPLE_UNASSALPHA;   // -1: no extra-samples tag
  UInt32 tile = 0;                              // 0: strips of 8 rows
  Bool separate = false;                        // one plane per sample (strips only)
};

// Writes 8-bit samples (rows of w * spp bytes); false when libtiff refuses.
Bool WriteTiff(const std::filesystem::path& path, const TiffSpec& s, const std::vector<UChar>& samples)
{
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif)
    return false;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.spp);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<UInt16>(8));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<UInt16>(s.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG));
  TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
  if (s.compression != COMPRESSION_NONE)
    TIFFSetField(tif, TIFFTAG_PREDICTOR, static_cast<UInt16>(PREDICTOR_HORIZONTAL));
  if (s.extraSample >= 0)
  {
    const UInt16 extra = static_cast<UInt16>(s.extraSample);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  const std::size_t rowBytes = static_cast<std::size_t>(s.w) * s.spp;
  Bool ok = true;
  if (s.separate)
  {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<UInt32>(8));
    std::vector<UChar> plane(s.w);
    for (UInt16 c = 0; c < s.spp && ok; ++c)
      for (UInt32 y = 0; y < s.h && ok; ++y)
      {
        for (UInt32 x = 0; x < s.w; ++x)
          plane[x] = samples[y * rowBytes + x * s.spp + c];
        ok = TIFFWriteScanline(tif, plane.data(), y, c) == 1;
      }
  }
  else if (s.tile == 0)
  {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<UInt32>(8));
    std::vector<UChar> row(rowBytes);
    for (UInt32 y = 0; y < s.h && ok; ++y)
    {
      std::copy_n(&samples[y * rowBytes], rowBytes, row.data());   // the predictor writes into the row
      ok = TIFFWriteScanline(tif, row.data(), y, 0) == 1;
    }
  }
  else
  {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, s.tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, s.tile);
    std::vector<UChar> tile(static_cast<std::size_t>(s.tile) * s.tile * s.spp);
    for (UInt32 ty = 0; ty < s.h && ok; ty += s.tile)
      for (UInt32 tx = 0; tx < s.w && ok; tx += s.tile)
      {
        std::fill(tile.begin(), tile.end(), 0);
        for (UInt32 y = ty; y < std::min(s.h, ty + s.tile); ++y)
          for (UInt32 x = tx; x < std::min(s.w, tx + s.tile); ++x)
            std::copy_n(&samples[y * rowBytes + x * s.spp], s.spp, &tile[((y - ty) * s.tile + (x - tx)) * s.spp]);
        ok = TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0) >= 0;
      }
  }
  ok = ok && TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// A distinct value for every sample.
UChar Sample(UInt32 x, UInt32 y, UInt32 c)
{
  return static_cast<UChar>((x * 37 + y * 11 + c * 71 + 5) & 0xFF);
}

std::vector<UChar> Samples(UInt32 w, UInt32 h, UInt16 spp)
{
  std::vector<UChar> s(static_cast<std::size_t>(w) * h * spp);
  for (UInt32 y = 0; y < h; ++y)
    for (UInt32 x = 0; x < w; ++x)
      for (UInt32 c = 0; c < spp; ++c)
        s[(static_cast<std::size_t>(y) * w + x) * spp + c] = Sample(x, y, c);
  return s;
}

// Overwrites the compressed bytes of the file's first strip or tile, so the header still reads but
// the pixels cannot be decoded.
void DamageFirstChunk(const std::filesystem::path& path)
{
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  const Bool tiled = TIFFIsTiled(tif);
  uint64_t* offsets = nullptr;
  uint64_t* counts = nullptr;
  ASSERT_EQ(TIFFGetField(tif, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets), 1);
  ASSERT_EQ(TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &counts), 1);
  const uint64_t offset = offsets[0], count = counts[0];
  TIFFClose(tif);
  ASSERT_GT(count, 4u);
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, static_cast<long>(offset), SEEK_SET);
  const std::vector<UChar> junk(count, 0xFF);
  std::fwrite(junk.data(), 1, junk.size(), f);
  std::fclose(f);
}

// Every decoded colour and alpha against the written samples. libtiff's RGBA reader (used for layouts
// other than plain 8-bit strips and tiles) premultiplies colour to 8 bits, so a colour read through it is
// only as exact as its alpha allows (nothing survives alpha 0).
void ExpectPixels(const BaseBitmap& bmp, UInt32 w, UInt32 h, Bool alpha, Bool grey, Bool premultipliedReader)
{
  ASSERT_EQ(bmp.GetBw(), static_cast<Int32>(w));
  ASSERT_EQ(bmp.GetBh(), static_cast<Int32>(h));
  ASSERT_EQ(bmp.HasAlpha(), alpha);
  Int failures = 0;
  for (UInt32 y = 0; y < h; ++y)
    for (UInt32 x = 0; x < w; ++x)
    {
      const Int32 a = alpha ? Sample(x, y, grey ? 1 : 3) : 255;
      const Float tol = premultipliedReader && alpha ? (a == 0 ? 255.0 : 255.0 / (2.0 * a) + 1.0) : 0.0;
      UInt16 rgb[3];
      bmp.GetPixel(static_cast<Int32>(x), static_cast<Int32>(y), &rgb[0], &rgb[1], &rgb[2]);
      for (UInt32 c = 0; c < 3; ++c)
        failures += std::abs(rgb[c] - Sample(x, y, grey ? 0 : c)) > tol;
      if (alpha)
        failures += bmp.GetAlpha(static_cast<Int32>(x), static_cast<Int32>(y)) != a;
    }
  EXPECT_EQ(failures, 0);
}

class BitmapLoad : public ::testing::Test
{
protected:
  void TearDown() override { std::filesystem::remove(_path); }
  std::filesystem::path _path = TempPath("load.tif");
};
} // namespace

TEST(BaseBitmap, LiveCountFollowsAllocAndFreeAndRefusesADoubleFree)
{
  const Int live = host::GetLiveBitmapCount();
  const Int bad = host::GetBadBitmapFreeCount();
  BaseBitmap* a = BaseBitmap::Alloc();
  BaseBitmap* b = BaseBitmap::Alloc();
  EXPECT_EQ(host::GetLiveBitmapCount(), live + 2);
  BaseBitmap* alias = a;
  BaseBitmap::Free(a);
  EXPECT_EQ(host::GetLiveBitmapCount(), live + 1);
  // The second Free of the same bitmap through another pointer must not reach the heap.
  BaseBitmap::Free(alias);
  EXPECT_EQ(alias, nullptr);
  EXPECT_EQ(host::GetBadBitmapFreeCount(), bad + 1);
  EXPECT_EQ(host::GetLiveBitmapCount(), live + 1);
  BaseBitmap* none = nullptr;
  BaseBitmap::Free(none);   // null is no free at all
  EXPECT_EQ(host::GetBadBitmapFreeCount(), bad + 1);
  BaseBitmap::Free(b);
  EXPECT_EQ(host::GetLiveBitmapCount(), live);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(BaseBitmap::Alloc(), nullptr);
  }
  EXPECT_EQ(host::GetLiveBitmapCount(), live);
}

TEST_F(BitmapLoad, EightBitSheetsLoadExactly)
{
  // The layouts an icon sheet may come in: strips of several rows, with and without compression, with
  // and without alpha, grey or colour, tiles (edge tiles reaching past the image), and separate planes
  // (read through libtiff's RGBA reader).
  struct Case
  {
    const char* name;
    TiffSpec spec;
    Bool alpha;
    Bool premultipliedReader;
  };
  const Case cases[] = {
    {"rgba", {37, 21, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, EXTRASAMPLE_UNASSALPHA, 0}, true, false},
    {"rgba deflate", {37, 21, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 0}, true, false},
    {"rgba lzw", {37, 21, 4, PHOTOMETRIC_RGB, COMPRESSION_LZW, EXTRASAMPLE_UNASSALPHA, 0}, true, false},
    {"rgba without extra-samples tag", {5, 3, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, -1, 0}, true, false},
    {"rgb", {37, 21, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, -1, 0}, false, false},
    {"grey", {9, 7, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, -1, 0}, false, false},
    {"grey alpha", {9, 7, 2, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, EXTRASAMPLE_UNASSALPHA, 0}, true, false},
    {"rgba tiled", {37, 21, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 16}, true, false},
    {"rgb tiled", {37, 21, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, -1, 16}, false, false},
    {"grey alpha tiled", {37, 21, 2, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, EXTRASAMPLE_UNASSALPHA, 16}, true, false},
    {"rgba planes", {37, 21, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 0, true}, true, true},
    {"rgb planes", {37, 21, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, -1, 0, true}, false, true},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteTiff(_path, c.spec, Samples(c.spec.w, c.spec.h, c.spec.spp)));
    BaseBitmap* bmp = BaseBitmap::Alloc();
    ASSERT_EQ(bmp->Init(Url(_path)), IMAGERESULT::OK);
    ExpectPixels(*bmp, c.spec.w, c.spec.h, c.alpha, c.spec.photometric == PHOTOMETRIC_MINISBLACK, c.premultipliedReader);
    BaseBitmap::Free(bmp);
  }
}

TEST_F(BitmapLoad, PremultipliedAlphaIsStraightenedAndWhiteIsZeroIsInverted)
{
  // Associated alpha: colours stored multiplied by alpha come back divided, in both decoding paths.
  const std::vector<UChar> px = {100, 50, 0, 200,  255, 255, 255, 255,  0, 0, 0, 0};
  for (Bool separate : {false, true})
  {
    SCOPED_TRACE(separate);
    ASSERT_TRUE(WriteTiff(_path, {3, 1, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, EXTRASAMPLE_ASSOCALPHA, 0, separate}, px));
    BaseBitmap* bmp = BaseBitmap::Alloc();
    ASSERT_EQ(bmp->Init(Url(_path)), IMAGERESULT::OK);
    UInt16 r, g, b;
    bmp->GetPixel(0, 0, &r, &g, &b);
    EXPECT_EQ(r, 128);   // 100 * 255 / 200 = 127.5, rounded
    EXPECT_EQ(g, 64);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(bmp->GetAlpha(0, 0), 200);
    bmp->GetPixel(1, 0, &r, &g, &b);
    EXPECT_EQ(r, 255);
    EXPECT_EQ(bmp->GetAlpha(1, 0), 255);
    EXPECT_EQ(bmp->GetAlpha(2, 0), 0);
    BaseBitmap::Free(bmp);
  }

  ASSERT_TRUE(WriteTiff(_path, {3, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, -1, 0}, {0, 55, 255}));
  BaseBitmap* bmp = BaseBitmap::Alloc();
  ASSERT_EQ(bmp->Init(Url(_path)), IMAGERESULT::OK);
  const UInt16 want[3] = {255, 200, 0};
  for (Int32 x = 0; x < 3; ++x)
  {
    UInt16 r, g, b;
    bmp->GetPixel(x, 0, &r, &g, &b);
    EXPECT_EQ(r, want[x]);
    EXPECT_EQ(b, want[x]);
  }
  BaseBitmap::Free(bmp);
}

TEST_F(BitmapLoad, OnlyAFullyDecodedFileReportsOkAndAFailureKeepsTheBitmap)
{
  struct Case
  {
    const char* name;
    TiffSpec spec;
  };
  // Damaged pixel data in each decoding path: strips, tiles and libtiff's RGBA reader.
  const Case damaged[] = {
    {"rgba strips", {40, 24, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 0}},
    {"grey strips", {40, 24, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, -1, 0}},
    {"rgba tiles", {40, 24, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 16}},
    {"rgba planes", {40, 24, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 0, true}},
  };
  for (const Case& c : damaged)
  {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteTiff(_path, c.spec, Samples(c.spec.w, c.spec.h, c.spec.spp)));
    DamageFirstChunk(_path);
    BaseBitmap* empty = BaseBitmap::Alloc();
    EXPECT_NE(empty->Init(Url(_path)), IMAGERESULT::OK);
    EXPECT_EQ(empty->GetBw(), 0);   // still not loaded
    EXPECT_EQ(empty->GetBh(), 0);
    BaseBitmap::Free(empty);

    BaseBitmap* held = BaseBitmap::Alloc();
    ASSERT_EQ(held->Init(2, 1, 24), IMAGERESULT::OK);
    held->SetPixel(1, 0, 1, 2, 3);
    EXPECT_EQ(held->Init(Url(_path)), IMAGERESULT::FILESTRUCTURE);
    EXPECT_EQ(held->GetBw(), 2);
    UInt16 r, g, b;
    held->GetPixel(1, 0, &r, &g, &b);
    EXPECT_EQ(b, 3);
    BaseBitmap::Free(held);
  }

  // Not a TIFF at all, a directory, and an allocation that fails while loading a good file.
  {
    std::FILE* f = std::fopen(_path.c_str(), "wb");
    std::fputs("not a tiff at all", f);
    std::fclose(f);
  }
  BaseBitmap* bmp = BaseBitmap::Alloc();
  EXPECT_EQ(bmp->Init(Url(_path)), IMAGERESULT::FILESTRUCTURE);
  EXPECT_EQ(bmp->Init(Url(std::filesystem::temp_directory_path())), IMAGERESULT::FILEERROR);
  ASSERT_TRUE(WriteTiff(_path, {4, 4, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, EXTRASAMPLE_UNASSALPHA, 0}, Samples(4, 4, 4)));
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(bmp->Init(Url(_path)), IMAGERESULT::OUTOFMEMORY);
  }
  EXPECT_EQ(bmp->GetBw(), 0);
  EXPECT_EQ(bmp->Init(Url(_path)), IMAGERESULT::OK);
  BaseBitmap::Free(bmp);
}

// A file of a few hundred bytes whose header declares a huge image: one strip of 16 stored bytes.
Bool WriteClaimingTiff(const std::filesystem::path& path, UInt32 w, UInt32 h, UInt16 bps, UInt16 spp,
                       UInt16 photometric, UInt16 compression, UInt16 format)
{
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif)
    return false;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<UInt16>(PLANARCONFIG_CONTIG));
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
  if (spp == 4)
  {
    const UInt16 extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  UChar data[16] = {};
  const Bool ok = TIFFWriteRawStrip(tif, 0, data, sizeof data) == static_cast<tmsize_t>(sizeof data) &&
                  TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

Int PeakResidentKilobytes()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(BitmapLoad, ADeclaredSizeTheFileCannotHoldIsRefusedBeforeAllocating)
{
  // Each decoding path: plain 8-bit colour, 32-bit float grey, libtiff's RGBA reader (16-bit), and a
  // compressed strip, whose few bytes cannot decode into 20000 x 20000 pixels either.
  struct Case
  {
    const char* name;
    UInt16 bps, spp, photometric, compression, format;
  };
  const Case cases[] = {
    {"8-bit RGBA", 8, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, SAMPLEFORMAT_UINT},
    {"float grey", 32, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, SAMPLEFORMAT_IEEEFP},
    {"16-bit RGB", 16, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, SAMPLEFORMAT_UINT},
    {"deflate RGBA", 8, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, SAMPLEFORMAT_UINT},
  };
  const Int peakBefore = PeakResidentKilobytes();
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteClaimingTiff(_path, 20000, 20000, c.bps, c.spp, c.photometric, c.compression, c.format));
    EXPECT_LT(std::filesystem::file_size(_path), 400u);
    BaseBitmap* bmp = BaseBitmap::Alloc();
    EXPECT_EQ(bmp->Init(Url(_path)), IMAGERESULT::FILESTRUCTURE);
    EXPECT_EQ(bmp->GetBw(), 0);
    BaseBitmap::Free(bmp);
  }
  // Nothing near the 1.2 to 2.4 GB these headers declare was ever taken.
  EXPECT_LT(PeakResidentKilobytes() - peakBefore, 100 * 1024);

  // A flat image compresses some five hundredfold here, and still loads.
  const UInt32 side = 1500;
  ASSERT_TRUE(WriteTiff(_path, {side, side, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, EXTRASAMPLE_UNASSALPHA, 0},
                        std::vector<UChar>(static_cast<std::size_t>(side) * side * 4, 0)));
  EXPECT_LT(std::filesystem::file_size(_path) * 500, static_cast<std::uintmax_t>(side) * side * 4);
  BaseBitmap* flat = BaseBitmap::Alloc();
  EXPECT_EQ(flat->Init(Url(_path)), IMAGERESULT::OK);
  EXPECT_EQ(flat->GetBw(), static_cast<Int32>(side));
  BaseBitmap::Free(flat);
}

TEST(BaseBitmap, ClonePartCopiesTheRectangleInTheSameFormat)
{
  const Int live = host::GetLiveBitmapCount();
  BaseBitmap* rgba = BaseBitmap::Alloc();
  ASSERT_EQ(rgba->Init(6, 5, 24), IMAGERESULT::OK);
  ASSERT_TRUE(rgba->AddAlphaChannel());
  for (Int32 y = 0; y < 5; ++y)
    for (Int32 x = 0; x < 6; ++x)
    {
      rgba->SetPixel(x, y, x * 40, y * 50, x + y);
      rgba->SetAlpha(x, y, static_cast<UChar>(10 * x + y));
    }
  BaseBitmap* part = rgba->GetClonePart(2, 1, 3, 4);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->GetBw(), 3);
  EXPECT_EQ(part->GetBh(), 4);
  ASSERT_TRUE(part->HasAlpha());
  for (Int32 y = 0; y < 4; ++y)
    for (Int32 x = 0; x < 3; ++x)
    {
      UInt16 r, g, b;
      part->GetPixel(x, y, &r, &g, &b);
      EXPECT_EQ(r, (x + 2) * 40);
      EXPECT_EQ(g, (y + 1) * 50);
      EXPECT_EQ(b, x + y + 3);
      EXPECT_EQ(part->GetAlpha(x, y), 10 * (x + 2) + y + 1);
    }
  BaseBitmap::Free(part);

  // Refused rectangles, including one whose end would wrap round in 32 bits.
  struct Refusal
  {
    const char* name;
    Int32 x, y, w, h;
  };
  const Refusal refusals[] = {
    {"past the right edge", 4, 0, 3, 1}, {"past the bottom", 0, 3, 1, 3},  {"negative x", -1, 0, 2, 2},
    {"negative y", 0, -1, 2, 2},         {"zero width", 0, 0, 0, 2},       {"negative height", 0, 0, 2, -1},
    {"wrapping end", 2147483600, 0, 64, 1},
  };
  for (const Refusal& r : refusals)
  {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(rgba->GetClonePart(r.x, r.y, r.w, r.h), nullptr);
  }

  // A float grey map stays float; an RGB map gets no alpha; a failed allocation gives null.
  BaseBitmap* grey = BaseBitmap::Alloc();
  ASSERT_EQ(grey->Init(3, 3, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  const Float32 v = 0.3125f;
  grey->SetPixelCnt(2, 2, 1, reinterpret_cast<const UChar*>(&v), 4, COLORMODE::GRAYf);
  BaseBitmap* greyClone = grey->GetClone();
  ASSERT_NE(greyClone, nullptr);
  EXPECT_TRUE(greyClone->IsGreyFloat());
  EXPECT_EQ(greyClone->GetGreyFloat(2, 2), v);
  BaseBitmap* empty = BaseBitmap::Alloc();
  BaseBitmap* emptyClone = empty->GetClone();
  ASSERT_NE(emptyClone, nullptr);
  EXPECT_EQ(emptyClone->GetBw(), 0);
  EXPECT_EQ(empty->GetClonePart(0, 0, 1, 1), nullptr);
  for (Int n : {1, 2})
  {
    host::ScopedAllocationFailure fail(n);   // the bitmap, then its pixels
    EXPECT_EQ(rgba->GetClone(), nullptr);
  }
  for (BaseBitmap* bmp : {rgba, grey, greyClone, empty, emptyClone})
    BaseBitmap::Free(bmp);
  EXPECT_EQ(host::GetLiveBitmapCount(), live);
}
