// Whole-or-nothing file writes; see filewrite.h.
#include "filewrite.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace host::app
{
namespace
{
Error WriteError(const Url& file, int err)
{
  return IllegalArgumentError(file.GetString() + ": cannot be written: " + String(std::strerror(err)));
}
} // namespace

Result<void> WriteFileAtomically(const Url& file, const std::function<Bool(std::FILE*)>& write)
{
  std::filesystem::path temp = file.GetPath();
  temp += ".tmp-" + std::to_string(static_cast<long>(getpid()));
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f)
    return WriteError(file, errno);
  errno = 0;
  Bool ok = write(f);
  int err = errno;
  if (std::fflush(f) != 0 || std::ferror(f))
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
    return WriteError(file, err != 0 ? err : EIO);
  }
  return OK;
}
} // namespace host::app
