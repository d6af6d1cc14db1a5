// Files the host loads into its interface on a module's request: layouts and command palettes. There is
// no window to put a palette in: a request is recorded (and shown by the front end), and a file that is
// missing or cannot be read is reported on the console the way the host reports it to its user. Safe
// from any thread.
#pragma once

#include <vector>

#include "host/core/url.h"

// Loads a layout or palette file into the interface; false (with a console line naming the file) when
// it is missing, is no regular file or cannot be read.
Bool LoadFile(const Url& file);

namespace host
{
struct LoadFileRecord
{
  Url file;
  Bool loaded = false;
};
// Every LoadFile request in order.
std::vector<LoadFileRecord> GetLoadFileRequests();
void ResetLoadFileRequests();
} // namespace host
