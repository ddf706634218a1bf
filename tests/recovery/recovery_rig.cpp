#include "tests/recovery/recovery_rig.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/saving_display.hpp"
#include "fs/mount.hpp"

namespace tolvar::testing {
namespace {

// The saving dialog's fields through the observer the window uses, and the
// counts to a hook.
class RigObserver final : public SavingObserver {
 public:
  RigObserver(SavingFields& fields, const RecoveryRig::CountedHook& counted)
      : fields_(fields), dialog_(fields), counted_(counted) {}
  void EntryStarted(std::string_view folder, std::string_view name, std::uint64_t number,
                    std::uint64_t total) override {
    dialog_.EntryStarted(folder, name, number, total);
  }
  void Progress(int position) override { dialog_.Progress(position); }
  void Counted(const SavingProgress& progress) override {
    if (counted_) counted_(progress);
  }
  void Failed(const Error& error) override {
    dialog_.Failed(error);
    fields_.problems.push_back(dialog_.problem);
  }

 private:
  SavingFields& fields_;
  SavingDisplayObserver dialog_;
  const RecoveryRig::CountedHook& counted_;
};

}  // namespace

RecoveryRig::RecoveryRig(const imagekit::DiskDescription& disk, std::size_t volumeIndex,
                         FaultPlan extraFaults) {
  auto built = imagekit::BuildImageBytes(disk);
  if (!built) {
    ADD_FAILURE() << "image build failed: " << built.error().message;
    return;
  }
  built_ = std::move(*built);
  for (const auto& [first, last] : built_.report.unreadable) {
    for (std::uint64_t s = first; s <= last; ++s) extraFaults.neverReadable.insert(s);
  }
  std::shared_ptr<BlockDeviceSource> memory = MakeMemorySource(built_.bytes);
  Mount(MakeFaultInjectingSource(memory, std::move(extraFaults)), volumeIndex);
}

RecoveryRig::RecoveryRig(const imagekit::DiskDescription& disk, FromImageFile)
    : RecoveryRig(disk, FromImageFile{}, [](const std::filesystem::path& raw) { return raw; }) {}

RecoveryRig::RecoveryRig(const imagekit::DiskDescription& disk, FromImageFile,
                         const ImageConverter& convert) {
  auto built = imagekit::BuildImageBytes(disk);
  if (!built) {
    ADD_FAILURE() << "image build failed: " << built.error().message;
    return;
  }
  built_ = std::move(*built);
  const std::filesystem::path image = temp_.Path() / "disk.img";
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(built_.bytes.data()),
             static_cast<std::streamsize>(built_.bytes.size()));
  const std::filesystem::path converted = convert(image);
  auto source =
      converted == image ? OpenRawImageFile(image.string()) : OpenImageFile(converted.string());
  if (!source) {
    ADD_FAILURE() << source.error().message;
    return;
  }
  Mount(std::shared_ptr<BlockDeviceSource>(std::move(*source)), 0);
}

void RecoveryRig::Mount(std::shared_ptr<BlockDeviceSource> source, std::size_t volumeIndex) {
  drives_.EnumerateDrives(MakeFixedProvider({std::move(source)}));
  drives_.currentDrive = 0;
  EXPECT_TRUE(drives_.OpenCurrentDrive());

  const imagekit::VolumeReport& v = built_.report.volumes.at(volumeIndex);
  volume_.fsType = v.fs == imagekit::FsKind::kHtfs ? FsType::kHtfs : FsType::kEafs;
  volume_.volumeName =
      v.fs == imagekit::FsKind::kHtfs ? "HTFS Partition - 1" : "EAFS Partition - 1";
  volume_.startSector = v.startSector;
  volume_.sizeSectors = v.sizeBlocks * 2;
  volume_.sectorsPerBlock = 2;
  volume_.inodeTableSector = v.startSector + 4;
  volume_.inodeCount = volume_.fsType == FsType::kHtfs ? v.inodeTableBlocks * 8 : v.sizeBlocks * 32;

  MountObserver quiet;
  EXPECT_TRUE(MountInto(tree_, drives_, volume_, RecoveryMode::kNormal, quiet, {}).has_value());
  options.volumeName = volume_.volumeName;
}

std::expected<SavingResult, Error> RecoveryRig::Save(const Selection& selection,
                                                     const CountedHook& counted) {
  return SaveTo(Destination(), selection, counted);
}

std::expected<SavingResult, Error> RecoveryRig::SaveTo(const std::filesystem::path& destination,
                                                       const Selection& selection,
                                                       const CountedHook& counted) {
  options.destination = destination.string();
  control.StartRun();
  RigObserver observer(dialog, counted);
  return RunSaving(drives_, volume_, tree_, selection, settings, control, observer, options);
}

const FileNode* RecoveryRig::FileNamed(std::string_view name) const {
  for (const FileNode& file : tree_.Files()) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

const FolderNode* RecoveryRig::FolderNamed(std::string_view name) const {
  for (const FolderNode& folder : tree_.Folders()) {
    if (folder.name == name) return &folder;
  }
  return nullptr;
}

std::string FilledContents(const imagekit::Fill& fill, std::uint64_t size) {
  std::string bytes(size, '\0');
  imagekit::FillBytes(fill, 0, std::as_writable_bytes(std::span(bytes.data(), bytes.size())));
  return bytes;
}

std::vector<std::pair<std::string, std::string>> HostFiles(const std::filesystem::path& root) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    files.emplace_back(std::filesystem::relative(entry.path(), root).string(), text.str());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::shared_ptr<const ReportEntry> EntryFor(const RecoveryReport& report, std::string_view path) {
  for (const ReportEntry& entry : report.entries) {
    if (entry.path == path) return std::make_shared<const ReportEntry>(entry);
  }
  return nullptr;
}

}  // namespace tolvar::testing
