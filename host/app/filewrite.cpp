// Whole-or-nothing file writes; see filewrite.h.
#include "filewrite.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/core/partialfile.h"

namespace host::app
{
Error FileWriteError(const Url& file, int err)
{
  return IllegalArgumentError(file.GetString() + ": cannot be written: " + String(std::strerror(err)));
}

Result<void> WriteFileAtomically(const Url& file, const std::function<Result<void>(std::FILE*)>& write)
{
  std::filesystem::path temp = file.GetPath();
  temp += ".tmp-" + std::to_string(static_cast<long>(getpid()));
  const PartialFile partial(temp);
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f)
    return FileWriteError(file, errno);
  errno = 0;
  Result<void> written = write(f);
  int err = errno;
  Bool ok = written.IsOk();
  if (ok && (std::fflush(f) != 0 || std::ferror(f)))
  {
    ok = false;
    err = errno;
  }
  if (std::fclose(f) != 0 && ok)
  {
    ok = false;
    err = errno;
  }
  if (ok && std::rename(temp.c_str(), file.GetPath().c_str()) != 0)
  {
    ok = false;
    err = errno;
  }
  if (!ok)
  {
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    if (written.IsError())
      return written.GetError();
    return FileWriteError(file, err != 0 ? err : EIO);
  }
  return OK;
}
} // namespace host::app
