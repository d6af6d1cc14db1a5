#include "host/core/url.h"

#include <cctype>

namespace
{
Bool HasScheme(const std::string& text)
{
  // scheme ":" with a scheme of at least two characters, so that a drive letter ("C:") is no scheme.
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
    return false;
  for (std::size_t i = 1; i < colon; ++i)
  {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  }
  return true;
}

void AppendEncoded(String& out, std::string_view text, Bool keepSlash)
{
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (const char ch : text)
  {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/'))
      out.push_back(ch);
    else
    {
      out.push_back('%');
      out.push_back(HEX[c >> 4]);
      out.push_back(HEX[c & 15]);
    }
  }
}
} // namespace

String Url::GetUrlText() const
{
  const std::string text = _path.string();
  if (text.empty() || HasScheme(text))
    return String(text);
  const std::size_t lastPart = text.rfind('/');
  const std::size_t hash = text.find('#', lastPart == std::string::npos ? 0 : lastPart);
  const std::string_view path = std::string_view(text).substr(0, hash);
  String out("file://");
  if (path.empty() || path.front() != '/')
    out.push_back('/');
  AppendEncoded(out, path, true);
  if (hash != std::string::npos)
  {
    out.push_back('#');
    AppendEncoded(out, std::string_view(text).substr(hash + 1), false);
  }
  return out;
}
