// The top-view rasteriser and hillshade; see topview.h.
#include "topview.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "host/core/parallel.h"

namespace host::app
{
namespace
{
constexpr Int32 TOPVIEW_MAX_SIZE = 16384;
constexpr Int LOOP_GRANULARITY = 16;

// Towards the light: from the north-west (-X, +Z), 45 degrees above the horizon; unit length.
constexpr Vector LIGHT_DIRECTION{-0.5, 0.7071067811865476, 0.5};
// Light that reaches even faces turned away, so steep shadowed slopes keep their tint.
constexpr Float AMBIENT = 0.35;

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

struct Triangle
{
  UInt32 a, b, c;
};

UChar ToByte(Float v)
{
  return static_cast<UChar>(std::clamp(std::lround(v), 0L, 255L));
}
} // namespace

Result<RgbaImage> RenderTopView(const std::vector<MeshPart>& parts, Int32 maxSize)
{
  if (maxSize < 1 || maxSize > TOPVIEW_MAX_SIZE)
    return IllegalArgumentError("The top view's size must lie between 1 and " + String::IntToString(TOPVIEW_MAX_SIZE));

  // Every point in the root's space, and the triangles over them (quads split along a-c).
  Int total = 0;
  for (const MeshPart& part : parts)
    total += part.object->GetPointCount();
  if (total > static_cast<Int>(std::numeric_limits<UInt32>::max()))
    return IllegalArgumentError("The mesh has too many points for the top view");
  std::vector<Vector> points;
  std::vector<Triangle> triangles;
  points.reserve(static_cast<std::size_t>(total));
  for (const MeshPart& part : parts)
  {
    const auto base = static_cast<UInt32>(points.size());
    const Vector* src = part.object->GetPointR();
    for (Int32 i = 0; i < part.object->GetPointCount(); ++i)
      points.push_back(part.toRoot * src[i]);
    const CPolygon* polys = part.object->GetPolygonR();
    for (Int32 i = 0; i < part.object->GetPolygonCount(); ++i)
    {
      const CPolygon& q = polys[i];
      triangles.push_back({base + static_cast<UInt32>(q.a), base + static_cast<UInt32>(q.b), base + static_cast<UInt32>(q.c)});
      if (!q.IsTriangle())
        triangles.push_back({base + static_cast<UInt32>(q.a), base + static_cast<UInt32>(q.c), base + static_cast<UInt32>(q.d)});
    }
  }

  RgbaImage image;
  if (triangles.empty())
  {
    image.width = image.height = maxSize;
    image.pixels.assign(static_cast<std::size_t>(maxSize) * maxSize * 4, 0);
    return image;
  }

  Vector lo(MAXVALUE_FLOAT);
  Vector hi(-MAXVALUE_FLOAT);
  for (const Triangle& t : triangles)
    for (const UInt32 i : {t.a, t.b, t.c})
    {
      const Vector& p = points[i];
      lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
      hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
  const Float extentX = hi.x - lo.x;
  const Float extentZ = hi.z - lo.z;
  Int32 width = maxSize;
  Int32 height = maxSize;
  if (extentX > extentZ)
    height = std::max<Int32>(1, static_cast<Int32>(std::lround(maxSize * extentZ / extentX)));
  else if (extentZ > extentX)
    width = std::max<Int32>(1, static_cast<Int32>(std::lround(maxSize * extentX / extentZ)));
  // World units per pixel; a mesh without extent along an axis still maps onto one pixel.
  const Float cellX = extentX > 0.0 ? extentX / width : 1.0;
  const Float cellZ = extentZ > 0.0 ? extentZ / height : 1.0;

  // Image coordinates: u to the east, v to the south, pixel centres at half steps.
  const auto toU = [&](const Vector& p) { return (p.x - lo.x) / cellX; };
  const auto toV = [&](const Vector& p) { return (hi.z - p.z) / cellZ; };

  // Rows each triangle may cover (the rows whose centre lies within its extent in v), as a counting
  // sort: rowStart[r]..rowStart[r+1] index the triangles of row r.
  const auto rowRange = [&](const Triangle& t, Int32& first, Int32& last) {
    const Float v0 = toV(points[t.a]), v1 = toV(points[t.b]), v2 = toV(points[t.c]);
    const Float vmin = std::min({v0, v1, v2});
    const Float vmax = std::max({v0, v1, v2});
    first = static_cast<Int32>(std::clamp(std::ceil(vmin - 0.5), 0.0, static_cast<Float>(height)));
    last = static_cast<Int32>(std::clamp(std::floor(vmax - 0.5), -1.0, static_cast<Float>(height - 1)));
  };
  std::vector<UInt32> rowStart(static_cast<std::size_t>(height) + 1, 0);
  for (const Triangle& t : triangles)
  {
    Int32 first, last;
    rowRange(t, first, last);
    for (Int32 r = first; r <= last; ++r)
      ++rowStart[static_cast<std::size_t>(r) + 1];
  }
  for (Int32 r = 0; r < height; ++r)
    rowStart[static_cast<std::size_t>(r) + 1] += rowStart[static_cast<std::size_t>(r)];
  std::vector<UInt32> rowTriangles(rowStart.back());
  {
    std::vector<UInt32> fill(rowStart.begin(), rowStart.end() - 1);
    for (std::size_t i = 0; i < triangles.size(); ++i)
    {
      Int32 first, last;
      rowRange(triangles[i], first, last);
      for (Int32 r = first; r <= last; ++r)
        rowTriangles[fill[static_cast<std::size_t>(r)]++] = static_cast<UInt32>(i);
    }
  }

  // The highest surface under each pixel centre; -infinity where nothing covers it.
  const Float EMPTY = -std::numeric_limits<Float>::infinity();
  std::vector<Float> surface(static_cast<std::size_t>(width) * height, EMPTY);
  const auto rasteriseRow = [&](Int row) {
    const Float pv = static_cast<Float>(row) + 0.5;
    Float* out = surface.data() + static_cast<std::size_t>(row) * width;
    for (UInt32 k = rowStart[static_cast<std::size_t>(row)]; k < rowStart[static_cast<std::size_t>(row) + 1]; ++k)
    {
      const Triangle& t = triangles[rowTriangles[k]];
      const Vector& p0 = points[t.a];
      const Vector& p1 = points[t.b];
      const Vector& p2 = points[t.c];
      const Float u0 = toU(p0), v0 = toV(p0), u1 = toU(p1), v1 = toV(p1), u2 = toU(p2), v2 = toV(p2);
      const Float area = (u1 - u0) * (v2 - v0) - (u2 - u0) * (v1 - v0);
      if (area == 0.0)
        continue;   // seen edge-on from above: covers nothing
      // The span of this row inside the triangle: intersect the row line with its three edges.
      Float umin = MAXVALUE_FLOAT, umax = -MAXVALUE_FLOAT;
      const Float us[3] = {u0, u1, u2};
      const Float vs[3] = {v0, v1, v2};
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
      for (Int32 col = first; col <= last; ++col)
      {
        const Float pu = static_cast<Float>(col) + 0.5;
        // Barycentric weights of the pixel centre, clamped so rounding at an edge never extrapolates.
        const Float w1 = std::clamp(((pu - u0) * (v2 - v0) - (u2 - u0) * (pv - v0)) / area, 0.0, 1.0);
        const Float w2 = std::clamp(((u1 - u0) * (pv - v0) - (pu - u0) * (v1 - v0)) / area, 0.0, 1.0);
        const Float w0 = std::max(0.0, 1.0 - w1 - w2);
        const Float y = w0 * p0.y + w1 * p1.y + w2 * p2.y;
        if (y > out[col])
          out[col] = y;
      }
    }
  };
  HOST_TRY(ParallelFor(0, height, rasteriseRow, 0, LOOP_GRANULARITY));

  // Hillshade from the surface's slopes (central differences, one-sided at edges and next to empty
  // pixels), tinted by height.
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<std::size_t>(width) * height * 4, 0);
  const Float heightRange = hi.y - lo.y;
  const auto at = [&](Int32 x, Int32 y) { return surface[static_cast<std::size_t>(y) * width + x]; };
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
      const Float dhdx = stepsX > 0.0 ? (east - west) / (stepsX * cellX) : 0.0;
      const Float dhdz = stepsZ > 0.0 ? (north - south) / (stepsZ * cellZ) : 0.0;   // +Z is north (up the image)
      const Vector normal = Vector(-dhdx, 1.0, -dhdz).GetNormalized();
      const Float light = AMBIENT + (1.0 - AMBIENT) * std::max(0.0, Dot(normal, LIGHT_DIRECTION));
      const Vector tint = Tint(heightRange > 0.0 ? (h - lo.y) / heightRange : 0.5);
      out[x * 4 + 0] = ToByte(tint.x * light);
      out[x * 4 + 1] = ToByte(tint.y * light);
      out[x * 4 + 2] = ToByte(tint.z * light);
      out[x * 4 + 3] = 255;
    }
  };
  HOST_TRY(ParallelFor(0, height, shadeRow, 0, LOOP_GRANULARITY));
  return image;
}
} // namespace host::app
