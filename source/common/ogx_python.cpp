// The Python bridge and the help callback.
#include "common/ogx_python.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>

#include "common/ogx_misc.h"
#include "host/core/log.h"
#include "host/gui/dialogs.h"
#include "host/gui/help.h"
#include "host/python/python.h"

namespace
{
constexpr const char* OGX_SCRIPT_NAME = "Python Script";

// The types the help pages describe: the upper-case forms of the module's description names.
constexpr std::array<const char*, 17> HELP_TYPE_NAMES = {
  "OADJUSTMENTOPERATOR", "OBLUROPERATOR",     "OCLAMPOPERATOR",   "OCURVEOPERATOR",       "OEROSIONOPERATOR",
  "OFOLDOPERATOR",       "OGRADIENTOPERATOR", "OGROUPOPERATOR",   "OMIRROROPERATOR",      "ONOISEOPERATOR",
  "OQUANTIZEOPERATOR",   "OSHADEROPERATOR",   "OSHARPENOPERATOR", "OSPLINEOPERATOR",      "OTERRAIN",
  "XTERRAINOPERATORSHADER", "PREFSOGX",
};

void AppendHex(String& out, UInt32 value, Int32 digits)
{
  static constexpr char HEX[] = "0123456789abcdef";
  for (Int32 d = digits - 1; d >= 0; --d)
    out.push_back(HEX[(value >> (4 * d)) & 15]);
}
} // namespace

Bool DecodeUtf8Character(const String& text, std::size_t& i, UInt32& codePoint)
{
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80)
  {
    codePoint = b0;
    ++i;
    return true;
  }
  // The lead byte's length and the smallest value that needs it (anything below is an overlong form).
  std::size_t length = 0;
  UInt32 minimum = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF)
  {
    length = 2;
    minimum = 0x80;
  }
  else if (b0 >= 0xE0 && b0 <= 0xEF)
  {
    length = 3;
    minimum = 0x800;
  }
  else if (b0 >= 0xF0 && b0 <= 0xF4)
  {
    length = 4;
    minimum = 0x10000;
  }
  else
    return false;
  if (i + length > text.size())
    return false;
  UInt32 cp = b0 & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k)
  {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80)
      return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return false;
  codePoint = cp;
  i += length;
  return true;
}

String PythonStringLiteral(const String& text)
{
  String out("\"");
  std::size_t i = 0;
  while (i < text.size())
  {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
    {
      switch (c)
      {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7F)
          {
            out += "\\x";
            AppendHex(out, c, 2);
          }
          else
            out.push_back(static_cast<char>(c));
          break;
      }
      ++i;
      continue;
    }
    if (UInt32 cp = 0; DecodeUtf8Character(text, i, cp))
    {
      out += cp <= 0xFFFF ? "\\u" : "\\U";
      AppendHex(out, cp, cp <= 0xFFFF ? 4 : 8);
    }
    else
    {
      // A byte that is no UTF-8 travels as the lone surrogate Python's surrogateescape gives it.
      out += "\\udc";
      AppendHex(out, c, 2);
      ++i;
    }
  }
  out.push_back('"');
  return out;
}

Result<void> RunPythonCode(const String& source)
{
  if (source.IsEmpty())
    return OK;
  VirtualMachine* vm = HOST_TRY(FindVirtualMachine(OGX_PYTHON_VM_ID));
  std::unique_ptr<PythonScript> script = HOST_TRY(vm->CreateScript());
  if (script->Init(OGX_SCRIPT_NAME, source).IsError())
    return UnexpectedError("Error on Init()");
  HOST_TRY(script->SetString("__name__", "__main__"));
  if (const Result<void> run = script->Execute(); run.IsError())
    return UnexpectedError("Error on Execute(): " + run.GetError().GetText());
  return OK;
}

Result<void> OpenUrlInBrowser(const Url& url)
{
  const String text = url.GetUrlText();
  return RunPythonCode("import webbrowser\n" + ("URL = " + PythonStringLiteral(text) + "\n") + "webbrowser.open(URL)\n");
}

Bool StringEqualsCString(const String& s, const char* text)
{
  return text && s.size() == std::strlen(text) && std::equal(s.begin(), s.end(), text);
}

void PrintHelpUrlError(const Error& error)
{
  ConsolePrint("Error creating help URL: " + error.GetText());
}

Result<Url> BuildHelpUrl(const String& opType, const String&, const String&, const String& property)
{
  const Result<Url> base = GetHelpPath(false);
  if (base.IsError())
  {
    PrintHelpUrlError(base.GetError());
    return Url();
  }
  String page = opType;
  std::transform(page.begin(), page.end(), page.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return base.GetValue().Append("content").Append(page + ".html#" + property);
}

Bool OpenPluginHelp(const String& opType, const String& baseType, const String& group, const String& property)
{
  const Result<Url> url = BuildHelpUrl(opType, baseType, group, property);
  const Bool ours = std::any_of(HELP_TYPE_NAMES.begin(), HELP_TYPE_NAMES.end(),
                                [&](const char* name) { return StringEqualsCString(opType, name); });
  if (!ours)
    return false;
  // An empty URL (the help location could not be had, which BuildHelpUrl has printed) is not handed to
  // the browser, which would open whatever it takes an empty address for.
  const Url page = url.IsOk() ? url.GetValue() : Url();
  if (page.IsEmpty() || OpenUrlInBrowser(page).IsError())
    ConsolePrint("Can't open URL " + page.GetUrlText());
  return true;
}

Bool RegisterHelpDelegate()
{
  return RegisterPluginHelpDelegate(ID_OGX_HELP_DELEGATE, OpenPluginHelp);
}

Bool ShowHelpError(const Error& error)
{
  const String text = "Error opening help: Maybe the help is not installed?\nError Message: " + error.GetText();
  ConsolePrint(text);
  MessageDialog(GEMB_ICONEXCLAMATION, text);
  return false;
}
