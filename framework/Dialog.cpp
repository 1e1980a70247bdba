#include "framework/AfxWin.h"

// Every dialog of the framework runs through this procedure. The CDialog
// arrives as WM_INITDIALOG's parameter and is kept in DWLP_USER; messages
// that come before it (WM_SETFONT, for one) go to the dialog manager.
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog *dialog;
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<CDialog *>(lParam);
    SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
    dialog->m_hWnd = hWnd;
  } else {
    dialog = reinterpret_cast<CDialog *>(GetWindowLongPtrA(hWnd, DWLP_USER));
    if (dialog == nullptr)
      return FALSE;
  }
  return dialog->DialogMessage(message, wParam, lParam);
}

namespace {

// Messages whose result a dialog procedure returns itself; every other
// result goes through DWLP_MSGRESULT.
bool IsAnsweredDirectly(UINT message) {
  switch (message) {
  case WM_CHARTOITEM:
  case WM_COMPAREITEM:
  case WM_CTLCOLORBTN:
  case WM_CTLCOLORDLG:
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORLISTBOX:
  case WM_CTLCOLORSCROLLBAR:
  case WM_CTLCOLORSTATIC:
  case WM_INITDIALOG:
  case WM_QUERYDRAGICON:
  case WM_VKEYTOITEM:
    return true;
  default:
    return false;
  }
}

} // namespace

// clang-format off
BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, OnOK)
  ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()
// clang-format on

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal() {
  LPCSTR name = MAKEINTRESOURCEA(m_nIDTemplate);
  return ::DialogBoxParamA(AfxFindResourceHandle(name, RT_DIALOG), name, OwnerWindow(), AfxDlgProc,
                           reinterpret_cast<LPARAM>(this));
}

HWND CDialog::OwnerWindow() const {
  if (m_pParentWnd != nullptr)
    return m_pParentWnd->m_hWnd;
  CWinApp *app = AfxGetApp();
  CWnd *mainWnd = app != nullptr ? app->m_pMainWnd : nullptr;
  return mainWnd != nullptr && mainWnd != this ? mainWnd->m_hWnd : nullptr;
}

INT_PTR CDialog::DialogMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  Dispatch dispatch;
  Dispatch *outer = m_pDispatch;
  m_pDispatch = &dispatch;

  INT_PTR answer;
  LRESULT result = 0;
  if (message == WM_INITDIALOG) {
    answer = OnInitDialog();
  } else if (!OnWndMsg(message, wParam, lParam, &result) || dispatch.passToDefault) {
    answer = FALSE;
  } else if (IsAnsweredDirectly(message)) {
    answer = static_cast<INT_PTR>(result);
  } else {
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
    answer = TRUE;
  }

  m_pDispatch = outer;
  if (message == WM_NCDESTROY)
    m_hWnd = nullptr;
  return answer;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (UpdateData(TRUE))
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange exchange{bSaveAndValidate, this};
  DoDataExchange(&exchange);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange * /*pDX*/) {}

BOOL CDialog::OnCmdMsg(UINT nID, UINT nCode) {
  if (CWnd::OnCmdMsg(nID, nCode))
    return TRUE;
  CWinApp *app = AfxGetApp();
  return app != nullptr && app->OnCmdMsg(nID, nCode);
}
