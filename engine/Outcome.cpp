#include "engine/Outcome.h"

namespace tailsnip {

const char *DescribeReason(Reason reason) {
  switch (reason) {
  case Reason::None:
    return "done";
  case Reason::NoLines:
    return "no lines";
  case Reason::IsFolder:
    return "a folder";
  case Reason::IsLink:
    return "a link";
  case Reason::NotRegularFile:
    return "not a regular file";
  case Reason::ReadOnly:
    return "read-only";
  case Reason::InUse:
    return "in use";
  case Reason::ChangedWhileShortened:
    return "changed while it was being shortened";
  case Reason::CannotRead:
    return "could not be read";
  case Reason::CannotWriteCopy:
    return "temporary copy could not be written";
  case Reason::CannotReplace:
    return "could not be replaced";
  case Reason::NameNotRepresentable:
    return "name not representable in the system code page";
  case Reason::PathTooLong:
    return "path too long";
  case Reason::CannotSearchFolder:
    return "folder could not be searched";
  case Reason::OutOfMemory:
    return "out of memory";
  }
  return "unknown";
}

} // namespace tailsnip
