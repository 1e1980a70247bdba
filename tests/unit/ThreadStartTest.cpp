// Threads that cannot be started. This binary brings its own StartThread,
// which the linker takes in place of the engine's; once armed, it starts
// only so many threads more and then fails as a system out of threads does.
#include "engine/threads/Workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <system_error>
#include <vector>

namespace tailsnip {
namespace {
std::atomic<int> gStartsLeft{-1}; // -1: every start succeeds
} // namespace

std::thread StartThread(std::function<void()> body) {
  for (int left = gStartsLeft; left != -1;)
    if (left == 0)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    else if (gStartsLeft.compare_exchange_weak(left, left - 1))
      break;
  return std::thread(std::move(body));
}

namespace {

class ThreadStartTest : public ::testing::Test {
protected:
  void TearDown() override { gStartsLeft = -1; }
};

TEST_F(ThreadStartTest, WithoutThreadsTheOwnerDoesEveryCall) {
  gStartsLeft = 0;
  Workers workers(7, 7);
  EXPECT_FALSE(workers.post([] {}));
  std::vector<int> calls(10);
  std::set<std::thread::id> callers;
  workers.forEach(calls.size(), [&](std::size_t i) {
    ++calls[i];
    callers.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(std::vector<int>(10, 1), calls);
  EXPECT_EQ(std::set<std::thread::id>{std::this_thread::get_id()}, callers);
  // The next hand-over tries again.
  gStartsLeft = -1;
  EXPECT_TRUE(workers.post([] {}));
}

TEST_F(ThreadStartTest, TheThreadsThatCouldStartServe) {
  gStartsLeft = 2;
  Workers workers(7, 7);
  std::vector<std::atomic<int>> calls(64);
  std::mutex mutex;
  std::set<std::thread::id> callers;
  workers.forEach(calls.size(), [&](std::size_t i) {
    ++calls[i];
    std::lock_guard<std::mutex> lock(mutex);
    callers.insert(std::this_thread::get_id());
  });
  for (std::size_t i = 0; i < calls.size(); ++i)
    EXPECT_EQ(1, calls[i]) << i;
  EXPECT_GE(3u, callers.size());
}

} // namespace
} // namespace tailsnip
