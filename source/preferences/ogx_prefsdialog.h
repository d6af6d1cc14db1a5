// The module's page in the host's preferences window. It shows and edits the preferences container
// (ID_OGX_PREFERENCES in the host's world container), fills in every default the container lacks, and
// offers a button that loads the module's command palette. Every other reader of a setting reads the
// container directly with its own default; the page is what puts the defaults in place, so readers
// that pass 0 (the HUD) see the documented values once the page has run.
//
// Runs on the host's main thread, like the preferences window.
#pragma once

#include "host/scene/plugins.h"

// Keys of the preferences container and the page's own button.
enum : Int32
{
  PREFSOGX_MAX_RESOLUTION = 1000,         // Int32: the highest terrain resolution per axis
  PREFSOGX_BLENDMODE_ICONS = 1001,        // Bool: generators show their blend mode's icon
  PREFSOGX_HUD_ENABLED = 1002,            // Bool: the viewport HUD is shown
  PREFSOGX_NEW_GENERATOR_BLENDMODE = 1003,   // Int32 BLENDMODE of new generator operators
  PREFSOGX_HUD_NAME = 10004,              // Bool HUD items: name (or terrain count)
  PREFSOGX_HUD_POINTS = 10005,            //   point count
  PREFSOGX_HUD_POLYGONS = 10006,          //   polygon count
  PREFSOGX_HUD_HEIGHT_RANGE = 10007,      //   height range
  PREFSOGX_HUD_OUTPUT_RANGE = 10008,      //   operator output range
  PREFSOGX_HUD_MEMORY = 10009,            //   memory use
  PREFSOGX_HUD_TEXT_POSITION = 10010,     // Float: the HUD text's position, a fraction of the view height
  PREFSOGX_HUD_HEIGHT_MIN = 10011,        //   height minimum
  PREFSOGX_HUD_OUTPUT_MIN = 10012,        //   operator output minimum
  PREFSOGX_LOAD_PALETTE = 20001,          // button: load the module's palette layout
};

// The palette layout in the module's res folder.
inline constexpr const char* OGX_PALETTE_FILE = "orogenix_palette.l4d";

class OGXPrefsDialog : public PrefsDialogObject
{
public:
  static NodeData* Alloc();

  // Fills in, in table order, the default of every key that is missing or holds another type than its
  // own (Bools are stored as Int32, the text position as Float). False when the container cannot be had.
  Bool Init(GeListNode* node) override;
  // The palette button; everything else goes to the host default.
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  // The "prefsogx" resource, with every key's default when the host asks for defaults. False when the
  // resource cannot be loaded or the container cannot be had.
  Bool GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  // A key of the table is read from the container with its type and default; when the container cannot
  // be had the host default answers. Other ids go to the host default.
  Bool GetParameter(GeListNode* node, const DescID& id, GeData& t_data, DESCFLAGS_GET& flags) override;
  // A key of the table is written into the container with its own type (whatever type the value came
  // in); when the container cannot be had the set fails rather than landing in the page's own
  // container. Other ids go to the host default.
  Bool SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags) override;
};

// Registers the page under ID_OGX_PREFERENCES (name string 10084, description "prefsogx", at the top of
// the window, sort value 0).
Bool RegisterPreferencesPage();
