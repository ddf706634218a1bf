#include "recovery/saving_run.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "fs/file_data.hpp"
#include "fs/inode_reader.hpp"
#include "packaging/project_info.hpp"
#include "recovery/file_digester.hpp"
#include "recovery/host_names.hpp"
#include "recovery/host_writer.hpp"
#include "recovery/settings_rules.hpp"
#include "recovery/whole_range_io.hpp"

namespace tolvar {
namespace {

// Folders deeper than this keep no open handle while their sub-folders are
// written; they are reopened through ".." from the child on the way back.
constexpr std::size_t kOpenDepth = 64;
// Files up to this size are read whole and handed to the writer threads.
constexpr std::uint64_t kPooledFileBytes = 256 * 1024;
// The writer threads, and how much they may have in hand at once.
constexpr unsigned kWriterThreads = 2;
constexpr std::size_t kMostPooledFiles = 64;
constexpr std::uint64_t kMostPooledBytes = 16 * 1024 * 1024;
// A symbolic link's stored target longer than this is damage, not a target.
constexpr std::uint32_t kMaxLinkTarget = 4096;
// The most a single kernel copy takes at once: the stop and skip buttons are
// looked at between copies.
constexpr std::uint64_t kKernelCopySectors = 16384;
// Large files in place whose entries wait for their digests, hashed side by
// side while the next files are copied.
constexpr std::size_t kMostDeferredFiles = 8;

// How far the copy may run ahead of the hashing of large files: the bytes
// are read back for the digests, from the page cache while they are still
// there, so a share of the memory and no more than 1 GiB.
std::uint64_t HashAheadBytes() {
  constexpr std::uint64_t kMost = std::uint64_t{1} << 30;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return kMost / 4;
  return std::clamp<std::uint64_t>(
      static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 8,
      std::uint64_t{64} << 20, kMost);
}

EntryType TypeOfMode(std::uint16_t mode) {
  switch (static_cast<ModeType>(ModeTypeBits(mode))) {
    case ModeType::kPipe:
      return EntryType::kPipe;
    case ModeType::kCharDevice:
      return EntryType::kCharDevice;
    case ModeType::kBlockDevice:
      return EntryType::kBlockDevice;
    case ModeType::kSymlink:
      return EntryType::kSymlink;
    case ModeType::kSocket:
      return EntryType::kSocket;
    default:
      // Regular files, directory-typed inodes without blocks (the tree lists
      // them as files) and unknown types: their data is copied.
      return EntryType::kFile;
  }
}

std::optional<std::int64_t> HostTime(std::uint32_t stamp) {
  const auto seconds = static_cast<std::int32_t>(stamp);
  if (seconds <= 0) return std::nullopt;
  return std::int64_t{seconds};
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  return fmt::format("{}/{}", folder, name);
}

// One folder of the host tree being written.
struct Frame {
  FolderHandle handle;
  FolderIdentity identity;
  std::string hostPath;  // relative to the destination; "" for it
  std::vector<std::string> rawPath;
  std::uint32_t inode = kRootInode;
  std::optional<std::int64_t> mtime;
  bool isRoot = false;
  bool filesDone = false;
  std::vector<std::uint32_t> files;    // positions in tree.Files()
  std::vector<std::uint32_t> folders;  // positions in tree.Folders()
  std::size_t nextFolder = 0;
  std::size_t entryIndex = 0;  // its report entry (folders below the root)
  // Names this run has given entries here: a second entry of the disk with
  // one of them (a file and a folder of one name, say) is renamed, whatever
  // the duplicate policy, which is for what was in the destination before.
  std::unordered_set<std::string> namesThisRun;
  // Per wanted name, the next number to try for "name (n)": entries of one
  // name cost one look-up each, not one per earlier entry.
  std::unordered_map<std::string, unsigned> nextDuplicate;
  // Made by this run: nothing is in it but what the run put there
  // (namesThisRun), so names need no look-up on the host.
  bool createdByRun = false;
};

// A file whose data has been read: what is left to record once it is in
// place on the host (or failed to get there).
struct CopiedFile {
  ReportEntry entry;
  std::string hostName;
  std::uint64_t fileSize = 0;  // progress counts the file whole, whatever became of it
  std::uint64_t copied = 0;
  bool sameNameOnDisk = false;
  bool damaged = false;
  bool brokenLink = false;
  std::vector<std::string> notes;
};

class SavingRun {
 public:
  SavingRun(DriveTable& drives, const VolumeInfo& volume, const FileTree& tree,
            const RecoverySettings& settings, SaveControl& control, SavingObserver& observer,
            const SavingOptions& options)
      : drives_(drives),
        volume_(volume),
        tree_(tree),
        settings_(settings),
        control_(control),
        options_(options),
        observer_(observer) {
    const SectorRange table = InodeTableSectors(volume_);
    inodeSectors_.Aim(table.first, table.end);
    const auto backing = drives_.FileBacking(volume_.startSector, 1);
    kernelCopy_ = options_.kernelCopy && backing.has_value();
    // From a block device the kernel copies through a pipe.
    if (backing && backing->device)
      kernelCopyMode_ = PendingFile::KernelCopyMode(false, false, true);
    for (const UnreadWalkSectors& run : tree_.Findings().unreadable) {
      unreadFolders_[run.folder].push_back({run.first, run.count});
    }
  }

  SavingResult Run(FolderHandle root, const Selection& selection);

  // Once the selection is counted, the run takes room in `folder` for its
  // report, so that a run that fills the disk still ends with one; the
  // room is given back by ReleaseReportRoom, just before the report is
  // written.
  void ReserveReportRoomIn(const FolderHandle& folder) { reportFolder_ = &folder; }
  void ReleaseReportRoom() { reportRoom_.reset(); }

 private:
  void ReserveReportRoom();
  void RemoveLeftovers(const FolderHandle& folder, const std::string& hostPath);
  void CountSelection(const Frame& root);
  [[nodiscard]] Frame MakeChildFrame(const FolderNode& folder, const Frame& parent,
                                     FolderHandle handle, FolderIdentity identity,
                                     std::string hostName);
  [[nodiscard]] std::vector<std::uint32_t> ChildFilesOf(std::uint32_t inode) const;
  [[nodiscard]] std::vector<std::uint32_t> ChildFoldersOf(std::uint32_t inode) const;
  void WriteFiles(Frame& frame);
  void WriteOneFile(Frame& frame, const FileNode& file);
  // Whether a file goes to the writer threads rather than being written here.
  [[nodiscard]] bool Pooled(const Frame& frame, EntryType type, std::uint64_t size) const;
  void WritePooled(Frame& frame, const FileNode& file, const Inode& inode, CopiedFile copiedFile,
                   bool inodeUnreadable);
  // Records the oldest (or every) file the writer threads have in hand, in
  // the order they were given.
  void CollectOne(Frame& frame);
  void CollectAll(Frame& frame);
  // What the reader met in a file's data, as the entry's notes.
  void NoteReaderFindings(CopiedFile& file, std::uint64_t readSize, bool inodeUnreadable) const;
  // Records a file once it was put in place (or not): `hashed` when its
  // bytes were hashed, `digests` set when they could be.
  void RecordPlaced(Frame& frame, CopiedFile file,
                    std::expected<std::optional<std::string>, Error> placed, bool hashed,
                    std::optional<ContentDigests> digests);
  // Records a file that is in place under `placedName`, with its digests
  // when `hashed`; `counted` when its progress was counted already.
  void RecordWritten(CopiedFile file, const std::string& placedName, bool hashed,
                     std::optional<ContentDigests> digests, bool counted);
  // Counts `counted` files as done, unless they were counted already.
  void FinishEntry(ReportEntry entry, std::uint64_t fileSize, std::uint64_t bytes,
                   bool counted = false);
  void CountDone(std::uint64_t fileSize) {
    bytesDone_ += fileSize;
    ++filesDone_;
  }
  // Records the files whose digests were left to finish, waiting for them.
  void FlushDeferred();
  void FlushOldestDeferred();
  // Adds an entry to the report and tells the observer.
  void Record(ReportEntry entry);
  // Creates the host folder for `folder` below `parent`; nullopt when it was
  // skipped (its entry says why) or the run must stop.
  [[nodiscard]] std::optional<Frame> EnterFolder(Frame& parent, const FolderNode& folder);
  void LeaveFolder(std::vector<Frame>& stack);
  [[nodiscard]] std::string HostNameFor(const Frame& folder, std::string_view raw) const;
  void StopWith(const Error& error, ReportEntry& entry);
  // A failure of one file: the run's end when the host cannot go on (a full
  // disk, say), else that file skipped with the reason.
  void StopOrSkip(const Error& error, ReportEntry& entry);
  // Marks a folder entry damaged when the mount could not read some of its
  // sectors (`folder` 0: the inode-table sectors the sweep could not read).
  void NoteUnreadFolder(ReportEntry& entry, std::uint32_t folder);
  void AddRootFindings(bool everything);
  void ShowFile(const Frame& frame, std::string_view name);
  void ShowProgress(std::string_view path);
  [[nodiscard]] bool StopRequested() const {
    return control_.stopSavingRequested.load(std::memory_order_relaxed) != 0;
  }
  [[nodiscard]] bool TakeSkipRequest() {
    std::int32_t expected = 1;
    return control_.skipFileRequested.compare_exchange_strong(expected, 0,
                                                              std::memory_order_relaxed);
  }
  [[nodiscard]] bool Ending() const { return stopped_ || failed_; }
  // The name a file gets in `frame`; nullopt: skipped (a name exists).
  [[nodiscard]] std::optional<std::string> TargetName(Frame& frame, const std::string& hostName,
                                                      DuplicatePolicy policy, bool sameNameOnDisk);

  DriveTable& drives_;
  const VolumeInfo& volume_;
  const FileTree& tree_;
  const RecoverySettings settings_;
  SaveControl& control_;
  const SavingOptions& options_;
  SavingObserver& observer_;

  RecoveryReport report_;
  std::unordered_set<std::uint32_t> visited_;
  std::vector<FolderIdentity> createdThisRun_;
  std::uint64_t filesTotal_ = 0;
  std::uint64_t foldersTotal_ = 0;
  std::uint64_t bytesTotal_ = 0;
  const FolderHandle* reportFolder_ = nullptr;
  std::optional<PendingFile> reportRoom_;
  std::uint64_t filesDone_ = 0;
  std::uint64_t bytesDone_ = 0;
  int lastProgress_ = -1;
  bool stopped_ = false;
  bool failed_ = false;
  FileDataReader reader_{drives_, volume_, settings_.sectorsPerRead};  // reused for every file
  // The sectors of each folder the mount could not read, by folder inode.
  std::unordered_map<std::uint32_t, std::vector<SectorRun>> unreadFolders_;
  // The files of a folder mostly have neighbouring inodes: one read serves many.
  ReadAheadPath inodeSectors_{drives_, kInodeTableReadAhead};
  // Runs of data are copied by the kernel straight from the image file.
  bool kernelCopy_ = false;
  PendingFile::KernelCopyMode kernelCopyMode_;
  // Of the file being written, fed as it is written; a large file's are
  // worked out off this thread, several files side by side.
  DigestQueue digestQueue_{HashAheadBytes()};
  FileDigester digester_{digestQueue_};
  // Files in place whose digests are still being worked out, oldest first:
  // recorded before anything after them is.
  struct DeferredFile {
    CopiedFile file;
    std::string placedName;
    DigestQueue::Ticket ticket = 0;
  };
  std::deque<DeferredFile> deferred_;
  bool recordingDeferred_ = false;
  // Small files being written by the writer threads (made for the first),
  // all of the folder on top of the stack, oldest first.
  std::unique_ptr<HostWritePool> pool_;
  std::deque<CopiedFile> inFlight_;
  // Buffers of written files, kept for the next ones: memory used again at
  // once is cheap, where fresh memory costs a fault a page.
  std::vector<std::vector<std::byte>> spareBuffers_;
  std::uint64_t spareBytes_ = 0;
};

std::vector<std::uint32_t> SavingRun::ChildFilesOf(std::uint32_t inode) const {
  const auto span = tree_.ChildFiles(inode);
  return {span.begin(), span.end()};
}

std::vector<std::uint32_t> SavingRun::ChildFoldersOf(std::uint32_t inode) const {
  const auto span = tree_.ChildFolders(inode);
  return {span.begin(), span.end()};
}

// Counts the files and bytes below the selection, with the walk's own rule
// that every folder is entered once.
void SavingRun::CountSelection(const Frame& root) {
  std::unordered_set<std::uint32_t> seen;
  std::vector<std::uint32_t> pending;
  auto addFiles = [this](const std::vector<std::uint32_t>& files) {
    for (const std::uint32_t index : files) {
      ++filesTotal_;
      bytesTotal_ += tree_.Files()[index].size;
    }
  };
  addFiles(root.files);
  for (const std::uint32_t index : root.folders) pending.push_back(tree_.Folders()[index].inode);
  while (!pending.empty()) {
    const std::uint32_t inode = pending.back();
    pending.pop_back();
    if (!seen.insert(inode).second) continue;
    ++foldersTotal_;
    addFiles(ChildFilesOf(inode));
    for (const std::uint32_t index : tree_.ChildFolders(inode)) {
      pending.push_back(tree_.Folders()[index].inode);
    }
  }
}

void SavingRun::ReserveReportRoom() {
  if (reportFolder_ == nullptr) return;
  // What the two report files take per entry, generously, and a base.
  constexpr std::uint64_t kBytesPerEntry = 2048;  // hashes and inode words included
  constexpr std::uint64_t kBase = 64 * 1024;
  constexpr std::uint64_t kMostReserved = 64 * 1024 * 1024;
  const std::uint64_t wanted =
      std::min(kMostReserved, kBase + (filesTotal_ + foldersTotal_) * kBytesPerEntry);
  auto room = PendingFile::Create(*reportFolder_, options_.destination);
  if (!room) return;  // the run itself will meet and report the problem
  if (room->Reserve(wanted)) reportRoom_.emplace(std::move(*room));
}

void SavingRun::RemoveLeftovers(const FolderHandle& folder, const std::string& hostPath) {
  for (const std::string& name : RemoveLeftoverPartials(folder)) {
    report_.leftoversRemoved.push_back(JoinPath(hostPath, name));
  }
}

std::string SavingRun::HostNameFor(const Frame& folder, std::string_view raw) const {
  std::string name = EscapeHostName(raw);
  // The report's own names at the top are kept for the report: a disk entry
  // of that name gets its first character escaped, which reads back the same.
  if (folder.isRoot && (name == kReportJsonName || name == kReportTextName)) {
    name = fmt::format("%{:02X}{}", static_cast<unsigned char>(name[0]), name.substr(1));
  }
  return name;
}

void SavingRun::StopOrSkip(const Error& error, ReportEntry& entry) {
  if (StopsTheRun(error)) {
    StopWith(error, entry);
    return;
  }
  entry.status = EntryStatus::kSkipped;
  entry.byError = true;
  entry.note = error.message;
}

void SavingRun::StopWith(const Error& error, ReportEntry& entry) {
  entry.status = EntryStatus::kStopped;
  entry.byError = true;
  entry.note = error.message;
  failed_ = true;
  report_.summary.stopMessage = error.message;
  observer_.Failed(error);
}

void SavingRun::NoteUnreadFolder(ReportEntry& entry, std::uint32_t folder) {
  const auto runs = unreadFolders_.find(folder);
  if (runs == unreadFolders_.end()) return;
  for (const SectorRun& run : runs->second) {
    entry.unreadable.push_back(run);
    report_.summary.unreadableSectors += run.count;
  }
  entry.status = EntryStatus::kDamaged;
  if (folder != 0) ++report_.summary.damagedFolders;
  std::string note;
  if (folder == 0) {
    note =
        "sectors the Extensive search needed could not be read: the folders and files they "
        "held are unknown";
  } else {
    note = "blocks of this folder could not be read: its contents are unknown";
    if (!tree_.Findings().extensive) note += "; an Extensive search (--extensive) may find more";
  }
  entry.note = entry.note.empty() ? note : fmt::format("{}; {}", entry.note, note);
}

void SavingRun::AddRootFindings(bool everything) {
  // The root's own blocks matter when everything is saved; the table sectors
  // the sweep could not read, always. Both stand for the destination itself.
  std::vector<std::uint32_t> folders{0};
  if (everything) folders.insert(folders.begin(), kRootInode);
  for (const std::uint32_t folder : folders) {
    ReportEntry entry;
    entry.type = EntryType::kFolder;
    entry.inode = folder;
    entry.path = ".";
    NoteUnreadFolder(entry, folder);
    if (entry.status == EntryStatus::kDamaged) {
      Record(std::move(entry));
    }
  }
}

void SavingRun::ShowFile(const Frame& frame, std::string_view name) {
  observer_.EntryStarted(frame.hostPath.empty() ? "/" : frame.hostPath, name, filesDone_ + 1,
                         filesTotal_);
}

void SavingRun::ShowProgress(std::string_view path) {
  const std::uint64_t scale = std::max<std::uint64_t>(bytesTotal_, 1);
  const int position =
      bytesTotal_ == 0
          ? static_cast<int>(filesDone_ * 100 / std::max<std::uint64_t>(filesTotal_, 1))
          : static_cast<int>(std::min<std::uint64_t>(bytesDone_, scale) * 100 / scale);
  if (position != lastProgress_) {
    observer_.Progress(position);
    lastProgress_ = position;
  }
  observer_.Counted({filesDone_, filesTotal_, bytesDone_, bytesTotal_, path});
}

void SavingRun::FinishEntry(ReportEntry entry, std::uint64_t fileSize, std::uint64_t bytes,
                            bool counted) {
  FlushDeferred();
  if (!counted) CountDone(fileSize);
  entry.bytesWritten = bytes;
  report_.summary.bytes += bytes;
  for (const SectorRun& run : entry.unreadable) report_.summary.unreadableSectors += run.count;
  switch (entry.status) {
    case EntryStatus::kComplete:
      ++report_.summary.files;
      break;
    case EntryStatus::kDamaged:
      ++report_.summary.files;
      ++report_.summary.damagedFiles;
      break;
    case EntryStatus::kSkipped:
      ++report_.summary.skipped;
      if (entry.byError) ++report_.summary.skippedByError;
      break;
    case EntryStatus::kStopped:
      break;
  }
  ShowProgress(entry.path);
  Record(std::move(entry));
}

void SavingRun::Record(ReportEntry entry) {
  FlushDeferred();
  observer_.EntryReported(entry);
  report_.entries.push_back(entry);
}

bool SavingRun::Pooled(const Frame& frame, EntryType type, std::uint64_t size) const {
  // Only in folders this run made: there the name is known before the file
  // is placed. A skip request is left to the file written here next.
  return type == EntryType::kFile && frame.createdByRun && size <= kPooledFileBytes &&
         control_.skipFileRequested.load(std::memory_order_relaxed) == 0;
}

void SavingRun::NoteReaderFindings(CopiedFile& file, std::uint64_t readSize,
                                   bool inodeUnreadable) const {
  const FileDataReader& reader = reader_;
  ReportEntry& entry = file.entry;
  for (const SectorRun& run : reader.UnreadableSectors()) entry.unreadable.push_back(run);
  entry.blocksOutsideVolume = reader.BlocksOutsideVolume();
  file.damaged = file.damaged || reader.Damaged() || inodeUnreadable;
  if (entry.blocksOutsideVolume != 0) {
    file.notes.push_back(fmt::format("{} blocks point outside the volume and were written as zeros",
                                     entry.blocksOutsideVolume));
  }
  if (!reader.UnreadableSectors().empty()) {
    file.notes.push_back("unreadable sectors written as zeros");
  }
  if (reader.SizePastBlocks()) {
    file.notes.push_back(fmt::format(
        "its size of {} bytes runs past its last block; copied the {} bytes its blocks hold",
        readSize, reader.CopyLength()));
  }
  if (inodeUnreadable) file.notes.push_back("its inode could not be read");
}

void SavingRun::RecordPlaced(Frame& frame, CopiedFile file,
                             std::expected<std::optional<std::string>, Error> placed, bool hashed,
                             std::optional<ContentDigests> digests) {
  ReportEntry& entry = file.entry;
  if (!placed) {
    StopOrSkip(placed.error(), entry);
    FinishEntry(std::move(entry), file.fileSize, 0);
    return;
  }
  if (!placed->has_value()) {
    entry.status = EntryStatus::kSkipped;
    entry.note = "a file of that name exists";
    FinishEntry(std::move(entry), file.fileSize, 0);
    return;
  }
  frame.namesThisRun.insert(**placed);
  if (**placed != file.hostName) entry.path = JoinPath(frame.hostPath, **placed);
  RecordWritten(std::move(file), **placed, hashed, std::move(digests), false);
}

void SavingRun::RecordWritten(CopiedFile file, const std::string& placedName, bool hashed,
                              std::optional<ContentDigests> digests, bool counted) {
  ReportEntry& entry = file.entry;
  if (hashed) {
    // A kernel-copied run that could not be read back leaves the digests
    // out rather than wrong.
    if (digests) {
      entry.sha256 = std::move(digests->sha256);
      entry.md5 = std::move(digests->md5);
    } else {
      file.notes.push_back("its digests are not given: the image could not be read back for them");
    }
  }
  if (placedName != file.hostName) {
    file.notes.push_back(file.sameNameOnDisk
                             ? fmt::format("written as \"{}\": an entry of the same folder on the "
                                           "disk has its name",
                                           placedName)
                             : fmt::format("written as \"{}\"", placedName));
  }
  entry.status = file.damaged || file.brokenLink ? EntryStatus::kDamaged : EntryStatus::kComplete;
  for (std::size_t i = 0; i < file.notes.size(); ++i) {
    entry.note += (i == 0 ? "" : "; ") + file.notes[i];
  }
  FinishEntry(std::move(entry), file.fileSize, file.copied, counted);
}

void SavingRun::FlushDeferred() {
  // The entry being recorded is the oldest of them: the rest come after it.
  if (recordingDeferred_) return;
  while (!deferred_.empty()) FlushOldestDeferred();
}

void SavingRun::FlushOldestDeferred() {
  DeferredFile done = std::move(deferred_.front());
  deferred_.pop_front();
  std::optional<ContentDigests> digests = digestQueue_.Take(done.ticket);
  recordingDeferred_ = true;
  RecordWritten(std::move(done.file), done.placedName, true, std::move(digests), true);
  recordingDeferred_ = false;
}

void SavingRun::WritePooled(Frame& frame, const FileNode& file, const Inode& inode,
                            CopiedFile copiedFile, bool inodeUnreadable) {
  const DuplicatePolicy policy =
      copiedFile.sameNameOnDisk ? DuplicatePolicy::kRename : settings_.duplicatePolicy;
  // In a folder of this run's own there is always a name.
  std::string target = TargetName(frame, copiedFile.hostName, policy, copiedFile.sameNameOnDisk)
                           .value_or(copiedFile.hostName);
  // Taken now: the files after this one must not be given it while it is
  // being written.
  frame.namesThisRun.insert(target);

  auto job = std::make_unique<HostFileJob>();
  if (!spareBuffers_.empty()) {
    job->bytes = std::move(spareBuffers_.back());
    spareBuffers_.pop_back();
    spareBytes_ -= job->bytes.capacity();
    job->bytes.clear();
  }
  FileDataReader& reader = reader_;
  reader.Start(inode, file.size);
  job->bytes.reserve(file.size);
  std::uint64_t copied = 0;
  while (true) {
    // From a plain image file, each run of data is read straight into the
    // file's buffer in one call; what does not read goes the ordinary way.
    if (kernelCopy_) {
      const std::uint64_t at = reader.Position();
      if (const auto run = reader.NextDataRun(kKernelCopySectors)) {
        const auto backing = drives_.FileBacking(run->firstSector, run->sectors);
        const std::size_t start = job->bytes.size();
        if (backing && !backing->device) {
          job->bytes.resize(start + run->bytes);
          if (ReadWholeAt(backing->fd, backing->offset, std::span(job->bytes).subspan(start))) {
            copied += run->bytes;
            continue;
          }
          job->bytes.resize(start);
        }
        reader.Seek(at);
      }
    }
    const std::span<const std::byte> piece = reader.Next();
    if (piece.empty()) break;
    if (reader.LastPieceUnread()) {
      job->holes.emplace_back(copied, piece.size());
    } else {
      job->bytes.insert(job->bytes.end(), piece.begin(), piece.end());
    }
    copied += piece.size();
  }
  copiedFile.copied = copied;
  NoteReaderFindings(copiedFile, file.size, inodeUnreadable);

  job->folder = &frame.handle;
  job->displayPath = JoinPath(options_.destination, copiedFile.entry.path);
  job->name = std::move(target);
  job->size = copied;
  job->mtime = HostTime(file.time);
  job->policy = policy;
  job->syncToMedium = options_.syncEachFile;
  job->hash = options_.fileDigests;
  if (!pool_) {
    pool_ = std::make_unique<HostWritePool>(kWriterThreads, kMostPooledFiles, kMostPooledBytes);
  }
  // A full pool is emptied to half: this thread then reads on while the
  // writers take many jobs at once, rather than the two taking turns a job
  // at a time.
  if (pool_->Full(job->bytes.size())) {
    do CollectOne(frame);
    while (pool_->OverHalfFull());
  }
  while (pool_->Full(job->bytes.size())) CollectOne(frame);
  pool_->Submit(std::move(job));
  inFlight_.push_back(std::move(copiedFile));
}

void SavingRun::CollectOne(Frame& frame) {
  if (inFlight_.empty()) return;
  std::unique_ptr<HostFileJob> job = pool_->CollectOldest();
  if (spareBuffers_.size() < kMostPooledFiles &&
      spareBytes_ + job->bytes.capacity() <= kMostPooledBytes) {
    spareBytes_ += job->bytes.capacity();
    spareBuffers_.push_back(std::move(job->bytes));
  }
  CopiedFile file = std::move(inFlight_.front());
  inFlight_.pop_front();
  // After a failure that ended the run, later files that failed too are
  // not reached; those that were written are reported as written.
  if (failed_ && !job->placed) return;
  ShowFile(frame, file.hostName);
  std::optional<ContentDigests> digests;
  if (job->placed && job->placed->has_value()) digests = std::move(job->digests);
  RecordPlaced(frame, std::move(file), std::move(job->placed), job->hash, std::move(digests));
}

void SavingRun::CollectAll(Frame& frame) {
  while (!inFlight_.empty()) CollectOne(frame);
}

void SavingRun::WriteOneFile(Frame& frame, const FileNode& file) {
  CopiedFile copiedFile;
  ReportEntry& entry = copiedFile.entry;
  entry.rawPath = frame.rawPath;
  entry.rawPath.push_back(file.name);
  entry.inode = file.inode;
  entry.size = file.size;
  entry.timeUnreadable = !HostTime(file.time).has_value();
  copiedFile.hostName = HostNameFor(frame, file.name);
  copiedFile.fileSize = file.size;
  const std::string& hostName = copiedFile.hostName;
  entry.path = JoinPath(frame.hostPath, hostName);

  const Inode inode = ReadInodeRecord(drives_, volume_, file.inode, &inodeSectors_);
  const InodeLocation where = LocateInode(volume_.fsType, std::max<std::uint32_t>(file.inode, 1));
  const std::uint64_t inodeSector = std::uint64_t{volume_.inodeTableSector} + where.sectorOffset;
  const bool inodeUnreadable = drives_.BadSectors().Contains(inodeSector);
  if (inodeUnreadable) entry.unreadable.push_back({inodeSector, 1});
  if (!inodeUnreadable && file.inode != 0) entry.facts = FactsOf(inode);
  entry.type = TypeOfMode(inode.mode);
  copiedFile.sameNameOnDisk = frame.namesThisRun.contains(hostName);
  const bool sameNameOnDisk = copiedFile.sameNameOnDisk;

  if (Pooled(frame, entry.type, file.size)) {
    WritePooled(frame, file, inode, std::move(copiedFile), inodeUnreadable);
    return;
  }
  // The files before this one are reported before it starts.
  CollectAll(frame);
  if (Ending()) return;  // one of them ended the run
  ShowFile(frame, hostName);

  auto finish = [&](std::uint64_t bytes) { FinishEntry(std::move(entry), file.size, bytes); };

  if (entry.type == EntryType::kCharDevice || entry.type == EntryType::kBlockDevice ||
      entry.type == EntryType::kPipe || entry.type == EntryType::kSocket) {
    entry.status = EntryStatus::kSkipped;
    entry.note = fmt::format("{} not created", EntryTypeName(entry.type));
    finish(0);
    return;
  }

  const DuplicatePolicy policy =
      sameNameOnDisk ? DuplicatePolicy::kRename : settings_.duplicatePolicy;
  const std::optional<std::string> target = TargetName(frame, hostName, policy, sameNameOnDisk);
  if (!target) {
    entry.status = EntryStatus::kSkipped;
    entry.note = "a file of that name exists";
    finish(0);
    return;
  }

  std::uint64_t readSize = file.size;
  bool linkTooLong = false;
  if (entry.type == EntryType::kSymlink && readSize > kMaxLinkTarget) {
    readSize = kMaxLinkTarget;
    linkTooLong = true;
  }
  FileDataReader& reader = reader_;
  reader.Start(inode, readSize);
  const bool hashing = options_.fileDigests;
  FileDigester& digester = digester_;
  if (hashing) digester.Start(readSize);
  std::optional<PendingFile> pending;
  std::string linkTarget;
  if (entry.type == EntryType::kFile) {
    auto created = PendingFile::Create(frame.handle, JoinPath(options_.destination, entry.path));
    if (!created) {
      StopOrSkip(created.error(), entry);
      finish(0);
      return;
    }
    pending.emplace(std::move(*created));
  }

  // Copy, one run of sectors at a time, looking at the buttons between reads.
  std::uint64_t copied = 0;
  while (true) {
    if (StopRequested()) {
      stopped_ = true;
      entry.status = EntryStatus::kStopped;
      entry.note = "the run was stopped while it was written";
      if (pending) pending->Abandon();
      finish(0);
      return;
    }
    if (TakeSkipRequest()) {
      entry.status = EntryStatus::kSkipped;
      entry.note = "skipped by the user";
      if (pending) pending->Abandon();
      finish(0);
      return;
    }
    if (pending && kernelCopy_) {
      const std::uint64_t at = reader.Position();
      if (const auto run = reader.NextDataRun(kKernelCopySectors)) {
        const auto backing = drives_.FileBacking(run->firstSector, run->sectors);
        auto moved = backing ? pending->CopyFromFile(backing->fd, backing->offset, run->bytes,
                                                     kernelCopyMode_)
                             : std::expected<bool, Error>{false};
        // The kernel's copy never passes through here: the digests are fed
        // from the same bytes of the image file, which that copy has just
        // brought into the page cache.
        if (hashing && moved && *moved)
          digester.UpdateFromFile(backing->fd, backing->offset, run->bytes);
        if (!moved) {
          pending->Abandon();
          StopWith(moved.error(), entry);
          finish(0);
          return;
        }
        if (*moved) {
          copied += run->bytes;
          observer_.Counted(
              {filesDone_, filesTotal_, bytesDone_ + copied, bytesTotal_, entry.path});
          continue;
        }
        // Refused, or a read failed: the run is read and written the
        // ordinary way, which retries and notes what does not read.
        reader.Seek(at);
        if (!kernelCopyMode_.Any()) kernelCopy_ = false;
      }
    }
    const std::span<const std::byte> piece = reader.Next();
    if (piece.empty()) break;
    if (pending) {
      const bool hole = reader.LastPieceUnread();
      auto written = hole ? pending->WriteHole(piece.size()) : pending->Write(piece);
      if (hashing && hole) {
        digester.UpdateZeros(piece.size());
      } else if (hashing) {
        digester.Update(piece);
      }
      if (!written) {
        pending->Abandon();
        StopOrSkip(written.error(), entry);
        finish(0);
        return;
      }
    } else {
      linkTarget.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    }
    copied += piece.size();
    observer_.Counted({filesDone_, filesTotal_, bytesDone_ + copied, bytesTotal_, entry.path});
  }

  copiedFile.copied = copied;
  copiedFile.damaged = linkTooLong;
  NoteReaderFindings(copiedFile, readSize, inodeUnreadable);

  std::expected<std::optional<std::string>, Error> placed;
  if (pending) {
    placed = pending->Commit(*target, copied, HostTime(file.time), policy, options_.syncEachFile);
  } else {
    if (linkTooLong) copiedFile.notes.push_back("the stored link target is too long and was cut");
    const std::size_t nul = linkTarget.find('\0');
    if (nul != std::string::npos) {
      linkTarget.resize(nul);
      copiedFile.notes.push_back("the stored link target holds a NUL byte and was cut there");
    }
    placed = MakeSymlink(frame.handle, *target, linkTarget, HostTime(file.time), policy,
                         JoinPath(options_.destination, entry.path));
    copiedFile.brokenLink = linkTarget.size() != copied;
  }
  if (hashing && pending && placed && placed->has_value() && digester.OffThread()) {
    // In place: the entry waits for its digests while the next files are
    // copied, and is recorded before anything that comes after it.
    if (deferred_.size() >= kMostDeferredFiles) FlushOldestDeferred();
    CountDone(file.size);
    frame.namesThisRun.insert(**placed);
    if (**placed != copiedFile.hostName) entry.path = JoinPath(frame.hostPath, **placed);
    deferred_.push_back(
        DeferredFile{std::move(copiedFile), std::move(**placed), digester.Detach()});
    return;
  }
  std::optional<ContentDigests> digests;
  if (hashing && pending && placed && placed->has_value()) digests = digester.Finish();
  RecordPlaced(frame, std::move(copiedFile), std::move(placed), hashing && pending.has_value(),
               std::move(digests));
}

std::optional<std::string> SavingRun::TargetName(Frame& frame, const std::string& hostName,
                                                 DuplicatePolicy policy, bool sameNameOnDisk) {
  if (frame.createdByRun && !sameNameOnDisk) return hostName;
  // Numbers are remembered only for names met twice: most names never are.
  const auto known = frame.nextDuplicate.find(hostName);
  unsigned next = known == frame.nextDuplicate.end() ? 1 : known->second;
  std::optional<std::string> target;
  if (!frame.createdByRun) {
    target = ChooseName(frame.handle, hostName, policy, &next);
  } else {
    // Only this run's own names are here: no need to ask the host.
    for (;; ++next) {
      std::string candidate = DuplicateName(hostName, next);
      if (!frame.namesThisRun.contains(candidate)) {
        ++next;
        target = std::move(candidate);
        break;
      }
    }
  }
  if (next != 1) frame.nextDuplicate.insert_or_assign(hostName, next);
  return target;
}

void SavingRun::WriteFiles(Frame& frame) {
  for (const std::uint32_t index : frame.files) {
    if (StopRequested()) stopped_ = true;
    if (Ending()) break;
    WriteOneFile(frame, tree_.Files()[index]);
  }
  // Nothing is left in the writers' hands when the run moves to another
  // folder: the folder's time is set after its last file, and its handle
  // may be closed.
  CollectAll(frame);
  FlushDeferred();
}

Frame SavingRun::MakeChildFrame(const FolderNode& folder, const Frame& parent, FolderHandle handle,
                                FolderIdentity identity, std::string hostName) {
  Frame frame;
  frame.handle = std::move(handle);
  frame.identity = identity;
  frame.hostPath = JoinPath(parent.hostPath, hostName);
  frame.rawPath = parent.rawPath;
  frame.rawPath.push_back(folder.name);
  frame.inode = folder.inode;
  frame.mtime = HostTime(folder.time);
  frame.files = ChildFilesOf(folder.inode);
  frame.folders = ChildFoldersOf(folder.inode);
  return frame;
}

std::optional<Frame> SavingRun::EnterFolder(Frame& parent, const FolderNode& folder) {
  ReportEntry entry;
  entry.type = EntryType::kFolder;
  entry.inode = folder.inode;
  entry.timeUnreadable = !HostTime(folder.time).has_value();
  entry.rawPath = parent.rawPath;
  entry.rawPath.push_back(folder.name);
  const std::string wanted = HostNameFor(parent, folder.name);
  entry.path = JoinPath(parent.hostPath, wanted);
  const std::string display = JoinPath(options_.destination, entry.path);
  if (folder.inode >= 1 && folder.inode <= volume_.inodeCount) {
    const Inode inode = ReadInodeRecord(drives_, volume_, folder.inode, &inodeSectors_);
    const InodeLocation where = LocateInode(volume_.fsType, folder.inode);
    if (!drives_.BadSectors().Contains(volume_.inodeTableSector + where.sectorOffset)) {
      entry.facts = FactsOf(inode);
    }
  }

  auto skipped = [&](std::string note, bool byError) -> std::optional<Frame> {
    entry.status = EntryStatus::kSkipped;
    entry.note = std::move(note);
    entry.byError = byError;
    ++report_.summary.skipped;
    if (byError) ++report_.summary.skippedByError;
    Record(std::move(entry));
    return std::nullopt;
  };
  auto failed = [&](const Error& error) -> std::optional<Frame> {
    if (StopsTheRun(error)) {
      StopWith(error, entry);
      Record(std::move(entry));
      return std::nullopt;
    }
    return skipped(error.message, true);
  };

  std::string name = wanted;
  unsigned& next = parent.nextDuplicate.try_emplace(wanted, 1).first->second;
  for (unsigned attempt = 1;; ++attempt) {
    auto opened = MakeOrOpenFolder(parent.handle, name, display);
    std::optional<FolderIdentity> identity;
    if (opened) identity = IdentityOf(opened->handle);
    const bool fromThisRun = parent.namesThisRun.contains(name) ||
                             (opened && identity &&
                              std::find(createdThisRun_.begin(), createdThisRun_.end(),
                                        *identity) != createdThisRun_.end());
    // Usable: a new folder, or one that was there before the run (merged
    // into). A name this run gave to another entry of the disk goes to
    // neither: the folder takes a new name.
    if (opened && identity && (!opened->existing || !fromThisRun)) {
      if (!opened->existing) createdThisRun_.push_back(*identity);
      parent.namesThisRun.insert(name);
      if (name != wanted) {
        entry.path = JoinPath(parent.hostPath, name);
        entry.note = fmt::format("written as \"{}\": the name was taken", name);
      }
      if (opened->existing) {
        entry.note = "merged with the folder that was there";
        RemoveLeftovers(opened->handle, JoinPath(parent.hostPath, name));
      }
      NoteUnreadFolder(entry, folder.inode);
      Frame frame = MakeChildFrame(folder, parent, std::move(opened->handle), *identity, name);
      frame.createdByRun = !opened->existing;
      FlushDeferred();  // the entries before it are in place: its index holds
      frame.entryIndex = report_.entries.size();
      ++report_.summary.folders;
      Record(std::move(entry));
      return frame;
    }
    if (!opened && LookUpName(parent.handle, name) != NameState::kOther) {
      return failed(opened.error());
    }
    // The name is held by a file or a link, or by a folder this run made for
    // another folder of the disk: the folder takes a new name whatever the
    // policy, which is about files; its contents are never dropped.
    if (attempt > 100000) return skipped("no free name for the folder", true);
    name = DuplicateName(wanted, next++);
  }
}

void SavingRun::LeaveFolder(std::vector<Frame>& stack) {
  Frame& done = stack.back();
  if (done.mtime && done.handle.IsOpen()) {
    (void)SetFolderTime(done.handle, *done.mtime, JoinPath(options_.destination, done.hostPath));
  }
  if (stack.size() >= 2) {
    Frame& parent = stack[stack.size() - 2];
    if (!parent.handle.IsOpen() && done.handle.IsOpen()) {
      auto reopened = OpenFolderAt(done.handle, "..", parent.hostPath);
      const auto identity = reopened ? IdentityOf(*reopened) : std::nullopt;
      if (identity && *identity == parent.identity) {
        parent.handle = std::move(*reopened);
      } else {
        // Someone moved the folder away while the run wrote into it.
        const Error moved{
            ErrorCode::kIoError,
            fmt::format("The folder \"{}\" was moved while files were written into it",
                        JoinPath(options_.destination, parent.hostPath)),
            std::nullopt};
        report_.entries.Amend(parent.entryIndex,
                              [&](ReportEntry& entry) { StopWith(moved, entry); });
      }
    }
  }
  stack.pop_back();
}

SavingResult SavingRun::Run(FolderHandle root, const Selection& selection) {
  report_.toolVersion = std::string(project::kVersion);
  report_.commandLine = options_.commandLine;
  report_.started = IsoUtc(std::time(nullptr));
  ReportSource& source = report_.source;
  source.path = options_.sourcePath;
  const DriveInfo& drive = drives_.Current();
  source.sizeBytes = drive.totalSectors * kSectorSize;
  source.model = drive.model;
  if (source.path.empty()) source.path = drive.devicePath;
  source.mapfile = options_.mapfile;
  source.volumeType = std::string(FsTypeName(volume_.fsType));
  source.volumeStart = volume_.startSector;
  source.volumeSectors = volume_.sizeSectors;
  ReportSettings& used = report_.settings;
  used.mode = options_.mode == RecoveryMode::kExtensive ? "extensive" : "normal";
  used.sectorsPerRead = settings_.sectorsPerRead;
  used.retries = settings_.badSectorRetries;
  used.duplicates = std::string(DuplicatePolicyName(settings_.duplicatePolicy));
  used.syncEachFile = options_.syncEachFile;
  used.hashSource = static_cast<bool>(options_.sourceHash);
  used.fileDigests = options_.fileDigests;
  report_.volume = options_.volumeName;
  report_.volumeWarnings = options_.volumeWarnings;
  report_.destination = options_.destination;

  std::vector<Frame> stack;
  {
    Frame top;
    top.isRoot = true;
    top.identity = IdentityOf(root).value_or(FolderIdentity{});
    top.handle = std::move(root);
    if (selection.everything) {
      top.files = ChildFilesOf(kRootInode);
      top.folders = ChildFoldersOf(kRootInode);
    } else {
      for (const std::uint32_t id : selection.fileIds) {
        const FileNode* file = tree_.FindFileById(id);
        if (file != nullptr)
          top.files.push_back(static_cast<std::uint32_t>(file - tree_.Files().data()));
      }
      for (const std::uint32_t inode : selection.folderInodes) {
        const FolderNode* folder = tree_.FindFolder(inode);
        if (folder != nullptr) {
          top.folders.push_back(static_cast<std::uint32_t>(folder - tree_.Folders().data()));
        }
      }
    }
    CountSelection(top);
    RemoveLeftovers(top.handle, "");
    AddRootFindings(selection.everything);
    stack.push_back(std::move(top));
  }
  ReserveReportRoom();
  observer_.Progress(0);
  lastProgress_ = 0;

  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (!frame.filesDone) {
      frame.filesDone = true;
      WriteFiles(frame);
    }
    if (Ending() || StopRequested()) {
      stopped_ = stopped_ || StopRequested();
      LeaveFolder(stack);
      continue;
    }
    if (frame.nextFolder >= frame.folders.size()) {
      LeaveFolder(stack);
      continue;
    }
    const FolderNode& folder = tree_.Folders()[frame.folders[frame.nextFolder++]];
    if (!visited_.insert(folder.inode).second) continue;
    std::optional<Frame> child = EnterFolder(frame, folder);
    if (!child) continue;
    // Deep folders give up their handle while a sub-folder is written.
    if (stack.size() > kOpenDepth && !frame.isRoot) frame.handle.Close();
    stack.push_back(std::move(*child));
  }

  FlushDeferred();
  RunSummary& summary = report_.summary;
  summary.stoppedByUser = stopped_;
  if (Ending()) summary.notReached = filesTotal_ - std::min(filesTotal_, filesDone_);
  if (lastProgress_ != 100 && !Ending()) observer_.Progress(100);

  return SavingResult{std::move(report_), {}};
}

}  // namespace

std::expected<SavingResult, Error> RunSaving(DriveTable& drives, const VolumeInfo& volume,
                                             const FileTree& tree, const Selection& selection,
                                             const RecoverySettings& settings, SaveControl& control,
                                             SavingObserver& observer,
                                             const SavingOptions& options) {
  struct CloseAtEnd {
    SaveControl& control;
    ~CloseAtEnd() { control.closeSavingRequested.store(1, std::memory_order_relaxed); }
  } closeAtEnd{control};

  auto root = OpenDestination(options.destination, options.sourcePath, options.sysfsRoot);
  if (!root) {
    observer.Failed(root.error());
    return std::unexpected(root.error());
  }
  // A second handle for the report: the run hands its own down the tree.
  auto reportFolder = OpenFolderAt(*root, ".", options.destination);

  SavingRun run(drives, volume, tree, ClampSettings(settings), control, observer, options);
  if (options.writeReport && reportFolder) run.ReserveReportRoomIn(*reportFolder);
  SavingResult result = run.Run(std::move(*root), selection);
  run.ReleaseReportRoom();
  if (options.sourceHash) {
    auto hash = options.sourceHash();
    if (hash) {
      result.report.source.sha256 = std::move(*hash);
    } else {
      result.report.source.sha256Problem = hash.error().message;
    }
  }
  result.report.finished = IsoUtc(std::time(nullptr));

  if (options.writeReport) {
    if (!reportFolder) {
      result.reportProblem = reportFolder.error().message;
    } else {
      const std::string jsonPath = fmt::format("{}/{}", options.destination, kReportJsonName);
      const std::string textPath = fmt::format("{}/{}", options.destination, kReportTextName);
      auto json = WriteWholeFileFrom(
          *reportFolder, std::string(kReportJsonName),
          [&](const TextSink& sink) { WriteReportJson(result.report, sink); }, jsonPath);
      auto text =
          json ? WriteWholeFileFrom(
                     *reportFolder, std::string(kReportTextName),
                     [&](const TextSink& sink) { WriteReportText(result.report, sink); }, textPath)
               : json;
      if (!text) {
        result.reportProblem = text.error().message;
        observer.Failed(text.error());
      }
    }
  }
  return result;
}

}  // namespace tolvar
