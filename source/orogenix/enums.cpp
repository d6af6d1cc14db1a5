#include "orogenix/enums.h"

#include <cstddef>

#include "host/core/enumformat.h"

namespace
{
// Element size handed to the formatter: every enumeration of the module is 32 bits wide.
constexpr Int ENUM_ELEMENT_SIZE = 4;

// Names are packed one after the other, each ended by a zero byte, in the order of the values.
template <std::size_t N>
String Print(Int32 value, const char* enumName, Bool isFlagSet, const Int64 (&values)[N], const char* packedNames,
             const String& format)
{
  return FormatEnumeration(value, enumName, ENUM_ELEMENT_SIZE, isFlagSet, values, static_cast<Int>(N), packedNames,
                           format);
}
} // namespace

String PlaneTesselationModeToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2};
  return Print(value, "PLANETESSELATIONMODE", false, values, "QUADS\0TRIS1\0TRIS2\0", format);
}

String SplineDataPresetToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  return Print(value, "SPLINEDATAPRESET", false, values,
               "LINEAR\0CANYON\0GLACIER\0PLATEAU\0EMPHASIZE\0TERRACE_1\0TERRACE_2\0DUNES\0DUNES_2\0GLACIER_2\0"
               "PLATEAU_2\0CRATERS\0FLATTENVALLEYS\0",
               format);
}

String HttpMethodToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1};
  return Print(value, "METHOD", false, values, "GET\0POST\0", format);
}

String BuildReasonToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2, 3, 4, 5, 6};
  return Print(value, "BUILDREASON", false, values,
               "UNKNOWN\0EDITORRENDER\0EXTERNALRENDER\0MAKEEDITABLE\0ISOPARM\0ANIMATIONRUNNING\0VIEWDRAWING\0",
               format);
}

String BlendModeToString(Int32 value, const String& format)
{
  // The count is listed too, so it prints by name like a value.
  static constexpr Int64 values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  return Print(value, "BLENDMODE", false, values,
               "NORMAL\0ADD\0SUBTRACT\0MULTIPLY\0DIVIDE\0LOWEST\0HIGHEST\0DIFFERENCE\0PHOENIX\0PHOENIXINVERSE\0"
               "OVERLAY\0NEGATION\0SCREEN\0SOFTLIGHT\0HARDLIGHT\0_BLENDMODE_COUNT\0",
               format);
}

String OutOfBoundsModeToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2, 3};
  return Print(value, "OUTOFBOUNDSMODE", false, values, "NONE\0CLAMP\0TILE\0MIRROR\0", format);
}

String SampleInterpolationToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2};
  return Print(value, "SAMPLEINTERPOLATION", false, values, "NEAREST\0BILINEAR\0BICUBIC\0", format);
}

String TerrainOperatorFlagsToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2, 4, 8, 16, 32};
  return Print(value, "TERRAINOPERATORFLAGS", true, values,
               "NONE\0TYPE_FILTER\0TYPE_GENERATOR\0DIRTY_MATRIX_OPERATOR\0DIRTY_MATRIX_TERRAIN\0"
               "DIRTY_MATRIX_PARENTHIERARCHY\0REQUIRES_MINMAX\0",
               format);
}

String EvaluationResultToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1};
  return Print(value, "EVALUATIONRESULT", false, values, "REBUILT\0CACHED\0", format);
}

String OperatorDirtyToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2};
  return Print(value, "OPERATORDIRTY", false, values, "CLEAN\0REEVALUATE\0REBUILD\0", format);
}

String EvaluationQueueStatusToString(Int32 value, const String& format)
{
  static constexpr Int64 values[] = {0, 1, 2};
  return Print(value, "EvaluationQueue::STATUS", false, values, "UNKNOWN\0OK\0EVALUATE\0", format);
}
