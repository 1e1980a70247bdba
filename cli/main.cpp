// tailsnip-cli: removes the last line from every file beneath a folder.
//
// Standard output carries what scripts read: the run's notice (and, in a dry
// run, the entries that would be shortened). Standard error carries what
// people read: the progress line, each entry's outcome when asked for, and
// the summary. Exit status: 0 when every entry was handled, 1 when any entry
// or folder could not be (or standard output could not be written), 2 on a
// usage error or while a stopped run waits to be resumed or restarted, and
// then nothing is touched; 128 + N when signal N stopped the run.
#include "cli/Console.h"
#include "cli/Names.h"
#include "cli/Progress.h"
#include "cli/Signals.h"
#include "cli/StoppedRun.h"
#include "engine/run/RunLock.h"
#include "engine/run/RunTrim.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

using namespace tailsnip;
using cli::QuoteName;

constexpr int kAllHandled = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;

// Enough copies to share one flush among many files, few enough that their
// open files stay far below the usual limit of 1024 descriptors.
constexpr std::size_t kCopiesInFlight = 256;

// Long enough that quick runs never flash a line, short enough to reassure.
constexpr std::chrono::milliseconds kProgressDelay{500};

const char kUsage[] = "usage: tailsnip-cli [OPTION]... FOLDER\n";

const char kHelp[] =
    "Removes the last line from every file beneath FOLDER, at any depth.\n"
    "\n"
    "Each file is replaced by a copy without its last line, with CR LF line\n"
    "ends, written to temp.txt in the current directory and renamed over it.\n"
    "Empty files, folders, links, pipes and devices are left alone; read-only\n"
    "files are kept and reported.\n"
    "\n"
    "  -n, --dry-run          list the files that would be shortened; change nothing\n"
    "  -0, --null             with --dry-run: end each listed name with a NUL, not\n"
    "                         a line feed, and print the notice on standard error\n"
    "  -q, --quiet            no progress line and no summary\n"
    "      --progress         show progress from the start, terminal or not\n"
    "  -v, --verbose          print each entry's outcome on standard error\n"
    "      --exclude=GLOB     leave out entries that match GLOB; an excluded folder\n"
    "                         is not entered\n"
    "      --include=GLOB     shorten only files that match GLOB\n"
    "  -x, --one-file-system  do not enter folders on other file systems\n"
    "      --resume           finish the run over FOLDER that was stopped\n"
    "      --restart          forget the run over FOLDER that was stopped, and\n"
    "                         run anew\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "A GLOB holding a '/' is matched against the path below FOLDER, any other\n"
    "against the entry's name; '*' and '?' never match a '/'. --exclude and\n"
    "--include may be given more than once.\n"
    "\n"
    "Before the first change, a run records its list of entries in its journal\n"
    "(in $XDG_STATE_HOME/tailsnip, else ~/.local/state/tailsnip), removed when\n"
    "the run ends. A run that was stopped is refused until --resume finishes it\n"
    "or --restart forgets it.\n"
    "\n"
    "Exit status: 0 when every entry was handled, 1 when any could not be,\n"
    "2 on a usage error or while a stopped run waits for --resume or --restart,\n"
    "128 + N when signal N stopped the run.\n";

struct Options {
  bool dryRun = false;
  bool nullSeparated = false;
  bool quiet = false;
  bool forceProgress = false;
  bool verbose = false;
  bool oneFileSystem = false;
  bool resume = false;
  bool restart = false;
  std::vector<std::string> excludes;
  std::vector<std::string> includes;
  std::string folder;
};

// The first error met while writing standard output, for the end.
int outputError = 0;

void FlushOutput() {
  if (std::fflush(stdout) != 0 && outputError == 0)
    outputError = errno;
}

// A full disk or a closed pipe behind standard output is a failure: a
// script must not take a cut-off list for a whole one.
int CloseOutput(int status) {
  errno = 0;
  const bool failed = std::ferror(stdout) != 0;
  if (std::fclose(stdout) != 0 && outputError == 0)
    outputError = errno;
  if (!failed && outputError == 0)
    return status;
  if (outputError != 0)
    std::fprintf(stderr, "tailsnip-cli: write error: %s\n", std::strerror(outputError));
  else
    std::fprintf(stderr, "tailsnip-cli: write error\n");
  return status == kAllHandled ? kSomeFailed : status;
}

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

// Patterns are written with '/', whatever the platform's separator.
std::string NativeGlob(std::string glob) {
  for (char &c : glob)
    if (c == '/')
      c = kPathSeparator;
  return glob;
}

enum LongOnly { kProgress = 256, kExclude, kInclude, kVersion, kResume, kRestart };

const option kLongOptions[] = {
    {"dry-run", no_argument, nullptr, 'n'},
    {"null", no_argument, nullptr, '0'},
    {"quiet", no_argument, nullptr, 'q'},
    {"progress", no_argument, nullptr, kProgress},
    {"verbose", no_argument, nullptr, 'v'},
    {"exclude", required_argument, nullptr, kExclude},
    {"include", required_argument, nullptr, kInclude},
    {"one-file-system", no_argument, nullptr, 'x'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"resume", no_argument, nullptr, kResume},
    {"restart", no_argument, nullptr, kRestart},
    {nullptr, 0, nullptr, 0},
};

// Returns -1 when the options are complete, or the exit status to end with.
int ParseOptions(int argc, char **argv, Options &options) {
  ::opterr = 0; // our own messages, one line each
  for (int code; (code = ::getopt_long(argc, argv, "n0qvxh", kLongOptions, nullptr)) != -1;) {
    switch (code) {
    case 'n':
      options.dryRun = true;
      break;
    case '0':
      options.nullSeparated = true;
      break;
    case 'q':
      options.quiet = true;
      break;
    case kProgress:
      options.forceProgress = true;
      break;
    case 'v':
      options.verbose = true;
      break;
    case kExclude:
      options.excludes.push_back(NativeGlob(::optarg));
      break;
    case kInclude:
      options.includes.push_back(NativeGlob(::optarg));
      break;
    case 'x':
      options.oneFileSystem = true;
      break;
    case kResume:
      options.resume = true;
      break;
    case kRestart:
      options.restart = true;
      break;
    case 'h':
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return kAllHandled;
    case kVersion:
      std::printf("tailsnip-cli %s\n", TAILSNIP_VERSION);
      return kAllHandled;
    default:
      if (::optopt == kExclude || ::optopt == kInclude)
        return UsageError("option '" + std::string(argv[::optind - 1]) + "' needs a GLOB");
      if (::optopt != 0)
        return UsageError("unknown option '-" +
                          QuoteName(std::string(1, static_cast<char>(::optopt))) + "'");
      return UsageError("unknown option '" + QuoteName(argv[::optind - 1]) + "'");
    }
  }
  if (::optind == argc)
    return UsageError("missing FOLDER operand");
  if (argc - ::optind > 1)
    return UsageError("extra operand '" + QuoteName(argv[::optind + 1]) + "'");
  options.folder = argv[::optind];
  if (options.nullSeparated && !options.dryRun)
    return UsageError("--null lists names, which only --dry-run does");
  if (options.resume && options.restart)
    return UsageError("--resume and --restart exclude each other");
  if ((options.resume || options.restart) && options.dryRun)
    return UsageError("a dry run records no run to resume or restart");
  if (options.resume &&
      (!options.excludes.empty() || !options.includes.empty() || options.oneFileSystem))
    return UsageError("--resume works through the recorded list; it takes no walk options");
  if (options.folder.empty())
    return UsageError("the folder is an empty name");
  if (!cli::IsFolder(options.folder)) {
    if (options.resume)
      cli::ExplainVanishedFolder(options.folder);
    return UsageError("'" + QuoteName(options.folder) + "' is not an existing folder");
  }
  options.folder = WithoutTrailingSeparators(options.folder);
  return -1;
}

bool MatchesAny(const std::vector<std::string> &globs, const std::string &relative) {
  const std::size_t separator = relative.find_last_of(kPathSeparator);
  const std::string name =
      separator == std::string::npos ? relative : relative.substr(separator + 1);
  for (const std::string &glob : globs) {
    const bool wholePath = glob.find(kPathSeparator) != std::string::npos;
    if (cli::MatchGlob(glob, wholePath ? relative : name, kPathSeparator))
      return true;
  }
  return false;
}

WalkOptions WalkOptionsFor(const Options &options) {
  WalkOptions walk;
  walk.oneFileSystem = options.oneFileSystem;
  if (!options.excludes.empty() || !options.includes.empty())
    walk.include = [&options](const std::string &relative, bool isFolder) {
      if (MatchesAny(options.excludes, relative))
        return false;
      return isFolder || options.includes.empty() || MatchesAny(options.includes, relative);
    };
  return walk;
}

void PrintOutcome(const FolderPath &path, const TrimResult &result, bool dryRun) {
  const std::string shown = QuoteName(path);
  switch (result.outcome) {
  case Outcome::Shortened:
    std::fprintf(stderr, "%s %s\n", dryRun ? "would shorten" : "shortened", shown.c_str());
    break;
  case Outcome::LeftUnchanged:
    std::fprintf(stderr, "%s %s: %s\n",
                 result.reason == Reason::NoLines ? "unchanged" : "left alone", shown.c_str(),
                 DescribeReason(result.reason));
    break;
  case Outcome::Failed:
    std::fprintf(stderr, "failed %s: %s\n", shown.c_str(), DescribeReason(result.reason));
    break;
  }
}

void PrintSummary(const RunReport &report, bool dryRun, double seconds) {
  if (report.alreadyDone > 0)
    std::fprintf(stderr, "done before the run was stopped: %zu; ", report.alreadyDone);
  std::fprintf(stderr,
               "%s %zu, unchanged %zu, failed %zu; folders and links left alone: %zu; "
               "read %s, %s %s in %.2f s\n",
               dryRun ? "would shorten" : "shortened", report.shortened,
               report.unchanged - report.notFiles, report.failures.size(), report.notFiles,
               cli::FormatBytes(report.bytesRead).c_str(), dryRun ? "would write" : "wrote",
               dryRun ? "nothing" : cli::FormatBytes(report.bytesWritten).c_str(), seconds);
}

int Run(const Options &options) {
  // Claimed before a stopped run's journal is looked at, so that its copies
  // are removed only while no run works in the folder.
  RunLock lock;
  FolderPath busy;
  if (!LockRun(options.folder, lock, busy)) {
    std::printf("%s\n", FormatBusy(cli::QuoteName(busy)).c_str());
    FlushOutput();
    return kUsageError;
  }
  cli::RunJournal journal;
  if (!options.dryRun) {
    const cli::JournalUse use = options.resume    ? cli::JournalUse::Resume
                                : options.restart ? cli::JournalUse::Restart
                                                  : cli::JournalUse::Plain;
    switch (journal.open(options.folder, use)) {
    case cli::Verdict::Go:
      break;
    case cli::Verdict::Failed:
      return kSomeFailed;
    case cli::Verdict::Refused:
      return kUsageError;
    }
  }

  const bool onTerminal = cli::IsTerminal(stderr);
  const bool showProgress =
      !options.quiet && !options.verbose && (options.forceProgress || onTerminal);
  cli::ProgressLine progress(stderr,
                             options.forceProgress
                                 ? cli::ProgressLine::Clock::duration::zero()
                                 : cli::ProgressLine::Clock::duration(kProgressDelay),
                             onTerminal);
  RunOptions run;
  run.dryRun = options.dryRun;
  // Copies are flushed together: one wait for the disk per batch, not per file.
  run.copiesInFlight = kCopiesInFlight;
  run.walk = WalkOptionsFor(options);
  run.showPath = [](const FolderPath &path) { return QuoteName(path); };
  run.stopRequested = [] { return cli::StopSignal() != 0; };
  run.onListed = [&](std::size_t listed) { progress.setListed(listed); };
  run.onEntry = [&](const FolderPath &path, const TrimResult &result) {
    if (options.dryRun && result.outcome == Outcome::Shortened) {
      if (options.nullSeparated)
        std::fwrite(path.c_str(), 1, path.size() + 1, stdout);
      else
        std::printf("%s\n", QuoteName(path).c_str());
    }
    if (options.verbose)
      PrintOutcome(path, result, options.dryRun);
    if (showProgress)
      progress.entryDone(result.bytesRead);
  };
  bool journalFailed = false;
  run.locked = true;
  if (journal.resuming()) {
    run.plan = Plan{journal.plan(), journal.planFolders(options.folder)};
    run.isDone = [&journal](std::size_t index, const FolderPath &path) {
      return journal.isDone(index, path);
    };
  } else if (!options.dryRun) {
    run.beforeChanges = [&](const WorkList &list) {
      journalFailed = !journal.record(list);
      return !journalFailed;
    };
  }

  std::FILE *const notices = options.nullSeparated ? stderr : stdout;
  const auto start = std::chrono::steady_clock::now();
  const RunReport report = RunTrim(
      options.folder,
      [&](const std::string &text) {
        progress.finish();
        std::fprintf(notices, "%s\n", text.c_str());
      },
      run);
  if (journalFailed)
    return kSomeFailed;
  // A run that ended before its last entry keeps its journal, to be
  // finished; one that changed nothing yet has nothing to finish.
  const bool unfinished = report.stopped || report.outOfMemory;
  if (journal.kept() && unfinished && (report.handled > 0 || journal.resuming()))
    std::fprintf(notices, "tailsnip-cli --resume %s finishes the run.\n",
                 cli::ShellWord(options.folder).c_str());
  else if (journal.kept())
    journal.finish();
  FlushOutput();
  if (!options.quiet)
    PrintSummary(report, options.dryRun,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  const bool allHandled = report.failures.empty() && !report.outOfMemory;
  return allHandled ? kAllHandled : kSomeFailed;
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  int status = ParseOptions(argc, argv, options);
  if (status < 0) {
    cli::CatchStopSignals();
    cli::AllowAllOpenFiles();
    status = Run(options);
  }
  status = CloseOutput(status);
  if (const int signal = cli::StopSignal())
    cli::EndBySignal(signal);
  return status;
}
