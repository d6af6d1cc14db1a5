// Scene documents saved and loaded as JSON.
//
// A file is one JSON object (UTF-8); every field not marked optional must be present and no other
// field is accepted, so a typo is an error rather than a silent default:
//
//   {
//     "format": "ogx-scene",              the file kind
//     "version": 1,                       format version (this host reads 1)
//     "params": { ... },                  optional: the document's own parameters (1000 time, 1012 path)
//     "objects": [ node ... ],            top-level objects in list order
//     "materials": [ node ... ]           optional
//   }
//
//   node:
//   {
//     "type": 1054563,                    plug-in id or built-in type id (a plug-in's description name
//                                         such as "oterrain" is accepted too)
//     "key": 7,                           optional: a number unique in the file; links name it
//     "name": "Terrain",                  optional, default ""
//     "level": 1,                         plug-in nodes only: the plug-in's disk level when written
//     "matrix": {"off": [x,y,z], "v1": [..], "v2": [..], "v3": [..]}   optional (objects), local matrix
//     "enabled": true, "editorMode": 0, "renderMode": 0                optional (objects)
//     "bits": 0,                          optional: state bits (BIT_ACTIVE ...)
//     "params": { "1003": {"Float": 50.0}, ... },   optional: the node's container
//     "data": [ value ... ],              optional: what the plug-in's Write put in its HyperFile
//     "records": [ [field, ...], ... ],   variable tags only (points 5600: [x, y, z]; polygons 5604:
//                                         [a, b, c, d]; segments 5672: [count, closed]): one array per
//                                         record, fields in the order of the type's layout
//     "children": [ node ... ],           optional (objects, shaders)
//     "tags": [ node ... ],               optional (objects)
//     "shaders": [ node ... ]             optional (any node)
//   }
//
//   value: an object with exactly one member naming its type:
//     {"Int32": 3}  {"Int64": 3}  {"Float": 0.5}  {"Bool": true} (stored as Int32 1/0)
//     {"String": "text"}  {"Vector": [x, y, z]}  {"Matrix": {"off": .., "v1": .., "v2": .., "v3": ..}}
//     {"Container": {"id": 0, "params": { ... }}}  {"Link": 7} (a node key; null: empty link)
//     {"Custom": {"type": 1009060, "data": [ value ... ]}} (what the type's WriteData wrote)  {"None": null}
//   Floats that are not finite are written as the strings "NaN", "Infinity", "-Infinity".
//   Parameter ids are the object keys, decimal Int32 text.
//
// Loading builds into a fresh document: nodes are allocated (plug-ins through their allocation
// function and Init), given name, matrix, state and the stored parameters (merged over what Init set,
// so parameters newer than the file keep their defaults), linked into the tree; then links are
// resolved, every plug-in node's Read runs with the level it was stored at (pre-order), and every node
// is sent MSG_DOCUMENTINFO (type MSG_DOCUMENTINFO_TYPE_LOAD). A stored level above the plug-in's
// registered level is refused. Any error frees the half-built document and names the file and the
// place, e.g. "scene.json: objects[2].children[0].params.1003: expected a Float (got a Bool)". Besides
// malformed values this covers broken JSON (with line and column), unknown types and fields, a member
// named twice in one object, node keys used twice, links to missing keys, polygon indices outside the
// point array and segments that do not add up to the spline's points. Links cannot make the tree
// cyclic: the tree is the nesting of the file itself.
//
// Saving writes every node with its plug-in's registered level, calls each plug-in's Write, and
// writes to a temporary file renamed over the target, so a failed save leaves an existing file intact.
// Scene hooks, caches, undo and node identity values are not stored.
#pragma once

#include "host/core/result.h"
#include "host/core/url.h"
#include "host/scene/document.h"

namespace host
{
inline constexpr Int32 SCENE_FORMAT_VERSION = 1;
// Deepest nesting of children, shaders and sub-containers a file may have (and a document may have to
// be saved). It bounds the recursion of reading and writing to a small part of a thread's stack, so a
// hostile file cannot overflow it.
inline constexpr Int32 SCENE_MAX_DEPTH = 256;

Result<void> SaveDocument(BaseDocument* doc, const Url& file);
// The file's text without writing it (sourceName names the document in errors).
Result<String> SaveDocumentToText(BaseDocument* doc, const String& sourceName = String("document"));
// A new document the caller owns (free it with BaseDocument::Free).
Result<BaseDocument*> LoadDocument(const Url& file);
Result<BaseDocument*> LoadDocumentFromText(const String& text, const String& sourceName);

// Custom data types a file may hold: the loader makes an empty value of the type and lets it read its
// data. Registering the same id with the same function again is accepted; another function is not.
using CustomDataAllocator = std::unique_ptr<CustomDataType> (*)();
Bool RegisterCustomDataType(Int32 type, CustomDataAllocator alloc);
} // namespace host
