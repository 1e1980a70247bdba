// The program's one operation: shorten every file beneath a folder.
#ifndef TAILSNIP_ENGINE_RUNTRIM_H
#define TAILSNIP_ENGINE_RUNTRIM_H

#include "engine/Outcome.h"
#include "engine/WorkList.h"
#include "engine/fs/FileSystem.h"
#include "engine/run/RunReport.h"
#include "engine/trim/LineModel.h"
#include "engine/walk/CollectEntries.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tailsnip {

// Shows a text to the user and returns once it has been dismissed.
using Notify = std::function<void(const std::string &text)>;

// A list made before the run, to work through in place of a walk: a
// stopped run's, or the FILE operands'.
struct Plan {
  WorkList entries; // in this order
  // The identities the entries' folders, the run's own among them, had when
  // listed: a folder that is no longer the one listed is not entered.
  FolderIdentities folders;
};

// What became of an entry of a stopped run's plan since it was listed, as
// far as its name and stamp tell.
enum class SinceListed {
  Unchanged,  // as listed: it is started
  Shortened,  // another file of its kind on its volume, as a replacement leaves it,
              // or written to in place: left as it is, counted as done already
  Changed,    // so, but the stopped run never came to change it: another program's
              // work, kept and reported
  Removed,    // nothing under its name: reported
  Replaced,   // another kind of entry, or one on another volume: reported
  Unreadable, // its name could not be looked up: reported
};

// What a caller may ask of a run beyond the plain one.
struct RunOptions {
  // Walk and read as a run would, but change nothing and write nothing.
  bool dryRun = false;
  // With dryRun: tell, of each file that would be shortened, which lines it
  // would lose (TrimResult::lost).
  bool previewLostLines = false;
  // What each file loses and how the rest is written; by default the last
  // line, with CR LF line ends, as the dialog's run does.
  TrimSettings trim;
  // How many copies may be written before any of them takes its entry's
  // place. With 1, each entry is shortened through "temp.txt" in the current
  // directory, flushed and replaced before the next is read. With more, the
  // copies go beside their entries, are flushed together (one flush of each
  // volume where the system has it) and then renamed over their entries in
  // list order, each after its checks, as a single one would be; where the
  // files this process may open allow only one, one at a time, beside its
  // entry all the same.
  std::size_t copiesInFlight = 1;
  // Whether a file may be cut to its shortened length in place rather than
  // replaced by a copy, where that gives the same bytes and nothing else
  // reaches it: its kept part is its first bytes as they are (line ends
  // kept, or CR LF throughout already), it has one name, and the run holds
  // it alone (a Linux lease, a Windows handle that shares no writing). Such
  // a cut needs no room for a copy, and keeps the file's identity. Off for
  // the dialog, which promises its copy in "temp.txt"; a run that keeps
  // backups (`trim.backup`) copies whatever this says, as a backup is the
  // old file itself.
  bool shortenInPlace = false;
  // Narrows which entries are listed and which folders entered.
  WalkOptions walk;
  // The entries to work through in place of a walk's.
  std::optional<Plan> plan;
  // The caller has claimed the folder already (LockRun) and holds the
  // claim, or for a dry run has found that it could (MayLockRun).
  bool locked = false;

  // Called once the whole list is built, with its length.
  std::function<void(std::size_t listed)> onListed;
  // Called with the whole list before the first entry is handled, and so
  // before anything changes; when it returns false the run ends there,
  // having changed nothing, and `notify` is not called.
  std::function<bool(const WorkList &list)> beforeChanges;
  // Asked before each entry of `plan` is started: only an entry found
  // Unchanged is started; one Shortened is counted as done already; the
  // others are kept and reported.
  std::function<SinceListed(std::size_t index, const FolderPath &path)> sinceListed;
  // Called on the thread that commits, just before it cuts or replaces the
  // entry at `index` of the list. Where it gives the system's reason for a
  // failure, the entry is kept as it was, and reported.
  std::function<std::error_code(std::size_t index)> beforeChanging;
  // Called on the same thread once the copy of entry `index` was kept beside
  // it, changed by another program as it lay in the entry's place.
  std::function<void(std::size_t index)> copyKept;
  // Asked of each file the run opens, with what it found under the name of
  // entry `index`: whether that is the file listed, as it was then. One
  // saved over or changed since is another program's work, and is kept.
  std::function<bool(std::size_t index, const fs::FileInfo &found)> foundAsListed;
  // Called after each entry with what became of it (or would, in a dry run).
  std::function<void(const FolderPath &path, const TrimResult &result)> onEntry;
  // Asked before each entry; once it returns true no further entry is
  // started, and the report says the run stopped.
  std::function<bool()> stopRequested;
  // How the notice shows a path; as it is when empty.
  std::function<std::string(const FolderPath &path)> showPath;
};

// Lists every entry beneath `folder`, shortens each file by its last line
// (or as `options.trim` asks) in list order, then calls `notify` once with
// FormatNotice of the report.
// Each entry is reached through the folders the walk listed, held open; an
// entry whose folder was renamed or replaced meanwhile is kept and reported.
// When another run is working in `folder`, inside it or above it (its folder
// found beneath this one while listing, by identity), nothing is touched and
// `notify` is called with FormatBusy instead. When `options.walk.mayEnter`
// refuses a folder, nothing is touched and `notify` is not called. A dry run
// takes no claim, and only looks for others' (MayLockRun): it changes
// nothing that another run could meet.
// An empty `folder` is no folder the user chose: nothing is walked, nothing
// is touched and `notify` is not called.
RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options = {});

} // namespace tailsnip

#endif
