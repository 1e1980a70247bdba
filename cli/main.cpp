// tailsnip-cli: removes the last line from every file beneath folders, and
// from files.
//
// Standard output carries what scripts read: the notice of the runs (and, in
// a dry run, the entries that would be shortened). Standard error carries
// what people read: the progress line, each entry's outcome when asked for,
// errors, and the summary. Exit status: 0 when every entry was handled, 1
// when any entry, folder or listed name could not be (or standard output
// could not be written), 2 on a usage error (nothing is touched), for a
// folder another run is working in, or while a stopped run waits to be
// resumed or restarted (that folder is left as it was); 128 + N when signal
// N stopped the run.
#include "cli/Console.h"
#include "cli/Errors.h"
#include "cli/Names.h"
#include "cli/Operands.h"
#include "cli/Options.h"
#include "cli/Patterns.h"
#include "cli/Preview.h"
#include "cli/Progress.h"
#include "cli/Signals.h"
#include "cli/StoppedRun.h"
#include "engine/run/RunLock.h"
#include "engine/run/RunTrim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tailsnip;
using namespace tailsnip::cli;

// Enough copies and cuts to share one flush among a thousand files; the run
// takes fewer where the limit of open files is lower.
constexpr std::size_t kCopiesInFlight = 3072;

// Long enough that quick runs never flash a line, short enough to reassure.
constexpr std::chrono::milliseconds kProgressDelay{500};

// As many operands as the notice names, like the entries it names.
constexpr std::size_t kOperandsNamed = 10;

// A busy folder, told as an error: the dialog's notice says it as a sentence.
std::string BusyMessage(const FolderPath &busy) {
  return "another run is working in " + QuoteNameAlways(busy) +
         " (or in a folder inside it); nothing was changed";
}

// Patterns are written with '/', whatever the platform's separator.
std::string PortablePath(std::string path) {
  if (kPathSeparator != '/')
    std::replace(path.begin(), path.end(), kPathSeparator, '/');
  return path;
}

// Tells what became of an entry; of a file a dry run would shorten, also the
// lines it would lose, where they were asked for, cut to `columns`.
void PrintOutcome(const std::string &shown, const TrimResult &result, bool dryRun,
                  std::size_t columns) {
  const std::string name = QuoteName(shown);
  const auto say = [](const std::string &line) { WriteText(stderr, line + "\n"); };
  switch (result.outcome) {
  case Outcome::Shortened:
    say((dryRun ? "would shorten " : "shortened ") + name);
    for (const std::string &line : ShowLostLines(result.lost, columns))
      say(line);
    break;
  case Outcome::LeftUnchanged:
    if (result.reason == Reason::IsFolder && result.systemError) {
      say("failed " + name + ": " + DescribeReason(Reason::CannotSearchFolder));
      break;
    }
    say((result.reason == Reason::NoLines ? "unchanged " : "left alone ") + name + ": " +
        DescribeReason(result.reason));
    break;
  case Outcome::Failed:
    say("failed " + name + ": " + DescribeReason(result.reason));
    break;
  }
}

void PrintSummary(const RunReport &report, bool dryRun, double seconds) {
  if (report.alreadyDone > 0)
    std::fprintf(stderr, "done before the run was stopped: %zu; ", report.alreadyDone);
  std::fprintf(
      stderr, "%s %zu, unchanged %zu, failed %zu; left alone: %zu; read %s, wrote %s in %.2f s\n",
      dryRun ? "would shorten" : "shortened", report.shortened, report.unchanged - report.notFiles,
      report.failures.size(), report.notFiles, FormatBytes(report.bytesRead).c_str(),
      dryRun ? "nothing" : FormatBytes(report.bytesWritten).c_str(), seconds);
}

// The runs of one command, one after the other, and what they did together.
class Runs {
public:
  Runs(const Options &options, const std::vector<RunTarget> &targets)
      : options_(options), targets_(targets), several_(targets.size() > 1),
        errorsOnTerminal_(IsTerminal(stderr)),
        showProgress_(!options.quiet && !options.verbose &&
                      (options.forceProgress || errorsOnTerminal_)),
        outputOnTerminal_(IsTerminal(stdout)), notices_(options.nullSeparated ? stderr : stdout),
        progress_(stderr,
                  options.forceProgress ? ProgressLine::Clock::duration::zero()
                                        : ProgressLine::Clock::duration(kProgressDelay),
                  errorsOnTerminal_) {}

  // Runs every target in order, `failures` (of listed names) already
  // counted; tells what they did and returns the exit status.
  int runAll(std::vector<Failure> failures) {
    const auto start = std::chrono::steady_clock::now();
    total_.failures = std::move(failures);
    const bool listFailed = !total_.failures.empty();
    std::size_t started = 0;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      const End end = run(targets_[i]);
      if (end == End::Refused) {
        status_ = kRefused;
        leftAsItWas(targets_[i], true);
        continue;
      }
      if (end == End::Failed)
        status_ = std::max(status_, kSomeFailed);
      else
        ++started;
      if (end != End::Done) {
        for (std::size_t j = end == End::Unfinished ? i + 1 : i; j < targets_.size(); ++j)
          leftAsItWas(targets_[j], j > i);
        break;
      }
    }
    // Where every operand was refused, the messages said all.
    const bool told = started > 0 || targets_.empty();
    if (told) {
      const bool asTheDialog =
          trimmed_ == 1 && targets_.size() == 1 && !listFailed && !targets_.front().files;
      sayNotice(asTheDialog ? lastNotice_ : notice());
    }
    if (!resumeHint_.empty())
      sayNotice(resumeHint_);
    FlushOutput();
    if (!options_.quiet && told)
      PrintSummary(total_, options_.dryRun,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!total_.failures.empty() || outOfMemory_)
      status_ = std::max(status_, kSomeFailed);
    return status_;
  }

  // Whether a stop ended the runs before every entry was handled.
  bool stopped() const { return total_.stopped; }

private:
  enum class End {
    Done,       // every entry listed was handled
    Unfinished, // stopped, or memory ran out: no further run starts
    Untouched,  // stopped before its first entry: nothing changed, no further run starts
    Refused,    // the folder is busy, or a stopped run waits: nothing changed
    Failed,     // the journal could not be kept: nothing changed, no further run starts
  };

  // Whether the patterns choose the entry at `path` (below the top, '/'
  // between names); a folder not chosen is not entered.
  bool chosen(const std::string &path, bool isFolder) const {
    if (MatchesAny(options_.excludes, path, isFolder))
      return false;
    return isFolder || !options_.includesGiven || MatchesAny(options_.includes, path, false);
  }

  WalkOptions walkOptions() {
    WalkOptions walk;
    walk.oneFileSystem = options_.oneFileSystem;
    walk.maxDepth = options_.maxDepth;
    if (!options_.excludes.empty() || options_.includesGiven)
      walk.include = [this](const std::string &relative, bool isFolder) {
        return chosen(PortablePath(relative), isFolder);
      };
    if (several_)
      walk.listedBefore = [this](const fs::FileIdentity &folder, const std::string &name) {
        seen_.entered(folder);
        return !seen_.firstTime(folder, name);
      };
    return walk;
  }

  // The list of a run over FILEs: each one named that the patterns choose
  // and no earlier run took, in the order named, after the folders it is
  // reached through as a walk lists them (a folder again where the list
  // comes back to it); `passedThrough` counts those folders.
  Plan planFiles(const RunTarget &target, std::size_t &passedThrough) {
    Plan plan;
    plan.folders.emplace(target.folder, target.identity);
    for (const auto &[beneath, identity] : target.foldersBeneath)
      plan.folders.emplace(JoinPath(target.folder, beneath), identity);
    std::vector<std::string> entered; // beneath the run's folder, each within the one before
    for (const std::string &named : target.names) {
      const auto [beneath, name] = SplitNamed(named);
      if (!chosen(name, false) || !seen_.firstTime(IdentityBeneath(target, beneath), name))
        continue;
      while (!entered.empty() && entered.back() != beneath && !IsWithin(beneath, entered.back()))
        entered.pop_back();
      for (const std::string &on : FoldersOnTheWay(beneath))
        if (entered.empty() || on.size() > entered.back().size()) {
          entered.push_back(on);
          plan.entries.push_back(JoinPath(target.folder, on));
          ++passedThrough;
        }
      plan.entries.push_back(JoinPath(target.folder, named));
    }
    return plan;
  }

  // What one run keeps count of beside the engine's report, for what the
  // user is told, and why it ended early.
  struct Tally {
    std::size_t foldersAgain = 0; // listed by an earlier run too
    // The folders a run over FILEs passes through to reach them, entries of
    // its list that the user did not name: neither told of nor counted.
    std::size_t passedThrough = 0;
    std::size_t passedThroughHandled = 0;
    std::size_t unsearched = 0; // of those, not counted as left alone: they failed
    bool stoppedWithin = false; // a stopped run's folder, found beneath this one
    bool journalFailed = false;
  };

  // Claims the folder of `target`, looks at its journal, and runs over it.
  End run(const RunTarget &target) {
    // Claimed before a stopped run's journal is looked at, so that its copies
    // are removed only while no run works in the folder. A dry run is refused
    // as the real run would be, but claims nothing: it only looks at the
    // journal (it is never --resume or --restart) and records none.
    RunLock lock;
    FolderPath busy;
    if (!(options_.dryRun ? MayLockRun(target.folder, busy) : LockRun(target.folder, lock, busy))) {
      Error(BusyMessage(busy));
      return End::Refused;
    }
    RunJournal journal(TAILSNIP_VERSION);
    const JournalUse use = options_.resume    ? JournalUse::Resume
                           : options_.restart ? JournalUse::Restart
                                              : JournalUse::Plain;
    switch (OpenJournal(journal, target.folder, use, options_.asked,
                        target.files ? &target.names : nullptr)) {
    case Verdict::GoWithFilesLeft:
      status_ = std::max(status_, kSomeFailed);
      break;
    case Verdict::Go:
      break;
    case Verdict::Failed:
      return End::Failed;
    case Verdict::Refused:
      return End::Refused;
    }
    if (!options_.dryRun && !journal.resuming())
      WarnUnregistered(journal, false);
    // Left out by the patterns only now: a stopped run over it still waits,
    // and --restart has forgotten it.
    if (const std::string name = ChoosableName(target.operand);
        !target.files && !name.empty() && !chosen(name, true))
      return End::Done;

    Tally tally;
    RunOptions run;
    setUp(run, target, journal, tally);
    if (const std::optional<End> end = plan(run, target, journal, tally))
      return *end;
    RunReport report = RunTrim(
        target.folder,
        [this](const std::string &text) {
          progress_.finish();
          lastNotice_ = text;
        },
        run);
    return settle(report, target, journal, tally);
  }

  // Sets `run` up to shorten as asked, and to tell of each entry as it goes.
  void setUp(RunOptions &run, const RunTarget &target, const RunJournal &journal, Tally &tally) {
    run.dryRun = options_.dryRun;
    run.previewLostLines = options_.dryRun && options_.verbose;
    run.trim = journal.resuming() ? journal.settings() : options_.trim;
    // Copies are flushed together: one wait for the disk per batch, not per file.
    run.copiesInFlight = kCopiesInFlight;
    // Where the shortened file is the file's start, it is cut there in place.
    run.shortenInPlace = true;
    run.locked = true;
    run.showPath = [&target](const FolderPath &path) { return QuoteName(Shown(target, path)); };
    run.stopRequested = [] { return StopSignal() != 0 || OutputFailed(); };
    run.onListed = [this](std::size_t listed) { progress_.addListed(listed); };
    // Over FILEs, or resuming a run that was: its folders are only passed through.
    const bool passingThrough = target.files || (journal.resuming() && journal.named());
    run.onEntry = [&, passingThrough](const FolderPath &path, const TrimResult &result) {
      if (passingThrough && result.reason == Reason::IsFolder && run.plan->folders.count(path)) {
        ++tally.passedThroughHandled;
        tally.unsearched += result.systemError ? 1 : 0;
        if (showProgress_)
          progress_.entryDone(result.bytesRead);
        return;
      }
      if (options_.dryRun && result.outcome == Outcome::Shortened) {
        // On the terminal the progress line is on, a name must not run on from it.
        if (outputOnTerminal_)
          progress_.finish();
        list(Shown(target, path));
      }
      // A folder an earlier run listed too is told of and counted once.
      const bool again = several_ && result.reason == Reason::IsFolder && !seen_.firstTime(path);
      tally.foldersAgain += again ? 1 : 0;
      if (options_.verbose && !again)
        PrintOutcome(Shown(target, path), result, options_.dryRun,
                     run.previewLostLines && errorsOnTerminal_ ? TerminalWidth(stderr) : 0);
      if (showProgress_)
        progress_.entryDone(result.bytesRead);
    };
  }

  // Gives `run` what it works through: the FILEs named, a stopped run's
  // list, or a walk; and what the journal must record or check on the way.
  // How the run ends where it is over before it starts.
  std::optional<End> plan(RunOptions &run, const RunTarget &target, RunJournal &journal,
                          Tally &tally) {
    if (target.files) {
      // Another run's folder on the way, or a stopped one's, keeps this run
      // out, as a walk that meets it is kept out.
      for (const auto &[beneath, identity] : target.foldersBeneath) {
        const FolderPath folder = JoinPath(target.folder, beneath);
        if (ClaimedByAnotherRun(folder, identity, options_.dryRun)) {
          Error(BusyMessage(folder));
          return End::Refused;
        }
        if (!MayEnter(journal, target.folder, folder, identity))
          return End::Refused;
      }
      run.plan = planFiles(target, tally.passedThrough);
      // With one run, nothing asks later what it met: its journal gets the memory.
      if (!several_)
        seen_ = SeenEntries();
      if (run.plan->entries.empty())
        return End::Done;
    } else if (journal.resuming()) {
      run.plan = Plan{journal.plan(), journal.planFolders()};
      if (journal.named())
        tally.passedThrough = static_cast<std::size_t>(
            std::count_if(run.plan->entries.begin(), run.plan->entries.end(),
                          [&](const FolderPath &entry) { return run.plan->folders.count(entry); }));
      run.sinceListed = [&journal](std::size_t index, const FolderPath &path) {
        return journal.sinceListed(index, path);
      };
    } else {
      run.walk = walkOptions();
      run.walk.mayEnter = [&](const FolderPath &path, const fs::FileIdentity &identity) {
        tally.stoppedWithin = !MayEnter(journal, target.folder, path, identity);
        return !tally.stoppedWithin;
      };
    }
    if (!options_.dryRun) {
      run.beforeChanging = [&journal](std::size_t index) { return journal.noteChanging(index); };
      // Unnoted, the copy is still told of; only a resumption of this run,
      // should it be stopped, would take it for one of its own to remove.
      run.copyKept = [&journal](std::size_t index) { journal.noteCopyKept(index); };
    }
    if (!journal.resuming() && !options_.dryRun)
      run.beforeChanges = [&](const WorkList &list) {
        tally.journalFailed = !RecordPlan(journal, list, options_.trim);
        return !tally.journalFailed;
      };
    // A file saved over or changed since the journal stamped it is another
    // program's work, however long the run took to reach it.
    if (journal.resuming() || !options_.dryRun)
      run.foundAsListed = [&journal](std::size_t index, const fs::FileInfo &found) {
        return journal.foundAsListed(index, found);
      };
    return std::nullopt;
  }

  // Counts what the run over `target` did, keeps or removes its journal,
  // and tells how it ended.
  End settle(RunReport &report, const RunTarget &target, RunJournal &journal, const Tally &tally) {
    if (tally.stoppedWithin)
      return End::Refused;
    if (tally.journalFailed)
      return End::Failed;
    if (!report.busyFolder.empty()) { // another run's folder, found beneath this one
      Error(BusyMessage(report.busyFolder));
      return End::Refused;
    }
    // The folders passed through are no entries the user named.
    report.listed -= std::min(report.listed, tally.passedThrough);
    report.handled -= tally.passedThroughHandled;
    report.unchanged -= tally.passedThroughHandled - tally.unsearched;
    report.notFiles -= tally.passedThroughHandled - tally.unsearched;
    if (several_ && !target.files)
      seen_.runOver(target.folder);
    ++trimmed_;
    if (!options_.dryRun)
      ranOver_.push_back(&target);
    add(report, target, tally.foldersAgain);
    if (journal.awaitsResume(report)) {
      const std::size_t left = report.copiesLeft + journal.leftByStopped();
      const std::string copies = left == 1 ? "the copy" : "the " + std::to_string(left) + " copies";
      resumeHint_ = "tailsnip-cli --resume " + QuoteOperand(target.folder) +
                    (left == 0 ? " finishes the run."
                               : " removes " + copies +
                                     " this run could not remove, and finishes "
                                     "the run.");
      WarnUnregistered(journal, true);
    } else if (!FinishJournal(journal)) {
      status_ = std::max(status_, kSomeFailed);
    }
    // A stop that came during the last entry of the run before is seen here,
    // while this one lists its folder.
    if (report.stopped && report.handled == 0 && !report.outOfMemory)
      return End::Untouched;
    return report.stopped || report.outOfMemory ? End::Unfinished : End::Done;
  }

  // Prints a name a dry run would shorten: quoted as ls quotes it on a
  // terminal, as it is elsewhere (one a line), or NUL-ended with --null.
  void list(const std::string &shown) {
    errno = 0;
    if (options_.nullSeparated)
      std::fwrite(shown.c_str(), 1, shown.size() + 1, stdout);
    else
      WriteText(stdout, (outputOnTerminal_ ? QuoteName(shown) : shown) + "\n");
    NoteOutputError();
  }

  // Shows `text`, of the notice, where notices go; what standard output
  // cannot carry goes to standard error, so that a stop is still explained.
  void sayNotice(const std::string &text) {
    if (notices_ == stdout && !OutputFailed()) {
      WriteText(stdout, text + "\n");
      FlushOutput();
      if (!OutputFailed())
        return;
    }
    WriteText(stderr, text + "\n");
  }

  void add(const RunReport &report, const RunTarget &target, std::size_t foldersAgain) {
    // A stop during the walk leaves a list that is not whole: its length says nothing.
    if (!(report.stopped && report.handled == 0))
      total_.listed += report.listed;
    total_.shortened += report.shortened;
    total_.unchanged += report.unchanged - foldersAgain;
    total_.notFiles += report.notFiles - foldersAgain;
    for (const Failure &failure : report.failures)
      total_.failures.push_back({Shown(target, failure.path), failure.reason, failure.systemError});
    total_.bytesRead += report.bytesRead;
    total_.bytesWritten += report.bytesWritten;
    total_.stopped = report.stopped;
    total_.handled += report.handled;
    total_.alreadyDone += report.alreadyDone;
    outOfMemory_ = outOfMemory_ || report.outOfMemory;
  }

  // Counts the operands `target` stands for as left as they were: each
  // FILE of a run over several. With `unlessReached`, not those an earlier
  // run of this command reached: it shortened their files, or its --resume
  // finishes them, and shortening them again would take a second line.
  void leftAsItWas(const RunTarget &target, bool unlessReached) {
    if (!target.files) {
      if (!unlessReached || !seen_.reached(target.folder))
        leftWithRunsBeneath(target);
      return;
    }
    for (const std::string &named : target.names) {
      const auto [beneath, name] = SplitNamed(named);
      if (!unlessReached || !seen_.reached(IdentityBeneath(target, beneath), name))
        notRun_.push_back(Shown(target, JoinPath(target.folder, named)));
    }
  }

  // Names `left`, a FOLDER operand left as it was, and what earlier runs of
  // this command went over beneath it: a run over it again would take a
  // second line from those. Not named where one was over that folder itself.
  void leftWithRunsBeneath(const RunTarget &left) {
    std::vector<std::string> beneath;
    for (const RunTarget *earlier : ranOver_) {
      if (earlier == &left)
        continue;
      if (!earlier->files) {
        const std::optional<std::size_t> levels = LevelsBeneath(earlier->folder, left.folder);
        if (levels == std::size_t{0})
          return;
        if (levels)
          beneath.push_back(earlier->operand);
        continue;
      }
      // FILEs come folder by folder: each folder is asked once.
      std::optional<std::string> lastFolder;
      bool within = false;
      for (const std::string &named : earlier->names) {
        if (const std::string folder = SplitNamed(named).beneath; folder != lastFolder) {
          lastFolder = folder;
          within = LevelsBeneath(JoinPath(earlier->folder, folder), left.folder).has_value();
        }
        if (within)
          beneath.push_back(Shown(*earlier, JoinPath(earlier->folder, named)));
      }
    }
    notRun_.push_back(left.operand);
    if (!beneath.empty())
      runBeneathLeft_.emplace_back(left.operand, std::move(beneath));
  }

  // `names`, quoted one a line, the first kOperandsNamed of them.
  static std::string NameList(const std::vector<std::string> &names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kOperandsNamed; ++i)
      text += "\n" + QuoteName(names[i]);
    if (names.size() > kOperandsNamed)
      text += "\n... and " + std::to_string(names.size() - kOperandsNamed) + " more.";
    return text;
  }

  // The notice of several runs, or of one that does not say all: what they
  // did together, and which operands were left as they were.
  std::string notice() const {
    std::string text = FormatNotice(total_, [](const FolderPath &path) { return QuoteName(path); });
    if (outOfMemory_)
      text += "\n\nMemory ran out; not every file was handled.";
    const std::size_t left = notRun_.size();
    if (left == 0)
      return text;
    text += "\n\n" + std::to_string(left) +
            (left == 1 ? " operand was left as it was:" : " operands were left as they were:") +
            NameList(notRun_);
    for (const auto &[folder, beneath] : runBeneathLeft_)
      text += "\n\nBeneath " + QuoteName(folder) +
              ", earlier operands were run over already; a run over it again would take a "
              "second line from them:" +
              NameList(beneath);
    return text;
  }

  const Options &options_;
  const std::vector<RunTarget> &targets_;
  const bool several_;          // entries may be reached by more than one run
  const bool errorsOnTerminal_; // standard error: the progress line, -v and its preview
  const bool showProgress_;
  // Standard output: names listed are quoted, and kept off the progress line.
  const bool outputOnTerminal_;
  std::FILE *const notices_;
  ProgressLine progress_;
  SeenEntries seen_;
  RunReport total_; // the failures named as shown; memory told apart
  bool outOfMemory_ = false;
  std::size_t trimmed_ = 0; // runs that went as far as trimming
  std::string lastNotice_;  // the engine's own, for one run
  std::string resumeHint_;
  std::vector<std::string> notRun_;
  std::vector<const RunTarget *> ranOver_; // runs that went as far as shortening
  // A FOLDER operand of notRun_, and what earlier runs went over beneath it.
  std::vector<std::pair<std::string, std::vector<std::string>>> runBeneathLeft_;
  int status_ = kAllHandled;
};

} // namespace

int main(int argc, char **argv) {
  HoldClosedStandardStreams();
  CheckOutputAtExit();
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status != kGo)
    return EndingWith(status);
  std::vector<RunTarget> targets;
  std::vector<Failure> failures;
  if (const int status = PlanRuns(options, targets, failures); status != kGo)
    return EndingWith(status);
  options.operands.clear(); // the runs hold them now: from a list, a million perhaps
  CatchStopSignals();
  LetWritesPastTheSizeLimitFail();
  AllowAllOpenFiles();
  Runs runs(options, targets);
  const int status = runs.runAll(std::move(failures));
  // A stop that came once every entry was handled stopped nothing: the
  // notice said "finished!", and the status says the same.
  if (const int signal = StopSignal(); signal && runs.stopped()) {
    CloseOutput(StoppedByBrokenPipe());
    EndBySignal(signal);
  }
  return EndingWith(status);
}
