// How a file operation failed: a kind the engine decides by, and the
// system's own code, which is what the user is told.
//
// Every operation that can fail returns an FsError; FsError::None is
// success. The kind is the same on every platform. The code is the errno
// value (std::generic_category) on POSIX and the Win32 error
// (std::system_category) on Windows; it is empty where the engine itself
// found the failure (a file that shrank while it was read).
#ifndef TAILSNIP_ENGINE_FS_FSERROR_H
#define TAILSNIP_ENGINE_FS_FSERROR_H

#include <string>
#include <system_error>

namespace tailsnip::fs {

class FsError {
public:
  enum Kind {
    None,
    NotFound,
    AccessDenied,
    InUse,  // another program holds the file open
    Exists, // the name is taken
    NoSpace,
    CrossVolume, // MoveOver cannot rename from one volume to another
    NameTooLong,
    Immutable,         // the file may not be changed or replaced by anyone
    OwnerNotKept,      // a copy could not be given the entry's owner or group
    AttributesNotKept, // ... nor its permissions, extended attributes or security
    NotSupported,      // the system or the file system cannot do it here: take another way
    Changed,           // a name leads to another file than the one expected
    CopyChanged,       // a copy was changed by another program as it lay in an entry's place
    Other,
  };

  FsError(Kind kind = None) : kind_(kind) {}
  FsError(Kind kind, std::error_code code) : kind_(kind), code_(code) {}

  // The failure the system reported as `code` (errno; on Windows, what
  // GetLastError returned), of the kind that code means.
  static FsError FromSystem(int code);

  Kind kind() const { return kind_; }
  const std::error_code &code() const { return code_; }

  friend bool operator==(const FsError &error, Kind kind) { return error.kind_ == kind; }
  friend bool operator!=(const FsError &error, Kind kind) { return error.kind_ != kind; }
  friend bool operator==(Kind kind, const FsError &error) { return error.kind_ == kind; }
  friend bool operator!=(Kind kind, const FsError &error) { return error.kind_ != kind; }

private:
  Kind kind_;
  std::error_code code_;
};

// The system's own text for `code`, as it words it for its users:
// "Permission denied".
std::string DescribeSystemError(const std::error_code &code);

} // namespace tailsnip::fs

#endif
