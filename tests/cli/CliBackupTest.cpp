// Backups: --backup, -b and -S, simple and numbered, names already taken, and
// what VERSION_CONTROL and SIMPLE_BACKUP_SUFFIX choose.
#include "CliRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

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

// Replacing an earlier simple backup removes a name of the file it was: a
// file of the tree that is another name of it is changed by the run, not
// by another program, and is shortened after it.
TEST_F(CliTest, AFileThatSharesAReplacedBackupsFileIsStillShortened) {
  const stdfs::path earlier = scratch_.file("a.txt~", "old\nlast\n");
  const stdfs::path other = scratch_.tree() / "other";
  ASSERT_EQ(0, ::link(earlier.c_str(), other.c_str()));
  const Ran ran = RunCli({"-q", "--backup=simple", a_.string(), other.string()});
  EXPECT_EQ(0, ran.status) << ran.out << ran.err;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ("1\n2\n3\n", ReadBytes(earlier));
  EXPECT_EQ("old\r\n", ReadBytes(other));
  EXPECT_EQ(std::vector<std::string>{}, CopiesLeft(scratch_.tree()));
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

// Numbers are counted on as cp counts them, however large.
TEST_F(CliTest, NumberedBackupTakesTheNumberAfterOneOfAnySize) {
  const std::string past = a_.string() + ".~99999999999999999999~";
  const std::string last = b_.string() + ".~18446744073709551615~";
  WriteBytes(past, "old\nbackup\n");
  WriteBytes(last, "old\nbackup\n");
  const Ran ran = RunCli({"-q", "--backup=numbered", Tree()});
  EXPECT_EQ(0, ran.status) << ran.out;
  EXPECT_EQ("1\n2\n3\n", ReadBytes(a_.string() + ".~100000000000000000000~"));
  EXPECT_EQ("only\n", ReadBytes(b_.string() + ".~18446744073709551616~"));
  EXPECT_EQ("old\nbackup\n", ReadBytes(past));
  EXPECT_EQ("old\nbackup\n", ReadBytes(last));
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

} // namespace
} // namespace tailsnip::testing
