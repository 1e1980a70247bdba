// An entry another user swaps for a pipe between the run's look at it and
// its opening is not opened: a pipe's writer would wake, and a device's
// driver would act on its opening. A file another program opens as the run
// replaces or cuts it loses nothing that program writes.
#include "ProgramRun.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <vector>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tailsnip {
namespace {

using hardening::ProgramRun;
using hardening::ReadWholeFile;
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

// The environment of a run over the scratch tree, its state kept there.
std::vector<std::string> ScratchEnvironment(const Scratch &scratch) {
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.push_back("XDG_STATE_HOME=" + (scratch.root() / "state").string());
  return environment;
}

// Runs tailsnip-cli with `options` over the tree, or `operands`, with
// `file` opened and appended to by another program at the moment `at`
// ("rename", "cut" or "reopen"), saved over ("save", "twice", "killed"),
// or its access narrowed ("narrow").
ProgramRun RunWithOpener(const Scratch &scratch, const std::string &file, const char *at,
                         std::vector<std::string> options,
                         const std::vector<std::string> &operands = {}) {
  std::vector<std::string> environment = ScratchEnvironment(scratch);
  environment.insert(environment.end(),
                     {std::string("LD_PRELOAD=") + TAILSNIP_OPENER_SHIM_PATH,
                      "TAILSNIP_OPENER_PATH=" + file, std::string("TAILSNIP_OPENER_AT=") + at});
  options.insert(options.begin(), TAILSNIP_CLI_PATH);
  if (operands.empty())
    options.push_back(scratch.tree().string());
  options.insert(options.end(), operands.begin(), operands.end());
  return hardening::RunProgram(options, scratch.cwd().string(), environment,
                               std::chrono::seconds(60), (scratch.root() / "capture").string());
}

// What the files of the scratch tree other than `files` hold.
std::vector<std::string> ContentsBeside(const Scratch &scratch,
                                        const std::vector<std::string> &files) {
  std::vector<std::string> contents;
  for (const auto &entry : std::filesystem::directory_iterator(scratch.tree()))
    if (std::find(files.begin(), files.end(), entry.path().string()) == files.end())
      contents.push_back(ReadWholeFile(entry.path().string()));
  return contents;
}

TEST(OpenedEntryTest, FileOpenedAsItsCopyTakesItsPlaceIsKeptWithWhatWasWrittenToIt) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, file, "rename", {});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nb\nopener\n", ReadWholeFile(file));
  EXPECT_NE(std::string::npos, run.output.find("f: in use")) << run.output;
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.tree()), {}))
      << "a copy was left beside the file";
}

// An editor's save just before the copy takes the file's place goes back
// under its name; its next save, just after, replaced the copy, and is
// what the editor left: the first save is what it replaced.
TEST(OpenedEntryTest, FileSavedJustBeforeAndJustAfterItsCopyTakesItsPlaceKeepsTheLastSave) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, file, "twice", {});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("twice\n", ReadWholeFile(file));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.tree()), {}))
      << "a file was left beside it";
}

// Saved over just before its copy took its place, and the run killed at
// once: the save lies under the copy's name, and nothing tells it from the
// copy but that the file changed otherwise than by the run. The run's
// --resume keeps it, and says so.
TEST(OpenedEntryTest, SaveDisplacedByTheExchangeOfAKilledRunIsKeptByItsResume) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun killed = RunWithOpener(scratch, file, "killed", {});
  ASSERT_EQ(SIGKILL, killed.signal) << "tailsnip-cli " << killed.describe();
  const ProgramRun resumed = hardening::RunProgram(
      {TAILSNIP_CLI_PATH, "--resume", scratch.tree().string()}, scratch.cwd().string(),
      ScratchEnvironment(scratch), std::chrono::seconds(60), (scratch.root() / "capture").string());
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 1) << "tailsnip-cli " << resumed.describe();
  EXPECT_NE(std::string::npos, resumed.errors.find("which another program saved over meanwhile"))
      << resumed.errors;
  std::vector<std::string> kept;
  for (const auto &entry : std::filesystem::directory_iterator(scratch.tree()))
    kept.push_back(ReadWholeFile(entry.path().string()));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ((std::vector<std::string>{"a\r\n", "saved\n"}), kept);
}

// A copy is made with the access the file had when it was read, and a cut
// would drop privileges given since: a file whose access changed while it
// was shortened, or as its copy took its place, is kept, whether it was to
// be copied, backed up or cut.
TEST(OpenedEntryTest, FileWhoseAccessIsNarrowedWhileItIsShortenedIsKeptSo) {
  const std::vector<std::string> copied, cut{"--keep-line-ends"}, backedUp{"--backup=numbered"};
  for (const auto &[at, options] : std::vector<std::pair<const char *, std::vector<std::string>>>{
           {"narrow", copied},
           {"narrow", cut},
           {"narrow", backedUp},
           {"narrow-exchange", copied},
           {"narrow-exchange", backedUp}}) {
    SCOPED_TRACE(at);
    Scratch scratch;
    const std::string file = scratch.file("f", "a\nb\n").string();
    ::chmod(file.c_str(), 0644);
    const ProgramRun run = RunWithOpener(scratch, file, at, options);
    EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
    EXPECT_EQ("a\nb\n", ReadWholeFile(file));
    struct stat status {};
    ASSERT_EQ(0, ::stat(file.c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 07777u) << "the access taken away was given back";
    EXPECT_NE(std::string::npos, run.output.find("f: changed while it was being shortened"))
        << run.output;
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.tree()), {}))
        << "a copy or backup was left beside the file";
  }
}

// An access list entry set by name as the copy takes the file's place
// leaves the mode as it was: the copy, made without it, is not to let
// that user read the file again.
TEST(OpenedEntryTest, FileDeniedToAUserAsItsCopyTakesItsPlaceIsKeptSo) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  ::chmod(file.c_str(), 0644);
  const ProgramRun run = RunWithOpener(scratch, file, "deny-exchange", {});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nb\n", ReadWholeFile(file));
  EXPECT_LT(0, ::getxattr(file.c_str(), "system.posix_acl_access", nullptr, 0))
      << "the entry denying user 65534 was dropped";
  EXPECT_NE(std::string::npos, run.output.find("f: changed while it was being shortened"))
      << run.output;
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.tree()), {}))
      << "a copy was left beside the file";
}

// Between the two exchanges of such a run the copy lies under the file's
// name: what another program wrote by that name went to the copy, which
// stays beside the file, told of.
TEST(OpenedEntryTest, CopyWrittenToAsItLayInTheFilesPlaceIsLeftAndToldOf) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  ::chmod(file.c_str(), 0644);
  const ProgramRun run = RunWithOpener(scratch, file, "deny-write-exchange", {});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nb\n", ReadWholeFile(file));
  EXPECT_NE(std::string::npos, run.output.find("f: changed while it was being shortened, and so "
                                               "was its copy, left under the copy's name"))
      << run.output;
  EXPECT_EQ(std::vector<std::string>{"a\r\nwritten\n"}, ContentsBeside(scratch, {file}));
}

// Nor does a resumption of that run, killed later, take it for one of the
// copies it left.
TEST(OpenedEntryTest, CopyWrittenToAsItLayInTheFilesPlaceOutlastsAResumption) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const std::string next = scratch.file("g", "c\nd\n").string();
  ::chmod(file.c_str(), 0644);
  const ProgramRun killed = RunWithOpener(scratch, file, "deny-write-exchange-killed", {});
  ASSERT_EQ(SIGKILL, killed.signal) << "tailsnip-cli " << killed.describe();
  const ProgramRun resumed = hardening::RunProgram(
      {TAILSNIP_CLI_PATH, "--resume", scratch.tree().string()}, scratch.cwd().string(),
      ScratchEnvironment(scratch), std::chrono::seconds(60), (scratch.root() / "capture").string());
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 1) << "tailsnip-cli " << resumed.describe();
  EXPECT_NE(std::string::npos, resumed.errors.find("another program changed it")) << resumed.errors;
  EXPECT_EQ("a\r\n", ReadWholeFile(file));
  EXPECT_EQ("c\r\n", ReadWholeFile(next));
  EXPECT_EQ(std::vector<std::string>{"a\r\nwritten\n"}, ContentsBeside(scratch, {file, next}));
}

// Written between the run's look at it and its opening, the file holds
// more than was described: a copy of what was described would drop it.
TEST(OpenedEntryTest, FileWrittenToJustBeforeItIsOpenedIsKeptWithWhatWasWrittenToIt) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, file, "reopen", {});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nb\nopener\n", ReadWholeFile(file));
}

// A backup's name the file had before the run is its user's, even where it
// is the name the run would have made: a run that keeps the file leaves it.
TEST(OpenedEntryTest, NumberedBackupTheUserLinkedIsLeftWhereTheFileIsKept) {
  Scratch scratch;
  const std::string file = scratch.file("notes", "a\nb\n").string();
  ASSERT_EQ(0, ::link(file.c_str(), (file + ".~1~").c_str()));
  const ProgramRun run = RunWithOpener(scratch, file, "rename", {"--backup=numbered"});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nb\nopener\n", ReadWholeFile(file + ".~1~"));
}

TEST(OpenedEntryTest, FileOpenedAsItIsCutIsCutBeforeAnythingIsWrittenToIt) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, file, "cut", {"--keep-line-ends"});
  EXPECT_TRUE(run.exited() && run.exitCode == 0) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\nopener\n", ReadWholeFile(file));
}

// Renames open nothing, and break no lease: an editor that keeps the old
// file as a backup and saves a new one while the file waits for its cut
// has both kept.
TEST(OpenedEntryTest, FileSavedOverBeforeItsCutIsKeptAndSoIsItsOldSelf) {
  Scratch scratch;
  const std::string file = scratch.file("f", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, file, "save", {"--keep-line-ends"});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("saved\n", ReadWholeFile(file));
  EXPECT_EQ("a\nb\n", ReadWholeFile(file + "~"));
}

// A file whose name another program removes while the run holds it is
// gone for that program's reasons: the run says so, and leaves no copy.
TEST(OpenedEntryTest, FileRemovedWhileItIsShortenedIsToldRemoved) {
  for (const std::vector<std::string> &options :
       {std::vector<std::string>{}, std::vector<std::string>{"--keep-line-ends"}}) {
    Scratch scratch;
    const std::string file = scratch.file("f", "a\nb\n").string();
    const ProgramRun run = RunWithOpener(scratch, file, "remove", options);
    EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
    EXPECT_NE(std::string::npos, run.output.find("f: removed during the run")) << run.output;
    EXPECT_EQ(0, std::distance(std::filesystem::directory_iterator(scratch.tree()), {}))
        << "a copy was left";
  }
}

// A file an editor saves over after the listing, while the run reads
// another, is the editor's: its last line is not the run's to take.
TEST(OpenedEntryTest, FileSavedOverAfterTheListingIsKeptAsSaved) {
  Scratch scratch;
  const std::string first = scratch.file("a", "a\nb\n").string();
  const std::string saved = scratch.file("b", "a\nb\n").string();
  const ProgramRun run = RunWithOpener(scratch, saved, "save", {"--verbose"}, {first, saved});
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("a\r\n", ReadWholeFile(first));
  EXPECT_EQ("saved\n", ReadWholeFile(saved));
  EXPECT_NE(std::string::npos, run.output.find("b: changed during the run")) << run.output;
}

} // namespace
} // namespace tailsnip
