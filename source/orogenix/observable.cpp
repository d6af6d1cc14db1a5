// Observer lists of the terrain operators.
//
// Locking. Add and Remove arrive on the thread that delivers parameter changes, messages and copies to
// the channel shader, Notify on the thread that builds the terrain or frees an operator, so each list
// guards itself with a lock held for the whole of each operation. The lock is recursive because Notify
// calls out into the host while it holds it: the update message an observer receives may make its
// shader add or remove entries of this same list on this same thread, which a plain mutex would turn
// into a self-deadlock.
//
// Holding the lock alone does not make such re-entry safe: a nested Remove frees links and shifts
// entries under the walk. So a walk keeps no pointer or index across a call-out. Every entry carries a
// sequence number that increases in list order (Add appends, Remove keeps the order), and after each
// observer the walk seeks the first entry numbered above the one it handled. An entry present when the
// walk reaches it is visited; one removed meanwhile is skipped; one added meanwhile is numbered beyond
// every entry so far and is visited in this same walk, so a shader that enters its owner while the
// operator notifies still hears of that output. What ends the walk is that each observer element is
// visited at most once: a handler that takes itself out and puts itself back is not visited again.
#include "orogenix/observable.h"

#include <algorithm>
#include <vector>

#include "host/scene/messages.h"

Bool VisitShaderTree(BaseList2D* node, BaseDocument* doc, Int32 shaderType, Int32 value,
                     const ShaderTreeCallback& callback)
{
  Bool result = false;
  // Siblings in a loop, branches by recursion: the depth of the recursion is the nesting depth of the
  // shader tree, not its length.
  while (node)
  {
    if (node->GetType() == shaderType)
      result |= callback(node, value);
    if (BaseShader* shader = node->GetFirstShader())
      result |= VisitShaderTree(shader, doc, shaderType, value, callback);
    if (GeListNode* child = node->GetDown())
      result |= VisitShaderTree(static_cast<BaseList2D*>(child), doc, shaderType, value, callback);
    node = static_cast<BaseList2D*>(node->GetNext());
  }
  return result;
}

Bool SendShaderValue(BaseList2D* node, Int32 dirtyFlags)
{
  if (!node)
    return false;
  node->SetDirty(static_cast<DIRTYFLAGS>(dirtyFlags));
  return true;
}

Observable::~Observable()
{
  for (Entry& entry : _entries)
    BaseLink::Free(entry.link);
}

Result<void> Observable::Add(BaseList2D* observer, BaseDocument* doc)
{
  if (!observer)
    return NullptrError("Observer must not be nullptr!");
  if (!doc)
    return NullptrError("doc must not be nullptr!");

  std::lock_guard lock(_mutex);
  DropDeadEntries();
  if (FindLocked(observer, doc) != -1)
    return OK;

  BaseLink* link = BaseLink::Alloc();
  if (!link)
    return OutOfMemoryError("Failed to add observer to the list!");
  link->SetLink(observer);
  if (_entries.Append(Entry{link, _nextSequence}).IsError())
  {
    BaseLink::Free(link);
    return OutOfMemoryError("Failed to add observer to the list!");
  }
  ++_nextSequence;
  return OK;
}

void Observable::Remove(BaseList2D* observer, BaseDocument* doc)
{
  if (!observer || !doc)
    return;
  std::lock_guard lock(_mutex);
  const Int32 i = FindLocked(observer, doc);
  if (i < 0)
    return;
  BaseLink::Free(_entries[i].link);
  _entries.Erase(i);
}

Int32 Observable::Find(BaseList2D* observer, BaseDocument* doc) const
{
  std::lock_guard lock(_mutex);
  return FindLocked(observer, doc);
}

Int Observable::GetCount() const
{
  std::lock_guard lock(_mutex);
  return _entries.GetCount();
}

Int32 Observable::FindLocked(BaseList2D* observer, BaseDocument* doc) const
{
  const Int count = _entries.GetCount();
  for (Int i = 0; i < count; ++i)
  {
    const BaseLink* link = _entries[i].link;
    if (link && link->GetLink(doc) == observer)
      return static_cast<Int32>(i);
  }
  return -1;
}

void Observable::DropDeadEntries()
{
  // A link to an element that lives in another document still resolves there: only links whose element
  // is gone from the process are dropped. Order is kept, so sequence numbers stay increasing.
  Int kept = 0;
  const Int count = _entries.GetCount();
  for (Int i = 0; i < count; ++i)
  {
    Entry& entry = _entries[i];
    if (entry.link && entry.link->ForceGetLink())
      _entries[kept++] = entry;
    else
      BaseLink::Free(entry.link);
  }
  while (_entries.GetCount() > kept)
    _entries.Erase(_entries.GetCount() - 1);
}

Int Observable::FirstEntryAfter(UInt64 sequence) const
{
  Int lo = 0;
  Int hi = _entries.GetCount();
  while (lo < hi)
  {
    const Int mid = lo + (hi - lo) / 2;
    if (_entries[mid].sequence <= sequence)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

template <typename Visit>
void Observable::ForEachResolved(BaseDocument* doc, Visit&& visit)
{
  std::lock_guard lock(_mutex);
  // Identity values rather than addresses: a handler may free an element and another may take its place.
  std::vector<Int> visited;
  UInt64 handled = 0;
  for (;;)
  {
    const Int i = FirstEntryAfter(handled);
    if (i >= _entries.GetCount())
      return;
    handled = _entries[i].sequence;
    const BaseLink* link = _entries[i].link;
    if (!link)
      continue;
    BaseList2D* observer = link->GetLink(doc);
    if (!observer)
      continue;
    const Int guid = observer->GetGUID();
    if (std::find(visited.begin(), visited.end(), guid) != visited.end())
      continue;
    visited.push_back(guid);
    visit(observer);
  }
}

void Observable::Notify(Int32 shaderType, Int32 dirtyFlags, BaseDocument* doc, Bool update)
{
  ForEachResolved(doc, [&](BaseList2D* observer) {
    const Bool found = VisitShaderTree(observer->GetFirstShader(), doc, shaderType, dirtyFlags, SendShaderValue);
    if (!found || !update)
      return;
    observer->Message(MSG_UPDATE);
    // The kind check keeps the cast honest for a plug-in node that claims to be a material.
    if (observer->GetKind() == NODEKIND::MATERIAL && observer->IsInstanceOf(Mmaterial))
      static_cast<BaseMaterial*>(observer)->Update(true, false);
  });
}

void Observable::SendMessage(Int32 messageId, BaseDocument* doc, void* data)
{
  ForEachResolved(doc, [&](BaseList2D* observer) { observer->Message(messageId, data); });
}

void Observable::SendValue(Int32 dirtyFlags, BaseDocument* doc)
{
  ForEachResolved(doc, [&](BaseList2D* observer) { observer->SetDirty(static_cast<DIRTYFLAGS>(dirtyFlags)); });
}
