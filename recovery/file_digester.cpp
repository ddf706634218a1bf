#include "recovery/file_digester.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace tolvar {
namespace {

// Bytes are handed to the workers in pieces of about this size.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// The most bytes a worker has queued (a read-back counts its length): the
// copy may run this far ahead of the digests, and no further. A larger job
// is still taken when the queue is empty.
constexpr std::uint64_t kQueuedBytes = std::uint64_t{4} << 20;
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

// One piece of a file's stream: bytes (kept alive by `owner`), zeros, or a
// range of a file to read back.
struct Job {
  std::shared_ptr<const void> owner;
  std::span<const std::byte> bytes;
  std::uint64_t zeros = 0;
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  static Job Bytes(std::shared_ptr<const void> owner, std::span<const std::byte> bytes) {
    Job job;
    job.owner = std::move(owner);
    job.bytes = bytes;
    return job;
  }
  static Job Zeros(std::uint64_t count) {
    Job job;
    job.zeros = count;
    return job;
  }
  static Job Range(int fd, std::uint64_t offset, std::uint64_t length) {
    Job job;
    job.fd = fd;
    job.offset = offset;
    job.length = length;
    return job;
  }

  [[nodiscard]] std::uint64_t Weight() const { return owner ? bytes.size() : length; }
};

// Feeds `hasher` `length` bytes of `fd` from `offset`; false when they do
// not all read.
bool HashRange(ContentHasher& hasher, std::vector<std::byte>& buffer, int fd, std::uint64_t offset,
               std::uint64_t length) {
  buffer.resize(kReadPiece);
  while (length > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadPiece));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    const auto size = static_cast<std::size_t>(got);
    hasher.Update(std::span<const std::byte>(buffer.data(), size));
    offset += size;
    length -= size;
  }
  return true;
}

}  // namespace

// A thread computing one digest over the jobs queued to it, in order. A
// worker with a `next` hands every piece on to it once hashed, read-backs
// as the bytes it read: the image is read back once for both digests, and
// the next worker sees the stream in the same order.
class FileDigester::Worker {
 public:
  Worker(DigestSet set, Worker* next)
      : hasher_(set), next_(next), thread_([this](std::stop_token stop) { Loop(stop); }) {}

  void Push(Job job) {
    const std::uint64_t weight = job.Weight();
    {
      std::unique_lock lock(mutex_);
      spaceFreed_.wait(lock,
                       [&] { return jobs_.empty() || queuedBytes_ + weight <= kQueuedBytes; });
      queuedBytes_ += weight;
      jobs_.push_back(std::move(job));
    }
    workAdded_.notify_one();
  }

  // Waits until all that was pushed is hashed (and handed on). Until the
  // next Push, the hasher and the read-failure flag are the caller's.
  void Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return jobs_.empty() && !busy_; });
  }

  // Drops what is queued and waits for the job under way, which stops at
  // its next piece.
  void Discard() {
    {
      std::unique_lock lock(mutex_);
      jobs_.clear();
      queuedBytes_ = 0;
      dropping_.store(true, std::memory_order_relaxed);
      idle_.wait(lock, [&] { return !busy_; });
      dropping_.store(false, std::memory_order_relaxed);
    }
    spaceFreed_.notify_all();
  }

  // Only between Drain (or Discard) and the next Push.
  void Reset() {
    hasher_.Reset();
    readFailed_ = false;
  }
  [[nodiscard]] ContentDigests Finish() { return hasher_.Finish(); }
  [[nodiscard]] bool ReadFailed() const { return readFailed_; }

 private:
  void Loop(const std::stop_token& stop) {
    while (true) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        // Closing: what is still queued belongs to no file anyone waits for.
        workAdded_.wait(lock, stop, [&] { return !jobs_.empty(); });
        if (stop.stop_requested()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        queuedBytes_ -= job.Weight();
        busy_ = true;
      }
      spaceFreed_.notify_all();
      bool failed = false;
      if (job.owner) {
        hasher_.Update(job.bytes);
        if (next_ != nullptr) next_->Push(std::move(job));
      } else if (job.fd >= 0) {
        // After a failed read-back the digests are not given: no use reading on.
        failed = readFailed_ || !ReadBack(job, stop);
      } else {
        hasher_.UpdateZeros(job.zeros);
        if (next_ != nullptr) next_->Push(std::move(job));
      }
      job = {};  // the bytes are let go before the caller hears the job is done
      {
        std::lock_guard lock(mutex_);
        busy_ = false;
        readFailed_ = readFailed_ || failed;
      }
      idle_.notify_all();
    }
  }

  // Reads a range back piece by piece, hashing each piece and handing it
  // on; false when it does not all read. A discard or a close ends it early
  // (the result is then of no interest).
  bool ReadBack(const Job& job, const std::stop_token& stop) {
    std::uint64_t offset = job.offset;
    std::uint64_t length = job.length;
    while (length > 0) {
      if (stop.stop_requested() || dropping_.load(std::memory_order_relaxed)) return true;
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadPiece));
      // Not zero-filled: every byte handed on was read.
      std::shared_ptr<std::byte[]> piece(new std::byte[want]);
      std::size_t got = 0;
      while (got < want) {
        const ssize_t count =
            ::pread(job.fd, piece.get() + got, want - got, static_cast<off_t>(offset + got));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        got += static_cast<std::size_t>(count);
      }
      const std::span<const std::byte> bytes(piece.get(), got);
      hasher_.Update(bytes);
      if (next_ != nullptr) next_->Push(Job::Bytes(std::move(piece), bytes));
      offset += got;
      length -= got;
    }
    return true;
  }

  ContentHasher hasher_;
  Worker* next_ = nullptr;  // not owned; outlives this worker
  bool readFailed_ = false;
  std::atomic<bool> dropping_{false};
  std::mutex mutex_;
  std::condition_variable_any workAdded_;
  std::condition_variable spaceFreed_;
  std::condition_variable idle_;
  std::deque<Job> jobs_;
  std::uint64_t queuedBytes_ = 0;
  bool busy_ = false;
  std::jthread thread_;  // last: it starts after, and stops before, the rest
};

FileDigester::FileDigester() = default;

FileDigester::~FileDigester() {
  // The first hands on to the second: it goes first.
  sha256_.reset();
  md5_.reset();
}

void FileDigester::Start(std::uint64_t expectedBytes) {
  Abandon();
  inline_ = expectedBytes < kInlineBytes;
  if (inline_) {
    inlineHasher_.Reset();
    inlineReadFailed_ = false;
    return;
  }
  if (!sha256_) {
    // SHA-256 is the faster of the two here: its thread also reads back.
    md5_ = std::make_unique<Worker>(DigestSet::kMd5Only, nullptr);
    sha256_ = std::make_unique<Worker>(DigestSet::kSha256Only, md5_.get());
  }
  sha256_->Reset();
  md5_->Reset();
}

void FileDigester::Update(std::span<const std::byte> bytes) {
  if (inline_) {
    inlineHasher_.Update(bytes);
    return;
  }
  if (chunk_.capacity() < kChunkBytes) chunk_.reserve(kChunkBytes);
  chunk_.insert(chunk_.end(), bytes.begin(), bytes.end());
  if (chunk_.size() >= kChunkBytes) Flush();
}

void FileDigester::UpdateZeros(std::uint64_t count) {
  if (count == 0) return;
  if (inline_) {
    inlineHasher_.UpdateZeros(count);
    return;
  }
  Flush();
  sha256_->Push(Job::Zeros(count));
}

void FileDigester::UpdateFromFile(int fd, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  if (inline_) {
    if (!inlineReadFailed_ && !HashRange(inlineHasher_, readBuffer_, fd, offset, length)) {
      inlineReadFailed_ = true;
    }
    return;
  }
  Flush();
  sha256_->Push(Job::Range(fd, offset, length));
}

void FileDigester::Flush() {
  if (chunk_.empty()) return;
  auto bytes = std::make_shared<const std::vector<std::byte>>(std::move(chunk_));
  chunk_ = {};
  const std::span<const std::byte> view(*bytes);
  sha256_->Push(Job::Bytes(std::move(bytes), view));
}

std::optional<ContentDigests> FileDigester::Finish() {
  if (inline_) {
    if (inlineReadFailed_) return std::nullopt;
    return inlineHasher_.Finish();
  }
  Flush();
  sha256_->Drain();  // then all is handed on
  md5_->Drain();
  if (sha256_->ReadFailed() || md5_->ReadFailed()) return std::nullopt;
  ContentDigests digests;
  digests.sha256 = sha256_->Finish().sha256;
  digests.md5 = md5_->Finish().md5;
  return digests;
}

void FileDigester::Abandon() {
  chunk_.clear();
  if (sha256_) {
    sha256_->Discard();
    md5_->Discard();
  }
}

}  // namespace tolvar
