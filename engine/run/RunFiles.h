// The files runs keep beside the user's: the copies written beside entries,
// the journals of runs and the registry's markers. A run never shortens
// one, wherever it meets it and whoever's run made it: a journal shortened
// could no longer be resumed, a marker no longer keeps other users' runs
// out, and a copy is no file of the user's. They are known by name, which
// errs on the side of keeping: a copy by its shape (CopyName.h), a journal
// or a marker by its name in a folder named as journal folders and the
// registry are. A user's file named so is kept too, and said to be.
#ifndef TAILSNIP_ENGINE_RUN_RUNFILES_H
#define TAILSNIP_ENGINE_RUN_RUNFILES_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"

#include <string>
#include <string_view>

namespace tailsnip {

// The last part of the folders journals and markers are kept in.
#ifdef _WIN32
inline constexpr char kJournalFolderName[] = "Tailsnip";
#else
inline constexpr char kJournalFolderName[] = "tailsnip";
#endif

// The name of the journal of a run over the folder with `identity`:
// "DEVICE-INODE.journal".
std::string JournalName(const fs::FileIdentity &identity);

// The name a journal is written under before it takes its own. One run at a
// time holds the folder, so a draft found there is left by a process that
// died while writing it, and is no one's.
std::string JournalDraftName(const std::string &journalName);

// Whether `name` is one JournalName gives.
bool IsJournalName(std::string_view name);

// Whether the entry at `path` is a run's copy, journal or marker, or named
// as one.
bool IsRunsOwnFile(std::string_view path);

} // namespace tailsnip

#endif
