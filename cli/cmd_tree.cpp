#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "cli/terminal_text.hpp"

namespace tolvar::cli {
namespace {

int RunTree(const BrowseOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options, runtime);
  if (!mounted) return mounted.error().status;
  const MountedVolume& volume = **mounted;

  if (options.json) {
    // A flat list with depths and parents: nesting would grow with the disk.
    nlohmann::json document = VolumeHeaderJson(volume);
    nlohmann::json items = nlohmann::json::array();
    items.push_back({{"item", kRootFolderNumber},
                     {"parent", nullptr},
                     {"depth", 0},
                     {"name", volume.RootText()}});
    for (std::size_t k = 0; k < volume.lines.size(); ++k) {
      const MountedVolume::Line& line = volume.lines[k];
      const FolderNode& folder = volume.tree.Folders()[line.folder];
      nlohmann::json item = {{"item", k + 2},
                             {"parent", line.parentLine ? *line.parentLine + 2 : kRootFolderNumber},
                             {"depth", line.depth},
                             {"inode", folder.inode}};
      SetTextWithBytes(item, "name", folder.name);
      items.push_back(std::move(item));
    }
    document["folders"] = std::move(items);
    document["totalFolders"] = volume.tree.FolderCount();
    PrintJson(runtime, document);
    return kExitOk;
  }

  std::string text = TerminalSafe(volume.RootText()) + '\n';
  for (const MountedVolume::Line& line : volume.lines) {
    text.append(2 * std::size_t{line.depth}, ' ');
    text += TerminalSafe(volume.tree.Folders()[line.folder].name);
    text += '\n';
    if (text.size() >= 1 << 16) {
      std::fputs(text.c_str(), runtime.out);
      text.clear();
    }
  }
  std::fputs(text.c_str(), runtime.out);
  return kExitOk;
}

}  // namespace

void RegisterTreeCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<BrowseOptions>();
  CLI::App* command =
      app.add_subcommand("tree", "Show the folder tree of a volume, children in discovery order");
  AddBrowseOptions(*command, *options);
  command->callback([options, &runtime] { runtime.exitCode = RunTree(*options, runtime); });
}

}  // namespace tolvar::cli
