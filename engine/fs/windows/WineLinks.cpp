#include "engine/fs/windows/WineLinks.h"

#include "engine/fs/windows/WidePath.h"

#include <string>

namespace tailsnip::fs {

namespace {

bool UnderWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0)
      return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length); // the size needed, its terminating zero included
  }
}

bool SameName(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// `name` as a final path shows it under Wine: without trailing dots and
// spaces, as Windows would trim them ("a." is "a").
std::wstring AsFinalName(std::wstring name) {
  name.erase(name.find_last_not_of(L". ") + 1);
  return name;
}

} // namespace

bool IsWineLink(HANDLE folder, HANDLE entry, const FolderPath &path) {
  if (!UnderWine())
    return false;
  std::wstring expected = FinalPath(folder);
  const std::wstring actual = FinalPath(entry);
  if (expected.empty() || actual.empty())
    return false;
  if (expected.back() != L'\\')
    expected += L'\\';
  if (actual.size() <= expected.size() || !SameName(actual.substr(0, expected.size()), expected))
    return true; // in another folder
  const std::wstring wide = ToWidePath(path);
  const std::wstring name = wide.substr(wide.find_last_of(L"\\/") + 1);
  const std::wstring finalName = actual.substr(expected.size());
  if (SameName(AsFinalName(name), finalName))
    return false;
  // A short name ("A-LONG~1.TXT") stands for the long one the folder lists.
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(wide.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return true;
  FindClose(search);
  return !SameName(AsFinalName(found.cFileName), finalName);
}

bool IsWineLinkByName(HANDLE folder, const FolderPath &path) {
  if (!UnderWine())
    return false;
  const HANDLE entry =
      CreateFileW(ToWidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (entry == INVALID_HANDLE_VALUE)
    return false;
  const bool link = IsWineLink(folder, entry, path);
  CloseHandle(entry);
  return link;
}

} // namespace tailsnip::fs
