#include "disk/block_device_source.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/image_format.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::size_t kRawBytes = 3u << 20;

// One way of turning the raw image into another format. `make` is a shell
// command with {raw}, {out} and {stem} (the output path without extension).
struct Conversion {
  const char* name;
  const char* file;
  const char* make;
  const char* product;
};

const Conversion kConversions[] = {
    {"vmdk monolithicSparse", "disk.vmdk",
     "qemu-img convert -q -f raw -O vmdk -o subformat=monolithicSparse {raw} {out}", "VMDK Image"},
    {"vmdk twoGbMaxExtentSparse", "split.vmdk",
     "qemu-img convert -q -f raw -O vmdk -o subformat=twoGbMaxExtentSparse {raw} {out}",
     "VMDK Image"},
    {"vmdk monolithicFlat", "flat.vmdk",
     "qemu-img convert -q -f raw -O vmdk -o subformat=monolithicFlat {raw} {out}", "VMDK Image"},
    {"vhd fixed", "fixed.vhd", "qemu-img convert -q -f raw -O vpc -o subformat=fixed {raw} {out}",
     "VHD Image"},
    {"vhd dynamic", "dynamic.vhd",
     "qemu-img convert -q -f raw -O vpc -o subformat=dynamic {raw} {out}", "VHD Image"},
    {"vhdx", "disk.vhdx", "qemu-img convert -q -f raw -O vhdx {raw} {out}", "VHDX Image"},
    {"qcow2 v2", "v2.qcow2", "qemu-img convert -q -f raw -O qcow2 -o compat=0.10 {raw} {out}",
     "qcow Image"},
    {"qcow2 v3", "v3.qcow2", "qemu-img convert -q -f raw -O qcow2 -o compat=1.1 {raw} {out}",
     "qcow Image"},
    // Segments of 1 MiB: the random data does not compress, so several.
    {"e01", "evidence.E01", "ewfacquire -u -q -S 1048576 -t {stem} {raw} >/dev/null",
     "E01 Image"},
    // The zero runs compress: compressed chunks and clusters beside stored ones.
    {"e01 compressed", "packed.E01", "ewfacquire -u -q -c best -t {stem} {raw} >/dev/null",
     "E01 Image"},
    {"qcow2 compressed", "packed.qcow2", "qemu-img convert -q -f raw -O qcow2 -c {raw} {out}",
     "qcow Image"},
};

bool HaveTool(const char* tool) {
  return std::system(fmt::format("command -v {} >/dev/null 2>&1", tool).c_str()) == 0;
}

std::vector<std::byte> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(bytes.size());
  std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

void WriteFile(const fs::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class DiskImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("qemu-img") || !HaveTool("ewfacquire")) {
      GTEST_SKIP() << "qemu-img or ewfacquire missing (scripts/install-deps installs them)";
    }
    // Random runs between zero runs, so the sparse formats leave holes.
    raw.assign(kRawBytes, std::byte{0});
    std::mt19937 random(12);
    for (std::size_t at = 0; at < raw.size(); at += 256 * 1024) {
      if ((at / (256 * 1024)) % 3 == 1) continue;
      for (std::size_t i = at; i < at + 256 * 1024; ++i) raw[i] = std::byte(random() & 0xff);
    }
    WriteFile(RawPath(), raw);
  }

  fs::path RawPath() const { return dir / "disk.raw"; }

  // Converts the raw image; returns the file to open.
  fs::path Make(const Conversion& conversion, const fs::path& raw_path) {
    const fs::path out = dir / conversion.file;
    const std::string command = fmt::format(
        fmt::runtime(conversion.make), fmt::arg("raw", raw_path.string()),
        fmt::arg("out", out.string()), fmt::arg("stem", (dir / out.stem()).string()));
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return out;
  }

  // Every sector through the drive table, the way the engine reads.
  std::vector<std::byte> ReadThroughDriveTable(std::shared_ptr<BlockDeviceSource> source,
                                               std::size_t bytes,
                                               std::vector<std::uint64_t>* bad = nullptr) {
    RecoverySettings settings;
    DriveTable table(settings);
    table.EnumerateDrives(MakeFixedProvider({std::move(source)}));
    EXPECT_TRUE(table.OpenCurrentDrive());
    std::vector<std::byte> out(bytes);
    constexpr std::uint32_t kRun = 64;
    for (std::uint64_t sector = 0; sector * kSectorSize < bytes; sector += kRun) {
      const auto count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(kRun, bytes / kSectorSize - sector));
      (void)table.ReadSectors(sector, count,
                              std::span(out).subspan(sector * kSectorSize, count * kSectorSize));
    }
    if (bad != nullptr) *bad = table.BadSectors().Sectors();
    return out;
  }

  testing::TempDir dir;
  std::vector<std::byte> raw;
};

TEST_F(DiskImages, EachFormatHoldsTheRawImagesBytes) {
  for (const auto& conversion : kConversions) {
    SCOPED_TRACE(conversion.name);
    const fs::path path = Make(conversion, RawPath());
    auto source = OpenImageFile(path.string());
    ASSERT_TRUE(source.has_value()) << source.error().message;
    const DeviceDescription description = (*source)->Describe();
    EXPECT_EQ(description.productId, conversion.product);
    EXPECT_EQ(description.path, path.string());
    // A VHD's size is rounded up to its geometry; the rest reads as zeros.
    const std::uint64_t length = (*source)->LengthBytes();
    ASSERT_GE(length, raw.size());
    const auto geometry = description.geometry;
    EXPECT_EQ(geometry.cylinders * geometry.heads * geometry.sectorsPerTrack,
              length / kSectorSize);

    std::shared_ptr<BlockDeviceSource> shared = std::move(*source);
    const auto bytes = ReadThroughDriveTable(shared, length - length % kSectorSize);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), bytes.begin())) << "content differs";
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(raw.size()), bytes.end(),
                            [](std::byte b) { return b == std::byte{0}; }));
    // Past the end is a failed read, as for a raw image.
    std::vector<std::byte> sector(kSectorSize);
    EXPECT_FALSE(shared->ReadAt(length, sector).has_value());
  }
}

// A damaged image either fails to open with one line naming its file or
// opens and reads what it can; nothing crashes and no read hangs.
TEST_F(DiskImages, DamagedImagesNameTheFileOrReadAsUnreadableSectors) {
  for (const auto& conversion : kConversions) {
    SCOPED_TRACE(conversion.name);
    const fs::path path = Make(conversion, RawPath());
    const auto original = ReadFile(path);
    struct Damage {
      const char* what;
      std::vector<std::byte> bytes;
    };
    std::vector<Damage> damages;
    damages.push_back({"cut inside the header", {original.begin(), original.begin() + 100}});
    damages.push_back({"cut in half", {original.begin(), original.begin() + original.size() / 2}});
    auto scrambled = original;
    std::mt19937 random(5);
    // Keep the magic, so the format is still recognised; scramble the rest
    // of the header.
    for (std::size_t i = 8; i < std::min<std::size_t>(scrambled.size(), 4096); ++i) {
      scrambled[i] = std::byte(random() & 0xff);
    }
    damages.push_back({"header scrambled", scrambled});

    for (const auto& damage : damages) {
      SCOPED_TRACE(damage.what);
      WriteFile(path, damage.bytes);
      auto source = OpenImageFile(path.string());
      if (!source) {
        EXPECT_THAT(source.error().message, HasSubstr(path.string()));
        EXPECT_THAT(source.error().message, Not(HasSubstr("\n")));
        continue;
      }
      std::shared_ptr<BlockDeviceSource> shared = std::move(*source);
      const std::uint64_t length = shared->LengthBytes();
      (void)ReadThroughDriveTable(shared, std::min<std::uint64_t>(length, 8u << 20) & ~511ull);
    }
    WriteFile(path, original);
  }
}

TEST_F(DiskImages, ABadChunkInsideAnE01IsAnUnreadableRun) {
  const fs::path path = Make(kConversions[8], RawPath());
  // Flip bytes in the middle of the second segment: its chunk checksums no
  // longer match.
  const fs::path second = dir / "evidence.E02";
  auto bytes = ReadFile(second);
  ASSERT_GT(bytes.size(), 600'000u);
  for (std::size_t i = 500'000; i < 500'100; ++i) bytes[i] ^= std::byte{0x5a};
  WriteFile(second, bytes);

  auto source = OpenImageFile(path.string());
  ASSERT_TRUE(source.has_value()) << source.error().message;
  std::vector<std::uint64_t> bad;
  const auto read = ReadThroughDriveTable(std::move(*source), raw.size(), &bad);
  ASSERT_FALSE(bad.empty());
  // Every sector outside the bad run still reads as it should.
  std::size_t differing = 0;
  for (std::size_t s = 0; s < raw.size() / kSectorSize; ++s) {
    if (!std::equal(raw.begin() + s * kSectorSize, raw.begin() + (s + 1) * kSectorSize,
                    read.begin() + s * kSectorSize)) {
      ++differing;
      EXPECT_TRUE(std::ranges::binary_search(bad, s)) << "sector " << s << " differs but was not reported";
    }
  }
  EXPECT_GT(differing, 0u);
}

TEST_F(DiskImages, MissingPartsAreNamed) {
  // A split VMDK without its extent file.
  const fs::path split = Make(kConversions[1], RawPath());
  fs::remove(dir / "split-s001.vmdk");
  auto vmdk = OpenImageFile(split.string());
  ASSERT_FALSE(vmdk.has_value());
  EXPECT_THAT(vmdk.error().message, HasSubstr("split-s001.vmdk"));

  // A qcow2 overlay on a base that is there, then gone.
  const fs::path base = Make(kConversions[7], RawPath());
  const fs::path overlay = dir / "overlay.qcow2";
  ASSERT_EQ(std::system(fmt::format("qemu-img create -q -f qcow2 -F qcow2 -b {} {}",
                                    base.filename().string(), overlay.string())
                            .c_str()),
            0);
  auto withBase = OpenImageFile(overlay.string());
  ASSERT_TRUE(withBase.has_value()) << withBase.error().message;
  std::vector<std::byte> head(64 * 1024);
  ASSERT_TRUE((*withBase)->ReadAt(0, head).has_value());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), raw.begin()));
  withBase->reset();
  fs::remove(base);
  auto withoutBase = OpenImageFile(overlay.string());
  ASSERT_FALSE(withoutBase.has_value());
  EXPECT_THAT(withoutBase.error().message, HasSubstr("v3.qcow2"));
  EXPECT_THAT(withoutBase.error().message, HasSubstr(overlay.string()));

  // An E01 set with a segment gone from the middle.
  const fs::path evidence = Make(kConversions[8], RawPath());
  fs::remove(dir / "evidence.E03");
  auto ewf = OpenImageFile(evidence.string());
  ASSERT_FALSE(ewf.has_value());
  EXPECT_THAT(ewf.error().message, HasSubstr("evidence.E03"));
}

// A monolithic sparse VMDK names itself as its extent; a renamed copy in
// another folder must still open.
TEST_F(DiskImages, ARenamedMonolithicVmdkStillOpens) {
  const fs::path made = Make(kConversions[0], RawPath());
  fs::create_directory(dir / "moved");
  const fs::path moved = dir / "moved" / "renamed.vmdk";
  fs::rename(made, moved);
  auto source = OpenImageFile(moved.string());
  ASSERT_TRUE(source.has_value()) << source.error().message;
  std::vector<std::byte> bytes(raw.size());
  ASSERT_TRUE((*source)->ReadAt(0, bytes).has_value());
  EXPECT_TRUE(bytes == raw);
}

TEST_F(DiskImages, UnreadableFormatsSayWhatToConvertWith) {
  const fs::path vdi = dir / "disk.vdi";
  ASSERT_EQ(std::system(fmt::format("qemu-img convert -q -f raw -O vdi {} {}",
                                    RawPath().string(), vdi.string())
                            .c_str()),
            0);
  auto opened = OpenImageFile(vdi.string());
  ASSERT_FALSE(opened.has_value());
  EXPECT_THAT(opened.error().message, HasSubstr("VirtualBox VDI"));
  EXPECT_THAT(opened.error().message, HasSubstr("qemu-img convert -O raw " + vdi.string()));

  const fs::path gz = dir / "disk.img.gz";
  ASSERT_EQ(std::system(fmt::format("gzip -c {} > {}", RawPath().string(), gz.string()).c_str()),
            0);
  auto packed = OpenImageFile(gz.string());
  ASSERT_FALSE(packed.has_value());
  EXPECT_THAT(packed.error().message, HasSubstr("gzip -dk"));
}

TEST(ImageFormatDetection, RawDisksAreNotMistakenForImages) {
  std::vector<std::byte> head(1024, std::byte{0});
  EXPECT_EQ(DetectImageFormat(head, head), ImageFormat::kRaw);
  EXPECT_EQ(DetectImageFormat({}, {}), ImageFormat::kRaw);
  // Text that only mentions a descriptor keyword is not a descriptor.
  const std::string text = "createType is a word in a text file";
  const auto* begin = reinterpret_cast<const std::byte*>(text.data());
  EXPECT_EQ(DetectImageFormat({begin, text.size()}, {}), ImageFormat::kRaw);
  // "conectix" counts only as the whole last sector's start.
  std::vector<std::byte> tail(512, std::byte{0});
  std::memcpy(tail.data() + 100, "conectix", 8);
  EXPECT_EQ(DetectImageFormat(head, tail), ImageFormat::kRaw);
  std::memcpy(tail.data(), "conectix", 8);
  EXPECT_EQ(DetectImageFormat(head, tail), ImageFormat::kVhdFixed);
}

}  // namespace
}  // namespace tolvar
