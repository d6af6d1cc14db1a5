#include "host/scene/basecontainer.h"

#include "host/scene/gelistnode.h"
#include "host/scene/hierarchy.h"

namespace
{
const GeData& NilData()
{
  static const GeData nil;
  return nil;
}
} // namespace

BaseContainer::BaseContainer(const BaseContainer& o) : _id(o._id), _entries(o._entries)
{
  Reindex();
}

BaseContainer::BaseContainer(BaseContainer&& o) noexcept
  : _id(o._id), _entries(std::move(o._entries)), _index(std::move(o._index))
{
  o._entries.clear();
  // The moved entries' sub-containers were bound to o's node; this copy belongs to no node.
  for (Entry& e : _entries)
    if (BaseContainer* sub = e.data.GetContainer())
      sub->Bind(nullptr);
}

BaseContainer& BaseContainer::operator=(const BaseContainer& o)
{
  if (this == &o)
    return *this;
  _id = o._id;
  _entries = o._entries;
  Reindex();
  Bind(_owner);
  Touch();
  return *this;
}

BaseContainer::~BaseContainer() = default;

BaseContainer& BaseContainer::operator=(BaseContainer&& o) noexcept
{
  if (this == &o)
    return *this;
  _id = o._id;
  _entries = std::move(o._entries);
  _index = std::move(o._index);
  o._entries.clear();
  o._index.reset();
  o.Touch();
  Bind(_owner);
  Touch();
  return *this;
}

void BaseContainer::SetId(Int32 id)
{
  _id = id;
  Touch();
}

void BaseContainer::Bind(BaseList2D* owner)
{
  _owner = owner;
  for (Entry& e : _entries)
    if (BaseContainer* sub = e.data.GetContainer())
      sub->Bind(owner);
}

void BaseContainer::Touch()
{
  if (_owner)
    _owner->SetDirty(DIRTYFLAGS::DATA);
}

void BaseContainer::Reindex()
{
  // No index is always a correct state (look-ups then search the entries), so it is dropped before a
  // new one is built: running out of memory half-way leaves none rather than a wrong one.
  _index.reset();
  if (_entries.size() < INDEX_FROM)
    return;
  auto index = std::make_unique<Index>();
  index->reserve(_entries.size());
  for (std::size_t i = 0; i < _entries.size(); ++i)
    index->emplace(_entries[i].id, i);
  _index = std::move(index);
}

BaseContainer::Entry* BaseContainer::Find(Int32 id)
{
  const Int32 i = FindIndex(id);
  return i < 0 ? nullptr : &_entries[static_cast<std::size_t>(i)];
}

const BaseContainer::Entry* BaseContainer::Find(Int32 id) const
{
  const Int32 i = FindIndex(id);
  return i < 0 ? nullptr : &_entries[static_cast<std::size_t>(i)];
}

Int32 BaseContainer::FindIndex(Int32 id) const
{
  if (_index)
  {
    const auto it = _index->find(id);
    return it == _index->end() ? -1 : static_cast<Int32>(it->second);
  }
  for (std::size_t i = 0; i < _entries.size(); ++i)
    if (_entries[i].id == id)
      return static_cast<Int32>(i);
  return -1;
}

Int32 BaseContainer::GetIndexId(Int32 index) const
{
  if (index < 0 || index >= GetCount())
    return 0;
  return _entries[static_cast<std::size_t>(index)].id;
}

Int32 BaseContainer::GetType(Int32 id) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetType() : DA_NIL;
}

Int32 BaseContainer::GetInt32(Int32 id, Int32 def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetInt32(def) : def;
}

Int64 BaseContainer::GetInt64(Int32 id, Int64 def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetInt64(def) : def;
}

Float BaseContainer::GetFloat(Int32 id, Float def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetFloat(def) : def;
}

Bool BaseContainer::GetBool(Int32 id, Bool def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetBool(def) : def;
}

Vector BaseContainer::GetVector(Int32 id, const Vector& def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetVector(def) : def;
}

Matrix BaseContainer::GetMatrix(Int32 id, const Matrix& def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetMatrix(def) : def;
}

String BaseContainer::GetString(Int32 id, const String& def) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetString(def) : def;
}

BaseList2D* BaseContainer::GetLink(Int32 id, const BaseDocument* doc, Int32 instanceOf) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetLink(doc, instanceOf) : nullptr;
}

const GeData& BaseContainer::GetData(Int32 id) const
{
  const Entry* e = Find(id);
  return e ? e->data : NilData();
}

const GeData* BaseContainer::GetDataPointer(Int32 id) const
{
  const Entry* e = Find(id);
  return e ? &e->data : nullptr;
}

BaseContainer BaseContainer::GetContainer(Int32 id) const
{
  const BaseContainer* sub = GetContainerInstance(id);
  return sub ? *sub : BaseContainer();
}

BaseContainer* BaseContainer::GetContainerInstance(Int32 id)
{
  if (host::IsWorldSubContainerRefused(this, id))
    return nullptr;
  Entry* e = Find(id);
  return e ? e->data.GetContainer() : nullptr;
}

const BaseContainer* BaseContainer::GetContainerInstance(Int32 id) const
{
  if (host::IsWorldSubContainerRefused(this, id))
    return nullptr;
  const Entry* e = Find(id);
  return e ? e->data.GetContainer() : nullptr;
}

CustomDataType* BaseContainer::GetCustomData(Int32 id, Int32 type)
{
  Entry* e = Find(id);
  return e ? e->data.GetCustomDataType(type) : nullptr;
}

const CustomDataType* BaseContainer::GetCustomData(Int32 id, Int32 type) const
{
  const Entry* e = Find(id);
  return e ? e->data.GetCustomDataType(type) : nullptr;
}

void BaseContainer::SetLink(Int32 id, const BaseList2D* node)
{
  BaseLink link;
  link.SetLink(node);
  SetData(id, GeData(link));
}

GeData* BaseContainer::SetData(Int32 id, const GeData& v)
{
  return SetData(id, GeData(v));
}

GeData* BaseContainer::SetData(Int32 id, GeData&& v)
{
  Entry* e = Find(id);
  if (e)
  {
    e->data = std::move(v);
  }
  else
  {
    _entries.push_back(Entry{id, std::move(v)});
    try
    {
      if (_index)
        _index->emplace(id, _entries.size() - 1);
      else if (_entries.size() >= INDEX_FROM)
        Reindex();
    }
    catch (...)
    {
      // An entry the index cannot find must not stay.
      _entries.pop_back();
      _index.reset();
      throw;
    }
    e = &_entries.back();
  }
  if (BaseContainer* sub = e->data.GetContainer())
    sub->Bind(_owner);
  Touch();
  return &e->data;
}

Bool BaseContainer::RemoveData(Int32 id)
{
  const Int32 index = FindIndex(id);
  if (index < 0)
    return false;
  _entries.erase(_entries.begin() + index);
  Reindex();
  Touch();
  return true;
}

void BaseContainer::FlushAll()
{
  _entries.clear();
  _index.reset();
  Touch();
}

void BaseContainer::MergeContainer(const BaseContainer& src)
{
  if (this == &src)
    return;
  for (const Entry& e : src._entries)
    SetData(e.id, e.data);
}

Bool BaseContainer::CopyTo(BaseContainer* dest) const
{
  if (!dest)
    return false;
  if (dest == this)
    return true;
  *dest = *this;
  // A custom value whose clone failed was left empty by the copy.
  for (std::size_t i = 0; i < _entries.size(); ++i)
    if (_entries[i].data.GetType() != dest->_entries[i].data.GetType())
      return false;
  return true;
}

bool BaseContainer::operator==(const BaseContainer& o) const
{
  if (_id != o._id || _entries.size() != o._entries.size())
    return false;
  for (const Entry& e : _entries)
  {
    const Entry* other = o.Find(e.id);
    if (!other || !(e.data == other->data))
      return false;
  }
  return true;
}
