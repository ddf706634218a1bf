#pragma once

// The SHA-256 and MD5 of one written file at a time, worked out off the
// copying thread: large files are hashed by two threads of the digester's
// own (one per digest, side by side, the image read back once for both)
// while the caller copies on; small
// files are hashed on the caller's thread, where a hand-off would cost more
// than the hashing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "recovery/content_hash.hpp"

namespace tolvar {

class FileDigester {
 public:
  // Files below this many bytes are hashed on the caller's thread.
  static constexpr std::uint64_t kInlineBytes = std::uint64_t{1} << 20;

  FileDigester();
  ~FileDigester();
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
  // file is finished or abandoned.
  void UpdateFromFile(int fd, std::uint64_t offset, std::uint64_t length);
  // Waits for the digests of everything fed since Start; nullopt when a
  // range given to UpdateFromFile could not be read back.
  [[nodiscard]] std::optional<ContentDigests> Finish();
  // Drops the file: what is not hashed yet is not hashed.
  void Abandon();
  // Whether the file's digests are worked out on the digester's threads
  // (Finish may then wait), not on the caller's.
  [[nodiscard]] bool OffThread() const { return !inline_; }

 private:
  class Worker;
  void Flush();

  bool inline_ = true;
  bool inlineReadFailed_ = false;
  ContentHasher inlineHasher_;
  std::vector<std::byte> readBuffer_;  // inline read-backs
  std::vector<std::byte> chunk_;       // bytes gathered for the workers
  // Made for the first large file, so runs of small files start no thread.
  std::unique_ptr<Worker> sha256_;
  std::unique_ptr<Worker> md5_;
};

}  // namespace tolvar
