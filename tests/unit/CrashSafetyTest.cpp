// A run killed at any moment leaves every file as it was or correctly
// shortened: never missing, never partial, never shortened twice, also
// where files are cut in place.
#include "engine/run/RunTrim.h"

#include "ReferenceModel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;
namespace stdfs = std::filesystem;

TEST(CrashSafetyTest, KilledRunLosesNothing) {
  Scratch scratch;
  std::map<stdfs::path, std::string> originals;
  for (int i = 0; i < 60; ++i) {
    std::string content;
    const int lines = 3 + (i % 7) * 4000; // up to about 200 KiB
    // Every other file has CR LF line ends: a run in place cuts it.
    for (int line = 0; line < lines; ++line)
      content += "file " + std::to_string(i) + " line " + std::to_string(line) +
                 (i % 2 == 0 ? "\r\n" : "\n");
    originals[scratch.tree() / ("d" + std::to_string(i % 5)) / ("f" + std::to_string(i))] = content;
  }
  std::mt19937 random(42);
  int killedMidRun = 0;
  for (int round = 0; round < 40; ++round) {
    // Every other run has many copies in flight, written before any is
    // renamed; every other pair of runs may shorten in place.
    RunOptions options;
    options.copiesInFlight = round % 2 == 0 ? 1 : 16;
    options.shortenInPlace = round % 4 >= 2;
    for (const auto &[path, content] : originals) {
      stdfs::create_directories(path.parent_path());
      testing::WriteBytes(path, content);
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      RunTrim(
          scratch.tree().string(), [](const std::string &) {}, options);
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    killedMidRun += WIFSIGNALED(status) ? 1 : 0;

    for (const auto &[path, content] : originals) {
      ASSERT_TRUE(stdfs::exists(path)) << path << " is missing after round " << round;
      const std::string now = ReadBytes(path);
      EXPECT_TRUE(now == content || now == reference::Shortened(content))
          << path << " is partial after round " << round << " (" << now.size() << " of "
          << content.size() << " bytes)";
    }
    std::error_code ignored;
    stdfs::remove(scratch.cwd() / "temp.txt", ignored); // a killed run's copies
    for (const auto &entry : stdfs::recursive_directory_iterator(scratch.tree()))
      if (entry.path().filename().string().rfind(".tailsnip-", 0) == 0)
        stdfs::remove(entry.path(), ignored);
  }
  EXPECT_GT(killedMidRun, 0) << "no run was ever interrupted: the test proved nothing";
}

} // namespace
} // namespace tailsnip
