#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <cwchar>

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

} // namespace

std::wstring ToWidePath(const FolderPath &path) {
  const std::wstring wide = Widen(path);
  if (wide.empty() || StartsWith(wide, L"\\\\?\\"))
    return wide;
  const std::wstring full = FullWidePath(wide);
  if (full.empty() || StartsWith(full, L"\\\\.\\"))
    return full;
  if (StartsWith(full, L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

FolderPath ToFullPath(const FolderPath &path) {
  const std::wstring full = FullWidePath(Widen(path));
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
