#include "host/scene/document.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "internal.h"

// ---------------------------------------------------------------------------------------------------
// Undo state

namespace host
{
struct NodeSnapshot
{
  Int guid = 0;
  NODEKIND kind = NODEKIND::OBJECT;
  LISTKIND list = LISTKIND::OBJECTS;
  Int ownerGuid = 0;   // the node whose list held it; 0 for the document's own lists
  BaseContainer bc;
  String name;
  Int32 bits = 0;
  UInt64 nbits = 0;
  Matrix ml;
  Bool enabled = true;
  MODE editorMode = MODE::ON;
  MODE renderMode = MODE::ON;
  BaseList2D* copy = nullptr;   // owned until DoUndo uses or frees it
};

struct UndoStep
{
  std::vector<UndoEntry> entries;
  Bool closed = false;
  Bool hasSnapshot = false;
  std::vector<NodeSnapshot> nodes;   // pre-order, so every list's members come in list order
  std::unordered_set<Int> created;   // NEWOBJ entries
};

struct UndoState
{
  std::vector<UndoStep> steps;
  Int32 depth = 0;

  ~UndoState()
  {
    for (UndoStep& s : steps)
      for (NodeSnapshot& n : s.nodes)
        FreeNode(n.copy);
  }
};
} // namespace host

namespace
{
void TakeSnapshot(BaseDocument* doc, host::UndoStep& step)
{
  std::vector<BaseList2D*> nodes;
  host::detail::CollectDocumentNodes(doc, nodes);
  step.nodes.reserve(nodes.size());
  for (BaseList2D* n : nodes)
  {
    host::NodeSnapshot s;
    s.guid = n->GetGUID();
    s.kind = n->GetKind();
    const host::ListHead* head = n->GetListHead();
    s.list = head->kind;
    s.ownerGuid = head->owner == doc ? 0 : static_cast<BaseList2D*>(head->owner)->GetGUID();
    s.bc = *n->GetDataInstance();
    s.name = n->GetName();
    s.bits = n->GetAllBits();
    s.nbits = HostNodeAccess::NBits(n);
    if (n->GetKind() == NODEKIND::OBJECT)
    {
      const BaseObject* op = static_cast<const BaseObject*>(n);
      s.ml = op->GetMl();
      s.enabled = op->IsEnabled();
      s.editorMode = op->GetEditorMode();
      s.renderMode = op->GetRenderMode();
    }
    s.copy = host::detail::CloneSingle(n, COPYFLAGS::NONE, nullptr);
    if (!s.copy)
      DiagnosticOutput("Undo: could not copy node " + String::IntToString(s.guid) +
                       "; it cannot be brought back if it is freed.");
    step.nodes.push_back(std::move(s));
  }
  step.hasSnapshot = true;
}

host::ListHead* ListOf(BaseDocument* doc, BaseList2D* owner, host::LISTKIND list)
{
  switch (list)
  {
    case host::LISTKIND::OBJECTS: return &HostNodeAccess::Objects(doc);
    case host::LISTKIND::MATERIALS: return &HostNodeAccess::Materials(doc);
    case host::LISTKIND::HOOKS: return &HostNodeAccess::Hooks(doc);
    case host::LISTKIND::CHILDREN: return owner ? &HostNodeAccess::Children(owner) : nullptr;
    case host::LISTKIND::SHADERS: return owner ? &HostNodeAccess::Shaders(owner) : nullptr;
    case host::LISTKIND::TAGS:
      return owner && owner->GetKind() == NODEKIND::OBJECT ? &HostNodeAccess::Tags(static_cast<BaseObject*>(owner))
                                                           : nullptr;
  }
  return nullptr;
}

void RestoreState(BaseList2D* node, const host::NodeSnapshot& s)
{
  if (*node->GetDataInstance() != s.bc)
    *node->GetDataInstance() = s.bc;
  node->SetName(s.name);
  node->SetAllBits(s.bits);
  HostNodeAccess::NBits(node) = s.nbits;
  if (node->GetKind() == NODEKIND::OBJECT)
  {
    BaseObject* op = static_cast<BaseObject*>(node);
    op->SetMl(s.ml);
    op->SetEnabled(s.enabled);
    op->SetEditorMode(s.editorMode);
    op->SetRenderMode(s.renderMode);
  }
}
} // namespace

namespace host::detail
{
void FreeUndoState(BaseDocument* doc)
{
  HostNodeAccess::Undo(doc).reset();
}
} // namespace host::detail

// ---------------------------------------------------------------------------------------------------
// AtomArray, scene hooks

AtomArray* AtomArray::Alloc()
{
  return NewObj<AtomArray>();
}

void AtomArray::Free(AtomArray*& arr)
{
  DeleteObj(arr);
}

Bool AtomArray::Append(BaseList2D* node)
{
  if (host::AllocationShouldFail())
    return false;
  try
  {
    _nodes.push_back(node);
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
  return true;
}

Int32 AtomArray::Find(const BaseList2D* node) const
{
  for (std::size_t i = 0; i < _nodes.size(); ++i)
    if (_nodes[i] == node)
      return static_cast<Int32>(i);
  return -1;
}

BaseSceneHook::BaseSceneHook(Int32 type) : BaseList2D(type, NODEKIND::SCENEHOOK) {}

// ---------------------------------------------------------------------------------------------------
// BaseDocument

BaseDocument::BaseDocument() : BaseList2D(Tbasedocument, NODEKIND::DOCUMENT) {}

BaseDocument::~BaseDocument() = default;

BaseDocument* BaseDocument::Alloc()
{
  return NewObj<BaseDocument>();
}

void BaseDocument::Free(BaseDocument*& doc)
{
  BaseList2D* node = doc;
  doc = nullptr;
  host::FreeNode(node);
}

Bool BaseDocument::InsertObject(BaseObject* op, BaseObject* parent, BaseObject* pred)
{
  if (!op)
    return false;
  if (pred)
  {
    if (pred->GetDocument() != this || (parent && pred->GetUp() != parent))
    {
      DiagnosticOutput("Scene: refused to insert an object after one that is not where it was said to be.");
      return false;
    }
    return op->InsertAfter(pred);
  }
  if (parent)
  {
    if (parent->GetDocument() != this)
    {
      DiagnosticOutput("Scene: refused to insert an object under a parent from another document.");
      return false;
    }
    return op->InsertUnder(parent);
  }
  return host::InsertIntoList(_objects, op, nullptr);
}

BaseObject* BaseDocument::SearchObject(const String& name) const
{
  std::vector<BaseList2D*> nodes;
  for (GeListNode* n = _objects.first; n; n = n->GetNext())
    host::detail::CollectSubtree(static_cast<BaseList2D*>(n), nodes);
  for (BaseList2D* n : nodes)
    if (n->GetKind() == NODEKIND::OBJECT && n->GetName() == name)
      return static_cast<BaseObject*>(n);
  return nullptr;
}

Bool BaseDocument::InsertMaterial(BaseMaterial* mat, BaseMaterial* pred)
{
  return host::InsertIntoList(_materials, mat, pred);
}

namespace
{
void CollectActive(BaseObject* op, AtomArray& out)
{
  for (; op; op = op->GetNext())
  {
    if (op->GetBit(BIT_ACTIVE))
      out.Append(op);
    CollectActive(op->GetDown(), out);
  }
}

void ClearActive(BaseObject* op)
{
  for (; op; op = op->GetNext())
  {
    op->DelBit(BIT_ACTIVE);
    ClearActive(op->GetDown());
  }
}
} // namespace

void BaseDocument::GetActiveObjects(AtomArray& selection, GETACTIVEOBJECTFLAGS) const
{
  selection.Flush();
  CollectActive(GetFirstObject(), selection);
}

BaseObject* BaseDocument::GetActiveObject() const
{
  // The last one made active, unless it has been deselected, moved out or freed since.
  if (BaseList2D* last = host::FindNodeByGuid(_activeGuid);
      last && last->GetKind() == NODEKIND::OBJECT && last->GetBit(BIT_ACTIVE) && last->GetDocument() == this)
    return static_cast<BaseObject*>(last);
  AtomArray arr;
  GetActiveObjects(arr, GETACTIVEOBJECTFLAGS::NONE);
  return static_cast<BaseObject*>(arr.GetIndex(0));
}

void BaseDocument::SetActiveObject(BaseObject* op, SELECTION mode)
{
  switch (mode)
  {
    case SELECTION::NEW:
      ClearActive(GetFirstObject());
      _activeGuid = 0;
      [[fallthrough]];
    case SELECTION::ADD:
      if (op)
      {
        op->SetBit(BIT_ACTIVE);
        _activeGuid = op->GetGUID();
      }
      break;
    case SELECTION::SUB:
      if (op)
        op->DelBit(BIT_ACTIVE);
      break;
  }
}

BaseSceneHook* BaseDocument::FindSceneHook(Int32 id)
{
  for (GeListNode* n = _hooks.first; n; n = n->GetNext())
    if (n->GetType() == id)
      return static_cast<BaseSceneHook*>(n);
  const host::PluginEntry* e = host::FindPlugin(id);
  if (!e || e->type != PLUGINTYPE::SCENEHOOK)
    return nullptr;
  BaseList2D* hook = AllocPluginNode(id);
  if (!hook)
    return nullptr;
  host::AppendToList(_hooks, hook);
  return static_cast<BaseSceneHook*>(hook);
}

Float BaseDocument::GetTime() const
{
  return GetDataInstance()->GetFloat(DOCUMENT_TIME, 0.0);
}

void BaseDocument::SetTime(Float seconds)
{
  GetDataInstance()->SetFloat(DOCUMENT_TIME, seconds);
}

void BaseDocument::StartUndo()
{
  if (!_undo)
    _undo = std::make_unique<host::UndoState>();
  if (_undo->depth++ == 0)
    _undo->steps.emplace_back();
}

Bool BaseDocument::AddUndo(UNDOTYPE type, BaseList2D* node)
{
  if (!_undo || _undo->depth == 0)
  {
    DiagnosticOutput("Undo: AddUndo outside an undo step was refused.");
    return false;
  }
  switch (type)
  {
    case UNDOTYPE::CHANGE:
    case UNDOTYPE::CHANGE_SMALL:
    case UNDOTYPE::NEWOBJ:
    case UNDOTYPE::DELETEOBJ:
    case UNDOTYPE::CHANGE_HIERARCHY: break;
    default: DiagnosticOutput("Undo: unknown undo type refused."); return false;
  }
  if (!node)
    return false;
  host::UndoStep& step = _undo->steps.back();
  if (!step.hasSnapshot)
    TakeSnapshot(this, step);
  if (type == UNDOTYPE::NEWOBJ)
    step.created.insert(node->GetGUID());
  step.entries.push_back(host::UndoEntry{type, node, node->GetGUID()});
  return true;
}

Bool BaseDocument::EndUndo()
{
  if (!_undo || _undo->depth == 0)
  {
    DiagnosticOutput("Undo: EndUndo without StartUndo.");
    return false;
  }
  if (--_undo->depth == 0)
  {
    host::UndoStep& step = _undo->steps.back();
    if (step.entries.empty())
      _undo->steps.pop_back();   // a step that recorded nothing is not an undo step
    else
      step.closed = true;
  }
  return true;
}

Bool BaseDocument::DoUndo()
{
  if (!_undo || _undo->depth != 0 || _undo->steps.empty() || !_undo->steps.back().closed)
    return false;
  host::UndoStep step = std::move(_undo->steps.back());
  _undo->steps.pop_back();

  // 1. Decide which recorded nodes come back: created ones (and what lay below them) do not.
  std::unordered_set<Int> excluded;
  std::unordered_map<Int, BaseList2D*> resolved;
  std::vector<const host::NodeSnapshot*> placed;
  for (host::NodeSnapshot& s : step.nodes)
  {
    if (step.created.count(s.guid) || (s.ownerGuid != 0 && excluded.count(s.ownerGuid)))
    {
      excluded.insert(s.guid);
      continue;
    }
    if (s.ownerGuid != 0 && !resolved.count(s.ownerGuid))
    {
      excluded.insert(s.guid);   // its holder could not be brought back
      continue;
    }
    BaseList2D* node = host::FindNodeByGuid(s.guid);
    if (node && node->GetKind() == NODEKIND::DOCUMENT)
      node = nullptr;
    if (!node && s.copy)
    {
      // The node was freed during the step: its copy takes its place and its identity.
      node = s.copy;
      s.copy = nullptr;
      host::detail::ReassignGuid(node, s.guid);
    }
    if (!node)
    {
      excluded.insert(s.guid);
      continue;
    }
    resolved[s.guid] = node;
    placed.push_back(&s);
  }

  // 2. Take every node out of the lists: what is in the document now and what comes back.
  std::vector<BaseList2D*> current;
  host::detail::CollectDocumentNodes(this, current);
  std::unordered_set<BaseList2D*> keep;
  for (auto& [guid, node] : resolved)
    keep.insert(node);
  for (BaseList2D* n : current)
    n->Remove();
  for (BaseList2D* n : keep)
  {
    n->Remove();
    auto it = std::find(_trash.begin(), _trash.end(), n);
    if (it != _trash.end())
      _trash.erase(it);
  }
  // Whatever still hangs below a returning node was not there before the step.
  std::vector<BaseList2D*> strays;
  for (BaseList2D* n : keep)
  {
    std::vector<host::ListHead*> heads = {&HostNodeAccess::Children(n), &HostNodeAccess::Shaders(n)};
    if (n->GetKind() == NODEKIND::OBJECT)
      heads.push_back(&HostNodeAccess::Tags(static_cast<BaseObject*>(n)));
    for (host::ListHead* h : heads)
      while (GeListNode* m = h->first)
      {
        m->Remove();
        strays.push_back(static_cast<BaseList2D*>(m));
      }
  }

  // 3. Rebuild the lists in recorded order and restore each node's state.
  for (const host::NodeSnapshot* s : placed)
  {
    BaseList2D* node = resolved[s->guid];
    BaseList2D* owner = s->ownerGuid != 0 ? resolved[s->ownerGuid] : nullptr;
    host::ListHead* head = ListOf(this, owner, s->list);
    if (!head || !host::AppendToList(*head, node))
    {
      strays.push_back(node);
      continue;
    }
    RestoreState(node, *s);
  }
  // Own members (points, records ...) of nodes that lived through the step come from their copies.
  for (host::NodeSnapshot& s : step.nodes)
    if (s.copy && resolved.count(s.guid))
      HostNodeAccess::CopyMembers(s.copy, resolved[s.guid]);

  // 4. What the step created (and anything left unplaced) stays alive, out of the document.
  std::unordered_set<BaseList2D*> inTrash(_trash.begin(), _trash.end());
  auto toTrash = [&](BaseList2D* n) {
    if (!n->IsInList() && inTrash.insert(n).second)
      _trash.push_back(n);
  };
  for (BaseList2D* n : current)
    toTrash(n);
  for (BaseList2D* n : strays)
    toTrash(n);

  for (host::NodeSnapshot& s : step.nodes)
    host::FreeNode(s.copy);
  return true;
}

namespace host
{
std::vector<UndoStepInfo> GetUndoSteps(const BaseDocument* doc)
{
  std::vector<UndoStepInfo> out;
  if (!doc || !doc->_undo)
    return out;
  for (const UndoStep& s : doc->_undo->steps)
    out.push_back(UndoStepInfo{s.entries, s.closed});
  return out;
}

std::vector<BaseSceneHook*> GetSceneHooks(BaseDocument* doc)
{
  std::vector<BaseSceneHook*> out;
  if (!doc)
    return out;
  for (const PluginEntry* e : GetPlugins())
    if (e->type == PLUGINTYPE::SCENEHOOK)
      doc->FindSceneHook(e->id);
  for (GeListNode* n = doc->_hooks.first; n; n = n->GetNext())
    out.push_back(static_cast<BaseSceneHook*>(n));
  return out;
}

std::vector<BaseList2D*> GetUndoTrash(const BaseDocument* doc)
{
  return doc ? doc->_trash : std::vector<BaseList2D*>();
}
} // namespace host
