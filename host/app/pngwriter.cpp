// PNG encoding with zlib; see pngwriter.h.
#include "pngwriter.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <limits>

#include "filewrite.h"

namespace host::app
{
namespace
{
constexpr std::array<UChar, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr UChar COLOR_TYPE_RGBA = 6;
constexpr UChar BIT_DEPTH_8 = 8;
constexpr UChar FILTER_UP = 2;
constexpr Int BYTES_PER_PIXEL = 4;
// The format's limit on a dimension and on a chunk's length.
constexpr UInt32 PNG_MAX = 0x7FFFFFFFu;

void PutU32(std::vector<UChar>& out, UInt32 v)
{
  out.push_back(static_cast<UChar>(v >> 24));
  out.push_back(static_cast<UChar>(v >> 16));
  out.push_back(static_cast<UChar>(v >> 8));
  out.push_back(static_cast<UChar>(v));
}

// Length, type, data and the CRC over type and data.
void PutChunk(std::vector<UChar>& out, const char (&type)[5], const UChar* data, std::size_t size)
{
  PutU32(out, static_cast<UInt32>(size));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  if (size > 0)
    out.insert(out.end(), data, data + size);
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32_z(crc, out.data() + typeAt, 4 + size);
  PutU32(out, static_cast<UInt32>(crc));
}
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

  // Filtered rows: a filter byte, then each byte minus the byte above it (modulo 256).
  std::vector<UChar> filtered;
  filtered.resize((rowBytes + 1) * static_cast<std::size_t>(image.height));
  for (Int32 y = 0; y < image.height; ++y)
  {
    UChar* dst = filtered.data() + static_cast<std::size_t>(y) * (rowBytes + 1);
    const UChar* row = image.pixels.data() + static_cast<std::size_t>(y) * rowBytes;
    dst[0] = FILTER_UP;
    if (y == 0)
      std::memcpy(dst + 1, row, rowBytes);
    else
      for (std::size_t i = 0; i < rowBytes; ++i)
        dst[1 + i] = static_cast<UChar>(row[i] - row[i - rowBytes]);
  }

  uLongf compressedSize = compressBound(static_cast<uLong>(filtered.size()));
  std::vector<UChar> compressed(compressedSize);
  if (compress2(compressed.data(), &compressedSize, filtered.data(), static_cast<uLong>(filtered.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    return OutOfMemoryError("Cannot compress the PNG image data");
  if (compressedSize > PNG_MAX)
    return IllegalArgumentError("The image is too large for PNG");

  std::vector<UChar> out(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end());
  std::vector<UChar> header;
  PutU32(header, static_cast<UInt32>(image.width));
  PutU32(header, static_cast<UInt32>(image.height));
  header.push_back(BIT_DEPTH_8);
  header.push_back(COLOR_TYPE_RGBA);
  header.push_back(0);   // compression: deflate
  header.push_back(0);   // filter method: adaptive (per-row filter bytes)
  header.push_back(0);   // no interlace
  PutChunk(out, "IHDR", header.data(), header.size());
  PutChunk(out, "IDAT", compressed.data(), compressedSize);
  PutChunk(out, "IEND", nullptr, 0);
  return out;
}

Result<void> WritePng(const RgbaImage& image, const Url& file)
{
  const Result<std::vector<UChar>> bytes = EncodePng(image);
  if (bytes.IsError())
    return IllegalArgumentError(file.GetString() + ": " + bytes.GetError().GetText());
  const std::vector<UChar>& data = bytes.GetValue();
  return WriteFileAtomically(file, [&data](std::FILE* f) {
    return std::fwrite(data.data(), 1, data.size(), f) == data.size();
  });
}
} // namespace host::app
