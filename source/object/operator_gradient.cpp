#include "object/operator_gradient.h"

#include <algorithm>
#include <cmath>

#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "host/gui/basedraw.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "host/splines/splinedata.h"
#include "object/terraindistortion.h"
#include "orogenix/ogx_parallel.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_GRADIENT_NAME = 10008;
constexpr const char* GRADIENTOPERATOR_DESCRIPTION_NAME = "ogradientoperator";
constexpr Int32 GRADIENTOPERATOR_ICON_X = 128;
constexpr Int32 GRADIENTOPERATOR_ICON_Y = 0;
constexpr Int32 GRADIENTOPERATOR_DISKLEVEL = 0;

// Values written when the operator is created.
constexpr Float INIT_RADIUS = 200.0;
constexpr Float INIT_LENGTH = 200.0;
constexpr Float INIT_DEPTH = 150.0;
// The default profile's tangents: it leaves the edge flat and rises steeply towards the centre.
constexpr Vector INIT_PROFILE_START_TANGENT{0.5, 0.0, 0.0};
constexpr Vector INIT_PROFILE_END_TANGENT{-0.2, 0.0, 0.0};

// Defaults of a computation, a drawing or a handle that finds a value missing.
constexpr Int32 READ_TYPE = GRADIENTTYPE_RADIAL;
constexpr Float READ_SIZE = 0.0;
constexpr Float READ_LAYER_SCALE = 1.0;
constexpr Float READ_LAYER_OFFSET = 0.0;

// The linear ramp's half height of the interval it spans, kept off 0 so a zero length is a step.
constexpr Float LINEAR_MIN_HALF_LENGTH = 0.0001;

// The handles' numbers, and how far the linear outline reaches across the ramp. The width is fixed,
// deliberately: a linear gradient is unbounded across, and the outline only shows its direction.
constexpr Int32 HANDLE_HEIGHT = 0;
constexpr Int32 HANDLE_DEPTH = 1;
constexpr Float LINEAR_OUTLINE_HALF_WIDTH = 100.0;
// The radial outline's second circle, at the top, is this fraction of the radius.
constexpr Float RADIAL_TOP_CIRCLE_SCALE = 0.1;

Float InverseOrZero(Float v)
{
  return v == 0.0 ? 0.0 : 1.0 / v;
}

Float ClampSize(Float v)
{
  return std::clamp(v, 0.0, MAXVALUE_FLOAT);
}

// The layer scale's parameter: the factor for the blend modes that take it, the height otherwise.
Int32 LayerScaleId(const BaseContainer& data)
{
  return BlendModeUsesFactor(data.GetInt32(TERRAINOPERATOR_BLENDMODE)) ? TERRAINOPERATOR_FACTOR
                                                                       : TERRAINOPERATOR_HEIGHT;
}

// The shape's height (h) and base level (o) as the handles and the outline show them.
struct Layer
{
  Float scale;
  Float offset;
};

Layer ReadLayer(const BaseContainer& data)
{
  return {data.GetFloat(LayerScaleId(data), READ_LAYER_SCALE), data.GetFloat(TERRAINOPERATOR_OFFSET, READ_LAYER_OFFSET)};
}

// How far along Z handle 1 sits for the type.
Float DepthHandleDistance(const BaseContainer& data, Int32 type)
{
  switch (type)
  {
    case GRADIENTTYPE_RADIAL: return data.GetFloat(GRADIENTOPERATOR_RADIUS, READ_SIZE);
    case GRADIENTTYPE_LINEAR: return data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.25;
    case GRADIENTTYPE_RECTANGULAR: return data.GetFloat(GRADIENTOPERATOR_DEPTH, READ_SIZE) * 0.5;
    case GRADIENTTYPE_SQUARE: return data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.5;
    default: return 0.0;
  }
}

// What every cell of one computation shares: the grid's shape, the placement, the distortion, and the
// cells' terrain-space coordinates per column and per row (each computed once, as the cell would).
struct CellPlacement
{
  Int width = 0;
  Matrix m;   // terrain space into the operator's
  DistortionSettings distortion;
  BaseArray<Float> columnX;
  BaseArray<Float> rowZ;

  Result<void> Init(const Grid2D<Float>& grid, const Matrix& toOperator, const DistortionSettings& settings)
  {
    width = grid.width;
    m = toOperator;
    distortion = settings;
    HOST_TRY(columnX.Resize(grid.width));
    HOST_TRY(rowZ.Resize(grid.height));
    Float* x = columnX.GetFirst();
    Float* z = rowZ.GetFirst();
    HOST_TRY(ParallelFor(
      0, grid.width, [&](Int i) { x[i] = GridFraction(i, grid.width - 1) * grid.sizeX - grid.sizeX * 0.5; },
      OGX::ThreadsFor(grid.width, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY));
    return ParallelFor(
      0, grid.height, [&](Int j) { z[j] = grid.sizeY * 0.5 - GridFraction(j, grid.height - 1) * grid.sizeY; },
      OGX::ThreadsFor(grid.height, OGX::LOOP_SERIAL_ITEMS), OGX::LOOP_GRANULARITY);
  }

  // The cell's position in the operator's space; the distortion before or after the matrix.
  Vector Position(Int i) const
  {
    Vector p(columnX[i % width], 0.0, rowZ[i / width]);
    if (distortion.operatorSpace)
      p = m * p;
    p = ApplyDistortion(distortion, p);
    if (!distortion.operatorSpace)
      p = m * p;
    return p;
  }
};

// Fills the output with shape(position) on all threads, with the break test of a build.
template <typename Shape>
Result<void> FillGradient(Grid2D<Float>& output, const CellPlacement& placement, Shape&& shape,
                          const HostThread* thread, const char* loopName,
                          std::source_location location = std::source_location::current())
{
  auto cell = [&](Int i) { return shape(placement.Position(i)); };
  // All threads at every size: each cell costs a curve evaluation, and two noise samples when distorted.
  return OGX::ParallelFillCells(output.cells.GetFirst(), output.cellCount, cell, OGX::LOOP_ALLTHREADS, thread,
                                loopName, location);
}
} // namespace

NodeData* GradientOperator::Alloc()
{
  return NewObj<GradientOperator>();
}

TERRAINOPERATORFLAGS GradientOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_GENERATOR | TERRAINOPERATORFLAGS::DIRTY_MATRIX_OPERATOR |
         TERRAINOPERATORFLAGS::DIRTY_MATRIX_PARENTHIERARCHY;
}

Bool GradientOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  // A profile that cannot be made is left out: the computation then reports it.
  if (std::unique_ptr<SplineData> profile = SplineData::Alloc())
  {
    profile->DeleteAllPoints();
    profile->InsertKnot(0.0, 0.0, 0);
    profile->InsertKnot(1.0, 1.0, 0);
    if (SplineKnot* first = profile->GetKnot(0))
      first->rightTangent = INIT_PROFILE_START_TANGENT;
    if (SplineKnot* second = profile->GetKnot(1))
      second->leftTangent = INIT_PROFILE_END_TANGENT;
    data.SetData(GRADIENTOPERATOR_PROFILE, GeData(std::move(profile)));
  }
  data.SetInt32(GRADIENTOPERATOR_TYPE, GRADIENTTYPE_RADIAL);
  data.SetFloat(GRADIENTOPERATOR_RADIUS, INIT_RADIUS);
  data.SetFloat(GRADIENTOPERATOR_LENGTH, INIT_LENGTH);
  data.SetFloat(GRADIENTOPERATOR_DEPTH, INIT_DEPTH);
  InitDistortionParameters(data);
  return true;
}

Bool GradientOperator::GetOperatorDDescription(GeListNode* node, BaseContainer& data, Description* description,
                                               DESCFLAGS_DESC&)
{
  const Int32 type = data.GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE);
  SetDescriptionParameterHidden(node, description, GRADIENTOPERATOR_RADIUS, type == GRADIENTTYPE_RADIAL);
  SetDescriptionParameterHidden(node, description, GRADIENTOPERATOR_LENGTH,
                                type == GRADIENTTYPE_LINEAR || type == GRADIENTTYPE_RECTANGULAR ||
                                  type == GRADIENTTYPE_SQUARE);
  SetDescriptionParameterHidden(node, description, GRADIENTOPERATOR_DEPTH, type == GRADIENTTYPE_RECTANGULAR);
  return true;
}

Bool GradientOperator::GetOperatorDEnabling(GeListNode*, const DescID& id, const GeData&, const BaseContainer& data,
                                            DESCFLAGS_ENABLE, const BaseContainer*)
{
  return GetDistortionDEnabling(data, id[0].id);
}

Bool GradientOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  if (!AppendDirtyParameterIds(ids, {GRADIENTOPERATOR_PROFILE, GRADIENTOPERATOR_TYPE, GRADIENTOPERATOR_RADIUS,
                                     GRADIENTOPERATOR_LENGTH, GRADIENTOPERATOR_DEPTH}))
    return false;
  Result<void> distortion = GetDistortionParameterIds(ids);
  if (distortion.IsError())
    return ReportOperatorError(distortion.GetError());
  return true;
}

Result<void> GradientOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                               EvaluationContext& context)
{
  if (!op)
    return NullptrError("No gradient operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Int32 type = data.GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE);
  const auto* profile =
    static_cast<const SplineData*>(data.GetCustomData(GRADIENTOPERATOR_PROFILE, CUSTOMDATATYPE_SPLINE));
  const Bool known = type >= GRADIENTTYPE_RADIAL && type <= GRADIENTTYPE_SQUARE;
  if (!profile || !known)
  {
    // Flat: no profile to shape anything with, or a type that shapes nothing.
    HOST_TRY(_output.InitLike(terrain));
    if (!profile)
      return NullptrError("Could not access SplineData!");
    return OK;
  }

  CellPlacement placement;
  HOST_TRY(placement.Init(terrain, ~op->GetMl() * context.parentMatrixInverse, ReadDistortionSettings(data)));
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;
  // Every cell is written (0 where the shape does not reach), so the grid need not be cleared first.
  HOST_TRY(_output.InitLikeForOverwrite(terrain));
  auto f = [profile](Float t) { return profile->Evaluate(t).y; };

  Result<void> loop = OK;
  switch (type)
  {
    case GRADIENTTYPE_RADIAL:
    {
      const Float r = data.GetFloat(GRADIENTOPERATOR_RADIUS, READ_SIZE);
      const Float r2 = r * r;
      const Float inverseR = InverseOrZero(r);
      // The height axis counts: a distortion or a turned operator can lift p off the plane.
      auto radial = [=](const Vector& p) {
        const Float d2 = p.x * p.x + p.y * p.y + p.z * p.z;
        return d2 <= r2 ? f(1.0 - std::sqrt(d2) * inverseR) : 0.0;
      };
      loop = FillGradient(_output, placement, radial, thread, "Radial gradient");
      break;
    }
    case GRADIENTTYPE_LINEAR:
    {
      const Float length = data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE);
      const Float c = length * 0.25;
      const Float h = std::max(LINEAR_MIN_HALF_LENGTH, length * 0.5);
      // t = 0.5 - 2 z / length for a length of at least 0.0002: 1 at z <= -length/4, 0 at z >= +length/4.
      auto linear = [=](const Vector& p) {
        Float t = (p.z + c - h) / (0.0 - h);
        t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
        return f(t) + 0.0;
      };
      loop = FillGradient(_output, placement, linear, thread, "Linear gradient");
      break;
    }
    case GRADIENTTYPE_RECTANGULAR:
    {
      const Float w = data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.5;
      const Float d = data.GetFloat(GRADIENTOPERATOR_DEPTH, READ_SIZE) * 0.5;
      const Float inverseW = InverseOrZero(w);
      const Float inverseD = InverseOrZero(d);
      auto rectangular = [=](const Vector& p) {
        const Float ax = std::abs(p.x);
        const Float az = std::abs(p.z);
        if (ax > w || az > d)
          return 0.0;
        const Float vx = f(1.0 - ax * inverseW);
        const Float vz = f(1.0 - az * inverseD);
        // The smaller of the two; vx on a tie.
        return vx > vz ? vz : vx;
      };
      loop = FillGradient(_output, placement, rectangular, thread, "Rectangular gradient");
      break;
    }
    default:
    {
      const Float s = data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.5;
      const Float inverseS = InverseOrZero(s);
      auto square = [=](const Vector& p) {
        const Float m = std::max(std::abs(p.x), std::abs(p.z));
        return m <= s ? f(1.0 - m * inverseS) : 0.0;
      };
      loop = FillGradient(_output, placement, square, thread, "Square gradient");
      break;
    }
  }
  return FinishOutputLoop(std::move(loop), terrain);
}

Int32 GradientOperator::CountHandles(BaseObject* op)
{
  if (!op)
    return 0;
  switch (op->GetDataInstanceRef().GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE))
  {
    case GRADIENTTYPE_RADIAL:
    case GRADIENTTYPE_LINEAR: return 2;
    case GRADIENTTYPE_RECTANGULAR:
    case GRADIENTTYPE_SQUARE: return 3;
    default: return 0;
  }
}

void GradientOperator::GetHandlePosition(BaseObject* op, Int32 i, HandleInfo& info)
{
  if (!op)
    return;
  const BaseContainer& data = op->GetDataInstanceRef();
  const Layer layer = ReadLayer(data);
  info.type = HANDLECONSTRAINTTYPE::LINEAR;
  switch (i)
  {
    case HANDLE_HEIGHT:
      info.position = Vector(0.0, layer.scale + layer.offset, 0.0);
      info.direction = Vector(0.0, 1.0, 0.0);
      break;
    case HANDLE_DEPTH:
      info.position =
        Vector(0.0, layer.offset, DepthHandleDistance(data, data.GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE)));
      info.direction = Vector(0.0, 0.0, 1.0);
      break;
    default:
      info.position = Vector(data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.5, layer.offset, 0.0);
      info.direction = Vector(1.0, 0.0, 0.0);
      break;
  }
}

void GradientOperator::SetHandlePosition(BaseObject* op, Int32 i, const Vector& p, const HandleInfo&)
{
  if (!op)
    return;
  BaseContainer& data = op->GetDataInstanceRef();
  switch (i)
  {
    case HANDLE_HEIGHT: data.SetFloat(LayerScaleId(data), p.y - ReadLayer(data).offset); break;
    case HANDLE_DEPTH:
      // Each type keeps its handle where the size puts it: at the radius, a quarter of the ramp's length,
      // half the depth or half the side.
      switch (data.GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE))
      {
        case GRADIENTTYPE_RADIAL: data.SetFloat(GRADIENTOPERATOR_RADIUS, ClampSize(p.z)); break;
        case GRADIENTTYPE_LINEAR: data.SetFloat(GRADIENTOPERATOR_LENGTH, ClampSize(4.0 * p.z)); break;
        case GRADIENTTYPE_RECTANGULAR: data.SetFloat(GRADIENTOPERATOR_DEPTH, ClampSize(2.0 * p.z)); break;
        case GRADIENTTYPE_SQUARE: data.SetFloat(GRADIENTOPERATOR_LENGTH, ClampSize(2.0 * p.z)); break;
        default: break;
      }
      break;
    default: data.SetFloat(GRADIENTOPERATOR_LENGTH, ClampSize(2.0 * p.x)); break;
  }
}

DRAWRESULT GradientOperator::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh)
{
  if (!op || !bd || !bh)
    return DRAWRESULT::SKIP;
  ObjectData::DefaultDraw(op, drawpass, bd, bh);
  if (drawpass != DRAWPASS::HANDLES || !op->GetBit(BIT_ACTIVE))
    return DRAWRESULT::SKIP;

  const BaseContainer& data = op->GetDataInstanceRef();
  const Int32 type = data.GetInt32(GRADIENTOPERATOR_TYPE, READ_TYPE);
  const Layer layer = ReadLayer(data);
  const Float h = layer.scale;
  const Float o = layer.offset;
  const Float top = o + h;
  const Vector colour = GetGlobalVectorQuery(VIEWCOLOR_OUTLINE);
  bd->SetMatrix(bh->GetMg());
  switch (type)
  {
    case GRADIENTTYPE_RADIAL:
    {
      // The edge at the base level and a small ring at the top, over the operator's XZ plane.
      const Float r = data.GetFloat(GRADIENTOPERATOR_RADIUS, READ_SIZE);
      const Vector x(r, 0.0, 0.0);
      const Vector y(0.0, 0.0, r);
      const Vector z(0.0, r, 0.0);
      const Float k = RADIAL_TOP_CIRCLE_SCALE;
      bd->SetPen(colour);
      bd->DrawCircle(Matrix(Vector(0.0, o, 0.0), x, y, z));
      bd->DrawCircle(Matrix(Vector(0.0, top, 0.0), x * k, y * k, z * k));
      break;
    }
    case GRADIENTTYPE_LINEAR:
    {
      // The ramp in profile: its top edge at -c, its foot at +c, both across the fixed width, and the
      // centre line with its rise.
      const Float c = data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE) * 0.25;
      const Float w = LINEAR_OUTLINE_HALF_WIDTH;
      bd->SetPen(colour);
      bd->DrawLine(Vector(-w, top, -c), Vector(w, top, -c));
      bd->DrawLine(Vector(-w, o, c), Vector(w, o, c));
      bd->DrawLine(Vector(-w, top, -c), Vector(-w, o, c));
      bd->DrawLine(Vector(w, top, -c), Vector(w, o, c));
      bd->DrawLine(Vector(0.0, o, -c), Vector(0.0, o, c));
      bd->DrawLine(Vector(0.0, o, -c), Vector(0.0, top, -c));
      break;
    }
    case GRADIENTTYPE_RECTANGULAR:
    case GRADIENTTYPE_SQUARE:
    {
      const Float width = data.GetFloat(GRADIENTOPERATOR_LENGTH, READ_SIZE);
      const Float depth = type == GRADIENTTYPE_SQUARE ? width : data.GetFloat(GRADIENTOPERATOR_DEPTH, READ_SIZE);
      bd->DrawBox(Matrix(Vector(0.0, o + h * 0.5, 0.0), Vector(width, 0.0, 0.0), Vector(0.0, h, 0.0),
                         Vector(0.0, 0.0, depth)),
                  0.5, colour, true);
      break;
    }
    default: break;
  }
  return DRAWRESULT::OK;
}

Bool RegisterGradientOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_GRADIENTOPERATOR, GRADIENTOPERATOR_ICON_X, GRADIENTOPERATOR_ICON_Y,
                               [&](BaseBitmap* icon) {
                                 return RegisterTerrainOperator(
                                   ID_OGX_GRADIENTOPERATOR, GeLoadString(IDS_GRADIENT_NAME),
                                   TERRAINOPERATORFLAGS::TYPE_GENERATOR, GradientOperator::Alloc,
                                   GRADIENTOPERATOR_DESCRIPTION_NAME, icon, GRADIENTOPERATOR_DISKLEVEL, sortOrder);
                               });
}
