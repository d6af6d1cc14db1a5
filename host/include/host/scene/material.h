// Materials and shaders. A shader sits in an element's shader list (a material's, an object's, a
// tag's, or another shader's) and may have child shaders (a layer's inputs); any type id is allowed.
// A shader is in the document of the element that holds it.
#pragma once

#include "host/scene/baseobject.h"

inline constexpr Int32 Mmaterial = 5702;   // the material base type; BaseMaterial's default type
inline constexpr Int32 Xbase = 5707;       // the shader base type every shader answers

class BaseMaterial;

namespace host
{
// The Update calls a material received, as (preview, rttm), oldest first.
std::vector<std::pair<Bool, Bool>> GetMaterialUpdates(const BaseMaterial* mat);
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

  // The render cycle through the plug-in's slots (plain shaders answer OK and black).
  INITRENDERRESULT InitRender(const InitRenderStruct& irs);
  Vector Sample(ChannelData* cd);
  void FreeRender();

  BaseShader(Int32 type);
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
