#include "host/imaging/bitmap.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <unordered_set>

#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include "host/core/alloc.h"
#include "host/core/partialfile.h"

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

// No codec a TIFF file may use decodes one stored byte into more than this many (LZW's longest string
// per 9 bits stays below it; deflate's ratio is about 1032, PackBits' 64).
constexpr UInt64 TIFF_MAX_EXPANSION = 4096;

// Whether the image the header declares can come from what the file holds, checked before anything is
// allocated: every strip or tile lies inside the file, and the pixels declared are no more than the
// stored bytes can decode into (as stored when uncompressed, at the largest expansion of any codec
// otherwise). A header claiming 20000 x 20000 pixels in a file of a few hundred bytes is refused here
// rather than by allocating gigabytes first.
Bool DeclaredSizeFitsFile(TIFF* tif, UInt32 w, UInt32 h, UInt16 bps, UInt16 spp)
{
  struct stat st{};
  if (fstat(TIFFFileno(tif), &st) != 0 || st.st_size <= 0)
    return false;
  const auto fileSize = static_cast<UInt64>(st.st_size);
  const Bool tiled = TIFFIsTiled(tif);
  const UInt64 pieces = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  UInt64* offsets = nullptr;
  UInt64* counts = nullptr;
  if (pieces == 0 || !TIFFGetField(tif, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) ||
      !TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &counts) || !offsets || !counts)
    return false;
  UInt64 stored = 0;
  for (UInt64 i = 0; i < pieces; ++i)
  {
    if (offsets[i] > fileSize || counts[i] > fileSize - offsets[i])
      return false;
    stored += counts[i];
  }
  UInt16 compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  // w and h are at most 65536 and bps x spp at most 2^32, so the product cannot overflow.
  const UInt64 declaredBits = static_cast<UInt64>(w) * h * static_cast<UInt64>(std::max<UInt16>(bps, 1)) *
                              std::max<UInt16>(spp, 1);
  const UInt64 declared = (declaredBits + 7) / 8;
  const UInt64 limit = compression == COMPRESSION_NONE ? stored : stored * TIFF_MAX_EXPANSION;
  return declared <= limit;
}

UChar ClampByte(Float v)
{
  return static_cast<UChar>(std::clamp(v, 0.0, 255.0));
}

// Undoes premultiplied (associated) alpha: the host keeps straight alpha.
UChar Unpremultiply(UInt32 c, UInt32 a)
{
  if (a == 0)
    return 0;
  return static_cast<UChar>(std::min<UInt32>(255, (c * 255 + a / 2) / a));
}

// The live bitmaps. Never destroyed, so bitmaps freed by other static destructors at exit still find it.
struct LiveBitmaps
{
  std::mutex mutex;
  std::unordered_set<const BaseBitmap*> live;
  Int badFrees = 0;
};

LiveBitmaps& Live()
{
  static LiveBitmaps* live = new LiveBitmaps();
  return *live;
}
} // namespace

BaseBitmap* BaseBitmap::Alloc()
{
  if (host::AllocationShouldFail())
    return nullptr;
  BaseBitmap* bmp = new (std::nothrow) BaseBitmap();
  if (!bmp)
    return nullptr;
  LiveBitmaps& l = Live();
  try
  {
    std::lock_guard lock(l.mutex);
    l.live.insert(bmp);
  }
  catch (const std::bad_alloc&)
  {
    delete bmp;
    return nullptr;
  }
  return bmp;
}

void BaseBitmap::Free(BaseBitmap*& bmp)
{
  if (!bmp)
    return;
  {
    LiveBitmaps& l = Live();
    std::lock_guard lock(l.mutex);
    if (l.live.erase(bmp) == 0)
    {
      // Freeing it again would corrupt the heap; refusing keeps the host alive and the count shows it.
      ++l.badFrees;
      bmp = nullptr;
      return;
    }
  }
  delete bmp;
  bmp = nullptr;
}

namespace host
{
Int GetLiveBitmapCount()
{
  LiveBitmaps& l = Live();
  std::lock_guard lock(l.mutex);
  return static_cast<Int>(l.live.size());
}

Int GetBadBitmapFreeCount()
{
  LiveBitmaps& l = Live();
  std::lock_guard lock(l.mutex);
  return l.badFrees;
}
} // namespace host

void BaseBitmap::SwapPixels(BaseBitmap& other) noexcept
{
  std::swap(_width, other._width);
  std::swap(_height, other._height);
  std::swap(_grey, other._grey);
  _greyPixels.swap(other._greyPixels);
  _rgb.swap(other._rgb);
  _alpha.swap(other._alpha);
}

BaseBitmap* BaseBitmap::GetClone() const
{
  if (_width <= 0 || _height <= 0)
  {
    // An empty bitmap clones to an empty bitmap.
    return Alloc();
  }
  return GetClonePart(0, 0, _width, _height);
}

BaseBitmap* BaseBitmap::GetClonePart(Int32 x, Int32 y, Int32 w, Int32 h) const
{
  // 64-bit sums: a cell far outside must not wrap round into the bitmap.
  if (w <= 0 || h <= 0 || x < 0 || y < 0 || static_cast<Int>(x) + w > _width || static_cast<Int>(y) + h > _height)
    return nullptr;
  BaseBitmap* part = Alloc();
  if (!part)
    return nullptr;
  if (part->Init(w, h, _grey ? 32 : 24, _grey ? INITBITMAPFLAGS::GRAYSCALE : INITBITMAPFLAGS::NONE) != IMAGERESULT::OK ||
      (HasAlpha() && !part->AddAlphaChannel()))
  {
    Free(part);
    return nullptr;
  }
  for (Int32 row = 0; row < h; ++row)
  {
    const std::size_t src = Index(x, y + row);
    const std::size_t dst = part->Index(0, row);
    if (_grey)
      std::copy_n(&_greyPixels[src], w, &part->_greyPixels[dst]);
    else
      std::copy_n(&_rgb[src * 3], static_cast<std::size_t>(w) * 3, &part->_rgb[dst * 3]);
    if (HasAlpha())
      std::copy_n(&_alpha[src], w, &part->_alpha[dst]);
  }
  return part;
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
  {
    try
    {
      _alpha.assign(static_cast<std::size_t>(_width) * _height, 255);
    }
    catch (const std::bad_alloc&)
    {
      return false;
    }
  }
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
  // Written whole under a temporary name beside the target and renamed over it once complete, so a
  // full disk or an interrupted write never leaves a truncated map under the name asked for.
  std::filesystem::path temp = file.GetPath();
  temp += ".tmp-" + std::to_string(static_cast<long>(getpid()));
  const host::PartialFile partial(temp);
  TiffSilencer silence;
  TIFF* tif = TIFFOpen(temp.c_str(), "w");
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
  ok = ok && TIFFWriteDirectory(tif) == 1 && TIFFFlush(tif) == 1;
  TIFFClose(tif);
  std::error_code ec;
  if (ok)
    std::filesystem::rename(temp, file.GetPath(), ec);
  if (!ok || ec)
  {
    std::filesystem::remove(temp, ec);
    return IMAGERESULT::FILEERROR;
  }
  return IMAGERESULT::OK;
}

IMAGERESULT BaseBitmap::Init(const Url& file)
{
  if (!file.Exists())
    return IMAGERESULT::NOTEXISTING;
  if (file.IsDirectory())
    return IMAGERESULT::FILEERROR;
  TiffSilencer silence;
  TIFF* tif = TIFFOpen(file.GetString().c_str(), "r");
  if (!tif)
    return IMAGERESULT::FILESTRUCTURE;
  // Decode into a scratch bitmap and take its pixels only when every row decoded, so a broken file
  // never leaves a half-filled image that looks loaded.
  BaseBitmap decoded;
  IMAGERESULT res;
  try
  {
    res = decoded.DecodeTiff(tif);
  }
  catch (const std::bad_alloc&)
  {
    res = IMAGERESULT::OUTOFMEMORY;
  }
  TIFFClose(tif);
  if (res == IMAGERESULT::OK)
    SwapPixels(decoded);
  return res;
}

IMAGERESULT BaseBitmap::DecodeTiff(TIFF* tif)
{
  UInt32 w = 0, h = 0;
  UInt16 bps = 0, spp = 0, fmt = SAMPLEFORMAT_UINT, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &fmt);
  const Bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
  UInt16 extraCount = 0;
  UInt16* extraTypes = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
  const UInt16 extraType = extraCount > 0 && extraTypes ? extraTypes[0] : EXTRASAMPLE_UNSPECIFIED;
  const Bool grey = hasPhotometric && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
  const UInt16 colours = grey ? 1 : 3;
  const Bool contiguous = Planar(tif) == PLANARCONFIG_CONTIG;
  const Bool tiled = TIFFIsTiled(tif);

  if (w == 0 || h == 0 || w > 65536 || h > 65536 || !DeclaredSizeFitsFile(tif, w, h, bps, spp))
    return IMAGERESULT::FILESTRUCTURE;

  if (contiguous && !tiled && bps == 32 && spp == 1 && fmt == SAMPLEFORMAT_IEEEFP)
  {
    IMAGERESULT res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 32, INITBITMAPFLAGS::GRAYSCALE);
    for (UInt32 y = 0; y < h && res == IMAGERESULT::OK; ++y)
      if (TIFFReadScanline(tif, &_greyPixels[Index(0, static_cast<Int32>(y))], y, 0) != 1)
        res = IMAGERESULT::FILESTRUCTURE;
    return res;
  }

  if (contiguous && bps == 8 && fmt == SAMPLEFORMAT_UINT && (grey || (hasPhotometric && photometric == PHOTOMETRIC_RGB)) &&
      (spp == colours || spp == colours + 1))
  {
    // Plain 8-bit colour and grey (the icon sheets) are read as stored, in strips or tiles, keeping
    // straight alpha exact. A last extra sample counts as alpha even without its tag: the writers that
    // leave the tag out mean alpha.
    std::vector<UChar> samples(static_cast<std::size_t>(w) * h * spp);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * spp;
    if (!tiled)
    {
      for (UInt32 y = 0; y < h; ++y)
        if (TIFFReadScanline(tif, &samples[y * rowBytes], y, 0) != 1)
          return IMAGERESULT::FILESTRUCTURE;
    }
    else
    {
      UInt32 tw = 0, th = 0;
      TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
      TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
      const tmsize_t tileBytes = TIFFTileSize(tif);
      // A tile reaches at most one tile size (a multiple of 16) past the image's edge.
      if (tw == 0 || th == 0 || tw > w + 16 || th > h + 16 || tileBytes < static_cast<tmsize_t>(tw) * th * spp)
        return IMAGERESULT::FILESTRUCTURE;
      std::vector<UChar> tile(static_cast<std::size_t>(tileBytes));
      for (UInt32 ty = 0; ty < h; ty += th)
        for (UInt32 tx = 0; tx < w; tx += tw)
        {
          if (TIFFReadTile(tif, tile.data(), tx, ty, 0, 0) < 0)
            return IMAGERESULT::FILESTRUCTURE;
          // Edge tiles reach past the image; only their part inside it is kept.
          const std::size_t spanBytes = static_cast<std::size_t>(std::min(tw, w - tx)) * spp;
          for (UInt32 y = ty; y < std::min(h, ty + th); ++y)
            std::copy_n(&tile[static_cast<std::size_t>(y - ty) * tw * spp], spanBytes, &samples[y * rowBytes + tx * spp]);
        }
    }

    const Bool alpha = spp == colours + 1;
    const Bool associated = alpha && extraType == EXTRASAMPLE_ASSOCALPHA;
    const Bool inverted = photometric == PHOTOMETRIC_MINISWHITE;
    IMAGERESULT res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 24);
    if (res == IMAGERESULT::OK && alpha && !AddAlphaChannel())
      res = IMAGERESULT::OUTOFMEMORY;
    if (res != IMAGERESULT::OK)
      return res;
    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    for (std::size_t i = 0; i < pixels; ++i)
    {
      const UChar* px = &samples[i * spp];
      const UChar a = alpha ? px[colours] : 255;
      for (Int32 c = 0; c < 3; ++c)
      {
        const UChar v = inverted ? static_cast<UChar>(255 - px[0]) : px[grey ? 0 : c];
        _rgb[i * 3 + c] = associated ? Unpremultiply(v, a) : v;
      }
      if (alpha)
        _alpha[i] = a;
    }
    return res;
  }

  // Everything else (palette, 16-bit, separate planes, YCbCr ...) goes through libtiff's RGBA reader.
  // Stop at the first error: carrying on would hand back a damaged image as if it had loaded.
  std::vector<UInt32> raster(static_cast<std::size_t>(w) * h);
  if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 1))
    return IMAGERESULT::FILESTRUCTURE;
  // The reader carries alpha only for a tagged alpha sample. It hands colour back premultiplied (it
  // multiplies straight alpha itself) but grey with alpha as stored.
  const Bool alpha = extraType == EXTRASAMPLE_ASSOCALPHA || extraType == EXTRASAMPLE_UNASSALPHA;
  const Bool premultiplied = alpha && (extraType == EXTRASAMPLE_ASSOCALPHA || !grey);
  IMAGERESULT res = Init(static_cast<Int32>(w), static_cast<Int32>(h), 24);
  if (res == IMAGERESULT::OK && alpha && !AddAlphaChannel())
    res = IMAGERESULT::OUTOFMEMORY;
  for (std::size_t i = 0; res == IMAGERESULT::OK && i < raster.size(); ++i)
  {
    const UInt32 a = alpha ? TIFFGetA(raster[i]) : 255;
    const UInt32 rgb[3] = {TIFFGetR(raster[i]), TIFFGetG(raster[i]), TIFFGetB(raster[i])};
    for (Int32 c = 0; c < 3; ++c)
      _rgb[i * 3 + c] = premultiplied ? Unpremultiply(rgb[c], a) : static_cast<UChar>(rgb[c]);
    if (alpha)
      _alpha[i] = static_cast<UChar>(a);
  }
  return res;
}
