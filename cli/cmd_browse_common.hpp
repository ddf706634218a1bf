#pragma once

// What ls, tree, find and info share: the image, the volume number, the
// mode, and a mount of that volume into a file tree with a recording tree.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <expected>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_runtime.hpp"
#include "cli/open_image.hpp"
#include "fs/file_tree.hpp"
#include "tools/patterns/file_filter_list.hpp"
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

// One volume of an image, mounted.
struct MountedVolume {
  std::unique_ptr<OpenedImage> image;
  VolumeInfo volume;
  unsigned number = 1;
  RecoveryMode mode = RecoveryMode::kNormal;
  FileTree tree;
  RecordingTreeSink treeSink;
  FileFilterList filters;

  // The text of the tree's root item: the volume's name, or "Root".
  [[nodiscard]] std::string RootText() const;
};

// Opens the image, finds its volumes, picks volume `options.volume` and
// mounts it in the chosen mode. Tells the user what went wrong: no volume
// (status 1), no such volume number or an unusable image (status 2), running
// out of memory while mounting (status 2).
[[nodiscard]] std::expected<std::unique_ptr<MountedVolume>, CommandFailed> OpenAndMount(
    const BrowseOptions& options, CliRuntime& runtime);

// A browse list that names file types the way a desktop shell would and
// keeps the rows.
class ShellListSink final : public BrowseListSink {
 public:
  void DeleteAllRows() override { rows_.clear(); }
  void InsertRow(std::size_t index, const BrowseRow& row) override;
  [[nodiscard]] std::string FileTypeName(std::string_view fileName) const override;
  [[nodiscard]] const std::vector<BrowseRow>& Rows() const { return rows_; }

 private:
  std::vector<BrowseRow> rows_;
};

// The fields every JSON document of these commands starts with.
[[nodiscard]] nlohmann::json VolumeHeaderJson(const MountedVolume& mounted);

}  // namespace tolvar::cli
