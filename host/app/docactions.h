// What a front-end user does to the document besides building it, as the host's own interface would let
// them: set the preferences for the run, run menu commands on the scene's selection, undo, and press a
// parameter's button.
//
// Commands are found by the name their menu shows or by their id, and run only while they are enabled,
// as a menu runs them. Preferences are set through the preferences page that has the key, so each value
// is stored with the key's own type. Buttons are found by id or by the name the object's description
// gives them.
#pragma once

#include "host/core/result.h"
#include "host/core/string.h"

class BaseDocument;
class BaseList2D;

namespace host::app
{
// One thing done to the document before the build, in command-line order.
struct DocumentAction
{
  enum class KIND
  {
    RUN,    // a registered command, by its menu name or id
    UNDO,   // the host's undo of the last step
  };
  KIND kind = KIND::RUN;
  String command;
};

// A button pressed after the build: on the first object of that name (hierarchy order), the button by
// its id or the name in the object's description.
struct ButtonPress
{
  String object;
  String button;
};

// A preference for the run: a key by id or by the name the preferences page gives it, and its value as
// text, read as the key's type (a number, true or false, or one of a cycle's labels).
struct PreferenceSetting
{
  String key;
  String value;
};

// "OBJECT:BUTTON" (the last ':' separates them; both parts non-empty).
Result<ButtonPress> ParseButtonPress(const String& text);
// "KEY=VALUE" (the first '=' separates them; the key non-empty).
Result<PreferenceSetting> ParsePreferenceSetting(const String& text);

// A --run names a command, optionally with the qualifier keys held while the menu item is chosen:
// "Shift+Decrease Resolution" (the prefix without case, as many as wanted: "Shift+Ctrl+...").
struct QualifiedCommand
{
  String command;        // the name or id, without the qualifiers
  Int32 qualifiers = 0;  // QUALIFIER_SHIFT ...
};
QualifiedCommand SplitQualifiers(const String& text);

// The registered command a --run names (qualifiers allowed); an error lists the commands there are.
Result<Int32> ResolveCommand(const String& nameOrId);
// Sets the preference through the page that has the key. Errors name the key: no page has it, the
// value is not of its type or outside its range, or the page refuses it.
Result<void> ApplyPreference(const PreferenceSetting& setting);
// Runs the action on doc, with the command's qualifier keys held while the host asks its state and runs
// it (released afterwards). A disabled command is not run (an error says so), nor is an undo with
// nothing to undo; a command whose Execute fails is an error too.
Result<void> RunAction(const DocumentAction& action, BaseDocument* doc);
// The id of the button the text names on node: a decimal id, the name of a button in the node's
// description, or the label an icon entry that acts as a button shows (an add-operator entry: "Noise").
Result<Int32> FindButton(BaseList2D* node, const String& button);
} // namespace host::app
