// Message ids the host itself sends, and their data records.
#pragma once

#include "host/core/types.h"
#include "host/scene/descid.h"

class BaseDocument;
class BaseList2D;
struct IconData;

// The update message: sent without data.
inline constexpr Int32 MSG_UPDATE = 5;
// A second update message some nodes answer to; sent without data.
inline constexpr Int32 MSG_UPDATE_DESCRIPTION = 7;

// A button of the node's description was pressed; data DescriptionCommand.
inline constexpr Int32 MSG_DESCRIPTION_COMMAND = 18;
struct DescriptionCommand
{
  DescID id;   // the button's id at level 0
};

// A parameter was set through the description (after the value is stored); data
// DescriptionPostSetValue.
inline constexpr Int32 MSG_DESCRIPTION_POSTSETPARAMETER = 19;
struct DescriptionPostSetValue
{
  const DescID* descid = nullptr;
};

// Asks a node to check its values against limits it reads elsewhere (preferences); sent without data.
inline constexpr Int32 MSG_DESCRIPTION_CHECKUPDATE = 20;

// Drag-and-drop check on a parameter; the node sets result to refuse or accept.
inline constexpr Int32 MSG_DESCRIPTION_CHECKDRAGANDDROP = 26;
struct DescriptionCheckDragAndDrop
{
  DescID id;
  BaseList2D* element = nullptr;
  Bool result = true;
};

// Document information, data DocumentInfoData. The host sends it with type MSG_DOCUMENTINFO_TYPE_LOAD
// to every node of a document it has just loaded.
inline constexpr Int32 MSG_DOCUMENTINFO = 1001078;
inline constexpr Int32 MSG_DOCUMENTINFO_TYPE_LOAD = 1001;
inline constexpr Int32 MSG_DOCUMENTINFO_TYPE_MERGE = 1013;
inline constexpr Int32 MSG_DOCUMENTINFO_TYPE_UNDO = 1015;

struct DocumentInfoData
{
  Int32 type = 0;
  BaseDocument* doc = nullptr;
};

// The host asks a node for the icon to show; the node fills dat and sets filled when it has its own.
inline constexpr Int32 MSG_GETCUSTOMICON = 1001090;
struct GetCustomIconData
{
  IconData* dat = nullptr;
  Bool filled = false;
};
// Asks a node for its icon settings; data CustomIconSettings (host/gui/icons.h), which the node fills.
inline constexpr Int32 MSG_ICONSETTINGS = 1041699;
