// Our own qcow2 and sparse VMDK decoders, against the image libraries and
// the raw disk the images were made from.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "disk/cluster_image.hpp"
#include "disk/drive_table.hpp"
#include "disk/qcow_map.hpp"
#include "disk/virtual_disk_sources.hpp"
#include "disk/vmdk_map.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::size_t kRawBytes = 4u << 20;
constexpr std::size_t kRun = 256 * 1024;

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

SegmentReader MemoryReader(const std::vector<std::byte>& file) {
  return [&file](std::uint64_t offset, std::span<std::byte> out) {
    if (offset > file.size() || out.size() > file.size() - offset) return false;
    std::memcpy(out.data(), file.data() + offset, out.size());
    return true;
  };
}

// The disk as a map assembles it from the file's bytes, and how many
// pieces of each kind it met; fallback pieces are left as 0xee.
struct Walk {
  std::vector<std::byte> bytes;
  std::size_t data = 0;
  std::size_t zero = 0;
  std::size_t fallback = 0;
  std::size_t compressed = 0;
};

Walk WalkMap(ClusterMap& map, const std::vector<std::byte>& file) {
  Walk walk;
  walk.bytes.resize(map.VirtualSize());
  for (std::uint64_t at = 0; at < map.VirtualSize();) {
    auto piece = map.Map(at);
    if (!piece) {
      ADD_FAILURE() << "at " << at << ": " << piece.error();
      break;
    }
    EXPECT_GT(piece->length, 0u);
    EXPECT_LE(piece->length, map.VirtualSize() - at);
    auto out = std::span(walk.bytes).subspan(at, piece->length);
    switch (piece->kind) {
      case ImagePiece::Kind::kData:
        ++walk.data;
        EXPECT_LE(piece->hostOffset + piece->length, file.size());
        std::memcpy(out.data(), file.data() + piece->hostOffset, out.size());
        break;
      case ImagePiece::Kind::kZero:
        ++walk.zero;
        std::ranges::fill(out, std::byte{0});
        break;
      case ImagePiece::Kind::kFallback:
        ++walk.fallback;
        std::ranges::fill(out, std::byte{0xee});
        break;
      case ImagePiece::Kind::kCompressed: {
        ++walk.compressed;
        EXPECT_LE(piece->hostOffset + piece->storedLength, file.size());
        std::vector<std::byte> cluster(piece->clusterBytes);
        EXPECT_TRUE(map.Decompress(std::span(file).subspan(piece->hostOffset, piece->storedLength),
                                   cluster));
        std::memcpy(out.data(), cluster.data() + piece->withinCluster, out.size());
        break;
      }
    }
    at += piece->length;
  }
  return walk;
}

// The whole source in reads of `chunk` bytes, which cross cluster
// boundaries at odd places.
std::vector<std::byte> ReadAll(BlockDeviceSource& source, std::size_t chunk) {
  std::vector<std::byte> bytes(source.LengthBytes());
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    const std::size_t take = std::min(chunk, bytes.size() - at);
    auto read = source.ReadAt(at, std::span(bytes).subspan(at, take));
    EXPECT_TRUE(read.has_value()) << "at " << at << ": " << read.error().message;
  }
  return bytes;
}

class SparseImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Shell("command -v qemu-img >/dev/null 2>&1 && command -v qemu-io >/dev/null 2>&1")) {
      GTEST_SKIP() << "qemu-img or qemu-io missing (scripts/install-deps installs qemu-utils)";
    }
    // Random runs between zero runs, so the images have holes.
    raw.assign(kRawBytes, std::byte{0});
    std::mt19937 random(7);
    for (std::size_t at = 0; at < raw.size(); at += kRun) {
      if ((at / kRun) % 3 == 1) continue;
      for (std::size_t i = at; i < at + kRun; ++i) raw[i] = std::byte(random() & 0xff);
    }
    testing::WriteFile(dir / "disk.raw", raw);
  }

  fs::path Convert(const std::string& options, const std::string& name) {
    const fs::path out = dir / name;
    EXPECT_TRUE(Shell(fmt::format("qemu-img convert -q -f raw {} {} {}", options,
                                  (dir / "disk.raw").string(), out.string())));
    return out;
  }

  testing::TempDir dir;
  std::vector<std::byte> raw;
};

struct OwnCase {
  const char* name;
  const char* options;
  const char* file;
  bool qcow;
  bool holes;  // clusters small enough that the zero runs leave holes
};

const OwnCase kOwnCases[] = {
    {"qcow2 v2", "-O qcow2 -o compat=0.10", "v2.qcow2", true, true},
    {"qcow2 v3", "-O qcow2 -o compat=1.1", "v3.qcow2", true, true},
    {"qcow2 v3, 4 KiB clusters", "-O qcow2 -o compat=1.1,cluster_size=4096", "small.qcow2", true,
     true},
    {"qcow2 v2, 2 MiB clusters", "-O qcow2 -o compat=0.10,cluster_size=2M", "large.qcow2", true,
     false},
    {"vmdk monolithicSparse", "-O vmdk -o subformat=monolithicSparse", "disk.vmdk", false, true},
};

std::expected<std::unique_ptr<BlockDeviceSource>, Error> Open(const OwnCase& c,
                                                              const fs::path& path,
                                                              ImageDecoder decoder) {
  return c.qcow ? OpenQcowImage(path.string(), decoder) : OpenVmdkImage(path.string(), decoder);
}

TEST_F(SparseImages, OwnDecoderGivesTheLibrarysAndTheRawDisksBytes) {
  for (const auto& c : kOwnCases) {
    SCOPED_TRACE(c.name);
    const fs::path path = Convert(c.options, c.file);
    const auto file = testing::ReadFile(path);

    // The decoder alone takes the image and finds every byte, holes as holes.
    auto map = c.qcow ? MakeQcowMap(MemoryReader(file), file.size())
                      : MakeVmdkSparseMap(MemoryReader(file), file.size());
    ASSERT_TRUE(map.has_value()) << map.error();
    ASSERT_NE(*map, nullptr);
    ASSERT_EQ((*map)->VirtualSize(), raw.size());
    const Walk walk = WalkMap(**map, file);
    EXPECT_TRUE(walk.bytes == raw);
    EXPECT_GT(walk.data, 0u);
    EXPECT_EQ(walk.zero > 0, c.holes);
    EXPECT_EQ(walk.fallback, 0u);

    // Through the source, in reads that do not line up with clusters.
    auto own = Open(c, path, ImageDecoder::kOwn);
    auto library = Open(c, path, ImageDecoder::kLibraryOnly);
    ASSERT_TRUE(own.has_value()) << own.error().message;
    ASSERT_TRUE(library.has_value()) << library.error().message;
    EXPECT_EQ((*own)->Describe().productId, (*library)->Describe().productId);
    EXPECT_EQ((*own)->Describe().path, path.string());
    EXPECT_EQ((*own)->LengthBytes(), (*library)->LengthBytes());
    for (const std::size_t chunk : {std::size_t{512}, std::size_t{12345}, std::size_t{1} << 20}) {
      SCOPED_TRACE(chunk);
      const auto ownBytes = ReadAll(**own, chunk);
      EXPECT_TRUE(ownBytes == raw);
      EXPECT_TRUE(ownBytes == ReadAll(**library, chunk));
    }
    std::vector<std::byte> sector(kSectorSize);
    EXPECT_FALSE((*own)->ReadAt(raw.size(), sector).has_value());
    EXPECT_FALSE((*own)->ReadAt(raw.size() - 256, sector).has_value());
  }
}

// Compressed qcow2 clusters are decompressed by our decoder; a
// streamOptimized VMDK goes to the library whole.
TEST_F(SparseImages, CompressedClustersAreOursAndStreamOptimizedImagesGoThroughTheLibrary) {
  // Random data does not compress, and QEMU then stores clusters as they
  // are; every other 64 KiB of this disk compresses.
  for (std::size_t at = 0; at < raw.size(); at += 2 * 65536) {
    for (std::size_t i = at; i < at + 65536; ++i) raw[i] = std::byte((i / 512) & 0xff);
  }
  testing::WriteFile(dir / "disk.raw", raw);
  const fs::path compressed = Convert("-O qcow2 -c", "packed.qcow2");
  const auto file = testing::ReadFile(compressed);
  auto map = MakeQcowMap(MemoryReader(file), file.size());
  ASSERT_TRUE(map.has_value() && *map != nullptr);
  const Walk walk = WalkMap(**map, file);
  EXPECT_GT(walk.compressed, 0u);
  EXPECT_GT(walk.data, 0u);
  EXPECT_EQ(walk.fallback, 0u);
  EXPECT_TRUE(walk.bytes == raw);
  auto packed = OpenImageFile(compressed.string());
  ASSERT_TRUE(packed.has_value()) << packed.error().message;
  EXPECT_TRUE(ReadAll(**packed, 7 * 4096 + 512) == raw);

  const fs::path stream = Convert("-O vmdk -o subformat=streamOptimized", "stream.vmdk");
  const auto streamFile = testing::ReadFile(stream);
  auto streamMap = MakeVmdkSparseMap(MemoryReader(streamFile), streamFile.size());
  ASSERT_TRUE(streamMap.has_value()) << streamMap.error();
  EXPECT_EQ(*streamMap, nullptr);
  auto streamed = OpenImageFile(stream.string());
  ASSERT_TRUE(streamed.has_value()) << streamed.error().message;
  EXPECT_TRUE(ReadAll(**streamed, 65536) == raw);
}

// An overlay's unallocated clusters come from its backing file; its own
// clusters and its zero clusters from its own tables. (The
// library alone reads this overlay's zero cluster differently from QEMU,
// so the disk QEMU itself converts the overlay to is the reference.)
TEST_F(SparseImages, AnOverlayMixesItsOwnClustersWithItsBackingFile) {
  Convert("-O qcow2 -o compat=1.1", "base.qcow2");
  const fs::path overlay = dir / "overlay.qcow2";
  ASSERT_TRUE(Shell(
      fmt::format("qemu-img create -q -f qcow2 -F qcow2 -b base.qcow2 {}", overlay.string())));
  ASSERT_TRUE(Shell(fmt::format(
      "qemu-io -f qcow2 -c 'write -q -P 0xab 1M 64k' -c 'write -q -z 0 64k' {} >/dev/null",
      overlay.string())));
  auto expected = raw;
  std::fill_n(expected.begin() + (1 << 20), 65536, std::byte{0xab});
  std::fill_n(expected.begin(), 65536, std::byte{0});

  const auto file = testing::ReadFile(overlay);
  auto map = MakeQcowMap(MemoryReader(file), file.size());
  ASSERT_TRUE(map.has_value() && *map != nullptr);
  const Walk walk = WalkMap(**map, file);
  EXPECT_GT(walk.data, 0u);
  EXPECT_GT(walk.zero, 0u);
  EXPECT_GT(walk.fallback, 0u);

  ASSERT_TRUE(Shell(fmt::format("qemu-img convert -q -O raw {} {}", overlay.string(),
                                (dir / "merged.raw").string())));
  ASSERT_TRUE(testing::ReadFile(dir / "merged.raw") == expected);
  auto own = OpenImageFile(overlay.string());
  ASSERT_TRUE(own.has_value()) << own.error().message;
  EXPECT_TRUE(ReadAll(**own, 40000) == expected);
}

// A chain of three files is followed to its end by either decoder, and
// one backing file that needs the library (qcow version 1) sends the whole
// chain to it; each way the chain can go wrong is refused in one line that
// names the file.
TEST_F(SparseImages, BackingChainsAreWalkedAloneByEitherDecoder) {
  const auto qemu = [&](const std::string& command) {
    EXPECT_TRUE(Shell(fmt::format("cd {} && {} >/dev/null", dir.Path().string(), command)))
        << command;
  };
  const auto overlay = [&](const std::string& name, const std::string& backing,
                           const std::string& format, const std::string& writes) {
    // Unsafe: the backing file is not opened, so that it may be missing.
    qemu(fmt::format("qemu-img create -q -u -f qcow2 -F {} -b {} {} 4M", format, backing, name));
    if (!writes.empty()) qemu(fmt::format("qemu-io -f qcow2 {} {}", writes, name));
    return dir / name;
  };
  auto expected = raw;
  std::fill_n(expected.begin() + (1 << 20), 65536, std::byte{0xab});
  std::fill_n(expected.begin() + (2 << 20), 4096, std::byte{0xcd});
  std::fill_n(expected.begin() + (2 << 20) + 512, 512, std::byte{0xef});

  Convert("-O qcow2 -o compat=0.10", "base.qcow2");
  overlay("middle.qcow2", "base.qcow2", "qcow2", "-c 'write -q -P 0xab 1M 64k'");
  const fs::path top = overlay("top.qcow2", "middle.qcow2", "qcow2",
                               "-c 'write -q -P 0xcd 2M 4k' -c 'write -q -P 0xef 2097664 512'");
  Convert("-O qcow", "old.qcow");
  overlay("old-middle.qcow2", "old.qcow", "qcow", "-c 'write -q -P 0xab 1M 64k'");
  const fs::path oldTop = overlay("old-top.qcow2", "old-middle.qcow2", "qcow2",
                                  "-c 'write -q -P 0xcd 2M 4k' -c 'write -q -P 0xef 2097664 512'");
  for (const fs::path& image : {top, oldTop}) {
    for (const ImageDecoder decoder : {ImageDecoder::kOwn, ImageDecoder::kLibraryOnly}) {
      SCOPED_TRACE(image.filename().string() +
                   (decoder == ImageDecoder::kOwn ? " own" : " library"));
      auto source = OpenQcowImage(image.string(), decoder);
      ASSERT_TRUE(source.has_value()) << source.error().message;
      EXPECT_EQ((*source)->Describe().path, image.string());
      // Reads that cross from clusters a file leaves to its backing file
      // into its own ones.
      EXPECT_TRUE(ReadAll(**source, 12345) == expected);
    }
  }

  struct Refusal {
    const char* what;
    fs::path image;
    const char* mention;
  };
  fs::create_directory(dir / "inner");
  std::vector<Refusal> refusals = {
      {"a raw backing file", overlay("on-raw.qcow2", "disk.raw", "raw", ""),
       "its backing file disk.raw is not a qcow image"},
      {"a missing backing file", overlay("orphan.qcow2", "gone.qcow2", "qcow2", ""),
       "its backing file gone.qcow2 is missing"},
      {"a backing file outside the folder",
       overlay("inner/escape.qcow2", "../base.qcow2", "qcow2", ""),
       "its backing file ../base.qcow2 is not read"},
      {"a chain that comes back to its start",
       (overlay("loop-b.qcow2", "loop-a.qcow2", "qcow2", ""),
        overlay("loop-a.qcow2", "loop-b.qcow2", "qcow2", "")),
       "the qcow image is damaged or incomplete"},
  };
  const fs::path fifoBacked = overlay("on-fifo.qcow2", "gone-fifo.qcow2", "qcow2", "");
  ASSERT_EQ(::mkfifo((dir / "gone-fifo.qcow2").c_str(), 0644), 0);
  refusals.push_back({"a FIFO as backing file", fifoBacked, "gone-fifo.qcow2"});
  for (const auto& refusal : refusals) {
    for (const ImageDecoder decoder : {ImageDecoder::kOwn, ImageDecoder::kLibraryOnly}) {
      SCOPED_TRACE(std::string(refusal.what) +
                   (decoder == ImageDecoder::kOwn ? " own" : " library"));
      auto source = OpenQcowImage(refusal.image.string(), decoder);
      ASSERT_FALSE(source.has_value());
      EXPECT_THAT(source.error().message, HasSubstr(refusal.mention));
      EXPECT_THAT(source.error().message, Not(HasSubstr("\n")));
    }
  }
}

// A grain table entry pointing past the end of the file, and a file cut
// short: the grains they cover are unreadable sectors, named with the file;
// every other sector reads as it should.
TEST_F(SparseImages, DamagedGrainsAreUnreadableSectorsOfTheirOwn) {
  const fs::path path = Convert("-O vmdk -o subformat=monolithicSparse", "damaged.vmdk");
  auto file = testing::ReadFile(path);
  const auto le32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, file.data() + at, 4);
    return v;
  };
  std::uint64_t directory = 0;
  std::memcpy(&directory, file.data() + 56, 8);
  const std::size_t table = std::size_t{le32(directory * 512)} * 512;
  ASSERT_NE(le32(table), 0u);  // the first grain holds random data
  const std::uint32_t outside = 0x00ffff00;
  std::memcpy(file.data() + table, &outside, 4);
  // And the file loses its last 64 KiB grain.
  file.resize(file.size() - 65536);
  testing::WriteFile(path, file);

  auto source = OpenImageFile(path.string());
  ASSERT_TRUE(source.has_value()) << source.error().message;
  std::vector<std::byte> grain(65536);
  auto failed = (*source)->ReadAt(0, grain);
  ASSERT_FALSE(failed.has_value());
  EXPECT_THAT(failed.error().message, HasSubstr(path.string()));
  EXPECT_THAT(failed.error().message, HasSubstr("a grain lies outside the file"));  // ours
  EXPECT_THAT(failed.error().message, Not(HasSubstr("\n")));

  RecoverySettings settings;
  DriveTable drives(settings);
  drives.EnumerateDrives(
      MakeFixedProvider({std::shared_ptr<BlockDeviceSource>(std::move(*source))}));
  ASSERT_TRUE(drives.OpenCurrentDrive());
  std::vector<std::byte> bytes(raw.size());
  for (std::uint64_t sector = 0; sector < raw.size() / kSectorSize; sector += 64) {
    (void)drives.ReadSectors(sector, 64, std::span(bytes).subspan(sector * kSectorSize, 64 * 512));
  }
  const auto bad = drives.BadSectors().Sectors();
  ASSERT_FALSE(bad.empty());
  EXPECT_TRUE(std::ranges::binary_search(bad, 0u));
  std::size_t differing = 0;
  for (std::size_t s = 0; s < raw.size() / kSectorSize; ++s) {
    const bool same = std::equal(raw.begin() + s * kSectorSize, raw.begin() + (s + 1) * kSectorSize,
                                 bytes.begin() + s * kSectorSize);
    if (std::ranges::binary_search(bad, s)) {
      EXPECT_TRUE(testing::AllZero(std::span(bytes).subspan(s * kSectorSize, kSectorSize)));
    } else {
      EXPECT_TRUE(same) << "sector " << s << " differs but was not reported";
      differing += same ? 0 : 1;
    }
  }
  EXPECT_EQ(differing, 0u);
}

TEST(TableCache, KeepsTheMostRecentlyUsedTablesWithinItsBudget) {
  TableCache cache(2 * 8 * 4, 4);  // two tables of four entries
  cache.Insert(1, {1, 1, 1, 1});
  cache.Insert(2, {2, 2, 2, 2});
  ASSERT_NE(cache.Find(1), nullptr);  // 1 is now the most recent
  cache.Insert(3, {3, 3, 3, 3});
  EXPECT_EQ(cache.Find(2), nullptr);
  ASSERT_NE(cache.Find(1), nullptr);
  ASSERT_NE(cache.Find(3), nullptr);
  EXPECT_EQ((*cache.Find(3))[0], 3u);
}

// Headers made by hand, each with one figure wrong: the decoders refuse
// them with a reason, or leave them to the library, and never read past
// the file.
void PutBe(std::vector<std::byte>& b, std::size_t at, std::size_t width, std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) b[at + width - 1 - i] = std::byte((v >> (8 * i)) & 0xff);
}
void PutLe(std::vector<std::byte>& b, std::size_t at, std::size_t width, std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = std::byte((v >> (8 * i)) & 0xff);
}

std::vector<std::byte> QcowHeader() {
  std::vector<std::byte> b(3 * 4096);
  PutBe(b, 0, 4, 0x514649fb);
  PutBe(b, 4, 4, 3);
  PutBe(b, 20, 4, 12);       // 4 KiB clusters
  PutBe(b, 24, 8, 1 << 20);  // 1 MiB disk: one L2 table
  PutBe(b, 36, 4, 1);
  PutBe(b, 40, 8, 4096);  // L1 table
  PutBe(b, 100, 4, 104);
  PutBe(b, 4096, 8, 8192);  // L2 table at 8192, all unallocated
  return b;
}

std::vector<std::byte> VmdkHeader() {
  std::vector<std::byte> b(4 * 512);
  PutLe(b, 0, 4, 0x564d444b);
  PutLe(b, 4, 4, 1);
  PutLe(b, 12, 8, 1024);  // 512 KiB disk
  PutLe(b, 20, 8, 128);   // 64 KiB grains
  PutLe(b, 44, 4, 8);     // 8 per table: one table
  PutLe(b, 56, 8, 1);     // directory at sector 1
  PutLe(b, 512, 4, 2);    // the table at sector 2, all holes
  return b;
}

TEST(OwnDecoders, HandMadeHeadersAreCheckedFigureByFigure) {
  {
    auto good = QcowHeader();
    auto map = MakeQcowMap(MemoryReader(good), good.size());
    ASSERT_TRUE(map.has_value() && *map != nullptr) << (map ? "" : map.error());
    const auto piece = (*map)->Map((1 << 20) - 1);
    ASSERT_TRUE(piece.has_value());
    EXPECT_EQ(piece->kind, ImagePiece::Kind::kZero);
    EXPECT_EQ(piece->length, 1u);
  }
  struct Patch {
    const char* what;
    std::size_t at;
    std::size_t width;
    std::uint64_t value;
    bool refused;  // else left to the library
  };
  const Patch qcowPatches[] = {
      {"version 1", 4, 4, 1, false},
      {"encrypted", 32, 4, 1, false},
      {"external data file", 72, 8, 4, false},
      {"cluster bits 30", 20, 4, 30, true},
      {"cluster bits 8", 20, 4, 8, true},
      {"L1 past the end", 40, 8, 1ull << 40, true},
      {"L1 misaligned", 40, 8, 4100, true},
      {"L1 too short", 36, 4, 0, true},
      {"disk of 2^60 bytes", 24, 8, 1ull << 60, true},
  };
  for (const auto& patch : qcowPatches) {
    SCOPED_TRACE(patch.what);
    auto bytes = QcowHeader();
    PutBe(bytes, patch.at, patch.width, patch.value);
    auto map = MakeQcowMap(MemoryReader(bytes), bytes.size());
    if (patch.refused) {
      EXPECT_FALSE(map.has_value());
    } else {
      ASSERT_TRUE(map.has_value());
      EXPECT_EQ(*map, nullptr);
    }
  }
  // An L2 table or cluster outside the file fails the read there only.
  {
    auto bytes = QcowHeader();
    PutBe(bytes, 8192, 8, 1ull << 40);  // cluster 0 far away
    PutBe(bytes, 8200, 8, 4096 + 512);  // cluster 1 misaligned
    auto map = MakeQcowMap(MemoryReader(bytes), bytes.size());
    ASSERT_TRUE(map.has_value() && *map != nullptr);
    EXPECT_FALSE((*map)->Map(0).has_value());
    EXPECT_FALSE((*map)->Map(4096).has_value());
    EXPECT_TRUE((*map)->Map(8192).has_value());
    PutBe(bytes, 4096, 8, 1ull << 40);  // the L2 table far away
    map = MakeQcowMap(MemoryReader(bytes), bytes.size());
    ASSERT_TRUE(map.has_value() && *map != nullptr);
    EXPECT_FALSE((*map)->Map(0).has_value());
  }

  {
    auto good = VmdkHeader();
    auto map = MakeVmdkSparseMap(MemoryReader(good), good.size());
    ASSERT_TRUE(map.has_value() && *map != nullptr) << (map ? "" : map.error());
    EXPECT_EQ((*map)->VirtualSize(), 512u * 1024);
  }
  const Patch vmdkPatches[] = {
      {"compressed grains", 8, 4, 1u << 16, false},
      {"markers", 8, 4, 1u << 17, false},
      {"directory at the end", 56, 8, ~0ull, false},
      {"version 4", 4, 4, 4, false},
      {"grain of 3 sectors", 20, 8, 3, true},
      {"grain of 0 sectors", 20, 8, 0, true},
      {"no table entries", 44, 4, 0, true},
      {"capacity of 2^60 sectors", 12, 8, 1ull << 60, true},
      {"directory past the end", 56, 8, 1ull << 50, true},
      {"table past the end", 512, 4, 0xffffffff, true},
  };
  for (const auto& patch : vmdkPatches) {
    SCOPED_TRACE(patch.what);
    auto bytes = VmdkHeader();
    PutLe(bytes, patch.at, patch.width, patch.value);
    auto map = MakeVmdkSparseMap(MemoryReader(bytes), bytes.size());
    if (patch.refused) {
      EXPECT_FALSE(map.has_value());
    } else {
      ASSERT_TRUE(map.has_value());
      EXPECT_EQ(*map, nullptr);
    }
  }
}

}  // namespace
}  // namespace tolvar
