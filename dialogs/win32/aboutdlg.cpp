// The about box: all of it is in its template.
#include "dialogs/win32/aboutdlg.h"

#include "resources/resource.h"

CAboutDlg::CAboutDlg(HWND owner) : CDialog(IDD_ABOUTBOX, owner) { }
