#include "cli/Operands.h"

#include "cli/Console.h"
#include "cli/Errors.h"
#include "cli/Names.h"
#include "cli/StoppedRun.h"
#include "engine/fs/DirectorySearch.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace tailsnip::cli {

namespace {

bool IsSeparator(char c) { return c == '/' || c == kPathSeparator; }

// "dir/" and "dir" name the same folder; entries read better without "//".
FolderPath WithoutTrailingSeparators(FolderPath path) {
  while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != ':')
    path.pop_back();
  return path;
}

// The FOLDER operand as the run names it. "D:" is the current folder of
// drive D, as "D:." is; its entries joined as "D:\name" would be the drive
// root's instead.
FolderPath FolderOperand(const std::string &operand) {
  FolderPath folder = WithoutTrailingSeparators(operand);
  if (kPathSeparator == '\\' && folder.size() == 2 && folder[1] == ':')
    folder += '.';
  return folder;
}

// Splits the FILE operand `path` into its folder and its name there.
void Split(const std::string &path, RunTarget &run, std::string &name) {
  std::size_t separator = path.size();
  while (separator > 0 && !IsSeparator(path[separator - 1]))
    --separator;
  name = path.substr(separator);
  if (separator == 0) {
    const bool onDrive = kPathSeparator == '\\' && path.size() > 2 && path[1] == ':';
    run.folder = onDrive ? path.substr(0, 2) + "." : ".";
    name = onDrive ? path.substr(2) : path;
    run.impliedFolder = !onDrive;
    return;
  }
  run.folder = WithoutTrailingSeparators(path.substr(0, separator));
}

char OtherCase(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? static_cast<char>(c ^ 0x20) : c;
}

bool EqualIgnoringCase(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return x == y || OtherCase(x) == y;
         });
}

// The names of one folder, listed once for the FILEs named in it.
struct Listing {
  FolderPath folder; // none yet while empty
  std::vector<FindRecord> entries;
  std::unordered_set<std::string> names;
};

// The name of the FILE `name` (`stamp`) as `folder` lists it. Where the
// file system ignores case, "readme.txt" may name "Readme.txt": an entry is
// known by its name, so that a file named both ways would lose two lines,
// and its copy would take the name as typed.
std::string ListedName(const FolderPath &folder, const std::string &name, const EntryStamp &stamp,
                       Listing &listing) {
  std::string otherCase = name;
  std::transform(name.begin(), name.end(), otherCase.begin(), OtherCase);
  EntryStamp other;
  // A name whose only letters lie beyond ASCII ("ФАЙЛ") has cases this
  // cannot write: the folder's listing tells.
  const bool beyondAscii = std::any_of(name.begin(), name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
  if (otherCase == name ? !beyondAscii
                        : StampEntry(JoinPath(folder, otherCase), other) != fs::FsError::None)
    return name; // no other case, or case matters here: the name is listed as it is
  if (listing.folder != folder) {
    listing = Listing{folder, {}, {}};
    ListFolder(folder, listing.entries);
    for (const FindRecord &entry : listing.entries)
      listing.names.insert(entry.name);
  }
  if (listing.names.count(name) != 0)
    return name;
  for (const FindRecord &entry : listing.entries)
    if (EqualIgnoringCase(entry.name, name))
      return entry.name;
  // A short name ("LONGFI~1.TXT") leads to an entry listed by its long one:
  // the one entry that is the same file. Hard links leave it as typed.
  std::string listed;
  std::size_t same = 0;
  for (const FindRecord &entry : listing.entries)
    if (entry.name != "." && entry.name != ".." &&
        StampEntry(JoinPath(folder, entry.name), other) == fs::FsError::None &&
        other.volume == stamp.volume && other.index == stamp.index && ++same == 1)
      listed = entry.name;
  return same == 1 ? listed : name;
}

// What keeps the link `path` (`stamp`) from being followed. A link named as
// an operand stands for what it leads to, whether a folder, which is run,
// or a file, which is left alone as any link is: one that leads nowhere
// this user can reach names nothing to run.
fs::FsError UnreachableTarget(const std::string &path, const EntryStamp &stamp) {
  fs::FileIdentity target;
  return stamp.kind == fs::FileKind::Link ? fs::GetIdentity(path, target) : fs::FsError::None;
}

// Why `name` cannot be run over, as the system said it.
std::string CannotAccess(const std::string &name, const std::error_code &systemError) {
  return "cannot access " + QuoteNameAlways(name) + ": " + fs::DescribeSystemError(systemError);
}

// A path cut into where it starts ("", "/", "C:\\") and the names after it.
struct PathParts {
  std::string start;
  std::vector<std::string> names;
  std::vector<std::size_t> ends; // where each name ends in the path
};

PathParts Parts(const FolderPath &path, bool implied) {
  PathParts parts;
  if (implied) // "." stands for no folder at all
    return parts;
  std::size_t at = kPathSeparator == '\\' && path.size() >= 2 && path[1] == ':' ? 2 : 0;
  while (at < path.size() && IsSeparator(path[at]))
    ++at;
  parts.start = path.substr(0, at);
  while (at < path.size()) {
    std::size_t end = at;
    while (end < path.size() && !IsSeparator(path[end]))
      ++end;
    parts.names.push_back(path.substr(at, end - at));
    parts.ends.push_back(end);
    while (end < path.size() && IsSeparator(path[end]))
      ++end;
    at = end;
  }
  return parts;
}

// The names of `parts` from `first` on, joined as a path beneath a folder;
// false where one of them is "." or "..", which a run cannot enter.
bool PathBeneath(const PathParts &parts, std::size_t first, std::string &beneath) {
  beneath.clear();
  for (std::size_t i = first; i < parts.names.size(); ++i) {
    if (parts.names[i] == "." || parts.names[i] == "..")
      return false;
    beneath += (i > first ? std::string(1, kPathSeparator) : std::string()) + parts.names[i];
  }
  return true;
}

// Whether a run could hold the folder at `path` to reach entries through
// it: it must be able to read it, not only to search it.
bool Holdable(const FolderPath &path) {
  fs::Folder folder;
  return fs::OpenFolder(path, folder) == fs::FsError::None;
}

// Adds to `found` each folder on the way from `top` down through `beneath`
// that is not in `known`, as it is now, without following links; false
// where one is no folder, or one a run could not hold. `last` is then the
// identity of the one at the end.
bool FindFoldersOnTheWay(const FolderPath &top, const std::string &beneath,
                         const std::unordered_map<std::string, fs::FileIdentity> &known,
                         std::unordered_map<std::string, fs::FileIdentity> &found,
                         fs::FileIdentity &last) {
  for (const std::string &on : FoldersOnTheWay(beneath)) {
    if (const auto had = known.find(on); had != known.end()) {
      last = had->second;
      continue;
    }
    EntryStamp stamp;
    if (StampEntry(JoinPath(top, on), stamp) != fs::FsError::None ||
        stamp.kind != fs::FileKind::Folder || !Holdable(JoinPath(top, on)))
      return false;
    last = {stamp.volume, stamp.index};
    found.emplace(on, last);
  }
  return true;
}

// Makes `group`, a run over FILEs, take the FILE `name` of `folder` too,
// where both lie beneath one folder that is no root, reached through
// folders that are no links: one run then works beneath that folder,
// `group`'s or one above it. One journal and one flush serve them all,
// where a run for each folder would keep a journal and flush for each.
bool JoinFiles(RunTarget &group, const RunTarget &file, const std::string &name) {
  const PathParts above = Parts(group.folder, group.impliedFolder);
  const PathParts below = Parts(file.folder, file.impliedFolder);
  if (above.start != below.start)
    return false;
  std::size_t shared = 0;
  while (shared < above.names.size() && shared < below.names.size() &&
         above.names[shared] == below.names[shared])
    ++shared;
  if (shared == 0 && !above.start.empty())
    return false;
  const bool implied = shared == 0;
  const FolderPath top = implied ? "." : group.folder.substr(0, above.ends[shared - 1]);
  std::string groupBeneath, fileBeneath;
  if (!PathBeneath(above, shared, groupBeneath) || !PathBeneath(below, shared, fileBeneath))
    return false;
  const bool reRooted = !groupBeneath.empty();
  if ((reRooted || !fileBeneath.empty()) && (!IsFolder(top) || IsRootFolder(top) || !Holdable(top)))
    return false;
  fs::FileIdentity topIdentity = group.identity;
  fs::FileIdentity last;
  std::unordered_map<std::string, fs::FileIdentity> rekeyed; // the group's, beneath `top`
  if (reRooted) {
    if (fs::GetIdentity(top, topIdentity) != fs::FsError::None ||
        !FindFoldersOnTheWay(top, groupBeneath, {}, rekeyed, last) || last != group.identity)
      return false;
    for (const auto &[path, identity] : group.foldersBeneath)
      rekeyed.emplace(groupBeneath + kPathSeparator + path, identity);
  }
  std::unordered_map<std::string, fs::FileIdentity> added;
  last = topIdentity;
  if (!FindFoldersOnTheWay(top, fileBeneath, reRooted ? rekeyed : group.foldersBeneath, added,
                           last) ||
      last != file.identity)
    return false;
  if (reRooted) {
    WorkList names;
    for (const std::string &named : group.names)
      names.push_back(groupBeneath + kPathSeparator + named);
    group.names = std::move(names);
    group.folder = top;
    group.identity = topIdentity;
    group.impliedFolder = implied;
    group.foldersBeneath = std::move(rekeyed);
  }
  group.foldersBeneath.merge(added);
  group.names.push_back(fileBeneath.empty() ? name : fileBeneath + kPathSeparator + name);
  return true;
}

} // namespace

int PlanRuns(const Options &options, std::vector<RunTarget> &runs, std::vector<Failure> &failures) {
  std::size_t position = 0;
  Listing listing;
  // The folder of the last FILE, and where it lies beneath its run's folder
  // ("" or ending in a separator).
  struct {
    FolderPath folder;
    fs::FileIdentity identity;
    std::string beneath;
  } last;
  for (const std::string &operand : options.operands) {
    ++position;
    // Where the operand is unusable: why, and what the system said.
    std::string problem;
    std::error_code systemError;
    RunTarget run;
    run.operand = operand;
    std::string name;
    EntryStamp stamp;
    if (IsFolder(operand)) {
      // In a list too it ends the command: a list naming '/' was made over
      // the whole system, and its other names would still be run.
      if (!options.noPreserveRoot && IsRootFolder(operand))
        return UsageError(QuoteNameAlways(operand) +
                          " is a root folder: every file beneath it would lose a line; "
                          "--no-preserve-root allows that");
      run.folder = FolderOperand(operand);
    } else if (const fs::FsError error = StampEntry(operand, stamp);
               error != fs::FsError::None || operand.empty()) {
      // No file system was asked for an empty name: what one said is no reason.
      systemError =
          operand.empty() ? std::make_error_code(std::errc::invalid_argument) : error.code();
      problem =
          operand.empty() ? "invalid zero-length file name" : CannotAccess(operand, systemError);
    } else if (const fs::FsError linkError = UnreachableTarget(operand, stamp);
               linkError != fs::FsError::None) {
      systemError = linkError.code();
      problem = CannotAccess(operand, systemError);
    } else if (options.resume) {
      return UsageError("--resume takes folders; " + QuoteNameAlways(operand) + " is not one");
    } else {
      Split(operand, run, name);
      run.files = true;
      // Names from find come folder by folder: the folder is asked once.
      if (run.folder == last.folder) {
        run.identity = last.identity;
      } else if (!IsFolder(run.folder)) {
        // Windows takes "a.txt\" and "a.txt\." for the file "a.txt", yet
        // no folder "a.txt" holds it.
        systemError = std::make_error_code(std::errc::not_a_directory);
        problem = CannotAccess(operand, systemError);
      } else if (const fs::FsError folderError = fs::GetIdentity(run.folder, run.identity);
                 folderError != fs::FsError::None) {
        systemError = folderError.code();
        problem = CannotAccess(run.folder, systemError);
      }
    }
    if (!problem.empty() && options.restart && ForgetVanishedFolder(operand))
      continue;
    if (!problem.empty() && !options.fromList) {
      if (options.resume)
        ExplainVanishedFolder(operand);
      return UsageError(problem);
    }
    if (!problem.empty()) {
      Error(operand.empty()
                ? QuoteName(options.operandList) + ":" + std::to_string(position) + ": " + problem
                : problem);
      failures.push_back({operand, Reason::CannotRead, systemError});
      continue;
    }
    if (!run.files) {
      runs.push_back(std::move(run));
      last = {};
      continue;
    }
    name = ListedName(run.folder, name, stamp, listing);
    const FolderPath folder = run.folder;
    const fs::FileIdentity identity = run.identity;
    const bool grouping = !runs.empty() && runs.back().files;
    if (grouping && folder == last.folder && identity == last.identity) {
      runs.back().names.push_back(last.beneath + name);
    } else if (grouping && runs.back().identity == identity) {
      runs.back().names.push_back(name);
    } else if (!grouping || !JoinFiles(runs.back(), run, name)) {
      run.names.push_back(name);
      runs.push_back(std::move(run));
    }
    const std::string &added = runs.back().names.back();
    last = {folder, identity, added.substr(0, added.size() - name.size())};
  }
  return kGo;
}

NamedFile SplitNamed(const std::string &named) {
  const std::size_t nameAt = named.rfind(kPathSeparator) + 1; // 0 where there is none
  return {named.substr(0, nameAt - (nameAt > 0)), named.substr(nameAt)};
}

std::string ChoosableName(const std::string &operand) {
  if (operand.empty() || IsSeparator(operand.back()))
    return {};
  std::string name;
  RunTarget unused;
  Split(operand, unused, name);
  return name == "." || name == ".." ? std::string() : name;
}

const fs::FileIdentity &IdentityBeneath(const RunTarget &run, const std::string &beneath) {
  return beneath.empty() ? run.identity : run.foldersBeneath.at(beneath);
}

std::vector<std::string> FoldersOnTheWay(const std::string &beneath) {
  std::vector<std::string> folders;
  for (std::size_t end = 0; end < beneath.size(); ++end) {
    end = std::min(beneath.find(kPathSeparator, end), beneath.size());
    folders.push_back(beneath.substr(0, end));
  }
  return folders;
}

std::string Shown(const RunTarget &run, const FolderPath &path) {
  const std::size_t after = run.folder.size() + 1;
  if (run.impliedFolder && path.size() > after)
    return path.substr(after);
  if (!run.folder.empty() && IsSeparator(run.folder.back()) && path.size() > after)
    return run.folder + path.substr(after);
  return path;
}

std::optional<std::size_t> LevelsBeneath(const FolderPath &path, const FolderPath &folder) {
  fs::FileIdentity sought;
  fs::FileIdentity at;
  if (fs::GetIdentity(folder, sought) != fs::FsError::None ||
      fs::GetIdentity(path, at) != fs::FsError::None)
    return std::nullopt;
  FolderPath up = path;
  for (std::size_t levels = 0;; ++levels) {
    if (at == sought)
      return levels;
    up = JoinPath(up, "..");
    fs::FileIdentity parent;
    // The root is its own parent.
    if (fs::GetIdentity(up, parent) != fs::FsError::None || parent == at)
      return std::nullopt;
    at = parent;
  }
}

namespace {

// An entry by its folder and name; a folder by its identity alone, and the
// folder a run went over as one with an empty name, which no entry has.
// Entries of one folder share their key's start, which the set keeps once.
std::string Key(const fs::FileIdentity &folder, const std::string *name) {
  std::string key(sizeof folder.volume + sizeof folder.index, '\0');
  std::memcpy(&key[0], &folder.volume, sizeof folder.volume);
  std::memcpy(&key[sizeof folder.volume], &folder.index, sizeof folder.index);
  return name ? key + "/" + *name : key;
}

} // namespace

bool SeenEntries::firstTime(const fs::FileIdentity &folder, const std::string &name) {
  return seen_.insert(Key(folder, &name));
}

bool SeenEntries::firstTime(const FolderPath &path) {
  fs::FileIdentity folder;
  if (fs::GetIdentity(path, folder) != fs::FsError::None)
    return true;
  return seen_.insert(Key(folder, nullptr));
}

void SeenEntries::runOver(const FolderPath &path) {
  fs::FileIdentity folder;
  static const std::string none;
  if (fs::GetIdentity(path, folder) == fs::FsError::None)
    seen_.insert(Key(folder, &none));
}

void SeenEntries::entered(const fs::FileIdentity &folder) {
  static const std::string none;
  if (folder == lastEntered_)
    return;
  lastEntered_ = folder;
  seen_.insert(Key(folder, &none));
}

bool SeenEntries::reached(const fs::FileIdentity &folder, const std::string &name) const {
  return seen_.contains(Key(folder, &name));
}

bool SeenEntries::reached(const FolderPath &path) const {
  fs::FileIdentity folder;
  static const std::string none;
  return fs::GetIdentity(path, folder) == fs::FsError::None &&
         (seen_.contains(Key(folder, nullptr)) || seen_.contains(Key(folder, &none)));
}

} // namespace tailsnip::cli
