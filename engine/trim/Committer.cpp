#include "engine/trim/Committer.h"

#include <algorithm>
#include <cstdint>

namespace tailsnip {

namespace {

bool Contains(const std::vector<std::uint64_t> &values, std::uint64_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Flushes and closes the copy of `item`, or flushes its entry cut in place;
// a failure is told in its result, with the system's text, on whichever
// thread it happened.
void FlushCopy(Shortening &item, bool volumeFlushed) {
  if (const fs::FsError error = item.copy->flush(volumeFlushed); error != fs::FsError::None)
    Fail(item.result, item.copy->cutsInPlace() ? Reason::CutNotFlushed : Reason::CannotWriteCopy,
         error.code());
}

bool AwaitsCut(const Shortening &item) { return item.copy && item.copy->cutsInPlace(); }

bool HoldsCopy(const Shortening &item) { return item.copy && !item.copy->cutsInPlace(); }

bool IsCut(const Shortening &item) {
  return AwaitsCut(item) && item.result.outcome == Outcome::Shortened;
}

// Whether the entry of `item`, at `index` in its batch, may be changed now,
// as `changing` tells; where not, it is kept and the reason told.
bool MayChange(Shortening &item, std::size_t index,
               const std::function<std::error_code(std::size_t index)> &changing) {
  const std::error_code error = changing ? changing(index) : std::error_code();
  if (!error)
    return true;
  Fail(item.result, Reason::JournalNotWritten, error);
  item.copy.reset(); // removes the copy, and a backup made for it
  return false;
}

} // namespace

// Cuts are made first, so that one flush covers them and the copies alike:
// a volume shared by both is flushed once, not twice. Then each copy takes
// its entry's place, and each entry is told of in the batch's order.
void Committer::commit(const std::vector<Shortening *> &batch, TrimBuffer *rewriteBuffer,
                       const std::function<std::error_code(std::size_t index)> &changing,
                       const std::function<void(std::size_t index)> &committed) {
  keepAttributes(batch);
  for (std::size_t i = 0; i < batch.size(); ++i)
    if (AwaitsCut(*batch[i]) && MayChange(*batch[i], i, changing))
      commitOne(*batch[i], rewriteBuffer);
  flush(batch);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (HoldsCopy(*batch[i]) && MayChange(*batch[i], i, changing))
      commitOne(*batch[i], rewriteBuffer);
    if (HoldsCopy(*batch[i]) && batch[i]->result.outcome == Outcome::Shortened)
      noteRenamed(*batch[i]->copy);
    if (committed)
      committed(i);
  }
}

void Committer::noteRenamed(const Replacement &copy) {
  const auto sameFolder = [&](const auto &renamed) { return renamed.first == copy.folder(); };
  if (std::none_of(renamedIn_.begin(), renamedIn_.end(), sameFolder))
    renamedIn_.emplace_back(copy.folder(), copy.path());
}

std::vector<Failure> Committer::flushNames() {
  std::vector<Failure> failures;
  for (const auto &[folder, entry] : renamedIn_)
    if (const fs::FsError error = fs::FlushFolder(folder->handle); error != fs::FsError::None)
      failures.push_back({entry, Reason::NamesNotFlushed, error.code()});
  renamedIn_.clear();
  return failures;
}

void Committer::commitOne(Shortening &item, TrimBuffer *rewriteBuffer) {
  const TrimResult written = item.result;
  item.result = item.copy->commit(written);
  if (rewriteBuffer && item.copy->mayRetryBeside()) {
    // One volume mounted twice: "temp.txt" lies on it, but not for a rename.
    item.result = written;
    if (item.copy->writeBeside(*rewriteBuffer, item.result).outcome == Outcome::Failed)
      item.copy.reset();
    else
      commit({&item}, nullptr);
  }
}

// Attributes first: a flush covers them too. Done here, on the thread that
// waits for the disk, rather than on one that reads ahead.
void Committer::keepAttributes(const std::vector<Shortening *> &batch) {
  for (Shortening *item : batch)
    if (item->copy) {
      item->result = item->copy->keepAttributes(item->result);
      if (item->result.outcome == Outcome::Failed)
        item->copy.reset();
    }
}

void Committer::flush(const std::vector<Shortening *> &batch) {
  const auto flushes = [](const Shortening *item) { return IsCut(*item) || HoldsCopy(*item); };
  const auto writtenOn = [&](std::uint64_t volume) {
    return std::count_if(batch.begin(), batch.end(), [&](const Shortening *item) {
      return flushes(item) && item->copy->volume() == volume;
    });
  };
  std::vector<std::uint64_t> flushedVolumes;
  std::vector<std::uint64_t> unflushableVolumes;
  std::vector<Shortening *> alone;
  for (Shortening *item : batch) {
    if (!flushes(item))
      continue;
    const std::uint64_t volume = item->copy->volume();
    if (!Contains(flushedVolumes, volume) && !Contains(unflushableVolumes, volume) &&
        writtenOn(volume) > 1)
      (fs::FlushVolume(item->copy->written()) == fs::FsError::None ? flushedVolumes
                                                                   : unflushableVolumes)
          .push_back(volume);
    if (Contains(flushedVolumes, volume))
      FlushCopy(*item, true);
    else
      alone.push_back(item);
  }
  flushers_.forEach(alone.size(), [&](std::size_t i) { FlushCopy(*alone[i], false); });
  // Renames made before a volume's flush are on the disk with it.
  renamedIn_.erase(std::remove_if(renamedIn_.begin(), renamedIn_.end(),
                                  [&](const auto &renamed) {
                                    return Contains(flushedVolumes,
                                                    renamed.first->info.identity.volume);
                                  }),
                   renamedIn_.end());
  for (Shortening *item : batch)
    if (HoldsCopy(*item) && item->result.outcome == Outcome::Failed)
      item->copy.reset(); // removes the copy
}

} // namespace tailsnip
