// qcow2 and E01 images made from a sample disk and then changed in one
// field, each run through `scan` and `recover`: every one ends, refused in
// one line naming what is wrong or read with its damage recorded as
// unreadable sectors, never as good data. The test runner's time limit
// catches a command that hangs.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/hostile_images.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::Node;
using ::testing::HasSubstr;

constexpr const char* kMarker = "a line of the notes that compresses well, over and over\n";

// A byte inside the notes' data, 128 KiB into the file: well past the
// volume's own structures, so damage there hits the notes alone.
std::uint64_t InsideTheNotes(const std::string& raw) {
  return Slurp(raw).find(kMarker) + 128 * 1024;
}

imagekit::DiskDescription SampleDisk() {
  imagekit::DiskDescription disk;
  disk.sizeBytes = 9u << 20;
  imagekit::VolumeDescription htfs;
  htfs.fs = imagekit::FsKind::kHtfs;
  htfs.root = Node::Folder(
      "", {Node::File("readme.txt", "read me\n"),
           Node::Filled("notes.txt", 192 * 1024, Fill{Fill::Pattern::kText, 0, kMarker, 0}),
           Node::Folder("data", {Node::Filled("ledger.db", 300 * 1024,
                                              Fill{Fill::Pattern::kRandom, 0, "", 3}),
                                 Node::Folder("old", {Node::File("1999.txt", "old\n")})})});
  imagekit::VolumeDescription eafs = htfs;
  eafs.fs = imagekit::FsKind::kEafs;
  disk.volumes = {htfs, eafs};
  return disk;
}

std::uint32_t Adler(const std::string& b, std::size_t at, std::size_t length) {
  return static_cast<std::uint32_t>(
      adler32(1, reinterpret_cast<const Bytef*>(b.data() + at), static_cast<uInt>(length)));
}

// The sections of an E01 segment: type -> offsets, in file order.
std::vector<std::pair<std::string, std::size_t>> Sections(const std::string& file) {
  std::vector<std::pair<std::string, std::size_t>> sections;
  for (std::size_t at = 13; at + 76 <= file.size();) {
    std::string type = file.substr(at, 16);
    type.resize(type.find('\0') == std::string::npos ? 16 : type.find('\0'));
    sections.emplace_back(type, at);
    const std::size_t next = GetLe(file, at + 16, 8);
    if (type == "next" || type == "done" || next <= at) break;
    at = next;
  }
  return sections;
}

std::size_t FirstSection(const std::string& file, const std::string& type) {
  for (const auto& [name, at] : Sections(file)) {
    if (name == type) return at;
  }
  ADD_FAILURE() << "no " << type << " section";
  return 0;
}

// Where an E01 set made by MakeE01 keeps the chunk holding virtual byte
// `offset`: its segment, and the table of that segment listing it.
struct ChunkSpot {
  fs::path segment;
  std::size_t table = 0;  // the table section's offset
  std::size_t index = 0;  // the chunk's entry in it
  std::size_t count = 0;  // entries in the table
};

ChunkSpot FindChunk(const fs::path& first, std::uint64_t offset) {
  const std::uint64_t chunk = offset / 32768;
  std::uint64_t counted = 0;
  for (int number = 1; number < 100; ++number) {
    const fs::path segment = first.parent_path() / fmt::format("case.E{:02}", number);
    const std::string file = Slurp(segment);
    for (const auto& [type, at] : Sections(file)) {
      if (type != "table") continue;
      const std::size_t count = GetLe(file, at + 76, 4);
      if (chunk < counted + count) return {segment, at, chunk - counted, count};
      counted += count;
    }
  }
  ADD_FAILURE() << "no table lists chunk " << chunk;
  return {};
}

RunResult RunLimited(const std::vector<std::string>& args) { return RunTolvar(args, 120); }

std::uint64_t UnreadableSectorsIn(const std::string& out) {
  std::smatch match;
  const std::regex count("([0-9]+) unreadable sectors");
  return std::regex_search(out, match, count) ? std::stoull(match[1]) : 0;
}

enum class Outcome {
  kRefused,     // one line naming what is wrong, status 2
  kUnreadable,  // read, with unreadable sectors recorded and files damaged
  kWhole,       // read whole, as the raw disk
};

class HostileImages : public ::testing::Test {
 public:
  void SetUp() override {
    if (!Shell("command -v qemu-img >/dev/null && command -v ewfacquire >/dev/null")) {
      GTEST_SKIP() << "qemu-img or ewfacquire missing (scripts/install-deps installs them)";
    }
    raw = (dir / "disk.img").string();
    auto built = imagekit::BuildImage(SampleDisk(), raw);
    ASSERT_TRUE(built.has_value()) << built.error().message;
  }

  std::string Make(const std::string& command) {
    EXPECT_TRUE(Shell(command)) << command;
    return command;
  }

  // An E01 set of 1 MiB segments, uncompressed: case.E01 ... case.E10.
  fs::path MakeE01(const std::string& name) {
    const fs::path folder = dir / name;
    fs::create_directories(folder);
    Make(fmt::format("ewfacquire -u -q -S 1048576 -t {}/case {} >/dev/null", folder.string(), raw));
    return folder / "case.E01";
  }

  fs::path MakeQcow(const std::string& name, const std::string& options) {
    const fs::path folder = dir / name;
    fs::create_directories(folder);
    const fs::path image = folder / "disk.qcow2";
    Make(fmt::format("qemu-img convert -q -f raw -O qcow2 {} {} {}", options, raw, image.string()));
    return image;
  }

  // overlay.qcow2 over a qcow2 image of the disk in folder `name`, of the
  // disk's size or of `size`.
  fs::path MakeOverlay(const std::string& name, const std::string& size = "") {
    const fs::path base = MakeQcow(name, "");
    const fs::path overlay = base.parent_path() / "overlay.qcow2";
    Make(fmt::format("qemu-img create -q -f qcow2 -F qcow2 -b disk.qcow2 {} {}", overlay.string(),
                     size));
    return overlay;
  }

  // An E01 set in folder `name` with the segment holding the chunk of the
  // notes changed by `change`, given where the chunk's table entry is.
  fs::path MakeE01WithNotesChunk(
      const std::string& name, const std::function<void(std::string&, const ChunkSpot&)>& change) {
    const fs::path image = MakeE01(name);
    const ChunkSpot spot = FindChunk(image, InsideTheNotes(raw));
    Patched(spot.segment, [&](std::string& file) { change(file, spot); });
    return image;
  }

  // An E01 set in folder `name` with its second segment's first "sectors"
  // section changed by `change`, given the section's offset.
  fs::path MakeE01WithSecondSectors(const std::string& name,
                                    const std::function<void(std::string&, std::size_t)>& change) {
    const fs::path image = MakeE01(name);
    Patched(image.parent_path() / "case.E02",
            [&](std::string& file) { change(file, FirstSection(file, "sectors")); });
    return image;
  }

  TempDir dir;
  std::string raw;
};

struct HostileCase {
  const char* name;
  std::function<fs::path(HostileImages&)> make;
  Outcome outcome;
  const char* mention;  // kRefused: what the line names
  std::vector<std::string> scanOptions;
};

TEST_F(HostileImages, EachEndsRefusedInOneLineOrWithItsDamageRecorded) {
  const auto whole =
      RunLimited({"recover", "--quiet", raw, "-v", "1", "-o", (dir / "raw").string()});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const auto expected = RecoveredTree(dir / "raw");
  ASSERT_EQ(expected.at("notes.txt").size(), 192u * 1024);

  const std::vector<HostileCase> cases = {
      {"qcow2 compressed cluster that does not decompress",
       [](HostileImages& t) {
         // A cluster of the notes: its deflate stream gets an invalid block
         // type in place of its first 4 bytes.
         return Patched(
             t.MakeQcow("compressed", "-c -o cluster_size=65536"), [&](std::string& file) {
               const std::uint64_t virt = InsideTheNotes(t.raw);
               const unsigned bits = static_cast<unsigned>(GetBe(file, 20, 4));
               const std::uint64_t l1 = GetBe(file, 40, 8);
               const std::uint64_t cluster = virt >> bits;
               const std::uint64_t l2 =
                   GetBe(file, l1 + 8 * (cluster >> (bits - 3)), 8) & 0x00ff'ffff'ffff'fe00ull;
               const std::uint64_t entry =
                   GetBe(file, l2 + 8 * (cluster & ((1u << (bits - 3)) - 1)), 8);
               EXPECT_NE(entry & (1ull << 62), 0u) << "the notes' cluster is not compressed";
               const std::uint64_t stored = entry & ((1ull << (62 - (bits - 8))) - 1);
               file.replace(stored, 4, "\x07\xff\xff\xff");
             });
       },
       Outcome::kUnreadable,
       "",
       {}},
      {"qcow2 overlay larger than its backing file",
       [](HostileImages& t) { return t.MakeOverlay("grown", "16M"); },
       Outcome::kWhole,
       "",
       {"--search", "0", "32768"}},
      {"qcow2 overlay whose backing file is cut to half",
       [](HostileImages& t) {
         const fs::path overlay = t.MakeOverlay("cut");
         const fs::path base = overlay.parent_path() / "disk.qcow2";
         fs::resize_file(base, fs::file_size(base) / 2);
         return overlay;
       },
       Outcome::kUnreadable,
       "",
       {}},
      {"qcow2 backing file name that is not UTF-8",
       [](HostileImages& t) {
         return Patched(t.MakeOverlay("name"), [](std::string& file) {
           file[GetBe(file, 8, 8) + 2] = '\xff';  // di\xffk.qcow2
         });
       },
       Outcome::kRefused,
       "di\\xFFk.qcow2",
       {}},
      {"E01 whose table entries point past the end of the file, checksum recomputed",
       [](HostileImages& t) {
         return t.MakeE01WithNotesChunk("entry", [](std::string& file, const ChunkSpot& spot) {
           // The first entry of the table listing a chunk of the notes, and
           // that chunk's own entry.
           for (const std::size_t index : {std::size_t{0}, spot.index}) {
             PutLe(file, spot.table + 100 + 4 * index, 4, 0x7fff'0000u);
           }
           PutLe(file, spot.table + 100 + 4 * spot.count, 4,
                 Adler(file, spot.table + 100, 4 * spot.count));
         });
       },
       Outcome::kUnreadable,
       "",
       {}},
      {"E01 whose chunk table is damaged where its copy is whole",
       [](HostileImages& t) {
         return t.MakeE01WithNotesChunk("copy", [](std::string& file, const ChunkSpot& spot) {
           PutLe(file, spot.table + 100 + 4 * spot.index, 4, 0x7fff'0000u);  // checksum left
         });
       },
       Outcome::kWhole,
       "",
       {}},
      {"E01 whose second segment is a FIFO",
       [](HostileImages& t) {
         const fs::path image = t.MakeE01("fifo");
         const fs::path second = image.parent_path() / "case.E02";
         fs::remove(second);
         EXPECT_EQ(::mkfifo(second.c_str(), 0644), 0);
         return image;
       },
       Outcome::kRefused,
       "case.E02",
       {}},
      {"E01 with a damaged section descriptor in its second segment",
       [](HostileImages& t) {
         return t.MakeE01WithSecondSectors(
             "descriptor", [](std::string& file, std::size_t sectors) {
               PutLe(file, sectors + 16, 8,
                     GetLe(file, sectors + 16, 8) + 32772);  // next, one chunk on
             });
       },
       Outcome::kRefused,
       "case.E02",
       {}},
      {"E01 whose second segment's sections disagree, checksum recomputed",
       [](HostileImages& t) {
         return t.MakeE01WithSecondSectors("disagree", [](std::string& file, std::size_t sectors) {
           PutLe(file, sectors + 24, 8,
                 GetLe(file, sectors + 24, 8) - 32772);  // size, one chunk less
           PutLe(file, sectors + 72, 4, Adler(file, sectors, 72));
         });
       },
       Outcome::kRefused,
       "case.E02",
       {}},
      {"E01 with a damaged chunk",
       [](HostileImages& t) {
         return t.MakeE01WithNotesChunk("chunk", [](std::string& file, const ChunkSpot& spot) {
           const std::size_t stored =
               GetLe(file, spot.table + 84, 8) +
               (GetLe(file, spot.table + 100 + 4 * spot.index, 4) & 0x7fff'ffff);
           for (std::size_t i = stored + 100; i < stored + 200; ++i) {
             file[i] = static_cast<char>(file[i] ^ 0x5a);
           }
         });
       },
       Outcome::kUnreadable,
       "",
       {}},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path image = c.make(*this);
    std::vector<std::string> scanArgs = {"scan", "--quiet", image.string()};
    scanArgs.insert(scanArgs.end(), c.scanOptions.begin(), c.scanOptions.end());
    const RunResult scan = RunLimited(scanArgs);
    const fs::path out = image.parent_path() / "recovered";
    const RunResult recover =
        RunLimited({"recover", "--quiet", image.string(), "-v", "1", "-o", out.string()});
    switch (c.outcome) {
      case Outcome::kRefused:
        for (const RunResult* run : {&scan, &recover}) {
          EXPECT_EQ(run->status, 2) << run->out << run->err;
          EXPECT_EQ(run->ErrLines().size(), 1u) << run->err;
          EXPECT_THAT(run->err, HasSubstr(c.mention));
        }
        break;
      case Outcome::kUnreadable: {
        EXPECT_EQ(scan.status, 0) << scan.err;
        EXPECT_EQ(recover.status, 1) << recover.out << recover.err;
        EXPECT_GT(UnreadableSectorsIn(recover.out), 0u) << recover.out;
        // What was read whole is the raw disk's; the rest is marked.
        const auto got = RecoveredTree(out);
        for (const auto& [path, content] : got) {
          if (content == "folder" || !expected.contains(path)) continue;
          if (content != expected.at(path)) {
            EXPECT_THAT(recover.out, HasSubstr(path)) << path << " differs but is not reported";
          }
        }
        break;
      }
      case Outcome::kWhole:
        EXPECT_EQ(scan.status, 0) << scan.err;
        EXPECT_EQ(recover.status, 0) << recover.out << recover.err;
        EXPECT_EQ(RecoveredTree(out), expected);
        break;
    }
  }
}

// The list of unreadable sectors is read only from a regular file of
// bounded size: a FIFO or a device is refused at once, in one line.
TEST_F(HostileImages, TheUnreadableSectorsListIsARegularFileOnly) {
  const fs::path fifo = dir / "list.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const fs::path huge = dir / "huge.txt";
  { std::ofstream(huge) << "1\n"; }
  fs::resize_file(huge, 64u << 20);  // sparse: no disk space taken
  for (const fs::path& list : {fifo, fs::path("/dev/zero"), huge}) {
    SCOPED_TRACE(list.string());
    const RunResult scan = RunLimited({"scan", "--quiet", raw, "--unreadable-sectors", list});
    EXPECT_EQ(scan.status, 2);
    EXPECT_EQ(scan.ErrLines().size(), 1u) << scan.err;
    EXPECT_THAT(scan.err, HasSubstr(list.string()));
  }
}

}  // namespace
}  // namespace tolvar::testing
