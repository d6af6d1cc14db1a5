// The operator base: the host object plug-in every terrain operator derives from. It carries the
// shared blend and mask parameters, the cached output grid, the dirty stamps that decide whether the
// next evaluation recomputes, re-blends or leaves the operator alone, a filter's difference map and
// the list of channel shaders that read the operator.
//
// The evaluation queue drives an operator through GetDirtyState, SetRebuildFlag, EvaluateOperator
// (which recomputes only when the rebuild flag is set) and ApplyToTerrain (mask and blend into the
// terrain). Everything runs on the thread that builds the owning terrain object's cache.
#pragma once

#include <initializer_list>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/string.h"
#include "host/scene/scene.h"

#include "orogenix/enums.h"
#include "orogenix/evaluationcontext.h"
#include "orogenix/grid2d.h"
#include "orogenix/observable.h"
#include "orogenix/ogx_ids.h"

// Base parameters, stored in every operator's container (description "Obaseterrainoperator").
enum : Int32
{
  TERRAINOPERATOR_OPACITY = 1001,
  TERRAINOPERATOR_BLENDMODE = 1002,
  TERRAINOPERATOR_HEIGHT = 1003,
  TERRAINOPERATOR_OFFSET = 1004,
  TERRAINOPERATOR_FACTOR = 1005,
  TERRAINOPERATOR_EXPORT_MODE = 1090,
  TERRAINOPERATOR_EXPORT = 1091,
  TERRAINOPERATOR_INFO = 1092,
  TERRAINOPERATOR_MASKING_FIELDS_LIST = 3001,
  TERRAINOPERATOR_MASKING_SLOPE = 3021,
  TERRAINOPERATOR_MASKING_SLOPE_LOW = 3022,
  TERRAINOPERATOR_MASKING_SLOPE_HIGH = 3023,
  TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_LOW = 3024,
  TERRAINOPERATOR_MASKING_SLOPE_FALLOFF_HIGH = 3025,
  TERRAINOPERATOR_MASKING_HEIGHT = 3031,
  TERRAINOPERATOR_MASKING_HEIGHT_LOW = 3032,
  TERRAINOPERATOR_MASKING_HEIGHT_HIGH = 3033,
  TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_LOW = 3034,
  TERRAINOPERATOR_MASKING_HEIGHT_FALLOFF_HIGH = 3035,
};

// The custom output every filter offers: the difference between its input and its output.
inline constexpr Int32 ID_OGX_CUSTOMOUTPUT_DIFFERENCE = 1056542;
// The preferences' keys the operators read: whether generators show their blend mode's icon, and the
// blend mode of new generators.
inline constexpr Int32 OGX_PREFS_BLENDMODE_ICONS = 1001;
inline constexpr Int32 OGX_PREFS_DEFAULT_BLENDMODE = 1003;

struct BlendSettings
{
  Float opacity = 0.0;
  Int32 blendMode = 0;   // BLENDMODE
  Float layerScale = 1.0;
  Float layerOffset = 0.0;
  Bool slopeMaskEnabled = false;
  Float slopeLow = 0.0;
  Float slopeHigh = 0.0;
  Float slopeFalloffLow = 0.0;
  Float slopeFalloffHigh = 0.0;
  Bool heightMaskEnabled = false;
  Float heightLow = 0.0;
  Float heightHigh = 0.0;
  Float heightFalloffLow = 0.0;
  Float heightFalloffHigh = 0.0;
};

// Reads the settings with their read defaults; the layer scale comes from 1005 for MULTIPLY, DIVIDE and
// OVERLAY to HARDLIGHT, from 1003 otherwise.
void ReadBlendSettings(BlendSettings& out, const BaseContainer& data);

// True for the modes whose layer scale is the factor (1005) rather than the height (1003).
Bool BlendModeUsesFactor(Int32 blendMode);

struct CustomOutput
{
  Int32 id = 0;
  String name;
};

namespace OGX
{
class BaseTerrainOperatorData : public ObjectData
{
public:
  BaseTerrainOperatorData() = default;
  ~BaseTerrainOperatorData() override;

  // Host slots.
  Bool Init(GeListNode* node) override;
  void Free(GeListNode* node) override;
  Bool Read(GeListNode* node, HyperFile* hf, Int32 level) override;
  Bool Message(GeListNode* node, Int32 type, void* data) override;
  Bool IsInstanceOf(const GeListNode* node, Int32 type) const override;
  Bool GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags) override;
  Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                    const BaseContainer* itemdesc) override;

  // The operator interface.
  virtual TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject* op) = 0;
  virtual Bool InitOperatorParameters(GeListNode* node, BaseContainer& data);
  virtual Bool OperatorMessage(GeListNode* node, Int32 type, void* data);
  virtual Bool GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                                       DESCFLAGS_DESC& flags);
  virtual Bool GetOperatorDEnabling(GeListNode* node, const DescID& id, const GeData& value, const BaseContainer& data,
                                    DESCFLAGS_ENABLE flags, const BaseContainer* itemDesc);
  virtual Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                                       EvaluationContext& context) = 0;
  virtual Result<void> ApplyToTerrain(Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                                      EvaluationContext& context);
  virtual Bool IsOperatorDirty(BaseObject* op, BaseDocument* doc, EvaluationContext& context);
  virtual Int GetMemoryUsage();
  virtual Bool GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer& data);
  virtual Bool AddCustomOutputs(BaseArray<CustomOutput>& list, GeListNode* node);
  virtual Result<String> GetCustomOutputName(Int32 outputId);
  virtual Result<Grid2D<Float>*> GetCustomOutputGrid(Int32 outputId);

  // Evaluation (driven by the evaluation queue).
  OPERATORDIRTY GetDirtyState(BaseObject* op, BaseDocument* doc, EvaluationContext& context);
  void SetRebuildFlag(Bool value) { _rebuild = value; }
  Bool GetRebuildFlag() const { return _rebuild; }
  Result<EVALUATIONRESULT> EvaluateOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument* doc,
                                            EvaluationContext& context);

  Grid2D<Float>& GetOutputGrid() { return _output; }
  const Grid2D<Float>& GetOutputGrid() const { return _output; }
  Observable& GetObservable() { return _observers; }
  // Fills list with the filter's difference map (for filters) and the operator's own custom outputs;
  // true when the list holds any entry.
  Bool GetCustomOutputsList(BaseArray<CustomOutput>& list, GeListNode* node);

protected:
  // Passes on the result of a loop that fills the output grid (shaped for overwrite, not cleared). On an
  // error (a cancelled loop) the output is first cleared in the input's shape, so that no half-written
  // grid of stale values stays behind.
  Result<void> FinishOutputLoop(Result<void> loop, const Grid2D<Float>& terrain);

  // The stamps GetDirtyState compares, in this order.
  enum STAMP : Int
  {
    STAMP_DATA = 0,
    STAMP_MATRIX_OPERATOR,
    STAMP_MATRIX_TERRAIN,
    STAMP_MATRIX_PARENTHIERARCHY,
    STAMP_FIELDS_CHECKSUM,
    STAMP_FIELDLAYERS_DIRTY,
    STAMP_FIELDLINKS_DIRTY,
    STAMP_COUNT,
  };

  Grid2D<Float> _output;
  Observable _observers;
  Bool _rebuild = false;
  BaseContainer _savedParameters;
  Int _savedStamps[STAMP_COUNT] = {};
  Int _currentStamps[STAMP_COUNT] = {};
  Int _savedPredecessorIdentity = 0;
  Int _currentPredecessorIdentity = 0;
  Int _savedPredecessorDirty = 0;
  Int _currentPredecessorDirty = 0;
  Grid2D<Float> _customOutput;
  // The mask of the last blend into the terrain (ApplyToTerrain), kept so that its storage serves the
  // next blend; not part of the operator's state or memory figure.
  Grid2D<Float> _mask;

private:
  // A filter's difference map: |input - output| of every cell, normalised to [0, 1].
  Result<void> BuildDifferenceMap(const Grid2D<Float>& terrain);

  enum class EXPORTRESULT
  {
    SKIPPED,   // too few cells: nothing to export
    DONE,      // exported, cancelled, or the user was told it could not be
  };
  // The export button (1091): the map that 1090 selects, offered as a TIFF file through the save dialog.
  Result<EXPORTRESULT> ExportMap(BaseObject* op);
  // The object-manager icon of a generator: its own icon with the icon of its blend mode drawn over it.
  Bool ComposeBlendModeIcon(GeListNode* node, GetCustomIconData* request);
};
} // namespace OGX

// Draws the icon of the blend mode stored under 1002 in captured (NORMAL's for a value outside 1 to 14)
// into target at (32, 32), blended by the icon's alpha and clipped to width x height: the drawing the
// host calls back when it composes a generator's object-manager icon. Nothing when that icon is not
// registered.
void DrawBlendModeIcon(const BaseContainer& captured, BaseBitmap* target, Int32 width, Int32 height);

// The hash of a vector: each Float's 64-bit pattern folded onto its low bits, combined as
// (x * 31 + y) * 31 + z in wrapping 64-bit arithmetic.
UInt64 HashVector3(const Vector& v);
// The hash GetDirtyState keeps of a matrix: ((X * 31 + Y) * 31 + Z) * 31 + offset over the axes' and the
// offset's HashVector3.
UInt64 HashMatrix(const Matrix& m);

// Up to 1024 bytes the whole number of bytes; above, divided by 1024 while above 1024 (at most three
// times) with two decimals in KB, MB or GB (resource strings 10024 to 10027).
String FormatMemorySize(UInt bytes);
// Resource string 10022 with the size filled in.
String FormatMemoryText(UInt bytes);

// Prints the error's text to the host console and answers false: the operators' handler for errors that
// an interface slot answering Bool cannot pass on (an id list that cannot grow, for one).
Bool ReportOperatorError(const Error& error);
// GetDirtyParameterIds' usual body: appends the ids in order and answers true, or reports a list that
// cannot grow (ReportOperatorError) and answers false.
Bool AppendDirtyParameterIds(BaseArray<Int32>& ids, std::initializer_list<Int32> list);
