#include "cli/cmd_browse_common.hpp"

#include <fmt/format.h>

#include "fs/mount.hpp"
#include "tools/shell_type.hpp"

namespace tolvar::cli {

void AddBrowseOptions(CLI::App& command, BrowseOptions& options) {
  command.add_option("IMAGE", options.image, "Disk image or block device")->required();
  command.add_option("-v,--volume", options.volume, "Volume number as `tolvar scan` lists it")
      ->check(CLI::PositiveNumber);
  command.add_flag("--extensive", options.extensive,
                   "Examine every inode for directories instead of walking from the root");
  command.add_flag("--json", options.json, "Print one JSON document");
  AddDiscoveryOptions(command, options.discovery);
}

std::string MountedVolume::RootText() const {
  return volume.volumeName.empty() ? std::string("Root") : volume.volumeName;
}

void ShellListSink::InsertRow(std::size_t index, const BrowseRow& row) {
  if (index > rows_.size()) index = rows_.size();
  rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(index), row);
}

std::string ShellListSink::FileTypeName(std::string_view fileName) const {
  return std::string(ShellTypeName(fileName, false));
}

namespace {

// The mount's window: nothing to switch on a command line.
class NoWindow final : public MountWindow {};

// The mount lists the root; the commands list what they need afterwards.
class DiscardingListSink final : public BrowseListSink {
 public:
  void DeleteAllRows() override {}
  void InsertRow(std::size_t, const BrowseRow&) override {}
};

}  // namespace

std::expected<std::unique_ptr<MountedVolume>, CommandFailed> OpenAndMount(
    const BrowseOptions& options, CliRuntime& runtime) {
  auto opened = OpenAndDiscover(options.image, options.discovery, runtime);
  if (!opened) return std::unexpected(opened.error());

  auto mounted = std::make_unique<MountedVolume>();
  mounted->image = std::move(*opened);
  OpenedImage& image = *mounted->image;
  Session& session = *image.session;
  const std::uint32_t count = std::min(session.volumes.volumeCount, VolumeTable::kCapacity);
  if (count == 0) {
    image.feedback->EndProgressLine();
    runtime.Say(fmt::format("{}: no HTFS or EAFS volume found", options.image));
    return std::unexpected(CommandFailed{kExitNothing});
  }
  if (options.volume < 1 || options.volume > count) {
    image.feedback->EndProgressLine();
    runtime.Say(fmt::format("{}: there is no volume {}; {} found (see `tolvar scan`)",
                            options.image, options.volume, count));
    return std::unexpected(CommandFailed{kExitUsage});
  }

  session.volumes.currentVolume = static_cast<std::uint16_t>(options.volume - 1);
  mounted->volume = session.volumes.Current();
  mounted->number = options.volume;
  mounted->mode = options.extensive ? RecoveryMode::kExtensive : RecoveryMode::kNormal;
  session.state.recoveryMode = mounted->mode;

  MountContext context{session.drives, mounted->volume, mounted->tree, session.state,
                       *image.feedback};
  NoWindow window;
  DiscardingListSink list;
  MountViews views{window, mounted->treeSink, mounted->treeSink.Root(), list, nullptr};
  const MountResult result = MountWorker(context, views);
  image.feedback->EndProgressLine();
  if (!result) {
    // The out-of-memory message has been shown; end with a failure status.
    return std::unexpected(CommandFailed{kExitUsage});
  }
  return mounted;
}

nlohmann::json VolumeHeaderJson(const MountedVolume& mounted) {
  return {
      {"image", mounted.image->path},
      {"volume", mounted.number},
      {"volumeName", mounted.volume.volumeName},
      {"type", std::string(VolumeTypeText(mounted.volume.fsType))},
      {"mode", mounted.mode == RecoveryMode::kExtensive ? "Extensive" : "Normal"},
  };
}

}  // namespace tolvar::cli
