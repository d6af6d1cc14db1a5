// The host's fields: a FieldList (custom data, so a parameter container can hold one) is a tree of
// layers that, sampled at points, gives one value per point.
//
// Layers: a solid layer (FLsolid) gives its constant value everywhere; an object layer (FLobject)
// links a field object of the document (fieldobjects.h) and gives that object's falloff; a folder
// (FLfolder) gives 0 of its own. Every layer may have children: they form a sub-stack combined onto
// the layer's own value exactly as the list's top-level layers are combined onto 0.
//
// Sampling (FieldList::Sample):
//   - positions are in the caller's space; the input's transform takes them to world space
//     (world = transform * position), where field objects are evaluated in their own space through the
//     inverse of their global matrix. Directions and uvw coordinates are accepted and not used: no
//     layer of this host depends on them;
//   - layers are combined in list order: the running value starts at 0 and each contributing layer,
//     first to last, is blended onto it with its blend mode and then mixed in by its opacity
//     (v = v + (blend(v, layer) - v) * opacity, opacity clamped to [0, 1]);
//   - a layer contributes only when it is enabled (state bit 0), none of the bits 0x107
//     (FIELDLAYER_FLAGS_UNUSABLE) is in its flag query, and, for an object layer, its link resolves in
//     the caller's document (any document for a null caller) to an enabled field object. A layer that
//     does not contribute takes its children with it;
//   - with FIELDLIST_FLAG_CLAMPOUTPUT (set on new lists) the result is clamped to [0, 1] once, at the
//     end, and NaN becomes 0; without any contributing layer every value is 1 with
//     FIELDLIST_FLAG_EMPTYISFULL (set on new lists) and 0 without it;
//   - the output has exactly one value per point; only a failed allocation makes Sample fail, and then
//     nothing is returned but the error.
// Sample reads the list and the linked objects and writes nothing shared, so any number of threads may
// sample one list at once while nobody edits it; it allocates once per call (its layer plan and the
// output), never per point, and runs large inputs on the host's parallel loop.
//
// Flags and queries that the module relies on:
//   - the layer flag query GetLayerFlags(mask): the layer's flag word restricted to the bits of mask
//     (mask 0: all bits), with FIELDLAYER_FLAG_ERROR added for an object layer whose link target no
//     longer lives;
//   - the layer state word (GetState), bit 0 = enabled;
//   - a layer's data dirty count, raised by every setter;
//   - the list query FIELDLIST_QUERY_HASLAYERS (30): true when the list holds at least one layer;
//   - the list's dirty checksum for a document: changes when a layer is added, removed, moved or
//     edited, or when the dirty counts of an object a layer links (resolved in that document) change;
//   - GetLayerCount: every layer of the tree.
//
// Copies (Clone, CopyFrom) are deep and keep the layers' dirty counts; equality compares content
// (structure, types, state, flags, opacity, blend, value, link target) and never dirty counts.
// Editing is for one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "host/core/basearray.h"
#include "host/scene/enumflags.h"
#include "host/scene/gedata.h"

class BaseDocument;
class BaseList2D;
class BaseObject;
class FieldList;

inline constexpr Int32 CUSTOMDATATYPE_FIELDLIST = 440000264;

// Layer types.
inline constexpr Int32 FLsolid = 440000250;
inline constexpr Int32 FLobject = 440000251;
inline constexpr Int32 FLfolder = 440000252;

// Layer flag word.
inline constexpr Int32 FIELDLAYER_FLAG_SKIP = 0x1;         // muted by the user
inline constexpr Int32 FIELDLAYER_FLAG_ERROR = 0x2;        // cannot be evaluated (its linked object is gone)
inline constexpr Int32 FIELDLAYER_FLAG_TEMPORARY = 0x4;    // shown while being dragged in; not yet part of the list
inline constexpr Int32 FIELDLAYER_FLAG_COLLAPSED = 0x8;    // shown folded; no effect on values
inline constexpr Int32 FIELDLAYER_FLAG_NOVALUE = 0x100;    // computes no value (direction or colour only)
inline constexpr Int32 FIELDLAYER_FLAGS_UNUSABLE = 0x107;  // any of these keeps the layer out of sampling

// Layer state word.
inline constexpr Int32 FIELDLAYER_STATE_ENABLED = 0x1;

// List flags.
inline constexpr Int32 FIELDLIST_FLAG_CLAMPOUTPUT = 0x1;
inline constexpr Int32 FIELDLIST_FLAG_EMPTYISFULL = 0x20;
inline constexpr Int32 FIELDLIST_FLAGS_DEFAULT = FIELDLIST_FLAG_CLAMPOUTPUT | FIELDLIST_FLAG_EMPTYISFULL;

// List queries.
inline constexpr Int32 FIELDLIST_QUERY_HASLAYERS = 30;

// Layers nest at most this deep (a top-level layer is depth 1).
inline constexpr Int32 FIELDLAYER_MAX_DEPTH = 64;

enum class FIELDLAYER_BLEND : Int32
{
  NORMAL = 0,     // the layer's value
  ADD = 1,        // below + layer
  SUBTRACT = 2,   // below - layer
  MULTIPLY = 3,   // below * layer
  MAX = 4,
  MIN = 5,
};

enum class FIELDSAMPLE_FLAG : Int32
{
  NONE = 0,
};
HOST_ENUM_FLAGS(FIELDSAMPLE_FLAG)

class FieldLayer
{
public:
  // A new layer of that type (enabled, opacity 1, NORMAL, value 1 for a solid layer); null for an
  // unknown type or when memory cannot be had.
  static std::unique_ptr<FieldLayer> Alloc(Int32 type);
  ~FieldLayer();
  FieldLayer(const FieldLayer&) = delete;
  FieldLayer& operator=(const FieldLayer&) = delete;

  Int32 GetType() const { return _type; }

  // Tree navigation; null where there is none (a top-level layer has no parent).
  FieldLayer* GetNext() const;
  FieldLayer* GetPred() const;
  FieldLayer* GetUp() const { return _parent; }
  FieldLayer* GetDown() const;
  FieldLayer* GetDownLast() const;
  // The list the layer is in, null while it is in none.
  FieldList* GetList() const;

  Int32 GetState() const { return _enabled ? FIELDLAYER_STATE_ENABLED : 0; }
  Bool IsEnabled() const { return _enabled; }
  void SetEnabled(Bool enabled);

  // The flag query (see the file comment).
  Int32 GetLayerFlags(Int32 mask = 0) const;
  // The stored flag word.
  Int32 GetStoredFlags() const { return _flags; }
  void SetLayerFlags(Int32 flags);
  void ChangeLayerFlag(Int32 flag, Bool set);

  Float GetOpacity() const { return _opacity; }
  void SetOpacity(Float opacity);
  FIELDLAYER_BLEND GetBlendMode() const { return _blend; }
  void SetBlendMode(FIELDLAYER_BLEND mode);
  // The value of a solid layer (other types keep it but do not use it).
  Float GetValue() const { return _value; }
  void SetValue(Float value);

  // The linked object of an object layer.
  void SetLinkedObject(const BaseObject* op);
  // The linked object when it lives in doc (see BaseLink::GetLink), else null.
  BaseObject* GetLinkedObject(const BaseDocument* doc) const;
  // True when the layer links an object that still lives (in any document).
  Bool HasLinkedData() const;
  const BaseLink& GetLink() const { return _link; }

  Int GetDirty() const { return _dirty; }
  void SetDirty() { ++_dirty; }

  // Deep copy with children; null when memory cannot be had.
  std::unique_ptr<FieldLayer> Clone() const;
  // Content equality with children (dirty counts do not take part).
  Bool IsEqual(const FieldLayer& other) const;

private:
  friend class FieldList;
  friend struct FieldLayerAccess;
  explicit FieldLayer(Int32 type);

  Int32 _type;
  Bool _enabled = true;
  Int32 _flags = 0;
  Float _opacity = 1.0;
  FIELDLAYER_BLEND _blend = FIELDLAYER_BLEND::NORMAL;
  Float _value = 1.0;
  BaseLink _link;
  Int _dirty = 0;

  std::vector<std::unique_ptr<FieldLayer>> _children;
  // Where the layer sits: the sibling array that owns it, its index there, its parent (null at the
  // top) and its list (null while in none).
  std::vector<std::unique_ptr<FieldLayer>>* _siblings = nullptr;
  std::size_t _index = 0;
  FieldLayer* _parent = nullptr;
  FieldList* _list = nullptr;
};

// The points to sample: positions (and, unused here, directions and uvw coordinates) of blockCount
// points, the transform to world space, and the full size of the arrays the points come from.
struct FieldInput
{
  const Vector* position = nullptr;
  Int blockCount = 0;
  Matrix transform;
  Int fullArraySize = 0;
  const Vector* direction = nullptr;
  const Vector* uvw = nullptr;

  FieldInput() = default;
  FieldInput(const Vector* positions, Int count, const Matrix& toWorld, Int fullSize,
             const Vector* directions = nullptr, const Vector* uvws = nullptr)
    : position(positions), blockCount(count), transform(toWorld), fullArraySize(fullSize), direction(directions),
      uvw(uvws)
  {
  }
};

struct FieldOutput
{
  BaseArray<Float> value;   // one per point, in input order
  Int GetCount() const { return value.GetCount(); }
};

class FieldList : public CustomDataType
{
public:
  FieldList();
  ~FieldList() override;
  FieldList(const FieldList&) = delete;
  FieldList& operator=(const FieldList&) = delete;

  // A new empty list with FIELDLIST_FLAGS_DEFAULT; null when memory cannot be had.
  static std::unique_ptr<FieldList> Alloc();

  Int32 GetCustomTypeId() const override { return CUSTOMDATATYPE_FIELDLIST; }
  std::unique_ptr<CustomDataType> Clone() const override;
  Bool IsEqual(const CustomDataType& other) const override;
  Bool WriteData(HyperFile* hf) const override;
  Bool ReadData(HyperFile* hf, Int32 level) override;
  // Replaces this list's content with a deep copy of src; unchanged on failure.
  Result<void> CopyFrom(const FieldList& src);

  FieldLayer* GetFirstLayer() const;
  FieldLayer* GetLastLayer() const;
  // Inserts layer under parent (null: the top level), right after pred (null: first among its
  // siblings). Errors: a null layer, a parent or pred not in this list, a pred that is not parent's
  // child, nesting beyond FIELDLAYER_MAX_DEPTH, no memory. Returns the inserted layer.
  Result<FieldLayer*> InsertLayer(std::unique_ptr<FieldLayer> layer, FieldLayer* parent = nullptr,
                                  FieldLayer* pred = nullptr);
  // Inserts as the last child of parent (null: last at the top level).
  Result<FieldLayer*> AppendLayer(std::unique_ptr<FieldLayer> layer, FieldLayer* parent = nullptr);
  // Takes the layer (with its children) out of the list and hands it over; null when it is not in
  // this list.
  std::unique_ptr<FieldLayer> DetachLayer(FieldLayer* layer);
  // Takes the layer out and frees it with its children; false when it is not in this list.
  Bool RemoveLayer(FieldLayer* layer);
  void FlushAll();

  Int32 GetLayerCount() const;
  Int32 GetFlags() const { return _flags; }
  void SetFlags(Int32 flags);
  void ChangeFlag(Int32 flag, Bool set);
  Bool Query(Int32 what) const;
  Int GetDirtyChecksum(const BaseDocument* doc) const;

  Result<FieldOutput> Sample(const FieldInput& input, const BaseList2D* caller,
                             FIELDSAMPLE_FLAG flags = FIELDSAMPLE_FLAG::NONE) const;

private:
  std::vector<std::unique_ptr<FieldLayer>> _layers;
  Int32 _flags = FIELDLIST_FLAGS_DEFAULT;
};

namespace host
{
// Registers the field list with the scene files and the field object types with the node table.
// Runs once at start-up on its own; calling it again does nothing. True when everything is registered.
Bool RegisterFieldTypes();
} // namespace host
