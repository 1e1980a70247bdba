#include "engine/trim/TrimFile.h"

#include "engine/fs/FileSystem.h"
#include "engine/trim/LineModel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

// A piece of a copy: `size` bytes of `data`, which are either the entry's
// own from `offset` on (`asIs`: the kernel may copy them itself) or their
// translation.
struct Piece {
  fs::File *input = nullptr;
  fs::File *output = nullptr;
  std::uint64_t offset = 0;
  const char *data = nullptr;
  std::size_t size = 0;
  bool asIs = false;
};

// Writes the pieces of one copy, in order, at the copy's end.
class PieceWriter {
public:
  FsError write(const Piece &piece) {
    if (piece.asIs && kernelCopies_) {
      const FsError error = fs::CopyRange(*piece.input, piece.offset, *piece.output, piece.size);
      if (error != FsError::NotSupported)
        return error;
      kernelCopies_ = false; // where it cannot now, it will not later
    }
    return fs::WriteAll(*piece.output, piece.data, piece.size);
  }

private:
  bool kernelCopies_ = true;
};

} // namespace

// Writes pieces on a thread of its own, one at a time and in the order they
// are put, while the caller reads and translates the next: on a large file
// the reading and the writing overlap. The thread starts at the first need
// and ends with the buffer.
class WriteBehind {
public:
  WriteBehind() = default;
  WriteBehind(const WriteBehind &) = delete;
  WriteBehind &operator=(const WriteBehind &) = delete;
  ~WriteBehind() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  // Whether the thread runs or could be started.
  bool ready() {
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { serve(); });
      } catch (const std::system_error &) {
        return false;
      }
    }
    return true;
  }

  // Waits until the piece put before is written and hands `piece` to
  // `writer`, unless the one before failed: then returns its error.
  FsError put(PieceWriter &writer, const Piece &piece) {
    if (const FsError before = wait(); before != FsError::None)
      return before;
    std::lock_guard<std::mutex> lock(mutex_);
    writer_ = &writer;
    piece_ = piece;
    waiting_ = true;
    changed_.notify_all();
    return FsError::None;
  }

  // Waits until the piece put last is written; how that went, with the
  // system's code for a failure made this thread's latest.
  FsError wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ && !writing_; });
    const FsError outcome = outcome_;
    outcome_ = FsError::None;
    if (outcome != FsError::None)
      fs::ErrorFromSystem(systemError_);
    return outcome;
  }

private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || waiting_; });
      if (!waiting_)
        return;
      const Piece piece = piece_;
      waiting_ = false;
      writing_ = true;
      lock.unlock();
      const FsError outcome = writer_->write(piece);
      const int systemError = outcome == FsError::None ? 0 : fs::LastSystemError();
      lock.lock();
      writing_ = false;
      outcome_ = outcome;
      systemError_ = systemError;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  PieceWriter *writer_ = nullptr;
  Piece piece_;
  bool waiting_ = false;
  bool writing_ = false;
  bool stopping_ = false;
  FsError outcome_ = FsError::None;
  int systemError_ = 0;
  std::thread thread_;
};

TrimBuffer::TrimBuffer(std::size_t chunk)
    : chunk_(chunk), memory_(new char[6 * chunk]), writeBehind_(new WriteBehind) {}

TrimBuffer::~TrimBuffer() = default;

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

// Writes the first `keep` bytes of `input` to `output` with CR LF line ends.
// `buffer.input()` may already hold the first `buffered` bytes. A chunk
// whose line ends are all CR LF already is copied by the kernel where it
// can: it was read only to be scanned. Should the entry change between the
// scan and that copy, its new size or time keeps the copy from replacing it.
// A file of several chunks is written behind its reading, from the halves
// of `buffer` in turn.
Reason WriteShortened(fs::File &input, std::uint64_t keep, std::size_t buffered, fs::File &output,
                      TrimBuffer &buffer, TrimResult &result) {
  PieceWriter writer;
  WriteBehind *behind =
      keep > buffer.chunk() && buffer.writeBehind().ready() ? &buffer.writeBehind() : nullptr;
  // Whatever happens here, no piece is still being written on return; a
  // failure found meanwhile keeps its own system code.
  struct Finish {
    WriteBehind *behind;
    ~Finish() {
      const int systemError = fs::LastSystemError();
      if (behind && behind->wait() != FsError::None)
        fs::ErrorFromSystem(systemError);
    }
  } finish{behind};
  bool afterCarriageReturn = false;
  int half = 0;
  for (std::uint64_t done = 0; done < keep; half = behind ? 1 - half : 0) {
    Piece piece{&input, &output, done, buffer.input(half)};
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep - done, buffer.chunk()));
    if (buffered == 0) {
      if (ReadFully(input, done, buffer.input(half), size) != FsError::None)
        return Reason::CannotRead;
      result.bytesRead += size;
    }
    buffered = 0;
    piece.size = size;
    if (const char *bare = FindBareLineFeed(piece.data, size, afterCarriageReturn)) {
      // What comes before the first bare line feed is already right: copy
      // it as it is and translate only from there, without scanning it again.
      const std::size_t clean = static_cast<std::size_t>(bare - piece.data);
      char *translated = buffer.output(half);
      std::memcpy(translated, piece.data, clean);
      afterCarriageReturn = false; // a bare line feed has none before it
      piece.size =
          clean + WriteLineEndsAsCrLf(bare, size - clean, translated + clean, afterCarriageReturn);
      piece.data = translated;
    } else {
      afterCarriageReturn = piece.data[size - 1] == '\r';
      piece.asIs = true;
    }
    if ((behind ? behind->put(writer, piece) : writer.write(piece)) != FsError::None)
      return Reason::CannotWriteCopy;
    result.bytesWritten += piece.size;
    done += size;
  }
  if (behind && behind->wait() != FsError::None)
    return Reason::CannotWriteCopy;
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

// Whether "temp.txt" may go to `current`: where it is open, and on the
// entry's volume, so that one rename puts the copy in place.
bool TakesTemporaryCopy(const fs::Folder &current, const fs::FileInfo &entry) {
  return current.handle.isOpen() && current.info.identity.volume == entry.identity.volume;
}

// What a dry run can know without writing: whether the entry may be
// changed, and whether a copy could be created.
TrimResult CheckCopyPlace(const TrimPlace &place, fs::File &input, const fs::FileInfo &info,
                          TrimResult &result) {
  if (fs::CheckChangeable(input) != FsError::None)
    return Fail(result, Reason::Immutable);
  const bool inCurrent =
      TakesTemporaryCopy(*place.currentFolder, info) && fs::MayCreateIn(*place.currentFolder);
  if (!inCurrent && !fs::MayCreateIn(*place.folder))
    return Fail(result, Reason::CannotWriteCopy);
  result.outcome = Outcome::Shortened;
  return result;
}

} // namespace

Replacement::Replacement(const TrimPlace &place, fs::File input, const fs::FileInfo &info)
    : folder_(place.folder), currentFolder_(place.currentFolder), path_(place.path),
      input_(std::move(input)), info_(info) {}

Replacement::~Replacement() { removeCopy(); }

void Replacement::removeCopy() {
  if (copy_.isOpen())
    fs::Close(copy_);
  if (!copyPath_.empty())
    fs::Remove(copyFolder_->handle, copyPath_);
  copyPath_.clear();
}

// Creates "temp.txt" in the current directory where that is wanted and the
// name is free and on the entry's volume. Otherwise (the name is the entry
// itself or a file of the user's, the current directory cannot be written,
// or it lies on another volume) the copy goes beside the entry under a
// unique name, so that the final step is always one rename.
FsError Replacement::create(bool currentFolderFirst) {
  removeCopy(); // one refused before
  if (currentFolderFirst && TakesTemporaryCopy(*currentFolder_, info_) &&
      fs::CreateNew(*currentFolder_, kTemporaryName, info_, copy_) == FsError::None) {
    copyFolder_ = currentFolder_;
    copyPath_ = kTemporaryName;
    return FsError::None;
  }
  return createBeside();
}

// A new file beside the entry, named so as not to meet any other file. The
// name is kept only once the file was created: a name found taken is
// someone else's, and must never be removed as ours.
FsError Replacement::createBeside() {
  static std::atomic<unsigned> counter{0};
  const std::string prefix =
      FolderOf(path_) + ".tailsnip-" + std::to_string(fs::CurrentProcessId()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    FolderPath candidate = prefix + std::to_string(++counter) + ".tmp";
    const FsError error = fs::CreateNew(*folder_, candidate, info_, copy_);
    if (error == FsError::None) {
      copyFolder_ = folder_.get();
      copyPath_ = std::move(candidate);
    }
    if (error != FsError::Exists)
      return error;
  }
  return FsError::Exists;
}

Reason Replacement::keepAttributes() {
  const FsError error = fs::KeepAttributes(input_, info_, *copyFolder_, copy_);
  if (error == FsError::None)
    return Reason::None;
  const int systemError = fs::LastSystemError();
  removeCopy();
  fs::ErrorFromSystem(systemError); // the removal's own outcome is not the story
  return ReasonForAttributes(error);
}

FsError Replacement::flush(bool volumeFlushed) {
  if (!volumeFlushed)
    if (const FsError error = fs::FlushToDisk(copy_); error != FsError::None)
      return error;
  return fs::Close(copy_);
}

TrimResult Replacement::commit(TrimResult result) {
  // Whatever was written to the entry meanwhile would be lost with it. A
  // lease tells of any other opening; size and time only of writes so far.
  fs::FileInfo now;
  if (input_.exclusive() ? !fs::StillExclusive(input_)
                         : fs::Describe(input_, now) != FsError::None || now.size != info_.size ||
                               now.modified != info_.modified)
    return Fail(result, input_.exclusive() ? Reason::InUse : Reason::ChangedWhileShortened, 0);
  fs::ReleaseForReplacement(input_);
  const FsError error = fs::MoveOver(copyFolder_->handle, copyPath_, folder_->handle, path_);
  if (error == FsError::None) {
    copyPath_.clear();
    result.outcome = Outcome::Shortened;
    return result;
  }
  crossedVolumes_ = error == FsError::CrossVolume;
  if (error == FsError::AccessDenied && input_.isOpen() &&
      fs::CheckChangeable(input_) == FsError::Immutable)
    return Fail(result, Reason::Immutable);
  return Fail(result, ReasonForReplace(error));
}

bool Replacement::mayRetryBeside() const {
  return crossedVolumes_ && input_.isOpen() && copyFolder_ != folder_.get();
}

TrimResult Replacement::write(std::uint64_t keep, std::size_t buffered, TrimBuffer &buffer,
                              TrimResult &result, bool currentFolderFirst) {
  if (create(currentFolderFirst) != FsError::None)
    return Fail(result, Reason::CannotWriteCopy);
  // A file that does not fit in one chunk is read again from its start.
  if (buffered < info_.size)
    buffered = 0;
  const Reason reason = WriteShortened(input_, keep, buffered, copy_, buffer, result);
  if (reason != Reason::None)
    return Fail(result, reason);
  result.outcome = Outcome::Shortened;
  return result;
}

namespace {

// Writes, flushes and moves the shortened copy over the entry, one entry at
// a time. A copy refused across volumes (one volume mounted twice) is made
// once more, beside the entry.
TrimResult ReplaceNow(Replacement &replacement, std::uint64_t keep, std::size_t buffered,
                      TrimBuffer &buffer, TrimResult &result) {
  for (const bool currentFolderFirst : {true, false}) {
    TrimResult written = replacement.write(keep, buffered, buffer, result, currentFolderFirst);
    if (written.outcome == Outcome::Failed)
      return written;
    if (const Reason reason = replacement.keepAttributes(); reason != Reason::None)
      return Fail(result, reason);
    if (replacement.flush(false) != FsError::None)
      return Fail(result, Reason::CannotWriteCopy);
    TrimResult committed = replacement.commit(result);
    if (!currentFolderFirst || !replacement.mayRetryBeside())
      return committed;
  }
  return Fail(result, Reason::CannotReplace, 0);
}

TrimResult TrimRegularFile(const TrimPlace &place, fs::File &input, const fs::FileInfo &info,
                           TrimBuffer &buffer, TrimMode mode,
                           std::unique_ptr<Replacement> *pending) {
  TrimResult result;
  result.outcome = Outcome::Failed;
  std::uint64_t keep = 0;
  std::size_t buffered = 0;
  if (FindKeptLength(input, info.size, buffer, keep, buffered, result) != FsError::None)
    return Fail(result, Reason::CannotRead);
  if (mode == TrimMode::DryRun)
    return CheckCopyPlace(place, input, info, result);
  auto replacement = std::make_unique<Replacement>(place, std::move(input), info);
  if (!pending)
    return ReplaceNow(*replacement, keep, buffered, buffer, result);
  TrimResult written = replacement->write(keep, buffered, buffer, result, false);
  if (written.outcome != Outcome::Failed)
    *pending = std::move(replacement);
  return written;
}

} // namespace

TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     fs::Folder *folderOut, std::unique_ptr<Replacement> *pending) {
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
    return TrimRegularFile(place, input, info, buffer, mode, pending);
  } catch (const std::bad_alloc &) {
    return {Outcome::Failed, Reason::OutOfMemory};
  }
}

TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode) {
  fs::ReadProcessIdentity();
  auto folder = std::make_shared<fs::Folder>();
  if (fs::OpenParentFolder(path, *folder) != FsError::None)
    return Failed(Reason::CannotRead);
  fs::Folder currentFolder;
  fs::OpenCurrentFolder(currentFolder); // without one, the copy goes beside the entry
  return TrimEntry({std::move(folder), &currentFolder, path}, buffer, mode);
}

} // namespace tailsnip
