// How the scene area's JSON files spell the Floats that JSON numbers cannot hold. Not a public header.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "host/core/types.h"

namespace host
{
// "NaN", "Infinity" and "-Infinity" as their values; any other text is not a Float.
inline std::optional<Float> NonFiniteFloatFromText(std::string_view s)
{
  if (s == "NaN")
    return std::numeric_limits<Float>::quiet_NaN();
  if (s == "Infinity")
    return std::numeric_limits<Float>::infinity();
  if (s == "-Infinity")
    return -std::numeric_limits<Float>::infinity();
  return std::nullopt;
}

// What NonFiniteFloatFromText reads back for a NaN or infinite Float; null for a finite one.
inline const char* NonFiniteFloatText(Float v)
{
  if (std::isnan(v))
    return "NaN";
  if (std::isinf(v))
    return v > 0 ? "Infinity" : "-Infinity";
  return nullptr;
}
} // namespace host
