#include "recovery/md5_lanes.hpp"

#include <gtest/gtest.h>

#include <random>

#include "recovery/content_hash.hpp"

namespace tolvar {
namespace {

using ZeroRuns = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

struct Held {
  std::vector<std::byte> bytes;
  ZeroRuns zeroRuns;
};

// A message of `length` bytes whose zero runs are `runs` (offset, length).
Held MakeMessage(std::mt19937& random, std::uint64_t length, ZeroRuns runs) {
  Held held;
  std::uint64_t zeros = 0;
  for (const auto& run : runs) zeros += run.second;
  held.bytes.resize(length - zeros);
  for (std::byte& b : held.bytes) b = static_cast<std::byte>(random());
  held.zeroRuns = std::move(runs);
  return held;
}

// The same message through the library's MD5, fed as the writers feed it.
std::string ReferenceMd5(const Held& held) {
  ContentHasher hasher(DigestSet::kMd5Only);
  std::uint64_t at = 0;
  std::size_t used = 0;
  for (const auto& [offset, length] : held.zeroRuns) {
    hasher.Update(std::span(held.bytes).subspan(used, offset - at));
    used += offset - at;
    hasher.UpdateZeros(length);
    at = offset + length;
  }
  hasher.Update(std::span(held.bytes).subspan(used));
  return hasher.Finish().md5;
}

TEST(Md5Lanes, KnownDigests) {
  const std::string abc = "abc";
  const Md5Message messages[] = {
      {{}, {}},
      {std::as_bytes(std::span(abc)), {}},
  };
  for (const Md5Engine engine : {Md5Engine::kBest, Md5Engine::kAvx2, Md5Engine::kScalar}) {
    const auto digests = Md5OfMessages(messages, engine);
    EXPECT_EQ(digests[0], "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digests[1], "900150983cd24fb0d6963f7d28e17f72");
  }
}

// Batches of messages of every awkward length, with zero runs at the start,
// the end, across block edges and long enough to be fed from the zero
// block, each batch by both engines against the library's MD5.
TEST(Md5Lanes, BatchesMatchTheLibraryDigest) {
  std::mt19937 random(7);
  const std::vector<std::uint64_t> lengths = {0,   1,   55,  56,   63,   64,    65,    119,
                                              120, 127, 128, 1000, 4096, 12345, 70000, 262144};
  std::vector<Held> held;
  for (const std::uint64_t length : lengths) held.push_back(MakeMessage(random, length, {}));
  held.push_back(MakeMessage(random, 300, {{0, 10}, {60, 10}, {100, 0}, {290, 10}}));
  held.push_back(MakeMessage(random, 20000, {{5, 9000}}));
  held.push_back(MakeMessage(random, 9000, {{0, 9000}}));
  held.push_back(MakeMessage(random, 5000, {{64, 128}, {1000, 4000}}));

  struct Batch {
    std::size_t first;
    std::size_t count;
  };
  // One, a few, exactly the lanes, one past them, and all (lanes refilled).
  const std::vector<Batch> batches = {{0, 1}, {3, 3}, {8, 8}, {2, 9}, {0, held.size()}};
  for (const Batch& batch : batches) {
    std::vector<Md5Message> messages;
    for (std::size_t i = batch.first; i < batch.first + batch.count; ++i) {
      messages.push_back({held[i].bytes, held[i].zeroRuns});
    }
    for (const Md5Engine engine : {Md5Engine::kBest, Md5Engine::kAvx2, Md5Engine::kScalar}) {
      const auto digests = Md5OfMessages(messages, engine);
      ASSERT_EQ(digests.size(), messages.size());
      for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(digests[i], ReferenceMd5(held[batch.first + i]))
            << "message " << batch.first + i << " in a batch of " << batch.count << " by engine "
            << static_cast<int>(engine);
      }
    }
  }
}

// Streams fed piece by piece, a different set of them in each call and the
// pieces cut at odd places (some shorter than a block), as a queue of large
// files feeds them.
TEST(Md5Lanes, StreamsFedInPiecesMatchTheLibraryDigest) {
  std::mt19937 random(11);
  std::vector<Held> held;
  for (const std::uint64_t length : {0, 63, 64, 200, 5000, 100000, 100001, 300000}) {
    held.push_back(MakeMessage(random, length, {}));
  }
  std::vector<Md5Stream> streams(held.size());
  std::vector<std::size_t> fed(held.size(), 0);
  for (int round = 0; round < 1000; ++round) {
    std::vector<Md5Update> updates;
    for (std::size_t i = 0; i < held.size(); ++i) {
      if (fed[i] == held[i].bytes.size() || random() % 3 == 0) continue;
      const std::size_t piece = std::min<std::size_t>(
          held[i].bytes.size() - fed[i], random() % 3 == 0 ? random() % 70 : random() % 9000);
      updates.push_back({&streams[i], {std::span(held[i].bytes).subspan(fed[i], piece), {}}});
      fed[i] += piece;
    }
    UpdateMd5Streams(updates);
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    ASSERT_EQ(fed[i], held[i].bytes.size()) << "message " << i << " was not fed whole";
    EXPECT_EQ(streams[i].Finish(), ReferenceMd5(held[i])) << "message " << i;
  }
}

}  // namespace
}  // namespace tolvar
