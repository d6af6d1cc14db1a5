// The spline operator in a terrain: its output against a brute-force reference over every cell and
// sample, the hand cases (a lone sample's falloff beyond sqrt(width), a zero radius, NaN profiles), the
// links it accepts, its own dirty test over the spline, its deformers and the spline's place, its
// failures, the current-state copies it frees, and its gathering loop when the host's thread count grows
// after the cell index was built.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "host/geometry/modeling.h"
#include "host/scene/messages.h"
#include "host/splines/splinedata.h"
#include "support/shape_operators.h"
#include "support/splines.h"

using namespace ogx_test;

namespace
{
// A curve through these knots without tangents: straight between them.
std::unique_ptr<SplineData> Curve(std::initializer_list<std::pair<Float, Float>> knots)
{
  std::unique_ptr<SplineData> c = SplineData::Alloc();
  for (const auto& [x, y] : knots)
    c->InsertKnot(x, y);
  return c;
}

class SplineOperatorTest : public ShapeOperatorTest
{
protected:
  void SetUp() override
  {
    ShapeOperatorTest::SetUp();
    Shape(40, 30, 200.0, 150.0);
  }

  BaseObject* AddSplineOperator(BaseObject* link, Float width, Bool accumulate)
  {
    BaseObject* op = AddOperator(ID_OGX_SPLINEOPERATOR);
    Data(op).SetLink(SPLINEOPERATOR_SPLINE, link);
    Data(op).SetFloat(SPLINEOPERATOR_WIDTH, width);
    Data(op).SetBool(SPLINEOPERATOR_ACCUMULATE, accumulate);
    return op;
  }

  // A spline at the top of the document.
  SplineObject* InsertSpline(const std::vector<SegmentSpec>& segments, BaseObject* parent = nullptr)
  {
    SplineObject* spline = MakeSpline(segments);
    EXPECT_TRUE(doc->InsertObject(spline, parent));
    return spline;
  }

  Result<void> ComputeDirectly(BaseObject* op)
  {
    const Grid2D<Float>& grid = Terrain()->GetTerrain();
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    EvaluationContext context;
    InitEvaluationContext(context, grid.width - 1, grid.height - 1, grid.sizeX, grid.sizeY, 1.0, terrain, &hh);
    return OperatorData(op)->ComputeOperator(grid, op, doc, context);
  }

  OPERATORDIRTY DirtyState(BaseObject* op)
  {
    const Grid2D<Float>& grid = Terrain()->GetTerrain();
    HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
    EvaluationContext context;
    InitEvaluationContext(context, grid.width - 1, grid.height - 1, grid.sizeX, grid.sizeY, 1.0, terrain, &hh);
    return OperatorData(op)->GetDirtyState(op, doc, context);
  }
};

// The output from the definitions: every sample (the spline's points in world space, then in the
// terrain object's space, with their offsets) against every cell, by brute force.
std::vector<Float> Reference(const BaseContainer& bc, SplineObject* spline, const Matrix& terrainMg, Int width,
                             Int height, Float sizeX, Float sizeY)
{
  const auto curve = [&](Int32 id) { return static_cast<const SplineData*>(bc.GetCustomData(id, CUSTOMDATATYPE_SPLINE)); };
  const Float w = bc.GetFloat(SPLINEOPERATOR_WIDTH);
  const Bool accumulate = bc.GetBool(SPLINEOPERATOR_ACCUMULATE);
  const Matrix toTerrain = ~terrainMg * spline->GetMg();
  std::vector<Float> out(static_cast<std::size_t>(width * height), 0.0);
  Int32 first = 0;
  for (Int32 s = 0; s < spline->GetSegmentCount(); ++s)
  {
    const Segment seg = spline->GetSegmentR()[s];
    const Int32 intervals = seg.closed ? seg.cnt : seg.cnt - 1;
    for (Int32 k = 0; k < seg.cnt; ++k)
    {
      const Float u = intervals == 0 ? 0.0 : static_cast<Float>(k) / static_cast<Float>(intervals);
      const Vector p = toTerrain * spline->GetPointR()[first + k];
      const Float gain = curve(SPLINEOPERATOR_GAIN)->Evaluate(u).y;
      const Float radius = curve(SPLINEOPERATOR_RADIUSCURVE)->Evaluate(u).y * w;
      for (Int i = 0; i < width * height; ++i)
      {
        const Float x = (width == 1 ? 0.0 : static_cast<Float>(i % width) / (width - 1)) * sizeX - sizeX * 0.5;
        const Float z = sizeY * 0.5 - (height == 1 ? 0.0 : static_cast<Float>(i / width) / (height - 1)) * sizeY;
        const Float d2 = (Vector(x, 0.0, z) - p).GetSquaredLength();
        if (d2 > radius * radius)
          continue;
        const Float t = 1.0 - (radius == 0.0 ? 0.0 : d2 / radius);
        const Float v = curve(SPLINEOPERATOR_PROFILE)->Evaluate(t).y * gain;
        Float& cell = out[static_cast<std::size_t>(i)];
        cell = accumulate ? cell + v : std::max(cell, v);
      }
    }
    first += seg.cnt;
  }
  if (accumulate)
  {
    const auto [lo, hi] = std::minmax_element(out.begin(), out.end());
    const Float min = *lo;
    const Float range = *hi - *lo;
    if (range != 0.0)
      for (Float& v : out)
        v = (v - min) / range;
  }
  return out;
}

void ExpectNearCells(const std::vector<Float>& got, const std::vector<Float>& want)
{
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_NEAR(got[i], want[i], 1e-9) << "cell " << i;
}

std::vector<Vector> Wiggle(Int32 count, Float phase, Float y = 0.0)
{
  std::vector<Vector> p;
  for (Int32 i = 0; i < count; ++i)
    p.emplace_back(-80.0 + 160.0 * i / std::max(1, count - 1), y + (i % 3) * 0.5,
                   40.0 * std::sin(phase + 0.7 * i));
  return p;
}
} // namespace

TEST_F(SplineOperatorTest, DefaultsFlagsAndDirtyIds)
{
  BaseObject* op = AddOperator(ID_OGX_SPLINEOPERATOR);
  const BaseContainer& d = Data(op);
  EXPECT_EQ(d.GetFloat(TERRAINOPERATOR_HEIGHT), 50.0);
  EXPECT_EQ(d.GetFloat(TERRAINOPERATOR_FACTOR), 1.0);
  EXPECT_EQ(d.GetFloat(SPLINEOPERATOR_WIDTH), 75.0);
  EXPECT_TRUE(d.GetBool(SPLINEOPERATOR_ACCUMULATE));
  EXPECT_FALSE(d.Contains(SPLINEOPERATOR_SPLINE));
  const auto* profile = static_cast<const SplineData*>(d.GetCustomData(SPLINEOPERATOR_PROFILE, CUSTOMDATATYPE_SPLINE));
  ASSERT_NE(profile, nullptr);
  ASSERT_EQ(profile->GetKnotCount(), 2);
  EXPECT_EQ(*profile->GetKnot(0), (SplineKnot{Vector(0, 0, 0), 0, Vector(), Vector(0.5, 0, 0)}));
  EXPECT_EQ(*profile->GetKnot(1), (SplineKnot{Vector(1, 1, 0), 0, Vector(-0.5, 0, 0), Vector()}));
  for (const Int32 id : {SPLINEOPERATOR_GAIN, SPLINEOPERATOR_RADIUSCURVE})
  {
    const auto* c = static_cast<const SplineData*>(d.GetCustomData(id, CUSTOMDATATYPE_SPLINE));
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->IsEqual(*Curve({{0.0, 1.0}, {1.0, 1.0}})));
  }
  EXPECT_EQ(static_cast<Int32>(OperatorData(op)->GetOperatorFlags(op)), 10);
  BaseArray<Int32> ids;
  ASSERT_TRUE(OperatorData(op)->GetDirtyParameterIds(ids, d));
  EXPECT_EQ(std::vector<Int32>(ids.begin(), ids.end()), (std::vector<Int32>{10000, 10001, 10003, 10004, 10005, 10006}));
}

TEST_F(SplineOperatorTest, OutputMatchesBruteForce)
{
  struct Case
  {
    const char* name;
    std::vector<SegmentSpec> segments;
    Float width;
    Bool accumulate;
    std::initializer_list<std::pair<Float, Float>> gain;
    std::initializer_list<std::pair<Float, Float>> radius;
    Bool moveTerrain;
  };
  const Case cases[] = {
    {"open, accumulated", {{Wiggle(12, 0.0), false}}, 30.0, true, {{0, 1}, {1, 1}}, {{0, 1}, {1, 1}}, false},
    {"open, largest", {{Wiggle(12, 0.0), false}}, 30.0, false, {{0, 1}, {1, 1}}, {{0, 1}, {1, 1}}, false},
    // The gain rises along the spline, so a start sampled twice would show.
    {"closed, gain along", {{Wiggle(7, 1.0), true}}, 45.0, true, {{0, 0.2}, {1, 1}}, {{0, 1}, {1, 1}}, false},
    {"two segments, radius along", {{Wiggle(5, 2.0), false}, {Wiggle(6, 3.0, 4.0), true}}, 25.0, true,
     {{0, 1}, {1, 0.5}}, {{0, 0.2}, {1, 1.5}}, false},
    {"moved terrain, largest", {{Wiggle(9, 0.5), false}}, 35.0, false, {{0, 1}, {1, 1}}, {{0, 1}, {1, 1}}, true},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseObject* parent = BaseObject::Alloc(Onull);
    ASSERT_TRUE(doc->InsertObject(parent, nullptr));
    parent->SetMl(Matrix(Vector(7, 1, -3), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
    SplineObject* spline = InsertSpline(c.segments, parent);
    terrain->SetMl(c.moveTerrain ? Matrix(Vector(-20, 0, 10), Vector(0, 0, -1), Vector(0, 1, 0), Vector(1, 0, 0))
                                 : Matrix());
    BaseObject* op = AddSplineOperator(spline, c.width, c.accumulate);
    Data(op).SetData(SPLINEOPERATOR_GAIN, GeData(Curve(c.gain)));
    Data(op).SetData(SPLINEOPERATOR_RADIUSCURVE, GeData(Curve(c.radius)));

    ASSERT_NE(Build(), nullptr);
    const Grid2D<Float>& grid = Terrain()->GetTerrain();
    const std::vector<Float> want =
      Reference(Data(op), spline, terrain->GetMg(), grid.width, grid.height, grid.sizeX, grid.sizeY);
    const std::vector<Float> got = Cells(Output(op));
    ExpectNearCells(got, want);
    const Int raised = std::count_if(got.begin(), got.end(), [](Float v) { return v > 0.0; });
    EXPECT_GT(raised, 10);
    EXPECT_LT(raised, static_cast<Int>(got.size()));

    // One thread gives the same bits.
    {
      SerialScope one;
      ASSERT_TRUE(ComputeDirectly(op).IsOk());
    }
    EXPECT_EQ(Cells(Output(op)), got);

    BaseObject::Free(op);
    BaseObject* p = parent;
    BaseObject::Free(p);
  }
}

TEST_F(SplineOperatorTest, ALoneSampleByHand)
{
  // 21 x 21 cells one unit apart; one sample on the centre cell. Profile 0.25 + 0.75 x, read below 0
  // (at its first knot) beyond sqrt(width).
  Shape(20, 20, 20.0, 20.0);
  SplineObject* spline = InsertSpline({{{Vector(0, 0, 0)}, false}});
  BaseObject* op = AddSplineOperator(spline, 75.0, false);
  Data(op).SetData(SPLINEOPERATOR_PROFILE, GeData(Curve({{0.0, 0.25}, {1.0, 1.0}})));
  Data(op).SetData(SPLINEOPERATOR_GAIN, GeData(Curve({{0.0, 2.0}, {1.0, 2.0}})));
  ASSERT_NE(Build(), nullptr);
  const Grid2D<Float>& out = Output(op);
  auto at = [&](Int x, Int z) { return out.cells[(10 - z) * 21 + (10 + x)]; };
  EXPECT_NEAR(at(0, 0), 2.0, 1e-12);
  EXPECT_NEAR(at(3, 4), 2.0 * (0.25 + 0.75 * (1.0 - 25.0 / 75.0)), 1e-12);
  EXPECT_NEAR(at(8, 0), 2.0 * (0.25 + 0.75 * (1.0 - 64.0 / 75.0)), 1e-12);
  // Beyond sqrt(75) (about 8.66) the profile is read below 0: its first knot's value, inside the radius.
  EXPECT_NEAR(at(9, 0), 0.5, 1e-12);
  EXPECT_NEAR(at(10, 10), 0.5, 1e-12);

  // A radius curve of 0: the sample reaches only its own cell, read at x = 1 times the gain.
  Data(op).SetData(SPLINEOPERATOR_RADIUSCURVE, GeData(Curve({{0.0, 0.0}, {1.0, 0.0}})));
  ASSERT_NE(Build(), nullptr);
  std::vector<Float> expected(21 * 21, 0.0);
  expected[10 * 21 + 10] = 2.0;
  EXPECT_EQ(Cells(Output(op)), expected);

  // Accumulated, two samples over each other add up before the normalisation; largest keeps one.
  SplineObject* twice = InsertSpline({{{Vector(0, 0, 0), Vector(1, 0, 0)}, false}});
  Data(op).SetLink(SPLINEOPERATOR_SPLINE, twice);
  Data(op).SetData(SPLINEOPERATOR_RADIUSCURVE, GeData(Curve({{0.0, 1.0}, {1.0, 1.0}})));
  Data(op).SetFloat(SPLINEOPERATOR_WIDTH, 1.0);
  ASSERT_NE(Build(), nullptr);
  // Largest: the cells under the samples 2, their neighbours at distance 1 the profile's 0.25 x 2.
  EXPECT_NEAR(at(0, 0), 2.0, 1e-12);
  EXPECT_NEAR(at(1, 0), 2.0, 1e-12);
  EXPECT_NEAR(at(-1, 0), 0.5, 1e-12);
  EXPECT_NEAR(at(0, 1), 0.5, 1e-12);
  Data(op).SetBool(SPLINEOPERATOR_ACCUMULATE, true);
  ASSERT_NE(Build(), nullptr);
  // Summed: 2 + 0.5 under each sample, 0.5 beside one, 0 elsewhere; normalised by 2.5.
  EXPECT_NEAR(at(0, 0), 1.0, 1e-12);
  EXPECT_NEAR(at(1, 0), 1.0, 1e-12);
  EXPECT_NEAR(at(-1, 0), 0.2, 1e-12);
  EXPECT_EQ(at(5, 5), 0.0);

  // A profile that gives NaN: accumulated the cells turn NaN, kept largest they keep their value.
  std::unique_ptr<SplineData> nan = Curve({{0.0, 0.0}, {1.0, 1.0}});
  nan->GetKnot(1)->position.y = std::numeric_limits<Float>::quiet_NaN();
  Data(op).SetData(SPLINEOPERATOR_PROFILE, GeData(std::move(nan)));
  Data(op).SetBool(SPLINEOPERATOR_ACCUMULATE, false);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(Cells(Output(op)), std::vector<Float>(21 * 21, 0.0));
}

TEST_F(SplineOperatorTest, LinksItCannotFollowGiveAFlatOutput)
{
  BaseObject* op = AddSplineOperator(nullptr, 30.0, true);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(Cells(Output(op)), std::vector<Float>(41 * 31, 0.0));

  BaseObject* null = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(null, nullptr));
  SplineObject* off = InsertSpline({{Wiggle(5, 0.0), false}});
  off->SetEnabled(false);
  // A spline generator that has not built yet stands for no spline.
  BaseObject* circle = BaseObject::Alloc(Osplinecircle);
  ASSERT_TRUE(doc->InsertObject(circle, nullptr));
  for (BaseObject* link : {null, static_cast<BaseObject*>(off), circle})
  {
    Data(op).SetLink(SPLINEOPERATOR_SPLINE, link);
    ASSERT_TRUE(ComputeDirectly(op).IsOk());
    EXPECT_EQ(Cells(Output(op)), std::vector<Float>(41 * 31, 0.0)) << link->GetType();
  }

  // Built, the generator's circle is followed.
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  ASSERT_NE(host::BuildObjectCache(circle, &hh), nullptr);
  circle->GetDataInstance()->SetFloat(SPLINECIRCLE_RADIUS, 40.0);
  ASSERT_NE(host::BuildObjectCache(circle, &hh), nullptr);
  ASSERT_TRUE(ComputeDirectly(op).IsOk());
  const Grid2D<Float>& out = Output(op);
  EXPECT_EQ(out.cells[15 * 41 + 20], 0.0);   // the centre, 40 from the ring
  EXPECT_GT(out.cells[15 * 41 + 28], 0.5);   // x = 40 on the ring
}

TEST_F(SplineOperatorTest, DragCheckAcceptsSplinesAndWhatStandsForThem)
{
  BaseObject* op = AddOperator(ID_OGX_SPLINEOPERATOR);
  SplineObject* spline = InsertSpline({{Wiggle(3, 0.0), false}});
  BaseObject* null = BaseObject::Alloc(Onull);
  BaseObject* circle = BaseObject::Alloc(Osplinecircle);
  ASSERT_TRUE(doc->InsertObject(null, nullptr));
  ASSERT_TRUE(doc->InsertObject(circle, nullptr));
  auto check = [&](BaseList2D* element, Int32 parameter = SPLINEOPERATOR_SPLINE) {
    DescriptionCheckDragAndDrop data;
    data.id = DescID(parameter);
    data.element = element;
    data.result = true;
    const Bool handled = OperatorData(op)->OperatorMessage(op, MSG_DESCRIPTION_CHECKDRAGANDDROP, &data);
    return std::make_pair(handled, data.result);
  };
  EXPECT_EQ(check(spline), std::make_pair(true, true));
  EXPECT_EQ(check(null), std::make_pair(true, false));
  EXPECT_EQ(check(nullptr), std::make_pair(true, false));
  EXPECT_EQ(check(circle), std::make_pair(true, false));   // nothing built yet
  HierarchyContext hh(doc, 1.0, nullptr, BUILDFLAGS::NONE);
  host::BuildDocumentCaches(doc, &hh);
  EXPECT_EQ(check(circle), std::make_pair(true, true));
  // Another parameter, another message: not the operator's to answer.
  EXPECT_FALSE(check(spline, SPLINEOPERATOR_WIDTH).first);
  EXPECT_FALSE(OperatorData(op)->OperatorMessage(op, MSG_UPDATE, nullptr));
}

TEST_F(SplineOperatorTest, TheSplineItsDeformersAndItsPlaceMakeItDirty)
{
  BaseObject* parent = BaseObject::Alloc(Onull);
  ASSERT_TRUE(doc->InsertObject(parent, nullptr));
  SplineObject* spline = InsertSpline({{Wiggle(8, 0.0), false}}, parent);
  BaseObject* deformer = BaseObject::Alloc(Odeformer);
  ASSERT_TRUE(deformer->InsertUnderLast(spline));
  BaseObject* op = AddSplineOperator(spline, 20.0, false);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::CLEAN);
  const std::vector<Float> flat = Cells(Output(op));

  // The deformer lifts the spline off the terrain's plane: dirty, and the rebuilt output is that of a
  // spline lifted by hand.
  deformer->GetDataInstance()->SetVector(DEFORMEROBJECT_OFFSET, Vector(0, 15, 0));
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::CLEAN);
  std::vector<Vector> lifted = Wiggle(8, 0.0);
  for (Vector& p : lifted)
    p.y += 15.0;
  SplineObject* byHand = MakeSpline({{lifted, false}});
  ASSERT_TRUE(byHand->InsertUnderLast(parent));
  const Grid2D<Float>& grid = Terrain()->GetTerrain();
  ExpectNearCells(Cells(Output(op)),
                  Reference(Data(op), byHand, terrain->GetMg(), grid.width, grid.height, grid.sizeX, grid.sizeY));
  EXPECT_NE(Cells(Output(op)), flat);

  // Moving the spline's parent moves the samples (world space).
  parent->SetMl(Matrix(Vector(30, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::CLEAN);
  // The spline's own data.
  spline->SetDirty(DIRTYFLAGS::DATA);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  // A disabled deformer leaves the list: its count no longer adds.
  deformer->SetEnabled(false);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::CLEAN);

  // Unlinked: dirty once (the saved state was a spline's), then clean.
  Data(op).RemoveData(SPLINEOPERATOR_SPLINE);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::REBUILD);
  ASSERT_NE(Build(), nullptr);
  EXPECT_EQ(DirtyState(op), OPERATORDIRTY::CLEAN);
  EXPECT_EQ(Cells(Output(op)), std::vector<Float>(grid.cellCount, 0.0));
}

TEST_F(SplineOperatorTest, FailuresAndTheCopiesItFrees)
{
  SplineObject* spline = InsertSpline({{Wiggle(6, 0.0), false}});
  BaseObject* deformer = BaseObject::Alloc(Odeformer);
  ASSERT_TRUE(deformer->InsertUnderLast(spline));
  BaseObject* op = AddSplineOperator(spline, 20.0, true);
  ASSERT_NE(Build(), nullptr);

  // A hundred computations leave no object alive: the current-state copy goes each time.
  const Int alive = host::GetLiveNodeCount();
  for (Int k = 0; k < 100; ++k)
    ASSERT_TRUE(ComputeDirectly(op).IsOk());
  EXPECT_EQ(host::GetLiveNodeCount(), alive);

  struct Case
  {
    const char* name;
    void (*arm)(BaseContainer& data);
    void (*disarm)();
    const char* message;
    ERRORKIND kind;
  };
  const Case cases[] = {
    {"no profile", [](BaseContainer& d) { d.RemoveData(SPLINEOPERATOR_PROFILE); }, [] {},
     "Could not get profile SplineData!", ERRORKIND::NULLPTR},
    {"no gain", [](BaseContainer& d) { d.RemoveData(SPLINEOPERATOR_GAIN); }, [] {}, "Could not get gain SplineData!",
     ERRORKIND::NULLPTR},
    {"no radius", [](BaseContainer& d) { d.RemoveData(SPLINEOPERATOR_RADIUSCURVE); }, [] {},
     "Could not get radius SplineData!", ERRORKIND::NULLPTR},
    {"current state refused", [](BaseContainer&) { host::SetModelingCommandRefused(MCOMMAND_CURRENTSTATETOOBJECT, true); },
     [] { host::ResetModelingCommandRefusals(); }, "An error occurred while executing MCOMMAND_CURRENTSTATETOOBJECT!",
     ERRORKIND::UNEXPECTED},
    {"no spline help", [](BaseContainer&) { host::SetSplineHelpAllocRefused(true); },
     [] { host::ResetSplineHelpSwitches(); }, "Could not allocate SplineHelp instance!", ERRORKIND::OUT_OF_MEMORY},
    {"NaN length", [](BaseContainer&) { host::SetSplineHelpNaNLengthSegment(0); }, [] { host::ResetSplineHelpSwitches(); },
     "SplineHelp::GetSegmentLength() returned NaN!", ERRORKIND::UNEXPECTED},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseContainer saved = Data(op);
    c.arm(Data(op));
    const Result<void> r = ComputeDirectly(op);
    c.disarm();
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), c.message);
    EXPECT_EQ(r.GetError().GetKind(), c.kind);
    EXPECT_EQ(host::GetLiveNodeCount(), alive);
    EXPECT_EQ(host::GetLiveSplineHelpCount(), 0);
    Data(op) = saved;
  }
  // The build reports the error and goes on next time.
  host::SetSplineHelpInitRefused(true);
  spline->SetDirty(DIRTYFLAGS::DATA);
  EXPECT_EQ(Build(), nullptr);
  EXPECT_TRUE(host::Console().Contains("Could not initialize SplineHelp instance!"));
  host::ResetSplineHelpSwitches();
  EXPECT_NE(Build(), nullptr);
  EXPECT_EQ(host::GetLiveNodeCount(), alive);
}

// The cell index is built while the host runs two threads; then the host grows to more threads than
// the index has query states. Every worker of the gathering loop must still find its cells.
TEST_F(SplineOperatorTest, MoreThreadsThanWhenTheCellIndexWasBuilt)
{
  host::SetThreadCount(2);
  SplineObject* spline = InsertSpline({{Wiggle(60, 0.3), false}});
  BaseObject* op = AddSplineOperator(spline, 25.0, true);
  ASSERT_NE(Build(), nullptr);
  Result<PointIndex*> index = Terrain()->GetCellPointIndex(terrain);
  ASSERT_TRUE(index.IsOk());
  EXPECT_EQ(index.GetValue()->GetThreadCount(), 2);
  const std::vector<Float> twoThreads = Cells(Output(op));

  host::SetThreadCount(12);
  ASSERT_TRUE(ComputeDirectly(op).IsOk());
  EXPECT_EQ(index.GetValue()->GetThreadCount(), 12);
  EXPECT_EQ(Cells(Output(op)), twoThreads);
  const Grid2D<Float>& grid = Terrain()->GetTerrain();
  ExpectNearCells(twoThreads,
                  Reference(Data(op), spline, terrain->GetMg(), grid.width, grid.height, grid.sizeX, grid.sizeY));
}
