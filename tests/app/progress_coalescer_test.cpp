// The progress store between workers and the window: the latest call of a
// channel wins, channels keep the order they first reported in, and only
// the first store after a take asks for a hand-over.
#include "app/progress_coalescer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tolvar {
namespace {

TEST(ProgressCoalescer, LatestPerChannelInFirstReportedOrder) {
  ProgressCoalescer store;
  std::vector<std::string> ran;
  const auto call = [&ran](std::string text) { return [&ran, text] { ran.push_back(text); }; };

  EXPECT_TRUE(store.Store("sector", call("sector 1")));  // asks for a hand-over
  EXPECT_FALSE(store.Store("status", call("status a")));
  EXPECT_FALSE(store.Store("sector", call("sector 2")));
  EXPECT_FALSE(store.Store("sector", call("sector 3")));
  for (const auto& pending : store.Take()) pending();
  EXPECT_EQ(ran, (std::vector<std::string>{"sector 3", "status a"}));
  EXPECT_TRUE(store.Empty());
  EXPECT_TRUE(store.Take().empty());

  // After a take, the next store asks again.
  EXPECT_TRUE(store.Store("status", call("status b")));
  ran.clear();
  for (const auto& pending : store.Take()) pending();
  EXPECT_EQ(ran, (std::vector<std::string>{"status b"}));
}

TEST(ProgressCoalescer, ManyWritersLeaveOneCallPerChannel) {
  ProgressCoalescer store;
  int handOvers = 0;
  std::atomic<int> asked{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&store, &asked, w] {
      for (int i = 0; i < 10000; ++i) {
        if (store.Store(w % 2 == 0 ? "even" : "odd", [] {})) asked.fetch_add(1);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  const auto taken = store.Take();
  handOvers = asked.load();
  EXPECT_EQ(taken.size(), 2u);
  EXPECT_EQ(handOvers, 1);  // nothing was taken in between
}

}  // namespace
}  // namespace tolvar
