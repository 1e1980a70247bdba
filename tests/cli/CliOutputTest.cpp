// What tailsnip-cli writes where: the notice on standard output, messages and
// the summary on standard error, exit status, quoted names, --verbose.
#include "CliRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

TEST_F(CliTest, RunPrintsTheNoticeAloneOnStandardOutput) {
  const Ran ran = RunCli({Tree()});
  EXPECT_EQ(0, ran.status);
  EXPECT_EQ("finished!\n", ran.out);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("", ReadBytes(b_));
  EXPECT_EQ(0u, ran.err.find("shortened 2, unchanged 1, failed 0; left alone: 1; "
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
  // A usage error still ends with its own status.
  EXPECT_EQ(2, RunCli({"--no-such-option", Tree()}, closed).status);
}

TEST_F(CliTest, FailureGivesStatusOneAndIsNamed) {
  ::chmod(a_.c_str(), 0444);
  const Ran ran = RunCli({"--quiet", Tree()});
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + a_.string() + ": read-only\n",
            ran.out);
  EXPECT_EQ("", ran.err);
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
  scratch_.file("caf\xc3\xa9", "x\ny\n");
  scratch_.file("{a,b}", "x\ny\n");     // two names to bash, unquoted
  scratch_.file("u\xcd\xb8", "x\ny\n"); // U+0378, no character yet
  const std::string tree = Tree();
  How terminal;
  terminal.outOnTerminal = true;
  terminal.cwd = tree.c_str();
  const Ran shown = RunCli({"-nq", "."}, terminal);
  std::istringstream lines(shown.out);
  std::set<std::string> listed;
  for (std::string line; std::getline(lines, line) && line != "finished!";)
    listed.insert(line);
  EXPECT_EQ((std::set<std::string>{"./a.txt", "./sub/b.txt", "'./new'$'\\n''line'", "\"./it's\"",
                                   "'./a b$'", "'./bad'$'\\377'", "'./line'$'\\342\\200\\250''sep'",
                                   "./caf\xc3\xa9", "'./{a,b}'", "'./u'$'\\315\\270'"}),
            listed);
  terminal.locale = "C"; // whose terminal may show no character past ASCII
  EXPECT_NE(std::string::npos, RunCli({"-nq", "."}, terminal).out.find("'./caf'$'\\303\\251'"));

  const Ran piped = RunCli({"-nq", Tree()});
  EXPECT_NE(std::string::npos, piped.out.find("/tree/new\nline\n")) << piped.out;
  const Ran raw = RunCli({"-nq0", Tree()});
  EXPECT_NE(std::string::npos, raw.out.find(odd.string() + '\0')) << raw.out;
  EXPECT_EQ(10, std::count(raw.out.begin(), raw.out.end(), '\0'));
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

} // namespace
} // namespace tailsnip::testing
