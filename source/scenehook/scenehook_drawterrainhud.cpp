#include "scenehook/scenehook_drawterrainhud.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/ogx_misc.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/resource.h"
#include "object/terrainobject.h"
#include "orogenix/baseterrainoperator.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr const char* HUD_SCENEHOOK_NAME = "OGX_TerrainHudDrawSceneHook";
constexpr Int32 HUD_SCENEHOOK_PRIORITY = 3000;
// The hook runs last in the execution pass, after everything it reports on has been evaluated.
constexpr Int32 HUD_EXECUTION_PRIORITY = std::numeric_limits<Int32>::max();

// Where the line goes: 15 pixels from the left, the text position's fraction of the height less 25.
constexpr Int32 HUD_TEXT_X = 15;
constexpr Float HUD_TEXT_BOTTOM_MARGIN = 25.0;
constexpr Int32 HUD_DECIMALS = 3;

enum : Int32
{
  IDS_HUD_TERRAINS = 10074,
  IDS_HUD_POINTS = 10075,
  IDS_HUD_POLYGONS = 10076,
  IDS_HUD_HEIGHT_MINIMUM = 10077,
  IDS_HUD_HEIGHT_RANGE = 10078,
  IDS_HUD_OUTPUT_MINIMUM = 10079,
  IDS_HUD_OUTPUT_RANGE = 10080,
  IDS_HUD_MEMORY = 10081,
  IDS_HUD_SEPARATOR = 10082,
};

Int64 TagCount(BaseObject* mesh, Int32 type)
{
  const auto* tag = dynamic_cast<const VariableTag*>(mesh->GetTag(type));
  return tag ? tag->GetDataCount() : 0;
}

void GetTerrainStatistics(HudStatistics& out, BaseObject* object, const HudSettings& settings)
{
  out.terrainCount = 1;
  const auto* terrain = dynamic_cast<const TerrainObject*>(object->GetNodeData());
  if (!terrain)
    return;
  if (settings.points || settings.polygons || settings.heightRange || settings.heightMinimum || settings.memory)
  {
    BaseObject* mesh = object->GetCache();
    if (mesh && mesh->GetType() == Opolygon)
    {
      out.polygonCount = TagCount(mesh, Tpolygon);
      out.pointCount = TagCount(mesh, Tpoint);
      out.memory = GetTerrainMemoryUsage(*terrain, mesh);
    }
  }
  if ((settings.heightRange || settings.heightMinimum) && terrain->GetTerrain().minMaxValid)
  {
    out.heightMinimum = terrain->GetTerrain().min;
    out.heightRange = terrain->GetTerrain().max - terrain->GetTerrain().min;
  }
}

void GetOperatorStatistics(HudStatistics& out, BaseObject* object, const HudSettings& settings)
{
  if (!settings.outputRange && !settings.outputMinimum)
    return;
  auto* op = dynamic_cast<OGX::BaseTerrainOperatorData*>(object->GetNodeData());
  if (!op)
    return;
  // Into locals: the grid belongs to the operator and its terrain's rebuild, not to the HUD.
  Float minimum = 0.0;
  Float maximum = 0.0;
  if (!op->GetOutputGrid().FindMinMax(minimum, maximum))
    return;
  if (HasFlag(op->GetOperatorFlags(object), TERRAINOPERATORFLAGS::TYPE_GENERATOR))
  {
    // A generator's output as it enters the terrain: through its layer scale and offset.
    BlendSettings blend;
    ReadBlendSettings(blend, object->GetDataInstanceRef());
    const Float mappedMinimum = blend.layerScale * minimum + blend.layerOffset;
    out.outputMinimum = mappedMinimum;
    out.outputRange = (blend.layerScale * maximum + blend.layerOffset) - mappedMinimum;
    return;
  }
  out.outputMinimum = minimum;
  out.outputRange = maximum - minimum;
}

// (height - 25) x position as an Int32: truncated, and clamped where a position far outside [0, 1]
// (or not a number) would leave the Int32 range.
Int32 HudTextY(Int32 height, Float position)
{
  const Float y = std::trunc((static_cast<Float>(height) - HUD_TEXT_BOTTOM_MARGIN) * position);
  if (!(y >= static_cast<Float>(std::numeric_limits<Int32>::min())))
    return std::isnan(y) ? 0 : std::numeric_limits<Int32>::min();
  if (y > static_cast<Float>(std::numeric_limits<Int32>::max()))
    return std::numeric_limits<Int32>::max();
  return static_cast<Int32>(y);
}
} // namespace

void HudStatistics::Reset()
{
  memory = 0;
  pointCount = 0;
  polygonCount = 0;
  terrainCount = 0;
  heightMinimum = std::numeric_limits<Float>::max();
  heightRange = std::numeric_limits<Float>::lowest();
  outputMinimum = std::numeric_limits<Float>::max();
  outputRange = std::numeric_limits<Float>::lowest();
  name.clear();
}

void HudLabels::Load()
{
  terrains = GeLoadString(IDS_HUD_TERRAINS);
  points = GeLoadString(IDS_HUD_POINTS);
  polygons = GeLoadString(IDS_HUD_POLYGONS);
  heightMinimum = GeLoadString(IDS_HUD_HEIGHT_MINIMUM);
  heightRange = GeLoadString(IDS_HUD_HEIGHT_RANGE);
  outputMinimum = GeLoadString(IDS_HUD_OUTPUT_MINIMUM);
  outputRange = GeLoadString(IDS_HUD_OUTPUT_RANGE);
  memory = GeLoadString(IDS_HUD_MEMORY);
  separator = GeLoadString(IDS_HUD_SEPARATOR);
}

NodeData* TerrainHudDrawScenehook::Alloc()
{
  return NewObj<TerrainHudDrawScenehook>();
}

TerrainHudDrawScenehook::TerrainHudDrawScenehook()
{
  _labels.Load();
}

void TerrainHudDrawScenehook::ReadHudSettings()
{
  const BaseContainer* prefs = GetOgxPreferences();
  if (!prefs)
    return;
  _settings.textPosition = prefs->GetFloat(PREFSOGX_HUD_TEXT_POSITION, 0.0);
  _settings.nameOrCount = prefs->GetBool(PREFSOGX_HUD_NAME, false);
  _settings.points = prefs->GetBool(PREFSOGX_HUD_POINTS, false);
  _settings.polygons = prefs->GetBool(PREFSOGX_HUD_POLYGONS, false);
  _settings.heightMinimum = prefs->GetBool(PREFSOGX_HUD_HEIGHT_MIN, false);
  _settings.heightRange = prefs->GetBool(PREFSOGX_HUD_HEIGHT_RANGE, false);
  _settings.outputMinimum = prefs->GetBool(PREFSOGX_HUD_OUTPUT_MIN, false);
  _settings.outputRange = prefs->GetBool(PREFSOGX_HUD_OUTPUT_RANGE, false);
  _settings.memory = prefs->GetBool(PREFSOGX_HUD_MEMORY, false);
}

Bool TerrainHudDrawScenehook::AddToExecution(BaseSceneHook* node, PriorityList* list)
{
  return list && list->Add(node, HUD_EXECUTION_PRIORITY, EXECUTIONFLAGS::EXPRESSION);
}

EXECUTIONRESULT TerrainHudDrawScenehook::Execute(BaseSceneHook*, BaseDocument* doc, HostThread*, Int32,
                                                 EXECUTIONFLAGS flags)
{
  if (!HasFlag(flags, EXECUTIONFLAGS::EXPRESSION))
    return EXECUTIONRESULT::OK;
  const BaseContainer* prefs = GetOgxPreferences();
  _hudEnabled = prefs ? prefs->GetBool(PREFSOGX_HUD_ENABLED, true) : true;
  if (!_hudEnabled)
    return EXECUTIONRESULT::OK;
  _statistics.Reset();
  _settings = HudSettings();
  ReadHudSettings();
  if (!doc)
    return EXECUTIONRESULT::OK;

  AtomArray* active = AtomArray::Alloc();
  if (!active)
  {
    ConsolePrint(String("Could not allocate the list of active objects!"));
    return EXECUTIONRESULT::OUTOFMEMORY;
  }
  doc->GetActiveObjects(*active, GETACTIVEOBJECTFLAGS::NONE);
  if (active->GetCount() == 0)
  {
    AtomArray::Free(active);
    return EXECUTIONRESULT::OK;
  }
  BaseArray<BaseObject*> terrains;
  if (const Result<void> collected = CollectSelectedTerrainObjects(active, terrains); collected.IsError())
  {
    ConsolePrint(collected.GetError().GetText());
    AtomArray::Free(active);
    return EXECUTIONRESULT::OUTOFMEMORY;
  }

  Bool first = true;
  for (BaseObject* terrain : terrains)
  {
    if (terrain->GetObjectState(OBJECTSTATE::DEFORM) == 0)
      continue;
    HudStatistics stats;
    GetHudStatistics(stats, terrain, _settings);
    if (first)
      _statistics = stats;
    else
      MergeHudStatistics(_statistics, _statistics, stats);
    first = false;
  }

  if ((_settings.outputMinimum || _settings.outputRange) && !terrains.IsEmpty())
  {
    Bool merged = false;
    for (Int32 i = 0; i < active->GetCount(); ++i)
    {
      BaseList2D* node = active->GetIndex(i);
      if (!node || node->GetKind() != NODEKIND::OBJECT)
        continue;
      auto* op = static_cast<BaseObject*>(node);
      if (!op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE) || !FindParentTerrainObject(op))
        continue;
      const auto* data = dynamic_cast<const OGX::BaseTerrainOperatorData*>(op->GetNodeData());
      if (!data || data->GetOutputGrid().cellCount == 0)
        continue;
      HudStatistics stats;
      GetHudStatistics(stats, op, _settings);
      // The running total first: the terrain object's name stays the one shown.
      MergeHudStatistics(_statistics, _statistics, stats);
      if (_statistics.terrainCount == 0)
        _statistics.terrainCount = 1;
      merged = true;
    }
    if (!merged)
    {
      _statistics.outputMinimum = 0.0;
      _statistics.outputRange = 0.0;
    }
  }
  AtomArray::Free(active);
  return EXECUTIONRESULT::OK;
}

Bool TerrainHudDrawScenehook::Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread*,
                                   SCENEHOOKDRAW flags)
{
  if (flags != SCENEHOOKDRAW::DRAW_PASS || !_hudEnabled || _statistics.terrainCount == 0 || !node || !doc || !bd ||
      !bh)
    return true;
  return DrawHudText(_statistics, _settings, _labels, bd);
}

void GetHudStatistics(HudStatistics& out, BaseObject* object, const HudSettings& settings)
{
  out.Reset();
  if (!object)
    return;
  out.name = object->GetName();
  if (object->GetType() == ID_OGX_TERRAINOBJECT)
    GetTerrainStatistics(out, object, settings);
  else if (object->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
    GetOperatorStatistics(out, object, settings);
}

void MergeHudStatistics(const HudStatistics& a, HudStatistics& out, const HudStatistics& b)
{
  HudStatistics merged;
  merged.memory = a.memory + b.memory;
  merged.pointCount = a.pointCount + b.pointCount;
  merged.polygonCount = a.polygonCount + b.polygonCount;
  merged.terrainCount = a.terrainCount + b.terrainCount;
  merged.heightMinimum = std::min(a.heightMinimum, b.heightMinimum);
  merged.heightRange = std::max(a.heightRange, b.heightRange);
  merged.outputMinimum = std::min(a.outputMinimum, b.outputMinimum);
  merged.outputRange = std::max(a.outputRange, b.outputRange);
  merged.name = a.name.IsEmpty() ? b.name : a.name;
  out = std::move(merged);
}

String BuildHudText(const HudStatistics& stats, const HudSettings& settings, const HudLabels& labels)
{
  String text;
  auto item = [&](const String& part) {
    if (!text.IsEmpty())
      text += labels.separator;
    text += part;
  };
  if (settings.nameOrCount)
    item(stats.terrainCount < 2 ? stats.name : String::IntToString(stats.terrainCount) + labels.terrains);
  if (settings.points)
    item(labels.points + String::IntToString(stats.pointCount));
  if (settings.polygons)
    item(labels.polygons + String::IntToString(stats.polygonCount));
  if (settings.heightMinimum)
    item(labels.heightMinimum + String::FloatToString(stats.heightMinimum, HUD_DECIMALS));
  if (settings.heightRange)
    item(labels.heightRange + String::FloatToString(stats.heightRange, HUD_DECIMALS));
  if (settings.outputMinimum)
    item(labels.outputMinimum + String::FloatToString(stats.outputMinimum, HUD_DECIMALS));
  if (settings.outputRange)
    item(labels.outputRange + String::FloatToString(stats.outputRange, HUD_DECIMALS));
  if (settings.memory)
    item(labels.memory + FormatMemorySize(static_cast<UInt>(std::max<Int64>(stats.memory, 0))));
  return text;
}

Bool DrawHudText(const HudStatistics& stats, const HudSettings& settings, const HudLabels& labels, BaseDraw* view)
{
  if (!view)
    return false;
  Int32 left = 0;
  Int32 top = 0;
  Int32 right = 0;
  Int32 bottom = 0;
  view->GetFrame(&left, &top, &right, &bottom);
  const String text = BuildHudText(stats, settings, labels);
  if (!text.IsEmpty())
    view->DrawHUDText(HUD_TEXT_X, HudTextY(bottom - top, settings.textPosition), text);
  return true;
}

Bool RegisterTerrainHudDrawSceneHook()
{
  return RegisterSceneHookPlugin(ID_OGX_TERRAINHUD_SCENEHOOK, HUD_SCENEHOOK_NAME, 0, TerrainHudDrawScenehook::Alloc,
                                 HUD_SCENEHOOK_PRIORITY, 0);
}
