// Collecting a cache's polygon objects and writing them as Wavefront OBJ; see meshexport.h.
#include "meshexport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <new>
#include <thread>
#include <unordered_map>

#include "atomicextreme.h"
#include "filewrite.h"
#include "host/core/alloc.h"
#include "host/core/basearray.h"
#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"

namespace host::app
{
namespace
{
// Lines per piece of the file: one piece is formatted by one thread into one buffer (a megabyte or two).
constexpr Int LINES_PER_PIECE = 16384;
// Pieces formatted ahead of the one being written; bounds the memory the buffers take.
constexpr Int PIECES_AHEAD_PER_THREAD = 3;
constexpr UInt32 NO_CORNER = std::numeric_limits<UInt32>::max();
// A mesh whose polygons reach so widely across its points that working out per-point values piece by
// piece would visit the polygons more than this many times over gets them worked out once and kept.
constexpr Int NORMAL_REVISITS = 8;

Result<void> CheckPolygons(const PolygonObject* poly)
{
  const Int32 pointCount = poly->GetPointCount();
  const CPolygon* polys = poly->GetPolygonR();
  const Int32 polyCount = poly->GetPolygonCount();
  for (Int32 i = 0; i < polyCount; ++i)
  {
    for (const Int32 corner : {polys[i].a, polys[i].b, polys[i].c, polys[i].d})
      if (corner < 0 || corner >= pointCount)
        return IllegalArgumentError(poly->GetName() + ": polygon " + String::IntToString(i) + " refers to point " +
                                    String::IntToString(corner) + ", but there are " +
                                    String::IntToString(pointCount) + " points");
  }
  return OK;
}

Result<void> Collect(const BaseObject* op, const Matrix& toRoot, std::vector<MeshPart>& parts)
{
  if (op->GetType() == Opolygon)
  {
    const auto* poly = static_cast<const PolygonObject*>(op);
    HOST_TRY(CheckPolygons(poly));
    parts.push_back({poly, toRoot});
  }
  for (const BaseObject* child = op->GetDown(); child; child = child->GetNext())
    HOST_TRY(Collect(child, toRoot * child->GetMl(), parts));
  return OK;
}

// A group name on one line of printable text (a line break would end the "o" line early).
String GroupName(const String& name)
{
  String out = name.IsEmpty() ? String("mesh") : name;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = ' ';
  return out;
}

// Longest texts of a number: a shortest round-trip double ("-2.2250738585072014e-308"), a float, a
// whole number.
constexpr std::size_t MAX_DOUBLE_TEXT = 24;
constexpr std::size_t MAX_FLOAT_TEXT = 15;

std::size_t Digits(Int v)
{
  std::size_t n = 1;
  for (; v >= 10; v /= 10)
    ++n;
  return n;
}

// Writes text at a cursor into memory sized beforehand for the longest lines possible, so there is no
// room check per character.
struct Cursor
{
  char* p;

  void Put(char c) { *p++ = c; }
  void Put(const char* text, std::size_t n)
  {
    std::memcpy(p, text, n);
    p += n;
  }
  void Number(Float v) { p = std::to_chars(p, p + MAX_DOUBLE_TEXT, v).ptr; }
  void Number(Float32 v) { p = std::to_chars(p, p + MAX_FLOAT_TEXT, v).ptr; }
  void Number(Int v) { p = std::to_chars(p, p + 20, v).ptr; }
};

// A piece's text: memory that is reused from piece to piece and never cleared first.
class TextBuffer
{
public:
  // Room for at least `bytes` (throws std::bad_alloc when it cannot be had); empties the buffer.
  char* Reserve(std::size_t bytes)
  {
    if (bytes > _capacity)
    {
      _data.reset();
      _capacity = 0;
      if (AllocationShouldFail())
        throw std::bad_alloc();
      _data = std::make_unique_for_overwrite<char[]>(bytes);
      _capacity = bytes;
    }
    _size = 0;
    return _data.get();
  }
  void SetEnd(const char* end) { _size = static_cast<std::size_t>(end - _data.get()); }
  const char* Data() const { return _data.get(); }
  std::size_t Size() const { return _size; }

private:
  std::unique_ptr<char[]> _data;
  std::size_t _capacity = 0;
  std::size_t _size = 0;
};

Vector CornerUv(const UVWStruct& uvw, Int k)
{
  switch (k)
  {
    case 0: return uvw.a;
    case 1: return uvw.b;
    case 2: return uvw.c;
    default: return uvw.d;
  }
}

// Texture coordinates are told apart by their bits (u and v; w is not written), so that equal values
// are shared and no two different ones are, NaN and -0 included.
struct UvKey
{
  UInt64 u = 0, v = 0;
  explicit UvKey(const Vector& uv)
  {
    std::memcpy(&u, &uv.x, sizeof u);
    std::memcpy(&v, &uv.y, sizeof v);
  }
  bool operator==(const UvKey&) const = default;
};
struct UvKeyHash
{
  std::size_t operator()(const UvKey& k) const { return std::hash<UInt64>()(k.u * 0x9E3779B97F4A7C15ull ^ k.v); }
};

Int CornerCount(const CPolygon& q)
{
  return q.IsTriangle() ? 3 : 4;
}

template <typename T>
Result<void> Allocate(BaseArray<T>& array, Int count, const T& value)
{
  if (Result<void> r = array.Resize(count); r.IsError())
    return OutOfMemoryError("Not enough memory to write the OBJ file");
  std::fill(array.GetFirst(), array.GetFirst() + count, value);
  return OK;
}

enum class SECTION
{
  POINTS,
  UVS,
  NORMALS,
  FACES,
};

// One part of the mesh as it is written: where its numbering starts, and what was worked out ahead so
// that any range of its lines can be formatted on its own, on any thread.
class PartWriter
{
public:
  PartWriter(const MeshPart& part, Int pointBase, Int uvBase, Int normalBase)
    : _poly(part.object), _matrix(part.toRoot), _moved(part.toRoot != Matrix()), _points(part.object->GetPointR()),
      _polys(part.object->GetPolygonR()), _pointCount(part.object->GetPointCount()),
      _polyCount(part.object->GetPolygonCount()), _uvws(PartUvws(part.object)),
      _hasNormals(part.object->GetTag(Tphong) != nullptr), _pointBase(pointBase), _uvBase(uvBase),
      _normalBase(normalBase)
  {
  }

  Result<void> Prepare()
  {
    if (_uvws || _hasNormals)
      HOST_TRY(PlanPieces());
    if (_uvws)
      HOST_TRY(PlanUvs());
    if (_hasNormals && !_narrow)
    {
      HOST_TRY(Allocate(_normalSums, _pointCount, Vector()));
      SumNormals(0, _polyCount, 0, _pointCount, _normalSums.GetFirst());
    }
    return OK;
  }

  Int GetLines(SECTION s) const
  {
    switch (s)
    {
      case SECTION::POINTS: return _pointCount;
      case SECTION::UVS: return _uvCount;
      case SECTION::NORMALS: return _hasNormals ? _pointCount : 0;
      case SECTION::FACES: return _polyCount;
    }
    return 0;
  }
  Int GetUvCount() const { return _uvCount; }

  // The most bytes a line of the section can take.
  std::size_t MaxLineBytes(SECTION s) const
  {
    switch (s)
    {
      case SECTION::POINTS: return 2 + 3 * (MAX_DOUBLE_TEXT + 1);
      case SECTION::UVS: return 3 + 2 * (MAX_DOUBLE_TEXT + 1);
      case SECTION::NORMALS: return 3 + 3 * (MAX_FLOAT_TEXT + 1);
      case SECTION::FACES:
      {
        const std::size_t digits = Digits(std::max({_pointBase + _pointCount, _uvBase + _uvCount,
                                                    _normalBase + _pointCount}));
        return 2 + 4 * (3 + 3 * digits);
      }
    }
    return 0;
  }

  // Writes the lines [begin, end) of a section at the cursor (which has room for them); counts points
  // that are not finite.
  void Format(SECTION s, Int begin, Int end, Cursor& out, Int& notFinite) const
  {
    switch (s)
    {
      case SECTION::POINTS: FormatPoints(begin, end, out, notFinite); break;
      case SECTION::UVS: FormatUvs(begin, end, out); break;
      case SECTION::NORMALS: FormatNormals(begin, end, out); break;
      case SECTION::FACES: FormatFaces(begin, end, out); break;
    }
  }

private:
  Vector Point(Int32 i) const { return _moved ? _matrix * _points[i] : _points[i]; }
  Vector CornerUvOf(UInt32 corner) const { return CornerUv(_uvws[corner / 4], corner % 4); }

  // What is worked out per piece of points (texture coordinates, normals) comes from the polygons that
  // reach into the piece: for each piece, the range of those polygons. On a terrain plane a piece's
  // polygons are a few rows of the grid. Where the ranges would make the polygons be visited too many
  // times over (a mesh whose polygons reach widely across its points), the per-point values are worked
  // out once and kept instead.
  Result<void> PlanPieces()
  {
    const Int pieces = (_pointCount + LINES_PER_PIECE - 1) / LINES_PER_PIECE;
    HOST_TRY(Allocate(_pieceFirstPolygon, pieces, std::numeric_limits<Int>::max()));
    HOST_TRY(Allocate(_pieceLastPolygon, pieces, Int{-1}));
    HOST_TRY(ForEachPolygonChunk([&](Int i) {
      const CPolygon& q = _polys[i];
      for (const Int32 p : {q.a, q.b, q.c, q.d})
      {
        AtomicMin(_pieceFirstPolygon[p / LINES_PER_PIECE], i);
        AtomicMax(_pieceLastPolygon[p / LINES_PER_PIECE], i);
      }
    }));
    Int visits = 0;
    for (Int piece = 0; piece < pieces; ++piece)
      visits += std::max<Int>(0, _pieceLastPolygon[piece] - _pieceFirstPolygon[piece] + 1);
    _narrow = visits <= NORMAL_REVISITS * _polyCount + LINES_PER_PIECE;
    return OK;
  }

  // Runs body(i) for every polygon i, in chunks on all threads.
  template <typename Body>
  Result<void> ForEachPolygonChunk(Body&& body) const
  {
    const Int chunks = (_polyCount + LINES_PER_PIECE - 1) / LINES_PER_PIECE;
    return ParallelFor(
      0, chunks,
      [&](Int chunk) {
        for (Int i = chunk * LINES_PER_PIECE; i < std::min<Int>((chunk + 1) * LINES_PER_PIECE, _polyCount); ++i)
          body(i);
      },
      0, 1);
  }

  // The first corner (the lowest corner number) of each point of [begin, end), from the polygons that
  // reach into the piece; NO_CORNER for a point no polygon uses.
  void FirstCorners(Int begin, Int end, UInt32* out) const
  {
    std::fill(out, out + (end - begin), NO_CORNER);
    if (_pointCorner.GetCount() > 0)
    {
      std::copy(_pointCorner.GetFirst() + begin, _pointCorner.GetFirst() + end, out);
      return;
    }
    const Int piece = begin / LINES_PER_PIECE;
    for (Int i = _pieceFirstPolygon[piece]; i <= _pieceLastPolygon[piece]; ++i)
    {
      const CPolygon& q = _polys[i];
      const Int32 index[4] = {q.a, q.b, q.c, q.d};
      for (Int k = 0; k < CornerCount(q); ++k)
        if (index[k] >= begin && index[k] < end && out[index[k] - begin] == NO_CORNER)
          out[index[k] - begin] = static_cast<UInt32>(i * 4 + k);
    }
  }

  // Texture coordinates: one per point when every point is used and its corners agree, plus one for
  // each other value a corner has; otherwise one per distinct value, in the order the corners meet them.
  Result<void> PlanUvs()
  {
    const Int chunks = (_polyCount + LINES_PER_PIECE - 1) / LINES_PER_PIECE;
    const Int pieces = (_pointCount + LINES_PER_PIECE - 1) / LINES_PER_PIECE;
    if (static_cast<UInt64>(_polyCount) * 4 < NO_CORNER)
    {
      if (!_narrow)
      {
        HOST_TRY(Allocate(_pointCorner, _pointCount, NO_CORNER));
        HOST_TRY(ForEachPolygonChunk([&](Int i) {
          const CPolygon& q = _polys[i];
          const Int32 index[4] = {q.a, q.b, q.c, q.d};
          for (Int k = 0; k < CornerCount(q); ++k)
            AtomicMin(_pointCorner[index[k]], static_cast<UInt32>(i * 4 + k));
        }));
      }
      // Per piece of points: every point used, and the chunks of polygons with a corner that differs
      // from its point's first.
      HOST_TRY(Allocate(_chunkDiffers, chunks, UChar(0)));
      std::atomic<Bool> everyPointUsed{true};
      HOST_TRY(ParallelFor(
        0, pieces,
        [&](Int piece) {
          const Int begin = piece * LINES_PER_PIECE;
          const Int end = std::min<Int>(begin + LINES_PER_PIECE, _pointCount);
          std::vector<UInt32> first(static_cast<std::size_t>(end - begin));
          FirstCorners(begin, end, first.data());
          if (std::find(first.begin(), first.end(), NO_CORNER) != first.end())
            everyPointUsed = false;
          for (Int i = _pieceFirstPolygon[piece]; i <= _pieceLastPolygon[piece]; ++i)
          {
            const CPolygon& q = _polys[i];
            const Int32 index[4] = {q.a, q.b, q.c, q.d};
            for (Int k = 0; k < CornerCount(q); ++k)
              if (index[k] >= begin && index[k] < end && first[index[k] - begin] != NO_CORNER &&
                  !(UvKey(CornerUv(_uvws[i], k)) == UvKey(CornerUvOf(first[index[k] - begin]))))
                std::atomic_ref<UChar>(_chunkDiffers[i / LINES_PER_PIECE]).store(1, std::memory_order_relaxed);
          }
        },
        0, 1));
      if (everyPointUsed)
      {
        _perPoint = true;
        _uvCount = _pointCount;
        if (std::find(_chunkDiffers.GetFirst(), _chunkDiffers.GetFirst() + chunks, UChar(1)) ==
            _chunkDiffers.GetFirst() + chunks)
          return OK;
        // Corners of their own: numbered in corner order, which needs each point's first corner at hand.
        if (_pointCorner.GetCount() == 0)
        {
          BaseArray<UInt32> corners;
          HOST_TRY(Allocate(corners, _pointCount, NO_CORNER));
          HOST_TRY(ParallelFor(
            0, pieces,
            [&](Int piece) {
              const Int begin = piece * LINES_PER_PIECE;
              FirstCorners(begin, std::min<Int>(begin + LINES_PER_PIECE, _pointCount), corners.GetFirst() + begin);
            },
            0, 1));
          _pointCorner = std::move(corners);
        }
        std::unordered_map<UvKey, UInt32, UvKeyHash> extraIndex;
        for (Int chunk = 0; chunk < chunks; ++chunk)
          if (_chunkDiffers[chunk])
            for (Int i = chunk * LINES_PER_PIECE; i < std::min<Int>((chunk + 1) * LINES_PER_PIECE, _polyCount); ++i)
            {
              const CPolygon& q = _polys[i];
              const Int32 index[4] = {q.a, q.b, q.c, q.d};
              for (Int k = 0; k < CornerCount(q); ++k)
              {
                const Vector uv = CornerUv(_uvws[i], k);
                if (UvKey(uv) == UvKey(CornerUvOf(_pointCorner[index[k]])))
                  continue;
                const auto [at, added] = extraIndex.emplace(UvKey(uv), static_cast<UInt32>(_extraUvs.size()));
                if (added)
                  _extraUvs.push_back(uv);
                _extraOf.emplace(static_cast<UInt32>(i * 4 + k), at->second);
              }
            }
        _uvCount += static_cast<Int>(_extraUvs.size());
        return OK;
      }
      _pointCorner.Reset();
    }
    // Every distinct value in the order the corners meet it, and each corner's.
    HOST_TRY(Allocate(_cornerUv, _polyCount * 4, NO_CORNER));
    std::unordered_map<UvKey, UInt32, UvKeyHash> index;
    for (Int i = 0; i < _polyCount; ++i)
      for (Int k = 0; k < CornerCount(_polys[i]); ++k)
      {
        const Vector uv = CornerUv(_uvws[i], k);
        const auto [at, added] = index.emplace(UvKey(uv), static_cast<UInt32>(_extraUvs.size()));
        if (added)
          _extraUvs.push_back(uv);
        _cornerUv[i * 4 + k] = at->second;
      }
    _uvCount = static_cast<Int>(_extraUvs.size());
    return OK;
  }

  // The texture coordinate (0-based within the part) of corner k of polygon i.
  Int UvIndex(Int i, Int k) const
  {
    if (!_perPoint)
      return _cornerUv[i * 4 + k];
    const CPolygon& q = _polys[i];
    const Int32 point = k == 0 ? q.a : k == 1 ? q.b : k == 2 ? q.c : q.d;
    if (_chunkDiffers[i / LINES_PER_PIECE])
      if (const auto it = _extraOf.find(static_cast<UInt32>(i * 4 + k)); it != _extraOf.end())
        return _pointCount + it->second;
    return point;
  }

  // Adds the area-weighted normal of each polygon in [firstPolygon, lastPolygon) to the sums of its
  // corners inside [firstPoint, endPoint); polygons and corners in order, so every way of cutting the
  // work gives the same sums.
  void SumNormals(Int firstPolygon, Int lastPolygon, Int firstPoint, Int endPoint, Vector* sums) const
  {
    for (Int i = firstPolygon; i < lastPolygon; ++i)
    {
      const CPolygon& q = _polys[i];
      const Int32 index[4] = {q.a, q.b, q.c, q.d};
      const Int corners = CornerCount(q);
      Bool inside = false;
      for (Int k = 0; k < corners; ++k)
        inside = inside || (index[k] >= firstPoint && index[k] < endPoint);
      if (!inside)
        continue;
      const Vector a = Point(q.a), b = Point(q.b), c = Point(q.c);
      // Twice the area along the normal; OBJ readers take counter-clockwise corners as the front.
      const Vector n = corners == 3 ? Cross(b - a, c - a) : Cross(c - a, Point(q.d) - b);
      for (Int k = 0; k < corners; ++k)
        if (index[k] >= firstPoint && index[k] < endPoint)
          sums[index[k] - firstPoint] += n;
    }
  }

  void FormatPoints(Int begin, Int end, Cursor& out, Int& notFinite) const
  {
    for (Int i = begin; i < end; ++i)
    {
      const Vector v = Point(static_cast<Int32>(i));
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
        ++notFinite;
      out.Put("v ", 2);
      out.Number(v.x);
      out.Put(' ');
      out.Number(v.y);
      out.Put(' ');
      out.Number(v.z);
      out.Put('\n');
    }
  }

  void FormatUvs(Int begin, Int end, Cursor& out) const
  {
    // Lines of per-point coordinates come in pieces of points (the extra ones after them).
    std::vector<UInt32> first;
    if (_perPoint && begin < _pointCount)
    {
      const Int pointEnd = std::min(end, _pointCount);
      first.resize(static_cast<std::size_t>(pointEnd - begin));
      FirstCorners(begin, pointEnd, first.data());
    }
    for (Int i = begin; i < end; ++i)
    {
      Vector uv;
      if (_perPoint && i < _pointCount)
        uv = CornerUvOf(first[static_cast<std::size_t>(i - begin)]);
      else
        uv = _extraUvs[static_cast<std::size_t>(_perPoint ? i - _pointCount : i)];
      out.Put("vt ", 3);
      out.Number(uv.x);
      out.Put(' ');
      out.Number(1.0 - uv.y);
      out.Put('\n');
    }
  }

  void FormatNormals(Int begin, Int end, Cursor& out) const
  {
    std::vector<Vector> local;
    const Vector* sums = nullptr;
    if (_normalSums.GetCount() > 0)
      sums = _normalSums.GetFirst() + begin;
    else
    {
      local.assign(static_cast<std::size_t>(end - begin), Vector());
      const Int piece = begin / LINES_PER_PIECE;
      SumNormals(_pieceFirstPolygon[piece], _pieceLastPolygon[piece] + 1, begin, end, local.data());
      sums = local.data();
    }
    for (Int i = 0; i < end - begin; ++i)
    {
      const Vector& s = sums[i];
      const Float length = std::sqrt(Dot(s, s));
      const Vector n = length > 0.0 ? s * (1.0 / length) : (length == 0.0 ? Vector(0.0, 1.0, 0.0) : s);
      out.Put("vn ", 3);
      out.Number(static_cast<Float32>(n.x));
      out.Put(' ');
      out.Number(static_cast<Float32>(n.y));
      out.Put(' ');
      out.Number(static_cast<Float32>(n.z));
      out.Put('\n');
    }
  }

  void FormatFaces(Int begin, Int end, Cursor& out) const
  {
    for (Int i = begin; i < end; ++i)
    {
      const CPolygon& q = _polys[i];
      const Int32 index[4] = {q.a, q.b, q.c, q.d};
      out.Put('f');
      for (Int k = 0; k < CornerCount(q); ++k)
      {
        out.Put(' ');
        char* const point = out.p;
        out.Number(_pointBase + index[k]);
        const std::size_t pointLength = static_cast<std::size_t>(out.p - point);
        // An index equal to the point's is copied rather than formatted again (a terrain's first part
        // writes "f 7/7/7 ...").
        const auto index2 = [&](Int value, Int pointValue) {
          if (value == pointValue)
            out.Put(point, pointLength);
          else
            out.Number(value);
        };
        if (_uvws || _hasNormals)
        {
          out.Put('/');
          if (_uvws)
            index2(_uvBase + UvIndex(i, k), _pointBase + index[k]);
          if (_hasNormals)
          {
            out.Put('/');
            index2(_normalBase + index[k], _pointBase + index[k]);
          }
        }
      }
      out.Put('\n');
    }
  }

  const PolygonObject* _poly;
  const Matrix _matrix;
  const Bool _moved;
  const Vector* _points;
  const CPolygon* _polys;
  const Int _pointCount;
  const Int _polyCount;
  const UVWStruct* _uvws;
  const Bool _hasNormals;
  const Int _pointBase, _uvBase, _normalBase;   // the first OBJ index (from 1) of each kind

  Int _uvCount = 0;
  Bool _perPoint = false;
  Bool _narrow = true;                 // per-piece work visits the polygons a few times at most
  BaseArray<UInt32> _pointCorner;      // per point: its first corner (per-point texture coordinates)
  BaseArray<UChar> _chunkDiffers;      // per chunk of polygons: a corner differs from its point's
  std::unordered_map<UInt32, UInt32> _extraOf;   // corner -> its own coordinate among _extraUvs
  BaseArray<UInt32> _cornerUv;         // per corner: its coordinate (by distinct value)
  std::vector<Vector> _extraUvs;
  BaseArray<Int> _pieceFirstPolygon, _pieceLastPolygon;
  BaseArray<Vector> _normalSums;       // kept sums, for meshes whose polygons reach widely
};

struct Piece
{
  std::size_t part;
  SECTION section;
  Int begin, end;
  String prefix;   // text before the lines (the file's header, a part's "o" line)
};

// Pieces are formatted on all threads, each into a buffer of a ring, and a writer thread writes them in
// order as they are done. A piece is begun only when the ring has room, so the memory stays bounded
// however large the file.
class PieceWriter
{
public:
  PieceWriter(std::FILE* f, const std::vector<PartWriter>& writers, const std::vector<Piece>& pieces,
              const ObjWriteOptions& options, Int totalLines, const Url& file)
    : _f(f), _writers(writers), _pieces(pieces), _options(options), _total(totalLines), _file(file),
      _ring(static_cast<std::size_t>(std::max<Int>(2, PIECES_AHEAD_PER_THREAD * GetCurrentThreadCount())))
  {
  }

  Result<Int> Run()
  {
    _done.assign(_ring.size(), false);
    std::thread writer;
    try
    {
      writer = std::thread([this] { WriteInOrder(); });
    }
    catch (const std::system_error&)
    {
      // No thread to be had (the process is out of memory or threads): one piece after the other here.
      return RunOnThisThread();
    }
    const Int threads = GetCurrentThreadCount();
    const Result<void> formatted = ParallelFor(0, threads, [this](Int) { FormatWhileThereIsWork(); }, 0, 1);
    {
      std::lock_guard lock(_mutex);
      _formattingEnded = true;
    }
    _changed.notify_all();
    writer.join();
    HOST_TRY(formatted);
    return Outcome();
  }

private:
  Result<Int> RunOnThisThread()
  {
    Int notFinite = 0;
    TextBuffer out;
    for (const Piece& piece : _pieces)
    {
      if (_options.cancelled && _options.cancelled())
        return IllegalStateError(_file.GetString() + ": writing was cancelled");
      try
      {
        FormatPiece(piece, out, notFinite);
      }
      catch (const std::bad_alloc&)
      {
        return OutOfMemoryError("Not enough memory to write the OBJ file");
      }
      if (std::fwrite(out.Data(), 1, out.Size(), _f) != out.Size())
        return FileWriteError(_file, errno != 0 ? errno : EIO);
    }
    return notFinite;
  }

  void FormatPiece(const Piece& piece, TextBuffer& buffer, Int& notFinite) const
  {
    const std::size_t lines = static_cast<std::size_t>(piece.end - piece.begin);
    const PartWriter* writer = lines > 0 ? &_writers[piece.part] : nullptr;
    Cursor out{buffer.Reserve(piece.prefix.size() + (writer ? lines * writer->MaxLineBytes(piece.section) : 0))};
    out.Put(piece.prefix.data(), piece.prefix.size());
    if (writer)
      writer->Format(piece.section, piece.begin, piece.end, out, notFinite);
    buffer.SetEnd(out.p);
  }

  Result<Int> Outcome() const
  {
    if (_cancelled)
      return IllegalStateError(_file.GetString() + ": writing was cancelled");
    if (_writeFailed)
      return FileWriteError(_file, _writeErrno != 0 ? _writeErrno : EIO);
    if (_outOfMemory)
      return OutOfMemoryError("Not enough memory to write the OBJ file");
    return _notFinite.load();
  }

  Bool Stopped() const { return _cancelled || _writeFailed || _outOfMemory; }

  void FormatWhileThereIsWork()
  {
    Int notFinite = 0;
    while (true)
    {
      Int job = 0;
      {
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [this] {
          return Stopped() || _next >= static_cast<Int>(_pieces.size()) ||
                 _next < _written + static_cast<Int>(_ring.size());
        });
        if (Stopped() || _next >= static_cast<Int>(_pieces.size()))
          break;
        job = _next++;
      }
      if (_options.cancelled && _options.cancelled())
      {
        Stop(_cancelled);
        break;
      }
      const Piece& piece = _pieces[static_cast<std::size_t>(job)];
      try
      {
        FormatPiece(piece, _ring[static_cast<std::size_t>(job) % _ring.size()], notFinite);
      }
      catch (const std::bad_alloc&)
      {
        Stop(_outOfMemory);
        break;
      }
      {
        std::lock_guard lock(_mutex);
        _done[static_cast<std::size_t>(job) % _ring.size()] = true;
      }
      _changed.notify_all();
    }
    _notFinite += notFinite;
  }

  void Stop(Bool& flag)
  {
    {
      std::lock_guard lock(_mutex);
      flag = true;
    }
    _changed.notify_all();
  }

  void WriteInOrder()
  {
    Int lines = 0;
    Int nextPercent = 0;
    for (Int job = 0; job < static_cast<Int>(_pieces.size()); ++job)
    {
      const std::size_t slot = static_cast<std::size_t>(job) % _ring.size();
      {
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [&] { return _done[slot] || Stopped() || _formattingEnded; });
        if (Stopped() || !_done[slot])
          return;
      }
      const TextBuffer& text = _ring[slot];
      if (std::fwrite(text.Data(), 1, text.Size(), _f) != text.Size())
      {
        _writeErrno = errno;
        Stop(_writeFailed);
        return;
      }
      const Piece& piece = _pieces[static_cast<std::size_t>(job)];
      lines += piece.end - piece.begin;
      if (_options.progress && _total > 0 && lines >= nextPercent)
      {
        const Int32 percent = static_cast<Int32>(std::min<Int>(100, lines * 100 / _total));
        _options.progress(percent);
        nextPercent = ((static_cast<Int>(percent) + 1) * _total + 99) / 100;   // the first line count of the next percent
      }
      {
        std::lock_guard lock(_mutex);
        _done[slot] = false;
        _written = job + 1;
      }
      _changed.notify_all();
    }
  }

  std::FILE* _f;
  const std::vector<PartWriter>& _writers;
  const std::vector<Piece>& _pieces;
  const ObjWriteOptions& _options;
  const Int _total;
  const Url& _file;
  std::vector<TextBuffer> _ring;
  std::vector<Bool> _done;   // per ring slot: formatted, not yet written
  std::mutex _mutex;
  std::condition_variable _changed;
  Int _next = 0;      // the next piece to format
  Int _written = 0;   // pieces written
  Bool _formattingEnded = false;
  Bool _cancelled = false;
  Bool _writeFailed = false;
  Bool _outOfMemory = false;
  int _writeErrno = 0;
  std::atomic<Int> _notFinite{0};
};
} // namespace

const UVWStruct* PartUvws(const PolygonObject* poly)
{
  const auto* tag = static_cast<const UVWTag*>(poly->GetTag(Tuvw));
  if (!tag || tag->GetDataCount() != poly->GetPolygonCount() || tag->GetDataCount() == 0)
    return nullptr;
  return static_cast<const UVWStruct*>(tag->GetDataAddressR());
}

Result<std::vector<MeshPart>> CollectMeshParts(const BaseObject* cache)
{
  std::vector<MeshPart> parts;
  if (!cache)
    return parts;
  HOST_TRY(Collect(cache, Matrix(), parts));
  return parts;
}

Result<ObjStatistics> WriteObj(const std::vector<MeshPart>& parts, const String& name, const Url& file,
                               const ObjWriteOptions& options)
{
  ObjStatistics stats;
  std::vector<PartWriter> writers;
  std::vector<Piece> pieces;
  Int total = 0;
  try
  {
    writers.reserve(parts.size());
    Int pointBase = 1;   // OBJ indices start at 1 and run across groups
    Int uvBase = 1;
    Int normalBase = 1;
    for (const MeshPart& part : parts)
    {
      PartWriter& w = writers.emplace_back(part, pointBase, uvBase, normalBase);
      HOST_TRY(w.Prepare());
      pointBase += w.GetLines(SECTION::POINTS);
      uvBase += w.GetLines(SECTION::UVS);
      normalBase += w.GetLines(SECTION::NORMALS);
      stats.points += w.GetLines(SECTION::POINTS);
      stats.uvs += w.GetLines(SECTION::UVS);
      stats.normals += w.GetLines(SECTION::NORMALS);
      stats.polygons += w.GetLines(SECTION::FACES);
    }
    String prefix = "# " + GroupName(name) + ", written by ogx-host\n";
    for (std::size_t p = 0; p < parts.size(); ++p)
    {
      prefix += "o " + GroupName(p == 0 ? name : name + "_" + parts[p].object->GetName()) + "\n";
      for (const SECTION s : {SECTION::POINTS, SECTION::UVS, SECTION::NORMALS, SECTION::FACES})
      {
        const Int lines = writers[p].GetLines(s);
        total += lines;
        for (Int begin = 0; begin < lines; begin += LINES_PER_PIECE)
        {
          pieces.push_back(Piece{p, s, begin, std::min(begin + LINES_PER_PIECE, lines), prefix});
          prefix.clear();
        }
      }
    }
    if (prefix.IsPopulated())   // a file without lines still has its header
      pieces.push_back(Piece{0, SECTION::POINTS, 0, 0, prefix});
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError("Not enough memory to write the OBJ file");
  }
  HOST_TRY(WriteFileAtomically(file, [&](std::FILE* f) -> Result<void> {
    PieceWriter writer(f, writers, pieces, options, total, file);
    stats.notFinite = HOST_TRY(writer.Run());
    return OK;
  }));
  return stats;
}
} // namespace host::app
