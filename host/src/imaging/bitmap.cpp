#include "host/imaging/bitmap.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <tiffio.h>

#include "host/core/alloc.h"

namespace
{
// libtiff reports through handlers that print to stderr; the host reports through its results instead.
void SilentTiffHandler(const char*, const char*, va_list) {}

struct TiffSilencer
{
  TIFFErrorHandler oldError = TIFFSetErrorHandler(SilentTiffHandler);
  TIFFErrorHandler oldWarning = TIFFSetWarningHandler(SilentTiffHandler);
  ~TiffSilencer()
  {
    TIFFSetErrorHandler(oldError);
    TIFFSetWarningHandler(oldWarning);
  }
};

UInt16 Planar(TIFF* tif)
{
  UInt16 planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  return planar;
}

UChar ClampByte(Float v)
{
  return static_cast<UChar>(std::clamp(v, 0.0, 255.0));
}
} // namespace

BaseBitmap* BaseBitmap::Alloc()
{
  if (host::AllocationShouldFail())
    return nullptr;
  return new (std::nothrow) BaseBitmap();
}

void BaseBitmap::Free(BaseBitmap*& bmp)
{
  delete bmp;
  bmp = nullptr;
}

IMAGERESULT BaseBitmap::Init(Int32 width, Int32 height, Int32 depth, INITBITMAPFLAGS flags)
{
  if (width <= 0 || height <= 0)
    return IMAGERESULT::PARAM_ERROR;
  const Bool grey = flags == INITBITMAPFLAGS::GRAYSCALE && depth == 32;
  if (!grey && depth != 24 && depth != 32)
    return IMAGERESULT::PARAM_ERROR;
  if (host::AllocationShouldFail())
    return IMAGERESULT::OUTOFMEMORY;
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  try
  {
    std::vector<Float32> greyPixels;
    std::vector<UChar> rgb;
    if (grey)
      greyPixels.assign(n, 0.0f);
    else
      rgb.assign(n * 3, 0);
    _greyPixels.swap(greyPixels);
    _rgb.swap(rgb);
    _alpha.clear();
  }
  catch (const std::bad_alloc&)
  {
    return IMAGERESULT::OUTOFMEMORY;
  }
  _width = width;
  _height = height;
  _grey = grey;
  return IMAGERESULT::OK;
}

Bool BaseBitmap::SetPixelCnt(Int32 x, Int32 y, Int32 count, const UChar* buffer, Int32 inc, COLORMODE mode, Int32)
{
  if (!buffer || count < 0 || !InRange(x, y) || x + count > _width)
    return false;
  for (Int32 i = 0; i < count; ++i)
  {
    const UChar* src = buffer + static_cast<std::size_t>(i) * inc;
    const std::size_t idx = Index(x + i, y);
    switch (mode)
    {
      case COLORMODE::GRAYf:
      {
        Float32 v;
        std::memcpy(&v, src, sizeof v);
        if (_grey)
          _greyPixels[idx] = v;
        else
          std::fill_n(&_rgb[idx * 3], 3, ClampByte(v * 255.0));
        break;
      }
      case COLORMODE::RGB:
        if (_grey)
          _greyPixels[idx] = static_cast<Float32>((src[0] + src[1] + src[2]) / (3.0 * 255.0));
        else
          std::memcpy(&_rgb[idx * 3], src, 3);
        break;
      case COLORMODE::ARGB:
        if (_grey)
          _greyPixels[idx] = static_cast<Float32>((src[1] + src[2] + src[3]) / (3.0 * 255.0));
        else
        {
          std::memcpy(&_rgb[idx * 3], src + 1, 3);
          if (HasAlpha())
            _alpha[idx] = src[0];
        }
        break;
      default: return false;
    }
  }
  return true;
}

Bool BaseBitmap::GetPixelCnt(Int32 x, Int32 y, Int32 count, UChar* buffer, Int32 inc, COLORMODE mode, Int32) const
{
  if (!buffer || count < 0 || !InRange(x, y) || x + count > _width)
    return false;
  for (Int32 i = 0; i < count; ++i)
  {
    UChar* dst = buffer + static_cast<std::size_t>(i) * inc;
    const std::size_t idx = Index(x + i, y);
    switch (mode)
    {
      case COLORMODE::GRAYf:
      {
        const Float32 v = _grey ? _greyPixels[idx]
                                : static_cast<Float32>((_rgb[idx * 3] + _rgb[idx * 3 + 1] + _rgb[idx * 3 + 2]) / (3.0 * 255.0));
        std::memcpy(dst, &v, sizeof v);
        break;
      }
      case COLORMODE::RGB:
      case COLORMODE::ARGB:
      {
        UChar* rgb = mode == COLORMODE::ARGB ? dst + 1 : dst;
        if (mode == COLORMODE::ARGB)
          dst[0] = HasAlpha() ? _alpha[idx] : 255;
        if (_grey)
          std::fill_n(rgb, 3, ClampByte(_greyPixels[idx] * 255.0));
        else
          std::memcpy(rgb, &_rgb[idx * 3], 3);
        break;
      }
      default: return false;
    }
  }
  return true;
}

Bool BaseBitmap::SetPixel(Int32 x, Int32 y, Int32 r, Int32 g, Int32 b)
{
  if (!InRange(x, y))
    return false;
  const std::size_t idx = Index(x, y);
  if (_grey)
  {
    _greyPixels[idx] = static_cast<Float32>((r + g + b) / (3.0 * 255.0));
    return true;
  }
  _rgb[idx * 3] = ClampByte(r);
  _rgb[idx * 3 + 1] = ClampByte(g);
  _rgb[idx * 3 + 2] = ClampByte(b);
  return true;
}

void BaseBitmap::GetPixel(Int32 x, Int32 y, UInt16* r, UInt16* g, UInt16* b) const
{
  UInt16 cr = 0, cg = 0, cb = 0;
  if (InRange(x, y))
  {
    const std::size_t idx = Index(x, y);
    if (_grey)
      cr = cg = cb = ClampByte(_greyPixels[idx] * 255.0);
    else
    {
      cr = _rgb[idx * 3];
      cg = _rgb[idx * 3 + 1];
      cb = _rgb[idx * 3 + 2];
    }
  }
  if (r) *r = cr;
  if (g) *g = cg;
  if (b) *b = cb;
}

Float32 BaseBitmap::GetGreyFloat(Int32 x, Int32 y) const
{
  if (!InRange(x, y))
    return 0.0f;
  const std::size_t idx = Index(x, y);
  return _grey ? _greyPixels[idx] : static_cast<Float32>(_rgb[idx * 3] / 255.0);
}

Bool BaseBitmap::AddAlphaChannel()
{
  if (_grey || _width <= 0)
    return false;
  if (!HasAlpha())
    _alpha.assign(static_cast<std::size_t>(_width) * _height, 255);
  return true;
}

UChar BaseBitmap::GetAlpha(Int32 x, Int32 y) const
{
  return HasAlpha() && InRange(x, y) ? _alpha[Index(x, y)] : 255;
}

void BaseBitmap::SetAlpha(Int32 x, Int32 y, UChar a)
{
  if (HasAlpha() && InRange(x, y))
    _alpha[Index(x, y)] = a;
}

IMAGERESULT BaseBitmap::Save(const Url& file, Int32 format, Int32) const
{
  if (format != FILTER_TIF)
    return IMAGERESULT::WRONGTYPE;
  if (_width <= 0 || _height <= 0)
    return IMAGERESULT::PARAM_ERROR;
  TiffSilencer silence;
  TIFF* tif = TIFFOpen(file.GetString().c_str(), "w");
  if (!tif)
    return IMAGERESULT::FILEERROR;

  const UInt16 spp = _grey ? 1 : (HasAlpha() ? 4 : 3);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<UInt32>(_width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<UInt32>(_height));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<UInt16>(_grey ? 32 : 8));
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, static_cast<UInt16>(_grey ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, static_cast<UInt16>(_grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB));
  TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<UInt16>(ORIENTATION_TOPLEFT));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<UInt16>(PLANARCONFIG_CONTIG));
  TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<UInt16>(COMPRESSION_NONE));
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  if (spp == 4)
  {
    UInt16 extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }

  std::vector<UChar> row(static_cast<std::size_t>(_width) * spp * (_grey ? 4 : 1));
  Bool ok = true;
  for (Int32 y = 0; y < _height && ok; ++y)
  {
    if (_grey)
      std::memcpy(row.data(), &_greyPixels[Index(0, y)], row.size());
    else
      for (Int32 x = 0; x < _width; ++x)
      {
        const std::size_t idx = Index(x, y);
        std::memcpy(&row[static_cast<std::size_t>(x) * spp], &_rgb[idx * 3], 3);
        if (spp == 4)
          row[static_cast<std::size_t>(x) * spp + 3] = _alpha[idx];
      }
    ok = TIFFWriteScanline(tif, row.data(), static_cast<UInt32>(y), 0) == 1;
  }
  ok = ok && TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok ? IMAGERESULT::OK : IMAGERESULT::FILEERROR;
}

IMAGERESULT BaseBitmap::Init(const Url& file)
{
  if (!file.Exists())
    return IMAGERESULT::NOTEXISTING;
  TiffSilencer silence;
  TIFF* tif = TIFFOpen(file.GetString().c_str(), "r");
  if (!tif)
    return IMAGERESULT::FILESTRUCTURE;

  UInt32 w = 0, h = 0;
  UInt16 bps = 0, spp = 0, fmt = SAMPLEFORMAT_UINT;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &fmt);

  IMAGERESULT res = IMAGERESULT::OK;
  if (w == 0 || h == 0 || w > 65536 || h > 65536)
    res = IMAGERESULT::FILESTRUCTURE;
  else if (bps == 32 && spp == 1 && fmt == SAMPLEFORMAT_IEEEFP && Planar(tif) == PLANARCONFIG_CONTIG)
  {
    res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 32, INITBITMAPFLAGS::GRAYSCALE);
    std::vector<Float32> row(w);
    for (UInt32 y = 0; y < h && res == IMAGERESULT::OK; ++y)
    {
      if (TIFFReadScanline(tif, row.data(), y, 0) != 1)
        res = IMAGERESULT::FILESTRUCTURE;
      else
        std::memcpy(&_greyPixels[Index(0, static_cast<Int32>(y))], row.data(), w * sizeof(Float32));
    }
  }
  else if (bps == 8 && (spp == 3 || spp == 4) && Planar(tif) == PLANARCONFIG_CONTIG)
  {
    // Plain 8-bit colour is read row by row: libtiff's RGBA reader would premultiply the alpha.
    res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 24);
    if (res == IMAGERESULT::OK && spp == 4)
      AddAlphaChannel();
    std::vector<UChar> row(static_cast<std::size_t>(w) * spp);
    for (UInt32 y = 0; y < h && res == IMAGERESULT::OK; ++y)
    {
      if (TIFFReadScanline(tif, row.data(), y, 0) != 1)
        res = IMAGERESULT::FILESTRUCTURE;
      for (UInt32 x = 0; x < w && res == IMAGERESULT::OK; ++x)
      {
        const std::size_t idx = Index(static_cast<Int32>(x), static_cast<Int32>(y));
        std::memcpy(&_rgb[idx * 3], &row[static_cast<std::size_t>(x) * spp], 3);
        if (spp == 4)
          _alpha[idx] = row[static_cast<std::size_t>(x) * spp + 3];
      }
    }
  }
  else
  {
    // Everything else (palette, grey, 16-bit, planar ...) goes through libtiff's RGBA reader.
    std::vector<UInt32> raster(static_cast<std::size_t>(w) * h);
    if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0))
      res = IMAGERESULT::FILESTRUCTURE;
    else
    {
      res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 24);
      const Bool alpha = spp == 4 || spp == 2;
      if (res == IMAGERESULT::OK && alpha)
        AddAlphaChannel();
      for (std::size_t i = 0; res == IMAGERESULT::OK && i < raster.size(); ++i)
      {
        _rgb[i * 3] = static_cast<UChar>(TIFFGetR(raster[i]));
        _rgb[i * 3 + 1] = static_cast<UChar>(TIFFGetG(raster[i]));
        _rgb[i * 3 + 2] = static_cast<UChar>(TIFFGetB(raster[i]));
        if (alpha)
          _alpha[i] = static_cast<UChar>(TIFFGetA(raster[i]));
      }
    }
  }
  TIFFClose(tif);
  return res;
}
