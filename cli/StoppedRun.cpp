#include "cli/StoppedRun.h"

#include "cli/Errors.h"
#include "cli/Names.h"

namespace tailsnip::cli {

namespace {

using Finding = StoppedRunFinding;

// What the system said, as every other failure is reported.
std::string SystemText(const std::error_code &code) { return fs::DescribeSystemError(code); }

std::string Quoted(const FolderPath &path) { return QuoteNameAlways(path); }

const char *ControlName(BackupControl control) {
  switch (control) {
  case BackupControl::None:
    break;
  case BackupControl::Simple:
    return "simple";
  case BackupControl::Numbered:
    return "numbered";
  case BackupControl::Existing:
    return "existing";
  }
  return "none";
}

// The options that ask for `trim`.
std::string OptionsFor(const TrimSettings &trim) {
  std::string options =
      "--lines=" + std::to_string(trim.lines) + (trim.keepLineEnds ? " --keep-line-ends" : "");
  if (trim.backup.control != BackupControl::None)
    options += std::string(" --backup=") + ControlName(trim.backup.control) +
               " --suffix=" + QuoteName(trim.backup.suffix);
  return options;
}

std::string Message(const StoppedRunCheck &check, const FolderPath &folder,
                    const TrimSettings *asked) {
  const std::string shown = Quoted(folder);
  const std::string journal = Quoted(check.journal);
  const JournalHeader &stopped = check.stopped;
  switch (check.finding) {
  case Finding::Go:
  case Finding::Resuming:
    break;
  case Finding::NothingToResume:
    return "there is no stopped run over " + shown + " to resume";
  case Finding::StoppedHere:
    return "a run over " + shown +
           (check.renamed ? " (then named " + Quoted(stopped.folder) + ")" : "") +
           " stopped after " + std::to_string(check.stoppedAfter) + " of " +
           std::to_string(stopped.entries) +
           " entries: --resume finishes it, --restart starts a new run";
  case Finding::StoppedAround:
  case Finding::StoppedWithin:
    return "a stopped run over " + Quoted(stopped.folder) +
           (check.finding == Finding::StoppedAround ? ", which holds " : ", within ") + shown +
           ", is not finished: tailsnip-cli --resume " + QuoteName(stopped.folder) +
           " finishes it, --restart over it forgets it";
  case Finding::JournalUnreadable:
    return "the journal " + journal + " of a run over " + shown +
           " cannot be read: --restart forgets that run";
  case Finding::PlanUnreadable:
    return "the journal " + journal + " cannot be read: --restart forgets that run";
  case Finding::OtherVersion:
    return "the run over " + shown + " was recorded by " +
           (stopped.version.empty() ? "another version of tailsnip-cli"
                                    : "tailsnip-cli " + stopped.version) +
           ", not by this one (" + TAILSNIP_VERSION +
           "): finish it with that version, or --restart starts a new run";
  case Finding::OtherSettings:
    return "the run over " + shown + " was started with " + OptionsFor(stopped.trim) + ", not " +
           OptionsFor(*asked) + ": --resume alone finishes it as it began";
  case Finding::FolderUnknown:
    return "cannot identify " + shown + ": " + SystemText(check.systemError);
  case Finding::NoJournalFolder:
    return "no place for the run's journal: neither XDG_STATE_HOME nor HOME is set, "
           "and the user has no home folder";
  case Finding::JournalFolderUnusable:
    return "cannot use the journal folder " + journal + ": " + SystemText(check.systemError);
  case Finding::JournalsUnlisted:
    return "cannot look for stopped runs through the journal folder " + journal;
  case Finding::JournalNotRemoved:
    return "cannot remove the journal " + journal + ": " + SystemText(check.systemError);
  case Finding::JournalNotNoted:
    return "cannot write to the journal " + journal + ": " + SystemText(check.systemError);
  }
  return {};
}

} // namespace

Verdict OpenJournal(RunJournal &journal, const FolderPath &folder, JournalUse use,
                    const TrimSettings *asked) {
  const StoppedRunCheck check = journal.open(folder, use, asked);
  if (check.mayGoOn())
    return Verdict::Go;
  Error(Message(check, folder, asked));
  return check.refused() ? Verdict::Refused : Verdict::Failed;
}

bool RecordPlan(RunJournal &journal, const WorkList &list, const TrimSettings &trim) {
  const JournalChange change = journal.record(list, trim);
  if (!change.done)
    Error("cannot write the run's journal " + Quoted(journal.path()) + ": " +
          SystemText(change.systemError) + "; nothing was changed");
  return change.done;
}

void FinishJournal(RunJournal &journal) {
  if (const JournalChange change = journal.finish(); !change.done)
    Error("cannot remove the finished run's journal " + Quoted(journal.path()) + ": " +
          SystemText(change.systemError) + "; remove it, or the next run will ask for --restart");
}

void ExplainVanishedFolder(const std::string &folder) {
  for (const FolderPath &journal : JournalsOfFolderNamed(folder))
    Error("the stopped run over " + Quoted(folder) +
          " cannot be resumed by that name: the folder is gone. Resume it by its new name, "
          "if it was moved; otherwise remove its journal " +
          Quoted(journal));
}

} // namespace tailsnip::cli
