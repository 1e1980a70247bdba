// scale_run CLI: one trimming run over a tree of 200,000 small files in
// 2,000 folders and one over a tree 1,000 folders deep, each checked file
// by file, then one command of 2,000 runs over a FILE each, printing the
// time and the peak resident memory of each. A measurement, not a test of
// speed: it fails only when a file is wrong, a run fails, or the memory,
// grown as it does per file, would outgrow what a run over a million files
// may use.
#include "ProgramRun.h"
#include "ReferenceModel.h"

#include "PosixVolume.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using namespace tailsnip;

constexpr int kFolders = 2000;
constexpr int kFilesPerFolder = 100;
constexpr int kDepth = 1000;
// What grows with the tree is what the run keeps of each entry: its path
// and, for the journal, its stamp.
constexpr long kMemoryLimitKiB = 64 * 1024;
constexpr long kProjectedFiles = 1000000;

// Small files of every shape, each different from the others.
std::string Content(long index) {
  const std::string n = std::to_string(index);
  switch (index % 4) {
  case 0:
    return "file " + n + "\nsecond line\n";
  case 1:
    return "file " + n + "\r\nlone\rcarriage return\r\nno final end";
  case 2:
    return "the only line of " + n + "\n";
  default:
    return "file " + n + "\n\n\nlast";
  }
}

bool WriteFileAt(int folder, const char *name, const std::string &bytes) {
  const int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  const bool written = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  return ::close(fd) == 0 && written;
}

std::string ReadFileAt(int folder, const char *name) {
  std::string bytes;
  const int fd = ::openat(folder, name, O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(got));
  if (fd >= 0)
    ::close(fd);
  return bytes;
}

std::string FolderName(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "d%04d", index);
  return name;
}

std::string FileName(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "f%03d", index);
  return name;
}

// Runs tailsnip-cli over `tree`, prints its figures and sets `peakKiB`;
// false if it failed.
bool MeasuredRun(const char *cli, const char *label, const std::vector<std::string> &operands,
                 const stdfs::path &cwd, long &peakKiB) {
  std::vector<std::string> argv = {cli, "--quiet"};
  argv.insert(argv.end(), operands.begin(), operands.end());
  const hardening::ProgramRun run = hardening::RunProgram(
      argv, cwd.string(), {}, std::chrono::minutes(8), (cwd.parent_path() / "capture").string());
  std::printf("%s: %.2f s, peak resident %.1f MiB\n", label, run.seconds,
              static_cast<double>(run.peakResidentKiB) / 1024);
  if (!run.exited() || run.exitCode != 0 || run.output != "finished!\n") {
    std::printf("FAILED: tailsnip-cli %s\n", run.describe().c_str());
    return false;
  }
  if (run.peakResidentKiB > kMemoryLimitKiB) {
    std::printf("FAILED: the run needed more than %ld MiB\n", kMemoryLimitKiB / 1024);
    return false;
  }
  peakKiB = run.peakResidentKiB;
  return true;
}

bool WideTree(const char *cli, const stdfs::path &base, long &peakKiB) {
  const stdfs::path tree = base / "wide";
  stdfs::create_directories(tree);
  const int top = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int folder = 0; folder < kFolders; ++folder) {
    const std::string name = FolderName(folder);
    ::mkdirat(top, name.c_str(), 0755);
    const int fd = ::openat(top, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int file = 0; file < kFilesPerFolder; ++file)
      if (!WriteFileAt(fd, FileName(file).c_str(),
                       Content(long(folder) * kFilesPerFolder + file))) {
        std::printf("FAILED: could not build the tree in %s\n", tree.c_str());
        return false;
      }
    ::close(fd);
  }
  stdfs::create_directories(base / "cwd");
  if (!MeasuredRun(cli, "200,000 files in 2,000 folders", {tree.string()}, base / "cwd", peakKiB))
    return false;

  long checked = 0;
  long wrong = 0;
  for (int folder = 0; folder < kFolders; ++folder) {
    const int fd = ::openat(top, FolderName(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const std::string expected =
          reference::Shortened(Content(long(folder) * kFilesPerFolder + file));
      if (ReadFileAt(fd, FileName(file).c_str()) != expected && wrong++ < 5)
        std::printf("FAILED: %s/%s/%s is not correctly shortened\n", tree.c_str(),
                    FolderName(folder).c_str(), FileName(file).c_str());
      ++checked;
    }
    ::close(fd);
    if (std::distance(stdfs::directory_iterator(tree / FolderName(folder)),
                      stdfs::directory_iterator()) != kFilesPerFolder &&
        wrong++ < 5)
      std::printf("FAILED: a file was added to or lost from %s\n", FolderName(folder).c_str());
  }
  ::close(top);
  if (!stdfs::is_empty(base / "cwd")) {
    std::printf("FAILED: a copy was left in the current directory\n");
    ++wrong;
  }
  std::printf("  %ld files checked, %ld wrong\n", checked, wrong);
  return wrong == 0;
}

bool DeepTree(const char *cli, const stdfs::path &base, long &peakKiB) {
  const stdfs::path tree = base / "deep";
  stdfs::create_directories(tree);
  std::vector<int> levels = {::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (int level = 0; level < kDepth; ++level) {
    ::mkdirat(levels.back(), "d", 0755);
    levels.push_back(::openat(levels.back(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (levels.back() < 0 || !WriteFileAt(levels.back(), "f", Content(level))) {
      std::printf("FAILED: could not build the tree in %s\n", tree.c_str());
      return false;
    }
  }
  stdfs::create_directories(base / "cwd-deep");
  const bool ran =
      MeasuredRun(cli, "1,000 levels deep", {tree.string()}, base / "cwd-deep", peakKiB);
  long checked = 0;
  long wrong = 0;
  for (int level = 0; ran && level < kDepth; ++level, ++checked)
    if (ReadFileAt(levels[static_cast<std::size_t>(level) + 1], "f") !=
            reference::Shortened(Content(level)) &&
        wrong++ < 5)
      std::printf("FAILED: the file at level %d is not correctly shortened\n", level + 1);
  for (const int fd : levels)
    ::close(fd);
  if (ran)
    std::printf("  %ld files checked, %ld wrong\n", checked, wrong);
  return ran && wrong == 0;
}

// A FILE named through ".." is run over on its own: what each run keeps
// must stay small where a list makes thousands.
bool SeparateRuns(const char *cli, const stdfs::path &base) {
  std::vector<std::string> operands;
  for (int folder = 0; folder < kFolders; ++folder)
    operands.push_back(FolderName(folder) + "/../" + FolderName(folder) + "/" + FileName(0));
  long peakKiB = 0;
  return MeasuredRun(cli, "2,000 FILEs, a run each", operands, base / "wide", peakKiB);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: scale_run TAILSNIP-CLI\n");
    return 2;
  }
  // On a tmpfs of its own when mounting is allowed: flushing is then free,
  // so the figures are the engine's and the trees vanish with the mount.
  const stdfs::path base =
      stdfs::temp_directory_path() / ("tailsnip-scale-" + std::to_string(::getpid()));
  stdfs::create_directories(base);
  auto volume = std::make_unique<testing::TmpfsVolume>(base, std::size_t{4} << 30);
  std::printf("trees in %s (%s)\n", base.c_str(),
              volume->mounted() ? "a tmpfs of their own" : volume->problem().c_str());
  const std::string cli = stdfs::absolute(argv[1]).string(); // runs elsewhere
  long widePeakKiB = 0;
  long deepPeakKiB = 0;
  const bool wide = WideTree(cli.c_str(), base, widePeakKiB);
  const bool deep = DeepTree(cli.c_str(), base, deepPeakKiB);
  const bool separate = wide && SeparateRuns(cli.c_str(), base);
  volume.reset();
  std::error_code ignored;
  stdfs::remove_all(base, ignored);
  if (!wide || !deep || !separate)
    return 1;
  // The deep tree's 2,000 entries leave the run's own needs: threads, buffers.
  const long perFileBytes = (widePeakKiB - deepPeakKiB) * 1024 / (long(kFolders) * kFilesPerFolder);
  const long projectedKiB = deepPeakKiB + perFileBytes * kProjectedFiles / 1024;
  std::printf("memory grows by %ld bytes a file: %ld files would take about %.1f MiB\n",
              perFileBytes, kProjectedFiles, static_cast<double>(projectedKiB) / 1024);
  if (projectedKiB > kMemoryLimitKiB) {
    std::printf("FAILED: that is more than %ld MiB\n", kMemoryLimitKiB / 1024);
    return 1;
  }
  return 0;
}
