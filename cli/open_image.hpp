#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "base/settings.hpp"
#include "cli/cli_runtime.hpp"
#include "cli/interrupt.hpp"
#include "cli/progress_line.hpp"
#include "disk/drive_table.hpp"
#include "disk/rescue_map.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::cli {

// The options every command that reads volumes from an image takes.
struct DiscoveryOptions {
  std::vector<std::string> search;  // START END as typed; empty: use the partition record
  unsigned sectorsPerRead = 0;      // 0: the route's default
  unsigned retries = 0;             // 0: the default
  bool legacyRoute = false;
  std::string legacyLibraryDir;  // empty: where the build put the stand-ins
  std::string unreadableSectorsFile;
  std::string mapfile;  // a GNU ddrescue mapfile of the image
  bool quiet = false;
};

// Adds --search, --sectors-per-read, --retries, --legacy-route,
// --legacy-library-dir, --unreadable-sectors and --quiet to `command`.
void AddDiscoveryOptions(CLI::App& command, DiscoveryOptions& options);

// The check on -v/--volume: a whole number from 1, refused in whole numbers
// ("Value 0 not in range 1 to ...") rather than in the floating-point text
// of the library's generic positive-number check.
CLI::Validator VolumeNumberRange();

// How the volumes were found.
enum class ScanMethod { kPartitionRecord, kSearch, kWholeDiskSearch };

// A failure that has already been told to the user; `status` is the exit
// status to end with.
struct CommandFailed {
  int status = kExitUsage;
};

// One image opened as drive 0, with the tables its volumes go into.
struct OpenedImage {
  explicit OpenedImage(DiskRoute route) : settings(RecoverySettings::DefaultsFor(route)) {}
  OpenedImage(const OpenedImage&) = delete;
  OpenedImage& operator=(const OpenedImage&) = delete;

  std::string path;
  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  std::unique_ptr<ProgressLine> progress;
  Interrupts interrupts;
  ScanMethod method = ScanMethod::kPartitionRecord;
  std::uint64_t rangeStart = 0;  // the range searched (search methods)
  std::uint64_t rangeEnd = 0;
  std::shared_ptr<const RescueMap> rescueMap;  // with --mapfile
};

// Checks the options, opens `path` read-only as drive 0 (through the fault
// plan or the legacy libraries when asked) and makes it current. Every
// problem is told in one line on stderr.
[[nodiscard]] std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenImage(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime);

// Finds the image's volumes: in the --search range, else through the
// partition record, falling back to a search of the whole disk (and saying
// so) when the record's mark is missing. The volume table then holds what
// was found; none is not a failure here, an interrupt is.
[[nodiscard]] std::expected<void, CommandFailed> DiscoverVolumes(OpenedImage& image,
                                                                 const DiscoveryOptions& options,
                                                                 CliRuntime& runtime);

// OpenImage, then DiscoverVolumes.
[[nodiscard]] std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenAndDiscover(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime);

}  // namespace tolvar::cli
