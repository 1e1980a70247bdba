#include "engine/trim/Replacement.h"

#include <atomic>
#include <string>
#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

Reason ReasonForAttributes(FsError error) {
  return error == FsError::OwnerNotKept ? Reason::OwnerNotKept : Reason::AttributesNotKept;
}

Reason ReasonForReplace(FsError error) {
  return error == FsError::InUse ? Reason::InUse : Reason::CannotReplace;
}

FolderPath FolderOf(const FolderPath &path) {
  const std::size_t separator = path.find_last_of(kPathSeparator);
  return separator == FolderPath::npos ? FolderPath() : path.substr(0, separator + 1);
}

} // namespace

// Whether "temp.txt" may go to `current`: where it is open, and on the
// entry's volume, so that one rename puts the copy in place.
bool TakesTemporaryCopy(const fs::Folder &current, const fs::FileInfo &entry) {
  return current.handle.isOpen() && current.info.identity.volume == entry.identity.volume;
}

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
                              TrimResult &result) {
  keep_ = keep;
  if (create(true) != FsError::None)
    return Fail(result, Reason::CannotWriteCopy);
  return fill(buffered, buffer, result);
}

TrimResult Replacement::writeBeside(TrimBuffer &buffer, TrimResult &result) {
  if (create(false) != FsError::None)
    return Fail(result, Reason::CannotWriteCopy);
  return fill(0, buffer, result);
}

TrimResult Replacement::fill(std::size_t buffered, TrimBuffer &buffer, TrimResult &result) {
  // A file that does not fit in one chunk is read again from its start.
  if (buffered < info_.size)
    buffered = 0;
  const Reason reason = WriteShortened(input_, keep_, buffered, copy_, buffer, result);
  if (reason != Reason::None)
    return Fail(result, reason);
  result.outcome = Outcome::Shortened;
  return result;
}

} // namespace tailsnip
