// The web browser of tests that open pages through the host's interpreter: a recorder that notes the
// addresses it is given.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/core/string.h"

namespace ogx_test
{
// Points the interpreter's web browser at the recorder. The interpreter reads BROWSER once, when it
// starts: call this before the first script of the process runs.
inline void UseBrowserRecorder()
{
  const std::string command = std::string(OGX_SOURCE_DIR) + "/tests/support/browser_recorder.sh %s";
  setenv("BROWSER", command.c_str(), 1);
}

// A fresh log of the addresses the recorder is asked to open (the browser's environment is the
// process's, so this can change between scripts).
class BrowserLog
{
public:
  BrowserLog()
    : _file(std::filesystem::temp_directory_path() /
            ("ogx-browser-" + std::to_string(::getpid()) + "-" + std::to_string(_counter++) + ".log"))
  {
    std::filesystem::remove(_file);
    setenv("OGX_BROWSER_LOG", _file.c_str(), 1);
  }
  ~BrowserLog()
  {
    std::error_code ec;
    std::filesystem::remove(_file, ec);
    unsetenv("OGX_BROWSER_LOG");
  }
  BrowserLog(const BrowserLog&) = delete;
  BrowserLog& operator=(const BrowserLog&) = delete;

  std::vector<String> GetAddresses() const
  {
    std::vector<String> lines;
    std::ifstream in(_file);
    for (std::string line; std::getline(in, line);)
      lines.emplace_back(line);
    return lines;
  }

private:
  static inline int _counter = 0;
  std::filesystem::path _file;
};
} // namespace ogx_test
