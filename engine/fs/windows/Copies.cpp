// Copies that nobody but this user can open before they have their entry's
// owner and access list: created with a private security descriptor.
#include "engine/fs/windows/Win32Errors.h"

#include "engine/fs/windows/PrivateSecurity.h"
#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <aclapi.h>

#include <string>

namespace tailsnip::fs {

// Every file has a name here.
FsError CreateUnnamed(const Folder &, const FileInfo &, File &) {
  return Fail(FsError::NotSupported, ERROR_NOT_SUPPORTED);
}

FsError NameUnnamed(File &, const Folder &, const FolderPath &) {
  return Fail(FsError::NotSupported, ERROR_NOT_SUPPORTED);
}

FsError CreateNew(const Folder &, const FolderPath &path, const FileInfo &, File &file) {
  PrivateSecurity security;
  HANDLE handle =
      CreateFileW(ToWidePath(path).c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                  0, security.get(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return LastError();
  file.adopt(handle);
  return FsError::None;
}

FsError KeepFlags(File &, File &) { return FsError::None; }

FsError KeepTimes(File &entry, File &copy) {
  FILETIME accessed, written;
  return GetFileTime(entry.handle(), nullptr, &accessed, &written) &&
                 SetFileTime(copy.handle(), nullptr, &accessed, &written)
             ? FsError::None
             : LastError();
}

namespace {

constexpr SECURITY_INFORMATION kKept =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

} // namespace

FsError CheckAttributesKept(File &entry, const KeptAttributes &kept) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(entry.handle(), SE_FILE_OBJECT, kKept, nullptr, nullptr,
                                      nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS)
    return FromWin32(error);
  const bool same = kept.descriptor == std::string(static_cast<const char *>(descriptor),
                                                   GetSecurityDescriptorLength(descriptor));
  LocalFree(descriptor);
  return same ? FsError::None : Fail(FsError::AttributesNotKept, ERROR_SUCCESS);
}

FsError KeepAttributes(File &entry, const FileInfo &, File &copy, KeptAttributes &kept) {
  FileInfo made;
  if (const FsError error = Describe(copy, made); error != FsError::None)
    return error;
  kept.copy = made.identity;
  // A new, ordinary file: hidden and system attributes are not carried over,
  // but who may do what with it is: the entry's owner and access list,
  // exactly. Its inherited entries are copied as they are, not taken anew
  // from the folder, whose own may grant more since the entry got them.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(entry.handle(), SE_FILE_OBJECT, kKept, nullptr, nullptr,
                                      nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS)
    return FromWin32(error);
  kept.descriptor.assign(static_cast<const char *>(descriptor),
                         GetSecurityDescriptorLength(descriptor));
  FsError result = FsError::None;
  if (!SetKernelObjectSecurity(copy.handle(), DACL_SECURITY_INFORMATION, descriptor))
    result = Fail(FsError::AttributesNotKept, GetLastError());
  else if (!SetKernelObjectSecurity(
               copy.handle(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, descriptor))
    result = Fail(FsError::OwnerNotKept, GetLastError());
  LocalFree(descriptor);
  return result;
}

} // namespace tailsnip::fs
