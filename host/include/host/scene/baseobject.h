// Objects and tags: BaseObject (matrices, visibility, enabled switch, info flags, tags, the generator
// cache), the point-based built-ins PolygonObject and SplineObject, BaseTag and VariableTag (a tag
// holding an array of fixed-size records: points, polygons, segments ...).
//
// Matrices: the local matrix is stored; the global one is the product of the parents' local matrices
// and the local one (parent first), computed on each call. A matrix that really changes raises the
// object's MATRIX count; enabled state and visibility modes that really change raise DATA.
//
// Point and polygon arrays live in variable tags in the object's tag list (point tag 5600, polygon tag
// 5604, segment tag 5672), so a tag walk sees them with their data count and size. Their records start
// zeroed unless the caller asks for them unwritten (RECORDINIT::UNWRITTEN, for a builder that writes
// every record itself).
//
// Record storage is recycled: the arrays of a large variable tag that is freed (a replaced generator
// cache's points, polygons and UVWs) go to a process-wide pool instead of back to the system, and a
// variable tag that is given records of exactly that size takes them from there. A rebuild of the same
// shape thus writes its mesh into memory that is already mapped, and freeing the mesh it replaces costs
// nothing. The pool is bounded (see host::GetRecordStoragePoolLimit); arrays it lets go are freed on a
// background thread, off the thread that frees or builds.
//
// The cache: a generator's built object, owned by the generator (never in a document). The host's
// build driver (hierarchy.h) stores it and remembers the dirty counts it saw when BuildCache returned.
//
// The isoparm object: a line object an object can own for the viewport's isoparm display (a cache
// mesh gets it from its generator); freed with the object, not copied by a clone.
#pragma once

#include "host/core/basearray.h"

#include "host/geometry/baseselect.h"
#include "host/scene/nodedata.h"

class LineObject;
class PolygonObject;
class SplineObject;

// Built-in type ids.
inline constexpr Int32 Opolygon = 5100;
inline constexpr Int32 Ospline = 5101;
inline constexpr Int32 Onull = 5140;
inline constexpr Int32 Opoint = 5168;      // base of polygon and spline objects
inline constexpr Int32 Odeformer = 5180;   // the stand-in's deformer (info OBJECT_MODIFIER), see below
inline constexpr Int32 Tpoint = 5600;
inline constexpr Int32 Tpolygon = 5604;
inline constexpr Int32 Tphong = 5612;
inline constexpr Int32 Tsegment = 5672;
inline constexpr Int32 Tvariable = 5695;   // base of every variable tag

// Object info flags (registration, GetInfo).
inline constexpr Int32 OBJECT_MODIFIER = 1;   // a deformer
inline constexpr Int32 OBJECT_GENERATOR = 4;
inline constexpr Int32 OBJECT_ISSPLINE = 128;

// The stand-in's deformer: it moves the points of its parent object, p -> p x scale + offset in the
// parent's own space (the current-state command applies it, modeling.h). Missing parameters read as
// scale 1 and offset 0, so a deformer that was never set deforms nothing.
inline constexpr Int32 DEFORMEROBJECT_SCALE = 1000;    // Float
inline constexpr Int32 DEFORMEROBJECT_OFFSET = 1001;   // Vector

// Spline object parameters.
inline constexpr Int32 SPLINEOBJECT_TYPE = 1000;     // Int32 SPLINETYPE
inline constexpr Int32 SPLINEOBJECT_CLOSED = 1001;   // Bool: closes a spline without segment records

enum class SPLINETYPE : Int32
{
  LINEAR = 0,
  CUBIC = 1,
  AKIMA = 2,
  BSPLINE = 3,
  BEZIER = 4,
};

// Editor and render visibility: ON (0, the default) follows the parents, OFF (1) hides.
enum class MODE : Int32
{
  ON = 0,
  OFF = 1,
};

// The object-state query: EDITOR and RENDER answer whether the object shows (1) or not (0), DEFORM (2)
// whether it is enabled. Generators and deformers share the one enabled switch.
enum class OBJECTSTATE : Int32
{
  EDITOR = 0,
  RENDER = 1,
  DEFORM = 2,
};

struct CPolygon
{
  Int32 a = 0;
  Int32 b = 0;
  Int32 c = 0;
  Int32 d = 0;   // a triangle repeats c here
  constexpr CPolygon() = default;
  constexpr CPolygon(Int32 ia, Int32 ib, Int32 ic) : a(ia), b(ib), c(ic), d(ic) {}
  constexpr CPolygon(Int32 ia, Int32 ib, Int32 ic, Int32 id) : a(ia), b(ib), c(ic), d(id) {}
  constexpr Bool IsTriangle() const { return c == d; }
  constexpr bool operator==(const CPolygon&) const = default;
};

struct Segment
{
  Int32 cnt = 0;
  Bool closed = false;
  constexpr bool operator==(const Segment&) const = default;
};

class BaseTag;
class VariableTag;

// How new records of a variable tag start: zero-filled, or unwritten (whatever the storage held) for a
// caller that writes every record before anything reads them.
enum class RECORDINIT : Int32
{
  ZERO = 0,
  UNWRITTEN = 1,
};

class BaseObject : public BaseList2D
{
public:
  // A built-in object of that type, or an object plug-in's node (its Init run); null for an unknown
  // id, a failed allocation or a failed Init.
  static BaseObject* Alloc(Int32 type);
  static void Free(BaseObject*& op);

  BaseObject* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const;

  BaseObject* GetNext() const { return static_cast<BaseObject*>(GeListNode::GetNext()); }
  BaseObject* GetPred() const { return static_cast<BaseObject*>(GeListNode::GetPred()); }
  BaseObject* GetUp() const { return static_cast<BaseObject*>(GeListNode::GetUp()); }
  BaseObject* GetDown() const { return static_cast<BaseObject*>(GeListNode::GetDown()); }
  BaseObject* GetDownLast() const { return static_cast<BaseObject*>(GeListNode::GetDownLast()); }

  Matrix GetMl() const { return _ml; }
  void SetMl(const Matrix& m);
  Matrix GetMg() const;
  // Sets the local matrix so that the global one becomes m.
  void SetMg(const Matrix& m);
  // The global matrix of the parent (identity at the top level).
  Matrix GetUpMg() const;

  // Info flags: the registered ones for plug-ins, the built-in type's otherwise.
  Int32 GetInfo() const;
  Int32 GetInfoFlags() const { return GetInfo(); }

  Bool IsEnabled() const { return _enabled; }
  void SetEnabled(Bool enabled);
  MODE GetEditorMode() const { return _editorMode; }
  void SetEditorMode(MODE mode);
  MODE GetRenderMode() const { return _renderMode; }
  void SetRenderMode(MODE mode);
  // 1 or 0 for the query (see OBJECTSTATE); EDITOR/RENDER also look at the parents' modes.
  Int32 GetObjectState(OBJECTSTATE query) const;

  BaseTag* GetFirstTag() const;
  // Inserts tp after pred, or first when pred is null.
  Bool InsertTag(BaseTag* tp, BaseTag* pred = nullptr);
  // Allocates a tag of that type and inserts it after pred (first when null); null on failure.
  BaseTag* MakeTag(Int32 type, BaseTag* pred = nullptr);
  // Allocates a variable tag of that type with count records (zeroed, or unwritten) and inserts it after
  // pred (first when null); null on failure.
  VariableTag* MakeVariableTag(Int32 type, Int32 count, BaseTag* pred = nullptr, RECORDINIT init = RECORDINIT::ZERO);
  // The nr-th tag of that type, null when there is none.
  BaseTag* GetTag(Int32 type, Int32 nr = 0) const;
  void KillTag(Int32 type, Int32 nr = 0);

  // The generator's cache (hh is accepted for the call's shape; there is one cache per object).
  BaseObject* GetCache([[maybe_unused]] HierarchyContext* hh = nullptr) const { return _cache; }
  // True when the cache must be rebuilt: no cache, or the object's DATA/CACHE counts or anything below
  // it (structure, any dirty count, enabled state) changed since the last build returned.
  Bool CheckCache(HierarchyContext* hh) const;
  // True when a counter of the mask differs from the value recorded when the last build returned (or
  // from 0 before any build).
  Bool IsDirty(DIRTYFLAGS flags) const;

  // The spline the object stands for: itself for a spline object, the cache of a spline generator
  // (info OBJECT_ISSPLINE) when that is a spline object, null otherwise.
  SplineObject* GetRealSpline();

  // The isoparm object (null when there is none).
  LineObject* GetIsoparm() const { return _isoparm; }
  // Takes ownership of line (may be null) and frees the previous isoparm object. False, with nothing
  // changed, when line is in a list or is this object.
  Bool SetIsoparm(LineObject* line);

  // Nodes are made by the Alloc functions; the constructors are public for the host's allocation.
  explicit BaseObject(Int32 type);
  ~BaseObject() override;

protected:
  friend struct HostNodeAccess;
  Bool CopyMembersTo(BaseList2D* dest) const override;

private:
  Matrix _ml;
  Bool _enabled = true;
  MODE _editorMode = MODE::ON;
  MODE _renderMode = MODE::ON;
  host::ListHead _tags{host::LISTKIND::TAGS, this};
  BaseObject* _cache = nullptr;   // owned
  LineObject* _isoparm = nullptr;   // owned
  // What the build driver saw when the last BuildCache returned.
  Int _stampMatrix = 0;
  Int _stampData = 0;
  Int _stampCache = 0;
  UInt64 _stampBelow = 0;
};

class BaseTag : public BaseList2D
{
public:
  // A built-in tag of that type, or a tag plug-in's node; null on failure.
  static BaseTag* Alloc(Int32 type);
  static void Free(BaseTag*& tag);
  BaseTag* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const;

  BaseTag* GetNext() const { return static_cast<BaseTag*>(GeListNode::GetNext()); }
  BaseTag* GetPred() const { return static_cast<BaseTag*>(GeListNode::GetPred()); }
  // The object whose tag list holds the tag.
  BaseObject* GetObject() const;

  explicit BaseTag(Int32 type);

protected:
  friend struct HostNodeAccess;
};

// A tag holding count records of a fixed size (its type's layout, see nodetypes.h). New records are
// zero-filled unless RECORDINIT::UNWRITTEN is asked for.
class VariableTag : public BaseTag
{
public:
  // A variable tag of a registered variable-tag type with count records; null on failure.
  static VariableTag* Alloc(Int32 type, Int32 count, RECORDINIT init = RECORDINIT::ZERO);

  Int32 GetDataCount() const { return _count; }
  Int32 GetDataSize() const { return _size; }
  void* GetLowlevelDataAddressW() { return _bytes.data(); }
  const void* GetLowlevelDataAddressR() const { return _bytes.data(); }
  // Changes the record count (kept records stay); false when memory cannot be had or count < 0.
  Bool Resize(Int32 count, RECORDINIT init = RECORDINIT::ZERO);

  VariableTag(Int32 type, Int32 elementSize);
  // Hands large record storage to the pool (see the header comment).
  ~VariableTag() override;

protected:
  Bool CopyMembersTo(BaseList2D* dest) const override;

private:
  Int32 _count = 0;
  Int32 _size = 0;
  // Default-initialising storage: Resize zeroes new records itself, on all threads for large tags.
  std::vector<std::byte, host::DefaultInitAllocator<std::byte>> _bytes;
};

class PointObject : public BaseObject
{
public:
  Int32 GetPointCount() const;
  const Vector* GetPointR() const;
  // Null when the object has no point tag.
  Vector* GetPointW();

  explicit PointObject(Int32 type);

protected:
  Bool ResizePoints(Int32 count, RECORDINIT init = RECORDINIT::ZERO);
  friend struct HostNodeAccess;
};

class PolygonObject : public PointObject
{
public:
  // A polygon object with pcnt points and vcnt polygons (zeroed, or unwritten); null on failure.
  static PolygonObject* Alloc(Int32 pcnt, Int32 vcnt, RECORDINIT init = RECORDINIT::ZERO);
  PolygonObject* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const
  {
    return static_cast<PolygonObject*>(BaseObject::GetClone(flags, trn));
  }

  Int32 GetPolygonCount() const;
  const CPolygon* GetPolygonR() const;
  CPolygon* GetPolygonW();
  // New counts; kept entries stay, new ones are zero (or unwritten). False on failure.
  Bool ResizeObject(Int32 pcnt, Int32 vcnt, RECORDINIT init = RECORDINIT::ZERO);
  // The object's polygon selection (copied with the object).
  BaseSelect* GetPolygonS() { return &_polygonSelection; }
  const BaseSelect* GetPolygonS() const { return &_polygonSelection; }

  PolygonObject();

protected:
  Bool CopyMembersTo(BaseList2D* dest) const override;

private:
  BaseSelect _polygonSelection;
};

class SplineObject : public PointObject
{
public:
  // A spline with pcnt zeroed points and no segment records (one open segment over all points).
  static SplineObject* Alloc(Int32 pcnt, SPLINETYPE type);
  SplineObject* GetClone(COPYFLAGS flags = COPYFLAGS::NONE, AliasTrans* trn = nullptr) const
  {
    return static_cast<SplineObject*>(BaseObject::GetClone(flags, trn));
  }

  SPLINETYPE GetInterpolationType() const;
  // Without segment records the spline is one segment whose closed flag is SPLINEOBJECT_CLOSED.
  Bool IsClosed() const;
  void SetClosed(Bool closed);
  // Segment records (0: the whole spline is one segment).
  Int32 GetSegmentCount() const;
  const Segment* GetSegmentR() const;
  Segment* GetSegmentW();
  Bool ResizeObject(Int32 pcnt, Int32 scnt);

  SplineObject();
};

namespace host
{
// The pool of recycled record storage (see the header comment). Only arrays of at least
// GetRecordStorageRecycleMinimum bytes are kept; the pool holds at most GetRecordStoragePoolLimit bytes
// and lets the arrays it held longest go first.
Int GetRecordStoragePoolBytes();
Int GetRecordStoragePoolLimit();
Int GetRecordStorageRecycleMinimum();
// Frees every array the pool holds (on the calling thread) and waits until the background thread has
// freed what it was given.
void FlushRecordStoragePool();
} // namespace host
