#pragma once

// The wizard's commands as data and rules, free of any toolkit: the four
// popups of the menu bar, the right-click menu, the tool buttons, which of
// them act when, the rename rules, the entry colours and the keyboard. The
// desktop front end builds its menus and buttons from these tables.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/wizard_state.hpp"
#include "fs/file_tree.hpp"

namespace tolvar::commands {

// The project's own pages: the home page (Buy Online, the home-page link,
// exit) and the releases page that Live Update opens.
inline constexpr std::string_view kHomePage = "https://tolvar.example.org/";
inline constexpr std::string_view kReleasesPage = "https://tolvar.example.org/releases/";

// Every command of the window's menus, by name.
enum class Command {
  kNone,
  kSaveSnapshot,  // in no menu; does nothing
  kLoadSnapshot,  // in no menu; does nothing
  kExit,
  kRecoverSelected,
  kRecoverAll,
  kIcons,
  kFindFiles,
  kFileFilters,
  kSettings,
  kContents,
  kAbout,
  kContextIcons,
  kContextList,
  kContextRecoverSelected,
  kContextRecoverAll,
  kContextOpen,
  kContextSettings,
  kContextOpenWith,
  kContextProperties,
  kOpenLog,  // in no menu
  kContextFindFiles,
  kContextDetails,
  kContextRename,
  kDriveInformation,
  kBuyOnline,
  kLiveUpdate,
  kRestoreCompressed,  // in no menu
  kList,
  kDetails,
};

// The pictures beside menu items and on tool buttons, by their number.
enum class Bitmap : int {
  kNone = 0,
  kToolRecoverSelected = 163,
  kToolRecoverAll = 164,
  kToolSaveSnapshot = 166,
  kToolLoadSnapshot = 167,
  kToolFindFiles = 168,
  kToolSettings = 169,
  kToolLiveUpdate = 170,
  kToolRecoverSelectedHover = 171,
  kToolRecoverAllHover = 172,
  kToolSaveSnapshotHover = 173,
  kToolLoadSnapshotHover = 174,
  kToolFindFilesHover = 175,
  kToolSettingsHover = 176,
  kToolLiveUpdateHover = 177,
  kExit = 181,
  kAbout = 188,
  kBuyOnline = 189,
  kContents = 190,
  kDetails = 191,
  kDriveInformation = 192,
  kFileFilters = 193,
  kFindFiles = 194,
  kIcons = 195,
  kList = 196,
  kLiveUpdate = 197,
  kRecoverAll = 200,
  kRecoverSelected = 201,
  kSettings = 203,
};

// One item of a popup; a separator has Command::kNone.
struct MenuItem {
  Command command = Command::kNone;
  std::string_view text;
  Bitmap bitmap = Bitmap::kNone;
};

struct Popup {
  std::string_view title;
  int width = 150;  // pixels; every item is 20 high, separators 6
  std::span<const MenuItem> items;
};

// The menu bar, in order: Recovery, View, Tools, Help.
[[nodiscard]] std::span<const Popup> MenuBar();

// Exit, Live Update, Contents, Buy Online and About: never greyed.
[[nodiscard]] bool AlwaysEnabled(Command command);

// The right-click menu. An entry is an item, a separator, or the "&View"
// popup whose three items follow it (submenuItems of them).
struct ContextItem {
  Command command = Command::kNone;
  std::string_view text;
  int submenuItems = 0;  // > 0: a popup titled `text` holding the next n items
};
[[nodiscard]] std::span<const ContextItem> ContextMenu();

// The menu-bar command a right-click item acts as (itself for Open, Open
// With, Rename and Properties, which have no menu-bar item).
[[nodiscard]] Command MenuBarEquivalent(Command command);

// The tool buttons of the top row, each known by the command it stands for.
struct ToolButton {
  Command command = Command::kNone;
  int x = 0;  // dialog units; hidden buttons have no place
  int y = 0;
  bool hidden = false;
  Bitmap normal = Bitmap::kNone;
  Bitmap hover = Bitmap::kNone;
  std::string_view tooltip;
  std::string_view caption;  // the word under its picture
  bool acts = true;          // false: a click does nothing
};
inline constexpr int kToolButtonWidth = 45;  // dialog units
inline constexpr int kToolButtonHeight = 42;
[[nodiscard]] std::span<const ToolButton> ToolButtons();

// Whether a tool button's click runs its command: only while the command is
// enabled in the menu bar, Live Update always, the snapshot buttons never.
[[nodiscard]] bool ToolButtonActs(const ToolButton& button, bool commandEnabledInMenuBar);

// The right-click menu opens only at step 2, with the list focused, no
// worker busy and a row under the selection mark.
[[nodiscard]] bool ContextMenuAvailable(const WizardState& state, bool hasSelectionMark);
// "Open &With..." is greyed for folder entries: the type (its first 100
// characters) equals "Folder" or "Deleted Folder", case ignored.
[[nodiscard]] bool OpenWithGreyed(std::string_view typeText);
// Open's test for a folder entry: the type ends with "Folder".
[[nodiscard]] bool OpensAsFolder(std::string_view typeText);
// Rename's test for a folder entry: the same comparison as OpenWithGreyed.
[[nodiscard]] bool RenamesAsFolder(std::string_view typeText);

// The longest name a record holds.
inline constexpr std::size_t kMaxNameBytes = 255;
// The name an entry gets when its in-place editor closes: the edited text, or
// the old name when the text is empty or the wizard is not on the files step;
// cut to 255 bytes, never inside a UTF-8 sequence.
[[nodiscard]] std::string RenamedName(std::string_view edited, std::string_view oldName,
                                      WizardStep step);
// Gives the file whose id is `fileId` its new name; false when there is none.
bool RenameFile(FileTree& tree, std::uint32_t fileId, std::string_view name);
// Gives the folder record at `folderIndex` its new name; false when out of range.
bool RenameFolder(FileTree& tree, std::size_t folderIndex, std::string_view name);

// Entry colours: by the type text, always on white.
enum class EntryColour { kBlack, kGrey, kRed };
[[nodiscard]] EntryColour EntryColourFor(std::string_view typeText);
// 0xRRGGBB values.
[[nodiscard]] std::uint32_t Rgb(EntryColour colour);
inline constexpr std::uint32_t kEntryBackground = 0xFFFFFF;

// The keyboard table of the main window.
enum class Key { kF1, kTab, kEscape, kEnter, kContextMenu, kF2, kOther };
enum class KeyAction {
  kHelpContents,
  kToggleListTreeFocus,  // step 2: list <-> tree, treeHasFocus follows
  kToFocusedControl,     // Esc: never closes the window
  kOpen,                 // openWith = 0 then Open; never a default button
  kContextMenu,
  kRename,
  kSwallow,  // consumed with no effect
  kDefault,  // the usual dialog path
};
[[nodiscard]] KeyAction ActionForKey(Key key, const WizardState& state);

// The help manual: the file the Help Contents command opens, and the message
// when it is missing (" <file> not found", one blank before).
[[nodiscard]] std::string ManualNotFoundMessage(std::string_view manualFile);

inline constexpr std::string_view kAboutTitle = "About Tolvar Recovery (SCO OpenServer)";
// Followed by the project's version.
inline constexpr std::string_view kAboutLine = "Tolvar for SCO OpenServer";

}  // namespace tolvar::commands
