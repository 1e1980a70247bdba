// The run's journal: what it keeps of each entry, and what it tells apart.
#include "engine/stopped/Journal.h"
#include "engine/stopped/StoppedRun.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace tailsnip {
namespace {

using testing::Native;
using testing::ReadBytes;
using testing::Scratch;
using testing::WriteBytes;
namespace stdfs = std::filesystem;

TEST(JournalTest, KeepsTheListAndTellsAReplacedEntryFromAnUntouchedOne) {
  Scratch scratch;
  const stdfs::path replaced = scratch.file("replaced", "1\n2\n");
  const stdfs::path untouched = scratch.file("sub/untouched name", "1\n2\n");
  const stdfs::path savedOver = scratch.file("sub/saved over", "1\n2\n");
  const FolderPath root = Native(scratch.tree());
  const WorkList list = {Native(replaced), Native(untouched.parent_path()), Native(untouched),
                         Native(savedOver)};
  JournalHeader header;
  header.version = "test";
  header.folder = root;
  header.folderIdentity = {7, 9};
  header.trim = {3, true, {BackupControl::Numbered, ".bak"}};
  const FolderPath path = Native(scratch.root() / "state" / "deeper" / "run.journal");
  ASSERT_EQ(fs::FsError::None, WriteJournal(path, header, root, list));
  const CopyMaker other{424242, "00000000000000ff"};
  ASSERT_EQ(fs::FsError::None, AddProcess(path, other));
  fs::File notes; // the process came to every entry
  ASSERT_EQ(fs::FsError::None, journal::OpenForAppend(path, notes));
  for (std::size_t i = 0; i < list.size(); ++i)
    ASSERT_EQ(fs::FsError::None, NoteChanging(notes, i));

  // Each copy is named after its entry's place in the list. The first entry
  // is replaced as a run replaces it, its old self left under the copy's
  // name by the exchange.
  const stdfs::path oldSelf = scratch.tree() / CopyName(other, 1, 0);
  stdfs::rename(replaced, oldSelf);
  WriteBytes(replaced, "1\r\n");
  // The last entry was saved over just before its exchange: the save lies
  // under the copy's name, the copy under the entry's.
  const stdfs::path save = savedOver.parent_path() / CopyName(other, 2, 3);
  WriteBytes(save, "save");
  WriteBytes(scratch.tree() / "copy", "1\r\n");
  stdfs::rename(scratch.tree() / "copy", savedOver);
  const FolderPath ours = JoinPath(Native(untouched.parent_path()), CopyName(other, 3, 2));
  const stdfs::path others = untouched.parent_path() / CopyName({424243, "00000000000000ff"}, 3, 2);
  const stdfs::path untokened = untouched.parent_path() / ".tailsnip-424242-3.tmp";
  WriteBytes(ours, "copy");
  WriteBytes(others, "copy");
  WriteBytes(untokened, "copy");

  JournalHeader read;
  WorkList plan;
  StampList stamps;
  ASSERT_EQ(JournalState::Found, ReadJournal(path, read, root, &plan, &stamps));
  EXPECT_EQ(list, plan);
  EXPECT_EQ(root, read.folder);
  EXPECT_EQ(9u, read.folderIdentity.index);
  EXPECT_EQ((TrimSettings{3, true, {BackupControl::Numbered, ".bak"}}), read.trim);
  EXPECT_EQ((std::vector<CopyMaker>{ThisCopyMaker(), other}), read.processes);
  EXPECT_EQ(std::vector<bool>(list.size(), true), read.noted);
  ASSERT_EQ(4u, stamps.size());
  EntryStamp now[3];
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(fs::FsError::None, StampEntry(plan[i], now[i]));
  EXPECT_NE(stamps[0], now[0]) << "a replaced entry looks untouched";
  EXPECT_EQ(stamps[2], now[2]) << "an untouched entry looks replaced";
  EXPECT_EQ(fs::FileKind::Folder, stamps[1].kind);

  const std::vector<LeftFile> left = RemoveLeftCopies(read, root, plan, stamps);
  ASSERT_EQ(1u, left.size()) << "copies left: not the save alone";
  EXPECT_EQ(Native(savedOver), left[0].savedOver);
  EXPECT_EQ("save", ReadBytes(save));
  EXPECT_FALSE(stdfs::exists(oldSelf));
  EXPECT_FALSE(stdfs::exists(ours));
  EXPECT_TRUE(stdfs::exists(others)) << "removed a copy of another process";
  EXPECT_TRUE(stdfs::exists(untokened)) << "removed a file named without the token";
}

// A list longer than one stretch of stamps, whose halves are stamped apart.
TEST(JournalTest, EveryEntryOfALongListIsStampedAsItIs) {
  Scratch scratch;
  WorkList list;
  for (int folder = 0; folder < 50; ++folder) {
    const std::string within = "f" + std::to_string(folder);
    for (int file = 0; file < 100; ++file)
      list.push_back(Native(scratch.file(within + "/" + std::to_string(file), "1\n")));
    list.push_back(Native(scratch.tree() / within));
  }
  const FolderPath root = Native(scratch.tree());
  JournalHeader header;
  header.version = "test";
  header.folder = root;
  const FolderPath path = Native(scratch.root() / "run.journal");
  ASSERT_EQ(fs::FsError::None, WriteJournal(path, header, root, list));

  JournalHeader read;
  WorkList plan;
  StampList stamps;
  ASSERT_EQ(JournalState::Found, ReadJournal(path, read, root, &plan, &stamps));
  ASSERT_EQ(list, plan);
  ASSERT_EQ(list.size(), stamps.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EntryStamp now;
    ASSERT_EQ(fs::FsError::None, StampEntry(list[i], now));
    ASSERT_EQ(now, stamps[i]) << "entry " << i << ", " << list[i];
  }
}

TEST(JournalTest, KeepsEveryStampExactlyWhateverItDiffersByFromTheOneBefore) {
  std::mt19937_64 random(5);
  const std::uint64_t extremes[] = {0, 1, 0x7fffffffffffffffU, 0x8000000000000000U, ~0ULL};
  const auto number = [&] {
    switch (random() % 3) {
    case 0:
      return extremes[random() % 5];
    case 1:
      return random();
    default:
      return random() % 300; // near the stamp before, either way
    }
  };
  std::vector<EntryStamp> reference;
  StampList stamps;
  for (int i = 0; i < 1000; ++i) {
    EntryStamp stamp;
    stamp.known = random() % 4 != 0;
    stamp.kind = static_cast<fs::FileKind>(random() % 4);
    for (std::uint64_t *field : {&stamp.volume, &stamp.index, &stamp.size, &stamp.modified})
      *field = number();
    reference.push_back(stamp);
    stamps.push_back(stamp);
  }
  ASSERT_EQ(reference.size(), stamps.size());
  for (std::size_t i = 0; i < reference.size(); i += 7)
    ASSERT_EQ(reference[i], stamps[i]) << "stamp " << i;
  std::size_t i = 0;
  for (StampList::const_iterator stamp = stamps.begin(); stamp != stamps.end(); ++stamp, ++i)
    ASSERT_EQ(reference[i], *stamp) << "stamp " << i << ", read in order";
  EXPECT_EQ(reference.size(), i);
}

TEST(JournalTest, FirstFormatWithoutSettingsIsReadAsTheDialogsRun) {
  Scratch scratch;
  const stdfs::path entry = scratch.file("a", "1\n");
  const FolderPath root = Native(scratch.tree());
  const stdfs::path path = scratch.root() / "old.journal";
  WriteBytes(path, "tailsnip-journal 1\nversion test\nfolder 7 9 " + std::to_string(root.size()) +
                       "\n" + root + "\nentries 1\nf1 2 3 4 1\na\n" + "end\nprocess 42\n");
  JournalHeader read;
  WorkList plan;
  StampList stamps;
  ASSERT_EQ(JournalState::Found, ReadJournal(Native(path), read, root, &plan, &stamps));
  EXPECT_EQ(TrimSettings{}, read.trim);
  EXPECT_EQ(WorkList{Native(entry)}, plan);
}

TEST(JournalTest, ARunsFolderOfAnyLengthIsNamedInFull) {
  // The journal names the folder absolutely, to be found from anywhere;
  // the test's current directory is `scratch.cwd()`.
  Scratch scratch;
  stdfs::path relative;
  for (int level = 0; level < 12; ++level)
    relative /= "a folder with a long name, " + std::to_string(level);
  stdfs::create_directories(scratch.cwd() / relative);
  EXPECT_EQ(Native(stdfs::canonical(scratch.cwd()) / relative), AbsolutePath(Native(relative)));
}

// The journal's own reading must not keep it from being written or removed,
// as Windows would while it is open.
TEST(JournalTest, AStoppedRunIsResumedAndAnotherRestarted) {
  Scratch scratch;
  scratch.file("a.txt", "1\n2\n");
  const FolderPath tree = Native(scratch.tree());
#ifdef _WIN32
  const char *kStateFolder = "LOCALAPPDATA";
  const auto set = [](const char *name, const std::string &value) {
    _putenv_s(name, value.c_str());
  };
#else
  const char *kStateFolder = "XDG_STATE_HOME";
  const auto set = [](const char *name, const std::string &value) {
    ::setenv(name, value.c_str(), 1);
  };
#endif
  const char *kept = std::getenv(kStateFolder);
  const std::string before = kept ? kept : "";
  set(kStateFolder, Native(scratch.root() / "state"));
  const TrimSettings trim;
  const auto stop = [&] { // a run recorded and never finished
    RunJournal run("test");
    ASSERT_EQ(StoppedRunFinding::Go, run.open(tree, JournalUse::Plain, {}).finding);
    ASSERT_TRUE(run.record({JoinPath(tree, "a.txt")}, trim).done);
  };
  stop();
  RunJournal resumed("test");
  const StoppedRunCheck resuming = resumed.open(tree, JournalUse::Resume, {});
  EXPECT_EQ(StoppedRunFinding::Resuming, resuming.finding) << resuming.systemError.message();
  EXPECT_TRUE(resumed.finish().done);
  stop();
  RunJournal restarted("test");
  const StoppedRunCheck restarting = restarted.open(tree, JournalUse::Restart, {});
  EXPECT_EQ(StoppedRunFinding::Restarting, restarting.finding) << restarting.systemError.message();
  EXPECT_FALSE(stdfs::exists(restarting.journal));
  set(kStateFolder, before);
}

#ifndef _WIN32
TEST(JournalTest, WithoutHomeTheFolderIsInTheHomeThePasswordDatabaseGives) {
  std::vector<std::pair<const char *, std::string>> kept;
  for (const char *name : {"HOME", "XDG_STATE_HOME"})
    if (const char *value = std::getenv(name))
      kept.emplace_back(name, value);
  ::unsetenv("HOME");
  ::unsetenv("XDG_STATE_HOME");
  const FolderPath folder = DefaultJournalFolder();
  for (const auto &[name, value] : kept)
    ::setenv(name, value.c_str(), 1);
  const passwd *user = ::getpwuid(::getuid());
  ASSERT_NE(nullptr, user);
  EXPECT_EQ(std::string(user->pw_dir) + "/.local/state/tailsnip", folder);
}
#endif

} // namespace
} // namespace tailsnip
