// The host's own shader types, the camera and the texture tag, registered as built-in types when the
// host library is loaded.
#include "host/shading/shaders.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/noise/noise.h"
#include "host/scene/nodetypes.h"
#include "host/scene/scenefile.h"
#include "host/shading/gradient.h"
#include "imagefile.h"

namespace
{
using host::ShaderRenderState;
using StatePtr = std::unique_ptr<ShaderRenderState>;

constexpr Float DEFAULT_NOISE_OCTAVES = 5.0;
constexpr Float DEFAULT_NOISE_SCALE = 0.1;
// Arguments of the noise call the shader does not expose.
constexpr Float NOISE_WARP = 0.25;
constexpr Float NOISE_MODULATION = 0.25;

// A state made through the host's allocation, so that a render can run out of memory like anything else.
template <typename T>
std::unique_ptr<T> NewState()
{
  return std::unique_ptr<T>(NewObj<T>());
}

// ---------------------------------------------------------------------------------------------------
// Uniform colour

class ColorState final : public ShaderRenderState
{
public:
  Vector color;
  Vector Sample(ChannelData*) const override { return color; }
};

INITRENDERRESULT PrepareColor(BaseShader* sh, const InitRenderStruct&, StatePtr& state)
{
  auto s = NewState<ColorState>();
  if (!s)
    return INITRENDERRESULT::OUTOFMEMORY;
  const BaseContainer& bc = sh->GetDataInstanceRef();
  s->color = bc.GetVector(COLORSHADER_COLOR, Vector(1.0)) * bc.GetFloat(COLORSHADER_BRIGHTNESS, 1.0);
  state = std::move(s);
  return INITRENDERRESULT::OK;
}

// ---------------------------------------------------------------------------------------------------
// Gradient

class GradientState final : public ShaderRenderState
{
public:
  Gradient gradient;   // the shader's gradient as it was at InitRender, prepared
  Int32 type = GRADIENTSHADER_TYPE_U;

  Vector Sample(ChannelData* cd) const override
  {
    const Vector& p = cd->p;
    Float at;
    switch (type)
    {
      case GRADIENTSHADER_TYPE_V: at = p.y; break;
      case GRADIENTSHADER_TYPE_RADIAL: at = 2.0 * std::hypot(p.x - 0.5, p.y - 0.5); break;
      default: at = p.x; break;
    }
    return gradient.CalcGradientPixel(at);
  }
};

INITRENDERRESULT PrepareGradient(BaseShader* sh, const InitRenderStruct& irs, StatePtr& state)
{
  auto s = NewState<GradientState>();
  if (!s)
    return INITRENDERRESULT::OUTOFMEMORY;
  const BaseContainer& bc = sh->GetDataInstanceRef();
  s->type = bc.GetInt32(GRADIENTSHADER_TYPE, GRADIENTSHADER_TYPE_U);
  // A shader without a gradient renders black, as an empty gradient does.
  if (const auto* g = static_cast<const Gradient*>(bc.GetCustomData(GRADIENTSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
      g && !g->CopyTo(&s->gradient))
    return INITRENDERRESULT::OUTOFMEMORY;
  if (s->gradient.InitRender(irs).IsError())
    return INITRENDERRESULT::OUTOFMEMORY;
  state = std::move(s);
  return INITRENDERRESULT::OK;
}

// ---------------------------------------------------------------------------------------------------
// Noise

class NoiseState final : public ShaderRenderState
{
public:
  ~NoiseState() override { NoiseLibrary::Free(generator); }

  NoiseGenerator* generator = nullptr;
  Int32 type = NOISE_DEFAULT;
  Float octaves = DEFAULT_NOISE_OCTAVES;
  Float frequency = 1.0;
  Float time = 0.0;
  Bool world = false;
  Vector color1;
  Vector color2{1.0, 1.0, 1.0};

  Vector Sample(ChannelData* cd) const override
  {
    const Vector& p = world && cd->vd ? cd->vd->p : cd->p;
    const Float n = NoiseLibrary::Noise(generator, type, true, p * frequency, time, octaves, false, NOISE_WARP,
                                        NOISE_MODULATION, 0);
    return color1 + (color2 - color1) * n;
  }
};

INITRENDERRESULT PrepareNoise(BaseShader* sh, const InitRenderStruct& irs, StatePtr& state)
{
  auto s = NewState<NoiseState>();
  if (!s)
    return INITRENDERRESULT::OUTOFMEMORY;
  const BaseContainer& bc = sh->GetDataInstanceRef();
  s->generator = NoiseLibrary::Create(bc.GetInt32(NOISESHADER_SEED, 0));
  if (!s->generator)
    return INITRENDERRESULT::OUTOFMEMORY;
  s->type = bc.GetInt32(NOISESHADER_TYPE, NOISE_DEFAULT);
  s->octaves = bc.GetFloat(NOISESHADER_OCTAVES, DEFAULT_NOISE_OCTAVES);
  const Float scale = bc.GetFloat(NOISESHADER_SCALE, DEFAULT_NOISE_SCALE);
  // A scale of 0 would divide by 0: the whole texture then samples the noise at one point.
  s->frequency = scale != 0.0 ? 1.0 / scale : 0.0;
  s->time = irs.time;
  s->world = bc.GetInt32(NOISESHADER_SPACE, NOISESHADER_SPACE_UV) == NOISESHADER_SPACE_WORLD;
  s->color1 = bc.GetVector(NOISESHADER_COLOR1, Vector());
  s->color2 = bc.GetVector(NOISESHADER_COLOR2, Vector(1.0));
  state = std::move(s);
  return INITRENDERRESULT::OK;
}

// ---------------------------------------------------------------------------------------------------
// Bitmap

// A texture coordinate inside 0..1: tiles repeat (every other one mirrored), without tiling the border
// continues. 0..1 itself is left alone, so that 1 reads the last pixel rather than wrapping to the first.
Float FoldCoordinate(Float u, Int32 texflag)
{
  if (u >= 0.0 && u <= 1.0)
    return u;
  if ((texflag & TEX_TILE) == 0 || !std::isfinite(u))
    return u > 1.0 ? 1.0 : 0.0;   // NaN and -infinity read the first pixel
  if ((texflag & TEX_MIRROR) != 0)
  {
    const Float f = u - 2.0 * std::floor(u * 0.5);
    return f > 1.0 ? 2.0 - f : f;
  }
  return u - std::floor(u);
}

class BitmapState final : public ShaderRenderState
{
public:
  // Shared with the host's image cache; never changed once loaded.
  std::shared_ptr<const host::detail::LoadedImage> decoded;

  Vector Sample(ChannelData* cd) const override
  {
    const host::detail::LoadedImage& image = *decoded;
    const Float x = FoldCoordinate(cd->p.x, cd->texflag) * static_cast<Float>(image.width - 1);
    const Float y = FoldCoordinate(cd->p.y, cd->texflag) * static_cast<Float>(image.height - 1);
    const Int32 x0 = std::min(static_cast<Int32>(x), image.width - 1);
    const Int32 y0 = std::min(static_cast<Int32>(y), image.height - 1);
    const Int32 x1 = std::min(x0 + 1, image.width - 1);
    const Int32 y1 = std::min(y0 + 1, image.height - 1);
    const Float fx = x - static_cast<Float>(x0);
    const Float fy = y - static_cast<Float>(y0);
    const Float32* px = image.samples.data();
    const std::size_t stride = static_cast<std::size_t>(image.width);
    const std::size_t r0 = static_cast<std::size_t>(y0) * stride;
    const std::size_t r1 = static_cast<std::size_t>(y1) * stride;
    const std::size_t i00 = r0 + static_cast<std::size_t>(x0), i10 = r0 + static_cast<std::size_t>(x1);
    const std::size_t i01 = r1 + static_cast<std::size_t>(x0), i11 = r1 + static_cast<std::size_t>(x1);
    auto blend = [&](std::size_t c) {
      const std::size_t n = static_cast<std::size_t>(image.channels);
      const Float top = px[i00 * n + c] + (px[i10 * n + c] - px[i00 * n + c]) * fx;
      const Float bottom = px[i01 * n + c] + (px[i11 * n + c] - px[i01 * n + c]) * fx;
      return top + (bottom - top) * fy;
    };
    if (image.channels == 1)
    {
      const Float v = blend(0);
      return Vector(v, v, v);
    }
    return Vector(blend(0), blend(1), blend(2));
  }
};

Url BitmapFile(const String& name, const String& docpath)
{
  const std::filesystem::path path(name.GetStd());
  if (path.is_relative() && docpath.IsPopulated())
    return Url(docpath).Append(name);
  return Url(name);
}

INITRENDERRESULT PrepareBitmap(BaseShader* sh, const InitRenderStruct& irs, StatePtr& state)
{
  auto s = NewState<BitmapState>();
  if (!s)
    return INITRENDERRESULT::OUTOFMEMORY;
  const String name = sh->GetDataInstanceRef().GetString(BITMAPSHADER_FILENAME);
  Result<std::shared_ptr<const host::detail::LoadedImage>> loaded =
    host::detail::LoadCachedImageFile(BitmapFile(name, irs.docpath));
  if (loaded.IsError())
  {
    DiagnosticOutput("Bitmap shader \"" + sh->GetName() + "\": " + loaded.GetError().GetText());
    return loaded.GetError().GetKind() == ERRORKIND::OUT_OF_MEMORY ? INITRENDERRESULT::OUTOFMEMORY
                                                                   : INITRENDERRESULT::UNKNOWNERROR;
  }
  s->decoded = std::move(loaded).GetValue();
  state = std::move(s);
  return INITRENDERRESULT::OK;
}

// ---------------------------------------------------------------------------------------------------
// Node defaults

BaseList2D* CreateShader(Int32 type)
{
  BaseShader* sh = NewObj<BaseShader>(type);
  if (!sh)
    return nullptr;
  BaseContainer& bc = sh->GetDataInstanceRef();
  switch (type)
  {
    case Xcolor:
      bc.SetVector(COLORSHADER_COLOR, Vector(1.0));
      bc.SetFloat(COLORSHADER_BRIGHTNESS, 1.0);
      break;
    case Xbitmap: bc.SetString(BITMAPSHADER_FILENAME, String()); break;
    case Xgradient:
    {
      Gradient gradient;
      if (!SetDefaultGradientKnots(gradient) || !bc.SetData(GRADIENTSHADER_GRADIENT, GeData(gradient))->GetCustomDataType(CUSTOMDATATYPE_GRADIENT))
      {
        BaseList2D* node = sh;
        host::FreeNode(node);
        return nullptr;
      }
      bc.SetInt32(GRADIENTSHADER_TYPE, GRADIENTSHADER_TYPE_U);
      break;
    }
    case Xnoise:
      bc.SetInt32(NOISESHADER_TYPE, NOISE_DEFAULT);
      bc.SetInt32(NOISESHADER_SEED, 0);
      bc.SetFloat(NOISESHADER_OCTAVES, DEFAULT_NOISE_OCTAVES);
      bc.SetFloat(NOISESHADER_SCALE, DEFAULT_NOISE_SCALE);
      bc.SetInt32(NOISESHADER_SPACE, NOISESHADER_SPACE_UV);
      bc.SetVector(NOISESHADER_COLOR1, Vector());
      bc.SetVector(NOISESHADER_COLOR2, Vector(1.0));
      break;
    default: break;
  }
  return sh;
}

BaseList2D* CreateTextureTag(Int32 type)
{
  BaseTag* tag = NewObj<BaseTag>(type);
  if (tag)
    tag->GetDataInstanceRef().SetBool(TEXTURETAG_TILE, true);
  return tag;
}

std::unique_ptr<CustomDataType> AllocGradient()
{
  return std::unique_ptr<CustomDataType>(Gradient::Alloc());
}

// Registers a built-in type, or accepts the one registered before when it is this same type.
Bool RegisterOnce(host::BuiltinType t)
{
  if (const host::BuiltinType* known = host::FindBuiltinType(t.type))
    return known->kind == t.kind && known->create == t.create && known->prepareRender == t.prepareRender;
  return host::RegisterBuiltinType(std::move(t));
}

Bool RegisterType(Int32 type, NODEKIND kind, const char* name, BaseList2D* (*create)(Int32),
                  host::PrepareShaderRender prepare)
{
  host::BuiltinType t;
  t.type = type;
  t.kind = kind;
  t.name = name;
  t.create = create;
  t.prepareRender = prepare;
  return RegisterOnce(std::move(t));
}

const Bool g_shadingTypesRegistered = host::RegisterShadingTypes();
} // namespace

namespace host
{
Bool RegisterShadingTypes()
{
  Bool ok = RegisterCustomDataType(CUSTOMDATATYPE_GRADIENT, AllocGradient);
  ok = RegisterType(Ocamera, NODEKIND::OBJECT, "Camera", nullptr, nullptr) && ok;
  ok = RegisterType(Ttexture, NODEKIND::TAG, "Texture", CreateTextureTag, nullptr) && ok;
  ok = RegisterType(Xcolor, NODEKIND::SHADER, "Color", CreateShader, PrepareColor) && ok;
  ok = RegisterType(Xbitmap, NODEKIND::SHADER, "Bitmap", CreateShader, PrepareBitmap) && ok;
  ok = RegisterType(Xgradient, NODEKIND::SHADER, "Gradient", CreateShader, PrepareGradient) && ok;
  ok = RegisterType(Xnoise, NODEKIND::SHADER, "Noise", CreateShader, PrepareNoise) && ok;
  return ok;
}
} // namespace host
