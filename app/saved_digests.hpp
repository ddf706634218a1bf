#pragma once

// The digests of the files saved in this session, so that Properties can
// show them for a file already written somewhere.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "disk/drive_table.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

struct FileDigests {
  std::string sha256;  // hex
  std::string md5;     // hex
};

// The same digests as bytes: a third of the hex, kept for every file saved.
struct PackedDigests {
  std::array<std::uint8_t, 32> sha256{};
  std::array<std::uint8_t, 16> md5{};

  // Nothing unless both are lower- or upper-case hex of their full length.
  [[nodiscard]] static std::optional<PackedDigests> FromHex(const FileDigests& digests);
  [[nodiscard]] FileDigests Hex() const;
};

// One file a saving run wrote, with the digests of the bytes written.
struct WrittenFileDigests {
  std::string path;  // on the host, relative to the destination
  std::uint32_t inode = 0;
  FileDigests digests;
};

// The files a saving run wrote with their digests: how many, the first few
// with their paths for the summary, and every one's digests packed for
// Properties, so that a run of a million files keeps a few bytes for each.
struct WrittenFiles {
  static constexpr std::size_t kListed = 500;

  void Add(const std::string& path, std::uint32_t inode, const FileDigests& digests);

  std::uint64_t count = 0;
  std::vector<WrittenFileDigests> listed;                        // the first kListed
  std::vector<std::pair<std::uint32_t, PackedDigests>> byInode;  // every one
};

// Keyed by the volume (its drive's path and start sector) and the inode:
// inode numbers repeat between volumes, and the session may mount several.
class SavedDigests {
 public:
  [[nodiscard]] static std::string VolumeKey(const DriveInfo& drive, const VolumeInfo& volume) {
    return drive.devicePath + '\n' + std::to_string(volume.startSector);
  }
  // A later saving of the same file replaces the earlier digests.
  void Record(const std::string& volumeKey, std::uint32_t inode, const PackedDigests& digests) {
    byVolume_[volumeKey].insert_or_assign(inode, digests);
  }
  [[nodiscard]] std::optional<FileDigests> Find(const std::string& volumeKey,
                                                std::uint32_t inode) const {
    const auto volume = byVolume_.find(volumeKey);
    if (volume == byVolume_.end()) return std::nullopt;
    const auto found = volume->second.find(inode);
    if (found == volume->second.end()) return std::nullopt;
    return found->second.Hex();
  }

 private:
  std::map<std::string, std::unordered_map<std::uint32_t, PackedDigests>> byVolume_;
};

}  // namespace tolvar
