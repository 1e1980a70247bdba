// Shortening single files on a real file system, on every platform.
#include "engine/trim/TrimFile.h"

#include "engine/fs/FileSystem.h"
#include "engine/trim/CopyName.h"
#include "engine/trim/CopyWriter.h"

#include "ReferenceModel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>

#ifdef _WIN32
#include <windows.h>

#include <sddl.h>
#endif

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;
namespace stdfs = std::filesystem;

std::vector<std::string> Listing(const stdfs::path &folder) {
  std::vector<std::string> names;
  for (const auto &entry : stdfs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class TrimFileTest : public ::testing::Test {
protected:
  TrimResult Trim(const stdfs::path &path) { return TrimFile(testing::Native(path), buffer_); }
  // Every call leaves the current directory as it found it: empty.
  void TearDown() override { EXPECT_EQ(std::vector<std::string>{}, Listing(scratch_.cwd())); }

  Scratch scratch_;
  TrimBuffer buffer_;
};

TEST_F(TrimFileTest, WorkedResults) {
  struct Row {
    std::string before, after;
  } rows[] = {
      {"a\nb\nc\n", "a\r\nb\r\n"},
      {"a\nb\nc", "a\r\nb\r\n"},
      {"a\nb\n\n", "a\r\nb\r\n"},
      {"one\n", ""},
      {"x", ""},
      {"\n\n", "\r\n"},
      {"a\r\nb\r\nc\r\n", "a\r\nb\r\n"},
      {"a\rb\nc", "a\rb\r\n"}, // a lone CR is content, not a line end
      {std::string("a\x1a"
                   "b\0\n\x1a\n",
                   7),
       std::string("a\x1a"
                   "b\0\r\n",
                   6)},
  };
  for (const Row &row : rows) {
    const stdfs::path path = scratch_.file("entry", row.before);
    const TrimResult result = Trim(path);
    EXPECT_EQ(Outcome::Shortened, result.outcome)
        << row.before << DescribeFailure(result.reason, result.systemError);
    EXPECT_EQ(row.after, ReadBytes(path)) << "from \"" << row.before << "\"";
    EXPECT_TRUE(stdfs::exists(path));
  }
  EXPECT_EQ(std::vector<std::string>{"entry"}, Listing(scratch_.tree()));
}

TEST_F(TrimFileTest, EntriesWithoutLinesAreLeftAlone) {
  const stdfs::path empty = scratch_.file("empty", "");
  const TrimResult result = Trim(empty);
  EXPECT_EQ(Outcome::LeftUnchanged, result.outcome);
  EXPECT_EQ(Reason::NoLines, result.reason);
  EXPECT_TRUE(stdfs::exists(empty));

  stdfs::create_directory(scratch_.tree() / "folder");
  EXPECT_EQ(Reason::IsFolder, Trim(scratch_.tree() / "folder").reason);
  EXPECT_TRUE(stdfs::is_directory(scratch_.tree() / "folder"));

  const TrimResult missing = Trim(scratch_.tree() / "missing");
  EXPECT_EQ(Outcome::Failed, missing.outcome);
  EXPECT_EQ(Reason::CannotRead, missing.reason);
  // What the system said travels with the failure, in the system's own terms.
#ifdef _WIN32
  EXPECT_EQ(std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()), missing.systemError);
#else
  EXPECT_EQ(std::error_code(ENOENT, std::generic_category()), missing.systemError);
  EXPECT_EQ("could not be read: No such file or directory",
            DescribeFailure(missing.reason, missing.systemError));
#endif
  EXPECT_FALSE(stdfs::exists(scratch_.tree() / "missing"));
}

TEST_F(TrimFileTest, ReadOnlyEntryStaysAsItWas) {
  const stdfs::path path = scratch_.file("locked", "a\nb\n");
  stdfs::permissions(
      path, stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
      stdfs::perm_options::remove);
  const TrimResult result = Trim(path);
  EXPECT_EQ(Outcome::Failed, result.outcome);
  EXPECT_EQ(Reason::ReadOnly, result.reason);
  EXPECT_EQ("a\nb\n", ReadBytes(path));
}

TEST_F(TrimFileTest, AnyChunkSizeAndSettingsGiveTheReferenceResult) {
  std::mt19937 random(1234);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', '\x1a'};
  for (int round = 0; round < 400; ++round) {
    std::string bytes(random() % 64, ' ');
    for (char &c : bytes)
      c = alphabet[random() % sizeof alphabet];
    const stdfs::path path = scratch_.file("entry", bytes);
    TrimBuffer small(1 + random() % 9);
    // Every other round the dialog's settings; otherwise any.
    const TrimSettings settings =
        round % 2 ? TrimSettings{1 + random() % 5, random() % 2 == 0, {}} : TrimSettings{};
    const TrimResult result = TrimFile(testing::Native(path), small, TrimMode::Replace, settings);
    EXPECT_EQ(bytes.empty() ? Outcome::LeftUnchanged : Outcome::Shortened, result.outcome);
    EXPECT_EQ(reference::Shortened(bytes, settings.lines, settings.keepLineEnds), ReadBytes(path))
        << "round " << round << ", chunk " << small.chunk() << ", " << settings.lines
        << " lines, line ends kept " << settings.keepLineEnds;
  }
}

TEST_F(TrimFileTest, PreviewShowsExactlyTheLinesTheRunRemoves) {
  const std::string shown(LostLines::kBytesShown, 'x');
  std::string many;
  for (int line = 0; line < 15; ++line)
    many += "line " + std::to_string(line) + "\n";
  const std::string files[] = {
      "a\r\nb\r\nc\r\n",
      "a\nb\nlast",
      "a\nb\n\n",
      "\r\r\n\r",
      "one\n",
      many,
      // Carriage returns just past what a line shows, ending it or not.
      "1\n" + shown + "\r\n" + shown + "y\r\n" + shown + "\r",
  };
  for (const std::string &before : files)
    for (const std::uint64_t lines : {1, 2, 12})
      for (const bool keepLineEnds : {false, true})
        for (const std::size_t chunk : {std::size_t{7}, TrimBuffer::kDefaultChunk}) {
          const stdfs::path path = scratch_.file("entry", before);
          const TrimSettings settings{lines, keepLineEnds, {}};
          TrimBuffer buffer(chunk);
          const TrimResult preview =
              TrimFile(testing::Native(path), buffer, TrimMode::Preview, settings);
          ASSERT_EQ(before, ReadBytes(path));
          ASSERT_EQ(Outcome::Shortened,
                    TrimFile(testing::Native(path), buffer, TrimMode::Replace, settings).outcome);
          // What the run removed: the lines past those its result holds.
          const auto all = reference::SplitLines(before);
          const std::size_t kept = reference::SplitLines(ReadBytes(path)).size();
          const auto removed = std::vector<reference::Line>(all.begin() + kept, all.end());
          const std::string where = "file " + ::testing::PrintToString(before) + ", " +
                                    std::to_string(lines) + " lines, line ends kept " +
                                    std::to_string(keepLineEnds) + ", chunk " +
                                    std::to_string(chunk);
          EXPECT_EQ(removed.size(), preview.lost.count) << where;
          ASSERT_EQ(std::min(removed.size(), LostLines::kLinesShown), preview.lost.shown.size())
              << where;
          for (std::size_t i = 0; i < preview.lost.shown.size(); ++i) {
            const std::string &content = removed[i].content;
            EXPECT_EQ(content.substr(0, LostLines::kBytesShown), preview.lost.shown[i].start)
                << where << ", line " << i;
            EXPECT_EQ(content.size() > LostLines::kBytesShown, preview.lost.shown[i].cut)
                << where << ", line " << i;
          }
        }
}

TEST_F(TrimFileTest, FileLargerThanTheBufferIsShortenedWhole) {
  std::string bytes;
  for (int line = 0; line < 5000; ++line)
    bytes += "line " + std::to_string(line) + (line % 3 ? "\n" : "\r\n");
  bytes += "a last line that ends without a line feed";
  const stdfs::path path = scratch_.file("big", bytes);
  TrimBuffer small(4096);
  const TrimResult result = TrimFile(testing::Native(path), small);
  EXPECT_EQ(Outcome::Shortened, result.outcome);
  const std::string expected = reference::Shortened(bytes);
  EXPECT_EQ(expected, ReadBytes(path));
  EXPECT_EQ(expected.size(), result.bytesWritten);
}

TEST_F(TrimFileTest, CrLfTextWithALateBareLineFeedIsCopiedExactly) {
  // Chunks already in CR LF may be copied by the kernel rather than written;
  // those after the first bare line feed, and a CR LF pair split between two
  // chunks, must come out the same as the rest.
  constexpr std::size_t kChunk = 4096;
  std::string bytes;
  auto linesUntil = [&](std::size_t size, const char *end) {
    for (int line = 0; bytes.size() < size; ++line)
      bytes += "line " + std::to_string(line) + end;
  };
  // A line ending in `end` whose last byte is byte `last` of the file.
  auto lineEndingAt = [&](std::size_t last, const std::string &end) {
    bytes += std::string(last + 1 - end.size() - bytes.size(), 'x') + end;
  };
  linesUntil(2 * kChunk, "\r\n");
  linesUntil(3 * kChunk - 64, "\n");
  lineEndingAt(3 * kChunk - 1, "\n");
  linesUntil(4 * kChunk - 64, "\r\n");
  lineEndingAt(4 * kChunk, "\r\n"); // split between two chunks
  linesUntil(5 * kChunk, "\r\n");
  bytes += "the last line";
  const stdfs::path path = scratch_.file("late", bytes);
  TrimBuffer small(kChunk);
  const TrimResult result = TrimFile(testing::Native(path), small);
  EXPECT_EQ(Outcome::Shortened, result.outcome);
  const std::string expected = reference::Shortened(bytes);
  EXPECT_EQ(expected, ReadBytes(path));
  EXPECT_EQ(expected.size(), result.bytesWritten);
}

TEST_F(TrimFileTest, TemporaryNameTakenByTheEntryItself) {
  // The current directory lies inside the folder being trimmed.
  const stdfs::path entry = scratch_.cwd() / "temp.txt";
  testing::WriteBytes(entry, "keep\nthis\ndrop\n");
  EXPECT_EQ(Outcome::Shortened, Trim(entry).outcome);
  EXPECT_EQ("keep\r\nthis\r\n", ReadBytes(entry));
  stdfs::remove(entry); // TearDown expects an empty current directory
}

TEST_F(TrimFileTest, TemporaryNameTakenByAnotherFileKeepsThatFile) {
  const stdfs::path users = scratch_.cwd() / "temp.txt";
  testing::WriteBytes(users, "the user's own notes\n");
  const stdfs::path entry = scratch_.file("entry", "a\nb\n");
  EXPECT_EQ(Outcome::Shortened, Trim(entry).outcome);
  EXPECT_EQ("a\r\n", ReadBytes(entry));
  EXPECT_EQ("the user's own notes\n", ReadBytes(users));
  EXPECT_EQ(std::vector<std::string>{"entry"}, Listing(scratch_.tree()));
  stdfs::remove(users);
}

TEST_F(TrimFileTest, NamesTakenBesideTheEntryAreNeverRemoved) {
  // temp.txt is taken, and so is every name the copy could get beside the entry.
  testing::WriteBytes(scratch_.cwd() / "temp.txt", "mine\n");
  const stdfs::path entry = scratch_.file("entry", "a\nb\n");
  for (unsigned n = 1; n <= 400; ++n)
    scratch_.file(CopyName(ThisCopyMaker(), n, 0), "someone else's\n");
  const TrimResult result = Trim(entry);
  EXPECT_EQ(Outcome::Failed, result.outcome);
  EXPECT_EQ(Reason::CannotWriteCopy, result.reason);
  EXPECT_EQ("a\nb\n", ReadBytes(entry));
  EXPECT_EQ(401u, Listing(scratch_.tree()).size()) << "a file of someone else's was removed";
  stdfs::remove(scratch_.cwd() / "temp.txt");
}

TEST_F(TrimFileTest, FileCutShorterSinceItWasDescribedIsReportedChanged) {
  // As when another program truncates it between the run's look and its read.
  const stdfs::path entry = scratch_.file("entry", "a\nb\n");
  const FolderPath path = testing::Native(entry);
  fs::Folder folder;
  fs::File file;
  fs::FileInfo info;
  ASSERT_EQ(fs::FsError::None, fs::OpenParentFolder(path, folder));
  ASSERT_EQ(fs::FsError::None, fs::OpenEntry(folder, path, file, info));
  info.size += 10;
  TrimResult result;
  std::uint64_t keep = 0, lost = 0;
  std::size_t buffered = 0;
  const fs::FsError error = FindKeptLength(file, info, 1, buffer_, keep, lost, buffered, result);
  EXPECT_EQ(Reason::ChangedDuringRun, ReasonForRead(error))
      << "reported as \"" << DescribeReason(ReasonForRead(error)) << "\"";
}

TEST_F(TrimFileTest, CopyDroppedBeforeItsCommitLeavesNothingBehind) {
  // As a stopped run or a failed flush drops a written copy that has not yet
  // got the entry's attributes: it is still private to this user.
  const stdfs::path entry = scratch_.file("entry", "a\nb\n");
  const FolderPath path = testing::Native(entry);
  auto folder = std::make_shared<fs::Folder>();
  ASSERT_EQ(fs::FsError::None, fs::OpenParentFolder(path, *folder));
  const fs::Folder noCurrentFolder; // copies go beside their entries
  std::unique_ptr<Replacement> pending;
  const TrimResult result =
      TrimEntry({folder, &noCurrentFolder, path}, buffer_, TrimMode::Replace, pending);
  ASSERT_TRUE(pending) << DescribeReason(result.reason);
  EXPECT_TRUE(pending->copy().isOpen()) << "no copy was written";
  pending.reset();
  EXPECT_EQ(std::vector<std::string>{"entry"}, Listing(scratch_.tree())) << "the copy was left";
  EXPECT_EQ("a\nb\n", ReadBytes(entry));
}

#ifdef _WIN32
TEST_F(TrimFileTest, HiddenAndSystemFilesComeBackAsOrdinaryFiles) {
  const stdfs::path path = scratch_.file("hidden", "a\nb\n");
  const std::string native = testing::Native(path);
  ASSERT_TRUE(SetFileAttributesA(native.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(Outcome::Shortened, Trim(path).outcome);
  EXPECT_EQ("a\r\n", ReadBytes(path));
  const DWORD attributes = GetFileAttributesA(native.c_str());
  EXPECT_EQ(0u, attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
      << "attributes 0x" << std::hex << attributes;
}

TEST_F(TrimFileTest, CopyOnAnotherVolumeIsMovedBesideTheEntryFirst) {
  const char *volume = std::getenv("TAILSNIP_SECOND_VOLUME");
  if (volume == nullptr)
    GTEST_SKIP() << "no second volume (tests/unit/with_second_volume.sh provides one)";
  const stdfs::path cwd = stdfs::path(volume) / ("cwd-" + std::to_string(GetCurrentProcessId()));
  stdfs::create_directory(cwd);
  stdfs::current_path(cwd);
  const stdfs::path entry = scratch_.file("entry", "a\nb\nc\n");
  const TrimResult result = Trim(entry);
  stdfs::current_path(scratch_.cwd());
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ("a\r\nb\r\n", ReadBytes(entry));
  EXPECT_EQ(std::vector<std::string>{"entry"}, Listing(scratch_.tree())) << "a stray file";
  EXPECT_EQ(std::vector<std::string>{}, Listing(cwd)) << "temp.txt left behind";
  stdfs::remove(cwd);
}

TEST_F(TrimFileTest, FileOpenForWritingElsewhereIsInUse) {
  // A logger's way: appending, and letting others read and write meanwhile.
  const stdfs::path path = scratch_.file("busy", "a\nb\n");
  HANDLE writer =
      CreateFileA(testing::Native(path).c_str(), FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  const TrimResult result = Trim(path);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(writer, "c\n", 2, &written, nullptr));
  CloseHandle(writer);
  EXPECT_EQ(Outcome::Failed, result.outcome);
  EXPECT_EQ(Reason::InUse, result.reason);
  EXPECT_EQ("a\nb\nc\n", ReadBytes(path));
}

std::wstring AccessListOf(const stdfs::path &path) {
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<char> descriptor(size);
  wchar_t *text = nullptr;
  if (size == 0 ||
      !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return L"(none)";
  std::wstring list = text;
  LocalFree(text);
  return list;
}

void SetAccessList(const stdfs::path &path, const wchar_t *text) {
  PSECURITY_DESCRIPTOR wanted = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &wanted,
                                                                   nullptr));
  ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, wanted));
  LocalFree(wanted);
}

// Narrowed by its owner as its copy, made with the list it had, waits to
// take its place: the copy would give the access back.
TEST_F(TrimFileTest, AccessListNarrowedBeforeTheCopyTakesItsPlaceIsKept) {
  const stdfs::path path = scratch_.file("shared", "a\nb\n");
  SetAccessList(path, L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  auto folder = std::make_shared<fs::Folder>();
  ASSERT_EQ(fs::FsError::None, fs::OpenParentFolder(testing::Native(path), *folder));
  const fs::Folder noCurrentFolder;
  std::unique_ptr<Replacement> pending;
  TrimResult result = TrimEntry({folder, &noCurrentFolder, testing::Native(path)}, buffer_,
                                TrimMode::Replace, pending);
  ASSERT_TRUE(pending) << DescribeReason(result.reason);
  result = pending->keepAttributes(result);
  SetAccessList(path, L"D:P(A;;FA;;;BA)");
  const std::wstring narrowed = AccessListOf(path);
  ASSERT_EQ(fs::FsError::None, pending->flush(false));
  result = pending->commit(result);
  pending.reset();
  EXPECT_EQ(Outcome::Failed, result.outcome);
  EXPECT_EQ(Reason::ChangedWhileShortened, result.reason)
      << "reported as \"" << DescribeReason(result.reason) << "\"";
  EXPECT_EQ("a\nb\n", ReadBytes(path));
  EXPECT_TRUE(narrowed == AccessListOf(path))
      << "expected " << stdfs::path(narrowed).string() << ", got "
      << stdfs::path(AccessListOf(path)).string();
  EXPECT_EQ(std::vector<std::string>{"shared"}, Listing(scratch_.tree())) << "the copy was left";
}

TEST_F(TrimFileTest, CopyKeepsTheEntrysAccessList) {
  const stdfs::path path = scratch_.file("private", "a\nb\n");
  SetAccessList(path, L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  // The folder would give its new files to the guests: a protected list
  // inherits nothing, and neither may the copy. (Wine keeps no folder list as
  // set; there the entry's own list is what this checks.)
  SetAccessList(scratch_.tree(), L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;BG)");
  const std::wstring before = AccessListOf(path);
  ASSERT_NE(std::wstring::npos, before.find(L";;;WD)")) << "the access list was not set";
  EXPECT_EQ(Outcome::Shortened, Trim(path).outcome);
  EXPECT_EQ("a\r\n", ReadBytes(path));
  EXPECT_TRUE(before == AccessListOf(path)) << "the access list changed";

  // Nor does an unprotected list take anew what the folder would give its
  // new files (under Wine, its Linux mode lets everyone read): the entry's
  // entries stay as they are, inherited or not.
  const stdfs::path open = scratch_.file("unprotected", "a\nb\n");
  SetAccessList(open, L"D:(A;;FA;;;BA)");
  const std::wstring own = AccessListOf(open);
  ASSERT_EQ(std::wstring::npos, own.find(L"WD)")) << "the access list was not set";
  EXPECT_EQ(Outcome::Shortened, Trim(open).outcome);
  EXPECT_TRUE(own == AccessListOf(open)) << "expected " << stdfs::path(own).string() << ", got "
                                         << stdfs::path(AccessListOf(open)).string();
}
#endif

} // namespace
} // namespace tailsnip
