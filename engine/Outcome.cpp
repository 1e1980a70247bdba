#include "engine/Outcome.h"

#include "engine/fs/FsError.h"

namespace tailsnip {

const char *DescribeReason(Reason reason) {
  switch (reason) {
  case Reason::None:
    return "done";
  case Reason::NoLines:
    return "no lines";
  case Reason::IsFolder:
    return "a folder";
  case Reason::IsLink:
    return "a link";
  case Reason::NotRegularFile:
    return "not a regular file";
  case Reason::IsBackup:
    return "a backup";
  case Reason::RunsOwnFile:
    return "a run's journal or copy, or named as one";
  case Reason::SystemFile:
    return "a file of the system's own (/proc, /sys)";
  case Reason::ReadOnly:
    return "read-only";
  case Reason::NoWritePermission:
    return "no permission to write it";
  case Reason::Immutable:
    return "immutable or append-only";
  case Reason::FolderNotWritable:
    return "its folder cannot be written";
  case Reason::FolderImmutable:
    return "its folder is immutable or append-only";
  case Reason::OwnerNotKept:
    return "its owner or group could not be kept";
  case Reason::AttributesNotKept:
    return "its permissions or attributes could not be kept";
  case Reason::InUse:
    return "in use";
  case Reason::ChangedWhileShortened:
    return "changed while it was being shortened";
  case Reason::ChangedDuringRun:
    return "changed during the run";
  case Reason::JournalNotWritten:
    return "the run's journal could not be written";
  case Reason::CopyChangedLeft:
    return "changed while it was being shortened, and so was its copy, left under the copy's name";
  case Reason::RemovedDuringRun:
    return "removed during the run";
  case Reason::CannotRead:
    return "could not be read";
  case Reason::CannotWriteCopy:
    return "temporary copy could not be written";
  case Reason::CannotReplace:
    return "could not be replaced";
  case Reason::BackupNotMade:
    return "its backup could not be made";
  case Reason::BackupNameTaken:
    return "its backup's name is taken";
  case Reason::NameNotRepresentable:
    return "name not representable in the system code page";
  case Reason::PathTooLong:
    return "path too long";
  case Reason::CannotSearchFolder:
    return "folder could not be searched";
  case Reason::FolderChanged:
    return "folder changed during the run";
  case Reason::OutOfMemory:
    return "out of memory";
  case Reason::CutNotFlushed:
    return "shortened in place, but not known to be on disk";
  case Reason::ReplacedFileLeft:
    return "shortened, but the file it replaced is left under its copy's name";
  case Reason::EarlierBackupLeft:
    return "shortened, but its earlier backup is left under a copy's name";
  case Reason::NamesNotFlushed:
    return "shortened, but its folder's new names are not known to be on disk";
  }
  return "unknown";
}

TrimResult Fail(TrimResult &result, Reason reason, const std::error_code &systemError) {
  result.outcome = Outcome::Failed;
  result.reason = reason;
  result.systemError = systemError;
  return result;
}

std::string DescribeFailure(Reason reason, const std::error_code &systemError) {
  std::string text = DescribeReason(reason);
  if (systemError)
    text += ": " + fs::DescribeSystemError(systemError);
  return text;
}

} // namespace tailsnip
