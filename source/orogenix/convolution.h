// Convolution kernels, and the filtering of height fields with them.
//
// A two-dimensional kernel is a square table of weights (row ky, column kx at ky * size + kx) that
// ConvolveGrid applies as a correlation: taps are not flipped, which changes nothing for the symmetric
// presets. It writes a destination grid row by row on all threads from a separate source grid; a tap
// that falls outside the source is resolved by an OUTOFBOUNDSMODE, and whatever the mode and the half
// widths no read ever leaves the source's cells. The taps of a cell are summed in one fixed order (ky,
// then kx), many cells at once in vector lanes: in the interior the source rows are read directly, near
// the left and right edges from a small buffer of the resolved values (for kernels hundreds of cells
// wide, each tap resolved on its own). The result depends neither on the path nor on the thread count.
//
// The separable filters of the blur and sharpen operators (a box, a sharpen ramp) run through
// SeparableFilter: a vertical and a horizontal one-dimensional pass that clamp at the borders.
#pragma once

#include <source_location>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/thread.h"
#include "host/core/types.h"
#include "orogenix/enums.h"
#include "orogenix/grid2d.h"

namespace OGX::Convolution
{
class BaseKernel
{
public:
  // size x size weights for a two-dimensional kernel; the sharpen ramp keeps only its half kernel.
  BaseArray<Float> weights;
  // Width of the kernel (odd for every preset).
  UInt32 size = 0;

  BaseKernel() = default;
  virtual ~BaseKernel() = default;
  BaseKernel(const BaseKernel&) = delete;
  BaseKernel& operator=(const BaseKernel&) = delete;

  // Fills size and weights. `argument` is the radius of the Gaussian kernels and the width of the
  // sharpen ramp, `extra` the ramp's two ends; kernels that need neither ignore them.
  virtual Result<void> InitKernel(UInt32 argument, const Float* extra) = 0;
  // What InitConvolutionKernel does before InitKernel: size x size zeroed weights and the size, or an
  // out-of-memory error where that square cannot be had. A kernel that holds fewer weights shapes itself
  // so that the square is never allocated.
  virtual Result<void> ShapeForSize(UInt32 size);
};

namespace PresetKernels
{
// [1 2 1; 2 4 2; 1 2 1] / 16.
class GaussBlur3x3 final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 = 0, const Float* = nullptr) override;
};

// The outer product of [1 4 6 4 1] with itself, / 256.
class GaussBlur5x5 final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 = 0, const Float* = nullptr) override;
};

// A sampled Gaussian of width 2r + 1 and sigma r / 2, normalised to a sum of 1. Radius 0 is the single
// weight 1 (the identity), where sigma 0 would leave the samples undefined.
class GaussBlur final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 radius, const Float* = nullptr) override;
};

// [0 -1 0; -1 5 -1; 0 -1 0].
class Sharpen3x3 final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 = 0, const Float* = nullptr) override;
};

// Minus the 5 x 5 binomial / 256, with the centre at 476 / 256 (2 - 36 / 256).
class UnsharpMask5x5 final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 = 0, const Float* = nullptr) override;
};

// Twice the unit impulse minus the normalised Gaussian of radius r, built from the same samples as
// GaussBlur and normalised the same way (radius 0: the single weight 1).
class UnsharpMask final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 radius, const Float* = nullptr) override;
};
} // namespace PresetKernels

// Makes `kernel` size wide with size x size weights (new ones 0.0) and then lets it initialise itself
// with (size, extra). Size 0 is refused with "Can't initialize kernel with size 0!" before the kernel is
// touched; a weight count that does not fit in memory is refused as out of memory.
Result<void> InitConvolutionKernel(BaseKernel& kernel, UInt32 size, const Float* extra = nullptr);

// One run of ConvolveGrid: the destination cell (x, y) becomes the sum over ky, kx < kernelSize of
// weight[ky * kernelSize + kx] x source(y + ky - halfWidthY, x + kx - halfWidthX), the source index
// resolved by `mode` on each axis. The operators centre the kernel: both half widths size >> 1.
struct ConvolutionJob
{
  const Grid2D<Float>* source = nullptr;   // read only; must not be the destination
  Grid2D<Float>* destination = nullptr;    // written, rows 0 .. rows - 1, columns 0 .. width - 1
  const BaseKernel* kernel = nullptr;
  UInt32 kernelSize = 0;
  Int width = 0;
  UInt32 halfWidthX = 0;
  UInt32 halfWidthY = 0;
  OUTOFBOUNDSMODE mode = OUTOFBOUNDSMODE::MIRROR;
};

// Source indices of the taps outside an axis of n cells (i the raw index), each mode bringing every
// index into 0 .. n - 1:
//   CLAMP   the nearest end.
//   TILE    the remainder wrapped into 0 .. n - 1, for negative indices too.
//   MIRROR  -i below 0 (the edge cell is not repeated: -1 reads 1) and 2n - i - 1 past the end (the edge
//           cell is repeated: n reads n - 1). Deliberately asymmetric. A half width of n or more reflects
//           past the other end; such indices are clamped once reflected.
//   NONE    the tap reads 0.0 (so do values outside the enumeration).
// -1 for a NONE tap outside the axis; n must be above 0.
Int ResolveTapIndex(Int i, Int n, OUTOFBOUNDSMODE mode);

// Convolves rows 0 .. rows - 1 on all threads (one loop index per row, granularity 16; no break test:
// a convolution is never cancelled). Refuses a job whose grids or kernel are missing, whose source is
// its destination, whose kernel has fewer than kernelSize x kernelSize weights, whose rows or width
// exceed the destination, or that has taps to read from an empty source. The destination's min/max are
// left as they are.
Result<void> ConvolveGrid(const ConvolutionJob& job, Int rows);

// Computes destination row y alone (the same checks as ConvolveGrid).
Result<void> ConvolveRows(const ConvolutionJob& job, Int y);

// The blur and sharpen operators' use of a two-dimensional kernel. `initialised` is the result of the
// kernel's initialisation: when it failed, output becomes a copy of input and that error is returned.
// Otherwise output takes input's shape with min/max reset, and every cell is convolved from input with
// the kernel centred on it (both half widths size >> 1) under MIRROR.
Result<void> ConvolveMirrored(const Grid2D<Float>& input, Grid2D<Float>& output, const BaseKernel& kernel,
                              const Result<void>& initialised);

// A symmetric one-dimensional kernel of 2 half + 1 taps: tap k (-half .. half) weighs ramp[|k|] when a
// ramp (half + 1 values) is given, otherwise `uniform`; each pass multiplies its sums by `factor`. A
// negative half has no taps and gives 0.
struct SeparableKernel
{
  Int half = 0;
  const Float* ramp = nullptr;
  Float uniform = 0.0;
  Float factor = 1.0;
};

// Filters source into destination with two passes that clamp at the borders: a vertical pass,
// middle(x, y) = factor x the sum over k = -half .. half of weight(k) x source(x, clamp(y + k)), then,
// only when that pass ended without error, a horizontal pass, destination(x, y) = factor x the sum of
// weight(k) x middle(clamp(x + k), y). Destination first takes source's shape and min/max (its cells are
// kept when it has as many); the two may be one grid. Each pass runs over the rows, on the calling
// thread up to 500 rows and on all threads above; with a thread given, rows whose index AND 999 is
// non-zero first test it for a break, which ends the pass with "<pass name> cancelled!" located at the
// caller. No pass clears memory: every cell is written before it is read.
//
// Between two grids the destination holds the middle result, so a cancelled pass leaves it part
// filtered; in place the middle result is a temporary grid, and a cancelled vertical pass leaves the
// grid as it was.
Result<void> SeparableFilter(const Grid2D<Float>& source, Grid2D<Float>& destination, const SeparableKernel& kernel,
                             const HostThread* thread, const char* verticalPassName, const char* horizontalPassName,
                             std::source_location location = std::source_location::current());
namespace detail
{
// The vector widths the row loops are built for, in doubles per vector. The widest the processor offers
// is used; every width gives the same bits.
enum class VECTORWIDTH : Int32
{
  SSE2 = 2,
  AVX2 = 4,
  AVX512 = 8,
};
VECTORWIDTH GetVectorWidth();
// Uses the widest width up to `width` the processor offers from now on (tests run every width with it;
// passing AVX512 restores the default). Not for use while a convolution runs. Returns the width in use.
VECTORWIDTH LimitVectorWidth(VECTORWIDTH width);
} // namespace detail
} // namespace OGX::Convolution

namespace VeridoVivuzar
{
// The half of a symmetric one-dimensional sharpen kernel: (size >> 1) + 1 weights falling linearly from
// ends[0] (the centre tap, w[0]) to ends[1] (the outermost, w[n - 1]); tap k of the full kernel uses
// w[|k|]. `size` keeps the width InitConvolutionKernel set. A ramp of one weight (size 1) is the single
// weight 1, the identity, where the ramp's formula would divide 0 by 0.
class SharpenKernel final : public OGX::Convolution::BaseKernel
{
public:
  // Fails with "Data pointer must not be NULL!" without ends.
  Result<void> InitKernel(UInt32 size, const Float* ends) override;
  // Only the size: InitKernel makes the half kernel, and zeroing size x size weights first would cost
  // 12.8 GB at a size of 40000. A size whose square could not even be addressed is still refused.
  Result<void> ShapeForSize(UInt32 size) override;
};
} // namespace VeridoVivuzar
