#include "orogenix/ogx_simd.h"

#include <atomic>

namespace
{
std::atomic<Bool> g_wideVectors{true};
} // namespace

Bool OGX::UseAvx2()
{
#ifdef OGX_AVX2_DISPATCH
  static const Bool hasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return hasAvx2 && g_wideVectors.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

void OGX::SetWideVectorsAllowed(Bool allowed)
{
  g_wideVectors.store(allowed, std::memory_order_relaxed);
}
