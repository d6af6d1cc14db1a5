// The terrain-distortion parameter group (2001 to 2007) that the noise and gradient operators share: it
// bends the positions at which a generator evaluates its shape by shifting each cell position sideways
// in X and Z by two samples of the host's solid noise.
//
// An operator writes the group's defaults when it is created, hands the group's ids to its enabling
// and dirty-id queries, reads the group once per computation (ReadDistortionSettings) and displaces
// every cell position with ApplyDistortion. The settings record is read-only while the cell loop runs,
// so its worker threads share one; HostNoise3D is safe from any thread.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/noise/noise.h"
#include "host/scene/basecontainer.h"

// The group's parameters, stored in the operator's container.
enum : Int32
{
  TERRAINDISTORTION_GROUP = 2000,           // the description group that holds them
  TERRAINDISTORTION_ENABLE = 2001,          // Bool
  TERRAINDISTORTION_AMOUNT = 2002,          // Float: x 200 is the full width of the shift
  TERRAINDISTORTION_SCALE = 2003,           // Float: x 75 is the noise's feature size (larger is coarser)
  TERRAINDISTORTION_DIRECTION = 2004,       // Float: radians; 0 shifts along Z only, pi/2 along X only
  TERRAINDISTORTION_RESERVED = 2005,        // Bool: stored and watched; the displacement does not use it
  TERRAINDISTORTION_OPERATORSPACE = 2006,   // Bool: distort in the operator's space instead of the terrain's
  TERRAINDISTORTION_OFFSET = 2007,          // Vector: x 0.01 moves the noise field
};

// The description fragment "DterrainDistortion".
inline constexpr Int32 ID_OGX_TERRAINDISTORTION_DESCRIPTION = 1055057;

// The group as one computation reads it (ReadDistortionSettings), already scaled.
struct DistortionSettings
{
  Bool enabled = false;
  Float amount = 0.0;      // 2002 x 200
  Float frequency = 0.0;   // 1 / (2003 x 75), 0 when that product is 0
  Bool reserved = false;   // 2005
  Float sinAngle = 0.0;    // sin 2004
  Float cosAngle = 1.0;    // cos 2004
  Bool operatorSpace = false;
  Vector offset;           // 2007 x 0.01
};

// Registers "DterrainDistortion" under 1055057; start-up does it before the operators register.
Bool RegisterDistortionDescription();

// Writes the group's defaults: 2001 false, 2002 1.0, 2003 1.0, 2004 0.0, 2005 false, 2007 (0, 0, 0),
// 2006 false.
void InitDistortionParameters(BaseContainer& data);

// The group's enabling: 2002 to 2007 follow the switch 2001; every other id (2001 itself included) is
// enabled.
Bool GetDistortionDEnabling(const BaseContainer& data, Int32 id);

// Appends the ids whose change recomputes the operator: 2001 to 2005, 2007, 2006. An out-of-memory
// error at the first id that cannot be appended.
Result<void> GetDistortionParameterIds(BaseArray<Int32>& ids);

DistortionSettings ReadDistortionSettings(const BaseContainer& data);

// The displaced position: X and Z shifted by up to half the amount either way (times the direction's
// sine and cosine), Y unchanged. Unchanged, and no noise sampled, when the group is off or its amount 0.
inline Vector ApplyDistortion(const DistortionSettings& settings, const Vector& p)
{
  if (!settings.enabled || settings.amount == 0.0)
    return p;
  const Float f = settings.frequency;
  const Vector& o = settings.offset;
  const Float a = settings.amount;
  const Vector q1(p.x * f + o.x, p.y * f + o.y, p.z * f + o.z);
  // Deliberately 2 x offset.y + 10 for the second sample's height, not the first sample's height + 10:
  // the second field is a fixed slice of the noise that does not follow the position's Y.
  const Vector q2(q1.x, o.y + 10.0 + o.y, q1.z);
  const Float s1 = HostNoise3D(q1, 0.0);
  const Float s2 = HostNoise3D(q2, 0.0);
  return Vector(p.x + (s1 * a - a * 0.5) * settings.sinAngle, p.y, p.z + (s2 * a - a * 0.5) * settings.cosAngle);
}
