#include "shell/TailsnipApp.h"

#include "shell/TailsnipDialog.h"

// clang-format off
BEGIN_MESSAGE_MAP(CTailsnipApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()
// clang-format on

// The one application object; the C++ start-up code constructs it before
// WinMain runs.
CTailsnipApp theApp;

BOOL CTailsnipApp::InitInstance() {
  AfxEnableControlContainer();
  Enable3dControls();

  CTailsnipDialog dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();

  // The dialog was the whole program: no message loop follows.
  return FALSE;
}
