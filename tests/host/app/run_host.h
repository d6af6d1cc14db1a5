// Runs the ogx-host executable as a user's shell does, for the front-end tests: the arguments quoted,
// stdout and stderr captured into files of a work folder.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace host_app_test
{
struct RunResult
{
  int exit = -1;
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string& s)
{
  std::string q = "'";
  for (const char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string ReadText(const std::filesystem::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::filesystem::path& file, const std::string& text)
{
  std::ofstream out(file, std::ios::binary);
  out << text;
}

// limits: shell commands run before the front end starts (such as "ulimit -f 100").
inline RunResult RunHost(const std::vector<std::string>& args, const std::filesystem::path& work,
                         const std::string& limits = "")
{
  std::string command = limits.empty() ? std::string() : limits + "; exec ";
  command += Quote(OGX_HOST_EXE);
  // Appended piece by piece: g++ 12 sees a false overlap in `" " + Quote(a)` (-Wrestrict).
  for (const std::string& a : args)
  {
    command += ' ';
    command += Quote(a);
  }
  command += " >";
  command += Quote((work / "stdout.txt").string());
  command += " 2>";
  command += Quote((work / "stderr.txt").string());
  const int status = std::system(command.c_str());
  RunResult r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadText(work / "stdout.txt");
  r.err = ReadText(work / "stderr.txt");
  return r;
}
} // namespace host_app_test
