// The blur and sharpen operators' tests: a document with the stand-in terrain object, both operators
// registered with their icons and descriptions, a random input grid with a valid min/max (so that a
// kept or reset range shows) and an evaluation context to compute with.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/ogx_icons.h"
#include "host/gui/icons.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "object/operator_blur.h"
#include "object/operator_sharpen.h"
#include "orogenix/convolution.h"
#include "support/filter_reference.h"
#include "support/test_operators.h"

namespace ogx_test
{
class FilterOperatorTest : public OperatorSceneTest
{
protected:
  void SetUp() override
  {
    OperatorSceneTest::SetUp();
    ASSERT_TRUE(LoadIconSheets());
    ASSERT_TRUE(RegisterBaseTerrainOperatorDescription());
    ASSERT_TRUE(RegisterBlurOperator(34));
    ASSERT_TRUE(RegisterSharpenOperator(35));
  }
  void TearDown() override
  {
    FreeIconSheets();
    OperatorSceneTest::TearDown();
  }

  // A random width x height input with its min/max recorded, and the context of a rebuild of that size.
  void Shape(Int width, Int height, unsigned seed = 1)
  {
    input = RandomGrid(width, height, seed);
    input.RecomputeMinMax();
    InitEvaluationContext(context, width - 1, height - 1, 10.0, 10.0, 1.0, terrain, nullptr);
  }

  Result<void> Compute(BaseObject* op) { return OperatorData(op)->ComputeOperator(input, op, doc, context); }
  const Grid2D<Float>& Output(BaseObject* op) { return OperatorData(op)->GetOutputGrid(); }

  // The output has the input's shape and sizes, and the input's min/max or a reset range.
  void ExpectInputShape(BaseObject* op, Bool keepsMinMax, const std::string& what)
  {
    const Grid2D<Float>& out = Output(op);
    EXPECT_EQ(out.width, input.width) << what;
    EXPECT_EQ(out.height, input.height) << what;
    EXPECT_EQ(out.cellCount, input.cellCount) << what;
    EXPECT_EQ(out.sizeX, input.sizeX) << what;
    EXPECT_EQ(out.sizeY, input.sizeY) << what;
    EXPECT_EQ(out.minMaxValid, keepsMinMax) << what;
    if (keepsMinMax)
    {
      EXPECT_EQ(out.min, input.min) << what;
      EXPECT_EQ(out.max, input.max) << what;
    }
  }

  // The mirrored convolution of the input with a kernel centred on each cell.
  std::vector<Float> MirroredReference(const OGX::Convolution::BaseKernel& k) const
  {
    const Int size = k.size;
    return ReferenceConvolve(Cells(input), input.width, input.height,
                             std::vector<Float>(k.weights.begin(), k.weights.end()), size, size / 2, size / 2,
                             Border::MIRROR);
  }

  // The operator gives the same bits on the calling thread alone as on all threads.
  void ExpectOneThreadLikeAllThreads(BaseObject* op, const std::string& what)
  {
    std::vector<Float> serial;
    {
      SerialScope one;
      ASSERT_TRUE(Compute(op).IsOk()) << what;
      serial = Cells(Output(op));
    }
    ASSERT_TRUE(Compute(op).IsOk()) << what;
    EXPECT_EQ(FirstDifference(Cells(Output(op)), serial), -1) << what;
  }

  // Registry entry, host plug-in entry and icon cell of a filter operator.
  void ExpectRegisteredFilter(Int32 id, const char* name, const char* menuName, const char* description,
                              Int32 hostDiskLevel, Int32 cellX, Int32 cellY)
  {
    Bool listed = false;
    for (const OperatorRegistryEntry& e : g_operatorRegistry)
      if (e.id == id)
      {
        listed = true;
        EXPECT_EQ(e.name, String(name));
        EXPECT_EQ(e.flags, static_cast<Int32>(TERRAINOPERATORFLAGS::TYPE_FILTER));
      }
    EXPECT_TRUE(listed) << name;
    EXPECT_TRUE(host::Console().Contains(String("Registered filter operator: ") + name));
    const host::PluginEntry* entry = host::FindPlugin(id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name, String(menuName));
    EXPECT_EQ(entry->description, String(description));
    EXPECT_EQ(entry->diskLevel, hostDiskLevel);
    EXPECT_TRUE(entry->hasIcon);
    IconData icon;
    ASSERT_TRUE(GetIcon(id, &icon));
    EXPECT_EQ(icon.w, 64);
    EXPECT_EQ(icon.h, 64);
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{31, 31}, std::pair{17, 41}, std::pair{63, 63}})
    {
      UInt16 r1, g1, b1, r2, g2, b2;
      icon.bmp->GetPixel(x, y, &r1, &g1, &b1);
      MainIconSheet()->GetPixel(cellX + x, cellY + y, &r2, &g2, &b2);
      EXPECT_EQ(std::tuple(r1, g1, b1), std::tuple(r2, g2, b2)) << name << " " << x << "," << y;
    }
  }

  // The operator's description holds the base's entries and its own, and its method cycle offers four
  // methods.
  void ExpectDescribed(BaseObject* op, std::initializer_list<Int32> own, Int32 methodId)
  {
    Description* description = Description::Alloc();
    ASSERT_NE(description, nullptr);
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(description, flags));
    for (const Int32 id :
         {TERRAINOPERATOR_OPACITY, TERRAINOPERATOR_MASKING_FIELDS_LIST, TERRAINOPERATOR_MASKING_HEIGHT})
      EXPECT_NE(description->FindEntry(id), nullptr) << id;
    for (const Int32 id : own)
      EXPECT_NE(description->FindEntry(id), nullptr) << id;
    const BaseContainer* method =
      static_cast<const Description*>(description)->GetParameterContainer(ParameterId(methodId));
    EXPECT_NE(method, nullptr);
    if (method)
    {
      EXPECT_EQ(method->GetContainer(DESC_CYCLE).GetCount(), 4);
    }
    Description::Free(description);
  }

  // Ids of the operator's own entries in its container, in container order.
  static std::vector<Int32> OwnIds(const BaseContainer& bc, std::initializer_list<Int32> own)
  {
    std::vector<Int32> order;
    for (Int32 k = 0; k < bc.GetCount(); ++k)
      for (const Int32 id : own)
        if (bc.GetIndexId(k) == id)
          order.push_back(id);
    return order;
  }

  // The box or ramp taps of a separable filter as the reference takes them.
  static std::vector<Float> Taps(Int half, const std::vector<Float>& ramp)
  {
    std::vector<Float> taps;
    for (Int k = -half; k <= half; ++k)
      taps.push_back(ramp[static_cast<std::size_t>(k < 0 ? -k : k)]);
    return taps;
  }

  // The row at which a serial pass over `rows` rows stops when the break comes at its `n`-th test
  // (rows whose index AND 999 is 0 make none).
  static Int BreakRow(Int rows, Int n)
  {
    Int tests = 0;
    for (Int y = 0; y < rows; ++y)
      if ((y & 999) != 0 && ++tests == n)
        return y;
    return rows;
  }
  // The break tests a whole pass over `rows` rows makes.
  static Int TestsOfPass(Int rows)
  {
    Int n = 0;
    for (Int y = 0; y < rows; ++y)
      n += (y & 999) != 0 ? 1 : 0;
    return n;
  }

  EvaluationContext context;
  Grid2D<Float> input;
};
} // namespace ogx_test
