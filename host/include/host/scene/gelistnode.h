// Scene nodes: GeListNode (a node in one of the host's doubly linked lists, with a list of children)
// and BaseList2D (a named node with a type, a parameter container, dirty counts, bits and an identity).
//
// Lists: every node sits in at most one list at a time: a document's top-level objects, materials or
// scene hooks, an object's children or tags, an element's shaders, or a shader's children. A node
// that is in a list cannot be inserted again before Remove(); inserting under a node of another kind,
// or under one's own descendant, is refused (false, and a line on the diagnostic output). A node's
// document is found through its list: the document whose list holds it or holds an ancestor of it.
//
// Identity: every BaseList2D gets a 64-bit identity value at allocation, unique in the process and
// never reused while the node lives; a clone gets a new one.
//
// Dirty counts: one counter per flag (MATRIX 2, DATA 4, CACHE 16); GetDirty(mask) answers the sum of
// the counters of the bits in the mask. Writes to the node's own container (its setters, see
// basecontainer.h), SetParameter and SetName raise DATA; a matrix that really changes raises MATRIX;
// storing a new cache raises CACHE; messages raise nothing.
//
// Threads: the counters and the identity registry are safe from any thread; tree edits and container
// writes are for one thread at a time (the host's main or build thread).
#pragma once

#include <atomic>
#include <vector>

#include "host/scene/basecontainer.h"
#include "host/scene/descid.h"

class AliasTrans;
class BaseDocument;
class BaseShader;
class BaseList2D;
class GeListNode;
class NodeData;

enum class DIRTYFLAGS : UInt32
{
  NONE = 0,
  MATRIX = 2,
  DATA = 4,
  CACHE = 16,
};
HOST_ENUM_FLAGS(DIRTYFLAGS)

// Node bits (a bit number and a control value). The host records each change with its control value.
enum class NBIT : Int32
{
  NONE = 0,
  OM1_FOLD = 14,   // the node shows unfolded in the object list
};
enum class NBITCONTROL : Int32
{
  SET = 1,
  CLEAR = 2,
  TOGGLE = 3,
};

// State bits (SetBit/DelBit/GetBit masks).
inline constexpr Int32 BIT_ACTIVE = 2;   // selected

enum class COPYFLAGS : Int32
{
  NONE = 0,
  NO_HIERARCHY = 4,   // do not copy children
};
HOST_ENUM_FLAGS(COPYFLAGS)

// The kind of a node decides which lists it may enter.
enum class NODEKIND : Int32
{
  OBJECT,
  TAG,
  SHADER,
  MATERIAL,
  DOCUMENT,
  SCENEHOOK,
};

namespace host
{
enum class LISTKIND : Int32
{
  OBJECTS,     // a document's top-level objects
  CHILDREN,    // a node's children
  TAGS,        // an object's tags
  SHADERS,     // an element's shaders
  MATERIALS,   // a document's materials
  HOOKS,       // a document's scene hooks
};

struct ListHead
{
  LISTKIND kind;
  GeListNode* owner = nullptr;   // the node that holds the list
  GeListNode* first = nullptr;
  GeListNode* last = nullptr;
  explicit ListHead(LISTKIND k, GeListNode* o) : kind(k), owner(o) {}
  ListHead(const ListHead&) = delete;
  ListHead& operator=(const ListHead&) = delete;
};

// Appends node at the end of a list (host use: documents, files, undo). Same checks as the inserts.
Bool AppendToList(ListHead& head, GeListNode* node);
// Inserts node into head right after pred (which must be in head), or first when pred is null.
Bool InsertIntoList(ListHead& head, GeListNode* node, GeListNode* pred);

// What tests read about a node: the messages it received and the node-bit changes made on it.
struct NodeRecord
{
  std::vector<Int32> messages;
  std::vector<std::pair<NBIT, NBITCONTROL>> nbitChanges;
};
std::vector<Int32> GetMessageLog(const GeListNode* node);
std::vector<std::pair<NBIT, NBITCONTROL>> GetNBitLog(const GeListNode* node);
void ClearNodeLogs(GeListNode* node);
} // namespace host

class GeListNode
{
public:
  GeListNode(const GeListNode&) = delete;
  GeListNode& operator=(const GeListNode&) = delete;
  virtual ~GeListNode();

  Int32 GetType() const { return _type; }
  NODEKIND GetKind() const { return _kind; }

  GeListNode* GetNext() const { return _next; }
  GeListNode* GetPred() const { return _prev; }
  // The parent node: the object above an object, the shader above a nested shader; null at a list's
  // top (top-level objects, tags, the first level of an element's shaders).
  GeListNode* GetUp() const;
  GeListNode* GetDown() const { return _children.first; }
  GeListNode* GetDownLast() const { return _children.last; }
  // The node whose list holds this one (parent, tag owner, shader owner or document), null when free.
  GeListNode* GetListOwner() const { return _head ? _head->owner : nullptr; }
  Bool IsInList() const { return _head != nullptr; }
  const host::ListHead* GetListHead() const { return _head; }

  // Inserts into bl's list right before / after bl.
  Bool InsertBefore(GeListNode* bl);
  Bool InsertAfter(GeListNode* bl);
  // Inserts as the first / last child of parent.
  Bool InsertUnder(GeListNode* parent);
  Bool InsertUnderLast(GeListNode* parent);
  // Takes the node (with its children) out of its list; nothing when it is in none.
  void Remove();

  // The document the node lives in, null when it is in none (a document answers itself).
  BaseDocument* GetDocument() const;

  // The plug-in data the node was allocated with (null for built-in types).
  NodeData* GetNodeData() const { return _data; }
  template <typename T>
  T* GetNodeData() const
  {
    return static_cast<T*>(_data);
  }

  // Sends a message: the node's NodeData handles it (or the built-in default, true). Every message is
  // recorded in the node's message log first. Messages change no dirty count.
  Bool Message(Int32 type, void* data = nullptr);
  // The instance test: the plug-in's IsInstanceOf when there is plug-in data, else the built-in rule
  // (the node's own type or one of its built-in base types).
  Bool IsInstanceOf(Int32 type) const;
  // The built-in rule alone (what NodeData::IsInstanceOf answers by default).
  Bool IsBuiltinInstanceOf(Int32 type) const;

  Bool ChangeNBit(NBIT bit, NBITCONTROL control);
  Bool GetNBit(NBIT bit) const;

protected:
  GeListNode(Int32 type, NODEKIND kind);

  // Host internals (lists, allocation, freeing) reach into the node through these friends.
  friend class NodeData;
  friend Bool host::AppendToList(host::ListHead& head, GeListNode* node);
  friend Bool host::InsertIntoList(host::ListHead& head, GeListNode* node, GeListNode* pred);
  friend std::vector<Int32> host::GetMessageLog(const GeListNode* node);
  friend std::vector<std::pair<NBIT, NBITCONTROL>> host::GetNBitLog(const GeListNode* node);
  friend void host::ClearNodeLogs(GeListNode* node);
  friend struct HostNodeAccess;

  Bool CheckInsert(GeListNode* anchor, const host::ListHead* target, const char* what) const;
  void Link(host::ListHead& head, GeListNode* prev, GeListNode* next);

  Int32 _type;
  NODEKIND _kind;
  NodeData* _data = nullptr;   // owned; destroyed when the node is freed
  host::ListHead* _head = nullptr;
  GeListNode* _next = nullptr;
  GeListNode* _prev = nullptr;
  host::ListHead _children{host::LISTKIND::CHILDREN, this};
  UInt64 _nbits = 0;
  host::NodeRecord _record;
};

class BaseList2D : public GeListNode
{
public:
  ~BaseList2D() override;

  Int GetGUID() const { return _guid; }

  String GetName() const { return _name; }
  void SetName(const String& name);

  // The node's parameter container (writes raise DATA, see basecontainer.h).
  BaseContainer* GetDataInstance() { return &_bc; }
  const BaseContainer* GetDataInstance() const { return &_bc; }
  BaseContainer& GetDataInstanceRef() { return _bc; }
  const BaseContainer& GetDataInstanceRef() const { return _bc; }
  BaseContainer GetData() const { return _bc; }
  // Replaces the container (merge = false) or copies src's entries into it (merge = true).
  void SetData(const BaseContainer& src, Bool merge = true);

  // Parameters through the plug-in slots: the slot runs first; unless it set PARAM_GET / PARAM_SET
  // itself, the host reads / writes the container entry of the id's first level (deeper levels go
  // into sub-containers). A get fails (false, t_data emptied) when the slot fails or the entry is
  // missing; a set fails when the slot fails. A successful set raises DATA.
  Bool GetParameter(const DescID& id, GeData& t_data, DESCFLAGS_GET flags = DESCFLAGS_GET::NONE);
  Bool SetParameter(const DescID& id, const GeData& t_data, DESCFLAGS_SET flags = DESCFLAGS_SET::NONE);
  // The enabling query: the plug-in's GetDEnabling, true without plug-in data.
  Bool GetDEnabling(const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags = DESCFLAGS_ENABLE::NONE,
                    const BaseContainer* itemdesc = nullptr);
  // The description query: the plug-in's GetDDescription, true without plug-in data.
  Bool GetDescription(Description* description, DESCFLAGS_DESC& flags);

  Int GetDirty(DIRTYFLAGS flags) const;
  void SetDirty(DIRTYFLAGS flags);

  // State bits (BIT_ACTIVE ...).
  void SetBit(Int32 mask) { _bits |= mask; }
  void DelBit(Int32 mask) { _bits &= ~mask; }
  void ToggleBit(Int32 mask) { _bits ^= mask; }
  Bool GetBit(Int32 mask) const { return (_bits & mask) != 0; }
  Int32 GetAllBits() const { return _bits; }
  void SetAllBits(Int32 bits) { _bits = bits; }

  // The element's shaders (a material's, an object's or a tag's; a shader's own shader list too).
  BaseShader* GetFirstShader() const;
  // Inserts the shader after pred, or first when pred is null.
  Bool InsertShader(BaseShader* shader, BaseShader* pred = nullptr);

  // A copy with new identities: container, name, bits and the node's own data, its shaders and (for
  // objects, unless NO_HIERARCHY) its children and tags; the plug-in's Init and then CopyTo run on the
  // copy. Links in the copy still point at the original targets. Null when allocation, Init or CopyTo
  // fails.
  BaseList2D* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const;

protected:
  BaseList2D(Int32 type, NODEKIND kind);
  friend struct HostNodeAccess;

  // Copies what a built-in class keeps beyond the container (points, matrices, ...) onto a node of the
  // same type; the clone, undo and file code call it.
  virtual Bool CopyMembersTo(BaseList2D* dest) const;

private:
  Int _guid;
  String _name;
  BaseContainer _bc;
  std::atomic<Int> _dirtyMatrix{0};
  std::atomic<Int> _dirtyData{0};
  std::atomic<Int> _dirtyCache{0};
  Int32 _bits = 0;
  host::ListHead _shaders{host::LISTKIND::SHADERS, this};
};

namespace host
{
// The live node with this identity value, null when none lives.
BaseList2D* FindNodeByGuid(Int guid);
// Number of live nodes (tests check that freeing leaves none behind).
Int GetLiveNodeCount();
// Frees any node with everything below it: the plug-in's Free runs while the node is still in its
// document, then its children, tags, shaders and cache are freed, the node leaves its list and is
// destroyed. Sets node to null.
void FreeNode(BaseList2D*& node);
} // namespace host
