#include "engine/run/RunReport.h"

#include <algorithm>

namespace tailsnip {

namespace {

constexpr std::size_t kFailuresNamed = 10;

} // namespace

void Count(const FolderPath &path, const TrimResult &result, RunReport &report) {
  report.bytesRead += result.bytesRead;
  report.bytesWritten += result.bytesWritten;
  switch (result.outcome) {
  case Outcome::Shortened:
    ++report.shortened;
    break;
  case Outcome::LeftUnchanged:
    // A folder that could not be searched is a failure, which the walk that
    // met it counted.
    if (result.reason == Reason::IsFolder && result.systemError)
      break;
    ++report.unchanged;
    if (result.reason != Reason::NoLines)
      ++report.notFiles;
    break;
  case Outcome::Failed:
    report.failures.push_back({path, result.reason, result.systemError});
    break;
  }
}

bool RunReport::changedNotKnownOnDisk() const {
  return std::any_of(failures.begin(), failures.end(), [](const Failure &failure) {
    return failure.reason == Reason::CutNotFlushed || failure.reason == Reason::NamesNotFlushed;
  });
}

std::string FormatBusy(const FolderPath &busy) {
  return "Another run is working in " + busy + " (or in a folder inside it); nothing was changed.";
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

} // namespace tailsnip
