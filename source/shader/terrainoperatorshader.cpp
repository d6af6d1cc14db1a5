#include "shader/terrainoperatorshader.h"

#include <algorithm>

#include "common/ogx_gui.h"
#include "host/core/log.h"
#include "host/scene/description.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "object/operator_shader.h"
#include "object/terrainobject.h"
#include "orogenix/blend.h"
#include "orogenix/masking.h"
#include "orogenix/ogx_ids.h"
#include "orogenix/ogx_parallel.h"

namespace
{
constexpr Int32 IDS_SHADER_NAME = 10015;
constexpr Int32 IDS_REGISTERED = 10019;
constexpr const char* SHADER_DESCRIPTION_NAME = "xterrainoperatorshader";
constexpr Int32 SHADER_INFO = 0;
constexpr Int32 SHADER_DISKLEVEL = 0;

const Vector UP(0.0, 1.0, 0.0);

BaseContainer& DataOf(GeListNode* node)
{
  return static_cast<BaseList2D*>(node)->GetDataInstanceRef();
}

const BaseContainer& DataOf(const GeListNode* node)
{
  return static_cast<const BaseList2D*>(node)->GetDataInstanceRef();
}

// The element that holds the shader: the observer the linked operator keeps. Null for a node that is
// no shader or is held by nothing.
BaseList2D* OwnerOf(const GeListNode* node)
{
  if (!node || node->GetKind() != NODEKIND::SHADER)
    return nullptr;
  return static_cast<const BaseShader*>(node)->GetOwner();
}

Bool PrintError(const Error& error)
{
  ConsolePrint(error.GetText());
  return false;
}

// Whether a channel shader of owner other than node links op in doc.
Bool OtherShaderLinks(BaseList2D* owner, const GeListNode* node, const BaseObject* op, const BaseDocument* doc)
{
  if (!owner)
    return false;
  return VisitShaderTree(owner->GetFirstShader(), nullptr, ID_OGX_TERRAINOPERATORSHADER, 0,
                         [&](BaseList2D* other, Int32) {
                           return other != node &&
                                  ResolveTerrainOperator(DataOf(other), TERRAINOPERATORSHADER_OPERATOR, doc) == op;
                         });
}

// Enters the owner of node into the list of the operator the link of src names in doc; nothing when the
// link names no operator. False (the error printed) when the list refuses.
Bool ObserveLinkedOperator(const BaseContainer& src, const BaseDocument* linkDoc, const GeListNode* node,
                           BaseDocument* observerDoc)
{
  BaseObject* op = ResolveTerrainOperator(src, TERRAINOPERATORSHADER_OPERATOR, linkDoc);
  if (!op)
    return true;
  const Result<void> added = GetTerrainOperatorData(op)->GetObservable().Add(OwnerOf(node), observerDoc);
  return added.IsOk() || PrintError(added.GetError());
}

// mask x layer, cell by cell, into mask (both the operator's shape).
Result<void> MultiplyInto(Grid2D<Float>& mask, const Grid2D<Float>& layer)
{
  if (mask.cellCount != layer.cellCount)
    return IllegalArgumentError("Cannot merge grids of different sizes!");
  BlendJob job;
  job.destination = mask.cells.GetFirst();
  job.layer = layer.cells.GetFirst();
  job.destinationMin = &mask.min;
  job.mode = static_cast<Int32>(BLENDMODE::MULTIPLY);
  job.opacity = 1.0;
  job.layerScale = 1.0;
  job.layerOffset = 0.0;
  job.useMask = false;
  return BlendGrids(0, mask.cellCount, job);
}

// map, or with applyMask and enabled masking layers the masking-field map times map, into out.
// Without enabled layers the map itself: an operator with nothing to mask it shows unmasked.
Result<void> MaskedCopy(BaseObject* op, const Grid2D<Float>& outputGrid, const Grid2D<Float>& map, Bool applyMask,
                        Grid2D<Float>& out)
{
  if (applyMask)
  {
    Grid2D<Float> mask;
    if (HOST_TRY(GetMaskingFieldList(op, outputGrid, mask)) > 0)
    {
      HOST_TRY(MultiplyInto(mask, map));
      out = std::move(mask);
      return OK;
    }
  }
  return out.CopyFrom(map);
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Linked operators

OGX::BaseTerrainOperatorData* GetTerrainOperatorData(BaseList2D* node)
{
  if (!node || node->GetKind() != NODEKIND::OBJECT || !node->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
    return nullptr;
  // The instance test is the plug-in's own answer; the data's type is checked as well, so that no other
  // object's data is ever used as an operator's.
  return dynamic_cast<OGX::BaseTerrainOperatorData*>(node->GetNodeData());
}

BaseObject* ResolveTerrainOperator(const GeData& link, const BaseDocument* doc)
{
  // Without a document a link would resolve among the nodes that are in none; the shader reads nothing
  // there.
  if (!doc)
    return nullptr;
  BaseList2D* node = link.GetLink(doc);
  return GetTerrainOperatorData(node) ? static_cast<BaseObject*>(node) : nullptr;
}

BaseObject* ResolveTerrainOperator(const BaseContainer& data, Int32 id, const BaseDocument* doc)
{
  return ResolveTerrainOperator(data.GetData(id), doc);
}

Result<void> FillShaderSampleGrid(Grid2D<Float>& grid, Float rangeMin, Float inverseRange)
{
  Float* cells = grid.cells.GetFirst();
  return OGX::ParallelForBlocks(0, grid.cellCount, [=](Int begin, Int end) {
    for (Int i = begin; i < end; ++i)
      cells[i] = (cells[i] - rangeMin) * inverseRange;
  });
}

INITRENDERRESULT ReportShaderInitRenderError(const Error& error)
{
  ConsolePrint(error.GetText());
  return INITRENDERRESULT::UNKNOWNERROR;
}

// ---------------------------------------------------------------------------------------------------
// Node

NodeData* TerrainOperatorShader::Alloc()
{
  return NewObj<TerrainOperatorShader>();
}

TerrainOperatorShader::TerrainOperatorShader()
{
  _sampleGrid.Reset();
}

TerrainOperatorShader::~TerrainOperatorShader()
{
  ReleaseOwnedGradient();
}

void TerrainOperatorShader::ReleaseOwnedGradient()
{
  if (_gradient == _ownedGradient)
    _gradient = nullptr;
  Gradient::Free(_ownedGradient);
}

Bool TerrainOperatorShader::Init(GeListNode* node)
{
  if (!node)
    return false;
  BaseContainer& bc = DataOf(node);
  bc.SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS);
  bc.SetBool(TERRAINOPERATORSHADER_APPLYMASK, false);
  bc.SetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, false);
  bc.SetVector(TERRAINOPERATORSHADER_SLOPEDIRECTION, UP);
  bc.SetInt32(TERRAINOPERATORSHADER_INTERPOLATION, static_cast<Int32>(SAMPLEINTERPOLATION::BICUBIC));
  bc.SetBool(TERRAINOPERATORSHADER_USEGRADIENT, true);

  // Two knots, black at 0 and white at 1, each of brightness 1, bias 0.5, index 0, smooth.
  Gradient* gradient = Gradient::Alloc();
  if (!gradient)
    return false;
  const Bool knots = SetDefaultGradientKnots(*gradient);
  if (knots)
    bc.SetData(TERRAINOPERATORSHADER_GRADIENT, GeData(*gradient));
  Gradient::Free(gradient);
  // A gradient that could not be stored would leave every render failing: the node is not made.
  if (!knots || !bc.GetCustomData(TERRAINOPERATORSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT))
    return false;
  return ShaderData::Init(node);
}

Bool TerrainOperatorShader::CopyTo(NodeData* dest, const GeListNode* snode, GeListNode* dnode, COPYFLAGS flags,
                                   AliasTrans* trn) const
{
  if (!dest || !snode || !dnode)
    return false;
  auto* d = static_cast<TerrainOperatorShader*>(dest);

  if (BaseDocument* destDoc = dnode->GetDocument())
    if (!ObserveLinkedOperator(DataOf(snode), snode->GetDocument(), dnode, destDoc))
      return false;

  const Result<void> grid = d->_sampleGrid.CopyFrom(_sampleGrid);
  if (grid.IsError())
    return PrintError(grid.GetError());
  d->_output = _output;
  d->_rangeMin = _rangeMin;
  d->_rangeMax = _rangeMax;
  d->_inverseRange = _inverseRange;
  d->_interpolation = _interpolation;
  d->_gradientOn = _gradientOn;
  d->_applyMask = _applyMask;
  d->_insideShaderOperator = _insideShaderOperator;
  d->_noMaskMap = _noMaskMap;

  // The copy samples like the original without its own InitRender, so it holds its own prepared copy
  // of the gradient, owned and released by it.
  if (_gradient)
  {
    if (!d->_ownedGradient)
    {
      d->_ownedGradient = Gradient::Alloc();
      if (!d->_ownedGradient)
        return PrintError(OutOfMemoryError("Couldn't allocate target Gradient!"));
    }
    if (!_gradient->CopyTo(d->_ownedGradient))
      return PrintError(OutOfMemoryError("Couldn't copy Gradient!"));
    d->_gradient = d->_ownedGradient;
  }
  else
  {
    d->ReleaseOwnedGradient();
    d->_gradient = nullptr;
  }
  return ShaderData::CopyTo(dest, snode, dnode, flags, trn);
}

Bool TerrainOperatorShader::Message(GeListNode* node, Int32 type, void* data)
{
  switch (type)
  {
    case MSG_DESCRIPTION_CHECKDRAGANDDROP:
    {
      if (!data)
      {
        ConsolePrint(String("Received MSG_DESCRIPTION_CHECKDRAGANDDROP, but data pointer is NULL!"));
        return false;
      }
      if (!OwnerOf(node))
        return false;
      auto* check = static_cast<DescriptionCheckDragAndDrop*>(data);
      if (!check->element || check->element->GetType() != ID_OGX_SHADEROPERATOR)
        return true;
      const BaseDocument* doc = node->GetDocument();
      if (!doc)
        return false;
      // A shader operator that samples this very shader would read its own output.
      check->result = GetShaderOperatorShader(check->element, doc) != node;
      return true;
    }
    case MSG_DOCUMENTINFO:
    {
      if (!data)
      {
        ConsolePrint(String("Received MSG_DOCUMENTINFO, but data pointer is NULL!"));
        return false;
      }
      const Int32 infoType = static_cast<const DocumentInfoData*>(data)->type;
      if (infoType == MSG_DOCUMENTINFO_TYPE_LOAD || infoType == MSG_DOCUMENTINFO_TYPE_MERGE ||
          infoType == MSG_DOCUMENTINFO_TYPE_UNDO)
      {
        BaseDocument* doc = node ? node->GetDocument() : nullptr;
        if (node && !ObserveLinkedOperator(DataOf(node), doc, node, doc))
          return false;
      }
      return ShaderData::Message(node, type, data);
    }
    default: return ShaderData::Message(node, type, data);
  }
}

Bool TerrainOperatorShader::GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags)
{
  if (!node || !description || !description->LoadDescription(node->GetType()))
    return false;
  flags |= DESCFLAGS_DESC::LOADED;

  const BaseContainer& bc = DataOf(node);
  const Bool slope = bc.GetInt32(TERRAINOPERATORSHADER_OUTPUT) == TERRAINOPERATORSHADER_OUTPUT_SLOPE;
  SetDescriptionParameterHidden(node, description, TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION, slope);
  SetDescriptionParameterHidden(node, description, TERRAINOPERATORSHADER_SLOPEDIRECTION, slope);

  if (BaseObject* op = ResolveTerrainOperator(bc, TERRAINOPERATORSHADER_OPERATOR, node->GetDocument()))
  {
    BaseArray<CustomOutput> outputs;
    if (GetTerrainOperatorData(op)->GetCustomOutputsList(outputs, op) &&
        !SetDescriptionCycleEntries(node, description, TERRAINOPERATORSHADER_OUTPUT, outputs, true))
      return PrintError(UnexpectedError("Could not add LONG CYCLE elements!"));
  }
  return ShaderData::GetDDescription(node, description, flags);
}

Bool TerrainOperatorShader::SetParameter(GeListNode* node, const DescID& id, const GeData& t_data,
                                         DESCFLAGS_SET& flags)
{
  if (!node)
    return false;
  if (id[0].id == TERRAINOPERATORSHADER_OPERATOR)
  {
    BaseDocument* doc = node->GetDocument();
    BaseContainer& bc = DataOf(node);
    BaseObject* oldOp = ResolveTerrainOperator(bc, TERRAINOPERATORSHADER_OPERATOR, doc);
    BaseObject* newOp = ResolveTerrainOperator(t_data, doc);
    if (oldOp != newOp)
    {
      BaseList2D* owner = OwnerOf(node);
      // The new list first: when it refuses the owner, the link stays as it was and so does the old
      // operator's list, which still has to tell this shader of its changes.
      OGX::BaseTerrainOperatorData* data = newOp ? GetTerrainOperatorData(newOp) : nullptr;
      if (data)
      {
        const Result<void> added = data->GetObservable().Add(owner, doc);
        if (added.IsError())
          return PrintError(added.GetError());
      }
      // The list holds the owner once for all its shaders: while another channel shader of the same
      // owner still reads the old operator, the owner must keep hearing of that operator's changes.
      if (oldOp && !OtherShaderLinks(owner, node, oldOp, doc))
        GetTerrainOperatorData(oldOp)->GetObservable().Remove(owner, doc);
      if (data)
      {
        // A custom output the new operator does not offer falls back to its heights.
        const Int32 output = bc.GetInt32(TERRAINOPERATORSHADER_OUTPUT);
        if (output > TERRAINOPERATORSHADER_OUTPUT_MASK)
        {
          BaseArray<CustomOutput> outputs;
          const Bool offered = data->GetCustomOutputsList(outputs, newOp) &&
                               std::any_of(outputs.begin(), outputs.end(),
                                           [&](const CustomOutput& o) { return o.id == output; });
          if (!offered)
            bc.SetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS);
        }
      }
    }
  }
  return ShaderData::SetParameter(node, id, t_data, flags);
}

Bool TerrainOperatorShader::GetDEnabling(GeListNode* node, const DescID& id, const GeData&, DESCFLAGS_ENABLE,
                                         const BaseContainer*)
{
  if (!node)
    return false;
  const BaseContainer& bc = DataOf(node);
  const Bool linked = ResolveTerrainOperator(bc, TERRAINOPERATORSHADER_OPERATOR, node->GetDocument()) != nullptr;
  switch (id[0].id)
  {
    case TERRAINOPERATORSHADER_OUTPUT:
    case TERRAINOPERATORSHADER_INTERPOLATION:
    case TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION: return linked;
    case TERRAINOPERATORSHADER_GRADIENT: return bc.GetBool(TERRAINOPERATORSHADER_USEGRADIENT);
    case TERRAINOPERATORSHADER_SLOPEDIRECTION: return bc.GetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION) && linked;
    case TERRAINOPERATORSHADER_APPLYMASK:
      return !linked || bc.GetInt32(TERRAINOPERATORSHADER_OUTPUT) != TERRAINOPERATORSHADER_OUTPUT_MASK;
    default: return true;
  }
}

// ---------------------------------------------------------------------------------------------------
// Render

Result<Bool> TerrainOperatorShader::FillFromOperator(BaseObject* op, OGX::BaseTerrainOperatorData* data,
                                                      const Vector& slopeDirection)
{
  const Grid2D<Float>& outputGrid = data->GetOutputGrid();
  switch (_output)
  {
    case TERRAINOPERATORSHADER_OUTPUT_HEIGHTS:
      HOST_TRY(MaskedCopy(op, outputGrid, outputGrid, _applyMask, _sampleGrid));
      return true;
    case TERRAINOPERATORSHADER_OUTPUT_SLOPE:
    {
      if (outputGrid.cellCount == 0)
        return true;
      // The output heights themselves unless a mask weighs them.
      const Grid2D<Float>* heights = &outputGrid;
      Grid2D<Float> masked;
      if (_applyMask)
      {
        HOST_TRY(MaskedCopy(op, outputGrid, outputGrid, true, masked));
        heights = &masked;
      }
      HOST_TRY(FillSlopeGrid(*heights, _sampleGrid, slopeDirection));
      return true;
    }
    case TERRAINOPERATORSHADER_OUTPUT_MASK:
      if (HOST_TRY(GetMaskingFieldList(op, outputGrid, _sampleGrid)) > 0)
        return true;
      _noMaskMap = true;
      return false;
    default:
    {
      const Result<Grid2D<Float>*> custom = data->GetCustomOutputGrid(_output);
      if (custom.IsError() || !custom.GetValue() || custom.GetValue()->cellCount != outputGrid.cellCount)
        return IllegalArgumentError("Custom output map resolution differs from terrain resolution!");
      HOST_TRY(MaskedCopy(op, outputGrid, *custom.GetValue(), _applyMask, _sampleGrid));
      return true;
    }
  }
}

INITRENDERRESULT TerrainOperatorShader::InitRender(BaseShader* sh, const InitRenderStruct& irs)
{
  if (!sh)
    return INITRENDERRESULT::OUTOFMEMORY;
  if (!irs.doc)
    return INITRENDERRESULT::UNKNOWNERROR;

  // A copy's own gradient goes before the shader points at its container's again.
  ReleaseOwnedGradient();
  _sampleGrid.Reset();
  _output = 0;
  _rangeMin = _rangeMax = _inverseRange = 0.0;
  _interpolation = SAMPLEINTERPOLATION::NEAREST;
  _gradientOn = false;
  _gradient = nullptr;
  _applyMask = false;
  _insideShaderOperator = false;
  _noMaskMap = false;

  BaseContainer& bc = sh->GetDataInstanceRef();
  _gradientOn = bc.GetBool(TERRAINOPERATORSHADER_USEGRADIENT);
  auto* gradient = static_cast<Gradient*>(bc.GetCustomData(TERRAINOPERATORSHADER_GRADIENT, CUSTOMDATATYPE_GRADIENT));
  if (!gradient)
    return INITRENDERRESULT::UNKNOWNERROR;
  const Result<void> prepared = gradient->InitRender(irs);
  if (prepared.IsError())
    return ReportShaderInitRenderError(prepared.GetError());
  _gradient = gradient;

  const BaseList2D* owner = sh->GetOwner();
  _insideShaderOperator = owner && owner->GetType() == ID_OGX_SHADEROPERATOR;

  BaseObject* op = ResolveTerrainOperator(bc, TERRAINOPERATORSHADER_OPERATOR, irs.doc);
  if (!op)
    return INITRENDERRESULT::OK;
  OGX::BaseTerrainOperatorData* data = GetTerrainOperatorData(op);

  Vector slopeDirection = UP;
  if (bc.GetBool(TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION))
    slopeDirection = bc.GetVector(TERRAINOPERATORSHADER_SLOPEDIRECTION, UP).GetNormalized();

  _output = bc.GetInt32(TERRAINOPERATORSHADER_OUTPUT, TERRAINOPERATORSHADER_OUTPUT_HEIGHTS);
  _applyMask = bc.GetBool(TERRAINOPERATORSHADER_APPLYMASK);
  _interpolation = static_cast<SAMPLEINTERPOLATION>(
    bc.GetInt32(TERRAINOPERATORSHADER_INTERPOLATION, static_cast<Int32>(SAMPLEINTERPOLATION::BICUBIC)));

  auto fail = [&](const Error& error) {
    // A half-built map is never sampled: the shader shows what it shows without one.
    _sampleGrid.Reset();
    return ReportShaderInitRenderError(error);
  };
  const Result<Bool> filled = FillFromOperator(op, data, slopeDirection);
  if (filled.IsError())
    return fail(filled.GetError());
  if (!filled.GetValue())
    return INITRENDERRESULT::OK;

  _sampleGrid.RecomputeMinMax();
  if (_sampleGrid.minMaxValid)
  {
    _rangeMin = _sampleGrid.min;
    _rangeMax = _sampleGrid.max;
  }
  const Float range = _rangeMax - _rangeMin;
  _inverseRange = range != 0.0 ? 1.0 / range : 0.0;
  const Result<void> normalised = FillShaderSampleGrid(_sampleGrid, _rangeMin, _inverseRange);
  if (normalised.IsError())
    return fail(normalised.GetError());
  return INITRENDERRESULT::OK;
}

void TerrainOperatorShader::FreeRender(BaseShader*)
{
  _sampleGrid.Reset();
  if (_gradient)
    _gradient->FreeRender();
  ReleaseOwnedGradient();
  _gradient = nullptr;
}

Vector TerrainOperatorShader::Colour(Float value) const
{
  if (_gradientOn && _gradient)
    return _gradient->CalcGradientPixel(value);
  return Vector(value, value, value);
}

Vector TerrainOperatorShader::SampleColor(BaseShader*, ChannelData* cd)
{
  if (!cd)
    return Vector();
  const Vector& p = cd->p;
  if (_sampleGrid.cellCount == 0)
  {
    // A shader operator sampling this shader, or a masking map without masking layers, has nothing to
    // show; an unlinked shader shows the ramp so the user sees it works.
    if (_insideShaderOperator || _noMaskMap)
      return Vector();
    return Colour(1.0 - p.y);
  }
  const Float x = std::min(1.0, std::max(0.0, p.x)) * static_cast<Float>(_sampleGrid.width - 1);
  const Float y = std::min(1.0, std::max(0.0, p.y)) * static_cast<Float>(_sampleGrid.height - 1);
  return Colour(_sampleGrid.Sample(x, y, _interpolation));
}

// ---------------------------------------------------------------------------------------------------

Bool RegisterTerrainOperatorShader()
{
  const String name = GeLoadString(IDS_SHADER_NAME);
  ConsolePrint(GeLoadString(IDS_REGISTERED, name));
  return RegisterShaderPlugin(ID_OGX_TERRAINOPERATORSHADER, name, SHADER_INFO, TerrainOperatorShader::Alloc,
                              SHADER_DESCRIPTION_NAME, SHADER_DISKLEVEL);
}
