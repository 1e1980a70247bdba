// tailsnip-cli: removes the last line from every file beneath a folder.
//
// Standard output carries what scripts read: the run's notice (and, in a dry
// run, the entries that would be shortened). Standard error carries what
// people read: the progress line and the summary. Exit status: 0 when every
// entry was handled, 1 when any entry or folder could not be, 2 on a usage
// error, and then nothing is touched.
#include "cli/Console.h"
#include "cli/Progress.h"
#include "engine/RunTrim.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace tailsnip;

constexpr int kAllHandled = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;

// Long enough that quick runs never flash a line, short enough to reassure.
constexpr std::chrono::milliseconds kProgressDelay{500};

const char kUsage[] = "usage: tailsnip-cli [--dry-run] [--quiet] [--progress] FOLDER\n";

const char kHelp[] = "Removes the last line from every file beneath FOLDER, at any depth.\n"
                     "\n"
                     "Each file is replaced by a copy without its last line, with CR LF line\n"
                     "ends, written to temp.txt in the current directory and renamed over it.\n"
                     "Empty files, folders, links, pipes and devices are left alone; read-only\n"
                     "files are kept and reported.\n"
                     "\n"
                     "  --dry-run   list the files that would be shortened; change nothing\n"
                     "  --quiet     no progress line and no summary\n"
                     "  --progress  show the progress line from the start, terminal or not\n"
                     "  --help      show this help\n"
                     "  --version   show the version\n"
                     "\n"
                     "Exit status: 0 when every entry was handled, 1 when any could not be,\n"
                     "2 on a usage error.\n";

struct Options {
  bool dryRun = false;
  bool quiet = false;
  bool forceProgress = false;
  std::string folder;
};

int UsageError(const std::string &message) {
  std::fprintf(stderr, "tailsnip-cli: %s (see tailsnip-cli --help)\n", message.c_str());
  return kUsageError;
}

// "dir/" and "dir" name the same folder; entries read better without "//".
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == kPathSeparator)
    path.pop_back();
  return path;
}

// Returns -1 when the options are complete, or the exit status to end with.
int ParseOptions(int argc, char **argv, Options &options) {
  bool onlyOperands = false;
  int operands = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!onlyOperands && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        onlyOperands = true;
      } else if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return kAllHandled;
      } else if (arg == "--version") {
        std::printf("tailsnip-cli %s\n", TAILSNIP_VERSION);
        return kAllHandled;
      } else if (arg == "--dry-run" || arg == "-n") {
        options.dryRun = true;
      } else if (arg == "--quiet" || arg == "-q") {
        options.quiet = true;
      } else if (arg == "--progress") {
        options.forceProgress = true;
      } else {
        return UsageError("unknown option '" + arg + "'");
      }
      continue;
    }
    options.folder = arg;
    ++operands;
  }
  if (operands != 1) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (options.folder.empty())
    return UsageError("the folder is an empty name");
  if (!cli::IsFolder(options.folder))
    return UsageError("'" + options.folder + "' is not an existing folder");
  options.folder = WithoutTrailingSeparators(options.folder);
  return -1;
}

void PrintSummary(const RunReport &report, bool dryRun, double seconds) {
  std::fprintf(stderr, "%s %zu, unchanged %zu, failed %zu; read %s, %s %s in %.2f s\n",
               dryRun ? "would shorten" : "shortened", report.shortened, report.unchanged,
               report.failures.size(), cli::FormatBytes(report.bytesRead).c_str(),
               dryRun ? "would write" : "wrote",
               dryRun ? "nothing" : cli::FormatBytes(report.bytesWritten).c_str(), seconds);
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0)
    return status;

  const bool showProgress = !options.quiet && (options.forceProgress || cli::IsTerminal(stderr));
  cli::ProgressLine progress(stderr, options.forceProgress
                                         ? cli::ProgressLine::Clock::duration::zero()
                                         : cli::ProgressLine::Clock::duration(kProgressDelay));
  RunOptions run;
  run.dryRun = options.dryRun;
  run.onListed = [&](std::size_t listed) { progress.setListed(listed); };
  run.onEntry = [&](const FolderPath &path, const TrimResult &result) {
    if (options.dryRun && result.outcome == Outcome::Shortened)
      std::printf("%s\n", path.c_str());
    if (showProgress)
      progress.entryDone(result.bytesRead);
  };

  const auto start = std::chrono::steady_clock::now();
  const RunReport report = RunTrim(
      options.folder,
      [&](const std::string &text) {
        progress.finish();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
      },
      run);
  if (!options.quiet)
    PrintSummary(report, options.dryRun,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  const bool allHandled = report.failures.empty() && !report.outOfMemory;
  return allHandled ? kAllHandled : kSomeFailed;
}
