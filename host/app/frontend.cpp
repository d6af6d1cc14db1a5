// The host front end's driver; see frontend.h.
#include "frontend.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <set>

#include "host/app/moduleloader.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/partialfile.h"
#include "host/core/thread.h"
#include "host/gui/dialogs.h"
#include "host/gui/gedialog.h"
#include "host/gui/help.h"
#include "host/gui/icons.h"
#include "host/gui/keyboard.h"
#include "host/gui/layouts.h"
#include "host/imaging/bitmap.h"
#include "host/scene/coreevents.h"
#include "host/scene/execution.h"
#include "host/scene/description.h"
#include "host/scene/nodetypes.h"
#include "host/scene/scene.h"
#include "host/scene/scenefile.h"
#include "hudtext.h"
#include "host/shading/shaders.h"
#include "meshexport.h"
#include "topview.h"

namespace host::app
{
namespace
{
// The module's terrain object as stored documents name it: its plug-in id, its export button and the
// export mode parameter (0 heights, 1 slopes).
constexpr Int32 TERRAIN_OBJECT_TYPE = 1054563;
constexpr Int32 TERRAIN_EXPORT_BUTTON = 10091;
constexpr Int32 TERRAIN_EXPORT_MODE = 10090;
constexpr Int32 TERRAIN_EXPORT_MODE_SLOPES = 1;
// The module's About command.
constexpr Int32 ABOUT_COMMAND = 1054744;

constexpr const char* MODULE_FILE_NAME = "orogenix.so";
constexpr const char* MODULE_ENVIRONMENT = "OGX_MODULE";
constexpr Int MAX_FILE_NAME_BYTES = 200;
// Non-terminal output shows the progress in steps of this many percent.
constexpr Int32 PROGRESS_STEP = 10;

// ---------------------------------------------------------------------------------------------------
// Terminal output

// Shows what the module writes while it writes it. Console lines and the front end's own lines go to
// stdout, diagnostics and errors to stderr. On a terminal the status bar is one line redrawn in place;
// elsewhere each new status text is a line, and the percent is shown in steps of PROGRESS_STEP.
// The host calls the listeners from whichever thread writes, so output is serialised here.
class Terminal
{
public:
  explicit Terminal(Bool quiet) : _quiet(quiet), _tty(isatty(STDOUT_FILENO) == 1)
  {
    if (_quiet)
      return;
    Console().SetListener([this](const String& line) { Print(stdout, line); });
    Diagnostics().SetListener([this](const String& line) { Print(stderr, "[diagnostic] " + line); });
    SetStatusListener([this](const StatusEvent& e) { Status(e); });
  }
  ~Terminal()
  {
    if (_quiet)
      return;
    Console().SetListener(nullptr);
    Diagnostics().SetListener(nullptr);
    SetStatusListener(nullptr);
    std::lock_guard lock(_mutex);
    EraseStatusLine();
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void Info(const String& line)
  {
    if (!_quiet)
      Print(stdout, line);
  }
  // Errors and warnings show also with --quiet.
  void Error(const String& line) { Print(stderr, "ogx-host: " + line); }
  void Warning(const String& line) { Print(stderr, "ogx-host: warning: " + line); }

private:
  void Print(std::FILE* stream, const String& line)
  {
    std::lock_guard lock(_mutex);
    EraseStatusLine();
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    DrawStatusLine();
  }

  void Status(const StatusEvent& e)
  {
    std::lock_guard lock(_mutex);
    switch (e.kind)
    {
      case StatusEvent::KIND::TEXT:
        if (e.text == _text && _shown)
          return;
        _text = e.text;
        _printedPercent = -1;
        break;
      case StatusEvent::KIND::BAR:
        if (e.percent == _percent && _shown)
          return;
        _percent = e.percent;
        break;
      case StatusEvent::KIND::CLEAR:
        EraseStatusLine();
        _text.clear();
        _percent = 0;
        _shown = false;
        _printedPercent = -1;
        return;
    }
    _shown = true;
    if (_tty)
    {
      EraseStatusLine();
      DrawStatusLine();
      return;
    }
    // A line per new text, and per PROGRESS_STEP reached.
    const Int32 step = _percent / PROGRESS_STEP * PROGRESS_STEP;
    if (e.kind == StatusEvent::KIND::TEXT || step != _printedPercent)
    {
      _printedPercent = step;
      std::fprintf(stdout, "%s\n", StatusText().c_str());
      std::fflush(stdout);
    }
  }

  String StatusText() const
  {
    String text = "[status] " + _text;
    if (_percent > 0)
      text += " " + String::IntToString(_percent) + "%";
    return text;
  }
  void EraseStatusLine()
  {
    if (_tty && _drawn)
    {
      std::fputs("\r\033[K", stdout);
      std::fflush(stdout);
      _drawn = false;
    }
  }
  void DrawStatusLine()
  {
    if (_tty && _shown)
    {
      std::fputs(StatusText().c_str(), stdout);
      std::fflush(stdout);
      _drawn = true;
    }
  }

  const Bool _quiet;
  const Bool _tty;
  std::mutex _mutex;
  String _text;
  Int32 _percent = 0;
  Int32 _printedPercent = -1;
  Bool _shown = false;   // the status bar holds something
  Bool _drawn = false;   // the status line is on the terminal now
};

// ---------------------------------------------------------------------------------------------------
// Ctrl-C asks the running build and writers to stop (the module's loops test the build thread's break
// flag; the writers ask between pieces); the run then lists what it left undone and ends with 130. A
// second Ctrl-C ends the process at once, after removing the files being written.

std::atomic<HostThread*> g_buildThread{nullptr};
std::atomic<Int32> g_interrupts{0};

extern "C" void OnInterrupt(int)
{
  if (g_interrupts.fetch_add(1) == 0)
  {
    if (HostThread* thread = g_buildThread.load())
      thread->SetBreak();
    return;
  }
  // Only async-signal-safe calls from here on.
  host::RemovePartialFiles();
  static const char message[] = "\nogx-host: interrupted again: stopped at once\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(EXIT_INTERRUPTED);
}

Bool Interrupted()
{
  return g_interrupts.load() > 0;
}

// Points the handler at the build's thread while the terrains are built. The handler itself is
// installed once and stays: a Ctrl-C while the run winds up (freeing the document, unloading the module)
// is still counted, and a second one still ends the process with 130.
class InterruptScope
{
public:
  explicit InterruptScope(HostThread* thread)
  {
    g_buildThread.store(thread);
    struct sigaction action{};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
  }
  ~InterruptScope() { g_buildThread.store(nullptr); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

// ---------------------------------------------------------------------------------------------------
// Helpers

// Frees the document before the module goes: its objects' code lives in the module.
struct DocumentHolder
{
  BaseDocument* doc = nullptr;
  ~DocumentHolder()
  {
    if (doc)
      BaseDocument::Free(doc);
  }
};

Result<void> PrepareOutputDirectory(const Url& dir)
{
  const String name = dir.GetString();
  std::error_code ec;
  std::filesystem::create_directories(dir.GetPath(), ec);
  if (ec)
    return IllegalArgumentError("Cannot create the output folder " + name + ": " + String(ec.message()));
  if (!dir.IsDirectory())
    return IllegalArgumentError("The output folder " + name + " is not a folder");
  // Permission bits do not tell the whole story (read-only mounts, ACLs): try it.
  const std::filesystem::path probe = dir.GetPath() / (".ogx-host-probe-" + std::to_string(getpid()));
  std::FILE* f = std::fopen(probe.c_str(), "wb");
  if (!f)
    return IllegalArgumentError("Cannot write to the output folder " + name + ": " + String(std::strerror(errno)));
  std::fclose(f);
  std::filesystem::remove(probe, ec);
  return OK;
}

// Terrain objects below (and including) op's list, children before their parents, so that a terrain
// object nested in another is built first, as the host's build order has it.
void CollectTerrainObjects(BaseObject* op, std::vector<BaseObject*>& out)
{
  for (; op; op = op->GetNext())
  {
    CollectTerrainObjects(op->GetDown(), out);
    if (op->GetType() == TERRAIN_OBJECT_TYPE)
      out.push_back(op);
  }
}

Bool EqualsNoCase(const String& a, const String& b)
{
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char l, char r) {
           return std::tolower(static_cast<unsigned char>(l)) == std::tolower(static_cast<unsigned char>(r));
         });
}

// The one rule for output names: the safe form of a name, then base_2, base_3 ... for the first that
// this run has not written with that suffix.
String OutputName(const String& name, const String& suffix, std::set<String>& used)
{
  const String base = SafeFileName(name);
  String out = base + suffix;
  for (Int n = 2; used.count(out) != 0; ++n)
    out = base + "_" + String::IntToString(n) + suffix;
  used.insert(out);
  return out;
}

String ObjectLabel(const BaseObject* op)
{
  return "Terrain \"" + op->GetName() + "\"";
}

// What became of one terrain object's outputs.
struct ObjectOutcome
{
  std::vector<String> failures;   // why something was not written, in order
  std::vector<String> undone;     // outputs an interrupt left unwritten ("the mesh", "the map" ...)
};

// One terrain object's outputs.
class TerrainExporter
{
public:
  TerrainExporter(const FrontEndOptions& options, Terminal& terminal) : _options(options), _terminal(terminal) {}

  ObjectOutcome Export(BaseObject* op, HierarchyContext& hh)
  {
    ObjectOutcome outcome;
    try
    {
      ExportOutputs(op, hh, outcome);
    }
    catch (const std::bad_alloc&)
    {
      Fail(op, outcome, "not enough memory");
    }
    return outcome;
  }

private:
  void Fail(const BaseObject* op, ObjectOutcome& outcome, const String& why)
  {
    _terminal.Error(ObjectLabel(op) + ": " + why);
    outcome.failures.push_back(why);
  }

  std::vector<String> Outputs() const
  {
    if (_options.mapsOnly)
      return {"the map"};
    return {"the mesh", "the map", "the top view"};
  }

  // Records an interrupt: the outputs from `from` on were not written.
  Bool StopIfInterrupted(ObjectOutcome& outcome, std::size_t from)
  {
    if (!Interrupted())
      return false;
    const std::vector<String> outputs = Outputs();
    for (std::size_t i = from; i < outputs.size(); ++i)
      outcome.undone.push_back(outputs[i]);
    return true;
  }

  void ExportOutputs(BaseObject* op, HierarchyContext& hh, ObjectOutcome& outcome)
  {
    _terminal.Info("Building " + ObjectLabel(op));
    // What the module says while it builds is its account of a failure.
    const Int consoleBefore = Console().GetCount();
    BaseObject* cache = BuildObjectCache(op, &hh);
    if (StopIfInterrupted(outcome, 0))
      return;
    if (!cache)
    {
      const std::vector<String> lines = Console().GetLines();
      String said;
      for (std::size_t i = static_cast<std::size_t>(consoleBefore); i < lines.size(); ++i)
        said += (said.IsEmpty() ? "" : "; ") + lines[i];
      Fail(op, outcome, said.IsEmpty() ? String("the build gave no mesh") : "the build failed: " + said);
      return;
    }
    // Core events the build posted are delivered now, as the host's event loop would between builds.
    ProcessCoreEvents();
    for (const HudText& text : ViewHud(hh.GetDocument(), op, TOPVIEW_DEFAULT_SIZE, TOPVIEW_DEFAULT_SIZE))
      _terminal.Info("HUD: " + text.text);
    const Result<std::vector<MeshPart>> parts = CollectMeshParts(cache);
    if (parts.IsError())
    {
      Fail(op, outcome, "the built mesh is broken: " + parts.GetError().GetText());
      return;
    }

    // After each output: an interrupt leaves this one (when it was not written) and the rest undone.
    std::size_t step = 0;
    const auto after = [&](Bool written) { return StopIfInterrupted(outcome, written ? ++step : step++); };
    if (!_options.mapsOnly && after(WriteMesh(op, parts.GetValue(), outcome)))
      return;
    if (after(ExportMap(op, outcome)))
      return;
    if (!_options.mapsOnly)
      after(WriteTopView(op, hh.GetDocument(), parts.GetValue(), Outlines(op, cache), outcome));
  }

  // What the module draws in the viewport of the objects below the terrain object (a gradient's
  // outline ...), as lines in the space of the cache's root. The viewport draws an object in its object
  // and handle passes with the state bit BIT_ACTIVE set, which marks the objects it shows; the bits
  // are put back afterwards.
  static std::vector<TopViewLine> Outlines(BaseObject* op, const BaseObject* cache)
  {
    BaseDraw bd;
    DrawBelow(op->GetDown(), bd);
    const Matrix toRoot = ~(op->GetMg() * cache->GetMl());
    std::vector<TopViewLine> lines;
    for (const WorldLine& l : bd.GetWorldLines())
      lines.push_back(TopViewLine{toRoot * l.a, toRoot * l.b, l.colour});
    return lines;
  }

  static void DrawBelow(BaseObject* op, BaseDraw& bd)
  {
    for (; op; op = op->GetNext())
    {
      const Int32 bits = op->GetAllBits();
      op->SetBit(BIT_ACTIVE);
      DrawObject(op, DRAWPASS::OBJECT, &bd);
      DrawObject(op, DRAWPASS::HANDLES, &bd);
      op->SetAllBits(bits);
      DrawBelow(op->GetDown(), bd);
    }
  }

  Bool WriteMesh(const BaseObject* op, const std::vector<MeshPart>& parts, ObjectOutcome& outcome)
  {
    const Url objFile = _options.outDir.Append(OutputName(op->GetName(), ".obj", _used));
    StatusSetText("Writing " + objFile.GetName() + "...");
    ObjWriteOptions write;
    write.progress = [](Int32 percent) { StatusSetBar(percent); };
    write.cancelled = [] { return Interrupted(); };
    const Result<ObjStatistics> stats = WriteObj(parts, op->GetName(), objFile, write);
    StatusClear();
    if (stats.IsError())
    {
      if (!Interrupted())
        Fail(op, outcome, stats.GetError().GetText());
      return false;
    }
    const ObjStatistics& s = stats.GetValue();
    _terminal.Info("Wrote " + objFile.GetString() + " (" + String::IntToString(s.points) + " points, " +
                   String::IntToString(s.polygons) + " polygons)");
    if (s.notFinite > 0)
      _terminal.Warning(ObjectLabel(op) + ": " + String::IntToString(s.notFinite) +
                        " points of the mesh are not finite numbers (written as they are; the top view leaves "
                        "them out)");
    return true;
  }

  Bool WriteTopView(BaseObject* op, BaseDocument* doc, const std::vector<MeshPart>& parts,
                    const std::vector<TopViewLine>& outlines, ObjectOutcome& outcome)
  {
    const Url pngFile = _options.outDir.Append(OutputName(op->GetName(), ".png", _used));
    // A terrain with a material shows the material's colour channel at the mesh's texture coordinates;
    // one whose channel cannot be prepared is still shown, tinted by height.
    ColorChannelSampler channel;
    SurfaceColour colour;
    String colouredBy;
    if (const BaseTag* tag = FindTextureTag(op))
    {
      BaseMaterial* material = GetTextureTagMaterial(tag);
      const Int32 texflag = tag->GetDataInstanceRef().GetBool(TEXTURETAG_TILE, true) ? TEX_TILE : 0;
      const Result<void> ready = channel.Init(material, InitRenderStruct(doc));
      if (ready.IsError())
        _terminal.Warning(ObjectLabel(op) + ": " + ready.GetError().GetText() + "; the top view is tinted by height");
      else
      {
        colour = [&channel, texflag](const Vector& uvw) { return channel.Sample(uvw, texflag); };
        colouredBy = ", coloured by material \"" + material->GetName() + "\"";
      }
    }
    Result<RgbaImage> view = RenderTopView(parts, TOPVIEW_DEFAULT_SIZE, outlines, colour);
    channel.Free();
    // The HUD line over the top view, where the viewport would show it.
    if (view.IsOk())
      for (const HudText& text : ViewHud(doc, op, view.GetValue().width, view.GetValue().height))
        DrawText(view.GetValue(), text.x, text.y, text.text);
    const Result<void> written = view.IsOk() ? WritePng(view.GetValue(), pngFile) : Result<void>(view.GetError());
    if (written.IsError())
    {
      Fail(op, outcome, written.GetError().GetText());
      return false;
    }
    _terminal.Info("Wrote " + pngFile.GetString() + " (" + String::IntToString(view.GetValue().width) + " x " +
                   String::IntToString(view.GetValue().height) + " top view" + colouredBy + ")");
    return true;
  }

  // Presses the object's export button and reports the map it wrote. A file is reported only when the
  // object said nothing of a failure and the file is there.
  Bool ExportMap(BaseObject* op, ObjectOutcome& outcome)
  {
    if (_options.slope && !op->SetParameter(DescID(TERRAIN_EXPORT_MODE), GeData(TERRAIN_EXPORT_MODE_SLOPES)))
    {
      Fail(op, outcome, "the export mode cannot be set");
      return false;
    }
    const PressResult pressed = Press(op, TERRAIN_EXPORT_BUTTON);
    for (const String& p : pressed.problems)
      Fail(op, outcome, p);
    for (const String& said : pressed.said)
      Fail(op, outcome, "the map export said: " + said);
    if (!pressed.answered)
      Fail(op, outcome, "the map export failed");
    for (const Url& file : pressed.written)
      _terminal.Info("Wrote " + file.GetString() + " (" + String(_options.slope ? "slope" : "height") + " map)");
    if (pressed.Succeeded() && pressed.written.empty() && !Interrupted())
      _terminal.Info(ObjectLabel(op) + ": no map was exported (the terrain grid is too small)");
    return !pressed.written.empty();
  }

public:
  // What pressing a button did.
  struct PressResult
  {
    Bool answered = true;             // the object's answer to the press
    std::vector<String> said;         // the message dialogs it showed
    std::vector<String> problems;     // what went wrong on the front end's side
    std::vector<Url> written;         // the files it saved, now in the output folder
    Bool Succeeded() const { return answered && said.empty() && problems.empty(); }
  };

  // Presses the button with the save dialog answering a file in a fresh scratch folder, then moves any
  // file the object wrote into the output folder under the name the object proposed, made safe by the
  // one rule for output names. Nothing is moved when the object showed a failure.
  PressResult Press(BaseList2D* op, Int32 button)
  {
    PressResult result;
    const std::filesystem::path staging =
      _options.outDir.GetPath() / (".ogx-export-" + std::to_string(getpid()) + "-" + std::to_string(_exports++));
    std::error_code ec;
    std::filesystem::create_directories(staging, ec);
    if (ec)
    {
      result.problems.push_back("cannot create " + String(staging.string()) + ": " + String(ec.message()));
      return result;
    }
    // A short name of our own: the object's proposal may be too long for the file system or hold a NUL.
    const std::filesystem::path staged = staging / STAGED_FILE_NAME;
    const host::PartialFile partialFolder(staging, host::PartialFile::KIND::FOLDER);
    const host::PartialFile partialFile(staged);

    ResetDialogs();
    QueueFileSelectAnswer(Url(staged));
    DescriptionCommand command;
    command.id = DescID(button);
    result.answered = op->Message(MSG_DESCRIPTION_COMMAND, &command);
    const std::vector<FileSelectRecord> selects = GetFileSelects();
    for (const MessageDialogRecord& d : GetMessageDialogs())
      result.said.push_back(d.text);
    ResetDialogs();

    for (const FileSelectRecord& s : selects)
    {
      if (!result.Succeeded() || !s.confirmed || !s.chosen.Exists())
        continue;
      const String suffix(s.chosen.GetPath().extension().string());
      const Url target = _options.outDir.Append(OutputName(ProposedStem(s), suffix, _used));
      std::filesystem::rename(s.chosen.GetPath(), target.GetPath(), ec);
      if (ec)
      {
        result.problems.push_back("cannot move the file to " + target.GetString() + ": " + String(ec.message()));
        continue;
      }
      result.written.push_back(target);
    }
    std::filesystem::remove_all(staging, ec);
    return result;
  }

  // Writes the icon the object list shows for op (DIR/<name>_icon.png): the host asks the object for a
  // composed icon first and shows the icon registered for its type when it has none. Nothing for a type
  // without an icon (the host's own objects); the file written otherwise.
  Result<std::optional<Url>> WriteIcon(BaseObject* op)
  {
    constexpr Int32 ICON_SIZE = 64;
    if (IconData registered; !GetIcon(op->GetType(), &registered))
      return std::optional<Url>();
    BaseBitmap* icon = BaseBitmap::Alloc();
    if (!icon || icon->Init(ICON_SIZE, ICON_SIZE, 32) != IMAGERESULT::OK)
    {
      BaseBitmap::Free(icon);
      return OutOfMemoryError("not enough memory for an icon");
    }
    IconData target{icon, 0, 0, ICON_SIZE, ICON_SIZE};
    GetCustomIconData request{&target, false};
    op->Message(MSG_GETCUSTOMICON, &request);
    if (!request.filled)
    {
      BaseBitmap::Free(icon);
      icon = CopyIcon(op->GetType());
      if (!icon)
        return OutOfMemoryError("not enough memory for an icon");
    }
    RgbaImage image;
    image.width = icon->GetBw();
    image.height = icon->GetBh();
    image.pixels.reserve(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4);
    for (Int32 y = 0; y < image.height; ++y)
      for (Int32 x = 0; x < image.width; ++x)
      {
        UInt16 r = 0, g = 0, b = 0;
        icon->GetPixel(x, y, &r, &g, &b);
        image.pixels.push_back(static_cast<UChar>(r));
        image.pixels.push_back(static_cast<UChar>(g));
        image.pixels.push_back(static_cast<UChar>(b));
        image.pixels.push_back(icon->HasAlpha() ? icon->GetAlpha(x, y) : UChar(255));
      }
    BaseBitmap::Free(icon);
    const Url file = _options.outDir.Append(OutputName(op->GetName() + "_icon", ".png", _used));
    HOST_TRY(WritePng(image, file));
    return std::optional<Url>(file);
  }

private:
  // The name the object proposed, without its suffix.
  static String ProposedStem(const FileSelectRecord& s)
  {
    String stem = s.proposedName;
    const String dotted = "." + s.suffix;
    if (s.suffix.IsPopulated() && stem.size() > dotted.size() &&
        EqualsNoCase(String(stem.substr(stem.size() - dotted.size())), dotted))
      stem.resize(stem.size() - dotted.size());
    return stem;
  }

  static constexpr const char* STAGED_FILE_NAME = "map.tif";

  const FrontEndOptions& _options;
  Terminal& _terminal;
  std::set<String> _used;   // file names written by this run
  Int _exports = 0;
};

// The preferences page a user finds under that name in the host's preferences window.
BaseList2D* FindPreferencesPage(const String& name)
{
  for (const PluginEntry* e : GetPlugins())
    if (e->type == PLUGINTYPE::PREFS && (e->name == name || GetMenuDisplayName(e->name) == name))
      return GetPrefsPage(e->id);
  return nullptr;
}

// --press: the named object's button (or, when the scene has no object of that name, the button of the
// preferences page of that name), pressed after the build; a file it saves goes into the output folder
// like the maps, and a layout or palette it asks the host to load is shown.
Result<void> PressButton(BaseDocument* doc, const ButtonPress& press, TerrainExporter& exporter, Terminal& terminal)
{
  const String label = "--press " + press.object + ":" + press.button;
  BaseList2D* op = doc->SearchObject(press.object);
  if (!op)
    op = FindPreferencesPage(press.object);
  if (!op)
    return IllegalArgumentError(label + ": the scene has no object \"" + press.object +
                                "\" and no preferences page has that name");
  const Result<Int32> button = FindButton(op, press.button);
  if (button.IsError())
    return IllegalArgumentError(label + ": " + button.GetError().GetText());
  const std::size_t loadsBefore = GetLoadFileRequests().size();
  TerrainExporter::PressResult pressed = exporter.Press(op, button.GetValue());
  for (const Url& file : pressed.written)
    terminal.Info("Wrote " + file.GetString() + " (" + label + ")");
  // No window takes a palette here: the load is shown, and a file the host could not load is a failure.
  const std::vector<LoadFileRecord> loads = GetLoadFileRequests();
  for (std::size_t i = loadsBefore; i < loads.size(); ++i)
  {
    if (loads[i].loaded)
      terminal.Info("Loaded " + loads[i].file.GetString() + " into the interface (" + label + ")");
    else
      pressed.problems.push_back("the host could not load " + loads[i].file.GetString());
  }
  if (pressed.Succeeded())
  {
    if (pressed.written.empty() && loads.size() == loadsBefore)
      terminal.Info("Pressed " + press.button + " on \"" + press.object + "\" (no file was written)");
    return OK;
  }
  String why;
  for (const String& said : pressed.said)
    why += (why.IsEmpty() ? "" : "; ") + ("the object said: " + said);
  for (const String& problem : pressed.problems)
    why += (why.IsEmpty() ? "" : "; ") + problem;
  if (!pressed.answered)
    why += (why.IsEmpty() ? "" : "; ") + String("the object answered that it failed");
  return IllegalStateError(label + ": " + why);
}

// --icons: the object-list icon of every object from op on (hierarchy order) whose type has one.
void WriteIcons(BaseObject* op, TerrainExporter& exporter, Terminal& terminal, std::vector<String>& notDone)
{
  for (; op; op = op->GetNext())
  {
    const Result<std::optional<Url>> written = exporter.WriteIcon(op);
    if (written.IsError())
    {
      const String why = "--icons: \"" + op->GetName() + "\": " + written.GetError().GetText();
      terminal.Error(why);
      notDone.push_back(why);
    }
    else if (written.GetValue())
      terminal.Info("Wrote " + written.GetValue()->GetString() + " (the icon of \"" + op->GetName() + "\")");
    WriteIcons(op->GetDown(), exporter, terminal, notDone);
  }
}

Result<Float> ParseFloat(const String& option, const String& text)
{
  Float value = 0.0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(value) || value <= 0.0)
    return IllegalArgumentError(option + ": expected a number above 0 (got \"" + text + "\")");
  return value;
}

Result<Int> ParseCount(const String& option, const String& text)
{
  Int value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || value < 1 || value > 1024)
    return IllegalArgumentError(option + ": expected a whole number from 1 to 1024 (got \"" + text + "\")");
  return value;
}

Url ExecutableFolder()
{
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? Url() : Url(exe.parent_path());
}

// ---------------------------------------------------------------------------------------------------
// --list-types and --describe

const char* KindText(PLUGINTYPE type)
{
  switch (type)
  {
    case PLUGINTYPE::OBJECT: return "object";
    case PLUGINTYPE::TAG: return "tag";
    case PLUGINTYPE::SHADER: return "shader";
    default: return "";
  }
}

const char* KindText(NODEKIND kind)
{
  switch (kind)
  {
    case NODEKIND::OBJECT: return "object";
    case NODEKIND::TAG: return "tag";
    case NODEKIND::SHADER: return "shader";
    case NODEKIND::MATERIAL: return "material";
    default: return "";
  }
}

String Padded(const String& text, std::size_t width)
{
  return text.size() >= width ? text + " " : text + String(std::string(width - text.size(), ' '));
}

Bool IsNodePlugin(const host::PluginEntry& e)
{
  return e.type == PLUGINTYPE::OBJECT || e.type == PLUGINTYPE::TAG || e.type == PLUGINTYPE::SHADER;
}

Int32 ListTypes()
{
  std::printf("Types a scene may hold (\"type\": the id, or the name where there is one):\n\n");
  std::printf("  %-10s %-24s %-9s %s\n", "id", "name", "kind", "shown as");
  for (const host::PluginEntry* e : host::GetPlugins())
    if (IsNodePlugin(*e))
      std::printf("  %-10d %-24s %-9s %s\n", e->id, e->description.c_str(), KindText(e->type),
                  host::GetMenuDisplayName(e->name).c_str());
  std::printf("\nBuilt into the host (written by id):\n\n");
  for (const host::BuiltinType* t : host::GetBuiltinTypes())
    std::printf("  %-10d %-24s %-9s %s\n", t->type, "", KindText(t->kind), t->name.c_str());
  std::printf("\nogx-host --describe TYPE lists a type's parameters.\n");
  return EXIT_OK;
}

// A description attribute's value as a scene file writes it (plain).
String ValueText(const GeData& v, Int32 dtype)
{
  switch (v.GetType())
  {
    case DA_LONG:
      if (dtype == DTYPE_BOOL)
        return v.GetInt32() != 0 ? "true" : "false";
      return String::IntToString(v.GetInt32());
    case DA_LLONG: return String::IntToString(v.GetInt64());
    case DA_REAL: return host::FloatToSceneText(v.GetFloat());
    case DA_VECTOR:
    {
      const Vector p = v.GetVector();
      return "[" + host::FloatToSceneText(p.x) + ", " + host::FloatToSceneText(p.y) + ", " +
             host::FloatToSceneText(p.z) + "]";
    }
    case DA_STRING: return "\"" + v.GetString() + "\"";
    default: return String();
  }
}

Int32 Describe(const String& typeText, Terminal& terminal)
{
  // By id or by the name a scene file writes.
  const host::PluginEntry* plugin = nullptr;
  Int32 id = 0;
  const auto [end, ec] = std::from_chars(typeText.data(), typeText.data() + typeText.size(), id);
  for (const host::PluginEntry* e : host::GetPlugins())
    if (IsNodePlugin(*e) && ((ec == std::errc() && end == typeText.data() + typeText.size() && e->id == id) ||
                             (e->description.IsPopulated() && e->description == typeText)))
      plugin = e;
  if (!plugin)
  {
    terminal.Error("--describe: no object, tag or shader type \"" + typeText + "\" (ogx-host --list-types lists them)");
    return EXIT_UNUSABLE;
  }
  Result<host::DescriptionPtr> described = host::DescribeNodeType(plugin->id);
  if (described.IsError())
  {
    terminal.Error("--describe: " + described.GetError().GetText());
    return EXIT_UNUSABLE;
  }
  const Description& d = *described.GetValue();

  // Names shared by two parameters are written with their group's name before them.
  std::map<String, Int> named;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
    if (host::IsValueEntry(*d.GetEntry(i)))
      ++named[d.GetEntry(i)->attributes.GetString(DESC_NAME)];
  const auto nameOf = [&](const DescriptionEntry& e) {
    const String name = e.attributes.GetString(DESC_NAME);
    const DescriptionEntry* group = d.FindEntry(e.parent);
    return named[name] > 1 && group ? group->attributes.GetString(DESC_NAME) + "/" + name : name;
  };
  std::size_t nameWidth = 4;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
    if (host::IsValueEntry(*d.GetEntry(i)))
      nameWidth = std::max(nameWidth, nameOf(*d.GetEntry(i)).size());

  std::printf("%s (\"type\": \"%s\" or %d, %s)\n", host::GetMenuDisplayName(plugin->name).c_str(), plugin->description.c_str(),
              plugin->id, KindText(plugin->type));
  std::printf("Parameters a scene writes in \"params\", by id or by name:\n");
  const DescriptionEntry* lastGroup = nullptr;
  Bool first = true;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
  {
    const DescriptionEntry& e = *d.GetEntry(i);
    if (!host::IsValueEntry(e))
      continue;
    const DescriptionEntry* group = d.FindEntry(e.parent);
    if (group != lastGroup || first)
    {
      // The chain of groups, outermost first (a few levels at most; a description naming its groups in
      // a circle stops there).
      String path;
      Int levels = 0;
      for (const DescriptionEntry* g = group; g && levels < 16; g = d.FindEntry(g->parent), ++levels)
        path = g->attributes.GetString(DESC_NAME) + (path.IsEmpty() ? "" : " / ") + path;
      std::printf("\n%s\n", path.IsEmpty() ? "(no group)" : path.c_str());
      lastGroup = group;
      first = false;
    }
    String line = "  " + Padded(String::IntToString(e.id.id), 9) + Padded(nameOf(e), nameWidth + 2) +
                  Padded(host::SceneValueTypeName(e.id.dtype), 9);
    const BaseContainer* cycle = e.attributes.GetContainerInstance(DESC_CYCLE);
    if (const GeData* def = e.attributes.GetDataPointer(DESC_DEFAULT))
      if (const String text = ValueText(*def, e.id.dtype); text.IsPopulated())
      {
        line += " default " + text;
        if (cycle && def->GetType() == DA_LONG && cycle->GetString(def->GetInt32()).IsPopulated())
          line += " (\"" + cycle->GetString(def->GetInt32()) + "\")";
      }
    const GeData* lo = e.attributes.GetDataPointer(DESC_MIN);
    const GeData* hi = e.attributes.GetDataPointer(DESC_MAX);
    if (lo || hi)
      line += " range " + (lo ? ValueText(*lo, e.id.dtype) : String("..")) + " to " +
              (hi ? ValueText(*hi, e.id.dtype) : String(".."));
    if (cycle)
    {
      String values;
      for (const BaseContainer::Entry& c : *cycle)
        if (c.data.GetString().IsPopulated())
          values += (values.IsEmpty() ? "" : ", ") + String::IntToString(c.id) + " \"" + c.data.GetString() + "\"";
      line += " values: " + values;
    }
    while (line.ends_with(" "))
      line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  std::printf("\nA value is plain JSON read as the parameter's type (a number, true/false, [x, y, z], text, or\n"
              "one of the named values; for a Link the linked object's name or path, such as \"Paths/Ridge\"),\n"
              "or typed as in {\"Float\": 1.5}; other types are written typed.\n");
  return EXIT_OK;
}
// ---------------------------------------------------------------------------------------------------
// --about and --help-page

// The user clicks the dialog's (first) bitmap button, the logo, with the qualifier keys held; what the
// dialog did is printed: the messages it showed, and whether it stayed open.
Int32 ClickAboutLogo(GeDialog& dialog, Int32 qualifiers, Terminal& terminal)
{
  const BitmapButtonCustomGui* logo = nullptr;
  Int32 id = 0;
  for (const DialogGadget& g : dialog.GetLayout())
    if (const auto* button = dynamic_cast<const BitmapButtonCustomGui*>(g.gui); button && !logo)
    {
      logo = button;
      id = g.id;
    }
  if (!logo)
  {
    terminal.Error("--about: the dialog has no logo to click");
    return EXIT_OBJECT_FAILED;
  }
  ResetDialogs();
  SetQualifiers(qualifiers);
  ClickDialogGadget(dialog, id);
  SetQualifiers(QUALIFIER_NONE);
  std::printf("[click on the logo%s]\n", (qualifiers & QUALIFIER_SHIFT) != 0 ? ", Shift held" : "");
  for (const MessageDialogRecord& d : GetMessageDialogs())
    std::printf("[message] %s\n", d.text.c_str());
  ResetDialogs();
  std::printf("%s\n", dialog.IsOpen() ? "[the dialog stays open]" : "[the dialog closed]");
  std::fflush(stdout);
  return EXIT_OK;
}

Int32 ShowAbout(std::optional<Int32> click, Terminal& terminal)
{
  if (!ExecuteCommand(ABOUT_COMMAND, nullptr) || GetOpenDialogs().empty())
  {
    terminal.Error("--about: the module's About dialog does not open");
    return EXIT_OBJECT_FAILED;
  }
  GeDialog* dialog = GetOpenDialogs().back();
  std::printf("%s\n", dialog->GetTitle().c_str());
  for (const DialogGadget& g : dialog->GetLayout())
  {
    if (g.kind == DialogGadget::KIND::STATIC_TEXT)
    {
      String line = g.text;
      while (line.ends_with(" "))
        line.pop_back();
      std::printf("%s\n", line.c_str());
    }
    else if (const auto* button = dynamic_cast<const BitmapButtonCustomGui*>(g.gui))
    {
      if (const BaseBitmap* image = button->GetImage())
        std::printf("[logo: %s, %d x %d]\n", button->GetImageFile().GetString().c_str(),
                    static_cast<int>(image->GetBw()), static_cast<int>(image->GetBh()));
      else
        std::printf("[no logo]\n");
    }
  }
  std::fflush(stdout);
  return click ? ClickAboutLogo(*dialog, *click, terminal) : EXIT_OK;
}

Int32 OpenHelpPage(const String& type, const String& property, Terminal& terminal)
{
  const Int consoleBefore = Console().GetCount();
  const Bool handled = RequestHelp(type, String(), String(), property);
  // What the module said about it. The callback answers true also for a page it could not open (it
  // then prints why), so its console tells an opened page from a failed one.
  const std::vector<String> lines = Console().GetLines();
  Bool notOpened = false;
  for (std::size_t i = static_cast<std::size_t>(consoleBefore); i < lines.size(); ++i)
  {
    terminal.Warning(lines[i]);
    notOpened = notOpened || lines[i].starts_with("Can't open URL ") || lines[i].starts_with("Error creating help URL: ");
  }
  const String page = property.IsEmpty() ? type : type + " " + property;
  if (!handled)
  {
    terminal.Error("--help-page: the module has no help for " + page);
    return EXIT_OBJECT_FAILED;
  }
  if (notOpened)
  {
    terminal.Error("--help-page: the module could not open the help of " + page);
    return EXIT_OBJECT_FAILED;
  }
  std::printf("The module opened the help of %s in the web browser.\n", page.c_str());
  std::fflush(stdout);
  return EXIT_OK;
}
} // namespace

std::vector<HudText> ViewHud(BaseDocument* doc, BaseObject* terrain, Int32 width, Int32 height)
{
  if (!doc || !terrain)
    return {};
  AtomArray selection;
  doc->GetActiveObjects(selection, GETACTIVEOBJECTFLAGS::NONE);
  // The line shows this terrain: the terrain selected, and of the scene's selection the objects below
  // it kept, so selected operators show their output as they would in the viewport.
  const auto below = [terrain](const BaseObject* node) {
    for (const BaseObject* up = node->GetUp(); up; up = up->GetUp())
      if (up == terrain)
        return true;
    return false;
  };
  doc->SetActiveObject(terrain, SELECTION::NEW);
  for (Int32 i = 0; i < selection.GetCount(); ++i)
    if (BaseList2D* node = selection.GetIndex(i); node && node->GetKind() == NODEKIND::OBJECT &&
                                                  below(static_cast<BaseObject*>(node)))
      doc->SetActiveObject(static_cast<BaseObject*>(node), SELECTION::ADD);
  ExecuteSceneHooks(doc, nullptr);
  BaseDraw view(width, height);
  BaseDrawHelp help(&view, doc);
  DrawSceneHooks(doc, &view, &help, nullptr, SCENEHOOKDRAW::DRAW_PASS);
  doc->SetActiveObject(nullptr, SELECTION::NEW);
  for (Int32 i = 0; i < selection.GetCount(); ++i)
    if (BaseList2D* node = selection.GetIndex(i); node && node->GetKind() == NODEKIND::OBJECT)
      doc->SetActiveObject(static_cast<BaseObject*>(node), SELECTION::ADD);
  return view.GetHudTexts();
}

String UsageText()
{
  return "Usage: ogx-host SCENE --out DIR [options]\n"
         "       ogx-host --list-types | --describe TYPE | --about [click] | --help-page TYPE [PARAM] [--module PATH]\n"
         "\n"
         "Loads the Orogenix module, opens the scene document SCENE (JSON) and builds every terrain\n"
         "object in it. For each one it writes DIR/<name>.obj (the built mesh), the object's height map as\n"
         "its export button writes it (a 32-bit float TIFF named by the object) and DIR/<name>.png (a\n"
         "shaded top view, with what the module draws in the viewport, such as a gradient's outline), and\n"
         "prints the HUD line the viewport shows for it (drawn on the top view too).\n"
         "\n"
         "Options:\n"
         "  --out DIR        the output folder (made when missing)\n"
         "  --slope          export the slope map instead of the height map\n"
         "  --maps-only      write the maps only (no mesh, no top view)\n"
         "  --lod F          the level-of-detail factor of the build (above 0; default 1)\n"
         "  --threads N      worker threads, 1 to 1024 (default: one per hardware thread)\n"
         "  --module PATH    the module file (default: $OGX_MODULE, else orogenix.so beside ogx-host)\n"
         "  --quiet          print errors and warnings only\n"
         "  --pref KEY=VALUE set a preference for this run (KEY: its id or name; repeatable)\n"
         "  --run COMMAND    run a menu command (its name or id) on the scene's selection before the\n"
         "                   build; repeatable, in order with --undo; a disabled command is not run;\n"
         "                   \"Shift+COMMAND\" holds Shift while it runs (the resolution commands' fine step)\n"
         "  --undo           undo the last command's changes (repeatable, in order with --run)\n"
         "  --press OBJ:BTN  press the button BTN (id or name) of the object OBJ after the build; a file it\n"
         "                   saves goes into the output folder (repeatable); OBJ may also name a\n"
         "                   preferences page (\"Orogenix:Load Palette\")\n"
         "  --icons          write DIR/<name>_icon.png for each of the module's objects: the icon the\n"
         "                   object list shows (a generator's with its blend mode's icon over it)\n"
         "  --save FILE      save the document as it is at the end of the run\n"
         "  --list-types     list the types a scene may hold\n"
         "  --describe TYPE  list a type's parameters (TYPE: its id or name, such as oterrain)\n"
         "  --about [click | shift+click]\n"
         "                   show the texts of the module's About dialog; then click its logo (with Shift\n"
         "                   held) and show what the dialog did\n"
         "  --help-page TYPE [PARAM]\n"
         "                   open the module's help page of TYPE (upper case, such as ONOISEOPERATOR) and\n"
         "                   PARAM (a parameter name, such as NOISEOPERATOR_SCALE) in the web browser\n"
         "  --help           show this text\n"
         "\n"
         "Exit status: 0 all written and done, 1 a terrain object failed or something asked for could not\n"
         "be done, 2 nothing could be done, 130 interrupted (Ctrl-C).\n";
}

Result<FrontEndOptions> ParseArguments(const std::vector<String>& args)
{
  FrontEndOptions options;
  Bool haveScene = false;
  Bool haveOut = false;
  for (std::size_t i = 0; i < args.size(); ++i)
  {
    String arg = args[i];
    std::optional<String> inlineValue;
    if (arg.rfind("--", 0) == 0)
      if (const auto eq = arg.find('='); eq != String::npos)
      {
        inlineValue = String(arg.substr(eq + 1));
        arg = String(arg.substr(0, eq));
      }
    const auto value = [&]() -> Result<String> {
      if (inlineValue)
        return *inlineValue;
      if (i + 1 >= args.size())
        return IllegalArgumentError(arg + ": a value is missing");
      return args[++i];
    };
    const auto flag = [&]() -> Result<void> {
      if (inlineValue)
        return IllegalArgumentError(arg + ": takes no value");
      return OK;
    };

    if (arg == "--help" || arg == "-h")
    {
      HOST_TRY(flag());
      options.help = true;
    }
    else if (arg == "--out")
    {
      const String dir = HOST_TRY(value());
      if (dir.IsEmpty())
        return IllegalArgumentError("--out: the folder name is empty");
      options.outDir = Url(dir);
      haveOut = true;
    }
    else if (arg == "--slope")
    {
      HOST_TRY(flag());
      options.slope = true;
    }
    else if (arg == "--maps-only")
    {
      HOST_TRY(flag());
      options.mapsOnly = true;
    }
    else if (arg == "--lod")
      options.lod = HOST_TRY(ParseFloat(arg, HOST_TRY(value())));
    else if (arg == "--threads")
      options.threads = HOST_TRY(ParseCount(arg, HOST_TRY(value())));
    else if (arg == "--module")
    {
      const String file = HOST_TRY(value());
      if (file.IsEmpty())
        return IllegalArgumentError("--module: the file name is empty");
      options.module = Url(file);
    }
    else if (arg == "--quiet" || arg == "-q")
    {
      HOST_TRY(flag());
      options.quiet = true;
    }
    else if (arg == "--pref")
      options.preferences.push_back(HOST_TRY(ParsePreferenceSetting(HOST_TRY(value()))));
    else if (arg == "--run")
    {
      const String command = HOST_TRY(value());
      if (command.IsEmpty())
        return IllegalArgumentError("--run: the command is empty");
      options.actions.push_back(DocumentAction{DocumentAction::KIND::RUN, command});
    }
    else if (arg == "--undo")
    {
      HOST_TRY(flag());
      options.actions.push_back(DocumentAction{DocumentAction::KIND::UNDO, String()});
    }
    else if (arg == "--press")
      options.presses.push_back(HOST_TRY(ParseButtonPress(HOST_TRY(value()))));
    else if (arg == "--icons")
    {
      HOST_TRY(flag());
      options.icons = true;
    }
    else if (arg == "--save")
    {
      const String file = HOST_TRY(value());
      if (file.IsEmpty())
        return IllegalArgumentError("--save: the file name is empty");
      options.save = Url(file);
    }
    else if (arg == "--list-types")
    {
      HOST_TRY(flag());
      options.listTypes = true;
    }
    else if (arg == "--describe")
    {
      const String type = HOST_TRY(value());
      if (type.IsEmpty())
        return IllegalArgumentError("--describe: the type is empty");
      options.describe = type;
    }
    else if (arg == "--about")
    {
      options.about = true;
      // An optional click on the logo: "click" with any "Shift+" before it, inline or as the next argument.
      const auto isClick = [](const String& text) { return EqualsNoCase(SplitQualifiers(text).command, "click"); };
      if (inlineValue)
      {
        if (!isClick(*inlineValue))
          return IllegalArgumentError("--about: expected click or shift+click (got \"" + *inlineValue + "\")");
        options.aboutClick = SplitQualifiers(*inlineValue).qualifiers;
      }
      else if (i + 1 < args.size() && isClick(args[i + 1]))
        options.aboutClick = SplitQualifiers(args[++i]).qualifiers;
    }
    else if (arg == "--help-page")
    {
      const String type = HOST_TRY(value());
      if (type.IsEmpty())
        return IllegalArgumentError("--help-page: the type is empty");
      options.helpType = type;
      // The parameter is optional: the next argument when it is no option.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
        options.helpProperty = args[++i];
    }
    else if (arg.rfind("-", 0) == 0 && arg != "-")
      return IllegalArgumentError(arg + ": unknown option");
    else
    {
      if (haveScene)
        return IllegalArgumentError(arg + ": only one scene can be given");
      options.scene = Url(arg);
      haveScene = true;
    }
  }
  if (options.help)
    return options;
  const Int standalone = (options.listTypes ? 1 : 0) + (options.describe ? 1 : 0) + (options.about ? 1 : 0) +
                         (options.helpType ? 1 : 0);
  if (standalone > 0)
  {
    if (standalone > 1)
      return IllegalArgumentError("--list-types, --describe, --about and --help-page: give one of them");
    const char* which = options.listTypes ? "--list-types"
                        : options.describe ? "--describe"
                        : options.about    ? "--about"
                                           : "--help-page";
    if (haveScene || haveOut)
    {
      const char* why = options.listTypes || options.describe ? ": lists what a scene may hold; give no scene or --out with it"
                                                              : ": give no scene or --out with it";
      return IllegalArgumentError(String(which) + why);
    }
    if (!options.actions.empty() || !options.presses.empty() || options.save || !options.preferences.empty() ||
        options.icons)
      return IllegalArgumentError(String(which) + ": works on no document; give no --pref, --run, --undo, --press, --icons or --save with it");
    return options;
  }
  if (!haveScene)
    return IllegalArgumentError("no scene given");
  if (!haveOut)
    return IllegalArgumentError("no output folder given (--out DIR)");
  return options;
}

Url FindModuleFile(const FrontEndOptions& options)
{
  if (options.module)
    return *options.module;
  if (const char* env = std::getenv(MODULE_ENVIRONMENT); env && *env)
    return Url(String(env));
  return ExecutableFolder().Append(MODULE_FILE_NAME);
}

String SafeFileName(const String& name)
{
  String out;
  for (const char c : name)
  {
    const auto u = static_cast<unsigned char>(c);
    const Bool awkward = u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                         c == '"' || c == '<' || c == '>' || c == '|';
    out.push_back(awkward ? '_' : c);
  }
  if (out.size() > static_cast<std::size_t>(MAX_FILE_NAME_BYTES))
  {
    // Cut before the UTF-8 sequence the limit falls into, never inside it.
    std::size_t end = static_cast<std::size_t>(MAX_FILE_NAME_BYTES);
    while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80)
      --end;
    out.resize(end);
  }
  if (out.IsEmpty())
    return "Terrain";
  // No hidden files, and never "." or "..".
  if (out[0] == '.')
    out[0] = '_';
  return out;
}

Int32 RunFrontEnd(const FrontEndOptions& options)
{
  // Listings, the About texts and the help page print only themselves: the module's start-up lines would
  // be in their way.
  const Bool listing = options.listTypes || options.describe.has_value() || options.about || options.helpType;
  Terminal terminal(options.quiet || listing);

  if (!listing)
    if (const Result<void> dir = PrepareOutputDirectory(options.outDir); dir.IsError())
    {
      terminal.Error(dir.GetError().GetText());
      return EXIT_UNUSABLE;
    }
  if (options.threads == 1)
    SetParallelEnabled(false);
  else if (options.threads > 1)
    SetThreadCount(options.threads);

  Result<std::unique_ptr<LoadedModule>> module = LoadedModule::Load(FindModuleFile(options));
  if (module.IsError())
  {
    terminal.Error(module.GetError().GetText());
    return EXIT_UNUSABLE;
  }
  if (options.listTypes)
    return ListTypes();
  if (options.describe)
    return Describe(*options.describe, terminal);
  if (options.about)
    return ShowAbout(options.aboutClick, terminal);
  if (options.helpType)
    return OpenHelpPage(*options.helpType, options.helpProperty, terminal);

  // Commands the module does not have and preferences it does not take make the run unusable; the
  // preferences go in before the scene is read, since loading already reads some (the resolution cap).
  for (const DocumentAction& action : options.actions)
    if (action.kind == DocumentAction::KIND::RUN)
      if (const Result<Int32> id = ResolveCommand(action.command); id.IsError())
      {
        terminal.Error(id.GetError().GetText());
        return EXIT_UNUSABLE;
      }
  for (const PreferenceSetting& setting : options.preferences)
    if (const Result<void> set = ApplyPreference(setting); set.IsError())
    {
      terminal.Error(set.GetError().GetText());
      return EXIT_UNUSABLE;
    }

  DocumentHolder document;
  Result<BaseDocument*> loaded = LoadDocument(options.scene);
  if (loaded.IsError())
  {
    terminal.Error(loaded.GetError().GetText());
    return EXIT_UNUSABLE;
  }
  document.doc = loaded.GetValue();

  // What was asked for and could not be done: a disabled command is not run, as a menu would not run it.
  std::vector<String> notDone;
  for (const DocumentAction& action : options.actions)
  {
    if (const Result<void> done = RunAction(action, document.doc); done.IsError())
    {
      terminal.Error(done.GetError().GetText());
      notDone.push_back(done.GetError().GetText());
    }
    else
      terminal.Info(action.kind == DocumentAction::KIND::RUN ? "Ran \"" + action.command + "\""
                                                              : String("Undid the last step"));
  }

  std::vector<BaseObject*> terrains;
  CollectTerrainObjects(document.doc->GetFirstObject(), terrains);
  if (terrains.empty())
  {
    terminal.Error(options.scene.GetString() + ": the scene holds no terrain object");
    return EXIT_UNUSABLE;
  }

  HostThread thread;
  HierarchyContext hh(document.doc, options.lod, &thread, BUILDFLAGS::NONE);
  InterruptScope interrupt(&thread);
  TerrainExporter exporter(options, terminal);
  std::vector<String> failed;     // "Terrain "X": why"
  std::vector<String> undone;     // "Terrain "X": the map, the top view" / "Terrain "Y": not built"
  for (std::size_t i = 0; i < terrains.size(); ++i)
  {
    BaseObject* op = terrains[i];
    const ObjectOutcome outcome = exporter.Export(op, hh);
    if (!outcome.failures.empty())
    {
      String why;
      for (const String& f : outcome.failures)
        why += (why.IsEmpty() ? "" : "; ") + f;
      failed.push_back(ObjectLabel(op) + ": " + why);
    }
    if (!outcome.undone.empty() || Interrupted())
    {
      String left;
      for (const String& u : outcome.undone)
        left += (left.IsEmpty() ? "" : ", ") + u;
      if (left.IsPopulated())
        undone.push_back(ObjectLabel(op) + ": " + left);
      for (std::size_t k = i + 1; k < terrains.size(); ++k)
        undone.push_back(ObjectLabel(terrains[k]) + ": not built");
      break;
    }
  }

  if (!Interrupted())
  {
    for (const ButtonPress& press : options.presses)
      if (const Result<void> pressed = PressButton(document.doc, press, exporter, terminal); pressed.IsError())
      {
        terminal.Error(pressed.GetError().GetText());
        notDone.push_back(pressed.GetError().GetText());
      }
    if (options.icons)
      WriteIcons(document.doc->GetFirstObject(), exporter, terminal, notDone);
    if (options.save)
    {
      if (const Result<void> saved = SaveDocument(document.doc, *options.save); saved.IsError())
      {
        terminal.Error(saved.GetError().GetText());
        notDone.push_back(saved.GetError().GetText());
      }
      else
        terminal.Info("Saved " + options.save->GetString());
    }
  }
  else
  {
    for (const ButtonPress& press : options.presses)
      undone.push_back("--press " + press.object + ":" + press.button + ": not pressed");
    if (options.save)
      undone.push_back("--save " + options.save->GetString() + ": not saved");
  }

  // The summary: shown also with --quiet, since it says why the exit code is not 0.
  if (!notDone.empty())
  {
    terminal.Error("asked for and not done (" + String::IntToString(static_cast<Int>(notDone.size())) + "):");
    for (const String& n : notDone)
      terminal.Error("  " + n);
  }
  if (!failed.empty())
  {
    terminal.Error(String::IntToString(static_cast<Int>(failed.size())) + " of " +
                   String::IntToString(static_cast<Int>(terrains.size())) + " terrain objects failed:");
    for (const String& f : failed)
      terminal.Error("  " + f);
  }
  if (Interrupted())
  {
    terminal.Error("interrupted; left undone:");
    for (const String& u : undone)
      terminal.Error("  " + u);
    return EXIT_INTERRUPTED;
  }
  return failed.empty() && notDone.empty() ? EXIT_OK : EXIT_OBJECT_FAILED;
}
} // namespace host::app
