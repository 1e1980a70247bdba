#include "cli/StoppedRun.h"

#include "cli/Errors.h"
#include "cli/Names.h"
#include "engine/stopped/Registry.h"

#include <algorithm>
#include <string>
#include <vector>

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

// The options that ask for `backup`.
std::string BackupOptions(const BackupSettings &backup) {
  const std::string control = std::string("--backup=") + ControlName(backup.control);
  return backup.control == BackupControl::None || backup.control == BackupControl::Numbered
             ? control
             : control + " --suffix=" + QuoteName(backup.suffix);
}

// How the settings a stopped run was started with, `stopped`, differ from
// those `asked` for it: "with --lines=2, not --lines=3", say.
std::string HowSettingsDiffer(const TrimSettings &stopped, const TrimSettings &asked) {
  std::vector<std::string> ways;
  if (stopped.lines != asked.lines)
    ways.push_back("with --lines=" + std::to_string(stopped.lines) +
                   ", not --lines=" + std::to_string(asked.lines));
  if (stopped.keepLineEnds != asked.keepLineEnds)
    ways.push_back(stopped.keepLineEnds ? "with --keep-line-ends" : "without --keep-line-ends");
  if (stopped.backup != asked.backup)
    ways.push_back("with " + BackupOptions(stopped.backup) + ", not " +
                   BackupOptions(asked.backup));
  std::string told;
  for (std::size_t i = 0; i < ways.size(); ++i)
    told += (i == 0 ? "" : i + 1 == ways.size() ? " and " : ", ") + ways[i];
  return told;
}

// A stopped run whose journal this run cannot take up: whose it is.
std::string RecordedElsewhere(const StoppedRunCheck &check, const std::string &where) {
  return "a stopped run over " + Quoted(check.stopped.folder) + where + (where.empty() ? "" : ",") +
         " is recorded in " + Quoted(check.journal) +
         (check.owner.empty()
              ? ", under another HOME or XDG_STATE_HOME: run with that one to --resume or "
                "--restart it"
              : ", user " + QuoteName(check.owner) +
                    "'s: that user's --resume finishes it, their --restart or the "
                    "superuser's forgets it");
}

std::string Message(const StoppedRunCheck &check, const FolderPath &folder,
                    const AskedSettings &asked) {
  const std::string shown = Quoted(folder);
  const std::string journal = Quoted(check.journal);
  const std::string itsJournal = "; its journal is " + journal;
  const JournalHeader &stopped = check.stopped;
  if (check.elsewhere)
    return RecordedElsewhere(check, check.finding == Finding::StoppedAround
                                        ? ", which holds " + shown
                                    : check.finding == Finding::StoppedWithin ? ", within " + shown
                                                                              : "");
  switch (check.finding) {
  case Finding::Go:
  case Finding::Resuming:
    break;
  case Finding::Restarting:
    return "--restart forgets the stopped run over " + shown + " (its journal was " + journal +
           "): the files it shortened already lose another line";
  case Finding::NothingToResume:
    return "there is no stopped run over " + shown + " to resume";
  case Finding::StoppedHere:
    return "a run over " + (stopped.named ? "FILEs beneath " : std::string()) + shown +
           (check.renamed ? " (then named " + Quoted(stopped.folder) + ")" : "") +
           " stopped after " + std::to_string(check.stoppedAfter) + " of " +
           std::to_string(check.planned) + " entries: --resume " +
           (stopped.named ? QuoteOperand(folder) + " finishes it, --restart with those FILEs"
                          : "finishes it, --restart") +
           " starts a new run" + itsJournal;
  case Finding::RestartWouldWiden:
    return "the run over " + shown +
           " that stopped was over FILEs named beneath it: --restart with those FILEs starts "
           "it anew, where --restart " +
           QuoteOperand(folder) + " would shorten every file there" + itsJournal;
  case Finding::RestartWouldNarrow:
    return "the run over " + shown + " that stopped was over all of it: --restart " +
           QuoteOperand(folder) +
           " starts it anew, where --restart with FILEs beneath it would forget its other "
           "files half done" +
           itsJournal;
  case Finding::RestartLeavesOut:
    return "the run over FILEs beneath " + shown +
           " that stopped named some these do not: --restart with each of them starts it "
           "anew, --resume " +
           QuoteOperand(folder) + " finishes it" + itsJournal;
  case Finding::StoppedAround:
  case Finding::StoppedWithin:
    return "a stopped run over " + Quoted(stopped.folder) +
           (check.finding == Finding::StoppedAround ? ", which holds " : ", within ") + shown +
           ", is not finished: tailsnip-cli --resume " + QuoteOperand(stopped.folder) +
           " finishes it, --restart " + (stopped.named ? "with its FILEs" : "over it") +
           " forgets it" + itsJournal;
  case Finding::JournalUnreadable:
    return "the journal " + journal + " of a run over " + shown + " cannot be read" +
           (check.systemError ? " (" + SystemText(check.systemError) + ")" : "") +
           ": --restart forgets that run";
  case Finding::PlanUnreadable:
    return "the journal " + journal + " cannot be read: --restart forgets that run";
  case Finding::OtherVersion:
    return "the run over " + shown + " was recorded by " +
           (stopped.version.empty() ? "another version of tailsnip-cli"
                                    : "tailsnip-cli " + stopped.version) +
           ", not by this one (" + TAILSNIP_VERSION +
           "): finish it with that version, or --restart starts a new run" + itsJournal;
  case Finding::OtherSettings:
    return "the run over " + shown + " was started " +
           HowSettingsDiffer(stopped.trim, asked.over(stopped.trim)) +
           ": --resume alone finishes it as it began" + itsJournal;
  case Finding::FolderUnknown:
    return "cannot identify " + shown + ": " + SystemText(check.systemError);
  case Finding::NoJournalFolder:
#ifdef _WIN32
    return "no place for the run's journal: LOCALAPPDATA is not set to a full path";
#else
    return "no place for the run's journal: neither XDG_STATE_HOME nor HOME is set, "
           "and the user has no home folder";
#endif
  case Finding::JournalFolderUnusable:
    return "cannot use the journal folder " + journal + ": " + SystemText(check.systemError);
  case Finding::JournalFolderShared:
    return "cannot use the journal folder " + journal +
           ": another user could change it or the folder it is in; "
           "set XDG_STATE_HOME to a folder of your own";
  case Finding::JournalsUnlisted:
    return "cannot look for stopped runs through the journal folder " + journal +
           (check.systemError ? ": " + SystemText(check.systemError) : "");
  case Finding::JournalNotRemoved:
    return "cannot remove the journal " + journal + ": " + SystemText(check.systemError);
  case Finding::JournalNotNoted:
    return "cannot write to the journal " + journal + ": " + SystemText(check.systemError);
  }
  return {};
}

} // namespace

Verdict OpenJournal(RunJournal &journal, const FolderPath &folder, JournalUse use,
                    const AskedSettings &asked, const WorkList *named) {
  const StoppedRunCheck check = journal.open(folder, use, asked, named);
  if (check.finding == Finding::Restarting)
    Error(Message(check, folder, asked)); // before anything is shortened
  const std::vector<CopyMaker> &processes = check.stopped.processes;
  if (check.mayGoOn() && std::any_of(processes.begin(), processes.end(),
                                     [](const CopyMaker &maker) { return maker.token.empty(); }))
    Error("the journal " + Quoted(check.journal) +
          " was written before copies were named with a token: copies its run may have left "
          "(.tailsnip-PID-N.tmp) are kept, as they cannot be told from files of yours");
  for (const LeftFile &left : check.left)
    Error(left.folderGone ? Quoted(left.path) +
                                " is no longer in the tree: any copy the stopped run left in it "
                                "(.tailsnip-*), or earlier backup it kept aside, went with it"
          : left.changedInPlace ? "kept " + Quoted(left.path) +
                                      ", left by the stopped run beside " + Quoted(left.savedOver) +
                                      ": another program changed it as it lay in that file's place"
          : !left.savedOver.empty()
              ? "kept " + Quoted(left.path) + ", left by the stopped run beside " +
                    Quoted(left.savedOver) +
                    ", which another program saved over meanwhile: it holds either that save "
                    "or the run's shortened copy"
          : left.backup.empty()
              ? "cannot remove " + Quoted(left.path) +
                    ", a copy the stopped run left: " + SystemText(left.systemError)
              : "the earlier backup " + Quoted(left.backup) +
                    " that the stopped run kept aside is left as " + Quoted(left.path) + ": " +
                    SystemText(left.systemError));
  if (check.mayGoOn())
    return check.left.empty() ? Verdict::Go : Verdict::GoWithFilesLeft;
  Error(Message(check, folder, asked));
  return check.refused() ? Verdict::Refused : Verdict::Failed;
}

bool MayEnter(const RunJournal &journal, const FolderPath &folder, const FolderPath &entered,
              const fs::FileIdentity &identity) {
  const StoppedRunCheck check = journal.checkEntered(entered, identity);
  if (check.mayGoOn())
    return true;
  Error(Message(check, folder, AskedSettings()));
  return false;
}

void WarnUnregistered(const RunJournal &journal, bool stopped) {
  const JournalChange &registry = journal.registry();
  if (registry.done)
    return;
  const std::string place = Quoted(RegistryFolder()) + ": " + SystemText(registry.systemError);
  Error(stopped ? "the stopped run is not registered in " + place +
                      "; runs of other users, or under another HOME or XDG_STATE_HOME, will not "
                      "see it"
                : "cannot look in " + place +
                      " for stopped runs of other users, or under another HOME or "
                      "XDG_STATE_HOME");
}

bool RecordPlan(RunJournal &journal, const WorkList &list, const TrimSettings &trim) {
  const JournalChange change = journal.record(list, trim);
  if (!change.done)
    Error((change.registry ? "cannot register the run's journal in " + Quoted(RegistryFolder())
                           : "cannot write the run's journal " + Quoted(journal.path())) +
          ": " + SystemText(change.systemError) + "; nothing was changed");
  return change.done;
}

bool FinishJournal(RunJournal &journal) {
  const JournalChange change = journal.finish();
  if (!change.done)
    Error("cannot remove the finished run's journal " + Quoted(journal.path()) + ": " +
          SystemText(change.systemError) + "; remove it, or the next run will ask for --restart");
  return change.done;
}

void ExplainVanishedFolder(const std::string &folder) {
  for (const FolderPath &journal : JournalsOfFolderNamed(folder))
    Error("the stopped run over " + Quoted(folder) +
          " cannot be resumed by that name: the folder is gone. Resume it by its new name, "
          "if it was moved; otherwise tailsnip-cli --restart " +
          QuoteOperand(folder) + " forgets it (its journal is " + Quoted(journal) + ")");
}

bool ForgetVanishedFolder(const std::string &folder) {
  const std::vector<ForgottenRun> forgotten = ForgetRunsOverVanishedFolder(folder);
  bool all = !forgotten.empty();
  for (const ForgottenRun &run : forgotten) {
    Error(run.change.done ? "forgot the stopped run over " + Quoted(folder) +
                                ", which is gone: removed its journal " + Quoted(run.journal)
                          : "cannot remove the journal " + Quoted(run.journal) + ": " +
                                SystemText(run.change.systemError));
    all &= run.change.done;
  }
  return all;
}

} // namespace tailsnip::cli
