// The front end's view of a built cache: the polygon objects in it (the mesh itself and whatever hangs
// below it, such as a hull) with their transforms, and the Wavefront OBJ writer.
#pragma once

#include <functional>
#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"
#include "host/scene/scene.h"

struct UVWStruct;

namespace host::app
{
struct MeshPart
{
  const PolygonObject* object = nullptr;
  Matrix toRoot;   // into the space of the cache's root (identity for the root itself)
};

// The polygon objects of a built cache in hierarchy order (the root first when it is one), each checked
// to have polygon corners inside its point array. Other objects are passed through (their children are
// still visited) and contribute nothing. Error for a corner outside the points:
// "<object name>: polygon <i> refers to point <j>, but there are <n> points".
Result<std::vector<MeshPart>> CollectMeshParts(const BaseObject* cache);

// The UVW entries of a part when its UVW tag has one per polygon; null otherwise.
const UVWStruct* PartUvws(const PolygonObject* poly);

struct ObjStatistics
{
  Int points = 0;
  Int polygons = 0;
  Int uvs = 0;         // texture coordinates written (0 when no part has a UVW tag)
  Int normals = 0;     // vertex normals written (0 when no part has phong shading)
  Int notFinite = 0;   // points with a coordinate that is not a finite number
};

struct ObjWriteOptions
{
  // Called with the percent of the lines written, each time it grows (from whichever thread writes).
  std::function<void(Int32 percent)> progress;
  // Asked between pieces of the file; true stops the write (the file is not written).
  std::function<Bool()> cancelled;
};

// Writes the parts as one OBJ file, per part an "o" group with:
//  - its points ("v", in the root's space);
//  - its texture coordinates ("vt", from the part's UVW tag when it has one with an entry per polygon),
//    each written once and shared by the faces that use it: one per point when the corners at a point
//    agree (a terrain plane), and one more for each other value a corner has. The host's UV space has
//    v growing downwards and OBJ's upwards, so v is written as 1 - v;
//  - where the part has phong shading (a phong tag), one vertex normal per point ("vn"): the normalised
//    sum of the normals of its polygons, weighted by their area and turned by their corner order as OBJ
//    readers turn them (counter-clockwise is the front); a point whose polygons have no area points up;
//  - its faces ("f", triangles where the polygon's last two corners are the same).
// Numbers are the shortest text that reads back the same (normals as 32-bit floats). Pieces of the file
// are formatted on all threads and written in order, so the file is the same for a given mesh whatever
// the threads. Error "<file>: writing was cancelled" when options.cancelled says so, and the errors of
// WriteFileAtomically.
Result<ObjStatistics> WriteObj(const std::vector<MeshPart>& parts, const String& name, const Url& file,
                               const ObjWriteOptions& options = {});
} // namespace host::app
