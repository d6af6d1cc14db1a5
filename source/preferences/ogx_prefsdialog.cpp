#include "preferences/ogx_prefsdialog.h"

#include <array>

#include "common/ogx_gui.h"
#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/gui/layouts.h"
#include "host/scene/description.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "orogenix/ogx_ids.h"

namespace
{
constexpr Int32 IDS_PREFS_NAME = 10084;
constexpr const char* PREFS_DESCRIPTION_NAME = "prefsogx";
constexpr const char* RES_FOLDER = "res";

enum class KEYTYPE
{
  INT32,
  BOOL,
  FLOAT,
};

struct PreferenceKey
{
  Int32 id;
  KEYTYPE type;
  Float value;   // the default (Int32 and Bool values are exact in a double)
};

// In the order the page fills them in.
constexpr std::array<PreferenceKey, 13> PREFERENCE_KEYS = {{
  {PREFSOGX_MAX_RESOLUTION, KEYTYPE::INT32, 4000.0},
  {PREFSOGX_BLENDMODE_ICONS, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_ENABLED, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_TEXT_POSITION, KEYTYPE::FLOAT, 0.05},
  {PREFSOGX_HUD_NAME, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_POINTS, KEYTYPE::BOOL, 0.0},
  {PREFSOGX_HUD_POLYGONS, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_HEIGHT_MIN, KEYTYPE::BOOL, 0.0},
  {PREFSOGX_HUD_HEIGHT_RANGE, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_OUTPUT_MIN, KEYTYPE::BOOL, 0.0},
  {PREFSOGX_HUD_OUTPUT_RANGE, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_HUD_MEMORY, KEYTYPE::BOOL, 1.0},
  {PREFSOGX_NEW_GENERATOR_BLENDMODE, KEYTYPE::INT32, 1.0},
}};

// The order in which the description is given the defaults (the window's layout order).
constexpr std::array<Int32, 13> DESCRIPTION_DEFAULT_ORDER = {
  PREFSOGX_MAX_RESOLUTION, PREFSOGX_BLENDMODE_ICONS,  PREFSOGX_HUD_TEXT_POSITION, PREFSOGX_HUD_ENABLED,
  PREFSOGX_HUD_NAME,       PREFSOGX_HUD_POINTS,       PREFSOGX_HUD_POLYGONS,      PREFSOGX_HUD_HEIGHT_MIN,
  PREFSOGX_HUD_HEIGHT_RANGE, PREFSOGX_HUD_OUTPUT_MIN, PREFSOGX_HUD_OUTPUT_RANGE, PREFSOGX_HUD_MEMORY,
  PREFSOGX_NEW_GENERATOR_BLENDMODE,
};

const PreferenceKey* FindKey(Int32 id)
{
  for (const PreferenceKey& key : PREFERENCE_KEYS)
    if (key.id == id)
      return &key;
  return nullptr;
}

// The container's value type of a key: Bools are stored as Int32.
Int32 StoredType(KEYTYPE type)
{
  return type == KEYTYPE::FLOAT ? DA_REAL : DA_LONG;
}

Int32 DescriptionType(KEYTYPE type)
{
  switch (type)
  {
    case KEYTYPE::INT32: return DTYPE_LONG;
    case KEYTYPE::BOOL: return DTYPE_BOOL;
    case KEYTYPE::FLOAT: return DTYPE_REAL;
  }
  return DTYPE_NONE;
}

GeData DefaultValue(const PreferenceKey& key)
{
  switch (key.type)
  {
    case KEYTYPE::INT32: return GeData(static_cast<Int32>(key.value));
    case KEYTYPE::BOOL: return GeData(key.value != 0.0);
    case KEYTYPE::FLOAT: return GeData(key.value);
  }
  return GeData();
}

// Stores value under the key with the key's own type.
void Store(BaseContainer& prefs, const PreferenceKey& key, const GeData& value)
{
  switch (key.type)
  {
    case KEYTYPE::INT32: prefs.SetInt32(key.id, value.GetInt32()); break;
    case KEYTYPE::BOOL: prefs.SetBool(key.id, value.GetBool()); break;
    case KEYTYPE::FLOAT: prefs.SetFloat(key.id, value.GetFloat()); break;
  }
}

GeData ReadValue(const BaseContainer& prefs, const PreferenceKey& key)
{
  switch (key.type)
  {
    case KEYTYPE::INT32: return GeData(prefs.GetInt32(key.id, static_cast<Int32>(key.value)));
    case KEYTYPE::BOOL: return GeData(prefs.GetBool(key.id, key.value != 0.0));
    case KEYTYPE::FLOAT: return GeData(prefs.GetFloat(key.id, key.value));
  }
  return GeData();
}
} // namespace

NodeData* OGXPrefsDialog::Alloc()
{
  return NewObj<OGXPrefsDialog>();
}

Bool OGXPrefsDialog::Init(GeListNode* node)
{
  BaseContainer* prefs = GetOgxPreferences();
  if (!prefs)
    return false;
  // A value of the right type is the user's and stays; a missing one or one of another type (written by
  // something else) gets the default.
  for (const PreferenceKey& key : PREFERENCE_KEYS)
    if (prefs->GetType(key.id) != StoredType(key.type))
      Store(*prefs, key, DefaultValue(key));
  return PrefsDialogObject::Init(node);
}

Bool OGXPrefsDialog::Message(GeListNode* node, Int32 type, void* data)
{
  if (type == MSG_DESCRIPTION_COMMAND && data &&
      static_cast<const DescriptionCommand*>(data)->id[0].id == PREFSOGX_LOAD_PALETTE)
  {
    // A missing palette is the host's to report; the button has done its part either way.
    LoadFile(GeGetPluginPath() + RES_FOLDER + OGX_PALETTE_FILE);
    return true;
  }
  return PrefsDialogObject::Message(node, type, data);
}

Bool OGXPrefsDialog::GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags)
{
  if (!description || !description->LoadDescription(String(PREFS_DESCRIPTION_NAME)))
    return false;
  if (!GetOgxPreferences())
    return false;
  if (HasFlag(flags, DESCFLAGS_DESC::NEEDDEFAULTVALUE))
  {
    for (const Int32 id : DESCRIPTION_DEFAULT_ORDER)
    {
      const PreferenceKey& key = *FindKey(id);
      SetDescriptionTypedAttribute(node, description, id, DescriptionType(key.type), DESC_DEFAULT, DefaultValue(key));
    }
  }
  flags |= DESCFLAGS_DESC::LOADED;
  return PrefsDialogObject::GetDDescription(node, description, flags);
}

Bool OGXPrefsDialog::GetParameter(GeListNode* node, const DescID& id, GeData& t_data, DESCFLAGS_GET& flags)
{
  const PreferenceKey* key = FindKey(id[0].id);
  const BaseContainer* prefs = key ? GetOgxPreferences() : nullptr;
  if (!prefs)
    return PrefsDialogObject::GetParameter(node, id, t_data, flags);
  t_data = ReadValue(*prefs, *key);
  flags |= DESCFLAGS_GET::PARAM_GET;
  return true;
}

Bool OGXPrefsDialog::SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags)
{
  const PreferenceKey* key = FindKey(id[0].id);
  if (!key)
    return PrefsDialogObject::SetParameter(node, id, t_data, flags);
  BaseContainer* prefs = GetOgxPreferences();
  if (!prefs)
    return false;
  Store(*prefs, *key, t_data);
  flags |= DESCFLAGS_SET::PARAM_SET;
  return true;
}

Bool RegisterPreferencesPage()
{
  return RegisterPrefsPlugin(ID_OGX_PREFERENCES, OGXPrefsDialog::Alloc, GeLoadString(IDS_PREFS_NAME),
                             PREFS_DESCRIPTION_NAME, 0, 0);
}
