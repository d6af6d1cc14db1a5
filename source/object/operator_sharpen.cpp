#include "object/operator_sharpen.h"

#include <algorithm>

#include "common/ogx_icons.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "orogenix/convolution.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_SHARPEN_NAME = 10013;
constexpr const char* SHARPENOPERATOR_DESCRIPTION_NAME = "osharpenoperator";
constexpr Int32 SHARPENOPERATOR_ICON_X = 576;
constexpr Int32 SHARPENOPERATOR_ICON_Y = 64;
constexpr Int32 SHARPENOPERATOR_DISKLEVEL = 0;

// Values written when the operator is created.
constexpr Int32 INIT_METHOD = SHARPENMETHOD_SEPARABLE;
constexpr Int32 INIT_SIZE = 3;
constexpr Float INIT_STRENGTH = 0.0;
// Defaults of a computation that finds a value missing (a scene written without it); deliberately not
// all the creation defaults.
constexpr Int32 READ_METHOD = SHARPENMETHOD_SEPARABLE;
constexpr Int32 READ_SIZE = 5;
constexpr Float READ_STRENGTH = 0.0;

// The ramp: its centre weight at size 3 and strength 0, the step per 6 in size, and the floor.
constexpr Int32 RAMP_CENTRE = 5;
constexpr Int32 RAMP_SIZE_STEP = 6;
constexpr Int32 RAMP_BASE_SIZE = 3;
constexpr Float RAMP_MIN_CENTRE = 1.5;
constexpr Float RAMP_EDGE = -1.0;

constexpr const char* VERTICAL_PASS_NAME = "Vertical Sharpen pass";
constexpr const char* HORIZONTAL_PASS_NAME = "Horizontal Sharpen pass";
} // namespace

NodeData* SharpenOperator::Alloc()
{
  return NewObj<SharpenOperator>();
}

TERRAINOPERATORFLAGS SharpenOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER;
}

Bool SharpenOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetInt32(SHARPENOPERATOR_METHOD, INIT_METHOD);
  data.SetInt32(SHARPENOPERATOR_SIZE, INIT_SIZE);
  data.SetFloat(SHARPENOPERATOR_STRENGTH, INIT_STRENGTH);
  return true;
}

Bool SharpenOperator::GetOperatorDEnabling(GeListNode*, const DescID& id, const GeData&, const BaseContainer& data,
                                           DESCFLAGS_ENABLE, const BaseContainer*)
{
  const Int32 method = data.GetInt32(SHARPENOPERATOR_METHOD, READ_METHOD);
  switch (id[0].id)
  {
    case SHARPENOPERATOR_SIZE: return method == SHARPENMETHOD_SEPARABLE || method == SHARPENMETHOD_UNSHARPMASK;
    case SHARPENOPERATOR_STRENGTH: return method == SHARPENMETHOD_SEPARABLE;
    default: return true;
  }
}

Bool SharpenOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  for (const Int32 id : {SHARPENOPERATOR_METHOD, SHARPENOPERATOR_SIZE, SHARPENOPERATOR_STRENGTH})
  {
    Result<void> appended = ids.Append(id);
    if (appended.IsError())
      return ReportOperatorError(appended.GetError());
  }
  return true;
}

Result<void> SharpenOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                              EvaluationContext& context)
{
  using namespace OGX::Convolution;
  if (!op)
    return NullptrError("No sharpen operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  const Int32 method = data.GetInt32(SHARPENOPERATOR_METHOD, READ_METHOD);
  const Int32 size = data.GetInt32(SHARPENOPERATOR_SIZE, READ_SIZE);
  const Float strength = data.GetFloat(SHARPENOPERATOR_STRENGTH, READ_STRENGTH);
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;

  switch (method)
  {
    case SHARPENMETHOD_SEPARABLE: return SharpenGrid(terrain, _output, size, strength, thread);
    case SHARPENMETHOD_SHARPEN3X3:
    {
      PresetKernels::Sharpen3x3 kernel;
      return ConvolveMirrored(terrain, _output, kernel, kernel.InitKernel());
    }
    case SHARPENMETHOD_UNSHARPMASK5X5:
    {
      PresetKernels::UnsharpMask5x5 kernel;
      return ConvolveMirrored(terrain, _output, kernel, kernel.InitKernel());
    }
    case SHARPENMETHOD_UNSHARPMASK:
    {
      // The size is the Gaussian's radius. A negative size is refused like 0 rather than handed on
      // unsigned as a radius of billions.
      PresetKernels::UnsharpMask kernel;
      return ConvolveMirrored(terrain, _output, kernel,
                              InitConvolutionKernel(kernel, static_cast<UInt32>(std::max(size, 0))));
    }
    default: return _output.CopyFrom(terrain);
  }
}

void SharpenRampEnds(Int32 size, Float strength, Float ends[2])
{
  // q is an integer division on purpose (it truncates toward zero); the rest is in Float. Worked in 64
  // bits, which gives the same values and cannot overflow for the most negative sizes.
  const Int q = (static_cast<Int>(size) - RAMP_BASE_SIZE) / RAMP_SIZE_STEP;
  const Int p = RAMP_CENTRE - 2 * q;
  const Float centre = (3.0 - 1.5 * static_cast<Float>(q) - static_cast<Float>(p)) * strength + static_cast<Float>(p);
  // Written so that a NaN centre (a NaN strength) falls to the floor too.
  ends[0] = centre > RAMP_MIN_CENTRE ? centre : RAMP_MIN_CENTRE;
  ends[1] = RAMP_EDGE;
}

Result<void> SharpenGrid(const Grid2D<Float>& input, Grid2D<Float>& output, Int32 size, Float strength,
                         const HostThread* thread)
{
  using namespace OGX::Convolution;
  if (input.cellCount == 0)
  {
    HOST_TRY(output.CopyFrom(input));
    return IllegalArgumentError("Can't sharpen a grid with size 0!");
  }
  // A size of 0 or below is refused by the kernel's initialisation.
  VeridoVivuzar::SharpenKernel kernel;
  Float ends[2];
  SharpenRampEnds(size, strength, ends);
  Result<void> initialised = InitConvolutionKernel(kernel, static_cast<UInt32>(std::max(size, 0)), ends);
  if (initialised.IsError())
  {
    // As far as it got: the unfiltered copy.
    HOST_TRY(output.CopyFrom(input));
    return initialised;
  }

  const Float* w = kernel.weights.GetFirst();
  const Int n = kernel.weights.GetCount();
  Float outer = 0.0;
  for (Int i = 1; i < n; ++i)
    outer += w[i];
  const Float sum = w[0] + 2.0 * outer;

  SeparableKernel ramp;
  ramp.half = size / 2;
  ramp.ramp = w;
  ramp.factor = sum == 0.0 ? 0.0 : 1.0 / sum;
  return SeparableFilter(input, output, ramp, thread, VERTICAL_PASS_NAME, HORIZONTAL_PASS_NAME);
}

Bool RegisterSharpenOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(
    ID_OGX_SHARPENOPERATOR, SHARPENOPERATOR_ICON_X, SHARPENOPERATOR_ICON_Y, [&](BaseBitmap* icon) {
      return RegisterTerrainOperator(ID_OGX_SHARPENOPERATOR, GeLoadString(IDS_SHARPEN_NAME),
                                     TERRAINOPERATORFLAGS::TYPE_FILTER, SharpenOperator::Alloc,
                                     SHARPENOPERATOR_DESCRIPTION_NAME, icon, SHARPENOPERATOR_DISKLEVEL, sortOrder);
    });
}
