// The host's string: UTF-8 text over std::string, with the number formatting the module uses.
#pragma once

#include <string>
#include <string_view>

#include "host/core/types.h"

class String : public std::string
{
public:
  using std::string::string;
  String() = default;
  String(const std::string& s) : std::string(s) {}
  String(std::string&& s) : std::string(std::move(s)) {}
  String(std::string_view s) : std::string(s) {}

  Bool IsEmpty() const { return empty(); }
  Bool IsPopulated() const { return !empty(); }
  Int GetLength() const { return static_cast<Int>(size()); }

  // Decimal text of an integer ("-12").
  static String IntToString(Int value);
  static String UIntToString(UInt value);
  // Fixed decimals with "." as separator, correctly rounded from the binary value (round half to
  // even on the exact binary expansion, as printf does): FloatToString(2.675, 2) is "2.67".
  static String FloatToString(Float value, Int32 decimals = 2);

  const std::string& GetStd() const { return *this; }

  // Replaces each "#" in order by the next argument; surplus "#" stay as they are.
  template <typename... Args>
  String Format(const Args&... args) const
  {
    const String parts[] = {String(), ToStringArg(args)...};
    return FormatArgs(parts + 1, sizeof...(Args));
  }

private:
  static String ToStringArg(const String& s) { return s; }
  static String ToStringArg(const char* s) { return String(s); }
  static String ToStringArg(const std::string& s) { return String(s); }
  static String ToStringArg(Int32 v) { return IntToString(v); }
  static String ToStringArg(Int v) { return IntToString(v); }
  static String ToStringArg(UInt32 v) { return UIntToString(v); }
  static String ToStringArg(UInt v) { return UIntToString(v); }
  String FormatArgs(const String* args, std::size_t count) const;
};

inline String operator+(const String& a, const String& b)
{
  String out(a);
  out.append(b);
  return out;
}
inline String operator+(const String& a, const char* b)
{
  String out(a);
  out.append(b);
  return out;
}
inline String operator+(const char* a, const String& b)
{
  String out(a);
  out.append(b);
  return out;
}
inline String operator+(String&& a, const String& b) { a.append(b); return std::move(a); }
inline String operator+(String&& a, const char* b) { a.append(b); return std::move(a); }
