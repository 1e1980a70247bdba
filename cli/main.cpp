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
#include "cli/Count.h"
#include "cli/Names.h"
#include "cli/Progress.h"
#include "cli/Signals.h"
#include "cli/StoppedRun.h"
#include "engine/run/RunLock.h"
#include "engine/run/RunTrim.h"

#include <atomic>
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
    "ends, written to temp.txt in the current directory and renamed over it:\n"
    "without --lines and --keep-line-ends, each file ends up as the Tailsnip\n"
    "dialog leaves it.\n"
    "Empty files, folders, links, pipes and devices are left alone; read-only\n"
    "files are kept and reported.\n"
    "\n"
    "  -l, --lines=N          remove the last N lines (default 1); a file of N\n"
    "                         lines or fewer becomes empty. N may end in a\n"
    "                         multiplier: b 512, K 1024, KB 1000, M, MB and so on\n"
    "  -k, --keep-line-ends   leave every byte before the removed lines as it is,\n"
    "                         line ends too, rather than writing CR LF\n"
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
    "      --no-preserve-root run even when FOLDER is a root folder\n"
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
    "A root folder is refused unless --no-preserve-root is given: '/', by any\n"
    "name or link (on Windows, the root of any drive or volume), since every\n"
    "file beneath it would lose a line.\n"
    "\n"
    "Before the first change, a run records its list of entries in its journal\n"
    "(in $XDG_STATE_HOME/tailsnip, else ~/.local/state/tailsnip), removed when\n"
    "the run ends. A run that was stopped is refused until --resume finishes it\n"
    "or --restart forgets it. --resume removes as many lines, and writes line\n"
    "ends, as the stopped run did; it refuses a --lines or --keep-line-ends that\n"
    "differs from the stopped run's.\n"
    "\n"
    "Exit status: 0 when every entry was handled, 1 when any could not be,\n"
    "2 on a usage error or while a stopped run waits for --resume or --restart,\n"
    "128 + N when signal N stopped the run.\n";

struct Options {
  TrimSettings trim;
  bool trimGiven = false; // --lines or --keep-line-ends
  bool dryRun = false;
  bool nullSeparated = false;
  bool quiet = false;
  bool forceProgress = false;
  bool verbose = false;
  bool oneFileSystem = false;
  bool resume = false;
  bool restart = false;
  bool noPreserveRoot = false;
  std::vector<std::string> excludes;
  std::vector<std::string> includes;
  std::string folder;
};

// The first error met while writing standard output: a run stops at it, as
// at a stop signal, since a script must not take a cut-off list for a whole
// one. Read by the thread that starts entries.
std::atomic<int> outputError{0};

// Notes the error of the write to standard output that just failed, if any.
void NoteOutputError() {
  if (outputError == 0 && std::ferror(stdout) != 0)
    outputError = errno != 0 ? errno : EIO;
}

void FlushOutput() {
  errno = 0;
  std::fflush(stdout);
  NoteOutputError();
}

// A full disk or a closed pipe behind standard output is a failure.
int CloseOutput(int status) {
  FlushOutput();
  errno = 0;
  if (std::fclose(stdout) != 0 && outputError == 0)
    outputError = errno != 0 ? errno : EIO;
  if (outputError == 0)
    return status;
  std::fprintf(stderr, "tailsnip-cli: write error: %s\n", std::strerror(outputError));
  return status == kAllHandled ? kSomeFailed : status;
}

// Shows `text`, of the run's notice, on `stream`; what standard output could
// not carry goes to standard error, so that a stop is still explained.
void SayNotice(std::FILE *stream, const std::string &text) {
  if (stream == stdout && outputError == 0) {
    std::printf("%s\n", text.c_str());
    FlushOutput();
    if (outputError == 0)
      return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
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

enum LongOnly { kProgress = 256, kExclude, kInclude, kVersion, kResume, kRestart, kNoPreserveRoot };

const option kLongOptions[] = {
    {"lines", required_argument, nullptr, 'l'},
    {"keep-line-ends", no_argument, nullptr, 'k'},
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
    {"no-preserve-root", no_argument, nullptr, kNoPreserveRoot},
    {nullptr, 0, nullptr, 0},
};

// Returns -1 when the options are complete, or the exit status to end with.
int ParseOptions(int argc, char **argv, Options &options) {
  ::opterr = 0; // our own messages, one line each
  for (int code; (code = ::getopt_long(argc, argv, "l:kn0qvxh", kLongOptions, nullptr)) != -1;) {
    switch (code) {
    case 'l':
      if (!cli::ParseCount(::optarg, options.trim.lines) || options.trim.lines == 0)
        return UsageError("'" + QuoteName(::optarg) +
                          "' is no count of lines: give a whole number of 1 or more");
      options.trimGiven = true;
      break;
    case 'k':
      options.trim.keepLineEnds = true;
      options.trimGiven = true;
      break;
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
    case kNoPreserveRoot:
      options.noPreserveRoot = true;
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
      if (::optopt == 'l')
        return UsageError("option '" + std::string(argv[::optind - 1]) + "' needs a count");
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
  if (!options.noPreserveRoot && cli::IsRootFolder(options.folder))
    return UsageError("'" + QuoteName(options.folder) +
                      "' is a root folder: every file beneath it would lose a line; "
                      "--no-preserve-root allows that");
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
  RunJournal journal(TAILSNIP_VERSION);
  if (!options.dryRun) {
    const JournalUse use = options.resume    ? JournalUse::Resume
                           : options.restart ? JournalUse::Restart
                                             : JournalUse::Plain;
    switch (cli::OpenJournal(journal, options.folder, use,
                             options.trimGiven ? &options.trim : nullptr)) {
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
  run.trim = journal.resuming() ? journal.settings() : options.trim;
  // Copies are flushed together: one wait for the disk per batch, not per file.
  run.copiesInFlight = kCopiesInFlight;
  run.walk = WalkOptionsFor(options);
  run.showPath = [](const FolderPath &path) { return QuoteName(path); };
  run.stopRequested = [] { return cli::StopSignal() != 0 || outputError != 0; };
  run.onListed = [&](std::size_t listed) { progress.setListed(listed); };
  run.onEntry = [&](const FolderPath &path, const TrimResult &result) {
    if (options.dryRun && result.outcome == Outcome::Shortened) {
      errno = 0;
      if (options.nullSeparated)
        std::fwrite(path.c_str(), 1, path.size() + 1, stdout);
      else
        std::printf("%s\n", QuoteName(path).c_str());
      NoteOutputError();
    }
    if (options.verbose)
      PrintOutcome(path, result, options.dryRun);
    if (showProgress)
      progress.entryDone(result.bytesRead);
  };
  bool journalFailed = false;
  run.locked = true;
  if (journal.resuming()) {
    run.plan = Plan{journal.plan(), journal.planFolders()};
    run.isDone = [&journal](std::size_t index, const FolderPath &path) {
      return journal.isDone(index, path);
    };
  } else if (!options.dryRun) {
    run.beforeChanges = [&](const WorkList &list) {
      journalFailed = !cli::RecordPlan(journal, list, options.trim);
      return !journalFailed;
    };
  }

  std::FILE *const notices = options.nullSeparated ? stderr : stdout;
  const auto start = std::chrono::steady_clock::now();
  const RunReport report = RunTrim(
      options.folder,
      [&](const std::string &text) {
        progress.finish();
        SayNotice(notices, text);
      },
      run);
  if (journalFailed)
    return kSomeFailed;
  if (journal.awaitsResume(report))
    SayNotice(notices,
              "tailsnip-cli --resume " + cli::ShellWord(options.folder) + " finishes the run.");
  else
    cli::FinishJournal(journal);
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
