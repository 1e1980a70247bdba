// An entry another user swaps for a pipe between the run's look at it and
// its opening is not opened: a pipe's writer would wake, and a device's
// driver would act on its opening.
#include "ProgramRun.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tailsnip {
namespace {

using hardening::ProgramRun;
using testing::Scratch;

TEST(SwappedEntryTest, PipeSwappedInBeforeTheOpeningIsNotOpened) {
  Scratch scratch;
  scratch.file("swapped", "a\nb\n");
  const std::string pipe = (scratch.tree() / "pipe").string();
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.insert(environment.end(),
                     {std::string("LD_PRELOAD=") + TAILSNIP_SWAP_SHIM_PATH,
                      "TAILSNIP_SWAP_NAME=swapped", "TAILSNIP_SWAP_WITH=" + pipe});

  const ProgramRun run = hardening::RunProgram(
      {TAILSNIP_CLI_PATH, (scratch.tree() / "swapped").string()}, scratch.cwd().string(),
      environment, std::chrono::seconds(60), (scratch.root() / "capture").string());
  ASSERT_TRUE(run.exited()) << "tailsnip-cli " << run.describe();
  EXPECT_EQ(std::string::npos, run.errors.find("swap shim: opened a pipe")) << run.errors;
  struct stat status {};
  ASSERT_EQ(0, ::lstat((scratch.tree() / "swapped").c_str(), &status));
  EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "the pipe swapped in was replaced";
}

} // namespace
} // namespace tailsnip
