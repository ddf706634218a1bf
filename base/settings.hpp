#pragma once

#include <cstdint>

namespace tolvar {

// The disk route, chosen once when the drives are enumerated.
enum class DiskRoute { kNtFamily, kLegacyBios };

// How a volume is mounted: by walking its folders from the root (Normal) or
// by examining every inode for a directory (Extensive).
enum class RecoveryMode : std::uint16_t { kNormal = 1, kExtensive = 2 };

enum class DuplicatePolicy : std::uint16_t { kRename = 1, kOverwrite = 2, kSkip = 3 };
enum class DeletedPolicy : std::uint16_t { kInclude = 1, kOnlyDeleted = 2, kExclude = 3 };

struct RecoverySettings {
  static constexpr std::uint32_t kMaxSectorsPerRead = 100;
  static constexpr std::uint16_t kMaxRetries = 10;

  std::uint32_t sectorsPerRead = 60;  // 1 to 100
  DuplicatePolicy duplicatePolicy = DuplicatePolicy::kSkip;
  DeletedPolicy deletedPolicy = DeletedPolicy::kInclude;
  std::uint16_t badSectorRetries = 3;  // 1 to 10

  [[nodiscard]] static RecoverySettings DefaultsFor(DiskRoute route) {
    RecoverySettings settings;
    settings.sectorsPerRead = route == DiskRoute::kLegacyBios ? 8 : 60;
    return settings;
  }
};

}  // namespace tolvar
