// What the host shows its user as text: the console, the diagnostic output and the status bar.
// Each is recorded in memory so tests can read what the module showed; the front end echoes them.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "host/core/string.h"

// The host console: one line per call.
void ConsolePrint(const String& line);
// The diagnostic output (a developer log, separate from the console).
void DiagnosticOutput(const String& line);

// The status bar.
void StatusSetText(const String& text);
void StatusSetBar(Int32 percent);
void StatusClear();

namespace host
{
// A recorded text channel: lines in the order they were written, readable and clearable by tests.
class TextLog
{
public:
  void Append(const String& line);
  std::vector<String> GetLines() const;
  String GetLast() const;
  Bool Contains(const String& line) const;
  Int GetCount() const;
  void Clear();
  // Also write every new line to stdout with this prefix (the front end uses it); empty turns it off.
  void SetEcho(const String& prefix);
  // Calls listener with every new line, in order, as it is written (from whichever thread writes it,
  // one call at a time); an empty function removes it. The listener must not write to this log.
  void SetListener(std::function<void(const String&)> listener);

private:
  mutable std::mutex _mutex;
  std::vector<String> _lines;
  String _echo;
  std::function<void(const String&)> _listener;
};

TextLog& Console();
TextLog& Diagnostics();

struct StatusEvent
{
  enum class KIND
  {
    TEXT,
    BAR,
    CLEAR
  } kind;
  String text;
  Int32 percent = 0;
};

// The status bar's state and its history of calls.
struct StatusBarState
{
  String text;
  Int32 percent = 0;
  Bool cleared = true;   // nothing shown (initially, and after StatusClear)
};
StatusBarState GetStatusBar();
std::vector<StatusEvent> GetStatusHistory();
void ResetStatusBar();
void SetStatusEcho(Bool echo);
// Calls listener with every status-bar call as it happens (text, percent, clear), one call at a time;
// an empty function removes it. The listener must not call the status bar.
void SetStatusListener(std::function<void(const StatusEvent&)> listener);

// Clears the console, diagnostics and status bar (tests call it between cases).
void ResetLogs();
} // namespace host
