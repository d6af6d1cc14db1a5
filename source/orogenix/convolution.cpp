#include "orogenix/convolution.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "orogenix/ogx_parallel.h"

namespace OGX::Convolution
{
namespace
{
// The largest weight count an array can address.
constexpr UInt64 MAX_WEIGHTS = static_cast<UInt64>(std::numeric_limits<Int>::max()) / sizeof(Float);

// Shapes a kernel to width x width zeroed weights. The width is computed by the callers in 64 bits; a
// width that does not fit the kernel's size field, or whose square cannot be addressed, is refused as
// out of memory rather than wrapped into a small array.
Result<void> ShapeKernel(BaseKernel& kernel, UInt64 width)
{
  if (width > std::numeric_limits<UInt32>::max() || width * width > MAX_WEIGHTS)
    return OutOfMemoryError("Could not allocate kernel weights!");
  const Int count = static_cast<Int>(width * width);
  HOST_TRY(kernel.weights.Resize(count));
  if (kernel.weights.GetCount() < count)
    return OutOfMemoryError("Could not allocate kernel weights!");
  kernel.size = static_cast<UInt32>(width);
  return OK;
}

template <std::size_t N>
Result<void> SetTable(BaseKernel& kernel, UInt32 width, const std::array<Float, N>& table)
{
  HOST_TRY(ShapeKernel(kernel, width));
  std::copy(table.begin(), table.end(), kernel.weights.begin());
  return OK;
}

constexpr std::array<Float, 5> BINOMIAL5 = {1.0, 4.0, 6.0, 4.0, 1.0};

// The outer product of [1 4 6 4 1] with itself, over 256 (every weight exact), times sign.
constexpr std::array<Float, 25> Binomial5x5(Float sign)
{
  std::array<Float, 25> t{};
  for (std::size_t ky = 0; ky < 5; ++ky)
    for (std::size_t kx = 0; kx < 5; ++kx)
      t[ky * 5 + kx] = sign * BINOMIAL5[ky] * BINOMIAL5[kx] / 256.0;
  return t;
}

// Minus the binomial, plus twice the impulse: the centre 2 - 36 / 256 = 476 / 256.
constexpr std::array<Float, 25> UnsharpMask5x5Table()
{
  std::array<Float, 25> t = Binomial5x5(-1.0);
  t[12] = 476.0 / 256.0;
  return t;
}

// Sum of the weights in index order.
Float WeightSum(const BaseArray<Float>& w)
{
  Float sum = 0.0;
  for (const Float v : w)
    sum += v;
  return sum;
}

// Scales the weights to a sum of 1; a sum that is exactly 0 gives all-zero weights instead of a
// division by zero.
void Normalise(BaseArray<Float>& w, Float sum)
{
  const Float factor = sum == 0.0 ? 0.0 : 1.0 / sum;
  for (Float& v : w)
    v *= factor;
}

// The Gaussian samples of radius r (sigma r / 2) into a 2r + 1 wide kernel, not yet normalised; the
// two exponentials are kept apart, as a product, rather than merged into one. Radius 0 is the single
// weight 1.
Result<void> GaussianSamples(BaseKernel& kernel, UInt32 radius)
{
  const UInt64 width = 2 * static_cast<UInt64>(radius) + 1;
  HOST_TRY(ShapeKernel(kernel, width));
  if (radius == 0)
  {
    kernel.weights[0] = 1.0;
    return OK;
  }
  const Float r = static_cast<Float>(radius);
  const Float sigma = r * 0.5;
  const Int size = static_cast<Int>(width);
  Float* w = kernel.weights.GetFirst();
  for (Int ky = 0; ky < size; ++ky)
  {
    const Float dy = (static_cast<Float>(ky) - r) / sigma;
    const Float ey = std::exp(-0.5 * (dy * dy));
    for (Int kx = 0; kx < size; ++kx)
    {
      const Float dx = (static_cast<Float>(kx) - r) / sigma;
      w[ky * size + kx] = std::exp(-0.5 * (dx * dx)) * ey;
    }
  }
  return OK;
}

// ---------------------------------------------------------------------------------------------------
// Two-dimensional convolution

struct PreparedJob
{
  const Float* source = nullptr;
  Int sourceWidth = 0;
  Int sourceHeight = 0;
  Float* destination = nullptr;
  Int destinationWidth = 0;
  const Float* weights = nullptr;
  Int size = 0;
  Int halfX = 0;
  Int halfY = 0;
  Int width = 0;
  OUTOFBOUNDSMODE mode = OUTOFBOUNDSMODE::MIRROR;
  // The row a NONE tap outside the rows reads: sourceWidth zeros (null for the other modes).
  const Float* zeroRow = nullptr;
  // Columns [interiorBegin, interiorEnd) have every tap inside the source's columns; the cells left of
  // them and from rightBegin on are edge cells.
  Int interiorBegin = 0;
  Int interiorEnd = 0;
  Int rightBegin = 0;
  // Per thread, room for the resolved taps of one row's edge cells (size x (leftSpan + rightSpan)
  // values; null when that would take too much memory, and the edge cells then resolve every tap).
  Float* edges = nullptr;
  Int leftSpan = 0;
  Int rightSpan = 0;
};

// Above this many values per thread the edge cells resolve every tap instead of using buffers: only
// kernels hundreds of cells wide get there, and their interior dwarfs their edges.
constexpr Int MAX_EDGE_VALUES = Int(1) << 20;
// Kernels up to this many rows keep their rows' resolved starts on the stack while a row is computed.
constexpr Int ROWS_ON_STACK = 64;

Bool ReadsZeroOutside(OUTOFBOUNDSMODE mode)
{
  return mode != OUTOFBOUNDSMODE::CLAMP && mode != OUTOFBOUNDSMODE::TILE && mode != OUTOFBOUNDSMODE::MIRROR;
}

Result<void> CheckJob(const ConvolutionJob& job, Int rows)
{
  if (!job.source || !job.destination || !job.kernel)
    return NullptrError("Convolution job without source, destination or kernel!");
  if (job.source == job.destination)
    return IllegalArgumentError("Can't convolve a grid into itself!");
  const Grid2D<Float>& src = *job.source;
  const Grid2D<Float>& dst = *job.destination;
  const UInt64 taps = static_cast<UInt64>(job.kernelSize) * job.kernelSize;
  if (taps > static_cast<UInt64>(job.kernel->weights.GetCount()))
    return IllegalArgumentError("The kernel holds fewer weights than its size asks for!");
  if (rows < 0 || rows > dst.height || job.width < 0 || job.width > dst.width ||
      dst.cells.GetCount() < dst.width * dst.height)
    return IllegalArgumentError("The convolution exceeds its destination grid!");
  if (src.width < 0 || src.height < 0 || src.cells.GetCount() < src.width * src.height)
    return IllegalArgumentError("The convolution's source grid is inconsistent!");
  if (rows > 0 && job.width > 0 && taps > 0 && (src.width == 0 || src.height == 0))
    return IllegalArgumentError("Can't convolve an empty grid!");
  return OK;
}

// The job in the form the row loop reads; `zeros` receives the zero row when the mode needs one and
// `edges` the threads' edge buffers.
Result<PreparedJob> PrepareJob(const ConvolutionJob& job, BaseArray<Float>& zeros, BaseArray<Float>& edges)
{
  PreparedJob p;
  p.source = job.source->cells.GetFirst();
  p.sourceWidth = job.source->width;
  p.sourceHeight = job.source->height;
  p.destination = job.destination->cells.GetFirst();
  p.destinationWidth = job.destination->width;
  p.weights = job.kernel->weights.GetFirst();
  p.size = job.kernelSize;
  p.halfX = job.halfWidthX;
  p.halfY = job.halfWidthY;
  p.width = job.width;
  p.mode = job.mode;
  if (ReadsZeroOutside(job.mode))
  {
    HOST_TRY(zeros.Resize(p.sourceWidth));
    p.zeroRow = zeros.GetFirst();
  }
  // Cell x has all its columns inside when x - halfX >= 0 and x - halfX + size - 1 <= sourceWidth - 1.
  p.interiorBegin = std::min(p.halfX, p.width);
  p.interiorEnd = std::clamp<Int>(p.sourceWidth - p.size + 1 + p.halfX, p.interiorBegin, p.width);
  p.rightBegin = p.interiorEnd;
  // An edge cell's taps span size columns from its own; the cells of one edge together span their count
  // plus size - 1.
  const Int left = p.interiorBegin;
  const Int right = p.width - p.rightBegin;
  p.leftSpan = left > 0 ? left + p.size - 1 : 0;
  p.rightSpan = right > 0 ? right + p.size - 1 : 0;
  const Int perThread = p.size * (p.leftSpan + p.rightSpan);
  if (perThread > 0 && perThread <= MAX_EDGE_VALUES)
  {
    HOST_TRY(edges.ResizeDefault(perThread * GetCurrentThreadCount()));
    p.edges = edges.GetFirst();
  }
  return p;
}

inline const Float* TapRow(const PreparedJob& p, Int r)
{
  const Int i = ResolveTapIndex(r, p.sourceHeight, p.mode);
  return i < 0 ? p.zeroRow : p.source + i * p.sourceWidth;
}

// A cell near the left or right edge: every tap's column resolved on its own.
inline Float BorderCell(const PreparedJob& p, Int firstRow, Int x)
{
  Float sum = 0.0;
  const Int firstColumn = x - p.halfX;
  for (Int ky = 0; ky < p.size; ++ky)
  {
    const Float* row = TapRow(p, firstRow + ky);
    const Float* w = p.weights + ky * p.size;
    for (Int kx = 0; kx < p.size; ++kx)
    {
      const Int c = ResolveTapIndex(firstColumn + kx, p.sourceWidth, p.mode);
      sum += w[kx] * (c < 0 ? 0.0 : row[c]);
    }
  }
  return sum;
}

inline Float TapWeight(const SeparableKernel& k, Int tap)
{
  return k.ramp ? k.ramp[tap < 0 ? -tap : tap] : k.uniform;
}

// A cell of the horizontal pass whose taps reach past the row's ends.
inline Float HorizontalBorderCell(const Float* row, Int width, const SeparableKernel& k, Int x)
{
  Float sum = 0.0;
  for (Int t = -k.half; t <= k.half; ++t)
    sum += TapWeight(k, t) * row[std::clamp<Int>(x + t, 0, width - 1)];
  return k.factor * sum;
}

// ---------------------------------------------------------------------------------------------------
// Many cells at once
//
// The row loops sum the taps of neighbouring cells side by side in vector lanes. Each lane is one cell
// and receives that cell's products one at a time, in tap order, starting from 0.0, exactly as the
// per-cell loops above do (the file is built without floating-point contraction, so a product and its
// sum are rounded apart as there). The row loops are compiled for three vector widths, and the widest
// the processor offers is used; all give the same bits.

using Vec2 = Float __attribute__((vector_size(16)));
using Vec4 = Float __attribute__((vector_size(32)));
using Vec8 = Float __attribute__((vector_size(64)));

template <typename V>
constexpr Int LANES = static_cast<Int>(sizeof(V) / sizeof(Float));

// N vectors of partial sums for N x LANES neighbouring cells.
template <typename V, Int N>
struct Sums
{
  V lane[N];

  [[gnu::always_inline]] Sums()
  {
    // +0.0 in every lane, as a per-cell sum starts.
    for (Int n = 0; n < N; ++n)
      lane[n] = V{};
  }
  // Adds weight x p[i] to the sum of cell i.
  [[gnu::always_inline]] void Add(Float weight, const Float* p)
  {
    for (Int n = 0; n < N; ++n)
    {
      V v;
      std::memcpy(&v, p + n * LANES<V>, sizeof v);
      lane[n] += weight * v;
    }
  }
  [[gnu::always_inline]] void Store(Float* out) const { std::memcpy(out, lane, sizeof lane); }
  [[gnu::always_inline]] void StoreScaled(Float* out, Float factor) const
  {
    for (Int n = 0; n < N; ++n)
    {
      const V v = factor * lane[n];
      std::memcpy(out + n * LANES<V>, &v, sizeof v);
    }
  }
};

// Runs cells(x) over [begin, end): in steps of N vectors, then of one vector, then of single cells.
template <typename V, Int N, typename Cells>
[[gnu::always_inline]] inline void Tile(Int begin, Int end, Cells&& cells)
{
  Int x = begin;
  for (; x + N * LANES<V> <= end; x += N * LANES<V>)
    cells.template operator()<V, N>(x);
  for (; x + LANES<V> <= end; x += LANES<V>)
    cells.template operator()<V, 1>(x);
  for (; x < end; ++x)
    cells.template operator()<Float, 1>(x);
}

// Cells [begin, end) of a row: firstTap(ky, x) points at the value that tap (0, ky) of cell x reads, the
// other taps of that kernel row following it.
template <typename V, Int N, typename FirstTap>
[[gnu::always_inline]] inline void ConvolveCells(const PreparedJob& p, Int begin, Int end, Float* out,
                                                 FirstTap&& firstTap)
{
  Tile<V, N>(
    begin, end, [&]<typename W, Int M>(Int x) __attribute__((always_inline)) {
      Sums<W, M> sums;
      for (Int ky = 0; ky < p.size; ++ky)
      {
        const Float* row = firstTap(ky, x);
        const Float* w = p.weights + ky * p.size;
        for (Int kx = 0; kx < p.size; ++kx)
          sums.Add(w[kx], row + kx);
      }
      sums.Store(out + x);
    });
}

// The edge cells [begin, end): for each kernel row, the values of the span of columns their taps read,
// resolved once into `buffer` (size rows of `span` values), then summed like interior cells.
template <typename V, Int N>
[[gnu::always_inline]] inline void ConvolveEdge(const PreparedJob& p, Int firstRow, Int begin, Int end, Int span,
                                                Float* buffer, Float* out)
{
  const Int firstColumn = begin - p.halfX;
  for (Int ky = 0; ky < p.size; ++ky)
  {
    const Float* row = TapRow(p, firstRow + ky);
    Float* resolved = buffer + ky * span;
    for (Int j = 0; j < span; ++j)
    {
      const Int c = ResolveTapIndex(firstColumn + j, p.sourceWidth, p.mode);
      resolved[j] = c < 0 ? 0.0 : row[c];
    }
  }
  ConvolveCells<V, N>(
    p, begin, end, out, [&](Int ky, Int x) __attribute__((always_inline)) { return buffer + ky * span + (x - begin); });
}

template <typename V, Int N>
[[gnu::always_inline]] inline void ConvolveRowWith(const PreparedJob& p, Int y)
{
  Float* out = p.destination + y * p.destinationWidth;
  const Int firstRow = y - p.halfY;
  if (p.edges)
  {
    Float* left = p.edges + GetCurrentThreadIndex() * p.size * (p.leftSpan + p.rightSpan);
    ConvolveEdge<V, N>(p, firstRow, 0, p.interiorBegin, p.leftSpan, left, out);
    ConvolveEdge<V, N>(p, firstRow, p.rightBegin, p.width, p.rightSpan, left + p.size * p.leftSpan, out);
  }
  else
  {
    for (Int x = 0; x < p.interiorBegin; ++x)
      out[x] = BorderCell(p, firstRow, x);
    for (Int x = p.rightBegin; x < p.width; ++x)
      out[x] = BorderCell(p, firstRow, x);
  }
  // The interior reads the kernel rows' source rows directly; for kernels of moderate height their
  // resolved starts are looked up once per row rather than once per group of cells.
  if (p.size <= ROWS_ON_STACK)
  {
    std::array<const Float*, ROWS_ON_STACK> rows;
    for (Int ky = 0; ky < p.size; ++ky)
      rows[static_cast<std::size_t>(ky)] = TapRow(p, firstRow + ky);
    ConvolveCells<V, N>(
      p, p.interiorBegin, p.interiorEnd, out, [&](Int ky, Int x) __attribute__((always_inline)) {
        return rows[static_cast<std::size_t>(ky)] + (x - p.halfX);
      });
  }
  else
  {
    ConvolveCells<V, N>(
      p, p.interiorBegin, p.interiorEnd,
      out, [&](Int ky, Int x) __attribute__((always_inline)) { return TapRow(p, firstRow + ky) + (x - p.halfX); });
  }
}

template <typename V, Int N>
[[gnu::always_inline]] inline void VerticalRowWith(const Float* src, Float* dst, Int width, Int height,
                                                   const SeparableKernel& k, Int y)
{
  Float* out = dst + y * width;
  Tile<V, N>(
    0, width, [&]<typename W, Int M>(Int x) __attribute__((always_inline)) {
      Sums<W, M> sums;
      for (Int t = -k.half; t <= k.half; ++t)
        sums.Add(TapWeight(k, t), src + std::clamp<Int>(y + t, 0, height - 1) * width + x);
      sums.StoreScaled(out + x, k.factor);
    });
}

// Row y of the horizontal pass from src into dst; src may be dst when `rowCopy` (width values) is given:
// the row is then read from its copy.
template <typename V, Int N>
[[gnu::always_inline]] inline void HorizontalRowWith(const Float* src, Float* dst, Int width, const SeparableKernel& k,
                                                     Int y, Float* rowCopy)
{
  const Float* row = src + y * width;
  Float* out = dst + y * width;
  if (rowCopy)
  {
    std::copy(row, row + width, rowCopy);
    row = rowCopy;
  }
  // A negative half has no taps, so every cell counts as interior.
  const Int reach = std::max<Int>(k.half, 0);
  const Int begin = std::min(reach, width);
  const Int end = std::max(begin, width - reach);
  for (Int x = 0; x < begin; ++x)
    out[x] = HorizontalBorderCell(row, width, k, x);
  Tile<V, N>(
    begin, end, [&]<typename W, Int M>(Int x) __attribute__((always_inline)) {
      Sums<W, M> sums;
      for (Int t = -k.half; t <= k.half; ++t)
        sums.Add(TapWeight(k, t), row + x + t);
      sums.StoreScaled(out + x, k.factor);
    });
  for (Int x = end; x < width; ++x)
    out[x] = HorizontalBorderCell(row, width, k, x);
}

struct RowLoops
{
  detail::VECTORWIDTH width;
  void (*convolve)(const PreparedJob& p, Int y);
  void (*vertical)(const Float* src, Float* dst, Int width, Int height, const SeparableKernel& k, Int y);
  void (*horizontal)(const Float* src, Float* dst, Int width, const SeparableKernel& k, Int y, Float* rowCopy);
};

// The strips: sixteen cells for two-lane vectors (eight of sixteen registers hold the sums), thirty-two
// for four and eight lanes.
void ConvolveRowSse2(const PreparedJob& p, Int y)
{
  ConvolveRowWith<Vec2, 8>(p, y);
}
void VerticalRowSse2(const Float* src, Float* dst, Int width, Int height, const SeparableKernel& k, Int y)
{
  VerticalRowWith<Vec2, 8>(src, dst, width, height, k, y);
}
void HorizontalRowSse2(const Float* src, Float* dst, Int width, const SeparableKernel& k, Int y, Float* rowCopy)
{
  HorizontalRowWith<Vec2, 8>(src, dst, width, k, y, rowCopy);
}
__attribute__((target("avx2"))) void ConvolveRowAvx2(const PreparedJob& p, Int y)
{
  ConvolveRowWith<Vec4, 8>(p, y);
}
__attribute__((target("avx2"))) void VerticalRowAvx2(const Float* src, Float* dst, Int width, Int height,
                                                     const SeparableKernel& k, Int y)
{
  VerticalRowWith<Vec4, 8>(src, dst, width, height, k, y);
}
__attribute__((target("avx2"))) void HorizontalRowAvx2(const Float* src, Float* dst, Int width,
                                                       const SeparableKernel& k, Int y, Float* rowCopy)
{
  HorizontalRowWith<Vec4, 8>(src, dst, width, k, y, rowCopy);
}
__attribute__((target("avx512f"))) void ConvolveRowAvx512(const PreparedJob& p, Int y)
{
  ConvolveRowWith<Vec8, 4>(p, y);
}
__attribute__((target("avx512f"))) void VerticalRowAvx512(const Float* src, Float* dst, Int width, Int height,
                                                          const SeparableKernel& k, Int y)
{
  VerticalRowWith<Vec8, 4>(src, dst, width, height, k, y);
}
__attribute__((target("avx512f"))) void HorizontalRowAvx512(const Float* src, Float* dst, Int width,
                                                            const SeparableKernel& k, Int y, Float* rowCopy)
{
  HorizontalRowWith<Vec8, 4>(src, dst, width, k, y, rowCopy);
}

constexpr RowLoops ROWLOOPS_SSE2 = {detail::VECTORWIDTH::SSE2, ConvolveRowSse2, VerticalRowSse2, HorizontalRowSse2};
constexpr RowLoops ROWLOOPS_AVX2 = {detail::VECTORWIDTH::AVX2, ConvolveRowAvx2, VerticalRowAvx2, HorizontalRowAvx2};
constexpr RowLoops ROWLOOPS_AVX512 = {detail::VECTORWIDTH::AVX512, ConvolveRowAvx512, VerticalRowAvx512,
                                      HorizontalRowAvx512};

const RowLoops* WidestRowLoops()
{
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f"))
    return &ROWLOOPS_AVX512;
  if (__builtin_cpu_supports("avx2"))
    return &ROWLOOPS_AVX2;
  return &ROWLOOPS_SSE2;
}

std::atomic<const RowLoops*>& CurrentRowLoops()
{
  static std::atomic<const RowLoops*> loops{WidestRowLoops()};
  return loops;
}

const RowLoops& Loops()
{
  return *CurrentRowLoops().load(std::memory_order_relaxed);
}

// Gives destination the shape and the min/max of source; its cells are not cleared (every one is written
// before it is read).
Result<void> ShapeLikeSource(const Grid2D<Float>& source, Grid2D<Float>& destination)
{
  if (&source == &destination)
    return OK;
  HOST_TRY(destination.InitLikeForOverwrite(source));
  destination.min = source.min;
  destination.max = source.max;
  destination.minMaxValid = source.minMaxValid;
  return OK;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Kernels

namespace PresetKernels
{
Result<void> GaussBlur3x3::InitKernel(UInt32, const Float*)
{
  constexpr std::array<Float, 9> table = {1.0 / 16.0, 2.0 / 16.0, 1.0 / 16.0, 2.0 / 16.0, 4.0 / 16.0,
                                          2.0 / 16.0, 1.0 / 16.0, 2.0 / 16.0, 1.0 / 16.0};
  return SetTable(*this, 3, table);
}

Result<void> GaussBlur5x5::InitKernel(UInt32, const Float*)
{
  return SetTable(*this, 5, Binomial5x5(1.0));
}

Result<void> GaussBlur::InitKernel(UInt32 radius, const Float*)
{
  HOST_TRY(GaussianSamples(*this, radius));
  Normalise(weights, WeightSum(weights));
  return OK;
}

Result<void> Sharpen3x3::InitKernel(UInt32, const Float*)
{
  constexpr std::array<Float, 9> table = {0.0, -1.0, 0.0, -1.0, 5.0, -1.0, 0.0, -1.0, 0.0};
  return SetTable(*this, 3, table);
}

Result<void> UnsharpMask5x5::InitKernel(UInt32, const Float*)
{
  return SetTable(*this, 5, UnsharpMask5x5Table());
}

Result<void> UnsharpMask::InitKernel(UInt32 radius, const Float*)
{
  HOST_TRY(GaussianSamples(*this, radius));
  // Twice the impulse minus the Gaussian: the centre becomes 2S - w, the others -w, which keeps the
  // sum at S before the normalisation.
  const Float samplesSum = WeightSum(weights);
  const Int centre = weights.GetCount() / 2;
  for (Int i = 0; i < weights.GetCount(); ++i)
    weights[i] = i == centre ? 2.0 * samplesSum - weights[i] : -weights[i];
  Normalise(weights, WeightSum(weights));
  return OK;
}
} // namespace PresetKernels

Result<void> BaseKernel::ShapeForSize(UInt32 size)
{
  return ShapeKernel(*this, size);
}

Result<void> InitConvolutionKernel(BaseKernel& kernel, UInt32 size, const Float* extra)
{
  if (size == 0)
    return IllegalArgumentError("Can't initialize kernel with size 0!");
  HOST_TRY(kernel.ShapeForSize(size));
  return kernel.InitKernel(size, extra);
}

// ---------------------------------------------------------------------------------------------------
// Convolution

Int ResolveTapIndex(Int i, Int n, OUTOFBOUNDSMODE mode)
{
  if (i >= 0 && i < n)
    return i;
  switch (mode)
  {
    case OUTOFBOUNDSMODE::CLAMP: return i < 0 ? 0 : n - 1;
    case OUTOFBOUNDSMODE::TILE: return ((i % n) + n) % n;
    case OUTOFBOUNDSMODE::MIRROR: return std::clamp<Int>(i < 0 ? -i : 2 * n - i - 1, 0, n - 1);
    case OUTOFBOUNDSMODE::NONE:
    default: return -1;
  }
}

Result<void> ConvolveGrid(const ConvolutionJob& job, Int rows)
{
  HOST_TRY(CheckJob(job, rows));
  if (rows == 0 || job.width == 0)
    return OK;
  BaseArray<Float> zeros;
  BaseArray<Float> edges;
  const PreparedJob p = HOST_TRY(PrepareJob(job, zeros, edges));
  // All threads whatever the size: even a 3 x 3 kernel costs nine products per cell.
  return ParallelFor(
    0, rows, [&p, convolve = Loops().convolve](Int y) { convolve(p, y); }, LOOP_ALLTHREADS, LOOP_GRANULARITY);
}

Result<void> ConvolveRows(const ConvolutionJob& job, Int y)
{
  HOST_TRY(CheckJob(job, 0));
  if (y < 0 || y >= job.destination->height)
    return IllegalArgumentError("The convolution exceeds its destination grid!");
  HOST_TRY(CheckJob(job, y + 1));
  if (job.width == 0)
    return OK;
  BaseArray<Float> zeros;
  BaseArray<Float> edges;
  const PreparedJob p = HOST_TRY(PrepareJob(job, zeros, edges));
  Loops().convolve(p, y);
  return OK;
}

Result<void> ConvolveMirrored(const Grid2D<Float>& input, Grid2D<Float>& output, const BaseKernel& kernel,
                              const Result<void>& initialised)
{
  if (initialised.IsError())
  {
    HOST_TRY(output.CopyFrom(input));
    return initialised.GetError();
  }
  // The input is read in place: it is a separate grid that nothing writes during the run, so it needs
  // no copy. Every output cell is written by the convolution, so none is cleared first.
  HOST_TRY(output.InitLikeForOverwrite(input));
  ConvolutionJob job;
  job.source = &input;
  job.destination = &output;
  job.kernel = &kernel;
  job.kernelSize = kernel.size;
  job.width = input.width;
  job.halfWidthX = kernel.size >> 1;
  job.halfWidthY = kernel.size >> 1;
  job.mode = OUTOFBOUNDSMODE::MIRROR;
  return ConvolveGrid(job, input.height);
}

Result<void> SeparableFilter(const Grid2D<Float>& source, Grid2D<Float>& destination, const SeparableKernel& kernel,
                             const HostThread* thread, const char* verticalPassName, const char* horizontalPassName,
                             std::source_location location)
{
  const Int width = source.width;
  const Int height = source.height;
  if (width < 0 || height < 0 || source.cells.GetCount() < width * height)
    return IllegalArgumentError("The grid's cells do not match its shape!");
  HOST_TRY(ShapeLikeSource(source, destination));
  if (width == 0 || height == 0)
    return OK;

  // In place the vertical pass needs the whole source until it ends, so it writes a temporary and the
  // horizontal pass reads that. Between two grids the destination itself takes the vertical pass, and
  // each row of the horizontal pass reads a copy of itself: no grid-sized temporary, whose first touch
  // costs more than the passes.
  const Bool inPlace = &source == &destination;
  BaseArray<Float> temp;
  HOST_TRY(temp.ResizeDefault(inPlace ? width * height : GetCurrentThreadCount() * width));
  const Float* src = source.cells.GetFirst();
  Float* dst = destination.cells.GetFirst();
  Float* middle = inPlace ? temp.GetFirst() : dst;
  Float* rowCopies = inPlace ? nullptr : temp.GetFirst();
  const Int threads = ThreadsFor(height, LOOP_SERIAL_BLUR_ROWS);
  const RowLoops& loops = Loops();

  HOST_TRY(ParallelFor(
    0, height,
    [&](Int y) -> Result<void> {
      HOST_TRY(TestLoopBreak(y, BREAKMASK_ROWS, thread, verticalPassName, location));
      loops.vertical(src, middle, width, height, kernel, y);
      return OK;
    },
    threads, LOOP_GRANULARITY));
  return ParallelFor(
    0, height,
    [&](Int y) -> Result<void> {
      HOST_TRY(TestLoopBreak(y, BREAKMASK_ROWS, thread, horizontalPassName, location));
      loops.horizontal(middle, dst, width, kernel, y,
                       rowCopies ? rowCopies + GetCurrentThreadIndex() * width : nullptr);
      return OK;
    },
    threads, LOOP_GRANULARITY);
}
namespace detail
{
VECTORWIDTH GetVectorWidth()
{
  return Loops().width;
}

VECTORWIDTH LimitVectorWidth(VECTORWIDTH width)
{
  const RowLoops* widest = WidestRowLoops();
  const RowLoops* chosen = widest;
  if (static_cast<Int32>(width) < static_cast<Int32>(chosen->width))
    chosen = width == VECTORWIDTH::AVX2 ? &ROWLOOPS_AVX2 : &ROWLOOPS_SSE2;
  CurrentRowLoops().store(chosen, std::memory_order_relaxed);
  return chosen->width;
}
} // namespace detail
} // namespace OGX::Convolution

namespace VeridoVivuzar
{
Result<void> SharpenKernel::ShapeForSize(UInt32 width)
{
  if (static_cast<UInt64>(width) * width > OGX::Convolution::MAX_WEIGHTS)
    return OutOfMemoryError("Could not allocate kernel weights!");
  size = width;
  return OK;
}

Result<void> SharpenKernel::InitKernel(UInt32 width, const Float* ends)
{
  if (!ends)
    return NullptrError("Data pointer must not be NULL!");
  const Int n = static_cast<Int>(width >> 1) + 1;
  HOST_TRY(weights.Resize(n));
  if (weights.GetCount() < n)
    return OutOfMemoryError("Could not allocate kernel weights!");
  if (n == 1)
  {
    weights[0] = 1.0;
    return OK;
  }
  const Float span = ends[1] - ends[0];
  for (Int i = 0; i < n; ++i)
    weights[i] = ends[0] + (static_cast<Float>(i) / static_cast<Float>(n - 1)) * span;
  return OK;
}
} // namespace VeridoVivuzar
