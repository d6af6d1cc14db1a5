// The module's own enumerations and their printers.
//
// Every value is stored in documents (operator and terrain-object parameters), so the numbers must never
// change. Each printer hands the value to the host's enumeration formatter and returns its text; a value
// that is not listed is printed the host's way. `TERRAINOPERATORFLAGS` is the only flag set.
#pragma once

#include "host/core/string.h"
#include "host/core/types.h"

enum class PLANETESSELATIONMODE : Int32
{
  QUADS = 0,
  TRIS1 = 1,
  TRIS2 = 2,
};

enum class SPLINEDATAPRESET : Int32
{
  LINEAR = 0,
  CANYON = 1,
  GLACIER = 2,
  PLATEAU = 3,
  EMPHASIZE = 4,
  TERRACE_1 = 5,
  TERRACE_2 = 6,
  DUNES = 7,
  DUNES_2 = 8,
  GLACIER_2 = 9,
  PLATEAU_2 = 10,
  CRATERS = 11,
  FLATTENVALLEYS = 12,
};

// HTTP request method of the request layer.
enum class METHOD : Int32
{
  GET = 0,
  POST = 1,
};

enum class BUILDREASON : Int32
{
  UNKNOWN = 0,
  EDITORRENDER = 1,
  EXTERNALRENDER = 2,
  MAKEEDITABLE = 3,
  ISOPARM = 4,
  ANIMATIONRUNNING = 5,
  VIEWDRAWING = 6,
};

// Stored as Int32 in operator parameter 1002. OVERLAY to HARDLIGHT work on heights normalised to the
// destination's range.
enum class BLENDMODE : Int32
{
  NORMAL = 0,
  ADD = 1,
  SUBTRACT = 2,
  MULTIPLY = 3,
  DIVIDE = 4,
  LOWEST = 5,
  HIGHEST = 6,
  DIFFERENCE = 7,
  PHOENIX = 8,
  PHOENIXINVERSE = 9,
  OVERLAY = 10,
  NEGATION = 11,
  SCREEN = 12,
  SOFTLIGHT = 13,
  HARDLIGHT = 14,
  _BLENDMODE_COUNT = 15,
};

enum class OUTOFBOUNDSMODE : Int32
{
  NONE = 0,
  CLAMP = 1,
  TILE = 2,
  MIRROR = 3,
};

enum class SAMPLEINTERPOLATION : Int32
{
  NEAREST = 0,
  BILINEAR = 1,
  BICUBIC = 2,
};

// A flag set: combine with | and test with &.
enum class TERRAINOPERATORFLAGS : Int32
{
  NONE = 0,
  TYPE_FILTER = 1,
  TYPE_GENERATOR = 2,
  DIRTY_MATRIX_OPERATOR = 4,
  DIRTY_MATRIX_TERRAIN = 8,
  DIRTY_MATRIX_PARENTHIERARCHY = 16,
  REQUIRES_MINMAX = 32,
};

constexpr TERRAINOPERATORFLAGS operator|(TERRAINOPERATORFLAGS a, TERRAINOPERATORFLAGS b)
{
  return static_cast<TERRAINOPERATORFLAGS>(static_cast<Int32>(a) | static_cast<Int32>(b));
}
constexpr TERRAINOPERATORFLAGS operator&(TERRAINOPERATORFLAGS a, TERRAINOPERATORFLAGS b)
{
  return static_cast<TERRAINOPERATORFLAGS>(static_cast<Int32>(a) & static_cast<Int32>(b));
}
constexpr TERRAINOPERATORFLAGS operator~(TERRAINOPERATORFLAGS a)
{
  return static_cast<TERRAINOPERATORFLAGS>(~static_cast<Int32>(a));
}
constexpr TERRAINOPERATORFLAGS& operator|=(TERRAINOPERATORFLAGS& a, TERRAINOPERATORFLAGS b)
{
  return a = a | b;
}
constexpr TERRAINOPERATORFLAGS& operator&=(TERRAINOPERATORFLAGS& a, TERRAINOPERATORFLAGS b)
{
  return a = a & b;
}
// True when every flag of `flags` is set in `set`.
constexpr Bool HasFlags(TERRAINOPERATORFLAGS set, TERRAINOPERATORFLAGS flags)
{
  return (set & flags) == flags;
}

enum class EVALUATIONRESULT : Int32
{
  REBUILT = 0,
  CACHED = 1,
};

enum class OPERATORDIRTY : Int32
{
  CLEAN = 0,
  REEVALUATE = 1,
  REBUILD = 2,
};

// The status of an evaluation queue item. `EvaluationQueue` declares it as its own `STATUS`
// (using STATUS = EVALUATIONQUEUESTATUS), which is why it prints as "EvaluationQueue::STATUS".
enum class EVALUATIONQUEUESTATUS : Int32
{
  UNKNOWN = 0,
  OK = 1,
  EVALUATE = 2,
};

// Printers: the value's name ("OVERLAY"), or the formatter's rendering for a flag set or an unlisted
// value. `format` is passed on to the formatter unchanged ("d" prints the plain number).
String PlaneTesselationModeToString(Int32 value, const String& format = String());
String SplineDataPresetToString(Int32 value, const String& format = String());
String HttpMethodToString(Int32 value, const String& format = String());
String BuildReasonToString(Int32 value, const String& format = String());
String BlendModeToString(Int32 value, const String& format = String());
String OutOfBoundsModeToString(Int32 value, const String& format = String());
String SampleInterpolationToString(Int32 value, const String& format = String());
String TerrainOperatorFlagsToString(Int32 value, const String& format = String());
String EvaluationResultToString(Int32 value, const String& format = String());
String OperatorDirtyToString(Int32 value, const String& format = String());
String EvaluationQueueStatusToString(Int32 value, const String& format = String());
