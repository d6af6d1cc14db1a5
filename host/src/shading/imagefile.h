// Image files the bitmap shader reads, decoded to linear float RGB. Not a public header.
#pragma once

#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"

namespace host::detail
{
struct LoadedImage
{
  Int32 width = 0;
  Int32 height = 0;
  std::vector<Float32> rgb;   // three samples per pixel, rows top first
};

// PNG (recognised by its signature) through libpng, 8-bit samples / 255 and 16-bit ones / 65535;
// anything else as TIFF through the host's bitmap: 8-bit samples / 255, float grey maps as stored.
// Errors: a missing or undecodable file (illegal argument, naming the file and why), memory that
// cannot be had (out of memory).
Result<void> LoadImageFile(const Url& file, LoadedImage& out);
} // namespace host::detail
