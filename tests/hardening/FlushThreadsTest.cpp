// Runs where no flush of a whole volume is to be had, as on Windows, so
// that the copies are flushed from several threads at once. The first batch
// holds one copy (a file with two names is committed alone), the next ones
// many: the threads that flush those start after a round of one. The run's
// threads are paused after each mutex they unlock, so that a race between
// them shows; built with ThreadSanitizer, the run also checks itself.
#include "ProgramRun.h"

#include "PosixVolume.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tailsnip {
namespace {

namespace stdfs = std::filesystem;
using hardening::ProgramRun;
using hardening::RunProgram;
using testing::ReadBytes;
using testing::Scratch;
using testing::TmpfsVolume;

TEST(FlushThreadsTest, EveryFileLosesOneLineWhenTheFirstBatchHoldsOneCopy) {
  Scratch scratch;
  const TmpfsVolume volume(scratch.tree(), 16 << 20); // flushes cost nothing there
  for (int round = 0; round < 20; ++round) {
    for (const auto &item : stdfs::directory_iterator(scratch.tree()))
      stdfs::remove(item.path());
    for (int i = 0; i < 200; ++i)
      scratch.file(std::to_string(i), "1\n2\n");
    // The walk lists a folder in its own order: the first file listed, or
    // its second name if that comes before it, is the run's first copy.
    const stdfs::path first = stdfs::directory_iterator(scratch.tree())->path();
    stdfs::create_hard_link(first, first.string() + "-twin");

    std::vector<std::string> environment = hardening::SanitizerEnvironment();
    environment.insert(
        environment.end(),
        {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH + " " + TAILSNIP_PAUSE_SHIM_PATH,
         "TAILSNIP_FAULT_ALWAYS=syncfs", "XDG_STATE_HOME=" + (scratch.root() / "state").string()});
    const ProgramRun run =
        RunProgram({TAILSNIP_CLI_PATH, "--quiet", scratch.tree().string()}, scratch.cwd().string(),
                   environment, std::chrono::seconds(60), (scratch.root() / "capture").string());
    ASSERT_TRUE(run.exited() && run.exitCode == 0 && run.output == "finished!\n")
        << "round " << round << ": tailsnip-cli " << run.describe();
    for (const auto &item : stdfs::directory_iterator(scratch.tree()))
      ASSERT_EQ("1\r\n", ReadBytes(item.path())) << item.path() << ", round " << round;
  }
}

} // namespace
} // namespace tailsnip
