#pragma once

#include <CLI/CLI.hpp>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "app/session.hpp"
#include "cli/cli_runtime.hpp"
#include "cli/printing_feedback.hpp"
#include "volumes/discovery.hpp"
#include "volumes/volume_tree_sink.hpp"

namespace tolvar::cli {

// The options every command that reads volumes from an image takes.
struct DiscoveryOptions {
  std::vector<std::string> search;  // START END as typed; empty: use the partition record
  unsigned sectorsPerRead = 0;      // 0: the route's default
  unsigned retries = 0;             // 0: the default
  bool legacyRoute = false;
  std::string legacyLibraryDir;  // empty: where the build put the stand-ins
  std::string unreadableSectorsFile;
  bool quiet = false;
};

// Adds --search, --sectors-per-read, --retries, --legacy-route,
// --legacy-library-dir, --unreadable-sectors and --quiet to `command`.
void AddDiscoveryOptions(CLI::App& command, DiscoveryOptions& options);

enum class DiscoveryMethod { kPartitionRecord, kSearch, kWholeDiskSearch };

// A failure that has already been told to the user; `status` is the exit
// status to end with.
struct CommandFailed {
  int status = kExitUsage;
};

// One image opened as drive 0 of its own session.
struct OpenedImage {
  std::string path;
  std::unique_ptr<Session> session;
  std::unique_ptr<PrintingFeedback> feedback;
  NullVolumeTreeSink tree;
  DiscoveryMethod method = DiscoveryMethod::kPartitionRecord;

  [[nodiscard]] DiscoveryContext Context();
};

// Checks the options, opens `path` read-only as drive 0 (through the fault
// plan or the legacy libraries when asked) and selects it. Every problem is
// told in one line on stderr.
[[nodiscard]] std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenImage(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime);

// Finds the image's volumes: in the --search range, else through the
// partition record, falling back to a search of the whole disk (and saying
// so) when the record's mark is missing. The volume table then holds what
// was found; none is not a failure here.
void DiscoverVolumes(OpenedImage& image, const DiscoveryOptions& options, CliRuntime& runtime);

// OpenImage, then DiscoverVolumes.
[[nodiscard]] std::expected<std::unique_ptr<OpenedImage>, CommandFailed> OpenAndDiscover(
    const std::string& path, const DiscoveryOptions& options, CliRuntime& runtime);

}  // namespace tolvar::cli
