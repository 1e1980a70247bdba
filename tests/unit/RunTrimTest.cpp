// Whole runs: what they change, and what the notice says about it.
#include "engine/run/RunTrim.h"

#include "engine/fs/FileSystem.h"
#include "engine/trim/CopyWriter.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tailsnip {
namespace {

using testing::Native;
using testing::ReadBytes;
using testing::Scratch;
namespace stdfs = std::filesystem;

class RunTrimTest : public ::testing::Test {
protected:
  RunReport Run(const stdfs::path &folder) {
    return RunTrim(Native(folder), [this](const std::string &text) { notices_.push_back(text); });
  }
  void MakeReadOnly(const stdfs::path &path) {
    stdfs::permissions(
        path, stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
        stdfs::perm_options::remove);
  }

  Scratch scratch_;
  std::vector<std::string> notices_;
};

TEST_F(RunTrimTest, EmptyFolderGivesTheNoticeAlone) {
  const RunReport report = Run(scratch_.tree());
  EXPECT_EQ(std::vector<std::string>{"finished!"}, notices_);
  EXPECT_EQ(0u, report.listed);
}

TEST_F(RunTrimTest, EmptyPathIsNoRunAtAll) {
  const RunReport report =
      RunTrim("", [this](const std::string &text) { notices_.push_back(text); });
  EXPECT_TRUE(notices_.empty()) << "notice shown: " << notices_.front();
  EXPECT_EQ(0u, report.listed);
}

TEST_F(RunTrimTest, TwoRunsRemoveTwoLines) {
  const stdfs::path three = scratch_.file("three", "1\n2\n3\n");
  const stdfs::path one = scratch_.file("sub/one", "only\n");
  const stdfs::path empty = scratch_.file("sub/deeper/empty", "");
  Run(scratch_.tree());
  const RunReport second = Run(scratch_.tree());
  EXPECT_EQ("1\r\n", ReadBytes(three));
  EXPECT_EQ("", ReadBytes(one));
  EXPECT_TRUE(stdfs::exists(one));
  EXPECT_TRUE(stdfs::exists(empty));
  EXPECT_EQ((std::vector<std::string>{"finished!", "finished!"}), notices_);
  EXPECT_EQ(1u, second.shortened);
  EXPECT_EQ(4u, second.unchanged); // two folders and two empty files
}

TEST_F(RunTrimTest, FailureIsNamedInTheNotice) {
  const stdfs::path locked = scratch_.file("locked", "a\nb\n");
  scratch_.file("fine", "a\nb\n");
  MakeReadOnly(locked);
  const RunReport report = Run(scratch_.tree());
  ASSERT_EQ(1u, notices_.size());
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + Native(locked) + ": read-only",
            notices_[0]);
  EXPECT_EQ(1u, report.shortened);
  ASSERT_EQ(1u, report.failures.size());
}

TEST_F(RunTrimTest, NoticeNamesTenFailuresAndCountsTheRest) {
  for (int i = 0; i < 12; ++i)
    MakeReadOnly(scratch_.file("locked" + std::to_string(i), "a\nb\n"));
  Run(scratch_.tree());
  ASSERT_EQ(1u, notices_.size());
  const std::string &notice = notices_[0];
  EXPECT_EQ(0u, notice.find("finished!\n\n12 entries could not be shortened:\n")) << notice;
  std::size_t named = 0;
  for (std::size_t at = 0; (at = notice.find(": read-only\n", at)) != std::string::npos; ++at)
    ++named;
  EXPECT_EQ(10u, named) << notice;
  EXPECT_NE(std::string::npos, notice.find("\n... and 2 more.")) << notice;
}

TEST_F(RunTrimTest, FilesCreatedDuringTheRunAreNotTrimmed) {
  // The current directory, where "temp.txt" comes and goes, is inside.
  const stdfs::path a = scratch_.file("a", "1\n2\n3\n");
  const stdfs::path b = scratch_.file("b", "1\n2\n3\n");
  const RunReport report = Run(scratch_.root());
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a));
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(b));
  EXPECT_FALSE(stdfs::exists(scratch_.cwd() / "temp.txt"));
  EXPECT_EQ(2u, report.shortened);
}

TEST_F(RunTrimTest, HardLinkedFileLosesOneLineUnderEachName) {
  // Also with both names' copies in flight at once, as the command-line tool has them.
  for (const std::size_t inFlight : {std::size_t{1}, std::size_t{256}}) {
    const stdfs::path first = scratch_.file("first", "1\n2\n3\n");
    stdfs::remove(scratch_.tree() / "second");
    stdfs::create_hard_link(first, scratch_.tree() / "second");
    RunOptions options;
    options.copiesInFlight = inFlight;
    const RunReport report = RunTrim(
        Native(scratch_.tree()), [this](const std::string &text) { notices_.push_back(text); },
        options);
    EXPECT_EQ("1\r\n2\r\n", ReadBytes(first)) << inFlight << " in flight";
    EXPECT_EQ("1\r\n2\r\n", ReadBytes(scratch_.tree() / "second")) << inFlight << " in flight";
    EXPECT_EQ("finished!", notices_.back()) << inFlight << " in flight";
  }
}

// A run that may shorten in place, with copies in flight as the
// command-line tool has them; what became of each file, by its name.
std::map<std::string, TrimResult> RunInPlace(const stdfs::path &tree, bool keepLineEnds) {
  RunOptions options;
  options.copiesInFlight = 256;
  options.shortenInPlace = true;
  options.trim.keepLineEnds = keepLineEnds;
  std::map<std::string, TrimResult> results;
  options.onEntry = [&](const FolderPath &path, const TrimResult &result) {
    results[stdfs::path(path).filename().string()] = result;
  };
  RunTrim(
      Native(tree), [](const std::string &) {}, options);
  return results;
}

fs::FileIdentity IdentityOf(const stdfs::path &path) {
  fs::FileInfo info;
  EXPECT_EQ(fs::FsError::None, fs::DescribeByName(Native(path), info)) << path;
  return info.identity;
}

TEST_F(RunTrimTest, InPlaceKeepsTheFileWhereTheRestIsItsStartAndCopiesElsewhere) {
  for (const bool keepLineEnds : {true, false}) {
    SCOPED_TRACE(keepLineEnds ? "line ends kept" : "CR LF line ends");
    const stdfs::path lf = scratch_.file("lf", "1\n2\n3\n");
    const stdfs::path crlf = scratch_.file("crlf", "1\r\n2\r\n3");
    const stdfs::path linked = scratch_.file("linked", "1\r\n2\r\n");
    stdfs::remove(scratch_.tree() / "link");
    stdfs::create_hard_link(linked, scratch_.tree() / "link");
    const fs::FileIdentity lfBefore = IdentityOf(lf), crlfBefore = IdentityOf(crlf);

    const std::map<std::string, TrimResult> results = RunInPlace(scratch_.tree(), keepLineEnds);
    EXPECT_EQ(keepLineEnds ? "1\n2\n" : "1\r\n2\r\n", ReadBytes(lf));
    EXPECT_EQ("1\r\n2\r\n", ReadBytes(crlf));
    EXPECT_EQ(keepLineEnds, IdentityOf(lf) == lfBefore) << "LF line ends rewritten in place";
    EXPECT_EQ(crlfBefore, IdentityOf(crlf));
    EXPECT_EQ(0u, results.at("crlf").bytesWritten);
    // Each name of a file with two loses a line of its own: the first is
    // copied, and the second, then the file's only name, may be cut.
    EXPECT_EQ("1\r\n", ReadBytes(linked));
    EXPECT_EQ("1\r\n", ReadBytes(scratch_.tree() / "link"));
    EXPECT_NE(IdentityOf(scratch_.tree() / "link"), IdentityOf(linked));
    for (const auto &[name, result] : results)
      EXPECT_EQ(Outcome::Shortened, result.outcome)
          << name << ": " << DescribeReason(result.reason);
  }
}

TEST_F(RunTrimTest, InPlaceWithLineEndsKeptReadsOnlyTheTailOfALargeFile) {
  constexpr std::uintmax_t kSize = std::uintmax_t{1} << 30; // sparse
  const stdfs::path big = scratch_.file("big", "");
  stdfs::resize_file(big, kSize - 9);
  {
    std::ofstream tail(big, std::ios::binary | std::ios::app);
    tail << "\nkept\nend";
  }
  const std::map<std::string, TrimResult> results = RunInPlace(scratch_.tree(), true);
  const TrimResult &result = results.at("big");
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ(kSize - 3, stdfs::file_size(big));
  EXPECT_EQ(TrimBuffer::kDefaultChunk / 16, result.bytesRead) << "only a window at its end is read";
  EXPECT_EQ(0u, result.bytesWritten);
}

TEST_F(RunTrimTest, OverlappingRunsChangeNothingTwice) {
  const stdfs::path file = scratch_.file("sub/f", "1\n2\n3\n");
  std::vector<std::string> busy;
  RunOptions options;
  options.onListed = [&](std::size_t) {
    for (const stdfs::path &folder : {scratch_.tree(), scratch_.tree() / "sub", scratch_.root()}) {
      const RunReport second =
          RunTrim(Native(folder), [&](const std::string &text) { busy.push_back(text); }, {});
      EXPECT_EQ(Native(folder == scratch_.root() ? folder : scratch_.tree()), second.busyFolder)
          << folder;
    }
  };
  RunTrim(
      Native(scratch_.tree()), [](const std::string &) {}, options);
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(file)) << "the file lost more than one line";
  ASSERT_EQ(3u, busy.size());
  EXPECT_EQ(FormatBusy(Native(scratch_.tree())), busy[0]);
}

#ifdef _WIN32
TEST_F(RunTrimTest, FolderBeingWorkedInCannotBeRenamed) {
  scratch_.file("sub/a", "1\n2\n");
  scratch_.file("sub/b", "1\n2\n");
  BOOL renamed = FALSE;
  RunOptions options;
  options.onEntry = [&](const FolderPath &path, const TrimResult &) {
    if (stdfs::path(path).parent_path().filename() == "sub" && !renamed)
      renamed = MoveFileW((scratch_.tree() / "sub").c_str(), (scratch_.root() / "moved").c_str());
  };
  RunTrim(
      Native(scratch_.tree()), [](const std::string &) {}, options);
  EXPECT_FALSE(renamed) << "a folder the run was working in was renamed";
  EXPECT_EQ("1\r\n", ReadBytes(scratch_.tree() / "sub" / "a"));
  EXPECT_EQ("1\r\n", ReadBytes(scratch_.tree() / "sub" / "b"));
}

TEST_F(RunTrimTest, FileTheRunHoldsCannotBeSavedOver) {
  // A version saved meanwhile is refused, rather than lost under the copy.
  scratch_.file("a", "1\n2\n");
  scratch_.file("b", "1\n2\n");
  const stdfs::path saved = scratch_.root() / "saved";
  testing::WriteBytes(saved, "saved\n");
  std::string other;
  BOOL replaced = FALSE;
  RunOptions options;
  options.copiesInFlight = 256; // the second's copy waits while the run holds it
  options.onEntry = [&](const FolderPath &path, const TrimResult &) {
    if (!other.empty())
      return;
    other = stdfs::path(path).filename() == "a" ? "b" : "a";
    replaced =
        MoveFileExW(saved.c_str(), (scratch_.tree() / other).c_str(), MOVEFILE_REPLACE_EXISTING);
  };
  RunTrim(
      Native(scratch_.tree()), [](const std::string &) {}, options);
  EXPECT_FALSE(replaced) << other << " was renamed over while the run held it";
  EXPECT_EQ("1\r\n", ReadBytes(scratch_.tree() / "a"));
  EXPECT_EQ("1\r\n", ReadBytes(scratch_.tree() / "b"));
  EXPECT_EQ("saved\n", ReadBytes(saved));
}

TEST_F(RunTrimTest, NamesTheSystemWouldReadOtherwiseAreEachShortenedOnce) {
  // NTFS holds names that Windows' own normalizing takes for devices (COM1,
  // nul, con.txt) or trims ("a.", "b "): each is a file of its own, and "a"
  // and "b" beside them lose one line only.
  const stdfs::path tree = Scratch::Unlimited(scratch_.tree());
  const std::wstring names[] = {L"COM1", L"nul", L"con.txt", L"a.",  L"a",
                                L"b ",   L"b",   L"x.\\f",   L"x\\f"};
  stdfs::create_directories(tree / L"x.");
  stdfs::create_directories(tree / L"x");
  for (const std::wstring &name : names)
    testing::WriteBytes(tree / name, "1\n2\n");
  RunTrim(
      Native(scratch_.tree()), [](const std::string &) {}, RunOptions());
  for (const std::wstring &name : names)
    EXPECT_EQ("1\r\n", ReadBytes(tree / name)) << stdfs::path(name).string();
}
#endif

} // namespace
} // namespace tailsnip
