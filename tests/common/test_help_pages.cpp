// The help pages shipped in help/: one page per type the help callback answers for, every parameter of
// the type's description resource described there with an anchor, and the index linking them all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "host/scene/description.h"
#include "host/scene/resource.h"

namespace
{
const std::filesystem::path HELP = std::filesystem::path(OGX_SOURCE_DIR) / "help";

const char* const TYPES[] = {
  "oadjustmentoperator", "obluroperator",     "oclampoperator",   "ocurveoperator",   "oerosionoperator",
  "ofoldoperator",       "ogradientoperator", "ogroupoperator",   "omirroroperator",  "onoiseoperator",
  "oquantizeoperator",   "oshaderoperator",   "osharpenoperator", "osplineoperator",  "oterrain",
  "xterrainoperatorshader", "prefsogx",
};

std::string ReadFile(const std::filesystem::path& file)
{
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The values of every attribute that starts with opening (up to its closing quote).
std::vector<std::string> All(const std::string& text, const std::string& opening)
{
  std::vector<std::string> found;
  for (std::size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at + 1))
  {
    const std::size_t begin = at + opening.size();
    found.push_back(text.substr(begin, text.find('"', begin) - begin));
  }
  return found;
}

TEST(HelpPages, EveryTypeHasAPageWithAnAnchorPerParameter)
{
  host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
  for (const char* type : TYPES)
  {
    SCOPED_TRACE(type);
    const std::filesystem::path page = HELP / "content" / (std::string(type) + ".html");
    ASSERT_TRUE(std::filesystem::exists(page));
    const std::string text = ReadFile(page);
    const std::vector<std::string> anchors = All(text, "<dt id=\"");
    EXPECT_FALSE(anchors.empty());
    for (const std::string& anchor : anchors)
      EXPECT_TRUE(!anchor.empty() && anchor.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos)
        << "anchor \"" << anchor << "\" is no parameter name";
    EXPECT_EQ(std::set<std::string>(anchors.begin(), anchors.end()).size(), anchors.size()) << "anchors repeat";
    const std::vector<std::string> described = All(text, "data-id=\"");
    const std::set<std::string> ids(described.begin(), described.end());
    EXPECT_EQ(ids.size(), described.size()) << "a parameter is described twice";

    // The description resources shipped so far: each of their parameters has its entry on the page.
    if (!host::GetDescriptionFile(type).Exists())
      continue;
    const Result<std::vector<DescriptionEntry>> entries = host::ReadDescriptionResource(type);
    ASSERT_TRUE(entries.IsOk()) << entries.GetError().GetText();
    for (const DescriptionEntry& e : entries.GetValue())
    {
      const Int32 dtype = e.id.dtype;
      if (dtype == DTYPE_GROUP || dtype == DTYPE_SEPARATOR || dtype == DTYPE_TITLE || dtype == DTYPE_STATIC)
        continue;
      EXPECT_TRUE(ids.count(std::to_string(e.id.id))) << "parameter " << e.id.id << " is not described";
    }
  }
  host::SetModuleDirectory(Url());
}

TEST(HelpPages, TheIndexLinksEveryPage)
{
  const std::string index = ReadFile(HELP / "index.html");
  for (const char* type : TYPES)
    EXPECT_NE(index.find("href=\"content/" + std::string(type) + ".html\""), std::string::npos) << type;
}
} // namespace
