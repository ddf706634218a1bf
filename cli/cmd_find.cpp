#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "cli/terminal_text.hpp"
#include "tools/find_files.hpp"

namespace tolvar::cli {
namespace {

struct FindOptions {
  BrowseOptions browse;
  std::string pattern;
};

// The path made safe for the terminal, its folder separators left single: a
// backslash is no control character, and doubled separators would hide the
// path the user typed in the window.
std::string SafePath(std::string_view path) {
  const std::string safe = TerminalSafe(path);
  std::string shown;
  shown.reserve(safe.size());
  for (std::size_t k = 0; k < safe.size(); ++k) {
    shown.push_back(safe[k]);
    if (safe[k] == '\\' && k + 1 < safe.size() && safe[k + 1] == '\\') ++k;
  }
  return shown;
}

// Characters on the terminal: UTF-8 continuation bytes take no column.
std::size_t Columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char ch : text) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++columns;
  }
  return columns;
}

void PrintHits(std::FILE* out, const std::vector<FindHit>& hits) {
  std::vector<std::array<std::string, 3>> rows;
  rows.reserve(hits.size() + 1);
  rows.push_back({"File Name", "Path", "Size"});
  for (const FindHit& hit : hits) {
    rows.push_back({TerminalSafe(hit.name), SafePath(hit.path), fmt::format("{}", hit.size)});
  }
  std::array<std::size_t, 2> widths{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < widths.size(); ++c)
      widths[c] = std::max(widths[c], Columns(row[c]));
  }
  std::string text;
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < widths.size(); ++c) {
      text += row[c];
      text.append(widths[c] - Columns(row[c]) + 2, ' ');
    }
    text += row[2];
    text += '\n';
    if (text.size() >= 1 << 16) {
      std::fputs(text.c_str(), out);
      text.clear();
    }
  }
  std::fputs(text.c_str(), out);
}

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
    PrintHits(runtime.out, hits);
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
