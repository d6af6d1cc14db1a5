// Parameter descriptions: the ordered list of entries (parameter id with data type, parent group and a
// container of numbered attributes) that the host builds for a node's interface, the resource files they
// are loaded from, and the registry that maps a type id to its resource.
//
// A plug-in's GetDDescription loads its resource (LoadDescription by type id or by name) and then edits
// the entries through GetParameterContainer and SetParameter. The host may build a description for one
// single parameter (SetSingleId); GetSingleId tells the slot so, and helpers that touch another
// parameter leave the description alone. Entries keep the order they were first inserted in;
// replacing an entry keeps its place. Attributes are stored and read back; only the scene reader looks
// at some of them: the name, the cycle and the hard range (DESC_MIN, DESC_MAX) decide what a scene file
// may write for a parameter (see scenefile.h).
//
// Resource files: <module directory>/res/description/<name>.json, one JSON object:
//
//   {
//     "format": "ogx-description",          the file kind
//     "version": 1,                         this host reads 1
//     "name": "Obaseterrainoperator",       optional; when present it must equal the file's name
//     "include": ["DterrainDistortion"],    optional: descriptions whose entries come first, in order
//     "entries": [                          the entries in order
//       { "id": 1001,                       parameter number (an Int32, not 0)
//         "type": "REAL",                   data type: a name below or a number (custom types by id)
//         "parent": 1000,                   optional parent group id, default 0 (top level)
//         "name": "Opacity",                optional shorthand for attribute 1 (DESC_NAME)
//         "nameId": 10001,                  optional: attribute 1 from the string table (not with name)
//         "attributes": { "6": {"Float": 1.0}, "14": {"Container": {"params": {"0": {"String": "A"}}}} }
//       }, ...
//     ]
//   }
//
//   type names: GROUP 1, BUTTON 8, SEPARATOR 10, TITLE 11, STATIC 12, LONG 15, REAL 19, VECTOR 23,
//               STRING 130, BOOL 400006001; any other data type is written as its number.
//   attribute values (one member naming the type): {"Int32": 3} {"Int64": 3} {"Float": 0.5}
//     {"Bool": true} (stored as Int32 1/0) {"String": "text"} {"StringId": 10073} (text from the string
//     table at load time) {"Vector": [x, y, z]} {"Container": {"id": 0, "params": {"<id>": value ...}}}
//   Attribute keys and container keys are decimal Int32 text.
//
// Every field not marked optional must be present and no other field is accepted. An entry whose id
// already came in (from an include or earlier in the file) replaces that entry in place. A bad file is
// refused with an error naming the file and the place ("odemo.json: entries[2].attributes.14: expected
// ..."), includes are followed at most 16 deep and a cycle is an error; a failed load leaves the
// description as it was.
//
// Threads: a Description is used by one thread at a time. The registry is written during start-up on
// the main thread and read from any thread afterwards (it is locked).
#pragma once

#include <vector>

#include "host/core/result.h"
#include "host/core/url.h"
#include "host/scene/basecontainer.h"
#include "host/scene/descid.h"

class AtomArray;

// Description data types beyond descid.h's.
inline constexpr Int32 DTYPE_BUTTON = 8;

// Attribute numbers of a description entry's container.
inline constexpr Int32 DESC_NAME = 1;                     // String
inline constexpr Int32 DESC_MIN = 3;                      // Int32 or Float: the smallest value it takes
inline constexpr Int32 DESC_MAX = 4;                      // Int32 or Float: the largest value it takes
inline constexpr Int32 DESC_DEFAULT = 6;                  // the default value, in the entry's type
inline constexpr Int32 DESC_ANIMATE = 10;                 // Bool: the parameter can be animated
inline constexpr Int32 DESC_UNIT = 12;                    // Int32: the unit the value is shown in
inline constexpr Int32 DESC_CYCLE = 14;                   // container: value -> name (-1: the empty entry)
inline constexpr Int32 DESC_HIDE = 15;                    // Bool
inline constexpr Int32 DESC_GROUPOPEN = 16;               // Int32/Bool: a group shows open; layout value
inline constexpr Int32 DESC_TITLEBAR = 18;                // Bool of a title entry
inline constexpr Int32 DESC_CUSTOMGUI = 21;               // Int32: the interface element that shows it
inline constexpr Int32 DESC_ICONCYCLE_LABEL = 30;         // Bool of an icon cycle entry
inline constexpr Int32 DESC_CYCLEICONS = 36;              // container: value -> icon id
inline constexpr Int32 DESC_STATICTEXT_BORDER = 2400;     // Bool of a static text entry
inline constexpr Int32 DESC_STATICTEXT_SCALE = 2405;      // Bool of a static text entry

// Interface elements named by DESC_CUSTOMGUI.
inline constexpr Int32 CUSTOMGUI_TITLE = 11;
inline constexpr Int32 CUSTOMGUI_CYCLE = 200000180;
inline constexpr Int32 CUSTOMGUI_ICONCYCLE = 200000255;

// The group that holds an object's own parameter groups.
inline constexpr Int32 DESCGROUP_PROPERTIES = 1000491;

// One level of a parameter id: the parameter number and its data type (0: any).
class ParameterId
{
public:
  Int32 id = 0;
  Int32 dtype = 0;

  constexpr ParameterId() = default;
  constexpr ParameterId(Int32 i, Int32 t = 0) : id(i), dtype(t) {}
  // The first level of a DescID.
  explicit ParameterId(const DescID& d) : id(d[0].id), dtype(d[0].dtype) {}

  DescID ToDescID() const { return DescID(DescLevel(id, dtype)); }
  // Parameters are told apart by number; the data type does not take part.
  constexpr Bool Matches(const ParameterId& other) const { return id == other.id; }
  constexpr Bool Matches(Int32 otherId) const { return id == otherId; }
  constexpr bool operator==(const ParameterId&) const = default;
};

struct DescriptionEntry
{
  ParameterId id;
  Int32 parent = 0;         // parent group id, 0 at the top level
  BaseContainer attributes;
};

class Description
{
public:
  // A new empty description; null when memory cannot be had.
  static Description* Alloc();
  static void Free(Description*& description);

  Description() = default;
  Description(const Description&) = delete;
  Description& operator=(const Description&) = delete;

  // Replaces the entries with the resource registered for the type id (the description registry,
  // then the description name of the registered plug-in). False for an unregistered type or a bad or
  // missing resource (the reason goes to the diagnostic output); the entries are then unchanged.
  Bool LoadDescription(Int32 type);
  Bool LoadDescription(const String& name);
  // The resource name of the last successful load, empty before.
  const String& GetResourceName() const { return _resource; }

  // The parameter being built when the host builds for one single parameter, else null.
  const ParameterId* GetSingleId() const { return _hasSingle ? &_single : nullptr; }
  // Host side: build for one parameter (null: the whole description).
  void SetSingleId(const ParameterId* id);

  // The entry's attribute container, writable, or null when there is no entry with that number. The
  // atom array names the nodes the description is built for; this host builds one description per
  // node, so the look-up is the same whatever it holds.
  BaseContainer* GetParameterContainer(const ParameterId& id, const AtomArray* nodes = nullptr);
  BaseContainer* GetParameterContainer(const DescID& id, const AtomArray* nodes = nullptr);
  BaseContainer* GetParameterContainer(Int32 id, const AtomArray* nodes = nullptr)
  {
    return GetParameterContainer(ParameterId(id), nodes);
  }
  const BaseContainer* GetParameterContainer(const ParameterId& id) const;

  // Inserts an entry (at the end) or replaces the one with the same number (in place) with this data
  // type, attributes and parent group. False when memory cannot be had or the id is 0.
  Bool SetParameter(const ParameterId& id, const BaseContainer& attributes, Int32 parentGroup);
  Bool SetParameter(const DescID& id, const BaseContainer& attributes, const DescID& parentGroup);

  Int32 GetEntryCount() const { return static_cast<Int32>(_entries.size()); }
  // Entry at a position in insertion order, null out of range.
  const DescriptionEntry* GetEntry(Int32 index) const;
  const DescriptionEntry* FindEntry(Int32 id) const;
  // Removes every entry (the single-id mode stays).
  void Clear();

private:
  DescriptionEntry* Find(Int32 id);

  std::vector<DescriptionEntry> _entries;
  String _resource;
  ParameterId _single;
  Bool _hasSingle = false;
};

// Registers a description resource under a type id (description fragments and the operator base).
// False for an id registered before, a name without a resource file below the module directory, or
// a registration the test switch makes fail.
Bool RegisterDescription(Int32 id, const String& name);

namespace host
{
// The folder below res/ that holds description resources.
inline constexpr const char* DESCRIPTION_FOLDER = "description";
inline constexpr Int32 DESCRIPTION_FORMAT_VERSION = 1;

// Reads a resource by name into entries (includes resolved), or says why it cannot.
Result<std::vector<DescriptionEntry>> ReadDescriptionResource(const String& name);
// The resource file of a name: <module directory>/res/description/<name>.json.
Url GetDescriptionFile(const String& name);
// The resource name for a type id: the description registry's, else the registered plug-in's
// description name; empty when neither knows the id.
String FindDescriptionName(Int32 type);

struct DescriptionRegistration
{
  Int32 id;
  String name;
  Bool result;
};
// Every RegisterDescription call in order.
std::vector<DescriptionRegistration> GetDescriptionRegistrationLog();
// Makes the n-th description registration from now fail (1 = the next one), once; 0 disarms.
void FailNthDescriptionRegistration(Int n);
// Empties the registry, its log and the failure switch (between tests).
void ResetDescriptions();
} // namespace host
