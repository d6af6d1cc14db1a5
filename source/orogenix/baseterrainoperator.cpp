// The operator base: host slots, the defaults of the operator interface, the dirty test, the evaluation
// and the memory texts. The blend into the terrain (ApplyToTerrain) lives with the masks in masking.cpp.
#include "orogenix/baseterrainoperator.h"

#include <bit>

#include "common/ogx_gui.h"
#include "common/ogx_misc.h"
#include "host/core/log.h"
#include "host/fields/fieldlist.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/resource.h"
#include "object/terrainobject.h"
#include "orogenix/blend.h"
#include "orogenix/masking.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
// Module strings.
constexpr Int32 IDS_MEMORY_TEXT = 10022;        // "Memory: #"
constexpr Int32 IDS_UNIT_BYTES = 10024;         // then KB, MB and GB at 10025 to 10027
constexpr Int32 IDS_EVALUATING = 10028;         // the status text an evaluation leaves when it fails
constexpr Int32 IDS_DIFFERENCE_OUTPUT = 10073;  // the name of a filter's difference map
constexpr Int32 IDS_EXPORT_HEIGHTS = 10030;     // labels of the exported maps, part of their file names
constexpr Int32 IDS_EXPORT_SLOPES = 10031;
constexpr Int32 IDS_EXPORT_MASK = 10032;
constexpr Int32 IDS_EXPORT_FAILED = 10033;

// Values of TERRAINOPERATOR_EXPORT_MODE besides the custom outputs' ids.
constexpr Int32 EXPORT_MODE_OUTPUT = 0;
constexpr Int32 EXPORT_MODE_SLOPES = 1;
constexpr Int32 EXPORT_MODE_MASK = 2;
// Fewer cells than this make no map worth exporting.
constexpr Int EXPORT_MIN_CELLS = 8;

// Where the blend mode's icon goes over a generator's own icon.
constexpr Int32 BLENDMODE_ICON_OFFSET = 32;

// Fixed bytes of an operator besides its grids, as its memory text counts them.
constexpr Int OPERATOR_BASE_MEMORY = 576;

// Field list flags of a new masking list: clamped output, and an empty list gives no mask weight.
constexpr Int32 MASKING_LIST_FLAGS_SET = FIELDLIST_FLAG_CLAMPOUTPUT;
constexpr Int32 MASKING_LIST_FLAGS_CLEARED = FIELDLIST_FLAG_EMPTYISFULL;

// The combined dirty count of an object a masking layer links: matrix, data and cache (22).
constexpr DIRTYFLAGS LINKED_OBJECT_DIRTY = DIRTYFLAGS::MATRIX | DIRTYFLAGS::DATA | DIRTYFLAGS::CACHE;

BaseObject* AsObject(GeListNode* node)
{
  return static_cast<BaseObject*>(node);
}

Bool IsGenerator(TERRAINOPERATORFLAGS flags)
{
  return HasFlags(flags, TERRAINOPERATORFLAGS::TYPE_GENERATOR);
}

Bool IsFilter(TERRAINOPERATORFLAGS flags)
{
  return HasFlags(flags, TERRAINOPERATORFLAGS::TYPE_FILTER);
}

// One Float's 64-bit pattern folded onto its low bits.
UInt64 FoldFloat(Float value)
{
  const UInt64 w = std::bit_cast<UInt64>(value);
  const UInt64 a = w ^ (w >> 32);
  const UInt64 b = (((a >> 8) ^ a) >> 12) ^ a;
  return (((b >> 3) ^ b) >> 4) ^ b;
}


// The blend mode stored in the preferences for new generators: ADD when it was never set, NORMAL when the
// preferences cannot be had at all (GetOgxPreferences creates a missing container on the way).
Int32 PreferredGeneratorBlendMode()
{
  const BaseContainer* prefs = GetOgxPreferences();
  if (!prefs)
    return static_cast<Int32>(BLENDMODE::NORMAL);
  return prefs->GetInt32(OGX_PREFS_DEFAULT_BLENDMODE, static_cast<Int32>(BLENDMODE::ADD));
}
} // namespace

Bool BlendModeUsesFactor(Int32 blendMode)
{
  return blendMode == static_cast<Int32>(BLENDMODE::MULTIPLY) || blendMode == static_cast<Int32>(BLENDMODE::DIVIDE) ||
         blend_detail::IsNormalisedMode(blendMode);
}

void ReadBlendSettings(BlendSettings& out, const BaseContainer& data)
{
  out.opacity = data.GetFloat(TERRAINOPERATOR_OPACITY, 0.0);
  out.blendMode = data.GetInt32(TERRAINOPERATOR_BLENDMODE, 0);
  out.layerScale =
    data.GetFloat(BlendModeUsesFactor(out.blendMode) ? TERRAINOPERATOR_FACTOR : TERRAINOPERATOR_HEIGHT, 1.0);
  out.layerOffset = data.GetFloat(TERRAINOPERATOR_OFFSET, 0.0);
  out.slopeMaskEnabled = data.GetBool(TERRAINOPERATOR_MASKING_SLOPE, false);
  out.slopeLow = data.GetFloat(TERRAINOPERATOR_MASKING_SLOPE_LOW, 0.0);
  out.slopeHigh = data.GetFloat(TERRAINOPERATOR_MASKING_SLOPE_HIGH, 0.0);
  out.slopeFalloffLow = data.GetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW, 0.0);
  out.slopeFalloffHigh = data.GetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH, 0.0);
  out.heightMaskEnabled = data.GetBool(TERRAINOPERATOR_MASKING_HEIGHT, false);
  out.heightLow = data.GetFloat(TERRAINOPERATOR_MASKING_HEIGHT_LOW, 0.0);
  out.heightHigh = data.GetFloat(TERRAINOPERATOR_MASKING_HEIGHT_HIGH, 0.0);
  out.heightFalloffLow = data.GetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW, 0.0);
  out.heightFalloffHigh = data.GetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH, 0.0);
}

void DrawBlendModeIcon(const BaseContainer& captured, BaseBitmap* target, Int32 width, Int32 height)
{
  Int32 mode = captured.GetInt32(TERRAINOPERATOR_BLENDMODE);
  if (mode < 1 || mode >= static_cast<Int32>(BLENDMODE::_BLENDMODE_COUNT))
    mode = static_cast<Int32>(BLENDMODE::NORMAL);
  IconData icon;
  if (!GetIcon(BLENDMODE_ICONS[mode].iconId, &icon))
    return;
  const BitmapRecord source{icon.bmp, icon.w, icon.h};
  const BitmapRecord destination{target, width, height};
  DrawBitmapRect(&source, &destination, icon.x, icon.y, icon.w, icon.h, BLENDMODE_ICON_OFFSET, BLENDMODE_ICON_OFFSET);
}

UInt64 HashVector3(const Vector& v)
{
  return (FoldFloat(v.x) * 31 + FoldFloat(v.y)) * 31 + FoldFloat(v.z);
}

UInt64 HashMatrix(const Matrix& m)
{
  return ((HashVector3(m.v1) * 31 + HashVector3(m.v2)) * 31 + HashVector3(m.v3)) * 31 + HashVector3(m.off);
}

String FormatMemorySize(UInt bytes)
{
  // Factor rather than division, and at most three steps: anything from 1 TB up stays in GB.
  constexpr Float INVERSE_KILO = 0.0009765625;
  Float value = static_cast<Float>(bytes);
  Int32 unit = IDS_UNIT_BYTES;
  for (Int32 step = 0; step < 3 && value > 1024.0; ++step)
  {
    value *= INVERSE_KILO;
    ++unit;
  }
  return String::FloatToString(value, unit == IDS_UNIT_BYTES ? 0 : 2) + " " + GeLoadString(unit);
}

String FormatMemoryText(UInt bytes)
{
  return GeLoadString(IDS_MEMORY_TEXT, FormatMemorySize(bytes));
}

namespace OGX
{
// The members free themselves in reverse order of declaration: the custom output cells, the saved
// container, the observer list and the output cells.
BaseTerrainOperatorData::~BaseTerrainOperatorData() = default;

// ---------------------------------------------------------------------------------------------------
// Host slots

Bool BaseTerrainOperatorData::Init(GeListNode* node)
{
  if (!node)
    return false;
  BaseObject* op = AsObject(node);
  BaseContainer& data = op->GetDataInstanceRef();

  data.SetFloat(TERRAINOPERATOR_OPACITY, 1.0);
  data.SetFloat(TERRAINOPERATOR_OFFSET, 0.0);
  data.SetFloat(TERRAINOPERATOR_FACTOR, 1.0);

  if (IsGenerator(GetOperatorFlags(op)))
  {
    data.SetInt32(TERRAINOPERATOR_BLENDMODE, PreferredGeneratorBlendMode());
    data.SetFloat(TERRAINOPERATOR_HEIGHT, 50.0);
  }
  else
  {
    data.SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::NORMAL));
    data.SetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
  }

  std::unique_ptr<FieldList> fields = FieldList::Alloc();
  if (!fields)
    return false;
  fields->ChangeFlag(MASKING_LIST_FLAGS_CLEARED, false);
  fields->ChangeFlag(MASKING_LIST_FLAGS_SET, true);
  data.SetData(TERRAINOPERATOR_MASKING_FIELDS_LIST, GeData(std::move(fields)));

  data.SetBool(TERRAINOPERATOR_MASKING_SLOPE, false);
  data.SetFloat(TERRAINOPERATOR_MASKING_SLOPE_LOW, 0.0);
  data.SetFloat(TERRAINOPERATOR_MASKING_SLOPE_HIGH, 0.5);
  data.SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW, 0.0);
  data.SetFloat(TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH, 1.0);
  data.SetBool(TERRAINOPERATOR_MASKING_HEIGHT, false);
  data.SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_LOW, 0.0);
  data.SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_HIGH, 1000.0);
  data.SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW, 0.0);
  data.SetFloat(TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH, 1.0);
  data.SetInt32(TERRAINOPERATOR_EXPORT_MODE, 0);

  if (!InitOperatorParameters(node, data))
    return false;
  return ObjectData::Init(node);
}

void BaseTerrainOperatorData::Free(GeListNode* node)
{
  // The channel shaders reading this operator must not keep showing its last output.
  _observers.Notify(ID_OGX_TERRAINOPERATORSHADER, static_cast<Int32>(DIRTYFLAGS::DATA),
                    node ? node->GetDocument() : nullptr, true);
}

Bool BaseTerrainOperatorData::Read(GeListNode* node, HyperFile*, Int32 level)
{
  // Scenes written before the factor (1005) existed kept the multiplicative modes' scale in the height.
  if (node && level == 0)
  {
    BaseObject* op = AsObject(node);
    const BaseContainer& data = op->GetDataInstanceRef();
    if (BlendModeUsesFactor(data.GetInt32(TERRAINOPERATOR_BLENDMODE)))
    {
      const Float height = data.GetFloat(TERRAINOPERATOR_HEIGHT, 1.0);
      op->SetParameter(DescID(TERRAINOPERATOR_FACTOR), GeData(height));
    }
  }
  return true;
}

Bool BaseTerrainOperatorData::Message(GeListNode* node, Int32 type, void* data)
{
  // The operator's own messages come first; the base's own handling then leaves the answer to the host
  // default, except where it fails or has nothing to do.
  if (OperatorMessage(node, type, data))
    return true;
  switch (type)
  {
    case MSG_DESCRIPTION_COMMAND:
    {
      const auto* command = static_cast<const DescriptionCommand*>(data);
      if (!node || !command || command->id[0].id != TERRAINOPERATOR_EXPORT)
        break;
      Result<EXPORTRESULT> exported = ExportMap(AsObject(node));
      if (exported.IsError())
      {
        DiagnosticOutput(exported.GetError().GetDiagnosticText());
        return false;
      }
      if (exported.GetValue() == EXPORTRESULT::SKIPPED)
        return true;
      break;
    }
    case MSG_GETCUSTOMICON:
    {
      if (!node)
        return false;
      if (IsFilter(GetOperatorFlags(AsObject(node))))
        break;
      // A missing preferences container is made on the way; one that cannot be had shows the icons.
      const BaseContainer* prefs = GetOgxPreferences();
      if (prefs && !prefs->GetBool(OGX_PREFS_BLENDMODE_ICONS, true))
        break;
      if (!data)
        return false;
      ComposeBlendModeIcon(node, static_cast<GetCustomIconData*>(data));
      break;
    }
    default: break;
  }
  return ObjectData::Message(node, type, data);
}

Result<BaseTerrainOperatorData::EXPORTRESULT> BaseTerrainOperatorData::ExportMap(BaseObject* op)
{
  if (_output.cellCount < EXPORT_MIN_CELLS)
    return EXPORTRESULT::SKIPPED;

  const Int32 mode = op->GetDataInstanceRef().GetInt32(TERRAINOPERATOR_EXPORT_MODE, EXPORT_MODE_OUTPUT);
  Grid2D<Float> made;
  const Grid2D<Float>* map = nullptr;
  String label;
  switch (mode)
  {
    case EXPORT_MODE_OUTPUT:
      map = &_output;
      label = GeLoadString(IDS_EXPORT_HEIGHTS);
      break;
    case EXPORT_MODE_SLOPES:
      HOST_TRY(ComputeSlopeMap(_output, made));
      map = &made;
      label = GeLoadString(IDS_EXPORT_SLOPES);
      break;
    case EXPORT_MODE_MASK:
      // Without a terrain object above or an enabled masking layer there is no mask to show.
      if (HOST_TRY(GetMaskingFieldList(op, _output, made)) > 0)
        map = &made;
      label = GeLoadString(IDS_EXPORT_MASK);
      break;
    default:
    {
      Result<Grid2D<Float>*> custom = GetCustomOutputGrid(mode);
      if (custom.IsError() || !custom.GetValue())
        return IllegalStateError("Did not receive a custom output pointer for export mode " +
                                 String::IntToString(mode) + "!");
      BaseArray<CustomOutput> outputs;
      if (!GetCustomOutputsList(outputs, op))
        return UnexpectedError("Could not get operator's custom outputs list!");
      map = custom.GetValue();
      label = HOST_TRY(GetCustomOutputName(mode));
      break;
    }
  }

  if (!map)
  {
    MessageDialog(GEMB_ICONEXCLAMATION, GeLoadString(IDS_EXPORT_FAILED));
    return EXPORTRESULT::DONE;
  }
  BaseBitmap* bitmap = HOST_TRY(map->ToBitmap());
  SaveMapWithDialog(*bitmap, op->GetName() + "_" + label);
  BaseBitmap::Free(bitmap);
  return EXPORTRESULT::DONE;
}

Bool BaseTerrainOperatorData::ComposeBlendModeIcon(GeListNode* node, GetCustomIconData* request)
{
  // The host's defaults, then whatever the node itself asks for; the icon the composition starts from
  // is the one the node's container names under its type (its own icon unless something changed it).
  CustomIconSettings settings;
  settings.opacity = 1.0;
  settings.drawBase = true;
  settings.drawOverlay = true;
  node->Message(MSG_ICONSETTINGS, &settings);
  const BaseContainer& data = AsObject(node)->GetDataInstanceRef();
  settings.iconId = data.GetInt32(node->GetType(), node->GetType());
  // The host may draw later than this message: the drawing reads a copy, not the live container.
  return ComposeCustomIcon(request, settings, [captured = BaseContainer(data)](BaseBitmap* target, Int32 width,
                                                                              Int32 height) {
    DrawBlendModeIcon(captured, target, width, height);
  });
}

Bool BaseTerrainOperatorData::IsInstanceOf(const GeListNode* node, Int32 type) const
{
  if (!node)
    return false;
  if (type == node->GetType() || type == ID_OGX_TERRAINOPERATOR_BASE)
    return true;
  return ObjectData::IsInstanceOf(node, type);
}

Bool BaseTerrainOperatorData::GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags)
{
  if (!node || !description || !description->LoadDescription(node->GetType()))
    return false;
  flags |= DESCFLAGS_DESC::LOADED;

  BaseObject* op = AsObject(node);
  BaseContainer& data = op->GetDataInstanceRef();
  if (!GetOperatorDDescription(node, data, description, flags))
    return false;

  // Filters always blend NORMAL at their own scale: their blend controls stay hidden.
  const Bool generator = IsGenerator(GetOperatorFlags(op));
  const Bool usesFactor = BlendModeUsesFactor(data.GetInt32(TERRAINOPERATOR_BLENDMODE));
  SetDescriptionParameterHidden(node, description, TERRAINOPERATOR_BLENDMODE, generator);
  SetDescriptionParameterHidden(node, description, TERRAINOPERATOR_HEIGHT, generator && !usesFactor);
  SetDescriptionParameterHidden(node, description, TERRAINOPERATOR_FACTOR, generator && usesFactor);
  SetDescriptionParameterHidden(node, description, TERRAINOPERATOR_OFFSET, generator);

  BaseArray<CustomOutput> outputs;
  if (GetCustomOutputsList(outputs, node) &&
      !SetDescriptionCycleEntries(node, description, TERRAINOPERATOR_EXPORT_MODE, outputs, true))
  {
    ConsolePrint(String("Could not add LONG CYCLE elements!"));
    return false;
  }
  return ObjectData::GetDDescription(node, description, flags);
}

Bool BaseTerrainOperatorData::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data,
                                           DESCFLAGS_ENABLE flags, const BaseContainer* itemdesc)
{
  if (!node)
    return false;
  BaseObject* op = AsObject(node);
  const BaseContainer& data = op->GetDataInstanceRef();
  // The masks weigh the terrain the operators before this one made: the first operator has none.
  const Bool hasPredecessor = op->GetPred() != nullptr;
  const Int32 parameter = id[0].id;
  switch (parameter)
  {
    case TERRAINOPERATOR_MASKING_SLOPE:
    case TERRAINOPERATOR_MASKING_HEIGHT:
      return hasPredecessor;
    case TERRAINOPERATOR_MASKING_SLOPE_LOW:
    case TERRAINOPERATOR_MASKING_SLOPE_HIGH:
    case TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW:
    case TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH:
      return hasPredecessor && data.GetBool(TERRAINOPERATOR_MASKING_SLOPE);
    case TERRAINOPERATOR_MASKING_HEIGHT_LOW:
    case TERRAINOPERATOR_MASKING_HEIGHT_HIGH:
    case TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW:
    case TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH:
      return hasPredecessor && data.GetBool(TERRAINOPERATOR_MASKING_HEIGHT);
    case TERRAINOPERATOR_EXPORT:
      return _output.cellCount > 8;
    default:
      break;
  }
  if (!ObjectData::GetDEnabling(node, id, t_data, flags, itemdesc))
    return false;
  return GetOperatorDEnabling(node, id, t_data, data, flags, itemdesc);
}

// ---------------------------------------------------------------------------------------------------
// Defaults of the operator interface

Bool BaseTerrainOperatorData::InitOperatorParameters(GeListNode*, BaseContainer&)
{
  return true;
}

Bool BaseTerrainOperatorData::OperatorMessage(GeListNode*, Int32, void*)
{
  return false;
}

Bool BaseTerrainOperatorData::GetOperatorDDescription(GeListNode*, BaseContainer&, Description*, DESCFLAGS_DESC&)
{
  return true;
}

Bool BaseTerrainOperatorData::GetOperatorDEnabling(GeListNode*, const DescID&, const GeData&, const BaseContainer&,
                                                   DESCFLAGS_ENABLE, const BaseContainer*)
{
  return true;
}

Bool BaseTerrainOperatorData::IsOperatorDirty(BaseObject*, BaseDocument*, EvaluationContext&)
{
  return false;
}

Int BaseTerrainOperatorData::GetMemoryUsage()
{
  return OPERATOR_BASE_MEMORY + static_cast<Int>(sizeof(Float)) * (_output.cellCount + _customOutput.cellCount);
}

Bool BaseTerrainOperatorData::GetDirtyParameterIds(BaseArray<Int32>&, const BaseContainer&)
{
  return false;
}

Bool BaseTerrainOperatorData::AddCustomOutputs(BaseArray<CustomOutput>&, GeListNode*)
{
  return false;
}

Result<String> BaseTerrainOperatorData::GetCustomOutputName(Int32 outputId)
{
  if (outputId == ID_OGX_CUSTOMOUTPUT_DIFFERENCE)
    return GeLoadString(IDS_DIFFERENCE_OUTPUT);
  return IllegalArgumentError("Unknown outputId!");
}

Result<Grid2D<Float>*> BaseTerrainOperatorData::GetCustomOutputGrid(Int32 outputId)
{
  if (outputId == ID_OGX_CUSTOMOUTPUT_DIFFERENCE)
    return &_customOutput;
  return IllegalArgumentError("Unknown outputId!");
}

Bool BaseTerrainOperatorData::GetCustomOutputsList(BaseArray<CustomOutput>& list, GeListNode* node)
{
  if (IsFilter(GetOperatorFlags(AsObject(node))))
  {
    // A failed name is reported like a failed append: either way the difference map cannot be listed.
    Result<String> name = GetCustomOutputName(ID_OGX_CUSTOMOUTPUT_DIFFERENCE);
    if (name.IsError())
      return ReportOperatorError(name.GetError());
    Result<void> appended = list.Append(CustomOutput{ID_OGX_CUSTOMOUTPUT_DIFFERENCE, std::move(name).GetValue()});
    if (appended.IsError())
      return ReportOperatorError(appended.GetError());
  }
  AddCustomOutputs(list, node);
  return !list.IsEmpty();
}

// ---------------------------------------------------------------------------------------------------
// Dirty test and evaluation

OPERATORDIRTY BaseTerrainOperatorData::GetDirtyState(BaseObject* op, BaseDocument* doc, EvaluationContext& context)
{
  const TERRAINOPERATORFLAGS flags = GetOperatorFlags(op);
  const BaseContainer& data = op->GetDataInstanceRef();

  const Int dataDirty = op->GetDirty(DIRTYFLAGS::DATA);
  Bool dataChanged = dataDirty != _savedStamps[STAMP_DATA];
  _currentStamps[STAMP_DATA] = dataDirty;

  // With listed ids only those parameters recompute; every other change (opacity, blend mode, masks) only
  // blends again.
  Bool rebuild = false;
  BaseArray<Int32> ids;
  if (GetDirtyParameterIds(ids, data))
    rebuild = !ids.IsEmpty() && !ContainersEqual(&data, &_savedParameters, &ids);
  else
    rebuild = dataChanged;

  // A filter works on what its predecessor left: another object before it, or a changed one, recomputes.
  if (IsFilter(flags))
  {
    if (BaseObject* pred = op->GetPred())
    {
      _currentPredecessorIdentity = pred->GetGUID();
      _currentPredecessorDirty = pred->GetDirty(DIRTYFLAGS::DATA);
      if (_currentPredecessorIdentity != _savedPredecessorIdentity || _currentPredecessorDirty != _savedPredecessorDirty)
        rebuild = true;
    }
  }

  auto checkMatrix = [&](TERRAINOPERATORFLAGS flag, STAMP stamp, const Matrix& m) {
    if (!HasFlags(flags, flag))
      return;
    _currentStamps[stamp] = static_cast<Int>(HashMatrix(m));
    if (_currentStamps[stamp] != _savedStamps[stamp])
      rebuild = true;
  };
  checkMatrix(TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR, STAMP_MATRIX_OPERATOR, op->GetMl());
  checkMatrix(TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY, STAMP_MATRIX_PARENTHIERARCHY, context.parentMatrix);
  checkMatrix(TERRAINOPERATORFLAGS::DIRTY_MATRIX_TERRAIN, STAMP_MATRIX_TERRAIN, context.terrainMatrix);

  // The masking fields only weigh the blend, so their changes re-blend and never recompute.
  const FieldList* fields =
    static_cast<const FieldList*>(data.GetCustomData(TERRAINOPERATOR_MASKING_FIELDS_LIST, CUSTOMDATATYPE_FIELDLIST));
  if (fields && fields->Query(FIELDLIST_QUERY_HASLAYERS))
  {
    _currentStamps[STAMP_FIELDS_CHECKSUM] = fields->GetDirtyChecksum(doc);
    if (_currentStamps[STAMP_FIELDS_CHECKSUM] != _savedStamps[STAMP_FIELDS_CHECKSUM])
      dataChanged = true;
    if (const FieldLayer* layer = fields->GetFirstLayer())
    {
      Int layerSum = 0;
      Int linkSum = 0;
      for (; layer; layer = GetNextFieldLayer(layer))
      {
        layerSum += layer->GetDirty();
        if (const BaseObject* linked = layer->GetLinkedObject(doc))
          linkSum += linked->GetDirty(LINKED_OBJECT_DIRTY);
      }
      _currentStamps[STAMP_FIELDLAYERS_DIRTY] = layerSum;
      _currentStamps[STAMP_FIELDLINKS_DIRTY] = linkSum;
      if (layerSum != _savedStamps[STAMP_FIELDLAYERS_DIRTY] || linkSum != _savedStamps[STAMP_FIELDLINKS_DIRTY])
        dataChanged = true;
    }
  }

  // A grid of another shape than this rebuild asks for (or none yet) must be recomputed.
  if (_output.width != context.resolutionX + 1 || _output.height != context.resolutionZ + 1 ||
      _output.sizeX != context.sizeX || _output.sizeY != context.sizeZ)
    rebuild = true;

  OPERATORDIRTY result = OPERATORDIRTY::CLEAN;
  if (IsOperatorDirty(op, doc, context))
    result = OPERATORDIRTY::REBUILD;
  else if (dataChanged)
    result = OPERATORDIRTY::REEVALUATE;
  if (rebuild)
    result = OPERATORDIRTY::REBUILD;
  return result;
}

Result<void> BaseTerrainOperatorData::FinishOutputLoop(Result<void> loop, const Grid2D<Float>& terrain)
{
  if (loop.IsError())
    (void)_output.InitLike(terrain);
  return loop;
}

Result<void> BaseTerrainOperatorData::BuildDifferenceMap(const Grid2D<Float>& terrain)
{
  if (terrain.cellCount != _output.cellCount)
  {
    // The map is left as the copy of the terrain it is made from.
    HOST_TRY(_customOutput.CopyFrom(terrain));
    return IllegalArgumentError("Cannot merge grids of different sizes!");
  }
  // The map is a copy of the terrain with the output blended into it in mode DIFFERENCE (opacity 1,
  // layer scale 1, offset 0), normalised. The copy and the blend are one pass here: each cell gets
  // BlendValue of its terrain height and output value, the value BlendGrids writes over the copied
  // cell, so the map's cells are neither cleared nor copied first. Its minimum and maximum are those
  // Normalize finds, as after the copy.
  HOST_TRY(_customOutput.InitLikeForOverwrite(terrain));
  using blend_detail::BlendValue;
  constexpr Float opacity = 1.0;
  constexpr Float layerScale = 1.0;
  constexpr Float layerOffset = 0.0;
  const Float* heights = terrain.cells.GetFirst();
  const Float* layer = _output.cells.GetFirst();
  Float* map = _customOutput.cells.GetFirst();
  HOST_TRY(OGX::ParallelForBlocks(0, _customOutput.cellCount, [=](Int begin, Int end) {
    for (Int i = begin; i < end; ++i)
      map[i] = BlendValue<BLENDMODE::DIFFERENCE>(heights[i], layer[i] * layerScale + layerOffset, opacity, 0.0, 0.0,
                                                 0.0);
  }));
  _customOutput.Normalize(1.0, 0.0);
  return OK;
}

Result<EVALUATIONRESULT> BaseTerrainOperatorData::EvaluateOperator(const Grid2D<Float>& terrain, BaseObject* op,
                                                                   BaseDocument* doc, EvaluationContext& context)
{
  BaseContainer& data = op->GetDataInstanceRef();
  // A failure leaves the evaluating text, keeps the rebuild flag set and saves no stamps, so the next
  // rebuild tries again.
  auto fail = [&](const Error& error) -> Result<EVALUATIONRESULT> {
    data.SetString(TERRAINOPERATOR_INFO, GeLoadString(IDS_EVALUATING));
    return error;
  };

  const Bool filter = IsFilter(GetOperatorFlags(op));
  EVALUATIONRESULT result = EVALUATIONRESULT::CACHED;
  if (_rebuild)
  {
    Result<void> computed = ComputeOperator(terrain, op, doc, context);
    if (computed.IsError())
      return fail(computed.GetError());
    result = EVALUATIONRESULT::REBUILT;
  }

  if (filter)
  {
    Result<void> difference = BuildDifferenceMap(terrain);
    if (difference.IsError())
      return fail(difference.GetError());
  }

  data.SetString(TERRAINOPERATOR_INFO, FormatMemoryText(static_cast<UInt>(GetMemoryUsage())));

  // No further host call on the object here. What matters is that the data dirty count saved below is
  // read after this evaluation's own writes (the status text just above), so that they never look like
  // a change to the next dirty test. Sending the object a message (MSG_UPDATE, say) would only run the
  // operator's own message handler on the build thread in the middle of the terrain's cache build, and
  // the update message raises no dirty count that could matter here.
  const Int dataDirty = op->GetDirty(DIRTYFLAGS::DATA);
  _currentStamps[STAMP_DATA] = dataDirty;
  // The same holds for a filter's predecessor: when it was evaluated in this pass (before this filter),
  // its status text raised its data count after the dirty test read it. Recording the count as it is
  // now keeps that write from recomputing this filter once more on the next rebuild.
  if (filter)
  {
    if (const BaseObject* pred = op->GetPred())
    {
      _currentPredecessorIdentity = pred->GetGUID();
      _currentPredecessorDirty = pred->GetDirty(DIRTYFLAGS::DATA);
    }
  }
  for (Int i = 0; i < STAMP_COUNT; ++i)
    _savedStamps[i] = _currentStamps[i];
  _savedPredecessorIdentity = _currentPredecessorIdentity;
  _savedPredecessorDirty = _currentPredecessorDirty;

  // A custom value that cannot be cloned leaves a partial copy; the next dirty test then sees a
  // difference and recomputes, which is safe.
  data.CopyTo(&_savedParameters);

  _rebuild = false;
  return result;
}
} // namespace OGX

Bool ReportOperatorError(const Error& error)
{
  ConsolePrint(error.GetText());
  return false;
}

Bool AppendDirtyParameterIds(BaseArray<Int32>& ids, std::initializer_list<Int32> list)
{
  for (const Int32 id : list)
  {
    Result<void> appended = ids.Append(id);
    if (appended.IsError())
      return ReportOperatorError(appended.GetError());
  }
  return true;
}
