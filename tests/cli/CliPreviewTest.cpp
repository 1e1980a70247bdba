// Dry runs, which list what a run would shorten and change nothing, and the
// progress line on a terminal, a narrow one, and a pipe.
#include "CliRun.h"
#include "engine/Outcome.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <sys/inotify.h>
#include <unistd.h>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

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
  EXPECT_NE(std::string::npos, ran.err.find(", wrote nothing in ")) << ran.err;
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

// A wide emoji, U+1F680, `count` times.
std::string Rockets(int count) {
  std::string rockets;
  for (int i = 0; i < count; ++i)
    rockets += "\xf0\x9f\x9a\x80";
  return rockets;
}

TEST_F(CliTest, VerboseDryRunShowsTheLinesEachFileWouldLoseQuotedAndCutToTheTerminal) {
  std::string twelve;
  for (int line = 1; line <= 12; ++line)
    twelve += std::to_string(line) + "\n";
  const stdfs::path many = scratch_.file("many", twelve);
  const stdfs::path tricky = scratch_.file(
      "tricky", "kept\nclear \033[2J screen\tx\r\n\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae"
                "\xe6\x96\x87\xe5\xad\x97\xe5\x88\x97\xe3\x81\xa7\xe3\x81\x99\n" +
                    Rockets(15) + "\n" +
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
                            Rockets(15) + "\n  " + std::string(LostLines::kBytesShown - 1, 'y') +
                            "...\n";
  EXPECT_EQ(whole, piped.err.substr(0, whole.size()));
  EXPECT_EQ(twelve, ReadBytes(many));

  How terminal;
  terminal.errOnTerminal = true;
  terminal.columns = 20;
  const Ran cut = RunCli(args, terminal);
  EXPECT_EQ(0, cut.status) << cut.err;
  EXPECT_EQ(std::string::npos, cut.err.find('\033')) << "an escape sequence reached the terminal";
  // Wide characters take two columns each.
  for (const std::string &line : std::vector<std::string>{
           "  'clear '$'\\033...",
           "  \xe6\x97\xa5\xe6\x9c\xac"
           "\xe8\xaa\x9e\xe3\x81\xae\xe6\x96\x87"
           "\xe5\xad\x97\xe5\x88\x97...",
           "  " + Rockets(7) + "...", "  yyyyyyyyyyyyyy...", "  ... and 2 more..."})
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

} // namespace
} // namespace tailsnip::testing
