#include "orogenix/erosion_thermal.h"

#include <algorithm>
#include <utility>

#include "host/core/log.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int32 IDS_THERMAL_STATUS = 10083;
constexpr const char* THERMAL_LOOP_NAME = "Thermal Weathering";
// Deliberately a bit mask: the run looks for a break before iterations 2, 3, 6, 7, 10, 11, ...
constexpr Int THERMAL_BREAKMASK = 2;

constexpr Int32 MODE_STEEPEST_EIGHT = 1;
constexpr Int32 MODE_DISTRIBUTED_EIGHT = 3;
constexpr Int32 MODE_DISTRIBUTED_FOUR = 4;

constexpr Float SMOOTH_WEIGHT = 0.2;

struct Offset
{
  Int dx;
  Int dy;
};
// The neighbour orders the transfers walk (and that decide ties and the order of a cell's removals).
constexpr Offset FOUR_NEIGHBOURS[] = {{0, -1}, {1, 0}, {0, 1}, {-1, 0}};
constexpr Offset EIGHT_NEIGHBOURS[] = {{0, -1}, {1, -1}, {-1, -1}, {0, 1}, {1, 1}, {-1, 1}, {-1, 0}, {1, 0}};

// A neighbour's position in the 3 x 3 block around a cell, row-major; the centre (4) is the cell itself.
constexpr UChar BlockCode(Int dx, Int dy)
{
  return static_cast<UChar>((dy + 1) * 3 + (dx + 1));
}
constexpr UChar NO_TARGET = 0xFF;

// What both passes of one iteration read and write.
struct TransferPass
{
  const Float* heights = nullptr;
  Float* target = nullptr;
  Int width = 0;
  Int height = 0;
  Float talus = 0.0;
  Float removal = 0.0;
  Float deposit = 0.0;
  UChar* lowest = nullptr;
  Float* spread = nullptr;
  Float* inverse = nullptr;

  template <Bool CHECKED>
  Bool Inside(Int x, Int y) const
  {
    if constexpr (CHECKED)
      return x >= 0 && x < width && y >= 0 && y < height;
    else
      return true;
  }
  Float At(Int x, Int y) const { return heights[y * width + x]; }
};

template <Bool EIGHT>
constexpr auto& Neighbours()
{
  if constexpr (EIGHT)
    return EIGHT_NEIGHBOURS;
  else
    return FOUR_NEIGHBOURS;
}

// Runs cell(x) over row y, with the bounds-checked form only where a neighbour can lie outside the grid.
template <typename Cell>
void ForRowCells(Int y, Int width, Int height, Cell& cell)
{
  if (y == 0 || y == height - 1 || width < 3)
  {
    for (Int x = 0; x < width; ++x)
      cell.template operator()<true>(x);
    return;
  }
  cell.template operator()<true>(0);
  for (Int x = 1; x < width - 1; ++x)
    cell.template operator()<false>(x);
  cell.template operator()<true>(width - 1);
}

// Runs rowBody(y) for every row on all threads (the passes have no break test of their own).
template <typename RowBody>
Result<void> ForRows(Int height, RowBody&& rowBody)
{
  return ParallelFor(0, height, rowBody, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
}

// Steepest, first pass: where the cell sends its material.
template <Bool EIGHT>
Result<void> RecordLowest(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    auto cell = [&p, y]<Bool CHECKED>(Int x) {
      const Float h = p.At(x, y);
      Int best = -1;
      Float lowestHeight = 0.0;
      Int k = 0;
      for (const Offset& o : Neighbours<EIGHT>())
      {
        const Int nx = x + o.dx;
        const Int ny = y + o.dy;
        if (p.Inside<CHECKED>(nx, ny))
        {
          const Float hn = p.At(nx, ny);
          // Strictly lower only: among equals the earlier neighbour keeps the material.
          if (best < 0 || hn < lowestHeight)
          {
            best = k;
            lowestHeight = hn;
          }
        }
        ++k;
      }
      UChar code = NO_TARGET;
      if (best >= 0 && h - lowestHeight > p.talus)
      {
        const Offset& o = Neighbours<EIGHT>()[best];
        code = BlockCode(o.dx, o.dy);
      }
      p.lowest[y * p.width + x] = code;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// Steepest, second pass: every target cell from its own removal and the deposits of the neighbours that
// chose it, in row-major order of the block. The differences are recomputed from the same operands the
// first pass used, so they are the same values.
template <Bool EIGHT>
Result<void> GatherSteepest(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    auto cell = [&p, y]<Bool CHECKED>(Int x) {
      const Float h = p.At(x, y);
      Float t = h;
      for (Int dy = -1; dy <= 1; ++dy)
        for (Int dx = -1; dx <= 1; ++dx)
        {
          if (!EIGHT && dx != 0 && dy != 0)
            continue;
          if (dx == 0 && dy == 0)
          {
            const UChar code = p.lowest[y * p.width + x];
            if (code != NO_TARGET)
            {
              const Float d = h - p.At(x + code % 3 - 1, y + code / 3 - 1);
              t -= d * p.removal;
            }
            continue;
          }
          const Int nx = x + dx;
          const Int ny = y + dy;
          if (!p.Inside<CHECKED>(nx, ny) || p.lowest[ny * p.width + nx] != BlockCode(-dx, -dy))
            continue;
          const Float a = (p.At(nx, ny) - h) * p.removal;
          t += a * p.deposit;
        }
      p.target[y * p.width + x] = t;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// Distributed, first pass: the two factors of the cell's amounts.
template <Bool EIGHT>
Result<void> RecordSpread(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    auto cell = [&p, y]<Bool CHECKED>(Int x) {
      const Float h = p.At(x, y);
      Float sum = 0.0;
      Float dmax = 0.0;
      for (const Offset& o : Neighbours<EIGHT>())
      {
        const Int nx = x + o.dx;
        const Int ny = y + o.dy;
        if (!p.Inside<CHECKED>(nx, ny))
          continue;
        const Float d = h - p.At(nx, ny);
        if (d > p.talus)
        {
          sum += d;
          dmax = d > dmax ? d : dmax;
        }
      }
      const Int i = y * p.width + x;
      p.spread[i] = dmax - p.talus;
      p.inverse[i] = sum == 0.0 ? 0.0 : 1.0 / sum;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// Distributed, second pass: the cell's own removals in its neighbour order at the centre of the block,
// each neighbour's deposit at its place in the block.
template <Bool EIGHT>
Result<void> GatherSpread(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    auto cell = [&p, y]<Bool CHECKED>(Int x) {
      const Float h = p.At(x, y);
      Float t = h;
      for (Int dy = -1; dy <= 1; ++dy)
        for (Int dx = -1; dx <= 1; ++dx)
        {
          if (!EIGHT && dx != 0 && dy != 0)
            continue;
          if (dx == 0 && dy == 0)
          {
            const Int i = y * p.width + x;
            for (const Offset& o : Neighbours<EIGHT>())
            {
              const Int nx = x + o.dx;
              const Int ny = y + o.dy;
              if (!p.Inside<CHECKED>(nx, ny))
                continue;
              const Float d = h - p.At(nx, ny);
              if (d > p.talus)
                t -= p.spread[i] * d * p.inverse[i] * p.removal;
            }
            continue;
          }
          const Int nx = x + dx;
          const Int ny = y + dy;
          if (!p.Inside<CHECKED>(nx, ny))
            continue;
          const Float d = p.At(nx, ny) - h;
          if (d > p.talus)
          {
            const Int k = ny * p.width + nx;
            t += p.spread[k] * d * p.inverse[k] * p.deposit;
          }
        }
      p.target[y * p.width + x] = t;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// grid gets model's shape. Every pass writes all cells of its output, so a grid that has the shape
// already is reused as it is, cells and all.
Result<void> ShapeLike(const Grid2D<Float>& model, Grid2D<Float>& grid)
{
  if (grid.width != model.width || grid.height != model.height || grid.cellCount != model.cellCount)
    return grid.InitLike(model);
  return OK;
}

template <typename T>
Result<void> ShapeRecords(BaseArray<T>& records, Int count)
{
  if (records.GetCount() == count)
    return OK;
  records.Reset();
  return records.ResizeDefault(count);
}

TransferPass MakePass(const Grid2D<Float>& grid, Grid2D<Float>& target, const ThermalSettings& settings)
{
  TransferPass p;
  p.heights = grid.cells.GetFirst();
  p.target = target.cells.GetFirst();
  p.width = grid.width;
  p.height = grid.height;
  p.talus = settings.talus;
  p.removal = settings.removal;
  p.deposit = settings.deposit;
  return p;
}
} // namespace

Result<void> ThermalTransferB(const Grid2D<Float>& grid, Grid2D<Float>& target, const ThermalSettings& settings,
                              Bool eight, ThermalOutflow& outflow)
{
  HOST_TRY(ShapeLike(grid, target));
  HOST_TRY(ShapeRecords(outflow.lowest, grid.cellCount));
  TransferPass p = MakePass(grid, target, settings);
  p.lowest = outflow.lowest.GetFirst();
  if (eight)
  {
    HOST_TRY(RecordLowest<true>(p));
    return GatherSteepest<true>(p);
  }
  HOST_TRY(RecordLowest<false>(p));
  return GatherSteepest<false>(p);
}

Result<void> ThermalTransferA(const Grid2D<Float>& grid, Grid2D<Float>& target, const ThermalSettings& settings,
                              Bool eight, ThermalOutflow& outflow)
{
  HOST_TRY(ShapeLike(grid, target));
  HOST_TRY(ShapeRecords(outflow.spread, grid.cellCount));
  HOST_TRY(ShapeRecords(outflow.inverse, grid.cellCount));
  TransferPass p = MakePass(grid, target, settings);
  p.spread = outflow.spread.GetFirst();
  p.inverse = outflow.inverse.GetFirst();
  if (eight)
  {
    HOST_TRY(RecordSpread<true>(p));
    return GatherSpread<true>(p);
  }
  HOST_TRY(RecordSpread<false>(p));
  return GatherSpread<false>(p);
}

Result<void> SmoothHeightsFivePoint(const Grid2D<Float>& heights, Grid2D<Float>& smoothed)
{
  if (smoothed.width != heights.width || smoothed.height != heights.height ||
      smoothed.cellCount != heights.cellCount)
    return IllegalArgumentError("Cannot smooth into a grid of another size!");
  const Float* t = heights.cells.GetFirst();
  Float* out = smoothed.cells.GetFirst();
  const Int width = heights.width;
  const Int height = heights.height;
  return ForRows(height, [=](Int y) {
    const Float* row = t + y * width;
    const Float* down = t + std::min<Int>(y + 1, height - 1) * width;
    const Float* up = t + std::max<Int>(y - 1, 0) * width;
    for (Int x = 0; x < width; ++x)
    {
      const Float left = row[std::max<Int>(x - 1, 0)];
      const Float right = row[std::min<Int>(x + 1, width - 1)];
      out[y * width + x] = (left + row[x] + right + down[x] + up[x]) * SMOOTH_WEIGHT;
    }
  });
}

Result<void> ThermalWeathering(Grid2D<Float>& grid, const ThermalSettings& settings, const HostThread* thread)
{
  if (settings.iterations == 0)
    return IllegalStateError("Intensity and iterations must not be 0!");
  const Bool distributed = settings.mode == MODE_DISTRIBUTED_EIGHT || settings.mode == MODE_DISTRIBUTED_FOUR;
  const Bool eight = settings.mode == MODE_STEEPEST_EIGHT || settings.mode == MODE_DISTRIBUTED_EIGHT;
  const String status = GeLoadString(IDS_THERMAL_STATUS);

  // Allocated by the first iteration and reused by the others.
  Grid2D<Float> target;
  Grid2D<Float> smoothed;
  ThermalOutflow outflow;
  for (Int32 i = 0; i < settings.iterations; ++i)
  {
    if (OGX::LoopBreakRequested(i, THERMAL_BREAKMASK, thread))
      return OGX::LoopCancelledError(THERMAL_LOOP_NAME);
    StatusSetText(status.Format(i, settings.iterations));
    StatusSetBar(static_cast<Int32>(static_cast<Float>(i) / static_cast<Float>(settings.iterations) * 100.0));

    if (distributed)
    {
      HOST_TRY(ThermalTransferA(grid, target, settings, eight, outflow));
      // A smoothing grid that cannot be had only skips this iteration's smoothing.
      if (settings.smooth && ShapeLike(target, smoothed).IsOk())
      {
        HOST_TRY(SmoothHeightsFivePoint(target, smoothed));
        std::swap(target.cells, smoothed.cells);
      }
    }
    else
    {
      HOST_TRY(ThermalTransferB(grid, target, settings, eight, outflow));
    }
    // The grid takes the new cells; its header stays, the target's being a copy of it.
    std::swap(grid.cells, target.cells);
  }
  return OK;
}
