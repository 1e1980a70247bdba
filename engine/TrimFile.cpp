#include "engine/TrimFile.h"

#include "engine/FileSystem.h"
#include "engine/LineModel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace tailsnip {

using fs::FsError;

TrimBuffer::TrimBuffer(std::size_t chunk) : chunk_(chunk), memory_(new char[3 * chunk]) {}

namespace {

TrimResult Unchanged(Reason reason) { return {Outcome::LeftUnchanged, reason}; }

Reason ReasonForOpen(FsError error) {
  switch (error) {
  case FsError::InUse:
    return Reason::InUse;
  case FsError::NameTooLong:
    return Reason::PathTooLong;
  default:
    return Reason::CannotRead;
  }
}

Reason ReasonForClaim(FsError error) {
  switch (error) {
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

Reason ReasonForAttributes(FsError error) {
  return error == FsError::OwnerNotKept ? Reason::OwnerNotKept : Reason::AttributesNotKept;
}

Reason ReasonForReplace(FsError error) {
  return error == FsError::InUse ? Reason::InUse : Reason::CannotReplace;
}

// A failure, with what the system said of it (0: it said nothing).
TrimResult Failed(Reason reason, int systemError = fs::LastSystemError()) {
  return {Outcome::Failed, reason, 0, 0, systemError};
}

TrimResult Fail(TrimResult &result, Reason reason, int systemError = fs::LastSystemError()) {
  result.outcome = Outcome::Failed;
  result.reason = reason;
  result.systemError = systemError;
  return result;
}

// Reads exactly `size` bytes at `offset`, or fails: a file that shrinks
// while it is read cannot be cut at the place that was found.
FsError ReadFully(fs::File &file, std::uint64_t offset, char *buffer, std::size_t size) {
  while (size > 0) {
    std::size_t got = 0;
    if (const FsError error = fs::ReadAt(file, offset, buffer, size, got); error != FsError::None)
      return error;
    if (got == 0)
      return FsError::Other;
    offset += got;
    buffer += got;
    size -= got;
  }
  return FsError::None;
}

FolderPath FolderOf(const FolderPath &path) {
  const std::size_t separator = path.find_last_of(kPathSeparator);
  return separator == FolderPath::npos ? FolderPath() : path.substr(0, separator + 1);
}

// The shortened copy while it is written; removed unless it was moved
// into the entry's place.
class Copy {
public:
  ~Copy() {
    if (file_.isOpen())
      fs::Close(file_);
    if (!path_.empty())
      fs::Remove(folder_->handle, path_);
  }

  // Creates "temp.txt" in the current directory where that name is free and
  // on the entry's volume. Otherwise (the name is the entry itself or a file
  // of the user's, the current directory cannot be written, or it lies on
  // another volume) the copy goes beside the entry under a unique name, so
  // that the final step is always one rename.
  FsError create(const fs::Folder &currentFolder, const fs::Folder &entryFolder,
                 const FolderPath &entry, const fs::FileInfo &like) {
    if (currentFolder.handle.isOpen() &&
        currentFolder.info.identity.volume == like.identity.volume &&
        fs::CreateNew(currentFolder, kTemporaryName, like, file_) == FsError::None) {
      folder_ = &currentFolder;
      path_ = kTemporaryName;
      return FsError::None;
    }
    return createBeside(entryFolder, entry, like);
  }

  const fs::Folder &folder() const { return *folder_; }

  fs::File &file() { return file_; }

  // Flushes and closes the copy; it must be complete before it replaces.
  FsError finish() {
    if (const FsError error = fs::FlushToDisk(file_); error != FsError::None)
      return error;
    return fs::Close(file_);
  }

  // Renames the finished copy over `entry`.
  FsError moveOver(const fs::Folder &entryFolder, const FolderPath &entry) {
    const FsError error = fs::MoveOver(folder_->handle, path_, entryFolder.handle, entry);
    if (error == FsError::None)
      path_.clear();
    return error;
  }

private:
  // A new file beside `entry`, named so as not to meet any other file. The
  // path is kept only once the file was created: a name found taken is
  // someone else's, and must never be removed as ours.
  FsError createBeside(const fs::Folder &entryFolder, const FolderPath &entry,
                       const fs::FileInfo &like) {
    static unsigned counter = 0;
    const std::string prefix =
        FolderOf(entry) + ".tailsnip-" + std::to_string(fs::CurrentProcessId()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      FolderPath candidate = prefix + std::to_string(++counter) + ".tmp";
      const FsError error = fs::CreateNew(entryFolder, candidate, like, file_);
      if (error == FsError::None) {
        folder_ = &entryFolder;
        path_ = std::move(candidate);
      }
      if (error != FsError::Exists)
        return error;
    }
    return FsError::Exists;
  }

  const fs::Folder *folder_ = nullptr;
  FolderPath path_;
  fs::File file_;
};

// Writes the first `keep` bytes of `input` to `output` with CR LF line ends.
// `buffer.input()` may already hold the first `buffered` bytes.
Reason WriteShortened(fs::File &input, std::uint64_t keep, std::size_t buffered, fs::File &output,
                      TrimBuffer &buffer, TrimResult &result) {
  bool afterCarriageReturn = false;
  for (std::uint64_t done = 0; done < keep;) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep - done, buffer.chunk()));
    if (buffered == 0) {
      if (ReadFully(input, done, buffer.input(), size) != FsError::None)
        return Reason::CannotRead;
      result.bytesRead += size;
    }
    buffered = 0;
    // Text that already ends its lines with CR LF is written as it was read.
    const char *data = buffer.input();
    std::size_t length = size;
    if (const char *bare = FindBareLineFeed(data, size, afterCarriageReturn)) {
      // What comes before the first bare line feed is already right: copy
      // it as it is and translate only from there, without scanning it again.
      const std::size_t clean = static_cast<std::size_t>(bare - data);
      std::memcpy(buffer.output(), data, clean);
      afterCarriageReturn = false; // a bare line feed has none before it
      length = clean + WriteLineEndsAsCrLf(bare, size - clean, buffer.output() + clean,
                                           afterCarriageReturn);
      data = buffer.output();
    } else {
      afterCarriageReturn = data[size - 1] == '\r';
    }
    if (fs::WriteAll(output, data, length) != FsError::None)
      return Reason::CannotWriteCopy;
    result.bytesWritten += length;
    done += size;
  }
  return Reason::None;
}

// Finds how many leading bytes hold every line but the last, reading the
// file from its end. A file that fits in one chunk is read whole and stays
// in `buffer.input()`; `buffered` then says how much of it is there.
FsError FindKeptLength(fs::File &input, std::uint64_t size, TrimBuffer &buffer, std::uint64_t &keep,
                       std::size_t &buffered, TrimResult &result) {
  LastLineSearch search;
  buffered = 0;
  for (std::uint64_t end = size; end > 0 && !search.found();) {
    const std::uint64_t start = end > buffer.chunk() ? end - buffer.chunk() : 0;
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (const FsError error = ReadFully(input, start, buffer.input(), length);
        error != FsError::None)
      return error;
    result.bytesRead += length;
    search.feed(buffer.input(), length, start);
    if (start == 0)
      buffered = length;
    end = start;
  }
  keep = search.keep();
  return FsError::None;
}

// Writes, flushes and moves the shortened copy over the entry. A copy
// refused across volumes (one volume mounted twice) is made once more,
// beside the entry.
TrimResult ReplaceByShortened(const TrimPlace &place, fs::File &input, const fs::FileInfo &info,
                              std::uint64_t keep, std::size_t buffered, TrimBuffer &buffer,
                              TrimResult &result) {
  const fs::Folder none;
  for (const fs::Folder *currentFolder : {place.currentFolder, &none}) {
    Copy copy;
    if (copy.create(*currentFolder, *place.folder, place.path, info) != FsError::None)
      return Fail(result, Reason::CannotWriteCopy);
    // A file that does not fit in one chunk is read again from its start.
    if (buffered < info.size)
      buffered = 0;
    result.reason = WriteShortened(input, keep, buffered, copy.file(), buffer, result);
    if (result.reason != Reason::None)
      return Fail(result, result.reason);
    if (const FsError error = fs::KeepAttributes(input, info, copy.folder(), copy.file());
        error != FsError::None)
      return Fail(result, ReasonForAttributes(error));
    if (copy.finish() != FsError::None)
      return Fail(result, Reason::CannotWriteCopy);
    // Whatever was written to the entry meanwhile would be lost with it. A
    // lease tells of any other opening; size and time only of writes so far.
    fs::FileInfo now;
    if (input.exclusive() ? !fs::StillExclusive(input)
                          : fs::Describe(input, now) != FsError::None || now.size != info.size ||
                                now.modified != info.modified)
      return Fail(result, input.exclusive() ? Reason::InUse : Reason::ChangedWhileShortened, 0);
    fs::ReleaseForReplacement(input);
    const FsError error = copy.moveOver(*place.folder, place.path);
    if (error == FsError::CrossVolume && currentFolder != &none && input.isOpen())
      continue;
    if (error == FsError::AccessDenied && input.isOpen() &&
        fs::CheckChangeable(input) == FsError::Immutable)
      return Fail(result, Reason::Immutable);
    if (error != FsError::None)
      return Fail(result, ReasonForReplace(error));
    result.outcome = Outcome::Shortened;
    return result;
  }
  return Fail(result, Reason::CannotReplace, 0);
}

// What a dry run can know without writing: whether the entry may be
// changed, and whether a copy could be created.
TrimResult CheckCopyPlace(const TrimPlace &place, fs::File &input, TrimResult &result) {
  if (fs::CheckChangeable(input) != FsError::None)
    return Fail(result, Reason::Immutable);
  const bool inCurrent = place.currentFolder->handle.isOpen() &&
                         place.currentFolder->info.identity.volume ==
                             place.folder->info.identity.volume &&
                         fs::MayCreateIn(*place.currentFolder);
  if (!inCurrent && !fs::MayCreateIn(*place.folder))
    return Fail(result, Reason::CannotWriteCopy);
  result.outcome = Outcome::Shortened;
  return result;
}

TrimResult TrimRegularFile(const TrimPlace &place, fs::File &input, fs::FileInfo &info,
                           TrimBuffer &buffer, TrimMode mode) {
  TrimResult result;
  result.outcome = Outcome::Failed;
  std::uint64_t keep = 0;
  std::size_t buffered = 0;
  if (FindKeptLength(input, info.size, buffer, keep, buffered, result) != FsError::None)
    return Fail(result, Reason::CannotRead);
  if (mode == TrimMode::DryRun)
    return CheckCopyPlace(place, input, result);
  return ReplaceByShortened(place, input, info, keep, buffered, buffer, result);
}

} // namespace

TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     fs::Folder *folderOut) {
  try {
    fs::File input;
    fs::FileInfo info;
    if (const FsError error = fs::OpenEntry(place.folder->handle, place.path, input, info);
        error != FsError::None) {
      // An unreadable folder is named once, by the walk that could not search it.
      if (info.kind == fs::FileKind::Folder)
        return Unchanged(Reason::IsFolder);
      return Failed(ReasonForOpen(error));
    }
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
    if (info.size == 0)
      return Unchanged(Reason::NoLines);
    if (info.readOnly)
      return {Outcome::Failed, Reason::ReadOnly};
    if (const FsError error = fs::ClaimForReplacement(input, info); error != FsError::None)
      return Failed(ReasonForClaim(error));
    return TrimRegularFile(place, input, info, buffer, mode);
  } catch (const std::bad_alloc &) {
    return {Outcome::Failed, Reason::OutOfMemory};
  }
}

TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode) {
  fs::Folder folder;
  if (fs::OpenParentFolder(path, folder) != FsError::None)
    return Failed(Reason::CannotRead);
  fs::Folder currentFolder;
  fs::OpenCurrentFolder(currentFolder); // without one, the copy goes beside the entry
  return TrimEntry({&folder, &currentFolder, path}, buffer, mode);
}

} // namespace tailsnip
