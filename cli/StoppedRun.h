// The journal tailsnip-cli keeps of a run, and what it does with the
// journal of a run that was stopped: refuse, resume or restart.
#ifndef TAILSNIP_CLI_STOPPEDRUN_H
#define TAILSNIP_CLI_STOPPEDRUN_H

#include "engine/stopped/Journal.h"
#include "engine/walk/CollectEntries.h"

#include <string>
#include <vector>

namespace tailsnip::cli {

enum class JournalUse {
  Plain,   // a stopped run over the folder is refused
  Resume,  // a stopped run is finished
  Restart, // a stopped run is forgotten
};

enum class Verdict {
  Go,      // the run may go on
  Failed,  // it cannot, for a reason outside the user's command; said on stderr
  Refused, // it must not, as the command stands; said on stderr
};

class RunJournal {
public:
  // Finds the journal of a stopped run over `folder` and does with it what
  // `use` asks; for Resume, removes the copies the stopped run left. A
  // resumption finishes the run as it was started: `asked`, the settings
  // given on the command line if any, must be the stopped run's.
  Verdict open(const FolderPath &folder, JournalUse use, const TrimSettings *asked);

  bool resuming() const { return resuming_; }
  // The stopped run's settings, for a resumed run to go on with.
  const TrimSettings &settings() const { return header_.trim; }
  // The stopped run's list, for a resumed run to work through.
  const WorkList &plan() const { return plan_; }
  // Whether the entry at `index` of the plan is done: no longer as the
  // stopped run listed it. Folders never are; they are left alone anyway.
  bool isDone(std::size_t index, const FolderPath &path) const;
  // The identities the plan's folders had when listed, `folder` (the run's
  // own, by today's name) among them.
  FolderIdentities planFolders(const FolderPath &folder) const;

  // Records the plan of a new run, and its settings, before its first
  // change; says why and returns false when it cannot.
  bool record(const WorkList &list, const TrimSettings &trim);
  // Whether a stopped run can now be finished by --resume.
  bool kept() const { return written_ || resuming_; }
  // Removes the journal of a run that ended; says so if it cannot.
  void finish();

private:
  FolderPath folder_;
  FolderPath path_;
  fs::FileIdentity folderIdentity_;
  JournalHeader header_;
  WorkList plan_;
  std::vector<EntryStamp> stamps_;
  bool resuming_ = false;
  bool written_ = false;
};

// Explains, when `folder` is gone, that a stopped run over it cannot be
// resumed by that name and where its journal is.
void ExplainVanishedFolder(const std::string &folder);

} // namespace tailsnip::cli

#endif
