#include "host/core/string.h"

#include <cstdio>
#include <vector>

String String::IntToString(Int value)
{
  return String(std::to_string(value));
}

String String::UIntToString(UInt value)
{
  return String(std::to_string(value));
}

String String::FloatToString(Float value, Int32 decimals)
{
  if (decimals < 0)
    decimals = 0;
  // Large enough for any double in %f notation (309 digits) plus decimals.
  std::vector<char> buf(static_cast<std::size_t>(decimals) + 330);
  std::snprintf(buf.data(), buf.size(), "%.*f", static_cast<int>(decimals), value);
  return String(buf.data());
}

String String::FormatArgs(const String* args, std::size_t count) const
{
  String out;
  out.reserve(size() + 16 * count);
  std::size_t next = 0;
  for (char c : *this)
  {
    if (c == '#' && next < count)
      out += args[next++];
    else
      out.push_back(c);
  }
  return out;
}
