// Collecting a cache's polygon objects and writing them as Wavefront OBJ; see meshexport.h.
#include "meshexport.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "filewrite.h"
#include "host/geometry/geometrytags.h"

namespace host::app
{
namespace
{
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

// The UVW entries of a part when its UVW tag has one per polygon; null otherwise.
const UVWStruct* PartUvws(const PolygonObject* poly)
{
  const auto* tag = static_cast<const UVWTag*>(poly->GetTag(Tuvw));
  if (!tag || tag->GetDataCount() != poly->GetPolygonCount() || tag->GetDataCount() == 0)
    return nullptr;
  return static_cast<const UVWStruct*>(tag->GetDataAddressR());
}

// Text lines are gathered in a buffer and written in large pieces.
class ObjBuffer
{
public:
  explicit ObjBuffer(std::FILE* f) : _f(f) { _text.reserve(CHUNK + 256); }

  ObjBuffer& operator<<(const char* s)
  {
    _text.append(s);
    return Flush();
  }
  ObjBuffer& operator<<(const String& s)
  {
    _text.append(s);
    return Flush();
  }
  ObjBuffer& operator<<(Float v)
  {
    // The shortest text that reads back as the same double.
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    _text.append(buf, r.ptr);
    return *this;
  }
  ObjBuffer& operator<<(Int v)
  {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    _text.append(buf, r.ptr);
    return *this;
  }
  Bool Finish()
  {
    WriteOut();
    return _ok;
  }

private:
  static constexpr std::size_t CHUNK = 1 << 20;

  ObjBuffer& Flush()
  {
    if (_text.size() >= CHUNK)
      WriteOut();
    return *this;
  }
  void WriteOut()
  {
    if (_ok && !_text.empty() && std::fwrite(_text.data(), 1, _text.size(), _f) != _text.size())
      _ok = false;
    _text.clear();
  }

  std::FILE* _f;
  std::string _text;
  Bool _ok = true;
};

// A group name without line breaks (they would end the "o" line early).
String GroupName(const String& name)
{
  String out = name.IsEmpty() ? String("mesh") : name;
  for (char& c : out)
    if (c == '\n' || c == '\r')
      c = ' ';
  return out;
}
} // namespace

Result<std::vector<MeshPart>> CollectMeshParts(const BaseObject* cache)
{
  std::vector<MeshPart> parts;
  if (!cache)
    return parts;
  HOST_TRY(Collect(cache, Matrix(), parts));
  return parts;
}

Result<ObjStatistics> WriteObj(const std::vector<MeshPart>& parts, const String& name, const Url& file,
                               const std::function<void(Int32 percent)>& progress)
{
  ObjStatistics stats;
  // Lines to write (points, texture coordinates, faces), for the progress.
  Int total = 0;
  for (const MeshPart& part : parts)
  {
    const Int polyCount = part.object->GetPolygonCount();
    total += part.object->GetPointCount() + polyCount + (PartUvws(part.object) ? 4 * polyCount : 0);
  }
  // One call per line written; the percent is worked out only when the next whole percent is reached.
  Int done = 0;
  Int next = 0;
  const auto advance = [&](Int lines) {
    done += lines;
    if (!progress || total == 0 || done < next)
      return;
    const Int32 percent = static_cast<Int32>(std::min<Int>(100, done * 100 / total));
    progress(percent);
    next = ((static_cast<Int>(percent) + 1) * total + 99) / 100;   // the first line count of the next percent
  };
  const auto write = [&](std::FILE* f) -> Bool {
    ObjBuffer out(f);
    out << "# " << GroupName(name) << ", written by ogx-host\n";
    Int pointBase = 1;   // OBJ indices start at 1 and run across groups
    Int uvBase = 1;
    for (std::size_t p = 0; p < parts.size(); ++p)
    {
      const PolygonObject* poly = parts[p].object;
      const Matrix& m = parts[p].toRoot;
      out << "o " << GroupName(p == 0 ? name : name + "_" + poly->GetName()) << "\n";
      const Vector* points = poly->GetPointR();
      const Int32 pointCount = poly->GetPointCount();
      for (Int32 i = 0; i < pointCount; ++i)
      {
        const Vector v = m * points[i];
        out << "v " << v.x << " " << v.y << " " << v.z << "\n";
        advance(1);
      }
      const CPolygon* polys = poly->GetPolygonR();
      const Int32 polyCount = poly->GetPolygonCount();
      const UVWStruct* uvws = PartUvws(poly);
      if (uvws)
        for (Int32 i = 0; i < polyCount; ++i)
        {
          const Int corners = polys[i].IsTriangle() ? 3 : 4;
          const Vector uv[4] = {uvws[i].a, uvws[i].b, uvws[i].c, uvws[i].d};
          for (Int k = 0; k < corners; ++k)
            out << "vt " << uv[k].x << " " << (1.0 - uv[k].y) << "\n";
          advance(4);
        }
      Int uv = uvBase;
      for (Int32 i = 0; i < polyCount; ++i)
      {
        const CPolygon& q = polys[i];
        const Int corners = q.IsTriangle() ? 3 : 4;
        const Int32 index[4] = {q.a, q.b, q.c, q.d};
        out << "f";
        for (Int k = 0; k < corners; ++k)
        {
          out << " " << (pointBase + index[k]);
          if (uvws)
            out << "/" << uv++;
        }
        out << "\n";
        advance(1);
      }
      stats.points += pointCount;
      stats.polygons += polyCount;
      stats.uvs += uv - uvBase;
      pointBase += pointCount;
      uvBase = uv;
    }
    return out.Finish();
  };
  HOST_TRY(WriteFileAtomically(file, write));
  return stats;
}
} // namespace host::app
