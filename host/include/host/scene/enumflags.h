// Bit operations for the host's scoped flag enumerations (DIRTYFLAGS, DESCFLAGS_..., ...), so flags
// combine with | and test with & the way the module writes them.
#pragma once

#include <type_traits>

#define HOST_ENUM_FLAGS(E)                                                                                 \
  constexpr E operator|(E a, E b)                                                                          \
  {                                                                                                        \
    using U = std::underlying_type_t<E>;                                                                   \
    return static_cast<E>(static_cast<U>(a) | static_cast<U>(b));                                          \
  }                                                                                                        \
  constexpr E operator&(E a, E b)                                                                          \
  {                                                                                                        \
    using U = std::underlying_type_t<E>;                                                                   \
    return static_cast<E>(static_cast<U>(a) & static_cast<U>(b));                                          \
  }                                                                                                        \
  constexpr E operator^(E a, E b)                                                                          \
  {                                                                                                        \
    using U = std::underlying_type_t<E>;                                                                   \
    return static_cast<E>(static_cast<U>(a) ^ static_cast<U>(b));                                          \
  }                                                                                                        \
  constexpr E operator~(E a)                                                                               \
  {                                                                                                        \
    using U = std::underlying_type_t<E>;                                                                   \
    return static_cast<E>(~static_cast<U>(a));                                                             \
  }                                                                                                        \
  constexpr E& operator|=(E& a, E b) { return a = a | b; }                                                 \
  constexpr E& operator&=(E& a, E b) { return a = a & b; }                                                 \
  constexpr bool operator!(E a) { return static_cast<std::underlying_type_t<E>>(a) == 0; }

// True when any bit of mask is set in flags.
template <typename E>
  requires std::is_enum_v<E>
constexpr bool HasFlag(E flags, E mask)
{
  using U = std::underlying_type_t<E>;
  return (static_cast<U>(flags) & static_cast<U>(mask)) != 0;
}
