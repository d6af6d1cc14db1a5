// Writing a file whole or not at all: the content goes to a temporary file beside the target, which is
// renamed over the target once everything is written and flushed. A failed write leaves an existing
// file as it was and removes the temporary one.
#pragma once

#include <cstdio>
#include <functional>

#include "host/core/result.h"
#include "host/core/url.h"

namespace host::app
{
// write fills the open stream and answers false when it could not. Errors name the file and the
// system's reason: "<file>: cannot be written: <reason>".
Result<void> WriteFileAtomically(const Url& file, const std::function<Bool(std::FILE*)>& write);
} // namespace host::app
