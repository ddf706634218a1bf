#pragma once

// SHA-256 and MD5 of a stream of bytes, fed piece by piece as the bytes go
// by, so that a copy is hashed without being read back.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "base/error.hpp"
#include "base/stop_token.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

struct ContentDigests {
  std::string sha256;  // lower-case hex
  std::string md5;
};

// Which digests a hasher keeps.
enum class DigestSet { kSha256AndMd5, kSha256Only, kMd5Only };

class ContentHasher {
 public:
  explicit ContentHasher(DigestSet set = DigestSet::kSha256AndMd5);
  ~ContentHasher();
  ContentHasher(ContentHasher&&) noexcept;
  ContentHasher& operator=(ContentHasher&&) noexcept;
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  // Starts a new stream.
  void Reset();
  void Update(std::span<const std::byte> bytes);
  // `count` zero bytes, as a hole reads back.
  void UpdateZeros(std::uint64_t count);
  // The digests of everything fed since Reset; the hasher must be Reset
  // before it is fed again. A digest the set leaves out is empty.
  [[nodiscard]] ContentDigests Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// SHA-256 of every byte of `source`, read front to back in large pieces.
// Any byte that cannot be read is an error naming its offset: a hash of a
// source with holes in it would prove nothing. A stop gives kStopped.
[[nodiscard]] std::expected<std::string, Error> HashWholeSource(BlockDeviceSource& source,
                                                                StopToken stop);

}  // namespace tolvar
