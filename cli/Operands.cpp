#include "cli/Operands.h"

#include "cli/Console.h"
#include "cli/Errors.h"
#include "cli/Names.h"
#include "cli/StoppedRun.h"
#include "engine/fs/DirectorySearch.h"

#include <algorithm>
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

} // namespace

int PlanRuns(const Options &options, std::vector<RunTarget> &runs, std::vector<Failure> &failures) {
  std::size_t position = 0;
  Listing listing;
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
      systemError = error.code();
      problem = operand.empty() ? "invalid zero-length file name"
                                : "cannot access " + QuoteNameAlways(operand) + ": " +
                                      fs::DescribeSystemError(systemError);
    } else if (const fs::FsError linkError = UnreachableTarget(operand, stamp);
               linkError != fs::FsError::None) {
      systemError = linkError.code();
      problem =
          "cannot access " + QuoteNameAlways(operand) + ": " + fs::DescribeSystemError(systemError);
    } else if (options.resume || options.restart) {
      return UsageError("--resume and --restart take folders; " + QuoteNameAlways(operand) +
                        " is not one");
    } else {
      Split(operand, run, name);
      run.files = true;
      // Names from find come folder by folder: the folder is asked once.
      const bool sameFolder =
          !runs.empty() && runs.back().files && runs.back().folder == run.folder;
      if (sameFolder) {
        run.identity = runs.back().identity;
      } else if (!IsFolder(run.folder)) {
        // Windows takes "a.txt\" and "a.txt\." for the file "a.txt", yet
        // no folder "a.txt" holds it.
        systemError = std::make_error_code(std::errc::not_a_directory);
        problem = "cannot access " + QuoteNameAlways(operand) + ": " +
                  fs::DescribeSystemError(systemError);
      } else if (const fs::FsError folderError = fs::GetIdentity(run.folder, run.identity);
                 folderError != fs::FsError::None) {
        systemError = folderError.code();
        problem = "cannot access " + QuoteNameAlways(run.folder) + ": " +
                  fs::DescribeSystemError(systemError);
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
    if (run.files)
      name = ListedName(run.folder, name, stamp, listing);
    if (run.files && !runs.empty() && runs.back().files && runs.back().identity == run.identity) {
      runs.back().names.push_back(name);
      continue;
    }
    if (run.files)
      run.names.push_back(name);
    runs.push_back(std::move(run));
  }
  return kGo;
}

std::string Shown(const RunTarget &run, const FolderPath &path) {
  const std::size_t after = run.folder.size() + 1;
  if (run.impliedFolder && path.size() > after)
    return path.substr(after);
  if (!run.folder.empty() && IsSeparator(run.folder.back()) && path.size() > after)
    return run.folder + path.substr(after);
  return path;
}

bool SeenEntries::firstTime(const fs::FileIdentity &folder, const std::string &name) {
  std::string key = std::to_string(folder.volume) + ":" + std::to_string(folder.index) + "/";
  key += name;
  return seen_.insert(std::move(key)).second;
}

bool SeenEntries::firstTime(const FolderPath &path) {
  fs::FileIdentity folder;
  if (fs::GetIdentity(path, folder) != fs::FsError::None)
    return true;
  return seen_.insert(std::to_string(folder.volume) + ":" + std::to_string(folder.index)).second;
}

} // namespace tailsnip::cli
