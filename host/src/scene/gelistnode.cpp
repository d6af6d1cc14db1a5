#include "host/scene/gelistnode.h"

#include <mutex>
#include <unordered_map>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "internal.h"

namespace
{
struct Registry
{
  std::mutex mutex;
  std::unordered_map<Int, BaseList2D*> nodes;
  Int next = 1;
};

Registry& GetRegistry()
{
  static Registry r;
  return r;
}

std::mutex& LogMutex()
{
  static std::mutex m;
  return m;
}

const char* ListKindName(host::LISTKIND kind)
{
  switch (kind)
  {
    case host::LISTKIND::OBJECTS: return "the top-level objects";
    case host::LISTKIND::CHILDREN: return "a child list";
    case host::LISTKIND::TAGS: return "a tag list";
    case host::LISTKIND::SHADERS: return "a shader list";
    case host::LISTKIND::MATERIALS: return "the materials";
    case host::LISTKIND::HOOKS: return "the scene hooks";
  }
  return "a list";
}
} // namespace

namespace host
{
BaseList2D* FindNodeByGuid(Int guid)
{
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.nodes.find(guid);
  return it == r.nodes.end() ? nullptr : it->second;
}

Int GetLiveNodeCount()
{
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  return static_cast<Int>(r.nodes.size());
}

Bool AppendToList(ListHead& head, GeListNode* node)
{
  if (!node || !node->CheckInsert(nullptr, &head, "append"))
    return false;
  node->Link(head, head.last, nullptr);
  return true;
}

Bool InsertIntoList(ListHead& head, GeListNode* node, GeListNode* pred)
{
  if (!node)
    return false;
  if (pred && pred->_head != &head)
  {
    DiagnosticOutput("Scene: refused to insert a node after one that is not in the same list.");
    return false;
  }
  if (!node->CheckInsert(pred, &head, "insert"))
    return false;
  node->Link(head, pred, pred ? pred->_next : head.first);
  return true;
}

std::vector<Int32> GetMessageLog(const GeListNode* node)
{
  std::lock_guard lock(LogMutex());
  return node ? node->_record.messages : std::vector<Int32>();
}

std::vector<std::pair<NBIT, NBITCONTROL>> GetNBitLog(const GeListNode* node)
{
  std::lock_guard lock(LogMutex());
  return node ? node->_record.nbitChanges : std::vector<std::pair<NBIT, NBITCONTROL>>();
}

void ClearNodeLogs(GeListNode* node)
{
  if (!node)
    return;
  std::lock_guard lock(LogMutex());
  node->_record = NodeRecord();
}

namespace detail
{
Bool KindFits(const ListHead& head, NODEKIND kind)
{
  switch (head.kind)
  {
    case LISTKIND::OBJECTS: return kind == NODEKIND::OBJECT;
    case LISTKIND::CHILDREN:
      // Objects nest under objects and shaders under shaders; nothing else has children.
      return head.owner && head.owner->GetKind() == kind && (kind == NODEKIND::OBJECT || kind == NODEKIND::SHADER);
    case LISTKIND::TAGS: return kind == NODEKIND::TAG;
    case LISTKIND::SHADERS: return kind == NODEKIND::SHADER;
    case LISTKIND::MATERIALS: return kind == NODEKIND::MATERIAL;
    case LISTKIND::HOOKS: return kind == NODEKIND::SCENEHOOK;
  }
  return false;
}

void ReassignGuid(BaseList2D* node, Int guid)
{
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.nodes.find(node->GetGUID());
  if (it != r.nodes.end() && it->second == node)
    r.nodes.erase(it);
  HostNodeAccess::SetGuid(node, guid);
  r.nodes[guid] = node;
}

void CollectSubtree(BaseList2D* node, std::vector<BaseList2D*>& out)
{
  if (!node)
    return;
  out.push_back(node);
  if (node->GetKind() == NODEKIND::OBJECT)
    for (GeListNode* t = HostNodeAccess::Tags(static_cast<BaseObject*>(node)).first; t; t = t->GetNext())
      CollectSubtree(static_cast<BaseList2D*>(t), out);
  for (GeListNode* s = HostNodeAccess::Shaders(node).first; s; s = s->GetNext())
    CollectSubtree(static_cast<BaseList2D*>(s), out);
  for (GeListNode* c = node->GetDown(); c; c = c->GetNext())
    CollectSubtree(static_cast<BaseList2D*>(c), out);
}

void CollectDocumentNodes(BaseDocument* doc, std::vector<BaseList2D*>& out)
{
  if (!doc)
    return;
  for (GeListNode* n = HostNodeAccess::Objects(doc).first; n; n = n->GetNext())
    CollectSubtree(static_cast<BaseList2D*>(n), out);
  for (GeListNode* n = HostNodeAccess::Materials(doc).first; n; n = n->GetNext())
    CollectSubtree(static_cast<BaseList2D*>(n), out);
}

Bool StoreParameter(BaseList2D* node, const DescID& id, const GeData& t_data)
{
  if (!node || id.IsEmpty())
    return false;
  BaseContainer* bc = node->GetDataInstance();
  for (Int32 i = 0; i + 1 < id.GetDepth(); ++i)
  {
    bc = bc->GetContainerInstance(id[i].id);
    if (!bc)
      return false;
  }
  bc->SetData(id[id.GetDepth() - 1].id, t_data);
  return true;
}
} // namespace detail

void FreeNode(BaseList2D*& node)
{
  if (!node)
    return;
  BaseList2D* n = node;
  node = nullptr;

  // The plug-in's Free runs first, while the node is still in its document and its subtree intact.
  if (NodeData* data = n->GetNodeData())
    data->Free(n);

  while (GeListNode* c = n->GetDown())
  {
    BaseList2D* child = static_cast<BaseList2D*>(c);
    FreeNode(child);
  }
  if (n->GetKind() == NODEKIND::OBJECT)
  {
    BaseObject* op = static_cast<BaseObject*>(n);
    while (GeListNode* t = HostNodeAccess::Tags(op).first)
    {
      BaseList2D* tag = static_cast<BaseList2D*>(t);
      FreeNode(tag);
    }
    BaseObject*& cache = HostNodeAccess::Cache(op);
    BaseList2D* c = cache;
    cache = nullptr;
    FreeNode(c);
  }
  while (GeListNode* s = HostNodeAccess::Shaders(n).first)
  {
    BaseList2D* sh = static_cast<BaseList2D*>(s);
    FreeNode(sh);
  }
  if (n->GetKind() == NODEKIND::DOCUMENT)
  {
    BaseDocument* doc = static_cast<BaseDocument*>(n);
    for (host::ListHead* head :
         {&HostNodeAccess::Objects(doc), &HostNodeAccess::Materials(doc), &HostNodeAccess::Hooks(doc)})
    {
      while (GeListNode* m = head->first)
      {
        BaseList2D* member = static_cast<BaseList2D*>(m);
        FreeNode(member);
      }
    }
    std::vector<BaseList2D*> trash;
    trash.swap(HostNodeAccess::Trash(doc));
    for (BaseList2D* t : trash)
      FreeNode(t);
    detail::FreeUndoState(doc);
  }

  n->Remove();
  {
    Registry& r = GetRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.nodes.find(n->GetGUID());
    if (it != r.nodes.end() && it->second == n)
      r.nodes.erase(it);
  }
  NodeData*& data = HostNodeAccess::DataRef(n);
  DeleteObj(data);
  DeleteObj(n);
}
} // namespace host

// ---------------------------------------------------------------------------------------------------
// GeListNode

GeListNode::GeListNode(Int32 type, NODEKIND kind) : _type(type), _kind(kind) {}

GeListNode::~GeListNode()
{
  // A node destroyed outside FreeNode must not leave dangling list links behind.
  Remove();
  for (GeListNode* c = _children.first; c;)
  {
    GeListNode* next = c->_next;
    c->_head = nullptr;
    c->_next = c->_prev = nullptr;
    c = next;
  }
}

GeListNode* GeListNode::GetUp() const
{
  return _head && _head->kind == host::LISTKIND::CHILDREN ? _head->owner : nullptr;
}

BaseDocument* GeListNode::GetDocument() const
{
  for (const GeListNode* n = this; n; n = n->_head ? n->_head->owner : nullptr)
    if (n->_kind == NODEKIND::DOCUMENT)
      return static_cast<BaseDocument*>(const_cast<GeListNode*>(n));
  return nullptr;
}

Bool GeListNode::CheckInsert(GeListNode* anchor, const host::ListHead* target, const char* what) const
{
  const char* problem = nullptr;
  if (_head)
    problem = "the node is already in a list";
  else if (!target)
    problem = "the target is in no list";
  else if (anchor == this)
    problem = "a node cannot be inserted next to itself";
  else if (!host::detail::KindFits(*target, _kind))
    problem = "that list does not take nodes of this kind";
  else
  {
    for (const GeListNode* n = target->owner; n; n = n->_head ? n->_head->owner : nullptr)
      if (n == this)
      {
        problem = "the target lies below the node itself";
        break;
      }
  }
  if (!problem)
    return true;
  DiagnosticOutput(String("Scene: refused to ") + what + " a node of type " + String::IntToString(_type) +
                   (target ? String(" into ") + ListKindName(target->kind) : String()) + ": " + problem + ".");
  return false;
}

void GeListNode::Link(host::ListHead& head, GeListNode* prev, GeListNode* next)
{
  _head = &head;
  _prev = prev;
  _next = next;
  if (prev)
    prev->_next = this;
  else
    head.first = this;
  if (next)
    next->_prev = this;
  else
    head.last = this;
}

Bool GeListNode::InsertBefore(GeListNode* bl)
{
  if (!bl || !CheckInsert(bl, bl->_head, "insert before another"))
    return false;
  Link(*bl->_head, bl->_prev, bl);
  return true;
}

Bool GeListNode::InsertAfter(GeListNode* bl)
{
  if (!bl || !CheckInsert(bl, bl->_head, "insert after another"))
    return false;
  Link(*bl->_head, bl, bl->_next);
  return true;
}

Bool GeListNode::InsertUnder(GeListNode* parent)
{
  if (!parent || !CheckInsert(parent, &parent->_children, "insert under another"))
    return false;
  Link(parent->_children, nullptr, parent->_children.first);
  return true;
}

Bool GeListNode::InsertUnderLast(GeListNode* parent)
{
  if (!parent || !CheckInsert(parent, &parent->_children, "insert under another"))
    return false;
  Link(parent->_children, parent->_children.last, nullptr);
  return true;
}

void GeListNode::Remove()
{
  if (!_head)
    return;
  if (_prev)
    _prev->_next = _next;
  else
    _head->first = _next;
  if (_next)
    _next->_prev = _prev;
  else
    _head->last = _prev;
  _head = nullptr;
  _prev = _next = nullptr;
}

Bool GeListNode::Message(Int32 type, void* data)
{
  {
    std::lock_guard lock(LogMutex());
    _record.messages.push_back(type);
  }
  return _data ? _data->Message(this, type, data) : true;
}

Bool GeListNode::IsInstanceOf(Int32 type) const
{
  return _data ? _data->IsInstanceOf(this, type) : IsBuiltinInstanceOf(type);
}

Bool GeListNode::IsBuiltinInstanceOf(Int32 type) const
{
  if (type == _type)
    return true;
  if (const host::BuiltinType* bt = host::FindBuiltinType(_type))
    for (Int32 base : bt->bases)
      if (base == type)
        return true;
  if (_kind == NODEKIND::SHADER && type == Xbase)
    return true;
  if (_kind == NODEKIND::MATERIAL && type == Mmaterial)
    return true;
  return false;
}

Bool GeListNode::ChangeNBit(NBIT bit, NBITCONTROL control)
{
  {
    std::lock_guard lock(LogMutex());
    _record.nbitChanges.emplace_back(bit, control);
  }
  const Int32 index = static_cast<Int32>(bit);
  if (index < 0 || index >= 64)
    return false;
  const UInt64 mask = UInt64(1) << index;
  const UInt64 before = _nbits;
  switch (control)
  {
    case NBITCONTROL::SET: _nbits |= mask; break;
    case NBITCONTROL::CLEAR: _nbits &= ~mask; break;
    case NBITCONTROL::TOGGLE: _nbits ^= mask; break;
    default: break;   // recorded as given; other control values change nothing
  }
  return before != _nbits;
}

Bool GeListNode::GetNBit(NBIT bit) const
{
  const Int32 index = static_cast<Int32>(bit);
  return index >= 0 && index < 64 && (_nbits & (UInt64(1) << index)) != 0;
}

// ---------------------------------------------------------------------------------------------------
// BaseList2D

BaseList2D::BaseList2D(Int32 type, NODEKIND kind) : GeListNode(type, kind)
{
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  _guid = r.next++;
  r.nodes[_guid] = this;
  _bc.Bind(this);
}

BaseList2D::~BaseList2D()
{
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.nodes.find(_guid);
  if (it != r.nodes.end() && it->second == this)
    r.nodes.erase(it);
}

void BaseList2D::SetName(const String& name)
{
  if (name == _name)
    return;
  _name = name;
  SetDirty(DIRTYFLAGS::DATA);
}

void BaseList2D::SetData(const BaseContainer& src, Bool merge)
{
  if (merge)
    _bc.MergeContainer(src);
  else
    _bc = src;
}

Bool BaseList2D::GetParameter(const DescID& id, GeData& t_data, DESCFLAGS_GET flags)
{
  if (_data && !_data->GetParameter(this, id, t_data, flags))
  {
    t_data.Free();
    return false;
  }
  if (HasFlag(flags, DESCFLAGS_GET::PARAM_GET))
    return true;
  const BaseContainer* bc = &_bc;
  const GeData* value = nullptr;
  if (!id.IsEmpty())
  {
    for (Int32 i = 0; bc && i + 1 < id.GetDepth(); ++i)
      bc = bc->GetContainerInstance(id[i].id);
    if (bc)
      value = bc->GetDataPointer(id[id.GetDepth() - 1].id);
  }
  if (!value)
  {
    t_data.Free();
    return false;
  }
  t_data = *value;
  return true;
}

Bool BaseList2D::SetParameter(const DescID& id, const GeData& t_data, DESCFLAGS_SET flags)
{
  const Int before = GetDirty(DIRTYFLAGS::DATA);
  if (_data)
  {
    if (!_data->SetParameter(this, id, t_data, flags))
      return false;
  }
  if (!HasFlag(flags, DESCFLAGS_SET::PARAM_SET) && !host::detail::StoreParameter(this, id, t_data))
    return false;
  // A slot that stored the value elsewhere still changed the node.
  if (GetDirty(DIRTYFLAGS::DATA) == before)
    SetDirty(DIRTYFLAGS::DATA);
  return true;
}

Bool BaseList2D::GetDEnabling(const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                              const BaseContainer* itemdesc)
{
  return _data ? _data->GetDEnabling(this, id, t_data, flags, itemdesc) : true;
}

Bool BaseList2D::GetDescription(Description* description, DESCFLAGS_DESC& flags)
{
  return _data ? _data->GetDDescription(this, description, flags) : true;
}

Int BaseList2D::GetDirty(DIRTYFLAGS flags) const
{
  Int sum = 0;
  if (HasFlag(flags, DIRTYFLAGS::MATRIX))
    sum += _dirtyMatrix.load(std::memory_order_relaxed);
  if (HasFlag(flags, DIRTYFLAGS::DATA))
    sum += _dirtyData.load(std::memory_order_relaxed);
  if (HasFlag(flags, DIRTYFLAGS::CACHE))
    sum += _dirtyCache.load(std::memory_order_relaxed);
  return sum;
}

void BaseList2D::SetDirty(DIRTYFLAGS flags)
{
  if (HasFlag(flags, DIRTYFLAGS::MATRIX))
    _dirtyMatrix.fetch_add(1, std::memory_order_relaxed);
  if (HasFlag(flags, DIRTYFLAGS::DATA))
    _dirtyData.fetch_add(1, std::memory_order_relaxed);
  if (HasFlag(flags, DIRTYFLAGS::CACHE))
    _dirtyCache.fetch_add(1, std::memory_order_relaxed);
}

BaseShader* BaseList2D::GetFirstShader() const
{
  return static_cast<BaseShader*>(_shaders.first);
}

Bool BaseList2D::InsertShader(BaseShader* shader, BaseShader* pred)
{
  return host::InsertIntoList(_shaders, shader, pred);
}

Bool BaseList2D::CopyMembersTo(BaseList2D*) const
{
  return true;
}
