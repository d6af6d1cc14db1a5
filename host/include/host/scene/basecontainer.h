// The host's parameter container: an ordered map Int32 -> GeData (iteration in insertion order).
//
// Typed getters return the caller's default when the key is missing, and follow GeData's cross-type
// rule when the key holds another type: Int32, Int64 and Float convert into one another (Float to an
// integer truncates toward zero), Bool reads "!= 0" of any of them, every other mismatch gives the
// default. Bool values are stored as Int32 1/0 (GetType answers DA_LONG).
//
// Copies are deep (sub-containers copied, custom data cloned). Equality compares content and ignores
// the order of insertion: the same id, the same keys and equal values.
//
// A node's own container raises the node's DATA dirty count on every write made through the
// container's setters (Set..., SetData, SetContainer, RemoveData, FlushAll, assignment), including
// writes into sub-containers reached through GetContainerInstance. Changes made in place through a
// custom-data pointer (GetCustomData) are not seen: store the value back with SetData or raise the
// count with SetDirty. Not thread-safe: one writer at a time, readers only while nobody writes.
//
// Look-ups by id take constant time however many entries there are: past a few dozen entries the
// container keeps a hash index from id to position beside the entries, built and kept up by the writers
// (so readers never write). Removing an entry takes time in the number of entries.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "host/scene/gedata.h"

class BaseContainer
{
public:
  struct Entry
  {
    Int32 id;
    GeData data;
  };

  BaseContainer() = default;
  explicit BaseContainer(Int32 id) : _id(id) {}
  // Copies take the entries and the id; they are never bound to the source's node.
  BaseContainer(const BaseContainer& o);
  BaseContainer(BaseContainer&& o) noexcept;
  // Assigning replaces id and entries but keeps this container's binding to its node.
  BaseContainer& operator=(const BaseContainer& o);
  BaseContainer& operator=(BaseContainer&& o) noexcept;
  ~BaseContainer();

  Int32 GetId() const { return _id; }
  void SetId(Int32 id);

  Int32 GetCount() const { return static_cast<Int32>(_entries.size()); }
  Bool IsEmpty() const { return _entries.empty(); }
  // Position of the key in insertion order, -1 when missing.
  Int32 FindIndex(Int32 id) const;
  Bool Contains(Int32 id) const { return FindIndex(id) >= 0; }
  // Key at a position, 0 when out of range (keys may be 0 too: check GetCount).
  Int32 GetIndexId(Int32 index) const;
  // Type id of the value under the key, DA_NIL when missing.
  Int32 GetType(Int32 id) const;

  Int32 GetInt32(Int32 id, Int32 def = 0) const;
  Int64 GetInt64(Int32 id, Int64 def = 0) const;
  Float GetFloat(Int32 id, Float def = 0.0) const;
  Bool GetBool(Int32 id, Bool def = false) const;
  // Unsigned 32-bit values (seeds) are kept as the Int32 of the same bits, so a LONG description entry
  // shows and edits them and they round-trip unchanged.
  UInt32 GetUInt32(Int32 id, UInt32 def = 0) const { return static_cast<UInt32>(GetInt32(id, static_cast<Int32>(def))); }
  Vector GetVector(Int32 id, const Vector& def = Vector()) const;
  Matrix GetMatrix(Int32 id, const Matrix& def = Matrix()) const;
  String GetString(Int32 id, const String& def = String()) const;
  // The linked node, resolved as BaseLink::GetLink does (alive, in doc, optional instance test).
  BaseList2D* GetLink(Int32 id, const BaseDocument* doc, Int32 instanceOf = 0) const;
  BaseList2D* GetLinkOfType(Int32 id, const BaseDocument* doc, Int32 instanceOf) const
  {
    return GetLink(id, doc, instanceOf);
  }
  // The value under the key; a missing key reads as empty data (DA_NIL).
  const GeData& GetData(Int32 id) const;
  // The stored value or null when the key is missing.
  const GeData* GetDataPointer(Int32 id) const;
  // A copy of the sub-container (empty when the key is missing or holds another type).
  BaseContainer GetContainer(Int32 id) const;
  // The stored sub-container, writable; null when the key is missing or holds another type.
  BaseContainer* GetContainerInstance(Int32 id);
  const BaseContainer* GetContainerInstance(Int32 id) const;
  // The stored custom value of that type, writable; null when missing or of another type.
  CustomDataType* GetCustomData(Int32 id, Int32 type);
  const CustomDataType* GetCustomData(Int32 id, Int32 type) const;

  void SetInt32(Int32 id, Int32 v) { SetData(id, GeData(v)); }
  void SetInt64(Int32 id, Int64 v) { SetData(id, GeData(v)); }
  void SetUInt32(Int32 id, UInt32 v) { SetInt32(id, static_cast<Int32>(v)); }
  void SetFloat(Int32 id, Float v) { SetData(id, GeData(v)); }
  void SetBool(Int32 id, Bool v) { SetData(id, GeData(v)); }
  void SetVector(Int32 id, const Vector& v) { SetData(id, GeData(v)); }
  void SetMatrix(Int32 id, const Matrix& v) { SetData(id, GeData(v)); }
  void SetString(Int32 id, const String& v) { SetData(id, GeData(v)); }
  void SetLink(Int32 id, const BaseList2D* node);
  void SetContainer(Int32 id, const BaseContainer& v) { SetData(id, GeData(v)); }
  // Stores a copy (replacing the value in place, so the key keeps its position); returns the stored
  // value.
  GeData* SetData(Int32 id, const GeData& v);
  GeData* SetData(Int32 id, GeData&& v);

  // Removes the key; false when it was missing.
  Bool RemoveData(Int32 id);
  void FlushAll();
  // Copies every entry of src into this container (overwriting equal keys).
  void MergeContainer(const BaseContainer& src);
  // Deep copy into dest (keeping dest's binding to its node); false when a custom value could not be
  // cloned (dest then holds what could be copied).
  Bool CopyTo(BaseContainer* dest) const;

  bool operator==(const BaseContainer& o) const;
  bool operator!=(const BaseContainer& o) const { return !(*this == o); }

  auto begin() const { return _entries.cbegin(); }
  auto end() const { return _entries.cend(); }

private:
  friend class BaseList2D;
  friend class GeData;
  // Binds the container (and its sub-containers) to the node whose DATA count its writes raise.
  void Bind(BaseList2D* owner);
  void Touch();
  Entry* Find(Int32 id);
  const Entry* Find(Int32 id) const;
  // Makes the index agree with the entries (built past INDEX_FROM entries, dropped below).
  void Reindex();

  // Below this many entries a linear search is as quick as hashing and needs no memory.
  static constexpr std::size_t INDEX_FROM = 32;
  using Index = std::unordered_map<Int32, std::size_t>;

  Int32 _id = 0;
  std::vector<Entry> _entries;
  std::unique_ptr<Index> _index;   // id -> position in _entries; null for small containers
  BaseList2D* _owner = nullptr;
};
