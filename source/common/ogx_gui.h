// Interface helpers the plug-in classes share: editing parameter descriptions, the menu sort prefix,
// walking and counting the layers of a field list, copying bitmap rectangles with alpha, saving an
// exported map through the save dialog, and reading the keyboard qualifiers.
//
// Description helpers: while the host builds the description of one single parameter, a helper whose
// parameter is another one changes nothing and answers true. A null description counts as a missing
// entry (false). They run on the thread that builds the description.
// Field helpers read (and RemoveUnusableFieldLayers edits) one list; they hold no state.
// Bitmap helpers clip to both bitmaps, so no rectangle reads or writes outside either one.
#pragma once

#include <span>

#include "host/core/result.h"
#include "host/fields/fieldlist.h"
#include "host/imaging/bitmap.h"
#include "host/scene/description.h"

class GeListNode;

// One (value, name) pair of a cycle; `id` and `name` are the member names SetDescriptionCycleEntries
// reads, so any record with those two members (a custom output, for one) can be passed as it is.
struct DescriptionCycleEntry
{
  Int32 id = 0;
  String name;
};

// ---------------------------------------------------------------------------------------------------
// Descriptions

// Shows or hides the entry (DESC_HIDE = !show), looked up with an atom array holding the node. True when
// the entry exists.
Bool SetDescriptionParameterHidden(GeListNode* node, Description* description, Int32 parameter, Bool show);
// DESC_UNIT (12) = value. False when the entry is missing.
Bool SetDescriptionInt32Attribute(GeListNode* node, Description* description, Int32 parameter, Int32 dataType,
                                  Int32 value);
// DESC_DEFAULT (6) = the value read as Int32, Float or Vector for those data types; any other type
// changes nothing. False when the entry is missing.
Bool SetDescriptionValueAttribute(GeListNode* node, Description* description, Int32 parameter, Int32 dataType,
                                  const GeData& value);
// The attribute = the value as Int32, Float, Vector, String or Bool (the value's Int32 != 0) for those
// data types; any other type changes nothing. False when the entry is missing.
Bool SetDescriptionTypedAttribute(GeListNode* node, Description* description, Int32 parameter, Int32 dataType,
                                  Int32 attribute, const GeData& value);
// True when the entry's cycle names the value with a non-empty name; false when the description, the
// entry or its cycle is missing.
Bool GetDescriptionCycle(GeListNode* node, Description* description, Int32 parameter, Int32 value);

namespace ogx_gui_detail
{
enum class LOOKUP
{
  SKIP,      // another single parameter is being built: leave it alone
  MISSING,   // no description or no such entry
  FOUND,
};
LOOKUP FindEntry(Description* description, Int32 parameter, Int32 dataType, BaseContainer*& entry);
} // namespace ogx_gui_detail

// Adds cycle values to the entry's cycle (DESC_CYCLE): a copy of the cycle gets an empty name under -1
// first when withEmpty, then each entry's (id, name) in order (equal ids overwrite), and is stored back;
// values already in the cycle stay. False when the entry is missing.
template <typename Range>
Bool SetDescriptionCycleEntries(GeListNode* node, Description* description, Int32 parameter, const Range& entries,
                                Bool withEmpty)
{
  (void)node;
  BaseContainer* entry = nullptr;
  switch (ogx_gui_detail::FindEntry(description, parameter, DTYPE_LONG, entry))
  {
    case ogx_gui_detail::LOOKUP::SKIP: return true;
    case ogx_gui_detail::LOOKUP::MISSING: return false;
    case ogx_gui_detail::LOOKUP::FOUND: break;
  }
  BaseContainer cycle = entry->GetContainer(DESC_CYCLE);
  if (withEmpty)
    cycle.SetString(-1, String());
  for (const auto& e : entries)
    cycle.SetString(e.id, e.name);
  entry->SetContainer(DESC_CYCLE, cycle);
  return true;
}

// Adds an Int32 cycle entry under the parent group: DESC_NAME name, DESC_GROUPOPEN (16) layoutValue,
// DESC_ANIMATE true, DESC_CUSTOMGUI CUSTOMGUI_CYCLE, DESC_CYCLE cycle, DESC_CYCLEICONS icons when given.
Bool AddDescriptionCycleParameter(Description* description, Int32 parameter, Int32 parentGroup, const String& name,
                                  const BaseContainer& cycle, const BaseContainer* icons, Int32 layoutValue);
// Adds an Int32 entry shown as one icon: a cycle with the name under 0, icons with iconId under 0, an
// empty DESC_NAME, DESC_GROUPOPEN 0, DESC_ICONCYCLE_LABEL showLabel, DESC_ANIMATE false and
// CUSTOMGUI_ICONCYCLE. singleId is the description's single-id record (null: whole description).
Bool AddDescriptionIconCycleParameter(Description* description, const ParameterId* singleId, Int32 parameter,
                                      const String& name, Int32 parentGroup, Int32 iconId, Bool showLabel);
// Adds a static text entry (DTYPE_STATIC) with the name and both static-text switches set.
Bool AddDescriptionStaticEntry(Description* description, const ParameterId* singleId, Int32 parentGroup,
                               Int32 parameter, const String& name);
// Adds a title entry (DTYPE_TITLE): CUSTOMGUI_TITLE, the name, DESC_TITLEBAR titleBar.
Bool AddDescriptionTitleEntry(Description* description, const ParameterId* singleId, Int32 parentGroup,
                              Int32 parameter, const String& name, Bool titleBar);

// ---------------------------------------------------------------------------------------------------
// Menus

// "#$" and the decimal sort order, which the host sorts the module's menu entries by; "" for -1 (no
// sorting wanted).
String MenuSortPrefix(Int32 sortOrder);

// ---------------------------------------------------------------------------------------------------
// Field layers

// The next layer in depth-first order (first child, else next sibling, else the next sibling of the
// nearest ancestor that has one); null at the end and for null.
FieldLayer* GetNextFieldLayer(const FieldLayer* layer);
// False for null or when the flag query with these flags (0: every bit) has a bit of 0x107; otherwise
// true when the layer links a live object, and without one only for a solid layer (440000250).
Bool IsFieldLayerUsable(const FieldLayer* layer, Int32 flags);
// Bit 0 of the layer's state word (enabled); false for null.
Bool HasHostFlag(const FieldLayer* layer);
// The usable and enabled layers of the whole tree; -1 for a null list.
Int32 CountEnabledFieldLayers(const FieldList* fieldList, Int32 flags);
// Removes the top-level layers IsFieldLayerUsable rejects (children are not visited) and answers the
// list's layer count afterwards. Error for a null list.
Result<Int32> RemoveUnusableFieldLayers(FieldList* fieldList, Int32 flags);

// ---------------------------------------------------------------------------------------------------
// Bitmaps

// A bitmap with the size its user works with.
struct BitmapRecord
{
  BaseBitmap* bitmap = nullptr;
  Int32 width = 0;
  Int32 height = 0;
};

// Copies the source rectangle (srcX, srcY, width, height) to (destX, destY), each pixel blended by the
// source alpha a: component = dest + (src - dest) * a / 255, truncated; a destination alpha below a is
// raised to a. Does nothing unless both records and bitmaps are there and the source has alpha. The
// rectangle is clipped to the destination record's size (and to both bitmaps).
void DrawBitmapRect(const BitmapRecord* source, const BitmapRecord* destination, Int32 srcX, Int32 srcY, Int32 width,
                    Int32 height, Int32 destX, Int32 destY);
// The same on bare bitmaps: the destination's own size, and a source without alpha counts as opaque.
void BlendBitmapRect(BaseBitmap* source, BaseBitmap* destination, Int32 srcX, Int32 srcY, Int32 width, Int32 height,
                     Int32 destX, Int32 destY);

// Offers an exported map to the user as a TIFF file: the host's save dialog, titled with string 10029,
// proposes fileName (path separators in it made '_', so the file stays in the folder the user picks)
// with the suffix "tif"; a confirmed file is written with 32-bit float channels, and a failed save shows
// string 10033 in a message dialog. A cancelled dialog does nothing. The bitmap stays the caller's.
void SaveMapWithDialog(const BaseBitmap& map, const String& fileName);

// ---------------------------------------------------------------------------------------------------
// Keyboard

// True when the host answers the keyboard qualifier query and any bit of mask is held
// (QUALIFIER_SHIFT = 1).
Bool IsQualifierPressed(Int32 mask);
