// The folders that hold a run's folder, found by what each folder's parent
// is rather than by the names in its path: runs and stopped runs over them
// concern this run whatever names they were started under.
//
// A folder reached through a bind mount lies, in its file system, beneath
// folders its path does not name; on Linux those are found through another
// mount of the same file system where this process can see one.
#ifndef TAILSNIP_ENGINE_RUN_FOLDERSABOVE_H
#define TAILSNIP_ENGINE_RUN_FOLDERSABOVE_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"

#include <vector>

namespace tailsnip {

struct HeldFolder {
  FolderPath path; // a name it can be reached by, for messages
  fs::File handle; // open for reading where the user may (POSIX); else not open
  fs::FileIdentity identity;
};

// `folder` itself, then every folder above it, nearest first, each once,
// up to the root of the system's tree (or the drive's). A folder that
// cannot be reached is left out, and on POSIX what lies above it too.
std::vector<HeldFolder> FolderAndAbove(const FolderPath &folder);

} // namespace tailsnip

#endif
