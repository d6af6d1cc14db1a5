// The host SDK's linear congruential random generator. Its exact sequence is part of the contract:
// simulations seeded the same way must give bit-identical results.
#pragma once

#include "host/core/types.h"

class LcgRandom
{
public:
  LcgRandom() = default;

  void Init(UInt32 s)
  {
    _seed = s;
    _flag = 0;
  }

  // Uniform in [0, 1): the 31-bit state times (2^31 - 1) / 2^62, so 1 is never reached.
  Float Get01()
  {
    _seed = (_seed + 1u) * 69069u;   // unsigned arithmetic wraps modulo 2^32
    _seed &= 0x7FFFFFFFu;
    return static_cast<Float>(_seed) * 4.656612870908988e-10;
  }

  // Uniform in [-1, 1).
  Float Get11() { return 2.0 * Get01() - 1.0; }

  UInt32 GetSeed() const { return _seed; }

private:
  UInt32 _seed = 100;
  UInt32 _flag = 0;
  [[maybe_unused]] Float _cache = 0.0;   // state of the normal-distribution draw, which is unused here
};

// A value for seeding random defaults, read from the host's general interface: a clock reading mixed
// with a call counter, so that two calls (two new objects) never answer alike by accident, not even
// within one clock tick. Safe from any thread.
Int32 GeGetRandomSeedValue();

namespace host
{
// Test switch: while fixed, GeGetRandomSeedValue answers `value` on every call.
void FixRandomSeedValue(Int32 value);
// Back to the clock.
void ReleaseRandomSeedValue();

// Fixes the value for a scope and releases it when the scope ends.
class ScopedRandomSeedValue
{
public:
  explicit ScopedRandomSeedValue(Int32 value) { FixRandomSeedValue(value); }
  ~ScopedRandomSeedValue() { ReleaseRandomSeedValue(); }
  ScopedRandomSeedValue(const ScopedRandomSeedValue&) = delete;
  ScopedRandomSeedValue& operator=(const ScopedRandomSeedValue&) = delete;
};
} // namespace host
