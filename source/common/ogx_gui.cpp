#include "common/ogx_gui.h"

#include <algorithm>

#include "host/gui/dialogs.h"
#include "host/gui/keyboard.h"
#include "host/scene/document.h"
#include "host/scene/resource.h"

namespace ogx_gui_detail
{
LOOKUP FindEntry(Description* description, Int32 parameter, Int32 dataType, BaseContainer*& entry)
{
  entry = nullptr;
  if (!description)
    return LOOKUP::MISSING;
  const ParameterId id(parameter, dataType);
  if (const ParameterId* single = description->GetSingleId(); single && !id.Matches(*single))
    return LOOKUP::SKIP;
  entry = description->GetParameterContainer(id);
  return entry ? LOOKUP::FOUND : LOOKUP::MISSING;
}
} // namespace ogx_gui_detail

namespace
{
using ogx_gui_detail::FindEntry;
using ogx_gui_detail::LOOKUP;

// Writes the value under the attribute as the data type says; false when the type is none of these.
Bool StoreTyped(BaseContainer& entry, Int32 attribute, Int32 dataType, const GeData& value, Bool withStringAndBool)
{
  switch (dataType)
  {
    case DTYPE_LONG: entry.SetInt32(attribute, value.GetInt32()); return true;
    case DTYPE_REAL: entry.SetFloat(attribute, value.GetFloat()); return true;
    case DTYPE_VECTOR: entry.SetVector(attribute, value.GetVector()); return true;
    default: break;
  }
  if (!withStringAndBool)
    return false;
  switch (dataType)
  {
    case DTYPE_STRING: entry.SetString(attribute, value.GetString()); return true;
    case DTYPE_BOOL: entry.SetBool(attribute, value.GetInt32() != 0); return true;
    default: return false;
  }
}

Bool IsOtherSingleId(const ParameterId* singleId, Int32 parameter)
{
  return singleId && !singleId->Matches(parameter);
}

// The common body of both bitmap copies. Pixels whose source or destination lies outside the bitmaps are
// skipped: the clip rules bound only the destination's right and bottom edges.
void CopyRect(const BaseBitmap* src, BaseBitmap* dst, Int32 destW, Int32 destH, Int32 srcX, Int32 srcY, Int32 width,
              Int32 height, Int32 destX, Int32 destY)
{
  const Int32 w = std::min(width, destW);
  const Int32 rows = std::min(height, destH - destY);
  const Int32 cols = std::min(w, destW - destX);
  const Bool destAlpha = dst->HasAlpha();
  for (Int32 j = 0; j < rows; ++j)
  {
    const Int32 sy = srcY + j;
    const Int32 dy = destY + j;
    if (sy < 0 || sy >= src->GetBh() || dy < 0 || dy >= dst->GetBh())
      continue;
    for (Int32 i = 0; i < cols; ++i)
    {
      const Int32 sx = srcX + i;
      const Int32 dx = destX + i;
      if (sx < 0 || sx >= src->GetBw() || dx < 0 || dx >= dst->GetBw())
        continue;
      const Int32 a = src->GetAlpha(sx, sy);   // 255 for a bitmap without alpha
      UInt16 sr = 0, sg = 0, sb = 0, dr = 0, dg = 0, db = 0;
      src->GetPixel(sx, sy, &sr, &sg, &sb);
      dst->GetPixel(dx, dy, &dr, &dg, &db);
      // The whole sum is truncated, so a half-covered pixel never rounds towards the source.
      auto mix = [a](Int32 d, Int32 s) { return static_cast<Int32>(d + (s - d) * a / 255.0); };
      dst->SetPixel(dx, dy, mix(dr, sr), mix(dg, sg), mix(db, sb));
      if (destAlpha && dst->GetAlpha(dx, dy) < a)
        dst->SetAlpha(dx, dy, static_cast<UChar>(a));
    }
  }
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Descriptions

Bool SetDescriptionParameterHidden(GeListNode* node, Description* description, Int32 parameter, Bool show)
{
  if (!description)
    return false;
  const ParameterId id(parameter);
  if (IsOtherSingleId(description->GetSingleId(), parameter))
    return true;
  AtomArray* nodes = AtomArray::Alloc();
  if (!nodes)
    return false;
  BaseContainer* entry = nullptr;
  if (nodes->Append(static_cast<BaseList2D*>(node)))
    entry = description->GetParameterContainer(id, nodes);
  AtomArray::Free(nodes);
  if (!entry)
    return false;
  entry->SetBool(DESC_HIDE, !show);
  return true;
}

Bool SetDescriptionInt32Attribute(GeListNode*, Description* description, Int32 parameter, Int32 dataType, Int32 value)
{
  BaseContainer* entry = nullptr;
  switch (FindEntry(description, parameter, dataType, entry))
  {
    case LOOKUP::SKIP: return true;
    case LOOKUP::MISSING: return false;
    case LOOKUP::FOUND: break;
  }
  entry->SetInt32(DESC_UNIT, value);
  return true;
}

Bool SetDescriptionValueAttribute(GeListNode*, Description* description, Int32 parameter, Int32 dataType,
                                  const GeData& value)
{
  BaseContainer* entry = nullptr;
  switch (FindEntry(description, parameter, dataType, entry))
  {
    case LOOKUP::SKIP: return true;
    case LOOKUP::MISSING: return false;
    case LOOKUP::FOUND: break;
  }
  StoreTyped(*entry, DESC_DEFAULT, dataType, value, false);
  return true;
}

Bool SetDescriptionTypedAttribute(GeListNode*, Description* description, Int32 parameter, Int32 dataType,
                                  Int32 attribute, const GeData& value)
{
  BaseContainer* entry = nullptr;
  switch (FindEntry(description, parameter, dataType, entry))
  {
    case LOOKUP::SKIP: return true;
    case LOOKUP::MISSING: return false;
    case LOOKUP::FOUND: break;
  }
  StoreTyped(*entry, attribute, dataType, value, true);
  return true;
}

Bool GetDescriptionCycle(GeListNode*, Description* description, Int32 parameter, Int32 value)
{
  BaseContainer* entry = nullptr;
  switch (FindEntry(description, parameter, DTYPE_LONG, entry))
  {
    case LOOKUP::SKIP: return true;
    case LOOKUP::MISSING: return false;
    case LOOKUP::FOUND: break;
  }
  const BaseContainer* cycle = entry->GetContainerInstance(DESC_CYCLE);
  return cycle && cycle->GetType(value) == DA_STRING && cycle->GetString(value).IsPopulated();
}

Bool AddDescriptionCycleParameter(Description* description, Int32 parameter, Int32 parentGroup, const String& name,
                                  const BaseContainer& cycle, const BaseContainer* icons, Int32 layoutValue)
{
  if (!description)
    return false;
  if (IsOtherSingleId(description->GetSingleId(), parameter))
    return true;
  BaseContainer bc;
  bc.SetString(DESC_NAME, name);
  bc.SetInt32(DESC_GROUPOPEN, layoutValue);
  bc.SetBool(DESC_ANIMATE, true);
  bc.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_CYCLE);
  bc.SetContainer(DESC_CYCLE, cycle);
  if (icons)
    bc.SetContainer(DESC_CYCLEICONS, *icons);
  return description->SetParameter(ParameterId(parameter, DTYPE_LONG), bc, parentGroup);
}

Bool AddDescriptionIconCycleParameter(Description* description, const ParameterId* singleId, Int32 parameter,
                                      const String& name, Int32 parentGroup, Int32 iconId, Bool showLabel)
{
  if (!description)
    return false;
  if (IsOtherSingleId(singleId, parameter))
    return true;
  BaseContainer cycle;
  cycle.SetString(0, name);
  BaseContainer icons;
  icons.SetInt32(0, iconId);
  BaseContainer bc;
  bc.SetString(DESC_NAME, String());
  bc.SetInt32(DESC_GROUPOPEN, 0);
  bc.SetContainer(DESC_CYCLE, cycle);
  bc.SetBool(DESC_ICONCYCLE_LABEL, showLabel);
  bc.SetBool(DESC_ANIMATE, false);
  bc.SetContainer(DESC_CYCLEICONS, icons);
  bc.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_ICONCYCLE);
  return description->SetParameter(ParameterId(parameter, DTYPE_LONG), bc, parentGroup);
}

Bool AddDescriptionStaticEntry(Description* description, const ParameterId* singleId, Int32 parentGroup,
                               Int32 parameter, const String& name)
{
  if (!description)
    return false;
  if (IsOtherSingleId(singleId, parameter))
    return true;
  BaseContainer bc;
  bc.SetString(DESC_NAME, name);
  bc.SetBool(DESC_STATICTEXT_BORDER, true);
  bc.SetBool(DESC_STATICTEXT_SCALE, true);
  return description->SetParameter(ParameterId(parameter, DTYPE_STATIC), bc, parentGroup);
}

Bool AddDescriptionTitleEntry(Description* description, const ParameterId* singleId, Int32 parentGroup,
                              Int32 parameter, const String& name, Bool titleBar)
{
  if (!description)
    return false;
  if (IsOtherSingleId(singleId, parameter))
    return true;
  BaseContainer bc;
  bc.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_TITLE);
  bc.SetString(DESC_NAME, name);
  bc.SetBool(DESC_TITLEBAR, titleBar);
  return description->SetParameter(ParameterId(parameter, DTYPE_TITLE), bc, parentGroup);
}

// ---------------------------------------------------------------------------------------------------
// Menus

String MenuSortPrefix(Int32 sortOrder)
{
  if (sortOrder == -1)
    return String();
  return "#$" + String::IntToString(sortOrder);
}

// ---------------------------------------------------------------------------------------------------
// Field layers

FieldLayer* GetNextFieldLayer(const FieldLayer* layer)
{
  if (!layer)
    return nullptr;
  if (FieldLayer* down = layer->GetDown())
    return down;
  for (const FieldLayer* l = layer; l; l = l->GetUp())
    if (FieldLayer* next = l->GetNext())
      return next;
  return nullptr;
}

Bool IsFieldLayerUsable(const FieldLayer* layer, Int32 flags)
{
  if (!layer || (layer->GetLayerFlags(flags) & FIELDLAYER_FLAGS_UNUSABLE) != 0)
    return false;
  return layer->HasLinkedData() || layer->GetType() == FLsolid;
}

Bool HasHostFlag(const FieldLayer* layer)
{
  return layer && (layer->GetState() & FIELDLAYER_STATE_ENABLED) != 0;
}

Int32 CountEnabledFieldLayers(const FieldList* fieldList, Int32 flags)
{
  if (!fieldList)
    return -1;
  Int32 count = 0;
  for (const FieldLayer* l = fieldList->GetFirstLayer(); l; l = GetNextFieldLayer(l))
    if (IsFieldLayerUsable(l, flags) && HasHostFlag(l))
      ++count;
  return count;
}

Result<Int32> RemoveUnusableFieldLayers(FieldList* fieldList, Int32 flags)
{
  if (!fieldList)
    return NullptrError("fieldList must not be nullptr!");
  FieldLayer* layer = fieldList->GetFirstLayer();
  while (layer)
  {
    FieldLayer* next = layer->GetNext();
    if (!IsFieldLayerUsable(layer, flags))
      fieldList->RemoveLayer(layer);
    layer = next;
  }
  return fieldList->GetLayerCount();
}

// ---------------------------------------------------------------------------------------------------
// Bitmaps

void DrawBitmapRect(const BitmapRecord* source, const BitmapRecord* destination, Int32 srcX, Int32 srcY, Int32 width,
                    Int32 height, Int32 destX, Int32 destY)
{
  if (!source || !destination || !source->bitmap || !destination->bitmap || !source->bitmap->HasAlpha())
    return;
  CopyRect(source->bitmap, destination->bitmap, destination->width, destination->height, srcX, srcY, width, height,
           destX, destY);
}

void BlendBitmapRect(BaseBitmap* source, BaseBitmap* destination, Int32 srcX, Int32 srcY, Int32 width, Int32 height,
                     Int32 destX, Int32 destY)
{
  if (!source || !destination)
    return;
  CopyRect(source, destination, destination->GetBw(), destination->GetBh(), srcX, srcY, width, height, destX, destY);
}

// ---------------------------------------------------------------------------------------------------
// Keyboard

void SaveMapWithDialog(const BaseBitmap& map, const String& fileName)
{
  constexpr Int32 IDS_EXPORT_TITLE = 10029;
  constexpr Int32 IDS_EXPORT_FAILED = 10033;
  constexpr const char* TIFF_SUFFIX = "tif";

  String name(fileName);
  for (char& c : name)
    if (c == '/' || c == '\\')
      c = '_';
  // The suffix is appended rather than set: a dot in an object's name is no suffix to replace.
  Url file(name + "." + TIFF_SUFFIX);
  if (!FileSelect(file, FILESELECTTYPE::IMAGES, FILESELECT::SAVE, GeLoadString(IDS_EXPORT_TITLE), TIFF_SUFFIX))
    return;
  // The maps hold 32-bit float values; the flag keeps the saver from reducing them.
  if (map.Save(file, FILTER_TIF, SAVEBIT_32BITCHANNELS) != IMAGERESULT::OK)
    MessageDialog(GEMB_ICONEXCLAMATION, GeLoadString(IDS_EXPORT_FAILED));
}

Bool IsQualifierPressed(Int32 mask)
{
  BaseContainer state;
  if (!GetInputState(INPUT_DEVICE_KEYBOARD, INPUT_CHANNEL_QUALIFIERS, state))
    return false;
  return (state.GetInt32(INPUT_QUALIFIERS, 0) & mask) != 0;
}
