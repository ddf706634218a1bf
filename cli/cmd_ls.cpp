#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "fs/format.hpp"
#include "tools/folder_paths.hpp"

namespace tolvar::cli {
namespace {

struct LsOptions {
  BrowseOptions browse;
  std::string path;
  std::vector<std::string> filters;
};

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The filters as the filter list would take them; a refused one is a usage
// error, a repeated one is simply kept once.
std::expected<std::vector<std::string>, std::string> CheckFilters(
    const std::vector<std::string>& typed) {
  std::vector<std::string> kept;
  for (const std::string& pattern : typed) {
    const FilterRefusal refusal = FileFilterList::CheckNewPattern(kept, pattern);
    if (refusal == FilterRefusal::kDuplicate) continue;
    if (refusal != FilterRefusal::kNone) {
      return std::unexpected(
          fmt::format("--filter \"{}\": {}", pattern, Trimmed(FilterRefusalMessage(refusal))));
    }
    kept.push_back(pattern);
  }
  return kept;
}

nlohmann::json RowJson(const ListRow& row) {
  nlohmann::json object = {{"type", row.type},   {"size", row.sizeBytes},
                           {"date", row.date},   {"time", row.time},
                           {"sector", row.key},  {"isFolder", row.isFolder},
                           {"inode", row.inode}, {"timestamp", row.timestamp}};
  SetTextWithBytes(object, "name", row.name);
  return object;
}

int RunLs(const LsOptions& options, CliRuntime& runtime) {
  const auto filters = CheckFilters(options.filters);
  if (!filters) {
    runtime.Say(filters.error());
    return kExitUsage;
  }

  auto mounted = OpenAndMount(options.browse, runtime);
  if (!mounted) return mounted.error().status;
  MountedVolume& volume = **mounted;
  volume.filters.Store(*filters);

  const auto folder = ResolveFolderPath(volume.tree, options.path);
  if (!folder) {
    runtime.Say(fmt::format("no folder \"{}\" in volume {} ({})", options.path, volume.number,
                            volume.volume.volumeName));
    return kExitUsage;
  }

  const std::vector<ListRow> rows = ListFolder(volume, *folder);

  if (options.browse.json) {
    nlohmann::json document = VolumeHeaderJson(volume);
    document["path"] = options.path.empty() ? "/" : options.path;
    document["filters"] = *filters;
    nlohmann::json listed = nlohmann::json::array();
    for (const ListRow& row : rows) listed.push_back(RowJson(row));
    document["rows"] = std::move(listed);
    PrintJson(runtime, document);
  } else if (!rows.empty()) {
    std::vector<std::vector<std::string>> cells;
    cells.reserve(rows.size());
    for (const ListRow& row : rows) {
      cells.push_back({row.name, row.type, row.size, row.date, row.time, row.sector});
    }
    PrintTable(runtime.out, {"Name", "Type", "Size", "Date", "Time", "Sector"}, cells);
  }
  return rows.empty() ? kExitNothing : kExitOk;
}

}  // namespace

void RegisterLsCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<LsOptions>();
  CLI::App* command = app.add_subcommand("ls", "List the folders and files of one folder");
  AddBrowseOptions(*command, options->browse);
  command->add_option("PATH", options->path,
                      "Folder to list, folder names separated by \"/\" (default: the root)");
  command
      ->add_option("--filter", options->filters,
                   "Show only files matching this pattern (repeatable; * and ? as wildcards)")
      ->allow_extra_args(false);
  command->callback([options, &runtime] { runtime.exitCode = RunLs(*options, runtime); });
}

}  // namespace tolvar::cli
