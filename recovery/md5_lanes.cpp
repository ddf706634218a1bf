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

  // Bytes not yet passed.
  [[nodiscard]] std::uint64_t Left() const { return total_ - position_; }
  [[nodiscard]] std::uint64_t Total() const { return total_; }

  // Copies the next `count` bytes out (zeros where a run is).
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

  Md5Message message_;
  std::uint64_t total_ = 0;
  std::uint64_t position_ = 0;  // in the message
  std::size_t used_ = 0;        // of its bytes
  std::size_t run_ = 0;         // the first zero run not yet passed
  std::array<unsigned char, 64> gather_{};
  bool gathered_ = false;
};

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

LaneKernel Kernel(Md5Engine engine) {
  // Asked once: the answer does not change while the program runs.
  static const LaneKernel best = KernelFor(Md5Engine::kBest);
  static const LaneKernel avx2 = KernelFor(Md5Engine::kAvx2);
  return engine == Md5Engine::kBest ? best : engine == Md5Engine::kAvx2 ? avx2 : nullptr;
}

}  // namespace

void Md5Stream::Reset() {
  std::memcpy(state_, md5::kInitialState, sizeof state_);
  length_ = 0;
  partialSize_ = 0;
}

std::string Md5Stream::Finish() {
  unsigned char tail[128] = {};
  std::memcpy(tail, partial_, partialSize_);
  tail[partialSize_] = 0x80;
  const unsigned blocks = partialSize_ + 1 + 8 <= 64 ? 1 : 2;
  const std::uint64_t bits = length_ * 8;
  for (int i = 0; i < 8; ++i) {
    tail[blocks * 64 - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  }
  for (unsigned i = 0; i < blocks; ++i) CompressScalar(state_, tail + 64 * i);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    const auto byte = static_cast<unsigned>(state_[i / 4] >> (8 * (i % 4))) & 0xFF;
    hex[2 * i] = kDigits[byte >> 4];
    hex[2 * i + 1] = kDigits[byte & 0xF];
  }
  Reset();
  return hex;
}

void UpdateMd5Streams(std::span<const Md5Update> updates, Md5Engine engine) {
  // Each stream first tops up the block it has begun; its whole blocks then
  // go through the lanes, and what is left past the last begins the next.
  std::vector<Cursor> cursors;
  cursors.reserve(updates.size());
  for (const Md5Update& update : updates) {
    Md5Stream& stream = *update.stream;
    Cursor& cursor = cursors.emplace_back(update.piece);
    stream.length_ += cursor.Total();
    if (stream.partialSize_ == 0) continue;
    const auto top =
        static_cast<unsigned>(std::min<std::uint64_t>(64 - stream.partialSize_, cursor.Left()));
    cursor.Take(stream.partial_ + stream.partialSize_, top);
    stream.partialSize_ += top;
    if (stream.partialSize_ == 64) {
      CompressScalar(stream.state_, stream.partial_);
      stream.partialSize_ = 0;
    }
  }
  auto keepRest = [&](std::size_t index) {
    Md5Stream& stream = *updates[index].stream;
    const auto rest = static_cast<unsigned>(cursors[index].Left());
    if (rest == 0) return;  // a piece that only topped up a block
    cursors[index].Take(stream.partial_ + stream.partialSize_, rest);
    stream.partialSize_ += rest;
  };

  const LaneKernel kernel = Kernel(engine);
  // A single stream gains nothing from the lanes.
  if (kernel == nullptr || updates.size() < 2) {
    for (std::size_t i = 0; i < updates.size(); ++i) {
      unsigned count = 0;
      while (const unsigned char* blocks = cursors[i].Blocks(count)) {
        for (unsigned n = 0; n < count; ++n)
          CompressScalar(updates[i].stream->state_, blocks + 64 * n);
        cursors[i].Advance(count);
      }
      keepRest(i);
    }
    return;
  }

  // A lane whose stream has no whole block left takes the next stream, so
  // that the lanes stay busy while pieces differ in size.
  constexpr std::size_t kIdle = static_cast<std::size_t>(-1);
  std::array<std::size_t, kLanes> lanes;
  std::uint32_t state[4][kLanes] = {};
  std::size_t next = 0;
  auto load = [&](int lane) {
    lanes[lane] = next == updates.size() ? kIdle : next++;
    if (lanes[lane] == kIdle) return;
    for (int w = 0; w < 4; ++w) state[w][lane] = updates[lanes[lane]].stream->state_[w];
  };
  for (int lane = 0; lane < kLanes; ++lane) load(lane);

  const unsigned char* blocks[kLanes];
  unsigned counts[kLanes];
  while (true) {
    bool any = false;
    unsigned step = kZeroBlocks;
    for (int lane = 0; lane < kLanes; ++lane) {
      blocks[lane] = nullptr;
      while (lanes[lane] != kIdle) {
        blocks[lane] = cursors[lanes[lane]].Blocks(counts[lane]);
        if (blocks[lane] != nullptr) break;
        for (int w = 0; w < 4; ++w) updates[lanes[lane]].stream->state_[w] = state[w][lane];
        keepRest(lanes[lane]);
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
    for (int lane = 0; lane < kLanes; ++lane) {
      if (lanes[lane] != kIdle) cursors[lanes[lane]].Advance(step);
    }
  }
}

std::vector<std::string> Md5OfMessages(std::span<const Md5Message> messages, Md5Engine engine) {
  std::vector<Md5Stream> streams(messages.size());
  std::vector<Md5Update> updates;
  updates.reserve(messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) updates.push_back({&streams[i], messages[i]});
  UpdateMd5Streams(updates, engine);
  std::vector<std::string> digests;
  digests.reserve(messages.size());
  for (Md5Stream& stream : streams) digests.push_back(stream.Finish());
  return digests;
}

}  // namespace tolvar
