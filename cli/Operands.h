// tailsnip-cli's operands as runs: the folder each run works in, and on what.
#ifndef TAILSNIP_CLI_OPERANDS_H
#define TAILSNIP_CLI_OPERANDS_H

#include "cli/Options.h"
#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/PathSet.h"
#include "engine/WorkList.h"
#include "engine/fs/FileSystem.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tailsnip::cli {

// One run: over a FOLDER operand, or over FILE operands beneath one folder
// and those entries alone.
struct RunTarget {
  FolderPath folder;
  std::string operand; // the first operand it stands for, as given
  bool files = false;  // over `names` beneath `folder`, not everything there
  // Each FILE by its path beneath `folder`, its parts joined by kPathSeparator.
  WorkList names;
  fs::FileIdentity identity; // of `folder`, for a run over files
  // For a run over files, the folders between `folder` and the FILEs', by
  // their paths beneath it, as found when the run was planned: each is
  // entered only while it is still that folder.
  std::unordered_map<std::string, fs::FileIdentity> foldersBeneath;
  bool impliedFolder = false; // the FILEs named no folder: "./" is not shown
};

// Makes the runs `options` asks for, in the operands' order: one for each
// FOLDER operand (a link to one too), one for FILE operands that follow one
// another beneath the deepest folder they share, unless that is a root
// folder or they are reached through a link. On the command line, an
// operand that names nothing is a usage error, and nothing is run; in a
// list, it is an error of its own, said and added to `failures`, and the
// others are run. A root
// folder, unless allowed, is a usage error wherever it is named.
// Returns kGo, or the status to end with.
int PlanRuns(const Options &options, std::vector<RunTarget> &runs, std::vector<Failure> &failures);

// A FILE of a run over files, split at its last separator: the path of its
// folder beneath the run's folder ("" for that folder itself), and its name.
struct NamedFile {
  std::string beneath;
  std::string name;
};
NamedFile SplitNamed(const std::string &named);

// The name by which patterns choose the FOLDER operand `operand` or leave
// it out, as rsync takes a source folder: its last. None ("") where it ends
// in a separator, or is "." or "..": its entries are asked for, not it.
std::string ChoosableName(const std::string &operand);

// The identity `run` found for its folder at `beneath` ("" for its own).
const fs::FileIdentity &IdentityBeneath(const RunTarget &run, const std::string &beneath);

// The folders on the way down `beneath`, a path beneath a folder, each by
// its path beneath that folder and within the one before: "a", "a/b" and
// "a/b/c" for "a/b/c".
std::vector<std::string> FoldersOnTheWay(const std::string &beneath);

// How many levels beneath `folder` the folder at `path` lies, by identity,
// whatever links or ".." led to either: 0 where they are one folder; none
// where it lies elsewhere, or either cannot be found.
std::optional<std::size_t> LevelsBeneath(const FolderPath &path, const FolderPath &folder);

// `path`, an entry of `run`, as the user named it: without the "./" of an
// implied folder, and with one separator after a root folder.
std::string Shown(const RunTarget &run, const FolderPath &path);

// What the runs of one command listed: an entry by the identity of its
// folder and its name, a folder by its identity.
class SeenEntries {
public:
  // Whether the entry `name` of `folder` is new; from now on it is not.
  bool firstTime(const fs::FileIdentity &folder, const std::string &name);
  // Whether the folder at `path` is new; from now on it is not. Unknown
  // folders are always new.
  bool firstTime(const FolderPath &path);
  // Notes that a run over the folder at `path` has begun.
  void runOver(const FolderPath &path);
  // Notes that a walk listed the entries of `folder`: a stopped run's
  // --resume finishes them, and a run over that folder must not be
  // suggested, as it would take a second line from them.
  void entered(const fs::FileIdentity &folder);
  // Whether a run reached the entry `name` of `folder`, or the folder at
  // `path`: listed it, entered it, or ran over it.
  bool reached(const fs::FileIdentity &folder, const std::string &name) const;
  bool reached(const FolderPath &path) const;

private:
  PathSet seen_;
  fs::FileIdentity lastEntered_; // entries come folder by folder
};

} // namespace tailsnip::cli

#endif
