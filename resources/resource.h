// Resource, control and command ids shared by the dialogs and the resource script. Macros, as the
// resource compiler reads them; where windows.h has already given IDOK or IDC_STATIC, the same
// value stands.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_UPGRADE_DIALOG 102
#define IDR_MAINFRAME 128

#ifndef IDOK
#define IDOK 1
#endif
#define IDC_PROGRESS 1000
#define IDC_VERSION 1001
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// A window command of our own; its low four bits stay clear, as the platform's are reserved.
#define IDM_ABOUTBOX 0x0010
