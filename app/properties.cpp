#include "app/properties.hpp"

#include <fmt/format.h>

#include "fs/inode_reader.hpp"

namespace tolvar {

std::string ContentsText(const FolderTotals& totals) {
  const std::uint64_t subfolders = totals.folders == 0 ? 0 : totals.folders - 1;
  return fmt::format("{} File(s) and {} Folder(s)", totals.files, subfolders);
}

std::string FolderSizeText(const FolderTotals& totals) {
  const std::uint64_t megabytes = totals.bytes / 1024 / 1024;
  if (megabytes == 0) return "Less than 1 MB";
  return fmt::format("{} MB", megabytes);
}

std::string FileSizeText(std::uint64_t bytes) { return fmt::format("{} KB", bytes / 1024 + 1); }

std::array<CaptionedValue, 8> DriveInformationFields(const DriveInformation& info) {
  return {{
      {"Volume Name", info.volumeName},
      {"Volume Start", fmt::format("{}", info.volumeStart)},
      {"Volume Size", fmt::format("{}", info.volumeSize)},
      {"Block Size", fmt::format("{}", info.blockSize)},
      {"Super Block Start", fmt::format("{}", info.superBlockStart)},
      {"Total Files           ", fmt::format("{}", info.totalFiles)},
      {"Total Folders     ", fmt::format("{}", info.totalFolders)},
      {"Recovery Type", info.recoveryType},
  }};
}

std::optional<InodeFacts> ReadInodeFacts(DriveTable& drives, const VolumeInfo& volume,
                                         std::uint32_t inode) {
  if (inode < 1 || inode > volume.inodeCount) return std::nullopt;
  const InodeLocation where = LocateInode(volume.fsType, inode);
  const std::uint64_t sector = volume.inodeTableSector + where.sectorOffset;
  const Inode record = ReadInodeRecord(drives, volume, inode);
  // A sector that did not read comes back as zeros: words made up.
  if (drives.BadSectors().Contains(sector)) return std::nullopt;
  return FactsOf(record);
}

std::vector<CaptionedValue> EntryDetailFields(std::uint32_t inode,
                                              const std::optional<InodeFacts>& facts,
                                              const FileDigests* digests,
                                              std::string_view missing) {
  std::vector<CaptionedValue> fields;
  fields.push_back({"Inode", fmt::format("{}", inode)});
  if (facts) {
    auto time = [](std::int64_t seconds) { return IsoUtc(static_cast<std::time_t>(seconds)); };
    fields.push_back({"Mode", fmt::format("{} ({:o})", ModeText(facts->mode), facts->mode)});
    fields.push_back({"Owner (uid)", fmt::format("{}", facts->uid)});
    fields.push_back({"Group (gid)", fmt::format("{}", facts->gid)});
    fields.push_back({"Links", fmt::format("{}", facts->nlink)});
    fields.push_back({"Accessed", time(facts->atime)});
    fields.push_back({"Modified", time(facts->mtime)});
    fields.push_back({"Changed", time(facts->ctime)});
  } else {
    fields.push_back({"Mode", std::string(missing)});
    for (const std::string_view caption :
         {"Owner (uid)", "Group (gid)", "Links", "Accessed", "Modified", "Changed"}) {
      fields.push_back({caption, "-"});
    }
  }
  if (digests != nullptr) {
    fields.push_back({"SHA-256", digests->sha256});
    fields.push_back({"MD5", digests->md5});
  }
  return fields;
}

}  // namespace tolvar
