// What became of one entry, and why: the values the engine reports with.
#ifndef TAILSNIP_ENGINE_OUTCOME_H
#define TAILSNIP_ENGINE_OUTCOME_H

#include "engine/FolderPath.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace tailsnip {

enum class Outcome {
  Shortened,     // replaced by a copy without its last line
  LeftUnchanged, // nothing to do (no lines, not a regular file) or not the run's (see Reason)
  Failed,        // should have been shortened but was kept as it was
};

enum class Reason {
  None,
  // Left unchanged.
  NoLines,
  IsFolder,
  IsLink,
  NotRegularFile,
  IsBackup,    // named as the run names backups
  RunsOwnFile, // a run's copy or journal, or a file named as one
  SystemFile,  // on a file system of the kernel's own (/proc, /sys)
  // Failed: the entry is exactly as it was.
  ReadOnly,
  NoWritePermission,
  Immutable,
  FolderNotWritable, // a read-only mount, or no permission: no copy could take the entry's place
  FolderImmutable,   // or append-only: a copy could be made there, but never renamed or removed
  OwnerNotKept,
  AttributesNotKept,
  InUse,
  ChangedWhileShortened,
  ChangedDuringRun, // another file took its name
  RemovedDuringRun,
  CannotRead,
  CannotWriteCopy,
  CannotReplace,
  BackupNotMade,
  BackupNameTaken, // by a folder or a link, say: never replaced
  NameNotRepresentable,
  PathTooLong,
  CannotSearchFolder,
  FolderChanged,
  OutOfMemory,
  JournalNotWritten, // the run's journal could not note that it was about to change it
  // Kept as it was; its copy, changed by another program in the instant it
  // lay in the entry's place, stays under the copy's name beside it.
  CopyChangedLeft,
  // Failed, though the entry is shortened: cut in place, the disk did not
  // say it keeps the cut.
  CutNotFlushed,
  // Failed, though the entry is shortened: the file it replaced could not
  // be removed, and stays whole under the copy's name beside it.
  ReplacedFileLeft,
  // Failed, though the entry is shortened and backed up: its earlier simple
  // backup, moved aside for the new one, could not be removed.
  EarlierBackupLeft,
  // Failed, though the files of the entry's folder are shortened: the
  // folder, holding their new names, could not be flushed to stable storage.
  NamesNotFlushed,
};

// A short phrase for the user, e.g. "read-only".
const char *DescribeReason(Reason reason);

// The phrase and, where the system gave one, its own text:
// "could not be read: Permission denied".
std::string DescribeFailure(Reason reason, const std::error_code &systemError);

// The lines a shortening removes from a file, for a person to look over:
// how many, and the start of each of the first few, bounded however long the
// lines are. A line is shown without its line end.
struct LostLines {
  static constexpr std::size_t kLinesShown = 10;
  static constexpr std::size_t kBytesShown = 512;
  struct Line {
    std::string start; // its first kBytesShown bytes, or all of it
    bool cut = false;  // it goes on past `start`
  };
  std::uint64_t count = 0; // lines removed
  std::vector<Line> shown; // the first kLinesShown of them, in order
};

struct TrimResult {
  Outcome outcome = Outcome::Failed;
  Reason reason = Reason::None;
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
  // What the system said of a failure, if it said anything; of a folder
  // left unchanged, why it could not be opened.
  std::error_code systemError{};
  // In a preview, of a file that would be shortened: what it would lose.
  LostLines lost{};
};

// Marks `result` failed for `reason`, keeping what was read and written, with
// what the system said of it (empty: it said nothing).
TrimResult Fail(TrimResult &result, Reason reason, const std::error_code &systemError);

// An entry or folder that could not be handled, for the report.
struct Failure {
  FolderPath path;
  Reason reason = Reason::None;
  std::error_code systemError{};
};

} // namespace tailsnip

#endif
