#include <gtest/gtest.h>

#include "host/core/url.h"

namespace
{
TEST(UrlText, LocalPathsBecomeFileUrlsWithTheirAnchor)
{
  struct Case
  {
    const char* path;
    const char* text;
  };
  const Case cases[] = {
    {"/opt/ogx/help/index.html", "file:///opt/ogx/help/index.html"},
    {"/opt/ogx/help/content/prefsogx.html#", "file:///opt/ogx/help/content/prefsogx.html#"},
    {"/opt/ogx/help/content/onoiseoperator.html#NOISEOPERATOR_SCALE",
     "file:///opt/ogx/help/content/onoiseoperator.html#NOISEOPERATOR_SCALE"},
    // Blanks, quotes, backslashes, non-ASCII letters and a "#" in a folder name are encoded; only the
    // last part's first "#" starts the anchor, whose own specials are encoded too.
    {"/home/A \"B\"/m\xc3\xb6/C:\\x/#1/p.html#a b#\"\n",
     "file:///home/A%20%22B%22/m%C3%B6/C%3A%5Cx/%231/p.html#a%20b%23%22%0A"},
    {"relative/page.html", "file:///relative/page.html"},
    // Text with a scheme is a web address already.
    {"https://orogenix.example/help/index.html#x", "https://orogenix.example/help/index.html#x"},
    {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Url(String(c.path)).GetUrlText(), c.text) << c.path;
  EXPECT_EQ(Url(String("/opt/ogx/help")).Append("content").Append("oterrain.html#TERRAINOBJECT_HULL").GetUrlText(),
            "file:///opt/ogx/help/content/oterrain.html#TERRAINOBJECT_HULL");
}
} // namespace
