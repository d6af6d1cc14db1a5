// Writes the height image the shading scene drives its terrain with: a 257 x 257 grey map of 32-bit
// IEEE floats in 0..1 (row 0 at the top, which the terrain puts at +Z), one pixel per cell of a
// 256 x 256 terrain. The landform is drawn from a few smooth functions, so the file can be rebuilt as
// code: a main massif with a subsidiary peak, a saddle between them, a valley draining towards the
// bottom edge and a gentle tilt up to the north.
// Usage: ogx_make_heightmap <output file>   (the repository's scenes/shading-heights.tif)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <tiffio.h>

namespace
{
constexpr int kSide = 257;

double Bump(double x, double y, double cx, double cy, double rx, double ry)
{
  const double dx = (x - cx) / rx;
  const double dy = (y - cy) / ry;
  return std::exp(-(dx * dx + dy * dy));
}

// A wave along the direction (dx, dy), its phase bent by a slower wave across it.
double Wave(double x, double y, double dx, double dy, double frequency, double bend)
{
  const double along = x * dx + y * dy;
  const double across = x * -dy + y * dx;
  return std::sin(along * frequency + bend * std::sin(across * frequency * 0.37));
}

// Height at (x, y) in 0..1 across the map, y down.
double Height(double x, double y)
{
  double h = 0.62 * Bump(x, y, 0.36, 0.38, 0.22, 0.17);   // the massif
  h += 0.40 * Bump(x, y, 0.71, 0.31, 0.12, 0.14);          // the subsidiary peak
  h += 0.12 * Bump(x, y, 0.54, 0.34, 0.10, 0.06);          // the saddle
  h += 0.10 * (1.0 - y);                                    // the northward tilt
  // The valley: a trough that wanders down to the bottom edge.
  const double course = 0.58 + 0.07 * std::sin(y * 6.0);
  h -= 0.07 * Bump(x, 0.0, course, 0.0, 0.06, 1.0) * std::clamp((y - 0.45) * 3.0, 0.0, 1.0);
  // Spurs and gullies, strongest on the high ground: waves of falling size in several directions.
  const double relief = 0.25 + 0.75 * std::min(1.0, h * 1.6);
  double detail = 0.0;
  double amplitude = 0.05;
  double frequency = 9.0;
  const double directions[][2] = {{0.8, 0.6}, {-0.45, 0.89}, {0.96, -0.28}, {0.2, 0.98}, {-0.7, -0.71}};
  for (const auto& d : directions)
  {
    detail += amplitude * Wave(x, y, d[0], d[1], frequency, 1.3);
    amplitude *= 0.55;
    frequency *= 2.1;
  }
  return h + detail * relief;
}
} // namespace

int main(int argc, char** argv)
{
  if (argc != 2)
  {
    std::fprintf(stderr, "usage: ogx_make_heightmap <output file>\n");
    return 2;
  }
  std::vector<float> pixels(static_cast<std::size_t>(kSide) * kSide);
  double lo = 1e300, hi = -1e300;
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x)
    {
      const double h = Height(x / double(kSide - 1), y / double(kSide - 1));
      pixels[static_cast<std::size_t>(y) * kSide + x] = static_cast<float>(h);
      lo = std::min(lo, h);
      hi = std::max(hi, h);
    }
  // Stretched onto 0..1, so the terrain's height scale is the landform's relief.
  for (float& p : pixels)
    p = static_cast<float>((p - lo) / (hi - lo));

  TIFF* tif = TIFFOpen(argv[1], "w");
  if (!tif)
  {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kSide);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kSide);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  // Uncompressed, as the host writes its own maps, so that any TIFF reader opens it.
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
  bool ok = true;
  for (int y = 0; ok && y < kSide; ++y)
    ok = TIFFWriteScanline(tif, pixels.data() + static_cast<std::size_t>(y) * kSide, static_cast<uint32_t>(y), 0) >= 0;
  TIFFClose(tif);
  if (!ok)
  {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
