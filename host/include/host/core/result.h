// The host's result object: a value of T, or an Error. Nothing is thrown across the host boundary;
// failures travel up as values and are passed on unchanged with HOST_TRY.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "host/core/error.h"

struct OkType
{
};
inline constexpr OkType OK{};

template <typename T>
class [[nodiscard]] Result
{
public:
  Result(const T& value) : _v(std::in_place_index<0>, value) {}
  Result(T&& value) : _v(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : _v(std::in_place_index<1>, std::move(error)) {}
  template <typename U>
    requires(std::is_convertible_v<U &&, T> && !std::is_same_v<std::decay_t<U>, T> &&
             !std::is_same_v<std::decay_t<U>, Error> && !std::is_same_v<std::decay_t<U>, Result>)
  Result(U&& value) : _v(std::in_place_index<0>, T(std::forward<U>(value)))
  {
  }

  Bool IsOk() const { return _v.index() == 0; }
  Bool IsError() const { return _v.index() == 1; }
  explicit operator bool() const { return IsOk(); }

  T& GetValue() &
  {
    assert(IsOk());
    return std::get<0>(_v);
  }
  const T& GetValue() const&
  {
    assert(IsOk());
    return std::get<0>(_v);
  }
  T&& GetValue() &&
  {
    assert(IsOk());
    return std::get<0>(std::move(_v));
  }
  const Error& GetError() const
  {
    assert(IsError());
    return std::get<1>(_v);
  }

private:
  std::variant<T, Error> _v;
};

template <>
class [[nodiscard]] Result<void>
{
public:
  Result() = default;
  Result(OkType) {}
  Result(Error error) : _error(std::move(error)) {}

  Bool IsOk() const { return !_error.has_value(); }
  Bool IsError() const { return _error.has_value(); }
  explicit operator bool() const { return IsOk(); }
  void GetValue() const { assert(IsOk()); }
  const Error& GetError() const
  {
    assert(IsError());
    return *_error;
  }

private:
  std::optional<Error> _error;
};

// Evaluates a Result expression; on error returns that error from the enclosing function (which must
// return some Result), otherwise yields the value. Uses a GNU statement expression (g++ and clang).
#define HOST_TRY(expr)                              \
  ({                                                \
    auto&& _host_try_res = (expr);                  \
    if (_host_try_res.IsError())                    \
      return _host_try_res.GetError();              \
    std::move(_host_try_res).GetValue();            \
  })
