// Materials and shaders. A shader sits in an element's shader list (a material's, an object's, a
// tag's, or another shader's) and may have child shaders (a layer's inputs); any type id is allowed.
// A shader is in the document of the element that holds it.
//
// The render cycle of a shader: InitRender prepares it (a shader plug-in through its ShaderData slots;
// a built-in shader type through the preparation its type registered, see nodetypes.h, which makes a
// render state; any other shader is black), then Sample may be called from any number of threads at
// once, then FreeRender releases what InitRender made. InitRender and FreeRender run on one thread
// while nobody samples.
#pragma once

#include <memory>

#include "host/scene/baseobject.h"

inline constexpr Int32 Mmaterial = 5702;   // the material base type; BaseMaterial's default type
inline constexpr Int32 Xbase = 5707;       // the shader base type every shader answers

class BaseMaterial;

namespace host
{
// The Update calls a material received, as (preview, rttm), oldest first.
std::vector<std::pair<Bool, Bool>> GetMaterialUpdates(const BaseMaterial* mat);

// What a built-in shader keeps between InitRender and FreeRender (a decoded image, noise tables ...).
// Sample runs on many threads at once and only reads.
class ShaderRenderState
{
public:
  virtual ~ShaderRenderState() = default;
  virtual Vector Sample(ChannelData* cd) const = 0;
};
} // namespace host

class BaseShader : public BaseList2D
{
public:
  // A shader plug-in's node, or a plain shader node of any other id (no plug-in data); null on failure.
  static BaseShader* Alloc(Int32 type);
  static void Free(BaseShader*& sh);
  BaseShader* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const;

  BaseShader* GetNext() const { return static_cast<BaseShader*>(GeListNode::GetNext()); }
  BaseShader* GetPred() const { return static_cast<BaseShader*>(GeListNode::GetPred()); }
  BaseShader* GetUp() const { return static_cast<BaseShader*>(GeListNode::GetUp()); }
  BaseShader* GetDown() const { return static_cast<BaseShader*>(GeListNode::GetDown()); }

  // The element that holds the shader tree (material, object or tag): nested shaders climb through
  // their parents and shader lists to the first holder that is not a shader. Null when unattached.
  BaseList2D* GetOwner() const;

  // The render cycle (see above). InitRender of a built-in shader replaces a state it still holds;
  // a failed one leaves none. Plain shaders answer OK and sample black.
  INITRENDERRESULT InitRender(const InitRenderStruct& irs);
  Vector Sample(ChannelData* cd);
  void FreeRender();
  // True while a built-in shader holds a render state.
  Bool HasRenderState() const { return _renderState != nullptr; }

  BaseShader(Int32 type);

private:
  ShaderData* FindShaderData() const;

  // Found by InitRender, so that the many Sample calls need no type look-up.
  ShaderData* _renderData = nullptr;
  std::unique_ptr<host::ShaderRenderState> _renderState;
};

class BaseMaterial : public BaseList2D
{
public:
  static BaseMaterial* Alloc(Int32 type = Mmaterial);
  static void Free(BaseMaterial*& mat);
  BaseMaterial* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const;

  BaseMaterial* GetNext() const { return static_cast<BaseMaterial*>(GeListNode::GetNext()); }
  BaseMaterial* GetPred() const { return static_cast<BaseMaterial*>(GeListNode::GetPred()); }

  // Asks the host to update the material (preview: refresh the preview). Recorded for tests.
  void Update(Bool preview, Bool rttm);

  BaseMaterial(Int32 type);

private:
  friend std::vector<std::pair<Bool, Bool>> host::GetMaterialUpdates(const BaseMaterial* mat);
  std::vector<std::pair<Bool, Bool>> _updates;
};
