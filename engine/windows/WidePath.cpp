#include "engine/windows/WidePath.h"

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

} // namespace

std::wstring ToWidePath(const FolderPath &path) {
  const std::wstring wide = Widen(path);
  if (wide.empty() || StartsWith(wide, L"\\\\?\\"))
    return wide;
  // The path may grow as it becomes absolute; the size asked for includes
  // the terminator, the size written does not.
  std::wstring full;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  while (size > full.size()) {
    full.resize(size);
    size = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  }
  if (size == 0)
    return {};
  full.resize(size);
  if (StartsWith(full, L"\\\\.\\"))
    return full;
  if (StartsWith(full, L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

} // namespace tailsnip
