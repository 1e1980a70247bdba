// The About box, opened from the main dialog's system menu.
#ifndef TAILSNIP_SHELL_ABOUTBOX_H
#define TAILSNIP_SHELL_ABOUTBOX_H

#include "framework/AfxWin.h"
#include "shell/resource.h"

class CAboutBox : public CDialog {
public:
  CAboutBox();

  enum { IDD = IDD_ABOUTBOX };

protected:
  void DoDataExchange(CDataExchange *pDX) override;

  DECLARE_MESSAGE_MAP()
};

#endif
