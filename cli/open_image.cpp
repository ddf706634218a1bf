#include "cli/open_image.hpp"

#include <fmt/format.h>

#include <limits>

#include "app/wizard_steps.hpp"
#include "app/wizard_texts.hpp"
#include "disk/fault_injecting_source.hpp"
#include "disk/legacy_bios.hpp"
#include "fs/inode_reader.hpp"
#include "volumes/discovery.hpp"

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

// The search's events on the progress bar.
class DiscoveryProgress final : public DiscoveryObserver {
 public:
  DiscoveryProgress(ProgressLine& line, bool range) : line_(line), range_(range) {}

  void RecordRangeStarted(std::uint32_t volumesSoFar) override {
    line_.SetStatus(SearchingForPartitionText(volumesSoFar + 1));
  }
  void RunStarted(std::uint64_t done, std::uint64_t total, std::uint64_t) override {
    if (range_) line_.SetStatus(ScanningSectorText(done, total));
    // done < total, a sector count far below 2^57: the product fits in 64 bits.
    line_.SetProgress(static_cast<int>(done * 100 / total));
  }

 private:
  ProgressLine& line_;
  bool range_;
};

// Runs one discovery with the bar up and Ctrl-C reaching its stop token.
void RunFind(OpenedImage& image, const DiscoveryRequest& request, int panelMode) {
  ProgressLine& line = *image.progress;
  line.Show(true);
  line.SetProgress(0);
  // The status names no range end (the panel modes used here have none).
  line.SetStatus(DescribePanelMode(panelMode).statusText);
  DiscoveryProgress observer(line, request.method == DiscoveryMethod::kRange);
  {
    InterruptScope scope(image.interrupts);
    (void)FindVolumes(image.drives, image.volumes, request, observer,
                      StopToken(image.interrupts.stop));
  }
  line.Show(false);
}

std::expected<void, CommandFailed> Interrupted(OpenedImage& image, CliRuntime& runtime) {
  image.progress->End();
  runtime.Say("interrupted");
  return std::unexpected(CommandFailed{kExitInterrupted});
}

}  // namespace

CLI::Validator VolumeNumberRange() { return CLI::Range(1u, std::numeric_limits<unsigned>::max()); }

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
  command.add_option("--mapfile", options.mapfile,
                     "GNU ddrescue mapfile of the image: bytes it does not mark finished (+) "
                     "are unreadable");
  command.add_flag("-q,--quiet", options.quiet, "No progress bar");
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
  if (options.legacyRoute && !options.mapfile.empty()) {
    runtime.Fail("--mapfile cannot be used with --legacy-route");
    return std::unexpected(CommandFailed{kExitUsage});
  }

  // Opening first gives one clear line for a missing path, a directory, an
  // empty file or one without read permission, whatever the route.
  auto source = OpenImageFile(path);
  if (!source) {
    runtime.Fail(source.error().message);
    return std::unexpected(CommandFailed{kExitUsage});
  }

  auto image = std::make_unique<OpenedImage>(options.legacyRoute ? DiskRoute::kLegacyBios
                                                                 : DiskRoute::kNtFamily);
  image->path = path;
  OpenedImage& session = *image;
  if (options.sectorsPerRead != 0) session.settings.sectorsPerRead = options.sectorsPerRead;
  if (options.retries != 0) {
    session.settings.badSectorRetries = static_cast<std::uint16_t>(options.retries);
  }
  image->progress =
      std::make_unique<ProgressLine>(runtime.err, runtime.stderrIsTerminal && !options.quiet);

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
    if (!options.mapfile.empty()) {
      auto map = LoadRescueMap(options.mapfile, drive->LengthBytes());
      if (!map) {
        runtime.Fail(map.error().message);
        return std::unexpected(CommandFailed{kExitUsage});
      }
      session.rescueMap = std::make_shared<const RescueMap>(std::move(*map));
      drive = MakeRescueMapSource(std::move(drive), session.rescueMap);
    }
    session.drives.EnumerateDrives(MakeFixedProvider({std::move(drive)}));
  }

  if (session.drives.listedCount == 0) {
    runtime.Fail(fmt::format("{}: no readable drive (the image holds no whole sector)", path));
    return std::unexpected(CommandFailed{kExitUsage});
  }
  session.drives.currentDrive = 0;
  return image;
}

std::expected<void, CommandFailed> DiscoverVolumes(OpenedImage& image,
                                                   const DiscoveryOptions& options,
                                                   CliRuntime& runtime) {
  // A drive that does not open reads as failures; the search then finds
  // nothing, as on a blank disk.
  (void)image.drives.OpenCurrentDrive();
  DiscoveryRequest request;
  request.sectorsPerRead = image.settings.sectorsPerRead;
  request.method = DiscoveryMethod::kRange;

  if (!options.search.empty()) {
    // The range was checked by OpenImage.
    image.method = ScanMethod::kSearch;
    image.rangeStart = ParseSectorField(options.search[0]).value_or(0);
    image.rangeEnd = ParseSectorField(options.search[1]).value_or(0);
    request.rangeStart = image.rangeStart;
    request.rangeEnd = image.rangeEnd;
    RunFind(image, request, 1);
    if (image.interrupts.Received()) return Interrupted(image, runtime);
    if (image.volumes.volumeCount == 0) image.progress->Message(kNothingFromSearchMessage);
    return {};
  }

  image.method = ScanMethod::kPartitionRecord;
  if (HasPartitionInformation(image.drives)) {
    request.method = DiscoveryMethod::kPartitionRecord;
    RunFind(image, request, 44);
    if (image.interrupts.Received()) return Interrupted(image, runtime);
    if (image.volumes.volumeCount != 0) return {};
    // A record that carries its mark but lists nothing usable (empty, tiny
    // or out-of-range entries) is no reason to stop: nobody stopped the
    // search, so the command line goes on to the whole disk, as it does
    // without a record.
    runtime.Say(
        fmt::format("the partition record at sector 105 lists no HTFS/EAFS volume: "
                    "searching the whole disk, sectors 0 to {}",
                    image.drives.Current().totalSectors));
  } else {
    image.progress->Message(kNoRecordMessage);
    runtime.Say(
        fmt::format("no partition record at sector 105: searching the whole disk, "
                    "sectors 0 to {}",
                    image.drives.Current().totalSectors));
  }

  // The whole disk in 64 bits: a disk past 2^32 sectors is searched to its end.
  const std::uint64_t total = image.drives.Current().totalSectors;
  request.method = DiscoveryMethod::kRange;
  image.method = ScanMethod::kWholeDiskSearch;
  image.rangeStart = 0;
  image.rangeEnd = total;
  if (total == 0) {
    // An empty range is refused as the range fields would be.
    image.progress->Message(kEndNotAboveStartMessage);
    return {};
  }
  request.rangeStart = 0;
  request.rangeEnd = total;
  RunFind(image, request, 1);
  if (image.interrupts.Received()) return Interrupted(image, runtime);
  if (image.volumes.volumeCount == 0) image.progress->Message(kNothingFromSearchMessage);
  return {};
}

namespace {

// A volume whose superblock or inode table the rescue did not copy is read
// from zeros there: its tree is incomplete or made up, and the user must know.
void WarnOfUnrescuedVolumes(OpenedImage& image) {
  if (!image.rescueMap) return;
  const RescueMap& map = *image.rescueMap;
  for (std::uint32_t i = 0; i < image.volumes.volumeCount; ++i) {
    VolumeInfo& volume = image.volumes.entries.at(i);
    const std::uint64_t superblock = (volume.startSector + 1) * kSectorSize;
    if (!map.Rescued(superblock, kSectorSize)) {
      volume.assumptions.push_back(
          "the mapfile marks the volume's superblock not rescued: it was read as zeros or from "
          "the unrescued bytes");
    }
    const SectorRange table = InodeTableSectors(volume);
    if (table.end > table.first &&
        !map.Rescued(table.first * kSectorSize, (table.end - table.first) * kSectorSize)) {
      volume.assumptions.push_back(
          "the mapfile marks part of the volume's inode table not rescued: files there read as "
          "unreadable");
    }
  }
}

}  // namespace

std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenAndDiscover(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime) {
  auto image = OpenImage(path, options, runtime);
  if (!image) return image;
  if (auto found = DiscoverVolumes(**image, options, runtime); !found) {
    return std::unexpected(found.error());
  }
  WarnOfUnrescuedVolumes(**image);
  return image;
}

}  // namespace tolvar::cli
