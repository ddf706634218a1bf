#include "cli/open_image.hpp"

#include <fmt/format.h>

#include "disk/disk_image.hpp"
#include "disk/drive_list.hpp"
#include "disk/fault_injecting_source.hpp"
#include "disk/legacy_bios.hpp"

namespace tolvar::cli {

namespace {

std::expected<void, CommandFailed> CheckSearchRange(const DiscoveryOptions& options,
                                                    CliRuntime& runtime) {
  if (options.search.empty()) return {};
  const char* names[] = {"START", "END"};
  std::uint32_t values[2] = {0, 0};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto value = ParseSectorField(options.search.at(i));
    if (!value) {
      runtime.Fail(
          fmt::format("--search: {} \"{}\" is not a sector number (digits only, 0 to "
                      "4294967295)",
                      names[i], options.search[i]));
      return std::unexpected(CommandFailed{kExitUsage});
    }
    values[i] = *value;
  }
  if (values[1] <= values[0]) {
    runtime.Fail(
        fmt::format("--search: END ({}) must be bigger than START ({})", values[1], values[0]));
    return std::unexpected(CommandFailed{kExitUsage});
  }
  return {};
}

}  // namespace

void AddDiscoveryOptions(CLI::App& command, DiscoveryOptions& options) {
  command
      .add_option("--search", options.search,
                  "Test every sector from START up to END - 1 instead of reading the "
                  "partition record")
      ->expected(2)
      ->type_name("START END");
  command
      .add_option("--sectors-per-read", options.sectorsPerRead,
                  "Sectors read at once while searching (1 to 100)")
      ->check(CLI::Range(1u, 100u));
  command.add_option("--retries", options.retries, "Attempts per unreadable sector (1 to 10)")
      ->check(CLI::Range(1u, 10u));
  command.add_flag("--legacy-route", options.legacyRoute,
                   "Read through the legacy BIOS disk libraries");
  command.add_option("--legacy-library-dir", options.legacyLibraryDir,
                     "Folder holding the legacy disk libraries");
  command.add_option("--unreadable-sectors", options.unreadableSectorsFile,
                     "File listing sectors to treat as unreadable (N or N-M per line)");
  command.add_flag("-q,--quiet", options.quiet, "No progress bar");
}

DiscoveryContext OpenedImage::Context() {
  return DiscoveryContext{session->drives,   session->volumes, session->state,
                          session->settings, *feedback,        tree};
}

std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenImage(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime) {
  if (auto range = CheckSearchRange(options, runtime); !range) {
    return std::unexpected(range.error());
  }
  if (options.legacyRoute && !options.unreadableSectorsFile.empty()) {
    runtime.Fail("--unreadable-sectors cannot be used with --legacy-route");
    return std::unexpected(CommandFailed{kExitUsage});
  }

  // Opening first gives one clear line for a missing path, a directory, an
  // empty file or one without read permission, whatever the route.
  auto source = OpenDiskImage(path);
  if (!source) {
    runtime.Fail(source.error().message);
    return std::unexpected(CommandFailed{kExitUsage});
  }

  auto image = std::make_unique<OpenedImage>();
  image->path = path;
  image->session = std::make_unique<Session>(options.legacyRoute ? DiskRoute::kLegacyBios
                                                                 : DiskRoute::kNtFamily);
  Session& session = *image->session;
  if (options.sectorsPerRead != 0) session.settings.sectorsPerRead = options.sectorsPerRead;
  if (options.retries != 0) {
    session.settings.badSectorRetries = static_cast<std::uint16_t>(options.retries);
  }
  image->feedback =
      std::make_unique<PrintingFeedback>(runtime.err, runtime.stderrIsTerminal && !options.quiet);

  if (options.legacyRoute) {
    source->reset();
    const std::string dir =
        options.legacyLibraryDir.empty() ? DefaultLegacyLibraryDir() : options.legacyLibraryDir;
    auto library = LoadLegacyBiosLibraries(dir, {path});
    if (!library) {
      runtime.Fail(library.error().message);
      return std::unexpected(CommandFailed{kExitUsage});
    }
    session.drives.EnumerateDrives(std::move(*library));
  } else {
    std::shared_ptr<BlockDeviceSource> drive = std::move(*source);
    if (!options.unreadableSectorsFile.empty()) {
      auto plan = LoadFaultPlan(options.unreadableSectorsFile);
      if (!plan) {
        runtime.Fail(plan.error().message);
        return std::unexpected(CommandFailed{kExitUsage});
      }
      drive = MakeFaultInjectingSource(std::move(drive), std::move(*plan));
    }
    session.drives.EnumerateDrives(MakeFixedProvider({std::move(drive)}));
  }

  if (session.drives.listedCount == 0) {
    runtime.Fail(fmt::format("{}: no readable drive (the image holds no whole sector)", path));
    return std::unexpected(CommandFailed{kExitUsage});
  }
  (void)SelectDrive(session.drives, session.state, *image->feedback, DriveItemText(0));
  return image;
}

void DiscoverVolumes(OpenedImage& image, const DiscoveryOptions& options, CliRuntime& runtime) {
  Session& session = *image.session;
  DiscoveryContext ctx = image.Context();
  if (!options.search.empty()) {
    image.method = DiscoveryMethod::kSearch;
    session.state.identifyOption = IdentifyOption::kSearchPartition;
    if (DiskStepNext(ctx, options.search[0], options.search[1]) == NextOutcome::kStartWorker) {
      RunDiscoveryWorker(ctx);
    }
    return;
  }

  image.method = DiscoveryMethod::kPartitionRecord;
  session.state.identifyOption = IdentifyOption::kUsePartitionTable;
  NextOutcome outcome = DiskStepNext(ctx);
  if (outcome == NextOutcome::kNoRecord) {
    const std::uint32_t total = session.drives.Current().totalSectors;
    runtime.Say(
        fmt::format("no partition record at sector 105: searching the whole disk, "
                    "sectors 0 to {}",
                    total));
    image.method = DiscoveryMethod::kWholeDiskSearch;
    session.state.identifyOption = IdentifyOption::kSearchPartition;
    outcome = DiskStepNext(ctx, "0", fmt::format("{}", total));
  }
  if (outcome == NextOutcome::kStartWorker) RunDiscoveryWorker(ctx);
}

std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenAndDiscover(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime) {
  auto image = OpenImage(path, options, runtime);
  if (image) DiscoverVolumes(**image, options, runtime);
  return image;
}

}  // namespace tolvar::cli
