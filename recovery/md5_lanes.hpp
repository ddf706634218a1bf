#pragma once

// MD5 of many messages at once. MD5 cannot be split within one message, so
// a single stream runs at one core's pace; eight messages side by side in
// the lanes of vector registers go several times as fast per core. Used
// where many files are hashed together, as the writers of small files do.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tolvar {

// A message as a file's bytes are held: `bytes` holds everything except the
// runs of `zeroRuns` (offset in the message, length; ascending, apart),
// which read as zeros.
struct Md5Message {
  std::span<const std::byte> bytes;
  std::span<const std::pair<std::uint64_t, std::uint64_t>> zeroRuns;
};

enum class Md5Engine {
  kBest,    // the fastest the processor has
  kAvx2,    // eight lanes of AVX2 even where AVX-512 is there; else one at a time
  kScalar,  // one message at a time
};

struct Md5Update;

// One MD5 fed piece by piece, alone or beside others.
class Md5Stream {
 public:
  Md5Stream() { Reset(); }
  void Reset();
  // The lower-case hex digest of everything fed; the stream starts anew.
  [[nodiscard]] std::string Finish();

 private:
  friend void UpdateMd5Streams(std::span<const Md5Update> updates, Md5Engine engine);
  std::uint32_t state_[4];
  std::uint64_t length_ = 0;
  unsigned char partial_[64];  // a block begun
  unsigned partialSize_ = 0;
};

struct Md5Update {
  Md5Stream* stream;
  Md5Message piece;
};

// Feeds each stream its piece, the streams side by side in the lanes. A
// stream appears at most once.
void UpdateMd5Streams(std::span<const Md5Update> updates, Md5Engine engine = Md5Engine::kBest);

// The lower-case hex MD5 of each message, in order.
[[nodiscard]] std::vector<std::string> Md5OfMessages(std::span<const Md5Message> messages,
                                                     Md5Engine engine = Md5Engine::kBest);

}  // namespace tolvar
