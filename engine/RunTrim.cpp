#include "engine/RunTrim.h"

#include "engine/CollectEntries.h"
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
    if (result.reason != Reason::NoLines)
      ++report.notFiles;
    break;
  case Outcome::Failed:
    report.failures.push_back({path, result.reason});
    break;
  }
}

} // namespace

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
            DescribeReason(report.failures[i].reason);
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
    WorkList walked;
    WalkOptions walk = options.walk;
    walk.stopRequested = options.stopRequested;
    if (!options.plan && !CollectEntries(std::move(folder), walked, report.failures, walk)) {
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
      const TrimMode mode = options.dryRun ? TrimMode::DryRun : TrimMode::Replace;
      TrimBuffer buffer;
      for (std::size_t i = 0; i < list.size() && !report.stopped; ++i, ++report.handled) {
        if (options.stopRequested && options.stopRequested()) {
          report.stopped = true;
          break;
        }
        if (options.isDone && options.isDone(i, list[i])) {
          ++report.alreadyDone;
          continue;
        }
        const TrimResult result = TrimFile(list[i], buffer, mode);
        Count(list[i], result, report);
        if (options.onEntry)
          options.onEntry(list[i], result);
      }
    }
    notice = FormatNotice(report, options.showPath);
  } catch (const std::bad_alloc &) {
    report.outOfMemory = true;
  }
  notify(notice);
  return report;
}

} // namespace tailsnip
