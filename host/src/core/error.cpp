#include "host/core/error.h"

Error::Error(ERRORKIND kind, String message, std::source_location location)
  : _data(std::make_shared<const Data>(Data{kind, std::move(message), location}))
{
}

String Error::GetDiagnosticText() const
{
  return GetMessage() + " [" + ErrorKindToString(GetKind()) + " at " + GetLocation().file_name() + ":" +
         String::IntToString(GetLocation().line()) + "]";
}

const char* ErrorKindToString(ERRORKIND kind)
{
  switch (kind)
  {
    case ERRORKIND::NULLPTR: return "NullptrError";
    case ERRORKIND::ILLEGAL_ARGUMENT: return "IllegalArgumentError";
    case ERRORKIND::OUT_OF_MEMORY: return "OutOfMemoryError";
    case ERRORKIND::ILLEGAL_STATE: return "IllegalStateError";
    case ERRORKIND::UNEXPECTED: return "UnexpectedError";
  }
  return "UnknownError";
}
