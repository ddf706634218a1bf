#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace tolvar {

// The call contract of the two legacy BIOS disk libraries. Every call passes
// numbers and addresses only.
class LegacyBiosLibrary {
 public:
  virtual ~LegacyBiosLibrary() = default;
  virtual void FindHardDisk(std::uint16_t* count) = 0;
  virtual std::int32_t CheckInt13Extension(std::int32_t biosDrive) = 0;
  virtual void GetDriveGeometry(std::int32_t biosDrive, std::uint32_t* cylinders,
                                std::uint32_t* heads, std::uint32_t* sectorsPerTrack) = 0;
  virtual std::int32_t ReadDisk(std::int32_t biosDrive, std::uint32_t cylinder, std::uint32_t head,
                                std::uint32_t sectorInTrack, std::uint32_t count, void* buffer,
                                std::uint32_t lba, std::int32_t int13Extensions) = 0;
};

// Cylinder/head/sector for the legacy reads: a fixed 16 heads by 63 sectors.
struct ChsAddress {
  std::uint32_t cylinder;
  std::uint32_t head;
  std::uint32_t sector;
};
[[nodiscard]] constexpr ChsAddress LegacyChs(std::uint32_t lba) {
  return {lba / 1008, (lba / 63) % 16, lba % 63 + 1};
}

}  // namespace tolvar

namespace tolvar {

// One loaded shared library.
class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  // The address of an exported symbol, or nullptr when it is absent.
  [[nodiscard]] virtual void* Symbol(const char* name) const = 0;
};

// Loads shared libraries by path; the real one uses dlopen, tests fake it.
class SharedLibraryLoader {
 public:
  virtual ~SharedLibraryLoader() = default;
  // nullptr when the file is missing or is not a loadable library.
  [[nodiscard]] virtual std::unique_ptr<SharedLibrary> Load(const std::string& path) = 0;
};

// dlopen with RTLD_NOW | RTLD_LOCAL; the library is closed with its object.
[[nodiscard]] std::unique_ptr<SharedLibraryLoader> MakeDlopenLoader();

// The library files, loaded by these names from the library folder.
inline constexpr const char* kDisk32Name = "Disk32.dll";
inline constexpr const char* kDisk2Name = "disk2.dll";

// The export through which the loader hands image paths to a stand-in:
// int attach_images32(const char* const* paths, unsigned count) returns 0,
// or 1 + the index of the first image it could not open read-only. A count
// of 0 releases every image. A library without it ignores images.
inline constexpr const char* kAttachExport = "attach_images32";

// Loads the two legacy libraries by name from `libraryDir` (the project's
// stand-ins over image files unless real ones are put there) and resolves
// their exports in the fixed order. On failure the Error's message is the
// text the user must be shown ("Disk32.dll not found or corrupted", ...),
// after which the process ends. `images` are handed to a stand-in library
// that accepts them; a real library ignores them.
[[nodiscard]] std::expected<std::unique_ptr<LegacyBiosLibrary>, Error> LoadLegacyBiosLibraries(
    const std::string& libraryDir, const std::vector<std::string>& images);
// The same through any loader; the returned library keeps what it loaded.
[[nodiscard]] std::expected<std::unique_ptr<LegacyBiosLibrary>, Error> LoadLegacyBiosLibraries(
    SharedLibraryLoader& loader, const std::string& libraryDir,
    const std::vector<std::string>& images);

// Where the build puts the stand-in libraries.
[[nodiscard]] std::string DefaultLegacyLibraryDir();

}  // namespace tolvar
