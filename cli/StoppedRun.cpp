#include "cli/StoppedRun.h"

#include "cli/Names.h"

#include <cstdio>

namespace tailsnip::cli {

namespace {

// What the system said of a failed file operation, as every other failure
// is reported.
std::string SystemText(const fs::FsError &error) { return fs::DescribeSystemError(error.code()); }

void Say(const std::string &message) {
  std::fprintf(stderr, "tailsnip-cli: %s\n", message.c_str());
}

Verdict Fail(const std::string &message) {
  Say(message);
  return Verdict::Failed;
}

Verdict Refuse(const std::string &message) {
  Say(message);
  return Verdict::Refused;
}

std::string Quoted(const FolderPath &path) { return "'" + QuoteName(path) + "'"; }

// A journal folder the user cannot open (made by root through sudo, say)
// could hold a stopped run's journal that no run of the user would see. One
// that does not exist holds none; it is made when a journal is written.
fs::FsError CheckUsable(const FolderPath &journals) {
  fs::Folder folder;
  const fs::FsError error = fs::OpenFolder(journals, folder);
  return error == fs::FsError::NotFound ? fs::FsError::None : error;
}

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

bool IsWithin(const FolderPath &inner, const FolderPath &outer) {
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         (inner[outer.size()] == kPathSeparator || outer.back() == kPathSeparator);
}

// A stopped run over a folder around this one, or within it, would lose a
// second line from the files they share if this run went on.
Verdict RefuseOverlap(const FolderPath &folder, const FolderPath &journals) {
  const FolderPath here = AbsolutePath(folder);
  std::vector<FolderPath> found;
  // Unread journals could hide a stopped run: better no run than a second line lost.
  if (ListJournals(journals, found) != fs::FsError::None)
    return Fail("cannot look for stopped runs through the journal folder " + Quoted(journals));
  for (const FolderPath &path : found) {
    JournalHeader header;
    if (ReadJournal(path, header) != JournalState::Found)
      continue;
    const bool around = IsWithin(here, header.folder);
    if (around || IsWithin(header.folder, here))
      return Refuse("a stopped run over " + Quoted(header.folder) +
                    (around ? ", which holds " : ", within ") + Quoted(folder) +
                    ", is not finished: tailsnip-cli --resume " + ShellWord(header.folder) +
                    " finishes it, --restart over it forgets it");
  }
  return Verdict::Go;
}

// The options that ask for `trim`.
std::string OptionsFor(const TrimSettings &trim) {
  return "--lines=" + std::to_string(trim.lines) + (trim.keepLineEnds ? " --keep-line-ends" : "");
}

} // namespace

Verdict RunJournal::open(const FolderPath &folder, JournalUse use, const TrimSettings *asked) {
  folder_ = folder;
  const std::string shown = Quoted(folder);
  if (const fs::FsError error = fs::GetIdentity(folder, folderIdentity_);
      error != fs::FsError::None)
    return Fail("cannot identify " + shown + ": " + SystemText(error));
  const FolderPath journals = DefaultJournalFolder();
  if (journals.empty())
    return Fail("no place for the run's journal: neither XDG_STATE_HOME nor HOME is set");
  if (const fs::FsError error = CheckUsable(journals); error != fs::FsError::None)
    return Fail("cannot use the journal folder " + Quoted(journals) + ": " + SystemText(error));
  path_ = JournalPath(journals, folderIdentity_);
  const std::string journal = Quoted(path_);
  switch (ReadJournal(path_, header_)) {
  case JournalState::Missing:
    if (use == JournalUse::Resume)
      return Refuse("there is no stopped run over " + shown + " to resume");
    return RefuseOverlap(folder, journals);
  case JournalState::Unreadable:
  case JournalState::Malformed:
    if (use != JournalUse::Restart)
      return Refuse("the journal " + journal + " of a run over " + shown +
                    " cannot be read: --restart forgets that run");
    if (const fs::FsError error = RemoveJournal(path_); error != fs::FsError::None)
      return Fail("cannot remove the journal " + journal + ": " + SystemText(error));
    return Verdict::Go;
  case JournalState::OtherFormat:
    header_.version.clear(); // unknown: no version of this format wrote it
    break;
  case JournalState::Found:
    break;
  }
  const bool ours = header_.version == TAILSNIP_VERSION;
  if (!ours && use != JournalUse::Restart)
    return Refuse("the run over " + shown + " was recorded by " +
                  (header_.version.empty() ? "another version of tailsnip-cli"
                                           : "tailsnip-cli " + header_.version) +
                  ", not by this one (" + TAILSNIP_VERSION +
                  "): finish it with that version, or --restart starts a new run");
  if (ours && ReadJournal(path_, header_, folder, &plan_, &stamps_) != JournalState::Found)
    return Refuse("the journal " + journal + " cannot be read: --restart forgets that run");
  switch (use) {
  case JournalUse::Plain: {
    const std::string then = header_.folder == AbsolutePath(folder)
                                 ? ""
                                 : " (then named " + Quoted(header_.folder) + ")";
    return Refuse("a run over " + shown + then + " stopped after " +
                  std::to_string(StoppedAfter(plan_, stamps_)) + " of " +
                  std::to_string(plan_.size()) +
                  " entries: --resume finishes it, --restart starts a new run");
  }
  case JournalUse::Restart:
    RemoveLeftCopies(header_, folder, plan_, stamps_);
    plan_.clear();
    stamps_.clear();
    if (const fs::FsError error = RemoveJournal(path_); error != fs::FsError::None)
      return Fail("cannot remove the journal " + journal + ": " + SystemText(error));
    return Verdict::Go;
  case JournalUse::Resume:
    break;
  }
  // Another count would remove lines the stopped run did not from half the
  // files; other line ends would make the tree a mixture.
  if (asked && *asked != header_.trim)
    return Refuse("the run over " + shown + " was started with " + OptionsFor(header_.trim) +
                  ", not " + OptionsFor(*asked) + ": --resume alone finishes it as it began");
  // Recorded before any change, so that a resumed run stopped in its turn
  // is finished with its own copies removed too.
  if (const fs::FsError error = AddProcess(path_, fs::CurrentProcessId());
      error != fs::FsError::None)
    return Fail("cannot write to the journal " + journal + ": " + SystemText(error));
  RemoveLeftCopies(header_, folder, plan_, stamps_);
  resuming_ = true;
  return Verdict::Go;
}

bool RunJournal::isDone(std::size_t index, const FolderPath &path) const {
  const EntryStamp &listed = stamps_[index];
  return listed.kind != fs::FileKind::Folder && !StillAsListed(path, listed);
}

FolderIdentities RunJournal::planFolders(const FolderPath &folder) const {
  FolderIdentities folders{{folder, header_.folderIdentity}};
  for (std::size_t i = 0; i < plan_.size(); ++i)
    if (stamps_[i].known && stamps_[i].kind == fs::FileKind::Folder)
      folders.emplace(plan_[i], fs::FileIdentity{stamps_[i].volume, stamps_[i].index});
  return folders;
}

bool RunJournal::record(const WorkList &list, const TrimSettings &trim) {
  JournalHeader header;
  header.trim = trim;
  header.version = TAILSNIP_VERSION;
  header.folder = AbsolutePath(folder_);
  header.folderIdentity = folderIdentity_;
  const fs::FsError error = WriteJournal(path_, header, folder_, list);
  written_ = error == fs::FsError::None;
  if (!written_)
    Say("cannot write the run's journal " + Quoted(path_) + ": " + SystemText(error) +
        "; nothing was changed");
  return written_;
}

void RunJournal::finish() {
  if (const fs::FsError error = RemoveJournal(path_); error != fs::FsError::None)
    Say("cannot remove the finished run's journal " + Quoted(path_) + ": " + SystemText(error) +
        "; remove it, or the next run will ask for --restart");
}

void ExplainVanishedFolder(const std::string &folder) {
  FolderPath wanted = folder;
  while (wanted.size() > 1 && wanted.back() == kPathSeparator)
    wanted.pop_back();
  wanted = AbsolutePath(wanted);
  std::vector<FolderPath> journals;
  ListJournals(DefaultJournalFolder(), journals);
  for (const FolderPath &path : journals) {
    JournalHeader header;
    if (ReadJournal(path, header) == JournalState::Found && header.folder == wanted)
      Say("the stopped run over " + Quoted(folder) +
          " cannot be resumed by that name: the folder is gone. Resume it by its new name, "
          "if it was moved; otherwise remove its journal " +
          Quoted(path));
  }
}

} // namespace tailsnip::cli
