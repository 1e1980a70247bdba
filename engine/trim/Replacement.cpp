#include "engine/trim/Replacement.h"

#include "engine/trim/CopyName.h"

#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

Reason ReasonForAttributes(FsError error) {
  return error == FsError::OwnerNotKept ? Reason::OwnerNotKept : Reason::AttributesNotKept;
}

// A copy the file system gave more access than its entry is no copy to write.
Reason ReasonForCreate(FsError error) {
  return error == FsError::AttributesNotKept ? Reason::AttributesNotKept : Reason::CannotWriteCopy;
}

Reason ReasonForReplace(FsError error) {
  return error == FsError::InUse ? Reason::InUse : Reason::CannotReplace;
}

// Whether "temp.txt" may go to `current`: where it is open, on the entry's
// volume, so that one rename puts the copy in place, and changeable, so that
// a copy made there is never left (an append-only folder takes one but
// never lets it go).
bool TakesTemporaryCopy(const fs::Folder &current, const fs::FileInfo &entry) {
  return current.handle.isOpen() && current.info.identity.volume == entry.identity.volume &&
         current.changeable == FsError::None;
}

} // namespace

Replacement::Replacement(const TrimPlace &place, fs::File input, const fs::FileInfo &info)
    : folder_(place.folder), currentFolder_(place.currentFolder), path_(place.path),
      input_(std::move(input)), info_(info), copiesLeft_(place.copiesLeft), entry_(place.entry) {}

Replacement::~Replacement() {
  removeCopy();
  // Unless the entry was replaced. Windows removes no name of a file held
  // open without sharing its deletion: the entry is let go first.
  if (backup_.made() && input_.isOpen())
    fs::Close(input_);
  // An earlier backup left aside is named in the journal, which stays for
  // --resume to put it back.
  if (backup_.undo(*folder_) != FsError::None && copiesLeft_)
    ++*copiesLeft_;
}

FsError Replacement::removeCopy() {
  if (copy_.isOpen())
    fs::Close(copy_);
  FsError error = FsError::None;
  if (!copyPath_.empty())
    error = fs::Remove(copyFolder_->handle, copyPath_);
  if (error != FsError::None && error != FsError::NotFound && copiesLeft_)
    ++*copiesLeft_;
  copyPath_.clear();
  return error;
}

// Creates the copy, in the current directory where "temp.txt" is wanted
// and that directory is on the entry's volume, otherwise (or where the
// current directory refuses) beside the entry, so that the final step is
// always one rename. Unnamed where the file system allows: nobody can open
// it before it has the entry's access, and it cannot be left behind.
FsError Replacement::create(bool currentFolderFirst) {
  removeCopy(); // one refused before
  temporaryFirst_ = currentFolderFirst && TakesTemporaryCopy(*currentFolder_, info_);
  if (temporaryFirst_ && fs::CreateUnnamed(*currentFolder_, info_, copy_) == FsError::None) {
    copyFolder_ = currentFolder_;
    return FsError::None;
  }
  const FsError error = fs::CreateUnnamed(*folder_, info_, copy_);
  if (error == FsError::None) {
    copyFolder_ = folder_.get();
    temporaryFirst_ = false;
  }
  if (error != FsError::NotSupported)
    return error;
  return takeName([this](const fs::Folder &in, const FolderPath &name) {
    return fs::CreateNew(in, name, info_, copy_);
  });
}

// Finds the copy a name: "temp.txt" in the current directory where that is
// wanted and free, otherwise a unique name beside the entry. `take` creates
// or links the copy under a name, or returns Exists. A name found taken is
// someone else's, and must never be removed as ours.
template <typename Take> FsError Replacement::takeName(Take take) {
  if (temporaryFirst_ && take(*currentFolder_, kTemporaryName) == FsError::None) {
    copyFolder_ = currentFolder_;
    copyPath_ = kTemporaryName;
    return FsError::None;
  }
  const FolderPath folder = FolderOf(path_);
  FsError error = FsError::Exists;
  for (int attempt = 0; attempt < 100 && error == FsError::Exists; ++attempt) {
    FolderPath candidate = folder + NextCopyName(entry_);
    error = take(*folder_, candidate);
    if (error == FsError::None) {
      copyFolder_ = folder_.get();
      copyPath_ = std::move(candidate);
    }
  }
  return error;
}

TrimResult Replacement::keepAttributes(TrimResult result) {
  if (cut_)
    return result; // the entry keeps its own
  FsError error = fs::KeepAttributes(input_, info_, copy_, kept_);
  Reason reason = ReasonForAttributes(error);
  // An unnamed copy gets its name only now that it has the entry's access.
  if (error == FsError::None && copyPath_.empty()) {
    error = takeName([this](const fs::Folder &in, const FolderPath &name) {
      return fs::NameUnnamed(copy_, in, name);
    });
    // Made in the folder it is named in, a copy is refused as of another
    // volume only where that folder passes on a project other than the
    // entry's, which the copy was given.
    reason = error == FsError::CrossVolume && copyFolder_ == folder_.get()
                 ? Reason::AttributesNotKept
                 : Reason::CannotWriteCopy;
  }
  if (error == FsError::None)
    return result;
  removeCopy();
  return Fail(result, reason, error.code());
}

FsError Replacement::flush(bool volumeFlushed) {
  if (!volumeFlushed)
    if (const FsError error = fs::FlushToDisk(written()); error != FsError::None)
      return error;
  if (cut_)
    return FsError::None;
  if (const FsError error = backup_.flush(*folder_, volumeFlushed); error != FsError::None)
    return error;
  return fs::Close(copy_);
}

TrimResult Replacement::commit(TrimResult result) {
  if (cut_)
    return cut(result);
  // Whatever was written to the entry meanwhile would be lost with it. A
  // lease tells of any opening since it was taken; size and time of writes
  // before it, by a program that has closed the file since, and of all
  // writes where no lease could be had. A narrower access, a new owner or
  // attribute given meanwhile would be undone by the copy, made as the
  // entry was: its status change tells of them, as they open nothing, and
  // on Windows its security descriptor. An entry with no name left was
  // saved over or removed, as the exchange then tells.
  if (input_.exclusive() && !fs::StillExclusive(input_))
    return Fail(result, Reason::InUse, {});
  fs::FileInfo now;
  if (fs::Describe(input_, now) != FsError::None || now.size != info_.size ||
      now.modified != info_.modified ||
      (now.names > 0 && now.statusChanged != info_.statusChanged) ||
      fs::CheckAttributesKept(input_, kept_) != FsError::None)
    return Fail(result, Reason::ChangedWhileShortened, {});
  fs::ReleaseForReplacement(input_);
  bool removeFrom = true;
  const FsError error = fs::MoveOverSame(copyFolder_->handle, copyPath_, folder_->handle, path_,
                                         input_, now, kept_, removeFrom);
  if (!removeFrom)
    copyPath_.clear();
  if (error == FsError::None) {
    const FsError earlierBackup = backup_.keep(*folder_);
    result.outcome = Outcome::Shortened;
    // After an exchange the replaced file lies under the copy's name: once
    // the run's journal is gone, nothing else would remove it. Nor would
    // anything remove an earlier backup left aside, named as a copy.
    if (const FsError removal = removeCopy(); removal != FsError::None)
      return Fail(result, Reason::ReplacedFileLeft, removal.code());
    if (earlierBackup != FsError::None) {
      if (copiesLeft_)
        ++*copiesLeft_;
      return Fail(result, Reason::EarlierBackupLeft, earlierBackup.code());
    }
    return result;
  }
  crossedVolumes_ = error == FsError::CrossVolume;
  // What another program saved or removed meanwhile stays as it left it.
  if (error == FsError::Changed)
    return Fail(result, Reason::ChangedDuringRun, {});
  if (error == FsError::NotFound)
    return Fail(result, Reason::RemovedDuringRun, {});
  if (error == FsError::AttributesNotKept)
    return Fail(result, Reason::ChangedWhileShortened, {});
  if (error == FsError::CopyChanged)
    return Fail(result, Reason::CopyChangedLeft, {});
  if (error == FsError::AccessDenied && input_.isOpen())
    if (const FsError changeable = fs::CheckChangeable(input_); changeable == FsError::Immutable)
      return Fail(result, Reason::Immutable, changeable.code());
  return Fail(result, ReasonForReplace(error), error.code());
}

// Nobody else has the entry open, as its lease tells; a name made for it
// meanwhile would see it cut too, and lose a line of its own. Renames and
// links open nothing, and break no lease: the entry's name is asked too,
// for a file saved over it, its old self moved to a backup's name, say.
TrimResult Replacement::cut(TrimResult result) {
  fs::FileInfo named;
  const fs::CutWindow window(input_);
  if (!fs::StillExclusive(input_))
    return Fail(result, Reason::InUse, {});
  // The name, still leading to the file, describes it as it is now.
  if (const FsError error = fs::DescribeEntry(*folder_, path_, named); error != FsError::None)
    return error == FsError::NotFound ? Fail(result, Reason::RemovedDuringRun, {})
                                      : Fail(result, Reason::ChangedDuringRun, error.code());
  if (named.identity != info_.identity)
    return Fail(result, Reason::ChangedDuringRun, {});
  // File capabilities or a set-group-ID bit given meanwhile would be lost
  // with the cut.
  if (named.names != 1 || named.size != info_.size || named.modified != info_.modified ||
      named.statusChanged != info_.statusChanged)
    return Fail(result, Reason::ChangedWhileShortened, {});
  if (const FsError error = fs::CutTo(input_, keep_); error != FsError::None)
    return Fail(result, ReasonForReplace(error), error.code());
  result.outcome = Outcome::Shortened;
  return result;
}

bool Replacement::mayRetryBeside() const {
  return crossedVolumes_ && input_.isOpen() && copyFolder_ != folder_.get();
}

TrimResult Replacement::write(std::uint64_t keep, std::size_t buffered, bool keepLineEnds,
                              TrimBuffer &buffer, TrimResult &result) {
  keep_ = keep;
  keepLineEnds_ = keepLineEnds;
  if (const FsError error = create(true); error != FsError::None)
    return Fail(result, ReasonForCreate(error), error.code());
  return fill(buffered, buffer, result);
}

TrimResult Replacement::cutInPlace(std::uint64_t keep, TrimResult &result) {
  keep_ = keep;
  cut_ = true;
  result.outcome = Outcome::Shortened;
  return result;
}

TrimResult Replacement::keepOriginal(const BackupSettings &settings, BackupNumbers &numbers,
                                     TrimBuffer &buffer, TrimResult result) {
  // A backup made as another name of the entry changes the entry's status:
  // the commit then looks for changes from that moment on, once none came
  // before it.
  fs::FileInfo now;
  if (fs::Describe(input_, now) != FsError::None || now.statusChanged != info_.statusChanged) {
    removeCopy();
    return Fail(result, Reason::ChangedWhileShortened, {});
  }
  const FsError error =
      backup_.make(*folder_, path_, input_, info_, entry_, settings, numbers, buffer);
  if (error == FsError::None && fs::Describe(input_, now) == FsError::None)
    info_.statusChanged = now.statusChanged;
  if (error == FsError::None)
    return result;
  removeCopy();
  return FailBackup(result, error);
}

TrimResult Replacement::writeBeside(TrimBuffer &buffer, TrimResult &result) {
  if (const FsError error = create(false); error != FsError::None)
    return Fail(result, ReasonForCreate(error), error.code());
  return fill(0, buffer, result);
}

TrimResult Replacement::fill(std::size_t buffered, TrimBuffer &buffer, TrimResult &result) {
  // A file that does not fit in one chunk is read again from its start.
  if (buffered < info_.size)
    buffered = 0;
  if (const FsError error = fs::KeepFlags(input_, copy_); error != FsError::None)
    return Fail(result, Reason::AttributesNotKept, error.code());
  if (!WriteShortened(input_, info_, keep_, buffered, keepLineEnds_, copy_, buffer, result))
    return result;
  result.outcome = Outcome::Shortened;
  return result;
}

} // namespace tailsnip
