// The host front end's driver; see frontend.h.
#include "frontend.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "host/app/moduleloader.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/core/thread.h"
#include "host/gui/dialogs.h"
#include "host/scene/scene.h"
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
  void Error(const String& line) { Print(stderr, "ogx-host: " + line); }

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
// Ctrl-C asks the running build to stop (the module's loops test the build thread's break flag); a
// second one ends the process as usual.

std::atomic<HostThread*> g_buildThread{nullptr};

extern "C" void OnInterrupt(int)
{
  if (HostThread* thread = g_buildThread.load())
    thread->SetBreak();
  std::signal(SIGINT, SIG_DFL);
}

class InterruptScope
{
public:
  explicit InterruptScope(HostThread* thread)
  {
    g_buildThread.store(thread);
    _previous = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptScope()
  {
    std::signal(SIGINT, _previous == SIG_ERR ? SIG_DFL : _previous);
    g_buildThread.store(nullptr);
  }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

private:
  void (*_previous)(int) = SIG_DFL;
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

// base, or base_2, base_3 ... for the first that this run has not used with that suffix.
String UniqueName(const String& base, const String& suffix, std::set<String>& used)
{
  String name = base + suffix;
  for (Int n = 2; used.count(name) != 0; ++n)
    name = base + "_" + String::IntToString(n) + suffix;
  used.insert(name);
  return name;
}

// One terrain object's outputs.
class TerrainExporter
{
public:
  TerrainExporter(const FrontEndOptions& options, Terminal& terminal) : _options(options), _terminal(terminal) {}

  // False when something of this object could not be built or written (and said why).
  Bool Export(BaseObject* op, HierarchyContext& hh)
  {
    const String name = op->GetName();
    const String label = "Terrain \"" + name + "\"";
    _terminal.Info("Building " + label);
    BaseObject* cache = BuildObjectCache(op, &hh);
    if (hh.GetThread() && hh.GetThread()->TestBreak())
    {
      _terminal.Error(label + ": the build was cancelled");
      return false;
    }
    if (!cache)
    {
      _terminal.Error(label + ": the build gave no mesh");
      return false;
    }
    const Result<std::vector<MeshPart>> parts = CollectMeshParts(cache);
    if (parts.IsError())
    {
      _terminal.Error(label + ": the built mesh is broken: " + parts.GetError().GetText());
      return false;
    }

    const String base = SafeFileName(name);
    Bool ok = true;
    const Url objFile = _options.outDir.Append(UniqueName(base, ".obj", _used));
    StatusSetText("Writing " + objFile.GetName() + "...");
    const Result<ObjStatistics> stats =
      WriteObj(parts.GetValue(), name, objFile, [](Int32 percent) { StatusSetBar(percent); });
    StatusClear();
    if (stats.IsError())
    {
      _terminal.Error(label + ": " + stats.GetError().GetText());
      ok = false;
    }
    else
      _terminal.Info("Wrote " + objFile.GetString() + " (" + String::IntToString(stats.GetValue().points) +
                     " points, " + String::IntToString(stats.GetValue().polygons) + " polygons)");

    ok = ExportMap(op, label) && ok;

    const Url pngFile = _options.outDir.Append(UniqueName(base, ".png", _used));
    const Result<RgbaImage> view = RenderTopView(parts.GetValue());
    const Result<void> written = view.IsOk() ? WritePng(view.GetValue(), pngFile) : Result<void>(view.GetError());
    if (written.IsError())
    {
      _terminal.Error(label + ": " + written.GetError().GetText());
      ok = false;
    }
    else
      _terminal.Info("Wrote " + pngFile.GetString() + " (" + String::IntToString(view.GetValue().width) + " x " +
                     String::IntToString(view.GetValue().height) + " top view)");
    return ok;
  }

private:
  // Presses the object's export button with the save dialog answering a fresh folder, then moves the
  // file the object wrote into the output folder under the name the object proposed (with a number
  // added when an earlier object of this run proposed the same name).
  Bool ExportMap(BaseObject* op, const String& label)
  {
    if (_options.slope && !op->SetParameter(DescID(TERRAIN_EXPORT_MODE), GeData(TERRAIN_EXPORT_MODE_SLOPES)))
    {
      _terminal.Error(label + ": the export mode cannot be set");
      return false;
    }
    const std::filesystem::path staging =
      _options.outDir.GetPath() / (".ogx-export-" + std::to_string(getpid()) + "-" + std::to_string(_exports++));
    std::error_code ec;
    std::filesystem::create_directories(staging, ec);
    if (ec)
    {
      _terminal.Error(label + ": cannot create " + String(staging.string()) + ": " + String(ec.message()));
      return false;
    }

    ResetDialogs();
    QueueFileSelectDirectoryAnswer(Url(staging));
    DescriptionCommand command;
    command.id = DescID(TERRAIN_EXPORT_BUTTON);
    const Bool answered = op->Message(MSG_DESCRIPTION_COMMAND, &command);
    const std::vector<FileSelectRecord> selects = GetFileSelects();
    const std::vector<MessageDialogRecord> dialogs = GetMessageDialogs();
    ResetDialogs();

    Bool ok = answered;
    for (const MessageDialogRecord& d : dialogs)
    {
      _terminal.Error(label + ": the export said: " + d.text);
      ok = false;
    }
    if (!answered)
      _terminal.Error(label + ": the map export failed");

    Bool moved = false;
    for (const FileSelectRecord& s : selects)
    {
      if (!s.confirmed || !s.chosen.Exists())
        continue;
      const String stem(s.chosen.GetPath().stem().string());
      const String suffix(s.chosen.GetPath().extension().string());
      const Url target = _options.outDir.Append(UniqueName(stem, suffix, _used));
      std::filesystem::rename(s.chosen.GetPath(), target.GetPath(), ec);
      if (ec)
      {
        _terminal.Error(label + ": cannot move the map to " + target.GetString() + ": " + String(ec.message()));
        ok = false;
        continue;
      }
      moved = true;
      _terminal.Info("Wrote " + target.GetString() + " (" + String(_options.slope ? "slope" : "height") + " map)");
    }
    if (ok && !moved)
      _terminal.Info(label + ": no map was exported (the terrain grid is too small)");
    std::filesystem::remove_all(staging, ec);
    return ok;
  }

  const FrontEndOptions& _options;
  Terminal& _terminal;
  std::set<String> _used;   // file names written by this run
  Int _exports = 0;
};

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
} // namespace

String UsageText()
{
  return "Usage: ogx-host SCENE --out DIR [options]\n"
         "\n"
         "Loads the Orogenix module, opens the scene document SCENE (JSON) and builds every terrain\n"
         "object in it. For each one it writes DIR/<name>.obj (the built mesh), the object's height map as\n"
         "its export button writes it (a 32-bit float TIFF named by the object) and DIR/<name>.png (a\n"
         "shaded top view).\n"
         "\n"
         "Options:\n"
         "  --out DIR       the output folder (made when missing)\n"
         "  --slope         export the slope map instead of the height map\n"
         "  --lod F         the level-of-detail factor of the build (above 0; default 1)\n"
         "  --threads N     worker threads, 1 to 1024 (default: one per hardware thread)\n"
         "  --module PATH   the module file (default: $OGX_MODULE, else orogenix.so beside ogx-host)\n"
         "  --quiet         print errors only\n"
         "  --help          show this text\n"
         "\n"
         "Exit status: 0 all written, 1 a terrain object failed, 2 nothing could be done.\n";
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
  Terminal terminal(options.quiet);

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

  DocumentHolder document;
  Result<BaseDocument*> loaded = LoadDocument(options.scene);
  if (loaded.IsError())
  {
    terminal.Error(loaded.GetError().GetText());
    return EXIT_UNUSABLE;
  }
  document.doc = loaded.GetValue();

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
  Bool ok = true;
  for (BaseObject* op : terrains)
  {
    ok = exporter.Export(op, hh) && ok;
    if (thread.TestBreak())
      break;
  }
  return ok ? EXIT_OK : EXIT_OBJECT_FAILED;
}
} // namespace host::app
