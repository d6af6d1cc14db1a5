// The front end's actions on the document; see docactions.h.
#include "docactions.h"

#include <cctype>
#include <charconv>
#include <string>
#include <cmath>
#include <optional>

#include "host/gui/keyboard.h"
#include "host/scene/description.h"
#include "host/scene/plugins.h"
#include "host/scene/scene.h"
#include "host/scene/scenefile.h"

namespace host::app
{
namespace
{
// The description node's interface shows, as the host builds it.
Result<DescriptionPtr> DescribeNode(BaseList2D* node)
{
  DescriptionPtr description(Description::Alloc());
  if (!description)
    return OutOfMemoryError("not enough memory for a description");
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  if (!node->GetDescription(description.get(), flags))
    return IllegalStateError("its description cannot be had");
  return description;
}

std::optional<Int32> ParseId(const String& text)
{
  Int32 id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return id;
}

// The entry the text names: by id, else by name.
const DescriptionEntry* FindEntry(const Description& description, const String& text)
{
  if (const std::optional<Int32> id = ParseId(text))
    if (const DescriptionEntry* e = description.FindEntry(*id))
      return e;
  for (Int32 i = 0; i < description.GetEntryCount(); ++i)
  {
    const DescriptionEntry* e = description.GetEntry(i);
    if (e->attributes.GetString(DESC_NAME) == text)
      return e;
  }
  return nullptr;
}

String EntryLabel(const DescriptionEntry& e)
{
  const String name = e.attributes.GetString(DESC_NAME);
  return name.IsPopulated() ? "\"" + name + "\" (" + String::IntToString(e.id.id) + ")"
                            : String::IntToString(e.id.id);
}

// The value text read as the entry's type.
Result<GeData> ReadValue(const DescriptionEntry& e, const String& text)
{
  switch (e.id.dtype)
  {
    case DTYPE_BOOL:
      if (text == "true" || text == "1")
        return GeData(true);
      if (text == "false" || text == "0")
        return GeData(false);
      return IllegalArgumentError("expected true or false (got \"" + text + "\")");
    case DTYPE_LONG:
    {
      if (const std::optional<Int32> v = ParseId(text))
        return GeData(*v);
      const BaseContainer* cycle = e.attributes.GetContainerInstance(DESC_CYCLE);
      String labels;
      if (cycle)
        for (const BaseContainer::Entry& c : *cycle)
        {
          const String label = c.data.GetString();
          if (label.IsEmpty())
            continue;
          if (label == text)
            return GeData(c.id);
          labels += (labels.IsEmpty() ? "" : ", ") + ("\"" + label + "\"");
        }
      return IllegalArgumentError("expected a whole number" + (labels.IsEmpty() ? String() : " or one of " + labels) +
                                  " (got \"" + text + "\")");
    }
    case DTYPE_REAL:
    {
      Float v = 0.0;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return IllegalArgumentError("expected a number (got \"" + text + "\")");
      return GeData(v);
    }
    default: return IllegalArgumentError("cannot be set from the command line");
  }
}

// Inside the description's hard range, where it states one.
Result<void> CheckRange(const DescriptionEntry& e, const GeData& value)
{
  if (value.GetType() != DA_LONG && value.GetType() != DA_REAL)
    return OK;
  const Float v = value.GetFloat();
  const GeData* lo = e.attributes.GetDataPointer(DESC_MIN);
  const GeData* hi = e.attributes.GetDataPointer(DESC_MAX);
  if ((lo && v < lo->GetFloat()) || (hi && v > hi->GetFloat()))
    return IllegalArgumentError("outside its range");
  return OK;
}
} // namespace

Result<ButtonPress> ParseButtonPress(const String& text)
{
  const auto colon = text.rfind(':');
  if (colon == String::npos || colon == 0 || colon + 1 == text.size())
    return IllegalArgumentError("--press: expected OBJECT:BUTTON (got \"" + text + "\")");
  return ButtonPress{String(text.substr(0, colon)), String(text.substr(colon + 1))};
}

Result<PreferenceSetting> ParsePreferenceSetting(const String& text)
{
  const auto eq = text.find('=');
  if (eq == String::npos || eq == 0)
    return IllegalArgumentError("--pref: expected KEY=VALUE (got \"" + text + "\")");
  return PreferenceSetting{String(text.substr(0, eq)), String(text.substr(eq + 1))};
}

QualifiedCommand SplitQualifiers(const String& text)
{
  struct Key
  {
    const char* prefix;
    Int32 mask;
  };
  static constexpr Key KEYS[] = {{"shift+", QUALIFIER_SHIFT}, {"ctrl+", QUALIFIER_CTRL}, {"alt+", QUALIFIER_ALT}};
  QualifiedCommand out{text, QUALIFIER_NONE};
  for (Bool found = true; found;)
  {
    found = false;
    for (const Key& key : KEYS)
    {
      const std::size_t n = std::char_traits<char>::length(key.prefix);
      if (out.command.size() <= n)
        continue;
      Bool same = true;
      for (std::size_t i = 0; i < n && same; ++i)
        same = std::tolower(static_cast<unsigned char>(out.command[i])) == key.prefix[i];
      if (same)
      {
        out.command = String(out.command.substr(n));
        out.qualifiers |= key.mask;
        found = true;
      }
    }
  }
  return out;
}

Result<Int32> ResolveCommand(const String& nameOrId)
{
  if (const Int32 id = FindCommand(SplitQualifiers(nameOrId).command))
    return id;
  String names;
  for (const PluginEntry* e : GetPlugins())
    if (e->type == PLUGINTYPE::COMMAND && FindCommand(String::IntToString(e->id)) == e->id)
      names += (names.IsEmpty() ? "" : ", ") + ("\"" + GetMenuDisplayName(e->name) + "\"");
  return IllegalArgumentError("--run: no command \"" + nameOrId + "\"" +
                              (names.IsEmpty() ? String() : " (the commands: " + names + ")"));
}

Result<void> ApplyPreference(const PreferenceSetting& setting)
{
  const String where = "--pref " + setting.key;
  for (const PluginEntry* e : GetPlugins())
  {
    BaseList2D* page = e->type == PLUGINTYPE::PREFS ? GetPrefsPage(e->id) : nullptr;
    if (!page)
      continue;
    Result<DescriptionPtr> described = DescribeNode(page);
    if (described.IsError())
      continue;
    const DescriptionEntry* entry = FindEntry(*described.GetValue(), setting.key);
    if (!entry)
      continue;
    Result<GeData> value = ReadValue(*entry, setting.value);
    if (value.IsError())
      return IllegalArgumentError(where + ": " + value.GetError().GetText());
    if (Result<void> inside = CheckRange(*entry, value.GetValue()); inside.IsError())
      return IllegalArgumentError(where + ": " + setting.value + " is " + inside.GetError().GetText());
    if (!page->SetParameter(DescID(entry->id.id), value.GetValue()))
      return IllegalArgumentError(where + ": the preferences page refused " + EntryLabel(*entry));
    return OK;
  }
  return IllegalArgumentError(where + ": no preferences page has this key");
}

Result<void> RunAction(const DocumentAction& action, BaseDocument* doc)
{
  if (action.kind == DocumentAction::KIND::UNDO)
  {
    if (!doc->DoUndo())
      return IllegalStateError("--undo: there is nothing to undo");
    return OK;
  }
  const Int32 id = HOST_TRY(ResolveCommand(action.command));
  const String label = "--run \"" + action.command + "\"";
  // The keys are held as a user holds them while choosing the menu item, and let go afterwards.
  struct HeldKeys
  {
    explicit HeldKeys(Int32 mask) { SetQualifiers(mask); }
    ~HeldKeys() { SetQualifiers(QUALIFIER_NONE); }
  } held(SplitQualifiers(action.command).qualifiers);
  if ((GetCommandState(id, doc) & CMD_ENABLED) == 0)
    return IllegalStateError(label + ": the command is disabled for this selection; it was not run");
  if (!ExecuteCommand(id, doc))
    return IllegalStateError(label + ": the command failed");
  return OK;
}

Result<Int32> FindButton(BaseList2D* node, const String& button)
{
  Result<DescriptionPtr> described = DescribeNode(node);
  if (described.IsError())
    return IllegalArgumentError("\"" + node->GetName() + "\": " + described.GetError().GetText());
  const Description& description = *described.GetValue();
  const DescriptionEntry* entry = FindEntry(description, button);
  // An icon entry that acts as a button (an add-operator entry) shows its cycle's label, not a name:
  // "Noise" names the entry that adds a noise operator.
  for (Int32 i = 0; i < description.GetEntryCount() && !entry; ++i)
  {
    const DescriptionEntry* e = description.GetEntry(i);
    const BaseContainer* cycle = e->attributes.GetContainerInstance(DESC_CYCLE);
    if (e->attributes.GetInt32(DESC_CUSTOMGUI) != CUSTOMGUI_ICONCYCLE || !cycle)
      continue;
    for (const BaseContainer::Entry& c : *cycle)
      if (c.data.GetType() == DA_STRING && c.data.GetString() == button)
        entry = e;
  }
  if (!entry)
    return IllegalArgumentError("\"" + node->GetName() + "\" has no button \"" + button + "\"");
  const Bool isButton = entry->id.dtype == DTYPE_BUTTON ||
                        entry->attributes.GetInt32(DESC_CUSTOMGUI) == CUSTOMGUI_ICONCYCLE;
  if (!isButton)
    return IllegalArgumentError("\"" + node->GetName() + "\": " + EntryLabel(*entry) + " is no button");
  return entry->id.id;
}
} // namespace host::app
