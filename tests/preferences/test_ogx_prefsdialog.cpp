// The preferences page: the defaults it fills in (kept, missing and wrong-typed values), reads and
// writes through the page with each key's type, the description's defaults, the palette button, and a
// preferences container that cannot be had.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "host/core/log.h"
#include "host/gui/layouts.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/scene/messages.h"
#include "host/scene/resource.h"
#include "object/terrainobject.h"
#include "orogenix/ogx_ids.h"
#include "preferences/ogx_prefsdialog.h"

namespace
{
struct Expected
{
  Int32 id;
  Int32 type;    // the container's value type
  Float value;   // Int32 and Bool values as numbers
};

// Every key, its stored type and its default, written out from the page's table.
const std::vector<Expected> DEFAULTS = {
  {1000, DA_LONG, 4000},  {1001, DA_LONG, 1},  {1002, DA_LONG, 1},  {10010, DA_REAL, 0.05}, {10004, DA_LONG, 1},
  {10005, DA_LONG, 0},    {10006, DA_LONG, 1}, {10011, DA_LONG, 0}, {10007, DA_LONG, 1},    {10012, DA_LONG, 0},
  {10008, DA_LONG, 1},    {10009, DA_LONG, 1}, {1003, DA_LONG, 1},
};

class PrefsDialogTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    Reset();
    host::SetModuleDirectory(Url(String(OGX_SOURCE_DIR)));
    ASSERT_TRUE(InitResource());
  }
  void TearDown() override
  {
    FreeResource();
    host::SetModuleDirectory(Url());
    Reset();
  }
  static void Reset()
  {
    host::ResetSceneState();
    host::ResetDescriptions();
    host::ResetLogs();
    host::ResetLoadFileRequests();
  }

  static BaseContainer* Prefs()
  {
    return GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES);
  }
  // Registers the page (whose Init fills the defaults in) and answers its node.
  static BaseList2D* OpenPage()
  {
    EXPECT_TRUE(RegisterPreferencesPage());
    return host::GetPrefsPage(ID_OGX_PREFERENCES);
  }
  static void ExpectDefaults(const BaseContainer& prefs, const std::vector<Int32>& except = {})
  {
    for (const Expected& e : DEFAULTS)
    {
      if (std::find(except.begin(), except.end(), e.id) != except.end())
        continue;
      EXPECT_EQ(prefs.GetType(e.id), e.type) << e.id;
      EXPECT_EQ(e.type == DA_REAL ? prefs.GetFloat(e.id) : prefs.GetInt32(e.id), e.value) << e.id;
    }
  }
};
} // namespace

TEST_F(PrefsDialogTest, RegistrationFillsEveryDefaultIntoAMissingContainer)
{
  ASSERT_EQ(GetWorldContainerInstance()->GetContainerInstance(ID_OGX_PREFERENCES), nullptr);
  BaseList2D* page = OpenPage();
  ASSERT_NE(page, nullptr);
  ASSERT_NE(Prefs(), nullptr);
  EXPECT_EQ(Prefs()->GetCount(), static_cast<Int32>(DEFAULTS.size()));
  ExpectDefaults(*Prefs());
  const host::PluginEntry* entry = host::FindPlugin(ID_OGX_PREFERENCES);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->name, "Orogenix");
  EXPECT_EQ(entry->description, "prefsogx");
  EXPECT_EQ(entry->parentPage, 0);
  EXPECT_EQ(entry->priority, 0);
}

TEST_F(PrefsDialogTest, KeepsValuesOfTheRightTypeAndReplacesOthers)
{
  BaseContainer prefs(ID_OGX_PREFERENCES);
  prefs.SetInt32(1000, 2000);        // kept
  prefs.SetBool(1002, false);        // kept (a Bool is an Int32)
  prefs.SetInt32(10009, 0);          // kept
  prefs.SetFloat(10010, 0.25);       // kept
  prefs.SetFloat(1003, 3.0);         // another type: replaced by the Int32 default
  prefs.SetString(1001, "yes");      // replaced
  prefs.SetInt32(10011, 1);          // kept
  GetWorldContainerInstance()->SetContainer(ID_OGX_PREFERENCES, prefs);
  ASSERT_NE(OpenPage(), nullptr);

  const BaseContainer& p = *Prefs();
  EXPECT_EQ(p.GetInt32(1000), 2000);
  EXPECT_FALSE(p.GetBool(1002, true));
  EXPECT_EQ(p.GetInt32(10009), 0);
  EXPECT_EQ(p.GetFloat(10010), 0.25);
  EXPECT_EQ(p.GetInt32(10011), 1);
  ExpectDefaults(p, {1000, 1002, 10009, 10010, 10011});

  // A Float cap is no cap: the page puts the Int32 default in its place.
  Prefs()->SetFloat(1000, 3000.0);
  ASSERT_TRUE(host::GetPrefsPage(ID_OGX_PREFERENCES)->GetNodeData()->Init(host::GetPrefsPage(ID_OGX_PREFERENCES)));
  EXPECT_EQ(Prefs()->GetType(1000), DA_LONG);
  EXPECT_EQ(Prefs()->GetInt32(1000), 4000);
}

TEST_F(PrefsDialogTest, ReadsAndWritesGoThroughTheKeysTypes)
{
  BaseList2D* page = OpenPage();
  ASSERT_NE(page, nullptr);

  // Reading an emptied container through the page gives the defaults, not the key numbers.
  Prefs()->FlushAll();
  GeData value;
  ASSERT_TRUE(page->GetParameter(DescID(1000), value));
  EXPECT_EQ(value.GetType(), DA_LONG);
  EXPECT_EQ(value.GetInt32(), 4000);
  ASSERT_TRUE(page->GetParameter(DescID(10010), value));
  EXPECT_EQ(value.GetType(), DA_REAL);
  EXPECT_EQ(value.GetFloat(), 0.05);
  ASSERT_TRUE(page->GetParameter(DescID(10005), value));
  EXPECT_FALSE(value.GetBool(true));
  EXPECT_TRUE(Prefs()->IsEmpty()) << "reads write nothing";

  // Writes store each key with its own type, whatever type the value came in.
  ASSERT_TRUE(page->SetParameter(DescID(10010), GeData(Int32(1))));
  EXPECT_EQ(Prefs()->GetType(10010), DA_REAL);
  EXPECT_EQ(Prefs()->GetFloat(10010), 1.0);
  ASSERT_TRUE(page->SetParameter(DescID(1000), GeData(2500.7)));
  EXPECT_EQ(Prefs()->GetType(1000), DA_LONG);
  EXPECT_EQ(Prefs()->GetInt32(1000), 2500);
  ASSERT_TRUE(page->SetParameter(DescID(1002), GeData(0.0)));
  EXPECT_EQ(Prefs()->GetType(1002), DA_LONG);
  EXPECT_FALSE(Prefs()->GetBool(1002, true));
  // The readers see what the page wrote.
  EXPECT_EQ(GetMaxResolutionPreference(), 2500);

  // Ids that are no key belong to the page's own node.
  ASSERT_TRUE(page->SetParameter(DescID(4242), GeData(Int32(5))));
  EXPECT_FALSE(Prefs()->Contains(4242));
}

TEST_F(PrefsDialogTest, DescriptionCarriesTheDefaultsWhenAsked)
{
  BaseList2D* page = OpenPage();
  ASSERT_NE(page, nullptr);
  Description* description = Description::Alloc();
  ASSERT_NE(description, nullptr);
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NEEDDEFAULTVALUE;
  ASSERT_TRUE(page->GetDescription(description, flags));
  EXPECT_TRUE(HasFlag(flags, DESCFLAGS_DESC::LOADED));
  for (const Expected& e : DEFAULTS)
  {
    const BaseContainer* entry = description->GetParameterContainer(ParameterId(e.id));
    ASSERT_NE(entry, nullptr) << e.id;
    EXPECT_EQ(entry->GetType(DESC_DEFAULT), e.type) << e.id;
    EXPECT_EQ(e.type == DA_REAL ? entry->GetFloat(DESC_DEFAULT) : entry->GetInt32(DESC_DEFAULT), e.value) << e.id;
  }
  const DescriptionEntry* button = description->FindEntry(PREFSOGX_LOAD_PALETTE);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->id.dtype, DTYPE_BUTTON);
  Description::Free(description);
}

TEST_F(PrefsDialogTest, PaletteButtonAsksTheHostToLoadThePalette)
{
  BaseList2D* page = OpenPage();
  ASSERT_NE(page, nullptr);
  DescriptionCommand button{DescID(PREFSOGX_LOAD_PALETTE)};
  EXPECT_TRUE(page->Message(MSG_DESCRIPTION_COMMAND, &button));
  std::vector<host::LoadFileRecord> requests = host::GetLoadFileRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].file.GetPath(), std::filesystem::path(OGX_SOURCE_DIR) / "res" / "orogenix_palette.l4d");
  EXPECT_TRUE(requests[0].loaded);

  // A missing palette is the host's to report; the button still answers true.
  host::SetModuleDirectory(Url(String("/nonexistent-ogx-module")));
  EXPECT_TRUE(page->Message(MSG_DESCRIPTION_COMMAND, &button));
  requests = host::GetLoadFileRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[1].loaded);
  EXPECT_NE(host::Console().GetLast().find("orogenix_palette.l4d"), String::npos);
}

TEST_F(PrefsDialogTest, WithoutAContainerThePageFailsRatherThanPretends)
{
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, true);
  ASSERT_TRUE(RegisterPreferencesPage());
  // Init failed: the host has no page to show.
  EXPECT_EQ(host::GetPrefsPage(ID_OGX_PREFERENCES), nullptr);

  EXPECT_EQ(AllocPluginNode(ID_OGX_PREFERENCES), nullptr);
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, false);
  BaseList2D* page = AllocPluginNode(ID_OGX_PREFERENCES);
  ASSERT_NE(page, nullptr);
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, true);

  Description* description = Description::Alloc();
  DESCFLAGS_DESC flags = DESCFLAGS_DESC::NONE;
  EXPECT_FALSE(page->GetDescription(description, flags));
  Description::Free(description);
  EXPECT_FALSE(page->SetParameter(DescID(1000), GeData(Int32(100))));
  GeData value;
  EXPECT_FALSE(page->GetParameter(DescID(1000), value)) << "the host default finds nothing in the page's node";
  host::SetWorldSubContainerRefused(ID_OGX_PREFERENCES, false);
  host::FreeNode(page);
}
