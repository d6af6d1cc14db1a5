#include "orogenix/erosion_droplet.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "host/core/log.h"
#include "host/noise/noise.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Float CORNER_WEIGHT = 0.0625;
constexpr Float SIDE_WEIGHT = 0.125;
constexpr Float CENTRE_WEIGHT = 0.25;

// The pull-down of one normalised height hn below the threshold t.
Float PullDown(Float hn, Float t, const NoiseErosionSettings& s)
{
  Float q = std::pow(hn / t, s.exponent) * hn;
  if (s.softness > 0.0)
  {
    // Smoothstep from the pulled-down height back towards hn as q nears the threshold.
    const Float base = (1.0 - s.softness) * t;
    const Float span = t - base;
    const Float f = span == 0.0 ? 0.0 : std::clamp((q - base) / span, 0.0, 1.0);
    const Float w = f <= 0.0 ? 0.0 : (f >= 1.0 ? 1.0 : (3.0 - 2.0 * f) * (f * f));
    q = q + (hn - q) * w;
  }
  return q;
}
} // namespace

Result<void> NoiseErosion(Grid2D<Float>& grid, const NoiseErosionSettings& settings)
{
  // Without a valid range the heights cannot be normalised: nothing to erode by.
  if (!grid.minMaxValid)
    return OK;
  const Float lo = grid.min;
  const Float range = grid.max - grid.min;
  const Float inverse = range == 0.0 ? 0.0 : 1.0 / range;
  const Int count = grid.cells.GetCount();
  const Int width = grid.width;
  const Int height = grid.height;
  if (count == 0 || count != width * height)
    return OK;
  const Float sizeX = grid.sizeX;
  const Float sizeY = grid.sizeY;
  const Float scale = settings.scale;
  const Float span = settings.high - settings.low;
  Float* cells = grid.cells.GetFirst();

  auto erodeCells = [&](Int begin, Int end) {
    Int x = begin % width;
    Int y = begin / width;
    // A one-cell axis puts its cells at the start of the axis, as everywhere else.
    Float v = GridFraction(y, height - 1);
    for (Int i = begin; i < end; ++i)
    {
      const Float u = GridFraction(x, width - 1);
      const Vector p((u * sizeX - sizeX * 0.5) * scale, 0.0 * scale, (sizeY * 0.5 - v * sizeY) * scale);
      const Float n = HostNoise3D(p);
      const Float threshold = ((n - 1.0) * settings.influence + 1.0) * span + settings.low;
      const Float hn = (cells[i] - lo) * inverse;
      if (threshold > hn)
        cells[i] = PullDown(hn, threshold, settings) * range + lo;
      if (++x == width)
      {
        x = 0;
        v = GridFraction(++y, height - 1);
      }
    }
  };
  return OGX::ParallelForBlocks(0, count, erodeCells, OGX::ThreadsFor(count, OGX::LOOP_SERIAL_ITEMS));
}

Result<void> DropletErosion(Grid2D<Float>& grid, const DropletSettings& settings)
{
  LcgRandom random;
  random.Init(settings.seed);
  for (Int d = 0; d < settings.count; ++d)
  {
    StatusSetText("Calculating Droplet Erosion: Droplet " + String::IntToString(d) + " of " +
                  String::IntToString(settings.count) + "...");
    StatusSetBar(static_cast<Int32>(static_cast<Float>(d) / static_cast<Float>(settings.count) * 100.0));
    const Float y = random.Get01() * static_cast<Float>(grid.height);
    const Float x = random.Get01() * static_cast<Float>(grid.width);
    Result<void> droplet = SimulateDroplet(grid, x, y, random, settings);
    if (droplet.IsError())
    {
      ConsolePrint(droplet.GetError().GetText());
      return droplet;
    }
  }
  if (settings.smooth)
  {
    Result<void> smoothed = SmoothGridInterior3x3(grid);
    if (smoothed.IsError())
    {
      ConsolePrint(smoothed.GetError().GetText());
      return smoothed;
    }
  }
  return OK;
}

Result<void> SimulateDroplet(Grid2D<Float>& grid, Float x, Float y, LcgRandom& random, const DropletSettings& settings)
{
  const Int width = grid.width;
  const Int height = grid.height;
  if (grid.cells.GetCount() == 0 || grid.cells.GetCount() != width * height)
    return OK;
  const Float step = settings.step;
  const Float jy = random.Get11() * settings.jitter * step;
  const Float jx = step * (random.Get11() * settings.jitter);
  const Float flatUp = 4.0 * step * step;

  Float px = x;
  Float py = y;
  Float vx = 0.0;
  Float vy = 0.0;
  Float sediment = 0.0;
  Float* cells = grid.cells.GetFirst();
  for (Int k = 0; k < settings.steps; ++k)
  {
    // The gradient is sampled around the droplet's current position, shifted by its jitter.
    const Float sx = px + jx;
    const Float sy = py + jy;
    const auto h = [&grid](Float ax, Float ay) { return grid.Sample(ax, ay, SAMPLEINTERPOLATION::BILINEAR); };
    const Float gX = (h(sx + step, sy) - h(sx - step, sy)) * (-2.0 * step);
    const Float gY = (h(sx, sy + step) - h(sx, sy - step)) * (-2.0 * step);
    const Float len = std::sqrt(flatUp * flatUp + gX * gX + gY * gY);
    const Float inverse = len == 0.0 ? 0.0 : 1.0 / len;
    const Float up = flatUp * inverse;
    const Float nX = gX * inverse;
    const Float nY = gY * inverse;
    if (up == 1.0)
      break;   // flat ground

    const Float deposit = sediment * settings.depositionRate * up;
    const Float erode = std::min(1.0, static_cast<Float>(k) * settings.ramp) * (1.0 - up) * settings.erosionRate;
    const Float net = deposit - erode;
    // While the truncated position lies before the last column and row, the four cells from it on get
    // their bilinear weights, their indices clamped into the grid: a droplet past the left or upper edge
    // still spreads onto the border cells. A position that is not finite (NaN heights, overflowing
    // velocities) would make the weights NaN and spreads nothing.
    const Float tx = std::trunc(px);
    const Float ty = std::trunc(py);
    if (net != 0.0 && std::isfinite(px) && std::isfinite(py) && tx < static_cast<Float>(width - 1) &&
        ty < static_cast<Float>(height - 1))
    {
      const Float lastX = static_cast<Float>(width - 1);
      const Float lastY = static_cast<Float>(height - 1);
      const Int x0 = static_cast<Int>(std::clamp(tx, 0.0, lastX));
      const Int x1 = static_cast<Int>(std::clamp(tx + 1.0, 0.0, lastX));
      const Int y0 = static_cast<Int>(std::clamp(ty, 0.0, lastY));
      const Int y1 = static_cast<Int>(std::clamp(ty + 1.0, 0.0, lastY));
      const Float fx = px - tx;
      const Float fy = py - ty;
      cells[y0 * width + x0] += net * (1.0 - fx) * (1.0 - fy);
      cells[y0 * width + x1] += net * fx * (1.0 - fy);
      cells[y1 * width + x0] += net * (1.0 - fx) * fy;
      cells[y1 * width + x1] += net * fx * fy;
    }
    sediment = sediment + erode - deposit;

    vx = settings.acceleration * nX * step + settings.inertia * vx;
    vy = settings.acceleration * nY * step + settings.inertia * vy;
    px = px + vx;
    py = py + vy;
  }
  return OK;
}

Result<void> SmoothGridInterior3x3(Grid2D<Float>& grid)
{
  const Int count = grid.cells.GetCount();
  const Int width = grid.width;
  const Int height = grid.height;
  if (count != width * height)
    return IllegalArgumentError("Cannot smooth a grid whose cells do not match its size!");
  BaseArray<Float> smoothed;
  HOST_TRY(smoothed.ResizeDefault(count));
  const Float* c = grid.cells.GetFirst();
  Float* out = smoothed.GetFirst();
  // Every cell of the new array is written: the interior smoothed, the outer ring copied.
  HOST_TRY(ParallelFor(
    0, height,
    [=](Int y) {
      const Float* row = c + y * width;
      Float* o = out + y * width;
      if (y == 0 || y == height - 1 || width < 3)
      {
        std::copy(row, row + width, o);
        return;
      }
      const Float* up = row - width;
      const Float* down = row + width;
      o[0] = row[0];
      for (Int x = 1; x < width - 1; ++x)
        o[x] = (up[x - 1] + up[x + 1] + down[x + 1] + down[x - 1]) * CORNER_WEIGHT +
               (row[x - 1] + up[x] + row[x + 1] + down[x]) * SIDE_WEIGHT + row[x] * CENTRE_WEIGHT;
      o[width - 1] = row[width - 1];
    },
    OGX::ThreadsFor(count, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY));
  std::swap(grid.cells, smoothed);
  return OK;
}
