// The directory search over FindFirstFileExW, giving narrow names in the
// process's code page. The runtime's _findfirst would map a character the
// code page lacks to a look-alike ("O" for an omega), which may name another
// file; here such a character becomes '?', which no real name holds, so the
// walk can report the entry instead of shortening a stranger. Only links
// (symbolic links, junctions) keep the reparse-point bit.
#include "engine/fs/DirectorySearch.h"

#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <string>

namespace tailsnip {

namespace {

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
  // The search reports the reparse tag in dwReserved0. A tag not of
  // Microsoft's own is not known to hold entries, and Wine gives a Unix
  // link no real tag: either is taken for a link.
  if ((record.attributes & kAttributeReparsePoint) != 0 &&
      IsReparseTagMicrosoft(data.dwReserved0) && !IsReparseTagNameSurrogate(data.dwReserved0))
    record.attributes &= ~kAttributeReparsePoint;
}

} // namespace

fs::FsError ListFolder(const FolderPath &folder, std::vector<FindRecord> &entries) {
  WIN32_FIND_DATAW data;
  HANDLE search =
      FindFirstFileExW(ToWidePath(JoinPath(folder, "*")).c_str(), FindExInfoBasic, &data,
                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE)
    return fs::FsError::FromSystem(static_cast<int>(GetLastError()));
  // Memory may run out while the entries grow; the search is ended anyway.
  struct End {
    HANDLE search;
    ~End() { FindClose(search); }
  } end{search};
  do {
    entries.emplace_back();
    Fill(data, entries.back());
  } while (FindNextFileW(search, &data));
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? fs::FsError::None
                                      : fs::FsError::FromSystem(static_cast<int>(error));
}

// A folder is searched by its path here; a link in its place is told by
// the reparse-point bit of the listing that named it.
fs::FsError EnterFolder(const FolderPath &folder, const fs::FileIdentity *,
                        EnteredFolder &entered) {
  entered.path = folder;
  entered.known = fs::GetIdentity(folder, entered.identity) == fs::FsError::None;
  return fs::FsError::None;
}

fs::FsError ListFolder(EnteredFolder &entered, std::vector<FindRecord> &entries) {
  return ListFolder(entered.path, entries);
}

fs::FsError ListFolder(const fs::Folder &, const FolderPath &path,
                       std::vector<FindRecord> &entries) {
  return ListFolder(path.empty() ? FolderPath(".") : path, entries);
}

} // namespace tailsnip
