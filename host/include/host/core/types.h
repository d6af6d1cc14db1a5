// Primitive types of the host SDK and its 3-D vector.
#pragma once

#include <cmath>
#include <cstdint>

using Float = double;
using Float32 = float;
using Float64 = double;
using Int = std::int64_t;
using Int32 = std::int32_t;
using Int64 = std::int64_t;
using UInt = std::uint64_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using UInt64 = std::uint64_t;
using Bool = bool;
using Char = char;
using UChar = unsigned char;

// Largest finite double; the sentinels of an empty minimum/maximum.
inline constexpr Float MAXVALUE_FLOAT = 1.7976931348623157e308;

struct Vector
{
  Float x = 0.0;
  Float y = 0.0;
  Float z = 0.0;

  constexpr Vector() = default;
  constexpr Vector(Float ax, Float ay, Float az) : x(ax), y(ay), z(az) {}
  constexpr explicit Vector(Float v) : x(v), y(v), z(v) {}

  constexpr Vector operator+(const Vector& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vector operator-(const Vector& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vector operator-() const { return {-x, -y, -z}; }
  constexpr Vector operator*(Float s) const { return {x * s, y * s, z * s}; }
  constexpr Vector operator/(Float s) const { return {x / s, y / s, z / s}; }
  constexpr Vector& operator+=(const Vector& o) { x += o.x; y += o.y; z += o.z; return *this; }
  constexpr Vector& operator-=(const Vector& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
  constexpr Vector& operator*=(Float s) { x *= s; y *= s; z *= s; return *this; }
  constexpr bool operator==(const Vector&) const = default;

  constexpr Float GetSquaredLength() const { return x * x + y * y + z * z; }
  Float GetLength() const { return std::sqrt(GetSquaredLength()); }
  // Zero stays zero rather than becoming NaN.
  Vector GetNormalized() const
  {
    const Float len = GetLength();
    return len == 0.0 ? Vector() : *this / len;
  }
};

constexpr Vector operator*(Float s, const Vector& v) { return v * s; }
constexpr Float Dot(const Vector& a, const Vector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vector Cross(const Vector& a, const Vector& b)
{
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

struct Vector2d
{
  Float x = 0.0;
  Float y = 0.0;
  constexpr bool operator==(const Vector2d&) const = default;
};
