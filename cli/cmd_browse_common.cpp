#include "cli/cmd_browse_common.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "app/wizard_texts.hpp"
#include "cli/terminal_text.hpp"
#include "fs/format.hpp"
#include "fs/mount.hpp"
#include "fs/timestamp.hpp"
#include "tools/shell_type.hpp"

namespace tolvar::cli {

namespace {

// The mount's events on the progress bar.
class MountProgress final : public MountObserver {
 public:
  explicit MountProgress(ProgressLine& line) : line_(line) {}

  void PhaseStarted(MountPhase phase) override {
    if (phase == MountPhase::kFinalizingNames) line_.SetStatus(kFinalizingStatus);
    if (phase == MountPhase::kGatheringLostFolders) {
      line_.SetStatus(kLostDataStatus);
      line_.SetProgress(0);
    }
  }
  void Progress(int position) override { line_.SetProgress(position); }

 private:
  ProgressLine& line_;
};

void NumberFolders(MountedVolume& mounted) {
  mounted.lines.clear();
  mounted.folderNumbers.assign(mounted.tree.Folders().size(), 0);
  std::vector<std::size_t> lineOf(mounted.tree.Folders().size(), 0);
  VisitFolderTree(mounted.tree, kRootInode, [&](std::uint32_t index, std::uint32_t parentIndex) {
    MountedVolume::Line line;
    line.folder = index;
    if (parentIndex != kNoFolderIndex) {
      line.parentLine = lineOf[parentIndex];
      line.depth = mounted.lines[lineOf[parentIndex]].depth + 1;
    }
    lineOf[index] = mounted.lines.size();
    mounted.folderNumbers[index] = mounted.lines.size() + 2;
    mounted.lines.push_back(line);
  });
}

// Folders whose blocks did not read are listed with what the listing lacks.
void WarnUnreadFolders(const MountedVolume& mounted, CliRuntime& runtime) {
  constexpr std::size_t kMostNamed = 20;
  const MountFindings& findings = mounted.tree.Findings();
  std::vector<std::uint32_t> folders;
  for (const UnreadWalkSectors& run : findings.unreadable) {
    if (std::find(folders.begin(), folders.end(), run.folder) == folders.end()) {
      folders.push_back(run.folder);
    }
  }
  for (std::size_t i = 0; i < folders.size() && i < kMostNamed; ++i) {
    std::string sectors;
    for (const UnreadWalkSectors& run : findings.OfFolder(folders[i])) {
      if (!sectors.empty()) sectors += ", ";
      sectors += run.count == 1 ? fmt::format("{}", run.first)
                                : fmt::format("{}-{}", run.first, run.first + run.count - 1);
    }
    if (folders[i] == 0) {
      runtime.Say(fmt::format(
          "warning: sectors {} could not be read: the folders and files they held are unknown",
          sectors));
      continue;
    }
    std::string what;
    if (folders[i] == kRootInode) {
      what = "the root folder";
    } else {
      const FolderNode* folder = mounted.tree.FindFolder(folders[i]);
      what = fmt::format("folder \"{}\" (inode {})", folder ? folder->name : "", folders[i]);
    }
    const bool extensive = mounted.mode == RecoveryMode::kExtensive;
    runtime.Say(TerminalSafe(
        fmt::format("warning: {} could not be read (sectors {}): its contents are unknown{}", what,
                    sectors, extensive ? "" : "; try --extensive")));
  }
  if (folders.size() > kMostNamed) {
    runtime.Say(fmt::format("warning: {} more folders could not be read whole",
                            folders.size() - kMostNamed));
  }
}

}  // namespace

void AddBrowseOptions(CLI::App& command, BrowseOptions& options) {
  command.add_option("IMAGE", options.image, "Disk image or block device")->required();
  command.add_option("-v,--volume", options.volume, "Volume number as `tolvar scan` lists it")
      ->check(VolumeNumberRange());
  command.add_flag("--extensive", options.extensive,
                   "Examine every inode for directories instead of walking from the root");
  command.add_flag("--json", options.json, "Print one JSON document");
  AddDiscoveryOptions(command, options.discovery);
}

std::string MountedVolume::RootText() const {
  return volume.volumeName.empty() ? std::string("Root") : volume.volumeName;
}

std::expected<std::unique_ptr<MountedVolume>, CommandFailed> OpenAndMount(
    const BrowseOptions& options, CliRuntime& runtime) {
  auto opened = OpenAndDiscover(options.image, options.discovery, runtime);
  if (!opened) return std::unexpected(opened.error());

  auto mounted = std::make_unique<MountedVolume>();
  mounted->image = std::move(*opened);
  OpenedImage& image = *mounted->image;
  const std::uint32_t count = std::min(image.volumes.volumeCount, VolumeTable::kCapacity);
  if (count == 0) {
    image.progress->End();
    runtime.Say(fmt::format("{}: no HTFS or EAFS volume found", options.image));
    return std::unexpected(CommandFailed{kExitNothing});
  }
  if (options.volume < 1 || options.volume > count) {
    image.progress->End();
    runtime.Say(fmt::format("{}: there is no volume {}; {} found (see `tolvar scan`)",
                            options.image, options.volume, count));
    return std::unexpected(CommandFailed{kExitUsage});
  }

  image.volumes.currentVolume = static_cast<std::uint16_t>(options.volume - 1);
  mounted->volume = image.volumes.Current();
  mounted->number = options.volume;
  // A volume whose superblock had to be second-guessed says so in every
  // command that reads it.
  for (const std::string& assumed : mounted->volume.assumptions) {
    runtime.Say(fmt::format("warning: volume {} ({}): {}", options.volume,
                            mounted->volume.volumeName, assumed));
  }
  mounted->mode = options.extensive ? RecoveryMode::kExtensive : RecoveryMode::kNormal;

  ProgressLine& line = *image.progress;
  line.Show(true);
  line.SetProgress(0);
  line.SetStatus(kMountingStatus);
  MountProgress observer(line);
  MountResult result;
  {
    InterruptScope scope(image.interrupts);
    result = MountInto(mounted->tree, image.drives, mounted->volume, mounted->mode, observer,
                       StopToken(image.interrupts.stop));
  }
  line.Show(false);
  line.End();
  if (!result) {
    line.Message(result.error().code == ErrorCode::kOutOfMemory ? kOutOfMemoryMessage
                                                                : result.error().message);
    return std::unexpected(CommandFailed{kExitUsage});
  }
  if (image.interrupts.Received()) {
    runtime.Say("interrupted");
    return std::unexpected(CommandFailed{kExitInterrupted});
  }
  WarnUnreadFolders(*mounted, runtime);
  NumberFolders(*mounted);
  return mounted;
}

std::vector<ListRow> ListFolder(const MountedVolume& mounted, std::uint32_t folderInode) {
  std::vector<ListRow> rows;
  const FileTree& tree = mounted.tree;
  for (const std::uint32_t index : tree.ChildFolders(folderInode)) {
    const FolderNode& folder = tree.Folders()[index];
    const TimestampText when = FormatTimestamp(folder.time);
    ListRow row;
    row.key = index < mounted.folderNumbers.size() ? mounted.folderNumbers[index] : 0;
    row.name = folder.name;
    row.type = "Folder";
    row.size = "0";
    row.date = when.date;
    row.time = when.time;
    row.sector = fmt::format("{}", row.key);
    row.isFolder = true;
    row.inode = folder.inode;
    row.timestamp = folder.time;
    rows.push_back(std::move(row));
  }
  for (const std::uint32_t index : tree.ChildFiles(folderInode)) {
    const FileNode& file = tree.Files()[index];
    if (!mounted.filters.Passes(file.name)) continue;
    const TimestampText when = FormatTimestamp(file.time);
    ListRow row;
    row.name = file.name;
    row.type = std::string(ShellTypeName(file.name, false));
    row.size = fmt::format("{}", file.size);
    row.date = when.date;
    row.time = when.time;
    row.sector = fmt::format("{}", file.id);
    row.key = file.id;
    row.inode = file.inode;
    row.sizeBytes = file.size;
    row.timestamp = file.time;
    rows.push_back(std::move(row));
  }
  return rows;
}

nlohmann::json VolumeHeaderJson(const MountedVolume& mounted) {
  return {
      {"image", mounted.image->path},
      {"volume", mounted.number},
      {"volumeName", mounted.volume.volumeName},
      {"type", std::string(FsTypeName(mounted.volume.fsType))},
      {"mode", mounted.mode == RecoveryMode::kExtensive ? "Extensive" : "Normal"},
      {"volumeWarnings", mounted.volume.assumptions},
  };
}

}  // namespace tolvar::cli
