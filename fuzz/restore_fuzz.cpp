// Restoring one file of arbitrary bytes: the format recognised from its
// first bytes, then decoded. A restore that is not confirmed leaves the
// original as it was; nothing is left half written.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "recovery/restore.hpp"

namespace {

// One folder for the whole run, emptied before each input.
const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/tolvar-restore-fuzz-XXXXXX";
    if (::mkdtemp(name) == nullptr) std::abort();
    return std::string(name);
  }();
  return folder;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) std::abort();
  while (const dirent* item = ::readdir(listing)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
      names.emplace_back(item->d_name);
    }
  }
  ::closedir(listing);
  return names;
}

std::string Contents(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  const std::string& folder = Folder();
  for (const std::string& name : Names(folder)) ::unlink((folder + "/" + name).c_str());
  const std::string original(reinterpret_cast<const char*>(data), size);
  const std::string path = folder + "/input.gz";
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, original.data(), original.size()) !=
                      static_cast<ssize_t>(original.size())) {
      std::abort();
    }
    ::close(fd);
  }
  // The format test alone, on every prefix length up to its six bytes.
  for (std::size_t n = 0; n <= std::min<std::size_t>(size, 6); ++n) {
    (void)DetectCompression(std::as_bytes(std::span(data, n)));
  }

  RestoreLimits limits;
  limits.minimumCap = 1 << 20;
  limits.ratio = 64;
  limits.gzipRatio = 64;
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(folder, observer, {}, limits);
  if (!report) std::abort();
  bool originalGone = false;
  for (const RestoreEntry& entry : report->entries) {
    if (entry.path == "input.gz") originalGone = entry.status == RestoreStatus::kRestored;
    if (entry.restoredBytes > (std::uint64_t{1} << 20) * 64) std::abort();
  }
  const std::vector<std::string> names = Names(folder);
  for (const std::string& name : names) {
    if (name.starts_with(".tolvar%partial")) std::abort();
  }
  const bool present = ::access(path.c_str(), F_OK) == 0 && Contents(path) == original;
  if (originalGone == present) std::abort();
  return 0;
}
