// Errors of the host's result objects: a kind, a message and the source location that raised it.
#pragma once

#include <memory>
#include <source_location>

#include "host/core/string.h"

enum class ERRORKIND : Int32
{
  NULLPTR,
  ILLEGAL_ARGUMENT,
  OUT_OF_MEMORY,
  ILLEGAL_STATE,
  UNEXPECTED,
};

class Error
{
public:
  Error(ERRORKIND kind, String message, std::source_location location = std::source_location::current());

  ERRORKIND GetKind() const { return _data->kind; }
  const String& GetMessage() const { return _data->message; }
  const std::source_location& GetLocation() const { return _data->location; }

  // The text the console shows: the message alone.
  const String& GetText() const { return _data->message; }
  // The diagnostic form: message, kind and "file:line".
  String GetDiagnosticText() const;

private:
  struct Data
  {
    ERRORKIND kind;
    String message;
    std::source_location location;
  };
  // Shared and immutable, so copying an error while passing it up is cheap and keeps it intact.
  std::shared_ptr<const Data> _data;
};

const char* ErrorKindToString(ERRORKIND kind);

// Builders named by kind; each records the caller's location.
inline Error NullptrError(String msg, std::source_location loc = std::source_location::current())
{
  return Error(ERRORKIND::NULLPTR, std::move(msg), loc);
}
inline Error IllegalArgumentError(String msg, std::source_location loc = std::source_location::current())
{
  return Error(ERRORKIND::ILLEGAL_ARGUMENT, std::move(msg), loc);
}
inline Error OutOfMemoryError(String msg, std::source_location loc = std::source_location::current())
{
  return Error(ERRORKIND::OUT_OF_MEMORY, std::move(msg), loc);
}
inline Error IllegalStateError(String msg, std::source_location loc = std::source_location::current())
{
  return Error(ERRORKIND::ILLEGAL_STATE, std::move(msg), loc);
}
inline Error UnexpectedError(String msg, std::source_location loc = std::source_location::current())
{
  return Error(ERRORKIND::UNEXPECTED, std::move(msg), loc);
}
