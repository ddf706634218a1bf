#include "recovery/report_entries.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include "recovery/whole_range_io.hpp"

namespace tolvar {
namespace {

// The least read from the file at once when iterating.
constexpr std::size_t kReadWindowBytes = std::size_t{1} << 20;

// Entries are packed as unsigned LEB128 numbers and length-prefixed texts,
// in the order of ReportEntry's fields.
class Packer {
 public:
  explicit Packer(std::vector<std::byte>& out) : out_(out) {}
  void Number(std::uint64_t value) {
    while (value >= 0x80) {
      out_.push_back(static_cast<std::byte>((value & 0x7F) | 0x80));
      value >>= 7;
    }
    out_.push_back(static_cast<std::byte>(value));
  }
  void Signed(std::int64_t value) {
    // Zig-zag, so that small negative times stay short.
    const auto bits = static_cast<std::uint64_t>(value);
    Number((bits << 1) ^ (value < 0 ? ~std::uint64_t{0} : 0));
  }
  void Text(const std::string& text) {
    Number(text.size());
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    out_.insert(out_.end(), bytes, bytes + text.size());
  }

 private:
  std::vector<std::byte>& out_;
};

class Unpacker {
 public:
  explicit Unpacker(std::span<const std::byte> in) : in_(in) {}
  std::uint64_t Number() {
    std::uint64_t value = 0;
    for (unsigned shift = 0; at_ < in_.size() && shift < 64; shift += 7) {
      const auto byte = std::to_integer<std::uint64_t>(in_[at_++]);
      value |= (byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return value;
    }
    return value;
  }
  std::int64_t Signed() {
    const std::uint64_t bits = Number();
    return static_cast<std::int64_t>((bits >> 1) ^ (~(bits & 1) + 1));
  }
  std::string Text() {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(Number(), Left()));
    std::string text(reinterpret_cast<const char*>(in_.data() + at_), length);
    at_ += length;
    return text;
  }
  [[nodiscard]] std::size_t Left() const { return in_.size() - at_; }

 private:
  std::span<const std::byte> in_;
  std::size_t at_ = 0;
};

void Pack(const ReportEntry& entry, std::vector<std::byte>& out) {
  Packer pack(out);
  pack.Text(entry.path);
  pack.Number(entry.rawPath.size());
  for (const std::string& name : entry.rawPath) pack.Text(name);
  pack.Number(static_cast<std::uint64_t>(entry.type));
  pack.Number(static_cast<std::uint64_t>(entry.status));
  pack.Number(entry.inode);
  pack.Number(entry.size);
  pack.Number(entry.bytesWritten);
  pack.Number(entry.unreadable.size());
  for (const SectorRun& run : entry.unreadable) {
    pack.Number(run.first);
    pack.Number(run.count);
  }
  pack.Number(entry.blocksOutsideVolume);
  pack.Number((entry.byError ? 1U : 0U) | (entry.timeUnreadable ? 2U : 0U) |
              (entry.facts ? 4U : 0U));
  pack.Text(entry.note);
  if (entry.facts) {
    const InodeFacts& facts = *entry.facts;
    pack.Number(facts.mode);
    pack.Number(facts.uid);
    pack.Number(facts.gid);
    pack.Number(facts.nlink);
    pack.Signed(facts.atime);
    pack.Signed(facts.mtime);
    pack.Signed(facts.ctime);
  }
  pack.Text(entry.sha256);
  pack.Text(entry.md5);
}

ReportEntry Unpack(std::span<const std::byte> bytes) {
  Unpacker unpack(bytes);
  ReportEntry entry;
  entry.path = unpack.Text();
  // Counts are bounded by what is left, so damaged bytes cannot ask for much.
  for (std::uint64_t names = unpack.Number(); names > 0 && unpack.Left() > 0; --names) {
    entry.rawPath.push_back(unpack.Text());
  }
  entry.type = static_cast<EntryType>(unpack.Number());
  entry.status = static_cast<EntryStatus>(unpack.Number());
  entry.inode = static_cast<std::uint32_t>(unpack.Number());
  entry.size = unpack.Number();
  entry.bytesWritten = unpack.Number();
  for (std::uint64_t runs = unpack.Number(); runs > 0 && unpack.Left() > 0; --runs) {
    SectorRun run;
    run.first = unpack.Number();
    run.count = unpack.Number();
    entry.unreadable.push_back(run);
  }
  entry.blocksOutsideVolume = unpack.Number();
  const std::uint64_t flags = unpack.Number();
  entry.byError = (flags & 1U) != 0;
  entry.timeUnreadable = (flags & 2U) != 0;
  entry.note = unpack.Text();
  if ((flags & 4U) != 0) {
    InodeFacts facts;
    facts.mode = static_cast<std::uint16_t>(unpack.Number());
    facts.uid = static_cast<std::uint16_t>(unpack.Number());
    facts.gid = static_cast<std::uint16_t>(unpack.Number());
    facts.nlink = static_cast<std::uint16_t>(unpack.Number());
    facts.atime = unpack.Signed();
    facts.mtime = unpack.Signed();
    facts.ctime = unpack.Signed();
    entry.facts = facts;
  }
  entry.sha256 = unpack.Text();
  entry.md5 = unpack.Text();
  return entry;
}

// An unnamed file in the temporary folder: gone with the last descriptor.
int OpenUnnamedTemporary() {
  const char* folder = std::getenv("TMPDIR");
  const std::string where = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without O_TMPFILE: a named file, unlinked at once.
  std::string name = where + "/tolvar-report-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

}  // namespace

ReportEntries::ReportEntries(std::size_t memoryBytes) : memoryBytes_(memoryBytes) {}

ReportEntries::~ReportEntries() {
  if (fd_ >= 0) ::close(fd_);
}

ReportEntries::ReportEntries(ReportEntries&& other) noexcept
    : memoryBytes_(other.memoryBytes_),
      offsets_(std::move(other.offsets_)),
      tail_(std::move(other.tail_)),
      spilledBytes_(std::exchange(other.spilledBytes_, 0)),
      fd_(std::exchange(other.fd_, -1)),
      spillFailed_(other.spillFailed_),
      amended_(std::move(other.amended_)) {
  other.clear();
}

ReportEntries& ReportEntries::operator=(ReportEntries&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ >= 0) ::close(fd_);
  memoryBytes_ = other.memoryBytes_;
  offsets_ = std::move(other.offsets_);
  tail_ = std::move(other.tail_);
  spilledBytes_ = std::exchange(other.spilledBytes_, 0);
  fd_ = std::exchange(other.fd_, -1);
  spillFailed_ = other.spillFailed_;
  amended_ = std::move(other.amended_);
  other.clear();
  return *this;
}

ReportEntries::ReportEntries(const ReportEntries& other) : memoryBytes_(other.memoryBytes_) {
  for (const ReportEntry& entry : other) push_back(entry);
}

ReportEntries& ReportEntries::operator=(const ReportEntries& other) {
  if (this != &other) {
    ReportEntries copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void ReportEntries::clear() {
  offsets_.clear();
  tail_.clear();
  amended_.clear();
  spilledBytes_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  spillFailed_ = false;
}

void ReportEntries::push_back(const ReportEntry& entry) {
  offsets_.push_back(spilledBytes_ + tail_.size());
  Pack(entry, tail_);
  if (tail_.size() >= memoryBytes_ && !spillFailed_) Spill();
}

void ReportEntries::Spill() {
  if (fd_ < 0) fd_ = OpenUnnamedTemporary();
  // Whatever goes wrong, the entries stay in memory: the report is worth
  // more than the memory.
  if (fd_ < 0 || !WriteWholeAt(fd_, spilledBytes_, tail_)) {
    spillFailed_ = true;
    return;
  }
  spilledBytes_ += tail_.size();
  tail_.clear();
}

void ReportEntries::Amend(std::size_t index, const std::function<void(ReportEntry&)>& change) {
  if (index >= size()) return;
  ReportEntry entry = (*this)[index];
  change(entry);
  amended_.insert_or_assign(index, std::move(entry));
}

std::uint64_t ReportEntries::EndOf(std::size_t index) const {
  return index + 1 < offsets_.size() ? offsets_[index + 1] : spilledBytes_ + tail_.size();
}

ReportEntry ReportEntries::At(std::size_t index, ReadWindow* window) const {
  if (const auto amended = amended_.find(index); amended != amended_.end()) {
    return amended->second;
  }
  const std::uint64_t start = offsets_.at(index);
  const std::uint64_t end = EndOf(index);
  const auto length = static_cast<std::size_t>(end - start);
  if (start >= spilledBytes_) {
    return Unpack(
        std::span(tail_).subspan(static_cast<std::size_t>(start - spilledBytes_), length));
  }
  ReadWindow single;
  if (window == nullptr) window = &single;
  const bool inWindow = start >= window->start && end <= window->start + window->bytes.size();
  if (!inWindow) {
    // Entries never straddle the file's end: each was spilled whole.
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(
        std::max<std::uint64_t>(window == &single ? length : kReadWindowBytes, length),
        spilledBytes_ - start));
    window->start = start;
    window->bytes.resize(wanted);
    if (!ReadWholeAt(fd_, start, window->bytes)) {
      window->bytes.clear();
      ReportEntry lost;
      lost.status = EntryStatus::kSkipped;
      lost.byError = true;
      lost.note = "this entry of the report could not be read back from its temporary file";
      return lost;
    }
  }
  return Unpack(std::span<const std::byte>(window->bytes)
                    .subspan(static_cast<std::size_t>(start - window->start), length));
}

}  // namespace tolvar
