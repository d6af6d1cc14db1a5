// The HUD: one line of text in the editor view with statistics of the selected terrain, that is of the
// terrain objects that are selected or sit above a selected operator (name or count, points, polygons,
// height minimum and range, memory) and of the selected operators' output grids (output minimum and
// range). Each item is switched in the preferences; nothing shows until the preferences page has
// filled in its defaults (every missing item reads as off).
//
// The scene hook gathers the statistics in its execution pass and draws them in its draw pass; both run
// on the host's main thread, one after the other, and the hook takes no lock. Gathering reads the
// operators' output grids but never writes them.
#pragma once

#include "host/gui/basedraw.h"
#include "host/scene/execution.h"
#include "host/scene/scene.h"
#include "preferences/ogx_prefsdialog.h"

// Statistics of one object, or merged over several.
struct HudStatistics
{
  Int64 memory = 0;         // bytes (sum)
  Int64 pointCount = 0;     // sum
  Int64 polygonCount = 0;   // sum
  Int64 terrainCount = 0;   // sum
  Float heightMinimum = 0.0;   // minimum over objects
  Float heightRange = 0.0;     // maximum over objects
  Float outputMinimum = 0.0;   // minimum
  Float outputRange = 0.0;     // maximum
  String name;

  HudStatistics() { Reset(); }
  // Counters 0, minima the largest double, ranges the most negative double, no name.
  void Reset();
};

// The HUD items as the preferences switch them (each 0, off, when missing).
struct HudSettings
{
  Float textPosition = 0.0;
  Bool nameOrCount = false;
  Bool points = false;
  Bool polygons = false;
  Bool heightMinimum = false;
  Bool heightRange = false;
  Bool outputMinimum = false;
  Bool outputRange = false;
  Bool memory = false;
};

// The item labels and the separator, from the module's strings 10074 to 10082.
struct HudLabels
{
  String terrains;   // after the count of terrain objects
  String points;
  String polygons;
  String heightMinimum;
  String heightRange;
  String outputMinimum;
  String outputRange;
  String memory;
  String separator;

  void Load();
};

class TerrainHudDrawScenehook : public SceneHookData
{
public:
  static NodeData* Alloc();

  TerrainHudDrawScenehook();
  ~TerrainHudDrawScenehook() override = default;

  // Only in the pass of execution flag 4: reads the preferences and gathers the statistics of the
  // selection. OK normally, OUTOFMEMORY (2) when the gathering failed (printed to the console).
  EXECUTIONRESULT Execute(BaseSceneHook* node, BaseDocument* doc, HostThread* bt, Int32 priority,
                          EXECUTIONFLAGS flags) override;
  // Adds the hook at the highest priority with execution flag 4.
  Bool AddToExecution(BaseSceneHook* node, PriorityList* list) override;
  // In the ordinary draw pass (flags 4), with the HUD on and at least one terrain object counted: draws
  // the line (DrawHudText).
  Bool Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread* bt,
            SCENEHOOKDRAW flags) override;

  // Fills the settings from the preferences.
  void ReadHudSettings();

  const HudStatistics& GetStatistics() const { return _statistics; }
  const HudSettings& GetSettings() const { return _settings; }
  const HudLabels& GetLabels() const { return _labels; }
  Bool IsHudEnabled() const { return _hudEnabled; }

private:
  HudStatistics _statistics;
  HudSettings _settings;
  HudLabels _labels;
  Bool _hudEnabled = false;
};

// The statistics of one object: a terrain object's mesh counts, memory and height range (its terrain
// count is 1), an operator's output range (mapped through its layer scale and offset for generators),
// and for any other object only its name. Only what the settings switch on is gathered.
void GetHudStatistics(HudStatistics& out, BaseObject* object, const HudSettings& settings);

// out = a merged with b: counters added, the smaller minima, the larger ranges, a's name when it has
// one, else b's. out may be a.
void MergeHudStatistics(const HudStatistics& a, HudStatistics& out, const HudStatistics& b);

// The switched-on items in their order, joined by the separator label.
String BuildHudText(const HudStatistics& stats, const HudSettings& settings, const HudLabels& labels);

// Draws BuildHudText, when not empty, at x = 15 and y = (view height - 25) x the text position,
// truncated (a position that leaves the Int32 range is clamped to it). True.
Bool DrawHudText(const HudStatistics& stats, const HudSettings& settings, const HudLabels& labels, BaseDraw* view);

// Registers the scene hook (id 1056379, "OGX_TerrainHudDrawSceneHook", priority 3000).
Bool RegisterTerrainHudDrawSceneHook();
