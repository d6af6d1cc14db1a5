// The module's resources as the host serves them: the folder the module lives in and its string table.
//
// The module directory is set by whoever loads the module (the loader, or a test pointing it at a
// temporary folder); GeGetPluginPath answers it, and the module's files (res/strings.json, icon sheets,
// description resources under res/description/) are found below it. An unset directory is an empty Url.
//
// The string table is one JSON object mapping decimal ids to texts:
//
//   { "10000": "Terrain", "10017": "Registered generator operator: #", "10083": "Erosion step # of #" }
//
// Keys are decimal Int32 text (an optional "-", digits only; "010" and "10" name the same id, so
// both in one file are a duplicate); values are strings. "#" is the placeholder that
// GeLoadString(id, args...) fills with the arguments in order (String::Format; surplus "#" stay).
// A file that cannot be read, is not valid JSON, is not an object, has a bad key, a non-string value
// or the same id twice is refused with an error naming the file and the place, and the table that was
// loaded before stays as it was: a table is replaced whole or not at all.
//
// Lookups:
//   - an id the loaded table lacks answers "[string <id> missing]", so a missing text shows plainly
//     in the interface and in the console instead of as an empty label;
//   - with no table loaded (never loaded, or released at the module's last end) every lookup answers
//     the empty string, so a test can see that the release happened.
//
// Threads: lookups are safe from any thread at any time; loading or releasing swaps the whole table
// at once, and a lookup sees either the old table or the new one.
#pragma once

#include "host/core/result.h"
#include "host/core/url.h"

// The module's folder (the res/ folder is below it); empty when the loader has not set it.
Url GeGetPluginPath();

// The text of a resource string (see above for missing ids and an unloaded table).
String GeLoadString(Int32 id);
// The text with each "#" replaced, in order, by the next argument.
template <typename... Args>
String GeLoadString(Int32 id, const Args&... args)
{
  return GeLoadString(id).Format(args...);
}

// Loads the module's string table from <module directory>/res/strings.json; false (with the reason on
// the diagnostic output) when no module directory is set or the file is missing or bad.
Bool InitResource();
// Releases the string table; later lookups answer the empty string.
void FreeResource();

namespace host
{
// The file name of the string table below the module's res/ folder.
inline constexpr const char* STRING_TABLE_FILE = "strings.json";

void SetModuleDirectory(const Url& directory);

// Replaces the loaded table with the file's, or leaves it untouched and returns why the file is bad.
Result<void> LoadStringTable(const Url& file);
void ReleaseStringTable();
Bool IsStringTableLoaded();
// The text a lookup of an id missing from a loaded table answers.
String MissingStringText(Int32 id);
} // namespace host
