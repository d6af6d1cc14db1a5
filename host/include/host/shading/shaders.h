// The host's own shaders, the colour channel of its materials and the texture tag that puts a material
// on an object.
//
// Shaders (built-in types; parameters in their containers, defaults set when one is made):
//   - Xcolor, a uniform colour: COLORSHADER_COLOR times COLORSHADER_BRIGHTNESS everywhere.
//   - Xbitmap, an image file (BITMAPSHADER_FILENAME): PNG, read with libpng, or TIFF, read by the
//     host's bitmap (8-bit colour and grey, and 32-bit float grey maps such as the exported height
//     maps, whose values pass unchanged). A relative name is taken from the folder in the render's
//     document path. The image spans the texture square with its corner pixels on the corners:
//     u = 0 is the left column, u = 1 the right one, v = 0 the top row (the first in the file), v = 1
//     the bottom row, and between pixel centres the colour is interpolated bilinearly, so a map with
//     one pixel per terrain cell gives every cell its own pixel. Outside 0..1 the texture repeats with
//     TEX_TILE (every other tile mirrored with TEX_MIRROR) and the border pixels continue without.
//     InitRender fails (UNKNOWNERROR, the reason on the diagnostic output) for a file that is missing
//     or cannot be decoded, and with OUTOFMEMORY when the image cannot be held. Decoded images are
//     kept in the host's image cache (up to 256 MiB, the most recently used first) and serve again
//     while their file keeps its size and modification time, so a shader prepared for every
//     computation decodes its file once.
//   - Xgradient: GRADIENTSHADER_GRADIENT looked up at u (GRADIENTSHADER_TYPE_U), at v (_V), or at the
//     distance from the texture centre, 0 there and 1 at the middle of each edge (_RADIAL).
//   - Xnoise: the host noise library's noise NOISESHADER_TYPE (seed NOISESHADER_SEED, octaves
//     NOISESHADER_OCTAVES) at the texture point (NOISESHADER_SPACE_UV) or the volume data's world point
//     (NOISESHADER_SPACE_WORLD; the texture point when the sample has no volume data), divided by
//     NOISESHADER_SCALE, blending NOISESHADER_COLOR1 (noise 0) into NOISESHADER_COLOR2 (noise 1).
// Every one of them reads its parameters once, in InitRender, and samples from any number of threads
// without allocating.
//
// Materials: the colour channel is MATERIAL_COLOR_COLOR times MATERIAL_COLOR_BRIGHTNESS, or, when
// MATERIAL_COLOR_SHADER links a shader of the material's document, that shader.
// host::ColorChannelSampler prepares and samples it.
//
// Texture tags (Ttexture) link the material an object is shaded with (TEXTURETAG_MATERIAL), projected
// through the object's UVW coordinates, repeating when TEXTURETAG_TILE is on.
#pragma once

#include "host/core/result.h"
#include "host/scene/document.h"
#include "host/shading/renderdata.h"

// Shader types.
inline constexpr Int32 Xcolor = 5832;
inline constexpr Int32 Xbitmap = 5833;
inline constexpr Int32 Xgradient = 1011100;
inline constexpr Int32 Xnoise = 1011116;

enum : Int32
{
  COLORSHADER_COLOR = 1000,        // Vector, default (1, 1, 1)
  COLORSHADER_BRIGHTNESS = 1001,   // Float, default 1

  BITMAPSHADER_FILENAME = 1000,    // String, default empty

  GRADIENTSHADER_GRADIENT = 1000,  // Gradient, default black at 0 to white at 1
  GRADIENTSHADER_TYPE = 1001,      // Int32, default GRADIENTSHADER_TYPE_U

  NOISESHADER_TYPE = 1000,         // Int32 noise type, default 21 (fBm)
  NOISESHADER_SEED = 1001,         // Int32, default 0
  NOISESHADER_OCTAVES = 1002,      // Float, default 5
  NOISESHADER_SCALE = 1003,        // Float, default 0.1 (ten noise cells across the texture)
  NOISESHADER_SPACE = 1004,        // Int32, default NOISESHADER_SPACE_UV
  NOISESHADER_COLOR1 = 1005,       // Vector, default black
  NOISESHADER_COLOR2 = 1006,       // Vector, default white
};

enum : Int32
{
  GRADIENTSHADER_TYPE_U = 0,
  GRADIENTSHADER_TYPE_V = 1,
  GRADIENTSHADER_TYPE_RADIAL = 2,
};

enum : Int32
{
  NOISESHADER_SPACE_UV = 0,
  NOISESHADER_SPACE_WORLD = 1,
};

// The material's colour channel.
enum : Int32
{
  MATERIAL_COLOR_COLOR = 2000,        // Vector, read with the default (0.8, 0.8, 0.8)
  MATERIAL_COLOR_BRIGHTNESS = 2001,   // Float, read with the default 1
  MATERIAL_COLOR_SHADER = 2002,       // link to a shader
};

// The texture tag.
inline constexpr Int32 Ttexture = 5616;
enum : Int32
{
  TEXTURETAG_MATERIAL = 1010,   // link to a material
  TEXTURETAG_TILE = 1021,       // Bool, default true
};

namespace host
{
// The colour channel of one material prepared for sampling (the front end's coloured views). Not
// copyable; Free (or the destructor) releases the channel shader's render state.
class ColorChannelSampler
{
public:
  ColorChannelSampler() = default;
  ~ColorChannelSampler() { Free(); }
  ColorChannelSampler(const ColorChannelSampler&) = delete;
  ColorChannelSampler& operator=(const ColorChannelSampler&) = delete;

  // Prepares the channel of mat (see above) with the record; the shader is resolved in mat's document.
  // Errors: a null material, a shader whose InitRender fails (the result number in the message).
  Result<void> Init(BaseMaterial* mat, const InitRenderStruct& irs);
  // The channel's colour at the texture point uvw with the texture flags; the flat colour before Init.
  // Safe from any number of threads once Init returned.
  Vector Sample(const Vector& uvw, Int32 texflag) const;
  // The shader the channel samples, null for a flat colour.
  BaseShader* GetShader() const { return _shader; }
  void Free();

private:
  BaseShader* _shader = nullptr;
  Vector _color{0.8, 0.8, 0.8};
};

// The material a texture tag links, resolved in the tag's document; null when none.
BaseMaterial* GetTextureTagMaterial(const BaseTag* tag);
// The first texture tag of op that links a material, null when none.
BaseTag* FindTextureTag(const BaseObject* op);

// Files the bitmap shader decoded so far (cache hits not counted), process-wide.
Int GetImageDecodeCount();
// Empties the image cache (images still in use stay alive with their users).
void ClearImageCache();

// Registers the shading area's built-in types (camera, texture tag, the shaders above) and the
// gradient's custom data type; done once when the host starts, true when all are registered.
Bool RegisterShadingTypes();
} // namespace host
