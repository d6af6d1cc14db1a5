#include "object/operator_blur.h"

#include <algorithm>

#include "common/ogx_icons.h"
#include "host/scene/hierarchy.h"
#include "host/scene/resource.h"
#include "orogenix/convolution.h"
#include "orogenix/operatorregistry.h"

namespace
{
constexpr Int32 IDS_BLUR_NAME = 10007;
constexpr const char* BLUROPERATOR_DESCRIPTION_NAME = "obluroperator";
constexpr Int32 BLUROPERATOR_ICON_X = 448;
constexpr Int32 BLUROPERATOR_ICON_Y = 0;
// Level 1: scenes stored at level 0 numbered the Gaussian method 4 and stored the box's radius doubled.
constexpr Int32 BLUROPERATOR_DISKLEVEL = 1;
constexpr Int32 LEGACY_METHOD_GAUSSIAN = 4;

// Values written when the operator is created.
constexpr Int32 INIT_METHOD = BLURMETHOD_BOX;
constexpr Int32 INIT_RADIUS = 2;
// Defaults of a computation that finds a value missing (a scene written without it); deliberately not
// the creation defaults.
constexpr Int32 READ_METHOD = BLURMETHOD_BOX;
constexpr Int32 READ_RADIUS = 5;

constexpr const char* VERTICAL_PASS_NAME = "Vertical BoxBlur pass";
constexpr const char* HORIZONTAL_PASS_NAME = "Horizontal BoxBlur pass";
} // namespace

NodeData* BlurOperator::Alloc()
{
  return NewObj<BlurOperator>();
}

Bool BlurOperator::Read(GeListNode* node, HyperFile* hf, Int32 level)
{
  const Bool read = OGX::BaseTerrainOperatorData::Read(node, hf, level);
  if (node && level == 0)
  {
    // Blur nodes are objects.
    BaseObject* op = static_cast<BaseObject*>(node);
    const BaseContainer& data = op->GetDataInstanceRef();
    const Int32 method = data.GetInt32(BLUROPERATOR_METHOD, READ_METHOD);
    if (method == LEGACY_METHOD_GAUSSIAN)
      op->SetParameter(DescID(BLUROPERATOR_METHOD), GeData(static_cast<Int32>(BLURMETHOD_GAUSSIAN)));
    else if (method == BLURMETHOD_BOX)
      op->SetParameter(DescID(BLUROPERATOR_RADIUS), GeData(data.GetInt32(BLUROPERATOR_RADIUS, READ_RADIUS) / 2));
  }
  return read;
}

TERRAINOPERATORFLAGS BlurOperator::GetOperatorFlags(BaseObject*)
{
  return TERRAINOPERATORFLAGS::TYPE_FILTER;
}

Bool BlurOperator::InitOperatorParameters(GeListNode*, BaseContainer& data)
{
  data.SetInt32(BLUROPERATOR_METHOD, INIT_METHOD);
  data.SetInt32(BLUROPERATOR_RADIUS, INIT_RADIUS);
  return true;
}

Bool BlurOperator::GetOperatorDEnabling(GeListNode*, const DescID& id, const GeData&, const BaseContainer& data,
                                        DESCFLAGS_ENABLE, const BaseContainer*)
{
  if (id[0].id != BLUROPERATOR_RADIUS)
    return true;
  const Int32 method = data.GetInt32(BLUROPERATOR_METHOD, READ_METHOD);
  return method != BLURMETHOD_GAUSSIAN3X3 && method != BLURMETHOD_GAUSSIAN5X5;
}

Bool BlurOperator::GetDirtyParameterIds(BaseArray<Int32>& ids, const BaseContainer&)
{
  for (const Int32 id : {BLUROPERATOR_RADIUS, BLUROPERATOR_METHOD})
  {
    Result<void> appended = ids.Append(id);
    if (appended.IsError())
      return ReportOperatorError(appended.GetError());
  }
  return true;
}

Result<void> BlurOperator::ComputeOperator(const Grid2D<Float>& terrain, BaseObject* op, BaseDocument*,
                                           EvaluationContext& context)
{
  using namespace OGX::Convolution;
  if (!op)
    return NullptrError("No blur operator object to compute!");
  const BaseContainer& data = op->GetDataInstanceRef();
  // A negative radius is taken as 0, the identity: handed on unsigned it would ask for a kernel of
  // billions of weights, and a negative box window has no meaning.
  const Int32 radius = std::max(data.GetInt32(BLUROPERATOR_RADIUS, READ_RADIUS), 0);
  const Int32 method = data.GetInt32(BLUROPERATOR_METHOD, READ_METHOD);
  const HostThread* thread = context.hierarchyHelp ? context.hierarchyHelp->GetThread() : nullptr;

  switch (method)
  {
    case BLURMETHOD_GAUSSIAN:
    {
      PresetKernels::GaussBlur kernel;
      return ConvolveMirrored(terrain, _output, kernel, kernel.InitKernel(static_cast<UInt32>(radius)));
    }
    case BLURMETHOD_GAUSSIAN3X3:
    {
      PresetKernels::GaussBlur3x3 kernel;
      return ConvolveMirrored(terrain, _output, kernel, kernel.InitKernel());
    }
    case BLURMETHOD_GAUSSIAN5X5:
    {
      PresetKernels::GaussBlur5x5 kernel;
      return ConvolveMirrored(terrain, _output, kernel, kernel.InitKernel());
    }
    default: return BoxBlur(terrain, _output, 2 * static_cast<Int>(radius) + 1, thread);
  }
}

Result<void> BoxBlur(const Grid2D<Float>& input, Grid2D<Float>& output, Int window, const HostThread* thread)
{
  if (input.cellCount == 0)
  {
    HOST_TRY(output.CopyFrom(input));
    return IllegalArgumentError("Can't BluxBlur a grid with size 0!");
  }
  OGX::Convolution::SeparableKernel box;
  box.half = window / 2;
  box.uniform = window == 0 ? 0.0 : 1.0 / static_cast<Float>(window);
  return OGX::Convolution::SeparableFilter(input, output, box, thread, VERTICAL_PASS_NAME, HORIZONTAL_PASS_NAME);
}

Bool RegisterBlurOperator(Int32 sortOrder)
{
  return RegisterWithSheetIcon(ID_OGX_BLUROPERATOR, BLUROPERATOR_ICON_X, BLUROPERATOR_ICON_Y, [&](BaseBitmap* icon) {
    return RegisterTerrainOperator(ID_OGX_BLUROPERATOR, GeLoadString(IDS_BLUR_NAME), TERRAINOPERATORFLAGS::TYPE_FILTER,
                                   BlurOperator::Alloc, BLUROPERATOR_DESCRIPTION_NAME, icon, BLUROPERATOR_DISKLEVEL,
                                   sortOrder);
  });
}
