#include "disk/drive_sources.hpp"

#include <algorithm>
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

// The mapfile image `index` is read through; empty: none.
const std::string& MapfileOf(const DriveSourceOptions& options, std::size_t index) {
  if (index < options.imageMapfiles.size() && !options.imageMapfiles[index].empty()) {
    return options.imageMapfiles[index];
  }
  return options.mapfile;
}

bool WrapsImages(const DriveSourceOptions& options) {
  const bool anyImageMap =
      std::ranges::any_of(options.imageMapfiles, [](const std::string& m) { return !m.empty(); });
  return !options.unreadableSectorsFile.empty() || !options.mapfile.empty() || anyImageMap;
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
                                      std::vector<std::shared_ptr<const RescueMap>>* rescueMaps) {
  if (!options.unreadableSectorsFile.empty()) {
    auto plan = LoadFaultPlan(options.unreadableSectorsFile);
    if (!plan) return std::unexpected(plan.error());
    for (auto& source : sources) {
      source = MakeFaultInjectingSource(std::move(source), *plan);
    }
  }
  if (rescueMaps != nullptr) rescueMaps->assign(sources.size(), nullptr);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::string& mapfile = MapfileOf(options, i);
    if (mapfile.empty()) continue;
    auto map = LoadRescueMap(mapfile, sources[i]->LengthBytes());
    if (!map) return std::unexpected(map.error());
    auto shared = std::make_shared<const RescueMap>(std::move(*map));
    if (rescueMaps != nullptr) (*rescueMaps)[i] = shared;
    sources[i] = MakeRescueMapSource(std::move(sources[i]), std::move(shared));
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
  // `path` has no place in `images`: only the mapfile of every image applies.
  DriveSourceOptions single = options;
  single.imageMapfiles.clear();
  if (auto wrapped = WrapImages(*sources, single, nullptr); !wrapped) {
    return std::unexpected(wrapped.error());
  }
  return std::move(sources->front());
}

std::expected<void, Error> EnumerateDriveSources(DriveTable& drives,
                                                 const DriveSourceOptions& options,
                                                 std::shared_ptr<const RescueMap>* rescueMap) {
  std::vector<std::shared_ptr<const RescueMap>> maps;
  auto listed = EnumerateDriveSources(drives, options, maps);
  if (rescueMap != nullptr) {
    rescueMap->reset();
    for (const auto& map : maps) {
      if (map) *rescueMap = map;
    }
  }
  return listed;
}

std::expected<void, Error> EnumerateDriveSources(
    DriveTable& drives, const DriveSourceOptions& options,
    std::vector<std::shared_ptr<const RescueMap>>& rescueMaps) {
  rescueMaps.clear();
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

  if (auto wrapped = WrapImages(*sources, options, &rescueMaps); !wrapped) {
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
