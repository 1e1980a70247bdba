// A thin class layer over the Win32 API for dialog-based programs: an
// application object started by the framework's WinMain, modal dialogs run
// from templates, message maps, and the few helpers that such a program
// uses. It carries the names of the classic C++ application framework so
// that code written against those names reads as it always has.
#ifndef FRAMEWORK_AFXWIN_H
#define FRAMEWORK_AFXWIN_H

#include "framework/AfxMsgMap.h"

#include <windows.h>

#include <string>

// The help command that applications route to CWinApp::OnHelp.
#define ID_HELP 0xE146

class CMenu;
class CWinApp;

// A narrow string in the active code page.
class CString {
public:
  CString() = default;

  // Loads string `nID` from the resource modules (see AfxFindResourceHandle);
  // FALSE, and empty, when there is none or it is empty.
  BOOL LoadStringA(UINT nID);

  bool IsEmpty() const { return m_text.empty(); }
  operator LPCSTR() const { return m_text.c_str(); }

private:
  std::string m_text;
};

// A menu handle; the object does not own the menu.
class CMenu {
public:
  // The one CMenu for `hMenu` (null for a null handle). It stays valid for
  // the rest of the program, so callers never delete it.
  static CMenu *FromHandle(HMENU hMenu);

  BOOL AppendMenuA(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR lpszNewItem = nullptr);

  HMENU m_hMenu = nullptr;
};

// A window known to the framework, and the dispatch of its messages through
// the message map.
class CWnd : public CCmdTarget {
public:
  CWnd() = default;
  CWnd(const CWnd &) = delete;
  CWnd &operator=(const CWnd &) = delete;
  ~CWnd() override;

  // A null caption shows the application's name.
  int MessageBoxA(LPCSTR lpszText, LPCSTR lpszCaption = nullptr, UINT nType = MB_OK);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL IsIconic() const;
  void GetClientRect(LPRECT lpRect) const;
  // The window's system menu, or null when it has none.
  CMenu *GetSystemMenu(BOOL bRevert) const;

  HWND m_hWnd = nullptr;

protected:
  // Called from a handler: the message being handled goes on to the
  // window's default processing once the handler has returned. Returns 0:
  // the default result is not known until then.
  LRESULT Default();

  // Calls the handler of a window message; FALSE when there is none. A
  // WM_COMMAND goes to OnCmdMsg.
  BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult);

private:
  friend class CDialog;
  // The message being dispatched; nested dispatches each have their own.
  struct Dispatch {
    bool passToDefault = false;
  };
  Dispatch *m_pDispatch = nullptr;
};

// BeginPaint and EndPaint for the lifetime of the object.
class CPaintDC {
public:
  explicit CPaintDC(CWnd *pWnd);
  ~CPaintDC();
  CPaintDC(const CPaintDC &) = delete;
  CPaintDC &operator=(const CPaintDC &) = delete;

  operator HDC() const { return m_hDC; }

  HDC m_hDC;
  PAINTSTRUCT m_ps;

private:
  HWND m_hWnd;
};

// The direction of one data exchange between a dialog and its members.
struct CDataExchange {
  BOOL m_bSaveAndValidate; // TRUE: controls to members
  CWnd *m_pDlgWnd;
};

// A modal dialog run from a dialog template resource.
class CDialog : public CWnd {
public:
  // A null parent makes the application's main window the owner, unless
  // this dialog is the main window itself.
  explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = nullptr);

  // Runs the dialog until it ends; EndDialog's result, or -1 when the
  // dialog could not be created.
  virtual INT_PTR DoModal();

  // Called on WM_INITDIALOG: fills the controls from the members. TRUE lets
  // the dialog manager focus the first control.
  virtual BOOL OnInitDialog();
  // The OK button: takes the controls' values and ends with IDOK.
  afx_msg virtual void OnOK();
  // Esc, the Close command and a Cancel button: end with IDCANCEL.
  afx_msg virtual void OnCancel();

  void EndDialog(int nResult);
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

  // Tries this dialog's map, then the application's.
  BOOL OnCmdMsg(UINT nID, UINT nCode) override;

protected:
  // Exchanges values between controls and members; the base has none.
  virtual void DoDataExchange(CDataExchange *pDX);

private:
  friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
  INT_PTR DialogMessage(UINT message, WPARAM wParam, LPARAM lParam);
  HWND OwnerWindow() const;

  UINT m_nIDTemplate;
  CWnd *m_pParentWnd;

  DECLARE_MESSAGE_MAP()
};

// The application. Exactly one global object of a class derived from it;
// its constructor registers it for AfxWinMain.
class CWinApp : public CCmdTarget {
public:
  // A null name makes the executable's file name, without folder and
  // extension, the application's name.
  explicit CWinApp(LPCSTR lpszAppName = nullptr);
  ~CWinApp() override;
  CWinApp(const CWinApp &) = delete;
  CWinApp &operator=(const CWinApp &) = delete;

  // The application's work. The framework runs no message loop of its own,
  // so a dialog-based application does everything here and returns FALSE.
  virtual BOOL InitInstance();

  // Windows has drawn dialogs in 3-D itself since Windows 95: nothing to do.
  BOOL Enable3dControls();

  // The program ships no help file, so there is no help to show.
  afx_msg void OnHelp();

  CWnd *m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;
  LPCSTR m_pszAppName = nullptr;

private:
  friend int AfxWinMain(HINSTANCE, HINSTANCE, LPSTR, int);
  std::string m_moduleName;
};

CWinApp *AfxGetApp();
LPCSTR AfxGetAppName();
HINSTANCE AfxGetInstanceHandle();

// The module searched first for resources; the executable by default.
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE hInstResource);

// The module holding the resource: the resource module when it has it,
// otherwise the executable.
HINSTANCE AfxFindResourceHandle(LPCSTR lpszName, LPCSTR lpszType);

// No ActiveX controls are hosted here: there is no container to switch on.
void AfxEnableControlContainer();

// Starts the application: records the module, names the application,
// prepares COM for the shell's dialogs and calls InitInstance. WinMain
// hands over to it; the command line and show command are not consulted.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

#endif
