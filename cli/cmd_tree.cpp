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

struct TreeLine {
  const RecordingTreeSink::Item* item = nullptr;  // nullptr: the root
  std::size_t depth = 0;
};

// The tree's items in display order (each parent before its children, the
// children in the order they were inserted), without recursion: a volume can
// nest folders as deep as it likes.
std::vector<TreeLine> DisplayOrder(const RecordingTreeSink& sink) {
  std::vector<TreeLine> lines{{nullptr, 0}};
  std::vector<TreeLine> pending;
  const auto pushChildren = [&](TreeItemId parent, std::size_t depth) {
    const auto children = sink.ChildrenOf(parent);
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back({*it, depth});
  };
  pushChildren(sink.Root(), 1);
  while (!pending.empty()) {
    const TreeLine line = pending.back();
    pending.pop_back();
    lines.push_back(line);
    pushChildren(line.item->id, line.depth + 1);
  }
  return lines;
}

int RunTree(const BrowseOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options, runtime);
  if (!mounted) return mounted.error().status;
  const MountedVolume& volume = **mounted;
  const std::vector<TreeLine> lines = DisplayOrder(volume.treeSink);

  if (options.json) {
    // A flat list with depths and parents: nesting would grow with the disk.
    nlohmann::json document = VolumeHeaderJson(volume);
    nlohmann::json items = nlohmann::json::array();
    for (const TreeLine& line : lines) {
      if (line.item == nullptr) {
        items.push_back({{"item", volume.treeSink.Root()},
                         {"parent", nullptr},
                         {"depth", 0},
                         {"name", volume.RootText()}});
        continue;
      }
      const FolderNode* folder = volume.tree.FindFolderByTreeItem(line.item->id);
      items.push_back({{"item", line.item->id},
                       {"parent", line.item->parent},
                       {"depth", line.depth},
                       {"name", line.item->text},
                       {"inode", folder != nullptr ? folder->inode : 0}});
    }
    document["folders"] = std::move(items);
    document["totalFolders"] = volume.tree.FolderCount();
    PrintJson(runtime.out, document);
    return kExitOk;
  }

  std::string text;
  for (const TreeLine& line : lines) {
    text.append(2 * line.depth, ' ');
    text += TerminalSafe(line.item == nullptr ? volume.RootText() : line.item->text);
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
