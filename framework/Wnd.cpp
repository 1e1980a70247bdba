#include "framework/AfxWin.h"

#include <map>

CWnd::~CWnd() {
  CWinApp *app = AfxGetApp();
  if (app != nullptr && app->m_pMainWnd == this)
    app->m_pMainWnd = nullptr;
}

int CWnd::MessageBoxA(LPCSTR lpszText, LPCSTR lpszCaption, UINT nType) {
  if (lpszCaption == nullptr)
    lpszCaption = AfxGetAppName();
  return ::MessageBoxA(m_hWnd, lpszText, lpszCaption, nType);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }

CMenu *CWnd::GetSystemMenu(BOOL bRevert) const {
  return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert));
}

LRESULT CWnd::Default() {
  if (m_pDispatch != nullptr)
    m_pDispatch->passToDefault = true;
  return 0;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) {
  if (message == WM_COMMAND)
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));

  const AFX_MSGMAP_ENTRY *entry = AfxFindMessageEntry(GetMessageMap(), message, 0, 0);
  if (entry == nullptr)
    return FALSE;
  *pResult = entry->pfnCall(this, wParam, lParam);
  return TRUE;
}

CMenu *CMenu::FromHandle(HMENU hMenu) {
  if (hMenu == nullptr)
    return nullptr;
  // A map's elements never move, so the pointers handed out stay valid.
  static std::map<HMENU, CMenu> menus;
  CMenu &menu = menus[hMenu];
  menu.m_hMenu = hMenu;
  return &menu;
}

BOOL CMenu::AppendMenuA(UINT nFlags, UINT_PTR nIDNewItem, LPCSTR lpszNewItem) {
  return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
}

CPaintDC::CPaintDC(CWnd *pWnd) : m_hWnd(pWnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
