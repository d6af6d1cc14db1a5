// Caps the size of the files this process writes while alive, as a full disk would stop them: a write
// past the cap fails with EFBIG, and the signal that would end the process is ignored meanwhile.
#pragma once

#include <sys/resource.h>

#include <csignal>

class FileSizeCap
{
public:
  explicit FileSizeCap(rlim_t bytes)
  {
    getrlimit(RLIMIT_FSIZE, &_saved);
    _signal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit cap = _saved;
    cap.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &cap);
  }
  ~FileSizeCap()
  {
    setrlimit(RLIMIT_FSIZE, &_saved);
    std::signal(SIGXFSZ, _signal);
  }
  FileSizeCap(const FileSizeCap&) = delete;
  FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
  rlimit _saved{};
  void (*_signal)(int) = SIG_DFL;
};
