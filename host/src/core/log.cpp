#include "host/core/log.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace host
{
namespace
{
std::mutex g_statusMutex;
StatusBarState g_status;
std::vector<StatusEvent> g_statusHistory;
Bool g_statusEcho = false;
std::function<void(const StatusEvent&)> g_statusListener;

// Records the event and tells the listener; the caller holds g_statusMutex.
void AddStatusEvent(StatusEvent event)
{
  g_statusHistory.push_back(event);
  if (g_statusListener)
    g_statusListener(event);
}
} // namespace

void TextLog::Append(const String& line)
{
  std::lock_guard lock(_mutex);
  _lines.push_back(line);
  if (!_echo.empty())
    std::fprintf(stdout, "%s%s\n", _echo.c_str(), line.c_str());
  if (_listener)
    _listener(line);
}

void TextLog::SetListener(std::function<void(const String&)> listener)
{
  std::lock_guard lock(_mutex);
  _listener = std::move(listener);
}

std::vector<String> TextLog::GetLines() const
{
  std::lock_guard lock(_mutex);
  return _lines;
}

String TextLog::GetLast() const
{
  std::lock_guard lock(_mutex);
  return _lines.empty() ? String() : _lines.back();
}

Bool TextLog::Contains(const String& line) const
{
  std::lock_guard lock(_mutex);
  return std::find(_lines.begin(), _lines.end(), line) != _lines.end();
}

Int TextLog::GetCount() const
{
  std::lock_guard lock(_mutex);
  return static_cast<Int>(_lines.size());
}

void TextLog::Clear()
{
  std::lock_guard lock(_mutex);
  _lines.clear();
}

void TextLog::SetEcho(const String& prefix)
{
  std::lock_guard lock(_mutex);
  _echo = prefix;
}

// Function-local statics: usable from any static initialiser or destructor of a module.
TextLog& Console()
{
  static TextLog log;
  return log;
}

TextLog& Diagnostics()
{
  static TextLog log;
  return log;
}

StatusBarState GetStatusBar()
{
  std::lock_guard lock(g_statusMutex);
  return g_status;
}

std::vector<StatusEvent> GetStatusHistory()
{
  std::lock_guard lock(g_statusMutex);
  return g_statusHistory;
}

void ResetStatusBar()
{
  std::lock_guard lock(g_statusMutex);
  g_status = StatusBarState();
  g_statusHistory.clear();
}

void SetStatusEcho(Bool echo)
{
  std::lock_guard lock(g_statusMutex);
  g_statusEcho = echo;
}

void SetStatusListener(std::function<void(const StatusEvent&)> listener)
{
  std::lock_guard lock(g_statusMutex);
  g_statusListener = std::move(listener);
}

void ResetLogs()
{
  Console().Clear();
  Diagnostics().Clear();
  ResetStatusBar();
}
} // namespace host

void ConsolePrint(const String& line)
{
  host::Console().Append(line);
}

void DiagnosticOutput(const String& line)
{
  host::Diagnostics().Append(line);
}

void StatusSetText(const String& text)
{
  std::lock_guard lock(host::g_statusMutex);
  host::g_status.text = text;
  host::g_status.cleared = false;
  host::AddStatusEvent({host::StatusEvent::KIND::TEXT, text, 0});
  if (host::g_statusEcho)
    std::fprintf(stdout, "[status] %s\n", text.c_str());
}

void StatusSetBar(Int32 percent)
{
  std::lock_guard lock(host::g_statusMutex);
  host::g_status.percent = percent;
  host::g_status.cleared = false;
  host::AddStatusEvent({host::StatusEvent::KIND::BAR, String(), percent});
}

void StatusClear()
{
  std::lock_guard lock(host::g_statusMutex);
  // Clearing removes both the text and the progress bar.
  host::g_status = host::StatusBarState();
  host::AddStatusEvent({host::StatusEvent::KIND::CLEAR, String(), 0});
}
