#include "orogenix/erosion_thermal.h"

#include <algorithm>
#include <iterator>
#include <type_traits>
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

  Bool Inside(Int x, Int y) const { return x >= 0 && x < width && y >= 0 && y < height; }
};

// The rows above, at and below row y of a grid's cells; the outer ones are clamped to the grid, so they
// are only read where the neighbour exists (or where a clamped neighbour is meant).
template <typename T>
struct Rows
{
  T* up;
  T* row;
  T* down;

  Rows(T* cells, Int width, Int height, Int y)
    : up(cells + std::max<Int>(y - 1, 0) * width), row(cells + y * width),
      down(cells + std::min<Int>(y + 1, height - 1) * width)
  {
  }
  T* operator[](Int dy) const { return dy < 0 ? up : (dy > 0 ? down : row); }
};

template <Bool EIGHT>
constexpr auto& Neighbours()
{
  if constexpr (EIGHT)
    return EIGHT_NEIGHBOURS;
  else
    return FOUR_NEIGHBOURS;
}

// The block offsets a neighbourhood covers, row-major: diagonals only with eight neighbours.
template <Bool EIGHT>
constexpr Bool InBlock(Int dx, Int dy)
{
  return EIGHT || dx == 0 || dy == 0;
}

template <Int V>
using Constant = std::integral_constant<Int, V>;

// Calls f(dx, dy) for the neighbours in their order, and for the positions of the 3 x 3 block in
// row-major order, each offset a compile-time constant: the kernels come out as straight-line code
// that the compiler can vectorise over the cells of a row.
template <Bool EIGHT, typename F, std::size_t... I>
[[gnu::always_inline]] inline void ForNeighboursImpl(F& f, std::index_sequence<I...>)
{
  (f(Constant<Neighbours<EIGHT>()[I].dx>{}, Constant<Neighbours<EIGHT>()[I].dy>{}), ...);
}
template <Bool EIGHT, typename F>
[[gnu::always_inline]] inline void ForNeighbours(F&& f)
{
  ForNeighboursImpl<EIGHT>(f, std::make_index_sequence<std::size(Neighbours<EIGHT>())>{});
}
template <typename F, std::size_t... I>
[[gnu::always_inline]] inline void ForBlockImpl(F& f, std::index_sequence<I...>)
{
  (f(Constant<Int(I % 3) - 1>{}, Constant<Int(I / 3) - 1>{}), ...);
}
template <typename F>
[[gnu::always_inline]] inline void ForBlock(F&& f)
{
  ForBlockImpl(f, std::make_index_sequence<9>{});
}

// f(dx, dy) for the neighbours of cell (x, y) in their order, skipping those outside the grid (which only
// the CHECKED form, for cells on the outer ring, has to look for).
template <Bool EIGHT, Bool CHECKED, typename F>
[[gnu::always_inline]] inline void ForNeighboursInside(const TransferPass& p, Int x, Int y, F&& f)
{
  ForNeighbours<EIGHT>([&](auto dx, auto dy) __attribute__((always_inline)) {
    if constexpr (CHECKED)
      if (!p.Inside(x + dx, y + dy))
        return;
    f(dx, dy);
  });
}

// The 3 x 3 block of cell (x, y) in row-major order: neighbour(dx, dy) for each neighbour inside the
// grid, self() at the centre.
template <Bool EIGHT, Bool CHECKED, typename F, typename Self>
[[gnu::always_inline]] inline void ForBlockInside(const TransferPass& p, Int x, Int y, F&& neighbour, Self&& self)
{
  ForBlock([&](auto dx, auto dy) __attribute__((always_inline)) {
    if constexpr (dx == 0 && dy == 0)
      self();
    else if constexpr (InBlock<EIGHT>(dx, dy))
    {
      if constexpr (CHECKED)
        if (!p.Inside(x + dx, y + dy))
          return;
      neighbour(dx, dy);
    }
  });
}

// Runs cell(x) over a row whose cells only the first and last columns have to check: the bounds-checked
// form there, the plain one (which the compiler vectorises) between them.
template <typename Cell>
void ForColumnCells(Int width, Cell& cell)
{
  if (width < 3)
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

// Runs cell(x) over row y: on the first and last rows every neighbour above or below can lie outside the
// grid, so every cell is checked there.
template <typename Cell>
void ForRowCells(Int y, Int width, Int height, Cell& cell)
{
  if (y == 0 || y == height - 1)
  {
    for (Int x = 0; x < width; ++x)
      cell.template operator()<true>(x);
    return;
  }
  ForColumnCells(width, cell);
}

// Runs rowBody(y) for every row on all threads (the passes have no break test of their own).
template <typename RowBody>
Result<void> ForRows(Int height, RowBody&& rowBody)
{
  return ParallelFor(0, height, rowBody, OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
}

// The kernels below add and subtract through selects of computed values rather than branches (whether a
// difference exceeds the talus is as good as random on rough ground), which the compiler turns into
// vector code for the interior. Adding -0.0 and subtracting +0.0 leave every value as it is, the sign of
// a zero included, so selecting them is the same as skipping the step.
constexpr Float ADD_NOTHING = -0.0;
constexpr Float SUBTRACT_NOTHING = 0.0;

// Steepest, first pass: where the cell sends its material.
template <Bool EIGHT>
Result<void> RecordLowest(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    const Rows<const Float> h(p.heights, p.width, p.height, y);
    UChar* lowest = p.lowest + y * p.width;
    const Float talus = p.talus;
    auto cell = [&, y]<Bool CHECKED>(Int x) __attribute__((always_inline)) {
      Bool found = false;
      Int code = NO_TARGET;
      Float lowestHeight = 0.0;
      ForNeighboursInside<EIGHT, CHECKED>(p, x, y, [&](auto dx, auto dy) __attribute__((always_inline)) {
        const Float hn = h[dy][x + dx];
        // Strictly lower only: among equals the earlier neighbour keeps the material.
        const Bool lower = !found || hn < lowestHeight;
        lowestHeight = lower ? hn : lowestHeight;
        code = lower ? BlockCode(dx, dy) : code;
        found = true;
      });
      lowest[x] = static_cast<UChar>(found && h.row[x] - lowestHeight > talus ? code : Int(NO_TARGET));
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
    const Rows<const Float> h(p.heights, p.width, p.height, y);
    const Rows<const UChar> lowest(p.lowest, p.width, p.height, y);
    Float* target = p.target + y * p.width;
    const Float removal = p.removal;
    const Float deposit = p.deposit;
    auto cell = [&, y]<Bool CHECKED>(Int x) __attribute__((always_inline)) {
      const Float centre = h.row[x];
      Float t = centre;
      ForBlockInside<EIGHT, CHECKED>(
        p, x, y,
        [&](auto dx, auto dy) __attribute__((always_inline)) {
          const Float a = (h[dy][x + dx] - centre) * removal;
          const Float received = a * deposit;
          t += lowest[dy][x + dx] == BlockCode(-dx, -dy) ? received : ADD_NOTHING;
        },
        [&]() __attribute__((always_inline)) {
          // The height of the neighbour the cell chose, picked without indexing by the choice.
          const Int code = lowest.row[x];
          Float chosen = centre;
          ForNeighboursInside<EIGHT, CHECKED>(p, x, y, [&](auto dx, auto dy) __attribute__((always_inline)) {
            chosen = code == BlockCode(dx, dy) ? h[dy][x + dx] : chosen;
          });
          const Float a = (centre - chosen) * removal;
          t -= code != NO_TARGET ? a : SUBTRACT_NOTHING;
        });
      target[x] = t;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// Distributed, first pass: the two factors of the cell's amounts.
template <Bool EIGHT>
Result<void> RecordSpread(const TransferPass& p)
{
  return ForRows(p.height, [&p](Int y) {
    const Rows<const Float> h(p.heights, p.width, p.height, y);
    Float* spread = p.spread + y * p.width;
    Float* inverse = p.inverse + y * p.width;
    const Float talus = p.talus;
    auto cell = [&, y]<Bool CHECKED>(Int x) __attribute__((always_inline)) {
      const Float centre = h.row[x];
      Float sum = 0.0;
      Float dmax = 0.0;
      ForNeighboursInside<EIGHT, CHECKED>(p, x, y, [&](auto dx, auto dy) __attribute__((always_inline)) {
        const Float d = centre - h[dy][x + dx];
        // A difference that does not move counts as +0.0: the sum starts at +0.0 and so never holds -0.0,
        // which adding +0.0 leaves as it is, and dmax starts at 0 and never falls below it.
        const Float moving = d > talus ? d : 0.0;
        sum += moving;
        dmax = moving > dmax ? moving : dmax;
      });
      spread[x] = dmax - talus;
      const Float reciprocal = 1.0 / sum;
      inverse[x] = sum == 0.0 ? 0.0 : reciprocal;
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
    const Rows<const Float> h(p.heights, p.width, p.height, y);
    const Rows<const Float> spread(p.spread, p.width, p.height, y);
    const Rows<const Float> inverse(p.inverse, p.width, p.height, y);
    Float* target = p.target + y * p.width;
    const Float talus = p.talus;
    const Float removal = p.removal;
    const Float deposit = p.deposit;
    auto cell = [&, y]<Bool CHECKED>(Int x) __attribute__((always_inline)) {
      const Float centre = h.row[x];
      Float t = centre;
      ForBlockInside<EIGHT, CHECKED>(
        p, x, y,
        [&](auto dx, auto dy) __attribute__((always_inline)) {
          const Float d = h[dy][x + dx] - centre;
          const Float received = spread[dy][x + dx] * d * inverse[dy][x + dx] * deposit;
          t += d > talus ? received : ADD_NOTHING;
        },
        [&]() __attribute__((always_inline)) {
          const Float ownSpread = spread.row[x];
          const Float ownInverse = inverse.row[x];
          ForNeighboursInside<EIGHT, CHECKED>(p, x, y, [&](auto dx, auto dy) __attribute__((always_inline)) {
            const Float d = centre - h[dy][x + dx];
            const Float removed = ownSpread * d * ownInverse * removal;
            t -= d > talus ? removed : SUBTRACT_NOTHING;
          });
        });
      target[x] = t;
    };
    ForRowCells(y, p.width, p.height, cell);
  });
}

// target gets grid's shape. Every pass writes all cells of its output, so the cells are neither cleared
// nor, when the shape is already right, reallocated.
Result<void> ShapeTarget(const Grid2D<Float>& grid, Grid2D<Float>& target)
{
  // A pass reads its whole input while it writes its output.
  if (&grid == &target)
    return IllegalArgumentError("Cannot erode a grid into itself!");
  if (target.width != grid.width || target.height != grid.height || target.cellCount != grid.cellCount)
    return target.InitLikeForOverwrite(grid);
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
  HOST_TRY(ShapeTarget(grid, target));
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
  HOST_TRY(ShapeTarget(grid, target));
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
  if (&smoothed == &heights)
    return IllegalArgumentError("Cannot erode a grid into itself!");
  if (smoothed.width != heights.width || smoothed.height != heights.height ||
      smoothed.cellCount != heights.cellCount)
    return IllegalArgumentError("Cannot smooth into a grid of another size!");
  const Float* cells = heights.cells.GetFirst();
  Float* out = smoothed.cells.GetFirst();
  const Int width = heights.width;
  const Int height = heights.height;
  return ForRows(height, [=](Int y) {
    // The clamped rows are the clamped neighbours above and below.
    const Rows<const Float> t(cells, width, height, y);
    Float* row = out + y * width;
    auto cell = [&]<Bool CHECKED>(Int x) {
      const Float left = CHECKED ? t.row[std::max<Int>(x - 1, 0)] : t.row[x - 1];
      const Float right = CHECKED ? t.row[std::min<Int>(x + 1, width - 1)] : t.row[x + 1];
      row[x] = (left + t.row[x] + right + t.down[x] + t.up[x]) * SMOOTH_WEIGHT;
    };
    // Only the first and last columns clamp: the clamped rows already stand for the missing ones.
    ForColumnCells(width, cell);
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
  ThermalOutflow outflow;
  for (Int32 i = 0; i < settings.iterations; ++i)
  {
    if (OGX::LoopBreakRequested(i, THERMAL_BREAKMASK, thread))
      return OGX::LoopCancelledError(THERMAL_LOOP_NAME);
    StatusSetText(status.Format(i, settings.iterations));
    StatusSetBar(static_cast<Int32>(static_cast<Float>(i) / static_cast<Float>(settings.iterations) * 100.0));

    if (distributed)
      HOST_TRY(ThermalTransferA(grid, target, settings, eight, outflow));
    else
      HOST_TRY(ThermalTransferB(grid, target, settings, eight, outflow));
    // The grid takes the new cells and keeps its header, the target's being a copy of it. The smoothing
    // writes straight into the grid, whose heights the iteration no longer needs, so it needs no grid of
    // its own (and cannot be skipped for want of one).
    if (distributed && settings.smooth)
      HOST_TRY(SmoothHeightsFivePoint(target, grid));
    else
      std::swap(grid.cells, target.cells);
  }
  return OK;
}
