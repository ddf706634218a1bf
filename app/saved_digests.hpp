#pragma once

// The digests of the files saved in this session, so that Properties can
// show them for a file already written somewhere.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "disk/drive_table.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

struct FileDigests {
  std::string sha256;  // hex
  std::string md5;     // hex
};

// One file a saving run wrote, with the digests of the bytes written.
struct WrittenFileDigests {
  std::string path;  // on the host, relative to the destination
  std::uint32_t inode = 0;
  FileDigests digests;
};

// Keyed by the volume (its drive's path and start sector) and the inode:
// inode numbers repeat between volumes, and the session may mount several.
class SavedDigests {
 public:
  [[nodiscard]] static std::string VolumeKey(const DriveInfo& drive, const VolumeInfo& volume) {
    return drive.devicePath + '\n' + std::to_string(volume.startSector);
  }
  // A later saving of the same file replaces the earlier digests.
  void Record(const std::string& volumeKey, std::uint32_t inode, FileDigests digests) {
    byFile_[{volumeKey, inode}] = std::move(digests);
  }
  [[nodiscard]] const FileDigests* Find(const std::string& volumeKey, std::uint32_t inode) const {
    const auto found = byFile_.find({volumeKey, inode});
    return found == byFile_.end() ? nullptr : &found->second;
  }

 private:
  std::map<std::pair<std::string, std::uint32_t>, FileDigests> byFile_;
};

}  // namespace tolvar
