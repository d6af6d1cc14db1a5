// Image files the bitmap shader reads, decoded to linear float RGB. Not a public header.
#pragma once

#include <memory>
#include <vector>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/url.h"

namespace host::detail
{
struct LoadedImage
{
  Int32 width = 0;
  Int32 height = 0;
  Int32 channels = 0;   // 1 grey, 3 red, green, blue
  // channels samples per pixel, rows top first; filled by the loader, so not zeroed first.
  std::vector<Float32, host::DefaultInitAllocator<Float32>> samples;
};

// PNG (recognised by its signature) through libpng, 8-bit samples / 255 and 16-bit ones / 65535;
// anything else as TIFF through the host's bitmap: 8-bit samples / 255, float grey maps as stored.
// Grey images keep one channel.
// Errors: a missing or undecodable file (illegal argument, naming the file and why), memory that
// cannot be had (out of memory).
Result<void> LoadImageFile(const Url& file, LoadedImage& out);

// LoadImageFile through the host's image cache: decoded images are kept, most recently used first, up
// to IMAGE_CACHE_BYTES of samples, so that a shader prepared for every computation of an operator
// decodes its file once. An entry serves only while the file keeps its size and modification time; an
// image larger than the whole cache is not kept. Safe from any thread.
inline constexpr std::size_t IMAGE_CACHE_BYTES = std::size_t(256) << 20;
Result<std::shared_ptr<const LoadedImage>> LoadCachedImageFile(const Url& file);
} // namespace host::detail
