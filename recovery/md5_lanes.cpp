#include "recovery/md5_lanes.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "recovery/md5_rounds.hpp"

namespace tolvar {
namespace {

using md5::kLanes;

struct Scalar {
  using V = std::uint32_t;
  static V Add(V x, V y) { return x + y; }
  static V Splat(V x) { return x; }
  template <int Bits>
  static V Rotl(V x) {
    return (x << Bits) | (x >> (32 - Bits));
  }
  template <int Round>
  static V Mix(V b, V c, V d) {
    if constexpr (Round == 0) return d ^ (b & (c ^ d));
    if constexpr (Round == 1) return c ^ (d & (b ^ c));
    if constexpr (Round == 2) return b ^ c ^ d;
    if constexpr (Round == 3) return c ^ (b | ~d);
  }
};

std::uint32_t LoadLittle(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void CompressScalar(std::uint32_t (&state)[4], const unsigned char* block) {
  std::uint32_t words[16];
  for (int w = 0; w < 16; ++w) words[w] = LoadLittle(block + 4 * w);
  md5::CompressBlock<Scalar>(state, words);
}

// A long run of zeros is fed straight from here, up to this many blocks at
// a time.
constexpr unsigned kZeroBlocks = 64;
alignas(64) constexpr unsigned char kZeros[kZeroBlocks * 64] = {};

// Walks one message 64 bytes at a time, pointing into its bytes where whole
// blocks lie there and gathering a block where one spans a zero run's edge.
class Cursor {
 public:
  explicit Cursor(const Md5Message& message) : message_(message), total_(message.bytes.size()) {
    for (const auto& run : message.zeroRuns) total_ += run.second;
  }

  // Where the next whole blocks are, and how many lie there in a row (at
  // most kZeroBlocks); nullptr once fewer than 64 bytes are left.
  const unsigned char* Blocks(unsigned& count) {
    gathered_ = false;
    if (total_ - position_ < 64) return nullptr;
    const auto [length, zeros] = Segment();
    if (length >= 64) {
      count = static_cast<unsigned>(std::min<std::uint64_t>(length / 64, kZeroBlocks));
      if (zeros) return kZeros;
      return reinterpret_cast<const unsigned char*>(message_.bytes.data()) + used_;
    }
    Take(gather_.data(), 64);
    gathered_ = true;
    count = 1;
    return gather_.data();
  }

  // Moves past `count` blocks that Blocks pointed at.
  void Advance(unsigned count) {
    if (gathered_) return;  // taken as it was gathered
    const std::uint64_t length = std::uint64_t{count} * 64;
    if (!Segment().second) used_ += length;
    position_ += length;
  }

  // The last, partial block with MD5's padding and the length in bits: one
  // or two blocks in `out`; returns how many.
  unsigned Tail(unsigned char (&out)[128]) {
    const auto left = static_cast<std::size_t>(total_ - position_);
    std::memset(out, 0, sizeof out);
    Take(out, left);
    out[left] = 0x80;
    const unsigned blocks = left + 1 + 8 <= 64 ? 1 : 2;
    const std::uint64_t bits = total_ * 8;
    for (int i = 0; i < 8; ++i)
      out[blocks * 64 - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    return blocks;
  }

 private:
  // The length of the piece the position is in, and whether it is zeros.
  std::pair<std::uint64_t, bool> Segment() {
    const auto& runs = message_.zeroRuns;
    while (run_ < runs.size() && runs[run_].first + runs[run_].second <= position_) ++run_;
    if (run_ < runs.size() && runs[run_].first <= position_) {
      return {runs[run_].first + runs[run_].second - position_, true};
    }
    const std::uint64_t end = run_ < runs.size() ? runs[run_].first : total_;
    return {end - position_, false};
  }

  void Take(unsigned char* out, std::size_t count) {
    while (count > 0) {
      const auto [length, zeros] = Segment();
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, count));
      if (zeros) {
        std::memset(out, 0, piece);
      } else {
        std::memcpy(out, message_.bytes.data() + used_, piece);
        used_ += piece;
      }
      position_ += piece;
      out += piece;
      count -= piece;
    }
  }

  Md5Message message_;
  std::uint64_t total_ = 0;
  std::uint64_t position_ = 0;  // in the message
  std::size_t used_ = 0;        // of its bytes
  std::size_t run_ = 0;         // the first zero run not yet passed
  std::array<unsigned char, 64> gather_{};
  bool gathered_ = false;
};

std::string Hex(const std::uint32_t (&state)[4]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    const auto byte = static_cast<unsigned>(state[i / 4] >> (8 * (i % 4))) & 0xFF;
    hex[2 * i] = kDigits[byte >> 4];
    hex[2 * i + 1] = kDigits[byte & 0xF];
  }
  return hex;
}

std::string FinishScalar(std::uint32_t (&state)[4], Cursor& cursor) {
  unsigned char tail[128];
  const unsigned blocks = cursor.Tail(tail);
  for (unsigned i = 0; i < blocks; ++i) CompressScalar(state, tail + 64 * i);
  return Hex(state);
}

std::string Md5Scalar(const Md5Message& message) {
  Cursor cursor(message);
  std::uint32_t state[4];
  std::memcpy(state, md5::kInitialState, sizeof state);
  unsigned count = 0;
  while (const unsigned char* blocks = cursor.Blocks(count)) {
    for (unsigned i = 0; i < count; ++i) CompressScalar(state, blocks + 64 * i);
    cursor.Advance(count);
  }
  return FinishScalar(state, cursor);
}

using LaneKernel = void (*)(std::uint32_t (&)[4][kLanes], const unsigned char* const (&)[kLanes],
                            unsigned);

LaneKernel KernelFor(Md5Engine engine) {
#if defined(TOLVAR_MD5_LANES_X86)
  __builtin_cpu_init();
  if (engine == Md5Engine::kBest && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512vl")) {
    return md5::CompressLanesAvx512;
  }
  if (engine != Md5Engine::kScalar && __builtin_cpu_supports("avx2")) {
    return md5::CompressLanesAvx2;
  }
#else
  (void)engine;
#endif
  return nullptr;
}

// Fills the lanes from the messages in order; a lane whose message ends
// takes the next, so that the lanes stay busy while messages differ in size.
void Md5InLanes(std::span<const Md5Message> messages, LaneKernel kernel,
                std::vector<std::string>& digests) {
  struct Lane {
    std::optional<Cursor> cursor;
    std::size_t message = 0;
  };
  std::array<Lane, kLanes> lanes;
  std::uint32_t state[4][kLanes] = {};
  std::size_t next = 0;
  auto load = [&](int lane) {
    lanes[lane].cursor.reset();
    if (next == messages.size()) return;
    lanes[lane].message = next;
    lanes[lane].cursor.emplace(messages[next++]);
    for (int w = 0; w < 4; ++w) state[w][lane] = md5::kInitialState[w];
  };
  for (int lane = 0; lane < kLanes; ++lane) load(lane);

  const unsigned char* blocks[kLanes];
  unsigned counts[kLanes];
  while (true) {
    bool any = false;
    unsigned step = kZeroBlocks;
    for (int lane = 0; lane < kLanes; ++lane) {
      blocks[lane] = nullptr;
      while (lanes[lane].cursor) {
        blocks[lane] = lanes[lane].cursor->Blocks(counts[lane]);
        if (blocks[lane] != nullptr) break;
        std::uint32_t own[4] = {state[0][lane], state[1][lane], state[2][lane], state[3][lane]};
        digests[lanes[lane].message] = FinishScalar(own, *lanes[lane].cursor);
        load(lane);
      }
      if (blocks[lane] == nullptr) {
        blocks[lane] = kZeros;  // an idle lane: its state is not used
        continue;
      }
      any = true;
      step = std::min(step, counts[lane]);
    }
    if (!any) return;
    kernel(state, blocks, step);
    for (Lane& lane : lanes) {
      if (lane.cursor) lane.cursor->Advance(step);
    }
  }
}

}  // namespace

std::vector<std::string> Md5OfMessages(std::span<const Md5Message> messages, Md5Engine engine) {
  std::vector<std::string> digests(messages.size());
  // Asked once: the answer does not change while the program runs.
  static const LaneKernel best = KernelFor(Md5Engine::kBest);
  static const LaneKernel avx2 = KernelFor(Md5Engine::kAvx2);
  const LaneKernel kernel = engine == Md5Engine::kBest   ? best
                            : engine == Md5Engine::kAvx2 ? avx2
                                                         : nullptr;
  // A single message gains nothing from the lanes.
  if (kernel != nullptr && messages.size() > 1) {
    Md5InLanes(messages, kernel, digests);
    return digests;
  }
  for (std::size_t i = 0; i < messages.size(); ++i) digests[i] = Md5Scalar(messages[i]);
  return digests;
}

}  // namespace tolvar
