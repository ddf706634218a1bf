#include "disk/legacy_bios.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include "disk/trusted_path.hpp"

namespace tolvar {

namespace {

using FindHardDiskFn = void (*)(std::uint16_t*);
using CheckInt13Fn = std::int32_t (*)(std::int32_t);
using GeometryFn = void (*)(std::int32_t, std::uint32_t*, std::uint32_t*, std::uint32_t*);
using ReadDiskFn = std::int32_t (*)(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                    std::uint32_t, void*, std::uint32_t, std::int32_t);
using AttachFn = int (*)(const char* const*, unsigned);

class DlLibrary final : public SharedLibrary {
 public:
  explicit DlLibrary(void* handle) : handle_(handle) {}
  ~DlLibrary() override { ::dlclose(handle_); }
  DlLibrary(const DlLibrary&) = delete;
  DlLibrary& operator=(const DlLibrary&) = delete;

  void* Symbol(const char* name) const override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

class DlLoader final : public SharedLibraryLoader {
 public:
  std::unique_ptr<SharedLibrary> Load(const std::string& path) override {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    return std::make_unique<DlLibrary>(handle);
  }
};

template <typename Fn>
Fn Resolve(const SharedLibrary& library, const char* name) {
  return std::bit_cast<Fn>(library.Symbol(name));
}

std::unexpected<Error> LibraryError(const char* message) {
  return std::unexpected(Error{ErrorCode::kLibraryMissing, message, std::nullopt});
}

// The legacy calls through the resolved exports. The libraries stay loaded
// as long as this object lives.
class LoadedLegacyBios final : public LegacyBiosLibrary {
 public:
  LoadedLegacyBios(std::unique_ptr<SharedLibrary> disk32, std::unique_ptr<SharedLibrary> disk2,
                   FindHardDiskFn findHardDisk, CheckInt13Fn checkInt13, GeometryFn geometry,
                   ReadDiskFn readDisk)
      : disk32_(std::move(disk32)),
        disk2_(std::move(disk2)),
        findHardDisk_(findHardDisk),
        checkInt13_(checkInt13),
        geometry_(geometry),
        readDisk_(readDisk) {}

  ~LoadedLegacyBios() override {
    // Let a stand-in close its image files before it is unloaded.
    for (const auto* library : {disk32_.get(), disk2_.get()}) {
      if (auto attach = Resolve<AttachFn>(*library, kAttachExport)) attach(nullptr, 0);
    }
  }
  LoadedLegacyBios(const LoadedLegacyBios&) = delete;
  LoadedLegacyBios& operator=(const LoadedLegacyBios&) = delete;

  void FindHardDisk(std::uint16_t* count) override { findHardDisk_(count); }
  std::int32_t CheckInt13Extension(std::int32_t biosDrive) override {
    return checkInt13_(biosDrive);
  }
  void GetDriveGeometry(std::int32_t biosDrive, std::uint32_t* cylinders, std::uint32_t* heads,
                        std::uint32_t* sectorsPerTrack) override {
    geometry_(biosDrive, cylinders, heads, sectorsPerTrack);
  }
  std::int32_t ReadDisk(std::int32_t biosDrive, std::uint32_t cylinder, std::uint32_t head,
                        std::uint32_t sectorInTrack, std::uint32_t count, void* buffer,
                        std::uint32_t lba, std::int32_t int13Extensions) override {
    return readDisk_(biosDrive, cylinder, head, sectorInTrack, count, buffer, lba, int13Extensions);
  }

 private:
  std::unique_ptr<SharedLibrary> disk32_;
  std::unique_ptr<SharedLibrary> disk2_;
  FindHardDiskFn findHardDisk_;
  CheckInt13Fn checkInt13_;
  GeometryFn geometry_;
  ReadDiskFn readDisk_;
};

std::string LibraryPath(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Hands the image paths to a library that takes them.
std::expected<void, Error> Attach(const SharedLibrary& library,
                                  const std::vector<std::string>& images) {
  auto attach = Resolve<AttachFn>(library, kAttachExport);
  if (attach == nullptr) return {};
  std::vector<const char*> paths;
  paths.reserve(images.size());
  for (const auto& image : images) paths.push_back(image.c_str());
  const int failed = attach(paths.data(), static_cast<unsigned>(paths.size()));
  if (failed == 0) return {};
  const auto index = static_cast<std::size_t>(failed - 1);
  const std::string which = failed > 0 && index < images.size() ? images[index] : "an image";
  return std::unexpected(Error{ErrorCode::kNotReadable,
                               fmt::format("{}: cannot open for reading", which), std::nullopt});
}

}  // namespace

std::unique_ptr<SharedLibraryLoader> MakeDlopenLoader() { return std::make_unique<DlLoader>(); }

std::expected<std::unique_ptr<LegacyBiosLibrary>, Error> LoadLegacyBiosLibraries(
    SharedLibraryLoader& loader, const std::string& libraryDir,
    const std::vector<std::string>& images) {
  auto disk32 = loader.Load(LibraryPath(libraryDir, kDisk32Name));
  if (!disk32) return LibraryError("Disk32.dll not found or corrupted");
  auto readDisk = Resolve<ReadDiskFn>(*disk32, "ReadDisk32");
  auto checkInt13 = Resolve<CheckInt13Fn>(*disk32, "CheckInt13Extension32");
  if (readDisk == nullptr || checkInt13 == nullptr) return LibraryError("Disk32.dll is corrupted");

  auto disk2 = loader.Load(LibraryPath(libraryDir, kDisk2Name));
  if (!disk2) return LibraryError("Disk2.dll is corrupted or not found.");
  auto geometry = Resolve<GeometryFn>(*disk2, "get_drive_geometry32");
  if (geometry == nullptr) return LibraryError("Disk2.dll is corrupted");

  auto findHardDisk = Resolve<FindHardDiskFn>(*disk32, "find_hard_disk32");
  if (findHardDisk == nullptr) return LibraryError("Disk32.dll is corrupted");

  for (const auto* library : {disk32.get(), disk2.get()}) {
    if (auto attached = Attach(*library, images); !attached) {
      if (auto release = Resolve<AttachFn>(*disk32, kAttachExport)) release(nullptr, 0);
      if (auto release = Resolve<AttachFn>(*disk2, kAttachExport)) release(nullptr, 0);
      return std::unexpected(attached.error());
    }
  }
  return std::make_unique<LoadedLegacyBios>(std::move(disk32), std::move(disk2), findHardDisk,
                                            checkInt13, geometry, readDisk);
}

std::expected<std::unique_ptr<LegacyBiosLibrary>, Error> LoadLegacyBiosLibraries(
    const std::string& libraryDir, const std::vector<std::string>& images) {
  // Code is loaded only from where no other user could have put it; a
  // missing file is the loader's to report.
  for (const char* name : {kDisk32Name, kDisk2Name}) {
    auto trusted = CheckTrustedFile(LibraryPath(libraryDir, name));
    if (!trusted && trusted.error().code != ErrorCode::kNotFound) {
      return std::unexpected(trusted.error());
    }
  }
  auto loader = MakeDlopenLoader();
  return LoadLegacyBiosLibraries(*loader, libraryDir, images);
}

std::string DefaultLegacyLibraryDir() { return InstalledLegacyLibraryDir(); }

}  // namespace tolvar

namespace tolvar {

namespace {

// One BIOS drive read through the library.
class LegacyBiosSource final : public BlockDeviceSource {
 public:
  LegacyBiosSource(std::shared_ptr<LegacyBiosLibrary> library, std::int32_t biosDrive,
                   DeviceDescription description, std::int32_t int13Extensions)
      : library_(std::move(library)),
        biosDrive_(biosDrive),
        description_(std::move(description)),
        int13Extensions_(int13Extensions) {}

  DeviceDescription Describe() const override { return description_; }
  std::uint64_t LengthBytes() const override {
    const DeviceGeometry& g = description_.geometry;
    const std::uint32_t sectors = static_cast<std::uint32_t>(g.cylinders) * g.heads * g.sectorsPerTrack;
    return std::uint64_t{sectors} * kSectorSize;
  }
  std::expected<void, Error> ReadAt(std::uint64_t byteOffset, std::span<std::byte> out) override {
    // The library reads whole sectors at a 32-bit address.
    const auto lba = static_cast<std::uint32_t>(byteOffset / kSectorSize);
    const auto count = static_cast<std::uint32_t>(out.size() / kSectorSize);
    const ChsAddress chs = LegacyChs(lba);
    // The library returns non-zero on success.
    if (library_->ReadDisk(biosDrive_, chs.cylinder, chs.head, chs.sector, count, out.data(), lba,
                           int13Extensions_) != 0) {
      return {};
    }
    return std::unexpected(Error{ErrorCode::kIoError,
                                 fmt::format("BIOS drive {:#x}: sector {} did not read", biosDrive_,
                                             lba),
                                 lba});
  }

 private:
  std::shared_ptr<LegacyBiosLibrary> library_;
  std::int32_t biosDrive_;
  DeviceDescription description_;
  std::int32_t int13Extensions_;
};

class LegacyBiosProvider final : public DriveProvider {
 public:
  LegacyBiosProvider(std::unique_ptr<LegacyBiosLibrary> library, unsigned slotLimit)
      : library_(std::move(library)) {
    std::uint16_t count = 0;
    library_->FindHardDisk(&count);
    count_ = std::min<unsigned>(count, slotLimit);
  }

  unsigned ProbeLimit() const override { return count_; }

  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    if (number >= count_) return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", {}});
    const std::int32_t bios = BiosDrive(number);
    DeviceDescription description;
    description.int13Extensions = library_->CheckInt13Extension(bios);
    std::uint32_t cylinders = 0;
    library_->GetDriveGeometry(bios, &cylinders, &description.geometry.heads,
                               &description.geometry.sectorsPerTrack);
    description.geometry.cylinders = cylinders;
    description.productId = "Unknown";
    return description;
  }

  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    // A number the library did not report is still passed to it: the
    // library decides what its reads return.
    DeviceDescription description = Probe(number).value_or(DeviceDescription{});
    const std::int32_t int13 = description.int13Extensions;
    return std::make_unique<LegacyBiosSource>(library_, BiosDrive(number), std::move(description),
                                              int13);
  }

 private:
  static std::int32_t BiosDrive(unsigned number) { return 0x80 + static_cast<std::int32_t>(number); }

  std::shared_ptr<LegacyBiosLibrary> library_;
  unsigned count_ = 0;
};

}  // namespace

std::unique_ptr<DriveProvider> MakeLegacyBiosProvider(std::unique_ptr<LegacyBiosLibrary> library,
                                                      unsigned slotLimit) {
  return std::make_unique<LegacyBiosProvider>(std::move(library), slotLimit);
}

}  // namespace tolvar
