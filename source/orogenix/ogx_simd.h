// Run-time choice of the wider vector loops. Some loops (the blend, the slope band, the filters' cell
// loops and their streamed copies) have a copy built for AVX2, taken when the processor has it. AVX2
// brings no fused multiply-add (that is the separate FMA extension, never enabled for these copies), so
// every operation is the same IEEE operation as in the portable loop and both copies give the same
// values. Tests switch the wide copies off to run the portable ones too.
#pragma once

#include "host/core/types.h"

#if defined(__GNUC__) && defined(__x86_64__)
#define OGX_AVX2_DISPATCH 1
#endif

namespace OGX
{
// True when the AVX2 copies may run: the processor has AVX2 and tests have not switched them off.
Bool UseAvx2();
// Allows (the default) or forbids the AVX2 copies, process-wide.
void SetWideVectorsAllowed(Bool allowed);
} // namespace OGX
