// Commands as a user reaches them: by menu name or id, run only while enabled.
#include <gtest/gtest.h>

#include "host/core/alloc.h"
#include "host/scene/plugins.h"
#include "support/scene_fixture.h"

namespace
{
class SwitchedCommand : public CommandData
{
public:
  Bool enabled = true;
  Int runs = 0;
  Bool Execute(BaseDocument*) override
  {
    ++runs;
    return true;
  }
  Int32 GetState(BaseDocument*) override { return enabled ? CMD_ENABLED : 0; }
};

using CommandLookupTest = LeakCheckedSceneTest;
} // namespace

TEST_F(CommandLookupTest, CommandsAreFoundByShownNameOrIdAndRunOnlyWhileEnabled)
{
  auto* group = NewObj<SwitchedCommand>();
  ASSERT_TRUE(RegisterCommandPlugin(1099501, "#$41Group Operators", 0, nullptr, "help", group));
  ASSERT_TRUE(RegisterCommandPlugin(1099502, "#$40--", 0, nullptr, String(), NewObj<CommandData>()));
  ASSERT_TRUE(RegisterCommandPlugin(1099503, "Plain", 0, nullptr, String(), NewObj<CommandData>()));

  EXPECT_EQ(host::GetMenuDisplayName("#$41Group Operators"), "Group Operators");
  EXPECT_EQ(host::GetMenuDisplayName("Plain"), "Plain");
  EXPECT_EQ(host::FindCommand("Group Operators"), 1099501);
  EXPECT_EQ(host::FindCommand("group operators"), 1099501);
  EXPECT_EQ(host::FindCommand("1099501"), 1099501);
  EXPECT_EQ(host::FindCommand("Plain"), 1099503);
  EXPECT_EQ(host::FindCommand("--"), 0);
  EXPECT_EQ(host::FindCommand("1099502"), 0) << "a separator is no command";
  EXPECT_EQ(host::FindCommand("Group"), 0);
  EXPECT_EQ(host::FindCommand(""), 0);

  EXPECT_TRUE(host::ExecuteCommand(1099501, nullptr));
  group->enabled = false;
  EXPECT_EQ(host::GetCommandState(1099501, nullptr), 0);
  EXPECT_FALSE(host::ExecuteCommand(1099501, nullptr));
  EXPECT_EQ(group->runs, 1);
  EXPECT_FALSE(host::ExecuteCommand(1099599, nullptr));
}
