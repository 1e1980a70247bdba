// A replacement survives a power cut only if the copy reached the disk
// before the rename made it the entry, and if the entry itself was never
// written: the kernel may reorder anything not flushed. An entry cut in
// place, and an entry's new name, must reach the disk before the run's
// journal, which would have a stopped run finish it, is removed. tailsnip-cli runs under strace
// here, and its system calls are checked for that order.
#include "ProgramRun.h"
#include "ReferenceModel.h"

#include "PosixVolume.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/magic.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace tailsnip {
namespace {

namespace stdfs = std::filesystem;
using hardening::ProgramRun;
using hardening::ReadWholeFile;
using hardening::RunProgram;
using testing::Scratch;
using testing::TmpfsVolume;
using testing::WriteBytes;

// One line of strace's output: "PID name(arguments) = result ...".
struct SystemCall {
  std::string name;
  std::vector<std::string> arguments;
  long result = -1;
};

// Splits "a, \"b, c\", d" into its arguments, keeping quoted strings whole
// (their quotes removed) and nested braces and brackets together.
std::vector<std::string> SplitArguments(const std::string &text) {
  std::vector<std::string> arguments;
  std::string current;
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size())
        current += text[++i];
      else if (c == '"')
        quoted = false;
      else
        current += c;
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == '{' || c == '[' || c == '(') {
      ++depth;
      current += c;
    } else if (c == '}' || c == ']' || c == ')') {
      --depth;
      current += c;
    } else if (c == ',' && depth == 0) {
      arguments.push_back(current);
      current.clear();
      if (i + 1 < text.size() && text[i + 1] == ' ')
        ++i;
    } else {
      current += c;
    }
  }
  if (!current.empty() || !arguments.empty())
    arguments.push_back(current);
  return arguments;
}

std::optional<SystemCall> ParseTraceLine(const std::string &line) {
  const std::size_t nameStart = line.find_first_not_of("0123456789 ");
  const std::size_t open = line.find('(', nameStart);
  const std::size_t equals = line.rfind(" = ");
  if (nameStart == std::string::npos || open == std::string::npos || equals == std::string::npos ||
      equals < open)
    return std::nullopt; // signals, exits, resumed calls
  const std::size_t close = line.find_last_not_of(' ', equals);
  if (line[close] != ')')
    return std::nullopt;
  SystemCall call;
  call.name = line.substr(nameStart, open - nameStart);
  call.arguments = SplitArguments(line.substr(open + 1, close - open - 1));
  call.result = std::stol(line.substr(equals + 3));
  return call;
}

// The lines of a trace of several threads, each call whole: strace splits
// a call that another thread's call interrupts into "PID name(args
// <unfinished ...>" and, later, "PID <... name resumed>rest". A call is put
// where it finished, as that is when its effect is known.
std::vector<std::string> WholeCalls(const std::string &trace) {
  static const std::string unfinished = " <unfinished ...>";
  std::vector<std::string> calls;
  std::map<std::string, std::string> begun; // by thread
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::string thread = line.substr(0, line.find(' '));
    const std::size_t resumed = line.find(" resumed>");
    if (line.size() > unfinished.size() &&
        line.compare(line.size() - unfinished.size(), unfinished.size(), unfinished) == 0)
      begun[thread] = line.substr(0, line.size() - unfinished.size());
    else if (resumed != std::string::npos && begun.count(thread))
      calls.push_back(begun[thread] + line.substr(resumed + 9));
    else
      calls.push_back(line);
  }
  return calls;
}

// What happened to a file the traced program created.
struct CreatedFile {
  bool writtenSinceFlush = false;
  bool flushed = false;
  bool closed = false;
};

// Replays a trace, checking that nothing writes into an entry, that each
// rename onto an entry moves a copy that was flushed after its last write
// (by fsync, or by a syncfs of its volume) and closed, and that each entry
// cut in place (ftruncate) is flushed so, and each rename onto an entry by
// an fsync of its folder or a syncfs of its volume, before the journal is
// removed and before the run ends. Returns the broken rules, one per line; `replaced`
// lists the successful renames onto entries and cuts of entries in their
// order, `crossVolume` counts the renames refused because they would cross
// volumes.
std::string CheckTrace(const std::string &trace, const stdfs::path &cwd,
                       const std::set<stdfs::path> &entries, std::vector<stdfs::path> &replaced,
                       int &crossVolume) {
  std::ostringstream broken;
  std::map<long, stdfs::path> openFiles;
  std::map<stdfs::path, CreatedFile> created;
  std::set<stdfs::path> cutUnflushed;
  std::set<stdfs::path> renamedUnflushed;
  const auto checkCutsFlushed = [&](const std::string &when) {
    for (const stdfs::path &path : cutUnflushed)
      broken << "entry " << path << " cut in place, not flushed " << when << "\n";
    for (const stdfs::path &path : renamedUnflushed)
      broken << "new name of entry " << path << " not on disk " << when << "\n";
    cutUnflushed.clear();
    renamedUnflushed.clear();
  };
  auto resolve = [&](const std::string &path) { return (cwd / path).lexically_normal(); };
  auto isEntry = [&](const stdfs::path &path) { return entries.count(path) != 0; };
  // openat's and renameat's paths follow a folder argument: AT_FDCWD, or a
  // descriptor that strace -y shows with its path, "3</tree/sub>".
  auto pathAt = [&](const SystemCall &call, std::size_t index) {
    const bool at =
        call.name.size() > 2 && call.name.find("at") != std::string::npos && call.name != "creat";
    const std::size_t shift = at ? index * 2 + 1 : index;
    if (!at || call.arguments.at(shift - 1) == "AT_FDCWD")
      return resolve(call.arguments.at(shift));
    const std::string &folder = call.arguments.at(shift - 1);
    const std::size_t open = folder.find('<');
    if (open == std::string::npos || folder.back() != '>') {
      broken << call.name << " relative to a folder strace did not name: " << folder << "\n";
      return resolve(call.arguments.at(shift));
    }
    const stdfs::path dir = folder.substr(open + 1, folder.size() - open - 2);
    return (dir / call.arguments.at(shift)).lexically_normal();
  };

  for (const std::string &line : WholeCalls(trace)) {
    const std::optional<SystemCall> parsed = ParseTraceLine(line);
    if (!parsed)
      continue;
    const SystemCall &call = *parsed;
    const std::string &name = call.name;
    if (name == "open" || name == "openat" || name == "creat") {
      stdfs::path path = pathAt(call, 0);
      // A file opened again through its descriptor is the same file: in
      // /proc/self/fd, or the process's own folder there held open.
      const stdfs::path in = path.parent_path();
      const bool reopened = in.filename() == "fd" && in.parent_path().parent_path() == "/proc" &&
                            openFiles.count(std::stol(path.filename())) != 0;
      if (reopened)
        path = openFiles[std::stol(path.filename())];
      const std::string flags =
          name == "creat" ? "O_WRONLY|O_CREAT|O_TRUNC" : call.arguments.at(name == "open" ? 1 : 2);
      const bool creates = flags.find("O_CREAT") != std::string::npos;
      const bool exclusive = flags.find("O_EXCL") != std::string::npos;
      const bool unnamed = flags.find("O_TMPFILE") != std::string::npos;
      // A creation that must not find the name is harmless even on an
      // entry, and so is an opening for writing by itself: what is written
      // through it is caught below, and a cut is checked for its flush.
      const bool truncates = flags.find("O_TRUNC") != std::string::npos;
      const bool appends = flags.find("O_APPEND") != std::string::npos;
      if (isEntry(path) && (truncates || creates || appends) && (call.result >= 0 || !exclusive))
        broken << "entry " << path << " opened for writing: " << line << "\n";
      if (call.result < 0)
        continue;
      // A file without a name yet is known by its descriptor until linkat names it.
      const stdfs::path known = unnamed ? path / ("#" + std::to_string(call.result)) : path;
      openFiles[call.result] = known;
      if (creates || unnamed)
        created[known] = CreatedFile();
    } else if (name == "linkat") {
      // Names an unnamed file: through its descriptor, or /proc/self/fd/N.
      const std::string &source = call.arguments.at(1);
      const long fd = source.empty() ? std::stol(call.arguments.at(0))
                                     : std::stol(source.substr(source.rfind('/') + 1));
      const auto file = openFiles.find(fd);
      if (call.result != 0 || file == openFiles.end() || !created.count(file->second))
        continue;
      const stdfs::path named = pathAt(call, 1);
      created[named] = created[file->second];
      created.erase(file->second);
      file->second = named;
    } else if (name == "ftruncate") {
      const auto file = openFiles.find(std::stol(call.arguments.at(0)));
      if (call.result != 0 || file == openFiles.end() || !isEntry(file->second))
        continue;
      replaced.push_back(file->second);
      cutUnflushed.insert(file->second);
    } else if (name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" ||
               name == "pwritev2") {
      const auto file = openFiles.find(std::stol(call.arguments.at(0)));
      if (file == openFiles.end())
        continue; // standard output and error
      if (isEntry(file->second))
        broken << "entry " << file->second << " written: " << line << "\n";
      if (created.count(file->second))
        created[file->second].writtenSinceFlush = true;
    } else if (name == "copy_file_range") {
      // The kernel copies into the third argument's file.
      const auto file = openFiles.find(std::stol(call.arguments.at(2)));
      if (file == openFiles.end())
        continue;
      if (isEntry(file->second))
        broken << "entry " << file->second << " written: " << line << "\n";
      if (created.count(file->second))
        created[file->second].writtenSinceFlush = true;
    } else if (name == "fsync" || name == "fdatasync") {
      const auto file = openFiles.find(std::stol(call.arguments.at(0)));
      if (call.result == 0 && file != openFiles.end() && created.count(file->second)) {
        created[file->second].flushed = true;
        created[file->second].writtenSinceFlush = false;
      }
      if (call.result == 0 && file != openFiles.end()) {
        cutUnflushed.erase(file->second);
        // A folder reopened as "." is named with a trailing separator.
        const stdfs::path folder =
            file->second.has_filename() ? file->second : file->second.parent_path();
        for (auto renamed = renamedUnflushed.begin(); renamed != renamedUnflushed.end();)
          renamed = renamed->parent_path() == folder ? renamedUnflushed.erase(renamed)
                                                     : std::next(renamed);
      }
    } else if (name == "syncfs") {
      // Flushes every file of the volume: those whose folder is on it.
      const std::string &argument = call.arguments.at(0);
      const std::size_t open = argument.find('<');
      struct stat volume, folder;
      if (call.result != 0 || open == std::string::npos ||
          ::stat(stdfs::path(argument.substr(open + 1, argument.size() - open - 2))
                     .parent_path()
                     .c_str(),
                 &volume) != 0)
        continue;
      for (auto &[path, file] : created)
        if (::stat(path.parent_path().c_str(), &folder) == 0 && folder.st_dev == volume.st_dev) {
          file.flushed = true;
          file.writtenSinceFlush = false;
        }
      for (std::set<stdfs::path> *unflushed : {&cutUnflushed, &renamedUnflushed})
        for (auto entry = unflushed->begin(); entry != unflushed->end();)
          entry =
              ::stat(entry->parent_path().c_str(), &folder) == 0 && folder.st_dev == volume.st_dev
                  ? unflushed->erase(entry)
                  : std::next(entry);
    } else if (name == "close") {
      const auto file = openFiles.find(std::stol(call.arguments.at(0)));
      if (file == openFiles.end())
        continue;
      if (call.result == 0 && created.count(file->second))
        created[file->second].closed = true;
      openFiles.erase(file);
    } else if (name == "rename" || name == "renameat" || name == "renameat2") {
      const stdfs::path from = pathAt(call, 0);
      const stdfs::path to = pathAt(call, 1);
      if (isEntry(from))
        broken << "entry " << from << " renamed away: " << line << "\n";
      if (call.result != 0) {
        crossVolume += line.find("EXDEV") != std::string::npos ? 1 : 0;
        continue;
      }
      if (!isEntry(to))
        continue;
      replaced.push_back(to);
      renamedUnflushed.insert(to);
      const auto copy = created.find(from);
      if (copy == created.end())
        broken << "renamed onto " << to << " a file the run did not create: " << line << "\n";
      else if (!copy->second.flushed || copy->second.writtenSinceFlush)
        broken << "renamed onto " << to << " a copy not flushed after its last write\n";
      else if (!copy->second.closed)
        broken << "renamed onto " << to << " a copy still open\n";
      if (copy != created.end())
        created.erase(copy); // its name is free again
    } else if (name == "unlink" || name == "unlinkat" || name == "truncate") {
      const stdfs::path path = pathAt(call, 0);
      if (isEntry(path))
        broken << "entry " << path << " removed or truncated: " << line << "\n";
      if (call.result == 0 && path.extension() == ".journal")
        checkCutsFlushed("before the journal was removed");
    }
  }
  checkCutsFlushed("before the run ended");
  return broken.str();
}

// The checker itself, on traces written to break one rule each.
TEST(CrashOrderingCheckTest, EachBrokenRuleIsFound) {
  const std::set<stdfs::path> entries = {"/t/a"};
  const std::string open = "7 openat(AT_FDCWD, \"/t/a\", O_RDONLY|O_NOFOLLOW) = 3\n"
                           "7 openat(AT_FDCWD, \"temp.txt\", O_WRONLY|O_CREAT|O_EXCL, 0644) = 4\n";
  const std::string write = "7 write(4, \"\"..., 3)              = 3\n";
  const std::string flush = "7 fsync(4)                         = 0\n";
  const std::string close = "7 close(4)                         = 0\n";
  const std::string rename = "7 rename(\"temp.txt\", \"/t/a\") = 0\n";
  const std::string kernelCopy = "7 copy_file_range(3, [0], 4, NULL, 3, 0) = 3\n";
  // A copy made without a name, named once written, and exchanged with the entry.
  const std::string unnamed = "7 openat(AT_FDCWD, \"/t/a\", O_RDONLY|O_NOFOLLOW) = 3\n"
                              "7 openat(5</t>, \".\", O_WRONLY|O_TMPFILE, 0644) = 4\n";
  const std::string link =
      "7 linkat(AT_FDCWD, \"/proc/self/fd/4\", 5</t>, \"c.tmp\", AT_SYMLINK_FOLLOW) = 0\n";
  const std::string exchange = "7 renameat2(5</t>, \"c.tmp\", 5</t>, \"a\", RENAME_EXCHANGE) = "
                               "0\n7 unlinkat(5</t>, \"c.tmp\", 0) = 0\n";
  // The entry opened for a cut, cut, and the journal removed.
  const std::string reopen = "7 openat(AT_FDCWD, \"/t/a\", O_RDWR|O_NOFOLLOW) = 4\n";
  const std::string cut = "7 ftruncate(4, 2) = 0\n";
  const std::string journalRemoved = "7 unlink(\"/s/1-2.journal\") = 0\n";
  const std::string folderFlush = "7 openat(6</t>, \".\", O_RDONLY|O_DIRECTORY) = 8\n"
                                  "7 fsync(8) = 0\n";
  const std::vector<std::pair<std::string, std::string>> traces = {
      {"", open + write + flush + close + rename + folderFlush + journalRemoved},
      {"new name of entry \"/t/a\" not on disk before the run ended",
       open + write + flush + close + rename},
      {"new name of entry \"/t/a\" not on disk before the journal",
       open + write + flush + close + rename + journalRemoved + folderFlush},
      {"not flushed", open + write + close + rename},
      {"not flushed", open + write + flush + write + close + rename},
      {"", open + kernelCopy + flush + close + rename + folderFlush},
      {"", open + write + "8 fsync(4 <unfinished ...>\n" + "7 getpid() = 7\n" +
               "8 <... fsync resumed>) = 0\n" + close + rename + folderFlush},
      {"not flushed", open + write + "8 fsync(4 <unfinished ...>\n" + close + rename +
                          "8 <... fsync resumed>) = 0\n"},
      {"not flushed", open + write + flush + kernelCopy + close + rename},
      {"still open", open + write + flush + rename},
      {"did not create", "7 rename(\"/t/b\", \"/t/a\") = 0\n"},
      {"opened for writing", "7 openat(AT_FDCWD, \"/t/a\", O_WRONLY|O_TRUNC) = 3\n"},
      {"opened for writing",
       "7 open(\"../t/a\", O_WRONLY|O_APPEND) = -1 EACCES (Permission denied)\n"},
      {"removed", "7 unlink(\"/t/a\") = 0\n" + open + write + flush + close + rename},
      {"", unnamed + write + link + flush + close + exchange + folderFlush},
      {"not flushed", unnamed + write + flush + link + write + close + exchange},
      {"", reopen + cut + "7 fsync(4) = 0\n" + journalRemoved},
      {"not flushed before the journal", reopen + cut + journalRemoved + "7 fsync(4) = 0\n"},
      {"not flushed before the run ended", reopen + cut},
      {"written", reopen + "7 write(4, \"\"..., 3) = 3\n"},
      {"written", "7 openat(AT_FDCWD, \"/t/a\", O_RDONLY) = 3\n"
                  "7 openat(AT_FDCWD, \"/proc/self/fd/3\", O_RDWR) = 5\n"
                  "7 pwrite64(5, \"\"..., 3, 0) = 3\n"},
  };
  for (const auto &[problem, trace] : traces) {
    std::vector<stdfs::path> renamedOnto;
    int crossVolume = 0;
    const std::string broken = CheckTrace(trace, "/cwd", entries, renamedOnto, crossVolume);
    if (problem.empty())
      EXPECT_EQ("", broken) << trace;
    else
      EXPECT_NE(std::string::npos, broken.find(problem)) << trace << "gave: " << broken;
  }
}

class CrashOrderingTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (ProgramRun probe = RunProgram({"/usr/bin/strace", "-o", "/dev/null", "/bin/true"},
                                      scratch_.root().string(), {}, std::chrono::seconds(30),
                                      (scratch_.root() / "probe").string());
        !probe.exited() || probe.exitCode != 0)
      GTEST_SKIP() << "strace cannot trace here (is ptrace permitted?): " << probe.describe();
    stdfs::create_directories(scratch_.tree() / "far");
    far_ = std::make_unique<TmpfsVolume>(scratch_.tree() / "far", 16 << 20);
    if (!far_->mounted())
      std::cout << "note: " << far_->problem()
                << "; the copy across volumes is not traced, only the direct rename\n";
    std::string big;
    for (int line = 0; big.size() < (std::size_t{5} << 19); ++line)
      big += "line " + std::to_string(line) + "\r\n";
    originals_ = {{"empty", ""},
                  {"one", "only\n"},
                  {"two", "first\r\nsecond"},
                  {"big", big},
                  {"far/cross", "a\nb\nc\n"},
                  {"work/temp.txt", "t\nu\n"},
                  {"deep/er/file", "x\ny"}};
    for (const auto &[name, bytes] : originals_)
      scratch_.file(name, bytes);
  }
  void TearDown() override { far_.reset(); }

  // The files a run would shorten, in the order it would shorten them.
  std::vector<stdfs::path> listOrder(const stdfs::path &cwd) {
    const ProgramRun dry =
        RunProgram({TAILSNIP_CLI_PATH, "--dry-run", "--quiet", scratch_.tree().string()},
                   cwd.string(), hardening::SanitizerEnvironment(true), std::chrono::seconds(60),
                   (scratch_.root() / "capture").string());
    std::vector<stdfs::path> order;
    std::istringstream lines(dry.output);
    for (std::string line; std::getline(lines, line) && line != "finished!";)
      order.push_back(line);
    return order;
  }

  // Traces a run from `cwd`; `withoutVolumeFlush` has every syncfs fail,
  // as where the system has none, so that each copy is flushed on its own.
  // With `keepLineEnds` every file is cut in place: it keeps its inode.
  void traceRun(const stdfs::path &cwd, bool withoutVolumeFlush = false,
                bool keepLineEnds = false) {
    std::map<stdfs::path, ino_t> inodes;
    struct stat status;
    for (const auto &[name, bytes] : originals_)
      if (::stat(scratch_.file(name, bytes).c_str(), &status) == 0)
        inodes[scratch_.tree() / name] = status.st_ino;
    const std::vector<stdfs::path> order = listOrder(cwd);
    const stdfs::path tracePath = scratch_.root() / "trace";
    std::vector<std::string> command = {
        "/usr/bin/strace",
        "-f",
        "-qq",
        "-y",
        "-s",
        "0",
        "-o",
        tracePath.string(),
        "-e",
        "trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,copy_file_range,"
        "ftruncate,truncate,fsync,fdatasync,syncfs,close,rename,renameat,renameat2,unlink,"
        "unlinkat,linkat"};
    if (withoutVolumeFlush)
      command.insert(command.end(), {"-e", "inject=syncfs:error=ENOSYS"});
    command.insert(command.end(), {TAILSNIP_CLI_PATH, "--quiet", scratch_.tree().string()});
    if (keepLineEnds)
      command.push_back("--keep-line-ends");
    const ProgramRun run =
        RunProgram(command, cwd.string(), hardening::SanitizerEnvironment(true),
                   std::chrono::seconds(120), (scratch_.root() / "capture").string());
    ASSERT_TRUE(run.exited() && run.exitCode == 0) << "tailsnip-cli " << run.describe();

    std::set<stdfs::path> entries;
    for (const auto &[name, bytes] : originals_)
      entries.insert(scratch_.tree() / name);
    std::vector<stdfs::path> replaced;
    int crossVolume = 0;
    EXPECT_EQ("",
              CheckTrace(ReadWholeFile(tracePath.string()), cwd, entries, replaced, crossVolume));
    for (const auto &[name, bytes] : originals_) {
      const stdfs::path path = scratch_.tree() / name;
      const std::string shortened = reference::Shortened(bytes, 1, keepLineEnds);
      EXPECT_EQ(shortened, ReadWholeFile(path)) << path;
      EXPECT_EQ(shortened == bytes ? 0 : 1, std::count(replaced.begin(), replaced.end(), path))
          << "renames onto and cuts of " << path << " (a file with lines is replaced once)";
      EXPECT_TRUE(!keepLineEnds ||
                  (::stat(path.c_str(), &status) == 0 && status.st_ino == inodes[path]))
          << path << " was copied rather than cut in place";
    }
    // A batch's cuts come before its renames, so that one flush covers
    // both; each kept the list's order.
    for (const bool cuts : {false, true}) {
      const auto ofKind = [&](std::vector<stdfs::path> paths) {
        paths.erase(std::remove_if(paths.begin(), paths.end(),
                                   [&](const stdfs::path &path) {
                                     return (::stat(path.c_str(), &status) == 0 &&
                                             status.st_ino == inodes[path]) != cuts;
                                   }),
                    paths.end());
        return paths;
      };
      EXPECT_EQ(ofKind(order), ofKind(replaced))
          << "the " << (cuts ? "cuts" : "renames") << " did not follow the list's order";
    }
    stdfs::remove(tracePath);
  }

  Scratch scratch_;
  std::unique_ptr<TmpfsVolume> far_;
  std::map<std::string, std::string> originals_;
};

// A dry run claims no folder, not even for a moment: a run starting over
// the same tree then would be turned away as busy.
TEST_F(CrashOrderingTest, DryRunClaimsNoFolder) {
  for (const auto &[name, bytes] : originals_)
    scratch_.file(name, bytes);
  const stdfs::path tracePath = scratch_.root() / "trace";
  const ProgramRun run =
      RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", tracePath.string(), "-e", "trace=flock",
                  TAILSNIP_CLI_PATH, "--dry-run", "--quiet", scratch_.tree().string()},
                 scratch_.cwd().string(), hardening::SanitizerEnvironment(true),
                 std::chrono::seconds(60), (scratch_.root() / "capture").string());
  ASSERT_TRUE(run.exited() && run.exitCode == 0) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("", ReadWholeFile(tracePath.string()));
}

TEST_F(CrashOrderingTest, CopyIsFlushedAndClosedBeforeItIsRenamedOverTheEntry) {
  traceRun(scratch_.cwd());
  EXPECT_TRUE(stdfs::is_empty(scratch_.cwd())) << "a copy was left in the current directory";
}

TEST_F(CrashOrderingTest, FilesCutInPlaceAreFlushedBeforeTheJournalIsRemoved) {
  traceRun(scratch_.cwd(), false, true);
  traceRun(scratch_.cwd(), true, true); // each flushed on its own
}

TEST_F(CrashOrderingTest, TemporaryNameTakenByAnEntryChangesNothingInTheOrder) {
  traceRun(scratch_.tree() / "work");
}

TEST_F(CrashOrderingTest, WithoutAVolumeFlushEachCopyIsFlushedBeforeItsRename) {
  // Enough copies in one batch that several threads flush at once.
  for (int n = 0; n < 40; ++n) {
    const std::string name = "many/" + std::to_string(n);
    originals_[name] = "a\nb\n";
    scratch_.file(name, originals_[name]);
  }
  traceRun(scratch_.cwd(), true);
}

// A power cut takes a tree kept in memory with it, and the journal would
// have nothing left to finish: only a tree on a disk has its journal flushed.
TEST_F(CrashOrderingTest, OnlyTheJournalOfATreeOnADiskIsFlushed) {
  if (!far_->mounted())
    GTEST_SKIP() << far_->problem();
  // Flushes of files in the journal folder: the journal, unnamed until whole.
  const std::string journals = "<" + (scratch_.root() / "state" / "tailsnip").string() + "/";
  const auto journalFlushes = [&](const stdfs::path &tree) {
    const stdfs::path tracePath = scratch_.root() / "flushes";
    std::vector<std::string> environment = hardening::SanitizerEnvironment(true);
    environment.push_back("XDG_STATE_HOME=" + (scratch_.root() / "state").string());
    const ProgramRun run =
        RunProgram({"/usr/bin/strace", "-f", "-y", "-o", tracePath.string(), "-e",
                    "trace=fsync,fdatasync", TAILSNIP_CLI_PATH, "--quiet", tree.string()},
                   scratch_.cwd().string(), environment, std::chrono::seconds(60),
                   (scratch_.root() / "capture").string());
    EXPECT_TRUE(run.exited() && run.exitCode == 0) << "tailsnip-cli " << run.describe();
    const std::string trace = ReadWholeFile(tracePath.string());
    std::size_t flushes = 0;
    for (std::size_t at = trace.find(journals); at != std::string::npos;
         at = trace.find(journals, at + 1))
      ++flushes;
    return flushes;
  };
  EXPECT_EQ(0u, journalFlushes(scratch_.tree() / "far")) << "on tmpfs";
  struct statfs volume;
  if (::statfs(scratch_.tree().c_str(), &volume) == 0 && volume.f_type != TMPFS_MAGIC) {
    EXPECT_LT(0u, journalFlushes(scratch_.tree() / "deep")) << "on a disk";
  }
}

// A run given `arguments` (by default, with simple backups over the scratch
// tree), its state kept there, killed at the `when`th call of `call`
// (strace's fault injection); then, once `meanwhile` has run, its --resume
// over the tree.
ProgramRun KillAndResume(
    const Scratch &scratch, const std::string &call, int when,
    const std::function<void()> &meanwhile = [] {}, std::vector<std::string> arguments = {}) {
  std::vector<std::string> environment = hardening::SanitizerEnvironment(true);
  environment.push_back("XDG_STATE_HOME=" + (scratch.root() / "state").string());
  const std::string capture = (scratch.root() / "capture").string();
  const std::string inject = "inject=" + call + ":signal=KILL:when=" + std::to_string(when);
  std::vector<std::string> killedRun{
      "/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", inject,
      TAILSNIP_CLI_PATH};
  if (arguments.empty())
    arguments = {"--backup=simple", scratch.tree().string()};
  killedRun.insert(killedRun.end(), arguments.begin(), arguments.end());
  const ProgramRun killed =
      RunProgram(killedRun, scratch.cwd().string(), environment, std::chrono::seconds(60), capture);
  EXPECT_EQ(SIGKILL, killed.signal) << "tailsnip-cli " << killed.describe();
  meanwhile();
  return RunProgram({TAILSNIP_CLI_PATH, "--resume", scratch.tree().string()},
                    scratch.cwd().string(), environment, std::chrono::seconds(60), capture);
}

// Killed as it gives a file its simple backup, the earlier backup kept
// aside, the run is resumed while another program holds the file: the file
// is kept, and so is the earlier backup, under its own name again.
TEST(KilledRunTest, EarlierSimpleBackupKeptAsideIsPutBackWhereTheFileIsKept) {
  Scratch scratch;
  const stdfs::path file = scratch.file("f", "a\nb\nc\n");
  const stdfs::path earlier = scratch.file("f~", "earlier backup\n");
  int holder = -1;
  // The first link fails, the name taken; the second comes once it is aside.
  const ProgramRun resumed =
      KillAndResume(scratch, "linkat", 2, [&] { holder = ::open(file.c_str(), O_RDONLY); });
  ASSERT_LE(0, holder);
  ::close(holder);
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 1) << "tailsnip-cli " << resumed.describe();
  EXPECT_EQ("a\nb\nc\n", ReadWholeFile(file.string()));
  EXPECT_EQ("earlier backup\n", ReadWholeFile(earlier.string()));
  EXPECT_EQ(2, std::distance(stdfs::directory_iterator(scratch.tree()), {}))
      << "something was left beside the file and its backup";
}

// The simple backup a killed run made, a second name of its file, is the
// backup its --resume would make: taken as made, not moved aside and made
// again (which Windows refuses while the file is held).
TEST(KilledRunTest, SimpleBackupMadeByAKilledRunIsTakenAsMadeByItsResume) {
  Scratch scratch;
  const stdfs::path file = scratch.file("a", "1\n2\n3\n");
  const ProgramRun resumed = KillAndResume(scratch, "renameat2", 1);
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 0) << "tailsnip-cli " << resumed.describe();
  EXPECT_EQ("1\r\n2\r\n", ReadWholeFile(file.string()));
  EXPECT_EQ("1\n2\n3\n", ReadWholeFile(file.string() + "~"));
  EXPECT_EQ(2, std::distance(stdfs::directory_iterator(scratch.tree()), {}))
      << "something was left beside the file and its backup";
}

// Killed as it puts the copy of a file's second name in place, the first
// name's already replaced: the copy never took its place, and its --resume
// removes it, as it does every copy of its own.
TEST(KilledRunTest, CopyOfASecondNameThatNeverTookItsPlaceIsRemovedByTheResume) {
  Scratch scratch;
  const stdfs::path first = scratch.file("a", "1\n2\n");
  ASSERT_EQ(0, ::link(first.c_str(), (scratch.tree() / "b").c_str()));
  const ProgramRun resumed = KillAndResume(scratch, "renameat2", 2);
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 0) << "tailsnip-cli " << resumed.describe();
  for (const char *name : {"a", "b"})
    EXPECT_EQ("1\r\n", ReadWholeFile((scratch.tree() / name).string())) << name;
  std::size_t copies = 0;
  for (const auto &entry : stdfs::directory_iterator(scratch.tree()))
    copies += entry.path().filename().string().rfind(".tailsnip-", 0) == 0 ? 1 : 0;
  EXPECT_EQ(0u, copies) << "a copy was left";
}

// Killed as it puts a file's copy in place, the run is resumed once the
// file's folder was moved within the tree: the copy left there is found by
// the folder's identity, and removed.
TEST(KilledRunTest, CopyLeftInAFolderMovedBeforeTheResumeIsRemoved) {
  Scratch scratch;
  scratch.file("sub/deeper/a", "1\n2\n");
  const ProgramRun resumed = KillAndResume(scratch, "renameat2", 1, [&] {
    stdfs::create_directory(scratch.tree() / "elsewhere");
    stdfs::rename(scratch.tree() / "sub", scratch.tree() / "elsewhere" / "moved");
  });
  EXPECT_TRUE(resumed.exited()) << "tailsnip-cli " << resumed.describe();
  EXPECT_EQ("1\n2\n", ReadWholeFile((scratch.tree() / "elsewhere/moved/deeper/a").string()));
  for (const auto &entry : stdfs::recursive_directory_iterator(scratch.tree()))
    EXPECT_NE(0u, entry.path().filename().string().rfind(".tailsnip-", 0))
        << "left: " << entry.path();
}

// Killed as it puts a file's copy in place, the run is resumed once the
// file's folder was moved out of the tree: the copy left there is out of
// reach, and the resume says where it went.
TEST(KilledRunTest, FolderMovedOutOfTheTreeBeforeTheResumeIsToldOfWithTheCopyInIt) {
  Scratch scratch;
  scratch.file("sub/deeper/a", "1\n2\n");
  const stdfs::path away = scratch.root() / "away";
  const ProgramRun resumed =
      KillAndResume(scratch, "renameat2", 1, [&] { stdfs::rename(scratch.tree() / "sub", away); });
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 1) << "tailsnip-cli " << resumed.describe();
  EXPECT_NE(std::string::npos,
            resumed.errors.find("'" + (scratch.tree() / "sub").string() +
                                "' is no longer in the tree: any copy the stopped run left in it"))
      << resumed.errors;
  EXPECT_EQ(std::string::npos, resumed.errors.find("/sub/deeper'")) << "told of twice";
}

// Killed as it puts its journal in place, a run has changed nothing, and
// leaves the journal's draft, which names every entry: its --resume finds
// no run to resume, and lets the draft go.
TEST(KilledRunTest, DraftOfAJournalNotYetInPlaceIsLetGoByTheResume) {
  Scratch scratch;
  const stdfs::path file = scratch.file("a", "1\n2\n");
  const ProgramRun resumed = KillAndResume(scratch, "renameat", 1);
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 2) << "tailsnip-cli " << resumed.describe();
  EXPECT_EQ("1\n2\n", ReadWholeFile(file.string()));
  EXPECT_TRUE(stdfs::is_empty(scratch.root() / "state" / "tailsnip")) << "a draft was left";
}

// Killed as it writes its journal, a run has changed nothing, and leaves
// no draft for a later run over the folder to clear away: there may be
// none.
TEST(KilledRunTest, RunKilledWritingItsJournalLeavesNoDraft) {
  Scratch scratch;
  const stdfs::path file = scratch.file("a", "1\n2\n");
  std::vector<std::string> left;
  KillAndResume(scratch, "fsync", 1, [&] {
    for (const auto &entry : stdfs::directory_iterator(scratch.root() / "state" / "tailsnip"))
      left.push_back(entry.path().filename().string());
  });
  EXPECT_EQ(std::vector<std::string>{}, left);
  EXPECT_EQ("1\n2\n", ReadWholeFile(file.string()));
}

// A stop that comes once every file is cut (at the removal of the run's
// marker, before its journal's) stops nothing: "finished!", and status 0
// to say so; 128 + N would tell a script that a stopped run waits.
TEST(KilledRunTest, StopAfterTheLastFileIsNoStop) {
  Scratch scratch;
  const stdfs::path file = scratch.file("f", "a\nb\n");
  std::vector<std::string> environment = hardening::SanitizerEnvironment(true);
  environment.push_back("XDG_STATE_HOME=" + (scratch.root() / "state").string());
  const ProgramRun run =
      RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlinkat", "-e",
                  "inject=unlinkat:signal=TERM:when=1", TAILSNIP_CLI_PATH, "--keep-line-ends",
                  scratch.tree().string()},
                 scratch.cwd().string(), environment, std::chrono::seconds(60),
                 (scratch.root() / "capture").string());
  EXPECT_TRUE(run.exited() && run.exitCode == 0) << "tailsnip-cli " << run.describe();
  EXPECT_EQ("finished!\n", run.output);
  EXPECT_EQ("a\n", ReadWholeFile(file.string()));
}

// Resumed, a run counts as done only the files its stopped run shortened:
// the backup it made in place of an earlier one is left alone, as the
// stopped run left it.
TEST(KilledRunTest, BackupMadeByTheStoppedRunIsNotCountedAsAFileItShortened) {
  Scratch scratch;
  scratch.file("a", "1\n2\n");
  scratch.file("a~", "earlier backup\n");
  scratch.file("b", "1\n2\n");
  // Both files replaced, the earlier backup let go: then the kill.
  const ProgramRun resumed = KillAndResume(scratch, "unlinkat", 3);
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 0) << "tailsnip-cli " << resumed.describe();
  EXPECT_NE(std::string::npos, resumed.errors.find("done before the run was stopped: 2;"))
      << resumed.errors;
  EXPECT_EQ("1\r\n", ReadWholeFile((scratch.tree() / "a").string()));
  EXPECT_EQ("1\n2\n", ReadWholeFile((scratch.tree() / "a~").string()));
}

// A file another program changed after the run was killed, where the run
// had not come to change it, is no file the run shortened: its --resume
// keeps it and says so, rather than count it done, and removes the copy
// the run had written of it. So too where the run had cut a file listed
// after it, as a batch's cuts come before its copies.
TEST(KilledRunTest, FileChangedWhereTheKilledRunHadNotComeIsKeptAndToldOf) {
  Scratch scratch;
  const stdfs::path a = scratch.file("a", "1\n2\n"), b = scratch.file("b", "1\n2\n"),
                    c = scratch.file("c", "1\n2\n"), d = scratch.file("d", "1\r\n2\r\n");
  // "d" cut, "a" replaced, "b" about to be: then the kill.
  const ProgramRun resumed =
      KillAndResume(scratch, "renameat2", 2, [&] { std::ofstream(c, std::ios::app) << "3\n"; },
                    {a.string(), b.string(), c.string(), d.string()});
  EXPECT_TRUE(resumed.exited() && resumed.exitCode == 1) << "tailsnip-cli " << resumed.describe();
  EXPECT_NE(std::string::npos, resumed.errors.find("done before the run was stopped: 2;"))
      << resumed.errors;
  EXPECT_NE(std::string::npos, resumed.output.find("c: changed during the run")) << resumed.output;
  EXPECT_EQ("1\r\n", ReadWholeFile(a.string()));
  EXPECT_EQ("1\r\n", ReadWholeFile(b.string()));
  EXPECT_EQ("1\n2\n3\n", ReadWholeFile(c.string()));
  EXPECT_EQ("1\r\n", ReadWholeFile(d.string()));
  for (const auto &entry : stdfs::directory_iterator(scratch.tree()))
    EXPECT_NE(0u, entry.path().filename().string().rfind(".tailsnip-", 0))
        << "the copy of a file the run never came to was left: " << entry.path();
}

} // namespace
} // namespace tailsnip
