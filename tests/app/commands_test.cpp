#include "app/commands.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace tolvar::commands {
namespace {

void ToFilesStep(WizardState& state) { state.step = WizardStep::kFiles; }

TEST(CommandTables, MenuBarHoldsEveryPlacedCommandOnceAndNoneOfTheUnplaced) {
  std::set<Command> seen;
  int items = 0;
  for (const Popup& popup : MenuBar()) {
    for (const MenuItem& item : popup.items) {
      if (item.command == Command::kNone) continue;
      ++items;
      EXPECT_TRUE(seen.insert(item.command).second) << static_cast<int>(item.command);
      EXPECT_NE(item.bitmap, Bitmap::kNone);
    }
  }
  EXPECT_EQ(items, 14);
  for (const Command unplaced : {Command::kSaveSnapshot, Command::kLoadSnapshot, Command::kOpenLog,
                                 Command::kRestoreCompressed}) {
    EXPECT_FALSE(seen.contains(unplaced));
  }
  EXPECT_EQ(MenuBar()[3].width, 200);
  EXPECT_EQ(MenuBar()[3].items[2].text, "&About Tolvar Recovery (SCO OpenServer)...");
}

TEST(CommandTables, ContextItemsActAsTheirMenuBarCommands) {
  EXPECT_EQ(MenuBarEquivalent(Command::kContextRecoverSelected), Command::kRecoverSelected);
  EXPECT_EQ(MenuBarEquivalent(Command::kContextIcons), Command::kIcons);
  EXPECT_EQ(MenuBarEquivalent(Command::kContextDetails), Command::kDetails);
  EXPECT_EQ(MenuBarEquivalent(Command::kContextSettings), Command::kSettings);
  EXPECT_EQ(MenuBarEquivalent(Command::kContextRename), Command::kContextRename);
  // The View popup announces its three items.
  const auto menu = ContextMenu();
  const auto view = std::ranges::find(menu, std::string_view("&View"), &ContextItem::text);
  ASSERT_NE(view, menu.end());
  EXPECT_EQ(view->submenuItems, 3);
  EXPECT_EQ((view + 1)->text, "Ico&ns     ");
}

TEST(ToolButtonRules, GreyedCommandsDoNothingLiveUpdateAlwaysSnapshotsNever) {
  for (const ToolButton& button : ToolButtons()) {
    switch (button.command) {
      case Command::kLiveUpdate:
        EXPECT_TRUE(ToolButtonActs(button, false));
        break;
      case Command::kSaveSnapshot:
      case Command::kLoadSnapshot:
        EXPECT_TRUE(button.hidden);
        EXPECT_FALSE(ToolButtonActs(button, true));
        break;
      default:
        EXPECT_FALSE(ToolButtonActs(button, false)) << button.caption;
        EXPECT_TRUE(ToolButtonActs(button, true)) << button.caption;
    }
  }
}

TEST(ContextMenuRules, OpensOnlyOnTheFilesStepWithListFocusIdleAndAMark) {
  WizardState state;
  ToFilesStep(state);
  EXPECT_TRUE(ContextMenuAvailable(state, true));
  EXPECT_FALSE(ContextMenuAvailable(state, false));
  state.treeHasFocus = 1;
  EXPECT_FALSE(ContextMenuAvailable(state, true));
  state.treeHasFocus = 0;
  state.SetBusy(true);
  EXPECT_FALSE(ContextMenuAvailable(state, true));
  state.SetBusy(false);
  state.step = WizardStep::kVolume;
  EXPECT_FALSE(ContextMenuAvailable(state, true));
}

TEST(ContextMenuRules, OpenWithIsGreyedOnFoldersOnly) {
  EXPECT_TRUE(OpenWithGreyed("Folder"));
  EXPECT_TRUE(OpenWithGreyed("deleted folder"));
  EXPECT_FALSE(OpenWithGreyed("TXT File"));
  EXPECT_FALSE(OpenWithGreyed("Compressed Folder"));  // equality, not a suffix
  EXPECT_TRUE(OpensAsFolder("Compressed Folder"));    // Open tests the last six characters
  EXPECT_FALSE(OpensAsFolder("folder"));
}

TEST(RenameRules, EmptyTextOrAnotherStepKeepsTheOldNameAndLongNamesAreCut) {
  EXPECT_EQ(RenamedName("", "OLD", WizardStep::kFiles), "OLD");
  EXPECT_EQ(RenamedName("NEW", "OLD", WizardStep::kVolume), "OLD");
  EXPECT_EQ(RenamedName("NEW", "OLD", WizardStep::kFiles), "NEW");
  EXPECT_EQ(RenamedName(std::string(300, 'x'), "OLD", WizardStep::kFiles).size(), 255U);
  // 254 ASCII bytes then a two-byte character: the character is dropped whole.
  const std::string edited = std::string(254, 'a') + "\xC3\xA9";
  EXPECT_EQ(RenamedName(edited, "OLD", WizardStep::kFiles), std::string(254, 'a'));
}

TEST(RenameRules, RecordsTakeTheNewNameByIdAndIndex) {
  FileTree tree;
  ASSERT_TRUE(tree.AddFolder("USR", 10, 2, 1, 0).has_value());
  ASSERT_TRUE(tree.AddFile("A.TXT", 20, 10, 7, 0, 5).has_value());
  EXPECT_TRUE(RenameFile(tree, 7, "B.TXT"));
  EXPECT_EQ(tree.FindFileById(7)->name, "B.TXT");
  EXPECT_FALSE(RenameFile(tree, 8, "C"));
  EXPECT_TRUE(RenameFolder(tree, 0, std::string(400, 'y')));
  EXPECT_EQ(tree.Folders()[0].name.size(), 255U);
  EXPECT_FALSE(RenameFolder(tree, 1, "Z"));
}

TEST(EntryColours, DeletedGreyCompressedRedOthersBlack) {
  EXPECT_EQ(Rgb(EntryColourFor("Deleted TXT File")), 0x969696U);
  EXPECT_EQ(Rgb(EntryColourFor("Compressed File")), 0xFF0000U);
  EXPECT_EQ(Rgb(EntryColourFor("Folder")), 0U);
  EXPECT_EQ(Rgb(EntryColourFor("Deleted")), 0U);  // the blank belongs to the prefix
  EXPECT_EQ(kEntryBackground, 0xFFFFFFU);
}

TEST(Keyboard, TheTableByStateAndRenaming) {
  WizardState state;
  ToFilesStep(state);
  EXPECT_EQ(ActionForKey(Key::kF1, state), KeyAction::kHelpContents);
  EXPECT_EQ(ActionForKey(Key::kEscape, state), KeyAction::kToFocusedControl);
  EXPECT_EQ(ActionForKey(Key::kTab, state), KeyAction::kToggleListTreeFocus);
  EXPECT_EQ(ActionForKey(Key::kEnter, state), KeyAction::kOpen);
  EXPECT_EQ(ActionForKey(Key::kF2, state), KeyAction::kRename);
  state.treeHasFocus = 1;
  EXPECT_EQ(ActionForKey(Key::kF2, state), KeyAction::kSwallow);
  state.treeHasFocus = 0;
  state.renaming = 1;
  EXPECT_EQ(ActionForKey(Key::kTab, state), KeyAction::kDefault);
  EXPECT_EQ(ActionForKey(Key::kEnter, state), KeyAction::kDefault);
  EXPECT_EQ(ActionForKey(Key::kF2, state), KeyAction::kSwallow);
  const WizardState disk;
  EXPECT_EQ(ActionForKey(Key::kTab, disk), KeyAction::kDefault);
  EXPECT_EQ(ActionForKey(Key::kEnter, disk), KeyAction::kSwallow);  // never a default button
}

TEST(HelpContents, MissingManualMessageHasOneLeadingBlank) {
  EXPECT_EQ(ManualNotFoundMessage("/usr/share/tolvar/manual/index.html"),
            " /usr/share/tolvar/manual/index.html not found");
}

}  // namespace
}  // namespace tolvar::commands
