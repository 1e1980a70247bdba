// A security descriptor that lets only this process's user in, for files
// nobody else may open: under Wine too, whose Linux files would otherwise
// be made as the umask allows, readable by all.
#ifndef TAILSNIP_ENGINE_FS_WINDOWS_PRIVATESECURITY_H
#define TAILSNIP_ENGINE_FS_WINDOWS_PRIVATESECURITY_H

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace tailsnip::fs {

namespace detail {

// Its text. The user is named rather than the owner-rights SID (OW): Wine
// maps a user's allowance to the owner's Unix permission bits but OW to
// none, which would leave a copy that must be removed unremovable.
inline std::wstring PrivateDescriptorText() {
  std::wstring text = L"D:P(A;;FA;;;OW)";
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return text;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> user(size);
  wchar_t *sid = nullptr;
  if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid)) {
    text = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

} // namespace detail

// SECURITY_ATTRIBUTES for CreateFileW that give a new file to this user alone.
struct PrivateSecurity {
  PrivateSecurity() {
    static const std::wstring text = detail::PrivateDescriptorText();
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
      attributes.nLength = sizeof attributes;
      attributes.lpSecurityDescriptor = descriptor;
    }
  }
  ~PrivateSecurity() { LocalFree(descriptor); }
  PrivateSecurity(const PrivateSecurity &) = delete;
  PrivateSecurity &operator=(const PrivateSecurity &) = delete;
  SECURITY_ATTRIBUTES *get() { return descriptor ? &attributes : nullptr; }

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{};
};

} // namespace tailsnip::fs

#endif
