#include "imagefile.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>

#include <png.h>

#include "host/core/alloc.h"
#include "host/imaging/bitmap.h"
#include "host/shading/shaders.h"

namespace host::detail
{
namespace
{
constexpr std::size_t PNG_SIGNATURE_BYTES = 8;

std::atomic<Int> g_decodes{0};

// What identifies a decoded file: where it is and what it looked like when it was read.
struct ImageKey
{
  std::filesystem::path path;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type modified;
  bool operator==(const ImageKey&) const = default;
};

struct ImageCache
{
  std::mutex mutex;
  std::list<std::pair<ImageKey, std::shared_ptr<const LoadedImage>>> entries;   // most recent first
  std::size_t bytes = 0;

  static std::size_t BytesOf(const LoadedImage& image) { return image.samples.size() * sizeof(Float32); }

  std::shared_ptr<const LoadedImage> Find(const ImageKey& key)
  {
    std::lock_guard lock(mutex);
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->first == key)
      {
        entries.splice(entries.begin(), entries, it);
        return it->second;
      }
    return nullptr;
  }

  void Keep(const ImageKey& key, const std::shared_ptr<const LoadedImage>& image)
  {
    const std::size_t size = BytesOf(*image);
    if (size > IMAGE_CACHE_BYTES)
      return;
    std::lock_guard lock(mutex);
    // A file read again replaces what was kept of it before.
    for (auto it = entries.begin(); it != entries.end();)
    {
      if (it->first.path == key.path)
      {
        bytes -= BytesOf(*it->second);
        it = entries.erase(it);
      }
      else
        ++it;
    }
    while (!entries.empty() && bytes + size > IMAGE_CACHE_BYTES)
    {
      bytes -= BytesOf(*entries.back().second);
      entries.pop_back();
    }
    if (TryAllocation([&] { entries.emplace_front(key, image); }))
      bytes += size;
  }

  void Clear()
  {
    std::lock_guard lock(mutex);
    entries.clear();
    bytes = 0;
  }
};

ImageCache& Cache()
{
  static ImageCache cache;
  return cache;
}

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
Bool Reserve(LoadedImage& out, Int32 width, Int32 height, Int32 channels)
{
  if (width <= 0 || height <= 0 ||
      !TryAllocation([&] { out.samples.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * channels); }))
    return false;
  out.width = width;
  out.height = height;
  out.channels = channels;
  return true;
}

Error CannotHold(const Url& file)
{
  return OutOfMemoryError("Cannot hold image \"" + file.GetString() + "\"");
}

// The decoded samples of the simplified libpng reader, as floats in 0..1.
template <typename Sample>
Result<void> FinishPng(png_image& image, const Url& file, LoadedImage& out, Int32 channels, Float32 scale)
{
  std::vector<Sample> buffer;
  if (!Reserve(out, static_cast<Int32>(image.width), static_cast<Int32>(image.height), channels) ||
      !TryAllocation([&] { buffer.resize(out.samples.size()); }))
  {
    png_image_free(&image);
    return CannotHold(file);
  }
  if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr))
    return CannotRead(file, String(image.message));
  for (std::size_t i = 0; i < buffer.size(); ++i)
    out.samples[i] = static_cast<Float32>(buffer[i]) / scale;
  return OK;
}

// The simplified libpng reader keeps the file's own encoding (8-bit values as stored, 16-bit ones as
// linear samples) when asked for the matching output format, so heights stored in a PNG pass unchanged.
Result<void> LoadPng(const Url& file, LoadedImage& out)
{
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.GetString().GetStd().c_str()))
    return CannotRead(file, String(image.message));
  if (image.width > 0x7fffffffu || image.height > 0x7fffffffu)
  {
    png_image_free(&image);
    return CannotHold(file);
  }
  const Bool sixteen = (image.format & PNG_FORMAT_FLAG_LINEAR) != 0;
  const Bool colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
  image.format = (sixteen ? PNG_FORMAT_FLAG_LINEAR : 0) | (colour ? PNG_FORMAT_FLAG_COLOR : 0);
  const Int32 channels = colour ? 3 : 1;
  if (sixteen)
    return FinishPng<png_uint_16>(image, file, out, channels, 65535.0f);
  return FinishPng<png_byte>(image, file, out, channels, 255.0f);
}

Result<void> LoadTiff(const Url& file, LoadedImage& out)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  if (!bmp)
    return CannotHold(file);
  const IMAGERESULT loaded = bmp->Init(file);
  if (loaded != IMAGERESULT::OK)
  {
    BaseBitmap::Free(bmp);
    if (loaded == IMAGERESULT::OUTOFMEMORY)
      return CannotHold(file);
    return CannotRead(file, "not a PNG or TIFF image the host can decode");
  }
  const Int32 w = bmp->GetBw();
  const Int32 h = bmp->GetBh();
  const Bool grey = bmp->IsGreyFloat();
  std::vector<UChar> row;
  Bool ok = Reserve(out, w, h, grey ? 1 : 3) && (grey || TryAllocation([&] { row.resize(static_cast<std::size_t>(w) * 3); }));
  for (Int32 y = 0; ok && y < h; ++y)
  {
    Float32* dst = out.samples.data() + static_cast<std::size_t>(y) * w * out.channels;
    if (grey)
    {
      ok = bmp->GetPixelCnt(0, y, w, reinterpret_cast<UChar*>(dst), sizeof(Float32), COLORMODE::GRAYf);
      continue;
    }
    ok = bmp->GetPixelCnt(0, y, w, row.data(), 3, COLORMODE::RGB);
    for (std::size_t i = 0; ok && i < row.size(); ++i)
      dst[i] = static_cast<Float32>(row[i]) / 255.0f;
  }
  BaseBitmap::Free(bmp);
  return ok ? Result<void>(OK) : CannotHold(file);
}
} // namespace

Result<void> LoadImageFile(const Url& file, LoadedImage& out)
{
  if (file.IsEmpty())
    return IllegalArgumentError("No image file given");
  if (!file.Exists() || file.IsDirectory())
    return CannotRead(file, "no such file");
  g_decodes.fetch_add(1, std::memory_order_relaxed);
  return HasPngSignature(file) ? LoadPng(file, out) : LoadTiff(file, out);
}

Result<std::shared_ptr<const LoadedImage>> LoadCachedImageFile(const Url& file)
{
  std::error_code ec;
  ImageKey key;
  key.path = std::filesystem::absolute(file.GetPath(), ec);
  if (!ec)
    key.size = std::filesystem::file_size(key.path, ec);
  if (!ec)
    key.modified = std::filesystem::last_write_time(key.path, ec);
  // A file whose state cannot be read is decoded (or refused) without the cache.
  if (!ec)
    if (std::shared_ptr<const LoadedImage> kept = Cache().Find(key))
      return kept;
  std::shared_ptr<LoadedImage> image;
  if (!TryAllocation([&] { image = std::make_shared<LoadedImage>(); }))
    return CannotHold(file);
  HOST_TRY(LoadImageFile(file, *image));
  if (!ec)
    Cache().Keep(key, image);
  return std::shared_ptr<const LoadedImage>(std::move(image));
}
} // namespace host::detail

namespace host
{
Int GetImageDecodeCount()
{
  return detail::g_decodes.load(std::memory_order_relaxed);
}

void ClearImageCache()
{
  detail::Cache().Clear();
}
} // namespace host
