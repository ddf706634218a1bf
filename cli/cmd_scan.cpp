#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "app/wizard_texts.hpp"
#include "cli/commands.hpp"
#include "cli/open_image.hpp"
#include "cli/output.hpp"
#include "volumes/discovery.hpp"

namespace tolvar::cli {

namespace {

struct ScanOptions {
  std::string image;
  DiscoveryOptions discovery;
  bool json = false;
  bool verbose = false;
};

std::string_view MethodName(ScanMethod method) {
  switch (method) {
    case ScanMethod::kPartitionRecord:
      return "partition-record";
    case ScanMethod::kSearch:
      return "search";
    case ScanMethod::kWholeDiskSearch:
      return "whole-disk-search";
  }
  return "partition-record";
}

int RunScan(const ScanOptions& options, CliRuntime& runtime) {
  auto opened = OpenAndDiscover(options.image, options.discovery, runtime);
  if (!opened) return opened.error().status;
  OpenedImage& image = **opened;
  image.progress->End();
  const OpenedImage& session = image;
  const VolumeTable& volumes = session.volumes;
  const std::uint32_t count = std::min(volumes.volumeCount, VolumeTable::kCapacity);

  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (std::uint32_t i = 0; i < count; ++i) list.push_back(VolumeJson(volumes.entries[i], i + 1));
    nlohmann::json document = {
        {"image", image.path},
        {"route", session.drives.Route() == DiskRoute::kLegacyBios ? "legacy" : "nt-family"},
        {"method", MethodName(image.method)},
        {"sectorsPerRead", session.settings.sectorsPerRead},
        {"totalSectors", session.drives.Current().totalSectors},
        {"volumes", list},
        {"warnings", volumes.warnings},
        {"rejected", volumes.rejected},
        {"badSectors", session.drives.BadSectors().Sectors()},
    };
    if (image.method != ScanMethod::kPartitionRecord) {
      document["range"] = {{"start", session.rangeStart}, {"end", session.rangeEnd}};
    }
    PrintJson(runtime, document);
  } else if (count != 0) {
    std::vector<std::vector<std::string>> rows;
    for (std::uint32_t i = 0; i < count; ++i) {
      const VolumeInfo& v = volumes.entries[i];
      rows.push_back({fmt::format("{}", i + 1), std::string(FsTypeName(v.fsType)), v.volumeName,
                      fmt::format("{}", v.startSector), fmt::format("{}", v.sizeSectors),
                      MegabytesText(v.sizeSectors), VolumeOriginText(v.origin)});
    }
    PrintTable(runtime.out, {"#", "Type", "Name", "Start sector", "Sectors", "Size", "Found by"},
               rows);
  }
  if (count == 0) runtime.Say(NothingFoundText(image));
  if (!options.json) {
    for (const std::string& warning : volumes.warnings) runtime.Say("warning: " + warning);
    if (options.verbose) {
      for (const std::string& passed : volumes.rejected) runtime.Say("passed over: " + passed);
    }
  }
  return count != 0 ? kExitOk : kExitNothing;
}

}  // namespace

void RegisterScanCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<ScanOptions>();
  CLI::App* command =
      app.add_subcommand("scan", "List the HTFS and EAFS volumes of a disk image or device");
  command->add_option("IMAGE", options->image, "Disk image or block device")->required();
  AddDiscoveryOptions(*command, options->discovery);
  command->add_flag("--json", options->json, "Print one JSON document");
  command->add_flag("--verbose", options->verbose,
                    "Also name each superblock signature that was passed over, and why");
  command->callback([options, &runtime] { runtime.exitCode = RunScan(*options, runtime); });
}

}  // namespace tolvar::cli
