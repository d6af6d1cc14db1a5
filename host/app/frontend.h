// The host front end: `ogx-host SCENE --out DIR` loads the module, opens the scene document, builds
// every terrain object in it and writes, per terrain object, its mesh (DIR/<name>.obj), its height or
// slope map as the object's own export button writes it (a TIFF named by the object), and a shaded top
// view (DIR/<name>.png), coloured by the colour channel of the material the object's texture tag links
// (sampled at the mesh's texture coordinates) or else tinted by height, with the outlines the module
// draws in the viewport for the objects below the terrain object (a gradient's shape); `--maps-only`
// writes the maps alone. The console lines, diagnostics and status
// bar the module writes are shown as they come. `--list-types` and `--describe TYPE` list what a scene
// may hold and write, from the registered plug-ins and their descriptions.
//
// After each build the front end prints the HUD line the viewport shows for that terrain object when
// it is the selected one ("HUD: ..."), and draws the line onto its top view. `--about` shows the texts of
// the module's About dialog (`--about click` or `--about shift+click` then clicks its logo and shows what
// the dialog did); `--help-page TYPE [PARAM]` asks the module's help callback for the page of
// a type (and parameter), which the module opens in the web browser through the host's Python.
//
// Every output name is made by one rule (SafeFileName, then a number where this run already wrote the
// name); every file is written under a temporary name and renamed when complete, and only files
// actually written are reported. A failed object says why, in the summary too (also with --quiet).
//
// Before the build the run can set preferences (--pref) and change the document as a user of the host
// would: run menu commands on the selection the scene file marks (--run, honouring each command's
// enabling state) and undo (--undo), in the order given. After the build it can press parameter buttons
// (--press; a file a button saves lands in the output folder), write the icon the host's object list
// shows for each of the module's objects (--icons: a generator shows its blend mode's icon over its
// own) and save the document (--save).
//
// Exit codes: 0 everything written and done; 1 a terrain object could not be built or written (the
// others still are), or a command, undo, button press or save asked for could not be done; 2 the command
// line, the module, the scene, a preference or the output folder is unusable (nothing is built);
// 130 interrupted (Ctrl-C): what was left undone is listed and temporary files are removed. A second
// Ctrl-C ends the run at once, still removing the file being written.
#pragma once

#include <optional>
#include <vector>

#include "docactions.h"
#include "host/core/result.h"
#include "host/core/url.h"
#include "host/gui/basedraw.h"

namespace host::app
{
inline constexpr Int32 EXIT_OK = 0;
inline constexpr Int32 EXIT_OBJECT_FAILED = 1;
inline constexpr Int32 EXIT_UNUSABLE = 2;
inline constexpr Int32 EXIT_INTERRUPTED = 130;   // 128 + SIGINT, as shells report it

struct FrontEndOptions
{
  Url scene;
  Url outDir;
  Bool slope = false;
  Bool mapsOnly = false;   // no mesh file and no top view
  Float lod = 1.0;
  Int threads = 0;   // 0: the machine's hardware threads
  Bool quiet = false;
  Bool help = false;
  Bool listTypes = false;
  std::optional<String> describe;   // a type's id or description name
  Bool about = false;
  std::optional<Int32> aboutClick;   // --about click: the qualifier keys held while the logo is clicked
  std::optional<String> helpType;   // --help-page TYPE [PARAM]
  String helpProperty;
  std::optional<Url> module;   // else $OGX_MODULE, else orogenix.so beside the executable
  std::vector<PreferenceSetting> preferences;   // --pref, set once the module has started
  std::vector<DocumentAction> actions;          // --run and --undo, in order, before the build
  std::vector<ButtonPress> presses;             // --press, in order, after the build
  std::optional<Url> save;                      // --save: the document as it is at the end
  Bool icons = false;                           // --icons: each module object's object-list icon
};

// The usage text printed by --help and after a command-line error.
String UsageText();
// Reads the command line (argv[0] excluded). Errors name the offending argument, e.g.
// "--lod: expected a number above 0 (got \"x\")".
Result<FrontEndOptions> ParseArguments(const std::vector<String>& args);
// The module file: the option's, else $OGX_MODULE's, else orogenix.so in the executable's folder.
Url FindModuleFile(const FrontEndOptions& options);
// A file name part made from a name (an object's, or the name an export proposes): separators, control
// characters (NUL included) and characters that are awkward in file names become '_', a leading '.'
// too; cut to at most 200 bytes at a character boundary, so that a suffix and a number still fit the
// file system's 255; an empty name gives "Terrain".
String SafeFileName(const String& name);
// What the view shows over a width x height view of doc while terrain is the only selected object: the
// HUD texts the scene hooks draw after their execution pass. The selection is put back afterwards.
std::vector<HudText> ViewHud(BaseDocument* doc, BaseObject* terrain, Int32 width, Int32 height);
// Runs the front end; answers the exit code.
Int32 RunFrontEnd(const FrontEndOptions& options);
} // namespace host::app
