// `tolvar mount` end to end: a built image mounted through FUSE, read,
// written to (refused), examined and unmounted.

#include <fcntl.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "imagekit/image_builder.hpp"
#include "recovery/host_names.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::Node;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::int64_t kFileTime = 1'000'000'000;  // 09-Sep-2001
const std::string kOddName = std::string("bad\x01name.txt");

imagekit::DiskDescription SampleDisk() {
  Node readme = Node::File("readme.txt", "read me\n");
  readme.mtime = kFileTime;
  Node data = Node::Folder(
      "data", {Node::Filled("ledger.db", 200 * 1024, Fill{Fill::Pattern::kRandom, 0, "", 9}),
               Node::Folder("old", {Node::File("1999.txt", "old\n")})});
  data.mtime = kFileTime + 60;
  const Node tree =
      Node::Folder("", {readme, data, Node::Symlink("latest", "data/ledger.db"),
                        Node::HardLink("ledger-link", "/data/ledger.db"), Node::Pipe("fifo"),
                        Node::Device("tty01", imagekit::NodeKind::kCharDevice, 0x0501),
                        Node::File(kOddName, "odd\n")});
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = tree;
  disk.volumes.push_back(volume);
  // One block of the ledger cannot be read.
  imagekit::Damage damage;
  damage.kind = imagekit::DamageKind::kUnreadable;
  damage.path = "/data/ledger.db";
  damage.block = 20;
  disk.damage.push_back(damage);
  return disk;
}

std::uint64_t HashOf(const fs::path& path) {
  return std::hash<std::string>{}(Slurp(path)) ^ fs::file_size(path);
}

bool IsMounted(const fs::path& mountPoint) {
  const std::string table = Slurp("/proc/self/mountinfo");
  return table.find(" " + mountPoint.string() + " ") != std::string::npos;
}

class MountCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "/dev/fuse cannot be opened here: " << std::strerror(errno);
    ::close(fd);
    if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "fusermount3 missing (scripts/install-deps installs fuse3)";
    }
    image = (dir / "disk.img").string();
    auto built = imagekit::BuildImage(SampleDisk(), image);
    ASSERT_TRUE(built.has_value()) << built.error().message;
    sidecar = built->unreadablePath;
    ASSERT_FALSE(sidecar.empty());
    mountPoint = dir / "mnt";
    fs::create_directory(mountPoint);
  }
  void TearDown() override {
    if (!mountPoint.empty() && IsMounted(mountPoint)) {
      std::system(fmt::format("fusermount3 -u -z {}", ShellQuote(mountPoint.string())).c_str());
    }
  }

  TempDir dir;
  std::string image;
  std::string sidecar;
  fs::path mountPoint;
};

TEST_F(MountCommand, ShowsTheVolumeReadOnlyAsItHoldsIt) {
  const std::uint64_t before = HashOf(image);
  const fs::path recovered = dir / "recovered";
  ASSERT_EQ(
      RunTolvar({"recover", "-q", image, "--unreadable-sectors", sidecar, "-o", recovered.string()})
          .status,
      1);  // one damaged file

  const RunResult mount =
      RunTolvar({"mount", "-q", image, "--unreadable-sectors", sidecar, mountPoint.string()});
  ASSERT_EQ(mount.status, 0) << mount.err;
  ASSERT_TRUE(IsMounted(mountPoint));

  // Every file reads as `tolvar recover` wrote it, unreadable sectors as zeros.
  int compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(recovered)) {
    const fs::path relative = fs::relative(entry.path(), recovered);
    if (relative.string().starts_with("tolvar-report")) continue;
    if (entry.is_regular_file() && !entry.is_symlink()) {
      EXPECT_EQ(Slurp(mountPoint / relative), Slurp(entry.path())) << relative;
      ++compared;
    }
  }
  EXPECT_GE(compared, 5);
  const std::string report = Slurp(mountPoint / ".tolvar-report.txt");
  EXPECT_THAT(report, HasSubstr("/data/ledger.db: unreadable sectors "));
  EXPECT_THAT(report, Not(HasSubstr("readme.txt")));

  // Names, links, nodes and time stamps.
  EXPECT_TRUE(fs::exists(mountPoint / EscapeHostName(kOddName)));
  EXPECT_EQ(fs::read_symlink(mountPoint / "latest"), "data/ledger.db");
  struct stat ledger {
  }, link{}, fifo{}, tty{}, readme{}, data{};
  ASSERT_EQ(::lstat((mountPoint / "data/ledger.db").c_str(), &ledger), 0);
  ASSERT_EQ(::lstat((mountPoint / "ledger-link").c_str(), &link), 0);
  EXPECT_EQ(ledger.st_ino, link.st_ino);
  EXPECT_EQ(ledger.st_nlink, 2u);
  EXPECT_EQ(ledger.st_size, 200 * 1024);
  ASSERT_EQ(::lstat((mountPoint / "fifo").c_str(), &fifo), 0);
  EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
  ASSERT_EQ(::lstat((mountPoint / "tty01").c_str(), &tty), 0);
  EXPECT_TRUE(S_ISCHR(tty.st_mode));
  ASSERT_EQ(::lstat((mountPoint / "readme.txt").c_str(), &readme), 0);
  EXPECT_EQ(readme.st_mtime, kFileTime);
  EXPECT_EQ(readme.st_mode & 07777, 0644u);
  ASSERT_EQ(::lstat((mountPoint / "data").c_str(), &data), 0);
  EXPECT_TRUE(S_ISDIR(data.st_mode));
  EXPECT_EQ(data.st_mtime, kFileTime + 60);

  // Nothing changes the volume.
  errno = 0;
  EXPECT_LT(::open((mountPoint / "readme.txt").c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_LT(::open((mountPoint / "new.txt").c_str(), O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::mkdir((mountPoint / "newdir").c_str(), 0755), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::rename((mountPoint / "readme.txt").c_str(), (mountPoint / "r.txt").c_str()), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::chmod((mountPoint / "readme.txt").c_str(), 0600), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::unlink((mountPoint / "readme.txt").c_str()), 0);
  EXPECT_EQ(errno, EROFS);

  ASSERT_EQ(std::system(fmt::format("fusermount3 -u {}", ShellQuote(mountPoint.string())).c_str()),
            0);
  // The background server ends with the unmount.
  for (int i = 0; i < 100 && IsMounted(mountPoint); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(IsMounted(mountPoint));
  EXPECT_TRUE(fs::is_empty(mountPoint));
  EXPECT_EQ(HashOf(image), before);
}

TEST_F(MountCommand, ExtensiveMountInTheForegroundEndsOnSigterm) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string tolvar = TolvarPath().string();
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, STDIN_FILENO);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    ::execl(tolvar.c_str(), tolvar.c_str(), "mount", "-f", "-q", "--extensive", image.c_str(),
            mountPoint.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool shown = false;
  for (int i = 0; i < 400 && !shown; ++i) {
    shown = IsMounted(mountPoint) && fs::exists(mountPoint / "LostDir");
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(shown) << "the extensive mount did not show LostDir";
  if (shown) {
    EXPECT_EQ(Slurp(mountPoint / "data/old/1999.txt"), "old\n");
  }

  ::kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(IsMounted(mountPoint));
}

// The background server changes its folder; an image named relative to the
// caller's folder, in several files, must still read.
TEST_F(MountCommand, ServesASegmentedImageNamedRelatively) {
  if (std::system("command -v ewfacquire >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ewfacquire missing (scripts/install-deps installs ewf-tools)";
  }
  const std::string folder = ShellQuote(dir.Path().string());
  ASSERT_EQ(std::system(fmt::format("cd {} && ewfacquire -u -q -S 1048576 -t case disk.img "
                                    ">/dev/null",
                                    folder)
                            .c_str()),
            0);
  ASSERT_TRUE(fs::exists(dir / "case.E02"));
  ASSERT_EQ(std::system(fmt::format("cd {} && {} mount -q case.E01 mnt", folder,
                                    ShellQuote(TolvarPath().string()))
                            .c_str()),
            0);
  EXPECT_EQ(Slurp(mountPoint / "data/old/1999.txt"), "old\n");
  EXPECT_EQ(fs::file_size(mountPoint / "data/ledger.db"), 200u * 1024);
  EXPECT_EQ(Slurp(mountPoint / "data/ledger.db").size(), 200u * 1024);
}

// The processes whose command line names `needle`.
std::vector<pid_t> ProcessesNaming(const std::string& needle) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string line = Slurp(entry.path() / "cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(needle) != std::string::npos) {
      found.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return found;
}

// Mounted in the background at a mount point named relative to the
// caller's folder: each signal that ends the server unmounts it.
TEST_F(MountCommand, EverySignalUnmountsARelativeMountPoint) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    ASSERT_EQ(
        std::system(fmt::format("cd {} && {} mount -q disk.img mnt",
                                ShellQuote(dir.Path().string()), ShellQuote(TolvarPath().string()))
                        .c_str()),
        0);
    ASSERT_TRUE(IsMounted(mountPoint));
    const std::vector<pid_t> servers = ProcessesNaming(" mount -q disk.img mnt");
    ASSERT_EQ(servers.size(), 1u);
    ASSERT_EQ(::kill(servers[0], signal), 0);
    for (int i = 0; i < 200 && (IsMounted(mountPoint) || ::kill(servers[0], 0) == 0); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(IsMounted(mountPoint));
    EXPECT_NE(::kill(servers[0], 0), 0) << "the server is still running";
    EXPECT_TRUE(fs::is_empty(mountPoint));
  }
}

// A file whose size runs past its last block: reads of what the blocks do
// not hold fail, and the report says why.
TEST_F(MountCommand, AReadPastTheLastBlockFailsWithEio) {
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root =
      Node::Folder("", {Node::File("whole.txt", "whole\n"),
                        Node::Filled("short.bin", 3000, Fill{Fill::Pattern::kByte, 7, "", 0})});
  disk.volumes.push_back(volume);
  const std::string shortImage = (dir / "short.img").string();
  auto built = imagekit::BuildImage(disk, shortImage);
  ASSERT_TRUE(built.has_value()) << built.error().message;
  // The size word (byte 12 of the 128-byte HTFS inode) says 10000 bytes.
  const auto& report = built->volumes[0];
  const std::uint32_t inode = report.Find("/short.bin")->inode;
  imagekit::Damage grow;
  grow.kind = imagekit::DamageKind::kPatch;
  grow.firstSector = report.startSector + 4;
  grow.offset = (inode - 1) * 128 + 12;
  grow.bytes = {std::byte{0x10}, std::byte{0x27}, std::byte{0}, std::byte{0}};
  disk.damage.push_back(grow);
  built = imagekit::BuildImage(disk, shortImage);
  ASSERT_TRUE(built.has_value()) << built.error().message;

  const RunResult mount = RunTolvar({"mount", "-q", shortImage, mountPoint.string()});
  ASSERT_EQ(mount.status, 0) << mount.err;
  EXPECT_EQ(fs::file_size(mountPoint / "short.bin"), 10000u);
  const int fd = ::open((mountPoint / "short.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<char> buffer(10000);
  errno = 0;
  EXPECT_EQ(::read(fd, buffer.data(), buffer.size()), -1);
  EXPECT_EQ(errno, EIO);
  ::close(fd);
  EXPECT_EQ(Slurp(mountPoint / "whole.txt"), "whole\n");
  EXPECT_THAT(Slurp(mountPoint / ".tolvar-report.txt"),
              HasSubstr("/short.bin: its size of 10000 bytes runs past its last block; reads "
                        "past byte 3072 fail"));
  std::system(fmt::format("fusermount3 -u {}", ShellQuote(mountPoint.string())).c_str());
}

// A folder longer than one listing request lists whole, each entry with its
// size; a file too large to be handed over at its first open reads through
// the read requests, whole and from an odd offset.
TEST_F(MountCommand, ListsALongFolderWholeAndReadsALargeFile) {
  std::vector<Node> entries;
  for (int i = 0; i < 700; ++i) {
    entries.push_back(
        Node::File(fmt::format("an-entry-with-a-longer-name-{:04}", i), fmt::format("{}\n", i)));
  }
  std::string large((std::size_t{3} << 20) + 77, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>((i * 2654435761U) >> 13);
  }
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root =
      Node::Folder("", {Node::Folder("many", std::move(entries)), Node::File("large.bin", large)});
  disk.volumes.push_back(volume);
  const std::string other = (dir / "other.img").string();
  ASSERT_TRUE(imagekit::BuildImage(disk, other).has_value());
  const RunResult mount = RunTolvar({"mount", "-q", other, mountPoint.string()});
  ASSERT_EQ(mount.status, 0) << mount.err;

  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(mountPoint / "many")) {
    const std::string name = entry.path().filename().string();
    names.insert(name);
    const int number = std::stoi(name.substr(name.rfind('-') + 1));
    EXPECT_EQ(entry.file_size(), fmt::format("{}\n", number).size()) << name;
  }
  EXPECT_EQ(names.size(), 700U);
  EXPECT_EQ(Slurp(mountPoint / "many" / "an-entry-with-a-longer-name-0699"), "699\n");

  EXPECT_EQ(Slurp(mountPoint / "large.bin"), large);
  const int fd = ::open((mountPoint / "large.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string piece(200000, '\0');
  const off_t at = (1 << 20) + 513;
  EXPECT_EQ(::pread(fd, piece.data(), piece.size(), at), static_cast<ssize_t>(piece.size()));
  ::close(fd);
  EXPECT_EQ(piece, large.substr(static_cast<std::size_t>(at), piece.size()));
}

// Small files are cached ahead of their opening and let go at their close:
// read by two programs at once from both ends of a folder, with one held
// open throughout, then read again, each reads as the volume holds it.
TEST_F(MountCommand, FilesReadInAnyOrderAndAgainReadWhole) {
  constexpr int kFiles = 120;
  std::vector<std::string> contents;
  std::vector<Node> entries;
  for (int i = 0; i < kFiles; ++i) {
    std::string bytes(static_cast<std::size_t>(i * 997 % 70000), '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>(at * 31 + i);
    entries.push_back(Node::File(fmt::format("f{:03}", i), bytes));
    contents.push_back(std::move(bytes));
  }
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = Node::Folder("", {Node::Folder("many", std::move(entries))});
  disk.volumes.push_back(volume);
  const std::string other = (dir / "other.img").string();
  ASSERT_TRUE(imagekit::BuildImage(disk, other).has_value());
  const RunResult mount = RunTolvar({"mount", "-q", other, mountPoint.string()});
  ASSERT_EQ(mount.status, 0) << mount.err;
  const fs::path many = mountPoint / "many";
  auto nameOf = [](int i) { return fmt::format("f{:03}", i); };

  const int held = ::open((many / nameOf(kFiles / 2)).c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  std::vector<int> wrong(2, 0);
  std::thread backward([&] {
    for (int i = kFiles - 1; i >= 0; --i) wrong[1] += Slurp(many / nameOf(i)) != contents[i];
  });
  for (int i = 0; i < kFiles; ++i) wrong[0] += Slurp(many / nameOf(i)) != contents[i];
  backward.join();
  EXPECT_EQ(wrong, std::vector<int>(2, 0));
  std::string middle(contents[kFiles / 2].size() + 1, '\0');
  EXPECT_EQ(::pread(held, middle.data(), middle.size(), 0),
            static_cast<ssize_t>(middle.size() - 1));
  middle.pop_back();
  EXPECT_EQ(middle, contents[kFiles / 2]);
  ::close(held);
  for (int i = 0; i < kFiles; i += 7) EXPECT_EQ(Slurp(many / nameOf(i)), contents[i]) << i;
}

TEST_F(MountCommand, AMissingMountPointIsOneLine) {
  const RunResult run = RunTolvar({"mount", image, (dir / "nowhere").string()});
  EXPECT_EQ(run.status, 2);
  ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
  EXPECT_THAT(run.err, HasSubstr("nowhere"));
}

}  // namespace
}  // namespace tolvar::testing
