// ogx-host: the host front end executable (see frontend.h).
#include <cstdio>

#include "frontend.h"
#include "host/python/python.h"

int main(int argc, char** argv)
{
  std::vector<String> args;
  for (int i = 1; i < argc; ++i)
    args.emplace_back(argv[i]);
  const Result<host::app::FrontEndOptions> options = host::app::ParseArguments(args);
  if (options.IsError())
  {
    std::fprintf(stderr, "ogx-host: %s\n\n%s", options.GetError().GetText().c_str(), host::app::UsageText().c_str());
    return host::app::EXIT_UNUSABLE;
  }
  if (options.GetValue().help)
  {
    std::fputs(host::app::UsageText().c_str(), stdout);
    return host::app::EXIT_OK;
  }
  const int code = host::app::RunFrontEnd(options.GetValue());
  // The module's scripts are done; a request thread one of them left running is not waited for.
  host::ShutdownPython();
  return code;
}
