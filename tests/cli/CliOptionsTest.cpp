// tailsnip-cli's options and operands: usage errors, help and version, options
// bundled, --lines and --keep-line-ends, and the guard on root folders.
#include "CliRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

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
                                                        {"--max-depth= -1", Tree()},
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
      {"-qvnl", "option '-l' requires an argument"},
      {"--re", "option '--re' is ambiguous; possibilities: '--resume' '--restart'"},
      {"-nz", "unknown option '-z'"}};
  for (const auto &[option, message] : misused) {
    const Ran ran = RunCli({Tree(), option});
    EXPECT_EQ(2, ran.status);
    EXPECT_EQ("tailsnip-cli: " + std::string(message) + " (see tailsnip-cli --help)\n", ran.err);
  }
  ExpectUntouched();
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

TEST_F(CliTest, LinesRemovesTheLastNAndTakesNothingButACount) {
  for (const char *count : {"0", "-1", "x", "2x", "", "18446744073709551616", "16E"}) {
    const Ran ran = RunCli({"--lines=" + std::string(count), Tree()});
    EXPECT_EQ(2, ran.status) << count;
    EXPECT_EQ(1u, Lines(ran.err)) << ran.err;
    const bool tooLarge = count[0] == '1';
    EXPECT_EQ(tooLarge, ran.err.find("too large") != std::string::npos) << ran.err;
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

} // namespace
} // namespace tailsnip::testing
