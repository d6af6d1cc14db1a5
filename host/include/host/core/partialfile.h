// Files being written under a temporary name, which an abrupt end of the process must not leave behind.
//
// A writer registers the temporary path (or a scratch folder) for as long as it writes it; the front
// end's interrupt handler calls RemovePartialFiles before it ends the process at once. Registration
// takes one of a fixed number of slots and never allocates; when every slot is taken the path is simply
// not registered (nothing else changes). Safe from any thread.
#pragma once

#include <filesystem>

#include "host/core/types.h"

namespace host
{
// Registers path while the object lives.
class PartialFile
{
public:
  enum class KIND
  {
    FILE,
    FOLDER,   // removed (when empty) after every registered file
  };
  explicit PartialFile(const std::filesystem::path& path, KIND kind = KIND::FILE) noexcept;
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

private:
  Int32 _slot = -1;
};

// Removes every registered file, then every registered (empty) folder. Async-signal-safe: it only reads
// the slots and calls unlink and rmdir.
void RemovePartialFiles() noexcept;
} // namespace host
