#include "host/fields/fieldlist.h"

#include <algorithm>
#include <bit>
#include <new>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/fields/fieldobjects.h"
#include "host/scene/baseobject.h"
#include "host/scene/hyperfile.h"

using LayerVector = std::vector<std::unique_ptr<FieldLayer>>;

// Keeps every layer's back references (sibling array, index, parent, list) right after the arrays
// that hold them were built or moved.
struct FieldLayerAccess
{
  static void Adopt(LayerVector& layers, FieldLayer* parent, FieldList* list)
  {
    for (std::size_t i = 0; i < layers.size(); ++i)
    {
      FieldLayer* l = layers[i].get();
      l->_siblings = &layers;
      l->_index = i;
      l->_parent = parent;
      l->_list = list;
      Adopt(l->_children, l, list);
    }
  }
  static void Renumber(LayerVector& layers, std::size_t from)
  {
    for (std::size_t i = from; i < layers.size(); ++i)
      layers[i]->_index = i;
  }
  static void CopyFields(const FieldLayer& src, FieldLayer& dst)
  {
    dst._enabled = src._enabled;
    dst._flags = src._flags;
    dst._opacity = src._opacity;
    dst._blend = src._blend;
    dst._value = src._value;
    dst._link = src._link;
    dst._dirty = src._dirty;
  }
  static void SetLink(FieldLayer& l, const BaseLink& link) { l._link = link; }
  static LayerVector& Children(FieldLayer* l) { return l->_children; }
  static const LayerVector& Children(const FieldLayer* l) { return l->_children; }
  static FieldLayer* Make(Int32 type) { return new (std::nothrow) FieldLayer(type); }
  static void Detach(FieldLayer* l)
  {
    l->_siblings = nullptr;
    l->_index = 0;
    l->_parent = nullptr;
    SetList(l, nullptr);
  }
  static void SetList(FieldLayer* l, FieldList* list)
  {
    l->_list = list;
    for (auto& c : l->_children)
      SetList(c.get(), list);
  }
};

namespace
{
using Access = FieldLayerAccess;

constexpr Int32 STREAM_VERSION = 1;
constexpr Int32 MAX_STREAM_LAYERS = 1 << 20;   // a corrupt count must not make the loader allocate wildly
constexpr Int PARALLEL_MIN_POINTS = 4096;
constexpr Int PARALLEL_BLOCK = 1024;

Bool KnownType(Int32 type)
{
  return type == FLsolid || type == FLobject || type == FLfolder;
}

Bool KnownBlend(Int32 mode)
{
  return mode >= static_cast<Int32>(FIELDLAYER_BLEND::NORMAL) && mode <= static_cast<Int32>(FIELDLAYER_BLEND::MIN);
}

// Height of a layer's subtree: 1 for a layer without children.
Int32 Height(const FieldLayer* l)
{
  Int32 h = 0;
  for (const auto& c : Access::Children(l))
    h = std::max(h, Height(c.get()));
  return h + 1;
}

Int32 Depth(const FieldLayer* l)
{
  Int32 d = 0;
  for (; l; l = l->GetUp())
    ++d;
  return d;
}

Int32 CountLayers(const LayerVector& layers)
{
  Int32 n = 0;
  for (const auto& l : layers)
    n += 1 + CountLayers(Access::Children(l.get()));
  return n;
}

Bool EqualLayers(const LayerVector& a, const LayerVector& b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!a[i]->IsEqual(*b[i]))
      return false;
  return true;
}

// Copies the layers without asking the allocation switch (the caller asked once for the whole copy).
// Dirty counts are copied too, so a parameter read of a list (a clone) looks unchanged to a dirty test.
Bool CloneLayers(const LayerVector& src, LayerVector& dst)
{
  try
  {
    dst.reserve(src.size());
    for (const auto& l : src)
    {
      std::unique_ptr<FieldLayer> c(Access::Make(l->GetType()));
      if (!c)
        return false;
      Access::CopyFields(*l, *c);
      if (!CloneLayers(Access::Children(l.get()), Access::Children(c.get())))
        return false;
      dst.push_back(std::move(c));
    }
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Checksum

struct Hasher
{
  UInt64 h = 0xcbf29ce484222325ull;
  void Add(UInt64 v)
  {
    // splitmix64 finaliser per value, then FNV-style chaining: order-sensitive and well mixed.
    v += 0x9e3779b97f4a7c15ull;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ull;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebull;
    v ^= v >> 31;
    h = (h ^ v) * 0x100000001b3ull;
  }
  void AddFloat(Float f) { Add(std::bit_cast<UInt64>(f)); }
};

void HashLayers(const LayerVector& layers, const BaseDocument* doc, Hasher& hs)
{
  hs.Add(0x5b);   // opens a sibling list
  for (const auto& lp : layers)
  {
    const FieldLayer* l = lp.get();
    hs.Add(static_cast<UInt64>(l->GetType()));
    hs.Add(static_cast<UInt64>(l->GetState()));
    hs.Add(static_cast<UInt64>(l->GetStoredFlags()));
    hs.AddFloat(l->GetOpacity());
    hs.Add(static_cast<UInt64>(l->GetBlendMode()));
    hs.AddFloat(l->GetValue());
    hs.Add(static_cast<UInt64>(l->GetDirty()));
    hs.Add(static_cast<UInt64>(l->GetLink().GetTargetGuid()));
    const BaseObject* op = l->GetLinkedObject(doc);
    hs.Add(op ? static_cast<UInt64>(op->GetDirty(DIRTYFLAGS::MATRIX | DIRTYFLAGS::DATA | DIRTYFLAGS::CACHE)) + 1 : 0);
    hs.Add(op && op->IsEnabled() ? 1 : 0);
    HashLayers(Access::Children(l), doc, hs);
  }
  hs.Add(0x5d);   // closes it
}

// ---------------------------------------------------------------------------------------------------
// Sampling plan: the contributing layers in pre-order, each with what evaluation needs.

enum class PLANKIND : Int32
{
  SOLID,
  OBJECT,
  FOLDER,
};

struct PlanNode
{
  PLANKIND kind = PLANKIND::FOLDER;
  FIELDLAYER_BLEND blend = FIELDLAYER_BLEND::NORMAL;
  Float opacity = 1.0;
  Float value = 0.0;
  FieldFalloff falloff;
  Int32 childCount = 0;   // contributing direct children
  Int32 subtree = 1;      // nodes in this node's subtree, itself included
};

const BaseObject* ResolveFieldObject(const FieldLayer* l, const BaseList2D* caller)
{
  BaseList2D* node = caller ? l->GetLink().GetLink(caller->GetDocument()) : l->GetLink().ForceGetLink();
  if (!node || node->GetKind() != NODEKIND::OBJECT)
    return nullptr;
  const BaseObject* op = static_cast<const BaseObject*>(node);
  return IsFieldObjectType(op->GetType()) && op->IsEnabled() ? op : nullptr;
}

Int32 BuildPlan(const LayerVector& layers, const BaseList2D* caller, std::vector<PlanNode>& plan)
{
  Int32 count = 0;
  for (const auto& lp : layers)
  {
    const FieldLayer* l = lp.get();
    if (!l->IsEnabled() || (l->GetLayerFlags(0) & FIELDLAYER_FLAGS_UNUSABLE) != 0)
      continue;
    PlanNode n;
    n.blend = l->GetBlendMode();
    const Float o = l->GetOpacity();
    n.opacity = o > 0.0 ? (o < 1.0 ? o : 1.0) : 0.0;
    switch (l->GetType())
    {
      case FLsolid:
        n.kind = PLANKIND::SOLID;
        n.value = l->GetValue();
        break;
      case FLobject:
      {
        const BaseObject* op = ResolveFieldObject(l, caller);
        if (!op || !FieldFalloff::Prepare(op, n.falloff))
          continue;
        n.kind = PLANKIND::OBJECT;
        break;
      }
      default:
        n.kind = PLANKIND::FOLDER;
        break;
    }
    const std::size_t at = plan.size();
    plan.push_back(n);
    const Int32 children = BuildPlan(Access::Children(l), caller, plan);
    plan[at].childCount = children;
    plan[at].subtree = static_cast<Int32>(plan.size() - at);
    ++count;
  }
  return count;
}

Float Blend(FIELDLAYER_BLEND mode, Float below, Float layer)
{
  switch (mode)
  {
    case FIELDLAYER_BLEND::ADD: return below + layer;
    case FIELDLAYER_BLEND::SUBTRACT: return below - layer;
    case FIELDLAYER_BLEND::MULTIPLY: return below * layer;
    case FIELDLAYER_BLEND::MAX: return std::max(below, layer);
    case FIELDLAYER_BLEND::MIN: return std::min(below, layer);
    case FIELDLAYER_BLEND::NORMAL:
    default: return layer;
  }
}

Float Combine(const PlanNode* n, Int32 count, const Vector& world, Float value)
{
  for (Int32 k = 0; k < count; ++k)
  {
    Float own = 0.0;
    if (n->kind == PLANKIND::SOLID)
      own = n->value;
    else if (n->kind == PLANKIND::OBJECT)
      own = n->falloff.Evaluate(world);
    if (n->childCount > 0)
      own = Combine(n + 1, n->childCount, world, own);
    value += (Blend(n->blend, value, own) - value) * n->opacity;
    n += n->subtree;
  }
  return value;
}

Float Clamp01(Float v)
{
  return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
}

Bool ReadLayers(HyperFile* hf, LayerVector& out, Int32 depth)
{
  Int32 count = 0;
  if (!hf->ReadInt32(&count) || count < 0 || count > MAX_STREAM_LAYERS)
    return false;
  if (count > 0 && depth > FIELDLAYER_MAX_DEPTH)
    return false;
  for (Int32 i = 0; i < count; ++i)
  {
    Int32 type = 0, flags = 0, blend = 0;
    Bool enabled = true;
    Float opacity = 1.0, value = 1.0;
    GeData link;
    if (!hf->ReadInt32(&type) || !KnownType(type) || !hf->ReadBool(&enabled) || !hf->ReadInt32(&flags) ||
        !hf->ReadFloat(&opacity) || !hf->ReadInt32(&blend) || !KnownBlend(blend) || !hf->ReadFloat(&value) ||
        !hf->ReadGeData(&link) || (!link.IsNil() && link.GetType() != DA_ALIASLINK))
      return false;
    std::unique_ptr<FieldLayer> l(Access::Make(type));
    if (!l)
      return false;
    l->SetEnabled(enabled);
    l->SetLayerFlags(flags);
    l->SetOpacity(opacity);
    l->SetBlendMode(static_cast<FIELDLAYER_BLEND>(blend));
    l->SetValue(value);
    if (!link.IsNil())
    {
      // The link value carries the target's identity; keep it even while the target is not loaded yet.
      Access::SetLink(*l, link.GetBaseLink());
    }
    if (!ReadLayers(hf, Access::Children(l.get()), depth + 1))
      return false;
    out.push_back(std::move(l));
  }
  return true;
}

Bool WriteLayers(HyperFile* hf, const LayerVector& layers)
{
  if (!hf->WriteInt32(static_cast<Int32>(layers.size())))
    return false;
  for (const auto& l : layers)
  {
    if (!hf->WriteInt32(l->GetType()) || !hf->WriteBool(l->IsEnabled()) || !hf->WriteInt32(l->GetStoredFlags()) ||
        !hf->WriteFloat(l->GetOpacity()) || !hf->WriteInt32(static_cast<Int32>(l->GetBlendMode())) ||
        !hf->WriteFloat(l->GetValue()) || !hf->WriteGeData(GeData(l->GetLink())) ||
        !WriteLayers(hf, Access::Children(l.get())))
      return false;
  }
  return true;
}

// The scene files and the node table know the field types from the start.
const Bool g_fieldTypesRegistered = host::RegisterFieldTypes();
} // namespace

// ---------------------------------------------------------------------------------------------------
// FieldLayer

FieldLayer::FieldLayer(Int32 type) : _type(type) {}

FieldLayer::~FieldLayer() = default;

std::unique_ptr<FieldLayer> FieldLayer::Alloc(Int32 type)
{
  if (!KnownType(type) || host::AllocationShouldFail())
    return nullptr;
  return std::unique_ptr<FieldLayer>(Access::Make(type));
}

FieldLayer* FieldLayer::GetNext() const
{
  return _siblings && _index + 1 < _siblings->size() ? (*_siblings)[_index + 1].get() : nullptr;
}

FieldLayer* FieldLayer::GetPred() const
{
  return _siblings && _index > 0 ? (*_siblings)[_index - 1].get() : nullptr;
}

FieldLayer* FieldLayer::GetDown() const
{
  return _children.empty() ? nullptr : _children.front().get();
}

FieldLayer* FieldLayer::GetDownLast() const
{
  return _children.empty() ? nullptr : _children.back().get();
}

FieldList* FieldLayer::GetList() const
{
  return _list;
}

void FieldLayer::SetEnabled(Bool enabled)
{
  _enabled = enabled;
  SetDirty();
}

Int32 FieldLayer::GetLayerFlags(Int32 mask) const
{
  Int32 flags = _flags;
  if (_type == FLobject && !_link.IsEmpty() && !_link.ForceGetLink())
    flags |= FIELDLAYER_FLAG_ERROR;
  return mask == 0 ? flags : (flags & mask);
}

void FieldLayer::SetLayerFlags(Int32 flags)
{
  _flags = flags;
  SetDirty();
}

void FieldLayer::ChangeLayerFlag(Int32 flag, Bool set)
{
  SetLayerFlags(set ? (_flags | flag) : (_flags & ~flag));
}

void FieldLayer::SetOpacity(Float opacity)
{
  _opacity = opacity;
  SetDirty();
}

void FieldLayer::SetBlendMode(FIELDLAYER_BLEND mode)
{
  _blend = mode;
  SetDirty();
}

void FieldLayer::SetValue(Float value)
{
  _value = value;
  SetDirty();
}

void FieldLayer::SetLinkedObject(const BaseObject* op)
{
  _link.SetLink(op);
  SetDirty();
}

BaseObject* FieldLayer::GetLinkedObject(const BaseDocument* doc) const
{
  BaseList2D* node = _link.GetLink(doc);
  return node && node->GetKind() == NODEKIND::OBJECT ? static_cast<BaseObject*>(node) : nullptr;
}

Bool FieldLayer::HasLinkedData() const
{
  return _link.ForceGetLink() != nullptr;
}

std::unique_ptr<FieldLayer> FieldLayer::Clone() const
{
  if (host::AllocationShouldFail())
    return nullptr;
  std::unique_ptr<FieldLayer> c(Access::Make(_type));
  if (!c)
    return nullptr;
  Access::CopyFields(*this, *c);
  if (!CloneLayers(_children, c->_children))
    return nullptr;
  Access::Adopt(c->_children, c.get(), nullptr);
  return c;
}

Bool FieldLayer::IsEqual(const FieldLayer& o) const
{
  return _type == o._type && _enabled == o._enabled && _flags == o._flags && _opacity == o._opacity &&
         _blend == o._blend && _value == o._value && _link == o._link && EqualLayers(_children, o._children);
}

// ---------------------------------------------------------------------------------------------------
// FieldList

FieldList::FieldList() = default;
FieldList::~FieldList() = default;

std::unique_ptr<FieldList> FieldList::Alloc()
{
  if (host::AllocationShouldFail())
    return nullptr;
  return std::unique_ptr<FieldList>(new (std::nothrow) FieldList());
}

std::unique_ptr<CustomDataType> FieldList::Clone() const
{
  std::unique_ptr<FieldList> c = Alloc();
  if (!c || c->CopyFrom(*this).IsError())
    return nullptr;
  return c;
}

Result<void> FieldList::CopyFrom(const FieldList& src)
{
  if (&src == this)
    return OK;
  if (host::AllocationShouldFail())
    return OutOfMemoryError("Could not copy the field list!");
  LayerVector copy;
  if (!CloneLayers(src._layers, copy))
    return OutOfMemoryError("Could not copy the field list!");
  _layers.swap(copy);
  Access::Adopt(_layers, nullptr, this);
  _flags = src._flags;
  return OK;
}

Bool FieldList::IsEqual(const CustomDataType& other) const
{
  if (other.GetCustomTypeId() != CUSTOMDATATYPE_FIELDLIST)
    return false;
  const FieldList& o = static_cast<const FieldList&>(other);
  return _flags == o._flags && EqualLayers(_layers, o._layers);
}

Bool FieldList::WriteData(HyperFile* hf) const
{
  return hf && hf->WriteInt32(STREAM_VERSION) && hf->WriteInt32(_flags) && WriteLayers(hf, _layers);
}

Bool FieldList::ReadData(HyperFile* hf, Int32)
{
  Int32 version = 0;
  Int32 flags = 0;
  if (!hf || !hf->ReadInt32(&version) || version != STREAM_VERSION || !hf->ReadInt32(&flags))
    return false;
  LayerVector layers;
  try
  {
    if (!ReadLayers(hf, layers, 1))
      return false;
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  _layers.swap(layers);
  Access::Adopt(_layers, nullptr, this);
  _flags = flags;
  return true;
}

FieldLayer* FieldList::GetFirstLayer() const
{
  return _layers.empty() ? nullptr : _layers.front().get();
}

FieldLayer* FieldList::GetLastLayer() const
{
  return _layers.empty() ? nullptr : _layers.back().get();
}

Result<FieldLayer*> FieldList::InsertLayer(std::unique_ptr<FieldLayer> layer, FieldLayer* parent, FieldLayer* pred)
{
  if (!layer)
    return NullptrError("layer must not be nullptr!");
  if (layer->GetList())
    return IllegalArgumentError("The layer is already in a field list!");
  if (parent && parent->GetList() != this)
    return IllegalArgumentError("The parent layer is not in this field list!");
  if (pred && (pred->GetList() != this || pred->GetUp() != parent))
    return IllegalArgumentError("The layer to insert after is not a child of the given parent!");
  if (Depth(parent) + Height(layer.get()) > FIELDLAYER_MAX_DEPTH)
    return IllegalArgumentError("Field layers nest too deep!");
  if (host::AllocationShouldFail())
    return OutOfMemoryError("Could not insert the field layer!");
  LayerVector& siblings = parent ? Access::Children(parent) : _layers;
  const std::size_t at = pred ? pred->_index + 1 : 0;
  FieldLayer* raw = layer.get();
  try
  {
    siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), std::move(layer));
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError("Could not insert the field layer!");
  }
  Access::Renumber(siblings, at);
  raw->_siblings = &siblings;
  raw->_parent = parent;
  Access::Adopt(Access::Children(raw), raw, this);
  Access::SetList(raw, this);
  return raw;
}

Result<FieldLayer*> FieldList::AppendLayer(std::unique_ptr<FieldLayer> layer, FieldLayer* parent)
{
  if (parent && parent->GetList() != this)
    return IllegalArgumentError("The parent layer is not in this field list!");
  FieldLayer* last = parent ? parent->GetDownLast() : GetLastLayer();
  if (!last)
    return InsertLayer(std::move(layer), parent, nullptr);
  return InsertLayer(std::move(layer), parent, last);
}

std::unique_ptr<FieldLayer> FieldList::DetachLayer(FieldLayer* layer)
{
  if (!layer || layer->GetList() != this || !layer->_siblings)
    return nullptr;
  LayerVector& siblings = *layer->_siblings;
  const std::size_t at = layer->_index;
  std::unique_ptr<FieldLayer> owned = std::move(siblings[at]);
  siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(at));
  Access::Renumber(siblings, at);
  Access::Detach(owned.get());
  return owned;
}

Bool FieldList::RemoveLayer(FieldLayer* layer)
{
  return DetachLayer(layer) != nullptr;
}

void FieldList::FlushAll()
{
  _layers.clear();
}

Int32 FieldList::GetLayerCount() const
{
  return CountLayers(_layers);
}

void FieldList::SetFlags(Int32 flags)
{
  _flags = flags;
}

void FieldList::ChangeFlag(Int32 flag, Bool set)
{
  _flags = set ? (_flags | flag) : (_flags & ~flag);
}

Bool FieldList::Query(Int32 what) const
{
  switch (what)
  {
    case FIELDLIST_QUERY_HASLAYERS: return !_layers.empty();
    default: return false;
  }
}

Int FieldList::GetDirtyChecksum(const BaseDocument* doc) const
{
  Hasher hs;
  hs.Add(static_cast<UInt64>(_flags));
  HashLayers(_layers, doc, hs);
  return static_cast<Int>(hs.h);
}

Result<FieldOutput> FieldList::Sample(const FieldInput& input, const BaseList2D* caller, FIELDSAMPLE_FLAG) const
{
  const Int count = input.blockCount;
  if (count < 0)
    return IllegalArgumentError("FieldInput count must not be negative!");
  if (count > 0 && !input.position)
    return NullptrError("FieldInput positions must not be nullptr!");
  if (input.fullArraySize < count)
    return IllegalArgumentError("FieldInput full array size is smaller than its count!");

  FieldOutput out;
  HOST_TRY(out.value.Resize(count));
  if (count == 0)
    return out;

  std::vector<PlanNode> plan;
  Int32 top = 0;
  try
  {
    plan.reserve(static_cast<std::size_t>(GetLayerCount()));
    top = BuildPlan(_layers, caller, plan);
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError("Could not prepare the field list for sampling!");
  }

  Float* values = out.value.GetFirst();
  if (top == 0)
  {
    const Float empty = (_flags & FIELDLIST_FLAG_EMPTYISFULL) != 0 ? 1.0 : 0.0;
    std::fill(values, values + count, empty);
    return out;
  }

  const Bool clamp = (_flags & FIELDLIST_FLAG_CLAMPOUTPUT) != 0;
  const PlanNode* nodes = plan.data();
  auto run = [&](Int from, Int to) {
    for (Int i = from; i < to; ++i)
    {
      const Float v = Combine(nodes, top, input.transform * input.position[i], 0.0);
      values[i] = clamp ? Clamp01(v) : v;
    }
  };
  if (count < PARALLEL_MIN_POINTS)
  {
    run(0, count);
    return out;
  }
  const Int blocks = (count + PARALLEL_BLOCK - 1) / PARALLEL_BLOCK;
  HOST_TRY(ParallelFor(
    0, blocks, [&](Int b) { run(b * PARALLEL_BLOCK, std::min(count, (b + 1) * PARALLEL_BLOCK)); }, 0, 1));
  return out;
}
