#include "orogenix/blend.h"

#include "orogenix/ogx_parallel.h"
#include "orogenix/ogx_simd.h"

namespace
{
using namespace blend_detail;

// One block of cells for one mode, chosen once per BlendGrids call rather than per cell, so that the
// inner loop has no mode switch and the compiler can vectorise it. The arithmetic is BlendValue, the
// same as BlendCell's, so every cell gets exactly the value BlendCell would give it. The destination
// minimum is read once: the blend writes only cells, never the grid's `min` it points to.
// This file is compiled with -fno-math-errno -fno-trapping-math (see CMakeLists.txt): neither changes
// a value, but without them the compiler keeps the keyed modes' selects and DIVIDE's zero test as
// branches and does not vectorise those loops.
template <BLENDMODE MODE, Bool MASK>
[[gnu::always_inline]] inline void BlendLoop(const BlendJob& job, Float destMin, Int begin, Int end)
{
  Float* dst = job.destination;
  const Float* layer = job.layer;
  const Float* mask = job.mask;
  const Float scale = job.layerScale;
  const Float offset = job.layerOffset;
  const Float opacity = job.opacity;
  const Float range = job.range;
  const Float inv = job.inverseRange;
  for (Int i = begin; i < end; ++i)
  {
    const Float L = layer[i] * scale + offset;
    const Float a = MASK ? opacity * mask[i] : opacity;
    dst[i] = BlendValue<MODE>(dst[i], L, a, destMin, range, inv);
  }
}

template <BLENDMODE MODE, Bool MASK>
void BlendBlock(const BlendJob& job, Float destMin, Int begin, Int end)
{
  BlendLoop<MODE, MASK>(job, destMin, begin, end);
}

#ifdef OGX_AVX2_DISPATCH
// The same loop for processors with AVX2, chosen at run time (ogx_simd.h): twice the doubles per
// instruction, which the normalised modes need to keep up with memory; the values are identical.
template <BLENDMODE MODE, Bool MASK>
[[gnu::target("avx2")]] void BlendBlockAvx2(const BlendJob& job, Float destMin, Int begin, Int end)
{
  BlendLoop<MODE, MASK>(job, destMin, begin, end);
}
#endif

template <BLENDMODE MODE, Bool MASK>
Result<void> RunBlendBlocks(Int from, Int to, const BlendJob& job, Float destMin, Int threadCount, Int granularity)
{
  // A per-cell loop written over blocks of cells (OGX::ParallelForBlocks): the host loop hands out one
  // index per body call, which would cost more than the few operations of a cell. Each cell is still
  // blended once and on its own, so the result is that of the per-cell loop with any thread count.
#ifdef OGX_AVX2_DISPATCH
  if (OGX::UseAvx2())
    return OGX::ParallelForBlocks(
      from, to, [&](Int begin, Int end) { BlendBlockAvx2<MODE, MASK>(job, destMin, begin, end); }, threadCount,
      granularity);
#endif
  return OGX::ParallelForBlocks(
    from, to, [&](Int begin, Int end) { BlendBlock<MODE, MASK>(job, destMin, begin, end); }, threadCount,
    granularity);
}

template <BLENDMODE MODE>
Result<void> RunBlend(Int from, Int to, const BlendJob& job, Float destMin, Int threadCount, Int granularity)
{
  if (job.useMask)
    return RunBlendBlocks<MODE, true>(from, to, job, destMin, threadCount, granularity);
  return RunBlendBlocks<MODE, false>(from, to, job, destMin, threadCount, granularity);
}
} // namespace

Result<void> BlendGrids(Int from, Int to, const BlendJob& job, Int threadCount, Int granularity)
{
  if (from >= to)
    return OK;
  if (!job.destination || !job.layer)
    return NullptrError("Blend needs destination and layer cells!");
  if (job.useMask && !job.mask)
    return NullptrError("Blend with a mask needs mask cells!");
  const Bool normalised = IsNormalisedMode(job.mode);
  if (normalised && !job.destinationMin)
    return NullptrError("Blend needs the destination minimum for this mode!");
  const Float destMin = normalised ? *job.destinationMin : 0.0;

  switch (static_cast<BLENDMODE>(job.mode))
  {
    case BLENDMODE::NORMAL: return RunBlend<BLENDMODE::NORMAL>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::ADD: return RunBlend<BLENDMODE::ADD>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::SUBTRACT: return RunBlend<BLENDMODE::SUBTRACT>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::MULTIPLY: return RunBlend<BLENDMODE::MULTIPLY>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::DIVIDE: return RunBlend<BLENDMODE::DIVIDE>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::LOWEST: return RunBlend<BLENDMODE::LOWEST>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::HIGHEST: return RunBlend<BLENDMODE::HIGHEST>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::DIFFERENCE:
      return RunBlend<BLENDMODE::DIFFERENCE>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::PHOENIX: return RunBlend<BLENDMODE::PHOENIX>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::PHOENIXINVERSE:
      return RunBlend<BLENDMODE::PHOENIXINVERSE>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::OVERLAY: return RunBlend<BLENDMODE::OVERLAY>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::NEGATION: return RunBlend<BLENDMODE::NEGATION>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::SCREEN: return RunBlend<BLENDMODE::SCREEN>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::SOFTLIGHT:
      return RunBlend<BLENDMODE::SOFTLIGHT>(from, to, job, destMin, threadCount, granularity);
    case BLENDMODE::HARDLIGHT:
      return RunBlend<BLENDMODE::HARDLIGHT>(from, to, job, destMin, threadCount, granularity);
    default: return OK;   // not a blend mode: every cell stays as it is
  }
}
