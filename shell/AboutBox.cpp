#include "shell/AboutBox.h"

// Empty: OK, Esc and Close end the box through CDialog's handlers.
BEGIN_MESSAGE_MAP(CAboutBox, CDialog)
END_MESSAGE_MAP()

CAboutBox::CAboutBox() : CDialog(IDD) {}

void CAboutBox::DoDataExchange(CDataExchange *pDX) {
  // No control is bound to a member.
  CDialog::DoDataExchange(pDX);
}
