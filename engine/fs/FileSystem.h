// The file operations the engine needs, with failures returned as values.
//
// Implemented once per platform, in linux/ and in windows/ (FileSystem.cpp and
// the files beside it).
// No function here throws; every one that can fail returns an FsError, which
// carries the system's own code for the failure (FsError.h).
//
// Entries are reached through a folder the run holds open (`folder`) and the
// entry's `path`, whose last component is its name in that folder. POSIX
// opens, creates and renames relative to the folder's descriptor, so a folder
// swapped for a link meanwhile leads nowhere; Windows uses the path, and the
// run holds every folder on it open without sharing deletion, so that none
// of them can be renamed or replaced while it works.
#ifndef TAILSNIP_ENGINE_FILESYSTEM_H
#define TAILSNIP_ENGINE_FILESYSTEM_H

#include "engine/FolderPath.h"
#include "engine/fs/FsError.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tailsnip::fs {

enum class FileKind { Regular, Folder, Link, Other };

// Identifies a file or folder whatever name it is reached by.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity &other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

struct FileInfo {
  FileKind kind = FileKind::Other;
  bool readOnly = false; // Windows: the attribute; POSIX: no write bit at all
  std::uint64_t size = 0;
  std::uint64_t modified = 0; // last write, in the platform's own units
  // POSIX: the last change of content, owner, permissions, attributes or
  // names, in nanoseconds; 0 on Windows.
  std::uint64_t statusChanged = 0;
  std::uint32_t permissions = 0; // POSIX mode bits
  std::uint32_t owner = 0;       // POSIX user and group
  std::uint32_t group = 0;
  FileIdentity identity;
  std::uint32_t names = 1; // hard links to the same file
  std::uint64_t mount = 0; // Linux: the mount it was reached through; 0 unknown
  // Linux, a folder described open: on an overlay, or unknown. An overlay
  // copies a file of its lower layer up whole, holes filled, the moment it
  // is opened for writing.
  bool onOverlay = false;
  // Stored in less space than its size: it may have holes (FindData).
  // Windows does not look for them.
  bool mayHaveHoles = false;
  // Linux: immutable or append-only. Nobody may replace the file, nor rename
  // or remove an entry of the folder.
  bool immutable = false;
};

// An open file or folder; closed (quietly) when destroyed. Use Close to
// learn whether the close itself succeeded.
class File {
public:
#ifdef _WIN32
  using Handle = void *;
#else
  using Handle = int;
#endif
  static const Handle kNone;

  File() = default;
  File(File &&other) noexcept
      : handle_(other.release()), exclusive_(other.exclusive_), writable_(other.writable_) {}
  File &operator=(File &&other) noexcept;
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
  // Whether ClaimForReplacement made sure no other program writes the file.
  bool exclusive() const { return exclusive_; }
  void setExclusive(bool exclusive) { exclusive_ = exclusive; }
  // Linux: whether OpenEntry opened it for writing too, as a cut needs.
  bool writable() const { return writable_; }
  void setWritable(bool writable) { writable_ = writable; }

private:
  Handle handle_ = kNone;
  bool exclusive_ = false;
  bool writable_ = false;
};

// A folder held open, with what it was when opened: where copies are made.
struct Folder {
  File handle;
  FileInfo info;
  // Whether its entries may be replaced (CheckFolderChangeable), asked once
  // by whoever replaces them; None until asked.
  FsError changeable;
};

// Opens the folder at `path` (links in the path followed: it is the one the
// user named) to reach entries through, and describes it.
FsError OpenFolder(const FolderPath &path, Folder &folder);

// Opens the folder `path` lies in, by its path; for callers outside a run.
FsError OpenParentFolder(const FolderPath &path, Folder &folder);

// Opens the current directory, where copies go first.
FsError OpenCurrentFolder(Folder &folder);

// What an entry is opened for: Cutting where it may be cut in place later
// (CheckOpenedForCutting).
enum class OpenFor { Reading, Cutting };

// Opens an existing entry of `folder` without following a link, and
// describes it. Only a regular file or a folder is opened: a device's driver
// acts on its opening (a watchdog starts, a tape rewinds), so any other
// entry, a link included, is described with `file` left closed. A regular
// file is opened for reading; for Cutting, on Linux, for writing too where a
// cut may follow (one name, no set-ID bits, on its folder's own mount, not
// an overlay) and the system allows it. An entry that cannot be opened is
// still described where that is possible (`info.kind`), with the error
// returned. On Linux the entry is held by what it is from its description
// on, so a pipe or device swapped into its place meanwhile is not opened;
// only where /proc is not mounted is it opened by its name again.
FsError OpenEntry(const Folder &folder, const FolderPath &path, File &file, FileInfo &info,
                  OpenFor purpose = OpenFor::Reading);

// Describes an entry of `folder` as OpenEntry does, without opening it.
FsError DescribeEntry(const Folder &folder, const FolderPath &path, FileInfo &info);

// Describes an open file again, as OpenEntry did.
FsError Describe(File &file, FileInfo &info);

// Describes the entry at `path` as OpenEntry does, a final link itself
// rather than what it leads to; by name, for callers outside a run.
FsError DescribeByName(const FolderPath &path, FileInfo &info);

// Makes sure the entry open as `file` may be replaced by this user: that it
// is not immutable or append-only (Immutable), that the user may write it,
// and that no other program has it open for writing. Where the platform can, it also
// keeps other programs from opening it for writing until `file` is closed (a
// Linux lease, a Windows share mode), and marks `file` exclusive. `file` may
// be reopened. A Linux lease is given up the moment another program opens
// the file, so that it never waits for a copy; for that the engine takes the
// highest real-time signal the program left at its default.
FsError ClaimForReplacement(File &file, const FileInfo &info);

// Whether a copy of the entry described by `info` can carry its owner and
// group (OwnerNotKept where not): on Linux only the superuser may give a
// file away, and a user may give it only to a group of their own. A cut in
// place keeps them, and needs no such right.
FsError CheckOwnerCanBeKept(const FileInfo &info);

// Whether a copy of the open entry `file` in `folder` can carry its
// extended attributes and project (AttributesNotKept where not): on Linux
// those of the security namespace, but a security module's label, are the
// privileged user's to set, and a folder that passes its project on to its
// files takes no file of another. A dry run asks; a run learns it from the
// copy.
FsError CheckAttributesCanBeKept(const Folder &folder, File &file);

// Whether `file`, an entry with one name, may be cut in place by CutTo once
// ClaimForReplacement has claimed it: on Linux, OpenEntry must have opened
// it for writing for Cutting, as no opening of its own may follow the lease
// the claim takes; on Windows the claim's own handle may write.
// NotSupported where a cut would change more than the file's length, as it
// would drop Linux's set-user-ID and set-group-ID bits and file
// capabilities; then, or on any other failure, the file is copied instead.
FsError CheckOpenedForCutting(File &file, const FileInfo &info);

// What CheckOpenedForCutting would find of `file`, opened for reading alone
// as a dry run opens it: NotSupported also where its volume takes no
// writing, as the opening for writing would then have failed. On Windows
// the claim's handle tells, as it does for CheckOpenedForCutting.
FsError CheckCuttable(File &file, const FileInfo &info);

// Shortens the file open as `file` (checked by CheckOpenedForCutting, and
// claimed) to its first `size` bytes, in one step: its owner, access,
// attributes and identity stay as they are.
FsError CutTo(File &file, std::uint64_t size);

// While it lives, the claimed `file` is about to be checked a last time and
// cut: a program that opens it meanwhile waits for the cut, its lease's
// break let go only at the window's end, and finds the file whole or cut,
// never being cut. One window at a time in a process. On Windows the
// claim's share mode keeps writers out anyway.
class CutWindow {
public:
  explicit CutWindow(const File &file);
  ~CutWindow();
  CutWindow(const CutWindow &) = delete;
  CutWindow &operator=(const CutWindow &) = delete;

private:
  const File &file_;
};

// Immutable when nobody may change or replace the file (the POSIX immutable
// and append-only flags); such a file also refuses being renamed over, so
// this is asked only to tell why a replacement failed.
FsError CheckChangeable(File &file);

// Whether an exclusive `file` is still unopened by any other program.
bool StillExclusive(const File &file);

// Lets go of `file` just before it is replaced, where the platform replaces
// no open file (Windows). Elsewhere it stays open, and its lease with it.
void ReleaseForReplacement(File &file);

// Whether this user may replace entries of `folder`: create a copy there,
// rename it over an entry and remove what is left. Immutable where the
// folder is immutable or append-only (a copy could be created there but
// never renamed or removed); otherwise the system's refusal, such as a
// read-only mount or no permission. Windows tells only of a read-only
// volume: whether its access list lets this user change entries shows when
// one is changed.
FsError CheckFolderChangeable(const Folder &folder);

// Reads up to `capacity` bytes at the current position; `got` is 0 at the end.
FsError ReadSome(File &file, char *buffer, std::size_t capacity, std::size_t &got);

// Reads up to `capacity` bytes at `offset`, leaving the position alone.
FsError ReadAt(File &file, std::uint64_t offset, char *buffer, std::size_t capacity,
               std::size_t &got);

// Creates, in `folder`, a file for writing that has no name yet: nobody can
// open it until NameUnnamed gives it one, and nothing is left of it if the
// process ends first. NotSupported where the system or the file system has
// no such files; then use CreateNew.
FsError CreateUnnamed(const Folder &folder, const FileInfo &like, File &file);

// Gives a file from CreateUnnamed the name `path` in `folder`, on the same
// file system; Exists when the name is taken.
FsError NameUnnamed(File &file, const Folder &folder, const FolderPath &path);

// Creates, in `folder`, a file that must not exist yet (Exists otherwise)
// for writing, which nobody but this user may open until KeepAttributes
// gives it the access of `like`, the file it copies. Where the file system
// gives it more than that regardless (one that ignores the modes it is
// given), it is removed again: AttributesNotKept.
FsError CreateNew(const Folder &folder, const FolderPath &path, const FileInfo &like, File &file);

// Gives the still empty `copy` the flags of `entry` its owner may set (no
// dump, no access times, synchronous writes, no copy-on-write...) and its
// project: before any byte, as btrfs takes no copy-on-write only on an empty
// file. Nothing on Windows, whose copy is an ordinary file.
FsError KeepFlags(File &entry, File &copy);

// Gives `copy` the times of last access and last change of content that
// `entry` has, as a second name of it would show: after the copy's last
// write, which sets them anew.
FsError KeepTimes(File &entry, File &copy);

// Extended attributes (Linux), names and values.
using ExtendedAttributes = std::vector<std::pair<std::string, std::string>>;

// A copy that KeepAttributes has given its entry's attributes.
struct KeptAttributes {
  FileIdentity copy;
  // Linux: the entry's extended attributes the copy was given, names and
  // values. A change of them by name opens nothing, and its status change
  // is hidden by the one the copy's move makes. Empty on Windows.
  ExtendedAttributes extended;
  // Windows: the entry's security descriptor the copy was given, whose
  // change no time of the file tells. Empty on Linux.
  std::string descriptor;
  // Linux: the copy's size and last write once written, as FileInfo has
  // them.
  std::uint64_t size = 0;
  std::uint64_t modified = 0;
};

// Gives `copy` what `entry` (described by `like`) has besides its content,
// and nothing else: owner and group, permissions and extended attributes
// (ACLs and labels included; none it inherited from its folder) on POSIX,
// the security descriptor on Windows. What the copy has already is left
// alone. Fails when any of it cannot be kept; otherwise `kept` tells what
// the copy now is.
FsError KeepAttributes(File &entry, const FileInfo &like, File &copy, KeptAttributes &kept);

// Whether `entry` still has what KeepAttributes gave its copy (`kept`):
// AttributesNotKept where it was changed since, which the copy would undo.
// Windows asks the security descriptor again; Linux asks nothing, as the
// entry's status change time tells, and MoveOverSame then checks again.
FsError CheckAttributesKept(File &entry, const KeptAttributes &kept);

// Writes all `size` bytes or fails.
FsError WriteAll(File &file, const char *data, std::size_t size);

// Copies `size` bytes of `from`, starting at `offset`, to `to` at its
// current position, inside the kernel: the bytes do not pass through this
// process, and file systems that can share blocks between files may do so.
// Fails unless all of them were copied: Changed where `from` ends before
// them, cut shorter meanwhile; NotSupported, with nothing copied, where the
// platform or these files' file systems offer no such copy.
FsError CopyRange(File &from, std::uint64_t offset, File &to, std::uint64_t size);

// The bytes of a file from `start` up to `end` that its file system stores;
// between such ranges lie holes, which read as zeros and take no space.
struct DataRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// Finds the first stored bytes of `file` from `offset` on, up to `limit`:
// `range.start` is `limit` when a hole (or the file's end) fills all of it.
// Where the file system tells of no holes, it is all data. It may move the
// file's position, which ReadAt and CopyRange do not use.
FsError FindData(File &file, std::uint64_t offset, std::uint64_t limit, DataRange &range);

// Moves `file`'s position `size` bytes on without writing: the bytes passed
// over read as zeros, and take no space where the file system has holes,
// once something is written after them.
FsError LeaveHole(File &file, std::uint64_t size);

// Returns once the file's data has reached stable storage.
FsError FlushToDisk(File &file);

// Returns once everything written to the volume `file` lies on has reached
// stable storage: one wait for many files. Fails where the system has no
// such flush (a FUSE file system's does not reach its program's storage),
// or when any of it could not be written; then flush each file.
FsError FlushVolume(File &file);

// Whether the system has FlushVolume's one flush for a whole volume (Linux);
// where it has none (Windows), each file is flushed on its own.
bool CanFlushVolumes();

// Whether `folder` lies on a file system of the kernel's own (/proc, /sys,
// EFI variables, ...): its files are the system's settings and devices,
// whose writing or cutting acts on the machine rather than on text. False
// where that cannot be learnt, and on Windows, which has none.
bool IsSystemVolume(const Folder &folder);

// Closes the file and reports whether the close succeeded.
FsError Close(File &file);

// Puts `from` (in `fromFolder`) in the place of `to` (in `toFolder`) in one
// step: at every moment `to` is either its old or its new file. CrossVolume
// when the two lie on different volumes; then nothing has changed.
FsError MoveOver(const File &fromFolder, const FolderPath &from, const File &toFolder,
                 const FolderPath &to);

// MoveOver, provided `to` still leads to the file open as `expected`, last
// described as `described`: Changed when it leads to another, NotFound when
// to none, InUse when another program opened an exclusive `expected` as it
// was moved over, AttributesNotKept when its permissions, owner, group or
// extended attributes were changed as it was, no longer those `copy` was
// given (Linux), and then `to` is as it was. CopyChanged where, besides,
// the copy was written to or its access changed as it lay in `to`'s place
// (Linux): what was done to it is another program's, and it stays under
// `from`.
// `removeFrom` tells whether `from` still names a file for the caller to
// remove: its copy (`copy`) after a failure, the replaced file after an
// exchange. Linux exchanges the two names and checks the file that came
// out; where the file system cannot exchange, it checks the name just
// before a plain rename. On Windows the caller held `expected` open
// without sharing its deletion until just before, so that nothing could
// be renamed over it.
FsError MoveOverSame(const File &fromFolder, const FolderPath &from, const File &toFolder,
                     const FolderPath &to, const File &expected, const FileInfo &described,
                     const KeptAttributes &copy, bool &removeFrom);

// Gives the file open as `file`, the entry at `path` in `folder`, the
// further name `name` in the same folder (a hard link), exclusively: Exists
// when the name is taken, NotFound when the file has no name left,
// NotSupported where the file system or the user's rights allow no link.
// Linux links the open file itself; without /proc and the capability to, it
// links `path` and then checks that `name` leads to `file` (Changed, and no
// name left, otherwise). On Windows `file` is held open without sharing its
// deletion, so `path` still leads to it.
FsError LinkFile(const File &folder, const FolderPath &path, const File &file,
                 const FolderPath &name);

// Renames `from` to `to`, both in `folder`, provided `from` is a regular
// file and `to` is free: Changed, with nothing moved, where `from` is a
// folder, a link or anything else; Exists where `to` is taken.
FsError MoveAsideFile(const File &folder, const FolderPath &from, const FolderPath &to);

// Returns once the names in `folder` (links and renames within it) have
// reached stable storage.
FsError FlushFolder(const File &folder);

// Deletes a file of `folder`.
FsError Remove(const File &folder, const FolderPath &path);

// Identity of the folder at `path` (links followed). Where `inMemory` is
// given, it tells whether the folder's file system keeps nothing across a
// restart (tmpfs, ramfs): a power cut would take its files with it.
FsError GetIdentity(const FolderPath &path, FileIdentity &identity, bool *inMemory = nullptr);

// How many files this process may have open at once; the largest size_t
// where the system sets no such limit.
std::size_t OpenFilesAllowed();

// A number that differs between processes running at the same time.
std::uint32_t CurrentProcessId();

// The user this process acts as, as FileInfo::owner tells owners; 0 on
// Windows, where FileInfo tells none.
std::uint32_t CurrentUser();

// Reads who this process is (its number, and on POSIX its user and groups)
// once for the run about to start, rather than once for every file. A run
// calls it first: a process may have forked or changed its user since the
// last one.
void ReadProcessIdentity();

} // namespace tailsnip::fs

#endif
