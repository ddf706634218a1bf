#include "disk/fault_injecting_source.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <utility>

#include "disk/regular_file.hpp"

namespace tolvar {

namespace {

// A plan file is typed by hand; a mistyped range must not exhaust memory.
constexpr std::uint64_t kMaxPlannedSectors = 1'000'000;
// A million sectors listed one per line, with comments, fit well within it.
constexpr std::uint64_t kMaxListBytes = 32u << 20;

class FaultInjectingSource final : public BlockDeviceSource {
 public:
  FaultInjectingSource(std::shared_ptr<BlockDeviceSource> inner, FaultPlan plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  DeviceDescription Describe() const override { return inner_->Describe(); }

  std::uint64_t LengthBytes() const override {
    const std::uint64_t length = inner_->LengthBytes();
    if (plan_.truncateToSectors == 0) return length;
    const std::uint64_t cut = plan_.truncateToSectors * kSectorSize;
    return cut < length ? cut : length;
  }

  std::expected<void, Error> ReadAt(std::uint64_t byteOffset, std::span<std::byte> out) override {
    if (out.empty()) return inner_->ReadAt(byteOffset, out);
    const std::uint64_t length = LengthBytes();
    if (byteOffset > length || out.size() > length - byteOffset) {
      return Fail(ErrorCode::kOutOfRange, "read past the end of the drive",
                  byteOffset / kSectorSize);
    }
    const std::uint64_t first = byteOffset / kSectorSize;
    const std::uint64_t last = (byteOffset + out.size() - 1) / kSectorSize;
    const bool single = first == last;
    if (!single && plan_.bulkReadsFail) {
      return Fail(ErrorCode::kIoError, "multi-sector read refused", first);
    }
    {
      std::lock_guard lock(mutex_);
      for (std::uint64_t s = first; s <= last; ++s) {
        if (plan_.neverReadable.contains(s)) {
          return Fail(ErrorCode::kIoError, "unreadable sector", s);
        }
        auto it = plan_.readableOnAttempt.find(s);
        if (it == plan_.readableOnAttempt.end()) continue;
        // Only reads of the sector alone count as tries; a longer read that
        // includes a sector not yet readable just fails.
        unsigned& tries = attempts_[s];
        if (single) ++tries;
        if (tries < it->second) return Fail(ErrorCode::kIoError, "sector not readable yet", s);
      }
    }
    return inner_->ReadAt(byteOffset, out);
  }

 private:
  static std::unexpected<Error> Fail(ErrorCode code, std::string_view what, std::uint64_t sector) {
    return std::unexpected(Error{code, fmt::format("{} {}", what, sector), sector});
  }

  std::shared_ptr<BlockDeviceSource> inner_;
  FaultPlan plan_;
  std::mutex mutex_;
  std::map<std::uint64_t, unsigned> attempts_;
};

std::string_view Trim(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  const auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

bool ParseSector(std::string_view text, std::uint64_t& value) {
  text = Trim(text);
  if (text.empty()) return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc{} && ptr == text.data() + text.size();
}

}  // namespace

std::expected<FaultPlan, Error> LoadFaultPlan(const std::string& path) {
  // Only a regular file of bounded size is read: a FIFO, a device such as
  // /dev/zero, or a huge file would otherwise be read without end.
  auto fd = OpenRegularFileForReading(path, "list of unreadable sectors");
  if (!fd) return std::unexpected(fd.error());
  const auto tooLarge = [&path] {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument,
              fmt::format("{}: the list of unreadable sectors is larger than {} MiB", path,
                          kMaxListBytes >> 20),
              std::nullopt});
  };
  struct stat st {};
  if (::fstat(*fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) > kMaxListBytes) {
    ::close(*fd);
    return tooLarge();
  }
  // The buffer grows if the file does, up to one byte past the bound.
  std::string contents(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t done = 0;
  bool failed = false;
  while (true) {
    if (done == contents.size()) {
      if (contents.size() > kMaxListBytes) break;
      contents.resize(std::min<std::size_t>(contents.size() * 2, kMaxListBytes + 1));
    }
    const ssize_t got = ::read(*fd, contents.data() + done, contents.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failed = got < 0;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(*fd);
  if (failed) {
    return std::unexpected(Error{
        ErrorCode::kIoError, fmt::format("{}: read error in the fault list", path), std::nullopt});
  }
  if (done > kMaxListBytes) return tooLarge();
  contents.resize(done);
  std::istringstream in(contents);
  FaultPlan plan;
  std::string line;
  unsigned lineNumber = 0;
  std::uint64_t planned = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::string_view text = line;
    if (const auto hash = text.find('#'); hash != std::string_view::npos)
      text = text.substr(0, hash);
    text = Trim(text);
    if (text.empty()) continue;
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    const auto dash = text.find('-');
    const bool ok =
        dash == std::string_view::npos
            ? ParseSector(text, from) && ParseSector(text, to)
            : ParseSector(text.substr(0, dash), from) && ParseSector(text.substr(dash + 1), to);
    if (!ok || to < from) {
      return std::unexpected(
          Error{ErrorCode::kInvalidArgument,
                fmt::format("{}:{}: expected a sector \"N\" or a range \"N-M\"", path, lineNumber),
                std::nullopt});
    }
    planned += to - from + 1;
    if (to - from >= kMaxPlannedSectors || planned > kMaxPlannedSectors) {
      return std::unexpected(Error{ErrorCode::kInvalidArgument,
                                   fmt::format("{}:{}: more than {} unreadable sectors listed",
                                               path, lineNumber, kMaxPlannedSectors),
                                   std::nullopt});
    }
    for (std::uint64_t s = from;; ++s) {
      plan.neverReadable.insert(s);
      if (s == to) break;
    }
  }
  return plan;
}

std::unique_ptr<BlockDeviceSource> MakeFaultInjectingSource(
    std::shared_ptr<BlockDeviceSource> inner, FaultPlan plan) {
  return std::make_unique<FaultInjectingSource>(std::move(inner), std::move(plan));
}

}  // namespace tolvar
