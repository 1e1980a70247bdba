#include "engine/stopped/StoppedRun.h"

namespace tailsnip {

namespace {

using Finding = StoppedRunFinding;

bool StillAsListed(const FolderPath &path, const EntryStamp &listed) {
  EntryStamp now;
  StampEntry(path, now);
  return listed.known && now == listed;
}

// Entries are handled in list order: the last file no longer as listed
// tells how far the run came. Folders are not asked: a copy made in one
// changes its time, whenever that was.
std::size_t StoppedAfter(const WorkList &plan, const std::vector<EntryStamp> &stamps) {
  for (std::size_t i = plan.size(); i > 0; --i)
    if (stamps[i - 1].kind != fs::FileKind::Folder && !StillAsListed(plan[i - 1], stamps[i - 1]))
      return i;
  return 0;
}

// The identities of the folders above `path` (absolute), by their paths.
FolderIdentities FoldersAbove(FolderPath path) {
  FolderIdentities folders;
  for (std::size_t separator;
       (separator = path.find_last_of(kPathSeparator)) != FolderPath::npos;) {
    path.resize(separator == 0 || path[separator - 1] == ':' ? separator + 1 : separator);
    fs::FileIdentity identity;
    if (fs::GetIdentity(path, identity) == fs::FsError::None)
      folders.emplace(path, identity);
    if (path.back() == kPathSeparator)
      break; // the root
  }
  return folders;
}

// A journal folder that does not exist holds no journal; it is made when
// one is written.
fs::FsError CheckUsable(const FolderPath &journals) {
  fs::Folder folder;
  const fs::FsError error = fs::OpenFolder(journals, folder);
  return error == fs::FsError::NotFound ? fs::FsError::None : error;
}

JournalChange Changed(const fs::FsError &error) {
  return {error == fs::FsError::None, error.code()};
}

} // namespace

bool StoppedRunCheck::mayGoOn() const {
  return finding == Finding::Go || finding == Finding::Restarting || finding == Finding::Resuming;
}

bool StoppedRunCheck::refused() const {
  switch (finding) {
  case Finding::NothingToResume:
  case Finding::StoppedHere:
  case Finding::StoppedAround:
  case Finding::StoppedWithin:
  case Finding::JournalUnreadable:
  case Finding::PlanUnreadable:
  case Finding::OtherVersion:
  case Finding::OtherSettings:
    return true;
  default:
    return false;
  }
}

StoppedRunCheck RunJournal::found(Finding finding, std::error_code systemError) const {
  StoppedRunCheck check;
  check.finding = finding;
  check.journal = path_;
  check.stopped = header_;
  check.systemError = systemError;
  return check;
}

StoppedRunCheck RunJournal::open(const FolderPath &folder, JournalUse use,
                                 const TrimSettings *asked) {
  folder_ = folder;
  if (const fs::FsError error = fs::GetIdentity(folder, folderIdentity_);
      error != fs::FsError::None)
    return found(Finding::FolderUnknown, error.code());
  const FolderPath journals = DefaultJournalFolder();
  if (journals.empty())
    return found(Finding::NoJournalFolder);
  if (const fs::FsError error = CheckUsable(journals); error != fs::FsError::None) {
    StoppedRunCheck check = found(Finding::JournalFolderUnusable, error.code());
    check.journal = journals;
    return check;
  }
  path_ = JournalPath(journals, folderIdentity_);
  JournalReader reader;
  switch (reader.readHeader(path_, header_)) {
  case JournalState::Missing:
    return use == JournalUse::Resume ? found(Finding::NothingToResume) : checkOverlap(journals);
  case JournalState::Unreadable:
  case JournalState::Malformed:
    return use == JournalUse::Restart ? forget() : found(Finding::JournalUnreadable);
  case JournalState::OtherFormat:
  case JournalState::Found:
    break;
  }
  return checkRecorded(use, asked, reader);
}

// A stopped run over a folder around this one, or within it, would lose a
// second line from the files they share if this run went on. A stopped
// run's folder is looked for where it was; one no longer there was moved or
// removed: it is around this one where one of the folders on the way has its
// identity, and within it where this run's list reaches it (checkPlan).
StoppedRunCheck RunJournal::checkOverlap(const FolderPath &journals) {
  const FolderPath here = AbsolutePath(folder_);
  std::vector<FolderPath> found;
  if (ListJournals(journals, found) != fs::FsError::None) {
    StoppedRunCheck check;
    check.finding = Finding::JournalsUnlisted;
    check.journal = journals;
    return check;
  }
  FolderIdentities onTheWay;
  for (const FolderPath &path : found) {
    StoppedRunCheck check;
    if (ReadJournal(path, check.stopped) != JournalState::Found)
      continue;
    check.journal = path;
    fs::FileIdentity now;
    if (fs::GetIdentity(check.stopped.folder, now) == fs::FsError::None &&
        now == check.stopped.folderIdentity) {
      const bool around = IsWithin(here, check.stopped.folder);
      if (!around && !IsWithin(check.stopped.folder, here))
        continue;
      check.finding = around ? Finding::StoppedAround : Finding::StoppedWithin;
      return check;
    }
    if (onTheWay.empty())
      onTheWay = FoldersAbove(here);
    for (const auto &[folder, identity] : onTheWay)
      if (identity == check.stopped.folderIdentity) {
        check.finding = Finding::StoppedAround;
        check.foundAt = folder;
        return check;
      }
    elsewhere_.push_back(std::move(check));
  }
  return StoppedRunCheck();
}

StoppedRunCheck RunJournal::checkPlan(const WorkList &list) const {
  for (const FolderPath &entry : list) {
    if (elsewhere_.empty())
      break;
    EntryStamp stamp;
    if (StampEntry(entry, stamp) != fs::FsError::None || stamp.kind != fs::FileKind::Folder)
      continue;
    for (const StoppedRunCheck &stopped : elsewhere_)
      if (stopped.stopped.folderIdentity == fs::FileIdentity{stamp.volume, stamp.index}) {
        StoppedRunCheck check = stopped;
        check.finding = Finding::StoppedWithin;
        check.foundAt = entry;
        return check;
      }
  }
  return StoppedRunCheck();
}

// The folder's own journal, its header read: a run of another version, or
// a plan that cannot be read whole, is forgotten or refused; otherwise it is
// finished, forgotten or shown as `use` asks.
StoppedRunCheck RunJournal::checkRecorded(JournalUse use, const TrimSettings *asked,
                                          JournalReader &reader) {
  if (header_.version != version_) // another format's has none
    return use == JournalUse::Restart ? forget() : found(Finding::OtherVersion);
  if (reader.readPlan(folder_, header_, plan_, stamps_) != JournalState::Found)
    return use == JournalUse::Restart ? forget() : found(Finding::PlanUnreadable);
  switch (use) {
  case JournalUse::Plain: {
    StoppedRunCheck check = found(Finding::StoppedHere);
    check.stoppedAfter = StoppedAfter(plan_, stamps_);
    check.renamed = header_.folder != AbsolutePath(folder_);
    return check;
  }
  case JournalUse::Restart:
    return forget();
  case JournalUse::Resume:
    break;
  }
  if (asked && *asked != header_.trim)
    return found(Finding::OtherSettings);
  return resume();
}

StoppedRunCheck RunJournal::forget() {
  // Copies are found by the processes the journal names: none where it
  // could not be read that far.
  RemoveLeftCopies(header_, folder_, plan_, stamps_);
  plan_.clear();
  stamps_.clear();
  if (const fs::FsError error = RemoveJournal(path_); error != fs::FsError::None)
    return found(Finding::JournalNotRemoved, error.code());
  return found(Finding::Restarting);
}

StoppedRunCheck RunJournal::resume() {
  // Noted before any change, so that a resumed run stopped in its turn is
  // finished with its own copies removed too.
  if (const fs::FsError error = AddProcess(path_, ThisCopyMaker()); error != fs::FsError::None)
    return found(Finding::JournalNotNoted, error.code());
  RemoveLeftCopies(header_, folder_, plan_, stamps_);
  resuming_ = true;
  return found(Finding::Resuming);
}

SinceListed RunJournal::sinceListed(std::size_t index, const FolderPath &path) const {
  const EntryStamp &listed = stamps_[index];
  if (listed.kind == fs::FileKind::Folder)
    return SinceListed::Unchanged;
  // Links and the like are left alone anyway; an entry that could not be
  // described may have been shortened.
  if (!listed.known || listed.kind != fs::FileKind::Regular)
    return StillAsListed(path, listed) ? SinceListed::Unchanged : SinceListed::Shortened;
  EntryStamp now;
  if (const fs::FsError error = StampEntry(path, now); error != fs::FsError::None)
    return error == fs::FsError::NotFound ? SinceListed::Removed : SinceListed::Unreadable;
  if (now == listed)
    return SinceListed::Unchanged;
  // A replacement is a file made beside the entry, on its volume.
  if (now.kind != fs::FileKind::Regular || now.volume != listed.volume)
    return SinceListed::Replaced;
  return SinceListed::Shortened;
}

FolderIdentities RunJournal::planFolders() const {
  FolderIdentities folders{{folder_, header_.folderIdentity}};
  for (std::size_t i = 0; i < plan_.size(); ++i)
    if (stamps_[i].known && stamps_[i].kind == fs::FileKind::Folder)
      folders.emplace(plan_[i], fs::FileIdentity{stamps_[i].volume, stamps_[i].index});
  return folders;
}

JournalChange RunJournal::record(const WorkList &list, const TrimSettings &trim) {
  JournalHeader header;
  header.trim = trim;
  header.version = version_;
  header.folder = AbsolutePath(folder_);
  header.folderIdentity = folderIdentity_;
  const JournalChange change = Changed(WriteJournal(path_, header, folder_, list));
  written_ = change.done;
  return change;
}

bool RunJournal::awaitsResume(const RunReport &report) const {
  const bool unfinished = report.stopped || report.outOfMemory;
  return kept() && unfinished && (report.handled > 0 || resuming_);
}

JournalChange RunJournal::finish() {
  return kept() ? Changed(RemoveJournal(path_)) : JournalChange();
}

std::vector<FolderPath> JournalsOfFolderNamed(FolderPath name) {
  while (name.size() > 1 && name.back() == kPathSeparator)
    name.pop_back();
  name = AbsolutePath(name);
  std::vector<FolderPath> journals, naming;
  if (const FolderPath folder = DefaultJournalFolder(); !folder.empty())
    ListJournals(folder, journals);
  for (const FolderPath &path : journals) {
    JournalHeader header;
    if (ReadJournal(path, header) == JournalState::Found && header.folder == name)
      naming.push_back(path);
  }
  return naming;
}

std::vector<ForgottenRun> ForgetRunsOverVanishedFolder(const FolderPath &name) {
  std::vector<ForgottenRun> forgotten;
  fs::FileInfo info;
  if (fs::DescribeByName(name, info) != fs::FsError::NotFound)
    return forgotten;
  for (const FolderPath &journal : JournalsOfFolderNamed(name))
    forgotten.push_back({journal, Changed(RemoveJournal(journal))});
  return forgotten;
}

} // namespace tailsnip
