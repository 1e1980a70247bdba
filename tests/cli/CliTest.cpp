// tailsnip-cli as scripts and people use it: arguments, output streams,
// exit status, and the progress line on a terminal.
#include "../unit/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;
namespace stdfs = std::filesystem;

struct Ran {
  int status = -1;
  std::string out, err;
};

// Runs tailsnip-cli with `args`; standard error goes to a terminal when
// `errOnTerminal`, to a pipe otherwise. Standard output is a pipe, or the
// file `outFile` when given.
Ran RunCli(const std::vector<std::string> &args, bool errOnTerminal = false,
           const char *outFile = nullptr) {
  int outPipe[2], errPipe[2];
  EXPECT_EQ(0, ::pipe(outPipe));
  if (errOnTerminal) {
    EXPECT_EQ(0, ::openpty(&errPipe[0], &errPipe[1], nullptr, nullptr, nullptr));
  } else {
    EXPECT_EQ(0, ::pipe(errPipe));
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(outFile ? ::open(outFile, O_WRONLY) : outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    std::vector<char *> argv{const_cast<char *>(TAILSNIP_CLI_PATH)};
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Ran ran;
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
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

std::size_t Lines(const std::string &text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CliTest : public ::testing::Test {
protected:
  void SetUp() override {
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

  Scratch scratch_;
  stdfs::path a_, b_;
};

TEST_F(CliTest, RunPrintsTheNoticeAloneOnStandardOutput) {
  const Ran ran = RunCli({Tree()});
  EXPECT_EQ(0, ran.status);
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  EXPECT_EQ(0u, ran.err.find("shortened 2, unchanged 1, failed 0; folders and links left alone: 1; "
                             "read "))
      << ran.err;
  EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find('\r')) << "progress drawn on a pipe";
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
  const std::vector<std::vector<std::string>> usages = {
      {}, {""}, {Tree() + "/missing"}, {a_.string()}, {"--bogus", Tree()}, {Tree(), Tree()}};
  for (const auto &args : usages) {
    const Ran ran = RunCli(args);
    EXPECT_EQ(2, ran.status) << ran.err;
    EXPECT_EQ("", ran.out);
    EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
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

TEST_F(CliTest, ShortOptionsBundleAndOperandErrorsSayWhich) {
  const Ran bundled = RunCli({"-nq", Tree()});
  EXPECT_EQ(0, bundled.status);
  EXPECT_EQ("", bundled.err);
  EXPECT_EQ(3u, Lines(bundled.out)) << bundled.out; // two files and the notice
  const Ran missing = RunCli({"-n"});
  EXPECT_NE(std::string::npos, missing.err.find("missing FOLDER operand")) << missing.err;
  const Ran extra = RunCli({Tree(), "surplus"});
  EXPECT_NE(std::string::npos, extra.err.find("extra operand 'surplus'")) << extra.err;
  EXPECT_EQ(2, extra.status);
  ExpectUntouched();
}

TEST_F(CliTest, WriteErrorOnStandardOutputIsAFailure) {
  const Ran ran = RunCli({"--dry-run", Tree()}, false, "/dev/full");
  EXPECT_EQ(1, ran.status);
  EXPECT_NE(std::string::npos, ran.err.find("write error: No space left on device")) << ran.err;
}

TEST_F(CliTest, ControlCharactersInNamesAreQuotedButNotWithNull) {
  const stdfs::path odd = scratch_.file("new\nline", "x\ny\n");
  const Ran listed = RunCli({"-nq", Tree()});
  EXPECT_NE(std::string::npos, listed.out.find("/tree/new'$'\\n''line'\n")) << listed.out;
  EXPECT_EQ(4u, Lines(listed.out)) << listed.out;
  const Ran raw = RunCli({"-nq0", Tree()});
  EXPECT_NE(std::string::npos, raw.out.find(odd.string() + '\0')) << raw.out;
  EXPECT_EQ(3, std::count(raw.out.begin(), raw.out.end(), '\0'));
  EXPECT_EQ("finished!\n", raw.err);

  ::chmod(odd.c_str(), 0444);
  const Ran failed = RunCli({"-q", Tree()});
  EXPECT_NE(std::string::npos, failed.out.find("/tree/new'$'\\n''line': read-only\n"))
      << failed.out;
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

TEST_F(CliTest, ForcedProgressOnAPipeIsPlainLines) {
  const Ran ran = RunCli({"--progress", Tree()});
  EXPECT_EQ(0u, ran.err.find("1/4 entries, ")) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find_first_of("\r\033")) << ran.err;
  EXPECT_EQ(std::string::npos, ran.err.find("entries/s")) << "a rate from one entry: " << ran.err;
}

} // namespace
} // namespace tailsnip
