#include "common/ogx_geometry.h"

#include <cmath>
#include <limits>

#include "host/geometry/modeling.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int MAX_ELEMENT_COUNT = std::numeric_limits<Int32>::max();

Bool IsTriangleMode(PLANETESSELATIONMODE mode)
{
  // TRIS1 and TRIS2; every other value (unknown ones included) builds quads.
  return static_cast<UInt32>(static_cast<Int32>(mode)) - 1u < 2u;
}

Bool IsUsableSize(Float size)
{
  return std::isfinite(size) && size > 0.0;
}

// Frees the temporary document when the scope ends, whatever the path.
struct DocumentGuard
{
  BaseDocument* doc = nullptr;
  ~DocumentGuard() { BaseDocument::Free(doc); }
};
} // namespace

Int PlaneGeometryLoopThreads(Int pointCount)
{
  return OGX::ThreadsFor(pointCount, OGX::LOOP_SERIAL_ITEMS);
}

void CreatePlaneGeometryRows(const PlaneGeometryRowsJob& job, Int32 j)
{
  const Int32 segX = job.segX;
  const Int stride = static_cast<Int>(segX) + 1;
  const Int rowStart = stride * j;
  const Float z = job.sizeY * 0.5 - j * job.cellSizeY;
  const Float halfX = job.sizeX * 0.5;
  const Bool cellRow = j < job.segY;
  const Bool uvw = job.uvwTag && job.uvwHandle;
  const Float vTop = j * job.inverseSegY;
  const Float vBottom = (j + 1) * job.inverseSegY;
  const Vector zero;

  for (Int32 i = 0; i <= segX; ++i)
  {
    job.points[rowStart + i] = Vector(i * job.cellSizeX - halfX, 0.0, z);
    if (!cellRow || i >= segX)
      continue;

    const Int32 a = static_cast<Int32>(rowStart + i);
    const Int32 b = a + 1;
    const Int32 c = static_cast<Int32>(a + stride);
    const Int32 d = c + 1;
    const Int q = static_cast<Int>(segX) * j + i;
    const Float uLeft = i * job.inverseSegX;
    const Float uRight = (i + 1) * job.inverseSegX;
    const Vector uvA(uLeft, vTop, 0.0);
    const Vector uvB(uRight, vTop, 0.0);
    const Vector uvC(uLeft, vBottom, 0.0);
    const Vector uvD(uRight, vBottom, 0.0);

    switch (job.mode)
    {
      case PLANETESSELATIONMODE::TRIS1:
        job.polygons[2 * q] = CPolygon(a, b, d, d);
        job.polygons[2 * q + 1] = CPolygon(d, c, a, a);
        if (uvw)
        {
          // A triangle's fourth UVW is zero, not a copy of the third.
          UVWTag::Set(job.uvwHandle, static_cast<Int32>(2 * q), UVWStruct(uvA, uvB, uvD, zero));
          UVWTag::Set(job.uvwHandle, static_cast<Int32>(2 * q + 1), UVWStruct(uvD, uvC, uvA, zero));
        }
        break;
      case PLANETESSELATIONMODE::TRIS2:
        job.polygons[2 * q] = CPolygon(b, c, a, a);
        job.polygons[2 * q + 1] = CPolygon(b, d, c, c);
        if (uvw)
        {
          UVWTag::Set(job.uvwHandle, static_cast<Int32>(2 * q), UVWStruct(uvB, uvC, uvA, zero));
          UVWTag::Set(job.uvwHandle, static_cast<Int32>(2 * q + 1), UVWStruct(uvB, uvD, uvC, zero));
        }
        break;
      default:
        job.polygons[q] = CPolygon(b, d, c, a);
        if (uvw)
          UVWTag::Set(job.uvwHandle, static_cast<Int32>(q), UVWStruct(uvB, uvD, uvC, uvA));
        break;
    }
  }
}

Result<void> CreatePlaneGeometryRowsWorker(const PlaneGeometryRowsJob& job, Int row)
{
  // The row is filled even when the loop is being cancelled; the cancellation is still its result.
  const Bool cancelled = OGX::LoopBreakRequested(row, OGX::BREAKMASK_ROWS, job.thread);
  CreatePlaneGeometryRows(job, static_cast<Int32>(row));
  if (cancelled)
    return OGX::LoopCancelledError("CreatePlaneGeometry()");
  return OK;
}

Result<void> CreatePlaneGeometryRowsDispatch(const PlaneGeometryRowsJob& job, Int threadCount)
{
  return ParallelFor(
    0, static_cast<Int>(job.segY) + 1, [&job](Int row) { return CreatePlaneGeometryRowsWorker(job, row); },
    threadCount, OGX::LOOP_GRANULARITY);
}

Result<PolygonObject*> CreatePlaneGeometry(Float sizeX, Float sizeY, Int32 segX, Int32 segY,
                                           PLANETESSELATIONMODE mode, Bool withUVW, HostThread* thread)
{
  // Negative and non-finite values are refused with the zero case: none of them makes a plane.
  if (!IsUsableSize(sizeX) || !IsUsableSize(sizeY) || segX <= 0 || segY <= 0)
    return IllegalArgumentError("A size or segments parameter is 0!");

  // Counted in 64 bits: (segX + 1) * (segY + 1) overflows Int32 long before the segment counts do.
  const Int pointCount = (static_cast<Int>(segX) + 1) * (static_cast<Int>(segY) + 1);
  const Int polygonCount = static_cast<Int>(segX) * segY * (IsTriangleMode(mode) ? 2 : 1);
  if (pointCount > MAX_ELEMENT_COUNT || polygonCount > MAX_ELEMENT_COUNT)
    return IllegalArgumentError("The plane's point or polygon count exceeds the host's limit!");

  // The rows write every point, polygon and UVW entry, and a plane whose rows did not all run is freed,
  // so the arrays are not cleared first: for a large terrain that would be a pass over gigabytes.
  PolygonObject* op = PolygonObject::Alloc(static_cast<Int32>(pointCount), static_cast<Int32>(polygonCount),
                                           RECORDINIT::UNWRITTEN);
  if (!op)
    return OutOfMemoryError("Could not allocate PolygonObject!");
  auto fail = [&op](Error error) -> Result<PolygonObject*> {
    BaseObject* o = op;
    BaseObject::Free(o);
    op = nullptr;
    return error;
  };

  PlaneGeometryRowsJob job;
  job.polygons = op->GetPolygonW();
  if (!job.polygons)
    return fail(NullptrError("PolygonObject::GetPolygonW() failed!"));
  job.points = op->GetPointW();
  if (!job.points)
    return fail(NullptrError("PolygonObject::GetPointW() failed!"));

  if (withUVW)
  {
    job.uvwTag =
      static_cast<UVWTag*>(op->MakeVariableTag(Tuvw, static_cast<Int32>(polygonCount), nullptr, RECORDINIT::UNWRITTEN));
    job.uvwHandle = job.uvwTag ? job.uvwTag->GetDataAddressW() : nullptr;
    if (!job.uvwHandle)
      return fail(NullptrError("Could not allocate UVWTag!"));
  }

  job.sizeX = sizeX;
  job.sizeY = sizeY;
  job.segX = segX;
  job.segY = segY;
  job.cellSizeX = sizeX / segX;
  job.cellSizeY = sizeY / segY;
  job.inverseSegX = 1.0 / segX;
  job.inverseSegY = 1.0 / segY;
  job.mode = mode;
  job.thread = thread;

  const Result<void> rows = CreatePlaneGeometryRowsDispatch(job, PlaneGeometryLoopThreads(pointCount));
  if (rows.IsError())
    return fail(rows.GetError());
  return op;
}

Result<BaseObject*> CurrentStateToObject(BaseObject* object)
{
  if (!object)
    return NullptrError("objectPtr must not be NULL!");

  DocumentGuard temp{BaseDocument::Alloc()};
  if (!temp.doc)
    return OutOfMemoryError("Could not allocate temporary document!");

  BaseObject* clone = object->GetClone(COPYFLAGS::NONE);
  if (!clone)
    return OutOfMemoryError("Could not clone input object!");
  if (!temp.doc->InsertObject(clone, nullptr))
  {
    BaseObject::Free(clone);
    return UnexpectedError("Could not insert the input object's clone into the temporary document!");
  }

  ModelingCommandData command;
  command.doc = temp.doc;
  command.op = clone;
  const Bool ok = SendModelingCommand(MCOMMAND_CURRENTSTATETOOBJECT, command);
  BaseList2D* first = ok && command.result ? command.result->GetIndex(0) : nullptr;
  // Anything beyond element 0 is not handed out, so it is freed here rather than lost.
  if (command.result)
    for (Int32 i = 1; i < command.result->GetCount(); ++i)
      if (BaseList2D* extra = command.result->GetIndex(i); extra && extra != first)
        host::FreeNode(extra);
  if (!first || first->GetKind() != NODEKIND::OBJECT)
  {
    host::FreeNode(first);
    return UnexpectedError("An error occurred while executing MCOMMAND_CURRENTSTATETOOBJECT!");
  }
  BaseObject* result = static_cast<BaseObject*>(first);
  result->SetMg(object->GetMg());
  return result;
}
