// The runs a stop signal, or SIGKILL, cut short: what they leave, their
// journals, and how --resume and --restart finish or forget them.
#include "CliRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

// A process killed while writing its journal leaves the draft; a later run
// over the folder must not leave it there for good.
TEST_F(CliTest, AJournalDraftOfADeadProcessIsRemovedByTheNextRun) {
  struct stat folder;
  ASSERT_EQ(0, ::stat(Tree().c_str(), &folder));
  const stdfs::path journals = scratch_.root() / "state" / "tailsnip";
  stdfs::create_directories(journals);
  const stdfs::path draft = journals / (std::to_string(folder.st_dev) + "-" +
                                        std::to_string(folder.st_ino) + ".journal.tmp");
  std::ofstream(draft) << "tailsnip journal\n";
  const Ran ran = RunCli({"-q", Tree()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_FALSE(stdfs::exists(draft));
}

// As `sudo -E tailsnip-cli` leaves it: the user's journal folder is root's.
TEST_F(CliTest, JournalFolderTheUserCannotUseIsNamedWithTheSystemsReason) {
  const stdfs::path journals = scratch_.root() / "state/tailsnip";
  stdfs::create_directories(journals);
  const bool root = ::geteuid() == 0;
  stdfs::permissions(journals, root ? stdfs::perms::owner_all : stdfs::perms::none);
  How asNobody;
  asNobody.asNobody = root;
  for (const char *use : {"--quiet", "--restart"}) {
    const Ran ran = RunCli({use, Tree()}, asNobody);
    EXPECT_EQ(1, ran.status) << use;
    EXPECT_EQ("tailsnip-cli: cannot use the journal folder '" + journals.string() +
                  "': Permission denied\n",
              ran.err);
  }
  ExpectUntouched();
}

class StoppedRunTest : public CliTest {
protected:
  // More than the copies a run keeps in flight, so that a stop falls mid-run.
  static constexpr int kFiles = 600;
  void SetUp() override {
    CliTest::SetUp();
    // One name holds a line feed, for the journal to keep as it is.
    for (int i = 0; i < kFiles; ++i)
      files_.push_back(scratch_.file("many/" + std::to_string(i % 3) + "/" + std::to_string(i) +
                                         (i == kFiles / 2 ? "\nx" : ""),
                                     "a\nb\nc\n"));
  }
  // Runs with --verbose and sends `signal` after a random number of entries.
  Ran Interrupt(int signal, const std::vector<std::string> &args, const char *cwd = nullptr) {
    std::random_device seed;
    const std::size_t after = 2 + seed() % (kFiles / 2);
    std::vector<std::string> all{"-v"};
    all.insert(all.end(), args.begin(), args.end());
    return RunCli(all, false, nullptr, cwd, signal, after);
  }
  // How many files are shortened; each must be as it was or shortened once.
  std::size_t Shortened() {
    std::size_t shortened = 0;
    for (const stdfs::path &file : files_) {
      const std::string bytes = ReadBytes(file);
      EXPECT_TRUE(bytes == "a\nb\nc\n" || bytes == "a\r\nb\r\n") << file << ": " << bytes;
      shortened += bytes == "a\r\nb\r\n";
    }
    return shortened;
  }
  // Copies, anywhere in the scratch folder, and journals left.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    for (const auto &entry : stdfs::recursive_directory_iterator(scratch_.root())) {
      const std::string name = entry.path().filename().string();
      if ((name.rfind(".tailsnip-", 0) == 0 && entry.path().string().find("/kept/") == npos) ||
          name == "temp.txt" || entry.path().extension() == ".journal")
        found.push_back(entry.path().string());
    }
    return found;
  }
  // The one journal in `folder`.
  stdfs::path OnlyJournal(const stdfs::path &folder) {
    std::vector<stdfs::path> journals;
    for (const auto &entry : stdfs::directory_iterator(folder))
      journals.push_back(entry.path());
    EXPECT_EQ(1u, journals.size());
    return journals.empty() ? stdfs::path() : journals[0];
  }
  stdfs::path OnlyJournal() { return OnlyJournal(scratch_.root() / "state/tailsnip"); }
  // Files the stopped run had not come to; none has a line feed in its name.
  std::vector<stdfs::path> Pending() {
    std::vector<stdfs::path> pending;
    for (const stdfs::path &file : files_)
      if (ReadBytes(file) == "a\nb\nc\n" && file.filename().string().find('\n') == npos)
        pending.push_back(file);
    return pending;
  }
  static constexpr std::size_t npos = std::string::npos;
  std::vector<stdfs::path> files_;
};

TEST_F(StoppedRunTest, StopSignalEndsAtASafePointAndResumeFinishesTheRest) {
  const std::string inside = (scratch_.tree() / "many").string();
  const std::pair<int, const char *> cases[] = {{SIGINT, inside.c_str()},
                                                {SIGTERM, nullptr},
                                                {SIGHUP, inside.c_str()},
                                                {SIGQUIT, nullptr},
                                                {SIGPIPE, inside.c_str()}};
  for (const auto &[signal, cwd] : cases) {
    SCOPED_TRACE(::strsignal(signal) + std::string(cwd ? ", current directory inside" : ""));
    const Ran stopped = Interrupt(signal, {Tree()}, cwd);
    ASSERT_EQ(128 + signal, stopped.status) << stopped.out << stopped.err;
    const std::size_t shortened = Shortened();
    EXPECT_EQ(0u, stopped.out.find("stopped after ")) << stopped.out;
    EXPECT_NE(npos, stopped.out.find("\ntailsnip-cli --resume " + Tree() + " finishes the run.\n"));
    EXPECT_LT(shortened, files_.size());
    const std::vector<std::string> left = Leftovers();
    ASSERT_EQ(1u, left.size()) << "copies left, or no journal: " << ::testing::PrintToString(left);
    EXPECT_EQ(".journal", stdfs::path(left[0]).extension());

    const Ran refused = RunCli({Tree()});
    EXPECT_EQ(2, refused.status);
    EXPECT_NE(npos, refused.err.find(" entries: --resume finishes it, --restart starts a new run"))
        << refused.err;
    EXPECT_EQ(shortened, Shortened()) << "a refused run changed files";

    const Ran resumed = RunCli({"--resume", Tree()});
    EXPECT_EQ(0, resumed.status) << resumed.err;
    EXPECT_EQ(files_.size(), Shortened());
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
    for (const stdfs::path &file : files_)
      WriteBytes(file, "a\nb\nc\n");
  }
}

TEST_F(StoppedRunTest, ResumeCountsNothingDoneInAFolderPutInPlaceOfAListedOne) {
  const Ran stopped = Interrupt(SIGINT, {Tree()});
  ASSERT_EQ(128 + SIGINT, stopped.status) << stopped.err;
  const stdfs::path listed = scratch_.tree() / "many" / "0";
  stdfs::rename(listed, listed.string() + ".old");
  std::vector<stdfs::path> putInPlace;
  for (const stdfs::path &file : files_)
    if (file.parent_path() == listed)
      putInPlace.push_back(scratch_.file("many/0/" + file.filename().string(), "a\nb\nc\n"));
  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(1, resumed.status) << resumed.out;
  EXPECT_NE(npos, resumed.out.find("folder changed during the run")) << resumed.out;
  for (const stdfs::path &file : putInPlace)
    EXPECT_EQ("a\nb\nc\n", ReadBytes(file)) << file;
}

TEST_F(StoppedRunTest, ResumeCommandItSuggestsWorksForAFolderNamedLikeAnOption) {
  const std::string root = scratch_.root().string();
  stdfs::create_directory_symlink(Tree(), scratch_.root() / "-tree");
  const Ran stopped = Interrupt(SIGINT, {"--", "-tree"}, root.c_str());
  ASSERT_EQ(128 + SIGINT, stopped.status) << stopped.err;
  EXPECT_NE(npos, stopped.out.find("\ntailsnip-cli --resume ./-tree finishes the run.\n"))
      << stopped.out;
  How there;
  there.cwd = root.c_str();
  const Ran resumed = RunCli({"--resume", "./-tree"}, there);
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(files_.size(), Shortened());
}

TEST_F(StoppedRunTest, WriteErrorOnStandardOutputStopsTheRunAndSaysSoOnStandardError) {
  const Ran ran = RunCli({"--dry-run", Tree()}, false, "/dev/full");
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ(0u, ran.err.find("stopped after ")) << ran.err;
  EXPECT_NE(npos, ran.err.find("\ntailsnip-cli: write error: No space left on device\n"))
      << ran.err;
}

TEST_F(StoppedRunTest, StopEndsTheWholeCommandAndNamesTheOperandsLeft) {
  const stdfs::path other = scratch_.file("../other/c.txt", "1\n2\n");
  const std::string left = "\n\n1 operand was left as it was:\n" + other.parent_path().string();
  // Before the stopped run, which a dry run would be refused for, as a run would.
  const Ran unwritable =
      RunCli({"--dry-run", Tree(), other.parent_path().string()}, false, "/dev/full");
  EXPECT_EQ(1, unwritable.status);
  EXPECT_NE(npos, unwritable.err.find(left + "\n")) << unwritable.err;

  // The tree named again, and the folders within it, were reached: its
  // --resume finishes them. (The stop falls before the last of them is
  // come to as an entry, whatever the order of their listing.)
  const Ran stopped =
      Interrupt(SIGPIPE, {Tree(), other.parent_path().string(), Tree(), Tree() + "/many/0",
                          Tree() + "/many/1", Tree() + "/many/2"});
  ASSERT_EQ(128 + SIGPIPE, stopped.status) << stopped.out;
  EXPECT_EQ(0u, stopped.out.find("stopped after ")) << stopped.out;
  EXPECT_NE(npos,
            stopped.out.find(left + "\ntailsnip-cli --resume " + Tree() + " finishes the run.\n"))
      << stopped.out;
  EXPECT_EQ("1\n2\n", ReadBytes(other));
}

TEST_F(CliTest, StopDuringAnOperandsLastEntryNamesTheOperandsLeft) {
  // Its one line meets a reader gone once the entry is shortened: the stop
  // is seen as the next operand's run lists its folder.
  // FILE operands of one folder, run together, are each named.
  const stdfs::path first = scratch_.file("../first/f", "1\n2\n");
  const stdfs::path other = scratch_.file("../other/f", "1\n2\n");
  const stdfs::path another = scratch_.file("../other/g", "1\n2\n");
  How how;
  how.errReaderGone = true;
  const Ran ran =
      RunCli({"-v", first.parent_path().string(), other.string(), another.string()}, how);
  EXPECT_EQ(128 + SIGPIPE, ran.status);
  EXPECT_EQ("stopped after 1 of 1 entries.\n\n2 operands were left as they were:\n" +
                other.string() + "\n" + another.string() + "\n",
            ran.out);
  EXPECT_EQ("1\r\n", ReadBytes(first));
  EXPECT_EQ("1\n2\n", ReadBytes(other));
  EXPECT_EQ("1\n2\n", ReadBytes(another));

  // A folder left that holds an earlier operand: running over it again
  // would take a second line from that one's files.
  const std::string outer = first.parent_path().parent_path().string();
  const Ran nested = RunCli({"-v", first.parent_path().string(), outer}, how);
  EXPECT_EQ(128 + SIGPIPE, nested.status);
  EXPECT_EQ("stopped after 1 of 1 entries.\n\n1 operand was left as it was:\n" + outer +
                "\n\nBeneath " + outer +
                ", earlier operands were run over already; a run over it again would take a "
                "second line from them:\n" +
                first.parent_path().string() + "\n",
            nested.out);
  EXPECT_EQ("", ReadBytes(first));
}

TEST_F(CliTest, FilesOfSeveralFoldersAreOneRunResumedByTheFolderTheyShare) {
  // As find lists them: a folder's files around those of its subfolder.
  // More than the run reads ahead of its first batch's report.
  const stdfs::path shared = scratch_.root() / "shared";
  std::vector<stdfs::path> files;
  for (const char *folder : {"a", "a/sub", "a", "b"})
    for (int i = 0; i < 150; ++i)
      files.push_back(shared / folder / std::to_string(files.size()));
  std::string list;
  for (const stdfs::path &file : files) {
    stdfs::create_directories(file.parent_path());
    WriteBytes(file, "1\n2\n");
    list += file.string() + '\0';
  }
  const std::string listed = (scratch_.root() / "list").string();
  WriteBytes(listed, list);
  How how;
  how.inFile = listed.c_str();
  how.errReaderGone = true; // a stop once the first file is told of
  const Ran stopped = RunCli({"-v", "--files0-from=-"}, how);
  EXPECT_EQ(128 + SIGPIPE, stopped.status);
  EXPECT_EQ(0u, stopped.out.find("stopped after ")) << stopped.out;
  EXPECT_NE(std::string::npos, stopped.out.find(" of 600 entries.\ntailsnip-cli --resume " +
                                                shared.string() + " finishes the run.\n"))
      << stopped.out;
  // Refused, it is told of by its FILEs, as the stop told of it.
  const Ran refused = RunCli({"-q", shared.string()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find(" of 600 entries: --resume")) << refused.err;
  // Anew, it would be a run over every file there, listed or not.
  const stdfs::path unlisted = shared / "unlisted";
  WriteBytes(unlisted, "1\n2\n");
  const Ran restarted = RunCli({"-q", "--restart", shared.string()});
  EXPECT_EQ(2, restarted.status);
  EXPECT_NE(std::string::npos, restarted.err.find("--restart with those FILEs")) << restarted.err;
  EXPECT_EQ("1\n2\n", ReadBytes(unlisted));
  // Without the FILEs it listed, it would forget them half done.
  const Ran leavingOut = RunCli({"-q", "--restart", unlisted.string()});
  EXPECT_EQ(2, leavingOut.status);
  EXPECT_NE(std::string::npos, leavingOut.err.find("named some these do not")) << leavingOut.err;
  EXPECT_EQ("1\n2\n", ReadBytes(unlisted));
  const Ran within = RunCli({"-q", (shared / "a/sub").string()});
  EXPECT_EQ(2, within.status);
  EXPECT_NE(std::string::npos, within.err.find("--restart with its FILEs forgets it"))
      << within.err;
  const Ran resumed = RunCli({"-v", "--resume", shared.string()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(std::string::npos, resumed.err.find("a folder"))
      << "a folder passed through was told of";
  for (const stdfs::path &file : files)
    EXPECT_EQ("1\r\n", ReadBytes(file)) << file;
}

TEST_F(StoppedRunTest, DryRunLetsGoOfItsClaimOnceChecked) {
  // The dry run's list goes to a small pipe nobody reads: once it is full,
  // the dry run waits in the middle of its run.
  const stdfs::path fifo = scratch_.root() / "list";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int capacity = ::fcntl(reader, F_SETPIPE_SZ, 4096);
  ASSERT_LT(0, capacity);
  How listToPipe;
  listToPipe.outFile = fifo.c_str();
  Ran dryRun;
  std::thread waiting([&] { dryRun = RunCli({"--dry-run", Tree()}, listToPipe); });
  // The failsafe: a dry run that never fills the pipe fails the test, not hangs it.
  int queued = 0;
  for (int waits = 0; waits < 3000 && queued < capacity; ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::ioctl(reader, FIONREAD, &queued);
  }
  EXPECT_EQ(capacity, queued) << "the dry run never waited";
  const Ran ran = RunCli({"--quiet", Tree()});
  ::close(reader); // the dry run's next write ends it
  waiting.join();
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ(files_.size(), Shortened());
  EXPECT_EQ(128 + SIGPIPE, dryRun.status) << dryRun.err;
  EXPECT_EQ(npos, dryRun.err.find("write error")) << "SIGPIPE told of it already";
}

TEST_F(StoppedRunTest, KilledRunIsRefusedUntilResumedAndItsCopiesOnlyAreRemoved) {
  // The current directory's temp.txt is the user's: copies go beside entries.
  WriteBytes(scratch_.cwd() / "temp.txt", "mine\n");
  const Ran killed = Interrupt(SIGKILL, {Tree()});
  ASSERT_EQ(128 + SIGKILL, killed.status);
  const std::size_t shortened = Shortened();
  // What a kill during a copy leaves: named with the token its journal records.
  const std::string pid = std::to_string(killed.pid);
  const std::string journal = ReadBytes(OnlyJournal());
  const std::size_t process = journal.find("\nprocess " + pid + " ");
  ASSERT_NE(npos, process) << "no token recorded: " << journal.substr(journal.rfind("end\n"));
  const std::string token = journal.substr(process + 10 + pid.size(), 16);
  const stdfs::path left =
      scratch_.tree() / "many/1" / (".tailsnip-" + pid + "-" + token + "-99.tmp");
  WriteBytes(left, "a\r\n");
  // A user's files named as copies are, one with the stopped run's number.
  const stdfs::path other = scratch_.file("kept/.tailsnip-1-1.tmp", "x\n");
  const stdfs::path lookAlike = scratch_.file("many/1/.tailsnip-" + pid + "-7.tmp", "mine\n");

  const Ran refused = RunCli({Tree()});
  EXPECT_EQ(2, refused.status);
  EXPECT_EQ("", refused.out);
  EXPECT_NE(npos, refused.err.find("a run over '" + Tree() + "' stopped after ")) << refused.err;
  EXPECT_NE(npos, refused.err.find("'" + OnlyJournal().string() + "'")) << refused.err;
  const Ran dryRun = RunCli({"--dry-run", Tree()});
  EXPECT_EQ(2, dryRun.status);
  EXPECT_EQ("", dryRun.out);
  EXPECT_EQ(refused.err, dryRun.err);
  const Ran within = RunCli({Tree() + "/many"});
  EXPECT_EQ(2, within.status);
  EXPECT_NE(npos, within.err.find("which holds '" + Tree() + "/many'")) << within.err;
  EXPECT_EQ(shortened, Shortened());

  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ("finished!\n", resumed.out);
  EXPECT_EQ(files_.size(), Shortened());
  EXPECT_FALSE(stdfs::exists(left));
  EXPECT_EQ("x\n", ReadBytes(other)) << "removed a copy of another process";
  EXPECT_EQ("mine\n", ReadBytes(lookAlike)) << "removed a file named like a copy";
  EXPECT_EQ("mine\n", ReadBytes(scratch_.cwd() / "temp.txt"));
  std::vector<std::string> leftovers = Leftovers();
  std::sort(leftovers.begin(), leftovers.end());
  EXPECT_EQ((std::vector<std::string>{(scratch_.cwd() / "temp.txt").string(), lookAlike.string()}),
            leftovers);

  const Ran nothingLeft = RunCli({"--resume", Tree()});
  EXPECT_EQ(2, nothingLeft.status);
  EXPECT_NE(npos, nothingLeft.err.find("there is no stopped run over")) << nothingLeft.err;
}

// Another user who may write in the folder and reads the stopped run's
// names from its copies can plant files under them: --resume neither
// removes such a file nor puts it back as an earlier backup.
TEST_F(StoppedRunTest, AnotherUsersFilesNamedAsTheStoppedRunsAreLeftAlone) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to plant files as another user";
  for (const stdfs::path &file : files_)
    WriteBytes(file.string() + "~", "earlier\n");
  const Ran killed = Interrupt(SIGKILL, {"-b", Tree()});
  ASSERT_EQ(128 + SIGKILL, killed.status);
  const auto unreached = std::find_if(files_.begin(), files_.end(), [](const stdfs::path &file) {
    return ReadBytes(file) == "a\nb\nc\n" && ReadBytes(file.string() + "~") == "earlier\n";
  });
  ASSERT_NE(files_.end(), unreached) << "the run reached every file";
  const std::string pid = std::to_string(killed.pid);
  const std::string journal = ReadBytes(OnlyJournal());
  const std::size_t process = journal.find("\nprocess " + pid + " ");
  ASSERT_NE(npos, process);
  const std::string named =
      ".tailsnip-" + pid + "-" + journal.substr(process + 10 + pid.size(), 16);
  const stdfs::path folder = unreached->parent_path();
  const stdfs::path asBackup = folder / (named + "-1-" + unreached->filename().string() + "~.tmp");
  const stdfs::path asCopy = folder / (named + "-99.tmp");
  for (const stdfs::path &planted : {asBackup, asCopy}) {
    WriteBytes(planted, "planted\n");
    ASSERT_EQ(0, ::chown(planted.c_str(), 65534, 65534));
  }

  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ("a\r\nb\r\n", ReadBytes(*unreached));
  EXPECT_EQ("a\nb\nc\n", ReadBytes(unreached->string() + "~"));
  EXPECT_EQ("planted\n", ReadBytes(asBackup));
  EXPECT_EQ("planted\n", ReadBytes(asCopy));
}

TEST_F(StoppedRunTest, KilledRunCuttingInPlaceIsFinishedByResume) {
  // CR LF line ends throughout: every file is cut in place.
  for (const stdfs::path &file : files_)
    WriteBytes(file, "a\r\nb\r\nc\r\n");
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  std::size_t cut = 0;
  for (const stdfs::path &file : files_) {
    const std::string bytes = ReadBytes(file);
    EXPECT_TRUE(bytes == "a\r\nb\r\nc\r\n" || bytes == "a\r\nb\r\n") << file << ": " << bytes;
    cut += bytes == "a\r\nb\r\n";
  }
  EXPECT_LT(cut, files_.size());
  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  for (const stdfs::path &file : files_)
    EXPECT_EQ("a\r\nb\r\n", ReadBytes(file)) << file;
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(StoppedRunTest, JournalIsFoundByTheFolderAfterARename) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {"--exclude=2", Tree()}).status);
  const std::size_t shortened = Shortened();
  const stdfs::path renamed = scratch_.root() / "renamed";
  stdfs::rename(scratch_.tree(), renamed);
  for (stdfs::path &file : files_)
    file = renamed / stdfs::relative(file, scratch_.tree());

  const Ran byOldName = RunCli({"--resume", Tree()});
  EXPECT_EQ(2, byOldName.status);
  EXPECT_NE(npos, byOldName.err.find("the folder is gone")) << byOldName.err;
  const Ran refused = RunCli({renamed.string()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find("(then named '" + Tree() + "') stopped after")) << refused.err;
  EXPECT_EQ(shortened, Shortened());

  const Ran resumed = RunCli({"--resume", renamed.string()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  std::size_t excluded = 0;
  for (const stdfs::path &file : files_)
    excluded += ReadBytes(file) == "a\nb\nc\n";
  EXPECT_EQ(static_cast<std::size_t>(kFiles / 3), excluded) << "the recorded list was not kept";
}

TEST_F(StoppedRunTest, StoppedRunIsFoundWhereverItsFolderWasMovedOrMounted) {
  ASSERT_EQ(128 + SIGINT, Interrupt(SIGINT, {Tree() + "/many"}).status);
  const std::size_t shortened = Shortened();
  const stdfs::path other = scratch_.root() / "other";
  stdfs::create_directory(other);
  stdfs::rename(scratch_.tree() / "many", other / "many");
  for (stdfs::path &file : files_)
    file = other / stdfs::relative(file, scratch_.tree());

  const Ran around = RunCli({other.string()});
  EXPECT_EQ(2, around.status);
  EXPECT_NE(npos, around.err.find("a stopped run over '" + other.string() + "/many', within '" +
                                  other.string() + "', is not finished"))
      << around.err;
  if (::geteuid() == 0) { // its folder's folder, mounted elsewhere
    const stdfs::path mounted = scratch_.root() / "mounted";
    stdfs::create_directory(mounted);
    ASSERT_EQ(0, ::mount((other / "many/0").c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr));
    const Ran within = RunCli({mounted.string()});
    ::umount2(mounted.c_str(), MNT_DETACH);
    EXPECT_EQ(2, within.status);
    EXPECT_NE(npos, within.err.find("a stopped run over '" + other.string() +
                                    "/many', which holds '" + mounted.string() + "'"))
        << within.err;
  }
  EXPECT_EQ(shortened, Shortened());
  const Ran resumed = RunCli({"--resume", (other / "many").string()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(files_.size(), Shortened());
}

TEST_F(StoppedRunTest, StoppedRunIsSeenByOtherStateFoldersAndOtherUsers) {
  ASSERT_EQ(128 + SIGINT, Interrupt(SIGINT, {Tree()}).status);
  const std::size_t shortened = Shortened();
  const std::string journal = stdfs::directory_iterator(scratch_.root() / "state/tailsnip")->path();
  const stdfs::path otherState = scratch_.root() / "other-state";
  stdfs::create_directory(otherState);
  ::setenv("XDG_STATE_HOME", otherState.c_str(), 1);
  const Ran otherHome = RunCli({Tree() + "/many"});
  const Ran restart = RunCli({"--restart", Tree()});
  EXPECT_EQ(2, otherHome.status);
  EXPECT_NE(npos, otherHome.err.find("a stopped run over '" + Tree() + "', which holds '" + Tree() +
                                     "/many', is recorded in '" + journal +
                                     "', under another HOME or XDG_STATE_HOME"))
      << otherHome.err;
  EXPECT_EQ(2, restart.status) << "forgot another state folder's run";
  if (::geteuid() == 0) { // as a user who may write every file of the tree
    for (const stdfs::path &mine : {scratch_.tree(), otherState}) {
      EXPECT_EQ(0, ::lchown(mine.c_str(), 65534, 65534));
      for (const auto &entry : stdfs::recursive_directory_iterator(mine))
        EXPECT_EQ(0, ::lchown(entry.path().c_str(), 65534, 65534));
    }
    How asNobody;
    asNobody.asNobody = true;
    const Ran nobody = RunCli({Tree()}, asNobody);
    EXPECT_EQ(2, nobody.status);
    EXPECT_NE(npos, nobody.err.find("a stopped run over '" + Tree() + "' is recorded in '" +
                                    journal + "', user root's: "))
        << nobody.err;
  }
  EXPECT_EQ(shortened, Shortened());
}

// Any user may add a marker to the registry: one naming no journal of its
// owner's stops nobody, and the superuser may forget another user's run.
TEST_F(StoppedRunTest, OnlyRealJournalsStopOthersAndTheSuperuserForgetsThem) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  struct stat tree;
  ASSERT_EQ(0, ::stat(Tree().c_str(), &tree));
  const std::string registry = "/var/tmp/tailsnip";
  if (::mkdir(registry.c_str(), 01777) == 0) // as a run makes it, whatever the umask
    ::chmod(registry.c_str(), 01777);
  const std::string marker =
      registry + "/" + std::to_string(tree.st_dev) + "-" + std::to_string(tree.st_ino);
  WriteBytes(marker, "/etc/passwd");
  ASSERT_EQ(0, ::lchown(marker.c_str(), 65534, 65534));
  const Ran forged = RunCli({"-nq", Tree()});
  ::unlink(marker.c_str());
  EXPECT_EQ(0, forged.status) << forged.err;
  // Nor does what takes the marker's name and cannot be removed by the run's
  // user keep its run from being seen.
  ASSERT_EQ(0, ::mkfifo(marker.c_str(), 0644));
  struct Unplant {
    std::string path;
    ~Unplant() { ::unlink(path.c_str()); }
  } unplant{marker};

  for (const auto &entry : stdfs::recursive_directory_iterator(scratch_.root()))
    ASSERT_EQ(0, ::lchown(entry.path().c_str(), 65534, 65534));
  ASSERT_EQ(0, ::lchown(scratch_.root().c_str(), 65534, 65534));
  How nobody;
  nobody.asNobody = true;
  nobody.stopSignal = SIGKILL;
  nobody.stopAfterLines = 20;
  ASSERT_EQ(128 + SIGKILL, RunCli({"-v", Tree()}, nobody).status);
  ::setenv("XDG_STATE_HOME", (scratch_.root() / "root-state").c_str(), 1);
  const Ran refused = RunCli({Tree()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find("user nobody's: ")) << refused.err;
  const Ran restarted = RunCli({"--restart", Tree()});
  EXPECT_EQ(0, restarted.status) << restarted.err;
  EXPECT_NE(npos, restarted.err.find("--restart forgets the stopped run over")) << restarted.err;
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  for (const stdfs::path &file : files_)
    EXPECT_TRUE(ReadBytes(file) == "a\r\nb\r\n" || ReadBytes(file) == "a\r\n") << file;
}

TEST_F(StoppedRunTest, ResumeFinishesWithTheStoppedRunsSettingsAndRefusesOthers) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {"-l2", "-k", Tree()}).status);
  const auto count = [&](const std::string &bytes) {
    return std::count_if(files_.begin(), files_.end(),
                         [&](const stdfs::path &file) { return ReadBytes(file) == bytes; });
  };
  const auto done = count("a\n");
  EXPECT_EQ(kFiles, done + count("a\nb\nc\n"));
  const Ran other = RunCli({"--resume", "-l3", "-b", Tree()});
  EXPECT_EQ(2, other.status);
  EXPECT_NE(npos, other.err.find("was started with --lines=2, not --lines=3 and with "
                                 "--backup=none, not --backup=existing --suffix='~': "
                                 "--resume alone finishes it as it began"))
      << other.err;
  EXPECT_EQ(done, count("a\n"));

  // A setting given as the stopped run had it is no other.
  const Ran resumed = RunCli({"--resume", "-l2", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(kFiles, count("a\n"));
}

// FILEs would forget the rest of the stopped run's folder half done.
TEST_F(StoppedRunTest, RunOverAFolderIsRestartedOnlyOverIt) {
  const stdfs::path top = scratch_.file("top", "a\nb\nc\n");
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const Ran refused = RunCli({"--restart", top.string(), files_[0].string()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find(" that stopped was over all of it: --restart ")) << refused.err;
  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(std::size_t{kFiles}, Shortened());
}

TEST_F(StoppedRunTest, ResumeKeepsTheStoppedRunsBackups) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {"--backup=numbered", "-S.x", Tree()}).status);
  const Ran other = RunCli({"--resume", "--backup=simple", Tree()});
  EXPECT_EQ(2, other.status);
  EXPECT_NE(npos, other.err.find("was started with --backup=numbered, not "
                                 "--backup=simple --suffix='~':"))
      << other.err;

  // Numbered backups take no suffix.
  const Ran resumed = RunCli({"--resume", "--backup=numbered", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  for (const stdfs::path &file : files_) {
    EXPECT_EQ("a\r\nb\r\n", ReadBytes(file)) << file;
    EXPECT_EQ("a\nb\nc\n", ReadBytes(file.string() + ".~1~")) << file;
    EXPECT_FALSE(stdfs::exists(file.string() + "~")) << file;
  }
}

TEST_F(StoppedRunTest, JournalOfAnotherVersionIsRefusedAndRestartForgetsIt) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const stdfs::path folder = scratch_.root() / "state/tailsnip";
  ASSERT_EQ(1, std::distance(stdfs::directory_iterator(folder), {}));
  const stdfs::path journal = stdfs::directory_iterator(folder)->path();
  std::string bytes = ReadBytes(journal);
  bytes.replace(bytes.find("version ") + 8, 7, "0.9.0.0");
  WriteBytes(journal, bytes);
  const Ran refused = RunCli({"--resume", Tree()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find("recorded by tailsnip-cli 0.9.0.0, not by this one"))
      << refused.err;
  EXPECT_NE(npos, refused.err.find("'" + journal.string() + "'")) << refused.err;

  const std::size_t shortened = Shortened();
  const Ran restarted = RunCli({"--restart", "-q", Tree()});
  EXPECT_EQ(0, restarted.status) << restarted.err;
  // Said before anything changes, naming what is forgotten.
  EXPECT_EQ(0u, restarted.err.find("tailsnip-cli: ")) << restarted.err;
  EXPECT_NE(npos, restarted.err.find("'" + journal.string() + "'")) << restarted.err;
  EXPECT_NE(npos, restarted.err.find("lose another line")) << restarted.err;
  std::size_t twice = 0;
  for (const stdfs::path &file : files_)
    twice += ReadBytes(file) == "a\r\n";
  EXPECT_EQ(shortened, twice);
  EXPECT_FALSE(stdfs::exists(journal));
}

TEST_F(StoppedRunTest, JournalCutShortIsRefusedAndRestartForgetsIt) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const stdfs::path journal = stdfs::directory_iterator(scratch_.root() / "state/tailsnip")->path();
  const std::string bytes = ReadBytes(journal);
  WriteBytes(journal, bytes.substr(0, bytes.rfind("\nend\n")));
  const Ran refused = RunCli({"--resume", Tree()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find(" cannot be read: --restart forgets that run")) << refused.err;

  const Ran restarted = RunCli({"--restart", "-q", Tree()});
  EXPECT_EQ(0, restarted.status) << restarted.err;
  EXPECT_FALSE(stdfs::exists(journal));
}

// As a run over a home folder meets ~/.local/state and what other runs left,
// and one over /var/tmp the registry's markers.
TEST_F(StoppedRunTest, RunOverTheJournalFolderLeavesJournalsAndCopiesAsTheyAre) {
  const stdfs::path home = scratch_.root() / "home";
  ::setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const stdfs::path journal = OnlyJournal(home / ".local/state/tailsnip");
  const std::string recorded = ReadBytes(journal);
  struct stat tree;
  ASSERT_EQ(0, ::stat(Tree().c_str(), &tree));
  const std::string marker =
      "/var/tmp/tailsnip/" + std::to_string(tree.st_dev) + "-" + std::to_string(tree.st_ino);
  ASSERT_TRUE(stdfs::exists(marker));
  const Ran overRegistry = RunCli({"-nq", "/var/tmp/tailsnip"});
  EXPECT_EQ(npos, overRegistry.out.find(marker)) << "a marker would be shortened";
  WriteBytes(home / "notes", "x\ny\n");
  WriteBytes(home / ".tailsnip-1-2.tmp", "x\ny\n");
  const Ran ran = RunCli({"-q", home.string()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("x\r\n", ReadBytes(home / "notes"));
  EXPECT_EQ("x\ny\n", ReadBytes(home / ".tailsnip-1-2.tmp"));
  EXPECT_TRUE(recorded == ReadBytes(journal)) << "the journal was changed";
  const Ran resumed = RunCli({"-q", "--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(files_.size(), Shortened());
}

TEST_F(StoppedRunTest, ResumeReportsEntriesRemovedOrReplacedSinceTheyWereListed) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const std::vector<stdfs::path> pending = Pending();
  ASSERT_LE(3u, pending.size());
  stdfs::rename(pending[0], pending[0].string() + ".renamed");
  stdfs::remove(pending[1]);
  stdfs::remove(pending[2]);
  stdfs::create_directory(pending[2]);
  const Ran resumed = RunCli({"-q", "--resume", Tree()});
  EXPECT_EQ(1, resumed.status);
  EXPECT_NE(npos, resumed.out.find("\n3 entries could not be shortened:\n")) << resumed.out;
  EXPECT_NE(npos, resumed.out.find("\n" + pending[0].string() + ": removed during the run\n"));
  EXPECT_NE(npos, resumed.out.find("\n" + pending[1].string() + ": removed during the run\n"));
  EXPECT_NE(npos, resumed.out.find("\n" + pending[2].string() + ": changed during the run\n"));
  EXPECT_EQ("a\nb\nc\n", ReadBytes(pending[0].string() + ".renamed"));
}

TEST_F(StoppedRunTest, StoppedRunOverARemovedFolderBlocksNothingAndRestartByItsNameForgetsIt) {
  const std::string stopped = Tree() + "/many";
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {stopped}).status);
  const stdfs::path journal = OnlyJournal();
  // Moved, it still holds back a run over a folder around it, found by its identity.
  const std::string moved = Tree() + "/sub/moved";
  stdfs::rename(stopped, moved);
  const Ran refused = RunCli({Tree()});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(npos, refused.err.find("'" + moved + "'")) << refused.err;
  EXPECT_NE(npos, refused.err.find("'" + journal.string() + "'")) << refused.err;
  ExpectUntouched();

  stdfs::remove_all(moved);
  const Ran ran = RunCli({"-q", Tree()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_TRUE(stdfs::exists(journal));
  const stdfs::path marker = stdfs::path("/var/tmp/tailsnip") / journal.stem();
  EXPECT_TRUE(stdfs::exists(marker));
  const Ran restarted = RunCli({"--restart", stopped});
  EXPECT_EQ(0, restarted.status) << restarted.err;
  EXPECT_NE(npos, restarted.err.find("'" + journal.string() + "'")) << restarted.err;
  EXPECT_FALSE(stdfs::exists(journal));
  EXPECT_FALSE(stdfs::exists(marker)) << "the marker of the journal removed was left";
}

// Patterns that leave the folder out leave its stopped run waiting, and
// --restart still forgets it.
TEST_F(StoppedRunTest, StoppedRunOverAFolderThePatternsLeaveOutStillWaits) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const std::string excluded = "--exclude=" + stdfs::path(Tree()).filename().string() + "/";
  const Ran refused = RunCli({excluded, Tree()});
  EXPECT_EQ(2, refused.status) << refused.out << refused.err;
  const Ran restarted = RunCli({"-q", "--restart", excluded, Tree()});
  EXPECT_EQ(0, restarted.status) << restarted.err;
  EXPECT_EQ(std::vector<std::string>{}, Leftovers()) << "the stopped run was not forgotten";
}

TEST_F(StoppedRunTest, JournalWithoutTokensRemovesNoCopyAndSaysSo) {
  const Ran killed = Interrupt(SIGKILL, {Tree()});
  ASSERT_EQ(128 + SIGKILL, killed.status);
  const stdfs::path journal = OnlyJournal();
  std::string bytes = ReadBytes(journal);
  const std::size_t process = bytes.rfind("\nprocess ");
  const std::size_t token = bytes.find(' ', process + 9);
  bytes.erase(token, bytes.find('\n', token) - token); // as written before tokens
  WriteBytes(journal, bytes);
  const stdfs::path named =
      scratch_.file("many/1/.tailsnip-" + std::to_string(killed.pid) + "-1.tmp", "a\r\n");
  const Ran resumed = RunCli({"-q", "--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_NE(npos, resumed.err.find("'" + journal.string() + "' was written before copies"))
      << resumed.err;
  EXPECT_EQ("a\r\n", ReadBytes(named));
  EXPECT_EQ(files_.size(), Shortened());
}

} // namespace
} // namespace tailsnip::testing
