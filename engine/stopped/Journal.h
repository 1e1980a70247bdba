// The journal of a run: its plan, written and flushed outside the tree
// before the first change, so that a run cut short by a signal, a crash or
// a power loss can be finished exactly once and never repeated by mistake.
//
// A journal lists every entry with its stamp at listing time. Shortening a
// file changes its stamp: a copy renamed over it is a new identity, and a
// cut in place a new size and time. An entry whose stamp still matches has
// not been shortened, one whose stamp differs has been (or was changed by
// someone else, and is left alone).
#ifndef TAILSNIP_ENGINE_JOURNAL_H
#define TAILSNIP_ENGINE_JOURNAL_H

#include "engine/WorkList.h"
#include "engine/fs/FileSystem.h"
#include "engine/stopped/StampList.h"
#include "engine/trim/CopyName.h"
#include "engine/trim/LineModel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace tailsnip {

// Describes the entry at `path` without following a final link.
fs::FsError StampEntry(const FolderPath &path, EntryStamp &stamp);

// Whether the entry at `path` is as `listed` describes it: never where it
// could not be described, then or now.
bool StillAsStamped(const FolderPath &path, const EntryStamp &listed);

// Where journals are kept: $XDG_STATE_HOME/tailsnip, else
// ~/.local/state/tailsnip, the home folder taken from the password database
// where HOME is unset; %LOCALAPPDATA%\Tailsnip on Windows. Empty when no
// place is known: relative ones are not, as runs from elsewhere would not
// find a stopped run's journal there.
FolderPath DefaultJournalFolder();

// Whether a user other than this one (and the superuser) could change what
// the journal folder `journals` holds: where it, or the folder it lies in,
// is another user's, or may be written by anyone. Another user could then
// plant a journal this user's runs would resume, or lead the journal
// elsewhere by a link (a superuser whose HOME is still a user's, say).
bool OthersMayChangeJournals(const FolderPath &journals);

// `path` made absolute, links resolved where it exists; `path` itself when
// that cannot be done.
FolderPath AbsolutePath(const FolderPath &path);

struct JournalHeader {
  std::string version;             // of the program that wrote it
  FolderPath folder;               // absolute, as named when the run began
  fs::FileIdentity folderIdentity; // what the journal is found by
  TrimSettings trim;               // what the run removes, kept for its resumption
  bool named = false;              // over FILEs named beneath the folder, not over all of it
  std::size_t entries = 0;
  std::vector<CopyMaker> processes; // every process that worked on the run
  // The entries, by place in the list, that its processes noted they were
  // about to change (NoteChanging); empty until the plan is read.
  std::vector<bool> noted;
  // Whether a process of the run may have changed the entry at `index`.
  bool mayHaveChanged(std::size_t index) const { return index < noted.size() && noted[index]; }
  // The entries whose copies were kept, changed by another program
  // (NoteCopyKept); empty until the plan is read.
  std::vector<bool> copyKept;
  bool keptCopyOf(std::size_t index) const { return index < copyKept.size() && copyKept[index]; }
};

// A file a stopped run left in its tree that was not cleared away: a copy
// not removed, or an earlier simple backup kept aside not put back under its
// name (`backup`) nor let go, for the system's reason; or a copy kept as it
// may hold a save made over the entry beside it (`savedOver`).
struct LeftFile {
  FolderPath path;
  FolderPath backup;    // of an earlier backup kept aside; empty for a copy
  FolderPath savedOver; // of a copy kept on purpose; empty otherwise
  std::error_code systemError;
  // Kept on purpose as another program changed it in its entry's place,
  // not as a save over the entry.
  bool changedInPlace = false;
  // `path` is a folder of the stopped run no longer in its tree (moved out,
  // or removed): any copy it holds, or earlier backup kept aside, was left.
  bool folderGone = false;
};

// The journal of a run over the folder with `identity`.
FolderPath JournalPath(const FolderPath &journalFolder, const fs::FileIdentity &identity);

// Whether what is written about a run must outlive a power cut. It need
// not where the run's folder is kept in memory (tmpfs), whose changes, and
// files, a power cut takes anyway; a run stopped any other way finds its
// journal written whether flushed or not.
enum class Durability { Flushed, InMemory };

// Stamps every entry of `list` (each beneath `header.folder`'s name as
// `root`) and writes them with `header` to `path`, creating the folders on
// the way, private to the user. The journal is written as it is made, so
// memory stays small whatever the list's length, unless the stamps are
// `kept` too, in list order. On return without error the journal, and its
// name, are on stable storage (Flushed); on failure no journal is left.
fs::FsError WriteJournal(const FolderPath &path, const JournalHeader &header,
                         const FolderPath &root, const WorkList &list,
                         Durability durability = Durability::Flushed, StampList *kept = nullptr);

enum class JournalState { Found, Missing, Unreadable, Malformed, OtherFormat };

// Reads a journal front to back, once: its header, then, should the caller
// go on, its plan. What it finds is never trusted further than it checks:
// a plan is Found only whole, with every entry inside the folder.
class JournalReader {
public:
  JournalReader();
  ~JournalReader();
  JournalReader(const JournalReader &) = delete;
  JournalReader &operator=(const JournalReader &) = delete;

  // Opens the journal at `path` and reads its header, processes aside.
  // Found when the header is whole, with a folder named; OtherFormat when
  // another format's (the header then empty); Missing when there is none;
  // Unreadable when there is one that could not be opened (systemError()
  // tells why) or read.
  JournalState readHeader(const FolderPath &path, JournalHeader &header);

  // The system's reason where readHeader could not open the journal.
  const std::error_code &systemError() const { return systemError_; }

  // Once readHeader found the header: reads the entries into `list` (their
  // paths beneath `root`, the folder's name today) and `stamps`, and the
  // processes into `header`. Found only when the journal holds exactly the
  // entries its header counts, each named by names joined by separators,
  // none empty, "." or "..", and at least one process; otherwise `list` and
  // `stamps` are left empty.
  JournalState readPlan(const FolderPath &root, JournalHeader &header, WorkList &list,
                        StampList &stamps);

  // Lets go of the journal, which Windows lets nobody else write or remove
  // while it is open here.
  void close();

private:
  JournalState readEntries(const FolderPath &root, JournalHeader &header, WorkList &list,
                           StampList &stamps);
  struct Source;
  std::unique_ptr<Source> source_;
  std::error_code systemError_;
};

// Reads the journal at `path` with a JournalReader: the header, and with
// `list` and `stamps` the plan too.
JournalState ReadJournal(const FolderPath &path, JournalHeader &header, const FolderPath &root = {},
                         WorkList *list = nullptr, StampList *stamps = nullptr);

// Removes the journal at `path`.
fs::FsError RemoveJournal(const FolderPath &path);

// Removes the draft of the journal at `path` that a process killed while
// writing it left, once no run over its folder can be writing it.
fs::FsError RemoveJournalDraft(const FolderPath &path);

// Notes in the journal, durably as `durability` asks, that `process` works
// on the run now: the copies it leaves are found by its number and token.
fs::FsError AddProcess(const FolderPath &path, const CopyMaker &process,
                       Durability durability = Durability::Flushed);

// Notes in the journal open for appending as `journal` that its process is
// about to cut or replace the entry at `index` of the list: a stopped run's
// entry without such a note that no longer matches its stamp was changed
// by another program. One noted and then not changed, as the process was
// killed between the two, is taken as changed by the run. Not flushed:
// after a power cut, an entry shortened just after a note that did not
// reach the disk is kept as changed by another program, never shortened
// twice.
fs::FsError NoteChanging(fs::File &journal, std::size_t index);

// Notes so that the copy of the entry at `index` was kept beside it, as
// another program changed it: no later resumption is to remove it.
fs::FsError NoteCopyKept(fs::File &journal, std::size_t index);

// Removes the copies that the journal's processes left in `root` and in
// the folders of `list` (entries whose stamp says folder; one moved within
// `root` since is found there by its identity), and only those:
// files named as a run names its copies, with one of their numbers and
// tokens. A process recorded without a token (by an earlier program) names
// no copy: its copies cannot be told from a user's files, and are kept. So
// is a copy whose entry another program saved over as the run replaced it:
// it is neither the entry's old self nor a copy that never took its place,
// and may hold that save.
// An earlier simple backup that a process kept aside goes back under its
// name, unless its entry was replaced: the backup made in its place then
// holds the entry as it was, and the earlier one goes, as the run would
// have let it go. Returns what was left: each copy kept, or that could not
// be removed, each earlier backup that could not be put back or let go, and
// each folder of the list no longer in `root`, where none was looked for.
std::vector<LeftFile> RemoveLeftCopies(const JournalHeader &header, const FolderPath &root,
                                       const WorkList &list, const StampList &stamps);

// Appends every journal in `journalFolder` to `journals`, for finding one
// by its folder's name. A folder that does not exist holds none; one that
// cannot be read through gives an error.
fs::FsError ListJournals(const FolderPath &journalFolder, std::vector<FolderPath> &journals);

// The platform parts the journal is written with.
namespace journal {
// Creates `folder` and any missing parents, private to the user.
fs::FsError MakeFolders(const FolderPath &folder);
// Creates a new file that only the user may read and write.
fs::FsError CreatePrivate(const FolderPath &path, fs::File &file);
// Lets only the user read and write `file`, and the user always, whatever
// the umask took when it was made.
fs::FsError KeepPrivate(fs::File &file);
// Opens an existing file for writing at its end.
fs::FsError OpenForAppend(const FolderPath &path, fs::File &file);
} // namespace journal

} // namespace tailsnip

#endif
