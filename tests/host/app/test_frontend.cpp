// The host front end: its command line, file names, OBJ and PNG writers and top view, each against a
// hand-worked result or an independent decoder, and the ogx-host executable itself, run as a user
// would run it (its error exits, and a full export compared with the same scene built in this process).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <set>
#include <random>
#include <numeric>
#include <functional>
#include <csignal>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "frontend.h"
#include "hudtext.h"
#include "host/app/moduleloader.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/thread.h"
#include "host/geometry/geometrytags.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "host/scene/scene.h"
#include "meshexport.h"
#include "pngwriter.h"
#include "topview.h"
#include "run_host.h"
#include "support/file_size_cap.h"
#include "support/png_decode.h"

namespace fs = std::filesystem;
using namespace host::app;
using ogx_test::DecodePng;

namespace
{
constexpr Int32 TERRAIN_OBJECT_TYPE = 1054563;

fs::path TempDir(const std::string& name)
{
  const fs::path dir = fs::temp_directory_path() / ("ogx_frontend_" + name);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir;
}

using host_app_test::ReadText;
using host_app_test::RunHost;
using host_app_test::RunResult;
using host_app_test::WriteText;

// ---------------------------------------------------------------------------------------------------
// Meshes made by hand

PolygonObject* MakeMesh(const String& name, const std::vector<Vector>& points, const std::vector<CPolygon>& polys)
{
  PolygonObject* op = PolygonObject::Alloc(static_cast<Int32>(points.size()), static_cast<Int32>(polys.size()));
  op->SetName(name);
  std::copy(points.begin(), points.end(), op->GetPointW());
  std::copy(polys.begin(), polys.end(), op->GetPolygonW());
  return op;
}

struct MeshDeleter
{
  void operator()(BaseObject* op) const { BaseObject::Free(op); }
};
using MeshPtr = std::unique_ptr<BaseObject, MeshDeleter>;

std::vector<MeshPart> Parts(const BaseObject* root)
{
  Result<std::vector<MeshPart>> parts = CollectMeshParts(root);
  EXPECT_TRUE(parts.IsOk()) << parts.GetError().GetText();
  return parts.IsOk() ? parts.GetValue() : std::vector<MeshPart>();
}

// A width x depth plane at height y, one quad, centred on the origin.
PolygonObject* MakePlane(Float width, Float depth, Float y)
{
  const Float w = width / 2, d = depth / 2;
  return MakeMesh("plane", {{-w, y, d}, {w, y, d}, {w, y, -d}, {-w, y, -d}}, {CPolygon(0, 1, 2, 3)});
}

// ---------------------------------------------------------------------------------------------------
// Command line and names

TEST(FrontEndArgumentsTest, OptionsAndTheirErrors)
{
  {
    const Result<FrontEndOptions> r = ParseArguments({"s.json", "--out", "o"});
    ASSERT_TRUE(r.IsOk());
    EXPECT_EQ(r.GetValue().scene, Url(String("s.json")));
    EXPECT_EQ(r.GetValue().outDir, Url(String("o")));
    EXPECT_FALSE(r.GetValue().slope);
    EXPECT_EQ(r.GetValue().lod, 1.0);
    EXPECT_EQ(r.GetValue().threads, 0);
    EXPECT_FALSE(r.GetValue().quiet);
    EXPECT_FALSE(r.GetValue().module.has_value());
  }
  {
    const Result<FrontEndOptions> r = ParseArguments(
      {"--out=o", "--slope", "--lod", "0.5", "--threads=4", "--quiet", "--module", "m.so", "s.json"});
    ASSERT_TRUE(r.IsOk());
    EXPECT_EQ(r.GetValue().outDir, Url(String("o")));
    EXPECT_TRUE(r.GetValue().slope);
    EXPECT_EQ(r.GetValue().lod, 0.5);
    EXPECT_EQ(r.GetValue().threads, 4);
    EXPECT_TRUE(r.GetValue().quiet);
    EXPECT_EQ(r.GetValue().module, Url(String("m.so")));
  }
  EXPECT_TRUE(ParseArguments({"--help"}).GetValue().help);
  EXPECT_TRUE(ParseArguments({"--about"}).GetValue().about);
  {
    const Result<FrontEndOptions> page = ParseArguments({"--help-page", "ONOISEOPERATOR", "NOISEOPERATOR_SCALE"});
    ASSERT_TRUE(page.IsOk());
    EXPECT_EQ(page.GetValue().helpType, String("ONOISEOPERATOR"));
    EXPECT_EQ(page.GetValue().helpProperty, "NOISEOPERATOR_SCALE");
    // The parameter is optional, and an option after the type is no parameter.
    const Result<FrontEndOptions> type = ParseArguments({"--help-page=PREFSOGX", "--module", "m.so"});
    ASSERT_TRUE(type.IsOk());
    EXPECT_EQ(type.GetValue().helpType, String("PREFSOGX"));
    EXPECT_EQ(type.GetValue().helpProperty, "");
    EXPECT_EQ(type.GetValue().module, Url(String("m.so")));
  }

  struct Case
  {
    std::vector<String> args;
    const char* error;
  };
  const std::vector<Case> cases = {
    {{}, "no scene given"},
    {{"s.json"}, "no output folder given (--out DIR)"},
    {{"s.json", "--out"}, "--out: a value is missing"},
    {{"s.json", "--out="}, "--out: the folder name is empty"},
    {{"s.json", "--out", "o", "--lod", "0"}, "--lod: expected a number above 0 (got \"0\")"},
    {{"s.json", "--out", "o", "--lod=abc"}, "--lod: expected a number above 0 (got \"abc\")"},
    {{"s.json", "--out", "o", "--lod", "1e999"}, "--lod: expected a number above 0 (got \"1e999\")"},
    {{"s.json", "--out", "o", "--threads", "0"}, "--threads: expected a whole number from 1 to 1024 (got \"0\")"},
    {{"s.json", "--out", "o", "--threads", "2.5"}, "--threads: expected a whole number from 1 to 1024 (got \"2.5\")"},
    {{"s.json", "--out", "o", "--module="}, "--module: the file name is empty"},
    {{"s.json", "--out", "o", "--slope=1"}, "--slope: takes no value"},
    {{"s.json", "--out", "o", "--bogus"}, "--bogus: unknown option"},
    {{"a.json", "b.json", "--out", "o"}, "b.json: only one scene can be given"},
    {{"--about=1"}, "--about: expected click or shift+click (got \"1\")"},
    {{"--about", "s.json"}, "--about: give no scene or --out with it"},
    {{"--help-page"}, "--help-page: a value is missing"},
    {{"--help-page="}, "--help-page: the type is empty"},
    {{"--help-page", "OTERRAIN", "X", "s.json"}, "--help-page: give no scene or --out with it"},
    {{"--about", "--list-types"}, "--list-types, --describe, --about and --help-page: give one of them"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.error);
    const Result<FrontEndOptions> r = ParseArguments(c.args);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), c.error);
  }
}

TEST(FrontEndArgumentsTest, TheModuleFileComesFromTheOptionTheEnvironmentOrBesideTheExecutable)
{
  FrontEndOptions options;
  options.module = Url(String("/x/m.so"));
  EXPECT_EQ(FindModuleFile(options), Url(String("/x/m.so")));
  options.module.reset();
  setenv("OGX_MODULE", "/y/env.so", 1);
  EXPECT_EQ(FindModuleFile(options), Url(String("/y/env.so")));
  unsetenv("OGX_MODULE");
  EXPECT_EQ(FindModuleFile(options).GetName(), "orogenix.so");
  EXPECT_EQ(FindModuleFile(options).GetDirectory().GetString(), fs::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(FrontEndNamesTest, ObjectNamesBecomeSafeFileNames)
{
  struct Case
  {
    std::string name;
    std::string expected;
  };
  const std::vector<Case> cases = {
    {"Terrain", "Terrain"},
    {"", "Terrain"},
    {"a/b\\c", "a_b_c"},
    {"../../etc/passwd", "_._.._etc_passwd"},
    {"..", "_."},
    {".hidden", "_hidden"},
    {"x:y*z?\"<>|", "x_y_z_____"},
    {"tab\there\nand\x7f", "tab_here_and_"},
    {"Gebirge \xc3\xb6st", "Gebirge \xc3\xb6st"},
    {std::string(300, 'a'), std::string(200, 'a')},
    // The limit falls inside a two-byte character: the whole character goes.
    {std::string(199, 'a') + "\xc3\xb6" + "x", std::string(199, 'a')},
    // It falls right after one: the character stays.
    {std::string(198, 'a') + "\xc3\xb6" + "x", std::string(198, 'a') + "\xc3\xb6"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SafeFileName(String(c.name)), c.expected);
  }
}

// ---------------------------------------------------------------------------------------------------
// Writers

TEST(PngWriterTest, DecodesToTheSameImage)
{
  RgbaImage image;
  image.width = 37;
  image.height = 11;
  for (Int32 y = 0; y < image.height; ++y)
    for (Int32 x = 0; x < image.width; ++x)
      for (Int32 c = 0; c < 4; ++c)
        image.pixels.push_back(static_cast<UChar>((x * 7 + y * 13 + c * 61 + x * y) & 0xFF));
  const fs::path dir = TempDir("png");
  ASSERT_TRUE(WritePng(image, Url(dir / "a.png")).IsOk());
  const RgbaImage decoded = DecodePng(ReadText(dir / "a.png"));
  EXPECT_EQ(decoded.width, image.width);
  EXPECT_EQ(decoded.height, image.height);
  EXPECT_EQ(decoded.pixels, image.pixels);
  // No temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

TEST(PngWriterTest, Errors)
{
  RgbaImage empty;
  EXPECT_EQ(EncodePng(empty).GetError().GetText(), "Cannot encode an empty image as PNG");
  RgbaImage wrong;
  wrong.width = 2;
  wrong.height = 2;
  wrong.pixels.assign(15, 0);
  EXPECT_EQ(EncodePng(wrong).GetError().GetText(), "The image's pixel array does not match its size");

  RgbaImage one;
  one.width = one.height = 1;
  one.pixels.assign(4, 9);
  const Url unwritable(String("/nonexistent-folder/x.png"));
  const Result<void> r = WritePng(one, unwritable);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetText(), "/nonexistent-folder/x.png: cannot be written: No such file or directory");
}

TEST(ObjWriterTest, PointsUvsAndFacesOfEveryPart)
{
  // A quad and a triangle with UVs, and below it a moved triangle without them.
  MeshPtr root(MakeMesh("Terrain", {{0, 0, 0}, {1.5, 0, 0}, {1.5, 2, -1}, {0, 0.25, -1}},
                        {CPolygon(0, 1, 2, 3), CPolygon(0, 2, 3)}));
  UVWTag* uvw = UVWTag::Alloc(2);
  ASSERT_NE(uvw, nullptr);
  uvw->SetSlow(0, UVWStruct({0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}));
  uvw->SetSlow(1, UVWStruct({0, 0, 0}, {0.5, 0.25, 0}, {0, 1, 0}, {0, 1, 0}));
  root->InsertTag(uvw);
  BaseObject* hull = MakeMesh("Hull", {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, {CPolygon(0, 1, 2)});
  hull->SetMl(Matrix(Vector(0, -3, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  hull->InsertUnder(root.get());

  const fs::path dir = TempDir("obj");
  const Result<ObjStatistics> stats = WriteObj(Parts(root.get()), "Terrain", Url(dir / "t.obj"));
  ASSERT_TRUE(stats.IsOk()) << stats.GetError().GetText();
  EXPECT_EQ(stats.GetValue().points, 7);
  EXPECT_EQ(stats.GetValue().polygons, 3);
  // One texture coordinate per point, where its corners agree; the triangle's corner at point 3 (the
  // third point, index 2) differs from the quad's and gets one of its own.
  EXPECT_EQ(stats.GetValue().uvs, 5);
  EXPECT_EQ(stats.GetValue().normals, 0);
  EXPECT_EQ(ReadText(dir / "t.obj"), "# Terrain, written by ogx-host\n"
                                     "o Terrain\n"
                                     "v 0 0 0\n"
                                     "v 1.5 0 0\n"
                                     "v 1.5 2 -1\n"
                                     "v 0 0.25 -1\n"
                                     "vt 0 1\n"
                                     "vt 1 1\n"
                                     "vt 1 0\n"
                                     "vt 0 0\n"
                                     "vt 0.5 0.75\n"
                                     "f 1/1 2/2 3/3 4/4\n"
                                     "f 1/1 3/5 4/4\n"
                                     "o Terrain_Hull\n"
                                     "v 0 -3 0\n"
                                     "v 1 -3 0\n"
                                     "v 0 -3 1\n"
                                     "f 5 6 7\n");
  fs::remove_all(dir);
}

TEST(ObjWriterTest, ProgressGrowsToAHundredPercent)
{
  // Large enough for several progress steps: 200000 points and 150000 triangles (no UVW tag).
  MeshPtr root(PolygonObject::Alloc(200000, 150000));
  ASSERT_NE(root, nullptr);
  CPolygon* polys = static_cast<PolygonObject*>(root.get())->GetPolygonW();
  for (Int32 i = 0; i < 150000; ++i)
    polys[i] = CPolygon(0, 1, 2);
  std::vector<Int32> seen;
  const fs::path dir = TempDir("objprogress");
  ObjWriteOptions options;
  options.progress = [&seen](Int32 percent) { seen.push_back(percent); };
  const Result<ObjStatistics> stats = WriteObj(Parts(root.get()), "Big", Url(dir / "big.obj"), options);
  ASSERT_TRUE(stats.IsOk()) << stats.GetError().GetText();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());   // each percent once
  EXPECT_EQ(seen.back(), 100);
  fs::remove_all(dir);
}

TEST(ObjWriterTest, APolygonOutsideThePointsIsRefused)
{
  MeshPtr root(MakeMesh("Bad", {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, {CPolygon(0, 1, 7, 3)}));
  const Result<std::vector<MeshPart>> parts = CollectMeshParts(root.get());
  ASSERT_TRUE(parts.IsError());
  EXPECT_EQ(parts.GetError().GetText(), "Bad: polygon 0 refers to point 7, but there are 4 points");
}

// ---------------------------------------------------------------------------------------------------
// Top view

Int Brightness(const RgbaImage& image, Int32 x, Int32 y)
{
  const UChar* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 4];
  return Int(p[0]) + p[1] + p[2];
}

TEST(TopViewTest, SizeFollowsTheMeshAndAFlatPlaneIsEven)
{
  struct Case
  {
    Float width, depth;
    Int32 maxSize, expectedW, expectedH;
  };
  for (const Case& c : std::vector<Case>{{10, 10, 64, 64, 64}, {20, 10, 64, 64, 32}, {10, 40, 64, 16, 64}, {5, 5, 1, 1, 1}})
  {
    SCOPED_TRACE(c.expectedW * 1000 + c.expectedH);
    MeshPtr plane(MakePlane(c.width, c.depth, 3.0));
    const Result<RgbaImage> image = RenderTopView(Parts(plane.get()), c.maxSize);
    ASSERT_TRUE(image.IsOk());
    EXPECT_EQ(image.GetValue().width, c.expectedW);
    EXPECT_EQ(image.GetValue().height, c.expectedH);
    const std::vector<UChar>& px = image.GetValue().pixels;
    for (std::size_t i = 0; i < px.size(); i += 4)
    {
      ASSERT_EQ(px[i + 3], 255) << i;
      ASSERT_EQ(px[i], px[0]);
      ASSERT_EQ(px[i + 1], px[1]);
      ASSERT_EQ(px[i + 2], px[2]);
    }
  }
}

TEST(TopViewTest, SlopesFacingTheNorthWestLightAreBrighter)
{
  // A ridge along Z at x = 0: the west slope faces west (towards the light), the east slope away.
  MeshPtr ridge(MakeMesh("ridge", {{-1, 0, 1}, {0, 1, 1}, {1, 0, 1}, {-1, 0, -1}, {0, 1, -1}, {1, 0, -1}},
                         {CPolygon(0, 1, 4, 3), CPolygon(1, 2, 5, 4)}));
  const Result<RgbaImage> image = RenderTopView(Parts(ridge.get()), 64);
  ASSERT_TRUE(image.IsOk());
  const RgbaImage& img = image.GetValue();
  // At equal heights (a quarter in from each side) the west side is brighter.
  EXPECT_GT(Brightness(img, 16, 32), Brightness(img, 47, 32) + 30);
}

TEST(TopViewTest, TheHighestSurfaceShowsAndUncoveredPixelsAreClear)
{
  // A small high plane over a large low one: the middle shows the high one (tinted white), the rim the
  // low one (tinted green).
  MeshPtr low(MakePlane(10, 10, -5));
  BaseObject* high = MakePlane(4, 4, 5);
  high->InsertUnder(low.get());
  const Result<RgbaImage> image = RenderTopView(Parts(low.get()), 50);
  ASSERT_TRUE(image.IsOk());
  EXPECT_GT(Brightness(image.GetValue(), 25, 25), Brightness(image.GetValue(), 2, 2) + 200);

  // A triangle covers only half of its bounding square; the rest stays transparent.
  MeshPtr triangle(MakeMesh("tri", {{0, 0, 0}, {1, 0, 0}, {0, 0, -1}}, {CPolygon(0, 1, 2)}));
  const Result<RgbaImage> half = RenderTopView(Parts(triangle.get()), 8);
  ASSERT_TRUE(half.IsOk());
  const RgbaImage& img = half.GetValue();
  EXPECT_EQ(img.pixels[(0 * 8 + 0) * 4 + 3], 255);   // north-west corner: inside
  EXPECT_EQ(img.pixels[(7 * 8 + 7) * 4 + 3], 0);     // south-east corner: outside

  const Result<RgbaImage> empty = RenderTopView({}, 16);
  ASSERT_TRUE(empty.IsOk());
  EXPECT_EQ(empty.GetValue().width, 16);
  EXPECT_EQ(empty.GetValue().pixels, std::vector<UChar>(16 * 16 * 4, 0));

  EXPECT_EQ(RenderTopView({}, 0).GetError().GetText(), "The top view's size must lie between 1 and 16384");
}

// An nx by nz grid of quads over sizeX by sizeZ centred on the origin, row 0 at +Z, each quad listed
// from its north-east corner clockwise (as the terrain plane lists them).
PolygonObject* MakeGrid(Int32 nx, Int32 nz, Float sizeX, Float sizeZ, Float bump)
{
  std::vector<Vector> points;
  std::vector<CPolygon> polys;
  for (Int32 z = 0; z <= nz; ++z)
    for (Int32 x = 0; x <= nx; ++x)
      points.push_back({x * sizeX / nx - sizeX / 2, std::sin(x * 0.3) * std::cos(z * 0.2) * bump,
                        sizeZ / 2 - z * sizeZ / nz});
  const auto at = [nx](Int32 x, Int32 z) { return z * (nx + 1) + x; };
  for (Int32 z = 0; z < nz; ++z)
    for (Int32 x = 0; x < nx; ++x)
      polys.push_back(CPolygon(at(x + 1, z), at(x + 1, z + 1), at(x, z + 1), at(x, z)));
  return MakeMesh("grid", points, polys);
}

// Lines over the view land where the mesh's mapping puts them, clipped to the image, in their colour;
// lines with an end that is not finite are left out.
TEST(TopViewTest, OverlayLinesAreDrawnWhereTheMeshPutsThem)
{
  MeshPtr plane(MakePlane(100, 50, 0));   // 64 x 32 pixels: 1.5625 units a pixel
  const Vector red(1, 0, 0);
  const Vector blue(0, 0, 1);
  const Float nan = std::numeric_limits<Float>::quiet_NaN();
  const std::vector<TopViewLine> lines = {
    {Vector(-50, 7, 0), Vector(50, -3, 0), red},         // along z = 0, the height plays no part
    {Vector(-25, 0, 1e6), Vector(-25, 0, -1e6), blue},   // x = -25, reaching far beyond the image
    {Vector(200, 0, 200), Vector(300, 0, 300), red},     // wholly outside
    {Vector(nan, 0, 0), Vector(0, 0, 10), blue},          // not finite
  };
  const Result<RgbaImage> image = RenderTopView(Parts(plane.get()), 64, lines);
  ASSERT_TRUE(image.IsOk());
  const RgbaImage& img = image.GetValue();
  ASSERT_EQ(img.width, 64);
  ASSERT_EQ(img.height, 32);
  auto colour = [&](Int32 x, Int32 y) {
    const UChar* p = img.pixels.data() + (static_cast<std::size_t>(y) * 64 + x) * 4;
    return std::array<Int, 4>{p[0], p[1], p[2], p[3]};
  };
  Int redPixels = 0;
  Int bluePixels = 0;
  for (Int32 y = 0; y < 32; ++y)
    for (Int32 x = 0; x < 64; ++x)
    {
      const std::array<Int, 4> c = colour(x, y);
      if (c == std::array<Int, 4>{255, 0, 0, 255})
      {
        ++redPixels;
        EXPECT_EQ(y, 16) << x;   // z = 0 is the middle row's top edge
      }
      else if (c == std::array<Int, 4>{0, 0, 255, 255})
      {
        ++bluePixels;
        EXPECT_EQ(x, 16) << y;   // x = -25 is a quarter across
      }
    }
  // Every column of the row but where the blue line crossed it later; every row of the column.
  EXPECT_EQ(redPixels, 63);
  EXPECT_EQ(bluePixels, 32);

  // Without lines, the same image as before.
  const Result<RgbaImage> plain = RenderTopView(Parts(plane.get()), 64);
  const Result<RgbaImage> noLines = RenderTopView(Parts(plane.get()), 64, {});
  EXPECT_EQ(plain.GetValue().pixels, noLines.GetValue().pixels);
}

TEST(TopViewTest, AGridLeavesNoPixelUncovered)
{
  // Sizes where pixel centres fall exactly on the quads' diagonals and edges, and one where they do not.
  struct Case
  {
    Int32 nx, nz;
    Float sizeX, sizeZ;
    Int32 maxSize;
  };
  for (const Case& c : std::vector<Case>{{20, 10, 100, 50, 512}, {8, 8, 10, 10, 512}, {40, 40, 40, 40, 300},
                                          {7, 3, 70, 30, 97}})
  {
    SCOPED_TRACE(c.nx * 1000 + c.maxSize);
    MeshPtr grid(MakeGrid(c.nx, c.nz, c.sizeX, c.sizeZ, 0.0));
    const Result<RgbaImage> image = RenderTopView(Parts(grid.get()), c.maxSize);
    ASSERT_TRUE(image.IsOk());
    const std::vector<UChar>& px = image.GetValue().pixels;
    for (std::size_t i = 3; i < px.size(); i += 4)
      ASSERT_EQ(px[i], 255) << "pixel " << i / 4;
  }
}

TEST(TopViewTest, PointsThatAreNotFiniteAreHolesAndHugeOnesStillDraw)
{
  constexpr Float NaN = std::numeric_limits<Float>::quiet_NaN();
  constexpr Float INF = std::numeric_limits<Float>::infinity();
  const auto opaque = [](const RgbaImage& img) {
    Int n = 0;
    for (std::size_t i = 3; i < img.pixels.size(); i += 4)
      n += img.pixels[i] == 255 ? 1 : 0;
    return n;
  };
  // A 20 x 20 grid with one bad point in the middle: the quads around it are holes, the rest is drawn.
  for (const Vector bad : {Vector(0, NaN, 0), Vector(0, INF, 0), Vector(-INF, 0, 0), Vector(0, 0, NaN)})
  {
    SCOPED_TRACE(bad.x + bad.y + bad.z);
    MeshPtr grid(MakeGrid(20, 20, 20, 20, 1.0));
    Vector* points = static_cast<PolygonObject*>(grid.get())->GetPointW();
    points[10 * 21 + 10] = bad;
    const Result<RgbaImage> image = RenderTopView(Parts(grid.get()), 100);
    ASSERT_TRUE(image.IsOk()) << image.GetError().GetText();
    const RgbaImage& img = image.GetValue();
    EXPECT_EQ(img.width, 100);
    EXPECT_EQ(img.pixels[(50 * 100 + 50) * 4 + 3], 0);   // the bad point's surroundings are a hole
    EXPECT_EQ(img.pixels[(5 * 100 + 5) * 4 + 3], 255);
    EXPECT_GT(opaque(img), 100 * 100 - 4 * 10 * 10);
  }
  // Nothing finite at all: a transparent square.
  MeshPtr lost(MakeMesh("lost", {{NaN, 0, 0}, {1, NaN, 0}, {0, 0, NaN}}, {CPolygon(0, 1, 2)}));
  const Result<RgbaImage> none = RenderTopView(Parts(lost.get()), 16);
  ASSERT_TRUE(none.IsOk());
  EXPECT_EQ(none.GetValue().pixels, std::vector<UChar>(16 * 16 * 4, 0));

  // Heights and positions near the largest doubles: differences overflow in full units, not in halves.
  MeshPtr huge(MakeGrid(10, 10, 10, 10, 0.0));
  Vector* hp = static_cast<PolygonObject*>(huge.get())->GetPointW();
  for (Int32 i = 0; i < 121; ++i)
    hp[i] = Vector(hp[i].x * 3e306, (i % 2 ? 1.7e308 : -1.7e308), hp[i].z * 3e306);
  const Result<RgbaImage> wide = RenderTopView(Parts(huge.get()), 32);
  ASSERT_TRUE(wide.IsOk());
  EXPECT_EQ(wide.GetValue().width, 32);
  EXPECT_EQ(opaque(wide.GetValue()), 32 * 32);
}

TEST(TopViewTest, RunningOutOfMemoryIsAnError)
{
  MeshPtr grid(MakeGrid(30, 30, 30, 30, 2.0));
  Int failures = 0;
  for (Int n = 1; n <= 3; ++n)
  {
    host::ScopedAllocationFailure fail(n);
    const Result<RgbaImage> image = RenderTopView(Parts(grid.get()), 64);
    if (image.IsError())
    {
      ++failures;
      EXPECT_EQ(image.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY);
      EXPECT_EQ(image.GetError().GetText(), "Not enough memory for the top view");
    }
  }
  EXPECT_EQ(failures, 3);   // the frame, the surface and the image
}

TEST(TopViewTest, OneThreadAndAllThreadsGiveTheSameImage)
{
  MeshPtr grid(MakeGrid(40, 40, 40, 40, 4.0));
  const Result<RgbaImage> parallel = RenderTopView(Parts(grid.get()), 300);
  host::SetParallelEnabled(false);
  const Result<RgbaImage> serial = RenderTopView(Parts(grid.get()), 300);
  host::SetParallelEnabled(true);
  ASSERT_TRUE(parallel.IsOk());
  ASSERT_TRUE(serial.IsOk());
  EXPECT_EQ(parallel.GetValue().pixels, serial.GetValue().pixels);
}

// The grid of MakeGrid with texture coordinates: point (x, z) at (x / nx, z / nz), v down from +Z.
PolygonObject* MakeTexturedGrid(Int32 nx, Int32 nz, Float sizeX, Float sizeZ, Float bump)
{
  PolygonObject* grid = MakeGrid(nx, nz, sizeX, sizeZ, bump);
  auto* tag = static_cast<UVWTag*>(grid->MakeVariableTag(Tuvw, grid->GetPolygonCount()));
  const auto uv = [&](Int32 x, Int32 z) { return Vector(Float(x) / nx, Float(z) / nz, 0.0); };
  Int32 i = 0;
  for (Int32 z = 0; z < nz; ++z)
    for (Int32 x = 0; x < nx; ++x)
      tag->SetSlow(i++, UVWStruct(uv(x + 1, z), uv(x + 1, z + 1), uv(x, z + 1), uv(x, z)));
  return grid;
}

TEST(TopViewTest, ASurfaceColourShowsAtTheTextureCoordinatesOfEachPixel)
{
  MeshPtr grid(MakeTexturedGrid(8, 8, 16, 16, 0.0));
  const SurfaceColour colour = [](const Vector& uvw) { return Vector(uvw.x, uvw.y, 0.25); };
  const Result<RgbaImage> image = RenderTopView(Parts(grid.get()), 64, {}, colour);
  ASSERT_TRUE(image.IsOk());
  const RgbaImage& img = image.GetValue();
  // A flat surface is lit evenly: ambient plus the light's share at 45 degrees.
  const Float light = 0.35 + 0.65 * 0.7071067811865476;
  for (Int32 y = 0; y < img.height; ++y)
    for (Int32 x = 0; x < img.width; ++x)
    {
      const UChar* p = &img.pixels[(static_cast<std::size_t>(y) * img.width + x) * 4];
      ASSERT_NEAR(p[0], (x + 0.5) / 64.0 * 255.0 * light, 1.0) << x << ", " << y;
      ASSERT_NEAR(p[1], (y + 0.5) / 64.0 * 255.0 * light, 1.0) << x << ", " << y;   // v = 0 at the top (+Z)
      ASSERT_NEAR(p[2], 0.25 * 255.0 * light, 1.0);
      ASSERT_EQ(p[3], 255);
    }

  // A higher plane without texture coordinates over the middle keeps the height tint there.
  MeshPtr both(MakeTexturedGrid(8, 8, 16, 16, 0.0));
  PolygonObject* cap = MakePlane(8, 8, 5.0);
  ASSERT_TRUE(cap->InsertUnder(both.get()));
  const Result<RgbaImage> capped = RenderTopView(Parts(both.get()), 64, {}, colour);
  const Result<RgbaImage> tinted = RenderTopView(Parts(both.get()), 64);
  ASSERT_TRUE(capped.IsOk() && tinted.IsOk());
  const auto at = [](const RgbaImage& i, Int32 x, Int32 y) {
    return std::vector<UChar>(i.pixels.begin() + (y * i.width + x) * 4, i.pixels.begin() + (y * i.width + x) * 4 + 4);
  };
  EXPECT_EQ(at(capped.GetValue(), 32, 32), at(tinted.GetValue(), 32, 32));
  EXPECT_NE(at(capped.GetValue(), 2, 2), at(tinted.GetValue(), 2, 2));
}

TEST(TopViewTest, AColouredViewIsTheSameWithOneThreadOrAll)
{
  MeshPtr grid(MakeTexturedGrid(40, 30, 40, 30, 4.0));
  // A colour with sharp steps, so a texture point taken from another polygon would show.
  const SurfaceColour colour = [](const Vector& uvw) {
    return Vector(std::fmod(uvw.x * 7.0, 1.0), std::fmod(uvw.y * 5.0, 1.0), uvw.x * uvw.y);
  };
  const Result<RgbaImage> parallel = RenderTopView(Parts(grid.get()), 300, {}, colour);
  host::SetParallelEnabled(false);
  const Result<RgbaImage> serial = RenderTopView(Parts(grid.get()), 300, {}, colour);
  host::SetParallelEnabled(true);
  ASSERT_TRUE(parallel.IsOk());
  ASSERT_TRUE(serial.IsOk());
  EXPECT_EQ(parallel.GetValue().pixels, serial.GetValue().pixels);
}

// ---------------------------------------------------------------------------------------------------
// OBJ files read back

struct ObjCorner
{
  Int v = 0, t = 0, n = 0;   // 1-based, 0 when absent
};
struct ObjFile
{
  std::vector<Vector> v, vt, vn;
  std::vector<std::vector<ObjCorner>> f;
};

ObjFile ParseObj(const std::string& text)
{
  ObjFile obj;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
  {
    std::istringstream l(line);
    std::string kind;
    l >> kind;
    Vector p;
    if (kind == "v")
      obj.v.push_back((l >> p.x >> p.y >> p.z, p));
    else if (kind == "vt")
      obj.vt.push_back((l >> p.x >> p.y, p));
    else if (kind == "vn")
      obj.vn.push_back((l >> p.x >> p.y >> p.z, p));
    else if (kind == "f")
    {
      std::vector<ObjCorner> face;
      std::string corner;
      while (l >> corner)
      {
        ObjCorner c;
        const std::size_t s1 = corner.find('/');
        c.v = std::stoll(corner.substr(0, s1));
        if (s1 != std::string::npos)
        {
          const std::size_t s2 = corner.find('/', s1 + 1);
          const std::string t = corner.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
          c.t = t.empty() ? 0 : std::stoll(t);
          if (s2 != std::string::npos)
            c.n = std::stoll(corner.substr(s2 + 1));
        }
        face.push_back(c);
      }
      obj.f.push_back(face);
    }
  }
  return obj;
}

// A UVW tag for the polygons of a grid, from a function of (polygon, corner, point).
void AddUvs(PolygonObject* op, const std::function<Vector(Int32 poly, Int k, Int32 point)>& uvOf)
{
  UVWTag* tag = UVWTag::Alloc(op->GetPolygonCount());
  ASSERT_NE(tag, nullptr);
  for (Int32 i = 0; i < op->GetPolygonCount(); ++i)
  {
    const CPolygon& q = op->GetPolygonR()[i];
    tag->SetSlow(i, UVWStruct(uvOf(i, 0, q.a), uvOf(i, 1, q.b), uvOf(i, 2, q.c), uvOf(i, 3, q.d)));
  }
  op->InsertTag(tag);
}

std::string WriteAndRead(const std::vector<MeshPart>& parts, const fs::path& file, ObjStatistics* stats = nullptr)
{
  const Result<ObjStatistics> r = WriteObj(parts, "T", Url(file));
  EXPECT_TRUE(r.IsOk()) << r.GetError().GetText();
  if (stats && r.IsOk())
    *stats = r.GetValue();
  return ReadText(file);
}

TEST(ObjWriterTest, CornersShareTextureCoordinatesThatMatchTheTag)
{
  // Per point where the corners agree (plus a seam down one column whose corners have values of their
  // own), and by distinct value where a point is not used at all.
  const fs::path dir = TempDir("objuv");
  struct Case
  {
    const char* name;
    Bool seam;
    Bool unusedPoint;
  };
  for (const Case& c : {Case{"per point", false, false}, Case{"with a seam", true, false}, Case{"by value", false, true}})
  {
    SCOPED_TRACE(c.name);
    MeshPtr grid(MakeGrid(40, 30, 40, 30, 1.0));
    auto* poly = static_cast<PolygonObject*>(grid.get());
    if (c.unusedPoint)
    {
      PolygonObject* bigger = PolygonObject::Alloc(poly->GetPointCount() + 1, poly->GetPolygonCount());
      std::copy_n(poly->GetPointR(), poly->GetPointCount(), bigger->GetPointW());
      std::copy_n(poly->GetPolygonR(), poly->GetPolygonCount(), bigger->GetPolygonW());
      grid.reset(bigger);
      poly = bigger;
    }
    const Vector* points = poly->GetPointR();
    AddUvs(poly, [&](Int32 i, Int, Int32 p) {
      const Vector uv((points[p].x + 20) / 40, (15 - points[p].z) / 30, 0);
      return c.seam && i % 40 == 7 ? uv + Vector(0.5, 0, 0) : uv;
    });
    ObjStatistics stats;
    const ObjFile obj = ParseObj(WriteAndRead(Parts(grid.get()), dir / "uv.obj", &stats));
    EXPECT_EQ(static_cast<Int>(obj.vt.size()), stats.uvs);
    const Int points41x31 = 41 * 31;
    // Per point; the seam's two columns of points once more, shifted; or each value once.
    EXPECT_EQ(stats.uvs, c.seam ? points41x31 + 2 * 31 : points41x31);
    // Every corner's coordinate is the tag's (v flipped), and no value is written twice where shared.
    const UVWStruct* uvws = static_cast<const UVWStruct*>(static_cast<UVWTag*>(poly->GetTag(Tuvw))->GetDataAddressR());
    ASSERT_EQ(obj.f.size(), static_cast<std::size_t>(poly->GetPolygonCount()));
    for (std::size_t i = 0; i < obj.f.size(); ++i)
      for (std::size_t k = 0; k < obj.f[i].size(); ++k)
      {
        const Vector want = k == 0 ? uvws[i].a : k == 1 ? uvws[i].b : k == 2 ? uvws[i].c : uvws[i].d;
        const Vector& got = obj.vt[static_cast<std::size_t>(obj.f[i][k].t - 1)];
        ASSERT_EQ(got.x, want.x) << i << " " << k;
        ASSERT_EQ(got.y, 1.0 - want.y) << i << " " << k;
      }
    if (!c.seam)
    {
      std::set<std::pair<Float, Float>> distinct;
      for (const Vector& t : obj.vt)
        distinct.insert({t.x, t.y});
      EXPECT_EQ(distinct.size(), obj.vt.size());
    }
  }
  fs::remove_all(dir);
}

// Newell's normal of a polygon (twice its vector area), written apart from the writer's diagonals.
Vector NewellNormal(const std::vector<Vector>& p)
{
  Vector n;
  for (std::size_t i = 0; i < p.size(); ++i)
  {
    const Vector& a = p[i];
    const Vector& b = p[(i + 1) % p.size()];
    n.x += (a.y - b.y) * (a.z + b.z);
    n.y += (a.z - b.z) * (a.x + b.x);
    n.z += (a.x - b.x) * (a.y + b.y);
  }
  return n;
}

TEST(ObjWriterTest, NormalsSumTheFacesAroundEachPoint)
{
  // Quads, triangles, a moved part, and the same grid with its points shuffled so that polygons reach
  // all over the point array (the writer then works the sums out once instead of piece by piece).
  const fs::path dir = TempDir("objnormals");
  for (const Bool shuffled : {false, true})
  {
    SCOPED_TRACE(shuffled ? "shuffled" : "in rows");
    MeshPtr grid(MakeGrid(120, 140, 60, 70, 3.0));
    auto* poly = static_cast<PolygonObject*>(grid.get());
    if (shuffled)
    {
      std::vector<Int32> order(static_cast<std::size_t>(poly->GetPointCount()));
      std::iota(order.begin(), order.end(), 0);
      std::mt19937 random(7);
      std::shuffle(order.begin(), order.end(), random);
      std::vector<Vector> moved(order.size());
      for (std::size_t i = 0; i < order.size(); ++i)
        moved[static_cast<std::size_t>(order[i])] = poly->GetPointR()[i];
      std::copy(moved.begin(), moved.end(), poly->GetPointW());
      for (Int32 i = 0; i < poly->GetPolygonCount(); ++i)
      {
        CPolygon& q = poly->GetPolygonW()[i];
        q = CPolygon(order[q.a], order[q.b], order[q.c], order[q.d]);
      }
    }
    // Every third quad as two triangles.
    for (Int32 i = 0; i < poly->GetPolygonCount(); i += 3)
      poly->GetPolygonW()[i].d = poly->GetPolygonR()[i].c;
    poly->MakeTag(Tphong);
    BaseObject* child = MakeMesh("tri", {{0, 0, 0}, {1, 0, 0}, {0, 0, -1}}, {CPolygon(0, 1, 2)});
    child->SetMl(Matrix(Vector(5, 1, 0), Vector(0, 1, 0), Vector(-1, 0, 0), Vector(0, 0, 1)));
    child->MakeTag(Tphong);
    child->InsertUnder(grid.get());

    ObjStatistics stats;
    const ObjFile obj = ParseObj(WriteAndRead(Parts(grid.get()), dir / "n.obj", &stats));
    ASSERT_EQ(static_cast<Int>(obj.vn.size()), stats.normals);
    ASSERT_EQ(obj.vn.size(), obj.v.size());
    std::vector<Vector> sums(obj.v.size());
    for (const std::vector<ObjCorner>& face : obj.f)
    {
      std::vector<Vector> corners;
      for (const ObjCorner& c : face)
      {
        ASSERT_EQ(c.n, c.v);   // one normal per point
        corners.push_back(obj.v[static_cast<std::size_t>(c.v - 1)]);
      }
      const Vector n = NewellNormal(corners);
      for (const ObjCorner& c : face)
        sums[static_cast<std::size_t>(c.v - 1)] += n;
    }
    for (std::size_t i = 0; i < sums.size(); ++i)
    {
      // A point no face uses (the triangles leave some out) points up.
      const Vector want = Dot(sums[i], sums[i]) > 0.0 ? sums[i].GetNormalized() : Vector(0, 1, 0);
      ASSERT_NEAR(obj.vn[i].x, want.x, 1e-6) << i;
      ASSERT_NEAR(obj.vn[i].y, want.y, 1e-6) << i;
      ASSERT_NEAR(obj.vn[i].z, want.z, 1e-6) << i;
    }
    // The grid lists its quads clockwise seen from above: as OBJ readers turn them, they face up.
    for (std::size_t i = 0; i < static_cast<std::size_t>(poly->GetPointCount()); ++i)
      ASSERT_GT(obj.vn[i].y, 0.0) << i;
  }
  fs::remove_all(dir);
}

TEST(ObjWriterTest, TheFileIsTheSameWithOneThreadOrAll)
{
  // Large enough for dozens of pieces per section.
  MeshPtr grid(MakeGrid(300, 250, 300, 250, 2.0));
  auto* poly = static_cast<PolygonObject*>(grid.get());
  const Vector* points = poly->GetPointR();
  AddUvs(poly, [&](Int32 i, Int, Int32 p) { return Vector(points[p].x / 300 + (i % 97 == 0 ? 0.25 : 0.0), points[p].z / 250, 0); });
  poly->MakeTag(Tphong);
  const fs::path dir = TempDir("objthreads");
  const std::string parallel = WriteAndRead(Parts(grid.get()), dir / "p.obj");
  host::SetParallelEnabled(false);
  const std::string serial = WriteAndRead(Parts(grid.get()), dir / "s.obj");
  host::SetParallelEnabled(true);
  EXPECT_GT(parallel.size(), 10000000u);
  EXPECT_TRUE(parallel == serial);
  fs::remove_all(dir);
}

TEST(ObjWriterTest, ACancelledOrFailedWriteLeavesNoFile)
{
  MeshPtr grid(MakeGrid(200, 200, 200, 200, 2.0));
  const fs::path dir = TempDir("objcancel");
  WriteText(dir / "old.obj", "an earlier file\n");
  ObjWriteOptions options;
  std::atomic<Int> asked{0};
  options.cancelled = [&asked] { return asked.fetch_add(1) >= 3; };
  for (const char* name : {"new.obj", "old.obj"})
  {
    SCOPED_TRACE(name);
    asked = 0;
    const Result<ObjStatistics> r = WriteObj(Parts(grid.get()), "T", Url(dir / name), options);
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), (dir / name).string() + ": writing was cancelled");
  }
  // A full disk (a cap on file sizes stands in for it).
  {
    FileSizeCap cap(100000);
    const Result<ObjStatistics> r = WriteObj(Parts(grid.get()), "T", Url(dir / "full.obj"));
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), (dir / "full.obj").string() + ": cannot be written: File too large");
  }
  EXPECT_EQ(ReadText(dir / "old.obj"), "an earlier file\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------------
// The executable

const char* EMPTY_SCENE = R"({"format": "ogx-scene", "version": 1, "objects": []})";

TEST(FrontEndExecutableTest, HelpAndUsageErrors)
{
  const fs::path work = TempDir("usage");
  const RunResult help = RunHost({"--help"}, work);
  EXPECT_EQ(help.exit, 0);
  EXPECT_EQ(help.out, UsageText());

  const RunResult bogus = RunHost({"--bogus"}, work);
  EXPECT_EQ(bogus.exit, 2);
  EXPECT_EQ(bogus.err, "ogx-host: --bogus: unknown option\n\n" + UsageText());
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, UnusableInputsExitWithTwoAndSayWhy)
{
  const fs::path work = TempDir("unusable");
  WriteText(work / "empty.json", EMPTY_SCENE);
  WriteText(work / "broken.json", "{\"format\": ");
  WriteText(work / "a-file", "x");
  const std::string out = (work / "out").string();
  const std::string scene = (work / "empty.json").string();

  struct Case
  {
    std::vector<std::string> args;
    std::string error;   // the first line on stderr, after "ogx-host: "
  };
  const std::vector<Case> cases = {
    {{scene, "--out", out, "--module", "/nonexistent/orogenix.so"},
     "Cannot open the module /nonexistent/orogenix.so: no such file"},
    {{scene, "--out", (work / "a-file" / "sub").string()},
     "Cannot create the output folder " + (work / "a-file" / "sub").string() + ": Not a directory"},
    {{(work / "missing.json").string(), "--out", out}, (work / "missing.json").string() + ": cannot open the file"},
    {{scene, "--out", out}, scene + ": the scene holds no terrain object"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.error);
    const RunResult r = RunHost(c.args, work);
    EXPECT_EQ(r.exit, 2);
    EXPECT_NE(r.err.find("ogx-host: " + c.error + "\n"), std::string::npos) << r.err;
  }
  // A broken scene names the file and the place.
  const RunResult broken = RunHost({(work / "broken.json").string(), "--out", out}, work);
  EXPECT_EQ(broken.exit, 2);
  EXPECT_NE(broken.err.find("ogx-host: " + (work / "broken.json").string() + ": "), std::string::npos) << broken.err;
  fs::remove_all(work);
}

// The same scene built in this process, with the module loaded as the front end loads it.
class InProcessBuild
{
public:
  explicit InProcessBuild(const fs::path& scene)
  {
    Result<std::unique_ptr<host::LoadedModule>> module = host::LoadedModule::Load(Url(String(OGX_MODULE_FILE)));
    if (module.IsError())
    {
      ADD_FAILURE() << module.GetError().GetText();
      return;
    }
    _module = std::move(module.GetValue());
    if (!host::FindPlugin(TERRAIN_OBJECT_TYPE))
      return;
    Result<BaseDocument*> doc = host::LoadDocument(Url(scene));
    if (doc.IsError())
    {
      ADD_FAILURE() << doc.GetError().GetText();
      return;
    }
    _doc = doc.GetValue();
  }
  ~InProcessBuild()
  {
    if (_doc)
      BaseDocument::Free(_doc);
    _module.reset();
    host::ResetSceneState();
    host::ResetLogs();
    host::ResetDescriptions();
    host::ResetIcons();
  }
  Bool HasTerrainObject() const { return _doc != nullptr; }
  BaseDocument* Document() const { return _doc; }

private:
  std::unique_ptr<host::LoadedModule> _module;
  BaseDocument* _doc = nullptr;
};

std::vector<Vector> ObjVertices(const std::string& text)
{
  std::vector<Vector> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("v ", 0) == 0)
    {
      Vector v;
      std::istringstream(line.substr(2)) >> v.x >> v.y >> v.z;
      out.push_back(v);
    }
  return out;
}

Int CountLines(const std::string& text, const std::string& prefix)
{
  Int n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

TEST(FrontEndExecutableTest, ExportsMeshMapAndTopViewOfEveryTerrainObject)
{
  const fs::path work = TempDir("export");
  const fs::path scene = work / "scene.json";
  // Two terrain objects with the same name: the second one's files get a number.
  WriteText(scene, R"({
    "format": "ogx-scene", "version": 1,
    "objects": [
      {"type": "oterrain", "name": "Hills", "level": 1,
       "params": {"10000": {"Float": 100.0}, "10001": {"Float": 50.0},
                  "10002": {"Int32": 20}, "10003": {"Int32": 10}}},
      {"type": "oterrain", "name": "Hills", "level": 1,
       "params": {"10002": {"Int32": 8}, "10003": {"Int32": 8}}}
    ]
  })");

  InProcessBuild reference(scene);
  ASSERT_TRUE(reference.HasTerrainObject()) << "the module registers no terrain object";
  HostThread thread;
  HierarchyContext hh(reference.Document(), 1.0, &thread, BUILDFLAGS::NONE);
  BaseObject* first = reference.Document()->GetFirstObject();
  BaseObject* cache = host::BuildObjectCache(first, &hh);
  ASSERT_NE(cache, nullptr);
  ASSERT_EQ(cache->GetType(), Opolygon);
  const auto* mesh = static_cast<const PolygonObject*>(cache);
  const String heightKind = GeLoadString(10030);
  const String slopeKind = GeLoadString(10031);

  for (const Bool slope : {false, true})
  {
    SCOPED_TRACE(slope ? "slope" : "height");
    const fs::path out = work / (slope ? "out-slope" : "out");
    std::vector<std::string> args = {scene.string(), "--out", out.string(), "--threads", "3"};
    if (slope)
      args.push_back("--slope");
    const RunResult r = RunHost(args, work);
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Orogenix 1.1.0 master ...\n"), std::string::npos) << r.out;

    // The mesh: the same points as the in-process build, the polygons counted.
    const std::string obj = ReadText(out / "Hills.obj");
    const std::vector<Vector> vertices = ObjVertices(obj);
    ASSERT_EQ(static_cast<Int32>(vertices.size()), mesh->GetPointCount());
    for (Int32 i = 0; i < mesh->GetPointCount(); ++i)
      ASSERT_EQ(vertices[static_cast<std::size_t>(i)], mesh->GetPointR()[i]) << i;
    EXPECT_EQ(CountLines(obj, "f "), mesh->GetPolygonCount());
    EXPECT_EQ(ObjVertices(ReadText(out / "Hills_2.obj")).size(), 81u);

    // The map the object's own export wrote: one float per cell, values in [0, 1] (0 for slopes of a
    // flat terrain).
    const String kind = slope ? slopeKind : heightKind;
    const fs::path tif = out / ("Terrain_Hills_" + kind.GetStd() + ".tif");
    ASSERT_TRUE(fs::exists(tif)) << r.out;
    EXPECT_TRUE(fs::exists(out / ("Terrain_Hills_" + kind.GetStd() + "_2.tif")));
    BaseBitmap* map = BaseBitmap::Alloc();
    ASSERT_EQ(map->Init(Url(tif)), IMAGERESULT::OK);
    EXPECT_EQ(map->GetBw(), 21);
    EXPECT_EQ(map->GetBh(), 11);
    EXPECT_TRUE(map->IsGreyFloat());
    for (Int32 y = 0; y < map->GetBh(); ++y)
      for (Int32 x = 0; x < map->GetBw(); ++x)
      {
        const Float32 v = map->GetGreyFloat(x, y);
        if (slope)
          ASSERT_EQ(v, 0.0f);
        else
          ASSERT_TRUE(!(v < 0.0f) && !(v > 1.0f)) << v;
      }
    BaseBitmap::Free(map);

    // The top view: a valid PNG with the terrain's 2:1 aspect, fully covered.
    const RgbaImage view = DecodePng(ReadText(out / "Hills.png"));
    EXPECT_EQ(view.width, TOPVIEW_DEFAULT_SIZE);
    EXPECT_EQ(view.height, TOPVIEW_DEFAULT_SIZE / 2);
    for (std::size_t i = 3; i < view.pixels.size(); i += 4)
      ASSERT_EQ(view.pixels[i], 255) << i;
    EXPECT_TRUE(fs::exists(out / "Hills_2.png"));

    // Nothing else is left in the folder (no staging folders, no temporary files).
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 6);
  }
  fs::remove_all(work);
}

// A scene of terrain objects, each given as (name, params of the terrain, params of one noise operator
// or empty for none), written as format 2 by names.
std::string TerrainScene(const std::vector<std::array<std::string, 3>>& terrains)
{
  std::string objects;
  for (const auto& [name, params, noise] : terrains)
  {
    objects += (objects.empty() ? "" : ",\n") + std::string(R"(    {"type": "oterrain", "name": )") + name +
               R"(, "level": 1, "params": {)" + params + "}";
    if (!noise.empty())
      objects += R"(, "children": [{"type": "onoiseoperator", "level": 1, "params": {)" + noise + "}}]";
    objects += "}";
  }
  return "{\"format\": \"ogx-scene\", \"version\": 2, \"objects\": [\n" + objects + "\n]}\n";
}

// What the module is: whether it registers the terrain object, and the words its map names hold.
struct ModuleFacts
{
  Bool hasTerrain = false;
  std::string heights, slopes;
};

ModuleFacts ProbeModule()
{
  InProcessBuild probe(fs::path(OGX_SOURCE_DIR) / "scenes" / "demo.json");
  return {probe.HasTerrainObject(), GeLoadString(10030).GetStd(), GeLoadString(10031).GetStd()};
}

Bool ModuleHasTerrain()
{
  return ProbeModule().hasTerrain;
}

std::vector<std::string> FilesIn(const fs::path& dir)
{
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FrontEndExecutableTest, ListsTypesAndDescribesTheirParameters)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  const fs::path work = TempDir("listing");
  const RunResult types = RunHost({"--list-types"}, work);
  EXPECT_EQ(types.exit, 0) << types.err;
  EXPECT_NE(types.out.find("  1054563    oterrain                 object    Terrain\n"), std::string::npos) << types.out;
  EXPECT_NE(types.out.find("  5140                                object    Null\n"), std::string::npos) << types.out;
  EXPECT_EQ(types.out.find("Orogenix 1.1.0"), std::string::npos);   // the module's own lines stay out of it

  // Columns are as wide as their longest entry: compared with runs of blanks as one.
  const auto collapsed = [](const std::string& text) {
    std::string out;
    for (const char c : text)
      if (c != ' ' || out.empty() || out.back() != ' ')
        out += c;
    return out;
  };
  const RunResult terrain = RunHost({"--describe", "oterrain"}, work);
  EXPECT_EQ(terrain.exit, 0) << terrain.err;
  for (const char* line : {"Terrain (\"type\": \"oterrain\" or 1054563, object)\n", "\n 10000 Size X Float default 500\n",
                           "\n 10018 Tessellation Int32 default 0 (\"Quads\") values: 0 \"Quads\", 1 \"Triangles (1)\", "
                           "2 \"Triangles (2)\"\n",
                           "\n 10017 Phong Shading Bool default true\n"})
    EXPECT_NE(collapsed(terrain.out).find(line), std::string::npos) << line << "\n" << terrain.out;
  EXPECT_EQ(terrain.out.find("Export..."), std::string::npos);   // buttons hold no value

  // The same by id; a shared name is shown with its group's name, as a scene must write it.
  const RunResult noise = RunHost({"--describe=1054566"}, work);
  EXPECT_EQ(noise.exit, 0) << noise.err;
  EXPECT_NE(noise.out.find(" Noise/Scale "), std::string::npos) << noise.out;
  EXPECT_NE(noise.out.find(" Distortion/Scale "), std::string::npos) << noise.out;

  const RunResult unknown = RunHost({"--describe", "oterain"}, work);
  EXPECT_EQ(unknown.exit, 2);
  EXPECT_EQ(unknown.err, "ogx-host: --describe: no object, tag or shader type \"oterain\" (ogx-host --list-types "
                         "lists them)\n");
  const RunResult mixed = RunHost({"--list-types", "scene.json"}, work);
  EXPECT_EQ(mixed.exit, 2);
  EXPECT_NE(mixed.err.find("--list-types: lists what a scene may hold; give no scene or --out with it"), std::string::npos);
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, AFailedObjectSaysWhyAndPointsThatAreNotFiniteLeaveHoles)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // A terrain whose build fails (no size), NaN heights, a NaN planet radius, and one that is fine.
  const fs::path work = TempDir("failures");
  WriteText(work / "scene.json",
            TerrainScene({{R"("Flat")", R"("Size X": 0, "Resolution X": 8, "Resolution Z": 8)", ""},
                          {R"("Nan")", R"("Size X": 100, "Size Z": 100, "Resolution X": 16, "Resolution Z": 16)",
                           R"("Height": "NaN")"},
                          {R"("Planet")", R"("Resolution X": 16, "Resolution Z": 16, "Planet": true, "Planet Radius": "NaN")", ""},
                          {R"("Fine")", R"("Resolution X": 16, "Resolution Z": 16)", R"("Noise Type": "Ridge")"}}));
  const fs::path out = work / "out";
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", out.string(), "--quiet"}, work);
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string why = "Terrain \"Flat\": the build failed: Invalid grid initialization arguments!";
  EXPECT_NE(r.err.find("ogx-host: " + why + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ogx-host: 1 of 4 terrain objects failed:\nogx-host:   " + why + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ogx-host: warning: Terrain \"Nan\": 289 points of the mesh are not finite numbers"),
            std::string::npos) << r.err;
  // Everything of the other three was written; the top views have holes where the points are lost.
  EXPECT_EQ(FilesIn(out), (std::vector<std::string>{"Fine.obj", "Fine.png", "Nan.obj", "Nan.png", "Planet.obj",
                                                     "Planet.png", "Terrain_Fine_Heights.tif", "Terrain_Nan_Heights.tif",
                                                     "Terrain_Planet_Heights.tif"}));
  const RgbaImage nan = DecodePng(ReadText(out / "Nan.png"));
  EXPECT_EQ(nan.width, TOPVIEW_DEFAULT_SIZE);
  EXPECT_EQ(DecodePng(ReadText(out / "Fine.png")).pixels[3], 255);
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, ATiffHeightImageDrivesATerrainThroughTheBitmapShaderAndTheShaderOperator)
{
  const ModuleFacts module = ProbeModule();
  ASSERT_TRUE(module.hasTerrain) << "the module registers no terrain object";
  // A 33 x 17 float map, one pixel per cell, spanning exactly 0 to 1.
  const fs::path work = TempDir("heightimage");
  constexpr Int32 W = 33, H = 17;
  std::vector<Float32> heights;
  for (Int32 y = 0; y < H; ++y)
    for (Int32 x = 0; x < W; ++x)
      heights.push_back(static_cast<Float32>(0.5 + 0.5 * std::sin(x * 0.4) * std::cos(y * 0.3 + 0.2)));
  const auto [lo, hi] = std::minmax_element(heights.begin(), heights.end());
  const Float32 min = *lo, range = *hi - *lo;
  for (Float32& h : heights)
    h = (h - min) / range;
  BaseBitmap* image = BaseBitmap::Alloc();
  ASSERT_EQ(image->Init(W, H, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
  for (Int32 y = 0; y < H; ++y)
    ASSERT_TRUE(image->SetPixelCnt(0, y, W, reinterpret_cast<const UChar*>(heights.data() + y * W), 4, COLORMODE::GRAYf));
  ASSERT_EQ(image->Save(Url(work / "heights.tif"), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
  BaseBitmap::Free(image);

  // The image named beside the scene, linked by name, scaled to 80 units.
  WriteText(work / "scene.json", R"({"format": "ogx-scene", "version": 2, "objects": [
    {"type": "oterrain", "name": "Imaged", "level": 1,
     "params": {"Size X": 320, "Size Z": 160, "Resolution X": 32, "Resolution Z": 16},
     "children": [
       {"type": "oshaderoperator", "name": "From Image", "level": 1,
        "params": {"Blend Mode": "Normal", "Height": 80, "Shader": {"Link": "Image"}},
        "shaders": [{"type": 5833, "name": "Image", "params": {"1000": {"String": "heights.tif"}}}]}]}]})");
  const fs::path out = work / "out";
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", out.string(), "--maps-only"}, work);
  ASSERT_EQ(r.exit, 0) << r.out << r.err;

  // The map the terrain exports holds the image again: (80 h - 0) / (80 - 0) per cell.
  BaseBitmap* map = BaseBitmap::Alloc();
  ASSERT_EQ(map->Init(Url(out / ("Terrain_Imaged_" + module.heights + ".tif"))), IMAGERESULT::OK) << r.out;
  ASSERT_EQ(map->GetBw(), W);
  ASSERT_EQ(map->GetBh(), H);
  for (Int32 y = 0; y < H; ++y)
    for (Int32 x = 0; x < W; ++x)
      ASSERT_NEAR(map->GetGreyFloat(x, y), heights[static_cast<std::size_t>(y * W + x)], 1e-6) << x << ", " << y;
  BaseBitmap::Free(map);
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, TheTopViewShowsTheColourChannelOfTheTerrainsMaterial)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // "Red" is coloured by a red colour shader; "Broken"'s material names an image that is not there, so
  // its view is tinted by height, with a warning.
  const fs::path work = TempDir("material");
  WriteText(work / "scene.json", R"({"format": "ogx-scene", "version": 2,
    "objects": [
      {"type": "oterrain", "name": "Red", "level": 1, "params": {"Resolution X": 16, "Resolution Z": 16},
       "tags": [{"type": 5616, "params": {"1010": {"Link": "Red Paint"}}}],
       "children": [{"type": "onoiseoperator", "level": 1, "params": {"Height": 40}}]},
      {"type": "oterrain", "name": "Broken", "level": 1, "params": {"Resolution X": 16, "Resolution Z": 16},
       "tags": [{"type": 5616, "params": {"1010": {"Link": "Missing Image"}}}]}],
    "materials": [
      {"type": 5702, "name": "Red Paint", "params": {"2002": {"Link": "Red Shader"}},
       "shaders": [{"type": 5832, "name": "Red Shader", "params": {"1000": {"Vector": [1, 0, 0]}}}]},
      {"type": 5702, "name": "Missing Image", "params": {"2002": {"Link": "Nothing"}},
       "shaders": [{"type": 5833, "name": "Nothing", "params": {"1000": {"String": "nothing.tif"}}}]}]})");
  const fs::path out = work / "out";
  // Without the HUD line, which would be drawn over the colour.
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", out.string(), "--pref", "Show HUD=false"}, work);
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("top view, coloured by material \"Red Paint\")"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("ogx-host: warning: Terrain \"Broken\": The colour shader of material \"Missing Image\" could "
                       "not be prepared (-102); the top view is tinted by height"),
            std::string::npos)
    << r.err;
  const RgbaImage red = DecodePng(ReadText(out / "Red.png"));
  ASSERT_GT(red.pixels.size(), 0u);
  for (std::size_t i = 0; i < red.pixels.size(); i += 4)
  {
    ASSERT_GT(red.pixels[i], 0) << i;
    ASSERT_EQ(red.pixels[i + 1], 0) << i;
    ASSERT_EQ(red.pixels[i + 2], 0) << i;
  }
  const RgbaImage tinted = DecodePng(ReadText(out / "Broken.png"));
  EXPECT_GT(tinted.pixels[1], 0);   // the height tint has green in it
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, EveryOutputNameFollowsOneRule)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // A name too long for a file name with the export's words around it, and one with a NUL in it.
  const fs::path work = TempDir("names");
  const std::string longName(300, 'x');
  WriteText(work / "scene.json", TerrainScene({{"\"" + longName + "\"", R"("Resolution X": 4, "Resolution Z": 4)", ""},
                                               {R"("a\u0000b")", R"("Resolution X": 4, "Resolution Z": 4)", ""}}));
  const fs::path out = work / "out";
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", out.string(), "--quiet"}, work);
  EXPECT_EQ(r.exit, 0) << r.err;
  const std::string cut(200, 'x');
  const std::string mapCut = "Terrain_" + std::string(192, 'x');
  const std::string heights = ProbeModule().heights;
  EXPECT_EQ(FilesIn(out), (std::vector<std::string>{"Terrain_a_b_" + heights + ".tif", mapCut + ".tif", "a_b.obj",
                                                     "a_b.png", cut + ".obj", cut + ".png"}));
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, MapsOnlyWritesTheMapsAlone)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  const fs::path work = TempDir("mapsonly");
  WriteText(work / "scene.json", TerrainScene({{R"("One")", R"("Resolution X": 10, "Resolution Z": 6)", R"("Seed": 9)"},
                                               {R"("Two")", R"("Resolution X": 6, "Resolution Z": 6)", ""}}));
  const fs::path out = work / "out";
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", out.string(), "--maps-only", "--slope"}, work);
  EXPECT_EQ(r.exit, 0) << r.err;
  const std::string slopes = ProbeModule().slopes;
  EXPECT_EQ(FilesIn(out), (std::vector<std::string>{"Terrain_One_" + slopes + ".tif", "Terrain_Two_" + slopes + ".tif"}));
  EXPECT_EQ(r.out.find(".obj"), std::string::npos);
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, AFullDiskReportsOnlyWhatWasWritten)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // Files are capped below the map's size (the disk "fills up" there); the top view still fits.
  const fs::path work = TempDir("fulldisk");
  WriteText(work / "scene.json", TerrainScene({{R"("Big")", R"("Resolution X": 150, "Resolution Z": 150)", ""}}));
  const fs::path out = work / "out";
  const RunResult r =
    RunHost({(work / "scene.json").string(), "--out", out.string()}, work, "trap '' XFSZ; ulimit -f 80");
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_NE(r.err.find("Big.obj: cannot be written: File too large"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the map export said: "), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find(".tif"), std::string::npos) << r.out;   // no "Wrote" for a map that was not written
  EXPECT_EQ(FilesIn(out), std::vector<std::string>{"Big.png"});   // nothing truncated, nothing temporary
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, ACutShortModuleExitsWithTwo)
{
  const fs::path work = TempDir("cutmodule");
  std::ifstream in(OGX_MODULE_FILE, std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(work / "orogenix.so", std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
  WriteText(work / "empty.json", EMPTY_SCENE);
  const RunResult r = RunHost({(work / "empty.json").string(), "--out", (work / "out").string(), "--module",
                               (work / "orogenix.so").string()},
                              work);
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("ogx-host: Cannot open the module " + (work / "orogenix.so").string() + ": the file is incomplete"),
            std::string::npos)
    << r.err;
  fs::remove_all(work);
}

// The front end started in the background, for a signal to reach it.
pid_t StartHost(const std::vector<std::string>& args, const fs::path& work)
{
  const pid_t pid = fork();
  if (pid == 0)
  {
    const int out = open((work / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((work / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(OGX_HOST_EXE)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(OGX_HOST_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

Bool HoldsTemporaryFile(const fs::path& dir)
{
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().find(".tmp-") != std::string::npos)
      return true;
  return false;
}

TEST(FrontEndExecutableTest, CtrlCListsWhatWasLeftUndoneAndRemovesTemporaryFiles)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // Three terrains large enough that the first mesh takes a while to write: Ctrl-C once while it is
  // written, and twice in a row.
  const fs::path work = TempDir("interrupt");
  const std::string big = R"("Size X": 1000, "Size Z": 1000, "Resolution X": 700, "Resolution Z": 700)";
  WriteText(work / "scene.json", TerrainScene({{R"("A")", big, ""}, {R"("B")", big, ""}, {R"("C")", big, ""}}));
  for (const int signals : {1, 2})
  {
    SCOPED_TRACE(signals);
    const fs::path out = work / ("out" + std::to_string(signals));
    fs::create_directories(out);
    const pid_t pid = StartHost({(work / "scene.json").string(), "--out", out.string(), "--quiet"}, work);
    ASSERT_GT(pid, 0);
    while (!HoldsTemporaryFile(out))
    {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the run ended before a file was being written";
      usleep(200);
    }
    // Signals sent at once merge into one: the second follows once the first has been taken.
    for (int i = 0; i < signals; ++i)
    {
      if (i > 0)
        usleep(1000);
      kill(pid, SIGINT);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_FALSE(HoldsTemporaryFile(out));
    const std::string err = ReadText(work / "stderr.txt");
    if (signals == 1)
    {
      EXPECT_NE(err.find("ogx-host: interrupted; left undone:\nogx-host:   Terrain \"A\": the mesh, the map, the top "
                         "view\nogx-host:   Terrain \"B\": not built\nogx-host:   Terrain \"C\": not built\n"),
                std::string::npos)
        << err;
      EXPECT_TRUE(FilesIn(out).empty());
    }
    else
      // Usually the second arrives while the first is still being wound up; the run may have ended by
      // then. Either way nothing temporary stays.
      EXPECT_TRUE(err.find("ogx-host: interrupted again: stopped at once\n") != std::string::npos ||
                  err.find("ogx-host: interrupted; left undone:\n") != std::string::npos)
        << err;
    for (const std::string& name : FilesIn(out))
      EXPECT_EQ(name.rfind(".ogx-export", 0), std::string::npos) << name;   // no scratch folder either
  }
  fs::remove_all(work);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(FrontEndExecutableTest, RunningOutOfMemoryIsAnErrorNotAnAbort)
{
  ASSERT_TRUE(ModuleHasTerrain()) << "the module registers no terrain object";
  // An address space too small for these terrains: whatever fails to allocate (the module's grids and
  // mesh, the OBJ writer, the top view) is an error of that object.
  const fs::path work = TempDir("outofmemory");
  const std::string big = R"("Size X": 2000, "Size Z": 2000, "Resolution X": 1000, "Resolution Z": 1000)";
  WriteText(work / "scene.json", TerrainScene({{R"("A")", big, ""}, {R"("B")", big, ""}}));
  for (const int megabytes : {250, 400, 600})
  {
    SCOPED_TRACE(megabytes);
    const RunResult r = RunHost({(work / "scene.json").string(), "--out", (work / "out").string(), "--quiet"}, work,
                                "ulimit -v " + std::to_string(megabytes * 1024));
    EXPECT_TRUE(r.exit == 1 || r.exit == 2) << r.exit << "\n" << r.err;
    EXPECT_FALSE(HoldsTemporaryFile(work / "out"));
  }
  fs::remove_all(work);
}
#endif
// ---------------------------------------------------------------------------------------------------
// The HUD line, the About texts and the help pages

TEST(HudTextTest, LettersAreWhiteOnADarkRimAndClippedToTheImage)
{
  RgbaImage image;
  image.width = 40;
  image.height = 12;
  image.pixels.assign(static_cast<std::size_t>(image.width * image.height * 4), 0);
  const auto pixel = [&](Int32 x, Int32 y) { return &image.pixels[static_cast<std::size_t>((y * image.width + x) * 4)]; };
  DrawText(image, 2, 2, "I|");
  // "I": its top bar runs from column 1 to 3 of the cell, its stem down column 2.
  for (const Int32 x : {3, 4, 5})
    EXPECT_EQ(pixel(x, 2)[0], 255) << x;
  for (Int32 y = 2; y < 9; ++y)
    EXPECT_EQ(pixel(4, y)[0], 255) << y;
  EXPECT_EQ(pixel(4, 2)[3], 255);
  // The rim around it is dark and opaque; pixels away from any letter are untouched.
  EXPECT_EQ(pixel(4, 1)[0], 24);
  EXPECT_EQ(pixel(4, 1)[3], 255);
  EXPECT_EQ(pixel(2, 5)[3], 0);
  // "|" in the second cell: a full column at its centre.
  for (Int32 y = 2; y < 9; ++y)
    EXPECT_EQ(pixel(2 + HUDTEXT_ADVANCE + 2, y)[0], 255) << y;
  EXPECT_EQ(pixel(30, 5)[3], 0);

  // Far outside or half outside: drawn where it is inside, nothing written beyond the pixels.
  RgbaImage copy = image;
  DrawText(image, -100000, -100000, "clipped away");
  EXPECT_EQ(image.pixels, copy.pixels);
  DrawText(image, 36, 8, "WW");
  DrawText(image, 2147483000, 5, "W");
  EXPECT_EQ(image.pixels.size(), copy.pixels.size());

  // A non-ASCII letter is one '?', whatever its byte count.
  RgbaImage a = copy;
  RgbaImage b = copy;
  DrawText(a, 0, 0, "a\xc3\xa9" "b");
  DrawText(b, 0, 0, "a?b");
  EXPECT_EQ(a.pixels, b.pixels);
}

// The preferences as the preferences page leaves them (HUD on, its usual items, text at 0.05).
TEST(FrontEndHudTest, TheSelectedTerrainsLineAtItsPlaceAndTheSelectionKept)
{
  const fs::path work = TempDir("hud");
  WriteText(work / "scene.json", TerrainScene({{R"("Ridge")", R"("Resolution X": 6, "Resolution Z": 4)", R"("Seed": 9)"},
                                               {R"("Other")", "", ""}}));
  InProcessBuild build(work / "scene.json");
  ASSERT_TRUE(build.HasTerrainObject()) << "the module registers no terrain object";
  BaseDocument* doc = build.Document();
  BaseObject* ridge = doc->SearchObject("Ridge");
  BaseObject* other = doc->SearchObject("Other");
  ASSERT_TRUE(ridge && other);
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  ASSERT_NE(host::BuildObjectCache(ridge, &hh), nullptr);
  other->SetBit(BIT_ACTIVE);

  // The preferences page filled in its defaults when the module started: the default items show.
  const std::vector<host::HudText> texts = ViewHud(doc, ridge, 512, 300);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].x, 15);
  EXPECT_EQ(texts[0].y, 13);   // (300 - 25) x 0.05, truncated
  EXPECT_EQ(texts[0].text.rfind("Ridge | Polygons: 24 | ", 0), 0u) << texts[0].text;
  // The scene's own selection is as it was.
  EXPECT_TRUE(other->GetBit(BIT_ACTIVE));
  EXPECT_FALSE(ridge->GetBit(BIT_ACTIVE));
  EXPECT_NE(texts[0].text.find("Output range: 0.000"), std::string::npos) << texts[0].text;

  // A selected operator below the terrain stays selected for the line: its output range shows.
  BaseObject* noise = ridge->GetDown();
  ASSERT_NE(noise, nullptr);
  noise->SetBit(BIT_ACTIVE);
  const std::vector<host::HudText> withOperator = ViewHud(doc, ridge, 512, 300);
  ASSERT_EQ(withOperator.size(), 1u);
  EXPECT_EQ(withOperator[0].text.rfind("Ridge | Polygons: 24 | ", 0), 0u) << withOperator[0].text;
  EXPECT_NE(withOperator[0].text.find("Output range: "), std::string::npos) << withOperator[0].text;
  EXPECT_EQ(withOperator[0].text.find("Output range: 0.000"), std::string::npos) << withOperator[0].text;
  EXPECT_TRUE(noise->GetBit(BIT_ACTIVE));
  EXPECT_TRUE(other->GetBit(BIT_ACTIVE));
  EXPECT_FALSE(ridge->GetBit(BIT_ACTIVE));
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, AboutShowsTheDialogsTexts)
{
  const fs::path work = TempDir("about");
  const RunResult r = RunHost({"--about"}, work);
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string logo = (fs::path(OGX_HOST_EXE).parent_path() / "res" / "ogx_logo.tif").string();
  const std::string texts =
    "About Orogenix...\n[logo: " + logo + ", 256 x 80]\nOrogenix 1.1.0\n\nRev master @ 051ccf5\n2021-03-10\n\n";
  EXPECT_EQ(r.out, texts);

  // The logo clicked as a user clicks it: a plain click closes the dialog, a SHIFT-click shows the
  // module's message and leaves it open.
  struct Case
  {
    std::vector<std::string> args;
    std::string after;
  };
  const std::string shiftClick = "[click on the logo, Shift held]\n[message] Why would you ever SHIFT+Click on this "
                                 "logo? This doesn't make any sense.\n[the dialog stays open]\n";
  const Case cases[] = {
    {{"--about", "click"}, "[click on the logo]\n[the dialog closed]\n"},
    {{"--about", "shift+click"}, shiftClick},
    {{"--about=Shift+Click"}, shiftClick},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.args.back());
    const RunResult clicked = RunHost(c.args, work);
    EXPECT_EQ(clicked.exit, 0) << clicked.err;
    EXPECT_EQ(clicked.out, texts + c.after);
  }
  const RunResult wrong = RunHost({"--about=doubleclick"}, work);
  EXPECT_EQ(wrong.exit, 2);
  EXPECT_EQ(wrong.err.rfind("ogx-host: --about: expected click or shift+click (got \"doubleclick\")\n", 0), 0u)
    << wrong.err;
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, HelpPagesOpenThroughTheModulesCallback)
{
  const fs::path work = TempDir("helppage");
  const fs::path log = work / "browser.log";
  const std::string browser = std::string(OGX_SOURCE_DIR) + "/tests/support/browser_recorder.sh %s";
  setenv("BROWSER", browser.c_str(), 1);
  setenv("OGX_BROWSER_LOG", log.c_str(), 1);
  const RunResult page = RunHost({"--help-page", "ONOISEOPERATOR", "NOISEOPERATOR_SCALE"}, work);
  const RunResult prefs = RunHost({"--help-page", "PREFSOGX"}, work);
  const RunResult lower = RunHost({"--help-page", "onoiseoperator"}, work);
  unsetenv("BROWSER");
  unsetenv("OGX_BROWSER_LOG");

  EXPECT_EQ(page.exit, 0) << page.err;
  EXPECT_EQ(page.out, "The module opened the help of ONOISEOPERATOR NOISEOPERATOR_SCALE in the web browser.\n");
  EXPECT_EQ(prefs.exit, 0) << prefs.err;
  EXPECT_EQ(lower.exit, 1);
  EXPECT_EQ(lower.err, "ogx-host: --help-page: the module has no help for onoiseoperator\n");
  const std::string help = (fs::path(OGX_HOST_EXE).parent_path() / "help" / "content").string();
  EXPECT_EQ(ReadText(log), "file://" + help + "/onoiseoperator.html#NOISEOPERATOR_SCALE\nfile://" + help +
                             "/prefsogx.html#\n");
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, AHelpPageTheModuleCannotOpenIsAFailure)
{
  // The module installed without its help folder and without a help location in its strings: it
  // handles the request but can open nothing, and says so on its console.
  const fs::path work = TempDir("helpmissing");
  const fs::path installed = work / "module";
  fs::create_directories(installed);
  fs::copy_file(OGX_MODULE_FILE, installed / "orogenix.so");
  fs::copy(fs::path(OGX_HOST_EXE).parent_path() / "res", installed / "res", fs::copy_options::recursive);
  std::string strings = ReadText(installed / "res" / "strings.json");
  const std::size_t at = strings.find("\"10086\": \"");
  ASSERT_NE(at, std::string::npos);
  const std::size_t value = at + std::strlen("\"10086\": \"");
  strings.erase(value, strings.find('"', value) - value);
  fs::remove(installed / "res" / "strings.json");
  WriteText(installed / "res" / "strings.json", strings);
  const fs::path log = work / "browser.log";
  const std::string browser = std::string(OGX_SOURCE_DIR) + "/tests/support/browser_recorder.sh %s";
  setenv("BROWSER", browser.c_str(), 1);
  setenv("OGX_BROWSER_LOG", log.c_str(), 1);
  const RunResult r =
    RunHost({"--help-page", "OTERRAIN", "TERRAINOBJECT_SIZE_X", "--module", (installed / "orogenix.so").string()}, work);
  unsetenv("BROWSER");
  unsetenv("OGX_BROWSER_LOG");

  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ogx-host: warning: Error creating help URL: Could not find the help location!\n"
                   "ogx-host: warning: Can't open URL \n"
                   "ogx-host: --help-page: the module could not open the help of OTERRAIN TERRAINOBJECT_SIZE_X\n");
  EXPECT_FALSE(fs::exists(log));
  fs::remove_all(work);
}

TEST(FrontEndExecutableTest, TheHudLineIsPrintedAfterEachBuild)
{
  const fs::path work = TempDir("hudline");
  WriteText(work / "scene.json", TerrainScene({{R"("Mesa")", R"("Resolution X": 4, "Resolution Z": 4)", ""}}));
  {
    InProcessBuild probe(work / "scene.json");
    ASSERT_TRUE(probe.HasTerrainObject()) << "the module registers no terrain object";
    ASSERT_NE(host::FindPlugin(1055624), nullptr) << "the module registers no preferences page";
  }
  const RunResult r = RunHost({(work / "scene.json").string(), "--out", (work / "out").string()}, work);
  ASSERT_EQ(r.exit, 0) << r.err;
  // The preferences page filled in the HUD's items when the module started.
  EXPECT_NE(r.out.find("\nHUD: Mesa | Polygons: 16 | "), std::string::npos) << r.out;
  fs::remove_all(work);
}
} // namespace
