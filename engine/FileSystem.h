// The file operations the engine needs, with failures returned as values.
//
// Implemented once per platform (posix/FileSystem.cpp, windows/FileSystem.cpp).
// No function here throws; every one that can fail returns an FsError.
#ifndef TAILSNIP_ENGINE_FILESYSTEM_H
#define TAILSNIP_ENGINE_FILESYSTEM_H

#include "engine/FolderPath.h"

#include <cstddef>
#include <cstdint>

namespace tailsnip::fs {

enum class FsError {
  None,
  NotFound,
  AccessDenied,
  InUse,  // another program holds the file open (Windows sharing)
  Exists, // CreateNew found something under the name
  NoSpace,
  CrossVolume, // MoveOver cannot rename from one volume to another
  NameTooLong,
  NotSupported, // CopyRange cannot copy between these files: read and write instead
  Other,
};

enum class FileKind { Regular, Folder, Link, Other };

// Identifies a file or folder whatever name it is reached by.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity &other) const {
    return volume == other.volume && index == other.index;
  }
};

struct FileInfo {
  FileKind kind = FileKind::Other;
  bool readOnly = false; // Windows: the attribute; POSIX: no write bit at all
  std::uint64_t size = 0;
  std::uint64_t modified = 0;    // last write, in the platform's own units
  std::uint32_t permissions = 0; // POSIX mode bits, kept by CreateNew
  std::uint32_t owner = 0;       // POSIX user and group, kept where allowed
  std::uint32_t group = 0;
};

// An open file; closed (quietly) when destroyed. Use Close to learn whether
// the close itself succeeded.
class File {
public:
#ifdef _WIN32
  using Handle = void *;
#else
  using Handle = int;
#endif
  static const Handle kNone;

  File() = default;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File();

  bool isOpen() const { return handle_ != kNone; }
  Handle handle() const { return handle_; }
  void adopt(Handle handle) { handle_ = handle; }
  Handle release() {
    Handle handle = handle_;
    handle_ = kNone;
    return handle;
  }

private:
  Handle handle_ = kNone;
};

// Opens an existing entry for reading without following a final link and
// without waiting on pipes or devices, and describes it. A folder or a link
// opens too (for its description only); never read from those.
FsError OpenForReading(const FolderPath &path, File &file, FileInfo &info);

// Describes an open file again, as OpenForReading did.
FsError Describe(File &file, FileInfo &info);

// Reads up to `capacity` bytes at the current position; `got` is 0 at the end.
FsError ReadSome(File &file, char *buffer, std::size_t capacity, std::size_t &got);

// Reads up to `capacity` bytes at `offset`, leaving the position alone.
FsError ReadAt(File &file, std::uint64_t offset, char *buffer, std::size_t capacity,
               std::size_t &got);

// Creates a file that must not exist yet (Exists otherwise) for writing,
// with the permissions and, where allowed, the owner of `like`.
FsError CreateNew(const FolderPath &path, const FileInfo &like, File &file);

// Writes all `size` bytes or fails.
FsError WriteAll(File &file, const char *data, std::size_t size);

// Copies `size` bytes of `from`, starting at `offset`, to `to` at its
// current position, inside the kernel: the bytes do not pass through this
// process, and file systems that can share blocks between files may do so.
// Fails unless all of them were copied; NotSupported, with nothing copied,
// where the platform or these files' file systems offer no such copy.
FsError CopyRange(File &from, std::uint64_t offset, File &to, std::uint64_t size);

// Returns once the file's data has reached stable storage.
FsError FlushToDisk(File &file);

// Closes the file and reports whether the close succeeded.
FsError Close(File &file);

// Puts `from` in the place of `to` in one step: at every moment `to` is
// either its old or its new file. CrossVolume when the two lie on different
// volumes; then nothing has changed.
FsError MoveOver(const FolderPath &from, const FolderPath &to);

// Deletes a file.
FsError Remove(const FolderPath &path);

// Identity of the folder at `path` (links followed).
FsError GetIdentity(const FolderPath &path, FileIdentity &identity);

// A number that differs between processes running at the same time.
std::uint32_t CurrentProcessId();

} // namespace tailsnip::fs

#endif
