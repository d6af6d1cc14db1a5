// File locations as the host names them: a path with append, suffix and existence check.
#pragma once

#include <filesystem>

#include "host/core/string.h"

class Url
{
public:
  Url() = default;
  explicit Url(const String& path) : _path(std::filesystem::path(path.GetStd())) {}
  explicit Url(std::filesystem::path path) : _path(std::move(path)) {}

  // Appends one path part ("help", then "index.html").
  Url Append(const String& part) const { return Url(_path / std::filesystem::path(part.GetStd())); }
  Url operator+(const String& part) const { return Append(part); }
  // Replaces (or adds) the suffix; "tif" gives "name.tif".
  void SetSuffix(const String& suffix) { _path.replace_extension(suffix.IsEmpty() ? String() : "." + suffix); }
  String GetSuffix() const
  {
    String ext(_path.extension().string());
    return ext.IsEmpty() ? ext : String(ext.substr(1));
  }
  String GetName() const { return String(_path.filename().string()); }
  Url GetDirectory() const { return Url(_path.parent_path()); }
  String GetString() const { return String(_path.string()); }
  // The location as a web browser takes it. Text that already names a scheme ("https://...") stays as
  // it is; a local path becomes a file URL ("file:///folder/page.html#anchor"): the first "#" of the
  // last path part starts the anchor, and every character other than letters, digits, "-._~" (and "/"
  // in the path) is percent-encoded, so the text holds no blanks, quotes or non-ASCII characters. An
  // empty location gives the empty text.
  String GetUrlText() const;
  const std::filesystem::path& GetPath() const { return _path; }
  Bool IsEmpty() const { return _path.empty(); }
  // True when something exists at this path on the file system.
  Bool Exists() const
  {
    std::error_code ec;
    return !_path.empty() && std::filesystem::exists(_path, ec);
  }
  Bool IsDirectory() const
  {
    std::error_code ec;
    return std::filesystem::is_directory(_path, ec);
  }
  Bool operator==(const Url&) const = default;

private:
  std::filesystem::path _path;
};

// The host's older name for a file location.
using Filename = Url;
