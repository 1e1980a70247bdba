#include "framework/AfxWin.h"

BOOL CString::LoadStringA(UINT nID) {
  m_text.clear();
  // Strings are stored in blocks of sixteen; block n + 1 holds IDs 16n..16n+15.
  HINSTANCE module = AfxFindResourceHandle(MAKEINTRESOURCEA(nID / 16 + 1), RT_STRING);
  // With no buffer, LoadStringW hands out the resource's own UTF-16 text.
  const wchar_t *text = nullptr;
  int length = ::LoadStringW(module, nID, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0)
    return FALSE;
  int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  m_text.resize(static_cast<size_t>(size));
  ::WideCharToMultiByte(CP_ACP, 0, text, length, m_text.data(), size, nullptr, nullptr);
  return TRUE;
}
