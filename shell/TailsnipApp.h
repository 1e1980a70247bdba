// The application object: shows the main dialog and ends when it closes.
#ifndef TAILSNIP_SHELL_TAILSNIPAPP_H
#define TAILSNIP_SHELL_TAILSNIPAPP_H

#include "framework/AfxWin.h"

class CTailsnipApp : public CWinApp {
public:
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

#endif
