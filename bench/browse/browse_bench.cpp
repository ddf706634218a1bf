// Times the window opening a folder of 100,000 entries: the controller lists
// the folder from the file tree, the view takes the listing and draws its
// first screen of rows. Also a header click sorting those rows, and the left
// tree showing a folder of 100,000 subfolders. The reference, measured in
// the same run, is making every row's texts once: the least a list holding
// a copy of each row has to do before it can show any of them.
//
//   tolvar-bench-browse [--entries N] [--rounds N]

#include <fmt/format.h>

#include <QApplication>
#include <QHeaderView>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/browse_view.hpp"
#include "app/session.hpp"
#include "disk/block_device_source.hpp"
#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/recovery_wizard_dlg.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tolvar;

constexpr std::uint32_t kManyFoldersInode = 10;
constexpr std::uint32_t kFirstSubfolderInode = 1000;
constexpr std::uint32_t kFirstFileInode = 500000;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The best of `rounds` runs of `body`, in milliseconds.
template <typename Body>
double Best(int rounds, Body&& body) {
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) best = std::min(best, body());
  return best;
}

// The root holds `entries` files and one folder, which holds `entries`
// subfolders.
bool FillTree(FileTree& tree, std::uint32_t entries) {
  if (!tree.AddFolder("many", kManyFoldersInode, kRootFolderInode, 0, 1165482300)) return false;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::string name = fmt::format("folder{}", entries - i);
    if (!tree.AddFolder(name, kFirstSubfolderInode + i, kManyFoldersInode, tree.FolderCount(),
                        1165482300 + i)) {
      return false;
    }
  }
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::string name = fmt::format("report-{}.{}", (i * 7919U) % entries,
                                         i % 3 == 0 ? "txt" : (i % 3 == 1 ? "doc" : "dat"));
    if (!tree.AddFile(name, kFirstFileInode + i, kRootFolderInode, i, 1165482300 + i,
                      (i * 104729U) % 1000000U)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t entries = 100000;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--entries") {
      entries = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    } else if (option == "--rounds") {
      rounds = std::max(1, std::atoi(argv[i + 1]));
    } else {
      fmt::print(stderr, "usage: tolvar-bench-browse [--entries N] [--rounds N]\n");
      return 2;
    }
  }

  QApplication app(argc, argv);
  Session session;
  session.drives.EnumerateDrives(MakeFixedProvider({std::shared_ptr<BlockDeviceSource>(
      MakeMemorySource(std::vector<std::byte>(512 * 64), DeviceDescription{}))}));
  gui::DriveSources sources(gui::DriveSources::Options{});
  gui::CRecoveryWizardDlg window(session, sources);
  window.SetRunsAsRoot(false);
  window.Initialise("/tmp");
  window.show();
  QCoreApplication::processEvents();

  if (!FillTree(session.fileTree, entries)) {
    fmt::print(stderr, "could not build the file tree\n");
    return 1;
  }
  const std::vector<ListColumn> columns = {{"Name", 150, false}, {"Type", 100, false},
                                           {"Size", 70, true},   {"Date", 100, false},
                                           {"Time", 70, false},  {"Sector", 70, false}};
  window.SetListColumns(columns);
  window.SetListViewMode(ListViewMode::kDetails);
  window.ShowList(true);
  // The browse step, as the mount leaves it.
  session.state.step = WizardStep::kFiles;
  QTreeView* list = window.ListDetails();
  const auto drawList = [&] {
    list->viewport()->repaint();
    QCoreApplication::processEvents();
  };

  // Opening the root: the controller's own path from the click on.
  const ViewItem anyFolderItem = 999999999;
  const double open = Best(rounds, [&] {
    window.ClearList();
    drawList();
    const auto start = Clock::now();
    window.Controller().OpenFolder(anyFolderItem);
    drawList();
    return MillisecondsSince(start);
  });
  const auto shownRows = static_cast<std::size_t>(list->model()->rowCount());

  const double reference = Best(rounds, [&] {
    const auto start = Clock::now();
    const std::vector<ListRow> rows = ListingRows(
        FolderListing(session.fileTree, kRootFolderInode, nullptr, {}, DefaultFileTypeName));
    const double elapsed = MillisecondsSince(start);
    return rows.size() == shownRows ? elapsed : 1e300;
  });

  const auto sortBy = [&](int column) {
    return Best(rounds, [&] {
      list->header()->setSortIndicator(-1, Qt::AscendingOrder);
      drawList();
      const auto start = Clock::now();
      list->header()->setSortIndicator(column, Qt::AscendingOrder);
      drawList();
      return MillisecondsSince(start);
    });
  };
  const double sortName = sortBy(0);
  const double sortSize = sortBy(2);

  // The left tree: the folders handed over, the big folder expanded,
  // selected and drawn.
  std::vector<ViewItem> folderItems(session.fileTree.FolderCount());
  std::unordered_map<ViewItem, std::uint32_t> folderOfItem;
  for (std::uint32_t i = 0; i < folderItems.size(); ++i) {
    folderItems[i] = 100 + i;
    folderOfItem.emplace(folderItems[i], i);
  }
  const FolderTreeSource folders{&session.fileTree, folderItems,
                                 [&](ViewItem item) -> std::optional<std::uint32_t> {
                                   const auto found = folderOfItem.find(item);
                                   if (found == folderOfItem.end()) return std::nullopt;
                                   return found->second;
                                 }};
  const double tree = Best(rounds, [&] {
    window.CreateTree(TreeKind::kFile, 1, "Volume", TreeImage::kRoot);
    window.ShowTree(TreeKind::kFile, true);
    QCoreApplication::processEvents();
    gui::CFolderTreeCtrl* control = window.Tree(TreeKind::kFile);
    const auto start = Clock::now();
    window.ShowFolders(folders);
    window.ExpandTreeItem(TreeKind::kFile, 1);
    window.ExpandTreeItem(TreeKind::kFile, folderItems[0]);
    window.SelectTreeItem(TreeKind::kFile, folderItems[0]);
    control->viewport()->repaint();
    QCoreApplication::processEvents();
    return MillisecondsSince(start);
  });

  fmt::print("folder of {} entries ({} rows shown), best of {} rounds:\n", entries, shownRows,
             rounds);
  fmt::print("  open and draw the list:           {:8.2f} ms\n", open);
  fmt::print("  reference, every row's texts once: {:7.2f} ms   open/reference {:.3f}\n", reference,
             open / reference);
  fmt::print("  sort by name (header click):       {:7.2f} ms\n", sortName);
  fmt::print("  sort by size (header click):       {:7.2f} ms\n", sortSize);
  fmt::print("  tree: {} subfolders shown, expanded, selected and drawn: {:.2f} ms\n", entries,
             tree);
  window.ClearList();
  window.ShowFolders({});
  return 0;
}
