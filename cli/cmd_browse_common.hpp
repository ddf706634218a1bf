#pragma once

// What ls, tree, find, info and recover share: the image, the volume number,
// the mode, and a mount of that volume into a file tree.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <expected>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.hpp"
#include "cli/cli_runtime.hpp"
#include "cli/open_image.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::cli {

struct BrowseOptions {
  std::string image;
  unsigned volume = 1;  // as `scan` numbers them, from 1
  bool extensive = false;
  bool json = false;
  DiscoveryOptions discovery;
};

// Adds IMAGE, -v/--volume, --extensive, --json and the discovery options.
void AddBrowseOptions(CLI::App& command, BrowseOptions& options);

// The root's folder number in listings.
inline constexpr std::uint64_t kRootFolderNumber = 1;

// One volume of an image, mounted.
struct MountedVolume {
  std::unique_ptr<OpenedImage> image;
  VolumeInfo volume;
  unsigned number = 1;
  RecoveryMode mode = RecoveryMode::kNormal;
  FileTree tree;
  FileFilterList filters;
  // The folders reachable from the root in display order (each parent
  // before its children, children in list order), with their depth below
  // the root (1 for its children) and parent position in this list
  // (none: the root).
  struct Line {
    std::uint32_t folder = 0;  // position in tree.Folders()
    std::uint32_t depth = 1;
    std::optional<std::size_t> parentLine;
  };
  std::vector<Line> lines;
  // Each folder's number in listings (the "Sector" column of a folder row):
  // its position in `lines` plus 2, the root being 1; 0 when unreachable.
  std::vector<std::uint64_t> folderNumbers;

  // The text of the tree's root: the volume's name, or "Root".
  [[nodiscard]] std::string RootText() const;
};

// Opens the image, finds its volumes, picks volume `options.volume` and
// mounts it in the chosen mode. Tells the user what went wrong: no volume
// (status 1), no such volume number or an unusable image (status 2), running
// out of memory while mounting (status 2), an interrupt (status 130).
[[nodiscard]] std::expected<std::unique_ptr<MountedVolume>, CommandFailed> OpenAndMount(
    const BrowseOptions& options, CliRuntime& runtime);

// One row of a folder's listing: its folders, then its files.
struct ListRow {
  std::string name;
  std::string type;  // "Folder" or the file's type name as a desktop shell gives it
  std::string size;  // "0" for folders
  std::string date;
  std::string time;
  std::string sector;  // the folder's number, or the file's id
  bool isFolder = false;
  std::uint64_t key = 0;
  std::uint32_t inode = 0;
  std::uint32_t sizeBytes = 0;
  std::uint32_t timestamp = 0;
};

// Lists folder `folderInode`: its folders (never filtered), then its files
// that pass the volume's filters.
[[nodiscard]] std::vector<ListRow> ListFolder(const MountedVolume& mounted,
                                              std::uint32_t folderInode);

// The fields every JSON document of these commands starts with.
[[nodiscard]] nlohmann::json VolumeHeaderJson(const MountedVolume& mounted);

}  // namespace tolvar::cli
