// Threads that cannot be started. This binary brings its own StartThread,
// which the linker takes in place of the engine's; once armed, it starts
// only so many threads more and then fails as a system out of threads does.
#include "engine/run/RunTrim.h"
#include "engine/threads/Workers.h"

#include "TestSupport.h"

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

using testing::ReadBytes;
using testing::Scratch;

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

TEST_F(ThreadStartTest, RunWithCopiesInFlightShortensEveryFileWithFewOrNoThreads) {
  // Reading ahead, writing behind, flushing and closing: whichever thread
  // cannot start, its work is done on a thread that exists.
  for (const int starts : {0, 1, 2}) {
    Scratch scratch;
    const std::string big(3 << 20, 'x');
    scratch.file("a/first", "1\n2\n");
    std::filesystem::create_hard_link(scratch.tree() / "a" / "first",
                                      scratch.tree() / "a" / "second");
    for (int i = 0; i < 20; ++i)
      scratch.file("b/" + std::to_string(i), "1\n2\n");
    scratch.file("c/big", big + "\nlast\n");
    RunOptions options;
    options.copiesInFlight = 256;
    std::string notice;
    gStartsLeft = starts;
    const RunReport report = RunTrim(
        testing::Native(scratch.tree()), [&](const std::string &text) { notice = text; }, options);
    gStartsLeft = -1;
    EXPECT_EQ("finished!", notice) << starts << " threads";
    EXPECT_EQ(23u, report.shortened) << starts << " threads";
    EXPECT_EQ("1\r\n", ReadBytes(scratch.tree() / "a" / "second")) << starts << " threads";
    EXPECT_EQ("1\r\n", ReadBytes(scratch.tree() / "b" / "19")) << starts << " threads";
    EXPECT_EQ(big + "\r\n", ReadBytes(scratch.tree() / "c" / "big")) << starts << " threads";
  }
}

} // namespace
} // namespace tailsnip
