#include "disk/drive_sources.hpp"

#include <utility>

#include "disk/fault_injecting_source.hpp"
#include "disk/legacy_bios.hpp"
#include "disk/linux_block_device.hpp"
#include "disk/rescue_map.hpp"

namespace tolvar {

namespace {

// Serves the drives of several providers one after the other.
class ChainedProvider final : public DriveProvider {
 public:
  explicit ChainedProvider(std::vector<std::unique_ptr<DriveProvider>> parts)
      : parts_(std::move(parts)) {}

  unsigned ProbeLimit() const override {
    unsigned total = 0;
    for (const auto& part : parts_) total += part->ProbeLimit();
    return total;
  }

  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    auto [part, local] = Locate(number);
    if (part == nullptr) return std::unexpected(NoSuchDrive());
    return part->Probe(local);
  }

  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    auto [part, local] = Locate(number);
    if (part == nullptr) return std::unexpected(NoSuchDrive());
    return part->OpenForReading(local);
  }

 private:
  static Error NoSuchDrive() { return Error{ErrorCode::kNotFound, "no such drive", std::nullopt}; }

  std::pair<DriveProvider*, unsigned> Locate(unsigned number) const {
    for (const auto& part : parts_) {
      const unsigned limit = part->ProbeLimit();
      if (number < limit) return {part.get(), number};
      number -= limit;
    }
    return {nullptr, 0};
  }

  std::vector<std::unique_ptr<DriveProvider>> parts_;
};

Error LegacyRouteRefuses(const DriveSourceOptions& options) {
  return Error{ErrorCode::kInvalidArgument,
               options.unreadableSectorsFile.empty()
                   ? "a mapfile cannot be used on the legacy route"
                   : "a list of unreadable sectors cannot be used on the legacy route",
               std::nullopt};
}

bool WrapsImages(const DriveSourceOptions& options) {
  return !options.unreadableSectorsFile.empty() || !options.mapfile.empty();
}

// Opens every image by its content; the first that fails ends the setup.
std::expected<std::vector<std::unique_ptr<BlockDeviceSource>>, Error> OpenImages(
    const std::vector<std::string>& paths, const std::vector<std::string>& imageDirs) {
  std::vector<std::unique_ptr<BlockDeviceSource>> sources;
  sources.reserve(paths.size());
  for (const auto& path : paths) {
    auto source = OpenImageFile(path, imageDirs);
    if (!source) return std::unexpected(source.error());
    sources.push_back(std::move(*source));
  }
  return sources;
}

// Applies the options' wrappers to an opened image, in the order a read
// meets them.
std::expected<void, Error> WrapImages(std::vector<std::unique_ptr<BlockDeviceSource>>& sources,
                                      const DriveSourceOptions& options,
                                      std::shared_ptr<const RescueMap>* rescueMap) {
  if (!options.unreadableSectorsFile.empty()) {
    auto plan = LoadFaultPlan(options.unreadableSectorsFile);
    if (!plan) return std::unexpected(plan.error());
    for (auto& source : sources) {
      source = MakeFaultInjectingSource(std::move(source), *plan);
    }
  }
  if (!options.mapfile.empty()) {
    for (auto& source : sources) {
      auto map = LoadRescueMap(options.mapfile, source->LengthBytes());
      if (!map) return std::unexpected(map.error());
      auto shared = std::make_shared<const RescueMap>(std::move(*map));
      if (rescueMap != nullptr) *rescueMap = shared;
      source = MakeRescueMapSource(std::move(source), std::move(shared));
    }
  }
  return {};
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenDriveImage(
    const std::string& path, const DriveSourceOptions& options) {
  if (options.legacyRoute && WrapsImages(options)) {
    return std::unexpected(LegacyRouteRefuses(options));
  }
  auto sources = OpenImages({path}, options.imageDirs);
  if (!sources) return std::unexpected(sources.error());
  if (auto wrapped = WrapImages(*sources, options, nullptr); !wrapped) {
    return std::unexpected(wrapped.error());
  }
  return std::move(sources->front());
}

std::expected<void, Error> EnumerateDriveSources(DriveTable& drives,
                                                 const DriveSourceOptions& options,
                                                 std::shared_ptr<const RescueMap>* rescueMap) {
  if (rescueMap != nullptr) rescueMap->reset();
  if (options.legacyRoute && WrapsImages(options)) {
    return std::unexpected(LegacyRouteRefuses(options));
  }
  auto sources = OpenImages(options.images, options.imageDirs);
  if (!sources) return std::unexpected(sources.error());

  if (options.legacyRoute) {
    // The libraries open the images themselves; the opens above only gave
    // a bad path its own message.
    sources->clear();
    const std::string dir =
        options.legacyLibraryDir.empty() ? DefaultLegacyLibraryDir() : options.legacyLibraryDir;
    auto library = LoadLegacyBiosLibraries(dir, options.images);
    if (!library) return std::unexpected(library.error());
    drives.EnumerateDrives(std::move(*library));
    return {};
  }

  if (auto wrapped = WrapImages(*sources, options, rescueMap); !wrapped) {
    return std::unexpected(wrapped.error());
  }
  std::vector<std::shared_ptr<BlockDeviceSource>> shared;
  shared.reserve(sources->size());
  for (auto& source : *sources) shared.push_back(std::move(source));

  std::vector<std::unique_ptr<DriveProvider>> parts;
  if (options.hostDevices) {
    parts.push_back(MakeLinuxBlockDeviceProvider(options.sysfsRoot, options.devRoot));
  }
  if (!shared.empty() || parts.empty()) parts.push_back(MakeFixedProvider(std::move(shared)));
  if (parts.size() == 1) {
    drives.EnumerateDrives(std::move(parts.front()));
  } else {
    drives.EnumerateDrives(std::make_unique<ChainedProvider>(std::move(parts)));
  }
  return {};
}

}  // namespace tolvar
