// Which entries a run reaches: --exclude and --include patterns, --max-depth,
// --one-file-system, operands named twice, and lists read with --files0-from.
#include "CliRun.h"
#include "PosixVolume.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

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

// A folder named as an operand is chosen by its name, as rsync takes a
// source folder; named with a final '/', its entries are asked for.
TEST_F(CliTest, FolderOperandIsLeftOutByItsNameUnlessNamedWithAFinalSeparator) {
  const stdfs::path built = scratch_.file("build/y", "1\n2\n");
  const Ran ran = RunCli({"-q", "--exclude=build/", Tree() + "/build", Tree() + "/sub"});
  EXPECT_EQ("finished!\n", ran.out) << ran.err;
  EXPECT_EQ("1\n2\n", ReadBytes(built));
  EXPECT_EQ("", ReadBytes(b_));
  RunCli({"-q", "--exclude=build/", Tree() + "/build/"});
  EXPECT_EQ("1\r\n", ReadBytes(built));
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
  WriteBytes(patterns, "\xEF\xBB\xBF/build/\r# anchored, folders only, after Notepad's "
                       "byte-order mark\n; a comment too\n\ndeep/*.log\r\n");
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
  // A folder-only pattern chooses no file: refused, with where it was read.
  WriteBytes(patterns, "keep/*\nsub/\n");
  const Ran foldersOnly = RunCli({"--include-from=" + patterns.string(), Tree()});
  EXPECT_EQ(2, foldersOnly.status);
  EXPECT_EQ(0u, foldersOnly.err.find("tailsnip-cli: " + patterns.string() +
                                     ":2: --include chooses files; 'sub/' matches folders only"))
      << foldersOnly.err;
  ExpectUntouched();
}

TEST_F(CliTest, MaxDepthCountsLevelsBelowEachFolderAsFindDoes) {
  EXPECT_EQ(std::set<std::string>{a_.string()},
            Listed(RunCli({"-nq", "--max-depth=1", Tree()}).out));
  EXPECT_EQ(std::set<std::string>{a_.string()},
            Listed(RunCli({"-nq", "--max-depth= +1", Tree()}).out));
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
                                            "left alone: 1; "))
      << ran.err;
}

TEST_F(CliTest, OperandsFromAListEndedByNulsWithEmptyAndMissingNamesFailingAlone) {
  const stdfs::path list = scratch_.root() / "list";
  // The list is read 64 KiB at a time: the last name runs across that mark.
  const std::string named = a_.string() + '\0';
  const std::string rest = named + '\0' + Tree() + "/gone" + '\0';
  const std::size_t again = (65536 - rest.size() - 1) / named.size();
  std::string text;
  for (std::size_t i = 0; i < again; ++i)
    text += named;
  text += rest + b_.string();
  ASSERT_LT(text.size() - b_.string().size(), 65536u);
  ASSERT_GT(text.size(), 65536u);
  WriteBytes(list, text);
  How how;
  how.inFile = list.c_str();
  const Ran ran = RunCli({"-q", "--files0-from=-"}, how);
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ("finished!\n\n2 entries could not be shortened:\n"
            "'': could not be read: Invalid argument\n" +
                Tree() + "/gone: could not be read: No such file or directory\n",
            ran.out);
  EXPECT_EQ("tailsnip-cli: -:" + std::to_string(again + 2) +
                ": invalid zero-length file name\n"
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

TEST_F(CliTest, OneFileSystemDoesNotEnterAnotherVolume) {
  stdfs::create_directories(scratch_.tree() / "mounted");
  TmpfsVolume volume(scratch_.tree() / "mounted", 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  const stdfs::path beyond = scratch_.file("mounted/x", "1\n2\n");
  EXPECT_EQ(0, RunCli({"-qx", Tree()}).status);
  EXPECT_EQ("1\n2\n", ReadBytes(beyond));
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ(0, RunCli({"-q", Tree()}).status);
  EXPECT_EQ("1\r\n", ReadBytes(beyond));
}

} // namespace
} // namespace tailsnip::testing
