#include "host/core/matrix.h"

Matrix operator~(const Matrix& m)
{
  const Float det = m.GetDeterminant();
  if (det == 0.0)
    return Matrix(Vector(), Vector(), Vector(), Vector());
  const Float inv = 1.0 / det;
  // Rows of the inverse of the 3x3 part are the cross products of the columns.
  const Vector r1 = Cross(m.v2, m.v3) * inv;
  const Vector r2 = Cross(m.v3, m.v1) * inv;
  const Vector r3 = Cross(m.v1, m.v2) * inv;
  Matrix res(Vector(), Vector(r1.x, r2.x, r3.x), Vector(r1.y, r2.y, r3.y), Vector(r1.z, r2.z, r3.z));
  res.off = -res.TransformVector(m.off);
  return res;
}
