#include "host/gui/gedialog.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "host/core/log.h"
#include "host/imaging/bitmap.h"

namespace
{
host::DialogGadget Gadget(host::DialogGadget::KIND kind)
{
  host::DialogGadget g;
  g.kind = kind;
  return g;
}

struct OpenDialogs
{
  std::mutex mutex;
  std::vector<GeDialog*> dialogs;
};

OpenDialogs& GetOpenDialogList()
{
  static OpenDialogs list;
  return list;
}

void SetOpen(GeDialog* dialog, Bool open)
{
  OpenDialogs& list = GetOpenDialogList();
  std::lock_guard lock(list.mutex);
  std::erase(list.dialogs, dialog);
  if (open)
    list.dialogs.push_back(dialog);
}
} // namespace

BitmapButtonCustomGui::~BitmapButtonCustomGui()
{
  if (_image)
    BaseBitmap::Free(_image);
}

Bool BitmapButtonCustomGui::SetImage(const Url& file)
{
  if (_image)
    BaseBitmap::Free(_image);
  _file = Url();
  BaseBitmap* image = BaseBitmap::Alloc();
  if (!image)
    return false;
  if (image->Init(file) != IMAGERESULT::OK)
  {
    BaseBitmap::Free(image);
    return false;
  }
  _image = image;
  _file = file;
  return true;
}

GeDialog::GeDialog() = default;

GeDialog::~GeDialog()
{
  SetOpen(this, false);
}

Bool GeDialog::CreateLayout()
{
  return true;
}

Bool GeDialog::Command(Int32, const BaseContainer&)
{
  return true;
}

Int32 GeDialog::Message(const BaseContainer&, BaseContainer&)
{
  return 0;
}

Bool GeDialog::Build()
{
  _title.clear();
  _layout.clear();
  _guis.clear();
  _depth = 0;
  if (!CreateLayout())
    return false;
  if (_depth != 0)
  {
    DiagnosticOutput("Dialog: the layout leaves a group open.");
    return false;
  }
  return true;
}

Bool GeDialog::Open(DLG_TYPE type, Int32 pluginId, Int32 xpos, Int32 ypos, Int32 defaultWidth, Int32 defaultHeight,
                    Int32 subId)
{
  if (_open)
    return true;
  _opened = host::DialogOpenRecord{type, pluginId, xpos, ypos, defaultWidth, defaultHeight, subId, nullptr, false};
  _open = Build();
  SetOpen(this, _open);
  return _open;
}

Bool GeDialog::RestoreLayout(Int32 pluginId, Int32 subId, void* secret)
{
  if (_open)
    return true;
  _opened = host::DialogOpenRecord{DLG_TYPE::ASYNC, pluginId, -1, -1, 0, 0, subId, secret, true};
  _open = Build();
  SetOpen(this, _open);
  return _open;
}

Bool GeDialog::Close()
{
  _open = false;
  SetOpen(this, false);
  return true;
}

void GeDialog::SetTitle(const String& title)
{
  _title = title;
}

Bool GeDialog::GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title, Int32 groupflags)
{
  host::DialogGadget g = Gadget(host::DialogGadget::KIND::GROUP_BEGIN);
  g.id = id;
  g.flags = flags;
  g.columns = cols;
  g.rows = rows;
  g.text = title;
  g.groupFlags = groupflags;
  _layout.push_back(std::move(g));
  ++_depth;
  return true;
}

Bool GeDialog::GroupEnd()
{
  if (_depth == 0)
    return false;
  --_depth;
  _layout.push_back(Gadget(host::DialogGadget::KIND::GROUP_END));
  return true;
}

Bool GeDialog::AddStaticText(Int32 id, Int32 flags, Int32 initw, Int32 inith, const String& name, Int32 borderstyle)
{
  host::DialogGadget g = Gadget(host::DialogGadget::KIND::STATIC_TEXT);
  g.id = id;
  g.flags = flags;
  g.width = initw;
  g.height = inith;
  g.text = name;
  g.borderStyle = borderstyle;
  _layout.push_back(std::move(g));
  return true;
}

BaseCustomGui* GeDialog::AddCustomGui(Int32 id, Int32 pluginId, const String& name, Int32 flags, Int32 minw,
                                      Int32 minh, const BaseContainer& customdata)
{
  if (pluginId != CUSTOMGUI_BITMAPBUTTON)
    return nullptr;
  auto gui = std::unique_ptr<BaseCustomGui>(new (std::nothrow) BitmapButtonCustomGui());
  if (!gui)
    return nullptr;
  host::DialogGadget g = Gadget(host::DialogGadget::KIND::CUSTOM_GUI);
  g.id = id;
  g.flags = flags;
  g.width = minw;
  g.height = minh;
  g.text = name;
  g.customType = pluginId;
  g.settings = customdata;
  g.gui = gui.get();
  _layout.push_back(std::move(g));
  _guis.push_back(std::move(gui));
  return _guis.back().get();
}

namespace host
{
Bool ClickDialogGadget(GeDialog& dialog, Int32 id)
{
  if (!dialog.IsOpen())
    return false;
  Bool known = false;
  for (const DialogGadget& g : dialog.GetLayout())
    known = known || (g.kind != DialogGadget::KIND::GROUP_END && g.id == id);
  if (!known)
    return false;
  BaseContainer msg(id);
  return dialog.Command(id, msg);
}

Int32 SendDialogMessage(GeDialog& dialog, Int32 id)
{
  if (!dialog.IsOpen())
    return 0;
  BaseContainer msg(id);
  BaseContainer result;
  return dialog.Message(msg, result);
}

std::vector<GeDialog*> GetOpenDialogs()
{
  OpenDialogs& list = GetOpenDialogList();
  std::lock_guard lock(list.mutex);
  return list.dialogs;
}

std::vector<String> GetDialogTexts(const GeDialog& dialog)
{
  std::vector<String> texts;
  for (const DialogGadget& g : dialog.GetLayout())
    if (g.kind == DialogGadget::KIND::STATIC_TEXT)
      texts.push_back(g.text);
  return texts;
}
} // namespace host
