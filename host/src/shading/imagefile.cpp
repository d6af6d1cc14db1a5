#include "imagefile.h"

#include <cstdio>
#include <fstream>
#include <exception>

#include <png.h>

#include "host/core/alloc.h"
#include "host/imaging/bitmap.h"

namespace host::detail
{
namespace
{
constexpr std::size_t PNG_SIGNATURE_BYTES = 8;

Bool HasPngSignature(const Url& file)
{
  std::ifstream in(file.GetPath(), std::ios::binary);
  unsigned char head[PNG_SIGNATURE_BYTES] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head))
    return false;
  return png_sig_cmp(head, 0, sizeof head) == 0;
}

Error CannotRead(const Url& file, const String& why)
{
  return IllegalArgumentError("Cannot read image \"" + file.GetString() + "\": " + why);
}

// Sizes the pixel store; false when memory cannot be had.
Bool Reserve(LoadedImage& out, Int32 width, Int32 height)
{
  if (width <= 0 || height <= 0 || AllocationShouldFail())
    return false;
  try
  {
    out.rgb.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0.0f);
  }
  catch (const std::exception&)
  {
    return false;
  }
  out.width = width;
  out.height = height;
  return true;
}

// The simplified libpng reader keeps the file's own encoding (8-bit values as stored, 16-bit ones as
// linear samples) when asked for the matching output format, so heights stored in a PNG pass unchanged.
Result<void> LoadPng(const Url& file, LoadedImage& out)
{
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.GetString().GetStd().c_str()))
    return CannotRead(file, String(image.message));
  const Bool sixteen = (image.format & PNG_FORMAT_FLAG_LINEAR) != 0;
  image.format = sixteen ? PNG_FORMAT_LINEAR_RGB : PNG_FORMAT_RGB;
  const std::size_t samples = static_cast<std::size_t>(image.width) * image.height * 3;
  std::vector<png_uint_16> wide;
  std::vector<png_byte> narrow;
  if (image.width > 0x7fffffffu || image.height > 0x7fffffffu || AllocationShouldFail())
  {
    png_image_free(&image);
    return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
  }
  try
  {
    if (sixteen)
      wide.resize(samples);
    else
      narrow.resize(samples);
  }
  catch (const std::exception&)
  {
    png_image_free(&image);
    return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
  }
  void* buffer = sixteen ? static_cast<void*>(wide.data()) : static_cast<void*>(narrow.data());
  if (!png_image_finish_read(&image, nullptr, buffer, 0, nullptr))
    return CannotRead(file, String(image.message));
  if (!Reserve(out, static_cast<Int32>(image.width), static_cast<Int32>(image.height)))
    return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
  for (std::size_t i = 0; i < samples; ++i)
    out.rgb[i] = sixteen ? static_cast<Float32>(wide[i]) / 65535.0f : static_cast<Float32>(narrow[i]) / 255.0f;
  return OK;
}

Result<void> LoadTiff(const Url& file, LoadedImage& out)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  if (!bmp)
    return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
  const IMAGERESULT loaded = bmp->Init(file);
  if (loaded != IMAGERESULT::OK)
  {
    BaseBitmap::Free(bmp);
    if (loaded == IMAGERESULT::OUTOFMEMORY)
      return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
    return CannotRead(file, "not a PNG or TIFF image the host can decode");
  }
  const Int32 w = bmp->GetBw();
  const Int32 h = bmp->GetBh();
  if (!Reserve(out, w, h))
  {
    BaseBitmap::Free(bmp);
    return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
  }
  Float32* px = out.rgb.data();
  for (Int32 y = 0; y < h; ++y)
    for (Int32 x = 0; x < w; ++x, px += 3)
    {
      if (bmp->IsGreyFloat())
      {
        px[0] = px[1] = px[2] = bmp->GetGreyFloat(x, y);
        continue;
      }
      UInt16 r = 0, g = 0, b = 0;
      bmp->GetPixel(x, y, &r, &g, &b);
      px[0] = static_cast<Float32>(r) / 255.0f;
      px[1] = static_cast<Float32>(g) / 255.0f;
      px[2] = static_cast<Float32>(b) / 255.0f;
    }
  BaseBitmap::Free(bmp);
  return OK;
}
} // namespace

Result<void> LoadImageFile(const Url& file, LoadedImage& out)
{
  if (file.IsEmpty())
    return IllegalArgumentError("No image file given");
  if (!file.Exists() || file.IsDirectory())
    return CannotRead(file, "no such file");
  return HasPngSignature(file) ? LoadPng(file, out) : LoadTiff(file, out);
}
} // namespace host::detail
