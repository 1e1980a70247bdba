#include "engine/trim/TrimFile.h"

#include "engine/trim/Committer.h"

#include <new>
#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

TrimResult Unchanged(Reason reason) { return {Outcome::LeftUnchanged, reason}; }

Reason ReasonForOpen(FsError error) {
  switch (error.kind()) {
  case FsError::InUse:
    return Reason::InUse;
  case FsError::NameTooLong:
    return Reason::PathTooLong;
  default:
    return Reason::CannotRead;
  }
}

Reason ReasonForClaim(FsError error) {
  switch (error.kind()) {
  case FsError::InUse:
    return Reason::InUse;
  case FsError::AccessDenied:
    return Reason::NoWritePermission;
  case FsError::Immutable:
    return Reason::Immutable;
  case FsError::OwnerNotKept:
    return Reason::OwnerNotKept;
  default:
    return Reason::CannotReplace;
  }
}

// A failure, with what the system said of it.
TrimResult Failed(Reason reason, const FsError &error) {
  return {Outcome::Failed, reason, 0, 0, error.code()};
}

Reason ReasonForFolder(FsError error) {
  return error == FsError::Immutable ? Reason::FolderImmutable : Reason::FolderNotWritable;
}

// Whether the entry's first `keep` bytes as they are make its shortened
// form: its line ends are kept, or are CR LF throughout already, which
// takes reading them; what `buffer` held of a file larger than it is then
// gone from it (`buffered`). False with `result` failed where they could
// not be read.
bool KeptPartIsShortened(fs::File &input, const fs::FileInfo &info, std::uint64_t keep,
                         std::size_t &buffered, const TrimSettings &settings, TrimBuffer &buffer,
                         TrimResult &result) {
  bool crLf = settings.keepLineEnds;
  if (crLf)
    return true;
  if (buffered < info.size)
    buffered = 0;
  return FindOnlyCrLf(input, info, keep, buffered, buffer, crLf, result) && crLf;
}

TrimResult TrimRegularFile(const TrimPlace &place, fs::File &input, const fs::FileInfo &info,
                           TrimBuffer &buffer, TrimMode mode, const TrimSettings &settings,
                           bool mayCut, std::unique_ptr<Replacement> &copy) {
  TrimResult result;
  result.outcome = Outcome::Failed;
  std::uint64_t keep = 0;
  std::uint64_t lost = 0;
  std::size_t buffered = 0;
  if (const FsError error =
          FindKeptLength(input, info, settings.lines, buffer, keep, lost, buffered, result);
      error != FsError::None)
    return Fail(result, ReasonForRead(error), error.code());
  // Asked only once a cut would do, as most files of a default-mode run
  // are copied.
  const bool cut = mayCut &&
                   KeptPartIsShortened(input, info, keep, buffered, settings, buffer, result) &&
                   (mode == TrimMode::Replace ? fs::CheckOpenedForCutting(input, info)
                                              : fs::CheckCuttable(input, info)) == FsError::None;
  if (result.reason != Reason::None)
    return result;
  // A cut makes no entry in the folder, and keeps the entry's owner; a copy
  // needs both. The folder was asked once, so that a dry run tells what the
  // real run meets.
  if (!cut) {
    if (const FsError &error = place.folder->changeable; error != FsError::None)
      return Failed(ReasonForFolder(error), error);
    if (const FsError error = fs::CheckOwnerCanBeKept(info); error != FsError::None)
      return Failed(Reason::OwnerNotKept, error);
    if (mode != TrimMode::Replace)
      if (const FsError error = fs::CheckAttributesCanBeKept(*place.folder, input);
          error != FsError::None)
        return Failed(Reason::AttributesNotKept, error);
  }
  BackupNumbers ownNumbers;
  BackupNumbers &numbers = place.backupNumbers ? *place.backupNumbers : ownNumbers;
  if (mode != TrimMode::Replace) {
    if (const FsError error =
            CheckBackupName(*place.folder, place.path, info, settings.backup, numbers);
        error != FsError::None)
      return FailBackup(result, error);
    result.outcome = Outcome::Shortened;
    if (mode == TrimMode::Preview)
      if (const FsError error =
              ReadLostLines(input, keep, info.size, lost, buffered, buffer, result);
          error != FsError::None) {
        result.lost = {};
        return Fail(result, ReasonForRead(error), error.code());
      }
    return result;
  }
  auto replacement = std::make_unique<Replacement>(place, std::move(input), info);
  TrimResult written =
      cut ? replacement->cutInPlace(keep, result)
          : replacement->write(keep, buffered, settings.keepLineEnds, buffer, result);
  if (written.outcome != Outcome::Failed && settings.backup.control != BackupControl::None)
    written = replacement->keepOriginal(settings.backup, numbers, buffer, written);
  if (written.outcome != Outcome::Failed)
    copy = std::move(replacement);
  return written;
}

} // namespace

TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     std::unique_ptr<Replacement> &copy, fs::Folder *folderOut,
                     const TrimSettings &settings, bool mayCutInPlace) {
  try {
    // A backup is the old file itself, which only a copy leaves whole. A dry
    // run does not open the file for writing: closing it would tell anyone
    // watching the file that it was written.
    const bool mayCut = mayCutInPlace && settings.backup.control == BackupControl::None;
    fs::FileInfo info;
    // A backup may be another name of a file this run holds, made moments
    // ago: opening it would break the run's own claim on that file.
    if (IsBackupName(place.path, settings.backup) &&
        fs::DescribeEntry(*place.folder, place.path, info) == FsError::None &&
        info.kind == fs::FileKind::Regular)
      return Unchanged(Reason::IsBackup);
    if (place.onSystemVolume && !place.listedAsFolder)
      return Unchanged(Reason::SystemFile);
    fs::File input;
    if (const FsError error = fs::OpenEntry(
            *place.folder, place.path, input, info,
            mayCut && mode == TrimMode::Replace ? fs::OpenFor::Cutting : fs::OpenFor::Reading);
        error != FsError::None) {
      // An unreadable folder is named once, by the walk that could not search it.
      if (info.kind == fs::FileKind::Folder)
        return {Outcome::LeftUnchanged, Reason::IsFolder, 0, 0, error.code()};
      if (error == FsError::NotFound && place.listed)
        return {Outcome::Failed, Reason::RemovedDuringRun};
      return Failed(ReasonForOpen(error), error);
    }
    if (place.listedAsFolder && info.kind != fs::FileKind::Folder)
      return {Outcome::Failed, Reason::ChangedDuringRun};
    switch (info.kind) {
    case fs::FileKind::Folder:
      if (folderOut) {
        folderOut->handle = std::move(input);
        folderOut->info = info;
      }
      return Unchanged(Reason::IsFolder);
    case fs::FileKind::Link:
      return Unchanged(Reason::IsLink);
    case fs::FileKind::Other:
      return Unchanged(Reason::NotRegularFile);
    case fs::FileKind::Regular:
      break;
    }
    if (IsBackupName(place.path, settings.backup))
      return Unchanged(Reason::IsBackup);
    if (place.foundAsListed && !place.foundAsListed(info))
      return {Outcome::Failed, Reason::ChangedDuringRun};
    if (info.size == 0)
      return Unchanged(Reason::NoLines);
    if (info.readOnly)
      return {Outcome::Failed, Reason::ReadOnly};
    // Another name would see the cut too, and lose a line of its own.
    const bool cuttable = mayCut && info.names == 1;
    if (const FsError error = fs::ClaimForReplacement(input, info); error != FsError::None)
      return Failed(ReasonForClaim(error), error);
    return TrimRegularFile(place, input, info, buffer, mode, settings,
                           cuttable && input.exclusive(), copy);
  } catch (const std::bad_alloc &) {
    return {Outcome::Failed, Reason::OutOfMemory};
  }
}

TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode,
                    const TrimSettings &settings) {
  fs::ReadProcessIdentity();
  auto folder = std::make_shared<fs::Folder>();
  if (const FsError error = fs::OpenParentFolder(path, *folder); error != FsError::None)
    return Failed(Reason::CannotRead, error);
  folder->changeable = fs::CheckFolderChangeable(*folder);
  fs::Folder currentFolder;
  // Without one, the copy goes beside the entry.
  if (fs::OpenCurrentFolder(currentFolder) == FsError::None)
    currentFolder.changeable = fs::CheckFolderChangeable(currentFolder);
  Shortening shortening;
  shortening.result = TrimEntry({std::move(folder), &currentFolder, path}, buffer, mode,
                                shortening.copy, nullptr, settings);
  Committer().commit({&shortening}, &buffer);
  return shortening.result;
}

} // namespace tailsnip
