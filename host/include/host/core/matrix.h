// A 3x4 transform: an offset and three axis vectors. A point p maps to off + p.x v1 + p.y v2 + p.z v3.
#pragma once

#include "host/core/types.h"

struct Matrix
{
  Vector off;
  Vector v1{1.0, 0.0, 0.0};
  Vector v2{0.0, 1.0, 0.0};
  Vector v3{0.0, 0.0, 1.0};

  constexpr Matrix() = default;
  constexpr Matrix(const Vector& o, const Vector& a, const Vector& b, const Vector& c) : off(o), v1(a), v2(b), v3(c) {}

  // Applies the full transform to a point.
  constexpr Vector operator*(const Vector& p) const { return off + v1 * p.x + v2 * p.y + v3 * p.z; }
  // Applies only the axes (a direction, not a point).
  constexpr Vector TransformVector(const Vector& d) const { return v1 * d.x + v2 * d.y + v3 * d.z; }
  // A * B applies B first, then A.
  constexpr Matrix operator*(const Matrix& b) const
  {
    return Matrix(*this * b.off, TransformVector(b.v1), TransformVector(b.v2), TransformVector(b.v3));
  }
  constexpr bool operator==(const Matrix&) const = default;

  Float GetDeterminant() const { return Dot(v1, Cross(v2, v3)); }
};

// The inverse transform; a singular matrix gives the zero matrix (all axes and the offset 0), as a
// degenerate scale has no inverse and callers treat it as collapsing everything to the origin.
Matrix operator~(const Matrix& m);
