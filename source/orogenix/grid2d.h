// Height-field grids: `Grid2D<Float>` holds heights (terrain, operator outputs, masks, slope maps),
// `Grid2D<Vector>` holds normals and cell positions.
//
// Cells are row-major, the cell of column x and row y at y * width + x. Shaping a grid (Init, InitLike,
// CopyFrom, the target of ComputeNormals) is all-or-nothing: on failure the grid is left empty, as Reset
// leaves it, so `cells` always holds exactly `cellCount` values. Sampling clamps every coordinate to the
// grid before it becomes an index and never reads outside the cells, whatever the position (NaN and
// infinities included); an empty grid samples as 0. A grid has no lock: several threads may read one
// grid at once, and its own loops (normals, normalisation, min/max) write disjoint cells.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <utility>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/string.h"
#include "host/core/types.h"
#include "host/imaging/bitmap.h"
#include "orogenix/enums.h"

// i / n as a fraction of a grid axis (n = cells - 1), 0 when n is 0: a one-column or one-row grid puts
// its cells at the start of the axis rather than dividing 0 by 0. Every unit that places cells in space
// uses it, so that one cell has one position for the field mask, the generators and the mesh.
inline Float GridFraction(Int i, Int n)
{
  return n == 0 ? 0.0 : static_cast<Float>(i) / static_cast<Float>(n);
}

// Cubic Hermite interpolation between p1 (t = 0) and p2 (t = 1), with tangents from p0 and p3. Tension 0
// and bias 0, as Sample uses it, give the tangents (p2 - p0) / 2 and (p3 - p1) / 2.
inline Float HermiteInterpolate(Float p0, Float p1, Float p2, Float p3, Float t, Float tension, Float bias)
{
  const Float s = (1.0 - tension) / 2.0;
  const Float m0 = (p1 - p0) * (1.0 + bias) * s + (p2 - p1) * (1.0 - bias) * s;
  const Float m1 = (p2 - p1) * (1.0 + bias) * s + (p3 - p2) * (1.0 - bias) * s;
  const Float t2 = t * t;
  const Float t3 = t2 * t;
  const Float a0 = 2.0 * t3 - 3.0 * t2 + 1.0;
  const Float a1 = t3 - 2.0 * t2 + t;
  const Float a2 = t3 - t2;
  const Float a3 = 3.0 * t2 - 2.0 * t3;
  return a0 * p1 + a1 * m0 + a2 * m1 + a3 * p2;
}

namespace grid2d_detail
{
// A fractional cell coordinate as an index in [0, last]. The clamp happens in floating point, before
// the conversion, so that NaN (which fails the first test and becomes 0), infinities and positions far
// outside the grid can never produce an index outside the cells.
inline Int ClampToIndex(Float v, Float last)
{
  v = v > 0.0 ? v : 0.0;
  v = v < last ? v : last;
  return static_cast<Int>(v);
}

// The strict tests of UpdateMinMax, per component for vectors.
inline void Lower(Float& m, Float v)
{
  m = v < m ? v : m;
}
inline void Raise(Float& m, Float v)
{
  m = v > m ? v : m;
}
inline void Lower(Vector& m, const Vector& v)
{
  Lower(m.x, v.x);
  Lower(m.y, v.y);
  Lower(m.z, v.z);
}
inline void Raise(Vector& m, const Vector& v)
{
  Raise(m.x, v.x);
  Raise(m.y, v.y);
  Raise(m.z, v.z);
}
} // namespace grid2d_detail

template <typename T>
class Grid2D
{
  static_assert(std::same_as<T, Float> || std::same_as<T, Vector>, "Grid2D holds Float or Vector cells");

public:
  // The empty state of the minimum and maximum: largest double and its negation.
  static constexpr T EMPTY_MIN = T(MAXVALUE_FLOAT);
  static constexpr T EMPTY_MAX = T(-MAXVALUE_FLOAT);

  Int width = 0;         // columns (X)
  Int height = 0;        // rows (the terrain's Z direction)
  Int cellCount = 0;     // width * height
  Float sizeX = 0.0;     // extent covered in X, in scene units
  Float sizeY = 0.0;     // extent covered along the rows
  T min = EMPTY_MIN;     // smallest cell value, when minMaxValid
  T max = EMPTY_MAX;     // largest cell value, when minMaxValid
  Bool minMaxValid = false;
  BaseArray<T> cells;    // row-major, cellCount values

  Grid2D() = default;
  // Copying can fail, so it is explicit (CopyFrom). Moving is free and leaves the source empty, as
  // Reset leaves it, so that its header never describes cells it no longer has.
  Grid2D(const Grid2D&) = delete;
  Grid2D& operator=(const Grid2D&) = delete;
  Grid2D(Grid2D&& other) noexcept { *this = std::move(other); }
  Grid2D& operator=(Grid2D&& other) noexcept
  {
    if (this != &other)
    {
      width = other.width;
      height = other.height;
      cellCount = other.cellCount;
      sizeX = other.sizeX;
      sizeY = other.sizeY;
      min = other.min;
      max = other.max;
      minMaxValid = other.minMaxValid;
      cells = std::move(other.cells);
      other.Reset();
    }
    return *this;
  }

  // Shapes the grid to width x height zeroed cells over sizeX x sizeY, min/max reset. Refuses a
  // negative width or height or a size that is not above 0 (NaN included) with "Invalid grid
  // initialization arguments!" and leaves the grid as it was; 0 columns or rows are accepted.
  Result<void> Init(Int width, Int height, Float sizeX, Float sizeY);
  // Takes the other grid's width, height and sizes (not its cells or min/max), with zeroed cells.
  Result<void> InitLike(const Grid2D& other);
  // As InitLike, but the cells are not cleared: kept as they were when the cell count is unchanged,
  // unwritten when new. For computations that write every cell themselves (the filter operators), which
  // would otherwise pay one more pass over the whole grid for zeros they overwrite at once.
  Result<void> InitLikeForOverwrite(const Grid2D& other);
  // The arguments Init accepts: "Invalid grid initialization arguments!" for a negative width or height
  // or a size that is not above 0 (NaN included). Defined here, so the error names the grid header.
  static Result<void> CheckInitArguments(Int newWidth, Int newHeight, Float newSizeX, Float newSizeY)
  {
    if (newWidth < 0 || newHeight < 0 || !(newSizeX > 0.0) || !(newSizeY > 0.0))
      return IllegalArgumentError("Invalid grid initialization arguments!");
    return OK;
  }
  // Back to the empty shape: all counts and sizes 0, cells freed, min/max reset.
  void Reset();
  // The empty shape as Reset leaves it, but the cell storage is kept for the next shaping of (about)
  // the same count: a grid reshaped at every rebuild, such as a mask, then never faults its cells in
  // again.
  void ResetKeepingStorage();
  // Copies cells and every header field. Copying a grid onto itself changes nothing.
  Result<void> CopyFrom(const Grid2D& other);

  void ResetMinMax()
  {
    min = EMPTY_MIN;
    max = EMPTY_MAX;
    minMaxValid = false;
  }
  // The first value sets both and the flag; later ones lower min and raise max by strict tests (for
  // vectors per component), so a NaN never enters once the range is valid.
  void UpdateMinMax(const T& value)
  {
    if (!minMaxValid)
    {
      min = value;
      max = value;
      minMaxValid = true;
      return;
    }
    grid2d_detail::Lower(min, value);
    grid2d_detail::Raise(max, value);
  }
  // min/max reset, then UpdateMinMax for every cell in index order. Runs in parallel over parts of the
  // grid, which gives exactly the result of the sequential pass (see the definition).
  void RecomputeMinMax();
  // The cells' range as RecomputeMinMax stores it, without storing it: false (lo/hi untouched) when there
  // are no cells. For readers that must not write the grid.
  Bool FindMinMax(T& lo, T& hi) const;

  // Interpolated height at the fractional cell position (x along a row, y across rows; 0 is the centre
  // of the first cell). Positions outside the grid read the border cells.
  Float Sample(Float x, Float y, SAMPLEINTERPOLATION interpolation) const
    requires std::same_as<T, Float>;

  // Normal from the height differences of the neighbouring cells, in index space (cell sizes do not
  // enter). Neighbours are clamped to the grid, so at a border the difference spans one cell.
  Vector GetNormal(Int x, Int y) const
    requires std::same_as<T, Float>;

  // Shapes `normals` like this grid (the same refusal as Init) and fills it with GetNormal for every
  // cell; its min/max stay reset.
  Result<void> ComputeNormals(Grid2D<Vector>& normals) const
    requires std::same_as<T, Float>;

  // Float: remaps [min, max] onto [offset, offset + range] after recomputing min/max; a grid without
  // cells or with max - min == 0 is left unchanged. min/max keep the values found before the remap.
  // Vector: not implemented, writes a diagnostic line only.
  void Normalize(Float range, Float offset);

  // Float: a grey 32-bit float bitmap, one pixel per cell, row 0 at the top, value (cell - min) /
  // (max - min) with the cells' own min/max (found as RecomputeMinMax finds them, but the grid's min/max
  // are left as they are); a flat grid gives black.
  // Vector: a 24-bit bitmap with the components times 255 as red, green and blue.
  // The caller owns the bitmap and frees it with BaseBitmap::Free.
  Result<BaseBitmap*> ToBitmap() const;

  String ToString() const;

private:
  Result<void> Shape(Int newWidth, Int newHeight, Float newSizeX, Float newSizeY, Bool clear = true);
  Result<void> ShapeLike(const Grid2D& other, Bool clear);
};

// Defined here and inline so that per-pixel callers can inline it despite the extern instantiation.
template <typename T>
inline Float Grid2D<T>::Sample(Float x, Float y, SAMPLEINTERPOLATION interpolation) const
  requires std::same_as<T, Float>
{
  using grid2d_detail::ClampToIndex;
  if (width <= 0 || height <= 0)
    return 0.0;
  const Float lastX = static_cast<Float>(width - 1);
  const Float lastY = static_cast<Float>(height - 1);
  const Float* c = cells.GetFirst();

  switch (interpolation)
  {
    case SAMPLEINTERPOLATION::BILINEAR:
    {
      const Float floorX = std::floor(x);
      const Float floorY = std::floor(y);
      const Int x0 = ClampToIndex(floorX, lastX);
      const Int x1 = ClampToIndex(std::ceil(x), lastX);
      const Int row0 = ClampToIndex(floorY, lastY) * width;
      const Int row1 = ClampToIndex(std::ceil(y), lastY) * width;
      // The fractions come from the unclamped floors.
      const Float fx = x - floorX;
      const Float fy = y - floorY;
      const Float top = c[row0 + x0] + (c[row0 + x1] - c[row0 + x0]) * fx;
      const Float bottom = c[row1 + x0] + (c[row1 + x1] - c[row1 + x0]) * fx;
      return top + (bottom - top) * fy;
    }
    case SAMPLEINTERPOLATION::BICUBIC:
    {
      const Float xi = std::floor(x);
      const Float yi = std::floor(y);
      const Float tx = x - xi;
      const Float ty = y - yi;
      Int col[4];
      for (Int k = 0; k < 4; ++k)
        col[k] = ClampToIndex(xi + static_cast<Float>(k - 1), lastX);
      Float rowValue[4];
      for (Int k = 0; k < 4; ++k)
      {
        const Float* r = c + ClampToIndex(yi + static_cast<Float>(k - 1), lastY) * width;
        rowValue[k] = HermiteInterpolate(r[col[0]], r[col[1]], r[col[2]], r[col[3]], tx, 0.0, 0.0);
      }
      return HermiteInterpolate(rowValue[0], rowValue[1], rowValue[2], rowValue[3], ty, 0.0, 0.0);
    }
    case SAMPLEINTERPOLATION::NEAREST:
    default:
      return c[ClampToIndex(std::floor(y + 0.5), lastY) * width + ClampToIndex(std::floor(x + 0.5), lastX)];
  }
}

template <typename T>
inline Vector Grid2D<T>::GetNormal(Int x, Int y) const
  requires std::same_as<T, Float>
{
  if (width <= 0 || height <= 0)
    return Vector(0.0, 1.0, 0.0);
  // A position outside the grid is taken as the nearest border cell.
  x = std::clamp<Int>(x, 0, width - 1);
  y = std::clamp<Int>(y, 0, height - 1);
  const Float* c = cells.GetFirst();
  const Int row = y * width;
  const Float dx = c[row + std::max<Int>(x - 1, 0)] - c[row + std::min<Int>(x + 1, width - 1)];
  const Float dz = c[std::max<Int>(y - 1, 0) * width + x] - c[std::min<Int>(y + 1, height - 1) * width + x];
  // The constant 4 keeps the length above 0.
  const Float length = std::sqrt(dx * dx + 4.0 + dz * dz);
  return Vector(dx / length, 2.0 / length, dz / length);
}

extern template class Grid2D<Float>;
extern template class Grid2D<Vector>;
