// Host-internal access to scene nodes for the scene area's own units (allocation, lists, clone,
// undo, files). Not a public header.
#pragma once

#include "host/scene/document.h"
#include "host/scene/hierarchy.h"
#include "host/scene/nodetypes.h"
#include "host/scene/plugins.h"

struct HostNodeAccess
{
  static void AttachData(GeListNode* node, NodeData* data)
  {
    node->_data = data;
    if (data)
      data->_node = node;
  }
  static NodeData*& DataRef(GeListNode* node) { return node->_data; }
  static host::ListHead& Children(GeListNode* node) { return node->_children; }
  static host::ListHead& Shaders(BaseList2D* node) { return node->_shaders; }
  static host::ListHead& Tags(BaseObject* op) { return op->_tags; }
  static host::ListHead& Objects(BaseDocument* doc) { return doc->_objects; }
  static host::ListHead& Materials(BaseDocument* doc) { return doc->_materials; }
  static host::ListHead& Hooks(BaseDocument* doc) { return doc->_hooks; }
  static std::vector<BaseList2D*>& Trash(BaseDocument* doc) { return doc->_trash; }
  static std::unique_ptr<host::UndoState>& Undo(BaseDocument* doc) { return doc->_undo; }
  static BaseObject*& Cache(BaseObject* op) { return op->_cache; }
  static Bool CopyMembers(const BaseList2D* src, BaseList2D* dst) { return src->CopyMembersTo(dst); }
  static void Unlink(GeListNode* node) { node->Remove(); }
  static void RecordStamps(BaseObject* op, UInt64 below)
  {
    op->_stampMatrix = op->GetDirty(DIRTYFLAGS::MATRIX);
    op->_stampData = op->GetDirty(DIRTYFLAGS::DATA);
    op->_stampCache = op->GetDirty(DIRTYFLAGS::CACHE);
    op->_stampBelow = below;
  }
  static void SetGuid(BaseList2D* node, Int guid) { node->_guid = guid; }
  static Int32 GetBits(const BaseList2D* node) { return node->_bits; }
  // The node bits themselves, without the record of changes (files, undo).
  static UInt64& NBits(GeListNode* node) { return node->_nbits; }
};

namespace host::detail
{
// The node's kind of list is a legal home for a node of that kind.
Bool KindFits(const ListHead& head, NODEKIND kind);
// Moves the registry entry of node to guid (the node takes a freed node's identity back).
void ReassignGuid(BaseList2D* node, Int guid);
// A node of the same type and kind as src, allocated the way src was (plug-in: allocation and Init).
BaseList2D* AllocNodeLike(const BaseList2D* src);
// Frees whatever a fresh node came with (the point and polygon tags a polygon object is made with,
// anything an Init added), so that a copy or a loaded node holds exactly what it is given.
void StripNode(BaseList2D* node);
// A copy of src alone (no children, tags or shaders): container, name, bits, own members, CopyTo.
BaseList2D* CloneSingle(const BaseList2D* src, COPYFLAGS flags, AliasTrans* trn);
// Every node in the document's object and material trees (children, tags, shaders), pre-order.
void CollectDocumentNodes(BaseDocument* doc, std::vector<BaseList2D*>& out);
// Every node in and below node (its tags, shaders, children), pre-order, node first.
void CollectSubtree(BaseList2D* node, std::vector<BaseList2D*>& out);
// A hash of everything below op that a generator's cache depends on.
UInt64 HashBelow(const BaseObject* op);
// Stores t_data under id in node's container (deeper levels into existing sub-containers).
Bool StoreParameter(BaseList2D* node, const DescID& id, const GeData& t_data);
// Calls the undo machinery's free hook (the document frees its undo data).
void FreeUndoState(BaseDocument* doc);

// A variable tag's record storage (recordpool.cpp).
using RecordBytes = std::vector<std::byte, DefaultInitAllocator<std::byte>>;
// Takes the storage of a variable tag that goes away: large arrays go to the pool, others are freed.
void RecycleRecordStorage(RecordBytes&& bytes);
// Storage of exactly `bytes` bytes from the pool (its content unwritten), or an empty array.
RecordBytes TakeRecordStorage(std::size_t bytes);
} // namespace host::detail
