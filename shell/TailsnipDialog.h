// The main dialog: one Open button that asks for a folder, shortens every
// file beneath it and shows the run's notice.
#ifndef TAILSNIP_SHELL_TAILSNIPDIALOG_H
#define TAILSNIP_SHELL_TAILSNIPDIALOG_H

#include "engine/run/RunTrim.h"
#include "framework/AfxWin.h"
#include "shell/resource.h"

#include <shlobj.h>

// The calls OnOpen makes outside the dialog: the shell's folder chooser,
// the COM allocator that frees its answer, and the run. The program never
// changes them; the dialog test points them at recorders to watch the calls
// without a real chooser or a real run.
struct OpenOperations {
  PIDLIST_ABSOLUTE(WINAPI *browseForFolder)(LPBROWSEINFOA);
  BOOL(WINAPI *getPathFromIDList)(PCIDLIST_ABSOLUTE, LPSTR);
  BOOL(WINAPI *getWidePathFromIDList)(PCIDLIST_ABSOLUTE, LPWSTR);
  void(WINAPI *freeIDList)(LPVOID);
  tailsnip::RunReport (*runTrim)(tailsnip::FolderPath, const tailsnip::Notify &);
};
extern OpenOperations g_openOperations;

// Where a minimised window draws an icon of the given size so that it sits
// in the middle of the client area (an odd leftover pixel goes right/down).
POINT CenteredIconOrigin(const RECT &client, int iconWidth, int iconHeight);

class CTailsnipDialog : public CDialog {
public:
  explicit CTailsnipDialog(CWnd *pParent = nullptr);

  enum { IDD = IDD_TAILSNIP_DIALOG };

protected:
  void DoDataExchange(CDataExchange *pDX) override;
  BOOL OnInitDialog() override;

  afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
  afx_msg void OnPaint();
  afx_msg HCURSOR OnQueryDragIcon();
  afx_msg void OnOpen();

  HICON m_hIcon;

  DECLARE_MESSAGE_MAP()
};

#endif
