#include "host/gui/layouts.h"

#include <fstream>
#include <mutex>

#include "host/core/log.h"

namespace
{
struct LoadFileLog
{
  std::mutex mutex;
  std::vector<host::LoadFileRecord> requests;
};

LoadFileLog& Log()
{
  static LoadFileLog log;
  return log;
}
} // namespace

Bool LoadFile(const Url& file)
{
  std::error_code ec;
  Bool loaded = !file.IsEmpty() && std::filesystem::is_regular_file(file.GetPath(), ec);
  if (loaded)
    loaded = std::ifstream(file.GetPath(), std::ios::binary).good();
  if (!loaded)
    ConsolePrint("Could not load file " + file.GetString());
  LoadFileLog& log = Log();
  std::lock_guard lock(log.mutex);
  log.requests.push_back(host::LoadFileRecord{file, loaded});
  return loaded;
}

namespace host
{
std::vector<LoadFileRecord> GetLoadFileRequests()
{
  LoadFileLog& log = Log();
  std::lock_guard lock(log.mutex);
  return log.requests;
}

void ResetLoadFileRequests()
{
  LoadFileLog& log = Log();
  std::lock_guard lock(log.mutex);
  log.requests.clear();
}
} // namespace host
