// Scene documents saved and loaded as JSON.
//
// A file is one JSON object (UTF-8); every field not marked optional must be present and no other
// field is accepted, so a typo is an error rather than a silent default:
//
//   {
//     "format": "ogx-scene",              the file kind
//     "version": 2,                       format version: this host reads 1 and 2 and writes 2
//     "params": { ... },                  optional: the document's own parameters (1000 time; 1012, the
//                                         path, is never saved: loading a file sets it to the file's folder)
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
//     "selected": true,                   optional (objects): the object is selected (BIT_ACTIVE)
//     "active": true,                     optional (objects, one per file): the document's active
//                                         object, selected too
//     "nbits": [14],                      optional: the node bits that are set (NBIT numbers, 0 to 63)
//     "params": { "Size X": 800, "10002": 400, "1003": {"Float": 50.0}, ... },   optional: parameters
//     "state": { "1092": {"String": "..."}, ... },   optional (version 2): the node's other entries
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
//     {"Link": "Ridge"} (the one object of the document with that name, or else its one material, tag or
//     shader of that name)  {"Link": "Paths/Ridge"} (a path: from the top-level objects down, one name a
//     level, each the only one of its name at its level)
//     {"Custom": {"type": 1009060, "data": [ value ... ]}} (what the type's WriteData wrote)  {"None": null}
//   Floats that are not finite are written as the strings "NaN", "Infinity", "-Infinity".
//
// Parameters. In version 1, "params" holds the node's whole container by id (decimal Int32 text),
// every value typed, and nothing is checked against the node's description. In version 2 a node whose
// type has a description (the one the host builds for its interface) has its "params" checked against
// it, so a typo is an error with the place rather than a value nobody reads:
//   - a key is a parameter's id, or its name as the description gives it ("Size X"); where two
//     parameters share a name, the name of the group holding it goes before it ("Noise/Scale");
//   - a value is typed as above, or plain JSON read as the parameter's type: a number for Float and
//     Int32, true/false for Bool, [x, y, z] for Vector, text for String, and for an Int32 with named
//     values (a cycle) one of its labels ("Tessellation": "Triangles (1)"), for a Link the linked
//     node's name or path as {"Link": ...} takes it, or null; other types (custom data such as curves,
//     containers) are written typed;
//   - the value's type must be the parameter's ("Custom" data of the parameter's own type for a custom
//     data type; a Bool is stored as an Int32 of 0 or 1), and Int32 and Float values must lie inside the
//     description's hard range (attributes DESC_MIN, DESC_MAX) where it states one;
//   - a parameter written twice (by id and by name), an id or name the description does not have, or an
//     entry that holds no value (a group, a button) is an error.
// Container entries that are not parameters (status texts, stamps, saved snapshots) are a node's
// "state", by id and typed, never checked. Saving puts in "params" exactly the entries the checks take
// and the rest in "state", so a saved document always loads again. Nodes without a description (built-in
// objects, tags, materials, the document) keep version 1's "params".
//
// Loading builds into a fresh document: nodes are allocated (plug-ins through their allocation
// function and Init), given name, matrix, state and the stored parameters (merged over what Init set,
// so parameters newer than the file keep their defaults), linked into the tree; then links are
// resolved, every plug-in node's Read runs with the level it was stored at (pre-order), and every node
// is sent MSG_DOCUMENTINFO (type MSG_DOCUMENTINFO_TYPE_LOAD). A stored level above the plug-in's
// registered level is refused. Any error frees the half-built document and names the file and the
// place, e.g. "scene.json: objects[2].children[0].params.1003: expected a Float (got a Bool)". Besides
// malformed values this covers broken JSON (with line and column), JSON nested deeper than
// SCENE_MAX_JSON_DEPTH (found while parsing, so any depth is refused at once), unknown types and
// fields, a member named twice in one object, node keys used twice, links to missing keys (or to names
// and paths that find no object or more than one), polygon
// indices outside the point array and segments that do not add up to the spline's points. Links cannot
// make the tree cyclic: the tree is the nesting of the file itself. Running out of memory while reading
// is an OUT_OF_MEMORY error like any other.
//
// Saving writes the selection as "selected" and the document's active object as "active" (not among
// the state bits). It writes every node with its plug-in's registered level, calls each plug-in's Write,
// and writes to a temporary file renamed over the target, so a failed save leaves an existing file intact.
// Scene hooks, caches, undo and node identity values are not stored.
#pragma once

#include <memory>

#include "host/core/result.h"
#include "host/core/url.h"
#include "host/scene/description.h"
#include "host/scene/document.h"

namespace host
{
inline constexpr Int32 SCENE_FORMAT_VERSION = 2;
// Deepest nesting of children, shaders and sub-containers a file may have (and a document may have to
// be saved). It bounds the recursion of reading and writing to a small part of a thread's stack, so a
// hostile file cannot overflow it.
inline constexpr Int32 SCENE_MAX_DEPTH = 256;
// Deepest nesting of JSON arrays and objects a file may have. Each level of children or containers
// takes two or three JSON levels, so every file within SCENE_MAX_DEPTH stays well inside it; the parse
// stops the moment it is passed.
inline constexpr std::size_t SCENE_MAX_JSON_DEPTH = 6 * SCENE_MAX_DEPTH;

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

// For front ends that list what a file may write.
// The value type a description data type is written as ("Float", "Int32", "Bool", "Vector", "String",
// "Custom 1009060" ...); empty for entries that hold no value (groups, buttons, separators, titles).
String SceneValueTypeName(Int32 dtype);
// Whether the entry holds a value (files may write it).
Bool IsValueEntry(const DescriptionEntry& entry);
// A Float as files spell it: the shortest text that reads back the same, or "NaN", "Infinity",
// "-Infinity".
String FloatToSceneText(Float v);
struct DescriptionDeleter
{
  void operator()(Description* d) const { Description::Free(d); }
};
using DescriptionPtr = std::unique_ptr<Description, DescriptionDeleter>;
// The description version 2 files are checked against for nodes of a registered object, tag or shader
// type: a node of the type is made (allocation and Init), asked for its description as the host's
// interface would, and freed. Error for any other type, or when the node or description cannot be made.
Result<DescriptionPtr> DescribeNodeType(Int32 type);
} // namespace host
