#include "host/core/enumformat.h"

#include <cstdio>
#include <cstring>
#include <vector>

String FormatEnumeration(Int64 value, const char* enumName, Int elementSize, Bool isFlagSet, const Int64* values,
                         Int count, const char* packedNames, const String& format)
{
  if (format == "d")
    return String::IntToString(value);

  // Restrict to the enumeration's own width so a sign-extended 32-bit flag set prints like the original.
  if (elementSize > 0 && elementSize < 8)
  {
    const UInt64 mask = (UInt64(1) << (elementSize * 8)) - 1;
    if (isFlagSet)
      value = static_cast<Int64>(static_cast<UInt64>(value) & mask);
  }

  std::vector<const char*> names;
  names.reserve(static_cast<std::size_t>(count));
  const char* p = packedNames;
  for (Int i = 0; i < count; ++i)
  {
    names.push_back(p);
    p += std::strlen(p) + 1;
  }

  if (!isFlagSet)
  {
    for (Int i = 0; i < count; ++i)
      if (values[i] == value)
        return String(names[static_cast<std::size_t>(i)]);
    return String(enumName) + "(" + String::IntToString(value) + ")";
  }

  if (value == 0)
  {
    for (Int i = 0; i < count; ++i)
      if (values[i] == 0)
        return String(names[static_cast<std::size_t>(i)]);
    return String("0");
  }

  String out;
  UInt64 rest = static_cast<UInt64>(value);
  for (Int i = 0; i < count; ++i)
  {
    const UInt64 flag = static_cast<UInt64>(values[i]);
    if (flag != 0 && (static_cast<UInt64>(value) & flag) == flag)
    {
      if (!out.empty())
        out += "|";
      out += names[static_cast<std::size_t>(i)];
      rest &= ~flag;
    }
  }
  if (rest != 0)
  {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(rest));
    if (!out.empty())
      out += "|";
    out += buf;
  }
  return out;
}
