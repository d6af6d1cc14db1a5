// Copies of nodes: the deep clone behind GetClone and the single-node copy the undo snapshot keeps.
#include "host/core/log.h"
#include "internal.h"

namespace host::detail
{
void StripNode(BaseList2D* node)
{
  while (GeListNode* c = node->GetDown())
  {
    BaseList2D* n = static_cast<BaseList2D*>(c);
    host::FreeNode(n);
  }
  if (node->GetKind() == NODEKIND::OBJECT)
    while (GeListNode* t = HostNodeAccess::Tags(static_cast<BaseObject*>(node)).first)
    {
      BaseList2D* n = static_cast<BaseList2D*>(t);
      host::FreeNode(n);
    }
  while (GeListNode* s = HostNodeAccess::Shaders(node).first)
  {
    BaseList2D* n = static_cast<BaseList2D*>(s);
    host::FreeNode(n);
  }
}
} // namespace host::detail

namespace
{
Bool CopyOwnState(const BaseList2D* src, BaseList2D* dst, COPYFLAGS flags, AliasTrans* trn, Bool callCopyTo)
{
  *dst->GetDataInstance() = *src->GetDataInstance();
  dst->SetName(src->GetName());
  dst->SetAllBits(src->GetAllBits());
  if (!HostNodeAccess::CopyMembers(src, dst))
    return false;
  if (callCopyTo && src->GetNodeData() && dst->GetNodeData())
    return src->GetNodeData()->CopyTo(dst->GetNodeData(), src, dst, flags, trn);
  return true;
}

BaseList2D* CloneDeep(const BaseList2D* src, COPYFLAGS flags, AliasTrans* trn)
{
  BaseList2D* dst = host::detail::AllocNodeLike(src);
  if (!dst)
    return nullptr;
  Bool ok = CopyOwnState(src, dst, flags, trn, false);
  auto copyList = [&](const host::ListHead& from, host::ListHead& to) {
    for (GeListNode* n = from.first; ok && n; n = n->GetNext())
    {
      BaseList2D* c = CloneDeep(static_cast<const BaseList2D*>(n), flags, trn);
      ok = c && host::AppendToList(to, c);
      if (c && !ok)
        host::FreeNode(c);
    }
  };
  BaseList2D* s = const_cast<BaseList2D*>(src);
  if (src->GetKind() == NODEKIND::OBJECT)
  {
    copyList(HostNodeAccess::Tags(static_cast<BaseObject*>(s)), HostNodeAccess::Tags(static_cast<BaseObject*>(dst)));
    if (!HasFlag(flags, COPYFLAGS::NO_HIERARCHY))
      copyList(HostNodeAccess::Children(s), HostNodeAccess::Children(dst));
  }
  else if (src->GetKind() == NODEKIND::SHADER)
  {
    copyList(HostNodeAccess::Children(s), HostNodeAccess::Children(dst));
  }
  copyList(HostNodeAccess::Shaders(s), HostNodeAccess::Shaders(dst));
  // The plug-in sees a complete copy when CopyTo runs.
  if (ok && src->GetNodeData())
    ok = src->GetNodeData()->CopyTo(dst->GetNodeData(), src, dst, flags, trn);
  if (!ok)
  {
    host::FreeNode(dst);
    return nullptr;
  }
  return dst;
}
} // namespace

namespace host::detail
{
BaseList2D* AllocNodeLike(const BaseList2D* src)
{
  BaseList2D* node = nullptr;
  const Int32 type = src->GetType();
  if (src->GetNodeData())
  {
    const PluginEntry* e = FindPlugin(type);
    node = e ? AllocPluginNode(type) : nullptr;
  }
  else
  {
    switch (src->GetKind())
    {
      case NODEKIND::OBJECT: node = AllocBuiltinNode(type); break;
      case NODEKIND::TAG: node = AllocBuiltinNode(type); break;
      case NODEKIND::SHADER: node = BaseShader::Alloc(type); break;
      case NODEKIND::MATERIAL: node = BaseMaterial::Alloc(type); break;
      default: break;
    }
  }
  if (!node)
    return nullptr;
  if (node->GetKind() != src->GetKind())
  {
    FreeNode(node);
    return nullptr;
  }
  StripNode(node);
  return node;
}

BaseList2D* CloneSingle(const BaseList2D* src, COPYFLAGS flags, AliasTrans* trn)
{
  BaseList2D* dst = AllocNodeLike(src);
  if (dst && !CopyOwnState(src, dst, flags, trn, true))
    FreeNode(dst);
  return dst;
}
} // namespace host::detail

BaseList2D* BaseList2D::GetClone(COPYFLAGS flags, AliasTrans* trn) const
{
  if (GetKind() == NODEKIND::DOCUMENT || GetKind() == NODEKIND::SCENEHOOK)
    return nullptr;
  return CloneDeep(this, flags, trn);
}
