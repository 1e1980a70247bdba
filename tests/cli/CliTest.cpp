// tailsnip-cli as scripts and people use it: arguments, output streams,
// exit status, and the progress line on a terminal.
#include "../unit/OpenFileLimit.h"
#include "../unit/PosixVolume.h"
#include "../unit/ReferenceModel.h"
#include "../unit/TestSupport.h"
#include "engine/Outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;
using testing::TmpfsVolume;
using testing::WriteBytes;
namespace stdfs = std::filesystem;

std::size_t Lines(const std::string &text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Ran {
  int status = -1; // as a shell gives it: 128 + N when signal N ended it
  std::string out, err;
  pid_t pid = -1;
};

// How a test runs tailsnip-cli. Standard output and standard error are
// pipes unless put on a terminal (one of `columns` columns, when given);
// standard output is the file `outFile` when given, standard input the file
// `inFile`. With `stopSignal`, it is sent once standard error holds
// `stopAfterLines` lines (SIGPIPE as `| head` does: by closing the pipe of
// standard error); with `cwd`, the program runs there; with `asNobody`, as
// user and group 65534 (the caller being root); with `root`, in a mount
// namespace of its own whose root folder is `root` (status 125 where none
// could be made).
struct How {
  bool errOnTerminal = false;
  bool outOnTerminal = false;
  bool bothOnOneTerminal = false; // standard output on standard error's, as in a shell
  unsigned short columns = 0;
  const char *outFile = nullptr;
  const char *inFile = nullptr;
  const char *cwd = nullptr;
  int stopSignal = 0;
  std::size_t stopAfterLines = 0;
  bool asNobody = false;
  const char *root = nullptr;
  bool rootWithoutProc = false;          // /proc is not mounted in `root`
  bool errReaderGone = false;            // the first write to standard error raises SIGPIPE
  bool errClosed = false;                // started without standard error, as `2>&-` does
  const char *columnsVariable = nullptr; // COLUMNS, where given
};

// The program's own path inside a root folder made by MakeRoot.
constexpr char kCliInRoot[] = "/tailsnip-cli";

// The system folders a root folder of a test's own holds for the program to run.
// /proc too: the sanitizers' leak check reads it as the program ends.
constexpr const char *kSystemFolders[] = {"/usr", "/lib", "/lib64", "/proc"};

// Makes `root` a folder the program can run in as its root folder.
void MakeRoot(const stdfs::path &root) {
  for (const char *folder : kSystemFolders)
    if (stdfs::is_directory(folder))
      stdfs::create_directories(root.string() + folder);
  WriteBytes(root.string() + kCliInRoot, "");
}

// In the child: `root` becomes its root folder, with the program and the
// system's libraries bound into it, in a mount namespace (and, for a user
// other than root, a user namespace) of its own; nothing outside sees it.
bool EnterRoot(const std::string &root, bool withoutProc) {
  if (::unshare(CLONE_NEWNS | (::geteuid() == 0 ? 0 : CLONE_NEWUSER)) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  for (const char *folder : kSystemFolders)
    if (!(withoutProc && std::strcmp(folder, "/proc") == 0) &&
        ::access((root + folder).c_str(), F_OK) == 0 &&
        ::mount(folder, (root + folder).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return false;
  return ::mount(TAILSNIP_CLI_PATH, (root + kCliInRoot).c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::chroot(root.c_str()) == 0 && ::chdir("/") == 0;
}

// A pipe, or a terminal whose other end the test reads.
void OpenChannel(int ends[2], bool terminal, unsigned short columns, bool raw) {
  if (!terminal) {
    EXPECT_EQ(0, ::pipe(ends));
    return;
  }
  winsize size{};
  size.ws_col = columns;
  EXPECT_EQ(0, ::openpty(&ends[0], &ends[1], nullptr, nullptr, columns ? &size : nullptr));
  termios modes;
  if (raw && ::tcgetattr(ends[1], &modes) == 0) { // line feeds stay line feeds
    ::cfmakeraw(&modes);
    ::tcsetattr(ends[1], TCSANOW, &modes);
  }
}

Ran RunCli(const std::vector<std::string> &args, const How &how) {
  int outPipe[2], errPipe[2];
  OpenChannel(outPipe, how.outOnTerminal, how.columns, true);
  OpenChannel(errPipe, how.errOnTerminal || how.bothOnOneTerminal, how.columns, false);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(how.outFile             ? ::open(how.outFile, O_WRONLY)
           : how.bothOnOneTerminal ? errPipe[1]
                                   : outPipe[1],
           STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    if (int gone[2]; how.errReaderGone && ::pipe(gone) == 0) {
      ::close(gone[0]);
      ::dup2(gone[1], STDERR_FILENO);
    }
    if (how.errClosed)
      ::close(STDERR_FILENO);
    if (how.inFile)
      ::dup2(::open(how.inFile, O_RDONLY), STDIN_FILENO);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (how.cwd && ::chdir(how.cwd) != 0)
      ::_exit(127);
    if (how.columnsVariable)
      ::setenv("COLUMNS", how.columnsVariable, 1);
    if (how.asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                         ::setresuid(65534, 65534, 65534) != 0))
      ::_exit(127);
    if (how.root && !EnterRoot(how.root, how.rootWithoutProc))
      ::_exit(125);
    std::vector<char *> argv{const_cast<char *>(how.root ? kCliInRoot : TAILSNIP_CLI_PATH)};
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Ran ran;
  int stopSignal = how.stopSignal;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&ran.out, &ran.err};
  for (int open = 2; open > 0;) {
    if (::poll(fds, 2, 30000) <= 0)
      break; // the failsafe: a hung child fails the test instead of the suite
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents)
        continue;
      char chunk[4096];
      const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
        if (stopSignal != 0 && Lines(ran.err) >= how.stopAfterLines) {
          if (const int signal = std::exchange(stopSignal, 0); signal != SIGPIPE) {
            ::kill(child, signal);
          } else {
            ::close(fds[1].fd);
            fds[1].fd = -1;
            --open;
          }
        }
      } else { // end of a pipe, or EIO once a terminal's last writer is gone
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  ::kill(child, SIGKILL); // no-op unless it hung
  int status = 0;
  ::waitpid(child, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.pid = child;
  return ran;
}

Ran RunCli(const std::vector<std::string> &args, bool errOnTerminal = false,
           const char *outFile = nullptr, const char *cwd = nullptr, int stopSignal = 0,
           std::size_t stopAfterLines = 0) {
  How how;
  how.errOnTerminal = errOnTerminal;
  how.outFile = outFile;
  how.cwd = cwd;
  how.stopSignal = stopSignal;
  how.stopAfterLines = stopAfterLines;
  return RunCli(args, how);
}

class CliTest : public ::testing::Test {
protected:
  void SetUp() override {
    // Journals go to the scratch folder, never to the user's own.
    ::setenv("XDG_STATE_HOME", (scratch_.root() / "state").c_str(), 1);
    ::unsetenv("VERSION_CONTROL");
    ::unsetenv("SIMPLE_BACKUP_SUFFIX");
    a_ = scratch_.file("a.txt", "1\n2\n3\n");
    b_ = scratch_.file("sub/b.txt", "only\n");
    scratch_.file("sub/empty", "");
  }
  void ExpectUntouched() {
    EXPECT_EQ("1\n2\n3\n", ReadBytes(a_));
    EXPECT_EQ("only\n", ReadBytes(b_));
    EXPECT_TRUE(stdfs::is_empty(scratch_.cwd())) << "temp.txt written";
  }
  std::string Tree() { return scratch_.tree().string(); }
  // A run as user 65534, whose journals go where that user may write.
  How AsNobody() {
    stdfs::create_directory(scratch_.root() / "state");
    stdfs::permissions(scratch_.root() / "state", stdfs::perms::all);
    How how;
    how.asNobody = true;
    return how;
  }

  Scratch scratch_;
  stdfs::path a_, b_;
};

TEST_F(CliTest, RunPrintsTheNoticeAloneOnStandardOutput) {
  const Ran ran = RunCli({Tree()});
  EXPECT_EQ(0, ran.status);
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  EXPECT_EQ(
      0u,
      ran.err.find("shortened 2, unchanged 1, failed 0; folders and other non-files left alone: 1; "
                   "read "))
      << ran.err;
  EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find('\r')) << "progress drawn on a pipe";
}

TEST_F(CliTest, WithoutStandardErrorTheRunWritesNoMessageElsewhereAndEndsWithStatusOne) {
  How closed;
  closed.errClosed = true;
  const Ran ran = RunCli({"-v", Tree()}, closed);
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
}

TEST_F(CliTest, FailureGivesStatusOneAndIsNamed) {
  ::chmod(a_.c_str(), 0444);
  const Ran ran = RunCli({"--quiet", Tree()});
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + a_.string() + ": read-only\n",
            ran.out);
  EXPECT_EQ("", ran.err);
}

TEST_F(CliTest, UsageErrorsTouchNothing) {
  const std::string list = scratch_.file("../list", Tree() + '\0').string();
  const std::string leadsNowhere = (scratch_.root() / "nowhere").string();
  const std::string withNul = scratch_.file("../patterns", std::string("a\0b\n", 4)).string();
  stdfs::create_symlink(Tree() + "/missing", leadsNowhere);
  const std::vector<std::vector<std::string>> usages = {{},
                                                        {""},
                                                        {Tree() + "/missing"},
                                                        {Tree(), Tree() + "/missing"},
                                                        {leadsNowhere},
                                                        {"--bogus", Tree()},
                                                        {"--files0-from=" + list, Tree()},
                                                        {"--files0-from=" + list + "-missing"},
                                                        {"--resume", a_.string()},
                                                        {"--max-depth=-1", Tree()},
                                                        {"--exclude=[a-", Tree()},
                                                        {"--exclude=a\\", Tree()},
                                                        {"--include=", Tree()},
                                                        {"--include=sub/", Tree()},
                                                        {"--exclude-from=" + withNul, Tree()},
                                                        {"--backup=bogus", Tree()},
                                                        {"--backup=n", Tree()},
                                                        {"--suffix=a/b", Tree()},
                                                        {"-S", "", Tree()}};
  for (const auto &args : usages) {
    const Ran ran = RunCli(args);
    EXPECT_EQ(2, ran.status) << ran.err;
    EXPECT_EQ("", ran.out);
    EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
  }
  ExpectUntouched();
}

TEST_F(CliTest, RootFolderIsRefusedByItsIdentityUnlessAllowed) {
  const std::string link = (scratch_.root() / "system").string();
  stdfs::create_directory_symlink("/", link);
  // A dry run that leaves every entry out: a fault here costs nothing.
  for (const std::string &root : std::vector<std::string>{"/", "//", "/./", "/..", link}) {
    const Ran ran = RunCli({"-n", "--exclude=*", root});
    EXPECT_EQ(2, ran.status) << root;
    EXPECT_EQ("", ran.out) << root;
    EXPECT_EQ("tailsnip-cli: '" + root +
                  "' is a root folder: every file beneath it would lose a line; "
                  "--no-preserve-root allows that (see tailsnip-cli --help)\n",
              ran.err);
  }
  // Beside other operands, and in a list (as `find / -print0` writes one), it
  // ends the command before any run: no notice.
  const std::string list = scratch_.file("../list", Tree() + '\0' + "/" + '\0').string();
  const std::vector<std::vector<std::string>> amongOthers = {
      {"-n", "--exclude=*", Tree(), "/"}, {"-n", "--exclude=*", "--files0-from=" + list}};
  for (const auto &args : amongOthers) {
    const Ran ran = RunCli(args);
    EXPECT_EQ(2, ran.status) << args.back();
    EXPECT_EQ("", ran.out) << args.back();
    EXPECT_EQ(0u, ran.err.find("tailsnip-cli: '/' is a root folder: ")) << ran.err;
  }
  // A slip of the keyboard does not lift the guard.
  const Ran abbreviated = RunCli({"-n", "--exclude=*", "--no", "/"});
  EXPECT_EQ(2, abbreviated.status);
  EXPECT_EQ(0u, abbreviated.err.find("tailsnip-cli: you may not abbreviate the "
                                     "--no-preserve-root option"))
      << abbreviated.err;
  // Allowed, over a root folder of the test's own: a run over the system's
  // would claim '/', and every run on the machine works beneath it.
  const stdfs::path jail = scratch_.root() / "root";
  MakeRoot(jail);
  How inJail;
  inJail.root = jail.c_str();
  const Ran refused = RunCli({"-n", "--exclude=*", "/"}, inJail);
  if (refused.status == 125)
    GTEST_SKIP() << "no root folder of the test's own could be made";
  EXPECT_EQ(2, refused.status) << refused.err;
  const Ran allowed = RunCli({"-nq", "--exclude=*", "--no-preserve-root", "/"}, inJail);
  EXPECT_EQ(0, allowed.status);
  EXPECT_EQ("", allowed.err);
}

// Without /proc a file cannot be reopened through the handle it was
// described by: it is opened by its name again, and described again.
TEST_F(CliTest, WithoutProcFilesAreOpenedByNameAndShortenedAlike) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "LeakSanitizer reads /proc as the program ends, and its options from there";
#endif
  const stdfs::path jail = scratch_.root() / "root";
  MakeRoot(jail);
  stdfs::create_directories(jail / "tree" / "sub");
  WriteBytes(jail / "tree" / "lf", "a\nb\nc\n");
  WriteBytes(jail / "tree" / "sub" / "crlf", "x\r\ny\r\nz\n");
  How inJail;
  inJail.root = jail.c_str();
  inJail.rootWithoutProc = true;
  const Ran kept = RunCli({"-k", "/tree"}, inJail);
  if (kept.status == 125)
    GTEST_SKIP() << "no root folder of the test's own could be made";
  EXPECT_EQ(0, kept.status) << kept.err;
  EXPECT_EQ("a\nb\n", ReadBytes(jail / "tree" / "lf"));
  EXPECT_EQ("x\r\ny\r\n", ReadBytes(jail / "tree" / "sub" / "crlf"));
  const Ran copied = RunCli({"/tree"}, inJail);
  EXPECT_EQ(0, copied.status) << copied.err;
  EXPECT_EQ("a\r\n", ReadBytes(jail / "tree" / "lf"));
  EXPECT_EQ("x\r\n", ReadBytes(jail / "tree" / "sub" / "crlf"));
}

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

TEST_F(CliTest, DryRunListsWhatWouldBeShortenedAndChangesNothing) {
  const Ran ran = RunCli({"--dry-run", Tree() + "/"});
  EXPECT_EQ(0, ran.status);
  std::istringstream lines(ran.out);
  std::set<std::string> listed;
  for (std::string line; std::getline(lines, line) && line != "finished!";)
    listed.insert(line);
  EXPECT_EQ((std::set<std::string>{a_.string(), b_.string()}), listed);
  EXPECT_EQ("finished!\n", ran.out.substr(ran.out.size() - 10));
  EXPECT_EQ(0u, ran.err.find("would shorten 2,")) << ran.err;
  ExpectUntouched();
}

TEST_F(CliTest, HelpAndVersion) {
  const Ran help = RunCli({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: tailsnip-cli")) << help.out;
  EXPECT_NE(std::string::npos, help.out.find("--dry-run"));
  EXPECT_EQ(std::string::npos, help.out.find("temp.txt")) << "copies are written beside files";
  const Ran version = RunCli({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("tailsnip-cli 1.0.0.1\n", version.out);
  ExpectUntouched();
}

TEST_F(CliTest, ProgressLineOnATerminalOnly) {
  const Ran forced = RunCli({"--progress", Tree()}, /*errOnTerminal=*/true);
  EXPECT_EQ(0, forced.status);
  EXPECT_NE(std::string::npos, forced.err.find("/4 entries, ")) << forced.err;
  EXPECT_NE(std::string::npos, forced.err.find("\r\033[Kshortened 2")) << "line not erased";
  EXPECT_EQ("finished!\n", forced.out);

  // A quick run on a terminal shows no line; --quiet shows nothing at all.
  const Ran quick = RunCli({Tree()}, /*errOnTerminal=*/true);
  EXPECT_EQ(std::string::npos, quick.err.find("entries")) << quick.err;
  const Ran quiet = RunCli({"--quiet", "--progress", Tree()}, /*errOnTerminal=*/true);
  EXPECT_EQ("", quiet.err);
}

TEST_F(CliTest, DryRunListsEachNameOnALineOfItsOwnBesideTheProgressLine) {
  How shell;
  shell.bothOnOneTerminal = true;
  const Ran ran = RunCli({"-n", "--progress", Tree()}, shell);
  EXPECT_EQ(0, ran.status);
  for (const stdfs::path &file : {a_, b_}) {
    const std::string before = ran.err.substr(0, ran.err.find(file.string()));
    ASSERT_NE(ran.err.size(), before.size()) << ran.err;
    EXPECT_TRUE(before.empty() || before.back() == '\n' ||
                (before.size() >= 3 && before.compare(before.size() - 3, 3, "\033[K") == 0))
        << file << " runs on from: " << before;
  }
}

TEST_F(CliTest, ShortOptionsBundleAndOperandErrorsSayWhich) {
  const Ran bundled = RunCli({"-nq", Tree()});
  EXPECT_EQ(0, bundled.status);
  EXPECT_EQ("", bundled.err);
  EXPECT_EQ(3u, Lines(bundled.out)) << bundled.out; // two files and the notice
  const Ran missing = RunCli({"-n"});
  EXPECT_NE(std::string::npos, missing.err.find("missing FOLDER operand")) << missing.err;
  const Ran extra = RunCli({Tree(), "surplus"});
  EXPECT_NE(std::string::npos, extra.err.find("cannot access 'surplus': No such file or directory"))
      << extra.err;
  EXPECT_EQ(2, extra.status);
  // Long options are named as typed, with getopt_long's words.
  const std::pair<const char *, const char *> misused[] = {
      {"--dry-run=yes", "option '--dry-run' doesn't allow an argument"},
      {"--dry=yes", "option '--dry' doesn't allow an argument"},
      {"--max-depth", "option '--max-depth' requires an argument"},
      {"--re", "option '--re' is ambiguous; possibilities: '--resume' '--restart'"},
      {"-nz", "unknown option '-z'"}};
  for (const auto &[option, message] : misused) {
    const Ran ran = RunCli({Tree(), option});
    EXPECT_EQ(2, ran.status);
    EXPECT_EQ("tailsnip-cli: " + std::string(message) + " (see tailsnip-cli --help)\n", ran.err);
  }
  ExpectUntouched();
}

TEST_F(CliTest, WriteErrorOnStandardOutputIsAFailure) {
  for (const char *option : {"--dry-run", "--help"}) {
    const Ran ran = RunCli({option, Tree()}, false, "/dev/full");
    EXPECT_EQ(1, ran.status) << option;
    EXPECT_NE(std::string::npos, ran.err.find("write error: No space left on device")) << ran.err;
  }
}

TEST_F(CliTest, NamesAreQuotedAsLsQuotesThemOnATerminalAndRawInAPipeOrWithNull) {
  const stdfs::path odd = scratch_.file("new\nline", "x\ny\n");
  scratch_.file("it's", "x\ny\n");
  scratch_.file("a b$", "x\ny\n");
  scratch_.file("bad\xff", "x\ny\n");
  scratch_.file("line\xe2\x80\xa8sep", "x\ny\n"); // U+2028, which ends a line for some
  const std::string tree = Tree();
  How terminal;
  terminal.outOnTerminal = true;
  terminal.cwd = tree.c_str();
  const Ran shown = RunCli({"-nq", "."}, terminal);
  std::istringstream lines(shown.out);
  std::set<std::string> listed;
  for (std::string line; std::getline(lines, line) && line != "finished!";)
    listed.insert(line);
  EXPECT_EQ(
      (std::set<std::string>{"./a.txt", "./sub/b.txt", "'./new'$'\\n''line'", "\"./it's\"",
                             "'./a b$'", "'./bad'$'\\377'", "'./line'$'\\342\\200\\250''sep'"}),
      listed);

  const Ran piped = RunCli({"-nq", Tree()});
  EXPECT_NE(std::string::npos, piped.out.find("/tree/new\nline\n")) << piped.out;
  const Ran raw = RunCli({"-nq0", Tree()});
  EXPECT_NE(std::string::npos, raw.out.find(odd.string() + '\0')) << raw.out;
  EXPECT_EQ(7, std::count(raw.out.begin(), raw.out.end(), '\0'));
  EXPECT_EQ("finished!\n", raw.err);

  // The notice and messages quote wherever they go.
  ::chmod(odd.c_str(), 0444);
  const Ran failed = RunCli({"-q", Tree()});
  EXPECT_NE(std::string::npos, failed.out.find("/tree/new'$'\\n''line': read-only\n"))
      << failed.out;
  const Ran missing = RunCli({Tree() + "/it's gone"});
  EXPECT_NE(std::string::npos, missing.err.find("cannot access \"" + tree + "/it's gone\": "))
      << missing.err;
}

TEST_F(CliTest, ExcludedFoldersAreNotEnteredAndIncludeNarrowsFiles) {
  const stdfs::path object = scratch_.file(".git/objects/x", "1\n2\n");
  const stdfs::path text = scratch_.file("sub/keep.txt", "1\n2\n");
  const Ran ran = RunCli({"-q", "--exclude=.git", "--exclude", "sub/b*", Tree()});
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\n2\n", ReadBytes(object));
  EXPECT_EQ("only\n", ReadBytes(b_));
  EXPECT_EQ("1\r\n", ReadBytes(text));
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  RunCli({"-q", "--include=*.txt", "--exclude=a.*", Tree()});
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  EXPECT_EQ("1\n2\n", ReadBytes(object)) << "a file --include leaves out was shortened";
}

// The names a dry run lists, one a line, up to the notice.
std::set<std::string> Listed(const std::string &out) {
  std::istringstream lines(out);
  std::set<std::string> listed;
  for (std::string line; std::getline(lines, line) && line != "finished!";)
    listed.insert(line);
  return listed;
}

TEST_F(CliTest, PatternsFollowRsyncsRulesFromOptionsAndFiles) {
  for (const char *name : {"build/out.txt", "sub/build/out.txt", "notes/build", "keep/x.log",
                           "sub/deep/x.log", "sub/deep/er/x.log"})
    scratch_.file(name, "1\n2\n");
  const stdfs::path patterns = scratch_.root() / "patterns";
  WriteBytes(patterns, "# anchored, folders only\n; a comment too\n\n/build/\ndeep/*.log\r\n");
  const Ran excluded =
      RunCli({"-nq", "--exclude-from=" + patterns.string(), "--exclude=a.*", Tree()});
  EXPECT_EQ((std::set<std::string>{Tree() + "/sub/b.txt", Tree() + "/sub/build/out.txt",
                                   Tree() + "/notes/build", Tree() + "/keep/x.log",
                                   Tree() + "/sub/deep/er/x.log"}),
            Listed(excluded.out))
      << excluded.err;
  const Ran included = RunCli({"-nq", "--include=/sub/**", "--include=keep/*", Tree()});
  EXPECT_EQ((std::set<std::string>{Tree() + "/sub/b.txt", Tree() + "/sub/build/out.txt",
                                   Tree() + "/keep/x.log", Tree() + "/sub/deep/x.log",
                                   Tree() + "/sub/deep/er/x.log"}),
            Listed(included.out))
      << included.err;
  const Ran includedBeneath = RunCli({"-nq", "--include=deep/***", Tree()});
  EXPECT_EQ((std::set<std::string>{Tree() + "/sub/deep/x.log", Tree() + "/sub/deep/er/x.log"}),
            Listed(includedBeneath.out))
      << includedBeneath.err;
  // A list of files to include that came out empty includes none.
  const stdfs::path none = scratch_.root() / "none";
  WriteBytes(none, "# nothing\n");
  const Ran includedNone = RunCli({"-q", "--include-from=" + none.string(), Tree()});
  EXPECT_EQ(0, includedNone.status) << includedNone.err;
  const Ran malformed = RunCli({"--exclude-from=" + patterns.string(), "--exclude=[a", Tree()});
  EXPECT_EQ(2, malformed.status);
  EXPECT_EQ("tailsnip-cli: invalid pattern '[a': a '[' has no ']' (see tailsnip-cli --help)\n",
            malformed.err);
  ExpectUntouched();
}

TEST_F(CliTest, MaxDepthCountsLevelsBelowEachFolderAsFindDoes) {
  EXPECT_EQ(std::set<std::string>{a_.string()},
            Listed(RunCli({"-nq", "--max-depth=1", Tree()}).out));
  // Depth 0 is the operand itself: a folder's entries are not listed, a FILE is.
  EXPECT_EQ(std::set<std::string>{b_.string()},
            Listed(RunCli({"-nq", "--max-depth=0", Tree(), b_.string()}).out));
  ExpectUntouched();
}

TEST_F(CliTest, EachEntryIsShortenedOnceHoweverManyOperandsReachIt) {
  const std::string tree = Tree();
  How here;
  here.cwd = tree.c_str();
  const Ran ran = RunCli({"-v", "a.txt", ".", "sub/b.txt", "./a.txt", "sub", tree}, here);
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  // A FILE named without its folder is shown so; a folder is told of once.
  EXPECT_EQ(0u, ran.err.find("shortened a.txt\n")) << ran.err;
  EXPECT_EQ(ran.err.find(": a folder\n"), ran.err.rfind(": a folder\n")) << ran.err;
  EXPECT_NE(std::string::npos, ran.err.find("\nshortened 2, unchanged 1, failed 0; "
                                            "folders and other non-files left alone: 1; "))
      << ran.err;
}

TEST_F(CliTest, OperandsFromAListEndedByNulsWithEmptyAndMissingNamesFailingAlone) {
  const stdfs::path list = scratch_.root() / "list";
  WriteBytes(list, a_.string() + '\0' + '\0' + Tree() + "/gone" + '\0' + b_.string());
  How how;
  how.inFile = list.c_str();
  const Ran ran = RunCli({"-q", "--files0-from=-"}, how);
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ("finished!\n\n2 entries could not be shortened:\n"
            "'': could not be read: No such file or directory\n" +
                Tree() + "/gone: could not be read: No such file or directory\n",
            ran.out);
  EXPECT_EQ("tailsnip-cli: -:2: invalid zero-length file name\n"
            "tailsnip-cli: cannot access '" +
                Tree() + "/gone': No such file or directory\n",
            ran.err);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
}

TEST_F(CliTest, StandardInputNamedForPatternsAndForOperandsIsAUsageError) {
  const std::string list = scratch_.file("../list", a_.string() + '\0').string();
  How how;
  how.inFile = list.c_str();
  const Ran ran = RunCli({"--exclude-from=-", "--files0-from=-"}, how);
  EXPECT_EQ(2, ran.status);
  EXPECT_EQ("tailsnip-cli: standard input is named twice ('-') (see tailsnip-cli --help)\n",
            ran.err);
  ExpectUntouched();
}

TEST_F(CliTest, BusyFolderIsAnErrorAndTheOtherOperandsStillRun) {
  const stdfs::path other = scratch_.file("../other/c.txt", "1\n2\n");
  // Held as a run working in the folder holds it.
  const int held = ::open(Tree().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  const Ran alone = RunCli({Tree()});
  const Ran dryRun = RunCli({"--dry-run", Tree()});
  const Ran both = RunCli({"-q", Tree(), other.parent_path().string()});
  ::close(held);
  const std::string busy = "tailsnip-cli: another run is working in '" + Tree() +
                           "' (or in a folder inside it); nothing was changed\n";
  EXPECT_EQ(2, alone.status);
  EXPECT_EQ("", alone.out);
  EXPECT_EQ(busy, alone.err);
  EXPECT_EQ(2, dryRun.status);
  EXPECT_EQ("", dryRun.out);
  EXPECT_EQ(busy, dryRun.err);
  EXPECT_EQ(2, both.status);
  EXPECT_EQ("finished!\n\n1 operand was left as it was:\n" + Tree() + "\n", both.out);
  EXPECT_EQ(busy, both.err);
  EXPECT_EQ("1\r\n", ReadBytes(other));
  ExpectUntouched();
}

TEST_F(CliTest, RunsFolderMovedIntoAnotherKeepsTheRunOverThatOneOut) {
  const stdfs::path moved = scratch_.tree() / "sub";
  const stdfs::path before = scratch_.root() / "elsewhere";
  stdfs::rename(moved, before);
  // Held as a run over it holds it, paused there; then moved back in.
  const int held = ::open(before.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  stdfs::rename(before, moved);
  const Ran ran = RunCli({Tree()});
  ::close(held);
  EXPECT_EQ(2, ran.status);
  EXPECT_EQ("", ran.out);
  EXPECT_EQ("tailsnip-cli: another run is working in '" + moved.string() +
                "' (or in a folder inside it); nothing was changed\n",
            ran.err);
  ExpectUntouched();
}

TEST_F(CliTest, ProgressLineNeverWrapsOnANarrowTerminal) {
  How told;
  told.errOnTerminal = true;
  told.columns = 12;
  How untold = told; // a terminal that tells no width, where COLUMNS does
  untold.columns = 0;
  untold.columnsVariable = "12";
  for (const How &narrow : {told, untold}) {
    const Ran ran = RunCli({"--progress", Tree()}, narrow);
    EXPECT_EQ(0, ran.status);
    std::size_t drawn = 0;
    std::istringstream segments(ran.err);
    for (std::string segment; std::getline(segments, segment, '\r');) {
      if (segment.rfind("\033[K", 0) != 0 || segment.find(" entries") == std::string::npos)
        continue; // not a drawn line
      EXPECT_GE(11u, segment.size() - 3) << segment;
      ++drawn;
    }
    EXPECT_LT(0u, drawn) << ran.err;
  }
}

TEST_F(CliTest, TreeDeeperThanTheOpenFilesAllowedAtStartIsShortenedWhole) {
  // Every folder down to the one worked in is held open.
  stdfs::path deep = scratch_.tree();
  for (int level = 0; level < 150; ++level)
    deep /= "d";
  stdfs::create_directories(deep);
  WriteBytes(deep / "f", "1\n2\n");
  struct rlimit hard;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &hard));
  if (hard.rlim_max != RLIM_INFINITY && hard.rlim_max < 256)
    GTEST_SKIP() << "the hard limit on open files is " << hard.rlim_max;
  Ran ran;
  {
    const testing::OpenFileLimit few(64); // the program starts with it
    ASSERT_TRUE(few.lowered());
    ran = RunCli({"--quiet", Tree()});
  }
  EXPECT_EQ(0, ran.status) << ran.out << ran.err;
  EXPECT_EQ("1\r\n", ReadBytes(deep / "f"));
}

TEST_F(CliTest, OneFileSystemDoesNotEnterAnotherVolume) {
  stdfs::create_directories(scratch_.tree() / "mounted");
  testing::TmpfsVolume volume(scratch_.tree() / "mounted", 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  const stdfs::path beyond = scratch_.file("mounted/x", "1\n2\n");
  EXPECT_EQ(0, RunCli({"-qx", Tree()}).status);
  EXPECT_EQ("1\n2\n", ReadBytes(beyond));
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ(0, RunCli({"-q", Tree()}).status);
  EXPECT_EQ("1\r\n", ReadBytes(beyond));
}

// An attribute flag (FS_IMMUTABLE_FL, FS_APPEND_FL) set on a file or folder
// for as long as this lives.
class AttributeFlag {
public:
  AttributeFlag(const stdfs::path &path, int flag)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    int flags = 0;
    set_ = ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags |= flag, ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0);
    cleared_ = flags & ~flag;
  }
  ~AttributeFlag() {
    if (set_)
      ::ioctl(fd_, FS_IOC_SETFLAGS, &cleared_);
    ::close(fd_);
  }
  bool set() const { return set_; }

private:
  int fd_;
  int cleared_ = 0;
  bool set_ = false;
};

// Flags its owner set (not to be dumped, no access times, direct access
// where the file system takes it) say how the file is to be kept: its
// shortened copy keeps them.
TEST_F(CliTest, ShortenedCopyKeepsTheFlagsTheOwnerSet) {
  constexpr int kFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_DAX_FL;
  const auto flagsOf = [this](int set) {
    const int fd = ::open(a_.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && set != 0 &&
        (flags |= set, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0))
      flags = 0;
    ::close(fd); // an open file would be kept as in use
    return flags & kFlags;
  };
  if (flagsOf(FS_NODUMP_FL | FS_NOATIME_FL) == 0)
    GTEST_SKIP() << "this file system takes no flags";
  flagsOf(FS_DAX_FL);
  const int set = flagsOf(0);
  const Ran ran = RunCli({"-q", a_.string()});
  EXPECT_EQ(0, ran.status) << ran.out;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ(set, flagsOf(0));
}

// `folder` mounted over itself read-only (the same device beneath) for as
// long as this lives.
class ReadOnlyBind {
public:
  explicit ReadOnlyBind(const stdfs::path &folder) : folder_(folder) {
    mounted_ = ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
    readOnly_ = mounted_ && ::mount(nullptr, folder.c_str(), nullptr,
                                    MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }
  ~ReadOnlyBind() {
    if (mounted_)
      ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool readOnly() const { return readOnly_; }

private:
  stdfs::path folder_;
  bool mounted_ = false;
  bool readOnly_ = false;
};

TEST_F(CliTest, FileMountedOverAnEntryIsKeptAndTheDryRunSaysSo) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "mounts need root";
  const stdfs::path outside = scratch_.file("../outside", "1\n2\n");
  const stdfs::path entry = scratch_.file("mountedOver", "3\n4\n");
  ASSERT_EQ(0, ::mount(outside.c_str(), entry.c_str(), nullptr, MS_BIND, nullptr));
  const Ran dryRun = RunCli({"--dry-run", entry.string()});
  const Ran ran = RunCli({entry.string()});
  ::umount2(entry.c_str(), MNT_DETACH);
  const std::string kept = "finished!\n\n1 entry could not be shortened:\n" + entry.string() +
                           ": in use: Device or resource busy\n";
  EXPECT_EQ(kept, dryRun.out);
  EXPECT_EQ(kept, ran.out);
  EXPECT_EQ("1\n2\n", ReadBytes(outside));
  EXPECT_EQ("3\n4\n", ReadBytes(entry));
}

// An append-only folder lets a copy be made but never renamed or removed.
TEST_F(CliTest, DryRunNamesWhatTheRunCannotChangeAndTheRunLeavesNoCopyThere) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "read-only mounts and immutable folders need root";
  const std::string tree = Tree();
  for (const char *name : {"mounted/f", "immutable/f", "appendOnly/f", "appendOnlyFile"})
    scratch_.file(name, "1\n2\n");
  const ReadOnlyBind mounted(tree + "/mounted");
  const AttributeFlag immutable(tree + "/immutable", FS_IMMUTABLE_FL);
  const AttributeFlag appendOnly(tree + "/appendOnly", FS_APPEND_FL);
  const AttributeFlag appendOnlyFile(tree + "/appendOnlyFile", FS_APPEND_FL);
  if (!mounted.readOnly() || !immutable.set() || !appendOnly.set() || !appendOnlyFile.set())
    GTEST_SKIP() << "this file system takes no immutable or append-only flags";
  const std::set<std::string> failed = {
      tree + "/mounted/f: its folder cannot be written: Read-only file system",
      tree + "/immutable/f: its folder is immutable or append-only: Operation not permitted",
      tree + "/appendOnly/f: its folder is immutable or append-only: Operation not permitted",
      tree + "/appendOnlyFile: immutable or append-only: Operation not permitted"};
  const auto lines = [](const std::string &text) {
    std::set<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      all.insert(line);
    return all;
  };
  const std::set<std::string> shortened = {a_.string(), b_.string()};
  std::set<std::string> told = failed;
  told.insert({"finished!", "", "4 entries could not be shortened:"});

  const Ran dryRun = RunCli({"--dry-run", "--quiet", tree});
  EXPECT_EQ(1, dryRun.status);
  std::set<std::string> listedAndTold = told;
  listedAndTold.insert(shortened.begin(), shortened.end());
  EXPECT_EQ(listedAndTold, lines(dryRun.out));
  // Nor could the file be cut in place there.
  const Ran cutDryRun = RunCli({"--dry-run", "--quiet", "--keep-line-ends", tree + "/mounted"});
  EXPECT_EQ(1, cutDryRun.status);
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + tree +
                "/mounted/f: its folder cannot be written: Read-only file system\n",
            cutDryRun.out);

  const Ran ran = RunCli({"--quiet", tree});
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ(told, lines(ran.out));
  for (const auto &entry : stdfs::recursive_directory_iterator(tree))
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tailsnip-"))
        << "copy left: " << entry.path();
  for (const char *name : {"mounted/f", "immutable/f", "appendOnly/f", "appendOnlyFile"})
    EXPECT_EQ("1\n2\n", ReadBytes(tree + "/" + name)) << name;
}

TEST_F(CliTest, VerboseNamesEveryOutcomeAsItHappens) {
  for (int i = 0; i < 12; ++i)
    ::chmod(scratch_.file("locked" + std::to_string(i), "a\nb\n").c_str(), 0444);
  const Ran ran = RunCli({"-v", Tree()});
  EXPECT_EQ(1, ran.status);
  std::istringstream lines(ran.err);
  std::size_t failed = 0;
  for (std::string line; std::getline(lines, line);)
    failed += line.rfind("failed ", 0) == 0 && line.find(": read-only") != std::string::npos;
  EXPECT_EQ(12u, failed) << ran.err;
  EXPECT_NE(std::string::npos, ran.err.find("shortened " + a_.string() + "\n")) << ran.err;
  EXPECT_NE(std::string::npos, ran.err.find("left alone " + Tree() + "/sub: a folder\n"));
}

TEST_F(CliTest, VerboseDryRunShowsTheLinesEachFileWouldLoseQuotedAndCutToTheTerminal) {
  std::string twelve;
  for (int line = 1; line <= 12; ++line)
    twelve += std::to_string(line) + "\n";
  const stdfs::path many = scratch_.file("many", twelve);
  const stdfs::path tricky = scratch_.file(
      "tricky", "kept\nclear \033[2J screen\tx\r\n\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae"
                "\xe6\x96\x87\xe5\xad\x97\xe5\x88\x97\xe3\x81\xa7\xe3\x81\x99\n" +
                    // A character the cut would split is left out whole.
                    std::string(LostLines::kBytesShown - 1, 'y') + "\xe6\x97\xa5" +
                    std::string(100, 'y') + "\n");
  const std::vector<std::string> args = {"-nv", "--lines=12", many.string(), tricky.string()};
  const Ran piped = RunCli(args);
  EXPECT_EQ(0, piped.status) << piped.err;
  const std::string whole = "would shorten " + many.string() +
                            "\n  1\n  2\n  3\n  4\n  5\n  6\n  7\n  8\n  9\n  10\n"
                            "  ... and 2 more lines\n"
                            "would shorten " +
                            tricky.string() +
                            "\n  kept\n"
                            "  'clear '$'\\033''[2J screen'$'\\t''x'\n"
                            "  \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe6\x96\x87"
                            "\xe5\xad\x97\xe5\x88\x97\xe3\x81\xa7\xe3\x81\x99\n  " +
                            std::string(LostLines::kBytesShown - 1, 'y') + "...\n";
  EXPECT_EQ(whole, piped.err.substr(0, whole.size()));
  EXPECT_EQ(twelve, ReadBytes(many));

  How terminal;
  terminal.errOnTerminal = true;
  terminal.columns = 20;
  const Ran cut = RunCli(args, terminal);
  EXPECT_EQ(0, cut.status) << cut.err;
  EXPECT_EQ(std::string::npos, cut.err.find('\033')) << "an escape sequence reached the terminal";
  // Wide characters take two columns each.
  for (const std::string line : {"  'clear '$'\\033...",
                                 "  \xe6\x97\xa5\xe6\x9c\xac"
                                 "\xe8\xaa\x9e\xe3\x81\xae\xe6\x96\x87"
                                 "\xe5\xad\x97\xe5\x88\x97...",
                                 "  yyyyyyyyyyyyyy...", "  ... and 2 more..."})
    EXPECT_NE(std::string::npos, cut.err.find(line + "\r\n")) << line << " in " << cut.err;
  terminal.columns = 1;
  const Ran narrowest = RunCli(args, terminal);
  EXPECT_EQ(std::string::npos, narrowest.err.find("yy")) << "a line was not cut";
}

TEST_F(CliTest, ForcedProgressOnAPipeIsPlainLines) {
  const Ran ran = RunCli({"--progress", Tree()});
  EXPECT_EQ(0u, ran.err.find("1/4 entries, ")) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find_first_of("\r\033")) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find("entries/s")) << "a rate from one entry: " << ran.err;
}

TEST_F(CliTest, KeepLineEndsRemovesTheLastLineAloneSoAScriptStillRuns) {
  const stdfs::path script = scratch_.file("run.sh", "#!/bin/sh\necho kept\nexit 3\n");
  stdfs::permissions(script, stdfs::perms::owner_exec, stdfs::perm_options::add);
  const stdfs::path unended = scratch_.file("unended", "a\r\nb\nlast");
  const Ran ran = RunCli({"-k", Tree()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("1\n2\n", ReadBytes(a_));
  EXPECT_EQ("a\r\nb\n", ReadBytes(unended));
  EXPECT_EQ("#!/bin/sh\necho kept\n", ReadBytes(script));
  std::FILE *const output = ::popen(script.c_str(), "r");
  ASSERT_NE(nullptr, output);
  char said[64] = {};
  EXPECT_EQ(5u, std::fread(said, 1, sizeof said, output));
  EXPECT_EQ(0, ::pclose(output));
  EXPECT_STREQ("kept\n", said);
}

// What a file keeps of itself besides its bytes.
struct Kept {
  ino_t inode = 0;
  uid_t owner = 0;
  mode_t mode = 0;
  std::string attributes; // getfacl's listing, and the user attribute
  bool operator==(const Kept &other) const {
    return inode == other.inode && owner == other.owner && mode == other.mode &&
           attributes == other.attributes;
  }
};

Kept KeptOf(const stdfs::path &path) {
  Kept kept;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) {
    kept.inode = status.st_ino;
    kept.owner = status.st_uid;
    kept.mode = status.st_mode;
  }
  std::FILE *const acl = ::popen(("getfacl -c " + path.string() + " 2>&1").c_str(), "r");
  for (char chunk[256]; acl && std::fgets(chunk, sizeof chunk, acl);)
    kept.attributes += chunk;
  if (acl)
    ::pclose(acl);
  char value[64];
  const ssize_t size = ::getxattr(path.c_str(), "user.origin", value, sizeof value);
  kept.attributes += std::string(value, size > 0 ? static_cast<std::size_t>(size) : 0);
  return kept;
}

// Where the shortened file is the file's start (line ends kept, or CR LF
// throughout already), the file is cut in place: it keeps its inode, owner,
// access list and attributes, and needs no room on the disk for a copy.
TEST_F(CliTest, FileCutInPlaceKeepsItselfAndWorksOnAFullDisk) {
  const stdfs::path folder = scratch_.tree() / "full";
  stdfs::create_directory(folder);
  TmpfsVolume volume(folder, 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  std::string lines;
  while (lines.size() < (400 << 10))
    lines += "line " + std::to_string(lines.size()) + "\n";
  const stdfs::path lf = scratch_.file("full/lf", lines);
  std::string crlfLines = lines;
  for (std::size_t at = 0; (at = crlfLines.find('\n', at)) != std::string::npos; at += 2)
    crlfLines.insert(at, 1, '\r');
  const stdfs::path crlf = scratch_.file("full/crlf", crlfLines.substr(0, 500 << 10));
  for (const stdfs::path &path : {lf, crlf}) {
    ASSERT_EQ(0, ::chown(path.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    if (::setxattr(path.c_str(), "user.origin", "camera", 6, 0) != 0 ||
        std::system(("setfacl -m u:65534:r " + path.string()).c_str()) != 0)
      GTEST_SKIP() << "no user attributes or access lists on tmpfs here";
  }
  {
    std::ofstream filler(folder / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()))
      ;
  }
  const Kept lfBefore = KeptOf(lf), crlfBefore = KeptOf(crlf);

  const Ran copied = RunCli({lf.string()});
  EXPECT_EQ(1, copied.status) << "the disk was not full: " << copied.out;
  EXPECT_NE(std::string::npos, copied.out.find("No space left on device")) << copied.out;
  EXPECT_TRUE(lines == ReadBytes(lf)) << "a failed copy changed the file";

  const Ran kept = RunCli({"-k", lf.string()});
  EXPECT_EQ(0, kept.status) << kept.out << kept.err;
  EXPECT_TRUE(lines.substr(0, lines.rfind('\n', lines.size() - 2) + 1) == ReadBytes(lf));
  EXPECT_TRUE(lfBefore == KeptOf(lf)) << "the file was replaced, or lost what it had";
  const Ran cut = RunCli({crlf.string()});
  EXPECT_EQ(0, cut.status) << cut.out << cut.err;
  EXPECT_TRUE(reference::Shortened(crlfLines.substr(0, 500 << 10)) == ReadBytes(crlf));
  EXPECT_TRUE(crlfBefore == KeptOf(crlf)) << "the file was replaced, or lost what it had";
}

// A dry run changes nothing a watcher could see: no file is opened for
// writing, not even those the real run would cut in place.
TEST_F(CliTest, DryRunOpensNoFileForWriting) {
  scratch_.file("lf", "a\nb\n");
  scratch_.file("crlf", "a\r\nb\r\n");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, watch);
  ASSERT_LE(0, ::inotify_add_watch(watch, Tree().c_str(),
                                   IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_MOVED_TO));
  for (const char *mode : {"-k", "--lines=1"})
    EXPECT_EQ(0, RunCli({"--dry-run", mode, Tree()}).status);
  char events[4096];
  EXPECT_EQ(-1, ::read(watch, events, sizeof events)) << "a dry run wrote to or changed a file";
  ::close(watch);
}

// A folder the user may not write takes no copy, but a file of theirs in it
// may still be cut in place; a dry run lists what the real run shortens.
TEST_F(CliTest, DryRunListsTheFilesACutShortensWhereNoCopyCouldBeMade) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path crlf = scratch_.file("closed/crlf", "a\r\nb\r\n");
  const stdfs::path lf = scratch_.file("closed/lf", "a\nb\n");
  ASSERT_EQ(0, ::chown(crlf.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chown(lf.c_str(), 65534, 65534));
  How how = AsNobody();
  const std::string folder = (scratch_.tree() / "closed").string();
  const Ran dry = RunCli({"--dry-run", folder}, how);
  EXPECT_EQ(crlf.string() + "\n", dry.out.substr(0, dry.out.find("finished!"))) << dry.out;
  const Ran real = RunCli({folder}, how);
  EXPECT_EQ(1, real.status) << real.err;
  EXPECT_EQ("a\r\n", ReadBytes(crlf));
  EXPECT_EQ("a\nb\n", ReadBytes(lf));
  EXPECT_NE(std::string::npos, real.out.find(lf.string() + ": its folder cannot be written"))
      << real.out;
}

// A copy of a file of the user's, in a group they are not in, could not
// keep its group; a cut in place keeps it.
TEST_F(CliTest, FileInAnotherGroupIsCutInPlaceThoughACopyCouldNotKeepItsGroup) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("theirs/f", "a\nb\n");
  ASSERT_EQ(0, ::chown(file.parent_path().c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chown(file.c_str(), 65534, 0));
  How how = AsNobody();
  const Ran copied = RunCli({file.parent_path().string()}, how);
  EXPECT_EQ(1, copied.status) << copied.err;
  EXPECT_NE(std::string::npos, copied.out.find(file.string() + ": its owner or group"))
      << copied.out;
  EXPECT_EQ("a\nb\n", ReadBytes(file));
  const Ran cut = RunCli({"-k", file.parent_path().string()}, how);
  EXPECT_EQ(0, cut.status) << cut.out;
  EXPECT_EQ("a\n", ReadBytes(file));
}

// A folder the user may enter but not read cannot be held: a FILE named in
// it is kept, and the notice says why.
TEST_F(CliTest, FileInAFolderTheUserCannotReadIsKeptAndTheReasonIsThat) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("dropbox/mine", "a\nb\n");
  ASSERT_EQ(0, ::chown(file.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chmod(file.parent_path().c_str(), 0733));
  How how = AsNobody();
  const Ran ran = RunCli({"-q", file.string()}, how);
  EXPECT_EQ(1, ran.status) << ran.err;
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + file.string() +
                ": folder could not be searched: Permission denied\n",
            ran.out);
  EXPECT_EQ("a\nb\n", ReadBytes(file));
}

// Another user's run over a folder this user may pass through but not read
// is seen all the same: nothing beneath it is changed.
TEST_F(CliTest, RunOverAFolderThisUserCannotReadKeepsThisRunOut) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path passage = scratch_.root() / "passage";
  const stdfs::path file = passage / "mine" / "notes";
  stdfs::create_directories(file.parent_path());
  WriteBytes(file, "a\nb\n");
  ASSERT_EQ(0, ::chown(file.parent_path().c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chown(file.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chmod(passage.c_str(), 0711));
  // Held as a run working in the folder holds it.
  const int held = ::open(passage.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  How how = AsNobody();
  const Ran ran = RunCli({"-q", file.parent_path().string()}, how);
  ::close(held);
  EXPECT_EQ(2, ran.status) << ran.err;
  EXPECT_EQ("tailsnip-cli: another run is working in '" + passage.string() +
                "' (or in a folder inside it); nothing was changed\n",
            ran.err);
  EXPECT_EQ("a\nb\n", ReadBytes(file));
}

// FILEs a user may reach, in folders beneath one the user may pass through
// but not read, are run apart: that folder cannot be held.
TEST_F(CliTest, FilesBeneathAFolderTheUserMayOnlyPassThroughAreShortened) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path passage = scratch_.root() / "passage";
  const std::vector<stdfs::path> files = {passage / "a" / "x", passage / "b" / "y"};
  for (const stdfs::path &file : files) {
    stdfs::create_directories(file.parent_path());
    WriteBytes(file, "1\n2\n");
    ASSERT_EQ(0, ::chown(file.parent_path().c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chown(file.c_str(), 65534, 65534));
  }
  ASSERT_EQ(0, ::chmod(passage.c_str(), 0711));
  const Ran ran = RunCli({"-q", files[0].string(), files[1].string()}, AsNobody());
  EXPECT_EQ(0, ran.status) << ran.out;
  for (const stdfs::path &file : files)
    EXPECT_EQ("1\r\n", ReadBytes(file)) << file;
}

TEST_F(CliTest, FolderTheUserCannotSearchIsToldOfAsFailedAndCountedOnce) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path shut = scratch_.root() / "shared" / "shut";
  stdfs::create_directories(shut);
  stdfs::permissions(shut.parent_path(), stdfs::perms::all);
  stdfs::permissions(shut, stdfs::perms::none);
  How how = AsNobody();
  const Ran ran = RunCli({"-v", shut.parent_path().string()}, how);
  EXPECT_EQ(1, ran.status) << ran.err;
  EXPECT_EQ(0u, ran.err.find("failed " + shut.string() + ": folder could not be searched\n" +
                             "shortened 0, unchanged 0, failed 1; "
                             "folders and other non-files left alone: 0;"))
      << ran.err;
}

TEST_F(CliTest, SummaryCountsTheBytesTheKernelCopied) {
  // Line ends that need no rewriting, in more than one chunk: the kernel
  // copies the chunks, or with -k the whole rest, where it can. A second
  // name keeps the file from being cut in place instead.
  std::string lines;
  for (int line = 0; line < 400000; ++line)
    lines += "x\r\n";
  for (const bool keepLineEnds : {false, true}) {
    const stdfs::path crlf = scratch_.file("crlf", lines);
    stdfs::remove(scratch_.root() / "crlf-link");
    stdfs::create_hard_link(crlf, scratch_.root() / "crlf-link");
    std::vector<std::string> args{crlf.string()};
    if (keepLineEnds)
      args.insert(args.begin(), "-k");
    const Ran ran = RunCli(args);
    EXPECT_EQ(0, ran.status) << ran.err;
    EXPECT_EQ(lines.size() - 3, stdfs::file_size(crlf));
    EXPECT_NE(std::string::npos, ran.err.find(", wrote 1.1 MiB in ")) << ran.err; // 1199997 B
  }
}

// `size` bytes of `path` from `offset` on.
std::string ReadPart(const stdfs::path &path, off_t offset, std::size_t size) {
  std::string bytes(size, '?');
  const int fd = ::open(path.c_str(), O_RDONLY);
  bytes.resize(
      static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(fd, &bytes[0], size, offset))));
  ::close(fd);
  return bytes;
}

TEST_F(CliTest, SparseFileOfGibibytesIsShortenedWithItsHoleKept) {
  constexpr off_t kHole = off_t{3} << 30;
  constexpr std::size_t kEdge = 64 << 10;
  for (const bool keepLineEnds : {false, true}) {
    const stdfs::path sparse = scratch_.file("sparse", "first\n");
    ASSERT_EQ(0, ::truncate(sparse.c_str(), kHole));
    { std::ofstream(sparse, std::ios::binary | std::ios::app) << "x\nlast\n"; }
    struct stat before, after;
    ASSERT_EQ(0, ::stat(sparse.c_str(), &before));
    if (before.st_blocks * 512 >= before.st_size)
      GTEST_SKIP() << "the file system under " << sparse << " keeps no holes";
    std::vector<std::string> args{sparse.string()};
    if (keepLineEnds)
      args.insert(args.begin(), "-k");
    const Ran ran = RunCli(args);
    EXPECT_EQ(0, ran.status) << ran.err;
    const std::string end = keepLineEnds ? "\n" : "\r\n";
    // The first line end may have grown by a byte, which moves the rest on.
    const off_t size = kHole + 2 * static_cast<off_t>(end.size());
    ASSERT_EQ(0, ::stat(sparse.c_str(), &after));
    EXPECT_EQ(size, after.st_size);
    EXPECT_LE(after.st_blocks * 512, before.st_blocks * 512 + 2 * off_t{kEdge}) << keepLineEnds;
    std::string head = "first" + end, tail = "x" + end;
    head.resize(kEdge, '\0');
    tail.insert(0, kEdge - tail.size(), '\0');
    EXPECT_TRUE(head == ReadPart(sparse, 0, kEdge)) << keepLineEnds;
    EXPECT_TRUE(tail == ReadPart(sparse, size - off_t{kEdge}, kEdge)) << keepLineEnds;
    // Nothing is stored between the two: the rest reads as zeros.
    const int fd = ::open(sparse.c_str(), O_RDONLY);
    EXPECT_LE(size - off_t{kEdge}, ::lseek(fd, kEdge, SEEK_DATA)) << keepLineEnds;
    ::close(fd);
  }
}

TEST_F(CliTest, SparseFileIsReadOnlyWhereItsDataIsStored) {
  // Its lines follow a hole: the kept part is CR LF throughout, which only
  // its stored bytes can tell.
  const stdfs::path sparse = scratch_.file("sparse", "");
  ASSERT_EQ(0, ::truncate(sparse.c_str(), off_t{1} << 30));
  { std::ofstream(sparse, std::ios::binary | std::ios::app) << "x\r\nlast\r\n"; }
  struct stat before;
  ASSERT_EQ(0, ::stat(sparse.c_str(), &before));
  if (before.st_blocks * 512 >= before.st_size)
    GTEST_SKIP() << "the file system under " << sparse << " keeps no holes";
  const Ran ran = RunCli({sparse.string()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ((off_t{1} << 30) + 3, static_cast<off_t>(stdfs::file_size(sparse)));
  EXPECT_EQ("x\r\n", ReadPart(sparse, (off_t{1} << 30), 16));
  // The window at its end, and the stored bytes kept.
  EXPECT_NE(std::string::npos, ran.err.find("; read 64.0 KiB, ")) << ran.err;
}

TEST_F(CliTest, LinesRemovesTheLastNAndTakesNothingButACount) {
  for (const char *count : {"0", "-1", "x", "2x", "", "18446744073709551616", "16E"}) {
    const Ran ran = RunCli({"--lines=" + std::string(count), Tree()});
    EXPECT_EQ(2, ran.status) << count;
    EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
  }
  EXPECT_EQ(2, RunCli({Tree(), "-l"}).status);
  ExpectUntouched();
  const stdfs::path c = scratch_.file("c", "1\n2\n3\n4\n5");
  EXPECT_EQ(0, RunCli({"-l", "2", Tree()}).status);
  EXPECT_EQ("1\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  EXPECT_EQ("1\r\n2\r\n3\r\n", ReadBytes(c));
  const Ran big = RunCli({"-k", "--lines=+1K", Tree()});
  EXPECT_EQ(0, big.status) << big.err;
  EXPECT_EQ("", ReadBytes(c));
}

// The runs a stop signal, or SIGKILL, cut short: what they leave, and how a
// later run finishes them.
// Copies a run left, anywhere beneath `folder`.
std::vector<std::string> CopiesLeft(const stdfs::path &folder) {
  std::vector<std::string> found;
  for (const auto &entry : stdfs::recursive_directory_iterator(folder))
    if (entry.path().filename().string().rfind(".tailsnip-", 0) == 0)
      found.push_back(entry.path().string());
  return found;
}

TEST_F(CliTest, SimpleBackupIsTheOriginalUnderASecondNameAndIsNeverShortened) {
  const std::string backup = a_.string() + "~";
  const stdfs::path named = scratch_.file("notes~", "mine\nlast\n");
  struct stat original;
  ASSERT_EQ(0, ::stat(a_.c_str(), &original));
  const Ran ran = RunCli({"-q", "--backup=simple", Tree()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  struct stat kept;
  ASSERT_EQ(0, ::stat(backup.c_str(), &kept));
  EXPECT_EQ(original.st_ino, kept.st_ino) << "copied rather than linked";
  EXPECT_EQ("1\n2\n3\n", ReadBytes(backup));
  EXPECT_EQ("only\n", ReadBytes(b_.string() + "~"));

  // The next run replaces the simple backup and again shortens none.
  const Ran again = RunCli({"-q", "--backup=simple", Tree()});
  EXPECT_EQ(0, again.status) << again.err;
  EXPECT_EQ("1\r\n", ReadBytes(a_));
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(backup));
  EXPECT_EQ("mine\nlast\n", ReadBytes(named));
  EXPECT_FALSE(stdfs::exists(backup + "~"));
  EXPECT_FALSE(stdfs::exists(named.string() + "~"));
  EXPECT_EQ(std::vector<std::string>{}, CopiesLeft(scratch_.tree()));
}

// Listed before its backup, a file's new backup is a second name of the file
// the run holds: reaching it must not cost that file its claim.
TEST_F(CliTest, ARunWithBackupsShortensFilesListedBeforeTheirBackups) {
  std::vector<stdfs::path> files;
  for (int i = 0; i < 16; ++i) {
    const std::string name = "f" + std::to_string(i);
    scratch_.file(name + "~", "old\n");
    files.push_back(scratch_.file(name, "a\nb\n"));
  }
  const Ran ran = RunCli({"-q", "--backup=simple", Tree()});
  EXPECT_EQ(0, ran.status) << ran.out << ran.err;
  for (const stdfs::path &file : files) {
    EXPECT_EQ("a\r\n", ReadBytes(file)) << file;
    EXPECT_EQ("a\nb\n", ReadBytes(file.string() + "~")) << file;
  }
}

TEST_F(CliTest, NumberedBackupsTakeTheNextFreeNumberAndExistingFollowsThem) {
  const std::string a = a_.string();
  stdfs::create_directory(a + ".~4~");
  const Ran numbered = RunCli({"-q", "--backup=t", a});
  EXPECT_EQ(0, numbered.status) << numbered.err;
  EXPECT_EQ("1\n2\n3\n", ReadBytes(a + ".~5~"));
  EXPECT_TRUE(stdfs::is_empty(a + ".~4~"));

  // -b alone: numbered where numbered backups are, simple elsewhere.
  const Ran existing = RunCli({"-q", "-b", Tree()});
  EXPECT_EQ(0, existing.status) << existing.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a + ".~6~"));
  EXPECT_EQ("1\n2\n3\n", ReadBytes(a + ".~5~"));
  EXPECT_EQ("only\n", ReadBytes(b_.string() + "~"));
  EXPECT_FALSE(stdfs::exists(a + "~"));
}

// A number past counting is still a backup's; no number lies above it, and
// none below it may pass for the newest.
TEST_F(CliTest, NumberedBackupPastCountingIsLeftAloneAndTakesNoNumberAfterIt) {
  const std::string past = a_.string() + ".~99999999999999999999~";
  const std::string last = b_.string() + ".~18446744073709551615~";
  WriteBytes(past, "old\nbackup\n");
  WriteBytes(last, "old\nbackup\n");
  const Ran ran = RunCli({"-q", "--backup=numbered", Tree()});
  EXPECT_EQ(1, ran.status);
  EXPECT_NE(std::string::npos, ran.out.find(a_.string() + ": its backup's name is taken\n"))
      << ran.out;
  EXPECT_NE(std::string::npos, ran.out.find(b_.string() + ": its backup's name is taken\n"))
      << ran.out;
  EXPECT_EQ("old\nbackup\n", ReadBytes(past));
  EXPECT_EQ("old\nbackup\n", ReadBytes(last));
  ExpectUntouched();
}

// In a shared folder, a file named as the backup but another user's is
// theirs: a simple backup does not replace it.
TEST_F(CliTest, SimpleBackupNeverReplacesAnotherUsersFile) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to give a file to another user";
  const std::string theirs = a_.string() + "~";
  WriteBytes(theirs, "not a backup\n");
  ASSERT_EQ(0, ::chown(theirs.c_str(), 65534, 65534));
  for (const char *dryOrNot : {"-n", "-q"}) {
    const Ran ran = RunCli({dryOrNot, "--backup=simple", a_.string()});
    EXPECT_EQ(1, ran.status) << dryOrNot;
    EXPECT_NE(std::string::npos, ran.out.find(a_.string() + ": its backup's name is taken\n"))
        << ran.out;
  }
  ExpectUntouched();
  EXPECT_EQ("not a backup\n", ReadBytes(theirs));
}

// A run stopped between a backup and the replacement leaves the backup a
// second name of the file; finishing it must not back the file up twice.
TEST_F(CliTest, ANumberedBackupThatIsTheFileItselfIsItsBackup) {
  const std::string a = a_.string();
  stdfs::create_hard_link(a_, a + ".~1~");
  const Ran ran = RunCli({"-q", "--backup=numbered", a});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a));
  EXPECT_EQ("1\n2\n3\n", ReadBytes(a + ".~1~"));
  EXPECT_FALSE(stdfs::exists(a + ".~2~"));
}

TEST_F(CliTest, BackupNeverTakesTheNameOfAFolderOrALink) {
  stdfs::create_directory(a_.string() + "~");
  stdfs::create_symlink(a_, b_.string() + "~");
  // The dry run meets what the real run meets.
  for (const char *dryOrNot : {"-n", "-q"}) {
    const Ran ran = RunCli({dryOrNot, "--backup=simple", Tree()});
    EXPECT_EQ(1, ran.status) << dryOrNot;
    EXPECT_NE(std::string::npos, ran.out.find(a_.string() + ": its backup's name is taken\n"))
        << ran.out;
    EXPECT_NE(std::string::npos, ran.out.find(b_.string() + ": its backup's name is taken\n"))
        << ran.out;
  }
  ExpectUntouched();
  EXPECT_TRUE(stdfs::is_empty(a_.string() + "~"));
  EXPECT_EQ(a_, stdfs::read_symlink(b_.string() + "~"));
  EXPECT_EQ(std::vector<std::string>{}, CopiesLeft(scratch_.tree()));
}

TEST_F(CliTest, BackupsFollowTheEnvironmentWhereOptionsSayNothing) {
  ::setenv("VERSION_CONTROL", "never", 1); // simple, in Emacs's word
  ::setenv("SIMPLE_BACKUP_SUFFIX", ".orig", 1);
  const Ran fromEnvironment = RunCli({"-q", "--backup=", a_.string()});
  const Ran suffixGiven = RunCli({"-q", "-S", ".bak", b_.string()});
  const stdfs::path c = scratch_.file("../c", "1\n2\n");
  ::setenv("SIMPLE_BACKUP_SUFFIX", "x/y", 1); // no suffix: "~" is taken, as cp takes it
  const Ran noSuffix = RunCli({"-q", "--backup=simple", c.string()});
  ::setenv("VERSION_CONTROL", "bogus", 1);
  const Ran invalid = RunCli({"-q", "-b", Tree()});
  ::unsetenv("VERSION_CONTROL");
  ::unsetenv("SIMPLE_BACKUP_SUFFIX");
  EXPECT_EQ(0, noSuffix.status) << noSuffix.err;
  EXPECT_EQ("1\n2\n", ReadBytes(c.string() + "~"));
  EXPECT_EQ(0, fromEnvironment.status) << fromEnvironment.err;
  EXPECT_EQ("1\n2\n3\n", ReadBytes(a_.string() + ".orig"));
  EXPECT_EQ(0, suffixGiven.status) << suffixGiven.err;
  EXPECT_EQ("only\n", ReadBytes(b_.string() + ".bak"));
  EXPECT_EQ(2, invalid.status);
  EXPECT_NE(std::string::npos, invalid.err.find("'bogus' in $VERSION_CONTROL")) << invalid.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_)) << "the invalid control changed a file";
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

  // The tree named again was reached: its --resume finishes it.
  const Ran stopped = Interrupt(SIGPIPE, {Tree(), other.parent_path().string(), Tree()});
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
  // Anew, it would be a run over every file there, listed or not.
  const stdfs::path unlisted = shared / "unlisted";
  WriteBytes(unlisted, "1\n2\n");
  const Ran restarted = RunCli({"-q", "--restart", shared.string()});
  EXPECT_EQ(2, restarted.status);
  EXPECT_NE(std::string::npos, restarted.err.find("--restart with those FILEs")) << restarted.err;
  EXPECT_EQ("1\n2\n", ReadBytes(unlisted));
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
  EXPECT_NE(npos, other.err.find("was started with --lines=2 --keep-line-ends --backup=none, not "
                                 "--lines=3 --backup=existing --suffix='~': "
                                 "--resume alone finishes it as it began"))
      << other.err;
  EXPECT_EQ(done, count("a\n"));

  const Ran resumed = RunCli({"--resume", Tree()});
  EXPECT_EQ(0, resumed.status) << resumed.err;
  EXPECT_EQ(kFiles, count("a\n"));
}

TEST_F(StoppedRunTest, ResumeKeepsTheStoppedRunsBackups) {
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {"--backup=numbered", Tree()}).status);
  const Ran other = RunCli({"--resume", "--backup=simple", Tree()});
  EXPECT_EQ(2, other.status);
  EXPECT_NE(npos, other.err.find("was started with --lines=1 --backup=numbered --suffix='~', not "
                                 "--lines=1 --backup=simple --suffix='~'"))
      << other.err;

  const Ran resumed = RunCli({"--resume", Tree()});
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

// As a run over a home folder meets ~/.local/state and what other runs left.
TEST_F(StoppedRunTest, RunOverTheJournalFolderLeavesJournalsAndCopiesAsTheyAre) {
  const stdfs::path home = scratch_.root() / "home";
  ::setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
  ASSERT_EQ(128 + SIGKILL, Interrupt(SIGKILL, {Tree()}).status);
  const stdfs::path journal = OnlyJournal(home / ".local/state/tailsnip");
  const std::string recorded = ReadBytes(journal);
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

TEST_F(StoppedRunTest, JournalWithoutTokensRemovesNoCopyAndSaysSo) {
  const Ran killed = Interrupt(SIGKILL, {Tree()});
  ASSERT_EQ(128 + SIGKILL, killed.status);
  const stdfs::path journal = OnlyJournal();
  std::string bytes = ReadBytes(journal);
  const std::size_t token = bytes.rfind(' ');
  WriteBytes(journal, bytes.replace(token, bytes.size() - token, "\n")); // as written before tokens
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
} // namespace tailsnip
