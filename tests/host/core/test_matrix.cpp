#include <gtest/gtest.h>

#include "host/core/matrix.h"

namespace
{
void ExpectNear(const Vector& a, const Vector& b)
{
  EXPECT_NEAR(a.x, b.x, 1e-12);
  EXPECT_NEAR(a.y, b.y, 1e-12);
  EXPECT_NEAR(a.z, b.z, 1e-12);
}
} // namespace

TEST(Matrix, ProductAppliesRightOperandFirstAndInverseUndoes)
{
  const Matrix scale(Vector(), Vector(2, 0, 0), Vector(0, 3, 0), Vector(0, 0, 4));
  const Matrix move(Vector(1, 2, 3), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));
  const Vector p(1, 1, 1);
  ExpectNear((move * scale) * p, Vector(3, 5, 7));    // scale first, then move
  ExpectNear((scale * move) * p, Vector(4, 9, 16));   // move first, then scale

  const Matrix rot(Vector(5, -1, 2), Vector(0, 1, 0), Vector(-1, 0, 0), Vector(0, 0, 1));
  const Matrix m = move * rot * scale;
  ExpectNear((~m) * (m * Vector(0.3, -7, 11)), Vector(0.3, -7, 11));
  const Matrix id = m * ~m;
  ExpectNear(id.off, Vector());
  ExpectNear(id.v1, Vector(1, 0, 0));
  ExpectNear(id.v2, Vector(0, 1, 0));
  ExpectNear(id.v3, Vector(0, 0, 1));
}
