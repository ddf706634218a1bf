#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/utf8.hpp"
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

// A hit as the command line shows it: the name as stored and the folder's
// "/"-separated path from the root, the form `ls` and `recover` take back.
struct ShownHit {
  std::string name;
  std::string path;
  std::uint32_t size = 0;
  std::uint32_t fileId = 0;
};

// "/" for the root's files, else "/" before each folder name up from the
// root. Walks the parent numbers with a bound, so a cycle among damaged
// folder records ends the path instead of the command.
std::string SlashPath(const FileTree& tree, std::uint32_t parentInode) {
  std::vector<const std::string*> names;
  std::uint32_t inode = parentInode;
  while (inode != 2 && names.size() <= tree.Folders().size()) {
    const FolderNode* folder = tree.FindFolder(inode);
    if (folder == nullptr) break;
    names.push_back(&folder->name);
    inode = folder->parent;
  }
  if (names.empty()) return "/";
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    path += '/';
    path += **name;
  }
  return path;
}

std::vector<ShownHit> ShownHits(const FileTree& tree, const std::vector<FindHit>& hits) {
  std::vector<ShownHit> shown;
  shown.reserve(hits.size());
  for (const FindHit& hit : hits) {
    const FileNode* file = tree.FindFileById(hit.fileId);
    shown.push_back({file != nullptr ? file->name : hit.name, SlashPath(tree, hit.parent), hit.size,
                     hit.fileId});
  }
  return shown;
}

void PrintHits(std::FILE* out, const std::vector<ShownHit>& hits) {
  std::vector<std::array<std::string, 3>> rows;
  rows.reserve(hits.size() + 1);
  rows.push_back({"File Name", "Path", "Size"});
  for (const ShownHit& hit : hits) {
    rows.push_back({TerminalSafe(hit.name), TerminalSafe(hit.path), fmt::format("{}", hit.size)});
  }
  std::array<std::size_t, 2> widths{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < widths.size(); ++c)
      widths[c] = std::max(widths[c], Utf8Columns(row[c]));
  }
  std::string text;
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < widths.size(); ++c) {
      text += row[c];
      text.append(widths[c] - Utf8Columns(row[c]) + 2, ' ');
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
  const std::vector<ShownHit> hits =
      ShownHits(volume.tree, FindFiles(volume.tree, options.pattern));

  if (options.browse.json) {
    nlohmann::json document = VolumeHeaderJson(volume);
    document["pattern"] = options.pattern;
    nlohmann::json listed = nlohmann::json::array();
    for (const ShownHit& hit : hits) {
      nlohmann::json row = nlohmann::json::object();
      SetTextWithBytes(row, "name", hit.name);
      SetTextWithBytes(row, "path", hit.path);
      row["size"] = hit.size;
      row["id"] = hit.fileId;
      listed.push_back(std::move(row));
    }
    document["hits"] = std::move(listed);
    document["filesFound"] = hits.size();
    PrintJson(runtime, document);
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
