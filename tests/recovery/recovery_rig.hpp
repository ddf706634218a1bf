#pragma once

// A disk built by the image builder, opened as a drive, mounted, and ready
// for a saving run into a fresh destination folder.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/saving_display.hpp"
#include "disk/drive_table.hpp"
#include "disk/fault_injecting_source.hpp"
#include "fs/file_tree.hpp"
#include "imagekit/image_builder.hpp"
#include "recovery/saving_run.hpp"
#include "tests/support/recording_feedback.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {

// The saving dialog's fields as a run left them, and the failures it told.
struct SavingFields final : SavingDisplay {
  void SetPath(std::string_view text) override { path = text; }
  void SetFileName(std::string_view text) override { fileName = text; }
  void SetCount(std::string_view text) override { count = text; }
  void SetProgress(int position) override { progress = position; }

  std::string path;
  std::string fileName;
  std::string count;
  int progress = -1;
  std::vector<std::string> problems;
};

class RecoveryRig {
 public:
  // Builds `disk` in memory and mounts its volume `volumeIndex` (Normal
  // mode). Sectors the description lists as unreadable never read.
  explicit RecoveryRig(const imagekit::DiskDescription& disk, std::size_t volumeIndex = 0,
                       FaultPlan extraFaults = {});
  // The same disk written to an image file and opened as a raw image, as the
  // command line opens one: its data can be copied by the kernel. Sectors
  // the description lists as unreadable are ignored.
  struct FromImageFile {};
  RecoveryRig(const imagekit::DiskDescription& disk, FromImageFile);
  // The same, with the raw image file turned into another image format by
  // `convert` (which returns the new file's path) and opened by content.
  using ImageConverter = std::function<std::filesystem::path(const std::filesystem::path& raw)>;
  RecoveryRig(const imagekit::DiskDescription& disk, FromImageFile, const ImageConverter& convert);

  // A saving run into Destination() (or `destination`).
  // The run's counts, as the saving observer hears them.
  using CountedHook = std::function<void(const SavingProgress&)>;

  // Runs the saving run; its dialog fields and failures go to `dialog`.
  std::expected<SavingResult, Error> Save(const Selection& selection = Selection::All(),
                                          const CountedHook& counted = {});
  std::expected<SavingResult, Error> SaveTo(const std::filesystem::path& destination,
                                            const Selection& selection = Selection::All(),
                                            const CountedHook& counted = {});

  [[nodiscard]] std::filesystem::path Destination() const { return temp_.Path() / "out"; }
  [[nodiscard]] const imagekit::BuildReport& Built() const { return built_.report; }
  [[nodiscard]] const FileTree& Tree() const { return tree_; }
  [[nodiscard]] DriveTable& Drives() { return drives_; }
  [[nodiscard]] const VolumeInfo& Volume() const { return volume_; }
  [[nodiscard]] const FileNode* FileNamed(std::string_view name) const;
  [[nodiscard]] const FolderNode* FolderNamed(std::string_view name) const;

  RecoverySettings settings;
  SaveControl control;
  SavingFields dialog;
  SavingOptions options;

 private:
  TempDir temp_;
  imagekit::BuiltImage built_;
  void Mount(std::shared_ptr<BlockDeviceSource> source, std::size_t volumeIndex);
  DriveTable drives_{settings};
  VolumeInfo volume_;
  FileTree tree_;
};

// The bytes a Fill produces for a file of `size` bytes.
[[nodiscard]] std::string FilledContents(const imagekit::Fill& fill, std::uint64_t size);

// Every regular file below `root`, as relative path -> contents.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> HostFiles(
    const std::filesystem::path& root);

// The report's entry for a host path, or null.
[[nodiscard]] std::shared_ptr<const ReportEntry> EntryFor(const RecoveryReport& report,
                                                          std::string_view path);

}  // namespace tolvar::testing
