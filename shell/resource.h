// Resource identifiers, shared by the resource script and the code.
#ifndef TAILSNIP_SHELL_RESOURCE_H
#define TAILSNIP_SHELL_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TAILSNIP_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_OPEN 1000

// System command of the About entry. Windows keeps the low four bits of
// system commands for itself, so they stay zero here.
#define IDM_ABOUTBOX 0x0010

#endif
