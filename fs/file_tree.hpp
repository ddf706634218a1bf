#pragma once

// What a mount found: the folder, file and folder-name records, kept in the
// order they were added, with indexes that keep every insertion and lookup
// constant-time. How a front end draws them is its own business.

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/bulk_allocator.hpp"
#include "base/error.hpp"

namespace tolvar {

inline constexpr std::uint32_t kLostDirInode = 16777207;  // 0xFFFFF7
inline constexpr std::string_view kLostDirName = "LostDir";
inline constexpr std::string_view kPlaceholderPrefix = "Dir";  // "Dir" + inode number

struct FolderNode {
  std::uint32_t inode = 0;   // unique within the folder list
  std::uint32_t id = 0;      // the folder count when it was added
  std::uint32_t parent = 0;  // 2 for the root's children
  std::string name;          // at most 255 bytes
  std::uint32_t time = 0;    // 0 for folders the extensive search makes up
};

struct FileNode {
  std::uint32_t parent = 0;
  std::uint32_t inode = 0;
  std::string name;  // at most 255 bytes
  std::uint32_t time = 0;
  std::uint32_t size = 0;
  std::uint32_t id = 0;  // the file count when it was added
};

// The name under which a directory entry of directory type was seen
// (extensive mode only).
struct FolderNameRecord {
  std::string name;
  std::uint32_t inode = 0;  // unique within this list
  std::uint32_t parent = 0;
};

enum class AddResult { kAdded, kRefused };

// Sectors a mount needed and could not read: a block (or the inode) of
// folder `folder`, or, with folder 0, an inode-table sector or a candidate
// folder's first block the Extensive sweep could not read (what they held
// is unknown).
struct UnreadWalkSectors {
  std::uint32_t folder = 0;
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

// What a mount met besides the records: freed directory slots it passed over
// and the sectors it could not read.
struct MountFindings {
  std::uint64_t freeSlotsSkipped = 0;
  std::vector<UnreadWalkSectors> unreadable;

  // Distinct sectors among the runs (two folders whose inodes share an
  // unreadable sector name it once).
  [[nodiscard]] std::uint64_t UnreadableSectorCount() const;
  // The runs recorded for `folder`, in the order met.
  [[nodiscard]] std::vector<UnreadWalkSectors> OfFolder(std::uint32_t folder) const;
};

// The three record lists of one mount. Records are appended, never removed
// singly and never reordered; only ClearFileTree drops them.
class FileTree {
 public:
  // Appends a file unless `inode` < 3. Allocation failure gives an error
  // with code kOutOfMemory; the caller ends the mount.
  [[nodiscard]] std::expected<AddResult, Error> AddFile(std::string_view name, std::uint32_t inode,
                                                        std::uint32_t parent, std::uint32_t id,
                                                        std::uint32_t time, std::uint32_t size);
  // Appends a folder unless `inode` < 3 or already listed.
  [[nodiscard]] std::expected<AddResult, Error> AddFolder(std::string_view name,
                                                          std::uint32_t inode, std::uint32_t parent,
                                                          std::uint32_t id, std::uint32_t time);
  // Appends a folder name unless `inode` < 3 or already listed.
  [[nodiscard]] std::expected<AddResult, Error> AddFolderName(std::string_view name,
                                                              std::uint32_t inode,
                                                              std::uint32_t parent);
  // The placeholder for a folder's missing parent: as AddFolder, but inode
  // numbers 0 and 1 (which a damaged ".." entry can name) are taken too, so
  // that the folders naming them can still be shown below the placeholder.
  [[nodiscard]] std::expected<AddResult, Error> AddPlaceholderFolder(std::string_view name,
                                                                     std::uint32_t inode,
                                                                     std::uint32_t parent,
                                                                     std::uint32_t id);
  // Hangs folder `index` below `parent`, after that parent's other children.
  void MoveFolder(std::size_t index, std::uint32_t parent);
  // What the mount met besides the records; emptied with them.
  [[nodiscard]] const MountFindings& Findings() const { return findings_; }
  [[nodiscard]] MountFindings& Findings() { return findings_; }
  // Drops every record and resets the three counts.
  void ClearFileTree();

  template <typename T>
  using RecordList = std::vector<T, BulkAllocator<T>>;
  [[nodiscard]] const RecordList<FolderNode>& Folders() const { return folders_; }
  [[nodiscard]] const RecordList<FileNode>& Files() const { return files_; }
  [[nodiscard]] const RecordList<FolderNameRecord>& FolderNames() const { return folderNames_; }
  [[nodiscard]] std::uint32_t FolderCount() const { return Count(folders_.size()); }
  [[nodiscard]] std::uint32_t FileCount() const { return Count(files_.size()); }
  [[nodiscard]] std::uint32_t FolderNameCount() const { return Count(folderNames_.size()); }

  // Lookups; nullptr when absent.
  [[nodiscard]] const FolderNode* FindFolder(std::uint32_t inode) const;
  [[nodiscard]] const FolderNameRecord* FindFolderName(std::uint32_t inode) const;
  // The file whose id is `id`.
  [[nodiscard]] const FileNode* FindFileById(std::uint32_t id) const;
  // Positions in Folders() / Files() of the records whose parent is
  // `parentInode`, in list order.
  [[nodiscard]] std::span<const std::uint32_t> ChildFolders(std::uint32_t parentInode) const;
  [[nodiscard]] std::span<const std::uint32_t> ChildFiles(std::uint32_t parentInode) const;

  // Writers for the names, which may change after insertion (renaming and
  // the extensive search's name pass).
  void SetFolderName(std::size_t index, std::string_view name);
  void SetFileName(std::size_t index, std::string_view name);

 private:
  // Appends a folder already checked for refusal.
  [[nodiscard]] std::expected<AddResult, Error> AppendFolder(std::string_view name,
                                                             std::uint32_t inode,
                                                             std::uint32_t parent, std::uint32_t id,
                                                             std::uint32_t time);
  [[nodiscard]] static std::uint32_t Count(std::size_t size) {
    return static_cast<std::uint32_t>(size);
  }

  RecordList<FolderNode> folders_;
  MountFindings findings_;
  RecordList<FileNode> files_;
  RecordList<FolderNameRecord> folderNames_;
  std::unordered_map<std::uint32_t, std::uint32_t> folderByInode_;
  std::unordered_map<std::uint32_t, std::uint32_t> folderNameByInode_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> childFolders_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> childFiles_;
};

// No folder: the parent index VisitFolderTree gives the top folders.
inline constexpr std::uint32_t kNoFolderIndex = 0xFFFFFFFF;

// Visits the folders below `parentInode` depth first, each after its
// parent's earlier children, in list order, without recursion (a chain of
// nested folders is as deep as the disk says). `visit(index, parentIndex)`
// gets positions in Folders(); parentIndex is kNoFolderIndex for the
// children of `parentInode`. Folder inodes are unique, so every folder is
// visited at most once.
void VisitFolderTree(const FileTree& tree, std::uint32_t parentInode,
                     const std::function<void(std::uint32_t, std::uint32_t)>& visit);

}  // namespace tolvar
