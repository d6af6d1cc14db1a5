// The colour channel of a material as the front end samples it, and the texture tag's material.
#include "host/shading/shaders.h"

namespace host
{
Result<void> ColorChannelSampler::Init(BaseMaterial* mat, const InitRenderStruct& irs)
{
  Free();
  if (!mat)
    return NullptrError("No material to sample!");
  const BaseContainer& bc = mat->GetDataInstanceRef();
  _color = bc.GetVector(MATERIAL_COLOR_COLOR, Vector(0.8)) * bc.GetFloat(MATERIAL_COLOR_BRIGHTNESS, 1.0);
  BaseList2D* linked = bc.GetLink(MATERIAL_COLOR_SHADER, mat->GetDocument(), Xbase);
  // The kind test keeps the cast honest for a plug-in node that claims to be a shader.
  if (!linked || linked->GetKind() != NODEKIND::SHADER)
    return OK;
  BaseShader* shader = static_cast<BaseShader*>(linked);
  const INITRENDERRESULT result = shader->InitRender(irs);
  if (result != INITRENDERRESULT::OK)
    return IllegalStateError("The colour shader of material \"" + mat->GetName() + "\" could not be prepared (" +
                             String::IntToString(static_cast<Int32>(result)) + ")");
  _shader = shader;
  return OK;
}

Vector ColorChannelSampler::Sample(const Vector& uvw, Int32 texflag) const
{
  if (!_shader)
    return _color;
  ChannelData cd;
  cd.p = uvw;
  cd.texflag = texflag;
  return _shader->Sample(&cd);
}

void ColorChannelSampler::Free()
{
  if (_shader)
    _shader->FreeRender();
  _shader = nullptr;
}

BaseMaterial* GetTextureTagMaterial(const BaseTag* tag)
{
  if (!tag || tag->GetType() != Ttexture)
    return nullptr;
  BaseList2D* linked = tag->GetDataInstanceRef().GetLink(TEXTURETAG_MATERIAL, tag->GetDocument(), Mmaterial);
  return linked && linked->GetKind() == NODEKIND::MATERIAL ? static_cast<BaseMaterial*>(linked) : nullptr;
}

BaseTag* FindTextureTag(const BaseObject* op)
{
  for (BaseTag* tag = op ? op->GetFirstTag() : nullptr; tag; tag = tag->GetNext())
    if (GetTextureTagMaterial(tag))
      return tag;
  return nullptr;
}
} // namespace host
