// Blending one grid into another, cell by cell: the layer value, scaled and offset, is combined with the
// destination value by a `BLENDMODE` and mixed in at an opacity that a mask may modulate.
//
// Each cell reads only its own destination, layer and mask values and writes only its own destination
// cell, so the result does not depend on the thread count. No break test: a blend always runs to the
// end. The caller guarantees that the layer (and the mask, when used) has at least as many cells as the
// range blended; the size checks and their messages are the callers'.
#pragma once

#include <cmath>

#include "host/core/result.h"
#include "host/core/types.h"
#include "orogenix/enums.h"

// One blend, built by the caller and read-only while the blend runs.
struct BlendJob
{
  Float* destination = nullptr;            // the destination grid's cells (written)
  const Float* layer = nullptr;            // the layer grid's cells
  const Float* mask = nullptr;             // a mask grid's cells, read when useMask is set
  const Float* destinationMin = nullptr;   // the destination grid's `min`, read by OVERLAY to HARDLIGHT
  Float range = 0.0;                       // destination max - min
  Float inverseRange = 0.0;                // 1 / range, or 0 when range is 0
  Int32 mode = static_cast<Int32>(BLENDMODE::NORMAL);
  Float opacity = 1.0;
  Float layerScale = 1.0;                  // multiplies the layer value
  Float layerOffset = 0.0;                 // added to the scaled layer value
  Bool useMask = false;                    // mask cells modulate the opacity
};

// Runs BlendCell for every cell index in [from, to) on the host's parallel loop. Every caller asks for
// all threads (threadCount 0). Refuses a job without destination or layer cells, a mask flag without
// mask cells and a normalised mode without destination minimum (null-pointer errors). A mode outside
// 0 to 14 leaves every cell unchanged.
Result<void> BlendGrids(Int from, Int to, const BlendJob& job, Int threadCount = 0, Int granularity = 16);

namespace blend_detail
{
// The mode's target value X from the destination value d and the layer value L. The modes on
// normalised heights compute r from n = (d - minimum) * inverse range and return r * range + minimum.
// The keyed modes compute both formulas and select one, so that a vectorised loop has no branch; the
// value is the same as taking the branch (a NaN in the formula not taken is simply not selected).
template <BLENDMODE MODE>
inline Float BlendTarget(Float d, Float L, Float destMin, Float range, Float inverseRange)
{
  if constexpr (MODE == BLENDMODE::NORMAL)
    return L;
  else if constexpr (MODE == BLENDMODE::ADD)
    return d + L;
  else if constexpr (MODE == BLENDMODE::SUBTRACT)
    return d - L;
  else if constexpr (MODE == BLENDMODE::MULTIPLY)
    return d * L;
  else if constexpr (MODE == BLENDMODE::DIVIDE)
    return d / L;   // L == 0 is handled by the caller: the cell stays as it is
  else if constexpr (MODE == BLENDMODE::LOWEST)
    return L < d ? L : d;
  else if constexpr (MODE == BLENDMODE::HIGHEST)
    return d < L ? L : d;
  else if constexpr (MODE == BLENDMODE::DIFFERENCE)
    return std::fabs(d - L);
  else if constexpr (MODE == BLENDMODE::PHOENIX)
    return (L < d ? L : d) - (d < L ? L : d) + (d + L) / 2.0;
  else if constexpr (MODE == BLENDMODE::PHOENIXINVERSE)
    return (d < L ? L : d) - (L < d ? L : d) + (d + L) / 2.0;
  else
  {
    const Float n = (d - destMin) * inverseRange;
    Float r;
    if constexpr (MODE == BLENDMODE::OVERLAY)
    {
      const Float screen = 1.0 - 2.0 * (1.0 - L) * (1.0 - n);
      const Float multiply = 2.0 * n * L;
      r = n >= 0.5 ? screen : multiply;
    }
    else if constexpr (MODE == BLENDMODE::NEGATION)
      r = 1.0 - std::fabs(1.0 - n - L);
    else if constexpr (MODE == BLENDMODE::SCREEN)
      r = 1.0 - (1.0 - n) * (1.0 - L);
    else if constexpr (MODE == BLENDMODE::SOFTLIGHT)
    {
      // sqrt of n < 0 is NaN (only when d lies below the recorded minimum); the blend into the terrain
      // recomputes the minimum first, so there n lies in [0, 1].
      const Float sn = std::sqrt(n);
      const Float light = 2.0 * L * sn - sn + 2.0 * n * (1.0 - L);
      const Float dark = n * n + 2.0 * n * L - 2.0 * n * n * L;
      r = L >= 0.5 ? light : dark;
    }
    else
    {
      static_assert(MODE == BLENDMODE::HARDLIGHT, "unhandled blend mode");
      const Float screen = 1.0 - 2.0 * (1.0 - L) * (1.0 - n);
      const Float multiply = 2.0 * n * L;
      r = L >= 0.5 ? screen : multiply;
    }
    return r * range + destMin;
  }
}

// The new destination value of one cell: d + (X - d) * a; DIVIDE by a layer value of exactly 0 keeps d.
template <BLENDMODE MODE>
inline Float BlendValue(Float d, Float L, Float a, Float destMin, Float range, Float inverseRange)
{
  const Float mixed = d + (BlendTarget<MODE>(d, L, destMin, range, inverseRange) - d) * a;
  if constexpr (MODE == BLENDMODE::DIVIDE)
    return L == 0.0 ? d : mixed;
  else
    return mixed;
}

inline Bool IsNormalisedMode(Int32 mode)
{
  return mode >= static_cast<Int32>(BLENDMODE::OVERLAY) && mode <= static_cast<Int32>(BLENDMODE::HARDLIGHT);
}
} // namespace blend_detail

// The blend of cell i: L = layer[i] * layerScale + layerOffset, a = opacity (times mask[i] with the
// mask flag), then the mode's target X and destination[i] = d + (X - d) * a.
inline void BlendCell(const BlendJob& job, Int i)
{
  using namespace blend_detail;
  const Float d = job.destination[i];
  const Float L = job.layer[i] * job.layerScale + job.layerOffset;
  const Float a = job.useMask ? job.opacity * job.mask[i] : job.opacity;
  const Float destMin = IsNormalisedMode(job.mode) ? *job.destinationMin : 0.0;
  const Float range = job.range;
  const Float inv = job.inverseRange;
  Float out;
  switch (static_cast<BLENDMODE>(job.mode))
  {
    case BLENDMODE::NORMAL: out = BlendValue<BLENDMODE::NORMAL>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::ADD: out = BlendValue<BLENDMODE::ADD>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::SUBTRACT: out = BlendValue<BLENDMODE::SUBTRACT>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::MULTIPLY: out = BlendValue<BLENDMODE::MULTIPLY>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::DIVIDE: out = BlendValue<BLENDMODE::DIVIDE>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::LOWEST: out = BlendValue<BLENDMODE::LOWEST>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::HIGHEST: out = BlendValue<BLENDMODE::HIGHEST>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::DIFFERENCE: out = BlendValue<BLENDMODE::DIFFERENCE>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::PHOENIX: out = BlendValue<BLENDMODE::PHOENIX>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::PHOENIXINVERSE: out = BlendValue<BLENDMODE::PHOENIXINVERSE>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::OVERLAY: out = BlendValue<BLENDMODE::OVERLAY>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::NEGATION: out = BlendValue<BLENDMODE::NEGATION>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::SCREEN: out = BlendValue<BLENDMODE::SCREEN>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::SOFTLIGHT: out = BlendValue<BLENDMODE::SOFTLIGHT>(d, L, a, destMin, range, inv); break;
    case BLENDMODE::HARDLIGHT: out = BlendValue<BLENDMODE::HARDLIGHT>(d, L, a, destMin, range, inv); break;
    default: return;   // not a blend mode: the cell stays as it is
  }
  job.destination[i] = out;
}
