// Small helpers on host objects, containers, paths and strings that several parts of the module share:
// why the host is building an object, where the help pages are, whether two parameter containers
// agree, which deformers lie below an object, which terrain objects a selection refers to, creating an
// object by plug-in id, the module's preferences, and string conversions.
//
// None of them keeps state. The scene helpers read the scene tree and are meant for the thread that
// owns it (the host's main thread, or the build thread for the object being built).
#pragma once

#include <string>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/string.h"
#include "host/core/url.h"
#include "host/scene/hierarchy.h"
#include "orogenix/enums.h"

// Why the host is building: from the build flags of context when there is one, then from the host's
// running states (animation, view drawing, editor and external rendering). UNKNOWN when nothing tells.
BUILDREASON GetBuildReason(HierarchyContext* context);

// The help folder in the module's directory ("help", with withIndex "help/index.html"). When that does
// not exist (or the module directory is not known), the help location from the module's strings.
Result<Url> GetHelpPath(Bool withIndex);

// With a non-empty ids list: whether a and b hold equal data under every listed id (a missing entry
// reads as empty data). Otherwise: whole-container equality. A null container reads as an empty one.
Bool ContainersEqual(const BaseContainer* a, const BaseContainer* b, const BaseArray<Int32>* ids);

// The enabled deformers strictly below object (never object itself, never anything outside its
// subtree), each once, in hierarchy order. The caller owns the array (AtomArray::Free).
Result<AtomArray*> FindDeformers(BaseObject* object);

// Appends to out, without repeats, the enabled terrain objects the active objects refer to: a selected
// terrain object itself, or for a selected operator the nearest enabled terrain object above it that
// is not listed yet. Other objects (and entries that are no objects) are ignored.
Result<void> CollectSelectedTerrainObjects(AtomArray* activeObjects, BaseArray<BaseObject*>& out);

// A new object of that plug-in id (its Init run) or, failing that, of that built-in type; null when
// neither gives an object. An id that names a plug-in of another kind (a shader, a tag) gives null.
BaseObject* AllocObjectById(Int32 pluginId);

// The module's preferences: the sub-container ID_OGX_PREFERENCES of the host's world container. When the
// world container holds no entry under that id, an empty container is stored there first (an entry of
// another kind is left alone rather than overwritten). Null when the world container or the
// sub-container cannot be had; every reader then falls back to its own default.
BaseContainer* GetOgxPreferences();

// The parts in order, the separator between two parts only once the text so far is not empty (empty
// leading parts add no separator).
String JoinStrings(const BaseArray<String>& parts, const String& separator);

// The pointer as a standard output stream writes it.
String PointerToString(const void* p);
// The string's characters as a standard string; empty when s is empty or its characters cannot be had.
std::string ToStdString(const String& s);
// As ToStdString, but a failed conversion prints "C4DToStdString: Could not get CString from s!" to
// the console.
std::string C4DToStdString(const String& s);

// ---------------------------------------------------------------------------------------------------
// Curve presets

// Replaces the knots of the curve (SplineData) stored in data under parameterId, in place, with the
// preset's knots and tangents: all knots are deleted, the preset's knots inserted in order, then its
// listed tangents set (the others keep the zero tangents of a new knot). LINEAR, and any value that is
// no preset (999, negative, above 12), make the host's default curve, the diagonal from (0, 0) to
// (1, 1). Fails with "Could not get SplineData!" when there is no curve under parameterId (nothing
// changed), and with an out-of-memory error when a knot cannot be inserted.
Result<void> ApplySplineDataPreset(BaseContainer& data, Int32 parameterId, SPLINEDATAPRESET preset);
