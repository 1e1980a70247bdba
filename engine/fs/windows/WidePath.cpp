#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace tailsnip {

namespace {

std::wstring Widen(const FolderPath &narrow) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &wide[0], length);
  return wide;
}

bool StartsWith(const std::wstring &text, const wchar_t *prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// `wide` made absolute and normalized by the system, at any length; empty
// when it cannot be.
std::wstring FullWidePath(const std::wstring &wide) {
  // The path may grow as it becomes absolute; the size asked for includes
  // the terminator, the size written does not.
  std::wstring full;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  while (size > full.size()) {
    full.resize(size);
    size = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  }
  full.resize(size);
  return full;
}

bool IsDriveLetter(const std::wstring &text) {
  return text.size() >= 2 && text[1] == L':' &&
         ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
}

// `wide` made absolute against the current directory, with "." and ".."
// resolved and separators made single backslashes, and nothing else: the
// system's own normalizing would read a last name such as COM1, NUL or
// con.txt as a device and drop the trailing dots and spaces of every name,
// so that a listed file "a." became "a", another file. Only the current
// directory is asked of the system. Empty when it cannot be made absolute.
std::wstring Normalized(std::wstring wide) {
  for (wchar_t &c : wide)
    if (c == L'/')
      c = L'\\';
  const auto absolute = [](const std::wstring &path) {
    return StartsWith(path, L"\\\\") ||
           (IsDriveLetter(path) && path.size() > 2 && path[2] == L'\\');
  };
  if (!absolute(wide)) {
    // Relative to the current directory, to the current folder of a drive
    // ("D:name") or to the current drive's root ("\\name").
    const bool driveRelative = IsDriveLetter(wide);
    const std::wstring base = FullWidePath(driveRelative             ? wide.substr(0, 2) + L"."
                                           : StartsWith(wide, L"\\") ? L"\\"
                                                                     : L".");
    if (!absolute(base))
      return L"";
    wide = base + L"\\" + wide.substr(driveRelative ? 2 : 0);
  }
  std::size_t rootLength = 2;      // "D:"
  if (StartsWith(wide, L"\\\\")) { // \\server\share
    const std::size_t server = wide.find(L'\\', 2);
    rootLength = server == std::wstring::npos ? wide.size() : wide.find(L'\\', server + 1);
    rootLength = std::min(rootLength, wide.size());
  }
  const std::wstring root = wide.substr(0, rootLength), rest = wide.substr(rootLength);
  std::vector<std::wstring> names;
  for (std::size_t at = 0; at < rest.size();) {
    const std::size_t end = std::min(rest.find(L'\\', at), rest.size());
    const std::wstring name = rest.substr(at, end - at);
    if (name == L"..") {
      if (!names.empty())
        names.pop_back();
    } else if (!name.empty() && name != L".") {
      names.push_back(name);
    }
    at = end + 1;
  }
  std::wstring path = root;
  for (const std::wstring &name : names)
    path += L"\\" + name;
  return names.empty() ? path + L"\\" : path;
}

} // namespace

std::wstring ToWidePath(const FolderPath &path) {
  const std::wstring wide = Widen(path);
  if (wide.empty() || StartsWith(wide, L"\\\\?\\"))
    return wide;
  if (StartsWith(wide, L"\\\\.\\"))
    return FullWidePath(wide);
  const std::wstring full = Normalized(wide);
  if (full.empty())
    return full;
  if (StartsWith(full, L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

FolderPath ToFullPath(const FolderPath &path) {
  const std::wstring wide = Widen(path);
  const std::wstring full = StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")
                                ? FullWidePath(wide)
                                : Normalized(wide);
  const int length = WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(full.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (full.empty() || length <= 0)
    return path;
  FolderPath narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(full.size()), &narrow[0], length,
                      nullptr, nullptr);
  return narrow;
}

} // namespace tailsnip
