#include "engine/run/RunTrim.h"

#include "engine/run/Pipeline.h"
#include "engine/run/RunLock.h"

#include <new>

namespace tailsnip {

RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options) {
  RunReport report;
  if (folder.empty())
    return report;
  fs::ReadProcessIdentity();
  // Made before the run, so the notice needs no memory once memory is gone.
  std::string notice = std::string(kFinished) + "\n\nMemory ran out; the run stopped before "
                                                "every file was handled.";
  try {
    RunLock lock;
    if (!options.locked && !(options.dryRun ? MayLockRun(folder, report.busyFolder)
                                            : LockRun(folder, lock, report.busyFolder))) {
      notify(FormatBusy(report.busyFolder));
      return report;
    }
    Plan walked;
    WalkOptions walk = options.walk;
    walk.stopRequested = options.stopRequested;
    // Checked while listing, before the first change: another run's folder
    // may lie beneath this one by a move or a mount its claim cannot see.
    bool refused = false;
    walk.mayEnter = [&](const FolderPath &path, const fs::FileIdentity &identity) {
      if (ClaimedByAnotherRun(path, identity, options.dryRun))
        report.busyFolder = path;
      refused = !report.busyFolder.empty() ||
                (options.walk.mayEnter && !options.walk.mayEnter(path, identity));
      return !refused;
    };
    if (!options.plan &&
        !CollectEntries(folder, walked.entries, report.failures, walk, &walked.folders)) {
      report.outOfMemory = true;
    } else if (refused) {
      if (!report.busyFolder.empty())
        notify(FormatBusy(report.busyFolder));
      return report;
    } else {
      const Plan &plan = options.plan ? *options.plan : walked;
      report.listed = plan.entries.size();
      if (options.onListed)
        options.onListed(plan.entries.size());
      // A stop asked for during the walk needs no record of a plan.
      report.stopped = options.stopRequested && options.stopRequested();
      if (!report.stopped && options.beforeChanges && !options.beforeChanges(plan.entries))
        return report;
      if (!report.stopped)
        ShortenListed(folder, plan.entries, plan.folders, options, report);
    }
    notice = FormatNotice(report, options.showPath);
  } catch (const std::bad_alloc &) {
    report.outOfMemory = true;
  }
  notify(notice);
  return report;
}

} // namespace tailsnip
