// The gradient operator: its shapes against a reference written out from their definitions, the hand
// edge cases (a zero radius, a zero ramp, the rectangular pyramid, unknown types, one-column grids),
// its failures, its handles through the host's default dragging, and its viewport outline.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/core/thread.h"
#include "host/gui/basedraw.h"
#include "host/splines/splinedata.h"
#include "support/reference_distortion.h"
#include "support/shape_operators.h"
#include "support/test_operators.h"

using namespace ogx_test;

namespace
{
constexpr Float TOLERANCE = 1e-9;

class GradientOperatorTest : public ShapeOperatorTest
{
protected:
  BaseObject* AddGradient(Int32 type, Float radius = 200.0, Float length = 200.0, Float depth = 150.0)
  {
    BaseObject* op = AddOperator(ID_OGX_GRADIENTOPERATOR);
    Data(op).SetInt32(GRADIENTOPERATOR_TYPE, type);
    Data(op).SetFloat(GRADIENTOPERATOR_RADIUS, radius);
    Data(op).SetFloat(GRADIENTOPERATOR_LENGTH, length);
    Data(op).SetFloat(GRADIENTOPERATOR_DEPTH, depth);
    return op;
  }

  // The profile y = x: the knots (0, 0) and (1, 1) without tangents.
  void SetIdentityProfile(BaseObject* op)
  {
    std::unique_ptr<SplineData> curve = SplineData::Alloc();
    curve->InsertKnot(0.0, 0.0);
    curve->InsertKnot(1.0, 1.0);
    Data(op).SetData(GRADIENTOPERATOR_PROFILE, GeData(std::move(curve)));
  }

  Result<void> Compute(BaseObject* op, Int width, Int height, Float sizeX, Float sizeY,
                       const Matrix& parentInverse = Matrix(), HostThread* thread = nullptr)
  {
    Grid2D<Float> input;
    EXPECT_TRUE(input.Init(width, height, sizeX, sizeY).IsOk());
    HierarchyContext hh(doc, 1.0, thread, BUILDFLAGS::NONE);
    EvaluationContext context;
    InitEvaluationContext(context, width - 1, height - 1, sizeX, sizeY, 1.0, terrain, &hh);
    context.parentMatrixInverse = parentInverse;
    context.parentMatrix = ~parentInverse;
    return OperatorData(op)->ComputeOperator(input, op, doc, context);
  }
};

// The cell's value from the definitions: the cell's position, the placement one matrix after the
// other, the distortion from its own reference, the shape with divisions rather than inverses.
Float ReferenceCell(const BaseContainer& bc, const Matrix& local, const Matrix& parentInverse, Int i, Int width,
                    Int height, Float sizeX, Float sizeY)
{
  const Int column = i % width;
  const Int row = i / width;
  const Float fx = width == 1 ? 0.0 : static_cast<Float>(column) / static_cast<Float>(width - 1);
  const Float fz = height == 1 ? 0.0 : static_cast<Float>(row) / static_cast<Float>(height - 1);
  Vector p(fx * sizeX - sizeX * 0.5, 0.0, sizeY * 0.5 - fz * sizeY);
  auto place = [&](const Vector& q) { return ~local * (parentInverse * q); };
  const Bool operatorSpace = bc.GetBool(2006);
  if (operatorSpace)
    p = place(p);
  p = ReferenceDistortion(bc, p);
  if (!operatorSpace)
    p = place(p);
  const auto* profile = static_cast<const SplineData*>(bc.GetCustomData(10001, CUSTOMDATATYPE_SPLINE));
  auto f = [&](Float t) { return profile->Evaluate(t).y; };
  switch (bc.GetInt32(10002))
  {
    case 1:
    {
      const Float r = bc.GetFloat(10003);
      const Float d = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
      if (d > r)
        return 0.0;
      return f(r == 0.0 ? 1.0 : 1.0 - d / r);
    }
    case 2:
    {
      const Float length = bc.GetFloat(10004);
      // Up a ramp half the length long, centred on z = 0, high at -z.
      const Float t = length >= 0.0002 ? 0.5 - 2.0 * p.z / length : 1.0 - p.z / 0.0001;
      return f(std::clamp(t, 0.0, 1.0));
    }
    case 3:
    {
      const Float w = bc.GetFloat(10004) / 2.0;
      const Float d = bc.GetFloat(10005) / 2.0;
      if (std::abs(p.x) > w || std::abs(p.z) > d)
        return 0.0;
      return std::min(f(1.0 - std::abs(p.x) / w), f(1.0 - std::abs(p.z) / d));
    }
    case 4:
    {
      const Float s = bc.GetFloat(10004) / 2.0;
      const Float m = std::max(std::abs(p.x), std::abs(p.z));
      return m > s ? 0.0 : f(1.0 - m / s);
    }
    default: return 0.0;
  }
}

// A matrix turned about Y by the angle, scaled along its X axis, then moved.
Matrix Turned(Float degrees, Float scaleX, const Vector& offset)
{
  const Float a = degrees * std::numbers::pi / 180.0;
  return Matrix(offset, Vector(std::cos(a), 0.0, -std::sin(a)) * scaleX, Vector(0.0, 1.0, 0.0),
                Vector(std::sin(a), 0.0, std::cos(a)));
}
} // namespace

// Each registers alone as start-up registers it: a generator with its icon cell, menu name and
// description, whose resource loads.
TEST_F(GradientOperatorTest, BothRegisterAsGeneratorsWithTheirIconsAndDescriptions)
{
  struct Case
  {
    Bool (*registration)(Int32);
    Int32 sortOrder;
    ExpectedRegistration expected;
    Int32 linkOrCurve;   // a parameter of the description, with its type
    Int32 dtype;
  };
  const Case cases[] = {
    {RegisterGradientOperator, 24,
     {1054623, "Gradient", TERRAINOPERATORFLAGS::TYPE_GENERATOR, "Registered generator operator: Gradient",
      "#$24Gradient", "ogradientoperator", 128, 0},
     GRADIENTOPERATOR_PROFILE, CUSTOMDATATYPE_SPLINE},
    {RegisterSplineOperator, 23,
     {1054654, "Spline", TERRAINOPERATORFLAGS::TYPE_GENERATOR, "Registered generator operator: Spline",
      "#$23Spline", "osplineoperator", 256, 0},
     SPLINEOPERATOR_SPLINE, DA_ALIASLINK},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.expected.name);
    ReleaseRegistryEntries();
    host::ResetPlugins();
    host::ResetIcons();
    host::ResetLogs();
    ASSERT_TRUE(RegisterTerrainObject(10));
    ReleaseRegistryEntries();
    ASSERT_TRUE(c.registration(c.sortOrder));
    ExpectRegisteredOperator(c.expected);

    BaseObject* op = AddOperator(c.expected.id);
    ASSERT_NE(op, nullptr);
    Description* description = Description::Alloc();
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    EXPECT_TRUE(op->GetDescription(description, flags));
    const DescriptionEntry* entry = nullptr;
    for (Int32 i = 0; i < description->GetEntryCount(); ++i)
      if (description->GetEntry(i)->id.id == c.linkOrCurve)
        entry = description->GetEntry(i);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->id.dtype, c.dtype);
    Description::Free(description);
  }
}

TEST_F(GradientOperatorTest, DefaultsFlagsAndDirtyIds)
{
  BaseObject* op = AddOperator(ID_OGX_GRADIENTOPERATOR);
  const BaseContainer& d = Data(op);
  EXPECT_EQ(d.GetInt32(GRADIENTOPERATOR_TYPE), GRADIENTTYPE_RADIAL);
  EXPECT_EQ(d.GetFloat(GRADIENTOPERATOR_RADIUS), 200.0);
  EXPECT_EQ(d.GetFloat(GRADIENTOPERATOR_LENGTH), 200.0);
  EXPECT_EQ(d.GetFloat(GRADIENTOPERATOR_DEPTH), 150.0);
  EXPECT_FALSE(d.GetBool(TERRAINDISTORTION_ENABLE, true));
  EXPECT_EQ(d.GetFloat(TERRAINDISTORTION_AMOUNT), 1.0);
  const auto* profile = static_cast<const SplineData*>(d.GetCustomData(GRADIENTOPERATOR_PROFILE, CUSTOMDATATYPE_SPLINE));
  ASSERT_NE(profile, nullptr);
  ASSERT_EQ(profile->GetKnotCount(), 2);
  EXPECT_EQ(*profile->GetKnot(0), (SplineKnot{Vector(0, 0, 0), 0, Vector(), Vector(0.5, 0, 0)}));
  EXPECT_EQ(*profile->GetKnot(1), (SplineKnot{Vector(1, 1, 0), 0, Vector(-0.2, 0, 0), Vector()}));

  EXPECT_EQ(static_cast<Int32>(OperatorData(op)->GetOperatorFlags(op)), 22);
  BaseArray<Int32> ids;
  ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, d));
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()),
            (std::vector<Int32>{10001, 10002, 10003, 10004, 10005, 2001, 2002, 2003, 2004, 2005, 2007, 2006}));
  {
    host::ScopedAllocationFailure fail(1);
    BaseArray<Int32> none;
    EXPECT_FALSE(OperatorData(op)->GetDirtyParameterIds(none, d));
  }

  // The description shows the sizes the type uses.
  for (const Int32 type : {1, 2, 3, 4, 0})
  {
    Data(op).SetInt32(GRADIENTOPERATOR_TYPE, type);
    Description* description = Description::Alloc();
    DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
    ASSERT_TRUE(op->GetDescription(description, flags));
    const Description* desc = description;
    EXPECT_EQ(desc->GetParameterContainer(ParameterId(10003))->GetBool(DESC_HIDE), type != 1) << type;
    EXPECT_EQ(desc->GetParameterContainer(ParameterId(10004))->GetBool(DESC_HIDE), type < 2 || type > 4) << type;
    EXPECT_EQ(desc->GetParameterContainer(ParameterId(10005))->GetBool(DESC_HIDE), type != 3) << type;
    Description::Free(description);
  }
  // The distortion's parameters follow its switch.
  EXPECT_FALSE(op->GetDEnabling(DescID(TERRAINDISTORTION_AMOUNT), GeData()));
  Data(op).SetBool(TERRAINDISTORTION_ENABLE, true);
  EXPECT_TRUE(op->GetDEnabling(DescID(TERRAINDISTORTION_AMOUNT), GeData()));
}

TEST_F(GradientOperatorTest, ShapesFollowTheirDefinitions)
{
  struct Case
  {
    const char* name;
    Int32 type;
    Float radius, length, depth;
    Bool distortion;
    Bool operatorSpace;
  };
  const Case cases[] = {
    {"radial", 1, 150.0, 0.0, 0.0, false, false},
    {"radial distorted", 1, 150.0, 0.0, 0.0, true, false},
    {"radial distorted in operator space", 1, 150.0, 0.0, 0.0, true, true},
    {"linear", 2, 0.0, 240.0, 0.0, false, false},
    {"linear distorted in operator space", 2, 0.0, 240.0, 0.0, true, true},
    {"rectangular", 3, 0.0, 260.0, 120.0, false, false},
    {"rectangular distorted", 3, 0.0, 260.0, 120.0, true, false},
    {"square", 4, 0.0, 180.0, 0.0, false, false},
    {"square distorted in operator space", 4, 0.0, 180.0, 0.0, true, true},
  };
  const Matrix local = Turned(30.0, 1.5, Vector(20.0, 4.0, -10.0));
  const Matrix parentInverse = ~Turned(-15.0, 1.0, Vector(-5.0, 0.0, 8.0));
  constexpr Int W = 23;
  constexpr Int H = 17;
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = AddGradient(c.type, c.radius, c.length, c.depth);
    op->SetMl(local);
    Data(op).SetBool(TERRAINDISTORTION_ENABLE, c.distortion);
    Data(op).SetBool(TERRAINDISTORTION_OPERATORSPACE, c.operatorSpace);
    Data(op).SetFloat(TERRAINDISTORTION_AMOUNT, 0.3);
    Data(op).SetFloat(TERRAINDISTORTION_DIRECTION, 0.7);
    ASSERT_TRUE(Compute(op, W, H, 400.0, 300.0, parentInverse).IsOk());
    const Grid2D<Float>& out = Output(op);
    ASSERT_EQ(out.width, W);
    ASSERT_EQ(out.height, H);
    EXPECT_FALSE(out.minMaxValid);
    Int inside = 0;
    for (Int i = 0; i < out.cellCount; ++i)
    {
      const Float want = ReferenceCell(Data(op), local, parentInverse, i, W, H, 400.0, 300.0);
      EXPECT_NEAR(out.cells[i], want, TOLERANCE) << "cell " << i;
      inside += out.cells[i] > 0.0 ? 1 : 0;
    }
    // The shapes cover part of the terrain, not all or nothing.
    EXPECT_GT(inside, 0);
    EXPECT_LT(inside, out.cellCount);

    // One thread and all threads agree bit for bit.
    const std::vector<Float> parallel = Cells(out);
    {
      SerialScope one;
      ASSERT_TRUE(Compute(op, W, H, 400.0, 300.0, parentInverse).IsOk());
    }
    const std::vector<Float> serial = Cells(Output(op));
    for (std::size_t i = 0; i < serial.size(); ++i)
      ASSERT_TRUE(Same(serial[i], parallel[i])) << i;
  }
}

TEST_F(GradientOperatorTest, HandComputedShapes)
{
  // 5 x 5 cells over 4 x 4: cells at x, z in {-2, -1, 0, 1, 2} (row 0 at z = +2); the profile y = x.
  struct Case
  {
    const char* name;
    Int32 type;
    Float radius, length, depth;
    std::vector<Float> expected;
  };
  const Case cases[] = {
    // A zero radius reaches the centre cell alone, with the profile's top.
    {"radius 0", 1, 0.0, 0.0, 0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    // A zero length is a step: 1 from z = 0 down, 0 above.
    {"length 0", 2, 0.0, 0.0, 0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    // A ramp of length 8 spans z = +2 (0) to -2 (1).
    {"ramp", 2, 0.0, 8.0, 0.0,
     {0, 0, 0, 0, 0, .25, .25, .25, .25, .25, .5, .5, .5, .5, .5, .75, .75, .75, .75, .75, 1, 1, 1, 1, 1}},
    // 4 wide, 2 deep: the smaller of the two falloffs, the rows beyond z = +-1 untouched.
    {"pyramid", 3, 0.0, 4.0, 2.0,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, .5, 1, .5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"square", 4, 0.0, 4.0, 0.0,
     {0, 0, 0, 0, 0, 0, .5, .5, .5, 0, 0, .5, 1, .5, 0, 0, .5, .5, .5, 0, 0, 0, 0, 0, 0}},
    // Types the operator does not know: a flat grid.
    {"type 0", 0, 100.0, 100.0, 100.0, std::vector<Float>(25, 0.0)},
    {"type 5", 5, 100.0, 100.0, 100.0, std::vector<Float>(25, 0.0)},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* op = AddGradient(c.type, c.radius, c.length, c.depth);
    SetIdentityProfile(op);
    ASSERT_TRUE(Compute(op, 5, 5, 4.0, 4.0).IsOk());
    const std::vector<Float> got = Cells(Output(op));
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_NEAR(got[i], c.expected[i], 1e-12) << "cell " << i;
  }

  // One column, one row: the lone cell sits at the axis's start, as the terrain's other units put it.
  BaseObject* op = AddGradient(1, 10.0);
  SetIdentityProfile(op);
  ASSERT_TRUE(Compute(op, 1, 5, 8.0, 8.0).IsOk());
  const std::vector<Float> column = Cells(Output(op));
  ASSERT_EQ(column.size(), 5u);
  for (std::size_t j = 0; j < 5; ++j)
    EXPECT_NEAR(column[j], 1.0 - std::hypot(4.0, 4.0 - 2.0 * static_cast<Float>(j)) / 10.0, 1e-12) << j;
  ASSERT_TRUE(Compute(op, 5, 1, 8.0, 8.0).IsOk());
  for (Int i = 0; i < 5; ++i)
    EXPECT_NEAR(Output(op).cells[i], 1.0 - std::hypot(4.0, -4.0 + 2.0 * static_cast<Float>(i)) / 10.0, 1e-12) << i;
}

TEST_F(GradientOperatorTest, FailuresLeaveAFlatGrid)
{
  BaseObject* op = AddGradient(1, 100.0);
  Data(op).RemoveData(GRADIENTOPERATOR_PROFILE);
  Result<void> r = Compute(op, 6, 4, 10.0, 10.0);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetText(), "Could not access SplineData!");
  EXPECT_EQ(Output(op).cellCount, 24);
  EXPECT_EQ(Cells(Output(op)), std::vector<Float>(24, 0.0));

  // A break on the build's thread stops each type with its own message, and leaves no half grid.
  const std::pair<Int32, const char*> types[] = {
    {1, "Radial gradient cancelled!"}, {2, "Linear gradient cancelled!"},
    {3, "Rectangular gradient cancelled!"}, {4, "Square gradient cancelled!"}};
  for (const auto& [type, message] : types)
  {
    BaseObject* g = AddGradient(type, 1000.0, 1000.0, 1000.0);
    HostThread thread;
    thread.SetBreak();
    r = Compute(g, 64, 64, 10.0, 10.0, Matrix(), &thread);
    ASSERT_TRUE(r.IsError()) << type;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(r.GetError().GetText(), message);
    EXPECT_EQ(Cells(Output(g)), std::vector<Float>(64 * 64, 0.0));
  }
}

TEST_F(GradientOperatorTest, HandlesShowAndEditTheShape)
{
  BaseObject* op = AddGradient(1, 120.0, 80.0, 60.0);
  auto* gradient = op->GetNodeData<GradientOperator>();
  Data(op).SetFloat(TERRAINOPERATOR_HEIGHT, 30.0);
  Data(op).SetFloat(TERRAINOPERATOR_FACTOR, 2.0);
  Data(op).SetFloat(TERRAINOPERATOR_OFFSET, -5.0);

  struct Case
  {
    Int32 type;
    Int32 count;
    Float depth;   // handle 1's distance along Z
  };
  const Case cases[] = {{1, 2, 120.0}, {2, 2, 20.0}, {3, 3, 30.0}, {4, 3, 40.0}, {0, 0, 0.0}, {5, 0, 0.0}};
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.type);
    Data(op).SetInt32(GRADIENTOPERATOR_TYPE, c.type);
    EXPECT_EQ(gradient->CountHandles(op), c.count);
    HandleInfo info;
    gradient->GetHandlePosition(op, 0, info);
    EXPECT_EQ(info.position, Vector(0, 25, 0));
    EXPECT_EQ(info.direction, Vector(0, 1, 0));
    EXPECT_EQ(info.type, HANDLECONSTRAINTTYPE::LINEAR);
    gradient->GetHandlePosition(op, 1, info);
    EXPECT_EQ(info.position, Vector(0, -5, c.depth));
    EXPECT_EQ(info.direction, Vector(0, 0, 1));
    gradient->GetHandlePosition(op, 2, info);
    EXPECT_EQ(info.position, Vector(40, -5, 0));
    EXPECT_EQ(info.direction, Vector(1, 0, 0));
  }
  // The blend modes that take the factor show it as the height.
  Data(op).SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::MULTIPLY));
  HandleInfo info;
  gradient->GetHandlePosition(op, 0, info);
  EXPECT_EQ(info.position, Vector(0, -3, 0));

  // Handle 0 writes the scale the blend mode reads: dragged below the offset it turns negative.
  gradient->SetHandlePosition(op, 0, Vector(9, -12, 9), info);
  EXPECT_EQ(Data(op).GetFloat(TERRAINOPERATOR_FACTOR), -7.0);
  EXPECT_EQ(Data(op).GetFloat(TERRAINOPERATOR_HEIGHT), 30.0);
  Data(op).SetInt32(TERRAINOPERATOR_BLENDMODE, static_cast<Int32>(BLENDMODE::ADD));
  gradient->SetHandlePosition(op, 0, Vector(0, -12, 0), info);
  EXPECT_EQ(Data(op).GetFloat(TERRAINOPERATOR_HEIGHT), -7.0);

  // Handle 1 keeps its place on the size it stands for; sizes never go below 0.
  struct Drag
  {
    Int32 type;
    Int32 handle;
    Vector to;
    Int32 parameter;
    Float value;
  };
  const Drag drags[] = {
    {1, 1, Vector(0, 0, 70), GRADIENTOPERATOR_RADIUS, 70.0},   {2, 1, Vector(0, 0, 70), GRADIENTOPERATOR_LENGTH, 280.0},
    {3, 1, Vector(0, 0, 70), GRADIENTOPERATOR_DEPTH, 140.0},   {4, 1, Vector(0, 0, 70), GRADIENTOPERATOR_LENGTH, 140.0},
    {1, 1, Vector(0, 0, -3), GRADIENTOPERATOR_RADIUS, 0.0},    {3, 2, Vector(33, 0, 0), GRADIENTOPERATOR_LENGTH, 66.0},
    {4, 2, Vector(-1, 0, 0), GRADIENTOPERATOR_LENGTH, 0.0},
  };
  for (const Drag& d : drags)
  {
    SCOPED_TRACE(testing::Message() << d.type << "/" << d.handle);
    Data(op).SetInt32(GRADIENTOPERATOR_TYPE, d.type);
    gradient->SetHandlePosition(op, d.handle, d.to, info);
    EXPECT_EQ(Data(op).GetFloat(d.parameter), d.value);
  }
  // Other types have no handle 1 to write.
  Data(op).SetInt32(GRADIENTOPERATOR_TYPE, 0);
  const BaseContainer before = Data(op);
  gradient->SetHandlePosition(op, 1, Vector(0, 0, 50), info);
  EXPECT_TRUE(Data(op) == before);

  // Through the host's default dragging: handle 1 of a linear gradient, pulled off its line, stays at
  // the end of the ramp.
  Data(op).SetInt32(GRADIENTOPERATOR_TYPE, 2);
  Data(op).SetFloat(GRADIENTOPERATOR_LENGTH, 280.0);
  BaseDraw bd;
  EXPECT_EQ(gradient->DetectHandle(op, &bd, Vector(0, -5, 70), 1.0), 1);
  ASSERT_TRUE(gradient->MoveHandle(op, nullptr, Vector(12, 40, 90), 1, &bd));
  EXPECT_EQ(Data(op).GetFloat(GRADIENTOPERATOR_LENGTH), 360.0);
  gradient->GetHandlePosition(op, 1, info);
  EXPECT_EQ(info.position, Vector(0, -5, 90));
}

TEST_F(GradientOperatorTest, DrawsTheOutlineOfItsShape)
{
  BaseObject* op = AddGradient(1, 50.0, 80.0, 60.0);
  op->SetMl(Turned(10.0, 1.0, Vector(3, 0, 4)));
  Data(op).SetFloat(TERRAINOPERATOR_HEIGHT, 20.0);
  Data(op).SetFloat(TERRAINOPERATOR_OFFSET, 2.0);
  auto* gradient = op->GetNodeData<GradientOperator>();
  const Vector colour = GetGlobalVectorQuery(11);

  // Missing arguments: nothing drawn.
  BaseDraw bd;
  BaseDrawHelp bh(&bd, op);
  EXPECT_EQ(gradient->Draw(nullptr, DRAWPASS::HANDLES, &bd, &bh), DRAWRESULT::SKIP);
  EXPECT_EQ(gradient->Draw(op, DRAWPASS::HANDLES, nullptr, &bh), DRAWRESULT::SKIP);
  EXPECT_EQ(gradient->Draw(op, DRAWPASS::HANDLES, &bd, nullptr), DRAWRESULT::SKIP);
  EXPECT_TRUE(bd.GetDrawCalls().empty());

  // Not marked by the viewport: only the host's handles; other passes: nothing.
  EXPECT_EQ(gradient->Draw(op, DRAWPASS::HANDLES, &bd, &bh), DRAWRESULT::SKIP);
  std::size_t handles = 0;
  for (const DrawCall& c : bd.GetDrawCalls())
    handles += c.kind == DRAWCALL::HANDLE ? 1 : 0;
  EXPECT_EQ(handles, 2u);
  op->SetBit(BIT_ACTIVE);
  bd.ClearDrawings();
  EXPECT_EQ(gradient->Draw(op, DRAWPASS::OBJECT, &bd, &bh), DRAWRESULT::SKIP);
  EXPECT_TRUE(bd.GetDrawCalls().empty());

  // The outline's calls after the handles', under the object's matrix.
  auto outline = [&](Int32 type) {
    Data(op).SetInt32(GRADIENTOPERATOR_TYPE, type);
    BaseDraw target;
    BaseDrawHelp help(&target, op);
    EXPECT_EQ(gradient->Draw(op, DRAWPASS::HANDLES, &target, &help), DRAWRESULT::OK);
    std::vector<DrawCall> calls = target.GetDrawCalls();
    // Skip the default drawing: its matrix, pen and handle marks.
    std::size_t first = 0;
    while (first < calls.size() && (calls[first].kind == DRAWCALL::HANDLE || first < 2))
      ++first;
    EXPECT_EQ(first, 2u + static_cast<std::size_t>(gradient->CountHandles(op)));
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(first));
    EXPECT_FALSE(calls.empty());
    if (!calls.empty())
    {
      EXPECT_EQ(calls[0].kind, DRAWCALL::MATRIX);
      EXPECT_EQ(calls[0].drawMatrix, op->GetMg());
    }
    return calls;
  };

  std::vector<DrawCall> calls = outline(1);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].kind, DRAWCALL::PEN);
  EXPECT_EQ(calls[1].colour, colour);
  EXPECT_EQ(calls[2].kind, DRAWCALL::CIRCLE);
  EXPECT_EQ(calls[2].matrix, Matrix(Vector(0, 2, 0), Vector(50, 0, 0), Vector(0, 0, 50), Vector(0, 50, 0)));
  EXPECT_EQ(calls[3].matrix, Matrix(Vector(0, 22, 0), Vector(5, 0, 0), Vector(0, 0, 5), Vector(0, 5, 0)));

  calls = outline(2);
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[1].kind, DRAWCALL::PEN);
  const std::pair<Vector, Vector> lines[] = {
    {Vector(-100, 22, -20), Vector(100, 22, -20)}, {Vector(-100, 2, 20), Vector(100, 2, 20)},
    {Vector(-100, 22, -20), Vector(-100, 2, 20)},  {Vector(100, 22, -20), Vector(100, 2, 20)},
    {Vector(0, 2, -20), Vector(0, 2, 20)},          {Vector(0, 2, -20), Vector(0, 22, -20)}};
  for (std::size_t k = 0; k < 6; ++k)
  {
    EXPECT_EQ(calls[2 + k].kind, DRAWCALL::LINE);
    EXPECT_EQ(calls[2 + k].a, lines[k].first) << k;
    EXPECT_EQ(calls[2 + k].b, lines[k].second) << k;
    EXPECT_EQ(calls[2 + k].colour, colour);
  }

  for (const Int32 type : {3, 4})
  {
    calls = outline(type);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].kind, DRAWCALL::BOX);
    const Float depth = type == 3 ? 60.0 : 80.0;
    EXPECT_EQ(calls[1].matrix, Matrix(Vector(0, 12, 0), Vector(80, 0, 0), Vector(0, 20, 0), Vector(0, 0, depth)));
    EXPECT_EQ(calls[1].size, 0.5);
    EXPECT_EQ(calls[1].colour, colour);
    EXPECT_TRUE(calls[1].wire);
  }

  // A type without a shape sets the matrix and draws nothing more, and still answers OK.
  Data(op).SetInt32(GRADIENTOPERATOR_TYPE, 7);
  BaseDraw none;
  BaseDrawHelp noneHelp(&none, op);
  EXPECT_EQ(gradient->Draw(op, DRAWPASS::HANDLES, &none, &noneHelp), DRAWRESULT::OK);
  ASSERT_EQ(none.GetDrawCalls().size(), 1u);
  EXPECT_EQ(none.GetDrawCalls()[0].kind, DRAWCALL::MATRIX);
}

// In a terrain: the operator rebuilds when it is moved, not when it is drawn.
TEST_F(GradientOperatorTest, ItsMatrixAndParametersMakeItRebuild)
{
  Shape(20, 20, 400.0, 400.0);
  BaseObject* op = AddGradient(1, 100.0);
  ASSERT_NE(Build(), nullptr);
  const std::vector<Float> first = Cells(Output(op));
  EXPECT_GT(Terrain()->GetTerrain().max, 0.0);
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  EvaluationContext context;
  InitEvaluationContext(context, 20, 20, 400.0, 400.0, 1.0, terrain, &hh);
  EXPECT_EQ(OperatorData(op)->GetDirtyState(op, doc, context), OPERATORDIRTY::CLEAN);
  op->SetMl(Turned(0.0, 1.0, Vector(50, 0, 0)));
  EXPECT_EQ(OperatorData(op)->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_NE(Cells(Output(op)), first);
  Data(op).SetFloat(GRADIENTOPERATOR_RADIUS, 20.0);
  EXPECT_EQ(OperatorData(op)->GetDirtyState(op, doc, context), OPERATORDIRTY::REBUILD);
}
