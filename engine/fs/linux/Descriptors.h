// What the Linux halves of the file operations share: errors from errno,
// names within held folders, descriptions from stat, and who this process is.
#ifndef TAILSNIP_ENGINE_FS_LINUX_DESCRIPTORS_H
#define TAILSNIP_ENGINE_FS_LINUX_DESCRIPTORS_H

#include "engine/fs/FileSystem.h"

#include <sys/stat.h>

namespace tailsnip::fs {

// The failure the call that just failed reported in errno.
FsError LastError();

// A failure of `kind` whatever errno `code` would otherwise mean.
FsError Fail(FsError::Kind kind, int code);

// The entry's name in its folder: what follows the last separator.
const char *NameOf(const FolderPath &path);

FileIdentity IdentityOf(const struct stat &status);

// The last write `status` tells of, as FileInfo has it.
std::uint64_t ModifiedOf(const struct stat &status);

// Describes what `status` says of a file.
void Fill(const struct statx &status, FileInfo &info);

// Whether this process runs as the superuser, as ReadProcessIdentity last found.
bool IsSuperuser();

// This process's folder of open files in /proc; -1 where it could not be
// opened. Opened once, not looked up through /proc/self for every file.
int OpenFilesFolder();

// Opens it again, as a forked process must to reach its own files.
void OpenFilesFolderAgain();

// Opens the file `held` (opened with O_PATH) stands for, not whatever its
// name leads to by now. -1 with errno ENOENT where /proc is not mounted.
int Reopen(const File &held, int flags);

// The extended attributes of `fd` this user can read, by name; none where
// the file system keeps none.
FsError ReadExtendedAttributes(int fd, ExtendedAttributes &all);

} // namespace tailsnip::fs

#endif
