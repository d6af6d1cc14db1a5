// The host's typed value (GeData), the base of custom data types (field lists, curves, gradients ...)
// and the weak link to a scene node (BaseLink).
//
// Value types and their type ids (GeData::GetType):
//   DA_NIL 0        no value (a missing container entry reads as this)
//   DA_LONG 15      Int32; Bool values are stored as Int32 1/0 and read back with GetBool (!= 0)
//   DA_LLONG 5      Int64
//   DA_REAL 19      Float (64-bit)
//   DA_VECTOR 23    Vector
//   DA_MATRIX 25    Matrix
//   DA_CONTAINER 27 BaseContainer (a deep copy, owned by the value)
//   DA_STRING 130   String
//   DA_ALIASLINK 133 BaseLink
//   custom data     the custom data type's own id (e.g. 1009060 for curves)
//
// Copies are deep: a container is copied entry by entry and custom data is cloned. Equality compares
// content: numbers exactly (so NaN != NaN, as for doubles), strings by bytes, containers entry by
// entry, custom data through its IsEqual, links by the node they point to.
//
// Cross-type reads (GetInt32 on a Float value ...): Int32, Int64 and Float convert into one another
// (Float to an integer truncates toward zero and saturates at the integer's range; NaN gives the
// default); GetBool is "!= 0" of any of the three. Every other mismatch returns the caller's default.
#pragma once

#include <memory>
#include <variant>

#include "host/core/matrix.h"
#include "host/core/string.h"

class BaseContainer;
class BaseDocument;
class BaseList2D;
class HyperFile;

inline constexpr Int32 DA_NIL = 0;
inline constexpr Int32 DA_LLONG = 5;
inline constexpr Int32 DA_LONG = 15;
inline constexpr Int32 DA_REAL = 19;
inline constexpr Int32 DA_VECTOR = 23;
inline constexpr Int32 DA_MATRIX = 25;
inline constexpr Int32 DA_CONTAINER = 27;
inline constexpr Int32 DA_STRING = 130;
inline constexpr Int32 DA_ALIASLINK = 133;

// Base of every custom data type a container can hold. Derived types are values: Clone makes an
// independent deep copy, IsEqual compares content (never identity).
class CustomDataType
{
public:
  virtual ~CustomDataType() = default;

  // The type id under which the value is stored and looked up (GetCustomData(id, type)).
  virtual Int32 GetCustomTypeId() const = 0;
  // A deep copy; null when memory cannot be had.
  virtual std::unique_ptr<CustomDataType> Clone() const = 0;
  // Content equality; other is of any custom type (compare GetCustomTypeId first).
  virtual Bool IsEqual(const CustomDataType& other) const = 0;

  // Scene files: the value writes itself as a sequence of values and reads that sequence back. A type
  // that cannot be stored answers false, and saving a document that holds it fails with an error.
  virtual Bool WriteData(HyperFile* hf) const;
  virtual Bool ReadData(HyperFile* hf, Int32 level);
};

// A weak reference to a node: it resolves only while the node is alive and only in the document the
// node is in. It holds the node's identity value, never a pointer, so a freed node cannot be reached.
class BaseLink
{
public:
  BaseLink() = default;

  static BaseLink* Alloc();   // null when memory cannot be had
  static void Free(BaseLink*& link);

  void SetLink(const BaseList2D* node);
  // The node when it is alive, sits in doc (a null doc matches nodes that are in no document) and,
  // with instanceOf != 0, passes the instance test for that type; null otherwise.
  BaseList2D* GetLink(const BaseDocument* doc, Int32 instanceOf = 0) const;
  // The node while it is alive, wherever it is (host use: undo, files, equality).
  BaseList2D* ForceGetLink() const;
  // The identity value of the target, 0 when the link is empty.
  Int GetTargetGuid() const { return _guid; }
  void SetTargetGuid(Int guid) { _guid = guid; }
  Bool IsEmpty() const { return _guid == 0; }

  bool operator==(const BaseLink& o) const { return _guid == o._guid; }

private:
  Int _guid = 0;
};

class GeData
{
public:
  GeData() = default;
  GeData(Int32 v) : _v(v) {}
  GeData(Bool v) : _v(static_cast<Int32>(v ? 1 : 0)) {}
  GeData(Int64 v) : _v(v) {}
  GeData(Float v) : _v(v) {}
  GeData(const Vector& v) : _v(v) {}
  GeData(const Matrix& v) : _v(v) {}
  GeData(const String& v) : _v(v) {}
  GeData(const char* v) : _v(String(v)) {}
  GeData(const BaseLink& v) : _v(v) {}
  explicit GeData(const BaseContainer& v);
  // Clones the value; stays empty when the clone fails.
  explicit GeData(const CustomDataType& v);
  explicit GeData(std::unique_ptr<CustomDataType> v);

  GeData(const GeData& o);
  GeData(GeData&& o) noexcept;
  GeData& operator=(const GeData& o);
  GeData& operator=(GeData&& o) noexcept;
  ~GeData();

  Int32 GetType() const;
  Bool IsNil() const { return _v.index() == 0; }
  void Free() { _v = std::monostate(); }

  Int32 GetInt32(Int32 def = 0) const;
  Int64 GetInt64(Int64 def = 0) const;
  Float GetFloat(Float def = 0.0) const;
  Bool GetBool(Bool def = false) const;
  Vector GetVector(const Vector& def = Vector()) const;
  Matrix GetMatrix(const Matrix& def = Matrix()) const;
  String GetString(const String& def = String()) const;
  // The link value (an empty link for other types).
  BaseLink GetBaseLink() const;
  BaseList2D* GetLink(const BaseDocument* doc, Int32 instanceOf = 0) const;
  // The contained container, null for other types.
  BaseContainer* GetContainer();
  const BaseContainer* GetContainer() const;
  // The custom value when it has this type id, else null.
  CustomDataType* GetCustomDataType(Int32 type);
  const CustomDataType* GetCustomDataType(Int32 type) const;

  void SetInt32(Int32 v) { _v = v; }
  void SetInt64(Int64 v) { _v = v; }
  void SetFloat(Float v) { _v = v; }
  void SetBool(Bool v) { _v = static_cast<Int32>(v ? 1 : 0); }
  void SetVector(const Vector& v) { _v = v; }
  void SetMatrix(const Matrix& v) { _v = v; }
  void SetString(const String& v) { _v = v; }
  void SetBaseLink(const BaseLink& v) { _v = v; }
  void SetContainer(const BaseContainer& v);
  void SetCustomDataType(const CustomDataType& v);

  bool operator==(const GeData& o) const;
  bool operator!=(const GeData& o) const { return !(*this == o); }

private:
  using ContainerPtr = std::unique_ptr<BaseContainer>;
  using CustomPtr = std::unique_ptr<CustomDataType>;
  std::variant<std::monostate, Int32, Int64, Float, Vector, Matrix, String, BaseLink, ContainerPtr, CustomPtr> _v;
};
