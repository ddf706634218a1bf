#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/body_file.hpp"
#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "fs/format.hpp"
#include "fs/inode_reader.hpp"

namespace tolvar::cli {
namespace {

// Reads the inodes of a volume's entries, the neighbours of a folder
// mostly through one read of the inode table.
class InodeFactsReader {
 public:
  explicit InodeFactsReader(MountedVolume& mounted)
      : drives_(mounted.image->drives),
        volume_(mounted.volume),
        readAhead_(drives_, kInodeTableReadAhead) {
    const SectorRange table = InodeTableSectors(volume_);
    readAhead_.Aim(table.first, table.end);
  }

  // The inode's words; a made-up folder (the extensive search's) or an
  // inode that could not be read gives zeros and, for folders, the
  // directory type, so the line still says what the entry is.
  [[nodiscard]] InodeFacts Read(std::uint32_t inode, bool folder, std::uint64_t* size = nullptr) {
    InodeFacts facts;
    if (inode >= 1 && inode <= volume_.inodeCount) {
      const Inode record = ReadInodeRecord(drives_, volume_, inode, &readAhead_);
      const InodeLocation where = LocateInode(volume_.fsType, inode);
      if (!drives_.BadSectors().Contains(volume_.inodeTableSector + where.sectorOffset)) {
        facts = FactsOf(record);
        if (size != nullptr) *size = record.size;
      }
    }
    if (folder && !HasModeType(facts.mode, ModeType::kDirectory)) {
      facts.mode = static_cast<std::uint16_t>(ModeType::kDirectory) | (facts.mode & 07777U);
    }
    return facts;
  }

 private:
  DriveTable& drives_;
  const VolumeInfo& volume_;
  ReadAheadPath readAhead_;
};

int RunTimeline(const BrowseOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options, runtime);
  if (!mounted) return mounted.error().status;
  MountedVolume& volume = **mounted;
  InodeFactsReader inodes(volume);

  nlohmann::json items = nlohmann::json::array();
  std::string text;
  auto emit = [&](const BodyFileEntry& entry, std::string_view rawName) {
    if (options.json) {
      nlohmann::json item = {
          {"path", entry.path},         {"inode", entry.inode},       {"mode", entry.facts.mode},
          {"uid", entry.facts.uid},     {"gid", entry.facts.gid},     {"size", entry.size},
          {"atime", entry.facts.atime}, {"mtime", entry.facts.mtime}, {"ctime", entry.facts.ctime}};
      SetTextWithBytes(item, "name", rawName);
      items.push_back(std::move(item));
      return;
    }
    text += BodyFileLine(entry);
    if (text.size() >= 1 << 16) {
      std::fputs(text.c_str(), runtime.out);
      text.clear();
    }
  };
  auto emitFiles = [&](std::uint32_t folderInode, const std::string& folderPath) {
    for (const ListRow& row : ListFolder(volume, folderInode)) {
      if (row.isFolder) continue;
      BodyFileEntry entry;
      entry.path = folderPath + "/" + BodyFileName(row.name);
      entry.inode = row.inode;
      entry.size = row.sizeBytes;
      entry.facts = inodes.Read(row.inode, false);
      emit(entry, row.name);
    }
  };

  BodyFileEntry root;
  root.path = "/";
  root.inode = kRootInode;
  root.facts = inodes.Read(kRootInode, true, &root.size);
  emit(root, "");
  emitFiles(kRootInode, "");
  // Each folder's path, by its line: parents come before their children.
  std::vector<std::string> paths(volume.lines.size());
  for (std::size_t k = 0; k < volume.lines.size(); ++k) {
    const MountedVolume::Line& line = volume.lines[k];
    const FolderNode& folder = volume.tree.Folders()[line.folder];
    const std::string& parent = line.parentLine ? paths[*line.parentLine] : std::string();
    paths[k] = parent + "/" + BodyFileName(folder.name);
    BodyFileEntry entry;
    entry.path = paths[k];
    entry.inode = folder.inode;
    entry.facts = inodes.Read(folder.inode, true, &entry.size);
    emit(entry, folder.name);
    emitFiles(folder.inode, paths[k]);
  }

  if (options.json) {
    nlohmann::json document = VolumeHeaderJson(volume);
    document["entries"] = std::move(items);
    PrintJson(runtime, document);
  } else {
    std::fputs(text.c_str(), runtime.out);
  }
  return kExitOk;
}

}  // namespace

void RegisterTimelineCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<BrowseOptions>();
  CLI::App* command = app.add_subcommand(
      "timeline",
      "Print a body file of every file and folder of a volume for `mactime -b` (The Sleuth Kit)");
  AddBrowseOptions(*command, *options);
  command->callback([options, &runtime] { runtime.exitCode = RunTimeline(*options, runtime); });
}

}  // namespace tolvar::cli
