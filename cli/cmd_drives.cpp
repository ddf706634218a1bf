#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "app/drive_list.hpp"
#include "app/wizard_texts.hpp"
#include "cli/commands.hpp"
#include "cli/open_image.hpp"
#include "cli/output.hpp"
#include "disk/drive_sources.hpp"
#include "disk/drive_table.hpp"

namespace tolvar::cli {

namespace {

struct DrivesOptions {
  std::vector<std::string> images;
  std::vector<std::string> imageDirs;
  bool json = false;
};

int RunDrives(const DrivesOptions& options, CliRuntime& runtime) {
  RecoverySettings settings;
  DriveTable drives(settings);
  // Each image is opened once here, so that a bad path gets its own line
  // instead of silently missing from the list.
  DriveSourceOptions sources;
  sources.images = options.images;
  sources.hostDevices = options.images.empty();
  sources.imageDirs = options.imageDirs;
  if (auto listed = EnumerateDriveSources(drives, sources); !listed) {
    runtime.Say(listed.error().message);
    return kExitUsage;
  }

  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (unsigned k = 0; k < drives.listedCount; ++k) list.push_back(DriveJson(drives.Slot(k), k));
    PrintJson(runtime, {{"drives", list}});
  } else if (drives.listedCount != 0) {
    std::vector<std::vector<std::string>> rows;
    for (unsigned k = 0; k < drives.listedCount; ++k) {
      const DriveInfo& drive = drives.Slot(k);
      rows.push_back({fmt::format("{}", k), DriveItemText(k), drive.model,
                      MegabytesText(drive.totalSectors), fmt::format("{}", drive.cylinders),
                      fmt::format("{}", drive.heads), fmt::format("{}", drive.sectorsPerTrack)});
    }
    PrintTable(runtime.out,
               {"Index", "Item", "Model", "Capacity", "Cylinders", "Heads", "Sectors/track"}, rows);
  }
  if (drives.listedCount == 0) {
    runtime.Say(options.images.empty() ? "no drives found"
                                       : "no drive with media among the images");
    return kExitNothing;
  }
  return kExitOk;
}

}  // namespace

void RegisterDrivesCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<DrivesOptions>();
  CLI::App* command = app.add_subcommand(
      "drives",
      "List the drives: the given disk images as drives 0, 1, ..., else the host's disks");
  command->add_option("IMAGE", options->images, "Disk images to list as drives");
  command->add_flag("--json", options->json, "Print one JSON document");
  AddImageDirOption(*command, options->imageDirs);
  command->callback([options, &runtime] { runtime.exitCode = RunDrives(*options, runtime); });
}

}  // namespace tolvar::cli
