#include <gtest/gtest.h>

#include "orogenix/enums.h"

namespace
{
using Printer = String (*)(Int32, const String&);

struct Case
{
  Printer print;
  Int32 enumerator;   // the value as declared
  Int32 stored;       // the number documents store for it
  const char* name;
};

template <typename E>
constexpr Int32 V(E e)
{
  return static_cast<Int32>(e);
}
} // namespace

// Every value of every enumeration: its stored number and the name it prints as.
TEST(Enumerations, EveryValueHasItsNumberAndPrintsItsName)
{
  const Case cases[] = {
    {PlaneTesselationModeToString, V(PLANETESSELATIONMODE::QUADS), 0, "QUADS"},
    {PlaneTesselationModeToString, V(PLANETESSELATIONMODE::TRIS1), 1, "TRIS1"},
    {PlaneTesselationModeToString, V(PLANETESSELATIONMODE::TRIS2), 2, "TRIS2"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::LINEAR), 0, "LINEAR"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::CANYON), 1, "CANYON"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::GLACIER), 2, "GLACIER"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::PLATEAU), 3, "PLATEAU"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::EMPHASIZE), 4, "EMPHASIZE"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::TERRACE_1), 5, "TERRACE_1"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::TERRACE_2), 6, "TERRACE_2"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::DUNES), 7, "DUNES"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::DUNES_2), 8, "DUNES_2"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::GLACIER_2), 9, "GLACIER_2"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::PLATEAU_2), 10, "PLATEAU_2"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::CRATERS), 11, "CRATERS"},
    {SplineDataPresetToString, V(SPLINEDATAPRESET::FLATTENVALLEYS), 12, "FLATTENVALLEYS"},
    {HttpMethodToString, V(METHOD::GET), 0, "GET"},
    {HttpMethodToString, V(METHOD::POST), 1, "POST"},
    {BuildReasonToString, V(BUILDREASON::UNKNOWN), 0, "UNKNOWN"},
    {BuildReasonToString, V(BUILDREASON::EDITORRENDER), 1, "EDITORRENDER"},
    {BuildReasonToString, V(BUILDREASON::EXTERNALRENDER), 2, "EXTERNALRENDER"},
    {BuildReasonToString, V(BUILDREASON::MAKEEDITABLE), 3, "MAKEEDITABLE"},
    {BuildReasonToString, V(BUILDREASON::ISOPARM), 4, "ISOPARM"},
    {BuildReasonToString, V(BUILDREASON::ANIMATIONRUNNING), 5, "ANIMATIONRUNNING"},
    {BuildReasonToString, V(BUILDREASON::VIEWDRAWING), 6, "VIEWDRAWING"},
    {BlendModeToString, V(BLENDMODE::NORMAL), 0, "NORMAL"},
    {BlendModeToString, V(BLENDMODE::ADD), 1, "ADD"},
    {BlendModeToString, V(BLENDMODE::SUBTRACT), 2, "SUBTRACT"},
    {BlendModeToString, V(BLENDMODE::MULTIPLY), 3, "MULTIPLY"},
    {BlendModeToString, V(BLENDMODE::DIVIDE), 4, "DIVIDE"},
    {BlendModeToString, V(BLENDMODE::LOWEST), 5, "LOWEST"},
    {BlendModeToString, V(BLENDMODE::HIGHEST), 6, "HIGHEST"},
    {BlendModeToString, V(BLENDMODE::DIFFERENCE), 7, "DIFFERENCE"},
    {BlendModeToString, V(BLENDMODE::PHOENIX), 8, "PHOENIX"},
    {BlendModeToString, V(BLENDMODE::PHOENIXINVERSE), 9, "PHOENIXINVERSE"},
    {BlendModeToString, V(BLENDMODE::OVERLAY), 10, "OVERLAY"},
    {BlendModeToString, V(BLENDMODE::NEGATION), 11, "NEGATION"},
    {BlendModeToString, V(BLENDMODE::SCREEN), 12, "SCREEN"},
    {BlendModeToString, V(BLENDMODE::SOFTLIGHT), 13, "SOFTLIGHT"},
    {BlendModeToString, V(BLENDMODE::HARDLIGHT), 14, "HARDLIGHT"},
    {BlendModeToString, V(BLENDMODE::_BLENDMODE_COUNT), 15, "_BLENDMODE_COUNT"},
    {OutOfBoundsModeToString, V(OUTOFBOUNDSMODE::NONE), 0, "NONE"},
    {OutOfBoundsModeToString, V(OUTOFBOUNDSMODE::CLAMP), 1, "CLAMP"},
    {OutOfBoundsModeToString, V(OUTOFBOUNDSMODE::TILE), 2, "TILE"},
    {OutOfBoundsModeToString, V(OUTOFBOUNDSMODE::MIRROR), 3, "MIRROR"},
    {SampleInterpolationToString, V(SAMPLEINTERPOLATION::NEAREST), 0, "NEAREST"},
    {SampleInterpolationToString, V(SAMPLEINTERPOLATION::BILINEAR), 1, "BILINEAR"},
    {SampleInterpolationToString, V(SAMPLEINTERPOLATION::BICUBIC), 2, "BICUBIC"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::NONE), 0, "NONE"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::TYPE_FILTER), 1, "TYPE_FILTER"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::TYPE_GENERATOR), 2, "TYPE_GENERATOR"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR), 4, "DIRTY_MATRIX_OPERATOR"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::DIRTY_MATRIX_TERRAIN), 8, "DIRTY_MATRIX_TERRAIN"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY), 16,
     "DIRTY_MATRIX_PARENTHIERARCHY"},
    {TerrainOperatorFlagsToString, V(TERRAINOPERATORFLAGS::REQUIRES_MINMAX), 32, "REQUIRES_MINMAX"},
    {EvaluationResultToString, V(EVALUATIONRESULT::REBUILT), 0, "REBUILT"},
    {EvaluationResultToString, V(EVALUATIONRESULT::CACHED), 1, "CACHED"},
    {OperatorDirtyToString, V(OPERATORDIRTY::CLEAN), 0, "CLEAN"},
    {OperatorDirtyToString, V(OPERATORDIRTY::REEVALUATE), 1, "REEVALUATE"},
    {OperatorDirtyToString, V(OPERATORDIRTY::REBUILD), 2, "REBUILD"},
    {EvaluationQueueStatusToString, V(EVALUATIONQUEUESTATUS::UNKNOWN), 0, "UNKNOWN"},
    {EvaluationQueueStatusToString, V(EVALUATIONQUEUESTATUS::OK), 1, "OK"},
    {EvaluationQueueStatusToString, V(EVALUATIONQUEUESTATUS::EVALUATE), 2, "EVALUATE"},
  };
  for (const Case& c : cases)
  {
    EXPECT_EQ(c.enumerator, c.stored) << c.name;
    EXPECT_EQ(c.print(c.stored, String()), c.name) << c.stored;
    EXPECT_EQ(c.print(c.stored, "d"), String::IntToString(c.stored)) << c.name;
  }
}

// Values that are not listed print under the enumeration's name, which is how the scoped queue status
// shows its "EvaluationQueue::STATUS".
TEST(Enumerations, UnlistedValuesNameTheirEnumeration)
{
  struct Unlisted
  {
    Printer print;
    Int32 value;
    const char* expected;
  };
  const Unlisted cases[] = {
    {PlaneTesselationModeToString, 3, "PLANETESSELATIONMODE(3)"},
    {SplineDataPresetToString, 13, "SPLINEDATAPRESET(13)"},
    {HttpMethodToString, 2, "METHOD(2)"},
    {BuildReasonToString, -1, "BUILDREASON(-1)"},
    {BlendModeToString, 16, "BLENDMODE(16)"},
    {OutOfBoundsModeToString, 4, "OUTOFBOUNDSMODE(4)"},
    {SampleInterpolationToString, 3, "SAMPLEINTERPOLATION(3)"},
    {EvaluationResultToString, 2, "EVALUATIONRESULT(2)"},
    {OperatorDirtyToString, 3, "OPERATORDIRTY(3)"},
    {EvaluationQueueStatusToString, 3, "EvaluationQueue::STATUS(3)"},
  };
  for (const Unlisted& c : cases)
    EXPECT_EQ(c.print(c.value, String()), c.expected);
}

// Only the operator flags are a flag set: combinations print as joined names, while 3 of the blend
// modes is simply MULTIPLY and 3 of the single-value enumerations is not a combination of 1 and 2.
TEST(Enumerations, OperatorFlagsPrintAsAFlagSet)
{
  const TERRAINOPERATORFLAGS flags = TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
  EXPECT_EQ(TerrainOperatorFlagsToString(static_cast<Int32>(flags)), "TYPE_GENERATOR|REQUIRES_MINMAX");
  EXPECT_EQ(TerrainOperatorFlagsToString(1 | 4 | 8 | 16), "TYPE_FILTER|DIRTY_MATRIX_OPERATOR|DIRTY_MATRIX_TERRAIN|"
                                                          "DIRTY_MATRIX_PARENTHIERARCHY");
  EXPECT_EQ(TerrainOperatorFlagsToString(2 | 64), "TYPE_GENERATOR|0x40");
  EXPECT_EQ(BlendModeToString(3), "MULTIPLY");
  EXPECT_EQ(OperatorDirtyToString(3), "OPERATORDIRTY(3)");

  TERRAINOPERATORFLAGS set = TERRAINOPERATORFLAGS::TYPE_FILTER;
  set |= TERRAINOPERATORFLAGS::REQUIRES_MINMAX;
  EXPECT_TRUE(HasFlags(set, TERRAINOPERATORFLAGS::REQUIRES_MINMAX));
  EXPECT_FALSE(HasFlags(set, TERRAINOPERATORFLAGS::TYPE_GENERATOR));
  set &= ~TERRAINOPERATORFLAGS::TYPE_FILTER;
  EXPECT_EQ(set, TERRAINOPERATORFLAGS::REQUIRES_MINMAX);
}
