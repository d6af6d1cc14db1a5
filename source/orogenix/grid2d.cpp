#include "orogenix/grid2d.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/core/log.h"
#include "orogenix/ogx_parallel.h"

namespace
{
// Below this many cells a min/max pass stays on the calling thread.
constexpr Int MINMAX_PART_CELLS = 16384;
// Upper bound of the parts a min/max pass is split into; their results live on the stack. Enough parts
// that each thread's share is several chunks of the loop's granularity, so that threads can take over
// parts from one that is held up.
constexpr Int MINMAX_MAX_PARTS = 512;
// Below this many cells (512 KiB of doubles) a new grid is cleared on the calling thread. Higher than
// the cell loops' 10000: a clear is one store per cell, so the pool's start-up outweighs it for longer.
constexpr Int CLEAR_SERIAL_CELLS = 65536;
// Kept storage serves a shaping up to this fraction (1/n) smaller than it holds; a grid that shrinks
// further gives the storage back.
constexpr Int STORAGE_SLACK_DIVISOR = 16;

struct BitmapFree
{
  void operator()(BaseBitmap* bmp) const { BaseBitmap::Free(bmp); }
};
using BitmapPtr = std::unique_ptr<BaseBitmap, BitmapFree>;

String FloatText(Float v)
{
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return String(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}
String FloatText(const Vector& v)
{
  return "(" + FloatText(v.x) + ", " + FloatText(v.y) + ", " + FloatText(v.z) + ")";
}

// A vector component as an 8-bit channel: times 255, clamped to [0, 255] (NaN to 0), truncated.
Int32 ToChannel(Float v)
{
  v *= 255.0;
  v = v > 0.0 ? v : 0.0;
  v = v < 255.0 ? v : 255.0;
  return static_cast<Int32>(v);
}
} // namespace

namespace
{
// Cells per block of a min/max part: the block's range is found with several accumulators at once,
// then merged into the part's.
constexpr Int MINMAX_BLOCK = 2048;

// The lowest and highest of c[0, n) by the strict tests of UpdateMinMax, starting from +inf and -inf:
// the values a sequential pass finds (a NaN never enters), but not necessarily with the bits of the
// first of equal values, which only matters for 0.0 against -0.0 (see FloatPartMinMax). Eight
// accumulators each, so that the comparisons of different cells do not wait on each other: minpd and
// maxpd are exactly the strict tests (v < m ? v : m, and v > m ? v : m).
void BlockMinMax(const Float* c, Int n, Float& lo, Float& hi)
{
  constexpr Int LANES = 8;
  constexpr Float inf = std::numeric_limits<Float>::infinity();
  alignas(16) Float l[LANES];
  alignas(16) Float h[LANES];
  Int i = 0;
#if defined(__SSE2__)
  __m128d l0 = _mm_set1_pd(inf), l1 = l0, l2 = l0, l3 = l0;
  __m128d h0 = _mm_set1_pd(-inf), h1 = h0, h2 = h0, h3 = h0;
  for (; i + LANES <= n; i += LANES)
  {
    const __m128d v0 = _mm_loadu_pd(c + i);
    const __m128d v1 = _mm_loadu_pd(c + i + 2);
    const __m128d v2 = _mm_loadu_pd(c + i + 4);
    const __m128d v3 = _mm_loadu_pd(c + i + 6);
    l0 = _mm_min_pd(v0, l0);
    l1 = _mm_min_pd(v1, l1);
    l2 = _mm_min_pd(v2, l2);
    l3 = _mm_min_pd(v3, l3);
    h0 = _mm_max_pd(v0, h0);
    h1 = _mm_max_pd(v1, h1);
    h2 = _mm_max_pd(v2, h2);
    h3 = _mm_max_pd(v3, h3);
  }
  _mm_store_pd(l, l0);
  _mm_store_pd(l + 2, l1);
  _mm_store_pd(l + 4, l2);
  _mm_store_pd(l + 6, l3);
  _mm_store_pd(h, h0);
  _mm_store_pd(h + 2, h1);
  _mm_store_pd(h + 4, h2);
  _mm_store_pd(h + 6, h3);
#else
  for (Int k = 0; k < LANES; ++k)
  {
    l[k] = inf;
    h[k] = -inf;
  }
  for (; i + LANES <= n; i += LANES)
    for (Int k = 0; k < LANES; ++k)
    {
      grid2d_detail::Lower(l[k], c[i + k]);
      grid2d_detail::Raise(h[k], c[i + k]);
    }
#endif
  for (; i < n; ++i)
  {
    grid2d_detail::Lower(l[0], c[i]);
    grid2d_detail::Raise(h[0], c[i]);
  }
  lo = l[0];
  hi = h[0];
  for (Int k = 1; k < LANES; ++k)
  {
    grid2d_detail::Lower(lo, l[k]);
    grid2d_detail::Raise(hi, h[k]);
  }
}

// The first cell of c[0, n) that equals 0.0 (either sign); the block is known to hold one.
Float FirstZero(const Float* c, Int n)
{
  for (Int i = 0; i < n; ++i)
    if (c[i] == 0.0)
      return c[i];
  return 0.0;
}

// A part's strict-test range from +inf and -inf, bit-identical to the one-accumulator pass over it:
// the blocks' ranges are merged in index order with the same strict tests. Equal values differ in bits
// only as 0.0 and -0.0, and the pass keeps the first of them: when a block's lowest (highest) value is
// a zero that replaces the part's, the part takes the block's first zero, found by a scan of that one
// block. This happens at most once per part and bound (a bound only moves one way, past zero once).
void FloatPartMinMax(const Float* c, Int n, Float& lo, Float& hi)
{
  for (Int begin = 0; begin < n; begin += MINMAX_BLOCK)
  {
    const Int count = std::min(MINMAX_BLOCK, n - begin);
    Float blockLo;
    Float blockHi;
    BlockMinMax(c + begin, count, blockLo, blockHi);
    if (blockLo < lo)
      lo = blockLo == 0.0 ? FirstZero(c + begin, count) : blockLo;
    if (blockHi > hi)
      hi = blockHi == 0.0 ? FirstZero(c + begin, count) : blockHi;
  }
}
} // namespace

template <typename T>
Result<void> Grid2D<T>::Shape(Int newWidth, Int newHeight, Float newSizeX, Float newSizeY, Bool clear)
{
  if (newWidth < 0 || newHeight < 0)
  {
    Reset();
    return IllegalArgumentError("Invalid grid initialization arguments!");
  }
  if (newHeight != 0 && newWidth > std::numeric_limits<Int>::max() / newHeight)
  {
    Reset();
    return OutOfMemoryError("Could not allocate grid cells!");
  }
  const Int count = newWidth * newHeight;
  // An operator's output grid is reshaped to the same size at every computation: its cells are kept
  // and only cleared, as is the storage an emptied grid kept (ResetKeepingStorage) for a count (about)
  // this large. Otherwise the old cells go first, so reshaping a large grid never holds two arrays at
  // once. The header is written only once the new cells exist; any failure leaves the grid empty.
  const Int capacity = cells.GetCapacity();
  const Bool reuse = cells.IsEmpty() && count <= capacity && capacity - count <= capacity / STORAGE_SLACK_DIVISOR;
  if (count != cells.GetCount())
  {
    if (!reuse)
      cells.Reset();
    Result<void> res = cells.ResizeDefault(count);
    if (res.IsError())
    {
      Reset();
      return res;
    }
  }
  // Zeroed on all threads for large grids: fresh pages are then first touched by many threads, which
  // is most of the cost of a new 4001 x 4001 grid.
  if (clear)
  {
    T* data = cells.GetFirst();
    (void)OGX::ParallelForBlocks(0, count, [data](Int begin, Int end) { std::fill(data + begin, data + end, T()); },
                                 OGX::ThreadsFor(count, CLEAR_SERIAL_CELLS));
  }
  width = newWidth;
  height = newHeight;
  cellCount = count;
  sizeX = newSizeX;
  sizeY = newSizeY;
  ResetMinMax();
  return OK;
}

template <typename T>
Result<void> Grid2D<T>::Init(Int newWidth, Int newHeight, Float newSizeX, Float newSizeY)
{
  HOST_TRY(CheckInitArguments(newWidth, newHeight, newSizeX, newSizeY));
  return Shape(newWidth, newHeight, newSizeX, newSizeY);
}

template <typename T>
Result<void> Grid2D<T>::ShapeLike(const Grid2D& other, Bool clear)
{
  // Read first: `other` may be this grid.
  const Int w = other.width;
  const Int h = other.height;
  const Float sx = other.sizeX;
  const Float sy = other.sizeY;
  return Shape(w, h, sx, sy, clear);
}

template <typename T>
Result<void> Grid2D<T>::InitLike(const Grid2D& other)
{
  return ShapeLike(other, true);
}

template <typename T>
Result<void> Grid2D<T>::InitLikeForOverwrite(const Grid2D& other)
{
  return ShapeLike(other, false);
}

template <typename T>
void Grid2D<T>::ResetKeepingStorage()
{
  BaseArray<T> storage = std::move(cells);
  storage.Flush();
  Reset();
  cells = std::move(storage);
}

template <typename T>
void Grid2D<T>::Reset()
{
  width = 0;
  height = 0;
  cellCount = 0;
  sizeX = 0.0;
  sizeY = 0.0;
  cells.Reset();
  ResetMinMax();
}

template <typename T>
Result<void> Grid2D<T>::CopyFrom(const Grid2D& other)
{
  if (this == &other)
    return OK;
  // Filters copy a 4001 x 4001 grid at every computation (and erosion at every iteration): a grid that
  // already has the cell count keeps its storage, and the copy runs on all threads for large grids, so
  // neither a free and a fresh fault-in nor a serial copy of 128 MB sits on the rebuild's path.
  const Int count = other.cells.GetCount();
  if (count != cells.GetCount())
  {
    cells.Reset();
    Result<void> res = cells.ResizeDefault(count);
    if (res.IsError())
    {
      Reset();
      return res;
    }
  }
  T* dst = cells.GetFirst();
  const T* src = other.cells.GetFirst();
  (void)OGX::ParallelForBlocks(0, count, [dst, src](Int begin, Int end) { std::copy(src + begin, src + end, dst + begin); },
                               OGX::ThreadsFor(count, CLEAR_SERIAL_CELLS));
  min = other.min;
  max = other.max;
  minMaxValid = other.minMaxValid;
  width = other.width;
  height = other.height;
  cellCount = other.cellCount;
  sizeX = other.sizeX;
  sizeY = other.sizeY;
  return OK;
}

// The sequential definition is: reset, then UpdateMinMax for every cell in index order. That result
// depends on the order only through NaN (a NaN first cell makes min and max NaN for good; a later NaN
// is ignored) and through which of 0.0 and -0.0 comes first. The parallel form keeps both: the first
// cell is taken sequentially, then each part of the rest finds its own min and max with the same strict
// tests starting from +inf/-inf (which ignore NaN exactly as a valid running range does, and are
// returned unchanged only where nothing in the part is below or above them, so they never change the
// result), and the parts are merged in index order with the same strict tests, which keeps the first
// of equal values. The outcome is bit-identical to the sequential pass, with any thread count.
template <typename T>
Bool Grid2D<T>::FindMinMax(T& lo, T& hi) const
{
  const Int count = cells.GetCount();
  if (count == 0)
    return false;
  const T* c = cells.GetFirst();
  // The first cell seeds both, as UpdateMinMax does; the rest go by the strict tests, so a NaN after the
  // first cell never enters.
  T resultLo = c[0];
  T resultHi = c[0];

  const Int rest = count - 1;
  const Int parts = std::clamp<Int>(rest / MINMAX_PART_CELLS, 1, MINMAX_MAX_PARTS);
  constexpr Float inf = std::numeric_limits<Float>::infinity();
  struct Range
  {
    T lo;
    T hi;
  };
  std::array<Range, MINMAX_MAX_PARTS> found;
  (void)ParallelFor(
    0, parts,
    [&](Int p) {
      T partLo = T(inf);
      T partHi = T(-inf);
      const Int begin = 1 + rest * p / parts;
      const Int end = 1 + rest * (p + 1) / parts;
      if constexpr (std::same_as<T, Float>)
      {
        FloatPartMinMax(c + begin, end - begin, partLo, partHi);
      }
      else
      {
        for (Int i = begin; i < end; ++i)
        {
          grid2d_detail::Lower(partLo, c[i]);
          grid2d_detail::Raise(partHi, c[i]);
        }
      }
      found[static_cast<std::size_t>(p)] = Range{partLo, partHi};
    },
    OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
  for (Int p = 0; p < parts; ++p)
  {
    grid2d_detail::Lower(resultLo, found[static_cast<std::size_t>(p)].lo);
    grid2d_detail::Raise(resultHi, found[static_cast<std::size_t>(p)].hi);
  }
  lo = resultLo;
  hi = resultHi;
  return true;
}

template <typename T>
void Grid2D<T>::RecomputeMinMax()
{
  ResetMinMax();
  T lo = EMPTY_MIN;
  T hi = EMPTY_MAX;
  if (!FindMinMax(lo, hi))
    return;
  min = lo;
  max = hi;
  minMaxValid = true;
}

template <typename T>
Result<void> Grid2D<T>::ComputeNormals(Grid2D<Vector>& normals) const
  requires std::same_as<T, Float>
{
  HOST_TRY(normals.Init(width, height, sizeX, sizeY));
  Vector* out = normals.cells.GetFirst();
  // Rows are disjoint; no break test, a normal pass always runs to the end.
  return ParallelFor(
    0, height,
    [&](Int y) {
      const Int row = y * width;
      for (Int x = 0; x < width; ++x)
        out[row + x] = GetNormal(x, y);
    },
    OGX::LOOP_ALLTHREADS, OGX::LOOP_GRANULARITY);
}

template <typename T>
void Grid2D<T>::Normalize(Float range, Float offset)
{
  if constexpr (std::same_as<T, Float>)
  {
    RecomputeMinMax();
    if (!minMaxValid || max - min == 0.0)
      return;
    const Float lo = min;
    const Float inv = 1.0 / (max - min);
    Float* c = cells.GetFirst();
    // The per-cell loop over blocks of cells (see ParallelForBlocks); every cell is remapped on its own.
    (void)OGX::ParallelForBlocks(0, cells.GetCount(), [&](Int begin, Int end) {
      for (Int i = begin; i < end; ++i)
        c[i] = (c[i] - lo) * inv * range + offset;
    });
    // min and max deliberately keep the range found before the remap; callers recompute when needed.
  }
  else
  {
    (void)range;
    (void)offset;
    DiagnosticOutput("Grid2D<Vector>::Normalize() not implemented yet!");
  }
}

template <typename T>
Result<BaseBitmap*> Grid2D<T>::ToBitmap() const
{
  constexpr Int maxSide = std::numeric_limits<Int32>::max();
  if (width > maxSide || height > maxSide)
    return OutOfMemoryError("Could not initialize BaseBitmap!");
  BitmapPtr bmp(BaseBitmap::Alloc());
  if (!bmp)
    return OutOfMemoryError("Could not initialize BaseBitmap!");
  const Int32 w = static_cast<Int32>(width);
  const Int32 h = static_cast<Int32>(height);

  if constexpr (std::same_as<T, Float>)
  {
    if (bmp->Init(w, h, 32, INITBITMAPFLAGS::GRAYSCALE) != IMAGERESULT::OK)
      return OutOfMemoryError("Could not initialize BaseBitmap!");
    // A grid without cells keeps 0 and 0 (it writes no pixels anyway).
    Float lo = 0.0;
    Float hi = 0.0;
    (void)FindMinMax(lo, hi);
    const Float range = hi - lo;
    // A NaN range is "non-zero" here too.
    const Float inv = range != 0.0 ? 1.0 / range : 0.0;
    BaseArray<Float32> row;
    HOST_TRY(row.Resize(width));
    const Float* c = cells.GetFirst();
    for (Int32 y = 0; y < h; ++y)
    {
      const Float* src = c + static_cast<Int>(y) * width;
      for (Int x = 0; x < width; ++x)
        row[x] = static_cast<Float32>((src[x] - lo) * inv);
      if (!bmp->SetPixelCnt(0, y, w, reinterpret_cast<const UChar*>(row.GetFirst()), sizeof(Float32),
                            COLORMODE::GRAYf, 0))
        return UnexpectedError("Could not write a pixel row to BaseBitmap!");
    }
  }
  else
  {
    if (bmp->Init(w, h, 24) != IMAGERESULT::OK)
      return OutOfMemoryError("Could not initialize BaseBitmap!");
    const Vector* c = cells.GetFirst();
    for (Int32 y = 0; y < h; ++y)
      for (Int32 x = 0; x < w; ++x)
      {
        const Vector& v = c[static_cast<Int>(y) * width + x];
        if (!bmp->SetPixel(x, y, ToChannel(v.x), ToChannel(v.y), ToChannel(v.z)))
          return UnexpectedError("Could not set pixel in Bitmap!");
      }
  }
  return bmp.release();
}

template <typename T>
String Grid2D<T>::ToString() const
{
  const char* name = std::same_as<T, Float> ? "Grid2D<Float>(" : "Grid2D<Vector>(";
  return String(name) + "width: " + String::IntToString(width) + ", height: " + String::IntToString(height) +
         ", cellCount: " + String::IntToString(cellCount) + ", sizeX: " + FloatText(sizeX) +
         ", sizeY: " + FloatText(sizeY) + ", min: " + FloatText(min) + ", max: " + FloatText(max) +
         ", minMaxValid: " + (minMaxValid ? "true" : "false") + ")";
}

template class Grid2D<Float>;
template class Grid2D<Vector>;
