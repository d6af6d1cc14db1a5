// The host's enumeration formatter: turns an enumeration value into its printed name.
#pragma once

#include "host/core/string.h"

// value:       the value to print
// enumName:    the enumeration's name (used for values that are not listed)
// elementSize: size of the enumeration's underlying type in bytes (4 for the module's)
// isFlagSet:   the enumeration is a set of bit flags
// values:      the listed values, count of them
// packedNames: the value names one after the other, each ended by a zero byte, in the order of values
// format:      the caller's format; "d" prints the plain decimal value, anything else the name
//
// Output: a listed value prints as its name. A flag set prints the names of its set flags in list
// order joined by "|", 0 prints as the 0-valued name (or "0" when none is listed), and bits that no
// flag names are appended as one hexadecimal remainder ("TYPE_FILTER|0x40"). A single value that is
// not listed prints as enumName + "(" + decimal value + ")".
String FormatEnumeration(Int64 value, const char* enumName, Int elementSize, Bool isFlagSet, const Int64* values,
                         Int count, const char* packedNames, const String& format);
