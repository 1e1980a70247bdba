// What a run does about the journal of a run that was stopped: the policy
// that keeps a file from losing a second line, apart from the words a
// program tells it in.
//
// Promises:
// - A new run goes on only when no stopped run concerns its folder: none
//   over the folder itself, none over a folder around it (each found by its
//   identity, whatever its name now, through bind mounts where FoldersAbove
//   can), none over a folder within it that the run enters (asked of each
//   while listing, before the first change). Stopped runs are those of this
//   user's journal folder and, through the registry (Registry.h), those of
//   every user and state folder of the machine. The folder's own journal
//   that cannot be read, or a journal folder that cannot be opened or looked
//   through (made by another user, say), counts as one that concerns it.
// - A stopped run recorded elsewhere (another user's, another state
//   folder's) is neither resumed nor forgotten here: the run is refused.
// - A recorded run is registered once its journal is written, and its
//   marker removed before its journal is.
// - A stopped run is finished (Resume) only by its own plan, read whole,
//   written by this program's version, every entry inside the folder; a
//   file counts as done once another file of its kind on its volume holds
//   its name, and one removed or replaced otherwise is reported; and with the
//   settings it began with: another count would remove lines it did not from
//   half the files, other line ends make the tree a mixture. The copies its
//   processes left are removed first, and this process is noted in the
//   journal before that, so that a resumed run stopped in turn is finished
//   with its own copies removed too.
// - A stopped run is forgotten (Restart) by removing its copies, where its
//   journal names its processes, and then its journal.
// - On any finding but Go and Resuming nothing in the tree has changed, but
//   for the copies a Restart removed before its journal could not be.
#ifndef TAILSNIP_ENGINE_STOPPEDRUN_H
#define TAILSNIP_ENGINE_STOPPEDRUN_H

#include "engine/run/RunReport.h"
#include "engine/run/RunTrim.h"
#include "engine/stopped/Journal.h"
#include "engine/walk/CollectEntries.h"

#include <cstddef>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace tailsnip {

enum class JournalUse {
  Plain,   // a stopped run that concerns the folder is refused
  Resume,  // the stopped run over the folder is finished
  Restart, // the stopped run over the folder is forgotten
};

// What RunJournal::open found.
enum class StoppedRunFinding {
  // The run may go on:
  Go,         // anew: no stopped run concerns the folder
  Restarting, // anew: Restart forgot the stopped run over the folder
  Resuming,   // by the stopped run's plan
  // It must not, as the command stands:
  NothingToResume,    // Resume, and no stopped run over the folder
  StoppedHere,        // a stopped run over the folder waits for Resume or Restart
  StoppedAround,      // a stopped run over a folder that holds this one
  StoppedWithin,      // a stopped run over a folder within this one
  JournalUnreadable,  // the folder's journal: its header
  PlanUnreadable,     // the folder's journal: its entries
  OtherVersion,       // the folder's journal, written by another version
  OtherSettings,      // Resume asked for other settings than the stopped run's
  RestartWouldWiden,  // Restart of a stopped run over FILEs, as a run over the whole folder
  RestartWouldNarrow, // Restart of a stopped run over the whole folder, as one over FILEs in it
  RestartLeavesOut,   // Restart of a stopped run over FILEs, by FILEs that leave some of them out
  // It cannot, for a reason outside the command:
  FolderUnknown,         // the folder's identity could not be had
  NoJournalFolder,       // no place for journals is set
  JournalFolderUnusable, // the journal folder could not be opened
  JournalFolderShared,   // another user could change what the journal folder holds
  JournalsUnlisted,      // the journal folder could not be looked through
  JournalNotRemoved,     // Restart could not remove the journal
  JournalNotNoted,       // Resume could not note this process in the journal
};

struct StoppedRunCheck {
  StoppedRunFinding finding = StoppedRunFinding::Go;
  // The journal in question, or the journal folder.
  FolderPath journal;
  // What that journal records: the stopped run's folder, its version (empty
  // when of another format), and its plan's length.
  JournalHeader stopped;
  // StoppedHere: how many of the plan's entries the run had come to, of
  // how many (of its FILEs alone, where it was over FILEs), and whether its
  // folder had another name then.
  std::size_t stoppedAfter = 0;
  std::size_t planned = 0;
  bool renamed = false;
  // The stopped run's journal is not in this user's journal folder: it is
  // another user's (`owner`), or this user's under another state folder.
  // StoppedAround, StoppedWithin and any run recorded elsewhere: the
  // stopped run's folder (`stopped.folder`) is named as this run found it.
  bool elsewhere = false;
  std::string owner;
  std::error_code systemError; // the system's, where a system call failed
  // Resuming, Restarting: what the stopped run left that was not cleared
  // away. A resumed run keeps its journal for those that could not be.
  std::vector<LeftFile> left;

  bool mayGoOn() const;
  bool refused() const; // rather than failed
};

// How writing or removing a journal went.
struct JournalChange {
  bool done = true;
  std::error_code systemError; // the system's, when not done
  bool registry = false;       // the registry failed (Registry.h), not the journal
};

// The journal a program keeps of its runs over one folder.
class RunJournal {
public:
  // `version` is the program's own: a journal another version wrote is not
  // resumed by this one.
  explicit RunJournal(std::string version) : version_(std::move(version)) {}

  // Finds what concerns a run over `folder` (as the user named it), over
  // FILEs `named` beneath it (by their paths beneath it) or over all of it
  // (null), and does what `use` asks, with the settings the user gave
  // (`asked`): see the promises above. A stopped run over FILEs is
  // restarted only by a run over FILEs that names each of them: over the
  // whole folder it would shorten files that run never named, and without
  // one of them it would leave that one half done, with no journal to tell.
  // One over the whole folder is restarted only over it.
  StoppedRunCheck open(const FolderPath &folder, JournalUse use, const AskedSettings &asked,
                       const WorkList *named = nullptr);

  bool resuming() const { return resuming_; }
  // How many files the stopped run left that this one, resuming it, could
  // not clear away; copies kept on purpose are not counted.
  std::size_t leftByStopped() const { return leftByStopped_; }
  // The stopped run's settings, for a resumed run to go on with.
  const TrimSettings &settings() const { return header_.trim; }
  // Whether the stopped run was over FILEs named beneath its folder: the
  // folders its plan holds are then only passed through.
  bool named() const { return header_.named; }
  // The stopped run's list, for a resumed run to work through.
  const WorkList &plan() const { return plan_; }
  // What became of the entry at `index` of the plan since it was listed: a
  // file still as listed is Unchanged; another regular file under its name,
  // on its volume, is what the stopped run's replacement leaves, Shortened
  // (a file written to in place counts so too: nobody can tell), where the
  // run noted it was about to change it, and Changed where not; a name that
  // leads nowhere, or to another kind of entry or volume, is told apart, as
  // a run must not count it done. Folders are Unchanged; they are left alone
  // anyway.
  SinceListed sinceListed(std::size_t index, const FolderPath &path) const;
  // Whether `found`, the file a recorded or resumed run opened as the entry
  // at `index` of its list, is the file listed there, as it was then: not
  // saved over or changed since. True where the entry could not be stamped.
  bool foundAsListed(std::size_t index, const fs::FileInfo &found) const;
  // The identities the plan's folders had when listed, the run's own folder
  // (by today's name) among them.
  FolderIdentities planFolders() const;
  // For a new run's walk, before it enters `folder` (with `identity`) within
  // the run's: StoppedWithin when a stopped run is over it, else Go.
  StoppedRunCheck checkEntered(const FolderPath &folder, const fs::FileIdentity &identity) const;
  // Whether the registry was available to open and record (Registry.h);
  // the system's reason when not. Done where the platform keeps none.
  const JournalChange &registry() const { return registry_; }

  // Records the plan of a new run, and its settings, before its first change.
  JournalChange record(const WorkList &list, const TrimSettings &trim);
  // Before the run cuts or replaces the entry at `index` of its list
  // (NoteChanging); the system's reason where that could not be noted, and
  // the entry must be kept.
  std::error_code noteChanging(std::size_t index);
  // After the copy of the entry at `index` was kept beside it, changed by
  // another program (NoteCopyKept): a resumption then keeps it too.
  std::error_code noteCopyKept(std::size_t index);
  // Whether the journal stays after a run that ended with `report`, for
  // Resume to finish: the run ended early, having changed something or
  // finishing a stopped run, or it or the run it resumed left copies that
  // could not be removed, which Resume removes, or changes not known to be
  // on disk, which Resume tells from those that were lost.
  bool awaitsResume(const RunReport &report) const;
  // Removes the journal of a run that ended, if one was kept.
  JournalChange finish();

  // Where the journal is (once open has identified the folder).
  const FolderPath &path() const { return path_; }

private:
  bool kept() const { return written_ || resuming_; }
  // Appends a note through `write`, opening the journal for notes first.
  std::error_code note(fs::FsError (*write)(fs::File &, std::size_t), std::size_t index);
  StoppedRunCheck findStopped(const FolderPath &journals);
  StoppedRunCheck checkAround() const;
  StoppedRunCheck stoppedAt(StoppedRunFinding finding, const FolderPath &folder,
                            const fs::FileIdentity &identity) const;
  StoppedRunCheck checkRecorded(JournalUse use, const AskedSettings &asked, const WorkList *named,
                                JournalReader &reader);
  bool plansNoneBut(const WorkList &named) const;
  StoppedRunCheck forget();
  StoppedRunCheck forgetOthers(const FolderPath &journal);
  StoppedRunCheck resume();
  StoppedRunCheck found(StoppedRunFinding finding, std::error_code systemError = {}) const;

  std::string version_;
  FolderPath folder_;
  FolderPath path_;
  fs::FileIdentity folderIdentity_;
  JournalHeader header_;
  WorkList plan_;
  StampList stamps_;
  bool resuming_ = false;
  bool named_ = false;            // this run's, recorded in its journal
  std::size_t leftByStopped_ = 0; // files the stopped run left, not cleared away
  bool written_ = false;
  fs::File notes_;                              // the journal, open for NoteChanging
  Durability durability_ = Durability::Flushed; // of the journal and its marker
  // Stopped runs known to open, by the identity of their folders; the
  // header read from this user's journal folder only.
  struct Stopped {
    FolderPath journal;
    JournalHeader header;
    bool elsewhere = false;
    std::string owner;
  };
  std::map<std::pair<std::uint64_t, std::uint64_t>, Stopped> stopped_;
  JournalChange registry_;
};

// The journals of stopped runs over a folder that was named `name`, for
// telling where they are once the folder is gone.
std::vector<FolderPath> JournalsOfFolderNamed(FolderPath name);

// A journal Restart removed, or tried to.
struct ForgottenRun {
  FolderPath journal;
  JournalChange change;
};

// Forgets the stopped runs over the folder that was named `name`, where
// nothing has that name now: removes their journals. The copies they left
// went with the folder, or stay beside entries where it was moved to.
std::vector<ForgottenRun> ForgetRunsOverVanishedFolder(const FolderPath &name);

} // namespace tailsnip

#endif
