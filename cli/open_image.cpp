#include "cli/open_image.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "disk/rescue_map.hpp"
#include "tools/rescue_warnings.hpp"
#include "volumes/discovery.hpp"

namespace tolvar::cli {

namespace {

// What the command line says before it searches the whole disk.
std::string WholeDiskSearchText(std::string_view why, std::uint64_t total) {
  if (total == 0) return fmt::format("{}, and the disk holds no sectors to search", why);
  return fmt::format("{}: searching the whole disk, sectors 0 to {}", why, total - 1);
}

// START and END of --search as numbers; the first problem is said.
std::expected<SearchRange, CommandFailed> CheckSearchRange(const DiscoveryOptions& options,
                                                           CliRuntime& runtime) {
  const char* names[] = {"START", "END"};
  std::uint64_t values[2] = {0, 0};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto value = ParseSearchSector(options.search.at(i));
    if (!value) {
      runtime.Fail(
          fmt::format("--search: {} \"{}\" is not a sector number (digits only, 0 to {}); "
                      "nothing was read",
                      names[i], options.search[i], std::numeric_limits<std::uint64_t>::max()));
      return std::unexpected(CommandFailed{kExitUsage});
    }
    values[i] = *value;
  }
  if (values[1] <= values[0]) {
    runtime.Fail(fmt::format("--search: END ({}) must be bigger than START ({}); nothing was read",
                             values[1], values[0]));
    return std::unexpected(CommandFailed{kExitUsage});
  }
  return SearchRange{values[0], values[1]};
}

// The search's events on the progress bar.
class DiscoveryProgress final : public DiscoveryObserver {
 public:
  DiscoveryProgress(ProgressLine& line, bool range) : line_(line), range_(range) {}

  void RecordRangeStarted(std::uint32_t volumesSoFar) override {
    line_.SetStatus(
        fmt::format("looking for volume {} where the partition record points", volumesSoFar + 1));
  }
  void RunStarted(std::uint64_t done, std::uint64_t total, std::uint64_t) override {
    if (range_) line_.SetStatus(fmt::format("searching: sector {} of {}", done, total));
    // done < total, a sector count far below 2^57: the product fits in 64 bits.
    line_.SetProgress(static_cast<int>(done * 100 / total));
  }

 private:
  ProgressLine& line_;
  bool range_;
};

// Runs one discovery with the bar up and Ctrl-C reaching its stop token.
void RunFind(OpenedImage& image, const DiscoveryRequest& request) {
  ProgressLine& line = *image.progress;
  line.Show(true);
  line.SetProgress(0);
  line.SetStatus(request.method == DiscoveryMethod::kRange ? "searching for volumes"
                                                           : "reading the partition record");
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
  runtime.Say("interrupted while looking for volumes; stopping");
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
  command.add_flag("--legacy-route", options.source.legacyRoute,
                   "Read through the legacy BIOS disk libraries");
  command.add_option("--legacy-library-dir", options.source.legacyLibraryDir,
                     "Folder holding the legacy disk libraries");
  command.add_option("--unreadable-sectors", options.source.unreadableSectorsFile,
                     "File listing sectors to treat as unreadable (N or N-M per line)");
  command.add_option("--mapfile", options.source.mapfile,
                     "GNU ddrescue mapfile of the image: bytes it does not mark finished (+) "
                     "are unreadable");
  AddImageDirOption(command, options.source.imageDirs);
  command.add_flag("-q,--quiet", options.quiet, "No progress bar");
}

std::optional<std::uint64_t> ParseSearchSector(std::string_view text) {
  if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void AddImageDirOption(CLI::App& command, std::vector<std::string>& imageDirs) {
  command
      .add_option("--image-dir", imageDirs,
                  "Folder where extent, parent and backing files named inside the image may "
                  "also be read (besides the image's own folder); repeatable")
      ->type_name("DIR")
      ->allow_extra_args(false)
      ->take_all();
}

std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenImage(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime) {
  std::optional<SearchRange> search;
  if (!options.search.empty()) {
    auto range = CheckSearchRange(options, runtime);
    if (!range) return std::unexpected(range.error());
    search = *range;
  }
  if (options.source.legacyRoute && !options.source.unreadableSectorsFile.empty()) {
    runtime.Fail("--unreadable-sectors cannot be used with --legacy-route");
    return std::unexpected(CommandFailed{kExitUsage});
  }
  if (options.source.legacyRoute && !options.source.mapfile.empty()) {
    runtime.Fail("--mapfile cannot be used with --legacy-route");
    return std::unexpected(CommandFailed{kExitUsage});
  }

  auto image = std::make_unique<OpenedImage>(options.source.legacyRoute ? DiskRoute::kLegacyBios
                                                                        : DiskRoute::kNtFamily);
  image->path = path;
  OpenedImage& session = *image;
  if (options.sectorsPerRead != 0) session.settings.sectorsPerRead = options.sectorsPerRead;
  if (options.retries != 0) {
    session.settings.badSectorRetries = static_cast<std::uint16_t>(options.retries);
  }
  image->progress =
      std::make_unique<ProgressLine>(runtime.err, runtime.stderrIsTerminal && !options.quiet);

  // Opening first gives one clear line for a missing path, a directory, an
  // empty file or one without read permission, whatever the route.
  DriveSourceOptions source = options.source;
  source.images = {path};
  source.hostDevices = false;
  if (auto listed = EnumerateDriveSources(session.drives, source, &session.rescueMap); !listed) {
    runtime.Fail(listed.error().message);
    return std::unexpected(CommandFailed{kExitUsage});
  }

  if (session.drives.listedCount == 0) {
    runtime.Fail(fmt::format("{}: no readable drive (the image holds no whole sector)", path));
    return std::unexpected(CommandFailed{kExitUsage});
  }
  session.drives.currentDrive = 0;
  image->search = search;
  return image;
}

std::expected<void, CommandFailed> DiscoverVolumes(OpenedImage& image, CliRuntime& runtime) {
  // A drive that does not open reads as failures; the search then finds
  // nothing, as on a blank disk.
  (void)image.drives.OpenCurrentDrive();
  const std::uint64_t total = image.drives.Current().totalSectors;
  DiscoveryRequest request;
  request.sectorsPerRead = image.settings.sectorsPerRead;
  request.method = DiscoveryMethod::kRange;

  if (image.search) {
    if (image.search->end > total) {
      runtime.Fail(fmt::format(
          "--search: END ({}) is past the end of the disk ({} sectors); nothing was searched",
          image.search->end, total));
      return std::unexpected(CommandFailed{kExitUsage});
    }
    image.method = ScanMethod::kSearch;
    image.rangeStart = image.search->start;
    image.rangeEnd = image.search->end;
    request.rangeStart = image.rangeStart;
    request.rangeEnd = image.rangeEnd;
    RunFind(image, request);
    if (image.interrupts.Received()) return Interrupted(image, runtime);
    return {};
  }

  image.method = ScanMethod::kPartitionRecord;
  if (HasPartitionInformation(image.drives)) {
    request.method = DiscoveryMethod::kPartitionRecord;
    RunFind(image, request);
    if (image.interrupts.Received()) return Interrupted(image, runtime);
    if (image.volumes.volumeCount != 0) return {};
    // A record that carries its mark but lists nothing usable (empty, tiny
    // or out-of-range entries) is no reason to stop: nobody stopped the
    // search, so the command line goes on to the whole disk, as it does
    // without a record.
    image.progress->End();
    runtime.Say(WholeDiskSearchText(
        "the partition record at sector 105 lists no HTFS or EAFS volume", total));
  } else {
    image.progress->End();
    runtime.Say(WholeDiskSearchText("no partition record at sector 105", total));
  }

  // The whole disk in 64 bits: a disk past 2^32 sectors is searched to its end.
  image.method = ScanMethod::kWholeDiskSearch;
  image.rangeStart = 0;
  image.rangeEnd = total;
  if (total == 0) return {};
  request.method = DiscoveryMethod::kRange;
  request.rangeStart = 0;
  request.rangeEnd = total;
  RunFind(image, request);
  if (image.interrupts.Received()) return Interrupted(image, runtime);
  return {};
}

std::string NothingFoundText(const OpenedImage& image) {
  if (image.method == ScanMethod::kPartitionRecord) {
    return fmt::format("{}: no HTFS or EAFS volume where the partition record points", image.path);
  }
  if (image.rangeEnd <= image.rangeStart) {
    return fmt::format("{}: no HTFS or EAFS volume (the disk holds no sectors)", image.path);
  }
  return fmt::format("{}: no HTFS or EAFS volume in sectors {} to {}", image.path, image.rangeStart,
                     image.rangeEnd - 1);
}

namespace {

// A volume whose superblock or inode table the rescue did not copy is read
// from zeros there: its tree is incomplete or made up, and the user must know.
void WarnOfUnrescuedVolumes(OpenedImage& image) {
  if (!image.rescueMap) return;
  for (std::uint32_t i = 0; i < image.volumes.volumeCount; ++i) {
    VolumeInfo& volume = image.volumes.entries.at(i);
    for (std::string& line : UnrescuedVolumeWarnings(*image.rescueMap, volume)) {
      volume.assumptions.push_back(std::move(line));
    }
  }
}

}  // namespace

std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenAndDiscover(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime) {
  auto image = OpenImage(path, options, runtime);
  if (!image) return image;
  if (auto found = DiscoverVolumes(**image, runtime); !found) {
    return std::unexpected(found.error());
  }
  WarnOfUnrescuedVolumes(**image);
  return image;
}

}  // namespace tolvar::cli
