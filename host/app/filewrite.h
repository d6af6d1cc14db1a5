// Writing a file whole or not at all: the content goes to a temporary file beside the target, which is
// renamed over the target once everything is written and flushed. A failed or cancelled write leaves an
// existing file as it was and removes the temporary one; while it is written the temporary file is
// registered as partial (host/core/partialfile.h), so an abrupt end of the process removes it too.
#pragma once

#include <cstdio>
#include <functional>

#include "host/core/result.h"
#include "host/core/url.h"

namespace host::app
{
// write fills the open stream. An error it returns is passed on as it is; when it answers OK but the
// stream could not take everything (a full disk), the error names the file and the system's reason:
// "<file>: cannot be written: <reason>".
Result<void> WriteFileAtomically(const Url& file, const std::function<Result<void>(std::FILE*)>& write);
// The error WriteFileAtomically gives for a system error number.
Error FileWriteError(const Url& file, int err);
} // namespace host::app
