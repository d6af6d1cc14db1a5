// What the six height filters share: registration, descriptions, flags and dirty ids, the output grid's
// shape and storage, thread counts and cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>

#include "host/core/alloc.h"
#include "host/core/thread.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "orogenix/ogx_parallel.h"
#include "support/height_filters.h"

using namespace ogx_test;

namespace
{
struct Expected
{
  Int32 id;
  const char* name;
  const char* description;
  Int32 hostLevel;   // the disk-level argument plus 1
  Int32 iconX, iconY;
  std::vector<Int32> parameters;
  std::vector<Int32> dirtyIds;
};

const std::vector<Expected>& ExpectedRows()
{
  static const std::vector<Expected> rows = {
    {ID_OGX_ADJUSTMENTOPERATOR, "Adjustment", "oadjustmentoperator", 2, 384, 0, {10001, 10002, 10003, 10004},
     {10004, 10001, 10002, 10003}},
    {ID_OGX_CURVEOPERATOR, "Curve", "ocurveoperator", 1, 576, 0, {10001, 10002, 10003}, {10001}},
    {ID_OGX_CLAMPOPERATOR, "Clamp", "oclampoperator", 1, 512, 0, {10001, 10002, 10003}, {10001, 10002, 10003}},
    {ID_OGX_MIRROROPERATOR, "Mirror", "omirroroperator", 1, 0, 64, {10001, 10002, 10003}, {10001, 10002, 10003}},
    {ID_OGX_FOLDOPERATOR, "Fold", "ofoldoperator", 1, 320, 64, {10001, 10002, 10004, 10005, 10006},
     {10001, 10002, 10004, 10005, 10006}},
    {ID_OGX_QUANTIZEOPERATOR, "Quantize", "oquantizeoperator", 1, 0, 128, {10001}, {10001}},
  };
  return rows;
}

class FilterCommonTest : public HeightFilterTest
{
};
} // namespace

TEST_F(FilterCommonTest, RegisterAsFiltersInStartUpOrderWithTheirIconsAndDescriptions)
{
  ASSERT_EQ(g_operatorRegistry.GetCount(), static_cast<Int>(ExpectedRows().size()));
  BaseBitmap* sheet = MainIconSheet();
  ASSERT_NE(sheet, nullptr);
  for (std::size_t k = 0; k < ExpectedRows().size(); ++k)
  {
    const Expected& e = ExpectedRows()[k];
    EXPECT_EQ(g_operatorRegistry[static_cast<Int>(k)].id, e.id);
    EXPECT_EQ(g_operatorRegistry[static_cast<Int>(k)].name, String(e.name));
    EXPECT_EQ(g_operatorRegistry[static_cast<Int>(k)].flags, static_cast<Int32>(TERRAINOPERATORFLAGS::TYPE_FILTER));
    EXPECT_TRUE(host::Console().Contains(String("Registered filter operator: ") + e.name)) << e.name;

    const host::PluginEntry* entry = host::FindPlugin(e.id);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_EQ(entry->name, "#$" + String::IntToString(HeightFilterRegistrations()[k].sortOrder) + e.name);
    EXPECT_EQ(entry->description, String(e.description));
    EXPECT_EQ(entry->diskLevel, e.hostLevel) << e.name;
    EXPECT_TRUE(entry->hasIcon);

    IconData icon;
    ASSERT_TRUE(GetIcon(e.id, &icon)) << e.name;
    EXPECT_EQ(icon.w, 64);
    EXPECT_EQ(icon.h, 64);
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{31, 33}, std::pair{63, 63}, std::pair{10, 50}})
    {
      UInt16 r1, g1, b1, r2, g2, b2;
      icon.bmp->GetPixel(x, y, &r1, &g1, &b1);
      sheet->GetPixel(e.iconX + x, e.iconY + y, &r2, &g2, &b2);
      EXPECT_EQ(std::tuple(r1, g1, b1), std::tuple(r2, g2, b2)) << e.name << " " << x << "," << y;
    }

    // The description holds the operator's parameters on top of the base's.
    BaseObject* op = AddOperator(e.id);
    ASSERT_NE(op, nullptr) << e.name;
    Description* description = Description::Alloc();
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(description, flags)) << e.name;
    for (const Int32 id : e.parameters)
      EXPECT_NE(description->FindEntry(id), nullptr) << e.name << " " << id;
    EXPECT_NE(description->FindEntry(TERRAINOPERATOR_OPACITY), nullptr) << e.name;
    Description::Free(description);

    // A filter starts with the filter blend defaults.
    EXPECT_EQ(Data(op).GetInt32(TERRAINOPERATOR_BLENDMODE, -1), 0) << e.name;
    EXPECT_EQ(Data(op).GetFloat(TERRAINOPERATOR_HEIGHT), 1.0) << e.name;
  }
}

TEST_F(FilterCommonTest, RegistrationFailsWithoutTheIconSheet)
{
  for (const HeightFilterRegistration& r : HeightFilterRegistrations())
  {
    ReleaseRegistryEntries();
    host::ResetPlugins();
    FreeIconSheets();
    EXPECT_FALSE(r.registration(r.sortOrder)) << r.id;
    EXPECT_EQ(g_operatorRegistry.GetCount(), 0);
    EXPECT_EQ(host::FindPlugin(r.id), nullptr);
  }
}

TEST_F(FilterCommonTest, FlagsAndDirtyIds)
{
  for (const Expected& e : ExpectedRows())
  {
    BaseObject* op = AddOperator(e.id);
    OGX::BaseTerrainOperatorData* data = OperatorData(op);
    const Int32 flags = static_cast<Int32>(data->GetOperatorFlags(op));
    // Fold never needs the range, the adjustment only with its relative offset, the others always.
    const Int32 want = e.id == ID_OGX_FOLDOPERATOR || e.id == ID_OGX_ADJUSTMENTOPERATOR ? 1 : 33;
    EXPECT_EQ(flags, want) << e.name;
    EXPECT_EQ(static_cast<Int32>(data->GetOperatorFlags(nullptr)), want) << e.name;

    BaseArray<Int32> ids;
    ASSERT_TRUE(data->GetDirtyParameterIds(ids, Data(op))) << e.name;
    EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), e.dirtyIds) << e.name;
    {
      host::ScopedAllocationFailure fail(1);
      BaseArray<Int32> failing;
      EXPECT_FALSE(data->GetDirtyParameterIds(failing, Data(op))) << e.name;
    }
    EXPECT_EQ(host::Console().GetLast(), String("Array allocation failed!"));
  }
  BaseObject* adjustment = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
  Data(adjustment).SetBool(ADJUSTMENTOPERATOR_RELATIVE, true);
  EXPECT_EQ(static_cast<Int32>(OperatorData(adjustment)->GetOperatorFlags(adjustment)), 33);
}

// Only the listed parameters recompute; the curve's preset selector alone does not.
TEST_F(FilterCommonTest, ListedParametersRebuildAndOthersOnlyBlendAgain)
{
  const Grid2D<Float> input = HandGrid(3, 3, {1, 5, 2, 8, 3, 9, 4, 7, 6});   // the context's shape
  EvaluationContext context = MakeContext(2, 10.0);
  for (const Expected& e : ExpectedRows())
  {
    BaseObject* op = AddOperator(e.id);
    OGX::BaseTerrainOperatorData* data = OperatorData(op);
    ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD) << e.name;
    data->SetRebuildFlag(true);
    ASSERT_TRUE(data->EvaluateOperator(input, op, doc, context).IsOk()) << e.name;
    ASSERT_EQ(data->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN) << e.name;
    for (const Int32 id : e.parameters)
    {
      BaseContainer& bc = Data(op);
      const GeData before = bc.GetData(id);
      if (before.GetType() == DA_REAL)
        bc.SetFloat(id, before.GetFloat() + 1.0);
      else if (before.GetType() == DA_LONG)
        bc.SetInt32(id, before.GetInt32() == 0 ? 1 : before.GetInt32() + 1);
      else
        continue;   // the curve itself and the button
      const Bool listed = std::find(e.dirtyIds.begin(), e.dirtyIds.end(), id) != e.dirtyIds.end();
      EXPECT_EQ(data->GetDirtyState(op, doc, context), listed ? OPERATORDIRTY::REBUILD : OPERATORDIRTY::REEVALUATE)
        << e.name << " " << id;
      bc.SetData(id, before);
    }
  }
}

// The output takes the input's shape with its range reset; the cells stay in place while the shape
// stays; an allocation failure leaves the output empty.
TEST_F(FilterCommonTest, OutputTakesTheInputShapeKeepsItsCellsAndIsAllOrNothing)
{
  const Grid2D<Float> first = RampGrid(7, 5);
  const Grid2D<Float> same = RampGrid(7, 5, -3.0, 4.0);
  const Grid2D<Float> other = RampGrid(4, 9);
  for (const Expected& e : ExpectedRows())
  {
    BaseObject* op = AddOperator(e.id);
    ASSERT_TRUE(Compute(op, first).IsOk()) << e.name;
    const Grid2D<Float>& out = Output(op);
    EXPECT_EQ(out.width, 7);
    EXPECT_EQ(out.height, 5);
    EXPECT_EQ(out.cellCount, 35);
    EXPECT_EQ(out.sizeX, first.sizeX);
    EXPECT_EQ(out.sizeY, first.sizeY);
    EXPECT_FALSE(out.minMaxValid) << e.name;
    const Float* storage = out.cells.GetFirst();
    ASSERT_TRUE(Compute(op, same).IsOk()) << e.name;
    EXPECT_EQ(out.cells.GetFirst(), storage) << e.name;
    ASSERT_TRUE(Compute(op, other).IsOk()) << e.name;
    EXPECT_EQ(out.width, 4);
    EXPECT_EQ(out.cells.GetCount(), 36);

    Result<void> failed = OK;
    {
      host::ScopedAllocationFailure fail(1);
      failed = Compute(op, first);
    }
    ASSERT_TRUE(failed.IsError()) << e.name;
    EXPECT_EQ(failed.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << e.name;
    EXPECT_EQ(out.cellCount, 0) << e.name;
    EXPECT_EQ(out.width, 0) << e.name;
    EXPECT_EQ(out.cells.GetCount(), 0) << e.name;

    // An empty input gives an empty output.
    ASSERT_TRUE(Compute(op, Grid2D<Float>()).IsOk()) << e.name;
    EXPECT_EQ(out.cellCount, 0) << e.name;
  }
}

// Around each threshold (10000 cells for most, 20000 for quantize), one thread and all threads give the
// same bits; the loops run in blocks, so the block edges are crossed too.
TEST_F(FilterCommonTest, OneThreadAndAllThreadsAgreeAtTheThresholds)
{
  struct Shape
  {
    Int width, height;
  };
  const Shape shapes[] = {{100, 100}, {10001, 1}, {1, 10001}, {200, 100}, {20001, 1}, {153, 131}};
  for (const Shape& s : shapes)
  {
    const Grid2D<Float> input = RampGrid(s.width, s.height, -40.0, 75.0);
    BaseObject* adjustment = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
    Data(adjustment).SetFloat(ADJUSTMENTOPERATOR_SCALE, 1.7);
    Data(adjustment).SetFloat(ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, -3.3);
    BaseObject* clampRescale = AddOperator(ID_OGX_CLAMPOPERATOR);
    BaseObject* clampCut = AddOperator(ID_OGX_CLAMPOPERATOR);
    Data(clampCut).SetBool(CLAMPOPERATOR_CLAMP, true);
    Data(clampCut).SetFloat(CLAMPOPERATOR_LOW, -10.0);
    BaseObject* curve = AddOperator(ID_OGX_CURVEOPERATOR);
    BaseObject* fold = AddOperator(ID_OGX_FOLDOPERATOR);
    Data(fold).SetFloat(FOLDOPERATOR_NOISE_AMOUNT, 20.0);
    Data(fold).SetFloat(FOLDOPERATOR_NOISE_SCALE, 0.2);
    BaseObject* mirror = AddOperator(ID_OGX_MIRROROPERATOR);
    Data(mirror).SetBool(MIRROROPERATOR_MIRROR_X, true);
    Data(mirror).SetBool(MIRROROPERATOR_INVERT, true);
    BaseObject* quantize = AddOperator(ID_OGX_QUANTIZEOPERATOR);
    for (BaseObject* op : {adjustment, clampRescale, clampCut, curve, fold, mirror, quantize})
    {
      SCOPED_TRACE(String::IntToString(s.width) + "x" + String::IntToString(s.height) + " type " +
                   String::IntToString(op->GetType()));
      (void)ComputeSerialAndParallel(op, input);
    }
  }
}

// The loops that can be cancelled stop and clear their output; the others never ask.
TEST_F(FilterCommonTest, CancellationEndsTheCancellableLoopsAndClearsTheOutput)
{
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  hierarchy = &hh;
  const Grid2D<Float> input = RampGrid(120, 90, 5.0, 60.0);   // above the one-thread threshold
  struct Case
  {
    const char* name;
    Int32 id;
    Int32 parameter;   // switched on first, 0 for none
    const char* message;
  };
  const Case cases[] = {
    {"clamp", ID_OGX_CLAMPOPERATOR, CLAMPOPERATOR_CLAMP, "Clamp operator cancelled!"},
    {"curve", ID_OGX_CURVEOPERATOR, 0, "Curve operator cancelled!"},
    {"mirror", ID_OGX_MIRROROPERATOR, MIRROROPERATOR_INVERT, "Mirror operator cancelled!"},
  };
  for (const Case& c : cases)
    for (const Bool serial : {true, false})
    {
      BaseObject* op = AddOperator(c.id);
      if (c.parameter)
        Data(op).SetBool(c.parameter, true);
      ASSERT_TRUE(Compute(op, input).IsOk()) << c.name;   // a computed grid to be replaced
      thread.SetBreak();
      Result<void> res = OK;
      {
        std::optional<SerialScope> one;
        if (serial)
          one.emplace();
        res = Compute(op, input);
      }
      thread.SetBreak(false);
      ASSERT_TRUE(res.IsError()) << c.name;
      EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED) << c.name;
      EXPECT_EQ(res.GetError().GetMessage(), String(c.message));
      const String file = res.GetError().GetLocation().file_name();
      EXPECT_NE(file.GetStd().find(std::string("operator_") + c.name + ".cpp"), std::string::npos) << file.GetStd();
      // No stale or half-written heights: the input's shape, every cell 0.
      const Grid2D<Float>& out = Output(op);
      ASSERT_EQ(out.cellCount, input.cellCount) << c.name;
      for (Int i = 0; i < out.cellCount; ++i)
        ASSERT_EQ(out.cells[i], 0.0) << c.name << " cell " << i;
    }

  // Loops that make no break test finish with a break requested, and never ask the thread.
  thread.SetBreak();
  thread.ResetTestCount();
  BaseObject* rescale = AddOperator(ID_OGX_CLAMPOPERATOR);
  BaseObject* fold = AddOperator(ID_OGX_FOLDOPERATOR);
  Data(fold).SetFloat(FOLDOPERATOR_NOISE_AMOUNT, 3.0);
  for (BaseObject* op : {AddOperator(ID_OGX_ADJUSTMENTOPERATOR), rescale, fold, AddOperator(ID_OGX_QUANTIZEOPERATOR)})
    EXPECT_TRUE(Compute(op, input).IsOk()) << op->GetType();
  EXPECT_EQ(thread.GetTestCount(), 0);
}

// The break test's masks: cells with index AND 3999 non-zero, rows with index AND 999 non-zero.
TEST_F(FilterCommonTest, BreakTestsFollowTheMasks)
{
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  hierarchy = &hh;
  const Grid2D<Float> cellsInput = RampGrid(4200, 3);   // 12600 cells: indices up to 12599
  Int askedCells = 0;
  for (Int i = 0; i < cellsInput.cellCount; ++i)
    askedCells += (i & 3999) != 0;
  const Grid2D<Float> rowsInput = RampGrid(3, 2100);
  Int askedRows = 0;
  for (Int y = 0; y < rowsInput.height; ++y)
    askedRows += (y & 999) != 0;

  BaseObject* clamp = AddOperator(ID_OGX_CLAMPOPERATOR);
  Data(clamp).SetBool(CLAMPOPERATOR_CLAMP, true);
  BaseObject* curve = AddOperator(ID_OGX_CURVEOPERATOR);
  BaseObject* mirror = AddOperator(ID_OGX_MIRROROPERATOR);
  for (const Bool serial : {true, false})
  {
    std::optional<SerialScope> one;
    if (serial)
      one.emplace();
    for (BaseObject* op : {clamp, curve})
    {
      thread.ResetTestCount();
      ASSERT_TRUE(Compute(op, cellsInput).IsOk());
      EXPECT_EQ(thread.GetTestCount(), askedCells) << op->GetType() << " serial " << serial;
    }
    thread.ResetTestCount();
    ASSERT_TRUE(Compute(mirror, rowsInput).IsOk());
    EXPECT_EQ(thread.GetTestCount(), askedRows) << "mirror serial " << serial;
  }
  // Without a build record no loop asks.
  hierarchy = nullptr;
  thread.ResetTestCount();
  for (BaseObject* op : {clamp, curve})
    ASSERT_TRUE(Compute(op, cellsInput).IsOk());
  ASSERT_TRUE(Compute(mirror, rowsInput).IsOk());
  EXPECT_EQ(thread.GetTestCount(), 0);
}

// Grids beyond OGX::LOOP_STREAM_CELLS are written with stores that bypass the caches: the same values
// as the plain definition, and with the break test in place (a build record without a break).
TEST_F(FilterCommonTest, LargeOutputsHoldTheSameValues)
{
  HostThread thread;
  HierarchyContext hh(doc, 1.0, &thread, BUILDFLAGS::NONE);
  hierarchy = &hh;
  const Grid2D<Float> input = RampGrid(2100, 2000, -5.0, 95.0);
  ASSERT_GE(input.cellCount, OGX::LOOP_STREAM_CELLS);
  const Int w = input.width;
  const Int h = input.height;

  BaseObject* adjustment = AddOperator(ID_OGX_ADJUSTMENTOPERATOR);
  Data(adjustment).SetFloat(ADJUSTMENTOPERATOR_SCALE, 0.75);
  Data(adjustment).SetFloat(ADJUSTMENTOPERATOR_OFFSET_ABSOLUTE, 2.5);
  ASSERT_TRUE(Compute(adjustment, input).IsOk());
  for (Int i = 0; i < input.cellCount; ++i)
    ASSERT_EQ(Output(adjustment).cells[i], input.cells[i] * 0.75 + 2.5) << i;

  BaseObject* clamp = AddOperator(ID_OGX_CLAMPOPERATOR);
  Data(clamp).SetBool(CLAMPOPERATOR_CLAMP, true);
  Data(clamp).SetFloat(CLAMPOPERATOR_LOW, 10.0);
  Data(clamp).SetFloat(CLAMPOPERATOR_HIGH, 60.0);
  ASSERT_TRUE(Compute(clamp, input).IsOk());
  for (Int i = 0; i < input.cellCount; ++i)
    ASSERT_EQ(Output(clamp).cells[i], std::min(60.0, std::max(10.0, input.cells[i]))) << i;
  // Cancelled part-way through a chunk: still no stale cells.
  thread.BreakAfterTests(100000);
  ASSERT_TRUE(Compute(clamp, input).IsError());
  thread.BreakAfterTests(0);
  for (Int i = 0; i < input.cellCount; ++i)
    ASSERT_EQ(Output(clamp).cells[i], 0.0) << i;

  BaseObject* mirror = AddOperator(ID_OGX_MIRROROPERATOR);
  Data(mirror).SetBool(MIRROROPERATOR_MIRROR_X, true);
  Data(mirror).SetBool(MIRROROPERATOR_MIRROR_Z, true);
  ASSERT_TRUE(Compute(mirror, input).IsOk());
  for (Int y = 0; y < h; ++y)
    for (Int x = 0; x < w; ++x)
      ASSERT_EQ(Output(mirror).cells[y * w + x], input.cells[(h - 1 - y) * w + (w - 1 - x)]) << x << "," << y;
}
