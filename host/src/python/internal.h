// Shared between the interpreter and the modules it offers scripts.
#pragma once

#include <pybind11/pybind11.h>

#include "host/core/string.h"

namespace host::python
{
// A script's text value as the host's UTF-8 string: bytes as they are, str as UTF-8 (code points the
// surrogateescape handler made from undecodable bytes become those bytes again). Raises TypeError for
// anything else.
String ToHostString(const pybind11::handle& value);
// The host string as a str; bytes that are no UTF-8 come through as surrogateescape code points.
pybind11::str ToPythonString(const String& text);
} // namespace host::python
