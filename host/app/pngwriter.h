// The PNG writer of the front end's previews: 8-bit RGBA, written with libpng (its simplified writer
// chooses the row filters and compression). Any PNG reader opens the files.
#pragma once

#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"

namespace host::app
{
// An 8-bit RGBA image, rows top to bottom, 4 bytes per pixel.
struct RgbaImage
{
  Int32 width = 0;
  Int32 height = 0;
  std::vector<UChar> pixels;
};

// The whole file as bytes. Error for an empty image, a pixel array of the wrong size or a size the
// format cannot hold.
Result<std::vector<UChar>> EncodePng(const RgbaImage& image);
// Writes the file (through a temporary file renamed over the target, so a failed write leaves an
// existing file intact). Errors name the file.
Result<void> WritePng(const RgbaImage& image, const Url& file);
} // namespace host::app
