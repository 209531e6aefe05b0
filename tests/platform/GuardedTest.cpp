#include "platform/Guarded.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Pair {
  long first = 0;
  long second = 0;
  std::string text;
};

// Writers change two fields together through with(); readers, through
// with() as well, must never see one changed without the other, and no
// increment may be lost.
TEST(GuardedTest, ChangesMadeTogetherAreSeenTogetherAndNoneIsLost) {
  kx::Guarded<Pair> guarded;
  constexpr int kWriters = 4;
  constexpr int kRounds = 2000;
  std::atomic<bool> torn{false};
  std::atomic<int> writersLeft{kWriters};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        guarded.with([](Pair& p) {
          ++p.first;
          ++p.second;
        });
      }
      --writersLeft;
    });
  }
  threads.emplace_back([&] {
    while (writersLeft.load() > 0) {
      if (guarded.with([](const Pair& p) { return p.first != p.second; })) torn = true;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(guarded.get(&Pair::first), kWriters * kRounds);
  EXPECT_EQ(guarded.get(&Pair::second), kWriters * kRounds);
}

// get() hands out a copy: changing the field afterwards does not reach it,
// and set() replaces only the field it names.
TEST(GuardedTest, GetCopiesAndSetReplacesOneField) {
  kx::Guarded<Pair> guarded(Pair{1, 2, "before"});
  std::string copy = guarded.get(&Pair::text);
  guarded.set(&Pair::text, "after");
  EXPECT_EQ(copy, "before");
  EXPECT_EQ(guarded.get(&Pair::text), "after");
  EXPECT_EQ(guarded.get(&Pair::first), 1);
  EXPECT_EQ(guarded.get(&Pair::second), 2);
  EXPECT_EQ(guarded.with([](const Pair& p) { return p.first + p.second; }), 3);
}

}  // namespace
