// The front end's view of a built cache: the polygon objects in it (the mesh itself and whatever hangs
// below it, such as a hull) with their transforms, and the Wavefront OBJ writer.
#pragma once

#include <functional>
#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"
#include "host/scene/scene.h"

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

struct ObjStatistics
{
  Int points = 0;
  Int polygons = 0;
  Int uvs = 0;   // texture coordinates written (0 when no part has a UVW tag)
};

// Writes the parts as one OBJ file: per part an "o" group with its points (in the root's space), its
// texture coordinates (one per polygon corner, from the part's UVW tag when it has one with an entry per
// polygon) and its faces (triangles where the polygon's last two corners are the same). The host's UV
// space has v growing downwards and OBJ's upwards, so v is written as 1 - v. A large mesh takes a while:
// progress, when given, is called with the percent of the lines written, each time it grows.
Result<ObjStatistics> WriteObj(const std::vector<MeshPart>& parts, const String& name, const Url& file,
                               const std::function<void(Int32 percent)>& progress = {});
} // namespace host::app
