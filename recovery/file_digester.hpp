#pragma once

// The SHA-256 and MD5 of written files. Small files are hashed on the
// caller's thread, where a hand-off would cost more than the hashing. Large
// files go to a queue with two threads of its own: one reads the image back
// and works out each file's SHA-256, the other the MD5s of up to eight files
// side by side in vector lanes. The copy runs on at the kernel's pace while
// several files hash at once.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <thread>
#include <vector>

#include "recovery/content_hash.hpp"
#include "recovery/md5_lanes.hpp"

namespace tolvar {

class DigestQueue {
 public:
  using Ticket = std::uint64_t;

  // `mostBytes`: how far what is fed may run ahead of what is hashed. A
  // range to read back counts its length: its bytes are in the page cache
  // until then, or are read again.
  explicit DigestQueue(std::uint64_t mostBytes);
  ~DigestQueue();  // what is still queued is dropped
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  [[nodiscard]] Ticket Open();
  void AddBytes(Ticket file, std::span<const std::byte> bytes);
  void AddZeros(Ticket file, std::uint64_t count);
  // `length` bytes of `fd` from `offset`, read back later on another
  // thread: `fd` must stay open and unchanged until the file's digests are
  // taken or it is dropped.
  void AddRange(Ticket file, int fd, std::uint64_t offset, std::uint64_t length);
  // Waits for the digests of all that was fed; nullopt when a range could
  // not be read back. Nothing more is fed to the file.
  [[nodiscard]] std::optional<ContentDigests> Take(Ticket file);
  // Drops the file: what is not hashed yet is not hashed.
  void Drop(Ticket file);

 private:
  struct Job;
  struct Piece;
  struct File;
  class PieceBuffers;
  void Add(Ticket ticket, Job job);
  void ReadLoop(const std::stop_token& stop);
  void Md5Loop(const std::stop_token& stop);
  [[nodiscard]] static bool Done(const File& file);

  const std::uint64_t mostBytes_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::map<Ticket, File> files_;           // oldest first
  std::shared_ptr<PieceBuffers> buffers_;  // shared with the pieces that hold one
  Ticket nextTicket_ = 1;
  Ticket lastRead_ = 0;        // the reader takes the files in turn
  std::uint64_t pending_ = 0;  // fed and not yet through both digests
  std::uint64_t forMd5_ = 0;   // bytes read and waiting for the MD5 thread
  // Made for the first file, so runs of small files start no thread.
  std::vector<std::jthread> threads_;  // last: they stop before the rest goes
};

class FileDigester {
 public:
  // Files below this many bytes are hashed on the caller's thread.
  static constexpr std::uint64_t kInlineBytes = std::uint64_t{1} << 20;

  // `queue` takes the large files and must outlive the digester.
  explicit FileDigester(DigestQueue& queue) : queue_(queue) {}
  ~FileDigester() { Abandon(); }
  FileDigester(const FileDigester&) = delete;
  FileDigester& operator=(const FileDigester&) = delete;

  // Starts a file of about `expectedBytes`; whatever is left of an earlier
  // file that was neither finished nor abandoned is dropped.
  void Start(std::uint64_t expectedBytes);
  void Update(std::span<const std::byte> bytes);
  // `count` zero bytes, as a hole reads back.
  void UpdateZeros(std::uint64_t count);
  // `length` bytes of `fd` from `offset`, read back for the digests (perhaps
  // later, on another thread): `fd` must stay open and unchanged until the
  // file's digests are given or it is abandoned.
  void UpdateFromFile(int fd, std::uint64_t offset, std::uint64_t length);
  // Waits for the digests of everything fed since Start; nullopt when a
  // range given to UpdateFromFile could not be read back.
  [[nodiscard]] std::optional<ContentDigests> Finish();
  // Hands a file hashed off the caller's thread over to be taken from the
  // queue later; the digester is free for the next file.
  [[nodiscard]] DigestQueue::Ticket Detach();
  // Drops the file: what is not hashed yet is not hashed.
  void Abandon();
  // Whether the file's digests are worked out on the queue's threads
  // (Finish may then wait, and Detach is possible), not on the caller's.
  [[nodiscard]] bool OffThread() const { return ticket_.has_value(); }

 private:
  DigestQueue& queue_;
  std::optional<DigestQueue::Ticket> ticket_;
  bool readFailed_ = false;
  ContentHasher hasher_;
  std::vector<std::byte> readBuffer_;  // read-backs of small files
};

}  // namespace tolvar
