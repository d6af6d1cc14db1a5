// Draws the module's two icon sheets and its logo and writes them as 8-bit RGBA TIFF files:
//   orogenix_icons.tif       640 x 192, the plug-in and command icons, 64 x 64 cells
//   orogenix_blendmodes.tif  640 x 128, the fifteen blend-mode icons, ten in the top row, five below
//   ogx_logo.tif             256 x 80, the About dialog's logo
// Usage: ogx_make_icons <output directory>   (the repository's res/ folder)
//
// Every picture is drawn procedurally from signed distance functions (pixels, y down, cell origin at
// the top-left), so the sheets can be rebuilt and changed as code. Edges are antialiased by the
// distance at the pixel centre; colours are composited "over" in premultiplied form and written with
// straight (unassociated) alpha. Shapes get a dark outline so they read on light and dark backgrounds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <tiffio.h>

namespace
{
constexpr int kCell = 64;
constexpr double kPi = 3.14159265358979323846;

struct Colour
{
  double r = 0.0, g = 0.0, b = 0.0, a = 1.0;
};

constexpr Colour WithAlpha(Colour c, double a)
{
  c.a = a;
  return c;
}

Colour Mix(const Colour& x, const Colour& y, double t)
{
  return {x.r + (y.r - x.r) * t, x.g + (y.g - x.g) * t, x.b + (y.b - x.b) * t, x.a + (y.a - x.a) * t};
}

Colour Scale(const Colour& c, double f)
{
  return {c.r * f, c.g * f, c.b * f, c.a};
}

// Palette: generators warm/green, filters blue, commands neutral with a coloured badge.
constexpr Colour kOutline{0.10, 0.11, 0.13, 1.0};
constexpr Colour kWhite{0.97, 0.97, 0.96, 1.0};
constexpr Colour kGrey{0.55, 0.57, 0.60, 1.0};
constexpr Colour kDarkGrey{0.30, 0.32, 0.35, 1.0};
constexpr Colour kGreen{0.36, 0.70, 0.35, 1.0};
constexpr Colour kDarkGreen{0.20, 0.42, 0.22, 1.0};
constexpr Colour kBrown{0.58, 0.44, 0.30, 1.0};
constexpr Colour kSnow{0.95, 0.96, 0.98, 1.0};
constexpr Colour kBlue{0.28, 0.55, 0.90, 1.0};
constexpr Colour kLightBlue{0.60, 0.78, 0.97, 1.0};
constexpr Colour kOrange{0.96, 0.60, 0.20, 1.0};
constexpr Colour kYellow{0.97, 0.78, 0.30, 1.0};
constexpr Colour kPurple{0.62, 0.42, 0.86, 1.0};
constexpr Colour kTeal{0.20, 0.68, 0.66, 1.0};
constexpr Colour kRed{0.88, 0.30, 0.27, 1.0};
constexpr double kOutlineWidth = 1.5;

// An RGBA image held premultiplied while drawing.
class Sheet
{
public:
  Sheet(int width, int height) : _w(width), _h(height), _px(static_cast<std::size_t>(width) * height * 4, 0.0) {}

  int Width() const { return _w; }
  int Height() const { return _h; }

  // Composites c (straight alpha) over the pixel with the extra coverage cov.
  void Over(int x, int y, const Colour& c, double cov)
  {
    if (x < 0 || y < 0 || x >= _w || y >= _h)
      return;
    const double a = std::clamp(c.a * cov, 0.0, 1.0);
    if (a <= 0.0)
      return;
    double* p = &_px[(static_cast<std::size_t>(y) * _w + x) * 4];
    p[0] = c.r * a + p[0] * (1.0 - a);
    p[1] = c.g * a + p[1] * (1.0 - a);
    p[2] = c.b * a + p[2] * (1.0 - a);
    p[3] = a + p[3] * (1.0 - a);
  }

  // Straight-alpha 8-bit RGBA bytes, row 0 at the top.
  std::vector<std::uint8_t> ToBytes() const
  {
    std::vector<std::uint8_t> out(_px.size());
    for (std::size_t i = 0; i < _px.size(); i += 4)
    {
      const double a = _px[i + 3];
      for (int c = 0; c < 3; ++c)
      {
        const double v = a > 0.0 ? _px[i + c] / a : 0.0;
        out[i + c] = static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
      }
      out[i + 3] = static_cast<std::uint8_t>(std::lround(std::clamp(a, 0.0, 1.0) * 255.0));
    }
    return out;
  }

private:
  int _w, _h;
  std::vector<double> _px;
};

struct Vec
{
  double x = 0.0, y = 0.0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
double Length(Vec a) { return std::sqrt(Dot(a, a)); }

using Sdf = std::function<double(Vec)>;
using Paint = std::function<Colour(Vec)>;
using Points = std::vector<Vec>;

// ---------------------------------------------------------------------------------------------------
// Distance functions (negative inside).

Sdf Circle(Vec c, double r)
{
  return [=](Vec p) { return Length(p - c) - r; };
}

// Box centred at c with half sizes h and corner radius r.
Sdf RoundBox(Vec c, Vec h, double r)
{
  return [=](Vec p) {
    const Vec q{std::abs(p.x - c.x) - h.x + r, std::abs(p.y - c.y) - h.y + r};
    const Vec outside{std::max(q.x, 0.0), std::max(q.y, 0.0)};
    return Length(outside) + std::min(std::max(q.x, q.y), 0.0) - r;
  };
}

double SegmentDistance(Vec p, Vec a, Vec b)
{
  const Vec pa = p - a, ba = b - a;
  const double len2 = Dot(ba, ba);
  const double t = len2 > 0.0 ? std::clamp(Dot(pa, ba) / len2, 0.0, 1.0) : 0.0;
  return Length(pa - ba * t);
}

// A round-capped line through the points.
Sdf Stroke(Points pts, double width)
{
  return [pts = std::move(pts), width](Vec p) {
    double d = 1e9;
    for (std::size_t i = 0; i + 1 < pts.size(); ++i)
      d = std::min(d, SegmentDistance(p, pts[i], pts[i + 1]));
    if (pts.size() == 1)
      d = Length(p - pts[0]);
    return d - width * 0.5;
  };
}

// Exact distance to a closed polygon, with the even-odd rule for the sign.
Sdf Polygon(Points pts)
{
  return [pts = std::move(pts)](Vec p) {
    double d = 1e18;
    bool inside = false;
    for (std::size_t i = 0, j = pts.size() - 1; i < pts.size(); j = i++)
    {
      const Vec a = pts[j], b = pts[i];
      d = std::min(d, SegmentDistance(p, a, b));
      if ((b.y > p.y) != (a.y > p.y) && p.x < (a.x - b.x) * (p.y - b.y) / (a.y - b.y) + b.x)
        inside = !inside;
    }
    return inside ? -d : d;
  };
}

Sdf Union(Sdf a, Sdf b)
{
  return [=](Vec p) { return std::min(a(p), b(p)); };
}
Sdf Intersect(Sdf a, Sdf b)
{
  return [=](Vec p) { return std::max(a(p), b(p)); };
}
Sdf Subtract(Sdf a, Sdf b)
{
  return [=](Vec p) { return std::max(a(p), -b(p)); };
}
Sdf Grow(Sdf a, double by)
{
  return [=](Vec p) { return a(p) - by; };
}

Points Bezier(Vec p0, Vec p1, Vec p2, Vec p3, int steps = 48)
{
  Points pts;
  for (int i = 0; i <= steps; ++i)
  {
    const double t = static_cast<double>(i) / steps, u = 1.0 - t;
    pts.push_back(p0 * (u * u * u) + p1 * (3 * u * u * t) + p2 * (3 * u * t * t) + p3 * (t * t * t));
  }
  return pts;
}

Points Arc(Vec c, double r, double from, double to, int steps = 32)
{
  Points pts;
  for (int i = 0; i <= steps; ++i)
  {
    const double t = from + (to - from) * i / steps;
    pts.push_back({c.x + r * std::cos(t), c.y + r * std::sin(t)});
  }
  return pts;
}

Points Graph(double x0, double x1, const std::function<double(double)>& f, int steps = 64)
{
  Points pts;
  for (int i = 0; i <= steps; ++i)
  {
    const double x = x0 + (x1 - x0) * i / steps;
    pts.push_back({x, f(x)});
  }
  return pts;
}

// ---------------------------------------------------------------------------------------------------
// Drawing into one cell.

class Cell
{
public:
  Cell(Sheet& sheet, int col, int row) : _sheet(sheet), _ox(col * kCell), _oy(row * kCell) {}
  // A whole sheet as one drawing area.
  explicit Cell(Sheet& sheet) : _sheet(sheet), _ox(0), _oy(0), _w(sheet.Width()), _h(sheet.Height()) {}

  void Fill(const Sdf& sdf, const Paint& paint)
  {
    for (int y = 0; y < _h; ++y)
      for (int x = 0; x < _w; ++x)
      {
        const Vec p{x + 0.5, y + 0.5};
        const double cov = std::clamp(0.5 - sdf(p), 0.0, 1.0);
        if (cov > 0.0)
          _sheet.Over(_ox + x, _oy + y, paint(p), cov);
      }
  }
  void Fill(const Sdf& sdf, const Colour& c)
  {
    Fill(sdf, [c](Vec) { return c; });
  }
  // The shape with a dark rim around it.
  void Outlined(const Sdf& sdf, const Paint& paint)
  {
    Fill(Grow(sdf, kOutlineWidth), kOutline);
    Fill(sdf, paint);
  }
  void Outlined(const Sdf& sdf, const Colour& c)
  {
    Outlined(sdf, [c](Vec) { return c; });
  }
  // Per-pixel colours with their own alpha (soft shapes).
  void Field(const Paint& paint)
  {
    for (int y = 0; y < _h; ++y)
      for (int x = 0; x < _w; ++x)
        _sheet.Over(_ox + x, _oy + y, paint({x + 0.5, y + 0.5}), 1.0);
  }

private:
  Sheet& _sheet;
  int _ox, _oy;
  int _w = kCell, _h = kCell;
};

Paint Vertical(Colour top, Colour bottom, double y0, double y1)
{
  return [=](Vec p) { return Mix(top, bottom, std::clamp((p.y - y0) / (y1 - y0), 0.0, 1.0)); };
}

// Smooth value noise in [0, 1]: hashed lattice values, smoothstep blend, two octaves.
double Hash(int x, int y)
{
  std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return ((h ^ (h >> 16)) & 0xFFFFu) / 65535.0;
}

double ValueNoise(double x, double y)
{
  const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
  const double fx = x - ix, fy = y - iy;
  const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const double a = Hash(ix, iy), b = Hash(ix + 1, iy), c = Hash(ix, iy + 1), d = Hash(ix + 1, iy + 1);
  return (a + (b - a) * sx) + ((c + (d - c) * sx) - (a + (b - a) * sx)) * sy;
}

double Fbm(double x, double y)
{
  return (ValueNoise(x, y) * 2.0 + ValueNoise(x * 2.1 + 5.3, y * 2.1 + 1.7)) / 3.0;
}

// A dashed straight line.
void Dashed(Cell& cell, Vec a, Vec b, double dash, double width, const Colour& c)
{
  const double len = Length(b - a);
  const Vec dir = (b - a) * (1.0 / len);
  for (double t = 0.0; t < len; t += dash * 2.0)
    cell.Fill(Stroke({a + dir * t, a + dir * std::min(t + dash, len)}, width), c);
}

// A round badge with a glyph, in the lower right corner of command icons.
void Badge(Cell& cell, const Colour& fill, const std::function<void(Cell&, Vec)>& glyph)
{
  const Vec c{47, 47};
  cell.Outlined(Circle(c, 13), fill);
  glyph(cell, c);
}

void PlusGlyph(Cell& cell, Vec c, double half, double width, const Colour& col)
{
  cell.Fill(Union(Stroke({{c.x - half, c.y}, {c.x + half, c.y}}, width), Stroke({{c.x, c.y - half}, {c.x, c.y + half}}, width)),
            col);
}

void MinusGlyph(Cell& cell, Vec c, double half, double width, const Colour& col)
{
  cell.Fill(Stroke({{c.x - half, c.y}, {c.x + half, c.y}}, width), col);
}

// ---------------------------------------------------------------------------------------------------
// Main sheet pictures.

void DrawTerrain(Cell& cell)
{
  const Sdf land = Polygon({{3, 54}, {16, 28}, {23, 36}, {36, 10}, {48, 30}, {54, 24}, {61, 54}});
  cell.Outlined(land, Vertical(kBrown, kGreen, 14, 50));
  // Snow above a ragged line on the two highest peaks.
  const Sdf snowLine = [](Vec p) { return p.y - (20.0 + 1.6 * std::sin(p.x * 1.3)); };
  cell.Fill(Intersect(land, snowLine), kSnow);
  cell.Outlined(RoundBox({32, 56}, {29, 3}, 1.5), kDarkGreen);
}

void DrawNoise(Cell& cell)
{
  cell.Outlined(RoundBox({32, 32}, {26, 26}, 7), [](Vec p) {
    const double wx = p.x / 9.0 + 0.6 * std::sin(p.y / 7.0);
    const double v = Fbm(wx, p.y / 9.0);
    return Mix(Colour{0.16, 0.20, 0.34, 1}, Colour{0.80, 0.90, 0.98, 1}, std::clamp((v - 0.2) / 0.6, 0.0, 1.0));
  });
}

void DrawGradient(Cell& cell)
{
  cell.Outlined(RoundBox({32, 26}, {26, 16}, 4), [](Vec p) {
    return Mix(Colour{0.08, 0.09, 0.12, 1}, Colour{1.0, 1.0, 1.0, 1}, std::clamp((p.x - 8) / 48.0, 0.0, 1.0));
  });
  cell.Fill(Stroke({{8, 50}, {56, 50}}, 2), kGrey);
  cell.Outlined(Polygon({{9, 44}, {15, 55}, {3, 55}}), Colour{0.08, 0.09, 0.12, 1});
  cell.Outlined(Polygon({{55, 44}, {61, 55}, {49, 55}}), kWhite);
}

void DrawShader(Cell& cell)
{
  const Vec c{32, 32};
  const double r = 26;
  cell.Outlined(Circle(c, r), [=](Vec p) {
    const double dx = (p.x - c.x) / r, dy = (p.y - c.y) / r;
    const double nz = std::sqrt(std::max(0.0, 1.0 - dx * dx - dy * dy));
    // Light from the upper left, towards the viewer.
    const double lambert = std::max(0.0, -0.45 * dx - 0.55 * dy + 0.70 * nz);
    const double spec = std::pow(std::max(0.0, -0.35 * dx - 0.45 * dy + 0.82 * nz), 24);
    const bool check = (static_cast<int>(std::floor(p.x / 10.0)) + static_cast<int>(std::floor(p.y / 10.0))) % 2 == 0;
    const Colour base = check ? kOrange : Colour{0.98, 0.92, 0.78, 1};
    const Colour lit = Scale(base, 0.30 + 0.75 * lambert);
    return Mix(lit, kWhite, std::min(1.0, spec));
  });
}

void DrawSpline(Cell& cell)
{
  const Vec p0{8, 54}, p1{14, 8}, p2{50, 58}, p3{56, 10};
  cell.Fill(Stroke({p0, p1}, 1.5), kDarkGrey);
  cell.Fill(Stroke({p3, p2}, 1.5), kDarkGrey);
  const Points curve = Bezier(p0, p1, p2, p3);
  cell.Fill(Stroke(curve, 5 + 2 * kOutlineWidth), kOutline);
  cell.Fill(Stroke(curve, 5), kTeal);
  for (Vec h : {p1, p2})
    cell.Outlined(RoundBox(h, {3, 3}, 0.5), kYellow);
  for (Vec k : {p0, p3})
    cell.Outlined(Circle(k, 4), kWhite);
}

void DrawFolder(Cell& cell, Vec offset, double s)
{
  auto at = [&](double x, double y) { return Vec{offset.x + x * s, offset.y + y * s}; };
  const Sdf back = Union(RoundBox(at(32, 36), Vec{27, 20} * s, 3 * s), RoundBox(at(17, 17), Vec{12, 5} * s, 2.5 * s));
  cell.Outlined(back, Scale(kYellow, 0.80));
  cell.Outlined(RoundBox(at(32, 41), Vec{27, 15} * s, 3 * s), Vertical(kYellow, Scale(kYellow, 0.92), at(0, 26).y, at(0, 56).y));
}

void DrawGroup(Cell& cell)
{
  DrawFolder(cell, {0, 0}, 1.0);
}

void DrawAdjustment(Cell& cell)
{
  const double knob[3] = {40, 18, 31};
  for (int i = 0; i < 3; ++i)
  {
    const double x = 14 + 18 * i;
    cell.Outlined(RoundBox({x, 32}, {2, 25}, 2), kDarkGrey);
    cell.Outlined(RoundBox({x, knob[i]}, {7, 4.5}, 2), kLightBlue);
  }
}

void DrawBlur(Cell& cell)
{
  // Dots that lose their edge from the top left to the bottom right.
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i)
    {
      const int k = i + j;
      const Vec c{13.0 + 19 * i, 13.0 + 19 * j};
      const double r = 6.0, soft = 0.25 + 1.3 * k;
      if (k == 0)
        cell.Outlined(Circle(c, r), kBlue);
      else
        cell.Field([=](Vec p) { return WithAlpha(kBlue, std::clamp((r - Length(p - c)) / (2.0 * soft) + 0.5, 0.0, 1.0)); });
    }
}

void DrawClamp(Cell& cell)
{
  const double top = 17, bottom = 47;
  cell.Outlined(RoundBox({32, 10}, {27, 3}, 1.5), kDarkGrey);
  cell.Outlined(RoundBox({32, 54}, {27, 3}, 1.5), kDarkGrey);
  const Points wave = Graph(6, 58, [&](double x) { return std::clamp(32 - 25 * std::sin((x - 6) / 52.0 * 2 * kPi), top, bottom); });
  cell.Fill(Stroke(wave, 5 + 2 * kOutlineWidth), kOutline);
  cell.Fill(Stroke(wave, 5), kOrange);
}

void DrawCurve(Cell& cell)
{
  cell.Fill(Stroke({{8, 5}, {8, 57}, {60, 57}}, 3), kGrey);
  const Points s = Bezier({9, 55}, {40, 56}, {24, 8}, {58, 8});
  cell.Fill(Stroke(s, 5 + 2 * kOutlineWidth), kOutline);
  cell.Fill(Stroke(s, 5), kBlue);
  cell.Outlined(Circle({33, 31}, 4), kWhite);
}

void DrawMirror(Cell& cell)
{
  const Points half = {{3, 56}, {12, 30}, {19, 38}, {29, 12}, {29, 56}};
  Points mirrored;
  for (Vec p : half)
    mirrored.push_back({64 - p.x, p.y});
  cell.Outlined(Polygon(half), kBlue);
  cell.Outlined(Polygon(mirrored), kLightBlue);
  Dashed(cell, {32, 3}, {32, 61}, 4, 2 + 2 * kOutlineWidth, kOutline);
  Dashed(cell, {32, 3}, {32, 61}, 4, 2, kWhite);
}

Sdf Drop(Vec c, double r)
{
  // A round body with a point above it whose sides meet the circle tangentially.
  const Vec tip{c.x, c.y - 2.2 * r};
  const double s = r / 2.2, t = std::sqrt(1 - s * s);
  return Union(Circle(c, r), Polygon({tip, {c.x + r * t, c.y - r * s}, {c.x - r * t, c.y - r * s}}));
}

void DrawErosion(Cell& cell)
{
  const Sdf land = Polygon({{3, 60}, {20, 34}, {27, 41}, {41, 22}, {61, 60}});
  cell.Outlined(land, Vertical(kBrown, Scale(kBrown, 0.75), 22, 60));
  // Gullies the water has cut.
  cell.Fill(Stroke({{41, 26}, {38, 38}, {40, 46}, {36, 58}}, 1.6), Scale(kBrown, 0.55));
  cell.Fill(Stroke({{44, 30}, {49, 44}, {48, 58}}, 1.6), Scale(kBrown, 0.55));
  cell.Fill(Stroke({{21, 38}, {19, 48}, {22, 58}}, 1.6), Scale(kBrown, 0.55));
  cell.Outlined(Drop({12, 20}, 5), kBlue);
  cell.Outlined(Drop({28, 14}, 4), kBlue);
  cell.Outlined(Drop({54, 14}, 5), kBlue);
}

void DrawAbout(Cell& cell)
{
  cell.Outlined(Circle({32, 32}, 27), kBlue);
  cell.Fill(Circle({32, 18}, 4.5), kWhite);
  cell.Fill(RoundBox({32, 38}, {4, 12}, 2), kWhite);
}

void DrawHelp(Cell& cell)
{
  cell.Outlined(Circle({32, 32}, 27), kTeal);
  Points q = Arc({32, 23}, 9, kPi, 2.5 * kPi);
  q.push_back({32, 38});
  cell.Fill(Stroke(q, 5.5), kWhite);
  cell.Fill(Circle({32, 47}, 3.5), kWhite);
}

void DrawGroupCommand(Cell& cell, bool group)
{
  DrawFolder(cell, {-2, -4}, 0.85);
  Badge(cell, group ? kGreen : kRed, [group](Cell& c, Vec at) {
    if (group)
      PlusGlyph(c, at, 7, 3.5, kWhite);
    else
      MinusGlyph(c, at, 7, 3.5, kWhite);
  });
}

void DrawResolution(Cell& cell, bool increase)
{
  const int divisions = increase ? 6 : 2;
  const Vec c{26, 26};
  const double h = 21;
  cell.Outlined(RoundBox(c, {h, h}, 2), kLightBlue);
  for (int i = 1; i < divisions; ++i)
  {
    const double t = c.x - h + 2 * h * i / divisions;
    cell.Fill(Stroke({{t, c.y - h}, {t, c.y + h}}, 1.5), kOutline);
    cell.Fill(Stroke({{c.x - h, t}, {c.x + h, t}}, 1.5), kOutline);
  }
  Badge(cell, increase ? kGreen : kOrange, [increase](Cell& cl, Vec at) {
    const double d = increase ? -1.0 : 1.0;   // arrow up or down
    cl.Fill(Stroke({{at.x, at.y + 7 * -d}, {at.x, at.y + 1 * d}}, 3.5), kWhite);
    cl.Fill(Polygon({{at.x, at.y + 8 * d}, {at.x - 6, at.y + 1 * d}, {at.x + 6, at.y + 1 * d}}), kWhite);
  });
}

void DrawSharpen(Cell& cell)
{
  // A soft bump behind a crisp spike.
  cell.Field([](Vec p) {
    const double dx = (p.x - 32) / 14.0;
    const double top = 58 - 30 * std::exp(-dx * dx);
    const double inside = std::clamp((p.y - top) / 5.0 + 0.5, 0.0, 1.0);
    const double base = std::clamp(58.5 - p.y, 0.0, 1.0);
    return WithAlpha(kLightBlue, inside * base * std::clamp(1.6 - std::abs(dx) * 0.5, 0.0, 1.0));
  });
  cell.Outlined(Polygon({{32, 6}, {42, 58}, {22, 58}}), kOrange);
  cell.Fill(Stroke({{42, 8}, {48, 4}}, 2.5), kYellow);
  cell.Fill(Stroke({{44, 15}, {52, 15}}, 2.5), kYellow);
  cell.Fill(Stroke({{22, 8}, {16, 4}}, 2.5), kYellow);
  cell.Fill(Stroke({{20, 15}, {12, 15}}, 2.5), kYellow);
}

void DrawFold(Cell& cell)
{
  const double line = 24;
  auto wave = [](double x) { return 37 - 21 * std::sin((x - 6) / 52.0 * 2.5 * kPi); };
  // The part that would pass the fold line, faint, and the folded curve.
  for (double x0 = 6; x0 < 58; x0 += 4)
  {
    const Points seg = Graph(x0, std::min(58.0, x0 + 2), wave, 4);
    if (seg.front().y < line && seg.back().y < line)
      cell.Fill(Stroke(seg, 2), WithAlpha(kPurple, 0.8));
  }
  const Points folded = Graph(6, 58, [&](double x) {
    const double y = wave(x);
    return y < line ? 2 * line - y : y;
  });
  cell.Fill(Stroke(folded, 5 + 2 * kOutlineWidth), kOutline);
  cell.Fill(Stroke(folded, 5), kPurple);
  Dashed(cell, {3, line}, {61, line}, 4, 2 + 2 * kOutlineWidth, kOutline);
  Dashed(cell, {3, line}, {61, line}, 4, 2, kWhite);
}

void DrawQuantize(Cell& cell)
{
  cell.Outlined(Polygon({{5, 59}, {5, 47}, {17, 47}, {17, 35}, {30, 35}, {30, 23}, {43, 23}, {43, 11}, {59, 11}, {59, 59}}),
                Vertical(kTeal, Scale(kTeal, 0.7), 11, 59));
  cell.Fill(Stroke({{6, 54}, {57, 6}}, 2), WithAlpha(kWhite, 0.85));
}

void DrawBlendCommand(Cell& cell, bool next)
{
  const Sdf a = Circle({24, 24}, 15), b = Circle({40, 24}, 15);
  cell.Fill(Grow(Union(a, b), kOutlineWidth), kOutline);
  cell.Fill(a, kBlue);
  cell.Fill(b, [&](Vec p) { return a(p) < 0 ? Colour{kBlue.r * kOrange.r, kBlue.g * kOrange.g, kBlue.b * kOrange.b, 1} : kOrange; });
  const double s = next ? 1.0 : -1.0;
  auto x = [s](double v) { return 32 + s * (v - 32); };
  const Sdf arrow = Union(Stroke({{x(8), 52}, {x(46), 52}}, 5), Polygon({{x(44), 42}, {x(60), 52}, {x(44), 62}}));
  cell.Outlined(arrow, kWhite);
}

// ---------------------------------------------------------------------------------------------------
// Blend-mode sheet pictures: a square (the terrain) under a circle (the operator's layer); where they
// overlap the colour is the mode's result, computed with the module's own formulas on [0, 1] colours.

enum BlendMode
{
  NORMAL, ADD, SUBTRACT, MULTIPLY, DIVIDE, LOWEST, HIGHEST, DIFFERENCE, PHOENIX, PHOENIXINVERSE, OVERLAY,
  NEGATION, SCREEN, SOFTLIGHT, HARDLIGHT, MODE_COUNT
};

double BlendChannel(int mode, double d, double l)
{
  switch (mode)
  {
    case NORMAL: return l;
    case ADD: return d + l;
    case SUBTRACT: return d - l;
    case MULTIPLY: return d * l;
    case DIVIDE: return l == 0.0 ? d : d / l;
    case LOWEST: return std::min(d, l);
    case HIGHEST: return std::max(d, l);
    case DIFFERENCE: return std::abs(d - l);
    case PHOENIX: return std::min(d, l) - std::max(d, l) + (d + l) / 2;
    case PHOENIXINVERSE: return std::max(d, l) - std::min(d, l) + (d + l) / 2;
    case OVERLAY: return d >= 0.5 ? 1 - 2 * (1 - l) * (1 - d) : 2 * d * l;
    case NEGATION: return 1 - std::abs(1 - d - l);
    case SCREEN: return 1 - (1 - d) * (1 - l);
    case SOFTLIGHT:
      return l >= 0.5 ? 2 * l * std::sqrt(d) - std::sqrt(d) + 2 * d * (1 - l) : d * d + 2 * d * l - 2 * d * d * l;
    case HARDLIGHT: return l >= 0.5 ? 1 - 2 * (1 - l) * (1 - d) : 2 * d * l;
    default: return d;
  }
}

Colour Blend(int mode, const Colour& d, const Colour& l)
{
  auto ch = [mode](double a, double b) { return std::clamp(BlendChannel(mode, a, b), 0.0, 1.0); };
  return {ch(d.r, l.r), ch(d.g, l.g), ch(d.b, l.b), 1.0};
}

// The mode's glyph, dark on a white badge (light on a dark badge for PHOENIXINVERSE).
void DrawModeGlyph(Cell& cell, int mode)
{
  const Vec c{51, 13};
  const bool inverse = mode == PHOENIXINVERSE;
  const Colour ink = inverse ? kWhite : kOutline;
  cell.Outlined(Circle(c, 11), inverse ? kOutline : kWhite);
  if (inverse)
    cell.Fill(Subtract(Circle(c, 11 + kOutlineWidth), Circle(c, 11)), kWhite);
  const double w = 2.6;
  auto at = [&](double x, double y) { return Vec{c.x + x, c.y + y}; };
  switch (mode)
  {
    case NORMAL: cell.Fill(Stroke({at(-5, 6), at(-5, -6), at(5, 6), at(5, -6)}, w), ink); break;
    case ADD: PlusGlyph(cell, c, 6, w + 0.4, ink); break;
    case SUBTRACT: MinusGlyph(cell, c, 6, w + 0.4, ink); break;
    case MULTIPLY:
      cell.Fill(Union(Stroke({at(-5, -5), at(5, 5)}, w), Stroke({at(-5, 5), at(5, -5)}, w)), ink);
      break;
    case DIVIDE:
      MinusGlyph(cell, c, 6, w, ink);
      cell.Fill(Union(Circle(at(0, -5), 1.8), Circle(at(0, 5), 1.8)), ink);
      break;
    case LOWEST: cell.Fill(Stroke({at(-6, -4), at(0, 4), at(6, -4)}, w), ink); break;
    case HIGHEST: cell.Fill(Stroke({at(-6, 4), at(0, -4), at(6, 4)}, w), ink); break;
    case DIFFERENCE: cell.Fill(Stroke({at(0, -6), at(6.5, 5.5), at(-6.5, 5.5), at(0, -6)}, w), ink); break;
    case PHOENIX:
    case PHOENIXINVERSE:
    {
      Points p = {at(-3, 7), at(-3, -6), at(1, -6)};
      const Points bowl = Arc(at(1, -2.5), 3.5, -0.5 * kPi, 0.5 * kPi, 12);
      p.insert(p.end(), bowl.begin(), bowl.end());
      p.push_back(at(-3, 1));
      cell.Fill(Stroke(p, w), ink);
      break;
    }
    case OVERLAY:
      cell.Fill(Subtract(Circle(c, 6.5), Circle(c, 6.5 - w)), ink);
      cell.Fill(Intersect(Circle(c, 6.5), [&](Vec p) { return p.x - c.x; }), ink);
      break;
    case NEGATION: cell.Fill(Stroke({at(-6, -2), at(6, -2), at(6, 4)}, w), ink); break;
    case SCREEN:
      cell.Fill(Subtract(RoundBox(at(0, -1.5), {7, 5}, 1), RoundBox(at(0, -1.5), {7 - w, 5 - w}, 0.5)), ink);
      cell.Fill(Stroke({at(-3.5, 7), at(3.5, 7)}, w * 0.8), ink);
      break;
    case SOFTLIGHT:
      cell.Field([=](Vec p) { return WithAlpha(ink, std::clamp(1.0 - Length(p - c) / 7.0, 0.0, 1.0)); });
      break;
    case HARDLIGHT:
      cell.Fill(Polygon({at(2, -8), at(-5, 1), at(0, 1), at(-2, 8), at(5, -1), at(0, -1)}), ink);
      break;
    default: break;
  }
}

void DrawBlendMode(Cell& cell, int mode)
{
  const Colour terrain{0.30, 0.56, 0.88, 1.0};
  const Colour layer{0.94, 0.62, 0.30, 1.0};
  const Sdf square = RoundBox({22, 26}, {16, 16}, 3);
  const Sdf circle = Circle({39, 43}, 17);
  cell.Fill(Grow(Union(square, circle), kOutlineWidth), kOutline);
  cell.Fill(square, terrain);
  const Colour both = Blend(mode, terrain, layer);
  cell.Fill(circle, [&](Vec p) { return Mix(layer, both, std::clamp(0.5 - square(p), 0.0, 1.0)); });
  DrawModeGlyph(cell, mode);
}

// ---------------------------------------------------------------------------------------------------

bool WriteTiff(const Sheet& sheet, const std::string& path)
{
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif)
    return false;
  const std::vector<std::uint8_t> bytes = sheet.ToBytes();
  const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(sheet.Width()));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(sheet.Height()));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(4));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(8));
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, static_cast<std::uint16_t>(SAMPLEFORMAT_UINT));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, static_cast<std::uint16_t>(PHOTOMETRIC_RGB));
  TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(ORIENTATION_TOPLEFT));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<std::uint16_t>(PLANARCONFIG_CONTIG));
  TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  // Deflate with horizontal differencing keeps the sheets small; LZW where deflate is not built in.
  const std::uint16_t compression =
    TIFFIsCODECConfigured(COMPRESSION_ADOBE_DEFLATE) ? COMPRESSION_ADOBE_DEFLATE
    : TIFFIsCODECConfigured(COMPRESSION_LZW)         ? COMPRESSION_LZW
                                                     : COMPRESSION_NONE;
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (compression != COMPRESSION_NONE)
    TIFFSetField(tif, TIFFTAG_PREDICTOR, static_cast<std::uint16_t>(PREDICTOR_HORIZONTAL));
  if (compression == COMPRESSION_ADOBE_DEFLATE)
    TIFFSetField(tif, TIFFTAG_ZIPQUALITY, 9);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(kCell));
  bool ok = true;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(sheet.Width()) * 4);
  for (int y = 0; y < sheet.Height() && ok; ++y)
  {
    // libtiff's predictor works in place on the buffer it is given.
    std::copy_n(&bytes[static_cast<std::size_t>(y) * row.size()], row.size(), row.data());
    ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) == 1;
  }
  ok = ok && TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// The logo: a mountain range in a round emblem, and the letters O, G and X beside it.
void DrawLogo(Cell& area)
{
  const Vec c{40, 40};
  const Sdf disc = Circle(c, 34);
  area.Outlined(disc, Vertical(kLightBlue, kWhite, 8, 60));
  const Sdf far = Polygon({{4, 62}, {16, 36}, {26, 44}, {40, 18}, {54, 38}, {62, 30}, {76, 62}});
  const Sdf near = Polygon({{4, 74}, {22, 50}, {34, 58}, {50, 40}, {76, 74}});
  area.Fill(Intersect(far, disc), Vertical(kGrey, kDarkGrey, 18, 62));
  const Sdf snowLine = [](Vec p) { return p.y - (29.0 + 1.5 * std::sin(p.x * 1.1)); };
  area.Fill(Intersect(Intersect(far, snowLine), disc), kSnow);
  area.Fill(Intersect(near, disc), Vertical(kGreen, kDarkGreen, 40, 74));
  area.Fill(Subtract(Grow(disc, kOutlineWidth), disc), kOutline);

  // The letters as strokes, 40 high, starting at x = 92.
  const double w = 7.0;
  const Colour ink = kDarkGrey;
  area.Outlined(Stroke(Arc({112, 40}, 18, 0.0, 2.0 * kPi, 48), w), ink);
  area.Outlined(Union(Stroke(Arc({162, 40}, 18, 0.25 * kPi, 1.95 * kPi, 40), w),
                      Stroke({{163, 42}, {180, 42}, {180, 54}}, w)),
                ink);
  area.Outlined(Union(Stroke({{198, 22}, {234, 58}}, w), Stroke({{234, 22}, {198, 58}}, w)), kGreen);
}

// The main sheet's cells (column, row) with their plug-in ids; the positions are fixed by registration.
struct MainCell
{
  int id;
  int col, row;
  std::function<void(Cell&)> draw;
};

std::vector<MainCell> MainSheetCells()
{
  return {
    {1054563, 0, 0, DrawTerrain},
    {1054566, 1, 0, DrawNoise},
    {1054623, 2, 0, DrawGradient},
    {1054617, 3, 0, DrawShader},
    {1054654, 4, 0, DrawSpline},
    {1054581, 5, 0, DrawGroup},
    {1054574, 6, 0, DrawAdjustment},
    {1054618, 7, 0, DrawBlur},
    {1054609, 8, 0, DrawClamp},
    {1054582, 9, 0, DrawCurve},
    {1054640, 0, 1, DrawMirror},
    {1054690, 1, 1, DrawErosion},
    {1054744, 2, 1, DrawAbout},
    {1054797, 3, 1, [](Cell& c) { DrawGroupCommand(c, true); }},
    {1055661, 4, 1, DrawHelp},
    {1055664, 5, 1, DrawFold},
    {1055911, 6, 1, [](Cell& c) { DrawGroupCommand(c, false); }},
    {1056090, 7, 1, [](Cell& c) { DrawResolution(c, true); }},
    {1056091, 8, 1, [](Cell& c) { DrawResolution(c, false); }},
    {1056139, 9, 1, DrawSharpen},
    {1056548, 0, 2, DrawQuantize},
    {1056684, 1, 2, [](Cell& c) { DrawBlendCommand(c, true); }},
    {1056685, 2, 2, [](Cell& c) { DrawBlendCommand(c, false); }},
  };
}
} // namespace

int main(int argc, char** argv)
{
  if (argc != 2)
  {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];

  Sheet icons(10 * kCell, 3 * kCell);
  for (const MainCell& mc : MainSheetCells())
  {
    Cell cell(icons, mc.col, mc.row);
    mc.draw(cell);
  }

  Sheet modes(10 * kCell, 2 * kCell);
  for (int mode = 0; mode < MODE_COUNT; ++mode)
  {
    Cell cell(modes, mode % 10, mode / 10);
    DrawBlendMode(cell, mode);
  }

  Sheet logo(256, 80);
  Cell logoArea(logo);
  DrawLogo(logoArea);

  const std::string iconsPath = dir + "/orogenix_icons.tif";
  const std::string modesPath = dir + "/orogenix_blendmodes.tif";
  const std::string logoPath = dir + "/ogx_logo.tif";
  if (!WriteTiff(icons, iconsPath) || !WriteTiff(modes, modesPath) || !WriteTiff(logo, logoPath))
  {
    std::fprintf(stderr, "could not write the icon sheets and the logo into %s\n", dir.c_str());
    return 1;
  }
  std::printf("wrote %s, %s and %s\n", iconsPath.c_str(), modesPath.c_str(), logoPath.c_str());
  return 0;
}
