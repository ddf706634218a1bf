#include "disk/rescue_map.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "disk/regular_file.hpp"

namespace tolvar {
namespace {

Error MapError(std::string message) {
  return Error{ErrorCode::kCorrupt, std::move(message), std::nullopt};
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The words of one line, a "#" and what follows it left out.
std::vector<std::string_view> WordsOf(std::string_view line) {
  line = line.substr(0, std::min(line.find('#'), line.size()));
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

// A whole number as ddrescue reads one: 0x hex, 0-prefixed octal, else
// decimal; no sign, no suffix, no overflow.
std::optional<std::uint64_t> ParseNumber(std::string_view word) {
  unsigned base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  } else if (word.size() > 1 && word[0] == '0') {
    base = 8;
    word.remove_prefix(1);
  }
  if (word.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : word) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// A block as the file gives it, with the line it came from.
struct MapBlock {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  bool finished = false;
  std::size_t line = 0;
};

}  // namespace

RescueMap::RescueMap(std::vector<ByteRange> finished, std::uint64_t mappedBytes)
    : finished_(std::move(finished)), mappedBytes_(mappedBytes) {}

bool RescueMap::Rescued(std::uint64_t first, std::uint64_t length) const {
  if (length == 0) return true;
  // The finished range starting at or before `first`: ranges are merged, so
  // the bytes are rescued exactly when it reaches their end.
  auto after = std::upper_bound(finished_.begin(), finished_.end(), first,
                                [](std::uint64_t at, const ByteRange& r) { return at < r.first; });
  if (after == finished_.begin()) return false;
  const ByteRange& range = *std::prev(after);
  return first < range.end && length <= range.end - first;
}

std::uint64_t RescueMap::FinishedBytes() const {
  std::uint64_t total = 0;
  for (const ByteRange& range : finished_) total += range.end - range.first;
  return total;
}

std::expected<RescueMap, Error> ParseRescueMap(std::string_view text) {
  std::vector<MapBlock> blocks;
  bool statusSeen = false;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t newline = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, newline - at);
    at = newline + 1;
    ++lineNumber;
    if (line.find('\0') != std::string_view::npos) {
      return std::unexpected(
          MapError(fmt::format("line {}: a NUL byte: not a mapfile", lineNumber)));
    }
    const std::vector<std::string_view> words = WordsOf(line);
    if (words.empty()) continue;
    if (!statusSeen) {
      // "current_pos current_status [current_pass]"
      statusSeen = true;
      if (words.size() < 2 || words.size() > 3 || !ParseNumber(words[0]) || words[1].size() != 1 ||
          std::string_view("?*/-FG+").find(words[1][0]) == std::string_view::npos ||
          (words.size() == 3 && !ParseNumber(words[2]))) {
        return std::unexpected(MapError(fmt::format(
            "line {}: not a status line (position, status and pass expected)", lineNumber)));
      }
      continue;
    }
    if (words.size() != 3) {
      return std::unexpected(MapError(
          fmt::format("line {}: a block needs a position, a size and a status, found {} words",
                      lineNumber, words.size())));
    }
    const auto position = ParseNumber(words[0]);
    const auto size = ParseNumber(words[1]);
    if (!position || !size) {
      return std::unexpected(MapError(fmt::format("line {}: \"{}\" is not a number", lineNumber,
                                                  !position ? words[0] : words[1])));
    }
    if (words[2].size() != 1 ||
        std::string_view("?*/-+").find(words[2][0]) == std::string_view::npos) {
      return std::unexpected(MapError(fmt::format(
          "line {}: \"{}\" is not a block status (one of ? * / - +)", lineNumber, words[2])));
    }
    if (*size == 0) {
      return std::unexpected(MapError(fmt::format("line {}: a block of size 0", lineNumber)));
    }
    if (*size > UINT64_MAX - *position) {
      return std::unexpected(
          MapError(fmt::format("line {}: the block ends past the largest offset", lineNumber)));
    }
    blocks.push_back({*position, *position + *size, words[2][0] == '+', lineNumber});
  }
  if (!statusSeen) return std::unexpected(MapError("line 1: no status line: not a mapfile"));
  if (blocks.empty()) {
    return std::unexpected(MapError(fmt::format("line {}: the map lists no blocks", lineNumber)));
  }

  // ddrescue writes blocks in order; a map put together by hand or by
  // another tool may not be, which is fine as long as no byte is described
  // twice: two statuses for one byte leave it unknown whether it was read.
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const MapBlock& a, const MapBlock& b) { return a.first < b.first; });
  std::vector<ByteRange> finished;
  std::uint64_t mapped = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const MapBlock& block = blocks[i];
    if (i != 0 && block.first < blocks[i - 1].end) {
      const MapBlock& earlier = blocks[i - 1];
      const std::size_t later = std::max(block.line, earlier.line);
      const std::size_t other = std::min(block.line, earlier.line);
      return std::unexpected(
          MapError(fmt::format("line {}: the block overlaps the block on line {}", later, other)));
    }
    mapped = std::max(mapped, block.end);
    if (!block.finished) continue;
    if (!finished.empty() && finished.back().end == block.first) {
      finished.back().end = block.end;
    } else {
      finished.push_back({block.first, block.end});
    }
  }
  return RescueMap(std::move(finished), mapped);
}

std::expected<RescueMap, Error> LoadRescueMap(const std::string& path, std::uint64_t imageBytes) {
  auto fd = OpenRegularFileForReading(path, "mapfile");
  if (!fd) return std::unexpected(fd.error());
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{*fd};
  struct stat st {};
  if (::fstat(*fd, &st) != 0) {
    return std::unexpected(
        Error{ErrorCode::kNotReadable,
              fmt::format("{}: the mapfile cannot be read ({})", path, std::strerror(errno)),
              std::nullopt});
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxRescueMapBytes) {
    return std::unexpected(
        Error{ErrorCode::kCorrupt,
              fmt::format("{}: the mapfile is {} bytes, more than the {} a mapfile may have", path,
                          st.st_size, kMaxRescueMapBytes),
              std::nullopt});
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(*fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      return std::unexpected(
          Error{ErrorCode::kNotReadable,
                fmt::format("{}: the mapfile cannot be read ({})", path, std::strerror(errno)),
                std::nullopt});
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  auto map = ParseRescueMap(text);
  if (!map) {
    return std::unexpected(
        Error{map.error().code, fmt::format("{}: {}", path, map.error().message), std::nullopt});
  }
  if (map->MappedBytes() > imageBytes) {
    return std::unexpected(Error{
        ErrorCode::kInvalidArgument,
        fmt::format("{}: the map describes {} bytes, but the image has {}: it belongs to another "
                    "image",
                    path, map->MappedBytes(), imageBytes),
        std::nullopt});
  }
  return map;
}

namespace {

class RescueMapSource final : public BlockDeviceSource {
 public:
  RescueMapSource(std::shared_ptr<BlockDeviceSource> inner, std::shared_ptr<const RescueMap> map)
      : inner_(std::move(inner)), map_(std::move(map)) {}

  DeviceDescription Describe() const override { return inner_->Describe(); }
  std::uint64_t LengthBytes() const override { return inner_->LengthBytes(); }

  std::expected<void, Error> ReadAt(std::uint64_t byteOffset, std::span<std::byte> out) override {
    if (!map_->Rescued(byteOffset, out.size())) {
      return std::unexpected(Error{ErrorCode::kIoError,
                                   "not rescued: the mapfile does not mark these bytes finished",
                                   byteOffset / kSectorSize});
    }
    return inner_->ReadAt(byteOffset, out);
  }

 private:
  std::shared_ptr<BlockDeviceSource> inner_;
  std::shared_ptr<const RescueMap> map_;
};

}  // namespace

std::unique_ptr<BlockDeviceSource> MakeRescueMapSource(std::shared_ptr<BlockDeviceSource> inner,
                                                       std::shared_ptr<const RescueMap> map) {
  return std::make_unique<RescueMapSource>(std::move(inner), std::move(map));
}

}  // namespace tolvar
