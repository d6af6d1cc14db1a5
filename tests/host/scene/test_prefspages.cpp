// Preference pages: registration makes the page node and runs Init; the window's reads, writes and
// buttons reach the page's slots; the node goes with the plug-in table.
#include <gtest/gtest.h>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"

namespace
{
constexpr Int32 ID_PAGE = 1099401;
constexpr Int32 PAGE_KEY = 1000;

// A page that keeps its one value in a member and counts what the host called.
class CountingPage : public PrefsDialogObject
{
public:
  static NodeData* Alloc() { return NewObj<CountingPage>(); }
  static inline Int inits = 0;
  static inline Bool failInit = false;
  static inline Int32 lastCommand = 0;
  Int32 value = 0;

  Bool Init(GeListNode*) override
  {
    ++inits;
    value = 7;
    return !failInit;
  }
  Bool GetParameter(GeListNode* node, const DescID& id, GeData& t_data, DESCFLAGS_GET& flags) override
  {
    if (id[0].id != PAGE_KEY)
      return PrefsDialogObject::GetParameter(node, id, t_data, flags);
    t_data = GeData(value);
    flags |= DESCFLAGS_GET::PARAM_GET;
    return true;
  }
  Bool SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags) override
  {
    if (id[0].id != PAGE_KEY)
      return PrefsDialogObject::SetParameter(node, id, t_data, flags);
    value = t_data.GetInt32();
    flags |= DESCFLAGS_SET::PARAM_SET;
    return true;
  }
  Bool Message(GeListNode* node, Int32 type, void* data) override
  {
    if (type == MSG_DESCRIPTION_COMMAND && data)
      lastCommand = static_cast<const DescriptionCommand*>(data)->id[0].id;
    return PrefsDialogObject::Message(node, type, data);
  }
};

class PrefsPageTest : public LeakCheckedSceneTest
{
protected:
  void SetUp() override
  {
    LeakCheckedSceneTest::SetUp();
    host::ResetLogs();
    CountingPage::inits = 0;
    CountingPage::failInit = false;
    CountingPage::lastCommand = 0;
  }
};
} // namespace

TEST_F(PrefsPageTest, RegistrationMakesThePageAndRunsInit)
{
  ASSERT_TRUE(RegisterPrefsPlugin(ID_PAGE, CountingPage::Alloc, "Page", "prefspage", 0, 5));
  EXPECT_EQ(CountingPage::inits, 1);
  BaseList2D* page = host::GetPrefsPage(ID_PAGE);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->GetType(), ID_PAGE);
  EXPECT_EQ(page->GetDocument(), nullptr);
  const host::PluginEntry* entry = host::FindPlugin(ID_PAGE);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->type, PLUGINTYPE::PREFS);
  EXPECT_EQ(entry->name, "Page");
  EXPECT_EQ(entry->description, "prefspage");
  EXPECT_EQ(entry->parentPage, 0);
  EXPECT_EQ(entry->priority, 5);

  // The window's reads and writes go through the page's slots; other ids land in the node's container.
  GeData value;
  ASSERT_TRUE(page->GetParameter(DescID(PAGE_KEY), value));
  EXPECT_EQ(value.GetInt32(), 7);
  ASSERT_TRUE(page->SetParameter(DescID(PAGE_KEY), GeData(Int32(12))));
  EXPECT_EQ(page->GetNodeData<CountingPage>()->value, 12);
  EXPECT_FALSE(page->GetDataInstanceRef().Contains(PAGE_KEY));
  ASSERT_TRUE(page->SetParameter(DescID(2000), GeData(Int32(3))));
  EXPECT_EQ(page->GetDataInstanceRef().GetInt32(2000), 3);

  DescriptionCommand button{DescID(20001)};
  EXPECT_TRUE(page->Message(MSG_DESCRIPTION_COMMAND, &button));
  EXPECT_EQ(CountingPage::lastCommand, 20001);

  // Other kinds of plug-in have no page.
  EXPECT_EQ(host::GetPrefsPage(1099402), nullptr);
}

TEST_F(PrefsPageTest, AFailedInitLeavesNoPageButTheRegistrationStands)
{
  CountingPage::failInit = true;
  ASSERT_TRUE(RegisterPrefsPlugin(ID_PAGE, CountingPage::Alloc, "Page", "prefspage", 0, 0));
  EXPECT_EQ(CountingPage::inits, 1);
  EXPECT_EQ(host::GetPrefsPage(ID_PAGE), nullptr);
  EXPECT_NE(host::FindPlugin(ID_PAGE), nullptr);
  EXPECT_NE(host::Diagnostics().GetLast().find("1099401"), String::npos);
}

TEST_F(PrefsPageTest, RefusedRegistrationsMakeNoPage)
{
  EXPECT_FALSE(RegisterPrefsPlugin(ID_PAGE, nullptr, "Page", "prefspage", 0, 0));
  ASSERT_TRUE(RegisterPrefsPlugin(ID_PAGE, CountingPage::Alloc, "Page", "prefspage", 0, 0));
  EXPECT_FALSE(RegisterPrefsPlugin(ID_PAGE, CountingPage::Alloc, "Again", "prefspage", 0, 0));
  EXPECT_EQ(CountingPage::inits, 1);
  // The page node goes with the table (the fixture checks that no node is left alive).
  host::ResetPlugins();
  EXPECT_EQ(host::GetPrefsPage(ID_PAGE), nullptr);
}
