// The threads facility by itself: what it promises its owner, whatever the
// timing of its threads.
#include "engine/threads/Workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace tailsnip {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(WorkersTest, RoundsOfOneThenManyMakeEveryCallOnceAndReturnAfterTheLast) {
  // A round of one starts no thread; the threads started for the next must
  // take only that round's calls, and all of them. Fresh workers each time,
  // since the threads' start is where a round could be mistaken.
  for (int attempt = 0; attempt < 100; ++attempt) {
    Workers workers(7, 7);
    int firstCalls = 0;
    workers.forEach(1, [&](std::size_t) { ++firstCalls; });
    constexpr std::size_t kCount = 16;
    std::vector<std::atomic<int>> calls(kCount);
    std::atomic<int> running{0};
    workers.forEach(kCount, [&](std::size_t i) {
      ++running;
      ++calls[i];
      std::this_thread::sleep_for(microseconds(100));
      --running;
    });
    ASSERT_EQ(0, running) << "returned while a call ran, attempt " << attempt;
    ASSERT_EQ(1, firstCalls) << "the first round's job was called again, attempt " << attempt;
    for (std::size_t i = 0; i < kCount; ++i)
      ASSERT_EQ(1, calls[i]) << "call " << i << ", attempt " << attempt;
  }
}

TEST(WorkersTest, OneWorkerRunsJobsOneAfterTheOtherInTheirOrder) {
  Workers workers(1, 4);
  std::vector<int> order; // touched by one job at a time, then by this thread after wait()
  for (int round = 0; round < 3; ++round) {
    for (int job = 0; job < 4; ++job)
      ASSERT_TRUE(workers.post([&order, job] { order.push_back(job); }));
    workers.wait();
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}), order);
}

TEST(WorkersTest, JobsBeyondTheMostInHandAreRefused) {
  Workers workers(1, 2);
  std::promise<void> open;
  const std::shared_future<void> gate = open.get_future().share();
  int ran = 0;
  EXPECT_TRUE(workers.post([&] {
    gate.wait();
    ++ran;
  }));
  EXPECT_TRUE(workers.post([&] { ++ran; }));
  EXPECT_FALSE(workers.post([&] { ran += 100; })) << "a third job was taken while two were in hand";
  open.set_value();
  workers.wait();
  EXPECT_EQ(2, ran);
  EXPECT_TRUE(workers.post([&] { ++ran; })) << "no job is in hand any more";
  workers.wait();
  EXPECT_EQ(3, ran);
}

TEST(WorkersTest, DestroyedWhileBusyFinishesEveryJobHandedOver) {
  std::promise<void> open;
  const std::shared_future<void> gate = open.get_future().share();
  std::atomic<bool> first{false};
  std::atomic<bool> second{false};
  std::thread opener([&] {
    std::this_thread::sleep_for(milliseconds(20));
    open.set_value();
  });
  {
    Workers workers(1, 2);
    EXPECT_TRUE(workers.post([&] {
      gate.wait();
      first = true;
    }));
    EXPECT_TRUE(workers.post([&] { second = true; }));
  } // destroyed while the first job waits at its gate
  opener.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

} // namespace
} // namespace tailsnip
