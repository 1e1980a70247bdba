#include "engine/RunTrim.h"

#include "engine/CollectEntries.h"
#include "engine/RunLock.h"
#include "engine/TrimFile.h"

#include <algorithm>
#include <memory>
#include <new>

namespace tailsnip {

namespace {

constexpr std::size_t kFailuresNamed = 10;

void Count(const FolderPath &path, const TrimResult &result, RunReport &report) {
  report.bytesRead += result.bytesRead;
  report.bytesWritten += result.bytesWritten;
  switch (result.outcome) {
  case Outcome::Shortened:
    ++report.shortened;
    break;
  case Outcome::LeftUnchanged:
    ++report.unchanged;
    if (result.reason != Reason::NoLines)
      ++report.notFiles;
    break;
  case Outcome::Failed:
    report.failures.push_back({path, result.reason, result.systemError});
    break;
  }
}

bool IsWithin(const FolderPath &path, const FolderPath &folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == kPathSeparator;
}

// The folders from the run's folder down to the one whose entries are being
// trimmed, each held open and each the very folder the walk listed, so that
// a folder renamed or swapped for a link meanwhile leads nowhere.
class FolderChain {
public:
  // Holds the run's own folder, if it is still the one the walk listed.
  void start(const FolderPath &folder, const FolderIdentities &identities) {
    fs::Folder opened;
    if (fs::OpenFolder(folder, opened) == fs::FsError::None)
      enter(folder, std::move(opened), identities);
  }

  // Holds `folder`, an entry just opened, if it is the folder the walk
  // listed under `path`.
  void enter(const FolderPath &path, fs::Folder folder, const FolderIdentities &identities) {
    const auto listed = identities.find(path);
    if (listed == identities.end() || folder.info.identity != listed->second)
      return;
    held_.push_back({path, std::make_shared<fs::Folder>(std::move(folder))});
  }

  // The held folder that `entry` lies in; null when that folder is not the
  // one the walk listed. Entries come in walk order, so folders whose
  // entries are all done are let go on the way.
  std::shared_ptr<const fs::Folder> folderOf(const FolderPath &entry) {
    // The walk joins with a separator even after a root's own ("C:\\" "\\" name).
    const std::size_t separator = entry.find_last_of(kPathSeparator);
    if (separator == FolderPath::npos)
      return nullptr;
    const FolderPath parent = entry.substr(0, separator);
    while (!held_.empty() && held_.back().path != parent && !IsWithin(parent, held_.back().path))
      held_.pop_back();
    return !held_.empty() && held_.back().path == parent ? held_.back().folder : nullptr;
  }

private:
  struct Held {
    FolderPath path;
    std::shared_ptr<const fs::Folder> folder; // shared with copies still in flight
  };
  std::vector<Held> held_;
};

// Trims the listed entries in order and tells of each, in order.
class Trimmer {
public:
  Trimmer(const RunOptions &options, RunReport &report, const FolderIdentities &identities)
      : options_(options), report_(report), identities_(identities),
        mode_(options.dryRun ? TrimMode::DryRun : TrimMode::Replace),
        batched_(options.copiesInFlight > 1 && !options.dryRun) {
    if (!batched_) // copies in flight go beside their entries, never to temp.txt
      fs::OpenCurrentFolder(currentFolder_); // without one, copies go beside their entries
  }
  void start(const FolderPath &folder) { chain_.start(folder, identities_); }

  void trim(const FolderPath &entry) {
    Slot slot{&entry, {}, nullptr};
    const std::shared_ptr<const fs::Folder> folder = chain_.folderOf(entry);
    if (!folder) {
      slot.result = {Outcome::Failed, Reason::FolderChanged};
    } else {
      fs::Folder opened;
      slot.result = TrimEntry({folder, &currentFolder_, entry}, buffer_, mode_, &opened,
                              batched_ ? &slot.pending : nullptr);
      if (opened.handle.isOpen())
        chain_.enter(entry, std::move(opened), identities_);
    }
    bytesInFlight_ += slot.pending ? slot.result.bytesWritten : 0;
    inFlight_.push_back(std::move(slot));
    if (!batched_ || inFlight_.size() >= options_.copiesInFlight ||
        bytesInFlight_ >= kBytesInFlight)
      commit();
  }

  // Flushes the copies in flight, each volume once where the system can,
  // then puts them in their entries' places in list order.
  void commit() {
    std::vector<std::uint64_t> flushedVolumes;
    for (Slot &slot : inFlight_) {
      if (!slot.pending)
        continue;
      const std::uint64_t volume = slot.pending->volume();
      bool flushed = std::find(flushedVolumes.begin(), flushedVolumes.end(), volume) !=
                     flushedVolumes.end();
      if (!flushed && fs::FlushVolume(slot.pending->copy()) == fs::FsError::None) {
        flushedVolumes.push_back(volume);
        flushed = true;
      }
      if (slot.pending->flush(flushed) != fs::FsError::None) {
        slot.result.outcome = Outcome::Failed;
        slot.result.reason = Reason::CannotWriteCopy;
        slot.result.systemError = fs::LastSystemError();
        slot.pending.reset(); // removes the copy
      }
    }
    for (Slot &slot : inFlight_) {
      if (slot.pending) {
        slot.result = slot.pending->commit(slot.result);
        slot.pending.reset();
      }
      Count(*slot.entry, slot.result, report_);
      if (options_.onEntry)
        options_.onEntry(*slot.entry, slot.result);
    }
    inFlight_.clear();
    bytesInFlight_ = 0;
  }

private:
  // Written copies wait in the page cache, not in this program's memory;
  // the bound keeps one flush from growing without end.
  static constexpr std::uint64_t kBytesInFlight = std::uint64_t{64} << 20;

  struct Slot {
    const FolderPath *entry;
    TrimResult result;
    std::unique_ptr<Replacement> pending;
  };

  const RunOptions &options_;
  RunReport &report_;
  const FolderIdentities &identities_;
  const TrimMode mode_;
  const bool batched_;
  TrimBuffer buffer_;
  fs::Folder currentFolder_;
  FolderChain chain_;
  std::vector<Slot> inFlight_;
  std::uint64_t bytesInFlight_ = 0;
};

} // namespace

std::string FormatBusy(const FolderPath &busy) {
  return "Another run is working in " + busy +
         " (or in a folder inside it); nothing was changed.";
}

std::string FormatNotice(const RunReport &report,
                         const std::function<std::string(const FolderPath &)> &showPath) {
  // Stopped during the walk, the list is not whole: its length says nothing.
  std::string text = !report.stopped      ? std::string(kFinished)
                     : report.handled > 0 ? "stopped after " + std::to_string(report.handled) +
                                                " of " + std::to_string(report.listed) + " entries."
                                          : std::string("stopped before any entry was changed.");
  if (report.outOfMemory)
    text += "\n\nThe list of files outgrew the memory; no file was changed.";
  const std::size_t failed = report.failures.size();
  if (failed == 0)
    return text;
  text += "\n\n" + std::to_string(failed) +
          (failed == 1 ? " entry could not be shortened:" : " entries could not be shortened:");
  for (std::size_t i = 0; i < failed && i < kFailuresNamed; ++i)
    text += "\n" + (showPath ? showPath(report.failures[i].path) : report.failures[i].path) + ": " +
            DescribeFailure(report.failures[i].reason, report.failures[i].systemError);
  if (failed > kFailuresNamed)
    text += "\n... and " + std::to_string(failed - kFailuresNamed) + " more.";
  return text;
}

RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options) {
  RunReport report;
  if (folder.empty())
    return report;
  fs::ReadProcessIdentity();
  // Made before the run, so the notice needs no memory once memory is gone.
  std::string notice = "finished!\n\nMemory ran out; the run stopped before "
                       "every file was handled.";
  try {
    RunLock lock;
    if (!options.locked && !LockRun(folder, lock, report.busyFolder)) {
      notify(FormatBusy(report.busyFolder));
      return report;
    }
    WorkList walked;
    FolderIdentities walkedFolders;
    WalkOptions walk = options.walk;
    walk.stopRequested = options.stopRequested;
    if (!options.plan && !CollectEntries(folder, walked, report.failures, walk, &walkedFolders)) {
      report.outOfMemory = true;
    } else {
      const WorkList &list = options.plan ? *options.plan : walked;
      report.listed = list.size();
      if (options.onListed)
        options.onListed(list.size());
      // A stop asked for during the walk needs no record of a plan.
      report.stopped = options.stopRequested && options.stopRequested();
      if (!report.stopped && options.beforeChanges && !options.beforeChanges(list))
        return report;
      Trimmer trimmer(options, report, options.plan ? *options.planFolders : walkedFolders);
      trimmer.start(folder);
      for (std::size_t i = 0; i < list.size() && !report.stopped; ++i, ++report.handled) {
        if (options.stopRequested && options.stopRequested()) {
          report.stopped = true;
          break;
        }
        if (options.isDone && options.isDone(i, list[i])) {
          ++report.alreadyDone;
          continue;
        }
        trimmer.trim(list[i]);
      }
      // Copies already written are finished, not abandoned: no new entry starts.
      trimmer.commit();
    }
    notice = FormatNotice(report, options.showPath);
  } catch (const std::bad_alloc &) {
    report.outOfMemory = true;
  }
  notify(notice);
  return report;
}

} // namespace tailsnip
