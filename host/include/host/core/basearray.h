// The host's growable array: std::vector underneath, with growth that reports failure as a Result.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/result.h"

namespace host
{
// Element types that ResizeDefault may leave unwritten although they have a default constructor of
// their own: records that are trivially copyable and destructible (so the storage itself holds them)
// and whose owner writes every new element before reading it. A specialisation to true says so.
template <typename T>
struct LeaveUnwritten : std::false_type
{
};

// Constructs elements of types without a constructor of their own (numbers, plain records) by
// default-initialisation when made without arguments, so that growing an array of numbers can leave
// them unwritten (BaseArray::ResizeDefault); the types of LeaveUnwritten are left as the storage
// holds them; every other construction is the usual.
template <typename T>
struct DefaultInitAllocator : std::allocator<T>
{
  template <typename U>
  struct rebind
  {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept
  {
  }
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
  {
    if constexpr (std::is_trivially_default_constructible_v<U>)
      ::new (static_cast<void*>(p)) U;
    else if constexpr (LeaveUnwritten<U>::value)
      static_assert(std::is_trivially_copyable_v<U> && std::is_trivially_destructible_v<U>,
                    "only plain records may be left unwritten");
    else
      ::new (static_cast<void*>(p)) U();
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args)
  {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
} // namespace host

template <typename T>
class BaseArray
{
  using Storage = std::vector<T, host::DefaultInitAllocator<T>>;

public:
  BaseArray() = default;
  BaseArray(std::initializer_list<T> init) : _v(init) {}
  // Copying a host array must be explicit (CopyFrom) because it can fail; moving is free.
  BaseArray(const BaseArray&) = delete;
  BaseArray& operator=(const BaseArray&) = delete;
  BaseArray(BaseArray&&) noexcept = default;
  BaseArray& operator=(BaseArray&&) noexcept = default;

  Int GetCount() const { return static_cast<Int>(_v.size()); }
  // Elements the storage holds without growing.
  Int GetCapacity() const { return static_cast<Int>(_v.capacity()); }
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
    const std::size_t old = _v.size();
    return Grow([&] {
      _v.resize(static_cast<std::size_t>(count));
      ValueInitialise(old);
    });
  }
  // As Resize, but new elements of types without a constructor of their own (numbers, plain records)
  // are left unwritten: for callers that write every new element themselves, such as a grid that fills
  // its cells on all threads (which also spreads the first touch of fresh pages over them).
  Result<void> ResizeDefault(Int count)
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
  void Reset() { Storage().swap(_v); }

  Result<void> CopyFrom(const BaseArray& other)
  {
    if (this == &other)
      return OK;
    if (host::AllocationShouldFail())
      return OutOfMemoryError("Could not copy array!");
    try
    {
      Storage copy(other._v);
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
  // The storage leaves new elements of trivial types unwritten; Resize promises value-initialised ones.
  void ValueInitialise(std::size_t from)
  {
    if constexpr (std::is_trivially_default_constructible_v<T> || host::LeaveUnwritten<T>::value)
      std::fill(_v.begin() + static_cast<std::ptrdiff_t>(from), _v.end(), T{});
  }

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

  Storage _v;
};
