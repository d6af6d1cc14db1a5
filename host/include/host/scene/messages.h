// Message ids the host itself sends, and their data records.
#pragma once

#include "host/core/types.h"

class BaseDocument;

// The update message: sent without data.
inline constexpr Int32 MSG_UPDATE = 5;

// Document information, data DocumentInfoData. The host sends it with type MSG_DOCUMENTINFO_TYPE_LOAD
// to every node of a document it has just loaded.
inline constexpr Int32 MSG_DOCUMENTINFO = 1001078;
inline constexpr Int32 MSG_DOCUMENTINFO_TYPE_LOAD = 1001;

struct DocumentInfoData
{
  Int32 type = 0;
  BaseDocument* doc = nullptr;
};
