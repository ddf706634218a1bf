#include "disk/linux_block_device.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "disk/posix_read.hpp"

namespace tolvar {

namespace fs = std::filesystem;

namespace {

// The drive numbers of the original route, 0 to 15.
constexpr unsigned kMaxProbedDevices = 16;

std::string Trimmed(std::string text) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0 || c == '\0'; };
  while (!text.empty() && blank(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t begin = 0;
  while (begin < text.size() && blank(static_cast<unsigned char>(text[begin]))) ++begin;
  return text.substr(begin);
}

// The first line of a small sysfs attribute, trimmed; empty when absent.
std::string ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  return Trimmed(line);
}

std::optional<std::uint64_t> ReadNumber(const fs::path& path) {
  const std::string text = ReadAttribute(path);
  std::uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// A USB disk's sysfs path runs through a host controller's bus, "usb1", ...
bool RunsThroughUsb(const fs::path& resolved) {
  for (const auto& part : resolved) {
    const std::string name = part.string();
    if (name.size() > 3 && name.starts_with("usb") &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return true;
    }
  }
  return false;
}

struct SysfsFacts {
  std::string model;
  bool onUsb = false;
};

// Model text and bus of the block device whose sysfs folder is `blockDir`
// (a whole disk, or a partition whose parent is the disk).
SysfsFacts DescribeSysfsBlock(const fs::path& blockDir) {
  std::error_code ec;
  fs::path resolved = fs::canonical(blockDir, ec);
  if (ec) resolved = blockDir;
  fs::path disk = resolved;
  if (fs::exists(resolved / "partition", ec)) disk = resolved.parent_path();
  SysfsFacts facts;
  facts.model = ReadAttribute(disk / "device" / "model");
  if (facts.model.empty()) {
    // Virtio and other bus devices give a numeric id here, not a name.
    std::string vendor = ReadAttribute(disk / "device" / "vendor");
    if (!vendor.starts_with("0x")) facts.model = std::move(vendor);
  }
  if (facts.model.empty()) {
    // A loop device has no model; the file behind it says what it is.
    const std::string backing = ReadAttribute(disk / "loop" / "backing_file");
    if (!backing.empty()) facts.model = "Loop Device " + fs::path(backing).filename().string();
  }
  if (facts.model.empty()) facts.model = "Unknown";
  facts.onUsb = RunsThroughUsb(resolved);
  return facts;
}

DeviceGeometry KernelGeometry(int fd, std::uint64_t sectors) {
  if (sectors == 0) return {};  // no media
  hd_geometry geo{};
  if (::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
    // The kernel's cylinder count is 16 bits wide; count whole cylinders of
    // the true length instead, so the product never exceeds it.
    const std::uint64_t perCylinder = std::uint64_t{geo.heads} * geo.sectors;
    const std::uint64_t cylinders = sectors / perCylinder;
    if (cylinders != 0) return {cylinders, geo.heads, geo.sectors};
  }
  return GeometryForLength(sectors);
}

class LinuxBlockDevice final : public BlockDeviceSource {
 public:
  LinuxBlockDevice(int fd, std::uint64_t length, DeviceDescription description)
      : fd_(fd), length_(length), description_(std::move(description)) {}
  ~LinuxBlockDevice() override { ::close(fd_); }
  LinuxBlockDevice(const LinuxBlockDevice&) = delete;
  LinuxBlockDevice& operator=(const LinuxBlockDevice&) = delete;

  DeviceDescription Describe() const override { return description_; }
  std::uint64_t LengthBytes() const override { return length_; }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    return detail::ReadFully(fd_, length_, description_.path, offset, out);
  }
  std::optional<FileSpan> FileBacking(std::uint64_t offset, std::uint64_t length) const override {
    if (offset > length_ || length > length_ - offset) return std::nullopt;
    return FileSpan{fd_, offset, true};
  }

 private:
  int fd_;
  std::uint64_t length_;
  DeviceDescription description_;
};

Error OpenError(const std::string& path, int err) {
  if (err == EACCES || err == EPERM) {
    return Error{
        ErrorCode::kPermission,
        fmt::format("{}: permission denied; reading a disk needs root or the disk group", path),
        std::nullopt};
  }
  if (err == ENOENT || err == ENXIO || err == ENODEV) {
    return Error{ErrorCode::kNotFound, fmt::format("{}: no such device", path), std::nullopt};
  }
  if (err == ENOMEDIUM) {
    return Error{ErrorCode::kNotReadable, fmt::format("{}: no medium in the drive", path),
                 std::nullopt};
  }
  return Error{ErrorCode::kNotReadable,
               fmt::format("{}: cannot open for reading: {}", path, std::strerror(err)),
               std::nullopt};
}

// Devices that are never a physical disk the user could mean: memory disks,
// loop and network block devices, device-mapper and software RAID volumes
// built over disks that are listed themselves, floppies, and the boot and
// replay-protected areas of eMMC chips.
bool IsListedDisk(const std::string& name) {
  for (std::string_view prefix : {"loop", "ram", "zram", "dm-", "md", "nbd", "fd"}) {
    if (name.starts_with(prefix)) return false;
  }
  if (name.starts_with("mmcblk") &&
      (name.find("boot") != std::string::npos || name.find("rpmb") != std::string::npos)) {
    return false;
  }
  return !name.empty() && name.front() != '.';
}

class LinuxBlockDeviceProvider final : public DriveProvider {
 public:
  LinuxBlockDeviceProvider(fs::path sysfsRoot, fs::path devRoot)
      : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfsRoot_ / "block", ec)) {
      const std::string name = entry.path().filename().string();
      if (IsListedDisk(name)) names_.push_back(name);
    }
    std::sort(names_.begin(), names_.end());
    if (names_.size() > kMaxProbedDevices) names_.resize(kMaxProbedDevices);
  }

  unsigned ProbeLimit() const override { return static_cast<unsigned>(names_.size()); }

  // Described from sysfs alone, without opening the device node.
  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    if (number >= names_.size()) {
      return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", std::nullopt});
    }
    const fs::path blockDir = sysfsRoot_ / "block" / names_[number];
    const fs::path node = devRoot_ / names_[number];
    std::error_code ec;
    if (!fs::exists(node, ec)) {
      return std::unexpected(Error{ErrorCode::kNotFound,
                                   fmt::format("{}: no such device", node.string()), std::nullopt});
    }
    // The size attribute counts 512-byte units whatever the logical sector size.
    const auto sectors = ReadNumber(blockDir / "size");
    if (!sectors) {
      return std::unexpected(Error{ErrorCode::kNotReadable,
                                   fmt::format("{}: size unknown", node.string()), std::nullopt});
    }
    const SysfsFacts facts = DescribeSysfsBlock(blockDir);
    DeviceDescription description;
    description.onUsb = facts.onUsb;
    description.productId = facts.model;
    description.geometry = GeometryForLength(*sectors);
    description.path = node.string();
    return description;
  }

  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    if (number >= names_.size()) {
      return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", std::nullopt});
    }
    // A block device node, or a plain file standing in for one.
    return OpenImageFile((devRoot_ / names_[number]).string());
  }

 private:
  fs::path sysfsRoot_;
  fs::path devRoot_;
  std::vector<std::string> names_;
};

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenLinuxBlockDevice(
    const std::string& path) {
  // Read-only, always: the source disk is never written.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(OpenError(path, errno));
  struct stat st {};
  std::uint64_t length = 0;
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || ::ioctl(fd, BLKGETSIZE64, &length) != 0) {
    ::close(fd);
    return std::unexpected(
        Error{ErrorCode::kNotADevice, fmt::format("{}: not a block device", path), std::nullopt});
  }
  const SysfsFacts facts = DescribeSysfsBlock(
      fs::path("/sys/dev/block") / fmt::format("{}:{}", major(st.st_rdev), minor(st.st_rdev)));
  DeviceDescription description;
  description.onUsb = facts.onUsb;
  description.productId = facts.model;
  description.geometry = KernelGeometry(fd, length / kSectorSize);
  description.path = path;
  return std::make_unique<LinuxBlockDevice>(fd, length, std::move(description));
}

std::unique_ptr<DriveProvider> MakeLinuxBlockDeviceProvider(std::string sysfsRoot,
                                                            std::string devRoot) {
  return std::make_unique<LinuxBlockDeviceProvider>(std::move(sysfsRoot), std::move(devRoot));
}

}  // namespace tolvar
