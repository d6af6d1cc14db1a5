#include "host/scene/material.h"

#include "host/core/alloc.h"
#include "internal.h"

BaseShader::BaseShader(Int32 type) : BaseList2D(type, NODEKIND::SHADER) {}

BaseShader* BaseShader::Alloc(Int32 type)
{
  if (const host::PluginEntry* e = host::FindPlugin(type))
    return e->type == PLUGINTYPE::SHADER ? static_cast<BaseShader*>(AllocPluginNode(type)) : nullptr;
  if (const host::BuiltinType* bt = host::FindBuiltinType(type))
    return bt->kind == NODEKIND::SHADER ? static_cast<BaseShader*>(host::AllocBuiltinNode(type)) : nullptr;
  // Any other id makes a plain shader node: shader trees may hold types the host knows nothing about.
  return NewObj<BaseShader>(type);
}

void BaseShader::Free(BaseShader*& sh)
{
  BaseList2D* node = sh;
  sh = nullptr;
  host::FreeNode(node);
}

BaseShader* BaseShader::GetClone(COPYFLAGS flags, AliasTrans* trn) const
{
  return static_cast<BaseShader*>(BaseList2D::GetClone(flags, trn));
}

BaseList2D* BaseShader::GetOwner() const
{
  for (GeListNode* n = GetListOwner(); n; n = n->GetListOwner())
    if (n->GetKind() != NODEKIND::SHADER)
      return static_cast<BaseList2D*>(n);
  return nullptr;
}

ShaderData* BaseShader::FindShaderData() const
{
  return dynamic_cast<ShaderData*>(GetNodeData());
}

INITRENDERRESULT BaseShader::InitRender(const InitRenderStruct& irs)
{
  _renderState.reset();
  _renderData = FindShaderData();
  if (_renderData)
    return _renderData->InitRender(this, irs);
  const host::BuiltinType* bt = host::FindBuiltinType(GetType());
  if (!bt || !bt->prepareRender)
    return INITRENDERRESULT::OK;
  const INITRENDERRESULT result = bt->prepareRender(this, irs, _renderState);
  if (result != INITRENDERRESULT::OK)
    _renderState.reset();
  return result;
}

Vector BaseShader::Sample(ChannelData* cd)
{
  if (_renderState)
    return _renderState->Sample(cd);
  ShaderData* data = _renderData ? _renderData : FindShaderData();
  return data ? data->SampleColor(this, cd) : Vector();
}

void BaseShader::FreeRender()
{
  _renderState.reset();
  if (ShaderData* data = _renderData ? _renderData : FindShaderData())
    data->FreeRender(this);
}

BaseMaterial::BaseMaterial(Int32 type) : BaseList2D(type, NODEKIND::MATERIAL) {}

BaseMaterial* BaseMaterial::Alloc(Int32 type)
{
  const host::BuiltinType* bt = host::FindBuiltinType(type);
  if (!bt || bt->kind != NODEKIND::MATERIAL)
    return nullptr;
  return static_cast<BaseMaterial*>(host::AllocBuiltinNode(type));
}

void BaseMaterial::Free(BaseMaterial*& mat)
{
  BaseList2D* node = mat;
  mat = nullptr;
  host::FreeNode(node);
}

BaseMaterial* BaseMaterial::GetClone(COPYFLAGS flags, AliasTrans* trn) const
{
  return static_cast<BaseMaterial*>(BaseList2D::GetClone(flags, trn));
}

void BaseMaterial::Update(Bool preview, Bool rttm)
{
  _updates.emplace_back(preview, rttm);
}

namespace host
{
std::vector<std::pair<Bool, Bool>> GetMaterialUpdates(const BaseMaterial* mat)
{
  return mat ? mat->_updates : std::vector<std::pair<Bool, Bool>>();
}
} // namespace host
