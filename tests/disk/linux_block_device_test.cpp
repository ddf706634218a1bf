#include "disk/linux_block_device.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "disk/drive_sources.hpp"
#include "disk/drive_table.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;

// A sysfs tree and a /dev folder in a temporary directory. Device folders
// live under sys/devices/<bus path>/block/<name>, sys/block/<name> links to
// them, and dev/<name> is a plain file standing in for the node.
class FakeSysfs {
 public:
  fs::path Sys() const { return dir_ / "sys"; }
  fs::path Dev() const { return dir_ / "dev"; }

  FakeSysfs& Disk(const std::string& name, const std::string& busPath, std::uint64_t sectors,
                  const std::string& model = "", const std::string& vendor = "",
                  bool withNode = true) {
    const fs::path device = Sys() / "devices" / busPath / "block" / name;
    fs::create_directories(device / "device");
    std::ofstream(device / "size") << sectors << "\n";
    if (!model.empty()) std::ofstream(device / "device" / "model") << model << "\n";
    if (!vendor.empty()) std::ofstream(device / "device" / "vendor") << vendor << "\n";
    fs::create_directories(Sys() / "block");
    fs::create_symlink(fs::relative(device, Sys() / "block"), Sys() / "block" / name);
    fs::create_directories(Dev());
    if (withNode)
      testing::WriteFile(Dev() / name, testing::PatternBytes(sectors > 64 ? 64 : sectors));
    return *this;
  }

 private:
  testing::TempDir dir_;
};

constexpr const char* kAta = "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";
constexpr const char* kUsb = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";

TEST(LinuxBlockDevices, ListsWholeDisksInNameOrderWithTheirSysfsFacts) {
  FakeSysfs sysfs;
  sysfs.Disk("sdb", kUsb, 15'728'640, "", "Kingston ")
      .Disk("sda", kAta, 16'514'064, "  ST1000DM003-1CH1   ")
      .Disk("sr0", "pci0000:00/ata2/host1/1:0:0:0", 0, "DVD-RAM")
      .Disk("vda", "pci0000:00/virtio2", 2048, "", "0x1af4")
      .Disk("loop0", "virtual", 2048, "x")
      .Disk("dm-0", "virtual", 2048, "x")
      .Disk("zram0", "virtual", 2048, "x")
      .Disk("mmcblk0boot0", "platform/mmc", 2048, "x")
      .Disk("nvme0n1", "pci0000:00/nvme/nvme0", 0, "", "", false);
  auto provider = MakeLinuxBlockDeviceProvider(sysfs.Sys().string(), sysfs.Dev().string());
  ASSERT_EQ(provider->ProbeLimit(), 5u);  // nvme0n1, sda, sdb, sr0, vda

  EXPECT_FALSE(provider->Probe(0).has_value());  // nvme0n1 has no device node
  auto sda = provider->Probe(1);
  ASSERT_TRUE(sda.has_value()) << sda.error().message;
  EXPECT_EQ(sda->productId, "ST1000DM003-1CH1");
  EXPECT_FALSE(sda->onUsb);
  EXPECT_EQ(sda->path, (sysfs.Dev() / "sda").string());
  const auto& g = sda->geometry;
  EXPECT_EQ(g.cylinders * g.heads * g.sectorsPerTrack, 16'514'064u);

  auto sdb = provider->Probe(2);
  ASSERT_TRUE(sdb.has_value());
  EXPECT_TRUE(sdb->onUsb);
  EXPECT_EQ(sdb->productId, "Kingston");  // no model: the vendor

  auto sr0 = provider->Probe(3);
  ASSERT_TRUE(sr0.has_value());
  EXPECT_EQ(sr0->geometry.sectorsPerTrack, 0u);  // no media

  EXPECT_EQ(provider->Probe(4)->productId, "Unknown");
}

TEST(LinuxBlockDevices, FillTheDriveTableAndOpenForReading) {
  FakeSysfs sysfs;
  sysfs.Disk("sdc", kUsb, 4032, "Flash")
      .Disk("sdb", "pci0000:00/ata3/host2/2:0:0:0", 0, "Card Reader")
      .Disk("sda", kAta, 1008, "WDC WD5000");
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeLinuxBlockDeviceProvider(sysfs.Sys().string(), sysfs.Dev().string()));
  ASSERT_EQ(table.listedCount, 2);
  EXPECT_EQ(table.Slot(0).model, "WDC WD5000");
  EXPECT_EQ(table.Slot(0).totalSectors, 1008u);
  EXPECT_EQ(table.Slot(1).model, "USB Device");
  EXPECT_EQ(table.Slot(2).model, "Media missing or not inserted");

  ASSERT_TRUE(table.OpenCurrentDrive()) << table.LastOpenError()->message;
  std::vector<std::byte> buffer(4 * kSectorSize);
  ASSERT_TRUE(table.ReadSectors(2, 4, buffer));
  EXPECT_TRUE(testing::Equal(buffer, testing::SectorsOf(testing::PatternBytes(64), 2, 4)));
}

TEST(LinuxBlockDevices, ComeBeforeTheImagesWhenASetupAsksForThem) {
  FakeSysfs sysfs;
  sysfs.Disk("sda", kAta, 1008, "WDC WD5000");
  testing::TempDir dir;
  testing::WriteFile(dir / "a.img", testing::PatternBytes(1008));
  DriveSourceOptions options;
  options.images = {(dir / "a.img").string()};
  options.hostDevices = true;
  options.sysfsRoot = sysfs.Sys().string();
  options.devRoot = sysfs.Dev().string();
  RecoverySettings settings;
  DriveTable table(settings);
  ASSERT_TRUE(EnumerateDriveSources(table, options).has_value());
  ASSERT_EQ(table.listedCount, 2);
  EXPECT_EQ(table.Slot(0).model, "WDC WD5000");
  EXPECT_EQ(table.Slot(1).devicePath, options.images[0]);
  EXPECT_EQ(table.Slot(1).totalSectors, 1008u);
}

TEST(LinuxBlockDevices, ProbeAtMostSixteenDevices) {
  FakeSysfs sysfs;
  for (char c = 'a'; c <= 't'; ++c) sysfs.Disk(std::string("sd") + c, kAta, 1008, "disk");
  auto provider = MakeLinuxBlockDeviceProvider(sysfs.Sys().string(), sysfs.Dev().string());
  EXPECT_EQ(provider->ProbeLimit(), 16u);
  EXPECT_EQ(provider->Probe(15)->path, (sysfs.Dev() / "sdp").string());
}

TEST(LinuxBlockDevices, ADeviceWithoutReadPermissionIsNamedInOneLine) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  FakeSysfs sysfs;
  sysfs.Disk("sda", kAta, 1008, "disk");
  fs::permissions(sysfs.Dev() / "sda", fs::perms::none);
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeLinuxBlockDeviceProvider(sysfs.Sys().string(), sysfs.Dev().string()));
  ASSERT_EQ(table.listedCount, 1);
  EXPECT_FALSE(table.OpenCurrentDrive());
  ASSERT_TRUE(table.LastOpenError().has_value());
  const std::string& message = table.LastOpenError()->message;
  EXPECT_NE(message.find((sysfs.Dev() / "sda").string()), std::string::npos);
  EXPECT_EQ(message.find('\n'), std::string::npos);
}

TEST(LinuxBlockDevices, OpeningSomethingElseIsAClearError) {
  testing::TempDir dir;
  testing::WriteFile(dir / "plain", testing::PatternBytes(4));
  auto plain = OpenLinuxBlockDevice((dir / "plain").string());
  ASSERT_FALSE(plain.has_value());
  EXPECT_EQ(plain.error().code, ErrorCode::kNotADevice);
  auto missing = OpenLinuxBlockDevice((dir / "absent").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ErrorCode::kNotFound);
  EXPECT_NE(missing.error().message.find("absent"), std::string::npos);
}

}  // namespace
}  // namespace tolvar
