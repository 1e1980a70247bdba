#include "engine/trim/Backup.h"

#include "engine/fs/DirectorySearch.h"
#include "engine/trim/CopyName.h"
#include "engine/trim/CopyWriter.h"

#include <string_view>
#include <system_error>

namespace tailsnip {

using fs::FsError;

namespace {

// As many names as a busy folder could take from under a run.
constexpr int kAttempts = 100;

constexpr std::string_view kNumberStart = ".~";

// N of a name "NAME.~N~" (N without a leading zero), as its digits, and
// NAME's length; empty for any other name. Numbers stay digits, as cp keeps
// them: none is too large to count on from.
std::string_view BackupNumber(std::string_view name, std::size_t &baseLength) {
  if (name.size() < 4 || name.back() != '~')
    return {};
  const std::size_t start = name.rfind(kNumberStart);
  if (start == std::string_view::npos || start == 0)
    return {};
  const std::string_view digits =
      name.substr(start + kNumberStart.size(), name.size() - 1 - start - kNumberStart.size());
  if (digits.empty() || digits[0] < '1' || digits[0] > '9' ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return {};
  baseLength = start;
  return digits;
}

// Whether the number `number` (digits, no leading zero) is above `other`.
bool IsAbove(std::string_view number, std::string_view other) {
  return number.size() != other.size() ? number.size() > other.size() : number > other;
}

// The number after `number` (digits; empty is 0).
std::string NextNumber(std::string number) {
  for (std::size_t i = number.size(); i-- > 0;) {
    if (number[i] != '9') {
      ++number[i];
      return number;
    }
    number[i] = '0';
  }
  return '1' + number;
}

bool IsSimpleBackupName(std::string_view name, const std::string &suffix) {
  return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

} // namespace

bool IsBackupName(std::string_view path, const BackupSettings &settings) {
  const std::string_view name = NameOf(path);
  std::size_t baseLength = 0;
  switch (settings.control) {
  case BackupControl::None:
    return false;
  case BackupControl::Simple:
    return IsSimpleBackupName(name, settings.suffix);
  case BackupControl::Numbered:
    return !BackupNumber(name, baseLength).empty();
  case BackupControl::Existing:
    return !BackupNumber(name, baseLength).empty() || IsSimpleBackupName(name, settings.suffix);
  }
  return false;
}

FsError BackupNumbers::highest(const fs::Folder &folder, const FolderPath &within,
                               const std::string &name, std::string &highest) {
  if (!listed_ || within != folder_) {
    highest_.clear();
    listed_ = false;
    std::vector<FindRecord> entries;
    if (const FsError error = ListFolder(folder, within, entries); error != FsError::None)
      return error;
    for (const FindRecord &entry : entries) {
      std::size_t baseLength = 0;
      if (const std::string_view number = BackupNumber(entry.name, baseLength); !number.empty())
        if (std::string &known = highest_[entry.name.substr(0, baseLength)]; IsAbove(number, known))
          known = number;
    }
    folder_ = within;
    listed_ = true;
  }
  const auto found = highest_.find(name);
  highest = found == highest_.end() ? std::string() : found->second;
  return FsError::None;
}

namespace {

// Whether the backup of `name` in `folder` (reached at `within`) is a simple
// one (`simple`); if not, the highest number its numbered backups have
// (empty for none).
FsError ChooseBackup(const fs::Folder &folder, const FolderPath &within, const std::string &name,
                     const BackupSettings &settings, BackupNumbers &numbers, bool &simple,
                     std::string &highest) {
  if (settings.control != BackupControl::Simple)
    if (const FsError error = numbers.highest(folder, within, name, highest);
        error != FsError::None)
      return error;
  simple = settings.control == BackupControl::Simple ||
           (settings.control == BackupControl::Existing && highest.empty());
  return FsError::None;
}

} // namespace

FsError CheckBackupName(const fs::Folder &folder, const FolderPath &path, const fs::FileInfo &info,
                        const BackupSettings &settings, BackupNumbers &numbers) {
  const std::string name(NameOf(path));
  const FolderPath within = FolderOf(path);
  if (settings.control == BackupControl::None)
    return FsError::None;
  bool simple = false;
  std::string highest;
  if (const FsError error = ChooseBackup(folder, within, name, settings, numbers, simple, highest);
      error != FsError::None || !simple)
    return error;
  fs::FileInfo taken;
  const FsError error = fs::DescribeEntry(folder, within + name + settings.suffix, taken);
  if (error == FsError::NotFound ||
      (error == FsError::None && taken.kind == fs::FileKind::Regular && taken.owner == info.owner))
    return FsError::None;
  return error != FsError::None
             ? error
             : FsError{FsError::Exists, std::make_error_code(std::errc::file_exists)};
}

TrimResult FailBackup(TrimResult &result, const FsError &error) {
  switch (error.kind()) {
  case FsError::Changed:
    return Fail(result, Reason::ChangedDuringRun, {});
  case FsError::NotFound:
    return Fail(result, Reason::RemovedDuringRun, {});
  case FsError::Exists:
    return Fail(result, Reason::BackupNameTaken, {});
  default:
    return Fail(result, Reason::BackupNotMade, error.code());
  }
}

FsError Backup::make(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                     const fs::FileInfo &info, std::size_t listed, const BackupSettings &settings,
                     BackupNumbers &numbers, TrimBuffer &buffer) {
  listed_ = listed;
  const std::string name(NameOf(path));
  const FolderPath within = FolderOf(path);
  bool simple = false;
  std::string highest;
  if (const FsError error = ChooseBackup(folder, within, name, settings, numbers, simple, highest);
      error != FsError::None)
    return error;
  if (simple) {
    const FolderPath simpleName = within + name + settings.suffix;
    if (adoptExisting(folder, simpleName, info))
      return FsError::None;
    const FsError error = place(folder, path, entry, info, simpleName, buffer);
    return error == FsError::Exists ? replaceSimple(folder, path, entry, info, simpleName, buffer)
                                    : error;
  }
  const auto numberedName = [&](const std::string &number) {
    return within + name + std::string(kNumberStart) + number + "~";
  };
  if (!highest.empty() && adoptExisting(folder, numberedName(highest), info))
    return FsError::None;
  // A number found taken was given by someone else meanwhile: the next one.
  FsError error = FsError::Exists;
  std::string number = highest;
  for (int attempt = 0; attempt < kAttempts && error == FsError::Exists; ++attempt) {
    number = NextNumber(number);
    error = place(folder, path, entry, info, numberedName(number), buffer);
    if (error == FsError::None)
      numbers.noteMade(name, number);
  }
  return error;
}

// The entry's simple backup, or its highest numbered one, already a second
// name of the entry itself, left by a run stopped between its backup and
// its replacement or made by the user: that is the backup still, and
// another would keep the same bytes twice (Windows would not even move it
// aside, the entry being held open). Not this run's to remove.
bool Backup::adoptExisting(const fs::Folder &folder, const FolderPath &name,
                           const fs::FileInfo &info) {
  fs::FileInfo named;
  if (info.names < 2 || fs::DescribeEntry(folder, name, named) != FsError::None ||
      named.kind != fs::FileKind::Regular || named.identity != info.identity)
    return false;
  path_ = name;
  identity_ = info.identity;
  adopted_ = true;
  return true;
}

// Gives the entry the further name `name`, exclusively: a hard link, else a copy.
FsError Backup::place(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                      const fs::FileInfo &info, const FolderPath &name, TrimBuffer &buffer) {
  FsError error = fs::LinkFile(folder.handle, path, entry, name);
  if (error == FsError::None)
    identity_ = info.identity;
  else if (error == FsError::NotSupported)
    error = copyTo(folder, entry, info, name, buffer);
  if (error == FsError::None)
    path_ = name;
  return error;
}

// The entry's bytes under `name`, with its access, written and flushed
// before they are named, so that no crash leaves part of them under a
// backup's name: unnamed where the system allows; elsewhere (FAT) under a
// copy's name for the user alone, which a --resume clears, then renamed,
// never over another file.
FsError Backup::copyTo(const fs::Folder &folder, fs::File &entry, const fs::FileInfo &info,
                       const FolderPath &name, TrimBuffer &buffer) {
  fs::File copy;
  FsError error = fs::CreateUnnamed(folder, info, copy);
  const bool unnamed = error == FsError::None;
  FolderPath staged;
  if (error == FsError::NotSupported) {
    staged = FolderOf(name) + NextCopyName(listed_);
    error = fs::CreateNew(folder, staged, info, copy);
  }
  if (error != FsError::None)
    return error;
  error = fs::KeepFlags(entry, copy);
  TrimResult written;
  if (error == FsError::None &&
      !WriteShortened(entry, info, info.size, 0, true, copy, buffer, written))
    error = {FsError::Other, written.systemError};
  fs::KeptAttributes kept;
  if (error == FsError::None)
    error = fs::KeepAttributes(entry, info, copy, kept);
  fs::FileIdentity made = kept.copy;
  if (error == FsError::None)
    error = fs::FlushToDisk(copy);
  // Once flushed: a FUSE file system may write what was cached, and set the
  // time anew, only then.
  if (error == FsError::None)
    error = fs::KeepTimes(entry, copy);
  if (error == FsError::None && unnamed)
    error = fs::NameUnnamed(copy, folder, name);
  if (const FsError closed = fs::Close(copy); error == FsError::None)
    error = closed;
  if (error == FsError::None && !unnamed) {
    error = fs::MoveAsideFile(folder.handle, staged, name);
    // FAT on Windows numbers a file by where its name lies.
    if (fs::FileInfo renamed;
        error == FsError::None && fs::DescribeEntry(folder, name, renamed) == FsError::None)
      made = renamed.identity;
  }
  if (error != FsError::None && !unnamed)
    fs::Remove(folder.handle, staged);
  if (error == FsError::None)
    identity_ = made;
  return error;
}

// A simple backup takes the place of the one before it, which is kept aside
// under a name of its own until the entry is replaced: should this run stop
// first, its --resume puts it back, or removes it once its entry was
// replaced. Nothing but a regular file
// is moved aside, and only one of the entry's owner: in a shared folder,
// another user's file of that name is theirs, not a backup of this one.
FsError Backup::replaceSimple(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                              const fs::FileInfo &info, const FolderPath &name,
                              TrimBuffer &buffer) {
  fs::FileInfo earlier;
  if (fs::DescribeEntry(folder, name, earlier) == FsError::None && earlier.owner != info.owner)
    return {FsError::Exists, std::make_error_code(std::errc::file_exists)};
  const FolderPath within = FolderOf(path);
  FsError error = FsError::Exists;
  FolderPath aside;
  for (int attempt = 0; attempt < kAttempts && error == FsError::Exists; ++attempt) {
    aside = within + NextAsideName(NameOf(name));
    error = fs::MoveAsideFile(folder.handle, name, aside);
  }
  if (error == FsError::Changed) // a folder, a link: no backup of ours
    return {FsError::Exists, std::make_error_code(std::errc::file_exists)};
  if (error == FsError::NotFound) // removed meanwhile: its name is free
    return place(folder, path, entry, info, name, buffer);
  if (error != FsError::None)
    return error;
  error = place(folder, path, entry, info, name, buffer);
  if (error == FsError::None) {
    replaced_ = aside;
    replacedHasOtherNames_ = earlier.names > 1;
  } else
    fs::MoveAsideFile(folder.handle, aside, name);
  return error;
}

FsError Backup::flush(const fs::Folder &folder, bool volumeFlushed) {
  return made() && !volumeFlushed ? fs::FlushFolder(folder.handle) : FsError::None;
}

FsError Backup::keep(const fs::Folder &folder) {
  const FsError error = replaced_.empty() ? FsError::None : fs::Remove(folder.handle, replaced_);
  replaced_.clear();
  path_.clear();
  return error == FsError::NotFound ? FsError::None : error;
}

FsError Backup::undo(const fs::Folder &folder) {
  if (!made())
    return FsError::None;
  // Only while the name still leads to what was made under it.
  fs::FileInfo named;
  if (!adopted_ && fs::DescribeEntry(folder, path_, named) == FsError::None &&
      named.identity == identity_)
    fs::Remove(folder.handle, path_);
  const FsError error =
      replaced_.empty() ? FsError::None : fs::MoveAsideFile(folder.handle, replaced_, path_);
  replaced_.clear();
  path_.clear();
  return error;
}

} // namespace tailsnip
