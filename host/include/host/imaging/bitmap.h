// The host's bitmap: an in-memory image that is either one channel of 32-bit float grey or 8-bit RGB
// with an optional 8-bit alpha channel; saved and loaded as TIFF.
//
// Bitmaps exist only between BaseBitmap::Alloc and BaseBitmap::Free. The host counts the live ones, so
// tests can find leaks (a count that stays up) and double frees (a Free of a bitmap that is no longer
// alive is refused and counted instead of freeing twice). One bitmap is not safe for concurrent writes;
// concurrent reads are fine.
#pragma once

#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"

struct tiff;

// Results of Init and of saving/loading.
enum class IMAGERESULT : Int32
{
  OK = 1,
  NOTEXISTING = -1,
  WRONGTYPE = 2,
  OUTOFMEMORY = 3,
  FILEERROR = 4,
  FILESTRUCTURE = 5,
  MISC_ERROR = 6,
  PARAM_ERROR = 7,
};

enum class INITBITMAPFLAGS : Int32
{
  NONE = 0,
  GRAYSCALE = 1,
};

// Pixel formats of row reads and writes.
enum class COLORMODE : Int32
{
  RGB = 7,        // 8-bit red, green, blue
  ARGB = 8,       // 8-bit alpha, red, green, blue
  GRAYf = 34,     // one 32-bit float
};

// Saver ids and flags.
inline constexpr Int32 FILTER_TIF = 1100;
inline constexpr Int32 SAVEBIT_NONE = 0;
inline constexpr Int32 SAVEBIT_32BITCHANNELS = 256;

class BaseBitmap
{
public:
  // Null when memory cannot be had (or the host's allocation test switch says so).
  static BaseBitmap* Alloc();
  // Frees a bitmap made by Alloc and sets the pointer to null. Null is ignored; a pointer that is not a
  // live bitmap (already freed) is refused and counted, see host::GetBadBitmapFreeCount.
  static void Free(BaseBitmap*& bmp);

  // width, height in pixels; depth 32 with flag GRAYSCALE gives a float grey map, 24 or 32 without it an
  // RGB map. A width or height of 0 or less, or another depth, is refused.
  IMAGERESULT Init(Int32 width, Int32 height, Int32 depth = 24, INITBITMAPFLAGS flags = INITBITMAPFLAGS::NONE);
  // Loads a TIFF file: 8-bit RGB and RGBA (the icon sheets), 32-bit float grey (exported maps), and what
  // else libtiff's RGBA reader decodes (grey, palette, 16-bit, tiled). OK only when every pixel decoded;
  // on any other result the bitmap keeps what it held before (an empty bitmap stays empty).
  IMAGERESULT Init(const Url& file);

  // A new bitmap with the same pixels (and alpha); null when it cannot be allocated. The caller frees it.
  BaseBitmap* GetClone() const;
  // A new w x h bitmap holding the rectangle at (x, y) of this one, in the same format; null for an empty
  // bitmap, a size of 0 or less, a rectangle not wholly inside this bitmap, or a failed allocation.
  BaseBitmap* GetClonePart(Int32 x, Int32 y, Int32 w, Int32 h) const;

  Int32 GetBw() const { return _width; }
  Int32 GetBh() const { return _height; }
  Bool IsGreyFloat() const { return _grey; }

  // Writes `count` pixels of row y starting at column x from `buffer`; `inc` is the byte step between
  // pixels in the buffer. Row 0 is the top row. Returns false for a mode the bitmap does not hold or a
  // span outside the bitmap.
  Bool SetPixelCnt(Int32 x, Int32 y, Int32 count, const UChar* buffer, Int32 inc, COLORMODE mode, Int32 flags = 0);
  Bool GetPixelCnt(Int32 x, Int32 y, Int32 count, UChar* buffer, Int32 inc, COLORMODE mode, Int32 flags = 0) const;

  // 8-bit colour access (a grey float map reads as its value times 255, clamped).
  Bool SetPixel(Int32 x, Int32 y, Int32 r, Int32 g, Int32 b);
  void GetPixel(Int32 x, Int32 y, UInt16* r, UInt16* g, UInt16* b) const;
  Float32 GetGreyFloat(Int32 x, Int32 y) const;

  // Alpha channel (RGB bitmaps only).
  Bool HasAlpha() const { return !_alpha.empty(); }
  Bool AddAlphaChannel();
  UChar GetAlpha(Int32 x, Int32 y) const;
  void SetAlpha(Int32 x, Int32 y, UChar a);

  // Saves as an uncompressed TIFF (format FILTER_TIF). Grey float maps are written as one 32-bit IEEE
  // float sample per pixel, colour maps as 8-bit RGB(A). Anything that cannot be written gives FILEERROR.
  // The file is written under a temporary name beside the target and renamed over it when complete: a
  // failed save (a full disk) leaves neither a truncated file nor the temporary one, and an existing
  // file as it was.
  IMAGERESULT Save(const Url& file, Int32 format = FILTER_TIF, Int32 saveFlags = SAVEBIT_NONE) const;

private:
  BaseBitmap() = default;
  // Only Free destroys a bitmap, so the live count stays right.
  ~BaseBitmap() = default;
  IMAGERESULT DecodeTiff(tiff* tif);
  void SwapPixels(BaseBitmap& other) noexcept;
  Bool InRange(Int32 x, Int32 y) const { return x >= 0 && y >= 0 && x < _width && y < _height; }
  std::size_t Index(Int32 x, Int32 y) const { return static_cast<std::size_t>(y) * _width + x; }

  Int32 _width = 0;
  Int32 _height = 0;
  Bool _grey = false;
  std::vector<Float32> _greyPixels;
  std::vector<UChar> _rgb;     // 3 bytes per pixel
  std::vector<UChar> _alpha;   // 1 byte per pixel when present
};

namespace host
{
// Bitmaps allocated and not yet freed, process-wide.
Int GetLiveBitmapCount();
// Calls of BaseBitmap::Free with a pointer that was not a live bitmap (double frees), process-wide.
Int GetBadBitmapFreeCount();
} // namespace host
