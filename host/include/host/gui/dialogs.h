// Dialogs the module opens: the message dialog and the file-save dialog. Nothing blocks: every dialog
// is recorded, and the file dialog answers from a scripted queue (a path, or cancel), so tests and the
// front end decide what the "user" chose. Safe from any thread (one lock guards queue and logs).
#pragma once

#include <optional>
#include <vector>

#include "host/core/string.h"
#include "host/core/url.h"

// Message dialog types (a bit set of the buttons and icon shown); 48 is the plain warning box.
inline constexpr Int32 GEMB_OK = 0;
inline constexpr Int32 GEMB_ICONEXCLAMATION = 48;
inline constexpr Int32 GEMB_ICONASTERISK = 64;
// The answer of a message dialog whose OK button was pressed.
inline constexpr Int32 GEMB_R_OK = 1;

// Shows text; records (type, text). Answers the OK button (GEMB_R_OK).
Int32 MessageDialog(Int32 type, const String& text);
inline Int32 MessageDialog(const String& text) { return MessageDialog(GEMB_ICONEXCLAMATION, text); }

enum class FILESELECTTYPE : Int32
{
  ANYTHING = 0,
  IMAGES = 1,
};

enum class FILESELECT : Int32
{
  LOAD = 0,
  SAVE = 1,
  DIRECTORY = 2,
};

// Opens the file dialog titled title. On entry `file` holds the proposed name (and suffix); on
// confirmation it holds the chosen path and the answer is true; cancel answers false and leaves `file`.
// The dialog answers from the scripted queue: a directory answer keeps the proposed file name inside
// that directory, a file answer replaces it; an empty queue cancels.
// - In DIRECTORY mode the chosen directory itself is the answer (a directory answer gives that
//   directory).
// - In LOAD and SAVE mode a directory answer with no proposed name to keep cancels: there is no file
//   to confirm.
// - A non-empty forceSuffix is appended to the chosen name unless it already ends in that suffix
//   (compared without case). It is appended rather than swapped in, so a name with a dot of its own
//   ("Terrain_v1.2_heights") keeps all of its text.
Bool FileSelect(Url& file, FILESELECTTYPE type, FILESELECT flags, const String& title, const String& forceSuffix = String());

namespace host
{
struct MessageDialogRecord
{
  Int32 type;
  String text;
};
struct FileSelectRecord
{
  String title;
  String proposedName;   // the file name part proposed by the caller
  String suffix;         // forceSuffix, or the proposed name's own suffix when none was forced
  FILESELECT mode;
  Bool confirmed;
  FILESELECTTYPE type = FILESELECTTYPE::ANYTHING;
  Url chosen;            // the confirmed path; empty when cancelled
};

// Scripted answers, used in order.
void QueueFileSelectAnswer(const Url& path);            // a file path
void QueueFileSelectDirectoryAnswer(const Url& dir);    // keep the proposed name, put it in dir
void QueueFileSelectCancel();
// Answers still waiting in the queue.
Int GetQueuedFileSelectAnswerCount();

std::vector<MessageDialogRecord> GetMessageDialogs();
std::vector<FileSelectRecord> GetFileSelects();
// Clears the queue and both logs.
void ResetDialogs();
// Also print every dialog to stdout (the front end's terminal); off by default.
void SetDialogEcho(Bool echo);
} // namespace host
