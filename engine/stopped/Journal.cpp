#include "engine/stopped/Journal.h"

#include "engine/fs/DirectorySearch.h"
#include "engine/run/RunFiles.h"
#include "engine/stopped/JournalText.h"
#include "engine/threads/Workers.h"
#include "engine/trim/CopyName.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

// The first line names the format; a journal of another format is refused
// as a whole rather than half understood. The first format, still read, had
// no trim settings: its runs removed one line and wrote CR LF; the second,
// still read, had no backup settings: its runs kept none; the third, still
// read, did not say whether its run was over FILEs named: it is taken for
// a run over its whole folder.
constexpr char kFirstFormat[] = "tailsnip-journal 1";
constexpr char kSecondFormat[] = "tailsnip-journal 2";
constexpr char kThirdFormat[] = "tailsnip-journal 3";
constexpr char kFormat[] = "tailsnip-journal 4";

const char kKinds[] = "fdlo"; // by fs::FileKind

// Whether `name` is one the walk could have listed beneath a folder: names
// joined by separators, none of them empty, "." or "..". Anything else would
// lead a resumed run out of the folder, or to what the walk never listed.
bool IsBeneath(const std::string &name) {
  if (name.find('\0') != std::string::npos)
    return false;
#ifdef _WIN32
  if (name.find(':') != std::string::npos) // "file:name" is a stream of the file
    return false;
#endif
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(name.find_first_of(kSeparators, start), name.size());
    const std::string_view part(name.data() + start, end - start);
    if (part.empty() || part == "." || part == "..")
      return false;
    if (end == name.size())
      return true;
    start = end + 1;
  }
}

// Whether `name` is a copy's of one of `processes`; then `entry` is the
// place in the list of the entry it was made for, where the name has it.
bool IsCopyOf(const std::string &name, const std::vector<CopyMaker> &processes,
              std::optional<std::size_t> &entry) {
  for (const CopyMaker &process : processes)
    if (IsCopyName(name, process, entry))
      return true;
  return false;
}

// "process PID TOKEN"; an earlier program wrote "process PID".
bool ReadProcess(const std::string &line, CopyMaker &process) {
  constexpr std::string_view kWord = "process ";
  if (line.compare(0, kWord.size(), kWord) != 0)
    return false;
  const char *end = line.data() + line.size();
  const auto parsed = std::from_chars(line.data() + kWord.size(), end, process.process);
  if (parsed.ec != std::errc())
    return false;
  if (parsed.ptr == end)
    return true;
  process.token.assign(parsed.ptr + 1, end);
  return *parsed.ptr == ' ' && IsCopyToken(process.token);
}

std::string ProcessLine(const CopyMaker &process) {
  return "process " + std::to_string(process.process) + " " + process.token + "\n";
}

} // namespace

namespace {

// The journal's own files, and the copies a stopped run left, are named by
// their paths: their folders are opened by name, the files reached in them.
FsError RemoveFile(const FolderPath &path) {
  fs::Folder folder;
  if (const FsError error = fs::OpenParentFolder(path, folder); error != FsError::None)
    return error;
  return fs::Remove(folder.handle, path);
}

FsError OpenFile(const FolderPath &path, fs::File &file, fs::FileInfo &info) {
  fs::Folder folder;
  if (const FsError error = fs::OpenParentFolder(path, folder); error != FsError::None)
    return error;
  return fs::OpenEntry(folder, path, file, info);
}

// The stamps of a list's entries, in order, taken a stretch at a time by two
// threads, each stamping half of it: a run waits for its journal, and each
// stamp waits for the system.
class ListStamps {
public:
  explicit ListStamps(const WorkList &list) : list_(list) {}

  const EntryStamp &of(std::size_t index) {
    if (index >= start_ + stamps_.size())
      stampFrom(index);
    return stamps_[index - start_];
  }

private:
  static constexpr std::size_t kStretch = 4096;
  static constexpr std::size_t kSharedFrom = 256; // a shorter stretch is stamped on one thread

  void stampFrom(std::size_t start) {
    start_ = start;
    stamps_.resize(std::min(kStretch, list_.size() - start));
    const std::size_t parts = stamps_.size() >= kSharedFrom ? 2 : 1;
    const std::size_t half = (stamps_.size() + parts - 1) / parts;
    std::atomic<bool> outOfMemory{false};
    workers_.forEach(parts, [&](std::size_t part) {
      try {
        const std::size_t first = part * half;
        WorkList::const_iterator path(list_, start_ + first);
        for (std::size_t i = first; i < std::min(stamps_.size(), (part + 1) * half); ++i, ++path)
          StampEntry(*path, stamps_[i]);
      } catch (const std::bad_alloc &) {
        outOfMemory = true;
      }
    });
    if (outOfMemory)
      throw std::bad_alloc();
  }

  const WorkList &list_;
  std::size_t start_ = 0;
  std::vector<EntryStamp> stamps_;
  Workers workers_{1, 1};
};

} // namespace

FsError StampEntry(const FolderPath &path, EntryStamp &stamp) {
  stamp = EntryStamp();
  fs::FileInfo info;
  if (const FsError error = fs::DescribeByName(path, info); error != FsError::None)
    return error;
  stamp.known = true;
  stamp.kind = info.kind;
  stamp.volume = info.identity.volume;
  stamp.index = info.identity.index;
  stamp.size = info.size;
  stamp.modified = info.modified;
  return FsError::None;
}

bool StillAsStamped(const FolderPath &path, const EntryStamp &listed) {
  EntryStamp now;
  return listed.known && StampEntry(path, now) == FsError::None && now == listed;
}

FolderPath JournalPath(const FolderPath &journalFolder, const fs::FileIdentity &identity) {
  return JoinPath(journalFolder, JournalName(identity));
}

namespace {

FolderPath DraftOf(const FolderPath &journal) {
  return FolderOf(journal) + JournalDraftName(std::string(NameOf(journal)));
}

} // namespace

FsError RemoveJournalDraft(const FolderPath &path) { return RemoveFile(DraftOf(path)); }

FsError WriteJournal(const FolderPath &path, const JournalHeader &header, const FolderPath &root,
                     const WorkList &list, Durability durability, StampList *kept) {
  const bool flushed = durability == Durability::Flushed;
  if (const FsError error = journal::MakeFolders(path.substr(0, path.find_last_of(kPathSeparator)));
      error != FsError::None)
    return error;
  // Held from the start, so that what is written can be taken back even
  // where the process may open no further file.
  fs::Folder journals;
  if (const FsError error = fs::OpenParentFolder(path, journals); error != FsError::None)
    return error;
  // A draft already there is left by a process that died writing it.
  const FolderPath draft = DraftOf(path);
  fs::File file;
  const auto makeDraft = [&] {
    return file.isOpen() ? fs::NameUnnamed(file, journals, draft)
                         : journal::CreatePrivate(draft, file);
  };
  const auto takeDraft = [&] {
    FsError error = makeDraft();
    if (error == FsError::Exists && fs::Remove(journals.handle, draft) == FsError::None)
      error = makeDraft();
    return error;
  };
  // Unnamed until written whole, where the system allows: a process killed
  // meanwhile leaves nothing behind. Elsewhere the draft is named from the
  // start, and a later run over the folder removes what such a process left.
  fs::FileInfo privateFile;
  privateFile.permissions = 0600;
  const bool unnamed = fs::CreateUnnamed(journals, privateFile, file) == FsError::None;
  FsError error = unnamed ? journal::KeepPrivate(file) : takeDraft();
  if (error != FsError::None)
    return error;
  try {
    journal::Writer out(file);
    out.text(kFormat).text("\nversion ").text(header.version.c_str()).text("\nfolder ");
    out.number(header.folderIdentity.volume).character(' ').number(header.folderIdentity.index);
    out.character(' ').name(header.folder.data(), header.folder.size());
    out.text("trim ").number(header.trim.lines).character(' ');
    out.number(header.trim.keepLineEnds ? 1 : 0).character('\n');
    const BackupSettings &backup = header.trim.backup;
    out.text("backup ").number(static_cast<std::uint64_t>(backup.control)).character(' ');
    out.name(backup.suffix.data(), backup.suffix.size());
    out.text("named ").number(header.named ? 1 : 0).character('\n');
    out.text("entries ").number(list.size()).character('\n');
    const std::size_t skip = root.size() + 1; // the root and the separator after it
    ListStamps stamps(list);
    WorkList::const_iterator entry = list.begin();
    for (std::size_t i = 0; i < list.size() && error == FsError::None; ++i, ++entry) {
      const EntryStamp &stamp = stamps.of(i);
      if (kept)
        kept->push_back(stamp);
      out.character(stamp.known ? kKinds[static_cast<int>(stamp.kind)] : '?');
      out.number(stamp.volume).character(' ').number(stamp.index).character(' ');
      out.number(stamp.size).character(' ').number(stamp.modified).character(' ');
      out.name(entry->data() + skip, entry->size() - skip);
      error = out.flushIfFull();
    }
    if (error == FsError::None) {
      out.text("end\n").text(ProcessLine(ThisCopyMaker()).c_str());
      error = out.flush();
    }
  } catch (const std::bad_alloc &) {
    error = {FsError::Other, std::make_error_code(std::errc::not_enough_memory)};
  }
  if (error == FsError::None && flushed)
    error = fs::FlushToDisk(file);
  if (error == FsError::None && unnamed)
    error = takeDraft();
  if (const FsError closed = fs::Close(file); error == FsError::None)
    error = closed;
  if (error == FsError::None)
    error = fs::MoveOver(journals.handle, draft, journals.handle, path);
  if (error != FsError::None) {
    fs::Remove(journals.handle, draft);
    return error;
  }
  if (flushed && (error = fs::FlushFolder(journals.handle)) != FsError::None)
    fs::Remove(journals.handle, path);
  return error;
}

struct JournalReader::Source {
  journal::Reader in;
};

JournalReader::JournalReader() = default;
JournalReader::~JournalReader() = default;

void JournalReader::close() { source_.reset(); }

JournalState JournalReader::readHeader(const FolderPath &path, JournalHeader &header) {
  header = JournalHeader();
  source_.reset();
  systemError_.clear();
  fs::File file;
  fs::FileInfo info;
  if (const FsError error = OpenFile(path, file, info); error != FsError::None) {
    // Where the process may open no more files, it may still be missing.
    if (fs::FileInfo named;
        error == FsError::NotFound || fs::DescribeByName(path, named) == FsError::NotFound)
      return JournalState::Missing;
    systemError_ = error.code();
    return JournalState::Unreadable;
  }
  if (info.kind != fs::FileKind::Regular)
    return JournalState::Unreadable;
  try {
    source_.reset(new Source{journal::Reader(std::move(file), info.size)});
    journal::Reader &in = source_->in;
    std::string line;
    const bool first = in.line(line) && line == kFirstFormat;
    const bool second = line == kSecondFormat;
    const bool third = line == kThirdFormat;
    if (!first && !second && !third && line != kFormat)
      return line.rfind("tailsnip-journal ", 0) == 0 ? JournalState::OtherFormat
                                                     : JournalState::Malformed;
    if (!in.line(line) || line.rfind("version ", 0) != 0)
      return JournalState::Malformed;
    header.version = line.substr(8);
    std::uint64_t values[3];
    if (!in.line(line) || !journal::Numbers(line, "folder", values, 3) ||
        !in.bytes(static_cast<std::size_t>(values[2]), header.folder) || header.folder.empty())
      return JournalState::Malformed;
    header.folderIdentity = {values[0], values[1]};
    if (!first) {
      if (!in.line(line) || !journal::Numbers(line, "trim", values, 2) || values[0] == 0 ||
          values[1] > 1)
        return JournalState::Malformed;
      header.trim.lines = values[0];
      header.trim.keepLineEnds = values[1] == 1;
    }
    if (!first && !second) {
      BackupSettings &backup = header.trim.backup;
      if (!in.line(line) || !journal::Numbers(line, "backup", values, 2) ||
          values[0] > static_cast<std::uint64_t>(BackupControl::Existing) ||
          !in.bytes(static_cast<std::size_t>(values[1]), backup.suffix) || backup.suffix.empty())
        return JournalState::Malformed;
      backup.control = static_cast<BackupControl>(values[0]);
    }
    if (!first && !second && !third) {
      if (!in.line(line) || !journal::Numbers(line, "named", values, 1) || values[0] > 1)
        return JournalState::Malformed;
      header.named = values[0] == 1;
    }
    if (!in.line(line) || !journal::Numbers(line, "entries", values, 1))
      return JournalState::Malformed;
    header.entries = static_cast<std::size_t>(values[0]);
    return JournalState::Found;
  } catch (const std::bad_alloc &) {
    return JournalState::Unreadable;
  }
}

JournalState JournalReader::readPlan(const FolderPath &root, JournalHeader &header, WorkList &list,
                                     StampList &stamps) {
  list.clear();
  stamps.clear();
  const JournalState state =
      source_ ? readEntries(root, header, list, stamps) : JournalState::Malformed;
  if (state != JournalState::Found) {
    list.clear(); // half a plan must not be worked through
    stamps.clear();
  }
  return state;
}

JournalState JournalReader::readEntries(const FolderPath &root, JournalHeader &header,
                                        WorkList &list, StampList &stamps) {
  try {
    journal::Reader &in = source_->in;
    std::string line, name;
    std::uint64_t values[5];
    for (std::size_t i = 0; i < header.entries; ++i) {
      // "<kind><volume> <index> <size> <modified> <name length>", then the name.
      if (!in.line(line) || line.empty())
        return JournalState::Malformed;
      const bool unknown = line[0] == '?';
      const char *kind = unknown || line[0] == '\0' ? nullptr : std::strchr(kKinds, line[0]);
      line[0] = ' ';
      if ((!kind && !unknown) || !journal::Numbers(line, "", values, 5) ||
          !in.bytes(static_cast<std::size_t>(values[4]), name) || !IsBeneath(name))
        return JournalState::Malformed;
      EntryStamp stamp;
      stamp.known = kind != nullptr;
      stamp.kind = kind ? static_cast<fs::FileKind>(kind - kKinds) : fs::FileKind::Other;
      stamp.volume = values[0];
      stamp.index = values[1];
      stamp.size = values[2];
      stamp.modified = values[3];
      stamps.push_back(stamp);
      list.push_back(JoinPath(root, name));
    }
    if (!in.line(line) || line != "end")
      return JournalState::Malformed;
    header.noted.assign(header.entries, false);
    header.copyKept.assign(header.entries, false);
    for (CopyMaker process; in.line(line); process = CopyMaker()) {
      std::uint64_t noted = 0;
      if (ReadProcess(line, process))
        header.processes.push_back(std::move(process));
      else if (journal::Numbers(line, "changing", &noted, 1) && noted < header.entries)
        header.noted[static_cast<std::size_t>(noted)] = true;
      else if (journal::Numbers(line, "kept", &noted, 1) && noted < header.entries)
        header.copyKept[static_cast<std::size_t>(noted)] = true;
    }
    return header.processes.empty() ? JournalState::Malformed : JournalState::Found;
  } catch (const std::bad_alloc &) {
    return JournalState::Unreadable;
  }
}

JournalState ReadJournal(const FolderPath &path, JournalHeader &header, const FolderPath &root,
                         WorkList *list, StampList *stamps) {
  JournalReader reader;
  const JournalState state = reader.readHeader(path, header);
  if (state != JournalState::Found || !list || !stamps)
    return state;
  return reader.readPlan(root, header, *list, *stamps);
}

FsError RemoveJournal(const FolderPath &path) { return RemoveFile(path); }

FsError AddProcess(const FolderPath &path, const CopyMaker &process, Durability durability) {
  fs::File file;
  if (const FsError error = journal::OpenForAppend(path, file); error != FsError::None)
    return error;
  // From a line of its own: a note cut short by a failed write ends there.
  const std::string line = "\n" + ProcessLine(process);
  FsError error = fs::WriteAll(file, line.data(), line.size());
  if (error == FsError::None && durability == Durability::Flushed)
    error = fs::FlushToDisk(file);
  const FsError closed = fs::Close(file);
  return error != FsError::None ? error : closed;
}

namespace {

// From a line of its own: one cut short by a failed write ends there.
FsError Note(fs::File &journal, const char *what, std::size_t index) {
  const std::string line = "\n" + std::string(what) + " " + std::to_string(index) + "\n";
  return fs::WriteAll(journal, line.data(), line.size());
}

} // namespace

FsError NoteChanging(fs::File &journal, std::size_t index) {
  return Note(journal, "changing", index);
}

FsError NoteCopyKept(fs::File &journal, std::size_t index) { return Note(journal, "kept", index); }

namespace {

// A folder of the stopped run's list: where it is now, and the name it
// was listed by, which its entries' names in the list begin with. The two
// differ once it was moved after the run was stopped.
struct ListedFolder {
  FolderPath now;
  FolderPath listed;
  FolderPath listedEntry(const FolderPath &entryNow) const {
    return JoinPath(listed, std::string(NameOf(entryNow)));
  }
};

// Whether the entry now at `path`, in `folder`, was never replaced by the
// run of `header`: as `list` and its `stamps` had it listed, or never noted
// as about to be changed.
bool NeverReplaced(const ListedFolder &folder, const FolderPath &path, const JournalHeader &header,
                   const WorkList &list, const StampList &stamps) {
  const std::size_t index = list.find(folder.listedEntry(path));
  return index < stamps.size() &&
         (!header.mayHaveChanged(index) || StillAsStamped(path, stamps[index]));
}

// Whether `left`, named as a file a stopped run leaves, can be one: the
// run's user's, or its entry's owner's, as a copy given the entry's owner,
// the entry's old self and an earlier backup kept aside are. Another
// user's, planted under such a name where they may write, is not the run's
// to remove or put back.
bool MayBeTheRuns(const fs::FileInfo &left, const FolderPath &entry) {
  fs::FileInfo owner;
  return left.owner == fs::CurrentUser() ||
         (fs::DescribeByName(entry, owner) == FsError::None && left.owner == owner.owner);
}

// Puts the earlier simple backup kept aside as `aside` back under `backup`,
// both in `folder`, unless the entry it backed up was replaced. A name
// taken by anything but a regular file keeps it aside (Exists).
FsError PutBackAside(const ListedFolder &listed, const std::string &aside,
                     const std::string &backup, const JournalHeader &header, const WorkList &list,
                     const StampList &stamps) {
  const FolderPath &folder = listed.now;
  const std::string &suffix = header.trim.backup.suffix;
  if (backup.size() <= suffix.size() ||
      backup.compare(backup.size() - suffix.size(), suffix.size(), suffix) != 0)
    return FsError::None; // named so by another suffix: not this run's
  const FolderPath from = JoinPath(folder, aside);
  const FolderPath to = JoinPath(folder, backup);
  const FolderPath entry = to.substr(0, to.size() - suffix.size());
  fs::Folder held;
  if (const FsError error = fs::OpenParentFolder(to, held); error != FsError::None)
    return error;
  fs::FileInfo asideInfo;
  if (const FsError error = fs::DescribeEntry(held, from, asideInfo); error != FsError::None)
    return error;
  if (!MayBeTheRuns(asideInfo, entry))
    return FsError::None;
  fs::FileInfo taken;
  const FsError error = fs::DescribeEntry(held, to, taken);
  if (error == FsError::NotFound)
    return fs::MoveAsideFile(held.handle, from, to);
  if (error != FsError::None)
    return error;
  if (taken.kind != fs::FileKind::Regular)
    return {FsError::Exists, std::make_error_code(std::errc::file_exists)};
  // A rename between two names of one file leaves both: kept aside by a
  // resumed run stopped in turn, the backup its stopped run made is the
  // one made in its place, and its name aside only one to let go.
  if (asideInfo.identity == taken.identity)
    return fs::Remove(held.handle, from);
  // The backup made in its place is a second name of the entry, or a copy
  // of it, until the entry is replaced.
  fs::FileInfo now;
  const bool kept =
      (fs::DescribeEntry(held, entry, now) == FsError::None && now.identity == taken.identity) ||
      NeverReplaced(listed, entry, header, list, stamps);
  return kept ? fs::MoveOver(held.handle, from, held.handle, to) : fs::Remove(held.handle, from);
}

// A copy a stopped run left in a folder of its list.
struct LeftCopy {
  FolderPath path;
  // The place in the list of the entry it was made for, where its name
  // gives one of this folder's files: not in a name an earlier program gave.
  std::optional<std::size_t> entry;
  FolderPath entryNow; // that entry's name in the folder where it is now
  // Whether it is that entry as listed: put there by the exchange in which
  // the copy took the entry's place.
  bool oldSelf = false;
};

LeftCopy FindLeftCopy(const ListedFolder &folder, const FolderPath &path,
                      std::optional<std::size_t> entry, const WorkList &list,
                      const StampList &stamps) {
  if (!entry || *entry >= list.size() || *entry >= stamps.size() || !stamps[*entry].known)
    return {path, std::nullopt, {}, false};
  const FolderPath listed = list[*entry];
  if (folder.listedEntry(listed) != listed)
    return {path, std::nullopt, {}, false};
  EntryStamp now;
  StampEntry(path, now);
  return {path, entry, JoinPath(folder.now, std::string(NameOf(listed))), now == stamps[*entry]};
}

// The entry beside which another program may have saved what `copy`
// holds, when it is neither the entry's old self nor a copy that never
// took its place; empty where it is the run's to remove. A copy that never
// took its place is known by its entry, still as listed or never noted as
// about to be changed (`header`), or by the entry's old self under another
// copy's name (`beside`, in its folder): the run's own exchange replaced
// the entry then. A copy of an entry the run could not stamp, or named
// without it, is the run's, as nothing tells otherwise.
FolderPath SavedOver(const LeftCopy &copy, const std::vector<LeftCopy> &beside,
                     const JournalHeader &header, const StampList &stamps) {
  if (!copy.entry || copy.oldSelf || !header.mayHaveChanged(*copy.entry))
    return {};
  const std::size_t entry = *copy.entry;
  if (EntryStamp now; StampEntry(copy.entryNow, now) == FsError::None && now == stamps[entry])
    return {};
  const bool replacedByTheRun =
      std::any_of(beside.begin(), beside.end(),
                  [&](const LeftCopy &other) { return other.oldSelf && other.entry == entry; });
  return replacedByTheRun ? FolderPath() : copy.entryNow;
}

// Whether `now` is the folder `listed` describes, whatever it holds now.
bool IsSameFolder(const EntryStamp &now, const EntryStamp &listed) {
  return now.known && now.kind == fs::FileKind::Folder && now.volume == listed.volume &&
         now.index == listed.index;
}

// Whether `path` leads to the folder `listed` describes.
bool IsListedFolder(const FolderPath &path, const EntryStamp &listed) {
  EntryStamp now;
  StampEntry(path, now);
  return IsSameFolder(now, listed);
}

// Finds beneath `root` the folders of `list` named by `moved` (their
// places in it), which are no longer where they were listed: moved, once
// the run was stopped, within the tree. Links are not followed, nor a
// folder met again (a bind mount of one above it); a folder moved out of
// the tree is not found, and stays in `moved`.
std::vector<ListedFolder> FindMovedFolders(const FolderPath &root, std::vector<std::size_t> &moved,
                                           const WorkList &list, const StampList &stamps) {
  std::vector<ListedFolder> found;
  std::set<std::pair<std::uint64_t, std::uint64_t>> searched;
  std::vector<FolderPath> toSearch{root};
  while (!toSearch.empty() && !moved.empty()) {
    const FolderPath folder = std::move(toSearch.back());
    toSearch.pop_back();
    std::vector<FindRecord> entries;
    ListFolder(folder, entries);
    for (const FindRecord &entry : entries) {
      if ((entry.attributes & kAttributeReparsePoint) != 0 ||
          (entry.attributes & kAttributeFolder) == 0 || entry.name == "." || entry.name == "..")
        continue;
      const FolderPath path = JoinPath(folder, entry.name);
      EntryStamp now;
      StampEntry(path, now);
      if (!now.known || !searched.emplace(now.volume, now.index).second)
        continue;
      const auto match = std::find_if(moved.begin(), moved.end(), [&](std::size_t index) {
        return IsSameFolder(now, stamps[index]);
      });
      if (match != moved.end()) {
        found.push_back({path, list[*match]});
        moved.erase(match);
      }
      toSearch.push_back(path);
    }
  }
  return found;
}

} // namespace

std::vector<LeftFile> RemoveLeftCopies(const JournalHeader &header, const FolderPath &root,
                                       const WorkList &list, const StampList &stamps) {
  std::vector<LeftFile> left;
  auto clean = [&](const ListedFolder &listed) {
    const FolderPath &folder = listed.now;
    std::vector<FindRecord> entries;
    ListFolder(folder, entries); // what cannot be listed keeps its copies
    std::vector<LeftCopy> copies;
    for (const FindRecord &entry : entries) {
      if ((entry.attributes & (kAttributeFolder | kAttributeReparsePoint)) != 0)
        continue;
      const FolderPath path = JoinPath(folder, entry.name);
      std::string backup;
      std::optional<std::size_t> madeFor;
      if (IsCopyOf(entry.name, header.processes, madeFor)) {
        LeftCopy copy = FindLeftCopy(listed, path, madeFor, list, stamps);
        if (fs::FileInfo info; fs::DescribeByName(path, info) == FsError::None &&
                               MayBeTheRuns(info, copy.entry ? copy.entryNow : FolderPath()))
          copies.push_back(std::move(copy));
      } else if (std::any_of(header.processes.begin(), header.processes.end(),
                             [&](const CopyMaker &process) {
                               return IsAsideName(entry.name, process, backup);
                             })) {
        if (const FsError error = PutBackAside(listed, entry.name, backup, header, list, stamps);
            error != FsError::None && error != FsError::NotFound)
          left.push_back({path, JoinPath(folder, backup), {}, error.code()});
      }
    }
    for (const LeftCopy &copy : copies) {
      if (copy.entry && !copy.oldSelf && header.keptCopyOf(*copy.entry))
        left.push_back({copy.path, {}, copy.entryNow, {}, true});
      else if (FolderPath savedOver = SavedOver(copy, copies, header, stamps); !savedOver.empty())
        left.push_back({copy.path, {}, std::move(savedOver), {}});
      else if (const FsError error = RemoveFile(copy.path);
               error != FsError::None && error != FsError::NotFound)
        left.push_back({copy.path, {}, {}, error.code()});
    }
  };
  clean({root, root});
  std::vector<std::size_t> moved;
  WorkList::const_iterator entry = list.begin();
  StampList::const_iterator stamp = stamps.begin();
  for (std::size_t i = 0; i < list.size() && i < stamps.size(); ++i, ++entry, ++stamp) {
    if (!stamp->known || stamp->kind != fs::FileKind::Folder)
      continue;
    if (IsListedFolder(*entry, *stamp))
      clean({*entry, *entry});
    else
      moved.push_back(i);
  }
  if (!moved.empty())
    for (const ListedFolder &folder : FindMovedFolders(root, moved, list, stamps))
      clean(folder);
  // What the folders no longer in the tree hold was not looked at; each is
  // told of once, by the outermost of them.
  std::set<FolderPath> gone;
  for (const std::size_t index : moved)
    gone.insert(list[index]);
  for (const FolderPath &folder : gone)
    if (gone.count(folder.substr(0, folder.find_last_of(kPathSeparator))) == 0)
      left.push_back({folder, {}, {}, {}, false, true});
  return left;
}

FsError ListJournals(const FolderPath &journalFolder, std::vector<FolderPath> &journals) {
  std::vector<FindRecord> entries;
  const FsError error = ListFolder(journalFolder, entries);
  for (const FindRecord &entry : entries)
    if (IsJournalName(entry.name))
      journals.push_back(JoinPath(journalFolder, entry.name));
  return error == FsError::NotFound ? FsError::None : error; // no folder: no journal
}

} // namespace tailsnip
