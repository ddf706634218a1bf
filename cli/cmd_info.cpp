#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/properties.hpp"
#include "base/aligned_rows.hpp"
#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "cli/terminal_text.hpp"
#include "tools/drive_information.hpp"

namespace tolvar::cli {
namespace {

std::string_view TrimmedCaption(std::string_view caption) {
  while (caption.ends_with(' ')) caption.remove_suffix(1);
  return caption;
}

int RunInfo(const BrowseOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options, runtime);
  if (!mounted) return mounted.error().status;
  const MountedVolume& volume = **mounted;
  const DriveInformation info = DescribeDrive(volume.volume, volume.tree, volume.mode);

  if (options.json) {
    nlohmann::json document = VolumeHeaderJson(volume);
    document["volumeStart"] = info.volumeStart;
    document["volumeSize"] = info.volumeSize;
    document["blockSize"] = info.blockSize;
    document["superBlockStart"] = info.superBlockStart;
    document["totalFiles"] = info.totalFiles;
    document["totalFolders"] = info.totalFolders;
    document["recoveryType"] = info.recoveryType;
    document["freeSlotsSkipped"] = volume.tree.Findings().freeSlotsSkipped;
    document["unreadableSectors"] = volume.tree.Findings().UnreadableSectorCount();
    document["warnings"] = volume.volume.assumptions;
    PrintJson(runtime, document);
    return kExitOk;
  }

  std::vector<CaptionedValue> fields;
  for (const auto& field : DriveInformationFields(info)) fields.push_back(field);
  // What the mount met besides files and folders.
  fields.push_back({"Skipped Slots", fmt::format("{}", volume.tree.Findings().freeSlotsSkipped)});
  fields.push_back(
      {"Unread Sectors", fmt::format("{}", volume.tree.Findings().UnreadableSectorCount())});
  std::vector<AlignedRow> rows;
  for (const auto& field : fields) {
    rows.push_back({std::string(TrimmedCaption(field.caption)), TerminalSafe(field.value)});
  }
  fmt::print(runtime.out, "{}", AlignedRows(rows, 2));
  return kExitOk;
}

}  // namespace

void RegisterInfoCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<BrowseOptions>();
  CLI::App* command =
      app.add_subcommand("info", "Show the figures of a mounted volume and what the mount found");
  AddBrowseOptions(*command, *options);
  command->callback([options, &runtime] { runtime.exitCode = RunInfo(*options, runtime); });
}

}  // namespace tolvar::cli
