// The operator base's messages: the export button (each map, the default file name, the dialogs, the
// refusals) and the blend-mode icon composed over a generator's object-manager icon.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "host/fields/fieldlist.h"
#include "host/imaging/bitmap.h"
#include "support/float_tiff.h"
#include "support/module_scene.h"

using namespace ogx_test;

namespace
{
// A generator whose output is x + 10 y (column x, row y), with one custom output holding twice that.
inline constexpr Int32 ID_TEST_RAMP = 1099130;
inline constexpr Int32 RAMP_CUSTOM_OUTPUT = 4242;

class RampGenerator : public OGX::BaseTerrainOperatorData
{
public:
  static NodeData* Alloc() { return NewObj<RampGenerator>(); }
  Grid2D<Float> doubled;

  TERRAINOPERATORFLAGS GetOperatorFlags(BaseObject*) override { return TERRAINOPERATORFLAGS::TYPE_GENERATOR; }
  Result<void> ComputeOperator(const Grid2D<Float>& terrain, BaseObject*, BaseDocument*, EvaluationContext&) override
  {
    HOST_TRY(_output.InitLike(terrain));
    HOST_TRY(doubled.InitLike(terrain));
    for (Int i = 0; i < _output.cellCount; ++i)
    {
      _output.cells[i] = static_cast<Float>(i % _output.width + 10 * (i / _output.width));
      doubled.cells[i] = 2.0 * _output.cells[i];
    }
    return OK;
  }
  Bool AddCustomOutputs(BaseArray<CustomOutput>& list, GeListNode*) override
  {
    return list.Append(CustomOutput{RAMP_CUSTOM_OUTPUT, "Doubled"}).IsOk();
  }
  Result<String> GetCustomOutputName(Int32 outputId) override
  {
    if (outputId == RAMP_CUSTOM_OUTPUT)
      return String("Doubled");
    return BaseTerrainOperatorData::GetCustomOutputName(outputId);
  }
  Result<Grid2D<Float>*> GetCustomOutputGrid(Int32 outputId) override
  {
    if (outputId == RAMP_CUSTOM_OUTPUT)
      return &doubled;
    return BaseTerrainOperatorData::GetCustomOutputGrid(outputId);
  }
};

class OperatorMessagesTest : public ModuleSceneTest
{
protected:
  void SetUp() override
  {
    ModuleSceneTest::SetUp();
    ASSERT_TRUE(RegisterTerrainOperator(ID_TEST_RAMP, "Ramp", TERRAINOPERATORFLAGS::TYPE_GENERATOR,
                                        RampGenerator::Alloc, "Obaseterrainoperator", nullptr, 0, 22));
  }

  // Presses the export button of op with mode, the save dialog answering with the test's folder (the
  // proposed file name is kept). What the press answered.
  Bool Export(BaseObject* op, Int32 mode)
  {
    op->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_EXPORT_MODE, mode);
    host::QueueFileSelectDirectoryAnswer(Url(TempDir()));
    return SendCommand(op, TERRAINOPERATOR_EXPORT);
  }
  // The map as read back; fails the test when it is not there.
  FloatTiff ReadBack(const char* name)
  {
    FloatTiff tiff;
    EXPECT_TRUE(ReadFloatTiff(TempDir() / name, tiff)) << name;
    return tiff;
  }
  // The values x + 10 y of a 5 x 5 ramp (times scale) normalised to [0, 1].
  static void ExpectNormalisedRamp(const FloatTiff& tiff)
  {
    ASSERT_EQ(tiff.width, 5u);
    ASSERT_EQ(tiff.height, 5u);
    for (UInt32 y = 0; y < 5; ++y)
      for (UInt32 x = 0; x < 5; ++x)
        EXPECT_FLOAT_EQ(tiff.values[y * 5 + x], static_cast<Float32>((x + 10.0 * y) / 44.0)) << x << ", " << y;
  }
};

TEST_F(OperatorMessagesTest, ExportsOutputHeightsUnderTheDefaultName)
{
  BaseObject* ramp = AddOperator(ID_TEST_RAMP, "Ridge");
  ASSERT_NE(Build(), nullptr);

  EXPECT_TRUE(Export(ramp, 0));
  const std::vector<host::FileSelectRecord> selects = host::GetFileSelects();
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].title, "Export map");
  EXPECT_EQ(selects[0].proposedName, "Ridge_Heights.tif");
  EXPECT_EQ(selects[0].mode, FILESELECT::SAVE);
  ExpectNormalisedRamp(ReadBack("Ridge_Heights.tif"));
  EXPECT_TRUE(host::GetMessageDialogs().empty());
}

TEST_F(OperatorMessagesTest, ExportsSlopesMaskAndCustomOutputs)
{
  BaseObject* flat = AddOperator(ID_TEST_GENERATOR, "Flat", nullptr, BLENDMODE::NORMAL, 3.0);
  BaseObject* ramp = AddOperator(ID_TEST_RAMP, "Ridge", nullptr, BLENDMODE::ADD);
  BaseObject* filter = AddOperator(ID_TEST_FILTER, "Lift");
  ASSERT_NE(Build(), nullptr);

  // A flat output has slope 0 everywhere.
  EXPECT_TRUE(Export(flat, 1));
  FloatTiff slopes = ReadBack("Flat_Slopes.tif");
  ASSERT_EQ(slopes.values.size(), 25u);
  for (const Float32 v : slopes.values)
    EXPECT_EQ(v, 0.0f);

  EXPECT_TRUE(Export(ramp, RAMP_CUSTOM_OUTPUT));
  ExpectNormalisedRamp(ReadBack("Ridge_Doubled.tif"));

  // A filter's difference map.
  EXPECT_TRUE(Export(filter, ID_OGX_CUSTOMOUTPUT_DIFFERENCE));
  EXPECT_EQ(ReadBack("Lift_Difference.tif").values.size(), 25u);

  // The masking-field map of an operator with an enabled layer.
  auto* fields = static_cast<FieldList*>(
    ramp->GetDataInstanceRef().GetCustomData(TERRAINOPERATOR_MASKING_FIELDS_LIST, CUSTOMDATATYPE_FIELDLIST));
  ASSERT_NE(fields, nullptr);
  ASSERT_TRUE(fields->AppendLayer(FieldLayer::Alloc(FLsolid)).IsOk());
  EXPECT_TRUE(Export(ramp, 2));
  EXPECT_EQ(ReadBack("Ridge_Mask.tif").values.size(), 25u);
  EXPECT_TRUE(host::GetMessageDialogs().empty());
}

TEST_F(OperatorMessagesTest, NoMaskToShowTellsTheUser)
{
  // Inside the terrain but without a masking layer, and outside any terrain object.
  BaseObject* inside = AddOperator(ID_TEST_RAMP, "Inside");
  ASSERT_NE(Build(), nullptr);
  BaseObject* outside = BaseObject::Alloc(ID_TEST_RAMP);
  ASSERT_NE(outside, nullptr);
  ASSERT_TRUE(doc->InsertObject(outside, nullptr));
  Grid2D<Float> terrainGrid;
  ASSERT_TRUE(terrainGrid.Init(5, 5, 40.0, 20.0).IsOk());
  EvaluationContext context;
  ASSERT_TRUE(outside->GetNodeData<RampGenerator>()->ComputeOperator(terrainGrid, outside, doc, context).IsOk());

  for (BaseObject* op : {inside, outside})
  {
    host::ResetDialogs();
    EXPECT_TRUE(Export(op, 2));
    const std::vector<host::MessageDialogRecord> dialogs = host::GetMessageDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].type, 48);
    EXPECT_EQ(dialogs[0].text, "The map could not be exported.");
    EXPECT_TRUE(host::GetFileSelects().empty());
  }
  EXPECT_TRUE(std::filesystem::is_empty(TempDir()));
}

TEST_F(OperatorMessagesTest, SmallGridsAreNotExported)
{
  // A 2 x 2 terrain: the operator's grid has 4 cells.
  TerrainData().SetInt32(TERRAINOBJECT_RESOLUTION_X, 1);
  TerrainData().SetInt32(TERRAINOBJECT_RESOLUTION_Z, 1);
  BaseObject* ramp = AddOperator(ID_TEST_RAMP, "Ridge");
  ASSERT_NE(Build(), nullptr);
  ASSERT_EQ(ramp->GetNodeData<RampGenerator>()->GetOutputGrid().cellCount, 4);

  EXPECT_TRUE(Export(ramp, 0));
  EXPECT_TRUE(host::GetFileSelects().empty());
  EXPECT_TRUE(host::GetMessageDialogs().empty());
  EXPECT_TRUE(std::filesystem::is_empty(TempDir()));
}

TEST_F(OperatorMessagesTest, FailuresAreReportedNotExported)
{
  BaseObject* ramp = AddOperator(ID_TEST_RAMP, "Ridge");
  ASSERT_NE(Build(), nullptr);

  // A mode that names no output of this operator: the message fails with the reason on the diagnostics.
  host::ResetLogs();
  EXPECT_FALSE(Export(ramp, 77));
  EXPECT_NE(host::Diagnostics().GetLast().find("Did not receive a custom output pointer for export mode 77!"),
            String::npos);
  EXPECT_TRUE(host::GetFileSelects().empty());

  // A file that cannot be written tells the user; a cancelled dialog does nothing.
  host::ResetDialogs();
  ramp->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_EXPORT_MODE, 0);
  host::QueueFileSelectAnswer(Url(TempDir() / "missing" / "map.tif"));
  EXPECT_TRUE(SendCommand(ramp, TERRAINOPERATOR_EXPORT));
  ASSERT_EQ(host::GetMessageDialogs().size(), 1u);
  EXPECT_EQ(host::GetMessageDialogs()[0].text, "The map could not be exported.");
  host::ResetDialogs();
  host::QueueFileSelectCancel();
  EXPECT_TRUE(SendCommand(ramp, TERRAINOPERATOR_EXPORT));
  EXPECT_EQ(host::GetFileSelects().size(), 1u);
  EXPECT_TRUE(host::GetMessageDialogs().empty());
  EXPECT_TRUE(std::filesystem::is_empty(TempDir()));
}

// ---------------------------------------------------------------------------------------------------
// The blend-mode icon

class BlendModeIconTest : public OperatorMessagesTest
{
protected:
  // The icon the host composes for op into a size x size target; null when nothing was composed.
  BaseBitmap* Compose(BaseObject* op, Int32 size = 96)
  {
    BaseBitmap* target = BaseBitmap::Alloc();
    EXPECT_EQ(target->Init(size, size, 24), IMAGERESULT::OK);
    IconData dat{target, 0, 0, 0, 0};
    GetCustomIconData request{&dat, false};
    op->Message(MSG_GETCUSTOMICON, &request);
    if (!request.filled)
      BaseBitmap::Free(target);   // and null
    return target;
  }
  static Bool SamePixels(const BaseBitmap* a, const BaseBitmap* b, Int32 x0, Int32 y0, Int32 x1, Int32 y1)
  {
    for (Int32 y = y0; y < y1; ++y)
      for (Int32 x = x0; x < x1; ++x)
      {
        UInt16 ra, ga, ba, rb, gb, bb;
        a->GetPixel(x, y, &ra, &ga, &ba);
        b->GetPixel(x, y, &rb, &gb, &bb);
        if (ra != rb || ga != gb || ba != bb)
          return false;
      }
    return true;
  }
};

TEST_F(BlendModeIconTest, GeneratorShowsItsBlendModeOverItsIcon)
{
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "Group", nullptr, BLENDMODE::ADD);
  BaseBitmap* add = Compose(group);
  ASSERT_NE(add, nullptr);
  group->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::NORMAL));
  BaseBitmap* normal = Compose(group);
  ASSERT_NE(normal, nullptr);

  // The group's own icon everywhere above and left of (32, 32); the two modes differ below and right.
  EXPECT_TRUE(SamePixels(add, normal, 0, 0, 96, 32));
  EXPECT_TRUE(SamePixels(add, normal, 0, 0, 32, 96));
  EXPECT_FALSE(SamePixels(add, normal, 32, 32, 96, 96));

  // Where ADD's icon is opaque the target shows it unscaled, offset by (32, 32).
  IconData icon;
  ASSERT_TRUE(GetIcon(BLENDMODE_ICONS[static_cast<Int32>(BLENDMODE::ADD)].iconId, &icon));
  Int opaque = 0;
  for (Int32 y = 0; y < icon.h; ++y)
    for (Int32 x = 0; x < icon.w; ++x)
      if (icon.bmp->GetAlpha(icon.x + x, icon.y + y) == 255)
      {
        UInt16 r, g, b, tr, tg, tb;
        icon.bmp->GetPixel(icon.x + x, icon.y + y, &r, &g, &b);
        add->GetPixel(32 + x, 32 + y, &tr, &tg, &tb);
        ASSERT_EQ(std::make_tuple(r, g, b), std::make_tuple(tr, tg, tb)) << x << ", " << y;
        ++opaque;
      }
  EXPECT_GT(opaque, 0);
  BaseBitmap::Free(add);
  BaseBitmap::Free(normal);
}

TEST_F(BlendModeIconTest, ValuesOffTheTableShowNormal)
{
  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "Group", nullptr, BLENDMODE::NORMAL);
  BaseBitmap* normal = Compose(group);
  ASSERT_NE(normal, nullptr);
  for (const Int32 mode : {-1, 15, 1000})
  {
    group->GetDataInstanceRef().SetInt32(TERRAINOPERATOR_BLENDMODE, mode);
    BaseBitmap* other = Compose(group);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(SamePixels(normal, other, 0, 0, 96, 96)) << mode;
    BaseBitmap::Free(other);
  }
  BaseBitmap::Free(normal);
}

TEST_F(BlendModeIconTest, FiltersAndSwitchedOffPreferenceComposeNothing)
{
  BaseObject* filter = AddOperator(ID_TEST_FILTER, "Filter");
  ASSERT_TRUE(RegisterSheetIcon(ID_TEST_FILTER, MainIconSheet(), 64, 0));
  EXPECT_EQ(Compose(filter), nullptr);

  BaseObject* group = AddOperator(ID_OGX_GROUPOPERATOR, "Group");
  BaseContainer prefs(ID_OGX_PREFERENCES);
  prefs.SetBool(1001, false);
  GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  EXPECT_EQ(Compose(group), nullptr);
  prefs.SetBool(1001, true);
  GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  BaseBitmap* shown = Compose(group);
  EXPECT_NE(shown, nullptr);
  BaseBitmap::Free(shown);

  // A request without data is refused.
  EXPECT_FALSE(group->Message(MSG_GETCUSTOMICON, nullptr));
}
} // namespace
