#include "app/commands.hpp"

#include <algorithm>
#include <cctype>

#include "base/utf8.hpp"

namespace tolvar::commands {
namespace {

using enum Command;

constexpr MenuItem kRecoveryItems[] = {
    {kRecoverSelected, "&Recover Selected...", Bitmap::kRecoverSelected},
    {kRecoverAll, "Recover &All...", Bitmap::kRecoverAll},
    {},
    {kExit, "E&xit...", Bitmap::kExit},
};
constexpr MenuItem kViewItems[] = {
    {kIcons, "Ico&ns", Bitmap::kIcons},
    {kList, "&List", Bitmap::kList},
    {kDetails, "&Details", Bitmap::kDetails},
};
constexpr MenuItem kToolsItems[] = {
    {kFindFiles, "&Find Files...", Bitmap::kFindFiles},
    {kFileFilters, "File Fi&lters...", Bitmap::kFileFilters},
    {kSettings, "Se&ttings...", Bitmap::kSettings},
    {},
    {kDriveInformation, "&Drive Information", Bitmap::kDriveInformation},
    {},
    {kLiveUpdate, "Live &Update", Bitmap::kLiveUpdate},
};
constexpr MenuItem kHelpItems[] = {
    {kContents, "&Contents", Bitmap::kContents},
    {kBuyOnline, "Buy &Online", Bitmap::kBuyOnline},
    {kAbout, "&About Tolvar Recovery (SCO OpenServer)...", Bitmap::kAbout},
};
constexpr Popup kMenuBar[] = {
    {"&Recovery", 150, kRecoveryItems},
    {"&View", 150, kViewItems},
    {"&Tools", 150, kToolsItems},
    {"&Help", 200, kHelpItems},
};

constexpr ContextItem kContextMenu[] = {
    {kContextOpen, "&Open"},
    {kContextOpenWith, "Open &With..."},
    {},
    {kContextRecoverSelected, "&Recover Selected..."},
    {kContextRecoverAll, "Recover &All..."},
    {},
    {kNone, "&View", 3},
    {kContextIcons, "Ico&ns     "},
    {kContextList, "&List"},
    {kContextDetails, "&Details"},
    {},
    {kContextFindFiles, "&Find Files..."},
    {},
    {kContextRename, "Re&name"},
    {},
    {kContextSettings, "&Settings..."},
    {},
    {kContextProperties, "&Properties..."},
};

constexpr ToolButton kToolButtons[] = {
    {kRecoverSelected, 20, 13, false, Bitmap::kToolRecoverSelected,
     Bitmap::kToolRecoverSelectedHover, "Copy the selected file(s) and folder(s) to your computer",
     "Recover"},
    {kRecoverAll, 80, 13, false, Bitmap::kToolRecoverAll, Bitmap::kToolRecoverAllHover,
     "Copy all the file(s) and folder(s) to your computer", "Recover All"},
    {kFindFiles, 140, 13, false, Bitmap::kToolFindFiles, Bitmap::kToolFindFilesHover,
     "Search the file(s) in the recovered data", "Search"},
    {kLiveUpdate, 200, 13, false, Bitmap::kToolLiveUpdate, Bitmap::kToolLiveUpdateHover,
     "Updates the software with latest changes from internet", "Update"},
    {kSettings, 260, 13, false, Bitmap::kToolSettings, Bitmap::kToolSettingsHover,
     "Configures the software", "Settings"},
    {kSaveSnapshot, 0, 0, true, Bitmap::kToolSaveSnapshot, Bitmap::kToolSaveSnapshotHover,
     "Saves the snapshot of scan information, so that later on you need not to scan the disk "
     "again",
     "Save", false},
    {kLoadSnapshot, 0, 0, true, Bitmap::kToolLoadSnapshot, Bitmap::kToolLoadSnapshotHover,
     "Loads the data from previously saved scan information", "Load", false},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// The type column as the window reads it: at most 100 characters.
std::string_view TypeAsRead(std::string_view typeText) { return typeText.substr(0, 100); }

}  // namespace

std::span<const Popup> MenuBar() { return kMenuBar; }

bool AlwaysEnabled(Command command) {
  switch (command) {
    case kExit:
    case kLiveUpdate:
    case kContents:
    case kBuyOnline:
    case kAbout:
      return true;
    default:
      return false;
  }
}

std::span<const ContextItem> ContextMenu() { return kContextMenu; }

Command MenuBarEquivalent(Command command) {
  switch (command) {
    case kContextRecoverSelected:
      return kRecoverSelected;
    case kContextRecoverAll:
      return kRecoverAll;
    case kContextIcons:
      return kIcons;
    case kContextList:
      return kList;
    case kContextDetails:
      return kDetails;
    case kContextFindFiles:
      return kFindFiles;
    case kContextSettings:
      return kSettings;
    default:
      return command;
  }
}

std::span<const ToolButton> ToolButtons() { return kToolButtons; }

bool ToolButtonActs(const ToolButton& button, bool commandEnabledInMenuBar) {
  if (!button.acts) return false;
  if (AlwaysEnabled(button.command)) return true;
  return commandEnabledInMenuBar;
}

bool ContextMenuAvailable(const WizardState& state, bool hasSelectionMark) {
  return state.treeHasFocus == 0 && state.step == WizardStep::kFiles && !state.Busy() &&
         hasSelectionMark;
}

bool RenamesAsFolder(std::string_view typeText) {
  const std::string_view type = TypeAsRead(typeText);
  return EqualsIgnoringCase(type, "Folder") || EqualsIgnoringCase(type, "Deleted Folder");
}

bool OpenWithGreyed(std::string_view typeText) { return RenamesAsFolder(typeText); }

bool OpensAsFolder(std::string_view typeText) { return TypeAsRead(typeText).ends_with("Folder"); }

std::string RenamedName(std::string_view edited, std::string_view oldName, WizardStep step) {
  const std::string_view name = (edited.empty() || step != WizardStep::kFiles) ? oldName : edited;
  return std::string(CutUtf8(name, kMaxNameBytes));
}

bool RenameFile(FileTree& tree, std::uint32_t fileId, std::string_view name) {
  const FileNode* file = tree.FindFileById(fileId);
  if (file == nullptr) return false;
  tree.SetFileName(static_cast<std::size_t>(file - tree.Files().data()),
                   CutUtf8(name, kMaxNameBytes));
  return true;
}

bool RenameFolder(FileTree& tree, std::size_t folderIndex, std::string_view name) {
  if (folderIndex >= tree.Folders().size()) return false;
  tree.SetFolderName(folderIndex, CutUtf8(name, kMaxNameBytes));
  return true;
}

EntryColour EntryColourFor(std::string_view typeText) {
  if (typeText.starts_with("Deleted ")) return EntryColour::kGrey;
  if (typeText.starts_with("Compressed ")) return EntryColour::kRed;
  return EntryColour::kBlack;
}

std::uint32_t Rgb(EntryColour colour) {
  switch (colour) {
    case EntryColour::kGrey:
      return 0x969696;
    case EntryColour::kRed:
      return 0xFF0000;
    case EntryColour::kBlack:
      break;
  }
  return 0x000000;
}

KeyAction ActionForKey(Key key, const WizardState& state) {
  const bool renaming = state.renaming == 1;
  switch (key) {
    case Key::kF1:
      return KeyAction::kHelpContents;
    case Key::kTab:
      if (renaming) return KeyAction::kDefault;
      return state.step == WizardStep::kFiles ? KeyAction::kToggleListTreeFocus
                                              : KeyAction::kDefault;
    case Key::kEscape:
      return KeyAction::kToFocusedControl;
    case Key::kEnter:
      if (renaming) return KeyAction::kDefault;
      return state.step == WizardStep::kFiles ? KeyAction::kOpen : KeyAction::kSwallow;
    case Key::kContextMenu:
      return KeyAction::kContextMenu;
    case Key::kF2:
      return (state.step == WizardStep::kFiles && state.treeHasFocus == 0 && !renaming)
                 ? KeyAction::kRename
                 : KeyAction::kSwallow;
    case Key::kOther:
      break;
  }
  return KeyAction::kDefault;
}

std::string ManualNotFoundMessage(std::string_view manualFile) {
  std::string text(" ");
  text += manualFile;
  text += " not found";
  return text;
}

}  // namespace tolvar::commands
