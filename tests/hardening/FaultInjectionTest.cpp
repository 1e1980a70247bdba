// Each file operation tailsnip-cli performs is made to fail at its first,
// second, ... call, once or from then on, until a run goes by without the
// failure being reached. After every run each entry must be exactly as it
// was or correctly shortened, nothing may be left beside it or in the
// current directory, and every entry kept as it was must be named in the
// notice, with exit status 1.
#include "ProgramRun.h"
#include "ReferenceModel.h"

#include "PosixVolume.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace tailsnip {
namespace {

namespace stdfs = std::filesystem;
using hardening::ProgramRun;
using hardening::RunProgram;
using testing::TmpfsVolume;
using testing::WriteBytes;

// An operation to fail and the error it fails with; error 0 is a short
// read or write instead of a failure.
struct Fault {
  const char *call;
  int error;
};

// Whether a run in which this fault struck must report a failure. A failed
// close of a file only read loses nothing, and some failures have a way
// around: a rename or kernel copy refused across volumes, a copy the
// current directory refuses (it goes beside the entry), an open or
// description of a folder that only checks for other runs, a flush of a
// whole volume (each copy is then flushed on its own). Every other failure
// means an entry was kept; the checks on the files themselves hold for
// every fault.
bool MustBeReported(const Fault &fault) {
  const std::string call = fault.call;
  const bool crossVolume = (call == "rename" || call == "copy-range") && fault.error == EXDEV;
  return fault.error != 0 && call != "close" && call != "open-read" && call != "open-write" &&
         call != "fstat" && call != "syncfs" && !crossVolume;
}

std::ostream &operator<<(std::ostream &out, const Fault &fault) {
  return out << fault.call << " (" << (fault.error ? std::strerror(fault.error) : "short transfer")
             << ")";
}

const Fault kFaults[] = {
    {"opendir", EACCES},   {"readdir", EIO},  {"open-read", EACCES},  {"fstat", EIO},
    {"pread", EIO},        {"pread", 0},      {"open-write", ENOSPC}, {"fchmod", EPERM},
    {"write", ENOSPC},     {"write", 0},      {"fsync", EIO},         {"syncfs", EIO},
    {"close", EIO},        {"rename", EIO},   {"rename", EXDEV},      {"copy-range", ENOSPC},
    {"copy-range", EXDEV}, {"copy-range", 0}, {"link", EIO},          {"cut", EIO},
};

// Operations a run over the test tree always performs; the others (the
// cross-volume copy's read, the removal of a failed copy) only on some paths.
// A sweep that never reaches one of these means the fault library missed it.
const std::set<std::string> kAlwaysCalled = {
    "opendir", "readdir", "open-read", "fstat",  "pread",      "open-write", "fchmod", "write",
    "fsync",   "syncfs",  "close",     "rename", "copy-range", "link",       "cut"};

struct Totals {
  long runs = 0;
  long faultsInjected = 0;
  long entriesChecked = 0;
};
Totals totals;

class PrintTotals : public ::testing::Environment {
public:
  void TearDown() override {
    if (totals.runs > 0)
      std::cout << "fault injection: " << totals.faultsInjected << " faults injected, "
                << totals.runs << " runs, " << totals.entriesChecked << " entries checked\n";
  }
};
[[maybe_unused]] const auto *const printTotals =
    ::testing::AddGlobalTestEnvironment(new PrintTotals);

std::string BigFile() {
  std::string bytes;
  for (int line = 0; bytes.size() < (std::size_t{3} << 19); ++line)
    bytes += "line " + std::to_string(line) + "\n";
  return bytes + "the last line, without an end";
}

constexpr stdfs::perms kUsualMode = stdfs::perms::owner_read | stdfs::perms::owner_write |
                                    stdfs::perms::group_read | stdfs::perms::others_read;
// Writable by everyone, and set-group-ID: a mode the creation mask would narrow.
constexpr stdfs::perms kSharedMode =
    kUsualMode | stdfs::perms::group_write | stdfs::perms::others_write | stdfs::perms::set_gid;

struct Entry {
  bool folder = false;
  std::string bytes;
  stdfs::perms mode = kUsualMode;
  std::string shortened; // what the bytes must become

  static Entry File(std::string bytes, stdfs::perms mode = kUsualMode) {
    Entry entry;
    entry.shortened = reference::Shortened(bytes);
    entry.bytes = std::move(bytes);
    entry.mode = mode;
    return entry;
  }
  static Entry Folder() {
    Entry entry;
    entry.folder = true;
    return entry;
  }
};

// The tree every run starts from: an empty file, one line, CRLF line ends
// with a lone carriage return and no final line end, a file larger than
// the engine's read buffer, one with a mode the creation mask would change
// (set-group-ID too, which a cut would drop: with CR LF line ends, it is
// copied by the kernel rather than cut), a folder on another volume when one
// can be mounted, and "temp.txt".
const std::map<std::string, Entry> &TreeEntries() {
  static const std::map<std::string, Entry> entries = {
      {"empty", Entry::File("")},
      {"one", Entry::File("the only line\n")},
      {"crlf", Entry::File("first\r\nsecond\r\n")},
      {"mixed", Entry::File("crlf\r\nlone\rcarriage return\nno final end")},
      {"shared", Entry::File("x\r\ny\r\n", kSharedMode)},
      {"big", Entry::File(BigFile())},
      {"far", Entry::Folder()},
      {"far/a", Entry::File("on\r\nanother\nvolume")},
      {"work", Entry::Folder()},
      {"work/temp.txt", Entry::File("named like\nthe copy\n")},
  };
  return entries;
}

// Scratch space on a tmpfs of its own when mounting is allowed, with a
// second tmpfs at tree/far, so that copies cross volumes and flushing is
// cheap; elsewhere in the temporary folder, without the second volume.
// Removes the registry's markers of runs over folders on the volume that
// holds `folder`: left by runs whose removals failed, they would be taken by
// a later run over a folder given the same inode for a stopped run's, and
// removed first, which a test counting removals must not meet.
void ForgetMarkersOn(const stdfs::path &folder) {
  struct stat volume {};
  if (::stat(folder.c_str(), &volume) != 0)
    return;
  const std::string prefix = std::to_string(volume.st_dev) + "-";
  std::error_code ignored;
  for (const auto &item : stdfs::directory_iterator("/var/tmp/tailsnip", ignored))
    if (item.path().filename().string().rfind(prefix, 0) == 0)
      stdfs::remove(item.path(), ignored);
}

class FaultTree {
public:
  FaultTree() {
    base_ = stdfs::temp_directory_path() / ("tailsnip-faults-" + std::to_string(::getpid()));
    stdfs::create_directories(base_);
    home_ = std::make_unique<TmpfsVolume>(base_, 64 << 20);
    stdfs::create_directories(tree() / "far");
    stdfs::create_directories(base_ / "cwd");
    if (home_->mounted())
      far_ = std::make_unique<TmpfsVolume>(tree() / "far", 16 << 20);
  }
  ~FaultTree() {
    forgetMarkers();
    far_.reset();
    home_.reset();
    std::error_code ignored;
    stdfs::remove_all(base_, ignored);
  }

  bool hasSecondVolume() const { return far_ && far_->mounted(); }
  std::string volumeProblem() const { return home_->problem(); }
  stdfs::path tree() const { return base_ / "tree"; }
  stdfs::path outsideCwd() const { return base_ / "cwd"; }
  stdfs::path capture() const { return base_ / "capture"; }
  stdfs::path log() const { return base_ / "fault.log"; }
  stdfs::path state() const { return base_ / "state"; } // where runs keep their journal

  // Brings the tree back to its first state; the mount point stays.
  void reset() {
    forgetMarkers();
    stdfs::remove_all(state());
    for (const stdfs::path &folder : {tree() / "far", tree(), outsideCwd()})
      for (const auto &item : stdfs::directory_iterator(folder))
        if (item.path() != tree() / "far")
          stdfs::remove_all(item.path());
    for (const auto &[name, entry] : TreeEntries()) {
      const stdfs::path path = tree() / name;
      if (entry.folder) {
        stdfs::create_directories(path);
        continue;
      }
      WriteBytes(path, entry.bytes);
      stdfs::permissions(path, entry.mode);
    }
  }

  void forgetMarkers() const {
    if (home_->mounted())
      ForgetMarkersOn(tree());
    if (hasSecondVolume())
      ForgetMarkersOn(tree() / "far");
  }

  // Every file and folder beneath the scratch space, but the test's own.
  std::set<stdfs::path> everything() const {
    std::set<stdfs::path> found;
    for (const auto &item : stdfs::recursive_directory_iterator(base_))
      if (item.path() != log() && item.path().parent_path() != base_ / "capture" &&
          item.path().string().rfind(state().string(), 0) != 0)
        found.insert(item.path());
    return found;
  }

private:
  stdfs::path base_;
  std::unique_ptr<TmpfsVolume> home_;
  std::unique_ptr<TmpfsVolume> far_;
};

enum class Persistence { Once, FromThenOn };

// The current directory of a run: outside the tree, or the tree's "work"
// folder, whose "temp.txt" is then both an entry and the copy's name.
enum class Cwd { Outside, InsideTree };

struct Configuration {
  Fault fault;
  Persistence persistence;
  Cwd cwd;
  bool removalFails; // every removal of a failed copy fails as well

  std::string describe(long n) const {
    std::ostringstream text;
    text << fault << " failing at call " << n
         << (persistence == Persistence::Once ? " only" : " and every later one")
         << (cwd == Cwd::Outside ? ", current directory outside the tree"
                                 : ", current directory tree/work holding temp.txt")
         << (removalFails ? ", every removal failing too" : "");
    return text.str();
  }
};

bool IsLeftoverCopyName(const stdfs::path &path) {
  static const std::regex beside(R"(\.tailsnip-[0-9]+-[0-9a-f]{16}-[0-9]+\.[0-9]+\.tmp)");
  const std::string name = path.filename().string();
  return name == "temp.txt" || std::regex_match(name, beside);
}

// Checks the promise after one run; returns what was broken, one per line.
std::string CheckPromise(const FaultTree &tree, const Configuration &config, const ProgramRun &run,
                         long injected) {
  std::ostringstream broken;
  // A journal that cannot be read or written stops the run before any change.
  const bool journalFailed = run.exited() && run.output.empty() &&
                             (run.exitCode == 1 || run.exitCode == 2) &&
                             run.errors.find(" journal ") != std::string::npos;
  if (!run.exited() || (run.exitCode != 0 && run.exitCode != 1 && !journalFailed)) {
    broken << "tailsnip-cli " << run.describe() << "\n";
    return broken.str();
  }
  const std::string &notice = run.output;
  auto named = [&](const stdfs::path &path) {
    return notice.find("\n" + path.string() + ": ") != std::string::npos;
  };
  auto namedWithAFolder = [&](stdfs::path path) {
    for (; path != tree.tree().parent_path(); path = path.parent_path())
      if (named(path))
        return true;
    return false;
  };

  std::set<stdfs::path> expected = {tree.tree(), tree.outsideCwd()};
  std::size_t namedCount = 0;
  bool anyKept = false;
  for (const auto &[name, entry] : TreeEntries()) {
    const stdfs::path path = tree.tree() / name;
    expected.insert(path);
    ++totals.entriesChecked;
    namedCount += named(path) ? 1 : 0;
    const auto status = stdfs::symlink_status(path);
    if (entry.folder) {
      if (status.type() != stdfs::file_type::directory)
        broken << path << " is no longer a folder\n";
      continue;
    }
    if (status.type() != stdfs::file_type::regular) {
      broken << path << " is missing\n";
      continue;
    }
    if (status.permissions() != entry.mode)
      broken << path << " changed its permissions\n";
    const std::string now = hardening::ReadWholeFile(path);
    const std::string &shortened = entry.shortened;
    const bool asItWas = now == entry.bytes;
    if (!asItWas && now != shortened) {
      broken << path << " is neither as it was nor correctly shortened (" << now.size()
             << " bytes, expected " << entry.bytes.size() << " or " << shortened.size() << ")\n";
      continue;
    }
    if (journalFailed && !asItWas)
      broken << path << " was shortened though the journal failed\n";
    if (journalFailed)
      continue;
    // A cut whose flush failed is named, as shortened, and so are a file
    // whose replaced file could not be removed and one whose folder, holding
    // its new name, could not be flushed.
    const auto namedShortened = [&](const char *reason) {
      return notice.find("\n" + path.string() + ": " + reason) != std::string::npos;
    };
    if (named(path) && !asItWas &&
        !namedShortened("shortened in place, but not known to be on disk") &&
        !namedShortened("shortened, but the file it replaced is left under its copy's name") &&
        !namedShortened("shortened, but its folder's new names are not known to be on disk"))
      broken << path << " is named in the notice but was shortened\n";
    if (asItWas && shortened != entry.bytes) {
      anyKept = true;
      if (!namedWithAFolder(path))
        broken << path << " was not shortened and the notice does not name it\n";
    }
  }
  namedCount += named(tree.tree()) ? 1 : 0; // a tree that could not be searched

  if (anyKept && run.exitCode != 1)
    broken << "entries were kept as they were but the exit status is " << run.exitCode << "\n";
  if (injected > 0 && MustBeReported(config.fault) && run.exitCode == 0)
    broken << "the failure was ignored: exit status " << run.exitCode << "\n";
  if (run.exitCode == 0 && notice != "finished!\n")
    broken << "exit status 0 with a notice other than \"finished!\"\n";
  // A finished run's journal that could not be removed makes the status 1
  // where every entry was handled.
  const bool onlyJournalLeft =
      notice == "finished!\n" &&
      run.errors.find("cannot remove the finished run's journal") != std::string::npos;
  if (run.exitCode == 1 && !journalFailed && !onlyJournalLeft) {
    static const std::regex countLine(R"(\n\n([0-9]+) entr(y|ies) could not be shortened:)");
    std::smatch match;
    if (!std::regex_search(notice, match, countLine))
      broken << "exit status 1 but the notice does not count the failures\n";
    else if (std::stoul(match[1]) != namedCount)
      broken << "the notice counts " << match[1] << " failures and names " << namedCount << "\n";
  }

  for (const stdfs::path &path : tree.everything()) {
    if (expected.count(path))
      continue;
    if (config.removalFails && IsLeftoverCopyName(path))
      continue; // a copy nobody could remove
    broken << "stray file " << path << "\n";
  }
  return broken.str();
}

struct ShimLog {
  long calls = -1;
  long injected = -1;
};

ShimLog ReadShimLog(const stdfs::path &path) {
  ShimLog log;
  std::istringstream(hardening::ReadWholeFile(path)) >> log.calls >> log.injected;
  return log;
}

class FaultInjectionTest : public ::testing::TestWithParam<Fault> {
protected:
  static void SetUpTestSuite() {
    tree_ = new FaultTree;
    if (!tree_->hasSecondVolume())
      std::cout << "note: " << tree_->volumeProblem()
                << "; no second volume, so copies cross volumes only where a rename is made to "
                   "fail with EXDEV\n";
  }
  static void TearDownTestSuite() {
    delete tree_;
    tree_ = nullptr;
  }

  // Runs with the fault at call 1, 2, ... until a run no longer reaches it.
  // Returns how many runs did reach it, or -1 once a run broke the promise.
  long sweep(const Configuration &config) {
    long reached = 0;
    for (long n = 1;; ++n) {
      tree_->reset();
      stdfs::remove(tree_->log());
      const stdfs::path cwd =
          config.cwd == Cwd::Outside ? tree_->outsideCwd() : tree_->tree() / "work";
      std::vector<std::string> environment = hardening::SanitizerEnvironment();
      environment.insert(environment.end(),
                         {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH,
                          std::string("TAILSNIP_FAULT_CALL=") + config.fault.call,
                          "TAILSNIP_FAULT_AT=" + std::to_string(n),
                          "TAILSNIP_FAULT_ERRNO=" + std::to_string(config.fault.error),
                          std::string("TAILSNIP_FAULT_PERSIST=") +
                              (config.persistence == Persistence::FromThenOn ? "1" : "0"),
                          "TAILSNIP_FAULT_LOG=" + tree_->log().string(),
                          "XDG_STATE_HOME=" + tree_->state().string()});
      // A copy alone on its volume in a batch is flushed on its own, the
      // others by one syncfs of their volume; with syncfs failing every
      // time, each copy meets the failing fsync in turn.
      std::string always = config.fault.call == std::string("fsync") ? "syncfs" : "";
      if (config.removalFails)
        always += always.empty() ? "unlink" : ",unlink";
      if (!always.empty())
        environment.push_back("TAILSNIP_FAULT_ALWAYS=" + always);
      const ProgramRun run =
          RunProgram({TAILSNIP_CLI_PATH, "--quiet", tree_->tree().string()}, cwd.string(),
                     environment, std::chrono::seconds(60), tree_->capture().string());
      const ShimLog log = ReadShimLog(tree_->log());
      ++totals.runs;
      if (log.injected > 0) {
        totals.faultsInjected += log.injected;
        ++reached;
      }
      const std::string broken = CheckPromise(*tree_, config, run, log.injected);
      if (!broken.empty()) {
        ADD_FAILURE() << config.describe(n) << ":\n" << broken;
        return -1; // the later calls would only repeat the finding
      }
      if (log.calls < 0) {
        ADD_FAILURE() << config.describe(n) << ": the fault library left no log";
        return -1;
      }
      if (log.injected == 0) {
        // Failing removals alone leave replaced files, which are reported.
        if (run.exitCode != 0 && !config.removalFails)
          ADD_FAILURE() << config.describe(n) << ": no fault was injected, yet " << run.describe();
        return reached;
      }
    }
  }

  void sweepEverywhere(bool removalFails, const std::vector<Persistence> &persistences) {
    const Fault fault = GetParam();
    for (const Persistence persistence : persistences)
      for (const Cwd cwd : {Cwd::Outside, Cwd::InsideTree}) {
        const long reached = sweep({fault, persistence, cwd, removalFails});
        if (reached == 0 && kAlwaysCalled.count(fault.call))
          ADD_FAILURE() << fault << ": the fault library saw no such call";
      }
  }

  static FaultTree *tree_;
};

FaultTree *FaultInjectionTest::tree_ = nullptr;

TEST_P(FaultInjectionTest, EveryCallFailingOnceOrFromThenOnKeepsThePromise) {
  sweepEverywhere(false, {Persistence::Once, Persistence::FromThenOn});
}

// Where a failed copy cannot be removed it is the only thing that may stay,
// under the copy's own name; every entry is still whole and reported.
TEST_P(FaultInjectionTest, FailuresWhoseCopyCannotBeRemovedStillKeepThePromise) {
  sweepEverywhere(true, {Persistence::Once});
}

// After the exchange the replaced file lies under the copy's name; where it
// cannot be removed, the run must not claim that nothing is left.
TEST(ReplacedFileTest, OneThatCannotBeRemovedIsReported) {
  FaultTree tree;
  tree.reset();
  // A folder of its own: no marker an earlier run could not remove names it,
  // whose removal would take the failure.
  const stdfs::path file = tree.tree() / "alone" / "mixed";
  stdfs::create_directories(file.parent_path());
  WriteBytes(file, TreeEntries().at("mixed").bytes);
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.insert(environment.end(), {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH,
                                         "TAILSNIP_FAULT_CALL=unlink", "TAILSNIP_FAULT_AT=1",
                                         "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO),
                                         "XDG_STATE_HOME=" + tree.state().string()});
  const ProgramRun run =
      RunProgram({TAILSNIP_CLI_PATH, "--quiet", file.string()}, tree.outsideCwd().string(),
                 environment, std::chrono::seconds(60), tree.capture().string());
  EXPECT_EQ(hardening::ReadWholeFile(file), TreeEntries().at("mixed").shortened);
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  EXPECT_NE(run.output.find("/mixed: shortened, but the file it replaced is left under its copy's "
                            "name: Input/output error"),
            std::string::npos)
      << run.output;
}

// Runs tailsnip-cli with `use` over `operand`, in `tree`, its journal kept
// in the tree's state folder, with `settings` added to its environment.
ProgramRun RunOver(const FaultTree &tree, const stdfs::path &operand, const std::string &use,
                   const std::vector<std::string> &settings) {
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.insert(environment.end(), settings.begin(), settings.end());
  environment.push_back("XDG_STATE_HOME=" + tree.state().string());
  return RunProgram({TAILSNIP_CLI_PATH, use, operand.string()}, tree.outsideCwd().string(),
                    environment, std::chrono::seconds(60), tree.capture().string());
}

// A copy the system will not let go of stays named in the run's journal,
// which stays too, so that --resume removes it once the system allows.
TEST(CopyLeftTest, OneThatCannotBeRemovedIsLeftForResumeToRemove) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = tree.tree() / "left";
  stdfs::create_directories(folder);
  WriteBytes(folder / "mixed", TreeEntries().at("mixed").bytes);
  // The journal's rename is the first; the copy's, the second.
  const ProgramRun failed =
      RunOver(tree, folder, "--quiet",
              {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_CALL=rename",
               "TAILSNIP_FAULT_AT=2", "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO),
               "TAILSNIP_FAULT_ALWAYS=unlink"});
  EXPECT_EQ(1, failed.exitCode) << failed.describe();
  EXPECT_NE(
      std::string::npos,
      failed.output.find(" removes the copy this run could not remove, and finishes the run."))
      << failed.output;
  EXPECT_EQ(2u, std::distance(stdfs::directory_iterator(folder), {})) << "the copy is not left";

  // Nor does a --resume the system does not let remove it either forget it.
  const ProgramRun refused =
      RunOver(tree, folder, "--resume",
              {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_CALL=unlink",
               "TAILSNIP_FAULT_AT=1", "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO),
               "TAILSNIP_FAULT_ALWAYS=unlink"});
  EXPECT_EQ(1, refused.exitCode) << refused.describe();
  EXPECT_NE(std::string::npos,
            refused.errors.find(", a copy the stopped run left: Input/output error"))
      << refused.errors;
  EXPECT_EQ(3u, std::distance(stdfs::directory_iterator(folder), {}))
      << "the copies, the stopped run's and its own, are not left";

  const ProgramRun resumed = RunOver(tree, folder, "--resume", {});
  EXPECT_EQ(0, resumed.exitCode) << resumed.describe();
  EXPECT_EQ(TreeEntries().at("mixed").shortened, hardening::ReadWholeFile(folder / "mixed"));
  EXPECT_EQ(1u, std::distance(stdfs::directory_iterator(folder), {})) << "a copy is left";
}

// Cuts whose flush failed may be lost in a crash, or not: the journal
// stays, so that --resume cuts those that were lost and spares the others
// a second line.
TEST(JournalLeftTest, CutsNotKnownToBeOnDiskLeaveTheJournalForResume) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = tree.tree() / "cut";
  stdfs::create_directories(folder);
  for (const char *name : {"kept", "lost"})
    WriteBytes(folder / name, "1\n2\n3\n");
  struct stat before;
  ASSERT_EQ(0, ::stat((folder / "lost").c_str(), &before));
  const ProgramRun failed = RunOver(tree, folder, "--keep-line-ends",
                                    {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH,
                                     "TAILSNIP_FAULT_ALWAYS=syncfs,fsync"});
  EXPECT_EQ(1, failed.exitCode) << failed.describe();
  EXPECT_NE(std::string::npos,
            failed.output.find("/kept: shortened in place, but not known to be on disk"))
      << failed.output;
  EXPECT_NE(std::string::npos, failed.output.find(" finishes the run.")) << failed.output;

  // As a crash that took one cut with it leaves the file: its old bytes and time.
  WriteBytes(folder / "lost", "1\n2\n3\n");
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (folder / "lost").c_str(), times, 0));
  const ProgramRun resumed = RunOver(tree, folder, "--resume", {});
  EXPECT_EQ(0, resumed.exitCode) << resumed.describe();
  for (const char *name : {"kept", "lost"})
    EXPECT_EQ("1\n2\n", hardening::ReadWholeFile(folder / name)) << name;
}

// A file whose folder could not be flushed after its rename is counted
// once, as failed, and its run's journal stays for the same reason.
TEST(JournalLeftTest, EntryWhoseNewNameIsNotKnownToBeOnDiskIsCountedOnceAsFailed) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = tree.tree() / "renamed";
  stdfs::create_directories(folder);
  WriteBytes(folder / "f", "1\n2\n");
  // The copy's flush is the first; its folder's, the second.
  const ProgramRun failed =
      RunOver(tree, folder, "--verbose",
              {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_CALL=fsync",
               "TAILSNIP_FAULT_AT=2", "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO)});
  EXPECT_EQ(1, failed.exitCode) << failed.describe();
  EXPECT_NE(std::string::npos, failed.errors.find("shortened 0, unchanged 0, failed 1;"))
      << failed.errors;
  EXPECT_NE(std::string::npos, failed.output.find(" finishes the run.")) << failed.output;
}

// A listed folder the system fails to describe as its turn comes (a
// failing disk) is not told of as changed: its files are, with the
// system's reason.
TEST(FolderFailureTest, FolderTheSystemFailsToDescribeIsNotToldAsChanged) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = tree.tree() / "failing";
  stdfs::create_directories(folder / "sub");
  WriteBytes(folder / "sub" / "a", "1\n2\n");
  std::vector<std::string> environment = hardening::SanitizerEnvironment(true);
  environment.push_back("XDG_STATE_HOME=" + tree.state().string());
  // The journal's stamp of the folder is its first description; the run's, the second.
  const ProgramRun run = RunProgram(
      {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", (folder / "sub").string(), "-e",
       "trace=statx", "-e", "inject=statx:error=EIO:when=2", TAILSNIP_CLI_PATH, "--quiet",
       folder.string()},
      tree.outsideCwd().string(), environment, std::chrono::seconds(60), tree.capture().string());
  EXPECT_EQ(1, run.exitCode) << run.describe();
  EXPECT_NE(std::string::npos,
            run.output.find("/sub/a: folder could not be searched: Input/output error"))
      << run.output;
  EXPECT_EQ("1\n2\n", hardening::ReadWholeFile(folder / "sub" / "a"));
}

// A file another program cuts shorter while the run reads it, or while the
// kernel copies it, is kept as it is and told as changed, not as a failure
// of reading or writing with no reason.
TEST(CutShorterTest, FileCutWhileReadOrCopiedIsKeptAndToldAsChanged) {
  std::string bytes;
  while (bytes.size() < (std::size_t{3} << 20))
    bytes += "a line of the large file, kept by the kernel's copy\n";
  bytes += "last";
  // Where its end is searched for; where its copy is made (two names, so
  // with --keep-line-ends the kernel copies what is kept).
  for (const char *call : {"pread", "copy-range"}) {
    FaultTree tree;
    tree.reset();
    const stdfs::path folder = tree.tree() / "cut";
    stdfs::create_directories(folder);
    WriteBytes(folder / "large", bytes);
    stdfs::create_hard_link(folder / "large", folder / "other-name");
    const ProgramRun run = RunOver(tree, folder, "-kv",
                                   {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH,
                                    std::string("TAILSNIP_FAULT_CALL=") + call,
                                    "TAILSNIP_FAULT_AT=1", "TAILSNIP_FAULT_ERRNO=-1"});
    EXPECT_EQ(1, run.exitCode) << call << ": " << run.describe();
    EXPECT_NE(std::string::npos, run.output.find(": changed during the run"))
        << call << ": " << run.output;
    // The name met first is the one cut under the run; the other, copied
    // afterwards, is shortened on its own.
    const std::string shortened = bytes.substr(0, bytes.size() - 4);
    const std::string large = hardening::ReadWholeFile(folder / "large");
    const std::string other = hardening::ReadWholeFile(folder / "other-name");
    EXPECT_TRUE((large == bytes && other == shortened) || (large == shortened && other == bytes))
        << call << ": sizes " << large.size() << " and " << other.size() << ", expected "
        << bytes.size() << " and " << shortened.size();
  }
}

// Under a limit on file size (ulimit -f), a copy that would pass it fails
// as on a full disk: its file is kept and named, the others are shortened,
// and the run ends as any other, rather than killed midway by SIGXFSZ.
TEST(FileSizeLimitTest, FileTooLargeToCopyIsKeptAndTheRestShortened) {
  testing::Scratch scratch;
  const std::string big = std::string(16384, 'x') + "\nlast\n";
  const stdfs::path large = scratch.file("large", big);
  const stdfs::path small = scratch.file("small", "a\nb\n");
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.push_back("XDG_STATE_HOME=" + (scratch.root() / "state").string());
  const ProgramRun run = RunProgram({"/bin/sh", "-c", "ulimit -f 8 && exec \"$0\" \"$@\"",
                                     TAILSNIP_CLI_PATH, scratch.tree().string()},
                                    scratch.cwd().string(), environment, std::chrono::seconds(60),
                                    (scratch.root() / "capture").string());
  EXPECT_TRUE(run.exited() && run.exitCode == 1) << "tailsnip-cli " << run.describe();
  EXPECT_NE(std::string::npos, run.output.find("large: ")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("File too large")) << run.output;
  EXPECT_EQ(big, hardening::ReadWholeFile(large.string()));
  EXPECT_EQ("a\r\n", hardening::ReadWholeFile(small.string()));
  EXPECT_EQ(2, std::distance(stdfs::directory_iterator(scratch.tree()), {})) << "a copy was left";
}

// Under a low limit on open files (ulimit -n), a journal that cannot be
// opened may still be missing: no limit makes a run tell of a stopped run
// that is not there, and send the user to --restart.
TEST(OpenFileLimitTest, NoLimitMakesARunTellOfAStoppedRunThatIsNotThere) {
  testing::Scratch scratch;
  std::vector<std::string> environment = hardening::SanitizerEnvironment();
  environment.push_back("XDG_STATE_HOME=" + (scratch.root() / "state").string());
  const auto run = [&](int limit) {
    return RunProgram({"/bin/sh", "-c",
                       "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
                       TAILSNIP_CLI_PATH, "--quiet", scratch.tree().string()},
                      scratch.cwd().string(), environment, std::chrono::seconds(60),
                      (scratch.root() / "capture").string());
  };
  scratch.file("f", "a\nb\n");
  ASSERT_EQ(0, run(1024).exitCode) << "the journal folder is not made";
  for (int limit = 6; limit <= 24; ++limit) {
    scratch.file("f", "a\nb\n");
    // A run stopped by the limit keeps its journal, which is then there.
    const bool journalThere = !stdfs::is_empty(scratch.root() / "state" / "tailsnip");
    const ProgramRun limited = run(limit);
    if (!journalThere) {
      EXPECT_EQ(std::string::npos, limited.errors.find("cannot be read"))
          << "ulimit -n " << limit << ": " << limited.errors;
    }
    // A journal that could not be written whole is not left to block the next run.
    if (limited.errors.find("cannot write the run's journal") != std::string::npos) {
      EXPECT_TRUE(stdfs::is_empty(scratch.root() / "state" / "tailsnip"))
          << "ulimit -n " << limit << ": " << limited.errors;
    }
  }
}

// A folder of the tree holding "f" and its earlier simple backup "f~".
stdfs::path FolderWithEarlierBackup(const FaultTree &tree, const char *name) {
  const stdfs::path folder = tree.tree() / name;
  stdfs::create_directories(folder);
  WriteBytes(folder / "f", "a\nb\n");
  WriteBytes(folder / "f~", "earlier\n");
  return folder;
}

// Resumed, the run leaves "f" shortened, "f~" its backup, and nothing else.
void ExpectResumedWithItsBackup(const FaultTree &tree, const stdfs::path &folder) {
  const ProgramRun resumed = RunOver(tree, folder, "--resume", {});
  EXPECT_EQ(0, resumed.exitCode) << resumed.describe();
  EXPECT_EQ("a\r\n", hardening::ReadWholeFile(folder / "f"));
  EXPECT_EQ("a\nb\n", hardening::ReadWholeFile(folder / "f~"));
  EXPECT_EQ(2u, std::distance(stdfs::directory_iterator(folder), {})) << "a copy is left";
}

// An earlier simple backup is moved aside, under a copy's name, while the
// new one is made; where it cannot be removed after the replacement, the
// journal stays, and --resume removes it.
TEST(CopyLeftTest, EarlierBackupThatCannotBeRemovedIsLeftForResumeToRemove) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = FolderWithEarlierBackup(tree, "backed");
  const ProgramRun failed =
      RunOver(tree, folder, "--backup",
              {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_CALL=unlink",
               "TAILSNIP_FAULT_AT=1", "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO)});
  EXPECT_EQ(1, failed.exitCode) << failed.describe();
  EXPECT_NE(std::string::npos, failed.output.find("/f: shortened, but its earlier backup is left "
                                                  "under a copy's name: Input/output error"))
      << failed.output;
  ExpectResumedWithItsBackup(tree, folder);
}

// Where the file is kept, an earlier simple backup goes back under its name;
// where the system refuses that, it is left aside and the journal stays, so
// that --resume puts it back.
TEST(CopyLeftTest, EarlierBackupThatCannotBePutBackIsLeftForResumeToPutBack) {
  FaultTree tree;
  tree.reset();
  const stdfs::path folder = FolderWithEarlierBackup(tree, "kept");
  // The journal's rename, the earlier backup's move aside, then the exchange.
  const ProgramRun failed =
      RunOver(tree, folder, "--backup",
              {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_CALL=rename",
               "TAILSNIP_FAULT_AT=3", "TAILSNIP_FAULT_PERSIST=1",
               "TAILSNIP_FAULT_ERRNO=" + std::to_string(EIO)});
  EXPECT_EQ(1, failed.exitCode) << failed.describe();
  EXPECT_EQ("a\nb\n", hardening::ReadWholeFile(folder / "f"));
  ExpectResumedWithItsBackup(tree, folder);
}

// A finished run's journal left behind has the next run ask for --restart:
// the run that could not remove it says so, and does not end as if all
// went well.
TEST(JournalLeftTest, FinishedRunWhoseJournalCannotBeRemovedEndsWithStatusOne) {
  FaultTree tree;
  tree.reset();
  const stdfs::path file = tree.tree() / "finished" / "f";
  stdfs::create_directories(file.parent_path());
  WriteBytes(file, "a\nb\n");
  const ProgramRun run = RunOver(
      tree, file, "--keep-line-ends",
      {std::string("LD_PRELOAD=") + TAILSNIP_FAULT_SHIM_PATH, "TAILSNIP_FAULT_ALWAYS=unlink"});
  EXPECT_EQ(1, run.exitCode) << run.describe();
  EXPECT_EQ("a\n", hardening::ReadWholeFile(file));
  EXPECT_NE(std::string::npos, run.errors.find("cannot remove the finished run's journal"))
      << run.errors;
}

INSTANTIATE_TEST_SUITE_P(, FaultInjectionTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault> &instance) {
                           std::string name = instance.param.call;
                           name += instance.param.error
                                       ? std::string("_") + strerrorname_np(instance.param.error)
                                       : "_short";
                           for (char &c : name)
                             if (c == '-')
                               c = '_';
                           return name;
                         });

} // namespace
} // namespace tailsnip
