// The host's growable array: std::vector underneath, with growth that reports failure as a Result.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/result.h"

template <typename T>
class BaseArray
{
public:
  BaseArray() = default;
  BaseArray(std::initializer_list<T> init) : _v(init) {}
  // Copying a host array must be explicit (CopyFrom) because it can fail; moving is free.
  BaseArray(const BaseArray&) = delete;
  BaseArray& operator=(const BaseArray&) = delete;
  BaseArray(BaseArray&&) noexcept = default;
  BaseArray& operator=(BaseArray&&) noexcept = default;

  Int GetCount() const { return static_cast<Int>(_v.size()); }
  Bool IsEmpty() const { return _v.empty(); }
  T& operator[](Int i) { return _v[static_cast<std::size_t>(i)]; }
  const T& operator[](Int i) const { return _v[static_cast<std::size_t>(i)]; }
  T* GetFirst() { return _v.data(); }
  const T* GetFirst() const { return _v.data(); }
  T& GetLast() { return _v.back(); }
  const T& GetLast() const { return _v.back(); }

  Result<void> Append(const T& value)
  {
    return Grow([&] { _v.push_back(value); });
  }
  Result<void> Append(T&& value)
  {
    return Grow([&] { _v.push_back(std::move(value)); });
  }
  // New elements are value-initialised (0 for numbers); shrinking keeps the first ones.
  Result<void> Resize(Int count)
  {
    if (count < 0)
      return IllegalArgumentError("Array size must not be negative!");
    if (static_cast<std::size_t>(count) <= _v.size())
    {
      _v.resize(static_cast<std::size_t>(count));
      return OK;
    }
    return Grow([&] { _v.resize(static_cast<std::size_t>(count)); });
  }
  Result<void> EnsureCapacity(Int count)
  {
    if (count <= static_cast<Int>(_v.capacity()))
      return OK;
    return Grow([&] { _v.reserve(static_cast<std::size_t>(count)); });
  }
  Result<void> Insert(Int index, const T& value)
  {
    return Grow([&] { _v.insert(_v.begin() + index, value); });
  }
  // Removes the element at index, keeping the order of the others.
  void Erase(Int index) { _v.erase(_v.begin() + index); }
  Bool Contains(const T& value) const { return std::find(_v.begin(), _v.end(), value) != _v.end(); }
  Int FindIndex(const T& value) const
  {
    auto it = std::find(_v.begin(), _v.end(), value);
    return it == _v.end() ? -1 : static_cast<Int>(it - _v.begin());
  }
  // Empties the array but keeps its storage.
  void Flush() { _v.clear(); }
  // Empties the array and frees its storage.
  void Reset() { std::vector<T>().swap(_v); }

  Result<void> CopyFrom(const BaseArray& other)
  {
    if (this == &other)
      return OK;
    if (host::AllocationShouldFail())
      return OutOfMemoryError("Could not copy array!");
    try
    {
      std::vector<T> copy(other._v);
      _v.swap(copy);
    }
    catch (const std::bad_alloc&)
    {
      return OutOfMemoryError("Could not copy array!");
    }
    return OK;
  }

  auto begin() { return _v.begin(); }
  auto end() { return _v.end(); }
  auto begin() const { return _v.begin(); }
  auto end() const { return _v.end(); }

private:
  template <typename F>
  Result<void> Grow(F&& f)
  {
    if (host::AllocationShouldFail())
      return OutOfMemoryError("Array allocation failed!");
    try
    {
      f();
    }
    catch (const std::bad_alloc&)
    {
      return OutOfMemoryError("Array allocation failed!");
    }
    catch (const std::length_error&)
    {
      return OutOfMemoryError("Array allocation failed!");
    }
    return OK;
  }

  std::vector<T> _v;
};
