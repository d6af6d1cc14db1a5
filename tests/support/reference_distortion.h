// The terrain distortion written out from its definition, independently of the module's code, for the
// tests of the distortion and of the operators that use it.
#pragma once

#include <cmath>

#include "host/noise/noise.h"
#include "host/scene/basecontainer.h"

// The displacement written out from its definition, independently of the module's: two solid-noise
// samples, the second at Y = 2 offset.y + 10, each turned into a shift of [-A/2, A/2).
inline Vector ReferenceDistortion(const BaseContainer& data, const Vector& p)
{
  if (!data.GetBool(2001))
    return p;
  const Float amount = data.GetFloat(2002) * 200.0;
  if (amount == 0.0)
    return p;
  const Float product = data.GetFloat(2003) * 75.0;
  const Float f = product == 0.0 ? 0.0 : 1.0 / product;
  const Float angle = data.GetFloat(2004);
  const Vector o = data.GetVector(2007) * 0.01;
  const Float s1 = HostNoise3D(Vector(p.x * f + o.x, p.y * f + o.y, p.z * f + o.z), 0.0);
  const Float s2 = HostNoise3D(Vector(p.x * f + o.x, o.y + 10.0 + o.y, p.z * f + o.z), 0.0);
  return Vector(p.x + (s1 * amount - amount * 0.5) * std::sin(angle), p.y,
                p.z + (s2 * amount - amount * 0.5) * std::cos(angle));
}
