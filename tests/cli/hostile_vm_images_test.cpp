// Virtual-machine images that name files outside their folder, carry
// size fields no writer makes, are cut short, or hold grains and blocks that
// cannot be read: each made with qemu-img from a small sample disk and then
// changed in one place, and run through `scan` and `recover`. The test runner
// gives each case a time limit, so a stall fails the case.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/hostile_images.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The place in a stream-optimized VMDK where the grain holding `sector`
// is: the offset of its grain-table entry and of the grain itself.
struct GrainPlace {
  std::uint64_t tableEntry = 0;
  std::uint64_t grain = 0;
};

GrainPlace FindStreamGrain(const std::string& file, std::uint64_t sector) {
  // The header gives the grain directory, or leaves it to the footer, a
  // copy of the header 1 KiB before the end.
  const std::uint64_t header = GetLe(file, 56, 8) == ~std::uint64_t{0} ? file.size() - 1024 : 0;
  const std::uint64_t grainSectors = GetLe(file, header + 20, 8);
  const std::uint64_t perTable = GetLe(file, header + 44, 4);
  const std::uint64_t directory = GetLe(file, header + 56, 8) * 512;
  const std::uint64_t grain = sector / grainSectors;
  const std::uint64_t table = GetLe(file, directory + grain / perTable * 4, 4) * 512;
  const std::uint64_t entry = table + grain % perTable * 4;
  return {entry, GetLe(file, entry, 4) * 512};
}

// Sets the block-table entry of the VHDX block holding `sector` to `state`
// (the images are made with 1 MiB blocks, so no sector-bitmap entry comes
// before it).
void SetVhdxBlockState(std::string& file, std::uint64_t sector, std::uint64_t state) {
  const std::uint64_t regions = 192u << 10;
  const unsigned char batGuid[] = {0x66, 0x77, 0xc2, 0x2d, 0x23, 0xf6, 0x00, 0x42};
  for (std::uint64_t i = 0; i < GetLe(file, regions + 8, 4); ++i) {
    const std::uint64_t at = regions + 16 + i * 32;
    if (file.compare(at, 8, reinterpret_cast<const char*>(batGuid), 8) != 0) continue;
    const std::uint64_t entry = GetLe(file, at + 16, 8) + sector / 2048 * 8;
    PutLe(file, entry, 8, (GetLe(file, entry, 8) & ~std::uint64_t{7}) | state);
    return;
  }
  ADD_FAILURE() << "no block table found";
}

enum class Outcome {
  kRefused,     // scan and recover: one line on stderr, exit status 2
  kSameAsRaw,   // the files recover as from the raw image
  kUnreadable,  // the file over the damage is recovered as damaged
};

struct Case {
  const char* name;
  // Makes the image in `folder` from the raw image; returns its path.
  std::function<fs::path(const fs::path& folder, const std::string& raw, std::uint64_t dataSector)>
      make;
  Outcome outcome;
  std::vector<std::string> needles;         // in the refusal line
  std::vector<std::string> extraArgs = {};  // relative to the case's folder
};

fs::path Convert(const std::string& raw, const fs::path& out, const std::string& options) {
  const std::string command =
      fmt::format("qemu-img convert -q -f raw {} {} {}", options, raw, out.string());
  EXPECT_TRUE(Shell(command)) << command;
  return out;
}

fs::path FlatVmdk(const fs::path& folder, const std::string& raw) {
  return Convert(raw, folder / "flat.vmdk", "-O vmdk -o subformat=monolithicFlat");
}

// A flat VMDK whose descriptor names `name` for its extent.
fs::path FlatVmdkNaming(const fs::path& folder, const std::string& raw, const std::string& name) {
  return Patched(FlatVmdk(folder, raw), [&](std::string& bytes) {
    bytes = Replace(bytes, "\"flat-flat.vmdk\"", "\"" + name + "\"");
  });
}

// A flat VMDK whose extent file is gone; `replacement` may put something
// else in its place.
fs::path FlatVmdkWithoutItsExtent(const fs::path& folder, const std::string& raw,
                                  const std::function<void(const fs::path&)>& replacement = {}) {
  const fs::path image = FlatVmdk(folder, raw);
  fs::remove(folder / "flat-flat.vmdk");
  if (replacement) replacement(folder / "flat-flat.vmdk");
  return image;
}

// A flat VMDK in folder/image whose extent is a link to a file in
// folder/elsewhere.
fs::path FlatVmdkLinkedElsewhere(const fs::path& f, const std::string& raw) {
  const fs::path image = FlatVmdk(f, raw);
  fs::create_directory(f / "elsewhere");
  fs::rename(f / "flat-flat.vmdk", f / "elsewhere" / "data.bin");
  fs::create_directory(f / "image");
  fs::rename(image, f / "image" / "flat.vmdk");
  fs::create_symlink(f / "elsewhere" / "data.bin", f / "image" / "flat-flat.vmdk");
  return f / "image" / "flat.vmdk";
}

fs::path WithField(const fs::path& image, std::uint64_t at, int width, std::uint64_t value) {
  return Patched(image, [&](std::string& bytes) { PutLe(bytes, at, width, value); });
}

// Keeps `percent` of the image's bytes, in whole sectors.
fs::path Cut(const fs::path& image, std::uint64_t percent) {
  fs::resize_file(image, fs::file_size(image) * percent / 100 / 512 * 512);
  return image;
}

fs::path Stream(const fs::path& folder, const std::string& raw) {
  return Convert(raw, folder / "stream.vmdk", "-O vmdk -o subformat=streamOptimized");
}

// A qcow2 overlay in folder/overlay over folder/base/base.qcow2, named
// relative to the overlay as ../base/base.qcow2.
fs::path OverlayOverAnotherFolder(const fs::path& f, const std::string& raw) {
  fs::create_directory(f / "base");
  fs::create_directory(f / "overlay");
  Convert(raw, f / "base" / "base.qcow2", "-O qcow2");
  EXPECT_TRUE(
      Shell(fmt::format("cd {} && qemu-img create -q -f qcow2 -F qcow2 -b "
                        "../base/base.qcow2 over.qcow2 >/dev/null",
                        (f / "overlay").string())));
  return f / "overlay" / "over.qcow2";
}

fs::path Vhdx(const fs::path& folder, const std::string& raw, std::uint64_t sector,
              std::uint64_t state) {
  return Patched(Convert(raw, folder / "disk.vhdx", "-O vhdx -o block_size=1M"),
                 [&](std::string& bytes) { SetVhdxBlockState(bytes, sector, state); });
}

// A stream-optimized VMDK with the grain holding `sector` changed.
fs::path StreamWithGrain(const fs::path& folder, const std::string& raw, std::uint64_t sector,
                         const std::function<void(std::string&, const GrainPlace&)>& change) {
  return Patched(Stream(folder, raw),
                 [&](std::string& bytes) { change(bytes, FindStreamGrain(bytes, sector)); });
}

void PutBe(std::string& bytes, std::uint64_t at, int width, std::uint64_t value) {
  for (int i = 0; i < width; ++i) {
    bytes[at + width - 1 - i] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

// A VHD made from the raw image with one change made by `change` to its
// bytes; `dynamicHeader` is where the dynamic-disk header is (0 for a fixed
// disk).
fs::path VhdChanged(
    const fs::path& folder, const std::string& raw, const std::string& subformat,
    const std::function<void(std::string& bytes, std::uint64_t dynamicHeader)>& change) {
  return Patched(
      Convert(raw, folder / (subformat + ".vhd"), "-O vpc -o subformat=" + subformat),
      [&](std::string& bytes) { change(bytes, subformat == "fixed" ? 0 : GetBe(bytes, 16, 8)); });
}

// An older ESX sparse extent ("COWD") holding the raw image in grains of
// `grainSectors`, every grain allocated, and a descriptor naming it; the
// descriptor's path. Change the extent's fields through `folder / "disk.cowd"`.
fs::path Cowd(const fs::path& folder, const std::string& raw, std::uint64_t grainSectors) {
  const std::string data = Slurp(raw);
  const std::uint64_t sectors = data.size() / 512;
  const std::uint64_t perTable = 4096;
  const std::uint64_t grains = (sectors + grainSectors - 1) / grainSectors;
  const std::uint64_t tables = (grains + perTable - 1) / perTable;
  const std::uint64_t directorySector = 4;
  const std::uint64_t firstTable = directorySector + (tables * 4 + 511) / 512;
  const std::uint64_t firstGrain = firstTable + tables * perTable * 4 / 512;
  std::string bytes((firstGrain + grains * grainSectors) * 512, '\0');
  bytes.replace(0, 4, "COWD");
  PutLe(bytes, 4, 4, 1);
  PutLe(bytes, 8, 4, 3);
  PutLe(bytes, 12, 4, sectors);
  PutLe(bytes, 16, 4, grainSectors);
  PutLe(bytes, 20, 4, directorySector);
  PutLe(bytes, 24, 4, tables);
  PutLe(bytes, 28, 4, bytes.size() / 512);
  for (std::uint64_t t = 0; t < tables; ++t) {
    PutLe(bytes, directorySector * 512 + t * 4, 4, firstTable + t * perTable * 4 / 512);
  }
  for (std::uint64_t g = 0; g < grains; ++g) {
    const std::uint64_t sector = firstGrain + g * grainSectors;
    PutLe(bytes, firstTable * 512 + g * 4, 4, sector);
    const std::uint64_t from = g * grainSectors * 512;
    bytes.replace(sector * 512, std::min<std::uint64_t>(grainSectors * 512, data.size() - from),
                  data, from, grainSectors * 512);
  }
  WriteWhole(folder / "disk.cowd", bytes);
  const fs::path descriptor = folder / "cowd.vmdk";
  WriteWhole(descriptor, fmt::format("# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
                                     "parentCID=ffffffff\ncreateType=\"vmfsSparse\"\n\n"
                                     "# Extent description\nRW {} VMFSSPARSE \"disk.cowd\"\n\n"
                                     "# The Disk Data Base\n#DDB\n\nddb.adapterType = \"ide\"\n",
                                     sectors));
  return descriptor;
}

// Cowd's image with one header or table field of the extent changed.
fs::path CowdWithField(const fs::path& folder, const std::string& raw, std::uint64_t grainSectors,
                       std::uint64_t at, int width, std::uint64_t value) {
  const fs::path descriptor = Cowd(folder, raw, grainSectors);
  WithField(folder / "disk.cowd", at, width, value);
  return descriptor;
}

const Case kCases[] = {
    // Names written inside an image lead only to regular files of its folder.
    {"ExtentNameClimbingOut",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkNaming(f, raw, "../../../../../../etc/passwd");
     },
     Outcome::kRefused,
     {"../../../../../../etc/passwd", "outside", "--image-dir"}},
    {"ExtentNamingProcMem",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkNaming(f, raw, "/proc/self/mem");
     },
     Outcome::kRefused,
     {"/proc/self/mem", "--image-dir"}},
    {"ExtentLinkToADevice",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       fs::create_symlink("/dev/zero", f / "zero.vmdk");
       return FlatVmdkNaming(f, raw, "zero.vmdk");
     },
     Outcome::kRefused,
     {"zero.vmdk", "/dev/zero", "--image-dir"}},
    {"ExtentIsAFifo",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkWithoutItsExtent(
           f, raw, [](const fs::path& extent) { EXPECT_EQ(::mkfifo(extent.c_str(), 0600), 0); });
     },
     Outcome::kRefused,
     {"flat-flat.vmdk", "not a regular file"}},
    {"ExtentNameTooLongForTheLibrary",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkNaming(f, raw, std::string(5000, 'A'));
     },
     Outcome::kRefused,
     {"flat.vmdk", "too long"}},
    {"MissingExtentIsNamed",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkWithoutItsExtent(f, raw);
     },
     Outcome::kRefused,
     {"flat-flat.vmdk", "is missing", "--image-dir"}},
    {"ExtentLinkLeadingOutIsRefused",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkLinkedElsewhere(f, raw);
     },
     Outcome::kRefused,
     {"flat-flat.vmdk", "outside", "--image-dir"}},
    {"ExtentLinkIntoAnImageDirIsRead",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return FlatVmdkLinkedElsewhere(f, raw);
     },
     Outcome::kSameAsRaw,
     {},
     {"--image-dir", "elsewhere"}},
    {"FlatExtentCutShort",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       const fs::path image = FlatVmdk(f, raw);
       fs::resize_file(f / "flat-flat.vmdk", sector * 512);
       return image;
     },
     Outcome::kUnreadable,
     {}},
    {"SplitExtentsFoundInAnImageDir",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       const fs::path image =
           Convert(raw, f / "split.vmdk", "-O vmdk -o subformat=twoGbMaxExtentSparse");
       fs::create_directory(f / "extents");
       fs::rename(f / "split-s001.vmdk", f / "extents" / "split-s001.vmdk");
       return image;
     },
     Outcome::kSameAsRaw,
     {},
     {"--image-dir", "extents"}},
    {"BackingFileOutsideTheFolder",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return OverlayOverAnotherFolder(f, raw);
     },
     Outcome::kRefused,
     {"../base/base.qcow2", "outside", "--image-dir"}},
    {"BackingFileInAnImageDirIsRead",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return OverlayOverAnotherFolder(f, raw);
     },
     Outcome::kSameAsRaw,
     {},
     {"--image-dir", "base"}},

    // Size fields no writer makes, checked before any library sizes by them.
    {"SparseGrainOf64MiB",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return WithField(Convert(raw, f / "sparse.vmdk", "-O vmdk"), 20, 8, 0x20000);
     },
     Outcome::kRefused,
     {"sparse.vmdk", "grain size"}},
    {"SparseGrainOf128MiB",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return WithField(Convert(raw, f / "sparse.vmdk", "-O vmdk"), 20, 8, 0x40000);
     },
     Outcome::kRefused,
     {"sparse.vmdk", "grain size"}},
    {"SplitExtentGrainOf64MiB",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       const fs::path image =
           Convert(raw, f / "split.vmdk", "-O vmdk -o subformat=twoGbMaxExtentSparse");
       WithField(f / "split-s001.vmdk", 20, 8, 0x20000);
       return image;
     },
     Outcome::kRefused,
     {"split-s001.vmdk", "grain size"}},
    {"StreamWithOneEntryPerGrainTable",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return WithField(Stream(f, raw), 44, 4, 1);
     },
     Outcome::kRefused,
     {"stream.vmdk", "grain tables"}},
    {"StreamCutToHalf",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return Cut(Stream(f, raw), 50);
     },
     Outcome::kUnreadable,
     {}},
    {"StreamCutTo99Percent",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       // The lost tail holds only the volume's free blocks.
       return Cut(Stream(f, raw), 99);
     },
     Outcome::kSameAsRaw,
     {}},

    // Grains and blocks that cannot be read are unreadable sectors.
    {"StreamGrainPastTheEnd",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       return StreamWithGrain(f, raw, sector, [](std::string& bytes, const GrainPlace& place) {
         PutLe(bytes, place.tableEntry, 4, bytes.size() / 512 + 4096);
       });
     },
     Outcome::kUnreadable,
     {}},
    {"StreamGrainThatDoesNotDecompress",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       return StreamWithGrain(f, raw, sector, [](std::string& bytes, const GrainPlace& place) {
         // After the grain's marker (sector number and size), inside the
         // deflate stream.
         PutLe(bytes, place.grain + 12 + 40, 4, 0xdeadbeef);
         PutLe(bytes, place.grain + 12 + 400, 4, 0xdeadbeef);
       });
     },
     Outcome::kUnreadable,
     {}},
    {"VhdxBlockInAReservedState",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       return Vhdx(f, raw, sector, 4);
     },
     Outcome::kUnreadable,
     {}},
    {"VhdxBlockInTheUndefinedState",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       return Vhdx(f, raw, sector, 1);
     },
     Outcome::kUnreadable,
     {}},
    // VHD files are read by our own decoder, which checks the footer and
    // the dynamic-disk header with their checksums.
    {"VhdFixedFooterChecksumWrong",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return VhdChanged(f, raw, "fixed", [](std::string& bytes, std::uint64_t) {
         bytes[bytes.size() - 512 + 300] ^= 1;
       });
     },
     Outcome::kRefused,
     {"fixed.vhd", "footer's checksum is wrong"}},
    {"VhdDynamicFooterDamagedReadsFromItsCopy",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return VhdChanged(f, raw, "dynamic", [](std::string& bytes, std::uint64_t) {
         bytes[bytes.size() - 512 + 300] ^= 1;
       });
     },
     Outcome::kSameAsRaw,
     {}},
    {"VhdDynamicHeaderChecksumWrong",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return VhdChanged(f, raw, "dynamic", [](std::string& bytes, std::uint64_t header) {
         bytes[header + 900] ^= 1;
       });
     },
     Outcome::kRefused,
     {"dynamic.vhd", "dynamic-disk header's checksum is wrong"}},
    {"VhdBlockCutShortByTheEndOfTheFile",
     [](const fs::path& f, const std::string& raw, std::uint64_t sector) {
       // The block holding the sector moves to the end of the file, which
       // ends just before that sector: what comes before it still reads.
       return VhdChanged(f, raw, "dynamic", [sector](std::string& bytes, std::uint64_t header) {
         const std::uint64_t table = GetBe(bytes, header + 16, 8);
         const std::uint64_t blockBytes = GetBe(bytes, header + 32, 4);
         const std::uint64_t block = sector * 512 / blockBytes;
         const std::uint64_t bitmapBytes = (blockBytes / 512 / 8 + 511) / 512 * 512;
         const std::uint64_t at = GetBe(bytes, table + block * 4, 4) * 512;
         const std::string kept = bytes.substr(at, bitmapBytes + sector * 512 % blockBytes);
         bytes.resize(bytes.size() - 512);
         PutBe(bytes, table + block * 4, 4, bytes.size() / 512);
         bytes += kept;
       });
     },
     Outcome::kUnreadable,
     {}},
    {"VhdDynamicCutToHalf",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return Cut(VhdChanged(f, raw, "dynamic", [](std::string&, std::uint64_t) {}), 50);
     },
     Outcome::kUnreadable,
     {}},
    {"VhdxHeadersAndRegionTablesZeroed",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return Patched(
           Convert(raw, f / "disk.vhdx", "-O vhdx -o block_size=1M"),
           [](std::string& bytes) { std::fill_n(bytes.begin() + (64 << 10), 256 << 10, '\0'); });
     },
     Outcome::kRefused,
     {"disk.vhdx", "damaged"}},

    // Older ESX sparse extents are checked like the others.
    {"CowdIsRead",
     [](const fs::path& f, const std::string& raw, std::uint64_t) { return Cowd(f, raw, 16); },
     Outcome::kSameAsRaw,
     {}},
    {"CowdOnItsOwnIsSentToItsDescriptor",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       Cowd(f, raw, 16);
       return f / "disk.cowd";
     },
     Outcome::kRefused,
     {"disk.cowd", "open that .vmdk file instead"}},
    {"CowdOnItsOwnWithAGrainOf64MiB",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       Cowd(f, raw, 16);
       return WithField(f / "disk.cowd", 16, 4, 0x20000);
     },
     Outcome::kRefused,
     {"disk.cowd", "grain size"}},
    {"CowdGrainOf64MiB",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return CowdWithField(f, raw, 16, 16, 4, 0x20000);
     },
     Outcome::kRefused,
     {"disk.cowd", "grain size"}},
    {"CowdDirectoryShorterThanTheDisk",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return CowdWithField(f, raw, 1, 24, 4, 1);
     },
     Outcome::kRefused,
     {"disk.cowd", "grain directory is too short"}},
    {"CowdDirectoryPastTheEnd",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return CowdWithField(f, raw, 16, 20, 4, 0x7fffffff);
     },
     Outcome::kRefused,
     {"disk.cowd", "grain directory lies outside the file"}},
    {"CowdGrainTablePastTheEnd",
     [](const fs::path& f, const std::string& raw, std::uint64_t) {
       return CowdWithField(f, raw, 16, 4 * 512, 4, 0x7fffffff);
     },
     Outcome::kRefused,
     {"disk.cowd", "grain tables lies outside the file"}},
};

class HostileVmImages : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (!Shell("command -v qemu-img >/dev/null")) GTEST_SKIP() << "qemu-img missing";
    raw = (dir / "disk.img").string();
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription volume;
    volume.fs = imagekit::FsKind::kHtfs;
    volume.root = imagekit::Node::Folder(
        "", {imagekit::Node::File("readme.txt", "read me\n"),
             imagekit::Node::Filled("ledger.db", 2u << 20,
                                    imagekit::Fill{imagekit::Fill::Pattern::kRandom, 0, "", 3})});
    disk.volumes.push_back(volume);
    auto built = imagekit::BuildImage(disk, raw);
    ASSERT_TRUE(built.has_value()) << built.error().message;
    const auto& report = built->volumes[0];
    // Well inside the big file, past the volume's own tables.
    dataSector = report.SectorOfBlock(report.Find("/ledger.db")->dataBlocks[1500]);
  }

  TempDir dir;
  std::string raw;
  std::uint64_t dataSector = 0;
};

TEST_P(HostileVmImages, EndsWithTheRightOutcome) {
  const Case& c = GetParam();
  const fs::path folder = dir / "case";
  fs::create_directory(folder);
  const std::string image = c.make(folder, raw, dataSector).string();
  std::vector<std::string> extra;
  for (std::size_t i = 0; i < c.extraArgs.size(); ++i) {
    extra.push_back(i % 2 == 1 ? (folder / c.extraArgs[i]).string() : c.extraArgs[i]);
  }
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTolvar(args);
  };
  const fs::path out = dir / "out";
  const RunResult scan = run({"scan", "--quiet", image});
  const RunResult recover = run({"recover", "--quiet", image, "-v", "1", "-o", out.string()});
  for (const RunResult* result : {&scan, &recover}) {
    EXPECT_THAT(result->err, ::testing::Not(HasSubstr("Sanitizer"))) << result->err;
  }
  switch (c.outcome) {
    case Outcome::kRefused:
      for (const RunResult* result : {&scan, &recover}) {
        EXPECT_EQ(result->status, 2) << result->out << result->err;
        ASSERT_EQ(result->ErrLines().size(), 1u) << result->err;
        for (const auto& needle : c.needles) EXPECT_THAT(result->err, HasSubstr(needle));
      }
      break;
    case Outcome::kSameAsRaw: {
      EXPECT_EQ(scan.status, 0) << scan.err;
      EXPECT_EQ(recover.status, 0) << recover.err;
      const fs::path expected = dir / "expected";
      ASSERT_EQ(RunTolvar({"recover", "--quiet", raw, "-v", "1", "-o", expected.string()}).status,
                0);
      EXPECT_TRUE(RecoveredTree(out) == RecoveredTree(expected));
      break;
    }
    case Outcome::kUnreadable:
      EXPECT_EQ(scan.status, 0) << scan.err;
      EXPECT_EQ(recover.status, 1) << recover.out << recover.err;
      EXPECT_THAT(recover.out, HasSubstr("damaged: ledger.db (unreadable sectors"));
      EXPECT_EQ(Slurp(out / "readme.txt"), "read me\n");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileVmImages, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace tolvar::testing
