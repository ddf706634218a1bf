#include "recovery/file_digester.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "recovery/md5_rounds.hpp"
#include "recovery/whole_range_io.hpp"

namespace tolvar {
namespace {

// A range is read back, and bytes are gathered, in pieces of this size.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
// The most read bytes waiting for the MD5 thread.
constexpr std::uint64_t kMostForMd5 = std::uint64_t{64} << 20;
// Files the MD5 thread takes a piece of at once: more than its lanes, so a
// lane whose piece ends takes another.
constexpr std::size_t kMd5Batch = 16;

}  // namespace

// Buffers for pieces read back, kept when let go and handed out again:
// memory used again at once is cheap, where fresh memory costs a fault a
// page. At most as many are kept as the MD5 thread may have waiting.
class DigestQueue::PieceBuffers : public std::enable_shared_from_this<PieceBuffers> {
 public:
  std::shared_ptr<std::byte[]> Take() {
    std::unique_ptr<std::byte[]> buffer;
    {
      const std::lock_guard lock(mutex_);
      if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    // Not zero-filled: every byte hashed is read into it first.
    if (!buffer) buffer.reset(new std::byte[kPieceBytes]);
    return {buffer.release(), [self = shared_from_this()](std::byte* bytes) { self->Give(bytes); }};
  }

 private:
  void Give(std::byte* bytes) {
    std::unique_ptr<std::byte[]> buffer(bytes);
    const std::lock_guard lock(mutex_);
    if (spare_.size() < kMostForMd5 / kPieceBytes) spare_.push_back(std::move(buffer));
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<std::byte[]>> spare_;
};

// One piece of a file's stream as fed: bytes, zeros, or a range to read back.
struct DigestQueue::Job {
  std::shared_ptr<std::vector<std::byte>> bytes;
  std::uint64_t zeros = 0;
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  [[nodiscard]] std::uint64_t Weight() const { return bytes ? bytes->size() : length; }
};

// Bytes (or zeros) through the SHA-256, on their way to the MD5.
struct DigestQueue::Piece {
  std::shared_ptr<const void> owner;  // keeps `bytes` alive
  std::span<const std::byte> bytes;
  std::uint64_t zeros = 0;
  std::uint64_t weight = 0;  // what it counts against the bound
};

struct DigestQueue::File {
  std::deque<Job> jobs;  // not yet read
  std::deque<Piece> forMd5;
  bool closed = false;
  bool failed = false;  // a range did not read back: no digests
  bool reading = false;
  bool md5Busy = false;
  std::uint64_t pending = 0;
  ContentHasher sha256{DigestSet::kSha256Only};
  Md5Stream md5;
};

DigestQueue::DigestQueue(std::uint64_t mostBytes)
    : mostBytes_(std::max<std::uint64_t>(mostBytes, 1)),
      buffers_(std::make_shared<PieceBuffers>()) {}

DigestQueue::~DigestQueue() {
  for (std::jthread& thread : threads_) thread.request_stop();
  threads_.clear();
}

DigestQueue::Ticket DigestQueue::Open() {
  std::lock_guard lock(mutex_);
  if (threads_.empty()) {
    threads_.emplace_back([this](std::stop_token stop) { ReadLoop(stop); });
    threads_.emplace_back([this](std::stop_token stop) { Md5Loop(stop); });
  }
  const Ticket ticket = nextTicket_++;
  files_.try_emplace(ticket);
  return ticket;
}

void DigestQueue::Add(Ticket ticket, Job job) {
  const std::uint64_t weight = job.Weight();
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_ == 0 || pending_ + weight <= mostBytes_; });
    const auto found = files_.find(ticket);
    if (found == files_.end() || found->second.failed) return;  // nothing more to work out
    File& file = found->second;
    pending_ += weight;
    file.pending += weight;
    // Small pieces of bytes are gathered into one.
    if (job.bytes && !file.jobs.empty() && file.jobs.back().bytes &&
        file.jobs.back().bytes->size() + job.bytes->size() <= kPieceBytes) {
      auto& into = *file.jobs.back().bytes;
      into.insert(into.end(), job.bytes->begin(), job.bytes->end());
      return;
    }
    file.jobs.push_back(std::move(job));
  }
  changed_.notify_all();
}

void DigestQueue::AddBytes(Ticket file, std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  Job job;
  job.bytes = std::make_shared<std::vector<std::byte>>(bytes.begin(), bytes.end());
  Add(file, std::move(job));
}

void DigestQueue::AddZeros(Ticket file, std::uint64_t count) {
  if (count == 0) return;
  Job job;
  job.zeros = count;
  Add(file, std::move(job));
}

void DigestQueue::AddRange(Ticket file, int fd, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  Job job;
  job.fd = fd;
  job.offset = offset;
  job.length = length;
  Add(file, std::move(job));
}

bool DigestQueue::Done(const File& file) {
  return file.closed && file.jobs.empty() && file.forMd5.empty() && !file.reading && !file.md5Busy;
}

std::optional<ContentDigests> DigestQueue::Take(Ticket ticket) {
  std::unique_lock lock(mutex_);
  const auto found = files_.find(ticket);
  if (found == files_.end()) return std::nullopt;
  File& file = found->second;
  file.closed = true;
  changed_.wait(lock, [&] { return Done(file); });
  std::optional<ContentDigests> digests;
  if (!file.failed) digests = ContentDigests{file.sha256.Finish().sha256, file.md5.Finish()};
  files_.erase(found);
  return digests;
}

void DigestQueue::Drop(Ticket ticket) {
  {
    std::unique_lock lock(mutex_);
    const auto found = files_.find(ticket);
    if (found == files_.end()) return;
    File& file = found->second;
    file.closed = true;
    file.jobs.clear();
    for (const Piece& piece : file.forMd5) forMd5_ -= piece.bytes.size();
    file.forMd5.clear();
    changed_.wait(lock, [&] { return Done(file); });
    pending_ -= file.pending;
    files_.erase(found);
  }
  changed_.notify_all();
}

void DigestQueue::ReadLoop(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    File* file = nullptr;
    Ticket ticket = 0;
    auto pick = [&] {
      if (forMd5_ >= kMostForMd5) return false;
      // The files take turns, so that the MD5 lanes have a piece of each.
      auto next = files_.upper_bound(lastRead_);
      for (std::size_t tries = 0; tries < 2; ++tries, next = files_.begin()) {
        for (; next != files_.end(); ++next) {
          if (!next->second.jobs.empty()) {
            ticket = next->first;
            file = &next->second;
            return true;
          }
        }
      }
      return false;
    };
    changed_.wait(lock, stop, pick);
    if (stop.stop_requested()) return;
    lastRead_ = ticket;
    Job& front = file->jobs.front();
    Job job;
    if (front.fd >= 0 && front.length > kPieceBytes) {
      job = front;
      job.length = kPieceBytes;
      front.offset += kPieceBytes;
      front.length -= kPieceBytes;
    } else {
      job = std::move(front);
      file->jobs.pop_front();
    }
    file->reading = true;
    lock.unlock();

    Piece piece;
    piece.weight = job.Weight();
    bool readFailed = false;
    if (job.fd >= 0) {
      const auto length = static_cast<std::size_t>(job.length);  // at most a piece
      std::shared_ptr<std::byte[]> buffer = buffers_->Take();
      const std::span<std::byte> bytes(buffer.get(), length);
      readFailed = !ReadWholeAt(job.fd, job.offset, bytes);
      if (!readFailed) file->sha256.Update(bytes);
      piece.bytes = bytes;
      piece.owner = std::move(buffer);
    } else if (job.bytes) {
      file->sha256.Update(*job.bytes);
      piece.bytes = *job.bytes;
      piece.owner = std::move(job.bytes);
    } else {
      file->sha256.UpdateZeros(job.zeros);
      piece.zeros = job.zeros;
    }

    lock.lock();
    file->reading = false;
    if (readFailed || file->failed) {
      // No digests for this file: nothing more of it is worth reading.
      file->failed = true;
      for (const Job& left : file->jobs) {
        pending_ -= left.Weight();
        file->pending -= left.Weight();
      }
      file->jobs.clear();
      pending_ -= piece.weight;
      file->pending -= piece.weight;
    } else {
      forMd5_ += piece.bytes.size();
      file->forMd5.push_back(std::move(piece));
    }
    changed_.notify_all();
  }
}

void DigestQueue::Md5Loop(const std::stop_token& stop) {
  std::vector<File*> batch;
  std::vector<Piece> pieces;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> zeroRuns;
  std::vector<Md5Update> updates;
  std::unique_lock lock(mutex_);
  while (true) {
    // The lanes are worth waiting for: a piece of every file still being
    // read, or enough files for all of them.
    changed_.wait(lock, stop, [&] {
      std::size_t ready = 0;
      std::size_t coming = 0;
      for (const auto& [ticket, file] : files_) {
        if (!file.forMd5.empty()) {
          ++ready;
        } else if (file.reading || !file.jobs.empty()) {
          ++coming;
        }
      }
      return ready > 0 && (coming == 0 || ready >= static_cast<std::size_t>(md5::kLanes) ||
                           forMd5_ >= kMostForMd5 / 2);
    });
    if (stop.stop_requested()) return;
    batch.clear();
    pieces.clear();
    for (auto& [ticket, file] : files_) {
      if (file.forMd5.empty()) continue;
      batch.push_back(&file);
      pieces.push_back(std::move(file.forMd5.front()));
      file.forMd5.pop_front();
      file.md5Busy = true;
      if (batch.size() == kMd5Batch) break;
    }
    lock.unlock();

    zeroRuns.assign(pieces.size(), {0, 0});
    updates.clear();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      Md5Message message;
      if (pieces[i].zeros == 0) {
        message.bytes = pieces[i].bytes;
      } else {
        zeroRuns[i] = {0, pieces[i].zeros};
        message.zeroRuns = std::span(zeroRuns).subspan(i, 1);
      }
      if (!batch[i]->failed) updates.push_back({&batch[i]->md5, message});
    }
    UpdateMd5Streams(updates);

    lock.lock();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      File& file = *batch[i];
      file.md5Busy = false;
      forMd5_ -= pieces[i].bytes.size();
      pending_ -= pieces[i].weight;
      file.pending -= pieces[i].weight;
    }
    pieces.clear();  // the bytes are let go before anyone hears they are hashed
    changed_.notify_all();
  }
}

void FileDigester::Start(std::uint64_t expectedBytes) {
  Abandon();
  readFailed_ = false;
  if (expectedBytes < kInlineBytes) {
    hasher_.Reset();
    return;
  }
  ticket_ = queue_.Open();
}

void FileDigester::Update(std::span<const std::byte> bytes) {
  if (ticket_) {
    queue_.AddBytes(*ticket_, bytes);
  } else {
    hasher_.Update(bytes);
  }
}

void FileDigester::UpdateZeros(std::uint64_t count) {
  if (ticket_) {
    queue_.AddZeros(*ticket_, count);
  } else {
    hasher_.UpdateZeros(count);
  }
}

void FileDigester::UpdateFromFile(int fd, std::uint64_t offset, std::uint64_t length) {
  if (ticket_) {
    queue_.AddRange(*ticket_, fd, offset, length);
    return;
  }
  while (length > 0 && !readFailed_) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPieceBytes));
    readBuffer_.resize(piece);
    readFailed_ = !ReadWholeAt(fd, offset, readBuffer_);
    if (!readFailed_) hasher_.Update(readBuffer_);
    offset += piece;
    length -= piece;
  }
}

std::optional<ContentDigests> FileDigester::Finish() {
  if (ticket_) return queue_.Take(Detach());
  if (readFailed_) return std::nullopt;
  return hasher_.Finish();
}

DigestQueue::Ticket FileDigester::Detach() {
  const DigestQueue::Ticket ticket = ticket_.value_or(0);
  ticket_.reset();
  return ticket;
}

void FileDigester::Abandon() {
  if (ticket_) queue_.Drop(Detach());
}

}  // namespace tolvar
