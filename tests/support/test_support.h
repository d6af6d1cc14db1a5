// Small helpers shared by the tests.
#pragma once

#include <cmath>
#include <cstring>

#include "host/core/parallel.h"
#include "host/core/types.h"

// Forces every host loop onto the calling thread while alive: the reference for thread-count checks.
struct SerialScope
{
  SerialScope() { host::SetParallelEnabled(false); }
  ~SerialScope() { host::SetParallelEnabled(true); }
  SerialScope(const SerialScope&) = delete;
  SerialScope& operator=(const SerialScope&) = delete;
};

// Bit-identical, or both NaN.
inline Bool Same(Float a, Float b)
{
  if (std::isnan(a) && std::isnan(b))
    return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

inline Bool Same(const Vector& a, const Vector& b)
{
  return Same(a.x, b.x) && Same(a.y, b.y) && Same(a.z, b.z);
}
