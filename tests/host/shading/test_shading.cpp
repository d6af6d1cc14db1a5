// The host's shading area: the gradient, the render records, the built-in shaders (colour, gradient,
// noise, bitmap from TIFF and PNG), the render cycle of shader nodes, materials' colour channel and
// texture tags, and scene files holding them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include <png.h>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/imaging/bitmap.h"
#include "host/noise/noise.h"
#include "host/scene/hyperfile.h"
#include "host/scene/plugins.h"
#include "host/scene/scenefile.h"
#include "host/shading/shading.h"
#include "support/scene_fixture.h"

namespace
{
GradientKnot Knot(Float pos, const Vector& col, GRADIENT_INTERPOLATION_TYPE interpolation,
                  Float brightness = 1.0, Float bias = 0.5)
{
  GradientKnot k;
  k.pos = pos;
  k.col = col;
  k.interpolation = interpolation;
  k.brightness = brightness;
  k.bias = bias;
  return k;
}

void ExpectNear(const Vector& a, const Vector& b, Float tol = 1e-12)
{
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

Vector SampleAt(BaseShader* sh, Float u, Float v, Int32 texflag = 0, VolumeData* vd = nullptr)
{
  ChannelData cd;
  cd.p = Vector(u, v, 0.0);
  cd.texflag = texflag;
  cd.vd = vd;
  return sh->Sample(&cd);
}

class ShadingTest : public LeakCheckedSceneTest
{
protected:
  void SetUp() override
  {
    LeakCheckedSceneTest::SetUp();
    host::ResetLogs();
    _gradients = host::GetLiveGradientCount();
    _tmp = std::filesystem::temp_directory_path() /
           ("ogx_shading_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(_tmp);
  }
  void TearDown() override
  {
    std::filesystem::remove_all(_tmp);
    LeakCheckedSceneTest::TearDown();
    EXPECT_EQ(host::GetLiveGradientCount(), _gradients) << "gradients were left alive";
  }

  std::filesystem::path Tmp(const char* name) const { return _tmp / name; }

  // A grey 32-bit float TIFF of w x h with the given values (rows top first).
  void WriteFloatTiff(const std::filesystem::path& path, Int32 w, Int32 h, const std::vector<Float32>& values)
  {
    BaseBitmap* bmp = BaseBitmap::Alloc();
    ASSERT_EQ(bmp->Init(w, h, 32, INITBITMAPFLAGS::GRAYSCALE), IMAGERESULT::OK);
    for (Int32 y = 0; y < h; ++y)
      ASSERT_TRUE(bmp->SetPixelCnt(0, y, w, reinterpret_cast<const UChar*>(values.data() + y * w), 4, COLORMODE::GRAYf));
    ASSERT_EQ(bmp->Save(Url(path), FILTER_TIF, SAVEBIT_32BITCHANNELS), IMAGERESULT::OK);
    BaseBitmap::Free(bmp);
  }

  // A PNG written through libpng's simplified writer: format PNG_FORMAT_RGB with 8-bit samples, or
  // PNG_FORMAT_LINEAR_Y with 16-bit ones.
  static Bool WritePng(const std::filesystem::path& path, Int32 w, Int32 h, png_uint_32 format, const void* samples)
  {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = format;
    return png_image_write_to_file(&image, path.c_str(), 0, samples, 0, nullptr) != 0;
  }

  BaseShader* Bitmap(const std::filesystem::path& file)
  {
    BaseShader* sh = BaseShader::Alloc(Xbitmap);
    EXPECT_NE(sh, nullptr);
    if (sh)
      sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, String(file.string()));
    return sh;
  }

  Int _gradients = 0;
  std::filesystem::path _tmp;
};

// ---------------------------------------------------------------------------------------------------
// Gradient

TEST_F(ShadingTest, GradientColoursFollowKnotsInterpolationBiasAndBrightness)
{
  using enum GRADIENT_INTERPOLATION_TYPE;
  struct Case
  {
    const char* name;
    std::vector<GradientKnot> knots;
    Float at;
    Vector expected;
  };
  const Vector red(1, 0, 0), blue(0, 0, 1), white(1, 1, 1);
  const Float smooth = 0.25 * 0.25 * (3.0 - 2.0 * 0.25);
  const std::vector<Case> cases = {
    {"linear quarter", {Knot(0.0, red, LINEARKNOT), Knot(1.0, blue, LINEARKNOT)}, 0.25, Vector(0.75, 0, 0.25)},
    {"smooth quarter", {Knot(0.0, red, SMOOTHKNOT), Knot(1.0, blue, LINEARKNOT)}, 0.25,
     Vector(1.0 - smooth, 0, smooth)},
    {"none holds the left knot", {Knot(0.0, red, NONE), Knot(1.0, blue, NONE)}, 0.99, red},
    {"the left knot decides", {Knot(0.0, red, NONE), Knot(0.5, blue, LINEARKNOT), Knot(1.0, white, NONE)}, 0.75,
     Vector(0.5, 0.5, 1.0)},
    {"order by position, not insertion", {Knot(1.0, blue, LINEARKNOT), Knot(0.0, red, LINEARKNOT)}, 0.5,
     Vector(0.5, 0, 0.5)},
    {"brightness scales the colour", {Knot(0.0, red, LINEARKNOT, 0.5), Knot(1.0, red, LINEARKNOT, 0.5)}, 0.3,
     Vector(0.5, 0, 0)},
    {"bias 0.25 puts the halfway colour at 0.25", {Knot(0.0, red, LINEARKNOT, 1.0, 0.25), Knot(1.0, blue, LINEARKNOT)},
     0.25, Vector(0.5, 0, 0.5)},
    {"before the first knot", {Knot(0.2, red, LINEARKNOT), Knot(0.8, blue, LINEARKNOT)}, -3.0, red},
    {"after the last knot", {Knot(0.2, red, LINEARKNOT), Knot(0.8, blue, LINEARKNOT)}, 7.0, blue},
    {"NaN reads as before the first", {Knot(0.2, red, LINEARKNOT), Knot(0.8, blue, LINEARKNOT)}, std::nan(""), red},
    {"two knots at one place: the later one from there on",
     {Knot(0.0, red, LINEARKNOT), Knot(0.5, red, LINEARKNOT), Knot(0.5, blue, LINEARKNOT), Knot(1.0, blue, LINEARKNOT)},
     0.5, blue},
    {"cubic passes through the knots",
     {Knot(0.0, red, CUBICKNOT), Knot(0.5, blue, CUBICKNOT), Knot(1.0, white, CUBICKNOT)}, 0.5, blue},
    {"no knots is black", {}, 0.5, Vector()},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Gradient g;
    for (const GradientKnot& k : c.knots)
      ASSERT_TRUE(g.InsertKnot(k));
    ASSERT_TRUE(g.InitRender(InitRenderStruct()).IsOk());
    ExpectNear(g.CalcGradientPixel(c.at), c.expected);
  }
}

TEST_F(ShadingTest, GradientLookupsNeedPreparationAndCopiesKeepIt)
{
  Gradient g;
  ASSERT_TRUE(SetDefaultGradientKnots(g));
  EXPECT_EQ(g.GetKnotCount(), 2);
  EXPECT_EQ(g.GetKnot(0).interpolation, GRADIENT_INTERPOLATION_TYPE::SMOOTHKNOT);
  EXPECT_EQ(g.GetKnot(1).col, Vector(1.0));
  host::ResetUnpreparedGradientLookups();
  EXPECT_EQ(g.CalcGradientPixel(1.0), Vector());
  EXPECT_EQ(host::GetUnpreparedGradientLookups(), 1);

  ASSERT_TRUE(g.InitRender(InitRenderStruct()).IsOk());
  EXPECT_EQ(g.CalcGradientPixel(1.0), Vector(1.0));
  // CopyTo copies the preparation too; a container clone holds the knots only.
  Gradient copy;
  ASSERT_TRUE(g.CopyTo(&copy));
  EXPECT_TRUE(copy.IsPrepared());
  EXPECT_EQ(copy.CalcGradientPixel(1.0), Vector(1.0));
  std::unique_ptr<CustomDataType> clone = g.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_FALSE(static_cast<Gradient*>(clone.get())->IsPrepared());
  EXPECT_TRUE(clone->IsEqual(g));
  // Edits after preparation wait for the next InitRender; equality follows the knots at once.
  GradientKnot k = g.GetKnot(1);
  k.col = Vector(0.5);
  ASSERT_TRUE(g.SetKnot(1, k));
  EXPECT_EQ(g.CalcGradientPixel(1.0), Vector(1.0));
  EXPECT_FALSE(clone->IsEqual(g));
  g.FreeRender();
  EXPECT_EQ(g.CalcGradientPixel(1.0), Vector());
  EXPECT_EQ(host::GetUnpreparedGradientLookups(), 2);

  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(g.CopyTo(&copy));
  }
  EXPECT_TRUE(copy.IsPrepared());   // unchanged by the failed copy
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_TRUE(g.InitRender(InitRenderStruct()).IsError());
  }
  EXPECT_FALSE(g.IsPrepared());
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(Gradient::Alloc(), nullptr);
  }
}

TEST_F(ShadingTest, GradientStreamRoundTripAndRefusals)
{
  Gradient g;
  ASSERT_TRUE(g.InsertKnot(Knot(0.1, Vector(0.1, 0.2, 0.3), GRADIENT_INTERPOLATION_TYPE::CUBICKNOT, 0.7, 0.3)));
  ASSERT_TRUE(g.InsertKnot(Knot(0.9, Vector(1, 0, 1), GRADIENT_INTERPOLATION_TYPE::NONE)));
  HyperFile hf;
  ASSERT_TRUE(g.WriteData(&hf));
  Gradient back;
  HyperFile in(hf.GetValues());
  ASSERT_TRUE(back.ReadData(&in, 0));
  EXPECT_TRUE(back.IsEqual(g));

  // A knot count beyond the stream, or an unknown interpolation, is refused and changes nothing.
  std::vector<GeData> values = hf.GetValues();
  values[1] = GeData(Int32(1000));
  HyperFile tooMany(values);
  EXPECT_FALSE(back.ReadData(&tooMany, 0));
  values = hf.GetValues();
  values[7] = GeData(Int32(4));
  HyperFile badInterpolation(values);
  EXPECT_FALSE(back.ReadData(&badInterpolation, 0));
  EXPECT_TRUE(back.IsEqual(g));
}

// ---------------------------------------------------------------------------------------------------
// Render records

TEST_F(ShadingTest, RenderRecordsAreCountedAndVolumeDataAttachesOnlyToCameras)
{
  const Int volumes = host::GetLiveVolumeDataCount();
  const Int textures = host::GetLiveTexDataCount();
  VolumeData* vd = VolumeData::Alloc();
  TexData* td = TexData::Alloc();
  ASSERT_TRUE(vd && td);
  EXPECT_EQ(host::GetLiveVolumeDataCount(), volumes + 1);
  EXPECT_EQ(host::GetLiveTexDataCount(), textures + 1);

  BaseObject* camera = BaseObject::Alloc(Ocamera);
  BaseObject* null = BaseObject::Alloc(Onull);
  ASSERT_TRUE(camera && null);
  BaseContainer settings;
  settings.SetInt32(VOLUMEDATA_THREADINDEX, 3);
  settings.SetInt32(VOLUMEDATA_THREADCOUNT, 8);
  EXPECT_FALSE(vd->AttachToCamera(nullptr, settings));
  EXPECT_FALSE(vd->AttachToCamera(null, settings));
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(vd->AttachToCamera(camera, settings));
  }
  EXPECT_EQ(vd->GetCamera(), nullptr);
  ASSERT_TRUE(vd->AttachToCamera(camera, settings));
  EXPECT_EQ(vd->GetCamera(), camera);
  EXPECT_EQ(vd->GetSettings().GetInt32(VOLUMEDATA_THREADINDEX), 3);
  EXPECT_EQ(vd->GetSettings().GetInt32(VOLUMEDATA_THREADCOUNT), 8);
  BaseObject::Free(camera);
  EXPECT_EQ(vd->GetCamera(), nullptr);   // a freed camera is not reached through the record
  BaseObject::Free(null);

  VolumeData::Free(vd);
  TexData::Free(td);
  EXPECT_EQ(vd, nullptr);
  EXPECT_EQ(host::GetLiveVolumeDataCount(), volumes);
  EXPECT_EQ(host::GetLiveTexDataCount(), textures);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_EQ(VolumeData::Alloc(), nullptr);
  }
  EXPECT_EQ(host::GetLiveVolumeDataCount(), volumes);
}

TEST_F(ShadingTest, InitRenderStructTakesTheDocumentsTimeAndPath)
{
  BaseDocument* doc = BaseDocument::Alloc();
  doc->SetTime(2.5);
  doc->GetDataInstanceRef().SetString(DOCUMENT_PATH, "/scenes");
  const InitRenderStruct irs(doc);
  EXPECT_EQ(irs.doc, doc);
  EXPECT_EQ(irs.time, 2.5);
  EXPECT_EQ(irs.docpath, String("/scenes"));
  EXPECT_EQ(irs.thread, nullptr);
  EXPECT_EQ(irs.vd, nullptr);
  BaseDocument::Free(doc);
}

// ---------------------------------------------------------------------------------------------------
// Built-in shaders

TEST_F(ShadingTest, ColourGradientAndNoiseShadersSampleWhatTheirParametersSay)
{
  BaseShader* color = BaseShader::Alloc(Xcolor);
  BaseShader* gradient = BaseShader::Alloc(Xgradient);
  BaseShader* noise = BaseShader::Alloc(Xnoise);
  ASSERT_TRUE(color && gradient && noise);

  // Defaults: white, black to white along u, fBm.
  ASSERT_EQ(color->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  EXPECT_EQ(SampleAt(color, 0.3, 0.9), Vector(1.0));
  color->GetDataInstanceRef().SetVector(COLORSHADER_COLOR, Vector(0.2, 0.4, 0.6));
  color->GetDataInstanceRef().SetFloat(COLORSHADER_BRIGHTNESS, 0.5);
  EXPECT_EQ(SampleAt(color, 0.3, 0.9), Vector(1.0));   // parameters are read at InitRender
  ASSERT_EQ(color->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  ExpectNear(SampleAt(color, 0.3, 0.9), Vector(0.1, 0.2, 0.3));

  ASSERT_EQ(gradient->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  const Float s = 0.25 * 0.25 * (3.0 - 2.0 * 0.25);
  ExpectNear(SampleAt(gradient, 0.25, 0.9), Vector(s));
  gradient->GetDataInstanceRef().SetInt32(GRADIENTSHADER_TYPE, GRADIENTSHADER_TYPE_V);
  ASSERT_EQ(gradient->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  ExpectNear(SampleAt(gradient, 0.9, 0.25), Vector(s));
  gradient->GetDataInstanceRef().SetInt32(GRADIENTSHADER_TYPE, GRADIENTSHADER_TYPE_RADIAL);
  ASSERT_EQ(gradient->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  ExpectNear(SampleAt(gradient, 0.5, 0.5), Vector());
  ExpectNear(SampleAt(gradient, 1.0, 0.5), Vector(1.0));

  noise->GetDataInstanceRef().SetInt32(NOISESHADER_SEED, 77);
  noise->GetDataInstanceRef().SetFloat(NOISESHADER_SCALE, 0.25);
  noise->GetDataInstanceRef().SetVector(NOISESHADER_COLOR1, Vector(1, 0, 0));
  noise->GetDataInstanceRef().SetVector(NOISESHADER_COLOR2, Vector(0, 0, 1));
  ASSERT_EQ(noise->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  NoiseGenerator* g = NoiseLibrary::Create(77);
  auto expected = [&](const Vector& p) {
    const Float n = NoiseLibrary::Noise(g, NOISE_FBM, true, p * 4.0, 0.0, 5.0, false, 0.25, 0.25, 0);
    return Vector(1.0 - n, 0.0, n);
  };
  ExpectNear(SampleAt(noise, 0.3, 0.7), expected(Vector(0.3, 0.7, 0.0)));
  // World space reads the volume data's point, and the texture point without volume data.
  noise->GetDataInstanceRef().SetInt32(NOISESHADER_SPACE, NOISESHADER_SPACE_WORLD);
  ASSERT_EQ(noise->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  VolumeData* vd = VolumeData::Alloc();
  vd->p = Vector(12.5, 3.0, -7.25);
  ExpectNear(SampleAt(noise, 0.3, 0.7, 0, vd), expected(vd->p));
  ExpectNear(SampleAt(noise, 0.3, 0.7), expected(Vector(0.3, 0.7, 0.0)));
  VolumeData::Free(vd);
  NoiseLibrary::Free(g);

  for (BaseShader* sh : {color, gradient, noise})
  {
    EXPECT_TRUE(sh->HasRenderState());
    sh->FreeRender();
    EXPECT_FALSE(sh->HasRenderState());
    EXPECT_EQ(SampleAt(sh, 0.5, 0.5), Vector());   // released: black like a plain shader
    BaseShader::Free(sh);
  }
}

TEST_F(ShadingTest, BitmapShaderReadsFloatTiffsCornerAlignedWithTilingMirroringAndClamping)
{
  // 3 x 2 grey map.
  const auto file = Tmp("map.tif");
  WriteFloatTiff(file, 3, 2, {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 4.0f});
  BaseShader* sh = Bitmap(file);
  ASSERT_EQ(sh->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  struct Case
  {
    Float u, v;
    Int32 flags;
    Float expected;
  };
  const Case cases[] = {
    {0.0, 0.0, 0, 0.0},        {0.5, 0.0, 0, 0.5},         {1.0, 0.0, 0, 1.0},   // corners on pixel centres
    {1.0, 1.0, 0, 4.0},        {0.25, 0.0, 0, 0.25},       {0.5, 0.5, 0, 1.75},  // bilinear between them
    {-0.5, 1.0, 0, 2.0},       {1.5, 0.0, 0, 1.0},         {0.5, -4.0, 0, 0.5},  // clamped without tiling
    {1.25, 0.0, TEX_TILE, 0.25}, {-0.75, 0.0, TEX_TILE, 0.25},                   // repeated
    {1.25, 0.0, TEX_TILE | TEX_MIRROR, 0.75}, {-0.25, 0.0, TEX_TILE | TEX_MIRROR, 0.25}, // mirrored
    {std::nan(""), 1.0, TEX_TILE, 2.0},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(::testing::Message() << "u " << c.u << " v " << c.v << " flags " << c.flags);
    ExpectNear(SampleAt(sh, c.u, c.v, c.flags), Vector(c.expected), 1e-6);
  }
  sh->FreeRender();
  BaseShader::Free(sh);
}

TEST_F(ShadingTest, BitmapShaderReadsPngsAndColourTiffs)
{
  const auto png8 = Tmp("rgb.png");
  const std::vector<png_byte> rgb = {255, 0, 51, 0, 255, 102};
  ASSERT_TRUE(WritePng(png8, 2, 1, PNG_FORMAT_RGB, rgb.data()));
  const auto png16 = Tmp("grey16.png");
  const std::vector<png_uint_16> grey = {0, 65535};
  ASSERT_TRUE(WritePng(png16, 2, 1, PNG_FORMAT_LINEAR_Y, grey.data()));
  const auto tif8 = Tmp("rgb.tif");
  {
    BaseBitmap* bmp = BaseBitmap::Alloc();
    ASSERT_EQ(bmp->Init(2, 1, 24), IMAGERESULT::OK);
    ASSERT_TRUE(bmp->SetPixel(0, 0, 255, 0, 51));
    ASSERT_TRUE(bmp->SetPixel(1, 0, 0, 255, 102));
    ASSERT_EQ(bmp->Save(Url(tif8)), IMAGERESULT::OK);
    BaseBitmap::Free(bmp);
  }
  for (const auto& file : {png8, tif8})
  {
    SCOPED_TRACE(file.string());
    BaseShader* sh = Bitmap(file);
    ASSERT_EQ(sh->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
    ExpectNear(SampleAt(sh, 0.0, 0.0), Vector(1.0, 0.0, 0.2), 1e-6);
    ExpectNear(SampleAt(sh, 1.0, 0.0), Vector(0.0, 1.0, 0.4), 1e-6);
    sh->FreeRender();
    BaseShader::Free(sh);
  }
  BaseShader* sh = Bitmap(png16);
  ASSERT_EQ(sh->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  ExpectNear(SampleAt(sh, 0.5, 0.0), Vector(0.5), 1e-6);   // 16-bit samples keep their values
  sh->FreeRender();
  BaseShader::Free(sh);
}

TEST_F(ShadingTest, BitmapShaderFindsRelativeFilesInTheDocumentFolderAndReportsWhatItCannotRead)
{
  WriteFloatTiff(Tmp("rel.tif"), 1, 1, {0.75f});
  BaseShader* sh = BaseShader::Alloc(Xbitmap);
  sh->SetName("Heights");
  sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, "rel.tif");
  InitRenderStruct irs;
  irs.docpath = String(_tmp.string());
  ASSERT_EQ(sh->InitRender(irs), INITRENDERRESULT::OK);
  ExpectNear(SampleAt(sh, 0.3, 0.6), Vector(0.75), 1e-7);   // a one-pixel image everywhere

  sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, "missing.tif");
  EXPECT_EQ(sh->InitRender(irs), INITRENDERRESULT::UNKNOWNERROR);
  EXPECT_FALSE(sh->HasRenderState());
  EXPECT_NE(host::Diagnostics().GetLast().GetStd().find("Bitmap shader \"Heights\""), std::string::npos);
  EXPECT_NE(host::Diagnostics().GetLast().GetStd().find("missing.tif"), std::string::npos);

  std::FILE* junk = std::fopen(Tmp("junk.png").c_str(), "wb");
  std::fputs("not an image", junk);
  std::fclose(junk);
  sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, "junk.png");
  EXPECT_EQ(sh->InitRender(irs), INITRENDERRESULT::UNKNOWNERROR);
  sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, String());
  EXPECT_EQ(sh->InitRender(irs), INITRENDERRESULT::UNKNOWNERROR);

  sh->GetDataInstanceRef().SetString(BITMAPSHADER_FILENAME, "rel.tif");
  host::ClearImageCache();
  for (Int n = 1; n <= 2; ++n)
  {
    host::ScopedAllocationFailure fail(n);
    EXPECT_EQ(sh->InitRender(irs), INITRENDERRESULT::OUTOFMEMORY) << n;
    EXPECT_FALSE(sh->HasRenderState());
  }
  BaseShader::Free(sh);
}

TEST_F(ShadingTest, BitmapShadersDecodeAFileOnceUntilItChanges)
{
  host::ClearImageCache();
  const auto file = Tmp("cached.tif");
  WriteFloatTiff(file, 2, 1, {0.25f, 0.5f});
  BaseShader* a = Bitmap(file);
  BaseShader* b = Bitmap(file);
  const Int decodes = host::GetImageDecodeCount();
  for (BaseShader* sh : {a, b, a})
  {
    ASSERT_EQ(sh->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
    ExpectNear(SampleAt(sh, 1.0, 0.0), Vector(0.5), 1e-7);
  }
  EXPECT_EQ(host::GetImageDecodeCount(), decodes + 1);
  // Rewritten (another size), the file is read again; a shader still holding the old image keeps it.
  WriteFloatTiff(file, 3, 1, {0.0f, 0.75f, 1.0f});
  ASSERT_EQ(b->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  EXPECT_EQ(host::GetImageDecodeCount(), decodes + 2);
  ExpectNear(SampleAt(b, 0.5, 0.0), Vector(0.75), 1e-7);
  ExpectNear(SampleAt(a, 0.5, 0.0), Vector(0.375), 1e-7);
  host::ClearImageCache();
  ExpectNear(SampleAt(a, 0.5, 0.0), Vector(0.375), 1e-7);
  for (BaseShader* sh : {a, b})
  {
    sh->FreeRender();
    BaseShader::Free(sh);
  }
}

TEST_F(ShadingTest, PreparedShadersSampleAlikeOnManyThreads)
{
  const Int32 w = 64, h = 48;
  std::vector<Float32> values(static_cast<std::size_t>(w * h));
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<Float32>(std::sin(0.01 * static_cast<Float>(i)));
  WriteFloatTiff(Tmp("threads.tif"), w, h, values);
  std::vector<BaseShader*> shaders = {Bitmap(Tmp("threads.tif")), BaseShader::Alloc(Xnoise),
                                      BaseShader::Alloc(Xgradient), BaseShader::Alloc(Xcolor)};
  constexpr Int N = 20000;
  for (BaseShader* sh : shaders)
  {
    ASSERT_EQ(sh->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
    auto point = [](Int i) { return Vector(0.37 * static_cast<Float>(i % 101) / 37.0 - 0.3, 0.013 * (i % 97), 0.0); };
    std::vector<Vector> serial(N), parallel(N);
    for (Int i = 0; i < N; ++i)
      serial[i] = SampleAt(sh, point(i).x, point(i).y, TEX_TILE);
    ASSERT_TRUE(ParallelFor(0, N, [&](Int i) { parallel[i] = SampleAt(sh, point(i).x, point(i).y, TEX_TILE); }).IsOk());
    EXPECT_EQ(serial, parallel);
    sh->FreeRender();
    BaseShader::Free(sh);
  }
}

// ---------------------------------------------------------------------------------------------------
// Shader nodes, materials, texture tags, files

class CountingShaderData : public ShaderData
{
public:
  static NodeData* Alloc() { return NewObj<CountingShaderData>(); }
  static inline Int inits = 0;
  static inline Int frees = 0;
  INITRENDERRESULT InitRender(BaseShader*, const InitRenderStruct&) override
  {
    ++inits;
    return INITRENDERRESULT::OK;
  }
  void FreeRender(BaseShader*) override { ++frees; }
  Vector SampleColor(BaseShader*, ChannelData* cd) override { return Vector(cd->p.x, cd->p.y, 0.5); }
};

TEST_F(ShadingTest, ShaderNodesDispatchToPlugInsAndPlainShadersAreBlack)
{
  constexpr Int32 ID_COUNTING = 1099301;
  ASSERT_TRUE(RegisterShaderPlugin(ID_COUNTING, "Counting", 0, CountingShaderData::Alloc, String(), 0));
  BaseShader* plug = BaseShader::Alloc(ID_COUNTING);
  BaseShader* plain = BaseShader::Alloc(1099302);
  ASSERT_TRUE(plug && plain);
  CountingShaderData::inits = CountingShaderData::frees = 0;
  EXPECT_EQ(plug->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  EXPECT_EQ(SampleAt(plug, 0.25, 0.75), Vector(0.25, 0.75, 0.5));
  plug->FreeRender();
  EXPECT_EQ(CountingShaderData::inits, 1);
  EXPECT_EQ(CountingShaderData::frees, 1);
  EXPECT_EQ(plain->InitRender(InitRenderStruct()), INITRENDERRESULT::OK);
  EXPECT_EQ(SampleAt(plain, 0.25, 0.75), Vector());
  BaseShader::Free(plug);
  BaseShader::Free(plain);
}

TEST_F(ShadingTest, MaterialColourChannelAndTextureTag)
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(doc->InsertMaterial(mat));
  BaseObject* op = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(op, nullptr));
  BaseTag* tag = op->MakeTag(Ttexture);
  ASSERT_NE(tag, nullptr);
  EXPECT_TRUE(tag->GetDataInstanceRef().GetBool(TEXTURETAG_TILE));
  EXPECT_EQ(host::FindTextureTag(op), nullptr);   // no material linked yet
  tag->GetDataInstanceRef().SetLink(TEXTURETAG_MATERIAL, op);   // an object is no material
  EXPECT_EQ(host::GetTextureTagMaterial(tag), nullptr);
  tag->GetDataInstanceRef().SetLink(TEXTURETAG_MATERIAL, mat);
  EXPECT_EQ(host::FindTextureTag(op), tag);
  EXPECT_EQ(host::GetTextureTagMaterial(tag), mat);

  host::ColorChannelSampler channel;
  EXPECT_EQ(channel.Sample(Vector(), 0), Vector(0.8));
  mat->GetDataInstanceRef().SetVector(MATERIAL_COLOR_COLOR, Vector(1.0, 0.5, 0.0));
  mat->GetDataInstanceRef().SetFloat(MATERIAL_COLOR_BRIGHTNESS, 0.5);
  ASSERT_TRUE(channel.Init(mat, InitRenderStruct(doc)).IsOk());
  EXPECT_EQ(channel.GetShader(), nullptr);
  EXPECT_EQ(channel.Sample(Vector(0.3, 0.3, 0), TEX_TILE), Vector(0.5, 0.25, 0.0));

  BaseShader* gradient = BaseShader::Alloc(Xgradient);
  ASSERT_TRUE(mat->InsertShader(gradient));
  mat->GetDataInstanceRef().SetLink(MATERIAL_COLOR_SHADER, gradient);
  ASSERT_TRUE(channel.Init(mat, InitRenderStruct(doc)).IsOk());
  EXPECT_EQ(channel.GetShader(), gradient);
  EXPECT_EQ(channel.Sample(Vector(1.0, 0.0, 0.0), 0), Vector(1.0));
  channel.Free();
  EXPECT_FALSE(gradient->HasRenderState());

  // A shader that cannot be prepared fails the channel, naming the material.
  BaseShader* bitmap = BaseShader::Alloc(Xbitmap);
  ASSERT_TRUE(mat->InsertShader(bitmap));
  mat->SetName("Rock");
  mat->GetDataInstanceRef().SetLink(MATERIAL_COLOR_SHADER, bitmap);
  const Result<void> failed = channel.Init(mat, InitRenderStruct(doc));
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.GetError().GetText(), String("The colour shader of material \"Rock\" could not be prepared (-102)"));
  EXPECT_TRUE(channel.Init(nullptr, InitRenderStruct(doc)).IsError());
  BaseDocument::Free(doc);
}

TEST_F(ShadingTest, MaterialsWithShaderTreesAndTextureTagsSurviveSceneFilesAndClones)
{
  BaseDocument* doc = BaseDocument::Alloc();
  BaseMaterial* mat = BaseMaterial::Alloc();
  ASSERT_TRUE(doc->InsertMaterial(mat));
  mat->SetName("Slopes");
  BaseShader* gradient = BaseShader::Alloc(Xgradient);
  ASSERT_TRUE(mat->InsertShader(gradient));
  Gradient* g = static_cast<Gradient*>(gradient->GetDataInstanceRef().GetCustomData(GRADIENTSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
  ASSERT_NE(g, nullptr);
  ASSERT_TRUE(g->InsertKnot(Knot(0.5, Vector(0, 1, 0), GRADIENT_INTERPOLATION_TYPE::NONE)));
  mat->GetDataInstanceRef().SetLink(MATERIAL_COLOR_SHADER, gradient);
  BaseObject* op = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(op, nullptr));
  op->MakeTag(Ttexture)->GetDataInstanceRef().SetLink(TEXTURETAG_MATERIAL, mat);

  const Result<String> text = host::SaveDocumentToText(doc, "doc");
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetText().GetStd();
  Result<BaseDocument*> loaded = host::LoadDocumentFromText(text.GetValue(), "doc");
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText().GetStd();
  BaseDocument* back = loaded.GetValue();
  BaseMaterial* backMat = host::GetTextureTagMaterial(host::FindTextureTag(back->GetFirstObject()));
  ASSERT_NE(backMat, nullptr);
  EXPECT_EQ(backMat->GetName(), String("Slopes"));
  BaseShader* backShader = backMat->GetFirstShader();
  ASSERT_NE(backShader, nullptr);
  EXPECT_EQ(backShader->GetType(), Xgradient);
  EXPECT_EQ(backMat->GetDataInstanceRef().GetLink(MATERIAL_COLOR_SHADER, back), backShader);
  EXPECT_EQ(backShader->GetDataInstanceRef(), gradient->GetDataInstanceRef());   // the gradient by content

  BaseMaterial* copy = mat->GetClone();
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy->GetFirstShader(), nullptr);
  EXPECT_EQ(copy->GetFirstShader()->GetDataInstanceRef(), gradient->GetDataInstanceRef());
  BaseMaterial::Free(copy);
  BaseDocument::Free(back);
  BaseDocument::Free(doc);
}
} // namespace
