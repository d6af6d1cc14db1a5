// The top-view rasteriser and hillshade; see topview.h.
#include "topview.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>

#include "host/core/basearray.h"
#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"
#include "atomicextreme.h"

namespace host::app
{
namespace
{
constexpr Int32 TOPVIEW_MAX_SIZE = 16384;
constexpr Int LOOP_GRANULARITY = 16;
// Points or polygons per index of the loops over them: large enough that an index is worth a chunk's
// hand-over.
constexpr Int ITEMS_PER_CHUNK = 2048;

// Towards the light: from the north-west (-X, +Z), 45 degrees above the horizon; unit length.
constexpr Vector LIGHT_DIRECTION{-0.5, 0.7071067811865476, 0.5};
// Light that reaches even faces turned away, so steep shadowed slopes keep their tint.
constexpr Float AMBIENT = 0.35;
// A slope steeper than this is shaded as this steep; it keeps the normal's squares finite.
constexpr Float MAX_SLOPE = 1e150;

struct RampStop
{
  Float t;
  Float r, g, b;
};
// Height tint from the lowest to the highest point.
constexpr std::array<RampStop, 5> HEIGHT_RAMP = {{
  {0.0, 62, 102, 58},
  {0.35, 124, 148, 78},
  {0.6, 148, 118, 88},
  {0.85, 196, 188, 178},
  {1.0, 250, 250, 250},
}};

Vector Tint(Float t)
{
  t = std::clamp(t, 0.0, 1.0);
  for (std::size_t i = 1; i < HEIGHT_RAMP.size(); ++i)
    if (t <= HEIGHT_RAMP[i].t)
    {
      const RampStop& lo = HEIGHT_RAMP[i - 1];
      const RampStop& hi = HEIGHT_RAMP[i];
      const Float f = (t - lo.t) / (hi.t - lo.t);
      return {lo.r + (hi.r - lo.r) * f, lo.g + (hi.g - lo.g) * f, lo.b + (hi.b - lo.b) * f};
    }
  const RampStop& last = HEIGHT_RAMP.back();
  return {last.r, last.g, last.b};
}

UChar ToByte(Float v)
{
  return static_cast<UChar>(std::clamp(std::lround(v), 0L, 255L));
}

Bool IsFinite(const Vector& p)
{
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Every point or polygon of every part, by chunks, read in place (corners in the root's space).
class Chunks
{
public:
  // Chunks of the parts' polygons, or of their points.
  Chunks(const std::vector<MeshPart>& parts, Bool points) : _parts(parts)
  {
    Int chunks = 0;
    for (const MeshPart& part : parts)
    {
      _firstChunk.push_back(chunks);
      const Int items = points ? part.object->GetPointCount() : part.object->GetPolygonCount();
      chunks += (items + ITEMS_PER_CHUNK - 1) / ITEMS_PER_CHUNK;
    }
    _firstChunk.push_back(chunks);
  }

  Int GetCount() const { return _firstChunk.back(); }

  // Calls point(p) for every point of the chunk.
  template <typename Point>
  void ForEachPoint(Int chunk, Point&& point) const
  {
    const Span s = Locate(chunk, _parts[PartOf(chunk)].object->GetPointCount());
    const Vector* points = s.part->object->GetPointR();
    for (Int i = s.first; i < s.last; ++i)
      point(s.moved ? s.part->toRoot * points[i] : points[i]);
  }

  // Calls polygon(corners, count, part, index) for every polygon of the chunk, count 3 or 4 (quads are
  // the two triangles a-b-c and a-c-d), with the index of its part and its index in the part.
  template <typename Polygon>
  void ForEachPolygon(Int chunk, Polygon&& polygon) const
  {
    const std::size_t p = PartOf(chunk);
    const Span s = Locate(chunk, _parts[p].object->GetPolygonCount());
    for (Int i = s.first; i < s.last; ++i)
    {
      Vector corners[4];
      const Int count = Corners(*s.part, s.moved, i, corners);
      polygon(corners, count, p, i);
    }
  }

  // The corners of polygon i of a part in the root's space (moved: the part's transform is not the
  // identity); answers their count (3 or 4).
  static Int Corners(const MeshPart& part, Bool moved, Int i, Vector (&corners)[4])
  {
    const Vector* points = part.object->GetPointR();
    const CPolygon& q = part.object->GetPolygonR()[i];
    const auto at = [&](Int32 k) { return moved ? part.toRoot * points[k] : points[k]; };
    const Int count = q.IsTriangle() ? 3 : 4;
    corners[0] = at(q.a);
    corners[1] = at(q.b);
    corners[2] = at(q.c);
    corners[3] = count == 4 ? at(q.d) : Vector();
    return count;
  }

private:
  struct Span
  {
    const MeshPart* part;
    Bool moved;
    Int first, last;
  };
  std::size_t PartOf(Int chunk) const
  {
    return static_cast<std::size_t>(std::upper_bound(_firstChunk.begin(), _firstChunk.end(), chunk) -
                                    _firstChunk.begin() - 1);
  }
  Span Locate(Int chunk, Int items) const
  {
    const std::size_t p = PartOf(chunk);
    const Int first = (chunk - _firstChunk[p]) * ITEMS_PER_CHUNK;
    return Span{&_parts[p], _parts[p].toRoot != Matrix(), first, std::min<Int>(first + ITEMS_PER_CHUNK, items)};
  }

  const std::vector<MeshPart>& _parts;
  std::vector<Int> _firstChunk;   // per part, its first chunk's index; then the total
};

struct Bounds
{
  Vector lo{MAXVALUE_FLOAT};
  Vector hi{-MAXVALUE_FLOAT};
  Bool any = false;

  void Add(const Vector& p)
  {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    any = true;
  }
  void Add(const Bounds& o)
  {
    if (o.any)
    {
      Add(o.lo);
      Add(o.hi);
    }
  }
};

// The surface height at a pixel from a triangle's corner heights. Out of line, so that the pass that
// finds which triangle gave a pixel its height computes that height to the very same bits.
[[gnu::noinline]] Float SurfaceHeight(Float w0, Float w1, Float w2, Float h0, Float h1, Float h2)
{
  return w0 * h0 + w1 * h1 + w2 * h2;
}

// Cuts the segment p0 + t (p1 - p0), t in [0, 1], to the rectangle [0, width] x [0, height]
// (Liang-Barsky); false when nothing of it lies inside.
Bool ClipToImage(Float& u0, Float& v0, Float& u1, Float& v1, Float width, Float height)
{
  const Float du = u1 - u0;
  const Float dv = v1 - v0;
  Float t0 = 0.0;
  Float t1 = 1.0;
  const Float p[4] = {-du, du, -dv, dv};
  const Float q[4] = {u0, width - u0, v0, height - v0};
  for (int k = 0; k < 4; ++k)
  {
    if (p[k] == 0.0)
    {
      if (q[k] < 0.0)
        return false;
      continue;
    }
    const Float r = q[k] / p[k];
    if (p[k] < 0.0)
      t0 = std::max(t0, r);
    else
      t1 = std::min(t1, r);
  }
  if (!(t0 <= t1))
    return false;
  const Float su = u0;
  const Float sv = v0;
  // Clamped as well: for ends far outside, rounding can leave a cut end off the rectangle, and the
  // line's pixel count must stay within the image's.
  u0 = std::clamp(su + t0 * du, 0.0, width);
  v0 = std::clamp(sv + t0 * dv, 0.0, height);
  u1 = std::clamp(su + t1 * du, 0.0, width);
  v1 = std::clamp(sv + t1 * dv, 0.0, height);
  return true;
}

template <typename T>
Result<void> Allocate(BaseArray<T>& array, Int count, const T& value)
{
  if (Result<void> r = array.Resize(count); r.IsError())
    return OutOfMemoryError("Not enough memory for the top view");
  std::fill(array.GetFirst(), array.GetFirst() + count, value);
  return OK;
}
} // namespace

Result<RgbaImage> RenderTopView(const std::vector<MeshPart>& parts, Int32 maxSize,
                                const std::vector<TopViewLine>& overlay, const SurfaceColour& colour)
{
  if (maxSize < 1 || maxSize > TOPVIEW_MAX_SIZE)
    return IllegalArgumentError("The top view's size must lie between 1 and " + String::IntToString(TOPVIEW_MAX_SIZE));

  // The image frames the mesh's finite points, per chunk (so the result does not hang on the threads'
  // order).
  const Chunks pointChunks(parts, true);
  BaseArray<Bounds> chunkBounds;
  HOST_TRY(Allocate(chunkBounds, pointChunks.GetCount(), Bounds()));
  HOST_TRY(ParallelFor(
    0, pointChunks.GetCount(),
    [&](Int chunk) {
      Bounds& b = chunkBounds[chunk];
      pointChunks.ForEachPoint(chunk, [&b](const Vector& p) {
        if (IsFinite(p))
          b.Add(p);
      });
    },
    0, 1));
  Bounds bounds;
  for (Int i = 0; i < pointChunks.GetCount(); ++i)
    bounds.Add(chunkBounds[i]);
  chunkBounds.Reset();

  RgbaImage image;
  const auto allocateImage = [&image](Int32 w, Int32 h) -> Result<void> {
    image.width = w;
    image.height = h;
    try
    {
      if (host::AllocationShouldFail())
        throw std::bad_alloc();
      image.pixels.assign(static_cast<std::size_t>(w) * h * 4, 0);
    }
    catch (const std::bad_alloc&)
    {
      return OutOfMemoryError("Not enough memory for the top view");
    }
    return OK;
  };
  if (!bounds.any)
  {
    HOST_TRY(allocateImage(maxSize, maxSize));
    return image;
  }

  // Everything below works in half units: halves of finite doubles never overflow when subtracted or
  // averaged, so a mesh reaching towards the largest doubles still maps into the image. Halving is
  // exact, so any other mesh gives the very values full units would.
  const Vector lo = bounds.lo * 0.5;
  const Vector hi = bounds.hi * 0.5;
  const Float extentX = hi.x - lo.x;
  const Float extentZ = hi.z - lo.z;
  Int32 width = maxSize;
  Int32 height = maxSize;
  if (extentX > extentZ)
    height = std::max<Int32>(1, static_cast<Int32>(std::lround(maxSize * (extentZ / extentX))));
  else if (extentZ > extentX)
    width = std::max<Int32>(1, static_cast<Int32>(std::lround(maxSize * (extentX / extentZ))));
  // (Half) world units per pixel; a mesh without extent along an axis still maps onto one pixel.
  const Float cellX = extentX > 0.0 ? extentX / width : 1.0;
  const Float cellZ = extentZ > 0.0 ? extentZ / height : 1.0;

  // Image coordinates: u to the east, v to the south, pixel centres at half steps.
  const Float pixelsPerX = extentX > 0.0 ? width / extentX : 1.0;
  const Float pixelsPerZ = extentZ > 0.0 ? height / extentZ : 1.0;
  struct ImagePoint
  {
    Float u, v, h;   // h: the height in half units
  };
  const auto toImage = [&](const Vector& p) {
    return ImagePoint{(p.x * 0.5 - lo.x) * pixelsPerX, (hi.z - p.z * 0.5) * pixelsPerZ, p.y * 0.5};
  };
  // The rows whose centre lies between two v (none when first > last).
  const auto rowsBetween = [height](Float vmin, Float vmax, Int32& first, Int32& last) {
    first = static_cast<Int32>(std::clamp(std::ceil(vmin - 0.5), 0.0, static_cast<Float>(height)));
    last = static_cast<Int32>(std::clamp(std::floor(vmax - 0.5), -1.0, static_cast<Float>(height - 1)));
  };

  // The highest surface under each pixel centre (in half units); -infinity where nothing covers it.
  const Float EMPTY = -std::numeric_limits<Float>::infinity();
  BaseArray<Float> surface;
  HOST_TRY(Allocate(surface, static_cast<Int>(width) * height, EMPTY));
  Float* const cells = surface.GetFirst();
  // Barycentric weights of the pixel centre (pu, pv) in a triangle of that (non-zero) area, clamped so
  // rounding at an edge never extrapolates.
  const auto weights = [](const ImagePoint& p0, const ImagePoint& p1, const ImagePoint& p2, Float area, Float pu,
                          Float pv, Float& w0, Float& w1, Float& w2) {
    w1 = std::clamp(((pu - p0.u) * (p2.v - p0.v) - (p2.u - p0.u) * (pv - p0.v)) / area, 0.0, 1.0);
    w2 = std::clamp(((p1.u - p0.u) * (pv - p0.v) - (pu - p0.u) * (p1.v - p0.v)) / area, 0.0, 1.0);
    w0 = std::max(0.0, 1.0 - w1 - w2);
  };
  // Calls visit(cell, height) for every pixel whose centre the triangle covers.
  const auto rasterise = [&](const ImagePoint& p0, const ImagePoint& p1, const ImagePoint& p2, auto&& visit) {
    const Float u0 = p0.u, v0 = p0.v, u1 = p1.u, v1 = p1.v, u2 = p2.u, v2 = p2.v;
    Int32 firstRow, lastRow;
    rowsBetween(std::min({v0, v1, v2}), std::max({v0, v1, v2}), firstRow, lastRow);
    if (firstRow > lastRow)
      return;
    const Float area = (u1 - u0) * (v2 - v0) - (u2 - u0) * (v1 - v0);
    if (area == 0.0)
      return;   // seen edge-on from above: covers nothing
    const Float h0 = p0.h, h1 = p1.h, h2 = p2.h;
    const Float us[3] = {u0, u1, u2};
    const Float vs[3] = {v0, v1, v2};
    for (Int32 row = firstRow; row <= lastRow; ++row)
    {
      const Float pv = static_cast<Float>(row) + 0.5;
      // The span of this row inside the triangle: intersect the row line with its three edges.
      Float umin = MAXVALUE_FLOAT, umax = -MAXVALUE_FLOAT;
      for (int e = 0; e < 3; ++e)
      {
        Float ua = us[e], va = vs[e], ub = us[(e + 1) % 3], vb = vs[(e + 1) % 3];
        // Every edge is walked from the same end whichever triangle it belongs to, so the two triangles
        // that share it compute the very same crossing and no pixel centre falls between them.
        if (va > vb || (va == vb && ua > ub))
        {
          std::swap(ua, ub);
          std::swap(va, vb);
        }
        if ((pv < std::min(va, vb)) || (pv > std::max(va, vb)))
          continue;
        if (va == vb)
        {
          umin = std::min({umin, ua, ub});
          umax = std::max({umax, ua, ub});
        }
        else
        {
          const Float u = ua + (ub - ua) * (pv - va) / (vb - va);
          umin = std::min(umin, u);
          umax = std::max(umax, u);
        }
      }
      const Int32 first = static_cast<Int32>(std::clamp(std::ceil(umin - 0.5), 0.0, static_cast<Float>(width)));
      const Int32 last = static_cast<Int32>(std::clamp(std::floor(umax - 0.5), -1.0, static_cast<Float>(width - 1)));
      const std::size_t rowStart = static_cast<std::size_t>(row) * width;
      for (Int32 col = first; col <= last; ++col)
      {
        Float w0, w1, w2;
        weights(p0, p1, p2, area, static_cast<Float>(col) + 0.5, pv, w0, w1, w2);
        visit(rowStart + static_cast<std::size_t>(col), SurfaceHeight(w0, w1, w2, h0, h1, h2));
      }
    }
  };
  // Calls draw(a, b, c, half) for each triangle of a polygon that can cover pixels (half 0: a-b-c,
  // half 1: a-c-d).
  const auto forEachTriangle = [&](const Vector (&c)[4], Int count, auto&& draw) {
    // Most polygons of a large mesh lie between two rows' centres and cover no pixel at all: that is
    // settled from v alone. A v that is not finite (a corner that is not) goes on to the full test.
    const Float v[4] = {toImage(c[0]).v, toImage(c[1]).v, toImage(c[2]).v, count == 4 ? toImage(c[3]).v : toImage(c[2]).v};
    if (std::isfinite(v[0] + v[1] + v[2] + v[3]))
    {
      Int32 firstRow, lastRow;
      rowsBetween(std::min({v[0], v[1], v[2], v[3]}), std::max({v[0], v[1], v[2], v[3]}), firstRow, lastRow);
      if (firstRow > lastRow)
        return;
    }
    // A triangle with a corner that is not finite is a hole: no such point ever becomes a pixel index.
    const Bool acFinite = IsFinite(c[0]) && IsFinite(c[2]);
    if (acFinite && IsFinite(c[1]))
      draw(toImage(c[0]), toImage(c[1]), toImage(c[2]), 0);
    if (count == 4 && acFinite && IsFinite(c[3]))
      draw(toImage(c[0]), toImage(c[2]), toImage(c[3]), 1);
  };
  const Chunks polygonChunks(parts, false);
  HOST_TRY(ParallelFor(
    0, polygonChunks.GetCount(),
    [&](Int chunk) {
      polygonChunks.ForEachPolygon(chunk, [&](const Vector (&c)[4], Int count, std::size_t, Int) {
        forEachTriangle(c, count, [&](const ImagePoint& a, const ImagePoint& b, const ImagePoint& d, Int) {
          rasterise(a, b, d, [&](std::size_t cell, Float h) { AtomicMax(cells[cell], h); });
        });
      });
    },
    0, 1));

  // With colour: which triangle each pixel's height came from, as 1 + (polygon's index over all parts)
  // x 2 + half; 0 where nothing covers the pixel.
  std::vector<Int> partFirstPolygon;
  std::vector<const UVWStruct*> partUvws;
  BaseArray<UInt64> owners;
  if (colour)
  {
    Int polygons = 0;
    for (const MeshPart& part : parts)
    {
      partFirstPolygon.push_back(polygons);
      partUvws.push_back(PartUvws(part.object));
      polygons += part.object->GetPolygonCount();
    }
    HOST_TRY(Allocate(owners, static_cast<Int>(width) * height, UInt64(0)));
    UInt64* const owner = owners.GetFirst();
    HOST_TRY(ParallelFor(
      0, polygonChunks.GetCount(),
      [&](Int chunk) {
        polygonChunks.ForEachPolygon(chunk, [&](const Vector (&c)[4], Int count, std::size_t part, Int i) {
          const UInt64 polygon = static_cast<UInt64>(partFirstPolygon[part] + i);
          forEachTriangle(c, count, [&](const ImagePoint& a, const ImagePoint& b, const ImagePoint& d, Int half) {
            const UInt64 key = 1 + polygon * 2 + static_cast<UInt64>(half);
            rasterise(a, b, d, [&](std::size_t cell, Float h) {
              if (h == cells[cell])
                AtomicMax(owner[cell], key);
            });
          });
        });
      },
      0, 1));
  }
  // The colour at pixel (x, y) from the triangle that owns it, or false to keep the height tint.
  const auto surfaceColour = [&](Int32 x, Int32 y, Vector& out) {
    const UInt64 key = owners.GetFirst()[static_cast<std::size_t>(y) * width + x];
    if (key == 0)
      return false;
    const Int polygon = static_cast<Int>((key - 1) / 2);
    const Int half = static_cast<Int>((key - 1) % 2);
    const std::size_t part = static_cast<std::size_t>(
      std::upper_bound(partFirstPolygon.begin(), partFirstPolygon.end(), polygon) - partFirstPolygon.begin() - 1);
    const UVWStruct* uvws = partUvws[part];
    if (!uvws)
      return false;
    const Int i = polygon - partFirstPolygon[part];
    Vector corners[4];
    Chunks::Corners(parts[part], parts[part].toRoot != Matrix(), i, corners);
    const UVWStruct& uv = uvws[i];
    const Vector cornerUv[4] = {uv.a, uv.b, uv.c, uv.d};
    const int k1 = half == 0 ? 1 : 2;
    const int k2 = half == 0 ? 2 : 3;
    const ImagePoint p0 = toImage(corners[0]), p1 = toImage(corners[k1]), p2 = toImage(corners[k2]);
    const Float area = (p1.u - p0.u) * (p2.v - p0.v) - (p2.u - p0.u) * (p1.v - p0.v);
    Float w0 = 1.0, w1 = 0.0, w2 = 0.0;
    if (area != 0.0)
      weights(p0, p1, p2, area, static_cast<Float>(x) + 0.5, static_cast<Float>(y) + 0.5, w0, w1, w2);
    out = colour(cornerUv[0] * w0 + cornerUv[k1] * w1 + cornerUv[k2] * w2) * 255.0;
    return true;
  };

  // Hillshade from the surface's slopes (central differences, one-sided at edges and next to empty
  // pixels), tinted by height.
  HOST_TRY(allocateImage(width, height));
  const Float heightRange = hi.y - lo.y;
  const auto at = [&](Int32 x, Int32 y) { return cells[static_cast<std::size_t>(y) * width + x]; };
  const auto shadeRow = [&](Int row) {
    const auto y = static_cast<Int32>(row);
    UChar* out = image.pixels.data() + static_cast<std::size_t>(y) * width * 4;
    for (Int32 x = 0; x < width; ++x)
    {
      const Float h = at(x, y);
      if (h == EMPTY)
        continue;
      // Neighbours that are missing stand in with the centre, halving the step on that side.
      const Bool hasWest = x > 0 && at(x - 1, y) != EMPTY;
      const Bool hasEast = x + 1 < width && at(x + 1, y) != EMPTY;
      const Bool hasNorth = y > 0 && at(x, y - 1) != EMPTY;
      const Bool hasSouth = y + 1 < height && at(x, y + 1) != EMPTY;
      const Float west = hasWest ? at(x - 1, y) : h;
      const Float east = hasEast ? at(x + 1, y) : h;
      const Float north = hasNorth ? at(x, y - 1) : h;
      const Float south = hasSouth ? at(x, y + 1) : h;
      const Float stepsX = (hasWest ? 1.0 : 0.0) + (hasEast ? 1.0 : 0.0);
      const Float stepsZ = (hasNorth ? 1.0 : 0.0) + (hasSouth ? 1.0 : 0.0);
      // Halves again: the difference of two half heights stays finite.
      const Float dhdx = stepsX > 0.0 ? (east * 0.5 - west * 0.5) / (stepsX * cellX * 0.5) : 0.0;
      const Float dhdz = stepsZ > 0.0 ? (north * 0.5 - south * 0.5) / (stepsZ * cellZ * 0.5) : 0.0;   // +Z is north
      const Vector normal =
        Vector(-std::clamp(dhdx, -MAX_SLOPE, MAX_SLOPE), 1.0, -std::clamp(dhdz, -MAX_SLOPE, MAX_SLOPE)).GetNormalized();
      const Float light = AMBIENT + (1.0 - AMBIENT) * std::max(0.0, Dot(normal, LIGHT_DIRECTION));
      Vector tint;
      if (!colour || !surfaceColour(x, y, tint))
        tint = Tint(heightRange > 0.0 ? (h - lo.y) / heightRange : 0.5);
      out[x * 4 + 0] = ToByte(tint.x * light);
      out[x * 4 + 1] = ToByte(tint.y * light);
      out[x * 4 + 2] = ToByte(tint.z * light);
      out[x * 4 + 3] = 255;
    }
  };
  HOST_TRY(ParallelFor(0, height, shadeRow, 0, LOOP_GRANULARITY));

  // The lines, one after the other on one thread: lines may cross, and a pixel has one colour. A
  // clipped line spans at most the image's width plus height in pixels.
  const auto drawLine = [&](Int index) {
    const TopViewLine& line = overlay[static_cast<std::size_t>(index)];
    if (!IsFinite(line.a) || !IsFinite(line.b))
      return;
    const ImagePoint a = toImage(line.a);
    const ImagePoint b = toImage(line.b);
    Float u0 = a.u, v0 = a.v, u1 = b.u, v1 = b.v;
    if (!ClipToImage(u0, v0, u1, v1, width, height))
      return;
    const UChar rgb[3] = {ToByte(line.colour.x * 255.0), ToByte(line.colour.y * 255.0), ToByte(line.colour.z * 255.0)};
    const Int steps = static_cast<Int>(std::ceil(std::max(std::abs(u1 - u0), std::abs(v1 - v0)))) + 1;
    for (Int k = 0; k <= steps; ++k)
    {
      const Float t = static_cast<Float>(k) / static_cast<Float>(steps);
      const auto x = static_cast<Int32>(std::clamp(std::floor(u0 + (u1 - u0) * t), 0.0, static_cast<Float>(width - 1)));
      const auto y = static_cast<Int32>(std::clamp(std::floor(v0 + (v1 - v0) * t), 0.0, static_cast<Float>(height - 1)));
      UChar* out = image.pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      out[0] = rgb[0];
      out[1] = rgb[1];
      out[2] = rgb[2];
      out[3] = 255;
    }
  };
  HOST_TRY(ParallelFor(0, static_cast<Int>(overlay.size()), drawLine, 1, LOOP_GRANULARITY));
  return image;
}
} // namespace host::app
