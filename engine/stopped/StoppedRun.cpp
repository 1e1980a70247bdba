#include "engine/stopped/StoppedRun.h"

#include "engine/PathSet.h"
#include "engine/run/FoldersAbove.h"
#include "engine/stopped/Registry.h"

#include <algorithm>
#include <utility>

namespace tailsnip {

namespace {

using Finding = StoppedRunFinding;

// Entries are handled in list order: the last file no longer as listed
// that the run noted it was about to change tells how far it came. Folders
// are not asked: a copy made in one changes its time, whenever that was.
std::size_t StoppedAfter(const WorkList &plan, const StampList &stamps,
                         const JournalHeader &header) {
  for (std::size_t i = plan.size(); i > 0; --i)
    if (const EntryStamp stamp = stamps[i - 1]; stamp.kind != fs::FileKind::Folder &&
                                                header.mayHaveChanged(i - 1) &&
                                                !StillAsStamped(plan[i - 1], stamp))
      return i;
  return 0;
}

// How many of the first `count` entries are no folders.
std::size_t FilesAmong(const StampList &stamps, std::size_t count) {
  std::size_t files = 0;
  StampList::const_iterator stamp = stamps.begin();
  for (std::size_t i = 0; i < count; ++i, ++stamp)
    files += stamp->kind != fs::FileKind::Folder ? 1 : 0;
  return files;
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

// Whether the registry was there to use; a platform without one has none
// to miss.
JournalChange Available(const RegistryUse &use) {
  const bool missed = use.state != RegistryState::Used && !RegistryFolder().empty();
  return {!missed, use.systemError, true};
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
  case Finding::RestartWouldWiden:
  case Finding::RestartWouldNarrow:
  case Finding::RestartLeavesOut:
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
                                 const AskedSettings &asked, const WorkList *named) {
  folder_ = folder;
  named_ = named != nullptr;
  bool inMemory = false;
  if (const fs::FsError error = fs::GetIdentity(folder, folderIdentity_, &inMemory);
      error != fs::FsError::None)
    return found(Finding::FolderUnknown, error.code());
  durability_ = inMemory ? Durability::InMemory : Durability::Flushed;
  const FolderPath journals = DefaultJournalFolder();
  if (journals.empty())
    return found(Finding::NoJournalFolder);
  if (OthersMayChangeJournals(journals)) {
    StoppedRunCheck check = found(Finding::JournalFolderShared);
    check.journal = journals;
    return check;
  }
  if (const fs::FsError error = CheckUsable(journals); error != fs::FsError::None) {
    StoppedRunCheck check = found(Finding::JournalFolderUnusable, error.code());
    check.journal = journals;
    return check;
  }
  path_ = JournalPath(journals, folderIdentity_);
  JournalReader reader;
  switch (reader.readHeader(path_, header_)) {
  case JournalState::Missing:
    if (StoppedRunCheck check = findStopped(journals); check.finding != Finding::Go)
      return check;
    // Recorded elsewhere, it is neither resumed nor forgotten here; only the
    // superuser forgets another user's.
    if (StoppedRunCheck check = stoppedAt(Finding::StoppedHere, folder_, folderIdentity_);
        check.finding != Finding::Go)
      return use == JournalUse::Restart && !check.owner.empty() && MayForgetOthersRuns()
                 ? forgetOthers(check.journal)
                 : check;
    if (use != JournalUse::Resume)
      return checkAround();
    // The run that was to be resumed died writing its journal; this one
    // holds the folder, so nobody writes it now.
    RemoveJournalDraft(path_);
    return found(Finding::NothingToResume);
  case JournalState::Unreadable:
  case JournalState::Malformed:
    reader.close();
    return use == JournalUse::Restart ? forget()
                                      : found(Finding::JournalUnreadable, reader.systemError());
  case JournalState::OtherFormat:
  case JournalState::Found:
    break;
  }
  return checkRecorded(use, asked, named, reader);
}

// Every stopped run this user's journal folder and the registry know of.
// A stopped run over a folder around this one, or within it, would lose a
// second line from the files they share if this run went on.
StoppedRunCheck RunJournal::findStopped(const FolderPath &journals) {
  std::vector<FolderPath> own;
  if (const fs::FsError error = ListJournals(journals, own); error != fs::FsError::None) {
    StoppedRunCheck check;
    check.finding = Finding::JournalsUnlisted;
    check.journal = journals;
    check.systemError = error.code();
    return check;
  }
  for (const FolderPath &path : own) {
    Stopped run;
    run.journal = path;
    if (ReadJournal(path, run.header) == JournalState::Found)
      stopped_.emplace(std::pair(run.header.folderIdentity.volume, run.header.folderIdentity.index),
                       std::move(run));
  }
  RegisteredRuns registered;
  const RegistryUse use = ReadRegistry(registered);
  if (use.state == RegistryState::Failed) {
    StoppedRunCheck check;
    check.finding = Finding::JournalsUnlisted;
    check.journal = RegistryFolder();
    check.systemError = use.systemError;
    return check;
  }
  registry_ = Available(use);
  for (const auto &[identity, run] : registered) {
    if (stopped_.count(identity))
      continue; // in this user's journal folder
    Stopped elsewhere;
    elsewhere.journal = run.journal;
    elsewhere.elsewhere = true;
    elsewhere.owner = run.owner;
    stopped_.emplace(identity, std::move(elsewhere));
  }
  return StoppedRunCheck();
}

StoppedRunCheck RunJournal::stoppedAt(Finding finding, const FolderPath &folder,
                                      const fs::FileIdentity &identity) const {
  const auto run = stopped_.find({identity.volume, identity.index});
  if (run == stopped_.end())
    return StoppedRunCheck();
  StoppedRunCheck check;
  check.finding = finding;
  check.journal = run->second.journal;
  check.stopped = run->second.header;
  check.stopped.folder = AbsolutePath(folder); // by today's name, for --resume
  check.elsewhere = run->second.elsewhere;
  check.owner = run->second.owner;
  return check;
}

StoppedRunCheck RunJournal::checkAround() const {
  const std::vector<HeldFolder> chain = FolderAndAbove(folder_);
  for (std::size_t i = 1; i < chain.size(); ++i)
    if (StoppedRunCheck check = stoppedAt(Finding::StoppedAround, chain[i].path, chain[i].identity);
        check.finding != Finding::Go)
      return check;
  return StoppedRunCheck();
}

StoppedRunCheck RunJournal::checkEntered(const FolderPath &folder,
                                         const fs::FileIdentity &identity) const {
  return stoppedAt(Finding::StoppedWithin, folder, identity);
}

// The folder's own journal, its header read: a run of another version, or
// a plan that cannot be read whole, is forgotten or refused; otherwise it is
// finished, forgotten or shown as `use` asks.
StoppedRunCheck RunJournal::checkRecorded(JournalUse use, const AskedSettings &asked,
                                          const WorkList *named, JournalReader &reader) {
  const bool sameVersion = header_.version == version_; // another format's has none
  const bool planRead =
      sameVersion && reader.readPlan(folder_, header_, plan_, stamps_) == JournalState::Found;
  // Windows lets nobody write or remove a file while it is open for reading.
  reader.close();
  if (use == JournalUse::Restart && header_.named != named_)
    return found(header_.named ? Finding::RestartWouldWiden : Finding::RestartWouldNarrow);
  if (!sameVersion)
    return use == JournalUse::Restart ? forget() : found(Finding::OtherVersion);
  if (!planRead)
    return use == JournalUse::Restart ? forget() : found(Finding::PlanUnreadable);
  switch (use) {
  case JournalUse::Plain: {
    StoppedRunCheck check = found(Finding::StoppedHere);
    check.stoppedAfter = StoppedAfter(plan_, stamps_, header_);
    check.planned = plan_.size();
    // A run over FILEs counts them, as its stop did, not the folders on their way.
    if (header_.named) {
      check.stoppedAfter = FilesAmong(stamps_, check.stoppedAfter);
      check.planned = FilesAmong(stamps_, stamps_.size());
    }
    check.renamed = header_.folder != AbsolutePath(folder_);
    return check;
  }
  case JournalUse::Restart:
    return named && !plansNoneBut(*named) ? found(Finding::RestartLeavesOut) : forget();
  case JournalUse::Resume:
    break;
  }
  if (asked.over(header_.trim) != header_.trim)
    return found(Finding::OtherSettings);
  return resume();
}

// Whether every file of the stopped run's plan is among the FILEs `named`;
// the folders it passed through on the way to them are not asked.
bool RunJournal::plansNoneBut(const WorkList &named) const {
  PathSet given;
  for (const std::string &name : named)
    given.insert(JoinPath(folder_, name));
  StampList::const_iterator stamp = stamps_.begin();
  for (const FolderPath &path : plan_) {
    if (stamp->kind != fs::FileKind::Folder && !given.contains(path))
      return false;
    ++stamp;
  }
  return true;
}

StoppedRunCheck RunJournal::forget() {
  // Copies are found by the processes the journal names: none where it
  // could not be read that far.
  std::vector<LeftFile> left = RemoveLeftCopies(header_, folder_, plan_, stamps_);
  plan_.clear();
  stamps_.clear();
  Unregister(folderIdentity_, path_);
  if (const fs::FsError error = RemoveJournal(path_); error != fs::FsError::None)
    return found(Finding::JournalNotRemoved, error.code());
  StoppedRunCheck check = found(Finding::Restarting);
  check.left = std::move(left);
  return check;
}

// Forgets another user's stopped run over the folder, recorded in `journal`,
// as its owner's --restart would; this run's journal stays its own.
StoppedRunCheck RunJournal::forgetOthers(const FolderPath &journal) {
  const FolderPath own = std::exchange(path_, journal);
  JournalReader reader;
  if (reader.readHeader(path_, header_) == JournalState::Found)
    reader.readPlan(folder_, header_, plan_, stamps_);
  reader.close();
  StoppedRunCheck check = forget();
  header_ = JournalHeader();
  path_ = own;
  return check;
}

StoppedRunCheck RunJournal::resume() {
  // Noted before any change, so that a resumed run stopped in its turn is
  // finished with its own copies removed too.
  if (const fs::FsError error = AddProcess(path_, ThisCopyMaker(), durability_);
      error != fs::FsError::None)
    return found(Finding::JournalNotNoted, error.code());
  // Registered too if it was recorded before the registry was there; said,
  // should this run stop as well, if it could not be.
  registry_ = Available(Register(folderIdentity_, path_, durability_));
  StoppedRunCheck check = found(Finding::Resuming);
  check.left = RemoveLeftCopies(header_, folder_, plan_, stamps_);
  // A copy kept on purpose, and a folder no longer in the tree, are the
  // user's to look at; another resume would tell of them again.
  leftByStopped_ = static_cast<std::size_t>(
      std::count_if(check.left.begin(), check.left.end(), [](const LeftFile &file) {
        return file.savedOver.empty() && !file.folderGone;
      }));
  resuming_ = true;
  return check;
}

SinceListed RunJournal::sinceListed(std::size_t index, const FolderPath &path) const {
  const EntryStamp listed = stamps_[index];
  if (listed.kind == fs::FileKind::Folder)
    return SinceListed::Unchanged;
  // Links and the like are left alone anyway; an entry that could not be
  // described may have been shortened.
  if (!listed.known || listed.kind != fs::FileKind::Regular)
    return StillAsStamped(path, listed) ? SinceListed::Unchanged : SinceListed::Shortened;
  EntryStamp now;
  if (const fs::FsError error = StampEntry(path, now); error != fs::FsError::None)
    return error == fs::FsError::NotFound ? SinceListed::Removed : SinceListed::Unreadable;
  if (now == listed)
    return SinceListed::Unchanged;
  // A replacement is a file made beside the entry, on its volume.
  if (now.kind != fs::FileKind::Regular || now.volume != listed.volume)
    return SinceListed::Replaced;
  return header_.mayHaveChanged(index) ? SinceListed::Shortened : SinceListed::Changed;
}

bool RunJournal::foundAsListed(std::size_t index, const fs::FileInfo &found) const {
  const EntryStamp listed = stamps_[index];
  if (!listed.known)
    return true;
  return listed.kind == found.kind && listed.volume == found.identity.volume &&
         listed.index == found.identity.index && listed.size == found.size &&
         listed.modified == found.modified;
}

FolderIdentities RunJournal::planFolders() const {
  FolderIdentities folders{{folder_, header_.folderIdentity}};
  StampList::const_iterator stamp = stamps_.begin();
  for (const FolderPath &path : plan_) {
    if (stamp->known && stamp->kind == fs::FileKind::Folder)
      folders.emplace(path, fs::FileIdentity{stamp->volume, stamp->index});
    ++stamp;
  }
  return folders;
}

JournalChange RunJournal::record(const WorkList &list, const TrimSettings &trim) {
  JournalHeader header;
  header.trim = trim;
  header.version = version_;
  header.folder = AbsolutePath(folder_);
  header.folderIdentity = folderIdentity_;
  header.named = named_;
  stamps_.clear();
  const JournalChange change =
      Changed(WriteJournal(path_, header, folder_, list, durability_, &stamps_));
  if (!change.done)
    return change;
  const RegistryUse use = Register(folderIdentity_, path_, durability_);
  if (use.state == RegistryState::Failed) {
    RemoveJournal(path_); // the run does not start
    return {false, use.systemError, true};
  }
  registry_ = Available(use);
  written_ = true;
  return change;
}

bool RunJournal::awaitsResume(const RunReport &report) const {
  const bool unfinished = report.stopped || report.outOfMemory;
  return kept() && ((unfinished && (report.handled > 0 || resuming_)) || report.copiesLeft > 0 ||
                    leftByStopped_ > 0 || report.changedNotKnownOnDisk());
}

std::error_code RunJournal::note(fs::FsError (*write)(fs::File &, std::size_t), std::size_t index) {
  if (!kept())
    return {};
  fs::FsError error = fs::FsError::None;
  if (!notes_.isOpen())
    error = journal::OpenForAppend(path_, notes_);
  if (error == fs::FsError::None)
    error = write(notes_, index);
  if (error == fs::FsError::None)
    return {};
  return error.code() ? error.code() : std::make_error_code(std::errc::io_error);
}

std::error_code RunJournal::noteChanging(std::size_t index) { return note(NoteChanging, index); }

std::error_code RunJournal::noteCopyKept(std::size_t index) { return note(NoteCopyKept, index); }

JournalChange RunJournal::finish() {
  if (!kept())
    return JournalChange();
  notes_ = fs::File(); // Windows removes no file held open
  Unregister(folderIdentity_, path_);
  return Changed(RemoveJournal(path_));
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
  for (const FolderPath &journal : JournalsOfFolderNamed(name)) {
    // Its marker first, as a finished run's: a marker never names a
    // journal that is gone.
    if (JournalHeader header; ReadJournal(journal, header) == JournalState::Found)
      Unregister(header.folderIdentity, journal);
    forgotten.push_back({journal, Changed(RemoveJournal(journal))});
  }
  return forgotten;
}

} // namespace tailsnip
