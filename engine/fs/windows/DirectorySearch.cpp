// The directory search over FindFirstFileExW, giving narrow names in the
// process's code page. The runtime's _findfirst would map a character the
// code page lacks to a look-alike ("O" for an omega), which may name another
// file; here such a character becomes '?', which no real name holds, so the
// walk can report the entry instead of shortening a stranger. Only links
// (symbolic links, junctions) keep the reparse-point bit.
#include "engine/fs/DirectorySearch.h"

#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace tailsnip {

namespace {

int ErrnoFromWin32(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_NO_MORE_FILES:
    return ENOENT;
  case ERROR_FILENAME_EXCED_RANGE:
    return ENAMETOOLONG;
  case ERROR_ACCESS_DENIED:
    return EACCES;
  default:
    return EIO;
  }
}

// The name in the code page, with '?' for every character it cannot hold.
std::string Narrow(const wchar_t *wide) {
  const bool utf8 = GetACP() == CP_UTF8; // holds every character; no flags allowed
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(CP_ACP, flags, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
  BOOL usedDefault = FALSE;
  WideCharToMultiByte(CP_ACP, flags, wide, -1, &narrow[0], length, utf8 ? nullptr : "?",
                      utf8 ? nullptr : &usedDefault);
  narrow.resize(narrow.size() - 1); // the terminator
  return narrow;
}

void Fill(const WIN32_FIND_DATAW &data, FindRecord &record) {
  record.attributes = data.dwFileAttributes;
  record.name = Narrow(data.cFileName);
  // Cloud placeholders and deduplicated files are reparse points too, but
  // their folders hold real entries: only name surrogates lead elsewhere.
  // The search reports the reparse tag in dwReserved0.
  if ((record.attributes & kAttributeReparsePoint) != 0 &&
      !IsReparseTagNameSurrogate(data.dwReserved0))
    record.attributes &= ~kAttributeReparsePoint;
}

} // namespace

SearchHandle FindFirst(const FolderPath &pattern, FindRecord &record) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(ToWidePath(pattern).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    errno = ErrnoFromWin32(GetLastError());
    return kNoSearch;
  }
  Fill(data, record);
  return reinterpret_cast<SearchHandle>(find);
}

int FindNext(SearchHandle search, FindRecord &record) {
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(reinterpret_cast<HANDLE>(search), &data)) {
    errno = ErrnoFromWin32(GetLastError());
    return -1;
  }
  Fill(data, record);
  return 0;
}

void FindClose(SearchHandle search) { ::FindClose(reinterpret_cast<HANDLE>(search)); }

} // namespace tailsnip
