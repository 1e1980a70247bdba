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

Reason ReasonForReplace(FsError error) {
  return error == FsError::InUse ? Reason::InUse : Reason::CannotReplace;
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

// A new file beside `entry`, named so as not to meet any other file.
// `path` is set only when the file was created: a name found taken is
// someone else's, and must never be removed as ours.
FsError CreateBeside(const FolderPath &entry, const fs::FileInfo &like, FolderPath &path,
                     fs::File &file) {
  static unsigned counter = 0;
  const std::string prefix =
      FolderOf(entry) + ".tailsnip-" + std::to_string(fs::CurrentProcessId()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    FolderPath candidate = prefix + std::to_string(++counter) + ".tmp";
    const FsError error = fs::CreateNew(candidate, like, file);
    if (error == FsError::None)
      path = std::move(candidate);
    if (error != FsError::Exists)
      return error;
  }
  return FsError::Exists;
}

// The shortened copy while it is written; removed unless it was moved
// into the entry's place.
class Copy {
public:
  ~Copy() {
    if (file_.isOpen())
      fs::Close(file_);
    if (!path_.empty())
      fs::Remove(path_);
  }

  // Creates "temp.txt", or a file beside the entry when that name is taken:
  // whatever holds it (the entry itself, or a file of the user's) is kept.
  FsError create(const FolderPath &entry, const fs::FileInfo &like) {
    FsError error = fs::CreateNew(kTemporaryName, like, file_);
    if (error == FsError::None)
      path_ = kTemporaryName;
    else if (error == FsError::Exists)
      error = CreateBeside(entry, like, path_, file_);
    return error;
  }

  fs::File &file() { return file_; }

  // Flushes and closes the copy; it must be complete before it replaces.
  FsError finish() {
    if (const FsError error = fs::FlushToDisk(file_); error != FsError::None)
      return error;
    return fs::Close(file_);
  }

  // Renames the finished copy over `entry`. A copy on another volume than
  // the entry is first copied beside it, so the final step is still a rename.
  FsError moveOver(const FolderPath &entry, const fs::FileInfo &like, TrimBuffer &buffer) {
    const FsError error = renameOver(entry);
    if (error != FsError::CrossVolume)
      return error;
    Copy beside; // this copy is then removed like a failed one
    if (const FsError copied = beside.copyFrom(path_, entry, like, buffer); copied != FsError::None)
      return copied;
    // Some file systems (unions of several disks) refuse even this rename;
    // copying again would only repeat the refusal, file after file.
    return beside.renameOver(entry);
  }

private:
  FsError renameOver(const FolderPath &entry) {
    const FsError error = fs::MoveOver(path_, entry);
    if (error == FsError::None)
      path_.clear();
    return error;
  }

  FsError copyFrom(const FolderPath &source, const FolderPath &entry, const fs::FileInfo &like,
                   TrimBuffer &buffer) {
    fs::File input;
    fs::FileInfo info;
    FsError error = fs::OpenForReading(source, input, info);
    if (error == FsError::None)
      error = CreateBeside(entry, like, path_, file_);
    for (std::size_t got = 1; error == FsError::None && got > 0;) {
      error = fs::ReadSome(input, buffer.input(), buffer.chunk(), got);
      if (error == FsError::None)
        error = fs::WriteAll(file_, buffer.input(), got);
    }
    return error == FsError::None ? finish() : error;
  }

  FolderPath path_;
  fs::File file_;
};

// Writes the first `keep` bytes of `input` to `output` with CR LF line ends.
// `buffer.input()` may already hold the first `buffered` bytes. A chunk
// whose line ends are all CR LF already is copied by the kernel where it
// can: it was read only to be scanned. Should the entry change between the
// scan and that copy, its new size or time keeps the copy from replacing it.
Reason WriteShortened(fs::File &input, std::uint64_t keep, std::size_t buffered, fs::File &output,
                      TrimBuffer &buffer, TrimResult &result) {
  bool afterCarriageReturn = false;
  bool kernelCopies = true;
  for (std::uint64_t done = 0; done < keep;) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep - done, buffer.chunk()));
    if (buffered == 0) {
      if (ReadFully(input, done, buffer.input(), size) != FsError::None)
        return Reason::CannotRead;
      result.bytesRead += size;
    }
    buffered = 0;
    const char *data = buffer.input();
    std::size_t length = size;
    bool copied = false;
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
      if (kernelCopies) {
        const FsError error = fs::CopyRange(input, done, output, size);
        if (error != FsError::None && error != FsError::NotSupported)
          return Reason::CannotWriteCopy;
        copied = error == FsError::None;
        kernelCopies = copied; // where it cannot now, it will not later
      }
    }
    if (!copied && fs::WriteAll(output, data, length) != FsError::None)
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

TrimResult TrimRegularFile(const FolderPath &path, fs::File &input, const fs::FileInfo &info,
                           TrimBuffer &buffer, TrimMode mode) {
  TrimResult result;
  result.outcome = Outcome::Failed;
  std::uint64_t keep = 0;
  std::size_t buffered = 0;
  if (FindKeptLength(input, info.size, buffer, keep, buffered, result) != FsError::None) {
    result.reason = Reason::CannotRead;
    return result;
  }
  if (mode == TrimMode::DryRun) {
    result.outcome = Outcome::Shortened;
    return result;
  }
  Copy copy;
  if (copy.create(path, info) != FsError::None) {
    result.reason = Reason::CannotWriteCopy;
    return result;
  }
  // A file that does not fit in one chunk is read again from its start.
  if (buffered < info.size)
    buffered = 0;
  result.reason = WriteShortened(input, keep, buffered, copy.file(), buffer, result);
  if (result.reason != Reason::None)
    return result;
  if (copy.finish() != FsError::None) {
    result.reason = Reason::CannotWriteCopy;
    return result;
  }
  // Whatever was written to the entry meanwhile would be lost with it.
  fs::FileInfo now;
  if (fs::Describe(input, now) != FsError::None || now.size != info.size ||
      now.modified != info.modified) {
    result.reason = Reason::ChangedWhileShortened;
    return result;
  }
  // Windows will not replace a file that is still open, even by us.
  fs::Close(input);
  if (const FsError error = copy.moveOver(path, info, buffer); error != FsError::None) {
    result.reason = ReasonForReplace(error);
    return result;
  }
  result.outcome = Outcome::Shortened;
  return result;
}

} // namespace

TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode) {
  try {
    fs::File input;
    fs::FileInfo info;
    if (const FsError error = fs::OpenForReading(path, input, info); error != FsError::None)
      return {Outcome::Failed, ReasonForOpen(error)};
    switch (info.kind) {
    case fs::FileKind::Folder:
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
    return TrimRegularFile(path, input, info, buffer, mode);
  } catch (const std::bad_alloc &) {
    return {Outcome::Failed, Reason::OutOfMemory};
  }
}

} // namespace tailsnip
