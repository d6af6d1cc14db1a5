// Plug-in dialogs (GeDialog): a dialog builds its layout in CreateLayout from groups, static texts and
// custom gadgets; the host opens it, sends it clicks (Command) and messages (Message), and closes it.
//
// The stand-in keeps the built layout as a list of gadget records that tests and the front end read,
// and lets them click a gadget or send a message as the user and the host would. Dialogs are for the
// host's main thread.
#pragma once

#include <memory>
#include <vector>

#include "host/core/url.h"
#include "host/scene/basecontainer.h"

class BaseBitmap;

enum class DLG_TYPE : Int32
{
  MODAL = 10,
  ASYNC = 22,   // non-modal: the dialog stays open beside the host's windows
};

// The custom gadget that shows a bitmap as a button, and its settings.
inline constexpr Int32 CUSTOMGUI_BITMAPBUTTON = 1000479;
inline constexpr Int32 BITMAPBUTTON_BORDER = 0x62726472;         // 'brdr'
inline constexpr Int32 BITMAPBUTTON_NOBORDERDRAW = 0x6E627264;      // 'nbrd'
inline constexpr Int32 BITMAPBUTTON_BUTTON = 0x62757474;         // 'butt'
inline constexpr Int32 BITMAPBUTTON_TOGGLE = 0x746F6767;         // 'togg'
inline constexpr Int32 BITMAPBUTTON_POPUP = 0x706F7075;          // 'popu'

// A custom gadget a dialog added; the host's interface element behind it.
class BaseCustomGui
{
public:
  virtual ~BaseCustomGui() = default;
};

class BitmapButtonCustomGui : public BaseCustomGui
{
public:
  ~BitmapButtonCustomGui() override;
  // Shows the image file on the button; false (and an empty button) when it cannot be read.
  Bool SetImage(const Url& file);
  // The file shown, empty while the button is empty.
  const Url& GetImageFile() const { return _file; }
  // The image shown (null while the button is empty); the button owns it.
  const BaseBitmap* GetImage() const { return _image; }

private:
  Url _file;
  BaseBitmap* _image = nullptr;
};

namespace host
{
// One element of a built layout, in the order CreateLayout added it.
struct DialogGadget
{
  enum class KIND
  {
    GROUP_BEGIN,
    GROUP_END,
    STATIC_TEXT,
    CUSTOM_GUI,
  } kind = KIND::GROUP_BEGIN;
  Int32 id = 0;
  Int32 flags = 0;
  Int32 columns = 0;          // groups
  Int32 rows = 0;             // groups
  Int32 groupFlags = 0;       // groups
  Int32 width = 0;            // static texts: initial size; custom gadgets: minimum size
  Int32 height = 0;
  String text;                // static texts: the text; groups: the title; custom gadgets: the name
  Int32 borderStyle = 0;      // static texts
  Int32 customType = 0;       // custom gadgets: the gadget plug-in id
  BaseContainer settings;     // custom gadgets
  BaseCustomGui* gui = nullptr;   // custom gadgets: the element (owned by the dialog)
};

// How a dialog was last opened.
struct DialogOpenRecord
{
  DLG_TYPE type = DLG_TYPE::ASYNC;
  Int32 pluginId = 0;
  Int32 x = 0;
  Int32 y = 0;
  Int32 defaultWidth = 0;
  Int32 defaultHeight = 0;
  Int32 subId = 0;
  void* secret = nullptr;   // the layout data of a restore
  Bool restored = false;
};
} // namespace host

class GeDialog
{
public:
  GeDialog();
  virtual ~GeDialog();
  GeDialog(const GeDialog&) = delete;
  GeDialog& operator=(const GeDialog&) = delete;

  // Builds the layout; the default builds nothing and answers true.
  virtual Bool CreateLayout();
  // A click on gadget id (msg: the click's details). The default answers true.
  virtual Bool Command(Int32 id, const BaseContainer& msg);
  // A message from the host (its id is msg's id); the default answers 0 (not handled).
  virtual Int32 Message(const BaseContainer& msg, BaseContainer& result);

  // Opens the dialog: builds its layout (a layout that fails leaves it closed and answers false).
  // Opening an open dialog leaves it as it is and answers true.
  Bool Open(DLG_TYPE type, Int32 pluginId, Int32 xpos = -1, Int32 ypos = -1, Int32 defaultWidth = 0,
            Int32 defaultHeight = 0, Int32 subId = 0);
  // Opens the dialog again where a saved layout had it; secret is the host's layout data.
  Bool RestoreLayout(Int32 pluginId, Int32 subId, void* secret);
  Bool Close();
  Bool IsOpen() const { return _open; }

  // Layout building, for CreateLayout.
  void SetTitle(const String& title);
  Bool GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title, Int32 groupflags);
  // False when no group is open.
  Bool GroupEnd();
  Bool AddStaticText(Int32 id, Int32 flags, Int32 initw, Int32 inith, const String& name, Int32 borderstyle);
  // A custom gadget of that type; null for a type the host does not know (bitmap buttons only here).
  BaseCustomGui* AddCustomGui(Int32 id, Int32 pluginId, const String& name, Int32 flags, Int32 minw, Int32 minh,
                              const BaseContainer& customdata);

  // Stand-in access.
  const String& GetTitle() const { return _title; }
  const std::vector<host::DialogGadget>& GetLayout() const { return _layout; }
  const host::DialogOpenRecord& GetOpenRecord() const { return _opened; }

private:
  Bool Build();

  Bool _open = false;
  String _title;
  std::vector<host::DialogGadget> _layout;
  std::vector<std::unique_ptr<BaseCustomGui>> _guis;
  Int _depth = 0;
  host::DialogOpenRecord _opened;
};

namespace host
{
// The user clicks gadget id of an open dialog: Command(id, a container carrying the id). False for a
// closed dialog or an id the layout lacks; otherwise Command's answer.
Bool ClickDialogGadget(GeDialog& dialog, Int32 id);
// The host sends message id (a container of that id) to an open dialog; Message's answer, 0 when closed.
Int32 SendDialogMessage(GeDialog& dialog, Int32 id);
// The static texts of the layout, in order.
std::vector<String> GetDialogTexts(const GeDialog& dialog);
// The dialogs open now, in the order they were opened (the front end shows them).
std::vector<GeDialog*> GetOpenDialogs();
} // namespace host
