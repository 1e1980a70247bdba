// Backups: the original of a shortened file kept under a second name in its
// folder, named as GNU cp and mv name theirs: NAME plus a suffix ("~") for a
// simple backup, NAME.~N~ for a numbered one.
//
// A backup is a second name of the very file that was read (a hard link),
// so no byte is copied; where the file system or the user's rights allow no
// link, the file's bytes are copied, with its owner, permissions and
// attributes, and get the backup's name only once whole and flushed. It is
// made before the copy takes the entry's place, and is on
// stable storage with the batch's flush, so that no crash leaves a shortened
// file without its backup. A backup never takes the name of anything but a
// backup: numbered ones take a free number, and a simple one replaces only a
// regular file under its name, never a folder or a link. Files named as
// backups are recognised here alone, so that runs leave them as they are.
#ifndef TAILSNIP_ENGINE_TRIM_BACKUP_H
#define TAILSNIP_ENGINE_TRIM_BACKUP_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"

#include <string>
#include <string_view>
#include <unordered_map>

namespace tailsnip {

class TrimBuffer;

enum class BackupControl {
  None,     // no backups
  Simple,   // always NAME + suffix
  Numbered, // always NAME.~N~, N one above the highest there
  Existing, // numbered where numbered backups of the file exist, else simple
};

struct BackupSettings {
  BackupControl control = BackupControl::None;
  std::string suffix = "~"; // of simple backups; never empty, never holds a separator
  bool operator==(const BackupSettings &other) const {
    // Only simple backups take the suffix.
    return control == other.control &&
           (control == BackupControl::None || control == BackupControl::Numbered ||
            suffix == other.suffix);
  }
  bool operator!=(const BackupSettings &other) const { return !(*this == other); }
};

// Whether the file at `path` is named as a backup under the scheme
// `settings` names backups by: NAME + suffix for simple ones, NAME.~N~ for
// numbered ones, either for existing; none without backups.
bool IsBackupName(std::string_view path, const BackupSettings &settings);

// The highest N of the numbered backups NAME.~N~ of each file of a folder,
// listed once for a run of entries from that folder rather than once for
// every entry; a folder left and entered again is listed again.
class BackupNumbers {
public:
  // The highest number of `name`'s numbered backups in `folder`, held open
  // and reached at `within`, as its digits in `highest`; empty for none.
  // Fails where the folder cannot be listed: the next number is not known.
  fs::FsError highest(const fs::Folder &folder, const FolderPath &within, const std::string &name,
                      std::string &highest);
  void noteMade(const std::string &name, const std::string &number) { highest_[name] = number; }

private:
  FolderPath folder_;
  bool listed_ = false;
  std::unordered_map<std::string, std::string> highest_;
};

// What making a backup of the entry at `path` in `folder` (described by
// `info`) would meet, for a run that makes none (a dry run): Exists where a
// simple backup's name is taken by anything but a regular file of the
// entry's owner, a folder, a link or another user's file say.
fs::FsError CheckBackupName(const fs::Folder &folder, const FolderPath &path,
                            const fs::FileInfo &info, const BackupSettings &settings,
                            BackupNumbers &numbers);

// Fails `result` for the `error` a backup's making (Backup::make) or its
// check (CheckBackupName) met: the entry is kept, and the reason said.
TrimResult FailBackup(TrimResult &result, const fs::FsError &error);

// The backup of one entry, from its making until the entry was replaced
// (keep) or kept (undo).
class Backup {
public:
  // Makes the backup of the entry at `path` in `folder`, open as `entry`
  // and described by `info`, the `listed`th of its run's list, as
  // `settings` ask. `buffer` serves a copy where no link can be made.
  // Exists where no name could be taken.
  fs::FsError make(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                   const fs::FileInfo &info, std::size_t listed, const BackupSettings &settings,
                   BackupNumbers &numbers, TrimBuffer &buffer);

  bool made() const { return !path_.empty(); }

  // Whether keep() removes a name of a file that has others: an earlier
  // simple backup set aside, linked elsewhere. Its status changes then.
  bool removesANameOfAnother() const { return !replaced_.empty() && replacedHasOtherNames_; }

  // Makes the backup's name durable, unless a flush of its whole volume
  // since its making has done so.
  fs::FsError flush(const fs::Folder &folder, bool volumeFlushed);

  // The entry was replaced: the backup stays, and an earlier simple backup
  // it took the place of is removed; the system's refusal if it could not be.
  fs::FsError keep(const fs::Folder &folder);

  // The entry was kept as it was: the backup this run made is removed, and
  // an earlier simple backup it took the place of is put back; the system's
  // refusal if it could not be, which leaves it aside.
  fs::FsError undo(const fs::Folder &folder);

private:
  bool adoptExisting(const fs::Folder &folder, const FolderPath &name, const fs::FileInfo &info);
  fs::FsError place(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                    const fs::FileInfo &info, const FolderPath &name, TrimBuffer &buffer);
  fs::FsError copyTo(const fs::Folder &folder, fs::File &entry, const fs::FileInfo &info,
                     const FolderPath &name, TrimBuffer &buffer);
  fs::FsError replaceSimple(const fs::Folder &folder, const FolderPath &path, fs::File &entry,
                            const fs::FileInfo &info, const FolderPath &name, TrimBuffer &buffer);

  FolderPath path_;           // the backup, once made
  fs::FileIdentity identity_; // what it names: the entry, or its copy
  FolderPath replaced_;       // an earlier simple backup, moved aside until the entry is replaced
  bool replacedHasOtherNames_ = false; // that backup has a name elsewhere too
  bool adopted_ = false;               // made before this run: kept whatever becomes of the entry
  std::size_t listed_ = 0;             // the entry's place in its run's list, which names a copy
};

} // namespace tailsnip

#endif
