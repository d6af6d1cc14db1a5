// Registered partial files; see partialfile.h.
#include "host/core/partialfile.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>

namespace host
{
namespace
{
enum SLOTSTATE : Int32
{
  FREE = 0,
  FILLING = 1,
  FILE_READY = 2,
  FOLDER_READY = 3,
};

struct Slot
{
  std::atomic<Int32> state{FREE};
  char path[PATH_MAX] = {};
};

// Writes are few at a time (one output and its scratch folder per object); this is plenty.
std::array<Slot, 16> g_slots;
} // namespace

PartialFile::PartialFile(const std::filesystem::path& path, KIND kind) noexcept
{
  const std::string& text = path.native();
  if (text.empty() || text.size() >= PATH_MAX)
    return;
  for (std::size_t i = 0; i < g_slots.size(); ++i)
  {
    Int32 expected = FREE;
    if (!g_slots[i].state.compare_exchange_strong(expected, FILLING))
      continue;
    std::memcpy(g_slots[i].path, text.c_str(), text.size() + 1);
    g_slots[i].state.store(kind == KIND::FILE ? FILE_READY : FOLDER_READY);
    _slot = static_cast<Int32>(i);
    return;
  }
}

PartialFile::~PartialFile()
{
  if (_slot >= 0)
    g_slots[static_cast<std::size_t>(_slot)].state.store(FREE);
}

void RemovePartialFiles() noexcept
{
  for (Slot& slot : g_slots)
    if (slot.state.load() == FILE_READY)
      ::unlink(slot.path);
  for (Slot& slot : g_slots)
    if (slot.state.load() == FOLDER_READY)
      ::rmdir(slot.path);
}
} // namespace host
