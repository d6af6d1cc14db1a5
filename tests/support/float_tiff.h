// Reads a one-channel 32-bit float TIFF through libtiff itself, as any other tool would: the check that
// an exported map is a file other programs open.
#pragma once

#include <filesystem>
#include <vector>

#include <tiffio.h>

#include "host/core/types.h"

namespace ogx_test
{
struct FloatTiff
{
  UInt32 width = 0;
  UInt32 height = 0;
  std::vector<Float32> values;   // row 0 first
};

// False when the file cannot be opened or is not one channel of 32-bit IEEE floats.
inline Bool ReadFloatTiff(const std::filesystem::path& path, FloatTiff& out)
{
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif)
    return false;
  UInt16 bits = 0, samples = 0, format = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  Bool ok = bits == 32 && samples == 1 && format == SAMPLEFORMAT_IEEEFP;
  out.values.clear();
  std::vector<Float32> row(out.width);
  for (UInt32 y = 0; ok && y < out.height; ++y)
  {
    ok = TIFFReadScanline(tif, row.data(), y, 0) == 1;
    out.values.insert(out.values.end(), row.begin(), row.end());
  }
  TIFFClose(tif);
  return ok;
}
} // namespace ogx_test
