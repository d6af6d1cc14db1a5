// Observer lists: the host elements (a material, or the object or tag whose parameter holds the shader)
// that hold a channel shader reading one operator's maps. When the operator's output may have changed,
// Notify marks every channel shader in the observers' shader trees dirty and tells those observers to
// update, so that materials re-render their previews.
//
// Entries are host links, resolved per document: an element has at most one entry that resolves in a
// given document, but may have another one that resolves in a different document. Entries whose element
// no longer exists anywhere are dropped on the next Add, so lists on operators that are cloned over and
// over do not grow without bound; an element that merely lives in another document stays listed.
//
// Threads: each list has its own lock, held for the whole of every operation (see observable.cpp for
// why it is recursive and how a walk survives an observer that edits the list from its update
// handler). Handlers called during a walk must not wait for another thread that is itself waiting for
// this list.
#pragma once

#include <functional>
#include <mutex>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/types.h"
#include "host/scene/document.h"

// Called on every shader of the requested type; the result is OR-ed into VisitShaderTree's answer.
using ShaderTreeCallback = std::function<Bool(BaseList2D* node, Int32 value)>;

// Walks a shader tree depth first (the node itself, its shader branch, its child branch, then its
// siblings) and calls callback(node, value) on every node whose type id is shaderType. Returns the OR of
// the callback results; false for a null start node. doc is handed down unchanged (unused by the walk).
Bool VisitShaderTree(BaseList2D* node, BaseDocument* doc, Int32 shaderType, Int32 value,
                     const ShaderTreeCallback& callback);

// Marks node dirty with the DIRTYFLAGS bits in dirtyFlags. False for a null node.
Bool SendShaderValue(BaseList2D* node, Int32 dirtyFlags);

class Observable
{
public:
  Observable() = default;
  // Frees every link still in the list.
  ~Observable();
  // A copied operator starts with an empty list (its copied shaders enter their owners themselves), and
  // the lock cannot be shared: the list is neither copied nor moved.
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  // Appends a link to observer unless one already resolves to it in doc; first drops entries whose
  // element no longer exists. Errors: a null observer ("Observer must not be nullptr!", checked first),
  // a null doc ("doc must not be nullptr!"), no memory for the link or the entry ("Failed to add
  // observer to the list!"; the list keeps its previous entries).
  Result<void> Add(BaseList2D* observer, BaseDocument* doc);
  // Frees the first link that resolves to observer in doc and closes the gap (order kept). Nothing when
  // there is none or an argument is null.
  void Remove(BaseList2D* observer, BaseDocument* doc);
  // Position of the first link that resolves to observer in doc, -1 when none.
  Int32 Find(BaseList2D* observer, BaseDocument* doc) const;

  // For every observer that resolves in doc, in list order: marks each shader of shaderType in its
  // shader tree dirty with dirtyFlags; when one was found and update is set, sends the observer the
  // update message and, for a material, refreshes its preview. Observers without such a shader are
  // left alone. An observer added by a handler during the walk is visited in it; each observer element
  // is visited at most once per walk (as in SendMessage and SendValue).
  void Notify(Int32 shaderType, Int32 dirtyFlags, BaseDocument* doc, Bool update);
  // Sends (messageId, data) to every observer that resolves in doc.
  void SendMessage(Int32 messageId, BaseDocument* doc, void* data);
  // Marks every observer that resolves in doc dirty with dirtyFlags.
  void SendValue(Int32 dirtyFlags, BaseDocument* doc);

  // Number of entries, those that do not resolve anywhere included.
  Int GetCount() const;

private:
  struct Entry
  {
    BaseLink* link = nullptr;   // owned
    UInt64 sequence = 0;        // strictly increasing in list order
  };

  Int32 FindLocked(BaseList2D* observer, BaseDocument* doc) const;
  void DropDeadEntries();
  // Index of the first entry whose sequence number is above sequence (GetCount() when none).
  Int FirstEntryAfter(UInt64 sequence) const;
  // Calls visit(observer) for each entry, in list order, that resolves in doc, entries added by visit
  // included, each element once.
  template <typename Visit>
  void ForEachResolved(BaseDocument* doc, Visit&& visit);

  mutable std::recursive_mutex _mutex;
  BaseArray<Entry> _entries;
  UInt64 _nextSequence = 1;
};
