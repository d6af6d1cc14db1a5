// PNG files read back with libpng's own reader (a path of the library apart from the one that writes),
// for the tests of the front end's top views.
#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <string>

#include "pngwriter.h"

namespace ogx_test
{
// The RGBA image of a PNG file's bytes; fails the test on anything malformed.
inline host::app::RgbaImage DecodePng(const std::string& file)
{
  host::app::RgbaImage image;
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, file.data(), file.size()))
  {
    ADD_FAILURE() << "not a PNG file: " << png.message;
    return image;
  }
  // What the writer promises: 8-bit RGBA, no colour map.
  EXPECT_EQ(png.format, static_cast<png_uint_32>(PNG_FORMAT_RGBA));
  png.format = PNG_FORMAT_RGBA;
  image.width = static_cast<Int32>(png.width);
  image.height = static_cast<Int32>(png.height);
  image.pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr))
    ADD_FAILURE() << "the PNG data does not decode: " << png.message;
  png_image_free(&png);
  return image;
}
} // namespace ogx_test
