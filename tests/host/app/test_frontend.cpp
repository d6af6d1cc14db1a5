// The host front end: its command line, file names, OBJ and PNG writers and top view, each against a
// hand-worked result or an independent decoder, and the ogx-host executable itself, run as a user
// would run it (its error exits, and a full export compared with the same scene built in this process).
#include <gtest/gtest.h>
#include <png.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "frontend.h"
#include "host/app/moduleloader.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/thread.h"
#include "host/geometry/geometrytags.h"
#include "host/gui/icons.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"
#include "host/scene/resource.h"
#include "host/scene/scene.h"
#include "meshexport.h"
#include "pngwriter.h"
#include "topview.h"

namespace fs = std::filesystem;
using namespace host::app;

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

std::string ReadText(const fs::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const fs::path& file, const std::string& text)
{
  std::ofstream out(file, std::ios::binary);
  out << text;
}

// ---------------------------------------------------------------------------------------------------
// PNG files read back with libpng's own reader (a path of the library apart from the one that writes).

// The RGBA image of a PNG file; fails the test on anything malformed.
RgbaImage DecodePng(const std::string& file)
{
  RgbaImage image;
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, file.data(), file.size()))
  {
    ADD_FAILURE() << "not a PNG file: " << png.message;
    return image;
  }
  // What the writer promises: 8-bit RGBA, no colour map.
  EXPECT_EQ(png.format, static_cast<png_uint_32>(PNG_FORMAT_RGBA));
  png.format = PNG_FORMAT_RGBA;
  image.width = static_cast<Int32>(png.width);
  image.height = static_cast<Int32>(png.height);
  image.pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr))
    ADD_FAILURE() << "the PNG data does not decode: " << png.message;
  png_image_free(&png);
  return image;
}

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

// ---------------------------------------------------------------------------------------------------
// The executable

struct RunResult
{
  int exit = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& s)
{
  std::string q = "'";
  for (const char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

RunResult RunHost(const std::vector<std::string>& args, const fs::path& work)
{
  std::string command = Quote(OGX_HOST_EXE);
  // Appended piece by piece: g++ 12 sees a false overlap in `" " + Quote(a)` (-Wrestrict).
  for (const std::string& a : args)
  {
    command += ' ';
    command += Quote(a);
  }
  command += " >";
  command += Quote((work / "stdout.txt").string());
  command += " 2>";
  command += Quote((work / "stderr.txt").string());
  const int status = std::system(command.c_str());
  RunResult r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadText(work / "stdout.txt");
  r.err = ReadText(work / "stderr.txt");
  return r;
}

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
  if (!reference.HasTerrainObject())
    GTEST_SKIP() << "the module registers no terrain object yet";
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
} // namespace
