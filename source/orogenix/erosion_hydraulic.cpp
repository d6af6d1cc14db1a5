#include "orogenix/erosion_hydraulic.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "host/core/log.h"
#include "host/core/random.h"
#include "orogenix/ogx_parallel.h"

namespace
{
// The run's fixed step: a time step of 1/60 s in milliseconds, rain on, a source of radius 30 at the
// centre with a rate of 1/6 per millisecond.
constexpr Float RUN_DT = 16.666666666666668;
constexpr Int RUN_RAIN = 1000000;
constexpr Int RUN_SOURCE_RADIUS = 30;
constexpr Float RUN_SOURCE_RATE = 0.16666666666666669;

constexpr Float PIPE_LENGTH = 1.0;
constexpr Float GRAVITY = 9.81;

// Every step rains on the same cells: the generator restarts from this seed.
constexpr UInt32 RAIN_SEED = 123;
constexpr Int RAIN_DROPS = 1000;
constexpr Float RAIN_AMOUNT = 0.0625;

constexpr Float FLUX_SCALE = 5e-5;

constexpr Float SEDIMENT_CAPACITY = 25.0;
constexpr Float DISSOLVING_RATE = 0.012;
constexpr Float DEPOSITION_RATE = 0.012;
constexpr Vector EROSION_REFERENCE_DIRECTION(0.0, 0.0, 1.0);
// Flat ground still carries some sediment.
constexpr Float MIN_TILT_SINE = 0.1;
// Water shallower than this carries proportionally less.
constexpr Float FULL_CAPACITY_DEPTH = 0.01;

constexpr Float EVAPORATION_RATE = 5.5e-5;
constexpr Float MIN_WATER_DEPTH = 0.005;

constexpr Float SPIKE_TOLERANCE = 0.2;
constexpr Float SPIKE_MEAN_DIVISOR = 5.0;

Float AtLeastZero(Float v)
{
  return v > 0.0 ? v : 0.0;   // NaN becomes 0
}

// The grids of the state as raw rows, once all of them are known to have the height grid's cell count;
// a state that was not initialised (or grids changed behind its back) runs no pass.
struct Cells
{
  Int width = 0;
  Int height = 0;
  Float* h = nullptr;
  Float* water = nullptr;
  Float* sediment = nullptr;
  Float* scratch = nullptr;
  Float* vx = nullptr;
  Float* vy = nullptr;
  Float* left = nullptr;
  Float* right = nullptr;
  Float* down = nullptr;
  Float* up = nullptr;

  static Bool Get(HydraulicErosionState& s, Cells& out)
  {
    const Grid2D<Float>& h = *s.heights;
    const Int count = h.cells.GetCount();
    if (h.width < 0 || h.height < 0 || count != h.width * h.height)
      return false;
    for (const Grid2D<Float>* g : {s.water, s.sediment, &s.scratch, &s.velocityX, &s.velocityY, &s.fluxLeft,
                                   &s.fluxRight, &s.fluxDown, &s.fluxUp})
      if (g->cells.GetCount() != count)
        return false;
    out.width = h.width;
    out.height = h.height;
    out.h = s.heights->cells.GetFirst();
    out.water = s.water->cells.GetFirst();
    out.sediment = s.sediment->cells.GetFirst();
    out.scratch = s.scratch.cells.GetFirst();
    out.vx = s.velocityX.cells.GetFirst();
    out.vy = s.velocityY.cells.GetFirst();
    out.left = s.fluxLeft.cells.GetFirst();
    out.right = s.fluxRight.cells.GetFirst();
    out.down = s.fluxDown.cells.GetFirst();
    out.up = s.fluxUp.cells.GetFirst();
    return true;
  }
};

// A pass over the rows on all threads; the bodies cannot fail and no pass has a break test.
template <typename RowBody>
void ForRows(Int height, RowBody&& body)
{
  (void)ParallelFor(0, height, body, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
}
} // namespace

Result<void> InitHydraulicGrids(HydraulicGridSet& set, const Grid2D<Float>& source)
{
  HOST_TRY(set.heights.CopyFrom(source));
  HOST_TRY(set.water.InitLike(set.heights));
  HOST_TRY(set.sediment.InitLike(set.heights));
  return Grid2D<Float>::CheckInitArguments(set.heights.width, set.heights.height, set.heights.sizeX,
                                           set.heights.sizeY);
}

Result<void> HydraulicErosionState::Init()
{
  for (Grid2D<Float>* g : {&scratch, &velocityX, &velocityY, &fluxLeft, &fluxRight, &fluxDown, &fluxUp})
    HOST_TRY(g->InitLike(*water));
  pipeLengthX = PIPE_LENGTH;
  pipeLengthY = PIPE_LENGTH;
  gravity = GRAVITY;
  return OK;
}

void HydraulicErosion(HydraulicErosionState& state, Int iterations)
{
  const Int centre[2] = {state.heights->width / 2, state.heights->height / 2};
  for (Int i = 0; i < iterations; ++i)
  {
    StatusSetText("Calculating Hydraulic Erosion iteration " + String::IntToString(i) + " of " +
                  String::IntToString(iterations) + "...");
    StatusSetBar(static_cast<Int32>(static_cast<Float>(i) / static_cast<Float>(iterations) * 100.0));
    HydraulicErosionStep(state, RUN_DT, RUN_RAIN, true, centre, RUN_SOURCE_RADIUS, RUN_SOURCE_RATE);
  }
}

void HydraulicErosionStep(HydraulicErosionState& state, Float dt, Int rain, Bool source, const Int centre[2],
                          Int radius, Float sourceRate)
{
  if (rain > 0)
    AddRain(state);
  if (source)
    AddWaterSource(state, centre, radius, dt * sourceRate);
  UpdateOutflowFlux(state, dt);
  UpdateWaterVelocity(state, dt);
  ErodeDeposit(state);
  AdvectSediment(state, dt);
  EvaporateWater(state, dt);
  SmoothHeightSpikes(state);
  TakeScratchHeights(state);
}

void AddRain(HydraulicErosionState& state)
{
  Grid2D<Float>& water = *state.water;
  const Int width = water.width;
  const Int height = water.height;
  if (water.cells.GetCount() != width * height)
    return;
  Float* w = water.cells.GetFirst();
  LcgRandom random;
  random.Init(RAIN_SEED);
  for (Int drop = 0; drop < RAIN_DROPS; ++drop)
  {
    // Both draws are made whatever the grid's size, so the sequence stays the same; on a grid narrower or
    // lower than 3 cells part of the block lies outside and is skipped.
    const Int x = static_cast<Int>(random.Get01() * (static_cast<Float>(width) - 2.0)) + 1;
    const Int y = static_cast<Int>(random.Get01() * (static_cast<Float>(height) - 2.0)) + 1;
    for (Int yy = y - 1; yy <= y + 1; ++yy)
    {
      if (yy < 0 || yy >= height)
        continue;
      for (Int xx = x - 1; xx <= x + 1; ++xx)
        if (xx >= 0 && xx < width)
          w[yy * width + xx] += RAIN_AMOUNT;
    }
  }
}

void AddWaterSource(HydraulicErosionState& state, const Int centre[2], Int radius, Float amount)
{
  Grid2D<Float>& water = *state.water;
  const Int width = state.heights->width;
  const Int height = state.heights->height;
  if (water.cells.GetCount() != width * height)
    return;
  Float* w = water.cells.GetFirst();
  const Int r2 = radius * radius;
  for (Int dy = -radius; dy <= radius; ++dy)
  {
    const Int y = centre[1] + dy;
    if (y < 0 || y >= height)
      continue;
    for (Int dx = -radius; dx <= radius; ++dx)
    {
      const Int x = centre[0] + dx;
      if (x < 0 || x >= width || dx * dx + dy * dy > r2)
        continue;
      w[y * width + x] += static_cast<Float>(r2 - dx * dx - dy * dy) * amount;
    }
  }
}

void UpdateOutflowFlux(HydraulicErosionState& state, Float dt)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  const Float k = dt * FLUX_SCALE * state.gravity;
  const Float plx = state.pipeLengthX;
  const Float ply = state.pipeLengthY;
  ForRows(c.height, [&c, k, plx, ply, dt](Int y) {
    for (Int x = 0; x < c.width; ++x)
    {
      const Int i = y * c.width + x;
      const Float t = c.h[i] + c.water[i];
      auto outflow = [&](Float flux, Int n) { return AtLeastZero(flux + k * (t - (c.h[n] + c.water[n]))); };
      Float left = x > 0 ? outflow(c.left[i], i - 1) : 0.0;
      Float right = x < c.width - 1 ? outflow(c.right[i], i + 1) : 0.0;
      Float up = y > 0 ? outflow(c.up[i], i - c.width) : 0.0;
      Float down = y < c.height - 1 ? outflow(c.down[i], i + c.width) : 0.0;
      const Float sum = right + left + up + down;
      // No outflow at all: the scaling would divide 0 by 0.
      if (sum != 0.0)
      {
        Float scale = c.water[i] * plx * ply / (sum * dt);
        scale = scale < 1.0 ? scale : 1.0;
        left *= scale;
        right *= scale;
        up *= scale;
        down *= scale;
      }
      c.left[i] = left;
      c.right[i] = right;
      c.up[i] = up;
      c.down[i] = down;
    }
  });
}

void UpdateWaterVelocity(HydraulicErosionState& state, Float dt)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  const Float plx = state.pipeLengthX;
  const Float ply = state.pipeLengthY;
  ForRows(c.height, [&c, plx, ply, dt](Int y) {
    for (Int x = 0; x < c.width; ++x)
    {
      const Int i = y * c.width + x;
      // What flows in from each neighbour; 0 where there is none.
      const Float fromLeft = x > 0 ? c.right[i - 1] : 0.0;
      const Float fromRight = x < c.width - 1 ? c.left[i + 1] : 0.0;
      const Float fromUp = y > 0 ? c.down[i - c.width] : 0.0;
      const Float fromDown = y < c.height - 1 ? c.up[i + c.width] : 0.0;
      const Float inflow = fromLeft + fromRight + fromUp + fromDown;
      const Float outflow = c.right[i] + c.left[i] + c.down[i] + c.up[i];
      const Float old = c.water[i];
      const Float water = AtLeastZero(old + (inflow - outflow) * dt / (plx * ply));
      c.water[i] = water;
      const Float mean = (old + water) * 0.5;
      if (mean == 0.0)
      {
        c.vx[i] = 0.0;
        c.vy[i] = 0.0;
        continue;
      }
      c.vx[i] = (fromLeft - c.left[i] - fromRight + c.right[i]) * 0.5 / (mean * ply);
      c.vy[i] = (fromUp - c.up[i] - fromDown + c.down[i]) * 0.5 / (mean * plx);
    }
  });
}

void ErodeDeposit(HydraulicErosionState& state)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  const Vector direction = EROSION_REFERENCE_DIRECTION;
  // Reads the heights and writes the new ones into the scratch grid, so no row sees a neighbour row's
  // new heights; the two grids then exchange their cells.
  ForRows(c.height, [&c, direction](Int y) {
    const Float* row = c.h + y * c.width;
    const Float* rowUp = c.h + std::max<Int>(y - 1, 0) * c.width;
    const Float* rowDown = c.h + std::min<Int>(y + 1, c.height - 1) * c.width;
    for (Int x = 0; x < c.width; ++x)
    {
      const Int i = y * c.width + x;
      const Float speed = std::sqrt(c.vy[i] * c.vy[i] + c.vx[i] * c.vx[i]);
      const Float depth = std::min(c.water[i], FULL_CAPACITY_DEPTH) / FULL_CAPACITY_DEPTH;
      // The tilt factor lies in [0.1, 1] whatever the heights, so still or dry water carries nothing
      // and the trigonometry (most of the pass's cost) is skipped for it; the result is the same.
      Float capacity = 0.0;
      if (!((speed == 0.0 && std::isfinite(depth)) || (depth == 0.0 && std::isfinite(speed))))
      {
        const Float dX = row[std::min<Int>(x + 1, c.width - 1)] - row[std::max<Int>(x - 1, 0)];
        const Float dY = rowDown[x] - rowUp[x];
        const Float len = std::sqrt(dX * dX + dY * dY + 4.0);
        const Vector n = len == 0.0 ? Vector() : Vector(dX / len, dY / len, 2.0 / len);
        const Float cosine = n.x * direction.x + n.y * direction.y + n.z * direction.z;
        const Float tilt = cosine >= 1.0 ? 0.0 : (cosine <= -1.0 ? std::numbers::pi : std::acos(cosine));
        const Float sine = std::sin(tilt);
        const Float s = sine > MIN_TILT_SINE ? sine : MIN_TILT_SINE;
        capacity = speed * SEDIMENT_CAPACITY * s * depth;
      }
      const Float diff = capacity - c.sediment[i];
      // Neither above nor below capacity (NaN included): the cell is left as it is.
      if (!(diff > 0.0 || diff < 0.0))
      {
        c.scratch[i] = row[x];
        continue;
      }
      // Dissolve into the water below capacity, settle out of it (a < 0) above.
      const Float a = diff > 0.0 ? diff * DISSOLVING_RATE : diff * DEPOSITION_RATE;
      c.scratch[i] = row[x] - a;
      c.water[i] += a;
      c.sediment[i] += a;
    }
  });
  std::swap(state.heights->cells, state.scratch.cells);
}

void AdvectSediment(HydraulicErosionState& state, Float dt)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  const Grid2D<Float>& sediment = *state.sediment;
  // Sampling clamps the source point into the grid (NaN included), so a wild velocity reads a border
  // cell, never outside.
  ForRows(c.height, [&c, &sediment, dt](Int y) {
    for (Int x = 0; x < c.width; ++x)
    {
      const Int i = y * c.width + x;
      // Still water samples its own cell, where the blend reduces to the value plus 0 (which only turns
      // -0.0 into +0.0) as long as it is finite: most of a grid is dry, and this skips its sampling.
      if (c.vx[i] == 0.0 && c.vy[i] == 0.0 && std::isfinite(c.sediment[i]))
      {
        c.scratch[i] = c.sediment[i] + 0.0;
        continue;
      }
      const Float sx = static_cast<Float>(x) - dt * c.vx[i];
      const Float sy = static_cast<Float>(y) - dt * c.vy[i];
      c.scratch[i] = sediment.Sample(sx, sy, SAMPLEINTERPOLATION::BILINEAR);
    }
  });
  std::swap(state.sediment->cells, state.scratch.cells);
}

void EvaporateWater(HydraulicErosionState& state, Float dt)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  const Float keep = 1.0 - EVAPORATION_RATE * dt;
  ForRows(c.height, [&c, keep](Int y) {
    Float* w = c.water + y * c.width;
    for (Int x = 0; x < c.width; ++x)
    {
      const Float v = AtLeastZero(keep * w[x]);
      w[x] = v < MIN_WATER_DEPTH ? 0.0 : v;
    }
  });
}

void SmoothHeightSpikes(HydraulicErosionState& state)
{
  Cells c;
  if (!Cells::Get(state, c))
    return;
  ForRows(c.height, [&c](Int y) {
    const Float* row = c.h + y * c.width;
    const Float* rowUp = c.h + std::max<Int>(y - 1, 0) * c.width;
    const Float* rowDown = c.h + std::min<Int>(y + 1, c.height - 1) * c.width;
    Float* out = c.scratch + y * c.width;
    for (Int x = 0; x < c.width; ++x)
    {
      const Float h = row[x];
      const Float l = row[std::max<Int>(x - 1, 0)];
      const Float r = row[std::min<Int>(x + 1, c.width - 1)];
      const Float u = rowUp[x];
      const Float d = rowDown[x];
      // A spike stands out on both sides along a row or along a column.
      const Bool alongRow =
        (std::abs(h - l) > SPIKE_TOLERANCE || std::abs(h - r) > SPIKE_TOLERANCE) && (h - r) * (h - l) > 0.0;
      const Bool alongColumn =
        (std::abs(h - d) > SPIKE_TOLERANCE || std::abs(h - u) > SPIKE_TOLERANCE) && (h - u) * (h - d) > 0.0;
      out[x] = alongRow || alongColumn ? ((((l + h) + r) + d) + u) / SPIKE_MEAN_DIVISOR : h;
    }
  });
}

void TakeScratchHeights(HydraulicErosionState& state)
{
  Grid2D<Float>& heights = *state.heights;
  const Grid2D<Float>& scratch = state.scratch;
  // An exchange of equal-size storage: nothing to allocate, so nothing that can fail.
  if (scratch.cells.GetCount() != heights.cells.GetCount())
    return;
  std::swap(heights.cells, state.scratch.cells);
  heights.width = scratch.width;
  heights.height = scratch.height;
  heights.cellCount = scratch.cellCount;
  heights.sizeX = scratch.sizeX;
  heights.sizeY = scratch.sizeY;
  heights.min = scratch.min;
  heights.max = scratch.max;
  heights.minMaxValid = scratch.minMaxValid;
}
