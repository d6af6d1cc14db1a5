// Documents: the object tree, the materials, the scene hooks and the document's own parameters, with
// the selection, undo and the host's object array (AtomArray).
//
// Active objects: objects whose BIT_ACTIVE is set, reported in hierarchy order (depth first, parents
// before children, siblings in list order); an active object below an active parent is reported too.
// The active object (single) is the one last made active through SetActiveObject (NEW or ADD) while it
// is still selected and in the document; otherwise the first active object in hierarchy order.
//
// Undo: StartUndo/EndUndo bracket a step (nested brackets join the outer step); AddUndo(type, node)
// records an entry and is refused outside a step. The first entry of a step takes a snapshot of the
// document: the tree, every node's container, name, bits, node bits, matrix, visibility and own data, and a copy
// of every node, so that DoUndo can bring back nodes that were freed meanwhile (under their old
// identity values, so links to them resolve again). A node named by a NEWOBJ entry (with everything
// below it) counts as created by the step even when the entry follows its insertion. DoUndo undoes
// the last closed step: it rebuilds the lists as they were, restores the recorded state of every node
// that was there, and takes out what the step created (those nodes stay alive, in no document, until
// the document is freed). Plug-in members of surviving nodes are left as they are.
#pragma once

#include <memory>

#include "host/scene/material.h"

inline constexpr Int32 Tbasedocument = 110059;

// Document parameters.
inline constexpr Int32 DOCUMENT_TIME = 1000;   // Float, seconds
inline constexpr Int32 DOCUMENT_PATH = 1012;   // String

enum class UNDOTYPE : Int32
{
  CHANGE = 40,
  CHANGE_SMALL = 42,
  NEWOBJ = 44,
  DELETEOBJ = 45,
  CHANGE_HIERARCHY = 49,
};

enum class GETACTIVEOBJECTFLAGS : Int32
{
  NONE = 0,
};

enum class SELECTION : Int32
{
  NEW = 0,   // the object becomes the only active one
  ADD = 1,
  SUB = 2,
};

// The host's object array: node pointers in order (null entries allowed).
class AtomArray
{
public:
  static AtomArray* Alloc();   // null when memory cannot be had
  static void Free(AtomArray*& arr);

  Int32 GetCount() const { return static_cast<Int32>(_nodes.size()); }
  BaseList2D* GetIndex(Int32 i) const
  {
    return i >= 0 && i < GetCount() ? _nodes[static_cast<std::size_t>(i)] : nullptr;
  }
  // False when memory cannot be had.
  Bool Append(BaseList2D* node);
  Int32 Find(const BaseList2D* node) const;
  void Flush() { _nodes.clear(); }

private:
  std::vector<BaseList2D*> _nodes;
};

class BaseSceneHook : public BaseList2D
{
public:
  BaseSceneHook* GetNext() const { return static_cast<BaseSceneHook*>(GeListNode::GetNext()); }
  BaseSceneHook(Int32 type);
};

namespace host
{
struct UndoState;

struct UndoEntry
{
  UNDOTYPE type;
  BaseList2D* node;   // may dangle once the node is freed; guid identifies it
  Int guid;
};
struct UndoStepInfo
{
  std::vector<UndoEntry> entries;
  Bool closed;
};
// The undo steps recorded in the document, oldest first (undone steps are gone).
std::vector<UndoStepInfo> GetUndoSteps(const BaseDocument* doc);
// Every scene hook of the document, one per registered scene-hook plug-in (made on first request).
std::vector<BaseSceneHook*> GetSceneHooks(BaseDocument* doc);
// The nodes that undo took out of the document (alive, in no document).
std::vector<BaseList2D*> GetUndoTrash(const BaseDocument* doc);
} // namespace host

class BaseDocument : public BaseList2D
{
public:
  // A new empty document; null when memory cannot be had.
  static BaseDocument* Alloc();
  // Frees the document with everything in it (objects first, then materials, hooks and undo data).
  static void Free(BaseDocument*& doc);

  BaseObject* GetFirstObject() const { return static_cast<BaseObject*>(_objects.first); }
  // With pred: right after pred (which must be in this document). Else with parent: as parent's first
  // child. Else: first at the top level. False when refused (see gelistnode.h).
  Bool InsertObject(BaseObject* op, BaseObject* parent, BaseObject* pred = nullptr);
  // The first object with that name in hierarchy order.
  BaseObject* SearchObject(const String& name) const;

  BaseMaterial* GetFirstMaterial() const { return static_cast<BaseMaterial*>(_materials.first); }
  // After pred, or first when pred is null.
  Bool InsertMaterial(BaseMaterial* mat, BaseMaterial* pred = nullptr);

  void GetActiveObjects(AtomArray& selection, GETACTIVEOBJECTFLAGS flags) const;
  BaseObject* GetActiveObject() const;
  void SetActiveObject(BaseObject* op, SELECTION mode = SELECTION::NEW);

  // The document's instance of a registered scene-hook plug-in, null when none is registered.
  BaseSceneHook* FindSceneHook(Int32 id);

  Float GetTime() const;
  void SetTime(Float seconds);

  void StartUndo();
  // False outside an open step, for a null node or an unknown type.
  Bool AddUndo(UNDOTYPE type, BaseList2D* node);
  // False when no step is open.
  Bool EndUndo();
  // Undoes the last closed step; false when there is none or a step is still open.
  Bool DoUndo();

  BaseDocument();
  ~BaseDocument() override;

private:
  friend struct HostNodeAccess;
  friend std::vector<host::UndoStepInfo> host::GetUndoSteps(const BaseDocument* doc);
  friend std::vector<BaseSceneHook*> host::GetSceneHooks(BaseDocument* doc);
  friend std::vector<BaseList2D*> host::GetUndoTrash(const BaseDocument* doc);

  host::ListHead _objects{host::LISTKIND::OBJECTS, this};
  host::ListHead _materials{host::LISTKIND::MATERIALS, this};
  host::ListHead _hooks{host::LISTKIND::HOOKS, this};
  std::unique_ptr<host::UndoState> _undo;
  std::vector<BaseList2D*> _trash;   // owned: nodes taken out by undo
  Int _activeGuid = 0;               // the object last made active, 0 for none
};
