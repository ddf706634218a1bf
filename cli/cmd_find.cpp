#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "tools/find_files.hpp"

namespace tolvar::cli {
namespace {

struct FindOptions {
  BrowseOptions browse;
  std::string pattern;
};

int RunFind(const FindOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options.browse, runtime);
  if (!mounted) return mounted.error().status;
  const MountedVolume& volume = **mounted;
  const std::vector<FindHit> hits = FindFiles(volume.tree, options.pattern);

  if (options.browse.json) {
    nlohmann::json document = VolumeHeaderJson(volume);
    document["pattern"] = options.pattern;
    nlohmann::json listed = nlohmann::json::array();
    for (const FindHit& hit : hits) {
      listed.push_back(
          {{"name", hit.name}, {"path", hit.path}, {"size", hit.size}, {"id", hit.fileId}});
    }
    document["hits"] = std::move(listed);
    document["filesFound"] = hits.size();
    PrintJson(runtime.out, document);
  } else if (!hits.empty()) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(hits.size());
    for (const FindHit& hit : hits) rows.push_back({hit.name, hit.path, fmt::format("{}", hit.size)});
    PrintTable(runtime.out, {"File Name", "Path", "Size"}, rows);
  }
  return hits.empty() ? kExitNothing : kExitOk;
}

}  // namespace

void RegisterFindCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<FindOptions>();
  CLI::App* command = app.add_subcommand(
      "find", "Search every file of a volume for names matching a pattern (any letter case)");
  AddBrowseOptions(*command, options->browse);
  command->add_option("PATTERN", options->pattern, "Name pattern; * and ? are wildcards")
      ->required();
  command->callback([options, &runtime] { runtime.exitCode = RunFind(*options, runtime); });
}

}  // namespace tolvar::cli
