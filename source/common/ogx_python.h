// The bridge into the host's Python interpreter, and the help pages it opens.
//
// RunPythonCode runs a script to its end on the calling thread. Values spliced into a script's text go
// in as Python string literals made by PythonStringLiteral, never as raw text: a quote, backslash or line
// break in a path or a parameter name must not end the literal and run as code.
//
// Help: the host calls OpenPluginHelp (registered as the help callback of 1055659) for a type and one of
// its parameters; for the module's seventeen types it opens help/content/<type>.html#<parameter> in the
// web browser. The callback and the commands run on the host's main thread.
#pragma once

#include "host/core/result.h"
#include "host/core/string.h"
#include "host/core/url.h"

// The interpreter the module's scripts run in.
inline constexpr const char* OGX_PYTHON_VM_ID = "net.maxon.python.virtualmachine.c4dpy27";
// The plug-in id of the help callback.
inline constexpr Int32 ID_OGX_HELP_DELEGATE = 1055659;

// text as a double-quoted Python 3 string literal that reads back as exactly text: backslash and quote
// escaped, line breaks, tabs and other control characters as escapes, non-ASCII characters as \u or \U
// escapes (bytes that are no UTF-8 as \udcXX, which the surrogateescape handler turns back into those
// bytes), so the literal is plain ASCII on one line. Text without any of these is only put in quotes.
String PythonStringLiteral(const String& text);

// Reads the UTF-8 character at text[i] into codePoint and moves i past it. False, with i left alone, for
// a byte that starts no well-formed sequence (overlong forms, surrogates and values above U+10FFFF
// included).
Bool DecodeUtf8Character(const String& text, std::size_t& i, UInt32& codePoint);

// Runs source as the script "Python Script" with __name__ "__main__". An empty source succeeds without
// reaching the interpreter. Errors: "Error on Init()" when the script cannot be set up (a syntax
// error), "Error on Execute(): " + the interpreter's text when it fails while running, and the
// registry's error when the interpreter cannot be had.
Result<void> RunPythonCode(const String& source);

// Opens the URL in the user's web browser, through the three-line script
//   import webbrowser / URL = "<the URL as text>" / webbrowser.open(URL)
Result<void> OpenUrlInBrowser(const Url& url);

// The help page of a parameter: <help folder>/content/<opType in lower case>.html#<property>. On an
// error it prints "Error creating help URL: " + the error's text and answers an empty URL.
Result<Url> BuildHelpUrl(const String& opType, const String& baseType, const String& group, const String& property);

// The host's help callback: true (handled) for the seventeen type names of the module, compared exactly
// (upper case), after opening the page; a page that cannot be opened prints "Can't open URL " + the
// URL's text. Any other type answers false, so the host looks elsewhere.
Bool OpenPluginHelp(const String& opType, const String& baseType, const String& group, const String& property);

// Registers OpenPluginHelp as the help callback of ID_OGX_HELP_DELEGATE.
Bool RegisterHelpDelegate();

// Exact equality of s and the characters of text.
Bool StringEqualsCString(const String& s, const char* text);

// Prints "Error creating help URL: " + the error's text to the console.
void PrintHelpUrlError(const Error& error);

// Prints "Error opening help: Maybe the help is not installed?\nError Message: " + the error's text to
// the console and shows it in a message box (type 48); answers false.
Bool ShowHelpError(const Error& error);
