// How the tests of tailsnip-cli run it as a child process, and the fixture
// they start from: a scratch tree of two files and an empty one.
#ifndef TAILSNIP_TESTS_CLI_CLIRUN_H
#define TAILSNIP_TESTS_CLI_CLIRUN_H

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tailsnip::testing {

inline std::size_t Lines(const std::string &text) {
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
  const char *locale = "C.UTF-8";        // LC_ALL
};

// Makes `root` a folder the program can run in as its root folder.
void MakeRoot(const stdfs::path &root);

Ran RunCli(const std::vector<std::string> &args, const How &how);
Ran RunCli(const std::vector<std::string> &args, bool errOnTerminal = false,
           const char *outFile = nullptr, const char *cwd = nullptr, int stopSignal = 0,
           std::size_t stopAfterLines = 0);

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
    // Shared as /tmp is: each user may keep a folder of their own in it.
    stdfs::permissions(scratch_.root() / "state", stdfs::perms::all | stdfs::perms::sticky_bit);
    How how;
    how.asNobody = true;
    return how;
  }

  Scratch scratch_;
  stdfs::path a_, b_;
};

} // namespace tailsnip::testing

#endif
