#include "engine/RunTrim.h"

#include "engine/CollectEntries.h"
#include "engine/RunLock.h"
#include "engine/TrimFile.h"

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
    held_.push_back({path, std::move(folder)});
  }

  // The held folder that `entry` lies in; null when that folder is not the
  // one the walk listed. Entries come in walk order, so folders whose
  // entries are all done are let go on the way.
  const fs::Folder *folderOf(const FolderPath &entry) {
    // The walk joins with a separator even after a root's own ("C:\\" "\\" name).
    const std::size_t separator = entry.find_last_of(kPathSeparator);
    if (separator == FolderPath::npos)
      return nullptr;
    const FolderPath parent = entry.substr(0, separator);
    while (!held_.empty() && held_.back().path != parent && !IsWithin(parent, held_.back().path))
      held_.pop_back();
    return !held_.empty() && held_.back().path == parent ? &held_.back().folder : nullptr;
  }

private:
  struct Held {
    FolderPath path;
    fs::Folder folder;
  };
  std::vector<Held> held_;
};

TrimResult TrimListed(const FolderPath &entry, FolderChain &chain, const fs::Folder &currentFolder,
                      const FolderIdentities &identities, TrimBuffer &buffer, TrimMode mode) {
  const fs::Folder *folder = chain.folderOf(entry);
  if (!folder)
    return {Outcome::Failed, Reason::FolderChanged};
  fs::Folder opened;
  TrimResult result = TrimEntry({folder, &currentFolder, entry}, buffer, mode, &opened);
  if (opened.handle.isOpen())
    chain.enter(entry, std::move(opened), identities);
  return result;
}

} // namespace

std::string FormatBusy(const FolderPath &busy) {
  return "Another run is working in " + busy +
         " (or in a folder inside it); nothing was changed.";
}

std::string FormatNotice(const RunReport &report) {
  std::string text = kFinished;
  if (report.outOfMemory)
    text += "\n\nThe list of files outgrew the memory; no file was changed.";
  const std::size_t failed = report.failures.size();
  if (failed == 0)
    return text;
  text += "\n\n" + std::to_string(failed) +
          (failed == 1 ? " entry could not be shortened:" : " entries could not be shortened:");
  for (std::size_t i = 0; i < failed && i < kFailuresNamed; ++i)
    text += "\n" + report.failures[i].path + ": " +
            DescribeFailure(report.failures[i].reason, report.failures[i].systemError);
  if (failed > kFailuresNamed)
    text += "\n... and " + std::to_string(failed - kFailuresNamed) + " more.";
  return text;
}

RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options) {
  RunReport report;
  if (folder.empty())
    return report;
  // Made before the run, so the notice needs no memory once memory is gone.
  std::string notice = "finished!\n\nMemory ran out; the run stopped before "
                       "every file was handled.";
  try {
    RunLock lock;
    if (!LockRun(folder, lock, report.busyFolder)) {
      notify(FormatBusy(report.busyFolder));
      return report;
    }
    WorkList list;
    FolderIdentities identities;
    if (!CollectEntries(folder, list, report.failures, &identities)) {
      report.outOfMemory = true;
    } else {
      report.listed = list.size();
      if (options.onListed)
        options.onListed(list.size());
      const TrimMode mode = options.dryRun ? TrimMode::DryRun : TrimMode::Replace;
      TrimBuffer buffer;
      fs::Folder currentFolder;
      fs::OpenCurrentFolder(currentFolder); // without one, copies go beside their entries
      FolderChain chain;
      chain.start(folder, identities);
      for (std::size_t i = 0; i < list.size(); ++i) {
        const TrimResult result =
            TrimListed(list[i], chain, currentFolder, identities, buffer, mode);
        Count(list[i], result, report);
        if (options.onEntry)
          options.onEntry(list[i], result);
      }
    }
    notice = FormatNotice(report);
  } catch (const std::bad_alloc &) {
    report.outOfMemory = true;
  }
  notify(notice);
  return report;
}

} // namespace tailsnip
