// How tailsnip-cli tells what the engine's stopped-run policy finds, on
// standard error, one line each.
#ifndef TAILSNIP_CLI_STOPPEDRUN_H
#define TAILSNIP_CLI_STOPPEDRUN_H

#include "engine/stopped/StoppedRun.h"

#include <string>
#include <vector>

namespace tailsnip::cli {

enum class Verdict {
  Go,              // the run may go on
  GoWithFilesLeft, // it may, though files the stopped run left could not be cleared away
  Failed,          // it cannot, for a reason outside the user's command
  Refused,         // it must not, as the command stands
};

// Opens `journal` for a run over `folder`, or over FILEs `named` beneath
// it, as `use` asks, with the settings given on the command line (`asked`),
// and says why when the run may not go on, and which files a stopped run
// left could not be cleared away.
Verdict OpenJournal(RunJournal &journal, const FolderPath &folder, JournalUse use,
                    const AskedSettings &asked, const WorkList *named);

// Whether a new run over `folder` may enter `entered` (with `identity`),
// beneath it; says why not: a stopped run is over it.
bool MayEnter(const RunJournal &journal, const FolderPath &folder, const FolderPath &entered,
              const fs::FileIdentity &identity);

// Says, when the registry of runs could not be used, what is not seen: the
// stopped runs of others (before a run), or this run once `stopped`.
void WarnUnregistered(const RunJournal &journal, bool stopped);

// Records the plan of a new run and its settings; says why and returns false
// when it cannot.
bool RecordPlan(RunJournal &journal, const WorkList &list, const TrimSettings &trim);

// Removes the journal of a run that ended; says so, and returns false, if
// it cannot.
bool FinishJournal(RunJournal &journal);

// Explains, when `folder` is gone, that a stopped run over it cannot be
// resumed by that name and where its journal is.
void ExplainVanishedFolder(const std::string &folder);

// For --restart of `folder`, gone: forgets the stopped runs over it, saying
// so; false when there were none, or a journal could not be removed.
bool ForgetVanishedFolder(const std::string &folder);

} // namespace tailsnip::cli

#endif
