#include "host/gui/dialogs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <mutex>

namespace
{
struct Answer
{
  enum class KIND
  {
    FILE,
    DIRECTORY,
    CANCEL
  } kind;
  Url path;
};

struct DialogState
{
  std::mutex mutex;
  std::deque<Answer> answers;
  std::vector<host::MessageDialogRecord> messages;
  std::vector<host::FileSelectRecord> fileSelects;
  Bool echo = false;
};

DialogState& State()
{
  static DialogState state;
  return state;
}

Bool EqualsNoCase(const String& a, const String& b)
{
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char l, char r) {
           return std::tolower(static_cast<unsigned char>(l)) == std::tolower(static_cast<unsigned char>(r));
         });
}

Url WithSuffix(const Url& path, const String& suffix)
{
  if (suffix.IsEmpty() || EqualsNoCase(path.GetSuffix(), suffix))
    return path;
  std::filesystem::path p = path.GetPath();
  p += "." + suffix.GetStd();
  return Url(std::move(p));
}

void Queue(Answer answer)
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  s.answers.push_back(std::move(answer));
}
} // namespace

Int32 MessageDialog(Int32 type, const String& text)
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  s.messages.push_back({type, text});
  if (s.echo)
    std::fprintf(stdout, "[dialog %d] %s\n", static_cast<int>(type), text.c_str());
  return GEMB_R_OK;
}

Bool FileSelect(Url& file, FILESELECTTYPE type, FILESELECT flags, const String& title, const String& forceSuffix)
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  host::FileSelectRecord record{title, file.GetName(), forceSuffix.IsEmpty() ? file.GetSuffix() : forceSuffix, flags,
                                false, type, Url()};

  std::optional<Url> chosen;
  if (!s.answers.empty())
  {
    const Answer answer = std::move(s.answers.front());
    s.answers.pop_front();
    switch (answer.kind)
    {
      case Answer::KIND::FILE: chosen = answer.path; break;
      case Answer::KIND::DIRECTORY:
        if (flags == FILESELECT::DIRECTORY)
          chosen = answer.path;
        else if (!record.proposedName.IsEmpty())
          chosen = answer.path.Append(record.proposedName);
        break;
      case Answer::KIND::CANCEL: break;
    }
  }
  if (chosen && flags != FILESELECT::DIRECTORY)
    chosen = WithSuffix(*chosen, forceSuffix);

  if (chosen)
  {
    record.confirmed = true;
    record.chosen = *chosen;
    file = *chosen;
  }
  if (s.echo)
    std::fprintf(stdout, "[file dialog] %s: %s\n", title.c_str(),
                 record.confirmed ? record.chosen.GetString().c_str() : "cancelled");
  const Bool confirmed = record.confirmed;
  s.fileSelects.push_back(std::move(record));
  return confirmed;
}

namespace host
{
void QueueFileSelectAnswer(const Url& path)
{
  Queue({Answer::KIND::FILE, path});
}

void QueueFileSelectDirectoryAnswer(const Url& dir)
{
  Queue({Answer::KIND::DIRECTORY, dir});
}

void QueueFileSelectCancel()
{
  Queue({Answer::KIND::CANCEL, Url()});
}

Int GetQueuedFileSelectAnswerCount()
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  return static_cast<Int>(s.answers.size());
}

std::vector<MessageDialogRecord> GetMessageDialogs()
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  return s.messages;
}

std::vector<FileSelectRecord> GetFileSelects()
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  return s.fileSelects;
}

void ResetDialogs()
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  s.answers.clear();
  s.messages.clear();
  s.fileSelects.clear();
}

void SetDialogEcho(Bool echo)
{
  DialogState& s = State();
  std::lock_guard lock(s.mutex);
  s.echo = echo;
}
} // namespace host
