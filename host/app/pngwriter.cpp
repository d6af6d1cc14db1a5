// PNG encoding with libpng's simplified writer; see pngwriter.h.
#include "pngwriter.h"

#include <png.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "filewrite.h"

namespace host::app
{
namespace
{
constexpr Int BYTES_PER_PIXEL = 4;
// The format's limit on a dimension.
constexpr UInt32 PNG_MAX = 0x7FFFFFFFu;
} // namespace

Result<std::vector<UChar>> EncodePng(const RgbaImage& image)
{
  if (image.width <= 0 || image.height <= 0)
    return IllegalArgumentError("Cannot encode an empty image as PNG");
  if (static_cast<UInt32>(image.width) > PNG_MAX || static_cast<UInt32>(image.height) > PNG_MAX)
    return IllegalArgumentError("The image is too large for PNG");
  const std::size_t rowBytes = static_cast<std::size_t>(image.width) * BYTES_PER_PIXEL;
  if (image.pixels.size() != rowBytes * static_cast<std::size_t>(image.height))
    return IllegalArgumentError("The image's pixel array does not match its size");
  if (rowBytes > static_cast<std::size_t>(std::numeric_limits<png_int_32>::max()))
    return IllegalArgumentError("The image is too large for PNG");

  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGBA;
  const auto stride = static_cast<png_int_32>(rowBytes);
  // The first call measures, the second writes into a buffer of that size.
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), stride, nullptr))
  {
    const String why(png.message);
    png_image_free(&png);
    return OutOfMemoryError("Cannot encode the PNG image (" + why + ")");
  }
  std::vector<UChar> out;
  try
  {
    out.resize(size);
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError("Cannot encode the PNG image (out of memory)");
  }
  if (!png_image_write_to_memory(&png, out.data(), &size, 0, image.pixels.data(), stride, nullptr))
  {
    const String why(png.message);
    png_image_free(&png);
    return OutOfMemoryError("Cannot encode the PNG image (" + why + ")");
  }
  out.resize(size);
  return out;
}

Result<void> WritePng(const RgbaImage& image, const Url& file)
{
  const Result<std::vector<UChar>> bytes = EncodePng(image);
  if (bytes.IsError())
    return IllegalArgumentError(file.GetString() + ": " + bytes.GetError().GetText());
  const std::vector<UChar>& data = bytes.GetValue();
  return WriteFileAtomically(file, [&](std::FILE* f) -> Result<void> {
    if (std::fwrite(data.data(), 1, data.size(), f) != data.size())
      return FileWriteError(file, errno != 0 ? errno : EIO);
    return OK;
  });
}
} // namespace host::app
