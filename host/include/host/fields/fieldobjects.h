// Field objects: scene objects whose falloff an object layer of a field list samples (fieldlist.h).
//
// Both kinds are evaluated in their own space (the inverse of their global matrix, so moving, turning
// and scaling the object moves, turns and scales the falloff):
//   - Ofieldspherical: 1 inside the inner radius (FIELDOBJECT_SIZE times FIELDOBJECT_INNER), falling
//     to 0 at the radius FIELDOBJECT_SIZE and 0 beyond; never rising with the distance from the centre;
//   - Ofieldlinear: 0 at local z <= -FIELDOBJECT_SIZE / 2, 1 at z >= +FIELDOBJECT_SIZE / 2, rising in
//     between; independent of x and y. FIELDOBJECT_INNER is not used.
// The ramp follows FIELDOBJECT_INTERPOLATION: 0 linear, 1 smooth (3t^2 - 2t^3). A size of 0 or less
// gives a hard edge (sphere: 0 everywhere but the centre point; linear: a step at z = 0). The result
// always lies in [0, 1]. A disabled field object contributes nothing to a list.
//
// The functions are pure and thread-safe; FieldFalloff reads the object's parameters once, so a
// sampler prepares one per object and calls Evaluate per point without touching the object again.
#pragma once

#include "host/core/matrix.h"

class BaseObject;

inline constexpr Int32 Ofieldspherical = 440000280;
inline constexpr Int32 Ofieldlinear = 440000281;

// Field object parameters.
inline constexpr Int32 FIELDOBJECT_SIZE = 1100;            // Float: radius or length, default 100
inline constexpr Int32 FIELDOBJECT_INNER = 1101;           // Float in [0, 1]: inner part at full value, default 0
inline constexpr Int32 FIELDOBJECT_INTERPOLATION = 1102;   // Int32: 0 linear (default), 1 smooth

inline constexpr Int32 FIELDINTERPOLATION_LINEAR = 0;
inline constexpr Int32 FIELDINTERPOLATION_SMOOTH = 1;

struct FieldFalloff
{
  Int32 type = 0;        // Ofieldspherical or Ofieldlinear
  Matrix toLocal;        // world -> the object's space
  Float size = 100.0;
  Float inner = 0.0;     // clamped to [0, 1]
  Int32 interpolation = FIELDINTERPOLATION_LINEAR;

  // The falloff of a field object (its parameters and global matrix now); false for an object that is
  // no field object.
  static Bool Prepare(const BaseObject* op, FieldFalloff& out);
  // The value at a world-space point, in [0, 1].
  Float Evaluate(const Vector& world) const;
};

// True for the field object types.
Bool IsFieldObjectType(Int32 type);
