// The terrain operator shader: a channel shader that lets a material read one map of a terrain
// operator (its output heights, their slope, its masking-field map or one of its custom outputs).
//
// InitRender copies the chosen map into the shader's own grid and normalises it to 0..1 (a flat map
// becomes 0 everywhere); SampleColor maps the texture point onto that grid (u across the columns, v down
// the rows, row 0 at +Z, both clamped to 0..1), interpolates, and answers grey or the colour of the
// shader's gradient. With nothing to show, an unlinked shader answers the ramp 1 - v; one held by a
// shader operator, or asked for a masking map of an operator without masking layers, answers black.
//
// The link accepts terrain operators only: anything else (a cube, a light) reads as no link everywhere,
// so no other object's data is ever taken for an operator's and no observer list is touched for it. A
// shader in no document reads no link either. The shader enters its owner (the material or other
// element that holds it) into the linked operator's observer list when the link is set, when its
// document is loaded, merged or undone, and when it is copied into a document, so that the operator
// marks it dirty whenever its output changes.
//
// Threads: SampleColor runs on the render's threads at once and only reads; InitRender fills the grid
// on all threads; everything else runs on the host's main thread.
#pragma once

#include "host/shading/gradient.h"
#include "host/shading/renderdata.h"
#include "orogenix/baseterrainoperator.h"

// The shader's parameters (description "xterrainoperatorshader").
enum : Int32
{
  TERRAINOPERATORSHADER_OPERATOR = 10000,             // link to a terrain operator
  TERRAINOPERATORSHADER_OUTPUT = 10001,               // Int32: 0 heights, 1 slope, 2 masking map, else a custom output
  TERRAINOPERATORSHADER_INTERPOLATION = 10002,        // Int32 SAMPLEINTERPOLATION, default BICUBIC
  TERRAINOPERATORSHADER_GRADIENT = 10003,             // Gradient: the colour map
  TERRAINOPERATORSHADER_USEGRADIENT = 10004,          // Bool: map the value through the gradient
  TERRAINOPERATORSHADER_CUSTOMSLOPEDIRECTION = 10005, // Bool
  TERRAINOPERATORSHADER_SLOPEDIRECTION = 10006,       // Vector, default (0, 1, 0)
  TERRAINOPERATORSHADER_APPLYMASK = 10007,            // Bool: multiply the map by the masking-field map
};

// Values of TERRAINOPERATORSHADER_OUTPUT besides the custom outputs' ids.
enum : Int32
{
  TERRAINOPERATORSHADER_OUTPUT_HEIGHTS = 0,
  TERRAINOPERATORSHADER_OUTPUT_SLOPE = 1,
  TERRAINOPERATORSHADER_OUTPUT_MASK = 2,
};

class TerrainOperatorShader : public ShaderData
{
public:
  static NodeData* Alloc();

  TerrainOperatorShader();
  ~TerrainOperatorShader() override;

  // The defaults; false when the temporary gradient cannot be had or stored.
  Bool Init(GeListNode* node) override;
  Bool CopyTo(NodeData* dest, const GeListNode* snode, GeListNode* dnode, COPYFLAGS flags,
              AliasTrans* trn) const override;
  // The drag check of the link (a shader operator that samples this very shader is refused) and the
  // document information that enters the owner into the linked operator's list.
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  // Follows changes of the link: the owner leaves the old operator's list and enters the new one's.
  Bool SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags) override;
  Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                    const BaseContainer* itemdesc) override;
  INITRENDERRESULT InitRender(BaseShader* sh, const InitRenderStruct& irs) override;
  void FreeRender(BaseShader* sh) override;
  Vector SampleColor(BaseShader* sh, ChannelData* cd) override;

  // What InitRender left, for tests and tools.
  const Grid2D<Float>& GetSampleGrid() const { return _sampleGrid; }
  Float GetRangeMin() const { return _rangeMin; }
  Float GetRangeMax() const { return _rangeMax; }
  Float GetInverseRange() const { return _inverseRange; }
  Bool IsInsideShaderOperator() const { return _insideShaderOperator; }
  Bool HasNoMaskMap() const { return _noMaskMap; }
  const Gradient* GetGradient() const { return _gradient; }
  // True while the gradient is the shader's own copy (made by CopyTo) rather than its container's.
  Bool OwnsGradient() const { return _gradient != nullptr && _gradient == _ownedGradient; }

private:
  // Fills the sample grid from the operator's map; false when it must not be normalised.
  Result<Bool> FillFromOperator(BaseObject* op, OGX::BaseTerrainOperatorData* data, const Vector& slopeDirection);
  void ReleaseOwnedGradient();
  Vector Colour(Float value) const;

  Grid2D<Float> _sampleGrid;
  Int32 _output = 0;
  Float _rangeMin = 0.0;
  Float _rangeMax = 0.0;
  Float _inverseRange = 0.0;
  SAMPLEINTERPOLATION _interpolation = SAMPLEINTERPOLATION::NEAREST;
  Bool _gradientOn = false;
  Gradient* _gradient = nullptr;        // the gradient SampleColor reads: the container's or _ownedGradient
  Bool _applyMask = false;
  Bool _insideShaderOperator = false;
  Bool _noMaskMap = false;
  Gradient* _ownedGradient = nullptr;   // the copy CopyTo made; freed by FreeRender, InitRender, the destructor
};

// The terrain operator a link names in doc: null unless doc is given and the link's target lives there,
// is an object, answers the operator base's instance test and carries operator data.
BaseObject* ResolveTerrainOperator(const GeData& link, const BaseDocument* doc);
BaseObject* ResolveTerrainOperator(const BaseContainer& data, Int32 id, const BaseDocument* doc);
// The operator data of an object ResolveTerrainOperator returned (null for anything else).
OGX::BaseTerrainOperatorData* GetTerrainOperatorData(BaseList2D* node);

// Every cell of grid to (value - rangeMin) x inverseRange, on all threads.
Result<void> FillShaderSampleGrid(Grid2D<Float>& grid, Float rangeMin, Float inverseRange);
// Prints the error's text to the host console and answers UNKNOWNERROR.
INITRENDERRESULT ReportShaderInitRenderError(const Error& error);

// Registers the shader (id 1054655, description "xterrainoperatorshader", name string 10015) after
// printing its registration line.
Bool RegisterTerrainOperatorShader();
