// The directory search over the runtime's _findfirst family; only links
// (symbolic links, junctions) keep the reparse-point bit.
#include "engine/DirectorySearch.h"

#include <io.h>
#include <windows.h>

namespace tailsnip {

namespace {

struct Search {
  intptr_t crt;
  FolderPath dir; // the pattern without its "*"
};

// Cloud placeholders and deduplicated files are reparse points too, but
// their folders hold real entries: only name surrogates lead elsewhere.
bool IsLink(const FolderPath &path) {
  HANDLE handle = CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return true; // unknown: never enter it
  FILE_ATTRIBUTE_TAG_INFO info{};
  const bool known = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info);
  CloseHandle(handle);
  return !known || IsReparseTagNameSurrogate(info.ReparseTag);
}

void Fill(const Search &search, const _finddata_t &data, FindRecord &record) {
  record.attributes = data.attrib;
  record.name = data.name;
  if ((record.attributes & kAttributeReparsePoint) != 0 && !IsLink(search.dir + record.name))
    record.attributes &= ~kAttributeReparsePoint;
}

} // namespace

SearchHandle FindFirst(const FolderPath &pattern, FindRecord &record) {
  _finddata_t data;
  const intptr_t crt = _findfirst(pattern.c_str(), &data);
  if (crt == -1)
    return kNoSearch;
  auto *search = new Search{crt, pattern.substr(0, pattern.size() - 1)};
  Fill(*search, data, record);
  return reinterpret_cast<SearchHandle>(search);
}

int FindNext(SearchHandle handle, FindRecord &record) {
  auto *search = reinterpret_cast<Search *>(handle);
  _finddata_t data;
  if (_findnext(search->crt, &data) != 0)
    return -1;
  Fill(*search, data, record);
  return 0;
}

void FindClose(SearchHandle handle) {
  auto *search = reinterpret_cast<Search *>(handle);
  _findclose(search->crt);
  delete search;
}

} // namespace tailsnip
